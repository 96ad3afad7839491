#include "common/storage.h"
#include "agent/core/agent.h"
#include "agent/core/capture_files.h"
#include "agent/core/storage_monitor.h"
#include "agent/pipe/pipe_replies.h"
#include "cli/cmd_storage.h"
#include "common/config.h"
#include "tests/unit/test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const uint64_t MiB = 1048576, GiB = 1073741824;

const std::wstring g_root = [] {
    std::wstring r = test_temp_dir(L"ivra_storage_");
    SetEnvironmentVariableW(L"APPDATA", r.c_str());
    return r;
}();

struct temp_cleanup : testing::Environment {
    void TearDown() override { test_remove_tree(g_root); }
};
const auto* g_cleanup = testing::AddGlobalTestEnvironment(new temp_cleanup);

void make_file(const std::wstring& path, size_t size) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << test_utf8(path);
    std::string bytes(size, 'x');
    DWORD wrote = 0;
    if (size) WriteFile(h, bytes.data(), (DWORD)size, &wrote, nullptr);
    CloseHandle(h);
}

config empty_config() {
    config c{};
    config_defaults(&c);
    c.stills_dir[0] = c.clips_dir[0] = 0;
    for (auto& f : c.folders) f[0] = 0;
    return c;
}

}  // namespace

TEST(Storage, KindsByExtension) {
    const struct {
        const wchar_t* name;
        int kind;
    } cases[] = {
        {L"clip.MOV", STORAGE_KIND_CLIP},   {L"shot.webp", STORAGE_KIND_STILL},  {L"notes.txt", STORAGE_KIND_OTHER},
        {L"README", STORAGE_KIND_OTHER},    {L"a.JPEG", STORAGE_KIND_STILL},     {L"b.jpg", STORAGE_KIND_STILL},
        {L"c.Png", STORAGE_KIND_STILL},     {L"d.bmp", STORAGE_KIND_STILL},      {L"e.mp4", STORAGE_KIND_CLIP},
        {L"f.mkv", STORAGE_KIND_CLIP},      {L"g.webm", STORAGE_KIND_CLIP},      {L"h.GIF", STORAGE_KIND_CLIP},
        {L"i.png.txt", STORAGE_KIND_OTHER}, {L"j.mp4.part", STORAGE_KIND_OTHER}, {L"k.pn", STORAGE_KIND_OTHER},
        {L"l.pngx", STORAGE_KIND_OTHER},    {L"trailing.", STORAGE_KIND_OTHER},  {L"", STORAGE_KIND_OTHER},
        {nullptr, STORAGE_KIND_OTHER},
    };
    for (const auto& c : cases) EXPECT_EQ(storage_kind_of(c.name), c.kind) << (c.name ? test_utf8(c.name) : "null");
}

TEST(Storage, RootsSkipFoldersAlreadyCovered) {
    // stills, clips, then slots by number ("" = unset); want: the walked roots in order.
    const struct {
        const wchar_t* stills;
        const wchar_t* clips;
        std::vector<std::pair<int, const wchar_t*>> slots;
        std::vector<std::wstring> want;
    } cases[] = {
        {L"D:\\Shots", L"", {{2, L"d:\\shots\\red"}}, {L"D:\\Shots"}},
        {L"D:\\Shots", L"", {{2, L"D:\\Shots2"}}, {L"D:\\Shots", L"D:\\Shots2"}},
        {L"D:\\Shots", L"D:\\SHOTS", {}, {L"D:\\Shots"}},
        {L"D:\\Shots\\", L"D:\\Shots\\clips", {}, {L"D:\\Shots\\"}},
        {L"D:\\Shots", L"E:\\Clips", {{1, L"e:\\clips\\a\\b"}, {9, L"F:\\x"}}, {L"D:\\Shots", L"E:\\Clips", L"F:\\x"}},
        // A later, wider folder takes the place of the ones inside it.
        {L"D:\\Media\\shots", L"D:\\Media\\clips", {{3, L"D:\\Media"}}, {L"D:\\Media"}},
        {L"C:\\", L"C:\\Users\\x\\Videos", {{1, L"D:\\y"}}, {L"C:\\", L"D:\\y"}},
        {L"", L"", {}, {}},
        {L"", L"E:\\c", {{5, L"E:\\c"}}, {L"E:\\c"}},
    };
    for (const auto& c : cases) {
        config cfg = empty_config();
        wcscpy(cfg.stills_dir, c.stills);
        wcscpy(cfg.clips_dir, c.clips);
        for (auto& s : c.slots) wcscpy(cfg.folders[s.first - 1], s.second);
        const wchar_t* roots[STORAGE_ROOTS_MAX];
        const int n = storage_roots(&cfg, roots);
        std::vector<std::wstring> got(roots, roots + n);
        EXPECT_EQ(got, c.want) << test_utf8(c.stills) << " | " << test_utf8(c.clips);
    }
}

TEST(Storage, FlagsFromFreeSpaceAndTotals) {
    const struct {
        const char* what;
        uint64_t free_bytes, ivra_bytes;
        int warn, stop, gb;
        int low, full, big;
    } cases[] = {
        {"2047.9 MiB is low", 2048 * MiB - MiB / 10, 0, 2048, 0, 0, 1, 0, 0},
        {"exactly 2048 MiB is not low", 2048 * MiB, 0, 2048, 0, 0, 0, 0, 0},
        {"one byte above 1 GiB is big", 100 * GiB, 1073741825ULL, 0, 0, 1, 0, 0, 1},
        {"exactly 1 GiB is not big", 100 * GiB, GiB, 0, 0, 1, 0, 0, 0},
        {"warn_ivra_gb 0 never big", 100 * GiB, 900 * GiB, 0, 0, 0, 0, 0, 0},
        {"below stop and warn", 200 * MiB, 0, 2048, 256, 0, 1, 1, 0},
        {"stop is strict", 256 * MiB, 0, 0, 256, 0, 0, 0, 0},
        {"unreadable drive counts as empty", 0, 0, 1, 1, 0, 1, 1, 0},
        {"negative thresholds are off", 0, 5 * GiB, -1, -1, -1, 0, 0, 0},
        {"largest gb threshold", 0, 5 * GiB, 0, 0, 2147483647, 0, 0, 0},
    };
    for (const auto& c : cases) {
        storage_report r{};
        r.drive_free = c.free_bytes;
        r.ivra_bytes = c.ivra_bytes;
        r.low_space = r.disk_full = r.ivra_big = 7;
        EXPECT_EQ(storage_flags_apply(&r, c.warn, c.stop, c.gb), c.big) << c.what;
        EXPECT_EQ(r.low_space, c.low) << c.what;
        EXPECT_EQ(r.disk_full, c.full) << c.what;
        EXPECT_EQ(r.ivra_big, c.big) << c.what;
    }
}

TEST(Storage, ScanCountsEachFileOnceByKind) {
    const std::wstring shots = g_root + L"\\shots", clips = g_root + L"\\clips", deep = shots + L"\\red\\a\\b";
    for (const std::wstring& d : {shots, clips, shots + L"\\red", shots + L"\\red\\a", deep})
        CreateDirectoryW(d.c_str(), nullptr);
    make_file(shots + L"\\shot.webp", 100);
    make_file(shots + L"\\README", 7);
    make_file(deep + L"\\clip.MOV", 1000);
    make_file(deep + L"\\notes.txt", 10);
    make_file(clips + L"\\a.mp4", 5000);
    make_file(clips + L"\\b.png", 50);

    config cfg = empty_config();
    wcscpy(cfg.stills_dir, shots.c_str());
    wcscpy(cfg.clips_dir, clips.c_str());
    wcscpy(cfg.folders[1], (shots + L"\\red").c_str());  // inside stills: not counted twice
    cfg.warn_ivra_gb = 0;
    storage_report r{};
    storage_scan(&cfg, &r);
    EXPECT_EQ(r.roots, 2);
    EXPECT_EQ(r.stills_count, 2u);
    EXPECT_EQ(r.stills_bytes, 150u);
    EXPECT_EQ(r.clips_count, 2u);
    EXPECT_EQ(r.clips_bytes, 6000u);
    EXPECT_EQ(r.other_count, 2u);
    EXPECT_EQ(r.other_bytes, 17u);
    EXPECT_EQ(r.ivra_bytes, 6167u);
    EXPECT_NE(r.scanned_at, 0);
    EXPECT_EQ(r.drive[1], L':');
    EXPECT_GT(r.drive_total, 0u);

    // A drive without a root reports nothing free, so both space flags rise.
    cfg.stills_dir[0] = 0;
    cfg.warn_free_mb = 1;
    cfg.stop_free_mb = 1;
    storage_scan(&cfg, &r);
    EXPECT_EQ(r.drive[0], 0);
    EXPECT_EQ(r.drive_free, 0u);
    EXPECT_EQ(r.roots, 2);  // clips and the slot
    EXPECT_EQ(r.ivra_bytes, 1010u + 5050u);
    EXPECT_EQ(r.low_space + r.disk_full, 2);
}

TEST(Storage, BalloonTexts) {
    const struct {
        const wchar_t* warning;
        const wchar_t* want;
    } cases[] = {
        {L"", L""},
        {L"low_space", L"Low disk space: 1.00 GB free on C:\\"},
        {L"low_space,ivra_big", L"Low disk space: 1.00 GB free on C:\\"},
        {L"ivra_big", L"Ivra captures exceed 3 GB"},
    };
    for (const auto& c : cases) {
        wchar_t out[STORAGE_BALLOON_MAX] = L"junk";
        storage_balloon_text(c.warning, L"1.00 GB", L"C:\\", 3, out);
        EXPECT_STREQ(out, c.want) << test_utf8(c.warning);
    }
}

TEST(Storage, ThreadRefreshesTotalsAndFakesFreeSpace) {
    EXPECT_EQ(storage_refresh(0), STORAGE_REFRESH_NO_THREAD);
    const std::wstring dir = g_root + L"\\thread";
    CreateDirectoryW(dir.c_str(), nullptr);
    config* cfg = new config(empty_config());
    wcscpy(cfg->stills_dir, dir.c_str());
    cfg->warn_free_mb = 0;
    cfg->stop_free_mb = 300;
    agent_config_set(cfg);
    SetEnvironmentVariableW(L"IVRA_DEBUG_HOOKS", L"1");
    SetEnvironmentVariableW(L"IVRA_DEBUG_FREE_MB", L"200");
    ASSERT_TRUE(storage_thread_start());
    make_file(dir + L"\\late.png", 321);
    EXPECT_EQ(storage_refresh(20000), STORAGE_REFRESH_DONE);
    storage_totals t{};
    storage_totals_get(&t);
    EXPECT_EQ(t.stills_bytes, 321u);
    EXPECT_EQ(t.drive_free, 200 * MiB);
    EXPECT_EQ(t.disk_full, 1);
    EXPECT_EQ(t.roots, 1);

    // The gate sees the same faked drive and refuses.
    wchar_t warning[STORAGE_WARNING_MAX], drive[STORAGE_DRIVE_MAX];
    uint64_t free_mb = 0;
    EXPECT_FALSE(storage_gate(cfg, dir.c_str(), warning, &free_mb, drive));
    EXPECT_EQ(free_mb, 200u);

    // A scan that takes longer than the caller waits leaves the reply stale; the next wait sees it end.
    SetEnvironmentVariableW(L"IVRA_DEBUG_SCAN_MS", L"1500");
    EXPECT_EQ(storage_refresh(300), STORAGE_REFRESH_STALE);
    SetEnvironmentVariableW(L"IVRA_DEBUG_SCAN_MS", nullptr);
    EXPECT_EQ(storage_refresh(20000), STORAGE_REFRESH_DONE);
    // An idle thread ends at once: the agent's stop waits for it before the window goes.
    const ULONGLONG asked = GetTickCount64();
    storage_thread_stop(5000);
    EXPECT_LT(GetTickCount64() - asked, 1000u);
    SetEnvironmentVariableW(L"IVRA_DEBUG_FREE_MB", nullptr);
    SetEnvironmentVariableW(L"IVRA_DEBUG_HOOKS", nullptr);
    EXPECT_EQ(storage_refresh(0), STORAGE_REFRESH_NO_THREAD);
    delete cfg;
}

namespace {
struct gate_notice {
    std::wstring text;
    bool full;
};
std::vector<gate_notice> g_notices;
void record_notice(const wchar_t* text, bool full) { g_notices.push_back({text, full}); }
}  // namespace

// The gate's balloons go to the notifier the wiring installs: the refusal with the
// sound flag, a warning once in ten minutes, and nothing at all without a notifier.
TEST(Storage, GateNotifiesRefusalAndWarnings) {
    const std::wstring dir = g_root + L"\\notify";
    CreateDirectoryW(dir.c_str(), nullptr);
    storage_totals none{};
    storage_totals_set(&none);
    SetEnvironmentVariableW(L"IVRA_DEBUG_HOOKS", L"1");
    SetEnvironmentVariableW(L"IVRA_DEBUG_FREE_MB", L"200");
    config cfg = empty_config();
    cfg.stop_free_mb = 300;
    cfg.warn_free_mb = 0;
    wchar_t warning[STORAGE_WARNING_MAX], drive[STORAGE_DRIVE_MAX];
    uint64_t free_mb = 0;

    storage_set_notifier(nullptr);
    EXPECT_FALSE(storage_gate(&cfg, dir.c_str(), warning, &free_mb, drive));
    storage_set_notifier(record_notice);
    EXPECT_FALSE(storage_gate(&cfg, dir.c_str(), warning, &free_mb, drive));
    ASSERT_EQ(g_notices.size(), 1u);
    EXPECT_EQ(g_notices[0].text, L"Disk full - capture skipped (200 MB free on " + std::wstring(drive) + L")");
    EXPECT_TRUE(g_notices[0].full);

    cfg.stop_free_mb = 0;
    cfg.warn_free_mb = 300;
    EXPECT_TRUE(storage_gate(&cfg, dir.c_str(), warning, &free_mb, drive));
    EXPECT_STREQ(warning, L"low_space");
    EXPECT_TRUE(storage_gate(&cfg, dir.c_str(), warning, &free_mb, drive));
    ASSERT_EQ(g_notices.size(), 2u);
    EXPECT_EQ(g_notices[1].text, L"Low disk space: 200 MB free on " + std::wstring(drive));
    EXPECT_FALSE(g_notices[1].full);

    storage_set_notifier(nullptr);
    SetEnvironmentVariableW(L"IVRA_DEBUG_FREE_MB", nullptr);
    SetEnvironmentVariableW(L"IVRA_DEBUG_HOOKS", nullptr);
}

TEST(StorageCli, ReplyParsedIntoJsonAndText) {
    storage_totals t{};
    wcscpy(t.drive, L"C:\\");
    t.drive_total = 100 * GiB;
    t.drive_free = 25 * GiB;
    t.stills_bytes = 3 * MiB;
    t.stills_count = 12;
    t.clips_bytes = 2 * GiB;
    t.clips_count = 4;
    t.other_bytes = 10;
    t.other_count = 1;
    t.ivra_bytes = t.stills_bytes + t.clips_bytes + t.other_bytes;
    t.roots = 3;
    t.scan_ms = 42;
    t.ivra_big = 1;
    const struct {
        int low, full;
        storage_thresholds th;
        const char* json_tail;
        const wchar_t* text;
    } cases[] = {
        {0,
         0,
         {2048, 256, 1},
         "\"flags\":{\"low_space\":false,\"disk_full\":false,\"ivra_big\":true},"
         "\"thresholds\":{\"warn_free_mb\":2048,\"stop_free_mb\":256,\"warn_ivra_gb\":1}}\n",
         L"Drive C:\\   100 GB total   25.0 GB free (25%)\n"
         L"Ivra   2.00 GB in 3 folders   (scanned 9 s ago, 42 ms)  [over warn_ivra_gb!]\n"
         L"  Stills   3.00 MB       12 files\n"
         L"  Clips    2.00 GB        4 files\n"
         L"  Other    10 B           1 files\n"
         L"Thresholds   warn <2048 MB free \u00b7 stop <256 MB free \u00b7 ivra >1 GB\n"},
        {1,
         1,
         {0, 0, 0},
         "\"flags\":{\"low_space\":true,\"disk_full\":true,\"ivra_big\":true},"
         "\"thresholds\":{\"warn_free_mb\":0,\"stop_free_mb\":0,\"warn_ivra_gb\":0}}\n",
         L"Drive C:\\   100 GB total   25.0 GB free (25%)   [disk full!]\n"
         L"Ivra   2.00 GB in 3 folders   (scanned 9 s ago, 42 ms)  [over warn_ivra_gb!]\n"
         L"  Stills   3.00 MB       12 files\n"
         L"  Clips    2.00 GB        4 files\n"
         L"  Other    10 B           1 files\n"
         L"Thresholds   warn <0 MB free \u00b7 stop <0 MB free \u00b7 ivra >0 GB (off)\n"},
        {1, 0, {0, 0, 0}, nullptr, L"Drive C:\\   100 GB total   25.0 GB free (25%)   [low space!]\n"},
    };
    for (const auto& c : cases) {
        t.low_space = c.low;
        t.disk_full = c.full;
        char reply[PIPE_STORAGE_CAP];
        pipe_storage_format(&t, 9, &c.th, false, reply, sizeof reply);
        reply[strcspn(reply, "\n")] = 0;  // the client sees the line without its feed
        storage_view v{};
        ASSERT_TRUE(cmd_storage_reply_parse(reply, &v)) << reply;
        char json[2048];
        ASSERT_TRUE(cmd_storage_json(&v, json, sizeof json));
        if (c.json_tail) {
            EXPECT_EQ(std::string(json),
                      std::string("{\"drive\":\"C:\\\\\",\"total\":107374182400,\"free\":26843545600,"
                                  "\"stills\":{\"bytes\":3145728,\"files\":12},\"clips\":{\"bytes\":2147483648,"
                                  "\"files\":4},\"other\":{\"bytes\":10,\"files\":1},\"ivra\":2150629386,"
                                  "\"roots\":3,\"age_s\":9,\"scan_ms\":42,") +
                          c.json_tail);
        }
        wchar_t text[2048];
        cmd_storage_text(&v, text, 2048);
        EXPECT_EQ(std::wstring(text).substr(0, wcslen(c.text)), c.text);
    }
    storage_view untouched{};
    untouched.age_s = 77;
    for (const char* bad : {"err\tcode=busy\tmsg=x", "ok\tdrive=C:\\\ttotal=1", "", "ok"}) {
        EXPECT_FALSE(cmd_storage_reply_parse(bad, &untouched)) << bad;
        EXPECT_EQ(untouched.age_s, 77);
    }
    char small[64] = "junk";
    EXPECT_FALSE(cmd_storage_json(&untouched, small, sizeof small));
    EXPECT_STREQ(small, "");
}
