#include "agent/pipe/shot_job.h"

shot_job* shot_job_create(void) {
    shot_job* job = still_request_create();
    if (job) job->timeout_ms = 10000;
    return job;
}

void shot_job_release(shot_job* job) { still_request_release(job); }

void shot_job_fail(shot_job* job, const char* code, const char* msg) { still_request_fail(job, code, msg); }
