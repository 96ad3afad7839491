#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

size_t w16_wcslen(const wchar_t* s) {
    size_t n = 0;
    while (s[n]) ++n;
    return n;
}

int w16_wcscmp(const wchar_t* a, const wchar_t* b) {
    for (; *a && *a == *b; ++a, ++b) {}
    return *a < *b ? -1 : *a > *b ? 1 : 0;
}

wchar_t* w16_wcscpy(wchar_t* dst, const wchar_t* src) {
    wchar_t* d = dst;
    while ((*d++ = *src++)) {}
    return dst;
}

wchar_t* w16_wcsncpy(wchar_t* dst, const wchar_t* src, size_t n) {
    size_t i = 0;
    for (; i < n && src[i]; ++i) dst[i] = src[i];
    for (; i < n; ++i) dst[i] = 0;
    return dst;
}

wchar_t* w16_wcschr(const wchar_t* s, wchar_t c) {
    for (;; ++s) {
        if (*s == c) return (wchar_t*)s;
        if (!*s) return nullptr;
    }
}

// A number is ASCII, so the narrow reader sees the same digits; the first unit outside
// ASCII ends the copy as it would end the number.
long w16_wcstol(const wchar_t* s, wchar_t** end, int base) {
    size_t n = 0;
    while (s[n] && s[n] < 0x80) ++n;
    char* narrow = (char*)malloc(n + 1);
    if (!narrow) abort();
    for (size_t i = 0; i < n; ++i) narrow[i] = (char)s[i];
    narrow[n] = 0;
    char* stop = nullptr;
    long v = strtol(narrow, &stop, base);
    if (end) *end = (wchar_t*)(s + (stop - narrow));
    free(narrow);
    return v;
}

wint_t w16_towlower(wint_t c) { return c >= L'A' && c <= L'Z' ? c - L'A' + L'a' : c; }

int w16_swprintf(wchar_t* out, size_t count, const wchar_t* fmt, ...) {
    char nfmt[256], text[512];
    size_t n = 0;
    for (; fmt[n]; ++n) {
        if (n + 1 >= sizeof nfmt || fmt[n] >= 0x80) abort();
        nfmt[n] = (char)fmt[n];
    }
    nfmt[n] = 0;
    for (const char* p = strchr(nfmt, '%'); p; p = strchr(p + 1 + (p[1] == '%'), '%')) {
        if (p[1] == '%') continue;
        size_t k = strcspn(p + 1, "diuxXcsSpn");
        if (!p[1 + k] || strchr("csSpn", p[1 + k])) abort();
    }
    va_list ap;
    va_start(ap, fmt);
    int len = vsnprintf(text, sizeof text, nfmt, ap);
    va_end(ap);
    if (len < 0 || (size_t)len >= sizeof text || count == 0) return -1;
    size_t i = 0;
    for (; i < (size_t)len && i + 1 < count; ++i) out[i] = (wchar_t)(unsigned char)text[i];
    out[i] = 0;
    return i == (size_t)len ? len : -1;
}

int w16_wcsncmp(const wchar_t* a, const wchar_t* b, size_t n) {
    for (; n > 0; --n, ++a, ++b) {
        if (*a != *b) return *a < *b ? -1 : 1;
        if (!*a) return 0;
    }
    return 0;
}
