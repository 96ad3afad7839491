#pragma once
// Command handlers of the control pipe that live outside the dispatcher. Each
// follows the handler contract of pipe_server.h: one reply through the pipe
// writers, no flush, disconnect or close.
#include "common/win.h"

// "reload": asks the main window to reread config.ini, waiting at most 5000 ms.
void pipe_cmd_reload(HANDLE pipe, const char* args);
