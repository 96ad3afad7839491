#pragma once
// The storage gate every capture passes before a file is written (the free space
// of the destination drive against the configured thresholds, with the warning
// balloons), the storage totals, and the storage thread that keeps them current.
#include "common/config.h"
#include "common/storage.h"
#include "common/win.h"
#include <cstddef>
#include <cstdint>

enum {
    STORAGE_WARNING_MAX = 64,   // wide characters, terminator included
    STORAGE_BALLOON_MAX = 128,  // wide characters of a storage balloon's text
};

// Minimum time between two storage balloons.
constexpr uint64_t STORAGE_BALLOON_GAP_MS = 600000;

// ---- Pure helpers (no Win32 call).

// storage_root under the gate's name.
bool storage_gate_root(const wchar_t* path, wchar_t query[STORAGE_ROOT_MAX], wchar_t shown[STORAGE_DRIVE_MAX]);

// Outcome of the thresholds for a drive with free_mb megabytes free (0 or less switches
// a check off): false means refuse. On true, warning receives "", "low_space", "ivra_big"
// or "low_space,ivra_big".
bool storage_gate_decide(uint64_t free_mb, int stop_free_mb, int warn_free_mb, int ivra_big,
                         wchar_t warning[STORAGE_WARNING_MAX]);

// True when a storage balloon may be shown at now_ms given the last one at last_ms
// (0 = none shown yet).
bool storage_balloon_due(uint64_t last_ms, uint64_t now_ms);

// The balloon text for a warning text of storage_gate_decide ("low_space" first,
// else "ivra_big"); "" when there is no warning. free_text is the byte-size text.
void storage_balloon_text(const wchar_t* warning, const wchar_t* free_text, const wchar_t* drive, int warn_ivra_gb,
                          wchar_t out[STORAGE_BALLOON_MAX]);

// ---- Storage totals

// The last scan's results, kept current between scans by every saved capture.
using storage_totals = storage_report;

struct storage_thresholds {
    int warn_free_mb;
    int stop_free_mb;
    int warn_ivra_gb;
};

// Adds one saved capture to the totals (kind 0 still, else clip), stores the drive
// snapshot when drive is non-empty, then recomputes the three flags from the stored
// free space and the thresholds (0 or less switches a check off). Pure.
void storage_totals_add(storage_totals* t, uint64_t size, int kind, const wchar_t* drive, uint64_t drive_free,
                        uint64_t drive_total, const storage_thresholds* th);

// The process-wide totals under the storage lock: replaced whole by a scan, read as a copy.
void storage_totals_set(const storage_totals* t);
void storage_totals_get(storage_totals* out);
// Adds one saved capture to the process-wide totals under the storage lock, which is held
// for nothing else.
void storage_totals_record(uint64_t size, int kind, const wchar_t* drive, uint64_t drive_free, uint64_t drive_total,
                           const storage_thresholds* th);

// ---- Free space.

// Free and total bytes of the volume of path and its shown root ("" when none);
// false, both 0, when the path has no root or the drive cannot be read. With
// IVRA_DEBUG_HOOKS=1 and IVRA_DEBUG_FREE_MB set to a number above 0, that many
// megabytes are reported free instead, so tests do not depend on the real disk.
bool storage_free_space(const wchar_t* path, wchar_t shown[STORAGE_DRIVE_MAX], uint64_t* avail, uint64_t* total);

// ---- The gate (capture thread).

// Shows a storage balloon; full is set for the disk-full refusal, which also plays the
// warning sound. The wiring installs it before the capture thread starts; without one
// the gate only logs.
typedef void (*storage_notify_fn)(const wchar_t* text, bool full);
void storage_set_notifier(storage_notify_fn notify);

// Checks the destination path against cfg's thresholds. warning (may be null) receives
// the warning text, free_mb and drive (may be null) the free megabytes and the shown root
// ("?" without one). A path without a root, or a drive whose free space cannot be read,
// counts as 0 MB free. Returns false when the capture must not be made; the refusal is
// logged as an error.
bool storage_gate(const config* cfg, const wchar_t* path, wchar_t* warning, uint64_t* free_mb, wchar_t* drive);

// ---- The storage thread (keeps the scanned totals current).

// Starts "ivra-storage": a scan at once, then every 60 s or when woken. False (logged) when it cannot start.
// With IVRA_DEBUG_HOOKS=1, IVRA_DEBUG_SCAN_MS delays every scan by that many milliseconds.
bool storage_thread_start(void);
// Wakes the thread to stop and waits up to ms for it.
void storage_thread_stop(unsigned long ms);
// Asks for a scan now (configuration reload, the storage reply).
void storage_wake(void);

enum storage_refresh_result { STORAGE_REFRESH_DONE = 0, STORAGE_REFRESH_STALE = 1, STORAGE_REFRESH_NO_THREAD = 2 };
// Asks for a scan that begins after this call and waits up to ms for it to end.
// STALE when it did not end in time; NO_THREAD, at once, without a storage thread.
int storage_refresh(unsigned long ms);
