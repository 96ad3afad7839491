#pragma once
// Help texts of every ivrac command and the guide for language-model agents.
// All texts are static wide strings, printed as UTF-8.

// The main help: version line, usage, the command list and the global flags.
const wchar_t* cli_help_main();

// The help text of a command word ("desktops" shares the text of "screens",
// "agent-docs" and "help" have their own); null when the word is no command.
const wchar_t* cli_help_topic(const wchar_t* word);

// The Markdown guide printed by "ivrac agent-docs".
const wchar_t* cli_help_agent_docs();
