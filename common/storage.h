#pragma once
// How full the captures drive is and how much the capture folders hold, by kind
// of file, and the three flags the thresholds of the configuration give. Used by
// the agent's storage thread and, with the agent down, by ivrac directly.
#include "common/config.h"
#include "common/win.h"
#include <cstddef>
#include <cstdint>

enum {
    STORAGE_DRIVE_MAX = 8,   // shown drive root, terminator included
    STORAGE_ROOT_MAX = 260,  // queried root (a UNC root may be longer than the shown one)
    STORAGE_ROOTS_MAX = 11,  // stills, clips and the nine folder slots
    STORAGE_DEPTH_MAX = 32,  // folder levels walked below a root
};

enum storage_kind { STORAGE_KIND_OTHER = 0, STORAGE_KIND_STILL = 1, STORAGE_KIND_CLIP = 2 };

struct storage_report {
    wchar_t drive[STORAGE_DRIVE_MAX];  // root that was queried, e.g. "C:\"
    uint64_t drive_total;
    uint64_t drive_free;  // bytes available to the user
    uint64_t stills_bytes;
    uint64_t clips_bytes;
    uint64_t other_bytes;
    uint32_t stills_count;
    uint32_t clips_count;
    uint32_t other_count;
    uint64_t ivra_bytes;  // all three kinds together
    int roots;            // folder trees scanned
    int64_t scanned_at;   // performance counter at the end of the scan
    uint32_t scan_ms;
    int low_space;
    int disk_full;
    int ivra_big;
};

// ---- Pure helpers (no Win32 call).

// Kind of a file by its name's extension, ignoring case: stills .png .jpg .jpeg
// .webp .bmp, clips .mp4 .mkv .webm .mov .gif, everything else (no extension too) other.
int storage_kind_of(const wchar_t* name);

// The root of path to query ("C:\", or "\\server\share\" whole) into query and the
// root to show into shown (cut to 7 characters). False, both set to "", when the path
// has no drive letter and no UNC root.
bool storage_root(const wchar_t* path, wchar_t query[STORAGE_ROOT_MAX], wchar_t shown[STORAGE_DRIVE_MAX]);

// True when folder lies inside root or is root itself, ignoring case and trailing
// backslashes ("D:\Shots" holds "d:\shots\red" but not "D:\Shots2").
bool storage_root_holds(const wchar_t* root, const wchar_t* folder);

// The folder trees to walk, in order stills_dir, clips_dir, folder1..folder9: empty
// ones are left out, and so is any folder inside one already taken; a later folder
// that holds an earlier one takes its place. Returns the count; roots point into cfg.
int storage_roots(const config* cfg, const wchar_t* roots[STORAGE_ROOTS_MAX]);

// Sets the three flags of r from its free space (whole MiB) and its total bytes;
// 0 or less switches a check off. Returns ivra_big.
int storage_flags_apply(storage_report* r, int warn_free_mb, int stop_free_mb, int warn_ivra_gb);

// storage_flags_apply with cfg's thresholds, without scanning.
int storage_flags(const config* cfg, storage_report* r);

// ---- Disk.

// Fills drive, drive_total and drive_free of r for the volume of path; a path
// without a root, or a drive that cannot be queried, leaves zero totals.
void storage_drive(const wchar_t* path, storage_report* r);

// The whole scan: the drive of stills_dir, the folder trees of storage_roots walked
// without following junctions or links, the counts by kind, the duration and the
// flags. Folders that cannot be listed are skipped. Logs nothing.
void storage_scan(const config* cfg, storage_report* r);
