#pragma once
// "ivrac config": read and write config.ini with the schema's validation and
// tell the running agent and an open settings window to reload.
#include <cstddef>

// One key and the text to set it to (both point into caller-owned strings).
struct config_pair {
    const wchar_t* key;    // as typed
    const wchar_t* value;  // empty text when none was given
};

// "ivrac config get|set|reset|schema|path ..."; argv holds the arguments after
// the command word. Returns the exit code.
int cmd_config(int argc, wchar_t** argv);

// Validates every pair against one loaded record (later pairs see earlier
// ones), then writes config.ini once and announces the change; nothing is
// written when any pair fails. Prints the changes. Returns the exit code.
int cmd_config_apply(const config_pair* pairs, int count, bool create_dirs, bool dry_run);

// Tells an open settings window and the running agent that config.ini changed.
void cmd_config_notify();

// The hotkey object of cmd_config_hotkey_report built from a "status" reply, without any
// system call: one member per hk_ field with the state after the value's last
// colon ("ok" when there is none). warnings (may be null) receives one line per
// hotkey whose state is neither "ok" nor "off". False, with out empty, when the
// reply is not "ok" or the object does not fit capacity.
bool cmd_config_hotkey_report_build(const char* reply, char* out, size_t capacity, char* warnings,
                                    size_t warnings_capacity);

// Asks the agent for its hotkey registration results and writes the JSON object
// {"hk_screen":"ok",...} into out (empty when the agent does not answer); warns
// on standard error for every hotkey that failed to register.
void cmd_config_hotkey_report(char* out, size_t capacity);
