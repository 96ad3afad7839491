#include "agent/capture/texture.h"

void texture_desc_2d(D3D11_TEXTURE2D_DESC* td, UINT width, UINT height, DXGI_FORMAT format, D3D11_USAGE usage,
                     UINT bind_flags, UINT cpu_access) {
    *td = D3D11_TEXTURE2D_DESC{};
    td->Width = width;
    td->Height = height;
    td->MipLevels = 1;
    td->ArraySize = 1;
    td->Format = format;
    td->SampleDesc.Count = 1;
    td->Usage = usage;
    td->BindFlags = bind_flags;
    td->CPUAccessFlags = cpu_access;
}
