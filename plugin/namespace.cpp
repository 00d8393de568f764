// Changes to the store's namespace: FsDeleteFile deletes an object (a folder
// is the object whose key ends in "/"); placeholder entries are never sent to
// the engine.
#include "engine/call_guarded.h"
#include "engine/storage_browser.h"
#include "path/remote_path.h"
#include "plugin/plugin_state.h"
#include "plugin/wfx_api.h"

namespace {

BOOL DeleteFileAt(const char* hostPath) {
    PluginState& state = GetPluginState();
    OwnedRemotePath path;
    if (!ParseHostPath(hostPath, path)) return FALSE;
    // A placeholder entry exists only in the listing: "deleting" it succeeds.
    if (IsPlaceholderPath(path.Record())) return TRUE;
    if (state.engine == nullptr) return FALSE;
    VARIANT_BOOL ok = VARIANT_FALSE;
    const HRESULT hr = state.engine->DeleteObject(path.Record(), &ok);
    return EngineAgreed(hr, ok) ? TRUE : FALSE;
}

}  // namespace

BOOL __stdcall FsDeleteFile(char* RemoteName) {
    return CallGuarded<BOOL>(FALSE, [&] { return DeleteFileAt(RemoteName); });
}
