// The input broker's key logic driven with explicit message times: one action per
// press across three routes, exact modifiers, chord digits, the stale rule, the
// sweep, what a selection client is forwarded, the hook's swallowing, and the raw
// mouse queue.
#include "agent/input/arbiter.h"
#include <gtest/gtest.h>
#include <initializer_list>
#include <vector>

namespace {

constexpr int C = 'C', PRTSC = 0x2C, LSHIFT = 0xA0, RSHIFT = 0xA1, LCTRL = 0xA2, RCTRL = 0xA3, LALT = 0xA4;
constexpr int ESC = 0x1B, D3 = '3', D5 = '5', PAD3 = 0x63;
constexpr int REG = 0, RAW = 1, HOOK = 2, SWEEP = 3;  // step kinds; the first three are routes
constexpr uint32_t EPOCH = 1000;

// Physical keyboard for configure and the sweep.
struct fake_keys {
    bool down[ARBITER_KEYS];
};
bool fake_down(int vk, void* ctx) { return ((fake_keys*)ctx)->down[vk]; }

// Ctrl+Shift+C is action 1, Ctrl+C (with the no-repeat bit) action 2, PrtSc action 3.
void setup(arbiter* a, fake_keys* held = nullptr) {
    hotkey_pair hk[HOTKEY_COUNT] = {{6, C}, {2 | 0x4000, C}, {0, PRTSC}};
    fake_keys none{};
    arbiter_init(a);
    arbiter_configure(a, hk, EPOCH, fake_down, held ? held : &none);
}

struct step {
    int kind;  // REG (vk = action id), RAW, HOOK, SWEEP (vk unused; nothing held)
    int vk;
    int pressed;
    uint32_t t;
};

// Runs steps and returns the action ids that fired, in order.
std::vector<int> run(arbiter* a, std::initializer_list<step> steps, bool attached = false) {
    std::vector<int> fired;
    arbiter_client client{attached, 0};
    fake_keys up{};
    for (const step& s : steps) {
        int id = 0;
        arbiter_outcome out{};
        if (s.kind == REG)
            id = arbiter_registered_press(a, s.vk, s.t, attached);
        else if (s.kind == SWEEP)
            arbiter_sweep(a, s.t, fake_down, &up);
        else if (arbiter_key_event(a, s.kind, s.vk, s.pressed != 0, s.t, &client, &out))
            id = out.action;
        if (id) fired.push_back(id);
    }
    return fired;
}

TEST(Arbiter, OnePressOneActionAcrossRoutes) {
    struct row {
        const char* what;
        std::initializer_list<step> steps;
        bool attached;
        std::vector<int> fired;
        uint64_t duplicates, stale, blocked;
        int last_route;
    } rows[] = {
        {"registered, raw 5 ms later", {{REG, 3, 1, 2000}, {RAW, PRTSC, 1, 2005}}, false, {3}, 1, 0, 0, REG},
        {"registered, raw 40 ms later", {{REG, 3, 1, 2000}, {RAW, PRTSC, 1, 2040}}, false, {3}, 1, 0, 0, REG},
        {"raw, hook and registered",
         {{RAW, PRTSC, 1, 2000}, {HOOK, PRTSC, 1, 2000}, {REG, 3, 1, 2001}},
         false,
         {3},
         2,
         0,
         0,
         RAW},
        {"auto-repeat",
         {{HOOK, PRTSC, 1, 2000}, {HOOK, PRTSC, 1, 2500}, {HOOK, PRTSC, 1, 2533}, {REG, 3, 1, 2533}},
         false,
         {3},
         3,
         0,
         0,
         HOOK},
        {"blocked while attached", {{RAW, PRTSC, 1, 2000}, {HOOK, PRTSC, 1, 2000}}, true, {}, 1, 0, 1, -1},
        {"registered blocked", {{REG, 3, 1, 2000}}, true, {}, 0, 0, 1, -1},
        {"press, release, press",
         {{RAW, PRTSC, 1, 2000}, {RAW, PRTSC, 0, 2080}, {RAW, PRTSC, 1, 2300}},
         false,
         {3, 3},
         0,
         0,
         0,
         RAW},
        {"before the epoch", {{RAW, PRTSC, 1, EPOCH - 1}}, false, {}, 0, 1, 0, -1},
        {"press reported after its release",
         {{RAW, PRTSC, 1, 2000}, {RAW, PRTSC, 0, 2050}, {HOOK, PRTSC, 1, 2000}},
         false,
         {3},
         0,
         1,
         0,
         RAW},
        {"release older than the last transition",
         {{RAW, PRTSC, 1, 2000}, {HOOK, PRTSC, 0, 1990}},
         false,
         {3},
         0,
         1,
         0,
         RAW},
        // A new press on another route within 25 ms of the activation is the same press.
        {"other route within 25 ms",
         {{RAW, PRTSC, 1, 2000}, {RAW, PRTSC, 0, 2005}, {HOOK, PRTSC, 1, 2010}},
         false,
         {3},
         1,
         0,
         0,
         RAW},
        {"other route after 25 ms",
         {{RAW, PRTSC, 1, 2000}, {RAW, PRTSC, 0, 2005}, {HOOK, PRTSC, 1, 2026}},
         false,
         {3, 3},
         0,
         0,
         0,
         HOOK},
        {"same route within 25 ms",
         {{RAW, PRTSC, 1, 2000}, {RAW, PRTSC, 0, 2005}, {RAW, PRTSC, 1, 2010}},
         false,
         {3, 3},
         0,
         0,
         0,
         RAW},
        // The registered route's missing release, repaired by the sweep, lets the next press fire.
        {"registered hold, sweep, press",
         {{REG, 3, 1, 2000}, {REG, 3, 1, 2500}, {SWEEP, 0, 0, 2600}, {REG, 3, 1, 2700}},
         false,
         {3, 3},
         1,
         0,
         0,
         REG},
    };
    for (const row& r : rows) {
        arbiter a;
        setup(&a);
        EXPECT_EQ(run(&a, r.steps, r.attached), r.fired) << r.what;
        EXPECT_EQ(a.counters.duplicates, r.duplicates) << r.what;
        EXPECT_EQ(a.counters.stale, r.stale) << r.what;
        EXPECT_EQ(a.counters.blocked, r.blocked) << r.what;
        EXPECT_EQ(a.counters.last_route, r.last_route) << r.what;
        uint64_t activations = a.counters.activations[0] + a.counters.activations[1] + a.counters.activations[2];
        EXPECT_EQ(activations, r.fired.size()) << r.what;
    }
}

TEST(Arbiter, ModifiersMatchExactly) {
    struct row {
        std::initializer_list<int> held;  // pressed in order before C
        int want;
    } rows[] = {
        {{LCTRL}, 2}, {{RCTRL}, 2},  {{LCTRL, LSHIFT}, 1}, {{RSHIFT, RCTRL}, 1},
        {{}, 0},      {{LSHIFT}, 0}, {{LCTRL, LALT}, 0},   {{LCTRL, LSHIFT, LALT}, 0},
    };
    for (const row& r : rows) {
        arbiter a;
        setup(&a);
        arbiter_client none{};
        arbiter_outcome out;
        uint32_t t = 2000;
        for (int vk : r.held) arbiter_key_event(&a, RAW, vk, true, t++, &none, &out);
        arbiter_key_event(&a, RAW, C, true, t, &none, &out);
        EXPECT_EQ(out.action, r.want) << "held " << r.held.size();
    }
}

TEST(Arbiter, ChordDigit) {
    struct row {
        int digit_vk;
        uint32_t pressed_at, released_at;  // 0 = still held
        uint32_t hotkey_at;
        int want;
    } rows[] = {
        {D3, 2000, 0, 2500, 3},    {PAD3, 2000, 0, 2500, 3}, {D3, 2000, 0, 12000, 3},  // exactly 10 s
        {D3, 2000, 0, 12001, 0},    // held too long before the hotkey
        {D3, 2000, 2400, 2500, 0},  // released
        {'A', 2000, 0, 2500, 0},    // not a digit
    };
    for (const row& r : rows) {
        arbiter a;
        setup(&a);
        std::vector<int> fired = run(&a, {{HOOK, r.digit_vk, 1, r.pressed_at}});
        if (r.released_at) run(&a, {{HOOK, r.digit_vk, 0, r.released_at}});
        EXPECT_EQ(arbiter_chord_digit(&a, r.hotkey_at), r.want) << r.digit_vk << " at " << r.hotkey_at;
    }
    arbiter a;
    setup(&a);
    run(&a, {{RAW, D5, 1, 2000}, {RAW, '2', 1, 2001}});
    EXPECT_EQ(arbiter_chord_digit(&a, 2100), 2) << "the lowest held digit wins";
}

TEST(Arbiter, SweepAndSeed) {
    // A key held through configure is known as down and does not fire on its repeats.
    fake_keys held{};
    held.down[PRTSC] = true;
    arbiter a;
    setup(&a, &held);
    EXPECT_TRUE(run(&a, {{RAW, PRTSC, 1, 1500}}).empty());
    // Still held: the sweep leaves it; released while unseen: the sweep repairs it.
    EXPECT_EQ(arbiter_sweep(&a, 1600, fake_down, &held), 0);
    held.down[PRTSC] = false;
    EXPECT_EQ(arbiter_sweep(&a, 1616, fake_down, &held), 1);
    EXPECT_EQ(run(&a, {{RAW, PRTSC, 1, 1700}}), std::vector<int>{3});
    // A transition newer than the sweep's clock is left alone.
    run(&a, {{RAW, PRTSC, 0, 1750}, {RAW, D3, 1, 1800}});
    EXPECT_EQ(arbiter_sweep(&a, 1790, fake_down, &held), 0);
    EXPECT_EQ(arbiter_sweep(&a, 1800, fake_down, &held), 1);
}

TEST(Arbiter, Normalise) {
    struct row {
        int vk;
        bool extended;
        unsigned scan;
        int want;
    } rows[] = {
        {0x12, false, 0x38, LALT},   {0x12, true, 0x38, 0xA5},    {0x11, false, 0x1D, LCTRL}, {0x11, true, 0x1D, RCTRL},
        {0x10, false, 0x2A, LSHIFT}, {0x10, false, 0x36, RSHIFT}, {0x10, true, 0x2A, LSHIFT}, {C, true, 0x2E, C},
    };
    for (const row& r : rows) EXPECT_EQ(arbiter_normalise(r.vk, r.extended, r.scan), r.want) << r.vk;
}

TEST(Arbiter, ForwardsSelectionKeys) {
    struct row {
        int vk, pressed;
        uint32_t t;
        int forward, fvk, fpressed;
    } rows[] = {
        {LSHIFT, 1, 2000, 1, 0x10, 1}, {RSHIFT, 1, 2001, 1, 0x10, 1}, {LSHIFT, 0, 2002, 1, 0x10, 1},
        {RSHIFT, 0, 2003, 1, 0x10, 0}, {D5, 1, 2004, 1, D5, 1},       {D5, 1, 2030, 0, 0, 0},  // repeat
        {D5, 0, 2040, 1, D5, 0},       {PAD3, 1, 2050, 1, PAD3, 1},   {ESC, 1, 2060, 1, ESC, 1},
        {LCTRL, 1, 2070, 0, 0, 0},     {C, 1, 2080, 0, 0, 0},         {D3, 1, 1999, 0, 0, 0},  // before the attach
    };
    arbiter a;
    setup(&a);
    arbiter_client client{1, 1999};
    for (const row& r : rows) {
        client.attach_time = r.t == 1999 ? 2100 : 1999;
        arbiter_outcome out;
        arbiter_key_event(&a, HOOK, r.vk, r.pressed != 0, r.t, &client, &out);
        EXPECT_EQ(out.forward, r.forward) << r.vk << " at " << r.t;
        if (!r.forward) continue;
        EXPECT_EQ(out.forward_vk, r.fvk) << r.vk << " at " << r.t;
        EXPECT_EQ(out.forward_pressed, r.fpressed) << r.vk << " at " << r.t;
    }
    arbiter_client none{};
    arbiter_outcome out;
    arbiter_key_event(&a, HOOK, ESC, false, 2200, &none, &out);
    EXPECT_EQ(out.forward, 0) << "no client, nothing forwarded";
}

TEST(Arbiter, HookSwallowsSelectionKeys) {
    struct row {
        int vk, pressed;
        bool attached, want;
    } rows[] = {
        {D5, 1, true, true},    {D5, 1, true, true},   {D5, 0, false, true},  // repeat and release after detach
        {D5, 1, false, false},  {D5, 0, false, false}, {C, 1, true, false},   {C, 0, true, false},
        {ESC, 1, false, false}, {ESC, 1, true, false}, {ESC, 0, true, false},  // held before the attach
        {PAD3, 1, true, true},  {PAD3, 0, true, true},
    };
    arbiter_hook h{};
    for (const row& r : rows)
        EXPECT_EQ(arbiter_hook_swallow(&h, r.vk, r.pressed != 0, r.attached), r.want) << r.vk << " " << r.pressed;
}

TEST(Arbiter, MouseQueue) {
    arbiter_mouse_queue q{};
    broker_mouse_packet p{};
    p.dx = 3;
    p.dy = -2;
    p.time = 10;
    EXPECT_EQ(arbiter_mouse_push(&q, &p), ARBITER_MOUSE_APPENDED);
    p.time = 11;
    EXPECT_EQ(arbiter_mouse_push(&q, &p), ARBITER_MOUSE_MERGED);
    EXPECT_EQ(q.count, 1);
    EXPECT_EQ(q.packets[0].dx, 6);
    EXPECT_EQ(q.packets[0].dy, -4);
    EXPECT_EQ(q.packets[0].time, 11u);
    p.button_flags = 1;  // a button change is never merged, neither into nor onto
    EXPECT_EQ(arbiter_mouse_push(&q, &p), ARBITER_MOUSE_APPENDED);
    p.button_flags = 0;
    EXPECT_EQ(arbiter_mouse_push(&q, &p), ARBITER_MOUSE_APPENDED);
    p.absolute = 1;
    p.dx = 40000;
    EXPECT_EQ(arbiter_mouse_push(&q, &p), ARBITER_MOUSE_APPENDED);
    p.dx = 41000;
    EXPECT_EQ(arbiter_mouse_push(&q, &p), ARBITER_MOUSE_MERGED);
    EXPECT_EQ(q.packets[3].dx, 41000) << "absolute positions replace";
    p.absolute = 0;
    while (q.count < BROKER_MOUSE_QUEUE_MAX) {
        p.button_flags = (USHORT)(q.count & 1 ? 1 : 2);
        EXPECT_NE(arbiter_mouse_push(&q, &p), ARBITER_MOUSE_OVERFLOW);
    }
    EXPECT_EQ(q.overflow, 0);
    EXPECT_EQ(arbiter_mouse_push(&q, &p), ARBITER_MOUSE_OVERFLOW);
    EXPECT_EQ(q.overflow, 1);
    EXPECT_EQ(q.count, BROKER_MOUSE_QUEUE_MAX);
}

TEST(Arbiter, AbsoluteScaling) {
    struct row {
        LONG value;
        int origin, size;
        LONG want;
    } rows[] = {
        {0, 0, 1920, 0},         {65535, 0, 1920, 1919}, {32768, 0, 1920, 959}, {65535, -1280, 3584, 2303},
        {0, -1280, 3584, -1280}, {70000, 0, 1080, 1079}, {-5, 0, 1080, 0},      {65535, 0, 1, 0},
    };
    for (const row& r : rows) EXPECT_EQ(arbiter_mouse_scale(r.value, r.origin, r.size), r.want) << r.value;
}

}  // namespace
