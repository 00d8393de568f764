#include "plugin/plugin_state.h"

PluginState& GetPluginState() {
    static PluginState state;
    return state;
}

bool ParseHostPath(const char* hostPath, OwnedRemotePath& path) {
    return SplitRemotePath(hostPath, &GetPluginState().listingLevel, path.Record());
}
