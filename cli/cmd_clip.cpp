#include "cli/cmd_clip.h"
#include "cli/cli.h"
#include "cli/cmd_config.h"
#include "cli/cmd_shot.h"
#include "cli/pipe_client.h"
#include "cli/win_enum.h"
#include "common/config.h"
#include "common/config_schema.h"
#include "common/hotkey_text.h"
#include "common/win.h"
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwchar>

const char* const cmd_clip_numeric_keys[] = {
    "session",    "width",     "height",          "fps",          "bytes",
    "seconds",    "frames",    "repeated",        "dropped",      "saved",
    "discarded",  "elapsed",   "limit",           "late",         "queue",
    "queue_high", "encode_ms", "finalizing",      "saved_total",  "last_seconds",
    "last_bytes", "visible",   "bar_inside",      "frame_inside", "excluded_from_capture",
    "audio",      "system",    "system_ok",       "system_level", "mic",
    "mic_ok",     "mic_level", "audio_underruns",
};
const int cmd_clip_numeric_count = (int)(sizeof cmd_clip_numeric_keys / sizeof cmd_clip_numeric_keys[0]);

const char* const cmd_replay_numeric_keys[] = {
    "session", "width", "height",    "fps",   "bytes",    "seconds",
    "frames",  "saved", "discarded", "audio", "repeated", "dropped",
};
const int cmd_replay_numeric_count = (int)(sizeof cmd_replay_numeric_keys / sizeof cmd_replay_numeric_keys[0]);

static const wchar_t* const clip_sub_words[] = {
    L"start", L"stop", L"pause", L"resume", L"toggle", L"redo", L"cancel", L"mic", L"system", L"status", L"ui",
};

// ---- Pure parts.

static void cmd_clip_add_field(cmd_clip_options* o, int field) {
    if (o->field_count < CMD_CLIP_FIELDS_MAX) o->fields[o->field_count++] = field;
}

int cmd_clip_parse(int argc, wchar_t** argv, cmd_clip_options* out, char* msg, size_t capacity, bool* hint) {
    cmd_clip_options o = {};
    o.screen = -1;
    o.audio_state = -1;
    *hint = true;
    auto fail = [&](const char* text) {
        cli_format(msg, capacity, "%s", text);
        return CLI_EXIT_USAGE;
    };
    auto fail_arg = [&](const wchar_t* arg) {
        char text[64];
        cli_utf8_from_wide(arg, text, sizeof text);
        return fail(text);
    };
    o.sub = -1;
    for (int i = 0; argc > 0 && i < (int)(sizeof clip_sub_words / sizeof clip_sub_words[0]); i++)
        if (wcscmp(argv[0], clip_sub_words[i]) == 0) o.sub = i;
    if (o.sub < 0) return fail("expects start|stop|pause|resume|toggle|redo|cancel|mic|system|status|ui");

    int i = 1;
    if ((o.sub == CMD_CLIP_MIC || o.sub == CMD_CLIP_SYSTEM) && i < argc && argv[i][0] != L'-') {
        if (wcscmp(argv[i], L"on") == 0)
            o.audio_state = 1;
        else if (wcscmp(argv[i], L"off") == 0)
            o.audio_state = 0;
        else if (wcscmp(argv[i], L"toggle") == 0)
            o.audio_state = -1;
        else
            return fail("mic/system expect on|off|toggle");
        i++;
    }
    bool start = o.sub == CMD_CLIP_START;
    for (; i < argc; i++) {
        const wchar_t* a = argv[i];
        const wchar_t* val = i + 1 < argc ? argv[i + 1] : nullptr;
        long long n = 0;
        int shared = -1;
        if (wcscmp(a, L"--wait") == 0) {
            o.wait = true;
        } else if (wcscmp(a, L"--silent") == 0) {
            cmd_clip_add_field(&o, CMD_CLIP_FIELD_SILENT);
        } else if (wcscmp(a, L"--no-bar") == 0) {
            cmd_clip_add_field(&o, CMD_CLIP_FIELD_NO_BAR);
        } else if (!start) {
            return fail_arg(a);
        } else if ((shared = cmd_shot_target_option(argc, argv, &i, &o, msg, capacity, hint)) != -1) {
            if (shared != CLI_EXIT_OK) return shared;
        } else if (wcscmp(a, L"--seconds") == 0) {
            if (!val || !cmd_shot_parse_number(val, false, false, 1, 30, &n)) return fail("--seconds expects 1-30");
            o.seconds = (int)n;
            i++;
        } else if (wcscmp(a, L"--mic") == 0) {
            cmd_clip_add_field(&o, CMD_CLIP_FIELD_MIC);
        } else if (wcscmp(a, L"--no-mic") == 0) {
            cmd_clip_add_field(&o, CMD_CLIP_FIELD_NO_MIC);
        } else if (wcscmp(a, L"--system") == 0) {
            cmd_clip_add_field(&o, CMD_CLIP_FIELD_SYSTEM);
        } else if (wcscmp(a, L"--no-system") == 0) {
            cmd_clip_add_field(&o, CMD_CLIP_FIELD_NO_SYSTEM);
        } else if (wcscmp(a, L"--no-audio") == 0) {
            cmd_clip_add_field(&o, CMD_CLIP_FIELD_NO_AUDIO);
        } else {
            return fail_arg(a);
        }
    }
    *out = o;
    return CLI_EXIT_OK;
}

int cmd_clip_target_count(const cmd_clip_options* o) {
    int n = 0;
    if (o->window_kind != SHOT_WIN_NONE) n++;
    if (o->pick) n++;
    if (o->has_region) n++;
    if (o->screen >= 0 && !o->has_region) n++;
    return n;
}

bool cmd_clip_request_build(const cmd_clip_options* o, const cmd_clip_plan* p, char* out, size_t capacity) {
    size_t at = 0;
    char word[16];
    cli_utf8_from_wide(clip_sub_words[o->sub], word, sizeof word);
    bool ok = cmd_shot_append(out, capacity, &at, "clip\top=%s", word);
    if (ok && (o->sub == CMD_CLIP_MIC || o->sub == CMD_CLIP_SYSTEM) && o->audio_state >= 0)
        ok = cmd_shot_append(out, capacity, &at, "\ton=%d", o->audio_state);
    static const char* const field_text[] = {"\tsilent=1", "\tbar=0",    "\tmic=1",  "\tmic=0",
                                             "\tsystem=1", "\tsystem=0", "\taudio=0"};
    for (int i = 0; ok && i < o->field_count; i++)
        ok = cmd_shot_append(out, capacity, &at, "%s", field_text[o->fields[i]]);
    if (ok && o->sub == CMD_CLIP_START) {
        switch (p->target) {
        case CMD_CLIP_TARGET_PICK: ok = cmd_shot_append(out, capacity, &at, "\ttarget=pick"); break;
        case CMD_CLIP_TARGET_WINDOW:
            ok = cmd_shot_append(out, capacity, &at, "\ttarget=window\thwnd=%llu", (unsigned long long)p->hwnd);
            break;
        case CMD_CLIP_TARGET_MONITOR:
            ok = cmd_shot_append(out, capacity, &at, "\ttarget=monitor\tmonitor=%d", p->monitor);
            break;
        case CMD_CLIP_TARGET_RECT:
            ok = cmd_shot_append(out, capacity, &at, "\ttarget=rect\trect=%ld,%ld,%ld,%ld", p->left, p->top, p->width,
                                 p->height);
            break;
        default: break;
        }
        if (ok && o->seconds > 0) ok = cmd_shot_append(out, capacity, &at, "\tseconds=%d", o->seconds);
        ok = ok && cmd_shot_append_dest(out, capacity, &at, p->folder, p->dir, p->out);
    }
    if (ok && o->wait) ok = cmd_shot_append(out, capacity, &at, "\twait=1");
    if (!ok && capacity) out[0] = 0;
    return ok;
}

unsigned long cmd_clip_timeout_ms(const cmd_clip_options* o) {
    bool pick = o->sub == CMD_CLIP_START && o->pick;
    unsigned long extra = pick ? 130000UL : 20000UL;
    if (!o->wait) return extra;
    unsigned long base = o->seconds > 0 ? (unsigned long)o->seconds * 1000UL + 95000UL : 125000UL;
    return base + extra;
}

int cmd_clip_exit_for(const char* code) {
    if (strcmp(code, "idle") == 0 || strcmp(code, "busy") == 0) return CLI_EXIT_IDLE;
    if (strcmp(code, "not_found") == 0 || strcmp(code, "bad_screen") == 0 || strcmp(code, "no_coverage") == 0)
        return CLI_EXIT_TARGET;
    return CLI_EXIT_FAILED;
}

// True when text is a JSON number, so it can stand unquoted in the object.
static bool cmd_clip_json_number(const char* s) {
    const char* p = s;
    if (*p == '-') p++;
    if (*p == '0')
        p++;
    else if (*p >= '1' && *p <= '9')
        while (*p >= '0' && *p <= '9') p++;
    else
        return false;
    if (*p == '.') {
        p++;
        if (!(*p >= '0' && *p <= '9')) return false;
        while (*p >= '0' && *p <= '9') p++;
    }
    if (*p == 'e' || *p == 'E') {
        p++;
        if (*p == '+' || *p == '-') p++;
        if (!(*p >= '0' && *p <= '9')) return false;
        while (*p >= '0' && *p <= '9') p++;
    }
    return *p == 0;
}

static bool cmd_clip_is_numeric_key(const char* key, const char* const* keys, int count) {
    for (int i = 0; i < count; i++)
        if (strcmp(key, keys[i]) == 0) return true;
    return false;
}

bool cmd_clip_print_reply_build(const char* reply, const char* const* numeric_keys, int numeric_count, bool json,
                                char* out, size_t capacity) {
    size_t at = 0;
    bool ok = capacity > 0, first = true;
    if (ok) out[0] = 0;
    if (json) ok = cmd_shot_append(out, capacity, &at, "{");
    const char* p = reply ? reply : "";
    while (ok && *p) {
        size_t len = strcspn(p, "\t\n");
        const char* eq = (const char*)memchr(p, '=', len);
        if (eq) {
            static char key[256], value[1040], key_json[64], value_json[1040];
            size_t klen = (size_t)(eq - p), vlen = len - klen - 1;
            klen = cli_utf8_cut(p, klen, sizeof key - 1);
            memcpy(key, p, klen);
            key[klen] = 0;
            vlen = cli_utf8_cut(eq + 1, vlen, sizeof value - 1);
            memcpy(value, eq + 1, vlen);
            value[vlen] = 0;
            if (!json) {
                ok = cmd_shot_append(out, capacity, &at, "%-14s %s\n", key, value);
            } else {
                cli_json_escape_utf8(key, key_json, sizeof key_json);
                bool number = value[0] && cmd_clip_is_numeric_key(key, numeric_keys, numeric_count) &&
                              cmd_clip_json_number(value);
                if (number) {
                    ok = cmd_shot_append(out, capacity, &at, "%s\"%s\":%s", first ? "" : ",", key_json, value);
                } else {
                    cli_json_escape_utf8(value, value_json, sizeof value_json);
                    ok = cmd_shot_append(out, capacity, &at, "%s\"%s\":\"%s\"", first ? "" : ",", key_json, value_json);
                }
            }
            first = false;
        }
        p += len;
        if (*p) p++;
    }
    if (ok && json) ok = cmd_shot_append(out, capacity, &at, "}\n");
    if (!ok && capacity) out[0] = 0;
    return ok;
}

int cmd_clip_replay_save_parse(int argc, wchar_t** argv, cmd_replay_save_options* out, char* msg, size_t capacity) {
    cmd_replay_save_options o = {};
    for (int i = 0; i < argc; i++) {
        const wchar_t* a = argv[i];
        const wchar_t* val = i + 1 < argc ? argv[i + 1] : nullptr;
        long long n = 0;
        if (wcscmp(a, L"--wait") == 0) {
            o.wait = true;
        } else if (wcscmp(a, L"--silent") == 0) {
            o.silent = true;
        } else if (wcscmp(a, L"--seconds") == 0) {
            if (!val || !cmd_shot_parse_number(val, false, false, 1, 30, &n)) {
                cli_format(msg, capacity, "--seconds expects 1-30");
                return CLI_EXIT_USAGE;
            }
            o.seconds = (int)n;
            i++;
        } else if (wcscmp(a, L"-o") == 0) {
            if (!val || !val[0]) {
                cli_format(msg, capacity, "-o expects a path");
                return CLI_EXIT_USAGE;
            }
            o.out_path = val;
            i++;
        } else {
            char text[64];
            cli_utf8_from_wide(a, text, sizeof text);
            cli_format(msg, capacity, "%s", text);
            return CLI_EXIT_USAGE;
        }
    }
    *out = o;
    return CLI_EXIT_OK;
}

bool cmd_clip_replay_save_request(const cmd_replay_save_options* o, const wchar_t* out_abs, char* out,
                                  size_t capacity) {
    size_t at = 0;
    bool ok = cmd_shot_append(out, capacity, &at, "clip\top=replay_save");
    if (ok && o->wait) ok = cmd_shot_append(out, capacity, &at, "\twait=1");
    if (ok && o->silent) ok = cmd_shot_append(out, capacity, &at, "\tsilent=1");
    if (ok && o->seconds > 0) ok = cmd_shot_append(out, capacity, &at, "\tseconds=%d", o->seconds);
    char value[1024];
    if (ok && out_abs && out_abs[0])
        ok = cmd_shot_request_value(out_abs, value, sizeof value) &&
             cmd_shot_append(out, capacity, &at, "\tout=%s", value);
    if (!ok && capacity) out[0] = 0;
    return ok;
}

bool cmd_clip_replay_status_build(const char* reply, bool enabled, const char* hotkey, bool json, char* out,
                                  size_t capacity) {
    static const char* const keys[] = {"replay_width", "replay_height", "replay_fps", "replay_buffered",
                                       "replay_saves"};
    char num[5][64], replay[16], err[1024];
    for (int i = 0; i < 5; i++) {
        pipe_client_reply_field_get_utf8(reply, keys[i], num[i], sizeof num[i]);
        // A value that is not a number would break the JSON object.
        if (!cmd_clip_json_number(num[i])) strcpy(num[i], "0");
    }
    pipe_client_reply_field_get_utf8(reply, "replay", replay, sizeof replay);
    pipe_client_reply_field_get_utf8(reply, "replay_err", err, sizeof err);
    bool buffering = strcmp(replay, "1") == 0;
    size_t at = 0;
    bool ok;
    if (json) {
        char hotkey_json[512], err_json[2048];
        cli_json_escape_utf8(hotkey ? hotkey : "", hotkey_json, sizeof hotkey_json);
        cli_json_escape_utf8(err, err_json, sizeof err_json);
        ok = cmd_shot_append(
            out, capacity, &at,
            "{\"enabled\":%s,\"buffering\":%s,\"width\":%s,\"height\":%s,\"fps\":%s,\"buffered_seconds\":%s,"
            "\"saves\":%s,\"hotkey\":\"%s\",\"error\":\"%s\"}\n",
            enabled ? "true" : "false", buffering ? "true" : "false", num[0], num[1], num[2], num[3], num[4],
            hotkey_json, err_json);
    } else {
        ok = cmd_shot_append(out, capacity, &at, "enabled        %s\nbuffering      %s\n", enabled ? "yes" : "no",
                             buffering ? "yes" : "no");
        if (ok && buffering)
            ok = cmd_shot_append(out, capacity, &at, "source         %sx%s @ %s fps, %s s buffered\n", num[0], num[1],
                                 num[2], num[3]);
        if (ok)
            ok = cmd_shot_append(out, capacity, &at, "hotkey         %s\nsaves          %s\n", hotkey ? hotkey : "",
                                 num[4]);
        if (ok && err[0]) ok = cmd_shot_append(out, capacity, &at, "error          %s\n", err);
    }
    if (!ok && capacity) out[0] = 0;
    return ok;
}

// ---- Output and commands.

void cmd_clip_print_reply(const char* reply, const char* const* numeric_keys, int numeric_count) {
    static char text[65536];
    if (!cmd_clip_print_reply_build(reply, numeric_keys, numeric_count, g_cli.json, text, sizeof text)) {
        cli_fail_too_large(nullptr);
        return;
    }
    cli_out_write(text);
}

static int cmd_clip_resolve_window(const cmd_clip_options* o, uint64_t* hwnd) {
    switch (o->window_kind) {
    case SHOT_WIN_ACTIVE: return win_enum_window_active(hwnd);
    case SHOT_WIN_QUERY: return win_enum_window_query(o->win_enum_window_query, hwnd);
    case SHOT_WIN_PID: return win_enum_window_for_pid(o->pid, hwnd);
    default: *hwnd = o->hwnd; return CLI_EXIT_OK;
    }
}

// The target and destination of "clip start"; prints any failure. Returns the exit code.
static int cmd_clip_plan_start(const cmd_clip_options* o, cmd_clip_plan* plan) {
    if (cmd_clip_target_count(o) > 1)
        return cli_usage(nullptr, "use one of --pick, --screen, --region, --window/--hwnd/--pid/--active");
    if ((o->folder_name || o->folder_slot) && o->out_path)
        return cli_usage(nullptr, "--folder cannot be combined with -o");
    if (o->folder_slot) {
        static config cfg;
        config_load(&cfg);
        const wchar_t* slot = cfg.folders[o->folder_slot - 1];
        if (!slot[0])
            return cli_fail("bad_folder", CLI_EXIT_TARGET,
                            "folder slot %d is not set; run 'ivrac config set folder%d <path>'", o->folder_slot,
                            o->folder_slot);
        wcsncpy(plan->dir, slot, 259);
    } else if (o->folder_name) {
        wcsncpy(plan->folder, o->folder_name, 63);
    }
    if (o->out_path) {
        DWORD n = GetFullPathNameW(o->out_path, 260, plan->out, nullptr);
        if (n == 0 || n >= 260) {
            plan->out[0] = 0;
            return cli_usage(nullptr, "-o expects a path (at most 259 characters)");
        }
        // Caught here, before a recording is made only to be lost when it is finished.
        char why[512];
        if (cmd_shot_out_path_problem(plan->out, why, sizeof why)) return cmd_shot_out_path_fail(plan->out, why);
    }
    if (o->pick) {
        plan->target = CMD_CLIP_TARGET_PICK;
    } else if (o->window_kind != SHOT_WIN_NONE) {
        int rc = cmd_clip_resolve_window(o, &plan->hwnd);
        if (rc != CLI_EXIT_OK) return rc;
        plan->target = CMD_CLIP_TARGET_WINDOW;
    } else if (o->has_region) {
        region_verdict v;
        int rc = cmd_shot_region_check(o->rx, o->ry, o->rw, o->rh, o->screen, &v);
        if (rc != CLI_EXIT_OK) return rc;
        plan->target = CMD_CLIP_TARGET_RECT;
        plan->left = v.left;
        plan->top = v.top;
        plan->width = v.right - v.left;
        plan->height = v.bottom - v.top;
    } else if (o->screen >= 0) {
        static monitor_set monitors;
        int rc = cmd_shot_monitor_list(&monitors);
        if (rc != CLI_EXIT_OK) return rc;
        if (o->screen >= monitors.count)
            return cli_fail("bad_screen", CLI_EXIT_TARGET, "screen %d does not exist (have 0..%d); run 'ivrac screens'",
                            o->screen, monitors.count - 1);
        plan->target = CMD_CLIP_TARGET_MONITOR;
        plan->monitor = o->screen;
    }
    return CLI_EXIT_OK;
}

// The agent's refusal through cli_fail; empty parts get the command's defaults.
static int cmd_clip_agent_refusal(const char* reply, const char* default_code, const char* default_msg, bool replay) {
    char code[64], message[256];
    pipe_client_reply_field_get_utf8(reply, "code", code, sizeof code);
    pipe_client_reply_field_get_utf8(reply, "msg", message, sizeof message);
    if (!code[0]) cli_format(code, sizeof code, "%s", default_code);
    int exit_code = cmd_clip_exit_for(code);
    if (replay) exit_code = strcmp(code, "replay_off") == 0 ? CLI_EXIT_IDLE : CLI_EXIT_FAILED;
    return cli_fail(code, exit_code, "%s", message[0] ? message : default_msg);
}

static bool cmd_clip_reply_flag(const char* reply, const char* key) {
    char v[8];
    pipe_client_reply_field_get_utf8(reply, key, v, sizeof v);
    return strcmp(v, "1") == 0;
}

// A waited take that was neither saved nor discarded has failed, whatever the reply's first word.
static int cmd_clip_not_saved(const char* reply, const char* what) {
    char err[512];
    pipe_client_reply_field_get_utf8(reply, "err", err, sizeof err);
    return cli_fail("not_saved", CLI_EXIT_FAILED, "%s not saved: %s", what, err[0] ? err : "unknown error");
}

int cmd_clip_command(int argc, wchar_t** argv) {
    static cmd_clip_options o;
    char msg[1024];
    bool hint = true;
    if (cmd_clip_parse(argc, argv, &o, msg, sizeof msg, &hint) != CLI_EXIT_OK)
        return hint ? cli_usage(nullptr, msg) : cli_fail("usage", CLI_EXIT_USAGE, "%s", msg);

    static cmd_clip_plan plan;
    plan = cmd_clip_plan{};
    if (o.sub == CMD_CLIP_START) {
        int rc = cmd_clip_plan_start(&o, &plan);
        if (rc != CLI_EXIT_OK) return rc;
    }
    static char request[PIPE_REQUEST_MAX + 1], reply[CMD_CLIP_REPLY];
    if (!cmd_clip_request_build(&o, &plan, request, sizeof request))
        return cli_usage(nullptr, "a path or folder name holds a control character");
    int rc = pipe_client_call_start(request, reply, sizeof reply, cmd_clip_timeout_ms(&o));
    if (rc != CLI_EXIT_OK) return rc;
    if (!pipe_client_reply_ok(reply)) return cmd_clip_agent_refusal(reply, "clip_failed", "clip command failed", false);

    // Only these wait for the finished take; the others answer at once, with or without --wait.
    bool waited = o.wait && (o.sub == CMD_CLIP_START || o.sub == CMD_CLIP_STOP || o.sub == CMD_CLIP_CANCEL);
    if (!waited) {
        if (o.sub == CMD_CLIP_START && !g_cli.json) {
            char path[1024];
            pipe_client_reply_field_get_utf8(reply, "path", path, sizeof path);
            cli_out_printf("%s\n", path);
        } else {
            cmd_clip_print_reply(reply, cmd_clip_numeric_keys, cmd_clip_numeric_count);
        }
        return CLI_EXIT_OK;
    }
    bool saved = cmd_clip_reply_flag(reply, "saved"), discarded = cmd_clip_reply_flag(reply, "discarded");
    if (g_cli.json) {
        cmd_clip_print_reply(reply, cmd_clip_numeric_keys, cmd_clip_numeric_count);
        return saved || discarded ? CLI_EXIT_OK : CLI_EXIT_FAILED;
    }
    if (saved) {
        char path[1024];
        pipe_client_reply_field_get_utf8(reply, "path", path, sizeof path);
        cli_out_printf("%s\n", path);
        char asked[1024];
        cli_utf8_from_wide(plan.out, asked, sizeof asked);
        if (asked[0] && strcmp(asked, path) != 0)
            cli_note("%s was created during the recording; clip saved beside it", asked);
        return CLI_EXIT_OK;
    }
    if (discarded) {
        cli_note("clip discarded");
        return CLI_EXIT_OK;
    }
    return cmd_clip_not_saved(reply, "clip");
}

static int cmd_clip_replay_status(void) {
    static char reply[CMD_CLIP_REPLY];
    int rc = pipe_client_call_start("clip\top=status", reply, sizeof reply, 5000);
    if (rc != CLI_EXIT_OK) return rc;
    if (!pipe_client_reply_ok(reply)) return cli_fail("status", CLI_EXIT_FAILED, "agent did not report status");
    static config cfg;
    config_load(&cfg);
    wchar_t hk[HOTKEY_TEXT_MAX + 1];
    hotkey_format(cfg.hotkeys[HOTKEY_REPLAY - 1], hk, HOTKEY_TEXT_MAX + 1);
    char hotkey[512];
    cli_utf8_from_wide(hk, hotkey, sizeof hotkey);
    static char text[16384];
    if (!cmd_clip_replay_status_build(reply, cfg.replay_enabled != 0, hotkey, g_cli.json, text, sizeof text))
        return cli_fail_too_large("replay status");
    cli_out_write(text);
    return CLI_EXIT_OK;
}

static int cmd_clip_replay_switch(bool on) {
    static config cfg;
    if (!config_load(&cfg)) {
        // Saving over a file that exists but could not be read would reset every other setting.
        wchar_t path[260];
        config_path(path);
        if (GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES)
            return cli_fail("config", CLI_EXIT_FAILED, "cannot read config.ini; nothing was changed");
    }
    cfg.replay_enabled = on ? 1 : 0;
    if (!config_save(&cfg)) return cli_fail("config", CLI_EXIT_FAILED, "cannot write config.ini");
    cmd_config_notify();
    Sleep(400);
    return cmd_clip_replay_status();
}

static int cmd_clip_replay_save(int argc, wchar_t** argv) {
    cmd_replay_save_options o;
    char msg[256];
    if (cmd_clip_replay_save_parse(argc, argv, &o, msg, sizeof msg) != CLI_EXIT_OK) return cli_usage(nullptr, msg);
    wchar_t out_abs[260] = L"";
    if (o.out_path) {
        DWORD n = GetFullPathNameW(o.out_path, 260, out_abs, nullptr);
        if (n == 0 || n >= 260) return cli_usage(nullptr, "-o expects a path (at most 259 characters)");
        char why[512];
        if (cmd_shot_out_path_problem(out_abs, why, sizeof why)) return cmd_shot_out_path_fail(out_abs, why);
    }
    static char request[PIPE_REQUEST_MAX + 1], reply[CMD_CLIP_REPLY];
    if (!cmd_clip_replay_save_request(&o, out_abs, request, sizeof request))
        return cli_usage(nullptr, "a path holds a control character");
    int rc = pipe_client_call_start(request, reply, sizeof reply, o.wait ? 120000 : 20000);
    if (rc != CLI_EXIT_OK) return rc;
    if (!pipe_client_reply_ok(reply)) return cmd_clip_agent_refusal(reply, "replay_failed", "replay save failed", true);
    bool failed = o.wait && !cmd_clip_reply_flag(reply, "saved");
    if (g_cli.json) {
        cmd_clip_print_reply(reply, cmd_replay_numeric_keys, cmd_replay_numeric_count);
        return failed ? CLI_EXIT_FAILED : CLI_EXIT_OK;
    }
    if (failed) return cmd_clip_not_saved(reply, "replay");
    char path[1024];
    pipe_client_reply_field_get_utf8(reply, "path", path, sizeof path);
    cli_out_printf("%s\n", path);
    return CLI_EXIT_OK;
}

int cmd_clip_replay_command(int argc, wchar_t** argv) {
    const wchar_t* sub = argc > 0 ? argv[0] : L"status";
    bool save = wcscmp(sub, L"save") == 0;
    if (!save && wcscmp(sub, L"on") != 0 && wcscmp(sub, L"off") != 0 && wcscmp(sub, L"status") != 0)
        return cli_usage(nullptr, "expects on|off|status|save");
    if (save) return cmd_clip_replay_save(argc - 1, argv + 1);
    if (argc > 1) {
        char text[64];
        cli_utf8_from_wide(argv[1], text, sizeof text);
        return cli_usage(nullptr, text);
    }
    if (wcscmp(sub, L"status") == 0) return cmd_clip_replay_status();
    return cmd_clip_replay_switch(wcscmp(sub, L"on") == 0);
}
