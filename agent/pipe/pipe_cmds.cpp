#include "agent/pipe/pipe_cmds.h"
#include "agent/core/agent.h"
#include "agent/pipe/pipe_server.h"

void pipe_cmd_reload(HANDLE pipe, const char*) {
    // Sent, not posted, so the reply tells the caller the new settings are live.
    DWORD_PTR result = 0;
    HWND wnd = g_agent.wnd;
    UINT msg = g_agent.msg_reload;
    if (wnd && msg && SendMessageTimeoutW(wnd, msg, 0, 0, SMTO_ABORTIFHUNG, 5000, &result))
        pipe_reply_write(pipe, "ok\n");
    else
        pipe_reply_err(pipe, "busy", "agent main thread did not respond");
}
