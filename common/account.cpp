#include "common/account.h"

#include "common/log.h"
#include "common/text.h"
#include "common/win.h"

#include <dpapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace {

const char k_entropy[] = "Ivra keyring v3";  // 15 bytes, used without the terminator
const DWORD k_entropy_len = 15;
const DWORD k_max_file = 4096;
const size_t k_plain_cap = 1024;

// Copies the value of one "key=value" line into a field, cut to the field's size.
void copy_field(char* field, size_t cap, const char* value, size_t len) {
    if (len > cap - 1) len = cap - 1;
    memcpy(field, value, len);
    field[len] = 0;
}

}  // namespace

void account_path(wchar_t* out) {
    wchar_t dir[260];
    app_data_dir(dir);
    _snwprintf(out, MAX_PATH, L"%ls\\account.dat", dir);
    out[MAX_PATH - 1] = 0;
}

size_t account_server(const config* cfg, char* out) {
    wchar_t env[300];
    DWORD n = GetEnvironmentVariableW(L"IVRA_SERVER", env, 300);
    const wchar_t* src = (n >= 1 && n <= 255) ? env : cfg->server_url;
    char buf[1024];
    int len = WideCharToMultiByte(CP_UTF8, 0, src, -1, buf, sizeof buf, nullptr, nullptr);
    size_t used = len > 0 ? (size_t)len - 1 : 0;
    if (used > 255) {
        used = 255;
        // Never end inside a character.
        while (used > 0 && ((unsigned char)buf[used] & 0xC0) == 0x80) used--;
    }
    while (used > 8 && buf[used - 1] == '/') used--;
    memcpy(out, buf, used);
    out[used] = 0;
    return used;
}

bool account_save(const account* acc) {
    char plain[k_plain_cap];
    size_t at = 0;
    char linked_at[24];
    snprintf(linked_at, sizeof linked_at, "%lld", (long long)acc->linked_at);
    const char* keys[] = {"v", "server", "sl_name", "avatar_key", "token", "linked_at"};
    const char* values[] = {"1", acc->server, acc->sl_name, acc->avatar_key, acc->token, linked_at};
    for (int i = 0; i < 6; i++) {
        size_t need = strlen(keys[i]) + 1 + strlen(values[i]) + 1;
        if (at + need > sizeof plain - 1) continue;  // a line that does not fit is left out
        at += (size_t)snprintf(plain + at, sizeof plain - at, "%s=%s\n", keys[i], values[i]);
    }
    DATA_BLOB in = {(DWORD)at, (BYTE*)plain};
    DATA_BLOB entropy = {k_entropy_len, (BYTE*)k_entropy};
    DATA_BLOB blob = {0, nullptr};
    BOOL sealed = CryptProtectData(&in, L"Ivra account", &entropy, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &blob);
    DWORD seal_error = GetLastError();
    SecureZeroMemory(plain, sizeof plain);
    if (!sealed) {
        log_error("account: CryptProtectData failed %lu", (unsigned long)seal_error);
        return false;
    }

    wchar_t dir[260], path[MAX_PATH];
    app_data_dir(dir);
    CreateDirectoryW(dir, nullptr);
    account_path(path);
    DWORD error = 0;
    const bool ok = config_replace_file(path, blob.pbData, blob.cbData, FILE_ATTRIBUTE_NOT_CONTENT_INDEXED, &error);
    LocalFree(blob.pbData);
    if (!ok) log_error("account: cannot write %ls (%lu)", path, (unsigned long)error);
    return ok;
}

bool account_load(account* acc) {
    memset(acc, 0, sizeof *acc);
    wchar_t path[MAX_PATH];
    account_path(path);
    HANDLE f = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return false;
    BYTE* raw = (BYTE*)malloc(k_max_file);
    DWORD got = 0;
    bool read_ok = raw && ReadFile(f, raw, k_max_file, &got, nullptr);
    CloseHandle(f);
    if (!read_ok || got == 0 || got >= k_max_file) {
        free(raw);
        return false;
    }
    DATA_BLOB in = {got, raw};
    DATA_BLOB entropy = {k_entropy_len, (BYTE*)k_entropy};
    DATA_BLOB out = {0, nullptr};
    if (!CryptUnprotectData(&in, nullptr, &entropy, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out)) {
        log_warn("account: account.dat unreadable for this user (%lu); treating as not linked",
                 (unsigned long)GetLastError());
        free(raw);
        return false;
    }
    free(raw);
    char plain[k_plain_cap];
    size_t len = out.cbData < k_plain_cap - 1 ? out.cbData : k_plain_cap - 1;
    memcpy(plain, out.pbData, len);
    plain[len] = 0;
    SecureZeroMemory(out.pbData, out.cbData);
    LocalFree(out.pbData);

    account a = {};
    for (char* line = plain; line < plain + len;) {
        char* end = (char*)memchr(line, '\n', (size_t)(plain + len - line));
        if (!end) end = plain + len;
        char* eq = (char*)memchr(line, '=', (size_t)(end - line));
        if (eq) {
            size_t klen = (size_t)(eq - line);
            const char* value = eq + 1;
            size_t vlen = (size_t)(end - value);
            if (klen == 6 && memcmp(line, "server", 6) == 0)
                copy_field(a.server, sizeof a.server, value, vlen);
            else if (klen == 7 && memcmp(line, "sl_name", 7) == 0)
                copy_field(a.sl_name, sizeof a.sl_name, value, vlen);
            else if (klen == 10 && memcmp(line, "avatar_key", 10) == 0)
                copy_field(a.avatar_key, sizeof a.avatar_key, value, vlen);
            else if (klen == 5 && memcmp(line, "token", 5) == 0)
                copy_field(a.token, sizeof a.token, value, vlen);
            else if (klen == 9 && memcmp(line, "linked_at", 9) == 0) {
                char num[24];
                copy_field(num, sizeof num, value, vlen);
                a.linked_at = strtoll(num, nullptr, 10);
            }
        }
        line = end + 1;
    }
    SecureZeroMemory(plain, sizeof plain);
    a.linked = a.token[0] && a.server[0] ? 1 : 0;
    *acc = a;
    SecureZeroMemory(&a, sizeof a);
    return acc->linked != 0;
}

void account_delete(void) {
    wchar_t path[MAX_PATH];
    account_path(path);
    if (DeleteFileW(path)) log_info("account: unlinked on this PC");
}
