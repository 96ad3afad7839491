// "ivrac upload": queue entries read from the agent's status reply, the status as text
// and JSON, and what needs no agent (usage failures, the upload mode, the agent's refusals).
#include "cli/cmd_upload.h"
#include "cli/cli.h"
#include "cli/cli_main.h"
#include "common/config.h"
#include "tests/unit/test_support.h"
#include <gtest/gtest.h>
#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

std::wstring g_appdata = [] {
    std::wstring dir = test_temp_dir(L"ivra-cmd-upload-");
    SetEnvironmentVariableW(L"APPDATA", dir.c_str());
    return dir;
}();

struct cleanup_env : ::testing::Environment {
    void TearDown() override { test_remove_tree(g_appdata); }
};
::testing::Environment* const g_cleanup = ::testing::AddGlobalTestEnvironment(new cleanup_env);

// What body wrote to standard output and standard error.
std::pair<std::string, std::string> captured(const std::function<void()>& body) {
    std::string text[2];
    HANDLE h[2];
    wchar_t dir[MAX_PATH], path[2][MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    for (int i = 0; i < 2; i++) {
        GetTempFileNameW(dir, L"upl", 0, path[i]);
        h[i] = CreateFileW(path[i], GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE,
                           nullptr);
    }
    HANDLE old_out = GetStdHandle(STD_OUTPUT_HANDLE), old_err = GetStdHandle(STD_ERROR_HANDLE);
    SetStdHandle(STD_OUTPUT_HANDLE, h[0]);
    SetStdHandle(STD_ERROR_HANDLE, h[1]);
    body();
    SetStdHandle(STD_OUTPUT_HANDLE, old_out);
    SetStdHandle(STD_ERROR_HANDLE, old_err);
    for (int i = 0; i < 2; i++) {
        char buf[4096];
        DWORD n = 0;
        SetFilePointer(h[i], 0, nullptr, FILE_BEGIN);
        while (ReadFile(h[i], buf, sizeof buf, &n, nullptr) && n) text[i].append(buf, n);
        CloseHandle(h[i]);
    }
    return {text[0], text[1]};
}

const char* const REPLY = "ok\tlinked=1\taccount=Ann Resident\tworkers=2\tqueued=2\tactive=1\tdone=1\tfailed=1\titems=5"
                          "\tu0=12|queued|0|still|0|||C:\\Users\\ann\\Pictures\\Ivra\\new.png"
                          "\tu1=11|uploading|0|clip|0|||C:\\Users\\ann\\Videos\\Ivra\\c.mp4"
                          "\tu2=10|queued|2|still|15||Storage refused the original (HTTP 403).|C:\\Shots\\d.png"
                          "\tu3=9|failed|10|still|0||Too large to upload (limit 50 MB).|C:\\Shots\\big.png"
                          "\tu4=8|done|1|still|0|https://ivra.example/s/8||C:\\Shots\\a \"q\".png\n";

}  // namespace

TEST(UploadEntries, ReadFromTheStatusReply) {
    const std::string cut = "ok\tu0=123456789012345678901|queued|12345678|clip|99|" + std::string(300, 'u') + "|" +
                            std::string(200, 'e') + "|C:\\" + std::string(800, 'p') + "\n";
    const struct {
        std::string reply;
        int index;
        const char* want;
    } rows[] = {
        {REPLY, 0, "12/queued/0/still/0///C:\\Users\\ann\\Pictures\\Ivra\\new.png"},
        {REPLY, 2, "10/queued/2/still/15//Storage refused the original (HTTP 403)./C:\\Shots\\d.png"},
        {REPLY, 4, "8/done/1/still/0/https://ivra.example/s/8//C:\\Shots\\a \"q\".png"},
        {REPLY, 5, nullptr},                                // past the last entry
        {"ok\tu0=\tu1=1|done|0|still|0|u||p", 0, nullptr},  // empty
        {"ok\tu0=1|done|0|still|0|u|", 0, nullptr},         // seven parts
        {"ok\tu10=3|done|0|still|0|u||p", 1, nullptr},      // u1 is not u10
        {"ok\tu10=3|done|0|still|0|u||p", 10, "3/done/0/still/0/u//p"},
        {"ok\tu0=1|queued|0|still|0|||C:\\a|b.png", 0, "1/queued/0/still/0///C:\\a|b.png"},  // the path takes the rest
        {cut, 0, nullptr},
    };
    for (const auto& r : rows) {
        upload_entry e;
        memset(&e, 'x', sizeof e);
        e.id[0] = 0;
        bool found = cmd_upload_item_get(r.reply.c_str(), r.index, &e);
        if (r.reply == cut) {  // each part cut to its buffer
            ASSERT_TRUE(found);
            EXPECT_EQ(std::string(e.id) + e.attempts + e.kind + e.retry_in, "1234567890123451234567clip99");
            EXPECT_EQ(strlen(e.url) * 1000000 + strlen(e.error) * 1000 + strlen(e.path), 255159779u);
            continue;
        }
        EXPECT_EQ(found, r.want != nullptr) << r.reply << " #" << r.index;
        std::string got = found ? std::string(e.id) + "/" + e.state + "/" + e.attempts + "/" + e.kind + "/" +
                                      e.retry_in + "/" + e.url + "/" + e.error + "/" + e.path
                                : std::string(e.id) + e.state[0];  // untouched
        EXPECT_EQ(got, r.want ? r.want : "x") << r.reply << " #" << r.index;
    }
}

TEST(UploadStatusOutput, TextAndJson) {
    static char out[1 << 20];
    const std::string empty = "ok\tlinked=0\taccount=\tworkers=1\tqueued=0\tactive=0\tdone=0\tfailed=0\titems=0\n";
    const struct {
        std::string reply;
        bool json;
        std::string want;
    } rows[] = {
        {REPLY, false,
         "account    Ann Resident (2 parallel)\nqueue      2 waiting, 1 uploading, 1 done, 1 failed\n"
         "  #12   queued     new.png\n"
         "  #11   uploading  c.mp4\n"
         "  #10   retry   15s d.png  (Storage refused the original (HTTP 403).)\n"
         "  #9    failed     big.png  (Too large to upload (limit 50 MB).)\n"
         "  #8    done       a \"q\".png  https://ivra.example/s/8\n"},
        {REPLY, true,
         "{\"linked\":true,\"account\":\"Ann Resident\",\"workers\":2,\"queued\":2,\"uploading\":1,\"done\":1,\"failed\":1,"
         "\"items\":[{\"id\":12,\"state\":\"queued\",\"attempts\":0,\"kind\":\"still\",\"retry_in\":0,\"url\":\"\","
         "\"error\":\"\",\"path\":\"C:\\\\Users\\\\ann\\\\Pictures\\\\Ivra\\\\new.png\"},"
         "{\"id\":11,\"state\":\"uploading\",\"attempts\":0,\"kind\":\"clip\",\"retry_in\":0,\"url\":\"\",\"error\":\"\","
         "\"path\":\"C:\\\\Users\\\\ann\\\\Videos\\\\Ivra\\\\c.mp4\"},"
         "{\"id\":10,\"state\":\"queued\",\"attempts\":2,\"kind\":\"still\",\"retry_in\":15,\"url\":\"\","
         "\"error\":\"Storage refused the original (HTTP 403).\",\"path\":\"C:\\\\Shots\\\\d.png\"},"
         "{\"id\":9,\"state\":\"failed\",\"attempts\":10,\"kind\":\"still\",\"retry_in\":0,\"url\":\"\","
         "\"error\":\"Too large to upload (limit 50 MB).\",\"path\":\"C:\\\\Shots\\\\big.png\"},"
         "{\"id\":8,\"state\":\"done\",\"attempts\":1,\"kind\":\"still\",\"retry_in\":0,\"url\":\"https://ivra.example/s/8\","
         "\"error\":\"\",\"path\":\"C:\\\\Shots\\\\a \\\"q\\\".png\"}]}\n"},
        {empty, false,
         "not linked: captures stay on this PC (ivrac account link)\n"
         "queue      0 waiting, 0 uploading, 0 done, 0 failed\n"},
        {empty, true,
         "{\"linked\":false,\"account\":\"\",\"workers\":1,\"queued\":0,\"uploading\":0,\"done\":0,\"failed\":0,"
         "\"items\":[]}\n"},
        // Numbers JSON could not read become 0 rather than a broken object.
        {"ok\tlinked=1\taccount=A\"B\tqueued=x1\tu0=7a|done|-|still||u||p\n", true,
         "{\"linked\":true,\"account\":\"A\\\"B\",\"workers\":0,\"queued\":0,\"uploading\":0,\"done\":0,\"failed\":0,"
         "\"items\":[{\"id\":0,\"state\":\"done\",\"attempts\":0,\"kind\":\"still\",\"retry_in\":0,\"url\":\"u\","
         "\"error\":\"\",\"path\":\"p\"}]}\n"},
        // A queued entry whose retry time is 0 or empty is plain queued.
        {"ok\tlinked=1\taccount=A\tworkers=1\tqueued=2\tu0=2|queued|1|still||||p2.png\tu1=1|queued|1|still|0||x|p1.png\n",
         false,
         "account    A (1 parallel)\nqueue      2 waiting,  uploading,  done,  failed\n"
         "  #2    queued     p2.png\n  #1    queued     p1.png  (x)\n"},
    };
    for (const auto& r : rows) {
        ASSERT_TRUE(cmd_upload_status_build(r.reply.c_str(), r.json, out, sizeof out)) << r.reply;
        EXPECT_EQ(std::string(out), r.want) << r.reply;
    }
    // The text lists the newest 20; JSON lists them all; a buffer too small is refused whole.
    std::string many = "ok\tlinked=1\titems=25";
    for (int i = 0; i < 25; i++)
        many += "\tu" + std::to_string(i) + "=" + std::to_string(100 - i) + "|queued|0|still|0|||f";
    ASSERT_TRUE(cmd_upload_status_build(many.c_str(), false, out, sizeof out));
    EXPECT_EQ(std::count(out, out + strlen(out), '\n'), 22);
    EXPECT_TRUE(strstr(out, "#81 ") && !strstr(out, "#80 "));
    ASSERT_TRUE(cmd_upload_status_build(many.c_str(), true, out, sizeof out));
    EXPECT_NE(strstr(out, "{\"id\":76,"), nullptr);
    char small[64] = "junk";
    EXPECT_FALSE(cmd_upload_status_build(REPLY, true, small, sizeof small));
    EXPECT_STREQ(small, "");
}

TEST(UploadCommand, ModesUsageAndRefusalsWithoutAnAgent) {
    const struct {
        const wchar_t* word;
        int mode;
    } modes[] = {{L"ask", 0}, {L"auto", 1}, {L"manual", 2}, {L"turbo", -1}, {L"Auto", -1}, {L"", -1}, {nullptr, -1}};
    for (const auto& r : modes) EXPECT_EQ(cmd_upload_mode_parse(r.word), r.mode);

    const std::string usage_files =
        "ivrac upload: expects files, or status|retry|clear|mode\nTry 'ivrac upload --help'\n";
    const struct {
        std::vector<const wchar_t*> args;
        int code;
        std::string out, err;
    } rows[] = {
        {{L"mode"}, 0, "ask\n", ""},
        {{L"mode", L"auto"}, 0, "auto\n", ""},
        {{L"mode", L"--json"}, 0, "{\"upload_mode\":\"auto\"}\n", ""},
        {{L"mode", L"manual", L"--json"}, 0, "{\"upload_mode\":\"manual\"}\n", ""},
        {{L"mode", L"turbo"}, 2, "", "ivrac upload: mode expects ask|auto|manual\nTry 'ivrac upload --help'\n"},
        {{L"mode"}, 0, "manual\n", ""},
        {{L"--wait"}, 2, "", usage_files},
        {{L"--wait", L"--json"},
         2,
         "{\"error\":\"usage\",\"message\":\"expects files, or status|retry|clear|mode\"}\n",
         usage_files},
    };
    for (const auto& r : rows) {
        std::vector<const wchar_t*> argv = {L"ivrac", L"upload"};
        argv.insert(argv.end(), r.args.begin(), r.args.end());
        int code = -1;
        auto got = captured([&] { code = cli_main((int)argv.size(), const_cast<wchar_t**>(argv.data())); });
        EXPECT_EQ(code, r.code) << got.second;
        EXPECT_EQ(got.first, r.out);
        EXPECT_EQ(got.second, r.err);
    }
    config cfg;
    config_load(&cfg);
    EXPECT_EQ(cfg.upload_mode, 2);

    // The agent's refusals keep its code and sentence; exit 6 only for an unlinked PC.
    g_cli = {false, false, L"upload"};
    const struct {
        const char* reply;
        int code;
        const char* err;
    } refusals[] = {
        {"err\tcode=not_linked\tmsg=this PC is not linked to an Ivra account\n", 6,
         "ivrac upload: this PC is not linked to an Ivra account\n"},
        {"err\tcode=upload\tmsg=file not found\n", 1, "ivrac upload: file not found\n"},
        {"err\tcode=\tmsg=the upload queue is full\n", 1, "ivrac upload: the upload queue is full\n"},
    };
    for (const auto& r : refusals) {
        int code = -1;
        EXPECT_EQ(captured([&] { code = cmd_upload_fail(r.reply); }).second, r.err);
        EXPECT_EQ(code, r.code) << r.reply;
    }
}
