#include "agent/maint/diag.h"
#include "agent/core/agent.h"
#include "common/config.h"
#include "common/log.h"
#include <dbghelp.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

// dbghelp is single-threaded: every use of it in the process goes through this lock.
static SRWLOCK g_dbghelp_lock = SRWLOCK_INIT;
// Thread holding the lock: a crash inside a stack walk or dump must not wait for itself.
static volatile LONG g_dbghelp_owner;
static bool g_symbols_tried;
static bool g_symbols_ok;
// The thread handling a crash or invalid parameter; 0 while none is.
static volatile LONG g_crash_tid;

static void diag_lock(void) {
    AcquireSRWLockExclusive(&g_dbghelp_lock);
    InterlockedExchange(&g_dbghelp_owner, (LONG)GetCurrentThreadId());
}

static void diag_unlock(void) {
    InterlockedExchange(&g_dbghelp_owner, 0);
    ReleaseSRWLockExclusive(&g_dbghelp_lock);
}

static bool diag_lock_is_mine(void) {
    return InterlockedCompareExchange(&g_dbghelp_owner, 0, 0) == (LONG)GetCurrentThreadId();
}

static const MINIDUMP_TYPE DIAG_DUMP_TYPE =
    (MINIDUMP_TYPE)(MiniDumpWithDataSegs | MiniDumpWithHandleData | MiniDumpWithUnloadedModules |
                    MiniDumpWithIndirectlyReferencedMemory | MiniDumpWithThreadInfo);
static_assert((int)DIAG_DUMP_TYPE == 0x1065, "dump type");

bool diag_dump_name(const wchar_t* folder, const SYSTEMTIME* t, const char* tag, int counter, wchar_t out[260]) {
    if (!folder || !t || !tag || counter < 1 || counter > DIAG_NAME_CANDIDATES) return false;
    wchar_t buf[260];
    wchar_t suffix[16] = L"";
    if (counter > 1) _snwprintf(suffix, 16, L"_%d", counter);
    int n = _snwprintf(buf, 260, L"%ls\\ivrad_%04d%02d%02d_%02d%02d%02d_%hs%ls.dmp", folder, t->wYear, t->wMonth,
                       t->wDay, t->wHour, t->wMinute, t->wSecond, tag, suffix);
    if (n < 0 || n >= 260) return false;
    wmemcpy(out, buf, (size_t)n + 1);
    return true;
}

int diag_oldest(const FILETIME* times, int count) {
    int best = -1;
    for (int i = 0; i < count; i++) {
        if (best < 0 || CompareFileTime(&times[i], &times[best]) < 0) best = i;
    }
    return best;
}

int diag_prune_dumps(const wchar_t* folder, int keep, const wchar_t* spare) {
    wchar_t pattern[270];
    int pn = _snwprintf(pattern, 270, L"%ls\\*.dmp", folder);
    if (pn < 0 || pn >= 270) return 0;
    int deleted = 0;
    for (;;) {
        // One pass finds the count and the oldest candidate; a pass per deletion is
        // cheap because the folder holds seven files at most in normal use.
        int count = 0;
        wchar_t oldest[MAX_PATH] = L"";
        FILETIME oldest_time{};
        WIN32_FIND_DATAW fd;
        HANDLE f = FindFirstFileW(pattern, &fd);
        if (f == INVALID_HANDLE_VALUE) return deleted;
        do {
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
            count++;
            if (spare && _wcsicmp(fd.cFileName, spare) == 0) continue;
            FILETIME pair[2] = {oldest_time, fd.ftLastWriteTime};
            if (!oldest[0] || diag_oldest(pair, 2) == 1) {
                wcsncpy(oldest, fd.cFileName, MAX_PATH - 1);
                oldest[MAX_PATH - 1] = 0;
                oldest_time = fd.ftLastWriteTime;
            }
        } while (FindNextFileW(f, &fd));
        FindClose(f);
        if (count <= keep || !oldest[0]) return deleted;
        wchar_t path[MAX_PATH + 270];
        int n = _snwprintf(path, MAX_PATH + 270, L"%ls\\%ls", folder, oldest);
        if (n < 0 || n >= MAX_PATH + 270) return deleted;
        if (!DeleteFileW(path)) return deleted;
        deleted++;
    }
}

bool write_minidump(const char* tag, EXCEPTION_POINTERS* pointers, wchar_t out_path[260]) {
    wchar_t base[260], folder[260], path[260];
    app_data_dir(base);
    int fn = _snwprintf(folder, 260, L"%ls\\dumps", base);
    if (fn < 0 || fn >= 260) return false;
    CreateDirectoryW(base, nullptr);
    CreateDirectoryW(folder, nullptr);
    SYSTEMTIME now;
    GetLocalTime(&now);

    // The whole write, prune included, runs under the lock so dumps never interleave.
    diag_lock();
    bool ok = false;
    DWORD error = ERROR_GEN_FAILURE;
    // Names have one-second resolution: a taken name moves on to the next counter
    // instead of overwriting an earlier dump of the same second.
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int counter = 1; file == INVALID_HANDLE_VALUE && counter <= DIAG_NAME_CANDIDATES; counter++) {
        if (!diag_dump_name(folder, &now, tag, counter, path)) break;
        file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE && (error = GetLastError()) != ERROR_FILE_EXISTS) break;
    }
    if (file != INVALID_HANDLE_VALUE) {
        MINIDUMP_EXCEPTION_INFORMATION info{};
        info.ThreadId = GetCurrentThreadId();
        info.ExceptionPointers = pointers;
        info.ClientPointers = FALSE;
        ok = MiniDumpWriteDump(GetCurrentProcess(), GetCurrentProcessId(), file, DIAG_DUMP_TYPE,
                               pointers ? &info : nullptr, nullptr, nullptr) != FALSE;
        if (!ok) error = GetLastError();
        CloseHandle(file);
        if (!ok) DeleteFileW(path);
    }
    diag_prune_dumps(folder, DIAG_DUMPS_KEPT, ok ? wcsrchr(path, L'\\') + 1 : nullptr);
    diag_unlock();
    if (ok) wcscpy(out_path, path);
    // The hang report names the system error of a failed write.
    else
        SetLastError(error);
    return ok;
}

// ---------------------------------------------------------------- thread and stack lines

size_t diag_frame_text(char out[DIAG_FRAME_TEXT], const char* module, const char* symbol,
                       unsigned long long displacement, const char* file, unsigned long line,
                       unsigned long long module_offset) {
    const char* mod = module && module[0] ? module : "?";
    int n;
    if (symbol && symbol[0] && file && file[0]) {
        const char* leaf = file;
        for (const char* p = file; *p; p++)
            if (*p == '\\' || *p == '/') leaf = p + 1;
        n = snprintf(out, DIAG_FRAME_TEXT, "%s!%s+0x%llx (%s:%lu)", mod, symbol, displacement, leaf, line);
    } else if (symbol && symbol[0]) {
        n = snprintf(out, DIAG_FRAME_TEXT, "%s!%s+0x%llx", mod, symbol, displacement);
    } else {
        n = snprintf(out, DIAG_FRAME_TEXT, "%s+0x%llx", mod, module_offset);
    }
    if (n < 0) {
        out[0] = 0;
        return 0;
    }
    return (size_t)n < DIAG_FRAME_TEXT ? (size_t)n : DIAG_FRAME_TEXT - 1;
}

typedef HRESULT(WINAPI* diag_get_description_fn)(HANDLE, PWSTR*);

void log_thread(void) {
    static diag_get_description_fn get =
        (diag_get_description_fn)GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetThreadDescription");
    DWORD tid = GetCurrentThreadId();
    PWSTR text = nullptr;
    if (!get || FAILED(get(GetCurrentThread(), &text)) || !text) {
        log_error("  thread: tid=%lu", tid);
        return;
    }
    log_error("  thread: %ls tid=%lu", text[0] ? text : L"?", tid);
    LocalFree(text);
}

// Under the dbghelp lock. Loads symbols for every module with the agent's folder as search path.
static void diag_symbols_init(void) {
    if (g_symbols_tried) return;
    g_symbols_tried = true;
    wchar_t dir[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, dir, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) dir[0] = 0;
    wchar_t* slash = wcsrchr(dir, L'\\');
    if (slash) *slash = 0;
    SymSetOptions(SYMOPT_UNDNAME | SYMOPT_DEFERRED_LOADS | SYMOPT_LOAD_LINES | SYMOPT_FAIL_CRITICAL_ERRORS);
    g_symbols_ok = SymInitializeW(GetCurrentProcess(), dir[0] ? dir : nullptr, TRUE) != FALSE;
}

static void diag_module_of(DWORD64 addr, char name[64], DWORD64* base) {
    name[0] = 0;
    *base = 0;
    if (g_symbols_ok) {
        IMAGEHLP_MODULE64 mod{};
        mod.SizeOfStruct = sizeof mod;
        if (SymGetModuleInfo64(GetCurrentProcess(), addr, &mod)) {
            snprintf(name, 64, "%s", mod.ModuleName);
            *base = mod.BaseOfImage;
            return;
        }
    }
    HMODULE m = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            (LPCWSTR)(uintptr_t)addr, &m))
        return;
    *base = (DWORD64)(uintptr_t)m;
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(m, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return;
    const char* leaf = strrchr(path, '\\');
    leaf = leaf ? leaf + 1 : path;
    snprintf(name, 64, "%s", leaf);
    char* dot = strrchr(name, '.');
    if (dot) *dot = 0;
}

static void diag_log_frame(const char* tag, int index, DWORD64 addr) {
    char module[64];
    DWORD64 base = 0;
    diag_module_of(addr, module, &base);
    char symbol[256] = "";
    DWORD64 displacement = 0;
    char file[MAX_PATH] = "";
    DWORD line_no = 0;
    if (g_symbols_ok) {
        alignas(SYMBOL_INFO) char buf[sizeof(SYMBOL_INFO) + 256];
        SYMBOL_INFO* sym = (SYMBOL_INFO*)buf;
        memset(buf, 0, sizeof buf);
        sym->SizeOfStruct = sizeof(SYMBOL_INFO);
        sym->MaxNameLen = 255;
        if (SymFromAddr(GetCurrentProcess(), addr, &displacement, sym))
            snprintf(symbol, sizeof symbol, "%s", sym->Name);
        IMAGEHLP_LINE64 line{};
        line.SizeOfStruct = sizeof line;
        DWORD line_disp = 0;
        if (symbol[0] && SymGetLineFromAddr64(GetCurrentProcess(), addr, &line_disp, &line) && line.FileName) {
            snprintf(file, sizeof file, "%s", line.FileName);
            line_no = line.LineNumber;
        }
    }
    char text[DIAG_FRAME_TEXT];
    diag_frame_text(text, module, symbol, displacement, file, line_no, addr - base);
    log_error("  %s #%02d %s", tag, index, text);
}

void log_stack(const char* tag, HANDLE thread, const CONTEXT* context) {
    if (!context || diag_lock_is_mine()) return;
    diag_lock();
    diag_symbols_init();
    CONTEXT ctx = *context;  // the walk changes it
    STACKFRAME64 frame{};
    frame.AddrPC.Offset = ctx.Rip;
    frame.AddrPC.Mode = AddrModeFlat;
    frame.AddrFrame.Offset = ctx.Rbp;
    frame.AddrFrame.Mode = AddrModeFlat;
    frame.AddrStack.Offset = ctx.Rsp;
    frame.AddrStack.Mode = AddrModeFlat;
    for (int i = 0; i < DIAG_STACK_FRAMES; i++) {
        if (!StackWalk64(IMAGE_FILE_MACHINE_AMD64, GetCurrentProcess(), thread, &frame, &ctx, nullptr,
                         SymFunctionTableAccess64, SymGetModuleBase64, nullptr))
            break;
        if (frame.AddrPC.Offset == 0) break;
        diag_log_frame(tag, i, frame.AddrPC.Offset);
    }
    diag_unlock();
}

// ---------------------------------------------------------------- dumps off the asking thread

enum diag_job_kind { DIAG_JOB_DUMP, DIAG_JOB_HANG };

struct diag_dump_request {
    CONTEXT context;  // first: the heap block's alignment suits it
    volatile LONG refs;
    HANDLE done;  // manual-reset, set when the job has ended
    diag_job_kind kind;
    char tag[16];
    char name[32];
    bool has_context;
    bool dump;
    HANDLE thread;  // duplicated, closed by the job
    bool ok;
    wchar_t path[260];
};

void diag_dump_release(diag_dump_request* req) {
    if (!req || InterlockedDecrement(&req->refs) != 0) return;
    if (req->done) CloseHandle(req->done);
    if (req->thread) CloseHandle(req->thread);
    HeapFree(GetProcessHeap(), 0, req);
}

static void diag_job_run(diag_dump_request* req) {
    if (req->kind == DIAG_JOB_HANG) {
        if (req->has_context) log_stack(req->name, req->thread, &req->context);
        if (req->dump) {
            wchar_t path[260];
            if (write_minidump("hang", nullptr, path))
                log_error("HANG: minidump written: %ls", path);
            else
                log_error("HANG: minidump failed (%lu)", GetLastError());
        }
        return;
    }
    wchar_t path[260];
    req->ok = write_minidump(req->tag, nullptr, path);
    DWORD error = GetLastError();
    if (req->ok) {
        wcscpy(req->path, path);
        log_info("dump: %s minidump written: %ls", req->tag, path);
    } else {
        log_warn("dump: %s minidump failed (%lu)", req->tag, error);
    }
}

static DWORD WINAPI diag_job_thread(void* arg) {
    diag_dump_request* req = (diag_dump_request*)arg;
    log_thread_name(L"ivra-diag");
    diag_job_run(req);
    SetEvent(req->done);
    diag_dump_release(req);
    return 0;
}

static diag_dump_request* diag_job_new(diag_job_kind kind, const char* tag) {
    diag_dump_request* req =
        (diag_dump_request*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(diag_dump_request));
    if (!req) return nullptr;
    req->refs = 1;
    req->kind = kind;
    snprintf(req->tag, sizeof req->tag, "%s", tag);
    req->done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!req->done) {
        diag_dump_release(req);
        return nullptr;
    }
    return req;
}

// Hands req to a new thread, which takes one reference. False when no thread could start.
static bool diag_job_spawn(diag_dump_request* req) {
    InterlockedIncrement(&req->refs);
    HANDLE t = CreateThread(nullptr, 0, diag_job_thread, req, 0, nullptr);
    if (!t) {
        InterlockedDecrement(&req->refs);
        return false;
    }
    CloseHandle(t);
    return true;
}

diag_dump_request* diag_dump_begin(const char* tag) {
    diag_dump_request* req = diag_job_new(DIAG_JOB_DUMP, tag ? tag : "ondemand");
    if (req && !diag_job_spawn(req)) {
        diag_dump_release(req);
        return nullptr;
    }
    return req;
}

bool diag_dump_wait(diag_dump_request* req, unsigned long ms, bool* ok, wchar_t out_path[260]) {
    if (!req || WaitForSingleObject(req->done, ms) != WAIT_OBJECT_0) return false;
    *ok = req->ok;
    if (req->ok) wcscpy(out_path, req->path);
    return true;
}

void diag_hang_report(const char* name, HANDLE thread, const CONTEXT* context, bool dump) {
    diag_dump_request* req = diag_job_new(DIAG_JOB_HANG, "hang");
    if (!req) return;
    snprintf(req->name, sizeof req->name, "%s", name ? name : "?");
    req->dump = dump;
    if (context) {
        req->context = *context;
        req->has_context = true;
    }
    if (thread && !DuplicateHandle(GetCurrentProcess(), thread, GetCurrentProcess(), &req->thread, 0, FALSE,
                                   DUPLICATE_SAME_ACCESS))
        req->thread = nullptr;
    // Without a thread of its own the report is still made, on the caller's.
    if (!diag_job_spawn(req)) diag_job_run(req);
    diag_dump_release(req);
}

// ---------------------------------------------------------------- crash hooks

static void* diag_module_base(void) { return (void*)GetModuleHandleW(nullptr); }

// True for the first thread to report a fatal error. A fault inside the handler itself
// returns false at once; another thread's fault waits so the first report is not cut short.
static bool diag_crash_enter(void) {
    LONG me = (LONG)GetCurrentThreadId();
    LONG prev = InterlockedCompareExchange(&g_crash_tid, me, 0);
    if (prev == 0) return true;
    if (prev != me) Sleep(INFINITE);
    return false;
}

bool diag_crashing(void) { return InterlockedCompareExchange(&g_crash_tid, 0, 0) != 0; }

static LONG WINAPI diag_crash_filter(EXCEPTION_POINTERS* ep) {
    if (!diag_crash_enter()) return EXCEPTION_CONTINUE_SEARCH;
    const EXCEPTION_RECORD* rec = ep ? ep->ExceptionRecord : nullptr;
    unsigned long long code2 = rec && rec->NumberParameters >= 2 ? (unsigned long long)rec->ExceptionInformation[1] : 0;
    log_error("FATAL exception 0x%08lx at %p (base %p) tid=%lu code2=0x%llx", rec ? rec->ExceptionCode : 0UL,
              rec ? rec->ExceptionAddress : nullptr, diag_module_base(), GetCurrentThreadId(), code2);
    log_thread();
    if (ep && ep->ContextRecord) {
        CONTEXT copy = *ep->ContextRecord;
        log_stack("crash", GetCurrentThread(), &copy);
    }
    wchar_t path[260];
    if (!diag_lock_is_mine() && write_minidump("crash", ep, path)) log_error("crash minidump written: %ls", path);
    agent_cursor_repair(false);
    return EXCEPTION_CONTINUE_SEARCH;
}

typedef USHORT(WINAPI* diag_backtrace_fn)(ULONG, ULONG, PVOID*, PULONG);

static void diag_invalid_parameter(const wchar_t*, const wchar_t* func, const wchar_t* file, unsigned int line,
                                   uintptr_t) {
    if (!diag_crash_enter()) TerminateProcess(GetCurrentProcess(), STATUS_INVALID_CRUNTIME_PARAMETER);
    void* base = diag_module_base();
    log_error("invalid CRT parameter: func=%ls file=%ls:%u tid=%lu base=%p", func ? func : L"?", file ? file : L"?",
              line, GetCurrentThreadId(), base);
    log_thread();
    diag_backtrace_fn backtrace =
        (diag_backtrace_fn)GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlCaptureStackBackTrace");
    if (backtrace) {
        void* frames[DIAG_STACK_FRAMES];
        USHORT n = backtrace(0, DIAG_STACK_FRAMES, frames, nullptr);
        for (USHORT i = 0; i < n; i++)
            log_error("  bt[%u] +0x%llx (%p)", (unsigned)i,
                      (unsigned long long)((uintptr_t)frames[i] - (uintptr_t)base), frames[i]);
    }
    CONTEXT ctx{};
    RtlCaptureContext(&ctx);
    EXCEPTION_RECORD rec{};
    rec.ExceptionCode = STATUS_INVALID_CRUNTIME_PARAMETER;
    rec.ExceptionAddress = (void*)(uintptr_t)ctx.Rip;
    EXCEPTION_POINTERS ep{&rec, &ctx};
    log_stack("crash", GetCurrentThread(), &ctx);
    wchar_t path[260];
    if (!diag_lock_is_mine() && write_minidump("badparam", &ep, path)) log_error("crash minidump written: %ls", path);
    agent_cursor_repair(false);
    TerminateProcess(GetCurrentProcess(), STATUS_INVALID_CRUNTIME_PARAMETER);
}

typedef _invalid_parameter_handler(__cdecl* diag_set_handler_fn)(_invalid_parameter_handler);

// The universal runtime keeps a handler of its own, which the linked runtime's setter does not reach.
static bool diag_hook_runtime(HMODULE runtime) {
    diag_set_handler_fn set =
        runtime ? (diag_set_handler_fn)GetProcAddress(runtime, "_set_invalid_parameter_handler") : nullptr;
    if (!set) return false;
    set(diag_invalid_parameter);
    return true;
}

void diag_install_crash_handlers(void) {
    SetUnhandledExceptionFilter(diag_crash_filter);
    _set_invalid_parameter_handler(diag_invalid_parameter);
    diag_hook_runtime(GetModuleHandleW(L"ucrtbase.dll"));
}

void diag_debug_crash(void) {
    // A reserved page is never readable, on every system; page zero is not everywhere.
    volatile int* nowhere = (volatile int*)VirtualAlloc(nullptr, 4096, MEM_RESERVE, PAGE_NOACCESS);
    if (!nowhere) nowhere = (volatile int*)(uintptr_t)0x10;
    *nowhere = 1;
}

typedef int(__cdecl* diag_strcpy_s_fn)(char*, size_t, const char*);

void diag_debug_bad_parameter(void) {
    char* volatile nowhere = nullptr;
    // Some runtimes (Wine's msvcrt) refuse the call without telling any handler;
    // the universal runtime, where present, is asked next.
    strcpy_s(nowhere, 0, "x");
    HMODULE ucrt = LoadLibraryW(L"ucrtbase.dll");
    if (!diag_hook_runtime(ucrt)) return;
    diag_strcpy_s_fn copy = (diag_strcpy_s_fn)GetProcAddress(ucrt, "strcpy_s");
    if (copy) copy(nowhere, 0, "x");
}
