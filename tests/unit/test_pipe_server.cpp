// Control pipe: the pure request/reply helpers by tables, then the real listener
// and pool in this process, talking to it as a client would.
#include "agent/pipe/pipe_server.h"
#include "agent/core/agent.h"
#include "agent/core/messages.h"
#include "agent/core/worker_pool.h"
#include "agent/maint/diag.h"
#include "tests/unit/test_support.h"
#include <gtest/gtest.h>
#include <aclapi.h>
#include <climits>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

// The log and the dumps go to a private data folder, set before anything logs.
std::wstring g_appdata = [] {
    std::wstring dir = test_temp_dir(L"ivra-pipe-unit-");
    SetEnvironmentVariableW(L"APPDATA", dir.c_str());
    return dir;
}();

// Removes the private data folder (log and dumps) when the program ends.
struct cleanup_env : ::testing::Environment {
    void TearDown() override { test_remove_tree(g_appdata); }
};
::testing::Environment* const g_cleanup = ::testing::AddGlobalTestEnvironment(new cleanup_env);

const char* const UNKNOWN = "err\tcode=usage\tmsg=unknown command\n";

std::string log_text() { return test_read_all(g_appdata + L"\\Ivra\\ivrad.log"); }

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
    if (!req.empty()) WriteFile(h, req.data(), (DWORD)req.size(), &n, nullptr);
    std::string reply = test_read_until_eof(h);
    CloseHandle(h);
    return reply;
}

bool listener_up(worker_pool* pool) {
    g_agent.pipe = pool;
    InterlockedExchange(&g_agent.quitting, 0);
    if (!pipe_listener_start()) return false;
    return test_wait_until([] { return exchange("ping\n") == "ok\n"; }, 5000);
}

bool listener_down() {
    InterlockedExchange(&g_agent.quitting, 1);
    pipe_listener_wake();
    return pipe_listener_wait(3000);
}

}  // namespace

// ---------------------------------------------------------------- pure helpers

TEST(PipeParse, SplitCutsAtLineFeedAndFirstTab) {
    struct {
        std::string in;
        const char* cmd;
        const char* args;
    } cases[] = {
        {"ping\n", "ping", ""},
        {"ping", "ping", ""},
        {"ping\r\n", "ping\r", ""},
        {"shot\ttarget=window\thwnd=12\n", "shot", "target=window\thwnd=12"},
        {"a\tb\nc\td\n", "a", "b"},
        {"\n", "", ""},
        {"x\t\n", "x", ""},
        {"clip\top=x\r\n", "clip", "op=x\r"},
        {std::string("pi\0ng\n", 6), "pi", ""},
        {std::string("up\tk=v\0\tz=1\n", 12), "up", "k=v"},
    };
    for (auto& c : cases) {
        std::vector<char> buf(c.in.begin(), c.in.end());
        buf.push_back(0);
        const char* cmd = nullptr;
        const char* args = nullptr;
        pipe_request_split(buf.data(), &cmd, &args);
        EXPECT_STREQ(cmd, c.cmd) << c.in;
        EXPECT_STREQ(args, c.args) << c.in;
    }
}

TEST(PipeParse, ReadStopsAtLineFeedOrLimit) {
    std::string big(8191, 'a');
    struct {
        size_t got;
        bool lf_at_end;
        bool done;
    } cases[] = {{0, false, false},    {4, false, false},   {5, true, true},
                 {8190, false, false}, {8191, false, true}, {8190, true, true}};
    for (auto& c : cases) {
        std::string s = big.substr(0, c.got);
        if (c.lf_at_end && c.got) s[c.got - 1] = '\n';
        EXPECT_EQ(pipe_read_complete(s.data(), s.size()), c.done) << c.got;
    }
}

TEST(PipeParse, RequestSummary) {
    char out[PIPE_SUMMARY_CAP];
    struct {
        std::string cmd, args, want;
    } cases[] = {
        {"PING", "", "PING "},
        {"ping\r", "", "ping\r "},
        {"shot", "target=window\thwnd=1", "shot target=window hwnd=1"},
        {"x", std::string(500, 'b'), "x " + std::string(237, 'b')},
    };
    for (auto& c : cases) {
        size_t n = pipe_request_summary(c.cmd.c_str(), c.args.c_str(), out);
        EXPECT_EQ(std::string(out), c.want);
        EXPECT_EQ(n, c.want.size());
        EXPECT_LE(n, 239u);
    }
}

TEST(PipeParse, ReplySummary) {
    char out[PIPE_REPLY_SUMMARY_CAP];
    struct {
        std::string in, want;
    } cases[] = {
        {"ok\n", "ok"},
        {UNKNOWN, "err code=usage msg=unknown command"},
        {"ok\tpath=a\nsecond line\n", "ok path=a"},
        {"ok\tx=" + std::string(300, 'v') + "\n", ("ok x=" + std::string(300, 'v')).substr(0, 99)},
        {"", ""},
    };
    for (auto& c : cases) {
        size_t n = pipe_reply_summary_of(c.in.data(), c.in.size(), out);
        EXPECT_EQ(std::string(out), c.want);
        EXPECT_EQ(n, c.want.size());
    }
}

TEST(PipeParse, QuietRequests) {
    struct {
        const char* cmd;
        const char* args;
        bool quiet;
    } cases[] = {
        {"ping", "", true},           {"status", "", true},        {"screens", "", true},
        {"input", "", true},          {"storage", "", true},       {"clip", "op=status", true},
        {"clip", "x=1\top=ui", true}, {"clip", "op=start", false}, {"upload", "op=status", true},
        {"upload", "op=ui", false},   {"upload", "op=add", false}, {"reload", "", false},
        {"shot", "", false},          {"dump", "", false},         {"debug", "op=hang_main", false},
        {"PING", "", false},          {"ping\r", "", false},       {"", "", false},
    };
    for (auto& c : cases) EXPECT_EQ(pipe_request_quiet(c.cmd, c.args), c.quiet) << c.cmd << " " << c.args;
}

TEST(PipeParse, ErrorReplyIsOneLineWithinCapacity) {
    char out[PIPE_ERR_CAP];
    size_t n = pipe_err_format(out, "usage", "unknown command");
    EXPECT_EQ(std::string(out, n), UNKNOWN);
    n = pipe_err_format(out, "busy", "too many connections");
    EXPECT_EQ(std::string(out, n), "err\tcode=busy\tmsg=too many connections\n");
    std::string long_msg(3000, 'm');
    n = pipe_err_format(out, "x", long_msg.c_str());
    EXPECT_EQ(n, 1023u);
    EXPECT_EQ(strlen(out), 1023u);
    EXPECT_EQ(out[1022], '\n');
    EXPECT_EQ(std::string(out).find('\n'), 1022u);
}

TEST(PipeParse, FieldLookup) {
    struct {
        const char* args;
        const char* key;
        const char* want;
    } cases[] = {
        {"op=add\tpath=a\tpath=b", "path", "a"},
        {"op=add\tpath=a\tpath=b", "pat", ""},
        {"op=add\tpath=a\tpath=b", "op", "add"},
        {"opx=1", "op", ""},
        {"op", "op", ""},
        {"op\top=2", "op", "2"},
        {"op=\top=2", "op", ""},
        {"Op=1", "op", ""},
        {"a=1\tb=x=y", "b", "x=y"},
        {"ms=12\r", "ms", "12\r"},
        {"", "op", ""},
        {"=v", "", "v"},
    };
    for (auto& c : cases) EXPECT_STREQ(pipe_field_get(c.args, c.key), c.want) << c.args << " / " << c.key;
}

TEST(PipeParse, FieldValueIsCutTo1023AndBufferIsReused) {
    std::string args = "k=" + std::string(2000, 'v') + "\tj=1";
    const char* v = pipe_field_get(args.c_str(), "k");
    EXPECT_EQ(strlen(v), 1023u);
    const char* w = pipe_field_get(args.c_str(), "j");
    EXPECT_EQ(v, w);  // one per-thread buffer
    EXPECT_STREQ(w, "1");
    char small[4];
    EXPECT_TRUE(pipe_field_find("k=abcdef", "k", small, sizeof small));
    EXPECT_STREQ(small, "abc");
    EXPECT_FALSE(pipe_field_find("k=", "k", small, sizeof small));
    EXPECT_STREQ(small, "");
}

TEST(PipeParse, DebugHooksAndDuration) {
    struct {
        DWORD len;
        const wchar_t* value;
        bool on;
    } hooks[] = {{0, L"", false},       {1, L"1", true}, {1, L"0", false},  {3, L"1ab", true},
                 {7, L"1234567", true}, {9, L"", false}, {2, L"yes", false}};
    for (auto& h : hooks) EXPECT_EQ(pipe_debug_hooks_on(h.len, h.value), h.on) << h.len;

    struct {
        const char* text;
        uint32_t ms;
    } durations[] = {{"", 8000},     {"-5", 8000},  {"0", 8000},
                     {"250", 250},   {"12abc", 12}, {" 42", 42},
                     {"+7", 7},      {"abc", 8000}, {"99999999999999", (uint32_t)INT_MAX},
                     {nullptr, 8000}};
    for (auto& d : durations) EXPECT_EQ(pipe_debug_ms(d.text), d.ms) << (d.text ? d.text : "(null)");
}

TEST(PipeParse, DispatchTable) {
    EXPECT_NE(pipe_dispatch_find("ping"), nullptr);
    EXPECT_NE(pipe_dispatch_find("reload"), nullptr);
    EXPECT_NE(pipe_dispatch_find("dump"), nullptr);
    EXPECT_NE(pipe_dispatch_find("debug"), nullptr);
    for (const char* w : {"PING", "ping\r", "pin", "pingx", "", "Dump"}) EXPECT_EQ(pipe_dispatch_find(w), nullptr) << w;
}

// ---------------------------------------------------------------- minidumps

TEST(Diag, DumpNameAndOldest) {
    SYSTEMTIME t = test_systemtime(2026, 3, 4, 5, 6, 7);
    struct {
        const wchar_t* folder;
        const char* tag;
        int counter;
        const wchar_t* want;  // null: refused
    } names[] = {
        {L"C:\\d", "ondemand", 1, L"C:\\d\\ivrad_20260304_050607_ondemand.dmp"},
        {L"C:\\d", "ondemand", 2, L"C:\\d\\ivrad_20260304_050607_ondemand_2.dmp"},
        {L"C:\\d", "hang", 100, L"C:\\d\\ivrad_20260304_050607_hang_100.dmp"},
        {L"C:\\d", "hang", 0, nullptr},
        {L"C:\\d", "hang", 101, nullptr},
    };
    for (auto& n : names) {
        wchar_t out[260] = L"untouched";
        EXPECT_EQ(diag_dump_name(n.folder, &t, n.tag, n.counter, out), n.want != nullptr) << n.counter;
        EXPECT_STREQ(out, n.want ? n.want : L"untouched") << n.counter;
    }
    std::wstring deep(250, L'x');
    wchar_t out[260] = L"untouched";
    EXPECT_FALSE(diag_dump_name(deep.c_str(), &t, "hang", 1, out));
    EXPECT_STREQ(out, L"untouched");

    FILETIME times[3] = {{5, 1}, {7, 0}, {9, 1}};
    EXPECT_EQ(diag_oldest(times, 3), 1);
    EXPECT_EQ(diag_oldest(times, 0), -1);
}

TEST(Diag, MinidumpIsRealAndFolderKeepsSix) {
    std::wstring dir = g_appdata + L"\\Ivra\\dumps";
    CreateDirectoryW((g_appdata + L"\\Ivra").c_str(), nullptr);
    CreateDirectoryW(dir.c_str(), nullptr);
    // Eight old dumps, one of them dated in the future: the new dump must survive the prune anyway.
    FILETIME base;
    GetSystemTimeAsFileTime(&base);
    for (int i = 0; i < 8; i++) {
        std::wstring p = dir + L"\\old" + std::to_wstring(i) + L".dmp";
        HANDLE f = CreateFileW(p.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(f, INVALID_HANDLE_VALUE);
        ULARGE_INTEGER u{};
        u.LowPart = base.dwLowDateTime;
        u.HighPart = base.dwHighDateTime;
        u.QuadPart = i == 7 ? u.QuadPart + 36000000000ULL : u.QuadPart - (ULONGLONG)(100 - i) * 600000000ULL;
        FILETIME ft{u.LowPart, u.HighPart};
        SetFileTime(f, nullptr, nullptr, &ft);
        CloseHandle(f);
    }
    // Every plain name of the next two minutes is taken (and oldest of all): the dump
    // must take a counted name rather than overwrite one of them.
    SYSTEMTIME now;
    GetLocalTime(&now);
    FILETIME local_ft, start_ft;
    SystemTimeToFileTime(&now, &local_ft);
    std::vector<std::wstring> taken;
    for (int s = 0; s < 120; s++) {
        ULARGE_INTEGER u{};
        u.LowPart = local_ft.dwLowDateTime;
        u.HighPart = local_ft.dwHighDateTime;
        u.QuadPart += (ULONGLONG)s * 10000000ULL;
        start_ft = {u.LowPart, u.HighPart};
        SYSTEMTIME at;
        FileTimeToSystemTime(&start_ft, &at);
        wchar_t name[260];
        ASSERT_TRUE(diag_dump_name(dir.c_str(), &at, "ondemand", 1, name));
        HANDLE t = CreateFileW(name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(t, INVALID_HANDLE_VALUE);
        FILETIME ancient{1, 0};
        SetFileTime(t, nullptr, nullptr, &ancient);
        CloseHandle(t);
        taken.push_back(wcsrchr(name, L'\\') + 1);
    }
    wchar_t path[260] = L"";
    ASSERT_TRUE(write_minidump("ondemand", nullptr, path));
    EXPECT_NE(wcsstr(path, L"_ondemand_2.dmp"), nullptr);
    HANDLE f = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(f, INVALID_HANDLE_VALUE);
    char sig[4] = {};
    DWORD n = 0;
    ReadFile(f, sig, 4, &n, nullptr);
    LARGE_INTEGER size{};
    GetFileSizeEx(f, &size);
    CloseHandle(f);
    EXPECT_EQ(std::string(sig, n), "MDMP");
    EXPECT_GT(size.QuadPart, 1024);

    int left = 0;
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW((dir + L"\\*.dmp").c_str(), &fd);
    std::vector<std::wstring> names;
    if (find != INVALID_HANDLE_VALUE) {
        do {
            left++;
            names.push_back(fd.cFileName);
        } while (FindNextFileW(find, &fd));
        FindClose(find);
    }
    EXPECT_EQ(left, 6);
    auto has = [&](const std::wstring& n) {
        for (auto& x : names)
            if (x == n) return true;
        return false;
    };
    EXPECT_FALSE(has(L"old0.dmp"));
    EXPECT_FALSE(has(L"old1.dmp"));
    EXPECT_FALSE(has(L"old2.dmp"));
    EXPECT_TRUE(has(L"old7.dmp"));
    for (auto& t : taken) EXPECT_FALSE(has(t));  // the oldest of all went first
    EXPECT_TRUE(has(wcsrchr(path, L'\\') + 1));
}

// ---------------------------------------------------------------- the listener in this process

class PipeServer : public ::testing::Test {
protected:
    static worker_pool* pool;
    static HWND wnd;

    static void SetUpTestSuite() {
        pool = worker_pool_create("ivra-pipe", 8, 64, THREAD_PRIORITY_NORMAL);
        ASSERT_NE(pool, nullptr);
        wnd = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
        g_agent.wnd = wnd;
        ASSERT_TRUE(listener_up(pool));
    }
    static void TearDownTestSuite() {
        EXPECT_TRUE(listener_down());
        EXPECT_TRUE(worker_pool_destroy(pool, 3000));
        DestroyWindow(wnd);
        g_agent.wnd = nullptr;
        g_agent.pipe = nullptr;
    }
    void SetUp() override {
        SetEnvironmentVariableW(L"IVRA_DEBUG_HOOKS", nullptr);
        ASSERT_TRUE(test_wait_until([] { return pipe_active_count() == 0; }, 15000));
    }
    // The wParam of the debug sleep posted to the window, or -1 when none came.
    static long long take_debug_post() {
        MSG m;
        long long got = -1;
        while (PeekMessageW(&m, wnd, WM_AGENT_DEBUG_SLEEP, WM_AGENT_DEBUG_SLEEP, PM_REMOVE)) got = (long long)m.wParam;
        return got;
    }
};
worker_pool* PipeServer::pool;
HWND PipeServer::wnd;

TEST_F(PipeServer, ExchangesAndTheirLogLines) {
    struct {
        std::string req, reply;
    } cases[] = {
        {"ping\n", "ok\n"},      {"PING\n", UNKNOWN},      {"ping\r\n", UNKNOWN},
        {"ping\tx=1\n", "ok\n"}, {"ping\nPING\n", "ok\n"}, {std::string("ping\0junk\n", 10), "ok\n"},
        {"\n", UNKNOWN},         {"stat\n", UNKNOWN},      {"Ping\n", UNKNOWN},
    };
    size_t before = log_text().size();
    for (auto& c : cases) EXPECT_EQ(exchange(c.req), c.reply) << c.req;
    EXPECT_TRUE(test_wait_until([] { return pipe_active_count() == 0; }, 5000));
    std::string log;
    ASSERT_TRUE(test_wait_until([&] { return test_count_of((log = log_text().substr(before)), "pipe: ") >= 5; }, 5000))
        << log;
    EXPECT_EQ(test_count_of(log, "pipe: PING  -> err code=usage msg=unknown command ("), 1u) << log;
    // The carriage return reaches the log escaped, never as a line break of its own.
    EXPECT_EQ(test_count_of(log, "pipe: ping\\r  -> err code=usage msg=unknown command ("), 1u) << log;
    EXPECT_EQ(test_count_of(log, "\r"), 0u) << log;
    EXPECT_EQ(test_count_of(log, "pipe: stat  -> err code=usage msg=unknown command ("), 1u) << log;
    EXPECT_EQ(test_count_of(log, "pipe: ping "), 0u) << log;
    EXPECT_EQ(test_count_of(log, "pipe: "), 5u) << log;  // PING, ping\r, the blank request, stat, Ping
}

TEST_F(PipeServer, OpenAndCloseIsSilentAndUncounted) {
    size_t before = log_text().size();
    for (int i = 0; i < 5; i++) {
        HANDLE h = client_open();
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        CloseHandle(h);
    }
    EXPECT_TRUE(test_wait_until([] { return pipe_active_count() == 0; }, 5000));
    EXPECT_EQ(exchange("ping\n"), "ok\n");
    EXPECT_EQ(test_count_of(log_text().substr(before), "pipe: "), 0u);
}

TEST_F(PipeServer, RequestWithoutLineFeedIsDispatchedWhenClientCloses) {
    size_t before = log_text().size();
    HANDLE h = client_open();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD n = 0;
    WriteFile(h, "PING", 4, &n, nullptr);
    CloseHandle(h);
    EXPECT_TRUE(test_wait_until(
        [&] { return test_count_of(log_text().substr(before), "pipe: PING  -> err code=usage") == 1; }, 5000));
}

TEST_F(PipeServer, LongRequestIsCutAt8191Bytes) {
    SetEnvironmentVariableW(L"IVRA_DEBUG_HOOKS", L"1");
    take_debug_post();
    std::string head = "debug\top=hang_main\tpad=";
    std::string tail = "\tms=";
    std::string req = head + std::string(8188 - head.size() - tail.size(), 'x') + tail;
    ASSERT_EQ(req.size(), 8188u);
    req += "1234567";
    req += std::string(9000 - req.size(), 'y');  // no line feed anywhere
    EXPECT_EQ(exchange(req), "ok\n");
    EXPECT_EQ(take_debug_post(), 123);  // only "123" of the digits lay within the first 8191 bytes
}

TEST_F(PipeServer, DebugHooks) {
    struct {
        const wchar_t* env;
        std::string req, reply;
        long long posted;
    } cases[] = {
        {nullptr, "debug\top=hang_main\n", "err\tcode=disabled\tmsg=start the agent with IVRA_DEBUG_HOOKS=1\n", -1},
        {L"0", "debug\top=hang_main\n", "err\tcode=disabled\tmsg=start the agent with IVRA_DEBUG_HOOKS=1\n", -1},
        {L"12345678", "debug\top=hang_main\n", "err\tcode=disabled\tmsg=start the agent with IVRA_DEBUG_HOOKS=1\n", -1},
        {L"1", "debug\top=hang_main\n", "ok\n", 8000},
        {L"1", "debug\top=hang_main\tms=-5\n", "ok\n", 8000},
        {L"1", "debug\tms=300\top=hang_main\n", "ok\n", 300},
        {L"1", "debug\top=hang\n", "err\tcode=usage\tmsg=debug op=hang_main ms=N\n", -1},
        {L"1", "debug\n", "err\tcode=usage\tmsg=debug op=hang_main ms=N\n", -1},
    };
    take_debug_post();
    for (auto& c : cases) {
        SetEnvironmentVariableW(L"IVRA_DEBUG_HOOKS", c.env);
        EXPECT_EQ(exchange(c.req), c.reply) << c.req;
        EXPECT_EQ(take_debug_post(), c.posted) << c.req;
    }
}

TEST_F(PipeServer, OneDumpAtATimeEachUnderItsOwnName) {
    // Three requests 50 ms apart: a dump takes seconds, so the first is still being
    // written when the other two arrive, and they are answered at once.
    std::string replies[3];
    ULONGLONG answered_ms[3] = {};
    std::vector<std::thread> senders;
    ULONGLONG t0 = GetTickCount64();
    for (int i = 0; i < 3; i++) {
        senders.emplace_back([&, i] {
            replies[i] = exchange("dump\n");
            answered_ms[i] = GetTickCount64() - t0;
        });
        if (i < 2) {
            EXPECT_TRUE(test_wait_until([&] { return GetTickCount64() - t0 >= 50u * (i + 1); }, 1000));
        }
    }
    for (auto& t : senders) t.join();
    const std::string busy = "err\tcode=busy\tmsg=a dump is being written\n";
    int oks = 0;
    std::string path;
    for (int i = 0; i < 3; i++) {
        if (replies[i] == busy) continue;
        ASSERT_EQ(replies[i].rfind("ok\tpath=", 0), 0u) << replies[i];
        ASSERT_EQ(replies[i].back(), '\n');
        path = replies[i].substr(8, replies[i].size() - 9);
        oks++;
    }
    ASSERT_EQ(oks, 1) << replies[0] << replies[1] << replies[2];
    ULONGLONG slowest = 0;
    for (ULONGLONG ms : answered_ms) slowest = ms > slowest ? ms : slowest;
    for (int i = 0; i < 3; i++) {
        if (replies[i] == busy) {
            EXPECT_LT(answered_ms[i], slowest);  // not held until the dump ended
        }
    }
    wchar_t wpath[260];
    ASSERT_GT(MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, wpath, 260), 0);
    HANDLE f = CreateFileW(wpath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(f, INVALID_HANDLE_VALUE) << path;
    char sig[4] = {};
    DWORD n = 0;
    ReadFile(f, sig, 4, &n, nullptr);
    CloseHandle(f);
    EXPECT_EQ(std::string(sig, n), "MDMP");
}

TEST_F(PipeServer, SixtyFifthClientIsRefusedAtOnce) {
    std::vector<HANDLE> held;
    for (int i = 0; i < 64; i++) {
        HANDLE h = client_open();
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << i;
        held.push_back(h);
    }
    EXPECT_TRUE(test_wait_until([] { return pipe_active_count() == 64; }, 5000)) << pipe_active_count();
    ULONGLONG t0 = GetTickCount64();
    HANDLE extra = client_open();
    ASSERT_NE(extra, INVALID_HANDLE_VALUE);
    std::string reply = test_read_until_eof(extra);
    ULONGLONG ms = GetTickCount64() - t0;
    CloseHandle(extra);
    EXPECT_EQ(reply, "err\tcode=busy\tmsg=too many connections\n");
    EXPECT_LT(ms, 2000u);
    EXPECT_EQ(pipe_active_count(), 64);
    for (HANDLE h : held) CloseHandle(h);
    EXPECT_TRUE(test_wait_until([] { return pipe_active_count() == 0; }, 10000)) << pipe_active_count();
    EXPECT_EQ(exchange("ping\n"), "ok\n");
}

TEST_F(PipeServer, IdleConnectionsHoldNoWorker) {
    size_t before = log_text().size();
    std::vector<HANDLE> idle;
    for (int i = 0; i < 62; i++) {
        HANDLE h = client_open();
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        idle.push_back(h);
    }
    // One more that sent half a request: it is no more complete than silence.
    HANDLE partial = client_open();
    ASSERT_NE(partial, INVALID_HANDLE_VALUE);
    DWORD n = 0;
    WriteFile(partial, "pi", 2, &n, nullptr);
    idle.push_back(partial);
    ASSERT_TRUE(test_wait_until([] { return pipe_active_count() == 63; }, 10000)) << pipe_active_count();

    // Incomplete requests never reach a worker, so the eight are free for ping.
    ULONGLONG t0 = GetTickCount64();
    EXPECT_EQ(exchange("ping\n"), "ok\n");
    EXPECT_LT(GetTickCount64() - t0, 1000u);

    // Every held connection ends from the server side with no reply, once its 10 s are up.
    for (HANDLE h : idle) {
        std::string r = test_read_until_eof(h);
        EXPECT_EQ(r, "");
        CloseHandle(h);
    }
    EXPECT_GE(GetTickCount64() - t0, 8500u);
    EXPECT_TRUE(test_wait_until([] { return pipe_active_count() == 0; }, 5000));
    EXPECT_EQ(test_count_of(log_text().substr(before), "pipe: no request within 10 s; closed"), 63u);
}

TEST_F(PipeServer, ClientsThatNeverReadAreCutOffAfterFiveSeconds) {
    size_t before = log_text().size();
    std::vector<HANDLE> stalled;
    for (int i = 0; i < 8; i++) {
        HANDLE h = client_open();
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        DWORD n = 0;
        ASSERT_TRUE(WriteFile(h, "ping\n", 5, &n, nullptr));
        stalled.push_back(h);
    }
    ULONGLONG t0 = GetTickCount64();
    EXPECT_EQ(exchange("ping\n"), "ok\n");
    EXPECT_LT(GetTickCount64() - t0, 6000u);
    // Peeking leaves the reply unread; the server gives up on each and disconnects.
    for (HANDLE h : stalled) {
        EXPECT_TRUE(test_wait_until(
            [&] {
                DWORD avail = 0;
                return !PeekNamedPipe(h, nullptr, 0, nullptr, &avail, nullptr);
            },
            15000));
        CloseHandle(h);
    }
    EXPECT_TRUE(test_wait_until([] { return pipe_active_count() == 0; }, 5000));
    EXPECT_EQ(test_count_of(log_text().substr(before), "pipe: reply not read within 5 s; disconnected"), 8u);
    EXPECT_EQ(exchange("ping\n"), "ok\n");
}

TEST_F(PipeServer, StopEndsPromptlyWithConnectionsInEveryState) {
    std::vector<HANDLE> held;
    for (int i = 0; i < 4; i++) held.push_back(client_open());  // silent
    for (int i = 0; i < 4; i++) {                               // sent, never read
        HANDLE h = client_open();
        DWORD n = 0;
        WriteFile(h, "ping\n", 5, &n, nullptr);
        held.push_back(h);
    }
    for (HANDLE h : held) ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(test_wait_until([] { return pipe_active_count() == 8; }, 5000)) << pipe_active_count();
    ULONGLONG t0 = GetTickCount64();
    EXPECT_TRUE(listener_down());
    EXPECT_TRUE(test_wait_until([] { return pipe_active_count() == 0; }, 3000)) << pipe_active_count();
    EXPECT_LT(GetTickCount64() - t0, 3000u);
    for (HANDLE h : held) CloseHandle(h);
    ASSERT_TRUE(listener_up(pool));
}

TEST_F(PipeServer, PipeIsOpenOnlyToUserAndSystem) {
    HANDLE h = client_open();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    DWORD err = GetSecurityInfo(h, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr, &sd);
    CloseHandle(h);
    ASSERT_EQ(err, (DWORD)ERROR_SUCCESS);
    ASSERT_NE(dacl, nullptr);

    BYTE user_buf[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    HANDLE token;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    DWORD len = 0;
    ASSERT_TRUE(GetTokenInformation(token, TokenUser, user_buf, sizeof user_buf, &len));
    CloseHandle(token);
    PSID user = ((TOKEN_USER*)user_buf)->User.Sid;
    BYTE system[SECURITY_MAX_SID_SIZE];
    DWORD system_len = sizeof system;
    ASSERT_TRUE(CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &system_len));

    EXPECT_EQ(dacl->AceCount, 2);
    bool saw_user = false, saw_system = false;
    for (DWORD i = 0; i < dacl->AceCount; i++) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        ASSERT_TRUE(GetAce(dacl, i, (void**)&ace));
        EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
        PSID sid = (PSID)&ace->SidStart;
        saw_user |= EqualSid(sid, user) != 0;
        saw_system |= EqualSid(sid, (PSID)system) != 0;
    }
    EXPECT_TRUE(saw_user);
    EXPECT_TRUE(saw_system);
    LocalFree(sd);
}

// ---------------------------------------------------------------- listener start-up and refusals

TEST(PipeListener, DoesNotJoinAPipeHeldByAnotherServer) {
    worker_pool* pool = worker_pool_create("ivra-pipe", 2, 8, THREAD_PRIORITY_NORMAL);
    ASSERT_NE(pool, nullptr);
    // Stands in for another process that owns the name first.
    HANDLE squatter = CreateNamedPipeW(PIPE_NAME, PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE, PIPE_TYPE_BYTE,
                                       PIPE_UNLIMITED_INSTANCES, 8192, 8192, 0, nullptr);
    ASSERT_NE(squatter, INVALID_HANDLE_VALUE);
    size_t before = log_text().size();
    g_agent.pipe = pool;
    InterlockedExchange(&g_agent.quitting, 0);
    ASSERT_TRUE(pipe_listener_start());
    EXPECT_TRUE(test_wait_until(
        [&] { return test_count_of(log_text().substr(before), "CreateNamedPipeW failed 5") >= 2; }, 5000));
    EXPECT_EQ(test_count_of(log_text().substr(before), "is held by another process"), 1u);

    // A client reaches the squatter, never the agent. The client holds its end until the
    // squatter has seen it: one that left first would make ConnectNamedPipe fail with "no data".
    HANDLE seen = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(seen, nullptr);
    std::thread client([seen] {
        HANDLE h = client_open(30000);
        WaitForSingleObject(seen, 30000);
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    });
    EXPECT_TRUE(ConnectNamedPipe(squatter, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED) << GetLastError();
    SetEvent(seen);
    client.join();
    CloseHandle(seen);
    CloseHandle(squatter);

    // Once the name is free the agent claims it within its retry period.
    ULONGLONG t0 = GetTickCount64();
    EXPECT_TRUE(test_wait_until([] { return exchange("ping\n") == "ok\n"; }, 5000));
    EXPECT_LT(GetTickCount64() - t0, 3000u);
    EXPECT_NE(log_text().substr(before).find("pipe: listening again"), std::string::npos);
    EXPECT_TRUE(listener_down());
    EXPECT_TRUE(worker_pool_destroy(pool, 3000));
}

namespace {
struct gate_job {
    HANDLE started;
    HANDLE release;
};
void gate_wait(void* arg) {
    gate_job* g = (gate_job*)arg;
    SetEvent(g->started);
    WaitForSingleObject(g->release, 30000);
}
}  // namespace

TEST(PipeListener, FullQueueAndStoppingPoolAnswerBusy) {
    worker_pool* pool = worker_pool_create("ivra-pipe", 1, 1, THREAD_PRIORITY_NORMAL);
    ASSERT_NE(pool, nullptr);
    ASSERT_TRUE(listener_up(pool));
    gate_job gate{CreateEventW(nullptr, TRUE, FALSE, nullptr), CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    ASSERT_TRUE(worker_pool_submit(pool, gate_wait, &gate));  // holds the only worker
    ASSERT_EQ(WaitForSingleObject(gate.started, 5000), WAIT_OBJECT_0);
    ASSERT_TRUE(worker_pool_submit(pool, gate_wait, &gate));  // fills the one queue place
    // A silent connection is not refused: it holds nothing until its request is complete.
    HANDLE silent = client_open();
    ASSERT_NE(silent, INVALID_HANDLE_VALUE);
    EXPECT_EQ(exchange("ping\n"), "err\tcode=busy\tmsg=pipe queue full\n");
    EXPECT_EQ(pipe_active_count(), 1);
    CloseHandle(silent);
    SetEvent(gate.release);
    EXPECT_TRUE(test_wait_until([] { return pipe_active_count() == 0; }, 5000));
    // The worker drains the queued gate job on its own schedule; until then the queue is still full.
    EXPECT_TRUE(test_wait_until([] { return exchange("ping\n") == "ok\n"; }, 5000));
    EXPECT_TRUE(listener_down());
    EXPECT_TRUE(worker_pool_destroy(pool, 3000));
    CloseHandle(gate.started);
    CloseHandle(gate.release);
    // After the listener has ended nobody serves the name.
    HANDLE h = CreateFileW(PIPE_NAME, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
}
