// A few of the Windows tables' cases run natively under the sanitizers, to show the
// native build computes what the Windows build does; then each fuzz property is fed a
// deliberately broken stand-in and must abort.
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/config.h"
#include "common/hotkey_text.h"
#include "common/json.h"
#include "tests/fuzz/fuzz_props.h"

namespace {

int g_checks, g_failed;

void check(bool ok, const char* what, const char* detail) {
    ++g_checks;
    if (ok) return;
    ++g_failed;
    fprintf(stderr, "FAIL %s: %s\n", what, detail);
}

// Narrow view of a 16-bit text for messages (ASCII only).
const char* narrow(const wchar_t* w) {
    static char buf[256];
    size_t i = 0;
    for (; w[i] && i + 1 < sizeof buf; ++i) buf[i] = w[i] < 0x80 ? (char)w[i] : '?';
    buf[i] = 0;
    return buf;
}

void json_table() {
    const struct {
        const char* doc;
        const char* text;  // the string the document holds; null: the parse fails
    } cases[] = {
        {"\"\\u00e9\\u00E9\"", "\xC3\xA9\xC3\xA9"},
        {"\"\\ud83d\\ude00\"", "\xF0\x9F\x98\x80"},
        {"\"\\ud800\"", "\xEF\xBF\xBD"},
        {"\"\\ude00\\ud83d\"", "\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"\"a\\\"b\\\\c\\/d\"", "a\"b\\c/d"},
        {"\"\\u12\"", nullptr},
        {"\"\\x\"", nullptr},
        {"\"open", nullptr},
    };
    for (const auto& c : cases) {
        json_node* n = json_parse(c.doc, strlen(c.doc));
        if (!c.text)
            check(!n, "json_parse fails", c.doc);
        else
            check(n && n->type == JSON_STRING && strcmp(n->text, c.text) == 0, "json_parse string", c.doc);
        json_free(n);
    }
    const struct {
        const char* doc;
        bool ok;
    } shapes[] = {
        {"{}", true}, {"[1,2,]", false}, {"{\"a\":1,}", false}, {"  {\"a\":null}  ", true}, {"{\"a\":1} x", false},
    };
    for (const auto& c : shapes) {
        json_node* n = json_parse(c.doc, strlen(c.doc));
        check((n != nullptr) == c.ok, "json_parse shape", c.doc);
        json_free(n);
    }
    char deep[80];
    memset(deep, '[', 32);
    memset(deep + 32, ']', 32);
    json_node* n = json_parse(deep, 64);
    check(n != nullptr, "json_parse depth", "32 levels");
    json_free(n);
    memset(deep, '[', 33);
    memset(deep + 33, ']', 33);
    n = json_parse(deep, 66);
    check(n == nullptr, "json_parse depth", "33 levels");
    json_free(n);
    n = json_parse("{\"a\":1,\"a\":2,\"ok\":true}", 23);
    check(json_number(n, "a", 0) == 1 && !strcmp(json_string(n, "ok", "x"), "x"), "json lookups", "first a, fallback");
    json_free(n);

    const struct {
        const char* text;
        size_t cap;
        const char* out;
    } esc[] = {
        {"a\"b\\\t", 64, "a\\\"b\\\\\\t"},
        {"\x01", 64, "\\u0001"},
        {"ab\"", 4, "ab"},
        {"ab\"", 5, "ab\\\""},
        {"a\x01", 7, "a"},
        {"a\x01", 8, "a\\u0001"},
    };
    for (const auto& c : esc) {
        char out[80];
        memset(out, 'Z', sizeof out);
        json_escape(c.text, out, c.cap);
        check(!strcmp(out, c.out) && out[c.cap] == 'Z', "json_escape", c.text);
    }
}

void hotkey_table() {
    const struct {
        const wchar_t* text;
        uint32_t mods, vk;
        const wchar_t* formatted;  // null: fails with err
        const wchar_t* err;
    } cases[] = {
        {L"ctrl+shift+s", 0x4006, 0x53, L"Ctrl+Shift+S", nullptr},
        {L"  CTRL++ALT+  Delete  ", 0x4003, 0x2E, L"Ctrl+Alt+Delete", nullptr},
        {L"f1x", 0x4000, 0x70, L"F1", nullptr},
        {L"Win+num5", 0x4008, 0x65, L"Win+Num5", nullptr},
        {L"ctrl+pagedown", 0x4002, 0x22, L"Ctrl+PgDn", nullptr},
        {L"Ctrl+none", 0, 0, L"None", nullptr},
        {L"S", 0, 0, nullptr, L"hotkey needs a modifier (Ctrl/Alt/Shift/Win) unless it is PrtSc or F1-F24"},
        {L"Ctrl+", 0, 0, nullptr, L"missing key after modifiers"},
        {L"Ctrl+A+B", 0, 0, nullptr, L"unknown key name '(multiple keys)'"},
        {L"F25", 0, 0, nullptr, L"unknown key name 'F25'"},
        {L"Ctrl+Foo", 0, 0, nullptr, L"unknown key name 'Foo'"},
    };
    for (const auto& c : cases) {
        hotkey_pair p{0xDEAD, 0xBEEF};
        wchar_t err[128] = {0}, out[64];
        bool ok = hotkey_parse(c.text, &p, err, 128);
        if (c.formatted) {
            hotkey_format_with(p, nullptr, out, 64);
            check(ok && p.mods == c.mods && p.vk == c.vk && !wcscmp(out, c.formatted), "hotkey_parse", narrow(c.text));
        } else {
            check(!ok && p.mods == 0xDEAD && !wcscmp(err, c.err), "hotkey_parse fails", narrow(c.text));
        }
    }
    wchar_t out[64];
    hotkey_format_with(
        hotkey_pair{0x4002, 0xBA}, [](unsigned) -> wchar_t { return L';'; }, out, 64);
    check(!wcscmp(out, L"Ctrl+;"), "hotkey_format layout", narrow(out));
    hotkey_format_with(hotkey_pair{0x4002, 0xFF}, nullptr, out, 64);
    check(!wcscmp(out, L"Ctrl+VK 0xFF"), "hotkey_format unnamed", narrow(out));
    hotkey_format_with(hotkey_pair{0x4006, 0x53}, nullptr, out, 8);
    check(!wcscmp(out, L"Ctrl+Sh"), "hotkey_format cut", narrow(out));
}

void config_table() {
    static config c;
    memset(&c, 0, sizeof c);
    const char text[] = "\xEF\xBB\xBF  jpeg_quality  =85\r\n# clip_fps=1\n[s]\nclip_fps= 30\nhk_region=16390,67\r\n"
                        "hk_window=,-4\nhk_clip=67\nclip_encoder=libx264\ncollection3=000123\ncollection4=12a\n"
                        "folder10=x\nfolder2=D:\\caf\xC3\xA9\nserver_url=\n";
    c.hotkeys[1] = hotkey_pair{0x4001, 0x2C};
    c.hotkeys[3] = hotkey_pair{0x4006, 0x47};
    config_apply_text(&c, text, sizeof text - 1);
    check(c.jpeg_quality == 85 && c.clip_fps == 30, "config numbers", "85, 30");
    check(c.hotkeys[2].mods == 0x4006 && c.hotkeys[2].vk == 0x43, "config hotkey", "hk_region=16390,67");
    check(c.hotkeys[1].mods == 0x4001 && c.hotkeys[1].vk == 0x2C, "config hotkey kept", "hk_window=,-4");
    check(c.hotkeys[3].mods == 0x4006 && c.hotkeys[3].vk == 0x47, "config hotkey kept", "hk_clip=67");
    check(!wcscmp(c.clip_encoder, L"h264_mf"), "config encoder", narrow(c.clip_encoder));
    check(!strcmp(c.collections[2], "000123") && !c.collections[3][0], "config collections", "000123, 12a");
    check(!wcscmp(c.folders[1], L"D:\\caf\u00e9") && !c.folders[8][0], "config folders", narrow(c.folders[1]));
    check(!c.server_url[0], "config server_url", "empty keeps");
    const struct {
        const wchar_t* text;
        int value;
    } ints[] = {{L"\t-12x", -12}, {L"- 5", 0}, {L"99999999999", 2147483647}, {L"-99999999999", -2147483647 - 1}};
    for (const auto& i : ints) check(config_parse_int(i.text) == i.value, "config_parse_int", narrow(i.text));

    static char saved[CONFIG_TEXT_MAX];
    size_t len = config_format(&c, saved, sizeof saved);
    check(len > 0 && strstr(saved, "\r\nhk_screen=0,0\r\nhk_window=16385,44\r\nhk_region=16390,67\r\n") &&
              strstr(saved, "\r\nfolder2=D:\\caf\xC3\xA9\r\n") && strstr(saved, "\r\njpeg_quality=85\r\n"),
          "config_format", "hotkey, folder and number lines");
    int lines = 0;
    for (size_t i = 0; i < len; ++i) lines += saved[i] == '\n';
    check(lines == 14 + 9 + 9 + 18 + 16, "config_format", "66 lines");
}

// Runs a property in a child over one input; true when it aborted.
bool aborts(void (*run)(const char* input), const char* input) {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        if (!freopen("/dev/null", "w", stderr)) _exit(3);
        run(input);
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT;
}

// Broken stand-ins, one fault each.
json_node* parse_mangling_text(const char* data, size_t length) {
    json_node* n = json_parse(data, length);
    if (n && n->type == JSON_STRING && n->text[0]) n->text[0] = (char)0xFF;
    return n;
}
void escape_nothing(const char* text, char* out, size_t capacity) { snprintf(out, capacity, "%s", text); }
size_t format_dropping_last_line(const config* cfg, char* out, size_t capacity) {
    size_t len = config_format(cfg, out, capacity);
    while (len > 0 && out[len - 1] == '\n') --len;
    while (len > 0 && out[len - 1] != '\n') --len;
    out[len] = 0;
    return len;
}
void format_alt_for_ctrl(hotkey_pair pair, wchar_t (*char_of_vk)(unsigned), wchar_t* out, size_t capacity) {
    hotkey_format_with(pair, char_of_vk, out, capacity);
    if (!wcsncmp(out, L"Ctrl+", 5)) memcpy(out, L"Alt +", 5 * sizeof(wchar_t));
}

const uint8_t* bytes(const char* s) { return (const uint8_t*)s; }

void fires_table() {
    const struct {
        const char* name;
        void (*run)(const char*);
        const char* input;
        bool aborts;
    } cases[] = {
        {"json product, reproducer", [](const char* s) { props_json(bytes(s), strlen(s), &props_json_product); },
         "\"\\ud800\"", false},
        {"json utf-8 check",
         [](const char* s) {
             props_json_ops ops = {parse_mangling_text, json_escape};
             props_json(bytes(s), strlen(s), &ops);
         },
         "\"abc\"", true},
        {"json escape check",
         [](const char* s) {
             props_json_ops ops = {json_parse, escape_nothing};
             props_json(bytes(s), strlen(s), &ops);
         },
         "a\"b", true},
        {"config product, reproducer", [](const char* s) { props_config(bytes(s), strlen(s), &props_config_product); },
         "hk_window=,-4", false},
        {"config round-trip check",
         [](const char* s) {
             props_config_ops ops = {config_apply_text, format_dropping_last_line};
             props_config(bytes(s), strlen(s), &ops);
         },
         "update_auto=1", true},
        {"hotkey product", [](const char* s) { props_hotkey(bytes(s), strlen(s), &props_hotkey_product); },
         "\x02"
         "ctrl+s",
         false},
        {"hotkey round-trip check",
         [](const char* s) {
             props_hotkey_ops ops = {hotkey_parse, format_alt_for_ctrl};
             props_hotkey(bytes(s), strlen(s), &ops);
         },
         "\x02"
         "ctrl+s",
         true},
    };
    for (const auto& c : cases) check(aborts(c.run, c.input) == c.aborts, "property", c.name);
}

}  // namespace

int main() {
    json_table();
    hotkey_table();
    config_table();
    fires_table();
    printf("native_tables: %d checks, %d failed\n", g_checks, g_failed);
    return g_failed ? 1 : 0;
}
