#include "agent/core/take_journal.h"

#include "common/config.h"
#include "common/log.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

struct take_journal {
    SRWLOCK lock;
    wchar_t file[TAKE_JOURNAL_PATH_MAX];
    int count;
    uint64_t session[TAKE_JOURNAL_MAX];
    wchar_t path[TAKE_JOURNAL_MAX][TAKE_JOURNAL_PATH_MAX];
    char text[TAKE_JOURNAL_MAX * TAKE_JOURNAL_LINE_MAX];
};

static bool take_journal_is_part(const wchar_t* path) {
    const size_t n = wcslen(path);
    return n > 5 && _wcsicmp(path + n - 5, L".part") == 0 && path[n - 6] != L'\\' && path[n - 6] != L'/';
}

bool take_journal_parse_line(const char* line, size_t len, uint64_t* session, wchar_t path[TAKE_JOURNAL_PATH_MAX]) {
    if (len > 0 && line[len - 1] == '\r') len--;
    size_t i = 0;
    uint64_t id = 0;
    while (i < len && line[i] >= '0' && line[i] <= '9' && i < 20) id = id * 10 + (uint64_t)(line[i++] - '0');
    if (i == 0 || i >= len || line[i] != '\t') return false;
    i++;
    if (len - i == 0 || len - i >= TAKE_JOURNAL_LINE_MAX) return false;
    wchar_t w[TAKE_JOURNAL_PATH_MAX];
    const int n =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, line + i, (int)(len - i), w, TAKE_JOURNAL_PATH_MAX - 1);
    if (n <= 0) return false;
    w[n] = 0;
    if (wcslen(w) != (size_t)n || !take_journal_is_part(w)) return false;
    *session = id;
    wmemcpy(path, w, (size_t)n + 1);
    return true;
}

bool take_journal_path(const wchar_t* data_dir, wchar_t out[TAKE_JOURNAL_PATH_MAX]) {
    wchar_t tmp[TAKE_JOURNAL_PATH_MAX];
    const int n = swprintf(tmp, TAKE_JOURNAL_PATH_MAX, L"%ls\\takes.tsv", data_dir ? data_dir : L".");
    if (n < 0 || n >= TAKE_JOURNAL_PATH_MAX) return false;
    wmemcpy(out, tmp, (size_t)n + 1);
    return true;
}

// Under the exclusive lock. A failed write leaves the old file, which lists more than
// there is: the start-up after it only finds some takes gone already.
static void take_journal_write_locked(take_journal* j) {
    size_t len = 0;
    for (int i = 0; i < j->count; i++) {
        char utf8[TAKE_JOURNAL_LINE_MAX];
        const int n = WideCharToMultiByte(CP_UTF8, 0, j->path[i], -1, utf8, (int)sizeof utf8, nullptr, nullptr);
        if (n <= 0) continue;
        const int m =
            snprintf(j->text + len, sizeof j->text - len, "%llu\t%s\n", (unsigned long long)j->session[i], utf8);
        if (m > 0 && (size_t)m < sizeof j->text - len) len += (size_t)m;
    }
    unsigned long err = 0;
    if (!config_replace_file(j->file, j->text, len, FILE_ATTRIBUTE_NORMAL, &err))
        log_warn("clip: cannot write the take journal %ls (err=%lu)", j->file, err);
}

static void take_journal_remove_at(take_journal* j, int i) {
    const int last = j->count - 1;
    // Kept in order, so the file lists the takes as they were opened.
    for (int k = i; k < last; k++) {
        j->session[k] = j->session[k + 1];
        wmemcpy(j->path[k], j->path[k + 1], TAKE_JOURNAL_PATH_MAX);
    }
    j->count = last;
}

take_journal* take_journal_create(const wchar_t* file) {
    if (!file || wcslen(file) >= TAKE_JOURNAL_PATH_MAX) return nullptr;
    take_journal* j = (take_journal*)calloc(1, sizeof(take_journal));
    if (!j) return nullptr;
    InitializeSRWLock(&j->lock);
    wcscpy(j->file, file);
    HANDLE h = CreateFileW(file, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return j;
    char* data = (char*)malloc(TAKE_JOURNAL_READ_MAX);
    DWORD got = 0;
    if (data && ReadFile(h, data, TAKE_JOURNAL_READ_MAX, &got, nullptr)) {
        size_t at = 0;
        while (at < got && j->count < TAKE_JOURNAL_MAX) {
            const char* nl = (const char*)memchr(data + at, '\n', got - at);
            const size_t end = nl ? (size_t)(nl - data) : got;
            uint64_t id = 0;
            if (take_journal_parse_line(data + at, end - at, &id, j->path[j->count])) {
                // Taken over from an earlier run: no session of this one has that id yet.
                j->session[j->count++] = 0;
            }
            at = end + 1;
        }
    }
    free(data);
    CloseHandle(h);
    return j;
}

void take_journal_destroy(take_journal* j) { free(j); }

int take_journal_sweep(take_journal* j) {
    if (!j) return 0;
    int removed = 0;
    AcquireSRWLockExclusive(&j->lock);
    for (int i = j->count - 1; i >= 0; i--) {
        const wchar_t* path = j->path[i];
        const DWORD attr = GetFileAttributesW(path);
        bool gone = attr == INVALID_FILE_ATTRIBUTES || (attr & FILE_ATTRIBUTE_DIRECTORY);
        if (!gone) {
            if (DeleteFileW(path)) {
                removed++;
                gone = true;
                log_info("startup: removed stale partial capture %ls", path);
            } else {
                const DWORD e = GetLastError();
                gone = e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND;
                if (!gone) log_warn("startup: cannot remove stale partial capture %ls (err=%lu)", path, e);
            }
        }
        if (gone) take_journal_remove_at(j, i);
    }
    take_journal_write_locked(j);
    ReleaseSRWLockExclusive(&j->lock);
    return removed;
}

bool take_journal_add(take_journal* j, uint64_t session, const wchar_t* part_path) {
    if (!j) return true;
    if (!part_path || wcslen(part_path) >= TAKE_JOURNAL_PATH_MAX || !take_journal_is_part(part_path)) return false;
    bool ok = true;
    AcquireSRWLockExclusive(&j->lock);
    for (int i = 0; i < j->count; i++) {
        if (CompareStringOrdinal(j->path[i], -1, part_path, -1, TRUE) == CSTR_EQUAL) {
            j->session[i] = session;
            ReleaseSRWLockExclusive(&j->lock);
            return true;
        }
    }
    // A full journal gives up the takes whose files are gone already (takes thrown away by a redo).
    if (j->count >= TAKE_JOURNAL_MAX)
        for (int i = j->count - 1; i >= 0; i--)
            if (GetFileAttributesW(j->path[i]) == INVALID_FILE_ATTRIBUTES) take_journal_remove_at(j, i);
    if (j->count < TAKE_JOURNAL_MAX) {
        j->session[j->count] = session;
        wcscpy(j->path[j->count], part_path);
        j->count++;
        take_journal_write_locked(j);
    } else {
        ok = false;
        log_warn("clip: take journal full; %ls is not listed", part_path);
    }
    ReleaseSRWLockExclusive(&j->lock);
    return ok;
}

void take_journal_remove_session(take_journal* j, uint64_t session) {
    if (!j) return;
    AcquireSRWLockExclusive(&j->lock);
    bool changed = false;
    for (int i = j->count - 1; i >= 0; i--) {
        if (j->session[i] != session) continue;
        take_journal_remove_at(j, i);
        changed = true;
    }
    if (changed) take_journal_write_locked(j);
    ReleaseSRWLockExclusive(&j->lock);
}

int take_journal_count(take_journal* j) {
    if (!j) return 0;
    AcquireSRWLockShared(&j->lock);
    const int n = j->count;
    ReleaseSRWLockShared(&j->lock);
    return n;
}
