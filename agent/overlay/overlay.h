#pragma once
// The region overlay: a topmost window of class IvraRegionWnd over the whole
// virtual desktop, on its own thread ("ivra-overlay"), where the user drags the
// rectangle to capture. Two looks: live (a translucent layered window over the
// running desktop, updated by dirty rectangles) and frozen (dimmed snapshots of
// every output taken just before it shows). At most one selection exists at a
// time; the process-wide `selecting` flag is set from overlay_start until the
// overlay thread ends. The overlay serves a region_request and answers it exactly
// once through the request, whatever happens; it knows nothing of who asked.
#include "agent/capture/region_request.h"
#include <cstdint>

struct display_cache;

// Starts a selection for req on the thread that owns frames (the capture thread); the
// frozen look snapshots every output of frames first. False when no overlay was started:
// a selection was already open (answered REGION_BUSY) or nothing could be frozen or held
// (answered REGION_FAILED), req->done having run before the return. True once the overlay
// thread owns the request, and also when that thread could not be created (answered
// then). *selection (may be null) receives the selection's number, 0 when none started.
bool overlay_start(display_cache* frames, const region_request* req, uint64_t* selection);
// Asks the open selection numbered `selection` to close as cancelled (0: whichever is
// open); nothing when another or none is open. Any thread.
void overlay_close(uint64_t selection);
// Waits without limit for the last overlay thread, if one was started (agent stop).
// An overlay still open is asked to close first.
void overlay_wait(void);
