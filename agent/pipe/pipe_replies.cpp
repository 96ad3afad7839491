#include "agent/pipe/pipe_replies.h"
#include "agent/core/agent.h"
#include "agent/pipe/shot_job.h"
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwchar>

// ---------------------------------------------------------------- line building

void pipe_line_add(pipe_line* b, const char* fmt, ...) {
    if (b->cap < 2 || b->len >= b->cap - 1) return;
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(b->out + b->len, b->cap - b->len, fmt, ap);
    va_end(ap);
    if (n < 0) {
        b->out[b->len] = 0;
        return;
    }
    b->len += (size_t)n;
    if (b->len > b->cap - 1) b->len = b->cap - 1;
}

size_t pipe_line_end(pipe_line* b) {
    if (b->cap == 0) return 0;
    if (b->cap == 1) {
        b->out[0] = 0;
        return 0;
    }
    if (b->len > b->cap - 2) b->len = b->cap - 2;
    b->out[b->len++] = '\n';
    b->out[b->len] = 0;
    return b->len;
}

// ---------------------------------------------------------------- text

size_t pipe_utf8(const wchar_t* in, char* out, size_t cap, bool one_line) {
    if (!out || cap == 0) return 0;
    size_t len = 0;
    for (const wchar_t* p = in ? in : L""; *p; p++) {
        uint32_t c = (uint16_t)*p;
        if (c >= 0xD800 && c <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + ((uint16_t)p[1] - 0xDC00);
            p++;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (one_line && (c == '\t' || c == '\r' || c == '\n')) c = ' ';
        char enc[4];
        size_t n;
        if (c < 0x80) {
            enc[0] = (char)c;
            n = 1;
        } else if (c < 0x800) {
            enc[0] = (char)(0xC0 | (c >> 6));
            enc[1] = (char)(0x80 | (c & 0x3F));
            n = 2;
        } else if (c < 0x10000) {
            enc[0] = (char)(0xE0 | (c >> 12));
            enc[1] = (char)(0x80 | ((c >> 6) & 0x3F));
            enc[2] = (char)(0x80 | (c & 0x3F));
            n = 3;
        } else {
            enc[0] = (char)(0xF0 | (c >> 18));
            enc[1] = (char)(0x80 | ((c >> 12) & 0x3F));
            enc[2] = (char)(0x80 | ((c >> 6) & 0x3F));
            enc[3] = (char)(0x80 | (c & 0x3F));
            n = 4;
        }
        if (len + n > cap - 1) break;
        memcpy(out + len, enc, n);
        len += n;
    }
    out[len] = 0;
    return len;
}

int pipe_atoi(const char* text, size_t max_chars) {
    if (!text) return 0;
    size_t i = 0;
    while (i < max_chars && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) i++;
    bool negative = false;
    if (i < max_chars && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long long v = 0;
    for (; i < max_chars && text[i] >= '0' && text[i] <= '9'; i++) {
        v = v * 10 + (text[i] - '0');
        if (v > (long long)INT_MAX + 1) v = (long long)INT_MAX + 1;
    }
    if (negative) return v > INT_MAX ? INT_MIN : (int)-v;
    return v > INT_MAX ? INT_MAX : (int)v;
}

// ---------------------------------------------------------------- status

size_t pipe_hotkey_field(const char* key, const pipe_hotkey_line* hk, char* out, size_t cap) {
    if (!out || cap == 0) return 0;
    int n;
    if (!hk->assigned)
        n = snprintf(out, cap, "\t%s=%s:off", key, hk->text);
    else if (hk->registered)
        n = snprintf(out, cap, "\t%s=%s:ok", key, hk->text);
    else
        n = snprintf(out, cap, "\t%s=%s:failed(%lu)", key, hk->text, hk->error);
    if (n < 0) {
        out[0] = 0;
        return 0;
    }
    return (size_t)n < cap ? (size_t)n : cap - 1;
}

size_t pipe_status_format(const pipe_status_info* s, char* out, size_t cap) {
    pipe_line b{out, cap, 0};
    pipe_line_add(
        &b, "ok\tversion=%s\tpid=%lu\toutputs=%d\tstills_dir=%s\tclips_dir=%s\tuptime_s=%lld\tcaptures=%ld\thangs=%llu",
        AGENT_VERSION, s->pid, s->outputs, s->stills_dir, s->clips_dir, s->uptime_s, s->captures, s->hangs);
    for (int i = 0; i < HOTKEY_COUNT; i++) {
        char field[PIPE_HOTKEY_UTF8 + 64];
        pipe_hotkey_field(hotkey_actions[i].key, &s->hotkeys[i], field, sizeof field);
        pipe_line_add(&b, "%s", field);
    }
    static const char* const pools[PIPE_POOL_COUNT] = {"stills", "clips", "io", "pipe"};
    for (int i = 0; i < PIPE_POOL_COUNT; i++) {
        const pipe_pool_line& p = s->pools[i];
        pipe_line_add(&b, "\tpool_%s=%u,%u,%u,%llu,%llu,%.1f", pools[i], p.threads, p.depth, p.high_water,
                      (unsigned long long)p.completed, (unsigned long long)p.rejected, p.avg_ms);
    }
    pipe_line_add(&b, "\tmem_stills=%d,%llu,%llu\tmem_clips=%d,%llu,%llu", s->mem_stills.in_use,
                  (unsigned long long)s->mem_stills.committed, (unsigned long long)s->mem_stills.budget,
                  s->mem_clips.in_use, (unsigned long long)s->mem_clips.committed,
                  (unsigned long long)s->mem_clips.budget);
    pipe_line_add(&b, "\tmem_total=%llu\tmem_percent=%d", (unsigned long long)s->mem_total, s->mem_percent);
    return pipe_line_end(&b);
}

// ---------------------------------------------------------------- screens

size_t pipe_screens_format(const wchar_t* monitor_text, char* out, size_t cap) {
    // The monitor text separates its entries with tabs of its own: they are kept.
    static thread_local char text[PIPE_SCREENS_TEXT_MAX + 1];
    pipe_utf8(monitor_text, text, sizeof text, false);
    for (char* p = text; *p; p++)
        if (*p == '\r' || *p == '\n') *p = ' ';
    pipe_line b{out, cap, 0};
    pipe_line_add(&b, "ok\t%s", text);
    return pipe_line_end(&b);
}

// ---------------------------------------------------------------- input

const char* pipe_route_name(int route) {
    switch (route) {
    case PIPE_ROUTE_REGISTERED: return "registered";
    case PIPE_ROUTE_RAW: return "raw";
    case PIPE_ROUTE_HOOK: return "hook";
    default: return "none";
    }
}

const char* pipe_mouse_mode_name(int mode) {
    switch (mode) {
    case PIPE_MOUSE_NATIVE: return "native";
    case PIPE_MOUSE_RAW: return "raw";
    default: return "none";
    }
}

size_t pipe_input_format(const pipe_input_info* s, char* out, size_t cap) {
    char list[512];
    pipe_line l{list, sizeof list, 0};
    for (int i = 0; i < HOTKEY_COUNT; i++)
        pipe_line_add(&l, "\tregistered_%s=%d", hotkey_actions[i].name, s->registered[i] ? 1 : 0);

    char reason[sizeof s->mouse_reason];
    size_t n = strnlen(s->mouse_reason, sizeof reason - 1);
    memcpy(reason, s->mouse_reason, n);
    reason[n] = 0;
    for (char* p = reason; *p; p++)
        if (*p == '\t' || *p == '\r' || *p == '\n') *p = ' ';

    pipe_line b{out, cap, 0};
    pipe_line_add(&b,
                  "ok\trunning=%d\traw_enabled=%d\thook_enabled=%d\traw_ready=%d\thook_ready=%d\traw_error=%lu"
                  "\thook_error=%lu\tmouse_ready=%d\tmouse_error=%lu%s",
                  s->running, s->raw_enabled, s->hook_enabled, s->raw_ready, s->hook_ready, s->raw_error, s->hook_error,
                  s->mouse_ready, s->mouse_error, list);
    pipe_line_add(
        &b,
        "\tregistered_events=%llu\traw_events=%llu\thook_events=%llu\tregistered_activations=%llu"
        "\traw_activations=%llu\thook_activations=%llu\tduplicates=%llu\tstale=%llu\tblocked=%llu\tdropped=%llu",
        (unsigned long long)s->registered_events, (unsigned long long)s->raw_events, (unsigned long long)s->hook_events,
        (unsigned long long)s->registered_activations, (unsigned long long)s->raw_activations,
        (unsigned long long)s->hook_activations, (unsigned long long)s->duplicates, (unsigned long long)s->stale,
        (unsigned long long)s->blocked, (unsigned long long)s->dropped);
    pipe_line_add(
        &b,
        "\tlast_route=%s\tlast_action=%d\tsession_active=%d\tmouse_mode=%s\tmouse_reason=%s\tmouse_packets=%llu"
        "\tfocus_requested=%d\tfocus_owned=%d",
        pipe_route_name(s->last_route), s->last_action, s->session_active, pipe_mouse_mode_name(s->mouse_mode),
        reason[0] ? reason : "none", (unsigned long long)s->mouse_packets, s->focus_requested, s->focus_owned);
    return pipe_line_end(&b);
}

// ---------------------------------------------------------------- storage

long long pipe_storage_age(int64_t scanned_at, int64_t now, int64_t freq) {
    if (scanned_at == 0 || freq <= 0) return -1;
    if (now <= scanned_at) return 0;
    return (long long)((now - scanned_at) / freq);
}

size_t pipe_storage_format(const storage_totals* t, long long age_s, const storage_thresholds* th, bool stale,
                           char* out, size_t cap) {
    char drive[PIPE_DRIVE_UTF8];
    pipe_utf8(t->drive, drive, sizeof drive, true);
    pipe_line b{out, cap, 0};
    pipe_line_add(&b,
                  "ok\tdrive=%s\ttotal=%llu\tfree=%llu\tstills=%llu\tstills_n=%lu\tclips=%llu\tclips_n=%lu\tother=%llu"
                  "\tother_n=%lu\tivra=%llu\troots=%d\tage_s=%lld\tscan_ms=%d",
                  drive, (unsigned long long)t->drive_total, (unsigned long long)t->drive_free,
                  (unsigned long long)t->stills_bytes, (unsigned long)t->stills_count,
                  (unsigned long long)t->clips_bytes, (unsigned long)t->clips_count, (unsigned long long)t->other_bytes,
                  (unsigned long)t->other_count, (unsigned long long)t->ivra_bytes, t->roots, age_s, (int)t->scan_ms);
    pipe_line_add(&b, "\tlow_space=%d\tdisk_full=%d\tivra_big=%d\twarn_free_mb=%d\tstop_free_mb=%d\twarn_ivra_gb=%d%s",
                  t->low_space ? 1 : 0, t->disk_full ? 1 : 0, t->ivra_big ? 1 : 0, th->warn_free_mb, th->stop_free_mb,
                  th->warn_ivra_gb, stale ? "\tstale=1" : "");
    return pipe_line_end(&b);
}

// ---------------------------------------------------------------- shot

// One number as sscanf's %ld reads it: blanks, one sign, at least one digit. False
// when there is none or it leaves the 32-bit range.
static bool pipe_read_long(const char** pp, long long* out) {
    const char* p = *pp;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) p++;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    if (*p < '0' || *p > '9') return false;
    long long v = 0;
    for (; *p >= '0' && *p <= '9'; p++) {
        v = v * 10 + (*p - '0');
        if (v > (long long)INT_MAX + 1) return false;
    }
    if (negative) v = -v;
    if (v > INT_MAX || v < INT_MIN) return false;
    *out = v;
    *pp = p;
    return true;
}

bool pipe_parse_rect(const char* text, long* left, long* top, long* right, long* bottom) {
    if (!text) return false;
    char buf[64];
    size_t n = strnlen(text, sizeof buf - 1);
    memcpy(buf, text, n);
    buf[n] = 0;
    const char* p = buf;
    long long v[4];
    for (int i = 0; i < 4; i++) {
        if (i > 0) {
            if (*p != ',') return false;
            p++;
        }
        if (!pipe_read_long(&p, &v[i])) return false;
    }
    long long r = v[0] + v[2], b = v[1] + v[3];
    // A rectangle whose far edge wraps around would aim the capture somewhere else entirely.
    if (r > INT_MAX || r < INT_MIN || b > INT_MAX || b < INT_MIN) return false;
    *left = (long)v[0];
    *top = (long)v[1];
    *right = (long)r;
    *bottom = (long)b;
    return true;
}

bool pipe_parse_hwnd(const char* text, uint64_t* out) {
    if (!text) return false;
    const size_t max = 31;
    size_t i = 0;
    while (i < max && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) i++;
    if (i < max && text[i] == '+') i++;
    if (i >= max || text[i] < '0' || text[i] > '9') return false;
    uint64_t v = 0;
    for (; i < max && text[i] >= '0' && text[i] <= '9'; i++) {
        unsigned d = (unsigned)(text[i] - '0');
        if (v > (UINT64_MAX - d) / 10) return false;
        v = v * 10 + d;
    }
    if (v == 0) return false;
    *out = v;
    return true;
}

bool pipe_dir_absolute(const wchar_t* path) {
    if (!path) return false;
    wchar_t c = path[0];
    bool letter = (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
    if (letter && path[1] == L':' && path[2] == L'\\') return true;
    return path[0] == L'\\' && path[1] == L'\\';
}

// Copies at most max characters of [from, to) (or to the end when to is null) and converts them.
static void pipe_wide_part(const wchar_t* from, const wchar_t* to, size_t max, char* out, size_t cap) {
    wchar_t part[PIPE_ERR_MSG_MAX + 1];
    size_t whole = to ? (size_t)(to - from) : wcslen(from);
    size_t n = whole > max ? max : whole;
    // A surrogate pair cut in half would turn into a replacement character.
    if (n < whole && n > 0 && from[n - 1] >= 0xD800 && from[n - 1] <= 0xDBFF) n--;
    wmemcpy(part, from, n);
    part[n] = 0;
    pipe_utf8(part, out, cap, true);
}

void pipe_error_split(const wchar_t* error, char* code, size_t code_cap, char* msg, size_t msg_cap) {
    const wchar_t* e = error ? error : L"";
    const wchar_t* tab = wcschr(e, L'\t');
    pipe_wide_part(e, tab, PIPE_ERR_CODE_MAX, code, code_cap);
    if (code_cap > 0 && !code[0]) snprintf(code, code_cap, "internal");
    if (msg_cap == 0) return;
    msg[0] = 0;
    if (tab) {
        const wchar_t* m = wcsstr(tab + 1, L"msg=");
        if (m) pipe_wide_part(m + 4, nullptr, PIPE_ERR_MSG_MAX, msg, msg_cap);
    }
    if (!msg[0]) snprintf(msg, msg_cap, "failed");
}

size_t pipe_shot_format(const shot_job* job, char* out, size_t cap) {
    // The general path limit (about 260 characters) rather than a shorter cut, so the
    // reported path is always the file that was written.
    char path[780], target[400], folder[200], dir[PIPE_PATH_UTF8], warning[200], drive[PIPE_DRIVE_UTF8];
    pipe_utf8(job->path, path, sizeof path, true);
    pipe_utf8(job->target, target, sizeof target, true);
    pipe_line b{out, cap, 0};
    pipe_line_add(&b, "ok\tpath=%s\twidth=%d\theight=%d\tbytes=%lld\tms=%lld\ttarget=%s", path, job->width, job->height,
                  (long long)job->bytes, (long long)job->ms, target);
    if (job->folder[0]) {
        pipe_utf8(job->folder, folder, sizeof folder, true);
        pipe_line_add(&b, "\tfolder=%s", folder);
    }
    if (job->dir[0]) {
        pipe_utf8(job->dir, dir, sizeof dir, true);
        pipe_line_add(&b, "\tdir=%s", dir);
    }
    if (job->warning[0]) {
        pipe_utf8(job->warning, warning, sizeof warning, true);
        pipe_utf8(job->drive, drive, sizeof drive, true);
        pipe_line_add(&b, "\twarning=%s\tfree_mb=%llu\tdrive=%s", warning, (unsigned long long)job->free_mb, drive);
    }
    return pipe_line_end(&b);
}
