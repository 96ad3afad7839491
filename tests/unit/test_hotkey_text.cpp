#include <gtest/gtest.h>

#include <cwchar>
#include <string>

#include "common/hotkey_text.h"

namespace {

struct parse_ok_case {
    const wchar_t* text;
    uint32_t mods, vk;
    const wchar_t* formatted;
};

const parse_ok_case k_parse_ok[] = {
    {L"ctrl+shift+s", 0x4006, 0x53, L"Ctrl+Shift+S"},
    {L"Shift + Ctrl + S", 0x4006, 0x53, L"Ctrl+Shift+S"},
    {L"control shift s", 0x4006, 0x53, L"Ctrl+Shift+S"},
    {L"  CTRL++ALT+  Delete  ", 0x4003, 0x2E, L"Ctrl+Alt+Delete"},
    {L"PrtSc", 0x4000, 0x2C, L"PrtSc"},
    {L"alt+printscreen", 0x4001, 0x2C, L"Alt+PrtSc"},
    {L"print", 0x4000, 0x2C, L"PrtSc"},
    {L"prtscn", 0x4000, 0x2C, L"PrtSc"},
    {L"F5", 0x4000, 0x74, L"F5"},
    {L"f24", 0x4000, 0x87, L"F24"},
    {L"f1x", 0x4000, 0x70, L"F1"},
    {L"F05", 0x4000, 0x74, L"F5"},
    {L"Win+num5", 0x4008, 0x65, L"Win+Num5"},
    {L"super+NUM0", 0x4008, 0x60, L"Win+Num0"},
    {L"meta+9", 0x4008, 0x39, L"Win+9"},
    {L"shift+win+alt+ctrl+z", 0x400F, 0x5A, L"Ctrl+Alt+Shift+Win+Z"},
    {L"ctrl+escape", 0x4002, 0x1B, L"Ctrl+Esc"},
    {L"ctrl+return", 0x4002, 0x0D, L"Ctrl+Enter"},
    {L"ctrl+del", 0x4002, 0x2E, L"Ctrl+Delete"},
    {L"ctrl+ins", 0x4002, 0x2D, L"Ctrl+Insert"},
    {L"ctrl+pageup", 0x4002, 0x21, L"Ctrl+PgUp"},
    {L"ctrl+pagedown", 0x4002, 0x22, L"Ctrl+PgDn"},
    {L"ctrl+space", 0x4002, 0x20, L"Ctrl+Space"},
    {L"alt+tab", 0x4001, 0x09, L"Alt+Tab"},
    {L"ctrl+backspace", 0x4002, 0x08, L"Ctrl+Backspace"},
    {L"ctrl+home", 0x4002, 0x24, L"Ctrl+Home"},
    {L"ctrl+end", 0x4002, 0x23, L"Ctrl+End"},
    {L"ctrl+left", 0x4002, 0x25, L"Ctrl+Left"},
    {L"ctrl+right", 0x4002, 0x27, L"Ctrl+Right"},
    {L"ctrl+up", 0x4002, 0x26, L"Ctrl+Up"},
    {L"ctrl+down", 0x4002, 0x28, L"Ctrl+Down"},
    {L"ctrl+pgdn", 0x4002, 0x22, L"Ctrl+PgDn"},
    // Modifiers after the key and repeated modifiers are fine.
    {L"S+ctrl+ctrl", 0x4002, 0x53, L"Ctrl+S"},
    // "none" wins over everything else on the line.
    {L"none", 0, 0, L"None"},
    {L"OFF", 0, 0, L"None"},
    {L"Ctrl+none", 0, 0, L"None"},
    {L"ctrl+a+none", 0, 0, L"None"},
    {L"", 0, 0, L"None"},
    {L" + + ", 0, 0, L"None"},
};

TEST(hotkey_parse, accepts_and_formats_back) {
    for (const auto& c : k_parse_ok) {
        SCOPED_TRACE(testing::Message() << "text: '" << std::wstring(c.text).c_str() << "'");
        hotkey_pair p{0xDEAD, 0xBEEF};
        wchar_t err[128] = L"";
        ASSERT_TRUE(hotkey_parse(c.text, &p, err, 128)) << std::wstring(err).size();
        EXPECT_EQ(p.mods, c.mods);
        EXPECT_EQ(p.vk, c.vk);
        wchar_t text[64];
        hotkey_format(p, text, 64);
        EXPECT_STREQ(text, c.formatted);
        // The canonical text parses back to the same pair.
        hotkey_pair again{};
        ASSERT_TRUE(hotkey_parse(text, &again, nullptr, 0));
        EXPECT_EQ(again.mods, p.mods);
        EXPECT_EQ(again.vk, p.vk);
    }
}

struct parse_fail_case {
    const wchar_t* text;
    const wchar_t* message;
};

const parse_fail_case k_parse_fail[] = {
    {L"S", L"hotkey needs a modifier (Ctrl/Alt/Shift/Win) unless it is PrtSc or F1-F24"},
    {L"F", L"hotkey needs a modifier (Ctrl/Alt/Shift/Win) unless it is PrtSc or F1-F24"},
    {L"num5", L"hotkey needs a modifier (Ctrl/Alt/Shift/Win) unless it is PrtSc or F1-F24"},
    {L"Space", L"hotkey needs a modifier (Ctrl/Alt/Shift/Win) unless it is PrtSc or F1-F24"},
    {L"Ctrl+", L"missing key after modifiers"},
    {L"ctrl alt", L"missing key after modifiers"},
    {L"Ctrl+A+B", L"unknown key name '(multiple keys)'"},
    {L"PrtSc F5", L"unknown key name '(multiple keys)'"},
    {L"Ctrl+Foo", L"unknown key name 'Foo'"},
    {L"F25", L"unknown key name 'F25'"},
    {L"F0", L"unknown key name 'F0'"},
    {L"ctrl+Num", L"unknown key name 'Num'"},
    {L"ctrl+num10", L"unknown key name 'num10'"},
    {L"ctrl+;", L"unknown key name ';'"},
    // The first bad word stops the parse, even before a later "none".
    {L"Ctrl+Foo+none", L"unknown key name 'Foo'"},
    {L"Ctrl+A+Foo", L"unknown key name 'Foo'"},
};

TEST(hotkey_parse, refuses_with_exact_message_and_leaves_output) {
    for (const auto& c : k_parse_fail) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - k_parse_fail));
        hotkey_pair p{0x1234, 0x56};
        wchar_t err[128] = L"";
        EXPECT_FALSE(hotkey_parse(c.text, &p, err, 128));
        EXPECT_STREQ(err, c.message);
        EXPECT_EQ(p.mods, 0x1234u);
        EXPECT_EQ(p.vk, 0x56u);
        // A missing message buffer is allowed.
        EXPECT_FALSE(hotkey_parse(c.text, &p, nullptr, 0));
    }
}

TEST(hotkey_parse, long_word_is_named_cut_to_63_characters) {
    std::wstring word(80, L'x');
    std::wstring text = L"ctrl+" + word;
    wchar_t err[256];
    hotkey_pair p{};
    ASSERT_FALSE(hotkey_parse(text.c_str(), &p, err, 256));
    EXPECT_EQ(std::wstring(err), L"unknown key name '" + word.substr(0, 63) + L"'");
}

TEST(hotkey_parse, overlong_text_is_refused_not_cut) {
    // Cut to 127 characters this would read as "none" and silently clear the hotkey.
    std::wstring text = std::wstring(130, L' ') + L"ctrl+s";
    hotkey_pair p{7, 7};
    wchar_t err[128];
    EXPECT_FALSE(hotkey_parse(text.c_str(), &p, err, 128));
    EXPECT_EQ(p.vk, 7u);
    // Exactly 127 characters is still read.
    std::wstring edge = std::wstring(121, L' ') + L"ctrl+s";
    ASSERT_EQ(edge.size(), 127u);
    EXPECT_TRUE(hotkey_parse(edge.c_str(), &p, err, 128));
    EXPECT_EQ(p.vk, 0x53u);
}

TEST(hotkey_parse, message_is_cut_to_capacity) {
    wchar_t err[8];
    hotkey_pair p{};
    EXPECT_FALSE(hotkey_parse(L"ctrl+", &p, err, 8));
    EXPECT_STREQ(err, L"missing");
}

wchar_t semicolon_for_oem1(unsigned vk) { return vk == 0xBA ? L';' : 0; }
wchar_t control_char(unsigned) { return 0x0D; }

struct format_case {
    hotkey_pair pair;
    const wchar_t* text;
};

TEST(hotkey_format, canonical_texts) {
    const format_case cases[] = {
        {{0, 0x2C}, L"PrtSc"},           // the stored default of hk_screen
        {{0x4001, 0x2C}, L"Alt+PrtSc"},  // no-repeat bit is not shown
        {{0x4006, 0x43}, L"Ctrl+Shift+C"},
        {{0x000F, 0x41}, L"Ctrl+Alt+Shift+Win+A"},
        {{0x4006, 0}, L"None"},  // modifiers without a key are not shown
        {{0, 0}, L"None"},
        {{0x4002, 0x30}, L"Ctrl+0"},
        {{0x4002, 0x69}, L"Ctrl+Num9"},
        {{0x4002, 0x7B}, L"Ctrl+F12"},
        {{0x4002, 0xBA}, L"Ctrl+;"},
        {{0x4002, 0xFF}, L"Ctrl+VK 0xFF"},
        {{0, 0x07}, L"VK 0x07"},
    };
    for (const auto& c : cases) {
        wchar_t text[64];
        hotkey_format_with(c.pair, semicolon_for_oem1, text, 64);
        EXPECT_STREQ(text, c.text);
    }
}

TEST(hotkey_format, control_character_from_layout_is_not_printed) {
    wchar_t text[64];
    hotkey_format_with(hotkey_pair{0x4002, 0x0C}, control_char, text, 64);
    EXPECT_STREQ(text, L"Ctrl+VK 0x0C");
    hotkey_format_with(hotkey_pair{0x4002, 0x0C}, nullptr, text, 64);
    EXPECT_STREQ(text, L"Ctrl+VK 0x0C");
}

TEST(hotkey_format, cut_to_capacity) {
    wchar_t text[6];
    hotkey_format(hotkey_pair{0x4006, 0x53}, text, 6);
    EXPECT_STREQ(text, L"Ctrl+");
    wchar_t one[1] = {L'x'};
    hotkey_format(hotkey_pair{0x4006, 0x53}, one, 1);
    EXPECT_EQ(one[0], 0);
}

TEST(hotkey_format, keyboard_character_through_the_system_layout) {
    // 0xBD is the minus key on the usual layouts.
    wchar_t text[64];
    hotkey_format(hotkey_pair{0x4002, 0xBD}, text, 64);
    EXPECT_STREQ(text, L"Ctrl+-");
}

}  // namespace
