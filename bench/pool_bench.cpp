// Cost of the hot paths: pool submit-to-completion, lane throughput, frame acquire/release.
#include "agent/core/frame_pool.h"
#include "agent/core/worker_pool.h"

#include <cstdio>

namespace {

struct counter {
    volatile LONG left;
    HANDLE done;
};

void tick(void* arg) {
    counter* c = (counter*)arg;
    if (InterlockedDecrement(&c->left) == 0) SetEvent(c->done);
}

double now_us() {
    static LARGE_INTEGER freq = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return (double)t.QuadPart * 1e6 / (double)freq.QuadPart;
}

// Submits `jobs` jobs, retrying refusals, and waits for all of them.
double run_pool(worker_pool* pool, int jobs) {
    counter c{jobs, CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    double t0 = now_us();
    for (int i = 0; i < jobs; i++)
        while (!worker_pool_submit(pool, tick, &c)) SwitchToThread();
    WaitForSingleObject(c.done, 60000);
    double t = now_us() - t0;
    CloseHandle(c.done);
    return t;
}

double run_lane(job_lane* lane, int jobs) {
    counter c{jobs, CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    double t0 = now_us();
    for (int i = 0; i < jobs; i++)
        while (!job_lane_submit(lane, tick, &c)) SwitchToThread();
    WaitForSingleObject(c.done, 60000);
    double t = now_us() - t0;
    CloseHandle(c.done);
    return t;
}

}  // namespace

int wmain(int, wchar_t**) {
    const int jobs = 200000;
    worker_pool* pool = worker_pool_create("bench", 2, 64, THREAD_PRIORITY_NORMAL);
    if (!pool) return 1;
    run_pool(pool, 10000);  // warm-up
    double t = run_pool(pool, jobs);
    printf("pool: %d jobs on 2 threads in %.1f ms, %.2f us per job\n", jobs, t / 1000, t / jobs);

    job_lane* lane = job_lane_create(pool, 80);
    t = run_lane(lane, jobs);
    printf("lane: %d jobs in %.1f ms, %.2f us per job\n", jobs, t / 1000, t / jobs);
    job_lane_close(lane, nullptr, nullptr);
    worker_pool_destroy(pool, 5000);

    const uint64_t frame = 1920ull * 1080 * 4;
    frame_pool* frames = frame_pool_create("stills", 64, 64 * frame);
    if (!frames) return 1;
    const int rounds = 1000000;
    frame_buffer* warm = frame_pool_acquire(frames, frame);
    frame_pool_release(warm);
    double t0 = now_us();
    for (int i = 0; i < rounds; i++) {
        frame_buffer* b = frame_pool_acquire(frames, frame - (uint64_t)(i & 1023));
        frame_pool_release(b);
    }
    t = now_us() - t0;
    frame_stats st{};
    frame_pool_stats(frames, &st);
    printf("frames: %d acquire+release of a reused 1920x1080 buffer in %.1f ms, %.0f ns each; "
           "%llu bytes allocated\n",
           rounds, t / 1000, t * 1000 / rounds, (unsigned long long)st.allocated);
    frame_pool_destroy(frames);
    return 0;
}
