#pragma once
// "ivrac settings": open, focus, close or report the settings window of ivra.exe
// (window class IvraSettingsWnd), which is started from ivrac's folder.

// Runs the settings subcommand in argv[0]. Returns the exit code.
int cmd_settings_command(int argc, wchar_t** argv);
