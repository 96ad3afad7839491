// Test helper: plays the notification area's part towards the agent window, sending
// the icon's version-4 callbacks (WM_APP + 1, icon id 1) as the shell would.
//   trayctl click [--shift]    a single click: button down, button up, select
//   trayctl double             a double click: the single click, then double-click, up, select
//   trayctl event CODE         one callback event (NIN_BALLOONUSERCLICK is 0x405)
// With --shift the Shift key is held while the agent handles the events.
// Exit 0 when the agent window took every event, 1 when it is missing or did not answer, 2 on usage.
#include "common/win.h"
#include <shellapi.h>
#include <cstdio>
#include <cwchar>

static bool trayctl_send(HWND w, unsigned event) {
    DWORD_PTR result = 0;
    // Sent rather than posted so the Shift key is still down while the agent looks at it.
    return SendMessageTimeoutW(w, WM_APP + 1, MAKEWPARAM(40, 40), MAKELPARAM(event, 1), SMTO_ABORTIFHUNG, 5000,
                               &result) != 0;
}

static void trayctl_shift(bool down) {
    INPUT in{};
    in.type = INPUT_KEYBOARD;
    in.ki.wVk = VK_SHIFT;
    in.ki.dwFlags = down ? 0 : KEYEVENTF_KEYUP;
    SendInput(1, &in, sizeof in);
}

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: trayctl click [--shift] | double | event CODE\n");
        return 2;
    }
    unsigned seq[8];
    int n = 0;
    bool shift = false;
    const wchar_t* op = argv[1];
    if (!wcscmp(op, L"click")) {
        shift = argc > 2 && !wcscmp(argv[2], L"--shift");
        unsigned s[] = {WM_LBUTTONDOWN, WM_LBUTTONUP, NIN_SELECT};
        for (unsigned e : s) seq[n++] = e;
    } else if (!wcscmp(op, L"double")) {
        unsigned s[] = {WM_LBUTTONDOWN, WM_LBUTTONUP, NIN_SELECT, WM_LBUTTONDBLCLK, WM_LBUTTONUP, NIN_SELECT};
        for (unsigned e : s) seq[n++] = e;
    } else if (!wcscmp(op, L"event") && argc > 2) {
        seq[n++] = (unsigned)wcstoul(argv[2], nullptr, 0);
    } else {
        fprintf(stderr, "usage: trayctl click [--shift] | double | event CODE\n");
        return 2;
    }
    HWND w = FindWindowW(L"IvraAgentWnd", nullptr);
    if (!w) {
        fprintf(stderr, "no agent window\n");
        return 1;
    }
    if (shift) trayctl_shift(true);
    bool ok = true;
    for (int i = 0; i < n && ok; i++) ok = trayctl_send(w, seq[i]);
    if (shift) trayctl_shift(false);
    if (!ok) fprintf(stderr, "the agent window did not answer\n");
    return ok ? 0 : 1;
}
