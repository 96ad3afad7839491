#include "agent/capture/capture.h"
#include "agent/capture/dib.h"
#include "agent/core/agent.h"
#include "common/log.h"
#include "common/rect.h"
#include <dwmapi.h>
#include <cstdlib>
#include <cstring>


// Largest side a capture accepts; keeps the byte arithmetic far from overflow.
// Rows are addressed with a 32-bit stride; what the still encoder accepts is checked
// before any capture, so this only guards the arithmetic.
static const long long CAPTURE_MAX_SIDE = 0x7FFFFFFF / 4;

// Acquisitions still to fail under the access-loss test aid.
static volatile LONG g_debug_lost = 0;

// True when the test aid takes this acquisition: it fails as access lost.
static bool capture_debug_take_loss() {
    LONG n = InterlockedCompareExchange(&g_debug_lost, 0, 0);
    while (n > 0) {
        const LONG seen = InterlockedCompareExchange(&g_debug_lost, n - 1, n);
        if (seen == n) return true;
        n = seen;
    }
    return false;
}

bool capture_debug_lose_access(unsigned n) {
    if (!agent_debug_hooks()) return false;
    InterlockedExchange(&g_debug_lost, n > 0x7fffffffu ? 0x7fffffff : (LONG)n);
    log_warn("debug: the next %u acquisitions report access lost", n);
    return true;
}

static LONGLONG capture_now() {
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t.QuadPart;
}

// ---- Pure helpers

void capture_window_rect(const RECT* client, const RECT* frame, RECT* out) {
    RECT r;
    if (rect_intersect(client, frame, &r))
        *out = r;
    else
        *out = *frame;
}

unsigned capture_acquire_timeout(int continuous, int has_frame, int grabs_on_demand) {
    // A duplication that reads the screen on every call already sees the current
    // pixels at 0 ms; waiting for a change would only delay an unchanged screen.
    if (has_frame && (continuous || grabs_on_demand)) return 0u;
    return 500u;
}

int capture_plan_rect(const RECT* rect, const RECT* outputs, int output_count, capture_piece* pieces) {
    int n = 0;
    for (int i = 0; i < output_count; i++) {
        RECT part;
        if (!rect_intersect(rect, &outputs[i], &part)) continue;
        pieces[n].index = i;
        pieces[n].src = part;
        pieces[n].dx = part.left - rect->left;
        pieces[n].dy = part.top - rect->top;
        n++;
    }
    return n;
}

// ---- Frames

static void capture_set_stamp(frame_buffer* buf, LONGLONG stamp) { buf->timestamp = stamp; }

static bool capture_size_buffer(frame_buffer* buf, long long w, long long h) {
    if (w <= 0 || h <= 0 || w > CAPTURE_MAX_SIDE || h > CAPTURE_MAX_SIDE) {
        log_warn("capture: size %lldx%lld refused", w, h);
        return false;
    }
    if (!frame_buffer_ensure(buf, (uint32_t)w, (uint32_t)h, (int32_t)(w * 4))) {
        log_warn("capture: no frame memory for %lldx%lld", w, h);
        return false;
    }
    return true;
}

ID3D11Texture2D* capture_acquire(display_cache* cache, int index) {
    if (!cache || index < 0 || index >= cache->output_count) return nullptr;
    display_output* out = &cache->outputs[index];
    if (!out->dup && !display_dup_create(cache, index)) return nullptr;
    if (cache->lost) return nullptr;
    DXGI_OUTDUPL_FRAME_INFO info{};
    IDXGIResource* res = nullptr;
    LONGLONG t0 = capture_now();
    unsigned wait_ms = capture_acquire_timeout(cache->continuous, out->frame != nullptr, out->grabs_on_demand);
    HRESULT hr = capture_debug_take_loss() ? DXGI_ERROR_ACCESS_LOST : out->dup->AcquireNextFrame(wait_ms, &info, &res);
    cache->t_acquire += display_cache_ms(cache, t0, capture_now());
    if (hr == DXGI_ERROR_WAIT_TIMEOUT) return out->frame;
    if (FAILED(hr)) {
        if (res) res->Release();
        if (display_hr_is_lost(hr)) cache->lost = 1;
        log_warn("AcquireNextFrame hr=0x%08lx", (unsigned long)hr);
        return nullptr;
    }
    if (!res) {
        out->dup->ReleaseFrame();
        return nullptr;
    }
    display_copy_resource(cache, out, res);
    res->Release();
    out->dup->ReleaseFrame();
    return out->frame;
}

bool capture_read_back(display_cache* cache, int index, const RECT* src, frame_buffer* buf, int dx, int dy) {
    if (!cache || index < 0 || index >= cache->output_count || !buf) return false;
    display_output* out = &cache->outputs[index];
    long w = src->right - src->left, h = src->bottom - src->top;
    if (w <= 0 || h <= 0 || !out->frame) return false;
    long sx = src->left - out->rect.left, sy = src->top - out->rect.top;
    // The frame and the output rectangle disagree after a mode change; never read past either.
    if (sx < 0 || sy < 0 || sx + w > out->frame_w || sy + h > out->frame_h) {
        log_warn("capture: region %ld,%ld %ldx%ld outside the %dx%d frame of output %d", sx, sy, w, h, out->frame_w,
                 out->frame_h, index);
        return false;
    }
    if (dx < 0 || dy < 0 || (uint64_t)dx + (uint64_t)w > buf->width || (uint64_t)dy + (uint64_t)h > buf->height) {
        log_warn("capture: region %ldx%ld does not fit the buffer at %d,%d", w, h, dx, dy);
        return false;
    }
    if (!display_cache_staging(cache, (int)w, (int)h)) return false;
    ID3D11DeviceContext* ctx = cache->context;
    D3D11_BOX box = {(UINT)sx, (UINT)sy, 0, (UINT)(sx + w), (UINT)(sy + h), 1};
    LONGLONG t0 = capture_now();
    ctx->CopySubresourceRegion(cache->staging, 0, 0, 0, 0, out->frame, 0, &box);
    LONGLONG t1 = capture_now();
    cache->t_copy += display_cache_ms(cache, t0, t1);
    D3D11_MAPPED_SUBRESOURCE m{};
    HRESULT hr = ctx->Map(cache->staging, 0, D3D11_MAP_READ, 0, &m);
    if (FAILED(hr)) {
        if (cache->device->GetDeviceRemovedReason() != S_OK) cache->lost = 1;
        log_error("staging Map failed");
        return false;
    }
    cache->t_map += display_cache_ms(cache, t1, capture_now());
    const uint8_t* from = (const uint8_t*)m.pData;
    uint8_t* to = (uint8_t*)buf->pixels + (size_t)dy * (size_t)buf->stride + (size_t)dx * 4;
    size_t row = (size_t)w * 4;
    for (long y = 0; y < h; y++) memcpy(to + (size_t)y * (size_t)buf->stride, from + (size_t)y * m.RowPitch, row);
    ctx->Unmap(cache->staging, 0);
    return true;
}

static void capture_log_timing(display_cache* cache, LONGLONG start) {
    log_info("capture: acquire %.1f ms, copy %.1f ms, map %.1f ms, total %.1f ms", cache->t_acquire, cache->t_copy,
             cache->t_map, display_cache_ms(cache, start, capture_now()));
    cache->t_acquire = cache->t_copy = cache->t_map = 0;
}

// ---- Capture shapes

bool capture_output(display_cache* cache, int index, frame_buffer* buf, RECT* out_rect) {
    LONGLONG start = capture_now();
    if (!cache || !buf || !display_cache_validate(cache)) return false;
    bool ok = false;
    for (int pass = 0; pass < 2 && !ok; pass++) {
        if (pass == 1 && !(cache->lost && display_cache_validate(cache))) break;
        if (index < 0 || index >= cache->output_count) {
            log_warn("capture: there is no output %d (%d outputs)", index, cache->output_count);
            break;
        }
        if (!capture_acquire(cache, index)) {
            log_warn("region freeze: output %d has no frame", index);
            continue;
        }
        const RECT r = cache->outputs[index].rect;
        ok = capture_size_buffer(buf, (long long)r.right - r.left, (long long)r.bottom - r.top) &&
             capture_read_back(cache, index, &r, buf, 0, 0);
        if (ok) capture_set_stamp(buf, capture_now());
    }
    if (!ok) return false;
    if (out_rect) *out_rect = cache->outputs[index].rect;
    capture_log_timing(cache, start);
    return true;
}

bool capture_target_grab(display_cache* cache, const capture_target* target, frame_buffer* buf) {
    LONGLONG start = capture_now();
    if (!cache || !target || !buf) return false;
    for (int pass = 0; pass < 2; pass++) {
        if (pass == 1 && !cache->lost) break;
        capture_target t = *target;
        if (!display_cache_validate(cache) || !capture_resolve(&t)) return false;
        HMONITOR monitor = t.monitor ? t.monitor : MonitorFromRect(&t.rect, MONITOR_DEFAULTTONEAREST);
        int index = display_cache_output_index(cache, monitor);
        if (index < 0) {
            cache->lost = 1;
            log_warn("no duplication output for monitor %p", (void*)monitor);
            continue;
        }
        if (!capture_acquire(cache, index)) {
            log_warn("no frame available (timeout and no cached frame)");
            continue;
        }
        LONGLONG stamp = capture_now();
        RECT clip;
        if (!rect_intersect(&t.rect, &cache->outputs[index].rect, &clip)) {
            log_warn("capture: target does not reach output %d", index);
            return false;
        }
        if (!capture_size_buffer(buf, clip.right - clip.left, clip.bottom - clip.top) ||
            !capture_read_back(cache, index, &clip, buf, 0, 0))
            continue;
        capture_set_stamp(buf, stamp);
        capture_log_timing(cache, start);
        return true;
    }
    return false;
}

bool capture_rect(display_cache* cache, const RECT* rect, frame_buffer* buf) {
    LONGLONG start = capture_now();
    if (!cache || !rect || !buf) return false;
    for (int pass = 0; pass < 2; pass++) {
        if (pass == 1 && !cache->lost) break;
        if (!display_cache_validate(cache)) return false;
        const long long w = (long long)rect->right - rect->left, h = (long long)rect->bottom - rect->top;
        if (!capture_size_buffer(buf, w, h)) return false;
        for (long long y = 0; y < h; y++)
            memset((uint8_t*)buf->pixels + (size_t)y * (size_t)buf->stride, 0, (size_t)w * 4);
        LONGLONG stamp = capture_now();
        RECT rects[DISPLAY_MAX_OUTPUTS];
        for (int i = 0; i < cache->output_count; i++) rects[i] = cache->outputs[i].rect;
        capture_piece pieces[DISPLAY_MAX_OUTPUTS];
        int n = capture_plan_rect(rect, rects, cache->output_count, pieces);
        if (n == 0) {
            log_warn("capture_rect: no output covered the rect");
            continue;
        }
        bool ok = true;
        for (int i = 0; i < n && ok; i++) {
            if (!capture_acquire(cache, pieces[i].index)) {
                log_warn("capture_rect: output %d has no frame", pieces[i].index);
                ok = false;
            } else {
                ok = capture_read_back(cache, pieces[i].index, &pieces[i].src, buf, pieces[i].dx, pieces[i].dy);
            }
        }
        if (!ok) continue;
        capture_set_stamp(buf, stamp);
        capture_log_timing(cache, start);
        return true;
    }
    return false;
}

bool capture_resolve(capture_target* target) {
    if (!target) return false;
    if (target->kind == CAPTURE_TARGET_WINDOW) {
        HWND w = target->window;
        if (!w || !IsWindow(w)) return false;
        RECT frame, client;
        if (FAILED(DwmGetWindowAttribute(w, DWMWA_EXTENDED_FRAME_BOUNDS, &frame, sizeof frame)) &&
            !GetWindowRect(w, &frame))
            return false;
        if (!GetClientRect(w, &client)) return false;
        POINT corners[2] = {{client.left, client.top}, {client.right, client.bottom}};
        ClientToScreen(w, &corners[0]);
        ClientToScreen(w, &corners[1]);
        client = RECT{corners[0].x, corners[0].y, corners[1].x, corners[1].y};
        RECT r;
        capture_window_rect(&client, &frame, &r);
        target->rect = r;
        target->monitor = MonitorFromRect(&r, MONITOR_DEFAULTTONEAREST);
        return true;
    }
    MONITORINFO mi{};
    mi.cbSize = sizeof mi;
    HMONITOR m = target->monitor;
    if (!m || !GetMonitorInfoW(m, &mi)) {
        POINT p{};
        GetCursorPos(&p);
        m = MonitorFromPoint(p, MONITOR_DEFAULTTOPRIMARY);
        if (!GetMonitorInfoW(m, &mi)) return false;
    }
    target->monitor = m;
    target->rect = mi.rcMonitor;
    return true;
}

bool capture_print_window(HWND window, frame_buffer* buf) {
    if (!window || !buf || !IsWindow(window)) return false;
    RECT r;
    if (FAILED(DwmGetWindowAttribute(window, DWMWA_EXTENDED_FRAME_BOUNDS, &r, sizeof r)) && !GetWindowRect(window, &r))
        return false;
    long w = r.right - r.left, h = r.bottom - r.top;
    if (!capture_size_buffer(buf, w, h)) return false;
    bool ok = false;
    HDC wdc = GetWindowDC(window);
    HDC mem = wdc ? CreateCompatibleDC(wdc) : nullptr;
    HBITMAP dib = nullptr;
    HGDIOBJ old = nullptr;
    void* bits = nullptr;
    BITMAPINFO bi;
    dib_info_top_down(&bi, w, h);
    if (mem) dib = CreateDIBSection(wdc, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (dib && bits) {
        old = SelectObject(mem, dib);
        if (PrintWindow(window, mem, PW_RENDERFULLCONTENT)) {
            GdiFlush();
            for (long y = 0; y < h; y++)
                memcpy((uint8_t*)buf->pixels + (size_t)y * (size_t)buf->stride, (uint8_t*)bits + (size_t)y * w * 4,
                       (size_t)w * 4);
            capture_set_stamp(buf, capture_now());
            ok = true;
        } else {
            log_warn("PrintWindow failed err=%lu", GetLastError());
        }
        SelectObject(mem, old);
    } else {
        log_warn("PrintWindow failed err=%lu", GetLastError());
    }
    if (dib) DeleteObject(dib);
    if (mem) DeleteDC(mem);
    if (wdc) ReleaseDC(window, wdc);
    return ok;
}

bool capture_poll(display_cache* cache, int index, ID3D11Texture2D** frame, int* fresh) {
    *frame = nullptr;
    *fresh = 0;
    if (!cache || index < 0 || index >= cache->output_count || cache->lost) return false;
    display_output* out = &cache->outputs[index];
    if (!out->dup && !display_dup_create(cache, index)) return false;
    DXGI_OUTDUPL_FRAME_INFO info{};
    IDXGIResource* res = nullptr;
    HRESULT hr = capture_debug_take_loss() ? DXGI_ERROR_ACCESS_LOST : out->dup->AcquireNextFrame(0, &info, &res);
    if (hr != DXGI_ERROR_WAIT_TIMEOUT) {
        if (FAILED(hr)) {
            if (res) res->Release();
            if (display_hr_is_lost(hr)) cache->lost = 1;
            log_warn("clip poll: AcquireNextFrame hr=0x%08lx", (unsigned long)hr);
            return false;
        }
        // A present time of 0 means only the pointer moved.
        if (res && !(info.LastPresentTime.QuadPart == 0 && out->frame) && display_copy_resource(cache, out, res))
            *fresh = 1;
        if (res) res->Release();
        out->dup->ReleaseFrame();
    }
    *frame = out->frame;
    return true;
}
