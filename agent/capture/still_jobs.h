#pragma once
// Screenshots on the capture thread: hotkey and tray actions, control-pipe
// requests and region selections are turned into a frame buffer and handed to
// a save job on the stills pool, which encodes, records and reports the file.
// The capture thread never encodes or writes files itself.
#include "agent/capture/region_request.h"
#include "agent/capture/still_request.h"
#include "common/config.h"
#include "common/win.h"
#include <cstddef>
#include <cstdint>

struct display_cache;
struct frame_buffer;

enum {
    STILL_TARGET_MAX = 128,  // target description, wide, terminator included
    STILL_TITLE_SHOWN = 96,  // window title characters kept in a description
    STILL_ERROR_MAX = 160,   // "code\tmsg=message", wide
};

// What a region selection posts back to the capture thread (WM_CAPTURE_REGION).
// Allocated zero-filled on the process heap by the selection's requester; the capture
// thread frees it with still_region_free.
struct region_result {
    LONG left, top, right, bottom;  // virtual-desktop pixels
    int digit;                      // chord digit, 0 = none
    still_request* job;             // a waiting pick request (its reference passes here), or none
    wchar_t warning[64];            // storage warning text taken when the selection began
    int no_sound;
    int live;  // the overlay showed the live desktop, not a frozen image
    // A selection made for another requester (a region clip): `take` gets it on the capture
    // thread instead of a still being saved; `drop` hears why when it is freed unused.
    void (*take)(display_cache* cache, void* owner, const RECT* rect, int digit);
    void (*drop)(void* owner, const char* why);
    void* owner;
};

// What the still jobs reach above their layer, installed by the agent's wiring before the
// capture thread starts. Without them no sound plays and a region pick is answered
// "internal" "cannot start overlay".
enum still_sound { STILL_SOUND_CHIME = 0, STILL_SOUND_WARNING = 1 };
struct still_hooks {
    void (*play)(int sound);  // still_sound
    // Opens a region selection for req (overlay_start); the same contract: req->done answers
    // exactly once, before a false return or later on the selection's own thread.
    bool (*open_region)(display_cache* cache, const region_request* req);
};
void still_set_hooks(const still_hooks* hooks);

// ---- Pure helpers (no Win32 call).

// Bytes of a width x height BGRA frame; 0 when either side is not positive.
uint64_t still_buffer_bytes(int64_t width, int64_t height);
// Frame memory a still of that size takes from the stills budget: the BGRA frame and the
// encoder's working memory for the format (0 PNG, 1 JPEG); 0 for an empty size.
uint64_t still_shot_bytes(int64_t width, int64_t height, int format);
// Checked before capturing: the encoder takes the size ("encode") and the shot fits the
// stills budget at all ("capture", too large). False with "code: sentence" in err.
bool still_shot_fits(int64_t width, int64_t height, int format, uint64_t budget, char* err, size_t err_cap);
// The reply code for a "code: sentence" failure of the file-name rules: the code when the
// refusal table knows it, else "internal".
const char* still_name_code(const char* code);
// The descriptions a pipe reply shows; each writes at most STILL_TARGET_MAX characters
// (terminator included) and returns the length.
int still_describe_monitor(wchar_t out[STILL_TARGET_MAX], int index);  // -1: under the cursor
int still_describe_window(wchar_t out[STILL_TARGET_MAX], const void* hwnd, const wchar_t* title);
int still_describe_rect(wchar_t out[STILL_TARGET_MAX], const RECT* rect);
int still_describe_pick(wchar_t out[STILL_TARGET_MAX], int width, int height);
// "code\tmsg=message" into out (cut to STILL_ERROR_MAX); returns the length.
int still_error_text(wchar_t out[STILL_ERROR_MAX], const char* code, const char* msg);
// The request's format when it is 0 or 1, else the configured one (0 PNG, 1 JPEG).
int still_pick_format(int requested, int configured);
// The request's quality when at least 1, else the configured one.
int still_pick_quality(int requested, int configured);
// File extension of a format: "jpg" for 1, else "png".
const wchar_t* still_ext(int format);
// The folder a pipe request's destination is checked against: its output path, else
// its directory, else the stills folder.
const wchar_t* still_gate_path(const wchar_t* out_path, const wchar_t* dir, const wchar_t* stills_dir);
// True when the rectangle has an area and meets at least one of the outputs.
bool still_rect_covered(const RECT* rect, const RECT* outputs, int output_count);
// Elapsed milliseconds between two performance-counter values; 0 when start is 0,
// freq is not positive or the clock went backwards.
int64_t still_elapsed_ms(int64_t start, int64_t now, int64_t freq);

// ---- Capture thread entry points.

// A hotkey, tray or launch action (ids 1-3; others are not still actions) with its digit.
void still_hotkey_action(display_cache* cache, int action, int digit);
// A screenshot request from the control pipe. Takes over the capture side's reference:
// the job is answered (now or by the save job) exactly once.
void still_pipe_shot(display_cache* cache, still_request* job);
// Opens a region selection for a still: a hotkey's with its digit, or the waiting pick
// `job` (its capture-side reference passes to the selection), saved with the storage
// warning's sound unless no_sound. False when no selection opened (a waiting job has
// been answered: busy, cancelled or internal); true once one runs, or when its thread
// could not start (answered then). On the capture thread.
bool still_region_pick(display_cache* cache, int digit, still_request* job, const wchar_t* warning, int no_sound);
// The outcome of a region selection; frees the record.
void still_region_result(display_cache* cache, region_result* rr);
// Frees a region result without acting on it (failing a waiting request, or telling the
// other requester, that it was cancelled for `why`).
void still_region_free(region_result* rr, const char* why);
// A zero-filled region result for a selection (rectangle, digit, look); null, logged,
// when memory is short.
region_result* still_region_make(const region_selection* sel);
// Posts a region result to the capture thread, whose it is then. False, logged, when the
// thread is gone: the record is still the caller's.
bool still_region_post(region_result* rr);
// A stills buffer for a region of width x height (the request's format, else the
// configured one); null, logged, when that size cannot be saved or the pool is exhausted.
frame_buffer* still_region_buffer(int64_t width, int64_t height, const still_request* job);
// Saves a filled region buffer as a region screenshot: into the digit's folder slot,
// for the waiting request or as a hotkey shot, with the sound unless no_sound. Takes
// the buffer and the request's reference (both are answered or released here). Runs on
// the capture thread for the live look and on the overlay thread for the frozen one.
void still_region_save(frame_buffer* buf, int digit, still_request* job, const wchar_t* warning, int no_sound);

// The folder slot the last hotkey screenshot used ("" for the base folder).
void still_last_folder(wchar_t out[260]);

// ---- Stills pool.

// The save job (argument: a frame buffer from the stills frame pool with its path,
// format, quality and optional request): encodes, records the history, answers the
// request or reports to the agent window, and releases the buffer.
void still_save_job(void* buffer);
