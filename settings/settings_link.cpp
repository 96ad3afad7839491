#include "settings/settings_link.h"

#include <cstdio>
#include <cstring>

#include "common/account.h"
#include "common/log.h"

namespace {

void link_do_start(settings_link_job* job) {
    api_result r = {};
    if (!link_start(job->server, job->text, &job->challenge, &r)) {
        snprintf(job->message, sizeof job->message, "%s", r.message[0] ? r.message : "The web service did not answer.");
        return;
    }
    // The code goes out through Second Life; wait a while for it to leave the queue, as ivrac does.
    char status[16] = "queued", reason[32] = "";
    for (int polls = 1; polls <= 40; polls++) {
        if (!link_status(&job->challenge, status, reason, &r)) {
            snprintf(job->message, sizeof job->message, "%s", r.message);
            return;
        }
        if (strcmp(status, "queued") != 0) break;
        Sleep(1500);
    }
    if (strcmp(status, "failed") == 0) {
        snprintf(job->message, sizeof job->message, "%s", link_reason_text(reason));
        return;
    }
    snprintf(job->message, sizeof job->message, "%s",
             strcmp(status, "queued") == 0 ? "Still waiting for Second Life; enter the code when the IM arrives."
                                           : "Code sent. Check your IMs in Second Life.");
    job->ok = 1;
}

void link_do_verify(settings_link_job* job) {
    api_result r = {};
    account acc = {};
    if (!link_verify(&job->challenge, job->text, &acc, &r)) {
        snprintf(job->message, sizeof job->message, "%s", r.message[0] ? r.message : "The code was not accepted.");
        return;
    }
    if (account_save(&acc)) {
        snprintf(job->message, sizeof job->message, "%s", acc.sl_name);
        job->ok = 1;
    } else {
        snprintf(job->message, sizeof job->message, "Linked, but the link could not be saved on this PC.");
    }
    SecureZeroMemory(&acc, sizeof acc);
}

void link_do_unlink(settings_link_job* job) {
    account acc = {};
    account_load(&acc);
    link_unlink(&acc);
    SecureZeroMemory(&acc, sizeof acc);
    job->ok = 1;
}

DWORD WINAPI link_thread(void* param) {
    log_thread_name(L"ivra-link");
    settings_link_job* job = (settings_link_job*)param;
    switch (job->op) {
    case SETTINGS_LINK_START: link_do_start(job); break;
    case SETTINGS_LINK_VERIFY: link_do_verify(job); break;
    case SETTINGS_LINK_UNLINK: link_do_unlink(job); break;
    default: break;
    }
    if (!PostMessageW(job->reply_to, WM_SETTINGS_LINK_DONE, 0, (LPARAM)job)) settings_link_free(job);
    return 0;
}

}  // namespace

bool settings_link_run(settings_link_job* job) {
    HANDLE t = CreateThread(nullptr, 0, link_thread, job, 0, nullptr);
    if (!t) {
        settings_link_free(job);
        return false;
    }
    CloseHandle(t);
    return true;
}

void settings_link_free(settings_link_job* job) {
    if (!job) return;
    SecureZeroMemory(job, sizeof *job);
    HeapFree(GetProcessHeap(), 0, job);
}
