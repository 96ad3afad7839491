#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/http.h"

namespace {

TEST(http_error_text, table) {
    const struct {
        unsigned long code;
        const char* text;
    } cases[] = {
        {2, "file not found"},
        {14, "out of memory"},
        {12002, "the server took too long to answer"},
        {12005, "invalid server address"},
        {12006, "invalid server address"},
        {12007, "cannot find the server (offline?)"},
        {12017, "cancelled"},
        {12029, "cannot reach the server"},
        {12030, "the connection was interrupted"},
        {12175, "secure connection failed"},
        {0, "network error"},
        {38, "network error"},
        {12001, "network error"},
    };
    for (const auto& c : cases) EXPECT_STREQ(http_error_text(c.code), c.text) << c.code;
}

struct result_case {
    int status;
    unsigned long system_error;
    const char* body;
    const char* code;
    const char* message;
};

const result_case k_results[] = {
    {0, 12007, nullptr, "network", "Couldn't reach Ivra: cannot find the server (offline?)."},
    {0, 12029, "{\"error\":\"used\"}", "network", "Couldn't reach Ivra: cannot reach the server."},
    {0, 0, nullptr, "network", "Couldn't reach Ivra: network error."},
    {200, 0, "{\"error\":\"used\"}", "", ""},
    {204, 0, nullptr, "", ""},
    {299, 0, "", "", ""},
    {301, 0, "", "http", "The Ivra service refused the request (HTTP 301)."},
    {404, 0, "{\"error\":\"quota_exceeded\"}", "quota_exceeded", "Your Ivra storage is full."},
    {400, 0, "{\"error\":\"weird\"}", "weird", "The Ivra service refused the request (HTTP 400, weird)."},
    {413, 0, "{\"error\":\"too_large\",\"message\":\"x\"}", "too_large",
     "The Ivra service refused the request (HTTP 413, too_large)."},
    {503, 0, "<html>busy</html>", "http", "The Ivra service had a problem (HTTP 503). Try again shortly."},
    {500, 0, "{\"error\":\"weird\"}", "weird", "The Ivra service had a problem (HTTP 500). Try again shortly."},
    {503, 0, "{\"error\":\"storage_unavailable\"}", "storage_unavailable",
     "Ivra uploads are unavailable right now. Try again later."},
    {401, 0, "{\"error\":\"unauthorized\"}", "unauthorized", "This PC is no longer linked. Link it again to upload."},
    {400, 0, "{\"error\":\"invalid_name\"}", "invalid_name", "That doesn't look like a Second Life username."},
    {429, 0, "{\"error\":\"rate_limited\"}", "rate_limited",
     "Too many codes were requested. Wait a few minutes and try again."},
    {400, 0, "{\"error\":\"wrong_code\"}", "wrong_code", "That code isn't right."},
    {400, 0, "{\"error\":\"too_many_attempts\"}", "too_many_attempts",
     "Too many wrong codes. Start again for a new one."},
    {410, 0, "{\"error\":\"expired\"}", "expired", "This code has expired. Start again."},
    {409, 0, "{\"error\":\"used\"}", "used", "This code was already used. Start again."},
    {400, 0, "{\"error\":\"failed\"}", "failed", "This sign-in can't be completed. Start again."},
    {404, 0, "{\"error\":\"not_found\"}", "not_found", "This sign-in has expired. Start again."},
    {409, 0, "{\"error\":\"not_sent\"}", "not_sent",
     "The code hasn't been delivered yet. Wait for the IM, then try again."},
    {403, 0, "{\"error\":\"invite_required\"}", "invite_required",
     "Ivra is invite-only for now. Sign up on the Ivra website with your invite code first, then link this PC."},
    {400, 0, "{\"error\":\"invalid_invite\"}", "invalid_invite",
     "That invite code isn't valid. It may have been used up or withdrawn."},
    // Replies that name no usable code.
    {400, 0, "{\"error\":5}", "http", "The Ivra service refused the request (HTTP 400)."},
    {400, 0, "{\"error\":\"\"}", "http", "The Ivra service refused the request (HTTP 400)."},
    {400, 0, "[\"error\"]", "http", "The Ivra service refused the request (HTTP 400)."},
    {400, 0, "{\"error\":\"weird\"} trailing", "http", "The Ivra service refused the request (HTTP 400)."},
    {400, 0, nullptr, "http", "The Ivra service refused the request (HTTP 400)."},
    {403, 0, "{\"Error\":\"weird\",\"error\":\"first\",\"error\":\"second\"}", "first",
     "The Ivra service refused the request (HTTP 403, first)."},
    // A code cannot break a log line or a tab-separated reply, and is cut to 47 bytes.
    {400, 0, "{\"error\":\"a\\tb\\nc\"}", "a_b_c", "The Ivra service refused the request (HTTP 400, a_b_c)."},
    {400, 0, "{\"error\":\"abcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstuvwxyz\"}",
     "abcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstu",
     "The Ivra service refused the request (HTTP 400, abcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstu)."},
    {400, 0, "{\"error\":\"abcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrst\\u00e9\"}",
     "abcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrst",
     "The Ivra service refused the request (HTTP 400, abcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrst)."},
};

TEST(api_result_set, table) {
    for (const auto& c : k_results) {
        SCOPED_TRACE(testing::Message() << c.status << " " << (c.body ? c.body : "(none)"));
        api_result r;
        memset(&r, 'Z', sizeof r);
        api_result_set(&r, c.status, c.system_error, c.body);
        EXPECT_EQ(r.status, c.status);
        EXPECT_STREQ(r.code, c.code);
        EXPECT_STREQ(r.message, c.message);
    }
}

TEST(api_url, joins_without_touching_slashes) {
    const struct {
        const char* server;
        const char* path;
        size_t cap;
        const char* url;  // null: refused
    } cases[] = {
        {"http://127.0.0.1:8080/base", "/api/v1/me", 512, "http://127.0.0.1:8080/base/api/v1/me"},
        {"https://ivra.example/", "/api/v1/me", 512, "https://ivra.example//api/v1/me"},
        {"http://h", "api/x?a=b c&d=%2F", 512, "http://hapi/x?a=b c&d=%2F"},
        {"http://h", "", 512, "http://h"},
        {"http://h", "/abc", 13, "http://h/abc"},
        {"http://h", "/abcd", 13, nullptr},
    };
    for (const auto& c : cases) {
        char out[512] = "untouched";
        bool ok = api_url(c.server, c.path, out, c.cap);
        EXPECT_EQ(ok, c.url != nullptr) << c.server << c.path;
        EXPECT_STREQ(out, c.url ? c.url : "untouched");
    }
}

// Failures found before anything is sent: no server is needed.
TEST(http_request, refuses_bad_addresses_before_sending) {
    const std::string long_host = "http://" + std::string(256, 'h') + "/x";
    const struct {
        std::string url;
        unsigned long error;
    } cases[] = {
        {long_host, 12005},
        {"ftp://127.0.0.1/x", 12006},
        {"no address at all", 12006},
    };
    for (const auto& c : cases) {
        http_response r{};
        EXPECT_FALSE(http_request("GET", c.url.c_str(), nullptr, nullptr, 0, 2000, &r)) << c.url;
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.system_error, c.error) << c.url;
        EXPECT_EQ(r.body, nullptr);
    }
    // A URL that would not fit is refused rather than cut.
    api_result res{};
    json_node* tree =
        api_call("GET", "http://127.0.0.1:1", ("/" + std::string(600, 'p')).c_str(), HTTP_JSON_HEADERS, nullptr, &res);
    EXPECT_EQ(tree, nullptr);
    EXPECT_EQ(res.status, 0);
    EXPECT_STREQ(res.code, "network");
    EXPECT_STREQ(res.message, "Couldn't reach Ivra: invalid server address.");

    http_response r{};
    EXPECT_FALSE(http_put_file("http://127.0.0.1:1/x", nullptr, L"C:\\windows\\no-such-capture.png", nullptr, &r));
    EXPECT_EQ(r.system_error, 2ul);
}

}  // namespace
