#include "agent/upload/metadata.h"
#include "agent/upload/preview.h"
#include "agent/upload/upload.h"
#include "agent/upload/upload_transfer.h"
#include "common/json.h"
#include "common/win.h"
#include "tests/unit/test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
}

namespace {

std::wstring temp_dir() {
    static std::wstring dir = [] {
        std::wstring d = test_temp_dir(L"ivra_metadata_");
        SetEnvironmentVariableW(L"APPDATA", d.c_str());
        return d;
    }();
    return dir;
}

struct temp_cleanup : testing::Environment {
    void TearDown() override { test_remove_tree(temp_dir()); }
};
const auto* g_cleanup = testing::AddGlobalTestEnvironment(new temp_cleanup);
const std::wstring g_dir = temp_dir();
// The codecs' notes would bury the test output.
const int g_quiet = (av_log_set_level(AV_LOG_ERROR), 0);

std::wstring temp_file(const wchar_t* name) { return temp_dir() + L"\\" + name; }
bool exists(const std::wstring& p) { return GetFileAttributesW(p.c_str()) != INVALID_FILE_ATTRIBUTES; }

void write_all(const std::wstring& p, const std::string& data) {
    HANDLE h = CreateFileW(p.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD w = 0;
    WriteFile(h, data.data(), (DWORD)data.size(), &w, nullptr);
    CloseHandle(h);
}

std::string be32(uint32_t v) { return {(char)(v >> 24), (char)(v >> 16), (char)(v >> 8), (char)v}; }

// A chunk with a recognisable CRC field (the cleaner copies it, it does not check it).
std::string chunk(const char* type, const std::string& data) {
    return be32((uint32_t)data.size()) + type + data + "C" + type[0] + type[1] + "!";
}

const std::string PNG_SIG("\x89PNG\r\n\x1a\n", 8);

std::string clean(size_t (*fn)(const uint8_t*, size_t, uint8_t*), const std::string& in) {
    std::vector<uint8_t> out(in.size() + 1);
    const size_t n = fn((const uint8_t*)in.data(), in.size(), out.data());
    return n ? std::string((const char*)out.data(), n) : std::string("FAIL");
}

TEST(MetadataPng, ChunkTable) {
    const std::string ihdr = chunk("IHDR", std::string("\0\0\0\x10\0\0\0\x10\x08\x03\0\0\0", 13));
    const std::string plte = chunk("PLTE", "abcabc"), idat = chunk("IDAT", "pixels"), iend = chunk("IEND", "");
    const std::string text = chunk("tEXt", std::string("Author\0me", 9)), phys = chunk("pHYs", "123456789");
    const std::string iccp = chunk("iCCP", "profile"), time = chunk("tIME", "1234567"), exif = chunk("eXIf", "MM");
    const std::string priv = chunk("prVt", "secret"), zt = chunk("zTXt", "x"), it = chunk("iTXt", "y");
    const std::string keep_rest =
        chunk("tRNS", "t") + chunk("gAMA", "gama") + chunk("cHRM", "c") + chunk("sRGB", "s") + chunk("sBIT", "b");
    const std::string apng = chunk("acTL", "12345678") + chunk("fcTL", "frame") + chunk("fdAT", "data");
    const std::string base = PNG_SIG + ihdr + plte + idat + iend;
    struct row {
        const char* what;
        std::string in, out;
    } rows[] = {
        {"nothing to drop", base, base},
        {"text, physical size and ICC profile dropped", PNG_SIG + ihdr + text + phys + iccp + plte + idat + time + iend,
         base},
        {"EXIF, private and compressed texts dropped", PNG_SIG + ihdr + exif + priv + plte + zt + idat + it + iend,
         base},
        {"colour and transparency chunks kept", PNG_SIG + ihdr + keep_rest + idat + iend,
         PNG_SIG + ihdr + keep_rest + idat + iend},
        {"APNG keeps its animation chunks", PNG_SIG + ihdr + apng + text + idat + apng + iend,
         PNG_SIG + ihdr + apng + idat + apng + iend},
        {"bytes after IEND are not copied", base + "trailing secret", base},
        {"no IEND", PNG_SIG + ihdr + idat, "FAIL"},
        {"chunk runs past the end", PNG_SIG + ihdr + be32(100) + "IDATshort", "FAIL"},
        {"no signature", ihdr + idat + iend, "FAIL"},
        {"shorter than the signature", PNG_SIG.substr(0, 7), "FAIL"},
        {"damaged signature",
         "\x89PNG\r\n\x1a"
         "x" +
             ihdr + iend,
         "FAIL"},
    };
    for (const row& r : rows) {
        EXPECT_EQ(clean(metadata_clean_png, r.in), r.out) << r.what;
        // In place, as the cores allow.
        std::string buf = r.in;
        const size_t n = metadata_clean_png((const uint8_t*)buf.data(), buf.size(), (uint8_t*)buf.data());
        EXPECT_EQ(n ? buf.substr(0, n) : std::string("FAIL"), r.out) << r.what << " (in place)";
    }
}

std::string seg(uint8_t marker, const std::string& data) {
    const size_t n = data.size() + 2;
    return std::string{'\xFF', (char)marker, (char)(n >> 8), (char)n} + data;
}

TEST(MetadataJpeg, SegmentTable) {
    const std::string soi("\xFF\xD8", 2), eoi("\xFF\xD9", 2);
    const std::string jfif = seg(0xE0, std::string("JFIF\0\x01\x02\0\0\x01\0\x01\0\0", 14));
    const std::string adobe = seg(0xEE, std::string("Adobe\0\x64\0\0\0\0\x01", 12));
    const std::string jfxx = seg(0xE0, std::string("JFXX\0\x10", 6)), bare_jfif = seg(0xE0, "JFIF");
    const std::string exif = seg(0xE1, std::string("Exif\0\0MM secret GPS", 19));
    const std::string icc = seg(0xE2, std::string("ICC_PROFILE\0\x01\x01prof", 18));
    const std::string com = seg(0xFE, "made by someone"), app14_other = seg(0xEE, "Other!!");
    const std::string tables = seg(0xDB, "quant") + seg(0xC4, "huff") + seg(0xDD, "\x00\x10");
    const std::string sof = seg(0xC0, "frame header"), sos = seg(0xDA, "scan header");
    // Entropy data with a stuffed zero and restart markers, which belong to the scan.
    const std::string scan("\x12\x34\xFF\x00\x56\xFF\xD0\x78\xFF\xD7\x9A", 11);
    const std::string image = tables + sof + sos + scan;
    struct row {
        const char* what;
        std::string in, out;
    } rows[] = {
        {"nothing to drop", soi + jfif + image + eoi, soi + jfif + image + eoi},
        {"EXIF, ICC and comment dropped", soi + jfif + exif + icc + image.substr(0, 9) + com + image.substr(9) + eoi,
         soi + jfif + image + eoi},
        {"Adobe APP14 kept, other APP14 dropped", soi + adobe + app14_other + image + eoi, soi + adobe + image + eoi},
        {"APP0 without the JFIF signature dropped", soi + jfxx + bare_jfif + image + eoi, soi + image + eoi},
        {"fill bytes before a marker dropped", soi + std::string("\xFF\xFF", 2) + jfif + image + "\xFF" + eoi,
         soi + jfif + image + eoi},
        {"standalone markers between segments dropped", soi + std::string("\xFF\x01\xFF\xD3", 4) + image + eoi,
         soi + image + eoi},
        {"every APPn and other segments dropped",
         soi + seg(0xE3, "a") + seg(0xED, "photoshop") + seg(0xEF, "x") + seg(0xF0, "y") + image + eoi,
         soi + image + eoi},
        {"two scans", soi + image + sos + scan + eoi, soi + image + sos + scan + eoi},
        {"bytes after the end are not copied", soi + image + eoi + "secret", soi + image + eoi},
        {"truncated before FF D9", soi + jfif + image, "FAIL"},
        {"truncated inside the scan", soi + image.substr(0, image.size() - 3), "FAIL"},
        {"truncated inside a segment", soi + jfif + tables.substr(0, 5), "FAIL"},
        {"segment longer than the data", soi + std::string("\xFF\xE1\x40\x00", 4) + "abc", "FAIL"},
        {"segment length below 2", soi + std::string("\xFF\xE1\x00\x01", 4) + image + eoi, "FAIL"},
        {"stray bytes between segments", soi + jfif + "xx" + image + eoi, "FAIL"},
        {"no FF D8 at the start", jfif + image + eoi, "FAIL"},
        {"shorter than four bytes", soi + "\xFF", "FAIL"},
    };
    for (const row& r : rows) {
        EXPECT_EQ(clean(metadata_clean_jpeg, r.in), r.out) << r.what;
        std::string buf = r.in;
        const size_t n = metadata_clean_jpeg((const uint8_t*)buf.data(), buf.size(), (uint8_t*)buf.data());
        EXPECT_EQ(n ? buf.substr(0, n) : std::string("FAIL"), r.out) << r.what << " (in place)";
    }
}

// ---- Real files made with the project's own FFmpeg.

AVFrame* gradient(int w, int h, AVPixelFormat fmt) {
    AVFrame* f = av_frame_alloc();
    f->format = fmt;
    f->width = w;
    f->height = h;
    av_frame_get_buffer(f, 0);
    for (int y = 0; y < h; y++)
        for (int x = 0; x < (fmt == AV_PIX_FMT_RGB24 ? 3 * w : w); x++)
            f->data[0][y * f->linesize[0] + x] = (uint8_t)(x * 7 + y * 3);
    for (int p = 1; p < 3 && fmt != AV_PIX_FMT_RGB24; p++)
        for (int y = 0; y < (h + 1) / 2; y++) memset(f->data[p] + y * f->linesize[p], 100 + 20 * p, (w + 1) / 2);
    return f;
}

// Encodes one picture as PNG or JPEG bytes.
std::string encode_still(int w, int h, bool jpeg) {
    const AVCodec* c = avcodec_find_encoder(jpeg ? AV_CODEC_ID_MJPEG : AV_CODEC_ID_PNG);
    AVCodecContext* ctx = avcodec_alloc_context3(c);
    ctx->width = w;
    ctx->height = h;
    ctx->pix_fmt = jpeg ? AV_PIX_FMT_YUVJ420P : AV_PIX_FMT_RGB24;
    ctx->time_base = AVRational{1, 25};
    AVFrame* f = gradient(w, h, ctx->pix_fmt);
    AVPacket* pkt = av_packet_alloc();
    std::string out;
    if (avcodec_open2(ctx, c, nullptr) == 0 && avcodec_send_frame(ctx, f) == 0) {
        avcodec_send_frame(ctx, nullptr);
        if (avcodec_receive_packet(ctx, pkt) == 0) out.assign((const char*)pkt->data, pkt->size);
    }
    av_packet_free(&pkt);
    av_frame_free(&f);
    avcodec_free_context(&ctx);
    return out;
}

// Width and height of a still decoded with FFmpeg; 0x0 when it does not decode.
std::pair<int, int> decoded_size(const std::string& bytes, bool jpeg) {
    const AVCodec* c = avcodec_find_decoder(jpeg ? AV_CODEC_ID_MJPEG : AV_CODEC_ID_PNG);
    AVCodecContext* ctx = avcodec_alloc_context3(c);
    AVPacket* pkt = av_packet_alloc();
    AVFrame* f = av_frame_alloc();
    std::pair<int, int> size{0, 0};
    if (!bytes.empty() && avcodec_open2(ctx, c, nullptr) == 0 && av_new_packet(pkt, (int)bytes.size()) == 0) {
        memcpy(pkt->data, bytes.data(), bytes.size());
        if (avcodec_send_packet(ctx, pkt) == 0) {
            avcodec_send_packet(ctx, nullptr);
            if (avcodec_receive_frame(ctx, f) == 0) size = {f->width, f->height};
        }
    }
    av_frame_free(&f);
    av_packet_free(&pkt);
    avcodec_free_context(&ctx);
    return size;
}

TEST(MetadataFiles, RealStillsStayDecodableAndFailuresLeaveNoFile) {
    const std::string jpeg = encode_still(96, 64, true), png = encode_still(96, 64, false);
    ASSERT_GT(jpeg.size(), 100u);
    ASSERT_GT(png.size(), 50u);
    const std::string dirty_jpeg =
        jpeg.substr(0, 2) + seg(0xE1, "Exif\0\0GPS 51N 0W") + seg(0xFE, "comment") + jpeg.substr(2);
    const std::string dirty_png = png.substr(0, 33) + chunk("tEXt", "Author secret") + png.substr(33);
    const std::wstring out_jpeg = temp_file(L"clean.jpg"), out_png = temp_file(L"clean.png");
    ASSERT_TRUE(metadata_strip_jpeg((const uint8_t*)dirty_jpeg.data(), dirty_jpeg.size(), out_jpeg.c_str()));
    ASSERT_TRUE(metadata_strip_png((const uint8_t*)dirty_png.data(), dirty_png.size(), out_png.c_str()));
    const std::string cj = test_read_all(out_jpeg), cp = test_read_all(out_png);
    EXPECT_EQ(cj.find("GPS"), std::string::npos);
    EXPECT_EQ(cj.find("comment"), std::string::npos);
    EXPECT_EQ(cp.find("secret"), std::string::npos);
    // The encoder's own pHYs chunk goes too; everything else is byte-identical.
    ASSERT_EQ(png.substr(37, 4), "pHYs");
    EXPECT_EQ(cp, png.substr(0, 33) + png.substr(33 + 21));
    EXPECT_EQ(decoded_size(cj, true), std::make_pair(96, 64));
    EXPECT_EQ(decoded_size(cp, false), std::make_pair(96, 64));

    const std::wstring bad = temp_file(L"bad.jpg");
    const std::string cut = jpeg.substr(0, jpeg.size() - 2);
    EXPECT_FALSE(metadata_strip_jpeg((const uint8_t*)cut.data(), cut.size(), bad.c_str()));
    EXPECT_FALSE(metadata_strip_png((const uint8_t*)jpeg.data(), jpeg.size(), bad.c_str()));
    EXPECT_FALSE(exists(bad));
}

// ---- Previews.

TEST(Preview, FitTable) {
    struct row {
        int w, h, box_w, box_h, want_w, want_h;
    } rows[] = {
        {1920, 1080, 640, 640, 640, 360}, {1920, 1080, 1280, 1280, 1280, 720},
        {1080, 1920, 640, 640, 360, 640}, {1080, 1920, 1280, 1280, 720, 1280},
        {3, 3, 640, 640, 2, 2},           {1, 1, 640, 640, 2, 2},
        {640, 640, 640, 640, 640, 640},   {641, 481, 640, 640, 640, 480},
        {5000, 10, 640, 640, 640, 2},     {333, 201, 640, 640, 332, 200},
        {2560, 1600, 640, 640, 640, 400}, {1366, 768, 640, 640, 640, 360},
    };
    for (const row& r : rows) {
        int w = 0, h = 0;
        preview_fit(r.w, r.h, r.box_w, r.box_h, &w, &h);
        EXPECT_EQ(w, r.want_w) << r.w << "x" << r.h << " in " << r.box_w;
        EXPECT_EQ(h, r.want_h) << r.w << "x" << r.h << " in " << r.box_w;
    }
}

TEST(Preview, StillsGiveThumbnailsOfTheRightSize) {
    struct row {
        const wchar_t* name;
        int w, h;
        bool jpeg;
        int thumb_w, thumb_h;
    } rows[] = {
        {L"wide.png", 1920, 1080, false, 640, 360},
        {L"tall.jpg", 1080, 1920, true, 360, 640},
        {L"tiny.png", 3, 3, false, 2, 2},
    };
    for (const row& r : rows) {
        const std::wstring src = temp_file(r.name), thumb = temp_file(L"thumb.jpg");
        write_all(src, encode_still(r.w, r.h, r.jpeg));
        media_facts facts = {-1, -1, -1};
        EXPECT_TRUE(preview_make(src.c_str(), thumb.c_str(), nullptr, &facts)) << test_utf8(r.name);
        EXPECT_EQ(facts.width, r.w);
        EXPECT_EQ(facts.height, r.h);
        EXPECT_EQ(facts.duration_ms, 0);
        EXPECT_EQ(decoded_size(test_read_all(thumb), true), std::make_pair(r.thumb_w, r.thumb_h)) << test_utf8(r.name);
        DeleteFileW(thumb.c_str());
        DeleteFileW(src.c_str());
    }
    const std::wstring junk = temp_file(L"junk.mp4"), thumb = temp_file(L"junk_thumb.jpg");
    write_all(junk, "not a video at all");
    media_facts facts = {};
    EXPECT_FALSE(preview_make(junk.c_str(), thumb.c_str(), nullptr, &facts));
    EXPECT_FALSE(exists(thumb));
    EXPECT_EQ(facts.width, 0);
    EXPECT_NE(test_read_all(temp_file(L"Ivra\\ivrad.log")).find("upload: cannot open "), std::string::npos);
}

// ---- Clips.

const char SEI_TEXT[] = "secret-sei-text";
const char TITLE[] = "Secret Title";

// An MP4 with H.264 (each packet led by an SEI unit), AAC and optionally a subtitle
// track, a title and a creation time; or, with vp9, a VP9 track alone.
bool write_clip(const std::wstring& path, int w, int h, int frames, bool subtitle, bool vp9) {
    const std::string p8 = test_utf8(path);
    AVFormatContext* mux = nullptr;
    if (avformat_alloc_output_context2(&mux, nullptr, "mp4", p8.c_str()) < 0) return false;
    av_dict_set(&mux->metadata, "title", TITLE, 0);
    av_dict_set(&mux->metadata, "creation_time", "2024-05-06T07:08:09Z", 0);
    AVCodecContext* v = nullptr;
    AVCodecContext* a = nullptr;
    AVStream* vs = avformat_new_stream(mux, nullptr);
    AVStream* as = nullptr;
    AVStream* ss = nullptr;
    bool ok = false;
    if (vp9) {
        vs->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
        vs->codecpar->codec_id = AV_CODEC_ID_VP9;
        vs->codecpar->width = w;
        vs->codecpar->height = h;
        vs->codecpar->format = AV_PIX_FMT_YUV420P;
        vs->codecpar->profile = FF_PROFILE_VP9_0;
        vs->time_base = AVRational{1, 30};
    } else {
        v = avcodec_alloc_context3(avcodec_find_encoder_by_name("libopenh264"));
        v->width = w;
        v->height = h;
        v->time_base = AVRational{1, 30};
        v->framerate = AVRational{30, 1};
        v->pix_fmt = AV_PIX_FMT_YUV420P;
        v->bit_rate = 500000;
        v->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        if (avcodec_open2(v, v->codec, nullptr) < 0) goto done;
        avcodec_parameters_from_context(vs->codecpar, v);
        vs->time_base = v->time_base;
        av_dict_set(&vs->metadata, "title", TITLE, 0);
        a = avcodec_alloc_context3(avcodec_find_encoder(AV_CODEC_ID_AAC));
        a->sample_rate = 48000;
        a->sample_fmt = AV_SAMPLE_FMT_FLTP;
        av_channel_layout_default(&a->ch_layout, 2);
        a->bit_rate = 96000;
        a->time_base = AVRational{1, 48000};
        a->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        if (avcodec_open2(a, a->codec, nullptr) < 0) goto done;
        as = avformat_new_stream(mux, nullptr);
        avcodec_parameters_from_context(as->codecpar, a);
        as->time_base = a->time_base;
    }
    if (subtitle) {
        ss = avformat_new_stream(mux, nullptr);
        ss->codecpar->codec_type = AVMEDIA_TYPE_SUBTITLE;
        ss->codecpar->codec_id = AV_CODEC_ID_MOV_TEXT;
        ss->time_base = AVRational{1, 1000};
    }
    if (avio_open(&mux->pb, p8.c_str(), AVIO_FLAG_WRITE) < 0 || avformat_write_header(mux, nullptr) < 0) goto done;
    {
        AVPacket* pkt = av_packet_alloc();
        AVFrame* pic = gradient(w, h, AV_PIX_FMT_YUV420P);
        std::string sei("\0\0\0\x01\x06\x05\x1f", 7);
        sei += std::string(16, '\x42') + SEI_TEXT + "\x80";
        for (int i = 0; i <= frames; i++) {
            if (vp9 && i < frames) {
                av_new_packet(pkt, 64);
                memset(pkt->data, 0x82, 64);
                pkt->pts = pkt->dts = i;
                pkt->flags = AV_PKT_FLAG_KEY;
                pkt->stream_index = vs->index;
                av_interleaved_write_frame(mux, pkt);
                continue;
            }
            if (vp9) break;
            if (i < frames) {
                av_frame_make_writable(pic);
                pic->data[0][i] ^= 0xFF;
                pic->pts = i;
            }
            avcodec_send_frame(v, i < frames ? pic : nullptr);
            while (avcodec_receive_packet(v, pkt) == 0) {
                // An SEI unit in front of the picture, as some encoders write them.
                AVPacket* with = av_packet_alloc();
                av_new_packet(with, (int)sei.size() + pkt->size);
                memcpy(with->data, sei.data(), sei.size());
                memcpy(with->data + sei.size(), pkt->data, pkt->size);
                av_packet_copy_props(with, pkt);
                av_packet_rescale_ts(with, v->time_base, vs->time_base);
                with->stream_index = vs->index;
                av_interleaved_write_frame(mux, with);
                av_packet_free(&with);
                av_packet_unref(pkt);
            }
        }
        for (int i = 0; a && i < frames * 48000 / 30 / 1024; i++) {
            AVFrame* s = av_frame_alloc();
            s->nb_samples = 1024;
            s->format = AV_SAMPLE_FMT_FLTP;
            av_channel_layout_copy(&s->ch_layout, &a->ch_layout);
            av_frame_get_buffer(s, 0);
            memset(s->data[0], 0, 4096);
            memset(s->data[1], 0, 4096);
            s->pts = (int64_t)i * 1024;
            avcodec_send_frame(a, s);
            av_frame_free(&s);
            while (avcodec_receive_packet(a, pkt) == 0) {
                av_packet_rescale_ts(pkt, a->time_base, as->time_base);
                pkt->stream_index = as->index;
                av_interleaved_write_frame(mux, pkt);
            }
        }
        if (ss) {
            av_new_packet(pkt, 7);
            memcpy(pkt->data, "\x00\x05hello", 7);
            pkt->pts = pkt->dts = 0;
            pkt->duration = 500;
            pkt->stream_index = ss->index;
            av_interleaved_write_frame(mux, pkt);
        }
        av_frame_free(&pic);
        av_packet_free(&pkt);
    }
    ok = av_write_trailer(mux) == 0;
done:
    avcodec_free_context(&v);
    avcodec_free_context(&a);
    avio_closep(&mux->pb);
    avformat_free_context(mux);
    return ok;
}

// What a reader sees in an MP4: codecs of the streams, metadata keys, and SEI units
// in the H.264 packets (4-byte lengths, as MP4 stores them).
struct clip_view {
    std::vector<AVCodecID> codecs;
    std::string keys;
    int sei_units = 0, video_packets = 0;
};

clip_view read_clip(const std::wstring& path) {
    clip_view view;
    AVFormatContext* in = nullptr;
    if (avformat_open_input(&in, test_utf8(path).c_str(), nullptr, nullptr) < 0) return view;
    avformat_find_stream_info(in, nullptr);
    const AVDictionaryEntry* e = nullptr;
    while ((e = av_dict_get(in->metadata, "", e, AV_DICT_IGNORE_SUFFIX)))
        view.keys += std::string(e->key) + "=" + e->value + ";";
    for (unsigned i = 0; i < in->nb_streams; i++) {
        view.codecs.push_back(in->streams[i]->codecpar->codec_id);
        e = nullptr;
        while ((e = av_dict_get(in->streams[i]->metadata, "", e, AV_DICT_IGNORE_SUFFIX)))
            view.keys += std::string(e->key) + "=" + e->value + ";";
    }
    AVPacket* pkt = av_packet_alloc();
    while (av_read_frame(in, pkt) >= 0) {
        if (in->streams[pkt->stream_index]->codecpar->codec_id == AV_CODEC_ID_H264) {
            view.video_packets++;
            for (int p = 0; p + 4 < pkt->size;) {
                const int n =
                    (pkt->data[p] << 24) | (pkt->data[p + 1] << 16) | (pkt->data[p + 2] << 8) | pkt->data[p + 3];
                if ((pkt->data[p + 4] & 0x1F) == 6) view.sei_units++;
                p += 4 + n;
            }
        }
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    avformat_close_input(&in);
    return view;
}

TEST(MetadataMp4, RemuxKeepsPictureAndSoundAndDropsTheRest) {
    const std::wstring src = temp_file(L"dirty.mp4"), out = temp_file(L"clean.mp4");
    ASSERT_TRUE(write_clip(src, 320, 180, 12, true, false));
    const clip_view before = read_clip(src);
    ASSERT_EQ(before.codecs.size(), 3u);
    ASSERT_GT(before.sei_units, 0);
    ASSERT_NE(before.keys.find("creation_time="), std::string::npos) << before.keys;
    ASSERT_NE(test_read_all(src).find(TITLE), std::string::npos);

    ASSERT_TRUE(metadata_strip_mp4(src.c_str(), out.c_str()));
    const clip_view after = read_clip(out);
    EXPECT_EQ(after.codecs, (std::vector<AVCodecID>{AV_CODEC_ID_H264, AV_CODEC_ID_AAC}));
    EXPECT_EQ(after.video_packets, before.video_packets);
    EXPECT_EQ(after.sei_units, 0);
    EXPECT_EQ(after.keys.find("title"), std::string::npos) << after.keys;
    EXPECT_EQ(after.keys.find("creation_time"), std::string::npos) << after.keys;
    const std::string bytes = test_read_all(out);
    EXPECT_EQ(bytes.find(SEI_TEXT), std::string::npos);
    EXPECT_EQ(bytes.find(TITLE), std::string::npos);

    // The cleaned clip still decodes: its previews and facts come from it.
    const std::wstring thumb = temp_file(L"clip_thumb.jpg"), poster = temp_file(L"clip_poster.jpg");
    media_facts facts = {};
    EXPECT_TRUE(preview_make(out.c_str(), thumb.c_str(), poster.c_str(), &facts));
    EXPECT_EQ(facts.width, 320);
    EXPECT_EQ(facts.height, 180);
    EXPECT_GE(facts.duration_ms, 350);
    EXPECT_LE(facts.duration_ms, 450);
    EXPECT_EQ(decoded_size(test_read_all(thumb), true), std::make_pair(320, 180));
    EXPECT_EQ(decoded_size(test_read_all(poster), true), std::make_pair(320, 180));
}

TEST(MetadataMp4, Vp9FailsAndLeavesNoFile) {
    const std::wstring src = temp_file(L"vp9.mp4"), out = temp_file(L"vp9_clean.mp4");
    ASSERT_TRUE(write_clip(src, 64, 64, 3, false, true));
    EXPECT_FALSE(metadata_strip_mp4(src.c_str(), out.c_str()));
    EXPECT_FALSE(exists(out));
    EXPECT_FALSE(metadata_strip_mp4(temp_file(L"missing.mp4").c_str(), out.c_str()));
    EXPECT_FALSE(exists(out));
    const std::string log = test_read_all(temp_file(L"Ivra\\ivrad.log"));
    EXPECT_NE(log.find("upload: only H.264/HEVC clips are uploaded (this is codec 167)"), std::string::npos);
}

// ---- The transfer's pure rules.

TEST(TransferRules, FileTypes) {
    struct row {
        const wchar_t* path;
        bool ok;
        const char* ext;
        const char* type;
        int clip;
    } rows[] = {
        {L"C:\\a\\shot.png", true, "png", "image/png", 0}, {L"C:\\a\\shot.PNG", true, "png", "image/png", 0},
        {L"C:\\a\\s.jpg", true, "jpg", "image/jpeg", 0},   {L"C:\\a\\s.JPEG", true, "jpg", "image/jpeg", 0},
        {L"C:\\a\\clip.Mp4", true, "mp4", "video/mp4", 1}, {L"C:\\a\\anim.gif", false, "", "", 0},
        {L"C:\\a.png\\noext", false, "", "", 0},           {L"C:\\a\\shot.png.txt", false, "", "", 0},
    };
    for (const row& r : rows) {
        const char* ext = "";
        const char* type = "";
        int clip = 0;
        EXPECT_EQ(upload_file_type(r.path, &ext, &type, &clip), r.ok) << test_utf8(r.path);
        EXPECT_STREQ(ext, r.ext);
        EXPECT_STREQ(type, r.type);
        EXPECT_EQ(clip, r.clip);
    }
}

TEST(TransferRules, CreateBodyTable) {
    const char* hash = "ab01";
    const char* at = "2026-01-02T03:04:05Z";
    struct row {
        const char* what;
        upload_description d;
        const char* body;
    } rows[] = {
        {"still with a thumbnail",
         {0, "image/png", 1000, 1, 50, 0, {1920, 1080, 0}, ""},
         "{\"kind\":\"still\",\"content_hash\":\"ab01\",\"captured_at\":\"2026-01-02T03:04:05Z\",\"width\":1920,"
         "\"height\":1080,\"files\":[{\"role\":\"original\",\"content_type\":\"image/png\",\"byte_size\":1000},"
         "{\"role\":\"thumb\",\"content_type\":\"image/jpeg\",\"byte_size\":50}]}"},
        {"still never sends a duration; no previews, no size",
         {0, "image/jpeg", 7, 0, 0, 0, {0, 0, 900}, ""},
         "{\"kind\":\"still\",\"content_hash\":\"ab01\",\"captured_at\":\"2026-01-02T03:04:05Z\",\"files\":[{\"role\":"
         "\"original\",\"content_type\":\"image/jpeg\",\"byte_size\":7}]}"},
        {"clip with previews, duration and collection",
         {1, "video/mp4", 5000000000ull, 1, 10, 20, {1280, 720, 12000}, "col\"7"},
         "{\"kind\":\"clip\",\"content_hash\":\"ab01\",\"captured_at\":\"2026-01-02T03:04:05Z\",\"width\":1280,"
         "\"height\":720,\"duration_ms\":12000,\"collection_id\":\"col\\\"7\",\"files\":[{\"role\":\"original\","
         "\"content_type\":\"video/mp4\",\"byte_size\":5000000000},{\"role\":\"thumb\",\"content_type\":"
         "\"image/jpeg\",\"byte_size\":10},{\"role\":\"poster\",\"content_type\":\"image/jpeg\",\"byte_size\":20}]}"},
        {"clip of 40 s and a size over the limit send neither",
         {1, "video/mp4", 9, 0, 0, 0, {16385, 720, 40000}, ""},
         "{\"kind\":\"clip\",\"content_hash\":\"ab01\",\"captured_at\":\"2026-01-02T03:04:05Z\",\"files\":[{\"role\":"
         "\"original\",\"content_type\":\"video/mp4\",\"byte_size\":9}]}"},
    };
    for (const row& r : rows) {
        char out[1024];
        ASSERT_TRUE(upload_create_body(out, sizeof out, &r.d, hash, at)) << r.what;
        EXPECT_STREQ(out, r.body) << r.what;
    }
    char small[40];
    EXPECT_FALSE(upload_create_body(small, sizeof small, &rows[0].d, hash, at));
}

TEST(TransferRules, OutcomesHeadersAndIds) {
    struct row {
        int status, create, complete;
    } rows[] = {
        {0, UPLOAD_OUTCOME_RETRY, UPLOAD_OUTCOME_RETRY},     {401, UPLOAD_OUTCOME_UNLINKED, UPLOAD_OUTCOME_UNLINKED},
        {413, UPLOAD_OUTCOME_FAILED, UPLOAD_OUTCOME_FAILED}, {404, UPLOAD_OUTCOME_FAILED, UPLOAD_OUTCOME_RETRY},
        {409, UPLOAD_OUTCOME_RETRY, UPLOAD_OUTCOME_RETRY},   {429, UPLOAD_OUTCOME_RETRY, UPLOAD_OUTCOME_RETRY},
        {500, UPLOAD_OUTCOME_RETRY, UPLOAD_OUTCOME_RETRY},   {503, UPLOAD_OUTCOME_RETRY, UPLOAD_OUTCOME_RETRY},
        {400, UPLOAD_OUTCOME_FAILED, UPLOAD_OUTCOME_FAILED}, {301, UPLOAD_OUTCOME_FAILED, UPLOAD_OUTCOME_FAILED},
        {403, UPLOAD_OUTCOME_FAILED, UPLOAD_OUTCOME_FAILED}, {201, UPLOAD_OUTCOME_FAILED, UPLOAD_OUTCOME_FAILED},
    };
    for (const row& r : rows) {
        EXPECT_EQ(upload_create_outcome(r.status), r.create) << r.status;
        EXPECT_EQ(upload_complete_outcome(r.status), r.complete) << r.status;
    }

    struct hrow {
        const char* json;
        size_t cap;
        const char* want;
    } hrows[] = {
        {"{\"x-amz-acl\":\"private\",\"Content-Type\":\"image/png\"}", 1024,
         "x-amz-acl: private\r\nContent-Type: image/png\r\n"},
        {"{\"Content-Length\":\"5\",\"content-length\":\"6\",\"A\":\"1\"}", 1024, "A: 1\r\n"},
        {"{\"n\":5,\"b\":true,\"o\":{},\"ok\":\"yes\"}", 1024, "ok: yes\r\n"},
        {"{\"X\":\"a\\r\\nAuthorization: Bearer x\",\"Y\\r\\nZ\":\"1\",\"W:V\":\"2\",\"ok\":\"1\"}", 1024, "ok: 1\r\n"},
        {"{\"Long\":\"0123456789\",\"S\":\"1\"}", 12, "S: 1\r\n"},
        {"[\"not\",\"an\",\"object\"]", 1024, ""},
    };
    for (const hrow& r : hrows) {
        json_node* node = json_parse(r.json, strlen(r.json));
        ASSERT_NE(node, nullptr) << r.json;
        char out[1024];
        upload_put_headers(node, out, r.cap);
        EXPECT_STREQ(out, r.want) << r.json;
        json_free(node);
    }

    struct irow {
        const char* id;
        bool ok;
    } irows[] = {
        {"abc-123_XYZ", true},
        {"", false},
        {"a/b", false},
        {"..", false},
        {"a b", false},
        {"a?x=1", false},
        {"%2e", false},
        {"0123456789012345678901234567890123456789012345678901234567890123", true},
        {"01234567890123456789012345678901234567890123456789012345678901234", false},
    };
    for (const irow& r : irows) EXPECT_EQ(upload_service_id_ok(r.id), r.ok) << r.id;
}

}  // namespace
