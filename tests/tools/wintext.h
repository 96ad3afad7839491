// The window description of wintext.exe, also served in-process by "ivtool serve".
//   wintext CLASS   prints "count=N" and, for the first window, "pid=P",
//                   "title=..." and "text=..." (its first child's text, line
//                   ends as \n) in UTF-8, one per line. Exit 1 when none.
#pragma once
#include "common/win.h"
#include <cstdio>
#include <string>

struct wintext_scan {
    const wchar_t* cls;
    int count;
    HWND first;
};

static BOOL CALLBACK wintext_visit(HWND w, LPARAM lp) {
    wintext_scan* s = (wintext_scan*)lp;
    wchar_t cls[256];
    if (GetClassNameW(w, cls, 256) && wcscmp(cls, s->cls) == 0) {
        if (!s->first) s->first = w;
        s->count++;
    }
    return TRUE;
}

static std::string wintext_utf8(HWND w) {
    // WM_GETTEXT itself: GetWindowTextW does not ask a window of another process.
    DWORD_PTR n = 0;
    SendMessageTimeoutW(w, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 2000, &n);
    std::wstring t(n + 1, L'\0');
    DWORD_PTR got = 0;
    SendMessageTimeoutW(w, WM_GETTEXT, n + 1, (LPARAM)t.data(), SMTO_ABORTIFHUNG, 2000, &got);
    t.resize(wcslen(t.c_str()));
    std::string out;
    for (wchar_t c : t) {
        if (c == L'\r') continue;
        if (c == L'\n') {
            out += "\\n";
            continue;
        }
        wchar_t one[2] = {c, 0};
        char buf[8];
        int k = WideCharToMultiByte(CP_UTF8, 0, one, 1, buf, sizeof buf, nullptr, nullptr);
        out.append(buf, k > 0 ? k : 0);
    }
    return out;
}

// PRINT is printf-like; the caller decides where the lines go.
static int wintext_run(int argc, wchar_t** argv, void (*print)(const char* fmt, ...)) {
    if (argc < 2) return 2;
    wintext_scan s{argv[1], 0, nullptr};
    EnumWindows(wintext_visit, (LPARAM)&s);
    print("count=%d\n", s.count);
    if (!s.first) return 1;
    DWORD pid = 0;
    GetWindowThreadProcessId(s.first, &pid);
    print("pid=%lu\n", pid);
    print("title=%s\n", wintext_utf8(s.first).c_str());
    HWND child = GetWindow(s.first, GW_CHILD);
    print("text=%s\n", child ? wintext_utf8(child).c_str() : "");
    return 0;
}
