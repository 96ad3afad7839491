// Test stand-in for the installer library. It reads the release feed through the
// agent's feed delegate and compares it with the installed version.
//
// Feed: one package file per line, "VERSION full|delta FILE_NAME SIZE"; blank lines
// and lines starting with '#' are skipped. No package line: the feed is empty.
// Settings, read on every check from "velopack-standin.txt" beside this library,
// one "key=value" a line: feed=NAME (default "releases.win.json"), current=VERSION
// (default "0.2.12"), manager=fail (the manager cannot be created).
#include "common/win.h"
#include "agent/maint/vpkc.h"
#include <cstdio>
#include <cstdlib>
#include <cstring>

#define STANDIN_EXPORT extern "C" __declspec(dllexport)

struct vpkc_source {
    vpkc_feed_fn feed;
    vpkc_free_feed_fn free_feed;
    vpkc_download_fn download;
    void* context;
};

struct vpkc_manager {
    vpkc_source* source;
    vpkc_options options;
};

namespace {

HMODULE g_module;
char g_error[256];
vpkc_log_fn g_log;
void* g_log_context;
vpkc_progress_fn g_progress;
void* g_progress_context;

struct standin_settings {
    char feed[160];
    char current[32];
    bool manager_fails;
};

void standin_log(const char* level, const char* fmt, const char* arg) {
    if (!g_log) return;
    char text[256];
    snprintf(text, sizeof text, fmt, arg);
    g_log(g_log_context, level, text);
}

void standin_error(const char* text) { snprintf(g_error, sizeof g_error, "%s", text); }

void standin_read_settings(standin_settings* s) {
    snprintf(s->feed, sizeof s->feed, "releases.win.json");
    snprintf(s->current, sizeof s->current, "0.2.12");
    s->manager_fails = false;
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(g_module, path, MAX_PATH);
    wchar_t* slash = (n > 0 && n < MAX_PATH) ? wcsrchr(path, L'\\') : nullptr;
    if (!slash || (size_t)(slash - path) + 32 >= MAX_PATH) return;
    wcscpy(slash + 1, L"velopack-standin.txt");
    FILE* f = _wfopen(path, L"rb");
    if (!f) return;
    char line[256];
    while (fgets(line, sizeof line, f)) {
        line[strcspn(line, "\r\n")] = 0;
        if (!strncmp(line, "feed=", 5))
            snprintf(s->feed, sizeof s->feed, "%s", line + 5);
        else if (!strncmp(line, "current=", 8))
            snprintf(s->current, sizeof s->current, "%s", line + 8);
        else if (!strcmp(line, "manager=fail"))
            s->manager_fails = true;
    }
    fclose(f);
}

// Dotted numeric versions: negative, zero or positive like strcmp.
int standin_version_compare(const char* a, const char* b) {
    while (*a || *b) {
        unsigned long x = strtoul(a, (char**)&a, 10), y = strtoul(b, (char**)&b, 10);
        if (x != y) return x < y ? -1 : 1;
        if (*a == '.') a++;
        if (*b == '.') b++;
        if ((*a && (*a < '0' || *a > '9')) || (*b && (*b < '0' || *b > '9'))) break;
    }
    return 0;
}

char* standin_dup(const char* s) {
    size_t n = strlen(s) + 1;
    char* p = (char*)malloc(n);
    if (p) memcpy(p, s, n);
    return p;
}

struct standin_line {
    char version[32];
    char kind[8];
    char file[128];
    unsigned long long size;
};

bool standin_parse(const char* line, standin_line* out) {
    while (*line == ' ' || *line == '\t') line++;
    if (!*line || *line == '#') return false;
    return sscanf(line, "%31s %7s %127s %llu", out->version, out->kind, out->file, &out->size) == 4;
}

void standin_fill(vpkc_asset* a, const standin_line* l) {
    a->version = standin_dup(l->version);
    a->file_name = standin_dup(l->file);
    a->size = l->size;
    a->delta = strcmp(l->kind, "delta") == 0;
}

void standin_free_asset(vpkc_asset* a) {
    free((void*)a->version);
    free((void*)a->file_name);
}

}  // namespace

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) g_module = instance;
    return TRUE;
}

STANDIN_EXPORT vpkc_source* vpkc_new_source_custom_callback(vpkc_feed_fn feed, vpkc_free_feed_fn free_feed,
                                                            vpkc_download_fn download, void* context) {
    if (!feed || !free_feed || !download) {
        standin_error("a release source needs all three delegates");
        return nullptr;
    }
    vpkc_source* s = (vpkc_source*)calloc(1, sizeof *s);
    if (s) *s = vpkc_source{feed, free_feed, download, context};
    return s;
}

STANDIN_EXPORT void vpkc_source_report_progress(size_t, int percent) {
    if (g_progress) g_progress(g_progress_context, percent);
}

STANDIN_EXPORT int vpkc_new_update_manager_with_source(vpkc_source* source, const vpkc_options* options, const void*,
                                                       vpkc_manager** out) {
    standin_settings s;
    standin_read_settings(&s);
    if (!source || !out || s.manager_fails) {
        standin_error("this copy is not an installed app");
        return 0;
    }
    vpkc_manager* m = (vpkc_manager*)calloc(1, sizeof *m);
    if (!m) return 0;
    m->source = source;
    if (options) m->options = *options;
    standin_log("info", "%s", "manager ready");
    *out = m;
    return 1;
}

STANDIN_EXPORT size_t vpkc_get_current_version(vpkc_manager*, char* out, size_t capacity) {
    standin_settings s;
    standin_read_settings(&s);
    if (out && capacity) snprintf(out, capacity, "%s", s.current);
    return strlen(s.current);
}

STANDIN_EXPORT int vpkc_check_for_updates(vpkc_manager* m, vpkc_update_info** out) {
    if (!m || !out) {
        standin_error("no manager");
        return VPKC_CHECK_ERROR;
    }
    standin_settings s;
    standin_read_settings(&s);
    standin_log("info", "reading feed %s", s.feed);
    char* feed = m->source->feed(m->source->context, s.feed);
    if (!feed) {
        standin_error("the release feed could not be read");
        return VPKC_CHECK_ERROR;
    }
    // First pass: the newest version and whether the feed lists anything at all.
    standin_line l, newest{};
    bool any = false;
    for (char* p = feed; *p;) {
        char* end = p + strcspn(p, "\r\n");
        char saved = *end;
        *end = 0;
        if (standin_parse(p, &l) && (!any || standin_version_compare(l.version, newest.version) > 0)) {
            newest = l;
            any = true;
        }
        *end = saved;
        p = *end ? end + 1 : end;
    }
    if (!any) {
        m->source->free_feed(m->source->context, feed);
        return VPKC_REMOTE_EMPTY;
    }
    int newer = standin_version_compare(newest.version, s.current) > 0;
    if (!newer && !m->options.allow_downgrade) {
        m->source->free_feed(m->source->context, feed);
        return VPKC_NO_UPDATE;
    }
    vpkc_update_info* info = (vpkc_update_info*)calloc(1, sizeof *info);
    info->deltas = (vpkc_asset*)calloc(64, sizeof(vpkc_asset));
    for (char* p = feed; *p;) {
        char* end = p + strcspn(p, "\r\n");
        char saved = *end;
        *end = 0;
        if (standin_parse(p, &l) && !strcmp(l.version, newest.version)) {
            if (!strcmp(l.kind, "delta") && info->delta_count < 64) {
                standin_fill(&info->deltas[info->delta_count++], &l);
            } else if (!strcmp(l.kind, "full") && !info->target) {
                info->target = (vpkc_asset*)calloc(1, sizeof(vpkc_asset));
                standin_fill(info->target, &l);
            }
        }
        *end = saved;
        p = *end ? end + 1 : end;
    }
    m->source->free_feed(m->source->context, feed);
    if ((int)info->delta_count > m->options.max_deltas) {
        for (size_t i = 0; i < info->delta_count; i++) standin_free_asset(&info->deltas[i]);
        info->delta_count = 0;
    }
    *out = info;
    return VPKC_UPDATE_AVAILABLE;
}

STANDIN_EXPORT int vpkc_download_updates(vpkc_manager* m, const vpkc_update_info* info, vpkc_progress_fn progress,
                                         void* context) {
    if (!m || !info || !info->target) {
        standin_error("nothing to download");
        return 0;
    }
    g_progress = progress;
    g_progress_context = context;
    wchar_t temp[MAX_PATH];
    char folder[MAX_PATH * 3], path[MAX_PATH * 3];
    DWORD n = GetTempPathW(MAX_PATH, temp);
    if (n == 0 || n >= MAX_PATH ||
        !WideCharToMultiByte(CP_UTF8, 0, temp, -1, folder, sizeof folder, nullptr, nullptr)) {
        standin_error("no temporary folder");
        return 0;
    }
    bool ok = true;
    size_t count = info->delta_count ? info->delta_count : 1;
    for (size_t i = 0; ok && i < count; i++) {
        const vpkc_asset* a = info->delta_count ? &info->deltas[i] : info->target;
        snprintf(path, sizeof path, "%s%s", folder, a->file_name);
        ok = m->source->download(m->source->context, a, path, i + 1) != 0;
    }
    g_progress = nullptr;
    if (!ok) standin_error("a package could not be downloaded");
    return ok ? 1 : 0;
}

STANDIN_EXPORT int vpkc_wait_exit_then_apply_updates(vpkc_manager*, const vpkc_asset*, int, int, const char* const*,
                                                     size_t) {
    standin_error("applying updates is not part of the stand-in");
    return 0;
}

STANDIN_EXPORT void vpkc_free_update_info(vpkc_update_info* info) {
    if (!info) return;
    if (info->target) standin_free_asset(info->target);
    free(info->target);
    for (size_t i = 0; i < info->delta_count; i++) standin_free_asset(&info->deltas[i]);
    free(info->deltas);
    free(info);
}

STANDIN_EXPORT size_t vpkc_get_last_error(char* out, size_t capacity) {
    if (out && capacity) snprintf(out, capacity, "%s", g_error);
    return strlen(g_error);
}

STANDIN_EXPORT void vpkc_set_logger(vpkc_log_fn log, void* context) {
    g_log = log;
    g_log_context = context;
}
