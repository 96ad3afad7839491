#include "common/log.h"
#include "common/text.h"
#include "common/win.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

const int LOG_OPEN_TRIES = 200;                  // about a second of retries on a refused open
const uint64_t LOG_ROTATE_BYTES = 16777216ull;   // rotate when larger than 16 MiB
const uint64_t LOG_REWRITE_LIMIT = 67108864ull;  // old logs of 64 MiB or more are left alone
const char* const REPL_PROFILE = "%USERPROFILE%";
const char* const REPL_USER = "<user>";
const char* const REPL_PC = "<pc>";

SRWLOCK g_log_lock = SRWLOCK_INIT;
bool g_paths_ready = false;
wchar_t g_log_path[260];
wchar_t g_old_path[260];
wchar_t g_marker_path[270];

INIT_ONCE g_rules_once = INIT_ONCE_STATIC_INIT;
log_rules g_rules;

thread_local char t_thread_name[24];

typedef HRESULT(WINAPI* set_thread_description_fn)(HANDLE, PCWSTR);
typedef HRESULT(WINAPI* get_thread_description_fn)(HANDLE, PWSTR*);

FARPROC log_kernel32_proc(const char* name) {
    HMODULE k32 = GetModuleHandleW(L"kernel32.dll");
    return k32 ? GetProcAddress(k32, name) : nullptr;
}

char log_lower(char c) { return (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c; }

bool log_word_byte(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c >= 0x80;
}

// ASCII-only case folding: the needles are UTF-8 or ANSI, and folding other bytes could split characters.
bool log_equal_nocase(const char* a, const char* b, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (log_lower(a[i]) != log_lower(b[i])) return false;
    return true;
}

bool log_is_path_separator(char c) {
    switch (c) {
    case '\\':
    case '/':
    case '"':
    case '\'':
    case '(':
    case ')':
    case '<':
    case '>':
    case ',':
    case ';':
    case '|':
    case '\r':
    case '\n':
    case '\t': return true;
    default: return false;
    }
}

void log_rules_add(log_rules* r, const wchar_t* value, const char* replacement, int whole_word, size_t min_len) {
    if (!value || !value[0]) return;
    const UINT pages[2] = {CP_UTF8, CP_ACP};
    for (UINT page : pages) {
        if (r->count >= LOG_RULE_MAX) return;
        char buf[LOG_NEEDLE_MAX];
        // A lossy ANSI form ("Jos?") names nobody and would scrub unrelated text.
        BOOL lossy = FALSE;
        int n = WideCharToMultiByte(page, page == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS, value, -1, buf, LOG_NEEDLE_MAX,
                                    nullptr, page == CP_UTF8 ? nullptr : &lossy);
        if (n <= 1 || lossy) continue;  // failed, too long, empty or lossy
        size_t len = (size_t)n - 1;
        if (len < min_len) continue;
        bool dup = false;
        for (int i = 0; i < r->count && !dup; ++i)
            dup = strlen(r->rules[i].needle) == len && log_equal_nocase(r->rules[i].needle, buf, len);
        if (dup) continue;
        log_rule* rule = &r->rules[r->count++];
        memcpy(rule->needle, buf, len + 1);
        rule->replacement = replacement;
        rule->whole_word = whole_word;
    }
}

BOOL CALLBACK log_rules_init(PINIT_ONCE, PVOID, PVOID*) {
    wchar_t profile[260];
    wchar_t profile_short[260];
    wchar_t user[260];
    wchar_t computer[MAX_COMPUTERNAME_LENGTH + 1];
    const wchar_t* p = nullptr;
    const wchar_t* ps = nullptr;
    const wchar_t* u = nullptr;
    const wchar_t* c = nullptr;

    DWORD n = GetEnvironmentVariableW(L"USERPROFILE", profile, 260);
    if (n >= 1 && n <= 259) {
        p = profile;
        DWORD s = GetShortPathNameW(profile, profile_short, 260);
        if (s > 0 && s < 260) ps = profile_short;
    }
    n = GetEnvironmentVariableW(L"USERNAME", user, 260);
    if (n >= 1 && n <= 259) u = user;
    DWORD cn = MAX_COMPUTERNAME_LENGTH + 1;
    if (GetComputerNameW(computer, &cn)) c = computer;

    log_rules_build(&g_rules, p, ps, u, c);
    return TRUE;
}

// Called with the log lock held.
void log_paths_init() {
    if (g_paths_ready) return;
    g_paths_ready = true;
    wchar_t base[260];
    DWORD n = GetEnvironmentVariableW(L"APPDATA", base, 260);
    if (n == 0 || n > 259) wcscpy(base, L".");
    wchar_t dir[270];
    _snwprintf(dir, 270, L"%ls\\Ivra", base);
    dir[269] = 0;
    CreateDirectoryW(dir, nullptr);
    _snwprintf(g_log_path, 260, L"%ls\\Ivra\\ivrad.log", base);
    g_log_path[259] = 0;
    _snwprintf(g_old_path, 260, L"%ls\\Ivra\\ivrad.1.log", base);
    g_old_path[259] = 0;
    _snwprintf(g_marker_path, 270, L"%ls.scrubbed", g_log_path);
    g_marker_path[269] = 0;
}

// Rewrites one log file through the scrubber; the original stays unless the whole copy was written.
void log_rewrite_file(const wchar_t* path) {
    HANDLE in = INVALID_HANDLE_VALUE, out = INVALID_HANDLE_VALUE;
    char* data = nullptr;
    wchar_t tmp[270];
    LARGE_INTEGER size;
    DWORD total = 0, got = 0, pos = 0;
    bool ok = false;

    in = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (in == INVALID_HANDLE_VALUE) goto done;
    if (!GetFileSizeEx(in, &size) || (uint64_t)size.QuadPart >= LOG_REWRITE_LIMIT) goto done;
    total = (DWORD)size.QuadPart;
    data = (char*)HeapAlloc(GetProcessHeap(), 0, total + 1);
    if (!data) goto done;
    if (total > 0 && (!ReadFile(in, data, total, &got, nullptr) || got != total)) goto done;
    CloseHandle(in);
    in = INVALID_HANDLE_VALUE;

    _snwprintf(tmp, 270, L"%ls.tmp", path);
    tmp[269] = 0;
    out = CreateFileW(tmp, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE) goto done;
    ok = true;
    while (ok && pos < total) {
        DWORD end = pos;
        while (end < total && data[end] != '\n') ++end;
        bool had_lf = end < total;
        DWORD line_len = (had_lf ? end + 1 : end) - pos;
        char line[LOG_SCRUB_WORK];
        size_t keep = line_len < LOG_SCRUB_WORK - 1 ? line_len : LOG_SCRUB_WORK - 1;
        memcpy(line, data + pos, keep);
        line[keep] = 0;
        log_scrub(line, LOG_SCRUB_WORK);
        size_t len = strlen(line);
        // A cut line keeps its line feed, so it never runs into the next one.
        if (had_lf && (len == 0 || line[len - 1] != '\n')) {
            if (len >= LOG_SCRUB_WORK - 1) len = LOG_SCRUB_WORK - 2;
            line[len++] = '\n';
            line[len] = 0;
        }
        DWORD put = 0;
        ok = WriteFile(out, line, (DWORD)len, &put, nullptr) && put == len;
        pos += line_len;
    }
    if (!CloseHandle(out)) ok = false;
    out = INVALID_HANDLE_VALUE;
    if (!ok || !MoveFileExW(tmp, path, MOVEFILE_REPLACE_EXISTING)) DeleteFileW(tmp);

done:
    if (out != INVALID_HANDLE_VALUE) CloseHandle(out);
    if (data) HeapFree(GetProcessHeap(), 0, data);
    if (in != INVALID_HANDLE_VALUE) CloseHandle(in);
}

}  // namespace

namespace {

// Appends text to the message, keeping the terminator and dropping what does not fit.
void log_put(char* out, size_t cap, size_t* len, const char* text, size_t n) {
    if (*len + 1 >= cap) return;
    size_t room = cap - 1 - *len;
    if (n > room) n = room;
    memcpy(out + *len, text, n);
    *len += n;
    out[*len] = 0;
}

// Copies one field width or precision into the conversion spec; true when it is
// "*", whose value the caller takes from the arguments.
bool log_spec_field(const char** p, char* spec, size_t* sl, size_t digits_cap) {
    if (**p == '*') {
        spec[(*sl)++] = '*';
        ++*p;
        return true;
    }
    while (**p >= '0' && **p <= '9') {
        if (*sl < digits_cap) spec[(*sl)++] = **p;
        ++*p;
    }
    return false;
}

}  // namespace

size_t log_vformat(char* out, size_t cap, const char* fmt, va_list args) {
    if (!out || cap == 0) return 0;
    out[0] = 0;
    size_t len = 0;
    if (!fmt) return 0;
    const char* p = fmt;
    while (*p) {
        if (*p != '%') {
            const char* lit = p;
            while (*p && *p != '%') ++p;
            log_put(out, cap, &len, lit, (size_t)(p - lit));
            continue;
        }
        if (p[1] == '%') {
            log_put(out, cap, &len, "%", 1);
            p += 2;
            continue;
        }
        // One conversion: rebuilt without its length modifier, then handed to snprintf with
        // an argument of the promoted type, so wide strings can be rendered as UTF-8 here.
        const char* start = p++;
        char spec[40];
        size_t sl = 0;
        spec[sl++] = '%';
        while (*p && strchr("-+ #0'", *p)) {
            if (sl < 20) spec[sl++] = *p;
            ++p;
        }
        int star[2];
        int stars = 0;
        if (log_spec_field(&p, spec, &sl, 24)) star[stars++] = va_arg(args, int);
        if (*p == '.') {
            spec[sl++] = '.';
            ++p;
            if (log_spec_field(&p, spec, &sl, 28)) star[stars++] = va_arg(args, int);
        }
        enum { LEN_NONE, LEN_HH, LEN_H, LEN_L, LEN_LL, LEN_Z, LEN_J, LEN_T, LEN_LD } mod = LEN_NONE;
        if (p[0] == 'h' && p[1] == 'h') {
            mod = LEN_HH;
            p += 2;
        } else if (p[0] == 'h') {
            mod = LEN_H;
            ++p;
        } else if (p[0] == 'l' && p[1] == 'l') {
            mod = LEN_LL;
            p += 2;
        } else if (p[0] == 'l') {
            mod = LEN_L;
            ++p;
        } else if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
            mod = LEN_LL;
            p += 3;
        } else if (p[0] == 'z') {
            mod = LEN_Z;
            ++p;
        } else if (p[0] == 'j') {
            mod = LEN_J;
            ++p;
        } else if (p[0] == 't') {
            mod = LEN_T;
            ++p;
        } else if (p[0] == 'L') {
            mod = LEN_LD;
            ++p;
        }
        char conv = *p;
        if (!conv) {
            log_put(out, cap, &len, start, strlen(start));
            break;
        }
        ++p;
        char piece[1024];
        piece[0] = 0;
        int w = stars > 0 ? star[0] : 0, pr = stars > 1 ? star[1] : 0;
#define LOG_PIECE(value)                                        \
    do {                                                        \
        spec[sl] = conv;                                        \
        spec[sl + 1] = 0;                                       \
        if (stars == 2)                                         \
            snprintf(piece, sizeof(piece), spec, w, pr, value); \
        else if (stars == 1)                                    \
            snprintf(piece, sizeof(piece), spec, w, value);     \
        else                                                    \
            snprintf(piece, sizeof(piece), spec, value);        \
    } while (0)
        bool wide_mod = mod == LEN_L;
        bool long_long = mod == LEN_LL || mod == LEN_J || mod == LEN_Z || mod == LEN_T;
        if (long_long) {
            spec[sl++] = 'l';
            spec[sl++] = 'l';
        } else if (wide_mod && conv != 's' && conv != 'c') {
            spec[sl++] = 'l';
        }
        switch (conv) {
        case 'd':
        case 'i':
            if (mod == LEN_Z || mod == LEN_T) {
                long long v = (long long)va_arg(args, ptrdiff_t);
                LOG_PIECE(v);
            } else if (long_long) {
                long long v = va_arg(args, long long);
                LOG_PIECE(v);
            } else if (wide_mod) {
                long v = va_arg(args, long);
                LOG_PIECE(v);
            } else {
                int v = va_arg(args, int);
                if (mod == LEN_HH) v = (signed char)v;
                if (mod == LEN_H) v = (short)v;
                LOG_PIECE(v);
            }
            break;
        case 'u':
        case 'o':
        case 'x':
        case 'X':
            if (mod == LEN_Z || mod == LEN_T) {
                unsigned long long v = va_arg(args, size_t);
                LOG_PIECE(v);
            } else if (long_long) {
                unsigned long long v = va_arg(args, unsigned long long);
                LOG_PIECE(v);
            } else if (wide_mod) {
                unsigned long v = va_arg(args, unsigned long);
                LOG_PIECE(v);
            } else {
                unsigned v = va_arg(args, unsigned);
                if (mod == LEN_HH) v = (unsigned char)v;
                if (mod == LEN_H) v = (unsigned short)v;
                LOG_PIECE(v);
            }
            break;
        case 'f':
        case 'F':
        case 'e':
        case 'E':
        case 'g':
        case 'G':
        case 'a':
        case 'A':
            if (mod == LEN_LD) {
                spec[sl++] = 'L';
                long double v = va_arg(args, long double);
                LOG_PIECE(v);
            } else {
                double v = va_arg(args, double);
                LOG_PIECE(v);
            }
            break;
        case 'p': {
            void* v = va_arg(args, void*);
            LOG_PIECE(v);
            break;
        }
        case 'c':
        case 'C':
            if (wide_mod || conv == 'C') {
                wchar_t wc[2] = {(wchar_t)va_arg(args, int), 0};
                char u8[8];
                if (WideCharToMultiByte(CP_UTF8, 0, wc, -1, u8, sizeof(u8), nullptr, nullptr) <= 0) u8[0] = 0;
                conv = 's';
                LOG_PIECE(u8);
            } else {
                int v = va_arg(args, int);
                LOG_PIECE(v);
            }
            break;
        case 's':
        case 'S':
            if (wide_mod || conv == 'S') {
                const wchar_t* ws = va_arg(args, const wchar_t*);
                char u8[1024];
                if (!ws) {
                    strcpy(u8, "(null)");
                } else {
                    // 340 UTF-16 units give at most 1020 bytes; a surrogate pair is never split.
                    size_t n = 0;
                    while (ws[n] && n < 340) ++n;
                    if (n > 0 && ws[n] && ws[n - 1] >= 0xD800 && ws[n - 1] <= 0xDBFF) --n;
                    int got = n ? WideCharToMultiByte(CP_UTF8, 0, ws, (int)n, u8, sizeof(u8) - 1, nullptr, nullptr) : 0;
                    u8[got > 0 ? got : 0] = 0;
                }
                conv = 's';
                LOG_PIECE(u8);
            } else {
                const char* v = va_arg(args, const char*);
                LOG_PIECE(v ? v : "(null)");
            }
            break;
        case 'n':
            (void)va_arg(args, void*);  // never writes through a caller's pointer
            break;
        default:
            // The argument's type is unknown, so nothing after this point can be read safely.
            log_put(out, cap, &len, start, strlen(start));
            return len;
        }
#undef LOG_PIECE
        log_put(out, cap, &len, piece, strlen(piece));
    }
    return len;
}

void log_rules_build(log_rules* out, const wchar_t* profile, const wchar_t* profile_short, const wchar_t* user_name,
                     const wchar_t* computer_name) {
    memset(out, 0, sizeof(*out));
    if (profile && profile[0] && wcslen(profile) <= 259) {
        log_rules_add(out, profile, REPL_PROFILE, 0, 4);
        if (profile_short && profile_short[0] && wcslen(profile_short) < 260)
            log_rules_add(out, profile_short, REPL_PROFILE, 0, 4);
        wchar_t slashed[260];
        wcscpy(slashed, profile);
        for (wchar_t* c = slashed; *c; ++c)
            if (*c == L'\\') *c = L'/';
        log_rules_add(out, slashed, REPL_PROFILE, 0, 4);
    }
    log_rules_add(out, user_name, REPL_USER, 1, 3);
    log_rules_add(out, computer_name, REPL_PC, 1, 3);
}

void log_scrub_with(const log_rules* rules, char* text, size_t capacity) {
    if (!text || capacity == 0) return;
    text[capacity - 1] = 0;

    // A recorded window's title names what the user had open; keep only the program form ("window of").
    static const char kRec[] = "recording window ";
    static const char kArrow[] = " -> ";
    static const char kRemoved[] = "(title removed)";
    char* rec = strstr(text, kRec);
    if (rec) {
        char* title = rec + sizeof(kRec) - 1;
        if (strncmp(title, "of ", 3) != 0) {
            char* arrow = strstr(title, kArrow);
            if (arrow) {
                size_t head = (size_t)(title - text);
                size_t tail = strlen(arrow) + 1;
                size_t removed = sizeof(kRemoved) - 1;
                if (head + removed + tail <= capacity) {
                    memmove(title + removed, arrow, tail);
                    memcpy(title, kRemoved, removed);
                }
            }
        }
    }

    char work[LOG_SCRUB_WORK];
    size_t out = 0;
    size_t i = 0;
    while (text[i] && out + 16 < LOG_SCRUB_WORK) {
        bool matched = false;
        for (int r = 0; rules && r < rules->count && !matched; ++r) {
            const log_rule* rule = &rules->rules[r];
            size_t n = strlen(rule->needle);
            if (n == 0) continue;
            // Comparisons stop at the text's terminator, so a needle running past the end never matches.
            bool eq;
            if (rule->whole_word) {
                eq = strncmp(text + i, rule->needle, n) == 0 &&
                     (i == 0 || !log_word_byte((unsigned char)text[i - 1])) &&
                     !log_word_byte((unsigned char)text[i + n]);
            } else {
                eq = true;
                for (size_t k = 0; k < n && eq; ++k)
                    eq = text[i + k] != 0 && log_lower(text[i + k]) == log_lower(rule->needle[k]);
            }
            if (!eq) continue;
            size_t rl = strlen(rule->replacement);
            if (out + rl > LOG_SCRUB_WORK - 1) break;
            memcpy(work + out, rule->replacement, rl);
            out += rl;
            i += n;
            matched = true;
        }
        if (matched) continue;

        char c = text[i];
        if ((c == '\\' || c == '/') && log_equal_nocase(text + i + 1, "users", 5) &&
            (text[i + 6] == '\\' || text[i + 6] == '/') && text[i + 7] != 0) {
            const char* seg = text + i + 7;
            size_t len = 0;
            while (len < 64 && seg[len] && !log_is_path_separator(seg[len])) ++len;
            // Only the shared profiles themselves are kept; "DefaultAppPool" or "Publicity" are user names.
            bool keep = len == 0 || (len == 7 && log_equal_nocase(seg, "Default", 7)) ||
                        (len == 6 && log_equal_nocase(seg, "Public", 6)) ||
                        (len >= 6 && log_equal_nocase(seg, "<user>", 6));
            if (!keep && out + 13 <= LOG_SCRUB_WORK - 1) {
                work[out++] = c;
                memcpy(work + out, "Users", 5);
                out += 5;
                work[out++] = text[i + 6];
                memcpy(work + out, "<user>", 6);
                out += 6;
                i += 7 + len;
                continue;
            }
        }
        work[out++] = c;
        ++i;
    }
    work[out] = 0;
    size_t copy = out < capacity - 1 ? out : capacity - 1;
    memcpy(text, work, copy);
    text[copy] = 0;
}

// Length of the well-formed UTF-8 sequence at p (at most n bytes available, p[0] >= 0x80),
// 0 when it is not one.
static size_t log_utf8_length(const unsigned char* p, size_t n) {
    unsigned long cp;
    size_t len = text_utf8_decode(p, n, &cp);
    return len > 1 ? len : 0;
}

size_t log_sanitize(const char* in, char* out, size_t cap) {
    if (cap == 0) return 0;
    size_t o = 0;
    size_t n = in ? strlen(in) : 0;
    for (size_t i = 0; i < n;) {
        const unsigned char* p = (const unsigned char*)in + i;
        char piece[8];
        size_t plen, step;
        if (*p < 0x20 || *p == 0x7F) {
            char e = *p == '\r' ? 'r' : *p == '\n' ? 'n' : *p == '\t' ? 't' : 0;
            plen = e ? (size_t)snprintf(piece, sizeof piece, "\\%c", e)
                     : (size_t)snprintf(piece, sizeof piece, "\\x%02X", *p);
            step = 1;
        } else if (*p < 0x80) {
            piece[0] = (char)*p;
            plen = step = 1;
        } else if ((step = log_utf8_length(p, n - i)) != 0) {
            memcpy(piece, p, step);
            plen = step;
        } else {
            memcpy(piece, "\xEF\xBF\xBD", 3);  // U+FFFD for each byte that starts no valid sequence
            plen = 3;
            step = 1;
        }
        if (o + plen > cap - 1) break;  // whole pieces only, so a cut never splits a character
        memcpy(out + o, piece, plen);
        o += plen;
        i += step;
    }
    out[o] = 0;
    return o;
}

void log_scrub(char* text, size_t capacity) {
    InitOnceExecuteOnce(&g_rules_once, log_rules_init, nullptr, nullptr);
    log_scrub_with(&g_rules, text, capacity);
}

size_t log_thread_label(const wchar_t* description, char out[24]) {
    if (!description) return 0;
    if (wcsncmp(description, L"ivra-", 5) == 0) description += 5;
    // At most 23 UTF-16 units can contribute to 23 bytes; convert those and cut at a character edge.
    wchar_t head[24];
    size_t n = 0;
    while (n < 23 && description[n]) {
        head[n] = description[n];
        ++n;
    }
    if (n > 0 && head[n - 1] >= 0xD800 && head[n - 1] <= 0xDBFF) --n;  // lone high surrogate
    head[n] = 0;
    if (n == 0) return 0;
    char buf[24 * 3 + 1];
    int got = WideCharToMultiByte(CP_UTF8, 0, head, -1, buf, (int)sizeof(buf), nullptr, nullptr);
    if (got <= 1) return 0;
    size_t len = (size_t)got - 1;
    if (len > 23) {
        len = 23;
        while (len > 0 && ((unsigned char)buf[len] & 0xC0) == 0x80) --len;
    }
    memcpy(out, buf, len);
    out[len] = 0;
    return len;
}

size_t log_format_line(char out[1400], int hour, int minute, int second, int millis, log_level level,
                       const char* thread, const char* message) {
    const char* tag = level == LOG_WARN ? "WARN" : level == LOG_ERROR ? "ERR " : "INFO";
    snprintf(out, 1400, "[%02d:%02d:%02d.%03d] %s [%s] %s\n", hour, minute, second, millis, tag, thread, message);
    out[1399] = 0;
    return strlen(out);
}


// Both programs append to this file, each opening it per line and alone: Wine does not
// keep two processes' appends whole, so a writer shares reading (and renaming, for the
// other's rotation) but not writing. An open refused because the other holds the file for
// its own line is tried again, for up to about a second, instead of losing the line.
static HANDLE log_open_append(const wchar_t* path) {
    for (int attempt = 0;; attempt++) {
        HANDLE f = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (f != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION || attempt >= LOG_OPEN_TRIES)
            return f;
        Sleep(5);
    }
}

void log_write(log_level level, const char* fmt, va_list args) {
    char message[1024];
    log_vformat(message, sizeof(message), fmt, args);
    log_scrub(message, sizeof(message));
    // Requests and window titles arrive in messages as they are: a control byte or a
    // broken sequence must not be able to start a line of its own or garble the file.
    char clean[1024];
    log_sanitize(message, clean, sizeof clean);

    SYSTEMTIME now;
    GetLocalTime(&now);

    char fallback[16];
    const char* thread = t_thread_name;
    if (!t_thread_name[0]) {
        static get_thread_description_fn get_desc =
            (get_thread_description_fn)log_kernel32_proc("GetThreadDescription");
        PWSTR desc = nullptr;
        if (get_desc && SUCCEEDED(get_desc(GetCurrentThread(), &desc)) && desc) {
            log_thread_label(desc, t_thread_name);
            LocalFree(desc);
        }
        if (!t_thread_name[0]) {
            snprintf(fallback, sizeof(fallback), "t%lu", GetCurrentThreadId());
            thread = fallback;
        }
    }

    char line[1400];
    size_t len = log_format_line(line, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds, level, thread, clean);
    OutputDebugStringA(line);

    AcquireSRWLockExclusive(&g_log_lock);
    log_paths_init();
    HANDLE f = log_open_append(g_log_path);
    if (f != INVALID_HANDLE_VALUE) {
        LARGE_INTEGER size;
        bool have_size = GetFileSizeEx(f, &size) != 0;
        DWORD put = 0;
        WriteFile(f, line, (DWORD)len, &put, nullptr);
        CloseHandle(f);
        if (have_size && (uint64_t)size.QuadPart > LOG_ROTATE_BYTES)
            MoveFileExW(g_log_path, g_old_path, MOVEFILE_REPLACE_EXISTING);
    }
    ReleaseSRWLockExclusive(&g_log_lock);
}

void log_info(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    log_write(LOG_INFO, fmt, args);
    va_end(args);
}

void log_warn(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    log_write(LOG_WARN, fmt, args);
    va_end(args);
}

void log_error(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    log_write(LOG_ERROR, fmt, args);
    va_end(args);
}

void log_scrub_old_files() {
    AcquireSRWLockExclusive(&g_log_lock);
    log_paths_init();
    if (GetFileAttributesW(g_marker_path) == INVALID_FILE_ATTRIBUTES) {
        log_rewrite_file(g_log_path);
        log_rewrite_file(g_old_path);
        HANDLE m = CreateFileW(g_marker_path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_HIDDEN, nullptr);
        if (m != INVALID_HANDLE_VALUE) CloseHandle(m);
    }
    ReleaseSRWLockExclusive(&g_log_lock);
}

void log_thread_name(const wchar_t* name) {
    static set_thread_description_fn set_desc = (set_thread_description_fn)log_kernel32_proc("SetThreadDescription");
    if (set_desc && name) set_desc(GetCurrentThread(), name);
    t_thread_name[0] = 0;
}
