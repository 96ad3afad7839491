// A small JSON reader for the web service's replies, and the escaper used
// wherever the programs write JSON by formatting text.
#pragma once

#include <cstddef>

enum json_type { JSON_NULL = 0, JSON_BOOL = 1, JSON_NUMBER = 2, JSON_STRING = 3, JSON_ARRAY = 4, JSON_OBJECT = 5 };

struct json_node {
    int type;    // json_type
    char* name;  // member name (UTF-8, owned); only for members of an object
    char* text;  // string value (UTF-8, owned)
    double number;
    int boolean;       // 0 or 1
    json_node* child;  // first child of an array or object, in document order
    json_node* next;   // next sibling
};

// Parses one whole UTF-8 document of length bytes (no terminator needed); only
// whitespace may follow the value. Returns none on any error, out of memory included.
json_node* json_parse(const char* data, size_t length);

// Frees the tree: every node, name and text. Null-safe.
void json_free(json_node* node);

// The first member called name (case-sensitive) of an object; none when missing or
// when node is not an object.
const json_node* json_member(const json_node* object, const char* name);

// Typed member lookups: the value when the member exists with that type, else fallback.
const char* json_string(const json_node* object, const char* name, const char* fallback);
double json_number(const json_node* object, const char* name, double fallback);
int json_bool(const json_node* object, const char* name, int fallback);

// Escapes text for use inside a JSON string literal. The output is always
// terminated and never ends in half an escape.
void json_escape(const char* text, char* out, size_t capacity);
