#include "cli/cmd_settings.h"
#include "cli/cli.h"
#include "cli/pipe_client.h"
#include "common/win.h"
#include <cwchar>

static const wchar_t settings_class[] = L"IvraSettingsWnd";

static void cmd_settings_bring_front(HWND w) {
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    if (pid) AllowSetForegroundWindow(pid);
    if (IsIconic(w)) ShowWindow(w, SW_RESTORE);
    SetForegroundWindow(w);
}

// The one JSON object of open, focus and close.
static int cmd_settings_json(bool open, bool was_open) {
    if (g_cli.json)
        cli_out_printf("{\"open\":%s,\"was_open\":%s}\n", open ? "true" : "false", was_open ? "true" : "false");
    return CLI_EXIT_OK;
}

static int cmd_settings_open() {
    HWND w = cli_find_window(settings_class);
    if (w) {
        cmd_settings_bring_front(w);
        return cmd_settings_json(true, true);
    }
    HANDLE process = nullptr;
    int started = cli_start_sibling(L"ivra.exe", "capture_failed", CLI_EXIT_FAILED, &process);
    if (started != CLI_EXIT_OK) return started;
    CloseHandle(process);
    for (int i = 0; i < 30; i++) {
        Sleep(100);
        if (cli_find_window(settings_class)) return cmd_settings_json(true, false);
    }
    return cli_fail("capture_failed", CLI_EXIT_FAILED, "settings window did not appear");
}

int cmd_settings_command(int argc, wchar_t** argv) {
    const wchar_t* op = argc > 0 ? argv[0] : L"";
    if (wcscmp(op, L"status") == 0) {
        bool open = cli_find_window(settings_class) != nullptr;
        if (g_cli.json)
            cli_out_printf("{\"open\":%s}\n", open ? "true" : "false");
        else
            cli_out_printf("settings: %s\n", open ? "open" : "closed");
        return CLI_EXIT_OK;
    }
    if (wcscmp(op, L"open") == 0) return cmd_settings_open();
    if (wcscmp(op, L"focus") == 0) {
        HWND w = cli_find_window(settings_class);
        if (!w) return cli_fail("not_found", CLI_EXIT_FAILED, "settings window is not open");
        cmd_settings_bring_front(w);
        return cmd_settings_json(true, true);
    }
    if (wcscmp(op, L"close") == 0) {
        HWND w = cli_find_window(settings_class);
        if (w)
            PostMessageW(w, WM_CLOSE, 0, 0);
        else
            cli_note("settings window is not open");
        return cmd_settings_json(false, w != nullptr);
    }
    return cli_usage(nullptr, "expects open|close|status|focus");
}
