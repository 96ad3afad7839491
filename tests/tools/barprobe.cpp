// Test helper: where the agent's clip bar and frame windows are.
//   barprobe    prints "bar=V,L,T,R,B" and "frame=V,L,T,R,B" (V 1 when visible,
//               the window rectangle in screen pixels), one per line. Exit 1 when
//               either window does not exist.
#include "common/win.h"
#include <cstdio>

static bool print_window(const char* name, const wchar_t* cls) {
    HWND w = FindWindowW(cls, nullptr);
    RECT r{};
    if (!w || !GetWindowRect(w, &r)) {
        printf("%s=none\n", name);
        return false;
    }
    printf("%s=%d,%ld,%ld,%ld,%ld\n", name, IsWindowVisible(w) ? 1 : 0, r.left, r.top, r.right, r.bottom);
    return true;
}

int wmain() {
    bool bar = print_window("bar", L"IvraClipBar");
    bool frame = print_window("frame", L"IvraClipFrame");
    fflush(stdout);
    return bar && frame ? 0 : 1;
}
