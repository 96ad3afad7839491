#pragma once
// Private window and thread messages of the agent, all numbered from WM_APP.
// A posted record belongs to the receiver; the sender frees it when the post fails.
#include "common/win.h"

// To the agent window.
constexpr UINT WM_AGENT_TRAY = WM_APP + 1;          // tray icon callback
constexpr UINT WM_AGENT_ACTION = WM_APP + 10;       // wParam action id 1-9, lParam (route << 16) | digit
constexpr UINT WM_AGENT_SHOT_FAILED = WM_APP + 13;  // screenshot not saved
constexpr UINT WM_AGENT_SAVED = WM_APP + 14;        // capture saved or clip not saved (saved-capture record)
constexpr UINT WM_AGENT_REVEAL_GONE = WM_APP + 15;  // the file to reveal is gone
constexpr UINT WM_AGENT_DEBUG_SLEEP = WM_APP + 16;  // debug: sleep on the main thread for wParam ms
constexpr UINT WM_AGENT_UPLOAD_DONE = WM_APP + 17;
constexpr UINT WM_AGENT_UPLOAD_FAILED = WM_APP + 18;
constexpr UINT WM_AGENT_UNLINKED = WM_APP + 19;
constexpr UINT WM_AGENT_UPDATE_READY = WM_APP + 20;

// To the capture thread.
constexpr UINT WM_CAPTURE_ACTION = WM_APP + 2;        // hotkey or launch action with its chord digit
constexpr UINT WM_CAPTURE_SHOT = WM_APP + 3;          // shot_job from the control pipe
constexpr UINT WM_CAPTURE_REGION = WM_APP + 4;        // region_result from the overlay
constexpr UINT WM_CAPTURE_CLIP = WM_APP + 5;          // clip_request
constexpr UINT WM_CAPTURE_CONFIG = WM_APP + 6;        // configuration reloaded
constexpr UINT WM_CAPTURE_DISPLAY_TEST = WM_APP + 7;  // debug: treat the displays as changed
constexpr UINT WM_CAPTURE_DEBUG_STALL = WM_APP + 8;   // debug: stall the capture thread for wParam ms

// To the input broker.
constexpr UINT WM_BROKER_HOOK_KEY = WM_APP + 20;
constexpr UINT WM_BROKER_HOTKEY = WM_APP + 21;
constexpr UINT WM_BROKER_RECONFIGURE = WM_APP + 22;
constexpr UINT WM_BROKER_ATTACH = WM_APP + 23;
constexpr UINT WM_BROKER_DETACH = WM_APP + 24;
constexpr UINT WM_BROKER_MOUSE_MODE = WM_APP + 25;
constexpr UINT WM_BROKER_FOCUS_FLAGS = WM_APP + 26;

// To a selection client.
constexpr UINT WM_SELECTION_RAW_MOUSE = WM_APP + 11;
constexpr UINT WM_SELECTION_KEY = WM_APP + 12;

// To the region overlay's window, from itself.
constexpr UINT WM_OVERLAY_UPDATE = WM_APP + 61;  // re-render and push the pending dirty area

// Lane of WM_AGENT_ACTION's lParam used by launches, the tray menu and the jump list.
constexpr LPARAM AGENT_ACTION_NO_ROUTE = (LPARAM)0xFFFF0000;
