#pragma once
// The notification-area icon, its menu and the balloons with the one remembered
// click action, plus the openers (settings, folders, web addresses, reveal) that
// never block the main thread. Only the main thread changes the icon; the balloon
// calls may come from any agent thread (the storage gate shows its own).
#include "common/win.h"
#include <cstddef>
#include <cstdint>

// Remembered balloon click action; each new balloon replaces it.
enum tray_action_kind {
    TRAY_ACTION_NONE = 0,
    TRAY_ACTION_REVEAL = 1,
    TRAY_ACTION_UPLOAD = 2,
    TRAY_ACTION_LINK = 3,
    TRAY_ACTION_UPDATE = 4
};

// Adds (or modifies) the icon and asks for version-4 callbacks. False, logged, when
// the shell has no notification area yet ("TaskbarCreated" calls it again).
bool tray_add(HWND wnd);
// Deletes the icon by its GUID and frees the icon handle.
void tray_remove(HWND wnd);

// Information balloon without sound; a click reveals file (may be null: no action).
void balloon_info(const wchar_t* title, const wchar_t* text, const wchar_t* file);
// Information balloon whose click does `kind` with file and link (either may be null).
void balloon_action(const wchar_t* title, const wchar_t* text, int kind, const wchar_t* file, const char* link);
// Warning balloon; clears the remembered action.
void balloon_warning(const wchar_t* title, const wchar_t* text);
// Removes the balloon shown, if any.
void balloon_dismiss(void);

// Tray callback (WM_APP + 1) and the single-click timer 2912, on the main thread.
void tray_callback(HWND wnd, WPARAM wp, LPARAM lp);
void tray_click_timer(HWND wnd);
// Command 1007: act on the remembered balloon action.
void tray_balloon_clicked(HWND wnd);

// The newer version announced this run ("" when none), for the menu's update item.
// tray_note_update remembers version and returns true when it differs from the one
// remembered (so it is announced once per run).
bool tray_note_update(const char* version);

// Page 0 (general) or 7 (about) of the settings program.
void show_settings(int page);
// Opens http:// and https:// addresses on a short-lived thread; others are ignored.
void open_url(const char* text);
// Shows path selected in Explorer on a short-lived thread; posts WM_APP + 15 when it is gone.
void reveal(const wchar_t* path);
void open_captures_folder(void);
void open_account_online(void);
// Command 1004: hands the exit to an open settings window, else quits at once.
void exit_request(void);

// ---- Pure pieces (no Win32 calls), table-tested.

enum { TRAY_MENU_MAX = 16, TRAY_ITEM_TEXT = 64 };
enum tray_item_flags { TRAY_ITEM_DEFAULT = 1, TRAY_ITEM_DISABLED = 2, TRAY_ITEM_SEPARATOR = 4 };

struct tray_menu_state {
    int linked;     // an account is linked
    int uploading;  // upload entries not yet finished
    int replay_enabled;
    char update_version[32];  // announced newer version, "" for none
};

struct tray_menu_item {
    unsigned id;  // command id; 0 for separators and the disabled upload count
    unsigned flags;
    wchar_t text[TRAY_ITEM_TEXT];
};

// The context menu's items in order for a state. Returns the count (at most
// TRAY_MENU_MAX and at most capacity).
int tray_menu_build(const tray_menu_state* st, tray_menu_item* items, int capacity);

// Splits a callback's parameters into the event and the icon id: with version 4 the
// event is lp's low word and the id its high word; otherwise the id is wp and the event lp.
void tray_decode(bool version4, WPARAM wp, LPARAM lp, unsigned* event, unsigned* id);

// What a callback event asks the main thread to do.
enum tray_verdict {
    TRAY_DO_NOTHING = 0,  // ignored or swallowed
    TRAY_DO_START_TIMER,  // a single click is pending: start timer 2912 with the double-click time
    TRAY_DO_SETTINGS,     // kill the timer and open the settings
    TRAY_DO_BALLOON,      // the balloon was clicked
    TRAY_DO_MENU,         // the context menu
};

// Click memory of the icon: the pending single-click command (1005 or 1011, 0 none),
// the time of the last click and the suppression deadline after a double click (ms).
struct tray_clicks {
    unsigned pending;
    uint64_t last_click;
    uint64_t suppress_until;
};

// Applies one callback event at time now (ms) with Shift held or not; dbl_ms is the
// double-click time. Updates the click memory and returns what to do.
int tray_click_event(tray_clicks* c, unsigned event, bool version4, bool shift, uint64_t now, unsigned dbl_ms);
// Timer 2912 fired: returns the pending command (0 when none) and clears it.
unsigned tray_click_take(tray_clicks* c);

// True for texts that begin with "https://" or "http://" exactly.
bool tray_url_openable(const char* text);

// The slanted-ring fallback icon: n x n premultiplied BGRA pixels, top-down, into px
// (n * n values). False, px untouched, for sizes outside 8 to 256.
bool tray_ring_pixels(int n, uint32_t* px);
