// Rectangle arithmetic shared by capture, the overlay and the clip bar. Rectangles are
// half-open: right and bottom lie just outside.
#pragma once

#include "common/win.h"

// True when r covers no pixel.
bool rect_empty(const RECT* r);

// True when a and b have the same four edges.
bool rect_same(const RECT* a, const RECT* b);

// True when inner lies wholly within outer.
bool rect_inside(const RECT* inner, const RECT* outer);

// True when a and b share at least one pixel.
bool rect_meets(const RECT* a, const RECT* b);

// Writes the common part of a and b to out and returns true; returns false and leaves out
// untouched when they share no pixel.
bool rect_intersect(const RECT* a, const RECT* b, RECT* out);
