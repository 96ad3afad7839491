#pragma once
// "ivrac upload": queues captures in the agent's upload queue, shows and tends the
// queue, waits for uploads to finish, and sets the upload mode. It speaks the
// agent's "upload" pipe command and auto-starts the agent (except for "mode").
#include <cstddef>

enum { UPLOAD_MAX_FILES = 64, UPLOAD_REPLY_CAP = 65536, UPLOAD_SHOWN_MAX = 20, UPLOAD_WAIT_POLLS = 600 };

// One queue entry of the agent's status reply, each part cut to its buffer.
struct upload_entry {
    char id[16];
    char state[16];
    char attempts[8];
    char kind[8];
    char retry_in[16];
    char url[256];
    char error[160];
    char path[780];
};

// ---- Pure parts (no Win32 call).

// The entry of the reply's field "u<i>". False, entry untouched, when the field is
// missing, empty or has fewer than eight '|'-separated parts.
bool cmd_upload_item_get(const char* reply, int i, upload_entry* entry);

// upload_mode of a mode word: "ask" 0, "auto" 1, "manual" 2; -1 for anything else.
int cmd_upload_mode_parse(const wchar_t* word);

// The "upload status" output of a status reply: text lines, or one JSON object.
// False, out empty, when it does not fit capacity.
bool cmd_upload_status_build(const char* reply, bool json, char* out, size_t capacity);

// ---- Commands.

// The agent's "err" reply through cli_fail: its code ("upload" when empty) and message;
// exit 6 for "not_linked", else 1. Returns the exit code.
int cmd_upload_fail(const char* reply);

// "ivrac upload <file>... [--wait] | status | retry | clear | mode [ask|auto|manual]";
// argv holds the arguments after the command word. Returns the exit code.
int cmd_upload_command(int argc, wchar_t** argv);
