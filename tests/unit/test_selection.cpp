// The region selection as the user drives it (press, drag, Shift, digits, release,
// cancel), the label it shows and the geometry of what the overlay draws.
#include "agent/capture/dib.h"
#include "agent/core/frame_pool.h"
#include "agent/overlay/overlay_draw.h"
#include "agent/overlay/selection.h"
#include <gtest/gtest.h>
#include <functional>
#include <string>
#include <vector>

static const RECT kScreen = {0, 0, 1920, 1080};

static std::string rect_text(const RECT& r) {
    return std::to_string(r.left) + "," + std::to_string(r.top) + "-" + std::to_string(r.right) + "," +
           std::to_string(r.bottom);
}

static std::string rect_text(LONG l, LONG t, LONG r, LONG b) { return rect_text(RECT{l, t, r, b}); }

TEST(Selection, PressDragRelease) {
    struct row {
        const char* what;
        RECT screen;
        POINT down, up;
        int shift;
        selection_outcome want;
        RECT sel;
    } rows[] = {
        {"click without a drag", kScreen, {500, 400}, {500, 400}, 0, SELECTION_CANCELLED, {500, 400, 501, 401}},
        {"2 x 2", kScreen, {500, 400}, {501, 401}, 0, SELECTION_SELECTED, {500, 400, 502, 402}},
        {"1 x 50", kScreen, {500, 400}, {500, 449}, 0, SELECTION_CANCELLED, {500, 400, 501, 450}},
        {"50 x 1", kScreen, {500, 400}, {549, 400}, 0, SELECTION_CANCELLED, {500, 400, 550, 401}},
        {"both end pixels", kScreen, {100, 100}, {300, 250}, 0, SELECTION_SELECTED, {100, 100, 301, 251}},
        {"dragged up and left", kScreen, {300, 250}, {100, 100}, 0, SELECTION_SELECTED, {100, 100, 301, 251}},
        {"clamped to the screen", kScreen, {1900, 1000}, {5000, 5000}, 0, SELECTION_SELECTED, {1900, 1000, 1920, 1080}},
        {"clamped at the origin", kScreen, {10, 10}, {-50, -70}, 0, SELECTION_SELECTED, {0, 0, 11, 11}},
        {"left monitor at negative x",
         {-1280, 0, 1920, 1080},
         {-1300, 50},
         {-1200, 120},
         0,
         SELECTION_SELECTED,
         {-1280, 50, -1199, 121}},
        // Shift: side = max(|dx|, |dy|), cut to the room in the drag direction.
        {"square down-right", kScreen, {100, 100}, {150, 300}, 1, SELECTION_SELECTED, {100, 100, 301, 301}},
        {"square at the right edge", kScreen, {1820, 100}, {1850, 400}, 1, SELECTION_SELECTED, {1820, 100, 1920, 200}},
        {"square at the bottom edge", kScreen, {100, 1000}, {400, 1010}, 1, SELECTION_SELECTED, {100, 1000, 180, 1080}},
        {"square up-left", kScreen, {500, 500}, {480, 300}, 1, SELECTION_SELECTED, {300, 300, 501, 501}},
        {"square up-left at the corner", kScreen, {50, 80}, {0, 0}, 1, SELECTION_SELECTED, {0, 30, 51, 81}},
        {"square up-right", kScreen, {500, 500}, {900, 450}, 1, SELECTION_SELECTED, {500, 100, 901, 501}},
        {"square straight down", kScreen, {500, 500}, {500, 600}, 1, SELECTION_SELECTED, {500, 500, 601, 601}},
    };
    for (const row& r : rows) {
        selection_state s;
        selection_init(&s, &r.screen, r.down, 0);
        EXPECT_EQ(selection_button_down(&s, r.down, r.shift), SELECTION_CHANGED) << r.what;
        selection_move(&s, POINT{(r.down.x + r.up.x) / 2, (r.down.y + r.up.y) / 2});
        EXPECT_EQ(selection_button_up(&s, r.up, r.shift), r.want) << r.what;
        EXPECT_EQ(rect_text(s.sel), rect_text(r.sel)) << r.what;
        EXPECT_TRUE(s.finished) << r.what;
        EXPECT_EQ(s.selected, r.want == SELECTION_SELECTED) << r.what;
        // Finished: nothing changes it any more.
        EXPECT_EQ(selection_move(&s, POINT{1, 1}), SELECTION_NONE) << r.what;
        EXPECT_EQ(selection_digit(&s, 3), SELECTION_NONE) << r.what;
        EXPECT_EQ(selection_cancel(&s), SELECTION_NONE) << r.what;
        EXPECT_EQ(rect_text(s.sel), rect_text(r.sel)) << r.what;
    }
}

TEST(Selection, EventsWhileDragging) {
    selection_state s;
    selection_init(&s, &kScreen, POINT{-20, 5000}, 0);
    EXPECT_EQ(s.hover.x, 0);
    EXPECT_EQ(s.hover.y, 1079);
    EXPECT_EQ(selection_move(&s, POINT{-30, 6000}), SELECTION_NONE);  // same clamped point
    EXPECT_EQ(selection_move(&s, POINT{40, 50}), SELECTION_CHANGED);
    EXPECT_FALSE(s.dragging);
    EXPECT_EQ(selection_button_up(&s, POINT{40, 50}, 0), SELECTION_NONE);  // up without a down
    EXPECT_EQ(selection_shift(&s, 1), SELECTION_NONE);                     // no drag to square

    selection_button_down(&s, POINT{100, 100}, 0);
    EXPECT_FALSE(s.moved);
    EXPECT_EQ(selection_move(&s, POINT{200, 400}), SELECTION_CHANGED);
    EXPECT_TRUE(s.moved);
    EXPECT_EQ(rect_text(s.sel), rect_text(100, 100, 201, 401));
    EXPECT_EQ(selection_shift(&s, 1), SELECTION_CHANGED);  // Shift pressed mid-drag
    EXPECT_EQ(rect_text(s.sel), rect_text(100, 100, 401, 401));
    EXPECT_EQ(selection_shift(&s, 1), SELECTION_NONE);
    EXPECT_EQ(selection_shift(&s, 0), SELECTION_CHANGED);  // and released
    EXPECT_EQ(rect_text(s.sel), rect_text(100, 100, 201, 401));
    // The release takes Shift from its own message.
    EXPECT_EQ(selection_button_up(&s, POINT{200, 400}, 1), SELECTION_SELECTED);
    EXPECT_EQ(rect_text(s.sel), rect_text(100, 100, 401, 401));

    selection_init(&s, &kScreen, POINT{0, 0}, 0);
    selection_button_down(&s, POINT{100, 100}, 0);
    selection_move(&s, POINT{300, 300});
    EXPECT_EQ(selection_cancel(&s), SELECTION_CANCELLED);  // Escape mid-drag
    EXPECT_FALSE(s.dragging);
    EXPECT_FALSE(s.selected);
    EXPECT_EQ(selection_button_up(&s, POINT{300, 300}, 0), SELECTION_NONE);
}

TEST(Selection, DigitsAndLabelText) {
    const wchar_t* folders[SELECTION_FOLDERS] = {
        L"C:\\shots\\one", nullptr, L"",    L"D:\\Pictures\\Games\\", L"E:\\", L"relative/unix/style",
        nullptr,           nullptr, nullptr};
    selection_state s;
    selection_init(&s, &kScreen, POINT{640, 480}, 0);
    wchar_t text[SELECTION_LABEL_MAX];
    struct row {
        int key;  // digit pressed before reading the label, 0 = none
        int digit;
        const wchar_t* label;
    } rows[] = {
        {0, 0, L"640, 480"},
        {1, 1, L"640, 480 \u2192 one"},
        {1, 0, L"640, 480"},  // the chosen digit again clears it
        {3, 3, L"640, 480 \u2192 folder3 (unset)"},
        {3, 0, L"640, 480"},
        {2, 2, L"640, 480 \u2192 folder2 (unset)"},
        {4, 4, L"640, 480 \u2192 Games"},  // trailing separator ignored
        {5, 5, L"640, 480 \u2192 E:"},
        {6, 6, L"640, 480 \u2192 style"},
        {10, 6, L"640, 480 \u2192 style"},  // not a digit key
    };
    for (const row& r : rows) {
        if (r.key) selection_digit(&s, r.key);
        EXPECT_EQ(s.digit, r.digit) << r.key;
        const int n = selection_label_text(&s, folders, text, SELECTION_LABEL_MAX);
        EXPECT_EQ(std::wstring(text), std::wstring(r.label));
        EXPECT_EQ(n, (int)wcslen(r.label));
    }

    // While dragging: width and height of the selection, then the chosen slot.
    selection_init(&s, &kScreen, POINT{0, 0}, 9);  // the chord digit of the action
    selection_button_down(&s, POINT{10, 20}, 0);
    selection_move(&s, POINT{209, 69});
    selection_label_text(&s, folders, text, SELECTION_LABEL_MAX);
    EXPECT_EQ(std::wstring(text), L"200 \u00D7 50 \u2192 folder9 (unset)");
    selection_digit(&s, 1);
    selection_label_text(&s, folders, text, SELECTION_LABEL_MAX);
    EXPECT_EQ(std::wstring(text), L"200 \u00D7 50 \u2192 one");

    // A small buffer is cut, never overrun.
    wchar_t small[6];
    EXPECT_EQ(selection_label_text(&s, folders, small, 6), 5);
    EXPECT_EQ(std::wstring(small), L"200 \u00D7");
}

TEST(Selection, LabelPlacement) {
    // A 100 x 20 text at scale 1: the box is 112 x 26.
    struct row {
        const char* what;
        double scale;
        POINT hover;
        RECT drag;  // empty: idle at hover
        RECT want;
    } rows[] = {
        {"idle: right of and below the pointer", 1.0, {500, 500}, {}, {522, 522, 634, 548}},
        {"idle near the right edge: left of it", 1.0, {1850, 500}, {}, {1716, 522, 1828, 548}},
        {"idle near the bottom: above it", 1.0, {500, 1070}, {}, {522, 1022, 634, 1048}},
        {"idle in the bottom-right corner", 1.0, {1919, 1079}, {}, {1785, 1031, 1897, 1057}},
        {"dragging: past the bottom-right corner", 1.0, {0, 0}, {100, 100, 401, 301}, {416, 316, 528, 342}},
        {"dragging to the right edge", 1.0, {0, 0}, {1500, 100, 1920, 301}, {1793, 316, 1905, 342}},
        {"dragging to the bottom: above the top", 1.0, {0, 0}, {100, 700, 401, 1080}, {416, 659, 528, 685}},
        {"dragging the whole screen: kept on it", 1.0, {0, 0}, {0, 0, 1920, 1080}, {1793, 0, 1905, 26}},
        {"scale 2", 2.0, {500, 500}, {}, {544, 544, 668, 576}},
    };
    for (const row& r : rows) {
        selection_state s;
        selection_init(&s, &kScreen, r.hover, 0);
        if (r.drag.right > r.drag.left) {
            selection_button_down(&s, POINT{r.drag.left, r.drag.top}, 0);
            selection_move(&s, POINT{r.drag.right - 1, r.drag.bottom - 1});
        }
        RECT box;
        selection_label_rect(&s, 100, 20, r.scale, &box);
        EXPECT_EQ(rect_text(box), rect_text(r.want)) << r.what;
    }
}

TEST(Selection, DrawingGeometry) {
    struct row {
        RECT sel;
        double scale;
        int handle;
        bool bars, grid;
    } rows[] = {
        {{0, 0, 10, 10}, 1.0, 8, false, false},     // short side 10: 3 -> at least 8
        {{0, 0, 50, 500}, 1.0, 15, false, false},   // 0.3 * 50
        {{0, 0, 1000, 200}, 1.0, 24, true, false},  // at most 24; 200 is not above 200
        {{0, 0, 201, 201}, 1.0, 24, true, true},   {{0, 0, 121, 121}, 1.0, 24, true, false},
        {{0, 0, 120, 121}, 1.0, 24, false, false},  // 120 is not above 120
        {{0, 0, 241, 400}, 2.0, 48, true, false},   // 120.5 logical
        {{0, 0, 240, 400}, 2.0, 48, false, false}, {{0, 0, 242, 400}, 2.0, 48, true, false},
        {{0, 0, 402, 402}, 2.0, 48, true, true},   {{0, 0, 400, 402}, 2.0, 48, true, false},
        {{0, 0, 20, 20}, 2.0, 16, false, false},  // 10 logical: 8 * 2
        {{0, 0, 60, 60}, 2.0, 18, false, false},  // 30 logical: 9 * 2
    };
    for (const row& r : rows) {
        EXPECT_EQ(selection_handle_length(&r.sel, r.scale), r.handle) << rect_text(r.sel) << " @" << r.scale;
        EXPECT_EQ(selection_has_edge_bars(&r.sel, r.scale), r.bars) << rect_text(r.sel) << " @" << r.scale;
        EXPECT_EQ(selection_has_grid(&r.sel, r.scale), r.grid) << rect_text(r.sel) << " @" << r.scale;
    }
    EXPECT_EQ(selection_line_width(96), 1);
    EXPECT_EQ(selection_line_width(120), 1);
    EXPECT_EQ(selection_line_width(144), 2);  // 1.5 rounds up, as MulDiv does
    EXPECT_EQ(selection_line_width(192), 2);
    EXPECT_EQ(selection_line_width(288), 3);
    EXPECT_EQ(selection_line_width(0), 1);

    const RECT sel = {100, 200, 300, 400}, empty = {};
    RECT out;
    selection_dirty_rect(&sel, 1.0, &out);
    EXPECT_EQ(rect_text(out), rect_text(63, 163, 337, 437));
    selection_dirty_rect(&sel, 2.0, &out);
    EXPECT_EQ(rect_text(out), rect_text(26, 126, 374, 474));
    selection_dirty_rect(&empty, 1.0, &out);
    EXPECT_EQ(rect_text(out), rect_text(0, 0, 0, 0));
    const RECT other = {250, 50, 280, 260};
    selection_union(&sel, &other, &out);
    EXPECT_EQ(rect_text(out), rect_text(100, 50, 300, 400));
    selection_union(&empty, &other, &out);
    EXPECT_EQ(rect_text(out), rect_text(other));
    selection_union(&sel, &empty, &out);
    EXPECT_EQ(rect_text(out), rect_text(sel));
}

// ---- What the overlay draws.

struct draw_fixture {
    overlay_state* s;
    explicit draw_fixture(const RECT& screen) {
        s = new overlay_state{};
        s->screen = screen;
        s->dpi = 96;
        s->scale = 1.0;
        s->grid = 1;
        selection_init(&s->sel, &screen, POINT{screen.left + 10, screen.top + 10}, 0);
    }
    ~draw_fixture() {
        overlay_draw_free_back_buffer(s);
        overlay_draw_free_snapshots(s);
        overlay_draw_destroy(s);
        delete s;
    }
    uint32_t at(LONG x, LONG y) const { return s->back_bits[(size_t)y * (s->screen.right - s->screen.left) + x]; }
};

TEST(OverlayDraw, LiveUpdatesMatchAFullRender) {
    const RECT screen = {-100, 0, 700, 500};
    const RECT client = {0, 0, 800, 500};
    draw_fixture live(screen);
    ASSERT_TRUE(overlay_draw_back_buffer(live.s));
    ASSERT_TRUE(overlay_draw_create(live.s));
    overlay_draw_live(live.s, &client);
    EXPECT_EQ(live.at(700, 400), 0x6E000000u);

    // A drag, each step re-rendering only the union of the old and the new extent.
    RECT before;
    overlay_draw_extent(live.s, &before);
    auto step = [&](const std::function<void(selection_state*)>& event) {
        event(&live.s->sel);
        RECT after, area;
        overlay_draw_extent(live.s, &after);
        selection_union(&before, &after, &area);
        overlay_draw_live(live.s, &area);
        before = after;
    };
    step([](selection_state* s) { selection_move(s, POINT{150, 120}); });
    step([](selection_state* s) { selection_button_down(s, POINT{0, 100}, 0); });
    for (LONG i = 1; i <= 20; i++) step([i](selection_state* s) { selection_move(s, POINT{20 * i, 20 * i + 5}); });
    step([](selection_state* s) { selection_move(s, POINT{400, 400}); });
    step([](selection_state* s) { selection_digit(s, 3); });

    // Selection (0,100)-(401,401) on the screen is (100,100)-(501,401) in the window.
    EXPECT_EQ(live.at(150, 150), 0x01000000u) << "inside: clear but hit-testable";
    EXPECT_EQ(live.at(100, 150), 0xB3B3B3B3u) << "left border";
    EXPECT_EQ(live.at(500, 150), 0xB3B3B3B3u) << "right border";
    EXPECT_EQ(live.at(150, 400), 0xB3B3B3B3u) << "bottom border";
    EXPECT_EQ(live.at(233, 150), 0x2F2E2E2Eu) << "grid at one third, over the clear selection";
    EXPECT_EQ(live.at(99, 150), 0x6E000000u) << "outside";
    EXPECT_EQ(live.at(20, 480), 0x6E000000u) << "far outside";
    EXPECT_EQ(live.at(516 + 6, 416 + 6) >> 24, 0xFFu) << "label box";
    EXPECT_NE(live.at(100 - 7, 100 - 7) >> 24, 0x6Eu) << "top-left handle";

    // The same picture drawn from scratch.
    draw_fixture fresh(screen);
    fresh.s->sel = live.s->sel;
    ASSERT_TRUE(overlay_draw_back_buffer(fresh.s));
    ASSERT_TRUE(overlay_draw_create(fresh.s));
    overlay_draw_live(fresh.s, &client);
    size_t differ = 0;
    for (LONG y = 0; y < client.bottom; y++)
        for (LONG x = 0; x < client.right; x++) differ += live.at(x, y) != fresh.at(x, y);
    EXPECT_EQ(differ, 0u);
}

TEST(OverlayDraw, FrozenDimsOnceAndShowsTheSelectionBright) {
    // Two outputs of different height; the strip below the shorter one has no picture.
    const RECT screen = {-100, 0, 700, 500};
    const RECT outputs[2] = {{-100, 0, 300, 500}, {300, 0, 700, 400}};
    draw_fixture fz(screen);
    std::vector<uint8_t> pixels[2];
    frame_buffer bufs[2] = {};
    auto source = [](int out, LONG x, LONG y) {
        return (uint32_t)((x * 7 + out * 50) & 0xFF) | (uint32_t)(y & 0xFF) << 8 | 0xC8u << 16;
    };
    for (int i = 0; i < 2; i++) {
        const LONG w = outputs[i].right - outputs[i].left, h = outputs[i].bottom - outputs[i].top;
        bufs[i].width = (uint32_t)w;
        bufs[i].height = (uint32_t)h;
        bufs[i].stride = (int32_t)(w * 4 + 64);  // rows wider than the picture
        pixels[i].assign((size_t)bufs[i].stride * h, 0xEE);
        bufs[i].pixels = pixels[i].data();
        for (LONG y = 0; y < h; y++)
            for (LONG x = 0; x < w; x++) {
                const uint32_t v = source(i, x, y);
                memcpy(&pixels[i][(size_t)y * bufs[i].stride + x * 4], &v, 4);
            }
        fz.s->snaps[i].buf = &bufs[i];
        fz.s->snaps[i].rect = outputs[i];
    }
    fz.s->snap_count = 2;
    ASSERT_TRUE(overlay_draw_snapshots(fz.s));
    for (int i = 0; i < 2; i++) {
        for (const POINT p : {POINT{0, 0}, POINT{37, 200}, POINT{399, 399}}) {
            const uint32_t src = source(i, p.x, p.y);
            uint32_t dim, bright;
            memcpy(&dim, fz.s->snaps[i].dim_bits + ((size_t)p.y * bufs[i].width + p.x) * 4, 4);
            memcpy(&bright, fz.s->snaps[i].bright_bits + ((size_t)p.y * bufs[i].width + p.x) * 4, 4);
            EXPECT_EQ(bright, src);
            const uint32_t want = 0xFF000000u | ((src >> 16 & 0xFF) * 140 >> 8) << 16 |
                                  ((src >> 8 & 0xFF) * 140 >> 8) << 8 | ((src & 0xFF) * 140 >> 8);
            EXPECT_EQ(dim, want) << i << ": " << p.x << "," << p.y;
        }
    }

    // A selection across both outputs, painted into a bitmap of the window's size.
    ASSERT_TRUE(overlay_draw_create(fz.s));
    selection_button_down(&fz.s->sel, POINT{200, 100}, 0);
    selection_move(&fz.s->sel, POINT{399, 299});
    HDC dc = CreateCompatibleDC(nullptr);
    BITMAPINFO bi;
    dib_info_top_down(&bi, 800, 500);
    void* bits = nullptr;
    HBITMAP bmp = CreateDIBSection(dc, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    ASSERT_TRUE(bmp != nullptr);
    HGDIOBJ old = SelectObject(dc, bmp);
    const RECT client = {0, 0, 800, 500};
    overlay_draw_frozen(fz.s, dc, &client);
    GdiFlush();
    auto at = [&](LONG x, LONG y) { return ((const uint32_t*)bits)[(size_t)y * 800 + x] & 0x00FFFFFFu; };
    auto dimmed = [&](int out, LONG x, LONG y) {
        uint32_t v;
        memcpy(&v, fz.s->snaps[out].dim_bits + ((size_t)y * bufs[out].width + x) * 4, 4);
        return v & 0x00FFFFFFu;
    };
    EXPECT_EQ(at(350, 150), source(0, 350, 150)) << "selected, first output";
    EXPECT_EQ(at(450, 200), source(1, 50, 200)) << "selected, second output";
    EXPECT_EQ(at(50, 50), dimmed(0, 50, 50)) << "outside the selection";
    EXPECT_EQ(at(650, 350), dimmed(1, 250, 350)) << "outside, second output";
    EXPECT_EQ(at(700, 450), 0u) << "no output there";
    EXPECT_NE(at(300, 150), source(0, 300, 150)) << "left border over the selection";
    SelectObject(dc, old);
    DeleteObject(bmp);
    DeleteDC(dc);
}
