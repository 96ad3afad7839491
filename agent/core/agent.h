#pragma once
// Process-wide state of the agent, created at start-up and shared read-mostly.
// The live configuration is replaced whole under config_lock; every other
// thread copies it under the shared lock before use.
#include "common/win.h"
#include "common/config.h"
#include <cstdint>

struct worker_pool;
struct frame_pool;

struct agent_state {
    SRWLOCK config_lock;
    config cfg;

    uint64_t mem_total;    // physical memory in bytes
    uint64_t mem_budget;   // frame-memory budget in bytes
    worker_pool* stills;
    worker_pool* clips;
    worker_pool* io;
    worker_pool* pipe;
    frame_pool* frames_stills;
    frame_pool* frames_clips;

    HWND wnd;                 // IvraAgentWnd
    HANDLE capture_thread;
    DWORD capture_thread_id;  // for PostThreadMessage
    HANDLE capture_ready;     // manual-reset
    UINT msg_reload;          // "IvraReloadConfig"
    UINT msg_taskbar_created; // "TaskbarCreated"
    int forced_digit;         // IVRA_FORCE_DIGIT, -1 when unset

    SRWLOCK hotkey_lock;               // guards the two arrays below
    int hotkey_registered[HOTKEY_COUNT];
    DWORD hotkey_error[HOTKEY_COUNT];

    volatile LONG quitting;   // set once when the agent begins to stop
    volatile LONG selecting;  // a region selection is open
};

extern agent_state g_agent;

// A private copy of the live configuration, taken under the shared lock.
void agent_config_copy(config* out);
// Replaces the live configuration under the exclusive lock.
void agent_config_set(const config* cfg);
inline bool agent_quitting() { return InterlockedCompareExchange(&g_agent.quitting, 0, 0) != 0; }
