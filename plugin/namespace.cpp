// Changes to the store's namespace. What a directory is depends on the depth
// of its path: an account at the root, a bucket inside an account, a folder
// (the object whose key ends in "/") inside a bucket. Placeholder entries
// exist only in the listing: FsDeleteFile and FsRenMovFile keep them away
// from the engine.
#include "plugin/namespace.h"

#include <optional>
#include <string>

#include "binding/bstr.h"
#include "binding/storage_browser.h"
#include "common/call_guarded.h"
#include "common/wfx_api.h"
#include "path/remote_path.h"
#include "plugin/plugin_state.h"
#include "plugin/target_check.h"

namespace {

constexpr int kCopyStarted = 0;
constexpr int kCopyFinished = 100;

BOOL ToBool(bool value) { return value ? TRUE : FALSE; }

// Runs one change operation with ok preset to "no", so an engine that never
// writes ok has not agreed.
template <typename Operation>
bool EngineChanged(Operation&& operation) {
    VARIANT_BOOL ok = VARIANT_FALSE;
    const HRESULT hr = operation(&ok);
    return EngineAgreed(hr, ok);
}

// The engine takes account names as BSTRs; each is freed when the call returns.
bool DeleteAccountNamed(IStorageBrowser& engine, const char* account) {
    const UniqueBstr name = ToBstr(account);
    return EngineChanged([&](VARIANT_BOOL* ok) { return engine.DeleteAccount(name.Get(), ok); });
}

bool RenameAccountNamed(IStorageBrowser& engine, const char* oldAccount, const char* newAccount) {
    const UniqueBstr oldName = ToBstr(oldAccount);
    const UniqueBstr newName = ToBstr(newAccount);
    return EngineChanged([&](VARIANT_BOOL* ok) {
        return engine.RenameAccount(oldName.Get(), newName.Get(), ok);
    });
}

bool CreateAtLevel(IStorageBrowser& engine, PathLevel level, const RemotePath& path) {
    return EngineChanged([&](VARIANT_BOOL* ok) {
        switch (level) {
        case PathLevel::Account: return engine.CreateAccount(path, ok);
        case PathLevel::Bucket: return engine.CreateBucket(path, ok);
        default: return engine.CreateFolder(path, ok);  // the root too: the engine decides
        }
    });
}

BOOL MakeDirectory(const char* hostPath) {
    PluginState& state = GetPluginState();
    OwnedRemotePath path;
    const ParsedHostPath parsed = ParseHostPath(hostPath, path);
    if (!parsed.fits || state.engine == nullptr) return FALSE;
    PlannedChange creation(state.knowledge, hostPath, PlannedChange::Effect::Adds);
    if (!CreateAtLevel(*state.engine, parsed.level, path.Record())) return FALSE;
    creation.Succeeded();
    return TRUE;
}

}  // namespace

BOOL DeleteFileAt(const char* hostPath) {
    PluginState& state = GetPluginState();
    OwnedRemotePath path;
    const ParsedHostPath parsed = ParseHostPath(hostPath, path);
    if (!parsed.fits) return FALSE;
    // A placeholder entry exists only in the listing: "deleting" it succeeds.
    if (IsPlaceholderPath(path.Record())) return TRUE;
    if (state.engine == nullptr) return FALSE;
    PlannedChange deletion(state.knowledge, hostPath, PlannedChange::Effect::Removes);
    if (!EngineChanged(
            [&](VARIANT_BOOL* ok) { return state.engine->DeleteObject(path.Record(), ok); })) {
        return FALSE;
    }
    deletion.Succeeded();
    return TRUE;
}

namespace {

// A folder is removed by deleting the object named by the host's path as
// received with "/" added, through the whole FsDeleteFile road: it is parsed
// again, so a key that then no longer fits is refused rather than cut.
BOOL RemoveFolder(const char* hostPath) {
    const std::string folderObject = std::string(hostPath) + '/';
    return DeleteFileAt(folderObject.c_str());
}

BOOL RemoveAtLevel(IStorageBrowser* engine, PathLevel level, const char* hostPath,
                   const RemotePath& path) {
    if (level == PathLevel::Object) return RemoveFolder(hostPath);
    if (engine == nullptr) return FALSE;
    if (level == PathLevel::Account) return ToBool(DeleteAccountNamed(*engine, path.account));
    return ToBool(
        EngineChanged([&](VARIANT_BOOL* ok) { return engine->DeleteBucket(path, ok); }));
}

BOOL RemoveDirectoryAt(const char* hostPath) {
    PluginState& state = GetPluginState();
    OwnedRemotePath path;
    const ParsedHostPath parsed = ParseHostPath(hostPath, path);
    if (!parsed.fits) return FALSE;
    if (parsed.level == PathLevel::Root) return FALSE;  // the account list itself
    PlannedChange removal(state.knowledge, hostPath, PlannedChange::Effect::Removes);
    if (!RemoveAtLevel(state.engine, parsed.level, hostPath, path.Record())) return FALSE;
    removal.Succeeded();
    return TRUE;
}

// The host hears of a bucket copy only at its start and end: the engine does
// it in one call, so the host's answer (a request to abort) cannot stop it.
void ReportBucketCopy(const PluginState& state, const RemotePath& from, const RemotePath& to,
                      int percent) {
    if (state.progressProc == nullptr) return;
    state.progressProc(state.pluginNumber, from.bucket, to.bucket, percent);
}

bool CopyBucketReporting(const PluginState& state, const RemotePath& from, const RemotePath& to,
                         BOOL move) {
    ReportBucketCopy(state, from, to, kCopyStarted);
    VARIANT_BOOL ok = VARIANT_FALSE;
    const HRESULT hr = state.engine->CopyBucket(from, to, move, &ok);
    if (FAILED(hr)) return false;  // no end report for a copy that failed
    ReportBucketCopy(state, from, to, kCopyFinished);
    return EngineAgreed(hr, ok);
}

// Without a remote-file record the source counts as a file.
bool IsFolder(const RemoteInfoStruct* remoteInfo) {
    return remoteInfo != nullptr && (remoteInfo->Attr & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool CopyKey(IStorageBrowser& engine, const RemotePath& from, const RemotePath& to, BOOL move,
             const RemoteInfoStruct* remoteInfo) {
    const bool folder = IsFolder(remoteInfo);
    return EngineChanged([&](VARIANT_BOOL* ok) {
        return folder ? engine.CopyFolder(from, to, move, ok) : engine.CopyObject(from, to, move, ok);
    });
}

bool TransferAtLevel(const PluginState& state, PathLevel level, const RemotePath& from,
                     const RemotePath& to, BOOL move, const RemoteInfoStruct* remoteInfo) {
    switch (level) {
    case PathLevel::Account: return RenameAccountNamed(*state.engine, from.account, to.account);
    case PathLevel::Bucket: return CopyBucketReporting(state, from, to, move);
    default: return CopyKey(*state.engine, from, to, move, remoteInfo);
    }
}

// The engine's store copy, with the plugin following what it changed.
bool TransferFollowed(PluginState& state, PathLevel level, const char* oldName,
                      const char* newName, const RemotePath& from, const RemotePath& to, BOOL move,
                      const RemoteInfoStruct* remoteInfo) {
    PlannedChange added(state.knowledge, newName, PlannedChange::Effect::Adds);
    std::optional<PlannedChange> removed;
    if (move != FALSE) removed.emplace(state.knowledge, oldName, PlannedChange::Effect::Removes);
    if (!TransferAtLevel(state, level, from, to, move, remoteInfo)) return false;
    added.Succeeded();
    if (removed) removed->Succeeded();
    return true;
}

int RenameOrCopy(const char* oldName, const char* newName, BOOL move, BOOL overWrite,
                 const RemoteInfoStruct* remoteInfo) {
    // Both levels stay local until the paths pass every check below.
    PathLevel fromLevel = PathLevel::Root;
    PathLevel toLevel = PathLevel::Root;
    OwnedRemotePath from;
    OwnedRemotePath to;
    if (!SplitRemotePath(oldName, &fromLevel, from.Record()) ||
        !SplitRemotePath(newName, &toLevel, to.Record())) {
        return FS_FILE_READERROR;
    }
    if (SameRemotePath(from.Record(), to.Record())) return FS_FILE_OK;
    // A placeholder is no entry: refused, and no overwrite question asked.
    if (IsPlaceholderPath(from.Record()) || IsPlaceholderPath(to.Record())) {
        return FS_FILE_NOTSUPPORTED;
    }
    if (fromLevel != toLevel) return FS_FILE_READERROR;

    PluginState& state = GetPluginState();
    // The engine can only rename an account: a copy done that way would take
    // the source away under its old name.
    if (fromLevel == PathLevel::Account && move == FALSE) return FS_FILE_NOTSUPPORTED;
    if (state.engine == nullptr) return FS_FILE_READERROR;
    // Asked first without OverWrite, the host asks the user when told the
    // target exists, and calls again with it.
    if (overWrite == FALSE) {
        switch (LookUpTarget(state, newName, oldName)) {
        case TargetState::Taken: return FS_FILE_EXISTS;
        case TargetState::Unknown: return FS_FILE_READERROR;
        case TargetState::Free: break;
        }
    }
    return TransferFollowed(state, fromLevel, oldName, newName, from.Record(), to.Record(), move,
                            remoteInfo)
               ? FS_FILE_OK
               : FS_FILE_READERROR;
}

}  // namespace

BOOL __stdcall FsMkDir(char* Path) {
    return CallGuarded<BOOL>(FALSE, [&] { return MakeDirectory(Path); });
}

BOOL __stdcall FsRemoveDir(char* RemoteName) {
    return CallGuarded<BOOL>(FALSE, [&] { return RemoveDirectoryAt(RemoteName); });
}

BOOL __stdcall FsDeleteFile(char* RemoteName) {
    return CallGuarded<BOOL>(FALSE, [&] { return DeleteFileAt(RemoteName); });
}

int __stdcall FsRenMovFile(char* OldName, char* NewName, BOOL Move, BOOL OverWrite,
                           RemoteInfoStruct* RemoteInfo) {
    return CallGuarded<int>(FS_FILE_READERROR, [&] {
        return RenameOrCopy(OldName, NewName, Move, OverWrite, RemoteInfo);
    });
}
