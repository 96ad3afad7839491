#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/json.h"

namespace {

// A compact picture of a tree: n, b:1, #2.5, "text", [..], {name=..}.
std::string json_shape(const json_node* n) {
    std::string s;
    switch (n->type) {
    case JSON_NULL: return "n";
    case JSON_BOOL: return n->boolean ? "b:1" : "b:0";
    case JSON_NUMBER: {
        char buf[64];
        snprintf(buf, sizeof buf, "#%g", n->number);
        return buf;
    }
    case JSON_STRING: return "\"" + std::string(n->text) + "\"";
    default: break;
    }
    s = n->type == JSON_ARRAY ? "[" : "{";
    for (const json_node* c = n->child; c; c = c->next) {
        if (c != n->child) s += ",";
        if (n->type == JSON_OBJECT) s += std::string(c->name) + "=";
        s += json_shape(c);
    }
    return s + (n->type == JSON_ARRAY ? "]" : "}");
}

std::string nested(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }

struct parse_case {
    std::string text;
    const char* shape;  // null: the parse fails
};

const parse_case k_parse[] = {
    {"{}", "{}"},
    {"[]", "[]"},
    {"  {\"a\":null}  ", "{a=n}"},
    {"\t\r\n[ true , false,null ]\n", "[b:1,b:0,n]"},
    {"{\"a\":1,\"a\":2}", "{a=#1,a=#2}"},
    {"{\"k\":[1,{\"x\":\"y\"}],\"z\":{}}", "{k=[#1,{x=\"y\"}],z={}}"},
    {"[-1.5e2,0,2E-1,-0]", "[#-150,#0,#0.2,#-0]"},
    {"\"just text\"", "\"just text\""},
    {"42", "#42"},
    {"[\"a\\\"b\\\\c\\/d\"]", "[\"a\"b\\c/d\"]"},
    {"\"tab\\tnl\\ncr\\rbs\\bff\\f\"", "\"tab\tnl\ncr\rbs\bff\f\""},
    {"\"raw\x01\tcontrol\"", "\"raw\x01\tcontrol\""},
    {"\"\\u00e9\\u00E9\"", "\"\xC3\xA9\xC3\xA9\""},
    {"\"\\ud83d\\ude00\"", "\"\xF0\x9F\x98\x80\""},
    {"\"\\u0041\\u07ff\\uffff\"", "\"A\xDF\xBF\xEF\xBF\xBF\""},
    // A surrogate that is not half of a pair has no UTF-8 form: it becomes U+FFFD.
    {"\"\\ud800\"", "\"\xEF\xBF\xBD\""},
    {"\"\\ud83dx\"", "\"\xEF\xBF\xBDx\""},
    {"\"\\ude00\\ud83d\"", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},
    {"\"\\ud83d\\u0041\"", "\"\xEF\xBF\xBD"
                           "A\""},
    {"\"\\udbff\\udfff\\udc00\"", "\"\xF4\x8F\xBF\xBF\xEF\xBF\xBD\""},
    {nested(32), "[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]"},
    {"[" + std::string(63, '1') + "]", "[#1.11111e+62]"},
    // Failures.
    {"", nullptr},
    {"   ", nullptr},
    {"[1,2,]", nullptr},
    {"{\"a\":1,}", nullptr},
    {"{\"a\":1} x", nullptr},
    {"{\"a\" 1}", nullptr},
    {"{a:1}", nullptr},
    {"[1 2]", nullptr},
    {"[1,", nullptr},
    {"{\"a\":1", nullptr},
    {"\"open", nullptr},
    {"\"ends in a backslash\\", nullptr},
    {"\"\\x\"", nullptr},
    {"\"\\u12\"", nullptr},
    {"\"\\u12g4\"", nullptr},
    {"tru", nullptr},
    {"nul", nullptr},
    {"True", nullptr},
    {"+1", nullptr},
    {".5", nullptr},
    {"'a'", nullptr},
    {"[1]]", nullptr},
    {nested(33), nullptr},
    {"[" + std::string(64, '1') + "]", nullptr},
};

TEST(json_parse, table) {
    for (const auto& c : k_parse) {
        SCOPED_TRACE("text: " + c.text.substr(0, 80));
        json_node* n = json_parse(c.text.data(), c.text.size());
        if (!c.shape) {
            EXPECT_EQ(n, nullptr);
        } else {
            ASSERT_NE(n, nullptr);
            EXPECT_EQ(json_shape(n), c.shape);
        }
        json_free(n);
    }
}

TEST(json_parse, reads_only_the_given_length) {
    const char text[] = "{\"a\":1}garbage";
    json_node* n = json_parse(text, 7);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(json_shape(n), "{a=#1}");
    json_free(n);
    EXPECT_EQ(json_parse(text, 6), nullptr);
    EXPECT_EQ(json_parse(nullptr, 3), nullptr);
}

struct lookup_case {
    const char* name;
    const char* str;
    double num;
    int boolean;
    bool present;
};

TEST(json_lookup, table) {
    const char doc[] = "{\"a\":1,\"a\":2,\"ok\":true,\"s\":\"text\",\"n\":null,\"o\":{\"x\":3},\"A\":7}";
    json_node* n = json_parse(doc, strlen(doc));
    ASSERT_NE(n, nullptr);
    const lookup_case
        cases[] =
            {
                // name, json_string(.., "fb"), json_number(.., -1), json_bool(.., 9), member exists
                {"a", "fb", 1, 9, true},   {"ok", "fb", -1, 1, true}, {"s", "text", -1, 9, true},
                {"n", "fb", -1, 9, true},  {"o", "fb", -1, 9, true},  {"A", "fb", 7, 9, true},
                {"x", "fb", -1, 9, false},  // members of nested objects are not found from the top
                {"", "fb", -1, 9, false},  {"S", "fb", -1, 9, false},
            };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_STREQ(json_string(n, c.name, "fb"), c.str);
        EXPECT_EQ(json_number(n, c.name, -1), c.num);
        EXPECT_EQ(json_bool(n, c.name, 9), c.boolean);
        EXPECT_EQ(json_member(n, c.name) != nullptr, c.present);
    }
    EXPECT_EQ(json_number(json_member(n, "o"), "x", 0), 3);
    // Lookups on what is not an object fall back.
    EXPECT_EQ(json_member(json_member(n, "s"), "s"), nullptr);
    EXPECT_STREQ(json_string(nullptr, "s", "fb"), "fb");
    json_free(n);

    const char arr[] = "[{\"a\":1}]";
    n = json_parse(arr, strlen(arr));
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(json_member(n, "a"), nullptr);
    json_free(n);
}

struct escape_case {
    const char* text;
    size_t capacity;
    const char* out;
};

TEST(json_escape, table) {
    const escape_case cases[] = {
        {"a\"b\\\t", 64, "a\\\"b\\\\\\t"},
        {"\x01", 64, "\\u0001"},
        {"\x1f\x7f", 64, "\\u001f\x7f"},
        {"line\r\nnext", 64, "line\\r\\nnext"},
        {"caf\xC3\xA9 \xF0\x9F\x98\x80", 64, "caf\xC3\xA9 \xF0\x9F\x98\x80"},
        {"ab\"", 4, "ab"},
        {"ab\"", 5, "ab\\\""},
        {"abc", 3, "ab"},
        {"abc", 1, ""},
        {"a\x01", 7, "a"},
        {"a\x01", 8, "a\\u0001"},
        {"", 8, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "text: " << c.text << " cap " << c.capacity);
        char out[80];
        memset(out, 'Z', sizeof out);
        json_escape(c.text, out, c.capacity);
        EXPECT_STREQ(out, c.out);
        EXPECT_EQ(out[c.capacity], 'Z');  // nothing written past the capacity
    }
    char untouched[2] = {'Z', 'Z'};
    json_escape("abc", untouched, 0);
    EXPECT_EQ(untouched[0], 'Z');
}

}  // namespace
