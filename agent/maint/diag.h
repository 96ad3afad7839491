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
bool diag_dump_name(const wchar_t* folder, const SYSTEMTIME* local, const char* tag, int counter,
                    wchar_t out[260]);

// Index of the entry with the oldest time among count write times, -1 when count is 0.
int diag_oldest(const FILETIME* times, int count);

// Deletes the oldest "*.dmp" files of folder until at most keep remain (stops
// when a delete fails); the file named spare (a leaf name, may be null) is never
// deleted. Returns how many files it deleted.
int diag_prune_dumps(const wchar_t* folder, int keep, const wchar_t* spare);

// Installs the unhandled-exception filter and the runtime library's invalid-parameter
// handler; each logs the thread and its stack and writes a dump. Call first thing.
void diag_install_crash_handlers(void);
