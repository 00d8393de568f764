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
using bridge::Kind;
using bridge::Message;
using bridge::Text;
using bridge::Watch;

static_assert(sizeof(WIN32_FIND_DATAA) == bridge::kFindRecordBytes, "same layout in both editions");
static_assert(sizeof(RemoteInfoStruct) == bridge::kRemoteInfoBytes, "same layout in both editions");

// Entries the helper reads ahead per round trip once a listing is past its
// first entry: the plugin's own FsFindNext, in order, only earlier. A batch
// also ends at its bytes' bound.
constexpr int kReadAheadEntries = 8192;

// A call's texts, or false when one is longer than the protocol carries:
// the export then fails without reaching the helper.
bool Texts(std::initializer_list<const char*> texts, Message* request) {
    for (const char* text : texts) {
        Text carried;
        if (!bridge::HostText(text, &carried)) return false;
        request->Add(std::move(carried));
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
    SetLastError(static_cast<DWORD>(reply->Int(1)));
    return reply->Int(0);
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
int Transfer(Message request, bool download) {
    Watch watch(request.TextAt(0), request.TextAt(1));
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
    Message request = bridge::RequestOf(Kind::FindFirst, context);
    if (!Texts({path}, &request)) return INVALID_HANDLE_VALUE;
    request.Add(findData != nullptr ? Text(bridge::TrimRecord(findData, sizeof(*findData))) : std::nullopt);
    listing->path = request.TextAt(0);
    Watch watch(listing->path, std::nullopt);
    const std::optional<Message> reply = link.Call(request, &watch);
    SetAbandonedError(watch);
    if (!reply) return INVALID_HANDLE_VALUE;
    const Text& record = reply->TextAt(0);
    if (findData != nullptr && record && !bridge::UntrimRecord(*record, findData, sizeof(*findData))) {
        link.Fault(watch.helper);
        return INVALID_HANDLE_VALUE;
    }
    const DWORD lastError = static_cast<DWORD>(reply->Int(1));
    listing->handle = reply->Int(0);
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
    std::optional<Message> reply = link.Call(
        bridge::RequestOf(Kind::FindNext, context).Add(listing.handle).Add(kReadAheadEntries).Add(1), &watch,
        listing.generation);
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
    if (findData == nullptr) {
        // The plugin refuses a null record before it reads anything: what
        // was read ahead stays for the next call.
        if (!listing.entries.AtEnd()) return FALSE;
        Watch watch(listing.path, std::nullopt);
        const std::optional<Message> reply = link.Call(
            bridge::RequestOf(Kind::FindNext, context).Add(listing.handle).Add(1).Add(0), &watch,
            listing.generation);
        WIN32_FIND_DATAA ignored;
        std::int32_t result = FALSE;
        SetAbandonedError(watch);
        if (!reply) return FALSE;
        if (!bridge::FindBatchReader(*reply).Next(&result, &ignored, sizeof(ignored))) {
            link.Fault(watch.helper);
            return FALSE;
        }
        return result;
    }
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
    const std::optional<Message> reply = HelperLink::Instance().Call(
        bridge::RequestOf(Kind::RootName, context).Add(std::min(size, bridge::kMaxRootNameBytes)));
    if (!reply || !reply->TextAt(0)) return;
    const std::string& name = *reply->TextAt(0);
    std::memcpy(buffer, name.data(), std::min<std::size_t>(name.size(), static_cast<std::size_t>(size)));
}

int PathCall(Kind kind, const char* path, int failure) {
    Message request = bridge::RequestOf(kind, bridge::CurrentContext());
    if (!Texts({path}, &request)) return failure;
    return Forward(std::move(request), failure);
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
    return CallGuarded<BOOL>(FALSE, [&] { return PathCall(Kind::MkDir, Path, FALSE); });
}

BOOL __stdcall FsRemoveDir(char* RemoteName) {
    return CallGuarded<BOOL>(FALSE, [&] { return PathCall(Kind::RemoveDir, RemoteName, FALSE); });
}

BOOL __stdcall FsDeleteFile(char* RemoteName) {
    return CallGuarded<BOOL>(FALSE, [&] { return PathCall(Kind::DeleteFile, RemoteName, FALSE); });
}

int __stdcall FsRenMovFile(char* OldName, char* NewName, BOOL Move, BOOL OverWrite,
                           RemoteInfoStruct* RemoteInfo) {
    const bridge::CallContext context = bridge::CurrentContext();
    return CallGuarded<int>(FS_FILE_READERROR, [&] {
        Message request = bridge::RequestOf(Kind::RenMovFile, context);
        if (!Texts({OldName, NewName}, &request)) return FS_FILE_READERROR;
        request.Add(Move).Add(OverWrite).Add(RemoteInfoBytes(RemoteInfo));
        Watch watch(request.TextAt(0), request.TextAt(1));
        const std::optional<Message> reply = HelperLink::Instance().Call(request, &watch);
        return Outcome(reply, watch, FS_FILE_READERROR);
    });
}

int __stdcall FsExecuteFile(HWND MainWin, char* RemoteName, char* Verb) {
    const bridge::CallContext context = bridge::CurrentContext();
    return CallGuarded<int>(FS_EXEC_ERROR, [&] {
        Message request = bridge::RequestOf(Kind::ExecuteFile, context)
                              .Add(static_cast<std::int64_t>(reinterpret_cast<ULONG_PTR>(MainWin)));
        if (!Texts({RemoteName, Verb}, &request)) return FS_EXEC_ERROR;
        return Forward(std::move(request), FS_EXEC_ERROR);
    });
}

int __stdcall FsGetFile(char* RemoteName, char* LocalName, int CopyFlags,
                        RemoteInfoStruct* RemoteInfo) {
    const bridge::CallContext context = bridge::CurrentContext();
    return CallGuarded<int>(FS_FILE_READERROR, [&] {
        Message request = bridge::RequestOf(Kind::GetFile, context);
        if (!Texts({RemoteName, LocalName}, &request)) return FS_FILE_READERROR;
        request.Add(CopyFlags).Add(RemoteInfoBytes(RemoteInfo));
        return Transfer(std::move(request), true);
    });
}

int __stdcall FsPutFile(char* LocalName, char* RemoteName, int CopyFlags) {
    const bridge::CallContext context = bridge::CurrentContext();
    return CallGuarded<int>(FS_FILE_READERROR, [&] {
        Message request = bridge::RequestOf(Kind::PutFile, context);
        if (!Texts({LocalName, RemoteName}, &request)) return FS_FILE_READERROR;
        request.Add(CopyFlags);
        return Transfer(std::move(request), false);
    });
}
