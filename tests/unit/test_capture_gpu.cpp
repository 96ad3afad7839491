// The capture engine on a real device: the HDR converter turns scRGB frames into
// sRGB bytes scaled by the SDR white level, and read-back refuses regions that do
// not fit the frame or the buffer instead of reading or writing past them.
#include "agent/capture/capture.h"
#include "agent/capture/display_cache.h"
#include "agent/capture/hdr.h"
#include <gtest/gtest.h>
#include <cstring>
#include <vector>

namespace {

// IEEE half from float (normal range and zero are enough here).
uint16_t half_from(float f) {
    uint32_t x;
    memcpy(&x, &f, 4);
    uint32_t sign = (x >> 16) & 0x8000;
    int exp = (int)((x >> 23) & 0xFF) - 127 + 15;
    uint32_t mant = x & 0x7FFFFF;
    if (exp <= 0) return (uint16_t)sign;
    if (exp >= 31) return (uint16_t)(sign | 0x7C00);
    return (uint16_t)(sign | (exp << 10) | ((mant + 0x1000) >> 13));
}

struct gpu_fixture : ::testing::Test {
    display_cache* cache = nullptr;
    void SetUp() override {
        cache = display_cache_build();
        ASSERT_NE(cache, nullptr);
        ASSERT_GE(cache->output_count, 1);
    }
    void TearDown() override { display_cache_destroy(cache); }

    ID3D11Texture2D* make_texture(DXGI_FORMAT format, int w, int h, const void* data, UINT pitch) {
        D3D11_TEXTURE2D_DESC td{};
        td.Width = (UINT)w;
        td.Height = (UINT)h;
        td.MipLevels = td.ArraySize = td.SampleDesc.Count = 1;
        td.Format = format;
        td.Usage = D3D11_USAGE_DEFAULT;
        D3D11_SUBRESOURCE_DATA init = {data, pitch, 0};
        ID3D11Texture2D* t = nullptr;
        EXPECT_HRESULT_SUCCEEDED(cache->device->CreateTexture2D(&td, &init, &t));
        return t;
    }
};

}  // namespace

TEST_F(gpu_fixture, HdrFramesAreScaledAndEncoded) {
    if (!hdr_setup(cache)) GTEST_SKIP() << "no run-time shader compiler here";
    // One row of scRGB values, white level 2.5 (200 nits).
    const float values[] = {0.0f, 0.0025f, 0.18f, 0.5f, 1.25f, 2.5f, 4.0f, -1.0f};
    const int w = 8, h = 2;
    std::vector<uint16_t> px(w * h * 4);
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            uint16_t* p = &px[(y * w + x) * 4];
            p[0] = half_from(values[x]);            // red
            p[1] = half_from(values[(x + 1) % w]);  // green
            p[2] = half_from(values[(x + 2) % w]);  // blue
            p[3] = half_from(1.0f);
        }
    ID3D11Texture2D* src = make_texture(DXGI_FORMAT_R16G16B16A16_FLOAT, w, h, px.data(), w * 8);
    ASSERT_NE(src, nullptr);
    display_output* out = &cache->outputs[0];
    out->sdr_white = 2.5f;
    out->sdr_white_tick = GetTickCount();  // fresh: no query of the system
    display_copy_frame(cache, out, src);
    src->Release();
    ASSERT_NE(out->frame, nullptr);
    ASSERT_EQ(out->frame_w, w);
    // Read the frame back through the normal path; the output's rectangle starts at its origin.
    out->rect = RECT{out->rect.left, out->rect.top, out->rect.left + w, out->rect.top + h};
    frame_buffer fb{};
    ASSERT_TRUE(frame_buffer_ensure(&fb, w, h, w * 4));
    RECT r = out->rect;
    ASSERT_TRUE(capture_read_back(cache, 0, &r, &fb, 0, 0));
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            const uint8_t* b = fb.pixels + y * fb.stride + x * 4;
            EXPECT_NEAR(b[2], hdr_channel_byte(values[x], 2.5f), 1) << "red at " << x;
            EXPECT_NEAR(b[1], hdr_channel_byte(values[(x + 1) % w], 2.5f), 1) << "green at " << x;
            EXPECT_NEAR(b[0], hdr_channel_byte(values[(x + 2) % w], 2.5f), 1) << "blue at " << x;
            EXPECT_EQ(b[3], 255);
        }
    frame_buffer_free(&fb);
}

TEST_F(gpu_fixture, ReadBackStaysInsideFrameAndBuffer) {
    const int w = 16, h = 8;
    std::vector<uint32_t> px(w * h);
    for (int i = 0; i < w * h; i++) px[i] = 0xFF000000u | (uint32_t)i;
    ID3D11Texture2D* src = make_texture(DXGI_FORMAT_B8G8R8A8_UNORM, w, h, px.data(), w * 4);
    ASSERT_NE(src, nullptr);
    display_output* out = &cache->outputs[0];
    display_copy_frame(cache, out, src);
    src->Release();
    ASSERT_NE(out->frame, nullptr);
    out->rect = RECT{100, 50, 100 + w, 50 + h};

    frame_buffer fb{};
    ASSERT_TRUE(frame_buffer_ensure(&fb, 6, 4, 6 * 4 + 8));  // padded rows
    memset(fb.pixels, 0xAB, (size_t)fb.stride * 4);
    RECT part = {104, 52, 108, 55};  // 4 x 3 from frame (4, 2)
    ASSERT_TRUE(capture_read_back(cache, 0, &part, &fb, 1, 1));
    for (int y = 0; y < 4; y++)
        for (int x = 0; x < 6; x++) {
            uint32_t v;
            memcpy(&v, fb.pixels + y * fb.stride + x * 4, 4);
            bool inside = x >= 1 && x < 5 && y >= 1 && y < 4;
            uint32_t want = inside ? px[(2 + y - 1) * w + 4 + x - 1] : 0xABABABABu;
            EXPECT_EQ(v, want) << x << "," << y;
        }
    // Row padding is never written.
    EXPECT_EQ(fb.pixels[6 * 4], 0xAB);

    struct row {
        RECT src;
        int dx, dy;
    } refused[] = {
        {{99, 50, 104, 52}, 0, 0},                                // starts left of the output
        {{110, 50, 117, 52}, 0, 0},                               // runs past the frame's right edge
        {{100, 55, 102, 59}, 0, 0},                               // runs past the frame's bottom
        {{100, 50, 104, 52}, 3, 0},                               // does not fit the buffer at that place
        {{100, 50, 102, 52}, 0, 3},  {{100, 50, 100, 52}, 0, 0},  // empty
        {{100, 50, 102, 52}, -1, 0},
    };
    for (const row& r : refused)
        EXPECT_FALSE(capture_read_back(cache, 0, &r.src, &fb, r.dx, r.dy))
            << r.src.left << "," << r.src.top << " at " << r.dx << "," << r.dy;
    EXPECT_FALSE(capture_read_back(cache, 5, &part, &fb, 0, 0));
    frame_buffer_free(&fb);
}

TEST_F(gpu_fixture, AccessorsRejectBadIndices) {
    RECT r = {1, 2, 3, 4};
    EXPECT_FALSE(display_cache_output_rect(cache, -1, &r));
    EXPECT_FALSE(display_cache_output_rect(cache, cache->output_count, &r));
    EXPECT_EQ(r.left, 1);
    EXPECT_EQ(display_cache_output_index(cache, (HMONITOR)0x1234), -1);
    EXPECT_EQ(display_cache_output_index(cache, cache->outputs[0].monitor), 0);
    EXPECT_EQ(display_cache_generation(cache), 1u);
    ID3D11Texture2D* frame = (ID3D11Texture2D*)1;
    int fresh = 7;
    EXPECT_FALSE(capture_poll(cache, cache->output_count, &frame, &fresh));
    EXPECT_EQ(frame, nullptr);
    EXPECT_EQ(fresh, 0);
    cache->lost = 1;
    EXPECT_EQ(display_cache_video_device(cache), nullptr);
    EXPECT_FALSE(capture_poll(cache, 0, &frame, &fresh));
}

namespace {

LRESULT CALLBACK printed_proc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_PRINTCLIENT || msg == WM_PAINT) {
        PAINTSTRUCT ps;
        HDC dc = msg == WM_PAINT ? BeginPaint(w, &ps) : (HDC)wp;
        RECT r;
        GetClientRect(w, &r);
        HBRUSH b = CreateSolidBrush(RGB(200, 100, 50));
        FillRect(dc, &r, b);
        DeleteObject(b);
        if (msg == WM_PAINT) EndPaint(w, &ps);
        return 0;
    }
    return DefWindowProcW(w, msg, wp, lp);
}

}  // namespace

// PrintWindow of a window of this process (Wine cannot print other processes' windows).
TEST(PrintWindow, WholeWindowWithItsClient) {
    WNDCLASSW wc{};
    wc.lpfnWndProc = printed_proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"IvraPrintedTest";
    RegisterClassW(&wc);
    HWND w = CreateWindowExW(0, wc.lpszClassName, L"printed", WS_OVERLAPPEDWINDOW, 50, 60, 240, 180, nullptr, nullptr,
                             wc.hInstance, nullptr);
    ASSERT_NE(w, nullptr);
    ShowWindow(w, SW_SHOWNOACTIVATE);
    UpdateWindow(w);
    RECT wr, cr;
    GetWindowRect(w, &wr);
    GetClientRect(w, &cr);
    POINT origin = {0, 0};
    ClientToScreen(w, &origin);

    frame_buffer fb{};
    ASSERT_TRUE(capture_print_window(w, &fb));
    EXPECT_EQ((long)fb.width, wr.right - wr.left);
    EXPECT_EQ((long)fb.height, wr.bottom - wr.top);
    EXPECT_NE(fb.timestamp, 0);
    // The middle of the client area, at its place inside the window image.
    int x = origin.x - wr.left + cr.right / 2, y = origin.y - wr.top + cr.bottom / 2;
    const uint8_t* p = fb.pixels + (size_t)y * fb.stride + (size_t)x * 4;
    EXPECT_EQ(p[0], 50);
    EXPECT_EQ(p[1], 100);
    EXPECT_EQ(p[2], 200);

    frame_buffer untouched{};
    EXPECT_FALSE(capture_print_window(nullptr, &untouched));
    DestroyWindow(w);
    EXPECT_FALSE(capture_print_window(w, &untouched));  // gone
    EXPECT_EQ(untouched.pixels, nullptr);
    frame_buffer_free(&fb);
}
