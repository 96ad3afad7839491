#pragma once
// Budgeted, reusable frame memory for captured pixels (32-bit BGRA, top-down), and the
// arithmetic that turns the machine's RAM into the stills and clips budgets.
// Buffers are reused first-fit, so a capture normally takes no fresh memory.
#include "common/win.h"
#include <cstdint>

struct still_request;
struct frame_pool;

enum {
    FRAME_POOL_NAME_MAX = 24,  // 23 characters and the terminator
    FRAME_PATH_MAX = 260,
    FRAME_POOL_STILLS_SLOTS = 64,
    FRAME_POOL_CLIPS_SLOTS = 256,
};

enum frame_kind { FRAME_KIND_STILL = 0 };
enum frame_format { FRAME_FORMAT_PNG = 0, FRAME_FORMAT_JPEG = 1 };

struct frame_buffer {
    uint8_t* pixels;  // page-granular, read-write
    uint32_t width;
    uint32_t height;
    int32_t stride;     // bytes per row; width * 4 unless the producer says otherwise
    int64_t timestamp;  // performance-counter value of the capture
    int kind;           // frame_kind
    int format;         // 1 JPEG, anything else PNG
    int jpeg_quality;
    wchar_t path[FRAME_PATH_MAX];  // destination of the pending save
    uint64_t capacity;             // bytes of pixel memory
    still_request* job;            // request waiting for this frame, or null
    frame_pool* pool;              // owner, or null for a free-standing buffer
    int in_use;
};

struct frame_pool {
    SRWLOCK lock;
    char name[FRAME_POOL_NAME_MAX];
    frame_buffer* slots;
    int slot_count;
    uint64_t budget;
    uint64_t allocated;  // pixel bytes held over all slots
    uint64_t refused;
};

struct frame_stats {
    int slots;
    int in_use;
    uint64_t allocated;
    uint64_t budget;
    uint64_t refused;
};

// A pool of `slots` empty buffers (at least 1) that may hold `budget` bytes in all.
// A null or empty name becomes "frames"; longer names are cut to 23 characters.
// Returns null when memory for the slots cannot be allocated.
frame_pool* frame_pool_create(const char* name, int slots, uint64_t budget);

// Frees every buffer's memory, the slots and the pool, whether buffers are in use or not;
// call only when no thread uses the pool any more. Null does nothing.
void frame_pool_destroy(frame_pool* pool);

// A buffer of at least `size` bytes, marked in use with no pending request, or null when
// it does not fit the budget, every slot is in use or memory runs out (counted as refused).
// An idle buffer big enough is reused; otherwise the first idle slot gets fresh memory,
// and idle buffers of other slots are emptied, largest first, only when that is what
// makes the request fit.
frame_buffer* frame_pool_acquire(frame_pool* pool, uint64_t size);

// Returns the buffer to its pool. Above 90 % of the budget the largest idle buffer's
// memory is freed (one per release). A free-standing buffer is only marked idle.
// Null does nothing.
void frame_pool_release(frame_buffer* buf);

// Makes the buffer hold height rows of `stride` bytes and records the size. Grows the
// memory when needed, within the owning pool's budget (a refusal is counted). Returns
// false, with the buffer unchanged, for a stride below width * 4 or when memory cannot
// be had.
bool frame_buffer_ensure(frame_buffer* buf, uint32_t width, uint32_t height, int32_t stride);

// Frees the memory of a free-standing buffer (one without a pool). Null does nothing.
void frame_buffer_free(frame_buffer* buf);

// Snapshot under the pool's shared lock. Returns false (out untouched) for a null pool or out.
bool frame_pool_stats(frame_pool* pool, frame_stats* out);

// Physical memory in bytes: installed memory, else what the system reports as total
// physical memory, else 0.
uint64_t frame_pool_memory_total();

// budget = total * percent / 100, stills = 40 % of it, clips = the rest, all truncating.
// Returns false, outputs untouched, for a percent outside 0..100 or a null output.
bool frame_pool_memory_budget(uint64_t total, int percent, uint64_t* budget, uint64_t* stills, uint64_t* clips);
