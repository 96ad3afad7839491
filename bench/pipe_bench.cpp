// Control-pipe speed: a bare named-pipe server inside this process (one connection
// per request, eight server threads) against the real agent, measured the same way:
// "ping" round trips with one client (p50/p99) and requests per second with eight
// concurrent clients.
//
//   pipe_bench [--attach] [--pings N] [--seconds S]
//
// A third line, "inproc", runs the agent's own pipe server code inside this process
// (listener and an 8-thread pool on \\.\pipe\ivra) before the agent starts, which
// separates the server's cost from the rest of the agent process.
//
// Without --attach the bench starts ..\ivrad.exe (relative to its own folder) with a
// private APPDATA, USERPROFILE and TEMP under %TEMP%, and stops it afterwards; with
// --attach it measures an agent that already serves \\.\pipe\ivra.
#include "common/win.h"
#include "agent/core/agent.h"
#include "agent/core/worker_pool.h"
#include "agent/pipe/pipe_server.h"
#include "tests/unit/test_support.h"
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

const wchar_t* const AGENT_PIPE = L"\\\\.\\pipe\\ivra";

double qpc_ms(LONGLONG ticks) {
    static LARGE_INTEGER f = [] {
        LARGE_INTEGER x;
        QueryPerformanceFrequency(&x);
        return x;
    }();
    return ticks * 1000.0 / (double)f.QuadPart;
}

LONGLONG qpc_now() {
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t.QuadPart;
}

// One request on its own connection, as ivrac does it. True when the reply was "ok\n".
bool ping_once(const wchar_t* name) {
    HANDLE h = INVALID_HANDLE_VALUE;
    ULONGLONG end = GetTickCount64() + 10000;
    for (;;) {
        h = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h != INVALID_HANDLE_VALUE) break;
        DWORD e = GetLastError();
        if (GetTickCount64() >= end || (e != ERROR_PIPE_BUSY && e != ERROR_FILE_NOT_FOUND)) return false;
        if (e == ERROR_PIPE_BUSY)
            WaitNamedPipeW(name, 1000);
        else
            Sleep(1);
    }
    DWORD n = 0;
    WriteFile(h, "ping\n", 5, &n, nullptr);
    char buf[64];
    size_t got = 0;
    while (got < sizeof buf && ReadFile(h, buf + got, (DWORD)(sizeof buf - got), &n, nullptr) && n > 0) got += n;
    CloseHandle(h);
    return got == 3 && memcmp(buf, "ok\n", 3) == 0;
}

struct figures {
    double p50_ms, p99_ms, rps;
    int errors;
};

figures measure(const wchar_t* name, int pings, double seconds) {
    figures f{};
    for (int i = 0; i < 50; i++) ping_once(name);  // warm-up
    std::vector<double> lat;
    lat.reserve(pings);
    for (int i = 0; i < pings; i++) {
        LONGLONG t0 = qpc_now();
        if (!ping_once(name)) f.errors++;
        lat.push_back(qpc_ms(qpc_now() - t0));
    }
    std::sort(lat.begin(), lat.end());
    f.p50_ms = lat[lat.size() / 2];
    f.p99_ms = lat[std::min(lat.size() - 1, (size_t)(lat.size() * 0.99))];

    std::atomic<long> done{0}, errors{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> clients;
    LONGLONG t0 = qpc_now();
    for (int i = 0; i < 8; i++)
        clients.emplace_back([&] {
            while (!stop.load()) {
                if (ping_once(name))
                    done++;
                else
                    errors++;
            }
        });
    Sleep((DWORD)(seconds * 1000));
    stop = true;
    for (auto& t : clients) t.join();
    double elapsed = qpc_ms(qpc_now() - t0) / 1000.0;
    f.rps = done.load() / elapsed;
    f.errors += (int)errors.load();
    return f;
}

// ---- the bare server

struct bare_server {
    std::wstring name;
    std::atomic<bool> stop{false};
    std::atomic<int> ended{0};
    std::vector<std::thread> threads;
};

void bare_serve_loop(bare_server* s) {
    while (!s->stop.load()) {
        HANDLE h =
            CreateNamedPipeW(s->name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                             PIPE_UNLIMITED_INSTANCES, 8192, 8192, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            Sleep(100);
            continue;
        }
        if (ConnectNamedPipe(h, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED) {
            char buf[8192];
            size_t got = 0;
            DWORD n = 0;
            while (got < 8191 && ReadFile(h, buf + got, (DWORD)(8191 - got), &n, nullptr) && n > 0) {
                got += n;
                if (memchr(buf, '\n', got)) break;
            }
            if (got > 0 && !s->stop.load()) {
                WriteFile(h, "ok\n", 3, &n, nullptr);
                FlushFileBuffers(h);
            }
            DisconnectNamedPipe(h);
        }
        CloseHandle(h);
    }
    s->ended++;
}

void bare_start(bare_server* s) {
    s->name = L"\\\\.\\pipe\\ivra-bench-" + std::to_wstring(GetCurrentProcessId());
    for (int i = 0; i < 8; i++) s->threads.emplace_back(bare_serve_loop, s);
}

void bare_stop(bare_server* s) {
    s->stop = true;
    // Each server thread waits in ConnectNamedPipe; a connection releases it. A
    // connection attempt can miss (no instance waiting at that moment), so keep
    // connecting until every thread has ended.
    while (s->ended.load() < (int)s->threads.size()) {
        HANDLE h = CreateFileW(s->name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
        else
            Sleep(5);
    }
    for (auto& t : s->threads) t.join();
}

// ---- the agent

struct agent_proc {
    PROCESS_INFORMATION pi{};
    std::wstring data_root;
};

bool agent_start(agent_proc* a) {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring dir = self;
    dir = dir.substr(0, dir.find_last_of(L'\\'));
    std::wstring exe = dir.substr(0, dir.find_last_of(L'\\')) + L"\\ivrad.exe";
    wchar_t tmp[MAX_PATH];
    GetTempPathW(MAX_PATH, tmp);
    a->data_root = std::wstring(tmp) + L"ivra-bench-" + std::to_wstring(GetCurrentProcessId());
    std::wstring appdata = a->data_root + L"\\appdata", profile = a->data_root + L"\\profile",
                 temp = a->data_root + L"\\temp";
    CreateDirectoryW(a->data_root.c_str(), nullptr);
    for (auto* d : {&appdata, &profile, &temp}) CreateDirectoryW(d->c_str(), nullptr);
    SetEnvironmentVariableW(L"APPDATA", appdata.c_str());
    SetEnvironmentVariableW(L"USERPROFILE", profile.c_str());
    SetEnvironmentVariableW(L"TEMP", temp.c_str());
    SetEnvironmentVariableW(L"TMP", temp.c_str());
    std::wstring cmd = L"\"" + exe + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    if (!CreateProcessW(exe.c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &a->pi)) {
        fprintf(stderr, "cannot start %ls: error %lu\n", exe.c_str(), GetLastError());
        return false;
    }
    ULONGLONG end = GetTickCount64() + 60000;
    while (GetTickCount64() < end) {
        if (WaitForSingleObject(a->pi.hProcess, 0) == WAIT_OBJECT_0) {
            fprintf(stderr, "ivrad.exe ended during start-up\n");
            return false;
        }
        if (ping_once(AGENT_PIPE)) return true;
        Sleep(100);
    }
    fprintf(stderr, "ivrad.exe did not answer ping within 60 s\n");
    return false;
}

struct close_target {
    DWORD pid;
    HWND wnd;
};

BOOL CALLBACK find_agent_window(HWND w, LPARAM lp) {
    close_target* t = (close_target*)lp;
    DWORD pid = 0;
    GetWindowThreadProcessId(w, &pid);
    wchar_t cls[64];
    if (pid == t->pid && GetClassNameW(w, cls, 64) && wcscmp(cls, L"IvraAgentWnd") == 0) {
        t->wnd = w;
        return FALSE;
    }
    return TRUE;
}

void agent_stop(agent_proc* a) {
    if (!a->pi.hProcess) return;
    close_target t{a->pi.dwProcessId, nullptr};
    EnumWindows(find_agent_window, (LPARAM)&t);
    if (!t.wnd) {
        HWND w = nullptr;
        while ((w = FindWindowExW(HWND_MESSAGE, w, L"IvraAgentWnd", nullptr)) && !t.wnd)
            find_agent_window(w, (LPARAM)&t);
    }
    if (t.wnd) PostMessageW(t.wnd, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(a->pi.hProcess, 20000) != WAIT_OBJECT_0) {
        fprintf(stderr, "ivrad.exe did not stop; terminating it\n");
        TerminateProcess(a->pi.hProcess, 1);
        WaitForSingleObject(a->pi.hProcess, 5000);
    }
    CloseHandle(a->pi.hProcess);
    CloseHandle(a->pi.hThread);
    a->pi = {};
    test_remove_tree(a->data_root);
}

void print(const char* label, const figures& f) {
    printf("%-6s ping p50 %.3f ms  p99 %.3f ms  |  8 clients %.0f req/s  |  errors %d\n", label, f.p50_ms, f.p99_ms,
           f.rps, f.errors);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);  // figures appear as they are measured
    bool attach = false;
    int pings = 1000;
    double seconds = 5;
    for (int i = 1; i < argc; i++) {
        if (wcscmp(argv[i], L"--attach") == 0)
            attach = true;
        else if (wcscmp(argv[i], L"--pings") == 0 && i + 1 < argc)
            pings = std::max(10, _wtoi(argv[++i]));
        else if (wcscmp(argv[i], L"--seconds") == 0 && i + 1 < argc)
            seconds = std::max(1.0, _wtof(argv[++i]));
        else {
            fprintf(stderr, "usage: pipe_bench [--attach] [--pings N] [--seconds S]\n");
            return 2;
        }
    }

    bare_server bare;
    bare_start(&bare);
    figures fb = measure(bare.name.c_str(), pings, seconds);
    bare_stop(&bare);
    print("bare", fb);

    agent_proc agent;
    if (!attach) {
        g_agent.pipe = worker_pool_create("ivra-pipe", 8, 64, THREAD_PRIORITY_NORMAL);
        if (g_agent.pipe && pipe_listener_start()) {
            figures fi = measure(AGENT_PIPE, pings, seconds);
            print("inproc", fi);
        }
        InterlockedExchange(&g_agent.quitting, 1);
        pipe_listener_wake();
        pipe_listener_wait(3000);
        worker_pool_destroy(g_agent.pipe, 3000);
        g_agent.pipe = nullptr;
        HANDLE probe = CreateFileW(AGENT_PIPE, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (probe != INVALID_HANDLE_VALUE || GetLastError() == ERROR_PIPE_BUSY) {
            if (probe != INVALID_HANDLE_VALUE) CloseHandle(probe);
            fprintf(stderr, "an agent already serves the pipe; stop it or pass --attach\n");
            return 1;
        }
        if (!agent_start(&agent)) {
            agent_stop(&agent);
            return 1;
        }
    }
    figures fa = measure(AGENT_PIPE, pings, seconds);
    if (!attach) agent_stop(&agent);
    print("agent", fa);

    double share = fb.rps > 0 ? fa.rps / fb.rps : 0;
    printf("agent/bare throughput %.0f %% (goal >= 70 %%), agent p50 %.3f ms (goal <= 1 ms)\n", share * 100, fa.p50_ms);
    return 0;
}
