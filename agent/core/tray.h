#pragma once
// The notification-area icon, its menu and the balloons with the one remembered
// click action, plus the openers (settings, folders, web addresses, reveal) that
// never block the main thread. Only the main thread changes the icon; the balloon
// calls may come from any agent thread (the storage gate shows its own).
#include "common/win.h"
#include <cstddef>

// Remembered balloon click action; each new balloon replaces it.
enum tray_action_kind { TRAY_ACTION_NONE = 0, TRAY_ACTION_REVEAL = 1, TRAY_ACTION_UPLOAD = 2,
                        TRAY_ACTION_LINK = 3, TRAY_ACTION_UPDATE = 4 };

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
