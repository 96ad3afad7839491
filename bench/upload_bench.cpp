// Upload costs measured inside one Windows process, each the median of N runs,
// timed with the performance counter so Wine's start-up never counts:
//
//   upload_bench hash FILE [N]          SHA-256 through CNG, 1 MiB reads (as a transfer hashes)
//   upload_bench copy SRC DST [N]       CopyFileW: the plain file copy
//   upload_bench clean-jpeg SRC DST [N] read the whole file, then metadata_strip_jpeg (as a transfer)
//   upload_bench clean-png SRC DST [N]  likewise with metadata_strip_png
//   upload_bench clean-mp4 SRC DST [N]  metadata_strip_mp4
//   upload_bench remux SRC DST [N]      FFmpeg's own stream-copy remux of every stream, no filter
//   upload_bench read|read-write SRC DST [N]  the whole-file read alone, and with one write back
//
// Prints one line "op=%s ms=%.1f bytes=%llu mb_s=%.1f" (and "sha256=%s" for hash).
#include "common/win.h"
#include "agent/upload/metadata.h"
#include "agent/upload/upload_transfer.h"

#include <bcrypt.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

namespace {

double now_ms() {
    static LARGE_INTEGER freq = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return (double)t.QuadPart * 1000.0 / (double)freq.QuadPart;
}

uint64_t file_size(const wchar_t* path) {
    WIN32_FILE_ATTRIBUTE_DATA fa;
    if (!GetFileAttributesExW(path, GetFileExInfoStandard, &fa)) return 0;
    return ((uint64_t)fa.nFileSizeHigh << 32) | fa.nFileSizeLow;
}

// mode 0 cleans a JPEG, 1 a PNG, 2 only reads, 3 reads and writes the bytes back unchanged.
bool bench_clean_still(const wchar_t* src, const wchar_t* dst, int mode) {
    HANDLE h =
        CreateFileW(src, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER len;
    uint8_t* data = nullptr;
    DWORD got = 0;
    bool ok = GetFileSizeEx(h, &len) && len.QuadPart > 0 && len.QuadPart < 0x7fffffff &&
              (data = (uint8_t*)malloc((size_t)len.QuadPart)) != nullptr;
    if (ok) ok = ReadFile(h, data, (DWORD)len.QuadPart, &got, nullptr) && got == (DWORD)len.QuadPart;
    CloseHandle(h);
    if (ok && mode == 3) {
        HANDLE o = CreateFileW(dst, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD put = 0;
        ok = o != INVALID_HANDLE_VALUE && WriteFile(o, data, got, &put, nullptr) && put == got;
        if (o != INVALID_HANDLE_VALUE) CloseHandle(o);
    } else if (ok && mode < 2) {
        ok = mode == 0 ? metadata_strip_jpeg(data, got, dst) : metadata_strip_png(data, got, dst);
    }
    free(data);
    return ok;
}

// A plain remux with FFmpeg: every stream copied, no bitstream filter, no metadata work.
bool bench_remux(const wchar_t* src, const wchar_t* dst) {
    char in[1040], out[1040];
    if (!WideCharToMultiByte(CP_UTF8, 0, src, -1, in, sizeof in, nullptr, nullptr) ||
        !WideCharToMultiByte(CP_UTF8, 0, dst, -1, out, sizeof out, nullptr, nullptr))
        return false;
    AVFormatContext* ic = nullptr;
    AVFormatContext* oc = nullptr;
    AVPacket* pkt = av_packet_alloc();
    std::vector<int> map;
    bool ok = false;
    if (!pkt || avformat_open_input(&ic, in, nullptr, nullptr) < 0 || avformat_find_stream_info(ic, nullptr) < 0 ||
        avformat_alloc_output_context2(&oc, nullptr, "mp4", out) < 0)
        goto done;
    map.assign(ic->nb_streams, -1);
    for (unsigned i = 0; i < ic->nb_streams; i++) {
        AVStream* os = avformat_new_stream(oc, nullptr);
        if (!os || avcodec_parameters_copy(os->codecpar, ic->streams[i]->codecpar) < 0) goto done;
        os->codecpar->codec_tag = 0;
        os->time_base = ic->streams[i]->time_base;
        map[i] = os->index;
    }
    if (avio_open(&oc->pb, out, AVIO_FLAG_WRITE) < 0 || avformat_write_header(oc, nullptr) < 0) goto done;
    while (av_read_frame(ic, pkt) >= 0) {
        int si = pkt->stream_index;
        AVStream* os = oc->streams[map[si]];
        av_packet_rescale_ts(pkt, ic->streams[si]->time_base, os->time_base);
        pkt->stream_index = os->index;
        pkt->pos = -1;
        if (av_interleaved_write_frame(oc, pkt) < 0) goto done;
    }
    ok = av_write_trailer(oc) >= 0;
done:
    av_packet_free(&pkt);
    if (oc) {
        if (oc->pb) avio_closep(&oc->pb);
        avformat_free_context(oc);
    }
    avformat_close_input(&ic);
    return ok;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: upload_bench hash|copy|clean-jpeg|clean-png|clean-mp4|remux FILE [DST] [N]\n");
        return 2;
    }
    const wchar_t* op = argv[1];
    const wchar_t* src = argv[2];
    bool two = wcscmp(op, L"hash") != 0;
    if (two && argc < 4) {
        fprintf(stderr, "upload_bench: %ls needs a destination\n", op);
        return 2;
    }
    const wchar_t* dst = two ? argv[3] : nullptr;
    int runs = argc > (two ? 4 : 3) ? _wtoi(argv[two ? 4 : 3]) : 3;
    runs = std::max(1, std::min(runs, 50));
    std::vector<double> times;
    char hex[65] = {};
    for (int i = 0; i < runs; i++) {
        if (dst) DeleteFileW(dst);
        double t0 = now_ms();
        bool ok;
        if (!wcscmp(op, L"hash"))
            ok = upload_hash_file(src, nullptr, hex);
        else if (!wcscmp(op, L"copy"))
            ok = CopyFileW(src, dst, FALSE) != 0;
        else if (!wcscmp(op, L"clean-jpeg"))
            ok = bench_clean_still(src, dst, 0);
        else if (!wcscmp(op, L"clean-png"))
            ok = bench_clean_still(src, dst, 1);
        else if (!wcscmp(op, L"read"))
            ok = bench_clean_still(src, dst, 2);
        else if (!wcscmp(op, L"read-write"))
            ok = bench_clean_still(src, dst, 3);
        else if (!wcscmp(op, L"clean-mp4"))
            ok = metadata_strip_mp4(src, dst);
        else if (!wcscmp(op, L"remux"))
            ok = bench_remux(src, dst);
        else {
            fprintf(stderr, "upload_bench: unknown operation %ls\n", op);
            return 2;
        }
        double ms = now_ms() - t0;
        if (!ok) {
            fprintf(stderr, "upload_bench: %ls failed on %ls\n", op, src);
            return 1;
        }
        times.push_back(ms);
    }
    std::sort(times.begin(), times.end());
    double ms = times[times.size() / 2];
    uint64_t bytes = file_size(src);
    printf("op=%ls ms=%.1f bytes=%llu mb_s=%.1f", op, ms, (unsigned long long)bytes,
           ms > 0 ? bytes / 1048576.0 / (ms / 1000.0) : 0.0);
    if (hex[0]) printf(" sha256=%s", hex);
    if (dst) printf(" out_bytes=%llu", (unsigned long long)file_size(dst));
    printf("\n");
    return 0;
}
