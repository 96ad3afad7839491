#pragma once
// What the broker shares with its arbiter below it: the routes a key report comes
// by and the raw mouse packets queued for the selection client.
#include "common/win.h"

enum { BROKER_ROUTE_NONE = -1, BROKER_ROUTE_REGISTERED = 0, BROKER_ROUTE_RAW = 1, BROKER_ROUTE_HOOK = 2 };
enum { BROKER_MOUSE_QUEUE_MAX = 64 };

// One raw mouse report queued for the selection client. Relative reports that
// carry no button change are merged into the previous one.
struct broker_mouse_packet {
    LONG dx, dy;          // relative motion, or the raw absolute value (0..65535)
    USHORT button_flags;  // RI_MOUSE_* of the report
    USHORT button_data;
    int mods;                 // modifier mask at that moment (RegisterHotKey bits)
    int absolute;             // MOUSE_MOVE_ABSOLUTE
    LONG screen_x, screen_y;  // absolute position mapped to screen pixels
    DWORD time;               // message time
    POINT cursor;             // system cursor position when it arrived
};
