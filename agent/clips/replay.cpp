#include "agent/clips/replay.h"
#include "agent/capture/capture.h"
#include "agent/capture/display_cache.h"
#include "agent/clips/audio.h"
#include "agent/clips/replay_ring.h"
#include "agent/clips/sounds.h"
#include "agent/core/agent.h"
#include "agent/core/capture_files.h"
#include "agent/core/storage_monitor.h"
#include "common/log.h"
#include "common/text.h"
#include <cstring>
#include <cwchar>

namespace {

// The one replay buffer. Only the capture thread touches it.
struct replay_buffer {
    video_encoder* enc;
    int output, fps, width, height;
    int64_t period, deadline;
    uint32_t generation;
    uint32_t seq_seen;
    uint64_t saves;
    clip_tone tone;        // the test tone standing in for sound
    audio_capture* audio;  // system sound; none when it could not start
    bool audio_aligned;
};

constexpr char REPLAY_OFF_TEXT[] =
    "Replay is off. Turn on \"Keep last 30 s\" in Ivra settings, or run: ivrac replay on";
constexpr char REPLAY_LOST_TEXT[] =
    "screen capture was lost (lock screen, secure prompt or full-screen switch); the replay restarts by itself";
constexpr uint64_t REPLAY_PUBLISH_MS = 250;
constexpr uint64_t REPLAY_RING_LOG_MS = 10000;
// Restart attempts after an automatic stop: the first at once, then 250 ms doubling to 4 s,
// so a long lock screen costs little and the replay is back soon after it.
constexpr int64_t REPLAY_RETRY_FIRST_MS = 250;
constexpr int64_t REPLAY_RETRY_MAX_MS = 4000;
// A replay that buffered this long runs well again: the next restart is at once.
constexpr int REPLAY_HEALTHY_SECONDS = 2;

replay_buffer* g_replay = nullptr;
char g_error[CLIP_MESSAGE_MAX] = "";
uint64_t g_published_at = 0;
uint64_t g_ring_logged_at = 0;

// The replay was stopped on its own (not by the setting) and waits to restart.
bool g_pending = false;
int64_t g_retry_at = 0;  // performance counter
int g_retry_streak = 0;  // restarts since the replay last ran well
bool g_retry_logged = false;

void replay_set_error(const char* text) { text_format_into(g_error, sizeof g_error, "%s", text ? text : ""); }

void replay_publish() {
    const replay_buffer* r = g_replay;
    g_published_at = GetTickCount64();
    if (!r) {
        clip_shared_status_publish_replay(0, 0, 0, 0, 0.0, 0, g_error);
        return;
    }
    double buffered = r->fps > 0 ? (double)r->enc->frame_counter / r->fps : 0.0;
    if (buffered > (double)ENCODER_RING_SECONDS) buffered = (double)ENCODER_RING_SECONDS;
    clip_shared_status_publish_replay(1, r->width, r->height, r->fps, buffered, r->saves, g_error);
}

int replay_primary_output(const display_cache* cache) {
    return display_cache_output_index(cache, MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY));
}

void replay_schedule_retry() {
    int64_t ms = 0;
    if (g_retry_streak > 0) {
        ms = REPLAY_RETRY_MAX_MS;
        if (g_retry_streak < 8 && (REPLAY_RETRY_FIRST_MS << (g_retry_streak - 1)) < ms)
            ms = REPLAY_RETRY_FIRST_MS << (g_retry_streak - 1);
    }
    g_retry_streak++;
    g_pending = true;
    g_retry_at = clip_shared_now() + ms * clip_shared_freq() / 1000;
}

void replay_clear_retry() {
    g_pending = false;
    g_retry_streak = 0;
    g_retry_logged = false;
}

void replay_submit(replay_buffer* r, ID3D11Texture2D* tex, bool is_new) {
    if (encoder_submit_frame(r->enc, tex, nullptr, tex ? is_new : false)) {
        clip_shared_tone_feed(r->enc, &r->tone);
        // The sound's timeline starts with the first picture, which may come later than the start.
        if (!r->audio_aligned) {
            audio_request_reset(r->audio, r->deadline);  // this picture's slot
            r->audio_aligned = true;
        }
    }
}

// Under the debug hooks, what the ring holds (for the memory benchmark).
void replay_log_ring(const replay_buffer* r) {
    const uint64_t now = GetTickCount64();
    if (!clip_shared_debug_hooks() || now - g_ring_logged_at < REPLAY_RING_LOG_MS) return;
    g_ring_logged_at = now;
    double held = r->fps > 0 ? (double)r->enc->frame_counter / r->fps : 0.0;
    if (held > (double)ENCODER_RING_SECONDS + 2.0) held = (double)ENCODER_RING_SECONDS + 2.0;
    log_info("replay: ring %llu bytes, %.1f s", (unsigned long long)replay_ring_bytes(r->enc->ring), held);
}

}  // namespace

bool replay_active(void) { return g_replay != nullptr; }

bool replay_ticking(void) { return g_replay != nullptr || g_pending; }

bool replay_next_deadline(int64_t* deadline) {
    if (!g_replay && !g_pending) return false;
    *deadline = g_replay ? g_replay->deadline : g_retry_at;
    return true;
}

void replay_start(display_cache* cache) {
    if (g_replay) return;
    if (!cache || !display_cache_validate(cache) || !clip_shared_encoder_device(cache)) {
        replay_set_error("no video-capable GPU device");
        replay_publish();
        return;
    }
    const int output = replay_primary_output(cache);
    RECT rect{};
    if (output < 0 || !display_cache_output_rect(cache, output, &rect)) {
        replay_set_error("primary monitor not found");
        replay_publish();
        return;
    }
    config cfg;
    agent_config_copy(&cfg);
    replay_buffer* r = (replay_buffer*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(replay_buffer));
    if (!r) {
        replay_set_error("out of memory");
        replay_publish();
        return;
    }
    r->output = output;
    clip_shared_fit_size((int)(rect.right - rect.left), (int)(rect.bottom - rect.top), &r->width, &r->height);
    r->fps = clip_shared_fps_clamp(cfg.clip_fps);
    encoder_params params =
        clip_shared_encoder_params(cache, &cfg, r->width, r->height, r->fps, true, ENCODER_RING_SECONDS);
    char err[ENCODER_ERROR_MAX] = "";
    r->enc = encoder_create(&params, nullptr, err);
    if (!r->enc) {
        if (!err[0]) strcpy(err, "encoder could not be created");
        log_warn("replay: %s", err);
        replay_set_error(err);
        HeapFree(GetProcessHeap(), 0, r);
        replay_publish();
        return;
    }
    r->tone.hz = clip_shared_tone_hz();
    r->tone.fps = r->fps;
    if (r->tone.hz <= 0) {
        // The replay records system sound only, from the moment it starts buffering.
        r->audio = audio_start(r->enc, true, false, 0, false);
        if (!r->audio) log_warn("replay: audio capture could not start; buffering video only");
    }
    r->generation = display_cache_generation(cache);
    r->period = clip_shared_frame_period(r->fps);
    r->deadline = clip_shared_now();
    replay_set_error("");
    g_replay = r;
    g_ring_logged_at = GetTickCount64();
    display_cache_set_continuous(cache, 1);
    log_info("replay: buffering screen %d %dx%d @ %d fps, last %d s", r->output, r->width, r->height, r->fps,
             (int)ENCODER_RING_SECONDS);
    replay_publish();
}

namespace {

void replay_detach(const char* reason) {
    replay_buffer* r = g_replay;
    if (!r) return;
    g_replay = nullptr;
    audio_stop(r->audio);
    encoder_finish(r->enc, true, nullptr, nullptr);
    HeapFree(GetProcessHeap(), 0, r);
    log_info("replay: stopped (%s)", reason);
    replay_publish();
}

// Brings the replay back once the primary monitor answers again; until then it waits for
// the next attempt and the error text says why.
void replay_retry(display_cache* cache) {
    g_pending = false;
    const int output = cache && display_cache_validate(cache) ? replay_primary_output(cache) : -1;
    ID3D11Texture2D* tex = nullptr;
    int fresh = 0;
    // Tried before an encoder is made: while the desktop is locked, no frame comes.
    if (output >= 0 && !capture_poll(cache, output, &tex, &fresh)) {
        replay_set_error(REPLAY_LOST_TEXT);
    } else {
        if (output >= 0 && fresh) clip_shared_sequence_bump(output);
        replay_start(cache);  // a failure leaves its own error text
        if (g_replay) {
            g_retry_logged = false;
            return;
        }
    }
    if (!g_retry_logged) log_warn("replay: cannot restart yet (%s); retrying", g_error);
    g_retry_logged = true;
    replay_schedule_retry();
    replay_publish();
}

// Stops the replay on its own account and restarts it at once, or as soon as it can run.
// why (null: none) becomes the error text meanwhile.
void replay_restart(display_cache* cache, const char* reason, const char* why) {
    if (why) replay_set_error(why);
    replay_detach(reason);
    replay_schedule_retry();
    if (clip_shared_now() >= g_retry_at) replay_retry(cache);
}

}  // namespace

void replay_stop(const char* reason) {
    replay_clear_retry();
    replay_detach(reason);
}

void replay_tick(display_cache* cache) {
    replay_buffer* r = g_replay;
    if (!r) {
        if (g_pending && clip_shared_now() >= g_retry_at) replay_retry(cache);
        return;
    }
    char err[ENCODER_ERROR_MAX] = "";
    if (encoder_failed(r->enc, err)) {
        // Its ring no longer grows: a save from it would hold old seconds.
        log_warn("replay: encoder failed: %s; restarting", err);
        char why[CLIP_MESSAGE_MAX];
        text_format_into(why, sizeof why, "replay encoder failed: %s", err);
        replay_restart(cache, "encoder failed", why);
        return;
    }
    const uint32_t gen = cache ? display_cache_generation(cache) : 0;
    if (gen != r->generation) {
        replay_restart(cache, "display changed", nullptr);
        return;
    }
    if (g_retry_streak > 0 && r->enc->frame_counter >= (int64_t)REPLAY_HEALTHY_SECONDS * r->fps) g_retry_streak = 0;
    // Lost periods are skipped as for a clip, but the replay keeps no count of them.
    const clip_pace pace = clip_shared_pace_step(clip_shared_now(), r->deadline, r->period, r->fps);
    if (pace.frames > 0) {
        ID3D11Texture2D* tex = nullptr;
        int fresh = 0;
        bool is_new = false;
        if (capture_poll(cache, r->output, &tex, &fresh)) {
            if (fresh) clip_shared_sequence_bump(r->output);
            is_new = clip_shared_sequence_new(r->output, fresh != 0, &r->seq_seen);
        } else {
            if (clip_shared_device_gone(cache) || display_cache_generation(cache) != r->generation) {
                replay_restart(cache, "capture lost", REPLAY_LOST_TEXT);
                return;
            }
            tex = nullptr;
        }
        replay_submit(r, tex, is_new);
        for (int64_t i = 1; i < pace.frames; i++) replay_submit(r, nullptr, false);
    }
    r->deadline = pace.deadline;
    if (GetTickCount64() - g_published_at >= REPLAY_PUBLISH_MS) replay_publish();
    replay_log_ring(r);
}

void replay_save(clip_request* req) {
    replay_buffer* r = g_replay;
    char err[ENCODER_ERROR_MAX] = "";
    if (r && encoder_failed(r->enc, err)) {
        // The next wake restarts it; until then the ring holds only what came before the failure.
        char why[CLIP_MESSAGE_MAX];
        text_format_into(why, sizeof why, "replay encoder failed: %s", err);
        clip_shared_request_reply(req, false, "replay_off", why);
        return;
    }
    if (!r) {
        clip_shared_request_reply(req, false, "replay_off", g_error[0] ? g_error : REPLAY_OFF_TEXT);
        return;
    }
    const int seconds = clip_shared_seconds_clamp(req->seconds);
    config cfg;
    agent_config_copy(&cfg);
    wchar_t base[ENCODER_PATH_MAX], sub[CLIP_FOLDER_MAX], path[ENCODER_PATH_MAX];
    bool explicit_path = false;
    char code[CLIP_CODE_MAX] = "", message[CLIP_MESSAGE_MAX] = "";
    if (!clip_shared_output_path(req, &cfg, base, sub, path, &explicit_path, code, message)) {
        clip_shared_request_reply(req, false, code, message);
        return;
    }
    if (!storage_gate(&cfg, path, nullptr, nullptr, nullptr)) {
        if (!explicit_path) capture_name_release(path);
        clip_shared_request_reply(req, false, "disk_full", "drive free space below stop_free_mb");
        return;
    }
    clip_finish* f = (clip_finish*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(clip_finish));
    if (!f) {
        if (!explicit_path) capture_name_release(path);
        clip_shared_request_reply(req, false, "internal", "out of memory");
        return;
    }
    const uint64_t id = ++r->saves;
    f->id = id;
    f->silent = req->silent;
    f->replay = true;
    // The reply slots are filled first: a quick save may report its result before this returns.
    req->session = id;
    req->width = r->width;
    req->height = r->height;
    req->fps = r->fps;
    wcsncpy(req->path, path, ENCODER_PATH_MAX - 1);
    req->path[ENCODER_PATH_MAX - 1] = 0;
    if (req->wait) {
        clip_shared_request_add_ref(req);
        f->waiters[f->waiter_count++] = req;
    }
    clip_shared_finalizing_add(1);
    if (!encoder_save_replay(r->enc, path, seconds, cfg.clip_audio_system != 0, clip_shared_finished, f)) {
        clip_shared_finalizing_add(-1);
        if (f->waiter_count) clip_shared_request_release(req);
        HeapFree(GetProcessHeap(), 0, f);
        if (!explicit_path) capture_name_release(path);
        clip_shared_request_reply(req, false, "busy", "replay encoder is busy; try again");
        return;
    }
    if (!req->silent) sounds_play_chime();
    log_info("replay: saving last %d s -> %ls", seconds, path);
    clip_shared_request_reply(req, true, "", "");
    replay_publish();
}

void replay_config_changed(display_cache* cache, int enabled) {
    if (enabled && !g_replay) {
        if (g_pending)
            replay_retry(cache);
        else
            replay_start(cache);
    } else if (!enabled && g_replay) {
        replay_stop("disabled");
    } else if (!enabled) {
        replay_clear_retry();
        replay_set_error("");
        replay_publish();
    }
}
