// Update manager rules: which names the feed may be asked for, when the daily
// check is due, and the command lines and figures the manager builds.
#include "agent/maint/update.h"
#include <gtest/gtest.h>
#include <cstring>
#include <string>

TEST(Update, FeedAndPackageNames) {
    const std::string longest(120, 'a'), too_long(121, 'a');
    struct row {
        const char* name;
        bool ok;
    } rows[] = {
        {"releases.win.json", true},
        {"Ivra-0.3.0-full.nupkg", true},
        {"a", true},
        {"under_score-1.2", true},
        {longest.c_str(), true},
        {too_long.c_str(), false},
        {nullptr, false},
        {"", false},
        {".hidden", false},
        {"..", false},
        {"a/b", false},
        {"/releases.json", false},
        {"a\\b", false},
        {"../secret", false},
        {"sp ace", false},
        {"q?x=1", false},
        {"a%2fb", false},
        {"caf\xc3\xa9", false},
        {"x.", true},
    };
    for (const row& r : rows) EXPECT_EQ(update_name_ok(r.name), r.ok) << (r.name ? r.name : "(null)");
}

TEST(Update, DailyCheckDue) {
    const unsigned long long day = UPDATE_DAY_MS;
    struct row {
        int update_auto;
        bool running, first;
        unsigned long long now, last;
        bool due;
    } rows[] = {
        {1, false, true, 600000, 0, true},                   // the first tick after start
        {0, false, true, 600000, 0, false},                  // switched off
        {1, true, true, 600000, 0, false},                   // one already running
        {1, false, false, 600000 + day - 1, 600000, false},  // a day less one millisecond
        {1, false, false, 600000 + day, 600000, true},       // exactly a day after the last start
        {1, false, false, 600000 + 3 * day, 600000, true},
        {1, true, false, 600000 + 3 * day, 600000, false},
        {0, false, false, 600000 + 3 * day, 600000, false},
        {2, false, false, 600000 + day, 600000, true},  // any non-zero value is on
        {1, false, false, 5, 600000, false},            // a clock behind the last start
    };
    for (const row& r : rows)
        EXPECT_EQ(update_daily_due(r.update_auto, r.running, r.first, r.now, r.last, day), r.due)
            << r.update_auto << " " << r.running << " " << r.first << " " << r.now << " " << r.last;
}

TEST(Update, FeedUrlJoinsBaseAndName) {
    char out[44];
    ASSERT_TRUE(update_feed_url("http://127.0.0.1:8080/win", "releases.win.json", out, sizeof out));
    EXPECT_STREQ(out, "http://127.0.0.1:8080/win/releases.win.json");
    memset(out, 'k', sizeof out);
    EXPECT_FALSE(update_feed_url("http://127.0.0.1:8080/win", "releases.win.jsonx", out, sizeof out));
    EXPECT_EQ(out[0], 'k');
    char exact[8];
    EXPECT_TRUE(update_feed_url("abc", "def", exact, sizeof exact));
    EXPECT_STREQ(exact, "abc/def");
}

TEST(Update, BytesToDownload) {
    const uint64_t deltas[] = {1000, 2500, 4294967296ull};
    EXPECT_EQ(update_download_bytes(deltas, 3, 99), 4294970796ull);
    EXPECT_EQ(update_download_bytes(deltas, 1, 99), 1000u);
    EXPECT_EQ(update_download_bytes(nullptr, 0, 99), 99u);
    EXPECT_EQ(update_download_bytes(deltas, 0, 7), 7u);
}

TEST(Update, ProgressReportedOnlyWhenThePercentageChanges) {
    struct step {
        uint64_t received, total;
        int reported;
    };
    const step known[] = {{0, 1000, 0},    {5, 1000, -1},     {10, 1000, 1},   {19, 1000, -1},
                          {500, 1000, 50}, {1000, 1000, 100}, {1000, 1000, -1}};
    int last = -1;
    for (const step& s : known) EXPECT_EQ(update_progress_step(s.received, s.total, &last), s.reported) << s.received;
    const step unknown[] = {{0, 0, 0}, {4096, 0, -1}, {1 << 20, 0, -1}};
    last = -1;
    for (const step& s : unknown) EXPECT_EQ(update_progress_step(s.received, s.total, &last), s.reported) << s.received;
}

TEST(Update, InstallerHookKinds) {
    struct row {
        const wchar_t* cmd;
        update_hook_kind kind;
    } rows[] = {
        {L"--veloapp-install 0.2.12", UPDATE_HOOK_INSTALL},
        {L"--veloapp-updated 0.3.0", UPDATE_HOOK_INSTALL},
        {L"--veloapp-uninstall", UPDATE_HOOK_UNINSTALL},
        {L"--veloapp-obsolete 0.2.11", UPDATE_HOOK_OTHER},
        {L"--veloapp-firstrun", UPDATE_HOOK_OTHER},
        {L"", UPDATE_HOOK_OTHER},
        {nullptr, UPDATE_HOOK_OTHER},
    };
    for (const row& r : rows) EXPECT_EQ(update_hook_of(r.cmd), r.kind) << (r.cmd ? r.cmd : L"(null)");
}

TEST(Update, IvracCommandLineBesideTheAgent) {
    struct row {
        const wchar_t* exe;
        const wchar_t* args;
        size_t cap;
        const wchar_t* expected;  // null: refused
    } rows[] = {
        {L"C:\\Users\\ann\\AppData\\Local\\Ivra\\current\\ivrad.exe", L"agent autostart on", 260,
         L"\"C:\\Users\\ann\\AppData\\Local\\Ivra\\current\\ivrac.exe\" agent autostart on"},
        {L"Z:\\tmp\\a b\\ivrad.exe", L"agent stop", 260, L"\"Z:\\tmp\\a b\\ivrac.exe\" agent stop"},
        {L"C:/x/ivrad.exe", L"agent stop", 260, L"\"C:/x\\ivrac.exe\" agent stop"},
        {L"ivrad.exe", L"agent stop", 260, nullptr},
        {L"C:\\x\\ivrad.exe", L"agent stop", 28, L"\"C:\\x\\ivrac.exe\" agent stop"},
        {L"C:\\x\\ivrad.exe", L"agent stop", 27, nullptr},
    };
    for (const row& r : rows) {
        wchar_t out[300];
        wcscpy(out, L"untouched");
        bool ok = update_ivrac_command(r.exe, r.args, out, r.cap);
        EXPECT_EQ(ok, r.expected != nullptr) << r.exe << " " << r.cap;
        EXPECT_STREQ(out, r.expected ? r.expected : L"untouched") << r.exe << " " << r.cap;
    }
}
