// Clip and replay sound: one "ivra-audio" thread per recording captures system
// sound and the microphone, mixes them into 48 kHz float stereo paced by the
// performance counter, and queues 20 ms chunks on the encoder.
#pragma once

#include "agent/clips/encoder.h"

#include <cstdint>

struct audio_capture;

struct audio_status {
    int system_on, system_open;
    float system_level;
    long system_result;     // HRESULT of the failed open, 0 when none
    int mic_on, mic_open;
    float mic_level;
    long mic_result;
    uint64_t frames;        // frames delivered to the encoder
    uint64_t underruns;     // frames padded with silence
    int loopback_fallback;  // system sound comes from endpoint loopback (hears our own sounds)
};

// Starts the thread; none when the encoder has no AAC track or the thread cannot start.
audio_capture* audio_start(video_encoder* enc, bool system_on, bool mic_on, unsigned mic_delay_ms);

// Signals the thread and waits for it; no chunk is queued after this returns. Null-safe.
void audio_stop(audio_capture* a);

// Pause keeps draining the devices but produces nothing; resume re-bases the clock so
// the pause leaves no silence behind.
void audio_set_paused(audio_capture* a, bool paused);
void audio_set_mic(audio_capture* a, bool on);
void audio_set_system(audio_capture* a, bool on);
// Restarts the timeline at zero and drops buffered sound (a redo).
void audio_request_reset(audio_capture* a);
void audio_read_status(audio_capture* a, audio_status* out);
