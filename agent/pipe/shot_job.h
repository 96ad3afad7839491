#pragma once
// One screenshot request from the control pipe: the capture side's still request,
// with the pipe's defaults. Two references at creation: the pipe handler's and the
// capture side's (which may pass it on to the save job or a region pick). Whoever
// answers sets `done` exactly once; whoever drops the last reference frees it.
#include "agent/capture/still_request.h"

using shot_job = still_request;

enum { SHOT_MONITOR = STILL_MONITOR, SHOT_WINDOW = STILL_WINDOW, SHOT_RECT = STILL_RECT, SHOT_PICK = STILL_PICK };

// A zeroed job with its event, monitor -1, format -1, time-out 10000 and two
// references; null when memory or the event cannot be had.
shot_job* shot_job_create(void);
// Drops one reference; the last one closes the event and frees the record.
void shot_job_release(shot_job* job);
// Fails the job: clears ok, writes "code\tmsg=message", sets done, drops one reference.
void shot_job_fail(shot_job* job, const char* code, const char* msg);
