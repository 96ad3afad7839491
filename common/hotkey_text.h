#pragma once
// Hotkeys as people write them ("Ctrl+Shift+S", "Alt+PrtSc", "none") and as
// RegisterHotKey wants them (modifier bits and a virtual-key code).
#include <cstddef>
#include "common/config.h"

// Longest hotkey text the parser reads; a longer text is refused.
constexpr size_t HOTKEY_TEXT_MAX = 127;

// Parses text into *out. True on success; "none", "off" and an empty text give
// the pair (0, 0). A real key gets the no-repeat bit 0x4000 added. On failure
// *out is untouched and one message is written into err (which may be null),
// cut to err_capacity characters.
bool hotkey_parse(const wchar_t* text, hotkey_pair* out, wchar_t* err, size_t err_capacity);

// Canonical text of a pair ("Ctrl+Shift+S", "PrtSc", "None"), cut to capacity.
// Keys without a name of their own are shown as their keyboard character.
void hotkey_format(hotkey_pair pair, wchar_t* out, size_t capacity);

// The same without any system call: char_of_vk (may be null) supplies the
// keyboard character of a key that has no name here, 0 when it has none.
void hotkey_format_with(hotkey_pair pair, wchar_t (*char_of_vk)(unsigned vk), wchar_t* out, size_t capacity);
