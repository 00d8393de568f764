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

// The plugin writes its root name, a few bytes; a larger buffer changes nothing.
constexpr int kMostRootNameBytes = 1024;

// A text of the plugin's, bounded as the protocol carries it.
Text PluginText(const char* text) {
    if (text == nullptr) return std::nullopt;
    return std::string(text, strnlen(text, bridge::kMaxTextBytes));
}

// The host's text as the plugin's writable argument; null stays null. The
// text lives in `text`, which the caller keeps until the export returns.
char* Argument(Text& text) { return text ? &(*text)[0] : nullptr; }

// A RemoteInfo record from its bytes: absent gives null, any other length
// than the record's is a fault of the peer.
bool ReadRemoteInfo(const Text& bytes, RemoteInfoStruct* info, RemoteInfoStruct** pointer) {
    static_assert(sizeof(RemoteInfoStruct) == bridge::kRemoteInfoBytes, "host record layout");
    if (!bytes) {
        *pointer = nullptr;
        return true;
    }
    if (bytes->size() != sizeof(*info)) return false;
    std::memcpy(info, bytes->data(), sizeof(*info));
    *pointer = info;
    return true;
}

Message ResultReply(std::int64_t result, DWORD lastError) {
    return std::move(Message(Kind::Result).Add(result).Add(static_cast<std::int64_t>(lastError)));
}

}  // namespace

PluginCalls* PluginCalls::current_ = nullptr;

PluginCalls::PluginCalls(HMODULE plugin, Mailbox& inbox, HANDLE out)
    : fs_(FindExports(plugin)), inbox_(inbox), out_(out) {
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
        const Message request = inbox_.Next();
        if (!bridge::IsRequest(request.kind)) ExitProcess(kExitProtocolFault);  // unasked answer
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
    Message reply(Kind::FindBatch);
    if (!recordWanted) {
        reply.batch.push_back({fs_.FsFindNext(nullptr, nullptr), std::nullopt});
        return reply;
    }
    // Reads ahead: the plugin's own FsFindNext, in order, up to the end of
    // the listing (its first FALSE) or `most` entries.
    most = std::clamp(most, 1, static_cast<int>(bridge::kMaxBatchEntries));
    for (int entry = 0; entry < most; ++entry) {
        WIN32_FIND_DATAA record;
        const BOOL found = fs_.FsFindNext(nullptr, &record);
        reply.batch.push_back({found, bridge::TrimRecord(&record, sizeof(record))});
        if (!found) break;
    }
    return reply;
}

Message PluginCalls::Run(const Message& request) {
    // The host thread's locale and last error, as the export would have seen
    // them in the host's process.
    SetThreadLocale(static_cast<LCID>(request.Int(0)));
    const DWORD hostError = static_cast<DWORD>(request.Int(1));
    Text first = request.texts.empty() ? std::nullopt : request.texts[0];
    Text second = request.texts.size() < 2 ? std::nullopt : request.texts[1];
    RemoteInfoStruct info{};
    RemoteInfoStruct* infoPointer = nullptr;
    switch (request.kind) {
    case Kind::Init: {
        const int mask = request.Int(3);
        SetLastError(hostError);
        const int result = fs_.FsInit(request.Int(2), (mask & bridge::kHasProgress) ? Progress : nullptr,
                                      (mask & bridge::kHasLog) ? Log : nullptr,
                                      (mask & bridge::kHasRequest) ? Request : nullptr);
        return ResultReply(result, GetLastError());
    }
    case Kind::RootName: {
        const int size = std::clamp(request.Int(2), 1, kMostRootNameBytes);
        std::string buffer(size, '\0');
        SetLastError(hostError);
        fs_.FsGetDefRootName(&buffer[0], size);
        buffer.resize(std::min<std::size_t>(buffer.size(), std::strlen(buffer.c_str()) + 1));
        return std::move(Message(Kind::RootNameResult).Add(buffer));
    }
    case Kind::FindFirst: {
        WIN32_FIND_DATAA record{};
        if (second && !bridge::UntrimRecord(*second, &record, sizeof(record))) {
            ExitProcess(kExitProtocolFault);
        }
        SetLastError(hostError);
        const HANDLE handle = fs_.FsFindFirst(Argument(first), second ? &record : nullptr);
        const DWORD error = GetLastError();
        return std::move(Message(Kind::FindResult)
                             .Add(static_cast<std::int64_t>(reinterpret_cast<INT_PTR>(handle)))
                             .Add(static_cast<std::int64_t>(error))
                             .Add(second ? Text(bridge::TrimRecord(&record, sizeof(record)))
                                         : std::nullopt));
    }
    case Kind::FindNext:
        SetLastError(hostError);
        return FindNextBatch(request.Int(2), request.Int(3) != 0);
    case Kind::FindClose: {
        SetLastError(hostError);
        const int result = fs_.FsFindClose(reinterpret_cast<HANDLE>(static_cast<INT_PTR>(request.U64(2))));
        return ResultReply(result, GetLastError());
    }
    case Kind::MkDir:
    case Kind::RemoveDir:
    case Kind::DeleteFile: {
        const auto call = request.kind == Kind::MkDir       ? fs_.FsMkDir
                          : request.kind == Kind::RemoveDir ? fs_.FsRemoveDir
                                                            : fs_.FsDeleteFile;
        SetLastError(hostError);
        const BOOL result = call(Argument(first));
        return ResultReply(result, GetLastError());
    }
    case Kind::RenMovFile: {
        if (!ReadRemoteInfo(request.TextAt(2), &info, &infoPointer)) ExitProcess(kExitProtocolFault);
        SetLastError(hostError);
        const int result = fs_.FsRenMovFile(Argument(first), Argument(second), request.Int(2),
                                            request.Int(3), infoPointer);
        return ResultReply(result, GetLastError());
    }
    case Kind::ExecuteFile: {
        // Window handles are the same in every process of the session.
        const HWND window = reinterpret_cast<HWND>(static_cast<ULONG_PTR>(request.U64(2)));
        SetLastError(hostError);
        const int result = fs_.FsExecuteFile(window, Argument(first), Argument(second));
        return ResultReply(result, GetLastError());
    }
    case Kind::GetFile: {
        if (!ReadRemoteInfo(request.TextAt(2), &info, &infoPointer)) ExitProcess(kExitProtocolFault);
        SetLastError(hostError);
        const int result = fs_.FsGetFile(Argument(first), Argument(second), request.Int(2), infoPointer);
        return ResultReply(result, GetLastError());
    }
    case Kind::PutFile: {
        SetLastError(hostError);
        const int result = fs_.FsPutFile(Argument(first), Argument(second), request.Int(2));
        return ResultReply(result, GetLastError());
    }
    default:
        ExitProcess(kExitProtocolFault);
    }
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
