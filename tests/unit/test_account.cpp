#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "cli/cmd_account.h"
#include "common/account.h"
#include "common/account_link.h"
#include "common/json.h"
#include "common/win.h"
#include "tests/unit/test_support.h"

#include <dpapi.h>

namespace {

// The log and the account file both live in APPDATA, set before anything reads it.
std::wstring g_root;

struct account_test_env {
    account_test_env() {
        g_root = test_temp_dir(L"ivra-test-account-");
        SetEnvironmentVariableW(L"APPDATA", g_root.c_str());
        CreateDirectoryW((g_root + L"\\Ivra").c_str(), nullptr);
    }
    ~account_test_env() { test_remove_tree(g_root); }
} g_env;

std::wstring data_path(const wchar_t* name) { return g_root + L"\\Ivra\\" + name; }

// How many times a text occurs in the log so far.
size_t log_count(const char* text) {
    std::string log = test_read_all(data_path(L"ivrad.log"));
    size_t n = 0;
    for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) n++;
    return n;
}

void write_raw(const std::string& bytes) {
    HANDLE f = CreateFileW(data_path(L"account.dat").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(f, INVALID_HANDLE_VALUE);
    DWORD put = 0;
    WriteFile(f, bytes.data(), (DWORD)bytes.size(), &put, nullptr);
    CloseHandle(f);
}

// Writes account.dat as DPAPI-sealed text with the given entropy (null: none).
void write_sealed(const std::string& text, const char* entropy) {
    DATA_BLOB in = {(DWORD)text.size(), (BYTE*)text.data()};
    DATA_BLOB ent = {entropy ? (DWORD)strlen(entropy) : 0, (BYTE*)entropy};
    DATA_BLOB out = {};
    ASSERT_TRUE(CryptProtectData(&in, L"Ivra account", entropy ? &ent : nullptr, nullptr, nullptr,
                                 CRYPTPROTECT_UI_FORBIDDEN, &out));
    write_raw(std::string((const char*)out.pbData, out.cbData));
    LocalFree(out.pbData);
}

bool file_exists(const wchar_t* name) { return GetFileAttributesW(data_path(name).c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string hex(const uint8_t* d, size_t n) {
    std::string s;
    char b[3];
    for (size_t i = 0; i < n; i++) {
        snprintf(b, sizeof b, "%02x", d[i]);
        s += b;
    }
    return s;
}

const char* k_unreadable = "account: account.dat unreadable for this user (";

TEST(account_store, save_then_load_gives_every_field_back) {
    account a = {1,
                 "http://127.0.0.1:8123/base",
                 "Ann Resident",
                 "0f1e2d3c-aaaa-bbbb-cccc-112233445566",
                 "tok_abcdef0123456789",
                 1765300000};
    ASSERT_TRUE(account_save(&a));
    EXPECT_FALSE(file_exists(L"account.dat.tmp"));
    // The token is not readable in the file itself.
    EXPECT_EQ(test_read_all(data_path(L"account.dat")).find("tok_abcdef"), std::string::npos);
    account b;
    memset(&b, 0x55, sizeof b);
    ASSERT_TRUE(account_load(&b));
    EXPECT_EQ(b.linked, 1);
    EXPECT_STREQ(b.server, a.server);
    EXPECT_STREQ(b.sl_name, a.sl_name);
    EXPECT_STREQ(b.avatar_key, a.avatar_key);
    EXPECT_STREQ(b.token, a.token);
    EXPECT_EQ(b.linked_at, a.linked_at);
    EXPECT_EQ(log_count("tok_abcdef"), 0u);
    account_delete();
}

// Files that load as not linked: whether the unreadable warning is logged, and the file stays.
TEST(account_store, unreadable_or_empty_files_load_as_not_linked) {
    const std::string good = "v=1\nserver=http://s\nsl_name=ann\navatar_key=k\ntoken=t\nlinked_at=5\n";
    struct row {
        const char* what;
        int kind;  // 0 other entropy, 1 no entropy, 2 corrupted blob, 3 empty, 4 4096 bytes, 5 no file
        bool warns;
    } rows[] = {
        {"other entropy", 0, true}, {"no entropy", 1, true},  {"corrupted blob", 2, true},
        {"empty file", 3, false},   {"4096 bytes", 4, false}, {"missing", 5, false},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        DeleteFileW(data_path(L"account.dat").c_str());
        switch (r.kind) {
        case 0: write_sealed(good, "Ivra keyring v2"); break;
        case 1: write_sealed(good, nullptr); break;
        case 2: {
            write_sealed(good, "Ivra keyring v3");
            std::string blob = test_read_all(data_path(L"account.dat"));
            for (size_t i = blob.size() - 20; i < blob.size(); i++) blob[i] ^= 0x5A;
            write_raw(blob);
            break;
        }
        case 3: write_raw(""); break;
        case 4: write_raw(std::string(4096, 'x')); break;
        default: break;
        }
        size_t warned_before = log_count(k_unreadable);
        account acc;
        memset(&acc, 0x55, sizeof acc);
        EXPECT_FALSE(account_load(&acc));
        EXPECT_EQ(acc.linked, 0);
        EXPECT_STREQ(acc.token, "");
        EXPECT_EQ(log_count(k_unreadable) - warned_before, r.warns ? 1u : 0u);
        EXPECT_EQ(file_exists(L"account.dat"), r.kind != 5);
    }
    DeleteFileW(data_path(L"account.dat").c_str());
}

// Hand-made plain texts under the right entropy.
TEST(account_store, plain_text_lines) {
    struct row {
        const char* text;
        bool linked;
        const char* server;
        const char* name;
        const char* token;
        long long linked_at;
    } rows[] = {
        {"v=1\nserver=http://s\nsl_name=ann\ntoken=t\nlinked_at=42\n", true, "http://s", "ann", "t", 42},
        {"v=1\nserver=http://s\nsl_name=ann\nlinked_at=42\n", false, "http://s", "ann", "", 42},
        {"server=http://s\ntoken=t\n", true, "http://s", "", "t", 0},
        {"token=t\nsl_name=ann\n", false, "", "ann", "t", 0},
        {"\n\nserver=a=b\n\nother=1\ntoken=x=y\nlinked_at=-7", true, "a=b", "", "x=y", -7},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.text);
        write_sealed(r.text, "Ivra keyring v3");
        account acc;
        EXPECT_EQ(account_load(&acc), r.linked);
        EXPECT_EQ(acc.linked, r.linked ? 1 : 0);
        EXPECT_STREQ(acc.server, r.server);
        EXPECT_STREQ(acc.sl_name, r.name);
        EXPECT_STREQ(acc.token, r.token);
        EXPECT_EQ(acc.linked_at, r.linked_at);
    }
    // Values longer than their fields are cut to them.
    write_sealed("server=http://s\ntoken=" + std::string(300, 't') + "\nsl_name=" + std::string(100, 'n') + "\n",
                 "Ivra keyring v3");
    account acc;
    EXPECT_TRUE(account_load(&acc));
    EXPECT_EQ(strlen(acc.token), 159u);
    EXPECT_EQ(strlen(acc.sl_name), 71u);
    DeleteFileW(data_path(L"account.dat").c_str());
}

TEST(account_store, delete_logs_only_when_a_file_went) {
    const char* line = "account: unlinked on this PC";
    DeleteFileW(data_path(L"account.dat").c_str());
    size_t before = log_count(line);
    account_delete();
    EXPECT_EQ(log_count(line), before);
    write_raw("x");
    account_delete();
    EXPECT_EQ(log_count(line), before + 1);
    EXPECT_FALSE(file_exists(L"account.dat"));
}

TEST(account_server, environment_first_and_trailing_slashes_removed) {
    struct row {
        const wchar_t* env;  // null: unset
        const wchar_t* config;
        const char* want;
    } rows[] = {
        {L"http://127.0.0.1:9000//", L"https://ivra.app", "http://127.0.0.1:9000"},
        {nullptr, L"https://ivra.app/", "https://ivra.app"},
        {nullptr, L"https://x.test/base///", "https://x.test/base"},
        {L"https:///", L"https://ivra.app", "https://"},  // never shorter than 8 characters
        {L"", L"http://cfg", "http://cfg"},               // empty counts as unset
        {L"http://h\u00e9/", L"x", "http://h\xc3\xa9"},
    };
    for (const row& r : rows) {
        SetEnvironmentVariableW(L"IVRA_SERVER", r.env && r.env[0] ? r.env : nullptr);
        config cfg = {};
        wcscpy(cfg.server_url, r.config);
        char out[256];
        size_t n = account_server(&cfg, out);
        EXPECT_STREQ(out, r.want);
        EXPECT_EQ(n, strlen(r.want));
    }
    SetEnvironmentVariableW(L"IVRA_SERVER", nullptr);
}

TEST(sha256, standard_digests) {
    struct row {
        std::string data;
        const char* digest;
    } rows[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const row& r : rows) {
        uint8_t d[32];
        sha256(r.data.data(), r.data.size(), d);
        EXPECT_EQ(hex(d, 32), r.digest) << r.data.size() << " bytes";
    }
}

TEST(pow_solve, bounds_and_first_qualifying_nonce) {
    struct row {
        std::string puzzle;
        int bits;
        bool ok;
    } rows[] = {
        {"p", 0, true},
        {std::string(200, 'z'), 4, true},
        {std::string(201, 'z'), 1, false},
        {"p", 27, false},
        {"p", -1, false},
        {"", 0, false},
        {"abc123", 10, true},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.puzzle.size());
        SCOPED_TRACE(r.bits);
        char nonce[16] = "untouched";
        ASSERT_EQ(pow_solve(r.puzzle.c_str(), r.bits, nonce), r.ok);
        if (!r.ok) {
            EXPECT_STREQ(nonce, "untouched");
            continue;
        }
        // The answer qualifies and no smaller number does.
        unsigned long n = strtoul(nonce, nullptr, 10);
        for (unsigned long i = 0; i <= n; i++) {
            std::string text = r.puzzle + ":" + std::to_string(i);
            uint8_t d[32];
            sha256(text.data(), text.size(), d);
            EXPECT_EQ(sha256_leading_zero_bits(d) >= r.bits, i == n) << i;
        }
    }
    char nonce[16];
    ASSERT_TRUE(pow_solve("anything", 0, nonce));
    EXPECT_STREQ(nonce, "0");
}

TEST(link_replies, start_and_verify_fields_and_defaults) {
    struct row {
        const char* reply;
        bool ok;
        const char* id;
        const char* name;
        int expires_in;
        int code_length;
    } rows[] = {
        {"{\"challenge_id\":\"c1\",\"client_token\":\"ct\"}", true, "c1", "typed", 600, 6},
        {"{\"challenge_id\":\"c1\",\"client_token\":\"ct\",\"sl_name\":\"Ann.Resident\",\"expires_in\":90,"
         "\"code_length\":8}",
         true, "c1", "Ann.Resident", 90, 8},
        {"{\"challenge_id\":\"c1\"}", false, "", "", 0, 0},
        {"{\"client_token\":\"ct\"}", false, "", "", 0, 0},
        {"{\"challenge_id\":\"c1\",\"client_token\":\"ct\",\"expires_in\":\"90\",\"code_length\":1e300}", true, "c1",
         "typed", 600, 6},
        {"[1]", false, "", "", 0, 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.reply);
        json_node* tree = json_parse(r.reply, strlen(r.reply));
        ASSERT_TRUE(tree);
        link_challenge c = {};
        EXPECT_EQ(link_challenge_read(tree, "http://s", "typed", &c), r.ok);
        json_free(tree);
        EXPECT_STREQ(c.challenge_id, r.id);
        EXPECT_STREQ(c.sl_name, r.name);
        EXPECT_EQ(c.expires_in, r.expires_in);
        EXPECT_EQ(c.code_length, r.code_length);
        if (r.ok) {
            EXPECT_STREQ(c.server, "http://s");
        }
    }

    link_challenge ch = {"http://s", "c1", "ct", "Typed Name", 600, 6};
    struct vrow {
        const char* reply;
        bool ok;
        const char* name;
        const char* key;
    } vrows[] = {
        {"{\"token\":\"T\",\"sl_name\":\"Ann\",\"avatar_key\":\"K\"}", true, "Ann", "K"},
        {"{\"token\":\"T\"}", true, "Typed Name", ""},
        {"{\"token\":\"\",\"sl_name\":\"Ann\"}", false, "", ""},
        {"{}", false, "", ""},
    };
    for (const vrow& r : vrows) {
        SCOPED_TRACE(r.reply);
        json_node* tree = json_parse(r.reply, strlen(r.reply));
        ASSERT_TRUE(tree);
        account a = {};
        EXPECT_EQ(link_account_read(tree, &ch, 1234, &a), r.ok);
        json_free(tree);
        EXPECT_STREQ(a.sl_name, r.name);
        EXPECT_STREQ(a.avatar_key, r.key);
        EXPECT_EQ(a.linked, r.ok ? 1 : 0);
        EXPECT_EQ(a.linked_at, r.ok ? 1234 : 0);
        if (r.ok) {
            EXPECT_STREQ(a.server, "http://s");
            EXPECT_STREQ(a.token, "T");
        }
    }
}

TEST(link_reason_text, sentences) {
    struct row {
        const char* reason;
        const char* text;
    } rows[] = {
        {"not_found", "No avatar with that username was found. Check the spelling."},
        {"relay_offline",
         "Ivra's messenger in Second Life is offline, so the code couldn't be sent. Try again in a few minutes."},
        {"expired", "This code has expired. Start again."},
        {"too_many_attempts", "Too many wrong codes. Start again for a new one."},
        {"", "The code couldn't be delivered. Please start again."},
        {"Expired", "The code couldn't be delivered. Please start again."},
    };
    for (const row& r : rows) EXPECT_STREQ(link_reason_text(r.reason), r.text) << r.reason;
}

TEST(account_status_format, text_and_json) {
    account a = {1, "http://srv", "Ann \"A\" Resident", "k", "secret-token", 1};
    struct row {
        bool linked;
        const char* state;
        bool json;
        const char* want;
    } rows[] = {
        {false, "none", false,
         "linked     no (captures are saved on this PC only)\nserver     http://cfg\nlink with  ivrac account link\n"},
        {false, "none", true,
         "{\"linked\":false,\"account\":\"\",\"server\":\"http://cfg\",\"upload_mode\":\"auto\",\"token\":\"none\"}\n"},
        {true, "valid", false,
         "linked     yes\naccount    Ann \"A\" Resident\nserver     http://srv\nuploads    auto\ntoken      valid\n"},
        {true, "none", false,
         "linked     yes\naccount    Ann \"A\" Resident\nserver     http://srv\nuploads    auto\n"},
        {true, "revoked", true,
         "{\"linked\":true,\"account\":\"Ann \\\"A\\\" Resident\",\"server\":\"http://srv\",\"upload_mode\":\"auto\","
         "\"token\":\"revoked\"}\n"},
    };
    for (const row& r : rows) {
        char out[1024];
        size_t n =
            cmd_account_status_format(r.linked ? &a : nullptr, "http://cfg", "auto", r.state, r.json, out, sizeof out);
        EXPECT_STREQ(out, r.want);
        EXPECT_EQ(n, strlen(r.want));
        EXPECT_EQ(std::string(out).find("secret-token"), std::string::npos);
    }
}

TEST(account_command_parts, mode_names_token_states_and_trimming) {
    const char* modes[] = {"ask", "auto", "manual", "ask", "ask"};
    const int values[] = {0, 1, 2, 3, -1};
    for (int i = 0; i < 5; i++) EXPECT_STREQ(cmd_account_mode_name(values[i]), modes[i]);

    struct state_row {
        bool ok;
        int status;
        const char* want;
    } states[] = {{true, 200, "valid"},
                  {false, 401, "revoked"},
                  {false, 0, "unreachable"},
                  {false, 403, "unreachable"},
                  {false, 500, "unreachable"}};
    for (const auto& r : states) EXPECT_STREQ(cmd_account_token_state(r.ok, r.status), r.want);

    struct trim_row {
        const char* in;
        const char* out;
    } trims[] = {{"  Ann Resident \r\n", "Ann Resident"},
                 {"123456\r", "123456"},
                 {"   ", ""},
                 {"\n", ""},
                 {"a\tb ", "a\tb"},
                 {"", ""}};
    for (const auto& r : trims) {
        char buf[64];
        strcpy(buf, r.in);
        cmd_account_prompt_trim(buf);
        EXPECT_STREQ(buf, r.out);
    }
}

// Piped input: each row feeds bytes, then reads lines with the given buffer size.
TEST(prompt_line, lines_from_a_pipe) {
    struct row {
        std::string input;
        size_t size;
        std::vector<std::string> lines;  // "<none>" where nothing could be read
    } rows[] = {
        {"", 128, {"<none>"}},
        {"Ann Resident\n123456\n", 128, {"Ann Resident", "123456", "<none>"}},
        {"  ann \r\n\r\n", 128, {"ann", "", "<none>"}},
        {"last line without feed", 128, {"last line without feed", "<none>"}},
        // An over-long line is cut, and its rest is not taken as the next answer.
        {"abcdefghij\n42\n", 5, {"abcd", "42", "<none>"}},
        {"abcd\n42\n", 5, {"abcd", "42", "<none>"}},
    };
    HANDLE saved = GetStdHandle(STD_INPUT_HANDLE);
    for (const row& r : rows) {
        SCOPED_TRACE(r.input);
        HANDLE rd, wr;
        ASSERT_TRUE(CreatePipe(&rd, &wr, nullptr, 0));
        DWORD put = 0;
        if (!r.input.empty()) WriteFile(wr, r.input.data(), (DWORD)r.input.size(), &put, nullptr);
        CloseHandle(wr);
        SetStdHandle(STD_INPUT_HANDLE, rd);
        for (const std::string& want : r.lines) {
            char out[128];
            strcpy(out, "untouched");
            bool got = cmd_account_prompt_line("", out, r.size);
            EXPECT_EQ(got ? std::string(out) : std::string("<none>"), want);
        }
        SetStdHandle(STD_INPUT_HANDLE, saved);
        CloseHandle(rd);
    }
}

}  // namespace
