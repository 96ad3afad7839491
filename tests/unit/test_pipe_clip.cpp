// The "clip" pipe command: its field rules and refusals, every reply line, and the
// hand-off to the capture thread as a pipe client sees it, with a stand-in capture
// thread that answers the way the clip sessions do.
#include "agent/pipe/pipe_clip.h"
#include "agent/pipe/pipe_server.h"
#include "agent/core/agent.h"
#include "agent/core/messages.h"
#include "agent/core/worker_pool.h"
#include "tests/unit/test_support.h"
#include <gtest/gtest.h>
#include <cstring>
#include <string>

namespace {

std::wstring g_appdata = [] {
    std::wstring dir = test_temp_dir(L"ivra-pipe-clip-");
    SetEnvironmentVariableW(L"APPDATA", dir.c_str());
    return dir;
}();

struct cleanup_env : ::testing::Environment {
    void TearDown() override { test_remove_tree(g_appdata); }
};
::testing::Environment* const g_cleanup = ::testing::AddGlobalTestEnvironment(new cleanup_env);

const char* const BAD_OP = "op must be start|stop|pause|resume|toggle|redo|cancel|status";

// A request as clip_request_create leaves it, without events: the parse needs none.
struct fresh_request {
    clip_request req{};
    fresh_request() {
        req.monitor = -1;
        req.system = -1;
        req.mic = -1;
        req.toggle_value = -1;
    }
};

// ---------------------------------------------------------------- fields

TEST(PipeClipParse, OpDecidesTheKind) {
    const struct {
        const char* args;
        int kind;
        int op;
    } rows[] = {
        {"", PIPE_CLIP_STATUS, 0},
        {"op=", PIPE_CLIP_STATUS, 0},
        {"op=status", PIPE_CLIP_STATUS, 0},
        {"seconds=3", PIPE_CLIP_STATUS, 0},
        {"op=ui", PIPE_CLIP_UI, 0},
        {"op=start", PIPE_CLIP_RUN, CLIP_OP_START},
        {"op=stop", PIPE_CLIP_RUN, CLIP_OP_STOP},
        {"op=pause", PIPE_CLIP_RUN, CLIP_OP_PAUSE},
        {"op=resume", PIPE_CLIP_RUN, CLIP_OP_RESUME},
        {"op=toggle", PIPE_CLIP_RUN, CLIP_OP_TOGGLE},
        {"op=redo", PIPE_CLIP_RUN, CLIP_OP_REDO},
        {"op=cancel", PIPE_CLIP_RUN, CLIP_OP_CANCEL},
        {"op=mic", PIPE_CLIP_RUN, CLIP_OP_AUDIO},
        {"op=system", PIPE_CLIP_RUN, CLIP_OP_AUDIO},
        {"op=replay_save", PIPE_CLIP_RUN, CLIP_OP_REPLAY_SAVE},
        {"target=pick\top=start\top=stop", PIPE_CLIP_RUN, CLIP_OP_START},  // the first field wins
        {"op=frobnicate", PIPE_CLIP_BAD_OP, 0},
        {"op=Start", PIPE_CLIP_BAD_OP, 0},
        {"op=start ", PIPE_CLIP_BAD_OP, 0},
        {"op=startstartstartstartstartstartstartsta", PIPE_CLIP_BAD_OP, 0},  // 40 characters
    };
    for (const auto& r : rows) {
        int op = 0;
        EXPECT_EQ(pipe_clip_kind_of(r.args, &op), r.kind) << r.args;
        if (r.kind == PIPE_CLIP_RUN) {
            EXPECT_EQ(op, r.op) << r.args;
        }
    }
}

TEST(PipeClipParse, RefusalsWithTheirCodesAndMessages) {
    std::string long_out = "op=start\tout=C:\\" + std::string(300, 'a') + ".mp4";
    std::string long_dir = "op=start\tdir=C:\\" + std::string(300, 'd');
    const struct {
        std::string args;
        const char* code;
        const char* msg;
    } rows[] = {
        {"op=frobnicate", "usage", BAD_OP},
        {"op=" + std::string(40, 'x'), "usage", BAD_OP},
        {"op=start\tseconds=0", "usage", "seconds must be 1-30"},
        {"op=start\tseconds=31", "usage", "seconds must be 1-30"},
        {"op=start\tseconds=45", "usage", "seconds must be 1-30"},
        {"op=start\tseconds=abc", "usage", "seconds must be 1-30"},
        {"op=start\tseconds=-5", "usage", "seconds must be 1-30"},
        {"op=replay_save\tseconds=99999999999", "usage", "seconds must be 1-30"},
        {"op=start\ttarget=window\thwnd=0", "usage", "hwnd required"},
        {"op=start\ttarget=window", "usage", "hwnd required"},
        {"op=start\ttarget=window\thwnd=abc", "usage", "hwnd required"},
        {"op=stop\ttarget=window\thwnd=0", "usage", "hwnd required"},  // read for every operation
        {"op=start\ttarget=rect\trect=10,10,0", "usage", "rect expects x,y,w,h"},
        {"op=start\ttarget=rect", "usage", "rect expects x,y,w,h"},
        {"op=start\ttarget=rect\trect=a,b,c,d", "usage", "rect expects x,y,w,h"},
        {"op=start\tfolder=a/b", "bad_folder", "invalid folder name"},
        {"op=start\tfolder=..", "bad_folder", "invalid folder name"},
        {"op=start\tfolder=" + std::string(64, 'f'), "bad_folder", "invalid folder name"},
        {"op=start\tdir=clips\\today", "bad_dir", "dir must be an absolute path"},
        {"op=start\tdir=C:clips", "bad_dir", "dir must be an absolute path"},
        {"op=start\tdir=\\clips", "bad_dir", "dir must be an absolute path"},
        {"op=start\tdir=C:\\\xff\xfe", "bad_dir", "dir must be an absolute path"},
        {long_dir, "bad_dir", "dir is too long"},
        {long_out, "usage", "out path is too long"},
        {"op=start\tout=C:\\\xc3.mp4", "usage", "out path is not valid UTF-8"},
    };
    for (const auto& r : rows) {
        fresh_request f;
        pipe_clip_refusal e{};
        EXPECT_FALSE(pipe_clip_parse(r.args.c_str(), &f.req, &e)) << r.args;
        EXPECT_STREQ(e.code, r.code) << r.args;
        EXPECT_STREQ(e.msg, r.msg) << r.args;
    }
}

// The request part as "op=N" followed by every field that differs from a fresh request.
std::string described(const clip_request& q) {
    const clip_request fresh = fresh_request().req;
    char buf[1024];
    std::string d = "op=" + std::to_string(q.op);
    auto add = [&](bool differs, const char* fmt, auto... v) {
        if (!differs) return;
        snprintf(buf, sizeof buf, fmt, v...);
        d += std::string(" ") + buf;
    };
    add(q.target != fresh.target, "target=%d", q.target);
    add(q.monitor != fresh.monitor, "monitor=%d", q.monitor);
    add(q.window != nullptr, "hwnd=%llu", (unsigned long long)(uintptr_t)q.window);
    add(memcmp(q.region, fresh.region, sizeof q.region) != 0, "region=%ld,%ld,%ld,%ld", (long)q.region[0],
        (long)q.region[1], (long)q.region[2], (long)q.region[3]);
    add(q.seconds != 0, "seconds=%d", q.seconds);
    add(q.wait, "wait");
    add(q.silent, "silent");
    add(q.no_bar, "no_bar");
    add(q.no_audio, "no_audio");
    add(q.system != fresh.system, "system=%d", q.system);
    add(q.mic != fresh.mic, "mic=%d", q.mic);
    add(q.toggle_mic, "toggle_mic");
    add(q.toggle_value != fresh.toggle_value, "on=%d", q.toggle_value);
    add(q.out[0] != 0, "out=%s", test_utf8(q.out).c_str());
    add(q.folder[0] != 0, "folder=%s", test_utf8(q.folder).c_str());
    add(q.dir[0] != 0, "dir=%s", test_utf8(q.dir).c_str());
    return d;
}

TEST(PipeClipParse, AcceptedFieldsFillTheRequest) {
    const struct {
        const char *args, *want;
    } rows[] = {
        {"op=start", "op=1"},
        {"op=start\tmonitor=2\tseconds=5\twait=1\tsilent=1", "op=1 monitor=2 seconds=5 wait silent"},
        {"op=start\ttarget=monitor\tmonitor=x", "op=1 monitor=0"},
        {"op=start\ttarget=window\thwnd=133742\tseconds=30", "op=1 target=1 hwnd=133742 seconds=30"},
        {"op=start\ttarget=rect\trect=-100,20,640,360\tseconds=1\tbar=0\taudio=0",
         "op=1 target=2 region=-100,20,540,380 seconds=1 no_bar no_audio"},
        {"op=start\ttarget=pick\tbar=1\taudio=no\tsystem=0\tmic=7", "op=1 target=3 system=0 mic=1"},
        {"op=start\tsystem=abc\tmic=0", "op=1 system=0 mic=0"},
        {"op=mic\ton=1", "op=8 toggle_mic on=1"},
        {"op=system\ton=0", "op=8 on=0"},
        {"op=system\ton=yes", "op=8"},
        {"op=mic", "op=8 toggle_mic"},
        {"op=pause\ton=1", "op=3"},
        {"op=replay_save\tseconds=10\tout=C:\\r\\\xc3\xa9t\xc3\xa9.mp4\twait=1",
         "op=9 seconds=10 wait out=C:\\r\\\xc3\xa9t\xc3\xa9.mp4"},
        {"op=start\tfolder=bugs\tdir=\\\\srv\\clips", "op=1 folder=bugs dir=\\\\srv\\clips"},
        {"op=start\tseconds=7x", "op=1 seconds=7"},
    };
    for (const auto& r : rows) {
        fresh_request f;
        pipe_clip_refusal e{};
        ASSERT_TRUE(pipe_clip_parse(r.args, &f.req, &e)) << r.args << " -> " << e.msg;
        EXPECT_EQ(described(f.req), r.want) << r.args;
    }
}

TEST(PipeClipParse, WaitsAndTimeOutsByOperation) {
    const struct {
        const char* args;
        bool waits_final;
        unsigned long reply_ms, final_ms;
    } rows[] = {
        {"op=start\twait=1", true, 15000, 120000},
        {"op=start\twait=1\tseconds=5", true, 15000, 95000},
        {"op=start\ttarget=pick\twait=1\tseconds=30", true, 125000, 120000},
        {"op=stop\ttarget=pick", false, 15000, 120000},
        {"op=stop\twait=1", true, 15000, 120000},
        {"op=cancel\twait=1", true, 15000, 120000},
        {"op=replay_save\twait=1\tseconds=12", true, 15000, 102000},
        {"op=pause\twait=1", false, 15000, 120000},
        {"op=redo\twait=1", false, 15000, 120000},
        {"op=mic\twait=1", false, 15000, 120000},
        {"op=start", false, 15000, 120000},
    };
    for (const auto& r : rows) {
        fresh_request f;
        pipe_clip_refusal e{};
        ASSERT_TRUE(pipe_clip_parse(r.args, &f.req, &e)) << r.args;
        EXPECT_EQ(pipe_clip_waits_final(&f.req), r.waits_final) << r.args;
        EXPECT_EQ(pipe_clip_reply_ms(&f.req), r.reply_ms) << r.args;
        EXPECT_EQ(pipe_clip_final_ms(&f.req), r.final_ms) << r.args;
    }
}

// ---------------------------------------------------------------- replies

clip_request answered() {
    fresh_request f;
    clip_request q = f.req;
    q.op = CLIP_OP_START;
    q.ok = true;
    q.session = 12;
    q.width = 1280;
    q.height = 720;
    q.fps = 60;
    strcpy(q.encoder, "libopenh264 (software)");
    wcscpy(q.path, L"C:\\clips\\ivra_\x00e9.mp4");
    wcscpy(q.target_text, L"monitor\t1");
    q.saved = true;
    q.bytes = 123456;
    q.result_seconds = 5.0;
    q.frames = 150;
    q.repeated = 3;
    q.dropped = 0;
    return q;
}

TEST(PipeClipReplies, OperationReplies) {
    clip_request q = answered();
    char out[PIPE_CLIP_CAP];
    pipe_clip_start_format(&q, "recording", out, sizeof out);
    EXPECT_STREQ(out,
                 "ok\tsession=12\tstate=recording\tpath=C:\\clips\\ivra_\xc3\xa9.mp4\twidth=1280\theight=720\tfps=60"
                 "\tencoder=libopenh264 (software)\ttarget=monitor 1\n");
    pipe_clip_other_format(&q, "paused", out, sizeof out);
    EXPECT_STREQ(out, "ok\tsession=12\tstate=paused\tpath=C:\\clips\\ivra_\xc3\xa9.mp4\n");

    const struct {
        bool saved, discarded, no_audio;
        const char* error;
        const char* want;
    } finals[] = {
        {true, false, false, "",
         "ok\tsession=12\tsaved=1\tdiscarded=0\tpath=C:\\clips\\ivra_\xc3\xa9.mp4\tbytes=123456\tseconds=5.000\tframes=150"
         "\twidth=1280\theight=720\tfps=60\tencoder=libopenh264 (software)\trepeated=3\tdropped=0\taudio=1\terr=\n"},
        {false, true, true, "",
         "ok\tsession=12\tsaved=0\tdiscarded=1\tpath=\tbytes=123456\tseconds=5.000\tframes=150"
         "\twidth=1280\theight=720\tfps=60\tencoder=libopenh264 (software)\trepeated=3\tdropped=0\taudio=0\terr=\n"},
        {false, false, false, "rename failed (access\tdenied)",
         "ok\tsession=12\tsaved=0\tdiscarded=0\tpath=\tbytes=123456\tseconds=5.000\tframes=150"
         "\twidth=1280\theight=720\tfps=60\tencoder=libopenh264 (software)\trepeated=3\tdropped=0\taudio=1"
         "\terr=rename failed (access denied)\n"},
    };
    for (const auto& f : finals) {
        q.saved = f.saved;
        q.discarded = f.discarded;
        q.result_no_audio = f.no_audio;
        strcpy(q.error, f.error);
        pipe_clip_final_format(&q, out, sizeof out);
        EXPECT_STREQ(out, f.want);
    }

    const struct {
        const char *code, *message, *want;
    } refusals[] = {
        {"busy", "a clip is already recording", "err\tcode=busy\tmsg=a clip is already recording\n"},
        {"", "", "err\tcode=failed\tmsg=\n"},
        {"idle", "no clip\nis recording", "err\tcode=idle\tmsg=no clip is recording\n"},
    };
    for (const auto& r : refusals) {
        q.ok = false;
        strcpy(q.code, r.code);
        strcpy(q.message, r.message);
        pipe_clip_refused_format(&q, out, sizeof out);
        EXPECT_STREQ(out, r.want);
    }
}

TEST(PipeClipReplies, StatusAndUi) {
    static clip_status s{};
    char out[PIPE_CLIP_CAP];
    pipe_clip_status_format(&s, 0, out, sizeof out);
    EXPECT_STREQ(out,
                 "ok\tstate=idle\tsession=0\tpath=\ttarget=\telapsed=0.00\tlimit=0\tfps=0\twidth=0\theight=0\tencoder="
                 "\tframes=0\trepeated=0\tdropped=0\tlate=0\tqueue=0\tqueue_high=0\tencode_ms=0.00\tbytes=0"
                 "\tfinalizing=0\tsaved_total=0\tlast=none\tlast_path=\tlast_seconds=0.00\tlast_bytes=0\tlast_err="
                 "\taudio=0\tsystem=0\tsystem_ok=0\tsystem_level=0.00\tmic=0\tmic_ok=0\tmic_level=0.00"
                 "\taudio_underruns=0\treplay=0\treplay_width=0\treplay_height=0\treplay_fps=0\treplay_buffered=0.0"
                 "\treplay_saves=0\treplay_err=\n");

    s.state = CLIP_PAUSED;
    s.session = 4;
    wcscpy(s.path, L"C:\\v\\a.mp4");
    wcscpy(s.target, L"rect 0,0 640x360");
    s.take_frames = 75;
    s.fps = 30;
    s.limit = 10;
    s.width = 640;
    s.height = 360;
    s.enc.repeated = 70;
    s.enc.dropped = 1;
    s.late = 2;
    s.enc.queue = 3;
    s.enc.queue_high = 9;
    s.enc.encode_ms = 1.234;
    s.enc.bytes = 5000;
    strcpy(s.enc.name, "h264_mf (software)");
    s.saved_total = 6;
    s.last_valid = 1;
    s.last_discarded = 1;
    s.audio = 1;
    s.system_on = 1;
    s.system_ok = 1;
    s.system_level = 0.5;
    s.replay_active = 1;
    s.replay_width = 1920;
    s.replay_height = 1080;
    s.replay_fps = 60;
    s.replay_buffered = 29.96;
    s.replay_saves = 2;
    strcpy(s.replay_error, "encoder\tfailed");
    pipe_clip_status_format(&s, 2, out, sizeof out);
    EXPECT_STREQ(
        out, "ok\tstate=paused\tsession=4\tpath=C:\\v\\a.mp4\ttarget=rect 0,0 640x360\telapsed=2.50\tlimit=10\tfps=30"
             "\twidth=640\theight=360\tencoder=h264_mf (software)\tframes=75\trepeated=70\tdropped=1\tlate=2"
             "\tqueue=3\tqueue_high=9\tencode_ms=1.23\tbytes=5000\tfinalizing=2\tsaved_total=6\tlast=discarded"
             "\tlast_path=\tlast_seconds=0.00\tlast_bytes=0\tlast_err=\taudio=1\tsystem=1\tsystem_ok=1"
             "\tsystem_level=0.50\tmic=0\tmic_ok=0\tmic_level=0.00\taudio_underruns=0\treplay=1\treplay_width=1920"
             "\treplay_height=1080\treplay_fps=60\treplay_buffered=30.0\treplay_saves=2\treplay_err=encoder failed\n");

    // The longest paths and texts still give one whole line within the buffer.
    for (auto* w : {s.path, s.last_path}) {
        for (int i = 0; i < ENCODER_PATH_MAX - 1; i++) w[i] = 0x4e2d;
        w[ENCODER_PATH_MAX - 1] = 0;
    }
    for (int i = 0; i < CLIP_TARGET_TEXT_MAX - 1; i++) s.target[i] = 0x4e2d;
    memset(s.last_error, 'e', CLIP_MESSAGE_MAX - 1);
    size_t n = pipe_clip_status_format(&s, 2, out, sizeof out);
    EXPECT_EQ(n, strlen(out));
    EXPECT_LT(n, sizeof out - 1) << "not cut";
    EXPECT_EQ(out[n - 1], '\n');
    EXPECT_EQ(std::string(out).find('\n'), n - 1);
    EXPECT_NE(std::string(out).find("\treplay_err=encoder failed\n"), std::string::npos);

    pipe_clip_bar bar{};
    char ui[PIPE_CLIP_UI_CAP];
    pipe_clip_ui_format(&bar, ui, sizeof ui);
    EXPECT_STREQ(ui, "ok\tvisible=0\tsession=0\tbar=0,0,0,0\tbar_inside=0\tframe=0,0,0,0\tframe_inside=0"
                     "\texcluded_from_capture=0\n");
    bar = pipe_clip_bar{1, 9, {10, -20, 300, 40}, 1, {-1, -1, 1922, 1082}, 0, 1};
    pipe_clip_ui_format(&bar, ui, sizeof ui);
    EXPECT_STREQ(ui, "ok\tvisible=1\tsession=9\tbar=10,-20,300,40\tbar_inside=1\tframe=-1,-1,1922,1082\tframe_inside=0"
                     "\texcluded_from_capture=1\n");
    // A line cut to a short buffer still ends in its line feed.
    char tiny[16];
    EXPECT_EQ(pipe_clip_ui_format(&bar, tiny, sizeof tiny), 15u);
    EXPECT_STREQ(tiny, "ok\tvisible=1\ts\n");
}

// ---------------------------------------------------------------- through the pipe

HANDLE client_open(DWORD ms = 5000) {
    ULONGLONG end = GetTickCount64() + ms;
    for (;;) {
        HANDLE h = CreateFileW(PIPE_NAME, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h != INVALID_HANDLE_VALUE) return h;
        DWORD e = GetLastError();
        if (GetTickCount64() >= end) return INVALID_HANDLE_VALUE;
        if (e == ERROR_PIPE_BUSY)
            WaitNamedPipeW(PIPE_NAME, 200);
        else
            Sleep(20);
    }
}

std::string exchange(const std::string& req) {
    HANDLE h = client_open();
    if (h == INVALID_HANDLE_VALUE) return "<no pipe>";
    DWORD n = 0;
    WriteFile(h, req.data(), (DWORD)req.size(), &n, nullptr);
    std::string reply = test_read_until_eof(h);
    CloseHandle(h);
    return reply;
}

// How the stand-in capture thread answers the next requests.
enum stand_in_mode { ANSWER_OK, ANSWER_BUSY };

struct stand_in {
    HANDLE thread = nullptr;
    DWORD id = 0;
    HANDLE ready = nullptr;
    volatile LONG mode = ANSWER_OK;
    volatile LONG display_tests = 0;
    volatile LONG requests = 0;
    clip_request last{};  // a copy of the last request's request part
};
stand_in g_capture;

// Answers clip requests as the sessions do: the reply slots, then for a waiting
// requester of a finished take the final slots, then its own reference dropped.
DWORD WINAPI stand_in_main(void*) {
    MSG m;
    PeekMessageW(&m, nullptr, WM_USER, WM_USER, PM_NOREMOVE);  // the queue exists before anyone posts
    SetEvent(g_capture.ready);
    while (GetMessageW(&m, nullptr, 0, 0) > 0) {
        if (m.message == WM_CAPTURE_DISPLAY_TEST) InterlockedIncrement(&g_capture.display_tests);
        if (m.message != WM_CAPTURE_CLIP) continue;
        clip_request* req = (clip_request*)m.lParam;
        g_capture.last = *req;
        InterlockedIncrement(&g_capture.requests);
        if (g_capture.mode == ANSWER_BUSY) {
            clip_request_reply(req, false, "busy", "a clip is already recording");
        } else {
            req->session = 5;
            req->width = 800;
            req->height = 600;
            req->fps = 30;
            strcpy(req->encoder, "libopenh264 (software)");
            wcscpy(req->path, L"C:\\clips\\take.mp4");
            wcscpy(req->target_text, L"window");
            bool waiter = req->wait && req->op != CLIP_OP_PAUSE;
            if (waiter) clip_request_add_ref(req);
            clip_request_reply(req, true, "", "");
            if (waiter) {
                req->saved = true;
                req->bytes = 4096;
                req->result_seconds = 1.5;
                req->frames = 45;
                req->result_no_audio = true;
                SetEvent(req->final_event);
                clip_request_release(req);
            }
        }
        clip_request_release(req);
    }
    return 0;
}

class PipeClip : public ::testing::Test {
protected:
    static worker_pool* pool;

    static void SetUpTestSuite() {
        g_capture.ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        g_capture.thread = CreateThread(nullptr, 0, stand_in_main, nullptr, 0, &g_capture.id);
        ASSERT_NE(g_capture.thread, nullptr);
        ASSERT_EQ(WaitForSingleObject(g_capture.ready, 5000), WAIT_OBJECT_0);
        pool = worker_pool_create("ivra-pipe", 8, 64, THREAD_PRIORITY_NORMAL);
        ASSERT_NE(pool, nullptr);
        g_agent.pipe = pool;
        InterlockedExchange(&g_agent.quitting, 0);
        ASSERT_TRUE(pipe_listener_start());
        ASSERT_TRUE(test_wait_until([] { return exchange("ping\n") == "ok\n"; }, 5000));
    }
    static void TearDownTestSuite() {
        InterlockedExchange(&g_agent.quitting, 1);
        pipe_listener_wake();
        EXPECT_TRUE(pipe_listener_wait(3000));
        EXPECT_TRUE(worker_pool_destroy(pool, 3000));
        g_agent.pipe = nullptr;
        g_agent.capture_thread_id = 0;
        PostThreadMessageW(g_capture.id, WM_QUIT, 0, 0);
        EXPECT_EQ(WaitForSingleObject(g_capture.thread, 5000), WAIT_OBJECT_0);
        CloseHandle(g_capture.thread);
        CloseHandle(g_capture.ready);
    }
    void SetUp() override {
        g_agent.capture_thread_id = g_capture.id;
        g_capture.mode = ANSWER_OK;
        SetEnvironmentVariableW(L"IVRA_DEBUG_HOOKS", nullptr);
    }
};
worker_pool* PipeClip::pool;

TEST_F(PipeClip, RepliesAsAClientSeesThem) {
    clip_shared_status_publish_replay(1, 1920, 1080, 60, 4.04, 1, "");
    const struct {
        std::string req;
        int mode;
        std::string reply;  // exact, or the start of it when prefix is set
        bool prefix;
        LONG handed_over;  // requests the capture thread received
    } rows[] = {
        {"clip\n", ANSWER_OK, "ok\tstate=idle\tsession=0\t", true, 0},
        {"clip\top=status\n", ANSWER_OK, "ok\tstate=idle\tsession=0\t", true, 0},
        {"clip\top=ui\n", ANSWER_OK,
         "ok\tvisible=0\tsession=0\tbar=0,0,0,0\tbar_inside=0\tframe=0,0,0,0\tframe_inside=0\texcluded_from_capture=0\n",
         false, 0},
        {"clip\top=frobnicate\n", ANSWER_OK, std::string("err\tcode=usage\tmsg=") + BAD_OP + "\n", false, 0},
        {"clip\top=" + std::string(40, 'q') + "\n", ANSWER_OK, std::string("err\tcode=usage\tmsg=") + BAD_OP + "\n",
         false, 0},
        {"clip\top=start\tseconds=31\n", ANSWER_OK, "err\tcode=usage\tmsg=seconds must be 1-30\n", false, 0},
        {"clip\top=start\tdir=rel\\x\n", ANSWER_OK, "err\tcode=bad_dir\tmsg=dir must be an absolute path\n", false, 0},
        {"clip\top=start\ttarget=window\thwnd=77\n", ANSWER_OK,
         "ok\tsession=5\tstate=idle\tpath=C:\\clips\\take.mp4\twidth=800\theight=600\tfps=30"
         "\tencoder=libopenh264 (software)\ttarget=window\n",
         false, 1},
        {"clip\top=pause\twait=1\n", ANSWER_OK, "ok\tsession=5\tstate=idle\tpath=C:\\clips\\take.mp4\n", false, 1},
        {"clip\top=start\tseconds=2\twait=1\n", ANSWER_OK,
         "ok\tsession=5\tsaved=1\tdiscarded=0\tpath=C:\\clips\\take.mp4\tbytes=4096\tseconds=1.500\tframes=45"
         "\twidth=800\theight=600\tfps=30\tencoder=libopenh264 (software)\trepeated=0\tdropped=0\taudio=0\terr=\n",
         false, 1},
        {"clip\top=start\n", ANSWER_BUSY, "err\tcode=busy\tmsg=a clip is already recording\n", false, 1},
    };
    for (const auto& r : rows) {
        g_capture.mode = r.mode;
        LONG before = g_capture.requests;
        std::string got = exchange(r.req);
        if (r.prefix)
            EXPECT_EQ(got.substr(0, r.reply.size()), r.reply) << r.req;
        else
            EXPECT_EQ(got, r.reply) << r.req;
        EXPECT_EQ(got.find('\n'), got.size() - 1) << r.req;
        EXPECT_EQ(g_capture.requests - before, r.handed_over) << r.req;
    }
    std::string status = exchange("clip\n");
    EXPECT_NE(status.find("\treplay=1\treplay_width=1920\treplay_height=1080\treplay_fps=60\treplay_buffered=4.0"
                          "\treplay_saves=1\treplay_err=\n"),
              std::string::npos)
        << status;
    clip_shared_status_publish_replay(0, 0, 0, 0, 0, 0, "");

    // What reached the capture thread for the window start.
    exchange("clip\top=start\ttarget=window\thwnd=77\tmic=1\tbar=0\n");
    EXPECT_EQ(g_capture.last.op, CLIP_OP_START);
    EXPECT_EQ(g_capture.last.target, CLIP_TARGET_WINDOW);
    EXPECT_EQ((uintptr_t)g_capture.last.window, 77u);
    EXPECT_EQ(g_capture.last.mic, 1);
    EXPECT_TRUE(g_capture.last.no_bar);
}

TEST_F(PipeClip, WithoutACaptureThreadTheRequestIsAnsweredAndFreed) {
    g_agent.capture_thread_id = 0;
    EXPECT_EQ(exchange("clip\top=stop\n"), "err\tcode=internal\tmsg=capture thread gone\n");
    // A thread id that names no thread fails the post the same way.
    g_agent.capture_thread_id = 0xFFFFFFF0;
    EXPECT_EQ(exchange("clip\top=stop\n"), "err\tcode=internal\tmsg=capture thread gone\n");
}

TEST_F(PipeClip, DebugDisplayChangeReachesTheCaptureThread) {
    LONG before = g_capture.display_tests;
    EXPECT_EQ(exchange("debug\top=display_change\n"),
              "err\tcode=disabled\tmsg=start the agent with IVRA_DEBUG_HOOKS=1\n");
    SetEnvironmentVariableW(L"IVRA_DEBUG_HOOKS", L"1");
    EXPECT_EQ(exchange("debug\top=display_change\n"), "ok\n");
    EXPECT_TRUE(test_wait_until([&] { return g_capture.display_tests == before + 1; }, 5000));
    EXPECT_EQ(exchange("debug\top=display\n"), "err\tcode=usage\tmsg=debug op=hang_main ms=N\n");
    g_agent.capture_thread_id = 0;
    EXPECT_EQ(exchange("debug\top=display_change\n"), "err\tcode=internal\tmsg=capture thread gone\n");
    EXPECT_EQ(g_capture.display_tests, before + 1);
}

}  // namespace
