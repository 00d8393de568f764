#pragma once
// Puts the plugin's process-wide state back as the module loads it, with no
// listing open and nothing known of any folder: each test starts afresh.

#include <windows.h>

#include "plugin/plugin_state.h"

inline void ResetPluginState() {
    PluginState& state = GetPluginState();
    state.pluginNumber = 0;
    state.progressProc = nullptr;
    state.logProc = nullptr;
    state.requestProc = nullptr;
    state.engine = nullptr;
    state.progress = nullptr;
    state.listings.CloseAll();
    state.knowledge.Forget();
    state.clock = &GetTickCount64;
    state.relayPeriodMs = kRelayPeriodMs;
}
