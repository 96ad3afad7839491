#pragma once
// The control pipe's "clip" command: clip recording and replay saving, carried out
// by the clip sessions on the capture thread. The handler reads the request fields
// into a clip_request, posts it, waits for the capture thread's answer (and, for a
// waiting requester, for the finished take) and writes one reply line.
//
// Everything but pipe_cmd_clip and pipe_clip_bar_read makes no system call, so the
// field rules and every reply format can be checked without a running agent. Each
// formatter writes one NUL-terminated line that ends in exactly one line feed, even
// when cut to its buffer, and returns its length in bytes.
#include "agent/clips/clip_session.h"
#include "common/win.h"
#include <cstddef>
#include <cstdint>

enum {
    PIPE_CLIP_CAP = 4096,              // status, start and final replies
    PIPE_CLIP_UI_CAP = 512,            // clip-bar reply
    PIPE_CLIP_TARGET_UTF8 = 512,       // 511 bytes of target description
    PIPE_CLIP_REPLY_MS = 15000,        // the capture thread's answer
    PIPE_CLIP_PICK_REPLY_MS = 125000,  // ... to a pick start: the user drags a region first
    PIPE_CLIP_FINAL_MS = 120000,       // the finished take, without seconds
    PIPE_CLIP_FINAL_EXTRA_MS = 90000,  // ... with seconds: seconds * 1000 plus this
};

// What a "clip" request asks for, read from its op field.
enum pipe_clip_kind {
    PIPE_CLIP_BAD_OP = -1,  // refused with the usage reply
    PIPE_CLIP_STATUS = 0,   // empty, absent or "status"
    PIPE_CLIP_UI = 1,       // "ui"
    PIPE_CLIP_RUN = 2,      // an operation for the capture thread
};

// A refusal of the request fields, as the error reply's code and message.
struct pipe_clip_refusal {
    char code[32];
    char msg[160];
};

// The clip bar's placement as the ui reply shows it; rectangles as x, y, width, height.
struct pipe_clip_bar {
    int visible;
    uint64_t session;
    long bar[4];
    int bar_inside;
    long frame[4];
    int frame_inside;
    int excluded_from_capture;
};

// The kind of request args make; for PIPE_CLIP_RUN *op receives the clip_op
// ("mic" and "system" both give CLIP_OP_AUDIO).
int pipe_clip_kind_of(const char* args, int* op);

// Fills the request part of req from args: op, target, seconds, flags, audio choices,
// output path, folder name and target folder. req must come as clip_request_create
// leaves it (monitor, choices and wanted state -1). False with the refusal; req may
// then be partly filled and is only fit to be released. The target folder is checked
// here but not created.
bool pipe_clip_parse(const char* args, clip_request* req, pipe_clip_refusal* e);

// True when a waiting requester of this accepted operation waits for the finished
// take: start, stop, cancel and replay save with the wait flag.
bool pipe_clip_waits_final(const clip_request* req);
// How long the handler waits for the capture thread's answer, and then for the final
// result, in milliseconds.
unsigned long pipe_clip_reply_ms(const clip_request* req);
unsigned long pipe_clip_final_ms(const clip_request* req);

// A refused operation: "err\tcode=%s\tmsg=%s\n" with the request's code ("failed" when
// empty) and message.
size_t pipe_clip_refused_format(const clip_request* req, char* out, size_t cap);
// An accepted start without waiting: session, state, the path that will be written,
// size, rate, encoder and target description.
size_t pipe_clip_start_format(const clip_request* req, const char* state, char* out, size_t cap);
// Any other accepted operation without waiting: session, state and path.
size_t pipe_clip_other_format(const clip_request* req, const char* state, char* out, size_t cap);
// The finished take of a waiting requester (the path only when saved).
size_t pipe_clip_final_format(const clip_request* req, char* out, size_t cap);
// The status reply from a snapshot and the number of takes still being finalized.
size_t pipe_clip_status_format(const clip_status* s, long finalizing, char* out, size_t cap);
// The clip-bar reply.
size_t pipe_clip_ui_format(const pipe_clip_bar* bar, char* out, size_t cap);

// The clip bar's placement under its lock; not shown when there is no bar.
void pipe_clip_bar_read(pipe_clip_bar* out);

// "clip": status and ui replies at once; every other operation goes to the capture
// thread and is awaited with the time-outs above.
void pipe_cmd_clip(HANDLE pipe, const char* args);
