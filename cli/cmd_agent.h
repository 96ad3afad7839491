#pragma once
// "ivrac agent": start, stop and restart the agent, repair the cursors, ask for
// a minidump, and manage the scheduled task that starts the agent at sign-in.
#include <cstddef>

// Runs the agent subcommand in argv[0]. Returns the exit code.
int cmd_agent_command(int argc, wchar_t** argv);

// Posts WM_CLOSE to the agent window and waits up to 3 s for it to go.
// Returns 0 (gone, or not running) or 1 (still there; already reported).
int cmd_agent_stop();

// Starts a command line (at most 519 characters) without a window and waits up
// to 20 s. Returns its exit code, or 0xFFFFFFFF when it cannot be started or
// does not end in time.
unsigned long cmd_agent_run_hidden(const wchar_t* command_line);

// ---- Pure parts of the autostart task (no Win32 call).

// The task definition (XML, CR LF line ends, without the byte-order mark) for
// the user, the agent's full path and its working folder; the values are
// XML-escaped. Returns the length in wide characters, or 0 (out untouched)
// when the text would not fit capacity.
size_t cmd_agent_autostart_task_xml(const wchar_t* user, const wchar_t* agent_path, const wchar_t* work_dir,
                                    wchar_t* out, size_t capacity);

// "DOMAIN\user" from the two environment values, at most 255 characters; only
// the user when the domain is empty. Returns false (out untouched) when the
// user is empty or the result does not fit.
bool cmd_agent_autostart_user_text(const wchar_t* domain, const wchar_t* user, wchar_t out[256]);

// The schtasks.exe command lines; false when the result would not fit out[520].
bool cmd_agent_autostart_create_command(const wchar_t* xml_path, wchar_t out[520]);
extern const wchar_t autostart_delete_command[];
extern const wchar_t autostart_query_command[];
