#include "cli/cli.h"
#include "common/text.h"
#include "common/win.h"
#include <cstdio>
#include <cstring>
#include <cwchar>

cli_state g_cli = {false, false, L"ivrac"};

// ---- Pure helpers.

void cli_parse_args(int argc, wchar_t** argv, cli_args* out) {
    cli_args a = {};
    for (int i = 1; i < argc && a.count < CLI_MAX_POSITIONAL; i++) {
        const wchar_t* s = argv[i];
        if (!s) continue;
        if (wcscmp(s, L"--json") == 0)
            a.json = true;
        else if (wcscmp(s, L"-q") == 0 || wcscmp(s, L"--quiet") == 0)
            a.quiet = true;
        else if (wcscmp(s, L"-h") == 0 || wcscmp(s, L"--help") == 0)
            a.help = true;
        else if (wcscmp(s, L"--version") == 0)
            a.version = true;
        else
            a.positional[a.count++] = argv[i];
    }
    *out = a;
}

size_t cli_utf8_from_wide(const wchar_t* text, char* out, size_t capacity) {
    if (capacity == 0) return 0;
    size_t n = 0;
    for (size_t i = 0; text && text[i]; i++) {
        unsigned long cp = (unsigned short)text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + ((unsigned short)text[i + 1] - 0xDC00);
            i++;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        char b[4];
        size_t len;
        if (cp < 0x80) {
            b[0] = (char)cp;
            len = 1;
        } else if (cp < 0x800) {
            b[0] = (char)(0xC0 | (cp >> 6));
            b[1] = (char)(0x80 | (cp & 0x3F));
            len = 2;
        } else if (cp < 0x10000) {
            b[0] = (char)(0xE0 | (cp >> 12));
            b[1] = (char)(0x80 | ((cp >> 6) & 0x3F));
            b[2] = (char)(0x80 | (cp & 0x3F));
            len = 3;
        } else {
            b[0] = (char)(0xF0 | (cp >> 18));
            b[1] = (char)(0x80 | ((cp >> 12) & 0x3F));
            b[2] = (char)(0x80 | ((cp >> 6) & 0x3F));
            b[3] = (char)(0x80 | (cp & 0x3F));
            len = 4;
        }
        if (n + len > capacity - 1) break;
        memcpy(out + n, b, len);
        n += len;
    }
    out[n] = 0;
    return n;
}

size_t cli_wide_from_utf8(const char* text, size_t len, wchar_t* out, size_t capacity) {
    if (capacity == 0) return 0;
    size_t n = 0;
    if (text && len == (size_t)-1) len = strlen(text);
    const unsigned char* s = (const unsigned char*)text;
    for (size_t i = 0; text && i < len && s[i];) {
        unsigned long cp;
        size_t used = text_utf8_decode(s + i, len - i, &cp);
        size_t units = cp >= 0x10000 ? 2 : 1;
        if (n + units > capacity - 1) break;
        if (units == 2) {
            out[n++] = (wchar_t)(0xD800 + ((cp - 0x10000) >> 10));
            out[n++] = (wchar_t)(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            out[n++] = (wchar_t)cp;
        }
        i += used;
    }
    out[n] = 0;
    return n;
}

size_t cli_utf8_cut(const char* text, size_t len, size_t max_bytes) {
    size_t n = len < max_bytes ? len : max_bytes;
    // Find where the last character starts and keep it only when it is complete.
    size_t start = n;
    while (start > 0 && n - start < 4 && ((unsigned char)text[start - 1] & 0xC0) == 0x80) start--;
    if (start == 0 || !((unsigned char)text[start - 1] & 0x80)) return n;
    unsigned char lead = (unsigned char)text[start - 1];
    size_t want = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    return n - (start - 1) < want ? start - 1 : n;
}

size_t cli_json_escape_utf8(const char* text, char* out, size_t capacity) {
    if (capacity == 0) return 0;
    size_t n = 0;
    size_t limit = capacity > 8 ? capacity - 8 : 0;
    const unsigned char* s = (const unsigned char*)(text ? text : "");
    size_t len = strlen((const char*)s);
    for (size_t i = 0; i < len && n < limit;) {
        unsigned char c = s[i];
        if (c < 0x80) {
            if (c < 32)
                n += (size_t)snprintf(out + n, 7, "\\u%04x", c);
            else {
                if (c == '"' || c == '\\') out[n++] = '\\';
                out[n++] = (char)c;
            }
            i++;
            continue;
        }
        // A whole character or nothing, so a cut never leaves half of one; bytes
        // that do not form a character (an agent reply cut short) become U+FFFD.
        unsigned long cp;
        size_t used = text_utf8_decode(s + i, len - i, &cp);
        const unsigned char* from = s + i;
        size_t take = used;
        if (cp == 0xFFFD && !(used == 3 && s[i] == 0xEF && s[i + 1] == 0xBF && s[i + 2] == 0xBD)) {
            from = (const unsigned char*)"\xEF\xBF\xBD";
            take = 3;
        }
        if (n + take > limit) break;
        memcpy(out + n, from, take);
        n += take;
        i += used;
    }
    out[n] = 0;
    return n;
}

static size_t cli_format_cut(char* buf, size_t size, const char* fmt, va_list ap);

size_t cli_format(char* out, size_t capacity, const char* fmt, ...) {
    if (capacity == 0) return 0;
    va_list ap;
    va_start(ap, fmt);
    size_t len = cli_format_cut(out, capacity, fmt, ap);
    va_end(ap);
    return len;
}

void cli_blank_controls(wchar_t* text) {
    for (; text && *text; text++)
        if (*text < 0x20 || (*text >= 0x7F && *text <= 0x9F)) *text = L' ';
}

size_t cli_utf8_chars(const char* text) {
    size_t chars = 0;
    const unsigned char* s = (const unsigned char*)(text ? text : "");
    size_t len = strlen((const char*)s);
    for (size_t i = 0; i < len; chars++) {
        unsigned long cp;
        i += text_utf8_decode(s + i, len - i, &cp);
    }
    return chars;
}

void cli_pad_utf8(char* out, size_t capacity, size_t* at, const char* text, size_t width) {
    if (capacity == 0 || *at >= capacity) return;
    size_t room = capacity - 1 - *at;
    size_t len = strlen(text ? text : "");
    size_t take = cli_utf8_cut(text ? text : "", len, room);
    memcpy(out + *at, text, take);
    out[*at + take] = 0;
    size_t chars = cli_utf8_chars(out + *at);
    *at += take;
    for (; chars < width && *at + 1 < capacity; chars++) out[(*at)++] = ' ';
    out[*at] = 0;
}

size_t cli_json_escape(const wchar_t* text, char* out, size_t capacity) {
    static char utf8[4096];
    cli_utf8_from_wide(text, utf8, sizeof utf8);
    return cli_json_escape_utf8(utf8, out, capacity);
}

int cli_exit_for_code(const char* code) {
    static const struct {
        const char* code;
        int exit_code;
    } table[] = {
        {"usage", CLI_EXIT_USAGE},        {"agent_unavailable", CLI_EXIT_AGENT}, {"not_found", CLI_EXIT_TARGET},
        {"ambiguous", CLI_EXIT_TARGET},   {"bad_screen", CLI_EXIT_TARGET},       {"out_of_bounds", CLI_EXIT_TARGET},
        {"no_coverage", CLI_EXIT_TARGET}, {"bad_folder", CLI_EXIT_TARGET},       {"idle", CLI_EXIT_IDLE},
        {"busy", CLI_EXIT_IDLE},          {"replay_off", CLI_EXIT_IDLE},         {"not_linked", CLI_EXIT_NOT_LINKED},
    };
    if (!code) return CLI_EXIT_FAILED;
    for (const auto& row : table)
        if (strcmp(row.code, code) == 0) return row.exit_code;
    return CLI_EXIT_FAILED;
}

// ---- Output.

static void cli_write_handle(DWORD which, const void* data, size_t size) {
    HANDLE h = GetStdHandle(which);
    if (!h || h == INVALID_HANDLE_VALUE) return;
    const char* p = (const char*)data;
    while (size > 0) {
        DWORD chunk = size > 0x10000 ? 0x10000 : (DWORD)size, done = 0;
        if (!WriteFile(h, p, chunk, &done, nullptr) || done == 0) return;
        p += done;
        size -= done;
    }
}

// vsnprintf into buf[size]; a cut result is shortened to a character boundary.
static size_t cli_format_cut(char* buf, size_t size, const char* fmt, va_list ap) {
    int r = vsnprintf(buf, size, fmt, ap);
    buf[size - 1] = 0;
    size_t len = strlen(buf);
    // Some runtimes report a cut with -1; either way keep what fits, whole characters only.
    if (r < 0 || (size_t)r >= size) {
        len = cli_utf8_cut(buf, len, len);
        buf[len] = 0;
    }
    return len;
}

void cli_out_write(const char* text) {
    if (text) cli_write_handle(STD_OUTPUT_HANDLE, text, strlen(text));
}

void cli_out_write_bytes(const void* data, size_t size) { cli_write_handle(STD_OUTPUT_HANDLE, data, size); }

void cli_out_write_wide(const wchar_t* text) {
    static char buf[CLI_OUT_BUFFER];
    static wchar_t part[2001];
    if (!text) return;
    // Pieces of 2000 units convert to at most 6000 bytes; a surrogate pair is never split.
    const size_t piece = 2000;
    size_t len = wcslen(text);
    for (size_t at = 0; at < len;) {
        size_t take = len - at < piece ? len - at : piece;
        if (at + take < len && text[at + take - 1] >= 0xD800 && text[at + take - 1] <= 0xDBFF) take--;
        wmemcpy(part, text + at, take);
        part[take] = 0;
        cli_write_handle(STD_OUTPUT_HANDLE, buf, cli_utf8_from_wide(part, buf, sizeof buf));
        at += take;
    }
}

void cli_out_printf(const char* fmt, ...) {
    static char buf[CLI_OUT_BUFFER];
    va_list ap;
    va_start(ap, fmt);
    size_t n = cli_format_cut(buf, sizeof buf, fmt, ap);
    va_end(ap);
    cli_write_handle(STD_OUTPUT_HANDLE, buf, n);
}

void cli_err_printf(const char* fmt, ...) {
    static char buf[CLI_ERR_BUFFER];
    va_list ap;
    va_start(ap, fmt);
    size_t n = cli_format_cut(buf, sizeof buf, fmt, ap);
    va_end(ap);
    cli_write_handle(STD_ERROR_HANDLE, buf, n);
}

void cli_note(const char* fmt, ...) {
    if (g_cli.quiet) return;
    char buf[CLI_NOTE_BUFFER + 1];
    va_list ap;
    va_start(ap, fmt);
    size_t n = cli_format_cut(buf, CLI_NOTE_BUFFER, fmt, ap);
    va_end(ap);
    buf[n++] = '\n';
    cli_write_handle(STD_ERROR_HANDLE, buf, n);
}

// The current command word as UTF-8 of at most max_bytes bytes.
static void cli_command_utf8(const wchar_t* word, char* out, size_t max_bytes) {
    cli_utf8_from_wide(word ? word : g_cli.command, out, max_bytes + 1);
}

int cli_fail(const char* code, int exit_code, const char* fmt, ...) {
    char msg[CLI_FAIL_BUFFER];
    va_list ap;
    va_start(ap, fmt);
    cli_format_cut(msg, sizeof msg, fmt, ap);
    va_end(ap);
    char word[32];
    cli_command_utf8(nullptr, word, 31);
    cli_err_printf("ivrac %s: %s\n", word, msg);
    if (g_cli.json) {
        char esc_code[128], esc_msg[CLI_ESCAPE_BUFFER];
        cli_json_escape_utf8(code ? code : "", esc_code, sizeof esc_code);
        // Stop near 2039 bytes as the escape buffer allows; one escape always fits.
        cli_json_escape_utf8(msg, esc_msg, sizeof esc_msg);
        cli_out_printf("{\"error\":\"%s\",\"message\":\"%s\"}\n", esc_code, esc_msg);
    }
    return exit_code;
}

int cli_fail_too_large(const char* what) {
    return cli_fail("internal", CLI_EXIT_FAILED, "the %s answer is too large to print", what ? what : "command's");
}

int cli_usage(const wchar_t* command, const char* message) {
    cli_fail("usage", CLI_EXIT_USAGE, "%s", message);
    char word[32];
    cli_command_utf8(command, word, 31);
    cli_err_printf("Try 'ivrac %s --help'\n", word);
    return CLI_EXIT_USAGE;
}
