#include "settings/settings_window.h"

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <initializer_list>
#include <shlobj.h>

#include "common/account.h"
#include "common/config.h"
#include "common/config_schema.h"
#include "common/hotkey_text.h"
#include "common/log.h"
#include "common/version.h"
#include "settings/settings_link.h"
#include "settings/settings_model.h"

namespace {

// Layout in pixels of the client area.
constexpr int WINDOW_W = 800, WINDOW_H = 640;
constexpr int PAGE_BUTTON_X = 10, PAGE_BUTTON_W = 110, PAGE_BUTTON_H = 28, PAGE_BUTTON_STEP = 34;
constexpr int CONTENT_X = 136, ROW_Y = 12, ROW_STEP = 28, ROW_H = 22;
constexpr int LABEL_W = 400, CONTROL_X = CONTENT_X + LABEL_W + 8, CONTROL_W = 240, BROWSE_W = 36;
constexpr int STATUS_Y = 500, STATUS_H = 44, BUTTON_Y = 560, BUTTON_W = 96, BUTTON_H = 28;
constexpr int ACCOUNT_FIELD_ROW = 7, ABOUT_FIELD_ROW = 5;
constexpr size_t TEXT_CHARS = 300;
constexpr size_t MESSAGE_CHARS = 1024;

struct settings_field {
    const config_schema_entry* entry;
    settings_control kind;
    settings_page page;
    HWND label, control, browse;
};

struct settings_app {
    HWND wnd;
    HWND status;
    HWND save, close;
    HWND page_buttons[SETTINGS_PAGE_BUTTONS];
    HWND welcome_text, welcome_link, welcome_later;
    HWND account_state, account_name_label, account_name, account_send, account_code_label, account_code, account_link,
        account_unlink;
    HWND about_text;
    settings_field fields[CONFIG_SCHEMA_COUNT];
    config base;  // what the fields were filled from
    settings_page page;
    UINT msg_reload, msg_show, msg_exit;
    HFONT font;
    WNDPROC edit_proc;
    link_challenge challenge;
    bool have_challenge;
    bool link_busy;
};

settings_app g_app;

HWND settings_child(const wchar_t* cls, const wchar_t* text, DWORD style, int id, int x, int y, int w, int h) {
    HWND c = CreateWindowExW(0, cls, text, WS_CHILD | style, x, y, w, h, g_app.wnd, (HMENU)(INT_PTR)id,
                             GetModuleHandleW(nullptr), nullptr);
    if (c) SendMessageW(c, WM_SETFONT, (WPARAM)g_app.font, FALSE);
    return c;
}

int settings_row_y(int row) { return ROW_Y + row * ROW_STEP; }

HWND settings_find_agent(void) {
    HWND w = FindWindowW(L"IvraAgentWnd", nullptr);
    if (!w) w = FindWindowExW(HWND_MESSAGE, nullptr, L"IvraAgentWnd", nullptr);
    return w;
}

// The agent re-reads config.ini (and hears of a changed link) on this message.
void settings_notify_agent(void) {
    HWND agent = settings_find_agent();
    if (agent) PostMessageW(agent, g_app.msg_reload, 0, 0);
}

void settings_set_status(const wchar_t* text) { SetWindowTextW(g_app.status, text); }

// ---- Hotkey fields: a key press is recorded, typing is not.

unsigned settings_held_mods(void) {
    unsigned mods = 0;
    if (GetKeyState(VK_MENU) < 0) mods |= 1;
    if (GetKeyState(VK_CONTROL) < 0) mods |= 2;
    if (GetKeyState(VK_SHIFT) < 0) mods |= 4;
    if (GetKeyState(VK_LWIN) < 0 || GetKeyState(VK_RWIN) < 0) mods |= 8;
    return mods;
}

bool settings_record_press(HWND edit, unsigned vk) {
    hotkey_pair pair = {};
    unsigned mods = settings_held_mods();
    settings_press what = settings_hotkey_press(vk, mods, &pair);
    if (what == SETTINGS_PRESS_IGNORE) {
        if (vk == VK_TAB) SetFocus(GetNextDlgTabItem(g_app.wnd, edit, (mods & 4) != 0));
        return false;
    }
    wchar_t text[64];
    hotkey_format(pair, text, 64);
    SetWindowTextW(edit, text);
    return true;
}

LRESULT CALLBACK settings_hotkey_proc(HWND edit, UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
    case WM_GETDLGCODE: return DLGC_WANTALLKEYS | DLGC_WANTCHARS;
    case WM_KEYDOWN:
    case WM_SYSKEYDOWN: settings_record_press(edit, (unsigned)wp); return 0;
    case WM_KEYUP:
    case WM_SYSKEYUP:
        // PrtSc arrives only as a release.
        if (wp == VK_SNAPSHOT) settings_record_press(edit, (unsigned)wp);
        return 0;
    case WM_CHAR:
    case WM_SYSCHAR:
    case WM_DEADCHAR:
    case WM_SYSDEADCHAR:
    case WM_PASTE:
    case WM_CUT:
    case WM_CLEAR:
    case WM_CONTEXTMENU: return 0;
    default: return CallWindowProcW(g_app.edit_proc, edit, msg, wp, lp);
    }
}

// ---- Fields

void settings_create_fields(void) {
    int rows[SETTINGS_PAGE_COUNT] = {};
    rows[SETTINGS_PAGE_ACCOUNT] = ACCOUNT_FIELD_ROW;
    rows[SETTINGS_PAGE_ABOUT] = ABOUT_FIELD_ROW;
    for (int i = 0; i < CONFIG_SCHEMA_COUNT; ++i) {
        settings_field* f = &g_app.fields[i];
        f->entry = &config_schema[i];
        f->kind = settings_control_of(f->entry);
        f->page = settings_page_of_key(f->entry->key);
        int y = settings_row_y(rows[f->page]++);
        wchar_t label[TEXT_CHARS];
        settings_field_label(f->entry, label, TEXT_CHARS);
        f->label = settings_child(L"STATIC", label, SS_LEFT | SS_NOPREFIX | SS_ENDELLIPSIS | SS_CENTERIMAGE,
                                  SETTINGS_ID_LABEL_FIRST + i, CONTENT_X, y, LABEL_W, ROW_H);
        int id = SETTINGS_ID_FIELD_FIRST + i;
        switch (f->kind) {
        case SETTINGS_CONTROL_CHECK:
            f->control = settings_child(L"BUTTON", L"", BS_AUTOCHECKBOX | WS_TABSTOP, id, CONTROL_X, y, 24, ROW_H);
            break;
        case SETTINGS_CONTROL_CHOICE: {
            f->control = settings_child(L"COMBOBOX", L"", CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP, id, CONTROL_X, y,
                                        CONTROL_W, 200);
            wchar_t word[64];
            for (int w = 0; settings_choice_word(f->entry, w, word, 64); ++w)
                SendMessageW(f->control, CB_ADDSTRING, 0, (LPARAM)word);
            break;
        }
        case SETTINGS_CONTROL_FOLDER:
            f->control = settings_child(L"EDIT", L"", WS_BORDER | ES_AUTOHSCROLL | WS_TABSTOP, id, CONTROL_X, y,
                                        CONTROL_W - BROWSE_W - 4, ROW_H);
            f->browse = settings_child(L"BUTTON", L"...", BS_PUSHBUTTON | WS_TABSTOP, SETTINGS_ID_BROWSE_FIRST + i,
                                       CONTROL_X + CONTROL_W - BROWSE_W, y, BROWSE_W, ROW_H);
            break;
        default:
            f->control = settings_child(L"EDIT", L"", WS_BORDER | ES_AUTOHSCROLL | WS_TABSTOP, id, CONTROL_X, y,
                                        CONTROL_W, ROW_H);
            if (f->kind == SETTINGS_CONTROL_HOTKEY && f->control) {
                WNDPROC old = (WNDPROC)SetWindowLongPtrW(f->control, GWLP_WNDPROC, (LONG_PTR)settings_hotkey_proc);
                if (!g_app.edit_proc) g_app.edit_proc = old;
            }
            break;
        }
    }
}

// The control's value as the text config_set_value reads.
void settings_field_text(const settings_field* f, wchar_t* out, size_t capacity) {
    out[0] = 0;
    if (f->kind == SETTINGS_CONTROL_CHECK) {
        swprintf(out, capacity, L"%d", SendMessageW(f->control, BM_GETCHECK, 0, 0) == BST_CHECKED ? 1 : 0);
    } else if (f->kind == SETTINGS_CONTROL_CHOICE) {
        LRESULT sel = SendMessageW(f->control, CB_GETCURSEL, 0, 0);
        if (sel == CB_ERR || !settings_choice_word(f->entry, (int)sel, out, capacity)) out[0] = 0;
    } else {
        GetWindowTextW(f->control, out, (int)capacity);
    }
}

// keep (may be null) marks fields whose control is left as it is.
void settings_fill_fields(const bool* keep = nullptr) {
    for (int i = 0; i < CONFIG_SCHEMA_COUNT; ++i) {
        if (keep && keep[i]) continue;
        settings_field& f = g_app.fields[i];
        wchar_t text[TEXT_CHARS];
        config_get_text(&g_app.base, f.entry->key, text, TEXT_CHARS);
        if (f.kind == SETTINGS_CONTROL_CHECK) {
            SendMessageW(f.control, BM_SETCHECK,
                         *(const int*)((const char*)&g_app.base + f.entry->offset) ? BST_CHECKED : BST_UNCHECKED, 0);
        } else if (f.kind == SETTINGS_CONTROL_CHOICE) {
            int pick = -1;
            wchar_t word[64];
            for (int w = 0; settings_choice_word(f.entry, w, word, 64); ++w)
                if (_wcsicmp(word, text) == 0) pick = w;
            SendMessageW(f.control, CB_SETCURSEL, (WPARAM)pick, 0);
        } else {
            SetWindowTextW(f.control, text);
        }
    }
}

void settings_load(void) {
    config_load(&g_app.base);
    settings_fill_fields();
}

// Marks the fields whose control holds a change not saved yet.
void settings_edited_fields(bool* edited) {
    for (int i = 0; i < CONFIG_SCHEMA_COUNT; ++i) {
        wchar_t text[TEXT_CHARS];
        settings_field_text(&g_app.fields[i], text, TEXT_CHARS);
        edited[i] = settings_value_differs(&g_app.base, g_app.fields[i].entry, text);
    }
}

// config.ini changed elsewhere: show its values, except where the user has typed a change
// not saved yet, which a later Save still writes.
void settings_reload(void) {
    bool edited[CONFIG_SCHEMA_COUNT];
    settings_edited_fields(edited);
    config_load(&g_app.base);
    settings_fill_fields(edited);
}

// ---- Pages

void settings_show_account_state(void) {
    account acc = {};
    account_load(&acc);
    wchar_t name[72] = L"", when[64] = L"", text[TEXT_CHARS];
    if (acc.linked) {
        MultiByteToWideChar(CP_UTF8, 0, acc.sl_name, -1, name, 72);
        if (acc.linked_at > 0) {
            // Seconds since 1970 to a FILETIME, then to the local date people read.
            ULONGLONG ticks = (ULONGLONG)acc.linked_at * 10000000ULL + 116444736000000000ULL;
            FILETIME ft = {(DWORD)ticks, (DWORD)(ticks >> 32)};
            SYSTEMTIME utc, local;
            if (FileTimeToSystemTime(&ft, &utc) && SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local))
                GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &local, nullptr, when, 64);
        }
    }
    settings_account_text(acc.linked != 0, name, when, text, TEXT_CHARS);
    SecureZeroMemory(&acc, sizeof acc);
    SetWindowTextW(g_app.account_state, text);
    EnableWindow(g_app.account_unlink, name[0] != 0 && !g_app.link_busy);
}

void settings_show_page(settings_page page) {
    g_app.page = page;
    SetWindowTextW(g_app.wnd, settings_page_title(page));
    settings_page shown = settings_page_button(page);
    for (settings_field& f : g_app.fields) {
        int cmd = f.page == shown ? SW_SHOW : SW_HIDE;
        ShowWindow(f.label, cmd);
        ShowWindow(f.control, cmd);
        if (f.browse) ShowWindow(f.browse, cmd);
    }
    int welcome = page == SETTINGS_PAGE_WELCOME ? SW_SHOW : SW_HIDE;
    ShowWindow(g_app.welcome_text, welcome);
    ShowWindow(g_app.welcome_link, welcome);
    ShowWindow(g_app.welcome_later, welcome);
    int acct = shown == SETTINGS_PAGE_ACCOUNT ? SW_SHOW : SW_HIDE;
    for (HWND c : {g_app.account_state, g_app.account_name_label, g_app.account_name, g_app.account_send,
                   g_app.account_code_label, g_app.account_code, g_app.account_link, g_app.account_unlink})
        ShowWindow(c, acct);
    ShowWindow(g_app.about_text, page == SETTINGS_PAGE_ABOUT ? SW_SHOW : SW_HIDE);
    ShowWindow(g_app.save, page == SETTINGS_PAGE_WELCOME ? SW_HIDE : SW_SHOW);
    for (int i = 0; i < SETTINGS_PAGE_BUTTONS; ++i)
        SendMessageW(g_app.page_buttons[i], BM_SETSTATE, i == (int)shown, 0);
    if (shown == SETTINGS_PAGE_ACCOUNT) {
        settings_show_account_state();
        if (page == SETTINGS_PAGE_LINK) SetFocus(g_app.account_name);
    }
}

void settings_bring_forward(void) {
    if (IsIconic(g_app.wnd)) ShowWindow(g_app.wnd, SW_RESTORE);
    ShowWindow(g_app.wnd, SW_SHOW);
    SetForegroundWindow(g_app.wnd);
}

void settings_create_pages(void) {
    for (int i = 0; i < SETTINGS_PAGE_BUTTONS; ++i)
        g_app.page_buttons[i] =
            settings_child(L"BUTTON", settings_page_name((settings_page)i), BS_PUSHBUTTON | WS_TABSTOP | WS_VISIBLE,
                           SETTINGS_ID_PAGE_FIRST + i, PAGE_BUTTON_X, settings_row_y(0) + i * PAGE_BUTTON_STEP,
                           PAGE_BUTTON_W, PAGE_BUTTON_H);
    const int content_w = WINDOW_W - CONTENT_X - 16;
    g_app.welcome_text = settings_child(
        L"STATIC",
        L"Welcome to Ivra.\r\n\r\nIvra can upload your screenshots and clips to your web account and copy "
        L"their share link for you. Linking this PC sends a code to your Second Life avatar as an instant "
        L"message; you type it here and the PC is linked.\r\n\r\nYou can link later from the tray menu or "
        L"with 'ivrac account link'. Captures are saved on this PC either way.",
        SS_LEFT | SS_NOPREFIX, SETTINGS_ID_WELCOME_TEXT, CONTENT_X, settings_row_y(0), content_w, 8 * ROW_STEP);
    g_app.welcome_link = settings_child(L"BUTTON", L"Link account", BS_DEFPUSHBUTTON | WS_TABSTOP,
                                        SETTINGS_ID_WELCOME_LINK, CONTENT_X, settings_row_y(9), 140, BUTTON_H);
    g_app.welcome_later = settings_child(L"BUTTON", L"Not now", BS_PUSHBUTTON | WS_TABSTOP, SETTINGS_ID_WELCOME_LATER,
                                         CONTENT_X + 150, settings_row_y(9), 140, BUTTON_H);

    g_app.account_state = settings_child(L"STATIC", L"", SS_LEFT | SS_NOPREFIX, SETTINGS_ID_ACCOUNT_STATE, CONTENT_X,
                                         settings_row_y(0), content_w, ROW_H);
    g_app.account_name_label = settings_child(L"STATIC", L"Second Life name", SS_LEFT | SS_CENTERIMAGE,
                                              SETTINGS_ID_ACCOUNT_NAME_LABEL, CONTENT_X, settings_row_y(2), 160, ROW_H);
    g_app.account_name = settings_child(L"EDIT", L"", WS_BORDER | ES_AUTOHSCROLL | WS_TABSTOP, SETTINGS_ID_ACCOUNT_NAME,
                                        CONTENT_X + 170, settings_row_y(2), 260, ROW_H);
    SendMessageW(g_app.account_name, EM_LIMITTEXT, 63, 0);
    g_app.account_send = settings_child(L"BUTTON", L"Send code", BS_PUSHBUTTON | WS_TABSTOP, SETTINGS_ID_ACCOUNT_SEND,
                                        CONTENT_X + 440, settings_row_y(2), 120, ROW_H + 2);
    g_app.account_code_label = settings_child(L"STATIC", L"Code from the IM", SS_LEFT | SS_CENTERIMAGE,
                                              SETTINGS_ID_ACCOUNT_CODE_LABEL, CONTENT_X, settings_row_y(3), 160, ROW_H);
    g_app.account_code = settings_child(L"EDIT", L"", WS_BORDER | ES_AUTOHSCROLL | WS_TABSTOP, SETTINGS_ID_ACCOUNT_CODE,
                                        CONTENT_X + 170, settings_row_y(3), 260, ROW_H);
    SendMessageW(g_app.account_code, EM_LIMITTEXT, 31, 0);
    g_app.account_link = settings_child(L"BUTTON", L"Link", BS_PUSHBUTTON | WS_TABSTOP, SETTINGS_ID_ACCOUNT_LINK,
                                        CONTENT_X + 440, settings_row_y(3), 120, ROW_H + 2);
    g_app.account_unlink = settings_child(L"BUTTON", L"Unlink this PC", BS_PUSHBUTTON | WS_TABSTOP,
                                          SETTINGS_ID_ACCOUNT_UNLINK, CONTENT_X, settings_row_y(5), 160, ROW_H + 2);
    EnableWindow(g_app.account_code, FALSE);
    EnableWindow(g_app.account_link, FALSE);

    // The agent's version is the product's; the build's project number is not.
    wchar_t about[TEXT_CHARS];
    swprintf(about, TEXT_CHARS,
             L"Ivra %hs\r\n\r\nScreenshots, clips and the last 30 seconds of your screen, with uploads to "
             L"your web account.\r\nThe agent ivrad.exe and the command-line client ivrac.exe sit beside "
             L"this program.",
             IVRA_VERSION_TEXT);
    g_app.about_text = settings_child(L"STATIC", about, SS_LEFT | SS_NOPREFIX, SETTINGS_ID_ABOUT_TEXT, CONTENT_X,
                                      settings_row_y(0), content_w, 4 * ROW_STEP);

    g_app.status = settings_child(L"STATIC", L"", SS_LEFT | SS_NOPREFIX | WS_VISIBLE, SETTINGS_ID_STATUS, CONTENT_X,
                                  STATUS_Y, content_w, STATUS_H);
    g_app.save = settings_child(L"BUTTON", L"Save", BS_PUSHBUTTON | WS_TABSTOP | WS_VISIBLE, SETTINGS_ID_SAVE,
                                WINDOW_W - 16 - 2 * BUTTON_W - 8, BUTTON_Y, BUTTON_W, BUTTON_H);
    g_app.close = settings_child(L"BUTTON", L"Close", BS_PUSHBUTTON | WS_TABSTOP | WS_VISIBLE, SETTINGS_ID_CLOSE,
                                 WINDOW_W - 16 - BUTTON_W, BUTTON_Y, BUTTON_W, BUTTON_H);
}

// ---- Saving

// config.ini as it is now, so a change made elsewhere since the window filled is kept.
// False when the file exists but cannot be read: saving would put defaults over it.
bool settings_read_current(config* cfg) {
    if (config_load(cfg)) return true;
    wchar_t path[260];
    config_path(path);
    return GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES;
}

// Writes edits over the current file through the schema; shows the schema's message and
// leaves the file alone when a value is refused. failed_field gets the refused field's index.
bool settings_commit(const settings_edit* edits, const int* edit_fields, int count, int* failed_field) {
    static config cfg;
    *failed_field = -1;
    if (!settings_read_current(&cfg)) {
        settings_set_status(L"config.ini could not be read; nothing was changed.");
        return false;
    }
    wchar_t err[MESSAGE_CHARS];
    int failed = -1;
    if (!settings_apply(&cfg, edits, count, true, &failed, err, MESSAGE_CHARS)) {
        if (failed >= 0) *failed_field = edit_fields[failed];
        settings_set_status(err);
        return false;
    }
    if (!config_save(&cfg)) {
        settings_set_status(L"config.ini could not be written; nothing was changed.");
        return false;
    }
    log_info("settings: saved %d setting%s", count, count == 1 ? "" : "s");
    settings_notify_agent();
    g_app.base = cfg;
    return true;
}

void settings_save(void) {
    static wchar_t texts[CONFIG_SCHEMA_COUNT][TEXT_CHARS];
    settings_edit edits[CONFIG_SCHEMA_COUNT];
    int edit_fields[CONFIG_SCHEMA_COUNT];
    int count = 0;
    for (int i = 0; i < CONFIG_SCHEMA_COUNT; ++i) {
        const settings_field* f = &g_app.fields[i];
        settings_field_text(f, texts[i], TEXT_CHARS);
        // Only what the user changed is set, as 'ivrac config set' sets only what it is given.
        if (!settings_value_differs(&g_app.base, f->entry, texts[i])) continue;
        edits[count] = settings_edit{f->entry->key, texts[i]};
        edit_fields[count++] = i;
    }
    if (count == 0) {
        settings_set_status(L"Nothing to save.");
        return;
    }
    int failed_field = -1;
    if (!settings_commit(edits, edit_fields, count, &failed_field)) {
        if (failed_field >= 0) {
            settings_show_page(g_app.fields[failed_field].page);
            SetFocus(g_app.fields[failed_field].control);
        }
        return;
    }
    settings_fill_fields();
    settings_set_status(L"Saved.");
}

// "Not now" and a finished link both mean the welcome has done its work.
bool settings_mark_onboarded(void) {
    if (g_app.base.onboarded) return true;
    settings_edit edit = {L"onboarded", L"1"};
    int field = 0, failed = -1;
    bool edited[CONFIG_SCHEMA_COUNT];
    settings_edited_fields(edited);
    if (!settings_commit(&edit, &field, 1, &failed)) return false;
    settings_fill_fields(edited);
    return true;
}

void settings_browse(int index) {
    settings_field* f = &g_app.fields[index];
    BROWSEINFOW bi = {};
    wchar_t name[MAX_PATH];
    bi.hwndOwner = g_app.wnd;
    bi.pszDisplayName = name;
    bi.lpszTitle = f->entry->description;
    bi.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
    PIDLIST_ABSOLUTE picked = SHBrowseForFolderW(&bi);
    if (!picked) return;
    wchar_t path[MAX_PATH];
    if (SHGetPathFromIDListW(picked, path)) SetWindowTextW(f->control, path);
    CoTaskMemFree(picked);
}

// ---- Linking

void settings_link_busy(bool busy) {
    g_app.link_busy = busy;
    EnableWindow(g_app.account_send, !busy);
    EnableWindow(g_app.account_name, !busy);
    EnableWindow(g_app.account_code, !busy && g_app.have_challenge);
    EnableWindow(g_app.account_link, !busy && g_app.have_challenge);
    settings_show_account_state();
}

void settings_link_start(int op) {
    if (g_app.link_busy) return;
    settings_link_job* job = (settings_link_job*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof *job);
    if (!job) return;
    job->op = op;
    job->reply_to = g_app.wnd;
    account_server(&g_app.base, job->server);
    wchar_t typed[72] = L"";
    if (op == SETTINGS_LINK_START) {
        GetWindowTextW(g_app.account_name, typed, 72);
        if (!typed[0]) {
            settings_link_free(job);
            settings_set_status(L"Type your Second Life name first.");
            return;
        }
    } else if (op == SETTINGS_LINK_VERIFY) {
        GetWindowTextW(g_app.account_code, typed, 72);
        job->challenge = g_app.challenge;
    }
    WideCharToMultiByte(CP_UTF8, 0, typed, -1, job->text, sizeof job->text, nullptr, nullptr);
    SecureZeroMemory(typed, sizeof typed);
    settings_set_status(op == SETTINGS_LINK_START    ? L"Sending the code..."
                        : op == SETTINGS_LINK_VERIFY ? L"Checking the code..."
                                                     : L"Unlinking...");
    if (settings_link_run(job))
        settings_link_busy(true);
    else
        settings_set_status(L"Could not start the request.");
}

void settings_link_done(settings_link_job* job) {
    wchar_t message[256];
    if (MultiByteToWideChar(CP_UTF8, 0, job->message, -1, message, 256) <= 0) message[0] = 0;
    if (job->op == SETTINGS_LINK_START && job->ok) {
        g_app.challenge = job->challenge;
        g_app.have_challenge = true;
        settings_set_status(message);
    } else if (job->op == SETTINGS_LINK_VERIFY && job->ok) {
        SecureZeroMemory(&g_app.challenge, sizeof g_app.challenge);
        g_app.have_challenge = false;
        SetWindowTextW(g_app.account_code, L"");
        settings_notify_agent();
        settings_mark_onboarded();
        wchar_t text[320];
        swprintf(text, 320, L"Linked to %ls.", message);
        settings_set_status(text);
    } else if (job->op == SETTINGS_LINK_UNLINK) {
        settings_notify_agent();
        settings_set_status(L"This PC is no longer linked.");
    } else {
        settings_set_status(message);
    }
    settings_link_free(job);
    settings_link_busy(false);
    if (g_app.have_challenge) SetFocus(g_app.account_code);
}

// ---- Window

void settings_command(int id, int code) {
    if (id >= SETTINGS_ID_PAGE_FIRST && id < SETTINGS_ID_PAGE_FIRST + SETTINGS_PAGE_BUTTONS) {
        settings_show_page((settings_page)(id - SETTINGS_ID_PAGE_FIRST));
        return;
    }
    if (id >= SETTINGS_ID_BROWSE_FIRST && id < SETTINGS_ID_BROWSE_FIRST + CONFIG_SCHEMA_COUNT) {
        settings_browse(id - SETTINGS_ID_BROWSE_FIRST);
        return;
    }
    if (code != BN_CLICKED) return;
    switch (id) {
    case IDOK:  // Enter in a field
        if (g_app.page != SETTINGS_PAGE_WELCOME) settings_save();
        break;
    case SETTINGS_ID_SAVE: settings_save(); break;
    case SETTINGS_ID_CLOSE: DestroyWindow(g_app.wnd); break;
    case SETTINGS_ID_WELCOME_LINK: settings_show_page(SETTINGS_PAGE_LINK); break;
    case SETTINGS_ID_WELCOME_LATER:
        if (settings_mark_onboarded()) DestroyWindow(g_app.wnd);
        break;
    case SETTINGS_ID_ACCOUNT_SEND: settings_link_start(SETTINGS_LINK_START); break;
    case SETTINGS_ID_ACCOUNT_LINK: settings_link_start(SETTINGS_LINK_VERIFY); break;
    case SETTINGS_ID_ACCOUNT_UNLINK: settings_link_start(SETTINGS_LINK_UNLINK); break;
    default: break;
    }
}

LRESULT CALLBACK settings_proc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg != 0 && msg == g_app.msg_reload) {
        settings_reload();
        if (settings_page_button(g_app.page) == SETTINGS_PAGE_ACCOUNT) settings_show_account_state();
        return 0;
    }
    if (msg != 0 && msg == g_app.msg_show) {
        settings_show_page(settings_page_from_show(wp));
        settings_bring_forward();
        return 0;
    }
    if (msg != 0 && msg == g_app.msg_exit) {
        // The tray's exit went through us so the user sees the settings close with the agent.
        HWND agent = settings_find_agent();
        if (agent) PostMessageW(agent, WM_CLOSE, 0, 0);
        DestroyWindow(wnd);
        return 0;
    }
    switch (msg) {
    case WM_COMMAND: settings_command(LOWORD(wp), HIWORD(wp)); return 0;
    case WM_SETTINGS_LINK_DONE: settings_link_done((settings_link_job*)lp); return 0;
    case WM_CLOSE: DestroyWindow(wnd); return 0;
    case WM_DESTROY: PostQuitMessage(0); return 0;
    default: return DefWindowProcW(wnd, msg, wp, lp);
    }
}

}  // namespace

int settings_window_run(HINSTANCE instance, const wchar_t* args, int show) {
    g_app.page = settings_page_from_args(args);
    g_app.msg_reload = RegisterWindowMessageW(L"IvraReloadConfig");
    g_app.msg_show = RegisterWindowMessageW(L"IvraShowSettings");
    g_app.msg_exit = RegisterWindowMessageW(L"IvraExitRequest");
    // The agent and ivrac post these from other processes; let them through a raised integrity level too.
    ChangeWindowMessageFilter(g_app.msg_reload, MSGFLT_ADD);
    ChangeWindowMessageFilter(g_app.msg_show, MSGFLT_ADD);
    ChangeWindowMessageFilter(g_app.msg_exit, MSGFLT_ADD);
    // The folder picker needs a single-threaded apartment.
    HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);

    int rc = 1;
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = settings_proc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = (HBRUSH)(COLOR_BTNFACE + 1);
    wc.lpszClassName = L"IvraSettingsWnd";
    if (RegisterClassExW(&wc)) {
        g_app.font = (HFONT)GetStockObject(DEFAULT_GUI_FONT);
        RECT r = {0, 0, WINDOW_W, WINDOW_H};
        DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
        AdjustWindowRect(&r, style, FALSE);
        g_app.wnd =
            CreateWindowExW(0, L"IvraSettingsWnd", settings_page_title(g_app.page), style, CW_USEDEFAULT, CW_USEDEFAULT,
                            r.right - r.left, r.bottom - r.top, nullptr, nullptr, instance, nullptr);
    }
    if (g_app.wnd) {
        settings_create_fields();
        settings_create_pages();
        settings_load();
        settings_show_page(g_app.page);
        ShowWindow(g_app.wnd, show == SW_HIDE ? SW_SHOWNORMAL : show);
        UpdateWindow(g_app.wnd);
        MSG msg;
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
            if (IsDialogMessageW(g_app.wnd, &msg)) continue;
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        rc = 0;
    }
    if (SUCCEEDED(com)) CoUninitialize();
    return rc;
}
