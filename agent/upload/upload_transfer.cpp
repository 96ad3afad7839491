#include "agent/upload/upload_transfer.h"

#include "agent/upload/metadata.h"
#include "common/account.h"
#include "common/http.h"
#include "common/log.h"
#include "common/text.h"
#include "common/win.h"

#include <bcrypt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

// ---- Pure pieces.

void upload_text_clean(char* text) {
    for (; text && *text; text++)
        if (*text == '\t' || *text == '\r' || *text == '\n' || *text == '|') *text = ' ';
}

bool upload_file_type(const wchar_t* path, const char** ext, const char** content_type, int* clip) {
    static const struct {
        const wchar_t* suffix;
        const char* ext;
        const char* content_type;
        int clip;
    } types[] = {
        {L".png", "png", "image/png", 0},
        {L".jpg", "jpg", "image/jpeg", 0},
        {L".jpeg", "jpg", "image/jpeg", 0},
        {L".mp4", "mp4", "video/mp4", 1},
    };
    const wchar_t* dot = path ? wcsrchr(path, L'.') : nullptr;
    if (!dot || wcschr(dot, L'\\') || wcschr(dot, L'/')) return false;
    for (const auto& t : types) {
        if (_wcsicmp(dot, t.suffix) != 0) continue;
        *ext = t.ext;
        *content_type = t.content_type;
        *clip = t.clip;
        return true;
    }
    return false;
}

bool upload_create_body(char* out, size_t capacity, const upload_description* d, const char* content_hash,
                        const char* captured_at) {
    char facts[96] = "", collection[192] = "", files[320];
    const media_facts& f = d->facts;
    if (f.width >= 1 && f.width <= 16384 && f.height >= 1 && f.height <= 16384) {
        if (d->clip && f.duration_ms >= 1 && f.duration_ms <= 35000)
            snprintf(facts, sizeof facts, ",\"width\":%d,\"height\":%d,\"duration_ms\":%d", f.width, f.height,
                     f.duration_ms);
        else
            snprintf(facts, sizeof facts, ",\"width\":%d,\"height\":%d", f.width, f.height);
    } else if (d->clip && f.duration_ms >= 1 && f.duration_ms <= 35000) {
        snprintf(facts, sizeof facts, ",\"duration_ms\":%d", f.duration_ms);
    }
    if (d->collection_id && d->collection_id[0]) {
        // The identifier comes from the settings, so it is escaped rather than trusted.
        char escaped[160];
        json_escape(d->collection_id, escaped, sizeof escaped);
        snprintf(collection, sizeof collection, ",\"collection_id\":\"%s\"", escaped);
    }
    int n = snprintf(files, sizeof files, "{\"role\":\"original\",\"content_type\":\"%s\",\"byte_size\":%llu}",
                     d->content_type, (unsigned long long)d->original_size);
    if (d->previews) {
        n += snprintf(files + n, sizeof files - (size_t)n,
                      ",{\"role\":\"thumb\",\"content_type\":\"image/jpeg\",\"byte_size\":%llu}",
                      (unsigned long long)d->thumb_size);
        if (d->clip)
            snprintf(files + n, sizeof files - (size_t)n,
                     ",{\"role\":\"poster\",\"content_type\":\"image/jpeg\",\"byte_size\":%llu}",
                     (unsigned long long)d->poster_size);
    }
    const int len = snprintf(out, capacity,
                             "{\"kind\":\"%s\",\"content_hash\":\"%s\",\"captured_at\":\"%s\"%s%s,"
                             "\"files\":[%s]}",
                             d->clip ? "clip" : "still", content_hash, captured_at, facts, collection, files);
    return len > 0 && (size_t)len < capacity;
}

int upload_create_outcome(int status) {
    if (status == 401) return UPLOAD_OUTCOME_UNLINKED;
    if (status == 0 || status >= 500 || status == 409 || status == 429) return UPLOAD_OUTCOME_RETRY;
    return UPLOAD_OUTCOME_FAILED;
}

int upload_complete_outcome(int status) {
    if (status == 404) return UPLOAD_OUTCOME_RETRY;
    return upload_create_outcome(status);
}

void upload_put_headers(const json_node* headers, char* out, size_t capacity) {
    if (!out || capacity == 0) return;
    out[0] = 0;
    if (!headers || headers->type != JSON_OBJECT) return;
    size_t used = 0;
    for (const json_node* h = headers->child; h; h = h->next) {
        if (h->type != JSON_STRING || !h->name || !h->text || !h->name[0]) continue;
        if (_stricmp(h->name, "content-length") == 0) continue;
        // A line break in a name or value would smuggle in headers of the service's choosing.
        if (strpbrk(h->name, "\r\n:") || strpbrk(h->text, "\r\n")) continue;
        const size_t need = strlen(h->name) + 2 + strlen(h->text) + 2;
        if (used + need >= capacity) continue;
        used += (size_t)snprintf(out + used, capacity - used, "%s: %s\r\n", h->name, h->text);
    }
}

bool upload_service_id_ok(const char* id) {
    if (!id || !id[0] || strlen(id) > 64) return false;
    for (const char* p = id; *p; p++) {
        const char c = *p;
        const bool ok =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
        if (!ok) return false;
    }
    return true;
}

// ---- The transfer.

const DWORD UPLOAD_HASH_CHUNK = 1u << 20;  // hashing reads

bool upload_hash_file(const wchar_t* path, const volatile long* stop, char hex[65]) {
    BCRYPT_ALG_HANDLE alg = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    HANDLE file = INVALID_HANDLE_VALUE;
    uint8_t* buf = nullptr;
    uint8_t digest[32];
    bool ok = false;
    NTSTATUS st = BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    if (st >= 0) st = BCryptCreateHash(alg, &hash, nullptr, 0, nullptr, 0, 0);
    if (st < 0) {
        log_warn("upload: cannot start SHA-256 (hr=0x%08lx)", (unsigned long)st);
        goto done;
    }
    file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    buf = (uint8_t*)malloc(UPLOAD_HASH_CHUNK);
    if (file == INVALID_HANDLE_VALUE || !buf) goto done;
    for (;;) {
        if (stop && *stop != 0) goto done;
        DWORD got = 0;
        if (!ReadFile(file, buf, UPLOAD_HASH_CHUNK, &got, nullptr)) goto done;
        if (got == 0) break;
        if ((st = BCryptHashData(hash, buf, got, 0)) < 0) goto done;
    }
    if ((st = BCryptFinishHash(hash, digest, sizeof digest, 0)) < 0) goto done;
    for (int i = 0; i < 32; i++) snprintf(hex + 2 * i, 3, "%02x", digest[i]);
    ok = true;
done:
    free(buf);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    if (hash) BCryptDestroyHash(hash);
    if (alg) BCryptCloseAlgorithmProvider(alg, 0);
    return ok;
}

namespace {

const char MSG_TYPE[] = "Only PNG, JPEG and MP4 captures can be uploaded.";
const char MSG_GONE[] = "The file is no longer there.";
const char MSG_TOO_LARGE[] = "Too large to upload (limit %d MB).";
const char MSG_METADATA[] = "Could not remove the file's hidden metadata, so it was not uploaded.";
const char MSG_READ[] = "Could not read the file.";
const char MSG_ANSWER[] = "Unexpected answer from Ivra.";
const char MSG_REQUEST[] = "Unexpected upload request from Ivra.";
const char MSG_STORAGE[] = "Storage refused the %s (HTTP %d).";
const char MSG_INTERRUPTED[] = "Upload interrupted: %s.";
const char MSG_NO_LINK[] = "Ivra did not return a link.";

const unsigned long UPLOAD_API_TIMEOUT_MS = 30000;
const unsigned long UPLOAD_CANCELLED = 12017;

struct transfer {
    uint32_t id;
    wchar_t path[260];
    char collection_id[24];
    account acc;
    const volatile long* stop;
    wchar_t dir[MAX_PATH];
    wchar_t original[MAX_PATH];
    wchar_t thumb[MAX_PATH];
    wchar_t poster[MAX_PATH];
    char auth[512];  // secret: the authorised JSON headers
    int outcome;
    char share_url[256];
    char error[256];
};

bool upload_stopping(const transfer* t) { return t->stop && *t->stop != 0; }

// Records the outcome and its sentence; returns false so that steps can end with it.
bool upload_fail(transfer* t, int outcome, const char* fmt, ...) IVRA_PRINTF(3, 4);
bool upload_fail(transfer* t, int outcome, const char* fmt, ...) {
    t->outcome = outcome;
    va_list args;
    va_start(args, fmt);
    vsnprintf(t->error, sizeof t->error, fmt, args);
    va_end(args);
    return false;
}

bool upload_done(transfer* t, const char* share_url) {
    // A cut link would lead nowhere, so only one that fits counts.
    if (!share_url || !share_url[0] || strlen(share_url) >= sizeof t->share_url)
        return upload_fail(t, UPLOAD_OUTCOME_RETRY, "%s", MSG_NO_LINK);
    t->outcome = UPLOAD_OUTCOME_DONE;
    snprintf(t->share_url, sizeof t->share_url, "%s", share_url);
    t->error[0] = 0;
    return true;
}

bool upload_make_dirs(const wchar_t* dir) {
    // Every parent is tried; only the folder itself has to exist at the end, so roots
    // and shares that cannot be created do not matter.
    wchar_t part[MAX_PATH];
    const size_t n = wcslen(dir);
    if (n == 0 || n >= MAX_PATH) return false;
    for (size_t i = 1; i <= n; i++) {
        if (dir[i] != L'\\' && dir[i] != 0) continue;
        wmemcpy(part, dir, i);
        part[i] = 0;
        CreateDirectoryW(part, nullptr);
    }
    const DWORD attributes = GetFileAttributesW(dir);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void upload_remove_dir(const wchar_t* dir) {
    wchar_t pattern[MAX_PATH + 4], file[MAX_PATH * 2];
    swprintf(pattern, sizeof pattern / sizeof pattern[0], L"%ls\\*", dir);
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW(pattern, &fd);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
            swprintf(file, sizeof file / sizeof file[0], L"%ls\\%ls", dir, fd.cFileName);
            DeleteFileW(file);
        } while (FindNextFileW(h, &fd));
        FindClose(h);
    }
    RemoveDirectoryW(dir);
}

uint64_t upload_file_size(const wchar_t* path) {
    WIN32_FILE_ATTRIBUTE_DATA fa;
    if (!GetFileAttributesExW(path, GetFileExInfoStandard, &fa) || (fa.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return 0;
    return ((uint64_t)fa.nFileSizeHigh << 32) | fa.nFileSizeLow;
}

// Reads a whole still (the caller has checked its size) into a heap buffer.
uint8_t* upload_read_all(const wchar_t* path, size_t* size) {
    HANDLE h = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    LARGE_INTEGER len;
    uint8_t* data = nullptr;
    DWORD got = 0;
    if (GetFileSizeEx(h, &len) && len.QuadPart > 0 && (uint64_t)len.QuadPart <= UPLOAD_STILL_LIMIT)
        data = (uint8_t*)malloc((size_t)len.QuadPart);
    if (data && (!ReadFile(h, data, (DWORD)len.QuadPart, &got, nullptr) || got != (DWORD)len.QuadPart)) {
        free(data);
        data = nullptr;
    }
    CloseHandle(h);
    if (data) *size = (size_t)len.QuadPart;
    return data;
}


// Steps 2 and 3: checks the capture and writes its cleaned copy into the working folder.
bool upload_clean(transfer* t, const char** content_type, int* clip, uint64_t* original_size) {
    const wchar_t* path = t->path;
    const char* ext = nullptr;
    if (!upload_file_type(path, &ext, content_type, clip)) return upload_fail(t, UPLOAD_OUTCOME_FAILED, "%s", MSG_TYPE);
    const uint64_t size = upload_file_size(path);
    if (size == 0) return upload_fail(t, UPLOAD_OUTCOME_FAILED, "%s", MSG_GONE);
    const uint64_t limit = *clip ? UPLOAD_CLIP_LIMIT : UPLOAD_STILL_LIMIT;
    if (size > limit) return upload_fail(t, UPLOAD_OUTCOME_FAILED, MSG_TOO_LARGE, *clip ? 200 : 50);

    wchar_t temp[MAX_PATH];
    const DWORD n = GetTempPathW(MAX_PATH, temp);
    if (n == 0 || n >= MAX_PATH || swprintf(t->dir, MAX_PATH, L"%lsIvra-upload\\%u", temp, t->id) < 0 ||
        swprintf(t->original, MAX_PATH, L"%ls\\original.%hs", t->dir, ext) < 0 ||
        swprintf(t->thumb, MAX_PATH, L"%ls\\thumb.jpg", t->dir) < 0 ||
        swprintf(t->poster, MAX_PATH, L"%ls\\poster.jpg", t->dir) < 0 || !upload_make_dirs(t->dir)) {
        t->dir[0] = 0;
        return upload_fail(t, UPLOAD_OUTCOME_FAILED, "%s", MSG_METADATA);
    }
    bool cleaned = false;
    if (*clip) {
        cleaned = metadata_strip_mp4(path, t->original);
    } else {
        size_t len = 0;
        uint8_t* data = upload_read_all(path, &len);
        if (data) {
            cleaned = strcmp(ext, "png") == 0 ? metadata_strip_png(data, len, t->original)
                                              : metadata_strip_jpeg(data, len, t->original);
            free(data);
        }
    }
    if (!cleaned) return upload_fail(t, UPLOAD_OUTCOME_FAILED, "%s", MSG_METADATA);
    *original_size = upload_file_size(t->original);
    return true;
}

// The capture file's last-write time in UTC.
void upload_captured_at(const wchar_t* path, char out[32]) {
    WIN32_FILE_ATTRIBUTE_DATA fa;
    SYSTEMTIME st = {};
    if (!GetFileAttributesExW(path, GetFileExInfoStandard, &fa) || !FileTimeToSystemTime(&fa.ftLastWriteTime, &st))
        GetSystemTime(&st);
    snprintf(out, 32, "%04u-%02u-%02uT%02u:%02u:%02uZ", st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond);
}

// A service call answered with anything but 200: the sentence of the error reply and the
// step's outcome.
bool upload_refused(transfer* t, const http_response* r, bool complete) {
    api_result res;
    api_result_set(&res, r->status, r->system_error, r->body);
    const int outcome = complete ? upload_complete_outcome(r->status) : upload_create_outcome(r->status);
    return upload_fail(t, outcome, "%s", res.message[0] ? res.message : MSG_ANSWER);
}

bool upload_cancelled(transfer* t) {
    return upload_fail(t, UPLOAD_OUTCOME_RETRY, MSG_INTERRUPTED, http_error_text(UPLOAD_CANCELLED));
}

// Step 9: one storage target.
bool upload_put(transfer* t, const json_node* target, const wchar_t* const files[3]) {
    static const char* const roles[3] = {"original", "thumb", "poster"};
    const char* role = json_string(target, "role", "");
    const char* url = json_string(target, "url", "");
    int which = -1;
    for (int i = 0; i < 3; i++)
        if (strcmp(role, roles[i]) == 0) which = i;
    if (which < 0 || !files[which] || !url[0]) return upload_fail(t, UPLOAD_OUTCOME_RETRY, "%s", MSG_REQUEST);
    char headers[1024];
    upload_put_headers(json_member(target, "headers"), headers, sizeof headers);
    http_response r = {};
    const bool answered = http_put_file(url, headers, files[which], t->stop, &r);
    bool ok = true;
    if (!answered)
        ok = upload_fail(t, UPLOAD_OUTCOME_RETRY, MSG_INTERRUPTED, http_error_text(r.system_error));
    else if (r.status < 200 || r.status > 299)
        ok = upload_fail(t, UPLOAD_OUTCOME_RETRY, MSG_STORAGE, roles[which], r.status);
    http_response_free(&r);
    return ok;
}

// Steps 6 to 10, with the cleaned file hashed and the previews made.
bool upload_exchange(transfer* t, const char* body, const wchar_t* const files[3]) {
    char url[600];
    http_response r = {};
    json_node* reply = nullptr;
    bool ok = false;

    if (upload_stopping(t)) return upload_cancelled(t);
    snprintf(url, sizeof url, "%s/api/v1/uploads", t->acc.server);
    const bool answered = http_request("POST", url, t->auth, body, strlen(body), UPLOAD_API_TIMEOUT_MS, &r);
    if (!answered || r.status != 200) {
        if (!answered) r.status = 0;
        upload_refused(t, &r, false);
        http_response_free(&r);
        return false;
    }
    reply = json_parse(r.body, (size_t)r.body_length);
    http_response_free(&r);
    const json_node* item = reply ? json_member(reply, "item") : nullptr;
    const char* item_id = item ? json_string(item, "id", "") : "";
    char id[72];
    if (!item || item->type != JSON_OBJECT || !item_id[0]) {
        upload_fail(t, UPLOAD_OUTCOME_RETRY, "%s", MSG_ANSWER);
        goto done;
    }
    // The id goes into the next request's path as it is.
    if (!upload_service_id_ok(item_id)) {
        upload_fail(t, UPLOAD_OUTCOME_RETRY, "%s", MSG_ANSWER);
        goto done;
    }
    snprintf(id, sizeof id, "%s", item_id);
    if (strcmp(json_string(item, "status", ""), "ready") == 0) {
        ok = upload_done(t, json_string(item, "share_url", ""));
        goto done;
    }
    {
        const json_node* uploads = json_member(reply, "uploads");
        if (uploads && uploads->type != JSON_ARRAY) {
            upload_fail(t, UPLOAD_OUTCOME_RETRY, "%s", MSG_REQUEST);
            goto done;
        }
        for (const json_node* u = uploads ? uploads->child : nullptr; u; u = u->next)
            if (!upload_put(t, u, files)) goto done;
    }
    json_free(reply);
    reply = nullptr;

    if (upload_stopping(t)) return upload_cancelled(t);
    snprintf(url, sizeof url, "%s/api/v1/uploads/%s/complete", t->acc.server, id);
    {
        const bool completed = http_request("POST", url, t->auth, "{}", 2, UPLOAD_API_TIMEOUT_MS, &r);
        if (!completed || r.status != 200) {
            if (!completed) r.status = 0;
            upload_refused(t, &r, true);
            http_response_free(&r);
            return false;
        }
        reply = json_parse(r.body, (size_t)r.body_length);
        http_response_free(&r);
        const json_node* done_item = reply ? json_member(reply, "item") : nullptr;
        ok = upload_done(t, done_item ? json_string(done_item, "share_url", "") : "");
    }
done:
    json_free(reply);
    return ok;
}

void upload_run(transfer* t) {
    // Step 1.
    if (!t->acc.linked) {
        upload_fail(t, UPLOAD_OUTCOME_UNLINKED, "%s", "This PC is no longer linked. Link it again to upload.");
        return;
    }
    // Steps 2 and 3.
    const char* content_type = nullptr;
    int clip = 0;
    uint64_t original_size = 0;
    if (!upload_clean(t, &content_type, &clip, &original_size)) return;
    // Step 4.
    char hash[65];
    if (!upload_hash_file(t->original, t->stop, hash)) {
        upload_fail(t, upload_stopping(t) ? UPLOAD_OUTCOME_RETRY : UPLOAD_OUTCOME_FAILED, "%s", MSG_READ);
        return;
    }
    // Step 5: previews are all or nothing and never fail the transfer.
    upload_description d = {};
    d.clip = clip;
    d.content_type = content_type;
    d.original_size = original_size;
    d.collection_id = t->collection_id;
    d.previews = preview_make(t->original, t->thumb, clip ? t->poster : nullptr, &d.facts);
    if (d.previews) {
        d.thumb_size = upload_file_size(t->thumb);
        d.poster_size = clip ? upload_file_size(t->poster) : 0;
    }
    char captured_at[32];
    upload_captured_at(t->path, captured_at);
    char body[1024];
    if (!upload_create_body(body, sizeof body, &d, hash, captured_at)) {
        upload_fail(t, UPLOAD_OUTCOME_FAILED, "%s", MSG_METADATA);
        return;
    }
    const wchar_t* files[3] = {t->original, d.previews ? t->thumb : nullptr, d.previews && clip ? t->poster : nullptr};
    snprintf(t->auth, sizeof t->auth, HTTP_AUTH_HEADERS_FMT, t->acc.token, HTTP_JSON_HEADERS);
    upload_exchange(t, body, files);
}

}  // namespace

void upload_transfer_run(uint32_t id, const volatile long* stop, upload_fetch_fn fetch, upload_report_fn report) {
    transfer* t = (transfer*)calloc(1, sizeof(transfer));
    if (!t) {
        report(id, UPLOAD_OUTCOME_RETRY, "", "out of memory");
        return;
    }
    t->id = id;
    t->stop = stop;
    if (fetch(id, t->path, t->collection_id, &t->acc))
        upload_run(t);
    else
        upload_fail(t, UPLOAD_OUTCOME_FAILED, "%s", MSG_GONE);
    if (t->dir[0]) upload_remove_dir(t->dir);
    // Tabs, line breaks and '|' would break the journal and the status reply.
    upload_text_clean(t->share_url);
    upload_text_clean(t->error);
    const int outcome = t->outcome;
    char share_url[256], error[256];
    memcpy(share_url, t->share_url, sizeof share_url);
    memcpy(error, t->error, sizeof error);
    SecureZeroMemory(t, sizeof *t);
    free(t);
    report(id, outcome, share_url, error);
}
