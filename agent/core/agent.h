#pragma once
// Process-wide state of the agent, created at start-up and shared read-mostly.
// The live configuration is replaced whole under config_lock; every other
// thread copies it under the shared lock before use.
#include "common/win.h"
#include "common/config.h"
#include "common/version.h"
#include <cstdint>

struct worker_pool;
struct frame_pool;
struct take_journal;

// The agent's built-in version, reported at start-up and by status.
constexpr char AGENT_VERSION[] = IVRA_VERSION_TEXT;

struct agent_state {
    SRWLOCK config_lock;
    config cfg;

    uint64_t mem_total;   // physical memory in bytes
    uint64_t mem_budget;  // frame-memory budget in bytes
    worker_pool* stills;
    worker_pool* clips;
    worker_pool* io;
    worker_pool* pipe;
    frame_pool* frames_stills;
    frame_pool* frames_clips;
    take_journal* takes;  // clip takes still open; none in tests without an agent

    HWND wnd;  // IvraAgentWnd
    HANDLE capture_thread;
    DWORD capture_thread_id;   // for PostThreadMessage
    HANDLE capture_ready;      // manual-reset
    HANDLE stop_event;         // manual-reset; set with `quitting` so waits end early
    UINT msg_reload;           // "IvraReloadConfig"
    UINT msg_taskbar_created;  // "TaskbarCreated"
    int forced_digit;          // IVRA_FORCE_DIGIT, -1 when unset
    int64_t qpc_frequency;     // performance-counter ticks per second
    int64_t qpc_start;         // performance counter when the window, hotkeys and tray were ready

    SRWLOCK hotkey_lock;  // guards the two arrays below
    int hotkey_registered[HOTKEY_COUNT];
    DWORD hotkey_error[HOTKEY_COUNT];

    volatile LONG quitting;   // set once when the agent begins to stop
    volatile LONG selecting;  // a region selection is open
};

extern agent_state g_agent;

// A private copy of the live configuration, taken under the shared lock.
void agent_config_copy(config* out);
// Replaces the live configuration under the exclusive lock.
void agent_config_set(const config* cfg);
inline bool agent_quitting() { return InterlockedCompareExchange(&g_agent.quitting, 0, 0) != 0; }
// Sets `quitting` and the stop event; the capture thread and every capture wait end on it.
void agent_begin_stop(void);

// Longest time a request that needs the capture thread waits for it to be ready.
constexpr unsigned long AGENT_CAPTURE_WAIT_MS = 5000;

// Waits up to ms for capture_ready. True when the capture thread is ready (or no
// start-up is tracked, as in tests without an agent); false with the reply's code and
// sentence when it is still starting or the agent began to stop, outputs untouched otherwise.
bool agent_capture_wait_ready(unsigned long ms, const char** code, const char** msg);

// Test aid: with IVRA_DEBUG_HOOKS=1 sleeps the milliseconds held by the environment
// variable `name` and logs "debug: <what> sleeping N ms"; otherwise returns at once.
void agent_debug_pause(const wchar_t* name, const char* what);

// The milliseconds held by the environment variable `name` when IVRA_DEBUG_HOOKS=1, else 0.
unsigned long agent_debug_ms(const wchar_t* name);
// True when IVRA_DEBUG_HOOKS=1 turns the test hooks on.
bool agent_debug_hooks(void);

// Milliseconds of a debug pause: 0 unless hooks (IVRA_DEBUG_HOOKS's value, null when
// absent) is 1 to 7 characters starting with '1'; then value's leading digits, at most
// 600000; 0 for a null or unreadable value.
unsigned long agent_debug_pause_ms(const wchar_t* hooks, const wchar_t* value);

// ---- Launch classification (pure: no Win32 calls, unit-tested).

enum { LAUNCH_NONE = 0, LAUNCH_REGION = 3, LAUNCH_CLIP = 4 };

struct launch_switches {
    int installer_hook;  // "--veloapp-": the run belongs to the installer hooks
    int autostart;       // "--autostart"
    int capture;         // "--capture"
    int settings;        // "--settings"
    int updated;         // "--updated"
    unsigned action;     // LAUNCH_NONE, LAUNCH_REGION or LAUNCH_CLIP from "--capture"
};

// Fills out from the command line by substring search (not tokenised); a null
// line counts as empty. Always succeeds.
void agent_launch_switches(const wchar_t* cmdline, launch_switches* out);

// True when the start-up information decides the launch, i.e. neither
// --capture, --settings nor --autostart was given.
bool agent_launch_inspects_startupinfo(const launch_switches* sw);

enum taskbar_verdict { TASKBAR_NO = 0, TASKBAR_IF_CURSOR_ON_TRAY = 1, TASKBAR_YES = 2 };

// Reads STARTUPINFO's flags and title: an app-id launch of "velopack.Ivra" is a
// taskbar launch only when the cursor is over the taskbar (the caller checks);
// a shortcut under "\user pinned\taskbar\" is one. Null title = not one.
taskbar_verdict agent_launch_taskbar(unsigned long flags, const wchar_t* title);

// Action of a taskbar launch: clip with Shift held, else region.
unsigned agent_launch_taskbar_action(bool shift_down);

// The text after the last backslash or slash; "" for null.
const wchar_t* agent_path_leaf(const wchar_t* path);

// When the executable's folder is named "current" (any case), writes that
// folder's parent into parent (capacity in characters) and returns true;
// otherwise false and parent is untouched.
bool agent_exe_in_current_dir(const wchar_t* exe_path, wchar_t* parent, size_t capacity);

// IVRA_FORCE_DIGIT's value as wcstol reads it. Returns the digit 0 to 9, or -1
// when the variable is absent (null) or the number is outside 0..9.
int agent_forced_digit_parse(const wchar_t* value);

// A main-thread dispatch this long (ms) or longer is logged as slow.
constexpr unsigned long long AGENT_SLOW_DISPATCH_MS = 250;
inline bool agent_dispatch_is_slow(unsigned long long ms) { return ms >= AGENT_SLOW_DISPATCH_MS; }

// The launch record's one line "pid %lu started YYYY-MM-DD hh:mm:ss" into out
// (capacity bytes). Returns its length, or 0 when it does not fit.
size_t agent_launch_record_text(char* out, size_t capacity, unsigned long pid, const SYSTEMTIME* local);

// ---- Launch record and cursor repair (file system; failures are ignored).

// Reports a record left by an unclean stop, then writes this run's record.
void agent_launch_record_begin(void);
// Deletes the record at a clean stop or a session end.
void agent_launch_record_end(void);
// Reloads the system cursors when the "cursor_hidden" marker exists and deletes
// the marker; with log_it the repair is logged. Returns true when it repaired.
bool agent_cursor_repair(bool log_it);

// Path and command line of ivra.exe beside the agent: `module` is what
// GetModuleFileNameW wrote into a 260-character buffer and n its result. The command
// line is the quoted path, then a blank and arg when arg is not null. False with a
// system error in *err, path and cmd untouched, when the module path is empty, cut or
// has no folder, or a result does not fit (cmd holds cmd_cap characters). Pure.
bool agent_settings_command(const wchar_t* module, unsigned long n, const wchar_t* arg, wchar_t path[260], wchar_t* cmd,
                            size_t cmd_cap, unsigned long* err);

// Starts the settings program ivra.exe from the agent's folder with arg (null
// for none) and does not wait. Its full path goes to path (260 characters) in
// any case, "" when the agent's own path cannot be read (that is logged);
// returns false with the system error in *err when it cannot start.
bool agent_start_settings(const wchar_t* arg, wchar_t path[260], DWORD* err);

// Brings an open settings window forward with its general page. False when there is
// none or it did not take the message.
bool agent_settings_bring_forward(void);
