// Text helpers shared by several modules.
#pragma once

#include <cstddef>

// Lets the compiler check printf-style arguments; used by the log as well.
#if defined(__clang__)
#define IVRA_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))
#elif defined(__GNUC__)
#define IVRA_PRINTF(fmt_index, first_arg) __attribute__((format(gnu_printf, fmt_index, first_arg)))
#else
#define IVRA_PRINTF(fmt_index, first_arg)
#endif

// printf-style formatting into a caller-supplied buffer, cut to fit and always
// terminated; does nothing when out is null or cap is 0.
void text_format_into(char* out, size_t cap, const char* fmt, ...) IVRA_PRINTF(3, 4);

// Decodes the UTF-8 character at s (len bytes available, at least 1) into *cp and
// returns its byte count. A byte that starts no well-formed sequence (overlong form,
// surrogate, above U+10FFFF, cut short) decodes as U+FFFD with a count of 1.
size_t text_utf8_decode(const unsigned char* s, size_t len, unsigned long* cp);
