// Test stand-in for a program that never finishes (copied under another name, such
// as ivrac.exe): appends its process id to "<own name>.pid" beside itself, so the
// test can end it by pid, then waits two minutes and exits 0.
#include "common/win.h"
#include <cstdio>
#include <cwchar>

int wmain(int, wchar_t**) {
    wchar_t path[MAX_PATH + 8];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return 1;
    wcscat(path, L".pid");
    HANDLE f =
        CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return 1;
    char line[32];
    int len = snprintf(line, sizeof line, "%lu\n", GetCurrentProcessId());
    DWORD done = 0;
    WriteFile(f, line, (DWORD)len, &done, nullptr);
    CloseHandle(f);
    Sleep(120000);
    return 0;
}
