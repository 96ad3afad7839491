// JPEG previews of a cleaned capture (a thumbnail for every capture, a poster for
// clips) and the picture size and clip length that the upload description carries.
#pragma once

struct AVFrame;

#define PREVIEW_THUMB_BOX 640
#define PREVIEW_POSTER_BOX 1280

struct media_facts {
    int width;  // pixels; 0 when unknown
    int height;
    int duration_ms;  // 0 when the container gives none
};

// The preview size of a width x height picture in a max_width x max_height box: aspect
// kept, never enlarged, both sides even and at least 2.
void preview_fit(int width, int height, int max_width, int max_height, int* out_width, int* out_height);

// Decodes the first picture of clean_path and writes the thumbnail and, when poster_path
// is not null, the poster. True only when every requested preview was written; facts
// holds what was learnt either way.
bool preview_make(const wchar_t* clean_path, const wchar_t* thumb_path, const wchar_t* poster_path, media_facts* facts);

// Scales frame into the box and writes it as one JPEG file (created always).
bool preview_write_jpeg(const AVFrame* frame, int max_width, int max_height, const wchar_t* path);
