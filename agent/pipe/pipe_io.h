#pragma once
// One control-pipe request as its handler sees it: the fields of the request line
// and the one reply, written on the overlapped instance within the write limit.
// The server above the handlers frames each request and dispatches it to them.
#include "common/win.h"
#include <cstddef>

enum {
    PIPE_FIELD_CAP = 1024,  // per-thread field value buffer
    PIPE_ERR_CAP = 1024,    // formatted error reply
    PIPE_REPLY_SUMMARY_CAP = 100,
    PIPE_WRITE_LIMIT_MS = 5000,  // a reply not taken by the client within this is given up
};

// A command handler writes exactly one reply through pipe_reply_write,
// pipe_reply_err or pipe_reply_write_bytes and never flushes, disconnects or
// closes the pipe. The instance is overlapped: write through these helpers,
// never with a bare WriteFile.
typedef void (*pipe_handler)(HANDLE pipe, const char* args);

// ---- Replies.

// The value of the first field "key=value" of args, cut to 1023 bytes, in a
// per-thread buffer overwritten by the next lookup on this thread; "" when absent.
const char* pipe_field_get(const char* args, const char* key);

// Records the reply summary (first reply of the request only) and writes text.
// A failed write is ignored.
void pipe_reply_write(HANDLE pipe, const char* text);
// As pipe_reply_write for len bytes that need not end in NUL.
void pipe_reply_write_bytes(HANDLE pipe, const char* data, size_t len);
// Writes "err\tcode=%s\tmsg=%s\n" (cut to 1023 bytes) and records the summary.
void pipe_reply_err(HANDLE pipe, const char* code, const char* msg);
// This thread's reply summary of the current request ("" before any reply).
const char* pipe_reply_summary(void);

// For the server around each request: empties this thread's reply state, tells whether
// a reply write ran out of time, and flushes within limit_ms (the client reads it all).
enum pipe_io_result { PIPE_IO_DONE, PIPE_IO_FAILED, PIPE_IO_TIMED_OUT };
void pipe_reply_begin(void);
bool pipe_reply_timed_out(void);
pipe_io_result pipe_flush_bounded(HANDLE pipe, DWORD limit_ms);

// ---- Pure parts (no Win32 calls).

// First line of a reply, cut to 99 bytes, tabs as blanks. Returns the length.
size_t pipe_reply_summary_of(const char* data, size_t len, char out[PIPE_REPLY_SUMMARY_CAP]);

// "err\tcode=%s\tmsg=%s\n" cut to 1023 bytes, a cut one still ending in a line feed.
// Returns the length.
size_t pipe_err_format(char out[PIPE_ERR_CAP], const char* code, const char* msg);

// Copies the first matching field value (cut to cap - 1 bytes) into out. Returns
// true when the key was present with a non-empty value; out is "" otherwise.
bool pipe_field_find(const char* args, const char* key, char* out, size_t cap);
