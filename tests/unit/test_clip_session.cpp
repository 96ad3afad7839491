// Clip session pacing and sizing rules, the request record's life, the op
// handler's refusals that need no capture, output paths and the hand-over of a
// finished take to its waiters.
#include "agent/clips/clip_session.h"
#include "agent/clips/replay.h"
#include "agent/capture/display_cache.h"
#include "agent/core/agent.h"
#include "agent/core/worker_pool.h"
#include "test_support.h"
#include <gtest/gtest.h>
#include <cstring>
#include <string>

namespace {

bool rect_eq(const RECT& a, const RECT& b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

bool signalled(HANDLE h) { return WaitForSingleObject(h, 0) == WAIT_OBJECT_0; }

}  // namespace

TEST(ClipSession, PaceStep) {
    // 30 fps with a period of 1000 ticks: half a second is 15 periods.
    struct row {
        int64_t now, deadline;
        int64_t late, frames, next;
    } rows[] = {
        {999, 1000, 0, 0, 1000},      // early: nothing due
        {1000, 1000, 0, 1, 2000},     // on time: one frame
        {1999, 1000, 0, 1, 2000},     // within the period
        {3500, 1000, 0, 3, 4000},     // slightly late: the missed slots become repeats
        {16000, 1000, 0, 16, 17000},  // exactly half a second behind still fills
        {17500, 1000, 16, 1, 18000},  // more than half a second: 16 periods skipped
        {61000, 1000, 60, 1, 62000},  // two seconds behind
    };
    for (const row& r : rows) {
        clip_pace p = clip_shared_pace_step(r.now, r.deadline, 1000, 30);
        EXPECT_EQ(p.late, r.late) << r.now;
        EXPECT_EQ(p.frames, r.frames) << r.now;
        EXPECT_EQ(p.deadline, r.next) << r.now;
    }
    // After a step the deadline lies in the future.
    for (int64_t now = 0; now < 100000; now += 777) {
        clip_pace p = clip_shared_pace_step(now, 0, 1000, 60);
        EXPECT_GT(p.deadline, now);
    }
}

TEST(ClipSession, OutputSize) {
    struct row {
        int w, h;
        bool ok;
        int ow, oh;
    } rows[] = {
        {5000, 1000, true, 4096, 818},  // scaled to fit 4096, even
        {1000, 5000, true, 818, 4096},
        {1920, 1080, true, 1920, 1080},
        {4096, 4096, true, 4096, 4096},
        {4097, 2000, true, 4096, 1998},  // 2000 * 4096 / 4097 = 1999.5 -> 1999 -> 1998
        {641, 481, true, 640, 480},      // odd sizes round down to even
        {64, 64, true, 64, 64},
        {65, 65, true, 64, 64},
        {640, 63, false, 0, 0},  // 63 high is refused
        {63, 640, false, 0, 0},
        {640, 65, true, 640, 64},
        {8000, 120, false, 0, 0},  // scaled down below 64 high
        {0, 0, false, 0, 0},
    };
    for (const row& r : rows) {
        int w = -1, h = -1;
        EXPECT_EQ(clip_output_size(r.w, r.h, &w, &h), r.ok) << r.w << "x" << r.h;
        if (r.ok) {
            EXPECT_EQ(w, r.ow) << r.w << "x" << r.h;
            EXPECT_EQ(h, r.oh) << r.w << "x" << r.h;
        } else {
            EXPECT_EQ(w, -1) << "outputs touched on refusal";
            EXPECT_EQ(h, -1);
        }
    }
    int w = 0, h = 0;
    clip_shared_fit_size(6000, 40, &w, &h);  // no lower limit for the replay's size
    EXPECT_EQ(w, 4096);
    EXPECT_EQ(h, 26);
}

TEST(ClipSession, Clamps) {
    struct {
        int in, out;
    } fps[] = {{0, 60}, {-5, 60}, {1, 1}, {30, 30}, {60, 60}, {120, 120}, {121, 120}, {240, 120}};
    for (const auto& r : fps) EXPECT_EQ(clip_shared_fps_clamp(r.in), r.out) << r.in;
    struct {
        int in, out;
    } secs[] = {{0, 30}, {-1, 30}, {1, 1}, {5, 5}, {30, 30}, {31, 30}, {45, 30}, {99, 30}};
    for (const auto& r : secs) EXPECT_EQ(clip_shared_seconds_clamp(r.in), r.out) << r.in;
}

TEST(ClipSession, BestOutput) {
    const RECT two[] = {{0, 0, 1280, 800}, {1280, 0, 2304, 768}};
    struct row {
        RECT r;
        int want;
        RECT inter;
    } rows[] = {
        {{100, 100, 300, 300}, 0, {100, 100, 300, 300}},
        {{1200, 0, 1400, 100}, 1, {1280, 0, 1400, 100}},  // 80 wide on 0, 120 on 1
        {{1180, 0, 1380, 100}, 0, {1180, 0, 1280, 100}},  // 100 against 100: the first wins the tie
        {{-500, -500, -100, -100}, -1, {}},               // on no output
        {{2304, 0, 2400, 100}, -1, {}},                   // touches an edge only
        {{0, 0, 5000, 1000}, 0, {0, 0, 1280, 800}},       // 1280x800 beats 1024x768
    };
    for (const row& r : rows) {
        RECT out{7, 7, 7, 7};
        EXPECT_EQ(clip_best_output(&r.r, two, 2, &out), r.want);
        if (r.want >= 0)
            EXPECT_TRUE(rect_eq(out, r.inter)) << out.left << "," << out.top << "," << out.right << "," << out.bottom;
        else
            EXPECT_TRUE(rect_eq(out, RECT{7, 7, 7, 7}));
    }
    RECT out{};
    EXPECT_EQ(clip_best_output(&rows[0].r, two, 0, &out), -1);
}

TEST(ClipSession, FrameSequence) {
    uint32_t seen_clip = 0, seen_replay = 0;
    clip_shared_sequence_bump(3);
    // Both consumers see the one new frame once.
    EXPECT_TRUE(clip_shared_sequence_new(3, false, &seen_clip));
    EXPECT_TRUE(clip_shared_sequence_new(3, false, &seen_replay));
    EXPECT_FALSE(clip_shared_sequence_new(3, true, &seen_clip));
    EXPECT_FALSE(clip_shared_sequence_new(3, false, &seen_replay));
    clip_shared_sequence_bump(3);
    clip_shared_sequence_bump(3);
    EXPECT_TRUE(clip_shared_sequence_new(3, false, &seen_clip));
    EXPECT_FALSE(clip_shared_sequence_new(3, false, &seen_clip));
    // Outputs without a counter pass the acquisition's own flag through.
    uint32_t seen = 0;
    EXPECT_TRUE(clip_shared_sequence_new(16, true, &seen));
    EXPECT_FALSE(clip_shared_sequence_new(16, false, &seen));
    EXPECT_TRUE(clip_shared_sequence_new(-1, true, &seen));
    clip_shared_sequence_bump(99);  // ignored
}

TEST(ClipSession, ClockAndSpace) {
    EXPECT_EQ(clip_shared_period_ticks(10000000, 30, 0), 333333);
    EXPECT_EQ(clip_shared_period_ticks(10000000, 60, 1), 166666);
    EXPECT_EQ(clip_shared_period_ticks(10000000, 60, 10), 16666);  // ten times faster under the test hook
    EXPECT_EQ(clip_shared_period_ticks(10, 120, 0), 1);            // never zero
    EXPECT_EQ(clip_shared_period_ticks(10000000, 0, 0), 10000000);

    EXPECT_EQ(clip_shared_timer_due(1000, 2000, 1000), -1);  // passed
    EXPECT_EQ(clip_shared_timer_due(2000, 2000, 1000), -1);
    EXPECT_EQ(clip_shared_timer_due(3000, 2000, 1000), -10000000);  // one second ahead
    EXPECT_EQ(clip_shared_timer_due(2016, 2000, 1000), -160000);    // 16 ms
    EXPECT_EQ(clip_shared_timer_due(2001, 2000, 100000000), -1);    // below 100 ns rounds to "now"

    // 20000 kbps for 30 s is 75 MB, plus stop_free_mb and one.
    struct row {
        uint64_t free_mb;
        int kbps, seconds, stop;
        bool fits;
    } rows[] = {
        {76, 20000, 30, 0, true},     {75, 20000, 30, 0, false}, {332, 20000, 30, 256, true},
        {331, 20000, 30, 256, false}, {76, 20000, 30, -5, true},  // a negative threshold counts as 0
        {1, 0, 30, 0, true},          {0, 0, 30, 0, false},
    };
    for (const row& r : rows)
        EXPECT_EQ(clip_full_length_fits(r.free_mb, r.kbps, r.seconds, r.stop), r.fits) << r.free_mb << " " << r.stop;
}

TEST(ClipSession, ToneSamplesFollowTheFrames) {
    // After k frames exactly k x 48000 / fps samples have been fed, whatever the rate.
    for (int fps : {1, 7, 24, 30, 59, 60, 120}) {
        int64_t total = 0;
        for (int64_t k = 0; k < 1000; k++) {
            const int n = clip_shared_tone_slot_samples(k, fps);
            EXPECT_GE(n, 48000 / fps);
            EXPECT_LE(n, 48000 / fps + 1);
            total += n;
            EXPECT_EQ(total, (k + 1) * 48000 / fps) << fps << " " << k;
        }
    }
    EXPECT_EQ(clip_shared_tone_slot_samples(0, 30), 1600);
    EXPECT_EQ(clip_shared_tone_slot_samples(5, 0), 0);
    EXPECT_EQ(clip_shared_tone_slot_samples(-1, 30), 0);
}

TEST(ClipSession, Descriptions) {
    wchar_t out[CLIP_TARGET_TEXT_MAX];
    clip_describe_screen(out, 1);
    EXPECT_STREQ(out, L"screen 1");
    RECT r{-100, 20, 540, 500};
    clip_describe_region(out, &r);
    EXPECT_STREQ(out, L"region -100,20 640x480");
    clip_describe_window(out, L"Notes");
    EXPECT_STREQ(out, L"window Notes");
    clip_describe_window(out, L"");
    EXPECT_STREQ(out, L"window (untitled)");
    clip_describe_window(out, nullptr);
    EXPECT_STREQ(out, L"window (untitled)");
    const std::wstring long_title(200, L'x');
    clip_describe_window(out, long_title.c_str());
    EXPECT_EQ(std::wstring(out), L"window " + std::wstring(79, L'x'));
    clip_describe_program(out, L"C:\\Program Files\\Editor\\editor.exe");
    EXPECT_STREQ(out, L"window of editor.exe");
    clip_describe_program(out, L"notepad.exe");
    EXPECT_STREQ(out, L"window of notepad.exe");
    clip_describe_program(out, L"");
    EXPECT_STREQ(out, L"window of (unknown program)");
    clip_describe_program(out, nullptr);
    EXPECT_STREQ(out, L"window of (unknown program)");
}

TEST(ClipSession, Words) {
    EXPECT_STREQ(clip_state_word(CLIP_IDLE), "idle");
    EXPECT_STREQ(clip_state_word(CLIP_RECORDING), "recording");
    EXPECT_STREQ(clip_state_word(CLIP_PAUSED), "paused");
    EXPECT_STREQ(clip_state_word(CLIP_SELECTING), "selecting");
    EXPECT_STREQ(clip_state_word(42), "idle");
    clip_status s{};
    EXPECT_STREQ(clip_last_word(&s), "none");
    s.last_valid = 1;
    EXPECT_STREQ(clip_last_word(&s), "failed");
    s.last_discarded = 1;
    EXPECT_STREQ(clip_last_word(&s), "discarded");
    s.last_saved = 1;
    s.last_discarded = 0;
    EXPECT_STREQ(clip_last_word(&s), "saved");
}

TEST(ClipSession, RequestLife) {
    clip_request* req = clip_request_create();
    ASSERT_NE(req, nullptr);
    EXPECT_EQ(req->refs, 1);
    EXPECT_EQ(req->monitor, -1);
    EXPECT_EQ(req->system, -1);
    EXPECT_EQ(req->mic, -1);
    EXPECT_EQ(req->toggle_value, -1);
    EXPECT_FALSE(signalled(req->reply_event));
    EXPECT_FALSE(signalled(req->final_event));
    clip_request_add_ref(req);
    EXPECT_EQ(req->refs, 2);
    clip_request_reply(req, false, "busy", "a clip is already recording");
    EXPECT_TRUE(signalled(req->reply_event));
    EXPECT_FALSE(req->ok);
    EXPECT_STREQ(req->code, "busy");
    EXPECT_STREQ(req->message, "a clip is already recording");
    clip_request_reply(req, true, "ignored", "ignored");
    EXPECT_TRUE(req->ok);
    EXPECT_STREQ(req->code, "");
    EXPECT_STREQ(req->message, "");
    // An over-long message is cut, never overrun.
    const std::string long_msg(400, 'm');
    clip_request_reply(req, false, "a-code-that-is-far-longer-than-thirty-one-bytes", long_msg.c_str());
    EXPECT_EQ(strlen(req->code), (size_t)CLIP_CODE_MAX - 1);
    EXPECT_EQ(strlen(req->message), (size_t)CLIP_MESSAGE_MAX - 1);
    clip_request_release(req);
    EXPECT_EQ(req->refs, 1);
    clip_request_release(req);  // frees
    clip_request_release(nullptr);
}

// The op handler without a display cache: every refusal that needs no capture.
TEST(ClipSession, OpRefusals) {
    struct row {
        int op, target;
        const char* code;
        const char* message;
    } rows[] = {
        {0, 0, "usage", "unknown clip op"},
        {10, 0, "usage", "unknown clip op"},
        {-3, 0, "usage", "unknown clip op"},
        {CLIP_OP_STOP, 0, "idle", "no clip is recording"},
        {CLIP_OP_PAUSE, 0, "idle", "no clip is recording"},
        {CLIP_OP_RESUME, 0, "idle", "no clip is recording"},
        {CLIP_OP_TOGGLE, 0, "idle", "no clip is recording"},
        {CLIP_OP_REDO, 0, "idle", "no clip is recording"},
        {CLIP_OP_CANCEL, 0, "idle", "no clip is recording"},
        {CLIP_OP_AUDIO, 0, "idle", "no clip is recording"},
        {CLIP_OP_START, CLIP_TARGET_SCREEN, "no_video", "no video-capable GPU device for recording"},
        {CLIP_OP_START, CLIP_TARGET_WINDOW, "no_video", "no video-capable GPU device for recording"},
        {CLIP_OP_START, CLIP_TARGET_REGION, "no_video", "no video-capable GPU device for recording"},
        {CLIP_OP_REPLAY_SAVE, 0, "replay_off",
         "Replay is off. Turn on \"Keep last 30 s\" in Ivra settings, or run: ivrac replay on"},
    };
    for (const row& r : rows) {
        clip_request* req = clip_request_create();
        ASSERT_NE(req, nullptr);
        req->op = r.op;
        req->target = r.target;
        req->wait = true;
        clip_request_add_ref(req);  // the capture thread's reference
        clip_handle_request(nullptr, req);
        EXPECT_TRUE(signalled(req->reply_event)) << r.op;
        EXPECT_FALSE(req->ok) << r.op;
        EXPECT_STREQ(req->code, r.code) << r.op;
        EXPECT_STREQ(req->message, r.message) << r.op;
        EXPECT_FALSE(signalled(req->final_event)) << r.op;
        EXPECT_EQ(req->refs, 1) << "a refusal keeps no reference, op " << r.op;
        clip_request_release(req);
    }
    clip_status st{};
    clip_status_read(&st);
    EXPECT_EQ(st.state, CLIP_IDLE);
    EXPECT_FALSE(clip_active());
    EXPECT_FALSE(clip_timer_active());

    // A start during shutdown is refused before the device is looked at.
    InterlockedExchange(&g_agent.quitting, 1);
    clip_request* req = clip_request_create();
    ASSERT_NE(req, nullptr);
    req->op = CLIP_OP_START;
    clip_request_add_ref(req);
    clip_handle_request(nullptr, req);
    InterlockedExchange(&g_agent.quitting, 0);
    EXPECT_STREQ(req->code, "busy");
    EXPECT_STREQ(req->message, "agent is stopping");
    clip_request_release(req);

    // Hotkeys that need a clip do nothing without one.
    clip_hotkey_action(nullptr, HOTKEY_CLIP_PAUSE, 0);
    clip_hotkey_action(nullptr, HOTKEY_CLIP_REDO, 0);
    clip_hotkey_action(nullptr, HOTKEY_REPLAY, 0);
    clip_status_read(&st);
    EXPECT_EQ(st.state, CLIP_IDLE);
}

TEST(ClipSession, PickAnswers) {
    clip_request* req = clip_request_create();
    ASSERT_NE(req, nullptr);
    clip_request_add_ref(req);  // the selection's reference
    clip_pick_cancelled(req);
    EXPECT_TRUE(signalled(req->reply_event));
    EXPECT_STREQ(req->code, "cancelled");
    EXPECT_STREQ(req->message, "pick cancelled");
    EXPECT_EQ(req->refs, 1);
    clip_request_add_ref(req);
    clip_pick_failed(req, "busy", "region overlay already active");
    EXPECT_STREQ(req->code, "busy");
    EXPECT_STREQ(req->message, "region overlay already active");
    EXPECT_EQ(req->refs, 1);
    clip_pick_failed(nullptr, "busy", "x");
    clip_request_release(req);
}

TEST(ClipSession, OutputPath) {
    const std::wstring dir = test_temp_dir(L"ivra_clip_path");
    const std::wstring clips = dir + L"\\clips";
    const std::wstring other = dir + L"\\other";
    const std::wstring slot = dir + L"\\slot3";
    config cfg;
    config_defaults(&cfg);
    wcscpy(cfg.clips_dir, clips.c_str());
    wcscpy(cfg.folders[2], slot.c_str());

    struct row {
        const wchar_t* out;
        const wchar_t* dir;
        const wchar_t* folder;
        int digit;
        std::wstring base;
        const wchar_t* sub;
        bool explicit_path;
    } rows[] = {
        {L"", L"", L"", 0, clips, L"", false},
        {L"", L"", L"trip", 0, clips, L"trip", false},
        {L"", other.c_str(), L"trip", 0, other, L"", false},  // dir wins, folder ignored
        {L"", L"", L"trip", 3, slot, L"", false},             // chord folder, folder ignored
        {L"", other.c_str(), L"", 3, other, L"", false},      // dir before the chord folder
        {L"", L"", L"trip", 4, clips, L"trip", false},        // empty slot: as without a digit
        {L"Z:\\x\\given.mp4", L"", L"", 0, clips, L"", true},
    };
    for (const row& r : rows) {
        clip_request* req = clip_request_create();
        ASSERT_NE(req, nullptr);
        wcscpy(req->out, r.out);
        wcscpy(req->dir, r.dir);
        wcscpy(req->folder, r.folder);
        req->digit = r.digit;
        wchar_t base[ENCODER_PATH_MAX], sub[CLIP_FOLDER_MAX], path[ENCODER_PATH_MAX];
        bool exp = !r.explicit_path;
        char code[CLIP_CODE_MAX] = "", message[CLIP_MESSAGE_MAX] = "";
        ASSERT_TRUE(clip_shared_output_path(req, &cfg, base, sub, path, &exp, code, message)) << code << " " << message;
        EXPECT_EQ(std::wstring(base), r.base);
        EXPECT_STREQ(sub, r.sub);
        EXPECT_EQ(exp, r.explicit_path);
        const std::wstring p = path;
        if (r.explicit_path) {
            EXPECT_EQ(p, r.out);
        } else {
            const std::wstring folder = r.sub[0] ? r.base + L"\\" + r.sub : r.base;
            EXPECT_EQ(p.rfind(folder + L"\\Ivra_", 0), 0u) << p;
            EXPECT_EQ(p.substr(p.size() - 4), L".mp4") << p;
        }
        clip_request_release(req);
    }
    test_remove_tree(dir);
}

// A finished take reaches every waiter, the status and the finalizing count.
TEST(ClipSession, FinishedReachesWaiters) {
    struct row {
        bool saved_flag, discarded;
        const char* error;
        const char* last;
    } rows[] = {
        {false, true, "", "discarded"},
        {false, false, "rename failed (80)", "failed"},
    };
    for (const row& r : rows) {
        clip_finish* f = (clip_finish*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(clip_finish));
        ASSERT_NE(f, nullptr);
        f->id = 7;
        f->silent = true;
        clip_request* a = clip_request_create();
        clip_request* b = clip_request_create();
        ASSERT_TRUE(a && b);
        clip_request_add_ref(a);
        clip_request_add_ref(b);
        f->waiters[0] = a;
        f->waiters[1] = b;
        f->waiter_count = 2;
        clip_result res{};
        res.saved = r.saved_flag;
        res.discarded = r.discarded;
        wcscpy(res.path, L"Z:\\nowhere\\Ivra_2026-01-02_03-04-05.mp4");
        res.frames = 150;
        res.fps = 30;
        res.seconds = 5.0;
        res.width = 640;
        res.height = 480;
        res.repeated = 120;
        res.dropped = 1;
        strcpy(res.encoder, "libopenh264 (software)");
        strcpy(res.error, r.error);
        const long before = clip_finalizing();
        clip_shared_finalizing_add(1);
        clip_shared_finished(f, &res);
        EXPECT_EQ(clip_finalizing(), before);
        for (clip_request* w : {a, b}) {
            EXPECT_TRUE(signalled(w->final_event));
            EXPECT_EQ(w->refs, 1);
            EXPECT_EQ(w->discarded, r.discarded);
            EXPECT_FALSE(w->saved);
            EXPECT_EQ(w->frames, 150);
            EXPECT_EQ(w->repeated, 120u);
            EXPECT_EQ(w->dropped, 1u);
            EXPECT_DOUBLE_EQ(w->result_seconds, 5.0);
            EXPECT_EQ(w->fps, 30);
            EXPECT_STREQ(w->encoder, "libopenh264 (software)");
            EXPECT_STREQ(w->error, r.error);
            clip_request_release(w);
        }
        clip_status st{};
        clip_status_read(&st);
        EXPECT_STREQ(clip_last_word(&st), r.last);
        EXPECT_STREQ(st.last_error, r.error);
    }
}

namespace {

// Reads the status the moment a reply is signalled, as a pipe worker does.
struct reply_watch {
    clip_request* req;
    int state;
    HANDLE thread;
};

DWORD WINAPI reply_watch_main(void* arg) {
    reply_watch* w = (reply_watch*)arg;
    WaitForSingleObject(w->req->reply_event, 20000);
    clip_status st{};
    clip_status_read(&st);
    w->state = st.state;
    return 0;
}

void watch_start(reply_watch* w, clip_request* req) {
    w->req = req;
    w->state = -1;
    w->thread = CreateThread(nullptr, 0, reply_watch_main, w, 0, nullptr);
}

int watch_end(reply_watch* w) {
    WaitForSingleObject(w->thread, 30000);
    CloseHandle(w->thread);
    return w->state;
}

// Runs one op as the capture thread does and returns the request (caller releases).
clip_request* run_op(display_cache* cache, int op, bool wait, int* state_at_reply = nullptr) {
    clip_request* req = clip_request_create();
    req->op = op;
    req->wait = wait;
    req->no_audio = true;
    reply_watch w{};
    if (state_at_reply) watch_start(&w, req);
    clip_request_add_ref(req);
    clip_handle_request(cache, req);
    if (state_at_reply) *state_at_reply = watch_end(&w);
    return req;
}

int64_t pump_until_frames(display_cache* cache, int64_t frames) {
    clip_status st{};
    const ULONGLONG end = GetTickCount64() + 30000;
    do {
        clip_wake(cache);
        clip_status_read(&st);
        if (st.take_frames >= frames) break;
        Sleep(5);
    } while (GetTickCount64() < end);
    return st.take_frames;
}

// The finisher drops its reference just after signalling; waits for that.
LONG refs_after_final(clip_request* req) {
    const ULONGLONG end = GetTickCount64() + 5000;
    while (InterlockedCompareExchange(&req->refs, 0, 0) > 1 && GetTickCount64() < end) Sleep(5);
    return req->refs;
}

bool file_exists(const wchar_t* path) { return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES; }

}  // namespace

// A region clip on the desktop with the capture thread's calls made from here:
// start, pause, redo and stop with two waiters; the status is current when a
// reply arrives, and only the last take's file is left.
TEST(ClipSession, SessionOnTheDesktop) {
    const std::wstring dir = test_temp_dir(L"ivra_clip_session");
    SetEnvironmentVariableW(L"APPDATA", dir.c_str());
    SetEnvironmentVariableW(L"IVRA_CLIP_SOFTWARE", L"1");
    config cfg;
    config_defaults(&cfg);
    wcscpy(cfg.clips_dir, (dir + L"\\clips").c_str());
    cfg.clip_fps = 30;
    cfg.stop_free_mb = 0;
    cfg.warn_free_mb = 0;
    cfg.replay_enabled = 0;
    agent_config_set(&cfg);
    g_agent.clips = worker_pool_create("ivra-clips", 2, 32, THREAD_PRIORITY_NORMAL);
    display_cache* cache = display_cache_build();
    ASSERT_NE(cache, nullptr);
    clip_thread_begin(nullptr);
    RECT o{};
    ASSERT_TRUE(display_cache_output_rect(cache, 0, &o));

    clip_request* start = clip_request_create();
    start->op = CLIP_OP_START;
    start->target = CLIP_TARGET_REGION;
    start->region[0] = o.left + 10;
    start->region[1] = o.top + 20;
    start->region[2] = o.left + 330;
    start->region[3] = o.top + 260;
    start->wait = true;
    start->no_audio = true;
    reply_watch w{};
    watch_start(&w, start);
    clip_request_add_ref(start);
    clip_handle_request(cache, start);
    EXPECT_EQ(watch_end(&w), CLIP_RECORDING) << "the status is published before the reply";
    ASSERT_TRUE(start->ok) << start->code << ": " << start->message;
    EXPECT_EQ(start->width, 320);
    EXPECT_EQ(start->height, 240);
    EXPECT_EQ(start->fps, 30);
    wchar_t want[CLIP_TARGET_TEXT_MAX];
    RECT inter{o.left + 10, o.top + 20, o.left + 330, o.top + 260};
    clip_describe_region(want, &inter);
    EXPECT_STREQ(start->target_text, want);
    const std::wstring first_path = start->path;
    EXPECT_TRUE(clip_active());
    EXPECT_TRUE(clip_timer_active());

    clip_request* busy = run_op(cache, CLIP_OP_START, false);
    EXPECT_STREQ(busy->code, "busy");
    EXPECT_STREQ(busy->message, "a clip is already recording");
    clip_request_release(busy);

    EXPECT_GE(pump_until_frames(cache, 10), 10);
    int state = -1;
    clip_request* r = run_op(cache, CLIP_OP_PAUSE, false, &state);
    EXPECT_TRUE(r->ok);
    EXPECT_EQ(state, CLIP_PAUSED);
    clip_request_release(r);
    r = run_op(cache, CLIP_OP_AUDIO, false);
    EXPECT_STREQ(r->code, "no_audio");
    EXPECT_STREQ(r->message, "this clip has no audio track");
    clip_request_release(r);

    // A redo resumes, starts the take again and names a new file.
    r = run_op(cache, CLIP_OP_REDO, false);
    ASSERT_TRUE(r->ok) << r->code;
    const std::wstring redo_path = r->path;
    EXPECT_NE(redo_path, first_path);
    clip_request_release(r);
    clip_status st{};
    clip_status_read(&st);
    EXPECT_EQ(st.state, CLIP_RECORDING);
    EXPECT_LT(st.take_frames, 5);
    EXPECT_GE(pump_until_frames(cache, 15), 15);

    clip_request* stop = run_op(cache, CLIP_OP_STOP, true);
    EXPECT_TRUE(stop->ok);
    EXPECT_STREQ(stop->path, redo_path.c_str());
    EXPECT_FALSE(clip_active());
    ASSERT_EQ(WaitForSingleObject(stop->final_event, 60000), WAIT_OBJECT_0);
    ASSERT_EQ(WaitForSingleObject(start->final_event, 1000), WAIT_OBJECT_0);
    for (clip_request* waiter : {start, stop}) {
        EXPECT_TRUE(waiter->saved) << waiter->error;
        EXPECT_STREQ(waiter->path, redo_path.c_str());
        EXPECT_GE(waiter->frames, 15);
        EXPECT_EQ(refs_after_final(waiter), 1) << "the waiter's reference was dropped";
    }
    EXPECT_EQ(clip_finalizing(), 0);
    EXPECT_TRUE(file_exists(redo_path.c_str()));
    EXPECT_FALSE(file_exists(first_path.c_str()));
    EXPECT_FALSE(file_exists((redo_path + L".part").c_str()));
    clip_status_read(&st);
    EXPECT_EQ(st.state, CLIP_IDLE);
    EXPECT_STREQ(clip_last_word(&st), "saved");
    clip_request_release(start);
    clip_request_release(stop);

    r = run_op(cache, CLIP_OP_STOP, false);
    EXPECT_STREQ(r->code, "idle");
    clip_request_release(r);

    worker_pool_destroy(g_agent.clips, 10000);
    g_agent.clips = nullptr;
    display_cache_destroy(cache);
    SetEnvironmentVariableW(L"IVRA_CLIP_SOFTWARE", nullptr);
    test_remove_tree(dir);
}

namespace {

// The agent's pieces a clip needs, with the configuration given.
struct desktop_fixture {
    std::wstring dir;
    display_cache* cache = nullptr;

    bool begin(const wchar_t* leaf, int replay) {
        dir = test_temp_dir(leaf);
        SetEnvironmentVariableW(L"APPDATA", dir.c_str());
        SetEnvironmentVariableW(L"IVRA_CLIP_SOFTWARE", L"1");
        config cfg;
        config_defaults(&cfg);
        wcscpy(cfg.clips_dir, (dir + L"\\clips").c_str());
        cfg.clip_fps = 30;
        cfg.stop_free_mb = 0;
        cfg.warn_free_mb = 0;
        cfg.replay_enabled = replay;
        agent_config_set(&cfg);
        g_agent.clips = worker_pool_create("ivra-clips", 2, 32, THREAD_PRIORITY_NORMAL);
        cache = display_cache_build();
        clip_thread_begin(nullptr);
        return cache != nullptr && g_agent.clips != nullptr;
    }

    void end() {
        clip_shutdown(cache);
        worker_pool_destroy(g_agent.clips, 10000);
        g_agent.clips = nullptr;
        display_cache_destroy(cache);
        SetEnvironmentVariableW(L"IVRA_CLIP_SOFTWARE", nullptr);
        test_remove_tree(dir);
    }
};

void pump_ms(display_cache* cache, DWORD ms) {
    const ULONGLONG end = GetTickCount64() + ms;
    while (GetTickCount64() < end) {
        clip_wake(cache);
        Sleep(5);
    }
}

bool wait_finalized(DWORD ms) {
    const ULONGLONG end = GetTickCount64() + ms;
    while (clip_finalizing() != 0 && GetTickCount64() < end) Sleep(20);
    return clip_finalizing() == 0;
}

}  // namespace

// Clip hotkeys: a screen clip starts, pauses on the pause key and stops on its own key.
TEST(ClipSession, HotkeysStartPauseAndStop) {
    desktop_fixture fx;
    ASSERT_TRUE(fx.begin(L"ivra_clip_keys", 0));
    // An earlier test's clip still finishing would be the "last" one after ours.
    ASSERT_TRUE(wait_finalized(60000));
    clip_hotkey_action(fx.cache, HOTKEY_CLIP_SCREEN, 0);
    ASSERT_TRUE(clip_active());
    clip_status st{};
    clip_status_read(&st);
    EXPECT_EQ(st.state, CLIP_RECORDING);
    EXPECT_EQ(std::wstring(st.target).rfind(L"screen ", 0), 0u);
    clip_hotkey_action(fx.cache, HOTKEY_CLIP_PAUSE, 0);
    clip_status_read(&st);
    EXPECT_EQ(st.state, CLIP_PAUSED);
    clip_hotkey_action(fx.cache, HOTKEY_CLIP_PAUSE, 0);
    clip_status_read(&st);
    EXPECT_EQ(st.state, CLIP_RECORDING);
    pump_ms(fx.cache, 300);
    const std::wstring path = st.path;
    clip_hotkey_action(fx.cache, HOTKEY_CLIP_SCREEN, 0);
    EXPECT_FALSE(clip_active());
    ASSERT_TRUE(wait_finalized(60000));
    clip_status_read(&st);
    EXPECT_STREQ(clip_last_word(&st), "saved") << st.last_error;
    EXPECT_STREQ(st.last_path, path.c_str());
    EXPECT_TRUE(file_exists(path.c_str()));
    fx.end();
}

// The replay: buffering follows the setting, a save writes what was buffered, and a
// save while off is refused.
TEST(ClipSession, ReplaySavesWhatWasBuffered) {
    desktop_fixture fx;
    ASSERT_TRUE(fx.begin(L"ivra_clip_replay", 1));
    clip_startup(fx.cache);
    ASSERT_TRUE(replay_active());
    EXPECT_TRUE(clip_timer_active());
    pump_ms(fx.cache, 1500);
    clip_status st{};
    clip_status_read(&st);
    EXPECT_EQ(st.replay_active, 1);
    EXPECT_GT(st.replay_buffered, 0.0);
    EXPECT_EQ(st.replay_fps, 30);

    clip_request* save = clip_request_create();
    save->op = CLIP_OP_REPLAY_SAVE;
    save->wait = true;
    clip_request_add_ref(save);
    clip_handle_request(fx.cache, save);
    ASSERT_TRUE(save->ok) << save->code << ": " << save->message;
    EXPECT_EQ(save->session, 1u);
    const std::wstring path = save->path;
    ASSERT_EQ(WaitForSingleObject(save->final_event, 60000), WAIT_OBJECT_0);
    EXPECT_TRUE(save->saved) << save->error;
    EXPECT_GT(save->frames, 0);
    EXPECT_LE(save->result_seconds, 2.0);
    EXPECT_EQ(refs_after_final(save), 1);
    clip_request_release(save);
    EXPECT_TRUE(file_exists(path.c_str()));

    // Switched off by a reload: stopped, and a save is refused with the standing text.
    config cfg;
    agent_config_copy(&cfg);
    cfg.replay_enabled = 0;
    agent_config_set(&cfg);
    clip_config_changed(fx.cache);
    EXPECT_FALSE(replay_active());
    EXPECT_FALSE(clip_timer_active());
    clip_status_read(&st);
    EXPECT_EQ(st.replay_active, 0);
    clip_request* off = run_op(fx.cache, CLIP_OP_REPLAY_SAVE, false);
    EXPECT_STREQ(off->code, "replay_off");
    EXPECT_STREQ(off->message, "Replay is off. Turn on \"Keep last 30 s\" in Ivra settings, or run: ivrac replay on");
    clip_request_release(off);
    EXPECT_TRUE(wait_finalized(60000));
    fx.end();
}

// System sound and microphone are two sources of one track: switching either off
// mutes it, and the track is left out only when both were off for the whole take.
TEST(ClipSession, TrackIsLeftOutOnlyWhenNoSourceWasOnInTheTake) {
    desktop_fixture fx;
    ASSERT_TRUE(fx.begin(L"ivra_clip_sources", 0));
    ASSERT_TRUE(wait_finalized(60000));
    RECT o{};
    ASSERT_TRUE(display_cache_output_rect(fx.cache, 0, &o));
    enum step { NONE, SYSTEM_OFF, SYSTEM_ON, MIC_ON, REDO };
    struct {
        const char* what;
        int system, mic;
        step steps[3];
        bool no_audio;
    } rows[] = {
        {"system sound alone", 1, 0, {}, false},
        {"the microphone alone", 0, 1, {}, false},
        {"both off throughout", 0, 0, {}, true},
        {"desktop sound switched off mid-take", 1, 0, {SYSTEM_OFF}, false},
        {"the microphone switched on mid-take", 0, 0, {MIC_ON}, false},
        {"desktop sound on for a while", 0, 0, {SYSTEM_ON, SYSTEM_OFF}, false},
        {"a redo after both went off", 1, 0, {SYSTEM_OFF, REDO}, true},
        {"a redo while one is on", 0, 1, {REDO}, false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        clip_request* start = clip_request_create();
        start->op = CLIP_OP_START;
        start->target = CLIP_TARGET_REGION;
        start->region[0] = o.left + 10;
        start->region[1] = o.top + 20;
        start->region[2] = o.left + 170;
        start->region[3] = o.top + 140;
        start->wait = true;
        start->silent = true;
        start->no_bar = true;
        start->system = r.system;
        start->mic = r.mic;
        clip_request_add_ref(start);
        clip_handle_request(fx.cache, start);
        ASSERT_TRUE(start->ok) << start->code << ": " << start->message;
        EXPECT_GE(pump_until_frames(fx.cache, 5), 5);
        for (step k : r.steps) {
            if (k == NONE) break;
            clip_request* t = clip_request_create();
            t->op = k == REDO ? CLIP_OP_REDO : CLIP_OP_AUDIO;
            t->toggle_mic = k == MIC_ON;
            t->toggle_value = k == SYSTEM_OFF ? 0 : 1;
            clip_request_add_ref(t);
            clip_handle_request(fx.cache, t);
            EXPECT_TRUE(t->ok) << t->code << ": " << t->message;
            clip_request_release(t);
            EXPECT_GE(pump_until_frames(fx.cache, 5), 5);
        }
        clip_request* stop = run_op(fx.cache, CLIP_OP_STOP, false);
        EXPECT_TRUE(stop->ok);
        clip_request_release(stop);
        ASSERT_EQ(WaitForSingleObject(start->final_event, 60000), WAIT_OBJECT_0);
        EXPECT_TRUE(start->saved) << start->error;
        EXPECT_EQ(start->result_no_audio, r.no_audio);
        clip_request_release(start);
    }
    fx.end();
}
