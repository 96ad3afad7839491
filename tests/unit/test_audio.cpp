// The audio thread's mixing and pacing rules, driven directly.
#include "agent/clips/audio.h"

#include <audioclient.h>
#include <gtest/gtest.h>
#include <mmdeviceapi.h>

#include <vector>

namespace {

// A source buffer whose frame i holds the value (i + 1) on both channels.
std::vector<float> frames_counting(int n, int from = 1) {
    std::vector<float> f(2 * (size_t)n);
    for (int i = 0; i < n; i++) f[2 * i] = f[2 * i + 1] = (float)(from + i);
    return f;
}

TEST(AudioBuffer, AppendDropsTheOldestHalfWhenFull) {
    struct row {
        const char* what;
        int before, add;
        int count;    // frames held afterwards
        float first;  // value of the first frame held afterwards
    };
    const row rows[] = {
        {"room left", 100, 200, 300, 1},
        {"fills exactly", 47000, 1000, AUDIO_BUFFER_FRAMES, 1},
        {"full before the copy: the newest half moves to the front", AUDIO_BUFFER_FRAMES, 10, 24010, 24001},
        {"a packet that does not fit fills first, then drops", 47990, 20, 24010, 24001},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        std::vector<float> buf(2 * (size_t)AUDIO_BUFFER_FRAMES);
        int count = 0;
        std::vector<float> old = frames_counting(r.before);
        audio_buffer_append(buf.data(), &count, old.data(), r.before);
        std::vector<float> add = frames_counting(r.add, r.before + 1);
        audio_buffer_append(buf.data(), &count, add.data(), r.add);
        EXPECT_EQ(count, r.count);
        EXPECT_EQ(buf[0], r.first);
        EXPECT_EQ(buf[2 * (size_t)count - 1], (float)(r.before + r.add)) << "the newest frame is kept last";
    }
    // A silent packet appends zeros.
    std::vector<float> buf(2 * (size_t)AUDIO_BUFFER_FRAMES, 5.0f);
    int count = 0;
    audio_buffer_append(buf.data(), &count, nullptr, 3);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(buf[5], 0.0f);
}

TEST(AudioBuffer, TakeMixesCountsUnderrunsAndTrimsBacklog) {
    struct row {
        const char* what;
        int held;
        bool add;
        int underruns;
        int left;
        float mixed_last;  // mix value of the chunk's last frame (0 when nothing was there)
        int64_t owed = 0;  // frames still due after this chunk
    };
    const row rows[] = {
        {"a full chunk", 2000, true, 0, 1040, 960},
        {"short: padded and counted", 500, true, 460, 0, 0},
        {"empty: all counted", 0, true, AUDIO_CHUNK, 0, 0},
        {"not mixed: taken but not counted", 500, false, 0, 0, 0},
        {"backlog above 100 ms keeps the newest 50 ms", 960 + 4801, true, 0, 2400, 960},
        {"exactly 100 ms of backlog stays", 960 + 4800, true, 0, 4800, 960},
        {"a backlog still owed is no backlog", 960 + 9600, true, 0, 9600, 960, 4800},
        {"beyond what is owed keeps 50 ms more", 960 + 9601, true, 0, 7200, 960, 4800},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        std::vector<float> buf = frames_counting(r.held);
        buf.resize(2 * (size_t)AUDIO_BUFFER_FRAMES);
        std::vector<float> mix(2 * AUDIO_CHUNK, 0.0f);
        int count = r.held;
        EXPECT_EQ(audio_buffer_take(buf.data(), &count, mix.data(), r.add, r.owed), r.underruns);
        EXPECT_EQ(count, r.left);
        EXPECT_EQ(mix[2 * AUDIO_CHUNK - 1], r.mixed_last);
        if (r.left > 0) {
            EXPECT_EQ(buf[2 * (size_t)r.left - 1], (float)r.held) << "the newest frame stays";
        }
    }
}

TEST(AudioClock, FramesDueSkipsAheadAndRebases) {
    const int64_t f = 10000000;  // counter ticks per second
    struct row {
        const char* what;
        int64_t elapsed;  // ticks since base
        uint64_t delivered;
        int64_t due;
        uint64_t delivered_after;
    };
    const row rows[] = {
        {"less than a chunk", f / 100, 0, 0, 0},
        {"one chunk", f / 50, 0, AUDIO_CHUNK, 0},
        {"half a second behind", f / 2, 0, 24000, 0},
        {"exactly a second behind is caught up", f, 0, 48000, 0},
        {"more than a second behind skips to one chunk", 2 * f, 1000, AUDIO_CHUNK, 96000 - AUDIO_CHUNK},
        {"ahead of the clock", f / 10, 48000, 0, 48000},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        uint64_t delivered = r.delivered;
        EXPECT_EQ(audio_frames_due(5000 + r.elapsed, 5000, f, &delivered), r.due);
        EXPECT_EQ(delivered, r.delivered_after);
    }
    // A resume re-bases so that what was delivered is due now: nothing more, nothing less.
    uint64_t delivered = 96000;
    const int64_t base = audio_rebase(123456789, f, delivered);
    EXPECT_EQ(base, 123456789 - 2 * f);
    EXPECT_EQ(audio_frames_due(123456789, base, f, &delivered), 0);
    EXPECT_EQ(audio_frames_due(123456789 + f / 50, base, f, &delivered), AUDIO_CHUNK);
    EXPECT_EQ(audio_peak(frames_counting(3).data(), 3), 3.0f);
}

}  // namespace

// The activation's completion object outlives a caller that gave up: the system's own
// reference keeps it and its event, and the last release frees both.
TEST(AudioActivation, CompletionHandlerCountsItsReferences) {
    IActivateAudioInterfaceCompletionHandler* h = audio_activation_handler();
    ASSERT_NE(h, nullptr);
    HANDLE done = audio_activation_event(h);
    ASSERT_NE(done, nullptr);
    struct {
        const char* what;
        REFIID iid;
        HRESULT hr;
    } asks[] = {
        {"IUnknown", __uuidof(IUnknown), S_OK},
        {"the completion handler", __uuidof(IActivateAudioInterfaceCompletionHandler), S_OK},
        {"IAgileObject", __uuidof(IAgileObject), S_OK},
        {"anything else", __uuidof(IAudioClient), E_NOINTERFACE},
    };
    for (const auto& a : asks) {
        SCOPED_TRACE(a.what);
        void* out = &out;
        ASSERT_EQ(h->QueryInterface(a.iid, &out), a.hr);
        if (a.hr == S_OK) {
            ASSERT_NE(out, nullptr);
            EXPECT_EQ(((IUnknown*)out)->Release(), 1u) << "an interface handed out holds a reference";
        } else {
            EXPECT_EQ(out, nullptr);
        }
    }
    EXPECT_EQ(h->AddRef(), 2u);  // the activation's
    EXPECT_EQ(WaitForSingleObject(done, 0), (DWORD)WAIT_TIMEOUT);
    EXPECT_EQ(h->Release(), 1u);  // the caller's wait timed out
    EXPECT_EQ(h->ActivateCompleted(nullptr), S_OK);
    EXPECT_EQ(WaitForSingleObject(done, 0), (DWORD)WAIT_OBJECT_0) << "the late completion signals an open event";
    EXPECT_EQ(h->Release(), 0u);
}
