#include "agent/core/storage_monitor.h"
#include "agent/clips/sounds.h"
#include "agent/core/capture_files.h"
#include "common/config_schema.h"
#include "common/log.h"
#include <cwchar>

bool storage_gate_root(const wchar_t* path, wchar_t query[STORAGE_ROOT_MAX], wchar_t shown[STORAGE_DRIVE_MAX])
{
    query[0] = 0;
    shown[0] = 0;
    if (!path || !path[0] || !path[1])
        return false;
    size_t len = 0;
    if (path[1] == L':') {
        len = 2;
    } else if (path[0] == L'\\' && path[1] == L'\\') {
        const wchar_t* server_end = wcschr(path + 2, L'\\');
        if (!server_end || server_end == path + 2 || server_end[1] == 0 || server_end[1] == L'\\')
            return false;
        const wchar_t* share_end = wcschr(server_end + 1, L'\\');
        len = share_end ? (size_t)(share_end - path) : wcslen(path);
    } else {
        return false;
    }
    if (len + 2 > STORAGE_ROOT_MAX)
        return false;
    wmemcpy(query, path, len);
    query[len] = L'\\';
    query[len + 1] = 0;
    // Long UNC roots are queried whole; only what is reported is cut.
    size_t n = len + 1 < STORAGE_DRIVE_MAX - 1 ? len + 1 : STORAGE_DRIVE_MAX - 1;
    wmemcpy(shown, query, n);
    shown[n] = 0;
    return true;
}

bool storage_gate_decide(uint64_t free_mb, int stop_free_mb, int warn_free_mb, int ivra_big,
                         wchar_t warning[STORAGE_WARNING_MAX])
{
    warning[0] = 0;
    if (stop_free_mb > 0 && free_mb < (uint64_t)stop_free_mb)
        return false;
    bool low = warn_free_mb > 0 && free_mb < (uint64_t)warn_free_mb;
    if (low)
        wcscpy(warning, L"low_space");
    if (ivra_big)
        wcscat(warning, low ? L",ivra_big" : L"ivra_big");
    return true;
}

bool storage_balloon_due(uint64_t last_ms, uint64_t now_ms)
{
    return last_ms == 0 || now_ms < last_ms || now_ms - last_ms >= STORAGE_BALLOON_GAP_MS;
}

namespace {
// Tick of the last storage balloon; only the capture thread passes the gate.
uint64_t g_last_balloon_ms = 0;
}  // namespace

bool storage_gate(const config* cfg, const wchar_t* path, wchar_t* warning, uint64_t* free_mb, wchar_t* drive)
{
    wchar_t query[STORAGE_ROOT_MAX], shown[STORAGE_DRIVE_MAX];
    uint64_t free_bytes = 0;
    if (storage_gate_root(path, query, shown)) {
        ULARGE_INTEGER avail{}, total{};
        if (GetDiskFreeSpaceExW(query, &avail, &total, nullptr))
            free_bytes = avail.QuadPart;
    } else {
        wcscpy(shown, L"?");
    }
    uint64_t mb = free_bytes >> 20;
    if (free_mb)
        *free_mb = mb;
    if (drive)
        wcscpy(drive, shown);

    storage_totals totals;
    storage_totals_get(&totals);
    wchar_t text[STORAGE_WARNING_MAX];
    wchar_t free_text[32];
    format_bytes_wide(free_bytes, free_text, 32);
    if (!storage_gate_decide(mb, cfg->stop_free_mb, cfg->warn_free_mb, totals.ivra_big, text)) {
        if (warning)
            warning[0] = 0;
        log_error("disk full: %ls free on %ls (< %d MB); capture skipped", free_text, shown, cfg->stop_free_mb);
        // The "Disk full" balloon attaches here.
        sounds_play_warning();
        return false;
    }
    if (warning)
        wcscpy(warning, text);
    if (!text[0])
        return true;
    log_warn("storage warning (%ls): %ls free on %ls", text, free_text, shown);
    uint64_t now = GetTickCount64();
    if (storage_balloon_due(g_last_balloon_ms, now)) {
        g_last_balloon_ms = now;
        // The "Low disk space" / "Ivra captures exceed" balloon attaches here.
    }
    return true;
}

bool storage_thread_start(void) { return true; }
void storage_thread_stop(unsigned long) {}
void storage_wake(void) {}
