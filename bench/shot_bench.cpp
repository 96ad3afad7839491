// Screenshot latency of a warm agent against the same work done inline:
//   (a) a "shot" request on the control pipe, request to reply;
//   (b) "ivrac shot" from process start to exit (when ivrac.exe is built);
//   (c) inline: GDI copy of the primary screen, the same PNG encode and write.
// Runs are interleaved so that all three see the same machine load.
//   shot_bench [RUNS] [--animate]   (default 30; needs a running ivrad:
//   bench/run_shot_bench.py starts one in a private sandbox and runs this)
// --animate keeps a small window changing, as a desktop in use does, so that
// every capture takes a fresh frame rather than the cached one.
#include "agent/capture/still_encoder.h"
#include "agent/capture/dib.h"
#include "common/win.h"
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

double shot_bench_ms(const LARGE_INTEGER& a, const LARGE_INTEGER& b) {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return (double)(b.QuadPart - a.QuadPart) * 1000.0 / (double)f.QuadPart;
}

// One request and its reply line; false when the pipe cannot be opened or read.
bool shot_bench_pipe(const std::string& request, std::string* reply) {
    HANDLE h = INVALID_HANDLE_VALUE;
    for (int tries = 0; tries < 50 && h == INVALID_HANDLE_VALUE; tries++) {
        h = CreateFileW(L"\\\\.\\pipe\\ivra", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            if (GetLastError() != ERROR_PIPE_BUSY) return false;
            WaitNamedPipeW(L"\\\\.\\pipe\\ivra", 200);
        }
    }
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD mode = PIPE_READMODE_BYTE;
    SetNamedPipeHandleState(h, &mode, nullptr, nullptr);
    DWORD n = 0;
    bool ok = WriteFile(h, request.data(), (DWORD)request.size(), &n, nullptr) && n == request.size();
    reply->clear();
    char buf[4096];
    while (ok) {
        if (!ReadFile(h, buf, sizeof buf, &n, nullptr) || n == 0) break;
        reply->append(buf, n);
        if (reply->find('\n') != std::string::npos) break;
    }
    CloseHandle(h);
    return ok && !reply->empty();
}

std::string shot_bench_field(const std::string& reply, const char* name) {
    std::string key = std::string("\t") + name + "=";
    size_t p = reply.find(key);
    if (p == std::string::npos) return "";
    p += key.size();
    size_t e = reply.find_first_of("\t\n", p);
    return reply.substr(p, e == std::string::npos ? std::string::npos : e - p);
}

void shot_bench_delete_utf8(const std::string& path) {
    wchar_t w[520];
    if (MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, w, 520) > 0) DeleteFileW(w);
}

double shot_bench_run_process(const std::wstring& command_line, int* exit_code) {
    std::vector<wchar_t> line(command_line.begin(), command_line.end());
    line.push_back(0);
    HANDLE sink =
        CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    SetHandleInformation(sink, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = sink;
    si.hStdError = sink;
    PROCESS_INFORMATION pi{};
    LARGE_INTEGER t0, t1;
    QueryPerformanceCounter(&t0);
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
        CloseHandle(sink);
        *exit_code = -1;
        return 0;
    }
    WaitForSingleObject(pi.hProcess, INFINITE);
    QueryPerformanceCounter(&t1);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    *exit_code = (int)code;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    CloseHandle(sink);
    return shot_bench_ms(t0, t1);
}

// The inline program's work: one GDI copy of the primary screen, PNG encode, write.
bool shot_bench_inline(const wchar_t* path) {
    int w = GetSystemMetrics(SM_CXSCREEN), h = GetSystemMetrics(SM_CYSCREEN);
    HDC screen = GetDC(nullptr);
    HDC mem = CreateCompatibleDC(screen);
    BITMAPINFO bi;
    dib_info_top_down(&bi, w, h);
    void* bits = nullptr;
    HBITMAP dib = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    bool ok = false;
    if (dib && bits) {
        HGDIOBJ old = SelectObject(mem, dib);
        ok = BitBlt(mem, 0, 0, w, h, screen, 0, 0, SRCCOPY) != 0;
        GdiFlush();
        SelectObject(mem, old);
        if (ok) {
            still_image img{(const uint8_t*)bits, w, h, w * 4};
            char err[160];
            ok = still_encode_file(&img, 0, 90, path, err, sizeof err);
        }
    }
    if (dib) DeleteObject(dib);
    DeleteDC(mem);
    ReleaseDC(nullptr, screen);
    return ok;
}

LRESULT CALLBACK shot_bench_anim_proc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
    static unsigned tick = 0;
    if (msg == WM_TIMER) {
        tick++;
        InvalidateRect(w, nullptr, FALSE);
        return 0;
    }
    if (msg == WM_PAINT) {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(w, &ps);
        HBRUSH b = CreateSolidBrush(RGB(tick * 37 & 255, tick * 91 & 255, tick * 13 & 255));
        FillRect(dc, &ps.rcPaint, b);
        DeleteObject(b);
        EndPaint(w, &ps);
        return 0;
    }
    return DefWindowProcW(w, msg, wp, lp);
}

// A 64x64 window in the screen's corner that repaints every 10 ms until the process ends.
DWORD WINAPI shot_bench_anim_thread(void* ready) {
    WNDCLASSW wc{};
    wc.lpfnWndProc = shot_bench_anim_proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"IvraShotBenchAnim";
    RegisterClassW(&wc);
    HWND w = CreateWindowExW(WS_EX_TOPMOST | WS_EX_TOOLWINDOW | WS_EX_NOACTIVATE, wc.lpszClassName, L"", WS_POPUP, 0, 0,
                             64, 64, nullptr, nullptr, wc.hInstance, nullptr);
    if (w) {
        ShowWindow(w, SW_SHOWNOACTIVATE);
        SetTimer(w, 1, 10, nullptr);
    }
    SetEvent((HANDLE)ready);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
    return 0;
}

struct shot_bench_figures {
    double median, p95;
};

shot_bench_figures shot_bench_stats(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    if (n == 0) return {0, 0};
    double med = n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
    size_t k = (size_t)((double)n * 0.95 + 0.999999);
    if (k < 1) k = 1;
    return {med, v[std::min(n, k) - 1]};
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    int runs = 30;
    bool animate = false;
    for (int i = 1; i < argc; i++) {
        if (!wcscmp(argv[i], L"--animate"))
            animate = true;
        else if (_wtoi(argv[i]) > 0)
            runs = _wtoi(argv[i]);
    }
    if (animate) {
        HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        HANDLE t = CreateThread(nullptr, 0, shot_bench_anim_thread, ready, 0, nullptr);
        if (t) {
            WaitForSingleObject(ready, 5000);
            CloseHandle(t);
        }
        CloseHandle(ready);
    }
    wchar_t root[MAX_PATH];
    GetModuleFileNameW(nullptr, root, MAX_PATH);
    *wcsrchr(root, L'\\') = 0;  // <build>\bench
    *wcsrchr(root, L'\\') = 0;  // <build>
    std::wstring ivrac = std::wstring(root) + L"\\ivrac.exe";
    bool have_ivrac = GetFileAttributesW(ivrac.c_str()) != INVALID_FILE_ATTRIBUTES;

    wchar_t tmp[MAX_PATH];
    GetTempPathW(MAX_PATH, tmp);
    std::wstring dir = std::wstring(tmp) + L"ivra-shot-bench-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(dir.c_str(), nullptr);
    char dir_utf8[520];
    WideCharToMultiByte(CP_UTF8, 0, dir.c_str(), -1, dir_utf8, sizeof dir_utf8, nullptr, nullptr);
    std::string request = std::string("shot\ttarget=monitor\tmonitor=0\tsilent=1\tdir=") + dir_utf8 + "\n";

    std::string reply;
    if (!shot_bench_pipe(request, &reply) || reply.compare(0, 3, "ok\t") != 0) {
        fprintf(stderr, "no working agent on \\\\.\\pipe\\ivra (reply: %s); start ivrad first\n", reply.c_str());
        RemoveDirectoryW(dir.c_str());
        return 1;
    }
    shot_bench_delete_utf8(shot_bench_field(reply, "path"));
    std::wstring inline_path = dir + L"\\inline.png";
    shot_bench_inline(inline_path.c_str());  // warm the encoder and GDI as the agent is warm

    std::vector<double> pipe_ms, cli_ms, inline_ms;
    int failures = 0;
    for (int i = 0; i < runs; i++) {
        LARGE_INTEGER t0, t1;
        QueryPerformanceCounter(&t0);
        bool ok = shot_bench_pipe(request, &reply);
        QueryPerformanceCounter(&t1);
        if (ok && reply.compare(0, 3, "ok\t") == 0) {
            pipe_ms.push_back(shot_bench_ms(t0, t1));
            shot_bench_delete_utf8(shot_bench_field(reply, "path"));
        } else {
            failures++;
            fprintf(stderr, "pipe shot failed: %s", reply.c_str());
        }

        if (have_ivrac) {
            std::wstring out = dir + L"\\cli.png";
            std::wstring line = L"\"" + ivrac + L"\" shot --screen 0 --silent -o \"" + out + L"\"";
            int code = 0;
            double ms = shot_bench_run_process(line, &code);
            if (code == 0)
                cli_ms.push_back(ms);
            else
                failures++;
            DeleteFileW(out.c_str());
        }

        QueryPerformanceCounter(&t0);
        ok = shot_bench_inline(inline_path.c_str());
        QueryPerformanceCounter(&t1);
        if (ok)
            inline_ms.push_back(shot_bench_ms(t0, t1));
        else
            failures++;
        DeleteFileW(inline_path.c_str());
    }
    RemoveDirectoryW(dir.c_str());

    shot_bench_figures a = shot_bench_stats(pipe_ms), b = shot_bench_stats(cli_ms), c = shot_bench_stats(inline_ms);
    printf("screen %dx%d, %s, %d runs, %d failures\n", GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN),
           animate ? "changing screen" : "still screen", runs, failures);
    printf("%-28s %10s %10s\n", "", "median ms", "p95 ms");
    printf("%-28s %10.1f %10.1f\n", "(a) pipe shot request", a.median, a.p95);
    if (have_ivrac)
        printf("%-28s %10.1f %10.1f\n", "(b) ivrac shot process", b.median, b.p95);
    else
        printf("(b) ivrac shot process: ivrac.exe not built\n");
    printf("%-28s %10.1f %10.1f\n", "(c) inline GDI+PNG+write", c.median, c.p95);
    if (c.median > 0)
        printf("ratio (a)/(c): median %.2f, p95 %.2f\n", a.median / c.median, c.p95 > 0 ? a.p95 / c.p95 : 0.0);
    return failures ? 2 : 0;
}
