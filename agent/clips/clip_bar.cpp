#include "agent/clips/clip_bar.h"

#include "agent/clips/clip_bar_draw.h"
#include "agent/clips/clip_session.h"
#include "agent/core/agent.h"
#include "agent/core/messages.h"
#include "agent/maint/watchdog.h"
#include "common/log.h"

#include <dwmapi.h>
#include <shellscalingapi.h>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace {

// Window attributes newer than the toolchain's headers.
constexpr DWORD ATTR_CORNER_PREFERENCE = 33;
constexpr DWORD ATTR_BORDER_COLOR = 34;
constexpr DWORD CORNER_SQUARE = 1, CORNER_ROUND = 2;
constexpr COLORREF BORDER_NONE = 0xFFFFFFFE;

constexpr UINT_PTR TIMER_TICK = 1;
constexpr UINT TICK_MS = 33;
constexpr ULONGLONG TOPMOST_EVERY_MS = 1000;
constexpr ULONGLONG SLOW_MESSAGE_MS = 250;

const wchar_t BAR_CLASS[] = L"IvraClipBar";
const wchar_t FRAME_CLASS[] = L"IvraClipFrame";

const char* const CONTROL_LOG[CLIP_BAR_CONTROLS + 1] = {"",    "desktop audio toggle", "pause/resume", "redo", "cancel",
                                                        "save"};
const int CONTROL_OP[CLIP_BAR_CONTROLS + 1] = {0,           CLIP_OP_AUDIO, CLIP_OP_TOGGLE, CLIP_OP_REDO, CLIP_OP_CANCEL,
                                               CLIP_OP_STOP};

struct bar_theme {
    int dpi;  // 0 until made
    double scale;
    HFONT regular, semibold, large, small;
};

struct bar_state {
    HWND bar, frame;
    clip_status st;
    bool shown;
    uint64_t session;
    RECT capture, output;
    bar_theme theme;
    int w, h;       // bar size for the theme
    RECT bar_rect;  // where the bar window is (screen)
    int bar_inside;
    bool user_placed;
    clip_bar_frame frame_layout;
    int hover, press;
    bool dragging, tracking;
    POINT grab;
    clip_bar_key painted;
    bool painted_valid;
    int frame_orange;  // accent the frame was last painted in, -1 before
    ULONGLONG last_topmost;
    HDC mem;
    HBITMAP dib;
    HGDIOBJ old_bitmap;
    uint32_t* bits;
    uint8_t* bmp;  // dump buffer
    size_t bmp_cap;
    bool excluded_bar, excluded_frame;
    wchar_t dump[MAX_PATH];
};

SRWLOCK g_geom_lock = SRWLOCK_INIT;
clip_bar_geometry g_geom;
HANDLE g_thread;
DWORD g_thread_id;
HANDLE g_ready;    // the thread has its message queue (or ended)
bar_state* g_bar;  // the bar thread's own

COLORREF clip_bar_colorref(uint32_t px) { return RGB((px >> 16) & 0xFF, (px >> 8) & 0xFF, px & 0xFF); }

void clip_bar_publish(const bar_state* s) {
    clip_bar_geometry g{};
    g.excluded_from_capture = s->excluded_bar && s->excluded_frame;
    if (s->shown) {
        g.visible = 1;
        g.session = s->session;
        g.bar = s->bar_rect;
        g.bar_inside = s->bar_inside;
        g.frame = s->frame_layout.window;
        g.frame_inside = s->frame_layout.inside;
    }
    AcquireSRWLockExclusive(&g_geom_lock);
    g_geom = g;
    ReleaseSRWLockExclusive(&g_geom_lock);
}

// ---------------------------------------------------------------- theme and bitmap

HFONT clip_bar_make_font(HDC dc, int points, int weight, int dpi) {
    // The newer face where the system has it, else the classic one.
    const wchar_t* faces[2] = {L"Segoe UI Variable Text", L"Segoe UI"};
    for (int i = 0; i < 2; i++) {
        HFONT f = CreateFontW(-MulDiv(points, dpi, 72), 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                              OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, DEFAULT_PITCH, faces[i]);
        if (!f) return nullptr;
        if (i == 1 || !dc) return f;
        HGDIOBJ old = SelectObject(dc, f);
        wchar_t got[LF_FACESIZE] = {};
        GetTextFaceW(dc, LF_FACESIZE, got);
        SelectObject(dc, old);
        if (_wcsicmp(got, faces[0]) == 0) return f;
        DeleteObject(f);
    }
    return nullptr;
}

void clip_bar_theme_free(bar_theme* t) {
    HFONT fonts[4] = {t->regular, t->semibold, t->large, t->small};
    for (HFONT f : fonts)
        if (f) DeleteObject(f);
    *t = bar_theme{};
}

bool clip_bar_theme_make(bar_theme* t, int dpi) {
    HDC dc = GetDC(nullptr);
    bar_theme n{dpi,
                dpi / 96.0,
                clip_bar_make_font(dc, 10, FW_NORMAL, dpi),
                clip_bar_make_font(dc, 10, FW_SEMIBOLD, dpi),
                clip_bar_make_font(dc, 14, FW_SEMIBOLD, dpi),
                clip_bar_make_font(dc, 9, FW_NORMAL, dpi)};
    if (dc) ReleaseDC(nullptr, dc);
    if (!n.regular || !n.semibold || !n.large || !n.small) {
        clip_bar_theme_free(&n);
        return false;
    }
    clip_bar_theme_free(t);
    *t = n;
    return true;
}

void clip_bar_bitmap_free(bar_state* s) {
    if (s->mem) {
        SelectObject(s->mem, s->old_bitmap);
        DeleteDC(s->mem);
    }
    if (s->dib) DeleteObject(s->dib);
    s->mem = nullptr, s->dib = nullptr, s->bits = nullptr, s->old_bitmap = nullptr;
}

bool clip_bar_bitmap_make(bar_state* s) {
    if (s->dib) return true;
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = s->w;
    bi.bmiHeader.biHeight = -s->h;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HDC mem = CreateCompatibleDC(nullptr);
    HBITMAP dib = mem ? CreateDIBSection(mem, &bi, DIB_RGB_COLORS, &bits, nullptr, 0) : nullptr;
    if (!dib) {
        if (mem) DeleteDC(mem);
        return false;
    }
    s->mem = mem;
    s->dib = dib;
    s->bits = (uint32_t*)bits;
    s->old_bitmap = SelectObject(mem, dib);
    return true;
}

// ---------------------------------------------------------------- painting

void clip_bar_dump_write(bar_state* s, int state, int hover) {
    size_t need = clip_bar_draw_bmp(s->bits, s->w, s->h, nullptr, 0);
    if (need > s->bmp_cap) {
        if (s->bmp) HeapFree(GetProcessHeap(), 0, s->bmp);
        s->bmp = (uint8_t*)HeapAlloc(GetProcessHeap(), 0, need);
        s->bmp_cap = s->bmp ? need : 0;
        if (!s->bmp) return;
    }
    clip_bar_draw_bmp(s->bits, s->w, s->h, s->bmp, s->bmp_cap);
    wchar_t path[MAX_PATH], tmp[MAX_PATH + 8];
    _snwprintf(path, MAX_PATH, L"%ls\\bar_%d_%d.bmp", s->dump, state, hover);
    path[MAX_PATH - 1] = 0;
    _snwprintf(tmp, MAX_PATH + 8, L"%ls.tmp", path);
    tmp[MAX_PATH + 7] = 0;
    // Readers poll the file while clips run: they must never see half of one.
    HANDLE f = CreateFileW(tmp, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return;
    DWORD wrote = 0;
    bool ok = WriteFile(f, s->bmp, (DWORD)need, &wrote, nullptr) && wrote == need;
    CloseHandle(f);
    if (!ok || !MoveFileExW(tmp, path, MOVEFILE_REPLACE_EXISTING)) DeleteFileW(tmp);
}

void clip_bar_put_text(bar_state* s, int which, HFONT font, uint32_t colour, const wchar_t* text, UINT align) {
    RECT r;
    clip_bar_draw_text_rect(which, s->theme.scale, &r);
    SelectObject(s->mem, font);
    SetTextColor(s->mem, clip_bar_colorref(colour));
    DrawTextW(s->mem, text, -1, &r, align | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
}

// Repaints the bar when the watched values changed since the last paint.
void clip_bar_refresh(bar_state* s) {
    clip_bar_input in{s->st.state,     s->st.take_frames, s->st.fps,    s->st.limit,     s->st.audio,
                      s->st.system_on, s->st.system_ok,   s->st.mic_on, s->st.mic_ok,    s->st.system_level,
                      s->st.mic_level, s->hover,          s->press,     GetTickCount64()};
    clip_bar_key k;
    clip_bar_draw_key_make(&in, &k);
    if (s->frame_orange != k.orange) {
        s->frame_orange = k.orange;
        InvalidateRect(s->frame, nullptr, FALSE);
    }
    if (s->painted_valid && memcmp(&k, &s->painted, sizeof k) == 0) return;
    // Without a bitmap or fonts this paint is skipped; the next tick tries again.
    if (!s->theme.dpi || !clip_bar_bitmap_make(s)) return;

    clip_bar_draw_paint(&k, s->theme.scale, s->bits, s->w, s->h);
    GdiFlush();
    HGDIOBJ old_font = SelectObject(s->mem, s->theme.semibold);
    SetBkMode(s->mem, TRANSPARENT);
    wchar_t text[8];
    clip_bar_draw_time_text(k.seconds, text, 8);
    clip_bar_put_text(s, 0, s->theme.semibold, k.state == CLIP_PAUSED ? CLIP_BAR_ORANGE : CLIP_BAR_TEXT, text, DT_LEFT);
    clip_bar_draw_time_text(k.limit, text, 8);
    clip_bar_put_text(s, 1, s->theme.regular, CLIP_BAR_GREY, text, DT_LEFT);
    clip_bar_put_text(s, 2, s->theme.semibold, CLIP_BAR_WHITE, L"Save", DT_CENTER);
    SelectObject(s->mem, old_font);
    GdiFlush();
    for (size_t i = 0, n = (size_t)s->w * s->h; i < n; i++) s->bits[i] |= 0xFF000000u;

    if (s->dump[0]) clip_bar_dump_write(s, k.state, k.hover);
    HDC dc = GetDC(s->bar);
    if (dc) {
        BitBlt(dc, 0, 0, s->w, s->h, s->mem, 0, 0, SRCCOPY);
        ReleaseDC(s->bar, dc);
    }
    s->painted = k;
    s->painted_valid = true;
}

// ---------------------------------------------------------------- layout and tick

int clip_bar_measure_dpi(const RECT* area) {
    HMONITOR mon = MonitorFromRect(area, MONITOR_DEFAULTTONEAREST);
    UINT x = 0, y = 0;
    if (mon && SUCCEEDED(GetDpiForMonitor(mon, MDT_EFFECTIVE_DPI, &x, &y)) && x) return (int)x;
    return 96;
}

void clip_bar_frame_apply(bar_state* s) {
    const clip_bar_frame& f = s->frame_layout;
    HRGN rgn = CreateRectRgn(0, 0, 0, 0);
    for (int i = 0; rgn && i < f.count; i++) {
        HRGN part = CreateRectRgnIndirect(&f.parts[i]);
        if (part) {
            CombineRgn(rgn, rgn, part, RGN_OR);
            DeleteObject(part);
        }
    }
    SetWindowPos(s->frame, HWND_TOPMOST, f.window.left, f.window.top, f.window.right - f.window.left,
                 f.window.bottom - f.window.top, SWP_NOACTIVATE);
    // The window owns the region from here on.
    if (rgn && !SetWindowRgn(s->frame, rgn, TRUE)) DeleteObject(rgn);
    InvalidateRect(s->frame, nullptr, FALSE);
}

void clip_bar_layout(bar_state* s) {
    clip_bar_draw_frame_layout(&s->st.capture_rect, &s->st.output_rect, &s->frame_layout);
    clip_bar_frame_apply(s);
    if (!s->user_placed) {
        MONITORINFO mi{};
        mi.cbSize = sizeof mi;
        HMONITOR mon = MonitorFromRect(&s->st.capture_rect, MONITOR_DEFAULTTONEAREST);
        RECT work = s->st.output_rect;
        if (mon && GetMonitorInfoW(mon, &mi)) work = mi.rcWork;
        int gap = (int)std::lround(CLIP_BAR_GAP * s->theme.scale);
        clip_bar_draw_place(&s->st.capture_rect, &work, s->w, s->h, gap, &s->bar_rect, &s->bar_inside);
    } else {
        s->bar_rect.right = s->bar_rect.left + s->w;
        s->bar_rect.bottom = s->bar_rect.top + s->h;
    }
    SetWindowPos(s->bar, HWND_TOPMOST, s->bar_rect.left, s->bar_rect.top, s->w, s->h, SWP_NOACTIVATE);
}

void clip_bar_hide(bar_state* s) {
    if (s->shown) {
        ShowWindow(s->bar, SW_HIDE);
        ShowWindow(s->frame, SW_HIDE);
    }
    if (s->dragging || s->press) ReleaseCapture();
    s->shown = false;
    s->hover = s->press = 0;
    s->dragging = false;
    clip_bar_publish(s);
}

void clip_bar_tick(bar_state* s) {
    clip_status_read(&s->st);
    const bool wanted = (s->st.state == CLIP_RECORDING || s->st.state == CLIP_PAUSED) && s->st.bar_shown &&
                        !IsRectEmpty(&s->st.capture_rect);
    if (!wanted) {
        clip_bar_hide(s);
        return;
    }
    bool relayout =
        !s->shown || !EqualRect(&s->capture, &s->st.capture_rect) || !EqualRect(&s->output, &s->st.output_rect);
    if (s->session != s->st.session) {
        relayout = true;
        s->user_placed = false;  // a new session places the bar itself again
    }
    ULONGLONG now = GetTickCount64();
    // The monitor's DPI rarely changes: asked on a new layout and with the once-a-second re-assert.
    const bool periodic = now - s->last_topmost >= TOPMOST_EVERY_MS;
    int dpi = relayout || periodic || !s->theme.dpi ? clip_bar_measure_dpi(&s->st.capture_rect) : s->theme.dpi;
    if (dpi != s->theme.dpi) {
        if (!clip_bar_theme_make(&s->theme, dpi)) return;  // tried again at the next tick
        s->w = (int)std::lround(CLIP_BAR_W * s->theme.scale);
        s->h = (int)std::lround(CLIP_BAR_H * s->theme.scale);
        clip_bar_bitmap_free(s);
        s->painted_valid = false;
        relayout = true;
    }
    if (relayout) {
        s->session = s->st.session;
        s->capture = s->st.capture_rect;
        s->output = s->st.output_rect;
        clip_bar_layout(s);
    }
    if (s->hover && !s->press && !s->dragging) {
        // A leave notice can go missing when the pointer jumps away; the tick checks too.
        POINT p;
        if (GetCursorPos(&p) && !PtInRect(&s->bar_rect, p)) s->hover = 0;
    }
    clip_bar_refresh(s);
    if (!s->shown) {
        ShowWindow(s->frame, SW_SHOWNOACTIVATE);
        ShowWindow(s->bar, SW_SHOWNOACTIVATE);
        s->shown = true;
        s->last_topmost = now;
        s->painted_valid = false;  // a shown window needs its first picture
        clip_bar_refresh(s);
    } else if (periodic) {
        const UINT keep = SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE | SWP_NOOWNERZORDER;
        SetWindowPos(s->frame, HWND_TOPMOST, 0, 0, 0, 0, keep);
        SetWindowPos(s->bar, HWND_TOPMOST, 0, 0, 0, 0, keep);
        s->last_topmost = now;
    }
    clip_bar_publish(s);
}

// ---------------------------------------------------------------- requests and mouse

void clip_bar_post_action(int control) {
    log_info("clip bar: %s", CONTROL_LOG[control]);
    clip_request* req = clip_request_create();
    if (!req) return;
    req->op = CONTROL_OP[control];
    req->toggle_mic = false;  // the bar's sound switch is the desktop sound
    req->toggle_value = -1;
    DWORD tid = g_agent.capture_thread_id;
    if (!tid || !PostThreadMessageW(tid, WM_CAPTURE_CLIP, 0, (LPARAM)req)) clip_request_release(req);
}

int clip_bar_hit_at(const bar_state* s, LPARAM lp) {
    return clip_bar_draw_hit((short)LOWORD(lp), (short)HIWORD(lp), s->theme.scale ? s->theme.scale : 1.0, s->st.audio);
}

// The bar follows the cursor (lp in bar-client pixels) keeping the grab offset.
void clip_bar_drag_to(bar_state* s, LPARAM lp) {
    POINT p{(short)LOWORD(lp), (short)HIWORD(lp)};
    ClientToScreen(s->bar, &p);
    OffsetRect(&s->bar_rect, p.x - s->grab.x - s->bar_rect.left, p.y - s->grab.y - s->bar_rect.top);
    SetWindowPos(s->bar, nullptr, s->bar_rect.left, s->bar_rect.top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    clip_bar_publish(s);
}

LRESULT CALLBACK clip_bar_proc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
    bar_state* s = g_bar;
    if (!s || !s->bar) return DefWindowProcW(w, msg, wp, lp);
    switch (msg) {
    case WM_TIMER:
        if (wp == TIMER_TICK) clip_bar_tick(s);
        return 0;
    case WM_MOUSEACTIVATE: return MA_NOACTIVATE;
    case WM_SETCURSOR:
        if (LOWORD(lp) == HTCLIENT) {
            POINT p;
            GetCursorPos(&p);
            ScreenToClient(w, &p);
            bool on = clip_bar_draw_hit(p.x, p.y, s->theme.scale ? s->theme.scale : 1.0, s->st.audio) != 0;
            SetCursor(LoadCursorW(nullptr, on ? IDC_HAND : IDC_ARROW));
            return TRUE;
        }
        break;
    case WM_MOUSEMOVE:
        if (s->dragging) {
            clip_bar_drag_to(s, lp);
            return 0;
        }
        if (!s->tracking) {
            TRACKMOUSEEVENT t{sizeof t, TME_LEAVE, w, 0};
            s->tracking = TrackMouseEvent(&t) != FALSE;
        }
        if (int h = clip_bar_hit_at(s, lp); h != s->hover) {
            s->hover = h;
            clip_bar_refresh(s);
        }
        return 0;
    case WM_MOUSELEAVE:
        s->tracking = false;
        if (s->hover) {
            s->hover = 0;
            clip_bar_refresh(s);
        }
        return 0;
    case WM_LBUTTONDOWN: {
        SetCapture(w);
        int h = clip_bar_hit_at(s, lp);
        if (h) {
            s->press = h;
        } else {
            s->dragging = true;
            s->grab = POINT{(short)LOWORD(lp), (short)HIWORD(lp)};
        }
        clip_bar_refresh(s);
        return 0;
    }
    case WM_LBUTTONUP: {
        // Releasing capture reports a capture loss: take the state first.
        int pressed = s->press;
        bool dragged = s->dragging;
        s->press = 0;
        s->dragging = false;
        ReleaseCapture();
        if (dragged) {
            // Moves may be merged into the release: it carries the final place.
            clip_bar_drag_to(s, lp);
            s->user_placed = true;
        }
        if (pressed && clip_bar_hit_at(s, lp) == pressed) clip_bar_post_action(pressed);
        clip_bar_refresh(s);
        return 0;
    }
    case WM_CAPTURECHANGED:
        if (s->press || s->dragging) {
            s->press = 0;
            s->dragging = false;
            clip_bar_refresh(s);
        }
        return 0;
    case WM_ERASEBKGND: return 1;
    case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(w, &ps);
        if (dc && s->mem) BitBlt(dc, 0, 0, s->w, s->h, s->mem, 0, 0, SRCCOPY);
        EndPaint(w, &ps);
        return 0;
    }
    default: break;
    }
    return DefWindowProcW(w, msg, wp, lp);
}

LRESULT CALLBACK clip_bar_frame_proc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_NCHITTEST: return HTTRANSPARENT;
    case WM_MOUSEACTIVATE: return MA_NOACTIVATE;
    case WM_ERASEBKGND: return 1;
    case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(w, &ps);
        bar_state* s = g_bar;
        HBRUSH b = CreateSolidBrush(clip_bar_colorref(s && s->frame_orange == 1 ? CLIP_BAR_ORANGE : CLIP_BAR_RED));
        if (dc && b) FillRect(dc, &ps.rcPaint, b);
        if (b) DeleteObject(b);
        EndPaint(w, &ps);
        return 0;
    }
    default: break;
    }
    return DefWindowProcW(w, msg, wp, lp);
}

// ---------------------------------------------------------------- thread

bool clip_bar_exclude(HWND w, const char* which) {
    if (SetWindowDisplayAffinity(w, WDA_EXCLUDEFROMCAPTURE)) return true;
    log_warn("clip %s: exclude-from-capture unavailable (err=%lu); it may appear in clips", which, GetLastError());
    return false;
}

void clip_bar_window_attributes(HWND w, DWORD corners, COLORREF border) {
    // Older systems have neither attribute; the windows look square there.
    DwmSetWindowAttribute(w, ATTR_CORNER_PREFERENCE, &corners, sizeof corners);
    DwmSetWindowAttribute(w, ATTR_BORDER_COLOR, &border, sizeof border);
}

bool clip_bar_windows_create(bar_state* s) {
    HINSTANCE inst = GetModuleHandleW(nullptr);
    WNDCLASSEXW bar{sizeof bar};
    bar.lpfnWndProc = clip_bar_proc;
    bar.hInstance = inst;
    bar.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    bar.lpszClassName = BAR_CLASS;
    WNDCLASSEXW frame{sizeof frame};
    frame.lpfnWndProc = clip_bar_frame_proc;
    frame.hInstance = inst;
    frame.lpszClassName = FRAME_CLASS;
    if ((!RegisterClassExW(&bar) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) ||
        (!RegisterClassExW(&frame) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)) {
        log_error("clip bar: CreateWindowEx failed %lu", GetLastError());
        return false;
    }
    s->frame = CreateWindowExW(WS_EX_NOACTIVATE | WS_EX_TOOLWINDOW | WS_EX_TRANSPARENT | WS_EX_TOPMOST, FRAME_CLASS,
                               L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, inst, nullptr);
    s->bar = s->frame ? CreateWindowExW(WS_EX_NOACTIVATE | WS_EX_TOOLWINDOW | WS_EX_TOPMOST, BAR_CLASS, L"Ivra clip",
                                        WS_POPUP, 0, 0, CLIP_BAR_W, CLIP_BAR_H, nullptr, nullptr, inst, nullptr)
                      : nullptr;
    if (!s->bar) {
        log_error("clip bar: CreateWindowEx failed %lu", GetLastError());
        if (s->frame) DestroyWindow(s->frame);
        s->frame = nullptr;
        return false;
    }
    clip_bar_window_attributes(s->bar, CORNER_ROUND, RGB(38, 41, 48));
    clip_bar_window_attributes(s->frame, CORNER_SQUARE, BORDER_NONE);
    return true;
}

DWORD WINAPI clip_bar_thread(void*) {
    log_thread_name(L"ivra-clipbar");
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);  // the queue exists before anyone posts
    bar_state* s = (bar_state*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(bar_state));
    if (!s || !clip_bar_windows_create(s)) {
        if (s) HeapFree(GetProcessHeap(), 0, s);
        SetEvent(g_ready);
        return 1;
    }
    s->frame_orange = -1;
    DWORD n = GetEnvironmentVariableW(L"IVRA_BAR_DUMP", s->dump, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) s->dump[0] = 0;
    g_bar = s;
    int slot = watchdog_register("clipbar", s->bar, 0);
    s->excluded_bar = clip_bar_exclude(s->bar, "bar");
    s->excluded_frame = clip_bar_exclude(s->frame, "frame");
    clip_bar_publish(s);
    SetTimer(s->bar, TIMER_TICK, TICK_MS, nullptr);
    SetEvent(g_ready);

    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        ULONGLONG t0 = GetTickCount64();
        DispatchMessageW(&msg);
        ULONGLONG spent = GetTickCount64() - t0;
        if (spent >= SLOW_MESSAGE_MS) log_warn("slow: clip bar spent %llu ms on message 0x%04x", spent, msg.message);
    }

    KillTimer(s->bar, TIMER_TICK);
    watchdog_unregister(slot);
    g_bar = nullptr;
    DestroyWindow(s->bar);
    DestroyWindow(s->frame);
    clip_bar_bitmap_free(s);
    clip_bar_theme_free(&s->theme);
    if (s->bmp) HeapFree(GetProcessHeap(), 0, s->bmp);
    HeapFree(GetProcessHeap(), 0, s);
    AcquireSRWLockExclusive(&g_geom_lock);
    g_geom = clip_bar_geometry{};
    ReleaseSRWLockExclusive(&g_geom_lock);
    return 0;
}

}  // namespace

bool clip_bar_start(void) {
    g_ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_thread = g_ready ? CreateThread(nullptr, 0, clip_bar_thread, nullptr, 0, &g_thread_id) : nullptr;
    if (!g_thread) {
        log_error("clip bar thread failed %lu", GetLastError());
        if (g_ready) CloseHandle(g_ready);
        g_ready = nullptr;
        return false;
    }
    return true;
}

void clip_bar_stop(unsigned long ms) {
    if (!g_thread) return;
    WaitForSingleObject(g_ready, ms);
    PostThreadMessageW(g_thread_id, WM_QUIT, 0, 0);
    if (WaitForSingleObject(g_thread, ms) != WAIT_OBJECT_0) log_warn("clip bar: thread did not end in %lu ms", ms);
    CloseHandle(g_thread);
    CloseHandle(g_ready);
    g_thread = nullptr;
    g_ready = nullptr;
    g_thread_id = 0;
}

void clip_bar_geometry_read(clip_bar_geometry* out) {
    AcquireSRWLockShared(&g_geom_lock);
    *out = g_geom;
    ReleaseSRWLockShared(&g_geom_lock);
}
