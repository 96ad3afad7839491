// Direct3D 11 texture descriptions shared by the duplication, its stand-in and HDR paths.
#pragma once

#include "common/win.h"
#include <d3d11.h>

// Fills *td for a single 2D texture (one mip level, one array slice, no multisampling)
// of width x height in format; no system call.
void texture_desc_2d(D3D11_TEXTURE2D_DESC* td, UINT width, UINT height, DXGI_FORMAT format, D3D11_USAGE usage,
                     UINT bind_flags, UINT cpu_access);
