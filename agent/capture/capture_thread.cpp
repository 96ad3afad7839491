#include "agent/capture/capture_thread.h"
#include "agent/core/agent.h"
#include "agent/core/messages.h"
#include "common/log.h"

static DWORD WINAPI capture_thread_main(void*) {
    log_thread_name(L"ivra-capture");
    MSG msg;
    // Posts to this thread fail until its queue exists, so make it before saying we are ready.
    PeekMessageW(&msg, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    if (g_agent.capture_ready) SetEvent(g_agent.capture_ready);
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        switch (msg.message) {
        case WM_CAPTURE_ACTION:
            log_info("capture: action %llu digit=%lld not handled yet", (unsigned long long)msg.wParam,
                     (long long)msg.lParam);
            break;
        case WM_CAPTURE_SHOT:
        case WM_CAPTURE_REGION:
        case WM_CAPTURE_CLIP:
        case WM_CAPTURE_CONFIG:
            log_info("capture: message 0x%04x not handled yet", msg.message);
            break;
        default:
            break;
        }
    }
    log_info("capture: thread stopped");
    return 0;
}

bool capture_thread_start(void) {
    DWORD id = 0;
    HANDLE h = CreateThread(nullptr, 0, capture_thread_main, nullptr, 0, &id);
    if (!h) {
        log_error("capture: cannot start the capture thread (%lu)", GetLastError());
        return false;
    }
    g_agent.capture_thread = h;
    g_agent.capture_thread_id = id;
    return true;
}
