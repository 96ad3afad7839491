#include "agent/overlay/overlay.h"
#include "agent/capture/capture.h"
#include "agent/capture/display_cache.h"
#include "agent/core/agent.h"
#include "agent/core/frame_pool.h"
#include "agent/core/messages.h"
#include "agent/maint/watchdog.h"
#include "agent/overlay/overlay_draw.h"
#include "agent/overlay/overlay_state.h"
#include "agent/overlay/selection_input.h"
#include "common/log.h"
#include <cstring>
#include <cwchar>

namespace {

constexpr wchar_t OVERLAY_CLASS[] = L"IvraRegionWnd";
constexpr UINT_PTR OVERLAY_TIMER_EXPIRY = 2;

SRWLOCK g_thread_lock = SRWLOCK_INIT;
HANDLE g_thread = nullptr;  // the last overlay thread, waited for at agent stop
// The open overlay window and its selection's number, for a close from another thread.
SRWLOCK g_window_lock = SRWLOCK_INIT;
HWND g_window = nullptr;
uint64_t g_window_id = 0;
volatile LONG64 g_last_id = 0;
thread_local int t_watch_slot = -1;  // the watchdog's slot for this overlay thread's window
volatile LONG g_class_registered = 0;

int64_t overlay_qpc() {
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t.QuadPart;
}

double overlay_ms(int64_t from, int64_t to) {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f.QuadPart > 0 ? (double)(to - from) * 1000.0 / (double)f.QuadPart : 0.0;
}

double overlay_ms_since(int64_t from) { return overlay_ms(from, overlay_qpc()); }

void overlay_clear_selecting() { InterlockedExchange(&g_agent.selecting, 0); }

void overlay_publish_window(HWND w, uint64_t id) {
    AcquireSRWLockExclusive(&g_window_lock);
    g_window = w;
    g_window_id = id;
    ReleaseSRWLockExclusive(&g_window_lock);
}

void overlay_forget_window(HWND w) {
    AcquireSRWLockExclusive(&g_window_lock);
    if (g_window == w) {
        g_window = nullptr;
        g_window_id = 0;
    }
    ReleaseSRWLockExclusive(&g_window_lock);
}

// The request's one answer; a request without a receiver is simply dropped.
void overlay_answer_request(const region_request* req, int status, const char* code, const char* msg) {
    if (!req->done) return;
    region_selection sel{};
    sel.status = status;
    sel.code = code;
    sel.message = msg;
    req->done(req->owner, &sel);
}

// Answers the selection's request unless it has been answered.
void overlay_answer(overlay_state* s, int status, const char* code, const char* msg) {
    if (!s->req.done) return;
    overlay_answer_request(&s->req, status, code, msg);
    s->req.done = nullptr;
}

// Hands the finished selection over: its rectangle, digit and look, with the frozen pixels.
void overlay_deliver(overlay_state* s, frame_buffer* pixels) {
    region_selection sel{};
    sel.status = REGION_SELECTED;
    sel.rect = s->sel.sel;
    sel.digit = s->sel.digit;
    sel.live = s->live;
    sel.pixels = pixels;
    void (*done)(void*, const region_selection*) = s->req.done;
    s->req.done = nullptr;
    if (done)
        done(s->req.owner, &sel);
    else if (pixels)
        frame_pool_release(pixels);
}

void overlay_release_snapshots(overlay_state* s) {
    overlay_draw_free_snapshots(s);
    for (int i = 0; i < s->snap_count; i++) {
        frame_pool_release(s->snaps[i].buf);
        s->snaps[i].buf = nullptr;
    }
    s->snap_count = 0;
}

LONG overlay_width(const overlay_state* s) { return s->screen.right - s->screen.left; }

LONG overlay_height(const overlay_state* s) { return s->screen.bottom - s->screen.top; }

// Pushes the back buffer (or its dirty part) to the layered window.
bool overlay_push(overlay_state* s, const RECT* dirty) {
    POINT dst{s->screen.left, s->screen.top};
    SIZE size{overlay_width(s), overlay_height(s)};
    POINT src{0, 0};
    BLENDFUNCTION blend{AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
    UPDATELAYEREDWINDOWINFO info{};
    info.cbSize = sizeof info;
    info.pptDst = &dst;
    info.psize = &size;
    info.hdcSrc = s->back_dc;
    info.pptSrc = &src;
    info.pblend = &blend;
    info.dwFlags = ULW_ALPHA;
    info.prcDirty = dirty;
    return UpdateLayeredWindowIndirect(s->wnd, &info) != FALSE;
}

// Live look: re-renders and pushes the pending dirty area, timing the whole update.
void overlay_live_update(overlay_state* s) {
    s->update_pending = 0;
    RECT client{0, 0, overlay_width(s), overlay_height(s)};
    RECT area{};
    const bool any = IntersectRect(&area, &s->dirty, &client) != FALSE;
    s->dirty = RECT{};
    if (!any || s->closing) return;
    const int64_t t0 = overlay_qpc();
    overlay_draw_live(s, &area);
    if (!overlay_push(s, &area)) log_warn("overlay(live): ULW failed %lu", GetLastError());
    s->updates++;
    s->update_ms_total += overlay_ms_since(t0);
}

// Repaints what changed: the union of the last picture's extent and the new one.
void overlay_repaint(overlay_state* s) {
    if (s->closing) return;
    RECT now{}, changed{};
    overlay_draw_extent(s, &now);
    selection_union(&s->drawn, &now, &changed);
    s->drawn = now;
    if (IsRectEmpty(&changed)) return;
    if (!s->live) {
        InvalidateRect(s->wnd, &changed, FALSE);
        return;
    }
    RECT merged{};
    selection_union(&s->dirty, &changed, &merged);
    s->dirty = merged;
    // One update in flight at a time: moves that arrive meanwhile only grow the dirty area.
    if (!s->update_pending) {
        if (PostMessageW(s->wnd, WM_OVERLAY_UPDATE, 0, 0))
            s->update_pending = 1;
        else
            overlay_live_update(s);
    }
}

// The finish step; runs once, often inside the window procedure. The window itself goes in
// overlay_close_window once the procedure has returned; the loop is woken for that.
void overlay_finish(overlay_state* s) {
    if (s->closing) return;
    s->closing = 1;
    s->sel.dragging = 0;
    HWND w = s->wnd;
    if (w && GetCapture() == w) ReleaseCapture();
    selection_input_detach(s);
    if (w) KillTimer(w, OVERLAY_TIMER_EXPIRY);
    if (!s->sel.selected) log_info("region cancelled");
    s->was_foreground = w && GetForegroundWindow() == w;
    overlay_forget_window(w);
    PostThreadMessageW(GetCurrentThreadId(), WM_NULL, 0, 0);
}

void overlay_cancel(overlay_state* s) {
    if (!s || s->closing) return;
    selection_cancel(&s->sel);
    overlay_finish(s);
}

// On the overlay thread outside the window procedure, after the finish step: destroys the
// window and gives the foreground back to the window that had it, if that still exists
// and still belongs to the same process.
void overlay_close_window(overlay_state* s) {
    HWND w = s->wnd;
    if (!w) return;
    s->wnd = nullptr;
    DestroyWindow(w);
    HWND prev = s->input.prev_foreground;
    DWORD pid = 0;
    if (s->was_foreground && prev && IsWindow(prev) && GetWindowThreadProcessId(prev, &pid) && pid == s->input.prev_pid)
        SetForegroundWindow(prev);
}

void overlay_outcome(overlay_state* s, selection_outcome o) {
    if (o == SELECTION_CHANGED)
        overlay_repaint(s);
    else if (o == SELECTION_SELECTED || o == SELECTION_CANCELLED)
        overlay_finish(s);
}

POINT overlay_point(const overlay_state* s, LPARAM lp) {
    return POINT{(LONG)(SHORT)LOWORD(lp) + s->screen.left, (LONG)(SHORT)HIWORD(lp) + s->screen.top};
}

int overlay_key_digit(UINT vk) {
    if (vk >= '1' && vk <= '9') return (int)(vk - '0');
    if (vk >= VK_NUMPAD1 && vk <= VK_NUMPAD9) return (int)(vk - VK_NUMPAD0);
    return 0;
}

LRESULT CALLBACK overlay_wndproc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_NCCREATE) {
        const CREATESTRUCTW* cs = (const CREATESTRUCTW*)lp;
        SetWindowLongPtrW(w, GWLP_USERDATA, (LONG_PTR)cs->lpCreateParams);
    }
    overlay_state* s = (overlay_state*)GetWindowLongPtrW(w, GWLP_USERDATA);
    if (!s) return DefWindowProcW(w, msg, wp, lp);
    LRESULT handled = 0;
    if (selection_input_message(s, msg, wp, lp, &handled)) return handled;
    switch (msg) {
    case WM_SETCURSOR:
        if (LOWORD(lp) == HTCLIENT) {
            SetCursor(nullptr);
            return TRUE;
        }
        break;
    case WM_ERASEBKGND: return 1;
    case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(w, &ps);
        if (dc && !s->live) {
            overlay_draw_frozen(s, dc, &ps.rcPaint);
            if (s->first_paint_ms == 0) s->first_paint_ms = overlay_ms_since(s->started);
        }
        EndPaint(w, &ps);
        return 0;
    }
    case WM_OVERLAY_UPDATE: overlay_live_update(s); return 0;
    case WM_MOUSEMOVE: {
        s->moves++;
        const int shift = (wp & MK_SHIFT) != 0;
        // Shift seen with the mouse counts as much as Shift seen as a key.
        if (s->sel.dragging && shift != (s->sel.square != 0)) selection_shift(&s->sel, shift);
        overlay_outcome(s, selection_move(&s->sel, overlay_point(s, lp)));
        return 0;
    }
    case WM_LBUTTONDOWN:
        s->downs++;
        SetCapture(w);
        overlay_outcome(s, selection_button_down(&s->sel, overlay_point(s, lp), (wp & MK_SHIFT) != 0));
        return 0;
    case WM_LBUTTONUP:
        s->ups++;
        overlay_outcome(s, selection_button_up(&s->sel, overlay_point(s, lp), (wp & MK_SHIFT) != 0));
        if (!s->closing && !s->sel.dragging && GetCapture() == w) ReleaseCapture();
        return 0;
    case WM_RBUTTONDOWN:
        s->downs++;
        overlay_cancel(s);
        return 0;
    case WM_KEYDOWN: {
        if (lp & (1 << 30)) return 0;  // auto-repeat: a held digit must not toggle its slot on and off
        const UINT vk = (UINT)wp;
        if (vk == VK_ESCAPE)
            overlay_cancel(s);
        else if (vk == VK_SHIFT)
            overlay_outcome(s, selection_shift(&s->sel, 1));
        else if (int d = overlay_key_digit(vk))
            overlay_outcome(s, selection_digit(&s->sel, d));
        return 0;
    }
    case WM_KEYUP:
        if ((UINT)wp == VK_SHIFT) overlay_outcome(s, selection_shift(&s->sel, 0));
        return 0;
    case WM_TIMER:
        if (wp == OVERLAY_TIMER_EXPIRY && !s->closing) {
            // The system's own message; a test's shorter expiry is logged at the start instead.
            log_info("overlay: selection expired after 120 seconds");
            overlay_cancel(s);
        }
        return 0;
    case WM_CLOSE:
    case WM_CANCELMODE: overlay_cancel(s); return 0;
    case WM_CAPTURECHANGED:
        if (s->sel.dragging && !s->closing && (HWND)lp != w) overlay_cancel(s);
        return 0;
    case WM_NCDESTROY: SetWindowLongPtrW(w, GWLP_USERDATA, 0); break;
    default: break;
    }
    return DefWindowProcW(w, msg, wp, lp);
}

bool overlay_register_class() {
    if (InterlockedCompareExchange(&g_class_registered, 0, 0)) return true;
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = overlay_wndproc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hCursor = LoadCursorW(nullptr, IDC_CROSS);
    wc.lpszClassName = OVERLAY_CLASS;
    if (!RegisterClassExW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
        log_warn("overlay: cannot register the window class (%lu)", GetLastError());
        return false;
    }
    InterlockedExchange(&g_class_registered, 1);
    return true;
}

bool overlay_create_window(overlay_state* s, DWORD ex_style) {
    if (!s->input.focus_option) ex_style |= WS_EX_NOACTIVATE;
    if (!overlay_register_class()) return false;
    s->wnd = CreateWindowExW(ex_style, OVERLAY_CLASS, L"", WS_POPUP, s->screen.left, s->screen.top, overlay_width(s),
                             overlay_height(s), nullptr, nullptr, GetModuleHandleW(nullptr), s);
    if (!s->wnd) return false;
    overlay_publish_window(s->wnd, s->id);
    if (t_watch_slot < 0) t_watch_slot = watchdog_register("overlay", s->wnd, 0);
    UINT dpi = GetDpiForWindow(s->wnd);
    if (dpi == 0) {
        HDC dc = GetDC(nullptr);
        dpi = dc ? (UINT)GetDeviceCaps(dc, LOGPIXELSX) : 96;
        if (dc) ReleaseDC(nullptr, dc);
    }
    s->dpi = dpi ? (int)dpi : 96;
    s->scale = s->dpi / 96.0;
    return true;
}

// Runs the window's messages until the finish step ran.
void overlay_loop(overlay_state* s) {
    MSG msg;
    while (!s->closing && IsWindow(s->wnd)) {
        BOOL r = GetMessageW(&msg, nullptr, 0, 0);
        if (r <= 0) break;
        DispatchMessageW(&msg);
    }
}

bool overlay_run_live(overlay_state* s) {
    if (!overlay_draw_back_buffer(s)) return false;
    if (!overlay_create_window(s, WS_EX_LAYERED | WS_EX_TOOLWINDOW | WS_EX_TOPMOST)) {
        log_warn("region(live): CreateWindowEx failed %lu", GetLastError());
        return false;
    }
    if (!overlay_draw_create(s)) {
        log_warn("overlay: cannot create the overlay's font and sprites");
        return false;
    }
    RECT client{0, 0, overlay_width(s), overlay_height(s)};
    overlay_draw_live(s, &client);
    overlay_draw_extent(s, &s->drawn);
    if (!overlay_push(s, nullptr)) {
        log_warn("overlay(live): ULW failed %lu", GetLastError());
        return false;
    }
    if (!selection_input_setup(s)) return false;
    selection_input_show(s);
    SetTimer(s->wnd, OVERLAY_TIMER_EXPIRY, s->expiry_ms, nullptr);
    s->init_ms = overlay_ms_since(s->started);
    s->first_paint_ms = s->init_ms;
    log_info("overlay(live): shown, first paint %lld ms", (long long)s->first_paint_ms);
    overlay_loop(s);
    log_info("overlay(live): init %lld ms, avg update %.1f ms, paints %u, moves %u, downs %u, ups %u, mouse=%s "
             "capture_focus=%d",
             (long long)s->init_ms, s->updates ? s->update_ms_total / s->updates : 0.0, s->updates, s->moves, s->downs,
             s->ups, s->input.mode == 2 ? "raw" : "native", s->input.focus_option);
    return true;
}

bool overlay_run_frozen(overlay_state* s) {
    const int64_t t0 = overlay_qpc();
    if (!overlay_draw_snapshots(s)) return false;
    if (s->dim_ms == 0 && s->dib_ms == 0) s->dib_ms = overlay_ms_since(t0);
    if (!overlay_create_window(s, WS_EX_TOOLWINDOW | WS_EX_TOPMOST)) {
        log_warn("region: CreateWindowEx failed %lu", GetLastError());
        return false;
    }
    if (!overlay_draw_create(s)) {
        log_warn("overlay: cannot create the overlay's font and sprites");
        return false;
    }
    overlay_draw_extent(s, &s->drawn);
    if (!selection_input_setup(s)) return false;
    selection_input_show(s);
    SetTimer(s->wnd, OVERLAY_TIMER_EXPIRY, s->expiry_ms, nullptr);
    UpdateWindow(s->wnd);
    if (s->first_paint_ms == 0) RedrawWindow(s->wnd, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
    s->init_ms = overlay_ms_since(s->started);
    log_info("overlay: dim %lld ms, dib %lld ms, first paint %lld ms", (long long)s->dim_ms, (long long)s->dib_ms,
             (long long)s->first_paint_ms);
    overlay_loop(s);
    return true;
}

// Frozen look: the selected pixels from the undimmed snapshots; parts on no monitor stay black.
frame_buffer* overlay_frozen_result(overlay_state* s) {
    const RECT r = s->sel.sel;
    const LONG w = r.right - r.left, h = r.bottom - r.top;
    frame_buffer* buf = s->req.buffer ? s->req.buffer(s->req.owner, w, h) : nullptr;
    if (!buf) return nullptr;
    if (!frame_buffer_ensure(buf, (uint32_t)w, (uint32_t)h, w * 4)) {
        log_warn("overlay: no memory for a %ldx%ld region", (long)w, (long)h);
        frame_pool_release(buf);
        return nullptr;
    }
    for (LONG y = 0; y < h; y++) memset(buf->pixels + (size_t)y * buf->stride, 0, (size_t)w * 4);
    for (int i = 0; i < s->snap_count; i++) {
        const overlay_snapshot* snap = &s->snaps[i];
        RECT part{};
        if (!snap->buf || !IntersectRect(&part, &r, &snap->rect)) continue;
        const size_t row_bytes = (size_t)(part.right - part.left) * 4;
        for (LONG y = part.top; y < part.bottom; y++) {
            const uint8_t* from = snap->buf->pixels + (size_t)(y - snap->rect.top) * snap->buf->stride +
                                  (size_t)(part.left - snap->rect.left) * 4;
            uint8_t* to = buf->pixels + (size_t)(y - r.top) * buf->stride + (size_t)(part.left - r.left) * 4;
            memcpy(to, from, row_bytes);
        }
    }
    buf->timestamp = overlay_qpc();
    return buf;
}

// Live look: the rectangle goes to the requester, who reads the screen once the overlay is gone.
void overlay_deliver_live(overlay_state* s) {
    if (!s->sel.selected) {
        overlay_answer(s, REGION_CANCELLED, "cancelled", "pick cancelled");
        return;
    }
    overlay_deliver(s, nullptr);
}

void overlay_deliver_frozen(overlay_state* s) {
    frame_buffer* buf = s->sel.selected ? overlay_frozen_result(s) : nullptr;
    overlay_release_snapshots(s);
    if (!buf) {
        overlay_answer(s, REGION_CANCELLED, "cancelled", "pick cancelled");
        return;
    }
    overlay_deliver(s, buf);
}

DWORD WINAPI overlay_thread(void* arg) {
    overlay_state* s = (overlay_state*)arg;
    log_thread_name(L"ivra-overlay");
    s->started = overlay_qpc();
    if (s->live) {
        overlay_run_live(s);
        // A start-up failure still owns its window; it goes like a cancel.
        overlay_cancel(s);
        overlay_close_window(s);
        overlay_draw_destroy(s);
        overlay_draw_free_back_buffer(s);
        overlay_deliver_live(s);
    } else {
        overlay_run_frozen(s);
        overlay_cancel(s);
        overlay_close_window(s);
        overlay_draw_destroy(s);
        overlay_deliver_frozen(s);
    }
    HeapFree(GetProcessHeap(), 0, s);
    watchdog_unregister(t_watch_slot);
    t_watch_slot = -1;
    overlay_clear_selecting();
    return 0;
}

// IVRA_DEBUG_REGION_EXPIRY_MS shortens the expiry for tests when IVRA_DEBUG_HOOKS is on.
unsigned overlay_expiry() {
    unsigned long ms = agent_debug_ms(L"IVRA_DEBUG_REGION_EXPIRY_MS");
    if (ms == 0) return OVERLAY_EXPIRY_MS;
    log_warn("debug: region selection expires after %lu ms", ms);
    return (unsigned)ms;
}

// Bytes of one output's snapshot, BGRA; 0 for an empty rectangle.
uint64_t overlay_snapshot_bytes(const RECT* r) {
    const int64_t w = (int64_t)r->right - r->left, h = (int64_t)r->bottom - r->top;
    if (w <= 0 || h <= 0) return 0;
    return (uint64_t)w * (uint64_t)h * 4u;
}

}  // namespace

bool overlay_start(display_cache* frames, const region_request* req, uint64_t* selection) {
    if (selection) *selection = 0;
    if (InterlockedCompareExchange(&g_agent.selecting, 1, 0) != 0) {
        log_warn("region overlay already active");
        overlay_answer_request(req, REGION_BUSY, "busy", "region overlay already active");
        return false;
    }
    overlay_state* s = (overlay_state*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(overlay_state));
    if (!s) {
        log_error("overlay: no memory for a selection");
        overlay_clear_selecting();
        overlay_answer_request(req, REGION_FAILED, "internal", "cannot start overlay");
        return false;
    }
    s->req = *req;
    s->cancel = overlay_cancel;
    config cfg;
    agent_config_copy(&cfg);
    s->screen.left = GetSystemMetrics(SM_XVIRTUALSCREEN);
    s->screen.top = GetSystemMetrics(SM_YVIRTUALSCREEN);
    s->screen.right = s->screen.left + GetSystemMetrics(SM_CXVIRTUALSCREEN);
    s->screen.bottom = s->screen.top + GetSystemMetrics(SM_CYVIRTUALSCREEN);
    s->live = req->live != 0;
    for (int i = 0; i < SELECTION_FOLDERS; i++) {
        wcsncpy(s->folders[i], cfg.folders[i], 259);
        s->folders[i][259] = 0;
    }
    s->grid = cfg.region_grid != 0;
    s->input.requested = cfg.region_input >= 0 && cfg.region_input <= 2 ? cfg.region_input : 0;
    s->input.raw_percent = selection_input_clamp_percent(cfg.raw_mouse_percent);
    s->input.focus_option = cfg.region_capture_input != 0;
    s->expiry_ms = overlay_expiry();
    POINT cursor{};
    GetCursorPos(&cursor);
    const int digit = req->digit;
    selection_init(&s->sel, &s->screen, cursor, digit >= 1 && digit <= 9 ? digit : 0);

    if (!s->live) {
        const int outputs = frames ? display_cache_output_count(frames) : 0;
        for (int i = 0; i < outputs && s->snap_count < OVERLAY_MAX_SNAPSHOTS; i++) {
            RECT r{};
            display_cache_output_rect(frames, i, &r);
            frame_buffer* buf = frame_pool_acquire(g_agent.frames_stills, overlay_snapshot_bytes(&r));
            if (!buf) {
                log_warn("region: stills pool exhausted");
                break;
            }
            if (!capture_output(frames, i, buf, &r)) {
                frame_pool_release(buf);
                continue;
            }
            log_info("region freeze: out %d rect %ld,%ld-%ld,%ld", i, (long)r.left, (long)r.top, (long)r.right,
                     (long)r.bottom);
            s->snaps[s->snap_count].buf = buf;
            s->snaps[s->snap_count].rect = r;
            s->snap_count++;
        }
        if (s->snap_count == 0) {
            log_warn("region: no outputs captured");
            HeapFree(GetProcessHeap(), 0, s);
            overlay_clear_selecting();
            overlay_answer_request(req, REGION_FAILED, "cancelled", "pick cancelled");
            return false;
        }
    }

    s->id = (uint64_t)InterlockedIncrement64(&g_last_id);
    const uint64_t id = s->id;
    HANDLE h = CreateThread(nullptr, 0, overlay_thread, s, 0, nullptr);
    if (!h) {
        const DWORD err = GetLastError();
        overlay_release_snapshots(s);
        if (!req->waited) log_error("cannot start overlay thread (%lu)", err);
        overlay_answer(s, REGION_FAILED, "internal", "cannot start overlay");
        HeapFree(GetProcessHeap(), 0, s);
        overlay_clear_selecting();
        return true;
    }
    if (selection) *selection = id;
    AcquireSRWLockExclusive(&g_thread_lock);
    HANDLE old = g_thread;
    g_thread = h;
    ReleaseSRWLockExclusive(&g_thread_lock);
    if (old) CloseHandle(old);
    return true;
}

void overlay_close(uint64_t selection) {
    AcquireSRWLockShared(&g_window_lock);
    HWND w = g_window && (selection == 0 || selection == g_window_id) ? g_window : nullptr;
    ReleaseSRWLockShared(&g_window_lock);
    if (w) PostMessageW(w, WM_CLOSE, 0, 0);
}

void overlay_wait(void) {
    overlay_close(0);
    AcquireSRWLockExclusive(&g_thread_lock);
    HANDLE h = g_thread;
    g_thread = nullptr;
    ReleaseSRWLockExclusive(&g_thread_lock);
    if (!h) return;
    WaitForSingleObject(h, INFINITE);
    CloseHandle(h);
}
