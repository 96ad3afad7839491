#pragma once
// The region selection's state machine and the geometry of what the overlay
// draws: pure functions (no Win32 calls) over virtual-desktop pixels, so every
// rule is table-tested. Rectangles are left, top, right, bottom with right and
// bottom exclusive.
#include "common/win.h"
#include <cstddef>
#include <cstdint>

enum { SELECTION_FOLDERS = 9, SELECTION_LABEL_MAX = 300 };

// Outcome of an event, for the caller's repaint and finish handling.
enum selection_outcome {
    SELECTION_NONE = 0,       // nothing visible changed
    SELECTION_CHANGED = 1,    // repaint
    SELECTION_SELECTED = 2,   // finished with a rectangle (sel)
    SELECTION_CANCELLED = 3,  // finished without one
};

struct selection_state {
    RECT screen;  // the virtual screen; every point is clamped to it
    POINT hover;
    POINT anchor, current;
    int dragging, moved, square, finished, selected;
    RECT sel;   // valid while dragging and after a selected finish
    int digit;  // 0 none, 1-9 the chosen folder slot
};

// Idle at the cursor position, with the action's chord digit (0 none).
void selection_init(selection_state* s, const RECT* screen, POINT cursor, int digit);
// The point clamped into the screen: x in [left, right - 1], y in [top, bottom - 1].
POINT selection_clamp(const RECT* screen, POINT p);
// The rectangle spanned by anchor and current. Both points are pixels inside it: the
// pixel under the pointer at the press and the one at the release are captured, so a
// drag from x = 100 to x = 300 covers columns 100..300 (right = 301, 201 wide) in
// either direction, a click is 1 x 1 and a drag to the last column reaches the
// screen's edge. With square, the span d = max(|dx|, |dy|) is reduced so that the
// far corner stays inside screen in the drag direction (signs kept; a zero delta
// counts as positive), giving a (d + 1) x (d + 1) square.
void selection_span(const RECT* screen, POINT anchor, POINT current, int square, RECT* out);
// Events. Each is ignored (SELECTION_NONE) once the selection has finished.
selection_outcome selection_move(selection_state* s, POINT p);
selection_outcome selection_button_down(selection_state* s, POINT p, int shift);
selection_outcome selection_shift(selection_state* s, int shift);
// Finishes as selected when both sides exceed 1 pixel, else as cancelled; a button
// up while not dragging does nothing.
selection_outcome selection_button_up(selection_state* s, POINT p, int shift);
// Digit 1-9 (top row or keypad, already mapped): chooses it, or clears it when it is
// the chosen one.
selection_outcome selection_digit(selection_state* s, int digit);
// Escape, right button, expiry, lost capture or focus: finishes as cancelled.
selection_outcome selection_cancel(selection_state* s);

// The label text: "%d × %d" while dragging, else "%d, %d" at the hover point;
// with a chosen digit followed by " → " and the last path component of its slot,
// or " → folder%d (unset)". folders[i] is slot i + 1. Returns the length.
int selection_label_text(const selection_state* s, const wchar_t* const folders[SELECTION_FOLDERS], wchar_t* out,
                         size_t cap);
// The label box for a text extent of text_w x text_h pixels at `scale` (DPI / 96):
// text plus 6*scale each side horizontally and 6*scale in height, placed 15*scale
// right of and below the selection's bottom-right corner while dragging, 22*scale
// from the hover point otherwise, moved to the other side when it would leave the screen.
void selection_label_rect(const selection_state* s, int text_w, int text_h, double scale, RECT* out);
// Arm length of the corner handles in device pixels: clamp(0.3 * shorter logical side, 8, 24) * scale.
int selection_handle_length(const RECT* sel, double scale);
// Mid-edge bars are drawn when the shorter side exceeds 120 logical pixels.
bool selection_has_edge_bars(const RECT* sel, double scale);
// The thirds grid is drawn (when enabled) when both sides exceed 200 logical pixels.
bool selection_has_grid(const RECT* sel, double scale);
// Border and grid thickness: max(1, MulDiv(1, dpi, 96)).
int selection_line_width(int dpi);
// What must be repainted around a selection: sel inflated by 37 * scale.
void selection_dirty_rect(const RECT* sel, double scale, RECT* out);
// Union of two rectangles, either of which may be empty.
void selection_union(const RECT* a, const RECT* b, RECT* out);
