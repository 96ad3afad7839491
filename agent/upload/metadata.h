// Cleaned copies of captures for upload: PNG chunks and JPEG segments that carry no
// picture data are dropped (what is kept stays byte-identical), and MP4 files are
// remuxed without SEI units and without container or stream metadata.
#pragma once

#include <cstddef>
#include <cstdint>

// Pure cores: write the cleaned form of data to out (capacity at least size bytes;
// out may be data itself, since the cleaned form never runs ahead of the input).
// Return the cleaned length, or 0 when the input is not a whole, well-formed file.
size_t metadata_clean_png(const uint8_t* data, size_t size, uint8_t* out);
size_t metadata_clean_jpeg(const uint8_t* data, size_t size, uint8_t* out);

// Write the cleaned copy to out_path (created always); false on any failure, and
// then no file is left behind.
bool metadata_strip_png(const uint8_t* data, size_t size, const wchar_t* out_path);
bool metadata_strip_jpeg(const uint8_t* data, size_t size, const wchar_t* out_path);

// Remuxes H.264 or HEVC video and the audio streams without SEI units or metadata;
// other streams are dropped. On failure the output is deleted.
bool metadata_strip_mp4(const wchar_t* in_path, const wchar_t* out_path);
