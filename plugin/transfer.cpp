// File transfers: FsGetFile downloads one object to a local file, FsPutFile
// uploads one local file as an object. The engine moves the data; the plugin
// starts the transfer and then relays the engine's progress, polled from the
// transfer's own record (binding/event_handler.h says which events land
// there), to the host's progress callback until the engine reports 100
// percent or the host asks to abort. The host may call any export from inside
// that callback, another transfer included: each transfer has its own record.
//
// The local name is converted once, with the thread's code page, and that one
// wide name goes to the engine and to every file function the plugin calls
// itself: the host's 8-bit name read in the process code page could name
// another file.
#include <windows.h>

#include <cstdint>

#include "binding/bstr.h"
#include "binding/event_handler.h"
#include "binding/storage_browser.h"
#include "common/call_guarded.h"
#include "common/wfx_api.h"
#include "path/remote_path.h"
#include "plugin/namespace.h"
#include "plugin/plugin_state.h"
#include "plugin/target_check.h"

namespace {

enum class Direction { Download, Upload };
enum class RelayOutcome { Done, Aborted };

bool HasFlag(int copyFlags, int flag) { return (copyFlags & flag) != 0; }

// Anything at all at the name, a directory included, counts: a download must
// not replace what the user has not agreed to lose. A name that did not
// convert names nothing.
bool LocalNameTaken(const UniqueBstr& localName) {
    return localName.Get() != nullptr &&
           GetFileAttributesW(localName.Get()) != INVALID_FILE_ATTRIBUTES;
}

// A failed deletion leaves a copy: still a success, so the outcome is not
// examined.
void DeleteLocalFile(const UniqueBstr& localName) {
    if (localName.Get() != nullptr) DeleteFileW(localName.Get());
}

// A transfer needs an engine, the handler of its progress events and a
// callback through which the host can abort; without the callback a transfer
// that never finishes could not be stopped.
bool CanTransfer(const PluginState& state) {
    return state.engine != nullptr && state.progress != nullptr && state.progressProc != nullptr;
}

// One report to the host. Nonzero asks to abort. The texts stay the caller's
// and must stay valid until this returns.
bool HostAsksAbort(const char* source, const char* target, int percent) {
    const PluginState& state = GetPluginState();
    return state.progressProc(state.pluginNumber, const_cast<char*>(source),
                              const_cast<char*>(target), percent) != 0;
}

// Reports one pass's snapshot, names ordered as the direction has them: the
// snapshot owns the texts, so they stay unchanged while the host looks at
// them, whatever events arrive meanwhile.
bool ReportSnapshot(Direction direction, const ProgressSnapshot& pass, int percent) {
    return direction == Direction::Download
               ? HostAsksAbort(pass.RemoteNameOrNull(), pass.LocalNameOrNull(), percent)
               : HostAsksAbort(pass.LocalNameOrNull(), pass.RemoteNameOrNull(), percent);
}

// Polls the transfer's record until its engine reaches 100 percent (a
// negative value is unfinished) or the host aborts: one report per pass, at
// most one pass per period, except that the wait ends as soon as the record
// reaches 100, so a small file is not held for a whole period after it is
// done. No time limit: an engine that never gets there is stopped by the
// user. The final report's answer is ignored, as the transfer is complete by
// then.
RelayOutcome RelayProgress(Direction direction, CEventHandler::Transfer& record) {
    const DWORD period = GetPluginState().relayPeriodMs;
    for (;;) {
        const ProgressSnapshot pass = record.Snapshot();
        if (ReportSnapshot(direction, pass, pass.percent)) {
            record.Abandon();
            return RelayOutcome::Aborted;
        }
        if (record.GetPercent() >= 100) {
            ReportSnapshot(direction, pass, 100);
            return RelayOutcome::Done;
        }
        record.WaitForFinish(period);
    }
}

// A transfer whose local file another running transfer has (the host
// started this one from inside that one's progress callback, or on another
// thread): their engine's events could not be told apart, so this one does
// not start. The host shows its error for `result`; the last error says why.
int RefusedInUse(int result) {
    SetLastError(ERROR_SHARING_VIOLATION);
    return result;
}

// The engine borrows the local name for the call only; a name that did not
// convert goes as a null BSTR.
HRESULT StartDownload(IStorageBrowser& engine, const RemotePath& path, const UniqueBstr& localName) {
    LONG unused = 0;
    return engine.DownloadObject(path, localName.Get(), &unused);
}

HRESULT StartUpload(IStorageBrowser& engine, const UniqueBstr& localName, const RemotePath& path) {
    LONG unused = 0;
    return engine.UploadObject(localName.Get(), path, &unused);
}

// The host's 64-bit size from its two unsigned halves; a missing record
// leaves the size unknown (0).
std::int64_t RemoteSize(const RemoteInfoStruct* info) {
    if (info == nullptr) return 0;
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(info->SizeHigh) << 32) |
                                     info->SizeLow);
}

// The checks that need no engine answer first, as they do with one; only
// then does a missing engine (or record, or callback) refuse, before any
// report.
int GetFile(char* remoteName, const char* localName, int copyFlags,
            const RemoteInfoStruct* remoteInfo) {
    PluginState& state = GetPluginState();
    const bool move = HasFlag(copyFlags, FS_COPYFLAGS_MOVE);
    if (HasFlag(copyFlags, FS_COPYFLAGS_RESUME)) return FS_FILE_NOTSUPPORTED;
    if (localName == nullptr) return FS_FILE_READERROR;
    OwnedRemotePath path;
    const ParsedHostPath parsed = ParseHostPath(remoteName, path);
    if (!parsed.fits) return FS_FILE_READERROR;
    // A placeholder is no object: there is nothing to download, and nothing
    // for the host to ask an overwrite question about.
    if (IsPlaceholderPath(path.Record())) return FS_FILE_NOTSUPPORTED;
    const UniqueBstr local = ToBstr(localName);
    // Without the overwrite flag the host expects FS_FILE_EXISTS, asks the
    // user and calls again with the flag.
    if (!HasFlag(copyFlags, FS_COPYFLAGS_OVERWRITE) && LocalNameTaken(local)) {
        return FS_FILE_EXISTS;
    }
    if (!CanTransfer(state)) return FS_FILE_READERROR;
    CEventHandler::Transfer progress(*state.progress, local.Get());
    if (!progress.Accepted()) return RefusedInUse(FS_FILE_WRITEERROR);
    if (HostAsksAbort(remoteName, localName, 0)) return FS_FILE_USERABORT;
    path.Record().size = RemoteSize(remoteInfo);
    if (FAILED(StartDownload(*state.engine, path.Record(), local))) return FS_FILE_READERROR;
    if (RelayProgress(Direction::Download, progress) == RelayOutcome::Aborted) {
        return FS_FILE_USERABORT;
    }
    if (move) DeleteFileAt(remoteName);  // a failed deletion leaves a copy: still a success
    return FS_FILE_OK;
}

int PutFile(const char* localName, const char* remoteName, int copyFlags) {
    PluginState& state = GetPluginState();
    const bool move = HasFlag(copyFlags, FS_COPYFLAGS_MOVE);
    const bool overwrite = HasFlag(copyFlags, FS_COPYFLAGS_OVERWRITE);
    if (HasFlag(copyFlags, FS_COPYFLAGS_RESUME)) return FS_FILE_NOTSUPPORTED;
    // The host has seen an object of that name; replacing it needs the user's
    // consent, which the host asks for when told FS_FILE_EXISTS.
    if (HasFlag(copyFlags, FS_COPYFLAGS_EXISTS_SAMECASE | FS_COPYFLAGS_EXISTS_DIFFERENTCASE) &&
        !overwrite) {
        return FS_FILE_EXISTS;
    }
    if (!CanTransfer(state) || localName == nullptr) return FS_FILE_READERROR;
    OwnedRemotePath path;
    const ParsedHostPath parsed = ParseHostPath(remoteName, path);
    if (!parsed.fits || parsed.level != PathLevel::Object) return FS_FILE_READERROR;
    // Hosts that give no hint have not looked: the plugin does, before the
    // first report, so that an existing object is never replaced unasked.
    if (!overwrite) {
        switch (LookUpTarget(state, remoteName)) {
        case TargetState::Taken: return FS_FILE_EXISTS;
        case TargetState::Unknown: return FS_FILE_READERROR;
        case TargetState::Free: break;
        }
    }
    const UniqueBstr local = ToBstr(localName);
    CEventHandler::Transfer progress(*state.progress, local.Get());
    if (!progress.Accepted()) return RefusedInUse(FS_FILE_READERROR);
    if (HostAsksAbort(localName, remoteName, 0)) return FS_FILE_USERABORT;
    PlannedChange upload(state.knowledge, remoteName, PlannedChange::Effect::Adds);
    if (FAILED(StartUpload(*state.engine, local, path.Record()))) return FS_FILE_READERROR;
    if (RelayProgress(Direction::Upload, progress) == RelayOutcome::Aborted) {
        return FS_FILE_USERABORT;
    }
    upload.Succeeded();
    if (move) DeleteLocalFile(local);
    return FS_FILE_OK;
}

}  // namespace

int __stdcall FsGetFile(char* RemoteName, char* LocalName, int CopyFlags,
                        RemoteInfoStruct* RemoteInfo) {
    return CallGuarded<int>(FS_FILE_READERROR,
                            [&] { return GetFile(RemoteName, LocalName, CopyFlags, RemoteInfo); });
}

int __stdcall FsPutFile(char* LocalName, char* RemoteName, int CopyFlags) {
    return CallGuarded<int>(FS_FILE_READERROR,
                            [&] { return PutFile(LocalName, RemoteName, CopyFlags); });
}
