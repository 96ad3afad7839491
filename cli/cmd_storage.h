#pragma once
// "storage": drive usage and the size of the capture folders, from the agent's
// last scan or, with the agent down, from a scan of our own.
#include "common/storage.h"
#include <cstddef>

// What the command shows: a scan with its age and the thresholds it was judged by.
struct storage_view {
    storage_report report;
    long long age_s;
    int warn_free_mb;
    int stop_free_mb;
    int warn_ivra_gb;
};

// ---- Pure parts (no Win32 call).

// Reads an "ok" storage reply into v (drive cut to 7 characters). False, v
// untouched, when the reply is not "ok" or lacks the drive, total, free or ivra field.
bool cmd_storage_reply_parse(const char* reply, storage_view* v);
// The JSON object with its line feed. False, out empty, when it does not fit.
bool cmd_storage_json(const storage_view* v, char* out, size_t capacity);
// The text blocks, one line feed after each line; cut to capacity characters.
void cmd_storage_text(const storage_view* v, wchar_t* out, size_t capacity);

// ---- Command; argv holds the arguments after the command word. Always 0.
int cmd_storage_command(int argc, wchar_t** argv);
