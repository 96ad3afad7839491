#include "agent/maint/update.h"
#include "agent/core/agent.h"
#include "agent/core/messages.h"
#include "agent/maint/vpkc.h"
#include "common/http.h"
#include "common/log.h"
#include <cstdio>
#include <cstring>
#include <cwchar>

namespace {

constexpr char UPDATE_REASON_PORTABLE[] = "Updates work in the installed app only.";
constexpr char UPDATE_REASON_OFFLINE[] = "Couldn't reach the update server. Check your connection.";
constexpr char UPDATE_DEFAULT_FEED[] = "https://updates.ivra.app/win";
constexpr wchar_t UPDATE_LIBRARY[] = L"velopack_libc_win_x64_msvc.dll";
constexpr unsigned long UPDATE_FEED_TIMEOUT_MS = 20000;
constexpr size_t UPDATE_BASE_MAX = 255;
constexpr size_t UPDATE_URL_MAX = 512;

struct update_library {
    HMODULE dll;
    vpkc_new_source_custom_callback_t new_source_custom_callback;
    vpkc_source_report_progress_t source_report_progress;
    vpkc_new_update_manager_with_source_t new_update_manager_with_source;
    vpkc_get_current_version_t get_current_version;
    vpkc_check_for_updates_t check_for_updates;
    vpkc_download_updates_t download_updates;
    vpkc_wait_exit_then_apply_updates_t wait_exit_then_apply_updates;
    vpkc_free_update_info_t free_update_info;
    vpkc_get_last_error_t get_last_error;
    vpkc_set_logger_t set_logger;
};

// Touched only by the one check thread at a time (the running flag keeps it single).
update_library g_lib;
vpkc_manager* g_manager;
char g_reason[160];
vpkc_update_info* g_info;

// Daily schedule: the flag is shared with the check thread, the rest is the main thread's.
volatile LONG g_running;
bool g_started;
unsigned long long g_last_start;

void update_copy(char* out, size_t cap, const char* text) {
    if (cap == 0) return;
    snprintf(out, cap, "%s", text ? text : "");
}

// IVRA_UPDATE_URL (at most 255 characters) or the built-in feed address.
void update_base(char out[UPDATE_BASE_MAX + 1]) {
    char value[1024];
    DWORD n = GetEnvironmentVariableA("IVRA_UPDATE_URL", value, sizeof value);
    if (n == 0 || n >= sizeof value) {
        update_copy(out, UPDATE_BASE_MAX + 1, UPDATE_DEFAULT_FEED);
        return;
    }
    update_copy(out, UPDATE_BASE_MAX + 1, value);
}

void update_velopack_log(void*, const char* level, const char* message) {
    log_info("velopack %s: %s", level ? level : "?", message ? message : "");
}

char* update_feed(void*, const char* name) {
    if (!update_name_ok(name)) {
        log_warn("update: refusing feed name");
        return nullptr;
    }
    char base[UPDATE_BASE_MAX + 1], url[UPDATE_URL_MAX];
    update_base(base);
    if (!update_feed_url(base, name, url, sizeof url)) {
        log_warn("update: feed %s -> 0 (%s)", name, http_error_text(ERROR_INSUFFICIENT_BUFFER));
        return nullptr;
    }
    http_response r{};
    bool got = http_request("GET", url, nullptr, nullptr, 0, UPDATE_FEED_TIMEOUT_MS, &r);
    // A body that broke off before its announced length is not a feed.
    if (got && r.status == 200 && r.body && r.body_length > 0 && r.system_error == 0) {
        char* copy = (char*)HeapAlloc(GetProcessHeap(), 0, (size_t)r.body_length + 1);
        if (copy) {
            memcpy(copy, r.body, (size_t)r.body_length);
            copy[r.body_length] = 0;
        }
        http_response_free(&r);
        return copy;
    }
    bool broke_off = r.status == 200 && r.system_error != 0;
    log_warn("update: feed %s -> %d (%s)", name, r.status,
             r.status && !broke_off ? "" : http_error_text(r.system_error));
    http_response_free(&r);
    return nullptr;
}

void update_free_feed(void*, char* feed) {
    if (feed) HeapFree(GetProcessHeap(), 0, feed);
}

struct update_progress {
    size_t id;
    int last;
};

void update_download_progress(void* context, uint64_t done, uint64_t total) {
    update_progress* p = (update_progress*)context;
    int step = update_progress_step(done, total, &p->last);
    if (step >= 0 && g_lib.source_report_progress) g_lib.source_report_progress(p->id, step);
}

int update_download(void*, const vpkc_asset* asset, const char* local_path, size_t progress_id) {
    const char* name = asset ? asset->file_name : nullptr;
    if (!update_name_ok(name)) {
        log_warn("update: refusing package name");
        return 0;
    }
    char base[UPDATE_BASE_MAX + 1], url[UPDATE_URL_MAX];
    wchar_t path[MAX_PATH];
    update_base(base);
    if (!update_feed_url(base, name, url, sizeof url) || !local_path ||
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, local_path, -1, path, MAX_PATH) == 0) {
        log_warn("update: download %s -> 0 (%s)", name, http_error_text(ERROR_INVALID_PARAMETER));
        return 0;
    }
    update_progress progress{progress_id, -1};
    http_response r{};
    bool ok = http_download(url, path, update_download_progress, &progress, nullptr, &r);
    if (!ok)
        log_warn("update: download %s -> %d (%s)", name, r.status, r.status ? "" : http_error_text(r.system_error));
    http_response_free(&r);
    return ok ? 1 : 0;
}

bool update_resolve(HMODULE dll) {
    struct entry {
        const char* name;
        void** slot;
    };
    const entry entries[] = {
        {"vpkc_new_source_custom_callback", (void**)&g_lib.new_source_custom_callback},
        {"vpkc_source_report_progress", (void**)&g_lib.source_report_progress},
        {"vpkc_new_update_manager_with_source", (void**)&g_lib.new_update_manager_with_source},
        {"vpkc_get_current_version", (void**)&g_lib.get_current_version},
        {"vpkc_check_for_updates", (void**)&g_lib.check_for_updates},
        {"vpkc_download_updates", (void**)&g_lib.download_updates},
        {"vpkc_wait_exit_then_apply_updates", (void**)&g_lib.wait_exit_then_apply_updates},
        {"vpkc_free_update_info", (void**)&g_lib.free_update_info},
        {"vpkc_get_last_error", (void**)&g_lib.get_last_error},
        {"vpkc_set_logger", (void**)&g_lib.set_logger},
    };
    for (const entry& e : entries) {
        FARPROC f = GetProcAddress(dll, e.name);
        if (!f) {
            g_lib = update_library{};
            return false;
        }
        *e.slot = (void*)f;
    }
    g_lib.dll = dll;
    return true;
}

// Loads the library and creates the manager once; a failure is kept for the process.
bool update_init(char* reason, size_t cap) {
    if (g_manager) return true;
    if (g_reason[0]) {
        update_copy(reason, cap, g_reason);
        return false;
    }
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    wchar_t* slash = (n > 0 && n < MAX_PATH) ? wcsrchr(path, L'\\') : nullptr;
    HMODULE dll = nullptr;
    if (slash && (size_t)(slash + 1 - path) + wcslen(UPDATE_LIBRARY) < MAX_PATH) {
        wcscpy(slash + 1, UPDATE_LIBRARY);
        // The agent's own folder and System32 only: a library found anywhere else is not ours.
        dll = LoadLibraryExW(path, nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    }
    if (!dll || !update_resolve(dll)) {
        if (dll) FreeLibrary(dll);
        update_copy(g_reason, sizeof g_reason, UPDATE_REASON_PORTABLE);
        update_copy(reason, cap, g_reason);
        return false;
    }
    g_lib.set_logger(update_velopack_log, nullptr);
    vpkc_options options{0, nullptr, 10};
    vpkc_source* source = g_lib.new_source_custom_callback(update_feed, update_free_feed, update_download, nullptr);
    vpkc_manager* manager = nullptr;
    if (!source || !g_lib.new_update_manager_with_source(source, &options, nullptr, &manager) || !manager) {
        char err[256] = "";
        g_lib.get_last_error(err, sizeof err);
        err[sizeof err - 1] = 0;
        log_warn("update: unavailable (%s)", err);
        update_copy(g_reason, sizeof g_reason, UPDATE_REASON_PORTABLE);
        update_copy(reason, cap, g_reason);
        return false;
    }
    g_manager = manager;
    return true;
}

unsigned long long update_day_ms(void) {
    unsigned long ms = agent_debug_ms(L"IVRA_UPDATE_DAY_MS");
    return ms ? ms : UPDATE_DAY_MS;
}

DWORD WINAPI update_thread(void*) {
    log_thread_name(L"ivra-update");
    char text[160];
    uint64_t bytes = 0;
    int result = update_check(text, sizeof text, &bytes);
    bool message = (result == UPDATE_UNAVAILABLE || result == UPDATE_FAILED) && text[0];
    log_info("update: daily check -> %d%s%s", result, message ? " " : "", message ? text : "");
    if (result == UPDATE_AVAILABLE && !agent_quitting()) {
        char* version = (char*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, UPDATE_VERSION_MAX + 1);
        if (version) {
            memcpy(version, text, strnlen(text, UPDATE_VERSION_MAX));
            if (!g_agent.wnd || !PostMessageW(g_agent.wnd, WM_AGENT_UPDATE_READY, 0, (LPARAM)version))
                HeapFree(GetProcessHeap(), 0, version);
        }
    }
    InterlockedExchange(&g_running, 0);
    return 0;
}

// ivrac.exe beside the agent with args; its exit code, or -1 when it could not start
// or did not end within timeout_ms (it is then left to finish on its own).
long update_run_ivrac(const wchar_t* args, unsigned long timeout_ms) {
    wchar_t exe[MAX_PATH], cmd[MAX_PATH + 64];
    DWORD n = GetModuleFileNameW(nullptr, exe, MAX_PATH);
    if (n == 0 || n >= MAX_PATH || !update_ivrac_command(exe, args, cmd, sizeof cmd / sizeof cmd[0])) return -1;
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, cmd, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi)) return -1;
    CloseHandle(pi.hThread);
    long code = -1;
    DWORD exit_code = 0;
    if (WaitForSingleObject(pi.hProcess, timeout_ms) == WAIT_OBJECT_0 && GetExitCodeProcess(pi.hProcess, &exit_code))
        code = (long)exit_code;
    CloseHandle(pi.hProcess);
    return code;
}

unsigned long update_hook_timeout(unsigned long ms) {
    unsigned long debug = agent_debug_ms(L"IVRA_HOOK_TIMEOUT_MS");
    return debug ? debug : ms;
}

}  // namespace

// ---- Pure rules

bool update_name_ok(const char* name) {
    if (!name || name[0] == 0 || name[0] == '.') return false;
    size_t n = 0;
    for (const char* p = name; *p; p++, n++) {
        char c = *p;
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
                  c == '_';
        if (!ok || n >= 120) return false;
    }
    return true;
}

bool update_daily_due(int update_auto, bool running, bool first, unsigned long long now, unsigned long long last,
                      unsigned long long day_ms) {
    if (!update_auto || running) return false;
    if (first) return true;
    return now >= last && now - last >= day_ms;
}

bool update_feed_url(const char* base, const char* name, char* out, size_t cap) {
    if (!base || !name || !out || cap == 0) return false;
    size_t need = strlen(base) + 1 + strlen(name);
    if (need + 1 > cap) return false;
    snprintf(out, cap, "%s/%s", base, name);
    return true;
}

uint64_t update_download_bytes(const uint64_t* delta_sizes, size_t delta_count, uint64_t full_size) {
    if (!delta_sizes || delta_count == 0) return full_size;
    uint64_t sum = 0;
    for (size_t i = 0; i < delta_count; i++) sum += delta_sizes[i];
    return sum;
}

int update_progress_step(uint64_t received, uint64_t total, int* last) {
    int percent = 0;
    if (total > 0) {
        uint64_t p = received >= total ? 100 : received * 100 / total;
        percent = (int)p;
    }
    if (percent == *last) return -1;
    *last = percent;
    return percent;
}

update_hook_kind update_hook_of(const wchar_t* cmdline) {
    if (!cmdline) return UPDATE_HOOK_OTHER;
    if (wcsstr(cmdline, L"--veloapp-uninstall")) return UPDATE_HOOK_UNINSTALL;
    if (wcsstr(cmdline, L"--veloapp-install") || wcsstr(cmdline, L"--veloapp-updated")) return UPDATE_HOOK_INSTALL;
    return UPDATE_HOOK_OTHER;
}

bool update_ivrac_command(const wchar_t* exe_path, const wchar_t* args, wchar_t* out, size_t cap) {
    if (!exe_path || !args || !out) return false;
    const wchar_t* leaf = nullptr;
    for (const wchar_t* p = exe_path; *p; p++)
        if (*p == L'\\' || *p == L'/') leaf = p;
    if (!leaf) return false;
    size_t dir = (size_t)(leaf - exe_path);
    // Quote, folder, separator, name, quote, blank, arguments, terminator.
    size_t need = 1 + dir + 1 + wcslen(L"ivrac.exe") + 1 + 1 + wcslen(args) + 1;
    if (need > cap) return false;
    swprintf(out, cap, L"\"%.*ls\\ivrac.exe\" %ls", (int)dir, exe_path, args);
    return true;
}

// ---- Agent side

int update_check(char* text, size_t cap, uint64_t* bytes) {
    char reason[160];
    if (!update_init(reason, sizeof reason)) {
        update_copy(text, cap, reason);
        return UPDATE_UNAVAILABLE;
    }
    if (g_info) {
        g_lib.free_update_info(g_info);
        g_info = nullptr;
    }
    vpkc_update_info* info = nullptr;
    int r = g_lib.check_for_updates(g_manager, &info);
    if (r == VPKC_NO_UPDATE || r == VPKC_REMOTE_EMPTY) {
        if (info) g_lib.free_update_info(info);
        update_copy(text, cap, "");
        return UPDATE_CURRENT;
    }
    if (r == VPKC_UPDATE_AVAILABLE && info && info->target) {
        g_info = info;
        const char* version = info->target->version ? info->target->version : "?";
        uint64_t sum = 0;
        for (size_t i = 0; info->deltas && i < info->delta_count; i++) sum += info->deltas[i].size;
        uint64_t n = info->delta_count && info->deltas ? sum : info->target->size;
        log_info("update: %s available (%llu bytes to download)", version, (unsigned long long)n);
        update_copy(text, cap, version);
        if (bytes) *bytes = n;
        return UPDATE_AVAILABLE;
    }
    if (info) g_lib.free_update_info(info);
    char err[256] = "";
    g_lib.get_last_error(err, sizeof err);
    err[sizeof err - 1] = 0;
    log_warn("update: %s%s%s", UPDATE_REASON_OFFLINE, err[0] ? ": " : "", err);
    update_copy(text, cap, UPDATE_REASON_OFFLINE);
    return UPDATE_FAILED;
}

unsigned update_tick_interval_ms(void) {
    unsigned long ms = agent_debug_ms(L"IVRA_UPDATE_TICK_MS");
    return ms ? (unsigned)ms : UPDATE_TICK_MS;
}

void update_daily_tick(void) {
    config cfg;
    agent_config_copy(&cfg);
    unsigned long long now = GetTickCount64();
    bool running = InterlockedCompareExchange(&g_running, 0, 0) != 0;
    if (!update_daily_due(cfg.update_auto, running, !g_started, now, g_last_start, update_day_ms())) return;
    InterlockedExchange(&g_running, 1);
    HANDLE thread = CreateThread(nullptr, 0, update_thread, nullptr, 0, nullptr);
    if (!thread) {
        log_warn("update: cannot start the check thread (%lu)", GetLastError());
        InterlockedExchange(&g_running, 0);
        return;
    }
    CloseHandle(thread);
    g_started = true;
    g_last_start = now;
}

int update_installer_hook(const wchar_t* cmdline) {
    switch (update_hook_of(cmdline)) {
    case UPDATE_HOOK_INSTALL: {
        long code = update_run_ivrac(L"agent autostart on", update_hook_timeout(30000));
        log_info("installer: %ls -> autostart on (exit %ld)", cmdline, code);
        break;
    }
    case UPDATE_HOOK_UNINSTALL: {
        // The agent must be gone before its autostart entry goes, or it outlives the uninstall.
        long stop = update_run_ivrac(L"agent stop", update_hook_timeout(20000));
        long off = update_run_ivrac(L"agent autostart off", update_hook_timeout(30000));
        log_info("installer: uninstall -> agent stop (exit %ld), autostart off (exit %ld)", stop, off);
        break;
    }
    default: log_info("installer: %ls", cmdline ? cmdline : L""); break;
    }
    return 0;
}
