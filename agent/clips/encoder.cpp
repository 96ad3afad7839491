#include "agent/clips/encoder.h"

#include "agent/clips/mp4.h"
#include "agent/clips/replay_ring.h"
#include "agent/core/agent.h"
#include "agent/core/frame_pool.h"
#include "agent/core/worker_pool.h"
#include "common/log.h"
#include "common/text.h"

#include <cstdio>
#include <cstring>
#include <cwchar>

#include <d3d11.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/hwcontext.h>
#include <libavutil/hwcontext_d3d11va.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

// ---- Pure helpers.

bool encoder_software_env(const wchar_t* value) {
    if (!value) return false;
    size_t n = wcslen(value);
    return n >= 1 && n <= 3 && value[0] == L'1';
}

int encoder_attempts(const char* preference, bool software_env, encoder_attempt out[ENCODER_MAX_ATTEMPTS]) {
    const char* p = (preference && *preference) ? preference : "auto";
    const bool is_auto = strcmp(p, "auto") == 0;
    const bool is_mf = strcmp(p, "h264_mf") == 0;
    int n = 0;
    if ((is_auto || is_mf) && software_env) {
        out[n++] = {"h264_mf", true};
    } else if (is_auto) {
        out[n++] = {"h264_nvenc", false};
        out[n++] = {"h264_amf", false};
        out[n++] = {"h264_mf", false};
        out[n++] = {"h264_mf", true};
    } else if (is_mf) {
        out[n++] = {"h264_mf", false};
        out[n++] = {"h264_mf", true};
    } else if (strcmp(p, "h264_nvenc") == 0 || strcmp(p, "h264_amf") == 0) {
        out[n++] = {strcmp(p, "h264_nvenc") == 0 ? "h264_nvenc" : "h264_amf", false};
    }
    return n;
}

static int encoder_even(int64_t v) { return (int)(v & ~(int64_t)1); }

void encoder_letterbox(int src_w, int src_h, int out_w, int out_h, RECT* dst) {
    dst->left = 0;
    dst->top = 0;
    dst->right = out_w;
    dst->bottom = out_h;
    if (src_w <= 0 || src_h <= 0 || out_w <= 0 || out_h <= 0) return;
    const int64_t wide = (int64_t)src_w * out_h;
    const int64_t tall = (int64_t)src_h * out_w;
    if (wide > tall) {
        int h = encoder_even((int64_t)src_h * out_w / src_w);
        if (h < 2) h = 2;
        const int top = encoder_even((out_h - h) / 2);
        dst->top = top;
        dst->bottom = top + h;
    } else if (wide < tall) {
        int w = encoder_even((int64_t)src_w * out_h / src_h);
        if (w < 2) w = 2;
        const int left = encoder_even((out_w - w) / 2);
        dst->left = left;
        dst->right = left + w;
    }
}

void encoder_fit_size(int src_w, int src_h, int* out_w, int* out_h) {
    int64_t w = src_w > 0 ? src_w : 0;
    int64_t h = src_h > 0 ? src_h : 0;
    const int64_t longer = w > h ? w : h;
    if (longer > 4096) {
        w = w * 4096 / longer;
        h = h * 4096 / longer;
    }
    *out_w = encoder_even(w);
    *out_h = encoder_even(h);
}

int encoder_gop(int fps, int ring_seconds) { return ring_seconds > 0 ? (fps + 1) / 2 : fps; }

// ---- Small helpers.

namespace {

template <class T>
void encoder_release(T** p) {
    if (*p) {
        (*p)->Release();
        *p = nullptr;
    }
}

double encoder_ms_since(LARGE_INTEGER t0) {
    LARGE_INTEGER t1, f;
    QueryPerformanceCounter(&t1);
    QueryPerformanceFrequency(&f);
    return f.QuadPart > 0 ? (double)(t1.QuadPart - t0.QuadPart) * 1000.0 / (double)f.QuadPart : 0.0;
}

void encoder_av_text(int code, char* out, size_t cap) {
    char text[AV_ERROR_MAX_STRING_SIZE];
    if (av_strerror(code, text, sizeof text) < 0) snprintf(text, sizeof text, "error %d", code);
    text_format_into(out, cap, "%s", text);
}

// The CPU stand-in H.264 encoder, tried after the Media Foundation software one.
const char ENCODER_OPENH264[] = "libopenh264";

volatile LONG g_cpu_path_logged = 0;
volatile LONG g_format_logged = 0;

// Test aid: conversions and frame sends still to fail.
volatile LONG g_debug_convert_fail = 0;
volatile LONG g_debug_encode_fail = 0;

// True when the test aid takes this conversion or send: it fails.
bool encoder_debug_take(volatile LONG* left) {
    LONG n = InterlockedCompareExchange(left, 0, 0);
    while (n > 0) {
        const LONG seen = InterlockedCompareExchange(left, n - 1, n);
        if (seen == n) return true;
        n = seen;
    }
    return false;
}

}  // namespace

// One item of the encoder's lane.
enum encode_item_type {
    ENCODE_VIDEO = 0,  // a converted GPU frame, or (CPU path) a read-back buffer or a repeat
    ENCODE_TAKE_START = 1,
    ENCODE_FINISH = 2,
    ENCODE_AUDIO = 3,
    ENCODE_REPLAY_SAVE = 4,
};

struct encode_item {
    video_encoder* enc;
    int type;
    int64_t pts;                     // ENCODE_VIDEO: presentation timestamp in frames
    int key;                         // ENCODE_VIDEO: force a key frame
    AVFrame* frame;                  // ENCODE_VIDEO, GPU path: a reference to an NV12 pool frame
    frame_buffer* cpu;               // ENCODE_VIDEO, CPU path: BGRA read-back; none means a repeat
    RECT cpu_src;                    // ENCODE_VIDEO, CPU path: picture inside cpu (its pixels)
    int64_t take_start;              // ENCODE_TAKE_START
    wchar_t path[ENCODER_PATH_MAX];  // ENCODE_TAKE_START
    int discard;                     // ENCODE_FINISH
    float* samples;                  // ENCODE_AUDIO: interleaved stereo, owned by the item
    int sample_frames;               // ENCODE_AUDIO
    int64_t timeline;                // ENCODE_TAKE_START: its sound's start; ENCODE_AUDIO: the chunk's timeline
    encoder_save_job* save;          // ENCODE_REPLAY_SAVE
};

// A save of the ring's last seconds: filled on the capture thread (what to write and
// whom to tell), then on the lane (the packet window), then written on a clips worker.
struct encoder_save_job {
    wchar_t path[ENCODER_PATH_MAX];
    int seconds;
    bool include_audio;
    encoder_done_fn done;
    void* data;

    AVCodecParameters* video_par;
    AVCodecParameters* audio_par;  // none without sound
    AVRational video_tb, audio_tb, video_rate;
    replay_window packets;
    bool out_of_memory;  // the window could not be copied
    char encoder[ENCODER_NAME_MAX];
    int width, height, fps;
    int64_t next_pts;                 // the frame counter when the save was asked for
    char refused[ENCODER_ERROR_MAX];  // why nothing is written, when the window is refused
};

static void encoder_save_job_free(encoder_save_job* job) {
    if (!job) return;
    avcodec_parameters_free(&job->video_par);
    avcodec_parameters_free(&job->audio_par);
    replay_ring_window_free(&job->packets);
    HeapFree(GetProcessHeap(), 0, job);
}

// ---- Lane items.

// A zero-filled item of the given type for enc, or none when memory is short.
static encode_item* encoder_item_new(video_encoder* enc, int type) {
    encode_item* it = (encode_item*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(encode_item));
    if (!it) return nullptr;
    it->enc = enc;
    it->type = type;
    return it;
}

// Frees an item and what it still owns (frame reference, read-back buffer, samples, save job).
static void encoder_item_free(encode_item* item) {
    if (!item) return;
    av_frame_free(&item->frame);
    if (item->cpu) frame_pool_release(item->cpu);
    if (item->samples) HeapFree(GetProcessHeap(), 0, item->samples);
    if (item->save) encoder_save_job_free(item->save);
    HeapFree(GetProcessHeap(), 0, item);
}

// Marks the encoder failed with text (first failure only). Worker side.
static void encoder_fail(video_encoder* enc, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
static void encoder_fail(video_encoder* enc, const char* fmt, ...) {
    if (!enc || enc->failed) return;
    va_list args;
    va_start(args, fmt);
    log_vformat(enc->error, sizeof enc->error, fmt, args);
    va_end(args);
    enc->failed = true;
    InterlockedExchange(&enc->failed_seen, 1);
}

static void encoder_stamp(AVFrame* f, int64_t pts, bool key) {
    f->pts = pts;
    f->pict_type = key ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    f->key_frame = key ? 1 : 0;
}

static void encoder_color_tags(AVFrame* f) {
    f->color_primaries = AVCOL_PRI_BT709;
    f->color_trc = AVCOL_TRC_BT709;
    f->colorspace = AVCOL_SPC_BT709;
    f->color_range = AVCOL_RANGE_MPEG;
}

// Fills the frame with limited-range black (Y 16, chroma 128).
static void encoder_fill_black(AVFrame* f) {
    const int h = f->height, w = f->width;
    for (int y = 0; y < h; y++) memset(f->data[0] + (size_t)y * f->linesize[0], 16, (size_t)w);
    if (f->format == AV_PIX_FMT_NV12) {
        for (int y = 0; y < h / 2; y++) memset(f->data[1] + (size_t)y * f->linesize[1], 128, (size_t)w);
    } else {
        for (int p = 1; p <= 2; p++)
            for (int y = 0; y < h / 2; y++) memset(f->data[p] + (size_t)y * f->linesize[p], 128, (size_t)(w / 2));
    }
}

static void encoder_sws_colors(SwsContext* sws, bool src_rgb) {
    const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
    // RGB comes in full range; the encoders get BT.709 limited range.
    sws_setColorspaceDetails(sws, bt709, src_rgb ? 1 : 0, bt709, 0, 0, 1 << 16, 1 << 16);
}

// Worker, CPU path: scales and letterboxes the read-back into cpu_last (a black frame of
// the encoder's size and format, kept across frames so the bars are painted once).
// Returns the frame to send, or none when there is nothing to send.
static AVFrame* encoder_cpu_convert(video_encoder* enc, encode_item* it) {
    frame_buffer* buf = it->cpu;
    if (!buf) return enc->cpu_last;  // a repeat
    const int src_w = it->cpu_src.right - it->cpu_src.left;
    const int src_h = it->cpu_src.bottom - it->cpu_src.top;
    if (!enc->cpu_last) {
        AVFrame* f = av_frame_alloc();
        if (!f) return nullptr;
        f->format = enc->video->pix_fmt;
        f->width = enc->width;
        f->height = enc->height;
        if (av_frame_get_buffer(f, 0) < 0) {
            av_frame_free(&f);
            return nullptr;
        }
        encoder_fill_black(f);
        encoder_color_tags(f);
        enc->cpu_last = f;
        enc->sws_src_w = enc->sws_src_h = 0;
    }
    // The encoder may still hold the previous picture; this copies only then.
    if (av_frame_make_writable(enc->cpu_last) < 0) return nullptr;
    AVFrame* out = enc->cpu_last;
    if (!enc->sws || src_w != enc->sws_src_w || src_h != enc->sws_src_h) {
        RECT dst;
        encoder_letterbox(src_w, src_h, enc->width, enc->height, &dst);
        const int dst_w = dst.right - dst.left, dst_h = dst.bottom - dst.top;
        const int flags = (src_w == dst_w && src_h == dst_h) ? SWS_POINT : SWS_FAST_BILINEAR;
        sws_freeContext(enc->sws);
        enc->sws = sws_getContext(src_w, src_h, AV_PIX_FMT_BGRA, dst_w, dst_h, (AVPixelFormat)out->format, flags,
                                  nullptr, nullptr, nullptr);
        if (!enc->sws) {
            enc->sws_src_w = enc->sws_src_h = 0;
            return nullptr;
        }
        encoder_sws_colors(enc->sws, true);
        // A new source size may leave old picture where the bars now are.
        if (memcmp(&dst, &enc->sws_dst, sizeof dst) != 0) encoder_fill_black(out);
        enc->sws_dst = dst;
        enc->sws_src_w = src_w;
        enc->sws_src_h = src_h;
    }
    const RECT& d = enc->sws_dst;
    uint8_t* planes[4] = {};
    planes[0] = out->data[0] + (size_t)d.top * out->linesize[0] + d.left;
    if (out->format == AV_PIX_FMT_NV12) {
        planes[1] = out->data[1] + (size_t)(d.top / 2) * out->linesize[1] + d.left;
    } else {
        planes[1] = out->data[1] + (size_t)(d.top / 2) * out->linesize[1] + d.left / 2;
        planes[2] = out->data[2] + (size_t)(d.top / 2) * out->linesize[2] + d.left / 2;
    }
    const uint8_t* src[4] = {buf->pixels + (size_t)it->cpu_src.top * buf->stride + (size_t)it->cpu_src.left * 4};
    const int src_stride[4] = {buf->stride};
    sws_scale(enc->sws, src, src_stride, 0, src_h, planes, out->linesize);
    enc->cpu_last_valid = true;
    frame_pool_release(buf);
    it->cpu = nullptr;
    return out;
}

// Worker, GPU path with a software encoder: the pool frame copied to system memory, in
// the encoder's own format. Returns a new frame or none.
static AVFrame* encoder_gpu_download(video_encoder* enc, const AVFrame* gpu) {
    AVFrame* sw = av_frame_alloc();
    if (!sw) return nullptr;
    if (av_hwframe_transfer_data(sw, gpu, 0) < 0 || av_frame_copy_props(sw, gpu) < 0) {
        av_frame_free(&sw);
        return nullptr;
    }
    if (sw->format == enc->video->pix_fmt) return sw;
    AVFrame* conv = av_frame_alloc();
    if (conv) {
        conv->format = enc->video->pix_fmt;
        conv->width = sw->width;
        conv->height = sw->height;
    }
    enc->sws_gpu = sws_getCachedContext(enc->sws_gpu, sw->width, sw->height, (AVPixelFormat)sw->format, sw->width,
                                        sw->height, enc->video->pix_fmt, SWS_POINT, nullptr, nullptr, nullptr);
    bool ok = conv && enc->sws_gpu && av_frame_get_buffer(conv, 0) >= 0 && av_frame_copy_props(conv, sw) >= 0;
    if (ok) {
        encoder_sws_colors(enc->sws_gpu, false);
        ok = sws_scale(enc->sws_gpu, sw->data, sw->linesize, 0, sw->height, conv->data, conv->linesize) > 0;
    }
    av_frame_free(&sw);
    if (!ok) av_frame_free(&conv);
    return conv;
}

// Worker, CPU path: a read-back that could not be converted costs that picture only; the
// last one stands in for it so the timeline keeps its frame. None before any picture.
static AVFrame* encoder_cpu_stand_in(video_encoder* enc, const encode_item* it) {
    const uint64_t n = ++enc->convert_failed;
    if ((n & (n - 1)) == 0)  // 1, 2, 4, ...: a lasting fault does not flood the log
        log_warn("clip: frame %lld could not be converted (%llu so far); %s", (long long)it->pts, (unsigned long long)n,
                 enc->cpu_last_valid ? "the last picture repeats" : "skipped");
    return enc->cpu_last_valid ? enc->cpu_last : nullptr;
}

static void encoder_video_item(video_encoder* enc, encode_item* it) {
    if (enc->failed) return;
    LARGE_INTEGER t0;
    QueryPerformanceCounter(&t0);
    int ret = 0;
    if (enc->cpu_path) {
        // The conversion stands in for the GPU's and is timed apart from the encoding.
        const bool read_back = it->cpu != nullptr;
        AVFrame* f = read_back && encoder_debug_take(&g_debug_convert_fail) ? nullptr : encoder_cpu_convert(enc, it);
        if (read_back) {
            const double ms = encoder_ms_since(t0);
            AcquireSRWLockExclusive(&enc->lock);
            enc->convert_ms_sum += ms;
            enc->convert_count++;
            ReleaseSRWLockExclusive(&enc->lock);
            QueryPerformanceCounter(&t0);
            if (!f) f = encoder_cpu_stand_in(enc, it);
        }
        if (f) {
            // A take's first picture must be a key frame even when the one asked to be was lost.
            encoder_stamp(f, it->pts, it->key != 0 || enc->key_owed);
            ret = encoder_debug_take(&g_debug_encode_fail) ? AVERROR(EINVAL) : avcodec_send_frame(enc->video, f);
            enc->key_owed = false;
        } else if (it->key) {
            enc->key_owed = true;
        }
    } else if (enc->software) {
        AVFrame* sw = encoder_gpu_download(enc, it->frame);
        ret = !sw                                        ? -5
              : encoder_debug_take(&g_debug_encode_fail) ? AVERROR(EINVAL)
                                                         : avcodec_send_frame(enc->video, sw);
        av_frame_free(&sw);
    } else {
        ret = encoder_debug_take(&g_debug_encode_fail) ? AVERROR(EINVAL) : avcodec_send_frame(enc->video, it->frame);
    }
    if (ret < 0 && ret != AVERROR(EAGAIN)) encoder_fail(enc, "send frame failed (%d)", ret);
    encoder_lane_drain(enc);
    const double ms = encoder_ms_since(t0);
    AcquireSRWLockExclusive(&enc->lock);
    enc->encode_ms_sum += ms;
    enc->encode_count++;
    ReleaseSRWLockExclusive(&enc->lock);
}

static void encoder_save_item(video_encoder* enc, encoder_save_job* job);

// The lane's job function: runs one encode_item (its argument) by type, then frees it.
static void encoder_run_item(void* arg) {
    encode_item* it = (encode_item*)arg;
    video_encoder* enc = it->enc;
    switch (it->type) {
    case ENCODE_VIDEO:
        encoder_video_item(enc, it);
        InterlockedDecrement(&enc->in_flight);
        break;
    case ENCODE_TAKE_START:
        enc->sound_from = it->timeline;
        encoder_lane_take_start(enc, it->take_start, it->path);
        break;
    case ENCODE_FINISH: encoder_lane_finish(enc, it->discard != 0); break;
    case ENCODE_AUDIO:
        if (it->timeline >= enc->sound_from) encoder_lane_audio(enc, it->samples, it->sample_frames);
        break;
    case ENCODE_REPLAY_SAVE: {
        encoder_save_job* job = it->save;
        it->save = nullptr;
        encoder_save_item(enc, job);
        break;
    }
    default: break;
    }
    encoder_item_free(it);
}

// Pushes item onto the encoder's lane, where it runs in order and is freed after it ran.
// False when the lane refused; the item stays the caller's then (free it with
// encoder_item_free). An ENCODE_REPLAY_SAVE item hands its job to encoder_save_item,
// which owns it from then on.
static bool encoder_queue(video_encoder* enc, encode_item* item) {
    if (!enc || !enc->lane || !item) return false;
    return job_lane_submit(enc->lane, encoder_run_item, item);
}

// ---- Teardown.

static void encoder_release_views(video_encoder* enc) {
    for (int i = 0; i < ENCODER_IN_VIEWS; i++) {
        encoder_release(&enc->in_views[i].view);
        enc->in_views[i].texture = nullptr;
    }
    for (int i = 0; i < ENCODER_OUT_VIEWS; i++) {
        encoder_release(&enc->out_views[i].view);
        enc->out_views[i].texture = nullptr;
    }
}

// Teardown of everything the encoder holds, then the record itself.
static void encoder_free(video_encoder* enc) {
    if (!enc) return;
    if (enc->lane) {
        // Only a failed create gets here with a lane; it holds no work of ours.
        job_lane_close(enc->lane, nullptr, nullptr);
        enc->lane = nullptr;
    }
    av_frame_free(&enc->last_frame);
    av_frame_free(&enc->cpu_last);
    sws_freeContext(enc->sws);
    sws_freeContext(enc->sws_gpu);
    // A finish always closes the take; this only guards against a leaked handle.
    mp4_take_close(&enc->take);
    avcodec_free_context(&enc->video);
    avcodec_free_context(&enc->audio);
    if (enc->ring) {
        replay_ring_free(enc->ring);
        enc->ring = nullptr;
    }
    if (enc->fifo) av_audio_fifo_free(enc->fifo);
    encoder_release_views(enc);
    encoder_release(&enc->vp);
    encoder_release(&enc->vp_enum);
    av_buffer_unref(&enc->hw_frames);
    av_buffer_unref(&enc->hw_device);
    encoder_release(&enc->video_context);
    encoder_release(&enc->video_device);
    encoder_release(&enc->staging);
    encoder_release(&enc->context);
    encoder_release(&enc->device);
    if (enc->own_frames) frame_pool_destroy(enc->own_frames);
    HeapFree(GetProcessHeap(), 0, enc);
}

// ---- Create.

// The software encoders accept system memory only; NV12 when they take it, else planar 4:2:0.
static AVPixelFormat encoder_system_format(const AVCodec* codec) {
    const AVPixelFormat* list = codec->pix_fmts;
    if (!list || *list == AV_PIX_FMT_NONE) return AV_PIX_FMT_NV12;
    for (const AVPixelFormat* p = list; *p != AV_PIX_FMT_NONE; ++p)
        if (*p == AV_PIX_FMT_NV12) return AV_PIX_FMT_NV12;
    for (const AVPixelFormat* p = list; *p != AV_PIX_FMT_NONE; ++p)
        if (*p == AV_PIX_FMT_YUV420P) return AV_PIX_FMT_YUV420P;
    return list[0];
}

// Opens one H.264 encoder into enc->video. False with the attempt's message in msg.
static bool encoder_open_video(video_encoder* enc, const char* name, bool software, char* msg, size_t cap) {
    const AVCodec* codec = avcodec_find_encoder_by_name(name);
    if (!codec) {
        text_format_into(msg, cap, "%s not available", name);
        return false;
    }
    AVCodecContext* c = avcodec_alloc_context3(codec);
    if (!c) {
        text_format_into(msg, cap, "out of memory");
        return false;
    }
    c->width = enc->width;
    c->height = enc->height;
    c->time_base = AVRational{1, enc->fps};
    c->framerate = AVRational{enc->fps, 1};
    const bool gpu_input = !software && !enc->cpu_path;
    if (gpu_input) {
        c->pix_fmt = AV_PIX_FMT_D3D11;
        c->hw_frames_ctx = av_buffer_ref(enc->hw_frames);
        if (!c->hw_frames_ctx) {
            avcodec_free_context(&c);
            text_format_into(msg, cap, "out of memory");
            return false;
        }
    } else {
        c->pix_fmt = encoder_system_format(codec);
    }
    c->bit_rate = (int64_t)enc->kbps * 1000;
    c->rc_max_rate = (int64_t)enc->kbps * 1000;
    c->rc_buffer_size = (int)((int64_t)enc->kbps * 1000 > 0x7fffffff ? 0x7fffffff : (int64_t)enc->kbps * 1000);
    c->gop_size = encoder_gop(enc->fps, enc->ring_seconds);
    c->max_b_frames = 0;
    c->color_primaries = AVCOL_PRI_BT709;
    c->color_trc = AVCOL_TRC_BT709;
    c->colorspace = AVCOL_SPC_BT709;
    c->color_range = AVCOL_RANGE_MPEG;
    c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER | AV_CODEC_FLAG_BITEXACT;
    if (strstr(name, "nvenc")) {
        av_opt_set(c->priv_data, "preset", "p4", 0);
        av_opt_set(c->priv_data, "tune", "ll", 0);
        av_opt_set(c->priv_data, "rc", "cbr", 0);
        av_opt_set(c->priv_data, "forced-idr", "1", 0);
    } else if (strstr(name, "amf")) {
        av_opt_set(c->priv_data, "usage", "lowlatency", 0);
        av_opt_set(c->priv_data, "rc", "cbr", 0);
    } else if (strstr(name, "_mf")) {
        av_opt_set(c->priv_data, "rate_control", "cbr", 0);
        av_opt_set(c->priv_data, "scenario", "display_remoting", 0);
        if (!software) av_opt_set(c->priv_data, "hw_encoding", "1", 0);
    } else if (strcmp(name, ENCODER_OPENH264) == 0) {
        // One slice: the automatic count refuses short pictures and buys nothing on one thread.
        c->slices = 1;
        // Every frame must come out: the timeline counts frames, not time.
        av_opt_set(c->priv_data, "rc_mode", "bitrate", 0);
        av_opt_set(c->priv_data, "allow_skip_frames", "0", 0);
    }
    const int ret = avcodec_open2(c, codec, nullptr);
    if (ret < 0) {
        char text[96];
        encoder_av_text(ret, text, sizeof text);
        text_format_into(msg, cap, "%s open failed: %s", name, text);
        avcodec_free_context(&c);
        return false;
    }
    enc->video = c;
    enc->software = software || enc->cpu_path;
    return true;
}

// Walks the attempts for the preference. False with the documented message in err.
static bool encoder_choose(video_encoder* enc, const wchar_t* preference, char* err, size_t cap) {
    char pref[ENCODER_NAME_MAX] = "auto";
    if (preference && *preference) {
        char wide_utf8[256];
        int n = WideCharToMultiByte(CP_UTF8, 0, preference, -1, wide_utf8, sizeof wide_utf8, nullptr, nullptr);
        if (n <= 0) wide_utf8[0] = 0;
        size_t len = strlen(wide_utf8);
        if (len > ENCODER_NAME_MAX - 1) {
            len = ENCODER_NAME_MAX - 1;
            while (len > 0 && ((unsigned char)wide_utf8[len] & 0xC0) == 0x80) len--;
        }
        memcpy(pref, wide_utf8, len);
        pref[len] = 0;
        if (!pref[0]) strcpy(pref, "auto");
    }
    wchar_t env[8];
    DWORD got = GetEnvironmentVariableW(L"IVRA_CLIP_SOFTWARE", env, 8);
    const bool software_env = got > 0 && got < 8 && encoder_software_env(env);

    encoder_attempt list[ENCODER_MAX_ATTEMPTS + 1];
    int count = encoder_attempts(pref, software_env, list);
    if (count == 0) {
        text_format_into(err, cap, "encoder %s is not supported for clips yet", pref);
        return false;
    }
    const bool explicit_one = count == 1 && !list[0].software;
    for (int i = 0; i < count && !explicit_one; i++)
        if (list[i].software) {
            list[count++] = {ENCODER_OPENH264, true};
            break;
        }
    char msg[ENCODER_ERROR_MAX] = "";
    for (int i = 0; i < count; i++) {
        char display[ENCODER_NAME_MAX];
        if (list[i].software)
            text_format_into(display, sizeof display, "%s (software)", list[i].codec);
        else
            text_format_into(display, sizeof display, "%s", list[i].codec);
        if (encoder_open_video(enc, list[i].codec, list[i].software, msg, sizeof msg)) {
            text_format_into(enc->name, sizeof enc->name, "%s", display);
            return true;
        }
        if (i + 1 < count) log_warn("clip: %s", msg);
    }
    if (explicit_one)
        text_format_into(err, cap, "%s", msg);
    else
        text_format_into(err, cap, "no H.264 encoder (tried nvenc, amf, mf)");
    return false;
}

static bool encoder_open_audio(video_encoder* enc) {
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (!codec) return false;
    AVCodecContext* c = avcodec_alloc_context3(codec);
    if (!c) return false;
    c->sample_rate = ENCODER_AUDIO_RATE;
    c->sample_fmt = AV_SAMPLE_FMT_FLTP;
    av_channel_layout_default(&c->ch_layout, 2);
    c->bit_rate = 160000;
    c->time_base = AVRational{1, ENCODER_AUDIO_RATE};
    c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER | AV_CODEC_FLAG_BITEXACT;
    if (avcodec_open2(c, codec, nullptr) < 0) {
        avcodec_free_context(&c);
        return false;
    }
    enc->audio = c;
    enc->fifo = av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, 2, ENCODER_AUDIO_RATE);
    return enc->fifo != nullptr;
}

// The GPU path's FFmpeg side: the D3D11VA device on our device and the NV12 pool.
static bool encoder_open_hw(video_encoder* enc, char* err, size_t cap) {
    enc->hw_device = av_hwdevice_ctx_alloc(AV_HWDEVICE_TYPE_D3D11VA);
    if (!enc->hw_device) {
        text_format_into(err, cap, "out of memory");
        return false;
    }
    AVHWDeviceContext* dev = (AVHWDeviceContext*)enc->hw_device->data;
    AVD3D11VADeviceContext* d3d = (AVD3D11VADeviceContext*)dev->hwctx;
    d3d->device = enc->device;
    enc->device->AddRef();
    if (av_hwdevice_ctx_init(enc->hw_device) < 0) {
        text_format_into(err, cap, "FFmpeg D3D11 device init failed");
        return false;
    }
    enc->hw_frames = av_hwframe_ctx_alloc(enc->hw_device);
    if (!enc->hw_frames) {
        text_format_into(err, cap, "out of memory");
        return false;
    }
    AVHWFramesContext* fc = (AVHWFramesContext*)enc->hw_frames->data;
    fc->format = AV_PIX_FMT_D3D11;
    fc->sw_format = AV_PIX_FMT_NV12;
    fc->width = enc->width;
    fc->height = enc->height;
    fc->initial_pool_size = 0;  // frames are made on demand
    ((AVD3D11VAFramesContext*)fc->hwctx)->BindFlags = D3D11_BIND_RENDER_TARGET;
    if (av_hwframe_ctx_init(enc->hw_frames) < 0) {
        text_format_into(err, cap, "NV12 frame pool %dx%d failed", enc->width, enc->height);
        return false;
    }
    return true;
}

video_encoder* encoder_create(const encoder_params* params, const wchar_t* path, char err[ENCODER_ERROR_MAX]) {
    char msg[ENCODER_ERROR_MAX] = "";
    video_encoder* enc = nullptr;
    if (!params || !params->device) {
        text_format_into(err, ENCODER_ERROR_MAX, "no video-capable D3D11 device");
        return nullptr;
    }
    enc = (video_encoder*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(video_encoder));
    if (!enc) {
        text_format_into(err, ENCODER_ERROR_MAX, "out of memory");
        return nullptr;
    }
    InitializeSRWLock(&enc->lock);
    enc->width = params->width & ~1;
    enc->height = params->height & ~1;
    enc->fps = params->fps > 0 ? params->fps : 60;
    enc->kbps = params->kbps;
    enc->ring_seconds = params->ring_seconds > 0 ? params->ring_seconds : 0;
    enc->pool = params->pool;
    enc->frames = params->frames;
    enc->take.highest_pts = -1;
    if (enc->width < 64 || enc->height < 64) {
        text_format_into(msg, sizeof msg, "clip area too small (%dx%d)", enc->width, enc->height);
        goto fail;
    }

    enc->device = params->device;
    enc->device->AddRef();
    enc->device->GetImmediateContext(&enc->context);
    if (FAILED(enc->device->QueryInterface(__uuidof(ID3D11VideoDevice), (void**)&enc->video_device)) ||
        FAILED(enc->context->QueryInterface(__uuidof(ID3D11VideoContext), (void**)&enc->video_context))) {
        encoder_release(&enc->video_device);
        encoder_release(&enc->video_context);
        // The stand-in: read back through a staging texture and convert with swscale.
        enc->cpu_path = true;
        if (InterlockedCompareExchange(&g_cpu_path_logged, 1, 0) == 0)
            log_info("clip: device has no video interfaces; converting on the CPU");
    }
    if (!enc->cpu_path && !encoder_open_hw(enc, msg, sizeof msg)) goto fail;
    if (enc->cpu_path && !enc->frames) {
        // Enough for every frame in flight at the largest size.
        enc->own_frames = frame_pool_create("clip-frames", ENCODER_MAX_IN_FLIGHT + 2,
                                            (uint64_t)(ENCODER_MAX_IN_FLIGHT + 2) * 4096 * 2304 * 4);
        enc->frames = enc->own_frames;
        if (!enc->frames) {
            text_format_into(msg, sizeof msg, "out of memory");
            goto fail;
        }
    }

    if (!encoder_choose(enc, params->preference, msg, sizeof msg)) goto fail;
    if (params->audio && !encoder_open_audio(enc)) {
        text_format_into(msg, sizeof msg, "AAC encoder unavailable");
        goto fail;
    }
    if (enc->ring_seconds > 0) {
        enc->ring = replay_ring_create();
        if (!enc->ring) {
            text_format_into(msg, sizeof msg, "out of memory");
            goto fail;
        }
    }
    enc->lane = job_lane_create(enc->pool, ENCODER_QUEUE_CAPACITY);
    if (!enc->lane) {
        text_format_into(msg, sizeof msg, "out of memory");
        goto fail;
    }
    if (enc->ring_seconds == 0) {
        if (!encoder_start_take(enc, path ? path : L"")) {
            text_format_into(msg, sizeof msg, "clips workers busy");
            goto fail;
        }
        log_info("clip: encoder %s %dx%d @ %d fps, %d kbps", enc->name, enc->width, enc->height, enc->fps, enc->kbps);
    } else {
        log_info("clip: replay encoder %s %dx%d @ %d fps, %d kbps, %d s ring", enc->name, enc->width, enc->height,
                 enc->fps, enc->kbps, enc->ring_seconds);
    }
    return enc;

fail:
    text_format_into(err, ENCODER_ERROR_MAX, "%s", msg);
    encoder_free(enc);
    return nullptr;
}

// ---- Submit frame (capture thread).

// Finds tex in a view cache, or the slot to fill: the first free one, or slot 0 after
// releasing every view when all are taken.
template <class Slot>
static int encoder_view_slot(Slot* slots, int count, ID3D11Texture2D* tex, bool* found) {
    for (int i = 0; i < count; i++)
        if (slots[i].view && slots[i].texture == tex) {
            *found = true;
            return i;
        }
    *found = false;
    for (int i = 0; i < count; i++)
        if (!slots[i].view) return i;
    for (int i = 0; i < count; i++) {
        encoder_release(&slots[i].view);
        slots[i].texture = nullptr;
    }
    return 0;
}

static bool encoder_build_vp(video_encoder* enc, int in_w, int in_h) {
    encoder_release_views(enc);
    encoder_release(&enc->vp);
    encoder_release(&enc->vp_enum);
    enc->vp_in_w = enc->vp_in_h = 0;
    D3D11_VIDEO_PROCESSOR_CONTENT_DESC cd = {};
    cd.InputFrameFormat = D3D11_VIDEO_FRAME_FORMAT_PROGRESSIVE;
    cd.InputFrameRate = {(UINT)enc->fps, 1};
    cd.InputWidth = (UINT)in_w;
    cd.InputHeight = (UINT)in_h;
    cd.OutputFrameRate = {(UINT)enc->fps, 1};
    cd.OutputWidth = (UINT)enc->width;
    cd.OutputHeight = (UINT)enc->height;
    cd.Usage = D3D11_VIDEO_USAGE_OPTIMAL_SPEED;
    HRESULT hr = enc->video_device->CreateVideoProcessorEnumerator(&cd, &enc->vp_enum);
    if (SUCCEEDED(hr)) hr = enc->video_device->CreateVideoProcessor(enc->vp_enum, 0, &enc->vp);
    if (FAILED(hr)) {
        log_error("clip: video processor %dx%d -> %dx%d failed hr=0x%08lx", in_w, in_h, enc->width, enc->height,
                  (unsigned long)hr);
        encoder_release(&enc->vp);
        encoder_release(&enc->vp_enum);
        return false;
    }
    D3D11_VIDEO_PROCESSOR_COLOR_SPACE in_cs = {};
    in_cs.RGB_Range = 0;  // full range RGB
    D3D11_VIDEO_PROCESSOR_COLOR_SPACE out_cs = {};
    out_cs.YCbCr_Matrix = 1;  // BT.709
    out_cs.Nominal_Range = D3D11_VIDEO_PROCESSOR_NOMINAL_RANGE_16_235;
    enc->video_context->VideoProcessorSetStreamColorSpace(enc->vp, 0, &in_cs);
    enc->video_context->VideoProcessorSetOutputColorSpace(enc->vp, &out_cs);
    enc->video_context->VideoProcessorSetStreamFrameFormat(enc->vp, 0, D3D11_VIDEO_FRAME_FORMAT_PROGRESSIVE);
    D3D11_VIDEO_COLOR black = {};
    black.YCbCr.Y = 16.0f / 255.0f;
    black.YCbCr.Cb = 0.5f;
    black.YCbCr.Cr = 0.5f;
    black.YCbCr.A = 1.0f;
    enc->video_context->VideoProcessorSetOutputBackgroundColor(enc->vp, TRUE, &black);
    RECT whole = {0, 0, enc->width, enc->height};
    enc->video_context->VideoProcessorSetOutputTargetRect(enc->vp, TRUE, &whole);
    enc->vp_in_w = in_w;
    enc->vp_in_h = in_h;
    return true;
}

// GPU path: converts src of tex into a new NV12 pool frame. Returns it, or none.
static AVFrame* encoder_gpu_convert(video_encoder* enc, ID3D11Texture2D* tex, int tex_w, int tex_h, const RECT& src) {
    if (!enc->vp || tex_w != enc->vp_in_w || tex_h != enc->vp_in_h) {
        if (!encoder_build_vp(enc, tex_w, tex_h)) return nullptr;
    }
    bool found = false;
    int in = encoder_view_slot(enc->in_views, ENCODER_IN_VIEWS, tex, &found);
    if (!found) {
        D3D11_VIDEO_PROCESSOR_INPUT_VIEW_DESC vd = {};
        vd.ViewDimension = D3D11_VPIV_DIMENSION_TEXTURE2D;
        HRESULT hr = enc->video_device->CreateVideoProcessorInputView(tex, enc->vp_enum, &vd, &enc->in_views[in].view);
        if (FAILED(hr)) {
            enc->in_views[in].view = nullptr;
            log_error("clip: input view failed hr=0x%08lx", (unsigned long)hr);
            return nullptr;
        }
        enc->in_views[in].texture = tex;
    }
    AVFrame* out = av_frame_alloc();
    if (!out || av_hwframe_get_buffer(enc->hw_frames, out, 0) < 0) {
        av_frame_free(&out);
        enc->dropped++;
        return nullptr;
    }
    ID3D11Texture2D* out_tex = (ID3D11Texture2D*)out->data[0];
    int slot = encoder_view_slot(enc->out_views, ENCODER_OUT_VIEWS, out_tex, &found);
    if (!found) {
        D3D11_VIDEO_PROCESSOR_OUTPUT_VIEW_DESC od = {};
        od.ViewDimension = D3D11_VPOV_DIMENSION_TEXTURE2D;
        HRESULT hr =
            enc->video_device->CreateVideoProcessorOutputView(out_tex, enc->vp_enum, &od, &enc->out_views[slot].view);
        if (FAILED(hr)) {
            enc->out_views[slot].view = nullptr;
            log_error("clip: output view failed hr=0x%08lx", (unsigned long)hr);
            av_frame_free(&out);
            return nullptr;
        }
        enc->out_views[slot].texture = out_tex;
    }
    RECT dst;
    encoder_letterbox(src.right - src.left, src.bottom - src.top, enc->width, enc->height, &dst);
    enc->video_context->VideoProcessorSetStreamSourceRect(enc->vp, 0, TRUE, &src);
    enc->video_context->VideoProcessorSetStreamDestRect(enc->vp, 0, TRUE, &dst);
    D3D11_VIDEO_PROCESSOR_STREAM stream = {};
    stream.Enable = TRUE;
    stream.pInputSurface = enc->in_views[in].view;
    HRESULT hr = enc->video_context->VideoProcessorBlt(enc->vp, enc->out_views[slot].view, 0, 1, &stream);
    if (FAILED(hr)) {
        log_error("clip: VideoProcessorBlt hr=0x%08lx", (unsigned long)hr);
        av_frame_free(&out);
        return nullptr;
    }
    av_frame_free(&enc->last_frame);
    enc->last_frame = av_frame_clone(out);
    return out;
}

// CPU path: reads src of tex back into a buffer of the clips frame memory. Returns it, or
// none (counted as dropped when the memory was refused).
static frame_buffer* encoder_cpu_readback(video_encoder* enc, ID3D11Texture2D* tex, DXGI_FORMAT format,
                                          const RECT& src) {
    const int w = src.right - src.left, h = src.bottom - src.top;
    if (!enc->staging || enc->staging_w != w || enc->staging_h != h) {
        encoder_release(&enc->staging);
        D3D11_TEXTURE2D_DESC sd = {};
        sd.Width = (UINT)w;
        sd.Height = (UINT)h;
        sd.MipLevels = 1;
        sd.ArraySize = 1;
        sd.Format = format;
        sd.SampleDesc.Count = 1;
        sd.Usage = D3D11_USAGE_STAGING;
        sd.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
        HRESULT hr = enc->device->CreateTexture2D(&sd, nullptr, &enc->staging);
        if (FAILED(hr)) {
            enc->staging = nullptr;
            log_error("clip: staging texture %dx%d failed hr=0x%08lx", w, h, (unsigned long)hr);
            return nullptr;
        }
        enc->staging_w = w;
        enc->staging_h = h;
    }
    frame_buffer* buf = frame_pool_acquire(enc->frames, (uint64_t)w * h * 4);
    if (!buf || !frame_buffer_ensure(buf, (uint32_t)w, (uint32_t)h, w * 4)) {
        if (buf) frame_pool_release(buf);
        enc->dropped++;
        return nullptr;
    }
    D3D11_BOX box = {(UINT)src.left, (UINT)src.top, 0, (UINT)src.right, (UINT)src.bottom, 1};
    enc->context->CopySubresourceRegion(enc->staging, 0, 0, 0, 0, tex, 0, &box);
    D3D11_MAPPED_SUBRESOURCE m;
    HRESULT hr = enc->context->Map(enc->staging, 0, D3D11_MAP_READ, 0, &m);
    if (FAILED(hr)) {
        log_error("clip: staging read-back failed hr=0x%08lx", (unsigned long)hr);
        frame_pool_release(buf);
        return nullptr;
    }
    const size_t row = (size_t)w * 4;
    if (m.RowPitch == row) {
        memcpy(buf->pixels, m.pData, row * h);
    } else {
        for (int y = 0; y < h; y++)
            memcpy(buf->pixels + y * row, (const uint8_t*)m.pData + (size_t)y * m.RowPitch, row);
    }
    enc->context->Unmap(enc->staging, 0);
    return buf;
}

bool encoder_submit_frame(video_encoder* enc, ID3D11Texture2D* texture, const RECT* src, bool is_new) {
    if (!enc) return false;
    const bool have_last = enc->cpu_path ? enc->cpu_have_frame : enc->last_frame != nullptr;
    encode_item* it = nullptr;
    if ((!is_new || !texture) && have_last) {
        it = encoder_item_new(enc, ENCODE_VIDEO);
        if (!it) {
            enc->dropped++;
            return false;
        }
        enc->repeated++;
        if (!enc->cpu_path) {
            it->frame = av_frame_clone(enc->last_frame);
            if (!it->frame) {
                encoder_item_free(it);
                enc->dropped++;
                return false;
            }
        }
    } else {
        if (!texture) return false;
        D3D11_TEXTURE2D_DESC td;
        texture->GetDesc(&td);
        if (enc->cpu_path && td.Format != DXGI_FORMAT_B8G8R8A8_UNORM && td.Format != DXGI_FORMAT_B8G8R8A8_UNORM_SRGB &&
            td.Format != DXGI_FORMAT_B8G8R8X8_UNORM) {
            // Desktop textures are 8-bit BGRA; anything else would be read as garbage.
            if (InterlockedCompareExchange(&g_format_logged, 1, 0) == 0)
                log_error("clip: texture format %d cannot be converted on the CPU", (int)td.Format);
            return false;
        }
        RECT r = src ? *src : RECT{0, 0, (LONG)td.Width, (LONG)td.Height};
        if (r.left < 0) r.left = 0;
        if (r.top < 0) r.top = 0;
        if (r.right > (LONG)td.Width) r.right = (LONG)td.Width;
        if (r.bottom > (LONG)td.Height) r.bottom = (LONG)td.Height;
        if (r.right <= r.left || r.bottom <= r.top) return false;
        if (enc->cpu_path && enc->in_flight >= ENCODER_MAX_IN_FLIGHT) {
            // Refused before the read-back: the outcome is the same, without the copy.
            enc->dropped++;
            return false;
        }
        it = encoder_item_new(enc, ENCODE_VIDEO);
        if (!it) {
            enc->dropped++;
            return false;
        }
        if (enc->cpu_path) {
            it->cpu = encoder_cpu_readback(enc, texture, td.Format, r);
            if (!it->cpu) {
                encoder_item_free(it);
                return false;
            }
            it->cpu_src = RECT{0, 0, r.right - r.left, r.bottom - r.top};
        } else {
            it->frame = encoder_gpu_convert(enc, texture, (int)td.Width, (int)td.Height, r);
            if (!it->frame) {
                encoder_item_free(it);
                return false;
            }
        }
    }
    it->pts = enc->frame_counter;
    it->key = enc->force_key ? 1 : 0;
    if (it->frame) encoder_stamp(it->frame, it->pts, enc->force_key);
    if (enc->in_flight >= ENCODER_MAX_IN_FLIGHT) {
        encoder_item_free(it);
        enc->dropped++;
        return false;
    }
    InterlockedIncrement(&enc->in_flight);
    const bool was_cpu_frame = it->cpu != nullptr;
    if (!encoder_queue(enc, it)) {
        InterlockedDecrement(&enc->in_flight);
        encoder_item_free(it);
        enc->dropped++;
        return false;
    }
    // The conversion (or the read-back's copy) starts now rather than at the next Map.
    enc->context->Flush();
    if (was_cpu_frame) enc->cpu_have_frame = true;
    enc->force_key = false;
    enc->frame_counter++;
    enc->accepted++;
    return true;
}

// ---- Takes, finish, audio, stats.

bool encoder_start_take(video_encoder* enc, const wchar_t* path) { return encoder_start_take_at(enc, path, 0); }

bool encoder_start_take_at(video_encoder* enc, const wchar_t* path, int64_t sound_from) {
    if (!enc) return false;
    encode_item* it = encoder_item_new(enc, ENCODE_TAKE_START);
    if (!it) return false;
    it->take_start = enc->frame_counter;
    it->timeline = sound_from;
    wcsncpy(it->path, path ? path : L"", ENCODER_PATH_MAX - 1);
    if (!encoder_queue(enc, it)) {
        encoder_item_free(it);
        return false;
    }
    enc->take_start_frame = enc->frame_counter;
    enc->force_key = true;
    return true;
}

static void encoder_closed(void* arg) {
    video_encoder* enc = (video_encoder*)arg;
    enc->lane = nullptr;  // the lane frees itself after this returns
    enc->result.repeated = enc->repeated;
    enc->result.dropped = enc->dropped;
    if (enc->done) enc->done(enc->done_data, &enc->result);
    encoder_free(enc);
}

// The close callback when the finish item could not be queued: it still runs after
// every item queued before it, so the codecs are never used from two threads at once.
static void encoder_closed_finishing(void* arg) {
    video_encoder* enc = (video_encoder*)arg;
    encoder_lane_finish(enc, enc->result.discarded);
    encoder_closed(enc);
}

void encoder_finish(video_encoder* enc, bool discard, encoder_done_fn done, void* data) {
    if (!enc) return;
    enc->done = done;
    enc->done_data = data;
    encode_item* it = encoder_item_new(enc, ENCODE_FINISH);
    bool queued = false;
    if (it) {
        it->discard = discard ? 1 : 0;
        for (int attempt = 0; attempt < 202 && !queued; attempt++) {
            queued = encoder_queue(enc, it);
            if (!queued && attempt + 1 < 202) Sleep(5);
        }
        if (!queued) encoder_item_free(it);
    }
    if (queued) {
        job_lane_close(enc->lane, encoder_closed, enc);
        return;
    }
    log_warn("clip: finish could not be queued; finalizing inline");
    // encoder_lane_finish sets the result from its flag; carry it through the close.
    enc->result.discarded = discard;
    job_lane_close(enc->lane, encoder_closed_finishing, enc);
}

bool encoder_submit_audio(video_encoder* enc, const float* samples, int frame_count) {
    return encoder_submit_audio_from(enc, samples, frame_count, INT64_MAX);
}

bool encoder_submit_audio_from(video_encoder* enc, const float* samples, int frame_count, int64_t timeline) {
    if (!enc) return false;
    if (!samples || frame_count <= 0) return false;
    if (!enc->audio) {
        InterlockedIncrement64(&enc->audio_dropped);
        return false;
    }
    encode_item* it = encoder_item_new(enc, ENCODE_AUDIO);
    const size_t bytes = (size_t)frame_count * 2 * sizeof(float);
    if (it) it->samples = (float*)HeapAlloc(GetProcessHeap(), 0, bytes);
    if (!it || !it->samples) {
        encoder_item_free(it);
        InterlockedIncrement64(&enc->audio_dropped);
        return false;
    }
    memcpy(it->samples, samples, bytes);
    it->sample_frames = frame_count;
    it->timeline = timeline;
    if (!encoder_queue(enc, it)) {
        encoder_item_free(it);
        InterlockedIncrement64(&enc->audio_dropped);
        return false;
    }
    return true;
}

void encoder_stats(video_encoder* enc, encoder_counters* out) {
    if (!enc || !out) return;
    encoder_counters c = {};
    c.accepted = enc->accepted;
    c.repeated = enc->repeated;
    c.dropped = enc->dropped;
    AcquireSRWLockShared(&enc->lock);
    c.packets = enc->packets;
    c.bytes = enc->bytes;
    c.encode_ms = enc->encode_count ? enc->encode_ms_sum / (double)enc->encode_count : 0.0;
    c.convert_ms = enc->convert_count ? enc->convert_ms_sum / (double)enc->convert_count : 0.0;
    ReleaseSRWLockShared(&enc->lock);
    c.in_flight = (int)InterlockedCompareExchange(&enc->in_flight, 0, 0);
    c.audio_dropped = (uint64_t)InterlockedCompareExchange64(&enc->audio_dropped, 0, 0);
    lane_stats ls;
    if (job_lane_stats(enc->lane, &ls)) {
        c.queue = ls.count;
        c.queue_high = ls.high_water;
    }
    text_format_into(c.name, sizeof c.name, "%s", enc->name);
    *out = c;
}

bool encoder_failed(video_encoder* enc, char* err) {
    if (!enc || InterlockedCompareExchange(&enc->failed_seen, 0, 0) == 0) return false;
    // The text was written before the flag and never changes after it.
    if (err) text_format_into(err, ENCODER_ERROR_MAX, "%s", enc->error);
    return true;
}

bool encoder_debug_fail(bool conversions, unsigned n) {
    if (!agent_debug_hooks()) return false;
    InterlockedExchange(conversions ? &g_debug_convert_fail : &g_debug_encode_fail,
                        n > 0x7fffffffu ? 0x7fffffff : (LONG)n);
    log_warn("debug: the next %u %s fail", n, conversions ? "conversions" : "frame sends");
    return true;
}

int64_t encoder_take_frames(const video_encoder* enc) { return enc ? enc->frame_counter - enc->take_start_frame : 0; }

// ---- Lane items: the encoder's side of the take, the sound and the replay saves.

// Hands one packet to the sink: the replay's ring, else the take. Counted in the stats
// when the sink took it.
static void encoder_to_sink(video_encoder* enc, AVPacket* pkt, bool video) {
    if (enc->ring) {
        const int64_t keep = video ? (int64_t)(enc->ring_seconds + 2) * enc->fps
                                   : (int64_t)enc->ring_seconds * ENCODER_AUDIO_RATE + 96000;
        const int size = pkt->size;
        const bool stored =
            video ? replay_ring_add_video(enc->ring, pkt, keep) : replay_ring_add_audio(enc->ring, pkt, keep);
        if (stored && video) {
            AcquireSRWLockExclusive(&enc->lock);
            enc->packets++;
            enc->bytes += (uint64_t)size;
            ReleaseSRWLockExclusive(&enc->lock);
        }
        return;
    }
    if (enc->failed) return;
    const int size = pkt->size;
    const int r =
        video ? mp4_take_write_video(&enc->take, pkt) : mp4_take_write_audio(&enc->take, pkt, enc->audio_base);
    if (r < 0) {
        if (video)
            encoder_fail(enc, "write failed (%d)", r);
        else
            encoder_fail(enc, "audio write failed (%d)", r);
    } else if (r > 0 && video) {
        AcquireSRWLockExclusive(&enc->lock);
        enc->packets++;
        enc->bytes += (uint64_t)size;
        ReleaseSRWLockExclusive(&enc->lock);
    }
}

// Receives every packet the H.264 (video) or AAC encoder has ready and passes it to the
// sink.
static void encoder_drain(video_encoder* enc, bool video) {
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
        encoder_to_sink(enc, pkt, video);
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
}

void encoder_lane_drain(video_encoder* enc) { encoder_drain(enc, true); }

void encoder_lane_take_start(video_encoder* enc, int64_t take_start, const wchar_t* path) {
    if (enc->audio && enc->fifo) {
        av_audio_fifo_reset(enc->fifo);
        enc->audio_base = enc->audio_count;
    }
    mp4_take_drop(&enc->take);  // a redo: the old take is gone
    if (enc->failed) return;
    char err[ENCODER_ERROR_MAX];
    if (!mp4_take_open(&enc->take, enc->video, enc->audio, take_start, path, err)) encoder_fail(enc, "%s", err);
}

// Sound samples that belong to the first `frames` pictures of a take.
static int64_t encoder_audio_samples_for(const video_encoder* enc, int64_t frames) {
    return enc->fps > 0 ? frames * ENCODER_AUDIO_RATE / enc->fps : 0;
}

// Encodes the first n samples of the FIFO as one AAC frame and drains the packets.
static bool encoder_encode_audio(video_encoder* enc, int n) {
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
    encoder_drain(enc, false);
    return !enc->failed;
}

// Sound may run this far ahead of the pictures of a take (the capture thread may lag
// by up to half a second before it skips); beyond it, what pictures skipped is dropped,
// keeping this much.
constexpr int64_t ENCODER_AUDIO_LAG_MAX = ENCODER_AUDIO_RATE;
constexpr int64_t ENCODER_AUDIO_LAG_KEEP = ENCODER_AUDIO_RATE / 10;

static int encoder_audio_frame_size(const video_encoder* enc) {
    return enc->audio->frame_size > 0 ? enc->audio->frame_size : 1024;
}

void encoder_lane_audio(video_encoder* enc, const float* samples, int frames) {
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
    const int fsize = encoder_audio_frame_size(enc);
    if (!enc->take.mux) {
        while (av_audio_fifo_size(enc->fifo) >= fsize)
            if (!encoder_encode_audio(enc, fsize)) break;
        return;
    }
    // A take's sound waits in the FIFO until its pictures have come, so that the take
    // ends with both together. Pictures skipped for lateness leave sound behind that no
    // picture will ever cover: that excess is dropped to stay in step.
    const int64_t shown = encoder_audio_samples_for(enc, enc->take.highest_pts + 1);
    const int64_t sent = enc->audio_count - enc->audio_base;
    const int64_t excess = sent + av_audio_fifo_size(enc->fifo) - shown;
    if (excess > ENCODER_AUDIO_LAG_MAX)
        av_audio_fifo_drain(enc->fifo, (int)(excess - ENCODER_AUDIO_LAG_KEEP < av_audio_fifo_size(enc->fifo)
                                                 ? excess - ENCODER_AUDIO_LAG_KEEP
                                                 : av_audio_fifo_size(enc->fifo)));
    while (av_audio_fifo_size(enc->fifo) >= fsize && enc->audio_count - enc->audio_base < shown)
        if (!encoder_encode_audio(enc, fsize)) break;
}

void encoder_lane_finish(video_encoder* enc, bool discard) {
    if (!enc->failed && enc->video) {
        avcodec_send_frame(enc->video, nullptr);
        encoder_lane_drain(enc);
    }
    if (enc->audio && enc->fifo && !enc->failed) {
        int left = av_audio_fifo_size(enc->fifo);
        if (enc->take.mux) {
            // The take's sound ends with its last picture.
            const int64_t room =
                encoder_audio_samples_for(enc, enc->take.highest_pts + 1) - (enc->audio_count - enc->audio_base);
            if (room < left) left = room > 0 ? (int)room : 0;
        }
        const int fsize = encoder_audio_frame_size(enc);
        while (left >= fsize && !enc->failed) {
            encoder_encode_audio(enc, fsize);
            left -= fsize;
        }
        if (left > 0 && !enc->failed) encoder_encode_audio(enc, left);  // the encoder takes a short last frame
        av_audio_fifo_reset(enc->fifo);
        if (!enc->failed) {
            avcodec_send_frame(enc->audio, nullptr);
            encoder_drain(enc, false);
        }
    }

    clip_result* res = &enc->result;
    char err[ENCODER_ERROR_MAX] = "";
    const bool strip_audio = enc->audio && InterlockedCompareExchange(&enc->sound_off, 0, 0);
    mp4_take_finish(&enc->take, discard, enc->failed, strip_audio, res, err);
    if (err[0]) encoder_fail(enc, "%s", err);
    // A saved take carries no error; only a take that ended without a file gets this one.
    if (!res->saved && !discard && !enc->failed && !enc->error[0]) encoder_fail(enc, "no frames were encoded");
    res->fps = enc->fps;
    res->seconds = enc->fps > 0 ? (double)res->frames / enc->fps : 0.0;
    res->width = enc->width;
    res->height = enc->height;
    memcpy(res->encoder, enc->name, sizeof res->encoder);
    res->encoder[ENCODER_NAME_MAX - 1] = 0;
    memcpy(res->error, enc->error, sizeof res->error);
    res->error[ENCODER_ERROR_MAX - 1] = 0;
}

// ---- Replay saves.

bool encoder_save_replay(video_encoder* enc, const wchar_t* path, int seconds, bool include_audio, encoder_done_fn done,
                         void* data) {
    if (!enc || !enc->lane || !path) return false;
    encode_item* item = encoder_item_new(enc, ENCODE_REPLAY_SAVE);
    if (!item) return false;
    encoder_save_job* job = (encoder_save_job*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(encoder_save_job));
    if (!job) {
        encoder_item_free(item);
        return false;
    }
    wcsncpy(job->path, path, ENCODER_PATH_MAX - 1);
    job->seconds = replay_ring_save_seconds(seconds);
    job->include_audio = include_audio;
    job->next_pts = enc->frame_counter;
    job->done = done;
    job->data = data;
    item->save = job;
    if (!encoder_queue(enc, item)) {
        encoder_item_free(item);  // frees the job with it, reporting nothing
        return false;
    }
    return true;
}

// Takes the packet window of a save from the ring into the job.
static void encoder_take_window(video_encoder* enc, encoder_save_job* job) {
    job->fps = enc->fps;
    job->width = enc->width;
    job->height = enc->height;
    memcpy(job->encoder, enc->name, sizeof job->encoder);
    job->encoder[ENCODER_NAME_MAX - 1] = 0;
    replay_ring* r = enc->ring;
    if (!enc->video || !r || r->video_count == 0) return;
    // A failed encoder leaves its ring as it was: older than the save asks for once more
    // than half a second of frames went unencoded. Nothing is better than stale seconds.
    const int64_t behind = job->next_pts - 1 - r->video_pts[r->video_count - 1];
    if (enc->failed && behind > enc->fps / 2) {
        text_format_into(job->refused, sizeof job->refused, "replay encoder failed: %s", enc->error);
        return;
    }
    job->video_tb = enc->video->time_base;
    job->video_rate = enc->video->framerate;
    job->video_par = avcodec_parameters_alloc();
    if (!job->video_par || avcodec_parameters_from_context(job->video_par, enc->video) < 0) {
        job->out_of_memory = true;
        return;
    }
    if (!replay_ring_window_video(r, (int64_t)job->seconds * enc->fps, &job->packets)) {
        job->out_of_memory = true;
        return;
    }
    if (job->packets.video_count == 0) return;  // no key frame in the ring: nothing to write
    if (!enc->audio || r->audio_count == 0) return;
    job->audio_tb = AVRational{1, ENCODER_AUDIO_RATE};
    const int64_t start_audio = av_rescale_q(job->packets.start_video, job->video_tb, job->audio_tb);
    // Without the sound's window or its parameters the save goes on without sound.
    if (!replay_ring_window_audio(r, start_audio, &job->packets) || job->packets.audio_count == 0) return;
    job->audio_par = avcodec_parameters_alloc();
    if (!job->audio_par || avcodec_parameters_from_context(job->audio_par, enc->audio) < 0) {
        avcodec_parameters_free(&job->audio_par);
        for (int i = 0; i < job->packets.audio_count; i++) av_packet_free(&job->packets.audio[i]);
        job->packets.audio_count = 0;
    }
}

// Clips pool task: writes the save, reports it and frees the job.
static void encoder_save_task(void* arg) {
    encoder_save_job* job = (encoder_save_job*)arg;
    clip_result res;
    memset(&res, 0, sizeof res);
    memcpy(res.path, job->path, sizeof res.path);
    res.width = job->width;
    res.height = job->height;
    res.fps = job->fps;
    memcpy(res.encoder, job->encoder, sizeof res.encoder);
    if (job->out_of_memory) {
        text_format_into(res.error, ENCODER_ERROR_MAX, "%s", "out of memory");
    } else if (job->refused[0]) {
        text_format_into(res.error, ENCODER_ERROR_MAX, "%s", job->refused);
    } else {
        mp4_window w{};
        w.video_par = job->video_par;
        w.audio_par = job->audio_par;
        w.video_tb = job->video_tb;
        w.audio_tb = job->audio_tb;
        w.video_rate = job->video_rate;
        w.video = job->packets.video;
        w.video_count = job->packets.video_count;
        w.start_video = job->packets.start_video;
        w.audio = job->packets.audio;
        w.audio_count = job->packets.audio_count;
        w.start_audio = job->packets.start_audio;
        w.include_audio = job->include_audio;
        w.fps = job->fps;
        mp4_write_window(job->path, &w, &res);
    }
    if (job->done) job->done(job->data, &res);
    encoder_save_job_free(job);
}

// Worker (the lane's replay-save item): takes the packet window into the job and posts
// the writing to the clips pool as a task of its own (inline when the pool refuses), so
// encoding goes on meanwhile.
static void encoder_save_item(video_encoder* enc, encoder_save_job* job) {
    if (!job) return;
    if (enc) encoder_take_window(enc, job);
    if (!enc || !enc->pool || !worker_pool_submit(enc->pool, encoder_save_task, job)) encoder_save_task(job);
}
