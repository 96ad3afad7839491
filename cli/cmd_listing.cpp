#include "cli/cmd_listing.h"
#include "cli/cli.h"
#include "cli/cmd_shot.h"
#include "cli/win_enum.h"
#include "common/win.h"
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

// ---- Pure parts.

// snprintf that reports the bytes actually kept.
static size_t cmd_listing_put(char* out, size_t capacity, const char* fmt, ...) CLI_PRINTF(3, 4);
static size_t cmd_listing_put(char* out, size_t capacity, const char* fmt, ...) {
    if (!capacity) return 0;
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(out, capacity, fmt, ap);
    va_end(ap);
    if (n < 0) {
        out[0] = 0;
        return 0;
    }
    return (size_t)n < capacity ? (size_t)n : capacity - 1;
}

size_t cmd_listing_windows_text_line(const win_entry* e, char* out, size_t capacity) {
    char geometry[64], exe[WIN_EXE_CHARS * 3], title[WIN_TITLE_CHARS * 3], rest[WIN_TITLE_CHARS * 3 + 8];
    snprintf(geometry, sizeof geometry, "%ldx%ld@%ld,%ld", e->right - e->left, e->bottom - e->top, e->left, e->top);
    win_enum_display_text(e->exe, exe, sizeof exe);
    win_enum_display_text(e->title, title, sizeof title);
    // Padded by characters, so a non-ASCII program name does not shift the title column.
    size_t at = cmd_listing_put(out, capacity, "0x%08x  %-6lu %-18s %-4s ", (unsigned)(e->hwnd & 0xFFFFFFFFu), e->pid,
                                geometry, win_enum_state_text(e->state, false));
    cli_pad_utf8(out, capacity, &at, exe, 18);
    snprintf(rest, sizeof rest, " \"%s\"\n", title);
    cli_pad_utf8(out, capacity, &at, rest, 0);
    return at;
}

size_t cmd_listing_windows_json_item(const win_entry* e, bool active, bool first, char* out, size_t capacity) {
    char exe[WIN_EXE_CHARS * 6 + 8], title[WIN_TITLE_CHARS * 6 + 8];
    cli_json_escape(e->exe, exe, sizeof exe);
    cli_json_escape(e->title, title, sizeof title);
    return cmd_listing_put(
        out, capacity,
        "%s{\"hwnd\":\"0x%llx\",\"pid\":%lu,\"exe\":\"%s\",\"title\":\"%s\",\"x\":%ld,\"y\":%ld,\"w\":%ld,"
        "\"h\":%ld,\"state\":\"%s\",\"active\":%s}",
        first ? "" : ",", (unsigned long long)e->hwnd, e->pid, exe, title, e->left, e->top, e->right - e->left,
        e->bottom - e->top, win_enum_state_text(e->state, true), active ? "true" : "false");
}

void cmd_listing_screens_text(const monitor_entry* m, int count, char* out, size_t capacity) {
    size_t at = 0;
    if (capacity) out[0] = 0;
    for (int i = 0; i < count; i++)
        at += cmd_listing_put(out + at, capacity - at, "#%d  %dx%d@%d,%d  %u dpi  %s  %s\n", i, m[i].width, m[i].height,
                              m[i].left, m[i].top, (unsigned)m[i].dpi, m[i].primary ? "primary" : "-", m[i].name);
    long long l, t, r, b;
    if (cmd_shot_monitor_bounds(m, count, &l, &t, &r, &b))
        cmd_listing_put(out + at, capacity - at, "virtual  %lldx%lld@%lld,%lld\n", r - l, b - t, l, t);
}

bool cmd_listing_screens_json(const monitor_entry* m, int count, char* out, size_t capacity) {
    size_t at = cmd_listing_put(out, capacity, "[");
    for (int i = 0; i < count; i++) {
        char name[MONITOR_NAME_BYTES * 6 + 8];
        cli_json_escape_utf8(m[i].name, name, sizeof name);
        at += cmd_listing_put(
            out + at, capacity - at,
            "%s{\"index\":%d,\"x\":%d,\"y\":%d,\"w\":%d,\"h\":%d,\"primary\":%s,\"dpi\":%d,\"name\":\"%s\"}",
            i ? "," : "", i, m[i].left, m[i].top, m[i].width, m[i].height, m[i].primary ? "true" : "false", m[i].dpi,
            name);
    }
    at += cmd_listing_put(out + at, capacity - at, "]\n");
    if (at + 1 < capacity) return true;
    if (capacity) out[0] = 0;
    return false;
}

long cmd_listing_last_count(int argc, wchar_t** argv) {
    for (int i = 0; i + 1 < argc; i++) {
        if (wcscmp(argv[i], L"-n") != 0) continue;
        long n = wcstol(argv[i + 1], nullptr, 10);
        return n < 2 ? 1 : n;
    }
    return 1;
}

long cmd_listing_last_visit(const char* text, size_t len, long count,
                            void (*visit)(const char* line, size_t len, void* ctx), void* ctx) {
    long seen = 0;
    size_t end = len;
    while (end > 0 && seen < count) {
        size_t start = end;
        while (start > 0 && text[start - 1] != '\n') start--;
        if (end > start) {
            visit(text + start, end - start, ctx);
            seen++;
        }
        end = start > 0 ? start - 1 : 0;
    }
    return seen;
}

// ---- Commands.

int cmd_listing_windows_command(int argc, wchar_t** argv) {
    bool all = false;
    for (int i = 0; i < argc; i++)
        if (wcscmp(argv[i], L"--all") == 0) all = true;
    win_list list = {};
    if (!win_enum_window_list(all, &list)) {
        // Nothing to show is still an answer: the listing cannot fail the command.
        cli_out_write(g_cli.json ? "[]\n" : "");
        return CLI_EXIT_OK;
    }
    uint64_t fg = (uint64_t)(uintptr_t)GetForegroundWindow();
    static char line[4096];
    if (g_cli.json) cli_out_write("[");
    for (int i = 0; i < list.count; i++) {
        const win_entry* e = &list.items[i];
        size_t n = g_cli.json ? cmd_listing_windows_json_item(e, e->hwnd == fg, i == 0, line, sizeof line)
                              : cmd_listing_windows_text_line(e, line, sizeof line);
        cli_out_write_bytes(line, n);
    }
    if (g_cli.json) cli_out_write("]\n");
    win_enum_list_destroy(&list);
    return CLI_EXIT_OK;
}

int cmd_listing_screens_command(int, wchar_t**) {
    static monitor_set monitors;
    int rc = cmd_shot_monitor_list(&monitors);
    if (rc != CLI_EXIT_OK) return rc;
    static char text[16384];
    if (g_cli.json) {
        if (!cmd_listing_screens_json(monitors.items, monitors.count, text, sizeof text))
            return cli_fail_too_large("screens");
    } else {
        cmd_listing_screens_text(monitors.items, monitors.count, text, sizeof text);
    }
    cli_out_write(text);
    return CLI_EXIT_OK;
}

struct last_output {
    bool json;
    bool first;
};

static void cmd_listing_last_print(const char* line, size_t len, void* ctx) {
    last_output* o = (last_output*)ctx;
    // The round trip through UTF-16 turns malformed bytes into U+FFFD, so the output is valid UTF-8.
    static wchar_t wide[520];
    static char utf8[1600], esc[3300];
    cli_wide_from_utf8(line, len, wide, 520);
    cli_utf8_from_wide(wide, utf8, sizeof utf8);
    if (o->json) {
        cli_json_escape_utf8(utf8, esc, sizeof esc);
        cli_out_printf("%s\"%s\"", o->first ? "" : ",", esc);
    } else {
        cli_out_printf("%s\n", utf8);
    }
    o->first = false;
}

int cmd_listing_last_command(int argc, wchar_t** argv) {
    long count = cmd_listing_last_count(argc, argv);
    wchar_t appdata[260], path[300];
    DWORD n = GetEnvironmentVariableW(L"APPDATA", appdata, 260);
    if (n == 0 || n >= 260) wcscpy(appdata, L".");
    _snwprintf(path, 300, L"%ls\\Ivra\\history.txt", appdata);
    path[299] = 0;
    char* text = nullptr;
    DWORD got = 0;
    HANDLE f = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f != INVALID_HANDLE_VALUE) {
        LARGE_INTEGER size;
        // The agent may append while this reads; what was there at the start is enough.
        if (GetFileSizeEx(f, &size) && size.QuadPart > 0 && size.QuadPart < 0x7FFFFFFF) {
            text = (char*)malloc((size_t)size.QuadPart);
            DWORD want = (DWORD)size.QuadPart, part = 0;
            while (text && got < want && ReadFile(f, text + got, want - got, &part, nullptr) && part > 0) got += part;
        }
        CloseHandle(f);
    }
    last_output o = {g_cli.json, true};
    if (o.json) cli_out_write("[");
    if (text) cmd_listing_last_visit(text, got, count, cmd_listing_last_print, &o);
    if (o.json) cli_out_write("]\n");
    free(text);
    return CLI_EXIT_OK;
}
