#include "bridge/helper/helper_calls.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "bridge/channel.h"
#include "bridge/messages.h"

namespace helper {

namespace {

using bridge::Kind;
using bridge::Message;
using bridge::Text;


// A text of the plugin's, bounded as the protocol carries it.
Text PluginText(const char* text) {
    if (text == nullptr) return std::nullopt;
    return std::string(text, strnlen(text, bridge::kMaxTextBytes));
}


// The host's RemoteInfo record from its bytes: absent gives null; any other
// length than the record's is a fault of the peer, which ends the helper.
class RemoteInfoRecord {
public:
    explicit RemoteInfoRecord(const Text& bytes) {
        static_assert(sizeof(RemoteInfoStruct) == bridge::kRemoteInfoBytes, "host record layout");
        if (!bytes) return;
        if (bytes->size() != sizeof(info_)) ExitProcess(kExitProtocolFault);
        std::memcpy(&info_, bytes->data(), sizeof(info_));
        present_ = true;
    }
    RemoteInfoStruct* Get() { return present_ ? &info_ : nullptr; }

private:
    RemoteInfoStruct info_{};
    bool present_ = false;
};

// Runs an export with the host thread's locale and last error in place, as
// the export would have seen them in the host's process, and replies with
// its result and the last error it left.
template <typename Request, typename Export>
Message Replied(const Message& message, Export&& call) {
    auto request = bridge::As<Request>(message);
    SetThreadLocale(request.locale);
    SetLastError(request.lastError);
    const std::int32_t result = call(request);
    return bridge::Pack(bridge::msg::Result{result, GetLastError()});
}

// A listing handle of the plugin's as the 64-bit side carries it: the
// plugin's 32-bit value.
HANDLE HandleOf(std::uint64_t carried) {
    return reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(static_cast<std::uint32_t>(carried)));
}

std::uint32_t OtherRegion(std::uint32_t region) { return (region + 1) % bridge::kBatchRegions; }

// A batch the host waits for goes up once it has taken this long: a store
// far away hands a listing over in pages, and the entries of the page that
// has arrived are not held back for the next.
constexpr ULONGLONG kHostWaitsMs = 20;

}  // namespace

PluginCalls* PluginCalls::current_ = nullptr;

PluginCalls::PluginCalls(HMODULE plugin, Inbox& inbox, bridge::RingWriter& out,
                         const bridge::SharedSection& shared)
    : fs_(FindExports(plugin)), inbox_(inbox), out_(out), shared_(shared) {
    current_ = this;
}

bool PluginCalls::Ready() {
    const void* exports[] = {
        reinterpret_cast<void*>(fs_.FsInit),       reinterpret_cast<void*>(fs_.FsGetDefRootName),
        reinterpret_cast<void*>(fs_.FsFindFirst),  reinterpret_cast<void*>(fs_.FsFindNext),
        reinterpret_cast<void*>(fs_.FsFindClose),  reinterpret_cast<void*>(fs_.FsMkDir),
        reinterpret_cast<void*>(fs_.FsRemoveDir),  reinterpret_cast<void*>(fs_.FsDeleteFile),
        reinterpret_cast<void*>(fs_.FsRenMovFile), reinterpret_cast<void*>(fs_.FsExecuteFile),
        reinterpret_cast<void*>(fs_.FsGetFile),    reinterpret_cast<void*>(fs_.FsPutFile)};
    if (std::find(std::begin(exports), std::end(exports), nullptr) != std::end(exports)) return false;
    Send(bridge::Pack(bridge::msg::Ready{bridge::kProtocolVersion}));
    return true;
}

void PluginCalls::Serve() {
    for (;;) {
        // While the host takes in one batch, the listing's next is read: the
        // host's next FsFindNext on it then finds it waiting.
        if (readAhead_ && !readAhead_->batch) {
            readAhead_->region = OtherRegion(lastSentRegion_);
            readAhead_->batch = FindNextBatch(readAhead_->handle, readAhead_->most, true,
                                              readAhead_->region, Haste::ReadAhead,
                                              &readAhead_->more);
        }
        const Message request = inbox_.Next();
        if (!bridge::IsRequest(request.kind)) ExitProcess(kExitProtocolFault);  // unasked answer
        Serve(request);
    }
}

void PluginCalls::Serve(const Message& request) {
    switch (request.kind) {
    case Kind::FindNext:
        ServeFindNext(request);
        return;
    case Kind::FindClose:
        ForgetListing(HandleOf(bridge::As<bridge::msg::FindCloseRequest>(request).handle));
        break;
    case Kind::Init:
        readAhead_.reset();  // a new engine: the listings are the old one's
        break;
    default:
        break;
    }
    Send(Run(request));
}

void PluginCalls::ServeNested(const Message& request) {
    // A new engine under a call that uses the old one: the 64-bit side never
    // asks for it.
    if (request.kind == Kind::Init) ExitProcess(kExitProtocolFault);
    const LCID locale = GetThreadLocale();
    const DWORD lastError = GetLastError();
    Serve(request);
    SetThreadLocale(locale);
    SetLastError(lastError);
}

void PluginCalls::ServeFindNext(const Message& message) {
    const auto request = bridge::As<bridge::msg::FindNextRequest>(message);
    const HANDLE handle = HandleOf(static_cast<std::uint32_t>(request.handle));
    const int most = request.most;
    const bool recordWanted = request.recordWanted != 0;
    if (recordWanted && HoldsReadAhead() && readAhead_->handle == handle) {
        lastSentRegion_ = readAhead_->region;
        Send(*readAhead_->batch);
        readAhead_->batch.reset();
        if (!readAhead_->more) readAhead_.reset();
        return;
    }
    // What was read ahead for another listing stays where it lies. (A
    // read-ahead is read between two requests: one nested inside a callback
    // may find it planned and not yet read.)
    const std::uint32_t region =
        OtherRegion(HoldsReadAhead() ? readAhead_->region : lastSentRegion_);
    SetThreadLocale(request.locale);
    SetLastError(request.lastError);
    bool more = false;
    const Message batch = FindNextBatch(handle, most, recordWanted, region, Haste::HostWaits, &more);
    lastSentRegion_ = region;
    Send(batch);
    // A batch that ended at its bounds, not at the listing's end, has more
    // to come: read ahead for this listing, unless another's batch waits.
    if (!readAhead_ && recordWanted && more) {
        readAhead_.emplace();
        readAhead_->handle = handle;
        readAhead_->most = most;
    }
}

void PluginCalls::ForgetListing(HANDLE handle) {
    if (readAhead_ && readAhead_->handle == handle) readAhead_.reset();
}

void PluginCalls::Send(const Message& message) {
    const std::string frame = bridge::Frame(message);
    if (!out_.Write(frame.data(), frame.size(), nullptr)) ExitProcess(kExitProtocolFault);
}

Message PluginCalls::AwaitAnswer(Kind callback) {
    for (;;) {
        Message message = inbox_.Next();
        if (bridge::Answers(callback, message.kind)) return message;
        if (!bridge::IsRequest(message.kind)) ExitProcess(kExitProtocolFault);
        ServeNested(message);
    }
}

bool PluginCalls::Enough(Haste* haste, HANDLE handle, ULONGLONG startedMs) {
    if (*haste == Haste::ReadAhead) {
        if (!inbox_.Waiting()) return false;
        // The host has taken in the last batch and waits for this one:
        // sent now, part-full, it would cost the host one more round trip
        // for the rest.
        if (!NextOfListingWaits(handle)) return true;
        *haste = Haste::HostWaits;
    }
    return GetTickCount64() - startedMs >= kHostWaitsMs;
}

bool PluginCalls::NextOfListingWaits(HANDLE handle) {
    Message waiting;
    if (!inbox_.Peek(&waiting) || waiting.kind != Kind::FindNext) return false;
    const auto next = bridge::As<bridge::msg::FindNextRequest>(waiting);
    return HandleOf(static_cast<std::uint32_t>(next.handle)) == handle && next.recordWanted != 0;
}

Message PluginCalls::FindNextBatch(HANDLE handle, int most, bool recordWanted,
                                   std::uint32_t region, Haste haste, bool* more) {
    bridge::BatchWriter batch(shared_.Region(region), bridge::kBatchRegionBytes);
    *more = false;
    if (!recordWanted) {
        batch.Append(fs_.FsFindNext(handle, nullptr), nullptr, 0);
    } else {
        // The plugin's own FsFindNext, in order, up to the end of the
        // listing (its first FALSE), `most` entries or the batch's bytes; a
        // region holds a whole batch and one more record. A batch has at
        // least one entry, and stops short once it has taken long enough.
        most = std::clamp(most, 1, static_cast<int>(bridge::kMaxBatchEntries));
        const ULONGLONG startedMs = GetTickCount64();
        for (BOOL found = TRUE; found && batch.Entries() < static_cast<std::uint32_t>(most) &&
                                batch.Bytes() < bridge::kBatchBytesTarget;) {
            if (batch.Entries() > 0 && Enough(&haste, handle, startedMs)) break;  // *more stays true
            WIN32_FIND_DATAA record;
            found = fs_.FsFindNext(handle, &record);
            batch.Append(found, &record, sizeof(record));
            *more = found != FALSE;
        }
    }
    return bridge::Pack(bridge::msg::FindBatch{region, batch.Entries(), static_cast<std::uint32_t>(batch.Bytes())});
}

Message PluginCalls::Run(const Message& message) {
    namespace msg = bridge::msg;
    switch (message.kind) {
    case Kind::Init:
        return Replied<msg::InitRequest>(message, [&](auto& init) {
            const int mask = init.callbacks;
            return fs_.FsInit(init.pluginNumber, (mask & bridge::kHasProgress) ? Progress : nullptr,
                              (mask & bridge::kHasLog) ? Log : nullptr,
                              (mask & bridge::kHasRequest) ? Request : nullptr);
        });
    case Kind::RootName: return RootName(bridge::As<msg::RootNameRequest>(message));
    case Kind::FindFirst: {
        auto request = bridge::As<msg::FindFirstRequest>(message);
        return FindFirst(request);
    }
    case Kind::FindClose:
        return Replied<msg::FindCloseRequest>(message, [&](auto& r) { return fs_.FsFindClose(HandleOf(r.handle)); });
    case Kind::MkDir:
        return Replied<msg::MkDirRequest>(message, [&](auto& r) { return fs_.FsMkDir(bridge::Writable(r.path)); });
    case Kind::RemoveDir:
        return Replied<msg::RemoveDirRequest>(message, [&](auto& r) { return fs_.FsRemoveDir(bridge::Writable(r.path)); });
    case Kind::DeleteFile:
        return Replied<msg::DeleteFileRequest>(message, [&](auto& r) { return fs_.FsDeleteFile(bridge::Writable(r.path)); });
    case Kind::RenMovFile:
        return Replied<msg::RenMovFileRequest>(message, [&](auto& r) {
            RemoteInfoRecord info(r.remoteInfo);
            return fs_.FsRenMovFile(bridge::Writable(r.oldName), bridge::Writable(r.newName), r.move, r.overWrite, info.Get());
        });
    case Kind::ExecuteFile:
        return Replied<msg::ExecuteFileRequest>(message, [&](auto& r) {
            // Window handles are the same in every process of the session.
            const HWND window = reinterpret_cast<HWND>(static_cast<ULONG_PTR>(r.mainWindow));
            return fs_.FsExecuteFile(window, bridge::Writable(r.path), bridge::Writable(r.verb));
        });
    case Kind::GetFile:
        return Replied<msg::GetFileRequest>(message, [&](auto& r) {
            RemoteInfoRecord info(r.remoteInfo);
            return fs_.FsGetFile(bridge::Writable(r.remoteName), bridge::Writable(r.localName), r.copyFlags, info.Get());
        });
    case Kind::PutFile:
        return Replied<msg::PutFileRequest>(message, [&](auto& r) {
            return fs_.FsPutFile(bridge::Writable(r.localName), bridge::Writable(r.remoteName), r.copyFlags);
        });
    default: ExitProcess(kExitProtocolFault);
    }
}

Message PluginCalls::RootName(const bridge::msg::RootNameRequest& request) {
    std::string buffer(std::clamp(request.size, 1, bridge::kMaxRootNameBytes), '\0');
    SetThreadLocale(request.locale);
    SetLastError(request.lastError);
    fs_.FsGetDefRootName(&buffer[0], static_cast<int>(buffer.size()));
    // What the plugin wrote: the name and its terminator.
    buffer.resize(std::min(buffer.size(), std::strlen(buffer.c_str()) + 1));
    return bridge::Pack(bridge::msg::RootNameResult{buffer});
}

Message PluginCalls::FindFirst(bridge::msg::FindFirstRequest& request) {
    // The plugin starts from the host's record as it stands, so the bytes
    // it leaves alone come back unchanged.
    WIN32_FIND_DATAA record{};
    if (request.record && !bridge::UntrimRecord(*request.record, &record, sizeof(record))) {
        ExitProcess(kExitProtocolFault);
    }
    SetThreadLocale(request.locale);
    SetLastError(request.lastError);
    const HANDLE handle = fs_.FsFindFirst(bridge::Writable(request.path), request.record ? &record : nullptr);
    const DWORD error = GetLastError();
    return bridge::Pack(bridge::msg::FindResult{
        static_cast<std::int32_t>(reinterpret_cast<INT_PTR>(handle)), error,
        request.record ? Text(bridge::TrimRecord(&record, sizeof(record))) : std::nullopt});
}

int __stdcall PluginCalls::Progress(int pluginNr, char* source, char* target, int percent) {
    current_->Send(bridge::Pack(bridge::msg::Progress{pluginNr, PluginText(source), PluginText(target), percent}));
    return bridge::As<bridge::msg::ProgressAnswer>(current_->AwaitAnswer(Kind::Progress)).abort;
}

void __stdcall PluginCalls::Log(int pluginNr, int msgType, char* text) {
    current_->Send(bridge::Pack(bridge::msg::Log{pluginNr, msgType, PluginText(text)}));
    current_->AwaitAnswer(Kind::Log);
}

BOOL __stdcall PluginCalls::Request(int pluginNr, int requestType, char* title, char* text,
                                    char* returned, int maxlen) {
    Text shown = returned != nullptr && maxlen > 0
                     ? Text(std::string(returned, strnlen(returned, std::min<int>(
                                                                     maxlen, bridge::kMaxTextBytes))))
                     : std::nullopt;
    current_->Send(bridge::Pack(
        bridge::msg::Request{pluginNr, requestType, PluginText(title), PluginText(text), std::move(shown), maxlen}));
    const auto answer = bridge::As<bridge::msg::RequestAnswer>(current_->AwaitAnswer(Kind::Request));
    if (returned != nullptr && maxlen > 0 && answer.returned) {
        const std::size_t length = std::min<std::size_t>(answer.returned->size(), maxlen - 1);
        std::memcpy(returned, answer.returned->data(), length);
        returned[length] = '\0';
    }
    return answer.answered;
}

}  // namespace helper
