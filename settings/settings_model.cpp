#include "settings/settings_model.h"

#include <cstdio>
#include <cwchar>

namespace {

struct page_text {
    const wchar_t* title;
    const wchar_t* name;
};

// Indexed by settings_page. The general page holds the capture settings; its title is the
// one the agent and ivrac look for.
const page_text k_pages[SETTINGS_PAGE_COUNT] = {
    {L"Ivra Settings - General", L"General"},      {L"Ivra Settings - Clips", L"Clips"},
    {L"Ivra Settings - Hotkeys", L"Hotkeys"},      {L"Ivra Settings - Folders", L"Folders"},
    {L"Ivra Settings - Uploads", L"Uploads"},      {L"Ivra Settings - Account", L"Account"},
    {L"Ivra Settings - About", L"About"},          {L"Ivra Settings - Welcome", L"Welcome"},
    {L"Ivra Settings - Link account", L"Account"},
};

struct key_page {
    const wchar_t* key;
    settings_page page;
};

// Keys not listed here are on the general page.
const key_page k_key_pages[] = {
    {L"clip_fps", SETTINGS_PAGE_CLIPS},       {L"clip_bitrate_kbps", SETTINGS_PAGE_CLIPS},
    {L"clip_encoder", SETTINGS_PAGE_CLIPS},   {L"clip_audio_system", SETTINGS_PAGE_CLIPS},
    {L"clip_audio_mic", SETTINGS_PAGE_CLIPS}, {L"replay_enabled", SETTINGS_PAGE_CLIPS},
    {L"clips_workers", SETTINGS_PAGE_CLIPS},  {L"stills_dir", SETTINGS_PAGE_FOLDERS},
    {L"clips_dir", SETTINGS_PAGE_FOLDERS},    {L"server_url", SETTINGS_PAGE_UPLOADS},
    {L"upload_mode", SETTINGS_PAGE_UPLOADS},  {L"upload_workers", SETTINGS_PAGE_UPLOADS},
    {L"onboarded", SETTINGS_PAGE_ACCOUNT},    {L"update_auto", SETTINGS_PAGE_ABOUT},
};

bool starts_with(const wchar_t* s, const wchar_t* prefix) { return wcsncmp(s, prefix, wcslen(prefix)) == 0; }

constexpr size_t TEXT_CHARS = 300;  // the widest value's text: a path

}  // namespace

settings_page settings_page_from_args(const wchar_t* args) {
    if (!args) return SETTINGS_PAGE_GENERAL;
    if (wcsstr(args, L"--welcome")) return SETTINGS_PAGE_WELCOME;
    if (wcsstr(args, L"--link")) return SETTINGS_PAGE_LINK;
    if (wcsstr(args, L"--page about")) return SETTINGS_PAGE_ABOUT;
    return SETTINGS_PAGE_GENERAL;
}

settings_page settings_page_from_show(unsigned long long wparam) {
    return wparam == 7 ? SETTINGS_PAGE_ABOUT : SETTINGS_PAGE_GENERAL;
}

const wchar_t* settings_page_title(settings_page page) {
    return page >= 0 && page < SETTINGS_PAGE_COUNT ? k_pages[page].title : k_pages[0].title;
}

const wchar_t* settings_page_name(settings_page page) {
    return page >= 0 && page < SETTINGS_PAGE_COUNT ? k_pages[page].name : k_pages[0].name;
}

settings_page settings_page_button(settings_page page) {
    return page == SETTINGS_PAGE_LINK ? SETTINGS_PAGE_ACCOUNT : page;
}

settings_page settings_page_of_key(const wchar_t* key) {
    if (!key) return SETTINGS_PAGE_GENERAL;
    if (starts_with(key, L"hk_")) return SETTINGS_PAGE_HOTKEYS;
    if (starts_with(key, L"folder")) return SETTINGS_PAGE_FOLDERS;
    for (const key_page& k : k_key_pages)
        if (wcscmp(k.key, key) == 0) return k.page;
    return SETTINGS_PAGE_GENERAL;
}

settings_control settings_control_of(const config_schema_entry* entry) {
    switch (entry->type) {
    case CONFIG_TYPE_BOOL: return SETTINGS_CONTROL_CHECK;
    case CONFIG_TYPE_INT: return SETTINGS_CONTROL_NUMBER;
    case CONFIG_TYPE_ENUM_INDEX:
    case CONFIG_TYPE_ENUM_TEXT: return SETTINGS_CONTROL_CHOICE;
    case CONFIG_TYPE_PATH: return SETTINGS_CONTROL_FOLDER;
    case CONFIG_TYPE_HOTKEY: return SETTINGS_CONTROL_HOTKEY;
    default: return SETTINGS_CONTROL_TEXT;
    }
}

void settings_field_label(const config_schema_entry* entry, wchar_t* out, size_t capacity) {
    if (!out || capacity == 0) return;
    if (entry->type == CONFIG_TYPE_INT)
        swprintf(out, capacity, L"%ls (%d-%d)", entry->description, entry->min, entry->max);
    else
        swprintf(out, capacity, L"%ls", entry->description);
}

bool settings_choice_word(const config_schema_entry* entry, int index, wchar_t* out, size_t capacity) {
    if (!entry->words || index < 0 || !out || capacity == 0) return false;
    const wchar_t* w = entry->words;
    for (int i = 0; i < index; ++i) {
        w = wcschr(w, L'|');
        if (!w) return false;
        ++w;
    }
    size_t n = 0;
    while (w[n] && w[n] != L'|') ++n;
    if (n == 0) return false;
    if (n >= capacity) n = capacity - 1;
    wmemcpy(out, w, n);
    out[n] = 0;
    return true;
}

settings_press settings_hotkey_press(unsigned vk, unsigned mods, hotkey_pair* out) {
    switch (vk) {
    case 0x10:
    case 0x11:
    case 0x12:  // Shift, Ctrl, Alt
    case 0x5B:
    case 0x5C:  // the Windows keys
    case 0xA0:
    case 0xA1:
    case 0xA2:
    case 0xA3:
    case 0xA4:
    case 0xA5: return SETTINGS_PRESS_IGNORE;
    default: break;
    }
    mods &= 0xF;
    if (mods == 0) {
        if (vk == 0x09) return SETTINGS_PRESS_IGNORE;
        if (vk == 0x08 || vk == 0x2E || vk == 0x1B) {
            *out = hotkey_pair{0, 0};
            return SETTINGS_PRESS_CLEAR;
        }
    }
    *out = hotkey_pair{mods | 0x4000, vk};
    return SETTINGS_PRESS_SET;
}

bool settings_value_differs(const config* base, const config_schema_entry* entry, const wchar_t* text) {
    static config trial;  // the window's thread is the only caller; the record is large
    trial = *base;
    wchar_t err[8];
    if (!config_set_value(&trial, entry->key, text, err, 8, false)) return true;
    wchar_t before[TEXT_CHARS], after[TEXT_CHARS];
    config_get_text(base, entry->key, before, TEXT_CHARS);
    config_get_text(&trial, entry->key, after, TEXT_CHARS);
    return wcscmp(before, after) != 0;
}

bool settings_apply(config* cfg, const settings_edit* edits, int count, bool create_dirs, int* failed, wchar_t* err,
                    size_t capacity) {
    static config trial;
    trial = *cfg;
    for (int i = 0; i < count; ++i) {
        if (!config_set_value(&trial, edits[i].key, edits[i].text, err, capacity, create_dirs)) {
            if (failed) *failed = i;
            return false;
        }
    }
    *cfg = trial;
    return true;
}

void settings_account_text(bool linked, const wchar_t* name, const wchar_t* linked_on, wchar_t* out, size_t capacity) {
    if (!out || capacity == 0) return;
    if (!linked) {
        swprintf(out, capacity, L"This PC is not linked to a web account.");
        return;
    }
    const wchar_t* who = name && name[0] ? name : L"a web account";
    if (linked_on && linked_on[0])
        swprintf(out, capacity, L"This PC is linked to %ls since %ls.", who, linked_on);
    else
        swprintf(out, capacity, L"This PC is linked to %ls.", who);
}
