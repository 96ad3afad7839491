// The probe of overlay_probe.exe, also served in-process by "ivtool serve": waits inside
// Windows for the overlay window, so a test starts its drag only once the overlay is on
// screen, and reads screen pixels the way the capture stand-in does.
//   overlay_probe shown TIMEOUT_MS   waits until an IvraRegionWnd window is visible;
//                                    prints "shown hwnd=0x... rect=L,T,R,B ms=N"
//   overlay_probe gone TIMEOUT_MS    waits until no IvraRegionWnd window exists; prints "gone ms=N"
//   overlay_probe close              posts WM_CLOSE to the overlay window
//   overlay_probe pixel X Y...       prints "pixel=X,Y b=.. g=.. r=.." read from the screen DC
//   overlay_probe held TIMEOUT_MS X Y  waits until the overlay holds the mouse (its button
//                                    press was handled) and the cursor is at X,Y; prints "held ms=N"
//   overlay_probe cursor TIMEOUT_MS X Y  waits until the cursor is at X,Y; prints "cursor ms=N"
// Exit 0 on success, 1 on time-out or when there is no overlay, 2 on usage.
#pragma once
#include "common/win.h"
#include <cstdio>
#include <cwchar>

// Where a probe's lines go: printf-like, for standard output and standard error.
struct probe_print {
    void (*out)(const char* fmt, ...);
    void (*err)(const char* fmt, ...);
};

static const wchar_t OVERLAY_CLASS[] = L"IvraRegionWnd";

static int probe_usage(const probe_print* pr) {
    pr->err("usage: overlay_probe shown|gone TIMEOUT_MS | held|cursor TIMEOUT_MS X Y | close | pixel X Y...\n");
    return 2;
}

static int probe_wait(const probe_print* pr, bool want_shown, DWORD timeout) {
    const ULONGLONG t0 = GetTickCount64();
    for (;;) {
        HWND w = FindWindowW(OVERLAY_CLASS, nullptr);
        const ULONGLONG ms = GetTickCount64() - t0;
        if (want_shown && w && IsWindowVisible(w)) {
            RECT r{};
            GetWindowRect(w, &r);
            pr->out("shown hwnd=0x%llx rect=%ld,%ld,%ld,%ld ms=%llu\n", (unsigned long long)(uintptr_t)w, r.left, r.top,
                    r.right, r.bottom, ms);
            return 0;
        }
        if (!want_shown && !w) {
            pr->out("gone ms=%llu\n", ms);
            return 0;
        }
        if (ms >= timeout) {
            pr->err("overlay %s after %lu ms\n", want_shown ? "not shown" : "still there", timeout);
            return 1;
        }
        Sleep(10);
    }
}

// A drag's press and moves were handled by the overlay once its thread holds the capture
// and the system cursor has reached the last point sent; without a press, the cursor alone
// tells that the thread under it has read its window's events up to that move.
static int probe_held(const probe_print* pr, DWORD timeout, LONG x, LONG y, bool need_capture) {
    const ULONGLONG t0 = GetTickCount64();
    for (;;) {
        HWND w = FindWindowW(OVERLAY_CLASS, nullptr);
        GUITHREADINFO gi{};
        gi.cbSize = sizeof gi;
        POINT p{};
        const bool captured = w && GetGUIThreadInfo(GetWindowThreadProcessId(w, nullptr), &gi) && gi.hwndCapture == w;
        const bool held = (captured || !need_capture) && GetCursorPos(&p) && p.x == x && p.y == y;
        const ULONGLONG ms = GetTickCount64() - t0;
        if (held) {
            pr->out("%s ms=%llu\n", need_capture ? "held" : "cursor", ms);
            return 0;
        }
        if (ms >= timeout) {
            pr->err("%s after %lu ms (cursor %ld,%ld)\n",
                    !need_capture ? "cursor not there"
                    : w           ? "overlay does not hold the mouse"
                                  : "no overlay",
                    timeout, p.x, p.y);
            return 1;
        }
        Sleep(10);
    }
}

static int probe_pixels(const probe_print* pr, int argc, wchar_t** argv) {
    HDC screen = GetDC(nullptr);
    if (!screen) return 1;
    int rc = 0;
    for (int i = 2; i + 1 < argc; i += 2) {
        const int x = _wtoi(argv[i]), y = _wtoi(argv[i + 1]);
        const COLORREF c = GetPixel(screen, x, y);
        if (c == CLR_INVALID) {
            rc = 1;
            continue;
        }
        pr->out("pixel=%d,%d b=%u g=%u r=%u\n", x, y, GetBValue(c), GetGValue(c), GetRValue(c));
    }
    ReleaseDC(nullptr, screen);
    return rc;
}

static int probe_run(const probe_print* pr, int argc, wchar_t** argv) {
    if (argc < 2) return probe_usage(pr);
    const wchar_t* op = argv[1];
    int rc = 2;
    if ((!wcscmp(op, L"shown") || !wcscmp(op, L"gone")) && argc == 3) {
        rc = probe_wait(pr, op[0] == L's', (DWORD)wcstoul(argv[2], nullptr, 10));
    } else if ((!wcscmp(op, L"held") || !wcscmp(op, L"cursor")) && argc == 5) {
        rc = probe_held(pr, (DWORD)wcstoul(argv[2], nullptr, 10), _wtol(argv[3]), _wtol(argv[4]), op[0] == L'h');
    } else if (!wcscmp(op, L"close") && argc == 2) {
        HWND w = FindWindowW(OVERLAY_CLASS, nullptr);
        rc = w && PostMessageW(w, WM_CLOSE, 0, 0) ? 0 : 1;
    } else if (!wcscmp(op, L"pixel") && argc >= 4 && argc % 2 == 0) {
        rc = probe_pixels(pr, argc, argv);
    } else {
        return probe_usage(pr);
    }
    return rc;
}
