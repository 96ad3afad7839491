#pragma once
// The agent window's registered hotkeys (RegisterHotKey ids 1 to 9 are the
// hotkey_actions ids) and their registration results for the status reply.
#include "common/win.h"
#include "common/config.h"

// True when any of the nine configured hotkeys uses PrtSc (VK_SNAPSHOT).
bool hotkeys_use_prtsc(const config* cfg);

// Whether Windows' PrtSc snipping value must be written to 0: always, unless
// the DWORD was read successfully and is already 0.
bool hotkeys_snipping_needs_write(bool read_ok, DWORD value);

// Registers all nine hotkeys of cfg on wnd, storing each result under the
// hotkey-state lock; turns Windows' PrtSc snipping off first when PrtSc is used.
// Returns how many hotkeys with a key failed to register.
int hotkeys_register(HWND wnd, const config* cfg);

// Unregisters ids 1 to 9 from wnd (results are left as they are).
void hotkeys_unregister(HWND wnd);

// Copies the nine registration results (index = id - 1) under the lock.
void hotkeys_results(int registered[HOTKEY_COUNT], DWORD error[HOTKEY_COUNT]);
