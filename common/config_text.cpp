// The text of config.ini: the loader's line grammar and the saved file's exact text. No file
// access here, so both programs and the native fuzzing build share it as it is.
#include "common/codepage.h"
#include "common/config.h"
#include "common/text.h"

#include <climits>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <cwchar>

const hotkey_action hotkey_actions[HOTKEY_COUNT] = {
    {HOTKEY_SCREEN, "hk_screen", "screen", "Screen", {0, 0x2C}},
    {HOTKEY_WINDOW, "hk_window", "window", "Window", {0x4001, 0x2C}},
    {HOTKEY_REGION, "hk_region", "region", "Region", {0x4006, 0x43}},
    {HOTKEY_CLIP, "hk_clip", "clip", "Clip", {0x4006, 0x47}},
    {HOTKEY_CLIP_APP, "hk_clip_app", "clip_app", "App clip", {0, 0}},
    {HOTKEY_CLIP_SCREEN, "hk_clip_screen", "clip_screen", "Screen clip", {0, 0}},
    {HOTKEY_REPLAY, "hk_replay", "replay", "Save replay", {0x4006, 0x52}},
    {HOTKEY_CLIP_PAUSE, "hk_clip_pause", "clip_pause", "Pause clip", {0, 0}},
    {HOTKEY_CLIP_REDO, "hk_clip_redo", "clip_redo", "Redo clip", {0, 0}},
};

namespace {

struct config_int_key {
    const char* key;
    size_t offset;
};

#define CONFIG_INT(name) \
    { #name, offsetof(config, name) }
const config_int_key config_int_keys[] = {
    CONFIG_INT(still_format),      CONFIG_INT(jpeg_quality),         CONFIG_INT(clip_fps),
    CONFIG_INT(clip_bitrate_kbps), CONFIG_INT(play_sound),           CONFIG_INT(region_grid),
    CONFIG_INT(hotkey_raw),        CONFIG_INT(hotkey_hook),          CONFIG_INT(region_input),
    CONFIG_INT(raw_mouse_percent), CONFIG_INT(region_capture_input), CONFIG_INT(warn_free_mb),
    CONFIG_INT(stop_free_mb),      CONFIG_INT(warn_ivra_gb),         CONFIG_INT(mem_percent),
    CONFIG_INT(stills_workers),    CONFIG_INT(clips_workers),        CONFIG_INT(dxgi_keep_warm),
    CONFIG_INT(region_freeze),     CONFIG_INT(replay_enabled),       CONFIG_INT(clip_audio_system),
    CONFIG_INT(clip_audio_mic),    CONFIG_INT(upload_mode),          CONFIG_INT(upload_workers),
    CONFIG_INT(onboarded),         CONFIG_INT(update_auto),
};
#undef CONFIG_INT

// Copies a value into a field of cap characters; a value that does not fit leaves the field as it was,
// since a cut path or address would point somewhere the user never chose.
void config_copy_whole(wchar_t* field, size_t cap, const wchar_t* value) {
    size_t n = wcslen(value);
    if (n < cap) memcpy(field, value, (n + 1) * sizeof(wchar_t));
}

// Text to UTF-8 for the file; CR and LF become blanks so no value can start a line of its own.
bool config_utf8(const wchar_t* value, char* out, int cap) {
    if (!value[0]) {
        out[0] = 0;
        return true;
    }
    int n = codepage_wide_to_utf8(value, out, cap);
    if (n <= 0) return false;
    for (char* c = out; *c; ++c)
        if (*c == '\r' || *c == '\n') *c = ' ';
    return true;
}

struct config_text {
    char* buf;
    size_t len;
    bool ok;
};

void config_append(config_text* t, const char* fmt, ...) IVRA_PRINTF(2, 3);
void config_append(config_text* t, const char* fmt, ...) {
    if (!t->ok) return;
    va_list args;
    va_start(args, fmt);
    int n = vsnprintf(t->buf + t->len, CONFIG_TEXT_MAX - t->len, fmt, args);
    va_end(args);
    if (n < 0 || (size_t)n >= CONFIG_TEXT_MAX - t->len) {
        t->ok = false;
        return;
    }
    t->len += (size_t)n;
}

}  // namespace

int config_parse_int(const wchar_t* text) {
    while (*text == L' ' || *text == L'\t' || *text == L'\n' || *text == L'\v' || *text == L'\f' || *text == L'\r')
        ++text;
    bool negative = false;
    if (*text == L'+' || *text == L'-') negative = *text++ == L'-';
    long long v = 0;
    for (; *text >= L'0' && *text <= L'9'; ++text) {
        if (v <= (long long)INT_MAX + 1) v = v * 10 + (*text - L'0');
    }
    if (negative) v = -v;
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
    return (int)v;
}

bool config_parse_u32(const wchar_t* text, uint32_t* out) {
    while (*text == L' ' || *text == L'\t' || *text == L'\n' || *text == L'\v' || *text == L'\f' || *text == L'\r')
        ++text;
    if (*text == L'-') return false;
    if (*text == L'+') ++text;
    uint64_t v = 0;
    for (; *text >= L'0' && *text <= L'9'; ++text) {
        v = v * 10 + (uint64_t)(*text - L'0');
        if (v > UINT32_MAX) return false;
    }
    *out = (uint32_t)v;
    return true;
}

int config_stills_workers_for(unsigned processors) {
    unsigned half = processors / 2;
    if (half < 3) return 2;
    return half > 4 ? 4 : (int)half;
}

static void config_apply_line(config* cfg, const char* line, size_t len) {
    if (len == 0 || line[0] == '#' || line[0] == ';' || line[0] == '[') return;
    const char* eq = (const char*)memchr(line, '=', len);
    if (!eq) return;
    const char* k = line;
    while (k < eq && (*k == ' ' || *k == '\t')) ++k;
    const char* ke = eq;
    while (ke > k && (ke[-1] == ' ' || ke[-1] == '\t')) --ke;
    size_t klen = (size_t)(ke - k);
    if (klen == 0 || klen >= 32) return;
    char key[32];
    memcpy(key, k, klen);
    key[klen] = 0;

    // Values of more than 259 characters are left unread: no field holds them whole.
    const char* v = eq + 1;
    int vlen = (int)(len - (size_t)(v - line));
    wchar_t value[260];
    value[0] = 0;
    if (vlen > 0) {
        int need = codepage_utf8_to_wide(v, vlen, nullptr, 0);
        if (need <= 0 || need > 259) return;
        codepage_utf8_to_wide(v, vlen, value, 260);
        value[need] = 0;
    }

    if (strcmp(key, "stills_dir") == 0) {
        config_copy_whole(cfg->stills_dir, 260, value);
        return;
    }
    if (strcmp(key, "clips_dir") == 0) {
        config_copy_whole(cfg->clips_dir, 260, value);
        return;
    }
    for (const config_int_key& ik : config_int_keys) {
        if (strcmp(key, ik.key) == 0) {
            *(int*)((char*)cfg + ik.offset) = config_parse_int(value);
            return;
        }
    }
    if (strcmp(key, "clip_encoder") == 0) {
        if (wcscmp(value, L"libx264") == 0)
            wcscpy(cfg->clip_encoder, L"h264_mf");
        else
            config_copy_whole(cfg->clip_encoder, 32, value);
        return;
    }
    if (strncmp(key, "hk_", 3) == 0) {
        for (int i = 0; i < HOTKEY_COUNT; ++i) {
            if (strcmp(key, hotkey_actions[i].key) != 0) continue;
            wchar_t* comma = wcschr(value, L',');
            uint32_t mods = 0, vk = 0;
            if (comma) {
                *comma = 0;
                // A negative or oversized side would be saved as another number than the one
                // read; such a pair keeps the hotkey it had.
                if (config_parse_u32(value, &mods) && config_parse_u32(comma + 1, &vk)) {
                    cfg->hotkeys[i].mods = mods;
                    cfg->hotkeys[i].vk = vk;
                }
            }
            return;
        }
        return;
    }
    if (strncmp(key, "folder", 6) == 0 && key[6] >= '1' && key[6] <= '9' && key[7] == 0) {
        config_copy_whole(cfg->folders[key[6] - '1'], 260, value);
        return;
    }
    if (strncmp(key, "collection", 10) == 0 && key[10] >= '1' && key[10] <= '9') {
        int slot = key[10] - '1';
        if (key[11] == 0) {
            size_t n = wcslen(value);
            bool digits = n > 0 && n < 24;
            for (size_t i = 0; digits && i < n; ++i) digits = value[i] >= L'0' && value[i] <= L'9';
            char* id = cfg->collections[slot];
            memset(id, 0, sizeof(cfg->collections[slot]));
            if (digits)
                for (size_t i = 0; i < n; ++i) id[i] = (char)value[i];
        } else if (strcmp(key + 11, "_name") == 0) {
            wchar_t* name = cfg->collection_names[slot];
            wcsncpy(name, value, 127);
            name[127] = 0;
        }
        return;
    }
    if (strcmp(key, "server_url") == 0) {
        if (value[0]) config_copy_whole(cfg->server_url, 256, value);
        return;
    }
}

void config_apply_text(config* cfg, const char* text, size_t len) {
    if (len >= 3 && (unsigned char)text[0] == 0xEF && (unsigned char)text[1] == 0xBB &&
        (unsigned char)text[2] == 0xBF) {
        text += 3;
        len -= 3;
    }
    size_t pos = 0;
    while (pos < len) {
        size_t end = pos;
        while (end < len && text[end] != '\n') ++end;
        size_t line_end = end;
        while (line_end > pos && text[line_end - 1] == '\r') --line_end;
        config_apply_line(cfg, text + pos, line_end - pos);
        pos = end + 1;
    }
}

size_t config_format(const config* cfg, char* out, size_t capacity) {
    if (capacity < CONFIG_TEXT_MAX) return 0;
    config_text t = {out, 0, true};
    char a[260 * 3 + 1], b[260 * 3 + 1];
    t.ok = config_utf8(cfg->stills_dir, a, sizeof(a)) && config_utf8(cfg->clips_dir, b, sizeof(b));
    char enc[32 * 3 + 1];
    t.ok = t.ok && config_utf8(cfg->clip_encoder, enc, sizeof(enc));
    config_append(&t,
                  "stills_dir=%s\r\nclips_dir=%s\r\nstill_format=%d\r\njpeg_quality=%d\r\nclip_fps=%d\r\n"
                  "clip_bitrate_kbps=%d\r\nplay_sound=%d\r\nregion_grid=%d\r\nhotkey_raw=%d\r\n"
                  "hotkey_hook=%d\r\nregion_input=%d\r\nraw_mouse_percent=%d\r\nregion_capture_input=%d\r\n"
                  "clip_encoder=%s\r\n",
                  a, b, cfg->still_format, cfg->jpeg_quality, cfg->clip_fps, cfg->clip_bitrate_kbps, cfg->play_sound,
                  cfg->region_grid, cfg->hotkey_raw, cfg->hotkey_hook, cfg->region_input, cfg->raw_mouse_percent,
                  cfg->region_capture_input, enc);
    for (int i = 0; i < HOTKEY_COUNT; ++i)
        config_append(&t, "%s=%u,%u\r\n", hotkey_actions[i].key, (unsigned)cfg->hotkeys[i].mods,
                      (unsigned)cfg->hotkeys[i].vk);
    for (int i = 0; i < 9; ++i) {
        t.ok = t.ok && config_utf8(cfg->folders[i], a, sizeof(a));
        config_append(&t, "folder%d=%s\r\n", i + 1, a);
    }
    for (int i = 0; i < 9; ++i) {
        char id[24];
        memcpy(id, cfg->collections[i], sizeof(id));
        id[23] = 0;
        a[0] = 0;
        if (id[0]) t.ok = t.ok && config_utf8(cfg->collection_names[i], a, sizeof(a));
        config_append(&t, "collection%d=%s\r\ncollection%d_name=%s\r\n", i + 1, id, i + 1, a);
    }
    t.ok = t.ok && config_utf8(cfg->server_url, a, sizeof(a));
    config_append(&t,
                  "warn_free_mb=%d\r\nstop_free_mb=%d\r\nwarn_ivra_gb=%d\r\nmem_percent=%d\r\n"
                  "stills_workers=%d\r\nclips_workers=%d\r\ndxgi_keep_warm=%d\r\nregion_freeze=%d\r\n"
                  "replay_enabled=%d\r\nclip_audio_system=%d\r\nclip_audio_mic=%d\r\nserver_url=%s\r\n"
                  "upload_mode=%d\r\nupload_workers=%d\r\nonboarded=%d\r\nupdate_auto=%d\r\n",
                  cfg->warn_free_mb, cfg->stop_free_mb, cfg->warn_ivra_gb, cfg->mem_percent, cfg->stills_workers,
                  cfg->clips_workers, cfg->dxgi_keep_warm, cfg->region_freeze, cfg->replay_enabled,
                  cfg->clip_audio_system, cfg->clip_audio_mic, a, cfg->upload_mode, cfg->upload_workers, cfg->onboarded,
                  cfg->update_auto);
    return t.ok ? t.len : 0;
}
