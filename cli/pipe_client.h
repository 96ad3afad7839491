#pragma once
// One request line to the agent over \\.\pipe\ivra and its reply line, with
// the auto-starting variant that launches ivrad.exe from ivrac's folder.
#include "common/win.h"
#include <cstddef>

enum {
    PIPE_CALL_OK = 0,         // a reply of at least one byte arrived
    PIPE_CALL_NO_REPLY = 1,   // the request was not written or no reply byte arrived in time
    PIPE_CALL_ABSENT = 3,     // the pipe did not open
    PIPE_REQUEST_MAX = 4094,  // request bytes before the line feed
};

// Sends request + "\n" and stores the reply without its line feed, NUL-terminated,
// at most reply_size - 1 bytes. timeout_ms bounds each wait separately. Never
// starts the agent, prints nothing. Returns PIPE_CALL_OK, _NO_REPLY or _ABSENT;
// a request longer than PIPE_REQUEST_MAX bytes or holding a line feed is not
// sent (_NO_REPLY). On failure reply holds an empty string (reply_size > 0).
int pipe_client_call(const char* request, char* reply, size_t reply_size, unsigned long timeout_ms);

// pipe_client_call, starting the agent once when the pipe is absent. Prints its own
// failures through cli_fail. Returns an exit code: 0 reply received, 1 no reply,
// 2 request unusable (too long), 3 agent unavailable.
int pipe_client_call_start(const char* request, char* reply, size_t reply_size, unsigned long timeout_ms);

// Starts ivrad.exe from ivrac's folder and waits (about 5 s) for its pipe.
// Prints its failures through cli_fail. Returns 0 or 3.
int pipe_client_agent_launch();

// True when the reply starts with "ok".
bool pipe_client_reply_ok(const char* reply);

// The value of the first tab-separated field "key=value"
// or null. *len receives the value's length in bytes. Pure.
const char* pipe_client_reply_field_find(const char* reply, const char* key, size_t* len);

// The field's value (at most 1023 bytes, cut at a character boundary) converted
// from UTF-8 into out_wide[out_chars]; empty when absent or reply is null.
void pipe_client_reply_field_get(const char* reply, const char* key, wchar_t* out_wide, size_t out_chars);

// The same as UTF-8 into out[out_size] (cut at a character boundary); empty when absent.
void pipe_client_reply_field_get_utf8(const char* reply, const char* key, char* out, size_t out_size);

// ivrac's own folder with the file name appended ("...\\ivrad.exe") into out[260].
// False, out untouched, when the module path cannot be read or the result does not fit.
bool cli_sibling_path(const wchar_t* file_name, wchar_t out[260]);

// "\"path\"" into out[capacity]: the command line that makes the started program
// see its own path as one word. False when the path is empty, holds a quote or
// does not fit. Pure.
bool cli_quoted_command_line(const wchar_t* path, wchar_t* out, size_t capacity);

// Starts the program file_name from ivrac's own folder without waiting for it. On
// failure reports "cannot start <file_name> (<error>)" through cli_fail with code and
// exit_code and returns exit_code; else CLI_EXIT_OK with the process in *process,
// which the caller closes.
int cli_start_sibling(const wchar_t* file_name, const char* code, int exit_code, HANDLE* process);

// Finds a top-level window of the class, hidden or message-only; null when none.
HWND cli_find_window(const wchar_t* class_name);
