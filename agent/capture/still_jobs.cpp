#include "agent/capture/still_jobs.h"
#include "agent/capture/capture.h"
#include "agent/capture/capture_thread.h"
#include "agent/capture/display_cache.h"
#include "agent/capture/still_encoder.h"
#include "agent/core/agent.h"
#include "agent/core/capture_files.h"
#include "agent/core/frame_pool.h"
#include "agent/core/messages.h"
#include "agent/core/saved_capture.h"
#include "agent/core/storage_monitor.h"
#include "agent/core/worker_pool.h"
#include "common/log.h"
#include "common/rect.h"
#include "common/text.h"
#include <cstdio>
#include <cstring>
#include <cwchar>

// ---- Pure helpers

uint64_t still_buffer_bytes(int64_t width, int64_t height) {
    // Sides beyond 2^31 cannot be captured; refusing them keeps the product in 64 bits.
    if (width <= 0 || height <= 0 || width > 0x7FFFFFFF || height > 0x7FFFFFFF) return 0;
    return (uint64_t)width * (uint64_t)height * 4u;
}

uint64_t still_shot_bytes(int64_t width, int64_t height, int format) {
    const uint64_t frame = still_buffer_bytes(width, height);
    if (frame == 0) return 0;
    const uint64_t work = still_encoder_work_bytes(width, height, format);
    return work > UINT64_MAX - frame ? UINT64_MAX : frame + work;
}

bool still_shot_fits(int64_t width, int64_t height, int format, uint64_t budget, char* err, size_t err_cap) {
    if (!still_encoder_size_ok(width, height, format, err, err_cap)) return false;
    const uint64_t need = still_shot_bytes(width, height, format);
    if (need > budget) {
        const uint64_t mb = 1048576;
        text_format_into(err, err_cap,
                         "capture: a %lldx%lld %s shot is too large: it needs %llu MB of frame memory and the stills "
                         "budget is %llu MB.",
                         (long long)width, (long long)height, format == 1 ? "JPEG" : "PNG",
                         (unsigned long long)((need + mb - 1) / mb), (unsigned long long)(budget / mb));
        return false;
    }
    return true;
}

const char* still_name_code(const char* code) {
    static const char* const known[] = {"busy",    "disk_full", "bad_hwnd",  "minimized", "no_coverage",
                                        "capture", "encode",    "cancelled", "internal"};
    for (const char* k : known)
        if (code && strcmp(code, k) == 0) return k;
    return "internal";
}

static int still_cut(wchar_t* out, size_t cap, int n) {
    out[cap - 1] = 0;
    if (n < 0 || (size_t)n >= cap) return (int)wcslen(out);
    return n;
}

int still_describe_monitor(wchar_t out[STILL_TARGET_MAX], int index) {
    int n = index < 0 ? _snwprintf(out, STILL_TARGET_MAX, L"monitor under cursor")
                      : _snwprintf(out, STILL_TARGET_MAX, L"monitor %d", index);
    return still_cut(out, STILL_TARGET_MAX, n);
}

int still_describe_window(wchar_t out[STILL_TARGET_MAX], const void* hwnd, const wchar_t* title) {
    wchar_t shown[STILL_TITLE_SHOWN + 1];
    wcsncpy(shown, title ? title : L"", STILL_TITLE_SHOWN);
    shown[STILL_TITLE_SHOWN] = 0;
    int n = _snwprintf(out, STILL_TARGET_MAX, L"window %p \"%ls\"", hwnd, shown);
    return still_cut(out, STILL_TARGET_MAX, n);
}

int still_describe_rect(wchar_t out[STILL_TARGET_MAX], const RECT* r) {
    int n = _snwprintf(out, STILL_TARGET_MAX, L"rect %ld,%ld %lldx%lld", (long)r->left, (long)r->top,
                       (long long)r->right - r->left, (long long)r->bottom - r->top);
    return still_cut(out, STILL_TARGET_MAX, n);
}

int still_describe_pick(wchar_t out[STILL_TARGET_MAX], int width, int height) {
    return still_cut(out, STILL_TARGET_MAX, _snwprintf(out, STILL_TARGET_MAX, L"pick %dx%d", width, height));
}

int still_error_text(wchar_t out[STILL_ERROR_MAX], const char* code, const char* msg) {
    int n = _snwprintf(out, STILL_ERROR_MAX, L"%hs\tmsg=%hs", code ? code : "", msg ? msg : "");
    return still_cut(out, STILL_ERROR_MAX, n);
}

int still_pick_format(int requested, int configured) {
    if (requested == 0 || requested == 1) return requested;
    return configured == 1 ? 1 : 0;
}

int still_pick_quality(int requested, int configured) { return requested >= 1 ? requested : configured; }

const wchar_t* still_ext(int format) { return format == 1 ? L"jpg" : L"png"; }

const wchar_t* still_gate_path(const wchar_t* out_path, const wchar_t* dir, const wchar_t* stills_dir) {
    if (out_path && out_path[0]) return out_path;
    if (dir && dir[0]) return dir;
    return stills_dir ? stills_dir : L"";
}

bool still_rect_covered(const RECT* rect, const RECT* outputs, int output_count) {
    if (!rect || rect->right <= rect->left || rect->bottom <= rect->top) return false;
    RECT clip;
    for (int i = 0; i < output_count; i++)
        if (rect_intersect(rect, &outputs[i], &clip)) return true;
    return false;
}

int64_t still_elapsed_ms(int64_t start, int64_t now, int64_t freq) {
    if (start == 0 || freq <= 0 || now < start) return 0;
    return (now - start) * 1000 / freq;
}

// ---- Shared steps

namespace {

int64_t still_qpc() {
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t.QuadPart;
}

int64_t still_qpf() {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f.QuadPart;
}

bool still_selecting() { return InterlockedCompareExchange(&g_agent.selecting, 0, 0) != 0; }

// Set once by the wiring before the capture thread starts; read-only afterwards.
still_hooks g_hooks{};

void still_play(int sound) {
    if (g_hooks.play) g_hooks.play(sound);
}

void still_warning_tone() { still_play(STILL_SOUND_WARNING); }

void still_capture_sound(const config* cfg, const wchar_t* warning) {
    if (!cfg->play_sound) return;
    if (warning && warning[0])
        still_warning_tone();
    else
        still_play(STILL_SOUND_CHIME);
}

void still_log_exhausted() {
    frame_stats st{};
    frame_pool_stats(g_agent.frames_stills, &st);
    log_warn("stills pool exhausted (%d in use, %llu MB)", st.in_use, (unsigned long long)(st.allocated / 1048576));
}

void still_post_failed() {
    if (g_agent.wnd) PostMessageW(g_agent.wnd, WM_AGENT_SHOT_FAILED, 0, 0);
}

// Performance-counter marks of one screenshot on the capture thread.
struct still_marks {
    int64_t began, gated, grabbed;
};

// The hand-off part is what the capture thread adds to the capture itself.
void still_log_queued(const still_marks* m, uint32_t w, uint32_t h) {
    int64_t now = still_qpc();
    double f = (double)still_qpf() / 1000.0;
    int64_t gated = m->gated ? m->gated : m->began, grabbed = m->grabbed ? m->grabbed : gated;
    log_info("capture: %ux%u queued in %.2f ms (gate %.2f, grab %.2f, hand-off %.2f)", w, h,
             (double)(now - m->began) / f, (double)(gated - m->began) / f, (double)(grabbed - gated) / f,
             (double)(now - grabbed) / f);
}

// Hands a filled buffer to the stills pool. False (buffer still held by the caller) when refused.
bool still_submit(frame_buffer* buf) { return worker_pool_submit(g_agent.stills, still_save_job, buf); }

// The capture side's answer to a request it cannot serve.
void still_fail(still_request* job, const char* code, const char* msg) {
    log_info("capture: shot refused: %s: %s", code, msg);
    still_request_fail(job, code, msg);
}

void still_fail_exhausted(still_request* job) {
    still_log_exhausted();
    still_warning_tone();
    still_fail(job, "busy", "stills pool exhausted; try again");
}

// What the encoder cannot take or the stills budget can never hold is refused before capturing.
bool still_precheck(int64_t w, int64_t h, int format, char* err, size_t err_cap) {
    frame_stats st{};
    frame_pool_stats(g_agent.frames_stills, &st);
    return still_shot_fits(w, h, format, st.budget, err, err_cap);
}

// Fails a request with a "code: sentence" text of the file-name rules.
void still_fail_split(still_request* job, const char* err) {
    char code[32] = "internal";
    const char* msg = err;
    capture_error_split(err, code, sizeof code, &msg);
    still_fail(job, still_name_code(code), msg);
}

// The foreground window when it is worth capturing: not the shell, the desktop or ours.
HWND still_foreground_window() {
    HWND w = GetForegroundWindow();
    if (!w || w == GetShellWindow() || w == GetDesktopWindow()) return nullptr;
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    if (pid == GetCurrentProcessId()) return nullptr;
    return w;
}

enum still_handoff { STILL_QUEUED = 0, STILL_NO_NAME = 1, STILL_REFUSED = 2 };

// Names the buffer's file and queues the save; for a request writes the final path back.
// Unless STILL_QUEUED the buffer is still the caller's; STILL_NO_NAME fills err.
still_handoff still_name_and_submit(frame_buffer* buf, const config* cfg, const capture_dest* dest, int format,
                                    int quality, still_request* job, char* err, size_t err_cap) {
    buf->kind = FRAME_KIND_STILL;
    buf->format = format;
    buf->jpeg_quality = quality;
    if (!capture_dest_path(cfg, 0, dest, still_ext(format), buf->path, err, err_cap)) return STILL_NO_NAME;
    buf->job = job;
    wchar_t asked[260] = L"";
    if (job) {
        wcscpy(asked, job->path);
        wcsncpy(job->path, buf->path, 259);
        job->path[259] = 0;
    }
    if (still_submit(buf)) return STILL_QUEUED;
    capture_name_release(buf->path);
    buf->job = nullptr;
    if (job) wcscpy(job->path, asked);
    return STILL_REFUSED;
}

// Queues the save of a waiting request's frame. False when refused: the buffer is released
// and the request answered. The silent flag and warning are copied out first, because the
// save job may answer and free the request as soon as it is queued.
bool still_submit_request(frame_buffer* buf, const config* cfg, const capture_dest* dest, int format, int quality,
                          still_request* job, int* silent, wchar_t warning[STORAGE_WARNING_MAX]) {
    char err[STILL_ERR_MAX] = "";
    *silent = job->silent;
    wcscpy(warning, job->warning);
    const still_handoff handed = still_name_and_submit(buf, cfg, dest, format, quality, job, err, sizeof err);
    if (handed == STILL_QUEUED) return true;
    frame_pool_release(buf);
    if (handed == STILL_REFUSED) {
        still_fail_exhausted(job);
    } else {
        // A destination that cannot be named is the request's own fault, not a capture failure.
        log_warn("capture: no file name: %s", err);
        still_fail_split(job, err);
    }
    return false;
}

// The same for a hotkey, tray or region capture nobody waits for: a refusal is told to the user.
bool still_submit_unrequested(frame_buffer* buf, const config* cfg, const capture_dest* dest, int format, int quality) {
    char err[STILL_ERR_MAX] = "";
    const still_handoff handed = still_name_and_submit(buf, cfg, dest, format, quality, nullptr, err, sizeof err);
    if (handed == STILL_QUEUED) return true;
    frame_pool_release(buf);
    if (handed == STILL_REFUSED) {
        still_log_exhausted();
        still_warning_tone();
    } else {
        log_warn("capture: no file name: %s", err);
        still_post_failed();
    }
    return false;
}

}  // namespace

// ---- Hotkey actions

namespace {
SRWLOCK g_last_folder_lock = SRWLOCK_INIT;
wchar_t g_last_folder[260] = L"";
}  // namespace

void still_last_folder(wchar_t out[260]) {
    AcquireSRWLockShared(&g_last_folder_lock);
    wcscpy(out, g_last_folder);
    ReleaseSRWLockShared(&g_last_folder_lock);
}

void still_hotkey_action(display_cache* cache, int action, int digit) {
    if (action < HOTKEY_SCREEN || action > HOTKEY_REGION) return;
    if (agent_quitting() || still_selecting()) return;
    still_marks marks{still_qpc(), 0, 0};
    config cfg;
    agent_config_copy(&cfg);
    wchar_t base[CAPTURE_PATH_MAX];
    int slot_used = 0;
    capture_digit_base(&cfg, 0, digit, base, &slot_used);
    AcquireSRWLockExclusive(&g_last_folder_lock);
    wcscpy(g_last_folder, slot_used ? base : L"");
    ReleaseSRWLockExclusive(&g_last_folder_lock);
    wchar_t warning[STORAGE_WARNING_MAX] = L"";
    if (!storage_gate(&cfg, base, warning, nullptr, nullptr)) return;
    marks.gated = still_qpc();

    if (action == HOTKEY_REGION) {
        still_region_pick(cache, digit, nullptr, warning, 0);
        return;
    }

    capture_target target{};
    RECT size_rect{};
    HWND window = nullptr;
    if (action == HOTKEY_WINDOW) {
        window = still_foreground_window();
        if (!window) {
            log_info("capture: no valid foreground window to capture");
            return;
        }
        target.kind = CAPTURE_TARGET_WINDOW;
        target.window = window;
    } else {
        POINT p{};
        GetCursorPos(&p);
        target.kind = CAPTURE_TARGET_MONITOR;
        target.monitor = MonitorFromPoint(p, MONITOR_DEFAULTTOPRIMARY);
    }
    if (!capture_resolve(&target)) {
        log_warn("capture: capture_resolve failed");
        return;
    }
    if (window) {
        if (!GetWindowRect(window, &size_rect)) size_rect = target.rect;
    } else {
        size_rect = target.rect;
    }

    const int format = still_pick_format(-1, cfg.still_format);
    const int64_t want_w = (int64_t)size_rect.right - size_rect.left,
                  want_h = (int64_t)size_rect.bottom - size_rect.top;
    char why[STILL_ERR_MAX] = "";
    if (!still_precheck(want_w, want_h, format, why, sizeof why)) {
        log_warn("capture: shot refused: %s", why);
        still_warning_tone();
        still_post_failed();
        return;
    }
    frame_buffer* buf = frame_pool_acquire(g_agent.frames_stills, still_shot_bytes(want_w, want_h, format));
    if (!buf) {
        still_log_exhausted();
        still_warning_tone();
        return;
    }
    bool ok = cache && capture_target_grab(cache, &target, buf);
    if (!ok && window) {
        log_info("capture: dxgi failed, trying PrintWindow fallback");
        ok = capture_print_window(window, buf);
    }
    if (!ok) {
        log_warn("capture: capture failed kind=%d", action);
        still_post_failed();
        frame_pool_release(buf);
        return;
    }
    marks.grabbed = still_qpc();
    // The digit's folder is already in base; naming it again would repeat the chord line.
    capture_dest dest{nullptr, base, nullptr, 0};
    uint32_t w = buf->width, h = buf->height;
    if (!still_submit_unrequested(buf, &cfg, &dest, format, cfg.jpeg_quality)) return;
    still_capture_sound(&cfg, warning);
    still_log_queued(&marks, w, h);
}

// ---- Pipe requests

void still_pipe_shot(display_cache* cache, still_request* job) {
    if (!job) return;
    still_marks marks{still_qpc(), 0, 0};
    if (agent_quitting() || still_selecting()) {
        still_fail(job, "busy", "another capture selection is active or the agent is stopping");
        return;
    }
    if (cache) display_cache_validate(cache);
    config cfg;
    agent_config_copy(&cfg);

    const wchar_t* gate = still_gate_path(job->path, job->dir, cfg.stills_dir);
    if (!storage_gate(&cfg, gate, job->warning, &job->free_mb, job->drive)) {
        still_fail(job, "disk_full", "drive free space below stop_free_mb");
        return;
    }
    marks.gated = still_qpc();

    RECT size_rect{};
    int out_index = -1;
    HMONITOR cursor_monitor = nullptr;
    switch (job->kind) {
    case STILL_WINDOW:
        // Answered before a buffer is taken: nothing to give back.
        if (!job->hwnd || !IsWindow(job->hwnd)) {
            still_fail(job, "bad_hwnd", "window does not exist");
            return;
        }
        if (IsIconic(job->hwnd)) {
            still_fail(job, "minimized", "window is minimized");
            return;
        }
        if (!GetWindowRect(job->hwnd, &size_rect)) size_rect = RECT{};
        break;
    case STILL_RECT: {
        size_rect = RECT{job->left, job->top, job->right, job->bottom};
        RECT outs[DISPLAY_MAX_OUTPUTS];
        int n = cache ? display_cache_output_count(cache) : 0;
        for (int i = 0; i < n; i++) display_cache_output_rect(cache, i, &outs[i]);
        // Coverage first: a rectangle far off every monitor is answered as such, whatever its size.
        if (!still_rect_covered(&size_rect, outs, n)) {
            still_fail(job, "no_coverage", "rect covers no monitor");
            return;
        }
        break;
    }
    case STILL_PICK:
        // The selection answers later; the capture side's reference goes with it.
        still_region_pick(cache, 0, job, job->warning, job->silent);
        return;
    default: {
        MONITORINFO mi{};
        mi.cbSize = sizeof mi;
        if (job->monitor == -1) {
            POINT p{};
            GetCursorPos(&p);
            cursor_monitor = MonitorFromPoint(p, MONITOR_DEFAULTTOPRIMARY);
            if (cursor_monitor && GetMonitorInfoW(cursor_monitor, &mi)) size_rect = mi.rcMonitor;
        } else if (cache && job->monitor >= 0 && job->monitor < display_cache_output_count(cache)) {
            out_index = job->monitor;
            display_cache_output_rect(cache, out_index, &size_rect);
        } else {
            log_warn("capture: monitor %d does not exist", job->monitor);
            still_fail(job, "capture", "capture failed (see agent log)");
            return;
        }
        break;
    }
    }

    const int format = still_pick_format(job->format, cfg.still_format);
    const int64_t want_w = (int64_t)size_rect.right - size_rect.left,
                  want_h = (int64_t)size_rect.bottom - size_rect.top;
    char why[STILL_ERR_MAX] = "";
    // A size the system could not tell is left to the capture, which reports its own failure.
    if (want_w > 0 && want_h > 0 && !still_precheck(want_w, want_h, format, why, sizeof why)) {
        still_fail_split(job, why);
        return;
    }
    frame_buffer* buf = frame_pool_acquire(g_agent.frames_stills, still_shot_bytes(want_w, want_h, format));
    if (!buf) {
        still_fail_exhausted(job);
        return;
    }

    bool ok = false;
    if (job->kind == STILL_WINDOW) {
        HWND w = job->hwnd;
        if (job->occluded) {
            ok = capture_print_window(w, buf);
        } else {
            capture_target t{};
            t.kind = CAPTURE_TARGET_WINDOW;
            t.window = w;
            ok = cache && capture_resolve(&t) && capture_target_grab(cache, &t, buf);
            if (!ok) {
                log_info("capture: dxgi failed, trying PrintWindow fallback");
                ok = capture_print_window(w, buf);
            }
        }
        wchar_t title[STILL_TITLE_SHOWN + 1] = L"";
        GetWindowTextW(w, title, STILL_TITLE_SHOWN + 1);
        still_describe_window(job->target, (const void*)w, title);
    } else if (job->kind == STILL_RECT) {
        still_describe_rect(job->target, &size_rect);
        ok = capture_rect(cache, &size_rect, buf);
    } else if (job->monitor == -1) {
        still_describe_monitor(job->target, -1);
        capture_target t{};
        t.kind = CAPTURE_TARGET_MONITOR;
        t.monitor = cursor_monitor;
        ok = cache && capture_resolve(&t) && capture_target_grab(cache, &t, buf);
    } else {
        still_describe_monitor(job->target, job->monitor);
        ok = capture_output(cache, out_index, buf, nullptr);
    }
    if (!ok) {
        frame_pool_release(buf);
        still_fail(job, "capture", "capture failed (see agent log)");
        return;
    }
    marks.grabbed = still_qpc();

    int quality = still_pick_quality(job->quality, cfg.jpeg_quality);
    capture_dest dest{job->path, job->dir, job->folder, 0};
    uint32_t w = buf->width, h = buf->height;
    int silent = 0;
    wchar_t warning[STORAGE_WARNING_MAX];
    if (!still_submit_request(buf, &cfg, &dest, format, quality, job, &silent, warning)) return;
    // From here the save job owns the request's reference; only locals are touched.
    if (!silent) still_capture_sound(&cfg, warning);
    still_log_queued(&marks, w, h);
}

// ---- Region selections

void still_region_free(region_result* rr, const char* why) {
    if (!rr) return;
    if (rr->job) still_fail(rr->job, "cancelled", why ? why : "pick cancelled");
    if (rr->drop) rr->drop(rr->owner, why ? why : "pick cancelled");
    HeapFree(GetProcessHeap(), 0, rr);
}

region_result* still_region_make(const region_selection* sel) {
    region_result* rr = (region_result*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(region_result));
    if (!rr) {
        log_warn("overlay: no memory for the region result");
        return nullptr;
    }
    rr->left = sel->rect.left;
    rr->top = sel->rect.top;
    rr->right = sel->rect.right;
    rr->bottom = sel->rect.bottom;
    rr->digit = sel->digit;
    rr->live = sel->live;
    return rr;
}

bool still_region_post(region_result* rr) {
    if (g_agent.capture_thread_id && PostThreadMessageW(g_agent.capture_thread_id, WM_CAPTURE_REGION, 0, (LPARAM)rr))
        return true;
    log_warn("overlay: cannot post the region to the capture thread (%lu)", GetLastError());
    return false;
}

namespace {

// The save half of a region screenshot; marks time the capture thread's part.
void still_region_save_marked(frame_buffer* buf, int digit, still_request* job, const wchar_t* warning, int no_sound,
                              const still_marks* marks) {
    config cfg;
    agent_config_copy(&cfg);
    uint32_t w = buf->width, h = buf->height;
    if (job) {
        still_describe_pick(job->target, (int)w, (int)h);
        const int format = still_pick_format(job->format, cfg.still_format);
        int quality = still_pick_quality(job->quality, cfg.jpeg_quality);
        capture_dest dest{job->path, job->dir, job->folder, digit};
        int silent = 0;
        wchar_t job_warning[STORAGE_WARNING_MAX];
        if (!still_submit_request(buf, &cfg, &dest, format, quality, job, &silent, job_warning)) return;
        if (!silent) still_capture_sound(&cfg, job_warning);
    } else {
        capture_dest dest{nullptr, nullptr, nullptr, digit};
        if (!still_submit_unrequested(buf, &cfg, &dest, still_pick_format(-1, cfg.still_format), cfg.jpeg_quality))
            return;
        if (!no_sound) still_capture_sound(&cfg, warning);
    }
    still_log_queued(marks, w, h);
}

}  // namespace

frame_buffer* still_region_buffer(int64_t width, int64_t height, const still_request* job) {
    config cfg;
    agent_config_copy(&cfg);
    const int format = still_pick_format(job ? job->format : -1, cfg.still_format);
    char why[STILL_ERR_MAX] = "";
    if (!still_precheck(width, height, format, why, sizeof why)) {
        log_warn("capture: region refused: %s", why);
        return nullptr;
    }
    frame_buffer* buf = frame_pool_acquire(g_agent.frames_stills, still_shot_bytes(width, height, format));
    if (!buf) log_warn("capture: stills pool exhausted for region result");
    return buf;
}

void still_region_save(frame_buffer* buf, int digit, still_request* job, const wchar_t* warning, int no_sound) {
    if (!buf) {
        if (job) still_fail(job, "cancelled", "pick cancelled");
        return;
    }
    still_marks marks{still_qpc(), 0, 0};
    marks.grabbed = marks.began;
    still_region_save_marked(buf, digit, job, warning, no_sound, &marks);
}

void still_region_result(display_cache* cache, region_result* rr) {
    if (!rr) return;
    if (rr->take) {
        void (*take)(display_cache*, void*, const RECT*, int) = rr->take;
        rr->take = nullptr;
        rr->drop = nullptr;
        RECT sel{rr->left, rr->top, rr->right, rr->bottom};
        take(cache, rr->owner, &sel, rr->digit);
        still_region_free(rr, nullptr);
        return;
    }
    still_marks marks{still_qpc(), 0, 0};
    still_request* job = rr->job;
    rr->job = nullptr;
    if (rr->live) Sleep(50);  // let the overlay leave the screen before reading it
    RECT r{rr->left, rr->top, rr->right, rr->bottom};
    config cfg;
    agent_config_copy(&cfg);
    const int format = still_pick_format(job ? job->format : -1, cfg.still_format);
    const int64_t want_w = (int64_t)r.right - r.left, want_h = (int64_t)r.bottom - r.top;
    char why[STILL_ERR_MAX] = "";
    if (!still_precheck(want_w, want_h, format, why, sizeof why)) {
        if (job) {
            still_fail_split(job, why);
        } else {
            log_warn("capture: region refused: %s", why);
            still_warning_tone();
            still_post_failed();
        }
        still_region_free(rr, nullptr);
        return;
    }
    frame_buffer* buf = frame_pool_acquire(g_agent.frames_stills, still_shot_bytes(want_w, want_h, format));
    if (!buf) {
        if (job) {
            still_fail_exhausted(job);
        } else {
            log_warn("capture: stills pool exhausted for region result");
            still_warning_tone();
        }
        still_region_free(rr, nullptr);
        return;
    }
    if (!cache || !capture_rect(cache, &r, buf)) {
        frame_pool_release(buf);
        if (job) {
            still_fail(job, "capture", "capture failed (see agent log)");
        } else {
            log_warn("capture: region result: capture_rect failed");
            still_post_failed();
        }
        still_region_free(rr, nullptr);
        return;
    }
    marks.grabbed = still_qpc();
    still_region_save_marked(buf, rr->digit, job, rr->warning, rr->no_sound, &marks);
    still_region_free(rr, nullptr);
}

// ---- Region picks

namespace {

// The still side of one region selection: who waits and how the shot sounds.
struct still_pick {
    still_request* job;  // the capture-side reference of a waiting pick, or none
    wchar_t warning[STORAGE_WARNING_MAX];
    int no_sound;
};

frame_buffer* still_pick_buffer(void* owner, int64_t width, int64_t height) {
    return still_region_buffer(width, height, ((still_pick*)owner)->job);
}

// The selection's answer. A frozen selection is saved here, on the overlay thread; a live
// one goes to the capture thread, which reads the screen once the overlay is gone.
void still_pick_done(void* owner, const region_selection* sel) {
    still_pick* pick = (still_pick*)owner;
    still_request* job = pick->job;
    if (sel->status == REGION_BUSY) still_warning_tone();
    if (sel->status != REGION_SELECTED) {
        if (job) still_request_fail(job, sel->code, sel->message);
    } else if (sel->pixels) {
        still_region_save(sel->pixels, sel->digit, job, pick->warning, pick->no_sound);
    } else if (region_result* rr = still_region_make(sel)) {
        rr->job = job;
        wcscpy(rr->warning, pick->warning);
        rr->no_sound = pick->no_sound;
        if (!still_region_post(rr)) {
            HeapFree(GetProcessHeap(), 0, rr);
            if (job) still_request_fail(job, "cancelled", "capture thread stopped");
        }
    } else if (job) {
        still_request_fail(job, "cancelled", "pick cancelled");
    }
    HeapFree(GetProcessHeap(), 0, pick);
}

}  // namespace

void still_set_hooks(const still_hooks* hooks) { g_hooks = hooks ? *hooks : still_hooks{}; }

bool still_region_pick(display_cache* cache, int digit, still_request* job, const wchar_t* warning, int no_sound) {
    if (!g_hooks.open_region) {
        log_error("capture: no region overlay is installed");
        if (job) still_request_fail(job, "internal", "cannot start overlay");
        return false;
    }
    still_pick* pick = (still_pick*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(still_pick));
    if (!pick) {
        log_error("overlay: no memory for a selection");
        if (job) still_request_fail(job, "internal", "cannot start overlay");
        return false;
    }
    pick->job = job;
    if (warning) {
        wcsncpy(pick->warning, warning, STORAGE_WARNING_MAX - 1);
        pick->warning[STORAGE_WARNING_MAX - 1] = 0;
    }
    pick->no_sound = no_sound;
    config cfg;
    agent_config_copy(&cfg);
    region_request req{};
    req.live = !cfg.region_freeze;
    req.digit = digit;
    req.waited = job != nullptr;
    req.owner = pick;
    req.buffer = still_pick_buffer;
    req.done = still_pick_done;
    return g_hooks.open_region(cache, &req);
}

// ---- Save job

void still_save_job(void* arg) {
    frame_buffer* buf = (frame_buffer*)arg;
    if (!buf) return;
    still_request* job = buf->job;
    buf->job = nullptr;
    agent_debug_pause(L"IVRA_DEBUG_SAVE_MS", "save job");
    bool ok = still_encode_frame(buf, buf->path, buf->format, buf->jpeg_quality);
    uint64_t size = 0;
    if (ok) {
        capture_count_add();
        HANDLE f = CreateFileW(buf->path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, 0, nullptr);
        if (f != INVALID_HANDLE_VALUE) {
            LARGE_INTEGER li{};
            if (GetFileSizeEx(f, &li)) size = (uint64_t)li.QuadPart;
            CloseHandle(f);
        }
        if (!(job && job->no_history)) history_submit(g_agent.io, buf->path, size, CAPTURE_KIND_STILL);
    }
    capture_name_release(buf->path);
    if (!job) {
        if (ok) {
            saved_capture* rec = saved_capture_still(buf->path, size);
            if (rec && !(g_agent.wnd && PostMessageW(g_agent.wnd, WM_AGENT_SAVED, 0, (LPARAM)rec)))
                saved_capture_free(rec);
        } else {
            still_post_failed();
        }
    } else {
        if (ok) {
            job->ok = 1;
            job->width = (int)buf->width;
            job->height = (int)buf->height;
            job->bytes = size;
            job->ms = still_elapsed_ms(job->start, still_qpc(), still_qpf());
        } else {
            job->ok = 0;
            still_error_text(job->error, "encode", "encode failed");
        }
        SetEvent(job->done);
        still_request_release(job);
    }
    frame_pool_release(buf);
}
