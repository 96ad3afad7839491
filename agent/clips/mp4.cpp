#include "agent/clips/mp4.h"

#include "agent/clips/replay_ring.h"
#include "common/log.h"
#include "common/text.h"
#include "common/win.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
}

// ---- Pure helpers.

bool mp4_shift_video(int64_t pts, int64_t dts, bool has_dts, int64_t take_start, int64_t* out_pts, int64_t* out_dts) {
    if (pts < take_start) return false;
    const int64_t p = pts - take_start;
    int64_t d = has_dts ? dts - take_start : p;
    if (d < 0) d = 0;
    *out_pts = p;
    *out_dts = d;
    return true;
}

bool mp4_shift_audio(int64_t pts, int64_t dts, bool has_dts, int64_t audio_base, int padding, int64_t* out_pts,
                     int64_t* out_dts) {
    // The encoder stamps its first packet `padding` samples early; that packet still
    // carries the take's first samples, so it is kept.
    if (pts + padding < audio_base) return false;
    const int64_t p = pts - audio_base;
    *out_pts = p;
    *out_dts = has_dts ? dts - audio_base : p;
    return true;
}

// ---- Files.

bool mp4_utf8_path(const wchar_t* path, char* out, size_t cap) {
    if (!path || !out || cap == 0) return false;
    const int n = WideCharToMultiByte(CP_UTF8, 0, path, -1, out, (int)cap, nullptr, nullptr);
    if (n <= 0) {
        out[0] = 0;
        return false;
    }
    return true;
}

bool mp4_suffixed_path(const wchar_t* path, const wchar_t* suffix, wchar_t out[ENCODER_PATH_MAX]) {
    // A cut name could land on some other file, so a name that does not fit is refused.
    const size_t a = wcslen(path), b = wcslen(suffix);
    if (a + b + 1 > ENCODER_PATH_MAX) return false;
    memcpy(out, path, a * sizeof(wchar_t));
    memcpy(out + a, suffix, (b + 1) * sizeof(wchar_t));
    return true;
}

uint64_t mp4_file_size(const wchar_t* path) {
    WIN32_FILE_ATTRIBUTE_DATA fa;
    if (!GetFileAttributesExW(path, GetFileExInfoStandard, &fa)) return 0;
    return ((uint64_t)fa.nFileSizeHigh << 32) | fa.nFileSizeLow;
}

bool mp4_commit(const wchar_t* part, const wchar_t* final_path, char err[ENCODER_ERROR_MAX]) {
    // The data reaches the disk before the name does, so a crash right after the move
    // cannot leave a short file under the final name.
    HANDLE h =
        CreateFileW(part, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        FlushFileBuffers(h);
        CloseHandle(h);
    }
    // No REPLACE_EXISTING: a file the user already has under that name stays as it is.
    if (MoveFileExW(part, final_path, MOVEFILE_WRITE_THROUGH)) return true;
    const DWORD code = GetLastError();
    DeleteFileW(part);
    text_format_into(err, ENCODER_ERROR_MAX, "rename failed (%lu)", (unsigned long)code);
    return false;
}

static void mp4_close_output(AVFormatContext** mux) {
    if (!*mux) return;
    if (!((*mux)->oformat->flags & AVFMT_NOFILE)) avio_closep(&(*mux)->pb);
    avformat_free_context(*mux);
    *mux = nullptr;
}

// Opens the file behind an output context and writes the MP4 header with the index at
// the front. Returns 0, or 1 when the file could not be created, or 2 (with *code)
// when the header failed.
static int mp4_open_and_header(AVFormatContext* mux, const char* utf8, int* code) {
    int r = avio_open(&mux->pb, utf8, AVIO_FLAG_WRITE);
    if (r < 0) {
        *code = r;
        return 1;
    }
    AVDictionary* opts = nullptr;
    av_dict_set(&opts, "movflags", "+faststart", 0);
    r = avformat_write_header(mux, &opts);
    av_dict_free(&opts);
    if (r < 0) {
        *code = r;
        return 2;
    }
    return 0;
}

bool mp4_remux_video_only(const wchar_t* take, const wchar_t* out, char err[ENCODER_ERROR_MAX]) {
    char in8[ENCODER_PATH_MAX * 4], out8[ENCODER_PATH_MAX * 4];
    AVFormatContext* in = nullptr;
    AVFormatContext* mux = nullptr;
    AVPacket* pkt = nullptr;
    AVStream* src = nullptr;
    AVStream* dst = nullptr;
    int vindex = -1, code = 0;
    bool ok = false, created = false;
    const char* fail = nullptr;

    if (!mp4_utf8_path(take, in8, sizeof in8) || avformat_open_input(&in, in8, nullptr, nullptr) < 0 ||
        avformat_find_stream_info(in, nullptr) < 0) {
        fail = "remux: cannot read take";
        goto done;
    }
    vindex = av_find_best_stream(in, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (vindex < 0) {
        fail = "remux: no video stream";
        goto done;
    }
    src = in->streams[vindex];
    if (!mp4_utf8_path(out, out8, sizeof out8) || avformat_alloc_output_context2(&mux, nullptr, "mp4", out8) < 0 ||
        !mux) {
        fail = "remux: no video stream";
        goto done;
    }
    mux->flags |= AVFMT_FLAG_BITEXACT;
    dst = avformat_new_stream(mux, nullptr);
    if (!dst || avcodec_parameters_copy(dst->codecpar, src->codecpar) < 0) {
        fail = "remux: stream setup failed";
        goto done;
    }
    dst->codecpar->codec_tag = 0;
    dst->time_base = src->time_base;
    dst->avg_frame_rate = src->avg_frame_rate;
    switch (mp4_open_and_header(mux, out8, &code)) {
    case 1: fail = "remux: cannot create file"; goto done;
    case 2:
        created = true;
        text_format_into(err, ENCODER_ERROR_MAX, "remux: header failed (%d)", code);
        goto done;
    default: created = true; break;
    }
    pkt = av_packet_alloc();
    if (!pkt) {
        fail = "remux: write failed";
        goto done;
    }
    while (av_read_frame(in, pkt) >= 0) {
        if (pkt->stream_index != vindex) {
            av_packet_unref(pkt);
            continue;
        }
        av_packet_rescale_ts(pkt, src->time_base, dst->time_base);
        pkt->stream_index = 0;
        pkt->pos = -1;
        if (av_interleaved_write_frame(mux, pkt) < 0) {
            av_packet_unref(pkt);
            fail = "remux: write failed";
            goto done;
        }
    }
    if (av_write_trailer(mux) < 0) {
        fail = "remux: trailer failed";
        goto done;
    }
    ok = true;

done:
    av_packet_free(&pkt);
    mp4_close_output(&mux);
    if (in) avformat_close_input(&in);
    if (!ok) {
        if (fail) text_format_into(err, ENCODER_ERROR_MAX, "%s", fail);
        if (created) DeleteFileW(out);
    }
    return ok;
}

// ---- The take.

static void mp4_close_take(video_encoder* enc) {
    mp4_close_output(&enc->mux);
    enc->mux_video = nullptr;
    enc->mux_audio = nullptr;
}

// Closes an unfinished take and removes its part file.
static void mp4_drop_take(video_encoder* enc) {
    mp4_close_take(enc);
    DeleteFileW(enc->part_path);
}

void mp4_take_start(video_encoder* enc, int64_t take_start, const wchar_t* path) {
    if (enc->audio && enc->fifo) {
        av_audio_fifo_reset(enc->fifo);
        enc->audio_base = enc->audio_count;
    }
    if (enc->mux) mp4_drop_take(enc);  // a redo: the old take is gone
    if (enc->failed) return;

    char utf8[ENCODER_PATH_MAX * 4];
    wcsncpy(enc->final_path, path ? path : L"", ENCODER_PATH_MAX - 1);
    enc->final_path[ENCODER_PATH_MAX - 1] = 0;
    enc->packets_written = 0;
    enc->audio_packets_written = 0;
    enc->bytes_written = 0;
    enc->highest_pts = -1;
    enc->take_start = take_start;
    if (!mp4_suffixed_path(enc->final_path, L".part", enc->part_path) ||
        !mp4_utf8_path(enc->part_path, utf8, sizeof utf8)) {
        enc->part_path[0] = 0;
        encoder_fail(enc, "cannot create file (%d)", AVERROR(ENAMETOOLONG));
        return;
    }

    AVFormatContext* mux = nullptr;
    if (avformat_alloc_output_context2(&mux, nullptr, "mp4", utf8) < 0 || !mux) {
        encoder_fail(enc, "mp4 muxer unavailable");
        return;
    }
    mux->flags |= AVFMT_FLAG_BITEXACT;
    enc->mux = mux;

    AVStream* vs = avformat_new_stream(mux, nullptr);
    if (!vs || !enc->video || avcodec_parameters_from_context(vs->codecpar, enc->video) < 0) {
        mp4_drop_take(enc);
        encoder_fail(enc, "mp4 stream setup failed");
        return;
    }
    vs->time_base = enc->video->time_base;
    vs->avg_frame_rate = enc->video->framerate;
    enc->mux_video = vs;
    if (enc->audio) {
        AVStream* as = avformat_new_stream(mux, nullptr);
        if (!as || avcodec_parameters_from_context(as->codecpar, enc->audio) < 0) {
            mp4_drop_take(enc);
            encoder_fail(enc, "mp4 audio stream setup failed");
            return;
        }
        as->time_base = AVRational{1, ENCODER_AUDIO_RATE};
        enc->mux_audio = as;
    }

    int code = 0;
    switch (mp4_open_and_header(mux, utf8, &code)) {
    case 1:
        mp4_close_take(enc);
        encoder_fail(enc, "cannot create file (%d)", code);
        return;
    case 2:
        mp4_drop_take(enc);
        encoder_fail(enc, "mp4 header failed (%d)", code);
        return;
    default: break;
    }
}

static void mp4_write_video(video_encoder* enc, AVPacket* pkt) {
    if (enc->failed || !enc->mux || !enc->mux_video) return;
    const bool has_dts = pkt->dts != AV_NOPTS_VALUE;
    const int64_t pts = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
    if (pts == AV_NOPTS_VALUE) return;
    int64_t p, d;
    if (!mp4_shift_video(pts, pkt->dts, has_dts, enc->take_start, &p, &d))
        return;  // late output of a take thrown away by a redo
    pkt->pts = p;
    pkt->dts = d;
    if (p > enc->highest_pts) enc->highest_pts = p;
    av_packet_rescale_ts(pkt, enc->video->time_base, enc->mux_video->time_base);
    pkt->stream_index = enc->mux_video->index;
    const int size = pkt->size;
    const int r = av_interleaved_write_frame(enc->mux, pkt);
    if (r < 0) {
        encoder_fail(enc, "write failed (%d)", r);
        return;
    }
    enc->packets_written++;
    enc->bytes_written += (uint64_t)size;
    AcquireSRWLockExclusive(&enc->lock);
    enc->packets++;
    enc->bytes += (uint64_t)size;
    ReleaseSRWLockExclusive(&enc->lock);
}


static void mp4_write_audio(video_encoder* enc, AVPacket* pkt) {
    if (enc->failed || !enc->mux || !enc->mux_audio || pkt->pts == AV_NOPTS_VALUE) return;
    int64_t p, d;
    if (!mp4_shift_audio(pkt->pts, pkt->dts, pkt->dts != AV_NOPTS_VALUE, enc->audio_base, enc->audio->initial_padding,
                         &p, &d))
        return;  // sound of a take thrown away by a redo
    pkt->pts = p;
    pkt->dts = d;
    av_packet_rescale_ts(pkt, AVRational{1, ENCODER_AUDIO_RATE}, enc->mux_audio->time_base);
    pkt->stream_index = enc->mux_audio->index;
    const int size = pkt->size;
    const int r = av_interleaved_write_frame(enc->mux, pkt);
    if (r < 0) {
        encoder_fail(enc, "audio write failed (%d)", r);
        return;
    }
    enc->bytes_written += (uint64_t)size;
    enc->audio_packets_written++;
}

// Receives every packet the H.264 (video) or AAC encoder has ready and passes it to the
// ring or the take.
static void mp4_drain(video_encoder* enc, bool video) {
    AVCodecContext* codec = video ? enc->video : enc->audio;
    if (!codec || enc->failed) return;
    AVPacket* pkt = av_packet_alloc();
    if (!pkt) {
        encoder_fail(enc, "out of memory");
        return;
    }
    for (;;) {
        const int r = avcodec_receive_packet(codec, pkt);
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) break;
        if (r < 0) {
            if (video)
                encoder_fail(enc, "encoder error (%d)", r);
            else
                encoder_fail(enc, "audio encode failed");
            break;
        }
        if (video && enc->ring)
            replay_ring_add_video(enc, pkt);
        else if (video)
            mp4_write_video(enc, pkt);
        else if (enc->ring)
            replay_ring_add_audio(enc, pkt);
        else
            mp4_write_audio(enc, pkt);
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
}

void mp4_video_drain(video_encoder* enc) { mp4_drain(enc, true); }

static void mp4_audio_drain(video_encoder* enc) { mp4_drain(enc, false); }

// Sound samples that belong to the first `frames` pictures of a take.
static int64_t mp4_audio_samples_for(const video_encoder* enc, int64_t frames) {
    return enc->fps > 0 ? frames * ENCODER_AUDIO_RATE / enc->fps : 0;
}

// Encodes the first n samples of the FIFO as one AAC frame and drains the packets.
static bool mp4_encode_audio(video_encoder* enc, int n) {
    AVFrame* frame = av_frame_alloc();
    if (!frame) {
        encoder_fail(enc, "out of memory");
        return false;
    }
    frame->nb_samples = n;
    frame->format = AV_SAMPLE_FMT_FLTP;
    frame->sample_rate = ENCODER_AUDIO_RATE;
    bool ok = av_channel_layout_copy(&frame->ch_layout, &enc->audio->ch_layout) >= 0 &&
              av_frame_get_buffer(frame, 0) >= 0 && av_audio_fifo_read(enc->fifo, (void**)frame->data, n) == n;
    if (!ok) {
        av_frame_free(&frame);
        encoder_fail(enc, "out of memory");
        return false;
    }
    frame->pts = enc->audio_count;
    enc->audio_count += n;
    const int r = avcodec_send_frame(enc->audio, frame);
    av_frame_free(&frame);
    if (r < 0) {
        encoder_fail(enc, "audio encode failed");
        return false;
    }
    mp4_audio_drain(enc);
    return !enc->failed;
}

// Sound may run this far ahead of the pictures of a take (the capture thread may lag
// by up to half a second before it skips); beyond it, what pictures skipped is dropped,
// keeping this much.
constexpr int64_t MP4_AUDIO_LAG_MAX = ENCODER_AUDIO_RATE;
constexpr int64_t MP4_AUDIO_LAG_KEEP = ENCODER_AUDIO_RATE / 10;

static int mp4_audio_frame_size(const video_encoder* enc) {
    return enc->audio->frame_size > 0 ? enc->audio->frame_size : 1024;
}

void mp4_audio_chunk(video_encoder* enc, const float* samples, int frames) {
    if (!enc->audio || !enc->fifo || enc->failed || !samples || frames <= 0) return;
    float* planes = (float*)av_malloc(sizeof(float) * 2 * (size_t)frames);
    if (!planes) {
        encoder_fail(enc, "out of memory");
        return;
    }
    float* left = planes;
    float* right = planes + frames;
    for (int i = 0; i < frames; i++) {
        left[i] = samples[2 * i];
        right[i] = samples[2 * i + 1];
    }
    void* data[2] = {left, right};
    const int wrote = av_audio_fifo_write(enc->fifo, data, frames);
    av_free(planes);
    if (wrote < frames) {
        encoder_fail(enc, "out of memory");
        return;
    }
    const int fsize = mp4_audio_frame_size(enc);
    if (!enc->mux) {
        while (av_audio_fifo_size(enc->fifo) >= fsize)
            if (!mp4_encode_audio(enc, fsize)) break;
        return;
    }
    // A take's sound waits in the FIFO until its pictures have come, so that the take
    // ends with both together. Pictures skipped for lateness leave sound behind that no
    // picture will ever cover: that excess is dropped to stay in step.
    const int64_t shown = mp4_audio_samples_for(enc, enc->highest_pts + 1);
    const int64_t sent = enc->audio_count - enc->audio_base;
    const int64_t excess = sent + av_audio_fifo_size(enc->fifo) - shown;
    if (excess > MP4_AUDIO_LAG_MAX)
        av_audio_fifo_drain(enc->fifo, (int)(excess - MP4_AUDIO_LAG_KEEP < av_audio_fifo_size(enc->fifo)
                                                 ? excess - MP4_AUDIO_LAG_KEEP
                                                 : av_audio_fifo_size(enc->fifo)));
    while (av_audio_fifo_size(enc->fifo) >= fsize && enc->audio_count - enc->audio_base < shown)
        if (!mp4_encode_audio(enc, fsize)) break;
}

void mp4_finish(video_encoder* enc, bool discard) {
    if (!enc->failed && enc->video) {
        avcodec_send_frame(enc->video, nullptr);
        mp4_video_drain(enc);
    }
    if (enc->audio && enc->fifo && !enc->failed) {
        int left = av_audio_fifo_size(enc->fifo);
        if (enc->mux) {
            // The take's sound ends with its last picture.
            const int64_t room =
                mp4_audio_samples_for(enc, enc->highest_pts + 1) - (enc->audio_count - enc->audio_base);
            if (room < left) left = room > 0 ? (int)room : 0;
        }
        const int fsize = mp4_audio_frame_size(enc);
        while (left >= fsize && !enc->failed) {
            mp4_encode_audio(enc, fsize);
            left -= fsize;
        }
        if (left > 0 && !enc->failed) mp4_encode_audio(enc, left);  // the encoder takes a short last frame
        av_audio_fifo_reset(enc->fifo);
        if (!enc->failed) {
            avcodec_send_frame(enc->audio, nullptr);
            mp4_audio_drain(enc);
        }
    }

    const bool keep = !discard && !enc->failed && enc->mux && enc->packets_written > 0;
    bool saved = false, no_audio = false;
    uint64_t bytes = enc->bytes_written;
    if (enc->mux && !keep) {
        mp4_drop_take(enc);
    } else if (enc->mux) {
        const int r = av_write_trailer(enc->mux);
        if (r < 0) encoder_fail(enc, "write trailer failed (%d)", r);
        mp4_close_take(enc);
        if (enc->failed) DeleteFileW(enc->part_path);
    }

    if (keep && !enc->failed && enc->audio && InterlockedCompareExchange(&enc->system_off, 0, 0)) {
        wchar_t vpath[ENCODER_PATH_MAX];
        char err[ENCODER_ERROR_MAX] = "";
        if (!mp4_suffixed_path(enc->part_path, L".v", vpath)) {
            encoder_fail(enc, "remux: cannot create file");
            DeleteFileW(enc->part_path);
        } else if (!mp4_remux_video_only(enc->part_path, vpath, err)) {
            encoder_fail(enc, "%s", err);
            DeleteFileW(enc->part_path);
        } else {
            DeleteFileW(enc->part_path);
            if (MoveFileExW(vpath, enc->part_path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
                bytes = mp4_file_size(enc->part_path);
                no_audio = true;
            } else {
                encoder_fail(enc, "rename failed (%lu)", (unsigned long)GetLastError());
                DeleteFileW(vpath);
            }
        }
    }

    if (keep && !enc->failed) {
        char err[ENCODER_ERROR_MAX] = "";
        if (mp4_commit(enc->part_path, enc->final_path, err))
            saved = true;
        else
            encoder_fail(enc, "%s", err);
    }
    // A saved take carries no error; only a take that ended without a file gets this one.
    if (!saved && !discard && !enc->failed && !enc->error[0]) encoder_fail(enc, "no frames were encoded");

    clip_result* res = &enc->result;
    memset(res, 0, sizeof *res);
    res->saved = saved;
    res->discarded = discard;
    memcpy(res->path, enc->final_path, sizeof res->path);
    res->bytes = bytes;
    res->frames = enc->packets_written > 0 && enc->highest_pts >= 0 ? enc->highest_pts + 1 : 0;
    res->fps = enc->fps;
    res->seconds = enc->fps > 0 ? (double)res->frames / enc->fps : 0.0;
    res->width = enc->width;
    res->height = enc->height;
    memcpy(res->encoder, enc->name, sizeof res->encoder);
    res->encoder[ENCODER_NAME_MAX - 1] = 0;
    memcpy(res->error, enc->error, sizeof res->error);
    res->error[ENCODER_ERROR_MAX - 1] = 0;
    // The muxer leaves out a track that never got a packet, so such a file has no sound either.
    res->no_audio = no_audio || (saved && enc->audio_packets_written == 0);
}
