#include "cli/cli_main.h"

int wmain(int argc, wchar_t** argv) { return cli_main(argc, argv); }
