#pragma once
// The capture thread "ivra-capture": owns the display cache, serves the thread
// messages of agent/core/messages.h (WM_CAPTURE_*) and runs until WM_QUIT or the
// agent's stop event.
#include "common/win.h"
#include <cstdint>

struct display_cache;

// ---- Consumers, registered by the agent's wiring before capture_thread_start.

// Serves one thread message (WM_CAPTURE_*) on the capture thread; lp's record is the
// handler's to answer and free.
typedef void (*capture_handler)(display_cache* cache, WPARAM wp, LPARAM lp);
// Answers and frees the record of a message still queued when the thread ends.
typedef void (*capture_dropper)(WPARAM wp, LPARAM lp);
// Registers (or replaces) the handler of msg; drop may be null for messages without a
// record. False when the table is full.
bool capture_thread_on(UINT msg, capture_handler handle, capture_dropper drop);

// The timer-paced work (clips and the replay). Every member may be null.
struct capture_ticker {
    void (*begin)(HANDLE timer, display_cache* cache);  // thread start, with the waitable timer (or none)
    bool (*active)(void);                               // the timer is needed
    void (*wake)(display_cache* cache);                 // every wake while active; re-arms the timer
    void (*end)(display_cache* cache);                  // thread end, before queued records are dropped
};
void capture_thread_set_ticker(const capture_ticker* ticker);

// Starts the thread and publishes its handle and id in g_agent. The thread makes its
// message queue at once and sets g_agent.capture_ready once its display cache is built.
// Returns false (and logs) when the thread cannot be created.
bool capture_thread_start(void);

// Begins the agent's stop (agent_begin_stop), posts WM_QUIT to the thread and waits up
// to ms for it to end. True when it ended or never started; the handle stays open.
bool capture_thread_stop(unsigned long ms);

// Screenshots saved since the agent started (for status).
uint64_t capture_count(void);
// Counts one saved screenshot; called by the save jobs.
void capture_count_add(void);

// The capture thread's last heartbeat (GetTickCount64), 0 before its loop runs;
// the hang watchdog reads it.
uint64_t capture_thread_heartbeat(void);

// ---- Pure helpers (no Win32 call).

// Wait limit of one loop turn: 1000 ms while a clip or the replay runs on an existing
// timer, else 2000 ms.
unsigned capture_thread_wait_ms(int clip_or_replay, int have_timer);
// True when a message that took ms milliseconds is logged as slow.
bool capture_thread_is_slow(uint64_t ms);
// True when the monitor description must be rewritten: the cache appeared, disappeared
// or its generation changed since the last description.
bool capture_thread_describe_due(int had_cache, uint32_t described_gen, int has_cache, uint32_t gen);
