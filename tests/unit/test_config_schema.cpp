#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
#include <string>

#include "common/config.h"
#include "common/config_schema.h"
#include "common/win.h"

namespace {

std::string narrow(const wchar_t* w) {
    std::string s;
    for (; *w; ++w) s += *w < 128 ? (char)*w : '?';
    return s;
}

// A record with the defaults, kept off the stack.
config* fresh() {
    static config cfg;
    config_defaults(&cfg);
    return &cfg;
}

TEST(config_schema, table_order_types_and_ranges) {
    struct row {
        const wchar_t* key;
        const wchar_t* type;
        int min, max;
        const wchar_t* words;
    };
    const row rows[CONFIG_SCHEMA_COUNT] = {
        {L"stills_dir", L"path", 0, 0, nullptr},
        {L"clips_dir", L"path", 0, 0, nullptr},
        {L"still_format", L"enum", 0, 0, L"png|jpg"},
        {L"jpeg_quality", L"int", 1, 100, nullptr},
        {L"clip_fps", L"int", 1, 240, nullptr},
        {L"clip_bitrate_kbps", L"int", 500, 200000, nullptr},
        {L"clip_encoder", L"enum", 0, 0, L"auto|h264_nvenc|h264_amf|h264_qsv|h264_mf"},
        {L"play_sound", L"bool", 0, 0, nullptr},
        {L"region_grid", L"bool", 0, 0, nullptr},
        {L"hotkey_raw", L"bool", 0, 0, nullptr},
        {L"hotkey_hook", L"bool", 0, 0, nullptr},
        {L"region_input", L"enum", 0, 0, L"auto|native|raw"},
        {L"raw_mouse_percent", L"int", 25, 400, nullptr},
        {L"region_capture_input", L"bool", 0, 0, nullptr},
        {L"hk_screen", L"hotkey", 0, 0, nullptr},
        {L"hk_window", L"hotkey", 0, 0, nullptr},
        {L"hk_region", L"hotkey", 0, 0, nullptr},
        {L"hk_clip", L"hotkey", 0, 0, nullptr},
        {L"hk_clip_app", L"hotkey", 0, 0, nullptr},
        {L"hk_clip_screen", L"hotkey", 0, 0, nullptr},
        {L"hk_replay", L"hotkey", 0, 0, nullptr},
        {L"hk_clip_pause", L"hotkey", 0, 0, nullptr},
        {L"hk_clip_redo", L"hotkey", 0, 0, nullptr},
        {L"clip_audio_system", L"bool", 0, 0, nullptr},
        {L"clip_audio_mic", L"bool", 0, 0, nullptr},
        {L"replay_enabled", L"bool", 0, 0, nullptr},
        {L"folder1", L"path", 0, 0, nullptr},
        {L"folder2", L"path", 0, 0, nullptr},
        {L"folder3", L"path", 0, 0, nullptr},
        {L"folder4", L"path", 0, 0, nullptr},
        {L"folder5", L"path", 0, 0, nullptr},
        {L"folder6", L"path", 0, 0, nullptr},
        {L"folder7", L"path", 0, 0, nullptr},
        {L"folder8", L"path", 0, 0, nullptr},
        {L"folder9", L"path", 0, 0, nullptr},
        {L"warn_free_mb", L"int", 0, 1048576, nullptr},
        {L"stop_free_mb", L"int", 0, 1048576, nullptr},
        {L"warn_ivra_gb", L"int", 0, 100000, nullptr},
        {L"mem_percent", L"int", 1, 50, nullptr},
        {L"stills_workers", L"int", 1, 16, nullptr},
        {L"clips_workers", L"int", 1, 16, nullptr},
        {L"dxgi_keep_warm", L"bool", 0, 0, nullptr},
        {L"region_freeze", L"bool", 0, 0, nullptr},
        {L"server_url", L"url", 0, 0, nullptr},
        {L"upload_mode", L"enum", 0, 0, L"ask|auto|manual"},
        {L"upload_workers", L"int", 1, 4, nullptr},
        {L"onboarded", L"bool", 0, 0, nullptr},
        {L"update_auto", L"bool", 0, 0, nullptr},
    };
    for (int i = 0; i < CONFIG_SCHEMA_COUNT; ++i) {
        const config_schema_entry& e = config_schema[i];
        SCOPED_TRACE(narrow(rows[i].key));
        EXPECT_STREQ(e.key, rows[i].key);
        EXPECT_STREQ(config_type_name(e.type), rows[i].type);
        if (e.type == CONFIG_TYPE_INT) {
            EXPECT_EQ(e.min, rows[i].min);
            EXPECT_EQ(e.max, rows[i].max);
        }
        if (rows[i].words) {
            EXPECT_STREQ(e.words, rows[i].words);
        } else {
            EXPECT_EQ(e.words, nullptr);
        }
        ASSERT_NE(e.description, nullptr);
        EXPECT_GT(wcslen(e.description), 5u);
    }
    EXPECT_EQ(config_schema[6].type, CONFIG_TYPE_ENUM_TEXT);
    EXPECT_EQ(config_schema[2].type, CONFIG_TYPE_ENUM_INDEX);
    EXPECT_STREQ(config_schema[28].description, L"Destination folder for slot 3 (digit chord / --folder 3)");
    EXPECT_STREQ(config_schema[8].description, L"Show rule-of-thirds grid when dragging a region (next capture)");
    EXPECT_STREQ(config_schema[38].description, L"Frame-buffer memory budget as % of RAM (needs agent restart)");
}

TEST(config_schema, find_ignores_case) {
    EXPECT_EQ(config_schema_find(L"HK_REGION"), &config_schema[16]);
    EXPECT_EQ(config_schema_find(L"Jpeg_Quality"), &config_schema[3]);
    EXPECT_EQ(config_schema_find(L"jpeg"), nullptr);
    EXPECT_EQ(config_schema_find(L"collection1"), nullptr);  // not user-settable here
    EXPECT_EQ(config_schema_find(L"folder10"), nullptr);
    EXPECT_EQ(config_schema_find(L""), nullptr);
    EXPECT_EQ(config_schema_find(nullptr), nullptr);
}

// Every key writes the field it names: set each from text, then check the field.
TEST(config_schema, each_key_fills_its_own_field) {
    struct probe {
        const wchar_t* key;
        const wchar_t* text;
        const wchar_t* shown;  // config_get_text afterwards
    };
    const probe probes[] = {
        {L"still_format", L"jpg", L"jpg"},
        {L"jpeg_quality", L"77", L"77"},
        {L"clip_fps", L"30", L"30"},
        {L"clip_bitrate_kbps", L"8000", L"8000"},
        {L"clip_encoder", L"h264_amf", L"h264_amf"},
        {L"play_sound", L"0", L"0"},
        {L"region_grid", L"0", L"0"},
        {L"hotkey_raw", L"0", L"0"},
        {L"hotkey_hook", L"0", L"0"},
        {L"region_input", L"native", L"native"},
        {L"raw_mouse_percent", L"250", L"250"},
        {L"region_capture_input", L"0", L"0"},
        {L"hk_screen", L"F9", L"F9"},
        {L"hk_window", L"Alt+F9", L"Alt+F9"},
        {L"hk_region", L"Ctrl+1", L"Ctrl+1"},
        {L"hk_clip", L"Ctrl+2", L"Ctrl+2"},
        {L"hk_clip_app", L"Ctrl+3", L"Ctrl+3"},
        {L"hk_clip_screen", L"Ctrl+4", L"Ctrl+4"},
        {L"hk_replay", L"Ctrl+5", L"Ctrl+5"},
        {L"hk_clip_pause", L"Ctrl+6", L"Ctrl+6"},
        {L"hk_clip_redo", L"Ctrl+7", L"Ctrl+7"},
        {L"clip_audio_system", L"0", L"0"},
        {L"clip_audio_mic", L"1", L"1"},
        {L"replay_enabled", L"1", L"1"},
        {L"warn_free_mb", L"11", L"11"},
        {L"stop_free_mb", L"12", L"12"},
        {L"warn_ivra_gb", L"13", L"13"},
        {L"mem_percent", L"14", L"14"},
        {L"stills_workers", L"15", L"15"},
        {L"clips_workers", L"16", L"16"},
        {L"dxgi_keep_warm", L"0", L"0"},
        {L"region_freeze", L"1", L"1"},
        {L"server_url", L"http://127.0.0.1:9", L"http://127.0.0.1:9"},
        {L"upload_mode", L"manual", L"manual"},
        {L"upload_workers", L"3", L"3"},
        {L"onboarded", L"1", L"1"},
        {L"update_auto", L"1", L"1"},
    };
    config* cfg = fresh();
    for (const auto& p : probes) {
        SCOPED_TRACE(narrow(p.key));
        wchar_t err[256] = L"";
        ASSERT_TRUE(config_set_value(cfg, p.key, p.text, err, 256, false)) << narrow(err);
        wchar_t out[300];
        ASSERT_TRUE(config_get_text(cfg, p.key, out, 300));
        EXPECT_STREQ(out, p.shown);
    }
    // Spot checks on the record itself: the right field moved, not a neighbour.
    EXPECT_EQ(cfg->still_format, 1);
    EXPECT_EQ(cfg->jpeg_quality, 77);
    EXPECT_EQ(cfg->clip_audio_system, 0);
    EXPECT_EQ(cfg->clip_audio_mic, 1);
    EXPECT_EQ(cfg->stills_workers, 15);
    EXPECT_EQ(cfg->clips_workers, 16);
    EXPECT_EQ(cfg->upload_mode, 2);
    EXPECT_EQ(cfg->upload_workers, 3);
    EXPECT_EQ(cfg->hotkeys[0].vk, 0x78u);
    EXPECT_EQ(cfg->hotkeys[8].vk, 0x37u);
    EXPECT_EQ(cfg->hotkeys[8].mods, 0x4002u);
    EXPECT_STREQ(cfg->clip_encoder, L"h264_amf");
    EXPECT_STREQ(cfg->server_url, L"http://127.0.0.1:9");
}

struct set_case {
    const wchar_t* key;
    const wchar_t* text;
    bool ok;
    const wchar_t* shown_or_message;
};

const set_case k_set_cases[] = {
    // integers
    {L"jpeg_quality", L"85", true, L"85"},
    {L"jpeg_quality", L" 85", true, L"85"},
    {L"jpeg_quality", L"+7", true, L"7"},
    {L"jpeg_quality", L"0", false, L"jpeg_quality must be 1..100 (got 0)"},
    {L"jpeg_quality", L"101", false, L"jpeg_quality must be 1..100 (got 101)"},
    {L"jpeg_quality", L"85x", false, L"jpeg_quality must be 1..100 (got 85x)"},
    {L"jpeg_quality", L"8 5", false, L"jpeg_quality must be 1..100 (got 8 5)"},
    {L"jpeg_quality", L"85 ", false, L"jpeg_quality must be 1..100 (got 85 )"},
    {L"jpeg_quality", L"", false, L"jpeg_quality must be 1..100 (got )"},
    {L"jpeg_quality", L"-", false, L"jpeg_quality must be 1..100 (got -)"},
    {L"JPEG_QUALITY", L"0", false, L"jpeg_quality must be 1..100 (got 0)"},
    {L"warn_ivra_gb", L"", true, L"0"},
    {L"warn_free_mb", L"1048576", true, L"1048576"},
    {L"warn_free_mb", L"1048577", false, L"warn_free_mb must be 0..1048576 (got 1048577)"},
    {L"clip_bitrate_kbps", L"99999999999", false, L"clip_bitrate_kbps must be 500..200000 (got 99999999999)"},
    {L"clip_bitrate_kbps", L"4294967796", false, L"clip_bitrate_kbps must be 500..200000 (got 4294967796)"},
    {L"raw_mouse_percent", L"-5", false, L"raw_mouse_percent must be 25..400 (got -5)"},
    // booleans
    {L"play_sound", L"Off", true, L"0"},
    {L"play_sound", L"YES", true, L"1"},
    {L"play_sound", L"true", true, L"1"},
    {L"play_sound", L"No", true, L"0"},
    {L"play_sound", L"2", false, L"play_sound must be a boolean (1/0/true/false/on/off/yes/no; got 2)"},
    {L"play_sound", L"", false, L"play_sound must be a boolean (1/0/true/false/on/off/yes/no; got )"},
    {L"play_sound", L"onn", false, L"play_sound must be a boolean (1/0/true/false/on/off/yes/no; got onn)"},
    // enumerations by index
    {L"still_format", L"JPG", true, L"jpg"},
    {L"still_format", L"png", true, L"png"},
    {L"still_format", L"gif", false, L"still_format must be one of: png, jpg (got gif)"},
    {L"still_format", L"jp", false, L"still_format must be one of: png, jpg (got jp)"},
    {L"still_format", L"1", false, L"still_format must be one of: png, jpg (got 1)"},
    {L"region_input", L"Raw", true, L"raw"},
    {L"upload_mode", L"AUTO", true, L"auto"},
    {L"upload_mode", L"", false, L"upload_mode must be one of: ask, auto, manual (got )"},
    // enumeration by word
    {L"clip_encoder", L"H264_NVENC", true, L"h264_nvenc"},
    {L"clip_encoder", L"x264", false,
     L"clip_encoder must be one of: auto, h264_nvenc, h264_amf, h264_qsv, h264_mf (got x264)"},
    {L"clip_encoder", L"h264", false,
     L"clip_encoder must be one of: auto, h264_nvenc, h264_amf, h264_qsv, h264_mf (got h264)"},
    // hotkeys: the parser's message passes through
    {L"hk_region", L"Ctrl+Shift+S", true, L"Ctrl+Shift+S"},
    {L"hk_region", L"none", true, L"None"},
    {L"hk_region", L"Ctrl+Foo", false, L"unknown key name 'Foo'"},
    {L"hk_region", L"S", false, L"hotkey needs a modifier (Ctrl/Alt/Shift/Win) unless it is PrtSc or F1-F24"},
    // addresses
    {L"server_url", L"https://ivra.example.com///", true, L"https://ivra.example.com"},
    {L"server_url", L"HTTP://Host:8080/api/", true, L"HTTP://Host:8080/api"},
    {L"server_url", L"https:///", true, L"https://"},
    {L"server_url", L"ftp://host", false, L"server_url must be an http(s):// address (got ftp://host)"},
    {L"server_url", L"https://a b", false, L"server_url must be an http(s):// address (got https://a b)"},
    {L"server_url", L"https://a\r\nb", false, L"server_url must be an http(s):// address (got https://a\r\nb)"},
    {L"server_url", L"", false, L"server_url must be an http(s):// address (got )"},
    {L"server_url", L"http:/x", false, L"server_url must be an http(s):// address (got http:/x)"},
    // unknown keys keep the text as typed
    {L"jpeg", L"85", false, L"unknown key 'jpeg'; run 'ivrac config schema'"},
    {L"Collection1", L"12", false, L"unknown key 'Collection1'; run 'ivrac config schema'"},
    // paths that are refused before touching the disk
    {L"stills_dir", L"", false, L"stills_dir must not be empty"},
    {L"clips_dir", L"", false, L"clips_dir must not be empty"},
    {L"folder3", L"", true, L""},
    {L"stills_dir", L"C:\\a\nb", false, L"stills_dir: invalid path 'C:\\a\nb'"},
};

TEST(config_set_value, table_of_values_and_messages) {
    for (const auto& c : k_set_cases) {
        SCOPED_TRACE(testing::Message() << narrow(c.key) << " = '" << narrow(c.text) << "'");
        config* cfg = fresh();
        wcscpy(cfg->folders[2], L"C:\\old");
        static config before;
        before = *cfg;
        wchar_t err[512] = L"";
        bool ok = config_set_value(cfg, c.key, c.text, err, 512, false);
        ASSERT_EQ(ok, c.ok) << narrow(err);
        if (ok) {
            wchar_t out[300];
            ASSERT_TRUE(config_get_text(cfg, c.key, out, 300));
            EXPECT_STREQ(out, c.shown_or_message);
        } else {
            EXPECT_STREQ(err, c.shown_or_message);
            EXPECT_EQ(memcmp(cfg, &before, sizeof before), 0) << "record changed on failure";
        }
    }
}

TEST(config_set_value, url_length_limit) {
    config* cfg = fresh();
    wchar_t err[512];
    std::wstring url = L"https://" + std::wstring(247, L'a');  // 255 characters
    ASSERT_TRUE(config_set_value(cfg, L"server_url", url.c_str(), err, 512, false));
    EXPECT_EQ(std::wstring(cfg->server_url), url);
    url += L"a";
    EXPECT_FALSE(config_set_value(cfg, L"server_url", url.c_str(), err, 512, false));
    EXPECT_EQ(std::wstring(err).rfind(L"server_url must be an http(s):// address (got ", 0), 0u);
}

TEST(config_set_value, message_cut_to_capacity) {
    config* cfg = fresh();
    wchar_t err[13];
    EXPECT_FALSE(config_set_value(cfg, L"jpeg_quality", L"0", err, 13, false));
    EXPECT_STREQ(err, L"jpeg_quality");
}

std::wstring temp_dir() {
    wchar_t t[MAX_PATH];
    GetTempPathW(MAX_PATH, t);
    std::wstring s = t;
    if (!s.empty() && s.back() == L'\\') s.pop_back();
    return s;
}

bool is_dir(const std::wstring& p) {
    DWORD a = GetFileAttributesW(p.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

TEST(config_set_value, path_expands_variables_and_becomes_absolute) {
    config* cfg = fresh();
    wchar_t err[512] = L"";
    ASSERT_TRUE(config_set_value(cfg, L"stills_dir", L"%TEMP%\\shots", err, 512, false)) << narrow(err);
    wchar_t expanded[MAX_PATH], full[MAX_PATH];
    ExpandEnvironmentStringsW(L"%TEMP%\\shots", expanded, MAX_PATH);
    GetFullPathNameW(expanded, MAX_PATH, full, nullptr);
    EXPECT_STREQ(cfg->stills_dir, full);
    EXPECT_EQ(wcschr(cfg->stills_dir, L'%'), nullptr);

    ASSERT_TRUE(config_set_value(cfg, L"folder1", L"rel\\..\\sub", err, 512, false));
    GetFullPathNameW(L"sub", MAX_PATH, full, nullptr);
    EXPECT_STREQ(cfg->folders[0], full);
}

TEST(config_set_value, path_on_a_missing_drive_is_refused) {
    wchar_t letter = 0;
    for (wchar_t l = L'Q'; l <= L'Y' && !letter; ++l) {
        wchar_t root[4] = {l, L':', L'\\', 0};
        if (GetDriveTypeW(root) == DRIVE_NO_ROOT_DIR) letter = l;
    }
    ASSERT_NE(letter, 0) << "no free drive letter to test with";
    config* cfg = fresh();
    static config before;
    before = *cfg;
    std::wstring path = std::wstring(1, letter) + L":\\shots";
    wchar_t err[512];
    EXPECT_FALSE(config_set_value(cfg, L"stills_dir", path.c_str(), err, 512, true));
    EXPECT_EQ(std::wstring(err), L"stills_dir: drive " + std::wstring(1, letter) + L":\\ does not exist");
    EXPECT_EQ(memcmp(cfg, &before, sizeof before), 0);
}

TEST(config_set_value, creates_folders_only_when_asked) {
    std::wstring base = temp_dir() + L"\\ivra-schema-" + std::to_wstring(GetCurrentProcessId());
    std::wstring deep = base + L"\\a\\b";
    config* cfg = fresh();
    wchar_t err[512] = L"";
    ASSERT_TRUE(config_set_value(cfg, L"clips_dir", deep.c_str(), err, 512, false));
    EXPECT_FALSE(is_dir(deep));
    ASSERT_TRUE(config_set_value(cfg, L"clips_dir", deep.c_str(), err, 512, true)) << narrow(err);
    EXPECT_TRUE(is_dir(deep));
    EXPECT_EQ(std::wstring(cfg->clips_dir), deep);
    // An existing folder is fine.
    EXPECT_TRUE(config_set_value(cfg, L"clips_dir", deep.c_str(), err, 512, true));

    // A file in the way of a parent cannot become a folder.
    std::wstring file = base + L"\\file";
    HANDLE h = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    std::wstring blocked = file + L"\\sub";
    EXPECT_FALSE(config_set_value(cfg, L"folder2", blocked.c_str(), err, 512, true));
    std::wstring prefix = L"folder2: cannot create '" + blocked + L"' (err=";
    EXPECT_EQ(std::wstring(err).rfind(prefix, 0), 0u) << narrow(err);
    EXPECT_EQ(std::wstring(err).back(), L')');
    EXPECT_EQ(cfg->folders[1][0], 0);
    // The file itself is no folder either, though the system says the name exists.
    EXPECT_FALSE(config_set_value(cfg, L"folder2", file.c_str(), err, 512, true));
    prefix = L"folder2: cannot create '" + file + L"' (err=";
    EXPECT_EQ(std::wstring(err).rfind(prefix, 0), 0u) << narrow(err);
    EXPECT_EQ(cfg->folders[1][0], 0);

    DeleteFileW(file.c_str());
    RemoveDirectoryW(deep.c_str());
    RemoveDirectoryW((base + L"\\a").c_str());
    RemoveDirectoryW(base.c_str());
}

TEST(config_get_text, odd_stored_values_and_unknown_keys) {
    config* cfg = fresh();
    cfg->still_format = 7;  // a hand-edited file may hold anything
    cfg->region_input = -1;
    cfg->play_sound = 2;
    wchar_t out[64];
    ASSERT_TRUE(config_get_text(cfg, L"still_format", out, 64));
    EXPECT_STREQ(out, L"7");
    ASSERT_TRUE(config_get_text(cfg, L"region_input", out, 64));
    EXPECT_STREQ(out, L"-1");
    ASSERT_TRUE(config_get_text(cfg, L"play_sound", out, 64));
    EXPECT_STREQ(out, L"1");
    wcscpy(out, L"junk");
    EXPECT_FALSE(config_get_text(cfg, L"nosuch", out, 64));
    EXPECT_STREQ(out, L"");
    wchar_t small[4];
    ASSERT_TRUE(config_get_text(cfg, L"clip_bitrate_kbps", small, 4));
    EXPECT_STREQ(small, L"200");
}

TEST(config_default_text, defaults_as_text) {
    const struct {
        const wchar_t* key;
        const wchar_t* text;
    } cases[] = {
        {L"hk_screen", L"PrtSc"},      {L"hk_window", L"Alt+PrtSc"},    {L"hk_region", L"Ctrl+Shift+C"},
        {L"hk_clip", L"Ctrl+Shift+G"}, {L"hk_replay", L"Ctrl+Shift+R"}, {L"hk_clip_app", L"None"},
        {L"upload_mode", L"ask"},      {L"still_format", L"png"},       {L"jpeg_quality", L"90"},
        {L"clip_encoder", L"auto"},    {L"region_input", L"auto"},      {L"folder9", L""},
        {L"play_sound", L"1"},         {L"mem_percent", L"10"},
    };
    for (const auto& c : cases) {
        wchar_t out[300] = L"junk";
        ASSERT_TRUE(config_default_text(c.key, out, 300)) << narrow(c.key);
        EXPECT_STREQ(out, c.text) << narrow(c.key);
    }
    wchar_t out[300];
    EXPECT_FALSE(config_default_text(L"nosuch", out, 300));
    // Every default is itself a valid value, so "config reset --all" can apply them.
    config* cfg = fresh();
    for (const auto& e : config_schema) {
        ASSERT_TRUE(config_default_text(e.key, out, 300));
        wchar_t err[512] = L"";
        EXPECT_TRUE(config_set_value(cfg, e.key, out, err, 512, false)) << narrow(e.key) << ": " << narrow(err);
    }
}

TEST(folder_name_check, plain_names_only) {
    const struct {
        const wchar_t* name;
        bool ok;
    } cases[] = {
        {L"shots", true}, {L"", true},      {L"a b", true},    {L"x.y", true},   {L".hidden", true}, {L"a/b", false},
        {L"a\\b", false}, {L"..", false},   {L".", false},     {L" x", false},   {L"x ", false},     {L"x.", false},
        {L"c:", false},   {L"a*", false},   {L"a?", false},    {L"a\"b", false}, {L"<a", false},     {L"a>", false},
        {L"a|b", false},  {L"a\tb", false}, {L"a\x1f", false},
    };
    for (const auto& c : cases) {
        wchar_t err[256] = L"";
        EXPECT_EQ(folder_name_check(c.name, err, 256), c.ok) << narrow(c.name);
        if (!c.ok) {
            EXPECT_EQ(std::wstring(err),
                      L"must be a plain folder name (no path separators; got '" + std::wstring(c.name) + L"')");
        }
    }
    std::wstring n63(63, L'n'), n64(64, L'n');
    wchar_t err[256];
    EXPECT_TRUE(folder_name_check(n63.c_str(), err, 256));
    EXPECT_FALSE(folder_name_check(n64.c_str(), err, 256));
}

TEST(format_bytes, units_and_precision) {
    const struct {
        uint64_t n;
        const char* text;
    } cases[] = {
        {0, "0 B"},
        {1023, "1023 B"},
        {1024, "1.00 KB"},
        {1536, "1.50 KB"},
        {10 * 1024 - 1, "10.00 KB"},  // 9.999 rounds up in the two-decimal form
        {10 * 1024, "10.0 KB"},
        {10485760, "10.0 MB"},
        {100ull * 1024 * 1024, "100 MB"},
        {1023ull * 1024 * 1024, "1023 MB"},
        {1024ull * 1024 * 1024, "1.00 GB"},
        {150ull * 1024 * 1024 * 1024, "150 GB"},
        {5ull << 40, "5.00 TB"},
        {3ull << 50, "3.00 PB"},
        {2048ull << 50, "2048 PB"},  // no unit above PB
        {UINT64_MAX, "16384 PB"},
    };
    for (const auto& c : cases) {
        char out[32];
        format_bytes(c.n, out, sizeof out);
        EXPECT_STREQ(out, c.text) << c.n;
        wchar_t wide[32];
        format_bytes_wide(c.n, wide, 32);
        EXPECT_EQ(narrow(wide), c.text);
    }
    char small[4];
    format_bytes(1536, small, sizeof small);
    EXPECT_STREQ(small, "1.5");
}

}  // namespace
