#pragma once
// The MP4 writer, between the encoder and the files: each take of a clip is written
// under its final name with ".part" appended and moved to the final name only once it
// is complete, so a capture file name never holds an unfinished take; a replay save
// writes a window of the ring's packets the same way. It knows no encoder: it is given
// the codecs whose packets it writes and reports through return values, error texts and
// the clip_result it fills. A take runs on a clips worker inside the encoder's lane (one
// item at a time); the other functions run on any thread.
#include "common/win.h"
#include <cstddef>
#include <cstdint>

extern "C" {
#include <libavutil/rational.h>
}

struct AVCodecContext;
struct AVCodecParameters;
struct AVFormatContext;
struct AVPacket;
struct AVStream;

enum {
    MP4_NAME_MAX = 32,    // encoder display name in a result, terminator included
    MP4_ERROR_MAX = 160,  // error text, terminator included
    MP4_PATH_MAX = 260,
    MP4_AUDIO_RATE = 48000,
};

// The outcome of a take or a replay save, handed to the completion.
struct clip_result {
    bool saved;
    bool discarded;
    wchar_t path[MP4_PATH_MAX];  // final path
    uint64_t bytes;
    int64_t frames;
    double seconds;  // frames / fps, 0 when fps is 0
    int width, height, fps;
    char encoder[MP4_NAME_MAX];
    char error[MP4_ERROR_MAX];
    uint64_t repeated;
    uint64_t dropped;
    bool no_audio;
    bool moved;  // a file took the final name during the recording: path is the name beside it
};

// ---- The take.

// One take being written; zero-filled it is closed. The fields are the writer's; its
// owner reads mux (a take is open) and highest_pts.
struct mp4_take {
    AVFormatContext* mux;  // none while no take is open
    AVStream* mux_video;
    AVStream* mux_audio;
    const AVCodecContext* video;  // the codecs whose packets the take gets
    const AVCodecContext* audio;  // none without sound
    int64_t take_start;           // in frames
    wchar_t part_path[MP4_PATH_MAX];
    wchar_t final_path[MP4_PATH_MAX];
    uint64_t packets_written;
    uint64_t audio_packets_written;  // a take without any has no audio track in the file
    uint64_t bytes_written;
    int64_t highest_pts;  // -1 when none
};

// Opens a new take at path (the part file and its header) whose pictures begin at
// frame take_start, with a video stream from video and an audio stream from audio
// (none: no sound). The final path is recorded even when it fails. False with one of
// the documented texts in err ("cannot create file (%d)", "mp4 muxer unavailable",
// "mp4 stream setup failed", "mp4 audio stream setup failed", "mp4 header failed (%d)");
// the take is closed then.
bool mp4_take_open(mp4_take* t, const AVCodecContext* video, const AVCodecContext* audio, int64_t take_start,
                   const wchar_t* path, char err[MP4_ERROR_MAX]);
// Closes an open take and deletes its part file (a redo throws the old take away).
void mp4_take_drop(mp4_take* t);
// Closes an open take's file and context, leaving the part file (teardown guard).
void mp4_take_close(mp4_take* t);
// Writes one H.264 packet (timestamps in the video codec's time base) to the take.
// Returns 1 when written, 0 when the packet is not the take's (no take, no timestamp,
// or late output of a take thrown away by a redo), or FFmpeg's negative error.
int mp4_take_write_video(mp4_take* t, AVPacket* pkt);
// The same for an AAC packet; audio_base is the sample count at which the take's sound
// begins.
int mp4_take_write_audio(mp4_take* t, AVPacket* pkt, int64_t audio_base);
// Ends the take: writes the trailer or deletes the part (nothing kept when discard,
// when failed tells that the encoder failed before, or without a packet), strips the
// audio track when strip_audio is set, and moves the file into place. Fills res afresh
// with saved, discarded, path, bytes, frames and no_audio (the rest is the caller's); a
// failure of its own goes to err ("" when none).
void mp4_take_finish(mp4_take* t, bool discard, bool failed, bool strip_audio, clip_result* res,
                     char err[MP4_ERROR_MAX]);

// ---- A replay save.

// What a save writes: the streams' parameters and packets (new references), each
// list moved to start at its own start timestamp.
struct mp4_window {
    const AVCodecParameters* video_par;
    const AVCodecParameters* audio_par;  // none without sound
    AVRational video_tb, audio_tb, video_rate;
    AVPacket* const* video;
    int video_count;
    int64_t start_video;
    AVPacket* const* audio;
    int audio_count;
    int64_t start_audio;
    bool include_audio;
    int fps;
};
// Writes the window into an MP4 at path (through its part file, never replacing a
// file). Sets res's path, and saved, frames, seconds, bytes and no_audio, or error
// ("replay buffer is empty", "cannot create file", "mp4 muxer unavailable", "mp4 stream
// setup failed", "mp4 header failed", "out of memory", "mp4 trailer failed", "rename
// failed (%lu)").
void mp4_write_window(const wchar_t* path, const mp4_window* w, clip_result* res);

// ---- Files (any thread).

// Rewrites take as out with its video stream only ("+faststart"). False with one of the
// "remux: ..." texts in err; out is deleted on failure.
bool mp4_remux_video_only(const wchar_t* take, const wchar_t* out, char err[MP4_ERROR_MAX]);
// Moves part onto final_path with write-through, never replacing an existing file.
// False with "rename failed (%lu)" in err, and the part file deleted.
bool mp4_commit(const wchar_t* part, const wchar_t* final_path, char err[MP4_ERROR_MAX]);

// Moves a finished take onto final_path like mp4_commit; when a file took that name
// during the recording, onto the first free mp4_beside_name instead, so the recording is
// kept. The name used goes to moved_to. False with "rename failed (%lu)" in err, and the
// part file deleted, except when no name beside is free: the part file then stays.
bool mp4_commit_take(const wchar_t* part, const wchar_t* final_path, wchar_t moved_to[MP4_PATH_MAX],
                     char err[MP4_ERROR_MAX]);
// Candidate k (2..100) beside a taken name: "_k" before the extension of the file name
// ("clip.mp4" -> "clip_2.mp4"; a name without a dot gets it at the end). False when k is
// out of range or the name does not fit MP4_PATH_MAX.
bool mp4_beside_name(const wchar_t* path, int k, wchar_t out[MP4_PATH_MAX]);

// UTF-8 form of a path for FFmpeg's file functions; false (out empty) when it does not fit.
bool mp4_utf8_path(const wchar_t* path, char* out, size_t cap);
// path followed by suffix; false when that does not fit MP4_PATH_MAX (a cut name could
// be some other file).
bool mp4_suffixed_path(const wchar_t* path, const wchar_t* suffix, wchar_t out[MP4_PATH_MAX]);
// Size of a file in bytes, 0 when it cannot be read.
uint64_t mp4_file_size(const wchar_t* path);

// ---- Pure helpers.

// A video packet of a take: false when it belongs to an earlier take (pts below
// take_start). Otherwise the shifted timestamps: pts - take_start, and dts - take_start
// (at least 0), or the new pts when the packet had no dts.
bool mp4_shift_video(int64_t pts, int64_t dts, bool has_dts, int64_t take_start, int64_t* out_pts, int64_t* out_dts);
// The same for an audio packet against the take's audio base; padding is the AAC
// encoder's initial padding in samples.
bool mp4_shift_audio(int64_t pts, int64_t dts, bool has_dts, int64_t audio_base, int padding, int64_t* out_pts,
                     int64_t* out_dts);
