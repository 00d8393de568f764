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

}  // namespace

PluginCalls* PluginCalls::current_ = nullptr;

PluginCalls::PluginCalls(HMODULE plugin, Mailbox& inbox, HANDLE out,
                         const bridge::SharedBatches& batches)
    : fs_(FindExports(plugin)), inbox_(inbox), out_(out), batches_(batches) {
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
        // While the host takes in one batch, the next is read: the host's
        // next FsFindNext then finds it waiting.
        if (listingOpen_ && !prefetched_) prefetched_ = FindNextBatch(prefetchMost_, true);
        const Message request = inbox_.Next();
        if (!bridge::IsRequest(request.kind)) ExitProcess(kExitProtocolFault);  // unasked answer
        const bool batchWanted = request.kind == Kind::FindNext && request.Int(3) != 0;
        if (batchWanted && prefetched_) {
            Send(*prefetched_);
            prefetched_.reset();
            continue;
        }
        // What was read ahead belongs to the listing: a new one, or a new
        // engine, drops it. Other calls leave it for the listing's next call.
        if (request.kind == Kind::FindFirst || request.kind == Kind::Init) {
            prefetched_.reset();
            listingOpen_ = false;
        }
        if (batchWanted) prefetchMost_ = request.Int(2);
        Send(Run(request));
    }
}

void PluginCalls::Send(const Message& message) {
    if (!bridge::SendMessage(out_, message)) ExitProcess(kExitPipeBroken);
}

Message PluginCalls::AwaitAnswer(Kind callback) {
    Message answer = inbox_.Next();
    if (!bridge::Answers(callback, answer.kind)) ExitProcess(kExitProtocolFault);
    return answer;
}

Message PluginCalls::FindNextBatch(int most, bool recordWanted) {
    // The 64-bit side has copied this region's last batch: it asked for the
    // batch after it, which went into the other region.
    const std::uint32_t region = nextRegion_;
    nextRegion_ = (nextRegion_ + 1) % bridge::kBatchRegions;
    bridge::BatchWriter batch(batches_.Region(region), bridge::kBatchRegionBytes);
    if (!recordWanted) {
        batch.Append(fs_.FsFindNext(nullptr, nullptr), nullptr, 0);
    } else {
        // Reads ahead: the plugin's own FsFindNext, in order, up to the end
        // of the listing (its first FALSE), `most` entries or the batch's
        // bytes. A region holds a whole batch and one more record.
        most = std::clamp(most, 1, static_cast<int>(bridge::kMaxBatchEntries));
        listingOpen_ = true;
        while (listingOpen_ && batch.Entries() < static_cast<std::uint32_t>(most) &&
               batch.Bytes() < bridge::kBatchBytesTarget) {
            WIN32_FIND_DATAA record;
            const BOOL found = fs_.FsFindNext(nullptr, &record);
            batch.Append(found, &record, sizeof(record));
            listingOpen_ = found != FALSE;
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
    case Kind::FindNext:
        SetLastError(hostError);
        return FindNextBatch(request.Int(2), request.Int(3) != 0);
    case Kind::FindClose:
        return reply([&] { return fs_.FsFindClose(reinterpret_cast<HANDLE>(static_cast<INT_PTR>(request.U64(2)))); });
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
