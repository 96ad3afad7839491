#include "agent/upload/metadata.h"

#include "common/log.h"
#include "common/win.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/opt.h>
}

// ---- Pure cores.

namespace {

const uint8_t PNG_SIGNATURE[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

// Image, palette, transparency, colour and animation chunks; everything else can carry text,
// times, profiles or private data.
const char PNG_KEPT[][5] = {"IHDR", "PLTE", "IDAT", "IEND", "tRNS", "gAMA",
                            "cHRM", "sRGB", "sBIT", "acTL", "fcTL", "fdAT"};

bool metadata_png_kept(const uint8_t* type) {
    for (const char* k : PNG_KEPT)
        if (memcmp(type, k, 4) == 0) return true;
    return false;
}

uint32_t metadata_be32(const uint8_t* p) {
    return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3];
}

// Frame headers, entropy tables, scans, quantisation tables and restart intervals; APP0 and
// APP14 only in their JFIF and Adobe forms, which decoders read for the colour transform.
bool metadata_jpeg_kept(uint8_t marker, const uint8_t* segment, size_t length) {
    if (marker >= 0xC0 && marker <= 0xCF) return true;
    if (marker >= 0xDA && marker <= 0xDD) return true;
    if (marker == 0xE0) return length >= 7 && memcmp(segment + 2, "JFIF\0", 5) == 0;
    if (marker == 0xEE) return length >= 7 && memcmp(segment + 2, "Adobe", 5) == 0;
    return false;
}

}  // namespace

namespace {

// The kept parts of a capture as (offset, length) pairs of its bytes, neighbours merged,
// so a cleaned copy can be written straight from the input without a second buffer.
struct metadata_pieces {
    size_t* at;
    size_t count;
    size_t capacity;
};

bool metadata_keep(metadata_pieces* p, size_t offset, size_t length) {
    if (p->count && p->at[2 * p->count - 2] + p->at[2 * p->count - 1] == offset) {
        p->at[2 * p->count - 1] += length;
        return true;
    }
    if (p->count == p->capacity) {
        const size_t grown = p->capacity ? 2 * p->capacity : 16;
        size_t* at = (size_t*)realloc(p->at, grown * 2 * sizeof(size_t));
        if (!at) return false;
        p->at = at;
        p->capacity = grown;
    }
    p->at[2 * p->count] = offset;
    p->at[2 * p->count + 1] = length;
    p->count++;
    return true;
}

bool metadata_walk_png(const uint8_t* data, size_t size, metadata_pieces* kept) {
    if (!data || size < 8 || memcmp(data, PNG_SIGNATURE, 8) != 0 || !metadata_keep(kept, 0, 8)) return false;
    size_t pos = 8;
    while (size - pos >= 12) {
        const size_t length = metadata_be32(data + pos);
        if (length > size - pos - 12) return false;
        const uint8_t* type = data + pos + 4;
        const size_t whole = 12 + length;
        if (metadata_png_kept(type) && !metadata_keep(kept, pos, whole)) return false;
        if (memcmp(type, "IEND", 4) == 0) return true;
        pos += whole;
    }
    return false;
}

bool metadata_walk_jpeg(const uint8_t* data, size_t size, metadata_pieces* kept) {
    if (!data || size < 4 || data[0] != 0xFF || data[1] != 0xD8 || !metadata_keep(kept, 0, 2)) return false;
    size_t pos = 2;
    while (pos < size) {
        // Bytes between segments that are not a marker could hide anything: refuse them.
        if (data[pos] != 0xFF) return false;
        while (pos < size && data[pos] == 0xFF) pos++;
        if (pos >= size) return false;
        // The marker is kept as its last fill byte and its code, both input bytes.
        const size_t marker_at = pos - 1;
        const uint8_t marker = data[pos++];
        if (marker == 0xD9) return metadata_keep(kept, marker_at, 2);
        if ((marker >= 0xD0 && marker <= 0xD7) || marker == 0x01) continue;
        if (size - pos < 2) return false;
        const size_t length = ((size_t)data[pos] << 8) | data[pos + 1];
        if (length < 2 || length > size - pos) return false;
        const uint8_t* segment = data + pos;
        pos += length;
        if (!metadata_jpeg_kept(marker, segment, length)) continue;
        if (!metadata_keep(kept, marker_at, 2 + length)) return false;
        if (marker != 0xDA) continue;
        // The scan's entropy-coded data runs to the next marker; stuffed zeros and restart
        // markers belong to it.
        size_t end = pos;
        for (;;) {
            const uint8_t* ff = (const uint8_t*)memchr(data + end, 0xFF, size - end);
            if (!ff || (size_t)(ff - data) + 1 >= size) return false;
            end = (size_t)(ff - data);
            const uint8_t next = data[end + 1];
            if (next != 0x00 && (next < 0xD0 || next > 0xD7)) break;
            end += 2;
        }
        if (!metadata_keep(kept, pos, end - pos)) return false;
        pos = end;
    }
    return false;
}

size_t metadata_clean_with(bool (*walk)(const uint8_t*, size_t, metadata_pieces*), const uint8_t* data, size_t size,
                           uint8_t* out) {
    metadata_pieces kept = {};
    size_t w = 0;
    if (out && walk(data, size, &kept)) {
        // Pieces come in input order and never overlap, so copying forward is safe in place.
        for (size_t i = 0; i < kept.count; i++) {
            memmove(out + w, data + kept.at[2 * i], kept.at[2 * i + 1]);
            w += kept.at[2 * i + 1];
        }
    }
    free(kept.at);
    return w;
}

}  // namespace

size_t metadata_clean_png(const uint8_t* data, size_t size, uint8_t* out) {
    return metadata_clean_with(metadata_walk_png, data, size, out);
}

size_t metadata_clean_jpeg(const uint8_t* data, size_t size, uint8_t* out) {
    return metadata_clean_with(metadata_walk_jpeg, data, size, out);
}

// ---- Files.

namespace {

bool metadata_strip_with(bool (*walk)(const uint8_t*, size_t, metadata_pieces*), const uint8_t* data, size_t size,
                         const wchar_t* out_path) {
    metadata_pieces kept = {};
    if (!out_path || !walk(data, size, &kept)) {
        free(kept.at);
        return false;
    }
    HANDLE h = CreateFileW(out_path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        log_warn("upload: cannot create %ls (%lu)", out_path, (unsigned long)GetLastError());
        free(kept.at);
        return false;
    }
    bool ok = true;
    DWORD code = 0;
    for (size_t i = 0; ok && i < kept.count; i++) {
        const uint8_t* p = data + kept.at[2 * i];
        size_t left = kept.at[2 * i + 1];
        while (ok && left > 0) {
            const DWORD n = left > (1u << 30) ? (1u << 30) : (DWORD)left;
            DWORD written = 0;
            ok = WriteFile(h, p, n, &written, nullptr) && written == n;
            if (!ok) code = GetLastError();
            p += n;
            left -= n;
        }
    }
    free(kept.at);
    if (!CloseHandle(h)) ok = false;
    if (!ok) {
        log_warn("upload: cannot write %ls (%lu)", out_path, (unsigned long)code);
        DeleteFileW(out_path);
    }
    return ok;
}

}  // namespace

bool metadata_strip_png(const uint8_t* data, size_t size, const wchar_t* out_path) {
    return metadata_strip_with(metadata_walk_png, data, size, out_path);
}

bool metadata_strip_jpeg(const uint8_t* data, size_t size, const wchar_t* out_path) {
    return metadata_strip_with(metadata_walk_jpeg, data, size, out_path);
}

// ---- MP4 remux.

namespace {

const unsigned METADATA_MP4_STREAMS = 16;

bool metadata_utf8(const wchar_t* path, char* out, int cap) {
    return WideCharToMultiByte(CP_UTF8, 0, path, -1, out, cap, nullptr, nullptr) > 0;
}

void metadata_av_text(int code, char* out, size_t cap) {
    if (av_strerror(code, out, cap) < 0) snprintf(out, cap, "error %d", code);
}

// Rescales one packet to its output stream and hands it to the interleaver (which takes it).
int metadata_write_packet(AVFormatContext* mux, AVPacket* pkt, AVRational from, int out_index) {
    AVStream* st = mux->streams[out_index];
    av_packet_rescale_ts(pkt, from, st->time_base);
    pkt->stream_index = out_index;
    pkt->pos = -1;
    return av_interleaved_write_frame(mux, pkt);
}

// Sends pkt (null to flush) through the stream's SEI filter and writes what comes out.
int metadata_filter_and_write(AVBSFContext* bsf, AVFormatContext* mux, AVPacket* pkt, AVRational from, int out_index) {
    int r = av_bsf_send_packet(bsf, pkt);
    if (r < 0) return r;
    for (;;) {
        r = av_bsf_receive_packet(bsf, pkt);
        if (r == AVERROR(EAGAIN) || r == AVERROR_EOF) return 0;
        if (r < 0) return r;
        r = metadata_write_packet(mux, pkt, from, out_index);
        if (r < 0) return r;
    }
}

}  // namespace

bool metadata_strip_mp4(const wchar_t* in_path, const wchar_t* out_path) {
    char in8[MAX_PATH * 4], out8[MAX_PATH * 4];
    AVFormatContext* in = nullptr;
    AVFormatContext* mux = nullptr;
    AVPacket* pkt = nullptr;
    AVBSFContext* bsf[METADATA_MP4_STREAMS] = {};
    int map[METADATA_MP4_STREAMS];
    unsigned count = 0;
    int mapped = 0, code = 0;
    bool ok = false, created = false;
    const char* step = nullptr;

    for (int& m : map) m = -1;
    if (!in_path || !out_path || !metadata_utf8(in_path, in8, sizeof in8) ||
        !metadata_utf8(out_path, out8, sizeof out8)) {
        step = "path";
        goto done;
    }
    if ((code = avformat_open_input(&in, in8, nullptr, nullptr)) < 0) {
        step = "open";
        goto done;
    }
    if ((code = avformat_find_stream_info(in, nullptr)) < 0) {
        step = "stream info";
        goto done;
    }
    if ((code = avformat_alloc_output_context2(&mux, nullptr, "mp4", out8)) < 0 || !mux) {
        step = "mp4 muxer";
        goto done;
    }
    mux->flags |= AVFMT_FLAG_BITEXACT;

    count = in->nb_streams < METADATA_MP4_STREAMS ? in->nb_streams : METADATA_MP4_STREAMS;
    for (unsigned i = 0; i < count; i++) {
        const AVStream* src = in->streams[i];
        const AVCodecParameters* par = src->codecpar;
        const bool video = par->codec_type == AVMEDIA_TYPE_VIDEO;
        if (!video && par->codec_type != AVMEDIA_TYPE_AUDIO) continue;
        const AVCodecParameters* out_par = par;
        if (video) {
            if (par->codec_id != AV_CODEC_ID_H264 && par->codec_id != AV_CODEC_ID_HEVC) {
                log_warn("upload: only H.264/HEVC clips are uploaded (this is codec %d)", (int)par->codec_id);
                goto done;
            }
            const AVBitStreamFilter* filter = av_bsf_get_by_name("filter_units");
            if (!filter) {
                step = "filter_units";
                code = AVERROR_BSF_NOT_FOUND;
                goto done;
            }
            if ((code = av_bsf_alloc(filter, &bsf[i])) < 0 ||
                (code = avcodec_parameters_copy(bsf[i]->par_in, par)) < 0) {
                step = "filter set-up";
                goto done;
            }
            bsf[i]->time_base_in = src->time_base;
            // SEI units: type 6 in H.264, prefix and suffix SEI (39, 40) in HEVC.
            const char* types = par->codec_id == AV_CODEC_ID_H264 ? "6" : "39|40";
            if ((code = av_opt_set(bsf[i]->priv_data, "remove_types", types, 0)) < 0 ||
                (code = av_bsf_init(bsf[i])) < 0) {
                step = "filter_units";
                goto done;
            }
            out_par = bsf[i]->par_out;
        }
        AVStream* dst = avformat_new_stream(mux, nullptr);
        if (!dst || (code = avcodec_parameters_copy(dst->codecpar, out_par)) < 0) {
            step = "stream set-up";
            goto done;
        }
        dst->codecpar->codec_tag = 0;
        dst->time_base = src->time_base;
        map[i] = dst->index;
        mapped++;
    }
    if (mapped == 0) {
        step = "streams";
        code = AVERROR_STREAM_NOT_FOUND;
        goto done;
    }

    if ((code = avio_open(&mux->pb, out8, AVIO_FLAG_WRITE)) < 0) {
        step = "create";
        goto done;
    }
    created = true;
    {
        AVDictionary* opts = nullptr;
        av_dict_set(&opts, "movflags", "+faststart", 0);
        code = avformat_write_header(mux, &opts);
        av_dict_free(&opts);
        if (code < 0) {
            step = "header";
            goto done;
        }
    }
    pkt = av_packet_alloc();
    if (!pkt) {
        step = "packet";
        code = AVERROR(ENOMEM);
        goto done;
    }
    for (;;) {
        code = av_read_frame(in, pkt);
        if (code == AVERROR_EOF) break;
        if (code < 0) {
            step = "read";
            goto done;
        }
        const int s = pkt->stream_index;
        if (s < 0 || (unsigned)s >= count || map[s] < 0) {
            av_packet_unref(pkt);
            continue;
        }
        const AVRational from = in->streams[s]->time_base;
        code = bsf[s] ? metadata_filter_and_write(bsf[s], mux, pkt, from, map[s])
                      : metadata_write_packet(mux, pkt, from, map[s]);
        av_packet_unref(pkt);
        if (code < 0) {
            step = "write";
            goto done;
        }
    }
    for (unsigned i = 0; i < count; i++) {
        if (!bsf[i]) continue;
        if ((code = metadata_filter_and_write(bsf[i], mux, pkt, in->streams[i]->time_base, map[i])) < 0) {
            step = "write";
            goto done;
        }
    }
    if ((code = av_write_trailer(mux)) < 0) {
        step = "trailer";
        goto done;
    }
    code = avio_closep(&mux->pb);
    if (code < 0) {
        step = "close";
        goto done;
    }
    ok = true;

done:
    if (!ok && step) {
        char text[AV_ERROR_MAX_STRING_SIZE];
        metadata_av_text(code, text, sizeof text);
        log_warn("upload: cannot clean %ls: %s failed (%s)", in_path ? in_path : L"", step, text);
    }
    av_packet_free(&pkt);
    for (AVBSFContext*& b : bsf) av_bsf_free(&b);
    if (mux) {
        if (mux->pb) avio_closep(&mux->pb);
        avformat_free_context(mux);
    }
    if (in) avformat_close_input(&in);
    if (!ok && created) DeleteFileW(out_path);
    return ok;
}
