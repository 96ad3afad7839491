#pragma once
// The replay's memory: the last 32 s of encoded video packets and of AAC packets,
// held by reference, and the windows of them that a save copies out. A sink at the
// end of the replay encoder's pipeline: the encoder hands it packets and takes windows
// from it; it knows no encoder and writes no file. A ring is touched only inside the
// replay encoder's lane.
#include "common/win.h"
#include <cstdint>

struct AVPacket;

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
// Releases every packet reference and the ring. Null does nothing.
void replay_ring_free(replay_ring* ring);
// Appends a reference to pkt (timestamps in the encoder's time base) and drops packets
// more than keep older than the newest from the front; the newest stays. False when the
// packet was not stored (no timestamp, or memory is short: the ring stays consistent).
bool replay_ring_add_video(replay_ring* ring, const AVPacket* pkt, int64_t keep);
// The same for AAC packets (keep in samples).
bool replay_ring_add_audio(replay_ring* ring, const AVPacket* pkt, int64_t keep);
// Bytes of packet payload the ring holds now (for the benchmark and status); 0 for none.
// Any thread.
uint64_t replay_ring_bytes(const replay_ring* ring);

// New references to a window of the ring, for a save written beside the lane.
struct replay_window {
    AVPacket** video;
    int video_count;
    AVPacket** audio;
    int audio_count;
    int64_t start_video;  // timestamp of the first video packet
    int64_t start_audio;  // the audio start asked for
};
// The video packets from the first key packet of the last `window` timestamps
// (replay_ring_start_index) to the newest, with start_video. True with none when the
// ring holds no key packet; false, none taken, when memory is short.
bool replay_ring_window_video(const replay_ring* ring, int64_t window, replay_window* out);
// The audio packets with timestamps of start or later, start_audio = start. True with
// none when there are none; false, none taken, when memory is short.
bool replay_ring_window_audio(const replay_ring* ring, int64_t start, replay_window* out);
// Releases the window's references and lists (the record itself stays, emptied).
void replay_ring_window_free(replay_window* w);

// ---- Pure helpers.

// Seconds a save asks for: 1-30 as given, anything else 30.
int replay_ring_save_seconds(int seconds);

// How many packets to drop from the front of a list whose timestamps are pts[0..count):
// while newest - pts[i] > keep, at least the newest stays.
int replay_ring_trim_count(const int64_t* pts, int count, int64_t keep);
// Index of the first key packet with pts > newest - window; else the first key packet;
// else -1.
int replay_ring_start_index(const int64_t* pts, const bool* key, int count, int64_t window);
