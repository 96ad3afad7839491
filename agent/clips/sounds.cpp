#include "agent/clips/sounds.h"

#include "agent/core/agent.h"
#include "common/log.h"
#include "common/win.h"

#include <mmsystem.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace {

constexpr int SOUND_RATE = 48000;
constexpr double SOUND_PI = 3.14159265358979323846;
constexpr size_t WAV_HEADER = 44;

struct sound_partial {
    double hz, start, tau, amp;
};

struct sound_def {
    const char* name;          // for the log
    const wchar_t* dump_name;  // file in TEMP when IVRA_DUMP_CHIME asks for it
    int samples;               // milliseconds x 48
    int fade_samples;          // the last samples fade linearly to zero
    bool ramp_sum;             // one onset ramp on the sum instead of one per partial
    double target;             // the loudest sample's value after scaling
    int partial_count;
    sound_partial partials[4];
};

// Note-table sounds scale to gain x full scale, computed in double like every other factor.
constexpr double sounds_full_scale(double gain) { return gain * 32767.0; }

const sound_def g_defs[SOUND_COUNT] = {
    {"chime",
     L"ivra_chime.wav",
     550 * 48,
     30 * 48,
     true,
     9830.1,
     4,
     {{1046.5, 0, 0.22, 1}, {1568.0, 0, 0.16, 0.18}, {2093.0, 0, 0.16, 0.3}, {3139.5, 0, 0.16, 0.12}}},
    {"warning tone",
     L"ivra_warn.wav",
     350 * 48,
     30 * 48,
     true,
     8191.75,
     4,
     {{659.25, 0, 0.15, 1}, {1318.5, 0, 0.15, 0.12}, {523.25, 0.12, 0.15, 1}, {1046.5, 0.12, 0.15, 0.12}}},
    {"start chime",
     L"ivra_start.wav",
     330 * 48,
     25 * 48,
     false,
     sounds_full_scale(0.28),
     4,
     {{783.99, 0, 0.09, 1}, {1567.98, 0, 0.06, 0.15}, {1174.66, 0.095, 0.14, 1}, {2349.32, 0.095, 0.08, 0.15}}},
    {"cancel tone",
     L"ivra_cancel.wav",
     300 * 48,
     25 * 48,
     false,
     sounds_full_scale(0.2),
     2,
     {{659.25, 0, 0.08, 1}, {523.25, 0.085, 0.12, 0.9}}},
    {"tick",
     L"ivra_tick.wav",
     120 * 48,
     25 * 48,
     false,
     sounds_full_scale(0.22),
     2,
     {{1318.51, 0, 0.035, 1}, {2637.02, 0, 0.02, 0.2}}},
};

double sounds_ramp(double d) { return d < 0.004 ? d / 0.004 : 1.0; }

// One sample before scaling. The order is fixed so that the bytes can be recomputed
// elsewhere: t = i / 48000 and d = t - start in double; each partial is
// amp * ramp(d) * sin(2 * pi * hz * d) * exp(-d / tau), multiplied left to right in
// double, and added in table order to a double sum starting at 0; the whole-sum ramp
// multiplies that sum by ramp(t); the sum is rounded to float; from the fade's first
// sample on, that float times (samples - i) / fade_samples (in double) is rounded to
// float again. Scaling (sounds_make) multiplies the float by the factor in double and
// truncates toward zero, saturating at -32768 and 32767.
float sounds_sample(const sound_def* def, int i) {
    double t = (double)i / SOUND_RATE;
    double sum = 0.0;
    for (int k = 0; k < def->partial_count; k++) {
        const sound_partial* p = &def->partials[k];
        if (t < p->start) continue;
        double d = t - p->start;
        double ramp = def->ramp_sum ? 1.0 : sounds_ramp(d);
        sum += p->amp * ramp * std::sin(2.0 * SOUND_PI * p->hz * d) * std::exp(-d / p->tau);
    }
    if (def->ramp_sum) sum *= sounds_ramp(t);
    float x = (float)sum;
    int fade_from = def->samples - def->fade_samples;
    if (i >= fade_from) x = (float)((double)x * ((double)(def->samples - i) / (double)def->fade_samples));
    return x;
}

void sounds_put16(unsigned char* p, unsigned v) {
    p[0] = (unsigned char)(v & 0xff);
    p[1] = (unsigned char)((v >> 8) & 0xff);
}

void sounds_put32(unsigned char* p, uint32_t v) {
    for (int k = 0; k < 4; k++) p[k] = (unsigned char)((v >> (8 * k)) & 0xff);
}

// Room per sound: the note-table sounds share one size with space for 400 ms.
constexpr size_t SOUND_CAP_CHIME = 52844, SOUND_CAP_WARNING = 33644, SOUND_CAP_NOTES = 38444;

struct sound_slot {
    INIT_ONCE once;
    size_t size;
};

unsigned char g_chime[SOUND_CAP_CHIME];
unsigned char g_warning[SOUND_CAP_WARNING];
unsigned char g_notes[3][SOUND_CAP_NOTES];
unsigned char* const g_buffers[SOUND_COUNT] = {g_chime, g_warning, g_notes[0], g_notes[1], g_notes[2]};
const size_t g_caps[SOUND_COUNT] = {SOUND_CAP_CHIME, SOUND_CAP_WARNING, SOUND_CAP_NOTES, SOUND_CAP_NOTES,
                                    SOUND_CAP_NOTES};
sound_slot g_slots[SOUND_COUNT] = {{INIT_ONCE_STATIC_INIT, 0},
                                   {INIT_ONCE_STATIC_INIT, 0},
                                   {INIT_ONCE_STATIC_INIT, 0},
                                   {INIT_ONCE_STATIC_INIT, 0},
                                   {INIT_ONCE_STATIC_INIT, 0}};
volatile LONG g_hold;
volatile LONG g_played;
volatile LONG g_held;

bool sounds_dump_wanted() {
    wchar_t v[64];
    DWORD n = GetEnvironmentVariableW(L"IVRA_DUMP_CHIME", v, 64);
    return sounds_dump_asked(n > 0 && n < 64 ? v : nullptr);
}

// Best effort: a file that cannot be written is skipped without a word.
void sounds_dump(sound_id id, const unsigned char* image, size_t size) {
    wchar_t path[MAX_PATH];
    DWORD n = GetEnvironmentVariableW(L"TEMP", path, MAX_PATH);
    size_t name_len = wcslen(g_defs[id].dump_name);
    if (n == 0 || n + 1 + name_len >= MAX_PATH) return;
    path[n] = L'\\';
    wcscpy(path + n + 1, g_defs[id].dump_name);
    HANDLE f = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (f == INVALID_HANDLE_VALUE) return;
    DWORD wrote = 0;
    BOOL ok = WriteFile(f, image, (DWORD)size, &wrote, nullptr) && wrote == size;
    CloseHandle(f);
    if (ok) log_info("%s dumped to %ls", g_defs[id].name, path);
}

BOOL CALLBACK sounds_make_once(PINIT_ONCE, void* param, void**) {
    sound_id id = (sound_id)(intptr_t)param;
    g_slots[id].size = sounds_make(id, g_buffers[id], g_caps[id]);
    if (g_slots[id].size && sounds_dump_wanted()) sounds_dump(id, g_buffers[id], g_slots[id].size);
    return TRUE;
}

}  // namespace

size_t sounds_make(sound_id id, unsigned char* out, size_t cap) {
    if ((int)id < 0 || id >= SOUND_COUNT || !out) return 0;
    const sound_def* def = &g_defs[id];
    size_t data = (size_t)def->samples * 2;
    if (cap < WAV_HEADER + data) return 0;

    float* xs = (float*)std::malloc(sizeof(float) * (size_t)def->samples);
    if (!xs) return 0;
    float peak = 0.0f;
    for (int i = 0; i < def->samples; i++) {
        xs[i] = sounds_sample(def, i);
        float a = std::fabs(xs[i]);
        if (a > peak) peak = a;
    }
    double factor = def->target / (peak < 1e-9 ? 1.0 : (double)peak);

    memcpy(out, "RIFF", 4);
    sounds_put32(out + 4, (uint32_t)(data + 36));
    memcpy(out + 8, "WAVEfmt ", 8);
    sounds_put32(out + 16, 16);
    sounds_put16(out + 20, 1);
    sounds_put16(out + 22, 1);
    sounds_put32(out + 24, SOUND_RATE);
    sounds_put32(out + 28, SOUND_RATE * 2);
    sounds_put16(out + 32, 2);
    sounds_put16(out + 34, 16);
    memcpy(out + 36, "data", 4);
    sounds_put32(out + 40, (uint32_t)data);
    for (int i = 0; i < def->samples; i++) {
        double v = (double)xs[i] * factor;
        int s = v >= 32767.0 ? 32767 : v <= -32768.0 ? -32768 : (int)v;
        sounds_put16(out + WAV_HEADER + 2 * (size_t)i, (unsigned)(uint16_t)(int16_t)s);
    }
    std::free(xs);
    return WAV_HEADER + data;
}

bool sounds_dump_asked(const wchar_t* value) { return value && value[0] == L'1'; }

size_t sounds_wav_size(sound_id id) {
    if ((int)id < 0 || id >= SOUND_COUNT) return 0;
    return WAV_HEADER + (size_t)g_defs[id].samples * 2;
}

const unsigned char* sounds_image(sound_id id, size_t* size) {
    if ((int)id < 0 || id >= SOUND_COUNT) return nullptr;
    InitOnceExecuteOnce(&g_slots[id].once, sounds_make_once, (void*)(intptr_t)id, nullptr);
    if (size) *size = g_slots[id].size;
    return g_slots[id].size ? g_buffers[id] : nullptr;
}

void sounds_prepare(void) {
    for (int id = 0; id < SOUND_COUNT; id++) sounds_image((sound_id)id, nullptr);
}

void sounds_play(sound_id id) {
    const unsigned char* image = sounds_image(id, nullptr);
    if (!image) return;
    if (InterlockedCompareExchange(&g_hold, 0, 0) > 0) {
        InterlockedIncrement(&g_held);
        if (agent_debug_hooks()) log_info("debug: sound %s held", g_defs[id].name);
        return;
    }
    InterlockedIncrement(&g_played);
    if (agent_debug_hooks()) log_info("debug: sound %s played", g_defs[id].name);
    PlaySoundW((LPCWSTR)image, nullptr, SND_MEMORY | SND_ASYNC | SND_NODEFAULT);
}

void sounds_hold(bool on) {
    if (on) {
        InterlockedIncrement(&g_hold);
        return;
    }
    // An unpaired release never takes the count below zero.
    LONG v = InterlockedCompareExchange(&g_hold, 0, 0);
    while (v > 0) {
        LONG seen = InterlockedCompareExchange(&g_hold, v - 1, v);
        if (seen == v) break;
        v = seen;
    }
}

void sounds_counts(unsigned long* played, unsigned long* held) {
    if (played) *played = (unsigned long)InterlockedCompareExchange(&g_played, 0, 0);
    if (held) *held = (unsigned long)InterlockedCompareExchange(&g_held, 0, 0);
}
