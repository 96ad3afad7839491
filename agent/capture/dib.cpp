#include "agent/capture/dib.h"

void dib_info_top_down(BITMAPINFO* bi, long width, long height) {
    *bi = BITMAPINFO{};
    bi->bmiHeader.biSize = sizeof bi->bmiHeader;
    bi->bmiHeader.biWidth = width;
    bi->bmiHeader.biHeight = -height;  // negative height: top-down rows
    bi->bmiHeader.biPlanes = 1;
    bi->bmiHeader.biBitCount = 32;
    bi->bmiHeader.biCompression = BI_RGB;
}
