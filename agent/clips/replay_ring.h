#pragma once
// The replay's memory: the last 32 s of encoded video packets and of AAC packets,
// held by reference inside the replay encoder, and the saves that copy a window of
// them into an MP4 on a clips worker while buffering goes on. Ring lists are touched
// only inside the replay encoder's lane.
#include "agent/clips/encoder.h"

struct replay_ring {
    AVPacket** video;
    int video_count, video_cap;
    AVPacket** audio;
    int audio_count, audio_cap;
    uint64_t video_bytes;  // payload bytes held (video + audio)
    // Beside each list, its packets' timestamps (and key flags for video), so the
    // window and trim rules run over plain arrays.
    int64_t* video_pts;
    bool* video_key;
    int64_t* audio_pts;
};

enum { REPLAY_RING_INITIAL = 1024, REPLAY_SAVE_SECONDS_MAX = 30 };

// An empty ring (initial capacity 1024 per list), or none when memory is short.
replay_ring* replay_ring_create(void);
// Releases every packet reference and the ring.
void replay_ring_free(replay_ring* ring);
// Worker: appends a reference to pkt (timestamps in the encoder's time base) and drops
// packets older than (ring seconds + 2) x fps frames from the front; the newest stays.
void replay_ring_add_video(video_encoder* enc, const AVPacket* pkt);
// Worker: the same for AAC packets, keeping ring seconds x 48000 + 96000 samples.
void replay_ring_add_audio(video_encoder* enc, const AVPacket* pkt);
// Bytes of packet payload the ring holds now (for the benchmark and status).
uint64_t replay_ring_bytes(video_encoder* enc);

// Capture thread: queues a save of the last `seconds` into path on the replay encoder's
// lane; done(data, result) reports it. False when the lane refused (nothing queued).
bool replay_ring_save(video_encoder* enc, const wchar_t* path, int seconds, bool include_audio, encoder_done_fn done,
                      void* data);
// Worker (the lane's replay-save item): takes the packet window into the job and posts
// the writing to the clips pool as a task of its own (inline when the pool refuses).
void replay_ring_save_item(video_encoder* enc, replay_save_job* job);
// Frees a save job that never ran (lane closed), reporting nothing.
void replay_ring_save_free(replay_save_job* job);

// ---- Pure helpers.

// Seconds a save asks for: 1-30 as given, anything else 30.
int replay_ring_save_seconds(int seconds);

// How many packets to drop from the front of a list whose timestamps are pts[0..count):
// while newest - pts[i] > keep, at least the newest stays.
int replay_ring_trim_count(const int64_t* pts, int count, int64_t keep);
// Index of the first key packet with pts > newest - window; else the first key packet;
// else -1.
int replay_ring_start_index(const int64_t* pts, const bool* key, int count, int64_t window);
