#include "cli/cmd_status.h"
#include "cli/cli.h"
#include "cli/pipe_client.h"
#include "common/config.h"
#include "common/config_schema.h"
#include "common/win.h"
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

// ---- Output buffer shared by the formatters.

namespace {

struct out_buf {
    char* p;
    size_t cap;
    size_t at;
    bool cut;  // something did not fit
};

enum { REPLY_MAX_FIELDS = 160, KEY_ESCAPE = 128, INPUT_VALUE_ESCAPE = 256 };

// The reply split into fields; keys and values point into buf.
struct reply_fields {
    char buf[STATUS_REPLY_BUFFER * 3 + 4];
    int count;
    const char* key[REPLY_MAX_FIELDS];
    const char* val[REPLY_MAX_FIELDS];
    bool has_eq[REPLY_MAX_FIELDS];
};

}  // namespace

static void cmd_status_ob_init(out_buf* b, char* out, size_t capacity) {
    b->p = out;
    b->cap = capacity;
    b->at = 0;
    b->cut = capacity == 0;
    if (capacity) out[0] = 0;
}

// What a JSON formatter returns: a cut object is not JSON, so it gives nothing.
static size_t cmd_status_ob_json_result(out_buf* b) {
    if (!b->cut) return b->at;
    if (b->cap) b->p[0] = 0;
    return 0;
}

static void cmd_status_ob_put(out_buf* b, const char* fmt, ...) CLI_PRINTF(2, 3);
static void cmd_status_ob_put(out_buf* b, const char* fmt, ...) {
    if (b->at + 1 >= b->cap) {
        b->cut = true;
        return;
    }
    size_t room = b->cap - b->at;
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(b->p + b->at, room, fmt, ap);
    va_end(ap);
    if (n < 0) {
        b->p[b->at] = 0;
        return;
    }
    if ((size_t)n < room) {
        b->at += (size_t)n;
        return;
    }
    // Cut: keep whole characters only and refuse anything more.
    b->cut = true;
    size_t kept = cli_utf8_cut(b->p + b->at, room - 1, room - 1);
    b->at += kept;
    b->p[b->at] = 0;
    b->cap = b->at + 1;
}

// Splits "ok\tk=v\t..." into its fields after the first. The text is passed
// through UTF-16 first so malformed bytes become U+FFFD and every output line
// is valid UTF-8; empty fields and a trailing carriage return are dropped.
static void cmd_status_reply_split(const char* reply, reply_fields* f) {
    static_assert(sizeof(f->buf) >= STATUS_REPLY_BUFFER * 3, "room for the converted reply");
    f->count = 0;
    wchar_t wide[STATUS_REPLY_BUFFER];
    cli_wide_from_utf8(reply ? reply : "", (size_t)-1, wide, STATUS_REPLY_BUFFER);
    size_t len = cli_utf8_from_wide(wide, f->buf, sizeof f->buf);
    while (len > 0 && (f->buf[len - 1] == '\r' || f->buf[len - 1] == '\n')) f->buf[--len] = 0;
    char* s = strchr(f->buf, '\t');
    while (s && f->count < REPLY_MAX_FIELDS) {
        *s++ = 0;
        char* next = strchr(s, '\t');
        if (next) *next = 0;
        if (*s) {
            char* eq = strchr(s, '=');
            f->key[f->count] = s;
            f->val[f->count] = eq ? eq + 1 : "";
            f->has_eq[f->count] = eq != nullptr;
            if (eq) *eq = 0;
            f->count++;
        }
        if (!next) break;
        s = next;
        *s = '\t';  // restored so the loop's split finds it again
    }
}

static const char* cmd_status_fields_get(const reply_fields* f, const char* key) {
    for (int i = 0; i < f->count; i++)
        if (f->has_eq[i] && strcmp(f->key[i], key) == 0) return f->val[i];
    return nullptr;
}

static bool cmd_status_starts_with(const char* s, const char* prefix) {
    return strncmp(s, prefix, strlen(prefix)) == 0;
}

// A value that may stand unquoted in JSON: decimal digits only, and no leading
// zero that would make the number invalid JSON.
static bool cmd_status_json_plain_number(const char* v) {
    if (!v[0]) return false;
    if (v[0] == '0' && v[1]) return false;
    for (const char* c = v; *c; c++)
        if (*c < '0' || *c > '9') return false;
    return true;
}

// Writes the value as a bare number or an escaped string.
static void cmd_status_json_put_scalar(out_buf* b, const char* v, size_t escape_capacity) {
    if (cmd_status_json_plain_number(v)) {
        cmd_status_ob_put(b, "%s", v);
        return;
    }
    char esc[CLI_ESCAPE_BUFFER];
    if (escape_capacity > sizeof esc) escape_capacity = sizeof esc;
    cli_json_escape_utf8(v, esc, escape_capacity);
    cmd_status_ob_put(b, "\"%s\"", esc);
}

// ---- status

namespace {

struct pool_numbers {
    int threads;
    unsigned depth;
    unsigned high;
    unsigned long long completed;
    unsigned long long rejected;
    double avg_ms;
};

struct mem_numbers {
    int in_use;
    unsigned long long committed;
    unsigned long long budget;
};

const char* const status_pools[] = {"stills", "clips", "io", "pipe"};

}  // namespace

// Missing or unreadable numbers read as 0.
static pool_numbers cmd_status_pool_read(const reply_fields* f, const char* name) {
    pool_numbers p = {};
    char key[32];
    snprintf(key, sizeof key, "pool_%s", name);
    const char* v = cmd_status_fields_get(f, key);
    if (v) sscanf(v, "%d,%u,%u,%llu,%llu,%lf", &p.threads, &p.depth, &p.high, &p.completed, &p.rejected, &p.avg_ms);
    if (!std::isfinite(p.avg_ms)) p.avg_ms = 0;
    return p;
}

static mem_numbers cmd_status_mem_read(const reply_fields* f, const char* key) {
    mem_numbers m = {};
    const char* v = cmd_status_fields_get(f, key);
    if (v) sscanf(v, "%d,%llu,%llu", &m.in_use, &m.committed, &m.budget);
    return m;
}

static unsigned long long cmd_status_field_ull(const reply_fields* f, const char* key) {
    const char* v = cmd_status_fields_get(f, key);
    return v ? strtoull(v, nullptr, 10) : 0;
}

// Splits a hotkey value "text:state" at its last colon; no colon means state "ok".
static void cmd_status_hotkey_split(const char* value, char* text, size_t text_size, const char** state) {
    const char* colon = strrchr(value, ':');
    size_t len = colon ? (size_t)(colon - value) : strlen(value);
    if (len >= text_size) len = cli_utf8_cut(value, len, text_size - 1);
    memcpy(text, value, len);
    text[len] = 0;
    *state = colon ? colon + 1 : "ok";
}

size_t cmd_status_text(const char* reply, char* out, size_t capacity) {
    reply_fields fields;
    reply_fields* f = &fields;
    cmd_status_reply_split(reply, f);
    out_buf b;
    cmd_status_ob_init(&b, out, capacity);
    for (int i = 0; i < f->count; i++) {
        const char* key = f->key[i];
        if (cmd_status_starts_with(key, "pool_") || cmd_status_starts_with(key, "mem_")) continue;
        if (cmd_status_starts_with(key, "hk_")) {
            char text[STATUS_REPLY_BUFFER];
            const char* state;
            cmd_status_hotkey_split(f->val[i], text, sizeof text, &state);
            cmd_status_ob_put(&b, "%-15s %-18s %s\n", key, text, state);
        } else if (f->has_eq[i]) {
            cmd_status_ob_put(&b, "%s=%s\n", key, f->val[i]);
        } else {
            cmd_status_ob_put(&b, "%s\n", key);
        }
    }
    if (cmd_status_fields_get(f, "pool_stills")) {
        cmd_status_ob_put(&b, "pools      threads  depth  high  done  rejected  avg_ms\n");
        for (const char* name : status_pools) {
            pool_numbers p = cmd_status_pool_read(f, name);
            char avg[32] = "-";
            if (p.completed) snprintf(avg, sizeof avg, "%.1f", p.avg_ms);
            cmd_status_ob_put(&b, "  %-8s %-8d %-6u %-5u %-5llu %-9llu %s\n", name, p.threads, p.depth, p.high,
                              p.completed, p.rejected, avg);
        }
        mem_numbers stills = cmd_status_mem_read(f, "mem_stills"), clips = cmd_status_mem_read(f, "mem_clips");
        const char* percent = cmd_status_fields_get(f, "mem_percent");
        char total[32], budget[32], s_used[32], s_budget[32], c_used[32], c_budget[32];
        format_bytes(cmd_status_field_ull(f, "mem_total"), total, sizeof total);
        format_bytes(stills.budget + clips.budget, budget, sizeof budget);
        format_bytes(stills.committed, s_used, sizeof s_used);
        format_bytes(stills.budget, s_budget, sizeof s_budget);
        format_bytes(clips.committed, c_used, sizeof c_used);
        format_bytes(clips.budget, c_budget, sizeof c_budget);
        cmd_status_ob_put(
            &b, "memory     total %s \xC2\xB7 budget %s (%d%%) \xC2\xB7 stills %s / %s \xC2\xB7 clips %s / %s\n", total,
            budget, percent ? atoi(percent) : 0, s_used, s_budget, c_used, c_budget);
    }
    return b.at;
}

size_t cmd_status_json(const char* reply, char* out, size_t capacity) {
    reply_fields fields;
    reply_fields* f = &fields;
    cmd_status_reply_split(reply, f);
    out_buf b;
    cmd_status_ob_init(&b, out, capacity);
    cmd_status_ob_put(&b, "{");
    bool first = true;
    for (int i = 0; i < f->count; i++) {
        const char* key = f->key[i];
        if (cmd_status_starts_with(key, "hk_") || cmd_status_starts_with(key, "pool_") ||
            cmd_status_starts_with(key, "mem_"))
            continue;
        char esc_key[KEY_ESCAPE * 2];
        cli_json_escape_utf8(key, esc_key, sizeof esc_key);
        cmd_status_ob_put(&b, "%s\"%s\":", first ? "" : ",", esc_key);
        cmd_status_json_put_scalar(&b, f->val[i], CLI_ESCAPE_BUFFER);
        first = false;
    }
    // The hotkeys object follows the plain fields; a reply without any must
    // still give a valid object, so the comma depends on what came before.
    cmd_status_ob_put(&b, "%s\"hotkeys\":{", first ? "" : ",");
    bool first_hk = true;
    for (int i = 0; i < f->count; i++) {
        const char* key = f->key[i];
        if (!cmd_status_starts_with(key, "hk_")) continue;
        char text[STATUS_REPLY_BUFFER], esc_key[KEY_ESCAPE * 2], esc_text[CLI_ESCAPE_BUFFER];
        const char* state;
        cmd_status_hotkey_split(f->val[i], text, sizeof text, &state);
        cli_json_escape_utf8(key, esc_key, sizeof esc_key);
        cli_json_escape_utf8(text, esc_text, sizeof esc_text);
        bool off = strcmp(state, "off") == 0, ok = off || strcmp(state, "ok") == 0;
        cmd_status_ob_put(&b, "%s\"%s\":{\"text\":\"%s\",\"ok\":%s", first_hk ? "" : ",", esc_key, esc_text,
                          ok ? "true" : "false");
        if (off) {
            cmd_status_ob_put(&b, ",\"active\":false");
        } else if (!ok) {
            const char* open = strchr(state, '(');
            unsigned long err = open ? strtoul(open + 1, nullptr, 10) : 0;
            cmd_status_ob_put(&b, ",\"err\":%lu", err);
        }
        cmd_status_ob_put(&b, "}");
        first_hk = false;
    }
    cmd_status_ob_put(&b, "}");
    if (cmd_status_fields_get(f, "pool_stills")) {
        cmd_status_ob_put(&b, ",\"pools\":{");
        for (size_t i = 0; i < sizeof status_pools / sizeof status_pools[0]; i++) {
            pool_numbers p = cmd_status_pool_read(f, status_pools[i]);
            cmd_status_ob_put(
                &b,
                "%s\"%s\":{\"threads\":%d,\"depth\":%u,\"high\":%u,\"completed\":%llu,\"rejected\":%llu,\"avg_ms\":%.1f}",
                i ? "," : "", status_pools[i], p.threads, p.depth, p.high, p.completed, p.rejected, p.avg_ms);
        }
        cmd_status_ob_put(&b, "}");
    }
    if (cmd_status_fields_get(f, "mem_total")) {
        mem_numbers s = cmd_status_mem_read(f, "mem_stills"), c = cmd_status_mem_read(f, "mem_clips");
        const char* percent = cmd_status_fields_get(f, "mem_percent");
        cmd_status_ob_put(
            &b,
            ",\"memory\":{\"total\":%llu,\"percent\":%d,\"stills\":{\"in_use\":%d,\"committed\":%llu,\"budget\":%llu},"
            "\"clips\":{\"in_use\":%d,\"committed\":%llu,\"budget\":%llu}}",
            cmd_status_field_ull(f, "mem_total"), percent ? atoi(percent) : 0, s.in_use, s.committed, s.budget,
            c.in_use, c.committed, c.budget);
    }
    cmd_status_ob_put(&b, "}\n");
    return cmd_status_ob_json_result(&b);
}

// ---- input

size_t cmd_status_input_text(const char* reply, char* out, size_t capacity) {
    reply_fields fields;
    reply_fields* f = &fields;
    cmd_status_reply_split(reply, f);
    out_buf b;
    cmd_status_ob_init(&b, out, capacity);
    for (int i = 0; i < f->count; i++) cmd_status_ob_put(&b, "%-24s %s\n", f->key[i], f->val[i]);
    return b.at;
}

static bool cmd_status_input_is_flag(const char* key) {
    static const char* const flags[] = {"running",     "raw_enabled",    "hook_enabled",    "raw_ready",  "hook_ready",
                                        "mouse_ready", "session_active", "focus_requested", "focus_owned"};
    for (const char* k : flags)
        if (strcmp(k, key) == 0) return true;
    return cmd_status_starts_with(key, "registered_") && strcmp(key, "registered_events") != 0 &&
           strcmp(key, "registered_activations") != 0;
}

size_t cmd_status_input_json(const char* reply, char* out, size_t capacity) {
    reply_fields fields;
    reply_fields* f = &fields;
    cmd_status_reply_split(reply, f);
    out_buf b;
    cmd_status_ob_init(&b, out, capacity);
    cmd_status_ob_put(&b, "{");
    for (int i = 0; i < f->count; i++) {
        char esc_key[KEY_ESCAPE];
        cli_json_escape_utf8(f->key[i], esc_key, sizeof esc_key);
        cmd_status_ob_put(&b, "%s\"%s\":", i ? "," : "", esc_key);
        if (cmd_status_input_is_flag(f->key[i]))
            cmd_status_ob_put(&b, "%s", strcmp(f->val[i], "1") == 0 ? "true" : "false");
        else
            cmd_status_json_put_scalar(&b, f->val[i], INPUT_VALUE_ESCAPE);
    }
    cmd_status_ob_put(&b, "}\n");
    return cmd_status_ob_json_result(&b);
}

// ---- folders

// Characters of a wide text: a surrogate pair is one.
static size_t cmd_status_wide_chars(const wchar_t* text) {
    size_t n = 0;
    for (; *text; text++)
        if (*text < 0xDC00 || *text > 0xDFFF) n++;
    return n;
}

// Appends text padded with blanks to width characters.
static size_t cmd_status_wide_pad(wchar_t* line, size_t at, size_t cap, const wchar_t* text, size_t width) {
    size_t len = wcslen(text);
    for (size_t i = 0; i < len && at + 1 < cap; i++) line[at++] = text[i];
    for (size_t i = cmd_status_wide_chars(text); i < width && at + 1 < cap; i++) line[at++] = L' ';
    line[at] = 0;
    return at;
}

size_t cmd_status_folders_text(const wchar_t (*paths)[FOLDERS_PATH_CHARS], const bool* exists, char* out,
                               size_t capacity) {
    out_buf b;
    cmd_status_ob_init(&b, out, capacity);
    size_t width = 4;
    for (int i = 0; i < FOLDERS_SLOTS; i++) {
        wchar_t path[FOLDERS_PATH_CHARS];
        wcsncpy(path, paths[i], FOLDERS_PATH_CHARS - 1);
        path[FOLDERS_PATH_CHARS - 1] = 0;
        size_t len = cmd_status_wide_chars(path);
        if (len > width) width = len;
    }
    wchar_t line[FOLDERS_PATH_CHARS + 32];
    char utf8[sizeof line / sizeof line[0] * 3];
    size_t at = cmd_status_wide_pad(line, 0, sizeof line / sizeof line[0], L"SLOT  ", 0);
    at = cmd_status_wide_pad(line, at, sizeof line / sizeof line[0], L"PATH", width);
    cmd_status_wide_pad(line, at, sizeof line / sizeof line[0], L" EXISTS", 0);
    cli_utf8_from_wide(line, utf8, sizeof utf8);
    cmd_status_ob_put(&b, "%s\n", utf8);
    for (int i = 0; i < FOLDERS_SLOTS; i++) {
        wchar_t path[FOLDERS_PATH_CHARS], slot[8];
        wcsncpy(path, paths[i], FOLDERS_PATH_CHARS - 1);
        path[FOLDERS_PATH_CHARS - 1] = 0;
        bool empty = path[0] == 0;
        swprintf(slot, sizeof slot / sizeof slot[0], L"%d", i + 1);
        at = cmd_status_wide_pad(line, 0, sizeof line / sizeof line[0], slot, 5);
        at = cmd_status_wide_pad(line, at, sizeof line / sizeof line[0], L" ", 0);
        at = cmd_status_wide_pad(line, at, sizeof line / sizeof line[0], empty ? L"-" : path, width);
        cmd_status_wide_pad(line, at, sizeof line / sizeof line[0], empty ? L" -" : exists[i] ? L" yes" : L" no", 0);
        cli_utf8_from_wide(line, utf8, sizeof utf8);
        cmd_status_ob_put(&b, "%s\n", utf8);
    }
    return b.at;
}

size_t cmd_status_folders_json(const wchar_t (*paths)[FOLDERS_PATH_CHARS], const bool* exists, char* out,
                               size_t capacity) {
    out_buf b;
    cmd_status_ob_init(&b, out, capacity);
    cmd_status_ob_put(&b, "[");
    for (int i = 0; i < FOLDERS_SLOTS; i++) {
        wchar_t path[FOLDERS_PATH_CHARS];
        wcsncpy(path, paths[i], FOLDERS_PATH_CHARS - 1);
        path[FOLDERS_PATH_CHARS - 1] = 0;
        char esc[FOLDERS_PATH_CHARS * 6 + 8];
        cli_json_escape(path, esc, sizeof esc);
        cmd_status_ob_put(&b, "%s{\"slot\":%d,\"path\":\"%s\",\"exists\":%s}", i ? "," : "", i + 1, esc,
                          path[0] && exists[i] ? "true" : "false");
    }
    cmd_status_ob_put(&b, "]\n");
    return cmd_status_ob_json_result(&b);
}

// ---- Commands.

static char g_status_out[STATUS_OUT_BUFFER * 2];

int cmd_status_command(int argc, wchar_t**) {
    if (argc > 0) return cli_usage(nullptr, "expects no arguments (use --json or --help)");
    char reply[STATUS_REPLY_BUFFER];
    if (!cli_find_window(L"IvraAgentWnd") || pipe_client_call("status", reply, sizeof reply, 5000) != PIPE_CALL_OK ||
        !pipe_client_reply_ok(reply)) {
        cli_err_printf("agent: not running\n");
        if (g_cli.json) cli_out_write("{\"error\":\"agent_unavailable\",\"message\":\"agent not running\"}\n");
        return CLI_EXIT_AGENT;
    }
    if (g_cli.json) {
        if (!cmd_status_json(reply, g_status_out, sizeof g_status_out)) return cli_fail_too_large("status");
    } else
        cmd_status_text(reply, g_status_out, sizeof g_status_out);
    cli_out_write(g_status_out);
    return CLI_EXIT_OK;
}

int cmd_status_input_command(int argc, wchar_t**) {
    if (argc > 0) return cli_usage(nullptr, "expects no arguments (use --json or --help)");
    char reply[STATUS_REPLY_BUFFER];
    if (pipe_client_call("input", reply, sizeof reply, 5000) != PIPE_CALL_OK)
        return cli_fail("agent_unavailable", CLI_EXIT_AGENT,
                        "agent input diagnostics unavailable; run 'ivrac agent start'");
    if (!pipe_client_reply_ok(reply))
        return cli_fail("input_unavailable", CLI_EXIT_FAILED, "agent does not support input diagnostics");
    if (g_cli.json) {
        if (!cmd_status_input_json(reply, g_status_out, sizeof g_status_out)) return cli_fail_too_large("input");
    } else
        cmd_status_input_text(reply, g_status_out, sizeof g_status_out);
    cli_out_write(g_status_out);
    return CLI_EXIT_OK;
}

int cmd_status_folders_command(int, wchar_t**) {
    config loaded;
    config* cfg = &loaded;
    config_load(cfg);
    bool exists[FOLDERS_SLOTS];
    for (int i = 0; i < FOLDERS_SLOTS; i++) {
        DWORD attr = cfg->folders[i][0] ? GetFileAttributesW(cfg->folders[i]) : INVALID_FILE_ATTRIBUTES;
        exists[i] = attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY);
    }
    if (g_cli.json) {
        if (!cmd_status_folders_json(cfg->folders, exists, g_status_out, sizeof g_status_out))
            return cli_fail_too_large("folders");
    } else
        cmd_status_folders_text(cfg->folders, exists, g_status_out, sizeof g_status_out);
    cli_out_write(g_status_out);
    return CLI_EXIT_OK;
}
