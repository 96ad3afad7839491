#include "agent/core/take_journal.h"
#include "common/win.h"
#include "tests/unit/test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

// Also APPDATA, so the log lands here; set before anything logs.
const std::wstring g_root = [] {
    std::wstring r = test_temp_dir(L"ivra_takes_");
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

TEST(TakeJournal, ParsesOnlyPartLines) {
    struct row {
        const char* line;
        bool ok;
        uint64_t id;
        const wchar_t* path;
    } rows[] = {
        {"3\tC:\\v\\a.mp4.part", true, 3, L"C:\\v\\a.mp4.part"},
        {"0\tZ:\\x\\b.PART\r", true, 0, L"Z:\\x\\b.PART"},
        {"12\tC:\\Vid\xc3\xa9os\\c.mp4.part", true, 12, L"C:\\Vid\u00e9os\\c.mp4.part"},
        {"4\tC:\\v\\a.mp4", false, 0, nullptr},
        {"4\tC:\\v\\.part\\", false, 0, nullptr},
        {"4\tC:\\v\\.part", false, 0, nullptr},
        {"C:\\v\\a.mp4.part", false, 0, nullptr},
        {"4 C:\\v\\a.mp4.part", false, 0, nullptr},
        {"4\t", false, 0, nullptr},
        {"4\tC:\\\xff.part", false, 0, nullptr},
    };
    for (const row& r : rows) {
        uint64_t id = 99;
        wchar_t path[TAKE_JOURNAL_PATH_MAX] = L"untouched";
        EXPECT_EQ(take_journal_parse_line(r.line, strlen(r.line), &id, path), r.ok) << r.line;
        EXPECT_EQ(id, r.ok ? r.id : 99u) << r.line;
        EXPECT_EQ(std::wstring(path), r.ok ? r.path : L"untouched") << r.line;
    }
}

// A killed agent's takes go at the next start wherever they were written; nothing else does.
TEST(TakeJournal, StartupRemovesListedTakesAndClears) {
    const std::wstring dir = fresh_dir(L"anywhere"), file = fresh_dir(L"data") + L"\\takes.tsv";
    const std::wstring left = dir + L"\\my clip.mp4.part", left2 = dir + L"\\Ivra_2026-01-02_03-04-05.mp4.part";
    const std::wstring gone = dir + L"\\finished.mp4.part", not_part = dir + L"\\keep.mp4";
    write_all(left, "unfinished");
    write_all(left2, "unfinished");
    write_all(not_part, "a clip of the user");
    std::string text;
    for (const std::wstring* p : {&left, &gone, &not_part, &left2}) text += "7\t" + test_utf8(*p) + "\n";
    write_all(file, text + "garbage line\n");

    take_journal* j = take_journal_create(file.c_str());
    ASSERT_NE(j, nullptr);
    EXPECT_EQ(take_journal_count(j), 3);
    EXPECT_EQ(take_journal_sweep(j), 2);
    EXPECT_FALSE(exists(left));
    EXPECT_FALSE(exists(left2));
    EXPECT_TRUE(exists(not_part));
    EXPECT_EQ(take_journal_count(j), 0);
    EXPECT_EQ(test_read_all(file), "");
    // The log scrubs the profile part of the path; the file name stays.
    const std::string log = log_text();
    const size_t at = log.find("startup: removed stale partial capture ");
    ASSERT_NE(at, std::string::npos) << log;
    EXPECT_NE(log.find("\\my clip.mp4.part\n", at), std::string::npos) << log;
    take_journal_destroy(j);
}

TEST(TakeJournal, TakesStayListedUntilTheirSessionEnds) {
    const std::wstring dir = fresh_dir(L"clips"), file = fresh_dir(L"data") + L"\\takes.tsv";
    const std::wstring a = dir + L"\\a.mp4.part", redo = dir + L"\\a2.mp4.part", b = dir + L"\\b.mp4.part";
    take_journal* j = take_journal_create(file.c_str());
    ASSERT_NE(j, nullptr);
    EXPECT_TRUE(take_journal_add(j, 1, a.c_str()));
    EXPECT_TRUE(take_journal_add(j, 2, b.c_str()));
    EXPECT_TRUE(take_journal_add(j, 1, redo.c_str()));
    EXPECT_TRUE(take_journal_add(j, 1, redo.c_str())) << "a redo onto the same path lists it once";
    EXPECT_FALSE(take_journal_add(j, 1, (dir + L"\\a.mp4").c_str())) << "only part files are listed";
    EXPECT_EQ(test_read_all(file), "1\t" + test_utf8(a) + "\n2\t" + test_utf8(b) + "\n1\t" + test_utf8(redo) + "\n");

    take_journal_remove_session(j, 1);
    EXPECT_EQ(test_read_all(file), "2\t" + test_utf8(b) + "\n");
    take_journal_remove_session(j, 2);
    EXPECT_EQ(test_read_all(file), "");
    EXPECT_FALSE(exists(file + L".tmp"));
    take_journal_destroy(j);

    // Without an agent (unit tests of the sessions) there is no journal.
    EXPECT_TRUE(take_journal_add(nullptr, 1, a.c_str()));
    take_journal_remove_session(nullptr, 1);
    EXPECT_EQ(take_journal_sweep(nullptr), 0);
}

// Full of takes whose files still exist, the journal says so; takes already gone make room.
TEST(TakeJournal, FullJournalGivesUpTakesThatAreGone) {
    const std::wstring dir = fresh_dir(L"many"), file = fresh_dir(L"data") + L"\\takes.tsv";
    take_journal* j = take_journal_create(file.c_str());
    ASSERT_NE(j, nullptr);
    for (int i = 0; i < TAKE_JOURNAL_MAX; i++) {
        const std::wstring p = dir + L"\\t" + std::to_wstring(i) + L".mp4.part";
        if (i == 5) write_all(p, "open");  // only one is still being written
        ASSERT_TRUE(take_journal_add(j, 1, p.c_str()));
    }
    write_all(dir + L"\\next.mp4.part", "open");
    EXPECT_TRUE(take_journal_add(j, 2, (dir + L"\\next.mp4.part").c_str()));
    EXPECT_EQ(take_journal_count(j), 2);
    for (int i = 2; i < TAKE_JOURNAL_MAX; i++) {
        const std::wstring p = dir + L"\\u" + std::to_wstring(i) + L".mp4.part";
        write_all(p, "open");
        ASSERT_TRUE(take_journal_add(j, 3, p.c_str()));
    }
    EXPECT_FALSE(take_journal_add(j, 4, (dir + L"\\one too many.mp4.part").c_str()));
    EXPECT_EQ(take_journal_count(j), TAKE_JOURNAL_MAX);
    take_journal_destroy(j);
}

}  // namespace
