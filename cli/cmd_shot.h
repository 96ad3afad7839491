#pragma once
// "ivrac shot": resolves the target on this side (window queries, process ids,
// the foreground window, monitor indexes, region bounds) so the agent receives
// only exact targets, sends one shot request and prints the path, a JSON object
// or the image bytes. The monitor list and region check serve other commands too.
#include "cli/cli.h"
#include <cstddef>
#include <cstdint>

enum { MONITOR_LIST_MAX = 64, MONITOR_NAME_BYTES = 64 };

struct monitor_entry {
    int left, top, width, height;  // virtual-desktop pixels
    int primary;
    int dpi;
    char name[MONITOR_NAME_BYTES];  // device name up to its first blank
};

struct monitor_set {
    int count;
    monitor_entry items[MONITOR_LIST_MAX];
};

// Outcome of a region check: the accepted rectangle in virtual-desktop
// coordinates, or the failure to print.
struct region_verdict {
    const char* code;    // null when accepted
    int exit_code;       // 0 when accepted
    char message[1024];  // failure message
    bool partial;        // accepted, but part of it lies outside every monitor
    long left, top, right, bottom;
};

enum shot_window_kind { SHOT_WIN_NONE = 0, SHOT_WIN_ACTIVE, SHOT_WIN_QUERY, SHOT_WIN_HWND, SHOT_WIN_PID };

// Options that become request fields; each use appends one field, in the order
// given, so the agent's first-match lookup makes the first value win.
enum shot_field { SHOT_FIELD_OCCLUDED, SHOT_FIELD_FORMAT, SHOT_FIELD_QUALITY, SHOT_FIELD_SILENT, SHOT_FIELD_TIMEOUT };

enum { SHOT_FIELDS_MAX = 128 };

struct shot_field_use {
    int field;   // shot_field
    long value;  // format 0/1, quality, time-out; unused otherwise
};

// The target, folder and output options shot and clip start share; pointers refer into argv.
struct shot_target_options {
    bool pick;
    int window_kind;  // shot_window_kind; the last window option wins
    const wchar_t* win_enum_window_query;
    uint64_t hwnd;
    unsigned long pid;
    int screen;  // -1 = none
    bool has_region;
    long rx, ry, rw, rh;
    const wchar_t* out_path;     // as typed; null when none
    const wchar_t* folder_name;  // validated name; null when none
    int folder_slot;             // 1-9, 0 when none
};

// Appends formatted text at *at; false once it no longer fits.
bool cmd_shot_append(char* out, size_t capacity, size_t* at, const char* fmt, ...) CLI_PRINTF(4, 5);
// A request value as UTF-8; false when it holds a control character (a tab or line
// feed would end the field or the request early).
bool cmd_shot_request_value(const wchar_t* text, char* out, size_t capacity);
// Appends the "folder", "dir" and "out" fields that are not empty; false when one holds a
// control character or no longer fits.
bool cmd_shot_append_dest(char* out, size_t capacity, size_t* at, const wchar_t* folder, const wchar_t* dir,
                          const wchar_t* out_path);

// Reads argv[*i] when it is one of the shared options, taking its value too (*i moves
// on). Returns -1 when it is none of them (t untouched), CLI_EXIT_OK when read, and
// CLI_EXIT_USAGE with the message in msg (and *hint false when the "Try" line would not
// help) when its value is wrong.
int cmd_shot_target_option(int argc, wchar_t** argv, int* i, shot_target_options* t, char* msg, size_t capacity,
                           bool* hint);

// The command line of shot after the walk. Repeated field options keep their first
// value, as the agent will.
struct shot_options : shot_target_options {
    bool to_stdout;
    int format;       // -1 configured, 0 png, 1 jpg (first --format)
    long quality;     // 0 = configured
    long timeout_ms;  // 10000 unless given
    bool timeout_given;
    shot_field_use fields[SHOT_FIELDS_MAX];
    int field_count;
};

enum shot_plan_kind { SHOT_PLAN_CURSOR = 0, SHOT_PLAN_MONITOR, SHOT_PLAN_RECT, SHOT_PLAN_WINDOW, SHOT_PLAN_PICK };

// The resolved request.
struct shot_plan {
    int kind;  // shot_plan_kind
    uint64_t hwnd;
    int monitor;
    long left, top, width, height;  // SHOT_PLAN_RECT, virtual-desktop pixels
    int json_screen;                // --screen index behind the target, -1 when none
    wchar_t folder[64];
    wchar_t dir[260];
    wchar_t out[260];
    bool send_format;  // state out_format unless --format already did
    int out_format;    // format the output file's name promises: 0 png, 1 jpg
    bool no_history;   // the file is a stand-in for standard output: not a capture to keep
};

// ---- Pure parts (no Win32 call).

// Reads the monitors of a "screens" reply ("ok\tm0=l,t,w,h,primary,dpi,name\t...")
// in reply order; fields that do not give all values are skipped. Returns the
// number written to out (at most capacity); 0 for a reply that is not "ok".
int cmd_shot_monitor_list_parse(const char* reply, monitor_entry* out, int capacity);

// The union of the monitors as left, top, right, bottom (64-bit so that far-off
// coordinates cannot wrap). False when there is none.
bool cmd_shot_monitor_bounds(const monitor_entry* m, int count, long long* left, long long* top, long long* right,
                             long long* bottom);

// The violations of the region (x, y, w, h) against the bounds, joined by "; "
// into out (at most 512 bytes with capacity). Returns how many were found.
int cmd_shot_region_violations(long long x, long long y, long long w, long long h, long long left, long long top,
                               long long right, long long bottom, char* out, size_t capacity);

// Checks the region against the monitors: with screen >= 0 local to that
// monitor, else in virtual-desktop coordinates. Returns the exit code (0 accepted).
int cmd_shot_region_evaluate(long x, long y, long w, long h, int screen, const monitor_entry* m, int count,
                             region_verdict* out);

// Walks shot's arguments. Returns 0, or 2 with the usage message in msg
// (capacity bytes) and *hint telling whether the "Try" line belongs after it
// (--folder errors carry none); out is written only on success.
int cmd_shot_parse(int argc, wchar_t** argv, shot_options* out, char* msg, size_t capacity, bool* hint);

// The whole text as a decimal number (with allow_hex also "0x" hexadecimal, with
// allow_sign a leading sign) within [lo, hi]. False, out untouched, otherwise.
bool cmd_shot_parse_number(const wchar_t* s, bool allow_sign, bool allow_hex, long long lo, long long hi,
                           long long* out);
// "x,y,w,h" as four decimal numbers. False otherwise (v may then be partly written).
bool cmd_shot_parse_region(const wchar_t* s, long v[4]);

// A window handle in any form the programs print: decimal, "0x" hexadecimal
// (any width) or the agent's 16 hexadecimal digits without a prefix. False for
// anything else and for 0.
bool cmd_shot_parse_hwnd(const wchar_t* text, uint64_t* out);

// The image format an output path asks for: its .png, .jpg or .jpeg extension
// (letter case ignored) when `requested` is -1, else `requested`, which the
// extension must agree with. Returns 0 with *format set (0 png, 1 jpg), or 2
// with the usage message in msg.
int cmd_shot_out_format(const wchar_t* path, int requested, int* format, char* msg, size_t capacity);

// The request line (without line feed): "shot", the option fields, the target,
// the folder and the output path. False, out empty, when it does not fit or a
// value holds a control character that would break the line.
bool cmd_shot_request_build(const shot_options* o, const shot_plan* p, char* out, size_t capacity);

// The JSON object (with its line feed) of an "ok" reply to the plan's request.
// False, out empty, when it does not fit.
bool cmd_shot_json_build(const char* reply, const shot_plan* p, char* out, size_t capacity);

// The warning lines of an "ok" reply for standard error (empty when none).
void cmd_shot_warning_lines(const char* reply, char* out, size_t capacity);

// ---- System parts.

// Why the output path cannot be written, when that can be seen from here: its
// folder is missing, it names a folder, or the file is read-only. False when none applies.
bool cmd_shot_out_path_problem(const wchar_t* path, char* why, size_t capacity);
// "cannot write <path>: <why>" through cli_fail with the code ("bad_path" when
// null), exit 1. Returns 1.
int cmd_shot_out_path_fail(const wchar_t* path, const char* why, const char* code = nullptr);

// Asks the agent for its monitors (auto-starting it). Returns the exit code,
// having printed any failure.
int cmd_shot_monitor_list(monitor_set* out);

// cmd_shot_region_evaluate against the agent's monitors; prints the failure or the
// partial-coverage note. Returns the exit code.
int cmd_shot_region_check(long x, long y, long w, long h, int screen, region_verdict* out);

// "ivrac shot ..."; argv holds the arguments after the command word. Returns the exit code.
int cmd_shot_command(int argc, wchar_t** argv);
