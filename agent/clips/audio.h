// Clip and replay sound: one "ivra-audio" thread per recording captures system
// sound and the microphone, mixes them into 48 kHz float stereo paced by the
// performance counter, and queues 20 ms chunks on the encoder.
#pragma once

#include "agent/clips/encoder.h"

#include <cstdint>

struct audio_capture;
struct IActivateAudioInterfaceCompletionHandler;

struct audio_status {
    int system_on, system_open;
    float system_level;
    long system_result;  // HRESULT of the failed open, 0 when none
    int mic_on, mic_open;
    float mic_level;
    long mic_result;
    uint64_t frames;        // frames delivered to the encoder
    uint64_t underruns;     // frames padded with silence
    int loopback_fallback;  // system sound comes from endpoint loopback (hears our own sounds)
};

// Starts the thread; none when the encoder has no AAC track or the thread cannot start.
// The sources open at once, but no sound is produced before the first
// audio_request_reset: the caller makes that call with its first picture, so sound and
// picture start together however long the first frame or the devices take.
// The microphone joins the mix mic_delay_ms after the start (the start chime must not
// reach it). With hold_sounds, a system source that can only hear the whole device
// (endpoint loopback) keeps the agent's own sounds quiet while it records and stays
// silent for the same delay.
audio_capture* audio_start(video_encoder* enc, bool system_on, bool mic_on, unsigned mic_delay_ms, bool hold_sounds);

// Learns, on a short-lived thread of its own, how system sound can be recorded here,
// so that the first recording opens its sources without delay. Call once at start.
void audio_prepare(void);

// Signals the thread and waits for it; no chunk is queued after this returns. Null-safe.
void audio_stop(audio_capture* a);

// Pause keeps draining the devices but produces nothing; resume re-bases the clock so
// the pause leaves no silence behind.
void audio_set_paused(audio_capture* a, bool paused);
// The sound frames the pictures cover so far: the next pause or stop produces at least
// that much, so sound and pictures end together.
void audio_mark_end(audio_capture* a, uint64_t frames);
void audio_set_mic(audio_capture* a, bool on);
// Switches system sound into or out of the mix from now on (the device stays open once opened).
void audio_set_system(audio_capture* a, bool on);
// Restarts the timeline at zero from the counter value `at` (0 = now) and drops buffered
// sound: a redo, or the first picture, whose slot may lie before or after the start.
void audio_request_reset(audio_capture* a, int64_t at);
void audio_read_status(audio_capture* a, audio_status* out);

// The completion object of one process-loopback activation, with one reference for the
// caller; none when out of resources. It signals its own event when the activation
// completes and closes it with the last reference, so a completion that arrives after
// the caller gave up waiting still finds it open.
IActivateAudioInterfaceCompletionHandler* audio_activation_handler(void);
HANDLE audio_activation_event(IActivateAudioInterfaceCompletionHandler* h);

// ---- Pure helpers (no system calls): the mixing and pacing rules of the thread.

#define AUDIO_RATE 48000
#define AUDIO_CHUNK 960            // frames per chunk (20 ms)
#define AUDIO_BUFFER_FRAMES 48000  // one second per source

// Appends n stereo frames (zeros when frames is null) to a source buffer holding
// *count frames; whenever it is full before a copy the oldest half is dropped.
void audio_buffer_append(float* buf, int* count, const float* frames, int n);

// The largest absolute sample of n stereo frames.
float audio_peak(const float* frames, int n);

// Takes up to one chunk from a source buffer, adding it into mix (AUDIO_CHUNK stereo
// frames) when add is set; a backlog more than 100 ms beyond the due_after frames still
// owed is then trimmed to the newest 50 ms beyond them. Returns the frames missing from
// a full chunk when add is set (underruns), else 0.
int audio_buffer_take(float* buf, int* count, float* mix, bool add, int64_t due_after);

// Frames owed at counter value now for a timeline that began at base: 0 when less
// than a chunk is due; more than a second behind skips ahead to one chunk.
int64_t audio_frames_due(int64_t now, int64_t base, int64_t freq, uint64_t* delivered);

// The counter value at which `delivered` frames are due now (a resume re-bases to it).
int64_t audio_rebase(int64_t now, int64_t freq, uint64_t delivered);
