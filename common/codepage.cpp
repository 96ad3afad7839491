#include "common/codepage.h"

#include "common/win.h"

int codepage_utf8_to_wide(const char* text, int len, wchar_t* out, int cap) {
    return MultiByteToWideChar(CP_UTF8, 0, text, len, out, out ? cap : 0);
}

int codepage_wide_to_utf8(const wchar_t* text, char* out, int cap) {
    return WideCharToMultiByte(CP_UTF8, 0, text, -1, out, cap, nullptr, nullptr);
}
