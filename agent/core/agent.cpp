#include "agent/core/agent.h"
#include "common/log.h"
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>

agent_state g_agent = [] {
    agent_state s{};
    InitializeSRWLock(&s.config_lock);
    InitializeSRWLock(&s.hotkey_lock);
    s.forced_digit = -1;
    return s;
}();

void agent_config_copy(config* out) {
    AcquireSRWLockShared(&g_agent.config_lock);
    *out = g_agent.cfg;
    ReleaseSRWLockShared(&g_agent.config_lock);
}

void agent_config_set(const config* cfg) {
    AcquireSRWLockExclusive(&g_agent.config_lock);
    g_agent.cfg = *cfg;
    ReleaseSRWLockExclusive(&g_agent.config_lock);
}

void agent_begin_stop(void) {
    InterlockedExchange(&g_agent.quitting, 1);
    if (g_agent.stop_event) SetEvent(g_agent.stop_event);
}

bool agent_capture_wait_ready(unsigned long ms, const char** code, const char** msg) {
    HANDLE ready = g_agent.capture_ready;
    if (!ready) return true;
    DWORD r = WAIT_TIMEOUT;
    if (!agent_quitting()) {
        HANDLE both[2] = {ready, g_agent.stop_event};
        r = WaitForMultipleObjects(both[1] ? 2 : 1, both, FALSE, ms);
    }
    if (r == WAIT_OBJECT_0 && !agent_quitting()) return true;
    if (agent_quitting()) {
        *code = "busy";
        *msg = "agent is stopping";
    } else {
        *code = "busy";
        *msg = "capture is starting; try again";
    }
    return false;
}

unsigned long agent_debug_pause_ms(const wchar_t* hooks, const wchar_t* value) {
    if (!hooks || hooks[0] != L'1' || wcslen(hooks) > 7 || !value) return 0;
    unsigned long ms = 0;
    for (const wchar_t* p = value; *p >= L'0' && *p <= L'9'; p++) {
        ms = ms * 10 + (unsigned long)(*p - L'0');
        if (ms > 600000) return 600000;
    }
    return ms;
}

bool agent_debug_hooks(void) { return agent_debug_ms(L"IVRA_DEBUG_HOOKS") != 0; }

unsigned long agent_debug_ms(const wchar_t* name) {
    wchar_t hooks[8], value[16];
    DWORD hn = GetEnvironmentVariableW(L"IVRA_DEBUG_HOOKS", hooks, 8);
    if (hn == 0 || hn >= 8) return 0;
    DWORD vn = GetEnvironmentVariableW(name, value, 16);
    if (vn == 0 || vn >= 16) return 0;
    return agent_debug_pause_ms(hooks, value);
}

void agent_debug_pause(const wchar_t* name, const char* what) {
    unsigned long ms = agent_debug_ms(name);
    if (ms == 0) return;
    log_warn("debug: %s sleeping %lu ms", what, ms);
    Sleep(ms);
}

// ---- Launch classification

void agent_launch_switches(const wchar_t* cmdline, launch_switches* out) {
    launch_switches sw{};
    const wchar_t* s = cmdline ? cmdline : L"";
    sw.installer_hook = wcsstr(s, L"--veloapp-") != nullptr;
    sw.autostart = wcsstr(s, L"--autostart") != nullptr;
    sw.capture = wcsstr(s, L"--capture") != nullptr;
    sw.settings = wcsstr(s, L"--settings") != nullptr;
    sw.updated = wcsstr(s, L"--updated") != nullptr;
    if (sw.capture) sw.action = wcsstr(s, L"--capture clip") ? LAUNCH_CLIP : LAUNCH_REGION;
    *out = sw;
}

bool agent_launch_inspects_startupinfo(const launch_switches* sw) {
    return !sw->capture && !sw->settings && !sw->autostart;
}

taskbar_verdict agent_launch_taskbar(unsigned long flags, const wchar_t* title) {
    if (!title) return TASKBAR_NO;
    if (flags & 0x1000) {  // STARTF_TITLEISAPPID
        return _wcsicmp(title, L"velopack.Ivra") == 0 ? TASKBAR_IF_CURSOR_ON_TRAY : TASKBAR_NO;
    }
    if (flags & 0x800) {  // STARTF_TITLEISLINKNAME
        static const wchar_t needle[] = L"\\user pinned\\taskbar\\";
        const size_t n = wcslen(needle);
        for (const wchar_t* p = title; *p; p++) {
            size_t i = 0;
            while (i < n && p[i] && (wchar_t)towlower(p[i]) == needle[i]) i++;
            if (i == n) return TASKBAR_YES;
        }
    }
    return TASKBAR_NO;
}

unsigned agent_launch_taskbar_action(bool shift_down) { return shift_down ? LAUNCH_CLIP : LAUNCH_REGION; }

const wchar_t* agent_path_leaf(const wchar_t* path) {
    if (!path) return L"";
    const wchar_t* leaf = path;
    for (const wchar_t* p = path; *p; p++)
        if (*p == L'\\' || *p == L'/') leaf = p + 1;
    return leaf;
}

bool agent_exe_in_current_dir(const wchar_t* exe_path, wchar_t* parent, size_t capacity) {
    if (!exe_path || !parent || capacity == 0) return false;
    const wchar_t* leaf = agent_path_leaf(exe_path);
    if (leaf == exe_path) return false;              // no folder at all
    size_t dir_len = (size_t)(leaf - exe_path) - 1;  // without the separator
    size_t start = dir_len;
    while (start > 0 && exe_path[start - 1] != L'\\' && exe_path[start - 1] != L'/') start--;
    if (dir_len - start != 7 || _wcsnicmp(exe_path + start, L"current", 7) != 0) return false;
    if (start == 0) return false;  // "current\ivrad.exe" has no parent to look in
    size_t parent_len = start - 1;
    if (parent_len + 1 > capacity) return false;
    wmemcpy(parent, exe_path, parent_len);
    parent[parent_len] = 0;
    return true;
}

int agent_forced_digit_parse(const wchar_t* value) {
    if (!value) return -1;
    long v = wcstol(value, nullptr, 10);
    return (v >= 0 && v <= 9) ? (int)v : -1;
}

size_t agent_launch_record_text(char* out, size_t capacity, unsigned long pid, const SYSTEMTIME* t) {
    char buf[96];
    int n = snprintf(buf, sizeof buf, "pid %lu started %04d-%02d-%02d %02d:%02d:%02d", pid, t->wYear, t->wMonth,
                     t->wDay, t->wHour, t->wMinute, t->wSecond);
    if (n < 0 || (size_t)n + 1 > capacity) return 0;
    memcpy(out, buf, (size_t)n + 1);
    return (size_t)n;
}

// ---- Launch record and cursor repair

static bool agent_data_file(const wchar_t* name, wchar_t out[260]) {
    wchar_t dir[260];
    app_data_dir(dir);
    int n = _snwprintf(out, 260, L"%ls\\%ls", dir, name);
    return n > 0 && n < 260;
}

void agent_launch_record_begin(void) {
    wchar_t path[260];
    if (!agent_data_file(L"ivrad.running", path)) return;
    HANDLE f = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f != INVALID_HANDLE_VALUE) {
        char old[128];
        DWORD got = 0;
        if (!ReadFile(f, old, 127, &got, nullptr)) got = 0;
        old[got] = 0;
        // Only the first line: the record never has more, and a stray line feed must not split the log line.
        for (DWORD i = 0; i < got; i++)
            if (old[i] == '\r' || old[i] == '\n') {
                old[i] = 0;
                break;
            }
        CloseHandle(f);
        log_warn("previous ivrad session did not stop cleanly (%s); see the lines above and %%APPDATA%%\\Ivra\\dumps",
                 old[0] ? old : "no details");
    }
    wchar_t dir[260];
    app_data_dir(dir);
    CreateDirectoryW(dir, nullptr);
    SYSTEMTIME now;
    GetLocalTime(&now);
    char text[96];
    size_t len = agent_launch_record_text(text, sizeof text, GetCurrentProcessId(), &now);
    f = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return;
    DWORD put = 0;
    WriteFile(f, text, (DWORD)len, &put, nullptr);
    CloseHandle(f);
}

void agent_launch_record_end(void) {
    wchar_t path[260];
    if (agent_data_file(L"ivrad.running", path)) DeleteFileW(path);
}

bool agent_cursor_repair(bool log_it) {
    wchar_t path[260];
    if (!agent_data_file(L"cursor_hidden", path)) return false;
    if (GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES) return false;
    SystemParametersInfoW(SPI_SETCURSORS, 0, nullptr, 0);
    DeleteFileW(path);
    if (log_it) log_info("restored system cursors after abnormal exit");
    return true;
}

bool agent_settings_command(const wchar_t* module, unsigned long n, const wchar_t* arg, wchar_t path[260], wchar_t* cmd,
                            size_t cmd_cap, unsigned long* err) {
    // A cut or empty module path would leave a bare "ivra.exe", found in whatever folder is current.
    if (!module || n == 0 || n >= 260 || module[0] == 0) {
        *err = n >= 260 ? ERROR_INSUFFICIENT_BUFFER : ERROR_BAD_PATHNAME;
        return false;
    }
    const wchar_t* leaf = agent_path_leaf(module);
    if (leaf == module) {
        *err = ERROR_BAD_PATHNAME;
        return false;
    }
    wchar_t full[260];
    int len = _snwprintf(full, 260, L"%.*ls%ls", (int)(leaf - module), module, L"ivra.exe");
    if (len < 0 || len >= 260) {
        *err = ERROR_FILENAME_EXCED_RANGE;
        return false;
    }
    wchar_t line[260 + 64];
    int cl = arg ? _snwprintf(line, 260 + 64, L"\"%ls\" %ls", full, arg) : _snwprintf(line, 260 + 64, L"\"%ls\"", full);
    if (cl < 0 || cl >= 260 + 64 || (size_t)cl >= cmd_cap) {
        *err = ERROR_FILENAME_EXCED_RANGE;
        return false;
    }
    wmemcpy(path, full, (size_t)len + 1);
    wmemcpy(cmd, line, (size_t)cl + 1);
    return true;
}

bool agent_start_settings(const wchar_t* arg, wchar_t path[260], DWORD* err) {
    wchar_t module[260];
    DWORD n = GetModuleFileNameW(nullptr, module, 260);
    wchar_t cmd[260 + 64];
    unsigned long e = 0;
    if (!agent_settings_command(module, n, arg, path, cmd, 260 + 64, &e)) {
        path[0] = 0;
        *err = e;
        log_error("settings: cannot tell the agent's own folder (err=%lu); ivra.exe not started", e);
        return false;
    }
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(path, cmd, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        *err = GetLastError();
        return false;
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return true;
}

bool agent_settings_bring_forward(void) {
    HWND settings = FindWindowW(L"IvraSettingsWnd", nullptr);
    if (!settings) return false;
    DWORD pid = 0;
    GetWindowThreadProcessId(settings, &pid);
    AllowSetForegroundWindow(pid);
    return PostMessageW(settings, RegisterWindowMessageW(L"IvraShowSettings"), 0, 0) != 0;
}
