#include "agent/overlay/selection_input.h"
#include "agent/core/messages.h"
#include "agent/input/broker.h"
#include "common/log.h"
#include <cstdio>
#include <cstdlib>
#include <cstring>

// ---- Pure helpers

namespace {

int64_t selection_input_floor_div100(int64_t v) { return v >= 0 ? v / 100 : -((-v + 99) / 100); }

int64_t selection_input_clamp64(int64_t v, int64_t lo, int64_t hi) { return v < lo ? lo : v > hi ? hi : v; }

}  // namespace

void selection_input_raw_step(int64_t* x100, int64_t* y100, LONG dx, LONG dy, int percent, const RECT* screen) {
    // The last hundredth inside the right and bottom edges: whole pixels stay on the screen.
    const int64_t right = screen->right > screen->left ? (int64_t)screen->right * 100 - 1 : (int64_t)screen->left * 100;
    const int64_t bottom =
        screen->bottom > screen->top ? (int64_t)screen->bottom * 100 - 1 : (int64_t)screen->top * 100;
    *x100 = selection_input_clamp64(*x100 + (int64_t)percent * dx, (int64_t)screen->left * 100, right);
    *y100 = selection_input_clamp64(*y100 + (int64_t)percent * dy, (int64_t)screen->top * 100, bottom);
}

bool selection_input_recentre_check(DWORD* ref_time, POINT* ref_cursor, int64_t* motion, DWORD time, POINT cursor,
                                    LONG dx, LONG dy) {
    // The first report after the overlay showed starts the clock: a lone burst (Wine sends one
    // as the window appears) must not count the quiet time before it as motion time.
    if (*motion < 0) {
        *ref_time = time;
        *motion = 0;
    }
    *motion += llabs((long long)dx) + llabs((long long)dy);
    const int32_t t = (int32_t)(time - *ref_time);
    const bool followed = labs(cursor.x - ref_cursor->x) > 4 || labs(cursor.y - ref_cursor->y) > 4;
    if (t < 120 || *motion < 80 || followed) {
        if (t >= 250) {
            *ref_time = time;
            *ref_cursor = cursor;
            *motion = 0;
        }
        return false;
    }
    return true;
}

int selection_input_clamp_percent(int percent) { return percent < 25 ? 25 : percent > 400 ? 400 : percent; }

// ---- The overlay's input

namespace {

POINT selection_input_pointer(const overlay_input* in) {
    return POINT{(LONG)selection_input_floor_div100(in->raw_x100), (LONG)selection_input_floor_div100(in->raw_y100)};
}

void selection_input_send_mode(overlay_state* s, int mode, const char* reason) {
    HWND b = broker_window();
    if (!b || !s->input.session) return;
    broker_mouse_mode m{};
    m.mode = mode;
    snprintf(m.reason, sizeof m.reason, "%s", reason);
    SendMessageW(b, WM_BROKER_MOUSE_MODE, (WPARAM)s->input.session, (LPARAM)&m);
}

void selection_input_send_focus(overlay_state* s) {
    HWND b = broker_window();
    if (!b || !s->input.session) return;
    LPARAM flags = MAKELPARAM(s->input.focus_option ? 1 : 0, s->input.focus_owned ? 1 : 0);
    SendMessageW(b, WM_BROKER_FOCUS_FLAGS, (WPARAM)s->input.session, flags);
}

// A borderless window covering its whole monitor, as a full-screen game shows itself.
bool selection_input_borderless_fullscreen(HWND w, HWND self) {
    if (!w || w == self || (GetWindowLongW(w, GWL_STYLE) & WS_CAPTION) == WS_CAPTION) return false;
    wchar_t cls[64] = L"";
    GetClassNameW(w, cls, 64);
    if (wcscmp(cls, L"Progman") == 0 || wcscmp(cls, L"WorkerW") == 0) return false;
    RECT wr{};
    MONITORINFO mi{};
    mi.cbSize = sizeof mi;
    HMONITOR m = MonitorFromWindow(w, MONITOR_DEFAULTTONULL);
    return m && GetWindowRect(w, &wr) && GetMonitorInfoW(m, &mi) && EqualRect(&wr, &mi.rcMonitor);
}

LPARAM selection_input_client_lparam(const overlay_state* s, POINT p) {
    return MAKELPARAM((WORD)(SHORT)(p.x - s->screen.left), (WORD)(SHORT)(p.y - s->screen.top));
}

// Replays one raw packet as the overlay's own mouse messages.
void selection_input_synthesize(overlay_state* s, const broker_mouse_packet* pk) {
    const POINT p = selection_input_pointer(&s->input);
    const LPARAM lp = selection_input_client_lparam(s, p);
    const WPARAM keys = (pk->mods & MOD_SHIFT) ? MK_SHIFT : 0;
    s->input.synthesizing = 1;
    SendMessageW(s->wnd, WM_MOUSEMOVE, keys, lp);
    if (!s->closing && (pk->button_flags & RI_MOUSE_LEFT_BUTTON_DOWN))
        SendMessageW(s->wnd, WM_LBUTTONDOWN, keys | MK_LBUTTON, lp);
    if (!s->closing && (pk->button_flags & RI_MOUSE_LEFT_BUTTON_UP)) SendMessageW(s->wnd, WM_LBUTTONUP, keys, lp);
    if (!s->closing && (pk->button_flags & RI_MOUSE_RIGHT_BUTTON_DOWN))
        SendMessageW(s->wnd, WM_RBUTTONDOWN, keys | MK_RBUTTON, lp);
    s->input.synthesizing = 0;
}

void selection_input_raw_packets(overlay_state* s) {
    broker_mouse_packet packets[BROKER_MOUSE_QUEUE_MAX];
    int overflow = 0;
    int n = broker_drain_mouse(s->input.session, packets, &overflow);
    if (overflow) {
        log_warn("overlay: raw mouse queue overflow; selection cancelled");
        s->cancel(s);
        return;
    }
    for (int i = 0; i < n && !s->closing; i++) {
        const broker_mouse_packet* pk = &packets[i];
        overlay_input* in = &s->input;
        if (in->mode == BROKER_MOUSE_RAW) {
            if (pk->absolute) {
                POINT c = selection_clamp(&s->screen, POINT{pk->screen_x, pk->screen_y});
                in->raw_x100 = (int64_t)c.x * 100;
                in->raw_y100 = (int64_t)c.y * 100;
            } else {
                selection_input_raw_step(&in->raw_x100, &in->raw_y100, pk->dx, pk->dy, in->raw_percent, &s->screen);
            }
            selection_input_synthesize(s, pk);
            continue;
        }
        // Native mode chosen by itself: a cursor that stays put while the mouse moves is pinned by
        // the program under the overlay, so the overlay drives its own pointer from raw motion.
        if (in->requested != 0 || pk->absolute || s->sel.dragging) continue;
        // A packet may carry the cursor from before the motion it reports (Wine queues the raw
        // report ahead of moving the cursor); a cursor seen away from the reference now has followed.
        POINT now{};
        if (GetCursorPos(&now) && (labs(now.x - in->ref_cursor.x) > 4 || labs(now.y - in->ref_cursor.y) > 4)) {
            in->ref_time = pk->time;
            in->ref_cursor = now;
            in->ref_motion = 0;
            continue;
        }
        if (!selection_input_recentre_check(&in->ref_time, &in->ref_cursor, &in->ref_motion, pk->time, pk->cursor,
                                            pk->dx, pk->dy))
            continue;
        in->mode = BROKER_MOUSE_RAW;
        in->raw_x100 = (int64_t)s->sel.hover.x * 100;
        in->raw_y100 = (int64_t)s->sel.hover.y * 100;
        selection_input_send_mode(s, BROKER_MOUSE_RAW, "cursor_recentered");
        log_info("overlay input: raw (cursor_recentered)");
    }
}

bool selection_input_is_mouse(UINT msg) {
    return msg == WM_MOUSEMOVE || msg == WM_LBUTTONDOWN || msg == WM_LBUTTONUP || msg == WM_RBUTTONDOWN ||
           msg == WM_RBUTTONUP || msg == WM_LBUTTONDBLCLK || msg == WM_RBUTTONDBLCLK || msg == WM_MBUTTONDOWN ||
           msg == WM_MBUTTONUP;
}

}  // namespace

bool selection_input_setup(overlay_state* s) {
    overlay_input* in = &s->input;
    in->prev_foreground = GetForegroundWindow();
    in->prev_pid = 0;
    if (in->prev_foreground) GetWindowThreadProcessId(in->prev_foreground, &in->prev_pid);
    in->raw_percent = selection_input_clamp_percent(in->raw_percent);

    HWND b = broker_window();
    uint64_t session = b ? (uint64_t)SendMessageW(b, WM_BROKER_ATTACH, (WPARAM)s->wnd, 0) : 0;
    if (!session) {
        log_warn("overlay: input broker unavailable or selection already active");
        return false;
    }
    in->session = session;
    broker_stats st{};
    broker_snapshot(&st);
    in->mouse_ready = st.mouse_ready;
    in->key_route = st.raw_ready || st.hook_ready;
    if (!in->key_route && !in->focus_option) {
        log_warn("overlay: preserving focus requires a keyboard input route");
        selection_input_detach(s);
        return false;
    }

    RECT clip{};
    const bool confined = GetClipCursor(&clip) && !EqualRect(&clip, &s->screen);
    const char* reason;
    if (in->requested == 2) {
        if (!in->mouse_ready) {
            log_warn("overlay: raw mouse requested but registration failed (%lu)", st.mouse_error);
            in->mode = -1;
            selection_input_detach(s);
            return false;
        }
        in->mode = BROKER_MOUSE_RAW;
        reason = "forced_raw";
    } else if (in->requested == 1) {
        in->mode = BROKER_MOUSE_NATIVE;
        reason = "forced_native";
    } else if (confined && in->mouse_ready) {
        in->mode = BROKER_MOUSE_RAW;
        reason = "cursor_confined";
    } else {
        in->mode = BROKER_MOUSE_NATIVE;
        reason = in->mouse_ready ? "native_available" : "raw_unavailable";
    }

    POINT cur{};
    GetCursorPos(&cur);
    in->raw_x100 = (int64_t)cur.x * 100;
    in->raw_y100 = (int64_t)cur.y * 100;
    in->ref_cursor = cur;
    in->ref_time = GetTickCount();
    in->ref_motion = -1;
    selection_input_send_mode(s, in->mode, reason);
    log_info("overlay input: %s (%s), capture_focus=%d", in->mode == BROKER_MOUSE_RAW ? "raw" : "native", reason,
             in->focus_option);
    return true;
}

void selection_input_show(overlay_state* s) {
    overlay_input* in = &s->input;
    if (in->focus_option) {
        ShowWindow(s->wnd, SW_SHOW);
        SetForegroundWindow(s->wnd);
        if (GetForegroundWindow() != s->wnd) log_warn("overlay: focus request denied; game may still receive input");
    } else {
        if (!s->live) {
            HWND fg = GetForegroundWindow();
            wchar_t cls[64] = L"";
            if (selection_input_borderless_fullscreen(fg, s->wnd)) GetClassNameW(fg, cls, 64);
            log_info("overlay: preserving foreground focus (%ls)", cls);
        }
        ShowWindow(s->wnd, SW_SHOWNOACTIVATE);
    }
    in->focus_owned = GetForegroundWindow() == s->wnd;
    selection_input_send_focus(s);
}

void selection_input_detach(overlay_state* s) {
    if (!s->input.session) return;
    HWND b = broker_window();
    if (b) SendMessageW(b, WM_BROKER_DETACH, (WPARAM)s->input.session, 0);
    s->input.session = 0;
    s->input.focus_owned = 0;
}

bool selection_input_message(overlay_state* s, UINT msg, WPARAM wp, LPARAM lp, LRESULT* result) {
    overlay_input* in = &s->input;
    switch (msg) {
    case WM_SELECTION_KEY: {
        *result = 0;
        if (s->closing || !in->session || (uint64_t)lp != in->session) return true;
        const UINT vk = (UINT)(wp & 0xFFFF);
        const bool pressed = ((wp >> 16) & 1) != 0;
        in->forwarded = 1;
        SendMessageW(s->wnd, pressed ? WM_KEYDOWN : WM_KEYUP, vk, pressed ? 1 : (LPARAM)0xC0000001);
        in->forwarded = 0;
        return true;
    }
    case WM_SELECTION_RAW_MOUSE:
        *result = 0;
        if (!s->closing && in->session && (uint64_t)wp == in->session) selection_input_raw_packets(s);
        return true;
    case WM_KEYDOWN:
    case WM_KEYUP:
    case WM_SYSKEYDOWN:
    case WM_SYSKEYUP:
        // With a key route the broker already forwards these keys; the window's own copy would count twice.
        if (in->key_route && !in->forwarded) {
            *result = 0;
            return true;
        }
        return false;
    case WM_MOUSEACTIVATE:
        if (!in->focus_option) {
            *result = MA_NOACTIVATE;
            return true;
        }
        return false;
    case WM_ACTIVATE:
        if (LOWORD(wp) != WA_INACTIVE) {
            if (in->focus_option && !in->focus_owned && !s->closing) {
                in->focus_owned = 1;
                selection_input_send_focus(s);
            }
            return false;
        }
        if (in->focus_owned && !s->closing) {
            // The user chose another window: leave the focus where it went.
            in->prev_foreground = nullptr;
            in->focus_owned = 0;
            s->cancel(s);
        }
        *result = 0;
        return true;
    default: break;
    }
    if (selection_input_is_mouse(msg) && in->mode == BROKER_MOUSE_RAW && !in->synthesizing) {
        *result = 0;
        return true;
    }
    return false;
}
