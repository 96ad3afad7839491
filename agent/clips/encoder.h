#pragma once
// The video encoder of one clip session or of the replay: desktop textures are
// converted to NV12 (on the GPU through the D3D11 video processor, or on a clips
// worker with swscale when the device has no video interfaces), encoded to H.264
// at a constant frame rate, and optionally AAC sound beside it. Every piece of
// work runs in order on one job lane of the clips pool, so the capture thread
// never waits for encoding. The encoder is the middle of a pipeline that runs one
// way: its sources (the capture thread's frames, the audio thread's sound) call it;
// it hands every packet to its sink, a clip's take written by mp4.h or the replay's
// ring (replay_ring.h), which answer through return values and result records and
// never call back. A finished take or replay save reports through the completion its
// caller gave.
//
// Threads: create, submit_frame, start_take, finish and save_replay are called on
// the capture thread only; submit_audio on the audio thread; stats anywhere.
#include "agent/clips/mp4.h"
#include "common/win.h"
#include <d3d11.h>
#include <cstddef>
#include <cstdint>

struct worker_pool;
struct job_lane;
struct frame_pool;
struct frame_buffer;
struct replay_ring;
struct encoder_save_job;
struct AVCodecContext;
struct AVFrame;
struct AVPacket;
struct AVAudioFifo;
struct AVBufferRef;
struct SwsContext;

enum {
    ENCODER_NAME_MAX = MP4_NAME_MAX,    // encoder display name, terminator included
    ENCODER_ERROR_MAX = MP4_ERROR_MAX,  // error text, terminator included
    ENCODER_PATH_MAX = MP4_PATH_MAX,
    ENCODER_IN_VIEWS = 8,         // cached video processor input views
    ENCODER_OUT_VIEWS = 64,       // cached video processor output views
    ENCODER_MAX_IN_FLIGHT = 16,   // frames queued or being encoded
    ENCODER_QUEUE_CAPACITY = 80,  // items of the encoder's job lane
    ENCODER_AUDIO_RATE = MP4_AUDIO_RATE,
    ENCODER_RING_SECONDS = 30,  // a replay encoder's ring
};

// Runs on the clips worker that finished the take (or inline on the capture thread
// when the finish could not be queued). The result is only valid during the call.
typedef void (*encoder_done_fn)(void* data, const clip_result* result);

struct encoder_params {
    ID3D11Device* device;
    worker_pool* pool;   // the clips pool
    frame_pool* frames;  // the clips frame memory (CPU conversion path only)
    int width, height;   // output size; rounded down to even
    int fps;             // 60 when 0 or less
    int kbps;
    const wchar_t* preference;  // clip_encoder; null or empty means "auto"
    bool audio;                 // an AAC track is wanted
    int ring_seconds;           // 0 for a clip, ENCODER_RING_SECONDS for the replay
};

// What stats reports (clip status, the benchmark).
struct encoder_counters {
    uint64_t accepted, repeated, dropped;
    uint64_t packets, bytes;
    double encode_ms;   // average per encoded frame; 0 when none
    double convert_ms;  // CPU path: average swscale conversion per read-back; 0 when none
    int in_flight;
    int queue;       // items waiting in the lane now
    int queue_high;  // the lane's high-water mark
    uint64_t audio_dropped;
    char name[ENCODER_NAME_MAX];
};

struct encoder_in_view {
    ID3D11Texture2D* texture;
    ID3D11VideoProcessorInputView* view;
};

struct encoder_out_view {
    ID3D11Texture2D* texture;
    ID3D11VideoProcessorOutputView* view;
};

struct video_encoder {
    // Device side (capture thread).
    ID3D11Device* device;
    ID3D11DeviceContext* context;
    ID3D11VideoDevice* video_device;  // none: the CPU conversion path
    ID3D11VideoContext* video_context;
    ID3D11VideoProcessorEnumerator* vp_enum;
    ID3D11VideoProcessor* vp;
    int vp_in_w, vp_in_h;
    encoder_in_view in_views[ENCODER_IN_VIEWS];
    encoder_out_view out_views[ENCODER_OUT_VIEWS];
    AVBufferRef* hw_device;  // D3D11VA device context (GPU path)
    AVBufferRef* hw_frames;  // NV12 pool (GPU path)
    AVFrame* last_frame;     // GPU path: last converted frame, reused for repeats

    // CPU conversion path: staging read-back on the capture thread, swscale on the worker.
    bool cpu_path;
    frame_pool* frames;
    ID3D11Texture2D* staging;
    int staging_w, staging_h;
    bool cpu_have_frame;       // capture thread: a read-back frame was queued
    SwsContext* sws;           // worker
    int sws_src_w, sws_src_h;  // worker
    RECT sws_dst;              // worker: where the picture lands in cpu_last
    AVFrame* cpu_last;         // worker: last converted frame, reused for repeats
    frame_pool* own_frames;    // frame memory of our own when params gave none
    SwsContext* sws_gpu;       // worker: NV12 -> the software encoder's format

    // Geometry and timeline.
    int width, height, fps, kbps;
    int ring_seconds;
    int64_t frame_counter;     // pts of the next frame, in frames; never reset
    int64_t take_start_frame;  // capture thread's copy (limit counting)
    bool force_key;

    // Counters.
    uint64_t accepted, repeated, dropped;  // capture thread
    volatile LONG in_flight;
    volatile LONG64 audio_dropped;
    uint64_t packets, bytes;  // under lock
    double encode_ms_sum;     // under lock
    uint64_t encode_count;    // under lock
    double convert_ms_sum;    // under lock (CPU path)
    uint64_t convert_count;   // under lock (CPU path)
    SRWLOCK lock;

    // Encoders (worker).
    AVCodecContext* video;
    bool software;
    char name[ENCODER_NAME_MAX];
    AVCodecContext* audio;  // none without sound
    AVAudioFifo* fifo;
    int64_t audio_count;  // samples sent to the AAC encoder since creation
    int64_t audio_base;   // audio_count when the take began

    job_lane* lane;
    worker_pool* pool;

    // A clip's sink: the take being written (worker; see mp4.h).
    mp4_take take;
    volatile LONG sound_off;  // set by the session: no sound source was on in the take, drop its track at finish
    int64_t sound_from;       // worker: sound of a timeline begun before this belongs to a thrown-away take
    bool failed;              // sticky; worker side after creation
    char error[ENCODER_ERROR_MAX];
    volatile LONG failed_seen;  // set after failed and error, for the capture thread
    bool key_owed;              // worker, CPU path: a key frame was asked of a picture never sent
    bool cpu_last_valid;        // worker: cpu_last holds a converted picture
    uint64_t convert_failed;    // worker: conversions that failed (the last picture stood in)

    encoder_done_fn done;
    void* done_data;
    clip_result result;

    // The replay's sink: its packet rings (worker; see replay_ring.h). None for a clip.
    replay_ring* ring;
};

// ---- Pure helpers (no system calls).

enum { ENCODER_MAX_ATTEMPTS = 4 };

struct encoder_attempt {
    const char* codec;  // FFmpeg encoder name
    bool software;      // the "h264_mf (software)" attempt
};

// The attempts for a preference (UTF-8, null or empty = "auto") and IVRA_CLIP_SOFTWARE
// (software_env). Returns their count; 0 means the preference is not supported.
// The CPU stand-in encoder "libopenh264" is not listed here: it follows the software
// attempt wherever that one is tried.
int encoder_attempts(const char* preference, bool software_env, encoder_attempt out[ENCODER_MAX_ATTEMPTS]);
// True when IVRA_CLIP_SOFTWARE's value (null when absent) counts as set: 1 to 3
// characters beginning with '1'.
bool encoder_software_env(const wchar_t* value);
// Where a src_w x src_h picture lands in an out_w x out_h frame, letterboxed with even
// sizes and offsets. An empty source gives the whole frame.
void encoder_letterbox(int src_w, int src_h, int out_w, int out_h, RECT* dst);
// Output size for a source: scaled to fit 4096 when either side is larger (both times
// 4096 / the larger side, truncated), then rounded down to even.
void encoder_fit_size(int src_w, int src_h, int* out_w, int* out_h);
// GOP size: fps for a clip, (fps + 1) / 2 for a ring.
int encoder_gop(int fps, int ring_seconds);

// ---- Capture thread.

// A new encoder, or none with one of the documented messages in err (capacity
// ENCODER_ERROR_MAX) and nothing left allocated. A clip encoder (ring 0) queues the
// first take at path.
video_encoder* encoder_create(const encoder_params* params, const wchar_t* path, char err[ENCODER_ERROR_MAX]);
// Queues one frame: texture (a desktop texture) or none, src in the texture's pixels or
// none (the whole texture), is_new. False when the frame was not accepted (dropped,
// empty source, or a conversion failure). A repeat needs no texture.
bool encoder_submit_frame(video_encoder* enc, ID3D11Texture2D* texture, const RECT* src, bool is_new);
// Queues a new take at path (a redo, or a clip's first take). False when the lane
// refused; nothing changes then.
bool encoder_start_take(video_encoder* enc, const wchar_t* path);
// The same, for a take whose sound timeline begins at counter value sound_from: chunks
// stamped with an earlier timeline (queued by the audio thread before it saw the redo)
// are dropped.
bool encoder_start_take_at(video_encoder* enc, const wchar_t* path, int64_t sound_from);
// Ends the encoder: queues the finish (retried for about a second, then run inline),
// closes the lane, reports through done(data, result) and frees the encoder. The
// encoder must not be used after this call. done may be null.
void encoder_finish(video_encoder* enc, bool discard, encoder_done_fn done, void* data);
// Frames of the current take (frame counter - take start).
int64_t encoder_take_frames(const video_encoder* enc);

// Capture thread: queues a save of the ring's last `seconds` (replay_ring_save_seconds)
// into path on the replay encoder's lane, with the sound when include_audio is set and
// the ring has some; done(data, result) reports it from a clips worker. False when the
// lane refused (nothing queued).
bool encoder_save_replay(video_encoder* enc, const wchar_t* path, int seconds, bool include_audio, encoder_done_fn done,
                         void* data);

// True once the encoder has failed (sticky): nothing more is encoded and a replay's ring
// no longer grows. err (capacity ENCODER_ERROR_MAX, may be null) receives the error text.
bool encoder_failed(video_encoder* enc, char* err);

// ---- Lane items (the lane's worker runs them in order; open for the writer's tests).

// Receives every packet the H.264 encoder has ready and hands it to the sink (the take
// or the ring). After each sent frame and at finish.
void encoder_lane_drain(video_encoder* enc);
// Take start: empties the audio FIFO, throws away an open take (redo), opens a new one
// at path whose pictures begin at frame take_start. Failures mark the encoder failed
// with the writer's texts.
void encoder_lane_take_start(video_encoder* enc, int64_t take_start, const wchar_t* path);
// Audio chunk: appends interleaved stereo samples to the FIFO and encodes whole AAC
// frames for the sink (a take's sound waits for its pictures).
void encoder_lane_audio(video_encoder* enc, const float* samples, int frames);
// Finish: flushes both encoders, ends the take (mp4_take_finish) and fills enc->result
// (repeated and dropped are added by the encoder's close step).
void encoder_lane_finish(video_encoder* enc, bool discard);

// ---- Audio thread.

// Queues a copy of frame_count interleaved stereo float samples at 48 kHz. False (counted
// as an audio chunk dropped) when the encoder has no AAC or the lane refused.
bool encoder_submit_audio(video_encoder* enc, const float* samples, int frame_count);
// The same for sound of the timeline begun at counter value timeline: a take that
// began later drops it. encoder_submit_audio's sound always belongs to the current take.
bool encoder_submit_audio_from(video_encoder* enc, const float* samples, int frame_count, int64_t timeline);

// ---- Any thread.

void encoder_stats(video_encoder* enc, encoder_counters* out);

// Test aid (IVRA_DEBUG_HOOKS=1 only): the next n CPU conversions (conversions set) or frame
// sends of any encoder fail; 0 ends it. False without the hooks.
bool encoder_debug_fail(bool conversions, unsigned n);
