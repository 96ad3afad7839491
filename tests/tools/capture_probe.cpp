// Test helper: runs the capture engine the way the capture thread does and
// saves what it captures, so the end-to-end tests can check the pixels.
//   capture_probe [--out FILE] [--keep-warm 0|1] COMMAND...
// Commands, run in order on one display cache:
//   output N FILE | rect L T R B FILE | window HWND FILE | monitor X Y FILE |
//   printwindow HWND FILE | text | change-mode W H | reset-mode | idle MS | poll N COUNT |
//   state | sleep MS
// FILE receives "IVRB", width and height (u32, little-endian), then tight BGRA rows;
// "-" skips the file. Every command prints one result line, also appended to the
// --out file, which ends with "done" when the probe finishes.
#include "agent/capture/capture.h"
#include "agent/capture/display_cache.h"
#include "common/log.h"
#include "common/win.h"
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cstdarg>
#include <cwchar>

static FILE* g_out;

static void probe_say(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
    fflush(stdout);
    if (g_out) {
        va_start(ap, fmt);
        vfprintf(g_out, fmt, ap);
        va_end(ap);
        fflush(g_out);
    }
}

struct probe_state {
    display_cache* cache;
    int keep_warm;
    uint32_t described;  // generation last written to the monitor text
    frame_buffer buf;
};

static bool probe_write(const wchar_t* path, const frame_buffer* b) {
    if (!wcscmp(path, L"-")) return true;
    FILE* f = _wfopen(path, L"wb");
    if (!f) return false;
    uint32_t head[3] = {0x42525649u, b->width, b->height};  // "IVRB"
    bool ok = fwrite(head, sizeof head, 1, f) == 1;
    for (uint32_t y = 0; ok && y < b->height; y++)
        ok = fwrite(b->pixels + (size_t)y * b->stride, (size_t)b->width * 4, 1, f) == 1;
    return fclose(f) == 0 && ok;
}

// What the capture thread does on every wake.
static void probe_wake(probe_state* st) {
    if (!st->cache) {
        st->cache = display_cache_build();
    } else {
        display_cache_validate(st->cache);
    }
    uint32_t gen = display_cache_generation(st->cache);
    if (gen != st->described || !st->cache) {
        display_cache_describe(st->cache);
        st->described = gen;
    }
}

static void probe_text(probe_state* st) {
    wchar_t text[DISPLAY_TEXT_CAP];
    int count = display_monitor_text(text, DISPLAY_TEXT_CAP);
    for (wchar_t* p = text; *p; p++)
        if (*p == L'\t') *p = L'|';
    probe_say("text count=%d gen=%u %ls\n", count, display_cache_generation(st->cache), text);
}

static void probe_result(const char* what, bool ok, const frame_buffer* b, const wchar_t* path) {
    if (ok && !probe_write(path, b)) {
        probe_say("fail %s cannot write %ls\n", what, path);
        return;
    }
    if (ok)
        probe_say("ok %s %ux%u\n", what, b->width, b->height);
    else
        probe_say("fail %s\n", what);
}

static void probe_idle(probe_state* st, DWORD ms) {
    DWORD start = GetTickCount();
    for (;;) {
        DWORD spent = GetTickCount() - start;
        if (spent >= ms) break;
        DWORD left = ms - spent;
        DWORD r = MsgWaitForMultipleObjectsEx(0, nullptr, left < 2000 ? left : 2000, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        probe_wake(st);
        if (r == WAIT_TIMEOUT && left >= 2000 && !st->keep_warm && st->cache) {
            int n = display_cache_release_idle(st->cache);
            if (n) probe_say("released %d after %lu ms\n", n, (unsigned long)(GetTickCount() - start));
        }
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    }
    probe_say("idle done open=%d\n", display_cache_any_duplication(st->cache) ? 1 : 0);
}

static HWND probe_hwnd(const wchar_t* s) { return (HWND)(uintptr_t)wcstoull(s, nullptr, 0); }

int wmain(int argc, wchar_t** argv) {
    SetProcessDPIAware();
    log_thread_name(L"ivra-capture");
    probe_state st{};
    st.keep_warm = 1;
    int i = 1;
    for (; i + 1 < argc; i += 2) {
        if (!wcscmp(argv[i], L"--keep-warm"))
            st.keep_warm = _wtoi(argv[i + 1]);
        else if (!wcscmp(argv[i], L"--out"))
            g_out = _wfopen(argv[i + 1], L"w");
        else
            break;
    }
    probe_say("pid=%lu\n", GetCurrentProcessId());
    st.cache = display_cache_build();
    if (!st.cache) {
        probe_say("fail build\ndone\n");
        return 1;
    }
    if (st.keep_warm) display_cache_warm_up(st.cache);
    display_cache_describe(st.cache);
    st.described = display_cache_generation(st.cache);
    probe_say("built outputs=%d gen=%u\n", display_cache_output_count(st.cache), st.described);
    fflush(stdout);

    int rc = 0;
    while (i < argc) {
        const wchar_t* cmd = argv[i];
        int left = argc - i - 1;
        probe_wake(&st);
        if (!wcscmp(cmd, L"output") && left >= 2) {
            RECT r{};
            bool ok = capture_output(st.cache, _wtoi(argv[i + 1]), &st.buf, &r);
            probe_result("output", ok, &st.buf, argv[i + 2]);
            i += 3;
        } else if (!wcscmp(cmd, L"rect") && left >= 5) {
            RECT r = {_wtoi(argv[i + 1]), _wtoi(argv[i + 2]), _wtoi(argv[i + 3]), _wtoi(argv[i + 4])};
            probe_result("rect", capture_rect(st.cache, &r, &st.buf), &st.buf, argv[i + 5]);
            i += 6;
        } else if (!wcscmp(cmd, L"window") && left >= 2) {
            capture_target t{};
            t.kind = CAPTURE_TARGET_WINDOW;
            t.window = probe_hwnd(argv[i + 1]);
            probe_result("window", capture_target_grab(st.cache, &t, &st.buf), &st.buf, argv[i + 2]);
            i += 3;
        } else if (!wcscmp(cmd, L"monitor") && left >= 3) {
            capture_target t{};
            t.kind = CAPTURE_TARGET_MONITOR;
            POINT p = {_wtoi(argv[i + 1]), _wtoi(argv[i + 2])};
            t.monitor = MonitorFromPoint(p, MONITOR_DEFAULTTONULL);
            probe_result("monitor", capture_target_grab(st.cache, &t, &st.buf), &st.buf, argv[i + 3]);
            i += 4;
        } else if (!wcscmp(cmd, L"printwindow") && left >= 2) {
            probe_result("printwindow", capture_print_window(probe_hwnd(argv[i + 1]), &st.buf), &st.buf, argv[i + 2]);
            i += 3;
        } else if (!wcscmp(cmd, L"text")) {
            probe_text(&st);
            i += 1;
        } else if (!wcscmp(cmd, L"change-mode") && left >= 2) {
            DEVMODEW dm{};
            dm.dmSize = sizeof dm;
            dm.dmPelsWidth = (DWORD)_wtoi(argv[i + 1]);
            dm.dmPelsHeight = (DWORD)_wtoi(argv[i + 2]);
            dm.dmFields = DM_PELSWIDTH | DM_PELSHEIGHT;
            LONG r = ChangeDisplaySettingsExW(nullptr, &dm, nullptr, 0, nullptr);
            probe_say("change-mode %ld\n", r);
            i += 3;
        } else if (!wcscmp(cmd, L"reset-mode")) {
            // Back to the mode of the registry, so no later program sees the test's mode.
            LONG r = ChangeDisplaySettingsExW(nullptr, nullptr, nullptr, 0, nullptr);
            probe_say("reset-mode %ld\n", r);
            i += 1;
        } else if (!wcscmp(cmd, L"idle") && left >= 1) {
            probe_idle(&st, (DWORD)_wtoi(argv[i + 1]));
            i += 2;
        } else if (!wcscmp(cmd, L"poll") && left >= 2) {
            int index = _wtoi(argv[i + 1]), count = _wtoi(argv[i + 2]), oks = 0, fresh_total = 0;
            for (int k = 0; k < count; k++) {
                ID3D11Texture2D* frame = nullptr;
                int fresh = 0;
                if (capture_poll(st.cache, index, &frame, &fresh) && frame) oks++;
                fresh_total += fresh;
            }
            probe_say("poll ok=%d fresh=%d\n", oks, fresh_total);
            i += 3;
        } else if (!wcscmp(cmd, L"state")) {
            probe_say("state open=%d gen=%u lost=%d\n", display_cache_any_duplication(st.cache) ? 1 : 0,
                      display_cache_generation(st.cache), st.cache ? st.cache->lost : 0);
            i += 1;
        } else if (!wcscmp(cmd, L"sleep") && left >= 1) {
            Sleep((DWORD)_wtoi(argv[i + 1]));
            probe_say("slept\n");
            i += 2;
        } else {
            probe_say("fail usage at %ls\n", cmd);
            rc = 2;
            break;
        }
        fflush(stdout);
    }
    frame_buffer_free(&st.buf);
    display_cache_destroy(st.cache);
    probe_say("done\n");
    if (g_out) fclose(g_out);
    return rc;
}
