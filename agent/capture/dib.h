// Device-independent bitmaps as the capture paths, benches and test tools use them.
#pragma once

#include "common/win.h"

// Fills *bi for a 32-bit BGRA bitmap of width x height stored top-down, so rows come
// in screen order; no system call.
void dib_info_top_down(BITMAPINFO* bi, long width, long height);
