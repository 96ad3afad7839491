#pragma once
// Top-level windows as ivrac sees them, and the title/class/program query that
// turns a few words into exactly one window handle.
#include <cstddef>
#include <cstdint>

enum win_state { WIN_STATE_NORMAL = 0, WIN_STATE_MIN = 1, WIN_STATE_MAX = 2 };

enum {
    WIN_TITLE_CHARS = 256,
    WIN_CLASS_CHARS = 128,
    WIN_EXE_CHARS = 64,
    WIN_QUERY_MAX_CANDIDATES = 64,
};

struct win_entry {
    uint64_t hwnd;
    unsigned long pid;
    long left, top, right, bottom;  // restored rectangle for a minimized window
    int state;                      // win_state
    wchar_t title[WIN_TITLE_CHARS];
    wchar_t class_name[WIN_CLASS_CHARS];
    wchar_t exe[WIN_EXE_CHARS];  // program file name; empty when the process cannot be opened
};

// A growable list, enumeration order.
struct win_list {
    win_entry* items;
    int count;
    int capacity;
};

// ---- Pure parts (no Win32 call).

// Appends a copy of the entry, doubling the room from 64 as needed. False, list
// unchanged, when memory runs out.
bool win_enum_list_push(win_list* list, const win_entry* entry);
// Frees the items; the list is empty afterwards and may be reused.
void win_enum_list_destroy(win_list* list);

// True when query occurs in text, letter case ignored. An empty query never matches.
bool win_enum_text_contains(const wchar_t* text, const wchar_t* query);

// The candidates of a query in three stages: titles, then class names, then
// program names; the first stage with any match decides. Writes the indexes of
// at most max_out candidates in list order and returns how many were written
// (0 = no match).
int win_enum_query_match(const win_entry* items, int count, const wchar_t* query, int* out, int max_out);

// The program file name of an image path: the part after the last backslash,
// cut to WIN_EXE_CHARS - 1 characters.
void win_enum_exe_from_path(const wchar_t* image_path, wchar_t out[WIN_EXE_CHARS]);

// "min", "max" or "-" for text; "min", "max" or "normal" for JSON.
const char* win_enum_state_text(int state, bool json);

// A window text for a text listing: control characters blanked (one window, one
// line, no terminal escapes), as UTF-8 cut to capacity at a character boundary.
void win_enum_display_text(const wchar_t* text, char* out, size_t capacity);

// One line of the ambiguous-query candidate list, "  0x%08x  <exe> \"<title>\"\n",
// with the program column padded to 18 characters. Returns the bytes written.
size_t win_enum_candidate_line(const win_entry* e, char* out, size_t capacity);

// ---- System parts.

// Enumerates the top-level windows: visible, not ivrac's own, not cloaked, with
// a non-empty rectangle; without `all` also titled and not tool windows. False,
// out untouched, when memory runs out.
bool win_enum_window_list(bool all, win_list* out);

// Resolves a query on the default listing. Returns 0 with *hwnd set, or prints
// the failure (not_found, ambiguous with the candidate list) and returns 4 (or
// 1 when the windows cannot be listed).
int win_enum_window_query(const wchar_t* query, uint64_t* hwnd);

// The first window of the process on the default listing. Returns 0 with *hwnd
// set, or prints "no window for pid %lu" and returns 4.
int win_enum_window_for_pid(unsigned long pid, uint64_t* hwnd);

// The foreground window unless it is ivrac's console or belongs to ivrac.
// Returns 0 with *hwnd set, or prints the failure and returns 4.
int win_enum_window_active(uint64_t* hwnd);
