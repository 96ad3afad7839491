// The capture sounds' WAV images (sizes, loudest sample), the refusal of a
// short buffer, the dump switch, one image under concurrent first use, and holds.
#include "agent/clips/sounds.h"
#include "common/win.h"
#include <gtest/gtest.h>
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

uint32_t le32(const unsigned char* p) { return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24; }
int sample(const unsigned char* p) { return (int16_t)(p[0] | p[1] << 8); }

}  // namespace

TEST(Sounds, ImagesHaveTheirSizesAndLoudestSample) {
    struct row {
        sound_id id;
        size_t bytes;
        int loudest;  // target level truncated toward zero
    } rows[] = {
        {SOUND_CHIME, 52844, 9830},    // 0.55 s, peak 9830.1
        {SOUND_WARNING, 33644, 8191},  // 0.35 s, peak 8191.75
        {SOUND_START, 31724, 9174},    // 330 ms, 0.28 x 32767
        {SOUND_CANCEL, 28844, 6553},   // 300 ms, 0.2 x 32767
        {SOUND_TICK, 11564, 7208},     // 120 ms, 0.22 x 32767
    };
    std::vector<unsigned char> buf(60000);
    for (const row& r : rows) {
        ASSERT_EQ(sounds_make(r.id, buf.data(), buf.size()), r.bytes) << r.id;
        EXPECT_EQ(sounds_wav_size(r.id), r.bytes) << r.id;
        // The end-to-end test compares every byte; here the sizes the header states.
        const unsigned char* w = buf.data();
        EXPECT_EQ(le32(w + 4), r.bytes - 8) << r.id;
        EXPECT_EQ(le32(w + 40), r.bytes - 44) << r.id;
        int loudest = 0;
        size_t samples = (r.bytes - 44) / 2;
        for (size_t i = 0; i < samples; i++) loudest = std::max(loudest, std::abs(sample(w + 44 + 2 * i)));
        EXPECT_EQ(loudest, r.loudest) << r.id;
    }
}

TEST(Sounds, ShortBufferOrUnknownSoundLeavesTheBufferUntouched) {
    std::vector<unsigned char> buf(11564, 0xab);
    struct row {
        int id;
        size_t cap;
    } rows[] = {{SOUND_TICK, 11563}, {SOUND_CHIME, 52843}, {SOUND_TICK, 0}, {SOUND_COUNT, 11564}, {-1, 11564}};
    for (const row& r : rows) {
        EXPECT_EQ(sounds_make((sound_id)r.id, buf.data(), r.cap), 0u) << r.id << " " << r.cap;
        EXPECT_EQ(std::count(buf.begin(), buf.end(), 0xab), (long)buf.size()) << r.id << " " << r.cap;
    }
    EXPECT_EQ(sounds_wav_size(SOUND_COUNT), 0u);
    EXPECT_EQ(sounds_image(SOUND_COUNT, nullptr), nullptr);
}

TEST(Sounds, DumpIsAskedByAValueBeginningWithOne) {
    struct row {
        const wchar_t* value;
        bool asked;
    } rows[] = {{L"1", true}, {L"1yes", true},  {L"10", true},  {L"0", false},
                {L"", false}, {nullptr, false}, {L" 1", false}, {L"true", false}};
    for (const row& r : rows) EXPECT_EQ(sounds_dump_asked(r.value), r.asked) << (r.value ? r.value : L"(unset)");
}

TEST(Sounds, ConcurrentFirstUseMakesOneCompleteImage) {
    struct result {
        HANDLE go;
        const unsigned char* image;
        size_t size;
    } results[8];
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE threads[8];
    for (int i = 0; i < 8; i++) {
        results[i] = {go, nullptr, 0};
        threads[i] = CreateThread(
            nullptr, 0,
            [](void* p) -> DWORD {
                result* r = (result*)p;
                WaitForSingleObject(r->go, INFINITE);
                r->image = sounds_image(SOUND_CANCEL, &r->size);
                return 0;
            },
            &results[i], 0, nullptr);
        ASSERT_NE(threads[i], nullptr);
    }
    SetEvent(go);
    WaitForMultipleObjects(8, threads, TRUE, INFINITE);
    std::vector<unsigned char> want(28844);
    ASSERT_EQ(sounds_make(SOUND_CANCEL, want.data(), want.size()), 28844u);
    for (int i = 0; i < 8; i++) {
        CloseHandle(threads[i]);
        EXPECT_EQ(results[i].image, results[0].image);
        ASSERT_EQ(results[i].size, 28844u);
        EXPECT_EQ(memcmp(results[i].image, want.data(), want.size()), 0) << i;
    }
    CloseHandle(go);
}

TEST(Sounds, HoldsSkipSoundsAndPairUp) {
    // Each step: holds taken (+1) or released (-1) before playing the tick once.
    struct row {
        int hold_changes[2];
        unsigned long played, held;  // counted by this step
    } rows[] = {
        {{0, 0}, 1, 0},    // nothing held: plays
        {{+1, 0}, 0, 1},   // held
        {{+1, -1}, 0, 1},  // a second hold and its release: still held
        {{-1, 0}, 1, 0},   // released: plays again
        {{-1, +1}, 0, 1},  // a release without a hold is ignored, so the next hold counts
        {{-1, 0}, 1, 0},
    };
    for (const row& r : rows) {
        unsigned long played0, held0, played1, held1;
        sounds_counts(&played0, &held0);
        for (int change : r.hold_changes)
            if (change) sounds_hold(change > 0);
        sounds_play_tick();
        sounds_counts(&played1, &held1);
        EXPECT_EQ(played1 - played0, r.played) << (&r - rows);
        EXPECT_EQ(held1 - held0, r.held) << (&r - rows);
    }
}
