// Clip and replay sound: WASAPI capture of system sound and the microphone, mixed
// and paced by the performance counter into 20 ms chunks for the encoder.
#include "agent/clips/audio.h"

#include "agent/clips/sounds.h"
#include "common/log.h"
#include "common/win.h"

#include <audioclient.h>
#include <mmdeviceapi.h>

#include <cmath>
#include <cstring>
#include <cwchar>
#include <new>

namespace {

// Process loopback names that older SDK headers lack.
enum audio_activation_type { ACTIVATION_TYPE_DEFAULT = 0, ACTIVATION_TYPE_PROCESS_LOOPBACK = 1 };
enum audio_loopback_mode { LOOPBACK_INCLUDE_TREE = 0, LOOPBACK_EXCLUDE_TREE = 1 };
struct audio_loopback_params {
    DWORD target_process_id;
    int mode;  // audio_loopback_mode
};
struct audio_activation_params {
    int type;  // audio_activation_type
    audio_loopback_params loopback;
};
typedef HRESULT(WINAPI* activate_async_fn)(LPCWSTR, REFIID, PROPVARIANT*, IActivateAudioInterfaceCompletionHandler*,
                                           IActivateAudioInterfaceAsyncOperation**);
typedef HANDLE(WINAPI* mm_thread_fn)(LPCWSTR, LPDWORD);

const wchar_t kLoopbackDevice[] = L"VAD\\Process_Loopback";
constexpr DWORD kActivateWaitMs = 3000;
constexpr REFERENCE_TIME kBufferDuration = 2000000;  // 200 ms
constexpr DWORD kStreamFlags =
    AUDCLNT_STREAMFLAGS_EVENTCALLBACK | AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM | AUDCLNT_STREAMFLAGS_SRC_DEFAULT_QUALITY;
constexpr HRESULT kTimeoutHr = (HRESULT)0x800705B4;
constexpr float kLevelDecay = 0.85f;
constexpr int64_t AUDIO_SLACK = AUDIO_RATE * 150 / 1000;  // frames a late device is waited for

// Completes one asynchronous activation. It counts its references and owns its event,
// so an activation that completes after the waiter gave up still signals an open handle.
struct activate_handler final : IActivateAudioInterfaceCompletionHandler, IAgileObject {
    volatile LONG refs = 1;
    HANDLE done = nullptr;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (!out) return E_POINTER;
        if (riid == __uuidof(IUnknown) || riid == __uuidof(IActivateAudioInterfaceCompletionHandler)) {
            *out = static_cast<IActivateAudioInterfaceCompletionHandler*>(this);
        } else if (riid == __uuidof(IAgileObject)) {
            *out = static_cast<IAgileObject*>(this);
        } else {
            *out = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return (ULONG)InterlockedIncrement(&refs); }
    ULONG STDMETHODCALLTYPE Release() override {
        const LONG n = InterlockedDecrement(&refs);
        if (n == 0) {
            if (done) CloseHandle(done);
            delete this;
        }
        return (ULONG)n;
    }
    HRESULT STDMETHODCALLTYPE ActivateCompleted(IActivateAudioInterfaceAsyncOperation*) override {
        SetEvent(done);
        return S_OK;
    }
};

volatile LONG g_fallback_logged = 0;

// What a failed open taught about this system, so later recordings open at once: the
// result of a process loopback that does not exist here, an endpoint loopback that is
// refused, and the monitor endpoint found by name.
volatile LONG g_process_loopback_missing = 0;  // the HRESULT, 0 = not known to be missing
volatile LONG g_endpoint_loopback_refused = 0;
SRWLOCK g_monitor_lock = SRWLOCK_INIT;
wchar_t g_monitor_id[512] = L"";
wchar_t g_monitor_name[256] = L"";

struct audio_source {
    IAudioClient* client;
    IAudioCaptureClient* capture;
    HANDLE event;
    bool open;
    float* buf;
    int count;
    float level;
    HRESULT result;
    uint64_t received;  // frames the device delivered, for the closing log line
    int64_t opened_at;  // counter value of the open
};

}  // namespace

struct audio_capture {
    video_encoder* enc;
    HANDLE thread;
    HANDLE stop;
    SRWLOCK lock;
    // Control flags, under the lock.
    int system_on, mic_on;
    bool paused, reset;
    int64_t reset_at;  // counter value the restarted timeline begins at
    bool pause_flush;  // produce up to pause_at before going quiet
    int64_t pause_at;
    uint64_t end_mark;  // frames the sound must reach at the next pause or stop (the pictures')
    bool hold_sounds;
    // Audio thread only (the clock is re-based under the lock by resume).
    audio_source sys, mic;
    float* mix;
    int64_t freq, base, mic_start;
    int64_t started;  // counter value at the start, for the closing log line
    uint64_t delivered, underruns;
    int pending;          // mixed frames at the head of mix that the encoder has not taken yet
    int64_t timeline_at;  // counter value the current timeline began at (stamps its chunks)
    bool timeline;        // the first reset (the first picture) started the timeline
    int64_t delay_ticks;
    bool fallback;  // system sound comes from endpoint loopback
    bool sounds_held;
    audio_status pub;  // under the lock
};

// ---- Pure helpers.

void audio_buffer_append(float* buf, int* count, const float* frames, int n) {
    while (n > 0) {
        if (*count >= AUDIO_BUFFER_FRAMES) {
            const int keep = AUDIO_BUFFER_FRAMES / 2;
            memmove(buf, buf + 2 * (size_t)(*count - keep), sizeof(float) * 2 * (size_t)keep);
            *count = keep;
        }
        const int take = n < AUDIO_BUFFER_FRAMES - *count ? n : AUDIO_BUFFER_FRAMES - *count;
        float* dst = buf + 2 * (size_t)*count;
        if (frames) {
            memcpy(dst, frames, sizeof(float) * 2 * (size_t)take);
            frames += 2 * (size_t)take;
        } else {
            memset(dst, 0, sizeof(float) * 2 * (size_t)take);
        }
        *count += take;
        n -= take;
    }
}

float audio_peak(const float* frames, int n) {
    float peak = 0.0f;
    for (int i = 0; i < 2 * n; i++) {
        const float v = fabsf(frames[i]);
        if (v > peak) peak = v;
    }
    return peak;
}

int audio_buffer_take(float* buf, int* count, float* mix, bool add, int64_t due_after) {
    const int l = *count < AUDIO_CHUNK ? *count : AUDIO_CHUNK;
    if (add)
        for (int i = 0; i < 2 * l; i++) mix[i] += buf[i];
    int left = *count - l;
    int from = l;
    // A backlog beyond what is still due means the device runs ahead of the clock:
    // keep only the newest 50 ms more than that.
    const int64_t allowed = due_after > 0 ? due_after : 0;
    if (left > allowed + AUDIO_RATE / 10) {
        const int keep = (int)(allowed + AUDIO_RATE / 20);
        from += left - keep;
        left = keep;
    }
    if (left > 0) memmove(buf, buf + 2 * (size_t)from, sizeof(float) * 2 * (size_t)left);
    *count = left;
    return add ? AUDIO_CHUNK - l : 0;
}

int64_t audio_frames_due(int64_t now, int64_t base, int64_t freq, uint64_t* delivered) {
    if (freq <= 0 || now < base) return 0;
    const int64_t expected = (int64_t)((__int128)(now - base) * AUDIO_RATE / freq);
    int64_t n = expected - (int64_t)*delivered;
    if (n > AUDIO_RATE) {
        *delivered = (uint64_t)(expected - AUDIO_CHUNK);
        n = AUDIO_CHUNK;
    }
    return n < AUDIO_CHUNK ? 0 : n;
}

int64_t audio_rebase(int64_t now, int64_t freq, uint64_t delivered) {
    return now - (int64_t)((__int128)delivered * freq / AUDIO_RATE);
}

IActivateAudioInterfaceCompletionHandler* audio_activation_handler(void) {
    activate_handler* h = new (std::nothrow) activate_handler();
    if (!h) return nullptr;
    h->done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!h->done) {
        delete h;
        return nullptr;
    }
    return h;
}

HANDLE audio_activation_event(IActivateAudioInterfaceCompletionHandler* h) {
    return h ? static_cast<activate_handler*>(h)->done : nullptr;
}

// ---- The thread.

namespace {

int64_t audio_now() {
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    return c.QuadPart;
}

WAVEFORMATEX audio_format() {
    WAVEFORMATEX f{};
    f.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
    f.nChannels = 2;
    f.nSamplesPerSec = AUDIO_RATE;
    f.nAvgBytesPerSec = AUDIO_RATE * 8;
    f.nBlockAlign = 8;
    f.wBitsPerSample = 32;
    f.cbSize = 0;
    return f;
}

void audio_source_close(audio_source* s) {
    if (s->client) s->client->Stop();
    if (s->capture) s->capture->Release();
    if (s->client) s->client->Release();
    if (s->event) CloseHandle(s->event);
    s->capture = nullptr;
    s->client = nullptr;
    s->event = nullptr;
    s->open = false;
    s->count = 0;
    s->level = 0.0f;
}

// Initializes an activated client and starts it. On failure the client is released.
HRESULT audio_source_begin(audio_source* s, IAudioClient* client, DWORD extra_flags) {
    WAVEFORMATEX fmt = audio_format();
    HRESULT hr =
        client->Initialize(AUDCLNT_SHAREMODE_SHARED, kStreamFlags | extra_flags, kBufferDuration, 0, &fmt, nullptr);
    HANDLE ev = nullptr;
    IAudioCaptureClient* cap = nullptr;
    if (SUCCEEDED(hr)) {
        ev = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        hr = ev ? client->SetEventHandle(ev) : HRESULT_FROM_WIN32(GetLastError());
    }
    if (SUCCEEDED(hr)) hr = client->GetService(__uuidof(IAudioCaptureClient), (void**)&cap);
    if (SUCCEEDED(hr)) hr = client->Start();
    if (FAILED(hr)) {
        if (cap) cap->Release();
        if (ev) CloseHandle(ev);
        client->Release();
        return hr;
    }
    s->client = client;
    s->capture = cap;
    s->event = ev;
    s->open = true;
    s->opened_at = audio_now();
    s->count = 0;
    s->level = 0.0f;
    return S_OK;
}

// Activates a client on the endpoint with the given id, or on the default endpoint of
// the flow when id is null.
HRESULT audio_endpoint_client(const wchar_t* id, EDataFlow flow, IAudioClient** out) {
    IMMDeviceEnumerator* en = nullptr;
    IMMDevice* dev = nullptr;
    HRESULT hr =
        CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL, __uuidof(IMMDeviceEnumerator), (void**)&en);
    if (SUCCEEDED(hr)) hr = id ? en->GetDevice(id, &dev) : en->GetDefaultAudioEndpoint(flow, eConsole, &dev);
    if (SUCCEEDED(hr)) hr = dev->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, (void**)out);
    if (dev) dev->Release();
    if (en) en->Release();
    return hr;
}

// The friendly name of an endpoint ("" when it has none).
void audio_endpoint_name(IMMDevice* dev, wchar_t* out, size_t cap) {
    // PKEY_Device_FriendlyName, spelled out: not every SDK's import library carries it.
    static const PROPERTYKEY kFriendlyName = {
        {0xa45c254e, 0xdf1c, 0x4efd, {0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0}}, 14};
    out[0] = 0;
    IPropertyStore* props = nullptr;
    if (FAILED(dev->OpenPropertyStore(STGM_READ, &props))) return;
    PROPVARIANT v;
    PropVariantInit(&v);
    if (SUCCEEDED(props->GetValue(kFriendlyName, &v)) && v.vt == VT_LPWSTR && v.pwszVal)
        wcsncpy(out, v.pwszVal, cap - 1), out[cap - 1] = 0;
    PropVariantClear(&v);
    props->Release();
}

// Where neither loopback works (Wine), a capture endpoint that monitors an output
// ("Monitor of <output>") stands in: the default output's monitor, else the monitor
// of the first output that has one (Wine's default output is an alias without one).
HRESULT audio_monitor_client(IAudioClient** out, wchar_t* name, size_t name_cap) {
    wchar_t known_id[512], known_name[256];
    AcquireSRWLockShared(&g_monitor_lock);
    wcscpy(known_id, g_monitor_id);
    wcscpy(known_name, g_monitor_name);
    ReleaseSRWLockShared(&g_monitor_lock);
    if (known_id[0]) {
        const HRESULT hr = audio_endpoint_client(known_id, eCapture, out);
        if (SUCCEEDED(hr)) {
            wcsncpy(name, known_name, name_cap - 1);
            name[name_cap - 1] = 0;
            return hr;
        }
    }
    IMMDeviceEnumerator* en = nullptr;
    IMMDeviceCollection* outputs = nullptr;
    IMMDeviceCollection* inputs = nullptr;
    IMMDevice* pick = nullptr;
    UINT n_out = 0, n_in = 0;
    HRESULT hr =
        CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL, __uuidof(IMMDeviceEnumerator), (void**)&en);
    if (SUCCEEDED(hr)) hr = en->EnumAudioEndpoints(eRender, DEVICE_STATE_ACTIVE, &outputs);
    if (SUCCEEDED(hr)) hr = en->EnumAudioEndpoints(eCapture, DEVICE_STATE_ACTIVE, &inputs);
    if (SUCCEEDED(hr) && SUCCEEDED(outputs->GetCount(&n_out)) && SUCCEEDED(inputs->GetCount(&n_in))) {
        wchar_t want[256] = L"";
        IMMDevice* def = nullptr;
        if (SUCCEEDED(en->GetDefaultAudioEndpoint(eRender, eConsole, &def))) {
            audio_endpoint_name(def, want, 256);
            def->Release();
        }
        // The inputs' names are read once; the candidates are the default output first,
        // then every output in order.
        constexpr UINT kMaxInputs = 32;
        wchar_t in_names[kMaxInputs][256];
        const UINT n_names = n_in < kMaxInputs ? n_in : kMaxInputs;
        for (UINT i = 0; i < n_names; i++) {
            in_names[i][0] = 0;
            IMMDevice* d = nullptr;
            if (SUCCEEDED(inputs->Item(i, &d))) {
                audio_endpoint_name(d, in_names[i], 256);
                d->Release();
            }
        }
        for (UINT o = 0; o <= n_out && !pick; o++) {
            wchar_t output[256];
            if (o == 0) {
                wcscpy(output, want);
            } else {
                IMMDevice* d = nullptr;
                if (FAILED(outputs->Item(o - 1, &d))) continue;
                audio_endpoint_name(d, output, 256);
                d->Release();
            }
            if (!output[0]) continue;
            wchar_t monitor[300];
            swprintf(monitor, 300, L"Monitor of %ls", output);
            monitor[299] = 0;
            for (UINT i = 0; i < n_names && !pick; i++) {
                if (_wcsicmp(in_names[i], monitor) == 0 && SUCCEEDED(inputs->Item(i, &pick))) {
                    wcsncpy(name, in_names[i], name_cap - 1);
                    name[name_cap - 1] = 0;
                }
            }
        }
        hr = pick ? pick->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, (void**)out)
                  : HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
        LPWSTR id = nullptr;
        if (SUCCEEDED(hr) && SUCCEEDED(pick->GetId(&id)) && id) {
            AcquireSRWLockExclusive(&g_monitor_lock);
            wcsncpy(g_monitor_id, id, 511);
            g_monitor_id[511] = 0;
            wcsncpy(g_monitor_name, name, 255);
            g_monitor_name[255] = 0;
            ReleaseSRWLockExclusive(&g_monitor_lock);
            CoTaskMemFree(id);
        }
    }
    if (pick) pick->Release();
    if (inputs) inputs->Release();
    if (outputs) outputs->Release();
    if (en) en->Release();
    return hr;
}

void audio_open_mic(audio_source* s) {
    IAudioClient* client = nullptr;
    HRESULT hr = audio_endpoint_client(nullptr, eCapture, &client);
    if (SUCCEEDED(hr)) hr = audio_source_begin(s, client, 0);
    if (FAILED(hr)) {
        s->result = hr;
        log_warn("clip audio: microphone unavailable hr=0x%08lx", (unsigned long)hr);
        return;
    }
    s->result = 0;
    log_info("clip audio: microphone opened");
}

// System sound without the agent's own process tree, through the virtual loopback device.
HRESULT audio_process_loopback(IAudioClient** out) {
    HMODULE mm = GetModuleHandleW(L"mmdevapi.dll");
    if (!mm) mm = LoadLibraryW(L"mmdevapi.dll");
    activate_async_fn activate = mm ? (activate_async_fn)(void*)GetProcAddress(mm, MAKEINTRESOURCEA(17)) : nullptr;
    if (!activate) return HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
    IActivateAudioInterfaceCompletionHandler* handler = audio_activation_handler();
    if (!handler) return E_OUTOFMEMORY;
    audio_activation_params params{};
    params.type = ACTIVATION_TYPE_PROCESS_LOOPBACK;
    params.loopback.target_process_id = GetCurrentProcessId();
    params.loopback.mode = LOOPBACK_EXCLUDE_TREE;
    PROPVARIANT pv{};
    pv.vt = VT_BLOB;
    pv.blob.cbSize = sizeof params;
    pv.blob.pBlobData = (BYTE*)&params;
    IActivateAudioInterfaceAsyncOperation* op = nullptr;
    HRESULT hr = activate(kLoopbackDevice, __uuidof(IAudioClient), &pv, handler, &op);
    if (SUCCEEDED(hr) && WaitForSingleObject(audio_activation_event(handler), kActivateWaitMs) != WAIT_OBJECT_0)
        hr = kTimeoutHr;
    if (SUCCEEDED(hr)) {
        HRESULT result = E_FAIL;
        IUnknown* unk = nullptr;
        hr = op->GetActivateResult(&result, &unk);
        if (SUCCEEDED(hr)) hr = result;
        if (SUCCEEDED(hr) && unk)
            hr = unk->QueryInterface(__uuidof(IAudioClient), (void**)out);
        else if (SUCCEEDED(hr))
            hr = E_NOINTERFACE;
        if (unk) unk->Release();
    }
    if (op) op->Release();
    handler->Release();  // a late completion holds its own reference
    return hr;
}

// Opens the system source: process loopback, else a stand-in that hears the whole
// output. Quiet: a probe that only learns the route, logging nothing.
void audio_open_system_route(audio_capture* a, bool quiet) {
    audio_source* s = &a->sys;
    IAudioClient* client = nullptr;
    HRESULT hr = (HRESULT)InterlockedCompareExchange(&g_process_loopback_missing, 0, 0);
    if (hr == 0) {
        hr = audio_process_loopback(&client);
        if (hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) || hr == E_NOTIMPL || hr == REGDB_E_CLASSNOTREG ||
            hr == HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND))
            InterlockedExchange(&g_process_loopback_missing, (LONG)hr);
        if (SUCCEEDED(hr)) hr = audio_source_begin(s, client, AUDCLNT_STREAMFLAGS_LOOPBACK);
    }
    if (SUCCEEDED(hr)) {
        s->result = 0;
        if (!quiet) log_info("clip audio: system sound (process loopback, Ivra excluded) opened");
        return;
    }
    if (!quiet) log_warn("clip audio: system sound unavailable hr=0x%08lx", (unsigned long)hr);
    // Without process loopback the whole output is recorded; it hears our own sounds
    // too, so they are kept out of the recording while it runs.
    const HRESULT why = hr;
    client = nullptr;
    hr = (HRESULT)InterlockedCompareExchange(&g_endpoint_loopback_refused, 0, 0);
    if (hr == 0) {
        hr = audio_endpoint_client(nullptr, eRender, &client);
        if (SUCCEEDED(hr)) {
            hr = audio_source_begin(s, client, AUDCLNT_STREAMFLAGS_LOOPBACK);
            if (hr == AUDCLNT_E_WRONG_ENDPOINT_TYPE || hr == E_NOTIMPL)
                InterlockedExchange(&g_endpoint_loopback_refused, (LONG)hr);
        }
    }
    const HRESULT endpoint_hr = hr;
    wchar_t monitor[256] = L"";
    if (FAILED(hr)) {
        client = nullptr;
        hr = audio_monitor_client(&client, monitor, 256);
        if (SUCCEEDED(hr)) hr = audio_source_begin(s, client, 0);
    }
    if (FAILED(hr)) {
        s->result = hr;
        if (!quiet)
            log_warn("clip audio: no loopback of the output either (endpoint hr=0x%08lx, monitor hr=0x%08lx)",
                     (unsigned long)endpoint_hr, (unsigned long)hr);
        return;
    }
    s->result = 0;
    a->fallback = true;
    if (quiet) return;
    if (InterlockedExchange(&g_fallback_logged, 1) == 0)
        log_warn("clip audio: process loopback unavailable (hr=0x%08lx); system sound comes from %s, which also "
                 "hears Ivra's own sounds: none plays while a clip records, and a clip's first 450 ms of system "
                 "sound stay silent",
                 (unsigned long)why,
                 monitor[0] ? "the capture endpoint that monitors the output" : "endpoint loopback of the output");
    if (monitor[0])
        log_info("clip audio: system sound (%ls) opened", monitor);
    else
        log_info("clip audio: system sound (endpoint loopback) opened");
    if (a->hold_sounds && !a->sounds_held) {
        sounds_hold(true);
        a->sounds_held = true;
    }
}

// The moment up to which a pause or stop produces: `at`, or later when the pictures
// already cover more than that (their last frame lasts a whole frame period).
int64_t audio_end_time(const audio_capture* a, int64_t at, uint64_t end_mark) {
    const int64_t t = a->base + (int64_t)((__int128)(end_mark + AUDIO_CHUNK - 1) * a->freq / AUDIO_RATE);
    return end_mark > 0 && t > at ? t : at;
}

// Keeps at most the newest `frames` frames of a source's buffer.
void audio_keep_newest(audio_source* s, int64_t frames) {
    if (frames < 0) frames = 0;
    if (s->count <= frames) return;
    const int keep = (int)frames;
    if (keep > 0) memmove(s->buf, s->buf + 2 * (size_t)(s->count - keep), sizeof(float) * 2 * (size_t)keep);
    s->count = keep;
}

void audio_drain(audio_source* s) {
    float peak = 0.0f;
    UINT32 next = 0;
    while (SUCCEEDED(s->capture->GetNextPacketSize(&next)) && next > 0) {
        BYTE* data = nullptr;
        UINT32 frames = 0;
        DWORD flags = 0;
        if (FAILED(s->capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr))) break;
        const float* f = (flags & AUDCLNT_BUFFERFLAGS_SILENT) || !data ? nullptr : (const float*)data;
        audio_buffer_append(s->buf, &s->count, f, (int)frames);
        s->received += frames;
        if (f) {
            const float p = audio_peak(f, (int)frames);
            if (p > peak) peak = p;
        }
        s->capture->ReleaseBuffer(frames);
    }
    const float decayed = s->level * kLevelDecay;
    s->level = peak > decayed ? peak : decayed;
}

void audio_publish(audio_capture* a, int system_on, int mic_on) {
    AcquireSRWLockExclusive(&a->lock);
    a->pub.system_on = system_on;
    a->pub.system_open = a->sys.open;
    a->pub.system_level = a->sys.level;
    a->pub.system_result = a->sys.result;
    a->pub.mic_on = mic_on;
    a->pub.mic_open = a->mic.open;
    a->pub.mic_level = a->mic.level;
    a->pub.mic_result = a->mic.result;
    a->pub.frames = a->delivered;
    a->pub.underruns = a->underruns;
    a->pub.loopback_fallback = a->fallback;
    ReleaseSRWLockExclusive(&a->lock);
}

void audio_thread_priority() {
    HMODULE avrt = LoadLibraryW(L"avrt.dll");
    mm_thread_fn set = avrt ? (mm_thread_fn)(void*)GetProcAddress(avrt, "AvSetMmThreadCharacteristicsW") : nullptr;
    DWORD task = 0;
    if (!set || !set(L"Audio", &task)) SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
}

// Produces every chunk that is due, mixing what the sources buffered (the final turn
// before a stop pads whatever is missing). Chunks that fall
// due together (after a slow device open) go to the encoder as one item, so a catch-up
// never floods its queue; what its queue refuses waits in the mix buffer for the next
// turn instead of leaving a hole in the track.
void audio_produce(audio_capture* a, int64_t now, bool system_on, bool mic_on, bool final) {
    int64_t n = audio_frames_due(now, a->base, a->freq, &a->delivered);
    const bool sys_live = system_on && a->sys.open && (!a->fallback || now >= a->mic_start);
    const bool mic_live = mic_on && a->mic.open && now >= a->mic_start;
    // The stand-in hears the start chime: what it buffered before its silent start is dropped whole.
    if (a->fallback && now < a->mic_start) a->sys.count = 0;
    int filled = a->pending;
    while (n >= AUDIO_CHUNK) {
        // Devices deliver in bursts: a live source that is only a little late is waited
        // for rather than padded, as long as the track is less than AUDIO_SLACK behind.
        if (!final && n < AUDIO_SLACK &&
            ((sys_live && a->sys.count < AUDIO_CHUNK) || (mic_live && a->mic.count < AUDIO_CHUNK)))
            break;
        if (filled + AUDIO_CHUNK > AUDIO_BUFFER_FRAMES) {
            encoder_submit_audio_from(a->enc, a->mix, filled, a->timeline_at);  // a refusal is counted as dropped
            filled = 0;
        }
        float* chunk = a->mix + 2 * (size_t)filled;
        memset(chunk, 0, sizeof(float) * 2 * AUDIO_CHUNK);
        // What a device has not delivered by a stop or pause, or in its first moments,
        // is its latency, not a shortfall.
        const int64_t due_after = n - AUDIO_CHUNK;
        const uint64_t sys_missing = (uint64_t)audio_buffer_take(a->sys.buf, &a->sys.count, chunk, sys_live, due_after);
        const uint64_t mic_missing = (uint64_t)audio_buffer_take(a->mic.buf, &a->mic.count, chunk, mic_live, due_after);
        if (!final && now - a->sys.opened_at >= a->freq / 10) a->underruns += sys_missing;
        if (!final && now - a->mic.opened_at >= a->freq / 10) a->underruns += mic_missing;
        for (int i = 0; i < 2 * AUDIO_CHUNK; i++)
            chunk[i] = chunk[i] > 1.0f ? 1.0f : (chunk[i] < -1.0f ? -1.0f : chunk[i]);
        filled += AUDIO_CHUNK;
        a->delivered += AUDIO_CHUNK;
        n -= AUDIO_CHUNK;
    }
    if (filled > 0 && encoder_submit_audio_from(a->enc, a->mix, filled, a->timeline_at)) filled = 0;
    a->pending = filled;
}

DWORD WINAPI audio_thread(void* arg) {
    audio_capture* a = (audio_capture*)arg;
    log_thread_name(L"ivra-audio");
    int system_on, mic_on;
    AcquireSRWLockShared(&a->lock);
    system_on = a->system_on;
    mic_on = a->mic_on;
    ReleaseSRWLockShared(&a->lock);
    log_info("clip audio: thread started (system=%d mic=%d)", system_on, mic_on);
    const HRESULT co = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    audio_thread_priority();
    const size_t bytes = sizeof(float) * 2 * AUDIO_BUFFER_FRAMES;
    a->mix = (float*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes);
    a->sys.buf = (float*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes);
    a->mic.buf = (float*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, bytes);
    if (!a->mix || !a->sys.buf || !a->mic.buf) {
        log_error("clip audio: out of memory; recording without sound");
    } else {
        for (;;) {
            HANDLE waits[3];
            DWORD nw = 0;
            waits[nw++] = a->stop;
            if (a->sys.open) waits[nw++] = a->sys.event;
            if (a->mic.open) waits[nw++] = a->mic.event;
            // The stop still takes what is due up to now, so the sound reaches the last picture.
            const bool stopping = WaitForMultipleObjects(nw, waits, FALSE, 10) == WAIT_OBJECT_0;
            bool paused, reset;
            int64_t reset_at;
            AcquireSRWLockExclusive(&a->lock);
            system_on = a->system_on;
            mic_on = a->mic_on;
            paused = a->paused;
            const bool pause_flush = a->pause_flush;
            const int64_t pause_at = a->pause_at;
            const uint64_t end_mark = a->end_mark;
            a->pause_flush = false;
            reset = a->reset;
            reset_at = a->reset_at;
            a->reset = false;
            ReleaseSRWLockExclusive(&a->lock);

            if (system_on && !a->sys.open && a->sys.result == 0 && !stopping) audio_open_system_route(a, false);
            if (a->sys.open) audio_drain(&a->sys);
            if (!mic_on) {
                if (a->mic.open) {
                    audio_source_close(&a->mic);
                    log_info("clip audio: microphone closed");
                }
                a->mic.result = 0;
            } else {
                if (!a->mic.open && a->mic.result == 0 && !stopping) audio_open_mic(&a->mic);
                if (a->mic.open) audio_drain(&a->mic);
            }

            // Resume re-bases the clock from the frames delivered: both change only under the lock.
            AcquireSRWLockExclusive(&a->lock);
            const int64_t now = audio_now();
            if (reset) {
                a->base = reset_at <= now ? reset_at : now;
                a->timeline_at = a->base;
                a->delivered = 0;
                a->pending = 0;
                a->timeline = true;
                // What was heard since the new start belongs to the new timeline.
                const int64_t since = (now - a->base) * AUDIO_RATE / a->freq;
                audio_keep_newest(&a->sys, since);
                audio_keep_newest(&a->mic, since);
            }
            if (!a->timeline) {
                // Before the first picture the sources only fill their buffers (at most a
                // second): the start keeps what was heard since its moment.
            } else if (paused) {
                // The sound runs up to the moment of the pause, as the pictures do.
                if (pause_flush) {
                    audio_produce(a, audio_end_time(a, pause_at, end_mark), system_on != 0, mic_on != 0, true);
                    log_info("clip audio: paused at %llu frames", (unsigned long long)a->delivered);
                }
                a->sys.count = 0;
                a->mic.count = 0;
            } else {
                audio_produce(a, stopping ? audio_end_time(a, now, end_mark) : now, system_on != 0, mic_on != 0,
                              stopping);
            }
            ReleaseSRWLockExclusive(&a->lock);
            audio_publish(a, system_on, mic_on);
            if (stopping) break;
        }
    }
    audio_source_close(&a->sys);
    audio_source_close(&a->mic);
    FILETIME created, exited, kernel, user;
    double cpu_ms = 0.0;
    if (GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user)) {
        const uint64_t k = ((uint64_t)kernel.dwHighDateTime << 32) | kernel.dwLowDateTime;
        const uint64_t u = ((uint64_t)user.dwHighDateTime << 32) | user.dwLowDateTime;
        cpu_ms = (double)(k + u) / 10000.0;
    }
    log_info("clip audio: thread ended after %.1f s: %llu frames, %llu underruns, cpu %.1f ms "
             "(received: system %llu, microphone %llu)",
             (double)(audio_now() - a->started) / (double)a->freq, (unsigned long long)a->delivered,
             (unsigned long long)a->underruns, cpu_ms, (unsigned long long)a->sys.received,
             (unsigned long long)a->mic.received);
    HeapFree(GetProcessHeap(), 0, a->mix);
    HeapFree(GetProcessHeap(), 0, a->sys.buf);
    HeapFree(GetProcessHeap(), 0, a->mic.buf);
    a->mix = a->sys.buf = a->mic.buf = nullptr;
    if (a->sounds_held) {
        sounds_hold(false);
        a->sounds_held = false;
    }
    if (SUCCEEDED(co)) CoUninitialize();
    return 0;
}

}  // namespace

namespace {

// Learns the system-sound route once, off the capture path, so that the first recording
// opens its sources at once (finding a stand-in by name takes most of a second on Wine).
DWORD WINAPI audio_prepare_thread(void*) {
    log_thread_name(L"ivra-audio-prep");
    const HRESULT co = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    audio_capture probe{};
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    probe.freq = f.QuadPart > 0 ? f.QuadPart : 1;
    audio_open_system_route(&probe, true);
    audio_source_close(&probe.sys);
    if (SUCCEEDED(co)) CoUninitialize();
    return 0;
}

}  // namespace

void audio_prepare(void) {
    HANDLE t = CreateThread(nullptr, 0, audio_prepare_thread, nullptr, 0, nullptr);
    if (t) CloseHandle(t);
}

audio_capture* audio_start(video_encoder* enc, bool system_on, bool mic_on, unsigned mic_delay_ms, bool hold_sounds) {
    if (!enc || !enc->audio) return nullptr;
    audio_capture* a = (audio_capture*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(audio_capture));
    if (!a) return nullptr;
    InitializeSRWLock(&a->lock);
    a->enc = enc;
    a->system_on = system_on ? 1 : 0;
    a->mic_on = mic_on ? 1 : 0;
    a->hold_sounds = hold_sounds;
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    a->freq = f.QuadPart > 0 ? f.QuadPart : 1;
    a->delay_ticks = (int64_t)mic_delay_ms * a->freq / 1000;
    a->base = audio_now();
    a->started = a->base;
    a->mic_start = a->base + a->delay_ticks;
    a->stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (a->stop) a->thread = CreateThread(nullptr, 0, audio_thread, a, 0, nullptr);
    if (!a->thread) {
        log_error("clip audio: thread failed %lu", GetLastError());
        if (a->stop) CloseHandle(a->stop);
        HeapFree(GetProcessHeap(), 0, a);
        return nullptr;
    }
    return a;
}

void audio_stop(audio_capture* a) {
    if (!a) return;
    SetEvent(a->stop);
    WaitForSingleObject(a->thread, INFINITE);
    CloseHandle(a->thread);
    CloseHandle(a->stop);
    HeapFree(GetProcessHeap(), 0, a);
}

void audio_set_paused(audio_capture* a, bool paused) {
    if (!a) return;
    AcquireSRWLockExclusive(&a->lock);
    if (paused) {
        if (!a->paused) {
            a->pause_flush = true;
            a->pause_at = audio_now();
        }
        a->paused = true;
    } else {
        a->paused = false;
        a->reset = false;
        const int64_t now = audio_now();
        a->base = audio_rebase(now, a->freq, a->delivered);
        log_info("clip audio: resumed at %llu frames", (unsigned long long)a->delivered);
    }
    ReleaseSRWLockExclusive(&a->lock);
}

void audio_mark_end(audio_capture* a, uint64_t frames) {
    if (!a) return;
    AcquireSRWLockExclusive(&a->lock);
    a->end_mark = frames;
    ReleaseSRWLockExclusive(&a->lock);
}

void audio_set_mic(audio_capture* a, bool on) {
    if (!a) return;
    AcquireSRWLockExclusive(&a->lock);
    a->mic_on = on ? 1 : 0;
    ReleaseSRWLockExclusive(&a->lock);
}

void audio_set_system(audio_capture* a, bool on) {
    if (!a) return;
    AcquireSRWLockExclusive(&a->lock);
    a->system_on = on ? 1 : 0;
    ReleaseSRWLockExclusive(&a->lock);
}

void audio_request_reset(audio_capture* a, int64_t at) {
    if (!a) return;
    AcquireSRWLockExclusive(&a->lock);
    a->reset = true;
    a->reset_at = at > 0 ? at : audio_now();
    ReleaseSRWLockExclusive(&a->lock);
}

void audio_read_status(audio_capture* a, audio_status* out) {
    if (!a || !out) return;
    AcquireSRWLockShared(&a->lock);
    *out = a->pub;
    out->system_on = a->system_on;
    out->mic_on = a->mic_on;
    ReleaseSRWLockShared(&a->lock);
}
