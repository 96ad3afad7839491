#include "agent/capture/hdr.h"
#include "agent/capture/texture.h"
#include "common/log.h"
#include <d3dcompiler.h>
#include <cmath>
#include <cstring>

// Written without user functions or the ternary operator, which some run-time
// compilers (Wine's) do not accept.
static const char hdr_shader_source[] = "cbuffer params : register(b0) { float inv_white; float3 pad; };\n"
                                        "Texture2D<float4> source : register(t0);\n"
                                        "float4 vs(uint id : SV_VertexID) : SV_Position {\n"
                                        "    float2 uv = float2((id << 1) & 2, id & 2);\n"
                                        "    return float4(uv * float2(2, -2) + float2(-1, 1), 0, 1);\n"
                                        "}\n"
                                        "float4 ps(float4 pos : SV_Position) : SV_Target {\n"
                                        "    float3 v = saturate(source.Load(int3(pos.xy, 0)).rgb * inv_white);\n"
                                        "    float3 lo = 12.92 * v;\n"
                                        "    float3 hi = 1.055 * pow(v, 1.0 / 2.4) - 0.055;\n"
                                        "    float3 above = saturate((v - 0.0031308) * 1e30);\n"
                                        "    return float4(lo + (hi - lo) * above, 1);\n"
                                        "}\n";

float hdr_srgb_encode(float v) { return v <= 0.0031308f ? 12.92f * v : 1.055f * powf(v, 1.0f / 2.4f) - 0.055f; }

uint8_t hdr_channel_byte(float scrgb, float white_level) {
    float v = white_level > 0 ? scrgb / white_level : scrgb;
    if (!(v > 0)) v = 0;
    if (v > 1) v = 1;
    float e = hdr_srgb_encode(v) * 255.0f + 0.5f;
    return (uint8_t)(e >= 255 ? 255 : e);
}

static pD3DCompile hdr_compiler() {
    static HMODULE module;
    static pD3DCompile fn;
    static bool tried;
    if (!tried) {
        tried = true;
        module = LoadLibraryExW(L"d3dcompiler_47.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        if (module) fn = (pD3DCompile)(void*)GetProcAddress(module, "D3DCompile");
    }
    return fn;
}

static ID3DBlob* hdr_compile(pD3DCompile compile, const char* entry, const char* target) {
    ID3DBlob* code = nullptr;
    ID3DBlob* errors = nullptr;
    HRESULT hr = compile(hdr_shader_source, sizeof hdr_shader_source - 1, "ivra_hdr", nullptr, nullptr, entry, target,
                         D3DCOMPILE_OPTIMIZATION_LEVEL3, 0, &code, &errors);
    if (FAILED(hr)) {
        // The compiler's message spans lines; the log keeps one line per event.
        char text[512] = "";
        if (errors) {
            size_t n = errors->GetBufferSize();
            if (n > sizeof text - 1) n = sizeof text - 1;
            memcpy(text, errors->GetBufferPointer(), n);
            text[n] = 0;
            for (char* p = text; *p; p++)
                if (*p == '\n' || *p == '\r') *p = ' ';
        }
        log_warn("hdr: compiling %s failed hr=0x%08lx %s", entry, (unsigned long)hr, text);
        if (code) code->Release();
        code = nullptr;
    }
    if (errors) errors->Release();
    return code;
}

bool hdr_setup(display_cache* cache) {
    if (cache->hdr_tried) return cache->hdr_available != 0;
    cache->hdr_tried = 1;
    bool ok = false;
    ID3DBlob* vs = nullptr;
    ID3DBlob* ps = nullptr;
    pD3DCompile compile = hdr_compiler();
    if (!compile) {
        log_warn("hdr: d3dcompiler_47 unavailable");
        goto done;
    }
    vs = hdr_compile(compile, "vs", "vs_4_0");
    if (!vs) goto done;
    ps = hdr_compile(compile, "ps", "ps_4_0");
    if (!ps) goto done;
    if (FAILED(cache->device->CreateVertexShader(vs->GetBufferPointer(), vs->GetBufferSize(), nullptr, &cache->hdr_vs)))
        goto done;
    if (FAILED(cache->device->CreatePixelShader(ps->GetBufferPointer(), ps->GetBufferSize(), nullptr, &cache->hdr_ps)))
        goto done;
    {
        D3D11_BUFFER_DESC bd{};
        bd.ByteWidth = 16;
        bd.Usage = D3D11_USAGE_DEFAULT;
        bd.BindFlags = D3D11_BIND_CONSTANT_BUFFER;
        if (FAILED(cache->device->CreateBuffer(&bd, nullptr, &cache->hdr_cb))) goto done;
    }
    ok = true;
done:
    if (ps) ps->Release();
    if (vs) vs->Release();
    if (!ok) {
        if (cache->hdr_cb) {
            cache->hdr_cb->Release();
            cache->hdr_cb = nullptr;
        }
        if (cache->hdr_ps) {
            cache->hdr_ps->Release();
            cache->hdr_ps = nullptr;
        }
        if (cache->hdr_vs) {
            cache->hdr_vs->Release();
            cache->hdr_vs = nullptr;
        }
        log_warn("hdr: converter unavailable; HDR monitors use Windows' conversion");
    }
    cache->hdr_available = ok ? 1 : 0;
    return ok;
}

// Level in units of 80 nits for the monitor's GDI device, 0 when Windows does not say.
static float hdr_query_white(HMONITOR monitor) {
    MONITORINFOEXW mi{};
    mi.cbSize = sizeof mi;
    if (!GetMonitorInfoW(monitor, &mi)) return 0;
    UINT32 npaths = 0, nmodes = 0;
    if (GetDisplayConfigBufferSizes(QDC_ONLY_ACTIVE_PATHS, &npaths, &nmodes) != ERROR_SUCCESS || npaths == 0) return 0;
    if (npaths > 64) npaths = 64;
    if (nmodes > 128) nmodes = 128;
    DISPLAYCONFIG_PATH_INFO paths[64];
    DISPLAYCONFIG_MODE_INFO modes[128];
    if (QueryDisplayConfig(QDC_ONLY_ACTIVE_PATHS, &npaths, paths, &nmodes, modes, nullptr) != ERROR_SUCCESS) return 0;
    for (UINT32 i = 0; i < npaths; i++) {
        DISPLAYCONFIG_SOURCE_DEVICE_NAME src{};
        src.header.type = DISPLAYCONFIG_DEVICE_INFO_GET_SOURCE_NAME;
        src.header.size = sizeof src;
        src.header.adapterId = paths[i].sourceInfo.adapterId;
        src.header.id = paths[i].sourceInfo.id;
        if (DisplayConfigGetDeviceInfo(&src.header) != ERROR_SUCCESS || wcscmp(src.viewGdiDeviceName, mi.szDevice))
            continue;
        DISPLAYCONFIG_SDR_WHITE_LEVEL white{};
        white.header.type = DISPLAYCONFIG_DEVICE_INFO_GET_SDR_WHITE_LEVEL;
        white.header.size = sizeof white;
        white.header.adapterId = paths[i].targetInfo.adapterId;
        white.header.id = paths[i].targetInfo.id;
        if (DisplayConfigGetDeviceInfo(&white.header) == ERROR_SUCCESS && white.SDRWhiteLevel)
            return (float)white.SDRWhiteLevel / 1000.0f;
    }
    return 0;
}

void hdr_refresh_white(display_output* out) {
    DWORD now = GetTickCount();
    if (out->sdr_white > 0 && now - out->sdr_white_tick <= 3000) return;
    float level = hdr_query_white(out->monitor);
    if (level > 0) {
        if (level != out->sdr_white) log_info("hdr: monitor %p SDR white %.0f nits", (void*)out->monitor, 80.0 * level);
        out->sdr_white = level;
    } else if (out->sdr_white <= 0) {
        log_info("hdr: monitor %p SDR white level unknown, using 1.0", (void*)out->monitor);
        out->sdr_white = 1.0f;
    }
    out->sdr_white_tick = now;
}

static void hdr_drop_frame(display_output* out) {
    if (out->frame) {
        out->frame->Release();
        out->frame = nullptr;
    }
    out->frame_w = out->frame_h = 0;
    log_warn("hdr: converting monitor %p frame failed", (void*)out->monitor);
}

bool hdr_convert(display_cache* cache, display_output* out, ID3D11Texture2D* src) {
    D3D11_TEXTURE2D_DESC sd;
    src->GetDesc(&sd);
    hdr_refresh_white(out);
    if (!out->hdr_tex || out->hdr_w != (int)sd.Width || out->hdr_h != (int)sd.Height) {
        if (out->hdr_tex) {
            out->hdr_tex->Release();
            out->hdr_tex = nullptr;
        }
        D3D11_TEXTURE2D_DESC td;
        texture_desc_2d(&td, sd.Width, sd.Height, DXGI_FORMAT_R16G16B16A16_FLOAT, D3D11_USAGE_DEFAULT,
                        D3D11_BIND_SHADER_RESOURCE, 0);
        if (FAILED(cache->device->CreateTexture2D(&td, nullptr, &out->hdr_tex))) {
            out->hdr_tex = nullptr;
            out->hdr_w = out->hdr_h = 0;
            hdr_drop_frame(out);
            return false;
        }
        out->hdr_w = (int)sd.Width;
        out->hdr_h = (int)sd.Height;
    }
    ID3D11DeviceContext* ctx = cache->context;
    ctx->CopyResource(out->hdr_tex, src);

    ID3D11ShaderResourceView* srv = nullptr;
    ID3D11RenderTargetView* rtv = nullptr;
    if (FAILED(cache->device->CreateShaderResourceView(out->hdr_tex, nullptr, &srv)) ||
        FAILED(cache->device->CreateRenderTargetView(out->frame, nullptr, &rtv))) {
        if (srv) srv->Release();
        hdr_drop_frame(out);
        return false;
    }
    float params[4] = {1.0f / out->sdr_white, 0, 0, 0};
    ctx->UpdateSubresource(cache->hdr_cb, 0, nullptr, params, 0, 0);
    D3D11_VIEWPORT vp{};
    vp.Width = (float)sd.Width;
    vp.Height = (float)sd.Height;
    vp.MaxDepth = 1.0f;
    ctx->RSSetViewports(1, &vp);
    ctx->IASetInputLayout(nullptr);
    ctx->IASetPrimitiveTopology(D3D11_PRIMITIVE_TOPOLOGY_TRIANGLELIST);
    ctx->VSSetShader(cache->hdr_vs, nullptr, 0);
    ctx->PSSetShader(cache->hdr_ps, nullptr, 0);
    ctx->PSSetConstantBuffers(0, 1, &cache->hdr_cb);
    ctx->PSSetShaderResources(0, 1, &srv);
    ctx->RSSetState(nullptr);
    ctx->OMSetBlendState(nullptr, nullptr, 0xFFFFFFFF);
    ctx->OMSetRenderTargets(1, &rtv, nullptr);
    ctx->Draw(3, 0);
    ID3D11ShaderResourceView* no_srv = nullptr;
    ctx->PSSetShaderResources(0, 1, &no_srv);
    ctx->OMSetRenderTargets(0, nullptr, nullptr);
    rtv->Release();
    srv->Release();
    return true;
}
