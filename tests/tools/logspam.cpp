// Appends log lines as fast as it can, for tests of two processes sharing the log.
// usage: logspam COUNT TAG [SYNC_DIR]
// With SYNC_DIR, it creates "<TAG>.ready" there and starts only once "go" exists (at most 60 s),
// so two copies can be made to write at the same moment.
#include <cstdio>
#include <cwchar>

#include "common/log.h"
#include "common/win.h"

namespace {

bool logspam_exists(const wchar_t* path) { return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES; }

bool logspam_wait_go(const wchar_t* dir, const wchar_t* tag) {
    wchar_t ready[MAX_PATH], go[MAX_PATH];
    _snwprintf(ready, MAX_PATH, L"%ls\\%ls.ready", dir, tag);
    ready[MAX_PATH - 1] = 0;
    _snwprintf(go, MAX_PATH, L"%ls\\go", dir);
    go[MAX_PATH - 1] = 0;
    HANDLE f = CreateFileW(ready, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return false;
    CloseHandle(f);
    ULONGLONG deadline = GetTickCount64() + 60000;
    while (!logspam_exists(go)) {
        if (GetTickCount64() > deadline) return false;
        Sleep(2);
    }
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        fwprintf(stderr, L"usage: logspam COUNT TAG [SYNC_DIR]\n");
        return 2;
    }
    int count = _wtoi(argv[1]);
    const wchar_t* tag = argv[2];
    if (count <= 0 || !tag[0]) {
        fwprintf(stderr, L"logspam: COUNT must be positive and TAG not empty\n");
        return 2;
    }
    if (argc > 3 && !logspam_wait_go(argv[3], tag)) {
        fwprintf(stderr, L"logspam: no go signal in %ls\n", argv[3]);
        return 3;
    }
    wchar_t profile[260] = L"", user[260] = L"";
    GetEnvironmentVariableW(L"USERPROFILE", profile, 260);
    GetEnvironmentVariableW(L"USERNAME", user, 260);
    static const char pad[] = "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx";  // 53
    for (int i = 0; i < count; ++i)
        log_info("logspam %ls %d profile=%ls user=%ls pad=%.*s", tag, i, profile, user, i % 53, pad);
    return 0;
}
