#include "cli/cmd_storage.h"
#include "cli/cli.h"
#include "cli/pipe_client.h"
#include "common/config_schema.h"
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <initializer_list>

namespace {

uint64_t storage_field_u64(const char* reply, const char* key) {
    char value[32];
    pipe_client_reply_field_get_utf8(reply, key, value, sizeof value);
    return strtoull(value, nullptr, 10);
}

long long storage_field_ll(const char* reply, const char* key) {
    char value[32];
    pipe_client_reply_field_get_utf8(reply, key, value, sizeof value);
    return strtoll(value, nullptr, 10);
}

const char* storage_bool(int flag) { return flag ? "true" : "false"; }

}  // namespace

bool cmd_storage_reply_parse(const char* reply, storage_view* v) {
    if (!pipe_client_reply_ok(reply)) return false;
    for (const char* key : {"drive", "total", "free", "ivra"}) {
        if (!pipe_client_reply_field_find(reply, key, nullptr)) return false;
    }
    storage_view s{};
    storage_report& r = s.report;
    wchar_t drive[64];
    pipe_client_reply_field_get(reply, "drive", drive, 64);
    wcsncpy(r.drive, drive, STORAGE_DRIVE_MAX - 1);
    r.drive[STORAGE_DRIVE_MAX - 1] = 0;
    r.drive_total = storage_field_u64(reply, "total");
    r.drive_free = storage_field_u64(reply, "free");
    r.stills_bytes = storage_field_u64(reply, "stills");
    r.stills_count = (uint32_t)storage_field_u64(reply, "stills_n");
    r.clips_bytes = storage_field_u64(reply, "clips");
    r.clips_count = (uint32_t)storage_field_u64(reply, "clips_n");
    r.other_bytes = storage_field_u64(reply, "other");
    r.other_count = (uint32_t)storage_field_u64(reply, "other_n");
    r.ivra_bytes = storage_field_u64(reply, "ivra");
    r.roots = (int)storage_field_ll(reply, "roots");
    r.scan_ms = (uint32_t)storage_field_u64(reply, "scan_ms");
    r.low_space = storage_field_ll(reply, "low_space") != 0;
    r.disk_full = storage_field_ll(reply, "disk_full") != 0;
    r.ivra_big = storage_field_ll(reply, "ivra_big") != 0;
    s.age_s = storage_field_ll(reply, "age_s");
    s.warn_free_mb = (int)storage_field_ll(reply, "warn_free_mb");
    s.stop_free_mb = (int)storage_field_ll(reply, "stop_free_mb");
    s.warn_ivra_gb = (int)storage_field_ll(reply, "warn_ivra_gb");
    *v = s;
    return true;
}

bool cmd_storage_json(const storage_view* v, char* out, size_t capacity) {
    const storage_report* r = &v->report;
    char drive[64];
    cli_json_escape(r->drive, drive, sizeof drive);
    int n = snprintf(
        out, capacity,
        "{\"drive\":\"%s\",\"total\":%llu,\"free\":%llu,\"stills\":{\"bytes\":%llu,\"files\":%lu},"
        "\"clips\":{\"bytes\":%llu,\"files\":%lu},\"other\":{\"bytes\":%llu,\"files\":%lu},"
        "\"ivra\":%llu,\"roots\":%d,\"age_s\":%lld,\"scan_ms\":%d,"
        "\"flags\":{\"low_space\":%s,\"disk_full\":%s,\"ivra_big\":%s},"
        "\"thresholds\":{\"warn_free_mb\":%d,\"stop_free_mb\":%d,\"warn_ivra_gb\":%d}}\n",
        drive, (unsigned long long)r->drive_total, (unsigned long long)r->drive_free,
        (unsigned long long)r->stills_bytes, (unsigned long)r->stills_count, (unsigned long long)r->clips_bytes,
        (unsigned long)r->clips_count, (unsigned long long)r->other_bytes, (unsigned long)r->other_count,
        (unsigned long long)r->ivra_bytes, r->roots, v->age_s, (int)r->scan_ms, storage_bool(r->low_space),
        storage_bool(r->disk_full), storage_bool(r->ivra_big), v->warn_free_mb, v->stop_free_mb, v->warn_ivra_gb);
    if (n < 0 || (size_t)n >= capacity) {
        if (capacity) out[0] = 0;
        return false;
    }
    return true;
}

void cmd_storage_text(const storage_view* v, wchar_t* out, size_t capacity) {
    if (capacity == 0) return;
    out[0] = 0;
    const storage_report* r = &v->report;
    wchar_t total[32], free_text[32], ivra[32], stills[32], clips[32], other[32];
    format_bytes_wide(r->drive_total, total, 32);
    format_bytes_wide(r->drive_free, free_text, 32);
    format_bytes_wide(r->ivra_bytes, ivra, 32);
    format_bytes_wide(r->stills_bytes, stills, 32);
    format_bytes_wide(r->clips_bytes, clips, 32);
    format_bytes_wide(r->other_bytes, other, 32);
    const unsigned share = r->drive_total ? (unsigned)(r->drive_free * 100 / r->drive_total) : 0;
    const wchar_t* drive_flag = r->disk_full ? L"   [disk full!]" : r->low_space ? L"   [low space!]" : L"";
    swprintf(out, capacity,
             L"Drive %ls   %ls total   %ls free (%u%%)%ls\n"
             L"Ivra   %ls in %d folders   (scanned %lld s ago, %d ms)%ls\n"
             L"  Stills   %-10ls %5lu files\n"
             L"  Clips    %-10ls %5lu files\n"
             L"  Other    %-10ls %5lu files\n"
             L"Thresholds   warn <%d MB free \u00b7 stop <%d MB free \u00b7 ivra >%d GB%ls\n",
             r->drive[0] ? r->drive : L"?", total, free_text, share, drive_flag, ivra, r->roots, v->age_s,
             (int)r->scan_ms, r->ivra_big ? L"  [over warn_ivra_gb!]" : L"", stills, (unsigned long)r->stills_count,
             clips, (unsigned long)r->clips_count, other, (unsigned long)r->other_count, v->warn_free_mb,
             v->stop_free_mb, v->warn_ivra_gb, v->warn_ivra_gb == 0 ? L" (off)" : L"");
}

namespace {
// Large records stay off the console thread's stack.
config g_storage_cfg;
storage_view g_storage_view;
char g_storage_reply[2048];
char g_storage_json[2048];
wchar_t g_storage_text[2048];
}  // namespace

int cmd_storage_command(int argc, wchar_t** argv) {
    bool refresh = false;
    for (int i = 0; i < argc; ++i) refresh = refresh || (argv[i] && wcscmp(argv[i], L"--refresh") == 0);
    config_load(&g_storage_cfg);
    storage_view* v = &g_storage_view;
    const int rc =
        pipe_client_call(refresh ? "storage\trefresh=1" : "storage", g_storage_reply, sizeof g_storage_reply, 30000);
    if (rc != PIPE_CALL_OK || !cmd_storage_reply_parse(g_storage_reply, v)) {
        cli_note("agent not running; scanning locally");
        *v = storage_view{};
        storage_scan(&g_storage_cfg, &v->report);
        v->age_s = 0;
        v->warn_free_mb = g_storage_cfg.warn_free_mb;
        v->stop_free_mb = g_storage_cfg.stop_free_mb;
        v->warn_ivra_gb = g_storage_cfg.warn_ivra_gb;
    }
    if (g_cli.json) {
        cmd_storage_json(v, g_storage_json, sizeof g_storage_json);
        cli_out_write(g_storage_json);
    } else {
        cmd_storage_text(v, g_storage_text, sizeof g_storage_text / sizeof g_storage_text[0]);
        cli_out_write_wide(g_storage_text);
    }
    return CLI_EXIT_OK;
}
