#include "agent/pipe/pipe_server.h"
#include "agent/pipe/pipe_cmds.h"
#include "agent/core/agent.h"
#include "agent/core/messages.h"
#include "agent/core/worker_pool.h"
#include "agent/maint/diag.h"
#include "common/log.h"
#include <climits>
#include <cstdio>
#include <cstring>

static volatile LONG g_active;      // connections accepted and not yet closed
static HANDLE g_listener;           // listener thread
static HANDLE g_wake;               // manual-reset; set to end the listener's waits

// Per-thread request state: the first reply's summary and the field lookup buffer.
static thread_local char t_reply_summary[PIPE_REPLY_SUMMARY_CAP];
static thread_local bool t_reply_recorded;
static thread_local char t_field[PIPE_FIELD_CAP];
// One manual-reset event per serving thread for its overlapped I/O, made on first use
// and kept for the thread's life so a request costs no event creation.
static thread_local HANDLE t_io_event;

// ---------------------------------------------------------------- pure parts

bool pipe_read_complete(const char* buf, size_t got) {
    return got > PIPE_REQUEST_MAX - 1 || memchr(buf, '\n', got) != nullptr;
}

void pipe_request_split(char* text, const char** cmd, const char** args) {
    char* lf = strchr(text, '\n');
    if (lf) *lf = 0;
    char* tab = strchr(text, '\t');
    if (tab) {
        *tab = 0;
        *args = tab + 1;
    } else {
        *args = "";
    }
    *cmd = text;
}

static void pipe_tabs_to_blanks(char* s) {
    for (; *s; s++)
        if (*s == '\t') *s = ' ';
}

size_t pipe_request_summary(const char* cmd, const char* args, char out[PIPE_SUMMARY_CAP]) {
    snprintf(out, PIPE_SUMMARY_CAP, "%s %s", cmd, args);
    pipe_tabs_to_blanks(out);
    return strlen(out);
}

size_t pipe_reply_summary_of(const char* data, size_t len, char out[PIPE_REPLY_SUMMARY_CAP]) {
    size_t n = 0;
    while (n < len && n < PIPE_REPLY_SUMMARY_CAP - 1 && data[n] != '\n' && data[n] != 0) {
        out[n] = data[n] == '\t' ? ' ' : data[n];
        n++;
    }
    out[n] = 0;
    return n;
}

bool pipe_request_quiet(const char* cmd, const char* args) {
    static const char* const always[] = {"ping", "status", "screens", "input", "storage"};
    for (const char* w : always)
        if (strcmp(cmd, w) == 0) return true;
    if (strcmp(cmd, "clip") == 0) return strstr(args, "op=status") || strstr(args, "op=ui");
    if (strcmp(cmd, "upload") == 0) return strstr(args, "op=status") != nullptr;
    return false;
}

size_t pipe_err_format(char out[PIPE_ERR_CAP], const char* code, const char* msg) {
    int n = snprintf(out, PIPE_ERR_CAP, "err\tcode=%s\tmsg=%s\n", code, msg);
    if (n < 0) {
        out[0] = 0;
        return 0;
    }
    if ((size_t)n < PIPE_ERR_CAP) return (size_t)n;
    // A cut reply still ends its line, so the client sees one whole line.
    out[PIPE_ERR_CAP - 2] = '\n';
    return PIPE_ERR_CAP - 1;
}

bool pipe_field_find(const char* args, const char* key, char* out, size_t cap) {
    if (cap == 0) return false;
    out[0] = 0;
    if (!args || !key) return false;
    size_t klen = strlen(key);
    const char* p = args;
    for (;;) {
        const char* end = strchr(p, '\t');
        size_t flen = end ? (size_t)(end - p) : strlen(p);
        if (flen > klen && memcmp(p, key, klen) == 0 && p[klen] == '=') {
            size_t vlen = flen - klen - 1;
            if (vlen > cap - 1) vlen = cap - 1;
            memcpy(out, p + klen + 1, vlen);
            out[vlen] = 0;
            return vlen > 0;
        }
        if (!end) return false;
        p = end + 1;
    }
}

bool pipe_debug_hooks_on(DWORD len, const wchar_t* value) {
    return len > 0 && len <= 7 && value && value[0] == L'1';
}

uint32_t pipe_debug_ms(const char* text) {
    const char* p = text ? text : "";
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) p++;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    long long v = 0;
    for (; *p >= '0' && *p <= '9'; p++) {
        v = v * 10 + (*p - '0');
        if (v > INT_MAX) v = INT_MAX;  // atoi's range; longer runs saturate instead of overflowing
    }
    if (negative || v <= 0) return PIPE_DEBUG_DEFAULT_MS;
    return (uint32_t)v;
}

// ---------------------------------------------------------------- replies

static HANDLE pipe_io_event(void) {
    if (!t_io_event) t_io_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return t_io_event;
}

// Writes on the overlapped instance and waits for the write to finish, as a blocking
// write would; the outcome is not reported (a vanished client is not an error here).
static void pipe_write_raw(HANDLE pipe, const char* data, size_t len) {
    OVERLAPPED ov{};
    ov.hEvent = pipe_io_event();
    DWORD n = 0;
    if (!WriteFile(pipe, data, (DWORD)len, &n, ov.hEvent ? &ov : nullptr) && ov.hEvent &&
        GetLastError() == ERROR_IO_PENDING)
        GetOverlappedResult(pipe, &ov, &n, TRUE);
}

static void pipe_reply_begin(void) {
    t_reply_summary[0] = 0;
    t_reply_recorded = false;
}

void pipe_reply_write_bytes(HANDLE pipe, const char* data, size_t len) {
    if (!t_reply_recorded) {
        pipe_reply_summary_of(data, len, t_reply_summary);
        t_reply_recorded = true;
    }
    pipe_write_raw(pipe, data, len);
}

void pipe_reply_write(HANDLE pipe, const char* text) {
    pipe_reply_write_bytes(pipe, text, strlen(text));
}

void pipe_reply_err(HANDLE pipe, const char* code, const char* msg) {
    char buf[PIPE_ERR_CAP];
    size_t n = pipe_err_format(buf, code, msg);
    pipe_reply_write_bytes(pipe, buf, n);
}

const char* pipe_reply_summary(void) {
    return t_reply_summary;
}

const char* pipe_field_get(const char* args, const char* key) {
    pipe_field_find(args, key, t_field, sizeof t_field);
    return t_field;
}

// ---------------------------------------------------------------- commands of the dispatcher

static void pipe_cmd_ping(HANDLE pipe, const char*) {
    pipe_reply_write(pipe, "ok\n");
}

static void pipe_cmd_dump(HANDLE pipe, const char*) {
    wchar_t path[260];
    if (!write_minidump("ondemand", nullptr, path)) {
        pipe_reply_err(pipe, "dump_failed", "could not write a minidump");
        return;
    }
    char utf8[780];
    if (WideCharToMultiByte(CP_UTF8, 0, path, -1, utf8, sizeof utf8, nullptr, nullptr) <= 0) utf8[0] = 0;
    char reply[800];
    snprintf(reply, sizeof reply, "ok\tpath=%s\n", utf8);
    pipe_reply_write(pipe, reply);
}

static void pipe_cmd_debug(HANDLE pipe, const char* args) {
    wchar_t value[8] = L"";
    DWORD len = GetEnvironmentVariableW(L"IVRA_DEBUG_HOOKS", value, 8);
    if (!pipe_debug_hooks_on(len, value)) {
        pipe_reply_err(pipe, "disabled", "start the agent with IVRA_DEBUG_HOOKS=1");
        return;
    }
    if (strcmp(pipe_field_get(args, "op"), "hang_main") != 0) {
        pipe_reply_err(pipe, "usage", "debug op=hang_main ms=N");
        return;
    }
    uint32_t ms = pipe_debug_ms(pipe_field_get(args, "ms"));
    // Posted, never sent: the reply must not wait for the thread it is about to block.
    if (!PostMessageW(g_agent.wnd, WM_AGENT_DEBUG_SLEEP, (WPARAM)ms, 0)) {
        pipe_reply_err(pipe, "no_window", "the agent window is not available");
        return;
    }
    pipe_reply_write(pipe, "ok\n");
}

struct pipe_command {
    const char* word;
    pipe_handler fn;  // null: not served by this build, answered as unknown
};

static const pipe_command pipe_commands[] = {
    {"ping", pipe_cmd_ping},
    {"status", pipe_cmd_status},
    {"screens", pipe_cmd_screens},
    {"upload", nullptr},
    {"reload", pipe_cmd_reload},
    {"input", pipe_cmd_input},
    {"storage", pipe_cmd_storage},
    {"shot", pipe_cmd_shot},
    {"clip", nullptr},
    {"dump", pipe_cmd_dump},
    {"debug", pipe_cmd_debug},
};

pipe_handler pipe_dispatch_find(const char* cmd) {
    for (const pipe_command& c : pipe_commands)
        if (strcmp(cmd, c.word) == 0) return c.fn;
    return nullptr;
}

// ---------------------------------------------------------------- serving

long pipe_active_count(void) {
    return InterlockedCompareExchange(&g_active, 0, 0);
}

static void pipe_close(HANDLE pipe) {
    DisconnectNamedPipe(pipe);
    CloseHandle(pipe);
}

enum pipe_read_result { PIPE_READ_DONE, PIPE_READ_IDLE };

// Gathers the request into buf (NUL-terminated). A client that has not completed its
// request within the idle limit is given up on, so it cannot hold a worker for good.
static pipe_read_result pipe_read_request(HANDLE pipe, char buf[PIPE_BUFFER], size_t* got_out) {
    HANDLE ev = pipe_io_event();
    ULONGLONG start = GetTickCount64();
    size_t got = 0;
    pipe_read_result result = PIPE_READ_DONE;
    while (ev) {
        OVERLAPPED ov{};
        ov.hEvent = ev;
        DWORD n = 0;
        BOOL ok = ReadFile(pipe, buf + got, (DWORD)(PIPE_REQUEST_MAX - got), &n, &ov);
        if (!ok) {
            if (GetLastError() != ERROR_IO_PENDING) break;
            ULONGLONG elapsed = GetTickCount64() - start;
            DWORD left = elapsed >= PIPE_IDLE_LIMIT_MS ? 0 : (DWORD)(PIPE_IDLE_LIMIT_MS - elapsed);
            if (WaitForSingleObject(ev, left) == WAIT_OBJECT_0) {
                ok = GetOverlappedResult(pipe, &ov, &n, FALSE);
            } else {
                CancelIoEx(pipe, &ov);
                // The read may have completed just before the cancel; its bytes still count.
                ok = GetOverlappedResult(pipe, &ov, &n, TRUE);
                if (!ok && GetLastError() == ERROR_OPERATION_ABORTED) {
                    result = PIPE_READ_IDLE;
                    break;
                }
            }
            if (!ok) break;
        }
        if (n == 0) break;
        got += n;
        if (pipe_read_complete(buf, got)) break;
    }
    buf[got] = 0;
    *got_out = got;
    return result;
}

void pipe_serve(HANDLE pipe) {
    char buf[PIPE_BUFFER];
    size_t got = 0;
    if (pipe_read_request(pipe, buf, &got) == PIPE_READ_IDLE) {
        log_warn("pipe: no request within 10 s; closed");
    } else if (got > 0) {
        const char* cmd;
        const char* args;
        pipe_request_split(buf, &cmd, &args);
        bool quiet = pipe_request_quiet(cmd, args);
        pipe_reply_begin();
        ULONGLONG t0 = GetTickCount64();
        pipe_handler fn = pipe_dispatch_find(cmd);
        if (fn)
            fn(pipe, args);
        else
            pipe_reply_err(pipe, "usage", "unknown command");
        FlushFileBuffers(pipe);
        if (!quiet) {
            char summary[PIPE_SUMMARY_CAP];
            pipe_request_summary(cmd, args, summary);
            log_info("pipe: %s -> %s (%llu ms)", summary, t_reply_summary[0] ? t_reply_summary : "(no reply)",
                     (unsigned long long)(GetTickCount64() - t0));
        }
    }
    pipe_close(pipe);
    InterlockedDecrement(&g_active);
}

static void pipe_serve_job(void* arg) {
    pipe_serve((HANDLE)arg);
}

// ---------------------------------------------------------------- listener

// The pipe's security: full access for the current user and SYSTEM, nobody else.
struct pipe_security {
    SECURITY_ATTRIBUTES sa;
    SECURITY_DESCRIPTOR sd;
    alignas(8) BYTE user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    alignas(8) BYTE system[SECURITY_MAX_SID_SIZE];
    alignas(8) BYTE acl[512];
};

static bool pipe_security_init(pipe_security* s) {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    DWORD len = 0;
    BOOL ok = GetTokenInformation(token, TokenUser, s->user, sizeof s->user, &len);
    CloseHandle(token);
    if (!ok) return false;
    PSID user = ((TOKEN_USER*)s->user)->User.Sid;
    DWORD system_len = sizeof s->system;
    if (!CreateWellKnownSid(WinLocalSystemSid, nullptr, s->system, &system_len)) return false;
    ACL* acl = (ACL*)s->acl;
    if (!InitializeAcl(acl, sizeof s->acl, ACL_REVISION) ||
        !AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, user) ||
        !AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, (PSID)s->system))
        return false;
    if (!InitializeSecurityDescriptor(&s->sd, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&s->sd, TRUE, acl, FALSE) ||
        !SetSecurityDescriptorControl(&s->sd, SE_DACL_PROTECTED, SE_DACL_PROTECTED))
        return false;
    s->sa.nLength = sizeof s->sa;
    s->sa.lpSecurityDescriptor = &s->sd;
    s->sa.bInheritHandle = FALSE;
    return true;
}

// first: claim the name exclusively, so a process that already serves it is not joined.
static HANDLE pipe_instance_create(pipe_security* sec, bool first) {
    DWORD open = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
    DWORD mode = PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;
    HANDLE h = CreateNamedPipeW(PIPE_NAME, open, mode, PIPE_UNLIMITED_INSTANCES, PIPE_BUFFER, PIPE_BUFFER, 0,
                                &sec->sa);
    // Some systems (Wine) ignore the first-instance flag; an instance count above one
    // shows the name was already served, and the result is the same refusal.
    DWORD instances = 0;
    if (first && h != INVALID_HANDLE_VALUE &&
        GetNamedPipeHandleStateW(h, nullptr, &instances, nullptr, nullptr, nullptr, 0) && instances > 1) {
        CloseHandle(h);
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    return h;
}

enum pipe_connect_result { PIPE_CONNECT_FAILED, PIPE_CONNECT_OK, PIPE_CONNECT_WOKEN };

static pipe_connect_result pipe_connect_wait(HANDLE pipe, HANDLE ev) {
    OVERLAPPED ov{};
    ov.hEvent = ev;  // the call itself resets the event
    if (ConnectNamedPipe(pipe, &ov)) return PIPE_CONNECT_OK;
    DWORD err = GetLastError();
    if (err == ERROR_PIPE_CONNECTED) return PIPE_CONNECT_OK;
    if (err != ERROR_IO_PENDING) return PIPE_CONNECT_FAILED;
    HANDLE waits[2] = {ev, g_wake};
    DWORD n = 0;
    if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0)
        return GetOverlappedResult(pipe, &ov, &n, FALSE) ? PIPE_CONNECT_OK : PIPE_CONNECT_FAILED;
    CancelIoEx(pipe, &ov);
    GetOverlappedResult(pipe, &ov, &n, TRUE);
    return PIPE_CONNECT_WOKEN;
}

// Answers "busy" on the listener thread without reading the request.
static void pipe_refuse(HANDLE pipe, const char* reason) {
    char buf[PIPE_ERR_CAP];
    size_t n = pipe_err_format(buf, "busy", reason);
    pipe_write_raw(pipe, buf, n);
    FlushFileBuffers(pipe);
    pipe_close(pipe);
}

static DWORD WINAPI pipe_listener_main(void*) {
    log_thread_name(L"ivra-pipe-accept");
    static pipe_security sec;
    worker_pool* pool = g_agent.pipe;
    HANDLE ev = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    bool secured = false;
    DWORD last_error = 0;
    HANDLE cur = INVALID_HANDLE_VALUE;
    while (ev && !agent_quitting()) {
        if (cur == INVALID_HANDLE_VALUE) {
            if (!secured) secured = pipe_security_init(&sec);
            // With none of our instances alive the name is free to be taken: claim it
            // exclusively so a squatter's pipe is never joined.
            bool first = pipe_active_count() == 0;
            DWORD err = ERROR_INVALID_SECURITY_DESCR;
            if (secured) {
                cur = pipe_instance_create(&sec, first);
                if (cur == INVALID_HANDLE_VALUE) err = GetLastError();
            }
            if (cur == INVALID_HANDLE_VALUE) {
                log_error("CreateNamedPipeW failed %lu", err);
                if (first && err == ERROR_ACCESS_DENIED && last_error != err)
                    log_error("pipe: \\\\.\\pipe\\ivra is held by another process; retrying every second");
                last_error = err;
                WaitForSingleObject(g_wake, 1000);
                continue;
            }
            if (last_error) log_info("pipe: listening again");
            last_error = 0;
        }
        pipe_connect_result c = pipe_connect_wait(cur, ev);
        if (c == PIPE_CONNECT_WOKEN || agent_quitting()) break;
        HANDLE next = INVALID_HANDLE_VALUE;
        if (c == PIPE_CONNECT_FAILED) {
            // The next instance exists before this one goes, so the name never lapses.
            next = pipe_instance_create(&sec, false);
            CloseHandle(cur);
        } else {
            LONG before = InterlockedIncrement(&g_active) - 1;
            if (before >= PIPE_MAX_CONNECTIONS) {
                InterlockedDecrement(&g_active);
                next = pipe_instance_create(&sec, false);
                pipe_refuse(cur, "too many connections");
            } else if (!worker_pool_submit(pool, pipe_serve_job, cur)) {
                InterlockedDecrement(&g_active);
                next = pipe_instance_create(&sec, false);
                pipe_refuse(cur, "pipe queue full");
            } else {
                // The worker starts at once; the served instance keeps the name alive
                // while the next one is made, as it lives until its reply is read.
                next = pipe_instance_create(&sec, false);
            }
        }
        cur = next;
    }
    if (cur != INVALID_HANDLE_VALUE) CloseHandle(cur);
    if (ev) CloseHandle(ev);
    return 0;
}

bool pipe_listener_start(void) {
    if (g_listener) return false;
    g_wake = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!g_wake) return false;
    g_listener = CreateThread(nullptr, 0, pipe_listener_main, nullptr, 0, nullptr);
    if (!g_listener) {
        CloseHandle(g_wake);
        g_wake = nullptr;
        return false;
    }
    return true;
}

void pipe_listener_wake(void) {
    if (g_wake) SetEvent(g_wake);
}

bool pipe_listener_wait(DWORD ms) {
    if (!g_listener) return true;
    if (WaitForSingleObject(g_listener, ms) != WAIT_OBJECT_0) return false;
    CloseHandle(g_listener);
    g_listener = nullptr;
    CloseHandle(g_wake);
    g_wake = nullptr;
    return true;
}
