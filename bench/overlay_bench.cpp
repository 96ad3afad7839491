// Region overlay timings seen from outside the agent (bench/overlay_bench.py runs it):
//   overlay_bench first-paint X Y REQUEST [--close] [--timeout MS]
//       reads the screen pixel at X,Y, sends REQUEST (\t and \n escapes) on the control
//       pipe and polls the pixel until it changes: the overlay's first paint on screen.
//       Prints "paint_ms=%.1f visible_ms=%.1f" (from the request's write, performance
//       counter), then with --close posts WM_CLOSE to the overlay; finally waits for the
//       reply and prints "reply=...".
//   overlay_bench gdi-grab N
//       copies the whole virtual screen from the screen DC into a DIB section N times
//       and prints "gdi_ms=%.1f" for each and "gdi_median_ms=%.1f".
// Needs a running ivrad for first-paint.
#include "agent/capture/dib.h"
#include "common/win.h"
#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

double overlay_bench_ms(LONGLONG a, LONGLONG b) {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return (double)(b - a) * 1000.0 / (double)f.QuadPart;
}

LONGLONG overlay_bench_now() {
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t.QuadPart;
}

std::string overlay_bench_unescape(const wchar_t* w) {
    std::string out;
    for (const wchar_t* p = w; *p; p++) {
        if (*p == L'\\' && p[1]) {
            p++;
            out += *p == L't' ? '\t' : *p == L'n' ? '\n' : (char)*p;
        } else {
            out += (char)*p;
        }
    }
    return out;
}

HANDLE overlay_bench_open_pipe() {
    for (int tries = 0; tries < 50; tries++) {
        HANDLE h =
            CreateFileW(L"\\\\.\\pipe\\ivra", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h != INVALID_HANDLE_VALUE) return h;
        if (GetLastError() != ERROR_PIPE_BUSY)
            Sleep(50);
        else
            WaitNamedPipeW(L"\\\\.\\pipe\\ivra", 200);
    }
    return INVALID_HANDLE_VALUE;
}

int overlay_bench_first_paint(int argc, wchar_t** argv) {
    if (argc < 5) return 2;
    const int x = _wtoi(argv[2]), y = _wtoi(argv[3]);
    const std::string request = overlay_bench_unescape(argv[4]);
    bool close = false;
    DWORD timeout = 20000;
    for (int i = 5; i < argc; i++) {
        if (!wcscmp(argv[i], L"--close"))
            close = true;
        else if (!wcscmp(argv[i], L"--timeout") && i + 1 < argc)
            timeout = (DWORD)_wtoi(argv[++i]);
        else
            return 2;
    }
    HDC screen = GetDC(nullptr);
    const COLORREF before = GetPixel(screen, x, y);
    HANDLE pipe = overlay_bench_open_pipe();
    if (pipe == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "cannot open the pipe (%lu)\n", GetLastError());
        ReleaseDC(nullptr, screen);
        return 1;
    }
    DWORD n = 0;
    const LONGLONG t0 = overlay_bench_now();
    if (!WriteFile(pipe, request.data(), (DWORD)request.size(), &n, nullptr)) {
        fprintf(stderr, "cannot write the request (%lu)\n", GetLastError());
        CloseHandle(pipe);
        ReleaseDC(nullptr, screen);
        return 1;
    }
    double paint = -1, visible = -1;
    const ULONGLONG deadline = GetTickCount64() + timeout;
    while ((paint < 0 || visible < 0) && GetTickCount64() < deadline) {
        if (paint < 0 && GetPixel(screen, x, y) != before) paint = overlay_bench_ms(t0, overlay_bench_now());
        if (visible < 0) {
            HWND w = FindWindowW(L"IvraRegionWnd", nullptr);
            if (w && IsWindowVisible(w)) visible = overlay_bench_ms(t0, overlay_bench_now());
        }
        Sleep(1);
    }
    ReleaseDC(nullptr, screen);
    printf("paint_ms=%.1f visible_ms=%.1f before=%06lx\n", paint, visible, (unsigned long)before);
    fflush(stdout);
    if (close) {
        HWND w = FindWindowW(L"IvraRegionWnd", nullptr);
        if (w) PostMessageW(w, WM_CLOSE, 0, 0);
    }
    std::string reply;
    char buf[4096];
    while (ReadFile(pipe, buf, sizeof buf, &n, nullptr) && n > 0) {
        reply.append(buf, n);
        if (reply.find('\n') != std::string::npos) break;
    }
    CloseHandle(pipe);
    while (!reply.empty() && (reply.back() == '\n' || reply.back() == '\r')) reply.pop_back();
    for (char& c : reply)
        if (c == '\t') c = ' ';
    printf("reply=%s\n", reply.c_str());
    fflush(stdout);
    return paint >= 0 ? 0 : 1;
}

int overlay_bench_gdi_grab(int argc, wchar_t** argv) {
    if (argc < 3) return 2;
    const int runs = std::max(1, _wtoi(argv[2]));
    const int vx = GetSystemMetrics(SM_XVIRTUALSCREEN), vy = GetSystemMetrics(SM_YVIRTUALSCREEN);
    const int vw = GetSystemMetrics(SM_CXVIRTUALSCREEN), vh = GetSystemMetrics(SM_CYVIRTUALSCREEN);
    BITMAPINFO bi;
    dib_info_top_down(&bi, vw, vh);
    void* bits = nullptr;
    HDC screen = GetDC(nullptr);
    HDC mem = CreateCompatibleDC(screen);
    HBITMAP dib = CreateDIBSection(mem, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    int rc = 1;
    if (dib) {
        HGDIOBJ old = SelectObject(mem, dib);
        std::vector<double> ms;
        for (int i = 0; i < runs; i++) {
            const LONGLONG t0 = overlay_bench_now();
            BitBlt(mem, 0, 0, vw, vh, screen, vx, vy, SRCCOPY | CAPTUREBLT);
            GdiFlush();
            ms.push_back(overlay_bench_ms(t0, overlay_bench_now()));
            printf("gdi_ms=%.1f\n", ms.back());
        }
        std::sort(ms.begin(), ms.end());
        printf("gdi_median_ms=%.1f size=%dx%d\n", ms[ms.size() / 2], vw, vh);
        SelectObject(mem, old);
        DeleteObject(dib);
        rc = 0;
    }
    DeleteDC(mem);
    ReleaseDC(nullptr, screen);
    fflush(stdout);
    return rc;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    SetProcessDPIAware();
    if (argc >= 2 && !wcscmp(argv[1], L"first-paint")) return overlay_bench_first_paint(argc, argv);
    if (argc >= 2 && !wcscmp(argv[1], L"gdi-grab")) return overlay_bench_gdi_grab(argc, argv);
    fprintf(stderr, "usage: overlay_bench first-paint X Y REQUEST [--close] [--timeout MS] | gdi-grab N\n");
    return 2;
}
