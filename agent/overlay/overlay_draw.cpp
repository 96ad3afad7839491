#include "agent/overlay/overlay_draw.h"

#include "agent/capture/dib.h"
#include "agent/core/frame_pool.h"
#include "common/log.h"
#include "common/rect.h"

#include <cmath>
#include <cstring>
#include <cwchar>

namespace {

// Premultiplied BGRA pixels of one pre-rendered mark.
struct draw_sprite {
    int w, h;
    uint32_t* px;
};

// One piece of the picture above the plain dimming: a sprite or a flat colour.
struct draw_deco {
    RECT r;  // client pixels the piece covers
    const draw_sprite* sprite;
    uint32_t colour;  // premultiplied, when there is no sprite
};

constexpr int DECO_MAX = 24;
constexpr int SAMPLES = 4;  // supersampling per axis
constexpr int SHADOW_ALPHA = 102;
constexpr int FROZEN_STRIP_PIXELS = 256 * 1024;   // 1 MB of composition buffer
constexpr uint32_t DIM_LIVE = 0x6E000000u;        // premultiplied black at alpha 110
constexpr uint32_t SELECTION_LIVE = 0x01000000u;  // nearly clear but still hit-testable
constexpr uint32_t BORDER_COLOUR = 0xB3B3B3B3u;   // white at alpha 179
constexpr uint32_t GRID_COLOUR = 0x2E2E2E2Eu;     // white at alpha 46
constexpr uint32_t LABEL_BGR = 0x001C1C1Eu;       // RGB(0x1C, 0x1C, 0x1E) as a pixel value

// A shape of a mark in sprite pixels: a rectangle, or a disc when radius > 0.
struct mark {
    float x0, y0, x1, y1;
    float cx, cy, radius;
    int alpha;  // white alpha over the black shadow
};

}  // namespace

struct overlay_art {
    HFONT font;
    HDC text_dc;
    HGDIOBJ text_old_font;
    double scale;
    int line_w, thick, gap;

    draw_sprite cross;
    int cross_centre;        // sprite pixel that sits on the hover point
    draw_sprite corners[4];  // top-left, top-right, bottom-left, bottom-right
    int corner_len;          // 0 until built
    draw_sprite bar_h, bar_v;
    int bar_len;

    // The label: its text, box size and rendering (text on the label colour, rounded).
    wchar_t label_text[SELECTION_LABEL_MAX];
    int label_ready;
    draw_sprite label;
    int label_cap;  // pixels the label sprite can hold
    HBITMAP label_bmp;
    uint32_t* label_bits;
    HGDIOBJ label_old;
    int label_bmp_w, label_bmp_h;

    // Frozen look: the composition buffer a paint is built in before it reaches the window.
    HBITMAP comp;
    uint32_t* comp_bits;
    HDC comp_dc;
    HGDIOBJ comp_old;
    int comp_w, comp_h;

    // Live look: what the back buffer holds, so an update rewrites only what changed.
    int shown_valid;
    RECT shown_sel;
    RECT shown_decos[DECO_MAX];
    int shown_count;
};

// ---- Timing of the frozen look's preparation.

static int64_t overlay_draw_qpc(void) {
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t.QuadPart;
}

static double overlay_draw_ms(int64_t from, int64_t to) {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f.QuadPart > 0 ? (double)(to - from) * 1000.0 / (double)f.QuadPart : 0.0;
}

// ---- Pixel helpers.

static inline uint32_t overlay_draw_px_over(uint32_t src, uint32_t dst) {
    const uint32_t sa = src >> 24;
    if (sa == 255) return src;
    if (sa == 0) return dst;
    const uint32_t inv = 255 - sa;
    uint32_t rb = (dst & 0x00FF00FFu) * inv;
    uint32_t ag = ((dst >> 8) & 0x00FF00FFu) * inv;
    rb = ((rb + 0x00800080u + ((rb >> 8) & 0x00FF00FFu)) >> 8) & 0x00FF00FFu;
    ag = (ag + 0x00800080u + ((ag >> 8) & 0x00FF00FFu)) & 0xFF00FF00u;
    return src + rb + ag;
}

// Pixels to draw on: `bits` holds the client rectangle `bounds`, `stride` pixels a row.
struct draw_target {
    uint32_t* bits;
    int stride;
    RECT bounds;
};

static uint32_t* overlay_draw_target_at(const draw_target* t, LONG x, LONG y) {
    return t->bits + (size_t)(y - t->bounds.top) * t->stride + (x - t->bounds.left);
}

static void overlay_draw_target_blend(const draw_target* t, const RECT* r, uint32_t colour) {
    RECT c;
    if (!rect_intersect(r, &t->bounds, &c)) return;
    for (LONG y = c.top; y < c.bottom; y++) {
        uint32_t* row = overlay_draw_target_at(t, c.left, y);
        for (LONG i = 0; i < c.right - c.left; i++) row[i] = overlay_draw_px_over(colour, row[i]);
    }
}

// Blends a sprite whose top-left sits at x, y, only where it meets `clip`.
static void overlay_draw_target_sprite(const draw_target* t, const draw_sprite* sp, LONG x, LONG y, const RECT* clip) {
    const RECT r = {x, y, x + sp->w, y + sp->h};
    RECT c, cc;
    if (!sp->px || !rect_intersect(&r, &t->bounds, &c) || !rect_intersect(&c, clip, &cc)) return;
    for (LONG yy = cc.top; yy < cc.bottom; yy++) {
        uint32_t* row = overlay_draw_target_at(t, cc.left, yy);
        const uint32_t* src = sp->px + (size_t)(yy - y) * sp->w + (cc.left - x);
        for (LONG i = 0; i < cc.right - cc.left; i++) row[i] = overlay_draw_px_over(src[i], row[i]);
    }
}

// ---- Sprites, rendered once with 4 x 4 samples a pixel.

static void overlay_draw_sprite_free(draw_sprite* sp) {
    if (sp->px) HeapFree(GetProcessHeap(), 0, sp->px);
    *sp = draw_sprite{};
}

static bool overlay_draw_mark_hit(const mark* m, float x, float y) {
    if (m->radius > 0) {
        const float dx = x - m->cx, dy = y - m->cy;
        return dx * dx + dy * dy <= m->radius * m->radius;
    }
    return x >= m->x0 && x < m->x1 && y >= m->y0 && y < m->y1;
}

// White marks over a black shadow offset by one pixel down and right.
static bool overlay_draw_sprite_render(draw_sprite* sp, int w, int h, const mark* marks, int count) {
    uint32_t* px = (uint32_t*)HeapAlloc(GetProcessHeap(), 0, (size_t)w * h * 4);
    if (!px) return false;
    for (int y = 0; y < h; y++) {
        for (int x = 0; x < w; x++) {
            int sum_a = 0, sum_c = 0;
            for (int j = 0; j < SAMPLES; j++) {
                for (int i = 0; i < SAMPLES; i++) {
                    const float sx = x + (i + 0.5f) / (float)SAMPLES, sy = y + (j + 0.5f) / (float)SAMPLES;
                    int white = 0, shadow = 0;
                    for (int k = 0; k < count; k++) {
                        if (marks[k].alpha > white && overlay_draw_mark_hit(&marks[k], sx, sy)) white = marks[k].alpha;
                        if (!shadow && overlay_draw_mark_hit(&marks[k], sx - 1, sy - 1)) shadow = SHADOW_ALPHA;
                    }
                    sum_c += white;
                    sum_a += white + shadow * (255 - white) / 255;
                }
            }
            const uint32_t a = (uint32_t)((sum_a + SAMPLES * SAMPLES / 2) / (SAMPLES * SAMPLES));
            uint32_t c = (uint32_t)((sum_c + SAMPLES * SAMPLES / 2) / (SAMPLES * SAMPLES));
            if (c > a) c = a;
            px[(size_t)y * w + x] = a << 24 | c << 16 | c << 8 | c;
        }
    }
    overlay_draw_sprite_free(sp);
    sp->w = w;
    sp->h = h;
    sp->px = px;
    return true;
}

static mark overlay_draw_mark_rect(float x0, float y0, float x1, float y1, int alpha) {
    return mark{x0, y0, x1, y1, 0, 0, 0, alpha};
}

static bool overlay_draw_build_crosshair(overlay_art* a) {
    const double s = a->scale;
    int n = (int)lround(40 * s);
    if (n < 8) n = 8;
    // The hover pixel's centre; one pixel left free on the far sides for the shadow.
    a->cross_centre = n / 2 - 1;
    const float c = a->cross_centre + 0.5f;
    const float in = (float)(5 * s), out = (float)(19 * s), half = (float)(0.75 * s);
    const mark marks[] = {
        overlay_draw_mark_rect(c + in, c - half, c + out, c + half, 230),
        overlay_draw_mark_rect(c - out, c - half, c - in, c + half, 230),
        overlay_draw_mark_rect(c - half, c + in, c + half, c + out, 230),
        overlay_draw_mark_rect(c - half, c - out, c + half, c - in, 230),
        mark{0, 0, 0, 0, c, c, (float)(0.5 * s), 242},
    };
    return overlay_draw_sprite_render(&a->cross, n, n, marks, 5);
}

static bool overlay_draw_build_corners(overlay_art* a, int len) {
    const float l = (float)len, t = (float)a->thick;
    const mark shapes[4][2] = {
        {overlay_draw_mark_rect(0, 0, l, t, 242), overlay_draw_mark_rect(0, 0, t, l, 242)},
        {overlay_draw_mark_rect(0, 0, l, t, 242), overlay_draw_mark_rect(l - t, 0, l, l, 242)},
        {overlay_draw_mark_rect(0, l - t, l, l, 242), overlay_draw_mark_rect(0, 0, t, l, 242)},
        {overlay_draw_mark_rect(0, l - t, l, l, 242), overlay_draw_mark_rect(l - t, 0, l, l, 242)},
    };
    for (int i = 0; i < 4; i++) {
        if (!overlay_draw_sprite_render(&a->corners[i], len + 1, len + 1, shapes[i], 2)) {
            a->corner_len = 0;
            return false;
        }
    }
    a->corner_len = len;
    return true;
}

static bool overlay_draw_build_bars(overlay_art* a) {
    // Bars show only on selections whose handles are at their longest; they match them.
    a->bar_len = (int)lround(24 * a->scale);
    const float l = (float)a->bar_len, t = (float)a->thick;
    const mark h = overlay_draw_mark_rect(0, 0, l, t, 204), v = overlay_draw_mark_rect(0, 0, t, l, 204);
    return overlay_draw_sprite_render(&a->bar_h, a->bar_len + 1, a->thick + 1, &h, 1) &&
           overlay_draw_sprite_render(&a->bar_v, a->thick + 1, a->bar_len + 1, &v, 1);
}

// ---- The label.

// Coverage of a rounded rectangle of w x h with corner radius r at one pixel, in samples.
static int overlay_draw_round_rect_cover(int x, int y, int w, int h, float r) {
    int n = 0;
    for (int j = 0; j < SAMPLES; j++) {
        for (int i = 0; i < SAMPLES; i++) {
            const float sx = x + (i + 0.5f) / (float)SAMPLES, sy = y + (j + 0.5f) / (float)SAMPLES;
            const float cx = sx < r ? r : (sx > w - r ? w - r : sx);
            const float cy = sy < r ? r : (sy > h - r ? h - r : sy);
            const float dx = sx - cx, dy = sy - cy;
            if (dx * dx + dy * dy <= r * r) n++;
        }
    }
    return n;
}

// Renders `text` into the label sprite when it differs from the one shown. The box is
// the text extent plus the padding of selection_label_rect.
static bool overlay_draw_label_render(overlay_art* a, const wchar_t* text, int len) {
    if (a->label_ready && wcscmp(a->label_text, text) == 0) return true;
    SIZE ext = {};
    if (!GetTextExtentPoint32W(a->text_dc, text, len, &ext)) return false;
    const LONG pad = lround(6 * a->scale);
    const int w = ext.cx + 2 * pad, h = ext.cy + pad;
    if (w > a->label_bmp_w || h > a->label_bmp_h) {
        const int bw = w > a->label_bmp_w ? w + 64 : a->label_bmp_w;
        const int bh = h > a->label_bmp_h ? h : a->label_bmp_h;
        BITMAPINFO bi;
        dib_info_top_down(&bi, bw, bh);
        void* bits = nullptr;
        HBITMAP bmp = CreateDIBSection(a->text_dc, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
        if (!bmp) return false;
        HGDIOBJ old = SelectObject(a->text_dc, bmp);
        if (a->label_bmp) {
            DeleteObject(a->label_bmp);
        } else {
            a->label_old = old;
        }
        a->label_bmp = bmp;
        a->label_bits = (uint32_t*)bits;
        a->label_bmp_w = bw;
        a->label_bmp_h = bh;
    }
    if ((size_t)w * h > (size_t)a->label_cap) {
        uint32_t* px = (uint32_t*)HeapAlloc(GetProcessHeap(), 0, (size_t)w * h * 4 * 2);
        if (!px) return false;
        if (a->label.px) HeapFree(GetProcessHeap(), 0, a->label.px);
        a->label.px = px;
        a->label_cap = w * h * 2;
    }
    GdiFlush();
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) a->label_bits[(size_t)y * a->label_bmp_w + x] = LABEL_BGR;
    RECT box = {0, 0, w, h};
    SetBkMode(a->text_dc, TRANSPARENT);
    SetTextColor(a->text_dc, RGB(255, 255, 255));
    DrawTextW(a->text_dc, text, len, &box, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
    GdiFlush();
    // GDI text carries no alpha: the rounded box's coverage becomes it.
    const float radius = (float)(6 * a->scale);
    for (int y = 0; y < h; y++) {
        for (int x = 0; x < w; x++) {
            const uint32_t p = a->label_bits[(size_t)y * a->label_bmp_w + x] & 0x00FFFFFFu;
            const int cover = (x >= radius && x < w - radius - 1) || (y >= radius && y < h - radius - 1)
                                  ? SAMPLES * SAMPLES
                                  : overlay_draw_round_rect_cover(x, y, w, h, radius);
            uint32_t out;
            if (cover == SAMPLES * SAMPLES) {
                out = p | 0xFF000000u;
            } else {
                const uint32_t al = (uint32_t)(cover * 255 / (SAMPLES * SAMPLES));
                const uint32_t b = (p & 0xFF) * al / 255, g = ((p >> 8) & 0xFF) * al / 255,
                               r = ((p >> 16) & 0xFF) * al / 255;
                out = al << 24 | r << 16 | g << 8 | b;
            }
            a->label.px[(size_t)y * w + x] = out;
        }
    }
    a->label.w = w;
    a->label.h = h;
    wcsncpy(a->label_text, text, SELECTION_LABEL_MAX - 1);
    a->label_text[SELECTION_LABEL_MAX - 1] = 0;
    a->label_ready = 1;
    return true;
}

// The label's box in client pixels, rendering its text first; false when there is none.
static bool overlay_draw_label_prepare(const overlay_state* s, RECT* box) {
    overlay_art* a = s->art;
    if (!a || s->sel.finished) return false;
    const wchar_t* folders[SELECTION_FOLDERS];
    for (int i = 0; i < SELECTION_FOLDERS; i++) folders[i] = s->folders[i];
    wchar_t text[SELECTION_LABEL_MAX];
    const int len = selection_label_text(&s->sel, folders, text, SELECTION_LABEL_MAX);
    if (!overlay_draw_label_render(a, text, len)) return false;
    const LONG pad = lround(6 * a->scale);
    RECT r;
    selection_label_rect(&s->sel, a->label.w - 2 * pad, a->label.h - pad, a->scale, &r);
    OffsetRect(&r, -s->screen.left, -s->screen.top);
    *box = r;
    return true;
}

// ---- The scene: what lies above the dimming, as pieces in drawing order.

static bool overlay_draw_selection_shown(const overlay_state* s, RECT* client) {
    if (!(s->sel.dragging || s->sel.selected)) return false;
    RECT r = s->sel.sel;
    if (r.right <= r.left || r.bottom <= r.top) return false;
    OffsetRect(&r, -s->screen.left, -s->screen.top);
    *client = r;
    return true;
}

static int overlay_draw_scene_decos(const overlay_state* s, draw_deco* out) {
    overlay_art* a = s->art;
    int n = 0;
    RECT r;
    if (overlay_draw_selection_shown(s, &r)) {
        const int lw = a->line_w;
        const LONG l0 = r.left - lw / 2, r0 = r.right - (lw + 1) / 2;
        const LONG t0 = r.top - lw / 2, b0 = r.bottom - (lw + 1) / 2;
        if (s->grid && selection_has_grid(&r, a->scale)) {
            const LONG w = r.right - r.left, h = r.bottom - r.top;
            for (int k = 1; k <= 2; k++) {
                const LONG x = r.left + w * k / 3 - lw / 2, y = r.top + h * k / 3 - lw / 2;
                out[n++] = draw_deco{{x, t0 + lw, x + lw, b0}, nullptr, GRID_COLOUR};
                out[n++] = draw_deco{{l0 + lw, y, r0, y + lw}, nullptr, GRID_COLOUR};
            }
        }
        // On a selection as thin as the line, the far line would cover the near one twice.
        out[n++] = draw_deco{{l0, t0, r0 + lw, t0 + lw}, nullptr, BORDER_COLOUR};
        if (b0 >= t0 + lw) out[n++] = draw_deco{{l0, b0, r0 + lw, b0 + lw}, nullptr, BORDER_COLOUR};
        out[n++] = draw_deco{{l0, t0 + lw, l0 + lw, b0}, nullptr, BORDER_COLOUR};
        if (r0 >= l0 + lw) out[n++] = draw_deco{{r0, t0 + lw, r0 + lw, b0}, nullptr, BORDER_COLOUR};

        const int len = selection_handle_length(&r, a->scale);
        if (len != a->corner_len) overlay_draw_build_corners(a, len);
        if (a->corner_len) {
            const int t = a->thick, g = a->gap;
            const LONG xl = r.left - g - t, xr = r.right + g + t - len;
            const LONG yt = r.top - g - t, yb = r.bottom + g + t - len;
            const LONG xs[4] = {xl, xr, xl, xr}, ys[4] = {yt, yt, yb, yb};
            for (int i = 0; i < 4; i++) {
                const draw_sprite* sp = &a->corners[i];
                out[n++] = draw_deco{{xs[i], ys[i], xs[i] + sp->w, ys[i] + sp->h}, sp, 0};
            }
        }
        if (selection_has_edge_bars(&r, a->scale) && a->bar_h.px) {
            const int t = a->thick, g = a->gap, b = a->bar_len;
            const LONG cx = (r.left + r.right) / 2 - b / 2, cy = (r.top + r.bottom) / 2 - b / 2;
            const struct {
                const draw_sprite* sp;
                LONG x, y;
            } bars[4] = {{&a->bar_h, cx, r.top - g - t},
                         {&a->bar_h, cx, r.bottom + g},
                         {&a->bar_v, r.left - g - t, cy},
                         {&a->bar_v, r.right + g, cy}};
            for (const auto& bar : bars)
                out[n++] = draw_deco{{bar.x, bar.y, bar.x + bar.sp->w, bar.y + bar.sp->h}, bar.sp, 0};
        }
    }
    RECT box;
    if (overlay_draw_label_prepare(s, &box)) out[n++] = draw_deco{box, &a->label, 0};
    if (!s->sel.dragging && !s->sel.finished && a->cross.px) {
        const LONG x = s->sel.hover.x - s->screen.left - a->cross_centre;
        const LONG y = s->sel.hover.y - s->screen.top - a->cross_centre;
        out[n++] = draw_deco{{x, y, x + a->cross.w, y + a->cross.h}, &a->cross, 0};
    }
    return n;
}

static void overlay_draw_decos(const draw_target* t, const draw_deco* decos, int count, const RECT* clip) {
    for (int i = 0; i < count; i++) {
        RECT c;
        if (!rect_intersect(&decos[i].r, clip, &c)) continue;
        if (decos[i].sprite)
            overlay_draw_target_sprite(t, decos[i].sprite, decos[i].r.left, decos[i].r.top, &c);
        else
            overlay_draw_target_blend(t, &c, decos[i].colour);
    }
}

// The live look's plain picture in `r`: dimming, and the selection kept clear.
static void overlay_draw_live_base(const draw_target* t, const RECT* r, const RECT* sel) {
    RECT c;
    if (!rect_intersect(r, &t->bounds, &c)) return;
    for (LONG y = c.top; y < c.bottom; y++) {
        uint32_t* row = overlay_draw_target_at(t, c.left, y);
        LONG sl = c.right, sr = c.right;
        if (sel && y >= sel->top && y < sel->bottom) {
            sl = sel->left < c.left ? c.left : (sel->left > c.right ? c.right : sel->left);
            sr = sel->right > c.right ? c.right : (sel->right < sl ? sl : sel->right);
        }
        LONG x = c.left;
        for (; x < sl; x++) row[x - c.left] = DIM_LIVE;
        for (; x < sr; x++) row[x - c.left] = SELECTION_LIVE;
        for (; x < c.right; x++) row[x - c.left] = DIM_LIVE;
    }
}


// ---- Interface.

bool overlay_draw_create(overlay_state* s) {
    overlay_art* a = (overlay_art*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(overlay_art));
    if (!a) return false;
    const int dpi = s->dpi > 0 ? s->dpi : 96;
    a->scale = s->scale > 0 ? s->scale : dpi / 96.0;
    a->line_w = selection_line_width(dpi);
    a->thick = (int)lround(2 * a->scale);
    if (a->thick < 1) a->thick = 1;
    a->gap = (int)(lround(3 * a->scale) + lround(a->scale)) + 2;
    a->font =
        CreateFontW(-MulDiv(9, dpi, 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                    CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH | FF_DONTCARE, L"Segoe UI");
    a->text_dc = CreateCompatibleDC(nullptr);
    s->art = a;
    if (!a->font || !a->text_dc || !overlay_draw_build_crosshair(a) || !overlay_draw_build_bars(a)) {
        overlay_draw_destroy(s);
        return false;
    }
    a->text_old_font = SelectObject(a->text_dc, a->font);
    return true;
}

void overlay_draw_destroy(overlay_state* s) {
    overlay_art* a = s->art;
    if (!a) return;
    if (a->text_dc) {
        if (a->label_bmp) SelectObject(a->text_dc, a->label_old);
        if (a->text_old_font) SelectObject(a->text_dc, a->text_old_font);
        DeleteDC(a->text_dc);
    }
    if (a->label_bmp) DeleteObject(a->label_bmp);
    if (a->font) DeleteObject(a->font);
    if (a->comp_dc) {
        SelectObject(a->comp_dc, a->comp_old);
        DeleteDC(a->comp_dc);
    }
    if (a->comp) DeleteObject(a->comp);
    overlay_draw_sprite_free(&a->cross);
    for (draw_sprite& c : a->corners) overlay_draw_sprite_free(&c);
    overlay_draw_sprite_free(&a->bar_h);
    overlay_draw_sprite_free(&a->bar_v);
    overlay_draw_sprite_free(&a->label);
    HeapFree(GetProcessHeap(), 0, a);
    s->art = nullptr;
}

static void overlay_draw_free_dib(HDC* dc, HGDIOBJ* old, HBITMAP* bmp, uint8_t** bits) {
    if (*dc) {
        SelectObject(*dc, *old);
        DeleteDC(*dc);
    }
    if (*bmp) DeleteObject(*bmp);
    *dc = nullptr;
    *old = nullptr;
    *bmp = nullptr;
    *bits = nullptr;
}

static bool overlay_draw_make_dib(int w, int h, HDC* dc, HGDIOBJ* old, HBITMAP* bmp, uint8_t** bits) {
    BITMAPINFO bi;
    dib_info_top_down(&bi, w, h);
    void* p = nullptr;
    *bmp = CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, &p, nullptr, 0);
    *dc = CreateCompatibleDC(nullptr);
    if (!*bmp || !*dc) return false;
    *old = SelectObject(*dc, *bmp);
    *bits = (uint8_t*)p;
    return true;
}

bool overlay_draw_snapshots(overlay_state* s) {
    double dib_ms = 0, dim_ms = 0;
    for (int i = 0; i < s->snap_count; i++) {
        overlay_snapshot* sn = &s->snaps[i];
        const int w = (int)sn->buf->width, h = (int)sn->buf->height;
        const int64_t t0 = overlay_draw_qpc();
        if (!overlay_draw_make_dib(w, h, &sn->bright_dc, &sn->bright_old, &sn->bright, &sn->bright_bits) ||
            !overlay_draw_make_dib(w, h, &sn->dim_dc, &sn->dim_old, &sn->dim, &sn->dim_bits)) {
            log_error("region: DIB alloc failed %dx%d", w, h);
            overlay_draw_free_snapshots(s);
            return false;
        }
        for (int y = 0; y < h; y++)
            memcpy(sn->bright_bits + (size_t)y * w * 4, sn->buf->pixels + (size_t)y * sn->buf->stride, (size_t)w * 4);
        const int64_t t1 = overlay_draw_qpc();
        // Two channels at a time: 255 * 140 fits in the 16 bits each one gets.
        const uint32_t* src = (const uint32_t*)sn->bright_bits;
        uint32_t* dst = (uint32_t*)sn->dim_bits;
        const size_t count = (size_t)w * h;
        for (size_t k = 0; k < count; k++) {
            const uint32_t p = src[k];
            const uint32_t rb = (((p & 0x00FF00FFu) * 140) >> 8) & 0x00FF00FFu;
            const uint32_t g = (((p & 0x0000FF00u) * 140) >> 8) & 0x0000FF00u;
            dst[k] = 0xFF000000u | rb | g;
        }
        const int64_t t2 = overlay_draw_qpc();
        dib_ms += overlay_draw_ms(t0, t1);
        dim_ms += overlay_draw_ms(t1, t2);
    }
    s->dib_ms = dib_ms;
    s->dim_ms = dim_ms;
    return true;
}

void overlay_draw_free_snapshots(overlay_state* s) {
    for (int i = 0; i < OVERLAY_MAX_SNAPSHOTS; i++) {
        overlay_snapshot* sn = &s->snaps[i];
        overlay_draw_free_dib(&sn->bright_dc, &sn->bright_old, &sn->bright, &sn->bright_bits);
        overlay_draw_free_dib(&sn->dim_dc, &sn->dim_old, &sn->dim, &sn->dim_bits);
    }
}

// The frozen look's composition buffer: at least w pixels wide, about
// FROZEN_STRIP_PIXELS in all; it only grows in width.
static bool overlay_draw_comp_reserve(overlay_art* a, int w) {
    if (a->comp && w <= a->comp_w) return true;
    const int rows = FROZEN_STRIP_PIXELS / w > 0 ? FROZEN_STRIP_PIXELS / w : 1;
    HDC dc = nullptr;
    HGDIOBJ old = nullptr;
    HBITMAP bmp = nullptr;
    uint8_t* bits = nullptr;
    if (!overlay_draw_make_dib(w, rows, &dc, &old, &bmp, &bits)) {
        overlay_draw_free_dib(&dc, &old, &bmp, &bits);
        return false;
    }
    uint8_t* old_bits = (uint8_t*)a->comp_bits;
    overlay_draw_free_dib(&a->comp_dc, &a->comp_old, &a->comp, &old_bits);
    a->comp_dc = dc;
    a->comp_old = old;
    a->comp = bmp;
    a->comp_bits = (uint32_t*)bits;
    a->comp_w = w;
    a->comp_h = rows;
    return true;
}

// Composes one strip of the frozen picture (client rectangle r) and puts it on the window.
static void overlay_draw_frozen_strip(overlay_state* s, HDC dc, const RECT* r, const RECT* sel, const draw_deco* decos,
                                      int n) {
    overlay_art* a = s->art;
    const int w = r->right - r->left, h = r->bottom - r->top;
    bool covered = false;
    for (int i = 0; i < s->snap_count && !covered; i++) {
        RECT sr = s->snaps[i].rect;
        OffsetRect(&sr, -s->screen.left, -s->screen.top);
        covered = rect_inside(r, &sr);
    }
    if (!covered) PatBlt(a->comp_dc, 0, 0, w, h, BLACKNESS);
    for (int i = 0; i < s->snap_count; i++) {
        const overlay_snapshot* sn = &s->snaps[i];
        RECT sr = sn->rect, c, b;
        OffsetRect(&sr, -s->screen.left, -s->screen.top);
        if (!sn->dim_dc || !rect_intersect(&sr, r, &c)) continue;
        BitBlt(a->comp_dc, c.left - r->left, c.top - r->top, c.right - c.left, c.bottom - c.top, sn->dim_dc,
               c.left - sr.left, c.top - sr.top, SRCCOPY);
        if (sel && rect_intersect(&c, sel, &b))
            BitBlt(a->comp_dc, b.left - r->left, b.top - r->top, b.right - b.left, b.bottom - b.top, sn->bright_dc,
                   b.left - sr.left, b.top - sr.top, SRCCOPY);
    }
    GdiFlush();
    const draw_target t = {a->comp_bits, a->comp_w, {r->left, r->top, r->left + a->comp_w, r->top + a->comp_h}};
    overlay_draw_decos(&t, decos, n, r);
    GdiFlush();
    BitBlt(dc, r->left, r->top, w, h, a->comp_dc, 0, 0, SRCCOPY);
}

void overlay_draw_frozen(overlay_state* s, HDC dc, const RECT* area) {
    overlay_art* a = s->art;
    const RECT client = {0, 0, s->screen.right - s->screen.left, s->screen.bottom - s->screen.top};
    RECT r;
    if (!a || !rect_intersect(area, &client, &r)) return;
    RECT sel;
    const bool has_sel = overlay_draw_selection_shown(s, &sel);
    // Composed in strips of a few rows: each pixel reaches the window once (no flicker)
    // without a buffer the size of the screen, whose fresh pages cost more than the paint.
    if (!overlay_draw_comp_reserve(a, r.right - r.left)) {
        // No room to compose: the dimmed images straight, without decorations.
        for (int i = 0; i < s->snap_count; i++) {
            RECT sr = s->snaps[i].rect, c;
            OffsetRect(&sr, -s->screen.left, -s->screen.top);
            if (s->snaps[i].dim_dc && rect_intersect(&sr, &r, &c))
                BitBlt(dc, c.left, c.top, c.right - c.left, c.bottom - c.top, s->snaps[i].dim_dc, c.left - sr.left,
                       c.top - sr.top, SRCCOPY);
        }
        return;
    }
    draw_deco decos[DECO_MAX];
    const int n = overlay_draw_scene_decos(s, decos);
    for (LONG y = r.top; y < r.bottom; y += a->comp_h) {
        const RECT strip = {r.left, y, r.right, y + a->comp_h < r.bottom ? y + a->comp_h : r.bottom};
        overlay_draw_frozen_strip(s, dc, &strip, has_sel ? &sel : nullptr, decos, n);
    }
}

bool overlay_draw_back_buffer(overlay_state* s) {
    const int w = s->screen.right - s->screen.left, h = s->screen.bottom - s->screen.top;
    HDC dc = nullptr;
    HGDIOBJ old = nullptr;
    HBITMAP bmp = nullptr;
    uint8_t* bits = nullptr;
    if (w <= 0 || h <= 0 || !overlay_draw_make_dib(w, h, &dc, &old, &bmp, &bits)) {
        overlay_draw_free_dib(&dc, &old, &bmp, &bits);
        log_error("region(live): back buffer %dx%d alloc failed", w, h);
        return false;
    }
    s->back = bmp;
    s->back_bits = (uint32_t*)bits;
    s->back_dc = dc;
    s->back_old = old;
    if (s->art) s->art->shown_valid = 0;
    return true;
}

void overlay_draw_live(overlay_state* s, const RECT* area) {
    overlay_art* a = s->art;
    if (!a || !s->back_bits) return;
    const RECT client = {0, 0, s->screen.right - s->screen.left, s->screen.bottom - s->screen.top};
    const draw_target t = {s->back_bits, (int)client.right, client};
    RECT sel = {};
    const bool has_sel = overlay_draw_selection_shown(s, &sel);
    draw_deco decos[DECO_MAX];
    const int n = overlay_draw_scene_decos(s, decos);
    GdiFlush();
    if (!a->shown_valid) {
        overlay_draw_live_base(&t, area, has_sel ? &sel : nullptr);
        // Decorations only inside the area: outside it the buffer is not finished yet.
        RECT c;
        if (rect_intersect(area, &client, &c)) overlay_draw_decos(&t, decos, n, &c);
        if (!rect_inside(&client, area)) return;
    } else {
        // The buffer holds the last scene everywhere: put back the plain picture where
        // that scene and this one differ, then draw this one's pieces.
        RECT resets[DECO_MAX * 2 + 4];
        int m = 0;
        for (int i = 0; i < a->shown_count; i++) resets[m++] = a->shown_decos[i];
        for (int i = 0; i < n; i++) resets[m++] = decos[i].r;
        const RECT& o = a->shown_sel;
        const bool had = o.right > o.left;
        if (had != has_sel || (had && !EqualRect(&o, &sel))) {
            if (!had || !has_sel) {
                resets[m++] = had ? o : sel;
            } else {
                RECT u;
                selection_union(&o, &sel, &u);
                resets[m++] =
                    RECT{o.left < sel.left ? o.left : sel.left, u.top, o.left < sel.left ? sel.left : o.left, u.bottom};
                resets[m++] = RECT{o.right < sel.right ? o.right : sel.right, u.top,
                                   o.right < sel.right ? sel.right : o.right, u.bottom};
                resets[m++] =
                    RECT{u.left, o.top < sel.top ? o.top : sel.top, u.right, o.top < sel.top ? sel.top : o.top};
                resets[m++] = RECT{u.left, o.bottom < sel.bottom ? o.bottom : sel.bottom, u.right,
                                   o.bottom < sel.bottom ? sel.bottom : o.bottom};
            }
        }
        for (int i = 0; i < m; i++) overlay_draw_live_base(&t, &resets[i], has_sel ? &sel : nullptr);
        overlay_draw_decos(&t, decos, n, &client);
    }
    a->shown_valid = 1;
    a->shown_sel = has_sel ? sel : RECT{};
    for (int i = 0; i < n; i++) a->shown_decos[i] = decos[i].r;
    a->shown_count = n;
}

void overlay_draw_free_back_buffer(overlay_state* s) {
    uint8_t* bits = (uint8_t*)s->back_bits;
    overlay_draw_free_dib(&s->back_dc, &s->back_old, &s->back, &bits);
    s->back_bits = nullptr;
    if (s->art) s->art->shown_valid = 0;
}

void overlay_draw_extent(const overlay_state* s, RECT* out) {
    RECT ext = {};
    RECT r;
    if (overlay_draw_selection_shown(s, &r)) selection_dirty_rect(&r, s->art ? s->art->scale : s->scale, &ext);
    RECT box;
    if (overlay_draw_label_prepare(s, &box)) selection_union(&ext, &box, &ext);
    if (s->art && !s->sel.dragging && !s->sel.finished && s->art->cross.px) {
        const LONG x = s->sel.hover.x - s->screen.left - s->art->cross_centre;
        const LONG y = s->sel.hover.y - s->screen.top - s->art->cross_centre;
        const RECT cross = {x, y, x + s->art->cross.w, y + s->art->cross.h};
        selection_union(&ext, &cross, &ext);
    }
    *out = ext;
}
