#include "cli/cli.h"
#include "cli/cli_main.h"
#include "cli/cli_help.h"
#include "cli/cmd_agent.h"
#include "cli/pipe_client.h"
#include "common/win.h"
#include <gtest/gtest.h>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string utf8_of(const wchar_t* w) {
    std::vector<char> buf(65536);
    cli_utf8_from_wide(w, buf.data(), buf.size());
    return buf.data();
}

struct parse_case {
    std::vector<const wchar_t*> args;  // without the program name
    bool json, quiet, help, version;
    std::vector<const wchar_t*> positional;
};

TEST(CliParse, GlobalFlagsAnywhereAreRemoved) {
    const parse_case cases[] = {
        {{}, false, false, false, false, {}},
        {{L"--json"}, true, false, false, false, {}},
        {{L"-q"}, false, true, false, false, {}},
        {{L"status", L"-q", L"--json"}, true, true, false, false, {L"status"}},
        {{L"shot", L"--version"}, false, false, false, true, {L"shot"}},
        {{L"--help", L"shot"}, false, false, true, false, {L"shot"}},
        {{L"shot", L"-h"}, false, false, true, false, {L"shot"}},
        {{L"config", L"set", L"key", L"-q"}, false, true, false, false, {L"config", L"set", L"key"}},
        {{L"shot", L"--quiet", L"--window", L"x"}, false, true, false, false, {L"shot", L"--window", L"x"}},
        // Flags are matched exactly: other spellings reach the command.
        {{L"shot", L"--JSON", L"-json", L"--json=1"},
         false,
         false,
         false,
         false,
         {L"shot", L"--JSON", L"-json", L"--json=1"}},
        {{L"help", L"desktops"}, false, false, false, false, {L"help", L"desktops"}},
    };
    for (const auto& c : cases) {
        std::vector<wchar_t*> argv;
        argv.push_back(const_cast<wchar_t*>(L"ivrac"));
        for (auto a : c.args) argv.push_back(const_cast<wchar_t*>(a));
        cli_args out;
        cli_parse_args((int)argv.size(), argv.data(), &out);
        std::wstring line;
        for (auto a : c.args) line += std::wstring(a) + L" ";
        SCOPED_TRACE(std::string(line.begin(), line.end()));
        EXPECT_EQ(out.json, c.json);
        EXPECT_EQ(out.quiet, c.quiet);
        EXPECT_EQ(out.help, c.help);
        EXPECT_EQ(out.version, c.version);
        ASSERT_EQ(out.count, (int)c.positional.size());
        for (int i = 0; i < out.count; i++) EXPECT_STREQ(out.positional[i], c.positional[i]);
    }
}

TEST(CliParse, WalkStopsAfter128Positionals) {
    std::vector<wchar_t*> argv;
    argv.push_back(const_cast<wchar_t*>(L"ivrac"));
    for (int i = 0; i < 128; i++) argv.push_back(const_cast<wchar_t*>(L"x"));
    argv.push_back(const_cast<wchar_t*>(L"--json"));  // ignored: the walk has stopped
    argv.push_back(const_cast<wchar_t*>(L"y"));
    cli_args out;
    cli_parse_args((int)argv.size(), argv.data(), &out);
    EXPECT_EQ(out.count, 128);
    EXPECT_FALSE(out.json);
}

std::string escape_wide(const wchar_t* text, size_t capacity = 2048) {
    std::vector<char> buf(capacity + 1, '#');
    size_t n = cli_json_escape(text, buf.data(), capacity);
    if (capacity == 0) return std::string(buf.data(), 1) == "#" ? "<untouched>" : "<written>";
    EXPECT_EQ(strlen(buf.data()), n);
    return std::string(buf.data(), n);
}

TEST(CliJsonEscape, Table) {
    const struct {
        const wchar_t* in;
        const char* out;
    } cases[] = {
        {L"", ""},
        {L"plain", "plain"},
        {L"say \"hi\"", "say \\\"hi\\\""},
        {L"C:\\a b\\x.png", "C:\\\\a b\\\\x.png"},
        {L"a\tb", "a\\u0009b"},
        {L"line\nnext\r", "line\\u000anext\\u000d"},
        {L"\x01\x1f", "\\u0001\\u001f"},
        {L"\x7f/", "\x7f/"},  // DEL and slash are not escaped
        {L"caf\x00e9 \x2014", "caf\xc3\xa9 \xe2\x80\x94"},
        {L"\xd83d\xde00", "\xf0\x9f\x98\x80"},  // surrogate pair → one 4-byte character
        {L"a\xd800z", "a\xef\xbf\xbdz"},        // lone surrogate → U+FFFD, still valid UTF-8
    };
    for (const auto& c : cases) EXPECT_EQ(escape_wide(c.in), c.out);
}

// Valid UTF-8 check used on every cut result.
bool valid_utf8(const std::string& s) {
    wchar_t tmp[8192];
    size_t n = cli_wide_from_utf8(s.data(), s.size(), tmp, 8192);
    for (size_t i = 0; i < n; i++)
        if (tmp[i] == 0xFFFD) return false;
    return true;
}

TEST(CliJsonEscape, BytesThatAreNotUtf8BecomeReplacementCharacters) {
    // Agent replies are copied byte by byte; a reply cut mid-character must not make the JSON invalid.
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"ab\xe2\x82", "ab\xef\xbf\xbd\xef\xbf\xbd"},  // cut euro sign at the end: one per byte
        {"\xe2\x82x", "\xef\xbf\xbd\xef\xbf\xbdx"},
        {"\x80z", "\xef\xbf\xbdz"},  // stray continuation byte
        {"\xff\xfe", "\xef\xbf\xbd\xef\xbf\xbd"},
        {"\xc0\xaf", "\xef\xbf\xbd\xef\xbf\xbd"},                  // overlong slash
        {"\xed\xa0\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},  // encoded surrogate
        {"\xef\xbf\xbd\xe2\x82\xac", "\xef\xbf\xbd\xe2\x82\xac"},  // valid text passes unchanged
    };
    for (const auto& c : cases) {
        char out[64];
        cli_json_escape_utf8(c.in, out, sizeof out);
        EXPECT_STREQ(out, c.out) << c.in;
    }
}

TEST(CliText, FormatCutsBeforeASplitCharacter) {
    std::string euros;
    for (int i = 0; i < 400; i++) euros += "\xe2\x82\xac";
    const struct {
        size_t cap;
        size_t kept;
    } rows[] = {{1024, 1023 / 3 * 3}, {8, 6}, {4, 3}, {3, 0}, {2, 0}};
    for (const auto& r : rows) {
        std::vector<char> out(r.cap);
        EXPECT_EQ(cli_format(out.data(), r.cap, "%s", euros.c_str()), r.kept) << r.cap;
        EXPECT_EQ(strlen(out.data()), r.kept);
        EXPECT_TRUE(valid_utf8(out.data()));
    }
    char small[16];
    EXPECT_EQ(cli_format(small, sizeof small, "k=%d", 42), 4u);
    EXPECT_STREQ(small, "k=42");
}

TEST(CliText, ControlsBlankedAndColumnsCountCharacters) {
    wchar_t title[] = L"a\nb\rc\x1b[0m\x01\x7f\x85\x9b\u00a0\u00e9\t";
    cli_blank_controls(title);
    EXPECT_STREQ(title, L"a b c [0m    \u00a0\u00e9 ");

    const struct {
        const char* text;
        size_t chars;
    } counts[] = {
        {"", 0}, {"abc", 3}, {"\xc3\xa9t\xc3\xa9", 3}, {"\xe2\x82\xac", 1}, {"\xf0\x9f\x98\x80!", 2}, {"\xff", 1},
    };
    for (const auto& c : counts) EXPECT_EQ(cli_utf8_chars(c.text), c.chars) << c.text;

    const struct {
        const char* text;
        size_t width, cap;
        const char* out;
    } pads[] = {
        {"ab", 5, 64, "ab   |"},
        {"\xc3\xa9t\xc3\xa9", 5, 64, "\xc3\xa9t\xc3\xa9  |"},  // 3 characters, 5 bytes: 2 blanks
        {"\xe2\x82\xac\xe2\x82\xac", 2, 64, "\xe2\x82\xac\xe2\x82\xac|"},
        {"toolongtext", 4, 64, "toolongtext|"},
        {"\xe2\x82\xac\xe2\x82\xac", 4, 6, "\xe2\x82\xac  |"},  // room for one euro sign and two blanks
    };
    for (const auto& p : pads) {
        std::vector<char> out(p.cap);
        size_t at = 0;
        cli_pad_utf8(out.data(), p.cap, &at, p.text, p.width);
        EXPECT_EQ(at, strlen(out.data()));
        EXPECT_EQ(std::string(out.data()) + "|", p.out) << p.text;
    }
}

TEST(CliJsonEscape, CutKeepsRoomForOneEscapeAndWholeCharacters) {
    // capacity - 8 bytes at most, never half a character, whatever the mix.
    std::wstring text;
    for (int i = 0; i < 50; i++) text += L"\x00e9\"\x20ac\t";
    for (size_t cap : {9u, 10u, 11u, 12u, 13u, 16u, 17u, 33u, 64u}) {
        std::string out = escape_wide(text.c_str(), cap);
        SCOPED_TRACE(cap);
        EXPECT_LE(out.size(), cap - 1);
        EXPECT_TRUE(valid_utf8(out));
        // An escape is never split: no trailing lone backslash or partial \u sequence.
        size_t bs = out.rfind('\\');
        if (bs != std::string::npos) {
            std::string tail = out.substr(bs);
            EXPECT_TRUE(tail.rfind("\\\"", 0) == 0 || tail.rfind("\\u0009", 0) == 0) << tail;
        }
    }
    EXPECT_EQ(escape_wide(L"abc", 8), "");  // no room beyond the reserve
    EXPECT_EQ(escape_wide(L"abc", 0), "<untouched>");
}

TEST(CliJsonEscape, LongTextIsCutNear2039Bytes) {
    std::string text(5000, 'a');
    char out[CLI_ESCAPE_BUFFER];
    size_t n = cli_json_escape_utf8(text.c_str(), out, sizeof out);
    EXPECT_EQ(n, (size_t)CLI_ESCAPE_BUFFER - 8);
    std::string quotes(3000, '"');
    n = cli_json_escape_utf8(quotes.c_str(), out, sizeof out);
    EXPECT_EQ(n % 2, 0u);  // pairs of backslash and quote only
    EXPECT_LE(n, (size_t)CLI_ESCAPE_BUFFER - 1);
}

TEST(CliUtf8, WideToUtf8NeverSplitsACharacter) {
    const struct {
        const wchar_t* in;
        size_t cap;
        const char* out;
    } cases[] = {
        {L"abc", 4, "abc"},
        {L"abc", 3, "ab"},
        {L"\x00e9\x00e9", 4, "\xc3\xa9"},  // second é needs 2 more bytes than fit
        {L"a\x20ac", 4, "a"},              // € needs 3
        {L"\xd83d\xde00z", 5, "\xf0\x9f\x98\x80"},
        {L"\xd83d\xde00", 4, ""},
        {L"\xdc00", 8, "\xef\xbf\xbd"},  // lone low surrogate
        {L"", 1, ""},
    };
    for (const auto& c : cases) {
        char buf[16];
        memset(buf, '#', sizeof buf);
        size_t n = cli_utf8_from_wide(c.in, buf, c.cap);
        EXPECT_STREQ(buf, c.out);
        EXPECT_EQ(n, strlen(c.out));
    }
}

TEST(CliUtf8, Utf8ToWideReplacesMalformedBytes) {
    const struct {
        const char* in;
        const wchar_t* out;
    } cases[] = {
        {"abc", L"abc"},
        {"caf\xc3\xa9", L"caf\x00e9"},
        {"\xf0\x9f\x98\x80", L"\xd83d\xde00"},
        {"\xc3", L"\xfffd"},                      // truncated sequence
        {"\xc0\xaf", L"\xfffd\xfffd"},            // overlong slash
        {"\xed\xa0\x80", L"\xfffd\xfffd\xfffd"},  // encoded surrogate
        {"\xff"
         "a",
         L"\xfffd"
         L"a"},
        {"\xe2\x82"
         "x",
         L"\xfffd\xfffd"
         L"x"},
    };
    for (const auto& c : cases) {
        wchar_t buf[16];
        cli_wide_from_utf8(c.in, (size_t)-1, buf, 16);
        EXPECT_STREQ(buf, c.out) << c.in;
    }
    wchar_t small[2];
    EXPECT_EQ(cli_wide_from_utf8("\xf0\x9f\x98\x80", (size_t)-1, small, 2), 0u);  // a pair needs 2 + NUL
    EXPECT_EQ(small[0], 0);
}

TEST(CliUtf8, CutAtCharacterBoundary) {
    const char* s = "a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80";  // a é € 😀 (1+2+3+4 bytes)
    const size_t len = strlen(s);
    const struct {
        size_t max;
        size_t want;
    } cases[] = {
        {0, 0}, {1, 1}, {2, 1}, {3, 3}, {4, 3}, {5, 3}, {6, 6}, {7, 6}, {9, 6}, {10, 10}, {50, 10},
    };
    for (const auto& c : cases) EXPECT_EQ(cli_utf8_cut(s, len, c.max), c.want) << c.max;
}

TEST(CliReply, FieldLookup) {
    const char* reply = "ok\tpath=C:\\a b\\x.png\twidth=10\tempty=\tpathx=no";
    const struct {
        const char* reply;
        const char* key;
        const wchar_t* want;
    } cases[] = {
        {reply, "path", L"C:\\a b\\x.png"},
        {reply, "widt", L""},
        {reply, "width", L"10"},
        {reply, "empty", L""},
        {reply, "ok", L""},  // the status word is no field
        {reply, "", L""},
        {"ok\tpathx=1\tpath=2", "path", L"2"},  // a longer key does not match its prefix
        {"err\tcode=busy\tmsg=capture in progress", "msg", L"capture in progress"},
        {"err\tcode=busy\tmsg=a=b", "msg", L"a=b"},
        {"ok\tname=caf\xc3\xa9", "name", L"caf\x00e9"},
        {"ok\tx=1\n\ty=2", "y", L""},  // nothing after the line end
        {nullptr, "path", L""},
    };
    for (const auto& c : cases) {
        wchar_t out[64];
        wcscpy(out, L"junk");
        pipe_client_reply_field_get(c.reply, c.key, out, 64);
        EXPECT_STREQ(out, c.want) << (c.reply ? c.reply : "(null)") << " / " << c.key;
    }
    wchar_t small[4];
    pipe_client_reply_field_get(reply, "path", small, 4);
    EXPECT_STREQ(small, L"C:\\");
    EXPECT_TRUE(pipe_client_reply_ok("ok"));
    EXPECT_TRUE(pipe_client_reply_ok("ok\tx=1"));
    EXPECT_FALSE(pipe_client_reply_ok("err\tcode=ok"));
    EXPECT_FALSE(pipe_client_reply_ok("o"));
    EXPECT_FALSE(pipe_client_reply_ok(nullptr));
}

TEST(CliReply, LongValueIsCutTo1023BytesOnACharacterBoundary) {
    std::string reply = "ok\tv=" + std::string(1022, 'a') + "\xc3\xa9" + "tail";
    wchar_t out[2048];
    pipe_client_reply_field_get(reply.c_str(), "v", out, 2048);
    EXPECT_EQ(wcslen(out), 1022u);  // the é would end at byte 1024: dropped whole
    for (size_t i = 0; i < wcslen(out); i++) ASSERT_EQ(out[i], L'a');
}

TEST(CliExitCodes, CodeWordsMapToTheirExitCodes) {
    const struct {
        const char* code;
        int exit_code;
    } cases[] = {
        {"usage", 2},          {"agent_unavailable", 3},
        {"not_found", 4},      {"ambiguous", 4},
        {"bad_screen", 4},     {"out_of_bounds", 4},
        {"no_coverage", 4},    {"bad_folder", 4},
        {"idle", 5},           {"busy", 5},
        {"replay_off", 5},     {"not_linked", 6},
        {"capture_failed", 1}, {"dump_failed", 1},
        {"autostart", 1},      {"", 1},
        {nullptr, 1},
    };
    for (const auto& c : cases) EXPECT_EQ(cli_exit_for_code(c.code), c.exit_code) << (c.code ? c.code : "null");
}

TEST(CliHelp, EveryCommandHasAHelpText) {
    const wchar_t* words[] = {L"shot",    L"clip",     L"replay",  L"account", L"upload",     L"windows",
                              L"screens", L"desktops", L"last",    L"status",  L"input",      L"agent",
                              L"config",  L"settings", L"folders", L"storage", L"agent-docs", L"help"};
    for (auto w : words) {
        const wchar_t* t = cli_help_topic(w);
        ASSERT_NE(t, nullptr);
        // Each text names its usage line, printed as "Usage: ivrac <word>".
        EXPECT_NE(wcsstr(t, L"Usage: ivrac"), nullptr);
        // Help texts go out through one 8192-byte conversion each; they must fit whole.
        char buf[8192];
        size_t n = cli_utf8_from_wide(t, buf, sizeof buf);
        EXPECT_LT(n, sizeof buf - 1);
    }
    EXPECT_EQ(cli_help_topic(L"desktops"), cli_help_topic(L"screens"));
    EXPECT_EQ(cli_help_topic(L"nosuch"), nullptr);
    EXPECT_EQ(cli_help_topic(L"Shot"), nullptr);
    EXPECT_EQ(cli_help_topic(L""), nullptr);
    // The main help lists every command word of the table.
    for (auto w : words) {
        if (wcscmp(w, L"desktops") == 0) continue;
        std::wstring line = std::wstring(L"\n  ") + w + L" ";
        EXPECT_NE(wcsstr(cli_help_main(), line.c_str()), nullptr) << std::string(line.begin(), line.end());
    }
}

TEST(CliHelp, GuideHasEverySectionInOrder) {
    const wchar_t* sections[] = {L"# Ivra — screenshot CLI for agents",
                                 L"## 5-second workflow",
                                 L"## Commands",
                                 L"## Useful flags (shot)",
                                 L"## Clips (MP4, <= 30 s, one at a time)",
                                 L"## Screens & regions",
                                 L"## Configure",
                                 L"## Input compatibility",
                                 L"## Folders",
                                 L"## Storage",
                                 L"## Exit codes",
                                 L"## Gotchas"};
    const wchar_t* guide = cli_help_agent_docs();
    const wchar_t* at = guide;
    for (auto s : sections) {
        const wchar_t* found = wcsstr(at, s);
        ASSERT_NE(found, nullptr) << "missing or out of order";
        at = found + wcslen(s);
    }
    // The guide's hotkey examples must agree with the defaults (hk_clip Ctrl+Shift+G, hk_clip_app unset).
    EXPECT_NE(wcsstr(guide, L"`hk_clip` (default Ctrl+Shift+G)"), nullptr);
    EXPECT_NE(wcsstr(guide, L"`hk_clip_app` (unset by default"), nullptr);
}

TEST(CliHelp, GuideListsEveryErrorCodeAndExitCode) {
    std::wstring guide = cli_help_agent_docs();
    size_t from = guide.find(L"## Exit codes"), to = guide.find(L"## Gotchas");
    ASSERT_NE(from, std::wstring::npos);
    std::wstring section = guide.substr(from, to - from);
    // ivrac's own codes, then those the agent's shot and capture replies carry.
    for (const wchar_t* code :
         {L"usage",         L"agent_unavailable", L"capture_failed", L"not_found", L"ambiguous", L"bad_screen",
          L"out_of_bounds", L"no_coverage",       L"bad_folder",     L"bad_path",  L"internal",  L"input_unavailable",
          L"dump_failed",   L"autostart",         L"config",         L"busy",      L"disk_full", L"minimized",
          L"bad_hwnd",      L"capture",           L"encode",         L"cancelled", L"timeout",   L"bad_dir"})
        EXPECT_NE(section.find(std::wstring(L"`") + code + L"`"), std::wstring::npos) << utf8_of(code);
    for (const wchar_t* exit_code : {L"0 ok", L"1 capture failed", L"2 usage error", L"3 agent unavailable",
                                     L"4 bad or ambiguous target", L"5 idle or busy", L"6 not linked"})
        EXPECT_NE(section.find(exit_code), std::wstring::npos) << utf8_of(exit_code);
}

TEST(CliAutostart, TaskDefinitionEscapesValues) {
    wchar_t xml[8192];
    size_t n = cmd_agent_autostart_task_xml(L"PC\\ann", L"C:\\Tom & Jerry\\<x>\\ivrad.exe", L"C:\\Tom & Jerry\\<x>",
                                            xml, 8192);
    ASSERT_GT(n, 0u);
    EXPECT_EQ(wcslen(xml), n);
    std::wstring s = xml;
    EXPECT_EQ(s.rfind(L"<?xml version=\"1.0\" encoding=\"UTF-16\"?>\r\n", 0), 0u);
    EXPECT_NE(s.find(L"<Command>C:\\Tom &amp; Jerry\\&lt;x&gt;\\ivrad.exe</Command>"), std::wstring::npos);
    EXPECT_NE(s.find(L"<WorkingDirectory>C:\\Tom &amp; Jerry\\&lt;x&gt;</WorkingDirectory>"), std::wstring::npos);
    EXPECT_NE(s.find(L"<Arguments>--autostart</Arguments>"), std::wstring::npos);
    // The user appears in the trigger and in the principal.
    size_t first = s.find(L"<UserId>PC\\ann</UserId>");
    ASSERT_NE(first, std::wstring::npos);
    EXPECT_NE(s.find(L"<UserId>PC\\ann</UserId>", first + 1), std::wstring::npos);
    for (const wchar_t* part :
         {L"<Delay>PT10S</Delay>", L"<LogonType>InteractiveToken</LogonType>", L"<RunLevel>LeastPrivilege</RunLevel>",
          L"<Principal id=\"Author\">", L"<MultipleInstancesPolicy>IgnoreNew</MultipleInstancesPolicy>",
          L"<ExecutionTimeLimit>PT0S</ExecutionTimeLimit>", L"<Interval>PT1M</Interval>", L"<Count>3</Count>",
          L"<Actions Context=\"Author\">", L"<Description>Start the Ivra capture agent at sign-in</Description>"})
        EXPECT_NE(s.find(part), std::wstring::npos) << std::string(part, part + wcslen(part));
    // Every line ends in CR LF.
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] == L'\n') {
            ASSERT_TRUE(i > 0 && s[i - 1] == L'\r') << i;
        }
    }
    EXPECT_EQ(s.substr(s.size() - 9), L"</Task>\r\n");
}

TEST(CliAutostart, TaskDefinitionThatDoesNotFitLeavesOutputUntouched) {
    wchar_t small[100];
    wcscpy(small, L"keep");
    EXPECT_EQ(cmd_agent_autostart_task_xml(L"u", L"p", L"d", small, 100), 0u);
    EXPECT_STREQ(small, L"keep");
}

TEST(CliAutostart, UserAndCommandLines) {
    const struct {
        const wchar_t* domain;
        const wchar_t* user;
        bool ok;
        const wchar_t* want;
    } cases[] = {
        {L"WORK", L"ann", true, L"WORK\\ann"},
        {L"", L"ann", true, L"ann"},
        {nullptr, L"ann", true, L"ann"},
        {L"WORK", L"", false, L"keep"},
    };
    for (const auto& c : cases) {
        wchar_t out[256];
        wcscpy(out, L"keep");
        EXPECT_EQ(cmd_agent_autostart_user_text(c.domain, c.user, out), c.ok);
        EXPECT_STREQ(out, c.want);
    }
    std::wstring long_user(300, L'x');
    wchar_t out[256];
    EXPECT_FALSE(cmd_agent_autostart_user_text(L"D", long_user.c_str(), out));

    wchar_t cmd[520];
    ASSERT_TRUE(cmd_agent_autostart_create_command(L"C:\\Temp dir\\ivra-task.xml", cmd));
    EXPECT_STREQ(cmd, L"schtasks.exe /Create /TN Ivra /XML \"C:\\Temp dir\\ivra-task.xml\" /F");
    std::wstring long_path(500, L'p');
    EXPECT_FALSE(cmd_agent_autostart_create_command(long_path.c_str(), cmd));
    EXPECT_STREQ(autostart_delete_command, L"schtasks.exe /Delete /TN Ivra /F");
    EXPECT_STREQ(autostart_query_command, L"schtasks.exe /Query /TN Ivra");
}

// ---- Output functions, with the standard handles pointed at temporary files.

struct captured_output {
    std::string out, err;
};

template <typename F>
captured_output capture(F body) {
    wchar_t dir[MAX_PATH], out_path[MAX_PATH], err_path[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    GetTempFileNameW(dir, L"cli", 0, out_path);
    GetTempFileNameW(dir, L"cli", 0, err_path);
    HANDLE o = CreateFileW(out_path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    HANDLE e = CreateFileW(err_path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    HANDLE old_out = GetStdHandle(STD_OUTPUT_HANDLE), old_err = GetStdHandle(STD_ERROR_HANDLE);
    SetStdHandle(STD_OUTPUT_HANDLE, o);
    SetStdHandle(STD_ERROR_HANDLE, e);
    body();
    SetStdHandle(STD_OUTPUT_HANDLE, old_out);
    SetStdHandle(STD_ERROR_HANDLE, old_err);
    captured_output r;
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

TEST(CliOutput, FailWritesTheLineAndTheJsonErrorObject) {
    g_cli = {true, false, L"settings"};
    int code = 0;
    auto r = capture([&] { code = cli_fail("not_found", 1, "window \"%s\"\tis %s", "a\\b", "gone"); });
    EXPECT_EQ(code, 1);
    EXPECT_EQ(r.err, "ivrac settings: window \"a\\b\"\tis gone\n");
    EXPECT_EQ(r.out, "{\"error\":\"not_found\",\"message\":\"window \\\"a\\\\b\\\"\\u0009is gone\"}\n");
    g_cli.json = false;
    r = capture([&] { code = cli_usage(nullptr, "expects open|close|status|focus"); });
    EXPECT_EQ(code, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "ivrac settings: expects open|close|status|focus\nTry 'ivrac settings --help'\n");
    g_cli = {false, false, L"ivrac"};
}

TEST(CliOutput, LongTextIsCutOnCharacterBoundaries) {
    // A 40-character non-ASCII command word is cut to 31 bytes; a long message to 1023.
    std::wstring word(40, L'\x00e9');
    g_cli = {true, false, word.c_str()};
    std::string msg;
    for (int i = 0; i < 700; i++) msg += "\xe2\x82\xac";  // 2100 bytes of euro signs
    auto r = capture([&] { cli_fail("x", 1, "%s", msg.c_str()); });
    ASSERT_TRUE(valid_utf8(r.err));
    ASSERT_TRUE(valid_utf8(r.out));
    EXPECT_EQ(r.err.size(), 6 + 30 + 2 + 1023 / 3 * 3 + 1);
    EXPECT_LE(r.out.size(), (size_t)CLI_ESCAPE_BUFFER + 40);
    g_cli.quiet = true;
    r = capture([&] { cli_note("starting agent..."); });
    EXPECT_EQ(r.err, "");
    g_cli.quiet = false;
    r = capture([&] { cli_note("starting agent..."); });
    EXPECT_EQ(r.err, "starting agent...\n");
    // Wide text longer than one conversion buffer goes out whole.
    std::wstring big;
    for (int i = 0; i < 5000; i++) big += L"\x00e9\xd83d\xde00";
    r = capture([&] { cli_out_write_wide(big.c_str()); });
    EXPECT_EQ(r.out.size(), 5000u * 6);
    EXPECT_TRUE(valid_utf8(r.out));
    g_cli = {false, false, L"ivrac"};
}

// cli_main as a script sees it: standard output, standard error and the exit code.
struct main_result {
    int code;
    std::string out, err;
};

main_result run_main(std::vector<const wchar_t*> args) {
    std::vector<wchar_t*> argv{const_cast<wchar_t*>(L"ivrac")};
    for (auto a : args) argv.push_back(const_cast<wchar_t*>(a));
    main_result m{};
    auto r = capture([&] { m.code = cli_main((int)argv.size(), argv.data()); });
    g_cli = {false, false, L"ivrac"};
    m.out = r.out;
    m.err = r.err;
    return m;
}

TEST(CliMain, HelpTopicIsTheWordAfterHelpEvenWithDashH) {
    const struct {
        std::vector<const wchar_t*> args;
        int code;
        const wchar_t* out;  // help text expected on standard output
    } rows[] = {
        {{L"help", L"shot", L"-h"}, 0, cli_help_topic(L"shot")},
        {{L"help", L"desktops", L"--help"}, 0, cli_help_topic(L"screens")},
        {{L"-h", L"help"}, 0, cli_help_topic(L"help")},
        {{L"help", L"-h"}, 0, cli_help_topic(L"help")},
        {{L"help"}, 0, cli_help_main()},
        {{L"help", L"nosuch", L"-h"}, 2, cli_help_main()},
        {{L"shot", L"-h"}, 0, cli_help_topic(L"shot")},
    };
    for (const auto& r : rows) {
        main_result m = run_main(r.args);
        EXPECT_EQ(m.code, r.code) << utf8_of(r.args[1]);
        EXPECT_EQ(m.out, utf8_of(r.out)) << utf8_of(r.args[1]);
    }
}

TEST(CliMain, StorageWithoutAnAgentScansLocallyAndSucceeds) {
    main_result m = run_main({L"storage", L"--json"});
    EXPECT_EQ(m.code, 0);
    EXPECT_EQ(m.out.rfind("{\"drive\":\"", 0), 0u) << m.out;
    EXPECT_NE(m.out.find("\"age_s\":0,"), std::string::npos) << m.out;
    EXPECT_EQ(m.err, "agent not running; scanning locally\n");
}

TEST(CliMain, JsonForVersionAndTheLocalAgentAndSettingsCommands) {
    EXPECT_EQ(run_main({L"--version", L"--json"}).out, "{\"version\":\"0.2.12\"}\n");
    EXPECT_EQ(run_main({L"--version"}).out, "ivrac 0.2.12\n");
    main_result m = run_main({L"agent", L"fix-cursor", L"--json", L"-q"});
    EXPECT_EQ(m.code, 0);
    EXPECT_EQ(m.out, "{\"cursors_restored\":true}\n");
    // No settings window in this prefix while the unit tests run.
    m = run_main({L"settings", L"close", L"--json", L"-q"});
    EXPECT_EQ(m.code, 0);
    EXPECT_EQ(m.out, "{\"open\":false,\"was_open\":false}\n");
}

TEST(CliMain, LongNonAsciiKeyGivesValidUtf8OnBothHandles) {
    std::wstring key(400, L'\x20ac');
    main_result m = run_main({L"config", L"get", key.c_str(), L"--json"});
    EXPECT_EQ(m.code, 2);
    EXPECT_TRUE(valid_utf8(m.out)) << m.out.size();
    EXPECT_TRUE(valid_utf8(m.err)) << m.err.size();
    EXPECT_EQ(m.out.rfind("{\"error\":\"usage\",\"message\":\"unknown key '\xe2\x82\xac", 0), 0u);
    EXPECT_EQ(m.out.substr(m.out.size() - 6), "\xe2\x82\xac\"}\n");
}

TEST(CliLaunch, StartedProgramSeesItsPathAsOneQuotedWord) {
    wchar_t line[264];
    ASSERT_TRUE(cli_quoted_command_line(L"C:\\Program Files\\Ivra\\ivrad.exe", line, 264));
    EXPECT_STREQ(line, L"\"C:\\Program Files\\Ivra\\ivrad.exe\"");
    std::wstring longest(259, L'a');
    EXPECT_TRUE(cli_quoted_command_line(longest.c_str(), line, 264));
    EXPECT_FALSE(cli_quoted_command_line(longest.c_str(), line, 261));
    EXPECT_FALSE(cli_quoted_command_line(L"", line, 264));
    EXPECT_FALSE(cli_quoted_command_line(L"C:\\a\"b", line, 264));
}

// ---- The pipe client against a small in-process server on \\.\pipe\ivra.

struct fake_agent {
    std::string reply;    // sent after the request line arrives
    bool answer = true;   // false: accept and stay silent
    DWORD hold_ms = 0;    // how long to keep a silent connection
    std::string request;  // what arrived
    HANDLE pipe = INVALID_HANDLE_VALUE;
    HANDLE thread = nullptr;
};

DWORD WINAPI fake_agent_run(void* arg) {
    auto* f = (fake_agent*)arg;
    if (!ConnectNamedPipe(f->pipe, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) return 1;
    char buf[8192];
    DWORD n = 0;
    while (f->request.find('\n') == std::string::npos && ReadFile(f->pipe, buf, sizeof buf, &n, nullptr) && n)
        f->request.append(buf, n);
    if (f->answer)
        WriteFile(f->pipe, f->reply.data(), (DWORD)f->reply.size(), &n, nullptr);
    else
        Sleep(f->hold_ms);
    FlushFileBuffers(f->pipe);
    DisconnectNamedPipe(f->pipe);
    return 0;
}

// True when something else (an agent of another test run) serves the pipe in this Wine prefix.
bool pipe_taken() { return WaitNamedPipeW(L"\\\\.\\pipe\\ivra", 1) || GetLastError() != ERROR_FILE_NOT_FOUND; }

void fake_agent_start(fake_agent* f) {
    f->pipe = CreateNamedPipeW(L"\\\\.\\pipe\\ivra", PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
                               PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 65536, 65536, 0, nullptr);
    ASSERT_NE(f->pipe, INVALID_HANDLE_VALUE) << "the pipe is served by another program";
    f->thread = CreateThread(nullptr, 0, fake_agent_run, f, 0, nullptr);
}

void fake_agent_stop(fake_agent* f) {
    WaitForSingleObject(f->thread, 10000);
    CloseHandle(f->thread);
    CloseHandle(f->pipe);
}

TEST(CliPipe, ReplyLineIsStoredWithoutItsLineFeed) {
    fake_agent f;
    f.reply = "ok\tpath=C:\\x.png\nignored second line\n";
    fake_agent_start(&f);
    char reply[256];
    EXPECT_EQ(pipe_client_call("shot\ttarget=monitor", reply, sizeof reply, 5000), PIPE_CALL_OK);
    fake_agent_stop(&f);
    EXPECT_STREQ(reply, "ok\tpath=C:\\x.png");
    EXPECT_EQ(f.request, "shot\ttarget=monitor\n");
}

TEST(CliPipe, LongReplyIsCutToBufferSize) {
    fake_agent f;
    f.reply = "ok\t" + std::string(500, 'z') + "\n";
    fake_agent_start(&f);
    char reply[64];
    memset(reply, '#', sizeof reply);
    EXPECT_EQ(pipe_client_call("status", reply, sizeof reply, 5000), PIPE_CALL_OK);
    fake_agent_stop(&f);
    EXPECT_EQ(strlen(reply), sizeof reply - 1);
    EXPECT_EQ(std::string(reply, 3), "ok\t");
}

TEST(CliPipe, SilentAgentGivesNoReplyAfterTheTimeOut) {
    fake_agent f;
    f.answer = false;
    f.hold_ms = 3000;
    fake_agent_start(&f);
    char reply[64];
    DWORD t0 = GetTickCount();
    EXPECT_EQ(pipe_client_call("dump", reply, sizeof reply, 700), PIPE_CALL_NO_REPLY);
    DWORD took = GetTickCount() - t0;
    fake_agent_stop(&f);
    EXPECT_STREQ(reply, "");
    EXPECT_GE(took, 600u);
    EXPECT_LT(took, 2500u);
}

TEST(CliPipe, AgentThatClosesWithoutReplyGivesNoReply) {
    fake_agent f;
    f.reply = "";
    fake_agent_start(&f);
    char reply[64];
    EXPECT_EQ(pipe_client_call("ping", reply, sizeof reply, 5000), PIPE_CALL_NO_REPLY);
    fake_agent_stop(&f);
}

TEST(CliPipe, NoAgentGivesUpAfterAboutASecond) {
    // The suite gives the unit tests a prefix of their own: a pipe server here is a leak.
    ASSERT_FALSE(pipe_taken()) << "something serves the control pipe in this prefix";
    char reply[64];
    DWORD t0 = GetTickCount();
    EXPECT_EQ(pipe_client_call("ping", reply, sizeof reply, 5000), PIPE_CALL_ABSENT);
    DWORD took = GetTickCount() - t0;
    EXPECT_GE(took, 800u);
    EXPECT_LT(took, 3000u);
}

TEST(CliPipe, OversizeOrMultiLineRequestsAreNotSent) {
    char reply[64];
    std::string big(PIPE_REQUEST_MAX + 1, 'a');
    EXPECT_EQ(pipe_client_call(big.c_str(), reply, sizeof reply, 100), PIPE_CALL_NO_REPLY);
    EXPECT_EQ(pipe_client_call("ping\nstatus", reply, sizeof reply, 100), PIPE_CALL_NO_REPLY);
}

}  // namespace
