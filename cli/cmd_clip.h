#pragma once
// "ivrac clip" starts, steers and inspects clip recordings in the agent; "ivrac
// replay" switches the in-memory replay on and off, shows it and saves it. Both
// speak the agent's "clip" pipe command and auto-start the agent. The target of
// "clip start" is resolved here with shot's window, monitor and region helpers.
#include "cli/cmd_shot.h"
#include <cstddef>
#include <cstdint>

enum cmd_clip_sub {
    CMD_CLIP_START = 0,
    CMD_CLIP_STOP,
    CMD_CLIP_PAUSE,
    CMD_CLIP_RESUME,
    CMD_CLIP_TOGGLE,
    CMD_CLIP_REDO,
    CMD_CLIP_CANCEL,
    CMD_CLIP_MIC,
    CMD_CLIP_SYSTEM,
    CMD_CLIP_STATUS,
    CMD_CLIP_UI,
};

// Options that become request fields in the order they are typed.
enum cmd_clip_field {
    CMD_CLIP_FIELD_SILENT,
    CMD_CLIP_FIELD_NO_BAR,
    CMD_CLIP_FIELD_MIC,
    CMD_CLIP_FIELD_NO_MIC,
    CMD_CLIP_FIELD_SYSTEM,
    CMD_CLIP_FIELD_NO_SYSTEM,
    CMD_CLIP_FIELD_NO_AUDIO,
};

enum { CMD_CLIP_FIELDS_MAX = 128, CMD_CLIP_REPLY = 8192 };

// The command line of clip after the walk; pointers refer into argv.
struct cmd_clip_options : shot_target_options {
    int sub;          // cmd_clip_sub
    int audio_state;  // mic/system: -1 toggle, 0 off, 1 on
    bool wait;
    int seconds;  // 0 = not given
    int fields[CMD_CLIP_FIELDS_MAX];
    int field_count;
};

enum cmd_clip_target {
    CMD_CLIP_TARGET_CURSOR = 0,
    CMD_CLIP_TARGET_MONITOR,
    CMD_CLIP_TARGET_RECT,
    CMD_CLIP_TARGET_WINDOW,
    CMD_CLIP_TARGET_PICK
};

// The resolved target and destination of "clip start".
struct cmd_clip_plan {
    int target;  // cmd_clip_target
    uint64_t hwnd;
    int monitor;
    long left, top, width, height;  // virtual-desktop pixels
    wchar_t folder[64];
    wchar_t dir[260];
    wchar_t out[260];
};

// "replay save" after its walk.
struct cmd_replay_save_options {
    bool wait;
    bool silent;
    int seconds;              // 0 = not given
    const wchar_t* out_path;  // as typed; null when none
};

// The keys cmd_clip_print_reply writes as JSON numbers: 33 for clip, 12 for replay save.
extern const char* const cmd_clip_numeric_keys[];
extern const int cmd_clip_numeric_count;
extern const char* const cmd_replay_numeric_keys[];
extern const int cmd_replay_numeric_count;

// ---- Pure parts (no Win32 call).

// Walks clip's arguments (the subcommand first). Returns 0, or 2 with the usage
// message in msg (capacity bytes) and *hint telling whether the "Try" line belongs
// after it (--folder errors carry none); out is written only on success.
int cmd_clip_parse(int argc, wchar_t** argv, cmd_clip_options* out, char* msg, size_t capacity, bool* hint);

// Target kinds given to start: window, pick, region, and a monitor index without a
// region (an index with a region is one local region).
int cmd_clip_target_count(const cmd_clip_options* o);

// The request line (without line feed). False, out empty, when it does not fit or a
// value holds a control character.
bool cmd_clip_request_build(const cmd_clip_options* o, const cmd_clip_plan* p, char* out, size_t capacity);

// How long to wait for the agent's reply, in milliseconds.
unsigned long cmd_clip_timeout_ms(const cmd_clip_options* o);

// Exit code of an agent error code: 5 idle/busy, 4 target codes, else 1.
int cmd_clip_exit_for(const char* code);

// The fields of an "ok" reply as cmd_clip_print_reply shows them: "%-14s %s\n" lines, or with
// json one object whose numeric keys with a number value are unquoted. False, out
// empty, when it does not fit.
bool cmd_clip_print_reply_build(const char* reply, const char* const* numeric_keys, int numeric_count, bool json,
                                char* out, size_t capacity);

// Walks "replay save"'s arguments (after "save"). Returns 0, or 2 with the message.
int cmd_clip_replay_save_parse(int argc, wchar_t** argv, cmd_replay_save_options* out, char* msg, size_t capacity);

// "clip\top=replay_save" with the options' fields; out_abs is the absolute output path
// (null or empty when none). False, out empty, when it does not fit.
bool cmd_clip_replay_save_request(const cmd_replay_save_options* o, const wchar_t* out_abs, char* out, size_t capacity);

// The replay status from a clip status reply, the configured replay_enabled and the
// hk_replay text (UTF-8): text lines, or one JSON object. False, out empty, when it
// does not fit.
bool cmd_clip_replay_status_build(const char* reply, bool enabled, const char* hotkey, bool json, char* out,
                                  size_t capacity);

// ---- Output and commands.

// cmd_clip_print_reply_build to standard output.
void cmd_clip_print_reply(const char* reply, const char* const* numeric_keys, int numeric_count);

// "ivrac clip ..." and "ivrac replay ..."; argv holds the arguments after the command
// word. Return the exit code.
int cmd_clip_command(int argc, wchar_t** argv);
int cmd_clip_replay_command(int argc, wchar_t** argv);
