// Decodes a PNG or JPEG with FFmpeg's own decoders, for the end-to-end tests:
//   decode_image FILE [--bgra OUT] [--pixel X Y]...
// Prints "width=W height=H pix_fmt=NAME hash=HHHHHHHHHHHHHHHH" (FNV-1a 64 over the
// decoded BGRA rows, tightly packed), then one "pixel=X,Y b=.. g=.. r=.. a=.." line per
// --pixel. --bgra writes the raw BGRA (width * 4 bytes per row, top-down) to OUT.
// Exit code 0 on success, 1 when the file does not decode, 2 on bad arguments.
#include "agent/capture/still_encoder.h"
#include "common/win.h"

#include <cstdio>
#include <cstdlib>
#include <cwchar>

static int decode_usage() {
    fprintf(stderr, "usage: decode_image FILE [--bgra OUT] [--pixel X Y]...\n");
    return 2;
}

static unsigned long long decode_fnv1a(const uint8_t* p, size_t n) {
    unsigned long long h = 14695981039346656037ULL;
    for (size_t i = 0; i < n; ++i) {
        h ^= p[i];
        h *= 1099511628211ULL;
    }
    return h;
}

static bool decode_write_raw(const wchar_t* path, const uint8_t* data, size_t size) {
    HANDLE h = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    bool ok = true;
    while (size > 0 && ok) {
        const DWORD chunk = size > (1u << 30) ? (1u << 30) : (DWORD)size;
        DWORD written = 0;
        ok = WriteFile(h, data, chunk, &written, nullptr) && written == chunk;
        data += chunk;
        size -= chunk;
    }
    return CloseHandle(h) && ok;
}

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return decode_usage();
    const wchar_t* file = argv[1];
    const wchar_t* raw_out = nullptr;
    enum { MAX_PIXELS = 64 };
    long px[MAX_PIXELS], py[MAX_PIXELS];
    int pixels = 0;
    for (int i = 2; i < argc; ++i) {
        if (wcscmp(argv[i], L"--bgra") == 0 && i + 1 < argc) {
            raw_out = argv[++i];
        } else if (wcscmp(argv[i], L"--pixel") == 0 && i + 2 < argc && pixels < MAX_PIXELS) {
            wchar_t* end1 = nullptr;
            wchar_t* end2 = nullptr;
            px[pixels] = wcstol(argv[i + 1], &end1, 10);
            py[pixels] = wcstol(argv[i + 2], &end2, 10);
            if (*end1 || *end2 || end1 == argv[i + 1] || end2 == argv[i + 2]) return decode_usage();
            ++pixels;
            i += 2;
        } else {
            return decode_usage();
        }
    }

    still_decoded img{};
    char err[STILL_ERR_MAX] = "";
    if (!still_decode_file(file, &img, err, sizeof err)) {
        fprintf(stderr, "error: %s\n", err);
        return 1;
    }
    const size_t size = (size_t)img.width * img.height * 4;
    printf("width=%d height=%d pix_fmt=%s hash=%016llx\n", img.width, img.height, img.pix_fmt,
           decode_fnv1a(img.pixels, size));
    int rc = 0;
    for (int i = 0; i < pixels; ++i) {
        if (px[i] < 0 || py[i] < 0 || px[i] >= img.width || py[i] >= img.height) {
            fprintf(stderr, "error: pixel %ld,%ld is outside the image\n", px[i], py[i]);
            rc = 2;
            continue;
        }
        const uint8_t* p = img.pixels + ((size_t)py[i] * img.width + px[i]) * 4;
        printf("pixel=%ld,%ld b=%u g=%u r=%u a=%u\n", px[i], py[i], p[0], p[1], p[2], p[3]);
    }
    if (raw_out && !decode_write_raw(raw_out, img.pixels, size)) {
        fprintf(stderr, "error: cannot write %ls\n", raw_out);
        rc = 1;
    }
    fflush(stdout);
    still_decoded_free(&img);
    return rc;
}
