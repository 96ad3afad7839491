#pragma once
// The settings record, its file config.ini in the data folder, and the table
// of the nine hotkey actions.
#include <cstddef>
#include <cstdint>

// Web-service address used until config.ini names another.
#define CONFIG_DEFAULT_SERVER_URL L"https://ivra.app"

struct hotkey_pair {
    uint32_t mods;  // RegisterHotKey modifier bits: 1 Alt, 2 Ctrl, 4 Shift, 8 Win, 0x4000 no-repeat
    uint32_t vk;    // virtual key; 0 = no hotkey
};

enum {
    HOTKEY_SCREEN = 1,
    HOTKEY_WINDOW,
    HOTKEY_REGION,
    HOTKEY_CLIP,
    HOTKEY_CLIP_APP,
    HOTKEY_CLIP_SCREEN,
    HOTKEY_REPLAY,
    HOTKEY_CLIP_PAUSE,
    HOTKEY_CLIP_REDO,
    HOTKEY_COUNT = 9
};

struct hotkey_action {
    int id;             // 1..9, also the RegisterHotKey id
    const char* key;    // "hk_screen"
    const char* name;   // "screen"
    const char* label;  // "Screen"
    hotkey_pair def;
};

// Rows in id order; hotkey_actions[i].id == i + 1.
extern const hotkey_action hotkey_actions[HOTKEY_COUNT];

struct config {
    wchar_t stills_dir[260];
    wchar_t clips_dir[260];
    int still_format;  // 0 png, 1 jpg
    int jpeg_quality;
    int clip_fps;
    int clip_bitrate_kbps;
    int play_sound;
    int region_grid;
    int hotkey_raw;
    int hotkey_hook;
    int region_input;
    int raw_mouse_percent;
    int region_capture_input;
    wchar_t clip_encoder[32];
    hotkey_pair hotkeys[HOTKEY_COUNT];  // index = action id - 1
    wchar_t folders[9][260];            // folder1..folder9
    char collections[9][24];            // collection1..collection9 (decimal digits)
    wchar_t collection_names[9][128];   // collection1_name..collection9_name
    int warn_free_mb;
    int stop_free_mb;
    int warn_ivra_gb;
    int mem_percent;
    int stills_workers;
    int clips_workers;
    int dxgi_keep_warm;
    int region_freeze;
    int replay_enabled;
    int clip_audio_system;
    int clip_audio_mic;
    wchar_t server_url[256];
    int upload_mode;
    int upload_workers;
    int onboarded;
    int update_auto;
};

// The data folder "%APPDATA%\Ivra" (not created here); out holds 260 characters.
void app_data_dir(wchar_t out[260]);
// Full path of config.ini.
void config_path(wchar_t out[260]);
// Zeroes the record and sets every default.
void config_defaults(config* cfg);
// Defaults, then the file over them. True when the file was read; cfg is always complete.
bool config_load(config* cfg);
// Rewrites the whole file from the record: the text goes to "config.ini.tmp" first and is
// moved over config.ini, so a failed save leaves the old file as it was. True when written.
bool config_save(const config* cfg);

// Writes len bytes to "<path>.tmp" (created with the given attributes) and moves it over
// path, so a reader sees the old file or the new one, never half of one. On failure the
// temporary file is gone, the old file stays and *error (may be null) holds the reason.
bool config_replace_file(const wchar_t* path, const void* data, size_t len, unsigned long attributes,
                         unsigned long* error);

// ---- Pure helpers (no file access), in config_text.cpp.

// Room for the whole saved text; config_format needs at least this much.
constexpr size_t CONFIG_TEXT_MAX = 32768;

// Stills workers for a processor count: 1-5 give 2, 6-7 give 3, 8 or more give 4.
int config_stills_workers_for(unsigned processors);
// The leading decimal number as atoi reads it (blanks, optional sign, digits); clamped to int.
int config_parse_int(const wchar_t* text);
// One side of a hotkey pair: blanks, an optional '+', then the leading decimal digits as an
// unsigned 32-bit number (no digits read as 0). False, *out untouched, for a '-' sign or a
// number above 4294967295: such a value could not be written back as it was read.
bool config_parse_u32(const wchar_t* text, uint32_t* out);
// Applies the lines of a config.ini text over cfg (the loader's grammar). Values longer than
// their field (paths over 259 characters, clip_encoder over 31, server_url over 255) are ignored.
void config_apply_text(config* cfg, const char* text, size_t len);
// The exact file text of cfg into out (capacity at least CONFIG_TEXT_MAX). Returns its length, 0 when it
// does not fit. CR and LF inside values are written as blanks.
size_t config_format(const config* cfg, char* out, size_t capacity);
