#pragma once
// The control pipe's "upload" command: queues a capture in the agent's upload queue,
// reports the queue, retries failed items and forgets finished ones.
#include "common/win.h"
#include <cstddef>
#include <cstdint>

// What an "upload" request asks for, read from its op field.
enum pipe_upload_op {
    PIPE_UPLOAD_BAD_OP = -1,  // refused with the usage reply
    PIPE_UPLOAD_STATUS = 0,   // empty, absent or "status"
    PIPE_UPLOAD_ADD = 1,
    PIPE_UPLOAD_RETRY = 2,
    PIPE_UPLOAD_CLEAR = 3,
};

// ---- Pure parts (no system call that needs the agent).

// The op of the request's args.
int pipe_upload_op_of(const char* args);

// The path field (UTF-8) as a wide path of at most 259 characters; false, out "",
// when it is empty.
bool pipe_upload_path(const char* utf8, wchar_t out[260]);

// The reply to op=add: "ok\tid=%u\n", or the refusal with code "upload" while the
// queue is linked and "not_linked" otherwise. Returns the length.
size_t pipe_upload_add_format(bool queued, uint32_t id, bool linked, const char* err, char* out, size_t cap);

// ---- Handler.

// "upload": op=add|status|retry|clear; one reply line.
void pipe_cmd_upload(HANDLE pipe, const char* args);
