// Test helper: lists the controls of the settings window so a test can click
// them and read them back.
//   settingsctl   prints one line per child control of the first IvraSettingsWnd,
//                 tab-separated key=value fields: id, class, visible, enabled, check,
//                 x, y, w, h (screen pixels) and text (UTF-8, last). Exit 1 when none.
#include "common/win.h"
#include <cstdio>
#include <cwchar>

// WM_GETTEXT itself: GetWindowTextW does not ask a control of another process. Line ends as \n.
static void settingsctl_text(HWND w, char* out, int capacity) {
    wchar_t t[1024] = L"";
    DWORD_PTR got = 0;
    SendMessageTimeoutW(w, WM_GETTEXT, 1024, (LPARAM)t, SMTO_ABORTIFHUNG, 2000, &got);
    wchar_t flat[2048];
    size_t n = 0;
    for (const wchar_t* p = t; *p && n + 2 < 2048; ++p) {
        if (*p == L'\r') continue;
        if (*p == L'\n') {
            flat[n++] = L'\\';
            flat[n++] = L'n';
        } else {
            flat[n++] = *p == L'\t' ? L' ' : *p;
        }
    }
    flat[n] = 0;
    if (WideCharToMultiByte(CP_UTF8, 0, flat, -1, out, capacity, nullptr, nullptr) <= 0) out[0] = 0;
}

static BOOL CALLBACK settingsctl_visit(HWND w, LPARAM) {
    wchar_t cls[64];
    if (!GetClassNameW(w, cls, 64)) cls[0] = 0;
    char cls8[128];
    WideCharToMultiByte(CP_UTF8, 0, cls, -1, cls8, sizeof cls8, nullptr, nullptr);
    RECT r;
    GetWindowRect(w, &r);
    bool button = _wcsicmp(cls, L"Button") == 0;
    DWORD_PTR check = 0;
    if (button) SendMessageTimeoutW(w, BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG, 2000, &check);
    char text[4096];
    settingsctl_text(w, text, sizeof text);
    printf("id=%d\tclass=%s\tvisible=%d\tenabled=%d\tcheck=%d\tx=%ld\ty=%ld\tw=%ld\th=%ld\ttext=%s\n", GetDlgCtrlID(w),
           cls8, IsWindowVisible(w) ? 1 : 0, IsWindowEnabled(w) ? 1 : 0, button ? (int)check : 0, r.left, r.top,
           r.right - r.left, r.bottom - r.top, text);
    return TRUE;
}

int wmain() {
    HWND w = FindWindowW(L"IvraSettingsWnd", nullptr);
    if (!w) {
        fprintf(stderr, "no settings window\n");
        return 1;
    }
    EnumChildWindows(w, settingsctl_visit, 0);
    return 0;
}
