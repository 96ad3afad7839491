#pragma once
// Frame acquisition: the newest frame of an output, HDR conversion, read-back of
// a rectangle into a frame buffer, and the capture shapes built on them (an
// output, a monitor or window target, any virtual-desktop rectangle), plus the
// PrintWindow fallback and the poll the clip code runs on every tick.
// Everything here runs on the capture thread.
#include "agent/capture/display_cache.h"
#include <cstdint>

#include "agent/core/frame_pool.h"

enum { CAPTURE_TARGET_MONITOR = 0, CAPTURE_TARGET_WINDOW = 1 };

struct capture_target {
    int kind;  // CAPTURE_TARGET_MONITOR or CAPTURE_TARGET_WINDOW
    HMONITOR monitor;
    HWND window;
    RECT rect;  // resolved, virtual-desktop coordinates
};

// Fills the target's rectangle and monitor. False (target untouched) when the window
// is gone or its rectangles cannot be read.
bool capture_resolve(capture_target* target);
// The output's newest frame, or its cached one when nothing changed; none on failure.
ID3D11Texture2D* capture_acquire(display_cache* cache, int index);
// Reads src (virtual-desktop coordinates, inside the output) of the output's cached frame
// into buf at (dx, dy). False (logged) on failure.
bool capture_read_back(display_cache* cache, int index, const RECT* src, frame_buffer* buf, int dx, int dy);
// The whole output into buf; out receives its desktop rectangle. False on failure.
bool capture_output(display_cache* cache, int index, frame_buffer* buf, RECT* out);
// A monitor or a window (its client area inside the frame bounds) from the one
// monitor that holds most of it. False on failure.
bool capture_target_grab(display_cache* cache, const capture_target* target, frame_buffer* buf);
// Any rectangle of the virtual desktop; parts outside every monitor are black.
bool capture_rect(display_cache* cache, const RECT* rect, frame_buffer* buf);
// The fallback for windows duplication cannot see: PrintWindow into a DIB.
bool capture_print_window(HWND window, frame_buffer* buf);
// For clips and the replay: never waits. True with the output's cached frame in *frame
// (possibly none) and *fresh set when a new image arrived; false on failure.
bool capture_poll(display_cache* cache, int index, ID3D11Texture2D** frame, int* fresh);
// Test aid (IVRA_DEBUG_HOOKS=1 only): the next n acquisitions (capture_acquire, capture_poll)
// fail as when the desktop is locked or a secure prompt shows; 0 ends it. False without the
// hooks. Any thread.
bool capture_debug_lose_access(unsigned n);

// ---- Pure helpers (no system calls).

// A window's capture rectangle: the client area clipped to the frame bounds, or the
// frame bounds when the two do not meet.
void capture_window_rect(const RECT* client, const RECT* frame, RECT* out);
// Acquire time-out in milliseconds.
unsigned capture_acquire_timeout(int continuous, int has_frame, int grabs_on_demand);

// One piece of a rectangle capture: the part of output `index` and where it lands.
struct capture_piece {
    int index;
    RECT src;    // virtual-desktop coordinates
    int dx, dy;  // destination in the buffer
};
// Splits rect over the outputs in order; returns the piece count (0 = no coverage).
int capture_plan_rect(const RECT* rect, const RECT* outputs, int output_count, capture_piece* pieces);
