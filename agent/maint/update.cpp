#include "agent/maint/update.h"

int update_installer_hook(const wchar_t*) { return 0; }
void update_daily_tick(void) {}
