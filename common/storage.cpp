#include "common/storage.h"
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>

namespace {

bool storage_ext_is(const wchar_t* ext, const wchar_t* const* list) {
    for (; *list; ++list) {
        const wchar_t* a = ext;
        const wchar_t* b = *list;
        while (*a && *b && towlower(*a) == *b) {
            ++a;
            ++b;
        }
        if (!*a && !*b) return true;
    }
    return false;
}

// Length of a folder path without its trailing backslashes (a drive root keeps one,
// so "C:\" and "C:" both give "C:").
size_t storage_trimmed_len(const wchar_t* path) {
    size_t n = wcslen(path);
    while (n > 0 && path[n - 1] == L'\\') --n;
    return n;
}

}  // namespace

int storage_kind_of(const wchar_t* name) {
    static const wchar_t* const stills[] = {L"png", L"jpg", L"jpeg", L"webp", L"bmp", nullptr};
    static const wchar_t* const clips[] = {L"mp4", L"mkv", L"webm", L"mov", L"gif", nullptr};
    if (!name) return STORAGE_KIND_OTHER;
    const wchar_t* dot = wcsrchr(name, L'.');
    if (!dot || wcschr(dot, L'\\')) return STORAGE_KIND_OTHER;
    if (storage_ext_is(dot + 1, stills)) return STORAGE_KIND_STILL;
    if (storage_ext_is(dot + 1, clips)) return STORAGE_KIND_CLIP;
    return STORAGE_KIND_OTHER;
}

bool storage_root(const wchar_t* path, wchar_t query[STORAGE_ROOT_MAX], wchar_t shown[STORAGE_DRIVE_MAX]) {
    query[0] = 0;
    shown[0] = 0;
    if (!path || !path[0] || !path[1]) return false;
    size_t len = 0;
    if (path[1] == L':') {
        len = 2;
    } else if (path[0] == L'\\' && path[1] == L'\\') {
        const wchar_t* server_end = wcschr(path + 2, L'\\');
        if (!server_end || server_end == path + 2 || server_end[1] == 0 || server_end[1] == L'\\') return false;
        const wchar_t* share_end = wcschr(server_end + 1, L'\\');
        len = share_end ? (size_t)(share_end - path) : wcslen(path);
    } else {
        return false;
    }
    if (len + 2 > STORAGE_ROOT_MAX) return false;
    wmemcpy(query, path, len);
    query[len] = L'\\';
    query[len + 1] = 0;
    // Long UNC roots are queried whole; only what is reported is cut.
    size_t n = len + 1 < STORAGE_DRIVE_MAX - 1 ? len + 1 : STORAGE_DRIVE_MAX - 1;
    wmemcpy(shown, query, n);
    shown[n] = 0;
    return true;
}

bool storage_root_holds(const wchar_t* root, const wchar_t* folder) {
    if (!root || !folder || !root[0] || !folder[0]) return false;
    const size_t n = storage_trimmed_len(root);
    for (size_t i = 0; i < n; ++i) {
        if (!folder[i] || towlower(folder[i]) != towlower(root[i])) return false;
    }
    return folder[n] == 0 || folder[n] == L'\\';
}

int storage_roots(const config* cfg, const wchar_t* roots[STORAGE_ROOTS_MAX]) {
    const wchar_t* candidates[STORAGE_ROOTS_MAX] = {cfg->stills_dir, cfg->clips_dir};
    for (int i = 0; i < 9; ++i) candidates[2 + i] = cfg->folders[i];
    int count = 0;
    for (const wchar_t* c : candidates) {
        if (!c[0]) continue;
        bool covered = false;
        for (int i = 0; i < count && !covered; ++i) covered = storage_root_holds(roots[i], c);
        if (covered) continue;
        // A wider folder replaces the ones it holds, so no file is counted twice.
        int kept = 0;
        for (int i = 0; i < count; ++i) {
            if (!storage_root_holds(c, roots[i])) roots[kept++] = roots[i];
        }
        count = kept;
        roots[count++] = c;
    }
    return count;
}

int storage_flags_apply(storage_report* r, int warn_free_mb, int stop_free_mb, int warn_ivra_gb) {
    const uint64_t free_mb = r->drive_free >> 20;
    r->disk_full = stop_free_mb > 0 && free_mb < (uint64_t)stop_free_mb;
    r->low_space = warn_free_mb > 0 && free_mb < (uint64_t)warn_free_mb;
    r->ivra_big = warn_ivra_gb > 0 && (uint64_t)warn_ivra_gb * 1073741824ULL < r->ivra_bytes;
    return r->ivra_big;
}

int storage_flags(const config* cfg, storage_report* r) {
    return storage_flags_apply(r, cfg->warn_free_mb, cfg->stop_free_mb, cfg->warn_ivra_gb);
}

// ---- Disk

void storage_drive(const wchar_t* path, storage_report* r) {
    wchar_t query[STORAGE_ROOT_MAX];
    r->drive_total = 0;
    r->drive_free = 0;
    storage_root(path, query, r->drive);
    if (!query[0]) return;
    ULARGE_INTEGER avail{}, total{};
    if (GetDiskFreeSpaceExW(query, &avail, &total, nullptr)) {
        r->drive_total = total.QuadPart;
        r->drive_free = avail.QuadPart;
    }
}

namespace {

enum { STORAGE_WALK_PATH = 1024, STORAGE_LIST_BYTES = 65536 };

void storage_count(storage_report* r, const wchar_t* name, uint64_t size) {
    r->ivra_bytes += size;
    switch (storage_kind_of(name)) {
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
}

// Walks the folder whose path fills path[0..len) (a backslash only after a root). The listing
// comes in large batches without the short names a find handle would make up.
void storage_walk(wchar_t* path, size_t len, int depth, storage_report* r, BYTE* list) {
    path[len] = 0;
    HANDLE dir = CreateFileW(path, FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (dir == INVALID_HANDLE_VALUE) return;
    // Sub-folders are walked after the listing, so one batch buffer per level is enough.
    BYTE* next_list = nullptr;
    const size_t sep = path[len - 1] == L'\\' ? 0 : 1;  // a drive root ends in one already
    FILE_INFO_BY_HANDLE_CLASS cls = FileFullDirectoryRestartInfo;
    while (GetFileInformationByHandleEx(dir, cls, list, STORAGE_LIST_BYTES)) {
        cls = FileFullDirectoryInfo;
        for (BYTE* p = list;;) {
            const FILE_FULL_DIR_INFO* e = (const FILE_FULL_DIR_INFO*)p;
            const size_t nl = e->FileNameLength / sizeof(wchar_t);
            const wchar_t* n = e->FileName;
            const bool dots = (nl == 1 && n[0] == L'.') || (nl == 2 && n[0] == L'.' && n[1] == L'.');
            // Junctions and links may point anywhere, even back up the tree.
            if (!dots && !(e->FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
                len + sep + nl + 1 < STORAGE_WALK_PATH) {
                wchar_t* tail = path + len + sep;
                wmemcpy(tail, n, nl);
                tail[nl] = 0;
                if (e->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                    if (depth < STORAGE_DEPTH_MAX) {
                        if (!next_list) next_list = (BYTE*)malloc(STORAGE_LIST_BYTES);
                        if (next_list) {
                            if (sep) path[len] = L'\\';
                            storage_walk(path, len + sep + nl, depth + 1, r, next_list);
                        }
                    }
                } else {
                    storage_count(r, tail, (uint64_t)e->EndOfFile.QuadPart);
                }
            }
            if (!e->NextEntryOffset) break;
            p += e->NextEntryOffset;
        }
    }
    free(next_list);
    CloseHandle(dir);
}

}  // namespace

void storage_scan(const config* cfg, storage_report* r) {
    *r = storage_report{};
    LARGE_INTEGER freq{}, start{}, end{};
    QueryPerformanceFrequency(&freq);
    QueryPerformanceCounter(&start);
    storage_drive(cfg->stills_dir, r);

    const wchar_t* roots[STORAGE_ROOTS_MAX];
    const int count = storage_roots(cfg, roots);
    static thread_local wchar_t path[STORAGE_WALK_PATH];
    BYTE* list = (BYTE*)malloc(STORAGE_LIST_BYTES);
    for (int i = 0; list && i < count; ++i) {
        size_t len = storage_trimmed_len(roots[i]);
        if (len + 3 > STORAGE_WALK_PATH) continue;
        wmemcpy(path, roots[i], len);
        // A drive or share root is opened with its backslash, every other folder without.
        wchar_t query[STORAGE_ROOT_MAX], shown[STORAGE_DRIVE_MAX];
        if (storage_root(roots[i], query, shown) && wcslen(query) == len + 1) path[len++] = L'\\';
        storage_walk(path, len, 0, r, list);
    }
    free(list);
    r->roots = count;
    QueryPerformanceCounter(&end);
    r->scanned_at = end.QuadPart;
    r->scan_ms = freq.QuadPart > 0 ? (uint32_t)((end.QuadPart - start.QuadPart) * 1000 / freq.QuadPart) : 0;
    storage_flags(cfg, r);
}
