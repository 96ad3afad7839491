#include "agent/capture/capture_thread.h"
#include "agent/capture/still_jobs.h"
#include "agent/capture/display_cache.h"
#include "agent/core/agent.h"
#include "agent/core/capture_wiring.h"
#include "agent/core/frame_pool.h"
#include "agent/core/storage_monitor.h"
#include "agent/overlay/overlay.h"
#include "agent/pipe/shot_job.h"
#include "common/config.h"
#include "common/win.h"
#include "tests/unit/test_support.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

namespace {

// ---- Buffer sizes and rectangles

TEST(StillJobs, BufferBytes) {
    struct {
        long w, h;
        uint64_t want;
    } cases[] = {
        {1920, 1080, 8294400ull},
        {1, 1, 4},
        {0, 10, 0},
        {10, 0, 0},
        {-5, -5, 0},  // an inverted rectangle must not multiply into a size
        {-5, 5, 0},
        {100000, 100000, 40000000000ull},  // no 32-bit wrap
    };
    for (const auto& c : cases) EXPECT_EQ(still_buffer_bytes(c.w, c.h), c.want) << c.w << "x" << c.h;
}

TEST(StillJobs, RectCoverage) {
    const RECT two[] = {{0, 0, 1280, 800}, {1280, 0, 2304, 768}};
    struct {
        RECT r;
        int outputs;
        bool want;
    } cases[] = {
        {{10, 10, 20, 20}, 2, true},          {{1270, 0, 1290, 10}, 2, true},  // across both
        {{1300, 780, 1400, 800}, 2, false},                                    // under the shorter monitor only
        {{-100, -100, 0, 0}, 2, false},                                        // touches the corner, no area in common
        {{5000, 5000, 5100, 5100}, 2, false}, {{20, 20, 10, 10}, 2, false},    // inverted
        {{10, 10, 10, 20}, 2, false},                                          // zero width
        {{10, 10, 20, 20}, 0, false},                                          // no outputs at all
        {{-50, -50, 50, 50}, 1, true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(still_rect_covered(&c.r, two, c.outputs), c.want)
            << c.r.left << "," << c.r.top << "," << c.r.right << "," << c.r.bottom;
}

// ---- Texts

TEST(StillJobs, TargetDescriptions) {
    wchar_t out[STILL_TARGET_MAX];
    EXPECT_EQ(still_describe_monitor(out, -1), 20);
    EXPECT_STREQ(out, L"monitor under cursor");
    still_describe_monitor(out, 2);
    EXPECT_STREQ(out, L"monitor 2");
    RECT r{-1280, -10, 0, 790};
    still_describe_rect(out, &r);
    EXPECT_STREQ(out, L"rect -1280,-10 1280x800");
    still_describe_pick(out, 640, 480);
    EXPECT_STREQ(out, L"pick 640x480");

    still_describe_window(out, (void*)0x1234, L"Notepad");
    std::wstring s = out;
    EXPECT_EQ(s.rfind(L"window ", 0), 0u);
    EXPECT_NE(s.find(L"1234 \"Notepad\""), std::wstring::npos) << s;

    // Titles are cut to 96 characters and the text always fits.
    std::wstring longtitle(300, L'x');
    int n = still_describe_window(out, (void*)0x1234, longtitle.c_str());
    s = out;
    EXPECT_EQ((size_t)n, s.size());
    EXPECT_LT(s.size(), (size_t)STILL_TARGET_MAX);
    EXPECT_NE(s.find(L"\"" + std::wstring(96, L'x') + L"\""), std::wstring::npos);
    EXPECT_EQ(s.find(std::wstring(97, L'x')), std::wstring::npos);
    still_describe_window(out, nullptr, nullptr);
    EXPECT_NE(std::wstring(out).find(L"\"\""), std::wstring::npos);
}

TEST(StillJobs, ErrorTexts) {
    struct {
        const char* code;
        const char* msg;
        const wchar_t* want;
    } cases[] = {
        {"busy", "stills pool exhausted; try again", L"busy\tmsg=stills pool exhausted; try again"},
        {"disk_full", "drive free space below stop_free_mb", L"disk_full\tmsg=drive free space below stop_free_mb"},
        {"minimized", "window is minimized", L"minimized\tmsg=window is minimized"},
        {"internal", "cannot start overlay", L"internal\tmsg=cannot start overlay"},
        {"encode", nullptr, L"encode\tmsg="},
    };
    wchar_t out[STILL_ERROR_MAX];
    for (const auto& c : cases) {
        still_error_text(out, c.code, c.msg);
        EXPECT_STREQ(out, c.want);
    }
    std::string longmsg(400, 'm');
    int n = still_error_text(out, "capture", longmsg.c_str());
    EXPECT_EQ(n, STILL_ERROR_MAX - 1);
    EXPECT_EQ(wcslen(out), (size_t)STILL_ERROR_MAX - 1);
}

TEST(StillJobs, FormatQualityAndExtension) {
    struct {
        int req, cfg, want;
    } formats[] = {{-1, 0, 0}, {-1, 1, 1}, {0, 1, 0}, {1, 0, 1}, {7, 1, 1}, {7, 5, 0}};
    for (const auto& c : formats) EXPECT_EQ(still_pick_format(c.req, c.cfg), c.want) << c.req << " " << c.cfg;
    struct {
        int req, cfg, want;
    } qualities[] = {{0, 90, 90}, {-3, 90, 90}, {1, 90, 1}, {100, 90, 100}};
    for (const auto& c : qualities) EXPECT_EQ(still_pick_quality(c.req, c.cfg), c.want);
    EXPECT_STREQ(still_ext(1), L"jpg");
    EXPECT_STREQ(still_ext(0), L"png");
    EXPECT_STREQ(still_ext(-1), L"png");
}

TEST(StillJobs, GatePathChoice) {
    EXPECT_STREQ(still_gate_path(L"D:\\a.png", L"E:\\dir", L"C:\\Pictures"), L"D:\\a.png");
    EXPECT_STREQ(still_gate_path(L"", L"E:\\dir", L"C:\\Pictures"), L"E:\\dir");
    EXPECT_STREQ(still_gate_path(nullptr, nullptr, L"C:\\Pictures"), L"C:\\Pictures");
    EXPECT_STREQ(still_gate_path(L"", L"", nullptr), L"");
}

TEST(StillJobs, ElapsedMilliseconds) {
    EXPECT_EQ(still_elapsed_ms(1000, 11000, 10000), 1000);
    EXPECT_EQ(still_elapsed_ms(0, 11000, 10000), 0);    // no start recorded
    EXPECT_EQ(still_elapsed_ms(5000, 4000, 10000), 0);  // clock went backwards
    EXPECT_EQ(still_elapsed_ms(1, 2, 0), 0);
    // A large counter value must not overflow the product.
    EXPECT_EQ(still_elapsed_ms(1000000000000LL, 1000000000000LL + 30000000LL, 10000000LL), 3000);
}

// ---- Capture thread rules

TEST(CaptureThread, LoopRules) {
    EXPECT_EQ(capture_thread_wait_ms(1, 1), 1000u);
    EXPECT_EQ(capture_thread_wait_ms(1, 0), 2000u);
    EXPECT_EQ(capture_thread_wait_ms(0, 1), 2000u);
    EXPECT_FALSE(capture_thread_is_slow(999));
    EXPECT_TRUE(capture_thread_is_slow(1000));
    struct {
        int had;
        uint32_t gen0;
        int has;
        uint32_t gen;
        bool want;
    } cases[] = {
        {1, 3, 1, 3, false}, {1, 3, 1, 4, true}, {1, 3, 0, 0, true}, {0, 0, 1, 1, true}, {0, 0, 0, 0, false},
    };
    for (const auto& c : cases) EXPECT_EQ(capture_thread_describe_due(c.had, c.gen0, c.has, c.gen), c.want);
}

// ---- Storage gate

TEST(StorageGate, Roots) {
    struct {
        const wchar_t* path;
        bool ok;
        const wchar_t* query;
        const wchar_t* shown;
    } cases[] = {
        {L"C:\\Users\\ann\\Pictures", true, L"C:\\", L"C:\\"},
        {L"z:", true, L"z:\\", L"z:\\"},
        {L"\\\\srv\\share\\Ivra", true, L"\\\\srv\\share\\", L"\\\\srv\\s"},
        {L"\\\\s\\x", true, L"\\\\s\\x\\", L"\\\\s\\x\\"},
        {L"\\\\srv", false, L"", L""},
        {L"\\\\srv\\", false, L"", L""},
        {L"\\\\\\share", false, L"", L""},
        {L"relative\\dir", false, L"", L""},
        {L"", false, L"", L""},
        {L"C", false, L"", L""},
    };
    for (const auto& c : cases) {
        wchar_t q[STORAGE_ROOT_MAX] = L"junk", s[STORAGE_DRIVE_MAX] = L"junk";
        EXPECT_EQ(storage_gate_root(c.path, q, s), c.ok) << c.path;
        EXPECT_STREQ(q, c.query) << c.path;
        EXPECT_STREQ(s, c.shown) << c.path;
    }
}

TEST(StorageGate, Thresholds) {
    struct {
        uint64_t free_mb;
        int stop, warn, big;
        bool ok;
        const wchar_t* warning;
    } cases[] = {
        {200, 256, 2048, 0, false, L""},
        {256, 256, 2048, 0, true, L"low_space"},  // "below" is strict
        {255, 256, 0, 0, false, L""},
        {0, 0, 0, 0, true, L""},  // every check off
        {0, -1, -1, 0, true, L""},
        {1024, 256, 2048, 0, true, L"low_space"},
        {4096, 256, 2048, 0, true, L""},
        {4096, 256, 2048, 1, true, L"ivra_big"},
        {1024, 256, 2048, 1, true, L"low_space,ivra_big"},
        {1024, 2048, 4096, 1, false, L""},
    };
    for (const auto& c : cases) {
        wchar_t w[STORAGE_WARNING_MAX] = L"junk";
        EXPECT_EQ(storage_gate_decide(c.free_mb, c.stop, c.warn, c.big, w), c.ok) << c.free_mb << " " << c.stop;
        EXPECT_STREQ(w, c.warning) << c.free_mb << " " << c.stop;
    }
}

TEST(StorageGate, BalloonRateLimit) {
    EXPECT_TRUE(storage_balloon_due(0, 5));
    EXPECT_FALSE(storage_balloon_due(1000, 1000 + STORAGE_BALLOON_GAP_MS - 1));
    EXPECT_TRUE(storage_balloon_due(1000, 1000 + STORAGE_BALLOON_GAP_MS));
}

TEST(StorageGate, RealDrives) {
    config cfg;
    config_defaults(&cfg);
    wchar_t warning[STORAGE_WARNING_MAX] = L"junk", drive[STORAGE_DRIVE_MAX] = L"junk";
    uint64_t free_mb = 12345;

    // No root: counts as nothing free, so any stop threshold refuses it.
    cfg.stop_free_mb = 1;
    EXPECT_FALSE(storage_gate(&cfg, L"relative\\dir", warning, &free_mb, drive));
    EXPECT_EQ(free_mb, 0u);
    EXPECT_STREQ(drive, L"?");
    cfg.stop_free_mb = 0;
    cfg.warn_free_mb = 0;
    EXPECT_TRUE(storage_gate(&cfg, L"relative\\dir", warning, &free_mb, drive));
    EXPECT_STREQ(warning, L"");

    // A real drive: a stop threshold above its free space refuses, one of 0 never does.
    std::wstring dir = test_temp_dir(L"ivra-gate-");
    EXPECT_TRUE(storage_gate(&cfg, dir.c_str(), warning, &free_mb, drive));
    EXPECT_GT(free_mb, 0u);
    EXPECT_EQ(drive[1], L':');
    cfg.stop_free_mb = INT_MAX;
    EXPECT_FALSE(storage_gate(&cfg, dir.c_str(), warning, &free_mb, drive));
    cfg.stop_free_mb = 0;
    cfg.warn_free_mb = INT_MAX;
    EXPECT_TRUE(storage_gate(&cfg, dir.c_str(), warning, nullptr, nullptr));
    EXPECT_STREQ(warning, L"low_space");
    test_remove_tree(dir);
}

// ---- Requests against a stand-alone agent state

class ShotRequests : public ::testing::Test {
protected:
    void SetUp() override {
        dir = test_temp_dir(L"ivra-shots-");
        SetEnvironmentVariableW(L"APPDATA", dir.c_str());
        config cfg;
        config_defaults(&cfg);
        wcscpy(cfg.stills_dir, dir.c_str());
        cfg.stop_free_mb = 0;
        cfg.warn_free_mb = 0;
        cfg.play_sound = 0;
        // Picks freeze the screen first; without a display cache nothing can be frozen.
        cfg.region_freeze = 1;
        agent_config_set(&cfg);
        InterlockedExchange(&g_agent.quitting, 0);
        InterlockedExchange(&g_agent.selecting, 0);
        g_agent.frames_stills = frame_pool_create("stills", 4, 64ull << 20);
        ASSERT_NE(g_agent.frames_stills, nullptr);
        // Picks reach the overlay through the agent's wiring.
        capture_wiring_install();
    }
    void TearDown() override {
        frame_stats st{};
        frame_pool_stats(g_agent.frames_stills, &st);
        EXPECT_EQ(st.in_use, 0) << "a buffer was kept";
        frame_pool_destroy(g_agent.frames_stills);
        g_agent.frames_stills = nullptr;
        InterlockedExchange(&g_agent.quitting, 0);
        InterlockedExchange(&g_agent.selecting, 0);
        test_remove_tree(dir);
    }
    // Runs the request on this thread and returns its answer; the job is freed.
    std::wstring answer(shot_job* job, int* ok = nullptr) {
        still_pipe_shot(nullptr, job);
        EXPECT_EQ(WaitForSingleObject(job->done, 0), WAIT_OBJECT_0) << "no answer";
        EXPECT_EQ(job->refs, 1) << "the capture side kept its reference";
        std::wstring e = job->error;
        if (ok) *ok = job->ok;
        shot_job_release(job);
        return e;
    }
    std::wstring dir;
};

TEST_F(ShotRequests, RefusalsAnswerOnceWithTheirCode) {
    struct {
        const char* name;
        int kind;
        int quitting, selecting;
        const wchar_t* want;
    } cases[] = {
        {"quitting", SHOT_MONITOR, 1, 0, L"busy\tmsg=another capture selection is active or the agent is stopping"},
        {"selecting", SHOT_WINDOW, 0, 1, L"busy\tmsg=another capture selection is active or the agent is stopping"},
        {"pick with nothing to freeze", SHOT_PICK, 0, 0, L"cancelled\tmsg=pick cancelled"},
        {"no window", SHOT_WINDOW, 0, 0, L"bad_hwnd\tmsg=window does not exist"},
        {"monitor without cache", SHOT_MONITOR, 0, 0, L"capture\tmsg=capture failed (see agent log)"},
    };
    for (const auto& c : cases) {
        InterlockedExchange(&g_agent.quitting, c.quitting);
        InterlockedExchange(&g_agent.selecting, c.selecting);
        shot_job* job = shot_job_create();
        ASSERT_NE(job, nullptr);
        job->kind = c.kind;
        job->hwnd = (HWND)(ULONG_PTR)0x7ff0;
        int ok = 1;
        EXPECT_EQ(answer(job, &ok), c.want) << c.name;
        EXPECT_EQ(ok, 0) << c.name;
        EXPECT_EQ(g_agent.selecting, c.selecting) << c.name << ": the selecting flag was left changed";
    }
}

// Every way a selection fails to open or ends without a rectangle answers the waiting pick
// exactly once and leaves the selecting flag clear (or, when another selection holds it, set).
TEST_F(ShotRequests, SelectionFailuresAnswerThePickOnce) {
    struct {
        const char* name;
        int freeze, selecting;
        bool started;
        const wchar_t* want;
    } cases[] = {
        {"another selection open", 0, 1, false, L"busy\tmsg=region overlay already active"},
        {"frozen look, nothing to freeze", 1, 0, false, L"cancelled\tmsg=pick cancelled"},
        // No input broker runs here: the overlay cannot get its input and cancels on its thread.
        {"live look without an input broker", 0, 0, true, L"cancelled\tmsg=pick cancelled"},
    };
    for (const auto& c : cases) {
        config cfg;
        agent_config_copy(&cfg);
        cfg.region_freeze = c.freeze;
        agent_config_set(&cfg);
        InterlockedExchange(&g_agent.selecting, c.selecting);
        shot_job* job = shot_job_create();
        ASSERT_NE(job, nullptr);
        EXPECT_EQ(still_region_pick(nullptr, 0, job, L"", 0), c.started) << c.name;
        overlay_wait();
        EXPECT_EQ(WaitForSingleObject(job->done, 0), WAIT_OBJECT_0) << c.name << ": no answer";
        EXPECT_EQ(job->refs, 1) << c.name << ": the selection kept the request's reference";
        EXPECT_STREQ(job->error, c.want) << c.name;
        EXPECT_EQ(job->ok, 0) << c.name;
        EXPECT_EQ(g_agent.selecting, c.selecting) << c.name << ": the selecting flag was left changed";
        shot_job_release(job);
    }
}

TEST_F(ShotRequests, RectanglesWithoutCoverage) {
    struct {
        LONG l, t, r, b;
    } cases[] = {{10, 10, 0, 0}, {0, 0, 0, 50}, {-900000, -900000, -899000, -899000}};
    for (const auto& c : cases) {
        shot_job* job = shot_job_create();
        job->kind = SHOT_RECT;
        job->left = c.l, job->top = c.t, job->right = c.r, job->bottom = c.b;
        EXPECT_EQ(answer(job), L"no_coverage\tmsg=rect covers no monitor") << c.l << "," << c.t;
    }
}

// What is refused before or instead of a capture, with a code of the refusal table.
TEST_F(ShotRequests, RefusedWithTableCodes) {
    display_cache* cache = display_cache_build();
    ASSERT_NE(cache, nullptr);
    // A stills folder that leaves no room for a generated name.
    const size_t room = 259 - 29 - dir.size();
    const std::wstring deep = dir + L"\\" + std::wstring(room, L'n');
    struct {
        const char* name;
        int kind, monitor;
        LONG l, t, r, b;
        int format;
        bool deep_folder;
        const wchar_t* want;
    } cases[] = {
        {"monitor -2", SHOT_MONITOR, -2, 0, 0, 0, 0, -1, false, L"capture\tmsg=capture failed (see agent log)"},
        {"monitor 7", SHOT_MONITOR, 7, 0, 0, 0, 0, -1, false, L"capture\tmsg=capture failed (see agent log)"},
        {"no name", SHOT_MONITOR, 0, 0, 0, 0, 0, -1, true, L"internal\tmsg=the capture name does not fit"},
        {"far off and huge", SHOT_RECT, -1, INT_MIN, 0, -1, 5, -1, false, L"no_coverage\tmsg=rect covers no monitor"},
        {"over the budget", SHOT_RECT, -1, 0, 0, 15000, 15000, 0, false,
         L"capture\tmsg=a 15000x15000 PNG shot is too large: it needs"},
        {"beyond PNG", SHOT_RECT, -1, 0, 0, 20000, 20000, 0, false,
         L"encode\tmsg=20000x20000 is too large for PNG: (8 x width + 1024) x (height + 128) must stay below 2^31."},
        {"beyond JPEG", SHOT_RECT, -1, 0, 0, 70000, 1, 1, false,
         L"encode\tmsg=70000x1 is too large for JPEG, whose sides stop at 65500 pixels."},
    };
    for (const auto& c : cases) {
        config cfg;
        agent_config_copy(&cfg);
        wcscpy(cfg.stills_dir, c.deep_folder ? deep.c_str() : dir.c_str());
        agent_config_set(&cfg);
        shot_job* job = shot_job_create();
        job->kind = c.kind;
        job->monitor = c.monitor;
        job->left = c.l, job->top = c.t, job->right = c.r, job->bottom = c.b;
        job->format = c.format;
        still_pipe_shot(cache, job);
        ASSERT_EQ(WaitForSingleObject(job->done, 0), WAIT_OBJECT_0) << c.name;
        EXPECT_EQ(job->refs, 1) << c.name;
        EXPECT_EQ(std::wstring(job->error).rfind(c.want, 0), 0u) << c.name << ": " << test_utf8(job->error);
        shot_job_release(job);
    }
    display_cache_destroy(cache);
}

TEST_F(ShotRequests, DiskFullAndExhaustedPool) {
    config cfg;
    agent_config_copy(&cfg);
    cfg.stop_free_mb = INT_MAX;
    agent_config_set(&cfg);
    shot_job* job = shot_job_create();
    job->kind = SHOT_MONITOR;
    std::wstring e = answer(job);
    EXPECT_EQ(e, L"disk_full\tmsg=drive free space below stop_free_mb");

    cfg.stop_free_mb = 0;
    agent_config_set(&cfg);
    // A shot that fits the budget but finds every buffer taken may try again.
    HWND w = CreateWindowExW(0, L"STATIC", L"target", WS_POPUP | WS_VISIBLE, 10, 10, 40, 30, nullptr, nullptr, nullptr,
                             nullptr);
    ASSERT_NE(w, nullptr);
    frame_pool* keep = g_agent.frames_stills;
    g_agent.frames_stills = frame_pool_create("one", 1, 64ull << 20);
    frame_buffer* held = frame_pool_acquire(g_agent.frames_stills, 16);
    ASSERT_NE(held, nullptr);
    job = shot_job_create();
    job->kind = SHOT_WINDOW;
    job->hwnd = w;
    job->occluded = 1;
    EXPECT_EQ(answer(job), L"busy\tmsg=stills pool exhausted; try again");
    frame_pool_release(held);
    frame_pool_destroy(g_agent.frames_stills);
    g_agent.frames_stills = keep;
    DestroyWindow(w);
}

TEST_F(ShotRequests, MinimizedWindowKeepsNoBuffer) {
    HWND w = CreateWindowExW(0, L"STATIC", L"minimized target", WS_OVERLAPPEDWINDOW, 50, 50, 200, 150, nullptr, nullptr,
                             nullptr, nullptr);
    ASSERT_NE(w, nullptr);
    ShowWindow(w, SW_MINIMIZE);
    ASSERT_TRUE(IsIconic(w));
    shot_job* job = shot_job_create();
    job->kind = SHOT_WINDOW;
    job->hwnd = w;
    EXPECT_EQ(answer(job), L"minimized\tmsg=window is minimized");
    DestroyWindow(w);
}

// The save job answers a request with the file's real size, or with the encode error.
TEST_F(ShotRequests, SaveJobAnswers) {
    struct {
        const wchar_t* leaf;
        bool ok;
    } cases[] = {{L"\\shot.png", true}, {L"\\missing\\dir\\shot.png", false}};
    for (const auto& c : cases) {
        frame_buffer* buf = frame_pool_acquire(g_agent.frames_stills, 4 * 3 * 4);
        ASSERT_NE(buf, nullptr);
        ASSERT_TRUE(frame_buffer_ensure(buf, 4, 3, 16));
        memset(buf->pixels, 0x80, 4 * 3 * 4);
        std::wstring path = dir + c.leaf;
        wcscpy(buf->path, path.c_str());
        buf->format = 0;
        buf->jpeg_quality = 90;
        shot_job* job = shot_job_create();
        LARGE_INTEGER t;
        QueryPerformanceCounter(&t);
        job->start = t.QuadPart;
        buf->job = job;
        uint64_t before = capture_count();
        still_save_job(buf);
        ASSERT_EQ(WaitForSingleObject(job->done, 0), WAIT_OBJECT_0);
        EXPECT_EQ(job->refs, 1);
        EXPECT_EQ(job->ok, c.ok ? 1 : 0);
        if (c.ok) {
            WIN32_FILE_ATTRIBUTE_DATA fa{};
            ASSERT_TRUE(GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &fa));
            EXPECT_EQ(job->bytes, ((uint64_t)fa.nFileSizeHigh << 32) | fa.nFileSizeLow);
            EXPECT_GT(job->bytes, 0u);
            EXPECT_EQ(job->width, 4);
            EXPECT_EQ(job->height, 3);
            EXPECT_GE(job->ms, 0);
            EXPECT_EQ(capture_count(), before + 1);
        } else {
            EXPECT_STREQ(job->error, L"encode\tmsg=encode failed");
            EXPECT_EQ(capture_count(), before);
        }
        shot_job_release(job);
    }
}

}  // namespace

namespace {

region_result* make_region(LONG l, LONG t, LONG r, LONG b, shot_job* job) {
    region_result* rr = (region_result*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(region_result));
    rr->left = l, rr->top = t, rr->right = r, rr->bottom = b;
    rr->job = job;
    return rr;
}

// A region result answers its waiting request exactly once, whatever goes wrong.
TEST_F(ShotRequests, RegionResultsAnswerTheirRequest) {
    struct {
        const char* name;
        LONG l, t, r, b;
        uint64_t budget;
        int held;
        const wchar_t* want;
    } cases[] = {
        {"no display cache", 0, 0, 64, 48, 64ull << 20, 0, L"capture\tmsg=capture failed (see agent log)"},
        {"no free buffer", 0, 0, 640, 480, 64ull << 20, 2, L"busy\tmsg=stills pool exhausted; try again"},
        {"beyond the budget", 0, 0, 640, 480, 16, 0, L"capture\tmsg=a 640x480 PNG shot is too large"},
    };
    for (const auto& c : cases) {
        frame_pool* keep = g_agent.frames_stills;
        g_agent.frames_stills = frame_pool_create("region", 2, c.budget);
        frame_buffer* held[2] = {};
        for (int i = 0; i < c.held; i++) held[i] = frame_pool_acquire(g_agent.frames_stills, 16);
        shot_job* job = shot_job_create();
        still_region_result(nullptr, make_region(c.l, c.t, c.r, c.b, job));
        EXPECT_EQ(WaitForSingleObject(job->done, 0), WAIT_OBJECT_0) << c.name;
        EXPECT_EQ(job->refs, 1) << c.name;
        EXPECT_EQ(std::wstring(job->error).rfind(c.want, 0), 0u) << c.name << ": " << job->error;
        shot_job_release(job);
        for (frame_buffer* b : held) frame_pool_release(b);
        frame_stats st{};
        frame_pool_stats(g_agent.frames_stills, &st);
        EXPECT_EQ(st.in_use, 0) << c.name;
        frame_pool_destroy(g_agent.frames_stills);
        g_agent.frames_stills = keep;
    }
    // Without a request nothing is waiting; the record is simply consumed.
    still_region_result(nullptr, make_region(0, 0, 10, 10, nullptr));
    // Freed unanswered (the capture thread ends): the request learns it was cancelled.
    shot_job* job = shot_job_create();
    still_region_free(make_region(0, 0, 10, 10, job), "capture thread stopped");
    EXPECT_STREQ(job->error, L"cancelled\tmsg=capture thread stopped");
    EXPECT_EQ(job->refs, 1);
    shot_job_release(job);
}

// A selection made for another requester (a region clip) goes to it, never to a still.
struct region_taker {
    int takes = 0, drops = 0, digit = -1;
    RECT rect{};
    std::string why;
};

void region_take(display_cache*, void* owner, const RECT* rect, int digit) {
    region_taker* t = (region_taker*)owner;
    t->takes++;
    t->rect = *rect;
    t->digit = digit;
}

void region_drop(void* owner, const char* why) {
    region_taker* t = (region_taker*)owner;
    t->drops++;
    t->why = why;
}

TEST_F(ShotRequests, RegionResultsForAnotherRequester) {
    region_taker taker;
    region_result* rr = make_region(10, 20, 110, 220, nullptr);
    rr->digit = 4;
    rr->take = region_take;
    rr->drop = region_drop;
    rr->owner = &taker;
    still_region_result(nullptr, rr);
    EXPECT_EQ(taker.takes, 1);
    EXPECT_EQ(taker.drops, 0) << "a taken selection must not also be dropped";
    EXPECT_EQ(taker.digit, 4);
    EXPECT_EQ(taker.rect.left, 10);
    EXPECT_EQ(taker.rect.bottom, 220);

    // Freed unused (the capture thread ends): the requester hears why, once.
    rr = make_region(0, 0, 10, 10, nullptr);
    rr->take = region_take;
    rr->drop = region_drop;
    rr->owner = &taker;
    still_region_free(rr, "capture thread stopped");
    EXPECT_EQ(taker.takes, 1);
    EXPECT_EQ(taker.drops, 1);
    EXPECT_EQ(taker.why, "capture thread stopped");
}

}  // namespace

#include "agent/core/worker_pool.h"

namespace {

HANDLE g_gate_event = nullptr;
HANDLE g_started_event = nullptr;
void blocking_job(void*) {
    SetEvent(g_started_event);
    WaitForSingleObject(g_gate_event, 10000);
}

// A full stills queue refuses the save: the request hears "busy" and no buffer stays taken.
TEST_F(ShotRequests, FullStillsQueueAnswersBusy) {
    HWND w = CreateWindowExW(0, L"STATIC", L"target", WS_POPUP | WS_VISIBLE, 10, 10, 40, 30, nullptr, nullptr, nullptr,
                             nullptr);
    ASSERT_NE(w, nullptr);
    g_gate_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_started_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    worker_pool* pool = worker_pool_create("stills-test", 1, 1, THREAD_PRIORITY_NORMAL);
    ASSERT_NE(pool, nullptr);
    ASSERT_TRUE(worker_pool_submit(pool, blocking_job, nullptr));
    // Only once the worker holds the first job does a full queue stay full: a refusal seen
    // while it has not taken it yet would be followed by a free place for the shot.
    ASSERT_EQ(WaitForSingleObject(g_started_event, 10000), WAIT_OBJECT_0);
    while (worker_pool_submit(pool, blocking_job, nullptr)) {}
    worker_pool* keep = g_agent.stills;
    g_agent.stills = pool;

    shot_job* job = shot_job_create();
    job->kind = SHOT_WINDOW;
    job->hwnd = w;
    job->occluded = 1;
    wcscpy(job->path, (dir + L"\\never.png").c_str());
    EXPECT_EQ(answer(job), L"busy\tmsg=stills pool exhausted; try again");
    EXPECT_EQ(GetFileAttributesW((dir + L"\\never.png").c_str()), INVALID_FILE_ATTRIBUTES);

    SetEvent(g_gate_event);
    worker_pool_destroy(pool, 10000);
    g_agent.stills = keep;
    CloseHandle(g_gate_event);
    CloseHandle(g_started_event);
    DestroyWindow(w);
}

}  // namespace
