// Hang watchdog decisions and stack line texts as tables; the slot table's limit.
#include "agent/maint/diag.h"
#include "agent/maint/watchdog.h"
#include <gtest/gtest.h>
#include <cstring>

TEST(Watchdog, HangsAreReportedOnceAndDumpedOncePerSlot) {
    // One slot's probes in order: each row is what the probe saw and what must follow.
    struct step {
        bool responsive;
        uint64_t silent, now;
        watchdog_event event;
        bool dump;
        uint64_t ms;
    } steps[] = {
        {true, 0, 1000, WATCHDOG_QUIET, false, 0},
        {false, 5000, 12000, WATCHDOG_HUNG, true, 5000},  // silence began at 7000
        {false, 5000, 19000, WATCHDOG_QUIET, false, 0},   // the same hang is not reported again
        {false, 9000, 21000, WATCHDOG_QUIET, false, 0},
        {true, 0, 23500, WATCHDOG_RECOVERED, false, 16500},  // since 7000, not since the first report
        {true, 0, 25500, WATCHDOG_QUIET, false, 0},
        {false, 6200, 40000, WATCHDOG_HUNG, false, 6200},  // a second hang: lines, no second dump
        {true, 0, 42000, WATCHDOG_RECOVERED, false, 8200},
        {false, 3000, 2000, WATCHDOG_HUNG, false, 3000},  // a clock that went back: no underflow
        {true, 0, 2500, WATCHDOG_RECOVERED, false, 2500},
    };
    watchdog_track t{};
    int row = 0;
    for (const step& s : steps) {
        watchdog_outcome out = watchdog_judge(&t, s.responsive, s.silent, s.now);
        EXPECT_EQ(out.event, s.event) << "row " << row;
        EXPECT_EQ(out.dump, s.dump) << "row " << row;
        EXPECT_EQ(out.ms, s.ms) << "row " << row;
        row++;
    }
}

TEST(Watchdog, SilenceAndWaits) {
    struct {
        bool answered;
        uint64_t took, want;
    } windows[] = {
        {true, 4999, 0},     {true, 7000, 0},     {false, 0, 5000},
        {false, 4000, 5000}, {false, 5000, 5000}, {false, 9100, 9100},
    };
    for (const auto& w : windows)
        EXPECT_EQ(watchdog_window_silent(w.answered, w.took), w.want) << w.answered << " " << w.took;

    // The capture thread's 8000 ms threshold: 7 s of silence is not a hang, 9 s is.
    struct {
        uint64_t now, last;
        unsigned long threshold;
        uint64_t want;
    } beats[] = {
        {17000, 10000, 8000, 0},    {18000, 10000, 8000, 0}, {18001, 10000, 8000, 8001},
        {19000, 10000, 8000, 9000}, {9000, 10000, 8000, 0},
    };
    for (const auto& b : beats)
        EXPECT_EQ(watchdog_beat_silent(b.now, b.last, b.threshold), b.want) << b.now << " " << b.last;

    // A heartbeat deadline inside the period shortens the wait to it, never to a busy loop.
    struct {
        uint64_t now, deadline;
        unsigned long want;
    } waits[] = {
        {1000, 0, 2000},   {1000, 3000, 2000}, {1000, 9000, 2000}, {1000, 2999, 1999},
        {1000, 1700, 700}, {1000, 1040, 50},   {1000, 500, 50},    {1000, 1000, 50},
    };
    for (const auto& w : waits) EXPECT_EQ(watchdog_wait_ms(w.now, w.deadline), w.want) << w.deadline;
}

TEST(Watchdog, SixteenSlotsThenNone) {
    int slots[WATCHDOG_SLOTS];
    for (int i = 0; i < WATCHDOG_SLOTS; i++) {
        slots[i] = watchdog_register("t", nullptr, 8000);
        EXPECT_EQ(slots[i], i);
    }
    EXPECT_EQ(watchdog_register("full", nullptr, 8000), -1);
    watchdog_unregister(5);
    watchdog_unregister(-1);
    watchdog_heartbeat(-1);
    EXPECT_EQ(watchdog_register("again", nullptr, 8000), 5);
    for (int i = 0; i < WATCHDOG_SLOTS; i++) watchdog_unregister(i);
    EXPECT_EQ(watchdog_hangs(), 0u);
}

TEST(Diag, FrameTexts) {
    struct {
        const char *module, *symbol;
        unsigned long long disp;
        const char* file;
        unsigned long line;
        unsigned long long offset;
        const char* want;
    } rows[] = {
        {"ivrad", "pipe_cmd_debug", 0x2a, "C:\\src\\agent\\pipe\\pipe_server.cpp", 281, 0x1234,
         "ivrad!pipe_cmd_debug+0x2a (pipe_server.cpp:281)"},
        {"ivrad", "pipe_cmd_debug", 0x2a, "/work/main/agent/x.cpp", 7, 0, "ivrad!pipe_cmd_debug+0x2a (x.cpp:7)"},
        {"kernel32", "Sleep", 0x10, "", 0, 0x5000, "kernel32!Sleep+0x10"},
        {"kernel32", "Sleep", 0, nullptr, 12, 0x5000, "kernel32!Sleep+0x0"},
        {"ntdll", "", 0, "a.c", 3, 0x9abc, "ntdll+0x9abc"},
        {"ntdll", nullptr, 0, nullptr, 0, 0x9abc, "ntdll+0x9abc"},
        {nullptr, nullptr, 0, nullptr, 0, 0x7ff612340000ULL, "?+0x7ff612340000"},
    };
    for (const auto& r : rows) {
        char out[DIAG_FRAME_TEXT];
        size_t n = diag_frame_text(out, r.module, r.symbol, r.disp, r.file, r.line, r.offset);
        EXPECT_STREQ(out, r.want);
        EXPECT_EQ(n, strlen(r.want));
    }
    std::string long_symbol(900, 's');
    char out[DIAG_FRAME_TEXT];
    EXPECT_EQ(diag_frame_text(out, "m", long_symbol.c_str(), 1, nullptr, 0, 0), (size_t)DIAG_FRAME_TEXT - 1);
    EXPECT_EQ(strlen(out), (size_t)DIAG_FRAME_TEXT - 1);
}
