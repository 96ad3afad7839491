#include "common/hotkey_text.h"

#include <cwchar>
#include <cwctype>

namespace {

constexpr uint32_t MOD_BIT_ALT = 1, MOD_BIT_CTRL = 2, MOD_BIT_SHIFT = 4, MOD_BIT_WIN = 8;
constexpr uint32_t MOD_BIT_NOREPEAT = 0x4000;

struct key_name {
    const wchar_t* name;
    uint32_t vk;
};

// Names shown by the formatter and accepted by the parser.
const key_name k_key_names[] = {
    {L"PrtSc", 0x2C},  {L"Space", 0x20},  {L"Tab", 0x09},  {L"Enter", 0x0D}, {L"Esc", 0x1B},  {L"Backspace", 0x08},
    {L"Delete", 0x2E}, {L"Insert", 0x2D}, {L"Home", 0x24}, {L"End", 0x23},   {L"PgUp", 0x21}, {L"PgDn", 0x22},
    {L"Left", 0x25},   {L"Right", 0x27},  {L"Up", 0x26},   {L"Down", 0x28},
};

// Accepted by the parser only; never written.
const key_name k_key_aliases[] = {
    {L"printscreen", 0x2C}, {L"print", 0x2C}, {L"prtscn", 0x2C}, {L"escape", 0x1B},   {L"return", 0x0D},
    {L"del", 0x2E},         {L"ins", 0x2D},   {L"pageup", 0x21}, {L"pagedown", 0x22},
};

const key_name k_modifiers[] = {
    {L"ctrl", MOD_BIT_CTRL}, {L"control", MOD_BIT_CTRL}, {L"alt", MOD_BIT_ALT},  {L"shift", MOD_BIT_SHIFT},
    {L"win", MOD_BIT_WIN},   {L"super", MOD_BIT_WIN},    {L"meta", MOD_BIT_WIN},
};

bool same_nocase(const wchar_t* a, const wchar_t* b) {
    for (; *a && *b; ++a, ++b) {
        if (towlower(*a) != towlower(*b)) return false;
    }
    return *a == *b;
}

uint32_t lookup(const key_name* table, size_t count, const wchar_t* word) {
    for (size_t i = 0; i < count; ++i) {
        if (same_nocase(table[i].name, word)) return table[i].vk;
    }
    return 0;
}

// Appends src to a cut-safe buffer; the terminator always fits.
void put(wchar_t* out, size_t capacity, size_t* len, const wchar_t* src) {
    while (*src && *len + 1 < capacity) out[(*len)++] = *src++;
    out[*len] = 0;
}

void fail(wchar_t* err, size_t cap, const wchar_t* a, const wchar_t* b = nullptr, const wchar_t* c = nullptr) {
    if (!err || cap == 0) return;
    size_t len = 0;
    err[0] = 0;
    put(err, cap, &len, a);
    if (b) put(err, cap, &len, b);
    if (c) put(err, cap, &len, c);
}

// The key a word names, or 0 when it names none.
uint32_t key_of_word(const wchar_t* w) {
    size_t n = wcslen(w);
    uint32_t vk = lookup(k_key_aliases, sizeof k_key_aliases / sizeof *k_key_aliases, w);
    if (vk) return vk;
    vk = lookup(k_key_names, sizeof k_key_names / sizeof *k_key_names, w);
    if (vk) return vk;
    if (n >= 2 && (w[0] == L'F' || w[0] == L'f')) {
        long f = wcstol(w + 1, nullptr, 10);
        if (f >= 1 && f <= 24) return 0x70 + (uint32_t)(f - 1);
    }
    if (n == 4 && towlower(w[0]) == L'n' && towlower(w[1]) == L'u' && towlower(w[2]) == L'm' && w[3] >= L'0' &&
        w[3] <= L'9') {
        return 0x60 + (uint32_t)(w[3] - L'0');
    }
    if (n == 1) {
        wchar_t c = w[0];
        if (c >= L'a' && c <= L'z') return (uint32_t)(c - L'a' + L'A');
        if ((c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9')) return (uint32_t)c;
    }
    return 0;
}

bool is_blank(wchar_t c) { return c == L' ' || c == L'\t' || c == L'+'; }

}  // namespace

bool hotkey_parse(const wchar_t* text, hotkey_pair* out, wchar_t* err, size_t err_capacity) {
    if (!text) text = L"";
    if (wcslen(text) > HOTKEY_TEXT_MAX) {
        // Cutting could turn a long text into a different, valid hotkey.
        fail(err, err_capacity, L"hotkey text is longer than 127 characters");
        return false;
    }
    uint32_t mods = 0, vk = 0;
    const wchar_t* p = text;
    for (;;) {
        while (*p && is_blank(*p)) ++p;
        if (!*p) break;
        wchar_t word[HOTKEY_TEXT_MAX + 1];
        size_t n = 0;
        while (*p && !is_blank(*p)) word[n++] = *p++;
        word[n] = 0;

        if (same_nocase(word, L"none") || same_nocase(word, L"off")) {
            *out = hotkey_pair{0, 0};
            return true;
        }
        uint32_t bit = lookup(k_modifiers, sizeof k_modifiers / sizeof *k_modifiers, word);
        if (bit) {
            mods |= bit;
            continue;
        }
        uint32_t key = key_of_word(word);
        if (!key) {
            if (n > 63) word[63] = 0;
            fail(err, err_capacity, L"unknown key name '", word, L"'");
            return false;
        }
        if (vk) {
            fail(err, err_capacity, L"unknown key name '(multiple keys)'");
            return false;
        }
        vk = key;
    }
    if (!vk && !mods) {
        *out = hotkey_pair{0, 0};
        return true;
    }
    if (!vk) {
        fail(err, err_capacity, L"missing key after modifiers");
        return false;
    }
    bool lone_ok = vk == 0x2C || (vk >= 0x70 && vk <= 0x87);
    if (!mods && !lone_ok) {
        fail(err, err_capacity, L"hotkey needs a modifier (Ctrl/Alt/Shift/Win) unless it is PrtSc or F1-F24");
        return false;
    }
    *out = hotkey_pair{mods | MOD_BIT_NOREPEAT, vk};
    return true;
}

void hotkey_format_with(hotkey_pair pair, wchar_t (*char_of_vk)(unsigned vk), wchar_t* out, size_t capacity) {
    if (!out || capacity == 0) return;
    size_t len = 0;
    out[0] = 0;
    if (pair.vk == 0) {
        put(out, capacity, &len, L"None");
        return;
    }
    static const struct {
        uint32_t bit;
        const wchar_t* name;
    } order[] = {{MOD_BIT_CTRL, L"Ctrl+"}, {MOD_BIT_ALT, L"Alt+"}, {MOD_BIT_SHIFT, L"Shift+"}, {MOD_BIT_WIN, L"Win+"}};
    for (const auto& m : order) {
        if (pair.mods & m.bit) put(out, capacity, &len, m.name);
    }
    wchar_t name[16] = {0};
    uint32_t vk = pair.vk;
    if ((vk >= 'A' && vk <= 'Z') || (vk >= '0' && vk <= '9')) {
        name[0] = (wchar_t)vk;
    } else if (vk >= 0x70 && vk <= 0x87) {
        swprintf(name, 16, L"F%u", (unsigned)(vk - 0x70 + 1));
    } else if (vk >= 0x60 && vk <= 0x69) {
        swprintf(name, 16, L"Num%u", (unsigned)(vk - 0x60));
    } else {
        for (const auto& k : k_key_names) {
            if (k.vk == vk) {
                wcscpy(name, k.name);
                break;
            }
        }
        if (!name[0]) {
            wchar_t c = char_of_vk ? char_of_vk(vk) : 0;
            // A control character would break the line it is printed on.
            if (c >= 32 && c != 127) {
                name[0] = c;
            } else {
                swprintf(name, 16, L"VK 0x%02X", (unsigned)vk);
            }
        }
    }
    put(out, capacity, &len, name);
}
