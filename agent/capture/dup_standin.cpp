#include "agent/capture/dup_standin.h"
#include "agent/capture/texture.h"
#include "agent/capture/dib.h"
#include "common/log.h"
#include <cstring>
#include <new>

bool dup_standin_wanted(HRESULT hr) { return hr == E_NOTIMPL || hr == DXGI_ERROR_UNSUPPORTED; }

static inline uint64_t dup_standin_mix(uint64_t h, uint64_t v) {
    h = (h ^ v) * 0xff51afd7ed558ccdULL;
    return (h << 31) | (h >> 33);
}

uint64_t dup_standin_hash_opaque(uint8_t* pixels, size_t bytes) {
    const uint64_t opaque = 0xFF000000FF000000ULL;
    uint64_t a = 0x9E3779B97F4A7C15ULL, b = 0xC2B2AE3D27D4EB4FULL;
    uint64_t c = 0x165667B19E3779F9ULL, d = 0x27D4EB2F165667C5ULL;
    size_t i = 0;
    // Four independent lanes keep the multiplier busy; memcpy keeps the loads legal.
    for (; i + 32 <= bytes; i += 32) {
        uint64_t v[4];
        memcpy(v, pixels + i, 32);
        v[0] |= opaque;
        v[1] |= opaque;
        v[2] |= opaque;
        v[3] |= opaque;
        memcpy(pixels + i, v, 32);
        a = dup_standin_mix(a, v[0]);
        b = dup_standin_mix(b, v[1]);
        c = dup_standin_mix(c, v[2]);
        d = dup_standin_mix(d, v[3]);
    }
    for (; i + 4 <= bytes; i += 4) {
        uint32_t v;
        memcpy(&v, pixels + i, 4);
        v |= 0xFF000000u;
        memcpy(pixels + i, &v, 4);
        a = dup_standin_mix(a, v);
    }
    uint64_t h = dup_standin_mix(dup_standin_mix(dup_standin_mix(dup_standin_mix(bytes, a), b), c), d);
    h ^= h >> 29;
    return h;
}

DWORD dup_standin_remaining(LONGLONG now, LONGLONG deadline, LONGLONG freq) {
    if (freq <= 0 || now >= deadline) return 0;
    LONGLONG ticks = deadline - now;
    if (ticks / freq >= 0x7FFFFFFF / 1000) return 0x7FFFFFFF;
    return (DWORD)(ticks * 1000 / freq);
}

namespace {

volatile LONG g_fail_writes = 0;
volatile LONG g_fail_hr = 0;

// A Map failure the tests ask for, else the real Map.
HRESULT dup_standin_map(ID3D11DeviceContext* context, ID3D11Resource* res, D3D11_MAPPED_SUBRESOURCE* m) {
    for (LONG n = g_fail_writes; n > 0; n = g_fail_writes)
        if (InterlockedCompareExchange(&g_fail_writes, n - 1, n) == n) return (HRESULT)g_fail_hr;
    return context->Map(res, 0, D3D11_MAP_WRITE_DISCARD, 0, m);
}

struct standin_dup final : IDXGIOutputDuplication {
    LONG refs = 1;
    ID3D11Device* device = nullptr;
    ID3D11DeviceContext* context = nullptr;
    ID3D11Texture2D* texture = nullptr;
    ID3D11Texture2D* upload = nullptr;  // CPU-writable twin of texture; none when the device refuses one
    IDXGIResource* resource = nullptr;
    RECT rect{};
    int width = 0, height = 0;
    HDC screen = nullptr;
    HDC mem = nullptr;
    HBITMAP dib = nullptr;
    HGDIOBJ old_bitmap = nullptr;
    uint8_t* bits = nullptr;
    uint64_t last_hash = 0;
    bool given = false;  // a frame was handed out at least once
    bool held = false;   // between AcquireNextFrame and ReleaseFrame
    LONGLONG freq = 1;
    LONGLONG grab_cost = 0;  // counter ticks of the slowest recent grab

    ~standin_dup() {
        if (mem) {
            if (old_bitmap) SelectObject(mem, old_bitmap);
            DeleteDC(mem);
        }
        if (dib) DeleteObject(dib);
        if (screen) ReleaseDC(nullptr, screen);
        if (resource) resource->Release();
        if (upload) upload->Release();
        if (texture) texture->Release();
        if (context) context->Release();
        if (device) device->Release();
    }

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (!out) return E_POINTER;
        if (iid == __uuidof(IUnknown) || iid == __uuidof(IDXGIObject) || iid == __uuidof(IDXGIOutputDuplication)) {
            *out = static_cast<IDXGIOutputDuplication*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return (ULONG)InterlockedIncrement(&refs); }
    ULONG STDMETHODCALLTYPE Release() override {
        LONG n = InterlockedDecrement(&refs);
        if (n == 0) delete this;
        return (ULONG)n;
    }

    // IDXGIObject: no private data is kept.
    HRESULT STDMETHODCALLTYPE SetPrivateData(REFGUID, UINT, const void*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetPrivateDataInterface(REFGUID, const IUnknown*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetPrivateData(REFGUID, UINT*, void*) override { return DXGI_ERROR_NOT_FOUND; }
    HRESULT STDMETHODCALLTYPE GetParent(REFIID, void** parent) override {
        if (parent) *parent = nullptr;
        return E_NOINTERFACE;
    }

    void STDMETHODCALLTYPE GetDesc(DXGI_OUTDUPL_DESC* desc) override {
        if (!desc) return;
        memset(desc, 0, sizeof *desc);
        desc->ModeDesc.Width = (UINT)width;
        desc->ModeDesc.Height = (UINT)height;
        desc->ModeDesc.RefreshRate.Numerator = 60;
        desc->ModeDesc.RefreshRate.Denominator = 1;
        desc->ModeDesc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
        desc->Rotation = DXGI_MODE_ROTATION_IDENTITY;
        desc->DesktopImageInSystemMemory = FALSE;
    }

    // One BitBlt of the output into the DIB, then the hash that also makes it opaque.
    uint64_t grab() {
        LARGE_INTEGER t0, t1;
        QueryPerformanceCounter(&t0);
        BitBlt(mem, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY | CAPTUREBLT);
        GdiFlush();
        uint64_t h = dup_standin_hash_opaque(bits, (size_t)width * (size_t)height * 4);
        QueryPerformanceCounter(&t1);
        LONGLONG cost = t1.QuadPart - t0.QuadPart;
        // Remember the slow grabs so the deadline check stays on the safe side.
        grab_cost = cost > grab_cost ? cost : (grab_cost * 7 + cost) / 8;
        return h;
    }

    // Moves the DIB into the texture handed out. Writing a mapped dynamic texture is far
    // cheaper than UpdateSubresource on some drivers (Wine's by a factor of ten). When the
    // dynamic texture cannot be mapped the failure is returned: it is the one handed out,
    // and writing the other texture would pass its old pixels off as a new frame.
    HRESULT publish() {
        D3D11_MAPPED_SUBRESOURCE m{};
        if (upload) {
            HRESULT hr = dup_standin_map(context, upload, &m);
            if (FAILED(hr)) {
                log_warn("dxgi: GDI duplication cannot map its frame hr=0x%08lx", (unsigned long)hr);
                return hr;
            }
            size_t row = (size_t)width * 4;
            if (m.RowPitch == row) {
                memcpy(m.pData, bits, row * (size_t)height);
            } else {
                for (int y = 0; y < height; y++)
                    memcpy((uint8_t*)m.pData + (size_t)y * m.RowPitch, bits + (size_t)y * row, row);
            }
            context->Unmap(upload, 0);
            return S_OK;
        }
        context->UpdateSubresource(texture, 0, nullptr, bits, (UINT)width * 4, (UINT)width * 4 * (UINT)height);
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE AcquireNextFrame(UINT timeout_ms, DXGI_OUTDUPL_FRAME_INFO* info,
                                               IDXGIResource** out) override {
        if (!info || !out) return E_INVALIDARG;
        if (held) return DXGI_ERROR_INVALID_CALL;
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        LONGLONG deadline =
            timeout_ms == INFINITE ? 0x7FFFFFFFFFFFFFFFLL : now.QuadPart + (LONGLONG)timeout_ms * freq / 1000;
        for (;;) {
            uint64_t h = grab();
            if (!given || h != last_hash) {
                // Nothing is remembered, so the next acquire tries this image again.
                HRESULT hr = publish();
                if (FAILED(hr)) {
                    memset(info, 0, sizeof *info);
                    *out = nullptr;
                    return hr;
                }
                LARGE_INTEGER stamp;
                QueryPerformanceCounter(&stamp);
                memset(info, 0, sizeof *info);
                info->LastPresentTime = stamp;
                info->AccumulatedFrames = 1;
                last_hash = h;
                given = true;
                held = true;
                resource->AddRef();
                *out = resource;
                return S_OK;
            }
            QueryPerformanceCounter(&now);
            // Another grab must also end before the deadline; a spare millisecond covers Sleep's slack.
            LONGLONG margin = grab_cost + freq / 1000;
            if (now.QuadPart + margin >= deadline) break;
            DWORD left = dup_standin_remaining(now.QuadPart + margin, deadline, freq);
            Sleep(left < 15 ? left : 15);
        }
        memset(info, 0, sizeof *info);
        *out = nullptr;
        return DXGI_ERROR_WAIT_TIMEOUT;
    }

    HRESULT STDMETHODCALLTYPE GetFrameDirtyRects(UINT size, RECT* rects, UINT* required) override {
        if (!required) return E_INVALIDARG;
        if (!held) return DXGI_ERROR_INVALID_CALL;
        *required = sizeof(RECT);
        if (size < sizeof(RECT) || !rects) return DXGI_ERROR_MORE_DATA;
        rects[0] = RECT{0, 0, width, height};
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetFrameMoveRects(UINT, DXGI_OUTDUPL_MOVE_RECT*, UINT* required) override {
        if (!required) return E_INVALIDARG;
        *required = 0;
        return held ? S_OK : DXGI_ERROR_INVALID_CALL;
    }
    HRESULT STDMETHODCALLTYPE GetFramePointerShape(UINT, void*, UINT* required,
                                                   DXGI_OUTDUPL_POINTER_SHAPE_INFO* shape) override {
        if (!required) return E_INVALIDARG;
        *required = 0;
        if (shape) memset(shape, 0, sizeof *shape);
        return held ? S_OK : DXGI_ERROR_INVALID_CALL;
    }
    HRESULT STDMETHODCALLTYPE MapDesktopSurface(DXGI_MAPPED_RECT*) override { return DXGI_ERROR_UNSUPPORTED; }
    HRESULT STDMETHODCALLTYPE UnMapDesktopSurface() override { return DXGI_ERROR_INVALID_CALL; }
    HRESULT STDMETHODCALLTYPE ReleaseFrame() override {
        if (!held) return DXGI_ERROR_INVALID_CALL;
        held = false;
        return S_OK;
    }
};

}  // namespace

void dup_standin_fail_writes(int count, HRESULT hr) {
    InterlockedExchange(&g_fail_hr, (LONG)hr);
    InterlockedExchange(&g_fail_writes, count > 0 ? count : 0);
}

HRESULT dup_standin_create(ID3D11Device* device, const RECT* rect, IDXGIOutputDuplication** out) {
    if (!device || !rect || !out) return E_INVALIDARG;
    int w = rect->right - rect->left, h = rect->bottom - rect->top;
    if (w <= 0 || h <= 0) return E_INVALIDARG;
    standin_dup* d = new (std::nothrow) standin_dup();
    if (!d) return E_OUTOFMEMORY;
    HRESULT hr = E_FAIL;
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    d->freq = f.QuadPart > 0 ? f.QuadPart : 1;
    d->rect = *rect;
    d->width = w;
    d->height = h;
    d->device = device;
    device->AddRef();
    device->GetImmediateContext(&d->context);

    D3D11_TEXTURE2D_DESC td;
    texture_desc_2d(&td, (UINT)w, (UINT)h, DXGI_FORMAT_B8G8R8A8_UNORM, D3D11_USAGE_DEFAULT, 0, 0);
    hr = device->CreateTexture2D(&td, nullptr, &d->texture);
    if (FAILED(hr)) goto fail;
    td.Usage = D3D11_USAGE_DYNAMIC;
    td.BindFlags = D3D11_BIND_SHADER_RESOURCE;
    td.CPUAccessFlags = D3D11_CPU_ACCESS_WRITE;
    if (FAILED(device->CreateTexture2D(&td, nullptr, &d->upload))) d->upload = nullptr;
    // The frame handed out is the dynamic texture when there is one: the caller copies it
    // away before the next acquire, and WRITE_DISCARD never touches a copy in flight.
    hr = (d->upload ? d->upload : d->texture)->QueryInterface(__uuidof(IDXGIResource), (void**)&d->resource);
    if (FAILED(hr)) goto fail;

    {
        BITMAPINFO bi;
        dib_info_top_down(&bi, w, h);
        hr = E_FAIL;
        d->screen = GetDC(nullptr);
        if (!d->screen) goto fail;
        d->mem = CreateCompatibleDC(d->screen);
        if (!d->mem) goto fail;
        void* bits = nullptr;
        d->dib = CreateDIBSection(d->screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
        if (!d->dib || !bits) goto fail;
        d->bits = (uint8_t*)bits;
        d->old_bitmap = SelectObject(d->mem, d->dib);
    }
    *out = d;
    return S_OK;

fail:
    log_warn("dxgi: GDI duplication for %ld,%ld %dx%d failed hr=0x%08lx", rect->left, rect->top, w, h,
             (unsigned long)hr);
    d->Release();
    return hr;
}
