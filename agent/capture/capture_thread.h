#pragma once
// The capture thread "ivra-capture": woken by the thread messages of
// agent/core/messages.h (WM_CAPTURE_*), it runs until WM_QUIT.
#include "common/win.h"

// Starts the thread and publishes its handle and id in g_agent; the thread sets
// g_agent.capture_ready once its message queue exists. Returns false (and logs)
// when the thread cannot be created.
bool capture_thread_start(void);
