// ivra.exe: the settings window the agent and ivrac open.
#include "common/win.h"
#include "settings/settings_window.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR args, int show) {
    return settings_window_run(instance, args, show);
}
