#pragma once
// What the region overlay draws: the dimming, the selection with its border,
// thirds grid, corner handles and edge bars, the crosshair and the label. Sprites
// are rendered once (4 x 4 supersampled, premultiplied BGRA) and blended.
// Coordinates here are client pixels (virtual-desktop minus the screen origin).
#include "agent/overlay/overlay_state.h"

// Creates the font and sprites for s->dpi. False (nothing kept) on failure.
bool overlay_draw_create(overlay_state* s);
// Frees the font and sprites. Safe on a state without them.
void overlay_draw_destroy(overlay_state* s);

// Frozen look: makes each snapshot's bright and dimmed DIB sections (dimmed = each
// colour byte * 140 >> 8, alpha 255). False after logging "region: DIB alloc failed %dx%d".
bool overlay_draw_snapshots(overlay_state* s);
// Frees the snapshots' DIB sections (not their frame buffers).
void overlay_draw_free_snapshots(overlay_state* s);
// Frozen look: paints `area` of the window into dc from the ready images, composed
// in strips through a small buffer so that each pixel reaches the window once.
void overlay_draw_frozen(overlay_state* s, HDC dc, const RECT* area);

// Live look: creates the back buffer of the screen's size. False after logging
// "region(live): back buffer %dx%d alloc failed".
bool overlay_draw_back_buffer(overlay_state* s);
// Live look: brings `area` of the back buffer up to date with the state. Once a call
// has covered the whole buffer, later calls rewrite only the pixels whose picture
// changed since the previous call (the pieces drawn then and now, and the bands
// between the old and the new selection edges), so a drag costs in proportion to
// its movement, not to the area; `area` must hold those pixels, which the union of
// the previous and the new extent does.
void overlay_draw_live(overlay_state* s, const RECT* area);
// Frees the back buffer.
void overlay_draw_free_back_buffer(overlay_state* s);

// The client area the current picture needs beyond the plain dimming: the selection
// inflated by 37 * scale, the label box and the crosshair box. Callers repaint the
// union of the previous and the new extent, then store the new one in s->drawn.
void overlay_draw_extent(const overlay_state* s, RECT* out);
