// The clip bar's look and placement: where the bar goes around an area, the frame's
// outline and corner marks, what a click at a point hits, when the accent turns
// orange and the dot blinks, and the colours at key pixels of painted states.
#include "agent/clips/clip_bar_draw.h"
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

std::string rect_text(const RECT& r) {
    return std::to_string(r.left) + "," + std::to_string(r.top) + "," + std::to_string(r.right) + "," +
           std::to_string(r.bottom);
}

TEST(ClipBar, PlacementAroundTheArea) {
    const RECT screen_work{0, 0, 1920, 1040};
    struct row {
        const char* what;
        RECT area, work;
        const char* bar;
        int inside;
    } rows[] = {
        {"small region: below", {100, 100, 420, 340}, screen_work, "2,352,518,396", 0},
        {"near the bottom: above", {700, 900, 1020, 1020}, screen_work, "602,844,1118,888", 0},
        {"full screen: inside near its bottom", {0, 0, 1920, 1080}, screen_work, "702,984,1218,1028", 1},
        {"full height on the left: right", {0, 0, 600, 1040}, screen_work, "612,498,1128,542", 0},
        {"full height on the right: left", {1300, 0, 1920, 1040}, screen_work, "772,498,1288,542", 0},
        {"at the left edge: clamped into the work area", {0, 500, 200, 700}, screen_work, "0,712,516,756", 0},
        {"second monitor's work area", {2000, 100, 2400, 400}, {1920, 0, 3200, 1024}, "1942,412,2458,456", 0},
        {"area outside the work area: inside the work area",
         {3000, 0, 3100, 2000},
         screen_work,
         "702,984,1218,1028",
         1},
        {"work area lower than the bar's room: inside at its top",
         {0, 0, 1920, 1040},
         {0, 0, 1920, 50},
         "702,0,1218,44",
         1},
    };
    for (const row& r : rows) {
        RECT bar{};
        int inside = -1;
        clip_bar_draw_place(&r.area, &r.work, CLIP_BAR_W, CLIP_BAR_H, CLIP_BAR_GAP, &bar, &inside);
        EXPECT_EQ(rect_text(bar), r.bar) << r.what;
        EXPECT_EQ(inside, r.inside) << r.what;
    }
}

bool region_holds(const clip_bar_frame& f, long x, long y) {
    for (int i = 0; i < f.count; i++)
        if (x >= f.parts[i].left && x < f.parts[i].right && y >= f.parts[i].top && y < f.parts[i].bottom) return true;
    return false;
}

TEST(ClipBar, FrameOutsideOrInside) {
    const RECT output{0, 0, 1920, 1080};
    struct row {
        const char* what;
        RECT area;
        const char* window;
        int inside;
        std::vector<POINT> on, off;  // window-relative points in and out of the visible region
    } rows[] = {
        {"region: 2-pixel outline just outside, marks in the 5-pixel band",
         {100, 100, 420, 340},
         "95,95,425,345",
         0,
         {{3, 50}, {4, 50}, {50, 3}, {326, 50}, {50, 246}, {0, 0}, {21, 4}, {4, 21}, {329, 0}, {0, 249}, {329, 249}},
         {{2, 50}, {5, 50}, {50, 5}, {22, 0}, {0, 22}, {10, 10}, {165, 125}, {327, 50}}},
        {"full screen: outline and marks inside the edges",
         {0, 0, 1920, 1080},
         "0,0,1920,1080",
         1,
         {{0, 500}, {1, 500}, {1919, 500}, {900, 1079}, {21, 4}, {1915, 1075}},
         {{2, 500}, {1917, 500}, {22, 3}, {900, 1077}, {960, 540}}},
        {"grown area exactly fits the output", {5, 5, 1915, 1075}, "0,0,1920,1080", 0, {{3, 500}}, {{5, 500}}},
        {"one pixel short of fitting", {4, 5, 1915, 1075}, "4,5,1915,1075", 1, {{0, 500}}, {{2, 500}}},
    };
    for (const row& r : rows) {
        clip_bar_frame f{};
        clip_bar_draw_frame_layout(&r.area, &output, &f);
        EXPECT_EQ(rect_text(f.window), r.window) << r.what;
        EXPECT_EQ(f.inside, r.inside) << r.what;
        EXPECT_EQ(f.count, CLIP_BAR_FRAME_PARTS) << r.what;
        for (POINT p : r.on) EXPECT_TRUE(region_holds(f, p.x, p.y)) << r.what << " " << p.x << "," << p.y;
        for (POINT p : r.off) EXPECT_FALSE(region_holds(f, p.x, p.y)) << r.what << " " << p.x << "," << p.y;
    }
}

TEST(ClipBar, HitTest) {
    struct row {
        int x, y;
        double scale;
        int audio, want;
    } rows[] = {
        {270, 20, 1, 1, 1}, {270, 20, 1, 0, 0},  // desktop sound exists only with audio
        {312, 6, 1, 1, 2},  {343, 37, 1, 1, 2}, {320, 5, 1, 1, 0},  {320, 38, 1, 1, 0}, {344, 20, 1, 1, 0},
        {348, 20, 1, 1, 3}, {400, 20, 1, 0, 4}, {428, 30, 1, 0, 5}, {505, 30, 1, 0, 5}, {506, 30, 1, 0, 0},
        {100, 20, 1, 1, 0}, {640, 20, 2, 0, 2}, {330, 20, 2, 0, 0},
    };
    for (const row& r : rows)
        EXPECT_EQ(clip_bar_draw_hit(r.x, r.y, r.scale, r.audio), r.want) << r.x << "," << r.y << " scale " << r.scale;
}

TEST(ClipBar, KeyFromStatus) {
    struct row {
        const char* what;
        clip_bar_input in;
        int seconds, progress, limit, orange, blink_off, level;
    } rows[] = {
        {"start", {1, 0, 30, 30}, 0, 0, 30, 0, 0, 0},
        {"24.97 s of 30", {1, 749, 30, 30}, 24, 199, 30, 0, 0, 0},
        {"25 s of 30 turns orange", {1, 750, 30, 30}, 25, 200, 30, 1, 0, 0},
        {"past the limit stays full", {1, 2000, 30, 30}, 66, 240, 30, 1, 0, 0},
        {"limit below 1 means 30", {1, 300, 30, 0}, 10, 80, 30, 0, 0, 0},
        {"8 s limit: orange from 3 s", {1, 90, 30, 8}, 3, 90, 8, 1, 0, 0},
        {"no rate counts no time", {1, 500, 0, 30}, 0, 0, 30, 0, 0, 0},
        {"paused, first half-second", {2, 30, 30, 30, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1000}, 1, 8, 30, 1, 0, 0},
        {"paused, second half-second", {2, 30, 30, 30, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1500}, 1, 8, 30, 1, 1, 0},
        {"recording does not blink", {1, 30, 30, 30, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1500}, 1, 8, 30, 0, 0, 0},
        {"level 0.1", {1, 0, 30, 30, 1, 1, 1, 0, 0, 0.1}, 0, 0, 30, 0, 0, 2},
        {"level 0.5", {1, 0, 30, 30, 1, 1, 1, 0, 0, 0.5}, 0, 0, 30, 0, 0, 14},
        {"level 1.0", {1, 0, 30, 30, 1, 1, 1, 0, 0, 1.0}, 0, 0, 30, 0, 0, 15},
    };
    for (const row& r : rows) {
        clip_bar_key k;
        clip_bar_draw_key_make(&r.in, &k);
        EXPECT_EQ(k.seconds, r.seconds) << r.what;
        EXPECT_EQ(k.progress, r.progress) << r.what;
        EXPECT_EQ(k.limit, r.limit) << r.what;
        EXPECT_EQ(k.orange, r.orange) << r.what;
        EXPECT_EQ(k.blink_off, r.blink_off) << r.what;
        EXPECT_EQ(k.system_level, r.level) << r.what;
    }
    wchar_t t[8];
    const std::pair<int, const wchar_t*> times[] = {{0, L"0:00"}, {25, L"0:25"}, {90, L"1:30"}, {600, L"10:00"}};
    for (auto& [s, want] : times) {
        clip_bar_draw_time_text(s, t, 8);
        EXPECT_STREQ(t, want);
    }
}

TEST(ClipBar, KeyPixelsOfPaintedStates) {
    struct probe {
        int x, y;
        uint32_t want;
    };
    auto key = [](int state, int progress, int orange, int blink_off, int audio, int on, int ok, int hover, int press) {
        clip_bar_key k{};
        k.state = state, k.progress = progress, k.limit = 30, k.orange = orange, k.blink_off = blink_off;
        k.audio = audio, k.system_on = on, k.system_ok = ok, k.hover = hover, k.press = press;
        return k;
    };
    const uint32_t BG = CLIP_BAR_BACKGROUND;
    struct row {
        const char* what;
        clip_bar_key k;
        std::vector<probe> probes;
    } rows[] = {
        {"recording, no audio",
         key(1, 0, 0, 0, 0, 0, 0, 0, 0),
         {{20, 22, CLIP_BAR_RED},
          {2, 2, BG},
          {100, 22, CLIP_BAR_TRACK},
          {250, 22, CLIP_BAR_LINE},
          {302, 20, CLIP_BAR_LINE},
          {251, 22, BG},
          {266, 22, BG},
          {440, 10, CLIP_BAR_RED},
          {318, 8, BG},
          {323, 22, CLIP_BAR_TEXT},
          {328, 22, BG}}},
        {"recording half way",
         key(1, 120, 0, 0, 0, 0, 0, 0, 0),
         {{100, 22, CLIP_BAR_RED}, {140, 22, CLIP_BAR_RED}, {150, 22, CLIP_BAR_TRACK}}},
        {"orange at the end",
         key(1, 200, 1, 0, 0, 0, 0, 0, 0),
         {{20, 22, CLIP_BAR_ORANGE}, {180, 22, CLIP_BAR_ORANGE}, {200, 22, CLIP_BAR_TRACK}}},
        {"paused, blink on",
         key(2, 8, 1, 0, 0, 0, 0, 0, 0),
         {{20, 22, CLIP_BAR_ORANGE}, {325, 22, CLIP_BAR_TEXT}, {333, 17, BG}}},
        {"paused, blink off", key(2, 8, 1, 1, 0, 0, 0, 0, 0), {{20, 22, BG}, {17, 19, BG}}},
        {"sound on and open", key(1, 0, 0, 0, 1, 1, 1, 0, 0), {{266, 22, CLIP_BAR_TEXT}}},
        {"sound on, device failed", key(1, 0, 0, 0, 1, 1, 0, 0, 0), {{266, 22, CLIP_BAR_ORANGE}}},
        {"sound off", key(1, 0, 0, 0, 1, 0, 0, 0, 0), {{266, 22, CLIP_BAR_GREY}}},
        {"pause hovered", key(1, 0, 0, 0, 0, 0, 0, 2, 0), {{318, 8, CLIP_BAR_HOVER}, {354, 8, BG}}},
        {"redo pressed", key(1, 0, 0, 0, 0, 0, 0, 3, 3), {{354, 8, CLIP_BAR_PRESSED}, {318, 8, BG}}},
        {"cancel hovered", key(1, 0, 0, 0, 0, 0, 0, 4, 0), {{390, 35, CLIP_BAR_HOVER}, {400, 22, CLIP_BAR_TEXT}}},
        {"save hovered", key(1, 0, 0, 0, 0, 0, 0, 5, 0), {{440, 10, CLIP_BAR_SAVE_HOVER}}},
        {"save pressed", key(1, 0, 0, 0, 0, 0, 0, 5, 5), {{440, 10, CLIP_BAR_SAVE_PRESSED}}},
    };
    std::vector<uint32_t> px(CLIP_BAR_W * CLIP_BAR_H);
    for (const row& r : rows) {
        clip_bar_draw_paint(&r.k, 1.0, px.data(), CLIP_BAR_W, CLIP_BAR_H);
        for (const probe& p : r.probes)
            EXPECT_EQ(px[p.y * CLIP_BAR_W + p.x], p.want) << r.what << " at " << p.x << "," << p.y;
    }
    // At twice the DPI every length doubles.
    std::vector<uint32_t> big(CLIP_BAR_W * 2 * CLIP_BAR_H * 2);
    clip_bar_key k = key(1, 0, 0, 0, 0, 0, 0, 5, 0);
    clip_bar_draw_paint(&k, 2.0, big.data(), CLIP_BAR_W * 2, CLIP_BAR_H * 2);
    EXPECT_EQ(big[44 * CLIP_BAR_W * 2 + 40], CLIP_BAR_RED);
    EXPECT_EQ(big[20 * CLIP_BAR_W * 2 + 880], CLIP_BAR_SAVE_HOVER);
}

TEST(ClipBar, BitmapFile) {
    const uint32_t px[6] = {0x00102030u, 0xFF405060u, 1, 2, 3, 4};
    uint8_t out[54 + 24];
    EXPECT_EQ(clip_bar_draw_bmp(px, 3, 2, nullptr, 0), sizeof out);
    ASSERT_EQ(clip_bar_draw_bmp(px, 3, 2, out, sizeof out), sizeof out);
    auto u32 = [&](int at) { return (uint32_t)(out[at] | out[at + 1] << 8 | out[at + 2] << 16 | out[at + 3] << 24); };
    EXPECT_EQ(out[0], 'B');
    EXPECT_EQ(out[1], 'M');
    EXPECT_EQ(u32(2), sizeof out);
    EXPECT_EQ(u32(10), 54u);
    EXPECT_EQ(u32(14), 40u);
    EXPECT_EQ((int32_t)u32(18), 3);
    EXPECT_EQ((int32_t)u32(22), -2);  // top-down
    EXPECT_EQ(out[28], 32);
    EXPECT_EQ(u32(54), 0xFF102030u);  // alpha forced
    EXPECT_EQ(u32(54 + 20), 0xFF000004u);
}

}  // namespace
