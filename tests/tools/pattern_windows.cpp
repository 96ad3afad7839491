// Test helper: shows windows painted with a known pattern at given places and
// stays until killed or closed.
//   pattern_windows [--backdrop] [--animate FPS] X,Y,W,H,SEED[,framed]...
// --backdrop first covers every monitor with a black window, so that nothing but
// the patterns shows. --animate repaints every pattern FPS times a second, each
// time shifted 4 columns further left (frame n shows column u + 4n, modulo 256), so
// a recording sees new pixels on every frame. Prints "pid=N", then for each window "window N hwnd=0x... client=L,T,R,B seed=S", then "ready".
// The client pixel at (u, v) is blue (3u + 40s) & 255, green (5v + 80s) & 255,
// red ((u xor v) + 20s) & 255, so a capture can be checked exactly.
#include "agent/capture/dib.h"
#include "common/win.h"
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwchar>

static const wchar_t PATTERN_CLASS[] = L"IvraPatternWnd";
static const int ANIM_PERIOD = 256;  // the pattern repeats every 256 columns
static const int ANIM_STEP = 4;      // columns per animation frame

// One window's pattern, computed once ANIM_PERIOD columns wider than the client so
// every shifted frame is a blit from an offset.
struct pattern_cache {
    HWND hwnd;
    int w, h;
    uint32_t* px;
};
static pattern_cache g_cache[16];
static int g_cache_count;
static unsigned g_anim_frame;

struct pattern_spec {
    int x, y, w, h, seed, framed;
    HWND hwnd;
};

static uint32_t pattern_pixel(int u, int v, int seed) {
    uint32_t b = (uint32_t)(u * 3 + seed * 40) & 255;
    uint32_t g = (uint32_t)(v * 5 + seed * 80) & 255;
    uint32_t r = (uint32_t)((u ^ v) + seed * 20) & 255;
    return b | (g << 8) | (r << 16);
}

static void pattern_draw(HWND hwnd, HDC dc) {
    int seed = (int)GetWindowLongPtrW(hwnd, GWLP_USERDATA);
    RECT rc;
    GetClientRect(hwnd, &rc);
    if (seed < 0) {
        FillRect(dc, &rc, (HBRUSH)GetStockObject(BLACK_BRUSH));
        return;
    }
    int w = rc.right, h = rc.bottom;
    if (w <= 0 || h <= 0) return;
    pattern_cache* c = nullptr;
    for (int i = 0; i < g_cache_count; i++)
        if (g_cache[i].hwnd == hwnd) c = &g_cache[i];
    if (c && (c->w != w || c->h != h)) {
        free(c->px);
        c->px = nullptr;
    }
    if (!c && g_cache_count < 16) {
        c = &g_cache[g_cache_count++];
        c->hwnd = hwnd;
        c->px = nullptr;
    }
    if (!c) return;
    if (!c->px) {
        int cw = w + ANIM_PERIOD;
        c->px = (uint32_t*)malloc((size_t)cw * h * 4);
        if (!c->px) return;
        c->w = w;
        c->h = h;
        for (int v = 0; v < h; v++)
            for (int u = 0; u < cw; u++) c->px[(size_t)v * cw + u] = pattern_pixel(u, v, seed);
    }
    BITMAPINFO bi;
    dib_info_top_down(&bi, w + ANIM_PERIOD, h);
    int shift = (int)((g_anim_frame * ANIM_STEP) % ANIM_PERIOD);
    SetDIBitsToDevice(dc, 0, 0, (DWORD)w, (DWORD)h, shift, 0, 0, (UINT)h, c->px, &bi, DIB_RGB_COLORS);
}

static void pattern_paint(HWND hwnd) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(hwnd, &ps);
    pattern_draw(hwnd, dc);
    EndPaint(hwnd, &ps);
}

static BOOL CALLBACK pattern_backdrop(HMONITOR, HDC, LPRECT r, LPARAM) {
    HWND w =
        CreateWindowExW(WS_EX_TOOLWINDOW, PATTERN_CLASS, L"Ivra backdrop", WS_POPUP, r->left, r->top,
                        r->right - r->left, r->bottom - r->top, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    if (w) {
        SetWindowLongPtrW(w, GWLP_USERDATA, -1);
        ShowWindow(w, SW_SHOWNOACTIVATE);
        UpdateWindow(w);
    }
    return TRUE;
}

static LRESULT CALLBACK pattern_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_PAINT: pattern_paint(hwnd); return 0;
    case WM_PRINTCLIENT:  // PrintWindow asks for the client this way
        pattern_draw(hwnd, (HDC)wp);
        return 0;
    case WM_ERASEBKGND: return 1;
    case WM_TIMER:
        // One timer drives every window: the first window's tick advances the frame.
        g_anim_frame++;
        for (int i = 0; i < g_cache_count; i++)
            if (IsWindow(g_cache[i].hwnd))
                RedrawWindow(g_cache[i].hwnd, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
        return 0;
    case WM_CLOSE: PostQuitMessage(0); return 0;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
}

int wmain(int argc, wchar_t** argv) {
    SetProcessDPIAware();
    pattern_spec specs[16];
    int n = 0;
    bool backdrop = false;
    int animate_fps = 0;
    for (int i = 1; i < argc && n < 16; i++) {
        if (!wcscmp(argv[i], L"--backdrop")) {
            backdrop = true;
            continue;
        }
        if (!wcscmp(argv[i], L"--animate") && i + 1 < argc) {
            animate_fps = _wtoi(argv[++i]);
            if (animate_fps < 1 || animate_fps > 1000) {
                fprintf(stderr, "--animate expects 1-1000 frames a second\n");
                return 2;
            }
            continue;
        }
        pattern_spec s{};
        int got = swscanf(argv[i], L"%d,%d,%d,%d,%d,%d", &s.x, &s.y, &s.w, &s.h, &s.seed, &s.framed);
        if (got < 5 || s.w <= 0 || s.h <= 0) {
            fprintf(stderr, "bad window spec %ls (want X,Y,W,H,SEED[,framed])\n", argv[i]);
            return 2;
        }
        specs[n++] = s;
    }
    if (n == 0) {
        fprintf(stderr, "usage: pattern_windows [--backdrop] [--animate FPS] X,Y,W,H,SEED[,framed]...\n");
        return 2;
    }
    WNDCLASSW wc{};
    wc.lpfnWndProc = pattern_proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = PATTERN_CLASS;
    wc.hCursor = LoadCursorW(nullptr, (LPCWSTR)IDC_ARROW);
    RegisterClassW(&wc);
    printf("pid=%lu\n", GetCurrentProcessId());
    fflush(stdout);
    if (backdrop) EnumDisplayMonitors(nullptr, nullptr, pattern_backdrop, 0);
    for (int i = 0; i < n; i++) {
        pattern_spec* s = &specs[i];
        DWORD style = s->framed ? WS_OVERLAPPEDWINDOW : WS_POPUP;
        DWORD ex = s->framed ? 0 : WS_EX_TOOLWINDOW;
        // The numbers place the client area; a framed window grows around it.
        RECT r = {s->x, s->y, s->x + s->w, s->y + s->h};
        AdjustWindowRectEx(&r, style, FALSE, ex);
        s->hwnd = CreateWindowExW(ex | WS_EX_TOPMOST, PATTERN_CLASS, L"Ivra pattern", style, r.left, r.top,
                                  r.right - r.left, r.bottom - r.top, nullptr, nullptr, wc.hInstance, nullptr);
        if (!s->hwnd) {
            fprintf(stderr, "CreateWindowEx failed %lu\n", GetLastError());
            return 1;
        }
        SetWindowLongPtrW(s->hwnd, GWLP_USERDATA, s->seed);
        ShowWindow(s->hwnd, SW_SHOWNOACTIVATE);
        UpdateWindow(s->hwnd);
    }
    GdiFlush();
    for (int i = 0; i < n; i++) {
        RECT c;
        GetClientRect(specs[i].hwnd, &c);
        POINT a = {c.left, c.top}, b = {c.right, c.bottom};
        ClientToScreen(specs[i].hwnd, &a);
        ClientToScreen(specs[i].hwnd, &b);
        RECT wr;
        GetWindowRect(specs[i].hwnd, &wr);
        printf("window %d hwnd=0x%llx client=%ld,%ld,%ld,%ld seed=%d window=%ld,%ld,%ld,%ld\n", i,
               (unsigned long long)(uintptr_t)specs[i].hwnd, a.x, a.y, b.x, b.y, specs[i].seed, wr.left, wr.top,
               wr.right, wr.bottom);
    }
    if (animate_fps > 0) SetTimer(specs[0].hwnd, 1, (UINT)(1000 / animate_fps), nullptr);
    printf("ready\n");
    fflush(stdout);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;
}
