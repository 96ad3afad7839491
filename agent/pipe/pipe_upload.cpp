#include "agent/pipe/pipe_upload.h"
#include "agent/pipe/pipe_io.h"
#include "agent/upload/upload.h"

#include <cstdio>
#include <cstring>
#include <cwchar>

int pipe_upload_op_of(const char* args) {
    char op[32];
    // A value too long for the buffer is cut, and no cut value names an op.
    if (!pipe_field_find(args, "op", op, sizeof op) || strcmp(op, "status") == 0) return PIPE_UPLOAD_STATUS;
    if (strcmp(op, "add") == 0) return PIPE_UPLOAD_ADD;
    if (strcmp(op, "retry") == 0) return PIPE_UPLOAD_RETRY;
    if (strcmp(op, "clear") == 0) return PIPE_UPLOAD_CLEAR;
    return PIPE_UPLOAD_BAD_OP;
}

bool pipe_upload_path(const char* utf8, wchar_t out[260]) {
    out[0] = 0;
    if (!utf8 || !utf8[0]) return false;
    wchar_t wide[PIPE_FIELD_CAP + 1];
    int n = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, wide, PIPE_FIELD_CAP + 1);
    if (n <= 1) return false;
    n--;  // the terminator
    if (n > 259) {
        n = 259;
        if (wide[n - 1] >= 0xD800 && wide[n - 1] <= 0xDBFF) n--;
    }
    wmemcpy(out, wide, (size_t)n);
    out[n] = 0;
    return true;
}

size_t pipe_upload_add_format(bool queued, uint32_t id, bool linked, const char* err, char* out, size_t cap) {
    if (queued) {
        int n = snprintf(out, cap, "ok\tid=%u\n", id);
        return n < 0 ? 0 : (size_t)n < cap ? (size_t)n : cap - 1;
    }
    return pipe_err_format(out, linked ? "upload" : "not_linked", err ? err : "");
}

static void pipe_upload_count_reply(HANDLE pipe, int n) {
    char reply[32];
    snprintf(reply, sizeof reply, "ok\tn=%d\n", n);
    pipe_reply_write(pipe, reply);
}

void pipe_cmd_upload(HANDLE pipe, const char* args) {
    switch (pipe_upload_op_of(args)) {
    case PIPE_UPLOAD_STATUS: {
        // 64 KiB is too much for a pool thread's stack; the block lives only while it is written.
        char* block = (char*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, UPLOAD_STATUS_CAP);
        if (!block) {
            pipe_reply_err(pipe, "internal", "out of memory");
            return;
        }
        upload_status(block, UPLOAD_STATUS_CAP);
        pipe_reply_write_bytes(pipe, block, strlen(block));
        HeapFree(GetProcessHeap(), 0, block);
        return;
    }
    case PIPE_UPLOAD_ADD: {
        char path8[PIPE_FIELD_CAP];
        wchar_t path[260];
        pipe_field_find(args, "path", path8, sizeof path8);
        if (!pipe_upload_path(path8, path)) {
            pipe_reply_err(pipe, "usage", "path required");
            return;
        }
        uint32_t id = 0;
        char err[160] = "";
        bool queued = upload_add(path, &id, err, sizeof err);
        char reply[PIPE_ERR_CAP];
        pipe_upload_add_format(queued, id, queued || upload_linked(), err, reply, sizeof reply);
        pipe_reply_write(pipe, reply);
        return;
    }
    case PIPE_UPLOAD_RETRY: pipe_upload_count_reply(pipe, upload_retry()); return;
    case PIPE_UPLOAD_CLEAR: pipe_upload_count_reply(pipe, upload_clear()); return;
    default: pipe_reply_err(pipe, "usage", "op must be add|status|retry|clear"); return;
    }
}
