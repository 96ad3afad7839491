#pragma once
// The frame every ivrac command shares: global flags, output and failure
// functions writing UTF-8 to the standard handles, JSON string escaping and the
// exit codes. The dispatcher above the commands is in cli_main.h.
#include "common/version.h"
#include <cstdarg>
#include <cstddef>

#if defined(__GNUC__)
#define CLI_PRINTF(fmt_index, first_arg) __attribute__((format(gnu_printf, fmt_index, first_arg)))
#else
#define CLI_PRINTF(fmt_index, first_arg)
#endif

#define IVRAC_VERSION_TEXT IVRA_VERSION_TEXT

// Process exit codes; every command uses the same meanings.
enum cli_exit {
    CLI_EXIT_OK = 0,          // success, help or version shown
    CLI_EXIT_FAILED = 1,      // operation failed, error reply, no reply, timed out
    CLI_EXIT_USAGE = 2,       // bad or missing argument, unknown command word
    CLI_EXIT_AGENT = 3,       // agent unavailable
    CLI_EXIT_TARGET = 4,      // bad, missing or ambiguous target
    CLI_EXIT_IDLE = 5,        // idle or busy
    CLI_EXIT_NOT_LINKED = 6,  // account not linked
};

enum {
    CLI_MAX_POSITIONAL = 128,
    CLI_OUT_BUFFER = 8192,
    CLI_ERR_BUFFER = 4096,
    CLI_NOTE_BUFFER = 1024,
    CLI_FAIL_BUFFER = 1024,
    CLI_ESCAPE_BUFFER = 2048,
};

// The command line split into global flags and positional arguments.
struct cli_args {
    bool json;     // --json
    bool quiet;    // -q, --quiet
    bool help;     // -h, --help
    bool version;  // --version
    int count;     // positional arguments, command word first
    wchar_t* positional[CLI_MAX_POSITIONAL];
};

// Process-wide state, set once in cli_main and read by every command.
struct cli_state {
    bool json;
    bool quiet;
    const wchar_t* command;  // current command word; "ivrac" until one is known
};
extern cli_state g_cli;

// ---- Pure helpers (no Win32 call).

// Splits argv[1..argc-1]: global flags anywhere on the line are taken out; the
// rest, in order, become positional arguments. Collection stops for good once
// CLI_MAX_POSITIONAL positional arguments are held (later flags are ignored too).
void cli_parse_args(int argc, wchar_t** argv, cli_args* out);

// UTF-16 to UTF-8 into out[capacity], always terminated (capacity > 0). Never
// splits a character: conversion stops before one that does not fit. Unpaired
// surrogates become U+FFFD. Returns the number of bytes written (without NUL).
size_t cli_utf8_from_wide(const wchar_t* text, char* out, size_t capacity);

// UTF-8 (len bytes, or up to the NUL when len is (size_t)-1) to UTF-16 into
// out[capacity], always terminated (capacity > 0). Malformed bytes become
// U+FFFD. Stops before a character that does not fit. Returns wide characters written.
size_t cli_wide_from_utf8(const char* text, size_t len, wchar_t* out, size_t capacity);

// Length of the longest prefix of text[0..len) that is at most max_bytes long
// and does not end inside a UTF-8 sequence.
size_t cli_utf8_cut(const char* text, size_t len, size_t max_bytes);

// JSON string body of the text (without the quotes) into out[capacity]: bytes
// 0-31 as \u00XX, '"' and '\' with a backslash, every other byte unchanged,
// except that bytes which are not valid UTF-8 become U+FFFD.
// The wide text is converted to UTF-8 first (at most 4096 bytes). Copying
// stops once capacity - 8 bytes are reached, never inside a UTF-8 character.
// Returns the bytes written (capacity 0 writes nothing and returns 0).
size_t cli_json_escape(const wchar_t* text, char* out, size_t capacity);
// The same rule for UTF-8 text.
size_t cli_json_escape_utf8(const char* text, char* out, size_t capacity);

// printf into out[capacity] (capacity > 0), always terminated; a result that
// does not fit is cut before the character it would split. Returns the bytes kept.
size_t cli_format(char* out, size_t capacity, const char* fmt, ...) CLI_PRINTF(3, 4);

// Replaces control characters (C0, DEL and C1) with blanks in place, so a window
// title can neither break a line nor smuggle a terminal escape into the output.
void cli_blank_controls(wchar_t* text);

// Characters (code points) of a UTF-8 text; a malformed byte counts as one.
size_t cli_utf8_chars(const char* text);

// Appends text, then blanks until it is at least width characters wide, at
// out[*at] (capacity bytes in all, always terminated). Columns line up however
// many bytes a character takes. Whole characters only; stops when full.
void cli_pad_utf8(char* out, size_t capacity, size_t* at, const char* text, size_t width);

// Exit code of a common error-code word: usage 2, agent_unavailable 3, target
// words 4, idle/busy/replay_off 5, not_linked 6, anything else 1. Commands
// whose part states a different mapping apply their own.
int cli_exit_for_code(const char* code);

// ---- Output. All text is UTF-8, written with WriteFile to the standard handles;
// output that does not fit a buffer is cut at a character boundary; write
// failures are not reported. printf-style arguments are UTF-8: convert wide
// text with cli_utf8_from_wide first (%ls only converts ASCII reliably).

void cli_out_write(const char* text);
void cli_out_write_bytes(const void* data, size_t size);
// Whole wide text as UTF-8, converted in 8192-byte pieces so long text is never cut.
void cli_out_write_wide(const wchar_t* text);
void cli_out_printf(const char* fmt, ...) CLI_PRINTF(1, 2);
void cli_err_printf(const char* fmt, ...) CLI_PRINTF(1, 2);
// Progress note on standard error with a line feed; nothing when quiet.
void cli_note(const char* fmt, ...) CLI_PRINTF(1, 2);
// "ivrac <command>: <message>" on standard error and, with --json, the error
// object on standard output. Returns exit_code.
int cli_fail(const char* code, int exit_code, const char* fmt, ...) CLI_PRINTF(3, 4);
// A JSON answer that did not fit its buffer: code "internal", exit 1, never
// a silent empty answer. Returns 1.
int cli_fail_too_large(const char* what);
// cli_fail("usage", 2, message), then "Try 'ivrac <command> --help'". A null
// command means the current command word. Returns 2.
int cli_usage(const wchar_t* command, const char* message);
