#include "agent/maint/watchdog.h"

bool watchdog_start(void) { return true; }
void watchdog_stop(unsigned long) {}
int watchdog_register(const char*, HWND, unsigned long) { return -1; }
void watchdog_unregister(int) {}
void watchdog_heartbeat(int) {}
uint64_t watchdog_hangs(void) { return 0; }
