#pragma once
// The agent's control pipe \\.\pipe\ivra: one request line and one reply line
// per connection. A listener thread accepts connections and gathers each request
// with overlapped reads; only a complete request goes to the "ivra-pipe" pool,
// which dispatches, replies and closes. No client can hold a worker or the
// listener for long: requests must arrive within 10 s, replies be read within 5 s.
#include "common/win.h"
#include <cstddef>
#include <cstdint>

constexpr const wchar_t* PIPE_NAME = L"\\\\.\\pipe\\ivra";

enum {
    PIPE_BUFFER = 8192,         // instance buffers and the request buffer
    PIPE_REQUEST_MAX = 8191,    // bytes of a request that are read at most
    PIPE_MAX_CONNECTIONS = 64,  // accepted and not yet closed
    PIPE_FIELD_CAP = 1024,      // per-thread field value buffer
    PIPE_ERR_CAP = 1024,        // formatted error reply
    PIPE_SUMMARY_CAP = 240,     // request summary in the log line
    PIPE_REPLY_SUMMARY_CAP = 100,
    PIPE_IDLE_LIMIT_MS = 10000,  // a connection without a complete request is closed after this
    PIPE_WRITE_LIMIT_MS = 5000,  // a reply not taken by the client within this is given up
    PIPE_REFUSING_MAX = 16,      // refused connections whose busy reply may still be waiting
    PIPE_DEBUG_DEFAULT_MS = 8000,
};

// A command handler writes exactly one reply through pipe_reply_write,
// pipe_reply_err or pipe_reply_write_bytes and never flushes, disconnects or
// closes the pipe. The instance is overlapped: write through these helpers,
// never with a bare WriteFile.
typedef void (*pipe_handler)(HANDLE pipe, const char* args);

// ---- Listener (used by the agent's start-up and shutdown).

// Starts the listener thread "ivra-pipe-accept" on g_agent.pipe. False when the
// thread could not be made or a listener already runs.
bool pipe_listener_start(void);
// Wakes the listener so it sees agent_quitting(); never blocks.
void pipe_listener_wake(void);
// Waits up to ms for the listener thread to end. True when it ended (or never ran);
// the thread handle is released then.
bool pipe_listener_wait(DWORD ms);
// Connections accepted and not yet closed.
long pipe_active_count(void);

// ---- Serving.

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

// ---- Pure parts (no Win32 calls).

// True once a read loop may stop: a line feed among the first got bytes, or
// more than 8190 bytes gathered.
bool pipe_read_complete(const char* buf, size_t got);

// Cuts text (NUL-terminated, modified in place) at its first line feed and
// splits it at the first tab: *cmd is the command word, *args the rest ("" when none).
void pipe_request_split(char* text, const char** cmd, const char** args);

// "%s %s" of command and args, cut to 239 bytes, tabs as blanks. Returns the length.
size_t pipe_request_summary(const char* cmd, const char* args, char out[PIPE_SUMMARY_CAP]);

// First line of a reply, cut to 99 bytes, tabs as blanks. Returns the length.
size_t pipe_reply_summary_of(const char* data, size_t len, char out[PIPE_REPLY_SUMMARY_CAP]);

// True for requests that are not logged: ping, status, screens, input, storage;
// clip with "op=status" or "op=ui" in args; upload with "op=status" in args.
bool pipe_request_quiet(const char* cmd, const char* args);

// "err\tcode=%s\tmsg=%s\n" cut to 1023 bytes, a cut one still ending in a line feed.
// Returns the length.
size_t pipe_err_format(char out[PIPE_ERR_CAP], const char* code, const char* msg);

// Copies the first matching field value (cut to cap - 1 bytes) into out. Returns
// true when the key was present with a non-empty value; out is "" otherwise.
bool pipe_field_find(const char* args, const char* key, char* out, size_t cap);

// The handler of a command word, or null for an unknown word (the caller answers
// "unknown command"). Words without a handler in this build are unknown.
pipe_handler pipe_dispatch_find(const char* cmd);

// Debug hooks are on when the variable exists (len is GetEnvironmentVariableW's
// result for an 8-character buffer), holds at most 7 characters and starts with '1'.
bool pipe_debug_hooks_on(DWORD len, const wchar_t* value);

// The hang_main duration: leading digits of text as atoi reads them (saturated);
// 0 or less, or unreadable, gives 8000.
uint32_t pipe_debug_ms(const char* text);
