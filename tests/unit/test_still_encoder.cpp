#include "agent/capture/still_encoder.h"
#include "agent/core/frame_pool.h"
#include "common/win.h"
#include "tests/unit/test_support.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::wstring temp_dir() {
    static std::wstring dir = [] {
        std::wstring d = test_temp_dir(L"ivra_still_");
        // The log lands here too, so the outcome lines can be checked.
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

std::wstring temp_file(const wchar_t* name) { return temp_dir() + L"\\" + name; }

bool exists(const std::wstring& p) { return GetFileAttributesW(p.c_str()) != INVALID_FILE_ATTRIBUTES; }

void write_all(const std::wstring& p, const std::string& data) {
    HANDLE h = CreateFileW(p.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD w = 0;
    WriteFile(h, data.data(), (DWORD)data.size(), &w, nullptr);
    CloseHandle(h);
}

// BGRA pixels with `pad` bytes of 0xAB after each row, so ignoring the stride shows.
struct test_image {
    std::vector<uint8_t> mem;
    still_image img;
};

enum pattern { NOISE, GRADIENT };

test_image make_image(int w, int h, int pad, pattern kind, uint32_t seed = 12345) {
    test_image t;
    const int stride = w * 4 + pad;
    t.mem.assign((size_t)stride * h, 0xAB);
    uint32_t x = seed;
    for (int y = 0; y < h; ++y)
        for (int i = 0; i < w; ++i) {
            uint8_t* p = &t.mem[(size_t)y * stride + i * 4];
            if (kind == NOISE) {
                for (int c = 0; c < 4; ++c) {
                    x = x * 1664525u + 1013904223u;
                    p[c] = (uint8_t)(x >> 24);
                }
            } else {
                p[0] = (uint8_t)(i * 255 / (w > 1 ? w - 1 : 1));
                p[1] = (uint8_t)(y * 255 / (h > 1 ? h - 1 : 1));
                p[2] = (uint8_t)((i + y) * 255 / (w + h));
                p[3] = 255;
            }
        }
    t.img = still_image{t.mem.data(), w, h, stride};
    return t;
}

// Peak signal-to-noise ratio over the colour channels.
double psnr(const still_image& a, const still_decoded& b) {
    double se = 0;
    for (int y = 0; y < a.height; ++y)
        for (int x = 0; x < a.width; ++x)
            for (int c = 0; c < 3; ++c) {
                const double d = (double)a.pixels[(size_t)y * a.stride + x * 4 + c] -
                                 (double)b.pixels[((size_t)y * b.width + x) * 4 + c];
                se += d * d;
            }
    const double mse = se / ((double)a.width * a.height * 3);
    return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

}  // namespace

TEST(StillEncoder, JpegQscaleMapping) {
    const struct {
        int quality, q;
    } cases[] = {
        {100, 1}, {99, 2}, {90, 11}, {80, 21}, {71, 30}, {70, 31},     {60, 31},      {10, 31},
        {1, 31},  {0, 31}, {-7, 31}, {101, 1}, {250, 1}, {INT_MAX, 1}, {INT_MIN, 31},
    };
    for (const auto& c : cases) EXPECT_EQ(still_jpeg_qscale(c.quality), c.q) << "quality " << c.quality;
}

TEST(StillEncoder, PngRoundTripIsExact) {
    const struct {
        int w, h, pad;
    } cases[] = {
        {1, 1, 0}, {1, 1, 28}, {17, 5, 0}, {64, 48, 12}, {333, 2, 4}, {3, 211, 60},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " pad " << c.pad);
        test_image t = make_image(c.w, c.h, c.pad, NOISE);
        const std::wstring path = temp_file(L"exact.png");
        char err[STILL_ERR_MAX] = "";
        ASSERT_TRUE(still_encode_file(&t.img, STILL_PNG, 90, path.c_str(), err, sizeof err)) << err;
        EXPECT_FALSE(exists(path + L".part"));
        still_decoded d{};
        ASSERT_TRUE(still_decode_file(path.c_str(), &d, err, sizeof err)) << err;
        EXPECT_STREQ(d.pix_fmt, "rgb24");
        ASSERT_EQ(d.width, c.w);
        ASSERT_EQ(d.height, c.h);
        int wrong = 0;
        for (int y = 0; y < c.h; ++y)
            for (int x = 0; x < c.w; ++x)
                for (int ch = 0; ch < 3; ++ch)
                    wrong +=
                        t.img.pixels[(size_t)y * t.img.stride + x * 4 + ch] != d.pixels[((size_t)y * c.w + x) * 4 + ch];
        EXPECT_EQ(wrong, 0);
        still_decoded_free(&d);
        DeleteFileW(path.c_str());
    }
}

TEST(StillEncoder, JpegKeepsSizeAndQuality) {
    const struct {
        int w, h, pad;
        double min_psnr;
    } cases[] = {
        {1, 1, 0, 0},
        {2, 3, 8, 0},
        {320, 200, 0, 35.0},
        {257, 129, 36, 35.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " pad " << c.pad);
        test_image t = make_image(c.w, c.h, c.pad, GRADIENT);
        const std::wstring path = temp_file(L"q90.jpg");
        char err[STILL_ERR_MAX] = "";
        ASSERT_TRUE(still_encode_file(&t.img, STILL_JPEG, 90, path.c_str(), err, sizeof err)) << err;
        still_decoded d{};
        ASSERT_TRUE(still_decode_file(path.c_str(), &d, err, sizeof err)) << err;
        EXPECT_STREQ(d.pix_fmt, "yuvj420p");
        ASSERT_EQ(d.width, c.w);
        ASSERT_EQ(d.height, c.h);
        if (c.min_psnr > 0) {
            EXPECT_GT(psnr(t.img, d), c.min_psnr);
        }
        still_decoded_free(&d);
        DeleteFileW(path.c_str());
    }
}

TEST(StillEncoder, JpegQualityFollowsTheScaleMapping) {
    test_image t = make_image(96, 64, 0, NOISE);
    auto encode = [&](int quality) {
        const std::wstring path = temp_file(L"q.jpg");
        char err[STILL_ERR_MAX] = "";
        EXPECT_TRUE(still_encode_file(&t.img, STILL_JPEG, quality, path.c_str(), err, sizeof err)) << err;
        std::string bytes = test_read_all(path);
        DeleteFileW(path.c_str());
        return bytes;
    };
    const std::string q100 = encode(100), q99 = encode(99), q60 = encode(60), q10 = encode(10);
    ASSERT_FALSE(q100.empty());
    // Compared as flags: a failure would otherwise print both files.
    EXPECT_TRUE(q100 != q99);
    EXPECT_TRUE(q60 == q10);
    // Finer scale, more bytes: the scale really reaches the codec.
    EXPECT_GT(q100.size(), q60.size());
}

TEST(StillEncoder, ReusedEncoderMatchesOneShot) {
    test_image a = make_image(40, 30, 8, NOISE, 1), b = make_image(40, 30, 8, NOISE, 2);
    char err[STILL_ERR_MAX] = "";
    for (int format : {STILL_PNG, STILL_JPEG}) {
        SCOPED_TRACE(format);
        still_encoder* enc = still_encoder_create(40, 30, format, 90, err, sizeof err);
        ASSERT_NE(enc, nullptr) << err;
        for (const test_image* t : {&a, &b, &a}) {
            ASSERT_TRUE(still_encoder_convert(enc, &t->img));
            const uint8_t* data = nullptr;
            size_t size = 0;
            ASSERT_TRUE(still_encoder_encode(enc, &data, &size, err, sizeof err)) << err;
            const std::wstring path = temp_file(L"oneshot");
            ASSERT_TRUE(still_encode_file(&t->img, format, 90, path.c_str(), err, sizeof err)) << err;
            EXPECT_TRUE(std::string((const char*)data, size) == test_read_all(path));
            DeleteFileW(path.c_str());
        }
        still_image wrong_size = a.img;
        wrong_size.width = 39;
        EXPECT_FALSE(still_encoder_convert(enc, &wrong_size));
        still_encoder_destroy(enc);
    }
}

TEST(StillEncoder, BadInputIsRefusedAndWritesNothing) {
    test_image t = make_image(8, 8, 0, NOISE);
    const struct {
        const char* what;
        int w, h, stride;
        bool null_pixels;
    } cases[] = {
        {"zero width", 0, 8, 32, false}, {"zero height", 8, 0, 32, false},
        {"negative", -4, 8, 32, false},  {"stride too small", 8, 8, 31, false},
        {"no pixels", 8, 8, 32, true},   {"beyond the encoder", 3000000, 1, 12000000, false},
    };
    const std::wstring path = temp_file(L"bad.png");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        still_image img{c.null_pixels ? nullptr : t.mem.data(), c.w, c.h, c.stride};
        char err[STILL_ERR_MAX] = "";
        EXPECT_FALSE(still_encode_file(&img, STILL_PNG, 90, path.c_str(), err, sizeof err));
        EXPECT_NE(err[0], 0);
        EXPECT_FALSE(exists(path));
        EXPECT_FALSE(exists(path + L".part"));
    }
}

// A failed encode or write leaves nothing under the capture's name, and an
// existing file is only ever replaced by a complete image.
TEST(StillEncoder, FailedWriteLeavesNoFileAndKeepsTheOldOne) {
    test_image t = make_image(32, 16, 0, NOISE);
    char err[STILL_ERR_MAX] = "";

    const std::wstring missing = temp_dir() + L"\\no_such_folder\\shot.png";
    EXPECT_FALSE(still_encode_file(&t.img, STILL_PNG, 90, missing.c_str(), err, sizeof err));
    EXPECT_NE(std::string(err).find("write:"), std::string::npos) << err;
    EXPECT_FALSE(exists(missing));

    // The destination is held open without delete sharing: the move fails.
    const std::wstring held = temp_file(L"held.png");
    write_all(held, "old contents");
    HANDLE h = CreateFileW(held.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(still_encode_file(&t.img, STILL_PNG, 90, held.c_str(), err, sizeof err));
    CloseHandle(h);
    EXPECT_EQ(test_read_all(held), "old contents");
    EXPECT_FALSE(exists(held + L".part"));

    // A folder in the way is not replaced.
    const std::wstring folder = temp_file(L"folder.png");
    CreateDirectoryW(folder.c_str(), nullptr);
    EXPECT_FALSE(still_encode_file(&t.img, STILL_JPEG, 90, folder.c_str(), err, sizeof err));
    const DWORD attr = GetFileAttributesW(folder.c_str());
    EXPECT_TRUE(attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_FALSE(exists(folder + L".part"));

    // A bad image does not disturb an existing file either.
    still_image bad = t.img;
    bad.stride = 4;
    EXPECT_FALSE(still_encode_file(&bad, STILL_PNG, 90, held.c_str(), err, sizeof err));
    EXPECT_EQ(test_read_all(held), "old contents");

    // A complete image does replace it.
    ASSERT_TRUE(still_encode_file(&t.img, STILL_PNG, 90, held.c_str(), err, sizeof err)) << err;
    still_decoded d{};
    ASSERT_TRUE(still_decode_file(held.c_str(), &d, err, sizeof err)) << err;
    EXPECT_EQ(d.width, 32);
    still_decoded_free(&d);

    // A stale .part from an earlier crash is overwritten, not appended to.
    const std::wstring fresh = temp_file(L"fresh.png");
    write_all(fresh + L".part", std::string(100000, 'x'));
    ASSERT_TRUE(still_encode_file(&t.img, STILL_PNG, 90, fresh.c_str(), err, sizeof err)) << err;
    EXPECT_FALSE(exists(fresh + L".part"));
    ASSERT_TRUE(still_decode_file(fresh.c_str(), &d, err, sizeof err)) << err;
    EXPECT_LT(test_read_all(fresh).size(), 100000u);
    still_decoded_free(&d);

    DeleteFileW(held.c_str());
    DeleteFileW(fresh.c_str());
    RemoveDirectoryW(folder.c_str());
}

TEST(StillEncoder, WriteFileRefusesEmptyAndLongInput) {
    char err[STILL_ERR_MAX] = "";
    const uint8_t byte = 1;
    const std::wstring path = temp_file(L"w.bin");
    EXPECT_FALSE(still_write_file(path.c_str(), nullptr, 0, err, sizeof err));
    EXPECT_FALSE(still_write_file(L"", &byte, 1, err, sizeof err));
    EXPECT_FALSE(still_write_file(std::wstring(300, L'a').c_str(), &byte, 1, err, sizeof err));
    EXPECT_FALSE(exists(path));
    ASSERT_TRUE(still_write_file(path.c_str(), &byte, 1, err, sizeof err)) << err;
    EXPECT_EQ(test_read_all(path), std::string(1, '\1'));
    DeleteFileW(path.c_str());

    // A name that fits 259 characters while its ".part" twin does not is still written.
    const std::wstring long_dir = temp_dir() + L"\\" + std::wstring(200, L'd');
    ASSERT_TRUE(CreateDirectoryW(long_dir.c_str(), nullptr));
    const std::wstring long_path = long_dir + L"\\" + std::wstring(257 - long_dir.size() - 5, L'n') + L".png";
    ASSERT_EQ(long_path.size(), 257u);
    ASSERT_TRUE(still_write_file(long_path.c_str(), &byte, 1, err, sizeof err)) << err;
    EXPECT_EQ(test_read_all(long_path), std::string(1, '\1'));
    EXPECT_FALSE(exists(long_path + L".part"));
}

TEST(StillEncoder, DecodeRejectsWhatIsNotAnImage) {
    const struct {
        const char* what;
        std::string bytes;
    } cases[] = {
        {"text", "hello world"},
        {"truncated png", std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16)},
        {"truncated jpeg", std::string("\xFF\xD8\xFF\xE0\0\x10JFIF", 10)},
    };
    const std::wstring path = temp_file(L"junk.bin");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        write_all(path, c.bytes);
        still_decoded d{nullptr, 7, 7, "keep"};
        char err[STILL_ERR_MAX] = "";
        EXPECT_FALSE(still_decode_file(path.c_str(), &d, err, sizeof err));
        EXPECT_NE(err[0], 0);
        EXPECT_EQ(d.width, 7);
        EXPECT_STREQ(d.pix_fmt, "keep");
    }
    DeleteFileW(path.c_str());
    still_decoded d{};
    char err[STILL_ERR_MAX] = "";
    EXPECT_FALSE(still_decode_file(temp_file(L"absent.png").c_str(), &d, err, sizeof err));
}

TEST(StillEncoder, FrameBufferEntryWritesAndLogsTheOutcome) {
    frame_buffer fb{};
    ASSERT_TRUE(frame_buffer_ensure(&fb, 21, 13, 21 * 4 + 16));
    test_image t = make_image(21, 13, 16, NOISE, 77);
    memcpy(fb.pixels, t.mem.data(), t.mem.size());

    const std::wstring path = temp_file(L"frame_q.png");
    ASSERT_TRUE(still_encode_frame(&fb, path.c_str(), STILL_PNG, 90));
    still_decoded d{};
    char err[STILL_ERR_MAX] = "";
    ASSERT_TRUE(still_decode_file(path.c_str(), &d, err, sizeof err)) << err;
    EXPECT_EQ(memcmp(d.pixels, t.mem.data(), 3), 0);
    still_decoded_free(&d);

    const std::wstring bad = temp_dir() + L"\\missing_q\\frame_q.jpg";
    EXPECT_FALSE(still_encode_frame(&fb, bad.c_str(), STILL_JPEG, 90));
    EXPECT_FALSE(still_encode_frame(nullptr, path.c_str(), STILL_PNG, 90));
    frame_buffer_free(&fb);

    const std::string log = test_read_all(temp_dir() + L"\\Ivra\\ivrad.log");
    EXPECT_NE(log.find("frame_q.png (21x13) encode "), std::string::npos);
    EXPECT_NE(log.find(" ms"), std::string::npos);
    EXPECT_NE(log.find("wrote "), std::string::npos);
    EXPECT_NE(log.find("encode failed for "), std::string::npos);
    EXPECT_NE(log.find("missing_q\\frame_q.jpg.part failed (3)"), std::string::npos);
    DeleteFileW(path.c_str());
}

namespace {

// The size rule the capture side checks before capturing agrees with what FFmpeg takes.
TEST(StillEncoder, SizeLimitsAreFFmpegsOwn) {
    struct {
        int64_t w, h;
        int format;
        bool ok;
    } cases[] = {
        {20000, 100, STILL_PNG, true},
        {20000, 100, STILL_JPEG, true},
        {16384, 16000, STILL_PNG, true},
        {16384, 16384, STILL_PNG, false},
        {2080767, 1, STILL_PNG, true},
        {2080768, 1, STILL_PNG, false},
        {65500, 16, STILL_JPEG, true},
        {65501, 16, STILL_JPEG, false},
        {16, 65501, STILL_JPEG, false},
        {65501, 16, STILL_PNG, true},
        {0, 10, STILL_PNG, false},
        {10, -1, STILL_JPEG, false},
        {2147483647, 2147483647, STILL_PNG, false},
        {-2147483648LL, 5, STILL_JPEG, false},
    };
    for (const auto& c : cases) {
        char err[STILL_ERR_MAX] = "";
        EXPECT_EQ(still_encoder_size_ok(c.w, c.h, c.format, err, sizeof err), c.ok) << c.w << "x" << c.h << " " << err;
        EXPECT_EQ(err[0] == 0, c.ok) << err;
        if (!c.ok && c.w > 0 && c.h > 0) {
            EXPECT_EQ(std::string(err).rfind("encode: ", 0), 0u) << err;
        }
    }
    // Working memory grows with the picture and never wraps around.
    EXPECT_EQ(still_encoder_work_bytes(0, 10, STILL_PNG), 0u);
    EXPECT_GT(still_encoder_work_bytes(1000, 1000, STILL_PNG), 6000000u);
    EXPECT_GT(still_encoder_work_bytes(1000, 1000, STILL_JPEG), 3000000u);
    EXPECT_GE(still_encoder_work_bytes(2147483647, 2147483647, STILL_PNG), 1ull << 62);
}

// Sizes the rule accepts really save and read back, in both formats.
TEST(StillEncoder, AcceptedSizesSave) {
    // FFmpeg's PNG decoder stops short of the widest image its encoder writes; that one is
    // only checked for its header.
    struct {
        int w, h, format;
        bool decode;
    } cases[] = {{20000, 100, STILL_PNG, true},
                 {20000, 100, STILL_JPEG, true},
                 {65500, 16, STILL_JPEG, true},
                 {2080767, 1, STILL_PNG, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h));
        test_image t = make_image(c.w, c.h, 0, GRADIENT);
        const std::wstring path = temp_file(c.format == STILL_JPEG ? L"wide.jpg" : L"wide.png");
        char err[STILL_ERR_MAX] = "";
        ASSERT_TRUE(still_encode_file(&t.img, c.format, 90, path.c_str(), err, sizeof err)) << err;
        if (!c.decode) {
            const std::string head = test_read_all(path).substr(0, 24);
            ASSERT_EQ(head.size(), 24u);
            EXPECT_EQ(head.substr(1, 3), "PNG");
            // The header's width field, big-endian.
            const uint32_t w = (uint32_t)(uint8_t)head[16] << 24 | (uint32_t)(uint8_t)head[17] << 16 |
                               (uint32_t)(uint8_t)head[18] << 8 | (uint8_t)head[19];
            EXPECT_EQ(w, (uint32_t)c.w);
            DeleteFileW(path.c_str());
            continue;
        }
        still_decoded d{};
        ASSERT_TRUE(still_decode_file(path.c_str(), &d, err, sizeof err)) << err;
        EXPECT_EQ(d.width, c.w);
        EXPECT_EQ(d.height, c.h);
        still_decoded_free(&d);
        DeleteFileW(path.c_str());
    }
}

}  // namespace
