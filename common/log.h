#pragma once
// The shared diagnostic log "%APPDATA%\Ivra\ivrad.log", written by both
// programs, and the privacy scrubber every message passes through.
// Logging never fails towards its caller and never allocates on the heap.
#include "common/text.h"

#include <cstdarg>
#include <cstddef>

enum log_level { LOG_INFO = 0, LOG_WARN = 1, LOG_ERROR = 2 };

// printf-style, narrow format; wide strings through "%ls". Safe from any thread, at any time.
void log_info(const char* fmt, ...) IVRA_PRINTF(1, 2);
void log_warn(const char* fmt, ...) IVRA_PRINTF(1, 2);
void log_error(const char* fmt, ...) IVRA_PRINTF(1, 2);

// The single writer: formats, scrubs, sends to the debugger and appends one line to the file.
void log_write(log_level level, const char* fmt, va_list args);

// Scrubs a NUL-terminated narrow string in place with the process-wide rule table;
// capacity is the buffer size in bytes (0 does nothing).
void log_scrub(char* text, size_t capacity);

// One-time rewrite of ivrad.log and ivrad.1.log through the scrubber, guarded by the
// hidden marker "ivrad.log.scrubbed". Called once by the agent at start-up.
void log_scrub_old_files();

// Names the calling thread (SetThreadDescription, when the system has it) and empties
// its cached log name so the next line uses the new name.
void log_thread_name(const wchar_t* name);

// ---- Pure scrubbing core, usable without the environment (no Win32 call except code-page conversion).

enum { LOG_RULE_MAX = 12, LOG_NEEDLE_MAX = 780, LOG_SCRUB_WORK = 2048 };

struct log_rule {
    char needle[LOG_NEEDLE_MAX];  // at most 779 bytes plus terminator
    const char* replacement;      // "%USERPROFILE%", "<user>" or "<pc>"
    int whole_word;               // 0: case-insensitive anywhere; 1: case-sensitive whole word
};

struct log_rules {
    int count;
    log_rule rules[LOG_RULE_MAX];
};

// Builds a rule table from the given values (any may be null or empty): the profile
// folder with its optional short form, the user name and the computer name.
void log_rules_build(log_rules* out, const wchar_t* profile, const wchar_t* profile_short, const wchar_t* user_name,
                     const wchar_t* computer_name);

// Scrubs text in place with the given table (see log_scrub).
void log_scrub_with(const log_rules* rules, char* text, size_t capacity);

// Log line's thread name from a thread description: drops a leading "ivra-", keeps at
// most 23 bytes of UTF-8. Returns the byte length written to out[24] (0 = no name).
size_t log_thread_label(const wchar_t* description, char out[24]);

// printf-style formatting into out (always terminated, cut at cap - 1 bytes); wide strings
// ("%ls", "%lc") are rendered as UTF-8 whatever the C locale. Returns the length written.
size_t log_vformat(char* out, size_t cap, const char* fmt, va_list args);

// Copies in to out (cap bytes, always terminated) with every control byte (0x01-0x1F,
// 0x7F) escaped as "\r", "\n", "\t" or "\xNN" and every byte that starts no
// well-formed UTF-8 sequence replaced by U+FFFD. Cuts only between whole pieces.
// Returns the length written.
size_t log_sanitize(const char* in, char* out, size_t cap);

// Formats one complete line into out[1400]; returns its length.
size_t log_format_line(char out[1400], int hour, int minute, int second, int millis, log_level level,
                       const char* thread, const char* message);
