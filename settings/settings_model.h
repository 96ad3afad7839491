#pragma once
// What the settings window shows and edits, without any window: its pages,
// which page and control each configuration key gets, the hotkey a key press
// records, and applying the edited texts through the configuration schema.
#include <cstddef>

#include "common/config.h"
#include "common/config_schema.h"

enum settings_page {
    SETTINGS_PAGE_GENERAL = 0,
    SETTINGS_PAGE_CLIPS,
    SETTINGS_PAGE_HOTKEYS,
    SETTINGS_PAGE_FOLDERS,
    SETTINGS_PAGE_UPLOADS,
    SETTINGS_PAGE_ACCOUNT,
    SETTINGS_PAGE_ABOUT,
    SETTINGS_PAGE_WELCOME,
    SETTINGS_PAGE_LINK,  // the account page, opened to link this PC
    SETTINGS_PAGE_COUNT
};

// Pages with a button of their own on the left, in order (welcome and link have none).
constexpr int SETTINGS_PAGE_BUTTONS = 7;

enum settings_control {
    SETTINGS_CONTROL_CHECK,   // a checkbox
    SETTINGS_CONTROL_NUMBER,  // an edit for a number in a range
    SETTINGS_CONTROL_CHOICE,  // a drop-down list of the schema's words
    SETTINGS_CONTROL_FOLDER,  // an edit with a folder picker
    SETTINGS_CONTROL_HOTKEY,  // an edit that records a key press
    SETTINGS_CONTROL_TEXT,    // a plain edit (addresses)
};

// The page the command line asks for: "--welcome", "--link", "--page about", else general.
settings_page settings_page_from_args(const wchar_t* args);
// The page "IvraShowSettings" asks for by its wParam.
settings_page settings_page_from_show(unsigned long long wparam);
// The window title of a page ("Ivra Settings - General").
const wchar_t* settings_page_title(settings_page page);
// The text of a page's button ("General"); the link page shares the account page's button.
const wchar_t* settings_page_name(settings_page page);
// The page whose button stands for page (the link page's is the account page's).
settings_page settings_page_button(settings_page page);

// The page a configuration key is edited on.
settings_page settings_page_of_key(const wchar_t* key);
// The control that fits the entry's type.
settings_control settings_control_of(const config_schema_entry* entry);
// The label of a field: its description, with the range of a number ("JPEG quality (1-100)").
void settings_field_label(const config_schema_entry* entry, wchar_t* out, size_t capacity);
// The index-th word of a choice ("png|jpg", 1 -> "jpg"); false past the last word.
bool settings_choice_word(const config_schema_entry* entry, int index, wchar_t* out, size_t capacity);

enum settings_press {
    SETTINGS_PRESS_IGNORE,  // a modifier alone, or Tab moving on
    SETTINGS_PRESS_SET,     // *out holds the recorded hotkey
    SETTINGS_PRESS_CLEAR,   // Backspace, Delete or Esc alone: no hotkey
};
// What a key press in a hotkey field records. mods are RegisterHotKey bits
// (1 Alt, 2 Ctrl, 4 Shift, 8 Win) held at the press. *out is written for SET and CLEAR.
settings_press settings_hotkey_press(unsigned vk, unsigned mods, hotkey_pair* out);

// True when text, read as the entry's value, differs from what base holds. A text the
// schema refuses counts as a change, so that saving shows why it is refused.
bool settings_value_differs(const config* base, const config_schema_entry* entry, const wchar_t* text);

struct settings_edit {
    const wchar_t* key;
    const wchar_t* text;
};
// Sets every edit on cfg through the schema, in order, all or nothing. On failure cfg is
// unchanged, *failed (may be null) is the index of the refused edit and err holds the
// schema's message for it.
bool settings_apply(config* cfg, const settings_edit* edits, int count, bool create_dirs, int* failed, wchar_t* err,
                    size_t capacity);

// The account page's sentence: linked or not, the avatar's name, and the link's local date
// as text (shown when not empty).
void settings_account_text(bool linked, const wchar_t* name, const wchar_t* linked_on, wchar_t* out, size_t capacity);
