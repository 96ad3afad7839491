// The agent's upload queue: a fixed table of captures waiting for, going through or
// done with their transfer, journalled in uploads.tsv after every change and served
// by the "ivra-upload" worker pool.
#pragma once

#include "common/account.h"

#include <cstddef>
#include <cstdint>

#define UPLOAD_MAX_ITEMS 256

enum upload_state { UPLOAD_QUEUED = 0, UPLOAD_UPLOADING = 1, UPLOAD_DONE = 2, UPLOAD_FAILED = 3 };
enum upload_outcome { UPLOAD_OUTCOME_DONE, UPLOAD_OUTCOME_RETRY, UPLOAD_OUTCOME_FAILED, UPLOAD_OUTCOME_UNLINKED };

struct upload_item {
    uint32_t id;
    int state;               // upload_state
    int tries;               // finished attempts
    int kind;                // 0 still, 1 clip
    uint64_t next_try;       // GetTickCount64 before which a queued item waits; 0 = at once
    int64_t finished_at;     // seconds since 1970 when done or failed
    wchar_t path[260];
    char share_url[256];
    char error[160];
    char collection_id[24];
};

// Heap record posted with WM_AGENT_UPLOAD_DONE / WM_AGENT_UPLOAD_FAILED; the window frees it.
struct upload_notice {
    wchar_t path[260];
    char share_url[256];
    char error[160];
    int already_uploaded;
};

void upload_start(int workers);
void upload_shutdown(void);

// Queues a capture; on failure err holds one sentence and nothing is queued.
bool upload_add(const wchar_t* path, uint32_t* id_out, char* err, size_t err_capacity);
int upload_retry(void);
int upload_clear(void);
int upload_pending(void);
bool upload_linked(void);
void upload_account_name(char* out, size_t capacity);
void upload_account_changed(void);
// The pipe's status reply, always ending in a line feed.
void upload_status(char* out, size_t capacity);
void upload_pump(void);

// For the transfer job: copies of the item and of the queue's account, taken under the
// lock (false when the id is gone), the stop flag it polls between chunks, and the
// report of its outcome (sentence and link are cleaned of tabs, line breaks and '|').
bool upload_item_copy(uint32_t id, upload_item* item, account* acc);
const volatile long* upload_stop_flag(void);
void upload_finish(uint32_t id, int outcome, const char* share_url, const char* error);
