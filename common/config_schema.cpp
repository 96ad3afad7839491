#include "common/config_schema.h"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cwchar>
#include <cwctype>

#include "common/hotkey_text.h"
#include "common/win.h"
#include <shlobj.h>

#define FIELD(f) offsetof(config, f)
#define HK(i) (offsetof(config, hotkeys) + (i) * sizeof(hotkey_pair))
#define FOLDER(i) (offsetof(config, folders) + (i) * sizeof(config::folders[0]))

const config_schema_entry config_schema[CONFIG_SCHEMA_COUNT] = {
    {L"stills_dir", CONFIG_TYPE_PATH, L"Folder for screenshots", 0, 0, nullptr, FIELD(stills_dir)},
    {L"clips_dir", CONFIG_TYPE_PATH, L"Folder for video clips", 0, 0, nullptr, FIELD(clips_dir)},
    {L"still_format", CONFIG_TYPE_ENUM_INDEX, L"Image format", 0, 0, L"png|jpg", FIELD(still_format)},
    {L"jpeg_quality", CONFIG_TYPE_INT, L"JPEG quality", 1, 100, nullptr, FIELD(jpeg_quality)},
    {L"clip_fps", CONFIG_TYPE_INT, L"Clip frames per second", 1, 240, nullptr, FIELD(clip_fps)},
    {L"clip_bitrate_kbps", CONFIG_TYPE_INT, L"Clip bitrate (kbps)", 500, 200000, nullptr, FIELD(clip_bitrate_kbps)},
    {L"clip_encoder", CONFIG_TYPE_ENUM_TEXT, L"Clip encoder", 0, 0, L"auto|h264_nvenc|h264_amf|h264_qsv|h264_mf",
     FIELD(clip_encoder)},
    {L"play_sound", CONFIG_TYPE_BOOL, L"Play chime on capture", 0, 0, nullptr, FIELD(play_sound)},
    {L"region_grid", CONFIG_TYPE_BOOL, L"Show rule-of-thirds grid when dragging a region (next capture)", 0, 0, nullptr,
     FIELD(region_grid)},
    {L"hotkey_raw", CONFIG_TYPE_BOOL, L"Detect capture shortcuts through background Raw Input", 0, 0, nullptr,
     FIELD(hotkey_raw)},
    {L"hotkey_hook", CONFIG_TYPE_BOOL, L"Detect capture shortcuts through a keyboard hook", 0, 0, nullptr,
     FIELD(hotkey_hook)},
    {L"region_input", CONFIG_TYPE_ENUM_INDEX, L"Drag input backend (next capture)", 0, 0, L"auto|native|raw",
     FIELD(region_input)},
    {L"raw_mouse_percent", CONFIG_TYPE_INT, L"Raw selection cursor speed percent (next capture)", 25, 400, nullptr,
     FIELD(raw_mouse_percent)},
    {L"region_capture_input", CONFIG_TYPE_BOOL, L"Take input focus while selecting; restore previous window afterward",
     0, 0, nullptr, FIELD(region_capture_input)},
    {L"hk_screen", CONFIG_TYPE_HOTKEY, L"Hotkey: capture screen", 0, 0, nullptr, HK(0)},
    {L"hk_window", CONFIG_TYPE_HOTKEY, L"Hotkey: capture window", 0, 0, nullptr, HK(1)},
    {L"hk_region", CONFIG_TYPE_HOTKEY, L"Hotkey: capture region", 0, 0, nullptr, HK(2)},
    {L"hk_clip", CONFIG_TYPE_HOTKEY, L"Hotkey: movie capture (pick region/window/screen; press again to stop)", 0, 0,
     nullptr, HK(3)},
    {L"hk_clip_app", CONFIG_TYPE_HOTKEY, L"Hotkey: record the foreground app", 0, 0, nullptr, HK(4)},
    {L"hk_clip_screen", CONFIG_TYPE_HOTKEY, L"Hotkey: record the monitor under the cursor", 0, 0, nullptr, HK(5)},
    {L"hk_replay", CONFIG_TYPE_HOTKEY, L"Hotkey: save the last 30 s (needs replay_enabled; says so when off)", 0, 0,
     nullptr, HK(6)},
    {L"hk_clip_pause", CONFIG_TYPE_HOTKEY, L"Hotkey: pause/resume the active clip", 0, 0, nullptr, HK(7)},
    {L"hk_clip_redo", CONFIG_TYPE_HOTKEY, L"Hotkey: redo the active clip", 0, 0, nullptr, HK(8)},
    {L"clip_audio_system", CONFIG_TYPE_BOOL,
     L"Record system sound in clips (Ivra's own sounds are never recorded); the bar can toggle "
     L"it per clip",
     0, 0, nullptr, FIELD(clip_audio_system)},
    {L"clip_audio_mic", CONFIG_TYPE_BOOL, L"Record the default microphone in clips; the bar can toggle it per clip", 0,
     0, nullptr, FIELD(clip_audio_mic)},
    {L"replay_enabled", CONFIG_TYPE_BOOL,
     L"Replay: keep the last 30 s of the primary monitor (and desktop audio) in memory for "
     L"hk_replay",
     0, 0, nullptr, FIELD(replay_enabled)},
    {L"folder1", CONFIG_TYPE_PATH, L"Destination folder for slot 1 (digit chord / --folder 1)", 0, 0, nullptr,
     FOLDER(0)},
    {L"folder2", CONFIG_TYPE_PATH, L"Destination folder for slot 2 (digit chord / --folder 2)", 0, 0, nullptr,
     FOLDER(1)},
    {L"folder3", CONFIG_TYPE_PATH, L"Destination folder for slot 3 (digit chord / --folder 3)", 0, 0, nullptr,
     FOLDER(2)},
    {L"folder4", CONFIG_TYPE_PATH, L"Destination folder for slot 4 (digit chord / --folder 4)", 0, 0, nullptr,
     FOLDER(3)},
    {L"folder5", CONFIG_TYPE_PATH, L"Destination folder for slot 5 (digit chord / --folder 5)", 0, 0, nullptr,
     FOLDER(4)},
    {L"folder6", CONFIG_TYPE_PATH, L"Destination folder for slot 6 (digit chord / --folder 6)", 0, 0, nullptr,
     FOLDER(5)},
    {L"folder7", CONFIG_TYPE_PATH, L"Destination folder for slot 7 (digit chord / --folder 7)", 0, 0, nullptr,
     FOLDER(6)},
    {L"folder8", CONFIG_TYPE_PATH, L"Destination folder for slot 8 (digit chord / --folder 8)", 0, 0, nullptr,
     FOLDER(7)},
    {L"folder9", CONFIG_TYPE_PATH, L"Destination folder for slot 9 (digit chord / --folder 9)", 0, 0, nullptr,
     FOLDER(8)},
    {L"warn_free_mb", CONFIG_TYPE_INT, L"Warn when drive free space drops below this MB (0 = off)", 0, 1048576, nullptr,
     FIELD(warn_free_mb)},
    {L"stop_free_mb", CONFIG_TYPE_INT, L"Refuse captures when free space drops below this MB (0 = off)", 0, 1048576,
     nullptr, FIELD(stop_free_mb)},
    {L"warn_ivra_gb", CONFIG_TYPE_INT, L"Warn when Ivra folders exceed this many GB (0 = off)", 0, 100000, nullptr,
     FIELD(warn_ivra_gb)},
    {L"mem_percent", CONFIG_TYPE_INT, L"Frame-buffer memory budget as % of RAM (needs agent restart)", 1, 50, nullptr,
     FIELD(mem_percent)},
    {L"stills_workers", CONFIG_TYPE_INT, L"Stills encode worker threads (needs agent restart)", 1, 16, nullptr,
     FIELD(stills_workers)},
    {L"clips_workers", CONFIG_TYPE_INT, L"Clips worker threads (needs agent restart)", 1, 16, nullptr,
     FIELD(clips_workers)},
    {L"dxgi_keep_warm", CONFIG_TYPE_BOOL,
     L"Keep DXGI duplications alive between captures (0 = release after 2 s idle; try 0 if "
     L"games stutter)",
     0, 0, nullptr, FIELD(dxgi_keep_warm)},
    {L"region_freeze", CONFIG_TYPE_BOOL, L"Show a frozen snapshot under the region overlay (0 = live)", 0, 0, nullptr,
     FIELD(region_freeze)},
    {L"server_url", CONFIG_TYPE_URL, L"Ivra web service for your account and uploads", 0, 0, nullptr,
     FIELD(server_url)},
    {L"upload_mode", CONFIG_TYPE_ENUM_INDEX,
     L"After a capture, when linked: ask (clicking the toast uploads), auto, or manual (ivrac "
     L"upload only)",
     0, 0, L"ask|auto|manual", FIELD(upload_mode)},
    {L"upload_workers", CONFIG_TYPE_INT, L"Parallel uploads (needs agent restart)", 1, 4, nullptr,
     FIELD(upload_workers)},
    {L"onboarded", CONFIG_TYPE_BOOL, L"First-run welcome done (0 shows it again at the next agent start)", 0, 0,
     nullptr, FIELD(onboarded)},
    {L"update_auto", CONFIG_TYPE_BOOL, L"Check for updates once a day (asks before installing)", 0, 0, nullptr,
     FIELD(update_auto)},
};

namespace {

constexpr size_t PATH_CHARS = 260;
constexpr size_t ENUM_TEXT_CHARS = 32;
constexpr size_t URL_CHARS = 256;

// A message or value built piece by piece; anything past the capacity is cut.
struct wtext {
    wchar_t* p;
    size_t cap;
    size_t len;
};

wtext wtext_begin(wchar_t* p, size_t cap) {
    if (p && cap) p[0] = 0;
    return wtext{p, cap, 0};
}

void wtext_put(wtext* t, const wchar_t* s) {
    if (!t->p || !t->cap || !s) return;
    while (*s && t->len + 1 < t->cap) t->p[t->len++] = *s++;
    t->p[t->len] = 0;
}

void wtext_int(wtext* t, long long v) {
    wchar_t num[32];
    swprintf(num, 32, L"%lld", v);
    wtext_put(t, num);
}

bool same_nocase(const wchar_t* a, const wchar_t* b) {
    for (; *a && *b; ++a, ++b) {
        if (towlower(*a) != towlower(*b)) return false;
    }
    return *a == *b;
}

bool starts_nocase(const wchar_t* s, const wchar_t* prefix) {
    for (; *prefix; ++s, ++prefix) {
        if (!*s || towlower(*s) != towlower(*prefix)) return false;
    }
    return true;
}

void copy_cut(wchar_t* dst, size_t cap, const wchar_t* src) {
    wtext t = wtext_begin(dst, cap);
    wtext_put(&t, src);
}

bool has_control_char(const wchar_t* s) {
    for (; *s; ++s) {
        if (*s < 32) return true;
    }
    return false;
}

bool is_folder_slot(const config_schema_entry* e) { return e->offset >= FOLDER(0) && e->offset <= FOLDER(8); }

// Index of text among the '|'-separated words, or -1. word_out (may be null)
// receives the word as the table writes it.
int enum_match(const wchar_t* words, const wchar_t* text, wchar_t* word_out, size_t word_cap) {
    int index = 0;
    const wchar_t* w = words;
    for (;;) {
        const wchar_t* end = wcschr(w, L'|');
        size_t n = end ? (size_t)(end - w) : wcslen(w);
        if (wcslen(text) == n) {
            size_t i = 0;
            while (i < n && towlower(w[i]) == towlower(text[i])) ++i;
            if (i == n) {
                if (word_out) {
                    wtext t = wtext_begin(word_out, word_cap);
                    for (size_t k = 0; k < n && t.len + 1 < t.cap; ++k) t.p[t.len++] = w[k];
                    t.p[t.len] = 0;
                }
                return index;
            }
        }
        if (!end) return -1;
        w = end + 1;
        ++index;
    }
}

// The word at index, or false when the index is beyond the words.
bool enum_word(const wchar_t* words, int index, wchar_t* out, size_t cap) {
    if (index < 0) return false;
    const wchar_t* w = words;
    for (int i = 0; i < index; ++i) {
        w = wcschr(w, L'|');
        if (!w) return false;
        ++w;
    }
    const wchar_t* end = wcschr(w, L'|');
    size_t n = end ? (size_t)(end - w) : wcslen(w);
    wtext t = wtext_begin(out, cap);
    for (size_t k = 0; k < n && t.len + 1 < t.cap; ++k) t.p[t.len++] = w[k];
    t.p[t.len] = 0;
    return true;
}

// Joins up to five pieces into err, cut to cap.
void msg_join(wchar_t* err, size_t cap, const wchar_t* a, const wchar_t* b, const wchar_t* c,
              const wchar_t* d = nullptr, const wchar_t* e = nullptr) {
    wtext t = wtext_begin(err, cap);
    wtext_put(&t, a);
    wtext_put(&t, b);
    wtext_put(&t, c);
    wtext_put(&t, d);
    wtext_put(&t, e);
}

bool set_path(const config_schema_entry* e, const wchar_t* text, wchar_t* value, wchar_t* err, size_t cap,
              bool create_dirs) {
    if (!text[0]) {
        if (is_folder_slot(e)) {
            value[0] = 0;
            return true;
        }
        msg_join(err, cap, e->key, L" must not be empty", nullptr);
        return false;
    }
    // A line break inside a path would split its line of config.ini.
    if (has_control_char(text)) {
        msg_join(err, cap, e->key, L": invalid path '", text, L"'");
        return false;
    }
    wchar_t expanded[PATH_CHARS];
    const wchar_t* source = text;
    DWORD n = ExpandEnvironmentStringsW(text, expanded, (DWORD)PATH_CHARS);
    if (n > 0 && n <= PATH_CHARS) source = expanded;
    wchar_t full[PATH_CHARS];
    DWORD m = GetFullPathNameW(source, (DWORD)PATH_CHARS, full, nullptr);
    if (m == 0 || m >= PATH_CHARS || has_control_char(full)) {
        msg_join(err, cap, e->key, L": invalid path '", text, L"'");
        return false;
    }
    if (full[0] && full[1] == L':') {
        wchar_t root[4] = {full[0], L':', L'\\', 0};
        if (GetDriveTypeW(root) == DRIVE_NO_ROOT_DIR) {
            msg_join(err, cap, e->key, L": drive ", root, L" does not exist");
            return false;
        }
    }
    if (create_dirs) {
        int rc = SHCreateDirectoryExW(nullptr, full, nullptr);
        bool made = rc == ERROR_SUCCESS || rc == ERROR_FILE_EXISTS || rc == ERROR_ALREADY_EXISTS;
        if (made && rc != ERROR_SUCCESS) {
            // "Already exists" is also the answer when a file holds the name.
            DWORD attr = GetFileAttributesW(full);
            if (attr != INVALID_FILE_ATTRIBUTES && !(attr & FILE_ATTRIBUTE_DIRECTORY)) made = false;
        }
        if (!made) {
            wtext t = wtext_begin(err, cap);
            wtext_put(&t, e->key);
            wtext_put(&t, L": cannot create '");
            wtext_put(&t, full);
            wtext_put(&t, L"' (err=");
            wtext_int(&t, rc);
            wtext_put(&t, L")");
            return false;
        }
    }
    wcscpy(value, full);
    return true;
}

bool set_int(const config_schema_entry* e, const wchar_t* text, int* value, wchar_t* err, size_t cap) {
    wchar_t* end = nullptr;
    errno = 0;
    long v = wcstol(text, &end, 10);
    if (*end || errno == ERANGE || v < e->min || v > e->max) {
        wtext t = wtext_begin(err, cap);
        wtext_put(&t, e->key);
        wtext_put(&t, L" must be ");
        wtext_int(&t, e->min);
        wtext_put(&t, L"..");
        wtext_int(&t, e->max);
        wtext_put(&t, L" (got ");
        wtext_put(&t, text);
        wtext_put(&t, L")");
        return false;
    }
    *value = (int)v;
    return true;
}

bool set_bool(const config_schema_entry* e, const wchar_t* text, int* value, wchar_t* err, size_t cap) {
    static const wchar_t* const on[] = {L"1", L"true", L"on", L"yes"};
    static const wchar_t* const off[] = {L"0", L"false", L"off", L"no"};
    for (const wchar_t* w : on) {
        if (same_nocase(text, w)) {
            *value = 1;
            return true;
        }
    }
    for (const wchar_t* w : off) {
        if (same_nocase(text, w)) {
            *value = 0;
            return true;
        }
    }
    msg_join(err, cap, e->key, L" must be a boolean (1/0/true/false/on/off/yes/no; got ", text, L")");
    return false;
}

void enum_fail(const config_schema_entry* e, const wchar_t* text, wchar_t* err, size_t cap) {
    wchar_t joined[128];
    wtext j = wtext_begin(joined, sizeof joined / sizeof *joined);
    for (const wchar_t* w = e->words; *w; ++w) {
        if (*w == L'|') {
            wtext_put(&j, L", ");
        } else {
            wchar_t one[2] = {*w, 0};
            wtext_put(&j, one);
        }
    }
    wtext t = wtext_begin(err, cap);
    wtext_put(&t, e->key);
    wtext_put(&t, L" must be one of: ");
    wtext_put(&t, joined);
    wtext_put(&t, L" (got ");
    wtext_put(&t, text);
    wtext_put(&t, L")");
}

bool set_url(const config_schema_entry* e, const wchar_t* text, wchar_t* value, wchar_t* err, size_t cap) {
    bool ok = (starts_nocase(text, L"https://") || starts_nocase(text, L"http://")) && wcslen(text) <= URL_CHARS - 1;
    for (const wchar_t* p = text; ok && *p; ++p) {
        // Blanks and control characters never belong in an address, and a
        // line break would split its line of config.ini.
        if (*p == L' ' || *p < 32) ok = false;
    }
    if (!ok) {
        msg_join(err, cap, e->key, L" must be an http(s):// address (got ", text, L")");
        return false;
    }
    wcscpy(value, text);
    size_t n = wcslen(value);
    while (n > 8 && value[n - 1] == L'/') value[--n] = 0;
    return true;
}

}  // namespace

const wchar_t* config_type_name(int type) {
    switch (type) {
    case CONFIG_TYPE_PATH: return L"path";
    case CONFIG_TYPE_INT: return L"int";
    case CONFIG_TYPE_BOOL: return L"bool";
    case CONFIG_TYPE_ENUM_INDEX:
    case CONFIG_TYPE_ENUM_TEXT: return L"enum";
    case CONFIG_TYPE_HOTKEY: return L"hotkey";
    case CONFIG_TYPE_URL: return L"url";
    }
    return L"";
}

const config_schema_entry* config_schema_find(const wchar_t* key) {
    if (!key) return nullptr;
    for (const auto& e : config_schema) {
        if (same_nocase(e.key, key)) return &e;
    }
    return nullptr;
}

bool config_set_value(config* cfg, const wchar_t* key, const wchar_t* text, wchar_t* err, size_t err_capacity,
                      bool create_dirs) {
    if (!text) text = L"";
    const config_schema_entry* e = config_schema_find(key);
    if (!e) {
        msg_join(err, err_capacity, L"unknown key '", key ? key : L"", L"'; run 'ivrac config schema'");
        return false;
    }
    char* field = (char*)cfg + e->offset;
    switch (e->type) {
    case CONFIG_TYPE_PATH: {
        wchar_t value[PATH_CHARS];
        if (!set_path(e, text, value, err, err_capacity, create_dirs)) return false;
        wcscpy((wchar_t*)field, value);
        return true;
    }
    case CONFIG_TYPE_INT: {
        int v = 0;
        if (!set_int(e, text, &v, err, err_capacity)) return false;
        *(int*)field = v;
        return true;
    }
    case CONFIG_TYPE_BOOL: {
        int v = 0;
        if (!set_bool(e, text, &v, err, err_capacity)) return false;
        *(int*)field = v;
        return true;
    }
    case CONFIG_TYPE_ENUM_INDEX: {
        int i = enum_match(e->words, text, nullptr, 0);
        if (i < 0) {
            enum_fail(e, text, err, err_capacity);
            return false;
        }
        *(int*)field = i;
        return true;
    }
    case CONFIG_TYPE_ENUM_TEXT: {
        wchar_t word[ENUM_TEXT_CHARS];
        if (enum_match(e->words, text, word, ENUM_TEXT_CHARS) < 0) {
            enum_fail(e, text, err, err_capacity);
            return false;
        }
        wcscpy((wchar_t*)field, word);
        return true;
    }
    case CONFIG_TYPE_HOTKEY: {
        hotkey_pair pair{};
        if (!hotkey_parse(text, &pair, err, err_capacity)) return false;
        *(hotkey_pair*)field = pair;
        return true;
    }
    case CONFIG_TYPE_URL: {
        wchar_t value[URL_CHARS];
        if (!set_url(e, text, value, err, err_capacity)) return false;
        wcscpy((wchar_t*)field, value);
        return true;
    }
    }
    return false;
}

bool config_get_text(const config* cfg, const wchar_t* key, wchar_t* out, size_t capacity) {
    if (out && capacity) out[0] = 0;
    const config_schema_entry* e = config_schema_find(key);
    if (!e || !out || !capacity) return false;
    const char* field = (const char*)cfg + e->offset;
    wtext t = wtext_begin(out, capacity);
    switch (e->type) {
    case CONFIG_TYPE_INT: wtext_int(&t, *(const int*)field); break;
    case CONFIG_TYPE_BOOL: wtext_put(&t, *(const int*)field ? L"1" : L"0"); break;
    case CONFIG_TYPE_ENUM_INDEX: {
        int index = *(const int*)field;
        if (!enum_word(e->words, index, out, capacity)) wtext_int(&t, index);
        break;
    }
    case CONFIG_TYPE_HOTKEY: hotkey_format(*(const hotkey_pair*)field, out, capacity); break;
    case CONFIG_TYPE_PATH: copy_cut(out, capacity, (const wchar_t*)field); break;
    case CONFIG_TYPE_ENUM_TEXT: copy_cut(out, capacity, (const wchar_t*)field); break;
    case CONFIG_TYPE_URL: copy_cut(out, capacity, (const wchar_t*)field); break;
    }
    return true;
}

bool config_default_text(const wchar_t* key, wchar_t* out, size_t capacity) {
    config defaults;
    config_defaults(&defaults);
    return config_get_text(&defaults, key, out, capacity);
}

bool folder_name_check(const wchar_t* name, wchar_t* err, size_t err_capacity) {
    if (!name) name = L"";
    size_t n = wcslen(name);
    bool ok = n < 64 && wcscmp(name, L".") != 0 && wcscmp(name, L"..") != 0;
    if (ok && n > 0) {
        if (name[0] == L' ' || name[n - 1] == L' ' || name[n - 1] == L'.') ok = false;
        for (size_t i = 0; ok && i < n; ++i) {
            if (name[i] < 32 || wcschr(L"\\/:*?\"<>|", name[i])) ok = false;
        }
    }
    if (!ok) {
        msg_join(err, err_capacity, L"must be a plain folder name (no path separators; got '", name, L"')");
    }
    return ok;
}

void format_bytes(uint64_t count, char* out, size_t capacity) {
    if (!out || !capacity) return;
    if (count < 1024) {
        snprintf(out, capacity, "%llu B", (unsigned long long)count);
        return;
    }
    static const char* const units[] = {"KB", "MB", "GB", "TB", "PB"};
    double v = (double)count / 1024.0;
    int u = 0;
    while (v >= 1024.0 && u < 4) {
        v /= 1024.0;
        ++u;
    }
    const char* fmt = v < 10 ? "%.2f %s" : v < 100 ? "%.1f %s" : "%.0f %s";
    snprintf(out, capacity, fmt, v, units[u]);
}

void format_bytes_wide(uint64_t count, wchar_t* out, size_t capacity) {
    if (!out || !capacity) return;
    char narrow[64];
    format_bytes(count, narrow, sizeof narrow);
    size_t i = 0;
    for (; narrow[i] && i + 1 < capacity; ++i) out[i] = (wchar_t)(unsigned char)narrow[i];
    out[i] = 0;
}
