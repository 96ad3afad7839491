#include "common/json.h"

#include <cstdlib>
#include <cstring>

namespace {

const int JSON_DEPTH_MAX = 32;
const size_t JSON_NUMBER_MAX = 63;

struct json_reader {
    const char* p;
    const char* end;
};

bool json_is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

void json_skip_space(json_reader* r) {
    while (r->p < r->end && json_is_space(*r->p)) ++r->p;
}

// Overwrites text before it is freed: replies carry device tokens.
void json_wipe_free(char* text) {
    if (!text) return;
    for (volatile char* c = text; *c; ++c) *c = 0;
    free(text);
}

int json_hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads the four hex digits at p; -1 when fewer than four are there.
long json_hex4(const char* p, const char* end) {
    if (end - p < 4) return -1;
    long v = 0;
    for (int i = 0; i < 4; ++i) {
        int h = json_hex(p[i]);
        if (h < 0) return -1;
        v = (v << 4) | h;
    }
    return v;
}

size_t json_put_utf8(unsigned long cp, char* out) {
    if (cp < 0x80) {
        out[0] = (char)cp;
        return 1;
    }
    if (cp < 0x800) {
        out[0] = (char)(0xC0 | (cp >> 6));
        out[1] = (char)(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = (char)(0xE0 | (cp >> 12));
        out[1] = (char)(0x80 | ((cp >> 6) & 0x3F));
        out[2] = (char)(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = (char)(0xF0 | (cp >> 18));
    out[1] = (char)(0x80 | ((cp >> 12) & 0x3F));
    out[2] = (char)(0x80 | ((cp >> 6) & 0x3F));
    out[3] = (char)(0x80 | (cp & 0x3F));
    return 4;
}

// Reads a string whose opening quote is at r->p into a new terminated text. The decoded
// text is never longer than its escaped form, so the span's length is enough room.
char* json_read_string(json_reader* r) {
    const char* start = r->p + 1;
    const char* q = start;
    while (q < r->end && *q != '"') q += (*q == '\\' && q + 1 < r->end) ? 2 : 1;
    if (q >= r->end) return nullptr;
    char* out = (char*)malloc((size_t)(q - start) + 1);
    if (!out) return nullptr;
    size_t n = 0;
    const char* s = start;
    while (s < q) {
        if (*s != '\\') {
            out[n++] = *s++;
            continue;
        }
        char e = s[1];
        s += 2;
        switch (e) {
        case '"': out[n++] = '"'; break;
        case '/': out[n++] = '/'; break;
        case '\\': out[n++] = '\\'; break;
        case 'b': out[n++] = '\b'; break;
        case 'f': out[n++] = '\f'; break;
        case 'n': out[n++] = '\n'; break;
        case 'r': out[n++] = '\r'; break;
        case 't': out[n++] = '\t'; break;
        case 'u': {
            long u = json_hex4(s, q);
            if (u < 0) {
                out[n] = 0;
                json_wipe_free(out);
                return nullptr;
            }
            s += 4;
            unsigned long cp = (unsigned long)u;
            if (cp >= 0xD800 && cp <= 0xDBFF && q - s >= 6 && s[0] == '\\' && s[1] == 'u') {
                long low = json_hex4(s + 2, q);
                if (low >= 0xDC00 && low <= 0xDFFF) {
                    cp = 0x10000 + ((cp - 0xD800) << 10) + ((unsigned long)low - 0xDC00);
                    s += 6;
                }
            }
            // A surrogate left unpaired has no UTF-8 form; its three-byte encoding would carry
            // invalid text into replies and files.
            if (cp >= 0xD800 && cp <= 0xDFFF) cp = 0xFFFD;
            n += json_put_utf8(cp, out + n);
            break;
        }
        default:
            out[n] = 0;
            json_wipe_free(out);
            return nullptr;
        }
    }
    out[n] = 0;
    r->p = q + 1;
    return out;
}

json_node* json_read_value(json_reader* r, int depth);

// Reads the members or elements of an object or array whose bracket is at r->p.
bool json_read_children(json_reader* r, json_node* parent, int depth) {
    const bool object = parent->type == JSON_OBJECT;
    const char close = object ? '}' : ']';
    ++r->p;
    json_skip_space(r);
    if (r->p < r->end && *r->p == close) {
        ++r->p;
        return true;
    }
    json_node** tail = &parent->child;
    for (;;) {
        json_skip_space(r);
        char* name = nullptr;
        if (object) {
            if (r->p >= r->end || *r->p != '"') return false;
            name = json_read_string(r);
            if (!name) return false;
            json_skip_space(r);
            if (r->p >= r->end || *r->p != ':') {
                json_wipe_free(name);
                return false;
            }
            ++r->p;
        }
        json_node* child = json_read_value(r, depth);
        if (!child) {
            json_wipe_free(name);
            return false;
        }
        child->name = name;
        *tail = child;
        tail = &child->next;
        json_skip_space(r);
        if (r->p >= r->end) return false;
        if (*r->p == ',') {
            ++r->p;
            continue;
        }
        if (*r->p != close) return false;
        ++r->p;
        return true;
    }
}

bool json_read_literal(json_reader* r, const char* word) {
    size_t n = strlen(word);
    if ((size_t)(r->end - r->p) < n || memcmp(r->p, word, n) != 0) return false;
    r->p += n;
    return true;
}

json_node* json_read_value(json_reader* r, int depth) {
    json_skip_space(r);
    if (r->p >= r->end) return nullptr;
    json_node* node = (json_node*)calloc(1, sizeof(json_node));
    if (!node) return nullptr;
    const char c = *r->p;
    bool ok = false;
    if (c == '{' || c == '[') {
        node->type = c == '{' ? JSON_OBJECT : JSON_ARRAY;
        ok = depth < JSON_DEPTH_MAX && json_read_children(r, node, depth + 1);
    } else if (c == '"') {
        node->type = JSON_STRING;
        node->text = json_read_string(r);
        ok = node->text != nullptr;
    } else if (c == 't' || c == 'f') {
        node->type = JSON_BOOL;
        node->boolean = c == 't';
        ok = json_read_literal(r, c == 't' ? "true" : "false");
    } else if (c == 'n') {
        node->type = JSON_NULL;
        ok = json_read_literal(r, "null");
    } else if (c == '-' || (c >= '0' && c <= '9')) {
        char digits[JSON_NUMBER_MAX + 1];
        size_t n = 0;
        while (r->p < r->end && n < JSON_NUMBER_MAX && *r->p && strchr("+-0123456789.eE", *r->p)) digits[n++] = *r->p++;
        digits[n] = 0;
        node->type = JSON_NUMBER;
        node->number = strtod(digits, nullptr);
        ok = true;
    }
    if (!ok) {
        json_free(node);
        return nullptr;
    }
    return node;
}

}  // namespace

json_node* json_parse(const char* data, size_t length) {
    if (!data) return nullptr;
    json_reader r{data, data + length};
    json_node* root = json_read_value(&r, 0);
    if (!root) return nullptr;
    json_skip_space(&r);
    if (r.p != r.end) {
        json_free(root);
        return nullptr;
    }
    return root;
}

void json_free(json_node* node) {
    while (node) {
        json_node* next = node->next;
        json_free(node->child);
        json_wipe_free(node->name);
        json_wipe_free(node->text);
        free(node);
        node = next;
    }
}

const json_node* json_member(const json_node* object, const char* name) {
    if (!object || object->type != JSON_OBJECT || !name) return nullptr;
    for (const json_node* c = object->child; c; c = c->next)
        if (c->name && strcmp(c->name, name) == 0) return c;
    return nullptr;
}

const char* json_string(const json_node* object, const char* name, const char* fallback) {
    const json_node* m = json_member(object, name);
    return m && m->type == JSON_STRING ? m->text : fallback;
}

double json_number(const json_node* object, const char* name, double fallback) {
    const json_node* m = json_member(object, name);
    return m && m->type == JSON_NUMBER ? m->number : fallback;
}

int json_bool(const json_node* object, const char* name, int fallback) {
    const json_node* m = json_member(object, name);
    return m && m->type == JSON_BOOL ? m->boolean : fallback;
}

void json_escape(const char* text, char* out, size_t capacity) {
    if (!out || capacity == 0) return;
    size_t n = 0;
    for (const unsigned char* s = (const unsigned char*)(text ? text : ""); *s; ++s) {
        char esc[8];
        size_t k;
        switch (*s) {
        case '\t':
            memcpy(esc, "\\t", 2);
            k = 2;
            break;
        case '\n':
            memcpy(esc, "\\n", 2);
            k = 2;
            break;
        case '\r':
            memcpy(esc, "\\r", 2);
            k = 2;
            break;
        case '"':
            memcpy(esc, "\\\"", 2);
            k = 2;
            break;
        case '\\':
            memcpy(esc, "\\\\", 2);
            k = 2;
            break;
        default:
            if (*s < 0x20) {
                static const char hex[] = "0123456789abcdef";
                memcpy(esc, "\\u00", 4);
                esc[4] = hex[*s >> 4];
                esc[5] = hex[*s & 15];
                k = 6;
            } else {
                esc[0] = (char)*s;
                k = 1;
            }
        }
        if (n + k + 1 > capacity) break;
        memcpy(out + n, esc, k);
        n += k;
    }
    out[n] = 0;
}
