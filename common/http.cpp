#include "common/http.h"
#include "common/text.h"
#include "common/win.h"

#include <winhttp.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const wchar_t HTTP_USER_AGENT[] = L"Ivra/0.2.12 (Windows)";
const DWORD HTTP_RESOLVE_MS = 10000;
const DWORD HTTP_CONNECT_MS = 15000;
const DWORD HTTP_PUT_MS = 120000;
const DWORD HTTP_DOWNLOAD_MS = 60000;
const DWORD HTTP_API_MS = 15000;
const size_t HTTP_CHUNK = 262144;
const size_t HTTP_BODY_START = 4096;
const size_t HTTP_HOST_MAX = 255;
const size_t HTTP_METHOD_MAX = 15;
const size_t API_URL_CAP = 512;
const size_t API_CODE_MAX = 47;

const DWORD HTTP_ERR_EOF = 38;             // ERROR_HANDLE_EOF
const DWORD HTTP_ERR_TOO_LARGE = 223;      // ERROR_FILE_TOO_LARGE
const DWORD HTTP_ERR_NO_MEMORY = 14;       // ERROR_OUTOFMEMORY
const DWORD HTTP_ERR_BAD_ADDRESS = 12005;  // ERROR_WINHTTP_INVALID_URL
const DWORD HTTP_ERR_CANCELLED = 12017;    // ERROR_WINHTTP_OPERATION_CANCELLED
const DWORD HTTP_ERR_INTERRUPTED = 12030;  // ERROR_WINHTTP_CONNECTION_ERROR

INIT_ONCE g_session_once = INIT_ONCE_STATIC_INIT;
HINTERNET g_session = nullptr;
DWORD g_session_error = 0;

BOOL CALLBACK http_session_init(PINIT_ONCE, PVOID, PVOID*) {
    HINTERNET s = WinHttpOpen(HTTP_USER_AGENT, WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                              WINHTTP_NO_PROXY_BYPASS, 0);
    if (!s)
        s = WinHttpOpen(HTTP_USER_AGENT, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                        WINHTTP_NO_PROXY_BYPASS, 0);
    if (!s) {
        g_session_error = GetLastError();
        return TRUE;
    }
    DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
    WinHttpSetOption(s, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols);
    g_session = s;
    return TRUE;
}

HINTERNET http_session(DWORD* error) {
    InitOnceExecuteOnce(&g_session_once, http_session_init, nullptr, nullptr);
    if (!g_session) *error = g_session_error ? g_session_error : HTTP_ERR_NO_MEMORY;
    return g_session;
}

void http_wipe(void* p, size_t n) {
    if (p) SecureZeroMemory(p, n);
}

// UTF-8 to a new wide text; null when it cannot be converted.
wchar_t* http_wide(const char* text) {
    int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    if (n <= 0) return nullptr;
    wchar_t* w = (wchar_t*)malloc((size_t)n * sizeof(wchar_t));
    if (w && MultiByteToWideChar(CP_UTF8, 0, text, -1, w, n) <= 0) {
        free(w);
        return nullptr;
    }
    return w;
}

struct http_handles {
    HINTERNET connect;
    HINTERNET request;
};

void http_close(http_handles* h) {
    if (h->request) WinHttpCloseHandle(h->request);
    if (h->connect) WinHttpCloseHandle(h->connect);
    h->request = h->connect = nullptr;
}

// Opens a connection and a request with the time-outs, the redirect policy and the
// extra headers; returns 0 or the error of the step that failed (handles closed then).
DWORD http_open(const char* method, const char* url, const char* headers, DWORD send_receive_ms, http_handles* out) {
    DWORD err = 0;
    HINTERNET session = http_session(&err);
    if (!session) return err;
    if (!method || !url) return ERROR_INVALID_PARAMETER;
    wchar_t wmethod[HTTP_METHOD_MAX + 1];
    int mn = MultiByteToWideChar(CP_UTF8, 0, method, -1, wmethod, (int)(HTTP_METHOD_MAX + 1));
    if (mn <= 1) return ERROR_INVALID_PARAMETER;

    http_handles h{};
    wchar_t* wurl = http_wide(url);
    wchar_t* wheaders = nullptr;
    wchar_t* object = nullptr;
    URL_COMPONENTS uc{};
    wchar_t host[HTTP_HOST_MAX + 1];
    size_t path_len = 0;
    if (!wurl) {
        err = HTTP_ERR_BAD_ADDRESS;
        goto done;
    }
    uc.dwStructSize = sizeof uc;
    uc.dwSchemeLength = uc.dwHostNameLength = uc.dwUrlPathLength = uc.dwExtraInfoLength = (DWORD)-1;
    if (!WinHttpCrackUrl(wurl, 0, 0, &uc)) {
        err = GetLastError();
        goto done;
    }
    if (uc.dwHostNameLength == 0 || uc.dwHostNameLength > HTTP_HOST_MAX) {
        err = HTTP_ERR_BAD_ADDRESS;
        goto done;
    }
    memcpy(host, uc.lpszHostName, uc.dwHostNameLength * sizeof(wchar_t));
    host[uc.dwHostNameLength] = 0;
    // The query follows the path in the URL text, so path and query are one span.
    path_len = (size_t)uc.dwUrlPathLength + uc.dwExtraInfoLength;
    object = (wchar_t*)malloc((path_len + 2) * sizeof(wchar_t));
    if (!object) {
        err = HTTP_ERR_NO_MEMORY;
        goto done;
    }
    {
        const wchar_t* span = uc.dwUrlPathLength ? uc.lpszUrlPath : uc.lpszExtraInfo;
        size_t k = 0;
        if (path_len == 0 || span[0] != L'/') object[k++] = L'/';
        if (path_len) memcpy(object + k, span, path_len * sizeof(wchar_t));
        object[k + path_len] = 0;
    }

    h.connect = WinHttpConnect(session, host, uc.nPort, 0);
    if (!h.connect) {
        err = GetLastError();
        goto done;
    }
    h.request =
        WinHttpOpenRequest(h.connect, wmethod, object, nullptr, WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                           WINHTTP_FLAG_ESCAPE_DISABLE | WINHTTP_FLAG_ESCAPE_DISABLE_QUERY |
                               (uc.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0));
    if (!h.request) {
        err = GetLastError();
        goto done;
    }
    if (!WinHttpSetTimeouts(h.request, HTTP_RESOLVE_MS, HTTP_CONNECT_MS, send_receive_ms, send_receive_ms)) {
        err = GetLastError();
        goto done;
    }
    {
        DWORD policy = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
        if (!WinHttpSetOption(h.request, WINHTTP_OPTION_REDIRECT_POLICY, &policy, sizeof policy)) {
            err = GetLastError();
            goto done;
        }
    }
    if (headers && headers[0]) {
        wheaders = http_wide(headers);
        if (!wheaders) {
            err = ERROR_INVALID_PARAMETER;
            goto done;
        }
        if (!WinHttpAddRequestHeaders(h.request, wheaders, (DWORD)-1,
                                      WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE)) {
            err = GetLastError();
            goto done;
        }
    }

done:
    if (wheaders) {
        // The block may hold the device token.
        http_wipe(wheaders, wcslen(wheaders) * sizeof(wchar_t));
        free(wheaders);
    }
    free(object);
    free(wurl);
    if (err)
        http_close(&h);
    else
        *out = h;
    return err;
}

// Waits for the reply, reads its status and up to HTTP_BODY_CAP - 1 bytes of its body.
// Returns false when no reply arrived; a body that broke off keeps what came and the error.
bool http_receive(HINTERNET request, http_response* r) {
    if (!WinHttpReceiveResponse(request, nullptr)) {
        r->system_error = GetLastError();
        return false;
    }
    DWORD status = 0, size = sizeof status;
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
        r->system_error = GetLastError();
        return false;
    }
    size_t cap = HTTP_BODY_START, len = 0;
    char* buf = (char*)malloc(cap);
    if (!buf) {
        r->system_error = HTTP_ERR_NO_MEMORY;
        return false;
    }
    bool cut = false;
    for (;;) {
        if (len + 1 == cap) {
            cut = cap >= HTTP_BODY_CAP;
            if (cut) break;
            size_t grown = cap * 2 > HTTP_BODY_CAP ? HTTP_BODY_CAP : cap * 2;
            char* bigger = (char*)malloc(grown);
            if (!bigger) {
                r->system_error = HTTP_ERR_NO_MEMORY;
                break;
            }
            // Copied by hand so no stale copy of a reply is left behind unwiped.
            memcpy(bigger, buf, len);
            http_wipe(buf, len);
            free(buf);
            buf = bigger;
            cap = grown;
        }
        DWORD got = 0;
        if (!WinHttpReadData(request, buf + len, (DWORD)(cap - 1 - len), &got)) {
            r->system_error = GetLastError();
            break;
        }
        if (got == 0) break;
        len += got;
    }
    buf[len] = 0;
    // A connection closed before the announced length reads as a clean end here.
    wchar_t length_text[32];
    DWORD length_size = sizeof length_text;
    if (!r->system_error && !cut && status != 204 && status != 304 &&
        WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, length_text,
                            &length_size, WINHTTP_NO_HEADER_INDEX) &&
        _wcstoui64(length_text, nullptr, 10) > len)
        r->system_error = HTTP_ERR_INTERRUPTED;
    r->status = (int)status;
    r->body = buf;
    r->body_length = len;
    return true;
}

void http_fail(http_response* response, DWORD err) {
    http_response r{};
    r.system_error = err;
    *response = r;
}

bool http_is_success(int status) { return status >= 200 && status <= 299; }

struct api_error_row {
    const char* code;
    const char* message;
};

const api_error_row api_errors[] = {
    {"invalid_name", "That doesn't look like a Second Life username."},
    {"rate_limited", "Too many codes were requested. Wait a few minutes and try again."},
    {"wrong_code", "That code isn't right."},
    {"too_many_attempts", "Too many wrong codes. Start again for a new one."},
    {"expired", "This code has expired. Start again."},
    {"used", "This code was already used. Start again."},
    {"failed", "This sign-in can't be completed. Start again."},
    {"not_found", "This sign-in has expired. Start again."},
    {"not_sent", "The code hasn't been delivered yet. Wait for the IM, then try again."},
    {"unauthorized", "This PC is no longer linked. Link it again to upload."},
    {"quota_exceeded", "Your Ivra storage is full."},
    {"storage_unavailable", "Ivra uploads are unavailable right now. Try again later."},
    {"invite_required",
     "Ivra is invite-only for now. Sign up on the Ivra website with your invite code first, then link this PC."},
    {"invalid_invite", "That invite code isn't valid. It may have been used up or withdrawn."},
};

// Copies the service's error code, cut to whole characters, with control bytes made
// harmless: the code ends up in log lines and in tab-separated pipe replies.
void api_copy_code(char* out, const char* code) {
    size_t n = strlen(code);
    if (n > API_CODE_MAX) {
        n = API_CODE_MAX;
        while (n > 0 && ((unsigned char)code[n] & 0xC0) == 0x80) --n;
    }
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = (unsigned char)code[i];
        out[i] = (c < 0x20 || c == 0x7F) ? '_' : (char)c;
    }
    out[n] = 0;
}

}  // namespace

const char* http_error_text(unsigned long code) {
    switch (code) {
    case 2: return "file not found";
    case 14: return "out of memory";
    case 12002: return "the server took too long to answer";
    case 12005:
    case 12006: return "invalid server address";
    case 12007: return "cannot find the server (offline?)";
    case 12017: return "cancelled";
    case 12029: return "cannot reach the server";
    case 12030: return "the connection was interrupted";
    case 12175: return "secure connection failed";
    default: return "network error";
    }
}

void api_result_set(api_result* result, int status, unsigned long system_error, const char* body) {
    api_result r{};
    r.status = status;
    if (status == 0) {
        strcpy(r.code, "network");
        text_format_into(r.message, sizeof r.message, "Couldn't reach Ivra: %s.", http_error_text(system_error));
    } else if (!http_is_success(status)) {
        json_node* tree = body ? json_parse(body, strlen(body)) : nullptr;
        const char* named = json_string(tree, "error", nullptr);
        if (named && named[0])
            api_copy_code(r.code, named);
        else
            strcpy(r.code, "http");
        const bool has_code = named && named[0];
        json_free(tree);
        const char* known = nullptr;
        for (const api_error_row& row : api_errors)
            if (strcmp(row.code, r.code) == 0) known = row.message;
        if (known)
            text_format_into(r.message, sizeof r.message, "%s", known);
        else if (status < 500)
            text_format_into(r.message, sizeof r.message, "The Ivra service refused the request (HTTP %d%s%s).", status,
                             has_code ? ", " : "", has_code ? r.code : "");
        else
            text_format_into(r.message, sizeof r.message,
                             "The Ivra service had a problem (HTTP %d). Try again shortly.", status);
    }
    *result = r;
}

bool api_url(const char* server, const char* path, char* out, size_t cap) {
    if (!server || !path || !out) return false;
    size_t a = strlen(server), b = strlen(path);
    if (a + b + 1 > cap) return false;
    memcpy(out, server, a);
    memcpy(out + a, path, b + 1);
    return true;
}

bool http_request(const char* method, const char* url, const char* headers, const char* body, size_t body_length,
                  unsigned long timeout_ms, http_response* response) {
    if (body_length > MAXDWORD) {
        http_fail(response, ERROR_INVALID_PARAMETER);
        return false;
    }
    http_handles h{};
    DWORD err = http_open(method, url, headers, timeout_ms, &h);
    if (err) {
        http_fail(response, err);
        return false;
    }
    http_response r{};
    bool ok = false;
    if (!WinHttpSendRequest(h.request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, body_length ? (LPVOID)body : nullptr,
                            (DWORD)body_length, (DWORD)body_length, 0))
        r.system_error = GetLastError();
    else
        ok = http_receive(h.request, &r);
    http_close(&h);
    *response = r;
    return ok;
}

bool http_put_file(const char* url, const char* headers, const wchar_t* path, const volatile long* cancel_flag,
                   http_response* response) {
    http_handles h{};
    http_response r{};
    bool ok = false;
    char* chunk = nullptr;
    LARGE_INTEGER size{};
    uint64_t sent = 0;
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        r.system_error = GetLastError();
        goto done;
    }
    if (!GetFileSizeEx(file, &size)) {
        r.system_error = GetLastError();
        goto done;
    }
    if ((uint64_t)size.QuadPart >= 0x100000000ull) {
        r.system_error = HTTP_ERR_TOO_LARGE;
        goto done;
    }
    chunk = (char*)malloc(HTTP_CHUNK);
    if (!chunk) {
        r.system_error = HTTP_ERR_NO_MEMORY;
        goto done;
    }
    r.system_error = http_open("PUT", url, headers, HTTP_PUT_MS, &h);
    if (r.system_error) goto done;
    if (!WinHttpSendRequest(h.request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0,
                            (DWORD)size.QuadPart, 0)) {
        r.system_error = GetLastError();
        goto done;
    }
    while (sent < (uint64_t)size.QuadPart) {
        if (cancel_flag && *cancel_flag) {
            r.system_error = HTTP_ERR_CANCELLED;
            goto done;
        }
        uint64_t left = (uint64_t)size.QuadPart - sent;
        DWORD want = left < HTTP_CHUNK ? (DWORD)left : (DWORD)HTTP_CHUNK;
        DWORD got = 0;
        if (!ReadFile(file, chunk, want, &got, nullptr)) {
            r.system_error = GetLastError();
            goto done;
        }
        if (got == 0) {
            r.system_error = HTTP_ERR_EOF;
            goto done;
        }
        DWORD written = 0;
        if (!WinHttpWriteData(h.request, chunk, got, &written) || written != got) {
            r.system_error = GetLastError();
            if (!r.system_error) r.system_error = HTTP_ERR_INTERRUPTED;
            goto done;
        }
        sent += got;
    }
    ok = http_receive(h.request, &r);

done:
    http_close(&h);
    free(chunk);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    *response = r;
    return ok;
}

bool http_download(const char* url, const wchar_t* path, http_progress_fn progress, void* progress_context,
                   const volatile long* cancel_flag, http_response* response) {
    http_handles h{};
    http_response r{};
    bool ok = false;
    char* chunk = nullptr;
    HANDLE file = INVALID_HANDLE_VALUE;
    DWORD status = 0, size = sizeof status;
    uint64_t total = 0, done_bytes = 0;
    wchar_t length_text[32];
    DWORD length_size = sizeof length_text;

    r.system_error = http_open("GET", url, nullptr, HTTP_DOWNLOAD_MS, &h);
    if (r.system_error) goto done;
    if (!WinHttpSendRequest(h.request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) ||
        !WinHttpReceiveResponse(h.request, nullptr) ||
        !WinHttpQueryHeaders(h.request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
        r.system_error = GetLastError();
        goto done;
    }
    r.status = (int)status;
    if (status != 200) goto done;
    if (WinHttpQueryHeaders(h.request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, length_text,
                            &length_size, WINHTTP_NO_HEADER_INDEX))
        total = _wcstoui64(length_text, nullptr, 10);
    chunk = (char*)malloc(HTTP_CHUNK);
    if (!chunk) {
        r.system_error = HTTP_ERR_NO_MEMORY;
        goto done;
    }
    file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        r.system_error = GetLastError();
        goto done;
    }
    for (;;) {
        if (cancel_flag && *cancel_flag) {
            r.system_error = HTTP_ERR_CANCELLED;
            goto done;
        }
        // Fills a whole chunk before writing, so progress moves in steps of 256 KiB.
        DWORD filled = 0;
        while (filled < HTTP_CHUNK) {
            DWORD got = 0;
            if (!WinHttpReadData(h.request, chunk + filled, (DWORD)HTTP_CHUNK - filled, &got)) {
                r.system_error = GetLastError();
                goto done;
            }
            if (got == 0) break;
            filled += got;
        }
        if (filled == 0) break;
        DWORD written = 0;
        if (!WriteFile(file, chunk, filled, &written, nullptr) || written != filled) {
            r.system_error = GetLastError();
            if (!r.system_error) r.system_error = ERROR_WRITE_FAULT;
            goto done;
        }
        done_bytes += filled;
        if (progress) progress(progress_context, done_bytes, total);
        if (filled < HTTP_CHUNK) break;
    }
    if (total && done_bytes < total) {
        r.system_error = HTTP_ERR_INTERRUPTED;
        goto done;
    }
    ok = true;

done:
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        if (!ok) DeleteFileW(path);
    }
    free(chunk);
    http_close(&h);
    r.body_length = done_bytes;
    *response = r;
    return ok;
}

void http_response_free(http_response* response) {
    if (!response) return;
    if (response->body) {
        // Replies carry device tokens.
        http_wipe(response->body, (size_t)response->body_length);
        free(response->body);
    }
    response->body = nullptr;
    response->body_length = 0;
}

json_node* api_call(const char* method, const char* server, const char* path, const char* headers, const char* body,
                    api_result* result) {
    api_result r{};
    char url[API_URL_CAP];
    if (!api_url(server, path, url, sizeof url)) {
        api_result_set(&r, 0, HTTP_ERR_BAD_ADDRESS, nullptr);
        *result = r;
        return nullptr;
    }
    const bool bodyless = !body || strcmp(method, "GET") == 0 || strcmp(method, "DELETE") == 0;
    http_response resp{};
    const bool arrived =
        http_request(method, url, headers, bodyless ? nullptr : body, bodyless ? 0 : strlen(body), HTTP_API_MS, &resp);
    json_node* tree = nullptr;
    if (arrived && http_is_success(resp.status) && resp.system_error) {
        // A success whose body broke off must not be read as a whole answer.
        api_result_set(&r, 0, resp.system_error, nullptr);
    } else {
        api_result_set(&r, arrived ? resp.status : 0, resp.system_error, arrived ? resp.body : nullptr);
        if (arrived && http_is_success(resp.status)) {
            tree = json_parse(resp.body, (size_t)resp.body_length);
            if (!tree && resp.status != 204) {
                r.status = 0;
                strcpy(r.code, "bad_response");
                strcpy(r.message, "The Ivra service sent an answer Ivra doesn't understand.");
            }
        }
    }
    http_response_free(&resp);
    *result = r;
    return tree;
}
