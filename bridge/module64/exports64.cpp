// corvanel.wfx64's exports: each carries its call, with the host thread's
// locale and last error, to corvanel.wfx in the helper process and hands
// back what the plugin returned and wrote there. When the helper cannot be
// reached the export answers with its failure value.
//
// The host can stop what the engine is doing, which the plugin itself cannot
// (the engine has no way to be told): a transfer that the host aborts once
// the engine has begun it, a listing, transfer or store copy whose helper has
// been silent for a second and whose host then answers the progress callback
// with abort, and any call whose helper stays silent until the user agrees to
// stop the engine (or, without a way to ask, for good), end the helper, and
// with it the engine; the next call starts a new one. A call given up so
// fails with its failure value; a download loses its partial local file.
// Where requests below the stopped one wait on the same helper (it was made
// from inside their callbacks), a cancel ends that request alone and its
// engine goes on, as in the host's own process.
#include <windows.h>

#include <cstring>
#include <memory>
#include <string>

#include "bridge/channel.h"
#include "bridge/module64/helper_link.h"
#include "common/call_guarded.h"
#include "common/handle_table.h"
#include "common/wfx_api.h"

namespace {

using bridge::HelperLink;
using bridge::Message;
using bridge::Text;
using bridge::Watch;
namespace msg = bridge::msg;

static_assert(sizeof(WIN32_FIND_DATAA) == bridge::kFindRecordBytes, "same layout in both editions");
static_assert(sizeof(RemoteInfoStruct) == bridge::kRemoteInfoBytes, "same layout in both editions");

// Entries the helper reads ahead per round trip once a listing is past its
// first entry: the plugin's own FsFindNext, in order, only earlier. A batch
// also ends at its bytes' bound.
constexpr int kReadAheadEntries = 8192;

// A call's texts into the request's fields, or false when one is longer
// than the protocol carries: the export then fails without reaching the
// helper.
bool Carried(std::initializer_list<std::pair<const char*, Text*>> texts) {
    for (const auto& [text, field] : texts) {
        if (!bridge::HostText(text, field)) return false;
    }
    return true;
}

Text RemoteInfoBytes(const RemoteInfoStruct* info) {
    if (info == nullptr) return std::nullopt;
    return std::string(reinterpret_cast<const char*>(info), sizeof(*info));
}

// The plugin's result of a Result reply, its last error put on the host's
// thread; `failure` when there is no reply.
int ResultOf(const std::optional<Message>& reply, int failure) {
    if (!reply) return failure;
    const auto result = bridge::As<msg::Result>(*reply);
    SetLastError(result.lastError);
    return result.result;
}

// The last error of a call that got no reply for a reason the host may want
// to know: made from inside the plugin's own wait for a silent helper (the
// engine is busy with the call it was made from), or given up (the user's
// or host's stop, or the bound of a host that could not be asked).
void SetAbandonedError(const Watch& watch) {
    if (watch.refused) SetLastError(ERROR_BUSY);
    if (watch.abandoned == bridge::Abandoned::No) return;
    SetLastError(watch.abandoned == bridge::Abandoned::AfterBound ? ERROR_TIMEOUT : ERROR_CANCELLED);
}

int Forward(Message request, int failure) {
    Watch watch;
    const std::optional<Message> reply = HelperLink::Instance().Call(request, &watch);
    SetAbandonedError(watch);
    return ResultOf(reply, failure);
}

// What became of a request the host can stop: FS_FILE_USERABORT when it or
// the user did, `failure` when a host that could not ask gave up, and
// otherwise the plugin's result.
int Outcome(const std::optional<Message>& reply, const Watch& watch, int failure) {
    SetAbandonedError(watch);
    if (watch.abandoned == bridge::Abandoned::AfterBound) return failure;
    if (watch.abandoned != bridge::Abandoned::No) return FS_FILE_USERABORT;
    return ResultOf(reply, failure);
}

// A transfer: a call the host can stop. One aborted at a report once its
// engine has it is aborted in the engine, the helper ended with it, unless
// the engine goes on with it for requests below (HelperLink::AnswerCallback).
// The local files are HelperLink's to claim and to delete.
int Transfer(const Message& request, Text source, Text target, bool download) {
    Watch watch(std::move(source), std::move(target));
    const std::optional<Message> reply = HelperLink::Instance().Call(request, &watch);
    if (watch.inUse) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return download ? FS_FILE_WRITEERROR : FS_FILE_READERROR;
    }
    // Once the engine's 100 percent has come the transfer is whole: all it
    // has left to do is a move's deletion of the source, whose failure it
    // does not report either.
    if (!reply && watch.whole) return FS_FILE_OK;
    return Outcome(reply, watch, FS_FILE_READERROR);
}

// One listing of the host's: the plugin's listing in the helper that it
// stands for, and the entries the helper read ahead of the host, kept until
// the host asks for them. Used by one caller at a time (HandleTable::Use).
struct HelperListing {
    std::int32_t handle = 0;       // the plugin's, in the helper
    std::uint32_t generation = 0;  // the helper it lives in
    Text path;                     // the listed path, shown while the helper is silent
    Message batch;
    bridge::FindBatchReader entries;
    // Given up part-way (the host's cancel or the user's stop): the helper
    // may have read entries the host never saw, so the listing ends here.
    bool ended = false;
};

// As many as the plugin keeps open: the oldest is closed here, and in the
// helper, before the plugin would have to.
using HelperListings = HandleTable<HelperListing, 256>;
HelperListings& Listings() {
    static HelperListings listings;
    return listings;
}

// Closes the plugin's listing in the helper it was opened in, if that one
// still runs; the plugin's answer is always 0.
void CloseInHelper(const HelperListing& listing, const bridge::CallContext& context) {
    HelperLink::Instance().CloseListing(context, listing.handle, listing.generation);
}

HANDLE FindFirst(const bridge::CallContext& context, const char* path, WIN32_FIND_DATAA* findData) {
    HelperLink& link = HelperLink::Instance();
    auto listing = std::make_unique<HelperListing>();
    auto request = bridge::RequestOf<msg::FindFirstRequest>(context);
    if (!Carried({{path, &request.path}})) return INVALID_HANDLE_VALUE;
    if (findData != nullptr) request.record = bridge::TrimRecord(findData, sizeof(*findData));
    listing->path = request.path;
    Watch watch(listing->path, std::nullopt);
    const std::optional<Message> reply = link.Call(bridge::Pack(request), &watch);
    SetAbandonedError(watch);
    if (!reply) return INVALID_HANDLE_VALUE;
    const auto found = bridge::As<msg::FindResult>(*reply);
    if (findData != nullptr && found.record && !bridge::UntrimRecord(*found.record, findData, sizeof(*findData))) {
        link.Fault(watch.helper);
        return INVALID_HANDLE_VALUE;
    }
    const DWORD lastError = found.lastError;
    listing->handle = found.handle;
    listing->generation = watch.helper;
    if (listing->handle == -1) {
        SetLastError(lastError);
        return INVALID_HANDLE_VALUE;
    }
    std::unique_ptr<HelperListing> abandoned;
    const HANDLE handle = Listings().Open(std::move(listing), abandoned);
    if (abandoned) CloseInHelper(*abandoned, context);
    SetLastError(lastError);
    return handle;
}

// The next batch of `listing`'s entries from its helper; false when there
// is none to be had.
bool NextBatch(const bridge::CallContext& context, HelperListing& listing) {
    HelperLink& link = HelperLink::Instance();
    Watch watch(listing.path, std::nullopt);
    auto request = bridge::RequestOf<msg::FindNextRequest>(context);
    request.handle = listing.handle;
    request.most = kReadAheadEntries;
    request.recordWanted = 1;
    std::optional<Message> reply = link.Call(bridge::Pack(request), &watch, listing.generation);
    SetAbandonedError(watch);
    listing.ended = watch.abandoned != bridge::Abandoned::No;
    if (!reply) return false;
    if (reply->batchEntries == 0) {
        link.Fault(watch.helper);
        return false;
    }
    listing.batch = std::move(*reply);
    listing.entries = bridge::FindBatchReader(listing.batch);
    return true;
}

BOOL NextOf(const bridge::CallContext& context, HelperListing& listing, WIN32_FIND_DATAA* findData) {
    HelperLink& link = HelperLink::Instance();
    // A listing of a helper that has ended went with it, what it read ahead
    // of the host too.
    if (listing.ended || listing.generation != link.Generation()) return FALSE;
    // The plugin refuses a null record before it reads anything, and
    // changes nothing: what was read ahead stays for the next call.
    if (findData == nullptr) return FALSE;
    if (listing.entries.AtEnd() && !NextBatch(context, listing)) return FALSE;
    std::int32_t result = FALSE;
    if (!listing.entries.Next(&result, findData, sizeof(*findData))) {
        listing.entries = bridge::FindBatchReader();
        link.Fault(listing.generation);
        return FALSE;
    }
    // A batch handed out whole holds nothing more: an open listing keeps at
    // most the one batch it is handing out.
    if (listing.entries.AtEnd()) {
        listing.entries = bridge::FindBatchReader();
        listing.batch = Message();
    }
    return result;
}

BOOL FindNext(const bridge::CallContext& context, HANDLE handle, WIN32_FIND_DATAA* findData) {
    BOOL result = FALSE;
    {
        const HelperListings::Use listing(Listings(), handle);
        if (listing) result = NextOf(context, *listing, findData);
    }
    // The host closed it on another thread while this call had it: the
    // close is finished now that the listing is put back.
    if (const std::unique_ptr<HelperListing> closed = Listings().TakeIfClosed(handle)) {
        const DWORD lastError = GetLastError();
        CloseInHelper(*closed, context);
        SetLastError(lastError);
    }
    return result;
}

int FindClose(const bridge::CallContext& context, HANDLE handle) {
    const std::unique_ptr<HelperListing> closed = Listings().Close(handle);
    if (closed) CloseInHelper(*closed, context);
    return 0;
}

void RootName(const bridge::CallContext& context, char* buffer, int size) {
    if (buffer == nullptr || size <= 0) return;  // the plugin writes nothing either
    auto request = bridge::RequestOf<msg::RootNameRequest>(context);
    request.size = std::min(size, bridge::kMaxRootNameBytes);
    const std::optional<Message> reply = HelperLink::Instance().Call(bridge::Pack(request));
    if (!reply) return;
    const Text name = bridge::As<msg::RootNameResult>(*reply).name;
    if (!name) return;
    std::memcpy(buffer, name->data(), std::min<std::size_t>(name->size(), static_cast<std::size_t>(size)));
}

// An export that takes one path and answers the plugin's result.
template <typename Request>
int PathCall(const char* path, int failure) {
    auto request = bridge::RequestOf<Request>(bridge::CurrentContext());
    if (!Carried({{path, &request.path}})) return failure;
    return Forward(bridge::Pack(request), failure);
}

}  // namespace

int __stdcall FsInit(int PluginNr, tProgressProc pProgressProc, tLogProc pLogProc,
                     tRequestProc pRequestProc) {
    const bridge::CallContext context = bridge::CurrentContext();
    return CallGuarded<int>(-1, [&] {
        return HelperLink::Instance().Init(context, PluginNr, pProgressProc, pLogProc, pRequestProc);
    });
}

void __stdcall FsGetDefRootName(char* DefRootName, int maxlen) {
    const bridge::CallContext context = bridge::CurrentContext();
    CallGuardedVoid([&] { RootName(context, DefRootName, maxlen); });
}

HANDLE __stdcall FsFindFirst(char* Path, WIN32_FIND_DATAA* FindData) {
    const bridge::CallContext context = bridge::CurrentContext();
    return CallGuarded<HANDLE>(INVALID_HANDLE_VALUE, [&] { return FindFirst(context, Path, FindData); });
}

BOOL __stdcall FsFindNext(HANDLE Hdl, WIN32_FIND_DATAA* FindData) {
    const bridge::CallContext context = bridge::CurrentContext();
    return CallGuarded<BOOL>(FALSE, [&] { return FindNext(context, Hdl, FindData); });
}

int __stdcall FsFindClose(HANDLE Hdl) {
    const bridge::CallContext context = bridge::CurrentContext();
    return CallGuarded<int>(0, [&] { return FindClose(context, Hdl); });
}

BOOL __stdcall FsMkDir(char* Path) {
    return CallGuarded<BOOL>(FALSE, [&] { return PathCall<msg::MkDirRequest>(Path, FALSE); });
}

BOOL __stdcall FsRemoveDir(char* RemoteName) {
    return CallGuarded<BOOL>(FALSE, [&] { return PathCall<msg::RemoveDirRequest>(RemoteName, FALSE); });
}

BOOL __stdcall FsDeleteFile(char* RemoteName) {
    return CallGuarded<BOOL>(FALSE, [&] { return PathCall<msg::DeleteFileRequest>(RemoteName, FALSE); });
}

int __stdcall FsRenMovFile(char* OldName, char* NewName, BOOL Move, BOOL OverWrite,
                           RemoteInfoStruct* RemoteInfo) {
    const bridge::CallContext context = bridge::CurrentContext();
    return CallGuarded<int>(FS_FILE_READERROR, [&] {
        auto request = bridge::RequestOf<msg::RenMovFileRequest>(context);
        if (!Carried({{OldName, &request.oldName}, {NewName, &request.newName}})) return FS_FILE_READERROR;
        request.move = Move;
        request.overWrite = OverWrite;
        request.remoteInfo = RemoteInfoBytes(RemoteInfo);
        Watch watch(request.oldName, request.newName);
        const std::optional<Message> reply = HelperLink::Instance().Call(bridge::Pack(request), &watch);
        return Outcome(reply, watch, FS_FILE_READERROR);
    });
}

int __stdcall FsExecuteFile(HWND MainWin, char* RemoteName, char* Verb) {
    const bridge::CallContext context = bridge::CurrentContext();
    return CallGuarded<int>(FS_EXEC_ERROR, [&] {
        auto request = bridge::RequestOf<msg::ExecuteFileRequest>(context);
        request.mainWindow = reinterpret_cast<ULONG_PTR>(MainWin);
        if (!Carried({{RemoteName, &request.path}, {Verb, &request.verb}})) return FS_EXEC_ERROR;
        return Forward(bridge::Pack(request), FS_EXEC_ERROR);
    });
}

int __stdcall FsGetFile(char* RemoteName, char* LocalName, int CopyFlags,
                        RemoteInfoStruct* RemoteInfo) {
    const bridge::CallContext context = bridge::CurrentContext();
    return CallGuarded<int>(FS_FILE_READERROR, [&] {
        auto request = bridge::RequestOf<msg::GetFileRequest>(context);
        if (!Carried({{RemoteName, &request.remoteName}, {LocalName, &request.localName}})) return FS_FILE_READERROR;
        request.copyFlags = CopyFlags;
        request.remoteInfo = RemoteInfoBytes(RemoteInfo);
        return Transfer(bridge::Pack(request), request.remoteName, request.localName, true);
    });
}

int __stdcall FsPutFile(char* LocalName, char* RemoteName, int CopyFlags) {
    const bridge::CallContext context = bridge::CurrentContext();
    return CallGuarded<int>(FS_FILE_READERROR, [&] {
        auto request = bridge::RequestOf<msg::PutFileRequest>(context);
        if (!Carried({{LocalName, &request.localName}, {RemoteName, &request.remoteName}})) return FS_FILE_READERROR;
        request.copyFlags = CopyFlags;
        return Transfer(bridge::Pack(request), request.localName, request.remoteName, false);
    });
}
