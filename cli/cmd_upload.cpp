#include "common/win.h"
#include "cli/cmd_upload.h"
#include "cli/cli.h"
#include "cli/cmd_account.h"
#include "cli/cmd_config.h"
#include "cli/pipe_client.h"
#include "common/config.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <cwchar>

// ---------------------------------------------------------------- pure parts

static void cmd_upload_part_copy(const char* text, size_t len, char* out, size_t cap) {
    len = cli_utf8_cut(text, len, cap - 1);
    memcpy(out, text, len);
    out[len] = 0;
}

bool cmd_upload_item_get(const char* reply, int i, upload_entry* entry) {
    char key[16];
    snprintf(key, sizeof key, "u%d", i);
    size_t len = 0;
    const char* v = pipe_client_reply_field_find(reply, key, &len);
    if (!v || len == 0) return false;
    struct part {
        char* out;
        size_t cap;
    };
    upload_entry e{};
    const part parts[8] = {{e.id, sizeof e.id},       {e.state, sizeof e.state},       {e.attempts, sizeof e.attempts},
                           {e.kind, sizeof e.kind},   {e.retry_in, sizeof e.retry_in}, {e.url, sizeof e.url},
                           {e.error, sizeof e.error}, {e.path, sizeof e.path}};
    size_t at = 0;
    for (int p = 0; p < 8; p++) {
        // The path is last and takes the rest of the value.
        size_t n = 0;
        while (at + n < len && (p == 7 || v[at + n] != '|')) n++;
        if (p < 7 && at + n == len) return false;
        cmd_upload_part_copy(v + at, n, parts[p].out, parts[p].cap);
        at += n + 1;
    }
    *entry = e;
    return true;
}

int cmd_upload_mode_parse(const wchar_t* word) {
    static const wchar_t* const names[] = {L"ask", L"auto", L"manual"};
    for (int i = 0; i < 3; i++)
        if (word && wcscmp(word, names[i]) == 0) return i;
    return -1;
}

// A number from the agent as JSON takes it: its digits, or 0 for anything else.
static const char* cmd_upload_json_number(const char* text) {
    if (!text[0]) return "0";
    for (const char* p = text; *p; p++)
        if (*p < '0' || *p > '9') return "0";
    return text;
}

namespace {

struct upload_text {
    char* out;
    size_t cap;
    size_t len;
    bool full;
};

void upload_text_add(upload_text* b, const char* fmt, ...) CLI_PRINTF(2, 3);
void upload_text_add(upload_text* b, const char* fmt, ...) {
    if (b->full) return;
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(b->out + b->len, b->cap - b->len, fmt, ap);
    va_end(ap);
    if (n < 0 || (size_t)n >= b->cap - b->len) {
        b->full = true;
        return;
    }
    b->len += (size_t)n;
}

const char* upload_file_name(const char* path) {
    const char* slash = strrchr(path, '\\');
    return slash ? slash + 1 : path;
}

}  // namespace

bool cmd_upload_status_build(const char* reply, bool json, char* out, size_t capacity) {
    if (!out || capacity == 0) return false;
    out[0] = 0;
    char linked[16], account[128], workers[16], queued[16], active[16], done[16], failed[16];
    pipe_client_reply_field_get_utf8(reply, "linked", linked, sizeof linked);
    pipe_client_reply_field_get_utf8(reply, "account", account, sizeof account);
    pipe_client_reply_field_get_utf8(reply, "workers", workers, sizeof workers);
    pipe_client_reply_field_get_utf8(reply, "queued", queued, sizeof queued);
    pipe_client_reply_field_get_utf8(reply, "active", active, sizeof active);
    pipe_client_reply_field_get_utf8(reply, "done", done, sizeof done);
    pipe_client_reply_field_get_utf8(reply, "failed", failed, sizeof failed);
    bool is_linked = strcmp(linked, "1") == 0;
    upload_text b{out, capacity, 0, false};
    upload_entry e;
    if (json) {
        char esc[sizeof e.path * 6 + 8];
        cli_json_escape_utf8(account, esc, sizeof esc);
        upload_text_add(&b,
                        "{\"linked\":%s,\"account\":\"%s\",\"workers\":%s,\"queued\":%s,\"uploading\":%s,\"done\":%s,"
                        "\"failed\":%s,\"items\":[",
                        is_linked ? "true" : "false", esc, cmd_upload_json_number(workers),
                        cmd_upload_json_number(queued), cmd_upload_json_number(active), cmd_upload_json_number(done),
                        cmd_upload_json_number(failed));
        for (int i = 0; cmd_upload_item_get(reply, i, &e); i++) {
            char state[sizeof e.state * 6 + 8], kind[sizeof e.kind * 6 + 8];
            cli_json_escape_utf8(e.state, state, sizeof state);
            cli_json_escape_utf8(e.kind, kind, sizeof kind);
            upload_text_add(&b, "%s{\"id\":%s,\"state\":\"%s\",\"attempts\":%s,\"kind\":\"%s\",\"retry_in\":%s,",
                            i ? "," : "", cmd_upload_json_number(e.id), state, cmd_upload_json_number(e.attempts), kind,
                            cmd_upload_json_number(e.retry_in));
            cli_json_escape_utf8(e.url, esc, sizeof esc);
            upload_text_add(&b, "\"url\":\"%s\",", esc);
            cli_json_escape_utf8(e.error, esc, sizeof esc);
            upload_text_add(&b, "\"error\":\"%s\",", esc);
            cli_json_escape_utf8(e.path, esc, sizeof esc);
            upload_text_add(&b, "\"path\":\"%s\"}", esc);
        }
        upload_text_add(&b, "]}\n");
    } else {
        if (is_linked)
            upload_text_add(&b, "account    %s (%s parallel)\n", account, workers);
        else
            upload_text_add(&b, "not linked: captures stay on this PC (ivrac account link)\n");
        upload_text_add(&b, "queue      %s waiting, %s uploading, %s done, %s failed\n", queued, active, done, failed);
        for (int i = 0; i < UPLOAD_SHOWN_MAX && cmd_upload_item_get(reply, i, &e); i++) {
            const char* name = upload_file_name(e.path);
            if (strcmp(e.state, "done") == 0)
                upload_text_add(&b, "  #%-4s done       %s  %s\n", e.id, name, e.url);
            else if (strcmp(e.state, "queued") == 0 && e.retry_in[0] && e.retry_in[0] != '0')
                upload_text_add(&b, "  #%-4s retry %4ss %s  (%s)\n", e.id, e.retry_in, name, e.error);
            else
                upload_text_add(&b, "  #%-4s %-10s %s%s%s%s\n", e.id, e.state, name, e.error[0] ? "  (" : "", e.error,
                                e.error[0] ? ")" : "");
        }
    }
    if (b.full) out[0] = 0;
    return !b.full;
}

// ---------------------------------------------------------------- commands

int cmd_upload_fail(const char* reply) {
    char code[64], msg[1024];
    pipe_client_reply_field_get_utf8(reply, "code", code, sizeof code);
    pipe_client_reply_field_get_utf8(reply, "msg", msg, sizeof msg);
    if (!code[0]) snprintf(code, sizeof code, "upload");
    return cli_fail(code, strcmp(code, "not_linked") == 0 ? CLI_EXIT_NOT_LINKED : CLI_EXIT_FAILED, "%s",
                    msg[0] ? msg : "the agent refused the upload request");
}

static char g_reply[UPLOAD_REPLY_CAP];

static int cmd_upload_mode_command(const wchar_t* word) {
    static config cfg;
    bool loaded = config_load(&cfg);
    if (word) {
        int mode = cmd_upload_mode_parse(word);
        if (mode < 0) return cli_usage(nullptr, "mode expects ask|auto|manual");
        wchar_t path[260];
        config_path(path);
        // Saving over a file that exists but could not be read would reset every other setting.
        if (!loaded && GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES)
            return cli_fail("config", CLI_EXIT_FAILED, "cannot read config.ini; nothing was changed");
        cfg.upload_mode = mode;
        if (!config_save(&cfg)) return cli_fail("config", CLI_EXIT_FAILED, "cannot write config.ini");
        cmd_config_notify();
    }
    const char* name = cmd_account_mode_name(cfg.upload_mode);
    if (g_cli.json)
        cli_out_printf("{\"upload_mode\":\"%s\"}\n", name);
    else
        cli_out_printf("%s\n", name);
    return CLI_EXIT_OK;
}

static int cmd_upload_count_command(bool retry) {
    int rc = pipe_client_call_start(retry ? "upload\top=retry" : "upload\top=clear", g_reply, sizeof g_reply, 5000);
    if (rc != CLI_EXIT_OK) return rc;
    if (!pipe_client_reply_ok(g_reply)) return cmd_upload_fail(g_reply);
    char n[16];
    pipe_client_reply_field_get_utf8(g_reply, "n", n, sizeof n);
    if (g_cli.json)
        cli_out_printf("{\"n\":%s}\n", cmd_upload_json_number(n));
    else
        cli_out_printf("%s %s\n", retry ? "retrying" : "cleared", n[0] ? n : "0");
    return CLI_EXIT_OK;
}

static int cmd_upload_status_command(void) {
    int rc = pipe_client_call_start("upload\top=status", g_reply, sizeof g_reply, 5000);
    if (rc != CLI_EXIT_OK) return rc;
    if (!pipe_client_reply_ok(g_reply)) return cmd_upload_fail(g_reply);
    // Every entry escaped at its worst still fits: the reply is at most 64 KiB.
    const size_t cap = 1u << 20;
    char* out = (char*)HeapAlloc(GetProcessHeap(), 0, cap);
    if (!out || !cmd_upload_status_build(g_reply, g_cli.json, out, cap)) {
        if (out) HeapFree(GetProcessHeap(), 0, out);
        return cli_fail_too_large("upload status");
    }
    cli_out_write(out);
    HeapFree(GetProcessHeap(), 0, out);
    return CLI_EXIT_OK;
}

// Polls the queue until the item is done or failed (about ten minutes at most).
static int cmd_upload_wait_one(const char* id) {
    upload_entry last{};
    bool seen = false;
    for (int poll = 0; poll < UPLOAD_WAIT_POLLS; poll++) {
        if (poll) Sleep(1000);
        if (pipe_client_call("upload\top=status", g_reply, sizeof g_reply, 5000) != PIPE_CALL_OK ||
            !pipe_client_reply_ok(g_reply))
            break;
        upload_entry e;
        int listed = 0;
        bool here = false;
        for (; cmd_upload_item_get(g_reply, listed, &e); listed++)
            if (strcmp(e.id, id) == 0) {
                here = true;
                break;
            }
        if (here) {
            last = e;
            seen = true;
            if (strcmp(e.state, "done") == 0 || strcmp(e.state, "failed") == 0) break;
            continue;
        }
        // Gone from a complete list (the link went away): it will not come back.
        char items[16];
        pipe_client_reply_field_get_utf8(g_reply, "items", items, sizeof items);
        if (listed == atoi(items)) {
            seen = false;
            break;
        }
    }
    if (seen && strcmp(last.state, "done") == 0) {
        if (g_cli.json) {
            char url[sizeof last.url * 6 + 8];
            cli_json_escape_utf8(last.url, url, sizeof url);
            cli_out_printf("{\"id\":%s,\"state\":\"done\",\"url\":\"%s\"}\n", cmd_upload_json_number(id), url);
        } else {
            cli_out_printf("%s\n", last.url);
        }
        return CLI_EXIT_OK;
    }
    return cli_fail("upload_failed", CLI_EXIT_FAILED, "#%s %s", id,
                    !seen           ? "not found"
                    : last.error[0] ? last.error
                                    : last.state);
}

static int cmd_upload_files(int argc, wchar_t** argv) {
    bool wait = false;
    for (int i = 0; i < argc; i++)
        if (wcscmp(argv[i], L"--wait") == 0) wait = true;
    static char ids[UPLOAD_MAX_FILES][16];
    int count = 0;
    for (int i = 0; i < argc && count < UPLOAD_MAX_FILES; i++) {
        if (wcsncmp(argv[i], L"--", 2) == 0) continue;
        wchar_t full[260];
        DWORD n = GetFullPathNameW(argv[i], 260, full, nullptr);
        if (n == 0 || n >= 260) return cli_usage(nullptr, "bad path");
        char path[780], request[800];
        cli_utf8_from_wide(full, path, sizeof path);
        cli_format(request, sizeof request, "upload\top=add\tpath=%s", path);
        int rc = pipe_client_call_start(request, g_reply, sizeof g_reply, 5000);
        if (rc != CLI_EXIT_OK) return rc;
        if (!pipe_client_reply_ok(g_reply)) return cmd_upload_fail(g_reply);
        pipe_client_reply_field_get_utf8(g_reply, "id", ids[count], sizeof ids[count]);
        if (!wait) {
            if (g_cli.json)
                cli_out_printf("{\"id\":%s,\"state\":\"queued\"}\n", cmd_upload_json_number(ids[count]));
            else
                cli_out_printf("queued #%s %s\n", ids[count], path);
        }
        count++;
    }
    if (count == 0) return cli_usage(nullptr, "expects files, or status|retry|clear|mode");
    if (!wait) return CLI_EXIT_OK;
    int rc = CLI_EXIT_OK;
    for (int i = 0; i < count; i++)
        if (cmd_upload_wait_one(ids[i]) != CLI_EXIT_OK) rc = CLI_EXIT_FAILED;
    return rc;
}

int cmd_upload_command(int argc, wchar_t** argv) {
    const wchar_t* sub = argc > 0 ? argv[0] : L"status";
    if (wcscmp(sub, L"mode") == 0) return cmd_upload_mode_command(argc > 1 ? argv[1] : nullptr);
    if (wcscmp(sub, L"retry") == 0 || wcscmp(sub, L"clear") == 0) return cmd_upload_count_command(sub[0] == L'r');
    if (wcscmp(sub, L"status") == 0) return cmd_upload_status_command();
    return cmd_upload_files(argc, argv);
}
