#pragma once
// The state of one region selection, shared by the overlay's window (overlay), its
// drawing (overlay_draw) and its input (selection_input). Everything here runs on the
// overlay thread once that starts.
#include "agent/capture/region_request.h"
#include "agent/overlay/selection.h"
#include "common/win.h"
#include <cstdint>

struct frame_buffer;
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

// One selection. Allocated zero-filled on the starting thread, owned by the overlay
// thread once that starts.
struct overlay_state {
    RECT screen;  // virtual screen
    int live;
    overlay_snapshot snaps[OVERLAY_MAX_SNAPSHOTS];
    int snap_count;
    wchar_t folders[SELECTION_FOLDERS][260];
    int grid;  // region_grid
    selection_state sel;

    region_request req;  // who asked, and where the answer goes
    uint64_t id;         // this selection's number, for a close from another thread
    unsigned expiry_ms;  // OVERLAY_EXPIRY_MS unless a test shortens it
    // Cancels the selection (when it has not finished) and runs the finish step once.
    void (*cancel)(overlay_state* s);

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
    int closing;         // the finish step ran: the window goes once the procedure has returned
    int was_foreground;  // the overlay had the foreground when it finished
};
