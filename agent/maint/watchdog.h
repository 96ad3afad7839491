#pragma once
// Hang watchdog: a thread that probes the registered threads every 2 s, logs
// the stack of one that stopped responding, writes one "hang" dump per slot and
// notes the recovery. Windows are probed with WM_NULL; threads without a window
// keep a heartbeat themselves.
#include "common/win.h"
#include <cstdint>

enum {
    WATCHDOG_SLOTS = 16,
    WATCHDOG_NAME_MAX = 24,
    WATCHDOG_PERIOD_MS = 2000,
    WATCHDOG_PROBE_MS = 5000,  // WM_NULL round-trip limit; a window that misses it was silent at least this long
    WATCHDOG_MIN_WAIT_MS = 50,
};

// Starts the "ivra-watchdog" thread. False (logged) when it cannot start; the agent runs unwatched.
bool watchdog_start(void);
// Signals the thread and waits up to ms for it.
void watchdog_stop(unsigned long ms);

// Watches the calling thread (wnd null: heartbeat with threshold_ms) or wnd's thread
// (probed with WM_NULL). Returns the slot, or -1 when all slots are taken.
int watchdog_register(const char* name, HWND wnd, unsigned long threshold_ms);
// Frees the slot (the watched thread is ending). -1 is ignored.
void watchdog_unregister(int slot);
// The watched thread is alive now. -1 is ignored.
void watchdog_heartbeat(int slot);
// Hangs detected since start (the status reply's `hangs`).
uint64_t watchdog_hangs(void);

// ---- Pure decisions, table-tested.

// What one probe found out about a slot, kept across probes.
struct watchdog_track {
    bool hung;
    bool dumped;          // a slot gets one hang dump for the life of the process
    uint64_t hang_start;  // tick count when the silence began
};

enum watchdog_event { WATCHDOG_QUIET, WATCHDOG_HUNG, WATCHDOG_RECOVERED };

struct watchdog_outcome {
    watchdog_event event;
    bool dump;    // WATCHDOG_HUNG: write the slot's hang dump now
    uint64_t ms;  // HUNG: silent time; RECOVERED: time since the silence began
};

// Applies one probe (responsive or silent for silent_ms) at tick now to t.
watchdog_outcome watchdog_judge(watchdog_track* t, bool responsive, uint64_t silent_ms, uint64_t now);

// Silent time of a window probe: 0 when it answered, else the time the call took, at least the probe limit.
uint64_t watchdog_window_silent(bool answered, uint64_t took_ms);

// Silent time of a heartbeat slot when it exceeds threshold_ms, else 0.
uint64_t watchdog_beat_silent(uint64_t now, uint64_t last, unsigned long threshold_ms);

// Wait before the next round: the period, or less so a heartbeat slot is looked at just
// after its threshold passes (deadline: the earliest such tick, 0 when none).
unsigned long watchdog_wait_ms(uint64_t now, uint64_t deadline);
