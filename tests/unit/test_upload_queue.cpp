// The upload queue: its table rules (adding, trimming, outcomes, retry and clear), the
// uploads.tsv journal, the status reply, the "upload" pipe command's pieces, and the
// queue itself before and after it starts, in a data folder of its own.
#include "agent/upload/upload.h"
#include "agent/pipe/pipe_upload.h"
#include "agent/pipe/pipe_server.h"
#include "tests/unit/test_support.h"
#include <gtest/gtest.h>
#include <cstring>
#include <memory>
#include <string>

namespace {

std::wstring g_appdata = [] {
    std::wstring dir = test_temp_dir(L"ivra-upload-queue-");
    SetEnvironmentVariableW(L"APPDATA", dir.c_str());
    return dir;
}();

struct cleanup_env : ::testing::Environment {
    void TearDown() override { test_remove_tree(g_appdata); }
};
::testing::Environment* const g_cleanup = ::testing::AddGlobalTestEnvironment(new cleanup_env);

std::unique_ptr<upload_table> new_table() { return std::unique_ptr<upload_table>(new upload_table{}); }

upload_item make_item(uint32_t id, int state, int tries, const wchar_t* path, const char* url = "",
                      const char* error = "") {
    upload_item it{};
    it.id = id;
    it.state = state;
    it.tries = tries;
    it.kind = upload_kind_of(path) == 1 ? 1 : 0;
    wcsncpy(it.path, path, 259);
    strncpy(it.share_url, url, 255);
    strncpy(it.error, error, 159);
    return it;
}

void push(upload_table* t, const upload_item& it) {
    t->items[t->count++] = it;
    if (it.id >= t->next_id) t->next_id = it.id + 1;
}

std::string states_of(const upload_table* t) {
    std::string s;
    for (int i = 0; i < t->count; i++) s += std::to_string(t->items[i].id) + upload_state_name(t->items[i].state)[0];
    return s;
}

}  // namespace

// ---------------------------------------------------------------- small rules

TEST(UploadRules, WorkersBackoffStatesAndKinds) {
    const struct { int in, out; } workers[] = {{-5, 1}, {0, 1}, {1, 1}, {2, 2}, {4, 4}, {5, 4}, {9, 4}};
    for (const auto& r : workers) EXPECT_EQ(upload_workers_clamp(r.in), r.out) << r.in;

    const struct { int tries; uint64_t seconds; } backoff[] = {
        {0, 15}, {1, 15}, {2, 60}, {3, 300}, {4, 900}, {5, 1800}, {6, 3600}, {7, 3600}, {9, 3600}, {50, 3600}};
    for (const auto& r : backoff) EXPECT_EQ(upload_backoff_seconds(r.tries), r.seconds) << r.tries;

    const struct { const char* name; int state; } states[] = {
        {"queued", 0}, {"uploading", 0}, {"done", 2}, {"failed", 3}, {"DONE", 0}, {"", 0}};
    for (const auto& r : states) EXPECT_EQ(upload_state_parse(r.name), r.state) << r.name;
    EXPECT_STREQ(upload_state_name(1), "uploading");
    EXPECT_STREQ(upload_state_name(7), "queued");

    const struct { const wchar_t* path; int kind; } kinds[] = {
        {L"C:\\a.PNG", 0},   {L"C:\\a.jpg", 0},      {L"C:\\a.Jpeg", 0},        {L"C:\\clip.MP4", 1},
        {L"C:\\a.gif", -1},  {L"C:\\noext", -1},     {L"C:\\x.png\\file", -1},  {L"C:\\a.png.txt", -1},
        {L"a.png", 0},       {L"C:\\a.pngx", -1},    {L"C:\\a.", -1},           {L"", -1}};
    for (size_t i = 0; i < sizeof kinds / sizeof kinds[0]; i++) EXPECT_EQ(upload_kind_of(kinds[i].path), kinds[i].kind) << i;

    char text[32] = "a\tb\rc\nd|e";
    upload_text_clean(text);
    EXPECT_STREQ(text, "a b c d e");
    char cut[4];
    upload_text_copy(cut, sizeof cut, "a\xc3\xa9z");  // never half a character
    EXPECT_STREQ(cut, "a\xc3\xa9");
    upload_text_copy(cut, 3, "a\xc3\xa9z");
    EXPECT_STREQ(cut, "a");
}

TEST(UploadRules, CollectionOfTheNumberedFolders) {
    std::unique_ptr<config> cfg(new config{});
    wcscpy(cfg->stills_dir, L"C:\\Shots");
    wcscpy(cfg->clips_dir, L"C:\\Clips\\");
    const struct { const wchar_t* folder; const char* collection; } slots[] = {
        {L"C:\\Shots\\", "11"}, {L"D:\\Work\\", "22"}, {L"d:\\work", "33"}, {L"E:\\", "44"},
        {L"F:\\Pics", ""},      {L"C:\\Clips", "66"},  {L"", "77"},         {L"G:\\Game//", "88"}};
    for (int i = 0; i < 8; i++) {
        wcscpy(cfg->folders[i], slots[i].folder);
        strcpy(cfg->collections[i], slots[i].collection);
    }
    const struct { const wchar_t* path; const char* collection; } rows[] = {
        {L"D:\\Work\\a.png", "22"},      // the first matching slot wins
        {L"d:\\WORK\\a.png", "22"},      // folders compare ignoring case
        {L"D:\\Work\\sub\\a.png", ""},   // only the folder itself
        {L"C:\\Shots\\a.png", ""},       // the stills folder never gets a collection
        {L"C:\\Clips\\c.mp4", ""},       // nor the clips folder
        {L"E:\\a.png", "44"},            // a drive's root
        {L"F:\\Pics\\a.png", ""},        // a slot without collection
        {L"G:\\Game\\a.png", "88"},      // trailing slashes of the setting do not count
        {L"a.png", ""},
    };
    for (const auto& r : rows) {
        char out[24] = "junk";
        EXPECT_EQ(upload_collection_for(cfg.get(), r.path, out), r.collection[0] != 0);
        EXPECT_STREQ(out, r.collection);
    }
}

// ---------------------------------------------------------------- journal

TEST(UploadJournal, ParsesLinesAsTheyAreWrittenAndSkipsBrokenOnes) {
    struct want { uint32_t id; int state, tries, kind; long long finished; const wchar_t* path; const char *url, *error, *collection; };
    const struct {
        const char* text;
        int count;
        want items[2];
        uint32_t next_id;
    } rows[] = {
        {"7\tuploading\t2\t0\t0\tC:\\x.png\t\t\t", 1, {{7, 0, 2, 0, 0, L"C:\\x.png", "", "", ""}}, 8},
        {"3\tdone\t1\t1\t1700000000\tC:\\v.mp4\thttps://s/3\t\t42\r\n", 1,
         {{3, 2, 1, 1, 1700000000, L"C:\\v.mp4", "https://s/3", "", "42"}}, 4},
        {"5\tfailed\t4\t0\t9\tC:\\f.png", 1, {{5, 3, 4, 0, 9, L"C:\\f.png", "", "", ""}}, 6},
        {"5\tqueued\t0\t0\t0\n", 0, {}, 1},                      // fewer than six fields
        {"0\tqueued\t0\t0\t0\tC:\\z.png\n", 0, {}, 1},           // id 0
        {"9\tqueued\t0\t0\t0\t\t\t\t\n", 0, {}, 1},              // no path
        {"x1\tqueued\t0\t0\t0\tC:\\z.png\n", 0, {}, 1},          // id is no number
        {"4294967296\tqueued\t0\t0\t0\tC:\\z.png\n", 0, {}, 1},  // id beyond 32 bits
        {"4\tbogus\t-3\t7\t0\tC:\\k.jpg\tu\te\t123456789012345678901234\n", 1,
         {{4, 0, 0, 1, 0, L"C:\\k.jpg", "u", "e", ""}}, 5},      // a collection of 24 characters is dropped
        {"2\tdone\t1\t0\t1\tC:\\a.png\n2\tqueued\t0\t0\t0\tC:\\b.png\n", 1,
         {{2, 2, 1, 0, 1, L"C:\\a.png", "", "", ""}}, 3},        // a repeated id keeps the first line
        {"10\tqueued\t0\t0\t0\tC:\\\xc3\xa9.png\n\n4\tfailed\t1\t0\t5\tC:\\p.png\t\ta|b\textra\tfields\n", 2,
         {{10, 0, 0, 0, 0, L"C:\\\u00e9.png", "", "", ""}, {4, 3, 1, 0, 5, L"C:\\p.png", "", "a b", "extra"}}, 11},
        {"4294967295\tqueued\t0\t0\t0\tC:\\m.png\n", 1, {{4294967295u, 0, 0, 0, 0, L"C:\\m.png", "", "", ""}}, 1},
    };
    for (const auto& r : rows) {
        auto t = new_table();
        EXPECT_EQ(upload_journal_parse(r.text, strlen(r.text), t.get()), r.count) << r.text;
        ASSERT_EQ(t->count, r.count) << r.text;
        EXPECT_EQ(t->next_id, r.next_id) << r.text;
        for (int i = 0; i < r.count; i++) {
            const upload_item& it = t->items[i];
            const want& w = r.items[i];
            EXPECT_EQ(it.id, w.id) << r.text;
            EXPECT_EQ(it.state, w.state) << r.text;
            EXPECT_EQ(it.tries, w.tries) << r.text;
            EXPECT_EQ(it.kind, w.kind) << r.text;
            EXPECT_EQ(it.finished_at, w.finished) << r.text;
            EXPECT_EQ(std::wstring(it.path), std::wstring(w.path)) << r.text;
            EXPECT_STREQ(it.share_url, w.url) << r.text;
            EXPECT_STREQ(it.error, w.error) << r.text;
            EXPECT_STREQ(it.collection_id, w.collection) << r.text;
            EXPECT_EQ(it.next_try, 0u) << r.text;
        }
    }
}

TEST(UploadJournal, WritesEveryItemAndReadsItBack) {
    auto t = new_table();
    push(t.get(), make_item(1, UPLOAD_UPLOADING, 2, L"C:\\a.png"));
    upload_item done = make_item(2, UPLOAD_DONE, 1, L"C:\\b.mp4", "https://x/s/2");
    done.finished_at = 1700000000;
    strcpy(done.collection_id, "12");
    push(t.get(), done);
    upload_item failed = make_item(3, UPLOAD_FAILED, 10, L"C:\\\u00e9.jpg", "", "Storage refused the original (HTTP 403).");
    failed.finished_at = 1700000100;
    push(t.get(), failed);

    static char text[UPLOAD_MAX_ITEMS * UPLOAD_JOURNAL_LINE_MAX];
    size_t len = upload_journal_format(t.get(), text, sizeof text);
    const std::string want =
        "1\tqueued\t2\t0\t0\tC:\\a.png\t\t\t\n"  // an interrupted transfer is written as queued
        "2\tdone\t1\t1\t1700000000\tC:\\b.mp4\thttps://x/s/2\t\t12\n"
        "3\tfailed\t10\t0\t1700000100\tC:\\\xc3\xa9.jpg\t\tStorage refused the original (HTTP 403).\t\n";
    EXPECT_EQ(std::string(text, len), want);

    auto back = new_table();
    ASSERT_EQ(upload_journal_parse(text, len, back.get()), 3);
    EXPECT_EQ(states_of(back.get()), "1q2d3f");
    EXPECT_EQ(back->next_id, 4u);
    EXPECT_STREQ(back->items[1].collection_id, "12");
    EXPECT_EQ(std::wstring(back->items[2].path), L"C:\\\u00e9.jpg");

    // Only whole lines when the buffer is short.
    char small[40];
    EXPECT_EQ(upload_journal_format(t.get(), small, sizeof small), 27u);
    EXPECT_STREQ(small, "1\tqueued\t2\t0\t0\tC:\\a.png\t\t\t\n");

    // At most 256 items come back from a longer journal.
    std::string many;
    for (int i = 1; i <= 300; i++) many += std::to_string(i) + "\tqueued\t0\t0\t0\tC:\\f" + std::to_string(i) + ".png\n";
    auto full = new_table();
    EXPECT_EQ(upload_journal_parse(many.data(), many.size(), full.get()), UPLOAD_MAX_ITEMS);
    EXPECT_EQ(full->next_id, 257u);
}

// ---------------------------------------------------------------- adding and trimming

TEST(UploadTable, AddingFollowsTheSamePathRules) {
    enum { NONE = -1 };
    const struct {
        const char* what;
        int existing_state;  // NONE: empty table
        const char* existing_url;
        const wchar_t* path;
        int result;
        uint32_t id;
        int state_after;
        int tries_after;
    } rows[] = {
        {"new", NONE, "", L"C:\\a.png", UPLOAD_ADD_NEW, 1, UPLOAD_QUEUED, 0},
        {"queued, other case", UPLOAD_QUEUED, "", L"c:\\A.PNG", UPLOAD_ADD_EXISTING, 5, UPLOAD_QUEUED, 3},
        {"uploading", UPLOAD_UPLOADING, "", L"C:\\a.png", UPLOAD_ADD_EXISTING, 5, UPLOAD_UPLOADING, 3},
        {"failed is queued again", UPLOAD_FAILED, "", L"C:\\a.png", UPLOAD_ADD_REQUEUED, 5, UPLOAD_QUEUED, 0},
        {"done with a link", UPLOAD_DONE, "https://s/5", L"C:\\a.png", UPLOAD_ADD_ALREADY_DONE, 5, UPLOAD_DONE, 3},
        {"done without a link", UPLOAD_DONE, "", L"C:\\a.png", UPLOAD_ADD_EXISTING, 5, UPLOAD_DONE, 3},
        {"another file", UPLOAD_FAILED, "", L"C:\\b.png", UPLOAD_ADD_NEW, 6, UPLOAD_QUEUED, 0},
    };
    for (const auto& r : rows) {
        auto t = new_table();
        t->next_id = 1;
        if (r.existing_state != NONE) {
            upload_item it = make_item(5, r.existing_state, 3, L"C:\\a.png", r.existing_url, "old error");
            it.next_try = 99;
            it.finished_at = 7;
            push(t.get(), it);
        }
        uint32_t id = 0;
        EXPECT_EQ(upload_table_add(t.get(), r.path, 0, "17", &id), r.result) << r.what;
        EXPECT_EQ(id, r.id) << r.what;
        int i = upload_table_find(t.get(), id);
        ASSERT_GE(i, 0) << r.what;
        const upload_item& it = t->items[i];
        EXPECT_EQ(it.state, r.state_after) << r.what;
        EXPECT_EQ(it.tries, r.tries_after) << r.what;
        if (r.result == UPLOAD_ADD_REQUEUED) {
            EXPECT_STREQ(it.error, "") << r.what;
            EXPECT_EQ(it.next_try, 0u) << r.what;
            EXPECT_EQ(it.finished_at, 0) << r.what;
        }
        if (r.result == UPLOAD_ADD_NEW) {
            EXPECT_STREQ(it.collection_id, "17") << r.what;
            EXPECT_EQ(std::wstring(it.path), std::wstring(r.path)) << r.what;
        }
    }
}

TEST(UploadTable, FullQueueAndTrimmingOfFinishedItems) {
    const struct {
        int finished_first;  // finished items at the front of the table
        int unfinished;
        int result;
        int count_after;
        int finished_after;
    } rows[] = {
        {0, 256, UPLOAD_ADD_FULL, 256, 0},    // nothing to trim: "the upload queue is full"
        {10, 246, UPLOAD_ADD_NEW, 256, 9},    // full: the oldest finished one makes room
        {101, 0, UPLOAD_ADD_NEW, 101, 100},   // above 100 finished: trimmed to 100
        {100, 5, UPLOAD_ADD_NEW, 106, 100},   // exactly 100 stay
        {150, 106, UPLOAD_ADD_NEW, 207, 100},
    };
    for (const auto& r : rows) {
        auto t = new_table();
        for (int i = 0; i < r.finished_first + r.unfinished; i++) {
            std::wstring path = L"C:\\f" + std::to_wstring(i) + L".png";
            push(t.get(), make_item((uint32_t)i + 1, i < r.finished_first ? (i % 2 ? UPLOAD_DONE : UPLOAD_FAILED) : UPLOAD_QUEUED,
                                    0, path.c_str()));
        }
        uint32_t id = 12345;
        EXPECT_EQ(upload_table_add(t.get(), L"C:\\new.png", 0, "", &id), r.result) << r.finished_first;
        if (r.result == UPLOAD_ADD_FULL) {
            EXPECT_EQ(id, 12345u);
        }
        EXPECT_EQ(t->count, r.count_after) << r.finished_first;
        int counts[4];
        upload_table_counts(t.get(), counts);
        EXPECT_EQ(counts[UPLOAD_DONE] + counts[UPLOAD_FAILED], r.finished_after) << r.finished_first;
        // The oldest finished items went first.
        int trimmed = r.finished_first - r.finished_after;
        if (r.finished_after > 0 && trimmed > 0) {
            EXPECT_EQ(t->items[0].id, (uint32_t)trimmed + 1) << r.finished_first;
        }
    }
}

// ---------------------------------------------------------------- outcomes

TEST(UploadTable, RetriesFollowTheScheduleAndTheTenthFails) {
    auto t = new_table();
    push(t.get(), make_item(4, UPLOAD_UPLOADING, 0, L"C:\\a.png"));
    const uint64_t waits[] = {15, 60, 300, 900, 1800, 3600, 3600, 3600, 3600};
    for (int n = 1; n <= 10; n++) {
        t->items[0].state = UPLOAD_UPLOADING;
        upload_item it{};
        int r = upload_table_finish(t.get(), 4, UPLOAD_OUTCOME_RETRY, "", "Storage refused the original (HTTP 403).",
                                    false, 1000000, 1000, 1700000000, &it);
        EXPECT_EQ(it.tries, n);
        EXPECT_STREQ(it.error, "Storage refused the original (HTTP 403).");
        if (n < 10) {
            EXPECT_EQ(r, UPLOAD_FINISH_RETRY) << n;
            EXPECT_EQ(it.state, UPLOAD_QUEUED) << n;
            EXPECT_EQ(it.next_try, 1000000 + waits[n - 1] * 1000) << n;
        } else {
            EXPECT_EQ(r, UPLOAD_FINISH_FAILED);
            EXPECT_EQ(it.state, UPLOAD_FAILED);
            EXPECT_EQ(it.finished_at, 1700000000);
        }
    }
    // One back-off second of the test hook: 15 s pass in 15 times its length.
    t->items[0] = make_item(4, UPLOAD_UPLOADING, 0, L"C:\\a.png");
    upload_table_finish(t.get(), 4, UPLOAD_OUTCOME_RETRY, "", "x", false, 500, 20, 0, nullptr);
    EXPECT_EQ(t->items[0].next_try, 500u + 15 * 20);
}

TEST(UploadTable, EachOutcomeAndTheShutdownRule) {
    const struct {
        const char* what;
        int outcome;
        bool stopping;
        int tries_before;
        int result;
        int state;
        int tries;
    } rows[] = {
        {"done", UPLOAD_OUTCOME_DONE, false, 2, UPLOAD_FINISH_DONE, UPLOAD_DONE, 2},
        {"failed", UPLOAD_OUTCOME_FAILED, false, 0, UPLOAD_FINISH_FAILED, UPLOAD_FAILED, 1},
        {"unlinked", UPLOAD_OUTCOME_UNLINKED, false, 1, UPLOAD_FINISH_UNLINKED, UPLOAD_QUEUED, 1},
        {"retry", UPLOAD_OUTCOME_RETRY, false, 0, UPLOAD_FINISH_RETRY, UPLOAD_QUEUED, 1},
        {"unknown outcome", 42, false, 0, UPLOAD_FINISH_RETRY, UPLOAD_QUEUED, 1},
        {"done while stopping", UPLOAD_OUTCOME_DONE, true, 0, UPLOAD_FINISH_DONE, UPLOAD_DONE, 0},
        {"failed while stopping", UPLOAD_OUTCOME_FAILED, true, 0, UPLOAD_FINISH_RETRY, UPLOAD_QUEUED, 1},
        {"unlinked while stopping", UPLOAD_OUTCOME_UNLINKED, true, 0, UPLOAD_FINISH_RETRY, UPLOAD_QUEUED, 1},
        {"tenth try while stopping", UPLOAD_OUTCOME_RETRY, true, 9, UPLOAD_FINISH_RETRY, UPLOAD_QUEUED, 10},
    };
    for (const auto& r : rows) {
        auto t = new_table();
        push(t.get(), make_item(3, UPLOAD_UPLOADING, r.tries_before, L"C:\\a.png", "", "earlier"));
        upload_item it{};
        EXPECT_EQ(upload_table_finish(t.get(), 3, r.outcome, "https://s/3\t|x", "Upload interrupted: timed out.",
                                      r.stopping, 100, 1000, 1700000000, &it),
                  r.result)
            << r.what;
        EXPECT_EQ(t->items[0].state, r.state) << r.what;
        EXPECT_EQ(t->items[0].tries, r.tries) << r.what;
        EXPECT_EQ(it.id, 3u) << r.what;
        if (r.result == UPLOAD_FINISH_DONE) {
            EXPECT_STREQ(it.share_url, "https://s/3  x") << r.what;
            EXPECT_STREQ(it.error, "") << r.what;
            EXPECT_EQ(it.finished_at, 1700000000) << r.what;
        }
    }
    // Only an uploading item takes an outcome.
    auto t = new_table();
    push(t.get(), make_item(3, UPLOAD_QUEUED, 0, L"C:\\a.png"));
    EXPECT_EQ(upload_table_finish(t.get(), 3, UPLOAD_OUTCOME_DONE, "u", "", false, 0, 1000, 0, nullptr), UPLOAD_FINISH_IGNORED);
    EXPECT_EQ(upload_table_finish(t.get(), 8, UPLOAD_OUTCOME_DONE, "u", "", false, 0, 1000, 0, nullptr), UPLOAD_FINISH_IGNORED);
    EXPECT_EQ(t->items[0].state, UPLOAD_QUEUED);
}

TEST(UploadTable, RetryClearAndTheLinkGoingAway) {
    auto fill = [](upload_table* t) {
        push(t, make_item(1, UPLOAD_FAILED, 10, L"C:\\1.png", "", "gone"));
        upload_item pending = make_item(2, UPLOAD_QUEUED, 2, L"C:\\2.png");
        pending.next_try = 5000;
        push(t, pending);
        upload_item due = make_item(3, UPLOAD_QUEUED, 1, L"C:\\3.png");
        due.next_try = 900;
        push(t, due);
        push(t, make_item(4, UPLOAD_UPLOADING, 0, L"C:\\4.png"));
        push(t, make_item(5, UPLOAD_DONE, 1, L"C:\\5.png", "https://s/5"));
    };
    auto t = new_table();
    fill(t.get());
    EXPECT_EQ(upload_table_next_wake(t.get(), 1000), 5000u);
    EXPECT_EQ(upload_table_retry(t.get(), 1000), 2);  // the failed one and the one still waiting
    EXPECT_EQ(states_of(t.get()), "1q2q3q4u5d");
    EXPECT_EQ(t->items[0].tries, 0);
    EXPECT_EQ(t->items[1].next_try, 0u);
    EXPECT_EQ(t->items[2].tries, 1);  // already due: untouched
    EXPECT_EQ(upload_table_next_wake(t.get(), 1000), 0u);
    EXPECT_EQ(upload_table_retry(t.get(), 1000), 0);

    t = new_table();
    fill(t.get());
    EXPECT_EQ(upload_table_clear(t.get()), 2);
    EXPECT_EQ(states_of(t.get()), "2q3q4u");

    t = new_table();
    fill(t.get());
    EXPECT_EQ(upload_table_drop_queued(t.get()), 2);
    EXPECT_EQ(states_of(t.get()), "1f4u5d");

    // A transfer that comes back after the link went away leaves nothing queued for
    // whichever account is linked next.
    t = new_table();
    fill(t.get());
    upload_table_finish(t.get(), 4, UPLOAD_OUTCOME_RETRY, "", "Upload interrupted: cancelled.", false, 1000, 1000, 0, nullptr);
    EXPECT_EQ(upload_table_settle(t.get(), false), 3);
    EXPECT_EQ(states_of(t.get()), "1f5d");
    t = new_table();
    fill(t.get());
    EXPECT_EQ(upload_table_settle(t.get(), true), 0);
    EXPECT_EQ(t->count, 5);
}

// ---------------------------------------------------------------- status reply

TEST(UploadStatus, CountsThenEveryItemNewestFirst) {
    auto t = new_table();
    push(t.get(), make_item(1, UPLOAD_DONE, 1, L"C:\\a.png", "https://s/1"));
    push(t.get(), make_item(2, UPLOAD_FAILED, 10, L"C:\\b.png", "", "Too large to upload (limit 50 MB)."));
    upload_item waiting = make_item(3, UPLOAD_QUEUED, 2, L"C:\\d.png", "", "Storage refused the original (HTTP 403).");
    waiting.next_try = 1000000 + 14500;
    push(t.get(), waiting);
    push(t.get(), make_item(4, UPLOAD_UPLOADING, 0, L"C:\\c.mp4"));
    upload_item due = make_item(5, UPLOAD_QUEUED, 0, L"C:\\\u00e9.png");
    due.next_try = 1000000 - 5;
    push(t.get(), due);

    const std::string head = "ok\tlinked=1\taccount=Ann Resident\tworkers=2\tqueued=2\tactive=1\tdone=1\tfailed=1\titems=5";
    const std::string u0 = "\tu0=5|queued|0|still|0|||C:\\\xc3\xa9.png";
    const std::string u1 = "\tu1=4|uploading|0|clip|0|||C:\\c.mp4";
    const std::string u2 = "\tu2=3|queued|2|still|15||Storage refused the original (HTTP 403).|C:\\d.png";
    const std::string u3 = "\tu3=2|failed|10|still|0||Too large to upload (limit 50 MB).|C:\\b.png";
    const std::string u4 = "\tu4=1|done|1|still|0|https://s/1||C:\\a.png";
    const std::string all = head + u0 + u1 + u2 + u3 + u4 + "\n";

    static char out[UPLOAD_STATUS_CAP];
    const struct {
        size_t cap;
        std::string want;
    } rows[] = {
        {UPLOAD_STATUS_CAP, all},
        {all.size() + 1, all},                                      // exactly fits
        {all.size(), head + u0 + u1 + u2 + u3 + "\n"},              // whole fields only
        {head.size() + u0.size() + u1.size() + 2, head + u0 + u1 + "\n"},
        {head.size() + 2, head + "\n"},
        {20, head.substr(0, 18) + "\n"},                            // even a cut head ends the line
    };
    for (const auto& r : rows) {
        size_t len = upload_status_format(t.get(), true, "Ann Resident", 2, 1000000, 1000, out, r.cap);
        EXPECT_EQ(std::string(out, len), r.want) << r.cap;
        EXPECT_LT(len, r.cap);
    }

    // Not linked: no name; with the test hook's 10-ms seconds the wait is counted in those.
    size_t len = upload_status_format(t.get(), false, "Ann Resident", 1, 1000000 + 14500 - 145, 10, out, sizeof out);
    std::string text(out, len);
    EXPECT_EQ(text.rfind("ok\tlinked=0\taccount=\tworkers=1\t", 0), 0u) << text;
    EXPECT_NE(text.find("\tu2=3|queued|2|still|15|"), std::string::npos) << text;

    auto empty = new_table();
    len = upload_status_format(empty.get(), false, "", 4, 0, 1000, out, sizeof out);
    EXPECT_EQ(std::string(out, len), "ok\tlinked=0\taccount=\tworkers=4\tqueued=0\tactive=0\tdone=0\tfailed=0\titems=0\n");
}

// ---------------------------------------------------------------- pipe command pieces

TEST(PipeUpload, OpsRepliesAndPaths) {
    const struct { const char* args; int op; } ops[] = {
        {"", PIPE_UPLOAD_STATUS},          {"op=", PIPE_UPLOAD_STATUS},       {"op=status", PIPE_UPLOAD_STATUS},
        {"path=C:\\a.png", PIPE_UPLOAD_STATUS}, {"op=add\tpath=C:\\a.png", PIPE_UPLOAD_ADD},
        {"op=retry", PIPE_UPLOAD_RETRY},   {"op=clear", PIPE_UPLOAD_CLEAR},   {"op=frobnicate", PIPE_UPLOAD_BAD_OP},
        {"op=Add", PIPE_UPLOAD_BAD_OP},    {"op=addaddaddaddaddaddaddaddaddaddaddaddadda", PIPE_UPLOAD_BAD_OP},
        {"op=statusstatusstatusstatusstatusstatusstatus", PIPE_UPLOAD_BAD_OP},
    };
    for (const auto& r : ops) EXPECT_EQ(pipe_upload_op_of(r.args), r.op) << r.args;

    char reply[PIPE_ERR_CAP];
    const struct { bool queued; uint32_t id; bool linked; const char* err; const char* want; } replies[] = {
        {true, 7, true, "", "ok\tid=7\n"},
        {false, 0, true, "file not found", "err\tcode=upload\tmsg=file not found\n"},
        {false, 0, false, "this PC is not linked to an Ivra account",
         "err\tcode=not_linked\tmsg=this PC is not linked to an Ivra account\n"},
        {false, 0, true, "the upload queue is full", "err\tcode=upload\tmsg=the upload queue is full\n"},
    };
    for (const auto& r : replies) {
        size_t len = pipe_upload_add_format(r.queued, r.id, r.linked, r.err, reply, sizeof reply);
        EXPECT_EQ(std::string(reply, len), r.want);
    }

    wchar_t path[260];
    EXPECT_FALSE(pipe_upload_path("", path));
    EXPECT_TRUE(pipe_upload_path("C:\\\xc3\xbc.png", path));
    EXPECT_EQ(std::wstring(path), L"C:\\\u00fc.png");
    std::string long_path = "C:\\" + std::string(400, 'a');
    EXPECT_TRUE(pipe_upload_path(long_path.c_str(), path));
    EXPECT_EQ(wcslen(path), 259u);
}

// ---------------------------------------------------------------- the agent's queue

namespace {

std::wstring data_file(const wchar_t* name) { return g_appdata + L"\\Ivra\\" + name; }

void write_file(const std::wstring& path, const std::string& text) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(f, INVALID_HANDLE_VALUE);
    DWORD wrote = 0;
    if (!text.empty()) WriteFile(f, text.data(), (DWORD)text.size(), &wrote, nullptr);
    CloseHandle(f);
}

}  // namespace

TEST(UploadQueue, JournalSurvivesEarlyRequestsAndFollowsEveryChange) {
    CreateDirectoryW((g_appdata + L"\\Ivra").c_str(), nullptr);
    const std::wstring journal = data_file(L"uploads.tsv");
    const std::string restored =
        "7\tuploading\t2\t0\t0\tC:\\x.png\t\t\t\n"
        "8\tdone\t1\t0\t1700000000\tC:\\y.png\thttps://s/8\t\t\n"
        "9\tfailed\t10\t0\t1700000001\tC:\\z.png\t\tStorage refused the original (HTTP 403).\t\n";
    write_file(journal, restored);

    // Before the start the table is still empty: a request then must not wipe the journal.
    EXPECT_FALSE(upload_wait_started(0));
    EXPECT_EQ(upload_clear(), 0);
    EXPECT_EQ(upload_retry(), 0);
    EXPECT_EQ(test_read_all(journal), restored);

    upload_start(9);
    EXPECT_TRUE(upload_wait_started(0));
    EXPECT_FALSE(upload_linked());
    static char status[UPLOAD_STATUS_CAP];
    upload_status(status, sizeof status);
    EXPECT_EQ(std::string(status).rfind(
                  "ok\tlinked=0\taccount=\tworkers=4\tqueued=1\tactive=0\tdone=1\tfailed=1\titems=3\tu0=9|failed", 0),
              0u)
        << status;
    EXPECT_EQ(upload_pending(), 1);

    // Adding: every refusal leaves the id alone and queues nothing.
    const std::wstring dir = g_appdata + L"\\caps";
    CreateDirectoryW(dir.c_str(), nullptr);
    CreateDirectoryW((dir + L"\\folder.png").c_str(), nullptr);
    write_file(dir + L"\\empty.png", "");
    write_file(dir + L"\\shot.PNG", "png bytes");
    const struct { std::wstring path; const char* err; } adds[] = {
        {dir + L"\\a.gif", "only .png, .jpg and .mp4 files can be uploaded"},
        {dir + L"\\missing.png", "file not found"},
        {dir + L"\\empty.png", "file not found"},
        {dir + L"\\folder.png", "file not found"},
        {dir + L"\\shot.PNG", "this PC is not linked to an Ivra account"},
    };
    for (const auto& r : adds) {
        uint32_t id = 77;
        char err[160] = "";
        EXPECT_FALSE(upload_add(r.path.c_str(), &id, err, sizeof err));
        EXPECT_STREQ(err, r.err);
        EXPECT_EQ(id, 77u);
    }

    // A retry that changes something rewrites the journal; one that changes nothing does not.
    EXPECT_EQ(upload_retry(), 1);
    const std::string retried =
        "7\tqueued\t2\t0\t0\tC:\\x.png\t\t\t\n"
        "8\tdone\t1\t0\t1700000000\tC:\\y.png\thttps://s/8\t\t\n"
        "9\tqueued\t0\t0\t0\tC:\\z.png\t\tStorage refused the original (HTTP 403).\t\n";
    EXPECT_EQ(test_read_all(journal), retried);
    write_file(journal, retried + "# marker\n");
    EXPECT_EQ(upload_retry(), 0);
    EXPECT_EQ(test_read_all(journal), retried + "# marker\n");

    EXPECT_EQ(upload_clear(), 1);
    const std::string cleared = "7\tqueued\t2\t0\t0\tC:\\x.png\t\t\t\n9\tqueued\t0\t0\t0\tC:\\z.png\t\tStorage refused the original (HTTP 403).\t\n";
    EXPECT_EQ(test_read_all(journal), cleared);

    upload_shutdown();
    EXPECT_EQ(test_read_all(journal), cleared);
    EXPECT_EQ(GetFileAttributesW(data_file(L"uploads.tsv.tmp").c_str()), INVALID_FILE_ATTRIBUTES);
}
