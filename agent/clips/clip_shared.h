#pragma once
// What a clip session and the replay share, owned by neither: the request record
// that carries an operation to the capture thread and its answer, the shared status
// snapshot, the hand-over of a finished take or replay save (clip_shared_finished),
// the capture thread's clock, timer and test hooks, the encoder's device and
// settings, the output path rules and the per-output frame counters. The session
// (clip_session.h) drives the replay (replay.h); both stand on this module.
#include "agent/clips/encoder.h"
#include "common/config.h"
#include "common/win.h"
#include <cstddef>
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
    CLIP_SEQUENCE_OUTPUTS = 16,
};

// ---- Requests.

// One operation handed to the capture thread. Created by clip_shared_request_create
// (count 1, both events); the requester adds one before posting; the capture thread
// drops one when its handler returns; a waiter registration holds one until the final
// result is in.
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
clip_request* clip_shared_request_create(void);
void clip_shared_request_add_ref(clip_request* req);
// Drops one reference; the last closes the events and frees the record. Null does nothing.
void clip_shared_request_release(clip_request* req);
// Fills the reply slots and signals the reply event. A refusal (ok false) writes
// "clip: <message> (<code>)" to the log. A success clears code and message.
void clip_shared_request_reply(clip_request* req, bool ok, const char* code, const char* message);

// ---- The shared status.

struct clip_status {
    int state;  // clip_state (clip_status_read turns idle + selecting into 3)
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

    // The replay's part (clip_shared_status_publish_replay).
    int replay_active;
    int replay_width, replay_height, replay_fps;
    double replay_buffered;
    uint64_t replay_saves;
    char replay_error[CLIP_MESSAGE_MAX];

    // The last result (clip_shared_finished).
    int last_valid, last_saved, last_discarded;
    wchar_t last_path[ENCODER_PATH_MAX];
    double last_seconds;
    uint64_t last_bytes;
    char last_error[CLIP_MESSAGE_MAX];
    uint64_t saved_total;
};

// A copy of the snapshot under the shared lock (the session's reader adds its
// selecting state).
void clip_shared_status_read(clip_status* out);
// Publishes the session's part of the status: the fields before replay_active are taken
// from s, the replay's part and the last result stay as they are.
void clip_shared_status_publish_session(const clip_status* s);
// Publishes the replay's part of the status (under the status lock).
void clip_shared_status_publish_replay(int active, int width, int height, int fps, double buffered, uint64_t saves,
                                       const char* error);
// Takes and replay saves handed to finishing and not yet reported.
long clip_shared_finalizing(void);
// Takes and replay saves handed to finishing: +1 when one is handed over, -1 to undo.
void clip_shared_finalizing_add(long delta);
// "idle", "recording", "paused", "selecting".
const char* clip_shared_state_word(int state);
// "none", "saved", "discarded" or "failed" for the last result.
const char* clip_shared_last_word(const clip_status* s);

// ---- Finishing.

// Where a finished take or replay save reports (the completion of encoder_finish and
// encoder_save_replay). data is a clip_finish record.
struct clip_finish {
    uint64_t id;
    bool silent;
    bool replay;
    clip_request* waiters[CLIP_MAX_WAITERS];
    int waiter_count;
};
// Records the result in the history and the status, drops one from the finalizing count,
// hands it to every waiter and posts the saved-capture record to the agent window;
// frees f. Clips worker, or inline on the capture thread.
void clip_shared_finished(void* data, const clip_result* result);

// ---- Capture thread: clock, timer and test hooks.

// Called from clip_thread_begin with the capture thread's waitable timer (none allowed):
// reads the clip-speed and tone test hooks.
void clip_shared_begin(HANDLE timer);
// The performance counter now, and its frequency.
int64_t clip_shared_now(void);
int64_t clip_shared_freq(void);
// Frame period in performance-counter ticks for fps (faster under the clip-speed test hook).
int64_t clip_shared_frame_period(int fps);
// Arms the capture thread's timer for deadline (performance counter); nothing without a timer.
void clip_shared_timer_arm(int64_t deadline);
// Cancels the capture thread's timer; nothing without a timer.
void clip_shared_timer_cancel(void);
// True when IVRA_DEBUG_HOOKS is on (read at clip_shared_begin).
bool clip_shared_debug_hooks(void);

// Test aid for the sound path while no audio capture exists: with IVRA_DEBUG_HOOKS=1 and
// IVRA_DEBUG_CLIP_TONE_HZ=N (N > 0) a clip or replay with an audio track is fed a sine of
// N Hz through encoder_submit_audio, one accepted video frame's worth at a time.
struct clip_tone {
    int hz;  // 0: off
    int fps;
    int64_t slots;    // frames fed so far
    int64_t samples;  // samples fed so far (the sine's phase)
    bool muted;       // its source is switched off: silence in its place
};
// N of IVRA_DEBUG_CLIP_TONE_HZ under the debug hooks, else 0 (read at clip_shared_begin).
int clip_shared_tone_hz(void);
// Feeds one frame's worth of the tone (nothing when tone->hz is 0). Capture thread.
void clip_shared_tone_feed(video_encoder* enc, clip_tone* tone);

// ---- Capture thread: devices, settings, paths, frame counters.

// True without a cache or a device, or when the device is lost.
bool clip_shared_device_gone(const display_cache* cache);
// The device for an encoder: the video-capable one, else the cache's own (the CPU
// conversion needs no video interfaces). None when the cache has no usable device.
ID3D11Device* clip_shared_encoder_device(const display_cache* cache);
// Encoder settings of a clip (ring 0) or of the replay (ENCODER_RING_SECONDS) from the
// configuration: the cache's device, the clips pool and frame memory, bit rate and
// encoder preference.
encoder_params clip_shared_encoder_params(const display_cache* cache, const config* cfg, int width, int height, int fps,
                                          bool audio, int ring_seconds);
// Resolves the output folder and path of a new clip or replay file (out, dir, chord
// folder, clips_dir, folder; extension "mp4"). False with a reply code and message
// (outputs untouched then). A generated name stays reserved until capture_name_release.
bool clip_shared_output_path(const clip_request* req, const config* cfg, wchar_t base[ENCODER_PATH_MAX],
                             wchar_t sub[CLIP_FOLDER_MAX], wchar_t path[ENCODER_PATH_MAX], bool* explicit_path,
                             char code[CLIP_CODE_MAX], char message[CLIP_MESSAGE_MAX]);
// Splits a "code: sentence" text of the file-name rules into a reply's code and message
// ("internal" and the text, or "no file name could be made", when it has no code).
void clip_shared_split_error(const char* err, char code[CLIP_CODE_MAX], char message[CLIP_MESSAGE_MAX]);
// The output's frame_sequence counter moved since *seen (updated); outputs above 15
// pass `fresh` through.
bool clip_shared_sequence_new(int output, bool fresh, uint32_t* seen);
// Records that output's acquisition reported a new frame.
void clip_shared_sequence_bump(int output);

// ---- Pure helpers (no system calls).

// in (null: "") into out of cap characters, cut and always terminated.
void clip_shared_copy(char* out, size_t cap, const char* in);
void clip_shared_wcopy(wchar_t* out, size_t cap, const wchar_t* in);

// Samples of 48 kHz sound that belong to video frame `slot` at fps, so that the
// running total after k frames is k x 48000 / fps exactly.
int clip_shared_tone_slot_samples(int64_t slot, int fps);

// Pacing of one wake. Given now, the deadline and the period (counter ticks) and fps:
// when now is more than half a second of periods behind, the lost periods (late) are
// skipped and the deadline moves on; returns the number of frame slots due now
// (0 when now < deadline) and the new deadline after them.
struct clip_pace {
    int64_t late;      // periods skipped
    int64_t frames;    // slots due now
    int64_t deadline;  // after those slots
};
clip_pace clip_shared_pace_step(int64_t now, int64_t deadline, int64_t period, int fps);
// clip_fps as recorded: 60 when below 1, at most 120.
int clip_shared_fps_clamp(int fps);
// A request's seconds as recorded: 1-30 as is, anything else 30.
int clip_shared_seconds_clamp(int seconds);
// A source size scaled to fit 4096 (both sides times 4096 / the larger one, truncated)
// and rounded down to even; no lower limit.
void clip_shared_fit_size(int src_w, int src_h, int* out_w, int* out_h);
// Ticks of one frame: freq / fps, and again / speed when speed is 2 or more; at least 1.
int64_t clip_shared_period_ticks(int64_t freq, int fps, int speed);
// Relative due time (100-ns units, negative) of a waitable timer for a deadline:
// -((deadline - now) * 10,000,000 / freq), or -1 when the deadline has passed.
int64_t clip_shared_timer_due(int64_t deadline, int64_t now, int64_t freq);
