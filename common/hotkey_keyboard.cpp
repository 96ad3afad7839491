// The keyboard layout's part of hotkey text: the one system call the formatter needs.
#include "common/hotkey_text.h"
#include "common/win.h"

static wchar_t hotkey_keyboard_char(unsigned vk) { return (wchar_t)(MapVirtualKeyW(vk, MAPVK_VK_TO_CHAR) & 0xFFFF); }

void hotkey_format(hotkey_pair pair, wchar_t* out, size_t capacity) {
    hotkey_format_with(pair, hotkey_keyboard_char, out, capacity);
}
