#pragma once
// Update manager: the installer's hooks, and a daily check of the update feed
// through the installer library loaded at run time with our own HTTP client.
#include "common/win.h"
#include <cstddef>
#include <cstdint>

enum { UPDATE_UNAVAILABLE = 0, UPDATE_CURRENT = 1, UPDATE_AVAILABLE = 2, UPDATE_FAILED = 3 };

// Runs the installer hook named in cmdline (it contains "--veloapp-"); returns the
// process exit code (always 0: hook failures are only logged).
int update_installer_hook(const wchar_t* cmdline);
// Main window's 10-minute timer: starts the daily check thread when one is due.
void update_daily_tick(void);
// Period of the main window's update timer: 10 minutes, or IVRA_UPDATE_TICK_MS under the debug hooks.
unsigned update_tick_interval_ms(void);

// One check of the feed: UPDATE_UNAVAILABLE with the reason, UPDATE_CURRENT,
// UPDATE_AVAILABLE with the version (and *bytes to download), UPDATE_FAILED with the
// message. text gets cap bytes, always terminated. Blocks on the network.
int update_check(char* text, size_t cap, uint64_t* bytes);

// ---- Pure rules (no Win32 calls), table-tested.

constexpr unsigned long long UPDATE_DAY_MS = 86400000ull;
constexpr unsigned UPDATE_TICK_MS = 600000;
constexpr size_t UPDATE_VERSION_MAX = 31;  // characters of an announced version

// A feed or package name Velopack may ask for: 1-120 characters of letters, digits,
// '-', '.' and '_', not starting with '.'.
bool update_name_ok(const char* name);

// Whether a daily tick starts a check: update_auto on, none running, and either no
// check has started yet in this run (first) or day_ms have passed since the last start.
bool update_daily_due(int update_auto, bool running, bool first, unsigned long long now, unsigned long long last,
                      unsigned long long day_ms);

// "%s/%s" of base and name into out (cap bytes). False, out untouched, when it does not fit.
bool update_feed_url(const char* base, const char* name, char* out, size_t cap);

// Bytes a found update costs: the deltas' sizes when there are any, else the full package's.
uint64_t update_download_bytes(const uint64_t* delta_sizes, size_t delta_count, uint64_t full_size);

// The progress percentage to report for received of total bytes, or -1 when it would
// repeat *last (kept in *last otherwise; start it at -1). An unknown total reports 0 once.
int update_progress_step(uint64_t received, uint64_t total, int* last);

enum update_hook_kind { UPDATE_HOOK_OTHER = 0, UPDATE_HOOK_INSTALL = 1, UPDATE_HOOK_UNINSTALL = 2 };
// Which installer hook a command line asks for (substring search, as the launch does).
update_hook_kind update_hook_of(const wchar_t* cmdline);

// The command line "\"%s\" %s" that runs ivrac.exe from the folder of exe_path (the
// agent's own path) with args. False, out untouched, when the path has no folder or
// the result does not fit cap characters.
bool update_ivrac_command(const wchar_t* exe_path, const wchar_t* args, wchar_t* out, size_t cap);
