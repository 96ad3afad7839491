#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "cli/cmd_status.h"

namespace {

const char kStatusReply[] =
    "ok\tversion=0.2.12\tpid=4242\toutputs=1\tstills_dir=C:\\Users\\ann\\Pictures\\Ivra\tclips_dir=C:\\v"
    "\tuptime_s=12\tcaptures=0\thangs=0"
    "\thk_screen=Ctrl+Shift+1:ok\thk_clip_app=None:off\thk_replay=Ctrl+Alt+R:failed(1409)"
    "\tpool_stills=2,0,3,10,1,12.5\tpool_clips=2,0,0,0,0,0.0\tpool_io=1,1,1,4,0,0.3\tpool_pipe=2,0,1,7,0,1.0"
    "\tmem_stills=1,8388608,429496729\tmem_clips=0,0,644245094\tmem_total=17179869184\tmem_percent=10";

std::string status_text_of(const char* reply) {
    std::vector<char> out(STATUS_OUT_BUFFER);
    size_t n = cmd_status_text(reply, out.data(), out.size());
    EXPECT_EQ(n, strlen(out.data()));
    return out.data();
}

std::string status_json_of(const char* reply) {
    std::vector<char> out(STATUS_OUT_BUFFER);
    size_t n = cmd_status_json(reply, out.data(), out.size());
    EXPECT_EQ(n, strlen(out.data()));
    return out.data();
}

std::string input_json_of(const char* reply) {
    std::vector<char> out(STATUS_OUT_BUFFER);
    cmd_status_input_json(reply, out.data(), out.size());
    return out.data();
}

// True when every byte sequence is well-formed UTF-8.
bool valid_utf8(const std::string& s) {
    for (size_t i = 0; i < s.size();) {
        unsigned char c = (unsigned char)s[i];
        size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (!len || i + len > s.size()) return false;
        for (size_t k = 1; k < len; k++)
            if (((unsigned char)s[i + k] & 0xC0) != 0x80) return false;
        i += len;
    }
    return true;
}

TEST(StatusText, FullReplyGivesFieldsHotkeysPoolsAndMemory) {
    std::string t = status_text_of(kStatusReply);
    const char* expected = "version=0.2.12\n"
                           "pid=4242\n"
                           "outputs=1\n"
                           "stills_dir=C:\\Users\\ann\\Pictures\\Ivra\n"
                           "clips_dir=C:\\v\n"
                           "uptime_s=12\n"
                           "captures=0\n"
                           "hangs=0\n"
                           "hk_screen       Ctrl+Shift+1       ok\n"
                           "hk_clip_app     None               off\n"
                           "hk_replay       Ctrl+Alt+R         failed(1409)\n"
                           "pools      threads  depth  high  done  rejected  avg_ms\n"
                           "  stills   2        0      3     10    1         12.5\n"
                           "  clips    2        0      0     0     0         -\n"
                           "  io       1        1      1     4     0         0.3\n"
                           "  pipe     2        0      1     7     0         1.0\n";
    ASSERT_EQ(t.substr(0, strlen(expected)), expected);
    std::string mem = t.substr(strlen(expected));
    EXPECT_EQ(mem.rfind("memory     total ", 0), 0u) << mem;
    EXPECT_NE(mem.find("(10%)"), std::string::npos) << mem;
    EXPECT_NE(mem.find(" \xC2\xB7 stills "), std::string::npos) << mem;
    EXPECT_EQ(mem.back(), '\n');
    EXPECT_EQ(std::count(mem.begin(), mem.end(), '\n'), 1);
}

TEST(StatusText, EdgeReplies) {
    struct row {
        const char* reply;
        const char* expected;
    } rows[] = {
        {"ok", ""},
        {"ok\t", ""},
        {"ok\tversion=1\r", "version=1\n"},
        // No colon in a hotkey value means registered.
        {"ok\thk_region=PrtSc", "hk_region       PrtSc              ok\n"},
        // The state is after the last colon, so a key named by a colon survives.
        {"ok\thk_region=Ctrl+::ok", "hk_region       Ctrl+:             ok\n"},
        // Memory fields alone do not open the pools block.
        {"ok\tmem_total=5\tmem_percent=10\tbare", "bare\n"},
        {"ok\t\tversion=1\t\t", "version=1\n"},
    };
    for (const auto& r : rows) EXPECT_EQ(status_text_of(r.reply), r.expected) << r.reply;
}

TEST(StatusText, MalformedUtf8BecomesReplacementCharacter) {
    std::string t = status_text_of("ok\tstills_dir=C:\\\xff\xfe"
                                   "a\thk_screen=\xc3:ok");
    EXPECT_TRUE(valid_utf8(t)) << t;
    EXPECT_NE(t.find("stills_dir=C:\\\xEF\xBF\xBD\xEF\xBF\xBD"
                     "a\n"),
              std::string::npos)
        << t;
}

TEST(StatusJson, FullReply) {
    std::string j = status_json_of(kStatusReply);
    EXPECT_EQ(
        j,
        "{\"version\":\"0.2.12\",\"pid\":4242,\"outputs\":1,\"stills_dir\":\"C:\\\\Users\\\\ann\\\\Pictures\\\\Ivra\","
        "\"clips_dir\":\"C:\\\\v\",\"uptime_s\":12,\"captures\":0,\"hangs\":0,"
        "\"hotkeys\":{\"hk_screen\":{\"text\":\"Ctrl+Shift+1\",\"ok\":true},"
        "\"hk_clip_app\":{\"text\":\"None\",\"ok\":true,\"active\":false},"
        "\"hk_replay\":{\"text\":\"Ctrl+Alt+R\",\"ok\":false,\"err\":1409}},"
        "\"pools\":{\"stills\":{\"threads\":2,\"depth\":0,\"high\":3,\"completed\":10,\"rejected\":1,\"avg_ms\":12.5},"
        "\"clips\":{\"threads\":2,\"depth\":0,\"high\":0,\"completed\":0,\"rejected\":0,\"avg_ms\":0.0},"
        "\"io\":{\"threads\":1,\"depth\":1,\"high\":1,\"completed\":4,\"rejected\":0,\"avg_ms\":0.3},"
        "\"pipe\":{\"threads\":2,\"depth\":0,\"high\":1,\"completed\":7,\"rejected\":0,\"avg_ms\":1.0}},"
        "\"memory\":{\"total\":17179869184,\"percent\":10,"
        "\"stills\":{\"in_use\":1,\"committed\":8388608,\"budget\":429496729},"
        "\"clips\":{\"in_use\":0,\"committed\":0,\"budget\":644245094}}}\n");
}

TEST(StatusJson, EdgeReplies) {
    struct row {
        const char* reply;
        const char* expected;
    } rows[] = {
        // Nothing but the word: still one valid object.
        {"ok", "{\"hotkeys\":{}}\n"},
        // Only hotkeys: no stray comma before "hotkeys".
        {"ok\thk_window=Alt+W:ok", "{\"hotkeys\":{\"hk_window\":{\"text\":\"Alt+W\",\"ok\":true}}}\n"},
        // A failed state without a number, and an unknown state.
        {"ok\thk_a=X:failed\thk_b=Y:weird",
         "{\"hotkeys\":{\"hk_a\":{\"text\":\"X\",\"ok\":false,\"err\":0},\"hk_b\":{\"text\":\"Y\",\"ok\":false,\"err\":0}}}\n"},
        // Only plain decimal numbers stay unquoted; leading zeros would be invalid JSON.
        {"ok\ta=42\tb=0\tc=0123\td=-5\te=\tf=1.5\tg=12a",
         "{\"a\":42,\"b\":0,\"c\":\"0123\",\"d\":\"-5\",\"e\":\"\",\"f\":\"1.5\",\"g\":\"12a\",\"hotkeys\":{}}\n"},
        // Quotes and control bytes inside values and keys are escaped.
        {"ok\tmsg=say \"hi\"\x01\tk\"=v", "{\"msg\":\"say \\\"hi\\\"\\u0001\",\"k\\\"\":\"v\",\"hotkeys\":{}}\n"},
        // A field without '=' becomes a key with an empty string.
        {"ok\tbare", "{\"bare\":\"\",\"hotkeys\":{}}\n"},
        // Memory without pools: memory object only; missing parts read as 0.
        {"ok\tmem_total=100",
         "{\"hotkeys\":{},\"memory\":{\"total\":100,\"percent\":0,\"stills\":{\"in_use\":0,\"committed\":0,\"budget\":0},"
         "\"clips\":{\"in_use\":0,\"committed\":0,\"budget\":0}}}\n"},
        // An average that is not a finite number must not leak into the JSON.
        {"ok\tpool_stills=1,0,0,1,0,nan",
         "{\"hotkeys\":{},\"pools\":{\"stills\":{\"threads\":1,\"depth\":0,\"high\":0,\"completed\":1,\"rejected\":0,"
         "\"avg_ms\":0.0},\"clips\":{\"threads\":0,\"depth\":0,\"high\":0,\"completed\":0,\"rejected\":0,\"avg_ms\":0.0},"
         "\"io\":{\"threads\":0,\"depth\":0,\"high\":0,\"completed\":0,\"rejected\":0,\"avg_ms\":0.0},"
         "\"pipe\":{\"threads\":0,\"depth\":0,\"high\":0,\"completed\":0,\"rejected\":0,\"avg_ms\":0.0}}}\n"},
    };
    for (const auto& r : rows) EXPECT_EQ(status_json_of(r.reply), r.expected) << r.reply;
}

TEST(StatusJson, ObjectThatDoesNotFitGivesNothing) {
    // A cut object is no JSON: the caller gets nothing and reports the failure.
    const char reply[] = "ok\tname=\xC3\xA9\xC3\xA9\xC3\xA9";
    std::string whole = status_json_of(reply);
    for (size_t cap = 1; cap < whole.size() + 8; cap++) {
        std::vector<char> out(cap + 4, 'Z');
        size_t n = cmd_status_json(reply, out.data(), cap);
        EXPECT_EQ(out[cap], 'Z') << "wrote past capacity " << cap;
        if (cap > whole.size()) {
            EXPECT_EQ(std::string(out.data(), n), whole) << cap;
        } else {
            EXPECT_EQ(n, 0u) << cap;
            EXPECT_EQ(out[0], 0) << cap;
        }
    }
    std::vector<char> small(64, 'Z');
    EXPECT_EQ(cmd_status_input_json("ok\trunning=1\tlast_route=registered\tlast_action=3", small.data(), 16), 0u);
    EXPECT_EQ(small[0], 0);
}

const char kInputReply[] =
    "ok\trunning=1\traw_enabled=1\thook_enabled=0\traw_ready=1\thook_ready=0\traw_error=0\thook_error=5"
    "\tmouse_ready=0\tmouse_error=0\tregistered_screen=1\tregistered_clip_app=0\tregistered_events=3"
    "\traw_events=0\thook_events=0\tregistered_activations=2\traw_activations=0\thook_activations=0"
    "\tduplicates=0\tstale=0\tblocked=0\tdropped=0\tlast_route=registered\tlast_action=3\tsession_active=0"
    "\tmouse_mode=none\tmouse_reason=none\tmouse_packets=0\tfocus_requested=2\tfocus_owned=0";

TEST(InputJson, FlagsAreBooleansCountsAreNumbers) {
    EXPECT_EQ(input_json_of(kInputReply),
              "{\"running\":true,\"raw_enabled\":true,\"hook_enabled\":false,\"raw_ready\":true,\"hook_ready\":false,"
              "\"raw_error\":0,\"hook_error\":5,\"mouse_ready\":false,\"mouse_error\":0,\"registered_screen\":true,"
              "\"registered_clip_app\":false,\"registered_events\":3,\"raw_events\":0,\"hook_events\":0,"
              "\"registered_activations\":2,\"raw_activations\":0,\"hook_activations\":0,\"duplicates\":0,"
              "\"stale\":0,\"blocked\":0,\"dropped\":0,\"last_route\":\"registered\",\"last_action\":3,"
              "\"session_active\":false,\"mouse_mode\":\"none\",\"mouse_reason\":\"none\",\"mouse_packets\":0,"
              "\"focus_requested\":false,\"focus_owned\":false}\n");
}

TEST(InputJson, EdgeReplies) {
    struct row {
        const char* reply;
        const char* expected;
    } rows[] = {
        {"ok", "{}\n"},
        {"ok\trunning=yes\tfocus_owned=", "{\"running\":false,\"focus_owned\":false}\n"},
        {"ok\tmouse_reason=path C:\\x\tcode=007", "{\"mouse_reason\":\"path C:\\\\x\",\"code\":\"007\"}\n"},
    };
    for (const auto& r : rows) EXPECT_EQ(input_json_of(r.reply), r.expected) << r.reply;
    // Over-long values are cut to about 248 bytes, never breaking the object.
    std::string long_reply = "ok\tmouse_reason=" + std::string(1000, 'x');
    std::string j = input_json_of(long_reply.c_str());
    EXPECT_EQ(j, "{\"mouse_reason\":\"" + std::string(248, 'x') + "\"}\n");
}

TEST(InputText, OneAlignedLinePerField) {
    std::vector<char> out(STATUS_OUT_BUFFER);
    cmd_status_input_text("ok\trunning=1\tlast_route=none\tfocus_owned=", out.data(), out.size());
    EXPECT_STREQ(out.data(), "running                  1\n"
                             "last_route               none\n"
                             "focus_owned              \n");
}

struct slots {
    wchar_t paths[FOLDERS_SLOTS][FOLDERS_PATH_CHARS] = {};
    bool exists[FOLDERS_SLOTS] = {};
};

std::string folders_text_of(const slots& s) {
    std::vector<char> out(FOLDERS_OUT_BUFFER);
    cmd_status_folders_text(s.paths, s.exists, out.data(), out.size());
    return out.data();
}

std::string folders_json_of(const slots& s) {
    std::vector<char> out(FOLDERS_OUT_BUFFER);
    cmd_status_folders_json(s.paths, s.exists, out.data(), out.size());
    return out.data();
}

TEST(Folders, AllEmptyUsesFourWidePathColumn) {
    slots s;
    std::string expected = "SLOT  PATH EXISTS\n";
    for (int i = 1; i <= 9; i++) expected += std::to_string(i) + "     -    -\n";
    EXPECT_EQ(folders_text_of(s), expected);
    std::string j = "[";
    for (int i = 1; i <= 9; i++)
        j += std::string(i > 1 ? "," : "") + "{\"slot\":" + std::to_string(i) + ",\"path\":\"\",\"exists\":false}";
    EXPECT_EQ(folders_json_of(s), j + "]\n");
}

TEST(Folders, ColumnFollowsLongestPathInCharacters) {
    slots s;
    wcscpy(s.paths[0], L"D:\\shots\\bugs");
    s.exists[0] = true;
    wcscpy(s.paths[2], L"C:\\b\u00e9");  // five characters, six UTF-8 bytes
    s.exists[2] = false;
    wcscpy(s.paths[3], L"C:\\\xd83d\xde00");  // four characters: the emoji is two UTF-16 units
    s.exists[3] = false;
    s.exists[4] = true;  // an empty slot is never reported as existing
    std::string t = folders_text_of(s);
    std::string expected = "SLOT  PATH          EXISTS\n"
                           "1     D:\\shots\\bugs yes\n"
                           "2     -             -\n"
                           "3     C:\\b\xC3\xA9         no\n"
                           "4     C:\\\xF0\x9F\x98\x80          no\n"
                           "5     -             -\n";
    EXPECT_EQ(t.substr(0, expected.size()), expected);
    std::string j = folders_json_of(s);
    EXPECT_NE(j.find("{\"slot\":1,\"path\":\"D:\\\\shots\\\\bugs\",\"exists\":true}"), std::string::npos) << j;
    EXPECT_NE(j.find("{\"slot\":3,\"path\":\"C:\\\\b\xC3\xA9\",\"exists\":false}"), std::string::npos) << j;
    EXPECT_NE(j.find("{\"slot\":5,\"path\":\"\",\"exists\":false}"), std::string::npos) << j;
}

TEST(Folders, FullLengthPathsFitTheBuffer) {
    slots s;
    for (int i = 0; i < FOLDERS_SLOTS; i++) {
        for (int k = 0; k < FOLDERS_PATH_CHARS - 1; k++) s.paths[i][k] = L'\u4e2d';  // three UTF-8 bytes each
        s.exists[i] = true;
    }
    std::string t = folders_text_of(s);
    EXPECT_EQ(std::count(t.begin(), t.end(), '\n'), 10);
    std::string j = folders_json_of(s);
    EXPECT_EQ(j.substr(j.size() - 3), "}]\n");
    EXPECT_TRUE(valid_utf8(t) && valid_utf8(j));
}

}  // namespace
