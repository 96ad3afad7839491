#include "common/config.h"
#include "common/log.h"
#include "common/win.h"

#include <cstdio>
#include <cstring>
#include <cwchar>

namespace {
const DWORD CONFIG_FILE_MAX = 65536;
}  // namespace

void app_data_dir(wchar_t out[260]) {
    wchar_t base[260];
    DWORD n = GetEnvironmentVariableW(L"APPDATA", base, 260);
    if (n == 0 || n > 259) wcscpy(base, L".");
    _snwprintf(out, 260, L"%ls\\Ivra", base);
    out[259] = 0;
}

void config_path(wchar_t out[260]) {
    wchar_t dir[260];
    app_data_dir(dir);
    _snwprintf(out, 260, L"%ls\\config.ini", dir);
    out[259] = 0;
}

void config_defaults(config* cfg) {
    memset(cfg, 0, sizeof(*cfg));
    wchar_t profile[260];
    DWORD n = GetEnvironmentVariableW(L"USERPROFILE", profile, 260);
    // The drive root already ends in a separator; joining it with another would double it.
    const wchar_t* sep = L"\\";
    if (n == 0 || n > 259 || n + 14 > 259) {
        wcscpy(profile, L"C:");
    } else if (profile[n - 1] == L'\\' || profile[n - 1] == L'/') {
        sep = L"";
    }
    _snwprintf(cfg->stills_dir, 260, L"%ls%lsPictures\\Ivra", profile, sep);
    cfg->stills_dir[259] = 0;
    _snwprintf(cfg->clips_dir, 260, L"%ls%lsVideos\\Ivra", profile, sep);
    cfg->clips_dir[259] = 0;
    cfg->still_format = 0;
    cfg->jpeg_quality = 90;
    cfg->clip_fps = 60;
    cfg->clip_bitrate_kbps = 20000;
    cfg->play_sound = 1;
    cfg->region_grid = 1;
    cfg->hotkey_raw = 1;
    cfg->hotkey_hook = 1;
    cfg->region_input = 0;
    cfg->raw_mouse_percent = 100;
    cfg->region_capture_input = 1;
    wcscpy(cfg->clip_encoder, L"auto");
    for (int i = 0; i < HOTKEY_COUNT; ++i) cfg->hotkeys[i] = hotkey_actions[i].def;
    cfg->warn_free_mb = 2048;
    cfg->stop_free_mb = 256;
    cfg->warn_ivra_gb = 0;
    cfg->mem_percent = 10;
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    cfg->stills_workers = config_stills_workers_for(si.dwNumberOfProcessors);
    cfg->clips_workers = 2;
    cfg->dxgi_keep_warm = 1;
    cfg->region_freeze = 0;
    cfg->replay_enabled = 0;
    cfg->clip_audio_system = 1;
    cfg->clip_audio_mic = 0;
    wcscpy(cfg->server_url, CONFIG_DEFAULT_SERVER_URL);
    cfg->upload_mode = 0;
    cfg->upload_workers = 2;
    cfg->onboarded = 0;
    cfg->update_auto = 0;
}

bool config_load(config* cfg) {
    config_defaults(cfg);
    wchar_t path[260];
    config_path(path);
    HANDLE f = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return false;
    bool ok = false;
    char* data = nullptr;
    LARGE_INTEGER size;
    DWORD got = 0;
    if (!GetFileSizeEx(f, &size) || size.QuadPart > CONFIG_FILE_MAX) goto done;
    data = (char*)HeapAlloc(GetProcessHeap(), 0, (SIZE_T)size.QuadPart + 1);
    if (!data) goto done;
    if (size.QuadPart > 0 && (!ReadFile(f, data, (DWORD)size.QuadPart, &got, nullptr))) goto done;
    config_apply_text(cfg, data, got);
    ok = true;
done:
    if (data) HeapFree(GetProcessHeap(), 0, data);
    CloseHandle(f);
    return ok;
}

bool config_replace_file(const wchar_t* path, const void* data, size_t len, unsigned long attributes,
                         unsigned long* error) {
    wchar_t tmp[MAX_PATH + 8];
    _snwprintf(tmp, MAX_PATH + 8, L"%ls.tmp", path);
    tmp[MAX_PATH + 7] = 0;
    DWORD why = 0, put = 0;
    HANDLE f = CreateFileW(tmp, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, attributes, nullptr);
    if (f == INVALID_HANDLE_VALUE) {
        why = GetLastError();
    } else {
        if (len > 0 && (!WriteFile(f, data, (DWORD)len, &put, nullptr) || put != len))
            why = GetLastError() ? GetLastError() : ERROR_WRITE_FAULT;
        CloseHandle(f);
        if (!why && !MoveFileExW(tmp, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) why = GetLastError();
        if (why) DeleteFileW(tmp);
    }
    if (error) *error = why;
    return why == 0;
}

bool config_save(const config* cfg) {
    char* text = (char*)HeapAlloc(GetProcessHeap(), 0, CONFIG_TEXT_MAX);
    if (!text) return false;
    bool ok = false;
    wchar_t dir[260], path[260], tmp[270];
    HANDLE f = INVALID_HANDLE_VALUE;
    DWORD put = 0;
    size_t len = config_format(cfg, text, CONFIG_TEXT_MAX);
    if (len == 0) goto done;

    app_data_dir(dir);
    CreateDirectoryW(dir, nullptr);
    config_path(path);
    _snwprintf(tmp, 270, L"%ls.tmp", path);
    tmp[269] = 0;
    // A read-only file is the user's way of keeping it as it is; a rename would not ask.
    {
        DWORD attrs = GetFileAttributesW(path);
        if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_READONLY)) {
            log_error("config_save: cannot open %ls (%lu)", path, (unsigned long)ERROR_ACCESS_DENIED);
            goto done;
        }
    }
    // Written beside the file and moved over it, so a crash or a full disk never leaves it torn or empty.
    f = CreateFileW(tmp, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) {
        log_error("config_save: cannot open %ls (%lu)", tmp, GetLastError());
        goto done;
    }
    ok = WriteFile(f, text, (DWORD)len, &put, nullptr) && put == len;
    ok = FlushFileBuffers(f) && ok;
    ok = CloseHandle(f) && ok;
    if (ok && !MoveFileExW(tmp, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        log_error("config_save: cannot replace %ls (%lu)", path, GetLastError());
        ok = false;
    }
    if (!ok) DeleteFileW(tmp);
done:
    HeapFree(GetProcessHeap(), 0, text);
    return ok;
}
