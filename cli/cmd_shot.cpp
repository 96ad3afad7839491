#include "cli/cmd_shot.h"
#include "cli/cli.h"
#include "cli/pipe_client.h"
#include "cli/win_enum.h"
#include "common/config.h"
#include "common/config_schema.h"
#include "common/win.h"
#include <fcntl.h>
#include <io.h>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

// ---- Pure parts.

int cmd_shot_monitor_list_parse(const char* reply, monitor_entry* out, int capacity) {
    if (!reply || !pipe_client_reply_ok(reply) || (reply[2] != '\t' && reply[2] != 0)) return 0;
    int n = 0;
    const char* p = reply[2] ? reply + 3 : reply + 2;
    while (*p && n < capacity) {
        const char* end = strchr(p, '\t');
        size_t len = end ? (size_t)(end - p) : strlen(p);
        char field[256];
        size_t take = len < sizeof field - 1 ? len : sizeof field - 1;
        memcpy(field, p, take);
        field[take] = 0;
        int index;
        monitor_entry m = {};
        if (sscanf(field, "m%d=%d,%d,%d,%d,%d,%d,%63s", &index, &m.left, &m.top, &m.width, &m.height, &m.primary,
                   &m.dpi, m.name) == 8)
            out[n++] = m;
        p += len;
        if (*p == '\t') p++;
    }
    return n;
}

bool cmd_shot_monitor_bounds(const monitor_entry* m, int count, long long* left, long long* top, long long* right,
                             long long* bottom) {
    if (count <= 0) return false;
    long long l = m[0].left, t = m[0].top;
    long long r = l + m[0].width, b = t + m[0].height;
    for (int i = 1; i < count; i++) {
        if (m[i].left < l) l = m[i].left;
        if (m[i].top < t) t = m[i].top;
        if ((long long)m[i].left + m[i].width > r) r = (long long)m[i].left + m[i].width;
        if ((long long)m[i].top + m[i].height > b) b = (long long)m[i].top + m[i].height;
    }
    *left = l;
    *top = t;
    *right = r;
    *bottom = b;
    return true;
}

int cmd_shot_region_violations(long long x, long long y, long long w, long long h, long long left, long long top,
                               long long right, long long bottom, char* out, size_t capacity) {
    char list[512];
    size_t at = 0;
    int n = 0;
    list[0] = 0;
    // Four short items never fill the list; a cut would only shorten the text, never the count.
    auto add = [&](const char* fmt, long long a, long long b) {
        char item[96];
        snprintf(item, sizeof item, fmt, a, b);
        int k = snprintf(list + at, sizeof list - at, "%s%s", n++ ? "; " : "", item);
        if (k > 0) at = at + (size_t)k < sizeof list ? at + (size_t)k : sizeof list - 1;
    };
    if (x < left) add("left edge %lld < %lld", x, left);
    if (y < top) add("top edge %lld < %lld", y, top);
    if (x + w > right) add("right edge %lld > %lld", x + w, right);
    if (y + h > bottom) add("bottom edge %lld > %lld", y + h, bottom);
    if (capacity) snprintf(out, capacity, "%s", list);
    return n;
}

static long long cmd_shot_overlap(long long a0, long long a1, long long b0, long long b1) {
    long long lo = a0 > b0 ? a0 : b0, hi = a1 < b1 ? a1 : b1;
    return hi > lo ? hi - lo : 0;
}

int cmd_shot_region_evaluate(long x, long y, long w, long h, int screen, const monitor_entry* m, int count,
                             region_verdict* out) {
    region_verdict v = {};
    char list[512];
    if (w <= 0 || h <= 0) {
        v.code = "usage";
        v.exit_code = CLI_EXIT_USAGE;
        snprintf(v.message, sizeof v.message, "--region expects positive w,h (got %ldx%ld)", w, h);
    } else if (screen >= 0) {
        if (screen >= count) {
            v.code = "bad_screen";
            v.exit_code = CLI_EXIT_TARGET;
            snprintf(v.message, sizeof v.message, "screen %d does not exist (have 0..%d); run 'ivrac screens'", screen,
                     count - 1);
        } else {
            const monitor_entry& s = m[screen];
            if (cmd_shot_region_violations(x, y, w, h, 0, 0, s.width, s.height, list, sizeof list)) {
                v.code = "out_of_bounds";
                v.exit_code = CLI_EXIT_TARGET;
                snprintf(v.message, sizeof v.message, "region %ld,%ld %ldx%ld exceeds screen %d (%dx%d): %s", x, y, w,
                         h, screen, s.width, s.height, list);
            } else {
                v.left = x + s.left;
                v.top = y + s.top;
                v.right = v.left + w;
                v.bottom = v.top + h;
            }
        }
    } else {
        long long l = 0, t = 0, r = 0, b = 0;
        if (!cmd_shot_monitor_bounds(m, count, &l, &t, &r, &b)) {
            v.code = "no_coverage";
            v.exit_code = CLI_EXIT_TARGET;
            snprintf(v.message, sizeof v.message, "region covers no monitor; run 'ivrac screens'");
        } else if (cmd_shot_region_violations(x, y, w, h, l, t, r, b, list, sizeof list)) {
            v.code = "out_of_bounds";
            v.exit_code = CLI_EXIT_TARGET;
            snprintf(v.message, sizeof v.message,
                     "region %ld,%ld %ldx%ld outside virtual bounds (%ld,%ld)-(%ld,%ld): %s", x, y, w, h, (long)l,
                     (long)t, (long)r, (long)b, list);
        } else {
            long long covered = 0;
            for (int i = 0; i < count; i++)
                covered += cmd_shot_overlap(x, (long long)x + w, m[i].left, (long long)m[i].left + m[i].width) *
                           cmd_shot_overlap(y, (long long)y + h, m[i].top, (long long)m[i].top + m[i].height);
            if (covered == 0) {
                v.code = "no_coverage";
                v.exit_code = CLI_EXIT_TARGET;
                snprintf(v.message, sizeof v.message, "region covers no monitor; run 'ivrac screens'");
            } else {
                v.partial = covered < (long long)w * h;
                v.left = x;
                v.top = y;
                v.right = x + w;
                v.bottom = y + h;
            }
        }
    }
    *out = v;
    return v.exit_code;
}

// Whole text as a decimal (or, with hex, "0x" hexadecimal) number within [lo, hi].
static bool cmd_shot_read_number(const wchar_t* s, bool allow_sign, bool allow_hex, long long lo, long long hi,
                                 long long* out) {
    if (!s || !s[0]) return false;
    bool neg = false;
    if (allow_sign && (s[0] == L'-' || s[0] == L'+')) neg = *s++ == L'-';
    int base = 10;
    if (allow_hex && s[0] == L'0' && (s[1] == L'x' || s[1] == L'X')) {
        base = 16;
        s += 2;
    }
    if (!s[0]) return false;
    unsigned long long v = 0;
    for (; *s; s++) {
        int d;
        if (*s >= L'0' && *s <= L'9')
            d = *s - L'0';
        else if (base == 16 && *s >= L'a' && *s <= L'f')
            d = *s - L'a' + 10;
        else if (base == 16 && *s >= L'A' && *s <= L'F')
            d = *s - L'A' + 10;
        else
            return false;
        if (v > (ULLONG_MAX - (unsigned)d) / (unsigned)base) return false;
        v = v * (unsigned)base + (unsigned)d;
    }
    if (!neg && v > (unsigned long long)LLONG_MAX) {
        // Handles are unsigned 64-bit; only the hexadecimal form reaches past LLONG_MAX.
        if (hi != LLONG_MAX || lo < 0) return false;
        *out = (long long)v;
        return true;
    }
    long long r = neg ? -(long long)v : (long long)v;
    if (neg && v > (unsigned long long)LLONG_MAX) return false;
    if (r < lo || r > hi) return false;
    *out = r;
    return true;
}

static bool cmd_shot_read_region(const wchar_t* s, long v[4]) {
    wchar_t part[32];
    for (int i = 0; i < 4; i++) {
        const wchar_t* end = wcschr(s, L',');
        if ((i < 3) != (end != nullptr)) return false;
        size_t len = end ? (size_t)(end - s) : wcslen(s);
        if (len == 0 || len >= 32) return false;
        wmemcpy(part, s, len);
        part[len] = 0;
        long long n;
        if (!cmd_shot_read_number(part, true, false, LONG_MIN, LONG_MAX, &n)) return false;
        v[i] = (long)n;
        if (end) s = end + 1;
    }
    return true;
}

bool cmd_shot_parse_number(const wchar_t* s, bool allow_sign, bool allow_hex, long long lo, long long hi,
                           long long* out) {
    return cmd_shot_read_number(s, allow_sign, allow_hex, lo, hi, out);
}

bool cmd_shot_parse_region(const wchar_t* s, long v[4]) { return cmd_shot_read_region(s, v); }

static void cmd_shot_add_field(shot_options* o, int field, long value) {
    if (o->field_count < SHOT_FIELDS_MAX) o->fields[o->field_count++] = shot_field_use{field, value};
}

bool cmd_shot_parse_hwnd(const wchar_t* text, uint64_t* out) {
    if (!text) return false;
    long long n = 0;
    // The agent writes handles as 16 hexadecimal digits without a prefix; a
    // decimal handle never has that many digits with leading zeros.
    bool agent_form = wcslen(text) == 16 && wcsspn(text, L"0123456789abcdefABCDEF") == 16;
    if (agent_form) {
        wchar_t prefixed[19] = L"0x";
        wcscat(prefixed, text);
        if (!cmd_shot_read_number(prefixed, false, true, 1, LLONG_MAX, &n)) return false;
    } else if (!cmd_shot_read_number(text, false, true, 1, LLONG_MAX, &n)) {
        return false;
    }
    if (n == 0) return false;
    *out = (uint64_t)n;
    return true;
}

int cmd_shot_out_format(const wchar_t* path, int requested, int* format, char* msg, size_t capacity) {
    const wchar_t* name = path;
    for (const wchar_t* p = path; *p; p++)
        if (*p == L'\\' || *p == L'/') name = p + 1;
    const wchar_t* dot = wcsrchr(name, L'.');
    int from_ext = -1;
    if (dot && _wcsicmp(dot, L".png") == 0)
        from_ext = 0;
    else if (dot && (_wcsicmp(dot, L".jpg") == 0 || _wcsicmp(dot, L".jpeg") == 0))
        from_ext = 1;
    if (from_ext < 0) {
        cli_format(msg, capacity, "-o expects a file name ending in .png, .jpg or .jpeg");
        return CLI_EXIT_USAGE;
    }
    if (requested >= 0 && requested != from_ext) {
        char ext[64];
        cli_utf8_from_wide(dot, ext, sizeof ext);
        cli_format(msg, capacity, "-o names a %s file but --format asks for %s", ext, requested ? "jpg" : "png");
        return CLI_EXIT_USAGE;
    }
    *format = from_ext;
    return CLI_EXIT_OK;
}

int cmd_shot_target_option(int argc, wchar_t** argv, int* i, shot_target_options* t, char* msg, size_t capacity,
                           bool* hint) {
    const wchar_t* a = argv[*i];
    const wchar_t* val = *i + 1 < argc ? argv[*i + 1] : nullptr;
    shot_target_options o = *t;
    long long n = 0;
    auto fail = [&](const char* text) {
        cli_format(msg, capacity, "%s", text);
        return CLI_EXIT_USAGE;
    };
    int taken = 0;  // values read after the option
    if (wcscmp(a, L"--active") == 0) {
        o.window_kind = SHOT_WIN_ACTIVE;
    } else if (wcscmp(a, L"--window") == 0) {
        if (!val) return fail("--window expects a query");
        o.window_kind = SHOT_WIN_QUERY;
        o.win_enum_window_query = val;
        taken = 1;
    } else if (wcscmp(a, L"--hwnd") == 0) {
        uint64_t h = 0;
        if (!val || !cmd_shot_parse_hwnd(val, &h)) return fail("--hwnd expects a handle");
        o.window_kind = SHOT_WIN_HWND;
        o.hwnd = h;
        taken = 1;
    } else if (wcscmp(a, L"--pid") == 0) {
        if (!val || !cmd_shot_parse_number(val, false, false, 0, 0xFFFFFFFFLL, &n)) return fail("--pid expects a pid");
        o.window_kind = SHOT_WIN_PID;
        o.pid = (unsigned long)n;
        taken = 1;
    } else if (wcscmp(a, L"--screen") == 0 || wcscmp(a, L"--desktop") == 0) {
        if (!val || !cmd_shot_parse_number(val, false, false, 0, INT_MAX, &n)) return fail("--screen expects an index");
        o.screen = (int)n;
        taken = 1;
    } else if (wcscmp(a, L"--region") == 0) {
        long v[4];
        if (!val || !cmd_shot_parse_region(val, v)) return fail("--region expects x,y,w,h");
        o.has_region = true;
        o.rx = v[0];
        o.ry = v[1];
        o.rw = v[2];
        o.rh = v[3];
        taken = 1;
    } else if (wcscmp(a, L"--pick") == 0) {
        o.pick = true;
    } else if (wcscmp(a, L"-o") == 0) {
        if (!val || !val[0]) return fail("-o expects a path");
        o.out_path = val;
        taken = 1;
    } else if (wcscmp(a, L"--folder") == 0) {
        if (!val || !val[0]) {
            *hint = false;
            return fail("--folder expects a name or slot 1-9");
        }
        if (val[0] >= L'1' && val[0] <= L'9' && val[1] == 0) {
            o.folder_slot = val[0] - L'0';
            o.folder_name = nullptr;
        } else {
            wchar_t err[256];
            if (!folder_name_check(val, err, 256)) {
                char text[768];
                cli_utf8_from_wide(err, text, sizeof text);
                cli_format(msg, capacity, "--folder %s", text);
                *hint = false;
                return CLI_EXIT_USAGE;
            }
            o.folder_name = val;
            o.folder_slot = 0;
        }
        taken = 1;
    } else {
        return -1;
    }
    *t = o;
    *i += taken;
    return CLI_EXIT_OK;
}

int cmd_shot_parse(int argc, wchar_t** argv, shot_options* out, char* msg, size_t capacity, bool* hint) {
    shot_options o = {};
    o.screen = -1;
    o.format = -1;
    o.timeout_ms = 10000;
    *hint = true;
    auto fail = [&](const char* text) {
        cli_format(msg, capacity, "%s", text);
        return CLI_EXIT_USAGE;
    };
    for (int i = 0; i < argc; i++) {
        const wchar_t* a = argv[i];
        const wchar_t* val = i + 1 < argc ? argv[i + 1] : nullptr;
        long long n = 0;
        const int shared = cmd_shot_target_option(argc, argv, &i, &o, msg, capacity, hint);
        if (shared != -1) {
            if (shared != CLI_EXIT_OK) return shared;
        } else if (wcscmp(a, L"--stdout") == 0) {
            o.to_stdout = true;
        } else if (wcscmp(a, L"--occluded") == 0) {
            cmd_shot_add_field(&o, SHOT_FIELD_OCCLUDED, 1);
        } else if (wcscmp(a, L"--format") == 0) {
            int f;
            if (val && _wcsicmp(val, L"png") == 0)
                f = 0;
            else if (val && _wcsicmp(val, L"jpg") == 0)
                f = 1;
            else
                return fail("--format expects png or jpg");
            if (o.format < 0) o.format = f;
            cmd_shot_add_field(&o, SHOT_FIELD_FORMAT, f);
            i++;
        } else if (wcscmp(a, L"--quality") == 0) {
            if (!val || !cmd_shot_read_number(val, false, false, 1, 100, &n)) return fail("--quality expects 1-100");
            if (!o.quality) o.quality = (long)n;
            cmd_shot_add_field(&o, SHOT_FIELD_QUALITY, (long)n);
            i++;
        } else if (wcscmp(a, L"--silent") == 0) {
            cmd_shot_add_field(&o, SHOT_FIELD_SILENT, 1);
        } else if (wcscmp(a, L"--timeout") == 0) {
            if (!val || !cmd_shot_read_number(val, false, false, 1, LONG_MAX, &n)) return fail("--timeout expects ms");
            if (!o.timeout_given) o.timeout_ms = (long)n;
            o.timeout_given = true;
            cmd_shot_add_field(&o, SHOT_FIELD_TIMEOUT, (long)n);
            i++;
        } else {
            char text[64];
            cli_utf8_from_wide(a, text, sizeof text);
            return fail(text);
        }
    }
    *out = o;
    return CLI_EXIT_OK;
}

bool cmd_shot_append(char* out, size_t capacity, size_t* at, const char* fmt, ...) {
    if (*at >= capacity) return false;
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(out + *at, capacity - *at, fmt, ap);
    va_end(ap);
    if (n < 0 || (size_t)n >= capacity - *at) return false;
    *at += (size_t)n;
    return true;
}

bool cmd_shot_request_value(const wchar_t* text, char* out, size_t capacity) {
    for (const wchar_t* p = text; *p; p++)
        if (*p < 32 || *p == 127) return false;
    cli_utf8_from_wide(text, out, capacity);
    return true;
}

bool cmd_shot_append_dest(char* out, size_t capacity, size_t* at, const wchar_t* folder, const wchar_t* dir,
                          const wchar_t* out_path) {
    char value[1024];
    const struct {
        const char* key;
        const wchar_t* text;
    } fields[] = {{"folder", folder}, {"dir", dir}, {"out", out_path}};
    for (const auto& f : fields)
        if (f.text[0] && !(cmd_shot_request_value(f.text, value, sizeof value) &&
                           cmd_shot_append(out, capacity, at, "\t%s=%s", f.key, value)))
            return false;
    return true;
}

bool cmd_shot_request_build(const shot_options* o, const shot_plan* p, char* out, size_t capacity) {
    size_t at = 0;
    bool ok = cmd_shot_append(out, capacity, &at, "shot");
    for (int i = 0; ok && i < o->field_count; i++) {
        long v = o->fields[i].value;
        switch (o->fields[i].field) {
        case SHOT_FIELD_OCCLUDED: ok = cmd_shot_append(out, capacity, &at, "\toccluded=1"); break;
        case SHOT_FIELD_FORMAT: ok = cmd_shot_append(out, capacity, &at, "\tformat=%s", v == 1 ? "jpg" : "png"); break;
        case SHOT_FIELD_QUALITY: ok = cmd_shot_append(out, capacity, &at, "\tquality=%ld", v); break;
        case SHOT_FIELD_SILENT: ok = cmd_shot_append(out, capacity, &at, "\tsilent=1"); break;
        case SHOT_FIELD_TIMEOUT: ok = cmd_shot_append(out, capacity, &at, "\ttimeout_ms=%ld", v); break;
        }
    }
    // The file name's format, stated so the agent cannot pick another one from the configuration.
    if (ok && o->format < 0 && p->send_format)
        ok = cmd_shot_append(out, capacity, &at, "\tformat=%s", p->out_format == 1 ? "jpg" : "png");
    if (ok) {
        switch (p->kind) {
        case SHOT_PLAN_PICK: ok = cmd_shot_append(out, capacity, &at, "\ttarget=pick"); break;
        case SHOT_PLAN_WINDOW:
            ok = cmd_shot_append(out, capacity, &at, "\ttarget=window\thwnd=%llu", (unsigned long long)p->hwnd);
            break;
        case SHOT_PLAN_RECT:
            ok = cmd_shot_append(out, capacity, &at, "\ttarget=rect\trect=%ld,%ld,%ld,%ld", p->left, p->top, p->width,
                                 p->height);
            break;
        case SHOT_PLAN_MONITOR:
            ok = cmd_shot_append(out, capacity, &at, "\ttarget=monitor\tmonitor=%d", p->monitor);
            break;
        default: break;
        }
    }
    ok = ok && cmd_shot_append_dest(out, capacity, &at, p->folder, p->dir, p->out);
    if (ok && p->no_history) ok = cmd_shot_append(out, capacity, &at, "\thistory=0");
    if (!ok && capacity) out[0] = 0;
    return ok;
}

static long long cmd_shot_field_number(const char* reply, const char* key) {
    char v[64];
    pipe_client_reply_field_get_utf8(reply, key, v, sizeof v);
    return strtoll(v, nullptr, 10);
}

static void cmd_shot_field_escaped(const char* reply, const char* key, char* out, size_t capacity) {
    char v[1024];
    pipe_client_reply_field_get_utf8(reply, key, v, sizeof v);
    cli_json_escape_utf8(v, out, capacity);
}

bool cmd_shot_json_build(const char* reply, const shot_plan* p, char* out, size_t capacity) {
    char path[2048], target[512], text[2048];
    cmd_shot_field_escaped(reply, "path", path, sizeof path);
    cmd_shot_field_escaped(reply, "target", target, sizeof target);
    size_t at = 0;
    bool ok = cmd_shot_append(
        out, capacity, &at, "{\"path\":\"%s\",\"width\":%d,\"height\":%d,\"bytes\":%lld,\"ms\":%lld,\"target\":\"%s\"",
        path, (int)cmd_shot_field_number(reply, "width"), (int)cmd_shot_field_number(reply, "height"),
        cmd_shot_field_number(reply, "bytes"), cmd_shot_field_number(reply, "ms"), target);
    if (ok && p->json_screen >= 0) ok = cmd_shot_append(out, capacity, &at, ",\"screen\":%d", p->json_screen);
    if (ok && p->kind == SHOT_PLAN_RECT)
        ok = cmd_shot_append(out, capacity, &at, ",\"region\":{\"x\":%ld,\"y\":%ld,\"w\":%ld,\"h\":%ld}", p->left,
                             p->top, p->width, p->height);
    if (ok) {
        cmd_shot_field_escaped(reply, "folder", text, sizeof text);
        if (text[0]) ok = cmd_shot_append(out, capacity, &at, ",\"folder\":\"%s\"", text);
    }
    if (ok) {
        cmd_shot_field_escaped(reply, "dir", text, sizeof text);
        if (text[0]) ok = cmd_shot_append(out, capacity, &at, ",\"dir\":\"%s\"", text);
    }
    if (ok) {
        cmd_shot_field_escaped(reply, "warning", text, sizeof text);
        // Re-read as a number so the object stays valid JSON whatever the agent sent.
        long long free_mb = cmd_shot_field_number(reply, "free_mb");
        if (free_mb < 0) free_mb = 0;
        if (text[0]) ok = cmd_shot_append(out, capacity, &at, ",\"warning\":\"%s\",\"free_mb\":%lld", text, free_mb);
    }
    if (ok) ok = cmd_shot_append(out, capacity, &at, "}\n");
    if (!ok && capacity) out[0] = 0;
    return ok;
}

void cmd_shot_warning_lines(const char* reply, char* out, size_t capacity) {
    char warning[256], free_mb[64], drive[64];
    pipe_client_reply_field_get_utf8(reply, "warning", warning, sizeof warning);
    pipe_client_reply_field_get_utf8(reply, "free_mb", free_mb, sizeof free_mb);
    pipe_client_reply_field_get_utf8(reply, "drive", drive, sizeof drive);
    size_t at = 0;
    if (capacity) out[0] = 0;
    if (!warning[0]) return;
    if (strstr(warning, "low_space"))
        cmd_shot_append(out, capacity, &at, "ivrac shot: WARNING low disk space (%s MB free on %s)\n", free_mb, drive);
    if (strstr(warning, "ivra_big"))
        cmd_shot_append(out, capacity, &at, "ivrac shot: WARNING Ivra captures exceed warn_ivra_gb\n");
}

// ---- System parts.

int cmd_shot_monitor_list(monitor_set* out) {
    static char reply[8192];
    int rc = pipe_client_call_start("screens", reply, sizeof reply, 5000);
    if (rc != CLI_EXIT_OK) return rc;
    if (!pipe_client_reply_ok(reply)) {
        char msg[256];
        pipe_client_reply_field_get_utf8(reply, "msg", msg, sizeof msg);
        return cli_fail("capture_failed", CLI_EXIT_FAILED, "%s", msg[0] ? msg : "agent did not list its monitors");
    }
    out->count = cmd_shot_monitor_list_parse(reply, out->items, MONITOR_LIST_MAX);
    return CLI_EXIT_OK;
}

int cmd_shot_region_check(long x, long y, long w, long h, int screen, region_verdict* out) {
    region_verdict v;
    if (w <= 0 || h <= 0) {
        cmd_shot_region_evaluate(x, y, w, h, screen, nullptr, 0, &v);
        return cli_fail(v.code, v.exit_code, "%s", v.message);
    }
    static monitor_set monitors;
    int rc = cmd_shot_monitor_list(&monitors);
    if (rc != CLI_EXIT_OK) return rc;
    if (cmd_shot_region_evaluate(x, y, w, h, screen, monitors.items, monitors.count, &v) != CLI_EXIT_OK)
        return cli_fail(v.code, v.exit_code, "%s", v.message);
    if (v.partial) cli_note("region partially outside monitors; uncovered area will be black");
    *out = v;
    return CLI_EXIT_OK;
}

bool cmd_shot_out_path_problem(const wchar_t* path, char* why, size_t capacity) {
    wchar_t folder[260];
    wcsncpy(folder, path, 259);
    folder[259] = 0;
    wchar_t* slash = wcsrchr(folder, L'\\');
    if (slash) *(slash == folder + 2 && folder[1] == L':' ? slash + 1 : slash) = 0;
    char folder_utf8[800];
    cli_utf8_from_wide(folder, folder_utf8, sizeof folder_utf8);
    DWORD attr = slash ? GetFileAttributesW(folder) : INVALID_FILE_ATTRIBUTES;
    if (attr == INVALID_FILE_ATTRIBUTES || !(attr & FILE_ATTRIBUTE_DIRECTORY)) {
        cli_format(why, capacity, "the folder %s does not exist", folder_utf8);
        return true;
    }
    attr = GetFileAttributesW(path);
    if (attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY)) {
        cli_format(why, capacity, "it is a folder");
        return true;
    }
    if (attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_READONLY)) {
        cli_format(why, capacity, "the file is read-only");
        return true;
    }
    return false;
}

int cmd_shot_out_path_fail(const wchar_t* path, const char* why, const char* code) {
    char text[800];
    cli_utf8_from_wide(path, text, sizeof text);
    return cli_fail(code ? code : "bad_path", CLI_EXIT_FAILED, "cannot write %s: %s", text, why);
}

static int cmd_shot_resolve_window(const shot_options* o, uint64_t* hwnd) {
    switch (o->window_kind) {
    case SHOT_WIN_ACTIVE: return win_enum_window_active(hwnd);
    case SHOT_WIN_QUERY: return win_enum_window_query(o->win_enum_window_query, hwnd);
    case SHOT_WIN_PID: return win_enum_window_for_pid(o->pid, hwnd);
    default: *hwnd = o->hwnd; return CLI_EXIT_OK;
    }
}

// Copies the saved file to standard output and deletes it.
static int cmd_shot_write_to_stdout(const char* reply, const shot_plan* p) {
    wchar_t path[520];
    pipe_client_reply_field_get(reply, "path", path, 520);
    if (!path[0]) wcscpy(path, p->out);
    HANDLE f = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return cli_fail("capture_failed", CLI_EXIT_FAILED, "cannot read captured file");
    _setmode(_fileno(stdout), _O_BINARY);
    static char block[65536];
    DWORD got = 0;
    while (ReadFile(f, block, sizeof block, &got, nullptr) && got > 0) cli_out_write_bytes(block, got);
    CloseHandle(f);
    DeleteFileW(path);
    return CLI_EXIT_OK;
}

int cmd_shot_command(int argc, wchar_t** argv) {
    static shot_options o;
    char msg[1024];
    bool hint = true;
    if (cmd_shot_parse(argc, argv, &o, msg, sizeof msg, &hint) != CLI_EXIT_OK)
        return hint ? cli_usage(nullptr, msg) : cli_fail("usage", CLI_EXIT_USAGE, "%s", msg);

    static shot_plan plan;
    plan = shot_plan{};
    plan.json_screen = -1;
    if (o.folder_slot) {
        static config cfg;
        config_load(&cfg);
        const wchar_t* slot = cfg.folders[o.folder_slot - 1];
        if (!slot[0])
            return cli_fail("bad_folder", CLI_EXIT_TARGET,
                            "folder slot %d is not set; run 'ivrac config set folder%d <path>'", o.folder_slot,
                            o.folder_slot);
        wcsncpy(plan.dir, slot, 259);
    } else if (o.folder_name) {
        wcsncpy(plan.folder, o.folder_name, 63);
    }

    long timeout = o.timeout_ms;
    if (o.pick) {
        if (o.screen >= 0 || o.has_region || o.window_kind != SHOT_WIN_NONE)
            return cli_usage(nullptr, "--pick cannot be combined with other targets");
        plan.kind = SHOT_PLAN_PICK;
        if (!o.timeout_given) timeout = 60000;
    } else if (o.window_kind != SHOT_WIN_NONE) {
        if (o.screen >= 0 || o.has_region) cli_note("a window target wins; --screen and --region are ignored");
        int rc = cmd_shot_resolve_window(&o, &plan.hwnd);
        if (rc != CLI_EXIT_OK) return rc;
        plan.kind = SHOT_PLAN_WINDOW;
    } else if (o.has_region) {
        region_verdict v;
        int rc = cmd_shot_region_check(o.rx, o.ry, o.rw, o.rh, o.screen, &v);
        if (rc != CLI_EXIT_OK) return rc;
        plan.kind = SHOT_PLAN_RECT;
        plan.left = v.left;
        plan.top = v.top;
        plan.width = v.right - v.left;
        plan.height = v.bottom - v.top;
        plan.json_screen = o.screen;
    } else if (o.screen >= 0) {
        static monitor_set monitors;
        int rc = cmd_shot_monitor_list(&monitors);
        if (rc != CLI_EXIT_OK) return rc;
        if (o.screen >= monitors.count)
            return cli_fail("bad_screen", CLI_EXIT_TARGET, "screen %d does not exist (have 0..%d); run 'ivrac screens'",
                            o.screen, monitors.count - 1);
        plan.kind = SHOT_PLAN_MONITOR;
        plan.monitor = o.screen;
        plan.json_screen = o.screen;
    }

    if ((plan.folder[0] || plan.dir[0]) && o.out_path) return cli_usage(nullptr, "--folder cannot be combined with -o");
    if (o.out_path) {
        if (cmd_shot_out_format(o.out_path, o.format, &plan.out_format, msg, sizeof msg) != CLI_EXIT_OK)
            return cli_usage(nullptr, msg);
        plan.send_format = true;
        DWORD n = GetFullPathNameW(o.out_path, 260, plan.out, nullptr);
        if (n == 0 || n >= 260) {
            plan.out[0] = 0;
            return cli_usage(nullptr, "-o expects a path (at most 259 characters)");
        }
        // Caught here, before a capture is taken only to be lost.
        char why[512];
        if (cmd_shot_out_path_problem(plan.out, why, sizeof why)) return cmd_shot_out_path_fail(plan.out, why);
    } else if (o.to_stdout) {
        // The stand-in file is named after the format that will be written.
        if (o.format >= 0) {
            plan.out_format = o.format;
        } else {
            static config cfg;
            config_load(&cfg);
            plan.out_format = cfg.still_format == 1 ? 1 : 0;
        }
        plan.send_format = true;
        wchar_t temp[260];
        DWORD n = GetEnvironmentVariableW(L"TEMP", temp, 260);
        if (n == 0 || n >= 260) n = GetTempPathW(260, temp);
        if (n == 0 || n >= 260) return cli_fail("capture_failed", CLI_EXIT_FAILED, "no temporary folder");
        if (temp[n - 1] == L'\\') temp[n - 1] = 0;
        int w = _snwprintf(plan.out, 260, L"%ls\\ivra_%lu_%lu.%ls", temp, (unsigned long)GetCurrentProcessId(),
                           (unsigned long)GetTickCount(), plan.out_format == 1 ? L"jpg" : L"png");
        // The agent takes only absolute paths; a relative TEMP is made absolute here.
        wchar_t full[260];
        DWORD f = w < 0 || w >= 260 ? 0 : GetFullPathNameW(plan.out, 260, full, nullptr);
        if (f == 0 || f >= 260) return cli_fail("capture_failed", CLI_EXIT_FAILED, "temporary folder path is too long");
        wcscpy(plan.out, full);
    }
    // Image bytes sent to standard output are not a capture to find again with 'ivrac last'.
    plan.no_history = o.to_stdout;

    static char request[PIPE_REQUEST_MAX + 1], reply[4096];
    if (!cmd_shot_request_build(&o, &plan, request, sizeof request))
        return cli_usage(nullptr, "a path or folder name holds a control character");
    int rc = pipe_client_call_start(request, reply, sizeof reply, (unsigned long)timeout + 2000);
    if (rc != CLI_EXIT_OK) return rc;

    if (!pipe_client_reply_ok(reply)) {
        char code[64], message[256];
        pipe_client_reply_field_get_utf8(reply, "code", code, sizeof code);
        pipe_client_reply_field_get_utf8(reply, "msg", message, sizeof message);
        if (!code[0]) strcpy(code, "capture_failed");
        int exit_code = strcmp(code, "no_coverage") == 0 ? CLI_EXIT_TARGET : CLI_EXIT_FAILED;
        char why[512];
        if (strcmp(code, "encode") == 0 && o.out_path && plan.out[0]) {
            // The agent only knows the encoder failed; say which file and, when it shows, why.
            if (!cmd_shot_out_path_problem(plan.out, why, sizeof why))
                cli_format(why, sizeof why, "%s", message[0] ? message : "encode failed");
            return cmd_shot_out_path_fail(plan.out, why, code);
        }
        return cli_fail(code, exit_code, "%s", message[0] ? message : "capture failed");
    }
    char warnings[512];
    cmd_shot_warning_lines(reply, warnings, sizeof warnings);
    if (warnings[0]) cli_err_printf("%s", warnings);

    if (o.to_stdout) return cmd_shot_write_to_stdout(reply, &plan);
    if (g_cli.json) {
        static char json[8192];
        if (!cmd_shot_json_build(reply, &plan, json, sizeof json)) return cli_fail_too_large("shot");
        cli_out_write(json);
    } else {
        char path[1024];
        pipe_client_reply_field_get_utf8(reply, "path", path, sizeof path);
        cli_out_printf("%s\n", path);
    }
    return CLI_EXIT_OK;
}
