// What the fuzz targets check beyond "no crash". Each check aborts, naming what broke.
// The product functions come in through a table, so a test can hand in a broken
// stand-in and see the check fire.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/config.h"
#include "common/json.h"

struct props_json_ops {
    json_node* (*parse)(const char* data, size_t length);
    void (*escape)(const char* text, char* out, size_t capacity);
};
struct props_config_ops {
    void (*apply)(config* cfg, const char* text, size_t len);
    size_t (*format)(const config* cfg, char* out, size_t capacity);
};
struct props_hotkey_ops {
    bool (*parse)(const wchar_t* text, hotkey_pair* out, wchar_t* err, size_t err_capacity);
    void (*format)(hotkey_pair pair, wchar_t (*char_of_vk)(unsigned vk), wchar_t* out, size_t capacity);
};

extern const props_json_ops props_json_product;
extern const props_config_ops props_config_product;
extern const props_hotkey_ops props_hotkey_product;

// Decoded strings of a well-formed UTF-8 document are well-formed UTF-8; the escaper's
// output, cut to any capacity, reads back as (a prefix of) its input.
void props_json(const uint8_t* data, size_t size, const props_json_ops* ops);
// A config applied, saved to text and applied again gives the same record, but for what
// saving is meant to drop (line breaks inside values, names of unset collections).
void props_config(const uint8_t* data, size_t size, const props_config_ops* ops);
// A parsed hotkey formats to text that parses back to it; a pair the formatter names
// without the keyboard layout parses back to itself.
void props_hotkey(const uint8_t* data, size_t size, const props_hotkey_ops* ops);
