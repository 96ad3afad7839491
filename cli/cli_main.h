#pragma once
// ivrac's dispatcher: above every command, which stands on the shared frame in cli.h.

// The whole program: code pages, flags, help, version and dispatch. Returns the exit code.
int cli_main(int argc, wchar_t** argv);
