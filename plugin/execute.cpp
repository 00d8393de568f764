// FsExecuteFile: "open" on a placeholder entry starts the engine's account or
// bucket creation; "open" on anything else is left to the host, which
// downloads the file and opens the copy; "properties" on the root or an
// account shows the engine's property dialogs. Every other verb does nothing.
#include <cstring>

#include "binding/storage_browser.h"
#include "common/call_guarded.h"
#include "common/wfx_api.h"
#include "path/remote_path.h"
#include "plugin/plugin_state.h"

namespace {

constexpr char kOpenVerb[] = "open";
constexpr char kPropertiesVerb[] = "properties";

// Exact, case-sensitive, whole-text equality; a null text equals nothing.
bool Equal(const char* text, const char* fixed) {
    return text != nullptr && std::strcmp(text, fixed) == 0;
}

// The account placeholder counts only as the account and the bucket
// placeholder only as the bucket; the key is never looked at.
bool IsPlaceholderEntry(const RemotePath& path) {
    return Equal(path.account, kAddAccountPlaceholder) ||
           Equal(path.bucket, kCreateBucketPlaceholder);
}

// For a placeholder entry: the engine gets the path with the placeholder's
// field emptied, the account one first. Its answer is not examined.
void StartCreation(IStorageBrowser& engine, RemotePath& path) {
    VARIANT_BOOL ok = VARIANT_FALSE;
    if (Equal(path.account, kAddAccountPlaceholder)) {
        path.account[0] = '\0';
        engine.CreateAccount(path, &ok);
    } else {
        path.bucket[0] = '\0';
        engine.CreateBucket(path, &ok);
    }
}

int Open(HWND mainWin, IStorageBrowser* engine, RemotePath& path) {
    if (!IsPlaceholderEntry(path)) return FS_EXEC_YOURSELF;
    if (engine == nullptr) return FS_EXEC_OK;
    // The engine names what it creates: whatever was known of a folder may
    // no longer be all of it.
    GetPluginState().knowledge.Forget();
    StartCreation(*engine, path);
    // Posted whatever the engine answered; the host handles it after we return.
    PostMessageA(mainWin, WM_COMMAND, MAKEWPARAM(kRereadCommand, 0), 0);
    return FS_EXEC_OK;
}

void ShowProperties(IStorageBrowser* engine, PathLevel level) {
    if (engine == nullptr) return;
    // The engine's dialogs may change the store (an account added there).
    GetPluginState().knowledge.Forget();
    switch (level) {
    case PathLevel::Root: engine->ShowRootProperties(); break;
    case PathLevel::Account: engine->ShowAccountProperties(); break;
    default: break;  // the engine offers properties of the root and accounts only
    }
}

int Execute(HWND mainWin, const char* hostPath, const char* verb) {
    PluginState& state = GetPluginState();
    OwnedRemotePath path;
    const ParsedHostPath parsed = ParseHostPath(hostPath, path);
    if (!parsed.fits) return FS_EXEC_ERROR;
    if (Equal(verb, kOpenVerb)) return Open(mainWin, state.engine, path.Record());
    if (Equal(verb, kPropertiesVerb)) ShowProperties(state.engine, parsed.level);
    return FS_EXEC_OK;
}

}  // namespace

int __stdcall FsExecuteFile(HWND MainWin, char* RemoteName, char* Verb) {
    return CallGuarded<int>(FS_EXEC_ERROR, [&] { return Execute(MainWin, RemoteName, Verb); });
}
