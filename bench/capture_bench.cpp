// Capture and still-encode figures on the current display, side by side with a
// plain GDI copy and with FFmpeg's encoders called directly on the same pixels.
//   capture_bench [RUNS]    (default 20; medians in milliseconds)
#include "agent/capture/capture.h"
#include "agent/capture/dib.h"
#include "agent/capture/display_cache.h"
#include "agent/capture/still_encoder.h"
#include "common/win.h"
#include <psapi.h>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

static LONGLONG bench_freq;

static LONGLONG bench_now() {
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t.QuadPart;
}

static double bench_ms(LONGLONG a, LONGLONG b) { return (double)(b - a) * 1000.0 / (double)bench_freq; }

static double bench_median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n == 0 ? 0 : (n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2);
}

static void bench_memory(SIZE_T* peak_ws, SIZE_T* peak_pf) {
    PROCESS_MEMORY_COUNTERS pmc{};
    pmc.cb = sizeof pmc;
    GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof pmc);
    *peak_ws = pmc.PeakWorkingSetSize;
    *peak_pf = pmc.PeakPagefileUsage;
}

// A small window of ours that changes colour before every capture, so each one
// sees a new frame as a screenshot after any screen change would.
static HWND bench_window() {
    WNDCLASSW wc{};
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"IvraBenchWnd";
    RegisterClassW(&wc);
    HWND w = CreateWindowExW(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, wc.lpszClassName, L"", WS_POPUP, 10, 10, 64, 64, nullptr,
                             nullptr, wc.hInstance, nullptr);
    ShowWindow(w, SW_SHOWNOACTIVATE);
    return w;
}

static void bench_touch(HWND w, int i) {
    HDC dc = GetDC(w);
    HBRUSH b = CreateSolidBrush(RGB(i * 37 & 255, i * 91 & 255, 200));
    RECT r = {0, 0, 64, 64};
    FillRect(dc, &r, b);
    DeleteObject(b);
    ReleaseDC(w, dc);
    GdiFlush();
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
}

// FFmpeg alone: the same conversion and codec settings as the still encoder.
static size_t ffmpeg_encode(const frame_buffer* fb, bool jpeg) {
    const AVCodec* codec = avcodec_find_encoder(jpeg ? AV_CODEC_ID_MJPEG : AV_CODEC_ID_PNG);
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    AVPixelFormat fmt = jpeg ? AV_PIX_FMT_YUVJ420P : AV_PIX_FMT_RGB24;
    ctx->width = (int)fb->width;
    ctx->height = (int)fb->height;
    ctx->pix_fmt = fmt;
    ctx->time_base = AVRational{1, 25};
    if (jpeg) {
        ctx->flags |= AV_CODEC_FLAG_QSCALE;
        ctx->global_quality = 11 * FF_QP2LAMBDA;
    } else {
        ctx->compression_level = 3;
    }
    size_t size = 0;
    if (avcodec_open2(ctx, codec, nullptr) == 0) {
        AVFrame* f = av_frame_alloc();
        f->format = fmt;
        f->width = ctx->width;
        f->height = ctx->height;
        av_frame_get_buffer(f, 0);
        SwsContext* sws = sws_getContext(ctx->width, ctx->height, AV_PIX_FMT_BGRA, ctx->width, ctx->height, fmt,
                                         SWS_POINT, nullptr, nullptr, nullptr);
        const uint8_t* src[1] = {fb->pixels};
        int stride[1] = {fb->stride};
        sws_scale(sws, src, stride, 0, ctx->height, f->data, f->linesize);
        sws_freeContext(sws);
        AVPacket* pkt = av_packet_alloc();
        if (avcodec_send_frame(ctx, f) == 0 && avcodec_send_frame(ctx, nullptr) == 0)
            while (avcodec_receive_packet(ctx, pkt) == 0) {
                size = (size_t)pkt->size;
                av_packet_unref(pkt);
            }
        av_packet_free(&pkt);
        av_frame_free(&f);
    }
    avcodec_free_context(&ctx);
    return size;
}

// Ours: one encoder per image, as the stills worker does, without the file write.
static size_t ivra_encode(const frame_buffer* fb, bool jpeg) {
    char err[160];
    still_encoder* enc =
        still_encoder_create((int)fb->width, (int)fb->height, jpeg ? STILL_JPEG : STILL_PNG, 90, err, sizeof err);
    if (!enc) return 0;
    still_image img = {fb->pixels, (int)fb->width, (int)fb->height, fb->stride};
    const uint8_t* data = nullptr;
    size_t size = 0;
    if (!still_encoder_convert(enc, &img) || !still_encoder_encode(enc, &data, &size, err, sizeof err)) size = 0;
    still_encoder_destroy(enc);
    return size;
}

int wmain(int argc, wchar_t** argv) {
    SetProcessDPIAware();
    av_log_set_level(AV_LOG_ERROR);
    int runs = argc > 1 ? _wtoi(argv[1]) : 20;
    if (runs < 1) runs = 20;
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    bench_freq = f.QuadPart;
    HWND touch = bench_window();
    bench_touch(touch, 0);

    display_cache* cache = display_cache_build();
    if (!cache || display_cache_output_count(cache) < 1) {
        printf("no display cache\n");
        return 1;
    }
    RECT out;
    display_cache_output_rect(cache, 0, &out);
    int w = out.right - out.left, h = out.bottom - out.top;
    double frame_mb = (double)w * h * 4 / 1048576.0;
    SIZE_T cold_ws, cold_pf;
    bench_memory(&cold_ws, &cold_pf);

    // Plain GDI copy of the same area, alternating with ours so both see the same machine load.
    HDC screen = GetDC(nullptr);
    HDC mem = CreateCompatibleDC(screen);
    HBITMAP bmp = CreateCompatibleBitmap(screen, w, h);
    HGDIOBJ old = SelectObject(mem, bmp);
    BITMAPINFO bi;
    dib_info_top_down(&bi, w, h);
    std::vector<uint8_t> gdi((size_t)w * h * 4);
    frame_buffer fb{};
    std::vector<double> t_cap, t_png, t_jpg, t_gdi, t_ffpng, t_ffjpg;
    capture_output(cache, 0, &fb, &out);  // creates the duplication, its textures and the first frame
    BitBlt(mem, 0, 0, w, h, screen, out.left, out.top, SRCCOPY | CAPTUREBLT);  // the GDI side warms up too
    GetDIBits(mem, bmp, 0, (UINT)h, gdi.data(), &bi, DIB_RGB_COLORS);
    // The agent keeps that state while warm; what one more capture and save costs is measured from here.
    PROCESS_MEMORY_COUNTERS warm{};
    warm.cb = sizeof warm;
    GetProcessMemoryInfo(GetCurrentProcess(), &warm, sizeof warm);
    SIZE_T base_ws = warm.WorkingSetSize, base_pf = warm.PagefileUsage;
    for (int i = 0; i < runs; i++) {
        bench_touch(touch, i + 1);
        LONGLONG a = bench_now();
        if (!capture_output(cache, 0, &fb, &out)) {
            printf("capture failed\n");
            return 1;
        }
        t_cap.push_back(bench_ms(a, bench_now()));
        bench_touch(touch, i + 100);
        a = bench_now();
        BitBlt(mem, 0, 0, w, h, screen, out.left, out.top, SRCCOPY | CAPTUREBLT);
        GetDIBits(mem, bmp, 0, (UINT)h, gdi.data(), &bi, DIB_RGB_COLORS);
        t_gdi.push_back(bench_ms(a, bench_now()));
    }
    size_t png_size = 0, jpg_size = 0;
    for (int i = 0; i < runs; i++) {
        LONGLONG a = bench_now();
        png_size = ivra_encode(&fb, false);
        LONGLONG b = bench_now();
        jpg_size = ivra_encode(&fb, true);
        LONGLONG c = bench_now();
        t_png.push_back(bench_ms(a, b));
        t_jpg.push_back(bench_ms(b, c));
    }
    SIZE_T ours_ws, ours_pf;
    bench_memory(&ours_ws, &ours_pf);
    SelectObject(mem, old);
    DeleteObject(bmp);
    DeleteDC(mem);
    ReleaseDC(nullptr, screen);


    size_t ff_png = 0, ff_jpg = 0;
    for (int i = 0; i < runs; i++) {
        LONGLONG a = bench_now();
        ff_png = ffmpeg_encode(&fb, false);
        LONGLONG b = bench_now();
        ff_jpg = ffmpeg_encode(&fb, true);
        LONGLONG c = bench_now();
        t_ffpng.push_back(bench_ms(a, b));
        t_ffjpg.push_back(bench_ms(b, c));
    }

    double cap = bench_median(t_cap), g = bench_median(t_gdi);
    double png = bench_median(t_png), ffp = bench_median(t_ffpng);
    double jpg = bench_median(t_jpg), ffj = bench_median(t_ffjpg);
    printf("display %dx%d, %d runs, medians\n", w, h, runs);
    printf("capture_output   %8.2f ms   plain GDI BitBlt+GetDIBits %8.2f ms   ratio %.2f\n", cap, g,
           g > 0 ? cap / g : 0);
    printf("PNG (level 3)    %8.2f ms   FFmpeg alone               %8.2f ms   ratio %.2f  (%zu / %zu bytes)\n", png,
           ffp, ffp > 0 ? png / ffp : 0, png_size, ff_png);
    printf("JPEG (q 90)      %8.2f ms   FFmpeg alone               %8.2f ms   ratio %.2f  (%zu / %zu bytes)\n", jpg,
           ffj, ffj > 0 ? jpg / ffj : 0, jpg_size, ff_jpg);
    const double mb = 1048576.0;
    printf(
        "frame %.1f MB; peaks during %d captures and encodes, above the warm state (device, duplication,\n"
        "  textures and one frame buffer in place): working set %.1f MB (%.2f frames), pagefile %.1f MB (%.2f frames)\n",
        frame_mb, runs, (double)(ours_ws - base_ws) / mb, (double)(ours_ws - base_ws) / mb / frame_mb,
        (double)(ours_pf - base_pf) / mb, (double)(ours_pf - base_pf) / mb / frame_mb);
    printf("  above the cold start (before the first capture, includes the graphics driver's set-up): "
           "working set %.1f MB (%.2f frames), pagefile %.1f MB (%.2f frames)\n",
           (double)(ours_ws - cold_ws) / mb, (double)(ours_ws - cold_ws) / mb / frame_mb,
           (double)(ours_pf - cold_pf) / mb, (double)(ours_pf - cold_pf) / mb / frame_mb);
    frame_buffer_free(&fb);
    display_cache_destroy(cache);
    DestroyWindow(touch);
    return 0;
}
