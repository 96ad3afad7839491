#pragma once
// Hang watchdog: a thread that probes the registered threads every 2 s, logs
// the stack of one that stopped responding, writes one "hang" dump per slot and
// notes the recovery. Windows are probed with WM_NULL; threads without a window
// keep a heartbeat themselves.
#include "common/win.h"
#include <cstdint>

enum { WATCHDOG_SLOTS = 16, WATCHDOG_NAME_MAX = 24 };

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
