#include "agent/capture/display_cache.h"
#include "agent/capture/texture.h"
#include "agent/capture/dup_standin.h"
#include "agent/capture/hdr.h"
#include "common/log.h"
#include <d3d10.h>
#include <dxgi1_5.h>
#include <shellscalingapi.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

static SRWLOCK g_text_lock = SRWLOCK_INIT;
static wchar_t g_text[DISPLAY_TEXT_CAP];
static int g_text_count;
static volatile LONG g_standin_logged;

template <class T>
static void display_release(T*& p) {
    if (p) {
        p->Release();
        p = nullptr;
    }
}

bool display_hr_is_lost(HRESULT hr) {
    return hr == DXGI_ERROR_DEVICE_REMOVED || hr == DXGI_ERROR_DEVICE_RESET || hr == DXGI_ERROR_ACCESS_LOST ||
           hr == DXGI_ERROR_SESSION_DISCONNECTED;
}

double display_cache_ms(const display_cache* cache, LONGLONG from, LONGLONG to) {
    if (!cache || cache->freq.QuadPart <= 0) return 0;
    return (double)(to - from) * 1000.0 / (double)cache->freq.QuadPart;
}

// ---- Pure helpers

void display_sample_point(int k, int width, int height, int* x, int* y) {
    *x = (k + 1) * width / 64;
    *y = height * ((k & 14) | 1) / 16;
}

int display_format_entry(wchar_t* out, size_t cap, int index, const RECT* rect, int primary, unsigned dpi,
                         const wchar_t* device) {
    if (!out || cap == 0) return 0;
    // Formatted whole first: swprintf's answer on truncation differs between runtimes.
    wchar_t full[512];
    int n = swprintf(full, 512, L"m%d=%ld,%ld,%ld,%ld,%d,%u,%.260ls", index, rect->left, rect->top,
                     rect->right - rect->left, rect->bottom - rect->top, primary, dpi, device ? device : L"");
    size_t len = n < 0 ? 0 : wcsnlen(full, 511);
    if (len > cap - 1) len = cap - 1;
    wmemcpy(out, full, len);
    out[len] = 0;
    return (int)len;
}

bool display_text_append(wchar_t* text, size_t cap, size_t* len, const wchar_t* entry) {
    size_t n = wcslen(entry);
    size_t sep = *len > 0 ? 1 : 0;
    if (*len + sep + n + 1 > cap) return false;
    if (sep) text[(*len)++] = L'\t';
    wmemcpy(text + *len, entry, n);
    *len += n;
    text[*len] = 0;
    return true;
}

bool display_monitors_match(const HMONITOR* monitors, const RECT* rects, int monitor_count,
                            const display_output* outputs, int output_count) {
    for (int i = 0; i < monitor_count; i++) {
        bool found = false;
        for (int j = 0; j < output_count && !found; j++)
            found = outputs[j].monitor == monitors[i] && EqualRect(&outputs[j].rect, &rects[i]);
        if (!found) return false;
    }
    return true;
}

// ---- Build and destroy

void display_cache_destroy(display_cache* c) {
    if (!c) return;
    for (int i = 0; i < c->output_count; i++) {
        display_output* o = &c->outputs[i];
        display_release(o->dup);
        display_release(o->frame);
        display_release(o->hdr_tex);
    }
    display_release(c->staging);
    display_release(c->hdr_cb);
    display_release(c->hdr_ps);
    display_release(c->hdr_vs);
    for (int i = 0; i < c->adapter_count; i++) display_release(c->adapters[i]);
    display_release(c->factory);
    if (c->context) {
        c->context->ClearState();
        display_release(c->context);
    }
    display_release(c->device);
    free(c);
}

display_cache* display_cache_build() {
    display_cache* c = (display_cache*)calloc(1, sizeof(display_cache));
    if (!c) return nullptr;
    c->generation = 1;
    IDXGIDevice* dxgi_device = nullptr;
    IDXGIAdapter1* own = nullptr;
    ID3D10Multithread* mt = nullptr;
    DXGI_ADAPTER_DESC1 own_desc{};

    const UINT bgra = D3D11_CREATE_DEVICE_BGRA_SUPPORT;
    HRESULT hr = D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, bgra | D3D11_CREATE_DEVICE_VIDEO_SUPPORT,
                                   nullptr, 0, D3D11_SDK_VERSION, &c->device, nullptr, &c->context);
    if (SUCCEEDED(hr)) {
        c->video_capable = 1;
    } else {
        log_warn("D3D11 hardware device with video support failed hr=0x%08lx", (unsigned long)hr);
        hr = D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, bgra, nullptr, 0, D3D11_SDK_VERSION,
                               &c->device, nullptr, &c->context);
        if (FAILED(hr))
            hr = D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_WARP, nullptr, bgra, nullptr, 0, D3D11_SDK_VERSION,
                                   &c->device, nullptr, &c->context);
        if (FAILED(hr)) {
            log_error("D3D11CreateDevice failed hr=0x%08lx", (unsigned long)hr);
            goto fail;
        }
    }
    // Clip encoders use textures of this device from pool threads.
    if (SUCCEEDED(c->device->QueryInterface(__uuidof(ID3D10Multithread), (void**)&mt))) {
        mt->SetMultithreadProtected(TRUE);
        mt->Release();
    }
    if (FAILED(c->device->QueryInterface(__uuidof(IDXGIDevice), (void**)&dxgi_device))) {
        log_error("no IDXGIDevice");
        goto fail;
    }
    {
        IDXGIAdapter* plain = nullptr;
        hr = dxgi_device->GetAdapter(&plain);
        if (SUCCEEDED(hr)) {
            hr = plain->QueryInterface(__uuidof(IDXGIAdapter1), (void**)&own);
            plain->Release();
        }
        if (FAILED(hr) || !own) {
            log_error("no IDXGIAdapter1");
            goto fail;
        }
    }
    if (FAILED(own->GetParent(__uuidof(IDXGIFactory1), (void**)&c->factory))) {
        log_error("no IDXGIFactory1");
        goto fail;
    }
    own->GetDesc1(&own_desc);
    c->adapters[c->adapter_count++] = own;
    own = nullptr;
    for (UINT i = 0; c->adapter_count < DISPLAY_MAX_ADAPTERS; i++) {
        IDXGIAdapter1* a = nullptr;
        if (FAILED(c->factory->EnumAdapters1(i, &a))) break;
        DXGI_ADAPTER_DESC1 d{};
        a->GetDesc1(&d);
        if (d.AdapterLuid.LowPart == own_desc.AdapterLuid.LowPart &&
            d.AdapterLuid.HighPart == own_desc.AdapterLuid.HighPart) {
            a->Release();
            continue;
        }
        c->adapters[c->adapter_count++] = a;
    }
    for (int a = 0; a < c->adapter_count && c->output_count < DISPLAY_MAX_OUTPUTS; a++) {
        for (UINT i = 0; c->output_count < DISPLAY_MAX_OUTPUTS; i++) {
            IDXGIOutput* o = nullptr;
            if (FAILED(c->adapters[a]->EnumOutputs(i, &o))) break;
            DXGI_OUTPUT_DESC d{};
            if (SUCCEEDED(o->GetDesc(&d)) && d.AttachedToDesktop && d.Monitor) {
                display_output* out = &c->outputs[c->output_count++];
                out->monitor = d.Monitor;
                out->rect = d.DesktopCoordinates;
            }
            o->Release();
        }
    }
    QueryPerformanceFrequency(&c->freq);
    dxgi_device->Release();
    log_info("capturer: %d outputs", c->output_count);
    return c;

fail:
    if (own) own->Release();
    if (dxgi_device) dxgi_device->Release();
    display_cache_destroy(c);
    return nullptr;
}

// ---- Validate

struct display_enum {
    HMONITOR monitors[16];
    RECT rects[16];
    int count;  // every monitor, even past the array
    int stored;
};

static BOOL CALLBACK display_enum_proc(HMONITOR m, HDC, LPRECT, LPARAM param) {
    display_enum* e = (display_enum*)param;
    MONITORINFO mi{};
    mi.cbSize = sizeof mi;
    if (e->stored < 16 && GetMonitorInfoW(m, &mi)) {
        e->monitors[e->stored] = m;
        e->rects[e->stored] = mi.rcMonitor;
        e->stored++;
    }
    e->count++;
    return TRUE;
}

bool display_cache_validate(display_cache* cache) {
    if (!cache) return false;
    display_enum e{};
    EnumDisplayMonitors(nullptr, nullptr, display_enum_proc, (LPARAM)&e);
    bool matches = e.count == e.stored &&
                   display_monitors_match(e.monitors, e.rects, e.stored, cache->outputs, cache->output_count);
    if (matches && !cache->lost && e.count == cache->output_count && cache->factory && cache->factory->IsCurrent() &&
        cache->device && cache->device->GetDeviceRemovedReason() == S_OK)
        return true;

    cache->lost = 1;
    log_info("capture: rebuilding device and display cache after display/access change");
    display_cache* fresh = display_cache_build();
    if (!fresh || fresh->output_count == 0) {
        display_cache_destroy(fresh);
        return false;
    }
    uint32_t generation = cache->generation + 1;
    display_cache old = *cache;
    *cache = *fresh;
    *fresh = old;
    display_cache_destroy(fresh);
    cache->generation = generation;
    log_info("capture: display cache refreshed (%d outputs, generation %u)", cache->output_count, generation);
    return true;
}

// ---- Duplication

bool display_cache_staging(display_cache* cache, int w, int h) {
    if (cache->staging && cache->staging_w >= w && cache->staging_h >= h) return true;
    display_release(cache->staging);
    cache->staging_w = cache->staging_h = 0;
    D3D11_TEXTURE2D_DESC td;
    texture_desc_2d(&td, (UINT)w, (UINT)h, DXGI_FORMAT_B8G8R8A8_UNORM, D3D11_USAGE_STAGING, 0, D3D11_CPU_ACCESS_READ);
    if (FAILED(cache->device->CreateTexture2D(&td, nullptr, &cache->staging))) {
        cache->staging = nullptr;
        if (cache->device->GetDeviceRemovedReason() != S_OK) cache->lost = 1;
        log_error("staging texture %dx%d failed", w, h);
        return false;
    }
    cache->staging_w = w;
    cache->staging_h = h;
    return true;
}

void display_copy_frame(display_cache* cache, display_output* out, ID3D11Texture2D* src) {
    D3D11_TEXTURE2D_DESC sd;
    src->GetDesc(&sd);
    bool hdr = sd.Format == DXGI_FORMAT_R16G16B16A16_FLOAT;
    if (sd.Format != DXGI_FORMAT_B8G8R8A8_UNORM && !(hdr && cache->hdr_available)) {
        static volatile LONG logged;
        if (InterlockedExchange(&logged, 1) == 0)
            log_warn("monitor %p frames arrive as format %d, not BGRA8; can't capture it", (void*)out->monitor,
                     (int)sd.Format);
        return;
    }
    if (!out->frame || out->frame_w != (int)sd.Width || out->frame_h != (int)sd.Height) {
        if (out->frame) {
            out->frame->Release();
            out->frame = nullptr;
        }
        out->frame_w = out->frame_h = 0;
        D3D11_TEXTURE2D_DESC td;
        texture_desc_2d(&td, sd.Width, sd.Height, DXGI_FORMAT_B8G8R8A8_UNORM, D3D11_USAGE_DEFAULT,
                        D3D11_BIND_RENDER_TARGET | D3D11_BIND_SHADER_RESOURCE, 0);
        if (FAILED(cache->device->CreateTexture2D(&td, nullptr, &out->frame))) {
            out->frame = nullptr;
            return;
        }
        out->frame_w = (int)sd.Width;
        out->frame_h = (int)sd.Height;
    }
    if (!hdr)
        cache->context->CopyResource(out->frame, src);
    else
        hdr_convert(cache, out, src);
}

bool display_copy_resource(display_cache* cache, display_output* out, IDXGIResource* res) {
    ID3D11Texture2D* tex = nullptr;
    if (FAILED(res->QueryInterface(__uuidof(ID3D11Texture2D), (void**)&tex))) return false;
    display_copy_frame(cache, out, tex);
    tex->Release();
    return true;
}

// Sum of blue, green and red over the 32 sample pixels, or -1 when they cannot be read.
// All samples go to one row of the staging texture so that a single Map reads them.
static long display_sample_sum(display_cache* cache, display_output* out) {
    if (!out->frame || out->frame_w <= 0 || out->frame_h <= 0) return -1;
    if (!display_cache_staging(cache, DISPLAY_SAMPLE_COUNT, 1)) return -1;
    ID3D11DeviceContext* ctx = cache->context;
    for (int k = 0; k < 2 * DISPLAY_SAMPLE_COUNT; k += 2) {
        int x, y;
        display_sample_point(k, out->frame_w, out->frame_h, &x, &y);
        D3D11_BOX box = {(UINT)x, (UINT)y, 0, (UINT)x + 1, (UINT)y + 1, 1};
        ctx->CopySubresourceRegion(cache->staging, 0, (UINT)(k / 2), 0, 0, out->frame, 0, &box);
    }
    D3D11_MAPPED_SUBRESOURCE m{};
    if (FAILED(ctx->Map(cache->staging, 0, D3D11_MAP_READ, 0, &m))) return -1;
    const uint8_t* p = (const uint8_t*)m.pData;
    long sum = 0;
    for (int i = 0; i < DISPLAY_SAMPLE_COUNT; i++) sum += p[i * 4] + p[i * 4 + 1] + p[i * 4 + 2];
    ctx->Unmap(cache->staging, 0);
    return sum;
}

static void display_prime(display_cache* cache, display_output* out) {
    for (int attempt = 0; attempt < 4; attempt++) {
        DXGI_OUTDUPL_FRAME_INFO info{};
        IDXGIResource* res = nullptr;
        HRESULT hr = out->dup->AcquireNextFrame(attempt == 0 ? 100 : 60, &info, &res);
        if (hr == DXGI_ERROR_WAIT_TIMEOUT) return;
        if (FAILED(hr)) {
            if (res) res->Release();
            if (display_hr_is_lost(hr)) cache->lost = 1;
            log_warn("dxgi primer acquire hr=0x%08lx", (unsigned long)hr);
            return;
        }
        if (!res) {
            out->dup->ReleaseFrame();
            return;
        }
        display_copy_resource(cache, out, res);
        res->Release();
        out->dup->ReleaseFrame();
        long sum = display_sample_sum(cache, out);
        if (sum < 0 || sum > 767) return;
        if (attempt == 3) return;
        log_info("dxgi: first frame black, retried %d", attempt + 1);
        Sleep(60);
    }
}

bool display_dup_create(display_cache* cache, int index) {
    if (!cache || index < 0 || index >= cache->output_count) return false;
    display_output* out = &cache->outputs[index];
    display_release(out->dup);
    display_release(out->frame);
    display_release(out->hdr_tex);
    out->frame_w = out->frame_h = out->hdr_w = out->hdr_h = 0;

    IDXGIOutput1* output1 = nullptr;
    bool found = false;
    for (int a = 0; a < cache->adapter_count && !found; a++) {
        for (UINT i = 0; !found; i++) {
            IDXGIOutput* o = nullptr;
            if (FAILED(cache->adapters[a]->EnumOutputs(i, &o))) break;
            DXGI_OUTPUT_DESC d{};
            if (SUCCEEDED(o->GetDesc(&d)) && d.Monitor == out->monitor) {
                found = true;
                if (FAILED(o->QueryInterface(__uuidof(IDXGIOutput1), (void**)&output1))) output1 = nullptr;
            }
            o->Release();
        }
    }
    if (!found) {
        cache->lost = 1;
        log_warn("dup_create: monitor %p is no longer in the display cache", (void*)out->monitor);
        return false;
    }
    if (!output1) return false;

    IDXGIOutputDuplication* dup = nullptr;
    const char* via = "DuplicateOutput";
    HRESULT hr;
    IDXGIOutput5* output5 = nullptr;
    if (SUCCEEDED(output1->QueryInterface(__uuidof(IDXGIOutput5), (void**)&output5)) && output5) {
        bool hdr = hdr_setup(cache);
        const DXGI_FORMAT both[2] = {DXGI_FORMAT_R16G16B16A16_FLOAT, DXGI_FORMAT_B8G8R8A8_UNORM};
        const DXGI_FORMAT sdr[1] = {DXGI_FORMAT_B8G8R8A8_UNORM};
        hr = output5->DuplicateOutput1(cache->device, 0, hdr ? 2 : 1, hdr ? both : sdr, &dup);
        output5->Release();
        via = "DuplicateOutput1";
        if (FAILED(hr)) {
            log_info("DuplicateOutput1 hr=0x%08lx, trying DuplicateOutput", (unsigned long)hr);
            dup = nullptr;
            if (!display_hr_is_lost(hr)) {
                via = "DuplicateOutput";
                hr = output1->DuplicateOutput(cache->device, &dup);
            }
        }
    } else {
        hr = output1->DuplicateOutput(cache->device, &dup);
    }
    output1->Release();

    if (FAILED(hr) && dup_standin_wanted(hr)) {
        if (InterlockedExchange(&g_standin_logged, 1) == 0)
            log_info("dxgi: desktop duplication unavailable hr=0x%08lx; frames come from GDI", (unsigned long)hr);
        dup = nullptr;
        hr = dup_standin_create(cache->device, &out->rect, &dup);
        out->grabs_on_demand = SUCCEEDED(hr);
    } else {
        out->grabs_on_demand = 0;
    }
    if (FAILED(hr) || !dup) {
        if (display_hr_is_lost(hr)) cache->lost = 1;
        log_error("DuplicateOutput failed hr=0x%08lx", (unsigned long)hr);
        return false;
    }
    out->dup = dup;
    dup->GetDesc(&out->desc);
    if (out->desc.ModeDesc.Format != DXGI_FORMAT_B8G8R8A8_UNORM)
        log_info("monitor %p is format %d (HDR); frames requested as BGRA8 (%s)", (void*)out->monitor,
                 (int)out->desc.ModeDesc.Format, via);
    if (out->desc.Rotation != DXGI_MODE_ROTATION_IDENTITY && out->desc.Rotation != DXGI_MODE_ROTATION_UNSPECIFIED)
        log_warn("monitor %p rotation %d not supported, capture may be wrong", (void*)out->monitor,
                 (int)out->desc.Rotation);
    display_prime(cache, out);
    return true;
}

void display_cache_warm_up(display_cache* cache) {
    if (!cache) return;
    for (int i = 0; i < cache->output_count; i++)
        if (!cache->outputs[i].dup && !display_dup_create(cache, i))
            log_warn("warmup: output %d duplication failed", i);
}

int display_cache_release_idle(display_cache* cache) {
    if (!cache) return 0;
    int n = 0;
    for (int i = 0; i < cache->output_count; i++) {
        if (cache->outputs[i].dup) {
            display_release(cache->outputs[i].dup);
            n++;
        }
    }
    if (n > 0) log_info("dxgi: released idle duplications (%d)", n);
    return n;
}

// ---- Monitor text

void display_cache_describe(const display_cache* cache) {
    wchar_t text[DISPLAY_TEXT_CAP];
    size_t len = 0;
    text[0] = 0;
    int count = 0;
    for (int i = 0; cache && i < cache->output_count; i++) {
        const display_output* o = &cache->outputs[i];
        HMONITOR m = MonitorFromRect(&o->rect, MONITOR_DEFAULTTONEAREST);
        MONITORINFOEXW mi{};
        mi.cbSize = sizeof mi;
        int primary = 0;
        if (GetMonitorInfoW(m, &mi)) primary = (mi.dwFlags & MONITORINFOF_PRIMARY) ? 1 : 0;
        UINT dx = 96, dy = 96;
        if (FAILED(GetDpiForMonitor(m, MDT_EFFECTIVE_DPI, &dx, &dy))) dx = 96;
        wchar_t entry[320];
        display_format_entry(entry, 320, i, &o->rect, primary, dx, mi.szDevice);
        if (display_text_append(text, DISPLAY_TEXT_CAP, &len, entry)) count++;
    }
    AcquireSRWLockExclusive(&g_text_lock);
    wmemcpy(g_text, text, len + 1);
    g_text_count = count;
    ReleaseSRWLockExclusive(&g_text_lock);
}

int display_monitor_text(wchar_t* out, size_t cap) {
    AcquireSRWLockShared(&g_text_lock);
    int count = g_text_count;
    if (out && cap > 0) {
        size_t n = wcslen(g_text);
        if (n > cap - 1) n = cap - 1;
        wmemcpy(out, g_text, n);
        out[n] = 0;
    }
    ReleaseSRWLockShared(&g_text_lock);
    return count;
}

// ---- Accessors

int display_cache_output_count(const display_cache* cache) { return cache ? cache->output_count : 0; }

uint32_t display_cache_generation(const display_cache* cache) { return cache ? cache->generation : 0; }

bool display_cache_output_rect(const display_cache* cache, int index, RECT* out) {
    if (!cache || index < 0 || index >= cache->output_count) return false;
    *out = cache->outputs[index].rect;
    return true;
}

int display_cache_output_index(const display_cache* cache, HMONITOR monitor) {
    for (int i = 0; cache && i < cache->output_count; i++)
        if (cache->outputs[i].monitor == monitor) return i;
    return -1;
}

ID3D11Device* display_cache_video_device(const display_cache* cache) {
    return cache && cache->video_capable && !cache->lost ? cache->device : nullptr;
}

bool display_cache_any_duplication(const display_cache* cache) {
    for (int i = 0; cache && i < cache->output_count; i++)
        if (cache->outputs[i].dup) return true;
    return false;
}

void display_cache_set_continuous(display_cache* cache, int on) {
    if (cache) cache->continuous = on ? 1 : 0;
}
