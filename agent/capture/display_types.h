#pragma once
// The records of the capture thread's display cache, apart from its functions so the
// HDR converter below the cache can work on them.
#include "common/win.h"
#include <d3d11.h>
#include <dxgi1_2.h>
#include <cstdint>

enum {
    DISPLAY_MAX_ADAPTERS = 8,
    DISPLAY_MAX_OUTPUTS = 8,
    DISPLAY_TEXT_CAP = 4096,    // monitor text capacity in characters, terminator included
    DISPLAY_SAMPLE_COUNT = 32,  // pixels sampled by the black-first-frame check
};

struct display_output {
    HMONITOR monitor;
    RECT rect;                    // virtual-desktop coordinates
    IDXGIOutputDuplication* dup;  // none while released
    ID3D11Texture2D* frame;       // BGRA8 last frame taken from the duplication
    int frame_w, frame_h;
    DXGI_OUTDUPL_DESC desc;    // as reported by the duplication
    ID3D11Texture2D* hdr_tex;  // 16-bit float intermediate of an HDR output
    int hdr_w, hdr_h;
    float sdr_white;  // units of 80 nits; 0 until first queried
    DWORD sdr_white_tick;
    int grabs_on_demand;  // the GDI duplication: every acquire reads the screen itself
};

struct display_cache {
    ID3D11Device* device;
    ID3D11DeviceContext* context;
    IDXGIFactory1* factory;
    IDXGIAdapter1* adapters[DISPLAY_MAX_ADAPTERS];
    int adapter_count;
    display_output outputs[DISPLAY_MAX_OUTPUTS];
    int output_count;
    ID3D11Texture2D* staging;
    int staging_w, staging_h;
    LARGE_INTEGER freq;
    double t_acquire, t_copy, t_map;  // milliseconds of the current capture
    int lost;
    uint32_t generation;
    int video_capable;
    int continuous;
    ID3D11VertexShader* hdr_vs;
    ID3D11PixelShader* hdr_ps;
    ID3D11Buffer* hdr_cb;
    int hdr_tried;
    int hdr_available;
};
