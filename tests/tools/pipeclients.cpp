// Control-pipe clients for the end-to-end tests, misbehaving on purpose.
//   pipeclients send [--no-read] PIECE...   one connection; the pieces are joined (\t \n \r \\ \0
//                                           escapes; "@N:C" is N copies of C); prints the reply
//                                           and "ms=N" (round trip) on stderr
//   pipeclients hold N [LIMIT_MS]           opens N connections that send nothing and waits until
//                                           the server ends each (or LIMIT_MS, default 30000);
//                                           prints "opened=N" then "conn I closed_ms=T bytes=B"
//   pipeclients crowd N                     holds N-1 silent connections, then opens one more and
//                                           prints "reply=<escaped reply> ms=T" for it
#include "common/win.h"
#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <atomic>
#include <cstdlib>
#include <string>
#include <vector>

static const wchar_t* const PIPE = L"\\\\.\\pipe\\ivra";

static std::string utf8(const wchar_t* w) {
    int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
    std::string s(n > 0 ? n - 1 : 0, '\0');
    if (n > 1) WideCharToMultiByte(CP_UTF8, 0, w, -1, s.data(), n, nullptr, nullptr);
    return s;
}

static std::string piece(const wchar_t* arg) {
    std::string s = utf8(arg);
    if (s.size() > 3 && s[0] == '@') {
        size_t colon = s.find(':');
        if (colon != std::string::npos && colon + 2 == s.size())
            return std::string((size_t)strtoul(s.c_str() + 1, nullptr, 10), s[colon + 1]);
    }
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] == '\\' && i + 1 < s.size()) {
            char c = s[++i];
            out += c == 't' ? '\t' : c == 'n' ? '\n' : c == 'r' ? '\r' : c == '0' ? '\0' : c;
        } else {
            out += s[i];
        }
    }
    return out;
}

static std::string escaped(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '\t') out += "\\t";
        else if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else if (c == '\\') out += "\\\\";
        else out += c;
    }
    return out;
}

static HANDLE open_pipe(DWORD ms) {
    ULONGLONG end = GetTickCount64() + ms;
    for (;;) {
        HANDLE h = CreateFileW(PIPE, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h != INVALID_HANDLE_VALUE) return h;
        DWORD e = GetLastError();
        if (GetTickCount64() >= end) return INVALID_HANDLE_VALUE;
        if (e == ERROR_PIPE_BUSY)
            WaitNamedPipeW(PIPE, 200);
        else
            Sleep(20);
    }
}

static std::string read_all(HANDLE h) {
    std::string reply;
    char buf[65536];
    DWORD n = 0;
    while (ReadFile(h, buf, sizeof buf, &n, nullptr) && n > 0) reply.append(buf, n);
    return reply;
}

static int cmd_send(int argc, wchar_t** argv) {
    int i = 2;
    bool no_read = false;
    if (i < argc && wcscmp(argv[i], L"--no-read") == 0) {
        no_read = true;
        i++;
    }
    std::string req;
    for (; i < argc; i++) req += piece(argv[i]);
    ULONGLONG t0 = GetTickCount64();
    HANDLE h = open_pipe(10000);
    if (h == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "pipe: open failed %lu\n", GetLastError());
        return 3;
    }
    DWORD n = 0;
    if (!req.empty()) WriteFile(h, req.data(), (DWORD)req.size(), &n, nullptr);
    std::string reply = no_read ? "" : read_all(h);
    CloseHandle(h);
    fwrite(reply.data(), 1, reply.size(), stdout);
    fprintf(stderr, "ms=%llu\n", GetTickCount64() - t0);
    return 0;
}

static int cmd_hold(int argc, wchar_t** argv) {
    int count = argc > 2 ? _wtoi(argv[2]) : 0;
    DWORD limit = argc > 3 ? (DWORD)_wtoi(argv[3]) : 30000;
    if (count <= 0) return 2;
    std::vector<HANDLE> conns;
    for (int i = 0; i < count; i++) {
        HANDLE h = open_pipe(10000);
        if (h == INVALID_HANDLE_VALUE) break;
        conns.push_back(h);
    }
    ULONGLONG t0 = GetTickCount64();
    printf("opened=%zu\n", conns.size());
    fflush(stdout);
    struct reader {
        HANDLE conn;
        ULONGLONG t0;
        std::atomic<long long> closed_ms{-1};  // -1 while still open
        size_t bytes = 0;
    };
    std::vector<reader> readers(conns.size());
    std::vector<HANDLE> threads;
    for (size_t i = 0; i < conns.size(); i++) {
        readers[i].conn = conns[i];
        readers[i].t0 = t0;
        threads.push_back(CreateThread(nullptr, 0, [](void* p) -> DWORD {
            reader* r = (reader*)p;
            r->bytes = read_all(r->conn).size();
            r->closed_ms = (long long)(GetTickCount64() - r->t0);
            return 0;
        }, &readers[i], 0, nullptr));
    }
    // Past the limit the remaining reads are cancelled.
    ULONGLONG end = t0 + limit;
    for (size_t i = 0; i < conns.size(); i++) {
        while (readers[i].closed_ms < 0 && GetTickCount64() < end) Sleep(20);
    }
    for (HANDLE t : threads) {
        if (!t) continue;
        CancelSynchronousIo(t);
        WaitForSingleObject(t, 5000);
        CloseHandle(t);
    }
    for (size_t i = 0; i < conns.size(); i++) {
        printf("conn %zu closed_ms=%lld bytes=%zu\n", i, readers[i].closed_ms.load(), readers[i].bytes);
        CloseHandle(conns[i]);
    }
    return 0;
}

static int cmd_crowd(int argc, wchar_t** argv) {
    int count = argc > 2 ? _wtoi(argv[2]) : 0;
    if (count <= 1) return 2;
    std::vector<HANDLE> held;
    for (int i = 0; i < count - 1; i++) {
        HANDLE h = open_pipe(10000);
        if (h == INVALID_HANDLE_VALUE) {
            fprintf(stderr, "opened only %d\n", i);
            break;
        }
        held.push_back(h);
    }
    // The listener counts each holder before it turns to the next connection, so the
    // extra one is always the last counted.
    ULONGLONG t0 = GetTickCount64();
    HANDLE extra = open_pipe(10000);
    std::string reply = extra != INVALID_HANDLE_VALUE ? read_all(extra) : "<no pipe>";
    ULONGLONG ms = GetTickCount64() - t0;
    if (extra != INVALID_HANDLE_VALUE) CloseHandle(extra);
    printf("held=%zu\nreply=%s ms=%llu\n", held.size(), escaped(reply).c_str(), ms);
    for (HANDLE h : held) CloseHandle(h);
    return 0;
}

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return 2;
    _setmode(_fileno(stdout), _O_BINARY);  // replies are shown byte for byte
    if (wcscmp(argv[1], L"send") == 0) return cmd_send(argc, argv);
    if (wcscmp(argv[1], L"hold") == 0) return cmd_hold(argc, argv);
    if (wcscmp(argv[1], L"crowd") == 0) return cmd_crowd(argc, argv);
    return 2;
}
