#include "common/text.h"

#include <cstdarg>
#include <cstdio>

void text_format_into(char* out, size_t cap, const char* fmt, ...) {
    if (!out || cap == 0) return;
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(out, cap, fmt, ap);
    va_end(ap);
}

size_t text_utf8_decode(const unsigned char* s, size_t len, unsigned long* cp) {
    unsigned char c = s[0];
    size_t need;
    unsigned long v, min;
    if (c < 0x80) {
        *cp = c;
        return 1;
    }
    if (c >= 0xC2 && c <= 0xDF) {
        need = 2;
        v = c & 0x1F;
        min = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
        need = 3;
        v = c & 0x0F;
        min = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
        need = 4;
        v = c & 0x07;
        min = 0x10000;
    } else {
        *cp = 0xFFFD;
        return 1;
    }
    if (len < need) {
        *cp = 0xFFFD;
        return 1;
    }
    for (size_t k = 1; k < need; k++) {
        if ((s[k] & 0xC0) != 0x80) {
            *cp = 0xFFFD;
            return 1;
        }
        v = (v << 6) | (s[k] & 0x3F);
    }
    if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) {
        *cp = 0xFFFD;
        return 1;
    }
    *cp = v;
    return need;
}
