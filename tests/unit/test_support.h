// Small helpers shared by the unit tests, benches and test tools: private
// folders, whole-file reads and writes, text conversion and pipe clients.
#pragma once

#include "common/win.h"

#include <string>

// Makes %TEMP%\<leaf><pid> and returns its path; the folder may already exist.
inline std::wstring test_temp_dir(const wchar_t* leaf) {
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    std::wstring dir = std::wstring(base) + leaf + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(dir.c_str(), nullptr);
    return dir;
}

// Removes a folder and everything below it; missing folders are ignored.
inline void test_remove_tree(const std::wstring& dir) {
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((dir + L"\\*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = fd.cFileName;
            if (name == L"." || name == L"..") continue;
            const std::wstring p = dir + L"\\" + name;
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                test_remove_tree(p);
            else
                DeleteFileW(p.c_str());
        } while (FindNextFileW(h, &fd));
        FindClose(h);
    }
    RemoveDirectoryW(dir.c_str());
}

// Makes <root>\<name><n> with a number new to this process and returns its path.
inline std::wstring test_fresh_dir(const std::wstring& root, const wchar_t* name) {
    static int n = 0;
    std::wstring d = root + L"\\" + name + std::to_wstring(++n);
    CreateDirectoryW(d.c_str(), nullptr);
    return d;
}

inline bool test_exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Replaces a file's content; failures show in the reads that follow.
inline void test_write_all(const std::wstring& path, const std::string& data) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD w = 0;
    WriteFile(h, data.data(), (DWORD)data.size(), &w, nullptr);
    CloseHandle(h);
}

// Reads a whole file into *out; false (and *out untouched) when it cannot be opened.
// Shares everything so that a log still held open by its writer can be read.
inline bool test_read_file(const std::wstring& path, std::string* out) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    std::string text;
    char buf[65536];
    DWORD got = 0;
    while (ReadFile(h, buf, sizeof buf, &got, nullptr) && got > 0) text.append(buf, got);
    CloseHandle(h);
    *out = std::move(text);
    return true;
}

// The whole file, or "" when it cannot be opened.
inline std::string test_read_all(const std::wstring& path) {
    std::string text;
    test_read_file(path, &text);
    return text;
}

// UTF-8 form of a wide string of up to 2047 bytes once converted; "" when longer or invalid.
inline std::string test_utf8(const std::wstring& w) {
    char buf[2048];
    int n = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, buf, sizeof buf, nullptr, nullptr);
    return n > 0 ? std::string(buf, (size_t)n - 1) : std::string();
}

// Polls cond every 10 ms; true as soon as it holds, false once ms have passed.
template <class F>
bool test_wait_until(F cond, DWORD ms) {
    ULONGLONG end = GetTickCount64() + ms;
    for (;;) {
        if (cond()) return true;
        if (GetTickCount64() >= end) return false;
        Sleep(10);
    }
}

// How many times needle occurs in hay, overlapping occurrences included.
inline size_t test_count_of(const std::string& hay, const std::string& needle) {
    size_t n = 0;
    for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) n++;
    return n;
}

// A calendar time with milliseconds and weekday zero, as the name and record formatters take it.
inline SYSTEMTIME test_systemtime(int year, int month, int day, int hour, int minute, int second) {
    SYSTEMTIME t{};
    t.wYear = (WORD)year;
    t.wMonth = (WORD)month;
    t.wDay = (WORD)day;
    t.wHour = (WORD)hour;
    t.wMinute = (WORD)minute;
    t.wSecond = (WORD)second;
    return t;
}

// Reads from a pipe until the writer closes its end, an error ends the read or `ms` pass.
inline std::string test_read_until_eof(HANDLE h, DWORD ms = 120000) {
    // Polls rather than blocks, so a server that never disconnects fails the
    // test at the deadline instead of hanging the whole program.
    std::string out;
    char buf[4096];
    const ULONGLONG end = GetTickCount64() + ms;
    for (;;) {
        DWORD avail = 0;
        if (!PeekNamedPipe(h, nullptr, 0, nullptr, &avail, nullptr))
            break;  // the other end is gone and everything was read
        if (avail == 0) {
            if (GetTickCount64() >= end) break;
            Sleep(1);
            continue;
        }
        DWORD n = 0;
        if (!ReadFile(h, buf, avail < sizeof buf ? avail : (DWORD)sizeof buf, &n, nullptr) || n == 0) break;
        out.append(buf, n);
    }
    return out;
}
