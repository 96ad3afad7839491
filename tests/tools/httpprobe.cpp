// Test helper: runs HTTP client calls, one per step, and prints one line per step.
//   httpprobe STEP [; STEP ...]   (a lone ";" separates steps, so one Wine start serves many)
// Steps:
//   api METHOD SERVER PATH [BODY]     api_call with the JSON headers
//   request METHOD URL                http_request with a 15 s time-out and no body
//   put URL FILE [TYPE]               http_put_file with that Content-Type
//                                     (default application/octet-stream)
//   cancel URL FILE MS [TYPE]         the same, with the cancel flag set MS ms after it
//                                     starts (MS < 0: set before it starts)
//   download URL FILE                 http_download
// Every line starts with the step's name, then tab-separated fields: ok, status, error
// (system error), code, message, body (body length), and for api tree=1 when a tree
// came back; cancel adds after_cancel_ms, the time from setting the flag to the return.
#include "common/http.h"
#include "common/win.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string probe_utf8(const wchar_t* w) {
    int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
    std::string s((size_t)(n > 0 ? n : 1), '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, w, -1, s.data(), n, nullptr, nullptr);
    s.resize(strlen(s.c_str()));
    return s;
}

void probe_print(const char* step, bool ok, const http_response& r, const char* extra) {
    printf("%s\tok=%d\tstatus=%d\terror=%lu\tbody=%llu%s\n", step, ok ? 1 : 0, r.status, r.system_error,
           (unsigned long long)r.body_length, extra);
    fflush(stdout);
}

struct probe_cancel {
    volatile long flag;
    DWORD delay_ms;
    ULONGLONG set_at;
};

DWORD WINAPI probe_cancel_later(void* p) {
    probe_cancel* c = (probe_cancel*)p;
    Sleep(c->delay_ms);
    c->set_at = GetTickCount64();
    InterlockedExchange(&c->flag, 1);
    return 0;
}

// Runs one step; returns false for a step it does not know.
bool probe_step(const std::vector<std::string>& a, const std::vector<std::wstring>& w) {
    const std::string& op = a[0];
    if (op == "api" && (a.size() == 4 || a.size() == 5)) {
        api_result res{};
        json_node* tree = api_call(a[1].c_str(), a[2].c_str(), a[3].c_str(), HTTP_JSON_HEADERS,
                                   a.size() == 5 ? a[4].c_str() : nullptr, &res);
        printf("api\tstatus=%d\tcode=%s\tmessage=%s\ttree=%d\n", res.status, res.code, res.message, tree ? 1 : 0);
        fflush(stdout);
        json_free(tree);
        return true;
    }
    http_response r{};
    const size_t type_at = op == "put" ? 3 : 4;
    const std::string type_header =
        "Content-Type: " + (a.size() > type_at ? a[type_at] : std::string("application/octet-stream")) + "\r\n";
    if (op == "request" && a.size() == 3) {
        bool ok = http_request(a[1].c_str(), a[2].c_str(), HTTP_JSON_HEADERS, nullptr, 0, 15000, &r);
        probe_print("request", ok, r, "");
    } else if (op == "put" && (a.size() == 3 || a.size() == 4)) {
        bool ok = http_put_file(a[1].c_str(), type_header.c_str(), w[2].c_str(), nullptr, &r);
        probe_print("put", ok, r, "");
    } else if (op == "cancel" && (a.size() == 4 || a.size() == 5)) {
        probe_cancel c{0, 0, 0};
        int ms = atoi(a[3].c_str());
        HANDLE t = nullptr;
        if (ms < 0) {
            c.flag = 1;
            c.set_at = GetTickCount64();
        } else {
            c.delay_ms = (DWORD)ms;
            t = CreateThread(nullptr, 0, probe_cancel_later, &c, 0, nullptr);
        }
        bool ok = http_put_file(a[1].c_str(), type_header.c_str(), w[2].c_str(), &c.flag, &r);
        ULONGLONG end = GetTickCount64();
        if (t) {
            WaitForSingleObject(t, INFINITE);
            CloseHandle(t);
        }
        char extra[64];
        snprintf(extra, sizeof extra, "\tafter_cancel_ms=%lld", end >= c.set_at ? (long long)(end - c.set_at) : -1LL);
        probe_print("cancel", ok, r, extra);
    } else if (op == "download" && a.size() == 3) {
        bool ok = http_download(a[1].c_str(), w[2].c_str(), nullptr, nullptr, nullptr, &r);
        probe_print("download", ok, r, "");
    } else {
        return false;
    }
    http_response_free(&r);
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> a;
    std::vector<std::wstring> w;
    for (int i = 1; i <= argc; ++i) {
        if (i < argc && wcscmp(argv[i], L";") != 0) {
            a.push_back(probe_utf8(argv[i]));
            w.push_back(argv[i]);
            continue;
        }
        if (a.empty()) continue;
        if (!probe_step(a, w)) {
            fprintf(stderr, "httpprobe: unknown step or wrong arguments: %s\n", a[0].c_str());
            return 2;
        }
        a.clear();
        w.clear();
    }
    return 0;
}
