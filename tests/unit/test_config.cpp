#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "common/config.h"
#include "common/win.h"
#include "tests/unit/test_support.h"

namespace {

// The data folder comes from APPDATA, so each run gets its own before anything reads it.
std::wstring g_root;

struct config_test_env {
    config_test_env() {
        wchar_t tmp[MAX_PATH];
        GetTempPathW(MAX_PATH, tmp);
        wchar_t dir[MAX_PATH];
        swprintf(dir, MAX_PATH, L"%lsivra-test-config-%lu", tmp, GetCurrentProcessId());
        CreateDirectoryW(dir, nullptr);
        g_root = dir;
        SetEnvironmentVariableW(L"APPDATA", dir);
        SetEnvironmentVariableW(L"USERPROFILE", L"C:\\Users\\Ann");
    }
    ~config_test_env() {
        const wchar_t* names[] = {L"\\Ivra\\config.ini", L"\\Ivra\\config.ini.tmp", L"\\Ivra\\ivrad.log"};
        for (const wchar_t* n : names) {
            SetFileAttributesW((g_root + n).c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW((g_root + n).c_str());
        }
        RemoveDirectoryW((g_root + L"\\Ivra").c_str());
        RemoveDirectoryW(g_root.c_str());
    }
} g_env;

std::wstring ini_path() { return g_root + L"\\Ivra\\config.ini"; }
std::wstring tmp_path() { return g_root + L"\\Ivra\\config.ini.tmp"; }

std::string read_all(const std::wstring& path) {
    std::string out;
    return test_read_file(path, &out) ? out : "<missing>";
}

void write_all(const std::wstring& path, const std::string& text) {
    CreateDirectoryW((g_root + L"\\Ivra").c_str(), nullptr);
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(f, INVALID_HANDLE_VALUE);
    DWORD put = 0;
    ASSERT_TRUE(WriteFile(f, text.data(), (DWORD)text.size(), &put, nullptr));
    CloseHandle(f);
}

void remove_files() {
    SetFileAttributesW(ini_path().c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(ini_path().c_str());
    RemoveDirectoryW(tmp_path().c_str());
    DeleteFileW(tmp_path().c_str());
}

config loaded_from(const std::string& text) {
    config cfg;
    config_defaults(&cfg);
    config_apply_text(&cfg, text.data(), text.size());
    return cfg;
}

config defaults() {
    config cfg;
    config_defaults(&cfg);
    return cfg;
}

// The file text of the defaults (with two stills workers), written out in full.
const char kDefaultText[] = "stills_dir=C:\\Users\\Ann\\Pictures\\Ivra\r\n"
                            "clips_dir=C:\\Users\\Ann\\Videos\\Ivra\r\n"
                            "still_format=0\r\n"
                            "jpeg_quality=90\r\n"
                            "clip_fps=60\r\n"
                            "clip_bitrate_kbps=20000\r\n"
                            "play_sound=1\r\n"
                            "region_grid=1\r\n"
                            "hotkey_raw=1\r\n"
                            "hotkey_hook=1\r\n"
                            "region_input=0\r\n"
                            "raw_mouse_percent=100\r\n"
                            "region_capture_input=1\r\n"
                            "clip_encoder=auto\r\n"
                            "hk_screen=0,44\r\n"
                            "hk_window=16385,44\r\n"
                            "hk_region=16390,67\r\n"
                            "hk_clip=16390,71\r\n"
                            "hk_clip_app=0,0\r\n"
                            "hk_clip_screen=0,0\r\n"
                            "hk_replay=16390,82\r\n"
                            "hk_clip_pause=0,0\r\n"
                            "hk_clip_redo=0,0\r\n"
                            "folder1=\r\n"
                            "folder2=\r\n"
                            "folder3=\r\n"
                            "folder4=\r\n"
                            "folder5=\r\n"
                            "folder6=\r\n"
                            "folder7=\r\n"
                            "folder8=\r\n"
                            "folder9=\r\n"
                            "collection1=\r\ncollection1_name=\r\n"
                            "collection2=\r\ncollection2_name=\r\n"
                            "collection3=\r\ncollection3_name=\r\n"
                            "collection4=\r\ncollection4_name=\r\n"
                            "collection5=\r\ncollection5_name=\r\n"
                            "collection6=\r\ncollection6_name=\r\n"
                            "collection7=\r\ncollection7_name=\r\n"
                            "collection8=\r\ncollection8_name=\r\n"
                            "collection9=\r\ncollection9_name=\r\n"
                            "warn_free_mb=2048\r\n"
                            "stop_free_mb=256\r\n"
                            "warn_ivra_gb=0\r\n"
                            "mem_percent=10\r\n"
                            "stills_workers=2\r\n"
                            "clips_workers=2\r\n"
                            "dxgi_keep_warm=1\r\n"
                            "region_freeze=0\r\n"
                            "replay_enabled=0\r\n"
                            "clip_audio_system=1\r\n"
                            "clip_audio_mic=0\r\n"
                            "server_url=https://ivra.app\r\n"
                            "upload_mode=0\r\n"
                            "upload_workers=2\r\n"
                            "onboarded=0\r\n"
                            "update_auto=0\r\n";

}  // namespace

TEST(ConfigPaths, FromAppData) {
    wchar_t dir[260], path[260];
    app_data_dir(dir);
    config_path(path);
    EXPECT_EQ(std::wstring(dir), g_root + L"\\Ivra");
    EXPECT_EQ(std::wstring(path), ini_path());
}

TEST(ConfigDefaults, Values) {
    config cfg = defaults();
    EXPECT_STREQ(cfg.stills_dir, L"C:\\Users\\Ann\\Pictures\\Ivra");
    EXPECT_STREQ(cfg.clips_dir, L"C:\\Users\\Ann\\Videos\\Ivra");
    EXPECT_STREQ(cfg.clip_encoder, L"auto");
    EXPECT_STREQ(cfg.server_url, L"https://ivra.app");
    EXPECT_EQ(cfg.jpeg_quality, 90);
    EXPECT_EQ(cfg.clip_bitrate_kbps, 20000);
    EXPECT_EQ(cfg.warn_free_mb, 2048);
    EXPECT_EQ(cfg.stop_free_mb, 256);
    EXPECT_EQ(cfg.raw_mouse_percent, 100);
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    EXPECT_EQ(cfg.stills_workers, config_stills_workers_for(si.dwNumberOfProcessors));
    for (int i = 0; i < HOTKEY_COUNT; ++i) {
        EXPECT_EQ(hotkey_actions[i].id, i + 1);
        EXPECT_EQ(cfg.hotkeys[i].mods, hotkey_actions[i].def.mods);
        EXPECT_EQ(cfg.hotkeys[i].vk, hotkey_actions[i].def.vk);
        EXPECT_EQ(strncmp(hotkey_actions[i].key, "hk_", 3), 0);
        EXPECT_EQ(std::string(hotkey_actions[i].key + 3), hotkey_actions[i].name);
    }
    for (int i = 0; i < 9; ++i) {
        EXPECT_EQ(cfg.folders[i][0], 0);
        EXPECT_EQ(cfg.collections[i][0], 0);
    }
}

TEST(ConfigDefaults, StillsWorkersFromProcessorCount) {
    struct {
        unsigned processors;
        int workers;
    } cases[] = {{0, 2}, {1, 2}, {2, 2}, {5, 2}, {6, 3}, {7, 3}, {8, 4}, {9, 4}, {64, 4}};
    for (const auto& c : cases) EXPECT_EQ(config_stills_workers_for(c.processors), c.workers) << c.processors;
}

TEST(ConfigLoad, NumberReader) {
    struct {
        const wchar_t* text;
        int value;
    } cases[] = {
        {L"85", 85},
        {L" 85", 85},
        {L"\t-12x", -12},
        {L"+7", 7},
        {L"abc", 0},
        {L"", 0},
        {L"- 5", 0},
        {L"12 34", 12},
        {L"99999999999", 2147483647},
        {L"-99999999999", -2147483647 - 1},
    };
    for (const auto& c : cases) EXPECT_EQ(config_parse_int(c.text), c.value);
}

TEST(ConfigLoad, HotkeyNumbersReadBackAsWritten) {
    // Each side is an unsigned 32-bit number; one that would be saved as another number than
    // the one read (a sign, more than 32 bits) leaves the pair as it was.
    const config d = defaults();
    const hotkey_pair def = d.hotkeys[1];
    struct {
        const char* line;
        uint32_t mods, vk;
    } cases[] = {
        {"hk_window=2,65", 2, 65},
        {"hk_window=+2, 65", 2, 65},
        {"hk_window=,65", 0, 65},
        {"hk_window=4294967295,4294967292", 4294967295u, 4294967292u},
        {"hk_window=,-4", def.mods, def.vk},
        {"hk_window=-1,65", def.mods, def.vk},
        {"hk_window=4294967296,65", def.mods, def.vk},
        {"hk_window=2,99999999999", def.mods, def.vk},
    };
    for (const auto& c : cases) {
        const config got = loaded_from(c.line);
        EXPECT_EQ(got.hotkeys[1].mods, c.mods) << c.line;
        EXPECT_EQ(got.hotkeys[1].vk, c.vk) << c.line;
        // What was loaded is saved and loaded again unchanged.
        config first = got;
        remove_files();
        ASSERT_TRUE(config_save(&first));
        config again;
        ASSERT_TRUE(config_load(&again));
        EXPECT_EQ(memcmp(&first, &again, sizeof first), 0) << c.line;
        remove_files();
    }
}

TEST(ConfigLoad, Lines) {
    const config d = defaults();
    struct {
        const char* text;
        std::function<bool(const config&)> check;
    } cases[] = {
        {"  jpeg_quality  =85", [](const config& c) { return c.jpeg_quality == 85; }},
        {"jpeg_quality= 85", [](const config& c) { return c.jpeg_quality == 85; }},
        {"jpeg_quality=abc", [](const config& c) { return c.jpeg_quality == 0; }},
        {"Jpeg_quality=50", [&](const config& c) { return c.jpeg_quality == d.jpeg_quality; }},
        {"\tclip_fps\t=\t30", [](const config& c) { return c.clip_fps == 30; }},
        {"jpeg_quality", [&](const config& c) { return c.jpeg_quality == d.jpeg_quality; }},
        {"# jpeg_quality=1\n; jpeg_quality=2\n[jpeg_quality=3]",
         [&](const config& c) { return c.jpeg_quality == d.jpeg_quality; }},
        {"[section]\njpeg_quality=70", [](const config& c) { return c.jpeg_quality == 70; }},
        {"hk_region=16390,67", [](const config& c) { return c.hotkeys[2].mods == 0x4006 && c.hotkeys[2].vk == 0x43; }},
        {"hk_region=1,2", [](const config& c) { return c.hotkeys[2].mods == 1 && c.hotkeys[2].vk == 2; }},
        {"hk_region=67", [](const config& c) { return c.hotkeys[2].mods == 0x4006 && c.hotkeys[2].vk == 0x43; }},
        {"hk_screen=0,0", [](const config& c) { return c.hotkeys[0].mods == 0 && c.hotkeys[0].vk == 0; }},
        {"hk_clip_redo=2,90", [](const config& c) { return c.hotkeys[8].mods == 2 && c.hotkeys[8].vk == 90; }},
        {"hk_bogus=1,2", [&](const config& c) { return memcmp(c.hotkeys, d.hotkeys, sizeof(d.hotkeys)) == 0; }},
        {"clip_encoder=libx264", [](const config& c) { return wcscmp(c.clip_encoder, L"h264_mf") == 0; }},
        {"clip_encoder=h264_nvenc", [](const config& c) { return wcscmp(c.clip_encoder, L"h264_nvenc") == 0; }},
        {"server_url=", [](const config& c) { return wcscmp(c.server_url, L"https://ivra.app") == 0; }},
        {"server_url=http://127.0.0.1:8080",
         [](const config& c) { return wcscmp(c.server_url, L"http://127.0.0.1:8080") == 0; }},
        {"collection3=12a", [](const config& c) { return c.collections[2][0] == 0; }},
        {"collection3=000123", [](const config& c) { return strcmp(c.collections[2], "000123") == 0; }},
        {"collection3=000123\ncollection3=x", [](const config& c) { return c.collections[2][0] == 0; }},
        {"collection9=12345678901234567890123", [](const config& c) { return strlen(c.collections[8]) == 23; }},
        {"collection9=123456789012345678901234", [](const config& c) { return c.collections[8][0] == 0; }},
        {"collection1_name=Trips \xc3\xa9t\xc3\xa9",
         [](const config& c) { return wcscmp(c.collection_names[0], L"Trips \u00e9t\u00e9") == 0; }},
        {"folder1=D:\\Shots", [](const config& c) { return wcscmp(c.folders[0], L"D:\\Shots") == 0; }},
        {"folder9=E:\\x", [](const config& c) { return wcscmp(c.folders[8], L"E:\\x") == 0; }},
        {"folder10=D:\\x\nfolder0=D:\\y\nfolder=D:\\z",
         [](const config& c) {
             for (int i = 0; i < 9; ++i)
                 if (c.folders[i][0]) return false;
             return true;
         }},
        {"stills_dir=D:\\Caps \xe6\x97\xa5",
         [](const config& c) { return wcscmp(c.stills_dir, L"D:\\Caps \u65e5") == 0; }},
        {"stills_dir=D:\\trailing  ", [](const config& c) { return wcscmp(c.stills_dir, L"D:\\trailing  ") == 0; }},
        {"mem_percent=25\r\nupload_workers=9\r\nupdate_auto=1",
         [](const config& c) { return c.mem_percent == 25 && c.upload_workers == 9 && c.update_auto == 1; }},
        {"stills_workers=7", [](const config& c) { return c.stills_workers == 7; }},
        {"=5\n   =6", [&](const config& c) { return memcmp(&c, &d, sizeof(d)) == 0; }},
        {"unknown_key=5", [&](const config& c) { return memcmp(&c, &d, sizeof(d)) == 0; }},
    };
    for (const auto& c : cases) EXPECT_TRUE(c.check(loaded_from(c.text))) << c.text;
}

TEST(ConfigLoad, OverlongValuesKeepTheField) {
    const config d = defaults();
    std::string long_path = "stills_dir=D:\\" + std::string(300, 'p');
    EXPECT_STREQ(loaded_from(long_path).stills_dir, d.stills_dir);
    std::string fits = "stills_dir=D:\\" + std::string(256, 'p');  // 259 characters
    EXPECT_EQ(wcslen(loaded_from(fits).stills_dir), 259u);
    EXPECT_STREQ(loaded_from("clip_encoder=" + std::string(40, 'e')).clip_encoder, L"auto");
    EXPECT_STREQ(loaded_from("server_url=https://" + std::string(250, 'h')).server_url, L"https://ivra.app");
    EXPECT_EQ(wcslen(loaded_from("collection2_name=" + std::string(200, 'n')).collection_names[1]), 127u);
    EXPECT_EQ(loaded_from("hk_clip=" + std::string(100, '1') + "," + std::string(100, '2')).hotkeys[3].vk,
              d.hotkeys[3].vk);
    EXPECT_EQ(loaded_from(std::string(70, 'k') + "=1\njpeg_quality=3").jpeg_quality, 3);
}

TEST(ConfigLoad, ByteOrderMarkAndCrLf) {
    const std::string plain = "jpeg_quality=77\nstills_dir=D:\\a\nhk_clip=1,65\n";
    const std::string dressed = "\xEF\xBB\xBFjpeg_quality=77\r\nstills_dir=D:\\a\r\nhk_clip=1,65\r\n";
    config a = loaded_from(plain), b = loaded_from(dressed);
    EXPECT_EQ(memcmp(&a, &b, sizeof(a)), 0);
    EXPECT_EQ(a.jpeg_quality, 77);
    EXPECT_STREQ(b.stills_dir, L"D:\\a");
}

TEST(ConfigSave, DefaultsTextByteForByte) {
    config cfg = defaults();
    cfg.stills_workers = 2;
    static char text[32768];
    size_t n = config_format(&cfg, text, sizeof(text));
    EXPECT_EQ(std::string(text, n), kDefaultText);

    remove_files();
    ASSERT_TRUE(config_save(&cfg));
    EXPECT_EQ(read_all(ini_path()), kDefaultText);
    EXPECT_EQ(GetFileAttributesW(tmp_path().c_str()), INVALID_FILE_ATTRIBUTES);
    remove_files();
}

TEST(ConfigSave, RoundTrip) {
    config cfg = defaults();
    wcscpy(cfg.stills_dir, L"D:\\Bilder \u00e4\u65e5");
    wcscpy(cfg.clips_dir, L"E:\\Clips");
    wcscpy(cfg.clip_encoder, L"h264_nvenc");
    wcscpy(cfg.folders[4], L"F:\\Slot five");
    strcpy(cfg.collections[1], "4242");
    wcscpy(cfg.collection_names[1], L"Holiday \u00e9t\u00e9");
    wcscpy(cfg.server_url, L"http://127.0.0.1:9000");
    cfg.hotkeys[4] = {0x4003, 0x41};
    cfg.jpeg_quality = -5;
    cfg.upload_mode = 2;
    cfg.update_auto = 1;
    remove_files();
    ASSERT_TRUE(config_save(&cfg));
    config back;
    ASSERT_TRUE(config_load(&back));
    EXPECT_EQ(memcmp(&cfg, &back, sizeof(cfg)), 0);
    remove_files();
}

TEST(ConfigSave, NamesAndLineBreaks) {
    config cfg = defaults();
    wcscpy(cfg.collection_names[0], L"no id");  // written empty: its identifier is empty
    strcpy(cfg.collections[2], "7");
    wcscpy(cfg.collection_names[2], L"a\r\nserver_url=http://evil");
    wcscpy(cfg.stills_dir, L"D:\\x\nserver_url=http://evil");
    static char text[32768];
    size_t n = config_format(&cfg, text, sizeof(text));
    std::string s(text, n);
    EXPECT_NE(s.find("\r\ncollection1_name=\r\n"), std::string::npos);
    EXPECT_NE(s.find("\r\ncollection3_name=a  server_url=http://evil\r\n"), std::string::npos);
    EXPECT_EQ(s.find("stills_dir=D:\\x server_url=http://evil\r\n"), 0u);
    config back = loaded_from(s);
    EXPECT_STREQ(back.server_url, L"https://ivra.app");
    EXPECT_EQ(back.collection_names[0][0], 0);
}

TEST(ConfigLoad, FileResults) {
    config cfg;
    remove_files();
    cfg.jpeg_quality = 1;
    EXPECT_FALSE(config_load(&cfg));
    EXPECT_EQ(cfg.jpeg_quality, 90);

    std::string body = "jpeg_quality=55\n";
    write_all(ini_path(), body + std::string(65536 - body.size(), '#'));
    EXPECT_TRUE(config_load(&cfg));
    EXPECT_EQ(cfg.jpeg_quality, 55);

    write_all(ini_path(), body + std::string(65537 - body.size(), '#'));
    EXPECT_FALSE(config_load(&cfg));
    EXPECT_EQ(cfg.jpeg_quality, 90);

    write_all(ini_path(), "");
    EXPECT_TRUE(config_load(&cfg));
    write_all(ini_path(), "nothing useful\n");
    EXPECT_TRUE(config_load(&cfg));
    remove_files();
}

// A save that cannot complete must leave the previous file exactly as it was.
TEST(ConfigSave, FailedSaveKeepsOldFile) {
    const std::string old_text = "jpeg_quality=33\r\nhand edited # kept\r\n";
    config cfg = defaults();
    cfg.jpeg_quality = 44;

    // The temporary name is taken by a folder: nothing can be written.
    remove_files();
    write_all(ini_path(), old_text);
    ASSERT_TRUE(CreateDirectoryW(tmp_path().c_str(), nullptr));
    EXPECT_FALSE(config_save(&cfg));
    EXPECT_EQ(read_all(ini_path()), old_text);
    EXPECT_TRUE(RemoveDirectoryW(tmp_path().c_str()));

    // A read-only config.ini cannot be replaced; no temporary file is left behind.
    write_all(ini_path(), old_text);
    ASSERT_TRUE(SetFileAttributesW(ini_path().c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_FALSE(config_save(&cfg));
    EXPECT_EQ(read_all(ini_path()), old_text);
    EXPECT_EQ(GetFileAttributesW(tmp_path().c_str()), INVALID_FILE_ATTRIBUTES);

    // Once writable again, the save goes through and replaces the whole file.
    SetFileAttributesW(ini_path().c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_TRUE(config_save(&cfg));
    config back;
    EXPECT_TRUE(config_load(&back));
    EXPECT_EQ(back.jpeg_quality, 44);
    EXPECT_EQ(read_all(ini_path()).find("hand edited"), std::string::npos);
    remove_files();
}

TEST(ConfigSave, CreatesTheDataFolder) {
    remove_files();
    DeleteFileW((g_root + L"\\Ivra\\ivrad.log").c_str());
    ASSERT_TRUE(RemoveDirectoryW((g_root + L"\\Ivra").c_str()));
    config cfg = defaults();
    EXPECT_TRUE(config_save(&cfg));
    EXPECT_NE(read_all(ini_path()), "<missing>");
    remove_files();
}
