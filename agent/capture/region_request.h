#pragma once
// What a region selection is asked for and what it hands back. The still jobs and
// the clip session fill a request; the region overlay serves it and answers through
// it, knowing nothing of who asked. The requester owns everything it points to.
#include "common/win.h"
#include <cstdint>

struct frame_buffer;

// How a selection ended.
enum region_status {
    REGION_SELECTED = 0,   // rect holds the selection
    REGION_CANCELLED = 1,  // cancelled by the user, or lost on the way (code and message say which)
    REGION_BUSY = 2,       // another selection is open: nothing was shown
    REGION_FAILED = 3,     // the selection could not open (code and message)
};

struct region_selection {
    int status;  // region_status
    RECT rect;   // virtual-desktop pixels, right and bottom exclusive; set when selected
    int digit;   // the chosen folder slot, 0 none
    int live;    // the live look: the pixels are read from the screen once the overlay is gone
    // Frozen look: the selected pixels from the snapshots, the requester's from here; else null.
    frame_buffer* pixels;
    // Not selected: the answer for a waiting caller ("cancelled" / "pick cancelled", ...).
    const char* code;
    const char* message;
};

struct region_request {
    int live;    // look: live over the running desktop, else frozen snapshots of every output
    int digit;   // chord digit to start with, 0 none
    int waited;  // a caller waits for the answer: a failed start is the requester's to report
    void* owner;
    // Frozen look: a buffer for a width x height selection, whose size the requester's format
    // and budget allow or refuse (null, logged by it: the selection is lost like a cancel).
    frame_buffer* (*buffer)(void* owner, int64_t width, int64_t height);
    // The one answer to the request: on the starting thread when nothing opened, else on the
    // overlay thread when the selection ends.
    void (*done)(void* owner, const region_selection* sel);
};
