#pragma once
// Agent inspection commands: "status" (agent fields, hotkey registration,
// pools and frame memory), "input" (input-broker diagnostics) and "folders"
// (the nine folder slots of config.ini).
#include <cstddef>

enum {
    STATUS_REPLY_BUFFER = 4096,
    STATUS_OUT_BUFFER = 16384,
    FOLDERS_SLOTS = 9,
    FOLDERS_PATH_CHARS = 260,
    FOLDERS_OUT_BUFFER = 16384,
};

// ---- Pure parts (no Win32 call). Each takes the agent's reply line ("ok\t..."
// without its line feed) and writes the whole output, line feeds included, into
// out[capacity], cut at a character boundary. Bytes of the reply that are not
// valid UTF-8 come out as U+FFFD. Return the bytes written; the JSON formatters
// return 0 with out empty when the object does not fit (a cut one is not JSON).

// "status" as text: plain fields as key=value lines, hk_* fields as aligned
// key / hotkey text / state lines, then the pools block and the memory line
// when the reply has pool_stills.
size_t cmd_status_text(const char* reply, char* out, size_t capacity);
// "status" as one JSON object with its line feed: plain fields, "hotkeys",
// "pools" (when pool_stills is present) and "memory" (when mem_total is present).
size_t cmd_status_json(const char* reply, char* out, size_t capacity);

// "input" as text: one "%-24s %s" line per field.
size_t cmd_status_input_text(const char* reply, char* out, size_t capacity);
// "input" as one JSON object with its line feed; route and registration flags
// become booleans, plain decimal numbers stay unquoted, the rest are strings.
size_t cmd_status_input_json(const char* reply, char* out, size_t capacity);

// "folders" as text: the header with a PATH column as wide as the longest slot
// path (at least 4 characters) and one line per slot; empty slots show "-" for
// path and EXISTS.
size_t cmd_status_folders_text(const wchar_t (*paths)[FOLDERS_PATH_CHARS], const bool* exists, char* out,
                               size_t capacity);
// "folders" as a JSON array of nine {slot,path,exists} objects with its line feed.
size_t cmd_status_folders_json(const wchar_t (*paths)[FOLDERS_PATH_CHARS], const bool* exists, char* out,
                               size_t capacity);

// ---- Commands; argv holds the arguments after the command word.

// 0 running; 2 when given arguments; 3 when the agent is not running (never starts it).
int cmd_status_command(int argc, wchar_t** argv);
// 0 diagnostics shown, 1 the agent refused, 2 usage, 3 agent unavailable (never starts it).
int cmd_status_input_command(int argc, wchar_t** argv);
// Always 0; reads config.ini only.
int cmd_status_folders_command(int argc, wchar_t** argv);
