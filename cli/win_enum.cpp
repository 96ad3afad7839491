#include "cli/win_enum.h"
#include "cli/cli.h"
#include "common/win.h"
#include <dwmapi.h>
#include <cstdlib>
#include <cstring>
#include <cwchar>

// ---- Pure parts.

bool win_enum_list_push(win_list* list, const win_entry* entry) {
    if (list->count == list->capacity) {
        int room = list->capacity ? list->capacity * 2 : 64;
        void* grown = realloc(list->items, (size_t)room * sizeof(win_entry));
        if (!grown) return false;
        list->items = (win_entry*)grown;
        list->capacity = room;
    }
    list->items[list->count++] = *entry;
    return true;
}

void win_enum_list_destroy(win_list* list) {
    free(list->items);
    list->items = nullptr;
    list->count = 0;
    list->capacity = 0;
}

bool win_enum_text_contains(const wchar_t* text, const wchar_t* query) {
    if (!text || !query || !query[0]) return false;
    size_t tn = wcslen(text), qn = wcslen(query);
    for (size_t at = 0; at + qn <= tn; at++)
        if (_wcsnicmp(text + at, query, qn) == 0) return true;
    return false;
}

int win_enum_query_match(const win_entry* items, int count, const wchar_t* query, int* out, int max_out) {
    for (int stage = 0; stage < 3; stage++) {
        int found = 0;
        for (int i = 0; i < count && found < max_out; i++) {
            const wchar_t* text = stage == 0 ? items[i].title : stage == 1 ? items[i].class_name : items[i].exe;
            if (win_enum_text_contains(text, query)) out[found++] = i;
        }
        if (found) return found;
    }
    return 0;
}

void win_enum_exe_from_path(const wchar_t* image_path, wchar_t out[WIN_EXE_CHARS]) {
    const wchar_t* name = image_path ? image_path : L"";
    const wchar_t* slash = wcsrchr(name, L'\\');
    if (slash) name = slash + 1;
    size_t n = wcslen(name);
    if (n > WIN_EXE_CHARS - 1) n = WIN_EXE_CHARS - 1;
    wmemcpy(out, name, n);
    out[n] = 0;
}

const char* win_enum_state_text(int state, bool json) {
    if (state == WIN_STATE_MIN) return "min";
    if (state == WIN_STATE_MAX) return "max";
    return json ? "normal" : "-";
}

void win_enum_display_text(const wchar_t* text, char* out, size_t capacity) {
    wchar_t shown[WIN_TITLE_CHARS];
    wcsncpy(shown, text ? text : L"", WIN_TITLE_CHARS - 1);
    shown[WIN_TITLE_CHARS - 1] = 0;
    cli_blank_controls(shown);
    cli_utf8_from_wide(shown, out, capacity);
}

size_t win_enum_candidate_line(const win_entry* e, char* out, size_t capacity) {
    char exe[WIN_EXE_CHARS * 3], title[WIN_TITLE_CHARS * 3];
    win_enum_display_text(e->exe, exe, sizeof exe);
    win_enum_display_text(e->title, title, sizeof title);
    size_t at = cli_format(out, capacity, "  0x%08x  ", (unsigned)(e->hwnd & 0xFFFFFFFFu));
    cli_pad_utf8(out, capacity, &at, exe, 18);
    char rest[WIN_TITLE_CHARS * 3 + 8];
    cli_format(rest, sizeof rest, " \"%s\"\n", title);
    cli_pad_utf8(out, capacity, &at, rest, 0);
    return at;
}

// ---- Enumeration.

struct enum_context {
    bool all;
    bool failed;
    DWORD own_pid;
    win_list list;
};

static void win_enum_read_exe(DWORD pid, wchar_t out[WIN_EXE_CHARS]) {
    out[0] = 0;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process) return;
    wchar_t image[MAX_PATH];
    DWORD size = MAX_PATH;
    if (QueryFullProcessImageNameW(process, 0, image, &size)) win_enum_exe_from_path(image, out);
    CloseHandle(process);
}

static BOOL CALLBACK win_enum_one(HWND hwnd, LPARAM param) {
    enum_context* ctx = (enum_context*)param;
    if (!IsWindowVisible(hwnd)) return TRUE;
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid == ctx->own_pid) return TRUE;
    DWORD cloaked = 0;
    if (SUCCEEDED(DwmGetWindowAttribute(hwnd, DWMWA_CLOAKED, &cloaked, sizeof cloaked)) && cloaked) return TRUE;

    win_entry e = {};
    RECT rc;
    if (IsIconic(hwnd)) {
        WINDOWPLACEMENT wp = {};
        wp.length = sizeof wp;
        if (!GetWindowPlacement(hwnd, &wp)) return TRUE;
        rc = wp.rcNormalPosition;
        e.state = WIN_STATE_MIN;
    } else {
        if (!GetWindowRect(hwnd, &rc)) return TRUE;
        e.state = IsZoomed(hwnd) ? WIN_STATE_MAX : WIN_STATE_NORMAL;
    }
    if (rc.left >= rc.right || rc.top >= rc.bottom) return TRUE;
    GetWindowTextW(hwnd, e.title, WIN_TITLE_CHARS);
    if (!ctx->all) {
        if (GetWindowLongPtrW(hwnd, GWL_EXSTYLE) & WS_EX_TOOLWINDOW) return TRUE;
        if (!e.title[0]) return TRUE;
    }
    e.hwnd = (uint64_t)(uintptr_t)hwnd;
    e.pid = pid;
    e.left = rc.left;
    e.top = rc.top;
    e.right = rc.right;
    e.bottom = rc.bottom;
    GetClassNameW(hwnd, e.class_name, WIN_CLASS_CHARS);
    win_enum_read_exe(pid, e.exe);
    if (!win_enum_list_push(&ctx->list, &e)) {
        ctx->failed = true;
        return FALSE;
    }
    return TRUE;
}

bool win_enum_window_list(bool all, win_list* out) {
    enum_context ctx = {};
    ctx.all = all;
    ctx.own_pid = GetCurrentProcessId();
    EnumWindows(win_enum_one, (LPARAM)&ctx);
    if (ctx.failed) {
        win_enum_list_destroy(&ctx.list);
        return false;
    }
    *out = ctx.list;
    return true;
}

static int win_enum_list_failed() {
    return cli_fail("capture_failed", CLI_EXIT_FAILED, "cannot list windows (out of memory)");
}

int win_enum_window_query(const wchar_t* query, uint64_t* hwnd) {
    win_list list = {};
    if (!win_enum_window_list(false, &list)) return win_enum_list_failed();
    int found[WIN_QUERY_MAX_CANDIDATES];
    int n = win_enum_query_match(list.items, list.count, query, found, WIN_QUERY_MAX_CANDIDATES);
    int rc = CLI_EXIT_OK;
    if (n == 0) {
        rc = cli_fail("not_found", CLI_EXIT_TARGET, "no window matches the query");
    } else if (n == 1) {
        *hwnd = list.items[found[0]].hwnd;
    } else {
        char word[32];
        cli_utf8_from_wide(g_cli.command, word, sizeof word);
        cli_err_printf("ivrac %s: ambiguous window query, candidates:\n", word);
        for (int i = 0; i < n; i++) {
            char line[1024];
            win_enum_candidate_line(&list.items[found[i]], line, sizeof line);
            cli_err_printf("%s", line);
        }
        cli_err_printf("use --hwnd to pick one\n");
        rc = cli_fail("ambiguous", CLI_EXIT_TARGET, "ambiguous window query (%d candidates)", n);
    }
    win_enum_list_destroy(&list);
    return rc;
}

int win_enum_window_for_pid(unsigned long pid, uint64_t* hwnd) {
    win_list list = {};
    if (!win_enum_window_list(false, &list)) return win_enum_list_failed();
    for (int i = 0; i < list.count; i++) {
        if (list.items[i].pid == pid) {
            *hwnd = list.items[i].hwnd;
            win_enum_list_destroy(&list);
            return CLI_EXIT_OK;
        }
    }
    win_enum_list_destroy(&list);
    return cli_fail("not_found", CLI_EXIT_TARGET, "no window for pid %lu", pid);
}

int win_enum_window_active(uint64_t* hwnd) {
    HWND fg = GetForegroundWindow();
    DWORD pid = 0;
    if (fg) GetWindowThreadProcessId(fg, &pid);
    if (!fg || fg == GetConsoleWindow() || pid == GetCurrentProcessId())
        return cli_fail("not_found", CLI_EXIT_TARGET, "no suitable active window; use --window");
    *hwnd = (uint64_t)(uintptr_t)fg;
    return CLI_EXIT_OK;
}
