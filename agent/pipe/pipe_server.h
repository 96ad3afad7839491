#pragma once
// The agent's control pipe \\.\pipe\ivra: one request line and one reply line
// per connection. A listener thread accepts connections and gathers each request
// with overlapped reads; only a complete request goes to the "ivra-pipe" pool,
// which dispatches, replies and closes. No client can hold a worker or the
// listener for long: requests must arrive within 10 s, replies be read within 5 s.
#include "agent/pipe/pipe_io.h"
#include "common/win.h"
#include <cstddef>
#include <cstdint>

constexpr const wchar_t* PIPE_NAME = L"\\\\.\\pipe\\ivra";

enum {
    PIPE_BUFFER = 8192,          // instance buffers and the request buffer
    PIPE_REQUEST_MAX = 8191,     // bytes of a request that are read at most
    PIPE_MAX_CONNECTIONS = 64,   // accepted and not yet closed
    PIPE_SUMMARY_CAP = 240,      // request summary in the log line
    PIPE_IDLE_LIMIT_MS = 10000,  // a connection without a complete request is closed after this
    PIPE_REFUSING_MAX = 16,      // refused connections whose busy reply may still be waiting
    PIPE_DEBUG_DEFAULT_MS = 8000,
};

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

// ---- Pure parts (no Win32 calls).

// True once a read loop may stop: a line feed among the first got bytes, or
// more than 8190 bytes gathered.
bool pipe_read_complete(const char* buf, size_t got);

// Cuts text (NUL-terminated, modified in place) at its first line feed and
// splits it at the first tab: *cmd is the command word, *args the rest ("" when none).
void pipe_request_split(char* text, const char** cmd, const char** args);

// "%s %s" of command and args, cut to 239 bytes, tabs as blanks. Returns the length.
size_t pipe_request_summary(const char* cmd, const char* args, char out[PIPE_SUMMARY_CAP]);

// True for requests that are not logged: ping, status, screens, input, storage;
// clip with "op=status" or "op=ui" in args; upload with "op=status" in args.
bool pipe_request_quiet(const char* cmd, const char* args);

// The handler of a command word, or null for an unknown word (the caller answers
// "unknown command"). Words without a handler in this build are unknown.
pipe_handler pipe_dispatch_find(const char* cmd);

// Debug hooks are on when the variable exists (len is GetEnvironmentVariableW's
// result for an 8-character buffer), holds at most 7 characters and starts with '1'.
bool pipe_debug_hooks_on(DWORD len, const wchar_t* value);

// The hang_main duration: leading digits of text as atoi reads them (saturated);
// 0 or less, or unreadable, gives 8000.
uint32_t pipe_debug_ms(const char* text);
