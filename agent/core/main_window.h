#pragma once
// The hidden agent window IvraAgentWnd: every capture action passes through it
// on the main thread, and it applies configuration reloads.
#include "common/win.h"

// Registers the window class and creates the hidden window. Returns the window,
// or null with GetLastError describing the failure.
HWND main_window_create(HINSTANCE instance);

LRESULT CALLBACK main_window_proc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp);

// ---- Pure pieces of the action dispatch (no Win32 calls).

// "registered", "raw" or "hook" for routes 0 to 2 when lp is at most 0x2FFFF, else "none".
const char* main_window_route_name(LPARAM lp);

// The action's chord digit: forced when forced > 0; else the low word of lp;
// when that is 0 and the route (high word) is not the hook, poll_held() is
// asked for the first held digit key (0 when none).
int main_window_action_digit(int forced, LPARAM lp, int (*poll_held)(void));

// First digit 1 to 9 whose top-row or keypad key is held now, else 0.
int main_window_poll_digit(void);

// ---- Balloon texts of the results the window reports (pure: no shell calls).

struct saved_capture;
struct upload_notice;

struct main_window_balloon {
    wchar_t title[64];
    wchar_t text[256];
    int kind;     // tray_action_kind of a click
    int warning;  // 1: warning icon, no click action
};

// The balloon for a saved capture (or a clip not saved). size is the file size in the
// byte-size text; linked and upload_mode decide the click; queued tells whether an
// automatic upload (linked, mode 1) was queued.
void main_window_saved_balloon(const saved_capture* rec, const wchar_t* size, bool linked, int upload_mode, bool queued,
                               main_window_balloon* out);

// The balloon of an upload that finished (done) or failed for good; copied tells
// whether the link reached the clipboard.
void main_window_upload_balloon(const upload_notice* n, bool done, bool copied, main_window_balloon* out);
