#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/log.h"
#include "common/win.h"
#include "tests/unit/test_support.h"

namespace {

// The log computes its folders once per process, so the private data folder is set before main.
std::wstring g_root;

struct log_test_env {
    log_test_env() {
        wchar_t tmp[MAX_PATH];
        GetTempPathW(MAX_PATH, tmp);
        wchar_t dir[MAX_PATH];
        swprintf(dir, MAX_PATH, L"%lsivra-test-log-%lu", tmp, GetCurrentProcessId());
        CreateDirectoryW(dir, nullptr);
        g_root = dir;
        SetEnvironmentVariableW(L"APPDATA", dir);
        SetEnvironmentVariableW(L"USERPROFILE", L"C:\\Users\\Ann");
        SetEnvironmentVariableW(L"USERNAME", L"ann");
    }
    ~log_test_env() {
        const wchar_t* names[] = {L"ivrad.log", L"ivrad.1.log", L"ivrad.log.scrubbed", L"ivrad.log.tmp",
                                  L"ivrad.1.log.tmp"};
        for (const wchar_t* n : names) {
            std::wstring p = g_root + L"\\Ivra\\" + n;
            SetFileAttributesW(p.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(p.c_str());
        }
        RemoveDirectoryW((g_root + L"\\Ivra").c_str());
        RemoveDirectoryW(g_root.c_str());
    }
} g_env;

std::wstring data_path(const wchar_t* name) { return g_root + L"\\Ivra\\" + name; }

void write_all(const std::wstring& path, const std::string& text) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(f, INVALID_HANDLE_VALUE);
    DWORD put = 0;
    ASSERT_TRUE(WriteFile(f, text.data(), (DWORD)text.size(), &put, nullptr));
    CloseHandle(f);
}

void make_sized(const std::wstring& path, long long size) {
    HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(f, INVALID_HANDLE_VALUE);
    LARGE_INTEGER at;
    at.QuadPart = size;
    ASSERT_TRUE(SetFilePointerEx(f, at, nullptr, FILE_BEGIN));
    ASSERT_TRUE(SetEndOfFile(f));
    CloseHandle(f);
}

long long file_size(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA a;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &a)) return -1;
    return ((long long)a.nFileSizeHigh << 32) | a.nFileSizeLow;
}

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(pos, end - pos));
        pos = end + 1;
    }
    return lines;
}

// Everything the log wrote, with the file emptied first so each test sees only its own lines.
void reset_logs() {
    log_info("test: touch");  // makes the paths and the folder exist
    SetFileAttributesW(data_path(L"ivrad.log.scrubbed").c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(data_path(L"ivrad.log").c_str());
    DeleteFileW(data_path(L"ivrad.1.log").c_str());
    DeleteFileW(data_path(L"ivrad.log.scrubbed").c_str());
}

// "[hh:mm:ss.mmm] TAG  [thread] message"; returns the message or "" when the frame is wrong.
bool parse_line(const std::string& line, std::string* level, std::string* thread, std::string* message) {
    int h, m, s, ms, used = 0;
    if (line.size() < 22 || sscanf(line.c_str(), "[%2d:%2d:%2d.%3d]%n", &h, &m, &s, &ms, &used) != 4 || used != 14)
        return false;
    if (line[14] != ' ' || line[19] != ' ' || line[20] != '[') return false;
    *level = line.substr(15, 4);
    size_t close = line.find("] ", 21);
    if (close == std::string::npos) return false;
    *thread = line.substr(21, close - 21);
    *message = line.substr(close + 2);
    return true;
}

log_rules test_rules() {
    log_rules r;
    log_rules_build(&r, L"C:\\Users\\Ann", nullptr, L"ann", L"PC01");
    return r;
}

std::string scrub(const log_rules& r, const std::string& text, size_t capacity = 2048) {
    std::vector<char> buf(capacity > text.size() + 1 ? capacity : text.size() + 1);
    memcpy(buf.data(), text.c_str(), text.size() + 1);
    log_scrub_with(&r, buf.data(), capacity);
    return buf.data();
}

}  // namespace

TEST(LogScrub, RulesAndUserFolders) {
    const log_rules r = test_rules();
    struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"saved C:\\Users\\Ann\\Pictures\\Ivra\\a.png", "saved %USERPROFILE%\\Pictures\\Ivra\\a.png"},
        {"c:/users/ann/x", "%USERPROFILE%/x"},
        {"C:\\USERS\\ANN\\x", "%USERPROFILE%\\x"},
        {"D:\\Users\\Bob\\x.png", "D:\\Users\\<user>\\x.png"},
        {"C:\\Users\\Public\\x", "C:\\Users\\Public\\x"},
        {"C:\\Users\\Default\\x", "C:\\Users\\Default\\x"},
        {"C:\\Users\\public\\x", "C:\\Users\\public\\x"},
        {"C:\\Users\\DEFAULT", "C:\\Users\\DEFAULT"},
        // Only the shared profiles themselves are exempt, not names that begin like them.
        {"C:\\Users\\DefaultAppPool\\x", "C:\\Users\\<user>\\x"},
        {"C:\\Users\\Publicity\\x", "C:\\Users\\<user>\\x"},
        {"/users/publicx", "/Users/<user>"},
        {"C:\\Users\\Defaul\\x", "C:\\Users\\<user>\\x"},
        {"/users/bob", "/Users/<user>"},
        {"\\users/bob\\y", "\\Users/<user>\\y"},
        {"open 'E:\\Users\\Bob'", "open 'E:\\Users\\<user>'"},
        {"(E:\\Users\\Bob;F:\\Users\\Carl)", "(E:\\Users\\<user>;F:\\Users\\<user>)"},
        {"C:\\Users\\", "C:\\Users\\"},
        {"C:\\Users\\\\x", "C:\\Users\\\\x"},
        {"C:\\Usersx\\Bob", "C:\\Usersx\\Bob"},
        {"scanned annex", "scanned annex"},
        {"user ann logged", "user <user> logged"},
        {"ANN", "ANN"},
        {"ann", "<user>"},
        {"x.ann,", "x.<user>,"},
        {"ann_1 joann", "ann_1 joann"},
        {"ann\xc3\xa9", "ann\xc3\xa9"},
        {"host PC01 up", "host <pc> up"},
        {"host pc01 up", "host pc01 up"},
        {"clip 7 recording window Notepad -> C:\\x.mp4", "clip 7 recording window (title removed) -> C:\\x.mp4"},
        {"clip 7 recording window of notepad.exe -> C:\\x.mp4", "clip 7 recording window of notepad.exe -> C:\\x.mp4"},
        {"clip 7 recording window Notepad", "clip 7 recording window Notepad"},
        {"recording window a -> b recording window c -> d",
         "recording window (title removed) -> b recording window c -> d"},
        {"recording window ann -> C:\\Users\\Ann\\v.mp4", "recording window (title removed) -> %USERPROFILE%\\v.mp4"},
        // Text that already went through the scrubber passes unchanged.
        {"%USERPROFILE%\\x D:\\Users\\<user>\\y <user> <pc>", "%USERPROFILE%\\x D:\\Users\\<user>\\y <user> <pc>"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(scrub(r, c.in), c.out) << "input: " << c.in;
}

TEST(LogScrub, UserSegmentIsCutAt64Bytes) {
    const log_rules r = test_rules();
    std::string in = "/users/" + std::string(70, 'x') + "/f";
    EXPECT_EQ(scrub(r, in), "/Users/<user>" + std::string(6, 'x') + "/f");
}

TEST(LogScrub, RuleTableMinimumsAndDuplicates) {
    struct {
        const wchar_t* profile;
        const wchar_t* profile_short;
        const wchar_t* user;
        const wchar_t* pc;
        int count;
    } cases[] = {
        {L"C:\\Users\\Ann", nullptr, L"ann", L"PC01", 4},  // profile, slashed profile, user, pc
        {L"C:\\", nullptr, nullptr, nullptr, 0},           // 3 bytes: too short for a profile rule
        {L"C:\\a", nullptr, nullptr, nullptr, 2},
        {L"C:\\Users\\Ann", L"c:\\users\\ann", nullptr, nullptr, 2},  // short form equal ignoring case
        {L"C:\\Users\\LONGNA~1", L"C:\\Users\\LONGNA~1", nullptr, nullptr, 2},
        {L"C:\\Users\\Longname", L"C:\\Users\\LONGNA~1", nullptr, nullptr, 3},
        {nullptr, nullptr, L"al", L"PC", 0},  // names under 3 bytes never become words
        {L"", nullptr, L"", L"", 0},
        {nullptr, nullptr, L"ann", L"ANN", 1},  // computer name equal to the user name ignoring case
        {L"C:\\Users\\\u65e5\u672c", nullptr, nullptr, nullptr, 2},  // no lossy "C:\Users\??" form
    };
    for (const auto& c : cases) {
        log_rules r;
        log_rules_build(&r, c.profile, c.profile_short, c.user, c.pc);
        EXPECT_EQ(r.count, c.count) << (c.profile ? "profile case" : "name case");
    }
    log_rules r;
    log_rules_build(&r, nullptr, nullptr, L"al", nullptr);
    EXPECT_EQ(scrub(r, "user al logged"), "user al logged");
}

TEST(LogScrub, ShortProfileFormIsScrubbed) {
    log_rules r;
    log_rules_build(&r, L"C:\\Users\\Longname", L"C:\\Users\\LONGNA~1", nullptr, nullptr);
    EXPECT_EQ(scrub(r, "C:\\Users\\LONGNA~1\\x and C:/Users/Longname/y"), "%USERPROFILE%\\x and %USERPROFILE%/y");
}

TEST(LogScrub, NonAsciiProfileInUtf8) {
    log_rules r;
    log_rules_build(&r, L"C:\\Users\\Jos\u00e9", nullptr, L"Jos\u00e9", nullptr);
    EXPECT_EQ(scrub(r, "saved C:\\Users\\Jos\xc3\xa9\\a.png by Jos\xc3\xa9"), "saved %USERPROFILE%\\a.png by <user>");
}

TEST(LogScrub, CapacityLimits) {
    const log_rules r = test_rules();
    // The title is only replaced when the longer result still fits.
    std::string tight = "recording window ab -> x";
    EXPECT_EQ(scrub(r, tight, tight.size() + 1), tight);
    EXPECT_EQ(scrub(r, tight, tight.size() + 14), "recording window (title removed) -> x");
    // The copy back keeps one byte less than the capacity.
    EXPECT_EQ(scrub(r, "abcdefghijkl", 10), "abcdefghi");
    // The work buffer stops producing at 2032 bytes.
    EXPECT_EQ(scrub(r, std::string(3000, 'q'), 4096).size(), 2032u);
    // A replacement near the end does not overrun.
    std::string many;
    while (many.size() < 2100) many += "ann ";
    std::string out = scrub(r, many, 4096);
    EXPECT_LE(out.size(), 2047u);
    EXPECT_EQ(out.substr(0, 14), "<user> <user> ");
    char one[1] = {'x'};
    log_scrub_with(&r, one, 1);
    EXPECT_EQ(one[0], 0);
    log_scrub_with(&r, one, 0);  // nothing to do, nothing touched
}

TEST(LogScrub, ProcessTableUsesEnvironment) {
    char text[1024] = "user ann saved C:\\Users\\Ann\\x and D:\\Users\\Bob\\y";
    log_scrub(text, sizeof(text));
    EXPECT_STREQ(text, "user <user> saved %USERPROFILE%\\x and D:\\Users\\<user>\\y");
}

TEST(LogFormat, ThreadLabels) {
    struct {
        const wchar_t* desc;
        const char* label;
    } cases[] = {
        {L"ivra-upload", "upload"},
        {L"worker", "worker"},
        {L"Ivra-upload", "Ivra-upload"},
        {L"ivra-", ""},
        {L"", ""},
        {L"ivra-stills[0]", "stills[0]"},
        {L"abcdefghijklmnopqrstuvwxyz", "abcdefghijklmnopqrstuvw"},
        {L"aaaaaaaaaaaaaaaaaaaaaa\u00e9", "aaaaaaaaaaaaaaaaaaaaaa"},  // a two-byte character never split
        {L"\u00e9t\u00e9", "\xc3\xa9t\xc3\xa9"},
    };
    for (const auto& c : cases) {
        char out[24] = "unchanged";
        size_t n = log_thread_label(c.desc, out);
        EXPECT_EQ(n, strlen(c.label));
        if (n) {
            EXPECT_STREQ(out, c.label);
        }
    }
}

namespace {
std::string vf(size_t cap, const char* fmt, ...) {
    char buf[2048];
    va_list args;
    va_start(args, fmt);
    size_t n = log_vformat(buf, cap, fmt, args);
    va_end(args);
    EXPECT_EQ(n, strlen(buf));
    return buf;
}
}  // namespace

TEST(LogFormat, MessageConversions) {
    struct {
        std::string got;
        const char* expect;
    } cases[] = {
        {vf(1024, "a %d b %5d|%-4d|%+d", -3, 42, 7, 9), "a -3 b    42|7   |+9"},
        {vf(1024, "%u %x %X %o %#x", 4000000000u, 255u, 255u, 8u, 16u), "4000000000 ff FF 10 0x10"},
        {vf(1024, "%lu %ld %llu %lld", 4000000000ul, -5l, 18446744073709551615ull, -9223372036854775807ll),
         "4000000000 -5 18446744073709551615 -9223372036854775807"},
        {vf(1024, "%zu %I64u %hhd %hu", (size_t)123456789012ull, 77ull, 300, 70000), "123456789012 77 44 4464"},
        {vf(1024, "hr=0x%08lx", (unsigned long)0x80004001ul), "hr=0x80004001"},
        {vf(1024, "%.2f %e %g", 3.14159, 1000.0, 0.5), "3.14 1.000000e+03 0.5"},
        {vf(1024, "%*d|%.*s|%-*s|", 4, 5, 2, "abc", 3, "x"), "   5|ab|x  |"},
        {vf(1024, "%s %s", "plain", (const char*)nullptr), "plain (null)"},
        {vf(1024, "%ls|%ls|%lc", L"caf\u00e9", (const wchar_t*)nullptr, (wint_t)L'\u00e9'),
         "caf\xc3\xa9|(null)|\xc3\xa9"},
        {vf(1024, "%ls", L"\U0001F600!"), "\xf0\x9f\x98\x80!"},
        {vf(1024, "100%% done %c", 'x'), "100% done x"},
        {vf(1024, "bad %y end", 1), "bad %y end"},
        {vf(1024, "trailing %"), "trailing %"},
        {vf(8, "%s", "abcdefghij"), "abcdefg"},
        {vf(8, "abcdefghij %d", 5), "abcdefg"},
        {vf(6, "%ls", L"\u65e5\u672c"), "\xe6\x97\xa5\xe6\x9c"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.got, c.expect);
    int sink = 0;
    EXPECT_EQ(vf(1024, "n%n!", &sink), "n!");
    EXPECT_EQ(sink, 0);
}

TEST(LogFormat, LineFrame) {
    char line[1400];
    struct {
        log_level level;
        const char* expect;
    } cases[] = {
        {LOG_INFO, "[07:05:09.042] INFO [main] hello\n"},
        {LOG_WARN, "[07:05:09.042] WARN [main] hello\n"},
        {LOG_ERROR, "[07:05:09.042] ERR  [main] hello\n"},
    };
    for (const auto& c : cases) {
        size_t n = log_format_line(line, 7, 5, 9, 42, c.level, "main", "hello");
        EXPECT_STREQ(line, c.expect);
        EXPECT_EQ(n, strlen(c.expect));
    }
    std::string big(1500, 'm');
    EXPECT_EQ(log_format_line(line, 0, 0, 0, 0, LOG_INFO, "t1", big.c_str()), 1399u);
}

TEST(LogFile, LinesAreFramedAndMessagesCut) {
    reset_logs();
    std::string big(5000, 'a');
    log_info("%s", big.c_str());
    log_warn("test: warn %d", 7);
    log_error("test: user ann at C:\\Users\\Ann\\x");
    log_info("test: wide %ls", L"C:\\Users\\Ann\\Videos");
    std::vector<std::string> lines = split_lines(test_read_all(data_path(L"ivrad.log")));
    ASSERT_EQ(lines.size(), 4u);
    std::string level, thread, message;
    ASSERT_TRUE(parse_line(lines[0], &level, &thread, &message));
    EXPECT_EQ(level, "INFO");
    EXPECT_EQ(message, std::string(1023, 'a'));
    ASSERT_TRUE(parse_line(lines[1], &level, &thread, &message));
    EXPECT_EQ(level, "WARN");
    EXPECT_EQ(message, "test: warn 7");
    ASSERT_TRUE(parse_line(lines[2], &level, &thread, &message));
    EXPECT_EQ(level, "ERR ");
    EXPECT_EQ(message, "test: user <user> at %USERPROFILE%\\x");
    ASSERT_TRUE(parse_line(lines[3], &level, &thread, &message));
    EXPECT_EQ(message, "test: wide %USERPROFILE%\\Videos");
}

TEST(LogSanitize, ControlBytesEscapedAndBrokenUtf8Replaced) {
    const std::string bad = "\xef\xbf\xbd";  // U+FFFD
    struct {
        std::string in, out;
    } cases[] = {
        {"plain text", "plain text"},
        {"a\rb\nc\td", "a\\rb\\nc\\td"},
        {"PING\r[12:00:00.000] ERR  [main] HANG: x", "PING\\r[12:00:00.000] ERR  [main] HANG: x"},
        {"\x01\x1f\x7f\x1b[31m", "\\x01\\x1F\\x7F\\x1B[31m"},
        {"caf\xc3\xa9 \xe6\x97\xa5 \xf0\x9f\x98\x80", "caf\xc3\xa9 \xe6\x97\xa5 \xf0\x9f\x98\x80"},
        {"x\xffy", "x" + bad + "y"},
        {"\xc3", bad},                                // cut in the middle of a character
        {"\xc0\xaf", bad + bad},                      // overlong slash
        {"\xe0\x80\xaf", bad + bad + bad},            // overlong, three bytes
        {"\xed\xa0\x80", bad + bad + bad},            // a surrogate
        {"\xf4\x90\x80\x80", bad + bad + bad + bad},  // above U+10FFFF
        {"\xe6\x97", bad + bad},
        {"\x80\xbf", bad + bad},
        {"\xef\xbf\xbd", "\xef\xbf\xbd"},
        {"", ""},
    };
    for (const auto& c : cases) {
        char out[64];
        size_t n = log_sanitize(c.in.c_str(), out, sizeof out);
        EXPECT_EQ(std::string(out), c.out) << c.in;
        EXPECT_EQ(n, c.out.size()) << c.in;
    }
    // A cut never splits an escape or a character.
    char small[6];
    EXPECT_EQ(log_sanitize("ab\r\r", small, sizeof small), 4u);
    EXPECT_STREQ(small, "ab\\r");
    EXPECT_EQ(log_sanitize("abc\xc3\xa9\xc3\xa9", small, sizeof small), 5u);
    EXPECT_STREQ(small, "abc\xc3\xa9");
}

TEST(LogFile, ForgedLinesStayInsideTheirLine) {
    reset_logs();
    log_info("pipe: %s", "PING\r[12:00:00.000] ERR  [main] HANG: forged\n[12:00:00.001] ERR  [main] x\xff");
    log_info("%ls", L"window title\r\nwith\x1b breaks");
    std::string text = test_read_all(data_path(L"ivrad.log"));
    std::vector<std::string> lines = split_lines(text);
    ASSERT_EQ(lines.size(), 2u) << text;
    EXPECT_EQ(text.find('\r'), std::string::npos);
    std::string level, thread, message;
    ASSERT_TRUE(parse_line(lines[0], &level, &thread, &message));
    EXPECT_EQ(message,
              "pipe: PING\\r[12:00:00.000] ERR  [main] HANG: forged\\n[12:00:00.001] ERR  [main] x\xef\xbf\xbd");
    ASSERT_TRUE(parse_line(lines[1], &level, &thread, &message));
    EXPECT_EQ(message, "window title\\r\\nwith\\x1B breaks");
}

TEST(LogFile, WideArgumentsBecomeUtf8) {
    reset_logs();
    log_info("test: %ls and %s", L"caf\u00e9 \u65e5\u672c", "plain");
    std::vector<std::string> lines = split_lines(test_read_all(data_path(L"ivrad.log")));
    ASSERT_EQ(lines.size(), 1u);
    std::string level, thread, message;
    ASSERT_TRUE(parse_line(lines[0], &level, &thread, &message));
    EXPECT_EQ(message, "test: caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac and plain");
}

TEST(LogFile, ThreadNames) {
    reset_logs();
    DWORD unnamed_id = 0;
    std::thread([&] {
        unnamed_id = GetCurrentThreadId();
        log_info("test: unnamed");
    }).join();
    std::thread([] {
        log_info("test: before naming");
        log_thread_name(L"ivra-upload");
        log_info("test: upload");
    }).join();
    std::thread([] {
        log_thread_name(L"worker");
        log_info("test: worker");
        log_thread_name(L"ivra-renamed");
        log_info("test: renamed");
    }).join();
    std::vector<std::string> lines = split_lines(test_read_all(data_path(L"ivrad.log")));
    ASSERT_EQ(lines.size(), 5u);
    std::vector<std::string> threads;
    for (const std::string& l : lines) {
        std::string level, thread, message;
        ASSERT_TRUE(parse_line(l, &level, &thread, &message)) << l;
        threads.push_back(thread);
    }
    std::string unnamed = "t";
    unnamed += std::to_string(unnamed_id);
    EXPECT_EQ(threads[0], unnamed);
    EXPECT_EQ(threads[1][0], 't');
    EXPECT_EQ(threads[2], "upload");
    EXPECT_EQ(threads[3], "worker");
    EXPECT_EQ(threads[4], "renamed");
}

// The other program holds the log at the moment a line is written: the line waits for it
// instead of being lost, whether the holder is an appender like this one or the one-time
// rewrite of old logs reading the file.
TEST(LogFile, LineWaitsWhileAnotherWriterHoldsTheFile) {
    struct {
        const char* what;
        DWORD access, share;
    } holders[] = {
        {"another appender", FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_DELETE},
        {"a reader that shares reading only", GENERIC_READ, FILE_SHARE_READ},
    };
    for (const auto& h : holders) {
        reset_logs();
        log_info("test: before");
        HANDLE other =
            CreateFileW(data_path(L"ivrad.log").c_str(), h.access, h.share, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(other, INVALID_HANDLE_VALUE) << h.what;
        std::thread release([other] {
            Sleep(100);
            CloseHandle(other);
        });
        log_info("test: while held");
        release.join();
        std::vector<std::string> lines = split_lines(test_read_all(data_path(L"ivrad.log")));
        ASSERT_EQ(lines.size(), 2u) << h.what;
        std::string level, thread, message;
        ASSERT_TRUE(parse_line(lines[1], &level, &thread, &message)) << h.what;
        EXPECT_EQ(message, "test: while held") << h.what;
    }
}

TEST(LogFile, RotatesOnlyAboveSixteenMiB) {
    struct {
        long long before;
        bool rotates;
    } cases[] = {{16777217, true}, {16777216, false}};
    for (const auto& c : cases) {
        reset_logs();
        make_sized(data_path(L"ivrad.log"), c.before);
        log_info("test: rotation probe");
        if (c.rotates) {
            EXPECT_EQ(file_size(data_path(L"ivrad.log")), -1) << c.before;
            long long moved = file_size(data_path(L"ivrad.1.log"));
            EXPECT_GT(moved, c.before);
            log_info("test: fresh");
            std::vector<std::string> lines = split_lines(test_read_all(data_path(L"ivrad.log")));
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_NE(lines[0].find("test: fresh"), std::string::npos);
            // A second rotation replaces the previous generation.
            make_sized(data_path(L"ivrad.log"), c.before);
            log_info("test: again");
            EXPECT_LT(file_size(data_path(L"ivrad.1.log")), moved + 200);
            EXPECT_GT(file_size(data_path(L"ivrad.1.log")), c.before);
        } else {
            EXPECT_GT(file_size(data_path(L"ivrad.log")), c.before) << c.before;
            EXPECT_EQ(file_size(data_path(L"ivrad.1.log")), -1);
        }
    }
    reset_logs();
}

TEST(LogFile, ConcurrentThreadsNeverInterleave) {
    reset_logs();
    const int threads = 6, per = 150;
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([t] {
            for (int i = 0; i < per; ++i) log_info("test: thread %d line %d %s", t, i, "padding-padding-padding");
        });
    for (auto& th : pool) th.join();
    std::vector<std::string> lines = split_lines(test_read_all(data_path(L"ivrad.log")));
    ASSERT_EQ(lines.size(), (size_t)(threads * per));
    std::vector<int> next(threads, 0);
    for (const std::string& l : lines) {
        std::string level, thread, message;
        ASSERT_TRUE(parse_line(l, &level, &thread, &message)) << l;
        int t = -1, i = -1;
        char pad[32];
        ASSERT_EQ(sscanf(message.c_str(), "test: thread %d line %d %31s", &t, &i, pad), 3) << l;
        ASSERT_TRUE(t >= 0 && t < threads);
        EXPECT_EQ(i, next[t]++) << "lines of one thread keep their order";
    }
}

TEST(LogOldFiles, RewrittenOncePerMarker) {
    reset_logs();
    const std::string raw = "[01:02:03.004] INFO [main] saved C:\\Users\\Ann\\a.png\nuser ann on D:\\Users\\Bob\\b\n";
    const std::string raw_old = "old ann\r\nlast line without feed c:/users/ann/z";
    const std::string clean =
        "[01:02:03.004] INFO [main] saved %USERPROFILE%\\a.png\nuser <user> on D:\\Users\\<user>\\b\n";
    const std::string clean_old = "old <user>\r\nlast line without feed %USERPROFILE%/z";
    write_all(data_path(L"ivrad.log"), raw);
    write_all(data_path(L"ivrad.1.log"), raw_old);

    log_scrub_old_files();
    EXPECT_EQ(test_read_all(data_path(L"ivrad.log")), clean);
    EXPECT_EQ(test_read_all(data_path(L"ivrad.1.log")), clean_old);
    DWORD attrs = GetFileAttributesW(data_path(L"ivrad.log.scrubbed").c_str());
    ASSERT_NE(attrs, INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(attrs & FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(file_size(data_path(L"ivrad.log.scrubbed")), 0);
    EXPECT_EQ(file_size(data_path(L"ivrad.log.tmp")), -1);

    // With the marker present, the next start leaves the logs alone.
    write_all(data_path(L"ivrad.log"), raw);
    log_scrub_old_files();
    EXPECT_EQ(test_read_all(data_path(L"ivrad.log")), raw);

    // Deleting the marker rewrites again; scrubbed text passes unchanged.
    SetFileAttributesW(data_path(L"ivrad.log.scrubbed").c_str(), FILE_ATTRIBUTE_NORMAL);
    ASSERT_TRUE(DeleteFileW(data_path(L"ivrad.log.scrubbed").c_str()));
    log_scrub_old_files();
    EXPECT_EQ(test_read_all(data_path(L"ivrad.log")), clean);
    EXPECT_EQ(test_read_all(data_path(L"ivrad.1.log")), clean_old);
    reset_logs();
}

TEST(LogOldFiles, LongLinesKeepTheirLineFeeds) {
    reset_logs();
    std::string raw = std::string(3000, 'x') + "\nsecond ann\n" + std::string(2040, 'y') + " ann ann\nend\n";
    write_all(data_path(L"ivrad.log"), raw);
    log_scrub_old_files();
    std::vector<std::string> lines = split_lines(test_read_all(data_path(L"ivrad.log")));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_LE(lines[0].size(), 2032u);
    EXPECT_EQ(lines[0], std::string(lines[0].size(), 'x'));
    EXPECT_EQ(lines[1], "second <user>");
    EXPECT_EQ(lines[3], "end");
    reset_logs();
}

TEST(LogOldFiles, MissingLogsStillSetTheMarker) {
    reset_logs();
    log_scrub_old_files();
    EXPECT_NE(GetFileAttributesW(data_path(L"ivrad.log.scrubbed").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(file_size(data_path(L"ivrad.log")), -1);
    reset_logs();
}
