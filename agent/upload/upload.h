// The agent's upload queue: a fixed table of captures waiting for, going through or
// done with their transfer, journalled in uploads.tsv after every change and served
// by the "ivra-upload" worker pool.
#pragma once

#include "agent/upload/upload_transfer.h"
#include "common/account.h"
#include "common/config.h"

#include <cstddef>
#include <cstdint>

#define UPLOAD_MAX_ITEMS 256
#define UPLOAD_FINISHED_KEEP 100  // finished items kept before the oldest are trimmed
#define UPLOAD_MAX_TRIES 10       // failed tries before an item is failed for good
#define UPLOAD_MAX_WORKERS 4
#define UPLOAD_JOURNAL_MAX 4194303u   // longest uploads.tsv read at start, in bytes
#define UPLOAD_JOURNAL_LINE_MAX 1400  // longest journal line, line feed included
#define UPLOAD_STATUS_CAP 65536       // the pipe's status reply block

enum upload_state { UPLOAD_QUEUED = 0, UPLOAD_UPLOADING = 1, UPLOAD_DONE = 2, UPLOAD_FAILED = 3 };

struct upload_item {
    uint32_t id;
    int state;            // upload_state
    int tries;            // finished attempts
    int kind;             // 0 still, 1 clip
    uint64_t next_try;    // GetTickCount64 before which a queued item waits; 0 = at once
    int64_t finished_at;  // seconds since 1970 when done or failed
    wchar_t path[260];
    char share_url[256];
    char error[160];
    char collection_id[24];
    uint64_t started;  // GetTickCount64 when the running transfer began
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
// Every call below reads the journal and the link first when the start has not yet done
// so: the pipe serves requests while the agent is still starting. Transfers begin with
// the start, which makes the pool.

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

// ---- Pure parts: the table and its rules, the journal and the status text. They make
// no call that needs the agent, so every rule can be checked on a table of its own.

// The queue's items in insertion order and the id counter; the agent guards its one
// table with the queue lock.
struct upload_table {
    upload_item items[UPLOAD_MAX_ITEMS];
    int count;
    uint32_t next_id;  // the id the next new item gets; 0 counts as 1
};

// upload_workers as the queue runs it: 1 to 4.
int upload_workers_clamp(int workers);
// Seconds to wait after the n-th failed try (n from 1; above 6 the last entry).
uint64_t upload_backoff_seconds(int tries);
// "queued", "uploading", "done", "failed"; "queued" for anything else.
const char* upload_state_name(int state);
// The journal's state names: "done" 2, "failed" 3, anything else 0 (queued).
int upload_state_parse(const char* name);
// 0 for .png, .jpg and .jpeg (a still), 1 for .mp4 (a clip), -1 for anything else;
// the extension is the text after the last dot of the file name, in any case.
int upload_kind_of(const wchar_t* path);
// Copies text cut to cap - 1 bytes at a UTF-8 character boundary, cleaned as above.
void upload_text_copy(char* out, size_t cap, const char* text);
// The collection of a file in one of the numbered folders (folderN with collectionN,
// first match wins, never the stills or clips folder). False, out "", when none.
bool upload_collection_for(const config* cfg, const wchar_t* path, char out[24]);

// Index of the item with this id, or of this path ignoring case; -1 when none.
int upload_table_find(const upload_table* t, uint32_t id);
int upload_table_find_path(const upload_table* t, const wchar_t* path);
// Items per state: counts[upload_state].
void upload_table_counts(const upload_table* t, int counts[4]);

enum upload_add_result {
    UPLOAD_ADD_NEW,           // appended as queued
    UPLOAD_ADD_REQUEUED,      // the same path had failed: queued again with no tries
    UPLOAD_ADD_ALREADY_DONE,  // the same path is done with a share link
    UPLOAD_ADD_EXISTING,      // the same path is queued, uploading, or done without a link
    UPLOAD_ADD_FULL,          // no room even after trimming
};
// Applies the adding rules for a file whose extension and size were checked; *id gets
// the new or existing item's id (untouched when full).
int upload_table_add(upload_table* t, const wchar_t* path, int kind, const char* collection, uint32_t* id);
// Removes the oldest finished items while more than 100 are finished or the table is
// full. Returns the number removed.
int upload_table_trim(upload_table* t);

enum upload_finish_result {
    UPLOAD_FINISH_IGNORED,  // no uploading item with that id
    UPLOAD_FINISH_DONE,
    UPLOAD_FINISH_RETRY,     // queued again after its back-off
    UPLOAD_FINISH_FAILED,    // failed for good
    UPLOAD_FINISH_UNLINKED,  // queued again; the caller drops the link and the queued items
};
// A transfer's outcome applied to its item: now_tick and second_ms (the length of one
// back-off second) place the next try, now_s stamps a finished item. While stopping,
// every failure counts as a retry that never fails the item. *out (may be null)
// receives the item as it now stands.
int upload_table_finish(upload_table* t, uint32_t id, int outcome, const char* share_url, const char* error,
                        bool stopping, uint64_t now_tick, uint64_t second_ms, int64_t now_s, upload_item* out);
// Failed items and queued ones still waiting for their back-off become queued with no
// tries and no wait. Returns the number changed.
int upload_table_retry(upload_table* t, uint64_t now_tick);
// Removes done and failed items, keeping the order of the rest. Returns the number removed.
int upload_table_clear(upload_table* t);
// Removes queued items (the link went away). Returns the number removed.
int upload_table_drop_queued(upload_table* t);
// After an outcome: without a link nothing may stay queued (it would go to whichever
// account is linked next), then finished items are trimmed. Returns the queued items dropped.
int upload_table_settle(upload_table* t, bool linked);
// The earliest next try of a queued item still waiting after now_tick; 0 when none.
uint64_t upload_table_next_wake(const upload_table* t, uint64_t now_tick);

// The journal: one line per item in table order, an uploading item written as queued.
// Writes whole lines only and returns the length.
size_t upload_journal_format(const upload_table* t, char* out, size_t cap);
// Replaces the table's items with those of a journal's text and moves the id counter
// past the highest id. Returns the number of items restored.
int upload_journal_parse(const char* data, size_t length, upload_table* t);

// The status reply: counts, then one field per item, newest first, as long as whole
// fields fit; always ends in a line feed. Seconds until a next try are counted in
// back-off seconds of second_ms. Returns the length.
size_t upload_status_format(const upload_table* t, bool linked, const char* account_name, int workers,
                            uint64_t now_tick, uint64_t second_ms, char* out, size_t cap);
