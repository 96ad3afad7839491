#pragma once
// The user-settable keys of config.ini: their types, ranges, words and
// descriptions; setting a key from typed text with exact messages; rendering
// values and defaults as text. Also the plain-folder-name rule and the
// byte-size text shared by both programs.
#include <cstddef>
#include <cstdint>

#include "common/config.h"

enum config_type {
    CONFIG_TYPE_PATH,
    CONFIG_TYPE_INT,
    CONFIG_TYPE_BOOL,
    CONFIG_TYPE_ENUM_INDEX,  // stored as the index of the word
    CONFIG_TYPE_ENUM_TEXT,   // stored as the word itself (wide, 32)
    CONFIG_TYPE_HOTKEY,
    CONFIG_TYPE_URL,
};

struct config_schema_entry {
    const wchar_t* key;
    int type;  // config_type
    const wchar_t* description;
    int min, max;          // integers only
    const wchar_t* words;  // enumerations only: "png|jpg"
    size_t offset;         // of the field inside config
};

constexpr int CONFIG_SCHEMA_COUNT = 48;
extern const config_schema_entry config_schema[CONFIG_SCHEMA_COUNT];

// "path", "int", "bool", "enum", "hotkey" or "url".
const wchar_t* config_type_name(int type);

// The entry for key (compared ignoring case), or null.
const config_schema_entry* config_schema_find(const wchar_t* key);

// Validates text for key and stores it into cfg. True on success. On failure
// one message is written into err (cut to err_capacity) and cfg is unchanged.
// create_dirs: a path value's folder is created with its missing parents.
bool config_set_value(config* cfg, const wchar_t* key, const wchar_t* text, wchar_t* err, size_t err_capacity,
                      bool create_dirs);

// The value's text form, cut to capacity. False, with out empty, for a key not
// in the schema.
bool config_get_text(const config* cfg, const wchar_t* key, wchar_t* out, size_t capacity);

// config_get_text of a record filled by config_defaults.
bool config_default_text(const wchar_t* key, wchar_t* out, size_t capacity);

// True when name is a plain one-level folder name (an empty name passes);
// otherwise writes the message into err (cut to err_capacity).
bool folder_name_check(const wchar_t* name, wchar_t* err, size_t err_capacity);

// Human-readable size: "1023 B", "1.50 KB", "10.0 MB", "150 GB". Cut to capacity.
void format_bytes(uint64_t count, char* out, size_t capacity);
void format_bytes_wide(uint64_t count, wchar_t* out, size_t capacity);
