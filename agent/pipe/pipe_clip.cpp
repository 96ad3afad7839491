#include "agent/pipe/pipe_clip.h"
#include "agent/clips/clip_bar.h"
#include "agent/core/agent.h"
#include "agent/core/messages.h"
#include "agent/pipe/pipe_replies.h"
#include "agent/pipe/pipe_io.h"
#include "common/config_schema.h"
#include "common/text.h"
#include <shlobj.h>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwchar>

// A narrow text of the sessions on one line: tabs and line breaks would split the reply.
static void clip_one_line(const char* in, char* out, size_t cap) {
    size_t n = 0;
    for (const char* p = in ? in : ""; *p && n + 1 < cap; p++)
        out[n++] = (*p == '\t' || *p == '\r' || *p == '\n') ? ' ' : *p;
    if (cap) out[n] = 0;
}

// ---------------------------------------------------------------- fields

static bool clip_refuse(pipe_clip_refusal* e, const char* code, const char* msg) {
    snprintf(e->code, sizeof e->code, "%s", code);
    snprintf(e->msg, sizeof e->msg, "%s", msg);
    return false;
}

enum clip_wide_result { CLIP_WIDE_OK, CLIP_WIDE_LONG, CLIP_WIDE_BAD };

// UTF-8 into out (cap characters with the terminator). Refused rather than cut: a cut
// path would name another file or folder than the one asked for.
static clip_wide_result clip_wide(const char* text, wchar_t* out, size_t cap) {
    wchar_t buf[PIPE_FIELD_CAP];
    size_t n = 0, len = strlen(text);
    const unsigned char* s = (const unsigned char*)text;
    for (size_t i = 0; i < len;) {
        unsigned long cp;
        size_t used = text_utf8_decode(s + i, len - i, &cp);
        if (cp == 0xFFFD && used == 1) return CLIP_WIDE_BAD;
        i += used;
        if (n + 3 > PIPE_FIELD_CAP) return CLIP_WIDE_LONG;
        if (cp >= 0x10000) {
            buf[n++] = (wchar_t)(0xD800 + ((cp - 0x10000) >> 10));
            buf[n++] = (wchar_t)(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            buf[n++] = (wchar_t)cp;
        }
    }
    if (n + 1 > cap) return CLIP_WIDE_LONG;
    wmemcpy(out, buf, n);
    out[n] = 0;
    return CLIP_WIDE_OK;
}

static const struct {
    const char* word;
    int op;
} clip_ops[] = {
    {"start", CLIP_OP_START},   {"stop", CLIP_OP_STOP},
    {"pause", CLIP_OP_PAUSE},   {"resume", CLIP_OP_RESUME},
    {"toggle", CLIP_OP_TOGGLE}, {"redo", CLIP_OP_REDO},
    {"cancel", CLIP_OP_CANCEL}, {"mic", CLIP_OP_AUDIO},
    {"system", CLIP_OP_AUDIO},  {"replay_save", CLIP_OP_REPLAY_SAVE},
};

int pipe_clip_kind_of(const char* args, int* op) {
    char v[PIPE_FIELD_CAP];
    if (!pipe_field_find(args, "op", v, sizeof v) || strcmp(v, "status") == 0) return PIPE_CLIP_STATUS;
    if (strcmp(v, "ui") == 0) return PIPE_CLIP_UI;
    for (const auto& o : clip_ops) {
        if (strcmp(v, o.word) == 0) {
            *op = o.op;
            return PIPE_CLIP_RUN;
        }
    }
    return PIPE_CLIP_BAD_OP;
}

bool pipe_clip_parse(const char* args, clip_request* req, pipe_clip_refusal* e) {
    char v[PIPE_FIELD_CAP];
    int op = 0;
    if (pipe_clip_kind_of(args, &op) != PIPE_CLIP_RUN)
        return clip_refuse(e, "usage", "op must be start|stop|pause|resume|toggle|redo|cancel|status");
    req->op = op;
    pipe_field_find(args, "op", v, sizeof v);
    req->toggle_mic = strcmp(v, "mic") == 0;

    // The target is read for every operation; only a start uses it.
    pipe_field_find(args, "target", v, sizeof v);
    if (strcmp(v, "window") == 0) {
        uint64_t hwnd = 0;
        pipe_field_find(args, "hwnd", v, sizeof v);
        if (!pipe_parse_hwnd(v, &hwnd)) return clip_refuse(e, "usage", "hwnd required");
        req->target = CLIP_TARGET_WINDOW;
        req->window = (HWND)(uintptr_t)hwnd;
    } else if (strcmp(v, "rect") == 0) {
        long l, t, r, b;
        pipe_field_find(args, "rect", v, sizeof v);
        if (!pipe_parse_rect(v, &l, &t, &r, &b)) return clip_refuse(e, "usage", "rect expects x,y,w,h");
        req->target = CLIP_TARGET_REGION;
        req->region[0] = l;
        req->region[1] = t;
        req->region[2] = r;
        req->region[3] = b;
    } else if (strcmp(v, "pick") == 0) {
        req->target = CLIP_TARGET_PICK;
    } else {
        req->target = CLIP_TARGET_SCREEN;
        if (pipe_field_find(args, "monitor", v, sizeof v)) req->monitor = pipe_atoi(v, 15);
    }

    if (pipe_field_find(args, "seconds", v, sizeof v)) {
        int s = pipe_atoi(v, sizeof v);
        if (s < 1 || s > CLIP_MAX_SECONDS) return clip_refuse(e, "usage", "seconds must be 1-30");
        req->seconds = s;
    }
    if (pipe_field_find(args, "wait", v, sizeof v)) req->wait = true;
    if (pipe_field_find(args, "silent", v, sizeof v)) req->silent = true;
    if (pipe_field_find(args, "bar", v, sizeof v) && strcmp(v, "0") == 0) req->no_bar = true;
    if (pipe_field_find(args, "audio", v, sizeof v) && strcmp(v, "0") == 0) req->no_audio = true;
    if (pipe_field_find(args, "system", v, sizeof v)) req->system = pipe_atoi(v, sizeof v) != 0 ? 1 : 0;
    if (pipe_field_find(args, "mic", v, sizeof v)) req->mic = pipe_atoi(v, sizeof v) != 0 ? 1 : 0;
    if (req->op == CLIP_OP_AUDIO) {
        pipe_field_find(args, "on", v, sizeof v);
        req->toggle_value = strcmp(v, "1") == 0 ? 1 : strcmp(v, "0") == 0 ? 0 : -1;
    }

    if (pipe_field_find(args, "out", v, sizeof v)) {
        clip_wide_result r = clip_wide(v, req->out, ENCODER_PATH_MAX);
        if (r == CLIP_WIDE_LONG) return clip_refuse(e, "usage", "out path is too long");
        if (r == CLIP_WIDE_BAD) return clip_refuse(e, "usage", "out path is not valid UTF-8");
    }
    if (pipe_field_find(args, "folder", v, sizeof v)) {
        // Converted whole so an over-long name fails the check instead of being cut to another name.
        wchar_t name[PIPE_FIELD_CAP];
        if (clip_wide(v, name, PIPE_FIELD_CAP) != CLIP_WIDE_OK || !folder_name_check(name, nullptr, 0) ||
            wcslen(name) >= CLIP_FOLDER_MAX)
            return clip_refuse(e, "bad_folder", "invalid folder name");
        wcscpy(req->folder, name);
    }
    if (pipe_field_find(args, "dir", v, sizeof v)) {
        // "C:name" is relative to that drive's current folder, so a backslash must follow the colon.
        clip_wide_result r = clip_wide(v, req->dir, ENCODER_PATH_MAX);
        if (r == CLIP_WIDE_LONG) return clip_refuse(e, "bad_dir", "dir is too long");
        if (r == CLIP_WIDE_BAD || !pipe_dir_absolute(req->dir))
            return clip_refuse(e, "bad_dir", "dir must be an absolute path");
    }
    return true;
}

bool pipe_clip_waits_final(const clip_request* req) {
    if (!req->wait) return false;
    return req->op == CLIP_OP_START || req->op == CLIP_OP_STOP || req->op == CLIP_OP_CANCEL ||
           req->op == CLIP_OP_REPLAY_SAVE;
}

unsigned long pipe_clip_reply_ms(const clip_request* req) {
    return req->op == CLIP_OP_START && req->target == CLIP_TARGET_PICK ? PIPE_CLIP_PICK_REPLY_MS : PIPE_CLIP_REPLY_MS;
}

unsigned long pipe_clip_final_ms(const clip_request* req) {
    if (req->seconds > 0) return (unsigned long)req->seconds * 1000UL + PIPE_CLIP_FINAL_EXTRA_MS;
    return PIPE_CLIP_FINAL_MS;
}

// ---------------------------------------------------------------- replies

size_t pipe_clip_refused_format(const clip_request* req, char* out, size_t cap) {
    char code[CLIP_CODE_MAX], msg[CLIP_MESSAGE_MAX];
    clip_one_line(req->code[0] ? req->code : "failed", code, sizeof code);
    clip_one_line(req->message, msg, sizeof msg);
    pipe_line b{out, cap, 0};
    pipe_line_add(&b, "err\tcode=%s\tmsg=%s", code, msg);
    return pipe_line_end(&b);
}

size_t pipe_clip_start_format(const clip_request* req, const char* state, char* out, size_t cap) {
    char path[PIPE_PATH_UTF8], target[PIPE_CLIP_TARGET_UTF8], encoder[ENCODER_NAME_MAX];
    pipe_utf8(req->path, path, sizeof path, true);
    pipe_utf8(req->target_text, target, sizeof target, true);
    clip_one_line(req->encoder, encoder, sizeof encoder);
    pipe_line b{out, cap, 0};
    pipe_line_add(&b, "ok\tsession=%llu\tstate=%s\tpath=%s\twidth=%d\theight=%d\tfps=%d\tencoder=%s\ttarget=%s",
                  (unsigned long long)req->session, state, path, req->width, req->height, req->fps, encoder, target);
    return pipe_line_end(&b);
}

size_t pipe_clip_other_format(const clip_request* req, const char* state, char* out, size_t cap) {
    char path[PIPE_PATH_UTF8];
    pipe_utf8(req->path, path, sizeof path, true);
    pipe_line b{out, cap, 0};
    pipe_line_add(&b, "ok\tsession=%llu\tstate=%s\tpath=%s", (unsigned long long)req->session, state, path);
    return pipe_line_end(&b);
}

size_t pipe_clip_final_format(const clip_request* req, char* out, size_t cap) {
    char path[PIPE_PATH_UTF8], encoder[ENCODER_NAME_MAX], err[CLIP_MESSAGE_MAX];
    pipe_utf8(req->saved ? req->path : L"", path, sizeof path, true);
    clip_one_line(req->encoder, encoder, sizeof encoder);
    clip_one_line(req->error, err, sizeof err);
    pipe_line b{out, cap, 0};
    pipe_line_add(&b,
                  "ok\tsession=%llu\tsaved=%d\tdiscarded=%d\tpath=%s\tbytes=%llu\tseconds=%.3f\tframes=%lld\twidth=%d"
                  "\theight=%d\tfps=%d\tencoder=%s\trepeated=%llu\tdropped=%llu\taudio=%d\terr=%s",
                  (unsigned long long)req->session, req->saved ? 1 : 0, req->discarded ? 1 : 0, path,
                  (unsigned long long)req->bytes, req->result_seconds, (long long)req->frames, req->width, req->height,
                  req->fps, encoder, (unsigned long long)req->repeated, (unsigned long long)req->dropped,
                  req->result_no_audio ? 0 : 1, err);
    return pipe_line_end(&b);
}

size_t pipe_clip_status_format(const clip_status* s, long finalizing, char* out, size_t cap) {
    char path[PIPE_PATH_UTF8], target[PIPE_CLIP_TARGET_UTF8], last_path[PIPE_PATH_UTF8];
    char encoder[ENCODER_NAME_MAX], last_err[CLIP_MESSAGE_MAX], replay_err[CLIP_MESSAGE_MAX];
    pipe_utf8(s->path, path, sizeof path, true);
    pipe_utf8(s->target, target, sizeof target, true);
    pipe_utf8(s->last_path, last_path, sizeof last_path, true);
    clip_one_line(s->enc.name, encoder, sizeof encoder);
    clip_one_line(s->last_error, last_err, sizeof last_err);
    clip_one_line(s->replay_error, replay_err, sizeof replay_err);
    double elapsed = s->fps > 0 ? (double)s->take_frames / s->fps : 0.0;
    pipe_line b{out, cap, 0};
    pipe_line_add(&b,
                  "ok\tstate=%s\tsession=%llu\tpath=%s\ttarget=%s\telapsed=%.2f\tlimit=%d\tfps=%d\twidth=%d\theight=%d"
                  "\tencoder=%s\tframes=%llu\trepeated=%llu\tdropped=%llu\tlate=%llu\tqueue=%u\tqueue_high=%u"
                  "\tencode_ms=%.2f\tbytes=%llu\tfinalizing=%ld\tsaved_total=%llu\tlast=%s\tlast_path=%s"
                  "\tlast_seconds=%.2f\tlast_bytes=%llu\tlast_err=%s",
                  clip_state_word(s->state), (unsigned long long)s->session, path, target, elapsed, s->limit, s->fps,
                  s->width, s->height, encoder, (unsigned long long)(s->take_frames > 0 ? s->take_frames : 0),
                  (unsigned long long)s->enc.repeated, (unsigned long long)s->enc.dropped, (unsigned long long)s->late,
                  (unsigned)(s->enc.queue > 0 ? s->enc.queue : 0),
                  (unsigned)(s->enc.queue_high > 0 ? s->enc.queue_high : 0), s->enc.encode_ms,
                  (unsigned long long)s->enc.bytes, finalizing, (unsigned long long)s->saved_total, clip_last_word(s),
                  last_path, s->last_seconds, (unsigned long long)s->last_bytes, last_err);
    pipe_line_add(&b,
                  "\taudio=%d\tsystem=%d\tsystem_ok=%d\tsystem_level=%.2f\tmic=%d\tmic_ok=%d\tmic_level=%.2f"
                  "\taudio_underruns=%llu",
                  s->audio, s->system_on, s->system_ok, s->system_level, s->mic_on, s->mic_ok, s->mic_level,
                  (unsigned long long)s->audio_underruns);
    pipe_line_add(
        &b,
        "\treplay=%d\treplay_width=%d\treplay_height=%d\treplay_fps=%d\treplay_buffered=%.1f\treplay_saves=%llu"
        "\treplay_err=%s",
        s->replay_active, s->replay_width, s->replay_height, s->replay_fps, s->replay_buffered,
        (unsigned long long)s->replay_saves, replay_err);
    return pipe_line_end(&b);
}

size_t pipe_clip_ui_format(const pipe_clip_bar* bar, char* out, size_t cap) {
    pipe_line b{out, cap, 0};
    pipe_line_add(&b,
                  "ok\tvisible=%d\tsession=%llu\tbar=%ld,%ld,%ld,%ld\tbar_inside=%d\tframe=%ld,%ld,%ld,%ld"
                  "\tframe_inside=%d\texcluded_from_capture=%d",
                  bar->visible, (unsigned long long)bar->session, bar->bar[0], bar->bar[1], bar->bar[2], bar->bar[3],
                  bar->bar_inside, bar->frame[0], bar->frame[1], bar->frame[2], bar->frame[3], bar->frame_inside,
                  bar->excluded_from_capture);
    return pipe_line_end(&b);
}

// ---------------------------------------------------------------- handler

void pipe_clip_bar_read(pipe_clip_bar* out) {
    clip_bar_geometry g;
    clip_bar_geometry_read(&g);
    memset(out, 0, sizeof *out);
    out->excluded_from_capture = g.excluded_from_capture;
    if (!g.visible) return;
    *out = pipe_clip_bar{1,
                         g.session,
                         {g.bar.left, g.bar.top, g.bar.right - g.bar.left, g.bar.bottom - g.bar.top},
                         g.bar_inside,
                         {g.frame.left, g.frame.top, g.frame.right - g.frame.left, g.frame.bottom - g.frame.top},
                         g.frame_inside,
                         g.excluded_from_capture};
}

static void pipe_clip_status_reply(HANDLE pipe) {
    static thread_local clip_status s;
    static thread_local char reply[PIPE_CLIP_CAP];
    clip_status_read(&s);
    long finalizing = clip_finalizing();
    pipe_clip_status_format(&s, finalizing, reply, sizeof reply);
    pipe_reply_write(pipe, reply);
}

static const char* pipe_clip_state_now(void) {
    static thread_local clip_status s;
    clip_status_read(&s);
    return clip_state_word(s.state);
}

void pipe_cmd_clip(HANDLE pipe, const char* args) {
    int op = 0;
    switch (pipe_clip_kind_of(args, &op)) {
    case PIPE_CLIP_STATUS: pipe_clip_status_reply(pipe); return;
    case PIPE_CLIP_UI: {
        pipe_clip_bar bar;
        char reply[PIPE_CLIP_UI_CAP];
        pipe_clip_bar_read(&bar);
        pipe_clip_ui_format(&bar, reply, sizeof reply);
        pipe_reply_write(pipe, reply);
        return;
    }
    case PIPE_CLIP_BAD_OP:
        pipe_reply_err(pipe, "usage", "op must be start|stop|pause|resume|toggle|redo|cancel|status");
        return;
    default: break;
    }

    clip_request* req = clip_request_create();
    if (!req) {
        pipe_reply_err(pipe, "internal", "out of memory");
        return;
    }
    pipe_clip_refusal e{};
    if (!pipe_clip_parse(args, req, &e)) {
        clip_request_release(req);
        pipe_reply_err(pipe, e.code, e.msg);
        return;
    }
    // Made now so the take can be written there; a failure shows when the file is opened.
    if (req->dir[0]) SHCreateDirectoryExW(nullptr, req->dir, nullptr);

    const char *wait_code, *wait_msg;
    if (!agent_capture_wait_ready(AGENT_CAPTURE_WAIT_MS, &wait_code, &wait_msg)) {
        clip_request_release(req);
        pipe_reply_err(pipe, wait_code, wait_msg);
        return;
    }
    clip_request_add_ref(req);
    DWORD tid = g_agent.capture_thread_id;
    if (!tid || !PostThreadMessageW(tid, WM_CAPTURE_CLIP, 0, (LPARAM)req)) {
        // Never handed over: both references are the handler's to drop.
        clip_request_release(req);
        clip_request_release(req);
        pipe_reply_err(pipe, "internal", "capture thread gone");
        return;
    }

    // After a time-out the capture side still answers and frees the record with the last reference.
    if (WaitForSingleObject(req->reply_event, pipe_clip_reply_ms(req)) != WAIT_OBJECT_0) {
        clip_request_release(req);
        pipe_reply_err(pipe, "timeout", "agent did not answer");
        return;
    }
    static thread_local char reply[PIPE_CLIP_CAP];
    if (!req->ok) {
        pipe_clip_refused_format(req, reply, sizeof reply);
    } else if (pipe_clip_waits_final(req)) {
        if (WaitForSingleObject(req->final_event, pipe_clip_final_ms(req)) != WAIT_OBJECT_0) {
            clip_request_release(req);
            pipe_reply_err(pipe, "timeout", "clip was not finalized in time");
            return;
        }
        pipe_clip_final_format(req, reply, sizeof reply);
    } else if (req->op == CLIP_OP_START) {
        pipe_clip_start_format(req, pipe_clip_state_now(), reply, sizeof reply);
    } else {
        pipe_clip_other_format(req, pipe_clip_state_now(), reply, sizeof reply);
    }
    clip_request_release(req);
    pipe_reply_write(pipe, reply);
}
