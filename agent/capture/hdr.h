#pragma once
// Conversion of 16-bit float (scRGB) desktop frames to sRGB BGRA8 on the GPU,
// with a shader pair compiled at run time when d3dcompiler_47.dll is present.
#include "agent/capture/display_types.h"

// Compiles and creates the converter once per cache; later calls return the first answer.
bool hdr_setup(display_cache* cache);
// Refreshes the output's SDR white level (at most every 3 s).
void hdr_refresh_white(display_output* out);
// Converts the float frame src into the output's cached frame (already sized). False (logged)
// when the conversion failed; the cached frame is then released.
bool hdr_convert(display_cache* cache, display_output* out, ID3D11Texture2D* src);

// ---- Pure helpers (no system calls).

// The sRGB transfer curve of one linear channel already clamped to 0..1.
float hdr_srgb_encode(float v);
// The shader's output byte for one scRGB channel at an SDR white level (units of 80 nits).
uint8_t hdr_channel_byte(float scrgb, float white_level);
