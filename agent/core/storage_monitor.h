#pragma once
// The storage gate every capture passes before a file is written: the free space
// of the destination drive against the configured thresholds. The background
// storage thread that keeps the totals current is not part of this module yet.
#include "common/config.h"
#include "common/win.h"
#include <cstddef>
#include <cstdint>

enum {
    STORAGE_WARNING_MAX = 64,  // wide characters, terminator included
    STORAGE_DRIVE_MAX = 8,     // shown drive root, terminator included
    STORAGE_ROOT_MAX = 260,    // queried root (a UNC root may be longer than the shown one)
};

// Minimum time between two storage balloons.
constexpr uint64_t STORAGE_BALLOON_GAP_MS = 600000;

// ---- Pure helpers (no Win32 call).

// The root of path to query for free space ("C:\", or "\\server\share\" whole) into
// query and the root to show into shown (cut to 7 characters). False, both set to "",
// when the path has no drive letter and no UNC root.
bool storage_gate_root(const wchar_t* path, wchar_t query[STORAGE_ROOT_MAX], wchar_t shown[STORAGE_DRIVE_MAX]);

// Outcome of the thresholds for a drive with free_mb megabytes free (0 or less switches
// a check off): false means refuse. On true, warning receives "", "low_space", "ivra_big"
// or "low_space,ivra_big".
bool storage_gate_decide(uint64_t free_mb, int stop_free_mb, int warn_free_mb, int ivra_big,
                         wchar_t warning[STORAGE_WARNING_MAX]);

// True when a storage balloon may be shown at now_ms given the last one at last_ms
// (0 = none shown yet).
bool storage_balloon_due(uint64_t last_ms, uint64_t now_ms);

// ---- The gate (capture thread).

// Checks the destination path against cfg's thresholds. warning (may be null) receives
// the warning text, free_mb and drive (may be null) the free megabytes and the shown root
// ("?" without one). A path without a root, or a drive whose free space cannot be read,
// counts as 0 MB free. Returns false when the capture must not be made; the refusal is
// logged as an error.
bool storage_gate(const config* cfg, const wchar_t* path, wchar_t* warning, uint64_t* free_mb, wchar_t* drive);

// ---- The storage thread (keeps the scanned totals current).

// Starts "ivra-storage": a scan at once, then every 60 s or when woken. False (logged) when it cannot start.
bool storage_thread_start(void);
// Wakes the thread to stop and waits up to ms for it.
void storage_thread_stop(unsigned long ms);
// Asks for a scan now (configuration reload, the storage reply).
void storage_wake(void);
