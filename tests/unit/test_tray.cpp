// The tray's menu, click rules and fallback icon, and the texts of the result balloons.
#include "agent/core/main_window.h"
#include "agent/core/saved_capture.h"
#include "agent/core/tray.h"
#include "agent/upload/upload.h"
#include <gtest/gtest.h>
#include <shellapi.h>
#include <cstring>
#include <string>

static std::wstring menu_text(const tray_menu_state& st) {
    tray_menu_item items[TRAY_MENU_MAX];
    int n = tray_menu_build(&st, items, TRAY_MENU_MAX);
    std::wstring out;
    for (int i = 0; i < n; i++) {
        if (items[i].flags & TRAY_ITEM_SEPARATOR) {
            out += L"-|";
            continue;
        }
        out += std::to_wstring(items[i].id) + L" " + items[i].text;
        if (items[i].flags & TRAY_ITEM_DEFAULT) out += L" [default]";
        if (items[i].flags & TRAY_ITEM_DISABLED) out += L" [disabled]";
        out += L"|";
    }
    return out;
}

TEST(Tray, MenuFollowsTheAgentState) {
    const std::wstring head = L"1001 Settings... [default]|1006 Open captures folder|";
    const std::wstring captures = L"-|1002 Capture screen|1003 Capture window|1005 Capture region|1011 Record clip|";
    const std::wstring tail = L"-|1004 Exit Ivra|";
    struct row {
        int linked, uploading, replay;
        const char* version;
        std::wstring middle, replay_item;
    } rows[] = {
        {0, 0, 0, "", L"1008 Link Second Life account\u2026|", L""},
        {0, 3, 1, "", L"1008 Link Second Life account\u2026|", L"1012 Save replay|"},  // no upload count unlinked
        {1, 0, 0, "", L"1009 Open my captures online|", L""},
        {1, 1, 0, "", L"1009 Open my captures online|0 Uploading 1 capture\u2026 [disabled]|", L""},
        {1, 12, 1, "0.3.0",
         L"1009 Open my captures online|0 Uploading 12 captures\u2026 [disabled]|1010 Update to Ivra 0.3.0\u2026|",
         L"1012 Save replay|"},
        {0, 0, 0, "1.0.0-beta.2", L"1008 Link Second Life account\u2026|1010 Update to Ivra 1.0.0-beta.2\u2026|", L""},
    };
    for (const row& r : rows) {
        tray_menu_state st{};
        st.linked = r.linked;
        st.uploading = r.uploading;
        st.replay_enabled = r.replay;
        strcpy(st.update_version, r.version);
        EXPECT_EQ(menu_text(st), head + r.middle + captures + r.replay_item + tail)
            << r.linked << " " << r.uploading << " " << r.replay << " " << r.version;
    }
    // A short buffer gets the first items and no more.
    tray_menu_state st{};
    tray_menu_item two[2];
    EXPECT_EQ(tray_menu_build(&st, two, 2), 2);
    EXPECT_EQ(two[1].id, 1006u);
}

TEST(Tray, CallbackDecoding) {
    struct row {
        bool v4;
        WPARAM wp;
        LPARAM lp;
        unsigned event, id;
    } rows[] = {
        {true, MAKEWPARAM(100, 200), MAKELPARAM(WM_LBUTTONUP, 1), WM_LBUTTONUP, 1},
        {true, 0, MAKELPARAM(NIN_BALLOONUSERCLICK, 2), NIN_BALLOONUSERCLICK, 2},
        {false, 1, WM_RBUTTONUP, WM_RBUTTONUP, 1},
        {false, 1, MAKELPARAM(WM_LBUTTONUP, 1), MAKELPARAM(WM_LBUTTONUP, 1), 1},
    };
    for (const row& r : rows) {
        unsigned event = 0, id = 0;
        tray_decode(r.v4, r.wp, r.lp, &event, &id);
        EXPECT_EQ(event, r.event);
        EXPECT_EQ(id, r.id);
    }
}

TEST(Tray, ClickRules) {
    enum { N = TRAY_DO_NOTHING, T = TRAY_DO_START_TIMER, S = TRAY_DO_SETTINGS, B = TRAY_DO_BALLOON, M = TRAY_DO_MENU };
    struct step {
        unsigned event;
        bool shift;
        uint64_t at;
        int verdict;
        unsigned pending;
    };
    struct row {
        const char* what;
        bool v4;
        step steps[7];
        int count;
        unsigned taken;  // what the timer finds at the end
    } rows[] = {
        {"click: up then select is one click",
         true,
         {{WM_LBUTTONUP, false, 1000, T, 1005}, {NIN_SELECT, false, 1010, N, 1005}},
         2,
         1005},
        {"shift click records a clip", true, {{NIN_SELECT, true, 1000, T, 1011}}, 1, 1011},
        {"double click opens settings and drops the click",
         true,
         {{WM_LBUTTONUP, false, 1000, T, 1005},
          {NIN_SELECT, false, 1005, N, 1005},
          {WM_LBUTTONDBLCLK, false, 1200, S, 0},
          {WM_LBUTTONUP, false, 1250, N, 0},
          {NIN_SELECT, false, 1260, N, 0}},
         5,
         0},
        {"a click after the suppression counts again",
         true,
         {{WM_LBUTTONDBLCLK, false, 1000, S, 0},
          {WM_LBUTTONUP, false, 1499, N, 0},
          {WM_LBUTTONUP, false, 1500, T, 1005}},
         3,
         1005},
        {"second click 150 ms later is a new click",
         true,
         {{WM_LBUTTONUP, false, 1000, T, 1005}, {NIN_SELECT, true, 1150, T, 1011}},
         2,
         1011},
        {"key select opens settings", true, {{NIN_KEYSELECT, false, 5000, S, 0}}, 1, 0},
        {"key select right after a click is that click",
         true,
         {{NIN_SELECT, false, 1000, T, 1005}, {NIN_KEYSELECT, false, 1400, N, 1005}},
         2,
         1005},
        {"balloon and menu",
         true,
         {{NIN_BALLOONUSERCLICK, false, 1, B, 0}, {WM_CONTEXTMENU, false, 2, M, 0}, {WM_RBUTTONUP, false, 3, N, 0}},
         3,
         0},
        {"right button opens the menu without version 4", false, {{WM_RBUTTONUP, false, 1, M, 0}}, 1, 0},
        {"moves and popups do nothing",
         true,
         {{WM_MOUSEMOVE, false, 1, N, 0}, {NIN_POPUPOPEN, false, 2, N, 0}, {NIN_POPUPCLOSE, false, 3, N, 0}},
         3,
         0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        tray_clicks c{};
        for (int i = 0; i < r.count; i++) {
            const step& s = r.steps[i];
            EXPECT_EQ(tray_click_event(&c, s.event, r.v4, s.shift, s.at, 500), s.verdict) << "step " << i;
            EXPECT_EQ(c.pending, s.pending) << "step " << i;
        }
        EXPECT_EQ(tray_click_take(&c), r.taken);
        EXPECT_EQ(tray_click_take(&c), 0u);
    }
}

TEST(Tray, OnlyWebAddressesOpen) {
    struct row {
        const char* text;
        bool ok;
    } rows[] = {{"https://ivra.example/u/ann", true},
                {"http://127.0.0.1:8080", true},
                {"HTTPS://x", false},
                {"file:///C:/x", false},
                {" https://x", false},
                {"", false},
                {nullptr, false}};
    for (const row& r : rows) EXPECT_EQ(tray_url_openable(r.text), r.ok) << (r.text ? r.text : "(null)");
}

TEST(Tray, RingIconKeyPixels) {
    struct row {
        int n, x, y;
        uint32_t bgra;
    } rows[] = {
        {16, 0, 0, 0},
        {16, 8, 8, 0},
        {16, 8, 2, 0xfb69a4fa},
        {16, 8, 13, 0x9b305395},
        {16, 3, 8, 0xaf3f67aa},
        {16, 5, 9, 0x4016253e},
        {16, 4, 5, 0x7c304d7a},
        {32, 16, 16, 0},
        {32, 18, 5, 0xff6aa6fe},
        {32, 12, 25, 0xff518cf6},
        {32, 24, 10, 0xff649ffc},
        {256, 128, 128, 0},
    };
    static uint32_t px[256 * 256];
    int made = 0;
    for (const row& r : rows) {
        if (r.n != made) {
            ASSERT_TRUE(tray_ring_pixels(r.n, px));
            made = r.n;
        }
        EXPECT_EQ(px[r.y * r.n + r.x], r.bgra) << r.n << " at " << r.x << "," << r.y;
    }
    px[0] = 0x12345678;
    EXPECT_FALSE(tray_ring_pixels(7, px));
    EXPECT_FALSE(tray_ring_pixels(257, px));
    EXPECT_EQ(px[0], 0x12345678u);
}

TEST(Tray, SavedCaptureBalloons) {
    struct row {
        int saved, still, replay;
        double seconds;
        const char* error;
        bool linked;
        int mode;
        bool queued;
        const wchar_t *title, *text;
        int kind, warning;
    } rows[] = {
        {1, 1, 0, 0, "", false, 1, false, L"Screenshot saved", L"a.png - 27.2 KB. Click to show it.",
         TRAY_ACTION_REVEAL, 0},
        {1, 1, 0, 0, "", true, 1, true, L"Screenshot saved",
         L"a.png - 27.2 KB. Uploading; the link will be copied. Click to show the file.", TRAY_ACTION_REVEAL, 0},
        {1, 1, 0, 0, "", true, 1, false, L"Screenshot saved", L"a.png - 27.2 KB. Click to show it.", TRAY_ACTION_REVEAL,
         0},
        {1, 1, 0, 0, "", true, 0, false, L"Screenshot saved", L"a.png - 27.2 KB. Click to upload it and copy the link.",
         TRAY_ACTION_UPLOAD, 0},
        {1, 1, 0, 0, "", true, 2, false, L"Screenshot saved", L"a.png - 27.2 KB. Click to show it.", TRAY_ACTION_REVEAL,
         0},
        {1, 0, 0, 12.34, "", false, 0, false, L"Clip saved", L"12.3 s, 27.2 KB - a.png. Click to show it.",
         TRAY_ACTION_REVEAL, 0},
        {1, 0, 1, 30, "", true, 0, false, L"Replay saved",
         L"30.0 s, 27.2 KB - a.png. Click to upload it and copy the link.", TRAY_ACTION_UPLOAD, 0},
        {0, 0, 0, 0, "the encoder stopped \xe2\x80\x94 disk", true, 0, false, L"Clip not saved",
         L"Ivra could not save this clip: the encoder stopped \u2014 disk", TRAY_ACTION_NONE, 1},
    };
    for (const row& r : rows) {
        saved_capture rec{};
        rec.saved = r.saved;
        rec.still = r.still;
        rec.replay = r.replay;
        rec.seconds = r.seconds;
        wcscpy(rec.path, L"C:\\Users\\ann\\Pictures\\Ivra\\a.png");
        strcpy(rec.error, r.error);
        main_window_balloon b;
        memset(&b, 0xCD, sizeof b);
        main_window_saved_balloon(&rec, L"27.2 KB", r.linked, r.mode, r.queued, &b);
        EXPECT_STREQ(b.title, r.title) << r.text;
        EXPECT_STREQ(b.text, r.text);
        EXPECT_EQ(b.kind, r.kind) << r.text;
        EXPECT_EQ(b.warning, r.warning) << r.text;
    }
}

TEST(Tray, UploadBalloons) {
    struct row {
        bool done, copied;
        int already;
        const wchar_t *title, *text;
        int kind, warning;
    } rows[] = {
        {true, true, 0, L"Uploaded", L"a.png - link copied. Click to open it.", TRAY_ACTION_LINK, 0},
        {true, false, 0, L"Uploaded", L"a.png. Click to open it.", TRAY_ACTION_LINK, 0},
        {true, true, 1, L"Already uploaded", L"a.png - link copied. Click to open it.", TRAY_ACTION_LINK, 0},
        {false, false, 0, L"Upload failed", L"a.png: The server refused it. It is still saved on this PC.",
         TRAY_ACTION_NONE, 1},
    };
    for (const row& r : rows) {
        upload_notice n{};
        wcscpy(n.path, L"C:\\cap\\a.png");
        strcpy(n.share_url, "https://ivra.example/s/1");
        strcpy(n.error, "The server refused it.");
        n.already_uploaded = r.already;
        main_window_balloon b;
        main_window_upload_balloon(&n, r.done, r.copied, &b);
        EXPECT_STREQ(b.title, r.title);
        EXPECT_STREQ(b.text, r.text);
        EXPECT_EQ(b.kind, r.kind);
        EXPECT_EQ(b.warning, r.warning);
    }
}
