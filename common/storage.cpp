#include "common/storage.h"
#include <cstring>
#include <cwchar>
#include <cwctype>

namespace {

bool storage_ext_is(const wchar_t* ext, const wchar_t* const* list)
{
    for (; *list; ++list) {
        const wchar_t* a = ext;
        const wchar_t* b = *list;
        while (*a && *b && towlower(*a) == *b) {
            ++a;
            ++b;
        }
        if (!*a && !*b)
            return true;
    }
    return false;
}

// Length of a folder path without its trailing backslashes (a drive root keeps one,
// so "C:\" and "C:" both give "C:").
size_t storage_trimmed_len(const wchar_t* path)
{
    size_t n = wcslen(path);
    while (n > 0 && path[n - 1] == L'\\')
        --n;
    return n;
}

}  // namespace

int storage_kind_of(const wchar_t* name)
{
    static const wchar_t* const stills[] = {L"png", L"jpg", L"jpeg", L"webp", L"bmp", nullptr};
    static const wchar_t* const clips[] = {L"mp4", L"mkv", L"webm", L"mov", L"gif", nullptr};
    if (!name)
        return STORAGE_KIND_OTHER;
    const wchar_t* dot = wcsrchr(name, L'.');
    if (!dot || wcschr(dot, L'\\'))
        return STORAGE_KIND_OTHER;
    if (storage_ext_is(dot + 1, stills))
        return STORAGE_KIND_STILL;
    if (storage_ext_is(dot + 1, clips))
        return STORAGE_KIND_CLIP;
    return STORAGE_KIND_OTHER;
}

bool storage_root(const wchar_t* path, wchar_t query[STORAGE_ROOT_MAX], wchar_t shown[STORAGE_DRIVE_MAX])
{
    query[0] = 0;
    shown[0] = 0;
    if (!path || !path[0] || !path[1])
        return false;
    size_t len = 0;
    if (path[1] == L':') {
        len = 2;
    } else if (path[0] == L'\\' && path[1] == L'\\') {
        const wchar_t* server_end = wcschr(path + 2, L'\\');
        if (!server_end || server_end == path + 2 || server_end[1] == 0 || server_end[1] == L'\\')
            return false;
        const wchar_t* share_end = wcschr(server_end + 1, L'\\');
        len = share_end ? (size_t)(share_end - path) : wcslen(path);
    } else {
        return false;
    }
    if (len + 2 > STORAGE_ROOT_MAX)
        return false;
    wmemcpy(query, path, len);
    query[len] = L'\\';
    query[len + 1] = 0;
    // Long UNC roots are queried whole; only what is reported is cut.
    size_t n = len + 1 < STORAGE_DRIVE_MAX - 1 ? len + 1 : STORAGE_DRIVE_MAX - 1;
    wmemcpy(shown, query, n);
    shown[n] = 0;
    return true;
}

bool storage_root_holds(const wchar_t* root, const wchar_t* folder)
{
    if (!root || !folder || !root[0] || !folder[0])
        return false;
    const size_t n = storage_trimmed_len(root);
    for (size_t i = 0; i < n; ++i) {
        if (!folder[i] || towlower(folder[i]) != towlower(root[i]))
            return false;
    }
    return folder[n] == 0 || folder[n] == L'\\';
}

int storage_roots(const config* cfg, const wchar_t* roots[STORAGE_ROOTS_MAX])
{
    const wchar_t* candidates[STORAGE_ROOTS_MAX] = {cfg->stills_dir, cfg->clips_dir};
    for (int i = 0; i < 9; ++i)
        candidates[2 + i] = cfg->folders[i];
    int count = 0;
    for (const wchar_t* c : candidates) {
        if (!c[0])
            continue;
        bool covered = false;
        for (int i = 0; i < count && !covered; ++i)
            covered = storage_root_holds(roots[i], c);
        if (covered)
            continue;
        // A wider folder replaces the ones it holds, so no file is counted twice.
        int kept = 0;
        for (int i = 0; i < count; ++i) {
            if (!storage_root_holds(c, roots[i]))
                roots[kept++] = roots[i];
        }
        count = kept;
        roots[count++] = c;
    }
    return count;
}

int storage_flags_apply(storage_report* r, int warn_free_mb, int stop_free_mb, int warn_ivra_gb)
{
    const uint64_t free_mb = r->drive_free >> 20;
    r->disk_full = stop_free_mb > 0 && free_mb < (uint64_t)stop_free_mb;
    r->low_space = warn_free_mb > 0 && free_mb < (uint64_t)warn_free_mb;
    r->ivra_big = warn_ivra_gb > 0 && (uint64_t)warn_ivra_gb * 1073741824ULL < r->ivra_bytes;
    return r->ivra_big;
}

int storage_flags(const config* cfg, storage_report* r)
{
    return storage_flags_apply(r, cfg->warn_free_mb, cfg->stop_free_mb, cfg->warn_ivra_gb);
}

// ---- Disk

void storage_drive(const wchar_t* path, storage_report* r)
{
    wchar_t query[STORAGE_ROOT_MAX];
    r->drive_total = 0;
    r->drive_free = 0;
    storage_root(path, query, r->drive);
    if (!query[0])
        return;
    ULARGE_INTEGER avail{}, total{};
    if (GetDiskFreeSpaceExW(query, &avail, &total, nullptr)) {
        r->drive_total = total.QuadPart;
        r->drive_free = avail.QuadPart;
    }
}

namespace {

enum { STORAGE_WALK_PATH = 1024 };

// Walks the folder whose path fills path[0..len) (no trailing backslash).
void storage_walk(wchar_t* path, size_t len, int depth, storage_report* r)
{
    if (len + 3 > STORAGE_WALK_PATH)
        return;
    path[len] = L'\\';
    path[len + 1] = L'*';
    path[len + 2] = 0;
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileExW(path, FindExInfoBasic, &fd, FindExSearchNameMatch, nullptr,
                                FIND_FIRST_EX_LARGE_FETCH);
    if (h == INVALID_HANDLE_VALUE)
        return;
    do {
        const wchar_t* n = fd.cFileName;
        if (n[0] == L'.' && (n[1] == 0 || (n[1] == L'.' && n[2] == 0)))
            continue;
        // Junctions and links may point anywhere, even back up the tree.
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
            continue;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (depth >= STORAGE_DEPTH_MAX)
                continue;
            const size_t nl = wcslen(n);
            if (len + 1 + nl + 3 > STORAGE_WALK_PATH)
                continue;
            wmemcpy(path + len + 1, n, nl);
            storage_walk(path, len + 1 + nl, depth + 1, r);
            continue;
        }
        const uint64_t size = ((uint64_t)fd.nFileSizeHigh << 32) | fd.nFileSizeLow;
        r->ivra_bytes += size;
        switch (storage_kind_of(n)) {
        case STORAGE_KIND_STILL:
            r->stills_bytes += size;
            r->stills_count += 1;
            break;
        case STORAGE_KIND_CLIP:
            r->clips_bytes += size;
            r->clips_count += 1;
            break;
        default:
            r->other_bytes += size;
            r->other_count += 1;
            break;
        }
    } while (FindNextFileW(h, &fd));
    FindClose(h);
}

}  // namespace

void storage_scan(const config* cfg, storage_report* r)
{
    *r = storage_report{};
    LARGE_INTEGER freq{}, start{}, end{};
    QueryPerformanceFrequency(&freq);
    QueryPerformanceCounter(&start);
    storage_drive(cfg->stills_dir, r);

    const wchar_t* roots[STORAGE_ROOTS_MAX];
    const int count = storage_roots(cfg, roots);
    static thread_local wchar_t path[STORAGE_WALK_PATH];
    for (int i = 0; i < count; ++i) {
        const size_t len = storage_trimmed_len(roots[i]);
        if (len + 3 > STORAGE_WALK_PATH)
            continue;
        wmemcpy(path, roots[i], len);
        storage_walk(path, len, 0, r);
    }
    r->roots = count;
    QueryPerformanceCounter(&end);
    r->scanned_at = end.QuadPart;
    r->scan_ms = freq.QuadPart > 0 ? (uint32_t)((end.QuadPart - start.QuadPart) * 1000 / freq.QuadPart) : 0;
    storage_flags(cfg, r);
}
