#pragma once
// The input broker's decisions, free of Win32 calls so tests can drive them with
// explicit message times and a made-up physical keyboard: the key-state table fed
// by every route, the press arbiter that turns the first report of a hotkey press
// into one action, chord digits, the stale-key sweep, what a selection client is
// forwarded, the hook's swallowing while a selection is open, and the raw mouse
// queue. Times are 32-bit message times in milliseconds and compared across the
// counter's wrap.
#include "agent/input/broker_types.h"
#include "common/config.h"
#include <cstdint>

enum {
    ARBITER_KEYS = 256,
    ARBITER_DUPLICATE_MS = 25,        // another route's report of a press this close is the same press
    ARBITER_CHORD_MAX_AGE_MS = 10000  // a digit held longer than this before the hotkey is no chord
};

// One virtual key. Only the broker thread touches the table (the hook procedure
// runs on it too), so it needs no lock.
struct arbiter_key {
    uint32_t last_transition;  // time of the last accepted press or release
    uint32_t last_release;
    uint32_t known;  // a transition was seen (or seeded) since the epoch
    uint32_t down;
    uint32_t fired;     // the current press already produced an action
    uint32_t released;  // a release was seen since the epoch
};

struct arbiter_action {
    uint32_t last_time;  // time of its last activation
    int activated;
    int route;  // BROKER_ROUTE_* of that activation
};

// Counters since start; they survive reconfiguration.
struct arbiter_counters {
    uint64_t events[3];  // per route, BROKER_ROUTE_* order
    uint64_t activations[3];
    uint64_t mouse_packets;
    uint64_t duplicates, stale, blocked, dropped;
    int last_route;  // BROKER_ROUTE_*, NONE before the first activation
    int last_action;
    int last_blocked;  // action id of the last press an attached client blocked
};

struct arbiter {
    arbiter_key keys[ARBITER_KEYS];
    uint8_t watched[ARBITER_KEYS];
    uint32_t epoch;
    hotkey_pair hotkeys[HOTKEY_COUNT];  // index = action id - 1
    arbiter_action actions[HOTKEY_COUNT];
    arbiter_counters counters;
};

// The selection client as the key logic needs it.
struct arbiter_client {
    int attached;
    uint32_t attach_time;
};

// What one key event asks of the broker.
struct arbiter_outcome {
    int action;   // action id to post (0 = none)
    int forward;  // post a key to the selection client
    int forward_vk;
    int forward_pressed;
};

// The hook's own view of the keys, for swallowing selection keys.
struct arbiter_hook {
    uint8_t down[ARBITER_KEYS];
    uint8_t swallowed[ARBITER_KEYS];
};

// Raw mouse packets waiting for the selection client.
struct arbiter_mouse_queue {
    broker_mouse_packet packets[BROKER_MOUSE_QUEUE_MAX];
    int count;
    int overflow;        // packets were lost since the last drain
    int notify_pending;  // a "packets waiting" message is outstanding
};

enum { ARBITER_MOUSE_MERGED = 0, ARBITER_MOUSE_APPENDED = 1, ARBITER_MOUSE_OVERFLOW = 2 };

// Physical state of a key (the caller's GetAsyncKeyState, or a test's table).
typedef bool (*arbiter_key_down_fn)(int vk, void* ctx);

// Zero counters, no last route. Call once before the first configure.
void arbiter_init(arbiter* a);
// Applies a hotkey table at time now: clears the key table and the watched set,
// makes now the epoch, watches the hotkeys' keys, digits, keypad digits, Escape and
// the left/right modifiers, and seeds keys that is_down reports held as known, down
// and already fired, so holding them through a reload fires nothing.
void arbiter_configure(arbiter* a, const hotkey_pair hotkeys[HOTKEY_COUNT], uint32_t now, arbiter_key_down_fn is_down,
                       void* ctx);
bool arbiter_watched(const arbiter* a, int vk);

// Generic modifier codes as left or right keys: Alt and Ctrl by the extended-key
// flag, Shift by scan code 0x36. Other keys are returned unchanged.
int arbiter_normalise(int vk, bool extended, unsigned scan);

// RegisterHotKey modifier bits of the keys held now: 1 Alt, 2 Ctrl, 4 Shift, 8 Win.
int arbiter_mods(const arbiter* a);

// A raw or hook report of a key. Returns false (nothing counted) for keys that are
// not watched; otherwise fills out with what to post.
bool arbiter_key_event(arbiter* a, int route, int vk, bool pressed, uint32_t time, const arbiter_client* client,
                       arbiter_outcome* out);

// The press arbiter for action id reported by route at time. Returns the id when it
// activates, 0 when it is stale, a duplicate or blocked by an attached client.
int arbiter_press(arbiter* a, int id, uint32_t time, int route, bool client_attached);

// A registered hotkey's press: counts the event and runs the press arbiter.
// Ids outside 1 to 9 count the event and do nothing else.
int arbiter_registered_press(arbiter* a, int id, uint32_t time, bool client_attached);

// Records a release of vk at time (the registered route's missing release, the sweep).
void arbiter_record_release(arbiter* a, int vk, uint32_t time);

// First digit 1 to 9 whose top-row or keypad key is down and was pressed at most
// ARBITER_CHORD_MAX_AGE_MS before time; 0 when none.
int arbiter_chord_digit(const arbiter* a, uint32_t time);

// Releases, at now, every watched key held as down that is_down reports up,
// unless its last transition lies after now or before the epoch. Returns how many.
int arbiter_sweep(arbiter* a, uint32_t now, arbiter_key_down_fn is_down, void* ctx);

// The hook's decision for one key message: true when the focused program must not
// see it. Non-repeated presses of Escape and digits are swallowed while a client is
// attached, and so are their repeats and their release.
bool arbiter_hook_swallow(arbiter_hook* h, int vk, bool pressed, bool client_attached);

// Appends p, or merges it into the last packet when neither carries a button
// change and both have the same absolute flag. A full queue sets the overflow flag.
int arbiter_mouse_push(arbiter_mouse_queue* q, const broker_mouse_packet* p);

// A raw absolute coordinate (0..65535) on an axis of size pixels starting at origin.
LONG arbiter_mouse_scale(LONG value, int origin, int size);
