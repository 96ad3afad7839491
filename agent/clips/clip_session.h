#pragma once
// Clip sessions: one recording at a time of a monitor, a window or a rectangle,
// paced on the capture thread against the performance counter, with pause, resume,
// redo, cancel, stop and the two audio switches; and the shared clip status that the
// control pipe and the clip bar read. All session control runs on the capture
// thread; requests reach it as clip_request records (WM_CAPTURE_CLIP), hotkey
// actions (WM_CAPTURE_ACTION) and pick selections (WM_CAPTURE_REGION).
#include "agent/clips/encoder.h"
#include "common/config.h"
#include "common/win.h"
#include <cstdint>

struct display_cache;

enum clip_op {
    CLIP_OP_START = 1,
    CLIP_OP_STOP,
    CLIP_OP_PAUSE,
    CLIP_OP_RESUME,
    CLIP_OP_TOGGLE,
    CLIP_OP_REDO,
    CLIP_OP_CANCEL,
    CLIP_OP_AUDIO,
    CLIP_OP_REPLAY_SAVE,
};

enum clip_target { CLIP_TARGET_SCREEN = 0, CLIP_TARGET_WINDOW = 1, CLIP_TARGET_REGION = 2, CLIP_TARGET_PICK = 3 };

enum clip_state { CLIP_IDLE = 0, CLIP_RECORDING = 1, CLIP_PAUSED = 2, CLIP_SELECTING = 3 };

enum {
    CLIP_CODE_MAX = 32,
    CLIP_MESSAGE_MAX = 160,
    CLIP_TARGET_TEXT_MAX = 128,
    CLIP_FOLDER_MAX = 64,
    CLIP_MAX_WAITERS = 8,
    CLIP_MAX_SECONDS = 30,
    CLIP_MIC_DELAY_MS = 450,  // the start chime plays out before the microphone counts
    CLIP_SEQUENCE_OUTPUTS = 16,
};

// One operation handed to the capture thread. Created by clip_request_create (count 1,
// both events); the requester adds one before posting; the capture thread drops one when
// its handler returns; a waiter registration holds one until the final result is in.
struct clip_request {
    // Request.
    int op;       // clip_op
    int target;   // clip_target
    int monitor;  // output index; -1 = the monitor under the cursor
    HWND window;
    LONG region[4];  // left, top, right, bottom (virtual desktop)
    int seconds;     // 1-30; anything else means 30
    int digit;       // chord digit 1-9, else none
    bool silent;
    bool wait;
    bool no_bar;
    int system;  // -1 = clip_audio_system
    int mic;     // -1 = clip_audio_mic
    bool no_audio;
    bool toggle_mic;                  // op 8: the microphone, else system sound
    int toggle_value;                 // op 8: -1 toggle, 0 off, 1 on
    wchar_t out[ENCODER_PATH_MAX];    // explicit output file
    wchar_t folder[CLIP_FOLDER_MAX];  // subfolder under the base folder
    wchar_t dir[ENCODER_PATH_MAX];    // base folder replacing the settings folder

    HANDLE reply_event;  // manual-reset: reply slots filled
    HANDLE final_event;  // manual-reset: final slots filled

    // Reply.
    bool ok;
    char code[CLIP_CODE_MAX];
    char message[CLIP_MESSAGE_MAX];
    uint64_t session;
    int width, height, fps;
    char encoder[ENCODER_NAME_MAX];
    wchar_t path[ENCODER_PATH_MAX];
    wchar_t target_text[CLIP_TARGET_TEXT_MAX];

    // Final result, copied from the take's clip_result.
    bool saved;
    bool discarded;
    bool result_no_audio;
    uint64_t bytes;
    uint64_t repeated;
    uint64_t dropped;
    double result_seconds;
    int64_t frames;
    char error[CLIP_MESSAGE_MAX];

    volatile LONG refs;
};

// A zero-filled request with count 1, both events, monitor/system/mic/toggle -1.
// None when memory or events cannot be had.
clip_request* clip_request_create(void);
void clip_request_add_ref(clip_request* req);
// Drops one reference; the last closes the events and frees the record. Null does nothing.
void clip_request_release(clip_request* req);
// Fills the reply slots and signals the reply event. A refusal (ok false) writes
// "clip: <message> (<code>)" to the log. A success clears code and message.
void clip_request_reply(clip_request* req, bool ok, const char* code, const char* message);

// The shared status snapshot.
struct clip_status {
    int state;  // clip_state (the reader turns idle + selecting into 3)
    uint64_t session;
    wchar_t path[ENCODER_PATH_MAX];
    wchar_t target[CLIP_TARGET_TEXT_MAX];
    int64_t take_frames;
    int fps, width, height, limit;
    encoder_counters enc;
    uint64_t late;
    int target_kind;
    RECT capture_rect;  // current capture rectangle (virtual desktop)
    RECT output_rect;   // current output rectangle (virtual desktop)
    int bar_shown;

    int audio;  // an audio capture runs
    int system_on, system_ok;
    double system_level;
    int mic_on, mic_ok;
    double mic_level;
    uint64_t audio_underruns;
    long system_result, mic_result;  // HRESULT of a source that failed to open, else 0

    int replay_active;
    int replay_width, replay_height, replay_fps;
    double replay_buffered;
    uint64_t replay_saves;
    char replay_error[CLIP_MESSAGE_MAX];

    int last_valid, last_saved, last_discarded;
    wchar_t last_path[ENCODER_PATH_MAX];
    double last_seconds;
    uint64_t last_bytes;
    char last_error[CLIP_MESSAGE_MAX];
    uint64_t saved_total;
};

// A copy of the snapshot under the shared lock; state 3 when idle and a clip
// selection is open.
void clip_status_read(clip_status* out);
// Takes and replay saves handed to finishing and not yet reported.
long clip_finalizing(void);
// "idle", "recording", "paused", "selecting".
const char* clip_state_word(int state);
// "none", "saved", "discarded" or "failed" for the last result.
const char* clip_last_word(const clip_status* s);

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

// ---- Shared with the replay (capture thread).

// The output's frame_sequence counter moved since *seen (updated); outputs above 15
// pass `fresh` through.
bool clip_sequence_new(int output, bool fresh, uint32_t* seen);
// Records that output's acquisition reported a new frame.
void clip_sequence_bump(int output);
// Publishes the replay's part of the status (under the status lock).
void clip_status_publish_replay(int active, int width, int height, int fps, double buffered, uint64_t saves,
                                const char* error);
// Arms the capture thread's timer for the earlier of the clip's and the replay's
// deadlines.
void clip_arm_timer(void);
// Resolves the output folder and path of a new clip or replay file (out, dir, chord
// folder, clips_dir, folder; extension "mp4"). False with a reply code and message
// (outputs untouched then). A generated name stays reserved until capture_name_release.
bool clip_output_path(const clip_request* req, const config* cfg, wchar_t base[ENCODER_PATH_MAX],
                      wchar_t sub[CLIP_FOLDER_MAX], wchar_t path[ENCODER_PATH_MAX], bool* explicit_path,
                      char code[CLIP_CODE_MAX], char message[CLIP_MESSAGE_MAX]);
// Takes and replay saves handed to finishing: +1 when one is handed over, -1 to undo.
void clip_finalizing_add(long delta);
// The performance counter now.
int64_t clip_now(void);
// True without a cache or a device, or when the device is lost.
bool clip_device_gone(const display_cache* cache);
// Frame period in performance-counter ticks for fps (faster under the clip-speed test hook).
int64_t clip_frame_period(int fps);
// The device for an encoder: the video-capable one, else the cache's own (the CPU
// conversion needs no video interfaces). None when the cache has no usable device.
ID3D11Device* clip_encoder_device(const display_cache* cache);
// Encoder settings of a clip (ring 0) or of the replay (ENCODER_RING_SECONDS) from the
// configuration: the cache's device, the clips pool and frame memory, bit rate and
// encoder preference.
encoder_params clip_encoder_params(const display_cache* cache, const config* cfg, int width, int height, int fps,
                                   bool audio, int ring_seconds);

// Where a finished take or replay save reports (the completion of encoder_finish and
// replay_ring_save). data is a clip_finish record.
struct clip_finish {
    uint64_t id;
    bool silent;
    bool replay;
    clip_request* waiters[CLIP_MAX_WAITERS];
    int waiter_count;
};
void clip_finished(void* data, const clip_result* result);

// Test aid for the sound path while no audio capture exists: with IVRA_DEBUG_HOOKS=1 and
// IVRA_DEBUG_CLIP_TONE_HZ=N (N > 0) a clip or replay with an audio track is fed a sine of
// N Hz through encoder_submit_audio, one accepted video frame's worth at a time.
struct clip_tone {
    int hz;  // 0: off
    int fps;
    int64_t slots;    // frames fed so far
    int64_t samples;  // samples fed so far (the sine's phase)
};
// N of IVRA_DEBUG_CLIP_TONE_HZ under the debug hooks, else 0 (read at clip_thread_begin).
int clip_tone_hz(void);
// Feeds one frame's worth of the tone (nothing when tone->hz is 0). Capture thread.
void clip_tone_feed(video_encoder* enc, clip_tone* tone);
// True when IVRA_DEBUG_HOOKS is on (read at clip_thread_begin).
bool clip_debug_hooks(void);

// ---- Pure helpers (no system calls).

// Samples of 48 kHz sound that belong to video frame `slot` at fps, so that the
// running total after k frames is k x 48000 / fps exactly.
int clip_tone_slot_samples(int64_t slot, int fps);

// Pacing of one wake. Given now, the deadline and the period (counter ticks) and fps:
// when now is more than half a second of periods behind, the lost periods (late) are
// skipped and the deadline moves on; returns the number of frame slots due now
// (0 when now < deadline) and the new deadline after them.
struct clip_pace {
    int64_t late;      // periods skipped
    int64_t frames;    // slots due now
    int64_t deadline;  // after those slots
};
clip_pace clip_pace_step(int64_t now, int64_t deadline, int64_t period, int fps);
// Output size of a clip source (scaled to fit 4096, even); false when below 64.
bool clip_output_size(int src_w, int src_h, int* out_w, int* out_h);
// clip_fps as recorded: 60 when below 1, at most 120.
int clip_fps_clamp(int fps);
// A request's seconds as recorded: 1-30 as is, anything else 30.
int clip_seconds_clamp(int seconds);
// Index of the output with the largest intersection with r (first on ties), -1 when
// none; the intersection goes to *out.
int clip_best_output(const RECT* r, const RECT* outputs, int count, RECT* out);
// A source size scaled to fit 4096 (both sides times 4096 / the larger one, truncated)
// and rounded down to even; no lower limit.
void clip_fit_size(int src_w, int src_h, int* out_w, int* out_h);
// Ticks of one frame: freq / fps, and again / speed when speed is 2 or more; at least 1.
int64_t clip_period_ticks(int64_t freq, int fps, int speed);
// Relative due time (100-ns units, negative) of a waitable timer for a deadline:
// -((deadline - now) * 10,000,000 / freq), or -1 when the deadline has passed.
int64_t clip_timer_due(int64_t deadline, int64_t now, int64_t freq);
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
