#include "agent/clips/clip_session.h"

#include "agent/capture/capture.h"
#include "agent/capture/display_cache.h"
#include "agent/capture/still_jobs.h"
#include "agent/clips/audio.h"
#include "agent/clips/replay.h"
#include "agent/clips/sounds.h"
#include "agent/core/agent.h"
#include "agent/core/capture_files.h"
#include "agent/core/messages.h"
#include "agent/core/saved_capture.h"
#include "agent/core/storage_monitor.h"
#include "agent/core/tray.h"
#include "agent/overlay/overlay.h"
#include "common/log.h"
#include "common/rect.h"
#include "common/text.h"
#include <dwmapi.h>
#include <cstdarg>
#include <cstddef>
#include <cmath>
#include <cstring>
#include <cwchar>

namespace {

// The one recording. Only the capture thread touches it, so it needs no lock.
struct clip_session {
    uint64_t id;
    bool paused;
    int target_kind;
    HWND window;
    int output;         // -1 until resolved
    RECT capture_rect;  // virtual desktop
    RECT last_src;      // output-relative
    int last_output;    // -1: the next frame is taken as new
    video_encoder* enc;
    int fps, width, height, max_seconds;
    int64_t max_frames;
    int64_t period, deadline;
    uint32_t generation;
    wchar_t base[ENCODER_PATH_MAX];
    wchar_t sub[CLIP_FOLDER_MAX];
    bool explicit_path;
    wchar_t path[ENCODER_PATH_MAX];
    wchar_t target_text[CLIP_TARGET_TEXT_MAX];
    wchar_t program_text[CLIP_TARGET_TEXT_MAX];
    bool silent, bar_shown;
    clip_request* waiters[CLIP_MAX_WAITERS];
    int waiter_count;
    uint64_t late;
    uint32_t seq_seen;
    RECT cur_capture, cur_output;
    bool audio_track;  // the encoder has an AAC track
    bool system_on;
    bool mic_on;
    bool tone_audio;       // the test tone stands in for an audio capture
    audio_capture* audio;  // none without sound or when it could not start
    clip_tone tone;
    int64_t requested_at;  // counter value when the capture thread got the start
    bool first_frame_logged;
    bool audio_aligned;  // the sound's timeline was restarted at the first frame
};

SRWLOCK g_status_lock = SRWLOCK_INIT;
clip_status g_status = {};
volatile LONG g_finalizing = 0;
volatile LONG g_clip_selecting = 0;

// Capture thread only.
clip_session* g_session = nullptr;
HANDLE g_timer = nullptr;
uint64_t g_next_id = 1;
uint32_t g_sequence[CLIP_SEQUENCE_OUTPUTS] = {};
int64_t g_freq = 0;
int g_speed = 0;    // IVRA_DEBUG_CLIP_SPEED when 2 or more
int g_tone_hz = 0;  // IVRA_DEBUG_CLIP_TONE_HZ
bool g_hooks = false;
float g_tone_buf[2 * ENCODER_AUDIO_RATE];

int64_t clip_freq() {
    if (g_freq <= 0) {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        g_freq = f.QuadPart > 0 ? f.QuadPart : 1;
    }
    return g_freq;
}

void clip_wformat(wchar_t* out, size_t cap, const wchar_t* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    _vsnwprintf(out, cap - 1, fmt, ap);
    va_end(ap);
    out[cap - 1] = 0;
}

void clip_wcopy(wchar_t* out, size_t cap, const wchar_t* in) {
    wcsncpy(out, in ? in : L"", cap - 1);
    out[cap - 1] = 0;
}

void clip_copy(char* out, size_t cap, const char* in) { text_format_into(out, cap, "%s", in ? in : ""); }

// Splits a "code: sentence" text of the file-name rules into a reply's code and message.
void clip_split_error(const char* err, char code[CLIP_CODE_MAX], char message[CLIP_MESSAGE_MAX]) {
    const char* msg = err;
    if (!capture_error_split(err, code, CLIP_CODE_MAX, &msg)) {
        clip_copy(code, CLIP_CODE_MAX, "internal");
        msg = err[0] ? err : "no file name could be made";
    }
    clip_copy(message, CLIP_MESSAGE_MAX, msg);
}

// Fills the reply details of a session and answers ok.
void clip_reply_session(clip_request* req, const clip_session* s) {
    req->session = s->id;
    clip_wcopy(req->path, ENCODER_PATH_MAX, s->path);
    clip_request_reply(req, true, "", "");
}

// A waiter beyond the eighth is not registered; its requester times out.
void clip_register_waiter(clip_session* s, clip_request* req) {
    if (!req->wait || s->waiter_count >= CLIP_MAX_WAITERS) return;
    clip_request_add_ref(req);
    s->waiters[s->waiter_count++] = req;
}

// The output rectangles of the cache, with their count.
int clip_output_rects(const display_cache* cache, RECT outs[DISPLAY_MAX_OUTPUTS]) {
    const int n = cache ? display_cache_output_count(cache) : 0;
    int k = 0;
    for (int i = 0; i < n && k < DISPLAY_MAX_OUTPUTS; i++) {
        if (!display_cache_output_rect(cache, i, &outs[k])) outs[k] = RECT{};
        k++;
    }
    return k;
}

bool clip_window_rect(HWND w, RECT* out) {
    RECT r{};
    if (SUCCEEDED(DwmGetWindowAttribute(w, DWMWA_EXTENDED_FRAME_BOUNDS, &r, sizeof r)) && r.right > r.left &&
        r.bottom > r.top) {
        *out = r;
        return true;
    }
    return GetWindowRect(w, out) != 0;
}


// Publishes the session's part of the status (the replay's part is left as it is).
void clip_publish() {
    clip_status s{};
    const clip_session* c = g_session;
    if (c) {
        encoder_stats(c->enc, &s.enc);
        s.state = c->paused ? CLIP_PAUSED : CLIP_RECORDING;
        s.session = c->id;
        clip_wcopy(s.path, ENCODER_PATH_MAX, c->path);
        clip_wcopy(s.target, CLIP_TARGET_TEXT_MAX, c->target_text);
        s.take_frames = encoder_take_frames(c->enc);
        s.fps = c->fps;
        s.width = c->width;
        s.height = c->height;
        s.limit = c->max_seconds;
        s.late = c->late;
        s.target_kind = c->target_kind;
        s.capture_rect = c->cur_capture;
        s.output_rect = c->cur_output;
        s.bar_shown = c->bar_shown;
        if (c->audio) {
            audio_status as{};
            audio_read_status(c->audio, &as);
            s.audio = 1;
            s.system_on = c->system_on;
            s.system_ok = as.system_open;
            s.system_level = as.system_level;
            s.system_result = as.system_result;
            s.mic_on = as.mic_on;
            s.mic_ok = as.mic_open;
            s.mic_level = as.mic_level;
            s.mic_result = as.mic_result;
            s.audio_underruns = as.underruns;
        } else if (c->tone_audio) {
            s.audio = 1;
            s.system_on = c->system_on;
            s.system_ok = 1;
            s.mic_on = c->mic_on;
            s.mic_ok = c->mic_on;
        }
    }
    // The session's fields come first in the record; the replay's and the last result's stay.
    AcquireSRWLockExclusive(&g_status_lock);
    memcpy(&g_status, &s, offsetof(clip_status, replay_active));
    ReleaseSRWLockExclusive(&g_status_lock);
}

void clip_log_first_frame(clip_session* s) {
    if (s->first_frame_logged || !s->requested_at) return;
    s->first_frame_logged = true;
    const double ms = (double)(clip_now() - s->requested_at) * 1000.0 / (double)clip_freq();
    log_info("clip %llu first frame %.1f ms after the request", (unsigned long long)s->id, ms);
}

void clip_stop(const char* reason, bool cancel);

// The first slot of a wake: the desktop frame of the target, or a repeat. False when
// the session was stopped.
bool clip_take_frame(display_cache* cache, clip_session* s, bool first) {
    ID3D11Texture2D* tex = nullptr;
    RECT src{};
    bool have_src = false;
    bool is_new = false;
    int index = -1;
    if (first) {
        RECT rect = s->capture_rect;
        bool usable = true;
        if (s->target_kind == CLIP_TARGET_WINDOW) {
            if (!IsWindow(s->window)) {
                clip_stop("window closed", false);
                return false;
            }
            if (IsIconic(s->window) || !clip_window_rect(s->window, &rect)) usable = false;
            if (usable) {
                RECT outs[DISPLAY_MAX_OUTPUTS];
                RECT inter{};
                index = clip_best_output(&rect, outs, clip_output_rects(cache, outs), &inter);
                usable = index >= 0;
            }
        } else {
            index = s->output;
        }
        RECT orect{};
        RECT inter{};
        if (usable && index >= 0 && display_cache_output_rect(cache, index, &orect) &&
            rect_intersect(&rect, &orect, &inter)) {
            s->cur_capture = inter;
            s->cur_output = orect;
            src = RECT{inter.left - orect.left, inter.top - orect.top, inter.right - orect.left,
                       inter.bottom - orect.top};
            have_src = true;
            int fresh = 0;
            if (capture_poll(cache, index, &tex, &fresh)) {
                if (fresh) clip_sequence_bump(index);
                is_new = clip_sequence_new(index, fresh != 0, &s->seq_seen);
            } else {
                if (clip_device_gone(cache) || display_cache_generation(cache) != s->generation) {
                    clip_stop("capture lost", false);
                    return false;
                }
                tex = nullptr;
                have_src = false;
            }
            if (have_src) {
                if (index != s->last_output || memcmp(&src, &s->last_src, sizeof src) != 0) is_new = true;
                s->last_output = index;
                s->last_src = src;
            }
        }
    }
    const bool accepted = encoder_submit_frame(s->enc, tex, have_src ? &src : nullptr, tex ? is_new : false);
    if (accepted) {
        // The sound's timeline starts with the first picture, which may come later than the start.
        if (!s->audio_aligned) {
            audio_request_reset(s->audio, s->deadline - s->period);  // this picture's slot
            s->audio_aligned = true;
        }
        clip_log_first_frame(s);
        if (s->tone_audio) clip_tone_feed(s->enc, &s->tone);
    }
    if (encoder_take_frames(s->enc) >= s->max_frames) {
        clip_stop("time limit", false);
        return false;
    }
    return true;
}

void clip_tick(display_cache* cache) {
    clip_session* s = g_session;
    if (!s) return;
    const uint32_t gen = cache ? display_cache_generation(cache) : 0;
    if (gen != s->generation) {
        clip_stop("display changed", false);
        return;
    }
    const int64_t now = clip_now();
    clip_pace pace = clip_pace_step(now, s->deadline, s->period, s->fps);
    if (pace.frames > 0) {
        // Paused time is neither recorded nor counted late.
        if (!s->paused) s->late += (uint64_t)pace.late;
        s->deadline += pace.late * s->period;
        bool first = true;
        for (int64_t i = 0; i < pace.frames; i++) {
            s->deadline += s->period;
            if (s->paused) continue;
            if (!clip_take_frame(cache, s, first)) return;  // stopped; the stop published and re-armed
            first = false;
        }
    }
    clip_publish();
    clip_arm_timer();
}

void clip_finish_free(clip_finish* f) {
    if (f) HeapFree(GetProcessHeap(), 0, f);
}

// Sound frames that the take's pictures cover.
uint64_t clip_sound_frames(const clip_session* s) {
    const int64_t frames = encoder_take_frames(s->enc);
    return frames > 0 && s->fps > 0 ? (uint64_t)frames * ENCODER_AUDIO_RATE / (uint64_t)s->fps : 0;
}

void clip_stop(const char* reason, bool cancel) {
    clip_session* s = g_session;
    if (!s) return;
    g_session = nullptr;
    clip_finish* f = (clip_finish*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(clip_finish));
    const int64_t frames = encoder_take_frames(s->enc);
    log_info("clip %llu %s: %lld frames, %llu late ticks (%s)", (unsigned long long)s->id,
             cancel ? "cancelled" : "stopped", (long long)frames, (unsigned long long)s->late, reason);
    if (f) {
        f->id = s->id;
        f->silent = s->silent;
        f->replay = false;
        for (int i = 0; i < s->waiter_count; i++) f->waiters[i] = s->waiters[i];
        f->waiter_count = s->waiter_count;
        InterlockedIncrement(&g_finalizing);
    } else {
        // Without a finish record nobody can be told; the waiters time out.
        log_error("clip %llu: no memory for the finish record", (unsigned long long)s->id);
        for (int i = 0; i < s->waiter_count; i++) clip_request_release(s->waiters[i]);
    }
    // No chunk may follow the finish on the encoder's lane.
    audio_mark_end(s->audio, clip_sound_frames(s));
    audio_stop(s->audio);
    s->audio = nullptr;
    encoder_finish(s->enc, cancel, f ? clip_finished : nullptr, f);
    if (!s->silent) sounds_play(cancel ? SOUND_CANCEL : SOUND_CHIME);
    HeapFree(GetProcessHeap(), 0, s);
    if (!clip_timer_active() && g_timer) CancelWaitableTimer(g_timer);
    clip_publish();
}

// Pause (1), resume (0) or toggle (-1).
void clip_set_paused(clip_session* s, int want) {
    const bool paused = want < 0 ? !s->paused : want != 0;
    if (paused == s->paused) return;
    s->paused = paused;
    if (paused) audio_mark_end(s->audio, clip_sound_frames(s));
    audio_set_paused(s->audio, paused);
    if (!paused) s->deadline = clip_now();
    if (!s->silent) sounds_play_tick();
    log_info("clip %llu %s at %lld frames", (unsigned long long)s->id, paused ? "paused" : "resumed",
             (long long)encoder_take_frames(s->enc));
    clip_publish();
}

void clip_redo(display_cache* cache, clip_session* s, clip_request* req) {
    wchar_t path[ENCODER_PATH_MAX];
    if (s->explicit_path) {
        clip_wcopy(path, ENCODER_PATH_MAX, s->path);
    } else {
        char err[CLIP_MESSAGE_MAX] = "";
        if (!capture_file_name(path, s->base, L"mp4", s->sub[0] ? s->sub : nullptr, err, sizeof err)) {
            char code[CLIP_CODE_MAX], message[CLIP_MESSAGE_MAX];
            clip_split_error(err, code, message);
            clip_request_reply(req, false, code, message);
            return;
        }
    }
    if (!encoder_start_take(s->enc, path)) {
        if (!s->explicit_path) capture_name_release(path);
        clip_request_reply(req, false, "busy", "encoder queue full");
        return;
    }
    if (!s->explicit_path) capture_name_release(s->path);
    clip_wcopy(s->path, ENCODER_PATH_MAX, path);
    if (s->paused) {
        audio_set_paused(s->audio, false);
        s->paused = false;
    }
    s->deadline = clip_now();
    audio_request_reset(s->audio, s->deadline);
    s->last_output = -1;
    if (!s->silent) sounds_play_tick();
    log_info("clip %llu redo -> %ls", (unsigned long long)s->id, s->path);
    clip_publish();
    clip_reply_session(req, s);
    clip_tick(cache);
}

void clip_audio_toggle(clip_session* s, clip_request* req) {
    if (!s->audio_track || (req->toggle_mic && !s->tone_audio && !s->audio)) {
        clip_request_reply(req, false, "no_audio", "this clip has no audio track");
        return;
    }
    bool on;
    if (req->toggle_mic) {
        on = req->toggle_value < 0 ? !s->mic_on : req->toggle_value != 0;
        s->mic_on = on;
        audio_set_mic(s->audio, on);
    } else {
        on = req->toggle_value < 0 ? !s->system_on : req->toggle_value != 0;
        s->system_on = on;
        InterlockedExchange(&s->enc->system_off, on ? 0 : 1);
    }
    log_info("clip %llu %s %s", (unsigned long long)s->id, req->toggle_mic ? "mic" : "system sound", on ? "on" : "off");
    clip_publish();
    clip_reply_session(req, s);
}

// Resolves a window target. False with the reply sent.
bool clip_resolve_window(display_cache* cache, clip_request* req, clip_session* s, int* src_w, int* src_h) {
    HWND w = req->window;
    DWORD pid = 0;
    if (w && IsWindow(w)) GetWindowThreadProcessId(w, &pid);
    if (!w || !IsWindow(w) || w == GetShellWindow() || w == GetDesktopWindow() || pid == GetCurrentProcessId()) {
        clip_request_reply(req, false, "not_found", "no valid window to record");
        return false;
    }
    RECT r{};
    if (!clip_window_rect(w, &r)) {
        clip_request_reply(req, false, "not_found", "no valid window to record");
        return false;
    }
    s->window = w;
    s->capture_rect = r;
    RECT outs[DISPLAY_MAX_OUTPUTS];
    RECT inter{};
    const int index = clip_best_output(&r, outs, clip_output_rects(cache, outs), &inter);
    if (index >= 0) {
        s->cur_output = outs[index];
        s->cur_capture = inter;
    }
    s->output = index;
    *src_w = (int)(r.right - r.left);
    *src_h = (int)(r.bottom - r.top);
    wchar_t title[CLIP_TARGET_TEXT_MAX] = L"";
    GetWindowTextW(w, title, CLIP_TARGET_TEXT_MAX);
    clip_describe_window(s->target_text, title);
    wchar_t image[MAX_PATH] = L"";
    HANDLE proc = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (proc) {
        DWORD n = MAX_PATH;
        if (!QueryFullProcessImageNameW(proc, 0, image, &n)) image[0] = 0;
        CloseHandle(proc);
    }
    clip_describe_program(s->program_text, image);
    return true;
}

bool clip_resolve_target(display_cache* cache, clip_request* req, clip_session* s, int* src_w, int* src_h) {
    s->target_kind = req->target;
    s->output = -1;
    if (req->target == CLIP_TARGET_REGION) {
        RECT region{req->region[0], req->region[1], req->region[2], req->region[3]};
        RECT outs[DISPLAY_MAX_OUTPUTS];
        RECT inter{};
        const int index = clip_best_output(&region, outs, clip_output_rects(cache, outs), &inter);
        if (index < 0) {
            clip_request_reply(req, false, "no_coverage", "region is not on a captured monitor");
            return false;
        }
        s->output = index;
        s->capture_rect = inter;
        s->cur_capture = inter;
        s->cur_output = outs[index];
        *src_w = (int)(inter.right - inter.left);
        *src_h = (int)(inter.bottom - inter.top);
        clip_describe_region(s->target_text, &inter);
        return true;
    }
    if (req->target == CLIP_TARGET_WINDOW) return clip_resolve_window(cache, req, s, src_w, src_h);
    int index = req->monitor;
    if (index == -1) {
        POINT p{};
        GetCursorPos(&p);
        index = display_cache_output_index(cache, MonitorFromPoint(p, MONITOR_DEFAULTTOPRIMARY));
    }
    RECT r{};
    if (index < 0 || !display_cache_output_rect(cache, index, &r)) {
        clip_request_reply(req, false, "bad_screen", "screen does not exist");
        return false;
    }
    s->target_kind = CLIP_TARGET_SCREEN;
    s->output = index;
    s->capture_rect = r;
    s->cur_capture = r;
    s->cur_output = r;
    *src_w = (int)(r.right - r.left);
    *src_h = (int)(r.bottom - r.top);
    clip_describe_screen(s->target_text, index);
    return true;
}

// Start for every target but a pick (and for a pick once its rectangle is known).
// A start is refused while a clip records or the agent stops; true when it was.
bool clip_start_refused(clip_request* req) {
    if (g_session) {
        clip_request_reply(req, false, "busy", "a clip is already recording");
        return true;
    }
    if (agent_quitting()) {
        clip_request_reply(req, false, "busy", "agent is stopping");
        return true;
    }
    return false;
}

void clip_start(display_cache* cache, clip_request* req, int64_t requested_at) {
    if (clip_start_refused(req)) return;
    if (!cache || !display_cache_validate(cache) || clip_device_gone(cache)) {
        clip_request_reply(req, false, "no_video", "no video-capable GPU device for recording");
        return;
    }
    clip_session* s = (clip_session*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(clip_session));
    if (!s) {
        clip_request_reply(req, false, "internal", "out of memory");
        return;
    }
    s->last_output = -1;
    int src_w = 0, src_h = 0;
    config cfg;
    agent_config_copy(&cfg);
    char code[CLIP_CODE_MAX] = "", message[CLIP_MESSAGE_MAX] = "";
    char err[ENCODER_ERROR_MAX] = "";
    wchar_t drive[STORAGE_DRIVE_MAX] = L"";
    uint64_t free_mb = 0;
    encoder_params params{};
    if (!clip_resolve_target(cache, req, s, &src_w, &src_h)) goto fail;
    if (!clip_output_size(src_w, src_h, &s->width, &s->height)) {
        clip_request_reply(req, false, "too_small", "clip area must be at least 64x64");
        goto fail;
    }
    s->fps = clip_fps_clamp(cfg.clip_fps);
    s->max_seconds = clip_seconds_clamp(req->seconds);
    s->max_frames = (int64_t)s->max_seconds * s->fps;
    if (!clip_output_path(req, &cfg, s->base, s->sub, s->path, &s->explicit_path, code, message)) {
        clip_request_reply(req, false, code, message);
        goto fail;
    }
    if (!storage_gate(&cfg, s->path, nullptr, &free_mb, drive)) {
        clip_request_reply(req, false, "disk_full", "drive free space below stop_free_mb");
        goto fail_named;
    }
    if (!clip_full_length_fits(free_mb, cfg.clip_bitrate_kbps, s->max_seconds, cfg.stop_free_mb)) {
        clip_request_reply(req, false, "disk_full", "not enough free space for a full-length clip");
        goto fail_named;
    }
    params = clip_encoder_params(cache, &cfg, s->width, s->height, s->fps, !req->no_audio, 0);
    s->enc = encoder_create(&params, s->path, err);
    if (!s->enc) {
        clip_request_reply(req, false, "encoder", err[0] ? err : "encoder could not be created");
        goto fail_named;
    }
    s->audio_track = !req->no_audio;
    if (s->audio_track) {
        s->system_on = (req->system < 0 ? cfg.clip_audio_system : req->system) != 0;
        s->mic_on = (req->mic < 0 ? cfg.clip_audio_mic : req->mic) != 0;
        InterlockedExchange(&s->enc->system_off, s->system_on ? 0 : 1);
        if (g_tone_hz > 0) {
            s->tone_audio = true;
            s->tone.hz = g_tone_hz;
            s->tone.fps = s->fps;
        }
    }
    s->id = g_next_id++;
    s->generation = display_cache_generation(cache);
    s->period = clip_frame_period(s->fps);
    s->silent = req->silent;
    // Where system sound is recorded with our own sounds in it, the chime would be recorded.
    if (!s->silent && !(s->audio_track && s->system_on && !s->tone_audio && audio_system_hears_us()))
        sounds_play_start_chime();
    if (s->audio_track && !s->tone_audio) {
        // The start chime must not reach the microphone (nor an endpoint loopback).
        s->audio = audio_start(s->enc, true, s->mic_on, s->silent ? 0 : CLIP_MIC_DELAY_MS, true);
        if (!s->audio) log_warn("clip: audio capture could not start; recording video only");
    }
    s->deadline = clip_now();
    s->requested_at = requested_at;
    s->bar_shown = !req->no_bar;
    g_session = s;
    display_cache_set_continuous(cache, 1);
    clip_publish();
    log_info("clip %llu recording %ls -> %ls (%dx%d @ %d fps, max %d s)", (unsigned long long)s->id,
             s->program_text[0] ? s->program_text : s->target_text, s->path, s->width, s->height, s->fps,
             s->max_seconds);
    req->width = s->width;
    req->height = s->height;
    req->fps = s->fps;
    clip_wcopy(req->target_text, CLIP_TARGET_TEXT_MAX, s->target_text);
    clip_copy(req->encoder, ENCODER_NAME_MAX, s->enc->name);
    clip_reply_session(req, s);
    clip_register_waiter(s, req);
    clip_tick(cache);
    return;

fail_named:
    if (!s->explicit_path) capture_name_release(s->path);
fail:
    HeapFree(GetProcessHeap(), 0, s);
}

// A clip pick's rectangle, back on the capture thread: the clip starts on it.
void clip_pick_take(display_cache* cache, void* owner, const RECT* rect, int digit) {
    clip_region_selected(cache, (clip_request*)owner, rect, digit);
}

void clip_pick_drop(void* owner, const char* why) { clip_pick_failed((clip_request*)owner, "cancelled", why); }

// The overlay's answer to a clip pick (on the overlay thread, or at once when none opened).
void clip_pick_done(void* owner, const region_selection* sel) {
    clip_request* req = (clip_request*)owner;
    if (sel->status == REGION_BUSY) sounds_play_warning();
    if (sel->status != REGION_SELECTED) {
        clip_pick_failed(req, sel->code, sel->message);
        return;
    }
    region_result* rr = still_region_make(sel);
    if (!rr) {
        clip_pick_cancelled(req);
        return;
    }
    rr->take = clip_pick_take;
    rr->drop = clip_pick_drop;
    rr->owner = req;
    if (still_region_post(rr)) return;
    HeapFree(GetProcessHeap(), 0, rr);
    clip_pick_failed(req, "cancelled", "capture thread stopped");
}

void clip_pick_start(display_cache* cache, clip_request* req) {
    if (clip_start_refused(req)) return;
    // A second pick while one is on screen must not clear the first one's flag.
    if (InterlockedCompareExchange(&g_clip_selecting, 1, 0) != 0) {
        clip_request_reply(req, false, "busy", "region overlay already active");
        return;
    }
    clip_request_add_ref(req);
    // The overlay answers every outcome through clip_pick_done, which also drops this reference.
    region_request pick{};
    pick.live = 1;
    pick.digit = req->digit;
    pick.waited = 1;
    pick.owner = req;
    pick.done = clip_pick_done;
    overlay_start(cache, &pick, nullptr);
}

void clip_run_op(display_cache* cache, clip_request* req, int64_t requested_at) {
    const int op = req->op;
    if (op < CLIP_OP_START || op > CLIP_OP_REPLAY_SAVE) {
        clip_request_reply(req, false, "usage", "unknown clip op");
        return;
    }
    if (op == CLIP_OP_START) {
        if (req->target == CLIP_TARGET_PICK)
            clip_pick_start(cache, req);
        else
            clip_start(cache, req, requested_at);
        return;
    }
    if (op == CLIP_OP_REPLAY_SAVE) {
        replay_save(req);
        return;
    }
    clip_session* s = g_session;
    if (!s) {
        clip_request_reply(req, false, "idle", "no clip is recording");
        return;
    }
    switch (op) {
    case CLIP_OP_STOP:
    case CLIP_OP_CANCEL:
        clip_reply_session(req, s);
        clip_register_waiter(s, req);
        clip_stop(op == CLIP_OP_CANCEL ? "cancel" : "stop", op == CLIP_OP_CANCEL);
        break;
    case CLIP_OP_PAUSE:
    case CLIP_OP_RESUME:
    case CLIP_OP_TOGGLE:
        clip_set_paused(s, op == CLIP_OP_PAUSE ? 1 : op == CLIP_OP_RESUME ? 0 : -1);
        clip_reply_session(req, s);
        break;
    case CLIP_OP_REDO: clip_redo(cache, s, req); break;
    case CLIP_OP_AUDIO: clip_audio_toggle(s, req); break;
    default: break;
    }
}

void clip_result_to_waiter(clip_request* w, const clip_result* r) {
    w->saved = r->saved;
    w->discarded = r->discarded;
    w->result_no_audio = r->no_audio;
    w->bytes = r->bytes;
    w->result_seconds = r->seconds;
    w->frames = r->frames;
    w->repeated = r->repeated;
    w->dropped = r->dropped;
    w->width = r->width;
    w->height = r->height;
    w->fps = r->fps;
    clip_copy(w->encoder, ENCODER_NAME_MAX, r->encoder);
    clip_wcopy(w->path, ENCODER_PATH_MAX, r->path);
    clip_copy(w->error, CLIP_MESSAGE_MAX, r->error);
}

}  // namespace

int64_t clip_now() {
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t.QuadPart;
}

bool clip_device_gone(const display_cache* cache) { return !cache || !cache->device || cache->lost; }

// ---- Requests

clip_request* clip_request_create(void) {
    clip_request* req = (clip_request*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(clip_request));
    if (!req) return nullptr;
    req->reply_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    req->final_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!req->reply_event || !req->final_event) {
        if (req->reply_event) CloseHandle(req->reply_event);
        if (req->final_event) CloseHandle(req->final_event);
        HeapFree(GetProcessHeap(), 0, req);
        return nullptr;
    }
    req->refs = 1;
    req->monitor = -1;
    req->system = -1;
    req->mic = -1;
    req->toggle_value = -1;
    return req;
}

void clip_request_add_ref(clip_request* req) {
    if (req) InterlockedIncrement(&req->refs);
}

void clip_request_release(clip_request* req) {
    if (!req || InterlockedDecrement(&req->refs) != 0) return;
    CloseHandle(req->reply_event);
    CloseHandle(req->final_event);
    HeapFree(GetProcessHeap(), 0, req);
}

void clip_request_reply(clip_request* req, bool ok, const char* code, const char* message) {
    if (!req) return;
    req->ok = ok;
    clip_copy(req->code, CLIP_CODE_MAX, ok ? "" : code);
    clip_copy(req->message, CLIP_MESSAGE_MAX, ok ? "" : message);
    if (!ok) log_warn("clip: %s (%s)", req->message, req->code);
    SetEvent(req->reply_event);
}

// ---- Status

void clip_status_read(clip_status* out) {
    AcquireSRWLockShared(&g_status_lock);
    *out = g_status;
    ReleaseSRWLockShared(&g_status_lock);
    if (out->state == CLIP_IDLE && InterlockedCompareExchange(&g_clip_selecting, 0, 0)) out->state = CLIP_SELECTING;
}

long clip_finalizing(void) { return InterlockedCompareExchange(&g_finalizing, 0, 0); }

void clip_finalizing_add(long delta) { InterlockedExchangeAdd(&g_finalizing, delta); }

const char* clip_state_word(int state) {
    switch (state) {
    case CLIP_RECORDING: return "recording";
    case CLIP_PAUSED: return "paused";
    case CLIP_SELECTING: return "selecting";
    default: return "idle";
    }
}

const char* clip_last_word(const clip_status* s) {
    if (!s || !s->last_valid) return "none";
    if (s->last_saved) return "saved";
    return s->last_discarded ? "discarded" : "failed";
}

void clip_status_publish_replay(int active, int width, int height, int fps, double buffered, uint64_t saves,
                                const char* error) {
    AcquireSRWLockExclusive(&g_status_lock);
    g_status.replay_active = active;
    g_status.replay_width = width;
    g_status.replay_height = height;
    g_status.replay_fps = fps;
    g_status.replay_buffered = buffered;
    g_status.replay_saves = saves;
    clip_copy(g_status.replay_error, CLIP_MESSAGE_MAX, error);
    ReleaseSRWLockExclusive(&g_status_lock);
}

// ---- Capture thread

void clip_thread_begin(HANDLE timer) {
    g_timer = timer;
    clip_freq();
    const unsigned long speed = agent_debug_ms(L"IVRA_DEBUG_CLIP_SPEED");
    g_speed = speed >= 2 ? (int)speed : 0;
    if (g_speed) log_warn("debug: clip and replay clocks run %d times faster", g_speed);
    const unsigned long hz = agent_debug_ms(L"IVRA_DEBUG_CLIP_TONE_HZ");
    g_tone_hz = hz > 0 && hz < (unsigned long)ENCODER_AUDIO_RATE / 2 ? (int)hz : 0;
    if (g_tone_hz) log_warn("debug: clips and the replay record a %d Hz tone instead of sound", g_tone_hz);
    g_hooks = agent_debug_hooks();
    audio_prepare();
}

int clip_tone_hz(void) { return g_tone_hz; }

bool clip_debug_hooks(void) { return g_hooks; }

void clip_tone_feed(video_encoder* enc, clip_tone* tone) {
    if (!enc || !tone || tone->hz <= 0) return;
    const int n = clip_tone_slot_samples(tone->slots, tone->fps);
    const double step = 2.0 * 3.14159265358979323846 * tone->hz / (double)ENCODER_AUDIO_RATE;
    for (int i = 0; i < n; i++) {
        const float v = (float)(0.25 * sin(step * (double)((tone->samples + i) % ENCODER_AUDIO_RATE)));
        g_tone_buf[2 * i] = v;
        g_tone_buf[2 * i + 1] = v;
    }
    tone->slots++;
    tone->samples += n;
    if (n > 0) encoder_submit_audio(enc, g_tone_buf, n);
}

int64_t clip_frame_period(int fps) { return clip_period_ticks(clip_freq(), fps, g_speed); }

ID3D11Device* clip_encoder_device(const display_cache* cache) {
    if (clip_device_gone(cache)) return nullptr;
    ID3D11Device* d = display_cache_video_device(cache);
    return d ? d : cache->device;
}

encoder_params clip_encoder_params(const display_cache* cache, const config* cfg, int width, int height, int fps,
                                   bool audio, int ring_seconds) {
    encoder_params p{};
    p.device = clip_encoder_device(cache);
    p.pool = g_agent.clips;
    p.frames = g_agent.frames_clips;
    p.width = width;
    p.height = height;
    p.fps = fps;
    p.kbps = cfg->clip_bitrate_kbps;
    p.preference = cfg->clip_encoder;
    p.audio = audio;
    p.ring_seconds = ring_seconds;
    return p;
}

bool clip_active(void) { return g_session != nullptr; }

bool clip_timer_active(void) { return g_session != nullptr || replay_active(); }

void clip_handle_request(display_cache* cache, clip_request* req) {
    if (!req) return;
    clip_run_op(cache, req, clip_now());
    clip_request_release(req);
}

void clip_hotkey_action(display_cache* cache, int action, int digit) {
    const int64_t requested_at = clip_now();
    if (action < HOTKEY_CLIP || action > HOTKEY_CLIP_REDO) return;
    if ((action == HOTKEY_CLIP_PAUSE || action == HOTKEY_CLIP_REDO) && !g_session) return;
    clip_request* req = clip_request_create();
    if (!req) {
        log_error("clip: no memory for a %s request", hotkey_actions[action - 1].name);
        return;
    }
    req->digit = digit;
    const bool active = g_session != nullptr;
    switch (action) {
    case HOTKEY_CLIP:
        req->op = active ? CLIP_OP_STOP : CLIP_OP_START;
        req->target = CLIP_TARGET_PICK;
        break;
    case HOTKEY_CLIP_APP:
        req->op = active ? CLIP_OP_STOP : CLIP_OP_START;
        req->target = CLIP_TARGET_WINDOW;
        req->window = GetForegroundWindow();
        break;
    case HOTKEY_CLIP_SCREEN:
        req->op = active ? CLIP_OP_STOP : CLIP_OP_START;
        req->target = CLIP_TARGET_SCREEN;
        break;
    case HOTKEY_REPLAY:
        req->op = CLIP_OP_REPLAY_SAVE;
        req->seconds = 0;
        break;
    case HOTKEY_CLIP_PAUSE: req->op = CLIP_OP_TOGGLE; break;
    default: req->op = CLIP_OP_REDO; break;
    }
    clip_run_op(cache, req, requested_at);
    if (WaitForSingleObject(req->reply_event, 0) == WAIT_OBJECT_0 && !req->ok && strcmp(req->code, "cancelled") != 0) {
        sounds_play_warning();
        wchar_t text[CLIP_MESSAGE_MAX];
        if (MultiByteToWideChar(CP_UTF8, 0, req->message, -1, text, CLIP_MESSAGE_MAX) <= 0) text[0] = 0;
        text[CLIP_MESSAGE_MAX - 1] = 0;
        balloon_warning(req->op == CLIP_OP_REPLAY_SAVE ? L"Replay not saved" : L"Clip not started", text);
    }
    clip_request_release(req);
}

void clip_region_selected(display_cache* cache, clip_request* req, const RECT* rect, int digit) {
    if (!req) return;
    const int64_t requested_at = clip_now();
    InterlockedExchange(&g_clip_selecting, 0);
    req->target = CLIP_TARGET_REGION;
    if (rect) {
        req->region[0] = rect->left;
        req->region[1] = rect->top;
        req->region[2] = rect->right;
        req->region[3] = rect->bottom;
    }
    if (digit != 0) req->digit = digit;
    clip_start(cache, req, requested_at);
    if (!req->ok && !req->wait) sounds_play_warning();
    clip_request_release(req);
}

void clip_pick_failed(clip_request* req, const char* code, const char* message) {
    if (!req) return;
    InterlockedExchange(&g_clip_selecting, 0);
    clip_request_reply(req, false, code, message);
    clip_request_release(req);
}

void clip_pick_cancelled(clip_request* req) { clip_pick_failed(req, "cancelled", "pick cancelled"); }

void clip_wake(display_cache* cache) {
    if (g_session) clip_tick(cache);
    if (replay_active()) replay_tick(cache);
    display_cache_set_continuous(cache, clip_timer_active() ? 1 : 0);
    clip_arm_timer();
}

void clip_config_changed(display_cache* cache) {
    config cfg;
    agent_config_copy(&cfg);
    replay_config_changed(cache, cfg.replay_enabled);
    display_cache_set_continuous(cache, clip_timer_active() ? 1 : 0);
}

void clip_startup(display_cache* cache) {
    config cfg;
    agent_config_copy(&cfg);
    if (cfg.replay_enabled) replay_start(cache);
}

void clip_shutdown(display_cache* cache) {
    if (g_session) {
        g_session->silent = true;
        clip_stop("agent stopping", false);
    }
    if (replay_active()) replay_stop("agent stopping");
    display_cache_set_continuous(cache, 0);
    if (g_timer) CancelWaitableTimer(g_timer);
}

void clip_arm_timer(void) {
    if (!g_timer) return;
    bool have = false;
    int64_t deadline = 0;
    if (g_session) {
        deadline = g_session->deadline;
        have = true;
    }
    int64_t rd = 0;
    if (replay_next_deadline(&rd) && (!have || rd < deadline)) {
        deadline = rd;
        have = true;
    }
    if (!have) {
        CancelWaitableTimer(g_timer);
        return;
    }
    LARGE_INTEGER due;
    due.QuadPart = clip_timer_due(deadline, clip_now(), clip_freq());
    SetWaitableTimer(g_timer, &due, 0, nullptr, nullptr, FALSE);
}

bool clip_sequence_new(int output, bool fresh, uint32_t* seen) {
    if (output < 0 || output >= CLIP_SEQUENCE_OUTPUTS) return fresh;
    const bool moved = g_sequence[output] != *seen;
    *seen = g_sequence[output];
    return moved;
}

void clip_sequence_bump(int output) {
    if (output >= 0 && output < CLIP_SEQUENCE_OUTPUTS) g_sequence[output]++;
}

bool clip_output_path(const clip_request* req, const config* cfg, wchar_t base[ENCODER_PATH_MAX],
                      wchar_t sub[CLIP_FOLDER_MAX], wchar_t path[ENCODER_PATH_MAX], bool* explicit_path,
                      char code[CLIP_CODE_MAX], char message[CLIP_MESSAGE_MAX]) {
    wchar_t chord[CAPTURE_PATH_MAX];
    int slot_used = 0;
    capture_digit_base(cfg, 1, req->digit, chord, &slot_used);
    wchar_t b[ENCODER_PATH_MAX];
    wchar_t s[CLIP_FOLDER_MAX] = L"";
    if (req->dir[0]) {
        clip_wcopy(b, ENCODER_PATH_MAX, req->dir);
    } else {
        clip_wcopy(b, ENCODER_PATH_MAX, chord);
        if (!slot_used) clip_wcopy(s, CLIP_FOLDER_MAX, req->folder);
    }
    wchar_t p[ENCODER_PATH_MAX];
    bool exp = false;
    if (req->out[0]) {
        clip_wcopy(p, ENCODER_PATH_MAX, req->out);
        exp = true;
    } else {
        char err[CLIP_MESSAGE_MAX] = "";
        if (!capture_file_name(p, b, L"mp4", s[0] ? s : nullptr, err, sizeof err)) {
            clip_split_error(err, code, message);
            return false;
        }
    }
    clip_wcopy(base, ENCODER_PATH_MAX, b);
    clip_wcopy(sub, CLIP_FOLDER_MAX, s);
    clip_wcopy(path, ENCODER_PATH_MAX, p);
    *explicit_path = exp;
    return true;
}

// ---- Finishing (clips worker, or inline)

void clip_finished(void* data, const clip_result* r) {
    clip_finish* f = (clip_finish*)data;
    static const clip_result empty = {};
    if (!r) r = &empty;
    const unsigned long long id = f ? (unsigned long long)f->id : 0ULL;
    if (r->saved) {
        history_submit(g_agent.io, r->path, r->bytes, CAPTURE_KIND_CLIP);
        log_info("clip %llu saved: %ls (%.2f s, %lld frames, %llu KB, %s, %llu repeated, %llu dropped%s)", id, r->path,
                 r->seconds, (long long)r->frames, (unsigned long long)(r->bytes / 1024), r->encoder,
                 (unsigned long long)r->repeated, (unsigned long long)r->dropped, r->no_audio ? ", no audio" : "");
    } else if (r->discarded) {
        log_info("clip %llu discarded", id);
    } else {
        log_warn("clip %llu not saved: %s", id, r->error);
    }
    if (r->path[0]) capture_name_release(r->path);
    AcquireSRWLockExclusive(&g_status_lock);
    g_status.last_valid = 1;
    g_status.last_saved = r->saved;
    g_status.last_discarded = r->discarded;
    clip_wcopy(g_status.last_path, ENCODER_PATH_MAX, r->path);
    g_status.last_seconds = r->seconds;
    g_status.last_bytes = r->bytes;
    clip_copy(g_status.last_error, CLIP_MESSAGE_MAX, r->error);
    if (r->saved) g_status.saved_total++;
    // Only now is the take no longer finalizing: a reader who sees the count drop also
    // sees its result.
    InterlockedDecrement(&g_finalizing);
    ReleaseSRWLockExclusive(&g_status_lock);
    if (!f) return;
    for (int i = 0; i < f->waiter_count; i++) {
        clip_request* w = f->waiters[i];
        clip_result_to_waiter(w, r);
        SetEvent(w->final_event);
        clip_request_release(w);
    }
    if (!f->silent && !r->discarded) {
        saved_capture* rec = (saved_capture*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(saved_capture));
        if (rec) {
            rec->saved = r->saved ? 1 : 0;
            rec->still = 0;
            rec->replay = f->replay ? 1 : 0;
            clip_wcopy(rec->path, SAVED_PATH_MAX, r->path);
            rec->seconds = r->seconds;
            rec->bytes = r->bytes;
            clip_copy(rec->error, SAVED_ERROR_MAX, r->error);
            if (!(g_agent.wnd && PostMessageW(g_agent.wnd, WM_AGENT_SAVED, 0, (LPARAM)rec))) saved_capture_free(rec);
        }
    }
    clip_finish_free(f);
}

// ---- Pure helpers

clip_pace clip_pace_step(int64_t now, int64_t deadline, int64_t period, int fps) {
    clip_pace p{0, 0, deadline};
    if (period <= 0) period = 1;
    if (now < deadline) return p;
    const int64_t behind = (now - deadline) / period;
    if (behind > fps / 2) {
        p.late = behind;
        deadline += behind * period;
    }
    p.frames = (now - deadline) / period + 1;
    p.deadline = deadline + p.frames * period;
    return p;
}

void clip_fit_size(int src_w, int src_h, int* out_w, int* out_h) {
    int64_t w = src_w > 0 ? src_w : 0, h = src_h > 0 ? src_h : 0;
    const int64_t larger = w > h ? w : h;
    if (larger > 4096) {
        w = w * 4096 / larger;
        h = h * 4096 / larger;
    }
    *out_w = (int)(w & ~(int64_t)1);
    *out_h = (int)(h & ~(int64_t)1);
}

bool clip_output_size(int src_w, int src_h, int* out_w, int* out_h) {
    int w = 0, h = 0;
    clip_fit_size(src_w, src_h, &w, &h);
    if (w < 64 || h < 64) return false;
    *out_w = w;
    *out_h = h;
    return true;
}

int clip_fps_clamp(int fps) {
    if (fps < 1) return 60;
    return fps > 120 ? 120 : fps;
}

int clip_seconds_clamp(int seconds) { return seconds >= 1 && seconds <= CLIP_MAX_SECONDS ? seconds : CLIP_MAX_SECONDS; }

int clip_best_output(const RECT* r, const RECT* outputs, int count, RECT* out) {
    int best = -1;
    int64_t best_area = 0;
    RECT best_rect{};
    for (int i = 0; i < count; i++) {
        RECT inter;
        if (!rect_intersect(r, &outputs[i], &inter)) continue;
        const int64_t area = ((int64_t)inter.right - inter.left) * ((int64_t)inter.bottom - inter.top);
        if (area > best_area) {
            best = i;
            best_area = area;
            best_rect = inter;
        }
    }
    if (best >= 0 && out) *out = best_rect;
    return best;
}

int clip_tone_slot_samples(int64_t slot, int fps) {
    if (fps < 1 || slot < 0) return 0;
    return (int)((slot + 1) * ENCODER_AUDIO_RATE / fps - slot * ENCODER_AUDIO_RATE / fps);
}

int64_t clip_period_ticks(int64_t freq, int fps, int speed) {
    if (fps < 1) fps = 1;
    int64_t p = freq / fps;
    if (speed >= 2) p /= speed;
    return p > 0 ? p : 1;
}

int64_t clip_timer_due(int64_t deadline, int64_t now, int64_t freq) {
    if (deadline <= now || freq <= 0) return -1;
    const int64_t due = -((deadline - now) * 10000000 / freq);
    return due < 0 ? due : -1;
}

bool clip_full_length_fits(uint64_t free_mb, int kbps, int seconds, int stop_free_mb) {
    const uint64_t need = (uint64_t)(kbps > 0 ? kbps : 0) * (uint64_t)(seconds > 0 ? seconds : 0) / 8000 +
                          (uint64_t)(stop_free_mb > 0 ? stop_free_mb : 0) + 1;
    return free_mb >= need;
}

void clip_describe_screen(wchar_t out[CLIP_TARGET_TEXT_MAX], int index) {
    clip_wformat(out, CLIP_TARGET_TEXT_MAX, L"screen %d", index);
}

void clip_describe_window(wchar_t out[CLIP_TARGET_TEXT_MAX], const wchar_t* title) {
    wchar_t shown[80];
    clip_wcopy(shown, 80, title && title[0] ? title : L"(untitled)");
    clip_wformat(out, CLIP_TARGET_TEXT_MAX, L"window %ls", shown);
}

void clip_describe_region(wchar_t out[CLIP_TARGET_TEXT_MAX], const RECT* r) {
    clip_wformat(out, CLIP_TARGET_TEXT_MAX, L"region %ld,%ld %dx%d", (long)r->left, (long)r->top,
                 (int)(r->right - r->left), (int)(r->bottom - r->top));
}

void clip_describe_program(wchar_t out[CLIP_TARGET_TEXT_MAX], const wchar_t* image_path) {
    const wchar_t* leaf = image_path ? image_path : L"";
    for (const wchar_t* p = leaf; *p; p++)
        if (*p == L'\\' || *p == L'/') leaf = p + 1;
    clip_wformat(out, CLIP_TARGET_TEXT_MAX, L"window of %ls", leaf[0] ? leaf : L"(unknown program)");
}
