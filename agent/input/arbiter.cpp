#include "agent/input/arbiter.h"
#include <cstring>

namespace {

constexpr int VK_ESCAPE_KEY = 0x1B;
constexpr int VK_SHIFT_KEY = 0x10, VK_CONTROL_KEY = 0x11, VK_MENU_KEY = 0x12;
constexpr int VK_LSHIFT_KEY = 0xA0, VK_RSHIFT_KEY = 0xA1, VK_LCONTROL_KEY = 0xA2, VK_RCONTROL_KEY = 0xA3;
constexpr int VK_LMENU_KEY = 0xA4, VK_RMENU_KEY = 0xA5, VK_LWIN_KEY = 0x5B, VK_RWIN_KEY = 0x5C;
constexpr int VK_DIGIT1 = 0x31, VK_PAD1 = 0x61;
constexpr unsigned SCAN_RIGHT_SHIFT = 0x36;

// Message times wrap after 49.7 days; differences stay meaningful across the wrap.
bool arbiter_before(uint32_t a, uint32_t b) { return (int32_t)(a - b) < 0; }

bool arbiter_valid_key(int vk) { return vk > 0 && vk < ARBITER_KEYS; }

bool arbiter_is_digit(int vk) { return (vk >= VK_DIGIT1 && vk < VK_DIGIT1 + 9) || (vk >= VK_PAD1 && vk < VK_PAD1 + 9); }

bool arbiter_is_selection_key(int vk) { return vk == VK_ESCAPE_KEY || arbiter_is_digit(vk); }

bool arbiter_stale(const arbiter* a, int vk, bool pressed, uint32_t time) {
    const arbiter_key* k = &a->keys[vk];
    if (arbiter_before(time, a->epoch)) return true;
    if (k->known && arbiter_before(time, k->last_transition)) return true;
    // A report of a press that the table already saw end.
    return pressed && k->released && !arbiter_before(k->last_release, time);
}

void arbiter_mark_fired(arbiter_key* k, uint32_t time) {
    if (!k->down) k->last_transition = time;
    k->known = 1;
    k->down = 1;
    k->fired = 1;
}

}  // namespace

void arbiter_init(arbiter* a) {
    memset(a, 0, sizeof *a);
    a->counters.last_route = BROKER_ROUTE_NONE;
}

void arbiter_configure(arbiter* a, const hotkey_pair hotkeys[HOTKEY_COUNT], uint32_t now, arbiter_key_down_fn is_down,
                       void* ctx) {
    memset(a->keys, 0, sizeof a->keys);
    memset(a->watched, 0, sizeof a->watched);
    memset(a->actions, 0, sizeof a->actions);
    memcpy(a->hotkeys, hotkeys, sizeof a->hotkeys);
    a->epoch = now;
    for (int i = 0; i < HOTKEY_COUNT; i++)
        if (arbiter_valid_key((int)hotkeys[i].vk)) a->watched[hotkeys[i].vk] = 1;
    for (int d = 0; d < 9; d++) a->watched[VK_DIGIT1 + d] = a->watched[VK_PAD1 + d] = 1;
    static const int others[] = {VK_ESCAPE_KEY, VK_LSHIFT_KEY, VK_RSHIFT_KEY, VK_LCONTROL_KEY, VK_RCONTROL_KEY,
                                 VK_LMENU_KEY,  VK_RMENU_KEY,  VK_LWIN_KEY,   VK_RWIN_KEY};
    for (int vk : others) a->watched[vk] = 1;
    for (int vk = 1; vk < ARBITER_KEYS; vk++) {
        if (!a->watched[vk] || !is_down || !is_down(vk, ctx)) continue;
        arbiter_key* k = &a->keys[vk];
        k->known = k->down = k->fired = 1;
        k->last_transition = now;
    }
}

bool arbiter_watched(const arbiter* a, int vk) { return arbiter_valid_key(vk) && a->watched[vk]; }

int arbiter_normalise(int vk, bool extended, unsigned scan) {
    switch (vk) {
    case VK_MENU_KEY: return extended ? VK_RMENU_KEY : VK_LMENU_KEY;
    case VK_CONTROL_KEY: return extended ? VK_RCONTROL_KEY : VK_LCONTROL_KEY;
    case VK_SHIFT_KEY: return scan == SCAN_RIGHT_SHIFT ? VK_RSHIFT_KEY : VK_LSHIFT_KEY;
    default: return vk;
    }
}

int arbiter_mods(const arbiter* a) {
    const arbiter_key* k = a->keys;
    int mods = 0;
    if (k[VK_LMENU_KEY].down || k[VK_RMENU_KEY].down) mods |= 1;
    if (k[VK_LCONTROL_KEY].down || k[VK_RCONTROL_KEY].down) mods |= 2;
    if (k[VK_LSHIFT_KEY].down || k[VK_RSHIFT_KEY].down) mods |= 4;
    if (k[VK_LWIN_KEY].down || k[VK_RWIN_KEY].down) mods |= 8;
    return mods;
}

int arbiter_press(arbiter* a, int id, uint32_t time, int route, bool client_attached) {
    if (id < 1 || id > HOTKEY_COUNT || route < 0 || route > 2) return 0;
    int vk = (int)a->hotkeys[id - 1].vk;
    if (!arbiter_valid_key(vk)) return 0;
    arbiter_key* k = &a->keys[vk];
    arbiter_counters* c = &a->counters;
    if (arbiter_stale(a, vk, true, time)) {
        c->stale++;
        return 0;
    }
    if (k->down && k->fired) {
        c->duplicates++;
        return 0;
    }
    arbiter_action* act = &a->actions[id - 1];
    int32_t since = (int32_t)(time - act->last_time);
    if (act->activated && act->route != route && since >= -ARBITER_DUPLICATE_MS && since <= ARBITER_DUPLICATE_MS) {
        arbiter_mark_fired(k, time);
        c->duplicates++;
        return 0;
    }
    arbiter_mark_fired(k, time);
    if (client_attached) {
        c->blocked++;
        c->last_blocked = id;
        return 0;
    }
    c->activations[route]++;
    act->last_time = time;
    act->activated = 1;
    act->route = route;
    c->last_route = route;
    c->last_action = id;
    return id;
}

int arbiter_registered_press(arbiter* a, int id, uint32_t time, bool client_attached) {
    a->counters.events[BROKER_ROUTE_REGISTERED]++;
    return arbiter_press(a, id, time, BROKER_ROUTE_REGISTERED, client_attached);
}

bool arbiter_key_event(arbiter* a, int route, int vk, bool pressed, uint32_t time, const arbiter_client* client,
                       arbiter_outcome* out) {
    memset(out, 0, sizeof *out);
    if (!arbiter_watched(a, vk) || route < 0 || route > 2) return false;
    a->counters.events[route]++;
    if (arbiter_stale(a, vk, pressed, time)) {
        a->counters.stale++;
        return true;
    }
    arbiter_key* k = &a->keys[vk];
    if (!pressed && k->known && !k->down) return true;
    bool changed = !(pressed && k->known && k->down);  // a held key's repeat changes nothing
    if (changed) {
        k->known = 1;
        k->last_transition = time;
        k->down = pressed;
        if (!pressed) {
            k->last_release = time;
            k->fired = 0;
            k->released = 1;
        }
    }
    if (pressed) {
        int mods = arbiter_mods(a);
        for (int i = 0; i < HOTKEY_COUNT; i++) {
            if ((int)a->hotkeys[i].vk != vk || (int)(a->hotkeys[i].mods & 0xF) != mods) continue;
            out->action = arbiter_press(a, i + 1, time, route, client && client->attached);
            break;
        }
    }
    if (changed && client && client->attached && !arbiter_before(time, client->attach_time)) {
        if (vk == VK_LSHIFT_KEY || vk == VK_RSHIFT_KEY) {
            out->forward = 1;
            out->forward_vk = VK_SHIFT_KEY;
            out->forward_pressed = a->keys[VK_LSHIFT_KEY].down || a->keys[VK_RSHIFT_KEY].down;
        } else if (arbiter_is_selection_key(vk)) {
            out->forward = 1;
            out->forward_vk = vk;
            out->forward_pressed = pressed;
        }
    }
    return true;
}

void arbiter_record_release(arbiter* a, int vk, uint32_t time) {
    if (!arbiter_valid_key(vk)) return;
    arbiter_key* k = &a->keys[vk];
    k->known = 1;
    k->down = 0;
    k->fired = 0;
    k->released = 1;
    k->last_release = time;
}

int arbiter_chord_digit(const arbiter* a, uint32_t time) {
    for (int d = 0; d < 9; d++) {
        const arbiter_key* pair[2] = {&a->keys[VK_DIGIT1 + d], &a->keys[VK_PAD1 + d]};
        for (const arbiter_key* k : pair)
            if (k->known && k->down && (int32_t)(time - k->last_transition) <= ARBITER_CHORD_MAX_AGE_MS) return d + 1;
    }
    return 0;
}

int arbiter_sweep(arbiter* a, uint32_t now, arbiter_key_down_fn is_down, void* ctx) {
    int repaired = 0;
    for (int vk = 1; vk < ARBITER_KEYS; vk++) {
        const arbiter_key* k = &a->keys[vk];
        if (!a->watched[vk] || !k->down) continue;
        if (arbiter_before(now, k->last_transition) || arbiter_before(k->last_transition, a->epoch)) continue;
        if (is_down && is_down(vk, ctx)) continue;
        arbiter_record_release(a, vk, now);
        repaired++;
    }
    return repaired;
}

bool arbiter_hook_swallow(arbiter_hook* h, int vk, bool pressed, bool client_attached) {
    if (!arbiter_valid_key(vk)) return false;
    bool swallow = false;
    if (pressed) {
        if (client_attached && !h->down[vk] && arbiter_is_selection_key(vk)) h->swallowed[vk] = 1;
        swallow = h->swallowed[vk] != 0;
    } else if (h->swallowed[vk]) {
        // The release goes too, so the focused program never sees half a key stroke.
        h->swallowed[vk] = 0;
        swallow = true;
    }
    h->down[vk] = pressed;
    return swallow;
}

int arbiter_mouse_push(arbiter_mouse_queue* q, const broker_mouse_packet* p) {
    if (q->count > 0) {
        broker_mouse_packet* last = &q->packets[q->count - 1];
        if (last->button_flags == 0 && p->button_flags == 0 && (last->absolute != 0) == (p->absolute != 0)) {
            if (p->absolute) {
                last->dx = p->dx;
                last->dy = p->dy;
            } else {
                last->dx += p->dx;
                last->dy += p->dy;
            }
            last->screen_x = p->screen_x;
            last->screen_y = p->screen_y;
            last->mods = p->mods;
            last->time = p->time;
            last->cursor = p->cursor;
            return ARBITER_MOUSE_MERGED;
        }
    }
    if (q->count >= BROKER_MOUSE_QUEUE_MAX) {
        q->overflow = 1;
        return ARBITER_MOUSE_OVERFLOW;
    }
    q->packets[q->count++] = *p;
    return ARBITER_MOUSE_APPENDED;
}

LONG arbiter_mouse_scale(LONG value, int origin, int size) {
    if (size <= 1) return origin;
    if (value < 0) value = 0;
    if (value > 65535) value = 65535;
    return (LONG)(origin + (int64_t)value * (size - 1) / 65535);
}
