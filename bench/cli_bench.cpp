// Start-to-exit time of "ivrac --version" and "ivrac config get" against a
// trivial console program started the same way, interleaved in one run.
//   cli_bench [RUNS]   (default 25; programs are looked up in the build tree)
#include "common/win.h"
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <vector>

static double run_once(const wchar_t* command_line, HANDLE sink) {
    wchar_t line[1024];
    wcsncpy(line, command_line, 1023);
    line[1023] = 0;
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = sink;
    si.hStdError = sink;
    PROCESS_INFORMATION pi = {};
    LARGE_INTEGER f, t0, t1;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&t0);
    if (!CreateProcessW(nullptr, line, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
        fwprintf(stderr, L"cannot start %ls (%lu)\n", command_line, GetLastError());
        exit(1);
    }
    WaitForSingleObject(pi.hProcess, INFINITE);
    QueryPerformanceCounter(&t1);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return (double)(t1.QuadPart - t0.QuadPart) * 1000.0 / (double)f.QuadPart;
}

static double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

int wmain(int argc, wchar_t** argv) {
    int runs = argc > 1 ? _wtoi(argv[1]) : 25;
    if (runs < 1) runs = 25;
    wchar_t root[MAX_PATH];
    GetModuleFileNameW(nullptr, root, MAX_PATH);
    *wcsrchr(root, L'\\') = 0;  // <build>\bench
    *wcsrchr(root, L'\\') = 0;  // <build>
    wchar_t trivial[1024], version[1024], config_get[1024];
    swprintf(trivial, 1024, L"\"%ls\\tests\\trivial.exe\"", root);
    swprintf(version, 1024, L"\"%ls\\ivrac.exe\" --version", root);
    swprintf(config_get, 1024, L"\"%ls\\ivrac.exe\" config get", root);

    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    HANDLE sink =
        CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, nullptr);
    // One warm-up round so the first run does not pay for loading the files.
    run_once(trivial, sink);
    run_once(version, sink);
    run_once(config_get, sink);
    std::vector<double> t, v, c;
    for (int i = 0; i < runs; i++) {
        // Alternate the order so a slow phase of the machine hits all three alike.
        if (i % 2 == 0) {
            t.push_back(run_once(trivial, sink));
            v.push_back(run_once(version, sink));
            c.push_back(run_once(config_get, sink));
        } else {
            c.push_back(run_once(config_get, sink));
            v.push_back(run_once(version, sink));
            t.push_back(run_once(trivial, sink));
        }
    }
    CloseHandle(sink);
    double mt = median(t), mv = median(v), mc = median(c);
    double lt = *std::min_element(t.begin(), t.end()), lv = *std::min_element(v.begin(), v.end()),
           lc = *std::min_element(c.begin(), c.end());
    printf("runs                 %d (interleaved)\n", runs);
    printf("                     median       ratio   fastest      ratio\n");
    printf("trivial.exe          %8.2f ms            %8.2f ms\n", mt, lt);
    printf("ivrac --version      %8.2f ms   %5.2f    %8.2f ms   %5.2f\n", mv, mv / mt, lv, lv / lt);
    printf("ivrac config get     %8.2f ms   %5.2f    %8.2f ms   %5.2f\n", mc, mc / mt, lc, lc / lt);
    return 0;
}
