#include "agent/overlay/selection.h"
#include "common/rect.h"

#include <cmath>
#include <cwchar>

static LONG selection_clamp_long(LONG v, LONG lo, LONG hi) {
    if (hi < lo) hi = lo;
    return v < lo ? lo : (v > hi ? hi : v);
}

// Logical-pixel comparisons are made in device pixels so that no rounding of the
// side decides a threshold: side / scale > limit  <=>  side > limit * scale.
static bool selection_exceeds_logical(LONG side, double limit, double scale) { return (double)side > limit * scale; }

void selection_init(selection_state* s, const RECT* screen, POINT cursor, int digit) {
    *s = selection_state{};
    s->screen = *screen;
    s->hover = selection_clamp(screen, cursor);
    s->anchor = s->current = s->hover;
    s->digit = digit >= 1 && digit <= 9 ? digit : 0;
}

POINT selection_clamp(const RECT* screen, POINT p) {
    POINT out;
    out.x = selection_clamp_long(p.x, screen->left, screen->right - 1);
    out.y = selection_clamp_long(p.y, screen->top, screen->bottom - 1);
    return out;
}

void selection_span(const RECT* screen, POINT anchor, POINT current, int square, RECT* out) {
    const POINT a = selection_clamp(screen, anchor);
    POINT c = selection_clamp(screen, current);
    if (square) {
        const LONG dx = c.x - a.x, dy = c.y - a.y;
        const LONG sx = dx < 0 ? -1 : 1, sy = dy < 0 ? -1 : 1;
        LONG side = dx < 0 ? -dx : dx;
        if ((dy < 0 ? -dy : dy) > side) side = dy < 0 ? -dy : dy;
        // The room left in the drag direction, counted in pixels beyond the anchor.
        const LONG room_x = sx > 0 ? screen->right - 1 - a.x : a.x - screen->left;
        const LONG room_y = sy > 0 ? screen->bottom - 1 - a.y : a.y - screen->top;
        if (side > room_x) side = room_x;
        if (side > room_y) side = room_y;
        if (side < 0) side = 0;
        c.x = a.x + sx * side;
        c.y = a.y + sy * side;
    }
    out->left = a.x < c.x ? a.x : c.x;
    out->top = a.y < c.y ? a.y : c.y;
    out->right = (a.x > c.x ? a.x : c.x) + 1;
    out->bottom = (a.y > c.y ? a.y : c.y) + 1;
}

static void selection_update_span(selection_state* s) {
    selection_span(&s->screen, s->anchor, s->current, s->square, &s->sel);
}

selection_outcome selection_move(selection_state* s, POINT p) {
    if (s->finished) return SELECTION_NONE;
    p = selection_clamp(&s->screen, p);
    const bool same = p.x == s->hover.x && p.y == s->hover.y;
    s->hover = p;
    if (!s->dragging) return same ? SELECTION_NONE : SELECTION_CHANGED;
    const RECT before = s->sel;
    s->current = p;
    s->moved = 1;
    selection_update_span(s);
    return rect_same(&before, &s->sel) ? SELECTION_NONE : SELECTION_CHANGED;
}

selection_outcome selection_button_down(selection_state* s, POINT p, int shift) {
    if (s->finished) return SELECTION_NONE;
    p = selection_clamp(&s->screen, p);
    s->hover = s->anchor = s->current = p;
    s->dragging = 1;
    s->moved = 0;
    s->square = shift ? 1 : 0;
    selection_update_span(s);
    return SELECTION_CHANGED;
}

selection_outcome selection_shift(selection_state* s, int shift) {
    shift = shift ? 1 : 0;
    if (s->finished || !s->dragging || s->square == shift) return SELECTION_NONE;
    s->square = shift;
    const RECT before = s->sel;
    selection_update_span(s);
    return rect_same(&before, &s->sel) ? SELECTION_NONE : SELECTION_CHANGED;
}

selection_outcome selection_button_up(selection_state* s, POINT p, int shift) {
    if (s->finished || !s->dragging) return SELECTION_NONE;
    p = selection_clamp(&s->screen, p);
    s->hover = s->current = p;
    s->square = shift ? 1 : 0;
    selection_update_span(s);
    s->dragging = 0;
    s->finished = 1;
    s->selected = s->sel.right - s->sel.left > 1 && s->sel.bottom - s->sel.top > 1;
    return s->selected ? SELECTION_SELECTED : SELECTION_CANCELLED;
}

selection_outcome selection_digit(selection_state* s, int digit) {
    if (s->finished || digit < 1 || digit > 9) return SELECTION_NONE;
    s->digit = s->digit == digit ? 0 : digit;
    return SELECTION_CHANGED;
}

selection_outcome selection_cancel(selection_state* s) {
    if (s->finished) return SELECTION_NONE;
    s->dragging = 0;
    s->finished = 1;
    s->selected = 0;
    return SELECTION_CANCELLED;
}

// The folder's own name: what follows the last separator, trailing separators ignored.
static void selection_last_component(const wchar_t* path, const wchar_t** start, size_t* len) {
    size_t end = wcslen(path);
    while (end > 0 && (path[end - 1] == L'\\' || path[end - 1] == L'/')) end--;
    size_t begin = end;
    while (begin > 0 && path[begin - 1] != L'\\' && path[begin - 1] != L'/') begin--;
    *start = path + begin;
    *len = end - begin;
}

// Appends up to n characters of src to the label text, cutting at its capacity.
static void selection_label_append(wchar_t* text, size_t* len, const wchar_t* src, size_t n) {
    const size_t room = SELECTION_LABEL_MAX - 1 - *len;
    if (n > room) n = room;
    wmemcpy(text + *len, src, n);
    *len += n;
    text[*len] = 0;
}

int selection_label_text(const selection_state* s, const wchar_t* const folders[SELECTION_FOLDERS], wchar_t* out,
                         size_t cap) {
    if (cap == 0) return 0;
    wchar_t text[SELECTION_LABEL_MAX];
    wchar_t part[64];
    size_t len = 0;
    text[0] = 0;
    if (s->dragging)
        swprintf(part, 64, L"%ld \u00D7 %ld", (long)(s->sel.right - s->sel.left), (long)(s->sel.bottom - s->sel.top));
    else
        swprintf(part, 64, L"%ld, %ld", (long)s->hover.x, (long)s->hover.y);
    selection_label_append(text, &len, part, wcslen(part));
    if (s->digit >= 1 && s->digit <= 9) {
        const wchar_t* folder = folders ? folders[s->digit - 1] : nullptr;
        const wchar_t* name = nullptr;
        size_t name_len = 0;
        if (folder && folder[0]) selection_last_component(folder, &name, &name_len);
        selection_label_append(text, &len, L" \u2192 ", 3);
        if (name_len > 0) {
            selection_label_append(text, &len, name, name_len);
        } else {
            swprintf(part, 64, L"folder%d (unset)", s->digit);
            selection_label_append(text, &len, part, wcslen(part));
        }
    }
    if (len > cap - 1) len = cap - 1;
    wmemcpy(out, text, len);
    out[len] = 0;
    return (int)len;
}

// One axis of the label's place: `off` past `after`, or `off` before `before` when that leaves the screen.
static LONG selection_label_axis(LONG after, LONG before, LONG off, LONG size, LONG limit) {
    return after + off + size > limit ? before - off - size : after + off;
}

void selection_label_rect(const selection_state* s, int text_w, int text_h, double scale, RECT* out) {
    const LONG pad = lround(6 * scale);
    const LONG w = text_w + 2 * pad, h = text_h + pad;
    const RECT* scr = &s->screen;
    LONG x, y;
    if (s->dragging) {
        // Beside the selection's bottom-right corner; flipped left of its right edge or above its top.
        const LONG off = lround(15 * scale);
        x = selection_label_axis(s->sel.right, s->sel.right, off, w, scr->right);
        y = selection_label_axis(s->sel.bottom, s->sel.top, off, h, scr->bottom);
    } else {
        const LONG off = lround(22 * scale);
        x = selection_label_axis(s->hover.x, s->hover.x, off, w, scr->right);
        y = selection_label_axis(s->hover.y, s->hover.y, off, h, scr->bottom);
    }
    // Whatever happens, the whole box stays on the screen (right and bottom win
    // only when the screen is narrower than the box).
    x = selection_clamp_long(x, scr->left, scr->right - w);
    y = selection_clamp_long(y, scr->top, scr->bottom - h);
    out->left = x;
    out->top = y;
    out->right = x + w;
    out->bottom = y + h;
}

int selection_handle_length(const RECT* sel, double scale) {
    LONG w = sel->right - sel->left, h = sel->bottom - sel->top;
    if (w < 0) w = 0;
    if (h < 0) h = 0;
    double logical = (double)(w < h ? w : h) / (scale > 0 ? scale : 1.0);
    double len = 0.3 * logical;
    if (len < 8) len = 8;
    if (len > 24) len = 24;
    return (int)lround(len * scale);
}

bool selection_has_edge_bars(const RECT* sel, double scale) {
    const LONG w = sel->right - sel->left, h = sel->bottom - sel->top;
    return selection_exceeds_logical(w < h ? w : h, 120, scale);
}

bool selection_has_grid(const RECT* sel, double scale) {
    return selection_exceeds_logical(sel->right - sel->left, 200, scale) &&
           selection_exceeds_logical(sel->bottom - sel->top, 200, scale);
}

int selection_line_width(int dpi) {
    // MulDiv's rounding: halves go away from zero.
    const int w = dpi >= 0 ? (dpi + 48) / 96 : (dpi - 48) / 96;
    return w > 1 ? w : 1;
}

void selection_dirty_rect(const RECT* sel, double scale, RECT* out) {
    if (rect_empty(sel)) {
        *out = RECT{};
        return;
    }
    const LONG d = lround(37 * scale);
    out->left = sel->left - d;
    out->top = sel->top - d;
    out->right = sel->right + d;
    out->bottom = sel->bottom + d;
}

void selection_union(const RECT* a, const RECT* b, RECT* out) {
    if (rect_empty(a)) {
        *out = rect_empty(b) ? RECT{} : *b;
        return;
    }
    if (rect_empty(b)) {
        *out = *a;
        return;
    }
    RECT r;
    r.left = a->left < b->left ? a->left : b->left;
    r.top = a->top < b->top ? a->top : b->top;
    r.right = a->right > b->right ? a->right : b->right;
    r.bottom = a->bottom > b->bottom ? a->bottom : b->bottom;
    *out = r;
}
