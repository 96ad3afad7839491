#include "cli/cmd_agent.h"
#include "cli/cli.h"
#include "cli/pipe_client.h"
#include "common/win.h"
#include <cstdio>
#include <cstring>
#include <cwchar>

const wchar_t autostart_delete_command[] = L"schtasks.exe /Delete /TN Ivra /F";
const wchar_t autostart_query_command[] = L"schtasks.exe /Query /TN Ivra";

// ---- Pure parts.

struct wide_builder {
    wchar_t* out;
    size_t capacity;
    size_t len;
    bool overflow;
};

static void cmd_agent_wb_text(wide_builder* b, const wchar_t* s) {
    size_t n = wcslen(s);
    if (b->overflow || b->len + n >= b->capacity) {
        b->overflow = true;
        return;
    }
    wmemcpy(b->out + b->len, s, n);
    b->len += n;
}

// A value inside an element: paths may hold '&' and the like, which would break the XML.
static void cmd_agent_wb_xml(wide_builder* b, const wchar_t* s) {
    for (; *s && !b->overflow; s++) {
        switch (*s) {
        case L'&': cmd_agent_wb_text(b, L"&amp;"); break;
        case L'<': cmd_agent_wb_text(b, L"&lt;"); break;
        case L'>': cmd_agent_wb_text(b, L"&gt;"); break;
        case L'"': cmd_agent_wb_text(b, L"&quot;"); break;
        case L'\'': cmd_agent_wb_text(b, L"&apos;"); break;
        default: {
            wchar_t one[2] = {*s, 0};
            cmd_agent_wb_text(b, one);
        }
        }
    }
}

size_t cmd_agent_autostart_task_xml(const wchar_t* user, const wchar_t* agent_path, const wchar_t* work_dir,
                                    wchar_t* out, size_t capacity) {
    static wchar_t work[8192];
    wide_builder b = {work, sizeof work / sizeof work[0], 0, false};
    const wchar_t* values[4] = {user, user, agent_path, work_dir};
    static const wchar_t* const parts[5] = {
        L"<?xml version=\"1.0\" encoding=\"UTF-16\"?>\r\n"
        L"<Task version=\"1.2\" xmlns=\"http://schemas.microsoft.com/windows/2004/02/mit/task\">\r\n"
        L"  <RegistrationInfo>\r\n"
        L"    <Description>Start the Ivra capture agent at sign-in</Description>\r\n"
        L"  </RegistrationInfo>\r\n"
        L"  <Triggers>\r\n"
        L"    <LogonTrigger>\r\n"
        L"      <Enabled>true</Enabled>\r\n"
        L"      <UserId>",
        L"</UserId>\r\n"
        L"      <Delay>PT10S</Delay>\r\n"
        L"    </LogonTrigger>\r\n"
        L"  </Triggers>\r\n"
        L"  <Principals>\r\n"
        L"    <Principal id=\"Author\">\r\n"
        L"      <UserId>",
        L"</UserId>\r\n"
        L"      <LogonType>InteractiveToken</LogonType>\r\n"
        L"      <RunLevel>LeastPrivilege</RunLevel>\r\n"
        L"    </Principal>\r\n"
        L"  </Principals>\r\n"
        L"  <Settings>\r\n"
        L"    <MultipleInstancesPolicy>IgnoreNew</MultipleInstancesPolicy>\r\n"
        L"    <DisallowStartIfOnBatteries>false</DisallowStartIfOnBatteries>\r\n"
        L"    <StopIfGoingOnBatteries>false</StopIfGoingOnBatteries>\r\n"
        L"    <ExecutionTimeLimit>PT0S</ExecutionTimeLimit>\r\n"
        L"    <StartWhenAvailable>true</StartWhenAvailable>\r\n"
        L"    <RestartOnFailure>\r\n"
        L"      <Interval>PT1M</Interval>\r\n"
        L"      <Count>3</Count>\r\n"
        L"    </RestartOnFailure>\r\n"
        L"  </Settings>\r\n"
        L"  <Actions Context=\"Author\">\r\n"
        L"    <Exec>\r\n"
        L"      <Command>",
        L"</Command>\r\n"
        L"      <Arguments>--autostart</Arguments>\r\n"
        L"      <WorkingDirectory>",
        L"</WorkingDirectory>\r\n"
        L"    </Exec>\r\n"
        L"  </Actions>\r\n"
        L"</Task>\r\n",
    };
    for (int i = 0; i < 5; i++) {
        cmd_agent_wb_text(&b, parts[i]);
        if (i < 4) cmd_agent_wb_xml(&b, values[i] ? values[i] : L"");
    }
    if (b.overflow || b.len + 1 > capacity) return 0;
    wmemcpy(out, work, b.len);
    out[b.len] = 0;
    return b.len;
}

bool cmd_agent_autostart_user_text(const wchar_t* domain, const wchar_t* user, wchar_t out[256]) {
    if (!user || !user[0]) return false;
    wchar_t text[256];
    int n = (domain && domain[0]) ? swprintf(text, 256, L"%ls\\%ls", domain, user) : swprintf(text, 256, L"%ls", user);
    if (n < 0 || n >= 256) return false;
    wcscpy(out, text);
    return true;
}

bool cmd_agent_autostart_create_command(const wchar_t* xml_path, wchar_t out[520]) {
    wchar_t text[520];
    int n = swprintf(text, 520, L"schtasks.exe /Create /TN Ivra /XML \"%ls\" /F", xml_path);
    if (n < 0 || n >= 520) return false;
    wcscpy(out, text);
    return true;
}

// ---- Commands.

unsigned long cmd_agent_run_hidden(const wchar_t* command_line) {
    wchar_t line[520];
    if (!command_line || wcslen(command_line) >= 520) return 0xFFFFFFFFul;
    wcscpy(line, command_line);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(nullptr, line, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi))
        return 0xFFFFFFFFul;
    CloseHandle(pi.hThread);
    DWORD code = 0xFFFFFFFFul;
    if (WaitForSingleObject(pi.hProcess, 20000) != WAIT_OBJECT_0 || !GetExitCodeProcess(pi.hProcess, &code))
        code = 0xFFFFFFFFul;
    CloseHandle(pi.hProcess);
    return code;
}

// Stops the agent; *was_running tells whether there was one. Returns 0 or 1 (reported).
static int cmd_agent_stop_quiet(bool* was_running) {
    HWND w = cli_find_window(L"IvraAgentWnd");
    *was_running = w != nullptr;
    if (!w) {
        cli_note("agent: not running");
        return CLI_EXIT_OK;
    }
    // The window goes before the process ends and frees the single-instance mutex;
    // waiting for the process too lets a following start succeed.
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    HANDLE process = pid ? OpenProcess(SYNCHRONIZE, FALSE, pid) : nullptr;
    PostMessageW(w, WM_CLOSE, 0, 0);
    int result = CLI_EXIT_FAILED;
    for (int i = 0; i < 30; i++) {
        Sleep(100);
        if (!IsWindow(w)) {
            result = CLI_EXIT_OK;
            break;
        }
    }
    if (process) {
        if (result == CLI_EXIT_OK) WaitForSingleObject(process, 3000);
        CloseHandle(process);
    }
    if (result != CLI_EXIT_OK) return cli_fail("agent_unavailable", CLI_EXIT_FAILED, "agent did not exit");
    return CLI_EXIT_OK;
}

int cmd_agent_stop() {
    bool was_running = false;
    return cmd_agent_stop_quiet(&was_running);
}

// The one JSON object of start, stop and restart.
static int cmd_agent_state_json(int rc, bool running, bool was_running) {
    if (rc == CLI_EXIT_OK && g_cli.json)
        cli_out_printf("{\"running\":%s,\"was_running\":%s}\n", running ? "true" : "false",
                       was_running ? "true" : "false");
    return rc;
}

static int cmd_agent_fix_cursor() {
    SystemParametersInfoW(SPI_SETCURSORS, 0, nullptr, 0);
    wchar_t appdata[260], marker[300];
    DWORD n = GetEnvironmentVariableW(L"APPDATA", appdata, 260);
    if (n == 0 || n >= 260) wcscpy(appdata, L".");
    swprintf(marker, 300, L"%ls\\Ivra\\cursor_hidden", appdata);
    DeleteFileW(marker);
    cli_note("system cursors restored");
    if (g_cli.json) cli_out_write("{\"cursors_restored\":true}\n");
    return CLI_EXIT_OK;
}

static int cmd_agent_dump() {
    char reply[1024];
    int r = pipe_client_call_start("dump", reply, sizeof reply, 30000);
    if (r != CLI_EXIT_OK) return r;
    if (!pipe_client_reply_ok(reply))
        return cli_fail("dump_failed", CLI_EXIT_FAILED, "the agent could not write a minidump");
    char path[1024];
    pipe_client_reply_field_get_utf8(reply, "path", path, sizeof path);
    if (g_cli.json) {
        char esc[CLI_ESCAPE_BUFFER];
        cli_json_escape_utf8(path, esc, sizeof esc);
        cli_out_printf("{\"path\":\"%s\"}\n", esc);
    } else {
        cli_out_printf("%s\n", path);
    }
    return CLI_EXIT_OK;
}

static void cmd_agent_autostart_remove_run_value() {
    HKEY key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Run", 0, KEY_SET_VALUE,
                      &key) != ERROR_SUCCESS)
        return;
    RegDeleteValueW(key, L"Ivra");
    RegCloseKey(key);
}

// Writes the task definition as UTF-16LE with a byte-order mark. Returns false
// when the file cannot be created or written whole (a partial file is removed).
static bool cmd_agent_autostart_write_task(const wchar_t* path) {
    static wchar_t xml[8192];
    wchar_t domain[256] = L"", user[256] = L"", who[256], agent[260], dir[260];
    DWORD dn = GetEnvironmentVariableW(L"USERDOMAIN", domain, 256);
    if (dn >= 256) domain[0] = 0;
    DWORD un = GetEnvironmentVariableW(L"USERNAME", user, 256);
    if (un >= 256) user[0] = 0;
    if (!cmd_agent_autostart_user_text(domain, user, who)) return false;
    if (!cli_sibling_path(L"ivrad.exe", agent)) return false;
    wcscpy(dir, agent);
    *wcsrchr(dir, L'\\') = 0;
    size_t len = cmd_agent_autostart_task_xml(who, agent, dir, xml + 1, 8191);
    if (len == 0) return false;
    xml[0] = 0xFEFF;
    HANDLE f = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr);
    if (f == INVALID_HANDLE_VALUE) return false;
    DWORD want = (DWORD)((len + 1) * sizeof(wchar_t)), done = 0;
    bool ok = WriteFile(f, xml, want, &done, nullptr) && done == want;
    CloseHandle(f);
    if (!ok) DeleteFileW(path);
    return ok;
}

static int cmd_agent_autostart(int argc, wchar_t** argv) {
    const wchar_t* op = argc > 0 ? argv[0] : L"status";
    bool on = wcscmp(op, L"on") == 0, off = wcscmp(op, L"off") == 0;
    if (!on && !off && wcscmp(op, L"status") != 0) return cli_usage(nullptr, "autostart expects on|off|status");
    if (on || off) cmd_agent_autostart_remove_run_value();
    if (on) {
        wchar_t temp[260], path[300], cmd[520];
        DWORD tn = GetTempPathW(260, temp);
        if (tn == 0 || tn >= 260 || swprintf(path, 300, L"%lsivra-task.xml", temp) < 0 ||
            !cmd_agent_autostart_write_task(path))
            return cli_fail("autostart", CLI_EXIT_FAILED, "cannot write the task definition");
        unsigned long code = cmd_agent_autostart_create_command(path, cmd) ? cmd_agent_run_hidden(cmd) : 0xFFFFFFFFul;
        DeleteFileW(path);
        if (code != 0) return cli_fail("autostart", CLI_EXIT_FAILED, "schtasks /Create failed (exit %lu)", code);
    } else if (off) {
        cmd_agent_run_hidden(autostart_delete_command);
    }
    bool exists = cmd_agent_run_hidden(autostart_query_command) == 0;
    if (g_cli.json)
        cli_out_printf("{\"autostart\":%s,\"method\":\"scheduled task (at log on)\"}\n", exists ? "true" : "false");
    else
        cli_out_printf("autostart      %s%s\n", exists ? "on" : "off",
                       exists ? "  (Task Scheduler \"Ivra\", at log on, +10 s)" : "");
    return CLI_EXIT_OK;
}

int cmd_agent_command(int argc, wchar_t** argv) {
    const wchar_t* op = argc > 0 ? argv[0] : L"";
    if (wcscmp(op, L"start") == 0) {
        if (cli_find_window(L"IvraAgentWnd")) {
            cli_note("agent already running");
            return cmd_agent_state_json(CLI_EXIT_OK, true, true);
        }
        return cmd_agent_state_json(pipe_client_agent_launch(), true, false);
    }
    bool was_running = false;
    if (wcscmp(op, L"stop") == 0) {
        int rc = cmd_agent_stop_quiet(&was_running);
        return cmd_agent_state_json(rc, false, was_running);
    }
    if (wcscmp(op, L"restart") == 0) {
        if (cmd_agent_stop_quiet(&was_running) != CLI_EXIT_OK) return CLI_EXIT_FAILED;
        int rc = pipe_client_agent_launch();
        return cmd_agent_state_json(rc, true, was_running);
    }
    if (wcscmp(op, L"fix-cursor") == 0) return cmd_agent_fix_cursor();
    if (wcscmp(op, L"dump") == 0) return cmd_agent_dump();
    if (wcscmp(op, L"autostart") == 0) return cmd_agent_autostart(argc - 1, argv + 1);
    return cli_usage(nullptr, "expects start|stop|restart|fix-cursor|dump|autostart");
}
