#pragma once
// The clip bar and the frame around the recorded area, on their own thread
// "ivra-clipbar": shown while a clip records, excluded from capture where the
// system allows it, refreshed from the clip status 30 times a second.
#include "common/win.h"
#include <cstdint>

// Published placement, read by the clip "ui" query.
struct clip_bar_geometry {
    int visible;
    uint64_t session;
    RECT bar;
    int bar_inside;
    RECT frame;
    int frame_inside;
    int excluded_from_capture;
};

// Starts the bar thread. False ("clip bar thread failed %lu" is logged) when it cannot start.
bool clip_bar_start(void);
// Posts WM_QUIT to the bar thread and waits up to ms for it.
void clip_bar_stop(unsigned long ms);
// A copy of the published placement, taken under its lock (all zero before the first tick).
void clip_bar_geometry_read(clip_bar_geometry* out);
