// Test helper: holds \\.\pipe\ivra, accepts one connection after another and
// never answers, so clients see an agent that does not reply.
//   mute_server [SECONDS [READY_FILE [REPLY]]]   (default 60 s; once the pipe
//   exists it prints "ready" and creates READY_FILE when given). With REPLY
//   (\t and \n escapes) it answers every request line with that text instead.
#include "common/win.h"
#include <cstdio>
#include <cstdlib>
#include <string>

static std::string reply_text(const wchar_t* arg) {
    char utf8[8192];
    int n = WideCharToMultiByte(CP_UTF8, 0, arg, -1, utf8, sizeof utf8, nullptr, nullptr);
    std::string out;
    for (int i = 0; i + 1 < n; i++) {
        if (utf8[i] == '\\' && (utf8[i + 1] == 't' || utf8[i + 1] == 'n')) {
            out += utf8[++i] == 't' ? '\t' : '\n';
        } else {
            out += utf8[i];
        }
    }
    return out;
}

// Answers each connection's request line with the fixed reply, then disconnects.
static int serve_replies(const std::string& reply, ULONGLONG deadline, const wchar_t* ready_file) {
    while (GetTickCount64() < deadline) {
        HANDLE h = CreateNamedPipeW(L"\\\\.\\pipe\\ivra", PIPE_ACCESS_DUPLEX,
                                    PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 65536, 65536, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) return 1;
        if (ready_file) {
            HANDLE f = CreateFileW(ready_file, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
            if (f != INVALID_HANDLE_VALUE) CloseHandle(f);
            ready_file = nullptr;
        }
        if (ConnectNamedPipe(h, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED) {
            std::string request;
            char buf[4096];
            DWORD n = 0;
            while (request.find('\n') == std::string::npos && ReadFile(h, buf, sizeof buf, &n, nullptr) && n)
                request.append(buf, n);
            if (!request.empty()) {
                WriteFile(h, reply.data(), (DWORD)reply.size(), &n, nullptr);
                FlushFileBuffers(h);
            }
            DisconnectNamedPipe(h);
        }
        CloseHandle(h);
    }
    return 0;
}

int wmain(int argc, wchar_t** argv) {
    DWORD seconds = argc > 1 ? (DWORD)_wtoi(argv[1]) : 60;
    ULONGLONG deadline = GetTickCount64() + seconds * 1000ull;
    HANDLE held[16] = {};
    int count = 0;
    bool announced = false;
    if (argc > 3) return serve_replies(reply_text(argv[3]), deadline, argv[2]);
    while (GetTickCount64() < deadline && count < 16) {
        HANDLE h = CreateNamedPipeW(L"\\\\.\\pipe\\ivra", PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                    PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES, 4096,
                                    4096, 0, nullptr);
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
