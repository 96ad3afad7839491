#include "agent/core/worker_pool.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr DWORD kDeadline = 10000;  // generous: Wine on a busy machine

// A manual-reset gate that blocker jobs wait on, and a counter that signals when it reaches a target.
struct gate {
    HANDLE open = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE reached = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    volatile LONG count = 0;
    LONG target = 0;
    ~gate() {
        CloseHandle(open);
        CloseHandle(reached);
    }
};

void blocker_job(void* arg) {
    gate* g = (gate*)arg;
    if (InterlockedIncrement(&g->count) == g->target) SetEvent(g->reached);
    WaitForSingleObject(g->open, kDeadline);
}

void count_job(void* arg) {
    gate* g = (gate*)arg;
    if (InterlockedIncrement(&g->count) == g->target) SetEvent(g->reached);
}

// Records the order jobs ran in; one shared log per test.
struct order_log {
    volatile LONG next = 0;
    int entries[256];
    LONG target = 0;
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ~order_log() { CloseHandle(done); }
    void add(int v) {
        LONG at = InterlockedIncrement(&next) - 1;
        if (at < 256) entries[at] = v;
        if (at + 1 == target) SetEvent(done);
    }
};

struct order_item {
    order_log* log;
    int value;
};

void order_job(void* arg) {
    order_item* it = (order_item*)arg;
    it->log->add(it->value);
}

// Starts one blocker per worker and waits until every worker is inside one.
void occupy_workers(worker_pool* pool, gate* g, int workers) {
    g->target = workers;
    for (int i = 0; i < workers; i++) ASSERT_TRUE(worker_pool_submit(pool, blocker_job, g));
    ASSERT_EQ(WaitForSingleObject(g->reached, kDeadline), WAIT_OBJECT_0);
}

struct destroy_call {
    worker_pool* pool;
    DWORD timeout;
    bool result;
};

DWORD WINAPI destroy_thread(void* arg) {
    destroy_call* c = (destroy_call*)arg;
    c->result = worker_pool_destroy(c->pool, c->timeout);
    return 0;
}

void noop_job(void*) {}

// Between two looks at a condition that has no event of its own (checked against a deadline).
void poll_pause() {
    static HANDLE never = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    WaitForSingleObject(never, 5);
}

// Waits until the pool refuses new work because it is stopping (its queue is far from full).
bool wait_until_stopping(worker_pool* pool) {
    ULONGLONG end = GetTickCount64() + kDeadline;
    while (GetTickCount64() < end) {
        if (!worker_pool_submit(pool, noop_job, nullptr)) return true;
        poll_pause();
    }
    return false;
}

TEST(WorkerPool, FullQueueRefusesAtOnceAndCounts) {
    worker_pool* pool = worker_pool_create("full", 2, 64, THREAD_PRIORITY_NORMAL);
    ASSERT_NE(pool, nullptr);
    gate blockers;
    occupy_workers(pool, &blockers, 2);

    gate queued;
    queued.target = 64;
    for (int i = 0; i < 64; i++) ASSERT_TRUE(worker_pool_submit(pool, count_job, &queued)) << i;
    ULONGLONG t0 = GetTickCount64();
    EXPECT_FALSE(worker_pool_submit(pool, count_job, &queued));
    EXPECT_LT(GetTickCount64() - t0, 500u) << "a full queue must not block";

    pool_stats st;
    ASSERT_TRUE(worker_pool_stats(pool, &st));
    EXPECT_EQ(st.depth, 64);
    EXPECT_EQ(st.high_water, 64);
    EXPECT_EQ(st.rejected, 1u);
    EXPECT_EQ(st.submitted, 66u);
    EXPECT_EQ(st.threads, 2);

    SetEvent(blockers.open);
    ASSERT_EQ(WaitForSingleObject(queued.reached, kDeadline), WAIT_OBJECT_0);
    EXPECT_TRUE(worker_pool_destroy(pool, 5000));
    EXPECT_EQ(queued.count, 64);
}

TEST(WorkerPool, DestroyingAnIdlePoolReturnsAtOnce) {
    struct {
        int threads;
        int jobs_before;
    } cases[] = {{1, 0}, {4, 0}, {8, 20}};
    for (auto& c : cases) {
        worker_pool* pool = worker_pool_create("idle", c.threads, 32, THREAD_PRIORITY_NORMAL);
        ASSERT_NE(pool, nullptr);
        gate done;
        done.target = c.jobs_before;
        for (int i = 0; i < c.jobs_before; i++) ASSERT_TRUE(worker_pool_submit(pool, count_job, &done));
        if (c.jobs_before) {
            ASSERT_EQ(WaitForSingleObject(done.reached, kDeadline), WAIT_OBJECT_0);
        }
        ULONGLONG t0 = GetTickCount64();
        EXPECT_TRUE(worker_pool_destroy(pool, 5000));
        EXPECT_LT(GetTickCount64() - t0, 1000u) << c.threads << " threads";
    }
}

TEST(WorkerPool, DestroyRunsQueuedJobsFirstInOrder) {
    worker_pool* pool = worker_pool_create("drain", 1, 16, THREAD_PRIORITY_NORMAL);
    ASSERT_NE(pool, nullptr);
    gate blockers;
    occupy_workers(pool, &blockers, 1);
    order_log log;
    order_item items[10];
    log.target = 10;
    for (int i = 0; i < 10; i++) {
        items[i] = {&log, i};
        ASSERT_TRUE(worker_pool_submit(pool, order_job, &items[i]));
    }

    destroy_call call{pool, 5000, false};
    HANDLE th = CreateThread(nullptr, 0, destroy_thread, &call, 0, nullptr);
    ASSERT_NE(th, nullptr);
    EXPECT_EQ(WaitForSingleObject(th, 200), (DWORD)WAIT_TIMEOUT) << "destroy must wait for queued jobs";
    SetEvent(blockers.open);
    ASSERT_EQ(WaitForSingleObject(th, kDeadline), WAIT_OBJECT_0);
    CloseHandle(th);
    EXPECT_TRUE(call.result);
    ASSERT_EQ(log.next, 10);
    for (int i = 0; i < 10; i++) EXPECT_EQ(log.entries[i], i);
}

TEST(WorkerPool, StoppingPoolRefusesAndStuckJobIsAbandonedNotFreed) {
    worker_pool* pool = worker_pool_create("stuck", 1, 16, THREAD_PRIORITY_NORMAL);
    ASSERT_NE(pool, nullptr);
    gate blockers;
    occupy_workers(pool, &blockers, 1);

    destroy_call call{pool, 100, true};
    HANDLE th = CreateThread(nullptr, 0, destroy_thread, &call, 0, nullptr);
    ASSERT_NE(th, nullptr);
    EXPECT_TRUE(wait_until_stopping(pool));
    // Both waits run out while the job is stuck: destroy gives up in bounded time.
    ASSERT_EQ(WaitForSingleObject(th, kDeadline), WAIT_OBJECT_0);
    CloseHandle(th);
    EXPECT_FALSE(call.result);

    // The abandoned worker finishes its job and bookkeeping on memory that is still valid.
    pool_stats st;
    ASSERT_TRUE(worker_pool_stats(pool, &st));
    EXPECT_GE(st.rejected, 1u);
    HANDLE worker = pool->threads[0];
    EXPECT_EQ(worker, nullptr) << "handles are closed even when the pool is left running";
    SetEvent(blockers.open);
    ULONGLONG end = GetTickCount64() + kDeadline;
    for (;;) {
        ASSERT_TRUE(worker_pool_stats(pool, &st));
        if (st.completed >= 1 || GetTickCount64() > end) break;
        poll_pause();
    }
    EXPECT_GE(st.completed, 1u);
}

TEST(WorkerPool, StopKeepsThePoolReadableUntilDestroy) {
    // Idle: stop ends every worker; the stopped pool still answers stats and refuses work.
    worker_pool* idle = worker_pool_create("idle", 2, 8, THREAD_PRIORITY_NORMAL);
    ASSERT_NE(idle, nullptr);
    EXPECT_TRUE(worker_pool_stop(idle, kDeadline));
    EXPECT_FALSE(worker_pool_submit(idle, noop_job, nullptr));
    pool_stats st;
    ASSERT_TRUE(worker_pool_stats(idle, &st));
    EXPECT_EQ(st.threads, 2);
    EXPECT_EQ(st.rejected, 1u);
    EXPECT_TRUE(worker_pool_stop(idle, kDeadline));
    EXPECT_TRUE(worker_pool_destroy(idle, 0));

    // Stuck: stop gives up, and a later destroy does not free what the stuck job still touches.
    worker_pool* stuck = worker_pool_create("stuck-stop", 1, 8, THREAD_PRIORITY_NORMAL);
    ASSERT_NE(stuck, nullptr);
    gate blockers;
    occupy_workers(stuck, &blockers, 1);
    EXPECT_FALSE(worker_pool_stop(stuck, 100));
    ULONGLONG t0 = GetTickCount64();
    EXPECT_FALSE(worker_pool_destroy(stuck, kDeadline));
    EXPECT_LT(GetTickCount64() - t0, (ULONGLONG)kDeadline) << "the second stop repeats the first answer";
    SetEvent(blockers.open);
    ULONGLONG end = GetTickCount64() + kDeadline;
    do {
        ASSERT_TRUE(worker_pool_stats(stuck, &st));
        if (st.completed >= 1) break;
        poll_pause();
    } while (GetTickCount64() < end);
    EXPECT_EQ(st.completed, 1u);
}

TEST(WorkerPool, WorkersCarryNameAndPriority) {
    typedef HRESULT(WINAPI * get_desc_fn)(HANDLE, PWSTR*);
    get_desc_fn get_desc =
        (get_desc_fn)(void*)GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetThreadDescription");
    if (!get_desc) GTEST_SKIP() << "no GetThreadDescription on this system";

    struct probe {
        get_desc_fn get_desc;
        wchar_t name[64];
        int priority;
        HANDLE done;
    };
    struct {
        const char* name;
        int priority;
        const wchar_t* expect;
    } cases[] = {
        {"ivra-stills", THREAD_PRIORITY_BELOW_NORMAL, L"ivra-stills[0]"},
        {"ivra-clips", THREAD_PRIORITY_ABOVE_NORMAL, L"ivra-clips[0]"},
        {nullptr, THREAD_PRIORITY_NORMAL, L"pool[0]"},
        {"", THREAD_PRIORITY_NORMAL, L"pool[0]"},
        {"abcdefghijklmnopqrstuvwxyz0123456789", THREAD_PRIORITY_NORMAL, L"abcdefghijklmnopqrstuvwxyz01234[0]"},
    };
    for (auto& c : cases) {
        worker_pool* pool = worker_pool_create(c.name, 1, 4, c.priority);
        ASSERT_NE(pool, nullptr);
        probe p{get_desc, {0}, 0, CreateEventW(nullptr, TRUE, FALSE, nullptr)};
        ASSERT_TRUE(worker_pool_submit(
            pool,
            [](void* arg) {
                probe* pr = (probe*)arg;
                PWSTR d = nullptr;
                if (SUCCEEDED(pr->get_desc(GetCurrentThread(), &d)) && d) {
                    wcsncpy(pr->name, d, 63);
                    LocalFree(d);
                }
                pr->priority = GetThreadPriority(GetCurrentThread());
                SetEvent(pr->done);
            },
            &p));
        ASSERT_EQ(WaitForSingleObject(p.done, kDeadline), WAIT_OBJECT_0);
        CloseHandle(p.done);
        EXPECT_STREQ(p.name, c.expect);
        EXPECT_EQ(p.priority, c.priority) << c.expect;
        EXPECT_TRUE(worker_pool_destroy(pool, 5000));
    }
}

TEST(WorkerPool, StatsAndBadArguments) {
    worker_pool* pool = worker_pool_create("stats", 0, 0, THREAD_PRIORITY_NORMAL);
    ASSERT_NE(pool, nullptr);
    pool_stats st;
    ASSERT_TRUE(worker_pool_stats(pool, &st));
    EXPECT_EQ(st.threads, 1) << "thread count is at least 1";
    EXPECT_EQ(st.avg_ms, 0.0) << "no average before a job completed";
    EXPECT_EQ(st.completed, 0u);

    EXPECT_FALSE(worker_pool_submit(pool, nullptr, nullptr));
    EXPECT_FALSE(worker_pool_submit(nullptr, count_job, nullptr));
    EXPECT_FALSE(worker_pool_stats(nullptr, &st));
    EXPECT_FALSE(worker_pool_stats(pool, nullptr));

    // Capacity 0 became 1: a second queued job is refused while the worker is busy.
    gate blockers;
    occupy_workers(pool, &blockers, 1);
    gate queued;
    queued.target = 1;
    EXPECT_TRUE(worker_pool_submit(pool, count_job, &queued));
    EXPECT_FALSE(worker_pool_submit(pool, count_job, &queued));
    SetEvent(blockers.open);
    ASSERT_EQ(WaitForSingleObject(queued.reached, kDeadline), WAIT_OBJECT_0);
    EXPECT_TRUE(worker_pool_destroy(pool, 5000));
    EXPECT_TRUE(worker_pool_destroy(nullptr, 0));
}

TEST(WorkerPool, JobsMaySubmitFurtherJobs) {
    worker_pool* pool = worker_pool_create("chain", 2, 8, THREAD_PRIORITY_NORMAL);
    ASSERT_NE(pool, nullptr);
    struct chain {
        worker_pool* pool;
        volatile LONG left;
        HANDLE done;
    } c{pool, 200, CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    struct step {
        static void run(void* arg) {
            chain* ch = (chain*)arg;
            if (InterlockedDecrement(&ch->left) == 0)
                SetEvent(ch->done);
            else if (!worker_pool_submit(ch->pool, run, ch))
                SetEvent(ch->done);
        }
    };
    ASSERT_TRUE(worker_pool_submit(pool, step::run, &c));
    ASSERT_EQ(WaitForSingleObject(c.done, kDeadline), WAIT_OBJECT_0);
    EXPECT_EQ(c.left, 0);
    pool_stats st;
    ASSERT_TRUE(worker_pool_stats(pool, &st));
    EXPECT_EQ(st.submitted, 200u);
    EXPECT_TRUE(worker_pool_destroy(pool, 5000));
    CloseHandle(c.done);
}

// ---- Job lanes

TEST(JobLane, FortyJobsKeepOrderAndYieldAfterSixteen) {
    worker_pool* pool = worker_pool_create("lane", 1, 64, THREAD_PRIORITY_NORMAL);
    ASSERT_NE(pool, nullptr);
    gate blockers;
    occupy_workers(pool, &blockers, 1);

    job_lane* lane = job_lane_create(pool, 64);
    ASSERT_NE(lane, nullptr);
    order_log log;
    log.target = 41;
    order_item items[40];
    for (int i = 0; i < 40; i++) {
        items[i] = {&log, i};
        ASSERT_TRUE(job_lane_submit(lane, order_job, &items[i])) << i;
    }
    // Another producer's job, queued on the pool behind the lane's drain.
    order_item other{&log, -1};
    ASSERT_TRUE(worker_pool_submit(pool, order_job, &other));
    SetEvent(blockers.open);
    ASSERT_EQ(WaitForSingleObject(log.done, kDeadline), WAIT_OBJECT_0);

    std::vector<int> expect;
    for (int i = 0; i < 16; i++) expect.push_back(i);
    expect.push_back(-1);
    for (int i = 16; i < 40; i++) expect.push_back(i);
    std::vector<int> got(log.entries, log.entries + 41);
    EXPECT_EQ(got, expect);
    pool_stats st;
    ASSERT_TRUE(worker_pool_stats(pool, &st));
    EXPECT_EQ(st.submitted, 5u) << "blocker, drain, other job and the two drains after yielding";

    // The lane lives until its callback returns, so its final counts are read there.
    struct final_look {
        job_lane* lane;
        lane_stats ls;
        HANDLE done;
    } look{lane, {}, CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    job_lane_close(
        lane,
        [](void* arg) {
            final_look* f = (final_look*)arg;
            job_lane_stats(f->lane, &f->ls);
            SetEvent(f->done);
        },
        &look);
    ASSERT_EQ(WaitForSingleObject(look.done, kDeadline), WAIT_OBJECT_0);
    CloseHandle(look.done);
    EXPECT_EQ(look.ls.submitted, 40u);
    EXPECT_EQ(look.ls.executed, 40u);
    EXPECT_EQ(look.ls.high_water, 40);
    EXPECT_EQ(look.ls.rejected, 0u);
    EXPECT_EQ(look.ls.count, 0);
    EXPECT_TRUE(worker_pool_destroy(pool, 5000));
}

// Several lanes share a pool with more workers than one: each lane still runs one job at a time, in order.
TEST(JobLane, LanesStaySerialOnAWidePool) {
    enum { LANES = 4, JOBS = 60 };
    worker_pool* pool = worker_pool_create("wide", 3, 64, THREAD_PRIORITY_NORMAL);
    ASSERT_NE(pool, nullptr);
    struct lane_state {
        volatile LONG in_flight;
        volatile LONG overlaps;
        int next_expected;
        int out_of_order;
    } states[LANES] = {};
    struct item {
        lane_state* st;
        int index;
    } items[LANES][JOBS];
    gate all;
    all.target = LANES * JOBS;
    struct ctx {
        item* it;
        gate* g;
    } ctxs[LANES][JOBS];

    job_lane* lanes[LANES];
    for (int l = 0; l < LANES; l++) ASSERT_NE(lanes[l] = job_lane_create(pool, 80), nullptr);
    for (int j = 0; j < JOBS; j++) {
        for (int l = 0; l < LANES; l++) {
            items[l][j] = {&states[l], j};
            ctxs[l][j] = {&items[l][j], &all};
            ASSERT_TRUE(job_lane_submit(
                lanes[l],
                [](void* arg) {
                    ctx* c = (ctx*)arg;
                    lane_state* s = c->it->st;
                    if (InterlockedIncrement(&s->in_flight) != 1) InterlockedIncrement(&s->overlaps);
                    if (c->it->index != s->next_expected) s->out_of_order++;
                    s->next_expected = c->it->index + 1;
                    SwitchToThread();  // widen the window for a second drain of the same lane
                    InterlockedDecrement(&s->in_flight);
                    count_job(c->g);
                },
                &ctxs[l][j]));
        }
    }
    ASSERT_EQ(WaitForSingleObject(all.reached, kDeadline), WAIT_OBJECT_0);
    for (int l = 0; l < LANES; l++) {
        EXPECT_EQ(states[l].overlaps, 0) << "lane " << l;
        EXPECT_EQ(states[l].out_of_order, 0) << "lane " << l;
        EXPECT_EQ(states[l].next_expected, JOBS);
        job_lane_close(lanes[l], nullptr, nullptr);
    }
    EXPECT_TRUE(worker_pool_destroy(pool, 5000));
}

TEST(JobLane, RefusesWhenFullOrWhenThePoolRefusesItsDrain) {
    struct {
        int asked;
        int effective;
    } caps[] = {{4, 4}, {0, 64}, {-3, 64}};
    for (auto& c : caps) {
        worker_pool* pool = worker_pool_create("lanecap", 1, 8, THREAD_PRIORITY_NORMAL);
        ASSERT_NE(pool, nullptr);
        gate blockers;
        occupy_workers(pool, &blockers, 1);
        job_lane* lane = job_lane_create(pool, c.asked);
        ASSERT_NE(lane, nullptr);
        gate ran;
        ran.target = c.effective;
        for (int i = 0; i < c.effective; i++) ASSERT_TRUE(job_lane_submit(lane, count_job, &ran));
        EXPECT_FALSE(job_lane_submit(lane, count_job, &ran)) << "capacity " << c.asked;
        lane_stats ls;
        ASSERT_TRUE(job_lane_stats(lane, &ls));
        EXPECT_EQ(ls.rejected, 1u);
        EXPECT_EQ(ls.high_water, c.effective);
        SetEvent(blockers.open);
        ASSERT_EQ(WaitForSingleObject(ran.reached, kDeadline), WAIT_OBJECT_0);
        job_lane_close(lane, nullptr, nullptr);
        EXPECT_TRUE(worker_pool_destroy(pool, 5000));
    }

    // The pool's queue is full: the lane cannot schedule itself, so the job must not stay queued.
    worker_pool* pool = worker_pool_create("lanefull", 1, 1, THREAD_PRIORITY_NORMAL);
    ASSERT_NE(pool, nullptr);
    gate blockers;
    occupy_workers(pool, &blockers, 1);
    gate filler;
    filler.target = 1;
    ASSERT_TRUE(worker_pool_submit(pool, count_job, &filler));
    job_lane* lane = job_lane_create(pool, 8);
    ASSERT_NE(lane, nullptr);
    gate ran;
    ran.target = 1;
    EXPECT_FALSE(job_lane_submit(lane, count_job, &ran));
    lane_stats ls;
    ASSERT_TRUE(job_lane_stats(lane, &ls));
    EXPECT_EQ(ls.count, 0);
    EXPECT_EQ(ls.rejected, 1u);
    EXPECT_EQ(ls.submitted, 0u);
    SetEvent(blockers.open);
    ASSERT_EQ(WaitForSingleObject(filler.reached, kDeadline), WAIT_OBJECT_0);
    // Once the queue has room again, the lane works.
    ULONGLONG end = GetTickCount64() + kDeadline;
    bool accepted = false;
    while (!accepted && GetTickCount64() < end) {
        accepted = job_lane_submit(lane, count_job, &ran);
        if (!accepted) poll_pause();
    }
    ASSERT_TRUE(accepted);
    ASSERT_EQ(WaitForSingleObject(ran.reached, kDeadline), WAIT_OBJECT_0);
    EXPECT_EQ(ran.count, 1);
    job_lane_close(lane, nullptr, nullptr);
    EXPECT_TRUE(worker_pool_destroy(pool, 5000));
}

struct close_probe {
    volatile LONG calls;
    DWORD thread;
    LONG jobs_seen;
    gate* jobs;
    HANDLE done;
};

void close_probe_done(void* arg) {
    close_probe* p = (close_probe*)arg;
    InterlockedIncrement(&p->calls);
    p->thread = GetCurrentThreadId();
    p->jobs_seen = p->jobs ? p->jobs->count : 0;
    SetEvent(p->done);
}

TEST(JobLane, CloseRunsCallbackOnceAfterEveryJob) {
    worker_pool* pool = worker_pool_create("close", 2, 16, THREAD_PRIORITY_NORMAL);
    ASSERT_NE(pool, nullptr);
    job_lane* lane = job_lane_create(pool, 64);
    ASSERT_NE(lane, nullptr);
    gate jobs;
    jobs.target = 40;
    for (int i = 0; i < 40; i++) ASSERT_TRUE(job_lane_submit(lane, count_job, &jobs));
    close_probe probe{0, 0, 0, &jobs, CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    job_lane_close(lane, close_probe_done, &probe);
    ASSERT_EQ(WaitForSingleObject(probe.done, kDeadline), WAIT_OBJECT_0);
    EXPECT_TRUE(worker_pool_destroy(pool, 5000));
    EXPECT_EQ(probe.calls, 1);
    EXPECT_EQ(probe.jobs_seen, 40);
    CloseHandle(probe.done);
}

TEST(JobLane, CloseOnAStoppingPoolRunsOnTheClosingThread) {
    worker_pool* pool = worker_pool_create("closing", 1, 16, THREAD_PRIORITY_NORMAL);
    ASSERT_NE(pool, nullptr);
    job_lane* lane = job_lane_create(pool, 16);
    ASSERT_NE(lane, nullptr);
    gate jobs;
    jobs.target = 5;
    for (int i = 0; i < 5; i++) ASSERT_TRUE(job_lane_submit(lane, count_job, &jobs));
    ASSERT_EQ(WaitForSingleObject(jobs.reached, kDeadline), WAIT_OBJECT_0);

    gate blockers;
    occupy_workers(pool, &blockers, 1);
    destroy_call call{pool, 100, false};
    HANDLE th = CreateThread(nullptr, 0, destroy_thread, &call, 0, nullptr);
    ASSERT_NE(th, nullptr);
    ASSERT_TRUE(wait_until_stopping(pool));

    close_probe probe{0, 0, 0, &jobs, CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    job_lane_close(lane, close_probe_done, &probe);
    EXPECT_EQ(probe.calls, 1) << "the callback ran before close returned";
    EXPECT_EQ(probe.thread, GetCurrentThreadId());
    EXPECT_EQ(probe.jobs_seen, 5);
    EXPECT_FALSE(job_lane_submit(nullptr, count_job, nullptr));

    SetEvent(blockers.open);
    ASSERT_EQ(WaitForSingleObject(th, kDeadline), WAIT_OBJECT_0);
    CloseHandle(th);
    CloseHandle(probe.done);
}

TEST(JobLane, ClosedLaneOnAStoppingPoolFinishesItsQueuedJobs) {
    worker_pool* pool = worker_pool_create("stopq", 1, 16, THREAD_PRIORITY_NORMAL);
    ASSERT_NE(pool, nullptr);
    gate blockers;
    occupy_workers(pool, &blockers, 1);
    job_lane* lane = job_lane_create(pool, 64);
    ASSERT_NE(lane, nullptr);
    // More than one turn's worth: the drain's re-submission is refused and it keeps going.
    gate jobs;
    jobs.target = 40;
    for (int i = 0; i < 40; i++) ASSERT_TRUE(job_lane_submit(lane, count_job, &jobs));

    destroy_call call{pool, 100, false};
    HANDLE th = CreateThread(nullptr, 0, destroy_thread, &call, 0, nullptr);
    ASSERT_NE(th, nullptr);
    ASSERT_TRUE(wait_until_stopping(pool));
    close_probe probe{0, 0, 0, &jobs, CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    job_lane_close(lane, close_probe_done, &probe);
    EXPECT_EQ(probe.calls, 0) << "the lane's drain is still queued behind the blocker";
    SetEvent(blockers.open);
    ASSERT_EQ(WaitForSingleObject(probe.done, kDeadline), WAIT_OBJECT_0);
    EXPECT_EQ(probe.calls, 1);
    EXPECT_EQ(probe.jobs_seen, 40);
    EXPECT_NE(probe.thread, GetCurrentThreadId());
    ASSERT_EQ(WaitForSingleObject(th, kDeadline), WAIT_OBJECT_0);
    CloseHandle(th);
    CloseHandle(probe.done);
}

}  // namespace
