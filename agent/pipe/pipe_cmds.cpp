#include "agent/pipe/pipe_cmds.h"
#include "agent/maint/watchdog.h"
#include "agent/capture/capture_thread.h"
#include "agent/capture/display_cache.h"
#include "agent/core/agent.h"
#include "agent/core/capture_files.h"
#include "agent/core/frame_pool.h"
#include "agent/core/hotkeys.h"
#include "agent/core/messages.h"
#include "agent/core/storage_monitor.h"
#include "agent/core/worker_pool.h"
#include "agent/input/broker.h"
#include "agent/pipe/pipe_replies.h"
#include "agent/pipe/pipe_io.h"
#include "agent/pipe/shot_job.h"
#include "common/config_schema.h"
#include "common/hotkey_text.h"
#include <shlobj.h>
#include <cstdio>
#include <cstring>
#include <cwchar>

void pipe_cmd_reload(HANDLE pipe, const char*) {
    // Sent, not posted, so the reply tells the caller the new settings are live.
    DWORD_PTR result = 0;
    HWND wnd = g_agent.wnd;
    UINT msg = g_agent.msg_reload;
    if (wnd && msg && SendMessageTimeoutW(wnd, msg, 0, 0, SMTO_ABORTIFHUNG, 5000, &result))
        pipe_reply_write(pipe, "ok\n");
    else
        pipe_reply_err(pipe, "busy", "agent main thread did not respond");
}

// ---------------------------------------------------------------- status

static void pipe_pool_line_of(worker_pool* pool, pipe_pool_line* out) {
    pool_stats st{};
    if (!worker_pool_stats(pool, &st)) return;
    out->threads = (unsigned)st.threads;
    out->depth = (unsigned)st.depth;
    out->high_water = (unsigned)st.high_water;
    out->completed = st.completed;
    out->rejected = st.rejected;
    out->avg_ms = st.avg_ms;
}

static void pipe_mem_line_of(frame_pool* pool, pipe_mem_line* out) {
    frame_stats st{};
    if (!frame_pool_stats(pool, &st)) return;
    out->in_use = st.in_use;
    out->committed = st.allocated;
    out->budget = st.budget;
}

// Whole seconds since the process began, which is when the agent started.
static long long pipe_uptime_s(void) {
    FILETIME created, exited, kernel, user, now;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER a, b;
    a.LowPart = created.dwLowDateTime;
    a.HighPart = created.dwHighDateTime;
    b.LowPart = now.dwLowDateTime;
    b.HighPart = now.dwHighDateTime;
    return b.QuadPart > a.QuadPart ? (long long)((b.QuadPart - a.QuadPart) / 10000000ULL) : 0;
}

void pipe_cmd_status(HANDLE pipe, const char*) {
    // Both records are large for a pool thread's stack next to the request buffer.
    config* cfg = (config*)HeapAlloc(GetProcessHeap(), 0, sizeof(config));
    pipe_status_info* s = (pipe_status_info*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(pipe_status_info));
    if (!cfg || !s) {
        pipe_reply_err(pipe, "internal", "out of memory");
    } else {
        agent_config_copy(cfg);
        int registered[HOTKEY_COUNT];
        DWORD error[HOTKEY_COUNT];
        hotkeys_results(registered, error);

        s->pid = GetCurrentProcessId();
        s->outputs = display_monitor_text(nullptr, 0);
        pipe_utf8(cfg->stills_dir, s->stills_dir, sizeof s->stills_dir, true);
        pipe_utf8(cfg->clips_dir, s->clips_dir, sizeof s->clips_dir, true);
        s->uptime_s = pipe_uptime_s();
        s->captures = (long)capture_count();
        s->hangs = watchdog_hangs();
        for (int i = 0; i < HOTKEY_COUNT; i++) {
            wchar_t text[PIPE_HOTKEY_WIDE];
            hotkey_format(cfg->hotkeys[i], text, PIPE_HOTKEY_WIDE);
            pipe_utf8(text, s->hotkeys[i].text, sizeof s->hotkeys[i].text, true);
            s->hotkeys[i].assigned = cfg->hotkeys[i].vk != 0;
            s->hotkeys[i].registered = registered[i];
            s->hotkeys[i].error = error[i];
        }
        agent_debug_pause(L"IVRA_DEBUG_STATUS_MS", "status");
        pipe_pool_line_of(g_agent.stills, &s->pools[0]);
        pipe_pool_line_of(g_agent.clips, &s->pools[1]);
        pipe_pool_line_of(g_agent.io, &s->pools[2]);
        pipe_pool_line_of(g_agent.pipe, &s->pools[3]);
        pipe_mem_line_of(g_agent.frames_stills, &s->mem_stills);
        pipe_mem_line_of(g_agent.frames_clips, &s->mem_clips);
        s->mem_total = g_agent.mem_total;
        s->mem_percent = cfg->mem_percent;

        char reply[PIPE_STATUS_CAP];
        pipe_status_format(s, reply, sizeof reply);
        pipe_reply_write(pipe, reply);
    }
    if (s) HeapFree(GetProcessHeap(), 0, s);
    if (cfg) HeapFree(GetProcessHeap(), 0, cfg);
}

// ---------------------------------------------------------------- screens

void pipe_cmd_screens(HANDLE pipe, const char*) {
    static thread_local wchar_t text[DISPLAY_TEXT_CAP];
    static thread_local char reply[PIPE_SCREENS_CAP];
    const char *code, *msg;
    if (!agent_capture_wait_ready(AGENT_CAPTURE_WAIT_MS, &code, &msg)) {
        pipe_reply_err(pipe, code, msg);
        return;
    }
    display_monitor_text(text, DISPLAY_TEXT_CAP);
    pipe_screens_format(text, reply, sizeof reply);
    pipe_reply_write(pipe, reply);
}

// ---------------------------------------------------------------- input

// The input broker's statistics; a broker that is not running shows zeros and "none".
static void pipe_input_snapshot(pipe_input_info* out) {
    broker_stats st;
    broker_snapshot(&st);
    memset(out, 0, sizeof *out);
    out->running = st.running;
    out->raw_enabled = st.raw_enabled;
    out->hook_enabled = st.hook_enabled;
    out->raw_ready = st.raw_ready;
    out->hook_ready = st.hook_ready;
    out->raw_error = st.raw_error;
    out->hook_error = st.hook_error;
    out->mouse_ready = st.mouse_ready;
    out->mouse_error = st.mouse_error;
    out->registered_events = st.registered_events;
    out->raw_events = st.raw_events;
    out->hook_events = st.hook_events;
    out->registered_activations = st.registered_activations;
    out->raw_activations = st.raw_activations;
    out->hook_activations = st.hook_activations;
    out->duplicates = st.duplicates;
    out->stale = st.stale;
    out->blocked = st.blocked;
    out->dropped = st.dropped;
    out->last_route = st.last_route;
    out->last_action = st.last_action;
    out->session_active = st.session_active;
    out->mouse_mode = st.mouse_mode;
    static_assert(sizeof out->mouse_reason == sizeof st.mouse_reason, "reason texts differ in size");
    memcpy(out->mouse_reason, st.mouse_reason, sizeof out->mouse_reason);
    out->mouse_reason[sizeof out->mouse_reason - 1] = 0;
    out->mouse_packets = st.mouse_packets;
    out->focus_requested = st.focus_requested;
    out->focus_owned = st.focus_owned;
}

void pipe_cmd_input(HANDLE pipe, const char*) {
    static thread_local config cfg;
    pipe_input_info info;
    pipe_input_snapshot(&info);
    int registered[HOTKEY_COUNT];
    DWORD error[HOTKEY_COUNT];
    hotkeys_results(registered, error);
    agent_config_copy(&cfg);
    for (int i = 0; i < HOTKEY_COUNT; i++) info.registered[i] = registered[i] && cfg.hotkeys[i].vk != 0;
    char reply[PIPE_INPUT_CAP];
    pipe_input_format(&info, reply, sizeof reply);
    pipe_reply_write(pipe, reply);
}

// ---------------------------------------------------------------- storage

void pipe_cmd_storage(HANDLE pipe, const char* args) {
    bool stale = false;
    if (strstr(args, "refresh=1")) stale = storage_refresh(20000) == STORAGE_REFRESH_STALE;
    storage_totals t;
    storage_totals_get(&t);
    LARGE_INTEGER now, freq;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&freq);
    long long age = pipe_storage_age(t.scanned_at, now.QuadPart, freq.QuadPart);
    static thread_local config cfg;
    agent_config_copy(&cfg);
    storage_thresholds th{cfg.warn_free_mb, cfg.stop_free_mb, cfg.warn_ivra_gb};
    char reply[PIPE_STORAGE_CAP];
    pipe_storage_format(&t, age, &th, stale, reply, sizeof reply);
    pipe_reply_write(pipe, reply);
}

// ---------------------------------------------------------------- shot

enum pipe_wide_result { PIPE_WIDE_OK, PIPE_WIDE_LONG, PIPE_WIDE_BAD };

// UTF-8 text into out (cap characters). A text that does not fit is refused rather
// than cut: a cut path would name a different file or folder than the one asked for.
static pipe_wide_result pipe_wide(const char* text, wchar_t* out, size_t cap) {
    wchar_t buf[PIPE_FIELD_CAP];
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, buf, PIPE_FIELD_CAP);
    if (n <= 0) return PIPE_WIDE_BAD;
    if ((size_t)n > cap) return PIPE_WIDE_LONG;
    wmemcpy(out, buf, (size_t)n);
    return PIPE_WIDE_OK;
}

struct pipe_shot_error {
    char code[32];
    char msg[160];
};

static bool pipe_shot_refuse(pipe_shot_error* e, const char* code, const char* msg) {
    snprintf(e->code, sizeof e->code, "%s", code);
    snprintf(e->msg, sizeof e->msg, "%s", msg);
    return false;
}

// The destination rules for an output path or target folder, checked before any capture.
static bool pipe_shot_dest_ok(const wchar_t* path, int is_dir, int format, pipe_shot_error* e) {
    char err[200];
    if (capture_request_dest_check(path, is_dir, format, err, sizeof err)) return true;
    const char* msg = err;
    if (!capture_error_split(err, e->code, sizeof e->code, &msg))
        return pipe_shot_refuse(e, is_dir ? "bad_dir" : "usage", err);
    snprintf(e->msg, sizeof e->msg, "%s", msg);
    return false;
}

// Fills the request part of job from the fields; false with the reply's code and message.
static bool pipe_shot_fill(shot_job* job, const char* args, pipe_shot_error* e) {
    char v[PIPE_FIELD_CAP];
    pipe_field_find(args, "target", v, sizeof v);
    if (strcmp(v, "window") == 0) {
        uint64_t hwnd = 0;
        pipe_field_find(args, "hwnd", v, sizeof v);
        if (!pipe_parse_hwnd(v, &hwnd)) return pipe_shot_refuse(e, "usage", "hwnd required");
        job->kind = SHOT_WINDOW;
        job->hwnd = (HWND)(uintptr_t)hwnd;
        if (pipe_field_find(args, "occluded", v, sizeof v)) job->occluded = 1;
    } else if (strcmp(v, "rect") == 0) {
        long l, t, r, b;
        pipe_field_find(args, "rect", v, sizeof v);
        if (!pipe_parse_rect(v, &l, &t, &r, &b)) return pipe_shot_refuse(e, "usage", "rect expects x,y,w,h");
        job->kind = SHOT_RECT;
        job->left = l;
        job->top = t;
        job->right = r;
        job->bottom = b;
    } else if (strcmp(v, "pick") == 0) {
        job->kind = SHOT_PICK;
        job->timeout_ms = 60000;
    } else {
        job->kind = SHOT_MONITOR;
        if (pipe_field_find(args, "monitor", v, sizeof v)) job->monitor = pipe_atoi(v, 15);
    }

    if (pipe_field_find(args, "format", v, sizeof v)) job->format = strcmp(v, "jpg") == 0 ? 1 : 0;
    if (pipe_field_find(args, "quality", v, sizeof v)) job->quality = pipe_atoi(v, sizeof v);
    if (pipe_field_find(args, "timeout_ms", v, sizeof v)) {
        int ms = pipe_atoi(v, sizeof v);
        if (ms > 0) job->timeout_ms = ms;
    }
    if (pipe_field_find(args, "silent", v, sizeof v)) job->silent = 1;
    if (pipe_field_find(args, "history", v, sizeof v) && strcmp(v, "0") == 0) job->no_history = 1;
    if (pipe_field_find(args, "out", v, sizeof v)) {
        pipe_wide_result r = pipe_wide(v, job->path, 260);
        if (r == PIPE_WIDE_LONG) return pipe_shot_refuse(e, "usage", "out path is too long");
        if (r == PIPE_WIDE_BAD) return pipe_shot_refuse(e, "usage", "out path is not valid UTF-8");
        // The file's format is fixed now so that its extension can be held against it.
        static thread_local config cfg;
        agent_config_copy(&cfg);
        if (job->format < 0) job->format = cfg.still_format == 1 ? 1 : 0;
        if (!pipe_shot_dest_ok(job->path, 0, job->format, e)) return false;
    }

    bool has_folder = pipe_field_find(args, "folder", v, sizeof v);
    if (has_folder) {
        // Converted whole so an over-long name fails the check instead of being cut to another name.
        wchar_t name[PIPE_FIELD_CAP];
        if (pipe_wide(v, name, PIPE_FIELD_CAP) != PIPE_WIDE_OK || !folder_name_check(name, nullptr, 0) ||
            wcslen(name) >= 64)
            return pipe_shot_refuse(e, "bad_folder", "invalid folder name");
        wcscpy(job->folder, name);
    }

    if (pipe_field_find(args, "dir", v, sizeof v)) {
        if (has_folder) return pipe_shot_refuse(e, "usage", "dir and folder are mutually exclusive");
        pipe_wide_result r = pipe_wide(v, job->dir, 260);
        if (r == PIPE_WIDE_LONG) return pipe_shot_refuse(e, "bad_dir", "dir is too long");
        if (r == PIPE_WIDE_BAD || !pipe_dir_absolute(job->dir))
            return pipe_shot_refuse(e, "bad_dir", "dir must be an absolute path");
        if (!pipe_shot_dest_ok(job->dir, 1, 0, e)) return false;
        int rc = SHCreateDirectoryExW(nullptr, job->dir, nullptr);
        if (rc == ERROR_SUCCESS || rc == ERROR_FILE_EXISTS || rc == ERROR_ALREADY_EXISTS) {
            // A file in the folder's place would only fail later, after the capture.
            DWORD attr = GetFileAttributesW(job->dir);
            if (attr == INVALID_FILE_ATTRIBUTES || !(attr & FILE_ATTRIBUTE_DIRECTORY))
                rc = attr == INVALID_FILE_ATTRIBUTES ? (int)GetLastError() : ERROR_DIRECTORY;
            else
                rc = ERROR_SUCCESS;
        }
        if (rc != ERROR_SUCCESS) {
            char msg[64];
            snprintf(msg, sizeof msg, "cannot create dir (err=%d)", rc);
            return pipe_shot_refuse(e, "bad_dir", msg);
        }
    }
    return true;
}

void pipe_cmd_shot(HANDLE pipe, const char* args) {
    shot_job* job = shot_job_create();
    if (!job) {
        pipe_reply_err(pipe, "internal", "out of memory");
        return;
    }
    pipe_shot_error e{};
    bool ok = pipe_shot_fill(job, args, &e);
    const char *wait_code, *wait_msg;
    if (ok && !agent_capture_wait_ready(AGENT_CAPTURE_WAIT_MS, &wait_code, &wait_msg))
        ok = pipe_shot_refuse(&e, wait_code, wait_msg);
    if (ok) {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        job->start = now.QuadPart;
        DWORD tid = g_agent.capture_thread_id;
        ok = tid && PostThreadMessageW(tid, WM_CAPTURE_SHOT, 0, (LPARAM)job);
        if (!ok) pipe_shot_refuse(&e, "internal", "capture thread gone");
    }
    if (!ok) {
        // Never handed over: both references are the handler's to drop.
        shot_job_release(job);
        shot_job_release(job);
        pipe_reply_err(pipe, e.code, e.msg);
        return;
    }

    if (WaitForSingleObject(job->done, (DWORD)job->timeout_ms) != WAIT_OBJECT_0) {
        // The capture side still finishes the job and frees it with the last reference.
        shot_job_release(job);
        pipe_reply_err(pipe, "timeout", "capture timed out");
        return;
    }
    if (job->ok) {
        char reply[PIPE_SHOT_CAP];
        pipe_shot_format(job, reply, sizeof reply);
        pipe_reply_write(pipe, reply);
    } else {
        char code[PIPE_ERR_CODE_MAX * 3 + 1], msg[PIPE_ERR_MSG_MAX * 3 + 1];
        pipe_error_split(job->error, code, sizeof code, msg, sizeof msg);
        pipe_reply_err(pipe, code, msg);
    }
    shot_job_release(job);
}
