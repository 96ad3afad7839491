#include "common/rect.h"

bool rect_empty(const RECT* r) { return r->right <= r->left || r->bottom <= r->top; }

bool rect_same(const RECT* a, const RECT* b) {
    return a->left == b->left && a->top == b->top && a->right == b->right && a->bottom == b->bottom;
}

bool rect_inside(const RECT* inner, const RECT* outer) {
    return inner->left >= outer->left && inner->top >= outer->top && inner->right <= outer->right &&
           inner->bottom <= outer->bottom;
}

bool rect_meets(const RECT* a, const RECT* b) {
    return a->left < b->right && b->left < a->right && a->top < b->bottom && b->top < a->bottom;
}

bool rect_intersect(const RECT* a, const RECT* b, RECT* out) {
    RECT r = {a->left > b->left ? a->left : b->left, a->top > b->top ? a->top : b->top,
              a->right < b->right ? a->right : b->right, a->bottom < b->bottom ? a->bottom : b->bottom};
    if (rect_empty(&r)) return false;
    *out = r;
    return true;
}
