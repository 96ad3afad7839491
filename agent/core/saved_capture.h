#pragma once
// The record a finished capture sends to the agent window with WM_AGENT_SAVED.
// Allocated zero-filled on the process heap by the sender; the window frees it,
// and the sender frees it itself when the post fails.
#include "common/win.h"
#include <cstdint>
#include <cwchar>

enum { SAVED_PATH_MAX = 260, SAVED_ERROR_MAX = 160 };

struct saved_capture {
    int saved;   // 0 = a clip could not be saved
    int still;   // 1 for a screenshot
    int replay;  // 1 for a replay save
    wchar_t path[SAVED_PATH_MAX];
    double seconds;  // clip length
    uint64_t bytes;
    char error[SAVED_ERROR_MAX];  // UTF-8, for failures
};

// A heap record for a saved screenshot at path (cut to 259 characters); null when
// memory is short.
inline saved_capture* saved_capture_still(const wchar_t* path, uint64_t bytes) {
    saved_capture* rec = (saved_capture*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(saved_capture));
    if (!rec) return nullptr;
    rec->saved = 1;
    rec->still = 1;
    rec->bytes = bytes;
    if (path) {
        wcsncpy(rec->path, path, SAVED_PATH_MAX - 1);
        rec->path[SAVED_PATH_MAX - 1] = 0;
    }
    return rec;
}

inline void saved_capture_free(saved_capture* rec) {
    if (rec) HeapFree(GetProcessHeap(), 0, rec);
}
