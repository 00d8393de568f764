#include "plugin/plugin_state.h"

PluginState& GetPluginState() {
    static PluginState state;
    return state;
}
