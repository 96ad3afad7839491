#include <gtest/gtest.h>

#include <cwchar>
#include <string>

#include "common/config.h"
#include "common/config_schema.h"
#include "common/hotkey_text.h"
#include "settings/settings_model.h"

namespace {

TEST(SettingsModel, PageFromArgumentsAndShowMessage) {
    const struct {
        const wchar_t* args;
        settings_page page;
        const wchar_t* title;
    } cases[] = {
        {nullptr, SETTINGS_PAGE_GENERAL, L"Ivra Settings - General"},
        {L"", SETTINGS_PAGE_GENERAL, L"Ivra Settings - General"},
        {L"--welcome", SETTINGS_PAGE_WELCOME, L"Ivra Settings - Welcome"},
        {L"--link", SETTINGS_PAGE_LINK, L"Ivra Settings - Link account"},
        {L"--page about", SETTINGS_PAGE_ABOUT, L"Ivra Settings - About"},
        {L"--page clips", SETTINGS_PAGE_GENERAL, L"Ivra Settings - General"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args ? c.args : L"(null)");
        EXPECT_EQ(settings_page_from_args(c.args), c.page);
        EXPECT_STREQ(settings_page_title(settings_page_from_args(c.args)), c.title);
    }
    EXPECT_EQ(settings_page_from_show(0), SETTINGS_PAGE_GENERAL);
    EXPECT_EQ(settings_page_from_show(7), SETTINGS_PAGE_ABOUT);
    EXPECT_EQ(settings_page_button(SETTINGS_PAGE_LINK), SETTINGS_PAGE_ACCOUNT);
}

TEST(SettingsModel, EveryKeyHasAPageWithAButtonAndAFittingControl) {
    const struct {
        const wchar_t* key;
        settings_page page;
        settings_control control;
    } cases[] = {
        {L"jpeg_quality", SETTINGS_PAGE_GENERAL, SETTINGS_CONTROL_NUMBER},
        {L"still_format", SETTINGS_PAGE_GENERAL, SETTINGS_CONTROL_CHOICE},
        {L"play_sound", SETTINGS_PAGE_GENERAL, SETTINGS_CONTROL_CHECK},
        {L"clip_encoder", SETTINGS_PAGE_CLIPS, SETTINGS_CONTROL_CHOICE},
        {L"replay_enabled", SETTINGS_PAGE_CLIPS, SETTINGS_CONTROL_CHECK},
        {L"hk_region", SETTINGS_PAGE_HOTKEYS, SETTINGS_CONTROL_HOTKEY},
        {L"hk_clip_redo", SETTINGS_PAGE_HOTKEYS, SETTINGS_CONTROL_HOTKEY},
        {L"stills_dir", SETTINGS_PAGE_FOLDERS, SETTINGS_CONTROL_FOLDER},
        {L"folder9", SETTINGS_PAGE_FOLDERS, SETTINGS_CONTROL_FOLDER},
        {L"server_url", SETTINGS_PAGE_UPLOADS, SETTINGS_CONTROL_TEXT},
        {L"upload_mode", SETTINGS_PAGE_UPLOADS, SETTINGS_CONTROL_CHOICE},
        {L"onboarded", SETTINGS_PAGE_ACCOUNT, SETTINGS_CONTROL_CHECK},
        {L"update_auto", SETTINGS_PAGE_ABOUT, SETTINGS_CONTROL_CHECK},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        EXPECT_EQ(settings_page_of_key(c.key), c.page);
        EXPECT_EQ(settings_control_of(config_schema_find(c.key)), c.control);
    }
    // No key is left on a page the window cannot show, and no page is empty of the
    // keys that belong to it (the about page shows the update check).
    int per_page[SETTINGS_PAGE_COUNT] = {};
    for (const auto& e : config_schema) {
        settings_page p = settings_page_of_key(e.key);
        ASSERT_LT((int)p, SETTINGS_PAGE_BUTTONS) << e.key;
        per_page[p]++;
    }
    for (int p = 0; p < SETTINGS_PAGE_BUTTONS; ++p) EXPECT_GT(per_page[p], 0) << settings_page_name((settings_page)p);
    EXPECT_LE(per_page[SETTINGS_PAGE_GENERAL], 16);  // the rows that fit above the status line
}

TEST(SettingsModel, LabelsAndChoiceWords) {
    wchar_t text[128];
    settings_field_label(config_schema_find(L"jpeg_quality"), text, 128);
    EXPECT_STREQ(text, L"JPEG quality (1-100)");
    settings_field_label(config_schema_find(L"still_format"), text, 128);
    EXPECT_STREQ(text, L"Image format");
    const config_schema_entry* enc = config_schema_find(L"clip_encoder");
    std::wstring words;
    for (int i = 0; settings_choice_word(enc, i, text, 128); ++i) words += std::wstring(text) + L"/";
    EXPECT_EQ(words, L"auto/h264_nvenc/h264_amf/h264_qsv/h264_mf/");
    EXPECT_FALSE(settings_choice_word(config_schema_find(L"jpeg_quality"), 0, text, 128));
}

TEST(SettingsModel, HotkeyFieldRecordsPresses) {
    const struct {
        unsigned vk, mods;
        settings_press what;
        const wchar_t* text;  // what the field shows after the press; null when it keeps its text
    } cases[] = {
        {'R', 2 | 1, SETTINGS_PRESS_SET, L"Ctrl+Alt+R"},
        {'C', 2 | 4, SETTINGS_PRESS_SET, L"Ctrl+Shift+C"},
        {0x2C, 0, SETTINGS_PRESS_SET, L"PrtSc"},
        {0x74, 8, SETTINGS_PRESS_SET, L"Win+F5"},
        {0x2E, 2 | 1, SETTINGS_PRESS_SET, L"Ctrl+Alt+Delete"},
        {0x08, 0, SETTINGS_PRESS_CLEAR, L"None"},
        {0x2E, 0, SETTINGS_PRESS_CLEAR, L"None"},
        {0x1B, 0, SETTINGS_PRESS_CLEAR, L"None"},
        {0x11, 2, SETTINGS_PRESS_IGNORE, nullptr},
        {0x10, 4, SETTINGS_PRESS_IGNORE, nullptr},
        {0xA4, 1, SETTINGS_PRESS_IGNORE, nullptr},
        {0x5B, 8, SETTINGS_PRESS_IGNORE, nullptr},
        {0x09, 0, SETTINGS_PRESS_IGNORE, nullptr},
        {0x09, 1, SETTINGS_PRESS_SET, L"Alt+Tab"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "vk=" << c.vk << " mods=" << c.mods);
        hotkey_pair pair = {77, 77};
        ASSERT_EQ(settings_hotkey_press(c.vk, c.mods, &pair), c.what);
        if (!c.text) {
            EXPECT_EQ(pair.mods, 77u);
            continue;
        }
        wchar_t shown[64];
        hotkey_format_with(pair, nullptr, shown, 64);
        EXPECT_STREQ(shown, c.text);
        // What the field shows is what the schema reads back on save.
        hotkey_pair parsed = {};
        ASSERT_TRUE(hotkey_parse(shown, &parsed, nullptr, 0));
        EXPECT_EQ(parsed.mods, pair.mods);
        EXPECT_EQ(parsed.vk, pair.vk);
    }
}

TEST(SettingsModel, OnlyChangedValuesCount) {
    static config base;
    config_defaults(&base);
    wchar_t quality[16], region[64];
    config_get_text(&base, L"jpeg_quality", quality, 16);
    config_get_text(&base, L"hk_region", region, 64);
    const struct {
        const wchar_t* key;
        const wchar_t* text;
        bool differs;
    } cases[] = {
        {L"jpeg_quality", quality, false},   {L"jpeg_quality", L"77", true},
        {L"jpeg_quality", L"abc", true},     {L"jpeg_quality", L"150", true},
        {L"hk_region", region, false},       {L"hk_region", L"ctrl+shift+c", false},
        {L"hk_region", L"Ctrl+Alt+R", true}, {L"hk_clip_app", L"None", false},
        {L"still_format", L"png", false},    {L"still_format", L"jpg", true},
        {L"play_sound", L"1", false},        {L"play_sound", L"0", true},
        {L"clip_encoder", L"auto", false},   {L"server_url", L"https://ivra.app", false},
        {L"server_url", L"ftp://x", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.key << "=" << testing::PrintToString(std::wstring(c.text)));
        EXPECT_EQ(settings_value_differs(&base, config_schema_find(c.key), c.text), c.differs);
    }
}

TEST(SettingsModel, ApplyIsAllOrNothingWithTheSchemasMessage) {
    const struct {
        settings_edit edits[3];
        int count;
        int failed;  // -1: all applied
    } cases[] = {
        {{{L"jpeg_quality", L"77"}, {L"hk_region", L"Ctrl+Alt+R"}}, 2, -1},
        {{{L"jpeg_quality", L"77"}, {L"clip_fps", L"999"}, {L"play_sound", L"0"}}, 3, 1},
        {{{L"jpeg_quality", L"0"}}, 1, 0},
        {{{L"still_format", L"gif"}}, 1, 0},
        {{{L"hk_screen", L"Ctrl+Bogus"}, {L"jpeg_quality", L"50"}}, 2, 0},
        {{{L"onboarded", L"1"}, {L"upload_mode", L"manual"}}, 2, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.edits[0].key << " count=" << c.count);
        static config cfg, before, expect;
        config_defaults(&cfg);
        before = cfg;
        expect = cfg;
        wchar_t err[512] = L"", want[512] = L"";
        int failed = -9;
        bool ok = settings_apply(&cfg, c.edits, c.count, false, &failed, err, 512);
        // The same edits one by one, as 'ivrac config set' makes them.
        bool want_ok = true;
        for (int i = 0; i < c.count && want_ok; ++i)
            want_ok = config_set_value(&expect, c.edits[i].key, c.edits[i].text, want, 512, false);
        ASSERT_EQ(ok, c.failed < 0);
        ASSERT_EQ(want_ok, ok);
        if (ok) {
            EXPECT_EQ(memcmp(&cfg, &expect, sizeof cfg), 0);
            continue;
        }
        EXPECT_EQ(failed, c.failed);
        EXPECT_STREQ(err, want);
        EXPECT_NE(err[0], 0);
        EXPECT_EQ(memcmp(&cfg, &before, sizeof cfg), 0) << "a refused save changed the record";
    }
}

TEST(SettingsModel, AccountSentence) {
    wchar_t text[160];
    settings_account_text(false, L"Ann Resident", L"", text, 160);
    EXPECT_STREQ(text, L"This PC is not linked to a web account.");
    settings_account_text(true, L"Ann Resident", L"", text, 160);
    EXPECT_STREQ(text, L"This PC is linked to Ann Resident.");
    settings_account_text(true, L"Ann Resident", L"12/09/2026", text, 160);
    EXPECT_STREQ(text, L"This PC is linked to Ann Resident since 12/09/2026.");
    settings_account_text(true, L"", L"", text, 160);
    EXPECT_STREQ(text, L"This PC is linked to a web account.");
}

}  // namespace
