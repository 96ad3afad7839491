#include "agent/core/frame_pool.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

constexpr uint64_t MB = 1048576;
constexpr uint64_t GiB = 1024ull * MB;

int slot_of(frame_pool* pool, frame_buffer* b) { return b ? (int)(b - pool->slots) : -1; }

frame_stats stats_of(frame_pool* pool) {
    frame_stats st{};
    EXPECT_TRUE(frame_pool_stats(pool, &st));
    return st;
}

TEST(MemoryBudget, SplitsFortySixty) {
    struct {
        uint64_t total;
        int percent;
        uint64_t budget, stills, clips;
    } cases[] = {
        {16 * GiB, 10, 1717986918ull, 687194767ull, 1030792151ull},
        {8 * GiB, 1, 85899345ull, 34359738ull, 51539607ull},
        {0, 10, 0, 0, 0},
        {16 * GiB, 0, 0, 0, 0},
        {1000, 100, 1000, 400, 600},
        {99, 50, 49, 19, 30},
        {1, 100, 1, 0, 1},
        // No intermediate overflow near the top of the range.
        {UINT64_MAX, 100, UINT64_MAX, 7378697629483820646ull, 11068046444225730969ull},
        {UINT64_MAX, 50, 9223372036854775807ull, 3689348814741910322ull, 5534023222112865485ull},
    };
    for (auto& c : cases) {
        uint64_t budget = 7, stills = 7, clips = 7;
        ASSERT_TRUE(frame_pool_memory_budget(c.total, c.percent, &budget, &stills, &clips))
            << c.total << " " << c.percent;
        EXPECT_EQ(budget, c.budget) << c.total << " at " << c.percent << "%";
        EXPECT_EQ(stills, c.stills) << c.total << " at " << c.percent << "%";
        EXPECT_EQ(clips, c.clips) << c.total << " at " << c.percent << "%";
        EXPECT_EQ(stills + clips, budget);
    }
}

TEST(MemoryBudget, RejectsBadInputLeavingOutputs) {
    int bad[] = {-1, 101, -2147483647 - 1, 2147483647};
    for (int percent : bad) {
        uint64_t budget = 7, stills = 8, clips = 9;
        EXPECT_FALSE(frame_pool_memory_budget(16 * GiB, percent, &budget, &stills, &clips)) << percent;
        EXPECT_EQ(budget, 7u);
        EXPECT_EQ(stills, 8u);
        EXPECT_EQ(clips, 9u);
    }
    uint64_t x = 0;
    EXPECT_FALSE(frame_pool_memory_budget(16 * GiB, 10, nullptr, &x, &x));
}

TEST(MemoryTotal, ReportsInstalledMemory) {
    uint64_t total = frame_pool_memory_total();
    EXPECT_GT(total, 64 * MB);
    MEMORYSTATUSEX ms{sizeof ms};
    ASSERT_TRUE(GlobalMemoryStatusEx(&ms));
    // Installed memory is never below what the system can use.
    EXPECT_GE(total, ms.ullTotalPhys / 2);
}

TEST(FramePool, StillsBudgetRefusesWhatDoesNotFit) {
    frame_pool* pool = frame_pool_create("stills", FRAME_POOL_STILLS_SLOTS, 100 * MB);
    ASSERT_NE(pool, nullptr);
    frame_buffer* a = frame_pool_acquire(pool, 40 * MB);
    frame_buffer* b = frame_pool_acquire(pool, 40 * MB);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    EXPECT_EQ(frame_pool_acquire(pool, 40 * MB), nullptr);
    frame_stats st = stats_of(pool);
    EXPECT_EQ(st.in_use, 2);
    EXPECT_EQ(st.allocated, 80 * MB);
    EXPECT_EQ(st.refused, 1u);
    EXPECT_EQ(st.budget, 100 * MB);

    // A request bigger than the whole budget is refused too, and counted.
    EXPECT_EQ(frame_pool_acquire(pool, 101 * MB), nullptr);
    EXPECT_EQ(stats_of(pool).refused, 2u);

    // Once one is back, the third frame reuses its memory instead of allocating.
    uint8_t* a_pixels = a->pixels;
    frame_pool_release(a);
    frame_buffer* c = frame_pool_acquire(pool, 40 * MB);
    ASSERT_EQ(c, a);
    EXPECT_EQ(c->pixels, a_pixels);
    EXPECT_EQ(stats_of(pool).allocated, 80 * MB);
    frame_pool_release(b);
    frame_pool_release(c);
    frame_pool_destroy(pool);
}

TEST(FramePool, FirstFitReusesWithoutReallocating) {
    frame_pool* pool = frame_pool_create("stills", 8, 100 * MB);
    ASSERT_NE(pool, nullptr);
    frame_buffer* small = frame_pool_acquire(pool, 2 * MB);
    frame_buffer* big = frame_pool_acquire(pool, 10 * MB);
    ASSERT_TRUE(small && big);
    small->job = (still_request*)small;  // a stale request must not survive a reuse
    frame_pool_release(small);
    frame_pool_release(big);
    uint8_t* big_pixels = big->pixels;

    // 5 MB does not fit slot 0 (2 MB) but fits slot 1 (10 MB): slot 1, same memory.
    frame_buffer* got = frame_pool_acquire(pool, 5 * MB);
    EXPECT_EQ(slot_of(pool, got), 1);
    EXPECT_EQ(got->pixels, big_pixels);
    EXPECT_EQ(got->capacity, 10 * MB);
    // 1 MB fits slot 0, the first in order.
    frame_buffer* tiny = frame_pool_acquire(pool, 1 * MB);
    EXPECT_EQ(slot_of(pool, tiny), 0);
    EXPECT_EQ(tiny->job, nullptr);
    EXPECT_EQ(tiny->in_use, 1);
    EXPECT_EQ(stats_of(pool).allocated, 12 * MB);

    // The memory is really there, end to end.
    memset(got->pixels, 0xAB, (size_t)got->capacity);
    EXPECT_EQ(got->pixels[got->capacity - 1], 0xAB);
    frame_pool_release(got);
    frame_pool_release(tiny);
    frame_pool_destroy(pool);
}

// Scripted sequences against a 100 MB budget: 'a' acquires into a handle, 'r' releases
// it, 'e' grows it with ensure (size in MB as one row of 1 MB).
struct step {
    char op;
    int handle;
    uint64_t mb;
};

struct trim_case {
    const char* what;
    std::vector<step> steps;
    std::vector<uint64_t> capacity_mb;  // by slot, after the steps
    uint64_t allocated_mb;
};

TEST(FramePool, TrimAboveNinetyPercentFreesTheLargestIdleBuffer) {
    std::vector<trim_case> cases = {
        {"released buffer is the largest idle one",
         {{'a', 0, 35}, {'a', 1, 20}, {'a', 2, 40}, {'r', 0, 0}},
         {0, 20, 40},
         60},
        {"a larger idle buffer goes, not the one just released",
         {{'a', 0, 10}, {'a', 1, 50}, {'a', 2, 20}, {'r', 1, 0}, {'e', 2, 35}, {'r', 0, 0}},
         {10, 0, 35},
         45},
        {"ties go to the first slot",
         {{'a', 0, 30}, {'a', 1, 30}, {'a', 2, 10}, {'a', 3, 20}, {'r', 0, 0}, {'r', 1, 0}, {'e', 3, 25}, {'r', 2, 0}},
         {0, 30, 10, 25},
         65},
        {"exactly 90 % keeps everything", {{'a', 0, 40}, {'a', 1, 50}, {'r', 0, 0}, {'r', 1, 0}}, {40, 50}, 90},
        {"one slot per release, even when still above 90 %",
         {{'a', 0, 5}, {'a', 1, 5}, {'a', 2, 78}, {'a', 3, 2}, {'r', 0, 0}, {'r', 1, 0}, {'e', 2, 87}, {'r', 3, 0}},
         {0, 5, 87, 2},
         94},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.what);
        frame_pool* pool = frame_pool_create("stills", 8, 100 * MB);
        ASSERT_NE(pool, nullptr);
        frame_buffer* h[8] = {};
        for (const step& s : c.steps) {
            switch (s.op) {
            case 'a':
                h[s.handle] = frame_pool_acquire(pool, s.mb * MB);
                ASSERT_NE(h[s.handle], nullptr);
                ASSERT_EQ(slot_of(pool, h[s.handle]), s.handle);
                break;
            case 'r': frame_pool_release(h[s.handle]); break;
            case 'e': ASSERT_TRUE(frame_buffer_ensure(h[s.handle], 262144, (uint32_t)s.mb, 1048576)); break;
            }
        }
        for (size_t i = 0; i < c.capacity_mb.size(); i++) {
            EXPECT_EQ(pool->slots[i].capacity, c.capacity_mb[i] * MB) << "slot " << i;
            EXPECT_EQ(pool->slots[i].pixels == nullptr, c.capacity_mb[i] == 0) << "slot " << i;
        }
        EXPECT_EQ(stats_of(pool).allocated, c.allocated_mb * MB);
        frame_pool_destroy(pool);
    }
}

TEST(FramePool, IdleMemoryNeverBlocksARequestThatFits) {
    frame_pool* pool = frame_pool_create("stills", 8, 100 * MB);
    ASSERT_NE(pool, nullptr);
    frame_buffer* b[3];
    for (int i = 0; i < 3; i++) ASSERT_NE(b[i] = frame_pool_acquire(pool, 30 * MB), nullptr);
    for (int i = 0; i < 3; i++) frame_pool_release(b[i]);
    ASSERT_EQ(stats_of(pool).allocated, 90 * MB) << "nothing trimmed at exactly 90 %";

    // Nothing is in use, so 50 MB fits the budget: idle memory of another slot makes way.
    frame_buffer* big = frame_pool_acquire(pool, 50 * MB);
    ASSERT_NE(big, nullptr);
    EXPECT_EQ(slot_of(pool, big), 0);
    EXPECT_EQ(pool->slots[1].capacity, 0u);
    EXPECT_EQ(pool->slots[2].capacity, 30 * MB);
    frame_stats st = stats_of(pool);
    EXPECT_EQ(st.allocated, 80 * MB);
    EXPECT_EQ(st.refused, 0u);
    EXPECT_LE(st.allocated, st.budget);
    frame_pool_release(big);
    frame_pool_destroy(pool);

    // When buffers in use leave no room anyway, idle buffers are kept.
    pool = frame_pool_create("stills", 8, 100 * MB);
    ASSERT_NE(pool, nullptr);
    frame_buffer* x = frame_pool_acquire(pool, 40 * MB);
    frame_buffer* y = frame_pool_acquire(pool, 40 * MB);
    frame_buffer* z = frame_pool_acquire(pool, 10 * MB);
    ASSERT_TRUE(x && y && z);
    frame_pool_release(z);
    EXPECT_EQ(frame_pool_acquire(pool, 30 * MB), nullptr);
    EXPECT_EQ(pool->slots[2].capacity, 10 * MB);
    EXPECT_EQ(stats_of(pool).allocated, 90 * MB);
    frame_pool_destroy(pool);
}

TEST(FramePool, EnsureGrowsWithinBudgetAndFailsCleanly) {
    frame_pool* pool = frame_pool_create("stills", 4, 10 * MB);
    ASSERT_NE(pool, nullptr);
    frame_buffer* b = frame_pool_acquire(pool, 1 * MB);
    ASSERT_NE(b, nullptr);
    ASSERT_TRUE(frame_buffer_ensure(b, 100, 100, 400));

    struct {
        uint32_t w, h;
        int32_t stride;
        bool ok;
        uint64_t capacity_after;
    } cases[] = {
        {512, 512, 2048, true, 1 * MB},      // exactly the capacity: no new memory
        {1024, 1024, 4096, true, 4 * MB},    // grows
        {640, 480, 2560, true, 4 * MB},      // shrinking keeps the memory
        {1920, 1080, 8192, true, 8847360},   // a producer's wider stride
        {1920, 1080, 7679, false, 8847360},  // stride below width * 4
        {100, 100, -400, false, 8847360},    // negative stride
        {2048, 2048, 8192, false, 8847360},  // 16 MB is over the 10 MB budget
        {0, 0, 0, true, 8847360},            // an empty frame needs nothing
    };
    uint32_t w = 100, h = 100;
    int32_t stride = 400;
    for (auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " stride " << c.stride);
        uint64_t refused_before = stats_of(pool).refused;
        EXPECT_EQ(frame_buffer_ensure(b, c.w, c.h, c.stride), c.ok);
        if (c.ok) {
            w = c.w, h = c.h, stride = c.stride;
        }
        EXPECT_EQ(b->width, w);
        EXPECT_EQ(b->height, h);
        EXPECT_EQ(b->stride, stride);
        EXPECT_EQ(b->capacity, c.capacity_after);
        EXPECT_EQ(stats_of(pool).allocated, c.capacity_after);
        bool over_budget = !c.ok && c.stride >= 0 && (uint64_t)c.stride >= (uint64_t)c.w * 4;
        EXPECT_EQ(stats_of(pool).refused, refused_before + (over_budget ? 1 : 0));
    }
    memset(b->pixels, 0x5A, 8847360);
    frame_pool_release(b);
    frame_pool_destroy(pool);
}

TEST(FramePool, FreeStandingBuffer) {
    frame_buffer b{};
    ASSERT_TRUE(frame_buffer_ensure(&b, 64, 32, 256));
    ASSERT_NE(b.pixels, nullptr);
    EXPECT_EQ(b.capacity, 8192u);
    b.pixels[8191] = 1;
    ASSERT_TRUE(frame_buffer_ensure(&b, 128, 64, 512));
    EXPECT_EQ(b.capacity, 32768u);
    b.pixels[32767] = 1;
    b.in_use = 1;
    frame_pool_release(&b);
    EXPECT_EQ(b.in_use, 0);
    EXPECT_NE(b.pixels, nullptr) << "a free-standing buffer keeps its memory";
    frame_buffer_free(&b);
    EXPECT_EQ(b.pixels, nullptr);
    EXPECT_EQ(b.capacity, 0u);
    frame_buffer_free(nullptr);
    frame_pool_release(nullptr);
}

TEST(FramePool, EverySlotInUseOrNoBudgetRefuses) {
    frame_pool* pool = frame_pool_create("stills", 2, 100 * MB);
    ASSERT_NE(pool, nullptr);
    frame_buffer* a = frame_pool_acquire(pool, MB);
    frame_buffer* b = frame_pool_acquire(pool, MB);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(frame_pool_acquire(pool, MB), nullptr);
    EXPECT_EQ(stats_of(pool).refused, 1u);
    EXPECT_EQ(stats_of(pool).in_use, 2);
    frame_pool_release(a);
    EXPECT_EQ(stats_of(pool).in_use, 1);
    frame_pool_release(b);
    frame_pool_destroy(pool);

    // No memory figure at all gives a budget of 0: every frame request fails.
    pool = frame_pool_create(nullptr, 0, 0);
    ASSERT_NE(pool, nullptr);
    EXPECT_STREQ(pool->name, "frames");
    EXPECT_EQ(stats_of(pool).slots, 1);
    EXPECT_EQ(frame_pool_acquire(pool, 1), nullptr);
    EXPECT_EQ(frame_pool_acquire(pool, 4 * MB), nullptr);
    EXPECT_EQ(stats_of(pool).refused, 2u);
    EXPECT_EQ(frame_pool_acquire(nullptr, 1), nullptr);
    frame_pool_destroy(pool);
    frame_pool_destroy(nullptr);
}

struct churn_arg {
    frame_pool* pool;
    int seed;
    volatile LONG* violations;
};

DWORD WINAPI churn_thread(void* p) {
    churn_arg* a = (churn_arg*)p;
    uint32_t x = 2463534242u + (uint32_t)a->seed;
    for (int i = 0; i < 400; i++) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        uint64_t size = (1 + x % 12) * MB;
        frame_buffer* b = frame_pool_acquire(a->pool, size);
        if (!b) continue;
        if (b->capacity < size || !b->in_use) InterlockedIncrement(a->violations);
        // Stamp the frame and check nobody else wrote into it meanwhile.
        uint8_t mark = (uint8_t)(a->seed * 31 + i);
        b->pixels[0] = mark;
        b->pixels[size - 1] = mark;
        SwitchToThread();
        if (b->pixels[0] != mark || b->pixels[size - 1] != mark) InterlockedIncrement(a->violations);
        frame_pool_release(b);
    }
    return 0;
}

TEST(FramePool, ConcurrentUseKeepsTheBooks) {
    frame_pool* pool = frame_pool_create("stills", 6, 40 * MB);
    ASSERT_NE(pool, nullptr);
    volatile LONG violations = 0;
    churn_arg args[4];
    HANDLE th[4];
    for (int i = 0; i < 4; i++) {
        args[i] = {pool, i + 1, &violations};
        th[i] = CreateThread(nullptr, 0, churn_thread, &args[i], 0, nullptr);
        ASSERT_NE(th[i], nullptr);
    }
    ASSERT_EQ(WaitForMultipleObjects(4, th, TRUE, 60000), WAIT_OBJECT_0);
    for (HANDLE h : th) CloseHandle(h);
    EXPECT_EQ(violations, 0);
    frame_stats st = stats_of(pool);
    EXPECT_EQ(st.in_use, 0);
    EXPECT_LE(st.allocated, st.budget);
    uint64_t sum = 0;
    for (int i = 0; i < pool->slot_count; i++) sum += pool->slots[i].capacity;
    EXPECT_EQ(st.allocated, sum);
    frame_pool_destroy(pool);
}

}  // namespace
