#pragma once
// The input broker: one thread ("ivra-input") with a message-only window of class
// IvraInputBroker that hears capture shortcuts on three routes (registered hotkeys
// forwarded by the agent window, Raw Input and a low-level keyboard hook), feeds
// them to one key-state table and one arbiter, and posts exactly one
// WM_AGENT_ACTION per press. It also serves one selection client (the region
// overlay): forwarded keys, queued raw mouse packets, and keys hidden from the
// focused program while the client is attached.
// Messages to its window are the WM_BROKER_* constants of agent/core/messages.h.
#include "agent/input/broker_types.h"
#include "common/config.h"
#include "common/win.h"
#include <cstdint>

enum { BROKER_MOUSE_NONE = 0, BROKER_MOUSE_NATIVE = 1, BROKER_MOUSE_RAW = 2 };
enum { BROKER_REASON_MAX = 32 };

// The broker's diagnostic snapshot, as the `input` reply shows it. Zero-filled
// with last_route BROKER_ROUTE_NONE when the broker never ran.
struct broker_stats {
    int running, raw_enabled, hook_enabled, raw_ready, hook_ready;
    unsigned long raw_error, hook_error;
    int mouse_ready;
    unsigned long mouse_error;
    uint64_t registered_events, raw_events, hook_events, mouse_packets;
    uint64_t registered_activations, raw_activations, hook_activations;
    uint64_t duplicates, stale, blocked, dropped;
    int last_route;  // BROKER_ROUTE_*
    int last_action;
    int session_active;
    int mouse_mode;  // BROKER_MOUSE_*
    char mouse_reason[BROKER_REASON_MAX];
    int focus_requested, focus_owned;
};

// lParam of WM_BROKER_MOUSE_MODE (sent, so it may live on the sender's stack).
struct broker_mouse_mode {
    int mode;  // BROKER_MOUSE_*
    char reason[BROKER_REASON_MAX];
};

// Starts the thread with a copy of cfg and waits up to 5000 ms for its window.
// False (nothing left running) when the thread or its window cannot be made.
bool broker_start(HWND agent_window, const config* cfg);
// Sets the stop event and waits for the thread without limit. Safe when not started.
void broker_stop(void);
// The broker's window while it runs, else null. Selection clients SendMessageW to it.
HWND broker_window(void);
// Copies the published statistics under the broker's lock.
void broker_snapshot(broker_stats* out);
// Takes every queued packet of `session` (at most BROKER_MOUSE_QUEUE_MAX into out)
// and empties the queue. Returns the count; *overflow tells whether packets were
// lost since the last drain. A stale session gets 0 and no overflow.
int broker_drain_mouse(uint64_t session, broker_mouse_packet* out, int* overflow);
