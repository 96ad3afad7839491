#include "common/account_link.h"

#include "common/json.h"
#include "common/log.h"
#include "common/text.h"
#include "common/win.h"

#include <cstdio>
#include <cstring>
#include <ctime>

// ---- SHA-256

namespace {

const uint32_t k_sha_rounds[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

inline uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void sha256_block(uint32_t* h, const uint8_t* p) {
    uint32_t w[64];
    for (int i = 0; i < 16; i++)
        w[i] = (uint32_t)p[4 * i] << 24 | (uint32_t)p[4 * i + 1] << 16 | (uint32_t)p[4 * i + 2] << 8 | p[4 * i + 3];
    for (int i = 16; i < 64; i++) {
        uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], k = h[7];
    for (int i = 0; i < 64; i++) {
        uint32_t t1 = k + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + k_sha_rounds[i] + w[i];
        uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
        k = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
    h[4] += e;
    h[5] += f;
    h[6] += g;
    h[7] += k;
}

}  // namespace

void sha256(const void* data, size_t length, uint8_t* digest_out) {
    uint32_t h[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    const uint8_t* p = (const uint8_t*)data;
    size_t left = length;
    for (; left >= 64; left -= 64, p += 64) sha256_block(h, p);
    // The tail, the 0x80 marker and the bit length fill one or two more blocks.
    uint8_t tail[128] = {};
    memcpy(tail, p, left);
    tail[left] = 0x80;
    size_t blocks = left + 9 > 64 ? 2 : 1;
    uint64_t bits = (uint64_t)length * 8;
    for (int i = 0; i < 8; i++) tail[blocks * 64 - 1 - i] = (uint8_t)(bits >> (8 * i));
    for (size_t b = 0; b < blocks; b++) sha256_block(h, tail + 64 * b);
    for (int i = 0; i < 8; i++) {
        digest_out[4 * i] = (uint8_t)(h[i] >> 24);
        digest_out[4 * i + 1] = (uint8_t)(h[i] >> 16);
        digest_out[4 * i + 2] = (uint8_t)(h[i] >> 8);
        digest_out[4 * i + 3] = (uint8_t)h[i];
    }
}

int sha256_leading_zero_bits(const uint8_t* digest) {
    int n = 0;
    for (int i = 0; i < 32; i++) {
        if (digest[i] == 0) {
            n += 8;
            continue;
        }
        for (uint8_t m = 0x80; m && !(digest[i] & m); m >>= 1) n++;
        break;
    }
    return n;
}

bool pow_solve(const char* puzzle, int bits, char* nonce_out) {
    size_t len = puzzle ? strlen(puzzle) : 0;
    if (len == 0 || len > 200 || bits < 0 || bits > 26) return false;
    // The puzzle and its colon stay in place; only the number after them is rewritten.
    char text[224];
    memcpy(text, puzzle, len);
    text[len] = ':';
    uint8_t digest[32];
    for (uint32_t n = 0; n < (1u << 30); n++) {
        int digits = snprintf(text + len + 1, sizeof text - len - 1, "%u", n);
        sha256(text, len + 1 + (size_t)digits, digest);
        if (sha256_leading_zero_bits(digest) >= bits) {
            snprintf(nonce_out, 16, "%u", n);
            return true;
        }
    }
    return false;
}

// ---- Service calls

namespace {

void copy_cut(char* out, size_t cap, const char* text) {
    size_t n = strlen(text);
    if (n > cap - 1) n = cap - 1;
    memcpy(out, text, n);
    out[n] = 0;
}

// Zeroes a string member of a reply before the tree is freed, so a secret does not
// linger in freed heap blocks.
void wipe_member(json_node* tree, const char* name) {
    const json_node* m = json_member(tree, name);
    if (m && m->type == JSON_STRING && m->text) SecureZeroMemory(m->text, strlen(m->text));
}

// Bearer headers for a linked account; the caller wipes them after the call.
void auth_headers(const account* acc, char* out, size_t cap) {
    snprintf(out, cap, HTTP_AUTH_HEADERS_FMT, acc->token, HTTP_JSON_HEADERS);
}

void set_bad_response(api_result* result) {
    result->status = 0;
    copy_cut(result->code, sizeof result->code, "bad_response");
    copy_cut(result->message, sizeof result->message, "The Ivra service sent an answer Ivra doesn't understand.");
}

// A reply number as int; a missing, negative or oversized one gives fallback.
int number_or(const json_node* reply, const char* name, int fallback, double max) {
    double v = json_number(reply, name, fallback);
    return (v >= 0 && v <= max) ? (int)v : fallback;
}

}  // namespace

bool link_challenge_read(const json_node* reply, const char* server, const char* typed_name, link_challenge* out) {
    link_challenge c = {};
    copy_cut(c.server, sizeof c.server, server);
    copy_cut(c.challenge_id, sizeof c.challenge_id, json_string(reply, "challenge_id", ""));
    copy_cut(c.client_token, sizeof c.client_token, json_string(reply, "client_token", ""));
    copy_cut(c.sl_name, sizeof c.sl_name, json_string(reply, "sl_name", typed_name));
    c.expires_in = number_or(reply, "expires_in", 600, 86400.0 * 365);
    c.code_length = number_or(reply, "code_length", 6, 64);
    bool ok = c.challenge_id[0] && c.client_token[0];
    if (ok) *out = c;
    SecureZeroMemory(&c, sizeof c);
    return ok;
}

bool link_account_read(const json_node* reply, const link_challenge* challenge, int64_t now, account* out) {
    account a = {};
    copy_cut(a.server, sizeof a.server, challenge->server);
    copy_cut(a.token, sizeof a.token, json_string(reply, "token", ""));
    copy_cut(a.sl_name, sizeof a.sl_name, json_string(reply, "sl_name", challenge->sl_name));
    copy_cut(a.avatar_key, sizeof a.avatar_key, json_string(reply, "avatar_key", ""));
    a.linked_at = now;
    a.linked = a.token[0] ? 1 : 0;
    bool ok = a.linked != 0;
    if (ok) *out = a;
    SecureZeroMemory(&a, sizeof a);
    return ok;
}

bool link_start(const char* server, const char* sl_name, link_challenge* challenge_out, api_result* result) {
    char tail[512] = "";
    api_result pr = {};
    json_node* puzzle_reply = api_call("GET", server, "/api/v1/auth/puzzle", HTTP_JSON_HEADERS, nullptr, &pr);
    if (puzzle_reply && puzzle_reply->type == JSON_OBJECT) {
        const char* puzzle = json_string(puzzle_reply, "puzzle", "");
        double b = json_number(puzzle_reply, "bits", -1);
        // Out-of-range numbers would not convert to int safely; they fail the solve like a missing one.
        int bits = (b >= -1000000 && b <= 1000000) ? (int)b : -1;
        ULONGLONG t0 = GetTickCount64();
        char nonce[16];
        if (pow_solve(puzzle, bits, nonce)) {
            log_info("account: sign-in check solved (%d bits, %llu ms)", bits,
                     (unsigned long long)(GetTickCount64() - t0));
            char esc[256];
            json_escape(puzzle, esc, sizeof esc);
            snprintf(tail, sizeof tail, ",\"pow_puzzle\":\"%s\",\"pow_nonce\":\"%s\"", esc, nonce);
        } else {
            log_warn("account: could not solve the sign-in check (%d bits)", bits);
        }
    }
    json_free(puzzle_reply);

    char name[256], body[1024];
    json_escape(sl_name, name, sizeof name);
    snprintf(body, sizeof body, "{\"sl_name\":\"%s\"%s}", name, tail);
    json_node* reply = api_call("POST", server, "/api/v1/auth/start", HTTP_JSON_HEADERS, body, result);
    if (!reply) return false;
    link_challenge c = {};
    bool ok = link_challenge_read(reply, server, sl_name, &c);
    wipe_member(reply, "client_token");
    json_free(reply);
    if (ok) {
        log_info("account: code requested for %s", c.sl_name);
        *challenge_out = c;
    } else {
        // A reply without both identifiers cannot go on; say so instead of a bare success status.
        set_bad_response(result);
    }
    SecureZeroMemory(&c, sizeof c);
    return ok;
}

bool link_status(const link_challenge* challenge, char* status_out, char* reason_out, api_result* result) {
    char body[512];
    snprintf(body, sizeof body, "{\"challenge_id\":\"%s\",\"client_token\":\"%s\"}", challenge->challenge_id,
             challenge->client_token);
    json_node* reply = api_call("POST", challenge->server, "/api/v1/auth/status", HTTP_JSON_HEADERS, body, result);
    SecureZeroMemory(body, sizeof body);
    if (!reply) return false;
    copy_cut(status_out, 16, json_string(reply, "status", ""));
    copy_cut(reason_out, 32, json_string(reply, "reason", ""));
    json_free(reply);
    return true;
}

bool link_verify(const link_challenge* challenge, const char* code, account* account_out, api_result* result) {
    char esc[64], body[512];
    json_escape(code, esc, sizeof esc);
    snprintf(body, sizeof body, "{\"challenge_id\":\"%s\",\"client_token\":\"%s\",\"code\":\"%s\"}",
             challenge->challenge_id, challenge->client_token, esc);
    json_node* reply = api_call("POST", challenge->server, "/api/v1/auth/verify", HTTP_JSON_HEADERS, body, result);
    SecureZeroMemory(body, sizeof body);
    if (!reply) return false;
    account a = {};
    bool ok = link_account_read(reply, challenge, (int64_t)time(nullptr), &a);
    wipe_member(reply, "token");
    json_free(reply);
    if (ok) {
        log_info("account: linked as %s", a.sl_name);
        *account_out = a;
    } else {
        set_bad_response(result);
    }
    SecureZeroMemory(&a, sizeof a);
    return ok;
}

bool link_check(const account* acc, api_result* result) {
    char headers[512];
    auth_headers(acc, headers, sizeof headers);
    json_node* reply = api_call("GET", acc->server, "/api/v1/me", headers, nullptr, result);
    SecureZeroMemory(headers, sizeof headers);
    bool ok = reply != nullptr;
    json_free(reply);
    return ok;
}

void link_unlink(const account* acc) {
    if (acc->linked) {
        char headers[512];
        auth_headers(acc, headers, sizeof headers);
        api_result r = {};
        json_node* reply = api_call("DELETE", acc->server, "/api/v1/session", headers, nullptr, &r);
        SecureZeroMemory(headers, sizeof headers);
        json_free(reply);
        if (r.status != 200 && r.status != 204 && r.status != 401)
            log_warn("account: server did not confirm unlink (%d %s); removing locally anyway", r.status, r.code);
    }
    account_delete();
}

const char* link_reason_text(const char* reason) {
    static const struct {
        const char* reason;
        const char* text;
    } rows[] = {
        {"not_found", "No avatar with that username was found. Check the spelling."},
        {"relay_offline",
         "Ivra's messenger in Second Life is offline, so the code couldn't be sent. Try again in a few minutes."},
        {"expired", "This code has expired. Start again."},
        {"too_many_attempts", "Too many wrong codes. Start again for a new one."},
    };
    for (const auto& r : rows)
        if (reason && strcmp(reason, r.reason) == 0) return r.text;
    return "The code couldn't be delivered. Please start again.";
}
