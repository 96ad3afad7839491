// Test helper: describes the top-level windows of one class.
//   wintext CLASS   prints "count=N" and, for the first window, "pid=P",
//                   "title=..." and "text=..." (its first child's text, line
//                   ends as \n) in UTF-8, one per line. Exit 1 when none.
#include "wintext.h"
#include <cstdarg>

static void wintext_print(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
}

int wmain(int argc, wchar_t** argv) { return wintext_run(argc, argv, wintext_print); }
