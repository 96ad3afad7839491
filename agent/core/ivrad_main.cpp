// The agent's process frame: what a launch means, the single-instance rule,
// the start-up order, the message loop and the stop order.
#include "common/win.h"
#include "agent/capture/capture_thread.h"
#include "agent/clips/clip_bar.h"
#include "agent/clips/clip_session.h"
#include "agent/clips/sounds.h"
#include "agent/core/agent.h"
#include "agent/core/capture_files.h"
#include "agent/core/capture_wiring.h"
#include "agent/core/frame_pool.h"
#include "agent/core/hotkeys.h"
#include "agent/core/main_window.h"
#include "agent/core/storage_monitor.h"
#include "agent/core/take_journal.h"
#include "agent/core/tray.h"
#include "agent/core/messages.h"
#include "agent/core/worker_pool.h"
#include "agent/input/broker.h"
#include "agent/maint/diag.h"
#include "agent/maint/update.h"
#include "agent/maint/watchdog.h"
#include "agent/overlay/overlay.h"
#include "agent/pipe/pipe_server.h"
#include "agent/upload/upload.h"
#include "common/account.h"
#include "common/config.h"
#include "common/config_schema.h"
#include "common/log.h"
#include <objbase.h>
#include <shellapi.h>
#include <shobjidl.h>
#include <propsys.h>
#include <tlhelp32.h>
#include <cstdio>
#include <cstring>
#include <cwchar>

namespace {

constexpr UINT_PTR TIMER_UPLOAD_TICK = 2910;
constexpr UINT_PTR TIMER_UPDATE_CHECK = 2911;

struct launch_context {
    launch_switches sw;
    unsigned action;
    bool velopack;
    ULONGLONG t0;  // tick count when the launch was logged
    wchar_t exe[MAX_PATH];
};

ULONGLONG ivrad_elapsed_ms(const launch_context* lc) { return GetTickCount64() - lc->t0; }

bool ivrad_is_velopack_install(const wchar_t* exe) {
    wchar_t parent[MAX_PATH], update[MAX_PATH];
    if (!agent_exe_in_current_dir(exe, parent, MAX_PATH)) return false;
    int n = _snwprintf(update, MAX_PATH, L"%ls\\Update.exe", parent);
    return n > 0 && n < MAX_PATH && GetFileAttributesW(update) != INVALID_FILE_ATTRIBUTES;
}

void ivrad_parent_process(DWORD* pid, wchar_t name[MAX_PATH]) {
    *pid = 0;
    wcscpy(name, L"?");
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE) return;
    PROCESSENTRY32W pe{};
    pe.dwSize = sizeof pe;
    DWORD me = GetCurrentProcessId();
    for (BOOL ok = Process32FirstW(snap, &pe); ok; ok = Process32NextW(snap, &pe))
        if (pe.th32ProcessID == me) {
            *pid = pe.th32ParentProcessID;
            break;
        }
    if (*pid) {
        pe.dwSize = sizeof pe;
        for (BOOL ok = Process32FirstW(snap, &pe); ok; ok = Process32NextW(snap, &pe))
            if (pe.th32ProcessID == *pid) {
                wcsncpy(name, pe.szExeFile, MAX_PATH - 1);
                name[MAX_PATH - 1] = 0;
                break;
            }
    }
    CloseHandle(snap);
}

void ivrad_log_launch(const wchar_t* args, const launch_switches* sw) {
    DWORD ppid = 0, session = 0;
    wchar_t pname[MAX_PATH], cwd[MAX_PATH];
    ivrad_parent_process(&ppid, pname);
    DWORD n = GetCurrentDirectoryW(MAX_PATH, cwd);
    if (n == 0 || n >= MAX_PATH) wcscpy(cwd, L"?");
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    log_info("=== ivrad launch: pid %lu, parent %ls (%lu), %s, session %lu, %llu s after boot, cwd %ls, args \"%ls\"",
             GetCurrentProcessId(), pname, ppid, sw->autostart ? "started at login (--autostart)" : "started manually",
             session, GetTickCount64() / 1000, cwd, args);
}

bool ivrad_cursor_over_taskbar(void) {
    POINT pt;
    if (!GetCursorPos(&pt)) return false;
    HWND w = WindowFromPoint(pt);
    HWND root = w ? GetAncestor(w, GA_ROOT) : nullptr;
    wchar_t cls[64] = L"";
    if (!root || !GetClassNameW(root, cls, 64)) return false;
    return wcscmp(cls, L"Shell_TrayWnd") == 0 || wcscmp(cls, L"Shell_SecondaryTrayWnd") == 0;
}

unsigned ivrad_decide_launch_action(const launch_switches* sw) {
    if (sw->capture) return sw->action;
    if (!agent_launch_inspects_startupinfo(sw)) return LAUNCH_NONE;
    STARTUPINFOW si{};
    si.cb = sizeof si;
    GetStartupInfoW(&si);
    taskbar_verdict v = agent_launch_taskbar(si.dwFlags, si.lpTitle);
    bool taskbar = v == TASKBAR_YES || (v == TASKBAR_IF_CURSOR_ON_TRAY && ivrad_cursor_over_taskbar());
    log_info("startup: startupinfo flags 0x%lx title %ls%s", si.dwFlags, agent_path_leaf(si.lpTitle),
             taskbar ? " (taskbar pin)" : "");
    if (!taskbar) return LAUNCH_NONE;
    return agent_launch_taskbar_action((GetAsyncKeyState(VK_SHIFT) & 0x8000) != 0);
}

HWND ivrad_find_agent_window(void) {
    HWND w = FindWindowW(L"IvraAgentWnd", nullptr);
    if (!w) w = FindWindowExW(HWND_MESSAGE, nullptr, L"IvraAgentWnd", nullptr);
    return w;
}

constexpr int SECOND_LAUNCH_WAIT_MS = 5000;

// A second launch hands its request to the running agent or the settings window.
int ivrad_second_instance(HANDLE mutex, const launch_context* lc) {
    DWORD pid = 0;
    HWND running = ivrad_find_agent_window();
    // The first agent owns the mutex a moment before its window exists; give it
    // that moment so the request is not dropped.
    for (int i = 0; !running && i < SECOND_LAUNCH_WAIT_MS / 100; i++) {
        Sleep(100);
        running = ivrad_find_agent_window();
    }
    if (running) GetWindowThreadProcessId(running, &pid);
    log_info("startup: another ivrad is already running (pid %lu); exiting", pid);
    CloseHandle(mutex);
    if (lc->action != LAUNCH_NONE) {
        HWND w = ivrad_find_agent_window();
        if (w) {
            DWORD wpid = 0;
            GetWindowThreadProcessId(w, &wpid);
            AllowSetForegroundWindow(wpid);
            PostMessageW(w, WM_AGENT_ACTION, lc->action, AGENT_ACTION_NO_ROUTE);
        }
    } else if (!lc->sw.autostart) {
        bool shown = agent_settings_bring_forward();
        DWORD err = 0;
        wchar_t path[MAX_PATH];
        if (!shown && !agent_start_settings(nullptr, path, &err)) log_warn("startup: cannot start ivra.exe (%lu)", err);
    }
    return 0;
}

void ivrad_log_versions(const launch_context* lc) {
    RTL_OSVERSIONINFOW v{};
    v.dwOSVersionInfoSize = sizeof v;
    typedef LONG(WINAPI * rtl_get_version_fn)(RTL_OSVERSIONINFOW*);
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    auto get = ntdll ? (rtl_get_version_fn)(void*)GetProcAddress(ntdll, "RtlGetVersion") : nullptr;
    if (get) get(&v);
    log_info("ivrad %s starting: pid %lu, %ls, Windows %lu.%lu.%lu, built %s %s", AGENT_VERSION, GetCurrentProcessId(),
             lc->exe, v.dwMajorVersion, v.dwMinorVersion, v.dwBuildNumber, __DATE__, __TIME__);
    const config& c = g_agent.cfg;  // only the main thread writes it, and not before the loop runs
    log_info("config: replay=%d audio=%d fps=%d bitrate=%d encoder=%ls keep_warm=%d", c.replay_enabled,
             c.clip_audio_system, c.clip_fps, c.clip_bitrate_kbps, c.clip_encoder, c.dxgi_keep_warm);
}

void ivrad_read_forced_digit(void) {
    wchar_t value[32];
    DWORD n = GetEnvironmentVariableW(L"IVRA_FORCE_DIGIT", value, 32);
    if (n == 0) return;
    g_agent.forced_digit = n < 32 ? agent_forced_digit_parse(value) : -1;  // longer is no digit
    if (g_agent.forced_digit < 0) log_warn("startup: IVRA_FORCE_DIGIT ignored: expects a digit 0 to 9");
}

void ivrad_create_pools(const launch_context* lc) {
    const config& c = g_agent.cfg;
    uint64_t stills_budget = 0, clips_budget = 0;
    g_agent.mem_total = frame_pool_memory_total();
    int percent = c.mem_percent;
    if (!frame_pool_memory_budget(g_agent.mem_total, percent, &g_agent.mem_budget, &stills_budget, &clips_budget)) {
        // A hand-edited file can hold anything; without a budget no screenshot could ever be taken.
        log_warn("startup: mem_percent %d is outside 0..100; using 10", percent);
        percent = 10;
        frame_pool_memory_budget(g_agent.mem_total, percent, &g_agent.mem_budget, &stills_budget, &clips_budget);
    }
    log_info("startup: config loaded (%llu ms)", ivrad_elapsed_ms(lc));
    g_agent.frames_stills = frame_pool_create("stills", 64, stills_budget);
    g_agent.frames_clips = frame_pool_create("clips", 256, clips_budget);
    int stills_workers = c.stills_workers < 1 ? 1 : c.stills_workers;
    int clips_workers = c.clips_workers < 1 ? 1 : c.clips_workers;
    g_agent.stills = worker_pool_create("ivra-stills", stills_workers, 64, THREAD_PRIORITY_BELOW_NORMAL);
    g_agent.clips = worker_pool_create("ivra-clips", clips_workers, 32, THREAD_PRIORITY_ABOVE_NORMAL);
    g_agent.io = worker_pool_create("ivra-io", 2, 128, THREAD_PRIORITY_BELOW_NORMAL);
    g_agent.pipe = worker_pool_create("ivra-pipe", 8, 64, THREAD_PRIORITY_NORMAL);
    wchar_t total[32], budget[32], stills[32], clips[32];
    format_bytes_wide(g_agent.mem_total, total, 32);
    format_bytes_wide(g_agent.mem_budget, budget, 32);
    format_bytes_wide(stills_budget, stills, 32);
    format_bytes_wide(clips_budget, clips, 32);
    log_info("mem: %ls total, budget %ls (%d%%) -> stills %ls / clips %ls; workers stills=%d clips=%d io=2", total,
             budget, percent, stills, clips, stills_workers, clips_workers);
}

// The storage gate's balloons, with the warning sound for a refused capture.
void ivrad_storage_notice(const wchar_t* text, bool full) {
    balloon_warning(L"Ivra", text);
    if (full) sounds_play_warning();
}

int ivrad_run_message_loop(void) {
    MSG msg;
    int rc;
    while ((rc = GetMessageW(&msg, nullptr, 0, 0)) > 0) {
        ULONGLONG start = GetTickCount64();
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
        ULONGLONG spent = GetTickCount64() - start;
        if (agent_dispatch_is_slow(spent))
            log_warn("slow: main thread spent %llu ms on message 0x%04x (wp=%llu)", spent, msg.message,
                     (unsigned long long)msg.wParam);
    }
    return rc;
}

// A shell link to ourselves with arguments and a title, for the jump list's tasks.
IShellLinkW* ivrad_jump_task(const wchar_t* exe, const wchar_t* args, const wchar_t* title) {
    // PKEY_Title, spelled out so no property-system library is needed.
    static const PROPERTYKEY title_key = {
        {0xF29F85E0, 0x4FF9, 0x1068, {0xAB, 0x91, 0x08, 0x00, 0x2B, 0x27, 0xB3, 0xD9}}, 2};
    IShellLinkW* link = nullptr;
    IPropertyStore* props = nullptr;
    PROPVARIANT pv;
    PropVariantInit(&pv);
    bool ok = false;
    size_t bytes = (wcslen(title) + 1) * sizeof(wchar_t);
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW, (void**)&link)))
        goto done;
    if (FAILED(link->SetPath(exe)) || FAILED(link->SetArguments(args)) || FAILED(link->SetIconLocation(exe, 0)))
        goto done;
    if (FAILED(link->QueryInterface(IID_IPropertyStore, (void**)&props))) goto done;
    pv.vt = VT_LPWSTR;
    pv.pwszVal = (LPWSTR)CoTaskMemAlloc(bytes);
    if (!pv.pwszVal) goto done;
    memcpy(pv.pwszVal, title, bytes);
    ok = SUCCEEDED(props->SetValue(title_key, pv)) && SUCCEEDED(props->Commit());
done:
    PropVariantClear(&pv);
    if (props) props->Release();
    if (!ok && link) {
        link->Release();
        link = nullptr;
    }
    return link;
}

bool ivrad_set_jump_list(const wchar_t* exe) {
    static const struct {
        const wchar_t* args;
        const wchar_t* title;
    } tasks[] = {{L"--capture region", L"Take screenshot"},
                 {L"--capture clip", L"Record clip"},
                 {L"--settings", L"Open settings"}};
    ICustomDestinationList* list = nullptr;
    IObjectArray* removed = nullptr;
    IObjectCollection* collection = nullptr;
    IObjectArray* array = nullptr;
    UINT slots = 0;
    bool ok = false;
    if (FAILED(CoCreateInstance(CLSID_DestinationList, nullptr, CLSCTX_INPROC_SERVER, IID_ICustomDestinationList,
                                (void**)&list)))
        goto done;
    if (FAILED(list->SetAppID(L"velopack.Ivra")) || FAILED(list->BeginList(&slots, IID_IObjectArray, (void**)&removed)))
        goto done;
    if (FAILED(CoCreateInstance(CLSID_EnumerableObjectCollection, nullptr, CLSCTX_INPROC_SERVER, IID_IObjectCollection,
                                (void**)&collection)))
        goto abort_list;
    for (const auto& t : tasks) {
        IShellLinkW* link = ivrad_jump_task(exe, t.args, t.title);
        if (!link) goto abort_list;
        HRESULT hr = collection->AddObject(link);
        link->Release();
        if (FAILED(hr)) goto abort_list;
    }
    if (FAILED(collection->QueryInterface(IID_IObjectArray, (void**)&array)) || FAILED(list->AddUserTasks(array)))
        goto abort_list;
    ok = SUCCEEDED(list->CommitList());
    goto done;
abort_list:
    list->AbortList();
done:
    if (array) array->Release();
    if (collection) collection->Release();
    if (removed) removed->Release();
    if (list) list->Release();
    return ok;
}

// First start without onboarding: a PC linked already is onboarded; otherwise the welcome opens.
void ivrad_onboard(void) {
    account acc;
    bool linked = account_load(&acc);
    SecureZeroMemory(&acc, sizeof acc);
    if (linked) {
        config cfg;
        agent_config_copy(&cfg);
        cfg.onboarded = 1;
        if (!config_save(&cfg)) log_warn("config: onboarded=1 not saved");
        agent_config_set(&cfg);
        return;
    }
    DWORD err = 0;
    wchar_t path[MAX_PATH];
    // Every start until onboarding would open one more; an open window is enough.
    if (agent_settings_bring_forward()) {
        log_info("account: settings window already open; brought it forward");
    } else if (agent_start_settings(L"--welcome", path, &err)) {
        log_info("account: opened link window (%ls)", path);
    } else {
        log_warn("account: cannot start ivra.exe %ls (%lu)", path, err);
        balloon_warning(L"Ivra", L"Could not open the account window. Check that ivra.exe is beside ivrad.exe.");
    }
}

// Takes a killed agent left open go before any new one opens, wherever they were written.
void ivrad_open_take_journal(void) {
    wchar_t data[MAX_PATH], file[TAKE_JOURNAL_PATH_MAX];
    app_data_dir(data);
    if (!take_journal_path(data, file)) return;
    g_agent.takes = take_journal_create(file);
    take_journal_sweep(g_agent.takes);
}

// Ceiling for the capture thread at stop: it must finish its file, but a stuck
// thread must not keep a stopping agent alive for ever.
constexpr DWORD CAPTURE_STOP_WAIT_MS = 30000;

void ivrad_stop_agent(HANDLE mutex) {
    agent_begin_stop();
    broker_stop();
    pipe_listener_wake();
    bool capture_ended = capture_thread_stop(CAPTURE_STOP_WAIT_MS);
    if (!capture_ended) log_error("stop: capture thread did not end in %lu ms; leaving it", CAPTURE_STOP_WAIT_MS);
    if (g_agent.capture_thread) CloseHandle(g_agent.capture_thread);
    g_agent.capture_thread = nullptr;
    clip_bar_stop(3000);
    overlay_wait();
    bool listener_ended = pipe_listener_wait(3000);
    if (g_agent.wnd) {
        KillTimer(g_agent.wnd, TIMER_UPLOAD_TICK);
        KillTimer(g_agent.wnd, TIMER_UPDATE_CHECK);
    }
    upload_shutdown();
    // Stopped first and freed only at the end: a pipe job still running reads every pool's figures.
    bool stills_ended = worker_pool_stop(g_agent.stills, 5000);
    bool clips_ended = worker_pool_stop(g_agent.clips, 5000);
    bool io_ended = worker_pool_stop(g_agent.io, 2000);
    bool pipe_ended = worker_pool_stop(g_agent.pipe, 3000);
    storage_thread_stop(3000);
    if (g_agent.wnd) {
        hotkeys_unregister(g_agent.wnd);
        tray_remove(g_agent.wnd);
    }
    if (capture_ended && listener_ended && stills_ended && clips_ended && io_ended && pipe_ended) {
        worker_pool_destroy(g_agent.stills, 0);
        worker_pool_destroy(g_agent.clips, 0);
        worker_pool_destroy(g_agent.io, 0);
        worker_pool_destroy(g_agent.pipe, 0);
        g_agent.stills = g_agent.clips = g_agent.io = g_agent.pipe = nullptr;
        frame_pool_destroy(g_agent.frames_stills);
        frame_pool_destroy(g_agent.frames_clips);
        g_agent.frames_stills = g_agent.frames_clips = nullptr;
        take_journal_destroy(g_agent.takes);
        g_agent.takes = nullptr;
        if (g_agent.capture_ready) CloseHandle(g_agent.capture_ready);
        g_agent.capture_ready = nullptr;
        CloseHandle(g_agent.stop_event);
        g_agent.stop_event = nullptr;
    } else {
        // Any of these threads may still touch the pools, frame memory or events; the process exit takes them.
        log_warn("stop: threads still running; pools and frame memory left to the process exit");
    }
    watchdog_stop(10000);
    agent_launch_record_end();
    agent_cursor_repair(false);
    CloseHandle(mutex);
    log_info("ivrad stopped");
}
}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR args, int) {
    diag_install_crash_handlers();
    const wchar_t* cmdline = args ? args : L"";
    launch_context lc{};
    agent_launch_switches(cmdline, &lc.sw);
    if (lc.sw.installer_hook) return update_installer_hook(cmdline);

    DWORD n = GetModuleFileNameW(nullptr, lc.exe, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) lc.exe[0] = 0;
    lc.velopack = ivrad_is_velopack_install(lc.exe);
    if (lc.velopack) SetCurrentProcessExplicitAppUserModelID(L"velopack.Ivra");
    SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    log_thread_name(L"ivra-main");
    log_scrub_old_files();

    lc.t0 = GetTickCount64();
    ivrad_log_launch(cmdline, &lc.sw);
    lc.action = ivrad_decide_launch_action(&lc.sw);

    HANDLE mutex = CreateMutexW(nullptr, TRUE, L"Local\\IvraAgentMutex");
    if (mutex && GetLastError() == ERROR_ALREADY_EXISTS) return ivrad_second_instance(mutex, &lc);

    config_load(&g_agent.cfg);
    agent_launch_record_begin();
    ivrad_log_versions(&lc);
    agent_cursor_repair(true);
    ivrad_read_forced_digit();
    capture_sweep_parts(&g_agent.cfg);
    ivrad_open_take_journal();
    ivrad_create_pools(&lc);
    // Made off the start-up path; a capture that comes first makes its sound itself.
    if (!g_agent.io || !worker_pool_submit(
                           g_agent.io, [](void*) { sounds_prepare(); }, nullptr))
        sounds_prepare();

    g_agent.capture_ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_agent.stop_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_agent.msg_reload = RegisterWindowMessageW(L"IvraReloadConfig");
    g_agent.msg_taskbar_created = RegisterWindowMessageW(L"TaskbarCreated");
    g_agent.wnd = main_window_create(instance);
    if (!g_agent.wnd) {
        log_error("CreateWindowEx failed %lu", GetLastError());
        // Not running after all: the next start must not report this as a crash.
        agent_launch_record_end();
        CloseHandle(mutex);
        return 1;
    }
    hotkeys_register(g_agent.wnd, &g_agent.cfg);
    tray_add(g_agent.wnd);
    storage_set_notifier(ivrad_storage_notice);
    watchdog_start();
    LARGE_INTEGER freq, start;
    QueryPerformanceFrequency(&freq);
    QueryPerformanceCounter(&start);
    g_agent.qpc_frequency = freq.QuadPart;
    g_agent.qpc_start = start.QuadPart;
    log_info("startup: window, hotkeys and tray ready (%llu ms)", ivrad_elapsed_ms(&lc));

    capture_wiring_install();
    // A refused clip or replay hotkey shows its warning balloon from the capture thread.
    clip_set_warning(balloon_warning);
    capture_thread_start();
    if (!pipe_listener_start()) log_error("startup: pipe listener not started");
    storage_thread_start();
    if (g_agent.capture_thread && WaitForSingleObject(g_agent.capture_ready, 5000) == WAIT_OBJECT_0)
        log_info("startup: capture ready (%llu ms)", ivrad_elapsed_ms(&lc));
    else
        log_warn("startup: capture thread not ready after 5 s");
    clip_bar_start();
    if (!broker_start(g_agent.wnd, &g_agent.cfg)) log_warn("input broker unavailable; registered hotkeys only");
    upload_start(g_agent.cfg.upload_workers);
    SetTimer(g_agent.wnd, TIMER_UPLOAD_TICK, 15000, nullptr);
    SetTimer(g_agent.wnd, TIMER_UPDATE_CHECK, update_tick_interval_ms(), nullptr);
    if (lc.sw.updated) {
        wchar_t text[64];
        _snwprintf(text, 64, L"You're on version %hs.", AGENT_VERSION);
        text[63] = 0;
        balloon_info(L"Ivra updated", text, nullptr);
    }
    // Watched from its message loop on: the start-up above may wait seconds for the capture thread.
    watchdog_register("main", g_agent.wnd, 0);
    log_info("ivrad started in %llu ms", ivrad_elapsed_ms(&lc));
    if (lc.velopack)
        log_info(ivrad_set_jump_list(lc.exe) ? "startup: taskbar jump list set" : "startup: taskbar jump list not set");

    if (lc.action != LAUNCH_NONE) PostMessageW(g_agent.wnd, WM_AGENT_ACTION, lc.action, AGENT_ACTION_NO_ROUTE);
    if (!g_agent.cfg.onboarded) ivrad_onboard();

    ivrad_run_message_loop();
    ivrad_stop_agent(mutex);
    CoUninitialize();
    return 0;
}
