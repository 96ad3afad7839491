#pragma once
// Command handlers of the control pipe that live outside the dispatcher. Each
// follows the handler contract of pipe_server.h: one reply through the pipe
// writers, no flush, disconnect or close.
#include "common/win.h"

// "reload": asks the main window to reread config.ini, waiting at most 5000 ms.
void pipe_cmd_reload(HANDLE pipe, const char* args);

// "status": version, process, folders, counters, hotkey registrations, pools and
// frame memory on one line.
void pipe_cmd_status(HANDLE pipe, const char* args);

// "screens": the display cache's monitor list.
void pipe_cmd_screens(HANDLE pipe, const char* args);

// "input": the input broker's statistics and which hotkeys are registered.
void pipe_cmd_input(HANDLE pipe, const char* args);

// "storage": the last storage totals; "refresh=1" asks for a new scan first and
// waits up to 20000 ms for it.
void pipe_cmd_storage(HANDLE pipe, const char* args);

// "shot": hands a screenshot request to the capture thread and waits up to its
// time-out (10000 ms by default, 60000 ms for a pick) for the saved file.
void pipe_cmd_shot(HANDLE pipe, const char* args);
