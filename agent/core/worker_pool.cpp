#include "agent/core/worker_pool.h"

#include "common/log.h"

#include <cwchar>

namespace {

HANDLE worker_pool_heap() { return GetProcessHeap(); }

DWORD WINAPI worker_pool_thread(void* param) {
    worker_thread_arg* self = (worker_thread_arg*)param;
    worker_pool* pool = self->pool;

    wchar_t wide_name[WORKER_POOL_NAME_MAX];
    if (MultiByteToWideChar(CP_UTF8, 0, pool->name, -1, wide_name, WORKER_POOL_NAME_MAX) <= 0)
        wcscpy(wide_name, L"pool");
    wchar_t thread_name[WORKER_POOL_NAME_MAX + 16];
    _snwprintf(thread_name, sizeof thread_name / sizeof thread_name[0], L"%ls[%d]", wide_name, self->index);
    thread_name[sizeof thread_name / sizeof thread_name[0] - 1] = 0;
    log_thread_name(thread_name);

    AcquireSRWLockExclusive(&pool->lock);
    for (;;) {
        while (pool->depth == 0) {
            if (pool->stopping) {
                ReleaseSRWLockExclusive(&pool->lock);
                return 0;
            }
            SleepConditionVariableSRW(&pool->work, &pool->lock, INFINITE, 0);
        }
        job_fn fn = pool->job_fns[pool->head];
        void* arg = pool->job_args[pool->head];
        if (++pool->head == pool->capacity) pool->head = 0;
        pool->depth--;
        pool->running++;
        ReleaseSRWLockExclusive(&pool->lock);

        LARGE_INTEGER start, end;
        QueryPerformanceCounter(&start);
        fn(arg);
        QueryPerformanceCounter(&end);
        double ms = (double)(end.QuadPart - start.QuadPart) * 1000.0 / (double)pool->qpc_frequency;

        AcquireSRWLockExclusive(&pool->lock);
        pool->completed++;
        pool->total_ms += (uint64_t)(ms + 0.5);
        pool->last_ms = ms;
        pool->running--;
        if (pool->running == 0 && pool->depth == 0) WakeAllConditionVariable(&pool->idle);
    }
}

// Waits for every started worker, 64 handles at a time, within one overall deadline.
bool worker_pool_join(worker_pool* pool, DWORD timeout_ms) {
    ULONGLONG start = GetTickCount64();
    HANDLE batch[MAXIMUM_WAIT_OBJECTS];
    int i = 0;
    while (i < pool->thread_count) {
        DWORD n = 0;
        while (i < pool->thread_count && n < MAXIMUM_WAIT_OBJECTS) {
            if (pool->threads[i]) batch[n++] = pool->threads[i];
            i++;
        }
        if (n == 0) continue;
        DWORD wait = INFINITE;
        if (timeout_ms != INFINITE) {
            ULONGLONG elapsed = GetTickCount64() - start;
            wait = elapsed >= timeout_ms ? 0 : (DWORD)(timeout_ms - elapsed);
        }
        DWORD r = WaitForMultipleObjects(n, batch, TRUE, wait);
        if (r >= WAIT_OBJECT_0 + n) return false;
    }
    return true;
}

}  // namespace

worker_pool* worker_pool_create(const char* name, int threads, int capacity, int priority) {
    if (threads < 1) threads = 1;
    if (capacity < 1) capacity = 1;

    // One block: the record, then the thread handles and their start records, then both rings.
    size_t size = sizeof(worker_pool) + (size_t)threads * (sizeof(HANDLE) + sizeof(worker_thread_arg)) +
                  (size_t)capacity * (sizeof(job_fn) + sizeof(void*));
    worker_pool* pool = (worker_pool*)HeapAlloc(worker_pool_heap(), HEAP_ZERO_MEMORY, size);
    if (!pool) {
        log_error("pool: cannot allocate pool %s (%zu bytes)", name && *name ? name : "pool", size);
        return nullptr;
    }
    char* p = (char*)(pool + 1);
    pool->threads = (HANDLE*)p;
    p += (size_t)threads * sizeof(HANDLE);
    pool->thread_args = (worker_thread_arg*)p;
    p += (size_t)threads * sizeof(worker_thread_arg);
    pool->job_fns = (job_fn*)p;
    p += (size_t)capacity * sizeof(job_fn);
    pool->job_args = (void**)p;

    const char* src = name && *name ? name : "pool";
    size_t n = 0;
    while (src[n] && n < WORKER_POOL_NAME_MAX - 1) {
        pool->name[n] = src[n];
        n++;
    }
    pool->name[n] = 0;
    pool->thread_count = threads;
    pool->capacity = capacity;
    InitializeSRWLock(&pool->lock);
    InitializeConditionVariable(&pool->work);
    InitializeConditionVariable(&pool->idle);
    LARGE_INTEGER freq;
    QueryPerformanceFrequency(&freq);
    pool->qpc_frequency = freq.QuadPart > 0 ? freq.QuadPart : 1;

    // Started suspended so each worker runs its first job at the pool's priority.
    int live = 0;
    for (int i = 0; i < threads; i++) {
        pool->thread_args[i].pool = pool;
        pool->thread_args[i].index = i;
        HANDLE h = CreateThread(nullptr, 0, worker_pool_thread, &pool->thread_args[i], CREATE_SUSPENDED, nullptr);
        if (!h) {
            log_warn("pool: %s: worker %d did not start (err=%lu)", pool->name, i, GetLastError());
            continue;
        }
        if (!SetThreadPriority(h, priority))
            log_warn("pool: %s: worker %d priority %d not set (err=%lu)", pool->name, i, priority, GetLastError());
        pool->threads[i] = h;
        live++;
    }
    // Published before any worker runs; workers never read it.
    pool->live_threads = live;
    for (int i = 0; i < threads; i++)
        if (pool->threads[i]) ResumeThread(pool->threads[i]);
    return pool;
}

bool worker_pool_submit(worker_pool* pool, job_fn fn, void* arg) {
    if (!pool || !fn) return false;
    AcquireSRWLockExclusive(&pool->lock);
    if (pool->stopping || pool->depth >= pool->capacity || pool->live_threads == 0) {
        pool->rejected++;
        ReleaseSRWLockExclusive(&pool->lock);
        return false;
    }
    pool->job_fns[pool->tail] = fn;
    pool->job_args[pool->tail] = arg;
    if (++pool->tail == pool->capacity) pool->tail = 0;
    pool->depth++;
    pool->submitted++;
    if (pool->depth > pool->high_water) pool->high_water = pool->depth;
    ReleaseSRWLockExclusive(&pool->lock);
    WakeConditionVariable(&pool->work);
    return true;
}

bool worker_pool_stats(worker_pool* pool, pool_stats* out) {
    if (!pool || !out) return false;
    AcquireSRWLockShared(&pool->lock);
    out->depth = pool->depth;
    out->high_water = pool->high_water;
    out->threads = pool->live_threads;
    out->submitted = pool->submitted;
    out->completed = pool->completed;
    out->rejected = pool->rejected;
    out->avg_ms = pool->completed ? (double)pool->total_ms / (double)pool->completed : 0.0;
    out->last_ms = pool->last_ms;
    ReleaseSRWLockShared(&pool->lock);
    return true;
}

bool worker_pool_stop(worker_pool* pool, DWORD timeout_ms) {
    if (!pool) return true;
    if (pool->stopped) return pool->ended != 0;

    ULONGLONG start = GetTickCount64();
    AcquireSRWLockExclusive(&pool->lock);
    while (pool->depth != 0 || pool->running != 0) {
        DWORD wait = INFINITE;
        if (timeout_ms != INFINITE) {
            ULONGLONG elapsed = GetTickCount64() - start;
            if (elapsed >= timeout_ms) break;
            wait = (DWORD)(timeout_ms - elapsed);
        }
        SleepConditionVariableSRW(&pool->idle, &pool->lock, wait, 0);
    }
    ReleaseSRWLockExclusive(&pool->lock);

    AcquireSRWLockExclusive(&pool->lock);
    pool->stopping = 1;
    ReleaseSRWLockExclusive(&pool->lock);
    WakeAllConditionVariable(&pool->work);

    bool ended = worker_pool_join(pool, timeout_ms);
    for (int i = 0; i < pool->thread_count; i++) {
        if (pool->threads[i]) CloseHandle(pool->threads[i]);
        pool->threads[i] = nullptr;
    }
    pool->stopped = 1;
    pool->ended = ended;
    if (!ended) {
        // A stuck job still owns a worker that will touch the pool when it returns.
        log_warn("pool: %s: workers still busy after %lu ms; left running", pool->name,
                 (unsigned long)(GetTickCount64() - start));
    }
    return ended;
}

bool worker_pool_destroy(worker_pool* pool, DWORD timeout_ms) {
    if (!pool) return true;
    if (!worker_pool_stop(pool, timeout_ms)) return false;
    HeapFree(worker_pool_heap(), 0, pool);
    return true;
}

// ---- Job lanes

namespace {

void job_lane_drain(void* arg) {
    job_lane* lane = (job_lane*)arg;
    int ran = 0;
    AcquireSRWLockExclusive(&lane->lock);
    while (lane->count > 0) {
        if (ran == JOB_LANE_YIELD_AFTER) {
            // Let other producers' jobs in; a refusing pool just keeps us going here.
            if (worker_pool_submit(lane->pool, job_lane_drain, lane)) {
                ReleaseSRWLockExclusive(&lane->lock);
                return;
            }
            ran = 0;
        }
        job_fn fn = lane->job_fns[lane->head];
        void* job_arg = lane->job_args[lane->head];
        if (++lane->head == lane->capacity) lane->head = 0;
        lane->count--;
        ReleaseSRWLockExclusive(&lane->lock);
        fn(job_arg);
        AcquireSRWLockExclusive(&lane->lock);
        lane->executed++;
        ran++;
    }
    if (lane->closing) {
        job_lane_done_fn done = lane->done;
        void* done_arg = lane->done_arg;
        ReleaseSRWLockExclusive(&lane->lock);
        if (done) done(done_arg);
        HeapFree(worker_pool_heap(), 0, lane);
        return;
    }
    lane->scheduled = 0;
    ReleaseSRWLockExclusive(&lane->lock);
}

}  // namespace

job_lane* job_lane_create(worker_pool* pool, int capacity) {
    if (!pool) return nullptr;
    if (capacity <= 0) capacity = JOB_LANE_DEFAULT_CAPACITY;
    size_t size = sizeof(job_lane) + (size_t)capacity * (sizeof(job_fn) + sizeof(void*));
    job_lane* lane = (job_lane*)HeapAlloc(worker_pool_heap(), HEAP_ZERO_MEMORY, size);
    if (!lane) {
        log_error("pool: cannot allocate a job lane on %s (%zu bytes)", pool->name, size);
        return nullptr;
    }
    lane->pool = pool;
    lane->capacity = capacity;
    lane->job_fns = (job_fn*)(lane + 1);
    lane->job_args = (void**)(lane->job_fns + capacity);
    InitializeSRWLock(&lane->lock);
    return lane;
}

bool job_lane_submit(job_lane* lane, job_fn fn, void* arg) {
    if (!lane || !fn) return false;
    AcquireSRWLockExclusive(&lane->lock);
    if (lane->closing || lane->count >= lane->capacity) {
        lane->rejected++;
        ReleaseSRWLockExclusive(&lane->lock);
        return false;
    }
    int slot = lane->tail;
    lane->job_fns[slot] = fn;
    lane->job_args[slot] = arg;
    if (++lane->tail == lane->capacity) lane->tail = 0;
    lane->count++;
    if (!lane->scheduled) {
        lane->scheduled = 1;
        if (!worker_pool_submit(lane->pool, job_lane_drain, lane)) {
            // Nothing will run the job, so it must not stay queued.
            lane->scheduled = 0;
            lane->tail = slot;
            lane->count--;
            lane->rejected++;
            ReleaseSRWLockExclusive(&lane->lock);
            return false;
        }
    }
    lane->submitted++;
    if (lane->count > lane->high_water) lane->high_water = lane->count;
    ReleaseSRWLockExclusive(&lane->lock);
    return true;
}

void job_lane_close(job_lane* lane, job_lane_done_fn done, void* arg) {
    if (!lane) return;
    AcquireSRWLockExclusive(&lane->lock);
    lane->closing = 1;
    lane->done = done;
    lane->done_arg = arg;
    if (!lane->scheduled) {
        lane->scheduled = 1;
        if (!worker_pool_submit(lane->pool, job_lane_drain, lane)) {
            ReleaseSRWLockExclusive(&lane->lock);
            job_lane_drain(lane);
            return;
        }
    }
    // From here a drain may free the lane at any moment.
    ReleaseSRWLockExclusive(&lane->lock);
}

bool job_lane_stats(job_lane* lane, lane_stats* out) {
    if (!lane || !out) return false;
    AcquireSRWLockShared(&lane->lock);
    out->count = lane->count;
    out->high_water = lane->high_water;
    out->submitted = lane->submitted;
    out->rejected = lane->rejected;
    out->executed = lane->executed;
    ReleaseSRWLockShared(&lane->lock);
    return true;
}
