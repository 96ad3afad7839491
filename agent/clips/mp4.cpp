#include "agent/clips/mp4.h"

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

bool mp4_suffixed_path(const wchar_t* path, const wchar_t* suffix, wchar_t out[MP4_PATH_MAX]) {
    // A cut name could land on some other file, so a name that does not fit is refused.
    const size_t a = wcslen(path), b = wcslen(suffix);
    if (a + b + 1 > MP4_PATH_MAX) return false;
    memcpy(out, path, a * sizeof(wchar_t));
    memcpy(out + a, suffix, (b + 1) * sizeof(wchar_t));
    return true;
}

uint64_t mp4_file_size(const wchar_t* path) {
    WIN32_FILE_ATTRIBUTE_DATA fa;
    if (!GetFileAttributesExW(path, GetFileExInfoStandard, &fa)) return 0;
    return ((uint64_t)fa.nFileSizeHigh << 32) | fa.nFileSizeLow;
}

// The data reaches the disk before the name does, so a crash right after the move
// cannot leave a short file under the final name.
static void mp4_flush_file(const wchar_t* path) {
    HANDLE h =
        CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        FlushFileBuffers(h);
        CloseHandle(h);
    }
}

bool mp4_beside_name(const wchar_t* path, int k, wchar_t out[MP4_PATH_MAX]) {
    if (!path || k < 2 || k > 100) return false;
    const wchar_t* leaf = path;
    for (const wchar_t* p = path; *p; p++)
        if (*p == L'\\' || *p == L'/') leaf = p + 1;
    const wchar_t* dot = wcsrchr(leaf, L'.');
    const size_t stem = dot && dot != leaf ? (size_t)(dot - path) : wcslen(path);
    wchar_t counter[8];
    swprintf(counter, 8, L"_%d", k);
    const size_t c = wcslen(counter), rest = wcslen(path + stem);
    if (stem + c + rest + 1 > MP4_PATH_MAX) return false;
    wmemmove(out, path, stem);
    wmemcpy(out + stem, counter, c);
    wmemcpy(out + stem + c, path + stem, rest + 1);
    return true;
}

bool mp4_commit_take(const wchar_t* part, const wchar_t* final_path, wchar_t moved_to[MP4_PATH_MAX],
                     char err[MP4_ERROR_MAX]) {
    mp4_flush_file(part);
    if (MoveFileExW(part, final_path, MOVEFILE_WRITE_THROUGH)) {
        if (moved_to != final_path) wcsncpy(moved_to, final_path, MP4_PATH_MAX - 1);
        moved_to[MP4_PATH_MAX - 1] = 0;
        return true;
    }
    DWORD code = GetLastError();
    if (code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS) {
        // Whatever is under the name now is not ours to replace.
        for (int k = 2; k <= 100; k++) {
            wchar_t beside[MP4_PATH_MAX];
            if (!mp4_beside_name(final_path, k, beside)) break;
            if (MoveFileExW(part, beside, MOVEFILE_WRITE_THROUGH)) {
                wcscpy(moved_to, beside);
                return true;
            }
            code = GetLastError();
            if (code != ERROR_ALREADY_EXISTS && code != ERROR_FILE_EXISTS) break;
        }
        if (code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS) {
            text_format_into(err, MP4_ERROR_MAX, "rename failed (%lu)", (unsigned long)code);
            return false;
        }
    }
    DeleteFileW(part);
    text_format_into(err, MP4_ERROR_MAX, "rename failed (%lu)", (unsigned long)code);
    return false;
}

bool mp4_commit(const wchar_t* part, const wchar_t* final_path, char err[MP4_ERROR_MAX]) {
    mp4_flush_file(part);
    // No REPLACE_EXISTING: a file the user already has under that name stays as it is.
    if (MoveFileExW(part, final_path, MOVEFILE_WRITE_THROUGH)) return true;
    const DWORD code = GetLastError();
    DeleteFileW(part);
    text_format_into(err, MP4_ERROR_MAX, "rename failed (%lu)", (unsigned long)code);
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

// Adds a stream copied from par to mux, with the tag cleared so the MP4 muxer picks its own;
// null when it cannot be made.
static AVStream* mp4_copy_stream(AVFormatContext* mux, const AVCodecParameters* par, AVRational time_base) {
    AVStream* st = avformat_new_stream(mux, nullptr);
    if (!st || avcodec_parameters_copy(st->codecpar, par) < 0) return nullptr;
    st->codecpar->codec_tag = 0;
    st->time_base = time_base;
    return st;
}

bool mp4_remux_video_only(const wchar_t* take, const wchar_t* out, char err[MP4_ERROR_MAX]) {
    char in8[MP4_PATH_MAX * 4], out8[MP4_PATH_MAX * 4];
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
    dst = mp4_copy_stream(mux, src->codecpar, src->time_base);
    if (!dst) {
        fail = "remux: stream setup failed";
        goto done;
    }
    dst->avg_frame_rate = src->avg_frame_rate;
    switch (mp4_open_and_header(mux, out8, &code)) {
    case 1: fail = "remux: cannot create file"; goto done;
    case 2:
        created = true;
        text_format_into(err, MP4_ERROR_MAX, "remux: header failed (%d)", code);
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
        if (fail) text_format_into(err, MP4_ERROR_MAX, "%s", fail);
        if (created) DeleteFileW(out);
    }
    return ok;
}

// ---- The take.

static void mp4_close_take(mp4_take* t) {
    mp4_close_output(&t->mux);
    t->mux_video = nullptr;
    t->mux_audio = nullptr;
}

void mp4_take_close(mp4_take* t) { mp4_close_take(t); }

void mp4_take_drop(mp4_take* t) {
    if (!t->mux) return;
    mp4_close_take(t);
    DeleteFileW(t->part_path);
}

bool mp4_take_open(mp4_take* t, const AVCodecContext* video, const AVCodecContext* audio, int64_t take_start,
                   const wchar_t* path, char err[MP4_ERROR_MAX]) {
    err[0] = 0;
    char utf8[MP4_PATH_MAX * 4];
    t->video = video;
    t->audio = audio;
    wcsncpy(t->final_path, path ? path : L"", MP4_PATH_MAX - 1);
    t->final_path[MP4_PATH_MAX - 1] = 0;
    t->packets_written = 0;
    t->audio_packets_written = 0;
    t->bytes_written = 0;
    t->highest_pts = -1;
    t->take_start = take_start;
    if (!mp4_suffixed_path(t->final_path, L".part", t->part_path) || !mp4_utf8_path(t->part_path, utf8, sizeof utf8)) {
        t->part_path[0] = 0;
        text_format_into(err, MP4_ERROR_MAX, "cannot create file (%d)", AVERROR(ENAMETOOLONG));
        return false;
    }

    AVFormatContext* mux = nullptr;
    if (avformat_alloc_output_context2(&mux, nullptr, "mp4", utf8) < 0 || !mux) {
        text_format_into(err, MP4_ERROR_MAX, "mp4 muxer unavailable");
        return false;
    }
    mux->flags |= AVFMT_FLAG_BITEXACT;
    t->mux = mux;

    AVStream* vs = avformat_new_stream(mux, nullptr);
    if (!vs || !video || avcodec_parameters_from_context(vs->codecpar, video) < 0) {
        mp4_take_drop(t);
        text_format_into(err, MP4_ERROR_MAX, "mp4 stream setup failed");
        return false;
    }
    vs->time_base = video->time_base;
    vs->avg_frame_rate = video->framerate;
    t->mux_video = vs;
    if (audio) {
        AVStream* as = avformat_new_stream(mux, nullptr);
        if (!as || avcodec_parameters_from_context(as->codecpar, audio) < 0) {
            mp4_take_drop(t);
            text_format_into(err, MP4_ERROR_MAX, "mp4 audio stream setup failed");
            return false;
        }
        as->time_base = AVRational{1, MP4_AUDIO_RATE};
        t->mux_audio = as;
    }

    int code = 0;
    switch (mp4_open_and_header(mux, utf8, &code)) {
    case 1:
        mp4_close_take(t);
        text_format_into(err, MP4_ERROR_MAX, "cannot create file (%d)", code);
        return false;
    case 2:
        mp4_take_drop(t);
        text_format_into(err, MP4_ERROR_MAX, "mp4 header failed (%d)", code);
        return false;
    default: break;
    }
    return true;
}

int mp4_take_write_video(mp4_take* t, AVPacket* pkt) {
    if (!t->mux || !t->mux_video) return 0;
    const bool has_dts = pkt->dts != AV_NOPTS_VALUE;
    const int64_t pts = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
    if (pts == AV_NOPTS_VALUE) return 0;
    int64_t p, d;
    if (!mp4_shift_video(pts, pkt->dts, has_dts, t->take_start, &p, &d))
        return 0;  // late output of a take thrown away by a redo
    pkt->pts = p;
    pkt->dts = d;
    if (p > t->highest_pts) t->highest_pts = p;
    av_packet_rescale_ts(pkt, t->video->time_base, t->mux_video->time_base);
    pkt->stream_index = t->mux_video->index;
    const int size = pkt->size;
    const int r = av_interleaved_write_frame(t->mux, pkt);
    if (r < 0) return r;
    t->packets_written++;
    t->bytes_written += (uint64_t)size;
    return 1;
}

int mp4_take_write_audio(mp4_take* t, AVPacket* pkt, int64_t audio_base) {
    if (!t->mux || !t->mux_audio || !t->audio || pkt->pts == AV_NOPTS_VALUE) return 0;
    int64_t p, d;
    if (!mp4_shift_audio(pkt->pts, pkt->dts, pkt->dts != AV_NOPTS_VALUE, audio_base, t->audio->initial_padding, &p, &d))
        return 0;  // sound of a take thrown away by a redo
    pkt->pts = p;
    pkt->dts = d;
    av_packet_rescale_ts(pkt, AVRational{1, MP4_AUDIO_RATE}, t->mux_audio->time_base);
    pkt->stream_index = t->mux_audio->index;
    const int size = pkt->size;
    const int r = av_interleaved_write_frame(t->mux, pkt);
    if (r < 0) return r;
    t->bytes_written += (uint64_t)size;
    t->audio_packets_written++;
    return 1;
}

void mp4_take_finish(mp4_take* t, bool discard, bool failed, bool strip_audio, clip_result* res,
                     char err[MP4_ERROR_MAX]) {
    err[0] = 0;
    const bool keep = !discard && !failed && t->mux && t->packets_written > 0;
    bool saved = false, no_audio = false;
    uint64_t bytes = t->bytes_written;
    if (t->mux && !keep) {
        mp4_take_drop(t);
    } else if (t->mux) {
        const int r = av_write_trailer(t->mux);
        if (r < 0) {
            text_format_into(err, MP4_ERROR_MAX, "write trailer failed (%d)", r);
            failed = true;
        }
        mp4_close_take(t);
        if (failed) DeleteFileW(t->part_path);
    }

    if (keep && !failed && strip_audio) {
        wchar_t vpath[MP4_PATH_MAX];
        char rerr[MP4_ERROR_MAX] = "";
        if (!mp4_suffixed_path(t->part_path, L".v", vpath)) {
            text_format_into(err, MP4_ERROR_MAX, "remux: cannot create file");
            failed = true;
            DeleteFileW(t->part_path);
        } else if (!mp4_remux_video_only(t->part_path, vpath, rerr)) {
            text_format_into(err, MP4_ERROR_MAX, "%s", rerr);
            failed = true;
            DeleteFileW(t->part_path);
        } else {
            DeleteFileW(t->part_path);
            if (MoveFileExW(vpath, t->part_path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
                bytes = mp4_file_size(t->part_path);
                no_audio = true;
            } else {
                text_format_into(err, MP4_ERROR_MAX, "rename failed (%lu)", (unsigned long)GetLastError());
                failed = true;
                DeleteFileW(vpath);
            }
        }
    }

    wchar_t saved_path[MP4_PATH_MAX];
    wcscpy(saved_path, t->final_path);
    if (keep && !failed) {
        if (mp4_commit_take(t->part_path, t->final_path, saved_path, err))
            saved = true;
        else
            failed = true;
    }

    memset(res, 0, sizeof *res);
    res->saved = saved;
    res->discarded = discard;
    memcpy(res->path, saved_path, sizeof res->path);
    res->moved = saved && wcscmp(saved_path, t->final_path) != 0;
    res->bytes = bytes;
    res->frames = t->packets_written > 0 && t->highest_pts >= 0 ? t->highest_pts + 1 : 0;
    // The muxer leaves out a track that never got a packet, so such a file has no sound either.
    res->no_audio = no_audio || (saved && t->audio_packets_written == 0);
}

// ---- A replay save.

static int64_t mp4_packet_time(const AVPacket* pkt) { return pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts; }

// Writes one packet of the job as a new reference, moved to its take's start and to its
// stream's time base. Errors of single packets are ignored.
static void mp4_window_packet(AVFormatContext* mux, AVStream* st, const AVPacket* src, int64_t start, AVRational tb,
                              AVPacket* tmp) {
    if (av_packet_ref(tmp, src) < 0) return;
    const int64_t pts = mp4_packet_time(src) - start;
    tmp->pts = pts;
    tmp->dts = src->dts != AV_NOPTS_VALUE ? src->dts - start : pts;
    av_packet_rescale_ts(tmp, tb, st->time_base);
    tmp->stream_index = st->index;
    tmp->pos = -1;
    av_interleaved_write_frame(mux, tmp);
    av_packet_unref(tmp);
}

void mp4_write_window(const wchar_t* path, const mp4_window* w, clip_result* res) {
    wchar_t part[MP4_PATH_MAX];
    char utf8[MP4_PATH_MAX * 4];
    AVFormatContext* mux = nullptr;
    AVStream* vs = nullptr;
    AVStream* as = nullptr;
    AVPacket* tmp = nullptr;
    bool created = false, ok = false;
    int64_t highest = -1;
    int vi = 0, ai = 0, code = 0;
    const char* fail = nullptr;

    wcsncpy(res->path, path, MP4_PATH_MAX - 1);
    res->path[MP4_PATH_MAX - 1] = 0;

    if (w->video_count == 0 || !w->video_par) {
        fail = "replay buffer is empty";
        goto done;
    }
    if (!mp4_suffixed_path(path, L".part", part) || !mp4_utf8_path(part, utf8, sizeof utf8)) {
        fail = "cannot create file";
        goto done;
    }
    if (avformat_alloc_output_context2(&mux, nullptr, "mp4", utf8) < 0 || !mux) {
        fail = "mp4 muxer unavailable";
        goto done;
    }
    mux->flags |= AVFMT_FLAG_BITEXACT;
    vs = mp4_copy_stream(mux, w->video_par, w->video_tb);
    if (!vs) {
        fail = "mp4 stream setup failed";
        goto done;
    }
    vs->avg_frame_rate = w->video_rate;
    if (w->include_audio && w->audio_par && w->audio_count > 0) {
        as = mp4_copy_stream(mux, w->audio_par, w->audio_tb);
        if (!as) {
            fail = "mp4 stream setup failed";
            goto done;
        }
    }
    switch (mp4_open_and_header(mux, utf8, &code)) {
    case 1: fail = "cannot create file"; goto done;
    case 2:
        created = true;
        fail = "mp4 header failed";
        goto done;
    default: created = true; break;
    }
    tmp = av_packet_alloc();
    if (!tmp) {
        fail = "out of memory";
        goto done;
    }
    // Interleaved by presentation time, video first on a tie.
    while (vi < w->video_count || (as && ai < w->audio_count)) {
        bool video_next;
        if (vi >= w->video_count)
            video_next = false;
        else if (!as || ai >= w->audio_count)
            video_next = true;
        else {
            const double tv = (double)(mp4_packet_time(w->video[vi]) - w->start_video) * av_q2d(w->video_tb);
            const double ta = (double)(mp4_packet_time(w->audio[ai]) - w->start_audio) * av_q2d(w->audio_tb);
            video_next = tv <= ta;
        }
        if (video_next) {
            const AVPacket* p = w->video[vi++];
            const int64_t rel = mp4_packet_time(p) - w->start_video;
            if (rel > highest) highest = rel;
            mp4_window_packet(mux, vs, p, w->start_video, w->video_tb, tmp);
        } else {
            mp4_window_packet(mux, as, w->audio[ai++], w->start_audio, w->audio_tb, tmp);
        }
    }
    if (av_write_trailer(mux) < 0) {
        fail = "mp4 trailer failed";
        goto done;
    }
    ok = true;

done:
    av_packet_free(&tmp);
    if (mux) {
        if (mux->pb) avio_closep(&mux->pb);
        avformat_free_context(mux);
    }
    if (!ok) {
        if (created) DeleteFileW(part);
        text_format_into(res->error, MP4_ERROR_MAX, "%s", fail ? fail : "mp4 trailer failed");
        return;
    }
    char err[MP4_ERROR_MAX] = "";
    if (!mp4_commit(part, path, err)) {
        memcpy(res->error, err, sizeof res->error);
        return;
    }
    res->saved = true;
    res->frames = highest + 1;
    res->seconds = w->fps > 0 ? (double)res->frames / w->fps : 0.0;
    res->bytes = mp4_file_size(path);
    res->no_audio = as == nullptr;
}
