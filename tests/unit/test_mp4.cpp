#include "agent/clips/encoder.h"
#include "agent/clips/mp4.h"
#include "agent/clips/replay_ring.h"
#include "agent/core/worker_pool.h"
#include "common/win.h"
#include "tests/unit/test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
}

namespace {

std::wstring temp_dir() {
    static std::wstring dir = test_temp_dir(L"ivra_mp4_");
    return dir;
}

struct temp_cleanup : testing::Environment {
    void TearDown() override { test_remove_tree(temp_dir()); }
};
const auto* g_cleanup = testing::AddGlobalTestEnvironment(new temp_cleanup);
// The encoders' notes would bury the test output.
const int g_quiet = (av_log_set_level(AV_LOG_ERROR), 0);

std::wstring temp_file(const std::wstring& name) { return temp_dir() + L"\\" + name; }

bool exists(const std::wstring& p) { return GetFileAttributesW(p.c_str()) != INVALID_FILE_ATTRIBUTES; }

void write_all(const std::wstring& p, const std::string& data) {
    HANDLE h = CreateFileW(p.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD w = 0;
    WriteFile(h, data.data(), (DWORD)data.size(), &w, nullptr);
    CloseHandle(h);
}

// ---- Pure rules.

TEST(Mp4Rules, ShiftsTable) {
    struct row {
        const char* what;
        bool audio;
        int64_t pts, dts;
        bool has_dts;
        int64_t base;
        int padding;
        bool keep;
        int64_t out_pts, out_dts;
    };
    const row rows[] = {
        {"first frame of the first take", false, 0, 0, true, 0, 0, true, 0, 0},
        {"frame of a take after a redo", false, 130, 130, true, 120, 0, true, 10, 10},
        {"take's first frame", false, 120, 120, true, 120, 0, true, 0, 0},
        {"late frame of the old take", false, 119, 119, true, 120, 0, false, 0, 0},
        {"no dts takes the new pts", false, 125, 0, false, 120, 0, true, 5, 5},
        {"dts before the take is held at 0", false, 121, 118, true, 120, 0, true, 1, 0},
        {"audio priming packet is kept", true, -1024, -1024, true, 0, 1024, true, -1024, -1024},
        {"audio of the old take", true, 46000, 46000, true, 48000, 1024, false, 0, 0},
        {"audio priming packet of a redo", true, 46976, 46976, true, 48000, 1024, true, -1024, -1024},
        {"audio after a redo", true, 49024, 49024, true, 48000, 1024, true, 1024, 1024},
        {"audio without dts", true, 50048, 0, false, 48000, 1024, true, 2048, 2048},
        {"audio without padding", true, 47999, 47999, true, 48000, 0, false, 0, 0},
    };
    for (const row& r : rows) {
        int64_t p = 777, d = 777;
        const bool keep = r.audio ? mp4_shift_audio(r.pts, r.dts, r.has_dts, r.base, r.padding, &p, &d)
                                  : mp4_shift_video(r.pts, r.dts, r.has_dts, r.base, &p, &d);
        EXPECT_EQ(keep, r.keep) << r.what;
        if (r.keep) {
            EXPECT_EQ(p, r.out_pts) << r.what;
            EXPECT_EQ(d, r.out_dts) << r.what;
        } else {
            EXPECT_EQ(p, 777) << r.what << ": outputs untouched";
            EXPECT_EQ(d, 777) << r.what << ": outputs untouched";
        }
    }
}

TEST(Mp4Rules, RingTrimAndWindowTable) {
    struct row {
        const char* what;
        std::vector<int64_t> pts;
        std::vector<bool> key;
        int64_t keep;  // replay_ring_trim_count's span
        int trim;
        int64_t window;  // replay_ring_start_index's span
        int start;
    };
    // A 30 fps ring of 32 s keeps 960 frames; a 10 s save looks back 300 frames.
    const row rows[] = {
        {"empty ring", {}, {}, 960, 0, 300, -1},
        {"one packet stays", {5}, {false}, 0, 0, 300, -1},
        {"newest always stays", {0, 100, 2000}, {true, false, false}, 10, 2, 300, 0},
        {"nothing older than keep", {0, 10, 20}, {true, true, true}, 20, 0, 300, 0},
        {"exactly keep is kept", {0, 960, 961}, {true, false, true}, 960, 1, 300, 2},
        {"a 32 s ring at 30 fps", {0, 1, 2, 30, 961, 992}, {true, false, false, true, false, true}, 960, 4, 300, 5},
        {"window starts at the first key inside it",
         {0, 15, 30, 45, 60},
         {true, false, true, false, true},
         960,
         0,
         40,
         2},
        {"key exactly at the window edge is outside", {0, 15, 20, 30}, {true, false, true, true}, 960, 0, 10, 3},
        {"window older than the ring: first key", {100, 101, 102, 103}, {false, true, false, true}, 960, 0, 10000, 1},
        {"no key inside the window: first key of the ring",
         {0, 1, 2, 3, 4},
         {true, false, false, false, false},
         960,
         0,
         2,
         0},
        {"no key frame in the ring", {0, 1, 2}, {false, false, false}, 960, 0, 30, -1},
    };
    for (const row& r : rows) {
        const int n = (int)r.pts.size();
        bool keys[16] = {};
        for (int i = 0; i < n; i++) keys[i] = r.key[i];
        EXPECT_EQ(replay_ring_trim_count(r.pts.data(), n, r.keep), r.trim) << r.what;
        EXPECT_EQ(replay_ring_start_index(r.pts.data(), keys, n, r.window), r.start) << r.what;
    }
    struct sec {
        int in, out;
    };
    for (const sec s : {sec{0, 30}, sec{1, 1}, sec{10, 10}, sec{30, 30}, sec{31, 30}, sec{99, 30}, sec{-5, 30}})
        EXPECT_EQ(replay_ring_save_seconds(s.in), s.out) << s.in;
}

// ---- Files.

// What a demuxer finds in a finished file.
struct probe {
    bool opened = false;
    int streams = 0, video_packets = 0, audio_packets = 0;
    bool has_audio = false;
    bool first_video_key = false;
    int64_t first_video_pts = -1;               // in the stream's time base
    double video_start = -1, audio_start = -1;  // seconds
    int width = 0, height = 0;
};

probe probe_file(const std::wstring& path) {
    probe p;
    AVFormatContext* in = nullptr;
    if (avformat_open_input(&in, test_utf8(path).c_str(), nullptr, nullptr) < 0) return p;
    if (avformat_find_stream_info(in, nullptr) < 0) {
        avformat_close_input(&in);
        return p;
    }
    p.opened = true;
    p.streams = (int)in->nb_streams;
    int vi = -1, ai = -1;
    for (unsigned i = 0; i < in->nb_streams; i++) {
        AVStream* st = in->streams[i];
        const double start = st->start_time == AV_NOPTS_VALUE ? -1 : st->start_time * av_q2d(st->time_base);
        if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
            vi = (int)i;
            p.video_start = start;
            p.width = st->codecpar->width;
            p.height = st->codecpar->height;
        } else if (st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
            ai = (int)i;
            p.has_audio = true;
            p.audio_start = start;
        }
    }
    AVPacket* pkt = av_packet_alloc();
    while (av_read_frame(in, pkt) >= 0) {
        if (pkt->stream_index == vi) {
            if (p.video_packets == 0) {
                p.first_video_key = (pkt->flags & AV_PKT_FLAG_KEY) != 0;
                p.first_video_pts = pkt->pts;
            }
            p.video_packets++;
        } else if (pkt->stream_index == ai) {
            p.audio_packets++;
        }
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    avformat_close_input(&in);
    return p;
}

// An encoder record holding only what the writer and the ring use: FFmpeg's software
// H.264 and AAC encoders, without a device or a lane.
struct test_encoder {
    video_encoder* enc = nullptr;
    AVFrame* picture = nullptr;
    int64_t next_pts = 0;
    bool force_key = false;

    test_encoder(int fps, bool audio, int ring_seconds = 0, int gop = 0) {
        enc = (video_encoder*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(video_encoder));
        InitializeSRWLock(&enc->lock);
        enc->width = 160;
        enc->height = 96;
        enc->fps = fps;
        enc->ring_seconds = ring_seconds;
        strcpy(enc->name, "libopenh264 (software)");
        const AVCodec* h264 = avcodec_find_encoder_by_name("libopenh264");
        if (!h264) return;
        AVCodecContext* v = avcodec_alloc_context3(h264);
        v->width = enc->width;
        v->height = enc->height;
        v->time_base = AVRational{1, fps};
        v->framerate = AVRational{fps, 1};
        v->pix_fmt = AV_PIX_FMT_YUV420P;
        v->gop_size = gop > 0 ? gop : fps;
        v->max_b_frames = 0;
        v->bit_rate = 400000;
        v->flags |= AV_CODEC_FLAG_GLOBAL_HEADER | AV_CODEC_FLAG_BITEXACT;
        if (avcodec_open2(v, h264, nullptr) < 0) {
            avcodec_free_context(&v);
            return;
        }
        enc->video = v;
        if (audio) {
            const AVCodec* aac = avcodec_find_encoder(AV_CODEC_ID_AAC);
            AVCodecContext* a = avcodec_alloc_context3(aac);
            a->sample_rate = 48000;
            a->sample_fmt = AV_SAMPLE_FMT_FLTP;
            const AVChannelLayout stereo = AV_CHANNEL_LAYOUT_STEREO;
            av_channel_layout_copy(&a->ch_layout, &stereo);
            a->bit_rate = 160000;
            a->time_base = AVRational{1, 48000};
            a->flags |= AV_CODEC_FLAG_GLOBAL_HEADER | AV_CODEC_FLAG_BITEXACT;
            if (avcodec_open2(a, aac, nullptr) < 0) {
                avcodec_free_context(&a);
                return;
            }
            enc->audio = a;
            enc->fifo = av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, 2, 48000);
        }
        if (ring_seconds > 0) enc->ring = replay_ring_create();
        picture = av_frame_alloc();
        picture->format = AV_PIX_FMT_YUV420P;
        picture->width = enc->width;
        picture->height = enc->height;
        av_frame_get_buffer(picture, 0);
    }
    ~test_encoder() {
        if (!enc) return;
        replay_ring_free(enc->ring);
        avcodec_free_context(&enc->video);
        avcodec_free_context(&enc->audio);
        if (enc->fifo) av_audio_fifo_free(enc->fifo);
        av_frame_free(&picture);
        HeapFree(GetProcessHeap(), 0, enc);
    }
    bool ready() const { return enc && enc->video && picture && (!enc->ring_seconds || enc->ring); }

    // Encodes n moving frames (as the lane's video item does) and drains them.
    void frames(int n) {
        for (int i = 0; i < n; i++) {
            av_frame_make_writable(picture);
            for (int y = 0; y < enc->height; y++)
                for (int x = 0; x < enc->width; x++)
                    picture->data[0][y * picture->linesize[0] + x] = (uint8_t)(x + y + 3 * next_pts);
            for (int y = 0; y < enc->height / 2; y++) {
                memset(picture->data[1] + y * picture->linesize[1], 128, enc->width / 2);
                memset(picture->data[2] + y * picture->linesize[2], 128, enc->width / 2);
            }
            picture->pts = next_pts++;
            // As the capture thread does, a take's first frame is a key frame.
            picture->pict_type = force_key ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
            picture->key_frame = force_key;
            force_key = false;
            avcodec_send_frame(enc->video, picture);
            encoder_lane_drain(enc);
        }
    }
    // Feeds `ms` of a 440 Hz tone in 10 ms chunks, as the audio items do.
    void sound(int ms) {
        std::vector<float> chunk(480 * 2);
        for (int c = 0; c < ms / 10; c++) {
            for (int i = 0; i < 480; i++)
                chunk[2 * i] = chunk[2 * i + 1] = 0.25f * (float)std::sin(0.0576 * (c * 480 + i));
            encoder_lane_audio(enc, chunk.data(), 480);
        }
    }
    // A take start as the capture thread queues it: at the next frame.
    void take(const std::wstring& path) {
        force_key = true;
        encoder_lane_take_start(enc, next_pts, path.c_str());
    }
};

// Removes a clip and its working files; missing ones are fine.
void remove_clip(const std::wstring& path) {
    DeleteFileW(path.c_str());
    DeleteFileW((path + L".part").c_str());
    DeleteFileW((path + L".part.v").c_str());
}

TEST(Mp4Take, FinishedTakesAsTheSessionSeesThem) {
    enum kind { PLAIN, REDO, NO_FRAMES, DISCARD, SYSTEM_OFF, EXISTING, LONGEST_NAME };
    struct row {
        const char* what;
        kind k;
        bool audio;
        bool saved, discarded, no_audio;
        const char* error;  // expected error text ("" none); "rename" = rename failed (80 or 183)
        int streams;        // in the final file (0: no file of ours)
        int frames;
        const wchar_t* name = L"take.mp4";
    };
    const row rows[] = {
        {"a take with sound", PLAIN, true, true, false, false, "", 2, 15},
        {"a take without sound", PLAIN, false, true, false, true, "", 1, 15},
        {"redo keeps only the last take", REDO, true, true, false, false, "", 2, 8},
        {"stop before any frame", NO_FRAMES, true, false, false, false, "no frames were encoded", 0, 0},
        {"cancel", DISCARD, true, false, true, false, "", 0, 12},
        {"system sound switched off", SYSTEM_OFF, true, true, false, true, "", 1, 15},
        // A file that took the name while recording is never replaced; the take goes beside it.
        {"an existing file is never replaced", EXISTING, true, true, false, false, "", 2, 15},
        {"a name outside ASCII", PLAIN, true, true, false, false, "", 2, 15, L"Vid\u00e9os \u5f55\u753b.mp4"},
        // The part name would not fit beside a final path of 259 characters; cut short it
        // would be the final name itself.
        {"a final path with no room for the part name", LONGEST_NAME, true, false, false, false,
         "cannot create file (-38)", 0, 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        test_encoder t(30, r.audio);
        ASSERT_TRUE(t.ready());
        std::wstring path = temp_file(r.name);
        if (r.k == LONGEST_NAME)
            path = temp_file(std::wstring(ENCODER_PATH_MAX - 1 - temp_file(L"").size() - 4, L'x') + L".mp4");
        const std::wstring first = temp_file(L"first take.mp4");
        const std::string existing = "the user's own file\r\n";
        remove_clip(path);
        remove_clip(first);
        if (r.k == EXISTING) write_all(path, existing);

        if (r.k == REDO) {
            t.take(first);
            t.frames(10);
            t.sound(300);
            EXPECT_TRUE(exists(first + L".part"));
        }
        t.take(path);
        EXPECT_EQ(exists(path + L".part"), r.k != LONGEST_NAME) << "the take is written under its part name";
        if (r.k != EXISTING) {
            EXPECT_FALSE(exists(path)) << "nothing appears under the final name while recording";
        }
        if (r.k == REDO) {
            EXPECT_FALSE(exists(first + L".part")) << "a redo deletes the old take";
        }
        if (r.k != NO_FRAMES) {
            t.frames(r.k == REDO ? 8 : r.frames);
            t.sound(500);
        }
        if (r.k == SYSTEM_OFF) InterlockedExchange(&t.enc->sound_off, 1);
        encoder_lane_finish(t.enc, r.k == DISCARD);
        const clip_result& res = t.enc->result;

        EXPECT_EQ(res.saved, r.saved);
        EXPECT_EQ(res.discarded, r.discarded);
        EXPECT_EQ(res.no_audio, r.no_audio);
        if (strcmp(r.error, "rename") == 0) {
            EXPECT_TRUE(strcmp(res.error, "rename failed (80)") == 0 || strcmp(res.error, "rename failed (183)") == 0)
                << res.error;
        } else {
            EXPECT_STREQ(res.error, r.error);
        }
        const std::wstring saved_at = r.k == EXISTING ? temp_file(L"take_2.mp4") : path;
        EXPECT_EQ(std::wstring(res.path), saved_at);
        EXPECT_EQ(res.moved, r.k == EXISTING);
        EXPECT_EQ(res.frames, r.k == NO_FRAMES ? 0 : r.frames);
        EXPECT_EQ(res.fps, 30);
        EXPECT_DOUBLE_EQ(res.seconds, res.frames / 30.0);
        EXPECT_EQ(res.width, 160);
        EXPECT_EQ(res.height, 96);
        EXPECT_STREQ(res.encoder, "libopenh264 (software)");
        EXPECT_FALSE(exists(path + L".part")) << "no part file is left";
        EXPECT_FALSE(exists(path + L".part.v"));
        EXPECT_FALSE(exists(first)) << "the thrown-away take never appears";
        EXPECT_FALSE(exists(first + L".part"));

        if (r.k == EXISTING) {
            EXPECT_EQ(test_read_all(path), existing) << "the existing file is byte-identical";
        }
        if (r.streams == 0) {
            EXPECT_FALSE(exists(path));
        } else {
            const probe p = probe_file(saved_at);
            ASSERT_TRUE(p.opened);
            EXPECT_EQ(p.streams, r.streams);
            EXPECT_EQ(p.has_audio, r.streams == 2);
            EXPECT_EQ(p.video_packets, r.frames);
            EXPECT_TRUE(p.first_video_key);
            EXPECT_EQ(p.first_video_pts, 0);
            EXPECT_DOUBLE_EQ(p.video_start, 0.0);
            if (p.has_audio) {
                EXPECT_GT(p.audio_packets, 0);
                EXPECT_DOUBLE_EQ(p.audio_start, 0.0);
            }
            EXPECT_EQ(p.width, 160);
            EXPECT_EQ(p.height, 96);
            EXPECT_EQ(res.bytes, r.k == SYSTEM_OFF ? mp4_file_size(saved_at.c_str()) : res.bytes);
            EXPECT_GT(res.bytes, 0u);
        }
        remove_clip(path);
        remove_clip(saved_at);
        remove_clip(first);
    }
}

TEST(Mp4Files, NamesBesideATakenName) {
    struct row {
        const wchar_t* path;
        int k;
        const wchar_t* want;  // null: refused
    } rows[] = {
        {L"C:\\v\\clip.mp4", 2, L"C:\\v\\clip_2.mp4"},
        {L"C:\\v\\clip.mp4", 100, L"C:\\v\\clip_100.mp4"},
        {L"C:\\v\\clip.final.mp4", 3, L"C:\\v\\clip.final_3.mp4"},
        {L"C:\\v.d\\clip", 2, L"C:\\v.d\\clip_2"},
        {L"C:\\v\\.mp4", 2, L"C:\\v\\.mp4_2"},
        {L"C:\\v\\clip.mp4", 1, nullptr},
        {L"C:\\v\\clip.mp4", 101, nullptr},
    };
    for (const row& r : rows) {
        wchar_t out[MP4_PATH_MAX] = L"untouched";
        EXPECT_EQ(mp4_beside_name(r.path, r.k, out), r.want != nullptr) << test_utf8(r.path) << " " << r.k;
        EXPECT_EQ(std::wstring(out), r.want ? r.want : L"untouched");
    }
    const std::wstring longest = L"C:\\" + std::wstring(MP4_PATH_MAX - 8, L'x') + L".mp4";  // 259 characters
    wchar_t out[MP4_PATH_MAX];
    EXPECT_FALSE(mp4_beside_name(longest.c_str(), 2, out));
}

// A file that took the final name during the recording keeps its bytes, and so does the take.
TEST(Mp4Files, CommittedTakeGoesBesideTakenNames) {
    struct row {
        const char* what;
        int taken;  // names taken: the final one, then _2, _3 ...
        const wchar_t* want;
    } rows[] = {
        {"a free name", 0, L"beside.mp4"},
        {"the name taken", 1, L"beside_2.mp4"},
        {"the name and _2 taken", 2, L"beside_3.mp4"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        const std::wstring final_path = temp_file(L"beside.mp4"), part = final_path + L".part";
        std::vector<std::wstring> taken;
        for (int i = 0; i < r.taken; i++) {
            wchar_t name[MP4_PATH_MAX];
            if (i == 0)
                wcscpy(name, final_path.c_str());
            else
                ASSERT_TRUE(mp4_beside_name(final_path.c_str(), i + 1, name));
            taken.push_back(name);
            write_all(name, "theirs " + std::to_string(i));
        }
        write_all(part, "the take");
        wchar_t moved[MP4_PATH_MAX] = L"";
        char err[ENCODER_ERROR_MAX] = "";
        EXPECT_TRUE(mp4_commit_take(part.c_str(), final_path.c_str(), moved, err)) << err;
        EXPECT_EQ(std::wstring(moved), temp_file(r.want));
        EXPECT_EQ(test_read_all(moved), "the take");
        EXPECT_FALSE(exists(part));
        for (size_t i = 0; i < taken.size(); i++) EXPECT_EQ(test_read_all(taken[i]), "theirs " + std::to_string(i));
        DeleteFileW(moved);
        for (const auto& t : taken) DeleteFileW(t.c_str());
    }
}

TEST(Mp4Files, CommitNeverReplacesAnExistingFile) {
    const std::wstring part = temp_file(L"commit.mp4.part");
    const std::wstring final_path = temp_file(L"commit.mp4");
    const std::string mine = "existing bytes \x01\x02\x03";
    write_all(part, "new take");
    write_all(final_path, mine);
    char err[ENCODER_ERROR_MAX] = "";
    EXPECT_FALSE(mp4_commit(part.c_str(), final_path.c_str(), err));
    EXPECT_TRUE(strcmp(err, "rename failed (80)") == 0 || strcmp(err, "rename failed (183)") == 0) << err;
    EXPECT_EQ(test_read_all(final_path), mine);
    EXPECT_FALSE(exists(part));

    // And onto a free name it moves the file.
    DeleteFileW(final_path.c_str());
    write_all(part, "new take");
    char err2[ENCODER_ERROR_MAX] = "";
    EXPECT_TRUE(mp4_commit(part.c_str(), final_path.c_str(), err2));
    EXPECT_STREQ(err2, "");
    EXPECT_EQ(test_read_all(final_path), "new take");
    EXPECT_FALSE(exists(part));
    DeleteFileW(final_path.c_str());
}

TEST(Mp4Files, RemuxKeepsOnlyTheVideo) {
    test_encoder t(30, true);
    ASSERT_TRUE(t.ready());
    const std::wstring two = temp_file(L"two streams.mp4");
    const std::wstring out = temp_file(L"video only.mp4");
    remove_clip(two);
    t.take(two);
    t.frames(20);
    t.sound(700);
    encoder_lane_finish(t.enc, false);
    ASSERT_TRUE(t.enc->result.saved) << t.enc->result.error;
    ASSERT_EQ(probe_file(two).streams, 2);

    char err[ENCODER_ERROR_MAX] = "";
    ASSERT_TRUE(mp4_remux_video_only(two.c_str(), out.c_str(), err)) << err;
    const probe p = probe_file(out);
    EXPECT_EQ(p.streams, 1);
    EXPECT_FALSE(p.has_audio);
    EXPECT_EQ(p.video_packets, 20);
    EXPECT_DOUBLE_EQ(p.video_start, 0.0);

    // A take that is not an MP4 is refused and leaves no output behind.
    const std::wstring junk = temp_file(L"junk.mp4");
    const std::wstring junk_out = temp_file(L"junk out.mp4");
    write_all(junk, "not a movie at all");
    char err2[ENCODER_ERROR_MAX] = "";
    EXPECT_FALSE(mp4_remux_video_only(junk.c_str(), junk_out.c_str(), err2));
    EXPECT_STREQ(err2, "remux: cannot read take");
    EXPECT_FALSE(exists(junk_out));
    DeleteFileW(two.c_str());
    DeleteFileW(out.c_str());
    DeleteFileW(junk.c_str());
}

// ---- The replay ring.

TEST(ReplayRing, KeepsTheLastSecondsOfPackets) {
    // A 1 s ring at 30 fps keeps (1 + 2) x 30 frames of video and 1 s + 96000 samples of sound.
    test_encoder t(30, true, 1, 15);
    ASSERT_TRUE(t.ready());
    t.frames(200);
    t.sound(4000);
    replay_ring* r = t.enc->ring;
    ASSERT_GT(r->video_count, 0);
    EXPECT_LE(r->video[r->video_count - 1]->pts - r->video[0]->pts, 90);
    EXPECT_EQ(r->video[r->video_count - 1]->pts, 199);
    EXPECT_EQ(r->video_count, 91);
    ASSERT_GT(r->audio_count, 0);
    EXPECT_LE(r->audio[r->audio_count - 1]->pts - r->audio[0]->pts, 48000 + 96000);
    EXPECT_GT(r->audio[r->audio_count - 1]->pts - r->audio[0]->pts, 48000 + 96000 - 1024 - 1);
    uint64_t held = 0;
    for (int i = 0; i < r->video_count; i++) held += (uint64_t)r->video[i]->size;
    for (int i = 0; i < r->audio_count; i++) held += (uint64_t)r->audio[i]->size;
    EXPECT_EQ(replay_ring_bytes(t.enc->ring), held);
    AcquireSRWLockShared(&t.enc->lock);
    const uint64_t counted = t.enc->packets;
    ReleaseSRWLockShared(&t.enc->lock);
    EXPECT_EQ(counted, 200u) << "every video packet is counted, also those trimmed since";
}

struct save_outcome {
    HANDLE event;
    clip_result result;
    int calls;
};

void on_saved(void* data, const clip_result* res) {
    save_outcome* o = (save_outcome*)data;
    o->result = *res;
    o->calls++;
    SetEvent(o->event);
}

TEST(ReplayRing, SavesAsTheRequesterSeesThem) {
    struct row {
        const char* what;
        int encoded;  // frames in the ring before the save
        int seconds;  // asked for
        bool include_audio;
        bool existing;
        bool saved;
        const char* error;
        int min_frames, max_frames;
        int streams;
    };
    // 30 fps with a key frame every 15 frames; a 30 s ring.
    const row rows[] = {
        {"nothing buffered yet", 0, 10, true, false, false, "replay buffer is empty", 0, 0, 0},
        {"4 s buffered, 10 asked: all of it", 120, 10, true, false, true, "", 120, 120, 2},
        {"2 s asked of 4: from the key frame after the mark", 120, 2, true, false, true, "", 46, 60, 2},
        {"sound switched off at save time", 120, 2, false, false, true, "", 46, 60, 1},
        {"seconds 0 saves up to 30 s", 120, 0, true, false, true, "", 120, 120, 2},
        {"an existing file is never replaced", 120, 3, true, true, false, "rename", 0, 0, 0},
    };
    worker_pool* pool = worker_pool_create("test-clips", 2, 32, THREAD_PRIORITY_NORMAL);
    ASSERT_NE(pool, nullptr);
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        test_encoder t(30, true, ENCODER_RING_SECONDS, 15);
        ASSERT_TRUE(t.ready());
        t.enc->pool = pool;
        t.enc->lane = job_lane_create(pool, ENCODER_QUEUE_CAPACITY);
        ASSERT_NE(t.enc->lane, nullptr);
        t.frames(r.encoded);
        t.sound(r.encoded * 1000 / 30);

        const std::wstring path = temp_file(L"replay.mp4");
        const std::string existing = "keep";
        remove_clip(path);
        if (r.existing) write_all(path, existing);
        save_outcome o{CreateEventW(nullptr, TRUE, FALSE, nullptr), {}, 0};
        ASSERT_TRUE(encoder_save_replay(t.enc, path.c_str(), r.seconds, r.include_audio, on_saved, &o));
        ASSERT_EQ(WaitForSingleObject(o.event, 60000), WAIT_OBJECT_0);
        // The lane ends before the encoder record goes away.
        HANDLE closed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        job_lane_close(
            t.enc->lane, [](void* e) { SetEvent((HANDLE)e); }, closed);
        t.enc->lane = nullptr;
        EXPECT_EQ(WaitForSingleObject(closed, 60000), WAIT_OBJECT_0);
        CloseHandle(closed);
        CloseHandle(o.event);

        const clip_result& res = o.result;
        EXPECT_EQ(o.calls, 1);
        EXPECT_EQ(res.saved, r.saved);
        EXPECT_FALSE(res.discarded);
        if (strcmp(r.error, "rename") == 0) {
            EXPECT_TRUE(strcmp(res.error, "rename failed (80)") == 0 || strcmp(res.error, "rename failed (183)") == 0)
                << res.error;
        } else {
            EXPECT_STREQ(res.error, r.error);
        }
        EXPECT_EQ(std::wstring(res.path), path);
        EXPECT_FALSE(exists(path + L".part"));
        if (r.existing) {
            EXPECT_EQ(test_read_all(path), existing);
        }
        if (!r.saved) {
            if (!r.existing) {
                EXPECT_FALSE(exists(path));
            }
            continue;
        }
        EXPECT_GE(res.frames, r.min_frames);
        EXPECT_LE(res.frames, r.max_frames);
        EXPECT_DOUBLE_EQ(res.seconds, res.frames / 30.0);
        EXPECT_EQ(res.bytes, mp4_file_size(path.c_str()));
        EXPECT_EQ(res.no_audio, r.streams == 1);
        EXPECT_EQ(res.fps, 30);
        const probe p = probe_file(path);
        ASSERT_TRUE(p.opened);
        EXPECT_EQ(p.streams, r.streams);
        EXPECT_EQ(p.video_packets, res.frames);
        EXPECT_TRUE(p.first_video_key) << "a save starts at a key frame";
        EXPECT_EQ(p.first_video_pts, 0);
        EXPECT_DOUBLE_EQ(p.video_start, 0.0);
        remove_clip(path);
    }
    worker_pool_destroy(pool, 10000);
}

}  // namespace
