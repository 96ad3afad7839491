// Control-pipe clients for the end-to-end tests, misbehaving on purpose.
//   pipeclients send [--no-read] PIECE...   one connection; the pieces are joined (\t \n \r \\ \0
//                                           escapes; "@N:C" is N copies of C); prints the reply
//                                           and "ms=N" (round trip) on stderr
//   pipeclients hold N [LIMIT_MS]           opens N connections that send nothing and waits until
//                                           the server ends each (or LIMIT_MS, default 30000);
//                                           prints "opened=N" then "conn I closed_ms=T bytes=B"
//   pipeclients crowd N                     holds N-1 silent connections, then opens one more and
//                                           prints "reply=<escaped reply> ms=T" for it
//   pipeclients stall N LIMIT_MS PIECE...   opens N connections that each send the request and never
//                                           read; prints "opened=N", then "conn I closed_ms=T" once
//                                           the server has dropped each (-1 if not within LIMIT_MS)
//   pipeclients fuzz SEED COUNT             sends COUNT malformed requests from a seeded generator,
//                                           a ping every 25th; prints "sent=N bad=B pings=P
//                                           ping_max_ms=T", then each bad exchange
#include "common/win.h"
#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <atomic>
#include <cstdint>
#include <cstring>
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
        if (c == '\t')
            out += "\\t";
        else if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c == '\\')
            out += "\\\\";
        else
            out += c;
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
        threads.push_back(CreateThread(
            nullptr, 0,
            [](void* p) -> DWORD {
                reader* r = (reader*)p;
                r->bytes = read_all(r->conn).size();
                r->closed_ms = (long long)(GetTickCount64() - r->t0);
                return 0;
            },
            &readers[i], 0, nullptr));
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

static int cmd_stall(int argc, wchar_t** argv) {
    int count = argc > 2 ? _wtoi(argv[2]) : 0;
    DWORD limit = argc > 3 ? (DWORD)_wtoi(argv[3]) : 30000;
    if (count <= 0) return 2;
    std::string req;
    for (int i = 4; i < argc; i++) req += piece(argv[i]);
    std::vector<HANDLE> conns;
    for (int i = 0; i < count; i++) {
        HANDLE h = open_pipe(10000);
        if (h == INVALID_HANDLE_VALUE) break;
        DWORD n = 0;
        WriteFile(h, req.data(), (DWORD)req.size(), &n, nullptr);
        conns.push_back(h);
    }
    ULONGLONG t0 = GetTickCount64();
    printf("opened=%zu\n", conns.size());
    fflush(stdout);
    // Peeking never takes the reply out of the pipe; it fails once the server has let go.
    std::vector<long long> closed(conns.size(), -1);
    size_t open = conns.size();
    while (open > 0 && GetTickCount64() - t0 < limit) {
        for (size_t i = 0; i < conns.size(); i++) {
            DWORD avail = 0;
            if (closed[i] < 0 && !PeekNamedPipe(conns[i], nullptr, 0, nullptr, &avail, nullptr)) {
                closed[i] = (long long)(GetTickCount64() - t0);
                open--;
            }
        }
        Sleep(20);
    }
    for (size_t i = 0; i < conns.size(); i++) {
        printf("conn %zu closed_ms=%lld\n", i, closed[i]);
        CloseHandle(conns[i]);
    }
    return 0;
}

// Deterministic generator (64-bit LCG), so a failing seed can be replayed.
struct fuzz_rng {
    uint64_t s;
    uint32_t next() {
        s = s * 6364136223846793005ULL + 1442695040888963407ULL;
        return (uint32_t)(s >> 33);
    }
    uint32_t below(uint32_t n) { return n ? next() % n : 0; }
};

// Bytes that stress the parser and the log: controls, broken and valid UTF-8, separators.
static void fuzz_bytes(fuzz_rng& r, std::string& out, size_t n) {
    static const char* const bits[] = {"\r",
                                       "\x01",
                                       "\x1b[2J",
                                       "\x7f",
                                       "\xff",
                                       "\xc3",
                                       "\xc3\xa9",
                                       "\xe6\x97",
                                       "\xf0\x9f\x98\x80",
                                       "=",
                                       "==",
                                       "\\",
                                       "%s",
                                       "%n",
                                       "\"",
                                       "C:\\Users\\x",
                                       "[12:00:00.000] ERR  [main] HANG: x",
                                       ""};  // "": a NUL byte
    for (size_t i = 0; i < n; i++) {
        uint32_t k = r.below(4);
        if (k == 0) {
            const char* b = bits[r.below(sizeof bits / sizeof bits[0])];
            out += b[0] ? std::string(b) : std::string("\0", 1);
        } else if (k == 1) {
            char c = (char)r.below(256);
            out += c == '\n' || c == '\t' ? 'z' : c;
        } else {
            out += (char)('a' + r.below(26));
        }
    }
}

// One malformed request, always ending in a line feed. Commands that capture the
// screen, write dumps or start recordings are never produced.
static std::string fuzz_request(fuzz_rng& r) {
    static const char* const words[] = {"status", "screens", "input", "storage", "upload",  "reload", "ping\r",
                                        "PING",   "Ping",    "ping ", "shot\r",  "Shot",    "dump\r", "dumpx",
                                        "DEBUG",  "clip\r",  "x",     "",        "status\r"};
    static const char* const keys[] = {"op", "target",     "hwnd", "path",   "ms", "format", "monitor",
                                       "id", "timeout_ms", "out",  "folder", "",   "=",      "op=status"};
    std::string req;
    uint32_t shape = r.below(10);
    if (shape == 0) {
        fuzz_bytes(r, req, 1 + r.below(60));  // noise only
    } else if (shape == 1) {
        req = std::string(8000 + r.below(1000), (char)('a' + r.below(26)));  // over the 8191-byte limit
    } else {
        const char* w = words[r.below(sizeof words / sizeof words[0])];
        if (strcmp(w, "reload") == 0 && r.below(8) != 0) w = "storage";  // each reload reaches the main window
        req = w;
        uint32_t fields = r.below(7);
        for (uint32_t f = 0; f < fields; f++) {
            req += '\t';
            req += keys[r.below(sizeof keys / sizeof keys[0])];
            if (r.below(5) != 0) req += '=';
            fuzz_bytes(r, req, r.below(40));
        }
        if (r.below(6) == 0) req += r.below(2) ? "\r" : std::string("\0tail", 5);
    }
    req += '\n';
    if (r.below(8) == 0) req += "PING\n";  // a second line is never read
    return req;
}

// One request, one reply read to the end; returns the reply and the round trip.
static std::string exchange(const std::string& req, ULONGLONG* ms) {
    ULONGLONG t0 = GetTickCount64();
    HANDLE h = open_pipe(10000);
    if (h == INVALID_HANDLE_VALUE) return "<no pipe>";
    DWORD n = 0;
    WriteFile(h, req.data(), (DWORD)req.size(), &n, nullptr);
    std::string reply = read_all(h);
    CloseHandle(h);
    *ms = GetTickCount64() - t0;
    return reply;
}

// One line: ends in its only line feed and is an "ok" or an "err" reply.
static bool fuzz_reply_ok(const std::string& reply) {
    if (reply.empty() || reply.back() != '\n' || reply.find('\n') != reply.size() - 1) return false;
    if (reply.find('\0') != std::string::npos) return false;
    return reply.rfind("ok", 0) == 0 || reply.rfind("err\tcode=", 0) == 0;
}

static int cmd_fuzz(int argc, wchar_t** argv) {
    if (argc < 4) return 2;
    fuzz_rng r{(uint64_t)_wtoi64(argv[2])};
    int count = _wtoi(argv[3]);
    int bad = 0, pings = 0;
    ULONGLONG ping_max = 0;
    std::vector<std::string> failures;
    for (int i = 0; i < count; i++) {
        ULONGLONG ms = 0;
        if (i % 25 == 0) {
            std::string reply = exchange("ping\n", &ms);
            pings++;
            ping_max = ms > ping_max ? ms : ping_max;
            if (reply != "ok\n") failures.push_back("ping -> " + escaped(reply));
            continue;
        }
        std::string req = fuzz_request(r);
        std::string reply = exchange(req, &ms);
        if (!fuzz_reply_ok(reply)) {
            bad++;
            if (failures.size() < 20) failures.push_back(escaped(req.substr(0, 200)) + " -> " + escaped(reply));
        }
    }
    printf("sent=%d bad=%d pings=%d ping_max_ms=%llu\n", count, bad, pings, ping_max);
    for (auto& f : failures) printf("fail %s\n", f.c_str());
    return 0;
}

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return 2;
    _setmode(_fileno(stdout), _O_BINARY);  // replies are shown byte for byte
    if (wcscmp(argv[1], L"send") == 0) return cmd_send(argc, argv);
    if (wcscmp(argv[1], L"hold") == 0) return cmd_hold(argc, argv);
    if (wcscmp(argv[1], L"crowd") == 0) return cmd_crowd(argc, argv);
    if (wcscmp(argv[1], L"stall") == 0) return cmd_stall(argc, argv);
    if (wcscmp(argv[1], L"fuzz") == 0) return cmd_fuzz(argc, argv);
    return 2;
}
