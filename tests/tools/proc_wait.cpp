// Waits for a process to end and prints its whole exit code ("exit=0x%08lx"),
// which the 8-bit status of a Linux process cannot carry:
//   proc_wait <pid> <timeout ms>     exit 0 once printed, 1 on time-out or no such process.
#include "common/win.h"
#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) return 2;
    HANDLE p = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, (DWORD)_wtoi(argv[1]));
    if (!p) {
        fputs("no such process\n", stderr);
        return 1;
    }
    // Ready once the handle is open: from here the exit code cannot be lost.
    fputs("waiting\n", stderr);
    fflush(stderr);
    DWORD r = WaitForSingleObject(p, (DWORD)_wtoi(argv[2]));
    DWORD code = 0;
    bool ended = r == WAIT_OBJECT_0 && GetExitCodeProcess(p, &code);
    CloseHandle(p);
    if (!ended) {
        fputs("timeout\n", stderr);
        return 1;
    }
    printf("exit=0x%08lx\n", code);
    return 0;
}
