// Test helper for the end-to-end suite: starts programs with a private
// environment and inspects or stops Windows processes by their process id.
//   ivtool launch [--env NAME=VALUE]... [--nowait] -- program [args...]
//   ivtool kill PID | alive PID | window-pid CLASS | wm-close CLASS | post CLASS MSG WPARAM LPARAM
//   ivtool pipe-send REQUEST [TIMEOUT_MS]   (\t \n \r \\ escapes; prints the reply as read, and
//                                           "ms=N" on stderr: open to last byte, so a test can bound
//                                           the exchange without counting Wine's start-up)
//   ivtool pipe-loop   (the same exchange for many requests from one process: each stdin line
//                       "TIMEOUT_MS HEX" is a request, each stdout line "RC MS HEX" its reply,
//                       RC 0 or 3 as pipe-send's exit code; ends at the end of stdin)
#include "common/win.h"
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

static std::wstring quote_arg(const std::wstring& a) {
    if (!a.empty() && a.find_first_of(L" \t\"") == std::wstring::npos) return a;
    std::wstring out = L"\"";
    size_t slashes = 0;
    for (wchar_t c : a) {
        if (c == L'\\') { slashes++; continue; }
        if (c == L'"') out.append(slashes * 2 + 1, L'\\');
        else out.append(slashes, L'\\');
        slashes = 0;
        out += c;
    }
    out.append(slashes * 2, L'\\');
    return out + L"\"";
}

static std::string unescape(const std::wstring& w) {
    std::string s;
    int n = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, nullptr, 0, nullptr, nullptr);
    s.resize(n > 0 ? n - 1 : 0);
    if (n > 1) WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, s.data(), n, nullptr, nullptr);
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] == '\\' && i + 1 < s.size()) {
            char c = s[++i];
            if (c == 't') out += '\t';
            else if (c == 'n') out += '\n';
            else if (c == 'r') out += '\r';
            else if (c == '0') out += '\0';
            else out += c;
        } else {
            out += s[i];
        }
    }
    return out;
}

static int cmd_launch(int argc, wchar_t** argv) {
    bool wait = true;
    int i = 2;
    for (; i < argc; i++) {
        std::wstring a = argv[i];
        if (a == L"--") { i++; break; }
        if (a == L"--nowait") { wait = false; continue; }
        if (a == L"--env" && i + 1 < argc) {
            std::wstring kv = argv[++i];
            size_t eq = kv.find(L'=');
            if (eq == std::wstring::npos) return 2;
            std::wstring name = kv.substr(0, eq), value = kv.substr(eq + 1);
            SetEnvironmentVariableW(name.c_str(), value.empty() ? nullptr : value.c_str());
            continue;
        }
        break;
    }
    if (i >= argc) return 2;
    std::wstring cmd;
    for (int j = i; j < argc; j++) {
        if (!cmd.empty()) cmd += L' ';
        cmd += quote_arg(argv[j]);
    }
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    // Wine on a loaded machine now and then fails a start with ERROR_INTERNAL_ERROR before the
    // child runs anything; nothing was started, so trying again is safe.
    DWORD err = 0;
    for (int attempt = 0; attempt < 3; attempt++) {
        // Suspended until its pid is printed, so the pid line always comes before the child's output.
        if (CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr, nullptr, &si, &pi)) {
            err = 0;
            break;
        }
        err = GetLastError();
        if (err != ERROR_INTERNAL_ERROR) break;
        Sleep(200);
    }
    if (err) {
        fprintf(stderr, "launch: CreateProcess failed %lu\n", err);
        return 127;
    }
    printf("pid=%lu\n", pi.dwProcessId);
    fflush(stdout);
    ResumeThread(pi.hThread);
    CloseHandle(pi.hThread);
    DWORD code = 0;
    if (wait) {
        WaitForSingleObject(pi.hProcess, INFINITE);
        GetExitCodeProcess(pi.hProcess, &code);
    }
    CloseHandle(pi.hProcess);
    return (int)code;
}

static HWND find_class(const wchar_t* cls) {
    HWND w = FindWindowW(cls, nullptr);
    if (!w) w = FindWindowExW(HWND_MESSAGE, nullptr, cls, nullptr);
    return w;
}

// One request and its reply on the agent's pipe. Returns 0, or 3 when the pipe could not
// be opened before the time-out (its error in *open_err).
static int pipe_exchange(const std::string& req, DWORD timeout, std::string* reply, ULONGLONG* ms, DWORD* open_err) {
    ULONGLONG t0 = GetTickCount64();
    ULONGLONG deadline = t0 + timeout;
    HANDLE h = INVALID_HANDLE_VALUE;
    for (;;) {
        h = CreateFileW(L"\\\\.\\pipe\\ivra", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h != INVALID_HANDLE_VALUE) break;
        DWORD e = GetLastError();
        if (GetTickCount64() >= deadline) {
            *open_err = e;
            return 3;
        }
        if (e == ERROR_PIPE_BUSY) WaitNamedPipeW(L"\\\\.\\pipe\\ivra", 200);
        else Sleep(50);
    }
    DWORD n = 0;
    WriteFile(h, req.data(), (DWORD)req.size(), &n, nullptr);
    static char buf[65536];
    while (ReadFile(h, buf, sizeof buf, &n, nullptr) && n > 0) reply->append(buf, n);
    CloseHandle(h);
    *ms = GetTickCount64() - t0;
    return 0;
}

static int cmd_pipe_send(int argc, wchar_t** argv) {
    if (argc < 3) return 2;
    std::string req = unescape(argv[2]);
    DWORD timeout = argc > 3 ? (DWORD)_wtoi(argv[3]) : 10000;
    std::string reply;
    ULONGLONG ms = 0;
    DWORD err = 0;
    if (pipe_exchange(req, timeout, &reply, &ms, &err) != 0) {
        fprintf(stderr, "pipe: open failed %lu\n", err);
        return 3;
    }
    fwrite(reply.data(), 1, reply.size(), stdout);
    fflush(stdout);
    fprintf(stderr, "ms=%llu\n", ms);
    return 0;
}

static int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Hex both ways keeps every byte of a request or reply intact through the text streams.
static int cmd_pipe_loop() {
    std::string line;
    int c;
    for (;;) {
        line.clear();
        while ((c = fgetc(stdin)) != EOF && c != '\n') line += (char)c;
        if (c == EOF && line.empty()) return 0;
        size_t sp = line.find(' ');
        DWORD timeout = (DWORD)atol(line.c_str());
        std::string req;
        for (size_t i = sp == std::string::npos ? line.size() : sp + 1; i + 1 < line.size(); i += 2) {
            int hi = hex_value(line[i]), lo = hex_value(line[i + 1]);
            if (hi < 0 || lo < 0) break;
            req += (char)(hi * 16 + lo);
        }
        std::string reply;
        ULONGLONG ms = 0;
        DWORD err = 0;
        int rc = pipe_exchange(req, timeout ? timeout : 10000, &reply, &ms, &err);
        std::string out = std::to_string(rc) + " " + std::to_string(rc ? (ULONGLONG)err : ms) + " ";
        static const char digits[] = "0123456789abcdef";
        for (unsigned char b : reply) {
            out += digits[b >> 4];
            out += digits[b & 15];
        }
        out += '\n';
        fwrite(out.data(), 1, out.size(), stdout);
        fflush(stdout);
    }
}

// Exit 1 always comes with a line on standard error: the harness takes a silent 1 for
// Wine failing to start this program, and starts it again.
static int said(const char* why) {
    fprintf(stderr, "%s\n", why);
    return 1;
}

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return 2;
    std::wstring c = argv[1];
    if (c == L"launch") return cmd_launch(argc, argv);
    if (c == L"pipe-send") return cmd_pipe_send(argc, argv);
    if (c == L"pipe-loop") return cmd_pipe_loop();
    if (c == L"kill" && argc > 2) {
        HANDLE p = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, (DWORD)_wtoi(argv[2]));
        if (!p) return said("no such process");
        TerminateProcess(p, 137);
        WaitForSingleObject(p, 5000);
        CloseHandle(p);
        return 0;
    }
    if (c == L"alive" && argc > 2) {
        HANDLE p = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, (DWORD)_wtoi(argv[2]));
        if (!p) return said("no such process");
        DWORD r = WaitForSingleObject(p, 0);
        CloseHandle(p);
        return r == WAIT_TIMEOUT ? 0 : said("process ended");
    }
    if (c == L"window-pid" && argc > 2) {
        HWND w = find_class(argv[2]);
        if (!w) return said("no such window");
        DWORD pid = 0;
        GetWindowThreadProcessId(w, &pid);
        printf("%lu\n", pid);
        return 0;
    }
    if (c == L"wm-close" && argc > 2) {
        HWND w = find_class(argv[2]);
        return w && PostMessageW(w, WM_CLOSE, 0, 0) ? 0 : said("no such window");
    }
    if (c == L"post" && argc > 5) {
        // A target given as a number is the window handle itself, so no class lookup can miss it.
        HWND w = (argv[2][0] >= L'0' && argv[2][0] <= L'9') ? (HWND)(uintptr_t)_wcstoui64(argv[2], nullptr, 0)
                                                           : find_class(argv[2]);
        std::wstring m = argv[3];
        UINT msg = (m[0] >= L'0' && m[0] <= L'9') ? (UINT)wcstoul(m.c_str(), nullptr, 0)
                                                  : RegisterWindowMessageW(m.c_str());
        return w && PostMessageW(w, msg, (WPARAM)_wcstoui64(argv[4], nullptr, 0),
                                 (LPARAM)_wcstoi64(argv[5], nullptr, 0)) ? 0 : said("not posted");
    }
    return 2;
}
