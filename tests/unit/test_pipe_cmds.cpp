// Inspection and screenshot commands: the reply formats and field parsers by
// tables, then the handlers themselves over an in-process pipe, with a stand-in
// capture thread that answers, fails or never answers a screenshot request.
#include "agent/pipe/pipe_cmds.h"
#include "agent/pipe/pipe_replies.h"
#include "agent/pipe/shot_job.h"
#include "agent/core/agent.h"
#include "agent/core/messages.h"
#include "agent/core/worker_pool.h"
#include "tests/unit/test_support.h"
#include <gtest/gtest.h>
#include <climits>
#include <cstring>
#include <regex>
#include <string>

namespace {

std::wstring g_tmp = [] {
    std::wstring dir = test_temp_dir(L"ivra-pipecmds-unit-");
    SetEnvironmentVariableW(L"APPDATA", dir.c_str());
    return dir;
}();

struct cleanup_env : ::testing::Environment {
    void TearDown() override { test_remove_tree(g_tmp); }
};
::testing::Environment* const g_cleanup = ::testing::AddGlobalTestEnvironment(new cleanup_env);

}  // namespace

// ---------------------------------------------------------------- text

TEST(PipeReplies, Utf8Conversion) {
    struct {
        const wchar_t* in;
        size_t cap;
        bool one_line;
        const char* want;
    } cases[] = {
        {L"C:\\Shots", 64, false, "C:\\Shots"},
        {nullptr, 8, false, ""},
        {L"caf\u00e9", 64, false, "caf\xc3\xa9"},
        {L"caf\u00e9", 5, false, "caf"},  // the two-byte character does not fit in 4 bytes
        {L"caf\u00e9", 6, false, "caf\xc3\xa9"},
        {L"\U0001F600x", 64, false, "\xf0\x9f\x98\x80x"},
        {L"\U0001F600", 4, false, ""},  // never half a character
        {L"a\xd800"
         L"b",
         64, false,
         "a\xef\xbf\xbd"
         "b"},  // unpaired surrogate
        {L"a\tb\r\nc", 64, true, "a b  c"},
        {L"a\tb", 64, false, "a\tb"},
    };
    for (auto& c : cases) {
        char out[64];
        memset(out, 'x', sizeof out);
        size_t n = pipe_utf8(c.in, out, c.cap, c.one_line);
        EXPECT_STREQ(out, c.want) << c.cap;
        EXPECT_EQ(n, strlen(c.want));
    }
}

TEST(PipeReplies, AtoiRules) {
    struct {
        const char* in;
        size_t max;
        int want;
    } cases[] = {
        {"12", 15, 12},
        {" -5", 15, -5},
        {"+7x", 15, 7},
        {"abc", 15, 0},
        {"", 15, 0},
        {"99999999999", 15, INT_MAX},
        {"-99999999999", 15, INT_MIN},
        {"12345", 3, 123},
        {"  12", 2, 0},
        {"-", 15, 0},
        {nullptr, 15, 0},
    };
    for (auto& c : cases) EXPECT_EQ(pipe_atoi(c.in, c.max), c.want) << (c.in ? c.in : "(null)");
}

// ---------------------------------------------------------------- shot fields

TEST(PipeReplies, RectParsing) {
    struct {
        const char* in;
        bool ok;
        long l, t, r, b;
    } cases[] = {
        {"1,2,3,4", true, 1, 2, 4, 6},
        {"-5,-6,10,20", true, -5, -6, 5, 14},
        {" 1, 2,+3,4", true, 1, 2, 4, 6},
        {"1,2,3,4junk", true, 1, 2, 4, 6},
        {"10,10,0", false},
        {"1 ,2,3,4", false},
        {"1,2,3,", false},
        {"a,b,c,d", false},
        {"", false},
        {"2147483647,0,1,1", false},    // right edge beyond 32 bits
        {"0,-2147483648,1,-1", false},  // bottom edge below 32 bits
        {"99999999999,0,1,1", false},
        {"2147483646,0,1,1", true, 2147483646, 0, 2147483647, 1},
        // Only the first 63 characters are read.
        {"                                                            1,2,3,4", false},
    };
    for (auto& c : cases) {
        long l = 7, t = 7, r = 7, b = 7;
        ASSERT_EQ(pipe_parse_rect(c.in, &l, &t, &r, &b), c.ok) << c.in;
        if (c.ok) {
            EXPECT_EQ(l, c.l) << c.in;
            EXPECT_EQ(t, c.t) << c.in;
            EXPECT_EQ(r, c.r) << c.in;
            EXPECT_EQ(b, c.b) << c.in;
        } else {
            EXPECT_TRUE(l == 7 && t == 7 && r == 7 && b == 7) << c.in;
        }
    }
}

TEST(PipeReplies, HwndParsing) {
    struct {
        const char* in;
        bool ok;
        uint64_t want;
    } cases[] = {
        {"123", true, 123},
        {" +65538", true, 65538},
        {"18446744073709551615", true, UINT64_MAX},
        {"18446744073709551616", false},
        {"0", false},
        {"", false},
        {"abc", false},
        {"-5", false},
        {"42abc", true, 42},
    };
    for (auto& c : cases) {
        uint64_t v = 99;
        EXPECT_EQ(pipe_parse_hwnd(c.in, &v), c.ok) << c.in;
        EXPECT_EQ(v, c.ok ? c.want : 99) << c.in;
    }
    // Only the first 31 characters are read.
    uint64_t v = 0;
    EXPECT_FALSE(pipe_parse_hwnd((std::string(31, ' ') + "5").c_str(), &v));
    EXPECT_TRUE(pipe_parse_hwnd((std::string(30, ' ') + "5").c_str(), &v));
    EXPECT_EQ(v, 5u);
}

TEST(PipeReplies, AbsoluteDirs) {
    struct {
        const wchar_t* in;
        bool want;
    } cases[] = {
        {L"C:\\Shots", true}, {L"z:\\", true},      {L"\\\\srv\\share\\x", true},
        {L"C:Shots", false},  {L"C:/Shots", false}, {L"\\Shots", false},
        {L"Shots\\x", false}, {L"", false},         {L"1:\\x", false},
        {L"..\\x", false},    {nullptr, false},
    };
    for (auto& c : cases) EXPECT_EQ(pipe_dir_absolute(c.in), c.want) << test_utf8(c.in ? c.in : L"(null)");
}

TEST(PipeReplies, ErrorSplit) {
    std::wstring long_code(80, L'c');
    std::wstring long_msg(200, L'm');
    struct {
        std::wstring in;
        std::string code, msg;
    } cases[] = {
        {L"busy\tmsg=another capture selection is active", "busy", "another capture selection is active"},
        {L"no_coverage", "no_coverage", "failed"},
        {L"", "internal", "failed"},
        {L"capture\tdetail", "capture", "failed"},
        {L"encode\tmsg=", "encode", "failed"},
        {L"bad_hwnd\tmsg=gone\tmsg=again", "bad_hwnd", "gone msg=again"},
        {L"disk_full\tmsg=line\nbreak", "disk_full", "line break"},
        {long_code + L"\tmsg=x", std::string(63, 'c'), "x"},
        {L"c\tmsg=" + long_msg, "c", std::string(127, 'm')},
        {L"c\tmsg=" + std::wstring(126, L'm') + L"\U0001F600", "c", std::string(126, 'm')},
    };
    for (auto& c : cases) {
        char code[200], msg[400];
        pipe_error_split(c.in.c_str(), code, sizeof code, msg, sizeof msg);
        EXPECT_EQ(code, c.code) << test_utf8(c.in);
        EXPECT_EQ(msg, c.msg) << test_utf8(c.in);
    }
}

// ---------------------------------------------------------------- status

namespace {

pipe_status_info sample_status() {
    pipe_status_info s{};
    s.pid = 4242;
    s.outputs = 2;
    strcpy(s.stills_dir, "C:\\Users\\ann\\Pictures\\Ivra");
    strcpy(s.clips_dir, "C:\\Users\\ann\\Videos\\Ivra");
    s.uptime_s = 3600;
    s.captures = 5;
    s.hangs = 1;
    for (int i = 0; i < HOTKEY_COUNT; i++) strcpy(s.hotkeys[i].text, "None");
    strcpy(s.hotkeys[2].text, "Ctrl+Shift+C");
    s.hotkeys[2].assigned = 1;
    s.hotkeys[2].registered = 1;
    strcpy(s.hotkeys[0].text, "PrtSc");
    s.hotkeys[0].assigned = 1;
    s.hotkeys[0].error = 1409;
    s.pools[0] = {2, 1, 3, 10, 0, 12.25};
    s.pools[3] = {8, 0, 1, 7, 2, 0.0};
    s.mem_stills = {1, 8294400, 400000000};
    s.mem_clips = {0, 0, 600000000};
    s.mem_total = 17179869184ULL;
    s.mem_percent = 6;
    return s;
}

}  // namespace

TEST(PipeReplies, StatusExactLine) {
    pipe_status_info s = sample_status();
    char out[PIPE_STATUS_CAP];
    size_t n = pipe_status_format(&s, out, sizeof out);
    const char* want =
        "ok\tversion=0.2.12\tpid=4242\toutputs=2\tstills_dir=C:\\Users\\ann\\Pictures\\Ivra"
        "\tclips_dir=C:\\Users\\ann\\Videos\\Ivra\tuptime_s=3600\tcaptures=5\thangs=1"
        "\thk_screen=PrtSc:failed(1409)\thk_window=None:off\thk_region=Ctrl+Shift+C:ok\thk_clip=None:off"
        "\thk_clip_app=None:off\thk_clip_screen=None:off\thk_replay=None:off\thk_clip_pause=None:off"
        "\thk_clip_redo=None:off"
        "\tpool_stills=2,1,3,10,0,12.2\tpool_clips=0,0,0,0,0,0.0\tpool_io=0,0,0,0,0,0.0\tpool_pipe=8,0,1,7,2,0.0"
        "\tmem_stills=1,8294400,400000000\tmem_clips=0,0,600000000\tmem_total=17179869184\tmem_percent=6\n";
    EXPECT_STREQ(out, want);
    EXPECT_EQ(n, strlen(want));
}

TEST(PipeReplies, HotkeyFieldStates) {
    struct {
        pipe_hotkey_line hk;
        const char* want;
    } cases[] = {
        {{"None", 0, 1, 0}, "\thk_clip=None:off"},
        {{"None", 0, 0, 5}, "\thk_clip=None:off"},  // no key: never a failure
        {{"Alt+F9", 1, 1, 0}, "\thk_clip=Alt+F9:ok"},
        {{"Alt+F9", 1, 0, 1409}, "\thk_clip=Alt+F9:failed(1409)"},
    };
    for (auto& c : cases) {
        char out[256];
        EXPECT_EQ(pipe_hotkey_field("hk_clip", &c.hk, out, sizeof out), strlen(c.want));
        EXPECT_STREQ(out, c.want);
    }
}

TEST(PipeReplies, LargestStatusStaysOneLine) {
    pipe_status_info s = sample_status();
    memset(s.stills_dir, 'a', PIPE_PATH_UTF8 - 1);
    memset(s.clips_dir, 'b', PIPE_PATH_UTF8 - 1);
    for (auto& hk : s.hotkeys) {
        memset(hk.text, 'k', PIPE_HOTKEY_UTF8 - 1);
        hk.assigned = 1;
        hk.error = ULONG_MAX;
    }
    for (auto& p : s.pools) p = {UINT_MAX, UINT_MAX, UINT_MAX, UINT64_MAX, UINT64_MAX, 1e12};
    char out[PIPE_STATUS_CAP];
    size_t n = pipe_status_format(&s, out, sizeof out);
    ASSERT_LT(n, sizeof out);
    EXPECT_EQ(out[n - 1], '\n');
    EXPECT_EQ(strchr(out, '\n'), out + n - 1);
    EXPECT_NE(strstr(out, "\tmem_percent=6\n"), nullptr) << "the largest status must not be cut";

    // A buffer too small is cut but still ends its one line.
    char small[40];
    n = pipe_status_format(&s, small, sizeof small);
    EXPECT_EQ(n, sizeof small - 1);
    EXPECT_EQ(small[n - 1], '\n');
    EXPECT_EQ(strchr(small, '\n'), small + n - 1);
}

// ---------------------------------------------------------------- screens, input, storage

TEST(PipeReplies, ScreensLines) {
    struct {
        std::wstring text;
        std::string want;
    } cases[] = {
        {L"", "ok\t\n"},
        {L"m0=0,0,1920,1080,1,96,\\\\.\\DISPLAY1", "ok\tm0=0,0,1920,1080,1,96,\\\\.\\DISPLAY1\n"},
        {L"m0=0,0,1280,800,1,96,\\\\.\\DISPLAY1\tm1=1280,0,1024,768,0,120,\\\\.\\DISPLAY2",
         "ok\tm0=0,0,1280,800,1,96,\\\\.\\DISPLAY1\tm1=1280,0,1024,768,0,120,\\\\.\\DISPLAY2\n"},
        {L"m0=0,0,1,1,1,96,bad\nname", "ok\tm0=0,0,1,1,1,96,bad name\n"},
    };
    for (auto& c : cases) {
        char out[PIPE_SCREENS_CAP];
        EXPECT_EQ(pipe_screens_format(c.text.c_str(), out, sizeof out), c.want.size());
        EXPECT_EQ(out, c.want);
    }
    // A monitor text over 8191 bytes is cut to 8191 bytes, and the line still ends.
    std::wstring big(5000, L'\u00e9');
    char out[PIPE_SCREENS_CAP];
    size_t n = pipe_screens_format(big.c_str(), out, sizeof out);
    EXPECT_EQ(n, 3 + 8190 + 1);  // "ok\t", whole two-byte characters, "\n"
    EXPECT_EQ(out[n - 1], '\n');
}

TEST(PipeReplies, InputLineOfIdleBroker) {
    pipe_input_info info{};
    info.last_route = PIPE_ROUTE_NONE;
    info.registered[2] = 1;
    char out[PIPE_INPUT_CAP];
    size_t n = pipe_input_format(&info, out, sizeof out);
    const char* want =
        "ok\trunning=0\traw_enabled=0\thook_enabled=0\traw_ready=0\thook_ready=0\traw_error=0\thook_error=0"
        "\tmouse_ready=0\tmouse_error=0\tregistered_screen=0\tregistered_window=0\tregistered_region=1"
        "\tregistered_clip=0\tregistered_clip_app=0\tregistered_clip_screen=0\tregistered_replay=0"
        "\tregistered_clip_pause=0\tregistered_clip_redo=0\tregistered_events=0\traw_events=0\thook_events=0"
        "\tregistered_activations=0\traw_activations=0\thook_activations=0\tduplicates=0\tstale=0\tblocked=0"
        "\tdropped=0\tlast_route=none\tlast_action=0\tsession_active=0\tmouse_mode=none\tmouse_reason=none"
        "\tmouse_packets=0\tfocus_requested=0\tfocus_owned=0\n";
    EXPECT_STREQ(out, want);
    EXPECT_EQ(n, strlen(want));
}

TEST(PipeReplies, InputNames) {
    struct {
        int v;
        const char* route;
        const char* mode;
    } cases[] = {
        {-1, "none", "none"}, {0, "registered", "none"}, {1, "raw", "native"},
        {2, "hook", "raw"},   {3, "none", "none"},       {INT_MIN, "none", "none"},
    };
    for (auto& c : cases) {
        EXPECT_STREQ(pipe_route_name(c.v), c.route) << c.v;
        EXPECT_STREQ(pipe_mouse_mode_name(c.v), c.mode) << c.v;
    }
    pipe_input_info info{};
    info.last_route = PIPE_ROUTE_HOOK;
    info.mouse_mode = PIPE_MOUSE_RAW;
    strcpy(info.mouse_reason, "remote\tsession");
    char out[PIPE_INPUT_CAP];
    pipe_input_format(&info, out, sizeof out);
    EXPECT_NE(strstr(out, "\tlast_route=hook\t"), nullptr);
    EXPECT_NE(strstr(out, "\tmouse_mode=raw\tmouse_reason=remote session\t"), nullptr);
}

TEST(PipeReplies, StorageAge) {
    struct {
        int64_t at, now, freq;
        long long want;
    } cases[] = {
        {0, 5000, 1000, -1}, {1000, 5999, 1000, 4}, {1000, 1000, 1000, 0}, {5000, 1000, 1000, 0}, {1000, 5000, 0, -1},
    };
    for (auto& c : cases) EXPECT_EQ(pipe_storage_age(c.at, c.now, c.freq), c.want) << c.at << " " << c.now;
}

TEST(PipeReplies, StorageLines) {
    storage_totals t{};
    wcscpy(t.drive, L"C:\\");
    t.drive_total = 500107862016ULL;
    t.drive_free = 1073741824ULL;
    t.stills_bytes = 1000;
    t.stills_count = 3;
    t.clips_bytes = 2000;
    t.clips_count = 1;
    t.other_bytes = 5;
    t.other_count = 1;
    t.ivra_bytes = 3005;
    t.roots = 2;
    t.scan_ms = 17;
    t.low_space = 7;  // any non-zero flag shows as 1
    storage_thresholds th{2048, 256, 50};
    char out[PIPE_STORAGE_CAP];
    size_t n = pipe_storage_format(&t, 12, &th, false, out, sizeof out);
    const char* want =
        "ok\tdrive=C:\\\ttotal=500107862016\tfree=1073741824\tstills=1000\tstills_n=3\tclips=2000\tclips_n=1"
        "\tother=5\tother_n=1\tivra=3005\troots=2\tage_s=12\tscan_ms=17\tlow_space=1\tdisk_full=0\tivra_big=0"
        "\twarn_free_mb=2048\tstop_free_mb=256\twarn_ivra_gb=50\n";
    EXPECT_STREQ(out, want);
    EXPECT_EQ(n, strlen(want));

    storage_totals none{};
    pipe_storage_format(&none, -1, &th, true, out, sizeof out);
    EXPECT_EQ(strncmp(out, "ok\tdrive=\ttotal=0\t", 18), 0) << out;
    EXPECT_NE(strstr(out, "\tage_s=-1\t"), nullptr) << out;
    EXPECT_NE(strstr(out, "\twarn_ivra_gb=50\tstale=1\n"), nullptr) << out;
}

TEST(PipeReplies, ShotLines) {
    shot_job job{};
    wcscpy(job.path, L"C:\\Users\\ann\\Pictures\\Ivra\\Ivra_2026-12-09_06-00-00.png");
    job.width = 1920;
    job.height = 1080;
    job.bytes = 123456;
    job.ms = 84;
    wcscpy(job.target, L"monitor 0");
    char out[PIPE_SHOT_CAP];
    pipe_shot_format(&job, out, sizeof out);
    EXPECT_STREQ(out, "ok\tpath=C:\\Users\\ann\\Pictures\\Ivra\\Ivra_2026-12-09_06-00-00.png\twidth=1920\theight=1080"
                      "\tbytes=123456\tms=84\ttarget=monitor 0\n");

    wcscpy(job.folder, L"red");
    wcscpy(job.warning, L"low_space,ivra_big");
    job.free_mb = 900;
    wcscpy(job.drive, L"C:\\");
    wcscpy(job.target, L"window 0x1234 \"a\ttab\nand line\"");
    pipe_shot_format(&job, out, sizeof out);
    EXPECT_NE(strstr(out, "\ttarget=window 0x1234 \"a tab and line\"\tfolder=red"
                          "\twarning=low_space,ivra_big\tfree_mb=900\tdrive=C:\\\n"),
              nullptr)
        << out;

    job.folder[0] = 0;
    wcscpy(job.dir, L"D:\\Out");
    job.warning[0] = 0;
    pipe_shot_format(&job, out, sizeof out);
    std::string s = out;
    EXPECT_EQ(s.substr(s.size() - 12), "\tdir=D:\\Out\n");
    EXPECT_EQ(s.find("\twarning="), std::string::npos);
    EXPECT_EQ(s.find("\tfolder="), std::string::npos);

    // A path of 259 three-byte characters is reported whole.
    for (int i = 0; i < 259; i++) job.path[i] = L'\u6f22';
    job.path[259] = 0;
    size_t n = pipe_shot_format(&job, out, sizeof out);
    EXPECT_EQ(out[n - 1], '\n');
    EXPECT_EQ(strchr(out, '\n'), out + n - 1);
    EXPECT_NE(strstr(out, "\twidth=1920\t"), nullptr);
    EXPECT_EQ(strstr(out, "\twidth=") - (out + 8), 259 * 3);
}

// ---------------------------------------------------------------- handlers

namespace {

// Runs a handler against one end of an anonymous pipe and returns what it wrote.
std::string call(void (*handler)(HANDLE, const char*), const char* args) {
    HANDLE rd = nullptr, wr = nullptr;
    if (!CreatePipe(&rd, &wr, nullptr, 65536)) return "(no pipe)";
    handler(wr, args);
    CloseHandle(wr);
    std::string out = test_read_until_eof(rd);
    CloseHandle(rd);
    return out;
}

enum capture_mode { ANSWER_OK, ANSWER_FAIL, ANSWER_NEVER };

// A stand-in for the capture thread: records each request and answers it as told.
struct fake_capture {
    HANDLE thread = nullptr;
    DWORD id = 0;
    HANDLE ready = nullptr;
    volatile LONG mode = ANSWER_OK;
    shot_job seen{};           // request part of the last job
    shot_job* held = nullptr;  // a job left unanswered
    volatile LONG jobs = 0;

    static DWORD WINAPI main(void* arg) {
        fake_capture* f = (fake_capture*)arg;
        MSG msg;
        PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
        SetEvent(f->ready);
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
            if (msg.message == WM_APP + 99) {
                // Late answer of the held job, after its handler gave up.
                if (f->held) {
                    f->held->ok = 1;
                    SetEvent(f->held->done);
                    shot_job_release(f->held);
                    f->held = nullptr;
                }
                continue;
            }
            if (msg.message != WM_CAPTURE_SHOT) continue;
            shot_job* job = (shot_job*)msg.lParam;
            f->seen = *job;
            InterlockedIncrement(&f->jobs);
            switch (f->mode) {
            case ANSWER_OK:
                wcscpy(job->path, L"C:\\shots\\a.png");
                job->width = 640;
                job->height = 480;
                job->bytes = 999;
                job->ms = 12;
                wcscpy(job->target, L"monitor 0");
                job->ok = 1;
                SetEvent(job->done);
                shot_job_release(job);
                break;
            case ANSWER_FAIL: shot_job_fail(job, "no_coverage", "the rectangle is off every monitor"); break;
            default: f->held = job; break;
            }
        }
        return 0;
    }

    void start() {
        ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        thread = CreateThread(nullptr, 0, main, this, 0, &id);
        WaitForSingleObject(ready, 5000);
        g_agent.capture_thread_id = id;
    }
    void stop() {
        g_agent.capture_thread_id = 0;
        PostThreadMessageW(id, WM_QUIT, 0, 0);
        WaitForSingleObject(thread, 5000);
        CloseHandle(thread);
        CloseHandle(ready);
    }
};

class PipeHandlers : public ::testing::Test {
protected:
    fake_capture cap;
    void SetUp() override { cap.start(); }
    void TearDown() override { cap.stop(); }
};

}  // namespace

TEST(PipeHandlersNoCapture, RefusalsBeforeAndAtHandOff) {
    std::wstring file = g_tmp + L"\\plain-file";
    HANDLE h = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    CloseHandle(h);
    std::string file8 = test_utf8(file);
    std::string long_out(300, 'a');
    std::string long_folder(64, 'f');
    struct {
        std::string args;
        const char* want;
    } cases[] = {
        {"target=rect\trect=10,10,0", "err\tcode=usage\tmsg=rect expects x,y,w,h\n"},
        {"target=rect", "err\tcode=usage\tmsg=rect expects x,y,w,h\n"},
        {"target=window", "err\tcode=usage\tmsg=hwnd required\n"},
        {"target=window\thwnd=abc", "err\tcode=usage\tmsg=hwnd required\n"},
        {"target=window\thwnd=0", "err\tcode=usage\tmsg=hwnd required\n"},
        {"dir=shots\\today", "err\tcode=bad_dir\tmsg=dir must be an absolute path\n"},
        {"dir=C:shots", "err\tcode=bad_dir\tmsg=dir must be an absolute path\n"},
        {"dir=C:\\x\tfolder=red", "err\tcode=usage\tmsg=dir and folder are mutually exclusive\n"},
        {"folder=a\\b", "err\tcode=bad_folder\tmsg=invalid folder name\n"},
        {"folder=..", "err\tcode=bad_folder\tmsg=invalid folder name\n"},
        {"folder=" + long_folder, "err\tcode=bad_folder\tmsg=invalid folder name\n"},
        {"folder=\xff\xfe", "err\tcode=bad_folder\tmsg=invalid folder name\n"},
        {"folder=a/b\tdir=C:\\x", "err\tcode=bad_folder\tmsg=invalid folder name\n"},
        {"out=C:\\" + long_out, "err\tcode=usage\tmsg=out path is too long\n"},
        {"dir=" + file8, "err\tcode=bad_dir\tmsg=cannot create dir (err=267)\n"},
        // Valid requests that find no capture thread.
        {"", "err\tcode=internal\tmsg=capture thread gone\n"},
        {"target=pick\tfolder=red", "err\tcode=internal\tmsg=capture thread gone\n"},
    };
    ASSERT_EQ(g_agent.capture_thread_id, 0u);
    for (auto& c : cases) EXPECT_EQ(call(pipe_cmd_shot, c.args.c_str()), c.want) << c.args;
}

TEST_F(PipeHandlers, RequestFieldsReachTheCaptureThread) {
    struct {
        std::string args;
        int kind, monitor, format, quality, silent, timeout, occluded;
        long l, t, r, b;
        uint64_t hwnd;
    } cases[] = {
        {"", SHOT_MONITOR, -1, -1, 0, 0, 10000, 0, 0, 0, 0, 0, 0},
        {"target=monitor\tmonitor=1\tformat=jpg\tquality=85\tsilent=1", SHOT_MONITOR, 1, 1, 85, 1, 10000, 0},
        {"monitor=2x\tformat=JPG\ttimeout_ms=-4", SHOT_MONITOR, 2, 0, 0, 0, 10000, 0},
        {"target=rect\trect=10,20,300,200\ttimeout_ms=2500", SHOT_RECT, -1, -1, 0, 0, 2500, 0, 10, 20, 310, 220},
        {"target=window\thwnd=131072\toccluded=1", SHOT_WINDOW, -1, -1, 0, 0, 10000, 1, 0, 0, 0, 0, 131072},
        {"target=window\thwnd=131072\toccluded=", SHOT_WINDOW, -1, -1, 0, 0, 10000, 0, 0, 0, 0, 0, 131072},
        {"target=pick", SHOT_PICK, -1, -1, 0, 0, 60000, 0},
        {"target=pick\ttimeout_ms=5000", SHOT_PICK, -1, -1, 0, 0, 5000, 0},
        {"target=other\tquality=-3", SHOT_MONITOR, -1, -1, -3, 0, 10000, 0},
    };
    for (auto& c : cases) {
        EXPECT_EQ(call(pipe_cmd_shot, c.args.c_str()),
                  "ok\tpath=C:\\shots\\a.png\twidth=640\theight=480\tbytes=999\tms=12\ttarget=monitor 0\n")
            << c.args;
        const shot_job& j = cap.seen;
        EXPECT_EQ(j.kind, c.kind) << c.args;
        EXPECT_EQ(j.monitor, c.monitor) << c.args;
        EXPECT_EQ(j.format, c.format) << c.args;
        EXPECT_EQ(j.quality, c.quality) << c.args;
        EXPECT_EQ(j.silent, c.silent) << c.args;
        EXPECT_EQ(j.timeout_ms, c.timeout) << c.args;
        EXPECT_EQ(j.occluded, c.occluded) << c.args;
        EXPECT_EQ((uint64_t)(uintptr_t)j.hwnd, c.hwnd) << c.args;
        if (c.kind == SHOT_RECT) {
            EXPECT_EQ(j.left, c.l);
            EXPECT_EQ(j.top, c.t);
            EXPECT_EQ(j.right, c.r);
            EXPECT_EQ(j.bottom, c.b);
        }
        EXPECT_NE(j.start, 0) << c.args;
    }
}

TEST_F(PipeHandlers, DestinationFields) {
    std::wstring dir = g_tmp + L"\\made\\by\\shot";
    std::string args = "dir=" + test_utf8(dir) + "\tout=C:\\caf\xc3\xa9.png";
    call(pipe_cmd_shot, args.c_str());
    DWORD attr = GetFileAttributesW(dir.c_str());
    EXPECT_TRUE(attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY)) << "missing parents are made";
    EXPECT_EQ(std::wstring(cap.seen.dir), dir);
    EXPECT_EQ(std::wstring(cap.seen.path), L"C:\\caf\u00e9.png");
    EXPECT_EQ(cap.seen.folder[0], 0);

    // An existing folder is accepted as it is.
    EXPECT_EQ(call(pipe_cmd_shot, args.c_str()).substr(0, 3), "ok\t");
    EXPECT_EQ(call(pipe_cmd_shot, "folder=red team").substr(0, 3), "ok\t");
    EXPECT_EQ(std::wstring(cap.seen.folder), L"red team");
    EXPECT_EQ(cap.seen.dir[0], 0);
}

TEST_F(PipeHandlers, FailureIsPassedThrough) {
    cap.mode = ANSWER_FAIL;
    EXPECT_EQ(call(pipe_cmd_shot, "target=rect\trect=-9000,-9000,5,5"),
              "err\tcode=no_coverage\tmsg=the rectangle is off every monitor\n");
}

TEST_F(PipeHandlers, TimeoutAnswersAndTheLateAnswerFreesTheJob) {
    cap.mode = ANSWER_NEVER;
    ULONGLONG t0 = GetTickCount64();
    EXPECT_EQ(call(pipe_cmd_shot, "timeout_ms=150"), "err\tcode=timeout\tmsg=capture timed out\n");
    ULONGLONG took = GetTickCount64() - t0;
    EXPECT_GE(took, 140u);
    EXPECT_LT(took, 3000u);
    ASSERT_EQ(cap.jobs, 1);
    // The capture side still holds its reference; answering now drops the last one.
    EXPECT_EQ(cap.held->refs, 1);
    PostThreadMessageW(cap.id, WM_APP + 99, 0, 0);
    for (int i = 0; i < 200 && cap.held; i++) Sleep(10);
    EXPECT_EQ(cap.held, nullptr);
}

TEST(PipeHandlersState, StatusInputStorageScreens) {
    config cfg;
    config_defaults(&cfg);
    for (auto& hk : cfg.hotkeys) hk = {0, 0};
    cfg.hotkeys[HOTKEY_REGION - 1] = {2 | 4 | 0x4000, 'C'};
    cfg.hotkeys[HOTKEY_CLIP - 1] = {1, 0x78};  // Alt+F9, refused below
    agent_config_set(&cfg);
    AcquireSRWLockExclusive(&g_agent.hotkey_lock);
    for (int i = 0; i < HOTKEY_COUNT; i++) {
        g_agent.hotkey_registered[i] = 1;
        g_agent.hotkey_error[i] = 0;
    }
    g_agent.hotkey_registered[HOTKEY_CLIP - 1] = 0;
    g_agent.hotkey_error[HOTKEY_CLIP - 1] = 1409;
    ReleaseSRWLockExclusive(&g_agent.hotkey_lock);
    g_agent.stills = worker_pool_create("ivra-stills", 2, 64, THREAD_PRIORITY_NORMAL);
    g_agent.mem_total = 1ULL << 34;

    std::string status = call(pipe_cmd_status, "");
    std::regex status_re(
        "ok\tversion=0\\.2\\.12\tpid=(\\d+)\toutputs=-?\\d+\tstills_dir=[^\t]*\tclips_dir=[^\t]*\tuptime_s=\\d+"
        "\tcaptures=\\d+\thangs=0"
        "\thk_screen=None:off\thk_window=None:off\thk_region=Ctrl\\+Shift\\+C:ok\thk_clip=Alt\\+F9:failed\\(1409\\)"
        "\thk_clip_app=None:off\thk_clip_screen=None:off\thk_replay=None:off\thk_clip_pause=None:off"
        "\thk_clip_redo=None:off"
        "\tpool_stills=2,0,0,0,0,0\\.0\tpool_clips=0,0,0,0,0,0\\.0\tpool_io=0,0,0,0,0,0\\.0\tpool_pipe=0,0,0,0,0,0\\.0"
        "\tmem_stills=0,0,0\tmem_clips=0,0,0\tmem_total=17179869184\tmem_percent=\\d+\n");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(status, m, status_re)) << status;
    EXPECT_EQ(std::stoul(m[1]), GetCurrentProcessId());

    std::string input = call(pipe_cmd_input, "");
    EXPECT_NE(input.find("\tmouse_error=0\tregistered_screen=0\tregistered_window=0\tregistered_region=1"
                         "\tregistered_clip=0\tregistered_clip_app=0"),
              std::string::npos)
        << input;
    EXPECT_NE(input.find("\tlast_route=none\t"), std::string::npos) << input;

    storage_totals t{};
    wcscpy(t.drive, L"Z:\\");
    t.stills_count = 4;
    storage_totals_set(&t);
    for (const char* args : {"", "refresh=1"}) {
        std::string storage = call(pipe_cmd_storage, args);
        EXPECT_EQ(storage.rfind("ok\tdrive=Z:\\\ttotal=0\tfree=0\tstills=0\tstills_n=4\t", 0), 0u) << storage;
        EXPECT_NE(storage.find("\tage_s=-1\t"), std::string::npos) << storage;
        EXPECT_EQ(storage.find("stale"), std::string::npos) << storage;
        EXPECT_EQ(storage.back(), '\n');
    }

    std::string screens = call(pipe_cmd_screens, "");
    EXPECT_EQ(screens.rfind("ok\t", 0), 0u);
    EXPECT_EQ(screens.find('\n'), screens.size() - 1);

    worker_pool_destroy(g_agent.stills, 3000);
    g_agent.stills = nullptr;
}
