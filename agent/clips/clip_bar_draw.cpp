#include "agent/clips/clip_bar_draw.h"
#include "common/rect.h"

#include <cmath>
#include <cstring>

namespace {

constexpr int SAMPLES = 4;  // supersampling per axis
constexpr float PI = 3.14159265f;

// Hit rectangles of controls 1-5 at 96 DPI, all from y 6 to y 38.
constexpr int CONTROL_X[CLIP_BAR_CONTROLS][2] = {{260, 292}, {312, 344}, {348, 380}, {384, 416}, {428, 506}};
constexpr int CONTROL_TOP = 6, CONTROL_BOTTOM = 38;

enum shape_kind { SHAPE_DISC, SHAPE_RRECT, SHAPE_TRIANGLE, SHAPE_ARC, SHAPE_SEGMENT };

// One signed-distance shape in 96-DPI bar units. Parameters by kind:
// disc cx cy r; rrect x0 y0 x1 y1 r; triangle x0 y0 x1 y1 x2 y2; arc cx cy r_in r_out
// from to (degrees, clockwise on screen, from within [-180, 180) onwards); segment ax ay bx by half.
struct shape {
    int kind;
    float v[6];
};

struct canvas {
    uint32_t* px;
    int w, h;
    float scale;
};

float clip_bar_draw_len(float x, float y) { return std::sqrt(x * x + y * y); }

float clip_bar_draw_edge_distance(float ax, float ay, float bx, float by, float px, float py) {
    // Positive on the right of a -> b in screen coordinates (y down).
    float ex = bx - ax, ey = by - ay;
    float l = clip_bar_draw_len(ex, ey);
    if (l <= 0) return 0;
    return ((px - ax) * ey - (py - ay) * ex) / l;
}

float clip_bar_draw_shape_distance(const shape& s, float x, float y) {
    const float* v = s.v;
    switch (s.kind) {
    case SHAPE_DISC: return clip_bar_draw_len(x - v[0], y - v[1]) - v[2];
    case SHAPE_RRECT: {
        float r = v[4];
        float cx = (v[0] + v[2]) / 2, cy = (v[1] + v[3]) / 2;
        float qx = std::fabs(x - cx) - ((v[2] - v[0]) / 2 - r);
        float qy = std::fabs(y - cy) - ((v[3] - v[1]) / 2 - r);
        float out = clip_bar_draw_len(qx > 0 ? qx : 0, qy > 0 ? qy : 0);
        float in = qx > qy ? qx : qy;
        return out + (in < 0 ? in : 0) - r;
    }
    case SHAPE_TRIANGLE: {
        float d0 = clip_bar_draw_edge_distance(v[0], v[1], v[2], v[3], x, y);
        float d1 = clip_bar_draw_edge_distance(v[2], v[3], v[4], v[5], x, y);
        float d2 = clip_bar_draw_edge_distance(v[4], v[5], v[0], v[1], x, y);
        // Either winding: inside is where all three agree.
        float wind = clip_bar_draw_edge_distance(v[0], v[1], v[2], v[3], v[4], v[5]) < 0 ? 1.f : -1.f;
        d0 *= wind, d1 *= wind, d2 *= wind;
        float m = d0 > d1 ? d0 : d1;
        return m > d2 ? m : d2;
    }
    case SHAPE_ARC: {
        float dx = x - v[0], dy = y - v[1];
        float mid = (v[2] + v[3]) / 2, half = (v[3] - v[2]) / 2;
        float radial = std::fabs(clip_bar_draw_len(dx, dy) - mid) - half;
        float a = std::atan2(dy, dx) * 180.f / PI;
        while (a < v[4]) a += 360.f;
        return a <= v[5] ? radial : (radial > 1.f ? radial : 1.f);
    }
    case SHAPE_SEGMENT: {
        float ax = v[0], ay = v[1], bx = v[2] - ax, by = v[3] - ay;
        float px = x - ax, py = y - ay;
        float l = bx * bx + by * by;
        float t = l > 0 ? (px * bx + py * by) / l : 0;
        t = t < 0 ? 0 : t > 1 ? 1 : t;
        return clip_bar_draw_len(px - bx * t, py - by * t) - v[4];
    }
    }
    return 1;
}

uint32_t clip_bar_draw_mix(uint32_t dst, uint32_t src, int cover) {
    // cover of SAMPLES * SAMPLES; alpha stays opaque.
    const int n = SAMPLES * SAMPLES;
    uint32_t out = 0xFF000000u;
    for (int sh = 0; sh < 24; sh += 8) {
        int d = (int)((dst >> sh) & 0xFF), s = (int)((src >> sh) & 0xFF);
        int c = d + ((s - d) * cover + (s > d ? n / 2 : -(n / 2))) / n;
        out |= (uint32_t)(c < 0 ? 0 : c > 255 ? 255 : c) << sh;
    }
    return out;
}

// Fills the shape over the bar-unit box x0..x1, y0..y1 (which holds the shape).
void clip_bar_draw_fill(canvas* c, const shape& s, uint32_t colour, float x0, float y0, float x1, float y1) {
    int px0 = (int)std::floor(x0 * c->scale) - 1, py0 = (int)std::floor(y0 * c->scale) - 1;
    int px1 = (int)std::ceil(x1 * c->scale) + 1, py1 = (int)std::ceil(y1 * c->scale) + 1;
    if (px0 < 0) px0 = 0;
    if (py0 < 0) py0 = 0;
    if (px1 > c->w) px1 = c->w;
    if (py1 > c->h) py1 = c->h;
    for (int y = py0; y < py1; y++) {
        for (int x = px0; x < px1; x++) {
            int cover = 0;
            for (int j = 0; j < SAMPLES; j++) {
                float sy = (y + (j + 0.5f) / SAMPLES) / c->scale;
                for (int i = 0; i < SAMPLES; i++) {
                    float sx = (x + (i + 0.5f) / SAMPLES) / c->scale;
                    if (clip_bar_draw_shape_distance(s, sx, sy) <= 0) cover++;
                }
            }
            if (cover) c->px[(size_t)y * c->w + x] = clip_bar_draw_mix(c->px[(size_t)y * c->w + x], colour, cover);
        }
    }
}

void clip_bar_draw_disc(canvas* c, float cx, float cy, float r, uint32_t colour) {
    clip_bar_draw_fill(c, shape{SHAPE_DISC, {cx, cy, r}}, colour, cx - r, cy - r, cx + r, cy + r);
}

void clip_bar_draw_rrect(canvas* c, float x0, float y0, float x1, float y1, float r, uint32_t colour) {
    clip_bar_draw_fill(c, shape{SHAPE_RRECT, {x0, y0, x1, y1, r}}, colour, x0, y0, x1, y1);
}

void clip_bar_draw_triangle(canvas* c, float ax, float ay, float bx, float by, float cx, float cy, uint32_t colour) {
    float x0 = std::fmin(ax, std::fmin(bx, cx)), x1 = std::fmax(ax, std::fmax(bx, cx));
    float y0 = std::fmin(ay, std::fmin(by, cy)), y1 = std::fmax(ay, std::fmax(by, cy));
    clip_bar_draw_fill(c, shape{SHAPE_TRIANGLE, {ax, ay, bx, by, cx, cy}}, colour, x0, y0, x1, y1);
}

void clip_bar_draw_arc(canvas* c, float cx, float cy, float r_in, float r_out, float from, float to, uint32_t colour) {
    clip_bar_draw_fill(c, shape{SHAPE_ARC, {cx, cy, r_in, r_out, from, to}}, colour, cx - r_out, cy - r_out, cx + r_out,
                       cy + r_out);
}

void clip_bar_draw_segment(canvas* c, float ax, float ay, float bx, float by, float half, uint32_t colour) {
    clip_bar_draw_fill(c, shape{SHAPE_SEGMENT, {ax, ay, bx, by, half}}, colour, std::fmin(ax, bx) - half,
                       std::fmin(ay, by) - half, std::fmax(ax, bx) + half, std::fmax(ay, by) + half);
}

// Speaker with up to three arcs for the level; grey and silent when off.
void clip_bar_draw_paint_sound(canvas* c, const clip_bar_key* k) {
    uint32_t col = !k->system_on ? CLIP_BAR_GREY : k->system_ok ? CLIP_BAR_TEXT : CLIP_BAR_ORANGE;
    clip_bar_draw_rrect(c, 264, 19, 268.5f, 25, 0.5f, col);
    clip_bar_draw_triangle(c, 266, 22, 273, 14.5f, 273, 29.5f, col);
    int arcs = k->system_on ? (k->system_level + 4) / 5 : 0;
    static const float radii[3][2] = {{3.8f, 5.4f}, {7.2f, 8.8f}, {10.6f, 12.2f}};
    for (int i = 0; i < arcs && i < 3; i++) clip_bar_draw_arc(c, 273, 22, radii[i][0], radii[i][1], -50, 50, col);
}

void clip_bar_draw_paint_controls(canvas* c, const clip_bar_key* k) {
    for (int n = CLIP_BAR_SOUND; n <= CLIP_BAR_CANCEL; n++) {
        if (n == CLIP_BAR_SOUND && !k->audio) continue;
        uint32_t back = k->press == n ? CLIP_BAR_PRESSED : k->hover == n ? CLIP_BAR_HOVER : 0;
        if (back)
            clip_bar_draw_rrect(c, (float)CONTROL_X[n - 1][0], CONTROL_TOP, (float)CONTROL_X[n - 1][1], CONTROL_BOTTOM,
                                6, back);
    }
    if (k->audio) clip_bar_draw_paint_sound(c, k);

    if (k->state == 2) {
        clip_bar_draw_triangle(c, 323, 14.5f, 323, 29.5f, 336, 22, CLIP_BAR_TEXT);
    } else {
        clip_bar_draw_rrect(c, 322, 15, 326, 29, 1, CLIP_BAR_TEXT);
        clip_bar_draw_rrect(c, 330, 15, 334, 29, 1, CLIP_BAR_TEXT);
    }

    // Redo: a circle open at the top right with its arrow head there.
    clip_bar_draw_arc(c, 364, 23, 5.2f, 7.2f, -60, 240, CLIP_BAR_TEXT);
    clip_bar_draw_triangle(c, 363, 12, 363, 20, 369, 16, CLIP_BAR_TEXT);

    clip_bar_draw_segment(c, 395, 17, 405, 27, 1.1f, CLIP_BAR_TEXT);
    clip_bar_draw_segment(c, 405, 17, 395, 27, 1.1f, CLIP_BAR_TEXT);

    uint32_t save = k->press == CLIP_BAR_SAVE   ? CLIP_BAR_SAVE_PRESSED
                    : k->hover == CLIP_BAR_SAVE ? CLIP_BAR_SAVE_HOVER
                                                : CLIP_BAR_RED;
    clip_bar_draw_rrect(c, (float)CONTROL_X[4][0], CONTROL_TOP, (float)CONTROL_X[4][1], CONTROL_BOTTOM, 6, save);
}

}  // namespace

void clip_bar_draw_key_make(const clip_bar_input* in, clip_bar_key* out) {
    clip_bar_key k{};
    k.state = in->state;
    k.limit = in->limit < 1 ? 30 : in->limit;
    int64_t frames = in->take_frames > 0 ? in->take_frames : 0;
    if (in->fps > 0) {
        k.seconds = (int)(frames / in->fps);
        int64_t p = frames * 240 / ((int64_t)k.limit * in->fps);
        k.progress = p > 240 ? 240 : (int)p;
    }
    // Five seconds or less before the limit, counted in frames so 25.0 s of 30 is exact.
    bool late = in->fps > 0 ? frames >= (int64_t)(k.limit - 5) * in->fps : k.limit <= 5;
    k.orange = in->state == 2 || late;
    k.blink_off = in->state == 2 && (in->now_ms / CLIP_BAR_BLINK_MS) % 2 == 1;
    k.audio = in->audio != 0;
    k.system_on = in->system_on != 0;
    k.system_ok = in->system_ok != 0;
    k.mic_on = in->mic_on != 0;
    k.mic_ok = in->mic_ok != 0;
    auto quant = [](double level) {
        double q = level * 28.8;
        return q <= 0 ? 0 : q >= 15 ? 15 : (int)q;
    };
    k.system_level = quant(in->system_level);
    k.mic_level = quant(in->mic_level);
    k.hover = in->hover;
    k.press = in->press;
    *out = k;
}

uint32_t clip_bar_draw_accent(const clip_bar_key* k) { return k->orange ? CLIP_BAR_ORANGE : CLIP_BAR_RED; }

void clip_bar_draw_time_text(int seconds, wchar_t* out, size_t cap) {
    if (cap < 8) {
        if (cap) out[0] = 0;
        return;
    }
    if (seconds < 0) seconds = 0;
    if (seconds > 99 * 60 + 59) seconds = 99 * 60 + 59;
    int m = seconds / 60, s = seconds % 60;
    size_t i = 0;
    if (m >= 10) out[i++] = (wchar_t)(L'0' + m / 10);
    out[i++] = (wchar_t)(L'0' + m % 10);
    out[i++] = L':';
    out[i++] = (wchar_t)(L'0' + s / 10);
    out[i++] = (wchar_t)(L'0' + s % 10);
    out[i] = 0;
}

static long clip_bar_draw_clamp_start(long v, long lo, long hi_end, long size) {
    // A box of `size` starting at v, kept within lo..hi_end; the low edge wins when it cannot fit.
    if (v > hi_end - size) v = hi_end - size;
    if (v < lo) v = lo;
    return v;
}

void clip_bar_draw_place(const RECT* area, const RECT* work, int w, int h, int gap, RECT* bar, int* inside) {
    RECT keep{area->left - gap, area->top - gap, area->right + gap, area->bottom + gap};
    long cx = clip_bar_draw_clamp_start((area->left + area->right) / 2 - w / 2, work->left, work->right, w);
    long cy = clip_bar_draw_clamp_start((area->top + area->bottom) / 2 - h / 2, work->top, work->bottom, h);
    const RECT candidates[4] = {
        {cx, keep.bottom, cx + w, keep.bottom + h},
        {cx, keep.top - h, cx + w, keep.top},
        {keep.right, cy, keep.right + w, cy + h},
        {keep.left - w, cy, keep.left, cy + h},
    };
    for (const RECT& c : candidates) {
        if (rect_inside(&c, work) && !rect_meets(&c, &keep)) {
            *bar = c;
            *inside = 0;
            return;
        }
    }
    RECT in{area->left > work->left ? area->left : work->left, area->top > work->top ? area->top : work->top,
            area->right < work->right ? area->right : work->right,
            area->bottom < work->bottom ? area->bottom : work->bottom};
    if (in.left >= in.right || in.top >= in.bottom) in = *work;
    long x = clip_bar_draw_clamp_start((in.left + in.right) / 2 - w / 2, in.left, in.right, w);
    long y = in.bottom - gap - h;
    if (y < in.top) y = in.top;
    *bar = RECT{x, y, x + w, y + h};
    *inside = 1;
}

void clip_bar_draw_frame_layout(const RECT* area, const RECT* output, clip_bar_frame* out) {
    const long g = CLIP_BAR_FRAME_GROW, t = CLIP_BAR_FRAME_LINE, m = CLIP_BAR_MARK_LEN, k = CLIP_BAR_MARK_THICK;
    RECT grown{area->left - g, area->top - g, area->right + g, area->bottom + g};
    clip_bar_frame f{};
    f.inside = !rect_inside(&grown, output);
    f.window = f.inside ? *area : grown;
    long W = f.window.right - f.window.left, H = f.window.bottom - f.window.top;
    // The outline hugs the area: just outside it, or along its inner edges.
    long o = f.inside ? 0 : g - t;
    const RECT parts[CLIP_BAR_FRAME_PARTS] = {
        {o, o, W - o, o + t},                  // outline top
        {o, H - o - t, W - o, H - o},          // outline bottom
        {o, o + t, o + t, H - o - t},          // outline left
        {W - o - t, o + t, W - o, H - o - t},  // outline right
        {0, 0, m, k},
        {0, 0, k, m},  // corner marks: top left
        {W - m, 0, W, k},
        {W - k, 0, W, m},  // top right
        {0, H - k, m, H},
        {0, H - m, k, H},  // bottom left
        {W - m, H - k, W, H},
        {W - k, H - m, W, H},  // bottom right
    };
    for (const RECT& p : parts) f.parts[f.count++] = p;
    *out = f;
}

bool clip_bar_draw_control_rect(int n, double scale, RECT* out) {
    if (n < 1 || n > CLIP_BAR_CONTROLS) return false;
    *out = RECT{(long)std::lround(CONTROL_X[n - 1][0] * scale), (long)std::lround(CONTROL_TOP * scale),
                (long)std::lround(CONTROL_X[n - 1][1] * scale), (long)std::lround(CONTROL_BOTTOM * scale)};
    return true;
}

int clip_bar_draw_hit(int x, int y, double scale, int audio) {
    for (int n = 1; n <= CLIP_BAR_CONTROLS; n++) {
        if (n == CLIP_BAR_SOUND && !audio) continue;
        RECT r;
        clip_bar_draw_control_rect(n, scale, &r);
        if (x >= r.left && x < r.right && y >= r.top && y < r.bottom) return n;
    }
    return 0;
}

void clip_bar_draw_text_rect(int which, double scale, RECT* out) {
    static const int boxes[3][4] = {{32, 6, 80, 38}, {210, 6, 248, 38}, {428, 6, 506, 38}};
    const int* b = boxes[which < 0 ? 0 : which > 2 ? 2 : which];
    *out = RECT{(long)std::lround(b[0] * scale), (long)std::lround(b[1] * scale), (long)std::lround(b[2] * scale),
                (long)std::lround(b[3] * scale)};
}

void clip_bar_draw_paint(const clip_bar_key* k, double scale, uint32_t* px, int w, int h) {
    for (size_t i = 0, n = (size_t)w * h; i < n; i++) px[i] = CLIP_BAR_BACKGROUND;
    canvas c{px, w, h, (float)(scale > 0 ? scale : 1.0)};
    const uint32_t accent = clip_bar_draw_accent(k);

    if (!k->blink_off) clip_bar_draw_disc(&c, 20, 22, 5, accent);
    clip_bar_draw_rrect(&c, 84, 20, 204, 24, 2, CLIP_BAR_TRACK);
    if (k->progress > 0) clip_bar_draw_rrect(&c, 84, 20, 84 + 120.f * k->progress / 240, 24, 2, accent);
    clip_bar_draw_rrect(&c, 250, 12, 251, 32, 0, CLIP_BAR_LINE);
    clip_bar_draw_rrect(&c, 302, 12, 303, 32, 0, CLIP_BAR_LINE);
    clip_bar_draw_paint_controls(&c, k);
}

static void clip_bar_draw_put16(uint8_t* p, uint32_t v) { p[0] = (uint8_t)v, p[1] = (uint8_t)(v >> 8); }
static void clip_bar_draw_put32(uint8_t* p, uint32_t v) {
    clip_bar_draw_put16(p, v), clip_bar_draw_put16(p + 2, v >> 16);
}

size_t clip_bar_draw_bmp(const uint32_t* px, int w, int h, uint8_t* out, size_t cap) {
    const size_t data = (size_t)w * h * 4, total = 54 + data;
    if (cap < total) return total;
    memset(out, 0, 54);
    out[0] = 'B', out[1] = 'M';
    clip_bar_draw_put32(out + 2, (uint32_t)total);
    clip_bar_draw_put32(out + 10, 54);
    clip_bar_draw_put32(out + 14, 40);
    clip_bar_draw_put32(out + 18, (uint32_t)w);
    clip_bar_draw_put32(out + 22, (uint32_t)-h);  // negative height: rows top-down
    clip_bar_draw_put16(out + 26, 1);
    clip_bar_draw_put16(out + 28, 32);
    clip_bar_draw_put32(out + 34, (uint32_t)data);
    clip_bar_draw_put32(out + 38, 2835);  // 72 DPI in pixels per metre
    clip_bar_draw_put32(out + 42, 2835);
    uint8_t* d = out + 54;
    for (size_t i = 0, n = (size_t)w * h; i < n; i++, d += 4) clip_bar_draw_put32(d, px[i] | 0xFF000000u);
    return total;
}
