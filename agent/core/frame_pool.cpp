#include "agent/core/frame_pool.h"

#include "common/log.h"

namespace {

uint8_t* frame_memory_alloc(uint64_t size) {
    if (size == 0 || size > (uint64_t)SIZE_MAX) return nullptr;
    return (uint8_t*)VirtualAlloc(nullptr, (SIZE_T)size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void frame_memory_free(uint8_t* pixels) {
    if (pixels) VirtualFree(pixels, 0, MEM_RELEASE);
}

// Exact floor(value * numerator / 100) without a 64-bit overflow for any value.
uint64_t frame_percent_of(uint64_t value, uint64_t numerator) {
    return (value / 100) * numerator + (value % 100) * numerator / 100;
}

// Largest idle slot holding memory, other than `except`; the first in slot order on ties.
frame_buffer* frame_pool_largest_idle(frame_pool* pool, const frame_buffer* except) {
    frame_buffer* best = nullptr;
    for (int i = 0; i < pool->slot_count; i++) {
        frame_buffer* s = &pool->slots[i];
        if (s == except || s->in_use || s->capacity == 0) continue;
        if (!best || s->capacity > best->capacity) best = s;
    }
    return best;
}

void frame_pool_empty_slot(frame_pool* pool, frame_buffer* s) {
    frame_memory_free(s->pixels);
    pool->allocated -= s->capacity;
    s->pixels = nullptr;
    s->capacity = 0;
}

// Caller holds the lock. Whether `slot` may grow to `size` bytes within the budget; when
// only idle memory of other slots stands in the way, that memory is freed, largest first.
// Nothing is freed when even that would not make room.
bool frame_pool_make_room(frame_pool* pool, frame_buffer* slot, uint64_t size) {
    uint64_t after = pool->allocated - slot->capacity + size;
    if (after <= pool->budget) return true;
    uint64_t idle = 0;
    for (int i = 0; i < pool->slot_count; i++) {
        const frame_buffer* s = &pool->slots[i];
        if (s != slot && !s->in_use) idle += s->capacity;
    }
    if (after - idle > pool->budget) return false;
    while (after > pool->budget) {
        frame_buffer* victim = frame_pool_largest_idle(pool, slot);
        if (!victim) return false;
        after -= victim->capacity;
        frame_pool_empty_slot(pool, victim);
    }
    return true;
}

// Caller holds the lock when the buffer has a pool. Replaces the buffer's memory by
// `size` fresh bytes, keeping the pool's count right.
bool frame_buffer_regrow(frame_buffer* buf, uint64_t size) {
    uint8_t* fresh = frame_memory_alloc(size);
    if (!fresh) return false;
    frame_memory_free(buf->pixels);
    if (buf->pool) buf->pool->allocated = buf->pool->allocated - buf->capacity + size;
    buf->pixels = fresh;
    buf->capacity = size;
    return true;
}

}  // namespace

frame_pool* frame_pool_create(const char* name, int slots, uint64_t budget) {
    if (slots < 1) slots = 1;
    HANDLE heap = GetProcessHeap();
    frame_pool* pool = (frame_pool*)HeapAlloc(heap, HEAP_ZERO_MEMORY, sizeof(frame_pool));
    frame_buffer* array =
        pool ? (frame_buffer*)HeapAlloc(heap, HEAP_ZERO_MEMORY, (size_t)slots * sizeof(frame_buffer)) : nullptr;
    if (!array) {
        if (pool) HeapFree(heap, 0, pool);
        log_error("mem: cannot allocate %d frame slots", slots);
        return nullptr;
    }
    const char* src = name && *name ? name : "frames";
    size_t n = 0;
    while (src[n] && n < FRAME_POOL_NAME_MAX - 1) {
        pool->name[n] = src[n];
        n++;
    }
    pool->name[n] = 0;
    InitializeSRWLock(&pool->lock);
    pool->slots = array;
    pool->slot_count = slots;
    pool->budget = budget;
    for (int i = 0; i < slots; i++) array[i].pool = pool;
    return pool;
}

void frame_pool_destroy(frame_pool* pool) {
    if (!pool) return;
    int in_use = 0;
    for (int i = 0; i < pool->slot_count; i++) {
        if (pool->slots[i].in_use) in_use++;
        frame_memory_free(pool->slots[i].pixels);
    }
    if (in_use) log_warn("mem: %s frame pool freed with %d buffers in use", pool->name, in_use);
    HANDLE heap = GetProcessHeap();
    HeapFree(heap, 0, pool->slots);
    HeapFree(heap, 0, pool);
}

frame_buffer* frame_pool_acquire(frame_pool* pool, uint64_t size) {
    if (!pool) return nullptr;
    AcquireSRWLockExclusive(&pool->lock);
    frame_buffer* slot = nullptr;
    for (int i = 0; i < pool->slot_count; i++) {
        frame_buffer* s = &pool->slots[i];
        if (!s->in_use && s->capacity >= size) {
            slot = s;
            break;
        }
    }
    if (!slot && size <= pool->budget) {
        frame_buffer* first_idle = nullptr;
        for (int i = 0; i < pool->slot_count && !first_idle; i++)
            if (!pool->slots[i].in_use) first_idle = &pool->slots[i];
        if (first_idle && frame_pool_make_room(pool, first_idle, size) && frame_buffer_regrow(first_idle, size))
            slot = first_idle;
    }
    if (!slot) {
        pool->refused++;
        ReleaseSRWLockExclusive(&pool->lock);
        return nullptr;
    }
    slot->in_use = 1;
    slot->job = nullptr;
    ReleaseSRWLockExclusive(&pool->lock);
    return slot;
}

void frame_pool_release(frame_buffer* buf) {
    if (!buf) return;
    frame_pool* pool = buf->pool;
    if (!pool) {
        buf->in_use = 0;
        return;
    }
    AcquireSRWLockExclusive(&pool->lock);
    buf->in_use = 0;
    if (pool->allocated > pool->budget - pool->budget / 10) {
        frame_buffer* victim = frame_pool_largest_idle(pool, nullptr);
        if (victim) frame_pool_empty_slot(pool, victim);
    }
    ReleaseSRWLockExclusive(&pool->lock);
}

bool frame_buffer_ensure(frame_buffer* buf, uint32_t width, uint32_t height, int32_t stride) {
    if (!buf || stride < 0 || (uint64_t)stride < (uint64_t)width * 4) return false;
    uint64_t needed = (uint64_t)stride * height;
    if (buf->capacity < needed) {
        frame_pool* pool = buf->pool;
        if (pool) {
            AcquireSRWLockExclusive(&pool->lock);
            bool ok = frame_pool_make_room(pool, buf, needed) && frame_buffer_regrow(buf, needed);
            if (!ok) pool->refused++;
            ReleaseSRWLockExclusive(&pool->lock);
            if (!ok) return false;
        } else if (!frame_buffer_regrow(buf, needed)) {
            return false;
        }
    }
    buf->width = width;
    buf->height = height;
    buf->stride = stride;
    return true;
}

void frame_buffer_free(frame_buffer* buf) {
    if (!buf || buf->pool) return;
    frame_memory_free(buf->pixels);
    buf->pixels = nullptr;
    buf->capacity = 0;
}

bool frame_pool_stats(frame_pool* pool, frame_stats* out) {
    if (!pool || !out) return false;
    AcquireSRWLockShared(&pool->lock);
    int in_use = 0;
    for (int i = 0; i < pool->slot_count; i++)
        if (pool->slots[i].in_use) in_use++;
    out->slots = pool->slot_count;
    out->in_use = in_use;
    out->allocated = pool->allocated;
    out->budget = pool->budget;
    out->refused = pool->refused;
    ReleaseSRWLockShared(&pool->lock);
    return true;
}

uint64_t frame_pool_memory_total() {
    ULONGLONG kib = 0;
    if (GetPhysicallyInstalledSystemMemory(&kib) && kib != 0) return (uint64_t)kib * 1024;
    MEMORYSTATUSEX status;
    status.dwLength = sizeof status;
    if (GlobalMemoryStatusEx(&status)) return status.ullTotalPhys;
    return 0;
}

bool frame_pool_memory_budget(uint64_t total, int percent, uint64_t* budget, uint64_t* stills, uint64_t* clips) {
    if (percent < 0 || percent > 100 || !budget || !stills || !clips) return false;
    uint64_t all = frame_percent_of(total, (uint64_t)percent);
    uint64_t still_share = frame_percent_of(all, 40);
    *budget = all;
    *stills = still_share;
    *clips = all - still_share;
    return true;
}
