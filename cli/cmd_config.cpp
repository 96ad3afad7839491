#include "cli/cmd_config.h"

#include <cstdio>
#include <cstring>
#include <cwchar>

#include "cli/cli.h"
#include "cli/pipe_client.h"
#include "common/config.h"
#include "common/config_schema.h"
#include "common/hotkey_text.h"
#include "common/win.h"

namespace {

constexpr int CONFIG_SET_MAX_PAIRS = 32;
constexpr int CONFIG_RESET_MAX_KEYS = 64;
constexpr size_t VALUE_CHARS = 260;  // widest value: a path
constexpr size_t VALUE_UTF8 = 1024;
constexpr size_t MESSAGE_CHARS = 1024;

// Wide text as UTF-8 in a buffer that lives for one statement.
struct utf8 {
    char s[VALUE_UTF8 * 2];
    explicit utf8(const wchar_t* w) { cli_utf8_from_wide(w ? w : L"", s, sizeof s); }
};

// Wide text as the body of a JSON string.
struct jstr {
    char s[CLI_ESCAPE_BUFFER];
    explicit jstr(const wchar_t* w) { cli_json_escape(w ? w : L"", s, sizeof s); }
};

bool begins_with_dash(const wchar_t* s) { return s && s[0] == L'-'; }

// Per-pair texts kept between validation and printing.
struct apply_row {
    const config_schema_entry* entry;
    wchar_t old_text[VALUE_CHARS];
    wchar_t new_text[VALUE_CHARS];
};

bool any_hotkey(const config_pair* pairs, int count) {
    for (int i = 0; i < count; ++i) {
        const config_schema_entry* e = config_schema_find(pairs[i].key);
        if (e && e->type == CONFIG_TYPE_HOTKEY) return true;
    }
    return false;
}

void print_changes(const config_pair* pairs, const apply_row* rows, int count, bool dry_run) {
    for (int i = 0; i < count; ++i) {
        cli_out_printf("%s: %s -> %s%s\n", utf8(pairs[i].key).s, utf8(rows[i].old_text).s, utf8(rows[i].new_text).s,
                       dry_run ? "  (dry run)" : "");
    }
}

void print_changes_json(const config_pair* pairs, const apply_row* rows, int count) {
    cli_out_write("{\"changed\":{");
    for (int i = 0; i < count; ++i) {
        cli_out_printf("%s\"%s\":{\"old\":\"%s\",\"new\":\"%s\"}", i ? "," : "", jstr(pairs[i].key).s,
                       jstr(rows[i].old_text).s, jstr(rows[i].new_text).s);
    }
    cli_out_write("}");
}

// ---- config get

int config_get(int argc, wchar_t** argv) {
    const config_schema_entry* picked[CLI_MAX_POSITIONAL];
    int count = 0;
    for (int i = 0; i < argc && count < CLI_MAX_POSITIONAL; ++i) {
        const config_schema_entry* e = config_schema_find(argv[i]);
        if (!e) {
            char msg[MESSAGE_CHARS];
            cli_format(msg, sizeof msg, "unknown key '%s'; run 'ivrac config schema'", utf8(argv[i]).s);
            return cli_usage(nullptr, msg);
        }
        picked[count++] = e;
    }
    if (count == 0) {
        for (const auto& e : config_schema) picked[count++] = &e;
    }
    static config cfg;
    config_load(&cfg);
    if (g_cli.json) cli_out_write("{");
    for (int i = 0; i < count; ++i) {
        const config_schema_entry* e = picked[i];
        wchar_t text[VALUE_CHARS];
        config_get_text(&cfg, e->key, text, VALUE_CHARS);
        if (!g_cli.json) {
            cli_out_printf("%s=%s\n", utf8(e->key).s, utf8(text).s);
            continue;
        }
        const char* field = (const char*)&cfg + e->offset;
        cli_out_printf("%s\"%s\":", i ? "," : "", utf8(e->key).s);
        switch (e->type) {
        case CONFIG_TYPE_HOTKEY: {
            const hotkey_pair* p = (const hotkey_pair*)field;
            cli_out_printf("{\"text\":\"%s\",\"mods\":%u,\"vk\":%u}", jstr(text).s, (unsigned)p->mods, (unsigned)p->vk);
            break;
        }
        case CONFIG_TYPE_BOOL: cli_out_write(*(const int*)field ? "true" : "false"); break;
        case CONFIG_TYPE_INT: cli_out_printf("%d", *(const int*)field); break;
        default: cli_out_printf("\"%s\"", jstr(text).s); break;
        }
    }
    if (g_cli.json) cli_out_write("}\n");
    return CLI_EXIT_OK;
}

// ---- config set / reset

int config_set(int argc, wchar_t** argv) {
    static config_pair pairs[CONFIG_SET_MAX_PAIRS];
    int count = 0;
    bool create_dirs = true, dry_run = false;
    for (int i = 0; i < argc; ++i) {
        const wchar_t* a = argv[i];
        if (begins_with_dash(a)) {
            if (wcscmp(a, L"--no-create") == 0)
                create_dirs = false;
            else if (wcscmp(a, L"--dry-run") == 0)
                dry_run = true;
            continue;
        }
        if (count == CONFIG_SET_MAX_PAIRS) {
            // Dropping the rest would report success for values never written.
            return cli_usage(nullptr, "too many pairs (at most 32)");
        }
        const wchar_t* value = L"";
        if (i + 1 < argc && !begins_with_dash(argv[i + 1])) value = argv[++i];
        pairs[count++] = config_pair{a, value};
    }
    if (count == 0) return cli_usage(nullptr, "set expects <key> <value>...");
    return cmd_config_apply(pairs, count, create_dirs, dry_run);
}

int config_reset(int argc, wchar_t** argv) {
    static config_pair pairs[CONFIG_SCHEMA_COUNT > CONFIG_RESET_MAX_KEYS ? CONFIG_SCHEMA_COUNT : CONFIG_RESET_MAX_KEYS];
    static wchar_t defaults[sizeof pairs / sizeof *pairs][VALUE_CHARS];
    if (argc == 0) return cli_usage(nullptr, "reset expects <key...> or --all");
    bool create_dirs = true, dry_run = false, all = false;
    int count = 0;
    for (int i = 0; i < argc; ++i) {
        const wchar_t* a = argv[i];
        if (begins_with_dash(a)) {
            if (wcscmp(a, L"--no-create") == 0)
                create_dirs = false;
            else if (wcscmp(a, L"--dry-run") == 0)
                dry_run = true;
            else if (wcscmp(a, L"--all") == 0)
                all = true;
            continue;
        }
        if (count == CONFIG_RESET_MAX_KEYS) return cli_usage(nullptr, "too many keys");
        pairs[count++] = config_pair{a, L""};
    }
    if (all) {
        count = 0;
        for (const auto& e : config_schema) pairs[count++] = config_pair{e.key, L""};
    }
    if (count == 0) return cli_usage(nullptr, "reset expects <key...> or --all");
    for (int i = 0; i < count; ++i) {
        if (!config_default_text(pairs[i].key, defaults[i], VALUE_CHARS)) {
            return cli_fail("usage", CLI_EXIT_USAGE, "unknown key; run 'ivrac config schema'");
        }
        pairs[i].value = defaults[i];
    }
    return cmd_config_apply(pairs, count, create_dirs, dry_run);
}

// ---- config schema

const wchar_t* range_text(const config_schema_entry* e, wchar_t* out, size_t cap) {
    out[0] = 0;
    if (e->type == CONFIG_TYPE_INT) {
        swprintf(out, cap, L"%d..%d", e->min, e->max);
    } else if (e->words) {
        size_t n = 0;
        for (const wchar_t* w = e->words; *w && n + 1 < cap; ++w) out[n++] = *w == L'|' ? L',' : *w;
        out[n] = 0;
    }
    return out;
}

void put_column(const wchar_t* text, size_t width) {
    cli_out_write(utf8(text).s);
    // Padding counts characters, so a default path with non-ASCII letters still lines up.
    for (size_t n = wcslen(text); n < width; ++n) cli_out_write(" ");
    cli_out_write(" ");
}

int config_schema_print(int argc, wchar_t** argv) {
    const config_schema_entry* one = nullptr;
    if (argc > 0) {
        one = config_schema_find(argv[0]);
        if (!one) return cli_fail("usage", CLI_EXIT_USAGE, "unknown key; run 'ivrac config schema'");
    }
    const config_schema_entry* first = one ? one : config_schema;
    int count = one ? 1 : CONFIG_SCHEMA_COUNT;
    static wchar_t defaults[CONFIG_SCHEMA_COUNT][VALUE_CHARS];
    for (int i = 0; i < count; ++i) config_default_text(first[i].key, defaults[i], VALUE_CHARS);

    if (g_cli.json) {
        cli_out_write("[");
        for (int i = 0; i < count; ++i) {
            const config_schema_entry* e = first + i;
            cli_out_printf("%s{\"key\":\"%s\",\"type\":\"%s\",\"default\":\"%s\",\"min\":%d,\"max\":%d,"
                           "\"values\":\"%s\",\"description\":\"%s\"}",
                           i ? "," : "", jstr(e->key).s, jstr(config_type_name(e->type)).s, jstr(defaults[i]).s, e->min,
                           e->max, jstr(e->words ? e->words : L"").s, jstr(e->description).s);
        }
        cli_out_write("]\n");
        return CLI_EXIT_OK;
    }
    size_t w_key = 3, w_type = 4, w_def = 7, w_range = 12;
    wchar_t range[128];
    for (int i = 0; i < count; ++i) {
        const config_schema_entry* e = first + i;
        if (wcslen(e->key) > w_key) w_key = wcslen(e->key);
        if (wcslen(config_type_name(e->type)) > w_type) w_type = wcslen(config_type_name(e->type));
        if (wcslen(defaults[i]) > w_def) w_def = wcslen(defaults[i]);
        size_t r = wcslen(range_text(e, range, 128));
        if (r > w_range) w_range = r;
    }
    w_key += 2, w_type += 2, w_def += 2, w_range += 2;
    // Columns are separated by one blank after the padded width, as "%-*s %s" would do.
    put_column(L"KEY", w_key);
    put_column(L"TYPE", w_type);
    put_column(L"DEFAULT", w_def);
    put_column(L"RANGE/VALUES", w_range);
    cli_out_write("DESCRIPTION\n");
    for (int i = 0; i < count; ++i) {
        const config_schema_entry* e = first + i;
        put_column(e->key, w_key);
        put_column(config_type_name(e->type), w_type);
        put_column(defaults[i], w_def);
        put_column(range_text(e, range, 128), w_range);
        cli_out_printf("%s\n", utf8(e->description).s);
    }
    return CLI_EXIT_OK;
}

int config_path_print() {
    wchar_t path[260];
    config_path(path);
    if (g_cli.json) {
        cli_out_printf("{\"path\":\"%s\"}\n", jstr(path).s);
    } else {
        cli_out_printf("%s\n", utf8(path).s);
    }
    return CLI_EXIT_OK;
}

// Copies the field's text up to 'end' into out as UTF-8, cut to capacity.
void copy_span(const char* begin, const char* end, char* out, size_t cap) {
    size_t n = cli_utf8_cut(begin, (size_t)(end - begin), cap - 1);
    memcpy(out, begin, n);
    out[n] = 0;
}

}  // namespace

bool cmd_config_hotkey_report_build(const char* reply, char* out, size_t capacity, char* warnings,
                                    size_t warnings_capacity) {
    if (!out || capacity == 0) return false;
    out[0] = 0;
    if (warnings && warnings_capacity) warnings[0] = 0;
    if (!reply || !pipe_client_reply_ok(reply)) return false;
    char json[1024];
    size_t len = 0, wlen = 0;
    bool fits = true;
    auto put = [&](const char* s) {
        size_t n = strlen(s);
        if (len + n + 1 > sizeof json) fits = false;
        if (!fits) return;
        memcpy(json + len, s, n + 1);
        len += n;
    };
    put("{");
    int members = 0;
    for (const char* f = reply; *f;) {
        const char* end = strchr(f, '\t');
        if (!end) end = f + strlen(f);
        const char* eq = (const char*)memchr(f, '=', (size_t)(end - f));
        if (strncmp(f, "hk_", 3) == 0 && eq) {
            char key[64], value[256], state[64], esc[256];
            copy_span(f, eq, key, sizeof key);
            copy_span(eq + 1, end, value, sizeof value);
            char* colon = strrchr(value, ':');
            if (colon) {
                *colon = 0;
                snprintf(state, sizeof state, "%s", colon + 1);
            } else {
                snprintf(state, sizeof state, "ok");
            }
            put(members++ ? ",\"" : "\"");
            cli_json_escape_utf8(key, esc, sizeof esc);
            put(esc);
            put("\":\"");
            cli_json_escape_utf8(state, esc, sizeof esc);
            put(esc);
            put("\"");
            if (strcmp(state, "ok") != 0 && strcmp(state, "off") != 0 && warnings && wlen + 1 < warnings_capacity) {
                int n = snprintf(warnings + wlen, warnings_capacity - wlen,
                                 "ivrac config: WARNING %s '%s' could not be registered (in use by "
                                 "another app?)\n",
                                 key, value);
                if (n > 0) wlen += (size_t)n;
                if (wlen >= warnings_capacity) wlen = warnings_capacity - 1;
            }
        }
        f = *end ? end + 1 : end;
    }
    put("}");
    if (!fits || len >= capacity) return false;
    memcpy(out, json, len + 1);
    return true;
}

void cmd_config_hotkey_report(char* out, size_t capacity) {
    if (!out || capacity == 0) return;
    out[0] = 0;
    static char reply[4096];
    if (pipe_client_call("status", reply, sizeof reply, 5000) != PIPE_CALL_OK) return;
    char warnings[2048];
    cmd_config_hotkey_report_build(reply, out, capacity, warnings, sizeof warnings);
    if (warnings[0]) cli_err_printf("%s", warnings);
}

void cmd_config_notify() {
    UINT reload = RegisterWindowMessageW(L"IvraReloadConfig");
    HWND settings = cli_find_window(L"IvraSettingsWnd");
    if (settings && reload) PostMessageW(settings, reload, 0, 0);
    HWND agent = cli_find_window(L"IvraAgentWnd");
    if (!agent) return;
    char reply[256];
    if (pipe_client_call("reload", reply, sizeof reply, 5000) != PIPE_CALL_OK && reload) {
        PostMessageW(agent, reload, 0, 0);
    }
}

int cmd_config_apply(const config_pair* pairs, int count, bool create_dirs, bool dry_run) {
    static config cfg, trial;
    static apply_row rows[CONFIG_RESET_MAX_KEYS];
    if (count > CONFIG_RESET_MAX_KEYS) return cli_usage(nullptr, "too many keys");
    if (!config_load(&cfg)) {
        // Saving over a file that exists but could not be read (oversized or
        // locked) would replace every setting in it with a default.
        wchar_t path[260];
        config_path(path);
        if (GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES) {
            return cli_fail("config", CLI_EXIT_FAILED,
                            "cannot read %s (unreadable or larger than 65536 bytes); nothing was "
                            "changed",
                            utf8(path).s);
        }
    }
    // A dry run changes nothing on disk, folders included.
    bool create = create_dirs && !dry_run;
    for (int i = 0; i < count; ++i) {
        apply_row* row = &rows[i];
        row->entry = config_schema_find(pairs[i].key);
        if (!row->entry) {
            return cli_fail("usage", CLI_EXIT_USAGE, "unknown key '%s'; run 'ivrac config schema'",
                            utf8(pairs[i].key).s);
        }
        config_get_text(&cfg, row->entry->key, row->old_text, VALUE_CHARS);
        trial = cfg;
        wchar_t err[MESSAGE_CHARS];
        if (!config_set_value(&trial, pairs[i].key, pairs[i].value, err, MESSAGE_CHARS, create)) {
            return cli_fail("usage", CLI_EXIT_USAGE, "%s", utf8(err).s);
        }
        cfg = trial;
        config_get_text(&cfg, row->entry->key, row->new_text, VALUE_CHARS);
    }
    if (dry_run) {
        if (g_cli.json) {
            print_changes_json(pairs, rows, count);
            cli_out_write(",\"dry_run\":true}\n");
        } else {
            print_changes(pairs, rows, count, true);
        }
        return CLI_EXIT_OK;
    }
    if (!config_save(&cfg)) return cli_fail("capture_failed", CLI_EXIT_FAILED, "config save failed");
    cmd_config_notify();
    bool agent = cli_find_window(L"IvraAgentWnd") != nullptr;
    bool hotkeys = any_hotkey(pairs, count);
    if (!g_cli.json) {
        print_changes(pairs, rows, count, false);
        if (hotkeys && agent) {
            char report[1024];
            cmd_config_hotkey_report(report, sizeof report);
        }
        return CLI_EXIT_OK;
    }
    print_changes_json(pairs, rows, count);
    cli_out_printf(",\"reloaded\":%s", agent ? "true" : "false");
    if (hotkeys) {
        char report[1024];
        cmd_config_hotkey_report(report, sizeof report);
        if (report[0]) cli_out_printf(",\"hotkeys\":%s", report);
    }
    cli_out_write("}\n");
    return CLI_EXIT_OK;
}

int cmd_config(int argc, wchar_t** argv) {
    const wchar_t* sub = argc > 0 ? argv[0] : L"get";
    int rest = argc > 0 ? argc - 1 : 0;
    wchar_t** args = argc > 0 ? argv + 1 : argv;
    if (wcscmp(sub, L"path") == 0) return config_path_print();
    if (wcscmp(sub, L"get") == 0) return config_get(rest, args);
    if (wcscmp(sub, L"set") == 0) return config_set(rest, args);
    if (wcscmp(sub, L"reset") == 0) return config_reset(rest, args);
    if (wcscmp(sub, L"schema") == 0) return config_schema_print(rest, args);
    return cli_usage(nullptr, "expects get|set|reset|schema|path");
}
