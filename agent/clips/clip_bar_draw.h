#pragma once
// What the clip bar and its frame look like and where they go: placement of the
// bar around the recorded area, the frame's outline and corner marks, hit tests of
// the five controls, the key that decides whether a repaint is due, and the
// anti-aliased painter (4 x 4 supersampled signed-distance shapes) into a 32-bit
// top-down pixel buffer. No system calls here; text is drawn by the caller.
#include "common/win.h"
#include <cstdint>

// Lengths at 96 DPI.
constexpr int CLIP_BAR_W = 516;
constexpr int CLIP_BAR_H = 44;
constexpr int CLIP_BAR_GAP = 12;
constexpr int CLIP_BAR_FRAME_GROW = 5;
constexpr int CLIP_BAR_FRAME_LINE = 2;
constexpr int CLIP_BAR_MARK_LEN = 22;
constexpr int CLIP_BAR_MARK_THICK = 5;
constexpr int CLIP_BAR_FRAME_PARTS = 12;  // four outline edges and eight corner strokes
constexpr int CLIP_BAR_CONTROLS = 5;
constexpr int CLIP_BAR_BLINK_MS = 500;

// Controls, numbered as the hover and press state counts them (0 = none).
enum clip_bar_control {
    CLIP_BAR_NONE = 0,
    CLIP_BAR_SOUND = 1,
    CLIP_BAR_PAUSE = 2,
    CLIP_BAR_REDO = 3,
    CLIP_BAR_CANCEL = 4,
    CLIP_BAR_SAVE = 5,
};

// Pixel values (0xAARRGGBB, which is B, G, R, A in memory).
constexpr uint32_t CLIP_BAR_BACKGROUND = 0xFF1A1B1Eu;    // RGB(26, 27, 30)
constexpr uint32_t CLIP_BAR_RED = 0xFFF04A4Au;           // RGB(240, 74, 74)
constexpr uint32_t CLIP_BAR_ORANGE = 0xFFF5A524u;        // RGB(245, 165, 36)
constexpr uint32_t CLIP_BAR_TEXT = 0xFFECEDEFu;          // RGB(236, 237, 239)
constexpr uint32_t CLIP_BAR_GREY = 0xFF8A8D93u;          // RGB(138, 141, 147)
constexpr uint32_t CLIP_BAR_LINE = 0xFF262930u;          // RGB(38, 41, 48)
constexpr uint32_t CLIP_BAR_TRACK = 0xFF2C2E33u;         // RGB(44, 46, 51)
constexpr uint32_t CLIP_BAR_HOVER = 0xFF2C2E34u;         // RGB(44, 46, 52)
constexpr uint32_t CLIP_BAR_PRESSED = 0xFF24262Bu;       // RGB(36, 38, 43)
constexpr uint32_t CLIP_BAR_SAVE_HOVER = 0xFFFF6060u;    // RGB(255, 96, 96)
constexpr uint32_t CLIP_BAR_SAVE_PRESSED = 0xFFD23A3Au;  // RGB(210, 58, 58)
constexpr uint32_t CLIP_BAR_WHITE = 0xFFFFFFFFu;

// The watched values of one picture of the bar; a repaint is due when any differs.
struct clip_bar_key {
    int state;      // 1 recording, 2 paused
    int seconds;    // elapsed whole seconds
    int progress;   // 0-240
    int limit;      // seconds
    int orange;     // the accent is orange
    int blink_off;  // paused and the dot is in its hidden half-second
    int audio;      // the session has sound: the desktop-sound control exists
    int system_on, system_ok, mic_on, mic_ok;
    int system_level, mic_level;  // 0-15
    int hover, press;             // 0-5
};

// What the tick knows, in plain numbers.
struct clip_bar_input {
    int state;
    int64_t take_frames;
    int fps;
    int limit;
    int audio;
    int system_on, system_ok, mic_on, mic_ok;
    double system_level, mic_level;
    int hover, press;
    uint64_t now_ms;  // any steady clock; drives the paused blink
};

// The key for in. The limit is 30 when below 1; a zero rate counts no time.
void clip_bar_draw_key_make(const clip_bar_input* in, clip_bar_key* out);
// The accent colour the key asks for (red, or orange).
uint32_t clip_bar_draw_accent(const clip_bar_key* k);
// "%d:%02d" of whole seconds into out (cap at least 8).
void clip_bar_draw_time_text(int seconds, wchar_t* out, size_t cap);

// Placement of the bar for the area (keep-out is the area grown by gap). Tries below,
// above, right and left; inside the area (published as inside) when none fits.
void clip_bar_draw_place(const RECT* area, const RECT* work, int w, int h, int gap, RECT* bar, int* inside);

// The frame's window rectangle and its visible parts (window-relative rectangles).
struct clip_bar_frame {
    RECT window;
    int inside;
    int count;
    RECT parts[CLIP_BAR_FRAME_PARTS];
};
// Outside the area when the area grown by 5 fits in the output, else along its inner edges.
void clip_bar_draw_frame_layout(const RECT* area, const RECT* output, clip_bar_frame* out);

// The control under bar-client point (x, y) for scale (DPI / 96); the desktop-sound
// control only when audio is set.
int clip_bar_draw_hit(int x, int y, double scale, int audio);
// Control n's hit rectangle at scale (bar-client pixels). False for n out of 1-5.
bool clip_bar_draw_control_rect(int n, double scale, RECT* out);
// Text boxes the caller fills: 0 elapsed time, 1 limit, 2 "Save" (bar-client pixels).
void clip_bar_draw_text_rect(int which, double scale, RECT* out);

// Paints everything but the text into px (w x h pixels, top-down, rows of w) at scale.
// Every pixel is written; alpha is 255 throughout.
void clip_bar_draw_paint(const clip_bar_key* k, double scale, uint32_t* px, int w, int h);

// A 32-bit top-down BMP of px: 54-byte headers, then the rows, alpha forced to 255.
// Writes at most cap bytes; returns the size a whole file needs.
size_t clip_bar_draw_bmp(const uint32_t* px, int w, int h, uint8_t* out, size_t cap);
