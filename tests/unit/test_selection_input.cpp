#include "agent/overlay/selection_input.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

// ---- Raw pointer steps

TEST(SelectionInput, RawStepScalesAndStaysOnTheScreen) {
    const RECT one{0, 0, 1920, 1080};
    const RECT two{-1280, 0, 1024, 800};  // a monitor left of the primary
    struct {
        const RECT* screen;
        int64_t x100, y100;
        LONG dx, dy;
        int percent;
        int64_t want_x100, want_y100;
    } cases[] = {
        {&one, 100000, 50000, 10, 10, 200, 102000, 52000},  // 10 counts at 200 % move 20 pixels
        {&one, 100000, 50000, 10, 10, 50, 100500, 50500},   // 10 counts at 50 % move 5 pixels
        {&one, 100000, 50000, -10, -4, 50, 99500, 49800},
        {&one, 100000, 50000, 1, 1, 50, 100050, 50050},  // half pixels add up, not rounded away
        {&one, 100000, 50000, 10, 0, 100, 101000, 50000},
        {&one, 191000, 107000, 5000, 5000, 200, 191999, 107999},  // right and bottom edges
        {&one, 500, 500, -5000, -5000, 400, 0, 0},                // left and top edges
        {&two, -127000, 1000, -5000, -5000, 100, -128000, 0},     // negative origin
    };
    for (const auto& c : cases) {
        int64_t x = c.x100, y = c.y100;
        selection_input_raw_step(&x, &y, c.dx, c.dy, c.percent, c.screen);
        EXPECT_EQ(x, c.want_x100) << c.x100 << " + " << c.dx << " at " << c.percent;
        EXPECT_EQ(y, c.want_y100) << c.y100 << " + " << c.dy << " at " << c.percent;
    }
}

TEST(SelectionInput, RawPointerNeverLeavesTheScreen) {
    const RECT screen{-1280, -200, 1024, 800};
    int64_t x = 0, y = 0;
    const LONG steps[][2] = {{100000, 0}, {0, 100000}, {-300000, 0}, {0, -300000}, {7, 9}, {-1, -1}};
    for (const auto& st : steps) {
        selection_input_raw_step(&x, &y, st[0], st[1], 400, &screen);
        EXPECT_GE(x, screen.left * 100LL);
        EXPECT_LT(x, screen.right * 100LL);
        EXPECT_GE(y, screen.top * 100LL);
        EXPECT_LT(y, screen.bottom * 100LL);
    }
}

TEST(SelectionInput, PercentClamp) {
    const int cases[][2] = {{0, 25}, {-5, 25}, {24, 25}, {25, 25}, {100, 100}, {400, 400}, {401, 400}, {100000, 400}};
    for (const auto& c : cases) EXPECT_EQ(selection_input_clamp_percent(c[0]), c[1]) << c[0];
}

// ---- Pinned-cursor detection

TEST(SelectionInput, RecentreDetection) {
    // Each case feeds packets from a fresh reference at t = 1000 ms, cursor (500, 500).
    struct packet {
        DWORD t;
        POINT cursor;
        LONG dx, dy;
    };
    struct {
        const char* what;
        packet p[4];
        int n;
        bool want;       // the last packet switches to raw
        DWORD want_ref;  // reference time afterwards
        int64_t want_motion;
    } cases[] = {
        {"pinned cursor, enough motion and time",
         {{1050, {500, 500}, 40, 0}, {1130, {502, 499}, 30, 20}},
         2,
         true,
         1000,
         90},
        {"too early", {{1050, {500, 500}, 60, 0}, {1110, {500, 500}, 60, 0}}, 2, false, 1000, 120},
        {"too little motion", {{1200, {500, 500}, 30, 0}, {1240, {500, 500}, 0, -40}}, 2, false, 1000, 70},
        {"cursor follows the mouse", {{1150, {505, 500}, 90, 0}}, 1, false, 1000, 90},
        {"cursor follows, reference renewed after 250 ms", {{1260, {540, 500}, 90, 0}}, 1, false, 1260, 0},
        {"slow motion renews the reference",
         {{1300, {500, 500}, 10, 0}, {1400, {500, 500}, 70, 0}},
         2,
         false,
         1300,
         70},
        {"4 pixels is still pinned", {{1125, {504, 496}, 80, 0}}, 1, true, 1000, 80},
        {"a packet older than the reference", {{1000u + 0xFFFFFF00u, {500, 500}, 40, 0}}, 1, false, 1000, 40},
    };
    for (const auto& c : cases) {
        DWORD ref = 1000;
        POINT ref_cursor{500, 500};
        int64_t motion = 0;
        bool last = false;
        for (int i = 0; i < c.n; i++)
            last = selection_input_recentre_check(&ref, &ref_cursor, &motion, c.p[i].t, c.p[i].cursor, c.p[i].dx,
                                                  c.p[i].dy);
        EXPECT_EQ(last, c.want) << c.what;
        EXPECT_EQ(ref, c.want_ref) << c.what;
        EXPECT_EQ(motion, c.want_motion) << c.what;
    }
    // Right after the overlay shows, a lone burst starts the clock instead of switching;
    // motion that goes on while the cursor stays put then does switch.
    DWORD ref = 1000;
    POINT ref_cursor{500, 500};
    int64_t motion = -1;
    EXPECT_FALSE(selection_input_recentre_check(&ref, &ref_cursor, &motion, 1200, {500, 500}, 600, 300));
    EXPECT_EQ(ref, 1200u);
    EXPECT_EQ(motion, 900);
    EXPECT_TRUE(selection_input_recentre_check(&ref, &ref_cursor, &motion, 1330, {501, 500}, 40, 0));
}

}  // namespace
