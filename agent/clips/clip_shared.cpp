#include "agent/clips/clip_shared.h"

#include "agent/capture/display_cache.h"
#include "agent/core/agent.h"
#include "agent/core/capture_files.h"
#include "agent/core/messages.h"
#include "agent/core/saved_capture.h"
#include "common/log.h"
#include "common/text.h"
#include <cmath>
#include <cstddef>
#include <cstring>
#include <cwchar>

namespace {

SRWLOCK g_status_lock = SRWLOCK_INIT;
clip_status g_status = {};
volatile LONG g_finalizing = 0;

// Capture thread only.
HANDLE g_timer = nullptr;
uint32_t g_sequence[CLIP_SEQUENCE_OUTPUTS] = {};
int64_t g_freq = 0;
int g_speed = 0;    // IVRA_DEBUG_CLIP_SPEED when 2 or more
int g_tone_hz = 0;  // IVRA_DEBUG_CLIP_TONE_HZ
bool g_hooks = false;
float g_tone_buf[2 * ENCODER_AUDIO_RATE];

void clip_shared_result_to_waiter(clip_request* w, const clip_result* r) {
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
    clip_shared_copy(w->encoder, ENCODER_NAME_MAX, r->encoder);
    clip_shared_wcopy(w->path, ENCODER_PATH_MAX, r->path);
    clip_shared_copy(w->error, CLIP_MESSAGE_MAX, r->error);
}

}  // namespace

// ---- Requests

clip_request* clip_shared_request_create(void) {
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

void clip_shared_request_add_ref(clip_request* req) {
    if (req) InterlockedIncrement(&req->refs);
}

void clip_shared_request_release(clip_request* req) {
    if (!req || InterlockedDecrement(&req->refs) != 0) return;
    CloseHandle(req->reply_event);
    CloseHandle(req->final_event);
    HeapFree(GetProcessHeap(), 0, req);
}

void clip_shared_request_reply(clip_request* req, bool ok, const char* code, const char* message) {
    if (!req) return;
    req->ok = ok;
    clip_shared_copy(req->code, CLIP_CODE_MAX, ok ? "" : code);
    clip_shared_copy(req->message, CLIP_MESSAGE_MAX, ok ? "" : message);
    if (!ok) log_warn("clip: %s (%s)", req->message, req->code);
    SetEvent(req->reply_event);
}

// ---- Status

void clip_shared_status_read(clip_status* out) {
    AcquireSRWLockShared(&g_status_lock);
    *out = g_status;
    ReleaseSRWLockShared(&g_status_lock);
}

void clip_shared_status_publish_session(const clip_status* s) {
    // The session's fields come first in the record; the replay's and the last result's stay.
    AcquireSRWLockExclusive(&g_status_lock);
    memcpy(&g_status, s, offsetof(clip_status, replay_active));
    ReleaseSRWLockExclusive(&g_status_lock);
}

void clip_shared_status_publish_replay(int active, int width, int height, int fps, double buffered, uint64_t saves,
                                       const char* error) {
    AcquireSRWLockExclusive(&g_status_lock);
    g_status.replay_active = active;
    g_status.replay_width = width;
    g_status.replay_height = height;
    g_status.replay_fps = fps;
    g_status.replay_buffered = buffered;
    g_status.replay_saves = saves;
    clip_shared_copy(g_status.replay_error, CLIP_MESSAGE_MAX, error);
    ReleaseSRWLockExclusive(&g_status_lock);
}

long clip_shared_finalizing(void) { return InterlockedCompareExchange(&g_finalizing, 0, 0); }

void clip_shared_finalizing_add(long delta) { InterlockedExchangeAdd(&g_finalizing, delta); }

const char* clip_shared_state_word(int state) {
    switch (state) {
    case CLIP_RECORDING: return "recording";
    case CLIP_PAUSED: return "paused";
    case CLIP_SELECTING: return "selecting";
    default: return "idle";
    }
}

const char* clip_shared_last_word(const clip_status* s) {
    if (!s || !s->last_valid) return "none";
    if (s->last_saved) return "saved";
    return s->last_discarded ? "discarded" : "failed";
}

// ---- Finishing (clips worker, or inline)

void clip_shared_finished(void* data, const clip_result* r) {
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
    clip_shared_wcopy(g_status.last_path, ENCODER_PATH_MAX, r->path);
    g_status.last_seconds = r->seconds;
    g_status.last_bytes = r->bytes;
    clip_shared_copy(g_status.last_error, CLIP_MESSAGE_MAX, r->error);
    if (r->saved) g_status.saved_total++;
    // Only now is the take no longer finalizing: a reader who sees the count drop also
    // sees its result.
    InterlockedDecrement(&g_finalizing);
    ReleaseSRWLockExclusive(&g_status_lock);
    if (!f) return;
    for (int i = 0; i < f->waiter_count; i++) {
        clip_request* w = f->waiters[i];
        clip_shared_result_to_waiter(w, r);
        SetEvent(w->final_event);
        clip_shared_request_release(w);
    }
    if (!f->silent && !r->discarded) {
        saved_capture* rec = (saved_capture*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(saved_capture));
        if (rec) {
            rec->saved = r->saved ? 1 : 0;
            rec->still = 0;
            rec->replay = f->replay ? 1 : 0;
            clip_shared_wcopy(rec->path, SAVED_PATH_MAX, r->path);
            rec->seconds = r->seconds;
            rec->bytes = r->bytes;
            clip_shared_copy(rec->error, SAVED_ERROR_MAX, r->error);
            if (!(g_agent.wnd && PostMessageW(g_agent.wnd, WM_AGENT_SAVED, 0, (LPARAM)rec))) saved_capture_free(rec);
        }
    }
    HeapFree(GetProcessHeap(), 0, f);
}

// ---- Capture thread: clock, timer and test hooks

void clip_shared_begin(HANDLE timer) {
    g_timer = timer;
    clip_shared_freq();
    const unsigned long speed = agent_debug_ms(L"IVRA_DEBUG_CLIP_SPEED");
    g_speed = speed >= 2 ? (int)speed : 0;
    if (g_speed) log_warn("debug: clip and replay clocks run %d times faster", g_speed);
    const unsigned long hz = agent_debug_ms(L"IVRA_DEBUG_CLIP_TONE_HZ");
    g_tone_hz = hz > 0 && hz < (unsigned long)ENCODER_AUDIO_RATE / 2 ? (int)hz : 0;
    if (g_tone_hz) log_warn("debug: clips and the replay record a %d Hz tone instead of sound", g_tone_hz);
    g_hooks = agent_debug_hooks();
}

int64_t clip_shared_now(void) {
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t.QuadPart;
}

int64_t clip_shared_freq(void) {
    if (g_freq <= 0) {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        g_freq = f.QuadPart > 0 ? f.QuadPart : 1;
    }
    return g_freq;
}

int64_t clip_shared_frame_period(int fps) { return clip_shared_period_ticks(clip_shared_freq(), fps, g_speed); }

void clip_shared_timer_arm(int64_t deadline) {
    if (!g_timer) return;
    LARGE_INTEGER due;
    due.QuadPart = clip_shared_timer_due(deadline, clip_shared_now(), clip_shared_freq());
    SetWaitableTimer(g_timer, &due, 0, nullptr, nullptr, FALSE);
}

void clip_shared_timer_cancel(void) {
    if (g_timer) CancelWaitableTimer(g_timer);
}

bool clip_shared_debug_hooks(void) { return g_hooks; }

int clip_shared_tone_hz(void) { return g_tone_hz; }

void clip_shared_tone_feed(video_encoder* enc, clip_tone* tone) {
    if (!enc || !tone || tone->hz <= 0) return;
    const int n = clip_shared_tone_slot_samples(tone->slots, tone->fps);
    const double step = 2.0 * 3.14159265358979323846 * tone->hz / (double)ENCODER_AUDIO_RATE;
    for (int i = 0; i < n; i++) {
        const float v =
            tone->muted ? 0.0f : (float)(0.25 * sin(step * (double)((tone->samples + i) % ENCODER_AUDIO_RATE)));
        g_tone_buf[2 * i] = v;
        g_tone_buf[2 * i + 1] = v;
    }
    tone->slots++;
    tone->samples += n;
    if (n > 0) encoder_submit_audio(enc, g_tone_buf, n);
}

// ---- Capture thread: devices, settings, paths, frame counters

bool clip_shared_device_gone(const display_cache* cache) { return !cache || !cache->device || cache->lost; }

ID3D11Device* clip_shared_encoder_device(const display_cache* cache) {
    if (clip_shared_device_gone(cache)) return nullptr;
    ID3D11Device* d = display_cache_video_device(cache);
    return d ? d : cache->device;
}

encoder_params clip_shared_encoder_params(const display_cache* cache, const config* cfg, int width, int height, int fps,
                                          bool audio, int ring_seconds) {
    encoder_params p{};
    p.device = clip_shared_encoder_device(cache);
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

void clip_shared_split_error(const char* err, char code[CLIP_CODE_MAX], char message[CLIP_MESSAGE_MAX]) {
    const char* msg = err;
    if (!capture_error_split(err, code, CLIP_CODE_MAX, &msg)) {
        clip_shared_copy(code, CLIP_CODE_MAX, "internal");
        msg = err[0] ? err : "no file name could be made";
    }
    clip_shared_copy(message, CLIP_MESSAGE_MAX, msg);
}

bool clip_shared_output_path(const clip_request* req, const config* cfg, wchar_t base[ENCODER_PATH_MAX],
                             wchar_t sub[CLIP_FOLDER_MAX], wchar_t path[ENCODER_PATH_MAX], bool* explicit_path,
                             char code[CLIP_CODE_MAX], char message[CLIP_MESSAGE_MAX]) {
    wchar_t chord[CAPTURE_PATH_MAX];
    int slot_used = 0;
    capture_digit_base(cfg, 1, req->digit, chord, &slot_used);
    wchar_t b[ENCODER_PATH_MAX];
    wchar_t s[CLIP_FOLDER_MAX] = L"";
    if (req->dir[0]) {
        clip_shared_wcopy(b, ENCODER_PATH_MAX, req->dir);
    } else {
        clip_shared_wcopy(b, ENCODER_PATH_MAX, chord);
        if (!slot_used) clip_shared_wcopy(s, CLIP_FOLDER_MAX, req->folder);
    }
    wchar_t p[ENCODER_PATH_MAX];
    bool exp = false;
    if (req->out[0]) {
        clip_shared_wcopy(p, ENCODER_PATH_MAX, req->out);
        exp = true;
    } else {
        char err[CLIP_MESSAGE_MAX] = "";
        if (!capture_file_name(p, b, L"mp4", s[0] ? s : nullptr, err, sizeof err)) {
            clip_shared_split_error(err, code, message);
            return false;
        }
    }
    clip_shared_wcopy(base, ENCODER_PATH_MAX, b);
    clip_shared_wcopy(sub, CLIP_FOLDER_MAX, s);
    clip_shared_wcopy(path, ENCODER_PATH_MAX, p);
    *explicit_path = exp;
    return true;
}

bool clip_shared_sequence_new(int output, bool fresh, uint32_t* seen) {
    if (output < 0 || output >= CLIP_SEQUENCE_OUTPUTS) return fresh;
    const bool moved = g_sequence[output] != *seen;
    *seen = g_sequence[output];
    return moved;
}

void clip_shared_sequence_bump(int output) {
    if (output >= 0 && output < CLIP_SEQUENCE_OUTPUTS) g_sequence[output]++;
}

// ---- Pure helpers

void clip_shared_copy(char* out, size_t cap, const char* in) { text_format_into(out, cap, "%s", in ? in : ""); }

void clip_shared_wcopy(wchar_t* out, size_t cap, const wchar_t* in) {
    wcsncpy(out, in ? in : L"", cap - 1);
    out[cap - 1] = 0;
}

int clip_shared_tone_slot_samples(int64_t slot, int fps) {
    if (fps < 1 || slot < 0) return 0;
    return (int)((slot + 1) * ENCODER_AUDIO_RATE / fps - slot * ENCODER_AUDIO_RATE / fps);
}

clip_pace clip_shared_pace_step(int64_t now, int64_t deadline, int64_t period, int fps) {
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

int clip_shared_fps_clamp(int fps) {
    if (fps < 1) return 60;
    return fps > 120 ? 120 : fps;
}

int clip_shared_seconds_clamp(int seconds) {
    return seconds >= 1 && seconds <= CLIP_MAX_SECONDS ? seconds : CLIP_MAX_SECONDS;
}

void clip_shared_fit_size(int src_w, int src_h, int* out_w, int* out_h) {
    int64_t w = src_w > 0 ? src_w : 0, h = src_h > 0 ? src_h : 0;
    const int64_t larger = w > h ? w : h;
    if (larger > 4096) {
        w = w * 4096 / larger;
        h = h * 4096 / larger;
    }
    *out_w = (int)(w & ~(int64_t)1);
    *out_h = (int)(h & ~(int64_t)1);
}

int64_t clip_shared_period_ticks(int64_t freq, int fps, int speed) {
    if (fps < 1) fps = 1;
    int64_t p = freq / fps;
    if (speed >= 2) p /= speed;
    return p > 0 ? p : 1;
}

int64_t clip_shared_timer_due(int64_t deadline, int64_t now, int64_t freq) {
    if (deadline <= now || freq <= 0) return -1;
    const int64_t due = -((deadline - now) * 10000000 / freq);
    return due < 0 ? due : -1;
}
