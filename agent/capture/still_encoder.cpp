#include "agent/capture/still_encoder.h"

#include "agent/core/frame_pool.h"
#include "common/log.h"
#include "common/text.h"
#include "common/win.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

struct still_encoder {
    const AVCodec* codec;
    AVCodecContext* ctx;
    AVFrame* frame;
    AVPacket* pkt;
    SwsContext* sws;
    int width;
    int height;
    int converted;
};

static void still_av_text(int code, char out[AV_ERROR_MAX_STRING_SIZE]) {
    if (av_strerror(code, out, AV_ERROR_MAX_STRING_SIZE) < 0) snprintf(out, AV_ERROR_MAX_STRING_SIZE, "error %d", code);
}

int still_jpeg_qscale(int quality) {
    // Computed in 64 bits so an absurd configured value cannot overflow.
    long long q = 101LL - (long long)quality;
    if (q < 1) q = 1;
    if (q > 31) q = 31;
    return (int)q;
}

// The wanted format when the encoder offers it (or publishes no list), else its first one.
static AVPixelFormat still_pick_format(const AVCodec* codec, AVPixelFormat wanted) {
    const AVPixelFormat* list = codec->pix_fmts;
    if (!list || *list == AV_PIX_FMT_NONE) return wanted;
    for (const AVPixelFormat* p = list; *p != AV_PIX_FMT_NONE; ++p)
        if (*p == wanted) return wanted;
    return list[0];
}

namespace {

const int64_t STILL_INT_MAX = 2147483647;
const int64_t STILL_JPEG_SIDE_MAX = 65500;
const int64_t STILL_EDGE = 16;  // the mpegvideo encoder's picture edge

// av_image_check_size2 with no pixel format and the default pixel limit.
bool still_ffmpeg_picture_ok(int64_t w, int64_t h) {
    if (w <= 0 || h <= 0 || w > STILL_INT_MAX || h > STILL_INT_MAX) return false;
    const int64_t stride = 8 * w + 1024;
    if (stride >= STILL_INT_MAX) return false;
    // Both factors are below 2^31 here, so the product fits 64 bits.
    return stride * (h + 128) < STILL_INT_MAX && w * h <= STILL_INT_MAX;
}

uint64_t still_align(uint64_t v, uint64_t a) { return (v + a - 1) / a * a; }

// av_fast_malloc grows a buffer to size + size / 16 + 32.
uint64_t still_grown(uint64_t size) { return size + size / 16 + 32; }

}  // namespace

bool still_encoder_size_ok(int64_t width, int64_t height, int format, char* err, size_t err_cap) {
    const bool jpeg = format == STILL_JPEG;
    if (width <= 0 || height <= 0) {
        text_format_into(err, err_cap, "encode: a %lldx%lld image is empty.", (long long)width, (long long)height);
        return false;
    }
    if (jpeg && (width > STILL_JPEG_SIDE_MAX || height > STILL_JPEG_SIDE_MAX)) {
        text_format_into(err, err_cap, "encode: %lldx%lld is too large for JPEG, whose sides stop at %lld pixels.",
                         (long long)width, (long long)height, (long long)STILL_JPEG_SIDE_MAX);
        return false;
    }
    const int64_t edge = jpeg ? 2 * STILL_EDGE : 0;
    if (width > STILL_INT_MAX - edge || height > STILL_INT_MAX - edge ||
        !still_ffmpeg_picture_ok(width + edge, height + edge)) {
        if (jpeg)
            text_format_into(err, err_cap,
                             "encode: %lldx%lld is too large for JPEG: (8 x (width + 32) + 1024) x (height + 160) must "
                             "stay below 2^31.",
                             (long long)width, (long long)height);
        else
            text_format_into(err, err_cap,
                             "encode: %lldx%lld is too large for PNG: (8 x width + 1024) x (height + 128) must stay "
                             "below 2^31.",
                             (long long)width, (long long)height);
        return false;
    }
    return true;
}

uint64_t still_encoder_work_bytes(int64_t width, int64_t height, int format) {
    if (width <= 0 || height <= 0 || width > STILL_INT_MAX || height > STILL_INT_MAX) return 0;
    const uint64_t w = (uint64_t)width, h = (uint64_t)height;
    // Far beyond any encoder limit; a saturated figure keeps every sum below 2^64.
    if (w * h > (1ull << 40)) return 1ull << 62;
    if (format == STILL_JPEG) {
        // 4:2:0 planes at the library's alignment, and the codec's own edged copy.
        const uint64_t picture = still_align(w, 64) * still_align(h, 32) * 3 / 2;
        const uint64_t copy = still_align(w + 2 * STILL_EDGE, 64) * (h + 2 * STILL_EDGE) * 3 / 2;
        // The output buffer grows with the image; the packet is copied out of it once.
        const uint64_t packet = still_grown(10000 + ((w + 15) / 16) * ((h + 15) / 16) * 64 + w * h * 3 / 2);
        return picture + copy + 2 * packet;
    }
    const uint64_t picture = still_align(w * 3, 64) * still_align(h, 32);
    // The PNG encoder zero-fills room for the deflate bound of every row.
    const uint64_t row = w * 3 + 1;
    const uint64_t bound = 16384 + h * (row + row / 4096 + row / 16384 + 13 + 12 * ((row + 65535) / 65536));
    return picture + 2 * still_grown(bound);
}

still_encoder* still_encoder_create(int width, int height, int format, int quality, char* err, size_t err_cap) {
    if (!still_encoder_size_ok(width, height, format, err, err_cap)) return nullptr;
    const bool jpeg = format == STILL_JPEG;
    const AVCodecID id = jpeg ? AV_CODEC_ID_MJPEG : AV_CODEC_ID_PNG;
    const AVPixelFormat wanted = jpeg ? AV_PIX_FMT_YUVJ420P : AV_PIX_FMT_RGB24;
    char text[AV_ERROR_MAX_STRING_SIZE];
    int rc = 0;

    still_encoder* enc = (still_encoder*)calloc(1, sizeof(still_encoder));
    if (!enc) {
        text_format_into(err, err_cap, "memory: cannot allocate the encoder.");
        return nullptr;
    }
    enc->width = width;
    enc->height = height;

    enc->codec = avcodec_find_encoder(id);
    if (!enc->codec) {
        log_error("encoder %d not found", (int)id);
        text_format_into(err, err_cap, "codec: encoder %d is not built in.", (int)id);
        goto fail;
    }
    enc->ctx = avcodec_alloc_context3(enc->codec);
    if (!enc->ctx) {
        text_format_into(err, err_cap, "memory: cannot allocate the codec context.");
        goto fail;
    }
    enc->ctx->width = width;
    enc->ctx->height = height;
    enc->ctx->pix_fmt = still_pick_format(enc->codec, wanted);
    enc->ctx->time_base = AVRational{1, 25};
    if (jpeg) {
        enc->ctx->flags |= AV_CODEC_FLAG_QSCALE;
        enc->ctx->global_quality = still_jpeg_qscale(quality) * FF_QP2LAMBDA;
        // The default floor of 2 would make quality 100 the same as 99.
        enc->ctx->qmin = 1;
        enc->ctx->qmax = 31;
    } else {
        enc->ctx->compression_level = 3;
    }
    rc = avcodec_open2(enc->ctx, enc->codec, nullptr);
    if (rc < 0) {
        still_av_text(rc, text);
        log_error("avcodec_open2 err=%d", rc);
        text_format_into(err, err_cap, "codec: avcodec_open2 failed: %s.", text);
        goto fail;
    }

    enc->frame = av_frame_alloc();
    enc->pkt = av_packet_alloc();
    if (!enc->frame || !enc->pkt) {
        text_format_into(err, err_cap, "memory: cannot allocate the frame.");
        goto fail;
    }
    enc->frame->format = enc->ctx->pix_fmt;
    enc->frame->width = width;
    enc->frame->height = height;
    // The mpegvideo family takes a fixed scale from the frame, not the context.
    enc->frame->quality = enc->ctx->global_quality;
    rc = av_frame_get_buffer(enc->frame, 0);
    if (rc < 0) {
        still_av_text(rc, text);
        text_format_into(err, err_cap, "memory: av_frame_get_buffer failed: %s.", text);
        goto fail;
    }

    enc->sws = sws_getContext(width, height, AV_PIX_FMT_BGRA, width, height, enc->ctx->pix_fmt, SWS_POINT, nullptr,
                              nullptr, nullptr);
    if (!enc->sws) {
        log_error("sws_getContext failed");
        text_format_into(err, err_cap, "convert: no conversion from BGRA to %s.",
                         av_get_pix_fmt_name(enc->ctx->pix_fmt));
        goto fail;
    }
    return enc;

fail:
    still_encoder_destroy(enc);
    return nullptr;
}

void still_encoder_destroy(still_encoder* enc) {
    if (!enc) return;
    sws_freeContext(enc->sws);
    av_packet_free(&enc->pkt);
    av_frame_free(&enc->frame);
    avcodec_free_context(&enc->ctx);
    free(enc);
}

bool still_encoder_convert(still_encoder* enc, const still_image* img) {
    if (!enc || !img || !img->pixels || img->width != enc->width || img->height != enc->height ||
        img->stride < img->width * 4)
        return false;
    // A reused frame may still be referenced by the codec; give it fresh memory then.
    if (av_frame_make_writable(enc->frame) < 0) return false;
    const uint8_t* src[4] = {img->pixels, nullptr, nullptr, nullptr};
    const int src_stride[4] = {img->stride, 0, 0, 0};
    const int rows = sws_scale(enc->sws, src, src_stride, 0, img->height, enc->frame->data, enc->frame->linesize);
    if (rows != img->height) return false;
    enc->converted = 1;
    return true;
}

bool still_encoder_encode(still_encoder* enc, const uint8_t** data, size_t* size, char* err, size_t err_cap) {
    char text[AV_ERROR_MAX_STRING_SIZE];
    if (!enc || !enc->converted) {
        text_format_into(err, err_cap, "convert: no converted image to encode.");
        return false;
    }
    av_packet_unref(enc->pkt);
    int rc = avcodec_send_frame(enc->ctx, enc->frame);
    if (rc < 0) {
        still_av_text(rc, text);
        log_error("send_frame err=%d", rc);
        text_format_into(err, err_cap, "encode: send_frame failed: %s.", text);
        return false;
    }
    rc = avcodec_receive_packet(enc->ctx, enc->pkt);
    if (rc == AVERROR(EAGAIN)) {
        // A codec that holds the image back gives it up at end of stream; the
        // context is finished afterwards, so it cannot be reused.
        avcodec_send_frame(enc->ctx, nullptr);
        enc->converted = 0;
        rc = avcodec_receive_packet(enc->ctx, enc->pkt);
    }
    if (rc < 0 || enc->pkt->size <= 0) {
        still_av_text(rc, text);
        text_format_into(err, err_cap, "encode: no image came out of the encoder: %s.", rc < 0 ? text : "empty packet");
        av_packet_unref(enc->pkt);
        return false;
    }
    *data = enc->pkt->data;
    *size = (size_t)enc->pkt->size;
    return true;
}

// "<path>.part"; paths too long for the plain form go through the "\\?\" prefix
// when they are absolute drive paths.
static bool still_part_path(const wchar_t* path, wchar_t* out, size_t cap) {
    const size_t n = wcslen(path);
    if (n + 6 <= MAX_PATH) {
        swprintf(out, cap, L"%ls.part", path);
        return true;
    }
    const bool drive_abs = n >= 3 && path[1] == L':' && path[2] == L'\\';
    if (!drive_abs || n + 10 > cap) return false;
    swprintf(out, cap, L"\\\\?\\%ls.part", path);
    return true;
}

bool still_write_file(const wchar_t* path, const uint8_t* data, size_t size, char* err, size_t err_cap) {
    if (!path || !*path || wcslen(path) >= STILL_PATH_MAX) {
        text_format_into(err, err_cap, "path: the destination path is empty or too long.");
        return false;
    }
    if (!data || size == 0 || size > 0xFFFFFFFFu) {
        text_format_into(err, err_cap, "encode: nothing to write.");
        return false;
    }
    wchar_t part[STILL_PATH_MAX + 16];
    if (!still_part_path(path, part, sizeof part / sizeof part[0])) {
        text_format_into(err, err_cap, "path: the destination path is too long.");
        return false;
    }
    HANDLE h = CreateFileW(part, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const DWORD e = GetLastError();
        log_error("CreateFile %ls failed (%lu)", part, e);
        text_format_into(err, err_cap, "write: cannot create the file (error %lu).", e);
        return false;
    }
    DWORD written = 0;
    const BOOL wrote = WriteFile(h, data, (DWORD)size, &written, nullptr);
    const DWORD write_error = wrote ? 0 : GetLastError();
    const BOOL closed = CloseHandle(h);
    if (!wrote || written != (DWORD)size || !closed) {
        DeleteFileW(part);
        text_format_into(err, err_cap, "write: only %lu of %llu bytes were written (error %lu).", written,
                         (unsigned long long)size, write_error);
        return false;
    }
    if (!MoveFileExW(part, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        const DWORD e = GetLastError();
        DeleteFileW(part);
        text_format_into(err, err_cap, "write: cannot move the finished file into place (error %lu).", e);
        return false;
    }
    return true;
}

bool still_encode_file(const still_image* img, int format, int quality, const wchar_t* path, char* err,
                       size_t err_cap) {
    if (!img || !img->pixels || img->stride < img->width * 4) {
        text_format_into(err, err_cap, "input: the image has no pixels or a stride below width * 4.");
        return false;
    }
    still_encoder* enc = still_encoder_create(img->width, img->height, format, quality, err, err_cap);
    if (!enc) return false;
    bool ok = false;
    const uint8_t* data = nullptr;
    size_t size = 0;
    if (!still_encoder_convert(enc, img))
        text_format_into(err, err_cap, "convert: the pixel conversion failed.");
    else if (still_encoder_encode(enc, &data, &size, err, err_cap))
        ok = still_write_file(path, data, size, err, err_cap);
    still_encoder_destroy(enc);
    return ok;
}

bool still_encode(const still_image* img, const wchar_t* path, int format, int quality) {
    LARGE_INTEGER freq, start, end;
    QueryPerformanceFrequency(&freq);
    QueryPerformanceCounter(&start);
    char err[STILL_ERR_MAX] = "";
    const bool ok = still_encode_file(img, format, quality, path, err, sizeof err);
    QueryPerformanceCounter(&end);
    if (ok) {
        const long long ms = (long long)((end.QuadPart - start.QuadPart) * 1000 / freq.QuadPart);
        log_info("wrote %ls (%dx%d) encode %lld ms", path, img->width, img->height, ms);
    } else {
        if (err[0]) log_error("%s", err);
        log_error("encode failed for %ls", path ? path : L"");
    }
    return ok;
}

bool still_encode_frame(const frame_buffer* fb, const wchar_t* path, int format, int quality) {
    still_image img{};
    if (fb) {
        img.pixels = (const uint8_t*)fb->pixels;
        img.width = (int)fb->width;
        img.height = (int)fb->height;
        img.stride = (int)fb->stride;
    }
    return still_encode(&img, path, format, quality);
}

// ---- Decoding

static bool still_read_whole(const wchar_t* path, uint8_t** out, size_t* out_size, char* err, size_t err_cap) {
    HANDLE h = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        text_format_into(err, err_cap, "open: cannot open the file (error %lu).", GetLastError());
        return false;
    }
    bool ok = false;
    uint8_t* buf = nullptr;
    LARGE_INTEGER size;
    DWORD got = 0;
    if (!GetFileSizeEx(h, &size) || size.QuadPart <= 0 || size.QuadPart > (1LL << 30)) {
        text_format_into(err, err_cap, "open: the file is empty or too large.");
        goto done;
    }
    buf = (uint8_t*)av_mallocz((size_t)size.QuadPart + AV_INPUT_BUFFER_PADDING_SIZE);
    if (!buf) {
        text_format_into(err, err_cap, "memory: cannot hold the file.");
        goto done;
    }
    if (!ReadFile(h, buf, (DWORD)size.QuadPart, &got, nullptr) || got != (DWORD)size.QuadPart) {
        text_format_into(err, err_cap, "read: the file could not be read whole.");
        av_free(buf);
        buf = nullptr;
        goto done;
    }
    *out = buf;
    *out_size = (size_t)size.QuadPart;
    ok = true;
done:
    CloseHandle(h);
    return ok;
}

bool still_decode_file(const wchar_t* path, still_decoded* out, char* err, size_t err_cap) {
    static const uint8_t png_sig[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    uint8_t* data = nullptr;
    size_t size = 0;
    if (!out || !path || !still_read_whole(path, &data, &size, err, err_cap)) return false;

    bool ok = false;
    char text[AV_ERROR_MAX_STRING_SIZE];
    AVCodecContext* ctx = nullptr;
    AVPacket* pkt = nullptr;
    AVFrame* frame = nullptr;
    SwsContext* sws = nullptr;
    uint8_t* pixels = nullptr;
    const AVCodec* codec = nullptr;
    int rc = 0;
    uint8_t* dst[4] = {};
    int dst_stride[4] = {};

    if (size >= 8 && memcmp(data, png_sig, 8) == 0)
        codec = avcodec_find_decoder(AV_CODEC_ID_PNG);
    else if (size >= 3 && data[0] == 0xFF && data[1] == 0xD8 && data[2] == 0xFF)
        codec = avcodec_find_decoder(AV_CODEC_ID_MJPEG);
    else {
        text_format_into(err, err_cap, "format: the file is neither PNG nor JPEG.");
        goto done;
    }
    if (!codec) {
        text_format_into(err, err_cap, "codec: the decoder is not built in.");
        goto done;
    }
    ctx = avcodec_alloc_context3(codec);
    pkt = av_packet_alloc();
    frame = av_frame_alloc();
    if (!ctx || !pkt || !frame) {
        text_format_into(err, err_cap, "memory: cannot allocate the decoder.");
        goto done;
    }
    rc = avcodec_open2(ctx, codec, nullptr);
    if (rc < 0) {
        still_av_text(rc, text);
        text_format_into(err, err_cap, "codec: avcodec_open2 failed: %s.", text);
        goto done;
    }
    pkt->data = data;
    pkt->size = (int)size;
    rc = avcodec_send_packet(ctx, pkt);
    if (rc >= 0) rc = avcodec_send_packet(ctx, nullptr);
    if (rc >= 0) rc = avcodec_receive_frame(ctx, frame);
    if (rc < 0) {
        still_av_text(rc, text);
        text_format_into(err, err_cap, "decode: the image could not be decoded: %s.", text);
        goto done;
    }
    if (frame->width <= 0 || frame->height <= 0 || av_image_check_size(frame->width, frame->height, 0, nullptr) < 0) {
        text_format_into(err, err_cap, "decode: the image size %dx%d is out of range.", frame->width, frame->height);
        goto done;
    }
    // Bilinear chroma and full-precision rounding keep the read-back faithful to the file.
    sws = sws_getContext(frame->width, frame->height, (AVPixelFormat)frame->format, frame->width, frame->height,
                         AV_PIX_FMT_BGRA, SWS_BILINEAR | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr, nullptr,
                         nullptr);
    pixels = (uint8_t*)malloc((size_t)frame->width * frame->height * 4);
    if (!sws || !pixels) {
        text_format_into(err, err_cap, "convert: no conversion from %s to BGRA.",
                         av_get_pix_fmt_name((AVPixelFormat)frame->format));
        goto done;
    }
    dst[0] = pixels;
    dst_stride[0] = frame->width * 4;
    if (sws_scale(sws, frame->data, frame->linesize, 0, frame->height, dst, dst_stride) != frame->height) {
        text_format_into(err, err_cap, "convert: the conversion to BGRA failed.");
        goto done;
    }
    out->pixels = pixels;
    pixels = nullptr;
    out->width = frame->width;
    out->height = frame->height;
    snprintf(out->pix_fmt, sizeof out->pix_fmt, "%s", av_get_pix_fmt_name((AVPixelFormat)frame->format));
    ok = true;

done:
    free(pixels);
    sws_freeContext(sws);
    av_frame_free(&frame);
    if (pkt) pkt->data = nullptr;
    av_packet_free(&pkt);
    avcodec_free_context(&ctx);
    av_free(data);
    return ok;
}

void still_decoded_free(still_decoded* img) {
    if (!img) return;
    free(img->pixels);
    img->pixels = nullptr;
    img->width = img->height = 0;
}
