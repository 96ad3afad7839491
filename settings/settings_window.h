#pragma once
// The settings window IvraSettingsWnd: one page per group of settings, a field
// for every configuration key, the welcome and account pages, and the messages
// the agent and ivrac send it.
#include "common/win.h"

// Control ids the window keeps stable, so people's tools and tests can find them.
enum {
    SETTINGS_ID_SAVE = 10,
    SETTINGS_ID_CLOSE = 11,
    SETTINGS_ID_STATUS = 12,
    SETTINGS_ID_PAGE_FIRST = 110,  // + settings_page, one button per page
    SETTINGS_ID_WELCOME_TEXT = 300,
    SETTINGS_ID_WELCOME_LINK = 301,   // "Link account"
    SETTINGS_ID_WELCOME_LATER = 302,  // "Not now"
    SETTINGS_ID_ACCOUNT_STATE = 400,
    SETTINGS_ID_ACCOUNT_NAME = 401,
    SETTINGS_ID_ACCOUNT_SEND = 402,
    SETTINGS_ID_ACCOUNT_CODE = 403,
    SETTINGS_ID_ACCOUNT_LINK = 404,
    SETTINGS_ID_ACCOUNT_UNLINK = 405,
    SETTINGS_ID_ACCOUNT_NAME_LABEL = 406,
    SETTINGS_ID_ACCOUNT_CODE_LABEL = 407,
    SETTINGS_ID_ABOUT_TEXT = 500,
    SETTINGS_ID_FIELD_FIRST = 1000,  // + the key's index in the configuration schema
    SETTINGS_ID_LABEL_FIRST = 1100,
    SETTINGS_ID_BROWSE_FIRST = 1200,
};

// Creates the window on the page the command line asks for and runs its message loop.
// Returns the process exit code.
int settings_window_run(HINSTANCE instance, const wchar_t* args, int show);
