// Force-included into every file of the native build. That build uses -fshort-wchar, so
// wchar_t has the 16 bits it has on Windows and the shared sources work on the same units;
// the C library's wide functions still expect 32-bit units, so the few the shared sources
// call go to the 16-bit versions below instead.
#pragma once

#if !defined(__WCHAR_MAX__) || __WCHAR_MAX__ != 0xFFFF
#error "the native build needs -fshort-wchar"
#endif

#include <cstddef>
#include <cwchar>
#include <cwctype>

size_t w16_wcslen(const wchar_t* s);
int w16_wcscmp(const wchar_t* a, const wchar_t* b);
int w16_wcsncmp(const wchar_t* a, const wchar_t* b, size_t n);
wchar_t* w16_wcscpy(wchar_t* dst, const wchar_t* src);
wchar_t* w16_wcsncpy(wchar_t* dst, const wchar_t* src, size_t n);
wchar_t* w16_wcschr(const wchar_t* s, wchar_t c);
long w16_wcstol(const wchar_t* s, wchar_t** end, int base);
// ASCII only, as the Windows runtime's "C" locale does.
wint_t w16_towlower(wint_t c);
// Numbers only (%d %u %x %X with flags and widths): a string conversion aborts.
int w16_swprintf(wchar_t* out, size_t count, const wchar_t* fmt, ...);

#define wcslen w16_wcslen
#define wcscmp w16_wcscmp
#define wcsncmp w16_wcsncmp
#define wcscpy w16_wcscpy
#define wcsncpy w16_wcsncpy
#define wcschr w16_wcschr
#define wcstol w16_wcstol
#define towlower w16_towlower
#define swprintf w16_swprintf
