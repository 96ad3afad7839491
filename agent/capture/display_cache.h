#pragma once
// The capture thread's view of the desktop outputs: one Direct3D 11 device,
// one desktop duplication per monitor and the last frame of each as a texture.
// Only the capture thread touches a cache; the monitor text has its own lock.
#include "agent/capture/display_types.h"
#include <cstddef>
#include <cstdint>

// Builds a new cache (generation 1). Returns none when no device can be created.
display_cache* display_cache_build();
// Releases every interface and frees the record; none is allowed.
void display_cache_destroy(display_cache* cache);
// Rebuilds the cache in place when it no longer matches the system. True when the
// cache is usable afterwards; false leaves it marked lost for the next try.
bool display_cache_validate(display_cache* cache);
// (Re)creates one output's duplication and primes its cached frame. True on success.
bool display_dup_create(display_cache* cache, int index);
// Copies a just-acquired duplication texture into the output's cached frame.
void display_copy_frame(display_cache* cache, display_output* out, ID3D11Texture2D* src);
// The same for an acquired duplication resource; false (nothing copied) when it is not
// a texture. The caller still releases res and the duplication frame.
bool display_copy_resource(display_cache* cache, display_output* out, IDXGIResource* res);
// Creates every missing duplication.
void display_cache_warm_up(display_cache* cache);
// Releases every duplication; returns how many were open.
int display_cache_release_idle(display_cache* cache);
// Rewrites the process-wide monitor text from the cache (none empties it).
void display_cache_describe(const display_cache* cache);
// Copies the monitor text (cut to cap) and returns the output count it describes.
int display_monitor_text(wchar_t* out, size_t cap);

// Accessors for the clip and still code.
int display_cache_output_count(const display_cache* cache);
uint32_t display_cache_generation(const display_cache* cache);
// False for an index outside the outputs (out untouched).
bool display_cache_output_rect(const display_cache* cache, int index, RECT* out);
// Index of the output showing the monitor, -1 when none.
int display_cache_output_index(const display_cache* cache, HMONITOR monitor);
// The device when it was created with video support and the cache is not lost, else none.
ID3D11Device* display_cache_video_device(const display_cache* cache);
bool display_cache_any_duplication(const display_cache* cache);
void display_cache_set_continuous(display_cache* cache, int on);
// Milliseconds between two performance-counter values of this cache.
double display_cache_ms(const display_cache* cache, LONGLONG from, LONGLONG to);
// True for the duplication errors that mean the device or the desktop went away.
bool display_hr_is_lost(HRESULT hr);
// Creates or reuses a staging texture at least w x h; false (logged) on failure.
bool display_cache_staging(display_cache* cache, int w, int h);

// ---- Pure helpers (no system calls).

// Pixel k (0, 2, ..., 62) of the black-first-frame sample grid of a w x h frame.
void display_sample_point(int k, int width, int height, int* x, int* y);
// One monitor text entry; returns the characters written (cut to cap, always terminated).
int display_format_entry(wchar_t* out, size_t cap, int index, const RECT* rect, int primary, unsigned dpi,
                         const wchar_t* device);
// Appends entry to the text of length *len and capacity cap; false when it did not fit
// (the text then stays as it was).
bool display_text_append(wchar_t* text, size_t cap, size_t* len, const wchar_t* entry);
// True when every monitor (handle and rectangle) is among the outputs with an equal rectangle.
bool display_monitors_match(const HMONITOR* monitors, const RECT* rects, int monitor_count,
                            const display_output* outputs, int output_count);
