#pragma once
// Capture file names, destination folders, the capture history file and the
// storage totals every saved capture keeps current between storage scans.
#include "common/config.h"
#include "common/storage.h"
#include "common/win.h"
#include <cstddef>
#include <cstdint>

struct worker_pool;

enum {
    CAPTURE_PATH_MAX = 260,         // wide characters, terminator included
    CAPTURE_RESERVED_MAX = 64,      // names handed out whose files may not exist yet
    CAPTURE_NAME_CANDIDATES = 100,  // the plain name, then "_2" .. "_100"
    CAPTURE_SUBFOLDER_MAX = 64,
    HISTORY_LINE_MAX = 520,  // UTF-8 bytes of one path, terminator included
};

enum { CAPTURE_KIND_STILL = 0, CAPTURE_KIND_CLIP = 1 };

// ---- Pure helpers (no Win32 call except code-page conversion)

// Candidate `counter` (1 = plain name, k >= 2 adds "_k") for folder, local time and
// extension into out. False (out untouched) when it does not fit 260 characters or
// an argument is out of range.
bool capture_name_format(wchar_t out[CAPTURE_PATH_MAX], const wchar_t* folder, const SYSTEMTIME* t, int counter,
                         const wchar_t* ext);

// True when name is usable as one folder level under a base: not empty, fits
// CAPTURE_SUBFOLDER_MAX, not "." or "..", and free of \ / : * ? " < > | and control characters.
bool capture_subfolder_valid(const wchar_t* name);

// The base folder of a still (clip = 0) or clip (clip = 1) with chord digit 1..9:
// the digit's slot when set; an empty slot logs "chord digit %d has no folder
// configured; saving to base" and gives the stills or clips folder, as does no digit.
// slot_used (may be null) receives 1 when the slot was taken. Never fails.
void capture_digit_base(const config* cfg, int clip, int digit, wchar_t out[CAPTURE_PATH_MAX], int* slot_used);

// The path's UTF-8 history line with its line feed into out; returns its byte length.
// A path that does not convert or whose UTF-8 form needs more than 519 bytes yields
// the empty line "\n" (length 1). Null counts as empty.
size_t history_line_utf8(const wchar_t* path, char out[HISTORY_LINE_MAX + 1]);

// Drive root of a path ("C:\" or "\\server\share\", at most 7 characters) into out;
// false (out set to "") when the path has neither or the UNC root is too long.
bool capture_drive_root(const wchar_t* path, wchar_t out[8]);

// Longest folder that still holds a generated capture name ("\Ivra_YYYY-MM-DD_hh-mm-ss_100.png").
enum { CAPTURE_DIR_MAX = CAPTURE_PATH_MAX - 1 - 33 };

// Folders a control-pipe request may not write into: the agent's own data folder and
// the Windows folder (either may be null or empty).
struct capture_guard {
    const wchar_t* data_dir;
    const wchar_t* windows_dir;
};

// Checks a request's explicit output path by its text alone: an absolute drive or UNC
// path, no device or namespace prefix, no administrative share, no "." or ".." part, no
// part ending in a dot or a blank, no stream name, no device name, not inside a guarded
// folder, and ending in ".png" (format 0) or ".jpg"/".jpeg" (format 1). False with
// "usage: sentence" in err.
bool capture_out_check(const wchar_t* path, int format, const capture_guard* guard, char* err, size_t err_cap);
// The same rules for a request's target folder (no extension; short enough to hold a
// capture name). False with "bad_dir: sentence" in err.
bool capture_dir_check(const wchar_t* dir, const capture_guard* guard, char* err, size_t err_cap);

// capture_out_check (is_dir 0) or capture_dir_check (is_dir 1) against this agent's data
// folder and the system's Windows folder, on the text as given and on the long form of
// its existing folder, so that an 8.3 spelling does not slip past the folder rules.
bool capture_request_dest_check(const wchar_t* path, int is_dir, int format, char* err, size_t err_cap);
// Splits a "code: sentence" text of these rules: the code into code (code_cap bytes)
// and *msg to the sentence after the colon and its blank. False, code untouched and
// *msg = err, when no code that fits stands before a colon. Pure.
bool capture_error_split(const char* err, char* code, size_t code_cap, const char** msg);

// True when name (a file name without folder) is a generated capture name with ".part"
// appended: "Ivra_YYYY-MM-DD_hh-mm-ss[_k].png|jpg|mp4.part".
bool capture_part_name(const wchar_t* name);

// Deletes the leftover "<capture name>.part" files of an earlier run in the stills and
// clips folders and the nine folder slots (no subfolders, no other files). Returns the
// number deleted. Only for start-up: a running agent has no other writer.
int capture_sweep_parts(const config* cfg);

// At a clip's start: whether its take can be written at path, so that a recording is
// never made only to be lost when it is finished. The take's part file ("<path>.part")
// is made and removed again. An explicit output path (explicit_path) must not name a
// file or a part file that exists. False with "code: sentence" in err: "bad_path" for
// an explicit path, "bad_dir" for the folder of a generated name.
bool capture_take_writable(const wchar_t* path, bool explicit_path, char* err, size_t err_cap);

// ---- Names and folders

// Writes a fresh name "<base>[\<subfolder>]\Ivra_YYYY-MM-DD_hh-mm-ss[_k].<ext>" that no
// file, folder or outstanding reservation uses, creating the folders first (a subfolder
// that cannot be created is logged and the base is used). The name stays reserved until
// capture_name_release. False, out untouched, with "code: sentence" in err, when all
// 100 candidates of the second are taken, the path is too long, or every reservation
// place is held by a name still pending for this very second.
bool capture_file_name(wchar_t out[CAPTURE_PATH_MAX], const wchar_t* base, const wchar_t* ext, const wchar_t* subfolder,
                       char* err, size_t err_cap);
// The same with a given local time (for the clock-independent tests).
bool capture_file_name_at(wchar_t out[CAPTURE_PATH_MAX], const wchar_t* base, const wchar_t* ext,
                          const wchar_t* subfolder, const SYSTEMTIME* now, char* err, size_t err_cap);

// Drops a reservation once its file is written or the capture was abandoned. Unknown
// names are ignored. Calling it is good manners, not a duty: a full table also drops
// names whose files exist and, when still full, the oldest name of another second.
void capture_name_release(const wchar_t* path);
// Number of names currently reserved.
int capture_names_reserved(void);

// What a request says about its destination; every field may be null or empty.
struct capture_dest {
    const wchar_t* out_path;   // explicit output path: used unchanged
    const wchar_t* dir;        // explicit absolute base folder
    const wchar_t* subfolder;  // one folder name under the default folder
    int digit;                 // chord digit 0..9 (0 = none)
};

// The full path of a capture by the folder rules: the explicit path, else a new name
// in the digit's folder slot (when set), else in dir, else in the stills (clip = 0) or
// clips folder with the subfolder. The extension is "png", "jpg" or "mp4". False (out
// untouched, err filled) when no name can be given.
bool capture_dest_path(const config* cfg, int clip, const capture_dest* dest, const wchar_t* ext,
                       wchar_t out[CAPTURE_PATH_MAX], char* err, size_t err_cap);

// ---- History

struct history_entry {
    wchar_t path[CAPTURE_PATH_MAX];
    uint64_t size;
    int kind;  // 0 still, otherwise clip
};

// A heap entry for history_append; null when memory is short or the path does not fit.
history_entry* history_entry_create(const wchar_t* path, uint64_t size, int kind);

// Appends one whole line to "<data_dir>\history.txt" (creating data_dir, one level).
// Lines of concurrent callers never mix. False when the file cannot be opened or written.
bool history_write_line(const wchar_t* data_dir, const wchar_t* path);

// The I/O pool's job (argument: a history_entry): appends the line to the data folder's
// history, updates the storage totals with a fresh free-space reading and the live
// thresholds, and frees the entry. Best effort; never fails towards the caller.
void history_append(void* entry);

// Queues history_append for path on pool, running it on the calling thread when the
// pool refuses (or is null). False only when the entry cannot be allocated.
bool history_submit(worker_pool* pool, const wchar_t* path, uint64_t size, int kind);
