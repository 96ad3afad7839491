#include "cli/pipe_client.h"
#include "cli/cli.h"
#include <cstdio>
#include <cstring>
#include <cwchar>

static const wchar_t pipe_name[] = L"\\\\.\\pipe\\ivra";

const char* pipe_client_reply_field_find(const char* reply, const char* key, size_t* len) {
    if (!reply || !key || !key[0]) return nullptr;
    size_t klen = strlen(key);
    const char* p = reply;
    for (;;) {
        size_t flen = strcspn(p, "\t\n");
        if (flen > klen && strncmp(p, key, klen) == 0 && p[klen] == '=') {
            if (len) *len = flen - klen - 1;
            return p + klen + 1;
        }
        if (p[flen] != '\t') return nullptr;
        p += flen + 1;
    }
}

void pipe_client_reply_field_get_utf8(const char* reply, const char* key, char* out, size_t out_size) {
    if (out_size == 0) return;
    size_t len = 0;
    const char* v = pipe_client_reply_field_find(reply, key, &len);
    if (!v) {
        out[0] = 0;
        return;
    }
    len = cli_utf8_cut(v, len, out_size - 1);
    memcpy(out, v, len);
    out[len] = 0;
}

void pipe_client_reply_field_get(const char* reply, const char* key, wchar_t* out_wide, size_t out_chars) {
    if (out_chars == 0) return;
    char value[1024];
    pipe_client_reply_field_get_utf8(reply, key, value, sizeof value);
    cli_wide_from_utf8(value, (size_t)-1, out_wide, out_chars);
}

bool pipe_client_reply_ok(const char* reply) { return reply && reply[0] == 'o' && reply[1] == 'k'; }

HWND cli_find_window(const wchar_t* class_name) {
    HWND w = FindWindowW(class_name, nullptr);
    if (!w) w = FindWindowExW(HWND_MESSAGE, nullptr, class_name, nullptr);
    return w;
}

// Opens the pipe with the attempts rule: absent pipes are retried every 50 ms,
// busy ones waited for up to 200 ms, 20 attempts in all.
static HANDLE pipe_client_open() {
    for (int attempt = 0; attempt < 20; attempt++) {
        HANDLE h = CreateFileW(pipe_name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                               nullptr);
        if (h != INVALID_HANDLE_VALUE) return h;
        DWORD e = GetLastError();
        if (e == ERROR_FILE_NOT_FOUND) {
            Sleep(50);
        } else if (e == ERROR_PIPE_BUSY) {
            if (!WaitNamedPipeW(pipe_name, 200)) Sleep(50);
        } else {
            return INVALID_HANDLE_VALUE;
        }
    }
    return INVALID_HANDLE_VALUE;
}

// Waits for a pending operation; on time-out cancels it and waits for the
// cancellation, so the kernel never writes into the OVERLAPPED after we return.
static bool pipe_client_overlapped_finish(HANDLE h, OVERLAPPED* ov, unsigned long timeout_ms, DWORD* done) {
    if (WaitForSingleObject(ov->hEvent, timeout_ms) != WAIT_OBJECT_0) {
        CancelIo(h);
        GetOverlappedResult(h, ov, done, TRUE);
        return false;
    }
    return GetOverlappedResult(h, ov, done, FALSE) != 0;
}

int pipe_client_call(const char* request, char* reply, size_t reply_size, unsigned long timeout_ms) {
    if (reply_size > 0) reply[0] = 0;
    if (!request || !reply || reply_size < 2) return PIPE_CALL_NO_REPLY;
    size_t rlen = strlen(request);
    if (rlen > PIPE_REQUEST_MAX || memchr(request, '\n', rlen)) return PIPE_CALL_NO_REPLY;

    HANDLE h = pipe_client_open();
    if (h == INVALID_HANDLE_VALUE) return PIPE_CALL_ABSENT;
    int result = PIPE_CALL_NO_REPLY;
    size_t got = 0;
    OVERLAPPED ov = {};
    char line[4096];
    DWORD done = 0;
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!ov.hEvent) goto out_pipe;

    memcpy(line, request, rlen);
    line[rlen] = '\n';
    if (!WriteFile(h, line, (DWORD)(rlen + 1), nullptr, &ov)) {
        if (GetLastError() != ERROR_IO_PENDING) goto out_event;
        if (!pipe_client_overlapped_finish(h, &ov, timeout_ms, &done)) goto out_event;
    }

    while (got < reply_size - 1) {
        ResetEvent(ov.hEvent);
        done = 0;
        DWORD want = (DWORD)(reply_size - 1 - got);
        BOOL ok = ReadFile(h, reply + got, want, nullptr, &ov);
        DWORD e = ok ? 0 : GetLastError();
        if (ok || e == ERROR_MORE_DATA) {
            GetOverlappedResult(h, &ov, &done, FALSE);
        } else if (e == ERROR_IO_PENDING) {
            if (WaitForSingleObject(ov.hEvent, timeout_ms) != WAIT_OBJECT_0) {
                // Wait for the cancellation so the read never lands after we return;
                // bytes it delivered before the time-out still count.
                CancelIo(h);
                GetOverlappedResult(h, &ov, &done, TRUE);
                got += done;
                break;
            }
            if (!GetOverlappedResult(h, &ov, &done, FALSE) && GetLastError() != ERROR_MORE_DATA && done == 0) break;
        } else {
            break;  // the agent disconnected
        }
        if (done == 0) break;
        bool line_end = memchr(reply + got, '\n', done) != nullptr;
        got += done;
        if (line_end) break;
    }
    reply[got] = 0;
    if (char* lf = (char*)memchr(reply, '\n', got)) *lf = 0;
    if (got > 0) result = PIPE_CALL_OK;

out_event:
    CloseHandle(ov.hEvent);
out_pipe:
    CloseHandle(h);
    return result;
}

bool cli_sibling_path(const wchar_t* file_name, wchar_t out[260]) {
    wchar_t path[260];
    DWORD n = GetModuleFileNameW(nullptr, path, 260);
    wchar_t* slash = (n > 0 && n < 260) ? wcsrchr(path, L'\\') : nullptr;
    if (!slash || (size_t)(slash + 1 - path) + wcslen(file_name) >= 260) return false;
    wcscpy(slash + 1, file_name);
    wcscpy(out, path);
    return true;
}

bool cli_quoted_command_line(const wchar_t* path, wchar_t* out, size_t capacity) {
    size_t len = path ? wcslen(path) : 0;
    if (len == 0 || wcschr(path, L'"') || len + 3 > capacity) return false;
    out[0] = L'"';
    wmemcpy(out + 1, path, len);
    out[len + 1] = L'"';
    out[len + 2] = 0;
    return true;
}

int cli_start_sibling(const wchar_t* file_name, const char* code, int exit_code, HANDLE* process) {
    char name[260];
    if (WideCharToMultiByte(CP_UTF8, 0, file_name, -1, name, sizeof name, nullptr, nullptr) <= 0) name[0] = 0;
    // Without ivrac's full path a bare name would be looked up in the current
    // folder, which may hold someone else's program of that name.
    wchar_t path[260], line[264];
    if (!cli_sibling_path(file_name, path))
        return cli_fail(code, exit_code,
                        "cannot start %s: ivrac's own path cannot be read in full or is too long (%lu)", name,
                        (unsigned long)ERROR_FILENAME_EXCED_RANGE);
    // The child sees its own path as the first word of its command line; quoted,
    // a folder with blanks does not split it into stray arguments.
    if (!cli_quoted_command_line(path, line, 264))
        return cli_fail(code, exit_code, "cannot start %s (%lu)", name, (unsigned long)ERROR_INVALID_NAME);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(path, line, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return cli_fail(code, exit_code, "cannot start %s (%lu)", name, GetLastError());
    CloseHandle(pi.hThread);
    *process = pi.hProcess;
    return CLI_EXIT_OK;
}

int pipe_client_agent_launch() {
    HANDLE process = nullptr;
    int started = cli_start_sibling(L"ivrad.exe", "agent_unavailable", CLI_EXIT_AGENT, &process);
    if (started != CLI_EXIT_OK) return started;

    const char* message = "timed out waiting for the agent pipe";
    for (int poll = 0; poll < 50; poll++) {
        // The pipe first: another instance serving it counts as success.
        HANDLE h = CreateFileW(pipe_name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            CloseHandle(h);
            CloseHandle(process);
            return CLI_EXIT_OK;
        }
        DWORD code = 0;
        if (!GetExitCodeProcess(process, &code) || code != STILL_ACTIVE) {
            message = "ivrad.exe exited during startup";
            break;
        }
        Sleep(100);
    }
    CloseHandle(process);
    return cli_fail("agent_unavailable", CLI_EXIT_AGENT, "%s", message);
}

int pipe_client_call_start(const char* request, char* reply, size_t reply_size, unsigned long timeout_ms) {
    size_t rlen = request ? strlen(request) : 0;
    if (!request || rlen > PIPE_REQUEST_MAX || memchr(request, '\n', rlen))
        return cli_fail("usage", CLI_EXIT_USAGE, "request too long or malformed (%zu bytes; at most %d)", rlen,
                        (int)PIPE_REQUEST_MAX);
    int r = pipe_client_call(request, reply, reply_size, timeout_ms);
    if (r == PIPE_CALL_ABSENT) {
        cli_note("starting agent...");
        int launched = pipe_client_agent_launch();
        if (launched != CLI_EXIT_OK) return launched;
        r = pipe_client_call(request, reply, reply_size, timeout_ms);
        if (r == PIPE_CALL_ABSENT) return cli_fail("agent_unavailable", CLI_EXIT_AGENT, "agent unavailable");
    }
    if (r == PIPE_CALL_OK) return CLI_EXIT_OK;
    return cli_fail("capture_failed", CLI_EXIT_FAILED, "request failed (no reply)");
}
