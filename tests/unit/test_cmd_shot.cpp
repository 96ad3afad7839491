#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "cli/cmd_listing.h"
#include "cli/cmd_shot.h"
#include "cli/win_enum.h"

namespace {

// Parses a command line given as one string split at blanks.
struct argv_list {
    std::vector<std::wstring> words;
    std::vector<wchar_t*> ptrs;
    explicit argv_list(std::vector<std::wstring> w) : words(std::move(w)) {
        for (auto& s : words) ptrs.push_back(s.data());
    }
    int argc() { return (int)ptrs.size(); }
    wchar_t** argv() { return ptrs.data(); }
};

std::string request_of(std::vector<std::wstring> args, const shot_plan& plan) {
    argv_list a(std::move(args));
    static shot_options o;
    char msg[256];
    bool hint;
    EXPECT_EQ(cmd_shot_parse(a.argc(), a.argv(), &o, msg, sizeof msg, &hint), 0) << msg;
    char req[4096];
    EXPECT_TRUE(cmd_shot_request_build(&o, &plan, req, sizeof req));
    return req;
}

shot_plan plan_of(int kind) {
    shot_plan p = {};
    p.kind = kind;
    p.json_screen = -1;
    return p;
}

TEST(shot_parse, usage_errors_and_their_messages) {
    struct row {
        std::vector<std::wstring> args;
        const char* message;
        bool hint = true;  // the "Try" line follows; --folder errors have none
    } rows[] = {
        {{L"--window"}, "--window expects a query"},
        {{L"--hwnd"}, "--hwnd expects a handle"},
        {{L"--hwnd", L"0"}, "--hwnd expects a handle"},
        {{L"--hwnd", L"0x"}, "--hwnd expects a handle"},
        {{L"--hwnd", L"12ab"}, "--hwnd expects a handle"},
        {{L"--pid"}, "--pid expects a pid"},
        {{L"--pid", L"x1"}, "--pid expects a pid"},
        {{L"--screen"}, "--screen expects an index"},
        {{L"--screen", L"-1"}, "--screen expects an index"},
        {{L"--desktop", L"1a"}, "--screen expects an index"},
        {{L"--screen", L"99999999999"}, "--screen expects an index"},
        {{L"--region", L"0,0,10"}, "--region expects x,y,w,h"},
        {{L"--region", L"0,0,10,10,1"}, "--region expects x,y,w,h"},
        {{L"--region", L"0,,10,10"}, "--region expects x,y,w,h"},
        {{L"--region", L"0,0,10,1e3"}, "--region expects x,y,w,h"},
        {{L"--region", L"0,0,10,99999999999"}, "--region expects x,y,w,h"},
        {{L"--format", L"gif"}, "--format expects png or jpg"},
        {{L"--format"}, "--format expects png or jpg"},
        {{L"--quality", L"0"}, "--quality expects 1-100"},
        {{L"--quality", L"101"}, "--quality expects 1-100"},
        {{L"--quality", L"high"}, "--quality expects 1-100"},
        {{L"-o"}, "-o expects a path"},
        {{L"--folder"}, "--folder expects a name or slot 1-9", false},
        {{L"--folder", L""}, "--folder expects a name or slot 1-9", false},
        {{L"--folder", L"a/b"}, "--folder must be a plain folder name (no path separators; got 'a/b')", false},
        {{L"--folder", L".."}, "--folder must be a plain folder name (no path separators; got '..')", false},
        {{L"--timeout", L"0"}, "--timeout expects ms"},
        {{L"--timeout", L"-5"}, "--timeout expects ms"},
        {{L"--timeout"}, "--timeout expects ms"},
        {{L"--bogus"}, "--bogus"},
        {{L"--silent", L"extra"}, "extra"},
        {{std::wstring(100, L'x')}, "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx"},
        // An unknown word of euro signs is cut to whole characters, never mid-character.
        {{std::wstring(30, L'\u20ac')},
         "\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac"
         "\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac"
         "\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac"
         "\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac"
         "\xe2\x82\xac"},
    };
    for (auto& r : rows) {
        argv_list a(r.args);
        static shot_options o;
        o.screen = 12345;  // must stay untouched on failure
        char msg[256] = "";
        bool hint = !r.hint;
        EXPECT_EQ(cmd_shot_parse(a.argc(), a.argv(), &o, msg, sizeof msg, &hint), 2) << r.message;
        EXPECT_STREQ(msg, r.message);
        EXPECT_EQ(hint, r.hint) << r.message;
        EXPECT_EQ(o.screen, 12345);
    }
}

TEST(shot_parse, values_and_last_window_option_wins) {
    argv_list a({L"--window", L"note", L"--hwnd", L"0x1A2b", L"--screen", L"1", L"--region", L"-10,+5,800,600",
                 L"--stdout", L"--quality", L"85", L"--timeout", L"2500", L"--folder", L"7"});
    static shot_options o;
    char msg[64];
    bool hint;
    ASSERT_EQ(cmd_shot_parse(a.argc(), a.argv(), &o, msg, sizeof msg, &hint), 0);
    EXPECT_EQ(o.window_kind, SHOT_WIN_HWND);
    EXPECT_EQ(o.hwnd, 0x1a2bu);
    EXPECT_EQ(o.screen, 1);
    EXPECT_TRUE(o.has_region);
    EXPECT_EQ(o.rx, -10);
    EXPECT_EQ(o.ry, 5);
    EXPECT_EQ(o.rw, 800);
    EXPECT_EQ(o.rh, 600);
    EXPECT_TRUE(o.to_stdout);
    EXPECT_EQ(o.quality, 85);
    EXPECT_EQ(o.timeout_ms, 2500);
    EXPECT_TRUE(o.timeout_given);
    EXPECT_EQ(o.folder_slot, 7);

    argv_list b({L"--pid", L"4242", L"--active"});
    ASSERT_EQ(cmd_shot_parse(b.argc(), b.argv(), &o, msg, sizeof msg, &hint), 0);
    EXPECT_EQ(o.window_kind, SHOT_WIN_ACTIVE);
    EXPECT_EQ(o.timeout_ms, 10000);
    EXPECT_FALSE(o.timeout_given);
    EXPECT_EQ(o.screen, -1);

    argv_list c({L"--hwnd", L"18446744073709551616"});
    EXPECT_EQ(cmd_shot_parse(c.argc(), c.argv(), &o, msg, sizeof msg, &hint), 2);
    argv_list c2({L"--hwnd", L"18446744073709551615"});
    ASSERT_EQ(cmd_shot_parse(c2.argc(), c2.argv(), &o, msg, sizeof msg, &hint), 0);
    EXPECT_EQ(o.hwnd, 0xffffffffffffffffull);
    argv_list d({L"--hwnd", L"0xffffffffffffffff"});
    ASSERT_EQ(cmd_shot_parse(d.argc(), d.argv(), &o, msg, sizeof msg, &hint), 0);
    EXPECT_EQ(o.hwnd, 0xffffffffffffffffull);
}

TEST(shot_request_build, every_field_in_the_order_given_then_target_folder_and_output) {
    EXPECT_EQ(request_of({}, plan_of(SHOT_PLAN_CURSOR)), "shot");
    // Repeats are all sent; the agent reads the first, as this side does.
    EXPECT_EQ(request_of({L"--silent", L"--format", L"jpg", L"--quality", L"40", L"--occluded", L"--format", L"png",
                          L"--timeout", L"300", L"--quality", L"90", L"--timeout", L"5"},
                         plan_of(SHOT_PLAN_CURSOR)),
              "shot\tsilent=1\tformat=jpg\tquality=40\toccluded=1\tformat=png\ttimeout_ms=300\tquality=90"
              "\ttimeout_ms=5");
    argv_list a({L"--format", L"jpg", L"--format", L"png", L"--quality", L"40", L"--quality", L"90", L"--timeout",
                 L"300", L"--timeout", L"5"});
    static shot_options o;
    char msg[64];
    bool hint;
    ASSERT_EQ(cmd_shot_parse(a.argc(), a.argv(), &o, msg, sizeof msg, &hint), 0);
    EXPECT_EQ(o.format, 1);
    EXPECT_EQ(o.quality, 40);
    EXPECT_EQ(o.timeout_ms, 300);

    // The output file's format is stated unless --format did; a stand-in for standard output is kept out of history.
    shot_plan f = plan_of(SHOT_PLAN_CURSOR);
    wcscpy(f.out, L"C:\\t\\ivra_1_2.jpg");
    f.send_format = true;
    f.out_format = 1;
    f.no_history = true;
    EXPECT_EQ(request_of({L"--silent"}, f), "shot\tsilent=1\tformat=jpg\tout=C:\\t\\ivra_1_2.jpg\thistory=0");
    f.no_history = false;
    f.out_format = 0;
    EXPECT_EQ(request_of({L"--format", L"png"}, f), "shot\tformat=png\tout=C:\\t\\ivra_1_2.jpg");

    shot_plan w = plan_of(SHOT_PLAN_WINDOW);
    w.hwnd = 0x10020;
    wcscpy(w.out, L"C:\\tmp\\n.png");
    EXPECT_EQ(request_of({}, w), "shot\ttarget=window\thwnd=65568\tout=C:\\tmp\\n.png");

    shot_plan r = plan_of(SHOT_PLAN_RECT);
    r.left = 1920;
    r.width = 800;
    r.height = 600;
    wcscpy(r.folder, L"b\u00e4r");
    EXPECT_EQ(request_of({}, r), "shot\ttarget=rect\trect=1920,0,800,600\tfolder=b\xc3\xa4r");

    shot_plan m = plan_of(SHOT_PLAN_MONITOR);
    m.monitor = 2;
    wcscpy(m.dir, L"D:\\shots");
    EXPECT_EQ(request_of({}, m), "shot\ttarget=monitor\tmonitor=2\tdir=D:\\shots");
    EXPECT_EQ(request_of({}, plan_of(SHOT_PLAN_PICK)), "shot\ttarget=pick");
}

TEST(shot_request_build, control_characters_and_overflow_are_refused) {
    shot_options o = {};
    shot_plan p = plan_of(SHOT_PLAN_CURSOR);
    char req[64] = "junk";
    wcscpy(p.out, L"C:\\a\tb.png");  // a tab would start a forged field
    EXPECT_FALSE(cmd_shot_request_build(&o, &p, req, sizeof req));
    EXPECT_STREQ(req, "");
    wcscpy(p.out, L"C:\\a\nshot");
    EXPECT_FALSE(cmd_shot_request_build(&o, &p, req, sizeof req));
    wcscpy(p.out, L"C:\\a-long-name-that-does-not-fit-the-small-request-buffer.png");
    EXPECT_FALSE(cmd_shot_request_build(&o, &p, req, sizeof req));
    EXPECT_STREQ(req, "");
}

TEST(shot_parse_hwnd, every_printed_form) {
    const struct {
        const wchar_t* text;
        bool ok;
        uint64_t value;
    } rows[] = {
        {L"0x0001007a", true, 0x1007a},        // ivrac windows
        {L"0x1007a", true, 0x1007a},           // ivrac windows --json
        {L"000000000001007A", true, 0x1007a},  // the agent's form
        {L"000000000001007a", true, 0x1007a},
        {L"0000000000010070", true, 0x10070},  // 16 digits: read as the agent's hexadecimal
        {L"65658", true, 65658},
        {L"0X1007A", true, 0x1007a},
        {L"FFFFFFFFFFFFFFFF", true, 0xffffffffffffffffull},
        {L"1007a", false, 0},
        {L"00000000001007A", false, 0},  // 15 digits with a letter
        {L"000000000001007G", false, 0},
        {L"0000000000000000", false, 0},
        {L"0x", false, 0},
        {L"", false, 0},
        {L"-5", false, 0},
    };
    for (const auto& r : rows) {
        uint64_t v = 77;
        EXPECT_EQ(cmd_shot_parse_hwnd(r.text, &v), r.ok) << std::string(r.text, r.text + wcslen(r.text));
        EXPECT_EQ(v, r.ok ? r.value : 77u);
    }
}

TEST(shot_out_format, extension_decides_or_must_agree) {
    const struct {
        const wchar_t* path;
        int requested;
        int rc, format;
        const char* message;
    } rows[] = {
        {L"shot.png", -1, 0, 0, ""},
        {L"shot.jpg", -1, 0, 1, ""},
        {L"C:\\a.b\\shot.JPEG", -1, 0, 1, ""},
        {L"shot.jpg", 1, 0, 1, ""},
        {L"shot.png", 0, 0, 0, ""},
        {L"shot.jpg", 0, 2, -1, "-o names a .jpg file but --format asks for png"},
        {L"shot.PNG", 1, 2, -1, "-o names a .PNG file but --format asks for jpg"},
        {L"shot.bmp", -1, 2, -1, "-o expects a file name ending in .png, .jpg or .jpeg"},
        {L"C:\\x.png\\shot", 0, 2, -1, "-o expects a file name ending in .png, .jpg or .jpeg"},
        {L"shot", -1, 2, -1, "-o expects a file name ending in .png, .jpg or .jpeg"},
    };
    for (const auto& r : rows) {
        int format = -1;
        char msg[128] = "";
        EXPECT_EQ(cmd_shot_out_format(r.path, r.requested, &format, msg, sizeof msg), r.rc);
        EXPECT_EQ(format, r.format);
        EXPECT_STREQ(msg, r.message);
    }
}

TEST(monitor_list_parse, fields_in_reply_order_and_bad_fields_skipped) {
    monitor_entry m[4];
    int n = cmd_shot_monitor_list_parse(
        "ok\tm0=0,0,1280,800,1,96,\\\\.\\DISPLAY1\tjunk\tm1=1280,0,1024,768,0,120,\\\\.\\DISPLAY2"
        "\tm2=1,2,3\tm3=-1024,-10,1024,768,0,96,NAME WITH BLANK",
        m, 4);
    ASSERT_EQ(n, 3);
    EXPECT_EQ(m[0].width, 1280);
    EXPECT_EQ(m[0].primary, 1);
    EXPECT_STREQ(m[0].name, "\\\\.\\DISPLAY1");
    EXPECT_EQ(m[1].left, 1280);
    EXPECT_EQ(m[1].dpi, 120);
    EXPECT_EQ(m[2].left, -1024);
    EXPECT_EQ(m[2].top, -10);
    EXPECT_STREQ(m[2].name, "NAME");
    EXPECT_EQ(cmd_shot_monitor_list_parse("ok\t", m, 4), 0);
    EXPECT_EQ(cmd_shot_monitor_list_parse("ok", m, 4), 0);
    EXPECT_EQ(cmd_shot_monitor_list_parse("err\tcode=x\tmsg=m0=0,0,1,1,1,96,X", m, 4), 0);
    EXPECT_EQ(cmd_shot_monitor_list_parse("okay\tm0=0,0,1,1,1,96,X", m, 4), 0);
    EXPECT_EQ(cmd_shot_monitor_list_parse("ok\tm0=0,0,1,1,1,96,A\tm1=1,0,1,1,0,96,B", m, 1), 1);
}

const monitor_entry two[] = {{0, 0, 1920, 1080, 1, 96, "A"}, {1920, 0, 1280, 1024, 0, 96, "B"}};

TEST(region_evaluate, accepted_rejected_and_partial) {
    struct row {
        long x, y, w, h;
        int screen;
        const char* code;
        const char* message;
        bool partial;
        long l, t, r, b;
    } rows[] = {
        {0, 0, 0, 10, -1, "usage", "--region expects positive w,h (got 0x10)", false, 0, 0, 0, 0},
        {0, 0, 10, -3, 0, "usage", "--region expects positive w,h (got 10x-3)", false, 0, 0, 0, 0},
        {0, 0, 800, 600, 1, nullptr, "", false, 1920, 0, 2720, 600},
        {100, 50, 800, 600, 0, nullptr, "", false, 100, 50, 900, 650},
        {0, 0, 800, 600, 9, "bad_screen", "screen 9 does not exist (have 0..1); run 'ivrac screens'", false, 0, 0, 0,
         0},
        {500, -1, 800, 1100, 1, "out_of_bounds",
         "region 500,-1 800x1100 exceeds screen 1 (1280x1024): top edge -1 < 0; right edge 1300 > 1280; bottom edge "
         "1099 > 1024",
         false, 0, 0, 0, 0},
        {-10, 0, 100, 100, -1, "out_of_bounds",
         "region -10,0 100x100 outside virtual bounds (0,0)-(3200,1080): left edge -10 < 0", false, 0, 0, 0, 0},
        {3000, 1000, 300, 100, -1, "out_of_bounds",
         "region 3000,1000 300x100 outside virtual bounds (0,0)-(3200,1080): right edge 3300 > 3200; bottom edge "
         "1100 > 1080",
         false, 0, 0, 0, 0},
        // Below monitor B (1024 high) but inside the union: nothing there to capture.
        {2000, 1030, 100, 40, -1, "no_coverage", "region covers no monitor; run 'ivrac screens'", false, 0, 0, 0, 0},
        {1800, 1000, 200, 50, -1, nullptr, "", true, 1800, 1000, 2000, 1050},
        {0, 0, 3200, 1024, -1, nullptr, "", false, 0, 0, 3200, 1024},
        // x + w would wrap a 32-bit sum into range; the check must still refuse it.
        {LONG_MAX - 5, 0, 100, 100, -1, "out_of_bounds",
         "region 2147483642,0 100x100 outside virtual bounds (0,0)-(3200,1080): right edge 2147483742 > 3200", false, 0,
         0, 0, 0},
    };
    for (const auto& r : rows) {
        region_verdict v;
        int rc = cmd_shot_region_evaluate(r.x, r.y, r.w, r.h, r.screen, two, 2, &v);
        SCOPED_TRACE(r.message);
        if (!r.code) {
            EXPECT_EQ(rc, 0);
            EXPECT_EQ(v.code, nullptr);
            EXPECT_EQ(v.partial, r.partial);
            EXPECT_EQ(v.left, r.l);
            EXPECT_EQ(v.top, r.t);
            EXPECT_EQ(v.right, r.r);
            EXPECT_EQ(v.bottom, r.b);
        } else {
            EXPECT_EQ(rc, strcmp(r.code, "usage") == 0 ? 2 : 4);
            EXPECT_STREQ(v.code, r.code);
            EXPECT_STREQ(v.message, r.message);
        }
    }
    region_verdict v;
    EXPECT_EQ(cmd_shot_region_evaluate(0, 0, 10, 10, -1, nullptr, 0, &v), 4);
    EXPECT_STREQ(v.code, "no_coverage");
}

TEST(region_violations, order_and_joining) {
    char out[512];
    EXPECT_EQ(cmd_shot_region_violations(-5, -6, 20, 30, 0, 0, 10, 10, out, sizeof out), 4);
    EXPECT_STREQ(out, "left edge -5 < 0; top edge -6 < 0; right edge 15 > 10; bottom edge 24 > 10");
    EXPECT_EQ(cmd_shot_region_violations(0, 0, 10, 10, 0, 0, 10, 10, out, sizeof out), 0);
    EXPECT_STREQ(out, "");
}

win_entry win(uint64_t h, const wchar_t* title, const wchar_t* cls, const wchar_t* exe) {
    win_entry e = {};
    e.hwnd = h;
    wcscpy(e.title, title);
    wcscpy(e.class_name, cls);
    wcscpy(e.exe, exe);
    return e;
}

TEST(win_query_match, stages_decide_in_order) {
    const win_entry list[] = {
        win(1, L"Notes - Notepad", L"Notepad", L"notepad.exe"),
        win(2, L"Untitled - NOTEPAD", L"Notepad", L"notepad.exe"),
        win(3, L"File Explorer", L"CabinetWClass", L"explorer.exe"),
        win(4, L"Downloads", L"CabinetWClass", L"explorer.exe"),
        win(5, L"", L"Shell_TrayWnd", L"explorer.exe"),
        win(6, L"Stra\u00dfe", L"X", L"\u00fcber.exe"),
    };
    struct row {
        const wchar_t* query;
        std::vector<int> expect;
    } rows[] = {
        {L"notepad", {0, 1}},          // title stage, case ignored
        {L"file explorer", {2}},       // unique title
        {L"cabinetw", {2, 3}},         // no title match: class stage
        {L"EXPLORER.EXE", {2, 3, 4}},  // program stage; untitled windows count there too
        {L"tray", {4}},                // class stage
        {L"\u00fcber", {5}},           // program stage, non-ASCII
        {L"Stra\u00dfe", {5}},
        {L"nothing-here", {}},
        {L"", {}},  // an empty query matches nothing
    };
    for (const auto& r : rows) {
        int out[8];
        int n = win_enum_query_match(list, 6, r.query, out, 8);
        EXPECT_EQ(std::vector<int>(out, out + n), r.expect);
    }
    int out[1];
    EXPECT_EQ(win_enum_query_match(list, 6, L"notepad", out, 1), 1);  // capped, not overrun
}

TEST(win_list, push_grows_and_destroy_empties) {
    win_list l = {};
    win_entry e = win(0, L"t", L"c", L"e");
    for (int i = 0; i < 200; i++) {
        e.hwnd = (uint64_t)i;
        ASSERT_TRUE(win_enum_list_push(&l, &e));
    }
    EXPECT_EQ(l.count, 200);
    EXPECT_EQ(l.capacity, 256);
    EXPECT_EQ(l.items[199].hwnd, 199u);
    win_enum_list_destroy(&l);
    EXPECT_EQ(l.count, 0);
    EXPECT_EQ(l.items, nullptr);
}

TEST(win_exe_from_path, name_after_last_backslash_cut_to_63) {
    wchar_t out[WIN_EXE_CHARS];
    win_enum_exe_from_path(L"C:\\Windows\\notepad.exe", out);
    EXPECT_STREQ(out, L"notepad.exe");
    win_enum_exe_from_path(L"plain.exe", out);
    EXPECT_STREQ(out, L"plain.exe");
    std::wstring long_name = L"C:\\" + std::wstring(100, L'a');
    win_enum_exe_from_path(long_name.c_str(), out);
    EXPECT_EQ(wcslen(out), 63u);
}

TEST(shot_json_build, members_by_plan_and_reply) {
    char out[2048];
    shot_plan p = plan_of(SHOT_PLAN_RECT);
    p.left = 1920;
    p.width = 800;
    p.height = 600;
    p.json_screen = 1;
    ASSERT_TRUE(cmd_shot_json_build("ok\tpath=C:\\a \"b\"\\x.png\twidth=800\theight=600\tbytes=12345678901\tms=42"
                                    "\ttarget=rect 1920,0 800x600\tfolder=adhoc\twarning=low_space,ivra_big\tfree_mb=12"
                                    "\tdrive=C:\\",
                                    &p, out, sizeof out));
    EXPECT_STREQ(
        out, "{\"path\":\"C:\\\\a \\\"b\\\"\\\\x.png\",\"width\":800,\"height\":600,\"bytes\":12345678901,\"ms\":42,"
             "\"target\":\"rect 1920,0 800x600\",\"screen\":1,\"region\":{\"x\":1920,\"y\":0,\"w\":800,\"h\":600},"
             "\"folder\":\"adhoc\",\"warning\":\"low_space,ivra_big\",\"free_mb\":12}\n");

    shot_plan c = plan_of(SHOT_PLAN_CURSOR);
    ASSERT_TRUE(cmd_shot_json_build("ok\tpath=C:\\p.png\twidth=1\theight=2\tbytes=3\tms=4\ttarget=monitor under cursor"
                                    "\tdir=D:\\d\twarning=low_space\tfree_mb=junk",
                                    &c, out, sizeof out));
    EXPECT_STREQ(out,
                 "{\"path\":\"C:\\\\p.png\",\"width\":1,\"height\":2,\"bytes\":3,\"ms\":4,\"target\":\"monitor under "
                 "cursor\",\"dir\":\"D:\\\\d\",\"warning\":\"low_space\",\"free_mb\":0}\n");

    char small[16] = "junk";
    EXPECT_FALSE(cmd_shot_json_build("ok\tpath=C:\\p.png", &c, small, sizeof small));
    EXPECT_STREQ(small, "");
}

TEST(shot_warning_lines, low_space_and_big_folders) {
    char out[512];
    cmd_shot_warning_lines("ok\tpath=x\twarning=low_space,ivra_big\tfree_mb=900\tdrive=C:\\", out, sizeof out);
    EXPECT_STREQ(out, "ivrac shot: WARNING low disk space (900 MB free on C:\\)\n"
                      "ivrac shot: WARNING Ivra captures exceed warn_ivra_gb\n");
    cmd_shot_warning_lines("ok\tpath=x\twarning=ivra_big", out, sizeof out);
    EXPECT_STREQ(out, "ivrac shot: WARNING Ivra captures exceed warn_ivra_gb\n");
    cmd_shot_warning_lines("ok\tpath=x", out, sizeof out);
    EXPECT_STREQ(out, "");
}

TEST(screens_output, text_and_json) {
    const monitor_entry m[] = {{0, 0, 1280, 800, 1, 96, "\\\\.\\DISPLAY1"},
                               {-1024, 100, 1024, 768, 0, 144, "\\\\.\\DISPLAY2"}};
    char out[1024];
    cmd_listing_screens_text(m, 2, out, sizeof out);
    EXPECT_STREQ(out, "#0  1280x800@0,0  96 dpi  primary  \\\\.\\DISPLAY1\n"
                      "#1  1024x768@-1024,100  144 dpi  -  \\\\.\\DISPLAY2\n"
                      "virtual  2304x868@-1024,0\n");
    cmd_listing_screens_json(m, 2, out, sizeof out);
    EXPECT_STREQ(
        out, "[{\"index\":0,\"x\":0,\"y\":0,\"w\":1280,\"h\":800,\"primary\":true,\"dpi\":96,\"name\":\"\\\\\\\\."
             "\\\\DISPLAY1\"},{\"index\":1,\"x\":-1024,\"y\":100,\"w\":1024,\"h\":768,\"primary\":false,\"dpi\":144,"
             "\"name\":\"\\\\\\\\.\\\\DISPLAY2\"}]\n");
    cmd_listing_screens_text(m, 0, out, sizeof out);
    EXPECT_STREQ(out, "");
    EXPECT_TRUE(cmd_listing_screens_json(m, 0, out, sizeof out));
    EXPECT_STREQ(out, "[]\n");
    char small[64] = "junk";
    EXPECT_FALSE(cmd_listing_screens_json(m, 2, small, sizeof small));  // a cut array is no JSON
    EXPECT_STREQ(small, "");
}

TEST(windows_output, text_line_and_json_item) {
    win_entry e = win(0x1234567890abull, L"Caf\u00e9 \"menu\"", L"C", L"notepad.exe");
    e.pid = 4242;
    e.left = -8;
    e.top = 10;
    e.right = 792;
    e.bottom = 610;
    e.state = WIN_STATE_MIN;
    char out[1024];
    cmd_listing_windows_text_line(&e, out, sizeof out);
    EXPECT_STREQ(out, "0x567890ab  4242   800x600@-8,10      min  notepad.exe        \"Caf\xc3\xa9 \"menu\"\"\n");
    cmd_listing_windows_json_item(&e, true, false, out, sizeof out);
    EXPECT_STREQ(out, ",{\"hwnd\":\"0x1234567890ab\",\"pid\":4242,\"exe\":\"notepad.exe\",\"title\":\"Caf\xc3\xa9 "
                      "\\\"menu\\\"\",\"x\":-8,\"y\":10,\"w\":800,\"h\":600,\"state\":\"min\",\"active\":true}");
    // Control characters become blanks; columns count characters, not bytes.
    win_entry x = win(0x1007a, L"a\nb\rc\x1b[31md\tz\x7f\x9b", L"C", L"\u00e9diteur.exe");
    x.pid = 7;
    x.right = 10;
    x.bottom = 10;
    cmd_listing_windows_text_line(&x, out, sizeof out);
    EXPECT_STREQ(out, "0x0001007a  7      10x10@0,0          -    \xc3\xa9"
                      "diteur.exe        \"a b c [31md z  \"\n");
    win_enum_candidate_line(&x, out, sizeof out);
    EXPECT_STREQ(out, "  0x0001007a  \xc3\xa9"
                      "diteur.exe        \"a b c [31md z  \"\n");

    e.state = WIN_STATE_NORMAL;
    cmd_listing_windows_json_item(&e, false, true, out, sizeof out);
    EXPECT_EQ(std::string(out).substr(0, 2), "{\"");
    EXPECT_NE(std::string(out).find("\"state\":\"normal\",\"active\":false"), std::string::npos);
}

void collect(const char* line, size_t len, void* ctx) { ((std::vector<std::string>*)ctx)->emplace_back(line, len); }

TEST(last, count_rule_and_newest_first) {
    struct count_row {
        std::vector<std::wstring> args;
        long expect;
    } counts[] = {
        {{}, 1},
        {{L"-n"}, 1},
        {{L"-n", L"0"}, 1},
        {{L"-n", L"-4"}, 1},
        {{L"-n", L"x"}, 1},
        {{L"-n", L"5"}, 5},
        {{L"--json", L"-n", L"2"}, 2},
        {{L"-n", L"100000"}, 100000},
    };
    for (auto& r : counts) {
        argv_list a(r.args);
        EXPECT_EQ(cmd_listing_last_count(a.argc(), a.argv()), r.expect);
    }
    struct row {
        const char* text;
        long count;
        std::vector<std::string> expect;
    } rows[] = {
        {"a\nb\nc\n", 5, {"c", "b", "a"}},
        {"a\nb\nc\n", 2, {"c", "b"}},
        {"a\n\n\nb\n\n", 5, {"b", "a"}},  // empty lines (over-long paths) are not captures
        {"a\nb", 1, {"b"}},               // last line without its line feed (append in progress)
        {"", 3, {}},
        {"\n\n", 3, {}},
    };
    for (auto& r : rows) {
        std::vector<std::string> got;
        EXPECT_EQ(cmd_listing_last_visit(r.text, strlen(r.text), r.count, collect, &got), (long)r.expect.size());
        EXPECT_EQ(got, r.expect) << r.text;
    }
}

}  // namespace
