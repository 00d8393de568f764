#include "plugin/plugin_state.h"

PluginState& GetPluginState() {
    static PluginState state;
    return state;
}

ParsedHostPath ParseHostPath(const char* hostPath, OwnedRemotePath& path) {
    ParsedHostPath parsed;
    PathLevel level = PathLevel::Root;
    parsed.fits = SplitRemotePath(hostPath, &level, path.Record());
    if (hostPath != nullptr) parsed.level = level;  // the parser leaves a null path's level unset
    return parsed;
}
