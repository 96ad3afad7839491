#include "common/text.h"

#include <cstdarg>
#include <cstdio>

void text_format_into(char* out, size_t cap, const char* fmt, ...)
{
    if (!out || cap == 0)
        return;
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(out, cap, fmt, ap);
    va_end(ap);
}
