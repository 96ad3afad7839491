// ivra.exe: a minimal settings window that shows config.ini read-only and
// answers the agent's and the client's window messages.
#include "common/win.h"
#include "common/config.h"
#include <cwchar>

namespace {

enum settings_page { PAGE_GENERAL = 0, PAGE_WELCOME, PAGE_LINK, PAGE_ABOUT };

struct settings_app {
    HWND wnd;
    HWND text;
    settings_page page;
    UINT msg_reload;
    UINT msg_show;
    UINT msg_exit;
};

settings_app g_app;

settings_page settings_page_from_args(const wchar_t* args) {
    if (!args) return PAGE_GENERAL;
    if (wcsstr(args, L"--welcome")) return PAGE_WELCOME;
    if (wcsstr(args, L"--link")) return PAGE_LINK;
    if (wcsstr(args, L"--page about")) return PAGE_ABOUT;
    return PAGE_GENERAL;
}

const wchar_t* settings_page_title(settings_page p) {
    switch (p) {
    case PAGE_WELCOME: return L"Ivra Settings - Welcome";
    case PAGE_LINK: return L"Ivra Settings - Link account";
    case PAGE_ABOUT: return L"Ivra Settings - About";
    default: return L"Ivra Settings - General";
    }
}

// config.ini as the edit control wants it: UTF-16 with CR LF line ends.
void settings_show_config(void) {
    wchar_t path[260];
    config_path(path);
    HANDLE f = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) {
        SetWindowTextW(g_app.text, L"No config.ini yet: the defaults are in use.");
        return;
    }
    enum { MAX_BYTES = 65536 };
    HANDLE heap = GetProcessHeap();
    char* raw = (char*)HeapAlloc(heap, 0, MAX_BYTES + 1);
    wchar_t* wide = (wchar_t*)HeapAlloc(heap, 0, (MAX_BYTES + 1) * sizeof(wchar_t));
    wchar_t* shown = (wchar_t*)HeapAlloc(heap, 0, (2 * MAX_BYTES + 1) * sizeof(wchar_t));
    DWORD got = 0;
    if (raw && wide && shown && ReadFile(f, raw, MAX_BYTES, &got, nullptr)) {
        raw[got] = 0;
        const char* start = raw;
        if (got >= 3 && (unsigned char)raw[0] == 0xEF && (unsigned char)raw[1] == 0xBB && (unsigned char)raw[2] == 0xBF)
            start += 3;
        int n = MultiByteToWideChar(CP_UTF8, 0, start, -1, wide, MAX_BYTES + 1);
        if (n <= 0) wide[0] = 0;
        size_t o = 0;
        for (const wchar_t* p = wide; *p; p++) {
            if (*p == L'\r') continue;
            if (*p == L'\n') shown[o++] = L'\r';
            shown[o++] = *p;
        }
        shown[o] = 0;
        SetWindowTextW(g_app.text, shown);
    } else {
        SetWindowTextW(g_app.text, L"config.ini could not be read.");
    }
    CloseHandle(f);
    if (shown) HeapFree(heap, 0, shown);
    if (wide) HeapFree(heap, 0, wide);
    if (raw) HeapFree(heap, 0, raw);
}

void settings_bring_forward(void) {
    if (IsIconic(g_app.wnd)) ShowWindow(g_app.wnd, SW_RESTORE);
    ShowWindow(g_app.wnd, SW_SHOW);
    SetForegroundWindow(g_app.wnd);
}

HWND settings_find_agent(void) {
    HWND w = FindWindowW(L"IvraAgentWnd", nullptr);
    if (!w) w = FindWindowExW(HWND_MESSAGE, nullptr, L"IvraAgentWnd", nullptr);
    return w;
}

LRESULT CALLBACK settings_proc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg != 0 && msg == g_app.msg_reload) {
        settings_show_config();
        return 0;
    }
    if (msg != 0 && msg == g_app.msg_show) {
        g_app.page = wp == 7 ? PAGE_ABOUT : PAGE_GENERAL;
        SetWindowTextW(wnd, settings_page_title(g_app.page));
        settings_bring_forward();
        return 0;
    }
    if (msg != 0 && msg == g_app.msg_exit) {
        // The tray's exit went through us so the user sees the settings close with the agent.
        HWND agent = settings_find_agent();
        if (agent) PostMessageW(agent, WM_CLOSE, 0, 0);
        DestroyWindow(wnd);
        return 0;
    }
    switch (msg) {
    case WM_CREATE:
        g_app.text = CreateWindowExW(WS_EX_CLIENTEDGE, L"EDIT", L"",
                                     WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_HSCROLL | ES_MULTILINE | ES_READONLY |
                                         ES_AUTOVSCROLL | ES_AUTOHSCROLL,
                                     0, 0, 0, 0, wnd, nullptr, ((CREATESTRUCTW*)lp)->hInstance, nullptr);
        return 0;
    case WM_SIZE:
        if (g_app.text) MoveWindow(g_app.text, 8, 8, LOWORD(lp) > 16 ? LOWORD(lp) - 16 : 0,
                                   HIWORD(lp) > 16 ? HIWORD(lp) - 16 : 0, TRUE);
        return 0;
    case WM_CLOSE:
        DestroyWindow(wnd);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(wnd, msg, wp, lp);
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR args, int show) {
    g_app.page = settings_page_from_args(args);
    g_app.msg_reload = RegisterWindowMessageW(L"IvraReloadConfig");
    g_app.msg_show = RegisterWindowMessageW(L"IvraShowSettings");
    g_app.msg_exit = RegisterWindowMessageW(L"IvraExitRequest");
    // The agent and ivrac post these from other processes; let them through a raised integrity level too.
    ChangeWindowMessageFilter(g_app.msg_reload, MSGFLT_ADD);
    ChangeWindowMessageFilter(g_app.msg_show, MSGFLT_ADD);
    ChangeWindowMessageFilter(g_app.msg_exit, MSGFLT_ADD);

    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = settings_proc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = (HBRUSH)(COLOR_BTNFACE + 1);
    wc.lpszClassName = L"IvraSettingsWnd";
    if (!RegisterClassExW(&wc)) return 1;
    g_app.wnd = CreateWindowExW(0, L"IvraSettingsWnd", settings_page_title(g_app.page), WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                CW_USEDEFAULT, 640, 480, nullptr, nullptr, instance, nullptr);
    if (!g_app.wnd) return 1;
    settings_show_config();
    ShowWindow(g_app.wnd, show == SW_HIDE ? SW_SHOWNORMAL : show);
    UpdateWindow(g_app.wnd);

    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;
}
