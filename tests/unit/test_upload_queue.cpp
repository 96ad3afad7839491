// The upload queue: its table rules, the uploads.tsv journal, the status reply, the
// "upload" pipe command's pieces, and the queue before and after it starts.
#include "agent/upload/upload.h"
#include "agent/pipe/pipe_server.h"
#include "agent/pipe/pipe_upload.h"
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

void push(upload_table* t, uint32_t id, int state, int tries, const wchar_t* path, const char* url = "",
          const char* error = "", uint64_t next_try = 0) {
    upload_item& it = t->items[t->count++];
    it = upload_item{};
    it.id = id;
    it.state = state;
    it.tries = tries;
    it.kind = upload_kind_of(path) == 1;
    it.next_try = next_try;
    wcsncpy(it.path, path, 259);
    strncpy(it.share_url, url, 255);
    strncpy(it.error, error, 159);
    if (id >= t->next_id) t->next_id = id + 1;
}

// "<id><first letter of the state><tries>" for every item, in table order.
std::string states_of(const upload_table* t) {
    std::string s;
    for (int i = 0; i < t->count; i++)
        s += (s.empty() ? "" : " ") + std::to_string(t->items[i].id) + upload_state_name(t->items[i].state)[0] +
             std::to_string(t->items[i].tries);
    return s;
}

std::string journal_of(const upload_table* t) {
    static char text[UPLOAD_MAX_ITEMS * UPLOAD_JOURNAL_LINE_MAX];
    return std::string(text, upload_journal_format(t, text, sizeof text));
}

}  // namespace

TEST(UploadRules, WorkersBackoffAndKinds) {
    const int workers[][2] = {{-5, 1}, {0, 1}, {1, 1}, {3, 3}, {4, 4}, {5, 4}, {9, 4}};
    for (const auto& r : workers) EXPECT_EQ(upload_workers_clamp(r[0]), r[1]) << r[0];
    const uint64_t backoff[][2] = {{1, 15}, {2, 60}, {3, 300}, {4, 900}, {5, 1800}, {6, 3600}, {9, 3600}, {50, 3600}};
    for (const auto& r : backoff) EXPECT_EQ(upload_backoff_seconds((int)r[0]), r[1]) << r[0];
    const struct {
        const wchar_t* path;
        int kind;
    } kinds[] = {{L"C:\\a.PNG", 0},  {L"C:\\a.jpg", 0},  {L"C:\\a.Jpeg", 0},    {L"C:\\clip.MP4", 1},
                 {L"C:\\a.gif", -1}, {L"C:\\noext", -1}, {L"C:\\x.png\\f", -1}, {L"C:\\a.png.txt", -1},
                 {L"C:\\a.", -1},    {L"", -1}};
    for (size_t i = 0; i < sizeof kinds / sizeof kinds[0]; i++)
        EXPECT_EQ(upload_kind_of(kinds[i].path), kinds[i].kind) << i;
    char cut[4];
    upload_text_copy(cut, sizeof cut, "\xc3\xa9|z");  // cleaned, and never half a character
    EXPECT_STREQ(cut, "\xc3\xa9 ");
    upload_text_copy(cut, 2, "\xc3\xa9");
    EXPECT_STREQ(cut, "");
}

TEST(UploadRules, CollectionOfTheNumberedFolders) {
    std::unique_ptr<config> cfg(new config{});
    wcscpy(cfg->stills_dir, L"C:\\Shots");
    wcscpy(cfg->clips_dir, L"C:\\Clips\\");
    const wchar_t* folders[] = {L"C:\\Shots\\", L"D:\\Work\\", L"d:\\work",  L"E:\\",
                                L"F:\\Pics",    L"C:\\Clips",  L"G:\\Game//"};
    const char* collections[] = {"11", "22", "33", "44", "", "66", "88"};
    for (int i = 0; i < 7; i++) {
        wcscpy(cfg->folders[i], folders[i]);
        strcpy(cfg->collections[i], collections[i]);
    }
    const struct {
        const wchar_t* path;
        const char* collection;
    } rows[] = {{L"D:\\Work\\a.png", "22"}, {L"d:\\WORK\\a.png", "22"}, {L"D:\\Work\\sub\\a.png", ""},
                {L"C:\\Shots\\a.png", ""},  {L"C:\\Clips\\c.mp4", ""},  {L"E:\\a.png", "44"},
                {L"F:\\Pics\\a.png", ""},   {L"G:\\Game\\a.png", "88"}, {L"a.png", ""}};
    for (const auto& r : rows) {
        char out[24] = "junk";
        EXPECT_EQ(upload_collection_for(cfg.get(), r.path, out), r.collection[0] != 0);
        EXPECT_STREQ(out, r.collection);
    }
}

TEST(UploadJournal, RestoresWhatItCanAndWritesItBack) {
    const struct {
        const char* text;
        const char* restored;
        uint32_t next_id;
    } rows[] = {
        {"7\tuploading\t2\t0\t0\tC:\\x.png\t\t\t", "7\tqueued\t2\t0\t0\tC:\\x.png\t\t\t\n", 8},
        {"3\tdone\t1\t1\t1700000000\tC:\\v.mp4\thttps://s/3\t\t42\r\n",
         "3\tdone\t1\t1\t1700000000\tC:\\v.mp4\thttps://s/3\t\t42\n", 4},
        {"5\tfailed\t4\t0\t9\tC:\\\xc3\xa9.png", "5\tfailed\t4\t0\t9\tC:\\\xc3\xa9.png\t\t\t\n", 6},
        {"5\tqueued\t0\t0\t0\n0\tqueued\t0\t0\t0\tC:\\z.png\n9\tqueued\t0\t0\t0\t\t\t\t\n", "",
         1},                                                                                  // short, id 0, no path
        {"x1\tqueued\t0\t0\t0\tC:\\z.png\n4294967296\tqueued\t0\t0\t0\tC:\\z.png\n", "", 1},  // ids that are no id
        {"4\tbogus\t-3\t7\t0\tC:\\k.jpg\tu\te|f\t123456789012345678901234\textra\n",
         "4\tqueued\t0\t1\t0\tC:\\k.jpg\tu\te f\t\n", 5},  // a collection of 24 characters is dropped
        {"2\tdone\t1\t0\t1\tC:\\a.png\n\n2\tqueued\t0\t0\t0\tC:\\b.png\n", "2\tdone\t1\t0\t1\tC:\\a.png\t\t\t\n", 3},
        {"4294967295\tqueued\t0\t0\t0\tC:\\m.png\n", "4294967295\tqueued\t0\t0\t0\tC:\\m.png\t\t\t\n", 1},
    };
    for (const auto& r : rows) {
        auto t = new_table();
        upload_journal_parse(r.text, strlen(r.text), t.get());
        EXPECT_EQ(journal_of(t.get()), r.restored) << r.text;
        EXPECT_EQ(t->next_id, r.next_id) << r.text;
    }
    // At most 256 items come back, and the buffer takes whole lines only.
    std::string many;
    for (int i = 1; i <= 300; i++)
        many += std::to_string(i) + "\tqueued\t0\t0\t0\tC:\\f" + std::to_string(i) + ".png\n";
    auto t = new_table();
    EXPECT_EQ(upload_journal_parse(many.data(), many.size(), t.get()), UPLOAD_MAX_ITEMS);
    char small[40];
    EXPECT_EQ(upload_journal_format(t.get(), small, sizeof small), 28u);
    EXPECT_STREQ(small, "1\tqueued\t0\t0\t0\tC:\\f1.png\t\t\t\n");
}

TEST(UploadTable, AddingAndTrimming) {
    const struct {
        int existing;  // -1: none; else the state of item 5 (C:\a.png, 3 tries)
        const char* url;
        const wchar_t* path;
        int result;
        const char* after;
    } rows[] = {
        {-1, "", L"C:\\a.png", UPLOAD_ADD_NEW, "1q0"},
        {UPLOAD_QUEUED, "", L"c:\\A.PNG", UPLOAD_ADD_EXISTING, "5q3"},
        {UPLOAD_UPLOADING, "", L"C:\\a.png", UPLOAD_ADD_EXISTING, "5u3"},
        {UPLOAD_FAILED, "", L"C:\\a.png", UPLOAD_ADD_REQUEUED, "5q0"},
        {UPLOAD_DONE, "https://s/5", L"C:\\a.png", UPLOAD_ADD_ALREADY_DONE, "5d3"},
        {UPLOAD_DONE, "", L"C:\\a.png", UPLOAD_ADD_EXISTING, "5d3"},
        {UPLOAD_FAILED, "", L"C:\\b.png", UPLOAD_ADD_NEW, "5f3 6q0"},
    };
    for (const auto& r : rows) {
        auto t = new_table();
        t->next_id = 1;
        if (r.existing >= 0) push(t.get(), 5, r.existing, 3, L"C:\\a.png", r.url, "old", 99);
        uint32_t id = 0;
        EXPECT_EQ(upload_table_add(t.get(), r.path, 0, "17", &id), r.result) << r.after;
        EXPECT_EQ(states_of(t.get()), r.after);
        const upload_item& it = t->items[upload_table_find(t.get(), id)];
        EXPECT_TRUE(r.result != UPLOAD_ADD_REQUEUED || (it.next_try == 0 && it.error[0] == 0));
        EXPECT_TRUE(r.result != UPLOAD_ADD_NEW || strcmp(it.collection_id, "17") == 0);
    }
    // finished items at the front, unfinished after them: the oldest finished make room.
    const struct {
        int finished, unfinished, result, count, finished_after;
        uint32_t first;
    } trims[] = {{0, 256, UPLOAD_ADD_FULL, 256, 0, 1},
                 {10, 246, UPLOAD_ADD_NEW, 256, 9, 2},
                 {101, 0, UPLOAD_ADD_NEW, 101, 100, 2},
                 {100, 5, UPLOAD_ADD_NEW, 106, 100, 1},
                 {150, 106, UPLOAD_ADD_NEW, 207, 100, 51}};
    for (const auto& r : trims) {
        auto t = new_table();
        for (int i = 0; i < r.finished + r.unfinished; i++)
            push(t.get(), i + 1,
                 i >= r.finished ? UPLOAD_QUEUED
                 : i % 2         ? UPLOAD_DONE
                                 : UPLOAD_FAILED,
                 0, (L"C:\\f" + std::to_wstring(i) + L".png").c_str());
        uint32_t id = 777;
        EXPECT_EQ(upload_table_add(t.get(), L"C:\\new.png", 0, "", &id), r.result) << r.finished;
        int counts[4];
        upload_table_counts(t.get(), counts);
        EXPECT_EQ(t->count, r.count) << r.finished;
        EXPECT_EQ(counts[UPLOAD_DONE] + counts[UPLOAD_FAILED], r.finished_after) << r.finished;
        EXPECT_EQ(t->items[0].id, r.first) << r.finished;
        EXPECT_EQ(id, r.result == UPLOAD_ADD_FULL ? 777u : t->items[t->count - 1].id);
    }
}

TEST(UploadTable, OutcomesBackoffAndTheShutdownRule) {
    // Retryable failures wait 15 s, 60 s, 300 s ... and the tenth fails the item.
    auto t = new_table();
    push(t.get(), 4, UPLOAD_UPLOADING, 0, L"C:\\a.png");
    const uint64_t waits[] = {15, 60, 300, 900, 1800, 3600, 3600, 3600, 3600};
    for (int n = 1; n <= 10; n++) {
        t->items[0].state = UPLOAD_UPLOADING;
        int r =
            upload_table_finish(t.get(), 4, UPLOAD_OUTCOME_RETRY, "", "HTTP 403", false, 1000, 20, 1700000000, nullptr);
        EXPECT_EQ(r, n < 10 ? UPLOAD_FINISH_RETRY : UPLOAD_FINISH_FAILED) << n;
        EXPECT_EQ(t->items[0].next_try, n < 10 ? 1000 + waits[n - 1] * 20 : t->items[0].next_try)
            << n;  // 20-ms seconds
    }
    EXPECT_EQ(states_of(t.get()), "4f10");
    EXPECT_EQ(t->items[0].finished_at, 1700000000);

    const struct {
        int outcome;
        bool stopping;
        int tries;
        int result;
        const char* after;
    } rows[] = {
        {UPLOAD_OUTCOME_DONE, false, 2, UPLOAD_FINISH_DONE, "3d2"},
        {UPLOAD_OUTCOME_FAILED, false, 0, UPLOAD_FINISH_FAILED, "3f1"},
        {UPLOAD_OUTCOME_UNLINKED, false, 1, UPLOAD_FINISH_UNLINKED, "3q1"},
        {UPLOAD_OUTCOME_RETRY, false, 0, UPLOAD_FINISH_RETRY, "3q1"},
        {42, false, 0, UPLOAD_FINISH_RETRY, "3q1"},
        {UPLOAD_OUTCOME_DONE, true, 0, UPLOAD_FINISH_DONE, "3d0"},
        {UPLOAD_OUTCOME_FAILED, true, 0, UPLOAD_FINISH_RETRY, "3q1"},
        {UPLOAD_OUTCOME_UNLINKED, true, 0, UPLOAD_FINISH_RETRY, "3q1"},
        {UPLOAD_OUTCOME_RETRY, true, 9, UPLOAD_FINISH_RETRY, "3q10"},  // never failed by a shutdown
    };
    for (const auto& r : rows) {
        t = new_table();
        push(t.get(), 3, UPLOAD_UPLOADING, r.tries, L"C:\\a.png", "", "earlier");
        upload_item it{};
        EXPECT_EQ(
            upload_table_finish(t.get(), 3, r.outcome, "https://s/3\t|x", "timed out", r.stopping, 0, 1000, 5, &it),
            r.result)
            << r.after;
        EXPECT_EQ(states_of(t.get()), r.after);
        EXPECT_TRUE(r.result != UPLOAD_FINISH_DONE || std::string(it.share_url) + "." + it.error == "https://s/3  x.");
    }
    // Only an uploading item takes an outcome.
    push(t.get(), 8, UPLOAD_QUEUED, 0, L"C:\\b.png");
    EXPECT_EQ(upload_table_finish(t.get(), 8, UPLOAD_OUTCOME_DONE, "u", "", false, 0, 1000, 0, nullptr),
              UPLOAD_FINISH_IGNORED);
    EXPECT_EQ(upload_table_finish(t.get(), 9, UPLOAD_OUTCOME_DONE, "u", "", false, 0, 1000, 0, nullptr),
              UPLOAD_FINISH_IGNORED);
}

TEST(UploadTable, RetryClearAndTheLinkGoingAway) {
    auto fill = [] {
        auto t = new_table();
        push(t.get(), 1, UPLOAD_FAILED, 10, L"C:\\1.png");
        push(t.get(), 2, UPLOAD_QUEUED, 2, L"C:\\2.png", "", "", 5000);  // waiting for its back-off
        push(t.get(), 3, UPLOAD_QUEUED, 1, L"C:\\3.png", "", "", 900);   // due
        push(t.get(), 4, UPLOAD_UPLOADING, 0, L"C:\\4.png");
        push(t.get(), 5, UPLOAD_DONE, 1, L"C:\\5.png", "https://s/5");
        return t;
    };
    auto t = fill();
    EXPECT_EQ(upload_table_next_wake(t.get(), 1000), 5000u);
    EXPECT_EQ(upload_table_retry(t.get(), 1000), 2);
    EXPECT_EQ(states_of(t.get()), "1q0 2q0 3q1 4u0 5d1");
    EXPECT_EQ(upload_table_next_wake(t.get(), 1000), 0u);
    EXPECT_EQ(upload_table_retry(t.get(), 1000), 0);
    t = fill();
    EXPECT_EQ(upload_table_clear(t.get()), 2);
    EXPECT_EQ(states_of(t.get()), "2q2 3q1 4u0");
    t = fill();
    EXPECT_EQ(upload_table_drop_queued(t.get()), 2);
    EXPECT_EQ(states_of(t.get()), "1f10 4u0 5d1");
    // A transfer coming back after the link went away leaves nothing queued for the next account.
    t = fill();
    upload_table_finish(t.get(), 4, UPLOAD_OUTCOME_RETRY, "", "cancelled", false, 1000, 1000, 0, nullptr);
    EXPECT_EQ(upload_table_settle(t.get(), false), 3);
    EXPECT_EQ(states_of(t.get()), "1f10 5d1");
    t = fill();
    EXPECT_EQ(upload_table_settle(t.get(), true), 0);
    EXPECT_EQ(t->count, 5);
}

TEST(UploadStatus, CountsThenWholeItemsNewestFirst) {
    auto t = new_table();
    push(t.get(), 1, UPLOAD_DONE, 1, L"C:\\a.png", "https://s/1");
    push(t.get(), 2, UPLOAD_FAILED, 10, L"C:\\b.png", "", "Too large to upload (limit 50 MB).");
    push(t.get(), 3, UPLOAD_QUEUED, 2, L"C:\\d.png", "", "HTTP 403", 1014500);
    push(t.get(), 4, UPLOAD_UPLOADING, 0, L"C:\\c.mp4");
    push(t.get(), 5, UPLOAD_QUEUED, 0, L"C:\\\u00e9.png", "", "", 999995);
    const std::string head =
        "ok\tlinked=1\taccount=Ann Resident\tworkers=2\tqueued=2\tactive=1\tdone=1\tfailed=1\titems=5";
    const std::string u[] = {"\tu0=5|queued|0|still|0|||C:\\\xc3\xa9.png", "\tu1=4|uploading|0|clip|0|||C:\\c.mp4",
                             "\tu2=3|queued|2|still|15||HTTP 403|C:\\d.png",
                             "\tu3=2|failed|10|still|0||Too large to upload (limit 50 MB).|C:\\b.png",
                             "\tu4=1|done|1|still|0|https://s/1||C:\\a.png"};
    const std::string all = head + u[0] + u[1] + u[2] + u[3] + u[4] + "\n";
    static char out[UPLOAD_STATUS_CAP];
    const struct {
        size_t cap;
        std::string want;
    } rows[] = {
        {sizeof out, all},
        {all.size() + 1, all},
        {all.size(), head + u[0] + u[1] + u[2] + u[3] + "\n"},
        {head.size() + u[0].size() + 2, head + u[0] + "\n"},
        {20, head.substr(0, 18) + "\n"},
    };
    for (const auto& r : rows) {
        size_t len = upload_status_format(t.get(), true, "Ann Resident", 2, 1000000, 1000, out, r.cap);
        EXPECT_EQ(std::string(out, len), r.want) << r.cap;
    }
    // Not linked: no name; the test hook's 10-ms seconds count the wait.
    size_t len = upload_status_format(t.get(), false, "Ann Resident", 1, 1014500 - 145, 10, out, sizeof out);
    EXPECT_EQ(std::string(out, len).substr(0, 31), "ok\tlinked=0\taccount=\tworkers=1\t");
    EXPECT_NE(std::string(out, len).find("\tu2=3|queued|2|still|15|"), std::string::npos);
}

TEST(PipeUpload, OpsRepliesAndPaths) {
    const struct {
        const char* args;
        int op;
    } ops[] = {{"", PIPE_UPLOAD_STATUS},
               {"op=", PIPE_UPLOAD_STATUS},
               {"op=status", PIPE_UPLOAD_STATUS},
               {"op=add\tpath=x", PIPE_UPLOAD_ADD},
               {"op=retry", PIPE_UPLOAD_RETRY},
               {"op=clear", PIPE_UPLOAD_CLEAR},
               {"op=frobnicate", PIPE_UPLOAD_BAD_OP},
               {"op=Add", PIPE_UPLOAD_BAD_OP},
               {"op=statusstatusstatusstatusstatusstatusstatus", PIPE_UPLOAD_BAD_OP}};
    for (const auto& r : ops) EXPECT_EQ(pipe_upload_op_of(r.args), r.op) << r.args;
    const struct {
        bool queued, linked;
        const char *err, *want;
    } replies[] = {{true, true, "", "ok\tid=7\n"},
                   {false, true, "file not found", "err\tcode=upload\tmsg=file not found\n"},
                   {false, false, "this PC is not linked to an Ivra account",
                    "err\tcode=not_linked\tmsg=this PC is not linked to an Ivra account\n"}};
    char reply[PIPE_ERR_CAP];
    for (const auto& r : replies)
        EXPECT_EQ(std::string(reply, pipe_upload_add_format(r.queued, 7, r.linked, r.err, reply, sizeof reply)),
                  r.want);
    wchar_t path[260];
    EXPECT_FALSE(pipe_upload_path("", path));
    EXPECT_TRUE(pipe_upload_path("C:\\\xc3\xbc.png", path) && std::wstring(path) == L"C:\\\u00fc.png");
    EXPECT_TRUE(pipe_upload_path(("C:\\" + std::string(400, 'a')).c_str(), path) && wcslen(path) == 259);
}

TEST(UploadQueue, JournalSurvivesEarlyRequestsAndFollowsEveryChange) {
    const std::wstring data = g_appdata + L"\\Ivra", journal = data + L"\\uploads.tsv", caps = g_appdata + L"\\caps";
    auto write = [](const std::wstring& path, const std::string& text) {
        HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD wrote = 0;
        WriteFile(f, text.data(), (DWORD)text.size(), &wrote, nullptr);
        CloseHandle(f);
    };
    CreateDirectoryW(data.c_str(), nullptr);
    CreateDirectoryW(caps.c_str(), nullptr);
    CreateDirectoryW((caps + L"\\folder.png").c_str(), nullptr);
    write(caps + L"\\empty.png", "");
    write(caps + L"\\shot.PNG", "png");
    const std::string line7 = "7\tqueued\t2\t0\t0\tC:\\x.png\t\t\t\n",
                      line8 = "8\tdone\t1\t0\t17\tC:\\y.png\thttps://s/8\t\t\n";
    write(journal, "7\tuploading\t2\t0\t0\tC:\\x.png\t\t\t\n" + line8 + "9\tfailed\t10\t0\t18\tC:\\z.png\t\tgone\t\n");
    // A request that comes before the start reads the journal first, and never writes an empty one.
    const std::string line9 = "9\tqueued\t0\t0\t0\tC:\\z.png\t\tgone\t\n";
    EXPECT_EQ(upload_retry(), 1);
    EXPECT_EQ(test_read_all(journal), line7 + line8 + line9);

    upload_start(9);
    static char status[UPLOAD_STATUS_CAP];
    upload_status(status, sizeof status);
    EXPECT_EQ(
        std::string(status).rfind("ok\tlinked=0\taccount=\tworkers=4\tqueued=2\tactive=0\tdone=1\tfailed=0\titems=3"
                                  "\tu0=9|queued|0|",
                                  0),
        0u)
        << status;
    EXPECT_EQ(upload_pending(), 2);

    const struct {
        std::wstring path;
        const char* err;
    } adds[] = {{caps + L"\\a.gif", "only .png, .jpg and .mp4 files can be uploaded"},
                {caps + L"\\missing.png", "file not found"},
                {caps + L"\\empty.png", "file not found"},
                {caps + L"\\folder.png", "file not found"},
                {caps + L"\\shot.PNG", "this PC is not linked to an Ivra account"}};
    for (const auto& r : adds) {
        uint32_t id = 77;
        char err[160] = "";
        EXPECT_FALSE(upload_add(r.path.c_str(), &id, err, sizeof err));
        EXPECT_STREQ(err, r.err);
        EXPECT_EQ(id, 77u);
    }
    // A retry that changes nothing does not rewrite the journal.
    write(journal, line7 + line8 + line9 + "#\n");
    EXPECT_EQ(upload_retry(), 0);
    EXPECT_EQ(test_read_all(journal), line7 + line8 + line9 + "#\n");
    EXPECT_EQ(upload_clear(), 1);
    EXPECT_EQ(test_read_all(journal), line7 + line9);
    upload_shutdown();
    EXPECT_EQ(test_read_all(journal), line7 + line9);
    EXPECT_EQ(GetFileAttributesW((journal + L".tmp").c_str()), INVALID_FILE_ATTRIBUTES);
}
