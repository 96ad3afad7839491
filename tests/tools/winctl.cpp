// Test helper: changes the state of another program's top-level window.
//   winctl minimize HWND | restore HWND | foreground HWND | state HWND | move HWND X Y W H
// HWND is hexadecimal with 0x or decimal. "state" prints min, max or normal.
// Exit 0 on success, 1 when the window is gone or the change did not happen, 2 on usage.
#include "common/win.h"
#include <cstdio>
#include <cstdlib>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    if (argc != 3 && !(argc == 7 && !wcscmp(argv[1], L"move"))) {
        fprintf(stderr, "usage: winctl minimize|restore|foreground|state HWND | move HWND X Y W H\n");
        return 2;
    }
    HWND w = (HWND)(uintptr_t)wcstoull(argv[2], nullptr, 0);
    if (!IsWindow(w)) {
        fprintf(stderr, "no such window\n");
        return 1;
    }
    const wchar_t* op = argv[1];
    if (!wcscmp(op, L"minimize")) {
        ShowWindow(w, SW_MINIMIZE);
        return IsIconic(w) ? 0 : 1;
    }
    if (!wcscmp(op, L"restore")) {
        ShowWindow(w, SW_RESTORE);
        return IsIconic(w) ? 1 : 0;
    }
    if (!wcscmp(op, L"foreground")) {
        // Pressing and releasing Alt lifts the foreground lock a background caller would meet.
        keybd_event(VK_MENU, 0, 0, 0);
        keybd_event(VK_MENU, 0, KEYEVENTF_KEYUP, 0);
        SetForegroundWindow(w);
        // The window's own thread carries the change out; give it a moment.
        for (int i = 0; i < 40 && GetForegroundWindow() != w; i++) Sleep(50);
        if (GetForegroundWindow() == w) return 0;
        fprintf(stderr, "foreground is %p\n", (void*)GetForegroundWindow());
        return 1;
    }
    if (!wcscmp(op, L"move")) {
        // Places the window rectangle (frame included) and checks where it landed.
        int x = _wtoi(argv[3]), y = _wtoi(argv[4]), cx = _wtoi(argv[5]), cy = _wtoi(argv[6]);
        SetWindowPos(w, nullptr, x, y, cx, cy, SWP_NOZORDER | SWP_NOACTIVATE);
        // Painted at the new size before this returns, so a capture right after sees it.
        RedrawWindow(w, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
        for (int i = 0; i < 40; i++) {
            RECT r;
            GetWindowRect(w, &r);
            if (r.left == x && r.top == y && r.right - r.left == cx && r.bottom - r.top == cy) return 0;
            Sleep(50);
        }
        fprintf(stderr, "window did not move\n");
        return 1;
    }
    if (!wcscmp(op, L"state")) {
        printf("%s\n", IsIconic(w) ? "min" : IsZoomed(w) ? "max" : "normal");
        return 0;
    }
    fprintf(stderr, "unknown operation\n");
    return 2;
}
