#include "agent/core/capture_files.h"
#include <shlobj.h>

#include "agent/core/agent.h"
#include "agent/core/storage_monitor.h"
#include "agent/core/worker_pool.h"
#include "common/log.h"
#include "common/text.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>

static bool capture_empty(const wchar_t* s) { return !s || !*s; }

// ---- Pure helpers

bool capture_name_format(wchar_t out[CAPTURE_PATH_MAX], const wchar_t* folder, const SYSTEMTIME* t, int counter,
                         const wchar_t* ext) {
    if (!out || !folder || !t || !ext || counter < 1 || counter > CAPTURE_NAME_CANDIDATES) return false;
    wchar_t tmp[CAPTURE_PATH_MAX];
    int n;
    if (counter == 1)
        n = swprintf(tmp, CAPTURE_PATH_MAX, L"%ls\\Ivra_%04d-%02d-%02d_%02d-%02d-%02d.%ls", folder, t->wYear, t->wMonth,
                     t->wDay, t->wHour, t->wMinute, t->wSecond, ext);
    else
        n = swprintf(tmp, CAPTURE_PATH_MAX, L"%ls\\Ivra_%04d-%02d-%02d_%02d-%02d-%02d_%d.%ls", folder, t->wYear,
                     t->wMonth, t->wDay, t->wHour, t->wMinute, t->wSecond, counter, ext);
    if (n < 0 || n >= CAPTURE_PATH_MAX) return false;
    wmemcpy(out, tmp, (size_t)n + 1);
    return true;
}

bool capture_subfolder_valid(const wchar_t* name) {
    if (capture_empty(name)) return false;
    const size_t n = wcslen(name);
    if (n >= CAPTURE_SUBFOLDER_MAX || wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0) return false;
    for (size_t i = 0; i < n; ++i) {
        const wchar_t c = name[i];
        if (c < 32 || wcschr(L"\\/:*?\"<>|", c)) return false;
    }
    return true;
}

// ---- Request destinations (pure string work)

namespace {

wchar_t capture_fold(wchar_t c) {
    if (c == L'/') return L'\\';
    return (wchar_t)towlower(c);
}

// True when path lies in folder or is folder itself (case-insensitive, either slash).
bool capture_inside(const wchar_t* path, const wchar_t* folder) {
    if (capture_empty(folder)) return false;
    size_t n = wcslen(folder);
    while (n > 0 && (folder[n - 1] == L'\\' || folder[n - 1] == L'/')) n--;
    if (n == 0) return false;
    for (size_t i = 0; i < n; i++)
        if (!path[i] || capture_fold(path[i]) != capture_fold(folder[i])) return false;
    return path[n] == 0 || path[n] == L'\\' || path[n] == L'/';
}

// Names that Windows opens as devices whatever extension follows them.
bool capture_device_name(const wchar_t* part, size_t len) {
    static const wchar_t* const names[] = {L"con", L"prn", L"aux", L"nul", L"conin$", L"conout$"};
    size_t stem = 0;
    while (stem < len && part[stem] != L'.') stem++;
    while (stem > 0 && part[stem - 1] == L' ') stem--;
    wchar_t low[8];
    if (stem == 0 || stem >= 8) return false;
    for (size_t i = 0; i < stem; i++) low[i] = (wchar_t)towlower(part[i]);
    low[stem] = 0;
    for (const wchar_t* d : names)
        if (wcscmp(low, d) == 0) return true;
    return stem == 4 && (wcsncmp(low, L"com", 3) == 0 || wcsncmp(low, L"lpt", 3) == 0) && low[3] >= L'1' &&
           low[3] <= L'9';
}

// The rules shared by output paths and target folders; what names the field is "out" or "dir".
bool capture_dest_text_ok(const wchar_t* path, const char* what, const char* code, const capture_guard* guard,
                          char* err, size_t err_cap) {
    if (capture_empty(path)) {
        text_format_into(err, err_cap, "%s: %s is empty.", code, what);
        return false;
    }
    const auto sep = [](wchar_t c) { return c == L'\\' || c == L'/'; };
    if (sep(path[0]) && sep(path[1]) && (path[2] == L'.' || path[2] == L'?') && (sep(path[3]) || !path[3])) {
        text_format_into(err, err_cap, "%s: %s must not be a device or namespace path.", code, what);
        return false;
    }
    if (sep(path[0]) && path[1] == L'?' && path[2] == L'?' && sep(path[3])) {
        text_format_into(err, err_cap, "%s: %s must not be a device or namespace path.", code, what);
        return false;
    }
    const bool letter = (path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z');
    const bool drive = letter && path[1] == L':' && sep(path[2]);
    const bool unc = sep(path[0]) && sep(path[1]) && path[2] && !sep(path[2]);
    if (!drive && !unc) {
        text_format_into(err, err_cap, "%s: %s must be an absolute path.", code, what);
        return false;
    }
    // Walk the parts after the root: "C:\" or "\\".
    size_t i = drive ? 3 : 2;
    int part_no = 0;
    while (path[i]) {
        const size_t start = i;
        while (path[i] && !sep(path[i])) i++;
        const size_t len = i - start;
        const wchar_t* part = path + start;
        if (len == 0) {
            if (unc && part_no < 2) {
                text_format_into(err, err_cap, "%s: %s must name a server and a share.", code, what);
                return false;
            }
        } else {
            if ((len == 1 && part[0] == L'.') || (len == 2 && part[0] == L'.' && part[1] == L'.')) {
                text_format_into(err, err_cap, "%s: %s must not contain . or .. parts.", code, what);
                return false;
            }
            if (part[len - 1] == L'.' || part[len - 1] == L' ') {
                text_format_into(err, err_cap, "%s: %s must not have parts that end in a dot or a blank.", code, what);
                return false;
            }
            if (wmemchr(part, L':', len)) {
                text_format_into(err, err_cap, "%s: %s must not contain ':' after the drive.", code, what);
                return false;
            }
            if (unc && part_no == 1 && part[len - 1] == L'$') {
                text_format_into(err, err_cap, "%s: %s must not use an administrative share.", code, what);
                return false;
            }
            if (capture_device_name(part, len)) {
                text_format_into(err, err_cap, "%s: %s must not name a device.", code, what);
                return false;
            }
        }
        part_no++;
        if (path[i]) i++;
    }
    if (guard && capture_inside(path, guard->data_dir)) {
        text_format_into(err, err_cap, "%s: %s must not be inside the agent's data folder.", code, what);
        return false;
    }
    if (guard && capture_inside(path, guard->windows_dir)) {
        text_format_into(err, err_cap, "%s: %s must not be inside the Windows folder.", code, what);
        return false;
    }
    return true;
}

bool capture_ends_with(const wchar_t* s, const wchar_t* tail) {
    const size_t n = wcslen(s), m = wcslen(tail);
    if (n <= m) return false;
    for (size_t i = 0; i < m; i++)
        if (towlower(s[n - m + i]) != tail[i]) return false;
    return !(s[n - m - 1] == L'\\' || s[n - m - 1] == L'/');
}

}  // namespace

bool capture_out_check(const wchar_t* path, int format, const capture_guard* guard, char* err, size_t err_cap) {
    if (!capture_dest_text_ok(path, "out", "usage", guard, err, err_cap)) return false;
    if (format == 1) {
        if (!capture_ends_with(path, L".jpg") && !capture_ends_with(path, L".jpeg")) {
            text_format_into(err, err_cap, "usage: out must end in .jpg or .jpeg for a JPEG image.");
            return false;
        }
    } else if (!capture_ends_with(path, L".png")) {
        text_format_into(err, err_cap, "usage: out must end in .png for a PNG image.");
        return false;
    }
    return true;
}

bool capture_dir_check(const wchar_t* dir, const capture_guard* guard, char* err, size_t err_cap) {
    if (!capture_dest_text_ok(dir, "dir", "bad_dir", guard, err, err_cap)) return false;
    if (wcslen(dir) > CAPTURE_DIR_MAX) {
        text_format_into(err, err_cap, "bad_dir: dir is longer than %d characters and cannot hold a capture name.",
                         (int)CAPTURE_DIR_MAX);
        return false;
    }
    return true;
}

bool capture_part_name(const wchar_t* name) {
    // "Ivra_" then digits where the pattern has '9'.
    static const wchar_t pattern[] = L"Ivra_9999-99-99_99-99-99";
    if (!name) return false;
    size_t i = 0;
    for (; pattern[i]; i++) {
        const wchar_t want = pattern[i], c = name[i];
        if (want == L'9' ? !(c >= L'0' && c <= L'9') : c != want) return false;
    }
    if (name[i] == L'_') {
        int k = 0, digits = 0;
        for (i++; name[i] >= L'0' && name[i] <= L'9' && digits < 4; i++, digits++) k = k * 10 + (name[i] - L'0');
        if (digits == 0 || name[i - digits] == L'0' || k < 2 || k > CAPTURE_NAME_CANDIDATES) return false;
    }
    const wchar_t* rest = name + i;
    return wcscmp(rest, L".png.part") == 0 || wcscmp(rest, L".jpg.part") == 0 || wcscmp(rest, L".mp4.part") == 0;
}

// The slot text of a chord digit, or null (logging the chord line) when the slot is empty.
static const wchar_t* capture_slot(const config* cfg, int digit) {
    if (digit < 1 || digit > 9) return nullptr;
    const wchar_t* slot = cfg->folders[digit - 1];
    if (slot[0]) return slot;
    log_info("chord digit %d has no folder configured; saving to base", digit);
    return nullptr;
}

void capture_digit_base(const config* cfg, int clip, int digit, wchar_t out[CAPTURE_PATH_MAX], int* slot_used) {
    const wchar_t* slot = capture_slot(cfg, digit);
    const wchar_t* base = slot ? slot : (clip ? cfg->clips_dir : cfg->stills_dir);
    wcsncpy(out, base, CAPTURE_PATH_MAX - 1);
    out[CAPTURE_PATH_MAX - 1] = 0;
    if (slot_used) *slot_used = slot ? 1 : 0;
}

size_t history_line_utf8(const wchar_t* path, char out[HISTORY_LINE_MAX + 1]) {
    int n = 0;
    if (!capture_empty(path))
        n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, path, -1, out, HISTORY_LINE_MAX, nullptr, nullptr);
    // n counts the terminator; 0 means the path did not convert or did not fit.
    const size_t len = n > 0 ? (size_t)n - 1 : 0;
    out[len] = '\n';
    out[len + 1] = 0;
    return len + 1;
}

bool capture_drive_root(const wchar_t* path, wchar_t out[8]) {
    out[0] = 0;
    if (capture_empty(path)) return false;
    if (path[1] == L':') {
        out[0] = path[0];
        out[1] = L':';
        out[2] = L'\\';
        out[3] = 0;
        return true;
    }
    if (path[0] == L'\\' && path[1] == L'\\') {
        // Everything up to and including the backslash after the share name.
        const wchar_t* server_end = wcschr(path + 2, L'\\');
        if (!server_end || server_end == path + 2) return false;
        const wchar_t* share_end = wcschr(server_end + 1, L'\\');
        const size_t len = share_end ? (size_t)(share_end - path) + 1 : wcslen(path);
        if (len > 7 || (!share_end && server_end[1] == 0)) return false;
        wmemcpy(out, path, len);
        out[len] = 0;
        return true;
    }
    return false;
}

// ---- Reserved names

namespace {
struct reserved_names {
    SRWLOCK lock;
    int count;
    uint64_t next_seq;
    wchar_t names[CAPTURE_RESERVED_MAX][CAPTURE_PATH_MAX];
    int64_t second[CAPTURE_RESERVED_MAX];  // local second the name was made for
    uint64_t seq[CAPTURE_RESERVED_MAX];    // hand-out order, oldest first
};
reserved_names g_reserved = {SRWLOCK_INIT, 0, 1, {}, {}, {}};
}  // namespace

static int64_t capture_second_key(const SYSTEMTIME* t) {
    return ((((int64_t)t->wYear * 100 + t->wMonth) * 100 + t->wDay) * 100 + t->wHour) * 10000 +
           (int64_t)t->wMinute * 100 + t->wSecond;
}

static bool capture_same_path(const wchar_t* a, const wchar_t* b) {
    return CompareStringOrdinal(a, -1, b, -1, TRUE) == CSTR_EQUAL;
}

// Caller holds the lock.
static bool capture_is_reserved(const wchar_t* path) {
    for (int i = 0; i < g_reserved.count; ++i)
        if (capture_same_path(g_reserved.names[i], path)) return true;
    return false;
}

static void capture_reserved_remove_at(int i) {
    const int last = g_reserved.count - 1;
    if (i != last) {
        wmemcpy(g_reserved.names[i], g_reserved.names[last], CAPTURE_PATH_MAX);
        g_reserved.second[i] = g_reserved.second[last];
        g_reserved.seq[i] = g_reserved.seq[last];
    }
    g_reserved.count = last;
}

// Makes room in a full table. A name whose file now exists is guarded by the file
// itself; a name made for another second can never equal a candidate of this one.
// Caller holds the lock. False when every place holds a pending name of this second.
static bool capture_reserved_make_room(int64_t second) {
    for (int i = g_reserved.count - 1; i >= 0; --i)
        if (GetFileAttributesW(g_reserved.names[i]) != INVALID_FILE_ATTRIBUTES) capture_reserved_remove_at(i);
    if (g_reserved.count < CAPTURE_RESERVED_MAX) return true;
    int oldest = -1;
    for (int i = 0; i < g_reserved.count; ++i)
        if (g_reserved.second[i] != second && (oldest < 0 || g_reserved.seq[i] < g_reserved.seq[oldest])) oldest = i;
    if (oldest < 0) return false;
    capture_reserved_remove_at(oldest);
    return true;
}

void capture_name_release(const wchar_t* path) {
    if (capture_empty(path)) return;
    AcquireSRWLockExclusive(&g_reserved.lock);
    for (int i = 0; i < g_reserved.count; ++i)
        if (capture_same_path(g_reserved.names[i], path)) {
            capture_reserved_remove_at(i);
            break;
        }
    ReleaseSRWLockExclusive(&g_reserved.lock);
}

int capture_names_reserved(void) {
    AcquireSRWLockShared(&g_reserved.lock);
    const int n = g_reserved.count;
    ReleaseSRWLockShared(&g_reserved.lock);
    return n;
}

// ---- Names and folders

bool capture_file_name_at(wchar_t out[CAPTURE_PATH_MAX], const wchar_t* base, const wchar_t* ext,
                          const wchar_t* subfolder, const SYSTEMTIME* now, char* err, size_t err_cap) {
    if (!out || capture_empty(base) || capture_empty(ext) || !now) {
        text_format_into(err, err_cap, "internal: no destination folder or extension was given.");
        return false;
    }
    wchar_t folder[CAPTURE_PATH_MAX];
    if (wcslen(base) >= CAPTURE_PATH_MAX) {
        text_format_into(err, err_cap, "internal: the destination folder is too long.");
        return false;
    }
    wcscpy(folder, base);
    // The base is made with its missing parents: a profile without a Pictures or
    // Videos folder must not turn every capture into a failed file creation.
    // Failure is reported by the file creation that follows.
    if (SHCreateDirectoryExW(nullptr, base, nullptr) == ERROR_BAD_PATHNAME) CreateDirectoryW(base, nullptr);

    if (!capture_empty(subfolder)) {
        wchar_t sub[CAPTURE_PATH_MAX];
        DWORD e = 0;
        const int n = swprintf(sub, CAPTURE_PATH_MAX, L"%ls\\%ls", base, subfolder);
        if (!capture_subfolder_valid(subfolder))
            e = ERROR_INVALID_NAME;
        else if (n < 0 || n >= CAPTURE_PATH_MAX)
            e = ERROR_FILENAME_EXCED_RANGE;
        else if (!CreateDirectoryW(sub, nullptr)) {
            e = GetLastError();
            // An existing folder is fine; an existing file of that name is not.
            const DWORD attr = GetFileAttributesW(sub);
            if (e == ERROR_ALREADY_EXISTS && attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY))
                e = 0;
        }
        if (e == 0)
            wcscpy(folder, sub);
        else
            log_warn("cannot create subfolder '%ls' under '%ls' (err=%lu); using base", subfolder, base, e);
    }

    const int64_t second = capture_second_key(now);
    wchar_t cand[CAPTURE_PATH_MAX];
    bool found = false, too_long = false, full = false;
    AcquireSRWLockExclusive(&g_reserved.lock);
    for (int k = 1; k <= CAPTURE_NAME_CANDIDATES; ++k) {
        if (!capture_name_format(cand, folder, now, k, ext)) {
            too_long = true;
            break;
        }
        if (GetFileAttributesW(cand) != INVALID_FILE_ATTRIBUTES || capture_is_reserved(cand)) continue;
        if (g_reserved.count >= CAPTURE_RESERVED_MAX && !capture_reserved_make_room(second)) {
            full = true;
            break;
        }
        const int i = g_reserved.count++;
        wmemcpy(g_reserved.names[i], cand, CAPTURE_PATH_MAX);
        g_reserved.second[i] = second;
        g_reserved.seq[i] = g_reserved.next_seq++;
        found = true;
        break;
    }
    ReleaseSRWLockExclusive(&g_reserved.lock);

    if (found) {
        wmemcpy(out, cand, CAPTURE_PATH_MAX);
        return true;
    }
    char why[96];
    if (too_long)
        snprintf(why, sizeof why, "internal: the capture name does not fit 260 characters.");
    else if (full)
        snprintf(why, sizeof why, "busy: %d captures of this second are still being written.", CAPTURE_RESERVED_MAX);
    else
        snprintf(why, sizeof why, "busy: all %d file names of this second are taken; try again.",
                 CAPTURE_NAME_CANDIDATES);
    log_error("no capture name in '%ls': %s", folder, why);
    text_format_into(err, err_cap, "%s", why);
    return false;
}

bool capture_file_name(wchar_t out[CAPTURE_PATH_MAX], const wchar_t* base, const wchar_t* ext, const wchar_t* subfolder,
                       char* err, size_t err_cap) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    return capture_file_name_at(out, base, ext, subfolder, &now, err, err_cap);
}

// The long form of a folder (the folder itself when it cannot be had) into out.
static void capture_long_folder(const wchar_t* folder, wchar_t out[CAPTURE_PATH_MAX]) {
    const DWORD n = GetLongPathNameW(folder, out, CAPTURE_PATH_MAX);
    if (n == 0 || n >= CAPTURE_PATH_MAX) wcsncpy(out, folder, CAPTURE_PATH_MAX - 1);
    out[CAPTURE_PATH_MAX - 1] = 0;
}

bool capture_error_split(const char* err, char* code, size_t code_cap, const char** msg) {
    *msg = err;
    const char* colon = strchr(err, ':');
    if (!colon || colon == err || (size_t)(colon - err) >= code_cap) return false;
    memcpy(code, err, (size_t)(colon - err));
    code[colon - err] = 0;
    *msg = colon[1] == ' ' ? colon + 2 : colon + 1;
    return true;
}

bool capture_request_dest_check(const wchar_t* path, int is_dir, int format, char* err, size_t err_cap) {
    wchar_t data_raw[CAPTURE_PATH_MAX], data[CAPTURE_PATH_MAX], windows[CAPTURE_PATH_MAX];
    app_data_dir(data_raw);
    capture_long_folder(data_raw, data);
    const UINT wn = GetWindowsDirectoryW(windows, CAPTURE_PATH_MAX);
    if (wn == 0 || wn >= CAPTURE_PATH_MAX) windows[0] = 0;
    const capture_guard raw_guard{data_raw, windows};
    const capture_guard guard{data, windows};
    const auto check = [&](const wchar_t* p, const capture_guard* g) {
        return is_dir ? capture_dir_check(p, g, err, err_cap) : capture_out_check(p, format, g, err, err_cap);
    };
    if (!check(path, &raw_guard) || !check(path, &guard)) return false;
    // The deepest existing folder as the file system spells it in full, then the rest as given.
    if (wcslen(path) >= CAPTURE_PATH_MAX) return true;
    wchar_t folder[CAPTURE_PATH_MAX], long_folder[CAPTURE_PATH_MAX], spelled[CAPTURE_PATH_MAX * 2];
    wcscpy(folder, path);
    for (;;) {
        wchar_t* cut = wcsrchr(folder, L'\\');
        wchar_t* cut2 = wcsrchr(folder, L'/');
        if (cut2 > cut) cut = cut2;
        if (!cut || cut - folder < 3) return true;
        *cut = 0;
        const DWORD n = GetLongPathNameW(folder, long_folder, CAPTURE_PATH_MAX);
        if (n > 0 && n < CAPTURE_PATH_MAX) break;
    }
    swprintf(spelled, CAPTURE_PATH_MAX * 2, L"%ls%ls", long_folder, path + wcslen(folder));
    return check(spelled, &guard);
}

int capture_sweep_parts(const config* cfg) {
    if (!cfg) return 0;
    const wchar_t* folders[11] = {cfg->stills_dir, cfg->clips_dir};
    for (int d = 0; d < 9; d++) folders[2 + d] = cfg->folders[d];
    int removed = 0;
    for (int f = 0; f < 11; f++) {
        const wchar_t* folder = folders[f];
        if (capture_empty(folder)) continue;
        wchar_t pattern[CAPTURE_PATH_MAX];
        const int n = swprintf(pattern, CAPTURE_PATH_MAX, L"%ls\\Ivra_*.part", folder);
        if (n < 0 || n >= CAPTURE_PATH_MAX) continue;
        WIN32_FIND_DATAW fd;
        HANDLE h = FindFirstFileW(pattern, &fd);
        if (h == INVALID_HANDLE_VALUE) continue;
        do {
            if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || !capture_part_name(fd.cFileName)) continue;
            wchar_t path[CAPTURE_PATH_MAX];
            const int m = swprintf(path, CAPTURE_PATH_MAX, L"%ls\\%ls", folder, fd.cFileName);
            if (m < 0 || m >= CAPTURE_PATH_MAX) continue;
            if (DeleteFileW(path)) {
                removed++;
                log_info("startup: removed stale partial capture %ls", path);
            } else {
                log_warn("startup: cannot remove stale partial capture %ls (err=%lu)", path, GetLastError());
            }
        } while (FindNextFileW(h, &fd));
        FindClose(h);
    }
    return removed;
}

bool capture_take_writable(const wchar_t* path, bool explicit_path, char* err, size_t err_cap) {
    wchar_t part[CAPTURE_PATH_MAX];
    const int n = capture_empty(path) ? -1 : swprintf(part, CAPTURE_PATH_MAX, L"%ls.part", path);
    if (n < 0 || n >= CAPTURE_PATH_MAX) {
        text_format_into(err, err_cap, "%s: the output path is too long.", explicit_path ? "bad_path" : "bad_dir");
        return false;
    }
    // The take is moved to its name without replacing: a file there would cost the recording.
    if (explicit_path && GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES) {
        text_format_into(err, err_cap, "bad_path: out file already exists");
        return false;
    }
    HANDLE h = CreateFileW(part, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
        return true;
    }
    const DWORD e = GetLastError();
    if (e == ERROR_FILE_EXISTS || e == ERROR_ALREADY_EXISTS) {
        if (!explicit_path) return true;  // a leftover beside a fresh name; the take writes over it
        text_format_into(err, err_cap, "bad_path: out file is still being written by another clip");
        return false;
    }
    if (explicit_path)
        text_format_into(err, err_cap, "bad_path: cannot write out file (err=%lu)", (unsigned long)e);
    else
        text_format_into(err, err_cap, "bad_dir: cannot write to the clip folder (err=%lu)", (unsigned long)e);
    return false;
}

bool capture_dest_path(const config* cfg, int clip, const capture_dest* dest, const wchar_t* ext,
                       wchar_t out[CAPTURE_PATH_MAX], char* err, size_t err_cap) {
    if (!cfg || !dest || !out) {
        text_format_into(err, err_cap, "internal: no configuration or destination was given.");
        return false;
    }
    if (!capture_empty(dest->out_path)) {
        if (wcslen(dest->out_path) >= CAPTURE_PATH_MAX) {
            text_format_into(err, err_cap, "internal: the output path is longer than 259 characters.");
            return false;
        }
        wcscpy(out, dest->out_path);
        return true;
    }
    const wchar_t* slot = capture_slot(cfg, dest->digit);
    const wchar_t* base;
    const wchar_t* sub = nullptr;
    if (slot)
        base = slot;
    else if (!capture_empty(dest->dir))
        base = dest->dir;
    else {
        base = clip ? cfg->clips_dir : cfg->stills_dir;
        sub = dest->subfolder;
    }
    return capture_file_name(out, base, ext, sub, err, err_cap);
}

// ---- History

namespace {
// One append at a time in this process: the file is opened without write sharing.
SRWLOCK g_history_lock = SRWLOCK_INIT;
}  // namespace

history_entry* history_entry_create(const wchar_t* path, uint64_t size, int kind) {
    if (capture_empty(path) || wcslen(path) >= CAPTURE_PATH_MAX) return nullptr;
    history_entry* e = (history_entry*)calloc(1, sizeof(history_entry));
    if (!e) return nullptr;
    wcscpy(e->path, path);
    e->size = size;
    e->kind = kind;
    return e;
}

bool history_write_line(const wchar_t* data_dir, const wchar_t* path) {
    if (capture_empty(data_dir)) return false;
    wchar_t file[CAPTURE_PATH_MAX];
    const int n = swprintf(file, CAPTURE_PATH_MAX, L"%ls\\history.txt", data_dir);
    if (n < 0 || n >= CAPTURE_PATH_MAX) return false;
    char line[HISTORY_LINE_MAX + 1];
    const size_t len = history_line_utf8(path, line);

    CreateDirectoryW(data_dir, nullptr);
    bool ok = false;
    AcquireSRWLockExclusive(&g_history_lock);
    HANDLE h = INVALID_HANDLE_VALUE;
    // A reader in another process that denies write sharing holds the file only briefly.
    for (int attempt = 0; attempt < 5; ++attempt) {
        h = CreateFileW(file, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION) break;
        Sleep(20);
    }
    if (h != INVALID_HANDLE_VALUE) {
        // One write per line, so the line reaches the file whole.
        DWORD written = 0;
        ok = WriteFile(h, line, (DWORD)len, &written, nullptr) && written == (DWORD)len;
        CloseHandle(h);
    }
    ReleaseSRWLockExclusive(&g_history_lock);
    return ok;
}

void history_append(void* arg) {
    history_entry* e = (history_entry*)arg;
    if (!e) return;
    wchar_t dir[CAPTURE_PATH_MAX];
    app_data_dir(dir);
    history_write_line(dir, e->path);

    // Disk and configuration are read first: the storage lock is never held with another.
    wchar_t drive[STORAGE_DRIVE_MAX];
    uint64_t avail = 0, total = 0;
    storage_free_space(e->path, drive, &avail, &total);
    config* cfg = (config*)malloc(sizeof(config));
    storage_thresholds th = {};
    if (cfg) {
        agent_config_copy(cfg);
        th.warn_free_mb = cfg->warn_free_mb;
        th.stop_free_mb = cfg->stop_free_mb;
        th.warn_ivra_gb = cfg->warn_ivra_gb;
        free(cfg);
    }
    storage_totals_record(e->size, e->kind, drive, avail, total, &th);
    free(e);
}

bool history_submit(worker_pool* pool, const wchar_t* path, uint64_t size, int kind) {
    history_entry* e = history_entry_create(path, size, kind);
    if (!e) {
        log_error("history entry for %ls could not be made", path ? path : L"");
        return false;
    }
    if (!pool || !worker_pool_submit(pool, history_append, e)) history_append(e);
    return true;
}
