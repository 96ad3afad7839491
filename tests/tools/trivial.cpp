// Baseline for start-up timing: a console program built like ivrac that
// writes one line to standard output and exits.
#include "common/win.h"

int wmain(int, wchar_t**) {
    DWORD n = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "trivial\n", 8, &n, nullptr);
    return 0;
}
