#pragma once
// Writes one BGRA image to disk as PNG or JPEG through libavcodec, and reads
// such a file back into BGRA. Each call owns its codec state, so several
// stills workers encode in parallel without sharing anything.
#include <cstddef>
#include <cstdint>

struct frame_buffer;

enum { STILL_PNG = 0, STILL_JPEG = 1 };
enum { STILL_PATH_MAX = 260, STILL_ERR_MAX = 160 };

// Top-down 32-bit BGRA pixels; stride is the byte distance between rows (>= width * 4).
struct still_image {
    const uint8_t* pixels;
    int width;
    int height;
    int stride;
};

// JPEG scale factor for a configured quality: 101 - quality, clamped to 1..31.
int still_jpeg_qscale(int quality);

// Whether the encoder can take a width x height image in the format (1 JPEG, else PNG),
// by FFmpeg's own rules: every picture it allocates must pass av_image_check_size
// ((8 x width + 1024) x (height + 128) below 2^31, width x height at most 2^31 - 1), and
// MJPEG's copy of the input carries 16 pixels of edge on every side; JPEG sides stop at
// 65500. False with "encode: sentence" naming the limit in err. Pure; 64-bit arithmetic.
bool still_encoder_size_ok(int64_t width, int64_t height, int format, char* err, size_t err_cap);

// Memory one encode takes beyond the BGRA frame itself: the converted picture, the
// codec's own copy of it (JPEG), its zero-filled output buffer and the packet copied
// out of it. An upper estimate, so a frame budget that counts it holds the real peak.
// 0 for an empty size. Pure; 64-bit arithmetic.
uint64_t still_encoder_work_bytes(int64_t width, int64_t height, int format);

// One encoder for one image size and format. The conversion and the codec
// state are created once; still_encoder_run may be called again for further
// images of the same size (the bench reuses it; the agent does not).
struct still_encoder;

// Null on failure with "code: sentence" in err (err_cap bytes; may be 0). Logs
// "encoder %d not found" and "avcodec_open2 err=%d" where those steps fail.
still_encoder* still_encoder_create(int width, int height, int format, int quality, char* err, size_t err_cap);
void still_encoder_destroy(still_encoder* enc);

// Converts the image into the codec's frame (one sws_scale, source stride honoured).
// False when the image does not match the encoder's size.
bool still_encoder_convert(still_encoder* enc, const still_image* img);

// Encodes the converted frame. On success *data/*size point at the encoder's own
// packet, valid until the next call or destroy. On failure the outputs are untouched.
bool still_encoder_encode(still_encoder* enc, const uint8_t** data, size_t* size, char* err, size_t err_cap);

// Writes bytes to "<path>.part" and moves it over path only when every byte was
// written; on failure nothing is left under either name and an existing file at
// path is unchanged. Logs "CreateFile %ls failed (%lu)" when the file cannot be created.
bool still_write_file(const wchar_t* path, const uint8_t* data, size_t size, char* err, size_t err_cap);

// Whole job without logging the outcome: convert, encode, write. format 1 is JPEG,
// anything else PNG; quality 1..100 (clamped through the qscale mapping).
bool still_encode_file(const still_image* img, int format, int quality, const wchar_t* path, char* err, size_t err_cap);

// The stills worker's entry: encodes the buffer to path and logs
// "wrote %ls (%dx%d) encode %lld ms" or "encode failed for %ls".
bool still_encode(const still_image* img, const wchar_t* path, int format, int quality);
bool still_encode_frame(const frame_buffer* fb, const wchar_t* path, int format, int quality);

// A decoded image: BGRA, tight rows (stride = width * 4), heap memory freed with still_decoded_free.
struct still_decoded {
    uint8_t* pixels;
    int width;
    int height;
    char pix_fmt[32];  // the decoder's own pixel format name, e.g. "rgb24", "yuvj420p"
};

// Decodes a PNG or JPEG file (recognised by its signature) with FFmpeg's decoders.
// On failure out is untouched and err holds the reason.
bool still_decode_file(const wchar_t* path, still_decoded* out, char* err, size_t err_cap);
void still_decoded_free(still_decoded* img);
