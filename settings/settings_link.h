#pragma once
// The account page's calls to the web service (start the link, send the code,
// unlink), each on a short-lived thread so the window keeps answering.
#include "common/account_link.h"
#include "common/win.h"

enum settings_link_op { SETTINGS_LINK_START = 1, SETTINGS_LINK_VERIFY, SETTINGS_LINK_UNLINK };

// Posted to the job's window when the call is over; lParam is the job.
constexpr UINT WM_SETTINGS_LINK_DONE = WM_APP + 1;

struct settings_link_job {
    int op;
    HWND reply_to;
    char server[256];
    char text[72];             // the avatar name (start) or the typed code (verify)
    link_challenge challenge;  // written by start, read by verify
    int ok;
    char message[256];  // on failure the sentence to show; on success start's note or the linked name
};

// Runs the job on its own thread. The window receives WM_SETTINGS_LINK_DONE and frees the
// job with settings_link_free. False, with the job freed, when no thread could start.
bool settings_link_run(settings_link_job* job);
// Wipes the typed code and the challenge's token, then frees the job.
void settings_link_free(settings_link_job* job);
