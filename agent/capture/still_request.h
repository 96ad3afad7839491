#pragma once
// A screenshot someone waits for (the control pipe's shot requests): what to capture and
// how to save it, the answer, and its completion. Shared by reference count: two
// references at creation, the requester's and the capture side's (which passes to the
// save job). Whoever answers sets `done` exactly once; whoever drops the last reference
// closes the event and frees the record, so the requester may give up after its wait.
#include "common/win.h"
#include <cstdint>

enum { STILL_MONITOR = 0, STILL_WINDOW = 1, STILL_RECT = 2, STILL_PICK = 3 };

struct still_request {
    // Request, filled by the requester.
    int kind;     // STILL_*
    int monitor;  // -1 = the monitor under the cursor
    HWND hwnd;
    int occluded;                   // capture with PrintWindow
    LONG left, top, right, bottom;  // virtual-desktop pixels
    int format;                     // -1 = configured still_format, 0 PNG, 1 JPEG
    int quality;                    // below 1 = configured jpeg_quality
    int silent;
    int timeout_ms;      // the requester's wait; the capture side does not read it
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

// A zeroed request with its event, monitor -1, format -1 and two references; null when
// memory or the event cannot be had.
still_request* still_request_create(void);
// Drops one reference; the last one closes the event and frees the record. Null does nothing.
void still_request_release(still_request* req);
// Fails the request: clears ok, writes "code\tmsg=message", sets done, drops one reference.
void still_request_fail(still_request* req, const char* code, const char* msg);
