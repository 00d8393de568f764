#include "plugin/plugin_state.h"

PluginState& GetPluginState() {
    static PluginState state;
    return state;
}

ParsedHostPath ParseHostPath(const char* hostPath, OwnedRemotePath& path) {
    ParsedHostPath parsed;
    parsed.fits = SplitRemotePath(hostPath, &parsed.level, path.Record());
    return parsed;
}
