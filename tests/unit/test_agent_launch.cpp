// Launch classification, the hotkey rules and the action-dispatch pieces of the agent.
#include "agent/core/agent.h"
#include "agent/core/hotkeys.h"
#include "agent/core/main_window.h"
#include "common/config.h"
#include "tests/unit/test_support.h"
#include <gtest/gtest.h>
#include <cstring>
#include <memory>

TEST(AgentLaunch, SwitchesBySubstring) {
    struct row {
        const wchar_t* cmd;
        int hook, autostart, capture, settings, updated;
        unsigned action;
    } rows[] = {
        {nullptr, 0, 0, 0, 0, 0, LAUNCH_NONE},
        {L"", 0, 0, 0, 0, 0, LAUNCH_NONE},
        {L"--autostart", 0, 1, 0, 0, 0, LAUNCH_NONE},
        {L"--capture", 0, 0, 1, 0, 0, LAUNCH_REGION},
        {L"--capture region", 0, 0, 1, 0, 0, LAUNCH_REGION},
        {L"--capture clip", 0, 0, 1, 0, 0, LAUNCH_CLIP},
        {L"--capture  clip", 0, 0, 1, 0, 0, LAUNCH_REGION},    // not the exact phrase
        {L"--capture window", 0, 0, 1, 0, 0, LAUNCH_REGION},   // anything else is a region
        {L"--capture clipboard", 0, 0, 1, 0, 0, LAUNCH_CLIP},  // substring rule
        {L"--CAPTURE clip", 0, 0, 0, 0, 0, LAUNCH_NONE},       // case matters
        {L"--settings --updated", 0, 0, 0, 1, 1, LAUNCH_NONE},
        {L"--veloapp-install 0.2.12", 1, 0, 0, 0, 0, LAUNCH_NONE},
        {L"x--autostartx", 0, 1, 0, 0, 0, LAUNCH_NONE},
    };
    for (const row& r : rows) {
        launch_switches sw;
        memset(&sw, 0xCD, sizeof sw);
        agent_launch_switches(r.cmd, &sw);
        SCOPED_TRACE(r.cmd ? r.cmd : L"(null)");
        EXPECT_EQ(sw.installer_hook, r.hook);
        EXPECT_EQ(sw.autostart, r.autostart);
        EXPECT_EQ(sw.capture, r.capture);
        EXPECT_EQ(sw.settings, r.settings);
        EXPECT_EQ(sw.updated, r.updated);
        EXPECT_EQ(sw.action, r.action);
    }
}

TEST(AgentLaunch, StartupinfoInspectedOnlyWithoutSwitches) {
    struct row {
        const wchar_t* cmd;
        bool inspect;
    } rows[] = {
        {L"", true}, {L"--updated", true}, {L"--capture clip", false}, {L"--settings", false}, {L"--autostart", false},
    };
    for (const row& r : rows) {
        launch_switches sw;
        agent_launch_switches(r.cmd, &sw);
        EXPECT_EQ(agent_launch_inspects_startupinfo(&sw), r.inspect) << r.cmd;
    }
}

TEST(AgentLaunch, TaskbarVerdict) {
    const wchar_t* pinned =
        L"C:\\Users\\ann\\AppData\\Roaming\\Microsoft\\Internet Explorer\\Quick Launch\\User Pinned\\TaskBar\\Ivra.lnk";
    const wchar_t* start_menu = L"C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\Ivra.lnk";
    struct row {
        unsigned long flags;
        const wchar_t* title;
        taskbar_verdict want;
    } rows[] = {
        {0x1000, L"velopack.Ivra", TASKBAR_IF_CURSOR_ON_TRAY},
        {0x1000, L"VELOPACK.IVRA", TASKBAR_IF_CURSOR_ON_TRAY},
        {0x1000, L"velopack.Ivra2", TASKBAR_NO},
        {0x1000, L"Contoso.App", TASKBAR_NO},
        {0x1800, L"Contoso.App", TASKBAR_NO},  // another app id is never ours
        {0x800, pinned, TASKBAR_YES},
        {0x800, start_menu, TASKBAR_NO},
        {0x800, L"\\user pinned\\taskbar", TASKBAR_NO},  // needs the trailing separator
        {0, pinned, TASKBAR_NO},
        {0x1000, nullptr, TASKBAR_NO},
        {0x800, nullptr, TASKBAR_NO},
    };
    for (const row& r : rows)
        EXPECT_EQ(agent_launch_taskbar(r.flags, r.title), r.want)
            << std::hex << r.flags << " " << (r.title ? "title" : "null");
    EXPECT_EQ(agent_launch_taskbar_action(true), (unsigned)LAUNCH_CLIP);
    EXPECT_EQ(agent_launch_taskbar_action(false), (unsigned)LAUNCH_REGION);
}

TEST(AgentLaunch, PathLeaf) {
    struct row {
        const wchar_t* path;
        const wchar_t* leaf;
    } rows[] = {
        {nullptr, L""},
        {L"", L""},
        {L"ivrad.exe", L"ivrad.exe"},
        {L"C:\\a\\ivrad.exe", L"ivrad.exe"},
        {L"C:/a/b.lnk", L"b.lnk"},
        {L"C:\\a\\", L""},
    };
    for (const row& r : rows) EXPECT_STREQ(agent_path_leaf(r.path), r.leaf);
}

TEST(AgentLaunch, VelopackCurrentFolder) {
    struct row {
        const wchar_t* exe;
        bool ok;
        const wchar_t* parent;
    } rows[] = {
        {L"C:\\Users\\a\\AppData\\Local\\Ivra\\current\\ivrad.exe", true, L"C:\\Users\\a\\AppData\\Local\\Ivra"},
        {L"C:\\Ivra\\Current\\ivrad.exe", true, L"C:\\Ivra"},
        {L"C:\\Ivra\\currently\\ivrad.exe", false, nullptr},
        {L"C:\\Ivra\\xcurrent\\ivrad.exe", false, nullptr},
        {L"C:\\Ivra\\ivrad.exe", false, nullptr},
        {L"current\\ivrad.exe", false, nullptr},
        {L"ivrad.exe", false, nullptr},
        {nullptr, false, nullptr},
    };
    for (const row& r : rows) {
        wchar_t parent[260] = L"untouched";
        EXPECT_EQ(agent_exe_in_current_dir(r.exe, parent, 260), r.ok) << (r.exe ? r.exe : L"(null)");
        EXPECT_STREQ(parent, r.ok ? r.parent : L"untouched");
    }
    wchar_t tiny[4] = L"abc";
    EXPECT_FALSE(agent_exe_in_current_dir(L"C:\\Ivra\\current\\ivrad.exe", tiny, 4));
    EXPECT_STREQ(tiny, L"abc");
}

TEST(AgentLaunch, ForcedDigit) {
    struct row {
        const wchar_t* value;
        int want;
    } rows[] = {
        {nullptr, -1},
        {L"2", 2},
        {L"0", 0},
        {L"9", 9},
        {L" 3", 3},
        {L"7x", 7},
        {L"abc", 0},
        {L"", 0},
        {L"10", -1},
        {L"-1", -1},
        {L"99999999999999999999", -1},
    };
    for (const row& r : rows) EXPECT_EQ(agent_forced_digit_parse(r.value), r.want) << (r.value ? r.value : L"(null)");
}

TEST(AgentLaunch, SlowDispatchThreshold) {
    struct row {
        unsigned long long ms;
        bool slow;
    } rows[] = {{0, false}, {249, false}, {250, true}, {300, true}, {8000, true}};
    for (const row& r : rows) EXPECT_EQ(agent_dispatch_is_slow(r.ms), r.slow) << r.ms;
}

TEST(AgentLaunch, LaunchRecordText) {
    SYSTEMTIME t = test_systemtime(2026, 3, 7, 9, 5, 1);
    char out[64];
    size_t n = agent_launch_record_text(out, sizeof out, 4242, &t);
    EXPECT_STREQ(out, "pid 4242 started 2026-03-07 09:05:01");
    EXPECT_EQ(n, strlen(out));
    char small[10] = "keep";
    EXPECT_EQ(agent_launch_record_text(small, sizeof small, 4242, &t), 0u);
    EXPECT_STREQ(small, "keep");
}

TEST(MainWindow, RouteName) {
    struct row {
        LPARAM lp;
        const char* name;
    } rows[] = {
        {0, "registered"},        {3, "registered"}, {0x10000, "raw"},  {0x10009, "raw"},
        {0x20000, "hook"},        {0x2FFFF, "hook"}, {0x30000, "none"}, {(LPARAM)0xFFFF0000, "none"},
        {(LPARAM)-65536, "none"},
    };
    for (const row& r : rows) EXPECT_STREQ(main_window_route_name(r.lp), r.name) << std::hex << r.lp;
}

namespace {
int g_poll_calls;
int g_poll_result;
int fake_poll(void) {
    g_poll_calls++;
    return g_poll_result;
}
}  // namespace

TEST(MainWindow, ActionDigit) {
    struct row {
        int forced;
        LPARAM lp;
        int held;  // what the keyboard poll would say
        int want;
        int polls;
    } rows[] = {
        {2, 0x00005, 7, 2, 0},   // forced wins over the message and the keys
        {-1, 0x00003, 7, 3, 0},  // the message's digit needs no poll
        {0, 0x10004, 7, 4, 0},
        {-1, 0x00000, 6, 6, 1},             // registered route polls the keys
        {0, 0x10000, 0, 0, 1},              // raw route polls; nothing held
        {-1, 0x20000, 6, 0, 0},             // the hook route never polls
        {-1, (LPARAM)0xFFFF0000, 8, 8, 1},  // launches and the tray poll too
    };
    for (const row& r : rows) {
        g_poll_calls = 0;
        g_poll_result = r.held;
        EXPECT_EQ(main_window_action_digit(r.forced, r.lp, fake_poll), r.want) << std::hex << r.lp;
        EXPECT_EQ(g_poll_calls, r.polls) << std::hex << r.lp;
    }
}

TEST(Hotkeys, PrtScRule) {
    auto cfg = std::make_unique<config>();
    config_defaults(cfg.get());
    EXPECT_TRUE(hotkeys_use_prtsc(cfg.get()));  // hk_screen defaults to PrtSc
    for (auto& hk : cfg->hotkeys) hk = hotkey_pair{0, 0};
    EXPECT_FALSE(hotkeys_use_prtsc(cfg.get()));
    cfg->hotkeys[HOTKEY_CLIP_REDO - 1] = hotkey_pair{0x4002, VK_SNAPSHOT};
    EXPECT_TRUE(hotkeys_use_prtsc(cfg.get()));

    struct row {
        bool read_ok;
        DWORD value;
        bool write;
    } rows[] = {{true, 0, false}, {true, 1, true}, {false, 0, true}, {false, 1, true}};
    for (const row& r : rows) EXPECT_EQ(hotkeys_snipping_needs_write(r.read_ok, r.value), r.write);
}

// A taken combination is reported per row; keyless rows count as registered.
TEST(Hotkeys, RegistrationResults) {
    HWND wnd = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ASSERT_NE(wnd, nullptr);
    auto cfg = std::make_unique<config>();
    config_defaults(cfg.get());
    for (auto& hk : cfg->hotkeys) hk = hotkey_pair{0, 0};
    cfg->hotkeys[HOTKEY_REGION - 1] = hotkey_pair{MOD_CONTROL | MOD_ALT | MOD_SHIFT, VK_F9};
    cfg->hotkeys[HOTKEY_CLIP - 1] = hotkey_pair{MOD_CONTROL | MOD_ALT | MOD_SHIFT, VK_F9};  // same keys again

    EXPECT_EQ(hotkeys_register(wnd, cfg.get()), 1);
    int reg[HOTKEY_COUNT];
    DWORD err[HOTKEY_COUNT];
    hotkeys_results(reg, err);
    for (int i = 0; i < HOTKEY_COUNT; i++) {
        SCOPED_TRACE(i + 1);
        if (i == HOTKEY_CLIP - 1) {
            EXPECT_EQ(reg[i], 0);
            EXPECT_NE(err[i], 0u);
        } else {
            EXPECT_EQ(reg[i], 1);
            EXPECT_EQ(err[i], 0u);
        }
    }

    // After unregistering, a reload with the clash removed registers every row.
    hotkeys_unregister(wnd);
    cfg->hotkeys[HOTKEY_CLIP - 1] = hotkey_pair{MOD_CONTROL | MOD_ALT | MOD_SHIFT, VK_F10};
    EXPECT_EQ(hotkeys_register(wnd, cfg.get()), 0);
    hotkeys_results(reg, err);
    EXPECT_EQ(reg[HOTKEY_CLIP - 1], 1);
    EXPECT_EQ(err[HOTKEY_CLIP - 1], 0u);
    hotkeys_unregister(wnd);
    DestroyWindow(wnd);
}

TEST(AgentConfig, SetThenCopyIsWhole) {
    auto a = std::make_unique<config>();
    auto b = std::make_unique<config>();
    config_defaults(a.get());
    a->mem_percent = 33;
    wcscpy(a->clip_encoder, L"h264_mf");
    agent_config_set(a.get());
    memset(b.get(), 0, sizeof(config));
    agent_config_copy(b.get());
    EXPECT_EQ(memcmp(a.get(), b.get(), sizeof(config)), 0);
}

TEST(AgentSettings, CommandLineFromModulePath) {
    const wchar_t* spaced = L"C:\\Program Files\\Ivra app\\ivrad.exe";
    std::wstring long_dir = L"C:\\" + std::wstring(250, L'd') + L"\\ivrad.exe";  // 264: GetModuleFileNameW cuts it
    std::wstring fits = L"C:\\" + std::wstring(248, L'd') + L"\\x.exe";          // 257, but ivra.exe makes 260
    struct row {
        const wchar_t* module;
        unsigned long n;
        const wchar_t* arg;
        const wchar_t* path;  // null: refused
        const wchar_t* cmd;
        unsigned long err;
    } rows[] = {
        {spaced, 35, nullptr, L"C:\\Program Files\\Ivra app\\ivra.exe", L"\"C:\\Program Files\\Ivra app\\ivra.exe\"",
         0},
        {spaced, 35, L"--welcome", L"C:\\Program Files\\Ivra app\\ivra.exe",
         L"\"C:\\Program Files\\Ivra app\\ivra.exe\" --welcome", 0},
        {L"D:\\a\\ivrad.exe", 14, L"--page about", L"D:\\a\\ivra.exe", L"\"D:\\a\\ivra.exe\" --page about", 0},
        {L"", 0, nullptr, nullptr, nullptr, ERROR_BAD_PATHNAME},                        // GetModuleFileNameW failed
        {long_dir.c_str(), 260, nullptr, nullptr, nullptr, ERROR_INSUFFICIENT_BUFFER},  // cut to the buffer
        {L"ivrad.exe", 9, nullptr, nullptr, nullptr, ERROR_BAD_PATHNAME},  // no folder: never the current one
        {fits.c_str(), 257, nullptr, nullptr, nullptr, ERROR_FILENAME_EXCED_RANGE},
    };
    for (const row& r : rows) {
        wchar_t path[260] = L"untouched", cmd[400] = L"untouched";
        unsigned long err = 0;
        bool ok = agent_settings_command(r.module, r.n, r.arg, path, cmd, 400, &err);
        EXPECT_EQ(ok, r.path != nullptr) << test_utf8(r.module);
        EXPECT_STREQ(path, r.path ? r.path : L"untouched");
        EXPECT_STREQ(cmd, r.cmd ? r.cmd : L"untouched");
        EXPECT_EQ(err, r.err);
    }
    wchar_t path[260], small[20];
    unsigned long err = 0;
    EXPECT_FALSE(agent_settings_command(spaced, 35, nullptr, path, small, 20, &err));
    EXPECT_EQ(err, (unsigned long)ERROR_FILENAME_EXCED_RANGE);
}

TEST(AgentDebug, PauseOnlyWithHooksOn) {
    struct row {
        const wchar_t* hooks;
        const wchar_t* value;
        unsigned long ms;
    } rows[] = {
        {L"1", L"12000", 12000}, {L"1yes", L"250ms", 250}, {L"1", L"x", 0},
        {L"1", nullptr, 0},      {nullptr, L"500", 0},     {L"0", L"500", 0},
        {L"", L"500", 0},        {L"12345678", L"500", 0}, {L"1", L"9999999999", 600000},
    };
    for (const row& r : rows)
        EXPECT_EQ(agent_debug_pause_ms(r.hooks, r.value), r.ms)
            << (r.hooks ? test_utf8(r.hooks) : "(null)") << " " << (r.value ? test_utf8(r.value) : "(null)");
}

TEST(AgentCapture, WaitForReadyEndsOnReadyTimeOutOrStop) {
    g_agent.capture_ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_agent.stop_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_agent.quitting = 0;
    const char* code = "untouched";
    const char* msg = "untouched";

    EXPECT_FALSE(agent_capture_wait_ready(50, &code, &msg));
    EXPECT_STREQ(code, "busy");
    EXPECT_STREQ(msg, "capture is starting; try again");

    SetEvent(g_agent.capture_ready);
    code = msg = "untouched";
    EXPECT_TRUE(agent_capture_wait_ready(50, &code, &msg));
    EXPECT_STREQ(code, "untouched");

    // A stop ends a long wait at once, also for a thread already waiting.
    ResetEvent(g_agent.capture_ready);
    struct waiter {
        static DWORD WINAPI run(void* arg) {
            const char** out = (const char**)arg;
            ULONGLONG t0 = GetTickCount64();
            agent_capture_wait_ready(60000, &out[0], &out[1]);
            return (DWORD)(GetTickCount64() - t0);
        }
    };
    const char* out[2] = {nullptr, nullptr};
    HANDLE th = CreateThread(nullptr, 0, waiter::run, out, 0, nullptr);
    ASSERT_NE(th, nullptr);
    EXPECT_EQ(WaitForSingleObject(th, 200), (DWORD)WAIT_TIMEOUT);
    agent_begin_stop();
    ASSERT_EQ(WaitForSingleObject(th, 20000), WAIT_OBJECT_0);
    DWORD waited = 0;
    GetExitCodeThread(th, &waited);
    CloseHandle(th);
    EXPECT_LT(waited, 20000u);
    EXPECT_STREQ(out[0], "busy");
    EXPECT_STREQ(out[1], "agent is stopping");
    SetEvent(g_agent.capture_ready);  // ready, but stopping still refuses
    EXPECT_FALSE(agent_capture_wait_ready(50, &code, &msg));
    EXPECT_STREQ(msg, "agent is stopping");

    CloseHandle(g_agent.capture_ready);
    CloseHandle(g_agent.stop_event);
    g_agent.capture_ready = g_agent.stop_event = nullptr;
    g_agent.quitting = 0;
}
