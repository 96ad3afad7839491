#include "cli/cmd_account.h"

#include "cli/cli.h"
#include "cli/cmd_config.h"
#include "common/account_link.h"
#include "common/config.h"
#include "common/win.h"

#include <shellapi.h>

#include <cstdio>
#include <cstring>
#include <cwchar>

// ---- Pure parts.

const char* cmd_account_mode_name(int upload_mode) {
    switch (upload_mode) {
    case 1: return "auto";
    case 2: return "manual";
    default: return "ask";
    }
}

size_t cmd_account_status_format(const account* acc, const char* server, const char* mode, const char* token_state,
                                 bool json, char* out, size_t capacity) {
    if (capacity == 0) return 0;
    const char* srv = acc ? acc->server : server;
    if (json) {
        char name[256], esc_server[600];
        cli_json_escape_utf8(acc ? acc->sl_name : "", name, sizeof name);
        cli_json_escape_utf8(srv, esc_server, sizeof esc_server);
        return cli_format(
            out, capacity,
            "{\"linked\":%s,\"account\":\"%s\",\"server\":\"%s\",\"upload_mode\":\"%s\",\"token\":\"%s\"}\n",
            acc ? "true" : "false", name, esc_server, mode, token_state);
    }
    if (!acc)
        return cli_format(
            out, capacity,
            "linked     no (captures are saved on this PC only)\nserver     %s\nlink with  ivrac account link\n", srv);
    size_t n = cli_format(out, capacity, "linked     yes\naccount    %s\nserver     %s\nuploads    %s\n", acc->sl_name,
                          srv, mode);
    if (strcmp(token_state, "none") != 0) n += cli_format(out + n, capacity - n, "token      %s\n", token_state);
    return n;
}

const char* cmd_account_token_state(bool checked_ok, int status) {
    if (checked_ok) return "valid";
    return status == 401 ? "revoked" : "unreachable";
}

void cmd_account_prompt_trim(char* text) {
    size_t n = strlen(text);
    while (n > 0 && (text[n - 1] == ' ' || text[n - 1] == '\r' || text[n - 1] == '\n')) n--;
    text[n] = 0;
    size_t lead = 0;
    while (text[lead] == ' ') lead++;
    memmove(text, text + lead, n - lead + 1);
}

// ---- Console.

bool cmd_account_prompt_line(const char* prompt, char* out, size_t size) {
    if (!out || size == 0) return false;
    cli_err_printf("%s", prompt);
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    if (!in || in == INVALID_HANDLE_VALUE) return false;
    DWORD mode = 0;
    if (GetConsoleMode(in, &mode)) {
        wchar_t line[256];
        DWORD got = 0;
        if (!ReadConsoleW(in, line, 255, &got, nullptr) || got == 0) return false;
        line[got] = 0;
        cli_utf8_from_wide(line, out, size);
        SecureZeroMemory(line, sizeof line);
        cmd_account_prompt_trim(out);
        return true;
    }
    size_t n = 0;
    bool any = false, line_end = false;
    char c;
    DWORD got = 0;
    while (n < size - 1) {
        if (!ReadFile(in, &c, 1, &got, nullptr) || got == 0) break;
        any = true;
        if (c == '\n') {
            line_end = true;
            break;
        }
        out[n++] = c;
    }
    // The rest of an over-long line is not the answer to the next question.
    if (n == size - 1 && !line_end)
        while (ReadFile(in, &c, 1, &got, nullptr) && got == 1 && c != '\n') {}
    out[n] = 0;
    if (!any) return false;
    cmd_account_prompt_trim(out);
    return true;
}

// ---- Subcommands.

namespace {

int account_status(const config* cfg, const char* server, account* acc, bool offline) {
    char out[2048];
    const char* mode = cmd_account_mode_name(cfg->upload_mode);
    if (!account_load(acc)) {
        cmd_account_status_format(nullptr, server, mode, "none", g_cli.json, out, sizeof out);
        cli_out_write(out);
        return CLI_EXIT_NOT_LINKED;
    }
    const char* state = "none";
    if (!offline) {
        api_result r = {};
        bool ok = link_check(acc, &r);
        state = cmd_account_token_state(ok, r.status);
    }
    cmd_account_status_format(acc, server, mode, state, g_cli.json, out, sizeof out);
    cli_out_write(out);
    return CLI_EXIT_OK;
}

// Polls while the code is still queued; returns 0 to go on, else the exit code.
int account_wait_sent(const link_challenge* ch) {
    char status[16], reason[32];
    api_result r = {};
    for (int polls = 1;; polls++) {
        if (!link_status(ch, status, reason, &r)) return cli_fail(r.code, CLI_EXIT_FAILED, "%s", r.message);
        if (strcmp(status, "queued") != 0 || polls >= 40) break;
        Sleep(1500);
    }
    if (strcmp(status, "failed") == 0)
        return cli_fail(reason[0] ? reason : "failed", CLI_EXIT_FAILED, "%s", link_reason_text(reason));
    cli_note("%s", strcmp(status, "queued") == 0 ? "Still waiting for Second Life; enter the code when the IM arrives."
                                                 : "Code sent. Check your IMs in Second Life.");
    return 0;
}

// Asks for the code up to five times; on success saves the link and reports it.
int account_enter_code(const link_challenge* ch, account* linked) {
    char code[32];
    api_result r = {};
    for (int attempt = 0; attempt < 5; attempt++) {
        if (!cmd_account_prompt_line("Code: ", code, sizeof code) || !code[0])
            return cli_fail("cancelled", CLI_EXIT_FAILED, "no code entered");
        bool ok = link_verify(ch, code, linked, &r);
        SecureZeroMemory(code, sizeof code);
        if (ok) {
            if (!account_save(linked))
                return cli_fail("save", CLI_EXIT_FAILED, "linked, but could not save the link on this PC");
            static config cfg;
            config_load(&cfg);
            if (cfg.onboarded == 0) {
                cfg.onboarded = 1;
                config_save(&cfg);
            }
            cmd_config_notify();
            if (g_cli.json) {
                char name[256];
                cli_json_escape_utf8(linked->sl_name, name, sizeof name);
                cli_out_printf("{\"linked\":true,\"account\":\"%s\"}\n", name);
            } else {
                cli_out_printf("Linked as %s.\n", linked->sl_name);
            }
            return CLI_EXIT_OK;
        }
        if (strcmp(r.code, "wrong_code") != 0 && strcmp(r.code, "not_sent") != 0)
            return cli_fail(r.code, CLI_EXIT_FAILED, "%s", r.message);
        cli_err_printf("%s\n", r.message);
    }
    return cli_fail("too_many_attempts", CLI_EXIT_FAILED, "too many wrong codes");
}

int account_link(int argc, wchar_t** argv, const char* server, account* acc) {
    if (account_load(acc))
        return cli_fail("already_linked", CLI_EXIT_FAILED,
                        "this PC is already linked to %s; run 'ivrac account unlink' first", acc->sl_name);
    char name[128] = "";
    if (argc > 1 && argv[1][0] != L'-')
        cli_utf8_from_wide(argv[1], name, sizeof name);
    else if (!cmd_account_prompt_line("Second Life username: ", name, sizeof name))
        name[0] = 0;
    if (!name[0]) return cli_usage(nullptr, "a Second Life username is required");

    link_challenge ch = {};
    api_result r = {};
    int rc;
    if (!link_start(server, name, &ch, &r)) {
        rc = cli_fail(r.code, CLI_EXIT_FAILED, "%s", r.message);
    } else {
        cli_note("Sending a code to %s in Second Life...", ch.sl_name);
        rc = account_wait_sent(&ch);
        if (rc == 0) rc = account_enter_code(&ch, acc);
    }
    SecureZeroMemory(&ch, sizeof ch);
    return rc;
}

int account_unlink(account* acc) {
    if (!account_load(acc)) {
        cli_out_write(g_cli.json ? "{\"linked\":false}\n" : "This PC is not linked.\n");
        return CLI_EXIT_OK;
    }
    char name[sizeof acc->sl_name];
    memcpy(name, acc->sl_name, sizeof name);
    link_unlink(acc);
    SecureZeroMemory(acc, sizeof *acc);
    cmd_config_notify();
    if (g_cli.json)
        cli_out_write("{\"linked\":false}\n");
    else
        cli_out_printf("Unlinked from %s. Captures stay on this PC.\n", name);
    return CLI_EXIT_OK;
}

int account_open(const char* server, account* acc) {
    const char* address = account_load(acc) ? acc->server : server;
    wchar_t wide[300];
    cli_wide_from_utf8(address, (size_t)-1, wide, 300);
    INT_PTR result = (INT_PTR)ShellExecuteW(nullptr, L"open", wide, nullptr, nullptr, SW_SHOWNORMAL);
    if (result <= 32) return cli_fail("open", CLI_EXIT_FAILED, "could not open %s", address);
    return CLI_EXIT_OK;
}

}  // namespace

int cmd_account_command(int argc, wchar_t** argv) {
    static config cfg;
    config_load(&cfg);
    char server[256];
    account_server(&cfg, server);
    const wchar_t* sub = argc > 0 && argv[0][0] != L'-' ? argv[0] : L"status";
    bool offline = false;
    for (int i = 0; i < argc; i++)
        if (wcscmp(argv[i], L"--offline") == 0) offline = true;

    account acc = {};
    int rc;
    if (wcscmp(sub, L"status") == 0)
        rc = account_status(&cfg, server, &acc, offline);
    else if (wcscmp(sub, L"link") == 0 || wcscmp(sub, L"login") == 0)
        rc = account_link(argc, argv, server, &acc);
    else if (wcscmp(sub, L"unlink") == 0 || wcscmp(sub, L"logout") == 0)
        rc = account_unlink(&acc);
    else if (wcscmp(sub, L"open") == 0)
        rc = account_open(server, &acc);
    else
        rc = cli_usage(nullptr, "expects status|link|unlink|open");
    SecureZeroMemory(&acc, sizeof acc);
    return rc;
}
