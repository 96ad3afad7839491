#include "agent/core/capture_wiring.h"
#include "agent/capture/capture_thread.h"
#include "agent/capture/still_jobs.h"
#include "agent/clips/clip_session.h"
#include "agent/clips/sounds.h"
#include "agent/core/messages.h"
#include "agent/overlay/overlay.h"
#include "common/config.h"

namespace {

void capture_wiring_action(display_cache* cache, WPARAM wp, LPARAM lp) {
    const int action = (int)wp, digit = (int)lp;
    if (action >= HOTKEY_SCREEN && action <= HOTKEY_REGION)
        still_hotkey_action(cache, action, digit);
    else if (action >= HOTKEY_CLIP && action <= HOTKEY_CLIP_REDO)
        clip_hotkey_action(cache, action, digit);
}

void capture_wiring_shot(display_cache* cache, WPARAM, LPARAM lp) { still_pipe_shot(cache, (still_request*)lp); }

void capture_wiring_shot_drop(WPARAM, LPARAM lp) {
    if (lp)
        still_request_fail((still_request*)lp, "busy", "another capture selection is active or the agent is stopping");
}

void capture_wiring_region(display_cache* cache, WPARAM, LPARAM lp) { still_region_result(cache, (region_result*)lp); }

void capture_wiring_region_drop(WPARAM, LPARAM lp) {
    if (lp) still_region_free((region_result*)lp, "capture thread stopped");
}

void capture_wiring_clip(display_cache* cache, WPARAM, LPARAM lp) { clip_handle_request(cache, (clip_request*)lp); }

void capture_wiring_clip_drop(WPARAM, LPARAM lp) {
    clip_request* req = (clip_request*)lp;
    if (!req) return;
    clip_request_reply(req, false, "busy", "agent is stopping");
    clip_request_release(req);
}

void capture_wiring_config(display_cache* cache, WPARAM, LPARAM) { clip_config_changed(cache); }

void capture_wiring_begin(HANDLE timer, display_cache* cache) {
    clip_thread_begin(timer);
    clip_startup(cache);
}

void capture_wiring_play(int sound) { sounds_play(sound == STILL_SOUND_WARNING ? SOUND_WARNING : SOUND_CHIME); }

bool capture_wiring_open_region(display_cache* cache, const region_request* req) {
    return overlay_start(cache, req, nullptr);
}

}  // namespace

void capture_wiring_install(void) {
    capture_thread_on(WM_CAPTURE_ACTION, capture_wiring_action, nullptr);
    capture_thread_on(WM_CAPTURE_SHOT, capture_wiring_shot, capture_wiring_shot_drop);
    capture_thread_on(WM_CAPTURE_REGION, capture_wiring_region, capture_wiring_region_drop);
    capture_thread_on(WM_CAPTURE_CLIP, capture_wiring_clip, capture_wiring_clip_drop);
    capture_thread_on(WM_CAPTURE_CONFIG, capture_wiring_config, nullptr);
    const capture_ticker ticker{capture_wiring_begin, clip_timer_active, clip_wake, clip_shutdown};
    capture_thread_set_ticker(&ticker);
    const still_hooks hooks{capture_wiring_play, capture_wiring_open_region};
    still_set_hooks(&hooks);
}
