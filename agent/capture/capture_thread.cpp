#include "agent/capture/capture_thread.h"
#include "agent/capture/display_cache.h"
#include "agent/core/agent.h"
#include "agent/core/messages.h"
#include "agent/maint/watchdog.h"
#include "common/log.h"

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002  // Windows 10 1803; missing from older headers
#endif

namespace {
volatile LONG64 g_capture_count = 0;
volatile LONG64 g_heartbeat = 0;
int g_watch_slot = -1;  // the watchdog's slot for this thread
// Silence after which the watchdog reports this thread: well above its 2 s idle wake-ups.
const unsigned long CAPTURE_HANG_MS = 8000;

// The consumers of the thread's messages and timer, filled before the thread starts.
struct capture_route {
    UINT msg;
    capture_handler handle;
    capture_dropper drop;
};
constexpr int CAPTURE_ROUTES_MAX = 8;
capture_route g_routes[CAPTURE_ROUTES_MAX];
int g_route_count = 0;
capture_ticker g_ticker{};

const capture_route* capture_route_of(UINT msg) {
    for (int i = 0; i < g_route_count; i++)
        if (g_routes[i].msg == msg) return &g_routes[i];
    return nullptr;
}

bool capture_ticking() { return g_ticker.active && g_ticker.active(); }

// What the loop remembers between turns.
struct capture_loop {
    display_cache* cache;
    HANDLE timer;
    int described;  // a description was written for a cache
    uint32_t described_gen;
    int keep_warm;
};

void capture_heartbeat_store() {
    InterlockedExchange64(&g_heartbeat, (LONG64)GetTickCount64());
    watchdog_heartbeat(g_watch_slot);
}

void capture_describe_if_due(capture_loop* loop) {
    int has = loop->cache != nullptr;
    uint32_t gen = has ? display_cache_generation(loop->cache) : 0;
    if (!capture_thread_describe_due(loop->described, loop->described_gen, has, gen)) return;
    display_cache_describe(loop->cache);
    loop->described = has;
    loop->described_gen = gen;
}

void capture_validate(capture_loop* loop) {
    if (loop->cache) {
        display_cache_validate(loop->cache);
    } else {
        loop->cache = display_cache_build();
    }
    capture_describe_if_due(loop);
}

void capture_handle(capture_loop* loop, const MSG* msg) {
    if (const capture_route* r = capture_route_of(msg->message)) {
        if (r->handle) r->handle(loop->cache, msg->wParam, msg->lParam);
        return;
    }
    switch (msg->message) {
    case WM_CAPTURE_DISPLAY_TEST:
        // The next validation rebuilds the cache as after a real display change.
        if (loop->cache) {
            log_warn("debug: displays marked as changed");
            loop->cache->lost = 1;
        }
        break;
    case WM_CAPTURE_DEBUG_STALL:
        log_warn("debug: capture thread stalling %llu ms", (unsigned long long)msg->wParam);
        Sleep((DWORD)msg->wParam);
        break;
    default: break;
    }
}

// Answers whatever is still queued when the thread ends, so no waiter is left hanging.
void capture_drain(void) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        const capture_route* r = capture_route_of(msg.message);
        if (r && r->drop) r->drop(msg.wParam, msg.lParam);
    }
}

DWORD WINAPI capture_thread_main(void*) {
    log_thread_name(L"ivra-capture");
    MSG msg;
    // The queue comes first: posts made while the start-up below is slow wait in it
    // instead of failing.
    PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    agent_debug_pause(L"IVRA_DEBUG_CAPTURE_START_MS", "capture start-up");
    capture_loop loop{};
    loop.cache = display_cache_build();
    loop.timer = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, TIMER_ALL_ACCESS);
    if (!loop.timer) loop.timer = CreateWaitableTimerW(nullptr, FALSE, nullptr);
    g_watch_slot = watchdog_register("capture", nullptr, CAPTURE_HANG_MS);
    config cfg;
    agent_config_copy(&cfg);
    loop.keep_warm = cfg.dxgi_keep_warm;
    if (loop.cache && loop.keep_warm) display_cache_warm_up(loop.cache);
    display_cache_describe(loop.cache);
    loop.described = loop.cache != nullptr;
    loop.described_gen = loop.cache ? display_cache_generation(loop.cache) : 0;
    if (g_ticker.begin) g_ticker.begin(loop.timer, loop.cache);

    if (g_agent.capture_ready) SetEvent(g_agent.capture_ready);

    LARGE_INTEGER freq;
    QueryPerformanceFrequency(&freq);
    // A stop that came during the start-up is seen here, whether or not its WM_QUIT arrived.
    bool quit = agent_quitting();
    while (!quit) {
        capture_heartbeat_store();
        const bool running = capture_ticking();
        DWORD wait = capture_thread_wait_ms(running, loop.timer != nullptr);
        HANDLE handles[2];
        DWORD count = 0;
        if (g_agent.stop_event) handles[count++] = g_agent.stop_event;
        if (running && loop.timer) handles[count++] = loop.timer;
        DWORD r = MsgWaitForMultipleObjectsEx(count, count ? handles : nullptr, wait, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        if (r == WAIT_FAILED) {
            log_error("capture: wait failed (%lu); stopping", GetLastError());
            break;
        }
        if (agent_quitting()) break;
        // A wait is not a hang: the silence counts from here.
        capture_heartbeat_store();
        capture_validate(&loop);
        if (capture_ticking() && g_ticker.wake) g_ticker.wake(loop.cache);
        if (r == WAIT_TIMEOUT && !capture_ticking()) {
            if (!loop.keep_warm && loop.cache) display_cache_release_idle(loop.cache);
            continue;
        }
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                quit = true;
                break;
            }
            LARGE_INTEGER t0, t1;
            QueryPerformanceCounter(&t0);
            if (msg.message == WM_CAPTURE_CONFIG) {
                agent_config_copy(&cfg);
                loop.keep_warm = cfg.dxgi_keep_warm;
            }
            capture_handle(&loop, &msg);
            QueryPerformanceCounter(&t1);
            uint64_t ms = (uint64_t)((t1.QuadPart - t0.QuadPart) * 1000 / freq.QuadPart);
            capture_describe_if_due(&loop);
            if (capture_thread_is_slow(ms))
                log_warn("slow: capture thread spent %llu ms on message 0x%04x", (unsigned long long)ms, msg.message);
            capture_heartbeat_store();
        }
    }
    if (g_ticker.end) g_ticker.end(loop.cache);
    capture_drain();
    display_cache_destroy(loop.cache);
    if (loop.timer) CloseHandle(loop.timer);
    InterlockedExchange64(&g_heartbeat, 0);
    watchdog_unregister(g_watch_slot);
    g_watch_slot = -1;
    log_info("capture: thread stopped");
    return 0;
}
}  // namespace

bool capture_thread_on(UINT msg, capture_handler handle, capture_dropper drop) {
    capture_route* r = (capture_route*)capture_route_of(msg);
    if (!r) {
        if (g_route_count >= CAPTURE_ROUTES_MAX) return false;
        r = &g_routes[g_route_count++];
    }
    *r = capture_route{msg, handle, drop};
    return true;
}

void capture_thread_set_ticker(const capture_ticker* ticker) { g_ticker = ticker ? *ticker : capture_ticker{}; }

uint64_t capture_count(void) { return (uint64_t)InterlockedCompareExchange64(&g_capture_count, 0, 0); }

void capture_count_add(void) { InterlockedIncrement64(&g_capture_count); }

uint64_t capture_thread_heartbeat(void) { return (uint64_t)InterlockedCompareExchange64(&g_heartbeat, 0, 0); }

unsigned capture_thread_wait_ms(int clip_or_replay, int have_timer) {
    return clip_or_replay && have_timer ? 1000u : 2000u;
}

bool capture_thread_is_slow(uint64_t ms) { return ms >= 1000; }

bool capture_thread_describe_due(int had_cache, uint32_t described_gen, int has_cache, uint32_t gen) {
    if (!had_cache != !has_cache) return true;
    return has_cache && gen != described_gen;
}

bool capture_thread_stop(unsigned long ms) {
    agent_begin_stop();
    if (!g_agent.capture_thread) return true;
    // Also posted for a thread that is waiting on its queue alone; the stop event covers the rest.
    if (g_agent.capture_thread_id) PostThreadMessageW(g_agent.capture_thread_id, WM_QUIT, 0, 0);
    return WaitForSingleObject(g_agent.capture_thread, ms) == WAIT_OBJECT_0;
}

bool capture_thread_start(void) {
    DWORD id = 0;
    HANDLE h = CreateThread(nullptr, 0, capture_thread_main, nullptr, 0, &id);
    if (!h) {
        log_error("capture: cannot start the capture thread (%lu)", GetLastError());
        return false;
    }
    g_agent.capture_thread = h;
    g_agent.capture_thread_id = id;
    return true;
}
