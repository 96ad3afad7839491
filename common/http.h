// The thin WinHTTP client under the account, upload and update calls: one shared
// session, requests with a capped body, streaming uploads and downloads, and the
// translation of failures into a code word plus a sentence for users.
#pragma once

#include "common/json.h"

#include <cstddef>
#include <cstdint>

#define HTTP_BODY_CAP 4194304u  // bytes, terminator included

// Header blocks for service calls (narrow, CR LF separated).
#define HTTP_JSON_HEADERS "Content-Type: application/json\r\nAccept: application/json\r\n"
#define HTTP_AUTH_HEADERS_FMT "Authorization: Bearer %s\r\n%s"

struct http_response {
    int status;  // HTTP status; 0 when no response arrived
    char* body;  // heap, always terminated; the caller frees it with http_response_free
    uint64_t body_length;
    unsigned long system_error;  // Windows or WinHTTP error of the failed step; 0 if none
};

struct api_result {
    int status;  // HTTP status; 0 for a transport failure or an unreadable reply
    char code[48];
    char message[256];  // shown to users as is
};

typedef void (*http_progress_fn)(void* context, uint64_t done, uint64_t total);

// True when a response (any status) arrived: the body is then cut at HTTP_BODY_CAP, and a
// system error says it broke off before its announced length. False: status 0, no body, and
// the system error of the step that failed.
bool http_request(const char* method, const char* url, const char* headers, const char* body, size_t body_length,
                  unsigned long timeout_ms, http_response* response);

// PUTs the file's bytes; cancel_flag (may be null) is checked before each 256 KiB chunk.
bool http_put_file(const char* url, const char* headers, const wchar_t* path, const volatile long* cancel_flag,
                   http_response* response);

// GETs url into path (created exclusively; deleted again on any failure). Anything
// but 200 is false with that status in the response; body_length counts the bytes written.
bool http_download(const char* url, const wchar_t* path, http_progress_fn progress, void* progress_context,
                   const volatile long* cancel_flag, http_response* response);

void http_response_free(http_response* response);

// The transport-error fragment for a Windows/WinHTTP error code ("network error" for unknown codes).
const char* http_error_text(unsigned long code);

// Fills result from a finished exchange: code and sentence for failures, status alone for 2xx.
void api_result_set(api_result* result, int status, unsigned long system_error, const char* body);

// Joins server and path into out (cap bytes) as they are, adding or removing no slash.
// False, and out untouched, when the URL would not fit: a cut URL names another resource.
bool api_url(const char* server, const char* path, char* out, size_t cap);

// One service call at server + path with a JSON reply and a 15 s time-out. Returns the
// parsed tree on 2xx (none for an empty 204, which callers treat as success by
// result->status) and none on every failure, which result describes.
json_node* api_call(const char* method, const char* server, const char* path, const char* headers, const char* body,
                    api_result* result);
