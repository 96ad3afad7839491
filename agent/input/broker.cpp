#include "agent/input/broker.h"
#include "agent/maint/watchdog.h"
#include "agent/core/messages.h"
#include "agent/input/arbiter.h"
#include "common/log.h"
#include <cstring>

namespace {

constexpr UINT_PTR BROKER_SWEEP_TIMER = 1;
constexpr UINT BROKER_SWEEP_MS = 16;
constexpr DWORD BROKER_READY_WAIT_MS = 5000;
constexpr wchar_t BROKER_CLASS[] = L"IvraInputBroker";

// Owned by the broker thread; the hook procedure runs on that thread too.
struct broker_thread_state {
    HWND agent;
    config cfg;
    arbiter arb;
    arbiter_hook hook_keys;
    HHOOK hook;
    int raw_enabled, hook_enabled, raw_ready, hook_ready;
    unsigned long raw_error, hook_error;
    int mouse_ready;
    unsigned long mouse_error;
    int mouse_mode;
    char mouse_reason[BROKER_REASON_MAX];
    int focus_requested, focus_owned;
    uint64_t last_session;
};

// The selection client and its queue: written by the broker thread under the lock,
// drained by the client's thread under it. The broker thread reads them without it.
struct broker_client {
    HWND wnd;
    uint64_t session;
    uint32_t attach_time;
    arbiter_mouse_queue queue;
};

broker_stats broker_stats_idle(void) {
    broker_stats s{};
    s.last_route = BROKER_ROUTE_NONE;
    return s;
}

SRWLOCK g_lock = SRWLOCK_INIT;
broker_client g_client;                          // under g_lock
broker_stats g_published = broker_stats_idle();  // under g_lock
broker_thread_state g_bt;
HANDLE g_thread, g_ready, g_stop;
HWND volatile g_wnd;

bool broker_key_down(int vk, void*) {
    // A key the hook swallowed for the selection never reaches the system's key
    // state, so the hook's own view is the physical one until its release passes.
    return (GetAsyncKeyState(vk) & 0x8000) != 0 || g_bt.hook_keys.swallowed[vk & 0xFF];
}

void broker_publish(void) {
    broker_stats s{};
    const arbiter_counters& c = g_bt.arb.counters;
    s.running = g_wnd != nullptr;
    s.raw_enabled = g_bt.raw_enabled;
    s.hook_enabled = g_bt.hook_enabled;
    s.raw_ready = g_bt.raw_ready;
    s.hook_ready = g_bt.hook_ready;
    s.raw_error = g_bt.raw_error;
    s.hook_error = g_bt.hook_error;
    s.mouse_ready = g_bt.mouse_ready;
    s.mouse_error = g_bt.mouse_error;
    s.registered_events = c.events[BROKER_ROUTE_REGISTERED];
    s.raw_events = c.events[BROKER_ROUTE_RAW];
    s.hook_events = c.events[BROKER_ROUTE_HOOK];
    s.mouse_packets = c.mouse_packets;
    s.registered_activations = c.activations[BROKER_ROUTE_REGISTERED];
    s.raw_activations = c.activations[BROKER_ROUTE_RAW];
    s.hook_activations = c.activations[BROKER_ROUTE_HOOK];
    s.duplicates = c.duplicates;
    s.stale = c.stale;
    s.blocked = c.blocked;
    s.dropped = c.dropped;
    s.last_route = c.last_route;
    s.last_action = c.last_action;
    s.session_active = g_client.wnd != nullptr;
    s.mouse_mode = g_bt.mouse_mode;
    memcpy(s.mouse_reason, g_bt.mouse_reason, sizeof s.mouse_reason);
    s.focus_requested = g_bt.focus_requested;
    s.focus_owned = g_bt.focus_owned;
    AcquireSRWLockExclusive(&g_lock);
    g_published = s;
    ReleaseSRWLockExclusive(&g_lock);
}

void broker_dispatch(int id, int route, uint32_t time) {
    int digit = arbiter_chord_digit(&g_bt.arb, time);
    if (!PostMessageW(g_bt.agent, WM_AGENT_ACTION, (WPARAM)id, (LPARAM)((route << 16) | digit)))
        g_bt.arb.counters.dropped++;
}

// A press the open selection blocked is told in the log as the agent window tells an ignored action.
void broker_log_blocked(uint64_t blocked_before) {
    const arbiter_counters* c = &g_bt.arb.counters;
    if (c->blocked != blocked_before && c->last_blocked >= 1 && c->last_blocked <= HOTKEY_COUNT)
        log_info("hotkey: %s ignored: a region selection is open", hotkey_actions[c->last_blocked - 1].name);
}

void broker_key(int route, int vk, bool pressed, uint32_t time) {
    arbiter_client client{g_client.wnd != nullptr, g_client.attach_time};
    const uint64_t blocked = g_bt.arb.counters.blocked;
    arbiter_outcome out;
    if (!arbiter_key_event(&g_bt.arb, route, vk, pressed, time, &client, &out)) return;
    if (out.forward) {
        WPARAM key = (WPARAM)(out.forward_vk | (out.forward_pressed ? 1 << 16 : 0));
        if (!PostMessageW(g_client.wnd, WM_SELECTION_KEY, key, (LPARAM)g_client.session)) g_bt.arb.counters.dropped++;
    }
    if (out.action) broker_dispatch(out.action, route, time);
    broker_log_blocked(blocked);
    broker_publish();
}

void broker_registered(int id, uint32_t time) {
    const uint64_t blocked = g_bt.arb.counters.blocked;
    int action = arbiter_registered_press(&g_bt.arb, id, time, g_client.wnd != nullptr);
    if (action) broker_dispatch(action, BROKER_ROUTE_REGISTERED, time);
    broker_log_blocked(blocked);
    if (id >= 1 && id <= HOTKEY_COUNT) {
        // RegisterHotKey reports no release; a key already up would otherwise look held
        // until the sweep, and a quick second press would count as a repeat.
        int vk = (int)g_bt.cfg.hotkeys[id - 1].vk;
        if (vk > 0 && vk < ARBITER_KEYS && g_bt.arb.keys[vk].down && !(GetAsyncKeyState(vk) & 0x8000))
            arbiter_record_release(&g_bt.arb, vk, GetTickCount());
    }
    broker_publish();
}

LRESULT CALLBACK broker_hook_proc(int code, WPARAM wp, LPARAM lp) {
    if (code == HC_ACTION && lp) {
        const KBDLLHOOKSTRUCT* k = (const KBDLLHOOKSTRUCT*)lp;
        bool press = wp == WM_KEYDOWN || wp == WM_SYSKEYDOWN;
        bool key_message = press || wp == WM_KEYUP || wp == WM_SYSKEYUP;
        if (key_message && k->vkCode < ARBITER_KEYS) {
            int vk = arbiter_normalise((int)k->vkCode, (k->flags & LLKHF_EXTENDED) != 0, k->scanCode);
            HWND wnd = g_wnd;
            if (wnd && arbiter_watched(&g_bt.arb, vk) &&
                !PostMessageW(wnd, WM_BROKER_HOOK_KEY, (WPARAM)(vk | (press ? 1 << 16 : 0)), (LPARAM)k->time))
                g_bt.arb.counters.dropped++;
            if (arbiter_hook_swallow(&g_bt.hook_keys, vk, press, g_client.wnd != nullptr)) return 1;
        }
    }
    return CallNextHookEx(nullptr, code, wp, lp);
}

void broker_unhook(void) {
    if (!g_bt.hook) return;
    UnhookWindowsHookEx(g_bt.hook);
    g_bt.hook = nullptr;
    // Without the hook no release will clear a swallowed mark.
    memset(&g_bt.hook_keys, 0, sizeof g_bt.hook_keys);
}

bool broker_register_raw(USHORT usage, HWND target, bool on, unsigned long* err) {
    RAWINPUTDEVICE rid{};
    rid.usUsagePage = 1;
    rid.usUsage = usage;
    rid.dwFlags = on ? RIDEV_INPUTSINK | RIDEV_DEVNOTIFY : RIDEV_REMOVE;
    rid.hwndTarget = on ? target : nullptr;
    bool ok = RegisterRawInputDevices(&rid, 1, sizeof rid) != FALSE;
    if (err) *err = ok ? 0 : GetLastError();
    return ok;
}

void broker_configure(HWND wnd, const config* cfg) {
    if (cfg != &g_bt.cfg) g_bt.cfg = *cfg;
    broker_unhook();
    arbiter_configure(&g_bt.arb, g_bt.cfg.hotkeys, GetTickCount(), broker_key_down, nullptr);

    g_bt.raw_enabled = g_bt.cfg.hotkey_raw != 0;
    g_bt.raw_error = 0;
    if (g_bt.raw_enabled) {
        g_bt.raw_ready = broker_register_raw(6, wnd, true, &g_bt.raw_error);
        if (!g_bt.raw_ready) log_warn("input: raw keyboard registration failed %lu", g_bt.raw_error);
    } else {
        // Removing a registration that never existed fails; that is no error of this route.
        broker_register_raw(6, wnd, false, nullptr);
        g_bt.raw_ready = 0;
    }

    g_bt.hook_enabled = g_bt.cfg.hotkey_hook != 0;
    g_bt.hook_error = 0;
    if (g_bt.hook_enabled) {
        g_bt.hook = SetWindowsHookExW(WH_KEYBOARD_LL, broker_hook_proc, GetModuleHandleW(nullptr), 0);
        if (!g_bt.hook) {
            g_bt.hook_error = GetLastError();
            log_warn("input: keyboard hook failed %lu", g_bt.hook_error);
        }
    }
    g_bt.hook_ready = g_bt.hook != nullptr;
    broker_publish();
}

LRESULT broker_attach(HWND wnd, HWND client) {
    if (g_client.wnd || !client || WaitForSingleObject(g_stop, 0) == WAIT_OBJECT_0) return 0;
    uint64_t session = g_bt.last_session + 1;
    if (session == 0 || session == ~0ull) session = 1;
    g_bt.last_session = session;
    AcquireSRWLockExclusive(&g_lock);
    g_client.wnd = client;
    g_client.session = session;
    g_client.attach_time = GetTickCount();
    memset(&g_client.queue, 0, sizeof g_client.queue);
    ReleaseSRWLockExclusive(&g_lock);
    g_bt.mouse_ready = broker_register_raw(2, wnd, true, &g_bt.mouse_error);
    if (!g_bt.mouse_ready) log_warn("input: raw mouse registration failed %lu", g_bt.mouse_error);
    broker_publish();
    return (LRESULT)session;
}

bool broker_detach(uint64_t session) {
    if (!g_client.wnd || session != g_client.session) return false;
    if (g_bt.mouse_ready) broker_register_raw(2, nullptr, false, nullptr);
    AcquireSRWLockExclusive(&g_lock);
    g_client.wnd = nullptr;
    memset(&g_client.queue, 0, sizeof g_client.queue);
    ReleaseSRWLockExclusive(&g_lock);
    g_bt.mouse_ready = 0;
    g_bt.focus_owned = 0;
    broker_publish();
    return true;
}

void broker_raw_mouse(const RAWMOUSE* m, uint32_t time) {
    HWND client = g_client.wnd;
    if (!client || (int32_t)(time - g_client.attach_time) < 0) return;
    g_bt.arb.counters.mouse_packets++;
    broker_mouse_packet p{};
    p.dx = m->lLastX;
    p.dy = m->lLastY;
    p.button_flags = m->usButtonFlags;
    p.button_data = m->usButtonData;
    p.mods = arbiter_mods(&g_bt.arb);
    p.absolute = (m->usFlags & MOUSE_MOVE_ABSOLUTE) != 0;
    if (p.absolute) {
        bool virt = (m->usFlags & MOUSE_VIRTUAL_DESKTOP) != 0;
        int ox = virt ? GetSystemMetrics(SM_XVIRTUALSCREEN) : 0, oy = virt ? GetSystemMetrics(SM_YVIRTUALSCREEN) : 0;
        int cx = GetSystemMetrics(virt ? SM_CXVIRTUALSCREEN : SM_CXSCREEN);
        int cy = GetSystemMetrics(virt ? SM_CYVIRTUALSCREEN : SM_CYSCREEN);
        p.screen_x = arbiter_mouse_scale(m->lLastX, ox, cx);
        p.screen_y = arbiter_mouse_scale(m->lLastY, oy, cy);
    }
    p.time = time;
    GetCursorPos(&p.cursor);

    AcquireSRWLockExclusive(&g_lock);
    int pushed = arbiter_mouse_push(&g_client.queue, &p);
    bool notify = !g_client.queue.notify_pending;
    g_client.queue.notify_pending = 1;
    ReleaseSRWLockExclusive(&g_lock);
    if (pushed == ARBITER_MOUSE_OVERFLOW) g_bt.arb.counters.dropped++;
    if (notify && !PostMessageW(client, WM_SELECTION_RAW_MOUSE, (WPARAM)g_client.session, 0)) {
        g_bt.arb.counters.dropped++;
        AcquireSRWLockExclusive(&g_lock);
        g_client.queue.notify_pending = 0;
        ReleaseSRWLockExclusive(&g_lock);
    }
    broker_publish();
}

void broker_input(HRAWINPUT handle) {
    alignas(8) BYTE buf[sizeof(RAWINPUT) + 64];
    UINT size = sizeof buf;
    if (GetRawInputData(handle, RID_INPUT, buf, &size, sizeof(RAWINPUTHEADER)) == (UINT)-1) return;
    const RAWINPUT* ri = (const RAWINPUT*)buf;
    uint32_t time = (uint32_t)GetMessageTime();
    if (ri->header.dwType == RIM_TYPEKEYBOARD) {
        const RAWKEYBOARD& kb = ri->data.keyboard;
        if (kb.VKey == 0 || kb.VKey >= 255) return;
        int vk = arbiter_normalise(kb.VKey, (kb.Flags & RI_KEY_E0) != 0, kb.MakeCode);
        broker_key(BROKER_ROUTE_RAW, vk, (kb.Flags & RI_KEY_BREAK) == 0, time);
    } else if (ri->header.dwType == RIM_TYPEMOUSE) {
        broker_raw_mouse(&ri->data.mouse, time);
    }
}

void broker_sweep(void) {
    if (arbiter_sweep(&g_bt.arb, GetTickCount(), broker_key_down, nullptr)) broker_publish();
}

LRESULT CALLBACK broker_wnd_proc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_INPUT: broker_input((HRAWINPUT)lp); return DefWindowProcW(wnd, msg, wp, lp);  // frees the input's buffer
    case WM_INPUT_DEVICE_CHANGE: broker_sweep(); return 0;
    case WM_TIMER:
        if (wp == BROKER_SWEEP_TIMER) broker_sweep();
        return 0;
    case WM_BROKER_HOOK_KEY:
        broker_key(BROKER_ROUTE_HOOK, (int)(wp & 0xFFFF), ((wp >> 16) & 1) != 0, (uint32_t)lp);
        return 0;
    case WM_BROKER_HOTKEY: broker_registered((int)wp, (uint32_t)lp); return 0;
    case WM_BROKER_RECONFIGURE:
        if (lp) broker_configure(wnd, (const config*)lp);
        return 0;
    case WM_BROKER_ATTACH: return broker_attach(wnd, (HWND)wp);
    case WM_BROKER_DETACH: return broker_detach((uint64_t)wp) ? 1 : 0;
    case WM_BROKER_MOUSE_MODE: {
        const broker_mouse_mode* mode = (const broker_mouse_mode*)lp;
        if (!mode || !g_client.wnd || (uint64_t)wp != g_client.session) return 0;
        g_bt.mouse_mode = mode->mode;
        memcpy(g_bt.mouse_reason, mode->reason, sizeof g_bt.mouse_reason);
        g_bt.mouse_reason[BROKER_REASON_MAX - 1] = 0;
        broker_publish();
        return 1;
    }
    case WM_BROKER_FOCUS_FLAGS:
        if (!g_client.wnd || (uint64_t)wp != g_client.session) return 0;
        g_bt.focus_requested = LOWORD(lp) != 0;
        g_bt.focus_owned = HIWORD(lp) != 0;
        broker_publish();
        return 1;
    default: return DefWindowProcW(wnd, msg, wp, lp);
    }
}

HWND broker_create_window(void) {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = broker_wnd_proc;
    wc.hInstance = instance;
    wc.lpszClassName = BROKER_CLASS;
    if (!RegisterClassExW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) return nullptr;
    return CreateWindowExW(0, BROKER_CLASS, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, nullptr);
}

void broker_loop(void) {
    for (;;) {
        DWORD r = MsgWaitForMultipleObjectsEx(1, &g_stop, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        if (r != WAIT_OBJECT_0 + 1) {
            if (r == WAIT_FAILED) log_error("input: wait failed (%lu); stopping", GetLastError());
            return;
        }
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) return;
            DispatchMessageW(&msg);
        }
    }
}

DWORD WINAPI broker_thread_main(void*) {
    log_thread_name(L"ivra-input");
    HWND wnd = broker_create_window();
    if (!wnd) {
        log_error("input: broker window not created (%lu)", GetLastError());
        SetEvent(g_ready);
        return 1;
    }
    g_wnd = wnd;
    int watch_slot = watchdog_register("input", wnd, 0);
    broker_configure(wnd, &g_bt.cfg);
    SetTimer(wnd, BROKER_SWEEP_TIMER, BROKER_SWEEP_MS, nullptr);
    SetEvent(g_ready);

    broker_loop();

    g_wnd = nullptr;
    HWND client = g_client.wnd;
    if (client) {
        PostMessageW(client, WM_CLOSE, 0, 0);
        broker_detach(g_client.session);
    }
    if (g_bt.raw_ready) broker_register_raw(6, nullptr, false, nullptr);
    g_bt.raw_ready = 0;
    broker_unhook();
    g_bt.hook_ready = 0;
    KillTimer(wnd, BROKER_SWEEP_TIMER);
    broker_publish();
    watchdog_unregister(watch_slot);
    DestroyWindow(wnd);
    return 0;
}

void broker_close_handles(void) {
    if (g_thread) CloseHandle(g_thread);
    if (g_ready) CloseHandle(g_ready);
    if (g_stop) CloseHandle(g_stop);
    g_thread = g_ready = g_stop = nullptr;
}

}  // namespace

bool broker_start(HWND agent_window, const config* cfg) {
    if (g_thread || !cfg) return false;
    memset(&g_bt, 0, sizeof g_bt);
    g_bt.agent = agent_window;
    g_bt.cfg = *cfg;
    arbiter_init(&g_bt.arb);
    g_ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (g_ready && g_stop) g_thread = CreateThread(nullptr, 0, broker_thread_main, nullptr, 0, nullptr);
    if (!g_thread) {
        log_error("input: broker thread not started (%lu)", GetLastError());
    } else if (WaitForSingleObject(g_ready, BROKER_READY_WAIT_MS) == WAIT_OBJECT_0 && g_wnd) {
        return true;
    } else {
        SetEvent(g_stop);
        WaitForSingleObject(g_thread, INFINITE);
    }
    broker_close_handles();
    return false;
}

void broker_stop(void) {
    if (!g_thread) return;
    SetEvent(g_stop);
    WaitForSingleObject(g_thread, INFINITE);
    broker_close_handles();
}

HWND broker_window(void) { return g_wnd; }

void broker_snapshot(broker_stats* out) {
    if (!out) return;
    AcquireSRWLockShared(&g_lock);
    *out = g_published;
    ReleaseSRWLockShared(&g_lock);
}

int broker_drain_mouse(uint64_t session, broker_mouse_packet* out, int* overflow) {
    int n = 0, lost = 0;
    AcquireSRWLockExclusive(&g_lock);
    if (g_client.wnd && session != 0 && session == g_client.session) {
        n = g_client.queue.count;
        if (out)
            memcpy(out, g_client.queue.packets, (size_t)n * sizeof *out);
        else
            n = 0;
        lost = g_client.queue.overflow;
        g_client.queue.count = 0;
        g_client.queue.overflow = 0;
        g_client.queue.notify_pending = 0;
    }
    ReleaseSRWLockExclusive(&g_lock);
    if (overflow) *overflow = lost;
    return n;
}
