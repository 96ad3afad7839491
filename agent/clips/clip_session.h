#pragma once
// Clip sessions: one recording at a time of a monitor, a window or a rectangle,
// paced on the capture thread against the performance counter, with pause, resume,
// redo, cancel, stop and the two audio switches; its part of the shared clip status
// (clip_shared.h) that the control pipe and the clip bar read. The session drives the
// replay (replay.h) and arms the capture thread's timer for both. All session control
// runs on the capture thread; requests reach it as clip_request records
// (WM_CAPTURE_CLIP), hotkey actions (WM_CAPTURE_ACTION) and pick selections
// (WM_CAPTURE_REGION).
#include "agent/clips/clip_shared.h"
#include "common/config.h"
#include "common/win.h"
#include <cstdint>

struct display_cache;

enum {
    CLIP_MIC_DELAY_MS = 450,  // the start chime plays out before the microphone counts
};

// Thin forwards to clip_shared for the control pipe, the overlay and the capture thread,
// under the names they call.
clip_request* clip_request_create(void);
void clip_request_add_ref(clip_request* req);
void clip_request_release(clip_request* req);
void clip_request_reply(clip_request* req, bool ok, const char* code, const char* message);
void clip_status_read(clip_status* out);
long clip_finalizing(void);
const char* clip_state_word(int state);
const char* clip_last_word(const clip_status* s);

// Where a refused hotkey, tray or launch action shows its warning ("Clip not started",
// "Replay not saved"), on the capture thread: the wiring hands in the tray's warning
// balloon before the capture thread starts. None: the warning sound only.
typedef void (*clip_warning_fn)(const wchar_t* title, const wchar_t* text);
void clip_set_warning(clip_warning_fn fn);

// ---- Capture thread.

// Called once when the capture thread starts, with its waitable timer (none allowed).
void clip_thread_begin(HANDLE timer);
// A clip_request from the pipe (WM_CAPTURE_CLIP): runs the op and drops the capture
// thread's reference.
void clip_handle_request(display_cache* cache, clip_request* req);
// Hotkey, tray or launch actions 4-9 with their chord digit.
void clip_hotkey_action(display_cache* cache, int action, int digit);
// A pick selection for a clip ended with a rectangle: starts the region clip. Takes the
// selection's reference.
void clip_region_selected(display_cache* cache, clip_request* req, const RECT* rect, int digit);
// A pick selection for a clip was cancelled (or could not open): clears the selecting
// flag, replies "cancelled" / "pick cancelled" and drops the selection's reference.
// Any thread.
void clip_pick_cancelled(clip_request* req);
// The same with another code and message (a busy overlay, a selection that could not
// start or could not reach the capture thread). Null does nothing. Any thread.
void clip_pick_failed(clip_request* req, const char* code, const char* message);
// True while a clip session exists (capture thread).
bool clip_active(void);
// True while a clip or the replay needs the timer.
bool clip_timer_active(void);
// Every wake of the capture thread: the clip's tick, then the replay's; re-arms the timer.
void clip_wake(display_cache* cache);
// After a configuration reload (WM_CAPTURE_CONFIG): starts or stops the replay.
void clip_config_changed(display_cache* cache);
// At capture-thread start: starts the replay when replay_enabled is set.
void clip_startup(display_cache* cache);
// At agent stop: the clip is stopped silently with "agent stopping" (its take kept) and
// the replay is stopped.
void clip_shutdown(display_cache* cache);

// ---- Pure helpers (no system calls).

// Output size of a clip source (scaled to fit 4096, even); false when below 64.
bool clip_output_size(int src_w, int src_h, int* out_w, int* out_h);
// Index of the output with the largest intersection with r (first on ties), -1 when
// none; the intersection goes to *out.
int clip_best_output(const RECT* r, const RECT* outputs, int count, RECT* out);
// True when free_mb leaves room for a full-length clip: free >= kbps x seconds / 8000 +
// max(stop_free_mb, 0) + 1.
bool clip_full_length_fits(uint64_t free_mb, int kbps, int seconds, int stop_free_mb);
// Descriptions (wide, CLIP_TARGET_TEXT_MAX, always terminated): "screen %d";
// "window %ls" with at most 79 characters of the title, "(untitled)" when empty;
// "region %ld,%ld %dx%d"; "window of %ls" with the file name of the program's image
// path, "(unknown program)" when there is none.
void clip_describe_screen(wchar_t out[CLIP_TARGET_TEXT_MAX], int index);
void clip_describe_window(wchar_t out[CLIP_TARGET_TEXT_MAX], const wchar_t* title);
void clip_describe_region(wchar_t out[CLIP_TARGET_TEXT_MAX], const RECT* r);
void clip_describe_program(wchar_t out[CLIP_TARGET_TEXT_MAX], const wchar_t* image_path);
