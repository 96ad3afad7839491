#pragma once
// Reply lines of the inspection and screenshot commands, and the parsing of
// their request fields. Everything here works on plain snapshots and makes no
// system call, so each format can be checked without a running agent.
//
// Every formatter writes one NUL-terminated line that ends in exactly one line
// feed, even when it had to be cut to its buffer, and returns its length in bytes.
#include "common/config.h"
#include "common/log.h"
#include "agent/core/storage_monitor.h"
#include <cstddef>
#include <cstdint>

struct still_request;
using shot_job = still_request;

// A reply line being built in a caller's buffer.
struct pipe_line {
    char* out;
    size_t cap;
    size_t len;
};

// Appends formatted text; what does not fit is cut, and the buffer stays terminated.
void pipe_line_add(pipe_line* b, const char* fmt, ...) IVRA_PRINTF(2, 3);
// Ends the line with its line feed; a line that filled the buffer gives up its last
// byte for it, so the client always reads one whole line. Returns the length.
size_t pipe_line_end(pipe_line* b);

enum {
    PIPE_STATUS_CAP = 4096,
    PIPE_SCREENS_CAP = 8320,
    PIPE_SCREENS_TEXT_MAX = 8191,  // UTF-8 bytes of the monitor text
    PIPE_INPUT_CAP = 2048,
    PIPE_STORAGE_CAP = 1024,
    PIPE_SHOT_CAP = 2048,
    PIPE_PATH_UTF8 = 520,    // 519 bytes of a folder or file path and the terminator
    PIPE_HOTKEY_UTF8 = 128,  // 127 bytes of hotkey text
    PIPE_HOTKEY_WIDE = 64,   // characters of hotkey text, terminator included
    PIPE_DRIVE_UTF8 = 16,    // 15 bytes of drive name
    PIPE_ERR_CODE_MAX = 63,  // characters of a capture error code
    PIPE_ERR_MSG_MAX = 127,  // characters of a capture error message
    PIPE_POOL_COUNT = 4,     // stills, clips, io, pipe
};

// ---- Text conversion

// UTF-16 to UTF-8 into out (cap bytes), cut at a character boundary so at most cap - 1
// bytes are written. An unpaired surrogate becomes U+FFFD. With one_line, tabs, carriage
// returns and line feeds become blanks, so the text cannot split a reply. Null counts as
// empty. Returns the bytes written.
size_t pipe_utf8(const wchar_t* in, char* out, size_t cap, bool one_line);

// The leading decimal number of text as atoi reads it (blanks, one sign, digits),
// looking at no more than max_chars characters; saturated to the int range; 0 when
// unreadable.
int pipe_atoi(const char* text, size_t max_chars);

// ---- status

struct pipe_hotkey_line {
    char text[PIPE_HOTKEY_UTF8];  // hotkey_format text, "None" when unassigned
    int assigned;                 // a key is configured
    int registered;               // registration succeeded
    unsigned long error;          // system error of a failed registration
};

struct pipe_pool_line {
    unsigned threads, depth, high_water;
    uint64_t completed, rejected;
    double avg_ms;
};

struct pipe_mem_line {
    int in_use;
    uint64_t committed, budget;
};

struct pipe_status_info {
    unsigned long pid;
    int outputs;
    char stills_dir[PIPE_PATH_UTF8];
    char clips_dir[PIPE_PATH_UTF8];
    long long uptime_s;
    long captures;
    unsigned long long hangs;
    pipe_hotkey_line hotkeys[HOTKEY_COUNT];  // hotkey_actions order
    pipe_pool_line pools[PIPE_POOL_COUNT];   // stills, clips, io, pipe
    pipe_mem_line mem_stills, mem_clips;
    uint64_t mem_total;
    int mem_percent;
};

// "\t<key>=<text>:off", ":ok" or ":failed(<error>)" for one hotkey into out (cap bytes).
size_t pipe_hotkey_field(const char* key, const pipe_hotkey_line* hk, char* out, size_t cap);

// The whole status reply (cap should be PIPE_STATUS_CAP).
size_t pipe_status_format(const pipe_status_info* info, char* out, size_t cap);

// ---- screens

// "ok\t<monitor text>\n" with the text converted to at most 8191 bytes of UTF-8.
size_t pipe_screens_format(const wchar_t* monitor_text, char* out, size_t cap);

// ---- input

enum { PIPE_ROUTE_NONE = -1, PIPE_ROUTE_REGISTERED = 0, PIPE_ROUTE_RAW = 1, PIPE_ROUTE_HOOK = 2 };
enum { PIPE_MOUSE_NONE = 0, PIPE_MOUSE_NATIVE = 1, PIPE_MOUSE_RAW = 2 };

// The input broker's statistics as the reply shows them. Zero-filled with last_route
// PIPE_ROUTE_NONE is the picture of a broker that is not running.
struct pipe_input_info {
    int running, raw_enabled, hook_enabled, raw_ready, hook_ready;
    unsigned long raw_error, hook_error;
    int mouse_ready;
    unsigned long mouse_error;
    int registered[HOTKEY_COUNT];  // registered and assigned, hotkey_actions order
    uint64_t registered_events, raw_events, hook_events;
    uint64_t registered_activations, raw_activations, hook_activations;
    uint64_t duplicates, stale, blocked, dropped;
    int last_route;  // PIPE_ROUTE_*
    int last_action;
    int session_active;
    int mouse_mode;  // PIPE_MOUSE_*
    char mouse_reason[32];
    uint64_t mouse_packets;
    int focus_requested, focus_owned;
};

// "registered", "raw", "hook", or "none" for any other value.
const char* pipe_route_name(int route);
// "native", "raw", or "none" for any other value.
const char* pipe_mouse_mode_name(int mode);

// The whole input reply (cap should be PIPE_INPUT_CAP).
size_t pipe_input_format(const pipe_input_info* info, char* out, size_t cap);

// ---- storage

// Whole seconds from scanned_at to now on a counter of freq ticks per second; -1 when
// there has been no scan (scanned_at 0) or freq is not positive; 0 when the clock went back.
long long pipe_storage_age(int64_t scanned_at, int64_t now, int64_t freq);

// The whole storage reply (cap should be PIPE_STORAGE_CAP); stale adds "\tstale=1".
size_t pipe_storage_format(const storage_totals* t, long long age_s, const storage_thresholds* th, bool stale,
                           char* out, size_t cap);

// ---- shot

// "x,y,w,h" (only the first 63 characters are read) as left = x, top = y, right = x + w,
// bottom = y + h. False, outputs untouched, unless four numbers are read, each of them
// and both sums within the 32-bit signed range.
bool pipe_parse_rect(const char* text, long* left, long* top, long* right, long* bottom);

// A window handle as a decimal 64-bit number (only the first 31 characters are read;
// leading blanks and a '+' are allowed). False, out untouched, for 0, a value that does
// not fit 64 bits, or text that does not start with a number.
bool pipe_parse_hwnd(const char* text, uint64_t* out);

// True when path starts with a drive letter, a colon and a backslash, or with two backslashes.
bool pipe_dir_absolute(const wchar_t* path);

// Splits a capture error "code\tmsg=message" into code (at most 63 characters; "internal"
// when empty) and message (at most 127 characters; "failed" when there is none), both
// UTF-8 on one line. code_cap and msg_cap are in bytes.
void pipe_error_split(const wchar_t* error, char* code, size_t code_cap, char* msg, size_t msg_cap);

// The success reply of a finished job (cap should be PIPE_SHOT_CAP): path, size, duration,
// target, then folder, dir and the storage warning when each is present.
size_t pipe_shot_format(const shot_job* job, char* out, size_t cap);
