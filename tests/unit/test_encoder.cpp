// The clip video encoder as its callers see it: the encoder chosen for a preference,
// the letterbox and output sizes, the refusals of create, and real files encoded from
// a D3D11 texture and decoded again with FFmpeg.
#include "agent/clips/encoder.h"
#include "agent/core/frame_pool.h"
#include "agent/core/worker_pool.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace {

std::string attempts_text(const char* pref, bool env) {
    encoder_attempt list[ENCODER_MAX_ATTEMPTS];
    int n = encoder_attempts(pref, env, list);
    std::string s;
    for (int i = 0; i < n; i++) {
        if (i) s += ",";
        s += list[i].codec;
        if (list[i].software) s += "(sw)";
    }
    return s;
}

}  // namespace

TEST(EncoderPure, ChoiceSizesAndGop) {
    struct {
        const char* pref;
        bool env;
        const char* want;
    } choice[] = {
        {nullptr, false, "h264_nvenc,h264_amf,h264_mf,h264_mf(sw)"},
        {"", false, "h264_nvenc,h264_amf,h264_mf,h264_mf(sw)"},
        {"auto", false, "h264_nvenc,h264_amf,h264_mf,h264_mf(sw)"},
        {"auto", true, "h264_mf(sw)"},
        {"", true, "h264_mf(sw)"},
        {"h264_mf", true, "h264_mf(sw)"},
        {"h264_mf", false, "h264_mf,h264_mf(sw)"},
        {"h264_nvenc", false, "h264_nvenc"},
        {"h264_nvenc", true, "h264_nvenc"},
        {"h264_amf", true, "h264_amf"},
        {"h264_qsv", false, ""},
        {"libx264", true, ""},
        {"AUTO", false, ""},
    };
    for (const auto& c : choice)
        EXPECT_EQ(attempts_text(c.pref, c.env), c.want) << (c.pref ? c.pref : "(null)") << " env=" << c.env;

    struct {
        const wchar_t* value;
        bool set;
    } env[] = {{nullptr, false}, {L"", false},  {L"1", true},  {L"10", true},   {L"1ab", true},
               {L"1000", false}, {L"0", false}, {L"2", false}, {L"yes", false}, {L" 1", false}};
    for (const auto& c : env)
        EXPECT_EQ(encoder_software_env(c.value), c.set) << (c.value ? test_utf8(c.value) : "(null)");

    struct {
        int sw, sh, ow, oh;
        RECT want;
    } box[] = {
        {1920, 1080, 1280, 1024, {0, 152, 1280, 872}},  // wider: bars above and below
        {1366, 768, 1280, 1024, {0, 152, 1280, 870}},   // 719.6 -> 718 high, top 153 -> 152
        {1080, 1920, 1280, 720, {438, 0, 842, 720}},    // taller: 405 -> 404 wide
        {1000, 999, 640, 480, {80, 0, 560, 480}},      {1920, 1080, 1280, 720, {0, 0, 1280, 720}},  // same shape
        {0, 0, 1280, 720, {0, 0, 1280, 720}},                                                       // empty source
        {5000, 2, 1280, 720, {0, 358, 1280, 360}},  // never thinner than 2
    };
    for (const auto& c : box) {
        RECT r;
        encoder_letterbox(c.sw, c.sh, c.ow, c.oh, &r);
        EXPECT_TRUE(r.left == c.want.left && r.top == c.want.top && r.right == c.want.right &&
                    r.bottom == c.want.bottom)
            << c.sw << "x" << c.sh << " into " << c.ow << "x" << c.oh << " gave " << r.left << "," << r.top << ","
            << r.right << "," << r.bottom;
    }

    struct {
        int sw, sh, w, h;
    } fit[] = {{5000, 1000, 4096, 818},  {1000, 5000, 818, 4096},  {1920, 1080, 1920, 1080}, {1921, 1081, 1920, 1080},
               {8192, 4096, 4096, 2048}, {4096, 4096, 4096, 4096}, {4097, 100, 4096, 98},    {63, 63, 62, 62}};
    for (const auto& c : fit) {
        int w = -1, h = -1;
        encoder_fit_size(c.sw, c.sh, &w, &h);
        EXPECT_EQ(w, c.w) << c.sw << "x" << c.sh;
        EXPECT_EQ(h, c.h) << c.sw << "x" << c.sh;
    }

    struct {
        int fps, ring, gop;
    } gop[] = {{60, 0, 60}, {30, 0, 30}, {60, 30, 30}, {30, 30, 15}, {25, 30, 13}, {1, 30, 1}};
    for (const auto& c : gop) EXPECT_EQ(encoder_gop(c.fps, c.ring), c.gop) << c.fps << " fps ring " << c.ring;
}

namespace {

struct done_box {
    HANDLE event;
    clip_result result;
    int calls;
};

void on_done(void* data, const clip_result* r) {
    done_box* b = (done_box*)data;
    b->result = *r;
    b->calls++;
    SetEvent(b->event);
}

void block_job(void* arg) { WaitForSingleObject((HANDLE)arg, 60000); }

// Opens a gate that holds pool workers and closes its handle, also when a test fails early.
struct gate_guard {
    HANDLE h = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    worker_pool* pool = nullptr;  // a pool of the test's own, destroyed after the gate opened
    ~gate_guard() {
        SetEvent(h);
        if (pool) worker_pool_destroy(pool, 30000);
        CloseHandle(h);
    }
};

// A device as the capture engine makes it, a clips pool and frame memory, and
// IVRA_CLIP_SOFTWARE set so the chain is the software one.
struct encoder_fixture : ::testing::Test {
    ID3D11Device* device = nullptr;
    ID3D11DeviceContext* context = nullptr;
    worker_pool* pool = nullptr;
    frame_pool* frames = nullptr;
    std::wstring dir;
    done_box done = {};

    void SetUp() override {
        HRESULT hr = D3D11CreateDevice(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr,
                                       D3D11_CREATE_DEVICE_BGRA_SUPPORT | D3D11_CREATE_DEVICE_VIDEO_SUPPORT, nullptr, 0,
                                       D3D11_SDK_VERSION, &device, nullptr, &context);
        ASSERT_HRESULT_SUCCEEDED(hr);
        ID3D10Multithread* mt = nullptr;
        if (SUCCEEDED(device->QueryInterface(__uuidof(ID3D10Multithread), (void**)&mt))) {
            mt->SetMultithreadProtected(TRUE);
            mt->Release();
        }
        pool = worker_pool_create("ivra-clips", 1, 32, THREAD_PRIORITY_NORMAL);
        ASSERT_NE(pool, nullptr);
        frames = frame_pool_create("clips", FRAME_POOL_CLIPS_SLOTS, 512ull << 20);
        ASSERT_NE(frames, nullptr);
        SetEnvironmentVariableW(L"IVRA_CLIP_SOFTWARE", L"1");
        dir = test_temp_dir(L"ivra_enc");
        done.event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    void TearDown() override {
        worker_pool_destroy(pool, 30000);
        frame_pool_destroy(frames);
        if (context) context->Release();
        if (device) device->Release();
        SetEnvironmentVariableW(L"IVRA_CLIP_SOFTWARE", nullptr);
        if (done.event) CloseHandle(done.event);
        test_remove_tree(dir);
    }

    encoder_params params(int w, int h, bool audio = false) {
        encoder_params p = {};
        p.device = device;
        p.pool = pool;
        p.frames = frames;
        p.width = w;
        p.height = h;
        p.fps = 30;
        p.kbps = 8000;
        p.preference = L"auto";
        p.audio = audio;
        return p;
    }

    // A BGRA texture: left half white, right half mid grey over a red bottom quarter, so
    // the picture's place, its levels and its colour matrix can be read back from decoded
    // pixels.
    ID3D11Texture2D* pattern(int w, int h) {
        std::vector<uint32_t> px((size_t)w * h);
        for (int y = 0; y < h; y++)
            for (int x = 0; x < w; x++)
                px[(size_t)y * w + x] = x < w / 2 ? 0xFFFFFFFFu : y < h * 3 / 4 ? 0xFF808080u : 0xFFFF0000u;
        D3D11_TEXTURE2D_DESC td = {};
        td.Width = (UINT)w;
        td.Height = (UINT)h;
        td.MipLevels = td.ArraySize = td.SampleDesc.Count = 1;
        td.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
        td.Usage = D3D11_USAGE_DEFAULT;
        td.BindFlags = D3D11_BIND_SHADER_RESOURCE | D3D11_BIND_RENDER_TARGET;
        D3D11_SUBRESOURCE_DATA init = {px.data(), (UINT)w * 4, 0};
        ID3D11Texture2D* t = nullptr;
        EXPECT_HRESULT_SUCCEEDED(device->CreateTexture2D(&td, &init, &t));
        return t;
    }

    bool finish(video_encoder* enc, bool discard) {
        encoder_finish(enc, discard, on_done, &done);
        return WaitForSingleObject(done.event, 120000) == WAIT_OBJECT_0;
    }
};

// Everything a decoder finds in a file.
struct decoded {
    int streams = 0;
    bool audio = false;
    int64_t audio_first_pts = -1;
    int64_t audio_end = 0;  // samples at 48 kHz up to the end of the last audio packet
    int width = 0, height = 0;
    std::vector<int64_t> pts;   // video, in frames
    std::vector<uint8_t> luma;  // first picture's Y plane, width x height
    int key_frames = 0;
    bool first_key = false;  // the first decoded picture is a key frame
};

bool decode_file(const std::wstring& path, decoded* out) {
    AVFormatContext* fmt = nullptr;
    if (avformat_open_input(&fmt, test_utf8(path).c_str(), nullptr, nullptr) < 0) return false;
    bool ok = avformat_find_stream_info(fmt, nullptr) >= 0;
    int vi = ok ? av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0) : -1;
    const AVCodec* codec = vi >= 0 ? avcodec_find_decoder(fmt->streams[vi]->codecpar->codec_id) : nullptr;
    AVCodecContext* dec = codec ? avcodec_alloc_context3(codec) : nullptr;
    ok = dec && avcodec_parameters_to_context(dec, fmt->streams[vi]->codecpar) >= 0 &&
         avcodec_open2(dec, codec, nullptr) >= 0;
    out->streams = (int)fmt->nb_streams;
    AVPacket* pkt = av_packet_alloc();
    AVFrame* f = av_frame_alloc();
    const AVRational tb = ok ? fmt->streams[vi]->time_base : AVRational{1, 1};
    const AVRational rate = ok ? fmt->streams[vi]->avg_frame_rate : AVRational{1, 1};
    auto take = [&]() {
        while (avcodec_receive_frame(dec, f) >= 0) {
            // Timestamps back in frames of the stream's rate.
            out->pts.push_back(av_rescale_q(f->best_effort_timestamp, tb, av_inv_q(rate)));
            if (f->key_frame) out->key_frames++;
            if (out->pts.size() == 1) out->first_key = f->key_frame != 0;
            if (out->luma.empty()) {
                out->width = f->width;
                out->height = f->height;
                out->luma.resize((size_t)f->width * f->height);
                for (int y = 0; y < f->height; y++)
                    memcpy(&out->luma[(size_t)y * f->width], f->data[0] + (size_t)y * f->linesize[0], f->width);
            }
        }
    };
    while (ok && av_read_frame(fmt, pkt) >= 0) {
        if (pkt->stream_index == vi) {
            if (avcodec_send_packet(dec, pkt) < 0) ok = false;
            take();
        } else if (fmt->streams[pkt->stream_index]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
            out->audio = true;
            if (out->audio_first_pts < 0) out->audio_first_pts = pkt->pts;
            const int64_t end = av_rescale_q(pkt->pts + pkt->duration, fmt->streams[pkt->stream_index]->time_base,
                                             AVRational{1, 48000});
            if (end > out->audio_end) out->audio_end = end;
        }
        av_packet_unref(pkt);
    }
    if (ok) {
        avcodec_send_packet(dec, nullptr);
        take();
    }
    av_frame_free(&f);
    av_packet_free(&pkt);
    avcodec_free_context(&dec);
    avformat_close_input(&fmt);
    return ok;
}

// Mean of a block of the luma plane.
double mean_luma(const decoded& d, int x0, int y0, int x1, int y1) {
    double sum = 0;
    for (int y = y0; y < y1; y++)
        for (int x = x0; x < x1; x++) sum += d.luma[(size_t)y * d.width + x];
    return sum / ((double)(x1 - x0) * (y1 - y0));
}

}  // namespace

TEST_F(encoder_fixture, CreateRefusals) {
    struct {
        int w, h;
        const wchar_t* pref;
        bool no_device;
        const char* want;  // whole message, or its beginning when it ends in '*'
    } cases[] = {
        {1280, 720, L"auto", true, "no video-capable D3D11 device"},
        {63, 720, L"auto", false, "clip area too small (62x720)"},
        {1280, 64 + 1, L"auto", false, nullptr},
        {1280, 63, L"auto", false, "clip area too small (1280x62)"},
        {1280, 720, L"h264_qsv", false, "encoder h264_qsv is not supported for clips yet"},
        {1280, 720, L"h264_amf", false, "h264_amf not available"},
        {1280, 720, L"h264_nvenc", false, "h264_nvenc open failed: *"},
    };
    for (const auto& c : cases) {
        encoder_params p = params(c.w, c.h);
        p.preference = c.pref;
        if (c.no_device) p.device = nullptr;
        char err[ENCODER_ERROR_MAX] = "untouched";
        const std::wstring path = dir + L"\\refused.mp4";
        video_encoder* enc = encoder_create(&p, path.c_str(), err);
        if (!c.want) {
            ASSERT_NE(enc, nullptr) << err;
            EXPECT_EQ(enc->width, 1280);
            EXPECT_EQ(enc->height, 64);
            EXPECT_STREQ(err, "untouched");
            ResetEvent(done.event);
            ASSERT_TRUE(finish(enc, true));
            EXPECT_TRUE(done.result.discarded);
            continue;
        }
        EXPECT_EQ(enc, nullptr);
        std::string want = c.want;
        if (!want.empty() && want.back() == '*')
            EXPECT_EQ(std::string(err).substr(0, want.size() - 1), want.substr(0, want.size() - 1)) << err;
        else
            EXPECT_EQ(std::string(err), want);
    }
    // Nothing was written by the refused encoders.
    EXPECT_EQ(GetFileAttributesW((dir + L"\\refused.mp4.part").c_str()), INVALID_FILE_ATTRIBUTES);

    // Without IVRA_CLIP_SOFTWARE "auto" walks the hardware encoders first and still opens one.
    SetEnvironmentVariableW(L"IVRA_CLIP_SOFTWARE", L"0");
    encoder_params p = params(640, 360);
    char err[ENCODER_ERROR_MAX] = "";
    video_encoder* enc = encoder_create(&p, (dir + L"\\auto.mp4").c_str(), err);
    ASSERT_NE(enc, nullptr) << err;
    const std::string name = enc->name;
    EXPECT_FALSE(name.empty());
    ResetEvent(done.event);
    ASSERT_TRUE(finish(enc, false));
    // Stopped before any frame: no file, and the documented reason.
    EXPECT_FALSE(done.result.saved);
    EXPECT_STREQ(done.result.error, "no frames were encoded");
    EXPECT_EQ(std::string(done.result.encoder), name);
    EXPECT_EQ(GetFileAttributesW((dir + L"\\auto.mp4").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(encoder_fixture, LetterboxedClipDecodesFromZero) {
    ID3D11Texture2D* tex = pattern(1920, 1080);
    ASSERT_NE(tex, nullptr);
    const std::wstring path = dir + L"\\clip.mp4";
    char err[ENCODER_ERROR_MAX] = "";
    encoder_params p = params(1280, 1024, true);
    video_encoder* enc = encoder_create(&p, path.c_str(), err);
    ASSERT_NE(enc, nullptr) << err;
    EXPECT_NE(strstr(enc->name, "(software)"), nullptr) << enc->name;

    // Five new frames, then five ticks of a still screen.
    for (int i = 0; i < 5; i++) EXPECT_TRUE(encoder_submit_frame(enc, tex, nullptr, true)) << i;
    for (int i = 0; i < 5; i++) EXPECT_TRUE(encoder_submit_frame(enc, i % 2 ? tex : nullptr, nullptr, false)) << i;
    EXPECT_EQ(encoder_take_frames(enc), 10);
    std::vector<float> tone(2 * 16000);
    for (size_t i = 0; i < tone.size() / 2; i++)
        tone[2 * i] = tone[2 * i + 1] = 0.25f * (float)sin(i * 2 * 3.14159265 * 440 / 48000);
    EXPECT_TRUE(encoder_submit_audio(enc, tone.data(), 16000));
    EXPECT_FALSE(encoder_submit_audio(enc, tone.data(), 0));

    encoder_counters st;
    encoder_stats(enc, &st);
    EXPECT_EQ(st.accepted, 10u);
    EXPECT_EQ(st.repeated, 5u);
    EXPECT_EQ(st.dropped, 0u);
    EXPECT_STREQ(st.name, enc->name);
    tex->Release();

    ASSERT_TRUE(finish(enc, false));
    EXPECT_EQ(done.calls, 1);
    ASSERT_TRUE(done.result.saved) << done.result.error;
    EXPECT_STREQ(done.result.error, "");
    EXPECT_STREQ(done.result.encoder, st.name);
    EXPECT_EQ(done.result.frames, 10);
    EXPECT_EQ(done.result.repeated, 5u);
    EXPECT_EQ(done.result.dropped, 0u);
    EXPECT_EQ(done.result.width, 1280);
    EXPECT_EQ(done.result.height, 1024);
    EXPECT_EQ(GetFileAttributesW((path + L".part").c_str()), INVALID_FILE_ATTRIBUTES);

    decoded d;
    ASSERT_TRUE(decode_file(path, &d));
    EXPECT_EQ(d.streams, 2);
    EXPECT_TRUE(d.audio);
    EXPECT_EQ(d.audio_first_pts, 0);
    ASSERT_EQ(d.pts.size(), 10u);
    for (size_t i = 0; i < d.pts.size(); i++) EXPECT_EQ(d.pts[i], (int64_t)i);
    EXPECT_GE(d.key_frames, 1);
    ASSERT_EQ(d.width, 1280);
    ASSERT_EQ(d.height, 1024);
    // Bars of limited-range black above 152 and from 872; the picture between them,
    // white on the left and grey over red on the right.
    struct {
        int x0, y0, x1, y1;
        double lo, hi;
    } blocks[] = {
        {0, 0, 1280, 148, 14, 19},     {0, 876, 1280, 1024, 14, 19},
        {40, 160, 600, 860, 230, 240}, {680, 160, 1240, 660, 120, 132},
        {0, 150, 1280, 152, 14, 19},   {0, 152, 600, 154, 200, 240},
        {0, 870, 600, 872, 200, 240},  {0, 872, 1280, 874, 14, 19},
        {680, 720, 1240, 860, 58, 68},  // red: 16 + 219 x 0.2126 with BT.709 (BT.601 would give 81)
    };
    for (const auto& b : blocks) {
        const double m = mean_luma(d, b.x0, b.y0, b.x1, b.y1);
        EXPECT_TRUE(m >= b.lo && m <= b.hi)
            << "rows " << b.y0 << "-" << b.y1 << " cols " << b.x0 << "-" << b.x1 << ": mean " << m;
    }
}

TEST_F(encoder_fixture, SeventeenthFrameInFlightIsDropped) {
    ID3D11Texture2D* tex = pattern(320, 240);
    ASSERT_NE(tex, nullptr);
    // The only worker waits, so nothing queued on the lane runs yet.
    gate_guard g;
    HANDLE gate = g.h;
    ASSERT_TRUE(worker_pool_submit(pool, block_job, gate));
    char err[ENCODER_ERROR_MAX] = "";
    encoder_params p = params(320, 240);
    video_encoder* enc = encoder_create(&p, (dir + L"\\held.mp4").c_str(), err);
    ASSERT_NE(enc, nullptr) << err;

    // A repeat with nothing converted yet is no frame at all.
    EXPECT_FALSE(encoder_submit_frame(enc, nullptr, nullptr, false));
    for (int i = 0; i < ENCODER_MAX_IN_FLIGHT; i++)
        EXPECT_TRUE(encoder_submit_frame(enc, tex, nullptr, i % 3 == 0)) << i;
    EXPECT_FALSE(encoder_submit_frame(enc, tex, nullptr, true));
    EXPECT_FALSE(encoder_submit_frame(enc, nullptr, nullptr, false));
    // An empty source rectangle is refused without counting.
    RECT empty = {100, 100, 100, 200};
    EXPECT_FALSE(encoder_submit_frame(enc, tex, &empty, true));
    encoder_counters st;
    encoder_stats(enc, &st);
    EXPECT_EQ(st.accepted, 16u);
    EXPECT_EQ(st.dropped, 2u);
    EXPECT_EQ(st.repeated, 11u);  // the refused repeat was one too
    EXPECT_EQ(st.in_flight, 16);
    EXPECT_GE(st.queue_high, 17);  // the take start and sixteen frames
    // No sound was asked for: a chunk is refused and counted.
    float two[4] = {};
    EXPECT_FALSE(encoder_submit_audio(enc, two, 2));
    encoder_stats(enc, &st);
    EXPECT_EQ(st.audio_dropped, 1u);

    SetEvent(gate);
    ASSERT_TRUE(finish(enc, true));
    tex->Release();
    EXPECT_TRUE(done.result.discarded);
    EXPECT_FALSE(done.result.saved);
    EXPECT_EQ(done.result.dropped, 2u);
    EXPECT_EQ(done.result.repeated, 11u);
    EXPECT_EQ(GetFileAttributesW((dir + L"\\held.mp4").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetFileAttributesW((dir + L"\\held.mp4.part").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(encoder_fixture, BusyWorkersAndFullQueueRefuse) {
    // One worker and room for one queued job.
    gate_guard g;
    worker_pool* busy = g.pool = worker_pool_create("ivra-clips", 1, 1, THREAD_PRIORITY_NORMAL);
    ASSERT_NE(busy, nullptr);
    HANDLE gate = g.h;
    auto running = [&] {
        pool_stats ps;
        return worker_pool_stats(busy, &ps) && ps.depth == 0;
    };
    ASSERT_TRUE(worker_pool_submit(busy, block_job, gate));
    ASSERT_TRUE(test_wait_until(running, 10000));
    ASSERT_TRUE(worker_pool_submit(busy, block_job, gate));  // the queue is full now

    encoder_params p = params(320, 240, true);
    p.pool = busy;
    char err[ENCODER_ERROR_MAX] = "";
    EXPECT_EQ(encoder_create(&p, (dir + L"\\busy.mp4").c_str(), err), nullptr);
    EXPECT_STREQ(err, "clips workers busy");

    SetEvent(gate);
    ASSERT_TRUE(test_wait_until(
        [&] {
            pool_stats ps;
            return worker_pool_stats(busy, &ps) && ps.depth == 0 && ps.completed == 2;
        },
        10000));
    ResetEvent(gate);
    ASSERT_TRUE(worker_pool_submit(busy, block_job, gate));
    ASSERT_TRUE(test_wait_until(running, 10000));
    video_encoder* enc = encoder_create(&p, (dir + L"\\busy.mp4").c_str(), err);
    ASSERT_NE(enc, nullptr) << err;
    // The lane holds 80 items: the take start and 79 chunks of sound; the next is refused.
    float chunk[2 * 480] = {};
    for (int i = 0; i < ENCODER_QUEUE_CAPACITY - 1; i++) EXPECT_TRUE(encoder_submit_audio(enc, chunk, 480)) << i;
    EXPECT_FALSE(encoder_submit_audio(enc, chunk, 480));
    encoder_counters st;
    encoder_stats(enc, &st);
    EXPECT_EQ(st.audio_dropped, 1u);
    EXPECT_EQ(st.queue, ENCODER_QUEUE_CAPACITY);
    EXPECT_EQ(st.queue_high, ENCODER_QUEUE_CAPACITY);

    // The finish cannot be queued for about a second; it still runs once, after the work
    // queued before it, and reports.
    encoder_finish(enc, false, on_done, &done);
    EXPECT_EQ(WaitForSingleObject(done.event, 0), (DWORD)WAIT_TIMEOUT);
    SetEvent(gate);
    EXPECT_EQ(WaitForSingleObject(done.event, 120000), WAIT_OBJECT_0);
    EXPECT_EQ(done.calls, 1);
    EXPECT_FALSE(done.result.saved);
    EXPECT_FALSE(done.result.discarded);
    EXPECT_STREQ(done.result.error, "no frames were encoded");
    EXPECT_EQ(GetFileAttributesW((dir + L"\\busy.mp4.part").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(encoder_fixture, NewTakeStartsWithKeyFrameAtZero) {
    ID3D11Texture2D* tex = pattern(640, 480);
    ASSERT_NE(tex, nullptr);
    const std::wstring first = dir + L"\\first.mp4", second = dir + L"\\second.mp4";
    char err[ENCODER_ERROR_MAX] = "";
    encoder_params p = params(640, 480);
    video_encoder* enc = encoder_create(&p, first.c_str(), err);
    ASSERT_NE(enc, nullptr) << err;
    for (int i = 0; i < 7; i++) EXPECT_TRUE(encoder_submit_frame(enc, tex, nullptr, i < 4));
    // A redo in the middle of a group of pictures (one key frame a second at 30 fps).
    ASSERT_TRUE(encoder_start_take(enc, second.c_str()));
    EXPECT_EQ(encoder_take_frames(enc), 0);
    for (int i = 0; i < 5; i++) EXPECT_TRUE(encoder_submit_frame(enc, tex, nullptr, i == 2));
    EXPECT_EQ(encoder_take_frames(enc), 5);
    tex->Release();
    ASSERT_TRUE(finish(enc, false));
    ASSERT_TRUE(done.result.saved) << done.result.error;
    EXPECT_EQ(done.result.frames, 5);
    EXPECT_EQ(done.result.repeated, 7u);
    EXPECT_EQ(GetFileAttributesW(first.c_str()), INVALID_FILE_ATTRIBUTES);

    decoded d;
    ASSERT_TRUE(decode_file(second, &d));
    ASSERT_EQ(d.pts.size(), 5u);
    EXPECT_EQ(d.pts.front(), 0);
    EXPECT_EQ(d.pts.back(), 4);
    EXPECT_GE(d.key_frames, 1);
    EXPECT_TRUE(d.first_key);
}

// After a redo the audio thread may still queue sound of the old timeline behind the
// take start: only sound of a timeline begun at the take's start or later enters it.
TEST_F(encoder_fixture, RedoDropsSoundOfTheOldTimeline) {
    ID3D11Texture2D* tex = pattern(320, 240);
    ASSERT_NE(tex, nullptr);
    const std::wstring first = dir + L"\\old sound.mp4", second = dir + L"\\new sound.mp4";
    char err[ENCODER_ERROR_MAX] = "";
    encoder_params p = params(320, 240, true);
    video_encoder* enc = encoder_create(&p, first.c_str(), err);
    ASSERT_NE(enc, nullptr) << err;
    std::vector<float> chunk(2 * 4800, 0.25f);  // 100 ms
    const int64_t redo_at = 5000;
    struct {
        int64_t timeline;  // the chunk's timeline start; INT64_MAX: unstamped
        int chunks;
        bool after_redo;
    } feed[] = {
        {1000, 2, false},          // the first take's sound
        {1000, 5, true},           // the old timeline, queued late
        {redo_at, 2, true},        // the new timeline
        {redo_at + 100, 1, true},  // a later reset (the first picture of the take)
        {INT64_MAX, 1, true},      // a feeder in step with the takes (the test tone)
    };
    // Frames a few at a time: no more than 16 may be in flight.
    auto pictures = [&](int n) {
        for (int i = 0; i < n; i++) {
            const ULONGLONG end = GetTickCount64() + 30000;
            while (InterlockedCompareExchange(&enc->in_flight, 0, 0) >= 8 && GetTickCount64() < end) Sleep(2);
            EXPECT_TRUE(encoder_submit_frame(enc, tex, nullptr, i == 0)) << i;
        }
    };
    pictures(10);
    bool redone = false;
    for (const auto& f : feed) {
        if (f.after_redo && !redone) {
            ASSERT_TRUE(encoder_start_take_at(enc, second.c_str(), redo_at));
            pictures(30);
            redone = true;
        }
        for (int i = 0; i < f.chunks; i++) EXPECT_TRUE(encoder_submit_audio_from(enc, chunk.data(), 4800, f.timeline));
    }
    tex->Release();
    ASSERT_TRUE(finish(enc, false));
    ASSERT_TRUE(done.result.saved) << done.result.error;
    decoded d;
    ASSERT_TRUE(decode_file(second, &d));
    EXPECT_TRUE(d.audio);
    // 400 ms of the new take and the AAC encoder's last frame.
    EXPECT_GE(d.audio_end, 4 * 4800);
    EXPECT_LE(d.audio_end, 4 * 4800 + 1024);
}

namespace {

// Waits until every frame queued on the encoder has been encoded.
bool wait_idle(video_encoder* enc) {
    const ULONGLONG end = GetTickCount64() + 60000;
    encoder_counters st;
    do {
        encoder_stats(enc, &st);
        if (st.in_flight == 0) return true;
        Sleep(5);
    } while (GetTickCount64() < end);
    return false;
}

struct debug_hooks_on {
    debug_hooks_on() { SetEnvironmentVariableW(L"IVRA_DEBUG_HOOKS", L"1"); }
    ~debug_hooks_on() {
        encoder_debug_fail(true, 0);
        encoder_debug_fail(false, 0);
        SetEnvironmentVariableW(L"IVRA_DEBUG_HOOKS", nullptr);
    }
};

}  // namespace

// On the CPU path a picture that cannot be converted costs that picture only: the take
// goes on, the last picture stands in, and a take still begins with a key frame.
TEST_F(encoder_fixture, FailedConversionDropsOnlyThatFrame) {
    debug_hooks_on hooks;
    struct {
        const char* what;
        int redo_after;  // frames of a first take before a redo, 0 for none
        int fail_at;     // frame of the (last) take whose conversion fails
        int frames;      // frames of the (last) take
        size_t decoded;
        int64_t first_pts;
    } cases[] = {
        {"a middle frame", 0, 3, 8, 8, 0},
        {"the first frame, with no picture before it", 0, 0, 8, 7, 1},
        {"the first frame of a redo", 6, 0, 5, 5, 0},
    };
    ID3D11Texture2D* tex = pattern(320, 240);
    ASSERT_NE(tex, nullptr);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::wstring first = dir + L"\\conv1.mp4", path = dir + L"\\conv.mp4";
        char err[ENCODER_ERROR_MAX] = "";
        encoder_params p = params(320, 240);
        video_encoder* enc = encoder_create(&p, (c.redo_after ? first : path).c_str(), err);
        ASSERT_NE(enc, nullptr) << err;
        if (!enc->cpu_path) {
            encoder_finish(enc, true, nullptr, nullptr);
            GTEST_SKIP() << "the device converts on the GPU";
        }
        for (int i = 0; i < c.redo_after; i++) EXPECT_TRUE(encoder_submit_frame(enc, tex, nullptr, true));
        if (c.redo_after) {
            ASSERT_TRUE(encoder_start_take(enc, path.c_str()));
        }
        for (int i = 0; i < c.frames; i++) {
            if (i == c.fail_at) {
                ASSERT_TRUE(wait_idle(enc));
                ASSERT_TRUE(encoder_debug_fail(true, 1));
            }
            EXPECT_TRUE(encoder_submit_frame(enc, tex, nullptr, true)) << i;
        }
        ASSERT_TRUE(wait_idle(enc));
        EXPECT_FALSE(encoder_failed(enc, err)) << err;
        ResetEvent(done.event);
        ASSERT_TRUE(finish(enc, false));
        ASSERT_TRUE(done.result.saved) << done.result.error;
        decoded d;
        ASSERT_TRUE(decode_file(path, &d));
        ASSERT_EQ(d.pts.size(), c.decoded);
        EXPECT_EQ(d.pts.front(), c.first_pts);
        EXPECT_EQ(d.pts.back(), c.frames - 1);
        EXPECT_TRUE(d.first_key);
        DeleteFileW(path.c_str());
    }
    tex->Release();
}

// A replay encoder whose encoding failed keeps its ring as it was. A save may still write
// it while it ends within half a second of the request; later ones fail instead of
// writing old seconds.
TEST_F(encoder_fixture, FailedReplayEncoderRefusesStaleSaves) {
    debug_hooks_on hooks;
    struct {
        const char* what;
        int after;  // frames submitted after the failed one; -1: nothing fails
        bool saved;
    } cases[] = {
        {"healthy", -1, true},
        {"failed on the newest frame", 0, true},
        {"failed a second before the save", 30, false},
    };
    ID3D11Texture2D* tex = pattern(320, 240);
    ASSERT_NE(tex, nullptr);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        char err[ENCODER_ERROR_MAX] = "";
        encoder_params p = params(320, 240);
        p.ring_seconds = ENCODER_RING_SECONDS;
        video_encoder* enc = encoder_create(&p, nullptr, err);
        ASSERT_NE(enc, nullptr) << err;
        for (int i = 0; i < 20; i++) {
            if (i % 8 == 0) {
                ASSERT_TRUE(wait_idle(enc));  // never 16 in flight
            }
            EXPECT_TRUE(encoder_submit_frame(enc, tex, nullptr, i % 4 == 0)) << i;
        }
        if (c.after >= 0) {
            ASSERT_TRUE(wait_idle(enc));
            ASSERT_TRUE(encoder_debug_fail(false, 1));
            for (int i = 0; i <= c.after; i++) {
                if (i % 8 == 0) {
                    ASSERT_TRUE(wait_idle(enc));
                }
                EXPECT_TRUE(encoder_submit_frame(enc, tex, nullptr, false)) << i;
            }
        }
        ASSERT_TRUE(wait_idle(enc));
        EXPECT_EQ(encoder_failed(enc, err), c.after >= 0);
        if (c.after >= 0) {
            EXPECT_STREQ(err, "send frame failed (-22)");
        }

        const std::wstring path = dir + L"\\replay.mp4";
        done_box saved = {CreateEventW(nullptr, TRUE, FALSE, nullptr), {}, 0};
        ASSERT_TRUE(encoder_save_replay(enc, path.c_str(), 30, false, on_done, &saved));
        EXPECT_EQ(WaitForSingleObject(saved.event, 60000), (DWORD)WAIT_OBJECT_0);
        CloseHandle(saved.event);
        encoder_finish(enc, true, nullptr, nullptr);
        EXPECT_EQ(saved.result.saved, c.saved) << saved.result.error;
        if (c.saved) {
            decoded d;
            ASSERT_TRUE(decode_file(path, &d));
            EXPECT_EQ(d.pts.size(), 20u);
            EXPECT_TRUE(d.first_key);
        } else {
            EXPECT_STREQ(saved.result.error, "replay encoder failed: send frame failed (-22)");
            EXPECT_EQ(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES);
            EXPECT_EQ(GetFileAttributesW((path + L".part").c_str()), INVALID_FILE_ATTRIBUTES);
        }
        DeleteFileW(path.c_str());
    }
    tex->Release();
}

// A measurement, not a check: run with --gtest_also_run_disabled_tests to print the
// encode time of 1080p frames on this machine.
TEST_F(encoder_fixture, DISABLED_Speed1080p) {
    ID3D11Texture2D* tex = pattern(1920, 1080);
    ASSERT_NE(tex, nullptr);
    char err[ENCODER_ERROR_MAX] = "";
    encoder_params p = params(1920, 1080);
    p.kbps = 20000;
    video_encoder* enc = encoder_create(&p, (dir + L"\\speed.mp4").c_str(), err);
    ASSERT_NE(enc, nullptr) << err;
    LARGE_INTEGER f, t0, t1;
    QueryPerformanceFrequency(&f);
    double submit_ms = 0;
    int accepted = 0;
    std::vector<uint32_t> band(1920 * 80);
    for (int i = 0; i < 150; i++) {
        // Move a striped band so every frame differs.
        for (int x = 0; x < 1920; x++)
            for (int y = 0; y < 80; y++)
                band[(size_t)y * 1920 + x] = ((x + i * 16) / 64) % 2 ? 0xFF2060C0u : 0xFFF0E0D0u;
        const UINT top = (UINT)((i * 7) % 1000);
        D3D11_BOX b = {0, top, 0, 1920, top + 80, 1};
        context->UpdateSubresource(tex, 0, &b, band.data(), 1920 * 4, 0);
        QueryPerformanceCounter(&t0);
        accepted += encoder_submit_frame(enc, tex, nullptr, true) ? 1 : 0;
        QueryPerformanceCounter(&t1);
        submit_ms += (double)(t1.QuadPart - t0.QuadPart) * 1000.0 / (double)f.QuadPart;
        test_wait_until([&] { return InterlockedCompareExchange(&enc->in_flight, 0, 0) < 4; }, 10000);
    }
    test_wait_until([&] { return InterlockedCompareExchange(&enc->in_flight, 0, 0) == 0; }, 60000);
    encoder_counters st;
    encoder_stats(enc, &st);
    printf("1080p: %d accepted, submit %.2f ms/frame on the capture thread; on the worker convert %.2f ms, "
           "encode %.2f ms per frame (%s)\n",
           accepted, submit_ms / 150, st.convert_ms, st.encode_ms, st.name);
    tex->Release();
    ASSERT_TRUE(finish(enc, true));
    EXPECT_EQ(accepted, 150);
}
