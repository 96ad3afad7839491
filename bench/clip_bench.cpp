// The Windows half of bench/clip_bench.py.
//   clip_bench encode W H FPS FRAMES KBPS
//       FFmpeg's libopenh264 on the animated pattern of tests/tools/pattern_windows
//       (4 columns further each frame), converted from BGRA with swscale and the
//       BT.709 limited-range matrix and encoded with the agent's settings (bit rate =
//       peak rate = KBPS, a key frame every FPS frames, no B-frames). Prints the mean
//       milliseconds per frame of the conversion, of the encode, and of both.
#include "common/win.h"
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

static double bench_ms(LARGE_INTEGER a, LARGE_INTEGER b) {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return (double)(b.QuadPart - a.QuadPart) * 1000.0 / (double)f.QuadPart;
}

static uint32_t bench_pattern(int u, int v, int seed) {
    uint32_t b = (uint32_t)(u * 3 + seed * 40) & 255;
    uint32_t g = (uint32_t)(v * 5 + seed * 80) & 255;
    uint32_t r = (uint32_t)((u ^ v) + seed * 20) & 255;
    return b | (g << 8) | (r << 16) | 0xff000000u;
}

static int bench_encode(int w, int h, int fps, int frames, int kbps) {
    av_log_set_level(AV_LOG_ERROR);
    const AVCodec* codec = avcodec_find_encoder_by_name("libopenh264");
    if (!codec) {
        fprintf(stderr, "libopenh264 is not in this FFmpeg\n");
        return 1;
    }
    AVCodecContext* c = avcodec_alloc_context3(codec);
    AVFrame* yuv = av_frame_alloc();
    AVPacket* pkt = av_packet_alloc();
    // Pattern columns repeat every 256, so one wider picture serves every shifted frame.
    const int cw = w + 256;
    std::vector<uint32_t> wide((size_t)cw * h);
    for (int v = 0; v < h; v++)
        for (int u = 0; u < cw; u++) wide[(size_t)v * cw + u] = bench_pattern(u, v, 1);
    int rc = 1;
    SwsContext* sws = nullptr;
    double convert_ms = 0, encode_ms = 0;
    uint64_t bytes = 0;
    int packets = 0;
    if (!c || !yuv || !pkt) goto done;
    c->width = w;
    c->height = h;
    c->time_base = AVRational{1, fps};
    c->framerate = AVRational{fps, 1};
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    c->bit_rate = (int64_t)kbps * 1000;
    c->rc_max_rate = (int64_t)kbps * 1000;
    c->rc_buffer_size = (int)((int64_t)kbps * 1000);
    c->gop_size = fps;
    c->max_b_frames = 0;
    c->color_primaries = AVCOL_PRI_BT709;
    c->color_trc = AVCOL_TRC_BT709;
    c->colorspace = AVCOL_SPC_BT709;
    c->color_range = AVCOL_RANGE_MPEG;
    c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER | AV_CODEC_FLAG_BITEXACT;
    av_opt_set(c->priv_data, "rc_mode", "bitrate", 0);
    av_opt_set(c->priv_data, "allow_skip_frames", "0", 0);
    if (avcodec_open2(c, codec, nullptr) < 0) {
        fprintf(stderr, "libopenh264 does not open\n");
        goto done;
    }
    yuv->format = AV_PIX_FMT_YUV420P;
    yuv->width = w;
    yuv->height = h;
    if (av_frame_get_buffer(yuv, 0) < 0) goto done;
    sws = sws_getContext(w, h, AV_PIX_FMT_BGRA, w, h, AV_PIX_FMT_YUV420P, SWS_POINT, nullptr, nullptr, nullptr);
    if (!sws) goto done;
    {
        const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
        sws_setColorspaceDetails(sws, bt709, 1, bt709, 0, 0, 1 << 16, 1 << 16);
    }
    for (int i = 0; i <= frames; i++) {
        LARGE_INTEGER t0, t1, t2;
        QueryPerformanceCounter(&t0);
        int ret;
        if (i < frames) {
            if (av_frame_make_writable(yuv) < 0) goto done;
            const uint8_t* src[4] = {(const uint8_t*)(wide.data() + (i * 4) % 256)};
            const int stride[4] = {cw * 4};
            sws_scale(sws, src, stride, 0, h, yuv->data, yuv->linesize);
            yuv->pts = i;
            yuv->pict_type = AV_PICTURE_TYPE_NONE;
            QueryPerformanceCounter(&t1);
            ret = avcodec_send_frame(c, yuv);
        } else {
            t1 = t0;
            ret = avcodec_send_frame(c, nullptr);
        }
        if (ret < 0) {
            fprintf(stderr, "send frame failed (%d)\n", ret);
            goto done;
        }
        while ((ret = avcodec_receive_packet(c, pkt)) >= 0) {
            bytes += (uint64_t)pkt->size;
            packets++;
            av_packet_unref(pkt);
        }
        QueryPerformanceCounter(&t2);
        convert_ms += bench_ms(t0, t1);
        encode_ms += bench_ms(t1, t2);
    }
    printf("frames=%d packets=%d bytes=%llu convert_ms=%.2f encode_ms=%.2f total_ms=%.2f\n", frames, packets,
           (unsigned long long)bytes, convert_ms / frames, encode_ms / frames, (convert_ms + encode_ms) / frames);
    rc = packets == frames ? 0 : 1;
done:
    sws_freeContext(sws);
    av_packet_free(&pkt);
    av_frame_free(&yuv);
    avcodec_free_context(&c);
    return rc;
}

int wmain(int argc, wchar_t** argv) {
    if (argc == 7 && !wcscmp(argv[1], L"encode"))
        return bench_encode(_wtoi(argv[2]), _wtoi(argv[3]), _wtoi(argv[4]), _wtoi(argv[5]), _wtoi(argv[6]));
    fprintf(stderr, "usage: clip_bench encode W H FPS FRAMES KBPS\n");
    return 2;
}
