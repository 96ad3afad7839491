#pragma once
// Update manager: the installer's hooks, and a daily check of the update feed
// through the installer library loaded at run time with our own HTTP client.
#include "common/win.h"

enum { UPDATE_UNAVAILABLE = 0, UPDATE_CURRENT = 1, UPDATE_AVAILABLE = 2, UPDATE_FAILED = 3 };

// Runs the installer hook named in cmdline (it contains "--veloapp-"); returns the
// process exit code (always 0: hook failures are only logged).
int update_installer_hook(const wchar_t* cmdline);
// Main window's 10-minute timer: starts the daily check thread when one is due.
void update_daily_tick(void);
