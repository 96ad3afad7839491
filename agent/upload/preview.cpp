#include "agent/upload/preview.h"

#include "common/log.h"
#include "common/win.h"

#include <climits>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

namespace {

const int PREVIEW_PACKETS_MAX = 600;
const int PREVIEW_QSCALE = 4;
// Stills reach this Part at 50 MB at most; anything far beyond is not a capture.
const DWORD PREVIEW_STILL_MAX = 64u << 20;

int64_t preview_scaled(int64_t side, int64_t num, int64_t den) { return (side * num + den / 2) / den; }

int preview_even(int64_t side) {
    side &= ~(int64_t)1;
    return side < 2 ? 2 : (int)side;
}

}  // namespace

void preview_fit(int width, int height, int max_width, int max_height, int* out_width, int* out_height) {
    int64_t w = width > 0 ? width : 1, h = height > 0 ? height : 1;
    const int64_t ow = w, oh = h;
    if (max_width > 0 && w > max_width) {
        w = max_width;
        h = preview_scaled(oh, max_width, ow);
    }
    if (max_height > 0 && h > max_height) {
        h = max_height;
        w = preview_scaled(ow, max_height, oh);
    }
    *out_width = preview_even(w);
    *out_height = preview_even(h);
}

bool preview_write_jpeg(const AVFrame* frame, int max_width, int max_height, const wchar_t* path) {
    if (!frame || !path || frame->width <= 0 || frame->height <= 0 || frame->format < 0) return false;
    int w = 0, h = 0;
    preview_fit(frame->width, frame->height, max_width, max_height, &w, &h);

    SwsContext* sws = nullptr;
    AVFrame* pic = av_frame_alloc();
    AVPacket* pkt = av_packet_alloc();
    AVCodecContext* ctx = nullptr;
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
    HANDLE file = INVALID_HANDLE_VALUE;
    bool ok = false;
    int r = 0;

    if (!pic || !pkt || !codec) goto done;
    sws = sws_getContext(frame->width, frame->height, (AVPixelFormat)frame->format, w, h, AV_PIX_FMT_YUVJ420P, SWS_AREA,
                         nullptr, nullptr, nullptr);
    if (!sws) goto done;
    pic->format = AV_PIX_FMT_YUVJ420P;
    pic->width = w;
    pic->height = h;
    if (av_frame_get_buffer(pic, 0) < 0) goto done;
    if (sws_scale(sws, frame->data, frame->linesize, 0, frame->height, pic->data, pic->linesize) != h) goto done;

    ctx = avcodec_alloc_context3(codec);
    if (!ctx) goto done;
    ctx->width = w;
    ctx->height = h;
    ctx->pix_fmt = AV_PIX_FMT_YUVJ420P;
    ctx->time_base = AVRational{1, 25};
    ctx->flags |= AV_CODEC_FLAG_QSCALE | AV_CODEC_FLAG_BITEXACT;
    ctx->global_quality = PREVIEW_QSCALE * FF_QP2LAMBDA;
    // The mpegvideo family takes a fixed scale from the frame, not the context.
    pic->quality = ctx->global_quality;
    if (avcodec_open2(ctx, codec, nullptr) < 0 || avcodec_send_frame(ctx, pic) < 0) goto done;
    r = avcodec_receive_packet(ctx, pkt);
    if (r == AVERROR(EAGAIN)) {
        avcodec_send_frame(ctx, nullptr);
        r = avcodec_receive_packet(ctx, pkt);
    }
    if (r < 0 || pkt->size <= 0) goto done;

    file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        const BOOL wrote = WriteFile(file, pkt->data, (DWORD)pkt->size, &written, nullptr);
        const BOOL closed = CloseHandle(file);
        ok = wrote && closed && written == (DWORD)pkt->size;
        if (!ok) DeleteFileW(path);
    }

done:
    avcodec_free_context(&ctx);
    av_packet_free(&pkt);
    av_frame_free(&pic);
    sws_freeContext(sws);
    return ok;
}

namespace {

// PNG and JPEG stills are decoded straight from their bytes; everything else goes
// through the container reader. Returns the still's codec, AV_CODEC_ID_NONE for other
// files, or -1 when the file cannot be read.
int preview_still_codec(const wchar_t* path) {
    HANDLE h = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return -1;
    uint8_t head[8] = {};
    DWORD got = 0;
    const BOOL read = ReadFile(h, head, sizeof head, &got, nullptr);
    CloseHandle(h);
    if (!read) return -1;
    static const uint8_t png[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (got == 8 && memcmp(head, png, 8) == 0) return AV_CODEC_ID_PNG;
    if (got >= 3 && head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF) return AV_CODEC_ID_MJPEG;
    return AV_CODEC_ID_NONE;
}

// Reads a whole still into a padded packet.
bool preview_read_still(const wchar_t* path, AVPacket* pkt) {
    HANDLE h =
        CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER size;
    bool ok = GetFileSizeEx(h, &size) && size.QuadPart > 0 && size.QuadPart <= PREVIEW_STILL_MAX &&
              av_new_packet(pkt, (int)size.QuadPart) == 0;
    DWORD got = 0;
    ok = ok && ReadFile(h, pkt->data, (DWORD)size.QuadPart, &got, nullptr) && got == (DWORD)size.QuadPart;
    CloseHandle(h);
    return ok;
}

bool preview_open_decoder(const AVCodec* codec, const AVCodecParameters* par, AVCodecContext** out) {
    if (!codec) return false;
    AVCodecContext* ctx = avcodec_alloc_context3(codec);
    if (!ctx) return false;
    if ((par && avcodec_parameters_to_context(ctx, par) < 0) || avcodec_open2(ctx, codec, nullptr) < 0) {
        avcodec_free_context(&ctx);
        return false;
    }
    *out = ctx;
    return true;
}

// A picture waiting in the decoder, or one more after flushing it once.
bool preview_receive(AVCodecContext* dec, AVFrame* frame, bool flush) {
    if (avcodec_receive_frame(dec, frame) == 0) return true;
    if (!flush) return false;
    avcodec_send_packet(dec, nullptr);
    return avcodec_receive_frame(dec, frame) == 0;
}

}  // namespace

bool preview_make(const wchar_t* clean_path, const wchar_t* thumb_path, const wchar_t* poster_path,
                  media_facts* facts) {
    media_facts got = {};
    AVFormatContext* fmt = nullptr;
    AVCodecContext* dec = nullptr;
    AVPacket* pkt = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    bool ok = false, picture = false;
    const int still = clean_path ? preview_still_codec(clean_path) : -1;
    char path8[MAX_PATH * 4];

    if (!pkt || !frame || !thumb_path) goto failed;
    if (still > 0) {
        if (!preview_read_still(clean_path, pkt)) {
            log_warn("upload: cannot open %ls for previews", clean_path);
            goto done;
        }
        if (!preview_open_decoder(avcodec_find_decoder((AVCodecID)still), nullptr, &dec)) goto failed;
        picture = avcodec_send_packet(dec, pkt) == 0 && preview_receive(dec, frame, true);
    } else {
        if (still < 0 || WideCharToMultiByte(CP_UTF8, 0, clean_path, -1, path8, sizeof path8, nullptr, nullptr) <= 0 ||
            avformat_open_input(&fmt, path8, nullptr, nullptr) < 0) {
            log_warn("upload: cannot open %ls for previews", clean_path ? clean_path : L"");
            goto done;
        }
        if (avformat_find_stream_info(fmt, nullptr) < 0) goto failed;
        const AVCodec* codec = nullptr;
        const int index = av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
        if (index < 0) goto failed;
        const AVCodecParameters* par = fmt->streams[index]->codecpar;
        if (par->width > 0 && par->height > 0) {
            got.width = par->width;
            got.height = par->height;
        }
        if (fmt->duration > 0) {
            const int64_t ms = fmt->duration / (AV_TIME_BASE / 1000);
            got.duration_ms = ms > INT_MAX ? INT_MAX : (int)ms;
        }
        if (!preview_open_decoder(codec, par, &dec)) goto failed;
        for (int n = 0; n < PREVIEW_PACKETS_MAX && !picture; n++) {
            if (av_read_frame(fmt, pkt) < 0) {
                picture = preview_receive(dec, frame, true);
                break;
            }
            if (pkt->stream_index == index && avcodec_send_packet(dec, pkt) >= 0)
                picture = preview_receive(dec, frame, false);
            av_packet_unref(pkt);
        }
    }
    if (!picture) goto failed;
    if (got.width <= 0 || got.height <= 0) {
        got.width = frame->width;
        got.height = frame->height;
    }
    if (!preview_write_jpeg(frame, PREVIEW_THUMB_BOX, PREVIEW_THUMB_BOX, thumb_path)) goto failed;
    if (poster_path && !preview_write_jpeg(frame, PREVIEW_POSTER_BOX, PREVIEW_POSTER_BOX, poster_path)) goto failed;
    ok = true;
    goto done;

failed:
    log_warn("upload: previews failed for %ls", clean_path ? clean_path : L"");
done:
    if (facts) *facts = got;
    avcodec_free_context(&dec);
    if (fmt) avformat_close_input(&fmt);
    av_frame_free(&frame);
    av_packet_free(&pkt);
    return ok;
}
