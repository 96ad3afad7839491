#include "agent/core/main_window.h"
#include "agent/capture/capture_thread.h"
#include "agent/clips/sounds.h"
#include "agent/core/agent.h"
#include "agent/core/hotkeys.h"
#include "agent/core/messages.h"
#include "agent/core/saved_capture.h"
#include "agent/core/storage_monitor.h"
#include "agent/core/tray.h"
#include "agent/input/broker.h"
#include "agent/maint/update.h"
#include "agent/upload/upload.h"
#include "common/account.h"
#include "common/config_schema.h"
#include "common/log.h"
#include <cstdio>
#include <cwchar>

constexpr UINT_PTR MAIN_WINDOW_UPLOAD_TICK = 2910;
constexpr UINT_PTR MAIN_WINDOW_UPDATE_TICK = 2911;
constexpr UINT_PTR MAIN_WINDOW_CLICK_TIMER = 2912;

const char* main_window_route_name(LPARAM lp) {
    if ((ULONG_PTR)lp > 0x2FFFF) return "none";
    switch ((lp >> 16) & 0xFFFF) {
    case 0: return "registered";
    case 1: return "raw";
    default: return "hook";
    }
}

int main_window_action_digit(int forced, LPARAM lp, int (*poll_held)(void)) {
    if (forced > 0) return forced;
    int digit = (int)(lp & 0xFFFF);
    unsigned route = (unsigned)(((ULONG_PTR)lp >> 16) & 0xFFFF);
    // The hook route already saw every key; polling now would find a digit pressed after the chord.
    if (digit == 0 && route != 2 && poll_held) digit = poll_held();
    return digit;
}

int main_window_poll_digit(void) {
    for (int d = 1; d <= 9; d++) {
        if ((GetAsyncKeyState('0' + d) & 0x8000) || (GetAsyncKeyState(VK_NUMPAD0 + d) & 0x8000)) return d;
    }
    return 0;
}

// When a broker key route reported the digits, its table already chose the chord;
// polling now would find a digit held longer than a chord allows.
static int (*main_window_digit_poller(LPARAM lp))(void) {
    if ((ULONG_PTR)lp > 0x2FFFF) return main_window_poll_digit;
    broker_stats st;
    broker_snapshot(&st);
    return st.running && (st.raw_ready || st.hook_ready) ? nullptr : main_window_poll_digit;
}

static void main_window_action(WPARAM id, LPARAM lp) {
    if (id < 1 || id > HOTKEY_COUNT) return;
    const char* name = hotkey_actions[id - 1].name;
    if (InterlockedCompareExchange(&g_agent.selecting, 0, 0)) {
        log_info("hotkey: %s ignored: a region selection is open", name);
        return;
    }
    int digit = main_window_action_digit(g_agent.forced_digit, lp, main_window_digit_poller(lp));
    log_info("hotkey: %s digit=%d route=%s", name, digit, main_window_route_name(lp));
    // An old notification must not cover the new capture.
    balloon_dismiss();
    if (g_agent.capture_thread_id) PostThreadMessageW(g_agent.capture_thread_id, WM_CAPTURE_ACTION, id, (LPARAM)digit);
}

static void main_window_reload(HWND wnd) {
    log_info("config reloaded");
    config* fresh = (config*)HeapAlloc(GetProcessHeap(), 0, sizeof(config));
    if (!fresh) {
        log_error("config: out of memory; reload skipped");
        return;
    }
    config_load(fresh);
    agent_config_set(fresh);
    hotkeys_unregister(wnd);
    hotkeys_register(wnd, fresh);
    HWND broker = broker_window();
    if (broker) SendMessageW(broker, WM_BROKER_RECONFIGURE, 0, (LPARAM)fresh);
    HeapFree(GetProcessHeap(), 0, fresh);
    storage_wake();
    if (g_agent.capture_thread_id) PostThreadMessageW(g_agent.capture_thread_id, WM_CAPTURE_CONFIG, 0, 0);
    // The client links and unlinks without the agent; a reload is how the queue hears of it.
    upload_account_changed();
}

static void main_window_widen(const char* text, wchar_t* out, int cap) {
    if (!text || MultiByteToWideChar(CP_UTF8, 0, text, -1, out, cap) <= 0) out[0] = 0;
    out[cap - 1] = 0;
}

void main_window_saved_balloon(const saved_capture* rec, const wchar_t* size, bool linked, int upload_mode, bool queued,
                               main_window_balloon* out) {
    wchar_t base[200];
    out->kind = TRAY_ACTION_REVEAL;
    out->warning = 0;
    if (!rec->saved) {
        wchar_t err[SAVED_ERROR_MAX];
        main_window_widen(rec->error, err, SAVED_ERROR_MAX);
        _snwprintf(out->title, 64, L"Clip not saved");
        _snwprintf(out->text, 256, L"Ivra could not save this clip: %ls", err);
        out->text[255] = 0;
        out->kind = TRAY_ACTION_NONE;
        out->warning = 1;
        return;
    }
    const wchar_t* name = agent_path_leaf(rec->path);
    if (rec->still) {
        _snwprintf(out->title, 64, L"Screenshot saved");
        _snwprintf(base, 200, L"%ls - %ls.", name, size);
    } else {
        _snwprintf(out->title, 64, rec->replay ? L"Replay saved" : L"Clip saved");
        _snwprintf(base, 200, L"%.1f s, %ls - %ls.", rec->seconds, size, name);
    }
    base[199] = 0;
    const wchar_t* tail = L"Click to show it.";
    if (linked && upload_mode == 1 && queued) {
        tail = L"Uploading; the link will be copied. Click to show the file.";
    } else if (linked && upload_mode == 0) {
        tail = L"Click to upload it and copy the link.";
        out->kind = TRAY_ACTION_UPLOAD;
    }
    _snwprintf(out->text, 256, L"%ls %ls", base, tail);
    out->text[255] = 0;
}

void main_window_upload_balloon(const upload_notice* n, bool done, bool copied, main_window_balloon* out) {
    const wchar_t* name = agent_path_leaf(n->path);
    if (done) {
        _snwprintf(out->title, 64, n->already_uploaded ? L"Already uploaded" : L"Uploaded");
        _snwprintf(out->text, 256, L"%ls%ls Click to open it.", name, copied ? L" - link copied." : L".");
        out->kind = TRAY_ACTION_LINK;
        out->warning = 0;
    } else {
        wchar_t err[160];
        main_window_widen(n->error, err, 160);
        _snwprintf(out->title, 64, L"Upload failed");
        _snwprintf(out->text, 256, L"%ls: %ls It is still saved on this PC.", name, err);
        out->kind = TRAY_ACTION_NONE;
        out->warning = 1;
    }
    out->text[255] = 0;
}

static void main_window_show(const main_window_balloon* b, const wchar_t* file, const char* link) {
    if (b->warning)
        balloon_warning(b->title, b->text);
    else
        balloon_action(b->title, b->text, b->kind, file, link);
}

// The saved-capture balloon; with upload_mode auto and a linked PC the capture is queued first.
static void main_window_saved(const saved_capture* rec) {
    // Only this thread writes the live configuration, so it reads it without the lock.
    int mode = g_agent.cfg.upload_mode;
    bool linked = rec->saved && upload_linked();
    bool queued = false;
    if (linked && mode == 1) {
        char err[160];
        queued = upload_add(rec->path, nullptr, err, sizeof err);
        if (!queued) log_info("upload: not queued: %s", err);
    }
    wchar_t size[32];
    format_bytes_wide(rec->bytes, size, 32);
    main_window_balloon b;
    main_window_saved_balloon(rec, size, linked, mode, queued, &b);
    main_window_show(&b, rec->path, nullptr);
}

// The link as CF_UNICODETEXT owned by the agent window. False when it could not be placed.
static bool main_window_copy_link(HWND wnd, const char* url) {
    int chars = MultiByteToWideChar(CP_UTF8, 0, url, -1, nullptr, 0);
    if (chars <= 1) return false;
    HGLOBAL mem = GlobalAlloc(GMEM_MOVEABLE, (SIZE_T)chars * sizeof(wchar_t));
    if (!mem) return false;
    wchar_t* text = (wchar_t*)GlobalLock(mem);
    bool ok = text && MultiByteToWideChar(CP_UTF8, 0, url, -1, text, chars) == chars;
    if (text) GlobalUnlock(mem);
    if (ok && OpenClipboard(wnd)) {
        ok = EmptyClipboard() && SetClipboardData(CF_UNICODETEXT, mem);
        CloseClipboard();
    } else {
        ok = false;
    }
    if (!ok) GlobalFree(mem);  // the clipboard owns it only after SetClipboardData succeeded
    return ok;
}

// Upload done or failed for good: the record belongs to this window.
static void main_window_upload_notice(HWND wnd, UINT msg, upload_notice* n) {
    if (!n) return;
    const wchar_t* name = agent_path_leaf(n->path);
    if (msg == WM_AGENT_UPLOAD_DONE) {
        bool copied = n->share_url[0] && main_window_copy_link(wnd, n->share_url);
        log_info("upload: %ls %s; link %s", name, n->already_uploaded ? "was already uploaded" : "uploaded",
                 copied ? "copied" : "not copied");
        main_window_balloon b;
        main_window_upload_balloon(n, true, copied, &b);
        main_window_show(&b, n->path, n->share_url);
    } else {
        log_info("upload: %ls stays on this PC only: %s", name, n->error);
        main_window_balloon b;
        main_window_upload_balloon(n, false, false, &b);
        main_window_show(&b, nullptr, nullptr);
    }
    HeapFree(GetProcessHeap(), 0, n);
}

static void main_window_session_end(void) {
    log_info("session ending: stopping");
    if (!capture_thread_stop(3000)) log_warn("session end: capture thread did not end in 3000 ms");
    agent_launch_record_end();
    log_info("ivrad stopped (Windows session end)");
}

LRESULT CALLBACK main_window_proc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg != 0 && msg == g_agent.msg_reload) {
        main_window_reload(wnd);
        return 0;
    }
    if (msg != 0 && msg == g_agent.msg_taskbar_created) {
        // Explorer restarted and forgot the icon.
        log_info("tray: taskbar created; adding the icon again");
        tray_add(wnd);
        return 0;
    }
    switch (msg) {
    case WM_CLOSE:
    case WM_DESTROY: PostQuitMessage(0); return 0;
    case WM_QUERYENDSESSION:
        log_info("Windows is ending the session (flags 0x%llx)", (unsigned long long)lp);
        return TRUE;
    case WM_ENDSESSION:
        if (wp) main_window_session_end();
        return 0;
    case WM_HOTKEY: {
        // Without the input broker the registered route reports straight to the dispatch.
        HWND broker = broker_window();
        if (!broker || !PostMessageW(broker, WM_BROKER_HOTKEY, wp, (LPARAM)GetMessageTime()))
            PostMessageW(wnd, WM_AGENT_ACTION, wp, 0);
        return 0;
    }
    case WM_AGENT_ACTION: main_window_action(wp, lp); return 0;
    case WM_AGENT_TRAY: tray_callback(wnd, wp, lp); return 0;
    case WM_AGENT_SHOT_FAILED:
        log_warn("capture: screenshot not saved");
        balloon_warning(
            L"Screenshot not saved",
            L"Ivra could not capture or save this screenshot. Please try again; details are in the agent log.");
        if (g_agent.cfg.play_sound) sounds_play_warning();
        return 0;
    case WM_AGENT_SAVED: {
        saved_capture* rec = (saved_capture*)lp;
        if (!rec) return 0;
        if (!rec->saved) {
            log_warn("%s: not saved: %s", rec->replay ? "replay" : "clip", rec->error);
            if (g_agent.cfg.play_sound) sounds_play_warning();
        } else if (!rec->still)
            log_info("%s: saved %ls (%.1f s, %llu bytes)", rec->replay ? "replay" : "clip", rec->path, rec->seconds,
                     (unsigned long long)rec->bytes);
        else
            log_info("capture: saved %ls (%llu bytes)", rec->path, (unsigned long long)rec->bytes);
        main_window_saved(rec);
        saved_capture_free(rec);
        return 0;
    }
    case WM_AGENT_DEBUG_SLEEP:
        log_warn("debug: main thread sleeping %llu ms", (unsigned long long)wp);
        Sleep((DWORD)wp);
        return 0;
    case WM_COMMAND: {
        static const struct {
            WORD cmd;
            WPARAM action;
        } posts[] = {{1002, HOTKEY_SCREEN},
                     {1003, HOTKEY_WINDOW},
                     {1005, HOTKEY_REGION},
                     {1011, HOTKEY_CLIP},
                     {1012, HOTKEY_REPLAY}};
        for (const auto& p : posts)
            if (LOWORD(wp) == p.cmd) PostMessageW(wnd, WM_AGENT_ACTION, p.action, AGENT_ACTION_NO_ROUTE);
        switch (LOWORD(wp)) {
        case 1001: show_settings(0); break;
        case 1004: exit_request(); break;
        case 1006: open_captures_folder(); break;
        case 1007: tray_balloon_clicked(wnd); break;
        case 1008: {
            wchar_t path[260];
            DWORD err = 0;
            if (!agent_start_settings(L"--link", path, &err))
                log_warn("account: cannot start ivra.exe %ls (%lu)", path, err);
            break;
        }
        case 1009: open_account_online(); break;
        case 1010: show_settings(7); break;
        default: break;
        }
        return 0;
    }
    case WM_TIMER:
        if (wp == MAIN_WINDOW_UPLOAD_TICK)
            upload_pump();  // starts items whose back-off ran out
        else if (wp == MAIN_WINDOW_UPDATE_TICK)
            update_daily_tick();
        else if (wp == MAIN_WINDOW_CLICK_TIMER)
            tray_click_timer(wnd);
        return 0;
    case WM_AGENT_UPLOAD_DONE:
    case WM_AGENT_UPLOAD_FAILED: main_window_upload_notice(wnd, msg, (upload_notice*)lp); return 0;
    case WM_AGENT_UNLINKED:
        account_delete();
        upload_account_changed();
        balloon_warning(L"Ivra account disconnected", L"This PC is no longer linked, so captures stay on this PC. Link "
                                                      L"again from the tray menu or Settings.");
        return 0;
    case WM_AGENT_UPDATE_READY: {
        char* version = (char*)lp;
        if (version && tray_note_update(version)) {
            wchar_t wide[32], title[64];
            if (MultiByteToWideChar(CP_UTF8, 0, version, -1, wide, 32) <= 0) wide[0] = 0;
            wide[31] = 0;
            _snwprintf(title, 64, L"Ivra %ls is available", wide);
            title[63] = 0;
            balloon_action(title, L"Click to see it and install when you're ready.", TRAY_ACTION_UPDATE, nullptr,
                           nullptr);
        }
        if (version) HeapFree(GetProcessHeap(), 0, version);
        return 0;
    }
    case WM_AGENT_REVEAL_GONE: balloon_warning(L"Ivra", L"That file is no longer there."); return 0;
    default: return DefWindowProcW(wnd, msg, wp, lp);
    }
}

HWND main_window_create(HINSTANCE instance) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = main_window_proc;
    wc.hInstance = instance;
    wc.lpszClassName = L"IvraAgentWnd";
    if (!RegisterClassExW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return nullptr;
    return CreateWindowExW(WS_EX_NOACTIVATE | WS_EX_TOOLWINDOW, L"IvraAgentWnd", L"Ivra", WS_POPUP, 0, 0, 0, 0, nullptr,
                           nullptr, instance, nullptr);
}
