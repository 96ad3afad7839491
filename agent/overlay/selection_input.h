#pragma once
// How the overlay gets its input: attached to the input broker as the selection
// client, keys come from the broker's routes (so a game that keeps the focus still
// lets Escape and digits through) or from the overlay's own window; the mouse from
// ordinary messages ("native") or from raw packets turned into the overlay's own
// pointer ("raw"), switching to raw by itself when the cursor turns out pinned.
#include "agent/overlay/overlay_state.h"

// Attaches to the broker and picks the mouse mode, before the window is shown.
// False (logged) cancels the selection.
bool selection_input_setup(overlay_state* s);
// Shows the window with or without activation and reports the focus flags.
void selection_input_show(overlay_state* s);
// Detaches from the broker (also clears its focus flags). Safe when not attached.
void selection_input_detach(overlay_state* s);
// Window-procedure hook for input messages (mouse, keys, WM_SELECTION_*,
// WM_MOUSEACTIVATE, activation). Returns true with *result set when it handled msg.
bool selection_input_message(overlay_state* s, UINT msg, WPARAM wp, LPARAM lp, LRESULT* result);

// ---- Pure helpers (no Win32 call).

// One relative raw step of the raw pointer: x100 += percent * dx (same for y), each
// clamped to the screen's edges * 100.
void selection_input_raw_step(int64_t* x100, int64_t* y100, LONG dx, LONG dy, int percent, const RECT* screen);
// Pinned-cursor detection for one relative packet while not dragging. Returns true
// when the overlay should switch to raw (at least 120 ms and 80 counts of motion
// while the cursor stayed within 4 pixels of the reference); resets the reference
// after 250 ms otherwise. A negative *motion marks a reference with no report yet: the
// first report then starts the clock.
bool selection_input_recentre_check(DWORD* ref_time, POINT* ref_cursor, int64_t* motion, DWORD time, POINT cursor,
                                    LONG dx, LONG dy);
// raw_mouse_percent clamped to 25..400.
int selection_input_clamp_percent(int percent);
