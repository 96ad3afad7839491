#include "agent/pipe/shot_job.h"
#include <cstdio>

shot_job* shot_job_create(void) {
    shot_job* job = (shot_job*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(shot_job));
    if (!job) return nullptr;
    job->done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!job->done) {
        HeapFree(GetProcessHeap(), 0, job);
        return nullptr;
    }
    job->monitor = -1;
    job->format = -1;
    job->timeout_ms = 10000;
    job->refs = 2;
    return job;
}

void shot_job_release(shot_job* job) {
    if (!job) return;
    if (InterlockedDecrement(&job->refs) != 0) return;
    CloseHandle(job->done);
    HeapFree(GetProcessHeap(), 0, job);
}

void shot_job_fail(shot_job* job, const char* code, const char* msg) {
    job->ok = 0;
    _snwprintf(job->error, 160, L"%hs\tmsg=%hs", code, msg);
    job->error[159] = 0;
    SetEvent(job->done);
    shot_job_release(job);
}
