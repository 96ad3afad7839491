#include "agent/clips/clip_session.h"

#include "agent/capture/capture.h"
#include "agent/capture/display_cache.h"
#include "agent/capture/still_jobs.h"
#include "agent/clips/audio.h"
#include "agent/clips/replay.h"
#include "agent/clips/sounds.h"
#include "agent/core/agent.h"
#include "agent/core/capture_files.h"
#include "agent/core/storage_monitor.h"
#include "agent/core/take_journal.h"
#include "agent/overlay/overlay.h"
#include "common/log.h"
#include "common/rect.h"
#include <dwmapi.h>
#include <cstdarg>
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

volatile LONG g_clip_selecting = 0;
clip_warning_fn g_warning = nullptr;  // set before the capture thread starts

// Capture thread only.
clip_session* g_session = nullptr;
uint64_t g_next_id = 1;

void clip_wformat(wchar_t* out, size_t cap, const wchar_t* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    _vsnwprintf(out, cap - 1, fmt, ap);
    va_end(ap);
    out[cap - 1] = 0;
}

// Lists a take's part file before the take opens, so that a killed agent's next start
// finds it wherever it was written.
void clip_journal_take(uint64_t id, const wchar_t* path) {
    wchar_t part[MP4_PATH_MAX];
    if (mp4_suffixed_path(path, L".part", part)) take_journal_add(g_agent.takes, id, part);
}

// The take's file is in place or gone: the session leaves the journal, then the result goes out.
void clip_take_finished(void* data, const clip_result* r) {
    const clip_finish* f = (const clip_finish*)data;
    if (f) take_journal_remove_session(g_agent.takes, f->id);
    if (f && r && r->moved)
        log_warn("clip %llu: a file took its name during the recording; kept as %ls", (unsigned long long)f->id,
                 r->path);
    clip_shared_finished(data, r);
}

// Fills the reply details of a session and answers ok.
void clip_reply_session(clip_request* req, const clip_session* s) {
    req->session = s->id;
    clip_shared_wcopy(req->path, ENCODER_PATH_MAX, s->path);
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
        clip_shared_wcopy(s.path, ENCODER_PATH_MAX, c->path);
        clip_shared_wcopy(s.target, CLIP_TARGET_TEXT_MAX, c->target_text);
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
    clip_shared_status_publish_session(&s);
}

// Arms the capture thread's timer for the earlier of the clip's and the replay's
// deadlines; cancels it when neither runs.
void clip_arm_timer() {
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
    if (have)
        clip_shared_timer_arm(deadline);
    else
        clip_shared_timer_cancel();
}

void clip_log_first_frame(clip_session* s) {
    if (s->first_frame_logged || !s->requested_at) return;
    s->first_frame_logged = true;
    const double ms = (double)(clip_shared_now() - s->requested_at) * 1000.0 / (double)clip_shared_freq();
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
                if (fresh) clip_shared_sequence_bump(index);
                is_new = clip_shared_sequence_new(index, fresh != 0, &s->seq_seen);
            } else {
                if (clip_shared_device_gone(cache) || display_cache_generation(cache) != s->generation) {
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
        if (s->tone_audio) clip_shared_tone_feed(s->enc, &s->tone);
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
    const int64_t now = clip_shared_now();
    clip_pace pace = clip_shared_pace_step(now, s->deadline, s->period, s->fps);
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
        clip_shared_finalizing_add(1);
    } else {
        // Without a finish record nobody can be told; the waiters time out.
        log_error("clip %llu: no memory for the finish record", (unsigned long long)s->id);
        for (int i = 0; i < s->waiter_count; i++) clip_request_release(s->waiters[i]);
    }
    // No chunk may follow the finish on the encoder's lane.
    audio_mark_end(s->audio, clip_sound_frames(s));
    audio_stop(s->audio);
    s->audio = nullptr;
    encoder_finish(s->enc, cancel, f ? clip_take_finished : nullptr, f);
    if (!s->silent) sounds_play(cancel ? SOUND_CANCEL : SOUND_CHIME);
    HeapFree(GetProcessHeap(), 0, s);
    if (!clip_timer_active()) clip_shared_timer_cancel();
    clip_publish();
}

// Pause (1), resume (0) or toggle (-1).
void clip_set_paused(clip_session* s, int want) {
    const bool paused = want < 0 ? !s->paused : want != 0;
    if (paused == s->paused) return;
    s->paused = paused;
    if (paused) audio_mark_end(s->audio, clip_sound_frames(s));
    audio_set_paused(s->audio, paused);
    if (!paused) s->deadline = clip_shared_now();
    if (!s->silent) sounds_play_tick();
    log_info("clip %llu %s at %lld frames", (unsigned long long)s->id, paused ? "paused" : "resumed",
             (long long)encoder_take_frames(s->enc));
    clip_publish();
}

// The take keeps its track when any source was on during it; only a take that had both
// off from its start to its end is left without one.
void clip_sound_sources_changed(clip_session* s, bool take_start) {
    if (s->system_on || s->mic_on)
        InterlockedExchange(&s->enc->sound_off, 0);
    else if (take_start)
        InterlockedExchange(&s->enc->sound_off, 1);
}

void clip_redo(display_cache* cache, clip_session* s, clip_request* req) {
    wchar_t path[ENCODER_PATH_MAX];
    if (s->explicit_path) {
        clip_shared_wcopy(path, ENCODER_PATH_MAX, s->path);
    } else {
        char err[CLIP_MESSAGE_MAX] = "";
        if (!capture_file_name(path, s->base, L"mp4", s->sub[0] ? s->sub : nullptr, err, sizeof err)) {
            char code[CLIP_CODE_MAX], message[CLIP_MESSAGE_MAX];
            clip_shared_split_error(err, code, message);
            clip_request_reply(req, false, code, message);
            return;
        }
    }
    const int64_t at = clip_shared_now();
    clip_journal_take(s->id, path);
    if (!encoder_start_take_at(s->enc, path, at)) {
        if (!s->explicit_path) capture_name_release(path);
        clip_request_reply(req, false, "busy", "encoder queue full");
        return;
    }
    if (!s->explicit_path) capture_name_release(s->path);
    clip_shared_wcopy(s->path, ENCODER_PATH_MAX, path);
    if (s->paused) {
        audio_set_paused(s->audio, false);
        s->paused = false;
    }
    s->deadline = at;
    audio_request_reset(s->audio, at);
    clip_sound_sources_changed(s, true);
    s->last_output = -1;
    if (!s->silent) sounds_play_tick();
    log_info("clip %llu redo -> %ls", (unsigned long long)s->id, s->path);
    clip_publish();
    clip_reply_session(req, s);
    clip_tick(cache);
}

void clip_audio_toggle(clip_session* s, clip_request* req) {
    if (!s->audio && !s->tone_audio) {
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
        audio_set_system(s->audio, on);
        s->tone.muted = !on;  // the tone stands in for system sound
    }
    clip_sound_sources_changed(s, false);
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
    if (!cache || !display_cache_validate(cache) || clip_shared_device_gone(cache)) {
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
    s->fps = clip_shared_fps_clamp(cfg.clip_fps);
    s->max_seconds = clip_shared_seconds_clamp(req->seconds);
    s->max_frames = (int64_t)s->max_seconds * s->fps;
    if (!clip_shared_output_path(req, &cfg, s->base, s->sub, s->path, &s->explicit_path, code, message)) {
        clip_request_reply(req, false, code, message);
        goto fail;
    }
    if (!capture_take_writable(s->path, s->explicit_path, err, sizeof err)) {
        clip_shared_split_error(err, code, message);
        clip_request_reply(req, false, code, message);
        goto fail_named;
    }
    if (!storage_gate(&cfg, s->path, nullptr, &free_mb, drive)) {
        clip_request_reply(req, false, "disk_full", "drive free space below stop_free_mb");
        goto fail_named;
    }
    if (!clip_full_length_fits(free_mb, cfg.clip_bitrate_kbps, s->max_seconds, cfg.stop_free_mb)) {
        clip_request_reply(req, false, "disk_full", "not enough free space for a full-length clip");
        goto fail_named;
    }
    params = clip_shared_encoder_params(cache, &cfg, s->width, s->height, s->fps, !req->no_audio, 0);
    // The id this session gets when it starts: only this thread hands ids out.
    clip_journal_take(g_next_id, s->path);
    s->enc = encoder_create(&params, s->path, err);
    if (!s->enc) {
        take_journal_remove_session(g_agent.takes, g_next_id);
        clip_request_reply(req, false, "encoder", err[0] ? err : "encoder could not be created");
        goto fail_named;
    }
    s->audio_track = !req->no_audio;
    if (s->audio_track) {
        s->system_on = (req->system < 0 ? cfg.clip_audio_system : req->system) != 0;
        s->mic_on = (req->mic < 0 ? cfg.clip_audio_mic : req->mic) != 0;
        clip_sound_sources_changed(s, true);
        if (clip_shared_tone_hz() > 0) {
            s->tone_audio = true;
            s->tone.hz = clip_shared_tone_hz();
            s->tone.fps = s->fps;
            s->tone.muted = !s->system_on;
        }
    }
    s->id = g_next_id++;
    s->generation = display_cache_generation(cache);
    s->period = clip_shared_frame_period(s->fps);
    s->silent = req->silent;
    if (!s->silent) sounds_play_start_chime();
    if (s->audio_track && !s->tone_audio) {
        // The start chime must not reach the microphone, nor a stand-in that hears the output.
        s->audio = audio_start(s->enc, s->system_on, s->mic_on, s->silent ? 0 : CLIP_MIC_DELAY_MS, true);
        if (!s->audio) log_warn("clip: audio capture could not start; recording video only");
    }
    s->deadline = clip_shared_now();
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
    clip_shared_wcopy(req->target_text, CLIP_TARGET_TEXT_MAX, s->target_text);
    clip_shared_copy(req->encoder, ENCODER_NAME_MAX, s->enc->name);
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

}  // namespace

// ---- Forwards (the control pipe, the overlay and the capture thread call these names)

clip_request* clip_request_create(void) { return clip_shared_request_create(); }

void clip_request_add_ref(clip_request* req) { clip_shared_request_add_ref(req); }

void clip_request_release(clip_request* req) { clip_shared_request_release(req); }

void clip_request_reply(clip_request* req, bool ok, const char* code, const char* message) {
    clip_shared_request_reply(req, ok, code, message);
}

void clip_status_read(clip_status* out) {
    clip_shared_status_read(out);
    if (out->state == CLIP_IDLE && InterlockedCompareExchange(&g_clip_selecting, 0, 0)) out->state = CLIP_SELECTING;
}

long clip_finalizing(void) { return clip_shared_finalizing(); }

const char* clip_state_word(int state) { return clip_shared_state_word(state); }

const char* clip_last_word(const clip_status* s) { return clip_shared_last_word(s); }

void clip_set_warning(clip_warning_fn fn) { g_warning = fn; }

// ---- Capture thread

void clip_thread_begin(HANDLE timer) {
    clip_shared_begin(timer);
    audio_prepare();
}

bool clip_active(void) { return g_session != nullptr; }

bool clip_timer_active(void) { return g_session != nullptr || replay_ticking(); }

void clip_handle_request(display_cache* cache, clip_request* req) {
    if (!req) return;
    clip_run_op(cache, req, clip_shared_now());
    clip_request_release(req);
}

void clip_hotkey_action(display_cache* cache, int action, int digit) {
    const int64_t requested_at = clip_shared_now();
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
        if (g_warning) g_warning(req->op == CLIP_OP_REPLAY_SAVE ? L"Replay not saved" : L"Clip not started", text);
    }
    clip_request_release(req);
}

void clip_region_selected(display_cache* cache, clip_request* req, const RECT* rect, int digit) {
    if (!req) return;
    const int64_t requested_at = clip_shared_now();
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
    if (replay_ticking()) replay_tick(cache);
    display_cache_set_continuous(cache, clip_timer_active() ? 1 : 0);
    clip_arm_timer();
}

void clip_config_changed(display_cache* cache) {
    config cfg;
    agent_config_copy(&cfg);
    const bool was = replay_ticking();
    replay_config_changed(cache, cfg.replay_enabled);
    if (replay_ticking())
        clip_arm_timer();  // also a restart that was waiting and came back now
    else if (was && !clip_timer_active())
        clip_arm_timer();  // nothing runs: cancels the timer
    display_cache_set_continuous(cache, clip_timer_active() ? 1 : 0);
}

void clip_startup(display_cache* cache) {
    config cfg;
    agent_config_copy(&cfg);
    if (!cfg.replay_enabled) return;
    replay_start(cache);
    if (replay_active()) clip_arm_timer();
}

void clip_shutdown(display_cache* cache) {
    if (g_session) {
        g_session->silent = true;
        clip_stop("agent stopping", false);
    }
    if (replay_active()) replay_stop("agent stopping");
    display_cache_set_continuous(cache, 0);
    clip_shared_timer_cancel();
}

// ---- Pure helpers

bool clip_output_size(int src_w, int src_h, int* out_w, int* out_h) {
    int w = 0, h = 0;
    clip_shared_fit_size(src_w, src_h, &w, &h);
    if (w < 64 || h < 64) return false;
    *out_w = w;
    *out_h = h;
    return true;
}

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
    clip_shared_wcopy(shown, 80, title && title[0] ? title : L"(untitled)");
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
