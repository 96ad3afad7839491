#pragma once
// Named pools of worker threads with bounded job queues, and ordered job lanes
// that run on a pool one job at a time. A full queue refuses at once instead of
// blocking, so a burst of requests fails fast rather than piling up.
//
// Lock order: a lane's lock may be held while taking its pool's lock, never the reverse.
#include "common/win.h"
#include <cstdint>

typedef void (*job_fn)(void* arg);

enum { WORKER_POOL_NAME_MAX = 32 };  // 31 characters and the terminator

struct worker_thread_arg {
    struct worker_pool* pool;
    int index;
};

struct worker_pool {
    char name[WORKER_POOL_NAME_MAX];
    int thread_count;  // places in threads[]; a failed start leaves a null place
    int live_threads;  // threads that started
    HANDLE* threads;
    worker_thread_arg* thread_args;

    int capacity;
    job_fn* job_fns;  // two parallel rings of `capacity` entries
    void** job_args;
    int head;     // next job to run
    int tail;     // next free place
    int depth;    // queued jobs
    int running;  // jobs being executed now
    int stopping;
    int stopped;  // worker_pool_stop ran (touched by the stopping thread only)
    int ended;    // ... and saw every worker end

    SRWLOCK lock;             // guards everything here
    CONDITION_VARIABLE work;  // a job was queued or the pool stops
    CONDITION_VARIABLE idle;  // depth and running both reached 0

    int high_water;
    uint64_t submitted;
    uint64_t completed;
    uint64_t rejected;
    uint64_t total_ms;  // sum of each job's time rounded to the nearest ms
    double last_ms;
    int64_t qpc_frequency;
};

struct pool_stats {
    int depth;
    int high_water;
    int threads;  // threads that started
    uint64_t submitted;
    uint64_t completed;
    uint64_t rejected;
    double avg_ms;  // total / completed; 0 when nothing completed
    double last_ms;
};

// Starts `threads` workers (at least 1) with a queue of `capacity` jobs (at least 1) and
// the given Win32 thread priority. A null or empty name becomes "pool"; longer names are
// cut to 31 characters. Workers name themselves "<name>[<index>]". A thread that cannot
// be started leaves its place empty and the pool runs with the others. Returns null only
// when the pool's memory cannot be allocated.
worker_pool* worker_pool_create(const char* name, int threads, int capacity, int priority);

// Queues fn(arg) at the tail. Returns false, counting a rejection, when the pool is
// stopping, its queue holds `capacity` jobs or none of its threads started; never blocks.
// Returns false without counting for a null pool or function.
bool worker_pool_submit(worker_pool* pool, job_fn fn, void* arg);

// Snapshot taken under the pool's shared lock. Returns false (out untouched) for a null pool or out.
bool worker_pool_stats(worker_pool* pool, pool_stats* out);

// Waits up to timeout_ms for the queue to empty and running jobs to end, then stops the
// workers (jobs still queued are run first) and waits up to timeout_ms more for them.
// The pool's memory stays: later submits are refused and stats still read, so threads
// that may still look at it are safe. True when every worker ended. A second call
// returns the first one's answer at once. Null does nothing and returns true.
bool worker_pool_stop(worker_pool* pool, DWORD timeout_ms);

// Stops the pool as worker_pool_stop does, then frees it when every worker ended and
// returns true. When a worker is still busy the pool is abandoned, not freed, so the
// stuck job cannot touch freed memory; returns false. Null does nothing and returns true.
bool worker_pool_destroy(worker_pool* pool, DWORD timeout_ms);

// ---- Job lanes

enum { JOB_LANE_YIELD_AFTER = 16, JOB_LANE_DEFAULT_CAPACITY = 64 };

typedef void (*job_lane_done_fn)(void* arg);

struct job_lane {
    worker_pool* pool;
    int capacity;
    job_fn* job_fns;
    void** job_args;
    int head;
    int tail;
    int count;
    int scheduled;  // a drain of this lane is queued on, or running in, the pool
    int closing;
    job_lane_done_fn done;
    void* done_arg;

    uint64_t submitted;
    int high_water;
    uint64_t rejected;
    uint64_t executed;
    SRWLOCK lock;
};

struct lane_stats {
    int count;
    int high_water;
    uint64_t submitted;
    uint64_t rejected;
    uint64_t executed;
};

// A lane on `pool` holding at most `capacity` jobs (64 when 0 or less). Returns null for a
// null pool or when memory cannot be allocated.
job_lane* job_lane_create(worker_pool* pool, int capacity);

// Queues fn(arg) behind the lane's earlier jobs. Returns false, counting a rejection, when
// the lane is closing, is full, or its pool refuses the lane's drain; never blocks.
// Returns false without counting for a null lane or function.
bool job_lane_submit(job_lane* lane, job_fn fn, void* arg);

// Ends the lane: done(arg) runs exactly once after every job submitted before the close,
// then the lane frees itself. When the pool refuses the lane's drain (it is stopping or
// full) the remaining jobs and done run on the calling thread before this returns.
// The lane must not be used after this call. done may be null.
void job_lane_close(job_lane* lane, job_lane_done_fn done, void* arg);

// Snapshot under the lane's shared lock. Returns false (out untouched) for a null lane or out.
bool job_lane_stats(job_lane* lane, lane_stats* out);
