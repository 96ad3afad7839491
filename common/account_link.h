// Linking this PC to a web account: the sign-in check (proof of work), the code
// sent to the Second Life avatar, the token check and the remote unlink. Every
// call blocks the calling thread; failures are described by an api_result.
#pragma once

#include "common/account.h"
#include "common/http.h"

#include <cstddef>
#include <cstdint>

struct link_challenge {
    char server[256];  // the address the dialogue runs against
    char challenge_id[32];
    char client_token[96];
    char sl_name[72];  // as the service spells it, else as typed
    int expires_in;    // seconds; 600 when the reply lacks it
    int code_length;   // 6 when the reply lacks it
};

// Puzzle, proof of work and start. True when the reply carried both identifiers;
// challenge_out is written only then.
bool link_start(const char* server, const char* sl_name, link_challenge* challenge_out, api_result* result);

// One status query. status_out holds 16 bytes, reason_out 32. True when the
// service answered with JSON; the outputs are written only then.
bool link_status(const link_challenge* challenge, char* status_out, char* reason_out, api_result* result);

// Submits the code. True when a token came back; account_out is written only then
// (saving it is the caller's step).
bool link_verify(const link_challenge* challenge, const char* code, account* account_out, api_result* result);

// The token check: true when the account's server answered GET /api/v1/me with
// 2xx and JSON. A refused token leaves its HTTP status in result, an unreachable
// service status 0.
bool link_check(const account* acc, api_result* result);

// Tells the service about the unlink (when linked), then deletes account.dat
// whatever the service answered.
void link_unlink(const account* acc);

// Finds the first n below 2^30 whose SHA-256 of "puzzle:n" starts with at least
// bits zero bits; writes it in decimal to nonce_out (16 bytes). Fails at once for
// an empty puzzle, one over 200 bytes, or bits outside 0..26.
bool pow_solve(const char* puzzle, int bits, char* nonce_out);

// The sentence for a code that could not be delivered.
const char* link_reason_text(const char* reason);

// The challenge in a start reply: identifiers cut to their fields, the name as the
// service spells it (else typed_name), 600 s and 6 digits when the reply lacks them.
// True, with out written, when both identifiers are present.
bool link_challenge_read(const json_node* reply, const char* server, const char* typed_name, link_challenge* out);

// The account in a verify reply, linked at now. True, with out written, when it holds a token.
bool link_account_read(const json_node* reply, const link_challenge* challenge, int64_t now, account* out);

// SHA-256 of length bytes into a 32-byte digest.
void sha256(const void* data, size_t length, uint8_t* digest_out);

// Leading zero bits of a 32-byte digest, from the first byte's top bit on.
int sha256_leading_zero_bits(const uint8_t* digest);
