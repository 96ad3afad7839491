#pragma once
// Read-only inspection commands: "windows" (computed here), "screens" (the
// agent's monitor list) and "last" (recent paths from history.txt).
#include <cstddef>

struct win_entry;
struct monitor_entry;

// ---- Pure parts (no Win32 call).

// One text line of "windows" with its line feed. Returns the bytes written.
size_t cmd_listing_windows_text_line(const win_entry* e, char* out, size_t capacity);
// One JSON object of "windows", preceded by a comma unless first.
size_t cmd_listing_windows_json_item(const win_entry* e, bool active, bool first, char* out, size_t capacity);

// The text of "screens": one line per monitor ("-" in the primary column of the
// others, so every line has the same fields) and the "virtual" line; nothing
// for an empty list. Cut to capacity.
void cmd_listing_screens_text(const monitor_entry* m, int count, char* out, size_t capacity);
// The JSON array of "screens" with its line feed. False, out empty, when it
// does not fit (a cut array would not be JSON).
bool cmd_listing_screens_json(const monitor_entry* m, int count, char* out, size_t capacity);

// The -n count of "last": the value after "-n" (which must not be the last
// argument); values below 2 or unreadable give 1; default 1.
long cmd_listing_last_count(int argc, wchar_t** argv);

// Calls visit for the last `count` non-empty lines of the text (line feeds
// separate lines), newest first. Returns how many were visited.
long cmd_listing_last_visit(const char* text, size_t len, long count,
                            void (*visit)(const char* line, size_t len, void* ctx), void* ctx);

// ---- Commands; argv holds the arguments after the command word.

int cmd_listing_windows_command(int argc, wchar_t** argv);  // always 0
int cmd_listing_screens_command(int argc, wchar_t** argv);  // 0, or the monitor list's failure
int cmd_listing_last_command(int argc, wchar_t** argv);     // always 0
