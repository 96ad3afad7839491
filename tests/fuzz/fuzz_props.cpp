#include "tests/fuzz/fuzz_props.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/codepage.h"
#include "common/hotkey_text.h"
#include "common/text.h"

const props_json_ops props_json_product = {json_parse, json_escape};
const props_config_ops props_config_product = {config_apply_text, config_format};
const props_hotkey_ops props_hotkey_product = {hotkey_parse, hotkey_format_with};

namespace {

[[noreturn]] void props_fail(const char* what) {
    fprintf(stderr, "property broken: %s\n", what);
    abort();
}

bool utf8_valid(const unsigned char* s, size_t len) {
    while (len > 0) {
        unsigned long cp;
        size_t used = text_utf8_decode(s, len, &cp);
        // A real U+FFFD takes three bytes; one byte means the decoder replaced it.
        if (cp == 0xFFFD && used == 1) return false;
        s += used;
        len -= used;
    }
    return true;
}

void json_check_strings(const json_node* n) {
    for (; n; n = n->next) {
        if (n->name && !utf8_valid((const unsigned char*)n->name, strlen(n->name)))
            props_fail("json: member name is not UTF-8");
        if (n->type == JSON_STRING && !utf8_valid((const unsigned char*)n->text, strlen(n->text)))
            props_fail("json: string is not UTF-8");
        json_check_strings(n->child);
    }
}

// Escapes text into capacity cap and reads the literal back; the result must be text cut
// where the escaper stopped.
void json_check_escape(const char* text, size_t cap, const props_json_ops* ops) {
    size_t len = strlen(text);
    char* out = (char*)malloc(cap + 1);
    char* doc = (char*)malloc(cap + 3);
    if (!out || !doc) abort();
    out[cap] = 'Z';
    ops->escape(text, out, cap);
    if (out[cap] != 'Z') props_fail("json: escape wrote past its capacity");
    size_t n = strlen(out);
    if (n >= cap) props_fail("json: escape left no room for the terminator");
    doc[0] = '"';
    memcpy(doc + 1, out, n);
    doc[n + 1] = '"';
    json_node* back = ops->parse(doc, n + 2);
    if (!back || back->type != JSON_STRING) props_fail("json: escaped text does not parse back");
    size_t got = strlen(back->text);
    if (got > len || memcmp(back->text, text, got) != 0) props_fail("json: escaped text reads back different");
    if (n + 6 + 1 <= cap && got != len) props_fail("json: escape stopped with room left");
    json_free(back);
    free(out);
    free(doc);
}

// The record as saving is meant to leave it.
void config_as_saved(config* c) {
    wchar_t* texts[] = {c->stills_dir, c->clips_dir, c->clip_encoder, c->server_url};
    for (wchar_t* t : texts)
        for (; *t; ++t)
            if (*t == L'\r' || *t == L'\n') *t = L' ';
    for (int i = 0; i < 9; ++i) {
        for (wchar_t* t = c->folders[i]; *t; ++t)
            if (*t == L'\r' || *t == L'\n') *t = L' ';
        for (wchar_t* t = c->collection_names[i]; *t; ++t)
            if (*t == L'\r' || *t == L'\n') *t = L' ';
        if (!c->collections[i][0]) memset(c->collection_names[i], 0, sizeof c->collection_names[i]);
    }
}

void config_same(const config* a, const config* b) {
    if (wcscmp(a->stills_dir, b->stills_dir) || wcscmp(a->clips_dir, b->clips_dir) ||
        wcscmp(a->clip_encoder, b->clip_encoder) || wcscmp(a->server_url, b->server_url))
        props_fail("config: a text field changed on the way through the file");
    for (int i = 0; i < 9; ++i) {
        if (wcscmp(a->folders[i], b->folders[i])) props_fail("config: a folder changed on the way through the file");
        if (strcmp(a->collections[i], b->collections[i]))
            props_fail("config: a collection changed on the way through the file");
        if (wcscmp(a->collection_names[i], b->collection_names[i]))
            props_fail("config: a collection name changed on the way through the file");
    }
    for (int i = 0; i < HOTKEY_COUNT; ++i)
        if (a->hotkeys[i].mods != b->hotkeys[i].mods || a->hotkeys[i].vk != b->hotkeys[i].vk)
            props_fail("config: a hotkey changed on the way through the file");
    const int* ints_a[] = {
        &a->still_format,         &a->jpeg_quality,   &a->clip_fps,       &a->clip_bitrate_kbps, &a->play_sound,
        &a->region_grid,          &a->hotkey_raw,     &a->hotkey_hook,    &a->region_input,      &a->raw_mouse_percent,
        &a->region_capture_input, &a->warn_free_mb,   &a->stop_free_mb,   &a->warn_ivra_gb,      &a->mem_percent,
        &a->stills_workers,       &a->clips_workers,  &a->dxgi_keep_warm, &a->region_freeze,     &a->replay_enabled,
        &a->clip_audio_system,    &a->clip_audio_mic, &a->upload_mode,    &a->upload_workers,    &a->onboarded,
        &a->update_auto};
    for (const int* p : ints_a) {
        const int* q = (const int*)((const char*)b + ((const char*)p - (const char*)a));
        if (*p != *q) props_fail("config: a number changed on the way through the file");
    }
}

// The characters of the keys a US layout gives that have no name of their own.
wchar_t props_us_layout(unsigned vk) {
    static const struct {
        unsigned vk;
        wchar_t c;
    } keys[] = {{0xBA, L';'}, {0xBB, L'='}, {0xBC, L','},  {0xBD, L'-'}, {0xBE, L'.'},  {0xBF, L'/'},
                {0xC0, L'`'}, {0xDB, L'['}, {0xDC, L'\\'}, {0xDD, L']'}, {0xDE, L'\''}, {0x6A, L'*'},
                {0x6B, L'+'}, {0x6D, L'-'}, {0x6E, L'.'},  {0x6F, L'/'}};
    for (const auto& k : keys)
        if (k.vk == vk) return k.c;
    return 0;
}

int g_layout_calls;
wchar_t props_counted_layout(unsigned vk) {
    ++g_layout_calls;
    return props_us_layout(vk);
}

}  // namespace

void props_json(const uint8_t* data, size_t size, const props_json_ops* ops) {
    json_node* root = ops->parse((const char*)data, size);
    if (root && utf8_valid(data, size)) json_check_strings(root);
    json_free(root);

    // The same bytes as a text to escape, at full room and at a capacity the input picks.
    char* text = (char*)malloc(size + 1);
    if (!text) abort();
    memcpy(text, data, size);
    text[size] = 0;
    size_t len = strlen(text);
    json_check_escape(text, len * 6 + 1, ops);
    if (len > 0) json_check_escape(text, 1 + (size_t)data[0] % (len * 6 + 1), ops);
    free(text);
}

void props_config(const uint8_t* data, size_t size, const props_config_ops* ops) {
    static config first, again;
    static char text[CONFIG_TEXT_MAX];
    memset(&first, 0, sizeof first);
    memset(&again, 0, sizeof again);
    ops->apply(&first, (const char*)data, size);
    size_t len = ops->format(&first, text, sizeof text);
    if (len == 0) props_fail("config: a loaded record does not fit its file");
    ops->apply(&again, text, len);
    config_as_saved(&first);
    config_same(&first, &again);
}

void props_hotkey(const uint8_t* data, size_t size, const props_hotkey_ops* ops) {
    if (size == 0) return;
    const bool as_pair = data[0] & 1;
    ++data;
    --size;
    wchar_t out[64], err[81];  // one past the largest room the input picks, to see overruns
    if (as_pair) {
        if (size < 8) return;
        hotkey_pair p;
        memcpy(&p.mods, data, 4);
        memcpy(&p.vk, data + 4, 4);
        g_layout_calls = 0;
        ops->format(p, props_counted_layout, out, 64);
        hotkey_pair back{0xDEAD, 0xBEEF};
        bool ok = ops->parse(out, &back, err, 80);
        const bool lone = p.vk == 0x2C || (p.vk >= 0x70 && p.vk <= 0x87);
        if (p.vk == 0) {
            if (!ok || back.mods || back.vk) props_fail("hotkey: no key does not read back as none");
        } else if (g_layout_calls == 0 && ((p.mods & 15) || lone)) {
            if (!ok || back.vk != p.vk || back.mods != ((p.mods & 15) | 0x4000))
                props_fail("hotkey: a named pair does not parse back to itself");
        }
        if (ok) {
            wchar_t again[64];
            ops->format(back, props_us_layout, again, 64);
            if (wcscmp(again, out)) props_fail("hotkey: formatted text parses to a pair of other text");
        }
        return;
    }
    // The rest as UTF-8 text; cut well beyond the parser's limit so long texts are tried too.
    wchar_t text[HOTKEY_TEXT_MAX * 2 + 2];
    int n = codepage_utf8_to_wide((const char*)data, (int)(size < 400 ? size : 400), nullptr, 0);
    if (n < 0 || n > (int)HOTKEY_TEXT_MAX * 2 + 1) return;
    codepage_utf8_to_wide((const char*)data, (int)(size < 400 ? size : 400), text, n);
    text[n] = 0;
    hotkey_pair p{0xDEAD, 0xBEEF};
    size_t err_cap = 1 + (size ? data[0] % 80 : 0);
    for (wchar_t& c : err) c = L'Z';
    if (!ops->parse(text, &p, err, err_cap)) {
        if (p.mods != 0xDEAD || p.vk != 0xBEEF) props_fail("hotkey: a failed parse changed the pair");
        size_t k = 0;
        while (k < err_cap && err[k]) ++k;
        if (k == err_cap) props_fail("hotkey: the error is not terminated within its room");
        if (err[err_cap] != L'Z') props_fail("hotkey: the error was written past its room");
        return;
    }
    ops->format(p, props_us_layout, out, 64);
    hotkey_pair back{0xDEAD, 0xBEEF};
    if (!ops->parse(out, &back, err, 80) || back.mods != p.mods || back.vk != p.vk)
        props_fail("hotkey: a parsed hotkey does not parse back from its text");
}
