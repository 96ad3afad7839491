#pragma once
// One screenshot request from the control pipe, handed to the capture thread.
// Two references at creation: the pipe handler's and the capture side's (which
// may pass it on to the save job or the overlay). Whoever answers sets `done`
// exactly once; whoever drops the last reference closes the event and frees it.
#include "common/win.h"
#include <cstdint>

enum { SHOT_MONITOR = 0, SHOT_WINDOW = 1, SHOT_RECT = 2, SHOT_PICK = 3 };

struct shot_job {
    // Request, filled by the pipe handler.
    int kind;     // SHOT_*
    int monitor;  // -1 = the monitor under the cursor
    HWND hwnd;
    int occluded;                   // capture with PrintWindow
    LONG left, top, right, bottom;  // virtual-desktop pixels
    int format;                     // -1 = configured still_format, 0 PNG, 1 JPEG
    int quality;                    // below 1 = configured jpeg_quality
    int silent;
    int timeout_ms;      // 10000, or 60000 for a pick
    wchar_t path[260];   // output path; the final path is written back here
    wchar_t folder[64];  // subfolder name
    wchar_t dir[260];    // absolute target folder
    int no_history;      // the client streams the file and deletes it: not a capture to list
    int64_t start;       // performance counter when the request was posted

    // Result, written before `done` is set and read only after it.
    int ok;
    int width, height;
    uint64_t bytes;
    int64_t ms;
    wchar_t target[128];  // description: "monitor 1", "rect 0,0 10x10", ...
    wchar_t warning[64];  // storage warning text, empty when none
    uint64_t free_mb;
    wchar_t drive[8];
    wchar_t error[160];  // "code\tmsg=message"

    HANDLE done;  // manual reset
    volatile LONG refs;
};

// A zeroed job with its event, monitor -1, format -1, time-out 10000 and two
// references; null when memory or the event cannot be had.
shot_job* shot_job_create(void);
// Drops one reference; the last one closes the event and frees the record.
void shot_job_release(shot_job* job);
// Fails the job: clears ok, writes "code\tmsg=message", sets done, drops one reference.
void shot_job_fail(shot_job* job, const char* code, const char* msg);
