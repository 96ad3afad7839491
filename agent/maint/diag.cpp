#include "agent/maint/diag.h"
#include "common/config.h"
#include <dbghelp.h>
#include <cstdio>
#include <cwchar>

// dbghelp is single-threaded: every use of it in the process goes through this lock.
static SRWLOCK g_dbghelp_lock = SRWLOCK_INIT;

static const MINIDUMP_TYPE DIAG_DUMP_TYPE = (MINIDUMP_TYPE)(
    MiniDumpWithDataSegs | MiniDumpWithHandleData | MiniDumpWithUnloadedModules |
    MiniDumpWithIndirectlyReferencedMemory | MiniDumpWithThreadInfo);
static_assert((int)DIAG_DUMP_TYPE == 0x1065, "dump type");

bool diag_dump_name(const wchar_t* folder, const SYSTEMTIME* t, const char* tag, int counter, wchar_t out[260]) {
    if (!folder || !t || !tag || counter < 1 || counter > DIAG_NAME_CANDIDATES) return false;
    wchar_t buf[260];
    wchar_t suffix[16] = L"";
    if (counter > 1) _snwprintf(suffix, 16, L"_%d", counter);
    int n = _snwprintf(buf, 260, L"%ls\\ivrad_%04d%02d%02d_%02d%02d%02d_%hs%ls.dmp", folder, t->wYear,
                       t->wMonth, t->wDay, t->wHour, t->wMinute, t->wSecond, tag, suffix);
    if (n < 0 || n >= 260) return false;
    wmemcpy(out, buf, (size_t)n + 1);
    return true;
}

int diag_oldest(const FILETIME* times, int count) {
    int best = -1;
    for (int i = 0; i < count; i++) {
        if (best < 0 || CompareFileTime(&times[i], &times[best]) < 0) best = i;
    }
    return best;
}

int diag_prune_dumps(const wchar_t* folder, int keep, const wchar_t* spare) {
    wchar_t pattern[270];
    int pn = _snwprintf(pattern, 270, L"%ls\\*.dmp", folder);
    if (pn < 0 || pn >= 270) return 0;
    int deleted = 0;
    for (;;) {
        // One pass finds the count and the oldest candidate; a pass per deletion is
        // cheap because the folder holds seven files at most in normal use.
        int count = 0;
        wchar_t oldest[MAX_PATH] = L"";
        FILETIME oldest_time{};
        WIN32_FIND_DATAW fd;
        HANDLE f = FindFirstFileW(pattern, &fd);
        if (f == INVALID_HANDLE_VALUE) return deleted;
        do {
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
            count++;
            if (spare && _wcsicmp(fd.cFileName, spare) == 0) continue;
            FILETIME pair[2] = {oldest_time, fd.ftLastWriteTime};
            if (!oldest[0] || diag_oldest(pair, 2) == 1) {
                wcsncpy(oldest, fd.cFileName, MAX_PATH - 1);
                oldest[MAX_PATH - 1] = 0;
                oldest_time = fd.ftLastWriteTime;
            }
        } while (FindNextFileW(f, &fd));
        FindClose(f);
        if (count <= keep || !oldest[0]) return deleted;
        wchar_t path[MAX_PATH + 270];
        int n = _snwprintf(path, MAX_PATH + 270, L"%ls\\%ls", folder, oldest);
        if (n < 0 || n >= MAX_PATH + 270) return deleted;
        if (!DeleteFileW(path)) return deleted;
        deleted++;
    }
}

bool write_minidump(const char* tag, EXCEPTION_POINTERS* pointers, wchar_t out_path[260]) {
    wchar_t base[260], folder[260], path[260];
    app_data_dir(base);
    int fn = _snwprintf(folder, 260, L"%ls\\dumps", base);
    if (fn < 0 || fn >= 260) return false;
    CreateDirectoryW(base, nullptr);
    CreateDirectoryW(folder, nullptr);
    SYSTEMTIME now;
    GetLocalTime(&now);

    // The whole write, prune included, runs under the lock so dumps never interleave.
    AcquireSRWLockExclusive(&g_dbghelp_lock);
    bool ok = false;
    // Names have one-second resolution: a taken name moves on to the next counter
    // instead of overwriting an earlier dump of the same second.
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int counter = 1; file == INVALID_HANDLE_VALUE && counter <= DIAG_NAME_CANDIDATES; counter++) {
        if (!diag_dump_name(folder, &now, tag, counter, path)) break;
        file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
        if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) break;
    }
    if (file != INVALID_HANDLE_VALUE) {
        MINIDUMP_EXCEPTION_INFORMATION info{};
        info.ThreadId = GetCurrentThreadId();
        info.ExceptionPointers = pointers;
        info.ClientPointers = FALSE;
        ok = MiniDumpWriteDump(GetCurrentProcess(), GetCurrentProcessId(), file, DIAG_DUMP_TYPE,
                               pointers ? &info : nullptr, nullptr, nullptr) != FALSE;
        CloseHandle(file);
        if (!ok) DeleteFileW(path);
    }
    diag_prune_dumps(folder, DIAG_DUMPS_KEPT, ok ? wcsrchr(path, L'\\') + 1 : nullptr);
    ReleaseSRWLockExclusive(&g_dbghelp_lock);
    if (ok) wcscpy(out_path, path);
    return ok;
}

void diag_install_crash_handlers(void) {}
