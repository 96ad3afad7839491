#include "agent/clips/replay_ring.h"

#include "agent/clips/mp4.h"
#include "agent/core/worker_pool.h"
#include "common/log.h"
#include "common/text.h"
#include "common/win.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/mathematics.h>
}

// A save of the ring's last seconds: filled on the capture thread (what to write and
// whom to tell), then on the lane (the packet window), then written on a clips worker.
struct replay_save_job {
    wchar_t path[ENCODER_PATH_MAX];
    int seconds;
    bool include_audio;
    encoder_done_fn done;
    void* data;

    AVCodecParameters* video_par;
    AVCodecParameters* audio_par;  // none without sound
    AVRational video_tb, audio_tb, video_rate;
    AVPacket** video;
    int video_count;
    AVPacket** audio;
    int audio_count;
    int64_t start_video, start_audio;
    bool out_of_memory;  // the window could not be copied
    char encoder[ENCODER_NAME_MAX];
    int width, height, fps;
};

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

static int64_t replay_packet_time(const AVPacket* pkt) { return pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts; }

void replay_ring_add_video(video_encoder* enc, const AVPacket* pkt) {
    replay_ring* r = enc->ring;
    if (!r || !pkt || replay_packet_time(pkt) == AV_NOPTS_VALUE) return;
    if (r->video_count == r->video_cap && !replay_ring_grow(&r->video, &r->video_pts, &r->video_key, &r->video_cap))
        return;  // memory is short: this packet is lost, the ring stays consistent
    AVPacket* ref = av_packet_clone(pkt);
    if (!ref) return;
    r->video[r->video_count] = ref;
    r->video_pts[r->video_count] = replay_packet_time(ref);
    r->video_key[r->video_count] = (ref->flags & AV_PKT_FLAG_KEY) != 0;
    r->video_count++;
    r->video_bytes += (uint64_t)ref->size;

    AcquireSRWLockExclusive(&enc->lock);
    enc->packets++;
    enc->bytes += (uint64_t)ref->size;
    ReleaseSRWLockExclusive(&enc->lock);

    const int64_t keep = (int64_t)(enc->ring_seconds + 2) * enc->fps;
    replay_ring_drop_front(r, r->video, r->video_pts, r->video_key, &r->video_count,
                           replay_ring_trim_count(r->video_pts, r->video_count, keep));
}

void replay_ring_add_audio(video_encoder* enc, const AVPacket* pkt) {
    replay_ring* r = enc->ring;
    if (!r || !pkt || replay_packet_time(pkt) == AV_NOPTS_VALUE) return;
    if (r->audio_count == r->audio_cap && !replay_ring_grow(&r->audio, &r->audio_pts, nullptr, &r->audio_cap)) return;
    AVPacket* ref = av_packet_clone(pkt);
    if (!ref) return;
    r->audio[r->audio_count] = ref;
    r->audio_pts[r->audio_count] = replay_packet_time(ref);
    r->audio_count++;
    r->video_bytes += (uint64_t)ref->size;

    const int64_t keep = (int64_t)enc->ring_seconds * ENCODER_AUDIO_RATE + 96000;
    replay_ring_drop_front(r, r->audio, r->audio_pts, nullptr, &r->audio_count,
                           replay_ring_trim_count(r->audio_pts, r->audio_count, keep));
}

uint64_t replay_ring_bytes(video_encoder* enc) {
    if (!enc || !enc->ring) return 0;
    // Written by the lane's worker; an aligned 64-bit read is whole on x64.
    return *(volatile uint64_t*)&enc->ring->video_bytes;
}

// ---- Saves.

void replay_ring_save_free(replay_save_job* job) {
    if (!job) return;
    avcodec_parameters_free(&job->video_par);
    avcodec_parameters_free(&job->audio_par);
    for (int i = 0; i < job->video_count; i++) av_packet_free(&job->video[i]);
    for (int i = 0; i < job->audio_count; i++) av_packet_free(&job->audio[i]);
    free(job->video);
    free(job->audio);
    HeapFree(GetProcessHeap(), 0, job);
}

bool replay_ring_save(video_encoder* enc, const wchar_t* path, int seconds, bool include_audio, encoder_done_fn done,
                      void* data) {
    if (!enc || !enc->lane || !path) return false;
    encode_item* item = encoder_item_new(enc, ENCODE_REPLAY_SAVE);
    if (!item) return false;
    replay_save_job* job = (replay_save_job*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(replay_save_job));
    if (!job) {
        encoder_item_free(item);
        return false;
    }
    wcsncpy(job->path, path, ENCODER_PATH_MAX - 1);
    job->seconds = replay_ring_save_seconds(seconds);
    job->include_audio = include_audio;
    job->done = done;
    job->data = data;
    item->save = job;
    if (!encoder_queue(enc, item)) {
        encoder_item_free(item);  // frees the job with it, reporting nothing
        return false;
    }
    return true;
}

// References to pkts[from..count) in a new array; false when memory is short.
static bool replay_copy_refs(AVPacket* const* pkts, int from, int count, AVPacket*** out, int* out_count) {
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

// Takes the packet window of a save from the ring into the job.
static void replay_take_window(video_encoder* enc, replay_save_job* job) {
    job->fps = enc->fps;
    job->width = enc->width;
    job->height = enc->height;
    memcpy(job->encoder, enc->name, sizeof job->encoder);
    job->encoder[ENCODER_NAME_MAX - 1] = 0;
    replay_ring* r = enc->ring;
    if (!enc->video || !r || r->video_count == 0) return;
    job->video_tb = enc->video->time_base;
    job->video_rate = enc->video->framerate;
    job->video_par = avcodec_parameters_alloc();
    if (!job->video_par || avcodec_parameters_from_context(job->video_par, enc->video) < 0) {
        job->out_of_memory = true;
        return;
    }
    const int start =
        replay_ring_start_index(r->video_pts, r->video_key, r->video_count, (int64_t)job->seconds * enc->fps);
    if (start < 0) return;  // no key frame in the ring: nothing to write
    if (!replay_copy_refs(r->video, start, r->video_count, &job->video, &job->video_count)) {
        job->out_of_memory = true;
        return;
    }
    job->start_video = r->video_pts[start];
    if (!enc->audio || r->audio_count == 0) return;
    job->audio_tb = AVRational{1, ENCODER_AUDIO_RATE};
    job->start_audio = av_rescale_q(job->start_video, job->video_tb, job->audio_tb);
    int first = 0;
    while (first < r->audio_count && r->audio_pts[first] < job->start_audio) first++;
    if (first == r->audio_count) return;
    job->audio_par = avcodec_parameters_alloc();
    if (!job->audio_par || avcodec_parameters_from_context(job->audio_par, enc->audio) < 0 ||
        !replay_copy_refs(r->audio, first, r->audio_count, &job->audio, &job->audio_count)) {
        avcodec_parameters_free(&job->audio_par);  // the save goes on without sound
        job->audio_count = 0;
    }
}

// Writes one packet of the job as a new reference, moved to its take's start and to its
// stream's time base. Errors of single packets are ignored.
static void replay_write_packet(AVFormatContext* mux, AVStream* st, const AVPacket* src, int64_t start, AVRational tb,
                                AVPacket* tmp) {
    if (av_packet_ref(tmp, src) < 0) return;
    const int64_t pts = replay_packet_time(src) - start;
    tmp->pts = pts;
    tmp->dts = src->dts != AV_NOPTS_VALUE ? src->dts - start : pts;
    av_packet_rescale_ts(tmp, tb, st->time_base);
    tmp->stream_index = st->index;
    tmp->pos = -1;
    av_interleaved_write_frame(mux, tmp);
    av_packet_unref(tmp);
}

// Writes the job's packets into an MP4 at its path; fills res (path, sizes, error).
static void replay_write(replay_save_job* job, clip_result* res) {
    wchar_t part[ENCODER_PATH_MAX];
    char utf8[ENCODER_PATH_MAX * 4];
    AVFormatContext* mux = nullptr;
    AVStream* vs = nullptr;
    AVStream* as = nullptr;
    AVPacket* tmp = nullptr;
    bool created = false, ok = false;
    int64_t highest = -1;
    int vi = 0, ai = 0;
    const char* fail = nullptr;

    memcpy(res->path, job->path, sizeof res->path);
    res->width = job->width;
    res->height = job->height;
    res->fps = job->fps;
    memcpy(res->encoder, job->encoder, sizeof res->encoder);

    if (job->out_of_memory) {
        fail = "out of memory";
        goto done;
    }
    if (job->video_count == 0 || !job->video_par) {
        fail = "replay buffer is empty";
        goto done;
    }
    if (!mp4_suffixed_path(job->path, L".part", part) || !mp4_utf8_path(part, utf8, sizeof utf8)) {
        fail = "cannot create file";
        goto done;
    }
    if (avformat_alloc_output_context2(&mux, nullptr, "mp4", utf8) < 0 || !mux) {
        fail = "mp4 muxer unavailable";
        goto done;
    }
    mux->flags |= AVFMT_FLAG_BITEXACT;
    vs = avformat_new_stream(mux, nullptr);
    if (!vs || avcodec_parameters_copy(vs->codecpar, job->video_par) < 0) {
        fail = "mp4 stream setup failed";
        goto done;
    }
    vs->codecpar->codec_tag = 0;
    vs->time_base = job->video_tb;
    vs->avg_frame_rate = job->video_rate;
    if (job->include_audio && job->audio_par && job->audio_count > 0) {
        as = avformat_new_stream(mux, nullptr);
        if (!as || avcodec_parameters_copy(as->codecpar, job->audio_par) < 0) {
            fail = "mp4 stream setup failed";
            goto done;
        }
        as->codecpar->codec_tag = 0;
        as->time_base = job->audio_tb;
    }
    if (avio_open(&mux->pb, utf8, AVIO_FLAG_WRITE) < 0) {
        fail = "cannot create file";
        goto done;
    }
    created = true;
    {
        AVDictionary* opts = nullptr;
        av_dict_set(&opts, "movflags", "+faststart", 0);
        const int r = avformat_write_header(mux, &opts);
        av_dict_free(&opts);
        if (r < 0) {
            fail = "mp4 header failed";
            goto done;
        }
    }
    tmp = av_packet_alloc();
    if (!tmp) {
        fail = "out of memory";
        goto done;
    }
    // Interleaved by presentation time, video first on a tie.
    while (vi < job->video_count || (as && ai < job->audio_count)) {
        bool video_next;
        if (vi >= job->video_count)
            video_next = false;
        else if (!as || ai >= job->audio_count)
            video_next = true;
        else {
            const double tv = (double)(replay_packet_time(job->video[vi]) - job->start_video) * av_q2d(job->video_tb);
            const double ta = (double)(replay_packet_time(job->audio[ai]) - job->start_audio) * av_q2d(job->audio_tb);
            video_next = tv <= ta;
        }
        if (video_next) {
            const AVPacket* p = job->video[vi++];
            const int64_t rel = replay_packet_time(p) - job->start_video;
            if (rel > highest) highest = rel;
            replay_write_packet(mux, vs, p, job->start_video, job->video_tb, tmp);
        } else {
            replay_write_packet(mux, as, job->audio[ai++], job->start_audio, job->audio_tb, tmp);
        }
    }
    if (av_write_trailer(mux) < 0) {
        fail = "mp4 trailer failed";
        goto done;
    }
    ok = true;

done:
    av_packet_free(&tmp);
    if (mux) {
        if (mux->pb) avio_closep(&mux->pb);
        avformat_free_context(mux);
    }
    if (!ok) {
        if (created) DeleteFileW(part);
        text_format_into(res->error, ENCODER_ERROR_MAX, "%s", fail ? fail : "mp4 trailer failed");
        return;
    }
    char err[ENCODER_ERROR_MAX] = "";
    if (!mp4_commit(part, job->path, err)) {
        memcpy(res->error, err, sizeof res->error);
        return;
    }
    res->saved = true;
    res->frames = highest + 1;
    res->seconds = job->fps > 0 ? (double)res->frames / job->fps : 0.0;
    res->bytes = mp4_file_size(job->path);
    res->no_audio = as == nullptr;
}

// Clips pool task: writes the save, reports it and frees the job.
static void replay_write_task(void* arg) {
    replay_save_job* job = (replay_save_job*)arg;
    clip_result res;
    memset(&res, 0, sizeof res);
    replay_write(job, &res);
    if (job->done) job->done(job->data, &res);
    replay_ring_save_free(job);
}

void replay_ring_save_item(video_encoder* enc, replay_save_job* job) {
    if (!job) return;
    if (enc) replay_take_window(enc, job);
    // The file is written beside the lane, so encoding goes on meanwhile.
    if (!enc || !enc->pool || !worker_pool_submit(enc->pool, replay_write_task, job)) replay_write_task(job);
}
