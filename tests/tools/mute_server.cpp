// Test helper: holds \\.\pipe\ivra, accepts one connection after another and
// never answers, so clients see an agent that does not reply.
//   mute_server [SECONDS [READY_FILE]]   (default 60 s; once the pipe exists it
//   prints "ready" and creates READY_FILE when given)
#include "common/win.h"
#include <cstdio>
#include <cstdlib>

int wmain(int argc, wchar_t** argv) {
    DWORD seconds = argc > 1 ? (DWORD)_wtoi(argv[1]) : 60;
    ULONGLONG deadline = GetTickCount64() + seconds * 1000ull;
    HANDLE held[16] = {};
    int count = 0;
    bool announced = false;
    while (GetTickCount64() < deadline && count < 16) {
        HANDLE h = CreateNamedPipeW(L"\\\\.\\pipe\\ivra", PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                    PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES,
                                    4096, 4096, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            fprintf(stderr, "CreateNamedPipe failed %lu\n", GetLastError());
            return 1;
        }
        if (!announced) {
            if (argc > 2) {
                HANDLE f = CreateFileW(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
                if (f != INVALID_HANDLE_VALUE) CloseHandle(f);
            }
            printf("ready\n");
            fflush(stdout);
            announced = true;
        }
        OVERLAPPED ov = {};
        ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        BOOL ok = ConnectNamedPipe(h, &ov);
        DWORD e = ok ? ERROR_PIPE_CONNECTED : GetLastError();
        if (e == ERROR_IO_PENDING) {
            ULONGLONG now = GetTickCount64();
            DWORD left = now < deadline ? (DWORD)(deadline - now) : 0;
            if (WaitForSingleObject(ov.hEvent, left) != WAIT_OBJECT_0) {
                CancelIo(h);
                DWORD n;
                GetOverlappedResult(h, &ov, &n, TRUE);
                CloseHandle(ov.hEvent);
                CloseHandle(h);
                break;
            }
        }
        CloseHandle(ov.hEvent);
        // Keep the connection open and silent; the client times out on its own.
        held[count++] = h;
    }
    for (int i = 0; i < count; i++) CloseHandle(held[i]);
    return 0;
}
