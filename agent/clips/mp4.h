#pragma once
// The MP4 writer: each take of a clip is written under its final name with ".part"
// appended and moved to the final name only once it is complete, so a capture file
// name never holds an unfinished take. Everything here runs on a clips worker inside
// the encoder's lane (one item at a time), except where noted.
#include "agent/clips/encoder.h"

// Take-start item: empties the audio FIFO, throws away an open take (redo), opens a new
// one at path. Failures mark the encoder failed with the documented texts.
void mp4_take_start(video_encoder* enc, int64_t take_start, const wchar_t* path);
// Receives every packet the H.264 encoder has ready and writes it to the take (or hands
// it to the replay ring). Called after each sent frame and at finish.
void mp4_video_drain(video_encoder* enc);
// Audio-chunk item: appends interleaved stereo samples to the FIFO and encodes whole
// AAC frames into the take's audio stream (or the ring).
void mp4_audio_chunk(video_encoder* enc, const float* samples, int frames);
// Finish item: flushes both encoders, writes the trailer or deletes the part, strips
// the audio track when system sound was switched off, moves the file into place and
// fills enc->result (repeated and dropped are added by the encoder's close step).
void mp4_finish(video_encoder* enc, bool discard);

// Rewrites take as out with its video stream only ("+faststart"). False with one of the
// "remux: ..." texts in err; out is deleted on failure. Any thread.
bool mp4_remux_video_only(const wchar_t* take, const wchar_t* out, char err[ENCODER_ERROR_MAX]);
// Moves part onto final_path with write-through, never replacing an existing file.
// False with "rename failed (%lu)" in err, and the part file deleted. Any thread.
bool mp4_commit(const wchar_t* part, const wchar_t* final_path, char err[ENCODER_ERROR_MAX]);

// UTF-8 form of a path for FFmpeg's file functions; false (out empty) when it does not fit.
bool mp4_utf8_path(const wchar_t* path, char* out, size_t cap);
// path followed by suffix; false when that does not fit ENCODER_PATH_MAX (a cut name
// could be some other file).
bool mp4_suffixed_path(const wchar_t* path, const wchar_t* suffix, wchar_t out[ENCODER_PATH_MAX]);
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
