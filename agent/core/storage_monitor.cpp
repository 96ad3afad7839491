#include "agent/core/storage_monitor.h"
#include "agent/core/agent.h"
#include "common/config_schema.h"
#include "common/log.h"
#include <cstdlib>
#include <cwchar>

bool storage_gate_root(const wchar_t* path, wchar_t query[STORAGE_ROOT_MAX], wchar_t shown[STORAGE_DRIVE_MAX]) {
    return storage_root(path, query, shown);
}

bool storage_gate_decide(uint64_t free_mb, int stop_free_mb, int warn_free_mb, int ivra_big,
                         wchar_t warning[STORAGE_WARNING_MAX]) {
    warning[0] = 0;
    if (stop_free_mb > 0 && free_mb < (uint64_t)stop_free_mb) return false;
    bool low = warn_free_mb > 0 && free_mb < (uint64_t)warn_free_mb;
    if (low) wcscpy(warning, L"low_space");
    if (ivra_big) wcscat(warning, low ? L",ivra_big" : L"ivra_big");
    return true;
}

bool storage_balloon_due(uint64_t last_ms, uint64_t now_ms) {
    return last_ms == 0 || now_ms < last_ms || now_ms - last_ms >= STORAGE_BALLOON_GAP_MS;
}

void storage_balloon_text(const wchar_t* warning, const wchar_t* free_text, const wchar_t* drive, int warn_ivra_gb,
                          wchar_t out[STORAGE_BALLOON_MAX]) {
    out[0] = 0;
    if (!warning || !warning[0]) return;
    if (wcsstr(warning, L"low_space"))
        swprintf(out, STORAGE_BALLOON_MAX, L"Low disk space: %ls free on %ls", free_text, drive);
    else
        swprintf(out, STORAGE_BALLOON_MAX, L"Ivra captures exceed %d GB", warn_ivra_gb);
}

// ---- Storage totals

namespace {
SRWLOCK g_storage_lock = SRWLOCK_INIT;
storage_totals g_storage = {};
}  // namespace

void storage_totals_add(storage_totals* t, uint64_t size, int kind, const wchar_t* drive, uint64_t drive_free,
                        uint64_t drive_total, const storage_thresholds* th) {
    if (kind == 0) {
        t->stills_bytes += size;
        t->stills_count += 1;
    } else {
        t->clips_bytes += size;
        t->clips_count += 1;
    }
    t->ivra_bytes += size;
    if (drive && drive[0]) {
        wcsncpy(t->drive, drive, 7);
        t->drive[7] = 0;
        t->drive_free = drive_free;
        t->drive_total = drive_total;
    }
    storage_flags_apply(t, th->warn_free_mb, th->stop_free_mb, th->warn_ivra_gb);
}

void storage_totals_set(const storage_totals* t) {
    AcquireSRWLockExclusive(&g_storage_lock);
    g_storage = *t;
    ReleaseSRWLockExclusive(&g_storage_lock);
}

void storage_totals_get(storage_totals* out) {
    AcquireSRWLockShared(&g_storage_lock);
    *out = g_storage;
    ReleaseSRWLockShared(&g_storage_lock);
}

void storage_totals_record(uint64_t size, int kind, const wchar_t* drive, uint64_t drive_free, uint64_t drive_total,
                           const storage_thresholds* th) {
    AcquireSRWLockExclusive(&g_storage_lock);
    storage_totals_add(&g_storage, size, kind, drive, drive_free, drive_total, th);
    ReleaseSRWLockExclusive(&g_storage_lock);
}

bool storage_free_space(const wchar_t* path, wchar_t shown[STORAGE_DRIVE_MAX], uint64_t* avail, uint64_t* total) {
    storage_report r{};
    storage_drive(path, &r);
    wmemcpy(shown, r.drive, STORAGE_DRIVE_MAX);
    *avail = r.drive_free;
    *total = r.drive_total;
    bool ok = r.drive_total != 0;
    const unsigned long fake_mb = agent_debug_ms(L"IVRA_DEBUG_FREE_MB");
    if (fake_mb > 0) {
        *avail = (uint64_t)fake_mb << 20;
        if (*total < *avail) *total = *avail;
        ok = true;
    }
    return ok;
}

namespace {
// Tick of the last storage balloon; only the capture thread passes the gate.
uint64_t g_last_balloon_ms = 0;
storage_notify_fn g_notify = nullptr;
}  // namespace

void storage_set_notifier(storage_notify_fn notify) { g_notify = notify; }

bool storage_gate(const config* cfg, const wchar_t* path, wchar_t* warning, uint64_t* free_mb, wchar_t* drive) {
    wchar_t shown[STORAGE_DRIVE_MAX];
    uint64_t free_bytes = 0, total_bytes = 0;
    storage_free_space(path, shown, &free_bytes, &total_bytes);
    if (!shown[0]) wcscpy(shown, L"?");
    uint64_t mb = free_bytes >> 20;
    if (free_mb) *free_mb = mb;
    if (drive) wcscpy(drive, shown);

    storage_totals totals;
    storage_totals_get(&totals);
    wchar_t text[STORAGE_WARNING_MAX];
    wchar_t free_text[32];
    format_bytes_wide(free_bytes, free_text, 32);
    if (!storage_gate_decide(mb, cfg->stop_free_mb, cfg->warn_free_mb, totals.ivra_big, text)) {
        if (warning) warning[0] = 0;
        log_error("disk full: %ls free on %ls (< %d MB); capture skipped", free_text, shown, cfg->stop_free_mb);
        wchar_t balloon[STORAGE_BALLOON_MAX];
        swprintf(balloon, STORAGE_BALLOON_MAX, L"Disk full - capture skipped (%ls free on %ls)", free_text, shown);
        if (g_notify) g_notify(balloon, true);
        return false;
    }
    if (warning) wcscpy(warning, text);
    if (!text[0]) return true;
    log_warn("storage warning (%ls): %ls free on %ls", text, free_text, shown);
    uint64_t now = GetTickCount64();
    if (storage_balloon_due(g_last_balloon_ms, now)) {
        g_last_balloon_ms = now;
        wchar_t balloon[STORAGE_BALLOON_MAX];
        storage_balloon_text(text, free_text, shown, cfg->warn_ivra_gb, balloon);
        if (g_notify) g_notify(balloon, false);
    }
    return true;
}

// ---- The storage thread

namespace {
HANDLE g_thread = nullptr;
HANDLE g_wake = nullptr;  // auto reset: scan now
HANDLE g_done = nullptr;  // manual reset: set while idle after a scan
volatile LONG g_stop = 0;
// Scans begun and ended; a refresh waits for one that began after it asked.
volatile LONG g_started = 0;
volatile LONG g_finished = 0;

LONG storage_read(volatile LONG* v) { return InterlockedCompareExchange(v, 0, 0); }

DWORD WINAPI storage_thread(void*) {
    log_thread_name(L"ivra-storage");
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
    config* cfg = (config*)calloc(1, sizeof(config));
    storage_report* r = (storage_report*)calloc(1, sizeof(storage_report));
    if (!cfg || !r) {
        log_error("storage: out of memory; no scans");
        free(cfg);
        free(r);
        return 1;
    }
    const unsigned long fake_mb = agent_debug_ms(L"IVRA_DEBUG_FREE_MB");
    if (fake_mb > 0) log_warn("debug: storage free space reported as %lu MB", fake_mb);
    while (!storage_read(&g_stop) && !agent_quitting()) {
        InterlockedIncrement(&g_started);
        // Stands in for a folder on a slow network drive in tests of the stale reply.
        agent_debug_pause(L"IVRA_DEBUG_SCAN_MS", "storage scan");
        agent_config_copy(cfg);
        storage_scan(cfg, r);
        if (fake_mb > 0) {
            r->drive_free = (uint64_t)fake_mb << 20;
            if (r->drive_total < r->drive_free) r->drive_total = r->drive_free;
            storage_flags(cfg, r);
        }
        storage_totals_set(r);
        InterlockedIncrement(&g_finished);
        SetEvent(g_done);
        WaitForSingleObject(g_wake, 60000);
        ResetEvent(g_done);
    }
    free(cfg);
    free(r);
    return 0;
}
}  // namespace

bool storage_thread_start(void) {
    if (g_thread) return true;
    InterlockedExchange(&g_stop, 0);
    g_wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    g_done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (g_wake && g_done) g_thread = CreateThread(nullptr, 0, storage_thread, nullptr, 0, nullptr);
    if (g_thread) return true;
    log_error("storage: thread not started (err=%lu)", GetLastError());
    if (g_wake) CloseHandle(g_wake);
    if (g_done) CloseHandle(g_done);
    g_wake = g_done = nullptr;
    return false;
}

void storage_thread_stop(unsigned long ms) {
    if (!g_thread) return;
    InterlockedExchange(&g_stop, 1);
    SetEvent(g_wake);
    const uint64_t asked = GetTickCount64();
    const DWORD waited = WaitForSingleObject(g_thread, ms);
    // The agent's window stays until every stop step is done; a slow step shows here.
    if (GetTickCount64() - asked >= 250)
        log_warn("slow: storage thread took %llu ms to end", (unsigned long long)(GetTickCount64() - asked));
    if (waited != WAIT_OBJECT_0) {
        // A scan of a slow network folder may outlast the stop; the handles stay with it.
        log_warn("storage: thread did not end in %lu ms", ms);
        return;
    }
    CloseHandle(g_thread);
    CloseHandle(g_wake);
    CloseHandle(g_done);
    g_thread = g_wake = g_done = nullptr;
}

void storage_wake(void) {
    if (g_wake) SetEvent(g_wake);
}

int storage_refresh(unsigned long ms) {
    if (!g_thread) return STORAGE_REFRESH_NO_THREAD;
    const LONG want = storage_read(&g_started) + 1;
    const uint64_t deadline = GetTickCount64() + ms;
    SetEvent(g_wake);
    for (;;) {
        // Reset before looking, so a scan that ends in between still sets the event.
        ResetEvent(g_done);
        if (storage_read(&g_finished) - want >= 0) return STORAGE_REFRESH_DONE;
        const uint64_t now = GetTickCount64();
        if (now >= deadline) return STORAGE_REFRESH_STALE;
        WaitForSingleObject(g_done, (DWORD)(deadline - now));
    }
}
