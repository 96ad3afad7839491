// Rectangle arithmetic of captures across monitors, window clipping, the
// acquire time-out rule, the black-frame sample grid, the monitor text and
// the pixel helpers of the GDI duplication and the HDR converter.
#include "agent/capture/capture.h"
#include "agent/capture/display_cache.h"
#include "agent/capture/dup_standin.h"
#include "agent/capture/hdr.h"
#include "common/rect.h"
#include <gtest/gtest.h>
#include <cstring>
#include <set>
#include <vector>

static bool rect_eq(const RECT& a, const RECT& b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

TEST(CaptureMath, Intersect) {
    struct row {
        RECT a, b;
        bool ok;
        RECT want;
    } rows[] = {
        {{0, 0, 100, 100}, {50, 50, 150, 150}, true, {50, 50, 100, 100}},
        {{0, 0, 100, 100}, {10, 20, 30, 40}, true, {10, 20, 30, 40}},
        {{0, 0, 100, 100}, {100, 0, 200, 100}, false, {}},  // edges touch: no area
        {{0, 0, 100, 100}, {0, 100, 100, 200}, false, {}},
        {{-1920, 0, 0, 1080}, {-100, -50, 50, 50}, true, {-100, 0, 0, 50}},
        {{0, 0, 100, 100}, {200, 200, 300, 300}, false, {}},
        {{0, 0, 0, 0}, {0, 0, 10, 10}, false, {}},    // empty input
        {{10, 10, 5, 5}, {0, 0, 20, 20}, false, {}},  // inverted input
    };
    for (const row& r : rows) {
        RECT out = {7, 7, 7, 7};
        EXPECT_EQ(rect_intersect(&r.a, &r.b, &out), r.ok);
        if (r.ok)
            EXPECT_TRUE(rect_eq(out, r.want));
        else
            EXPECT_TRUE(rect_eq(out, RECT{7, 7, 7, 7})) << "output touched on failure";
    }
}

TEST(CaptureMath, WindowRect) {
    struct row {
        RECT client, frame, want;
    } rows[] = {
        {{108, 131, 408, 331}, {100, 100, 416, 339}, {108, 131, 408, 331}},  // client inside the frame
        {{90, 90, 300, 300}, {100, 100, 400, 400}, {100, 100, 300, 300}},    // client sticks out: clipped
        {{500, 500, 600, 600}, {100, 100, 400, 400}, {100, 100, 400, 400}},  // apart: the frame bounds
        {{100, 100, 100, 300}, {100, 100, 400, 400}, {100, 100, 400, 400}},  // empty client: the frame
    };
    for (const row& r : rows) {
        RECT out;
        capture_window_rect(&r.client, &r.frame, &out);
        EXPECT_TRUE(rect_eq(out, r.want)) << out.left << "," << out.top << "," << out.right << "," << out.bottom;
    }
}

TEST(CaptureMath, AcquireTimeout) {
    EXPECT_EQ(capture_acquire_timeout(0, 0, 0), 500u);
    EXPECT_EQ(capture_acquire_timeout(0, 1, 0), 500u);
    EXPECT_EQ(capture_acquire_timeout(1, 0, 0), 500u);  // a clip still waits for its very first frame
    EXPECT_EQ(capture_acquire_timeout(1, 1, 0), 0u);
    // The GDI duplication reads the screen itself, so an unchanged screen needs no wait.
    EXPECT_EQ(capture_acquire_timeout(0, 0, 1), 500u);
    EXPECT_EQ(capture_acquire_timeout(0, 1, 1), 0u);
}

TEST(CaptureMath, PlanRectAcrossMonitors) {
    // Two monitors of different size side by side, as the dual-monitor tests use.
    const RECT mons[2] = {{0, 0, 1280, 800}, {1280, 0, 2304, 768}};
    struct piece {
        int index;
        RECT src;
        int dx, dy;
    };
    struct row {
        const char* what;
        RECT rect;
        std::vector<piece> want;
    } rows[] = {
        {"inside the first", {100, 100, 400, 300}, {{0, {100, 100, 400, 300}, 0, 0}}},
        {"inside the second", {1300, 10, 1400, 20}, {{1, {1300, 10, 1400, 20}, 0, 0}}},
        {"across both, into the gaps",
         {1000, 200, 1600, 900},
         {{0, {1000, 200, 1280, 800}, 0, 0}, {1, {1280, 200, 1600, 768}, 280, 0}}},
        {"half outside on the top left", {-100, -100, 200, 200}, {{0, {0, 0, 200, 200}, 100, 100}}},
        {"past the right edge", {2200, 600, 2500, 850}, {{1, {2200, 600, 2304, 768}, 0, 0}}},
        {"only in the gap below the second", {1300, 770, 1400, 790}, {}},
        {"far away", {5000, 5000, 5100, 5100}, {}},
        {"whole desktop", {0, 0, 2304, 800}, {{0, {0, 0, 1280, 800}, 0, 0}, {1, {1280, 0, 2304, 768}, 1280, 0}}},
    };
    for (const row& r : rows) {
        capture_piece got[DISPLAY_MAX_OUTPUTS];
        int n = capture_plan_rect(&r.rect, mons, 2, got);
        ASSERT_EQ(n, (int)r.want.size()) << r.what;
        for (int i = 0; i < n; i++) {
            EXPECT_EQ(got[i].index, r.want[i].index) << r.what;
            EXPECT_TRUE(rect_eq(got[i].src, r.want[i].src)) << r.what;
            EXPECT_EQ(got[i].dx, r.want[i].dx) << r.what;
            EXPECT_EQ(got[i].dy, r.want[i].dy) << r.what;
            // Every piece lands inside the destination buffer.
            EXPECT_GE(got[i].dx, 0);
            EXPECT_LE(got[i].dx + (got[i].src.right - got[i].src.left), r.rect.right - r.rect.left) << r.what;
            EXPECT_LE(got[i].dy + (got[i].src.bottom - got[i].src.top), r.rect.bottom - r.rect.top) << r.what;
        }
    }
}

TEST(CaptureMath, PlanRectNegativeDesktop) {
    // A monitor left of the primary has negative coordinates.
    const RECT mons[2] = {{0, 0, 1920, 1080}, {-1280, 100, 0, 1124}};
    RECT r = {-200, 50, 200, 250};
    capture_piece got[DISPLAY_MAX_OUTPUTS];
    ASSERT_EQ(capture_plan_rect(&r, mons, 2, got), 2);
    EXPECT_TRUE(rect_eq(got[0].src, RECT{0, 50, 200, 250}));
    EXPECT_EQ(got[0].dx, 200);
    EXPECT_EQ(got[0].dy, 0);
    EXPECT_TRUE(rect_eq(got[1].src, RECT{-200, 100, 0, 250}));
    EXPECT_EQ(got[1].dx, 0);
    EXPECT_EQ(got[1].dy, 50);
}

TEST(DisplayMath, SamplePoints) {
    struct row {
        int w, h;
    } sizes[] = {{1920, 1080}, {1024, 768}, {1, 1}, {33, 7}, {7680, 4320}};
    for (const row& s : sizes) {
        std::set<int> rows;
        for (int k = 0; k < 64; k += 2) {
            int x, y;
            display_sample_point(k, s.w, s.h, &x, &y);
            EXPECT_GE(x, 0);
            EXPECT_LT(x, s.w) << "k=" << k;
            EXPECT_GE(y, 0);
            EXPECT_LT(y, s.h) << "k=" << k;
            rows.insert(y);
        }
        if (s.h >= 16) {
            EXPECT_EQ(rows.size(), 8u);  // eight bands, odd sixteenths
        }
    }
    int x, y;
    display_sample_point(0, 1920, 1080, &x, &y);
    EXPECT_EQ(x, 30);
    EXPECT_EQ(y, 67);
    display_sample_point(14, 1920, 1080, &x, &y);
    EXPECT_EQ(x, 450);
    EXPECT_EQ(y, 1012);
    display_sample_point(62, 1920, 1080, &x, &y);
    EXPECT_EQ(x, 1890);
    EXPECT_EQ(y, 1012);
}

TEST(DisplayMath, MonitorEntries) {
    struct row {
        int index;
        RECT r;
        int primary;
        unsigned dpi;
        const wchar_t* device;
        const wchar_t* want;
    } rows[] = {
        {0, {0, 0, 1280, 800}, 1, 96, L"\\\\.\\DISPLAY1", L"m0=0,0,1280,800,1,96,\\\\.\\DISPLAY1"},
        {1, {1280, 0, 2304, 768}, 0, 144, L"\\\\.\\DISPLAY2", L"m1=1280,0,1024,768,0,144,\\\\.\\DISPLAY2"},
        {2, {-1920, -200, 0, 880}, 0, 120, L"\\\\.\\DISPLAY3", L"m2=-1920,-200,1920,1080,0,120,\\\\.\\DISPLAY3"},
        {3, {0, 0, 10, 10}, 0, 96, L"", L"m3=0,0,10,10,0,96,"},
    };
    wchar_t text[DISPLAY_TEXT_CAP] = L"";
    size_t len = 0;
    std::wstring joined;
    for (const row& r : rows) {
        wchar_t entry[320];
        int n = display_format_entry(entry, 320, r.index, &r.r, r.primary, r.dpi, r.device);
        EXPECT_STREQ(entry, r.want);
        EXPECT_EQ(n, (int)wcslen(r.want));
        ASSERT_TRUE(display_text_append(text, DISPLAY_TEXT_CAP, &len, entry));
        joined += (joined.empty() ? L"" : L"\t") + std::wstring(r.want);
    }
    EXPECT_EQ(std::wstring(text), joined);
    EXPECT_EQ(len, joined.size());
}

TEST(DisplayMath, TextCapacity) {
    // A short entry cut to the buffer keeps its terminator.
    RECT r = {0, 0, 1920, 1080};
    wchar_t small[8];
    int n = display_format_entry(small, 8, 0, &r, 1, 96, L"\\\\.\\DISPLAY1");
    EXPECT_EQ(n, 7);
    EXPECT_STREQ(small, L"m0=0,0,");

    // Appending past the capacity leaves the text as it was.
    wchar_t text[16] = L"";
    size_t len = 0;
    ASSERT_TRUE(display_text_append(text, 16, &len, L"m0=1234567"));
    EXPECT_FALSE(display_text_append(text, 16, &len, L"m1=12345"));  // 10 + tab + 8 + NUL > 16
    EXPECT_STREQ(text, L"m0=1234567");
    EXPECT_EQ(len, 10u);
    ASSERT_TRUE(display_text_append(text, 16, &len, L"m1=a"));
    EXPECT_STREQ(text, L"m0=1234567\tm1=a");
}

TEST(DisplayMath, MonitorsMatch) {
    display_output outs[2] = {};
    outs[0].monitor = (HMONITOR)0x10;
    outs[0].rect = RECT{0, 0, 1280, 800};
    outs[1].monitor = (HMONITOR)0x20;
    outs[1].rect = RECT{1280, 0, 2304, 768};
    HMONITOR mons[2] = {(HMONITOR)0x20, (HMONITOR)0x10};
    RECT rects[2] = {{1280, 0, 2304, 768}, {0, 0, 1280, 800}};
    EXPECT_TRUE(display_monitors_match(mons, rects, 2, outs, 2));  // order does not matter
    EXPECT_TRUE(display_monitors_match(mons, rects, 1, outs, 2));  // counts are compared by the caller
    rects[0].right = 2560;                                         // re-moded
    EXPECT_FALSE(display_monitors_match(mons, rects, 2, outs, 2));
    rects[0].right = 2304;
    mons[1] = (HMONITOR)0x30;  // a new monitor handle
    EXPECT_FALSE(display_monitors_match(mons, rects, 2, outs, 2));
    EXPECT_FALSE(display_monitors_match(mons, rects, 2, outs, 0));  // nothing cached
}

TEST(StandinMath, HashForcesOpaqueAndSeesEveryByte) {
    // 1000 pixels: not a multiple of the 8-pixel stride, so the tail path runs too.
    const size_t pixels = 1000;
    std::vector<uint8_t> base(pixels * 4);
    for (size_t i = 0; i < base.size(); i++) base[i] = (uint8_t)(i * 131 + 7);
    std::vector<uint8_t> a = base;
    uint64_t h = dup_standin_hash_opaque(a.data(), a.size());
    for (size_t p = 0; p < pixels; p++) ASSERT_EQ(a[p * 4 + 3], 0xFF) << "pixel " << p;
    for (size_t i = 0; i < base.size(); i++) {
        if (i % 4 != 3) {
            ASSERT_EQ(a[i], base[i]);
        }
    }

    std::vector<uint8_t> again = base;
    EXPECT_EQ(dup_standin_hash_opaque(again.data(), again.size()), h);

    // Alpha alone does not count: duplication frames are opaque anyway.
    std::vector<uint8_t> alpha = base;
    alpha[3] ^= 0x55;
    EXPECT_EQ(dup_standin_hash_opaque(alpha.data(), alpha.size()), h);

    // One colour bit anywhere, head, middle or tail, changes the hash.
    const size_t spots[] = {0, 1, 2, 4, 31 * 4, 32 * 4 + 1, 500 * 4 + 2, 992 * 4, 999 * 4 + 2};
    for (size_t spot : spots) {
        for (int bit = 0; bit < 8; bit += 3) {
            std::vector<uint8_t> b = base;
            b[spot] ^= (uint8_t)(1 << bit);
            EXPECT_NE(dup_standin_hash_opaque(b.data(), b.size()), h) << "byte " << spot << " bit " << bit;
        }
    }
    // Two pixels swapped is a different image.
    std::vector<uint8_t> swapped = base;
    std::swap_ranges(swapped.begin(), swapped.begin() + 4, swapped.begin() + 4);
    EXPECT_NE(dup_standin_hash_opaque(swapped.data(), swapped.size()), h);
}

TEST(StandinMath, HashOfBlackFramesOfDifferentSize) {
    std::vector<uint8_t> a(64 * 4), b(65 * 4);
    EXPECT_NE(dup_standin_hash_opaque(a.data(), a.size()), dup_standin_hash_opaque(b.data(), b.size()));
}

TEST(StandinMath, Remaining) {
    struct row {
        LONGLONG now, deadline, freq;
        DWORD want;
    } rows[] = {
        {1000, 1000, 10000000, 0},
        {2000, 1000, 10000000, 0},
        {0, 15000, 10000000, 1},  // 1.5 ms rounds down: never wait past the deadline
        {0, 5000000, 10000000, 500},
        {0, 0x7FFFFFFFFFFFFFFFLL, 1000, 0x7FFFFFFF},
        {0, 100, 0, 0},  // no counter frequency
    };
    for (const row& r : rows) EXPECT_EQ(dup_standin_remaining(r.now, r.deadline, r.freq), r.want);
}

TEST(HdrMath, ChannelBytes) {
    struct row {
        float scrgb, white;
        int want;
    } rows[] = {
        {0.0f, 1.0f, 0},    {-0.5f, 1.0f, 0},   // negative scRGB clamps to black
        {1.0f, 1.0f, 255},  {2.5f, 2.5f, 255},  // 200-nit white maps to full white
        {5.0f, 2.5f, 255},                      // brighter than white clamps
        {1.25f, 2.5f, 188},                     // 0.5 linear
        {0.0025f, 2.5f, 3},                     // 0.001 linear: the straight segment (12.92 x)
        {0.18f, 1.0f, 118},
    };
    for (const row& r : rows) EXPECT_EQ((int)hdr_channel_byte(r.scrgb, r.white), r.want) << r.scrgb << " / " << r.white;
    // The two pieces of the curve meet at the threshold.
    EXPECT_NEAR(hdr_srgb_encode(0.0031308f), 12.92f * 0.0031308f, 1e-5);
    EXPECT_NEAR(hdr_srgb_encode(0.0031309f), 12.92f * 0.0031308f, 1e-4);
}
