#include "bridge/helper/helper_calls.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "bridge/channel.h"

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

// The host's text as the plugin's writable argument; null stays null. The
// text lives in `text`, which the caller keeps until the export returns.
char* Argument(Text& text) { return text ? &(*text)[0] : nullptr; }

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

Message ResultReply(std::int64_t result, DWORD lastError) {
    return std::move(Message(Kind::Result).Add(result).Add(static_cast<std::int64_t>(lastError)));
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

PluginCalls::PluginCalls(HMODULE plugin, Mailbox& inbox, bridge::RingWriter& out,
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
    Send(Message(Kind::Ready).Add(bridge::kProtocolVersion));
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
        ForgetListing(HandleOf(request.U64(2)));
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

void PluginCalls::ServeFindNext(const Message& request) {
    const HANDLE handle = HandleOf(static_cast<std::uint32_t>(request.Int(2)));
    const int most = request.Int(3);
    const bool recordWanted = request.Int(4) != 0;
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
    SetThreadLocale(static_cast<LCID>(request.Int(0)));
    SetLastError(static_cast<DWORD>(request.Int(1)));
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
    return inbox_.Peek(&waiting) && waiting.kind == Kind::FindNext &&
           HandleOf(static_cast<std::uint32_t>(waiting.Int(2))) == handle && waiting.Int(4) != 0;
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
    return std::move(Message(Kind::FindBatch)
                         .Add(region)
                         .Add(batch.Entries())
                         .Add(static_cast<std::int64_t>(batch.Bytes())));
}

Message PluginCalls::Run(const Message& request) {
    // The host thread's locale and last error, as the export would have seen
    // them in the host's process.
    SetThreadLocale(static_cast<LCID>(request.Int(0)));
    const DWORD hostError = static_cast<DWORD>(request.Int(1));
    Text first = request.texts.empty() ? std::nullopt : request.texts[0];
    Text second = request.texts.size() < 2 ? std::nullopt : request.texts[1];
    // Runs an export with the host's last error in place and replies with
    // its result and the last error it left.
    auto reply = [hostError](auto&& call) {
        SetLastError(hostError);
        const std::int64_t result = call();
        return ResultReply(result, GetLastError());
    };
    switch (request.kind) {
    case Kind::Init: {
        const int mask = request.Int(3);
        return reply([&] {
            return fs_.FsInit(request.Int(2), (mask & bridge::kHasProgress) ? Progress : nullptr,
                              (mask & bridge::kHasLog) ? Log : nullptr,
                              (mask & bridge::kHasRequest) ? Request : nullptr);
        });
    }
    case Kind::RootName: return RootName(request.Int(2), hostError);
    case Kind::FindFirst: return FindFirst(first, second, hostError);
    case Kind::FindClose:
        return reply([&] { return fs_.FsFindClose(HandleOf(request.U64(2))); });
    case Kind::MkDir: return reply([&] { return fs_.FsMkDir(Argument(first)); });
    case Kind::RemoveDir: return reply([&] { return fs_.FsRemoveDir(Argument(first)); });
    case Kind::DeleteFile: return reply([&] { return fs_.FsDeleteFile(Argument(first)); });
    case Kind::RenMovFile: {
        RemoteInfoRecord info(request.TextAt(2));
        return reply([&] {
            return fs_.FsRenMovFile(Argument(first), Argument(second), request.Int(2), request.Int(3), info.Get());
        });
    }
    case Kind::ExecuteFile: {
        // Window handles are the same in every process of the session.
        const HWND window = reinterpret_cast<HWND>(static_cast<ULONG_PTR>(request.U64(2)));
        return reply([&] { return fs_.FsExecuteFile(window, Argument(first), Argument(second)); });
    }
    case Kind::GetFile: {
        RemoteInfoRecord info(request.TextAt(2));
        return reply([&] { return fs_.FsGetFile(Argument(first), Argument(second), request.Int(2), info.Get()); });
    }
    case Kind::PutFile:
        return reply([&] { return fs_.FsPutFile(Argument(first), Argument(second), request.Int(2)); });
    default:
        ExitProcess(kExitProtocolFault);
    }
}

Message PluginCalls::RootName(int size, DWORD hostError) {
    std::string buffer(std::clamp(size, 1, bridge::kMaxRootNameBytes), '\0');
    SetLastError(hostError);
    fs_.FsGetDefRootName(&buffer[0], static_cast<int>(buffer.size()));
    // What the plugin wrote: the name and its terminator.
    buffer.resize(std::min(buffer.size(), std::strlen(buffer.c_str()) + 1));
    return std::move(Message(Kind::RootNameResult).Add(buffer));
}

Message PluginCalls::FindFirst(Text& path, const Text& hostRecord, DWORD hostError) {
    // The plugin starts from the host's record as it stands, so the bytes
    // it leaves alone come back unchanged.
    WIN32_FIND_DATAA record{};
    if (hostRecord && !bridge::UntrimRecord(*hostRecord, &record, sizeof(record))) {
        ExitProcess(kExitProtocolFault);
    }
    SetLastError(hostError);
    const HANDLE handle = fs_.FsFindFirst(Argument(path), hostRecord ? &record : nullptr);
    const DWORD error = GetLastError();
    return std::move(Message(Kind::FindResult)
                         .Add(static_cast<std::int64_t>(reinterpret_cast<INT_PTR>(handle)))
                         .Add(static_cast<std::int64_t>(error))
                         .Add(hostRecord ? Text(bridge::TrimRecord(&record, sizeof(record))) : std::nullopt));
}

int __stdcall PluginCalls::Progress(int pluginNr, char* source, char* target, int percent) {
    current_->Send(Message(Kind::Progress)
                       .Add(pluginNr)
                       .Add(PluginText(source))
                       .Add(PluginText(target))
                       .Add(percent));
    return current_->AwaitAnswer(Kind::Progress).Int(0);
}

void __stdcall PluginCalls::Log(int pluginNr, int msgType, char* text) {
    current_->Send(Message(Kind::Log).Add(pluginNr).Add(msgType).Add(PluginText(text)));
    current_->AwaitAnswer(Kind::Log);
}

BOOL __stdcall PluginCalls::Request(int pluginNr, int requestType, char* title, char* text,
                                    char* returned, int maxlen) {
    Text shown = returned != nullptr && maxlen > 0
                     ? Text(std::string(returned, strnlen(returned, std::min<int>(
                                                                     maxlen, bridge::kMaxTextBytes))))
                     : std::nullopt;
    current_->Send(Message(Kind::Request)
                       .Add(pluginNr)
                       .Add(requestType)
                       .Add(PluginText(title))
                       .Add(PluginText(text))
                       .Add(std::move(shown))
                       .Add(maxlen));
    const Message answer = current_->AwaitAnswer(Kind::Request);
    const Text& answered = answer.TextAt(0);
    if (returned != nullptr && maxlen > 0 && answered) {
        const std::size_t length = std::min<std::size_t>(answered->size(), maxlen - 1);
        std::memcpy(returned, answered->data(), length);
        returned[length] = '\0';
    }
    return answer.Int(0);
}

}  // namespace helper
