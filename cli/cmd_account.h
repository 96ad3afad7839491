#pragma once
// "ivrac account": shows, makes and removes this PC's link to a web account.
// It talks to the web service directly and never needs the agent.
#include "common/account.h"

#include <cstddef>

// ---- Pure parts (no Win32 call).

// The name of an upload_mode value: 0 "ask", 1 "auto", 2 "manual", anything else "ask".
const char* cmd_account_mode_name(int upload_mode);

// The whole "account status" output, line feeds included, into out[capacity] (cut
// to fit). acc is null when not linked; server is then the configured address.
// token_state is "valid", "revoked", "unreachable", or "none" when there was no
// check (the text then has no token line). Returns the bytes written.
size_t cmd_account_status_format(const account* acc, const char* server, const char* mode, const char* token_state,
                                 bool json, char* out, size_t capacity);

// The token state of a finished check: "valid" on success, "revoked" for HTTP 401,
// "unreachable" for anything else.
const char* cmd_account_token_state(bool checked_ok, int status);

// Trims a line read from the user in place: trailing blanks, CR and LF, then leading blanks.
void cmd_account_prompt_trim(char* text);

// ---- Console and command.

// Writes prompt to standard error and reads one line into out[size] (UTF-8, trimmed).
// From a console through ReadConsoleW (at most 255 characters); from a pipe or file one
// byte at a time up to a line feed, the end of input or size - 1 bytes. False when
// nothing at all could be read.
bool cmd_account_prompt_line(const char* prompt, char* out, size_t size);

// "ivrac account [status|link|unlink|open] ..."; argv holds the arguments after
// the command word. Returns the exit code (0 ok, 1 failed, 2 usage, 6 not linked).
int cmd_account_command(int argc, wchar_t** argv);
