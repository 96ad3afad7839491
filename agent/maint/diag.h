#pragma once
// Crash and hang evidence: minidumps in "%APPDATA%\Ivra\dumps", of which at
// most six are kept.
#include "common/win.h"
#include <cstddef>

enum { DIAG_DUMPS_KEPT = 6, DIAG_NAME_CANDIDATES = 100 };

// Writes a minidump of this process named "ivrad_YYYYMMDD_hhmmss_<tag>.dmp"
// (tag: "crash", "badparam", "hang", "ondemand"), or with "_2", "_3"... before
// ".dmp" when that name is taken, so no dump overwrites another; pointers may be
// null. On success fills out_path with the file's full path and returns true; on
// failure out_path is untouched and no file is left behind. Prunes the folder either way.
bool write_minidump(const char* tag, EXCEPTION_POINTERS* pointers, wchar_t out_path[260]);

// "%s\ivrad_%04d%02d%02d_%02d%02d%02d_%s.dmp" into out (260 characters), with
// "_%d" after the tag when counter is 2 or more. False when it does not fit or
// counter is outside 1..DIAG_NAME_CANDIDATES; out is untouched then.
bool diag_dump_name(const wchar_t* folder, const SYSTEMTIME* local, const char* tag, int counter, wchar_t out[260]);

// Index of the entry with the oldest time among count write times, -1 when count is 0.
int diag_oldest(const FILETIME* times, int count);

// Deletes the oldest "*.dmp" files of folder until at most keep remain (stops
// when a delete fails); the file named spare (a leaf name, may be null) is never
// deleted. Returns how many files it deleted.
int diag_prune_dumps(const wchar_t* folder, int keep, const wchar_t* spare);

// Installs the unhandled-exception filter and the runtime library's invalid-parameter
// handler; each logs the thread and its stack and writes a dump. Call first thing.
void diag_install_crash_handlers(void);

// True while a crash or invalid parameter is being reported; the process ends after it.
bool diag_crashing(void);

// Debug hooks: an access violation on the calling thread; an invalid parameter passed to
// the C runtime (the process ends with 0xC0000417 once the handler has run). The second
// returns only when no runtime reported the parameter.
void diag_debug_crash(void);
void diag_debug_bad_parameter(void);

// Logs "  thread: <description> tid=N" for the calling thread ("  thread: tid=N" without one).
void log_thread(void);

// Logs up to 32 frames of thread's stack, starting from context, as "  <tag> #NN <frame>".
// Takes the dbghelp lock, so it waits while a dump is being written.
void log_stack(const char* tag, HANDLE thread, const CONTEXT* context);

enum { DIAG_STACK_FRAMES = 32, DIAG_FRAME_TEXT = 600 };

// One frame's text: "module!symbol+0xD (file:line)", "module!symbol+0xD" without a line,
// "module+0xOFFSET" without a symbol; file loses its folders. Pure.
size_t diag_frame_text(char out[DIAG_FRAME_TEXT], const char* module, const char* symbol,
                       unsigned long long displacement, const char* file, unsigned long line,
                       unsigned long long module_offset);

// Dumps take a minute under some systems, so they are written on a short-lived
// "ivra-diag" thread and the asking thread only waits as long as it chooses.
struct diag_dump_request;

// Starts a dump with tag on its own thread; null when no memory or no thread
// (nothing was written then). The caller releases what it gets.
diag_dump_request* diag_dump_begin(const char* tag);
// Waits up to ms for the dump: true when it ended, with *ok and (on success) out_path filled.
bool diag_dump_wait(diag_dump_request* req, unsigned long ms, bool* ok, wchar_t out_path[260]);
void diag_dump_release(diag_dump_request* req);

// The watchdog's report of a hung thread, done off the watchdog: the stack from context
// (when given) and, when dump is set, one "hang" dump with its "HANG: minidump" line.
// thread is duplicated; the caller keeps its own handle.
void diag_hang_report(const char* name, HANDLE thread, const CONTEXT* context, bool dump);
