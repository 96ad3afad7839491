// The PC's link to a web account: account.dat in the data folder, encrypted for the
// current Windows user with DPAPI, and the server address the programs talk to.
#pragma once

#include "common/config.h"

#include <cstddef>
#include <cstdint>

struct account {
    int linked;        // 1 when token and server are both non-empty
    char server[256];  // the address the link was made with
    char sl_name[72];
    char avatar_key[40];
    char token[160];    // secret: wipe records that held one
    int64_t linked_at;  // seconds since 1970, UTC
};

// The full path of account.dat (MAX_PATH wide characters).
void account_path(wchar_t* out);

// Clears acc, then reads and decrypts account.dat. Returns acc->linked. An unreadable
// file (another user, corruption) is logged and counts as not linked; it stays on disk.
bool account_load(account* acc);

// Encrypts and writes acc atomically (temporary file moved over the old one).
bool account_save(const account* acc);

// Deletes account.dat (the local unlink); logs only when a file was deleted.
void account_delete(void);

// The server address: IVRA_SERVER when set, else server_url, without trailing slashes.
// Writes at most 255 bytes plus the terminator into out (256 bytes); returns the length.
size_t account_server(const config* cfg, char* out);
