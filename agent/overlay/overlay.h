#pragma once
// The region overlay: a topmost window of class IvraRegionWnd over the whole
// virtual desktop, on its own thread ("ivra-overlay"), where the user drags the
// rectangle to capture. Two looks: live (a translucent layered window over the
// running desktop, updated by dirty rectangles) and frozen (dimmed snapshots of
// every output taken just before it shows). At most one selection exists at a
// time; the process-wide `selecting` flag is set from region_start until the
// overlay thread ends, and every path out answers a waiting request exactly once.
#include "agent/overlay/selection.h"
#include "common/win.h"
#include <cstdint>

struct display_cache;
struct frame_buffer;
struct shot_job;
struct clip_request;
struct overlay_art;

enum { OVERLAY_MAX_SNAPSHOTS = 8, OVERLAY_EXPIRY_MS = 120000 };

// One output frozen for the frozen look: the stills-pool buffer with its pixels, the
// output's desktop rectangle, and the bright and dimmed copies as DIB sections.
struct overlay_snapshot {
    frame_buffer* buf;
    RECT rect;  // virtual-desktop pixels
    HBITMAP bright, dim;
    uint8_t* bright_bits;
    uint8_t* dim_bits;
    HDC bright_dc, dim_dc;
    HGDIOBJ bright_old, dim_old;
};

// Mouse and focus handling of one selection (see selection_input.h).
struct overlay_input {
    uint64_t session;  // the broker's session id, 0 = not attached
    int mouse_ready;   // raw mouse registration succeeded at attach
    int key_route;     // the broker's raw or hook route is ready: keys come from it
    int focus_option;  // region_capture_input
    int focus_owned;   // the overlay became the foreground window
    HWND prev_foreground;
    DWORD prev_pid;
    int requested;               // region_input: 0 auto, 1 native, 2 raw
    int mode;                    // 1 native, 2 raw, -1 failed
    int raw_percent;             // 25..400
    int64_t raw_x100, raw_y100;  // raw pointer in hundredths of a pixel
    DWORD ref_time;              // re-centre detection reference
    POINT ref_cursor;
    int64_t ref_motion;  // |dx| + |dy| since the reference; -1 before the first report
    int synthesizing;    // a mouse message is generated from raw input
    int forwarded;       // a key message is generated from a broker event
};

// One selection. Allocated zero-filled by the capture thread in region_start,
// owned by the overlay thread once that starts.
struct overlay_state {
    RECT screen;  // virtual screen
    int live;
    overlay_snapshot snaps[OVERLAY_MAX_SNAPSHOTS];
    int snap_count;
    wchar_t folders[SELECTION_FOLDERS][260];
    int grid;  // region_grid
    selection_state sel;

    // What the selection answers to.
    shot_job* job;        // a waiting pick (its capture-side reference), or none
    clip_request* clip;   // a waiting clip start, or none
    wchar_t warning[64];  // storage warning text taken at the start
    int no_sound;
    unsigned expiry_ms;  // OVERLAY_EXPIRY_MS unless a test shortens it

    HWND wnd;
    int dpi;
    double scale;      // dpi / 96
    overlay_art* art;  // font and sprites (overlay_draw)
    RECT drawn;        // client area the last picture covered beyond the dimming

    // Live look: the whole picture, premultiplied BGRA, top-down, virtual-screen size.
    HBITMAP back;
    uint32_t* back_bits;
    HDC back_dc;
    HGDIOBJ back_old;
    RECT dirty;          // pending client area to re-render
    int update_pending;  // one WM_OVERLAY_UPDATE is posted

    // Statistics for the closing log line.
    int64_t started;  // performance counter at the thread's start
    double init_ms, dim_ms, dib_ms, first_paint_ms;
    uint32_t updates;
    double update_ms_total;
    uint32_t moves, downs, ups;

    overlay_input input;
    int closing;  // the finish step ran: the window is gone or going
};

// Performance-counter time, and the milliseconds between two such values.
int64_t overlay_qpc(void);
double overlay_ms(int64_t from, int64_t to);

// Posted by the overlay window to itself: re-render and push the pending dirty area.
constexpr UINT WM_OVERLAY_UPDATE = WM_APP + 61;

// Starts a selection on the capture thread (hotkey with `digit`, a waiting pick `job`,
// or a clip of a region `clip`). False when no overlay was started: a selection was
// already open (the job was answered busy) or nothing could be frozen (answered
// cancelled). True once the overlay thread owns the request, and also when the thread
// could not be created (the request was answered then). The job's capture-side
// reference passes to the selection in every case.
bool region_start(display_cache* cache, int digit, shot_job* job, const wchar_t* warning, int no_sound,
                  clip_request* clip);
// Waits without limit for the last overlay thread, if one was started (agent stop).
// An overlay still open is asked to close first.
void region_wait(void);

// ---- On the overlay thread.

// Cancels the selection (when it has not finished) and runs the finish step once:
// releases the mouse capture, detaches from the broker, stops the expiry timer,
// destroys the window and gives the foreground back.
void overlay_cancel(overlay_state* s);
