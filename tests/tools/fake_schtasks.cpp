// Test stand-in for schtasks.exe, copied beside a copy of ivrac.exe so that
// ivrac finds it first. Records every command line in "schtasks-calls.txt"
// beside itself and keeps the registered task as "task.xml" there:
//   /Create /TN Ivra /XML <file> /F   copies the file (exit 0; 1 when unreadable)
//   /Delete /TN Ivra /F               removes it (exit 0; 1 when there was none)
//   /Query /TN Ivra                   exit 0 when it exists, else 1
#include "common/win.h"
#include <cwchar>
#include <string>

static std::wstring here(const wchar_t* name) {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    *(wcsrchr(path, L'\\') + 1) = 0;
    return std::wstring(path) + name;
}

static void record(const wchar_t* line) {
    HANDLE f = CreateFileW(here(L"schtasks-calls.txt").c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                           0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return;
    char buf[4096];
    int n = WideCharToMultiByte(CP_UTF8, 0, line, -1, buf, sizeof buf - 2, nullptr, nullptr);
    if (n > 0) {
        buf[n - 1] = '\n';
        DWORD done;
        WriteFile(f, buf, (DWORD)n, &done, nullptr);
    }
    CloseHandle(f);
}

int wmain(int argc, wchar_t** argv) {
    record(GetCommandLineW());
    std::wstring task = here(L"task.xml");
    if (argc > 1 && _wcsicmp(argv[1], L"/Create") == 0) {
        for (int i = 2; i + 1 < argc; i++)
            if (_wcsicmp(argv[i], L"/XML") == 0) return CopyFileW(argv[i + 1], task.c_str(), FALSE) ? 0 : 1;
        return 1;
    }
    if (argc > 1 && _wcsicmp(argv[1], L"/Delete") == 0) return DeleteFileW(task.c_str()) ? 0 : 1;
    if (argc > 1 && _wcsicmp(argv[1], L"/Query") == 0)
        return GetFileAttributesW(task.c_str()) == INVALID_FILE_ATTRIBUTES ? 1 : 0;
    return 2;
}
