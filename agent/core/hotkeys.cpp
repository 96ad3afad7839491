#include "agent/core/hotkeys.h"
#include "agent/core/agent.h"
#include "common/log.h"

bool hotkeys_use_prtsc(const config* cfg) {
    for (int i = 0; i < HOTKEY_COUNT; i++)
        if (cfg->hotkeys[i].vk == VK_SNAPSHOT) return true;
    return false;
}

bool hotkeys_snipping_needs_write(bool read_ok, DWORD value) { return !(read_ok && value == 0); }

// Windows opens its own snipping tool on PrtSc, which would swallow our hotkey.
// The value is never set back: the user chose PrtSc for Ivra.
static void hotkeys_disable_snipping(void) {
    static const wchar_t key[] = L"Control Panel\\Keyboard";
    static const wchar_t value[] = L"PrintScreenKeyForSnippingEnabled";
    DWORD current = 0, size = sizeof current;
    LSTATUS rs = RegGetValueW(HKEY_CURRENT_USER, key, value, RRF_RT_REG_DWORD, nullptr, &current, &size);
    if (!hotkeys_snipping_needs_write(rs == ERROR_SUCCESS, current)) return;
    HKEY h = nullptr;
    LSTATUS ws = RegCreateKeyExW(HKEY_CURRENT_USER, key, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &h, nullptr);
    if (ws == ERROR_SUCCESS) {
        DWORD zero = 0;
        ws = RegSetValueExW(h, value, 0, REG_DWORD, (const BYTE*)&zero, sizeof zero);
        RegCloseKey(h);
    }
    if (ws != ERROR_SUCCESS) {
        log_warn("could not disable PrtSc snipping (err=%ld)", (long)ws);
        return;
    }
    log_info("disabled Windows PrtSc snipping");
    SendMessageTimeoutW(HWND_BROADCAST, WM_SETTINGCHANGE, 0, (LPARAM)key, SMTO_ABORTIFHUNG, 1000, nullptr);
}

int hotkeys_register(HWND wnd, const config* cfg) {
    if (hotkeys_use_prtsc(cfg)) hotkeys_disable_snipping();
    int failed = 0;
    AcquireSRWLockExclusive(&g_agent.hotkey_lock);
    for (int i = 0; i < HOTKEY_COUNT; i++) {
        const hotkey_pair hk = cfg->hotkeys[i];
        if (hk.vk == 0) {
            g_agent.hotkey_registered[i] = 1;
            g_agent.hotkey_error[i] = 0;
            continue;
        }
        if (RegisterHotKey(wnd, hotkey_actions[i].id, hk.mods, hk.vk)) {
            g_agent.hotkey_registered[i] = 1;
            g_agent.hotkey_error[i] = 0;
        } else {
            DWORD err = GetLastError();
            g_agent.hotkey_registered[i] = 0;
            g_agent.hotkey_error[i] = err;
            failed++;
            log_warn("RegisterHotKey %s failed (mods=%u vk=%u err=%lu)", hotkey_actions[i].name, hk.mods, hk.vk, err);
        }
    }
    ReleaseSRWLockExclusive(&g_agent.hotkey_lock);
    return failed;
}

void hotkeys_unregister(HWND wnd) {
    for (int id = 1; id <= HOTKEY_COUNT; id++) UnregisterHotKey(wnd, id);
}

void hotkeys_results(int registered[HOTKEY_COUNT], DWORD error[HOTKEY_COUNT]) {
    AcquireSRWLockShared(&g_agent.hotkey_lock);
    for (int i = 0; i < HOTKEY_COUNT; i++) {
        registered[i] = g_agent.hotkey_registered[i];
        error[i] = g_agent.hotkey_error[i];
    }
    ReleaseSRWLockShared(&g_agent.hotkey_lock);
}
