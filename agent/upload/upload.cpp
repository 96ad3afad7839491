#include "agent/upload/upload.h"
#include "agent/core/agent.h"
#include "agent/core/messages.h"
#include "agent/core/worker_pool.h"
#include "common/log.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwchar>

// ---------------------------------------------------------------- pure parts

int upload_workers_clamp(int workers) {
    return workers < 1 ? 1 : workers > UPLOAD_MAX_WORKERS ? UPLOAD_MAX_WORKERS : workers;
}

uint64_t upload_backoff_seconds(int tries) {
    static const uint64_t seconds[] = {15, 60, 300, 900, 1800, 3600};
    const int last = (int)(sizeof seconds / sizeof seconds[0]);
    if (tries < 1) tries = 1;
    return seconds[(tries > last ? last : tries) - 1];
}

const char* upload_state_name(int state) {
    switch (state) {
    case UPLOAD_UPLOADING: return "uploading";
    case UPLOAD_DONE: return "done";
    case UPLOAD_FAILED: return "failed";
    default: return "queued";
    }
}

int upload_state_parse(const char* name) {
    if (strcmp(name, "done") == 0) return UPLOAD_DONE;
    if (strcmp(name, "failed") == 0) return UPLOAD_FAILED;
    return UPLOAD_QUEUED;  // an interrupted transfer starts again
}

static bool upload_ext_is(const wchar_t* ext, const char* want) {
    for (; *ext && *want; ext++, want++) {
        wchar_t c = *ext >= L'A' && *ext <= L'Z' ? (wchar_t)(*ext + 32) : *ext;
        if (c != (wchar_t)*want) return false;
    }
    return *ext == 0 && *want == 0;
}

int upload_kind_of(const wchar_t* path) {
    if (!path) return -1;
    const wchar_t* name = path;
    for (const wchar_t* p = path; *p; p++)
        if (*p == L'\\' || *p == L'/') name = p + 1;
    const wchar_t* dot = wcsrchr(name, L'.');
    if (!dot) return -1;
    if (upload_ext_is(dot + 1, "png") || upload_ext_is(dot + 1, "jpg") || upload_ext_is(dot + 1, "jpeg")) return 0;
    if (upload_ext_is(dot + 1, "mp4")) return 1;
    return -1;
}

// Bytes of text that fit max bytes without ending inside a UTF-8 character.
static size_t upload_utf8_cut(const char* text, size_t len, size_t max) {
    if (len <= max) return len;
    size_t n = max;
    while (n > 0 && ((unsigned char)text[n] & 0xC0) == 0x80) n--;
    return n;
}

void upload_text_copy(char* out, size_t cap, const char* text) {
    if (!out || cap == 0) return;
    if (!text) text = "";
    size_t n = upload_utf8_cut(text, strlen(text), cap - 1);
    memcpy(out, text, n);
    out[n] = 0;
    upload_text_clean(out);
}

// A wide path (at most 260 characters) as UTF-8; out holds 784 bytes, always enough.
static void upload_path_utf8(const wchar_t* path, char out[784]) {
    int n = WideCharToMultiByte(CP_UTF8, 0, path, -1, out, 784, nullptr, nullptr);
    if (n <= 0) out[0] = 0;
}

// len bytes of UTF-8 as a wide path of at most 259 characters, never ending in half a pair.
static void upload_path_wide(const char* text, size_t len, wchar_t out[260]) {
    wchar_t wide[1024];
    int n = len ? MultiByteToWideChar(CP_UTF8, 0, text, (int)(len < 3000 ? len : 3000), wide, 1023) : 0;
    if (n < 0) n = 0;
    if (n > 259) {
        n = 259;
        if (wide[n - 1] >= 0xD800 && wide[n - 1] <= 0xDBFF) n--;
    }
    wmemcpy(out, wide, (size_t)n);
    out[n] = 0;
}

static bool upload_path_equal(const wchar_t* a, int alen, const wchar_t* b, int blen) {
    return CompareStringOrdinal(a, alen, b, blen, TRUE) == CSTR_EQUAL;
}

// Length of a folder path without its trailing separators, keeping at least 3 characters.
static int upload_folder_len(const wchar_t* folder) {
    int n = (int)wcslen(folder);
    while (n > 3 && (folder[n - 1] == L'\\' || folder[n - 1] == L'/')) n--;
    return n;
}

bool upload_collection_for(const config* cfg, const wchar_t* path, char out[24]) {
    out[0] = 0;
    if (!cfg || !path) return false;
    int dir = -1;
    for (int i = 0; path[i]; i++)
        if (path[i] == L'\\' || path[i] == L'/') dir = i;
    if (dir < 0) return false;
    // A file in a drive's root lives in "C:\", the shortest form a folder setting keeps.
    int dir_len = dir == 2 && path[1] == L':' ? 3 : dir;
    int stills_len = upload_folder_len(cfg->stills_dir), clips_len = upload_folder_len(cfg->clips_dir);
    for (int s = 0; s < 9; s++) {
        const wchar_t* folder = cfg->folders[s];
        if (!folder[0] || !cfg->collections[s][0]) continue;
        int len = upload_folder_len(folder);
        if (upload_path_equal(folder, len, cfg->stills_dir, stills_len) ||
            upload_path_equal(folder, len, cfg->clips_dir, clips_len))
            continue;
        if (upload_path_equal(folder, len, path, dir_len)) {
            upload_text_copy(out, 24, cfg->collections[s]);
            return true;
        }
    }
    return false;
}

int upload_table_find(const upload_table* t, uint32_t id) {
    for (int i = 0; i < t->count; i++)
        if (t->items[i].id == id) return i;
    return -1;
}

int upload_table_find_path(const upload_table* t, const wchar_t* path) {
    for (int i = 0; i < t->count; i++)
        if (upload_path_equal(t->items[i].path, -1, path, -1)) return i;
    return -1;
}

void upload_table_counts(const upload_table* t, int counts[4]) {
    counts[0] = counts[1] = counts[2] = counts[3] = 0;
    for (int i = 0; i < t->count; i++) {
        int s = t->items[i].state;
        counts[s >= 0 && s <= 3 ? s : 0]++;
    }
}

static void upload_table_remove_at(upload_table* t, int i) {
    memmove(&t->items[i], &t->items[i + 1], (size_t)(t->count - i - 1) * sizeof(upload_item));
    t->count--;
}

static bool upload_finished(const upload_item* it) { return it->state == UPLOAD_DONE || it->state == UPLOAD_FAILED; }

int upload_table_trim(upload_table* t) {
    int counts[4];
    upload_table_counts(t, counts);
    int finished = counts[UPLOAD_DONE] + counts[UPLOAD_FAILED], removed = 0;
    for (int i = 0;
         i < t->count && finished > 0 && (finished > UPLOAD_FINISHED_KEEP || t->count >= UPLOAD_MAX_ITEMS);) {
        if (!upload_finished(&t->items[i])) {
            i++;
            continue;
        }
        upload_table_remove_at(t, i);
        finished--;
        removed++;
    }
    return removed;
}

// The next free id; ids are never 0 and never shared, even after the counter wrapped.
static uint32_t upload_table_take_id(upload_table* t) {
    for (;;) {
        uint32_t id = t->next_id ? t->next_id : 1;
        t->next_id = id + 1;
        if (upload_table_find(t, id) < 0) return id;
    }
}

int upload_table_add(upload_table* t, const wchar_t* path, int kind, const char* collection, uint32_t* id) {
    int i = upload_table_find_path(t, path);
    if (i >= 0) {
        upload_item* it = &t->items[i];
        *id = it->id;
        if (it->state == UPLOAD_FAILED) {
            it->state = UPLOAD_QUEUED;
            it->tries = 0;
            it->next_try = 0;
            it->finished_at = 0;
            it->error[0] = 0;
            return UPLOAD_ADD_REQUEUED;
        }
        if (it->state == UPLOAD_DONE && it->share_url[0]) return UPLOAD_ADD_ALREADY_DONE;
        return UPLOAD_ADD_EXISTING;
    }
    upload_table_trim(t);
    if (t->count >= UPLOAD_MAX_ITEMS) return UPLOAD_ADD_FULL;
    upload_item* it = &t->items[t->count];
    memset(it, 0, sizeof *it);
    it->id = upload_table_take_id(t);
    it->state = UPLOAD_QUEUED;
    it->kind = kind ? 1 : 0;
    wcsncpy(it->path, path, 259);
    it->path[259] = 0;
    upload_text_copy(it->collection_id, sizeof it->collection_id, collection);
    t->count++;
    *id = it->id;
    return UPLOAD_ADD_NEW;
}

int upload_table_finish(upload_table* t, uint32_t id, int outcome, const char* share_url, const char* error,
                        bool stopping, uint64_t now_tick, uint64_t second_ms, int64_t now_s, upload_item* out) {
    int i = upload_table_find(t, id);
    if (i < 0 || t->items[i].state != UPLOAD_UPLOADING) return UPLOAD_FINISH_IGNORED;
    upload_item* it = &t->items[i];
    if (stopping && outcome != UPLOAD_OUTCOME_DONE) outcome = UPLOAD_OUTCOME_RETRY;
    int result;
    switch (outcome) {
    case UPLOAD_OUTCOME_DONE:
        it->state = UPLOAD_DONE;
        it->error[0] = 0;
        upload_text_copy(it->share_url, sizeof it->share_url, share_url);
        it->finished_at = now_s;
        result = UPLOAD_FINISH_DONE;
        break;
    case UPLOAD_OUTCOME_UNLINKED:
        it->state = UPLOAD_QUEUED;
        it->next_try = 0;
        result = UPLOAD_FINISH_UNLINKED;
        break;
    case UPLOAD_OUTCOME_FAILED:
        it->tries++;
        upload_text_copy(it->error, sizeof it->error, error);
        it->state = UPLOAD_FAILED;
        it->finished_at = now_s;
        result = UPLOAD_FINISH_FAILED;
        break;
    default:  // a retry, and any outcome this queue does not know
        it->tries++;
        upload_text_copy(it->error, sizeof it->error, error);
        if (it->tries < UPLOAD_MAX_TRIES || stopping) {
            it->state = UPLOAD_QUEUED;
            it->next_try = now_tick + upload_backoff_seconds(it->tries) * second_ms;
            result = UPLOAD_FINISH_RETRY;
        } else {
            it->state = UPLOAD_FAILED;
            it->finished_at = now_s;
            result = UPLOAD_FINISH_FAILED;
        }
        break;
    }
    if (out) *out = *it;
    return result;
}

int upload_table_retry(upload_table* t, uint64_t now_tick) {
    int changed = 0;
    for (int i = 0; i < t->count; i++) {
        upload_item* it = &t->items[i];
        if (it->state != UPLOAD_FAILED && !(it->state == UPLOAD_QUEUED && it->next_try > now_tick)) continue;
        if (it->state == UPLOAD_FAILED) it->finished_at = 0;
        it->state = UPLOAD_QUEUED;
        it->tries = 0;
        it->next_try = 0;
        changed++;
    }
    return changed;
}

static int upload_table_remove_if(upload_table* t, bool (*gone)(const upload_item*)) {
    int kept = 0;
    for (int i = 0; i < t->count; i++) {
        if (gone(&t->items[i])) continue;
        if (kept != i) t->items[kept] = t->items[i];
        kept++;
    }
    int removed = t->count - kept;
    t->count = kept;
    return removed;
}

static bool upload_queued(const upload_item* it) { return it->state == UPLOAD_QUEUED; }

int upload_table_clear(upload_table* t) { return upload_table_remove_if(t, upload_finished); }

int upload_table_drop_queued(upload_table* t) { return upload_table_remove_if(t, upload_queued); }

int upload_table_settle(upload_table* t, bool linked) {
    int dropped = linked ? 0 : upload_table_drop_queued(t);
    upload_table_trim(t);
    return dropped;
}

uint64_t upload_table_next_wake(const upload_table* t, uint64_t now_tick) {
    uint64_t wake = 0;
    for (int i = 0; i < t->count; i++) {
        const upload_item* it = &t->items[i];
        if (it->state == UPLOAD_QUEUED && it->next_try > now_tick && (!wake || it->next_try < wake))
            wake = it->next_try;
    }
    return wake;
}

size_t upload_journal_format(const upload_table* t, char* out, size_t cap) {
    if (!out || cap == 0) return 0;
    size_t len = 0;
    out[0] = 0;
    for (int i = 0; i < t->count; i++) {
        const upload_item* it = &t->items[i];
        char path[784];
        upload_path_utf8(it->path, path);
        int state = it->state == UPLOAD_UPLOADING ? UPLOAD_QUEUED : it->state;
        int n = snprintf(out + len, cap - len, "%u\t%s\t%d\t%d\t%lld\t%s\t%s\t%s\t%s\n", it->id,
                         upload_state_name(state), it->tries, it->kind, (long long)it->finished_at, path, it->share_url,
                         it->error, it->collection_id);
        if (n < 0 || (size_t)n >= cap - len) {
            out[len] = 0;
            break;
        }
        len += (size_t)n;
    }
    return len;
}

// Up to cap - 1 bytes of a field as a terminated text.
static void upload_field_copy(const char* field, size_t len, char* out, size_t cap) {
    size_t n = upload_utf8_cut(field, len, cap - 1);
    memcpy(out, field, n);
    out[n] = 0;
}

int upload_journal_parse(const char* data, size_t length, upload_table* t) {
    t->count = 0;
    uint32_t highest = 0;
    size_t pos = 0;
    while (pos < length && t->count < UPLOAD_MAX_ITEMS) {
        const char* line = data + pos;
        const char* lf = (const char*)memchr(line, '\n', length - pos);
        size_t line_len = lf ? (size_t)(lf - line) : length - pos;
        pos += line_len + 1;
        if (line_len > 0 && line[line_len - 1] == '\r') line_len--;

        const char* field[9];
        size_t flen[9];
        int fields = 0;
        size_t start = 0;
        for (size_t k = 0; k <= line_len && fields < 9; k++) {
            if (k == line_len || line[k] == '\t') {
                field[fields] = line + start;
                flen[fields++] = k - start;
                start = k + 1;
            }
        }
        if (fields < 6) continue;

        char num[32];
        upload_field_copy(field[0], flen[0], num, sizeof num);
        char* end = nullptr;
        unsigned long long id = strtoull(num, &end, 10);
        if (end == num || *end || id == 0 || id > 0xFFFFFFFFull) continue;
        if (upload_table_find(t, (uint32_t)id) >= 0) continue;  // a hand-edited copy of a line
        upload_item it{};
        upload_path_wide(field[5], flen[5], it.path);
        if (!it.path[0]) continue;
        it.id = (uint32_t)id;
        char state[16];
        upload_field_copy(field[1], flen[1], state, sizeof state);
        it.state = upload_state_parse(state);
        upload_field_copy(field[2], flen[2], num, sizeof num);
        it.tries = atoi(num) < 0 ? 0 : atoi(num);
        upload_field_copy(field[3], flen[3], num, sizeof num);
        it.kind = atoi(num) != 0 ? 1 : 0;
        upload_field_copy(field[4], flen[4], num, sizeof num);
        it.finished_at = strtoll(num, nullptr, 10);
        if (fields > 6) upload_field_copy(field[6], flen[6], it.share_url, sizeof it.share_url);
        if (fields > 7) upload_field_copy(field[7], flen[7], it.error, sizeof it.error);
        if (fields > 8 && flen[8] < sizeof it.collection_id)
            upload_field_copy(field[8], flen[8], it.collection_id, sizeof it.collection_id);
        upload_text_clean(it.share_url);
        upload_text_clean(it.error);
        upload_text_clean(it.collection_id);
        t->items[t->count++] = it;
        if (it.id > highest) highest = it.id;
    }
    t->next_id = highest + 1 ? highest + 1 : 1;
    return t->count;
}

size_t upload_status_format(const upload_table* t, bool linked, const char* account_name, int workers,
                            uint64_t now_tick, uint64_t second_ms, char* out, size_t cap) {
    if (!out || cap < 2) {
        if (out && cap) out[0] = 0;
        return 0;
    }
    int counts[4];
    upload_table_counts(t, counts);
    char name[80];
    upload_text_copy(name, sizeof name, linked && account_name ? account_name : "");
    int n =
        snprintf(out, cap, "ok\tlinked=%d\taccount=%s\tworkers=%d\tqueued=%d\tactive=%d\tdone=%d\tfailed=%d\titems=%d",
                 linked ? 1 : 0, name, workers, counts[UPLOAD_QUEUED], counts[UPLOAD_UPLOADING], counts[UPLOAD_DONE],
                 counts[UPLOAD_FAILED], t->count);
    size_t len = n < 0 ? 0 : (size_t)n < cap - 1 ? (size_t)n : cap - 2;
    if (second_ms == 0) second_ms = 1000;
    for (int i = t->count - 1, shown = 0; i >= 0 && (size_t)n < cap - 1; i--) {
        const upload_item* it = &t->items[i];
        char path[784], entry[UPLOAD_JOURNAL_LINE_MAX + 64];
        upload_path_utf8(it->path, path);
        unsigned long long wait = 0;
        if (it->state == UPLOAD_QUEUED && it->next_try > now_tick)
            wait = (it->next_try - now_tick + second_ms - 1) / second_ms;
        int e = snprintf(entry, sizeof entry, "\tu%d=%u|%s|%d|%s|%llu|%s|%s|%s", shown, it->id,
                         upload_state_name(it->state), it->tries, it->kind ? "clip" : "still", wait, it->share_url,
                         it->error, path);
        // Whole fields only, with room left for the line feed and the terminator.
        if (e < 0 || (size_t)e >= sizeof entry || len + (size_t)e + 2 > cap) break;
        memcpy(out + len, entry, (size_t)e);
        len += (size_t)e;
        shown++;
    }
    out[len++] = '\n';
    out[len] = 0;
    return len;
}

// ---------------------------------------------------------------- the agent's queue

namespace {

SRWLOCK g_lock = SRWLOCK_INIT;  // guards everything below but g_stop
volatile long g_restored;       // journal and link read: from now on the journal may be written
upload_table g_table;
account g_account;  // the queue's copy of the link; secret: wiped when dropped
int g_workers = 1;
worker_pool* g_pool;
uint64_t g_second_ms = 1000;  // one back-off second; shorter only behind the test hook
HANDLE g_wake_timer;          // test hook: pumps when the earliest back-off ends
uint64_t g_wake_due;
volatile long g_stop;
char g_journal_text[UPLOAD_MAX_ITEMS * UPLOAD_JOURNAL_LINE_MAX];

int64_t upload_now_s() { return (int64_t)time(nullptr); }

void upload_journal_path(wchar_t out[MAX_PATH]) {
    wchar_t dir[260];
    app_data_dir(dir);
    _snwprintf(out, MAX_PATH, L"%ls\\uploads.tsv", dir);
    out[MAX_PATH - 1] = 0;
}

// Under the exclusive lock; a failed write leaves the old journal.
void upload_journal_write_locked() {
    // Before the restore the table is empty: writing it would wipe the journal.
    if (!g_restored) return;
    wchar_t path[MAX_PATH], dir[260];
    upload_journal_path(path);
    app_data_dir(dir);
    CreateDirectoryW(dir, nullptr);
    size_t len = upload_journal_format(&g_table, g_journal_text, sizeof g_journal_text);
    config_replace_file(path, g_journal_text, len, FILE_ATTRIBUTE_NORMAL, nullptr);
}

void upload_journal_restore_locked() {
    wchar_t path[MAX_PATH];
    upload_journal_path(path);
    HANDLE f = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return;
    LARGE_INTEGER size{};
    char* data = nullptr;
    DWORD got = 0;
    if (GetFileSizeEx(f, &size) && size.QuadPart >= 1 && size.QuadPart <= UPLOAD_JOURNAL_MAX)
        data = (char*)HeapAlloc(GetProcessHeap(), 0, (SIZE_T)size.QuadPart);
    if (data && ReadFile(f, data, (DWORD)size.QuadPart, &got, nullptr) && got == (DWORD)size.QuadPart) {
        upload_journal_parse(data, got, &g_table);
        int counts[4];
        upload_table_counts(&g_table, counts);
        log_info("upload: journal restored %d items (%d waiting)", g_table.count, counts[UPLOAD_QUEUED]);
    }
    if (data) HeapFree(GetProcessHeap(), 0, data);
    CloseHandle(f);
}

void upload_wipe_account_locked() { SecureZeroMemory(&g_account, sizeof g_account); }

void upload_post(UINT msg, const upload_item* it, bool already_uploaded) {
    upload_notice* n = (upload_notice*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(upload_notice));
    if (!n) return;
    wcsncpy(n->path, it->path, 259);
    upload_text_copy(n->share_url, sizeof n->share_url, it->share_url);
    upload_text_copy(n->error, sizeof n->error, it->error);
    n->already_uploaded = already_uploaded ? 1 : 0;
    if (!g_agent.wnd || !PostMessageW(g_agent.wnd, msg, 0, (LPARAM)n)) HeapFree(GetProcessHeap(), 0, n);
}

void CALLBACK upload_wake(void*, BOOLEAN) { upload_pump(); }

// Under the exclusive lock; only with the test hook's short back-off seconds, where
// waiting for the 15-second tick would hide the schedule being tested.
void upload_wake_arm_locked() {
    if (g_second_ms == 1000 || InterlockedCompareExchange(&g_stop, 0, 0)) return;
    uint64_t now = GetTickCount64();
    uint64_t due = upload_table_next_wake(&g_table, now);
    if (!due) return;
    if (g_wake_timer && g_wake_due > now && g_wake_due <= due) return;
    if (g_wake_timer) DeleteTimerQueueTimer(nullptr, g_wake_timer, nullptr);
    g_wake_timer = nullptr;
    if (CreateTimerQueueTimer(&g_wake_timer, nullptr, upload_wake, nullptr, (DWORD)(due - now) + 1, 0,
                              WT_EXECUTEONLYONCE))
        g_wake_due = due;
    else
        g_wake_timer = nullptr;
}

bool upload_stopping() { return InterlockedCompareExchange(&g_stop, 0, 0) != 0; }

// The journal and the link are read once, by the start or by a request that comes first:
// the pipe answers while the agent is still starting, and must see the real queue.
void upload_restore_locked() {
    if (g_restored) return;
    upload_journal_restore_locked();
    account acc;
    account_load(&acc);
    g_account = acc;
    SecureZeroMemory(&acc, sizeof acc);
    InterlockedExchange(&g_restored, 1);
}

void upload_ensure_restored() {
    if (InterlockedCompareExchange(&g_restored, 0, 0)) return;
    AcquireSRWLockExclusive(&g_lock);
    upload_restore_locked();
    ReleaseSRWLockExclusive(&g_lock);
}

}  // namespace

void upload_start(int workers) {
    g_workers = upload_workers_clamp(workers);
    unsigned long second = agent_debug_ms(L"IVRA_DEBUG_UPLOAD_BACKOFF_MS");
    if (second) log_warn("debug: upload back-off seconds last %lu ms", second);
    worker_pool* pool = worker_pool_create("ivra-upload", g_workers, 64, THREAD_PRIORITY_BELOW_NORMAL);
    AcquireSRWLockExclusive(&g_lock);
    g_second_ms = second ? second : 1000;
    g_pool = pool;
    upload_restore_locked();
    bool linked = g_account.linked != 0;
    ReleaseSRWLockExclusive(&g_lock);
    log_info("upload: %s, %d workers", linked ? "linked" : "not linked (local only)", g_workers);
    upload_pump();
}

void upload_shutdown(void) {
    InterlockedExchange(&g_stop, 1);
    AcquireSRWLockExclusive(&g_lock);
    HANDLE wake = g_wake_timer;
    g_wake_timer = nullptr;
    worker_pool* pool = g_pool;
    ReleaseSRWLockExclusive(&g_lock);
    // Waits for a wake-up that is running; it sees the stop flag and returns at once.
    if (wake) DeleteTimerQueueTimer(nullptr, wake, INVALID_HANDLE_VALUE);
    // Transfers see the stop flag between chunks; one stuck in a request keeps its pool alive.
    if (pool && worker_pool_stop(pool, 1500)) {
        AcquireSRWLockExclusive(&g_lock);
        g_pool = nullptr;
        ReleaseSRWLockExclusive(&g_lock);
        worker_pool_destroy(pool, 0);
    }
    AcquireSRWLockExclusive(&g_lock);
    upload_journal_write_locked();
    upload_wipe_account_locked();
    ReleaseSRWLockExclusive(&g_lock);
}

bool upload_add(const wchar_t* path, uint32_t* id_out, char* err, size_t err_capacity) {
    upload_ensure_restored();
    const char* refusal = nullptr;
    int kind = upload_kind_of(path);
    WIN32_FILE_ATTRIBUTE_DATA fa;
    if (kind < 0)
        refusal = "only .png, .jpg and .mp4 files can be uploaded";
    else if (!GetFileAttributesExW(path, GetFileExInfoStandard, &fa) ||
             (fa.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || (fa.nFileSizeHigh == 0 && fa.nFileSizeLow == 0))
        refusal = "file not found";
    if (refusal) {
        upload_text_copy(err, err_capacity, refusal);
        return false;
    }
    char collection[24];
    config* cfg = (config*)HeapAlloc(GetProcessHeap(), 0, sizeof(config));
    if (cfg) {
        agent_config_copy(cfg);
        upload_collection_for(cfg, path, collection);
        HeapFree(GetProcessHeap(), 0, cfg);
    } else {
        collection[0] = 0;
    }

    uint32_t id = 0;
    int result;
    AcquireSRWLockExclusive(&g_lock);
    if (!g_account.linked) {
        result = -1;
    } else {
        result = upload_table_add(&g_table, path, kind, collection, &id);
        int i = upload_table_find(&g_table, id);
        if (result == UPLOAD_ADD_NEW) {
            log_info("upload: queued #%u %ls%s%s", id, path, collection[0] ? " -> collection " : "", collection);
            upload_journal_write_locked();
        } else if (result == UPLOAD_ADD_REQUEUED) {
            upload_journal_write_locked();
        } else if (result == UPLOAD_ADD_ALREADY_DONE && i >= 0) {
            upload_post(WM_AGENT_UPLOAD_DONE, &g_table.items[i], true);
        }
    }
    ReleaseSRWLockExclusive(&g_lock);
    if (result < 0 || result == UPLOAD_ADD_FULL) {
        upload_text_copy(err, err_capacity,
                         result < 0 ? "this PC is not linked to an Ivra account" : "the upload queue is full");
        return false;
    }
    if (result == UPLOAD_ADD_NEW || result == UPLOAD_ADD_REQUEUED) upload_pump();
    if (id_out) *id_out = id;
    return true;
}

int upload_retry(void) {
    upload_ensure_restored();
    AcquireSRWLockExclusive(&g_lock);
    int n = upload_table_retry(&g_table, GetTickCount64());
    if (n) upload_journal_write_locked();
    ReleaseSRWLockExclusive(&g_lock);
    upload_pump();
    return n;
}

int upload_clear(void) {
    upload_ensure_restored();
    AcquireSRWLockExclusive(&g_lock);
    int n = upload_table_clear(&g_table);
    upload_journal_write_locked();
    ReleaseSRWLockExclusive(&g_lock);
    return n;
}

int upload_pending(void) {
    upload_ensure_restored();
    int counts[4];
    AcquireSRWLockShared(&g_lock);
    upload_table_counts(&g_table, counts);
    ReleaseSRWLockShared(&g_lock);
    return counts[UPLOAD_QUEUED] + counts[UPLOAD_UPLOADING];
}

bool upload_linked(void) {
    upload_ensure_restored();
    AcquireSRWLockShared(&g_lock);
    bool linked = g_account.linked != 0;
    ReleaseSRWLockShared(&g_lock);
    return linked;
}

void upload_account_name(char* out, size_t capacity) {
    upload_ensure_restored();
    AcquireSRWLockShared(&g_lock);
    upload_text_copy(out, capacity, g_account.linked ? g_account.sl_name : "");
    ReleaseSRWLockShared(&g_lock);
}

void upload_account_changed(void) {
    upload_ensure_restored();
    account acc;
    account_load(&acc);
    AcquireSRWLockExclusive(&g_lock);
    bool was_linked = g_account.linked != 0;
    upload_wipe_account_locked();
    g_account = acc;
    if (!g_account.linked) {
        if (upload_table_drop_queued(&g_table) > 0) {
            upload_journal_write_locked();
            log_info("upload: unlinked; pending uploads dropped, captures stay local");
        }
    } else if (!was_linked) {
        log_info("upload: linked as %s", g_account.sl_name);
    }
    ReleaseSRWLockExclusive(&g_lock);
    SecureZeroMemory(&acc, sizeof acc);
    upload_pump();
}

void upload_status(char* out, size_t capacity) {
    upload_ensure_restored();
    AcquireSRWLockShared(&g_lock);
    upload_status_format(&g_table, g_account.linked != 0, g_account.sl_name, g_workers, GetTickCount64(), g_second_ms,
                         out, capacity);
    ReleaseSRWLockShared(&g_lock);
}

static void upload_job(void* arg);

void upload_pump(void) {
    if (upload_stopping()) return;
    AcquireSRWLockExclusive(&g_lock);
    if (g_pool && g_account.linked) {
        int counts[4];
        upload_table_counts(&g_table, counts);
        int active = counts[UPLOAD_UPLOADING];
        uint64_t now = GetTickCount64();
        for (int i = 0; i < g_table.count && active < g_workers; i++) {
            upload_item* it = &g_table.items[i];
            if (it->state != UPLOAD_QUEUED || it->next_try > now) continue;
            it->state = UPLOAD_UPLOADING;
            it->started = now;
            if (!worker_pool_submit(g_pool, upload_job, (void*)(uintptr_t)it->id)) {
                it->state = UPLOAD_QUEUED;
                it->started = 0;
                break;
            }
            active++;
        }
    }
    upload_wake_arm_locked();
    ReleaseSRWLockExclusive(&g_lock);
}

static bool upload_item_copy(uint32_t id, upload_item* item, account* acc) {
    AcquireSRWLockShared(&g_lock);
    int i = upload_table_find(&g_table, id);
    if (i >= 0) {
        if (item) *item = g_table.items[i];
        if (acc) *acc = g_account;
    }
    ReleaseSRWLockShared(&g_lock);
    return i >= 0;
}

static void upload_finish(uint32_t id, int outcome, const char* share_url, const char* error) {
    bool stopping = upload_stopping();
    AcquireSRWLockExclusive(&g_lock);
    upload_item it{};
    uint64_t now = GetTickCount64();
    int result =
        upload_table_finish(&g_table, id, outcome, share_url, error, stopping, now, g_second_ms, upload_now_s(), &it);
    switch (result) {
    case UPLOAD_FINISH_IGNORED: ReleaseSRWLockExclusive(&g_lock); return;
    case UPLOAD_FINISH_DONE:
        log_info("upload: #%u %ls done in %llu ms", it.id, it.path, (unsigned long long)(now - it.started));
        upload_post(WM_AGENT_UPLOAD_DONE, &it, false);
        break;
    case UPLOAD_FINISH_RETRY:
        log_info("upload: #%u try %d failed (%s); next in %llu s", it.id, it.tries, it.error,
                 (unsigned long long)upload_backoff_seconds(it.tries));
        break;
    case UPLOAD_FINISH_FAILED:
        log_warn("upload: #%u %ls failed after %d tries: %s", it.id, it.path, it.tries, it.error);
        upload_post(WM_AGENT_UPLOAD_FAILED, &it, false);
        break;
    case UPLOAD_FINISH_UNLINKED: {
        bool was_linked = g_account.linked != 0;
        upload_wipe_account_locked();
        if (was_linked) {
            log_warn("upload: #%u server says this PC is no longer linked; pending uploads dropped", it.id);
            if (g_agent.wnd) PostMessageW(g_agent.wnd, WM_AGENT_UNLINKED, 0, 0);
        }
        break;
    }
    }
    upload_table_settle(&g_table, g_account.linked != 0);
    upload_journal_write_locked();
    upload_wake_arm_locked();
    ReleaseSRWLockExclusive(&g_lock);
    if (!stopping) upload_pump();
}

// The transfer's view of an item: a copy taken under the lock.
static bool upload_fetch(uint32_t id, wchar_t path[260], char collection_id[24], account* acc) {
    upload_item it{};
    if (!upload_item_copy(id, &it, acc)) return false;
    memcpy(path, it.path, sizeof it.path);
    memcpy(collection_id, it.collection_id, sizeof it.collection_id);
    return true;
}

// The "ivra-upload" pool job; arg is the item id.
static void upload_job(void* arg) {
    upload_transfer_run((uint32_t)(uintptr_t)arg, &g_stop, upload_fetch, upload_finish);
}
