#include "cli/cli_main.h"
#include "cli/cli.h"
#include "cli/cli_help.h"
#include "cli/cmd_account.h"
#include "cli/cmd_agent.h"
#include "cli/cmd_clip.h"
#include "cli/cmd_config.h"
#include "cli/cmd_listing.h"
#include "cli/cmd_settings.h"
#include "cli/cmd_shot.h"
#include "cli/cmd_status.h"
#include "cli/cmd_storage.h"
#include "cli/cmd_upload.h"
#include "common/win.h"
#include <cwchar>

static int cli_main_agent_docs(int, wchar_t**) {
    cli_out_write_wide(cli_help_agent_docs());
    return CLI_EXIT_OK;
}

struct cli_command {
    const wchar_t* word;
    int (*run)(int argc, wchar_t** argv);
};

static const cli_command cli_main_commands[] = {
    {L"shot", cmd_shot_command},
    {L"clip", cmd_clip_command},
    {L"replay", cmd_clip_replay_command},
    {L"account", cmd_account_command},
    {L"upload", cmd_upload_command},
    {L"windows", cmd_listing_windows_command},
    {L"screens", cmd_listing_screens_command},
    {L"desktops", cmd_listing_screens_command},
    {L"last", cmd_listing_last_command},
    {L"status", cmd_status_command},
    {L"input", cmd_status_input_command},
    {L"agent", cmd_agent_command},
    {L"config", cmd_config},
    {L"settings", cmd_settings_command},
    {L"folders", cmd_status_folders_command},
    {L"storage", cmd_storage_command},
    {L"agent-docs", cli_main_agent_docs},
};

static void cli_main_help() { cli_out_write_wide(cli_help_main()); }

int cli_main(int argc, wchar_t** argv) {
    SetConsoleOutputCP(65001);
    SetConsoleCP(65001);
    if (argc <= 1) {
        cli_main_help();
        return CLI_EXIT_OK;
    }
    cli_args a;
    cli_parse_args(argc, argv, &a);
    g_cli.json = a.json;
    g_cli.quiet = a.quiet;
    if (a.version) {
        cli_out_write(a.json ? "{\"version\":\"" IVRAC_VERSION_TEXT "\"}\n" : "ivrac " IVRAC_VERSION_TEXT "\n");
        return CLI_EXIT_OK;
    }
    if (a.count == 0) {
        cli_main_help();
        return CLI_EXIT_OK;
    }
    const wchar_t* word = a.positional[0];
    g_cli.command = word;
    if (a.help || wcscmp(word, L"help") == 0) {
        // For "help" the topic is the next word, also when -h is given as well;
        // "help -h" alone asks about help itself.
        bool help_word = wcscmp(word, L"help") == 0;
        const wchar_t* topic = !help_word ? word : a.count > 1 ? a.positional[1] : a.help ? word : nullptr;
        if (!topic || !topic[0]) {
            cli_main_help();
            return CLI_EXIT_OK;
        }
        const wchar_t* text = cli_help_topic(topic);
        if (!text) {
            cli_err_printf("ivrac: unknown command\n");
            cli_main_help();
            return CLI_EXIT_USAGE;
        }
        cli_out_write_wide(text);
        return CLI_EXIT_OK;
    }
    for (const auto& c : cli_main_commands)
        if (wcscmp(c.word, word) == 0) return c.run(a.count - 1, a.positional + 1);
    char w[64];
    cli_utf8_from_wide(word, w, sizeof w);
    cli_err_printf("ivrac: unknown command '%s'\n", w);
    cli_main_help();
    return CLI_EXIT_USAGE;
}
