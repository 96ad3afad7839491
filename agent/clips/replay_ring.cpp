#include "agent/clips/replay_ring.h"

#include "common/win.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>

extern "C" {
#include <libavcodec/avcodec.h>
}

// ---- Pure helpers.

int replay_ring_trim_count(const int64_t* pts, int count, int64_t keep) {
    if (!pts || count <= 1) return 0;
    const int64_t newest = pts[count - 1];
    int n = 0;
    while (n < count - 1 && newest - pts[n] > keep) n++;
    return n;
}

int replay_ring_start_index(const int64_t* pts, const bool* key, int count, int64_t window) {
    if (!pts || !key || count <= 0) return -1;
    const int64_t newest = pts[count - 1];
    int first_key = -1;
    for (int i = 0; i < count; i++) {
        if (!key[i]) continue;
        if (pts[i] > newest - window) return i;
        if (first_key < 0) first_key = i;
    }
    return first_key;
}

int replay_ring_save_seconds(int seconds) {
    return seconds >= 1 && seconds <= REPLAY_SAVE_SECONDS_MAX ? seconds : REPLAY_SAVE_SECONDS_MAX;
}

// ---- The ring.

replay_ring* replay_ring_create(void) {
    replay_ring* r = (replay_ring*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(replay_ring));
    if (!r) return nullptr;
    r->video = (AVPacket**)calloc(REPLAY_RING_INITIAL, sizeof(AVPacket*));
    r->video_pts = (int64_t*)calloc(REPLAY_RING_INITIAL, sizeof(int64_t));
    r->video_key = (bool*)calloc(REPLAY_RING_INITIAL, sizeof(bool));
    r->audio = (AVPacket**)calloc(REPLAY_RING_INITIAL, sizeof(AVPacket*));
    r->audio_pts = (int64_t*)calloc(REPLAY_RING_INITIAL, sizeof(int64_t));
    if (!r->video || !r->video_pts || !r->video_key || !r->audio || !r->audio_pts) {
        replay_ring_free(r);
        return nullptr;
    }
    r->video_cap = REPLAY_RING_INITIAL;
    r->audio_cap = REPLAY_RING_INITIAL;
    return r;
}

void replay_ring_free(replay_ring* ring) {
    if (!ring) return;
    for (int i = 0; i < ring->video_count; i++) av_packet_free(&ring->video[i]);
    for (int i = 0; i < ring->audio_count; i++) av_packet_free(&ring->audio[i]);
    free(ring->video);
    free(ring->video_pts);
    free(ring->video_key);
    free(ring->audio);
    free(ring->audio_pts);
    HeapFree(GetProcessHeap(), 0, ring);
}

// Grows the parallel arrays of one list to twice their size. key may be null.
static bool replay_ring_grow(AVPacket*** pkts, int64_t** pts, bool** key, int* cap) {
    const int want = *cap > 0 ? *cap * 2 : REPLAY_RING_INITIAL;
    AVPacket** np = (AVPacket**)realloc(*pkts, sizeof(AVPacket*) * (size_t)want);
    if (!np) return false;
    *pkts = np;
    int64_t* nt = (int64_t*)realloc(*pts, sizeof(int64_t) * (size_t)want);
    if (!nt) return false;
    *pts = nt;
    if (key) {
        bool* nk = (bool*)realloc(*key, sizeof(bool) * (size_t)want);
        if (!nk) return false;
        *key = nk;
    }
    *cap = want;
    return true;
}

// Drops the n oldest packets of one list.
static void replay_ring_drop_front(replay_ring* r, AVPacket** pkts, int64_t* pts, bool* key, int* count, int n) {
    if (n <= 0) return;
    for (int i = 0; i < n; i++) {
        r->video_bytes -= (uint64_t)pkts[i]->size;
        av_packet_free(&pkts[i]);
    }
    const int rest = *count - n;
    memmove(pkts, pkts + n, sizeof(AVPacket*) * (size_t)rest);
    memmove(pts, pts + n, sizeof(int64_t) * (size_t)rest);
    if (key) memmove(key, key + n, sizeof(bool) * (size_t)rest);
    *count = rest;
}

static int64_t replay_ring_packet_time(const AVPacket* pkt) { return pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts; }

bool replay_ring_add_video(replay_ring* r, const AVPacket* pkt, int64_t keep) {
    if (!r || !pkt || replay_ring_packet_time(pkt) == AV_NOPTS_VALUE) return false;
    if (r->video_count == r->video_cap && !replay_ring_grow(&r->video, &r->video_pts, &r->video_key, &r->video_cap))
        return false;  // memory is short: this packet is lost, the ring stays consistent
    AVPacket* ref = av_packet_clone(pkt);
    if (!ref) return false;
    r->video[r->video_count] = ref;
    r->video_pts[r->video_count] = replay_ring_packet_time(ref);
    r->video_key[r->video_count] = (ref->flags & AV_PKT_FLAG_KEY) != 0;
    r->video_count++;
    r->video_bytes += (uint64_t)ref->size;
    replay_ring_drop_front(r, r->video, r->video_pts, r->video_key, &r->video_count,
                           replay_ring_trim_count(r->video_pts, r->video_count, keep));
    return true;
}

bool replay_ring_add_audio(replay_ring* r, const AVPacket* pkt, int64_t keep) {
    if (!r || !pkt || replay_ring_packet_time(pkt) == AV_NOPTS_VALUE) return false;
    if (r->audio_count == r->audio_cap && !replay_ring_grow(&r->audio, &r->audio_pts, nullptr, &r->audio_cap))
        return false;
    AVPacket* ref = av_packet_clone(pkt);
    if (!ref) return false;
    r->audio[r->audio_count] = ref;
    r->audio_pts[r->audio_count] = replay_ring_packet_time(ref);
    r->audio_count++;
    r->video_bytes += (uint64_t)ref->size;
    replay_ring_drop_front(r, r->audio, r->audio_pts, nullptr, &r->audio_count,
                           replay_ring_trim_count(r->audio_pts, r->audio_count, keep));
    return true;
}

uint64_t replay_ring_bytes(const replay_ring* ring) {
    if (!ring) return 0;
    // Written by the lane's worker; an aligned 64-bit read is whole on x64.
    return *(const volatile uint64_t*)&ring->video_bytes;
}

// ---- Windows.

// References to pkts[from..count) in a new array; false when memory is short.
static bool replay_ring_copy_refs(AVPacket* const* pkts, int from, int count, AVPacket*** out, int* out_count) {
    const int n = count - from;
    if (n <= 0) return true;
    AVPacket** list = (AVPacket**)calloc((size_t)n, sizeof(AVPacket*));
    if (!list) return false;
    int got = 0;
    for (int i = from; i < count; i++) {
        list[got] = av_packet_clone(pkts[i]);
        if (!list[got]) {
            for (int j = 0; j < got; j++) av_packet_free(&list[j]);
            free(list);
            return false;
        }
        got++;
    }
    *out = list;
    *out_count = got;
    return true;
}

bool replay_ring_window_video(const replay_ring* r, int64_t window, replay_window* out) {
    const int start = r ? replay_ring_start_index(r->video_pts, r->video_key, r->video_count, window) : -1;
    if (start < 0) return true;  // no key frame in the ring: nothing to write
    if (!replay_ring_copy_refs(r->video, start, r->video_count, &out->video, &out->video_count)) return false;
    out->start_video = r->video_pts[start];
    return true;
}

bool replay_ring_window_audio(const replay_ring* r, int64_t start, replay_window* out) {
    out->start_audio = start;
    if (!r) return true;
    int first = 0;
    while (first < r->audio_count && r->audio_pts[first] < start) first++;
    if (first == r->audio_count) return true;
    return replay_ring_copy_refs(r->audio, first, r->audio_count, &out->audio, &out->audio_count);
}

void replay_ring_window_free(replay_window* w) {
    if (!w) return;
    for (int i = 0; i < w->video_count; i++) av_packet_free(&w->video[i]);
    for (int i = 0; i < w->audio_count; i++) av_packet_free(&w->audio[i]);
    free(w->video);
    free(w->audio);
    w->video = w->audio = nullptr;
    w->video_count = w->audio_count = 0;
}
