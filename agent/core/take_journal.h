#pragma once
// The record of clip takes still open: each take's ".part" file is listed when the take
// opens and dropped when it is finished or discarded, so the next start finds the
// leftovers of a killed agent wherever they were written (dir=, -o, folder=), not only
// in the folders it knows. The file ("takes.tsv" in the data folder) holds one line per
// take, "<session id>\t<part path in UTF-8>\n", and is rewritten whole through "%s.tmp".
#include "common/win.h"
#include <cstddef>
#include <cstdint>

enum {
    TAKE_JOURNAL_MAX = 64,         // takes listed at once
    TAKE_JOURNAL_PATH_MAX = 260,   // wide characters, terminator included
    TAKE_JOURNAL_LINE_MAX = 804,   // "<id>\t" and a path of 259 characters in UTF-8, line feed
    TAKE_JOURNAL_READ_MAX = 65536  // bytes read of the file at start-up
};

struct take_journal;

// The journal kept in file, with the takes it lists from an earlier run (session 0).
// Null when memory is short. The file is not written until something changes.
take_journal* take_journal_create(const wchar_t* file);
void take_journal_destroy(take_journal* j);

// "<data_dir>\takes.tsv" into out; false (out untouched) when it does not fit.
bool take_journal_path(const wchar_t* data_dir, wchar_t out[TAKE_JOURNAL_PATH_MAX]);

// Start-up only, before any take opens: deletes every listed ".part" file that still
// exists, logging "startup: removed stale partial capture %ls" (or a warning when it
// cannot be deleted; such a take stays listed for the next start), then rewrites the
// journal with what is left. Lines that do not name a ".part" file are dropped. Returns
// the number of files deleted. Null does nothing.
int take_journal_sweep(take_journal* j);

// Lists the part file of a take of session id (a path listed already is kept once).
// False when the journal is full of takes whose files still exist or the path is not
// a ".part" path that fits; the journal is unchanged then. Null does nothing (true).
bool take_journal_add(take_journal* j, uint64_t session, const wchar_t* part_path);
// Drops every take of session id and rewrites the journal when one was listed.
void take_journal_remove_session(take_journal* j, uint64_t session);
// Number of takes listed.
int take_journal_count(take_journal* j);

// ---- Pure helpers.

// Reads one journal line (without its line feed; a CR before it is ignored) into the
// session id and the wide part path. False (outputs untouched) for a line without a
// number and a tab, a path that does not convert or fit, or one not ending in ".part".
bool take_journal_parse_line(const char* line, size_t len, uint64_t* session, wchar_t path[TAKE_JOURNAL_PATH_MAX]);
