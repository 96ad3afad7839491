// Test helper: starts a program with chosen STARTUPINFO flags and title, the
// way the shell does for taskbar pins and app-id launches, without waiting.
//   launchas FLAGS TITLE PROGRAM [ARGS...]   prints "pid=N"
#include "common/win.h"
#include <cstdio>
#include <cwchar>
#include <string>

int wmain(int argc, wchar_t** argv) {
    if (argc < 4) return 2;
    std::wstring title = argv[2];
    std::wstring cmd = L"\"" + std::wstring(argv[3]) + L"\"";
    for (int i = 4; i < argc; i++) cmd += L" " + std::wstring(argv[i]);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = (DWORD)wcstoul(argv[1], nullptr, 0);
    si.lpTitle = title.data();
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(argv[3], cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        fprintf(stderr, "launchas: CreateProcess failed %lu\n", GetLastError());
        return 127;
    }
    printf("pid=%lu\n", pi.dwProcessId);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return 0;
}
