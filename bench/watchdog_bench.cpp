// CPU time of one named thread of another process, of all its threads and of the
// process (GetProcessTimes, which Wine leaves at zero for another process), for
// bench/watchdog_bench.py:   watchdog_bench <pid> <thread description>
// prints "thread_ms=%.3f threads_ms=%.3f process_ms=%.3f wall_ms=%llu" (wall: the tick count).
#include "common/win.h"
#include <tlhelp32.h>
#include <cstdio>
#include <cwchar>

typedef HRESULT(WINAPI* get_description_fn)(HANDLE, PWSTR*);

static double filetime_ms(const FILETIME& t) {
    ULARGE_INTEGER u;
    u.LowPart = t.dwLowDateTime;
    u.HighPart = t.dwHighDateTime;
    return (double)u.QuadPart / 10000.0;
}

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) return 2;
    DWORD pid = (DWORD)_wtoi(argv[1]);
    get_description_fn get =
        (get_description_fn)GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetThreadDescription");
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (!get || snap == INVALID_HANDLE_VALUE) return 1;
    THREADENTRY32 te{};
    te.dwSize = sizeof te;
    double thread_ms = -1, threads_ms = 0;
    for (BOOL more = Thread32First(snap, &te); more; more = Thread32Next(snap, &te)) {
        if (te.th32OwnerProcessID != pid) continue;
        HANDLE t = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, te.th32ThreadID);
        if (!t) continue;
        FILETIME c, e, k, u;
        double ms = GetThreadTimes(t, &c, &e, &k, &u) ? filetime_ms(k) + filetime_ms(u) : 0;
        threads_ms += ms;
        PWSTR name = nullptr;
        if (SUCCEEDED(get(t, &name)) && name) {
            if (wcscmp(name, argv[2]) == 0) thread_ms = ms;
            LocalFree(name);
        }
        CloseHandle(t);
    }
    CloseHandle(snap);
    HANDLE p = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    FILETIME c, e, k, u;
    double process_ms = p && GetProcessTimes(p, &c, &e, &k, &u) ? filetime_ms(k) + filetime_ms(u) : -1;
    if (p) CloseHandle(p);
    if (thread_ms < 0 || process_ms < 0) {
        fprintf(stderr, "thread %ls of process %lu not found\n", argv[2], pid);
        return 1;
    }
    printf("thread_ms=%.3f threads_ms=%.3f process_ms=%.3f wall_ms=%llu\n", thread_ms, threads_ms, process_ms,
           (unsigned long long)GetTickCount64());
    return 0;
}
