#include "agent/pipe/pipe_server.h"
#include "agent/pipe/pipe_io.h"
#include "agent/pipe/pipe_clip.h"
#include "agent/pipe/pipe_cmds.h"
#include "agent/pipe/pipe_upload.h"
#include "agent/capture/capture.h"
#include "agent/clips/encoder.h"
#include "agent/core/agent.h"
#include "agent/core/messages.h"
#include "agent/core/worker_pool.h"
#include "agent/maint/diag.h"
#include "common/log.h"
#include <climits>
#include <cstdio>
#include <cstring>

static volatile LONG g_active;  // connections accepted and not yet closed
static HANDLE g_listener;       // listener thread
static HANDLE g_wake;           // manual-reset; set to end the listener's waits

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

bool pipe_request_quiet(const char* cmd, const char* args) {
    static const char* const always[] = {"ping", "status", "screens", "input", "storage"};
    for (const char* w : always)
        if (strcmp(cmd, w) == 0) return true;
    if (strcmp(cmd, "clip") == 0) return strstr(args, "op=status") || strstr(args, "op=ui");
    if (strcmp(cmd, "upload") == 0) return strstr(args, "op=status") != nullptr;
    return false;
}

bool pipe_debug_hooks_on(DWORD len, const wchar_t* value) { return len > 0 && len <= 7 && value && value[0] == L'1'; }

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

// ---------------------------------------------------------------- commands of the dispatcher

static void pipe_cmd_ping(HANDLE pipe, const char*) { pipe_reply_write(pipe, "ok\n"); }

static volatile LONG g_dumping;  // 1 while an on-demand dump is being waited for

// How long a dump request waits for its file; dumps take up to a minute under Wine.
static const ULONGLONG PIPE_DUMP_WAIT_MS = 120000;

// The dump is written on a thread of its own; this worker only waits for it, in slices,
// so a stopping agent is not held up by it and every other request is answered meanwhile.
static void pipe_cmd_dump(HANDLE pipe, const char*) {
    if (InterlockedCompareExchange(&g_dumping, 1, 0) != 0) {
        pipe_reply_err(pipe, "busy", "a dump is being written");
        return;
    }
    diag_dump_request* req = diag_dump_begin("ondemand");
    bool ended = false, ok = false;
    wchar_t path[260];
    ULONGLONG end = GetTickCount64() + PIPE_DUMP_WAIT_MS;
    while (req && !(ended = diag_dump_wait(req, 250, &ok, path)) && !agent_quitting() && GetTickCount64() < end) {}
    diag_dump_release(req);
    InterlockedExchange(&g_dumping, 0);
    if (req && !ended) {
        pipe_reply_err(pipe, "timeout", "the minidump is still being written");
        return;
    }
    if (!ok) {
        pipe_reply_err(pipe, "dump_failed", "could not write a minidump");
        return;
    }
    char utf8[780];
    if (WideCharToMultiByte(CP_UTF8, 0, path, -1, utf8, sizeof utf8, nullptr, nullptr) <= 0) utf8[0] = 0;
    char reply[800];
    snprintf(reply, sizeof reply, "ok\tpath=%s\n", utf8);
    pipe_reply_write(pipe, reply);
}

// A debug op's count: its leading digits (saturating), 1 when it has none.
static unsigned pipe_debug_count(const char* text) {
    const char* p = text ? text : "";
    if (*p < '0' || *p > '9') return 1;
    unsigned long long v = 0;
    for (; *p >= '0' && *p <= '9'; p++)
        if ((v = v * 10 + (unsigned)(*p - '0')) > 0x7fffffffu) v = 0x7fffffffu;
    return (unsigned)v;
}

static void pipe_cmd_debug(HANDLE pipe, const char* args) {
    wchar_t value[8] = L"";
    DWORD len = GetEnvironmentVariableW(L"IVRA_DEBUG_HOOKS", value, 8);
    if (!pipe_debug_hooks_on(len, value)) {
        pipe_reply_err(pipe, "disabled", "start the agent with IVRA_DEBUG_HOOKS=1");
        return;
    }
    const char* op = pipe_field_get(args, "op");
    if (strcmp(op, "display_change") == 0) {
        // The capture thread rebuilds its display cache as after a real display change.
        DWORD tid = g_agent.capture_thread_id;
        if (!tid || !PostThreadMessageW(tid, WM_CAPTURE_DISPLAY_TEST, 0, 0)) {
            pipe_reply_err(pipe, "internal", "capture thread gone");
            return;
        }
        pipe_reply_write(pipe, "ok\n");
        return;
    }
    if (strcmp(op, "access_lost") == 0 || strcmp(op, "convert_fail") == 0 || strcmp(op, "encode_fail") == 0) {
        // The next `count` acquisitions, CPU conversions or frame sends fail (0 ends it).
        const char kind = op[0];  // op lives in the field buffer the next lookup reuses
        const unsigned n = pipe_debug_count(pipe_field_get(args, "count"));
        const bool armed = kind == 'a' ? capture_debug_lose_access(n) : encoder_debug_fail(kind == 'c', n);
        if (!armed) {
            pipe_reply_err(pipe, "disabled", "start the agent with IVRA_DEBUG_HOOKS=1");
            return;
        }
        pipe_reply_write(pipe, "ok\n");
        return;
    }
    if (strcmp(op, "hang_capture") == 0) {
        // The capture thread stalls as if a capture took that long, for the hang watchdog.
        uint32_t ms = pipe_debug_ms(pipe_field_get(args, "ms"));
        DWORD tid = g_agent.capture_thread_id;
        if (!tid || !PostThreadMessageW(tid, WM_CAPTURE_DEBUG_STALL, (WPARAM)ms, 0)) {
            pipe_reply_err(pipe, "internal", "capture thread gone");
            return;
        }
        pipe_reply_write(pipe, "ok\n");
        return;
    }
    if (strcmp(op, "crash") == 0 || strcmp(op, "badparam") == 0) {
        // Nothing is replied: the agent ends on this worker once its report is written.
        log_warn("debug: %s on this thread", op[0] == 'c' ? "access violation" : "invalid C runtime parameter");
        if (op[0] == 'c')
            diag_debug_crash();
        else
            diag_debug_bad_parameter();
        pipe_reply_err(pipe, "unsupported", "no runtime library here reports invalid parameters");
        return;
    }
    if (strcmp(op, "hang_main") != 0) {
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
    {"ping", pipe_cmd_ping},       {"status", pipe_cmd_status}, {"screens", pipe_cmd_screens},
    {"upload", pipe_cmd_upload},   {"reload", pipe_cmd_reload}, {"input", pipe_cmd_input},
    {"storage", pipe_cmd_storage}, {"shot", pipe_cmd_shot},     {"clip", pipe_cmd_clip},
    {"dump", pipe_cmd_dump},       {"debug", pipe_cmd_debug},
};

pipe_handler pipe_dispatch_find(const char* cmd) {
    for (const pipe_command& c : pipe_commands)
        if (strcmp(cmd, c.word) == 0) return c.fn;
    return nullptr;
}

// ---------------------------------------------------------------- serving

long pipe_active_count(void) { return InterlockedCompareExchange(&g_active, 0, 0); }

static void pipe_close(HANDLE pipe) {
    DisconnectNamedPipe(pipe);
    CloseHandle(pipe);
}

// A connection from its acceptance until its request is complete: the listener
// gathers the request with overlapped reads, then a worker serves it.
struct pipe_conn {
    OVERLAPPED ov;  // the listener's read; first, so a completion finds its record
    HANDLE pipe;
    pipe_conn* next;     // the listener's list of connections still reading
    ULONGLONG deadline;  // the request must be complete by then
    bool cancelled;      // the deadline passed or the listener stops
    size_t got;
    char buf[PIPE_BUFFER];
};

static void pipe_conn_free(pipe_conn* c) { HeapFree(GetProcessHeap(), 0, c); }

// Serves one complete request (NUL-terminated in buf): dispatch, a flush bounded by the
// write limit, the log line, then disconnect, close and uncount.
static void pipe_serve_request(HANDLE pipe, char* buf) {
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
    bool stalled = pipe_reply_timed_out() || pipe_flush_bounded(pipe, PIPE_WRITE_LIMIT_MS) == PIPE_IO_TIMED_OUT;
    if (stalled) log_warn("pipe: reply not read within 5 s; disconnected");
    if (!quiet) {
        char summary[PIPE_SUMMARY_CAP];
        pipe_request_summary(cmd, args, summary);
        log_info("pipe: %s -> %s (%llu ms)", summary, pipe_reply_summary()[0] ? pipe_reply_summary() : "(no reply)",
                 (unsigned long long)(GetTickCount64() - t0));
    }
    pipe_close(pipe);
    InterlockedDecrement(&g_active);
}

static void pipe_serve_job(void* arg) {
    pipe_conn* c = (pipe_conn*)arg;
    pipe_serve_request(c->pipe, c->buf);
    pipe_conn_free(c);
}

// ---------------------------------------------------------------- refusals

static volatile LONG g_refusing;  // refused instances whose reply is still being delivered

static DWORD WINAPI pipe_refuse_work(void* arg) {
    HANDLE pipe = (HANDLE)arg;
    pipe_flush_bounded(pipe, PIPE_WRITE_LIMIT_MS);
    pipe_close(pipe);
    InterlockedDecrement(&g_refusing);
    return 0;
}

// Answers "busy" without waiting for the client: the reply goes into the empty
// instance buffer, and waiting for it to be read happens off the listener thread.
static void pipe_refuse(HANDLE pipe, const char* reason) {
    char buf[PIPE_ERR_CAP];
    size_t n = pipe_err_format(buf, "busy", reason);
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD put = 0;
    bool written = false;
    if (ov.hEvent) {
        if (WriteFile(pipe, buf, (DWORD)n, &put, &ov)) {
            written = true;
        } else if (GetLastError() == ERROR_IO_PENDING) {
            CancelIoEx(pipe, &ov);
            written = GetOverlappedResult(pipe, &ov, &put, TRUE) != FALSE;
        }
        CloseHandle(ov.hEvent);
    }
    if (!written) {
        pipe_close(pipe);
        return;
    }
    // A flood of refused clients that never read is cut off rather than queued.
    if (InterlockedIncrement(&g_refusing) <= PIPE_REFUSING_MAX &&
        QueueUserWorkItem(pipe_refuse_work, pipe, WT_EXECUTELONGFUNCTION))
        return;
    InterlockedDecrement(&g_refusing);
    pipe_close(pipe);
}

// ---------------------------------------------------------------- gathering requests

// The listener's own state: only the listener thread (and the completion routines,
// which run on it) touches these.
static pipe_conn* g_reading;  // connections whose request is not complete yet
static worker_pool* g_serve_pool;

static void pipe_reading_unlink(pipe_conn* c) {
    for (pipe_conn** p = &g_reading; *p; p = &(*p)->next) {
        if (*p == c) {
            *p = c->next;
            return;
        }
    }
}

static void pipe_conn_drop(pipe_conn* c) {
    pipe_reading_unlink(c);
    pipe_close(c->pipe);
    InterlockedDecrement(&g_active);
    pipe_conn_free(c);
}

static void pipe_conn_dispatch(pipe_conn* c) {
    pipe_reading_unlink(c);
    c->buf[c->got] = 0;
    if (worker_pool_submit(g_serve_pool, pipe_serve_job, c)) return;
    InterlockedDecrement(&g_active);
    pipe_refuse(c->pipe, "pipe queue full");
    pipe_conn_free(c);
}

static void pipe_conn_read(pipe_conn* c);

static void CALLBACK pipe_read_done(DWORD err, DWORD n, OVERLAPPED* ov) {
    pipe_conn* c = (pipe_conn*)ov;
    if (err == 0 && n > 0) {
        c->got += n;
        if (pipe_read_complete(c->buf, c->got)) {
            pipe_conn_dispatch(c);
            return;
        }
        if (!c->cancelled) {
            pipe_conn_read(c);
            return;
        }
    }
    if (c->cancelled) {
        if (!agent_quitting()) log_warn("pipe: no request within 10 s; closed");
        pipe_conn_drop(c);
    } else if (c->got > 0) {
        pipe_conn_dispatch(c);  // the client wrote and closed without a line feed
    } else {
        pipe_conn_drop(c);  // opened and closed without a word
    }
}

static void pipe_conn_read(pipe_conn* c) {
    memset(&c->ov, 0, sizeof c->ov);
    if (ReadFileEx(c->pipe, c->buf + c->got, (DWORD)(PIPE_REQUEST_MAX - c->got), &c->ov, pipe_read_done)) return;
    pipe_read_done(GetLastError(), 0, &c->ov);
}

// Takes a connected instance: counts it and starts gathering its request, or refuses it.
static void pipe_accept(HANDLE pipe) {
    LONG before = InterlockedIncrement(&g_active) - 1;
    if (before >= PIPE_MAX_CONNECTIONS) {
        InterlockedDecrement(&g_active);
        pipe_refuse(pipe, "too many connections");
        return;
    }
    pipe_conn* c = (pipe_conn*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(pipe_conn));
    if (!c) {
        InterlockedDecrement(&g_active);
        pipe_close(pipe);
        return;
    }
    c->pipe = pipe;
    c->deadline = GetTickCount64() + PIPE_IDLE_LIMIT_MS;
    c->next = g_reading;
    g_reading = c;
    pipe_conn_read(c);
}

// Cancels the reads that passed their deadline; returns the wait until the next one.
static DWORD pipe_reading_expire(void) {
    ULONGLONG now = GetTickCount64();
    ULONGLONG next = 0;
    for (pipe_conn* c = g_reading; c; c = c->next) {
        if (c->cancelled) continue;
        if (now >= c->deadline) {
            c->cancelled = true;
            CancelIoEx(c->pipe, &c->ov);
        } else if (!next || c->deadline < next) {
            next = c->deadline;
        }
    }
    return next ? (DWORD)(next - now) : INFINITE;
}

// At stop: cancels every read and lets the completions close their connections.
static void pipe_reading_stop(void) {
    for (pipe_conn* c = g_reading; c; c = c->next) {
        c->cancelled = true;
        CancelIoEx(c->pipe, &c->ov);
    }
    ULONGLONG end = GetTickCount64() + 2000;
    while (g_reading && GetTickCount64() < end) SleepEx(50, TRUE);
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
    HANDLE h = CreateNamedPipeW(PIPE_NAME, open, mode, PIPE_UNLIMITED_INSTANCES, PIPE_BUFFER, PIPE_BUFFER, 0, &sec->sa);
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

static DWORD WINAPI pipe_listener_main(void*) {
    log_thread_name(L"ivra-pipe-accept");
    static pipe_security sec;
    g_serve_pool = g_agent.pipe;
    HANDLE ev = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    bool secured = false;
    DWORD last_error = 0;
    HANDLE cur = INVALID_HANDLE_VALUE;
    OVERLAPPED connect_ov{};
    bool connecting = false;
    while (ev && !agent_quitting()) {
        if (cur == INVALID_HANDLE_VALUE) {
            if (!secured) secured = pipe_security_init(&sec);
            // With none of our instances alive the name is free to be taken: claim it
            // exclusively so a squatter's pipe is never joined.
            bool first = pipe_active_count() == 0 && InterlockedCompareExchange(&g_refusing, 0, 0) == 0;
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
                ULONGLONG retry = GetTickCount64() + 1000;
                for (ULONGLONG now = GetTickCount64(); now < retry && !agent_quitting(); now = GetTickCount64()) {
                    DWORD wait = pipe_reading_expire();
                    if (wait > retry - now) wait = (DWORD)(retry - now);
                    WaitForSingleObjectEx(g_wake, wait, TRUE);
                }
                continue;
            }
            if (last_error) log_info("pipe: listening again");
            last_error = 0;
        }
        bool connected = false;
        if (!connecting) {
            memset(&connect_ov, 0, sizeof connect_ov);
            connect_ov.hEvent = ev;  // the call itself resets the event
            if (ConnectNamedPipe(cur, &connect_ov)) {
                connected = true;
            } else {
                DWORD err = GetLastError();
                connected = err == ERROR_PIPE_CONNECTED;
                connecting = err == ERROR_IO_PENDING;
            }
        }
        if (connecting) {
            // Alertable, so the reads' completions run here between connections.
            HANDLE waits[2] = {ev, g_wake};
            DWORD w = WaitForMultipleObjectsEx(2, waits, FALSE, pipe_reading_expire(), TRUE);
            if (w == WAIT_OBJECT_0 + 1 || agent_quitting()) break;
            if (w != WAIT_OBJECT_0) continue;
            connecting = false;
            DWORD n = 0;
            connected = GetOverlappedResult(cur, &connect_ov, &n, FALSE) != FALSE;
        }
        if (agent_quitting()) break;
        // The next instance exists before this one is handed on, so the name never lapses.
        HANDLE next = pipe_instance_create(&sec, false);
        if (connected)
            pipe_accept(cur);
        else
            CloseHandle(cur);
        cur = next;
    }
    if (cur != INVALID_HANDLE_VALUE) {
        if (connecting) {
            CancelIoEx(cur, &connect_ov);
            DWORD n = 0;
            GetOverlappedResult(cur, &connect_ov, &n, TRUE);
        }
        CloseHandle(cur);
    }
    pipe_reading_stop();
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
