#include "agent/capture/still_request.h"
#include <cstdio>

still_request* still_request_create(void) {
    still_request* req = (still_request*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(still_request));
    if (!req) return nullptr;
    req->done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!req->done) {
        HeapFree(GetProcessHeap(), 0, req);
        return nullptr;
    }
    req->monitor = -1;
    req->format = -1;
    req->refs = 2;
    return req;
}

void still_request_release(still_request* req) {
    if (!req) return;
    if (InterlockedDecrement(&req->refs) != 0) return;
    CloseHandle(req->done);
    HeapFree(GetProcessHeap(), 0, req);
}

void still_request_fail(still_request* req, const char* code, const char* msg) {
    req->ok = 0;
    _snwprintf(req->error, 160, L"%hs\tmsg=%hs", code, msg);
    req->error[159] = 0;
    SetEvent(req->done);
    still_request_release(req);
}
