// "ivrac upload": the queue entries read from the agent's status reply, the status as
// text and as JSON, the agent's refusals as exit codes, and the commands that need no
// agent (usage failures and the upload mode), with the standard handles captured.
#include "cli/cmd_upload.h"
#include "cli/cli.h"
#include "common/config.h"
#include "tests/unit/test_support.h"
#include <gtest/gtest.h>
#include <algorithm>
#include <cstring>
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

struct captured {
    int code;
    std::string out, err;
};

// Runs cli_main with the standard handles pointed at temporary files.
captured run_main(std::vector<const wchar_t*> args) {
    args.insert(args.begin(), L"ivrac");
    wchar_t dir[MAX_PATH], out_path[MAX_PATH], err_path[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    GetTempFileNameW(dir, L"upl", 0, out_path);
    GetTempFileNameW(dir, L"upl", 0, err_path);
    HANDLE o = CreateFileW(out_path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    HANDLE e = CreateFileW(err_path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    HANDLE old_out = GetStdHandle(STD_OUTPUT_HANDLE), old_err = GetStdHandle(STD_ERROR_HANDLE);
    SetStdHandle(STD_OUTPUT_HANDLE, o);
    SetStdHandle(STD_ERROR_HANDLE, e);
    captured r;
    r.code = cli_main((int)args.size(), const_cast<wchar_t**>(args.data()));
    SetStdHandle(STD_OUTPUT_HANDLE, old_out);
    SetStdHandle(STD_ERROR_HANDLE, old_err);
    for (auto [h, s] : {std::pair<HANDLE, std::string*>{o, &r.out}, {e, &r.err}}) {
        SetFilePointer(h, 0, nullptr, FILE_BEGIN);
        char buf[16384];
        DWORD n = 0;
        while (ReadFile(h, buf, sizeof buf, &n, nullptr) && n) s->append(buf, n);
        CloseHandle(h);
    }
    DeleteFileW(out_path);
    DeleteFileW(err_path);
    return r;
}

const char* const REPLY =
    "ok\tlinked=1\taccount=Ann Resident\tworkers=2\tqueued=2\tactive=1\tdone=1\tfailed=1\titems=5"
    "\tu0=12|queued|0|still|0|||C:\\Users\\ann\\Pictures\\Ivra\\new.png"
    "\tu1=11|uploading|0|clip|0|||C:\\Users\\ann\\Videos\\Ivra\\c.mp4"
    "\tu2=10|queued|2|still|15||Storage refused the original (HTTP 403).|C:\\Shots\\d.png"
    "\tu3=9|failed|10|still|0||Too large to upload (limit 50 MB).|C:\\Shots\\big.png"
    "\tu4=8|done|1|still|0|https://ivra.example/s/8||C:\\Shots\\a \"q\".png\n";

}  // namespace

TEST(UploadEntries, ReadFromTheStatusReply) {
    std::string long_path = "C:\\" + std::string(800, 'p');
    std::string long_error(200, 'e');
    std::string cut_reply = "ok\tu0=123456789012345678901|queued|12345678|clip|99|" + std::string(300, 'u') + "|" +
                            long_error + "|" + long_path + "\n";
    const struct {
        std::string reply;
        int index;
        bool found;
        const char *id, *state, *attempts, *kind, *retry_in, *url, *error;
        std::string path;
    } rows[] = {
        {REPLY, 0, true, "12", "queued", "0", "still", "0", "", "", "C:\\Users\\ann\\Pictures\\Ivra\\new.png"},
        {REPLY, 2, true, "10", "queued", "2", "still", "15", "", "Storage refused the original (HTTP 403).",
         "C:\\Shots\\d.png"},
        {REPLY, 4, true, "8", "done", "1", "still", "0", "https://ivra.example/s/8", "", "C:\\Shots\\a \"q\".png"},
        {REPLY, 5, false},                                                   // past the last entry
        {"ok\tu0=\tu1=1|done|0|still|0|u||p", 0, false},                     // empty
        {"ok\tu0=1|done|0|still|0|u|", 0, false},                            // seven parts
        {"ok\tu10=3|done|0|still|0|u||p", 1, false},                          // u1 is not u10
        {"ok\tu10=3|done|0|still|0|u||p", 10, true, "3", "done", "0", "still", "0", "u", "", "p"},
        {"ok\tu0=1|queued|0|still|0|||C:\\a|b.png", 0, true, "1", "queued", "0", "still", "0", "", "", "C:\\a|b.png"},
        {"u0=1|failed|1|still|0||x|", 0, true, "1", "failed", "1", "still", "0", "", "x", ""},
        {cut_reply, 0, true, "123456789012345", "queued", "1234567", "clip", "99", nullptr, nullptr,
         long_path.substr(0, 779)},
    };
    for (const auto& r : rows) {
        upload_entry e;
        memset(&e, 'x', sizeof e);
        e.id[0] = 0;
        EXPECT_EQ(upload_item_get(r.reply.c_str(), r.index, &e), r.found) << r.reply << " #" << r.index;
        if (!r.found) {
            EXPECT_EQ(e.id[0], 0) << "untouched";
            EXPECT_EQ(e.state[0], 'x') << "untouched";
            continue;
        }
        EXPECT_STREQ(e.id, r.id);
        EXPECT_STREQ(e.state, r.state);
        EXPECT_STREQ(e.attempts, r.attempts);
        EXPECT_STREQ(e.kind, r.kind);
        EXPECT_STREQ(e.retry_in, r.retry_in);
        EXPECT_STREQ(e.url, r.url ? r.url : std::string(255, 'u').c_str());
        EXPECT_STREQ(e.error, r.error ? r.error : long_error.substr(0, 159).c_str());
        EXPECT_EQ(std::string(e.path), r.path);
    }
}

TEST(UploadStatusOutput, TextAndJson) {
    static char out[1 << 20];
    const struct {
        std::string reply;
        bool json;
        std::string want;
    } rows[] = {
        {REPLY, false,
         "account    Ann Resident (2 parallel)\n"
         "queue      2 waiting, 1 uploading, 1 done, 1 failed\n"
         "  #12   queued     new.png\n"
         "  #11   uploading  c.mp4\n"
         "  #10   retry   15s d.png  (Storage refused the original (HTTP 403).)\n"
         "  #9    failed     big.png  (Too large to upload (limit 50 MB).)\n"
         "  #8    done       a \"q\".png  https://ivra.example/s/8\n"},
        {REPLY, true,
         "{\"linked\":true,\"account\":\"Ann Resident\",\"workers\":2,\"queued\":2,\"uploading\":1,\"done\":1,\"failed\":1,"
         "\"items\":["
         "{\"id\":12,\"state\":\"queued\",\"attempts\":0,\"kind\":\"still\",\"retry_in\":0,\"url\":\"\",\"error\":\"\","
         "\"path\":\"C:\\\\Users\\\\ann\\\\Pictures\\\\Ivra\\\\new.png\"},"
         "{\"id\":11,\"state\":\"uploading\",\"attempts\":0,\"kind\":\"clip\",\"retry_in\":0,\"url\":\"\",\"error\":\"\","
         "\"path\":\"C:\\\\Users\\\\ann\\\\Videos\\\\Ivra\\\\c.mp4\"},"
         "{\"id\":10,\"state\":\"queued\",\"attempts\":2,\"kind\":\"still\",\"retry_in\":15,\"url\":\"\","
         "\"error\":\"Storage refused the original (HTTP 403).\",\"path\":\"C:\\\\Shots\\\\d.png\"},"
         "{\"id\":9,\"state\":\"failed\",\"attempts\":10,\"kind\":\"still\",\"retry_in\":0,\"url\":\"\","
         "\"error\":\"Too large to upload (limit 50 MB).\",\"path\":\"C:\\\\Shots\\\\big.png\"},"
         "{\"id\":8,\"state\":\"done\",\"attempts\":1,\"kind\":\"still\",\"retry_in\":0,\"url\":\"https://ivra.example/s/8\","
         "\"error\":\"\",\"path\":\"C:\\\\Shots\\\\a \\\"q\\\".png\"}]}\n"},
        {"ok\tlinked=0\taccount=\tworkers=1\tqueued=0\tactive=0\tdone=0\tfailed=0\titems=0\n", false,
         "not linked: captures stay on this PC (ivrac account link)\n"
         "queue      0 waiting, 0 uploading, 0 done, 0 failed\n"},
        {"ok\tlinked=0\taccount=\tworkers=1\tqueued=0\tactive=0\tdone=0\tfailed=0\titems=0\n", true,
         "{\"linked\":false,\"account\":\"\",\"workers\":1,\"queued\":0,\"uploading\":0,\"done\":0,\"failed\":0,\"items\":[]}\n"},
        // Numbers JSON could not read become 0 rather than a broken object.
        {"ok\tlinked=1\taccount=A\"B\tqueued=x1\tu0=7a|done|-|still||u||p\n", true,
         "{\"linked\":true,\"account\":\"A\\\"B\",\"workers\":0,\"queued\":0,\"uploading\":0,\"done\":0,\"failed\":0,"
         "\"items\":[{\"id\":0,\"state\":\"done\",\"attempts\":0,\"kind\":\"still\",\"retry_in\":0,\"url\":\"u\","
         "\"error\":\"\",\"path\":\"p\"}]}\n"},
        // A queued entry whose retry time is 0 or empty shows as plain queued.
        {"ok\tlinked=1\taccount=A\tworkers=1\tqueued=2\tactive=0\tdone=0\tfailed=0\titems=2"
         "\tu0=2|queued|1|still||||p2.png\tu1=1|queued|1|still|0||x|p1.png\n",
         false,
         "account    A (1 parallel)\nqueue      2 waiting, 0 uploading, 0 done, 0 failed\n"
         "  #2    queued     p2.png\n  #1    queued     p1.png  (x)\n"},
    };
    for (const auto& r : rows) {
        ASSERT_TRUE(upload_status_build(r.reply.c_str(), r.json, out, sizeof out)) << r.reply;
        EXPECT_EQ(std::string(out), r.want) << r.reply;
    }

    // The text lists the newest 20; JSON lists them all.
    std::string many = "ok\tlinked=1\taccount=A\tworkers=4\tqueued=25\tactive=0\tdone=0\tfailed=0\titems=25";
    for (int i = 0; i < 25; i++) many += "\tu" + std::to_string(i) + "=" + std::to_string(100 - i) + "|queued|0|still|0|||C:\\f.png";
    ASSERT_TRUE(upload_status_build(many.c_str(), false, out, sizeof out));
    std::string text = out;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 22);
    EXPECT_NE(text.find("#81 "), std::string::npos);
    EXPECT_EQ(text.find("#80 "), std::string::npos);
    ASSERT_TRUE(upload_status_build(many.c_str(), true, out, sizeof out));
    EXPECT_NE(std::string(out).find("{\"id\":76,"), std::string::npos);

    // Too small a buffer is refused whole, never a cut object.
    char small[64] = "junk";
    EXPECT_FALSE(upload_status_build(REPLY, true, small, sizeof small));
    EXPECT_STREQ(small, "");
}

TEST(UploadCommand, ModesUsageAndRefusalsWithoutAnAgent) {
    const struct { const wchar_t* word; int mode; } modes[] = {
        {L"ask", 0}, {L"auto", 1}, {L"manual", 2}, {L"turbo", -1}, {L"Auto", -1}, {L"", -1}, {nullptr, -1}};
    for (const auto& r : modes) EXPECT_EQ(upload_mode_parse(r.word), r.mode);

    const struct {
        std::vector<const wchar_t*> args;
        int code;
        std::string out, err;
    } rows[] = {
        {{L"upload", L"mode"}, 0, "ask\n", ""},
        {{L"upload", L"mode", L"auto"}, 0, "auto\n", ""},
        {{L"upload", L"mode", L"--json"}, 0, "{\"upload_mode\":\"auto\"}\n", ""},
        {{L"upload", L"mode", L"manual", L"--json"}, 0, "{\"upload_mode\":\"manual\"}\n", ""},
        {{L"upload", L"mode", L"turbo"}, 2, "",
         "ivrac upload: mode expects ask|auto|manual\nTry 'ivrac upload --help'\n"},
        {{L"upload", L"mode"}, 0, "manual\n", ""},
        {{L"upload", L"--wait"}, 2, "",
         "ivrac upload: expects files, or status|retry|clear|mode\nTry 'ivrac upload --help'\n"},
        {{L"upload", L"--wait", L"--json"}, 2,
         "{\"error\":\"usage\",\"message\":\"expects files, or status|retry|clear|mode\"}\n",
         "ivrac upload: expects files, or status|retry|clear|mode\nTry 'ivrac upload --help'\n"},
    };
    for (const auto& r : rows) {
        captured m = run_main(r.args);
        EXPECT_EQ(m.code, r.code) << m.err;
        EXPECT_EQ(m.out, r.out);
        EXPECT_EQ(m.err, r.err);
    }
    config cfg;
    config_load(&cfg);
    EXPECT_EQ(cfg.upload_mode, 2);

    // The agent's refusals: its code and sentence, exit 6 only for an unlinked PC.
    g_cli.json = false;
    g_cli.quiet = false;
    g_cli.command = L"upload";
    const struct { const char* reply; int code; const char* err; } refusals[] = {
        {"err\tcode=not_linked\tmsg=this PC is not linked to an Ivra account\n", 6,
         "ivrac upload: this PC is not linked to an Ivra account\n"},
        {"err\tcode=upload\tmsg=file not found\n", 1, "ivrac upload: file not found\n"},
        {"err\tcode=\tmsg=only .png, .jpg and .mp4 files can be uploaded\n", 1,
         "ivrac upload: only .png, .jpg and .mp4 files can be uploaded\n"},
        {"err\tcode=usage\tmsg=path required\n", 1, "ivrac upload: path required\n"},
    };
    for (const auto& r : refusals) {
        wchar_t dir[MAX_PATH], err_path[MAX_PATH];
        GetTempPathW(MAX_PATH, dir);
        GetTempFileNameW(dir, L"upl", 0, err_path);
        HANDLE e = CreateFileW(err_path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        HANDLE old_err = GetStdHandle(STD_ERROR_HANDLE);
        SetStdHandle(STD_ERROR_HANDLE, e);
        int code = upload_fail(r.reply);
        SetStdHandle(STD_ERROR_HANDLE, old_err);
        std::string text(256, 0);
        DWORD n = 0;
        SetFilePointer(e, 0, nullptr, FILE_BEGIN);
        ReadFile(e, &text[0], 256, &n, nullptr);
        CloseHandle(e);
        DeleteFileW(err_path);
        EXPECT_EQ(code, r.code) << r.reply;
        EXPECT_EQ(text.substr(0, n), r.err) << r.reply;
    }
}
