#include "agent/maint/watchdog.h"
#include "agent/maint/diag.h"
#include "common/log.h"
#include <cstdio>

namespace {

struct watchdog_slot {
    char name[WATCHDOG_NAME_MAX];
    HWND wnd;
    DWORD tid;
    HANDLE thread;
    unsigned long threshold_ms;
    volatile LONG64 heartbeat;  // written by the watched thread without the lock
    bool active;
    uint32_t generation;  // tells a re-registered slot from the one that was probed
    watchdog_track track;
};

SRWLOCK g_lock = SRWLOCK_INIT;
watchdog_slot g_slots[WATCHDOG_SLOTS];
volatile LONG64 g_hangs;
HANDLE g_thread;
HANDLE g_stop;

// A slot as read for one probe, outside the lock.
struct watchdog_view {
    bool active;
    HWND wnd;
    unsigned long threshold_ms;
    uint64_t heartbeat;
    uint32_t generation;
    bool hung;
};

enum watchdog_probe_result {
    WATCHDOG_PROBE_ANSWERED,
    WATCHDOG_PROBE_SILENT,
    WATCHDOG_PROBE_GONE,
    WATCHDOG_PROBE_STOPPING
};

// Answers of WM_NULL probes: the slot's last answered probe number. Only the watchdog
// thread reads and writes it, in the callback its own message pumping runs.
uint32_t g_probe_sent[WATCHDOG_SLOTS];
uint32_t g_probe_answered[WATCHDOG_SLOTS];

void CALLBACK watchdog_answer(HWND, UINT, ULONG_PTR data, LRESULT) {
    int slot = (int)(data >> 32);
    if (slot >= 0 && slot < WATCHDOG_SLOTS) g_probe_answered[slot] = (uint32_t)data;
}

// WM_NULL through the window's queue with a callback rather than a blocking send, so the
// wait for the answer ends at once when the watchdog is stopped: at agent stop the main
// thread is busy stopping and does not answer.
watchdog_probe_result watchdog_probe(int slot, HWND wnd) {
    uint32_t seq = ++g_probe_sent[slot];
    if (!SendMessageCallbackW(wnd, WM_NULL, 0, 0, watchdog_answer, ((ULONG_PTR)slot << 32) | seq))
        return IsWindow(wnd) ? WATCHDOG_PROBE_SILENT : WATCHDOG_PROBE_GONE;
    uint64_t end = GetTickCount64() + WATCHDOG_PROBE_MS;
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
        if (g_probe_answered[slot] == seq) return WATCHDOG_PROBE_ANSWERED;
        uint64_t now = GetTickCount64();
        if (now >= end) return IsWindow(wnd) ? WATCHDOG_PROBE_SILENT : WATCHDOG_PROBE_GONE;
        // Short slices: the answer's arrival need not wake the wait everywhere.
        DWORD slice = (DWORD)(end - now < 50 ? end - now : 50);
        if (MsgWaitForMultipleObjectsEx(1, &g_stop, slice, QS_ALLINPUT, MWMO_INPUTAVAILABLE) == WAIT_OBJECT_0)
            return WATCHDOG_PROBE_STOPPING;
    }
}

void watchdog_report_hang(int i, const char* name, bool dump) {
    HANDLE thread = nullptr;
    AcquireSRWLockShared(&g_lock);
    if (g_slots[i].thread)
        DuplicateHandle(GetCurrentProcess(), g_slots[i].thread, GetCurrentProcess(), &thread, 0, FALSE,
                        DUPLICATE_SAME_ACCESS);
    ReleaseSRWLockShared(&g_lock);
    CONTEXT ctx{};
    bool have_context = false;
    if (thread && SuspendThread(thread) != (DWORD)-1) {
        ctx.ContextFlags = CONTEXT_FULL;
        have_context = GetThreadContext(thread, &ctx) != FALSE;
        // Resumed before anything is logged: the hung thread may hold the log's lock.
        ResumeThread(thread);
    }
    diag_hang_report(name, thread, have_context ? &ctx : nullptr, dump);
    if (thread) CloseHandle(thread);
}

// Looks at every active slot once; returns the earliest tick at which a heartbeat slot
// that is not yet hung passes its threshold (0 when none).
uint64_t watchdog_round(void) {
    for (int i = 0; i < WATCHDOG_SLOTS; i++) {
        if (WaitForSingleObject(g_stop, 0) == WAIT_OBJECT_0) return 0;
        watchdog_view v{};
        AcquireSRWLockShared(&g_lock);
        const watchdog_slot& s = g_slots[i];
        v.active = s.active;
        v.wnd = s.wnd;
        v.threshold_ms = s.threshold_ms;
        v.heartbeat = (uint64_t)InterlockedCompareExchange64((volatile LONG64*)&s.heartbeat, 0, 0);
        v.generation = s.generation;
        ReleaseSRWLockShared(&g_lock);
        // A crash report stops other threads (and a debugger may follow): nothing of it is a hang.
        if (!v.active || diag_crashing()) continue;

        uint64_t silent;
        if (v.wnd) {
            uint64_t t0 = GetTickCount64();
            watchdog_probe_result r = watchdog_probe(i, v.wnd);
            if (r == WATCHDOG_PROBE_STOPPING) return 0;
            if (r == WATCHDOG_PROBE_GONE) continue;  // the window is gone, not hung
            silent = watchdog_window_silent(r == WATCHDOG_PROBE_ANSWERED, GetTickCount64() - t0);
        } else {
            silent = watchdog_beat_silent(GetTickCount64(), v.heartbeat, v.threshold_ms);
        }
        uint64_t now = GetTickCount64();

        char name[WATCHDOG_NAME_MAX];
        DWORD tid = 0;
        watchdog_outcome out{};
        AcquireSRWLockExclusive(&g_lock);
        watchdog_slot& w = g_slots[i];
        if (w.active && w.generation == v.generation) {
            out = watchdog_judge(&w.track, silent == 0, silent, now);
            if (out.event == WATCHDOG_HUNG) InterlockedIncrement64(&g_hangs);
            snprintf(name, sizeof name, "%s", w.name);
            tid = w.tid;
        }
        ReleaseSRWLockExclusive(&g_lock);
        if (out.event == WATCHDOG_RECOVERED) {
            log_warn("HANG: thread '%s' recovered after %llu ms", name, (unsigned long long)out.ms);
        } else if (out.event == WATCHDOG_HUNG) {
            log_error("HANG: thread '%s' (tid %lu) has not responded for %llu ms", name, tid,
                      (unsigned long long)out.ms);
            watchdog_report_hang(i, name, out.dump);
        }
    }
    uint64_t deadline = 0;
    AcquireSRWLockShared(&g_lock);
    for (const watchdog_slot& s : g_slots) {
        if (!s.active || s.wnd || s.track.hung) continue;
        uint64_t beat = (uint64_t)InterlockedCompareExchange64((volatile LONG64*)&s.heartbeat, 0, 0);
        uint64_t due = beat + s.threshold_ms + 1;
        if (deadline == 0 || due < deadline) deadline = due;
    }
    ReleaseSRWLockShared(&g_lock);
    return deadline;
}

DWORD WINAPI watchdog_main(void*) {
    log_thread_name(L"ivra-watchdog");
    unsigned long wait = WATCHDOG_PERIOD_MS;
    while (WaitForSingleObject(g_stop, wait) == WAIT_TIMEOUT) {
        uint64_t deadline = watchdog_round();
        wait = watchdog_wait_ms(GetTickCount64(), deadline);
    }
    return 0;
}

}  // namespace

// ---------------------------------------------------------------- pure parts

watchdog_outcome watchdog_judge(watchdog_track* t, bool responsive, uint64_t silent_ms, uint64_t now) {
    watchdog_outcome out{WATCHDOG_QUIET, false, 0};
    if (responsive && t->hung) {
        t->hung = false;
        out.event = WATCHDOG_RECOVERED;
        out.ms = now >= t->hang_start ? now - t->hang_start : 0;
    } else if (!responsive && !t->hung) {
        t->hung = true;
        t->hang_start = now >= silent_ms ? now - silent_ms : 0;
        out.event = WATCHDOG_HUNG;
        out.ms = silent_ms;
        out.dump = !t->dumped;
        t->dumped = true;
    }
    return out;
}

uint64_t watchdog_window_silent(bool answered, uint64_t took_ms) {
    if (answered) return 0;
    return took_ms > (uint64_t)WATCHDOG_PROBE_MS ? took_ms : (uint64_t)WATCHDOG_PROBE_MS;
}

uint64_t watchdog_beat_silent(uint64_t now, uint64_t last, unsigned long threshold_ms) {
    if (now <= last) return 0;
    return now - last > threshold_ms ? now - last : 0;
}

unsigned long watchdog_wait_ms(uint64_t now, uint64_t deadline) {
    if (deadline == 0 || deadline >= now + WATCHDOG_PERIOD_MS) return WATCHDOG_PERIOD_MS;
    // Overdue or about to be: soon, but never a busy loop.
    if (deadline <= now + WATCHDOG_MIN_WAIT_MS) return WATCHDOG_MIN_WAIT_MS;
    return (unsigned long)(deadline - now);
}

// ---------------------------------------------------------------- the thread and the table

bool watchdog_start(void) {
    if (g_thread) return true;
    g_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (g_stop) g_thread = CreateThread(nullptr, 0, watchdog_main, nullptr, 0, nullptr);
    if (!g_thread) {
        log_error("watchdog: cannot start (%lu); threads are not watched", GetLastError());
        if (g_stop) CloseHandle(g_stop);
        g_stop = nullptr;
        return false;
    }
    return true;
}

void watchdog_stop(unsigned long ms) {
    if (!g_thread) return;
    SetEvent(g_stop);
    uint64_t t0 = GetTickCount64();
    DWORD r = WaitForSingleObject(g_thread, ms);
    uint64_t took = GetTickCount64() - t0;
    if (took >= 250) log_warn("slow: watchdog took %llu ms to end", (unsigned long long)took);
    if (r != WAIT_OBJECT_0) {
        // Left running: it only reads the table and ends with the process.
        log_warn("watchdog: did not stop in %lu ms", ms);
        return;
    }
    CloseHandle(g_thread);
    CloseHandle(g_stop);
    g_thread = g_stop = nullptr;
}

int watchdog_register(const char* name, HWND wnd, unsigned long threshold_ms) {
    DWORD tid = wnd ? GetWindowThreadProcessId(wnd, nullptr) : GetCurrentThreadId();
    if (!tid) return -1;
    HANDLE thread = OpenThread(THREAD_GET_CONTEXT | THREAD_SUSPEND_RESUME | THREAD_QUERY_INFORMATION, FALSE, tid);
    int slot = -1;
    AcquireSRWLockExclusive(&g_lock);
    for (int i = 0; i < WATCHDOG_SLOTS; i++) {
        watchdog_slot& s = g_slots[i];
        if (s.active) continue;
        snprintf(s.name, sizeof s.name, "%s", name ? name : "?");
        s.wnd = wnd;
        s.tid = tid;
        s.thread = thread;
        s.threshold_ms = threshold_ms;
        InterlockedExchange64(&s.heartbeat, (LONG64)GetTickCount64());
        s.track = watchdog_track{};
        s.generation++;
        s.active = true;
        slot = i;
        break;
    }
    ReleaseSRWLockExclusive(&g_lock);
    if (slot < 0 && thread) CloseHandle(thread);
    return slot;
}

void watchdog_unregister(int slot) {
    if (slot < 0 || slot >= WATCHDOG_SLOTS) return;
    HANDLE thread = nullptr;
    AcquireSRWLockExclusive(&g_lock);
    watchdog_slot& s = g_slots[slot];
    if (s.active) {
        thread = s.thread;
        s.thread = nullptr;
        s.wnd = nullptr;
        s.active = false;
        s.generation++;
    }
    ReleaseSRWLockExclusive(&g_lock);
    if (thread) CloseHandle(thread);
}

void watchdog_heartbeat(int slot) {
    if (slot < 0 || slot >= WATCHDOG_SLOTS) return;
    InterlockedExchange64(&g_slots[slot].heartbeat, (LONG64)GetTickCount64());
}

uint64_t watchdog_hangs(void) { return (uint64_t)InterlockedCompareExchange64(&g_hangs, 0, 0); }
