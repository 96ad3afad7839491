#include "agent/core/capture_files.h"
#include "agent/core/storage_monitor.h"
#include "agent/core/agent.h"
#include "common/config.h"
#include "common/win.h"
#include "tests/unit/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

// Every test works below one private folder, which is also APPDATA so that the
// log and the history land there; set before anything logs.
const std::wstring g_root = [] {
    std::wstring r = test_temp_dir(L"ivra_files_");
    SetEnvironmentVariableW(L"APPDATA", r.c_str());
    return r;
}();

struct temp_cleanup : testing::Environment {
    void TearDown() override { test_remove_tree(g_root); }
};
const auto* g_cleanup = testing::AddGlobalTestEnvironment(new temp_cleanup);

std::wstring fresh_dir(const wchar_t* name) { return test_fresh_dir(g_root, name); }

bool exists(const std::wstring& p) { return test_exists(p); }

void write_all(const std::wstring& p, const std::string& data) { test_write_all(p, data); }

std::string log_text() { return test_read_all(g_root + L"\\Ivra\\ivrad.log"); }

const SYSTEMTIME k_time = test_systemtime(2026, 1, 2, 3, 4, 5);

std::wstring name_at(const std::wstring& base, const wchar_t* ext, const wchar_t* sub = nullptr,
                     const SYSTEMTIME& t = k_time) {
    wchar_t out[CAPTURE_PATH_MAX] = L"";
    char err[160] = "";
    EXPECT_TRUE(capture_file_name_at(out, base.c_str(), ext, sub, &t, err, sizeof err)) << err;
    return out;
}

}  // namespace

TEST(CaptureFiles, NameFormat) {
    const struct {
        const wchar_t* folder;
        SYSTEMTIME t;
        int counter;
        const wchar_t* ext;
        const wchar_t* want;
    } cases[] = {
        {L"C:\\Shots", k_time, 1, L"png", L"C:\\Shots\\Ivra_2026-01-02_03-04-05.png"},
        {L"C:\\Shots", k_time, 2, L"png", L"C:\\Shots\\Ivra_2026-01-02_03-04-05_2.png"},
        {L"D:\\v", test_systemtime(2030, 12, 31, 23, 59, 59), 100, L"mp4", L"D:\\v\\Ivra_2030-12-31_23-59-59_100.mp4"},
        {L"C:\\Shots", k_time, 0, L"png", nullptr},
        {L"C:\\Shots", k_time, 101, L"png", nullptr},
    };
    for (const auto& c : cases) {
        wchar_t out[CAPTURE_PATH_MAX] = L"untouched";
        const bool ok = capture_name_format(out, c.folder, &c.t, c.counter, c.ext);
        EXPECT_EQ(ok, c.want != nullptr) << c.counter;
        EXPECT_STREQ(out, c.want ? c.want : L"untouched");
    }
    // 259 characters fit, 260 do not.
    const std::wstring plain_tail = L"\\Ivra_2026-01-02_03-04-05.png";
    wchar_t out[CAPTURE_PATH_MAX] = L"untouched";
    const std::wstring fits(259 - plain_tail.size(), L'f');
    EXPECT_TRUE(capture_name_format(out, fits.c_str(), &k_time, 1, L"png"));
    EXPECT_EQ(wcslen(out), 259u);
    EXPECT_FALSE(capture_name_format(out, fits.c_str(), &k_time, 2, L"png"));
    EXPECT_FALSE(capture_name_format(out, (fits + L"x").c_str(), &k_time, 1, L"png"));
}

TEST(CaptureFiles, SubfolderNames) {
    const struct {
        const wchar_t* name;
        bool ok;
    } cases[] = {
        {L"red", true},   {L"Ünïcødé 日本", true}, {L"a.b", true},   {L"", false},   {L".", false},
        {L"..", false},   {L"a\\b", false},        {L"a/b", false},  {L"C:", false}, {L"what?", false},
        {L"x\ty", false}, {L"<x>", false},         {nullptr, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(capture_subfolder_valid(c.name), c.ok) << (c.name ? test_utf8(c.name) : "(null)");
    EXPECT_TRUE(capture_subfolder_valid(std::wstring(63, L'a').c_str()));
    EXPECT_FALSE(capture_subfolder_valid(std::wstring(64, L'a').c_str()));
}

TEST(CaptureFiles, HistoryLines) {
    const std::wstring max_ascii(519, L'a');
    const std::wstring lone_surrogate = L"C:\\x\xD800y.png";
    const std::wstring over_ascii = max_ascii + L"a", over_wide(174, L'\x65E5');
    const struct {
        const char* what;
        const wchar_t* path;
        std::string want;
    } cases[] = {
        {"ascii", L"C:\\Shots\\a.png", "C:\\Shots\\a.png\n"},
        {"non-ascii", L"C:\\Bilder\\Grüße_日本_\U0001F600.png",
         "C:\\Bilder\\Gr\xC3\xBC\xC3\x9F"
         "e_\xE6\x97\xA5\xE6\x9C\xAC_\xF0\x9F\x98\x80.png\n"},
        {"519 bytes fit", max_ascii.c_str(), std::string(519, 'a') + "\n"},
        {"520 bytes do not", over_ascii.c_str(), "\n"},
        {"multi-byte over the limit", over_wide.c_str(), "\n"},
        {"lone surrogate", lone_surrogate.c_str(), "\n"},
        {"empty", L"", "\n"},
        {"null", nullptr, "\n"},
    };
    for (const auto& c : cases) {
        char out[HISTORY_LINE_MAX + 1];
        const size_t n = history_line_utf8(c.path, out);
        EXPECT_EQ(std::string(out, n), c.want) << c.what;
    }
}

TEST(CaptureFiles, DriveRoots) {
    const struct {
        const wchar_t* path;
        const wchar_t* root;
    } cases[] = {
        {L"C:\\Users\\a\\x.png", L"C:\\"},
        {L"d:", L"d:\\"},
        {L"\\\\a\\b\\x.png", L"\\\\a\\b\\"},
        {L"\\\\server\\share\\x", L""},
        {L"relative\\x.png", L""},
        {L"", L""},
        {L"\\\\\\x", L""},
    };
    for (const auto& c : cases) {
        wchar_t out[8] = L"junk";
        EXPECT_EQ(capture_drive_root(c.path, out), c.root[0] != 0) << test_utf8(c.path);
        EXPECT_STREQ(out, c.root) << test_utf8(c.path);
    }
}

TEST(CaptureFiles, TotalsAndFlags) {
    const uint64_t MiB = 1048576, GiB = 1073741824;
    const struct {
        const char* what;
        uint64_t start_bytes, size;
        int kind;
        const wchar_t* drive;
        uint64_t free;
        storage_thresholds th;
        int disk_full, low_space, ivra_big;
    } cases[] = {
        {"all off", 0, 10, 0, L"C:\\", 0, {0, 0, 0}, 0, 0, 0},
        {"ivra_big just above 1 GiB", GiB - 10, 11, 0, L"C:\\", 100 * GiB, {0, 0, 1}, 0, 0, 1},
        {"exactly 1 GiB is not big", GiB - 10, 10, 1, L"C:\\", 100 * GiB, {0, 0, 1}, 0, 0, 0},
        {"2047.9 MiB is low", 0, 1, 0, L"C:\\", 2048 * MiB - 100000, {2048, 0, 0}, 0, 1, 0},
        {"2048 MiB is not low", 0, 1, 0, L"C:\\", 2048 * MiB, {2048, 0, 0}, 0, 0, 0},
        {"below stop", 0, 1, 1, L"C:\\", 200 * MiB, {2048, 256, 0}, 1, 1, 0},
        {"unreadable drive counts as empty", 0, 1, 0, L"C:\\", 0, {1, 1, 0}, 1, 1, 0},
        {"negative thresholds are off", 0, 1, 0, L"C:\\", 0, {-5, -1, -2}, 0, 0, 0},
        {"huge gb threshold", 0, 1, 0, L"C:\\", 0, {0, 0, 2147483647}, 0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        storage_totals t{};
        t.ivra_bytes = c.start_bytes;
        storage_totals_add(&t, c.size, c.kind, c.drive, c.free, 500 * GiB, &c.th);
        EXPECT_EQ(t.ivra_bytes, c.start_bytes + c.size);
        EXPECT_EQ(c.kind == 0 ? t.stills_bytes : t.clips_bytes, c.size);
        EXPECT_EQ(c.kind == 0 ? t.stills_count : t.clips_count, 1u);
        EXPECT_EQ(c.kind == 0 ? t.clips_count : t.stills_count, 0u);
        EXPECT_EQ(t.drive_free, c.free);
        EXPECT_EQ(t.disk_full, c.disk_full);
        EXPECT_EQ(t.low_space, c.low_space);
        EXPECT_EQ(t.ivra_big, c.ivra_big);
    }
    // A path without a drive keeps the earlier snapshot but still recomputes the flags.
    storage_totals t{};
    wcscpy(t.drive, L"E:\\");
    t.drive_free = 100 * MiB;
    storage_thresholds th{0, 256, 0};
    storage_totals_add(&t, 5, 0, L"", 0, 0, &th);
    EXPECT_STREQ(t.drive, L"E:\\");
    EXPECT_EQ(t.drive_free, 100 * MiB);
    EXPECT_EQ(t.disk_full, 1);
}

TEST(CaptureFiles, SameSecondNamesDifferBeforeAnyFileExists) {
    const std::wstring dir = fresh_dir(L"same");
    const std::wstring a = name_at(dir, L"png"), b = name_at(dir, L"png"), c = name_at(dir, L"jpg");
    EXPECT_EQ(a, dir + L"\\Ivra_2026-01-02_03-04-05.png");
    EXPECT_EQ(b, dir + L"\\Ivra_2026-01-02_03-04-05_2.png");
    EXPECT_EQ(c, dir + L"\\Ivra_2026-01-02_03-04-05.jpg");
    EXPECT_FALSE(exists(a));
    // Reservations are case-blind, like the file system.
    capture_name_release(a.c_str());
    write_all(a, "x");
    EXPECT_EQ(name_at(dir, L"PNG"), dir + L"\\Ivra_2026-01-02_03-04-05_3.PNG");
    for (const std::wstring& p : {b, c, dir + L"\\Ivra_2026-01-02_03-04-05_3.PNG"}) capture_name_release(p.c_str());
    EXPECT_EQ(capture_names_reserved(), 0);
    // Once released, a name whose file was never written is free again.
    EXPECT_EQ(name_at(dir, L"png"), dir + L"\\Ivra_2026-01-02_03-04-05_2.png");
    capture_name_release(b.c_str());
}

TEST(CaptureFiles, AllCandidatesTakenFailsWithoutOverwriting) {
    const std::wstring dir = fresh_dir(L"taken");
    wchar_t cand[CAPTURE_PATH_MAX];
    for (int k = 1; k <= CAPTURE_NAME_CANDIDATES; ++k) {
        ASSERT_TRUE(capture_name_format(cand, dir.c_str(), &k_time, k, L"png"));
        if (k == 50)
            CreateDirectoryW(cand, nullptr);  // a folder blocks a name as well as a file
        else
            write_all(cand, "taken " + std::to_string(k));
    }
    wchar_t out[CAPTURE_PATH_MAX] = L"untouched";
    char err[160] = "";
    EXPECT_FALSE(capture_file_name_at(out, dir.c_str(), L"png", nullptr, &k_time, err, sizeof err));
    EXPECT_STREQ(out, L"untouched");
    EXPECT_EQ(std::string(err).rfind("busy:", 0), 0u) << err;
    ASSERT_TRUE(capture_name_format(cand, dir.c_str(), &k_time, 7, L"png"));
    EXPECT_EQ(test_read_all(cand), "taken 7");
    // The next second is free again.
    const std::wstring next = name_at(dir, L"png", nullptr, test_systemtime(2026, 1, 2, 3, 4, 6));
    EXPECT_EQ(next, dir + L"\\Ivra_2026-01-02_03-04-06.png");
    capture_name_release(next.c_str());
}

TEST(CaptureFiles, FullReservationTableNeverHandsOutADuplicate) {
    const std::wstring dir = fresh_dir(L"full");
    std::vector<std::wstring> names;
    for (int i = 0; i < CAPTURE_RESERVED_MAX; ++i) names.push_back(name_at(dir, L"png"));
    EXPECT_EQ(capture_names_reserved(), CAPTURE_RESERVED_MAX);

    // Sixty-four names of this very second are pending: the next cannot be promised.
    wchar_t out[CAPTURE_PATH_MAX] = L"untouched";
    char err[160] = "";
    EXPECT_FALSE(capture_file_name_at(out, dir.c_str(), L"png", nullptr, &k_time, err, sizeof err));
    EXPECT_STREQ(out, L"untouched");
    EXPECT_EQ(std::string(err).rfind("busy:", 0), 0u) << err;

    // A written file guards its own name, so its place is reused.
    write_all(names[10], "x");
    const std::wstring after_write = name_at(dir, L"png");
    EXPECT_EQ(std::count(names.begin(), names.end(), after_write), 0);
    names.push_back(after_write);

    // Another second's names cannot collide with this one's, so the oldest such gives way.
    const SYSTEMTIME later = test_systemtime(2026, 1, 2, 3, 4, 7);
    const std::wstring other = name_at(dir, L"png", nullptr, later);
    EXPECT_EQ(other, dir + L"\\Ivra_2026-01-02_03-04-07.png");
    EXPECT_EQ(capture_names_reserved(), CAPTURE_RESERVED_MAX);

    std::set<std::wstring> unique(names.begin(), names.end());
    EXPECT_EQ(unique.size(), names.size());
    for (const auto& n : names) capture_name_release(n.c_str());
    capture_name_release(other.c_str());
    EXPECT_EQ(capture_names_reserved(), 0);
}

TEST(CaptureFiles, ConcurrentCallersGetDifferentNames) {
    const std::wstring dir = fresh_dir(L"threads");
    const int threads = 4, each = 12;
    std::vector<std::wstring> got(threads * each);
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&, t] {
            for (int i = 0; i < each; ++i) {
                wchar_t out[CAPTURE_PATH_MAX] = L"";
                char err[160] = "";
                if (capture_file_name_at(out, dir.c_str(), L"png", nullptr, &k_time, err, sizeof err))
                    got[t * each + i] = out;
            }
        });
    for (auto& th : pool) th.join();
    std::set<std::wstring> unique(got.begin(), got.end());
    EXPECT_EQ(unique.size(), got.size());
    EXPECT_EQ(unique.count(L""), 0u);
    for (const auto& n : got) capture_name_release(n.c_str());
}

TEST(CaptureFiles, Subfolders) {
    const std::wstring dir = fresh_dir(L"sub");
    // Created on demand, reused when present.
    EXPECT_EQ(name_at(dir, L"png", L"red"), dir + L"\\red\\Ivra_2026-01-02_03-04-05.png");
    const DWORD attr = GetFileAttributesW((dir + L"\\red").c_str());
    EXPECT_TRUE(attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(name_at(dir, L"png", L"red"), dir + L"\\red\\Ivra_2026-01-02_03-04-05_2.png");

    // A file of that name blocks the folder: logged, base used.
    write_all(dir + L"\\blocker_q7", "file");
    EXPECT_EQ(name_at(dir, L"png", L"blocker_q7"), dir + L"\\Ivra_2026-01-02_03-04-05.png");
    EXPECT_NE(log_text().find("cannot create subfolder 'blocker_q7' under '"), std::string::npos);
    EXPECT_NE(log_text().find("' (err=183); using base"), std::string::npos);

    // A name that would leave the base is refused the same way.
    EXPECT_EQ(name_at(dir, L"png", L"..\\escape_q7"), dir + L"\\Ivra_2026-01-02_03-04-05_2.png");
    EXPECT_NE(log_text().find("cannot create subfolder '..\\escape_q7'"), std::string::npos);
    EXPECT_FALSE(exists(g_root + L"\\escape_q7"));

    // A missing base is created.
    const std::wstring fresh = dir + L"\\new_base";
    EXPECT_EQ(name_at(fresh, L"mp4"), fresh + L"\\Ivra_2026-01-02_03-04-05.mp4");
    EXPECT_TRUE(exists(fresh));

    // A base whose parents are missing too (a profile without Pictures) is made
    // whole, and a subfolder under it works on the first capture.
    const std::wstring deep = dir + L"\\Pictures\\Ivra";
    EXPECT_EQ(name_at(deep, L"png", L"red"), deep + L"\\red\\Ivra_2026-01-02_03-04-05.png");
    EXPECT_TRUE(exists(deep + L"\\red"));
    for (const wchar_t* n :
         {L"\\red\\Ivra_2026-01-02_03-04-05.png", L"\\red\\Ivra_2026-01-02_03-04-05_2.png",
          L"\\Ivra_2026-01-02_03-04-05.png", L"\\Ivra_2026-01-02_03-04-05_2.png",
          L"\\new_base\\Ivra_2026-01-02_03-04-05.mp4", L"\\Pictures\\Ivra\\red\\Ivra_2026-01-02_03-04-05.png"})
        capture_name_release((dir + n).c_str());
}

TEST(CaptureFiles, DestinationRules) {
    const std::wstring root = fresh_dir(L"dest");
    config* cfg = new config{};
    wcscpy(cfg->stills_dir, (root + L"\\stills").c_str());
    wcscpy(cfg->clips_dir, (root + L"\\clips").c_str());
    wcscpy(cfg->folders[2], (root + L"\\slot3").c_str());
    const std::wstring dir = root + L"\\explicit";
    CreateDirectoryW(dir.c_str(), nullptr);
    const std::wstring out_path = root + L"\\given.png";

    const struct {
        const char* what;
        int clip;
        capture_dest dest;
        std::wstring folder;  // expected folder of the generated name, or the whole path
        bool whole;
    } cases[] = {
        {"explicit path wins", 0, {out_path.c_str(), dir.c_str(), L"sub", 3}, out_path, true},
        {"digit slot over dir", 0, {nullptr, dir.c_str(), L"sub", 3}, root + L"\\slot3", false},
        {"empty slot falls to dir", 0, {nullptr, dir.c_str(), L"sub", 4}, dir, false},
        {"empty slot, no dir", 0, {nullptr, nullptr, nullptr, 5}, root + L"\\stills", false},
        {"dir ignores subfolder", 0, {nullptr, dir.c_str(), L"sub", 0}, dir, false},
        {"default with subfolder", 0, {nullptr, L"", L"sub", 0}, root + L"\\stills\\sub", false},
        {"clips folder", 1, {nullptr, nullptr, L"", 0}, root + L"\\clips", false},
        {"digit out of range", 1, {nullptr, nullptr, nullptr, 12}, root + L"\\clips", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        wchar_t out[CAPTURE_PATH_MAX] = L"";
        char err[160] = "";
        ASSERT_TRUE(capture_dest_path(cfg, c.clip, &c.dest, c.clip ? L"mp4" : L"png", out, err, sizeof err)) << err;
        if (c.whole) {
            EXPECT_EQ(std::wstring(out), c.folder);
        } else {
            const std::wstring s = out;
            EXPECT_EQ(s.substr(0, s.rfind(L'\\')), c.folder);
            EXPECT_EQ(s.substr(s.size() - 4), c.clip ? L".mp4" : L".png");
            capture_name_release(out);
        }
    }
    EXPECT_NE(log_text().find("chord digit 4 has no folder configured; saving to base"), std::string::npos);
    EXPECT_NE(log_text().find("chord digit 5 has no folder configured; saving to base"), std::string::npos);

    int used = -1;
    wchar_t base[CAPTURE_PATH_MAX];
    capture_digit_base(cfg, 0, 3, base, &used);
    EXPECT_EQ(used, 1);
    EXPECT_EQ(std::wstring(base), root + L"\\slot3");
    capture_digit_base(cfg, 1, 9, base, &used);
    EXPECT_EQ(used, 0);
    EXPECT_EQ(std::wstring(base), root + L"\\clips");
    EXPECT_NE(log_text().find("chord digit 9 has no folder configured; saving to base"), std::string::npos);

    const std::wstring too_long(300, L'x');
    capture_dest bad{too_long.c_str(), nullptr, nullptr, 0};
    wchar_t out[CAPTURE_PATH_MAX] = L"untouched";
    char err[160] = "";
    EXPECT_FALSE(capture_dest_path(cfg, 0, &bad, L"png", out, err, sizeof err));
    EXPECT_STREQ(out, L"untouched");
    delete cfg;
}

TEST(CaptureFiles, HistoryKeepsNonAsciiPathsAsUtf8) {
    const std::wstring data = fresh_dir(L"hist");
    const std::wstring a = L"C:\\Users\\Zoë\\Bilder\\Ivra_日本.png", b = L"D:\\x.mp4";
    ASSERT_TRUE(history_write_line(data.c_str(), a.c_str()));
    ASSERT_TRUE(history_write_line(data.c_str(), std::wstring(600, L'z').c_str()));
    ASSERT_TRUE(history_write_line(data.c_str(), b.c_str()));
    EXPECT_EQ(test_read_all(data + L"\\history.txt"), test_utf8(a) + "\n\n" + test_utf8(b) + "\n");

    // The data folder is created (one level) when missing.
    const std::wstring missing = data + L"\\Ivra";
    ASSERT_TRUE(history_write_line(missing.c_str(), b.c_str()));
    EXPECT_EQ(test_read_all(missing + L"\\history.txt"), test_utf8(b) + "\n");
    EXPECT_FALSE(history_write_line((data + L"\\no\\such").c_str(), b.c_str()));
}

TEST(CaptureFiles, ConcurrentAppendsNeverMixLines) {
    const std::wstring data = fresh_dir(L"mix");
    const int threads = 6, each = 150;
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&, t] {
            for (int i = 0; i < each; ++i) {
                // Long lines make a split write likely if lines were written in pieces.
                std::wstring p = L"C:\\t" + std::to_wstring(t) + L"\\" + std::wstring(200 + t * 40, L'a' + t) + L"_" +
                                 std::to_wstring(i) + L".png";
                history_write_line(data.c_str(), p.c_str());
            }
        });
    for (auto& th : pool) th.join();
    const std::string all = test_read_all(data + L"\\history.txt");
    std::set<std::string> seen;
    size_t start = 0, lines = 0;
    for (size_t nl; (nl = all.find('\n', start)) != std::string::npos; start = nl + 1) {
        const std::string line = all.substr(start, nl - start);
        ++lines;
        ASSERT_GE(line.size(), 4u);
        const int t = line[4] - '0';
        ASSERT_TRUE(t >= 0 && t < threads) << line;
        const std::string body = line.substr(6, line.rfind('_') - 6);
        EXPECT_EQ(body, std::string(200 + t * 40, (char)('a' + t)));
        seen.insert(line);
    }
    EXPECT_EQ(start, all.size());
    EXPECT_EQ(lines, (size_t)threads * each);
    EXPECT_EQ(seen.size(), (size_t)threads * each);
}

TEST(CaptureFiles, HistoryAppendUpdatesTotalsAtOnce) {
    config* cfg = new config{};
    config_defaults(cfg);
    cfg->warn_ivra_gb = 1;
    cfg->warn_free_mb = 0;
    cfg->stop_free_mb = 0;
    agent_config_set(cfg);

    storage_totals before{};
    before.ivra_bytes = 1073741824ULL - 100;
    before.stills_bytes = before.ivra_bytes;
    before.stills_count = 3;
    storage_totals_set(&before);

    const std::wstring shot = fresh_dir(L"append") + L"\\Ivra_ß.png";
    history_entry* e = history_entry_create(shot.c_str(), 100, CAPTURE_KIND_STILL);
    ASSERT_NE(e, nullptr);
    history_append(e);  // frees e
    storage_totals now{};
    storage_totals_get(&now);
    EXPECT_EQ(now.ivra_bytes, 1073741824ULL);
    EXPECT_EQ(now.ivra_big, 0);
    EXPECT_EQ(now.stills_count, 4u);
    EXPECT_EQ(now.drive[1], L':');
    EXPECT_GT(now.drive_total, 0u);

    ASSERT_TRUE(history_submit(nullptr, shot.c_str(), 1, CAPTURE_KIND_CLIP));  // no pool: runs inline
    storage_totals_get(&now);
    EXPECT_EQ(now.ivra_bytes, 1073741825ULL);
    EXPECT_EQ(now.ivra_big, 1);
    EXPECT_EQ(now.clips_count, 1u);
    EXPECT_EQ(now.clips_bytes, 1u);

    wchar_t data[CAPTURE_PATH_MAX];
    app_data_dir(data);
    const std::string hist = test_read_all(std::wstring(data) + L"\\history.txt");
    const std::string line = test_utf8(shot) + "\n";
    EXPECT_EQ(hist.substr(hist.size() - 2 * line.size()), line + line);

    EXPECT_EQ(history_entry_create(std::wstring(300, L'p').c_str(), 1, 0), nullptr);
    EXPECT_FALSE(history_submit(nullptr, L"", 1, 0));
    storage_totals zero{};
    storage_totals_set(&zero);
    delete cfg;
}

namespace {

// Where a pipe request may write, by the path's text alone.
TEST(RequestDestinations, OutputAndFolderRules) {
    const capture_guard guard{L"C:\\Users\\ann\\AppData\\Roaming\\Ivra", L"C:\\Windows"};
    struct {
        const wchar_t* path;
        int is_dir, format;
        const char* want;
    } cases[] = {
        {L"C:\\shots\\a.png", 0, 0, ""},
        {L"c:/shots/a.PNG", 0, 0, ""},
        {L"C:\\shots\\a.jpg", 0, 1, ""},
        {L"C:\\shots\\a.jpeg", 0, 1, ""},
        {L"\\\\server\\share\\a.png", 0, 0, ""},
        {L"C:\\Users\\ann\\AppData\\Roaming\\Ivra2\\a.png", 0, 0, ""},
        {L"C:\\shots\\a.jpg", 0, 0, "usage: out must end in .png for a PNG image."},
        {L"C:\\shots\\a.png", 0, 1, "usage: out must end in .jpg or .jpeg for a JPEG image."},
        {L"C:\\shots\\.png", 0, 0, "usage: out must end in .png for a PNG image."},
        {L"a.png", 0, 0, "usage: out must be an absolute path."},
        {L"C:a.png", 0, 0, "usage: out must be an absolute path."},
        {L"\\a.png", 0, 0, "usage: out must be an absolute path."},
        {L"\\\\.\\C:\\a.png", 0, 0, "usage: out must not be a device or namespace path."},
        {L"\\\\?\\GLOBALROOT\\Device\\a.png", 0, 0, "usage: out must not be a device or namespace path."},
        {L"\\??\\C:\\a.png", 0, 0, "usage: out must not be a device or namespace path."},
        {L"\\\\localhost\\C$\\a.png", 0, 0, "usage: out must not use an administrative share."},
        {L"C:\\shots\\..\\Windows\\a.png", 0, 0, "usage: out must not contain . or .. parts."},
        {L"C:\\Users\\ann\\AppData\\Roaming\\Ivra.\\a.png", 0, 0,
         "usage: out must not have parts that end in a dot or a blank."},
        {L"C:\\shots\\history.txt:x.png", 0, 0, "usage: out must not contain ':' after the drive."},
        {L"C:\\shots\\con.png", 0, 0, "usage: out must not name a device."},
        {L"C:\\shots\\LPT1.jpg", 0, 1, "usage: out must not name a device."},
        {L"C:\\users\\ANN\\appdata\\roaming\\ivra\\history.png", 0, 0,
         "usage: out must not be inside the agent's data folder."},
        {L"C:/Windows/win.ini_test.png", 0, 0, "usage: out must not be inside the Windows folder."},
        {L"C:\\shots", 1, 0, ""},
        {L"C:\\Windows2", 1, 0, ""},
        {L"shots", 1, 0, "bad_dir: dir must be an absolute path."},
        {L"C:\\Users\\ann\\AppData\\Roaming\\Ivra", 1, 0, "bad_dir: dir must not be inside the agent's data folder."},
        {L"C:\\Users\\ann\\AppData\\Roaming\\Ivra\\dumps", 1, 0,
         "bad_dir: dir must not be inside the agent's data folder."},
        {L"C:\\WINDOWS\\System32", 1, 0, "bad_dir: dir must not be inside the Windows folder."},
        {L"\\\\?\\C:\\shots", 1, 0, "bad_dir: dir must not be a device or namespace path."},
    };
    for (const auto& c : cases) {
        char err[200] = "";
        const bool ok = c.is_dir ? capture_dir_check(c.path, &guard, err, sizeof err)
                                 : capture_out_check(c.path, c.format, &guard, err, sizeof err);
        EXPECT_EQ(ok, c.want[0] == 0) << test_utf8(c.path);
        EXPECT_STREQ(err, c.want) << test_utf8(c.path);
    }
    // A folder too long to hold a generated name is refused before anything is captured.
    const std::wstring deep = L"C:\\" + std::wstring(CAPTURE_DIR_MAX - 3, L'd');
    char err[200] = "";
    EXPECT_TRUE(capture_dir_check(deep.c_str(), &guard, err, sizeof err)) << err;
    EXPECT_FALSE(capture_dir_check((deep + L"d").c_str(), &guard, err, sizeof err));
}

// Only the agent's own leftovers go: generated names with ".part", in the folders it knows.
TEST(StalePartFiles, SweptFromKnownFoldersOnly) {
    const std::wstring stills = fresh_dir(L"sweep_stills"), slot = fresh_dir(L"sweep_slot");
    const std::wstring sub = stills + L"\\sub";
    CreateDirectoryW(sub.c_str(), nullptr);
    const std::wstring gone[] = {stills + L"\\Ivra_2026-01-02_03-04-05.png.part",
                                 stills + L"\\Ivra_2026-01-02_03-04-05_4.png.part",
                                 slot + L"\\Ivra_2026-01-02_03-04-05_100.jpg.part"};
    const std::wstring kept[] = {
        stills + L"\\Ivra_2026-01-02_03-04-05.png",          stills + L"\\Ivra_2026-01-02_03-04-05_1.png.part",
        stills + L"\\Ivra_2026-01-02_03-04-05_101.png.part", stills + L"\\Ivra_2026-1-02_03-04-05.png.part",
        stills + L"\\Ivra_2026-01-02_03-04-05.txt.part",     stills + L"\\mine.png.part",
        sub + L"\\Ivra_2026-01-02_03-04-05.png.part"};
    for (const auto& p : gone) write_all(p.c_str(), "partial");
    for (const auto& p : kept) write_all(p.c_str(), "keep");
    config cfg;
    config_defaults(&cfg);
    wcscpy(cfg.stills_dir, stills.c_str());
    wcscpy(cfg.clips_dir, (g_root + L"\\no_such_folder").c_str());
    wcscpy(cfg.folders[3], slot.c_str());
    EXPECT_EQ(capture_sweep_parts(&cfg), 3);
    for (const auto& p : gone) EXPECT_FALSE(exists(p)) << test_utf8(p);
    for (const auto& p : kept) EXPECT_TRUE(exists(p)) << test_utf8(p);
}

// Refused at the start, before a recording is made only to be lost at its end.
TEST(TakeWritable, RefusesWhatTheTakeCouldNotBecome) {
    const std::wstring dir = fresh_dir(L"takes");
    const std::wstring a_file = dir + L"\\a file";
    write_all(a_file, "not a folder");
    write_all(dir + L"\\taken.mp4", "theirs");
    write_all(dir + L"\\writing.mp4.part", "another clip");
    write_all(dir + L"\\Ivra_2026-01-02_03-04-05.mp4.part", "left over");
    struct row {
        const char* what;
        std::wstring path;
        bool explicit_path;
        const char* err;  // "" accepted; otherwise the start of the text
    } rows[] = {
        {"a fresh explicit path", dir + L"\\new.mp4", true, ""},
        {"a fresh generated name", dir + L"\\Ivra_2026-01-02_03-04-06.mp4", false, ""},
        {"a generated name beside a leftover part", dir + L"\\Ivra_2026-01-02_03-04-05.mp4", false, ""},
        {"an explicit path that exists", dir + L"\\taken.mp4", true, "bad_path: out file already exists"},
        {"an explicit path being written", dir + L"\\writing.mp4", true,
         "bad_path: out file is still being written by another clip"},
        {"an explicit path in a missing folder", dir + L"\\no such\\x.mp4", true,
         "bad_path: cannot write out file (err="},
        {"a folder that is a file", a_file + L"\\Ivra_2026-01-02_03-04-05.mp4", false,
         "bad_dir: cannot write to the clip folder (err="},
        {"a folder under a file", a_file + L"\\sub\\Ivra_2026-01-02_03-04-05.mp4", false,
         "bad_dir: cannot write to the clip folder (err="},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        char err[160] = "";
        EXPECT_EQ(capture_take_writable(r.path.c_str(), r.explicit_path, err, sizeof err), r.err[0] == 0);
        EXPECT_EQ(std::string(err).substr(0, strlen(r.err)), r.err);
        if (!r.err[0]) {
            EXPECT_STREQ(err, "") << "accepted without a word";
        }
    }
    // The probe leaves nothing behind and touches nobody's file.
    EXPECT_FALSE(exists(dir + L"\\new.mp4.part"));
    EXPECT_FALSE(exists(dir + L"\\new.mp4"));
    EXPECT_FALSE(exists(dir + L"\\Ivra_2026-01-02_03-04-06.mp4.part"));
    EXPECT_EQ(test_read_all(dir + L"\\taken.mp4"), "theirs");
    EXPECT_EQ(test_read_all(dir + L"\\writing.mp4.part"), "another clip");
    EXPECT_EQ(test_read_all(dir + L"\\Ivra_2026-01-02_03-04-05.mp4.part"), "left over");
}

}  // namespace
