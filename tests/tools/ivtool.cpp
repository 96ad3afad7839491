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
//   ivtool serve       (any command above but the two loops, many from one process, so a test
//                       does not pay a Wine process start for each: prints "ready", then reads
//                       stdin lines of space-separated hex UTF-8 arguments and answers each with
//                       "RC HEXOUT HEXERR"; ends at the end of stdin)
//   ivtool wintext ... | overlay_probe ...   (what those programs do, for serve)
//   launch --stdio OUT ERR   gives the program these files as standard output and error and NUL
//                            as input, instead of this process's own handles (serve needs it)
#include "common/win.h"
#include "overlay_probe.h"
#include "wintext.h"
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

// Under serve, a command's output is collected for its reply line instead of written out.
static std::string* ivtool_out_buf = nullptr;
static std::string* ivtool_err_buf = nullptr;

// Collected output reads as the text-mode streams write it: every line feed as CR LF.
static void ivtool_write(FILE* f, std::string* buf, const char* data, size_t n) {
    if (!buf) {
        fwrite(data, 1, n, f);
        fflush(f);
        return;
    }
    for (size_t i = 0; i < n; i++) {
        if (data[i] == '\n') *buf += '\r';
        *buf += data[i];
    }
}

static void ivtool_vprint(FILE* f, std::string* buf, const char* fmt, va_list ap) {
    va_list measure;
    va_copy(measure, ap);
    int n = vsnprintf(nullptr, 0, fmt, measure);
    va_end(measure);
    if (n < 0) return;
    std::string line((size_t)n + 1, '\0');
    vsnprintf(line.data(), line.size(), fmt, ap);
    ivtool_write(f, buf, line.data(), (size_t)n);
}

static void out(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    ivtool_vprint(stdout, ivtool_out_buf, fmt, ap);
    va_end(ap);
}

static void err(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    ivtool_vprint(stderr, ivtool_err_buf, fmt, ap);
    va_end(ap);
}

static std::wstring quote_arg(const std::wstring& a) {
    if (!a.empty() && a.find_first_of(L" \t\"") == std::wstring::npos) return a;
    std::wstring out = L"\"";
    size_t slashes = 0;
    for (wchar_t c : a) {
        if (c == L'\\') {
            slashes++;
            continue;
        }
        if (c == L'"')
            out.append(slashes * 2 + 1, L'\\');
        else
            out.append(slashes, L'\\');
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
            if (c == 't')
                out += '\t';
            else if (c == 'n')
                out += '\n';
            else if (c == 'r')
                out += '\r';
            else if (c == '0')
                out += '\0';
            else
                out += c;
        } else {
            out += s[i];
        }
    }
    return out;
}

struct launch_env_saved {
    std::wstring name;
    std::wstring value;
    bool had;
};

// Under serve the next command must find this process's environment as it was.
static void launch_env_restore(std::vector<launch_env_saved>* saved) {
    for (size_t k = saved->size(); k-- > 0;) {
        const launch_env_saved& e = (*saved)[k];
        SetEnvironmentVariableW(e.name.c_str(), e.had ? e.value.c_str() : nullptr);
    }
    saved->clear();
}

static HANDLE launch_open(const wchar_t* path, bool write) {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    return CreateFileW(path, write ? GENERIC_WRITE : GENERIC_READ,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &sa,
                       write ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

static int launch_run(int argc, wchar_t** argv, std::vector<launch_env_saved>* saved, HANDLE std_handles[3]) {
    bool wait = true;
    int i = 2;
    for (; i < argc; i++) {
        std::wstring a = argv[i];
        if (a == L"--") {
            i++;
            break;
        }
        if (a == L"--nowait") {
            wait = false;
            continue;
        }
        if (a == L"--stdio" && i + 2 < argc) {
            if (std_handles[0]) return 2;
            std_handles[0] = launch_open(L"NUL", false);
            std_handles[1] = launch_open(argv[i + 1], true);
            std_handles[2] = launch_open(argv[i + 2], true);
            i += 2;
            for (int k = 0; k < 3; k++) {
                if (std_handles[k] == INVALID_HANDLE_VALUE) {
                    err("launch: cannot open %ls\n", k ? argv[i - 2 + k] : L"NUL");
                    return 127;
                }
            }
            continue;
        }
        if (a == L"--env" && i + 1 < argc) {
            std::wstring kv = argv[++i];
            size_t eq = kv.find(L'=');
            if (eq == std::wstring::npos) return 2;
            std::wstring name = kv.substr(0, eq), value = kv.substr(eq + 1);
            launch_env_saved old{name, std::wstring(32767, L'\0'), false};
            DWORD n = GetEnvironmentVariableW(name.c_str(), old.value.data(), (DWORD)old.value.size());
            old.had = n > 0 || GetLastError() != ERROR_ENVVAR_NOT_FOUND;
            old.value.resize(n < old.value.size() ? n : 0);
            saved->push_back(old);
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
    if (std_handles[0]) {
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdInput = std_handles[0];
        si.hStdOutput = std_handles[1];
        si.hStdError = std_handles[2];
    }
    PROCESS_INFORMATION pi{};
    // Wine on a loaded machine now and then fails a start with ERROR_INTERNAL_ERROR before the
    // child runs anything; nothing was started, so trying again is safe.
    DWORD error = 0;
    for (int attempt = 0; attempt < 3; attempt++) {
        // Suspended until its pid is printed, so the pid line always comes before the child's output.
        if (CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr, nullptr, &si, &pi)) {
            error = 0;
            break;
        }
        error = GetLastError();
        if (error != ERROR_INTERNAL_ERROR) break;
        Sleep(200);
    }
    // The child has its copy of the environment and of the standard handles.
    launch_env_restore(saved);
    for (int k = 0; k < 3; k++) {
        if (std_handles[k]) CloseHandle(std_handles[k]);
        std_handles[k] = nullptr;
    }
    if (error) {
        err("launch: CreateProcess failed %lu\n", error);
        return 127;
    }
    out("pid=%lu\n", pi.dwProcessId);
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

static int cmd_launch(int argc, wchar_t** argv) {
    std::vector<launch_env_saved> saved;
    HANDLE std_handles[3] = {nullptr, nullptr, nullptr};
    int rc = launch_run(argc, argv, &saved, std_handles);
    // A usage failure may come after some options took effect.
    launch_env_restore(&saved);
    for (HANDLE h : std_handles) {
        if (h && h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
    return rc;
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
        if (e == ERROR_PIPE_BUSY)
            WaitNamedPipeW(L"\\\\.\\pipe\\ivra", 200);
        else
            Sleep(50);
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
    DWORD open_err = 0;
    if (pipe_exchange(req, timeout, &reply, &ms, &open_err) != 0) {
        err("pipe: open failed %lu\n", open_err);
        return 3;
    }
    ivtool_write(stdout, ivtool_out_buf, reply.data(), reply.size());
    err("ms=%llu\n", ms);
    return 0;
}

static int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

static std::string hex_decode(const std::string& s, size_t from, size_t to) {
    std::string bytes;
    for (size_t i = from; i + 1 < to; i += 2) {
        int hi = hex_value(s[i]), lo = hex_value(s[i + 1]);
        if (hi < 0 || lo < 0) break;
        bytes += (char)(hi * 16 + lo);
    }
    return bytes;
}

static void hex_append(std::string* line, const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    for (unsigned char b : bytes) {
        *line += digits[b >> 4];
        *line += digits[b & 15];
    }
}

static bool read_line(std::string* line) {
    line->clear();
    int c;
    while ((c = fgetc(stdin)) != EOF && c != '\n') *line += (char)c;
    return c != EOF || !line->empty();
}

// Hex both ways keeps every byte of a request or reply intact through the text streams.
static int cmd_pipe_loop() {
    std::string line;
    while (read_line(&line)) {
        size_t sp = line.find(' ');
        DWORD timeout = (DWORD)atol(line.c_str());
        std::string req = hex_decode(line, sp == std::string::npos ? line.size() : sp + 1, line.size());
        std::string reply;
        ULONGLONG ms = 0;
        DWORD open_err = 0;
        int rc = pipe_exchange(req, timeout ? timeout : 10000, &reply, &ms, &open_err);
        std::string answer = std::to_string(rc) + " " + std::to_string(rc ? (ULONGLONG)open_err : ms) + " ";
        hex_append(&answer, reply);
        answer += '\n';
        fwrite(answer.data(), 1, answer.size(), stdout);
        fflush(stdout);
    }
    return 0;
}

// Exit 1 always comes with a line on standard error: the harness takes a silent 1 for
// Wine failing to start this program, and starts it again.
static int said(const char* why) {
    err("%s\n", why);
    return 1;
}

static int cmd_serve();

static int dispatch(int argc, wchar_t** argv, bool serving) {
    if (argc < 2) return 2;
    std::wstring c = argv[1];
    if (c == L"launch") return cmd_launch(argc, argv);
    if (c == L"pipe-send") return cmd_pipe_send(argc, argv);
    if (c == L"wintext") return wintext_run(argc - 1, argv + 1, out);
    if (c == L"overlay_probe") {
        SetProcessDPIAware();
        const probe_print pr{out, err};
        return probe_run(&pr, argc - 1, argv + 1);
    }
    if (c == L"pipe-loop" || c == L"serve") {
        if (serving) return 2;
        return c == L"serve" ? cmd_serve() : cmd_pipe_loop();
    }
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
        out("%lu\n", pid);
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
        UINT msg =
            (m[0] >= L'0' && m[0] <= L'9') ? (UINT)wcstoul(m.c_str(), nullptr, 0) : RegisterWindowMessageW(m.c_str());
        return w && PostMessageW(w, msg, (WPARAM)_wcstoui64(argv[4], nullptr, 0),
                                 (LPARAM)_wcstoi64(argv[5], nullptr, 0))
                   ? 0
                   : said("not posted");
    }
    return 2;
}

static std::wstring utf8_to_wide(const std::string& s) {
    if (s.empty()) return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), (int)s.size(), nullptr, 0);
    std::wstring w(n > 0 ? n : 0, L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, s.data(), (int)s.size(), w.data(), n);
    return w;
}

static int cmd_serve() {
    // Programs launched from here get files of their own; none may hold the test's pipes,
    // or the test would wait on them after this process ended.
    const DWORD std_ids[3] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    for (DWORD id : std_ids) {
        HANDLE h = GetStdHandle(id);
        if (h && h != INVALID_HANDLE_VALUE) SetHandleInformation(h, HANDLE_FLAG_INHERIT, 0);
    }
    fputs("ready\n", stdout);
    fflush(stdout);
    std::string line;
    while (read_line(&line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        // Exactly one space between arguments, so an empty one is an empty field.
        std::vector<std::wstring> args{L"ivtool"};
        for (size_t at = 0;;) {
            size_t sp = line.find(' ', at);
            args.push_back(utf8_to_wide(hex_decode(line, at, sp == std::string::npos ? line.size() : sp)));
            if (sp == std::string::npos) break;
            at = sp + 1;
        }
        std::vector<wchar_t*> argv;
        for (std::wstring& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        std::string cmd_out, cmd_err;
        ivtool_out_buf = &cmd_out;
        ivtool_err_buf = &cmd_err;
        int rc = dispatch((int)args.size(), argv.data(), true);
        ivtool_out_buf = nullptr;
        ivtool_err_buf = nullptr;
        std::string answer = std::to_string(rc) + " ";
        hex_append(&answer, cmd_out);
        answer += ' ';
        hex_append(&answer, cmd_err);
        answer += '\n';
        fwrite(answer.data(), 1, answer.size(), stdout);
        fflush(stdout);
    }
    return 0;
}

int wmain(int argc, wchar_t** argv) { return dispatch(argc, argv, false); }
