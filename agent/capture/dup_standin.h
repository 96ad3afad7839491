#pragma once
// A desktop duplication of our own for systems that refuse DuplicateOutput
// (Wine, some remote sessions): frames come from the screen DC through GDI and
// land in a BGRA texture, so the rest of the capture path runs unchanged.
#include "common/win.h"
#include <d3d11.h>
#include <dxgi1_2.h>
#include <cstddef>
#include <cstdint>

// True for the DuplicateOutput results that mean "not offered here".
bool dup_standin_wanted(HRESULT hr);
// Creates a stand-in for the output at rect (virtual-desktop coordinates) on device.
// Returns S_OK and a new reference in *out, else an error and *out untouched.
HRESULT dup_standin_create(ID3D11Device* device, const RECT* rect, IDXGIOutputDuplication** out);

// Test aid: the next `count` writes of a frame into the texture handed out fail with hr,
// as a failed Map of it would.
void dup_standin_fail_writes(int count, HRESULT hr);

// ---- Pure helpers (no system calls).

// Hashes bytes (a multiple of 4, 4-byte aligned) of BGRA pixels while forcing every alpha
// byte to 0xFF in place, as real duplication frames are opaque.
uint64_t dup_standin_hash_opaque(uint8_t* pixels, size_t bytes);
// Milliseconds left before a deadline; 0 when it has passed.
DWORD dup_standin_remaining(LONGLONG now, LONGLONG deadline, LONGLONG freq);
