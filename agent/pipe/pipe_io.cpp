#include "agent/pipe/pipe_io.h"
#include "agent/core/agent.h"
#include <cstdio>
#include <cstring>

// Per-thread request state: the first reply's summary and the field lookup buffer.
static thread_local char t_reply_summary[PIPE_REPLY_SUMMARY_CAP];
static thread_local bool t_reply_recorded;
static thread_local char t_field[PIPE_FIELD_CAP];
// One manual-reset event per serving thread for its overlapped I/O, made on first use
// and kept for the thread's life so a request costs no event creation.
static thread_local HANDLE t_io_event;
// Set when a reply write of the current request ran out of time.
static thread_local bool t_write_timed_out;

// ---------------------------------------------------------------- pure parts

size_t pipe_reply_summary_of(const char* data, size_t len, char out[PIPE_REPLY_SUMMARY_CAP]) {
    size_t n = 0;
    while (n < len && n < PIPE_REPLY_SUMMARY_CAP - 1 && data[n] != '\n' && data[n] != 0) {
        out[n] = data[n] == '\t' ? ' ' : data[n];
        n++;
    }
    out[n] = 0;
    return n;
}

size_t pipe_err_format(char out[PIPE_ERR_CAP], const char* code, const char* msg) {
    int n = snprintf(out, PIPE_ERR_CAP, "err\tcode=%s\tmsg=%s\n", code, msg);
    if (n < 0) {
        out[0] = 0;
        return 0;
    }
    if ((size_t)n < PIPE_ERR_CAP) return (size_t)n;
    // A cut reply still ends its line, so the client sees one whole line.
    out[PIPE_ERR_CAP - 2] = '\n';
    return PIPE_ERR_CAP - 1;
}

bool pipe_field_find(const char* args, const char* key, char* out, size_t cap) {
    if (cap == 0) return false;
    out[0] = 0;
    if (!args || !key) return false;
    size_t klen = strlen(key);
    const char* p = args;
    for (;;) {
        const char* end = strchr(p, '\t');
        size_t flen = end ? (size_t)(end - p) : strlen(p);
        if (flen > klen && memcmp(p, key, klen) == 0 && p[klen] == '=') {
            size_t vlen = flen - klen - 1;
            if (vlen > cap - 1) vlen = cap - 1;
            memcpy(out, p + klen + 1, vlen);
            out[vlen] = 0;
            return vlen > 0;
        }
        if (!end) return false;
        p = end + 1;
    }
}

// ---------------------------------------------------------------- replies

static HANDLE pipe_io_event(void) {
    if (!t_io_event) t_io_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return t_io_event;
}

// Waits for an overlapped operation on pipe until limit_ms have passed or the agent
// stops; an unfinished one is cancelled. Returns the outcome.
static pipe_io_result pipe_io_finish(HANDLE pipe, OVERLAPPED* ov, DWORD limit_ms) {
    ULONGLONG end = GetTickCount64() + limit_ms;
    DWORD n = 0;
    for (;;) {
        ULONGLONG now = GetTickCount64();
        DWORD slice = now >= end ? 0 : (DWORD)(end - now < 250 ? end - now : 250);
        if (WaitForSingleObject(ov->hEvent, slice) == WAIT_OBJECT_0)
            return GetOverlappedResult(pipe, ov, &n, FALSE) ? PIPE_IO_DONE : PIPE_IO_FAILED;
        if (GetTickCount64() >= end || agent_quitting()) break;
    }
    CancelIoEx(pipe, ov);
    // The operation may have finished just before the cancel.
    if (GetOverlappedResult(pipe, ov, &n, TRUE)) return PIPE_IO_DONE;
    return PIPE_IO_TIMED_OUT;
}

// Writes on the overlapped instance within the write limit. Once a write of this
// request has timed out, later ones are skipped: the client is not reading.
static void pipe_write_raw(HANDLE pipe, const char* data, size_t len) {
    if (t_write_timed_out) return;
    OVERLAPPED ov{};
    ov.hEvent = pipe_io_event();
    if (!ov.hEvent) return;
    DWORD n = 0;
    if (WriteFile(pipe, data, (DWORD)len, &n, &ov) || GetLastError() != ERROR_IO_PENDING) return;
    if (pipe_io_finish(pipe, &ov, PIPE_WRITE_LIMIT_MS) == PIPE_IO_TIMED_OUT) t_write_timed_out = true;
}

struct pipe_flush_watch {
    HANDLE pipe;
    ULONGLONG end;
    volatile LONG expired;
};

static void CALLBACK pipe_flush_tick(void* arg, BOOLEAN) {
    pipe_flush_watch* w = (pipe_flush_watch*)arg;
    if (GetTickCount64() < w->end && !agent_quitting()) return;
    InterlockedExchange(&w->expired, 1);
    // Repeated on every tick: a cancel that came before the flush began would miss it.
    CancelIoEx(w->pipe, nullptr);
}

// FlushFileBuffers waits for the client to read everything and takes no time-out, so
// a timer cancels it once limit_ms have passed or the agent stops.
pipe_io_result pipe_flush_bounded(HANDLE pipe, DWORD limit_ms) {
    pipe_flush_watch w{pipe, GetTickCount64() + limit_ms, 0};
    HANDLE timer = nullptr;
    if (!CreateTimerQueueTimer(&timer, nullptr, pipe_flush_tick, &w, 250, 250, WT_EXECUTEINTIMERTHREAD))
        return PIPE_IO_FAILED;  // unbounded is not an option; the reply may be cut
    BOOL ok = FlushFileBuffers(pipe);
    DeleteTimerQueueTimer(nullptr, timer, INVALID_HANDLE_VALUE);  // waits for a running tick
    if (InterlockedCompareExchange(&w.expired, 0, 0)) return ok ? PIPE_IO_DONE : PIPE_IO_TIMED_OUT;
    return ok ? PIPE_IO_DONE : PIPE_IO_FAILED;
}

void pipe_reply_begin(void) {
    t_reply_summary[0] = 0;
    t_reply_recorded = false;
    t_write_timed_out = false;
}

void pipe_reply_write_bytes(HANDLE pipe, const char* data, size_t len) {
    if (!t_reply_recorded) {
        pipe_reply_summary_of(data, len, t_reply_summary);
        t_reply_recorded = true;
    }
    pipe_write_raw(pipe, data, len);
}

void pipe_reply_write(HANDLE pipe, const char* text) { pipe_reply_write_bytes(pipe, text, strlen(text)); }

void pipe_reply_err(HANDLE pipe, const char* code, const char* msg) {
    char buf[PIPE_ERR_CAP];
    size_t n = pipe_err_format(buf, code, msg);
    pipe_reply_write_bytes(pipe, buf, n);
}

const char* pipe_reply_summary(void) { return t_reply_summary; }

bool pipe_reply_timed_out(void) { return t_write_timed_out; }

const char* pipe_field_get(const char* args, const char* key) {
    pipe_field_find(args, key, t_field, sizeof t_field);
    return t_field;
}
