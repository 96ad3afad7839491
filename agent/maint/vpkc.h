#pragma once
// The calls of the installer library "velopack_libc_win_x64_msvc.dll" the update
// manager resolves at run time, and the records they exchange. Plain C layout, so
// the library and the agent agree whatever compiler built either side.
#include <cstddef>
#include <cstdint>

extern "C" {

// One package file of a release.
struct vpkc_asset {
    const char* version;    // "1.2.3"
    const char* file_name;  // file name under the feed's base address
    uint64_t size;          // bytes
    int delta;              // 1: a delta package, 0: the full package
};

// What a check found: the release to move to and the deltas that lead there.
struct vpkc_update_info {
    vpkc_asset* target;  // null when the library has no target release
    vpkc_asset* deltas;  // delta_count entries, may be null
    size_t delta_count;
};

struct vpkc_options {
    int allow_downgrade;  // 0: never move to an older version
    const char* channel;  // null: the library's default channel
    int max_deltas;       // more deltas than this fetch the full package instead
};

struct vpkc_source;
struct vpkc_manager;

// The release source's delegates. The feed delegate answers a feed file's bytes as a
// NUL-terminated heap string, or null; the library hands each answer back to the free
// delegate. The download delegate stores one package file at local_path (UTF-8) and
// reports progress through vpkc_source_report_progress with progress_id.
typedef char* (*vpkc_feed_fn)(void* context, const char* feed_name);
typedef void (*vpkc_free_feed_fn)(void* context, char* feed);
typedef int (*vpkc_download_fn)(void* context, const vpkc_asset* asset, const char* local_path, size_t progress_id);
typedef void (*vpkc_log_fn)(void* context, const char* level, const char* message);
typedef void (*vpkc_progress_fn)(void* context, int percent);

// Results of vpkc_check_for_updates.
enum { VPKC_UPDATE_AVAILABLE = 0, VPKC_NO_UPDATE = 1, VPKC_REMOTE_EMPTY = 2, VPKC_CHECK_ERROR = 3 };

typedef vpkc_source* (*vpkc_new_source_custom_callback_t)(vpkc_feed_fn feed, vpkc_free_feed_fn free_feed,
                                                          vpkc_download_fn download, void* context);
typedef void (*vpkc_source_report_progress_t)(size_t progress_id, int percent);
typedef int (*vpkc_new_update_manager_with_source_t)(vpkc_source* source, const vpkc_options* options,
                                                     const void* locator, vpkc_manager** out);
typedef size_t (*vpkc_get_current_version_t)(vpkc_manager* manager, char* out, size_t capacity);
typedef int (*vpkc_check_for_updates_t)(vpkc_manager* manager, vpkc_update_info** out);
typedef int (*vpkc_download_updates_t)(vpkc_manager* manager, const vpkc_update_info* info, vpkc_progress_fn progress,
                                       void* context);
typedef int (*vpkc_wait_exit_then_apply_updates_t)(vpkc_manager* manager, const vpkc_asset* to_apply, int silent,
                                                   int restart, const char* const* restart_args, size_t arg_count);
typedef void (*vpkc_free_update_info_t)(vpkc_update_info* info);
typedef size_t (*vpkc_get_last_error_t)(char* out, size_t capacity);
typedef void (*vpkc_set_logger_t)(vpkc_log_fn log, void* context);

}  // extern "C"
