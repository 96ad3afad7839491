// Test helper for the region overlay tests: waits inside Windows for the overlay
// window, so a test starts its drag only once the overlay is on screen, and reads
// screen pixels the way the capture stand-in does.
//   overlay_probe shown TIMEOUT_MS   waits until an IvraRegionWnd window is visible;
//                                    prints "shown hwnd=0x... rect=L,T,R,B ms=N"
//   overlay_probe gone TIMEOUT_MS    waits until no IvraRegionWnd window exists; prints "gone ms=N"
//   overlay_probe close              posts WM_CLOSE to the overlay window
//   overlay_probe pixel X Y...       prints "pixel=X,Y b=.. g=.. r=.." read from the screen DC
//   overlay_probe held TIMEOUT_MS X Y  waits until the overlay holds the mouse and the cursor is at X,Y
//   overlay_probe cursor TIMEOUT_MS X Y  waits until the cursor is at X,Y
// Exit 0 on success, 1 on time-out or when there is no overlay, 2 on usage.
#include "overlay_probe.h"
#include <cstdarg>

static void probe_out(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
}

static void probe_err(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
}

int wmain(int argc, wchar_t** argv) {
    SetProcessDPIAware();
    const probe_print pr{probe_out, probe_err};
    int rc = probe_run(&pr, argc, argv);
    fflush(stdout);
    return rc;
}
