#include "agent/core/tray.h"
#include "agent/core/agent.h"
#include "agent/core/messages.h"
#include "agent/upload/upload.h"
#include "common/account.h"
#include "common/log.h"
#include <objbase.h>
#include <shellapi.h>
#include <shlobj.h>
#include <cstdio>
#include <cstring>
#include <cwchar>

namespace {

// {5BC362AF-1FE4-4D61-B26A-AC9F7C6E0B18}
const GUID TRAY_GUID = {0x5BC362AF, 0x1FE4, 0x4D61, {0xB2, 0x6A, 0xAC, 0x9F, 0x7C, 0x6E, 0x0B, 0x18}};
constexpr UINT TRAY_ID = 1;
constexpr UINT_PTR TRAY_CLICK_TIMER = 2912;
constexpr int TRAY_ICON_RESOURCE = 101;
const wchar_t TRAY_TIP[] = L"Ivra\nClick: screenshot \u00b7 Shift+click: clip\nDouble-click: settings";

HWND g_tray_wnd;
constexpr DWORD TRAY_REMOVE_WAIT_MS = 500;
HICON g_tray_icon;
bool g_tray_icon_owned;  // made here (resource or ring), so destroyed at removal
bool g_tray_version4;
tray_clicks g_clicks;
char g_update_version[32];

// The remembered balloon action; balloons may be shown from any thread.
SRWLOCK g_balloon_lock = SRWLOCK_INIT;
int g_balloon_kind;
wchar_t g_balloon_file[260];
char g_balloon_link[256];

void tray_copy_wide(wchar_t* out, size_t cap, const wchar_t* text) {
    _snwprintf(out, cap, L"%ls", text ? text : L"");
    out[cap - 1] = 0;
}

void tray_widen(const char* text, wchar_t* out, int cap) {
    if (!text || MultiByteToWideChar(CP_UTF8, 0, text, -1, out, cap) <= 0) out[0] = 0;
    out[cap - 1] = 0;
}

HICON tray_ring_icon(int n) {
    if (n < 8 || n > 256) return nullptr;
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = n;
    bi.bmiHeader.biHeight = -n;  // top-down
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HICON icon = nullptr;
    HBITMAP mask = nullptr;
    HBITMAP color = CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!color || !bits || !tray_ring_pixels(n, (uint32_t*)bits)) goto done;
    mask = CreateBitmap(n, n, 1, 1, nullptr);
    if (!mask) goto done;
    {
        // An all-zero mask: the alpha channel alone decides what shows.
        HDC dc = CreateCompatibleDC(nullptr);
        if (!dc) goto done;
        HGDIOBJ old = SelectObject(dc, mask);
        PatBlt(dc, 0, 0, n, n, BLACKNESS);
        SelectObject(dc, old);
        DeleteDC(dc);
    }
    {
        ICONINFO ii{};
        ii.fIcon = TRUE;
        ii.hbmMask = mask;
        ii.hbmColor = color;
        icon = CreateIconIndirect(&ii);
    }
done:
    if (mask) DeleteObject(mask);
    if (color) DeleteObject(color);
    return icon;
}

HICON tray_icon(HWND wnd) {
    if (g_tray_icon) return g_tray_icon;
    UINT dpi = GetDpiForWindow(wnd);
    int n = GetSystemMetricsForDpi(SM_CXSMICON, dpi ? dpi : 96);
    const char* from = "resource 101";
    g_tray_icon =
        (HICON)LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(TRAY_ICON_RESOURCE), IMAGE_ICON, n, n, 0);
    if (!g_tray_icon) {
        from = "the drawn ring";
        g_tray_icon = tray_ring_icon(n);
    }
    g_tray_icon_owned = g_tray_icon != nullptr;
    if (!g_tray_icon) {
        from = "the system";
        g_tray_icon = LoadIconW(nullptr, IDI_APPLICATION);
    }
    log_info("tray: icon %dx%d from %s", n, n, from);
    return g_tray_icon;
}

void tray_fill(NOTIFYICONDATAW* nid, HWND wnd, UINT flags) {
    memset(nid, 0, sizeof *nid);
    nid->cbSize = sizeof *nid;
    nid->hWnd = wnd;
    nid->uID = TRAY_ID;
    nid->guidItem = TRAY_GUID;
    nid->uFlags = flags | NIF_GUID;
}

void tray_show_balloon(const wchar_t* title, const wchar_t* text, DWORD icon_flags) {
    NOTIFYICONDATAW nid;
    tray_fill(&nid, g_tray_wnd, NIF_INFO);
    tray_copy_wide(nid.szInfoTitle, 64, title);
    tray_copy_wide(nid.szInfo, 256, text);
    nid.dwInfoFlags = icon_flags;
    if (g_tray_wnd) Shell_NotifyIconW(NIM_MODIFY, &nid);
}

void tray_remember(int kind, const wchar_t* file, const char* link) {
    AcquireSRWLockExclusive(&g_balloon_lock);
    g_balloon_kind = kind;
    tray_copy_wide(g_balloon_file, 260, file);
    _snprintf(g_balloon_link, sizeof g_balloon_link, "%s", link ? link : "");
    g_balloon_link[sizeof g_balloon_link - 1] = 0;
    ReleaseSRWLockExclusive(&g_balloon_lock);
}

void tray_menu(HWND wnd, WPARAM wp) {
    log_info("tray: menu opened");
    POINT pt;
    short x = (short)LOWORD(wp), y = (short)HIWORD(wp);
    if (g_tray_version4 && x != -1) {
        pt.x = x;
        pt.y = y;
    } else if (!GetCursorPos(&pt)) {
        pt.x = pt.y = 0;
    }
    tray_menu_state st{};
    st.linked = upload_linked();
    st.uploading = st.linked ? upload_pending() : 0;
    st.replay_enabled = g_agent.cfg.replay_enabled;  // only this thread writes the live record
    memcpy(st.update_version, g_update_version, sizeof st.update_version);
    tray_menu_item items[TRAY_MENU_MAX];
    int count = tray_menu_build(&st, items, TRAY_MENU_MAX);
    HMENU menu = CreatePopupMenu();
    if (!menu) {
        log_warn("tray: menu not made (%lu)", GetLastError());
        return;
    }
    for (int i = 0; i < count; i++) {
        if (items[i].flags & TRAY_ITEM_SEPARATOR)
            AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
        else
            AppendMenuW(menu, MF_STRING | ((items[i].flags & TRAY_ITEM_DISABLED) ? MF_GRAYED : 0), items[i].id,
                        items[i].text);
    }
    SetMenuDefaultItem(menu, 1001, FALSE);
    HWND before = GetForegroundWindow();
    SetForegroundWindow(wnd);
    UINT cmd = (UINT)TrackPopupMenu(menu, TPM_RETURNCMD | TPM_NONOTIFY | TPM_RIGHTBUTTON, pt.x, pt.y, 0, wnd, nullptr);
    PostMessageW(wnd, WM_NULL, 0, 0);
    DestroyMenu(menu);
    log_info("tray: menu closed, command %u", cmd);
    // A window capture must take the window the user was in, not ours.
    if ((cmd == 1002 || cmd == 1003 || cmd == 1005) && before && before != wnd && IsWindow(before) &&
        GetForegroundWindow() == wnd)
        SetForegroundWindow(before);
    if (cmd) PostMessageW(wnd, WM_COMMAND, cmd, 0);
}

DWORD WINAPI tray_url_thread(void* arg) {
    wchar_t* url = (wchar_t*)arg;
    log_thread_name(L"ivra-open-url");
    HRESULT co = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    INT_PTR rc = (INT_PTR)ShellExecuteW(nullptr, L"open", url, nullptr, nullptr, SW_SHOWNORMAL);
    if (rc <= 32) log_warn("open %ls failed", url);
    if (SUCCEEDED(co)) CoUninitialize();
    HeapFree(GetProcessHeap(), 0, url);
    return 0;
}

DWORD WINAPI tray_reveal_thread(void* arg) {
    wchar_t* path = (wchar_t*)arg;
    log_thread_name(L"ivra-reveal");
    ULONGLONG t0 = GetTickCount64();
    HRESULT co = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    PIDLIST_ABSOLUTE item = nullptr;
    HRESULT hr = SHParseDisplayName(path, nullptr, &item, 0, nullptr);
    if (SUCCEEDED(hr)) hr = SHOpenFolderAndSelectItems(item, 0, nullptr, 0);
    if (item) CoTaskMemFree(item);
    ULONGLONG ms = GetTickCount64() - t0;
    if (SUCCEEDED(hr)) {
        log_info("reveal %ls (%llu ms)", path, ms);
    } else {
        log_warn("reveal %ls failed hr=0x%08lx (%llu ms)", path, (unsigned long)hr, ms);
        if (g_agent.wnd) PostMessageW(g_agent.wnd, WM_AGENT_REVEAL_GONE, 0, 0);
    }
    if (SUCCEEDED(co)) CoUninitialize();
    HeapFree(GetProcessHeap(), 0, path);
    return 0;
}

// Runs fn on a thread of its own with a heap copy of text; the thread frees it.
bool tray_spawn(LPTHREAD_START_ROUTINE fn, const wchar_t* text) {
    size_t bytes = (wcslen(text) + 1) * sizeof(wchar_t);
    wchar_t* copy = (wchar_t*)HeapAlloc(GetProcessHeap(), 0, bytes);
    if (!copy) return false;
    memcpy(copy, text, bytes);
    HANDLE t = CreateThread(nullptr, 0, fn, copy, 0, nullptr);
    if (!t) {
        HeapFree(GetProcessHeap(), 0, copy);
        return false;
    }
    CloseHandle(t);
    return true;
}

HWND tray_settings_window(void) {
    HWND w = FindWindowW(L"IvraSettingsWnd", nullptr);
    if (w) {
        DWORD pid = 0;
        GetWindowThreadProcessId(w, &pid);
        AllowSetForegroundWindow(pid);
    }
    return w;
}

}  // namespace

// ---- Pure pieces.

int tray_menu_build(const tray_menu_state* st, tray_menu_item* items, int capacity) {
    int n = 0;
    auto add = [&](unsigned id, unsigned flags, const wchar_t* text) {
        if (n >= capacity || n >= TRAY_MENU_MAX) return;
        items[n].id = id;
        items[n].flags = flags;
        tray_copy_wide(items[n].text, TRAY_ITEM_TEXT, text);
        n++;
    };
    wchar_t text[TRAY_ITEM_TEXT];
    add(1001, TRAY_ITEM_DEFAULT, L"Settings...");
    add(1006, 0, L"Open captures folder");
    if (st->linked) {
        add(1009, 0, L"Open my captures online");
        if (st->uploading > 0) {
            _snwprintf(text, TRAY_ITEM_TEXT, L"Uploading %d capture%ls\u2026", st->uploading,
                       st->uploading == 1 ? L"" : L"s");
            text[TRAY_ITEM_TEXT - 1] = 0;
            add(0, TRAY_ITEM_DISABLED, text);
        }
    } else {
        add(1008, 0, L"Link Second Life account\u2026");
    }
    if (st->update_version[0]) {
        wchar_t version[32];
        tray_widen(st->update_version, version, 32);
        _snwprintf(text, TRAY_ITEM_TEXT, L"Update to Ivra %ls\u2026", version);
        text[TRAY_ITEM_TEXT - 1] = 0;
        add(1010, 0, text);
    }
    add(0, TRAY_ITEM_SEPARATOR, L"");
    add(1002, 0, L"Capture screen");
    add(1003, 0, L"Capture window");
    add(1005, 0, L"Capture region");
    add(1011, 0, L"Record clip");
    if (st->replay_enabled) add(1012, 0, L"Save replay");
    add(0, TRAY_ITEM_SEPARATOR, L"");
    add(1004, 0, L"Exit Ivra");
    return n;
}

void tray_decode(bool version4, WPARAM wp, LPARAM lp, unsigned* event, unsigned* id) {
    if (version4) {
        *event = LOWORD(lp);
        *id = HIWORD(lp);
    } else {
        *event = (unsigned)lp;
        *id = (unsigned)wp;
    }
}

int tray_click_event(tray_clicks* c, unsigned event, bool version4, bool shift, uint64_t now, unsigned dbl_ms) {
    switch (event) {
    case WM_LBUTTONUP:
    case NIN_SELECT:
        if (now < c->suppress_until) return TRAY_DO_NOTHING;
        // Version 4 reports one click twice (button up, then select).
        if (c->pending && now - c->last_click < 150) return TRAY_DO_NOTHING;
        c->last_click = now;
        c->pending = shift ? 1011 : 1005;
        return TRAY_DO_START_TIMER;
    case NIN_KEYSELECT:
        if (c->last_click && now - c->last_click < dbl_ms) return TRAY_DO_NOTHING;
        [[fallthrough]];
    case WM_LBUTTONDBLCLK:
        c->pending = 0;
        c->suppress_until = now + dbl_ms;
        return TRAY_DO_SETTINGS;
    case NIN_BALLOONUSERCLICK: return TRAY_DO_BALLOON;
    case WM_CONTEXTMENU: return TRAY_DO_MENU;
    case WM_RBUTTONUP: return version4 ? TRAY_DO_NOTHING : TRAY_DO_MENU;
    default: return TRAY_DO_NOTHING;
    }
}

unsigned tray_click_take(tray_clicks* c) {
    unsigned cmd = c->pending;
    c->pending = 0;
    return cmd;
}

bool tray_url_openable(const char* text) {
    return text && (strncmp(text, "https://", 8) == 0 || strncmp(text, "http://", 7) == 0);
}

bool tray_ring_pixels(int n, uint32_t* px) {
    if (n < 8 || n > 256 || !px) return false;
    for (int i = 0; i < n; i++) {
        unsigned r = 112 - 40 * i / n, g = 172 - 42 * i / n, b = 255 - 12 * i / n;
        for (int j = 0; j < n; j++) {
            int count = 0;
            for (int sy = 0; sy < 8; sy++) {
                double y = (i + (sy + 0.5) / 8.0) / n - 0.5;
                for (int sx = 0; sx < 8; sx++) {
                    double x = (j + (sx + 0.5) / 8.0) / n - 0.5;
                    double u = x + 0.28 * y;
                    double outer = u * u / (0.285 * 0.285) + y * y / (0.395 * 0.395);
                    double inner = u * u / (0.155 * 0.155) + y * y / (0.265 * 0.265);
                    if (outer <= 1.0 && inner >= 1.0) count++;
                }
            }
            unsigned k = (unsigned)(count * 255 + 32) / 64;
            px[i * n + j] = (k << 24) | ((r * k / 255) << 16) | ((g * k / 255) << 8) | (b * k / 255);
        }
    }
    return true;
}

// ---- The icon and the balloons.

bool tray_add(HWND wnd) {
    g_tray_wnd = wnd;
    NOTIFYICONDATAW nid;
    tray_fill(&nid, wnd, NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_SHOWTIP);
    nid.uCallbackMessage = WM_AGENT_TRAY;
    nid.hIcon = tray_icon(wnd);
    tray_copy_wide(nid.szTip, 128, TRAY_TIP);
    if (!Shell_NotifyIconW(NIM_ADD, &nid) && !Shell_NotifyIconW(NIM_MODIFY, &nid)) {
        log_warn("tray icon unavailable; waiting for Explorer");
        return false;
    }
    nid.uVersion = NOTIFYICON_VERSION_4;
    g_tray_version4 = Shell_NotifyIconW(NIM_SETVERSION, &nid) != 0;
    return true;
}

static DWORD WINAPI tray_delete_thread(void* arg) {
    NOTIFYICONDATAW nid;
    tray_fill(&nid, (HWND)arg, 0);
    Shell_NotifyIconW(NIM_DELETE, &nid);
    return 0;
}

void tray_remove(HWND wnd) {
    // Under some shells the removal waits seconds for the shell's own window work; a
    // stopping agent gives it TRAY_REMOVE_WAIT_MS and answers sent messages meanwhile.
    HANDLE t = CreateThread(nullptr, 0, tray_delete_thread, wnd, 0, nullptr);
    if (!t) {
        tray_delete_thread(wnd);
    } else {
        ULONGLONG until = GetTickCount64() + TRAY_REMOVE_WAIT_MS;
        for (;;) {
            ULONGLONG now = GetTickCount64();
            DWORD left = now >= until ? 0 : (DWORD)(until - now);
            DWORD r = MsgWaitForMultipleObjects(1, &t, FALSE, left, QS_SENDMESSAGE);
            if (r != WAIT_OBJECT_0 + 1) break;
            MSG msg;
            PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        }
        DWORD code = STILL_ACTIVE;
        GetExitCodeThread(t, &code);
        if (code == STILL_ACTIVE) log_info("tray: icon removal still pending after %lu ms", TRAY_REMOVE_WAIT_MS);
        CloseHandle(t);
    }
    if (g_tray_icon && g_tray_icon_owned) DestroyIcon(g_tray_icon);
    g_tray_icon = nullptr;
    g_tray_icon_owned = false;
}

void balloon_info(const wchar_t* title, const wchar_t* text, const wchar_t* file) {
    balloon_action(title, text, file && file[0] ? TRAY_ACTION_REVEAL : TRAY_ACTION_NONE, file, nullptr);
}

void balloon_action(const wchar_t* title, const wchar_t* text, int kind, const wchar_t* file, const char* link) {
    tray_remember(kind, file, link);
    log_info("balloon: %ls \u2014 %ls", title, text);
    tray_show_balloon(title, text, NIIF_INFO | NIIF_NOSOUND);
}

void balloon_warning(const wchar_t* title, const wchar_t* text) {
    tray_remember(TRAY_ACTION_NONE, nullptr, nullptr);
    log_warn("balloon: %ls \u2014 %ls", title, text);
    tray_show_balloon(title, text, NIIF_WARNING);
}

void balloon_dismiss(void) { tray_show_balloon(L"", L"", 0); }

// ---- Clicks.

void tray_callback(HWND wnd, WPARAM wp, LPARAM lp) {
    unsigned event = 0, id = 0;
    tray_decode(g_tray_version4, wp, lp, &event, &id);
    if (id != TRAY_ID) return;
    if (event == NIN_POPUPOPEN || event == NIN_POPUPCLOSE || event == WM_MOUSEMOVE) return;
    log_info("tray: event 0x%04x", event);
    unsigned dbl = GetDoubleClickTime();
    bool shift = (GetAsyncKeyState(VK_SHIFT) & 0x8000) != 0;
    switch (tray_click_event(&g_clicks, event, g_tray_version4, shift, GetTickCount64(), dbl)) {
    case TRAY_DO_START_TIMER: SetTimer(wnd, TRAY_CLICK_TIMER, dbl, nullptr); break;
    case TRAY_DO_SETTINGS:
        KillTimer(wnd, TRAY_CLICK_TIMER);
        log_info("tray: open settings");
        PostMessageW(wnd, WM_COMMAND, 1001, 0);
        break;
    case TRAY_DO_BALLOON: {
        AcquireSRWLockShared(&g_balloon_lock);
        int kind = g_balloon_kind;
        ReleaseSRWLockShared(&g_balloon_lock);
        log_info("tray: toast clicked (action %d)", kind);
        if (kind) PostMessageW(wnd, WM_COMMAND, 1007, 0);
        break;
    }
    case TRAY_DO_MENU: tray_menu(wnd, wp); break;
    default: break;
    }
}

void tray_click_timer(HWND wnd) {
    KillTimer(wnd, TRAY_CLICK_TIMER);
    unsigned cmd = tray_click_take(&g_clicks);
    if (!cmd) return;
    log_info("tray: click -> %s", cmd == 1011 ? "clip" : "screenshot");
    PostMessageW(wnd, WM_COMMAND, cmd, 0);
}

void tray_balloon_clicked(HWND) {
    int kind;
    wchar_t file[260];
    char link[256];
    AcquireSRWLockShared(&g_balloon_lock);
    kind = g_balloon_kind;
    memcpy(file, g_balloon_file, sizeof file);
    memcpy(link, g_balloon_link, sizeof link);
    ReleaseSRWLockShared(&g_balloon_lock);
    switch (kind) {
    case TRAY_ACTION_UPLOAD: {
        log_info("toast clicked: upload %ls", file);
        char err[160] = "";
        if (!upload_add(file, nullptr, err, sizeof err)) {
            wchar_t werr[160], text[256];
            tray_widen(err, werr, 160);
            _snwprintf(text, 256, L"Could not upload: %ls.", werr);
            text[255] = 0;
            balloon_warning(L"Ivra", text);
        }
        break;
    }
    case TRAY_ACTION_LINK:
        log_info("toast clicked: open link");
        open_url(link);
        break;
    case TRAY_ACTION_UPDATE: show_settings(7); break;
    default: reveal(file); break;
    }
}

bool tray_note_update(const char* version) {
    if (!version || !version[0] || strncmp(version, g_update_version, sizeof g_update_version - 1) == 0) return false;
    _snprintf(g_update_version, sizeof g_update_version, "%s", version);
    g_update_version[sizeof g_update_version - 1] = 0;
    return true;
}

// ---- Openers.

void show_settings(int page) {
    HWND w = tray_settings_window();
    if (w && PostMessageW(w, RegisterWindowMessageW(L"IvraShowSettings"), (WPARAM)page, 0)) return;
    wchar_t path[260];
    DWORD err = 0;
    if (page == 7) {
        if (!agent_start_settings(L"--page about", path, &err))
            log_warn("settings: cannot start ivra.exe %ls (%lu)", path, err);
        return;
    }
    if (!agent_start_settings(nullptr, path, &err)) {
        log_warn("settings: cannot start ivra.exe %ls (%lu)", path, err);
        balloon_warning(L"Ivra", L"Could not open settings. Check that ivra.exe is beside ivrad.exe.");
    }
}

void exit_request(void) {
    HWND w = tray_settings_window();
    if (w) {
        PostMessageW(w, RegisterWindowMessageW(L"IvraShowSettings"), 0, 0);
        if (PostMessageW(w, RegisterWindowMessageW(L"IvraExitRequest"), 0, 0)) {
            log_info("tray: exit handed to the settings window");
            return;
        }
    }
    PostQuitMessage(0);
}

void open_url(const char* text) {
    if (!tray_url_openable(text)) return;
    wchar_t url[1024];
    tray_widen(text, url, 1024);
    if (!url[0] || !tray_spawn(tray_url_thread, url)) log_warn("open %ls failed", url);
}

void reveal(const wchar_t* path) {
    if (!path || !path[0]) return;
    log_info("toast clicked: reveal %ls", path);
    if (!tray_spawn(tray_reveal_thread, path)) log_warn("reveal %ls failed: no thread (%lu)", path, GetLastError());
}

void open_captures_folder(void) {
    config cfg;
    agent_config_copy(&cfg);
    int rc = SHCreateDirectoryExW(nullptr, cfg.stills_dir, nullptr);
    bool ok = rc == ERROR_SUCCESS || rc == ERROR_ALREADY_EXISTS || rc == ERROR_FILE_EXISTS;
    if (ok) ok = (INT_PTR)ShellExecuteW(nullptr, L"explore", cfg.stills_dir, nullptr, nullptr, SW_SHOWNORMAL) > 32;
    if (!ok) balloon_warning(L"Ivra", L"Could not open the captures folder. Check the Stills folder in settings.");
}

void open_account_online(void) {
    account acc;
    if (account_load(&acc)) open_url(acc.server);
    SecureZeroMemory(&acc, sizeof acc);
}
