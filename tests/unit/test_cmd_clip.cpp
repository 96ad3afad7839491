// "ivrac clip" and "ivrac replay" without an agent: usage failures as a script sees
// them (exit code, standard error, the JSON error object), the request lines and
// time-outs, and what the reply printer and the replay status make of agent replies.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/cli_main.h"
#include "cli/cmd_clip.h"
#include "cli/cmd_shot.h"
#include "common/win.h"

namespace {

struct argv_list {
    std::vector<std::wstring> words;
    std::vector<wchar_t*> ptrs;
    explicit argv_list(std::vector<std::wstring> w) : words(std::move(w)) {
        for (auto& s : words) ptrs.push_back(s.data());
    }
    int argc() { return (int)ptrs.size(); }
    wchar_t** argv() { return ptrs.data(); }
};

struct main_result {
    int code;
    std::string out, err;
};

// cli_main with the standard handles pointed at temporary files.
main_result run_main(std::vector<const wchar_t*> args) {
    std::vector<wchar_t*> argv{const_cast<wchar_t*>(L"ivrac")};
    for (auto a : args) argv.push_back(const_cast<wchar_t*>(a));
    wchar_t dir[MAX_PATH], out_path[MAX_PATH], err_path[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    GetTempFileNameW(dir, L"clp", 0, out_path);
    GetTempFileNameW(dir, L"clp", 0, err_path);
    HANDLE o = CreateFileW(out_path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    HANDLE e = CreateFileW(err_path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    HANDLE old_out = GetStdHandle(STD_OUTPUT_HANDLE), old_err = GetStdHandle(STD_ERROR_HANDLE);
    SetStdHandle(STD_OUTPUT_HANDLE, o);
    SetStdHandle(STD_ERROR_HANDLE, e);
    main_result m{};
    m.code = cli_main((int)argv.size(), argv.data());
    SetStdHandle(STD_OUTPUT_HANDLE, old_out);
    SetStdHandle(STD_ERROR_HANDLE, old_err);
    g_cli = {false, false, L"ivrac"};
    for (auto [h, s] : {std::pair<HANDLE, std::string*>{o, &m.out}, {e, &m.err}}) {
        SetFilePointer(h, 0, nullptr, FILE_BEGIN);
        char buf[16384];
        DWORD n = 0;
        while (ReadFile(h, buf, sizeof buf, &n, nullptr) && n) s->append(buf, n);
        CloseHandle(h);
    }
    DeleteFileW(out_path);
    DeleteFileW(err_path);
    return m;
}

const char* const CLIP_WORDS = "expects start|stop|pause|resume|toggle|redo|cancel|mic|system|status|ui";
const char* const ONE_TARGET = "use one of --pick, --screen, --region, --window/--hwnd/--pid/--active";

TEST(ClipCommand, UsageFailuresNeedNoAgent) {
    const struct {
        std::vector<const wchar_t*> args;
        const char* message;
        bool hint = true;  // the "Try" line follows
    } rows[] = {
        {{L"clip"}, CLIP_WORDS},
        {{L"clip", L"frob"}, CLIP_WORDS},
        {{L"clip", L"START"}, CLIP_WORDS},
        {{L"clip", L"--wait"}, CLIP_WORDS},
        {{L"clip", L"stop", L"--screen", L"1"}, "--screen"},
        {{L"clip", L"pause", L"--seconds", L"5"}, "--seconds"},
        {{L"clip", L"status", L"--pick"}, "--pick"},
        {{L"clip", L"cancel", L"now"}, "now"},
        {{L"clip", L"start", L"--pick", L"--screen", L"0"}, ONE_TARGET},
        {{L"clip", L"start", L"--region", L"0,0,10,10", L"--hwnd", L"5"}, ONE_TARGET},
        {{L"clip", L"start", L"--active", L"--pick"}, ONE_TARGET},
        {{L"clip", L"start", L"--screen", L"1", L"--pid", L"4"}, ONE_TARGET},
        {{L"clip", L"start", L"--seconds", L"0"}, "--seconds expects 1-30"},
        {{L"clip", L"start", L"--seconds", L"31"}, "--seconds expects 1-30"},
        {{L"clip", L"start", L"--seconds", L"abc"}, "--seconds expects 1-30"},
        {{L"clip", L"start", L"--seconds"}, "--seconds expects 1-30"},
        {{L"clip", L"start", L"--hwnd", L"0"}, "--hwnd expects a handle"},
        {{L"clip", L"start", L"--pid"}, "--pid expects a pid"},
        {{L"clip", L"start", L"--window"}, "--window expects a query"},
        {{L"clip", L"start", L"--screen", L"-1"}, "--screen expects an index"},
        {{L"clip", L"start", L"--desktop", L"x"}, "--screen expects an index"},
        {{L"clip", L"start", L"--region", L"1,2,3"}, "--region expects x,y,w,h"},
        {{L"clip", L"start", L"-o"}, "-o expects a path"},
        {{L"clip", L"start", L"--folder", L"x", L"-o", L"a.mp4"}, "--folder cannot be combined with -o"},
        {{L"clip", L"start", L"--folder", L"a/b"},
         "--folder must be a plain folder name (no path separators; got 'a/b')",
         false},
        {{L"clip", L"start", L"--folder"}, "--folder expects a name or slot 1-9", false},
        {{L"clip", L"start", L"--frames", L"5"}, "--frames"},
        {{L"clip", L"mic", L"loud"}, "mic/system expect on|off|toggle"},
        {{L"clip", L"system", L"ON"}, "mic/system expect on|off|toggle"},
        {{L"clip", L"mic", L"on", L"off"}, "off"},
        {{L"clip", L"system", L"--no-audio"}, "--no-audio"},
        {{L"replay", L"frob"}, "expects on|off|status|save"},
        {{L"replay", L"start"}, "expects on|off|status|save"},
        {{L"replay", L"save", L"--seconds", L"0"}, "--seconds expects 1-30"},
        {{L"replay", L"save", L"--seconds", L"31"}, "--seconds expects 1-30"},
        {{L"replay", L"save", L"-o"}, "-o expects a path"},
        {{L"replay", L"save", L"--no-bar"}, "--no-bar"},
        {{L"replay", L"status", L"extra"}, "extra"},
        {{L"replay", L"on", L"now"}, "now"},
    };
    for (const auto& r : rows) {
        std::string line;
        for (auto a : r.args) {
            char w[64];
            cli_utf8_from_wide(a, w, sizeof w);
            line += std::string(w) + " ";
        }
        main_result m = run_main(r.args);
        char word[16];
        cli_utf8_from_wide(r.args[0], word, sizeof word);
        std::string want = std::string("ivrac ") + word + ": " + r.message + "\n";
        if (r.hint) want += std::string("Try 'ivrac ") + word + " --help'\n";
        EXPECT_EQ(m.code, 2) << line;
        EXPECT_EQ(m.err, want) << line;
        EXPECT_EQ(m.out, "") << line;
    }
    // With --json the same failure is also one error object on standard output.
    main_result m = run_main({L"clip", L"--json"});
    EXPECT_EQ(m.code, 2);
    EXPECT_EQ(m.out, std::string("{\"error\":\"usage\",\"message\":\"") + CLIP_WORDS + "\"}\n");
    m = run_main({L"replay", L"save", L"--json", L"--seconds", L"45"});
    EXPECT_EQ(m.code, 2);
    EXPECT_EQ(m.out, "{\"error\":\"usage\",\"message\":\"--seconds expects 1-30\"}\n");
}

TEST(ClipCommand, AnOutputPathThatCannotBeWrittenFailsBeforeRecording) {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring folder = std::wstring(temp) + L"ivra_no_such_folder_" + std::to_wstring(GetCurrentProcessId());
    std::wstring path = folder + L"\\a.mp4";
    char path8[1024], folder8[1024];
    cli_utf8_from_wide(path.c_str(), path8, sizeof path8);
    cli_utf8_from_wide(folder.c_str(), folder8, sizeof folder8);
    const std::string why = std::string(": cannot write ") + path8 + ": the folder " + folder8 + " does not exist\n";
    for (const auto& args : {std::vector<const wchar_t*>{L"clip", L"start", L"-o", path.c_str()},
                             std::vector<const wchar_t*>{L"replay", L"save", L"--wait", L"-o", path.c_str()}}) {
        main_result m = run_main(args);
        EXPECT_EQ(m.code, 1) << m.err;
        EXPECT_EQ(m.err, std::string("ivrac ") + (args[0][0] == L'c' ? "clip" : "replay") + why);
    }
}

std::string request_of(std::vector<std::wstring> args, const cmd_clip_plan& plan, unsigned long* timeout = nullptr) {
    argv_list a(std::move(args));
    static cmd_clip_options o;
    char msg[256];
    bool hint;
    EXPECT_EQ(cmd_clip_parse(a.argc(), a.argv(), &o, msg, sizeof msg, &hint), 0) << msg;
    char req[4096];
    EXPECT_TRUE(cmd_clip_request_build(&o, &plan, req, sizeof req));
    if (timeout) *timeout = cmd_clip_timeout_ms(&o);
    return req;
}

cmd_clip_plan plan_of(int target) {
    cmd_clip_plan p = {};
    p.target = target;
    return p;
}

TEST(ClipCommand, RequestLinesAndTimeOuts) {
    cmd_clip_plan window = plan_of(CMD_CLIP_TARGET_WINDOW);
    window.hwnd = 77;
    cmd_clip_plan monitor = plan_of(CMD_CLIP_TARGET_MONITOR);
    monitor.monitor = 1;
    cmd_clip_plan rect = plan_of(CMD_CLIP_TARGET_RECT);
    rect.left = 1920;
    rect.width = 640;
    rect.height = 360;
    cmd_clip_plan dest = plan_of(CMD_CLIP_TARGET_CURSOR);
    wcscpy(dest.folder, L"bugs");
    cmd_clip_plan out = plan_of(CMD_CLIP_TARGET_PICK);
    wcscpy(out.out, L"C:\\v\\\x00e9.mp4");
    cmd_clip_plan slot = plan_of(CMD_CLIP_TARGET_CURSOR);
    wcscpy(slot.dir, L"D:\\clips");
    const cmd_clip_plan none = plan_of(CMD_CLIP_TARGET_CURSOR);
    const struct {
        std::vector<std::wstring> args;
        const cmd_clip_plan* plan;
        const char* request;
        unsigned long timeout;
    } rows[] = {
        {{L"start"}, &none, "clip\top=start", 20000},
        {{L"start", L"--seconds", L"5", L"--wait"}, &none, "clip\top=start\tseconds=5\twait=1", 120000},
        {{L"start", L"--wait"}, &none, "clip\top=start\twait=1", 145000},
        {{L"start", L"--pick"}, &out, "clip\top=start\ttarget=pick\tout=C:\\v\\\xc3\xa9.mp4", 130000},
        {{L"start", L"--pick", L"--wait", L"--seconds", L"30"},
         &out,
         "clip\top=start\ttarget=pick\tseconds=30\tout=C:\\v\\\xc3\xa9.mp4\twait=1",
         255000},
        {{L"start", L"--hwnd", L"77", L"--silent", L"--no-bar", L"--mic", L"--no-system", L"--no-audio", L"--seconds",
          L"5", L"--wait"},
         &window,
         "clip\top=start\tsilent=1\tbar=0\tmic=1\tsystem=0\taudio=0\ttarget=window\thwnd=77\tseconds=5\twait=1",
         120000},
        {{L"start", L"--system", L"--no-mic", L"--screen", L"1"},
         &monitor,
         "clip\top=start\tsystem=1\tmic=0\ttarget=monitor\tmonitor=1",
         20000},
        {{L"start", L"--screen", L"1", L"--region", L"0,0,640,360"},
         &rect,
         "clip\top=start\ttarget=rect\trect=1920,0,640,360",
         20000},
        {{L"start", L"--folder", L"bugs"}, &dest, "clip\top=start\tfolder=bugs", 20000},
        {{L"start", L"--folder", L"3"}, &slot, "clip\top=start\tdir=D:\\clips", 20000},
        {{L"stop"}, &none, "clip\top=stop", 20000},
        {{L"stop", L"--wait"}, &none, "clip\top=stop\twait=1", 145000},
        {{L"cancel", L"--silent", L"--wait"}, &none, "clip\top=cancel\tsilent=1\twait=1", 145000},
        {{L"redo", L"--no-bar"}, &none, "clip\top=redo\tbar=0", 20000},
        {{L"toggle"}, &none, "clip\top=toggle", 20000},
        {{L"mic"}, &none, "clip\top=mic", 20000},
        {{L"mic", L"toggle"}, &none, "clip\top=mic", 20000},
        {{L"mic", L"on"}, &none, "clip\top=mic\ton=1", 20000},
        {{L"system", L"off", L"--silent"}, &none, "clip\top=system\ton=0\tsilent=1", 20000},
        {{L"system", L"--wait"}, &none, "clip\top=system\twait=1", 145000},
        {{L"status"}, &none, "clip\top=status", 20000},
        {{L"ui"}, &none, "clip\top=ui", 20000},
    };
    for (const auto& r : rows) {
        unsigned long timeout = 0;
        std::string got = request_of(r.args, *r.plan, &timeout);
        EXPECT_EQ(got, r.request);
        EXPECT_EQ(timeout, r.timeout) << r.request;
    }
    // Only a start sends its target and destination.
    EXPECT_EQ(request_of({L"stop"}, window), "clip\top=stop");
}

TEST(ClipCommand, TargetsCountedAsKinds) {
    const struct {
        std::vector<std::wstring> args;
        int count;
    } rows[] = {
        {{L"start"}, 0},
        {{L"start", L"--screen", L"0"}, 1},
        {{L"start", L"--screen", L"0", L"--region", L"0,0,640,360"}, 1},
        {{L"start", L"--region", L"0,0,640,360"}, 1},
        {{L"start", L"--window", L"a", L"--hwnd", L"5", L"--active"}, 1},  // the last window option wins
        {{L"start", L"--pick", L"--screen", L"0"}, 2},
        {{L"start", L"--pick", L"--region", L"0,0,1,1", L"--screen", L"0", L"--pid", L"9"}, 3},
    };
    for (const auto& r : rows) {
        argv_list a(r.args);
        cmd_clip_options o;
        char msg[128];
        bool hint;
        ASSERT_EQ(cmd_clip_parse(a.argc(), a.argv(), &o, msg, sizeof msg, &hint), 0) << msg;
        EXPECT_EQ(cmd_clip_target_count(&o), r.count) << r.args.size();
    }
}

TEST(ClipCommand, AgentCodesToExitCodes) {
    const struct {
        const char* code;
        int exit_code;
    } rows[] = {
        {"idle", 5},        {"busy", 5},    {"not_found", 4}, {"bad_screen", 4}, {"no_coverage", 4},
        {"clip_failed", 1}, {"timeout", 1}, {"usage", 1},     {"replay_off", 1}, {"bad_folder", 1},
    };
    for (const auto& r : rows) EXPECT_EQ(cmd_clip_exit_for(r.code), r.exit_code) << r.code;
}

TEST(PrintReply, TextAndJsonOfAgentReplies) {
    const char* status =
        "ok\tstate=idle\tsession=0\tpath=C:\\a \"b\".mp4\telapsed=0.00\tframes=\tencoder=h264_mf (software)"
        "\tsystem_level=nan\tnoequals\treplay=1\treplay_width=1920";
    const struct {
        const char* reply;
        bool replay_keys;
        bool json;
        const char* want;
    } rows[] = {
        {status, false, false,
         "state          idle\nsession        0\npath           C:\\a \"b\".mp4\nelapsed        0.00\nframes         \n"
         "encoder        h264_mf (software)\nsystem_level   nan\nreplay         1\nreplay_width   1920\n"},
        {status, false, true,
         "{\"state\":\"idle\",\"session\":0,\"path\":\"C:\\\\a \\\"b\\\".mp4\",\"elapsed\":0.00,\"frames\":\"\","
         "\"encoder\":\"h264_mf (software)\",\"system_level\":\"nan\",\"replay\":\"1\",\"replay_width\":\"1920\"}\n"},
        {status, true, true,
         "{\"state\":\"idle\",\"session\":0,\"path\":\"C:\\\\a \\\"b\\\".mp4\",\"elapsed\":\"0.00\",\"frames\":\"\","
         "\"encoder\":\"h264_mf (software)\",\"system_level\":\"nan\",\"replay\":\"1\",\"replay_width\":\"1920\"}\n"},
        {"ok\tsession=3\tsaved=1\tdiscarded=0\tpath=C:\\v\\x.mp4\tbytes=10\tseconds=5.000\tframes=150\taudio=1\terr=\n",
         true, true,
         "{\"session\":3,\"saved\":1,\"discarded\":0,\"path\":\"C:\\\\v\\\\x.mp4\",\"bytes\":10,\"seconds\":5.000,"
         "\"frames\":150,\"audio\":1,\"err\":\"\"}\n"},
        {"ok\tsession=-1\tbytes=1e5\twidth=01\theight=+3\tfps=.5", false, true,
         "{\"session\":-1,\"bytes\":1e5,\"width\":\"01\",\"height\":\"+3\",\"fps\":\".5\"}\n"},
        {"ok", false, true, "{}\n"},
        {"ok", false, false, ""},
        {"ok\tvery_long_key_name=x", false, false, "very_long_key_name x\n"},
    };
    for (const auto& r : rows) {
        char out[4096];
        const char* const* keys = r.replay_keys ? cmd_replay_numeric_keys : cmd_clip_numeric_keys;
        int count = r.replay_keys ? cmd_replay_numeric_count : cmd_clip_numeric_count;
        ASSERT_TRUE(cmd_clip_print_reply_build(r.reply, keys, count, r.json, out, sizeof out)) << r.reply;
        EXPECT_STREQ(out, r.want) << r.reply;
    }
    EXPECT_EQ(cmd_clip_numeric_count, 33);
    EXPECT_EQ(cmd_replay_numeric_count, 12);
    // An answer that does not fit is refused whole, never printed cut.
    char small[16];
    EXPECT_FALSE(
        cmd_clip_print_reply_build(status, cmd_clip_numeric_keys, cmd_clip_numeric_count, true, small, sizeof small));
    EXPECT_STREQ(small, "");
}

TEST(ReplayCommand, SaveRequestsAndStatus) {
    const struct {
        std::vector<std::wstring> args;
        const wchar_t* out_abs;
        const char* request;
    } saves[] = {
        {{}, nullptr, "clip\top=replay_save"},
        {{L"--wait", L"--silent"}, nullptr, "clip\top=replay_save\twait=1\tsilent=1"},
        {{L"--seconds", L"10", L"-o", L"r.mp4"}, L"C:\\w\\r.mp4", "clip\top=replay_save\tseconds=10\tout=C:\\w\\r.mp4"},
    };
    for (const auto& s : saves) {
        argv_list a(s.args);
        cmd_replay_save_options o;
        char msg[128], req[1024];
        ASSERT_EQ(cmd_clip_replay_save_parse(a.argc(), a.argv(), &o, msg, sizeof msg), 0) << msg;
        ASSERT_TRUE(cmd_clip_replay_save_request(&o, s.out_abs, req, sizeof req));
        EXPECT_STREQ(req, s.request);
    }
    cmd_replay_save_options o{};
    char req[64];
    EXPECT_FALSE(cmd_clip_replay_save_request(&o, L"C:\\a\tb.mp4", req, sizeof req));  // a tab would split the request

    const char* buffering = "ok\tstate=idle\treplay=1\treplay_width=1920\treplay_height=1080\treplay_fps=60"
                            "\treplay_buffered=12.5\treplay_saves=2\treplay_err=";
    const char* failed = "ok\tstate=idle\treplay=0\treplay_width=0\treplay_height=0\treplay_fps=0\treplay_buffered=0.0"
                         "\treplay_saves=\treplay_err=no \"encoder\"";
    const struct {
        const char* reply;
        bool enabled, json;
        const char* want;
    } rows[] = {
        {buffering, true, false,
         "enabled        yes\nbuffering      yes\nsource         1920x1080 @ 60 fps, 12.5 s buffered\n"
         "hotkey         Ctrl+Alt+R\nsaves          2\n"},
        {failed, true, false,
         "enabled        yes\nbuffering      no\nhotkey         Ctrl+Alt+R\nsaves          0\nerror          no \"encoder\"\n"},
        {"ok", false, false, "enabled        no\nbuffering      no\nhotkey         Ctrl+Alt+R\nsaves          0\n"},
        {buffering, true, true,
         "{\"enabled\":true,\"buffering\":true,\"width\":1920,\"height\":1080,\"fps\":60,\"buffered_seconds\":12.5,"
         "\"saves\":2,\"hotkey\":\"Ctrl+Alt+R\",\"error\":\"\"}\n"},
        {failed, false, true,
         "{\"enabled\":false,\"buffering\":false,\"width\":0,\"height\":0,\"fps\":0,\"buffered_seconds\":0.0,"
         "\"saves\":0,\"hotkey\":\"Ctrl+Alt+R\",\"error\":\"no \\\"encoder\\\"\"}\n"},
        {"ok\treplay_fps=sixty", false, true,
         "{\"enabled\":false,\"buffering\":false,\"width\":0,\"height\":0,\"fps\":0,\"buffered_seconds\":0,"
         "\"saves\":0,\"hotkey\":\"Ctrl+Alt+R\",\"error\":\"\"}\n"},
    };
    for (const auto& r : rows) {
        char out[2048];
        ASSERT_TRUE(cmd_clip_replay_status_build(r.reply, r.enabled, "Ctrl+Alt+R", r.json, out, sizeof out)) << r.reply;
        EXPECT_STREQ(out, r.want) << r.reply;
    }
}

}  // namespace
