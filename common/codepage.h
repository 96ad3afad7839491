// UTF-8 and UTF-16 conversions as the system's code-page calls make them. Modules that
// are otherwise plain logic convert through here, so they name no Windows header.
#pragma once

#include <cstddef>

// Converts len bytes of UTF-8 (no terminator needed, none added) into out, which holds cap
// units. Returns the units the text needs; 0 when it cannot be converted or out is too
// small. With out null, only counts. Ill-formed bytes become U+FFFD.
int codepage_utf8_to_wide(const char* text, int len, wchar_t* out, int cap);

// Converts a terminated wide text into out (cap bytes), terminator included. Returns the
// bytes written with the terminator; 0 when it does not fit. An unpaired surrogate
// becomes U+FFFD.
int codepage_wide_to_utf8(const wchar_t* text, char* out, int cap);
