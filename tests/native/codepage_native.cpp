// The code-page conversions for the native build, where MultiByteToWideChar and
// WideCharToMultiByte do not exist. Well-formed text converts exactly as there; an
// ill-formed UTF-8 sequence gives one U+FFFD per byte that starts none.
#include "common/codepage.h"
#include "common/text.h"

int codepage_utf8_to_wide(const char* text, int len, wchar_t* out, int cap) {
    if (!text || len < 0) return 0;
    const unsigned char* s = (const unsigned char*)text;
    size_t left = (size_t)len;
    int n = 0;
    while (left > 0) {
        unsigned long cp;
        size_t used = text_utf8_decode(s, left, &cp);
        s += used;
        left -= used;
        int units = cp > 0xFFFF ? 2 : 1;
        if (out) {
            if (n + units > cap) return 0;
            if (units == 2) {
                out[n] = (wchar_t)(0xD800 + ((cp - 0x10000) >> 10));
                out[n + 1] = (wchar_t)(0xDC00 + ((cp - 0x10000) & 0x3FF));
            } else {
                out[n] = (wchar_t)cp;
            }
        }
        n += units;
    }
    return n;
}

int codepage_wide_to_utf8(const wchar_t* text, char* out, int cap) {
    if (!text || !out) return 0;
    int n = 0;
    for (size_t i = 0;; ++i) {
        unsigned long cp = text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (unsigned long)(text[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        unsigned char b[4];
        int k;
        if (cp < 0x80) {
            b[0] = (unsigned char)cp;
            k = 1;
        } else if (cp < 0x800) {
            b[0] = (unsigned char)(0xC0 | (cp >> 6));
            b[1] = (unsigned char)(0x80 | (cp & 0x3F));
            k = 2;
        } else if (cp < 0x10000) {
            b[0] = (unsigned char)(0xE0 | (cp >> 12));
            b[1] = (unsigned char)(0x80 | ((cp >> 6) & 0x3F));
            b[2] = (unsigned char)(0x80 | (cp & 0x3F));
            k = 3;
        } else {
            b[0] = (unsigned char)(0xF0 | (cp >> 18));
            b[1] = (unsigned char)(0x80 | ((cp >> 12) & 0x3F));
            b[2] = (unsigned char)(0x80 | ((cp >> 6) & 0x3F));
            b[3] = (unsigned char)(0x80 | (cp & 0x3F));
            k = 4;
        }
        if (n + k > cap) return 0;
        for (int j = 0; j < k; ++j) out[n++] = (char)b[j];
        if (cp == 0) return n;
    }
}
