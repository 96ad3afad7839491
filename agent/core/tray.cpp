#include "agent/core/tray.h"
#include "common/log.h"

bool tray_add(HWND) { return true; }
void tray_remove(HWND) {}
void balloon_info(const wchar_t* title, const wchar_t* text, const wchar_t*) { log_info("balloon: %ls — %ls", title, text); }
void balloon_action(const wchar_t* title, const wchar_t* text, int, const wchar_t*, const char*) {
    log_info("balloon: %ls — %ls", title, text);
}
void balloon_warning(const wchar_t* title, const wchar_t* text) { log_warn("balloon: %ls — %ls", title, text); }
void balloon_dismiss(void) {}
void tray_callback(HWND, WPARAM, LPARAM) {}
void tray_click_timer(HWND) {}
void tray_balloon_clicked(HWND) {}
void show_settings(int) {}
void open_url(const char*) {}
void reveal(const wchar_t*) {}
void open_captures_folder(void) {}
void open_account_online(void) {}
void exit_request(void) { PostQuitMessage(0); }
