// One transfer: clean the capture, make its previews, describe it to the service,
// PUT the files to the storage targets it hands out and fetch the share link.
#pragma once

#include "agent/upload/preview.h"
#include "common/account.h"
#include "common/json.h"

#include <cstddef>
#include <cstdint>

// SHA-256 of a file as 64 lower-case hex digits, through CNG in 1 MiB reads; false when
// it cannot be read or *stop (may be null) is set between reads.
bool upload_hash_file(const wchar_t* path, const volatile long* stop, char hex[65]);

enum upload_outcome { UPLOAD_OUTCOME_DONE, UPLOAD_OUTCOME_RETRY, UPLOAD_OUTCOME_FAILED, UPLOAD_OUTCOME_UNLINKED };

// What a transfer needs of the queue above it. The fetch copies the item's path and
// collection and the queue's account, taken under its lock; false when the id is gone.
// The report receives the outcome, with the sentence and the link cleaned of tabs, line
// breaks and '|'.
typedef bool (*upload_fetch_fn)(uint32_t id, wchar_t path[260], char collection_id[24], account* acc);
typedef void (*upload_report_fn)(uint32_t id, int outcome, const char* share_url, const char* error);

// One transfer of item id on an "ivra-upload" worker: fetches the item, polls *stop
// between chunks and reports its outcome exactly once.
void upload_transfer_run(uint32_t id, const volatile long* stop, upload_fetch_fn fetch, upload_report_fn report);

// ---- Pure pieces of the transfer.

#define UPLOAD_STILL_LIMIT 52428800ull  // bytes; the sentence says 50 MB
#define UPLOAD_CLIP_LIMIT 209715200ull  // bytes; the sentence says 200 MB

// The capture's type from its extension (ignoring case): the cleaned file's extension,
// its content type and whether it is a clip. False for anything but .png, .jpg, .jpeg
// and .mp4.
bool upload_file_type(const wchar_t* path, const char** ext, const char** content_type, int* clip);

// What the create request describes besides the hash and the capture time.
struct upload_description {
    int clip;
    const char* content_type;
    uint64_t original_size;
    int previews;  // 1 when every preview of the item was made
    uint64_t thumb_size;
    uint64_t poster_size;  // clips only
    media_facts facts;
    const char* collection_id;  // "" for none
};

// The create request's JSON body; false when it does not fit.
bool upload_create_body(char* out, size_t capacity, const upload_description* d, const char* content_hash,
                        const char* captured_at);

// The outcome of a create or complete request answered with a status other than 200
// (0 when no response arrived).
int upload_create_outcome(int status);
int upload_complete_outcome(int status);

// The storage target's headers as "Name: value\r\n" lines (content-length left out, and
// any name or value that would break the header block), at most capacity bytes with
// the terminator; a header that does not fit is left out.
void upload_put_headers(const json_node* headers, char* out, size_t capacity);

// Replaces tabs, carriage returns, line feeds and '|' with blanks in place.
void upload_text_clean(char* text);

// An item id from the service that can go into a request path as it is.
bool upload_service_id_ok(const char* id);
