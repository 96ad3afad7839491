#pragma once
// The replay buffer: while replay_enabled is on, the primary monitor is encoded into
// memory (the last 30 s) on the capture thread's timer, and op 9 of a clip request
// writes the last 1-30 s to an MP4 on the clips pool while buffering goes on.
// The clip session drives it (capture thread) and arms the capture thread's timer
// for the earlier of its own and the replay's deadlines after each call here.
#include "agent/clips/clip_shared.h"

// Starts buffering (nothing when a replay runs). Failures leave the error text.
void replay_start(display_cache* cache);
// Stops buffering with a reason ("disabled", "agent stopping") and gives up a pending
// restart.
void replay_stop(const char* reason);
// One wake: paces and submits frames. A display change, a lost capture (lock screen,
// secure prompt, full-screen switch) or a failed encoder stops the replay and restarts it
// at once; while it cannot run, it retries on later wakes and the error text says why.
void replay_tick(display_cache* cache);
// Op 9: queues a save and replies; the take reports through clip_shared_finished.
void replay_save(clip_request* req);
bool replay_active(void);
// True while the replay buffers or waits to restart: the capture thread's timer is needed.
bool replay_ticking(void);
// The replay's next deadline, or its next restart attempt (performance counter); false
// when neither is due.
bool replay_next_deadline(int64_t* deadline);
// After a reload: replay_enabled on and none runs -> start; off and one runs -> stop
// ("disabled"); off and none -> clear the error text.
void replay_config_changed(display_cache* cache, int enabled);
