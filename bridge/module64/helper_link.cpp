#include "bridge/module64/helper_link.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "bridge/channel.h"

namespace bridge {

namespace {

constexpr wchar_t kHelperName[] = L"corvanel_helper.exe";
// How long an ended helper is given to leave once the pipe it watches is closed; it
// leaves at once unless it is stuck, and is then ended by force.
constexpr DWORD kHelperExitWaitMs = 5000;
// A watched request's helper counts as stalled once it has sent nothing for
// this long; the host is then asked every kAskAgainMs whether to stop it.
// From then on every wait also looks that often for a window of the helper's.
constexpr DWORD kQuietMs = 1000;
constexpr DWORD kAskAgainMs = 100;
// After this much silence the user is asked whether to stop the engine:
// twice the 5 s after which Windows itself calls a window that takes no
// input "Not Responding", so that a user who waits that long without a sign
// of life has a way out, and long enough for a slow network's round trip,
// which seldom goes unanswered that long. A No asks again once the silence
// has doubled: the longer the user chose to wait, the less often asked.
constexpr ULONGLONG kQuestionAfterMs = 10000;
// A host without a request callback cannot ask: its call gives up after
// three times the question's bound, as a network client gives up on a server
// that has not answered for half a minute.
constexpr ULONGLONG kGiveUpAfterMs = 30000;
// The question's type in the host's request callback: a Yes/No message box.
constexpr int kRequestYesNo = 9;

// The folder this module was loaded from, with its trailing backslash.
std::wstring ModuleFolder() {
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&ModuleFolder), &self)) {
        return std::wstring();
    }
    std::wstring path(32768, L'\0');
    const DWORD length = GetModuleFileNameW(self, &path[0], static_cast<DWORD>(path.size()));
    if (length == 0 || length >= path.size()) return std::wstring();
    path.resize(length);
    return path.substr(0, path.find_last_of(L'\\') + 1);
}

// A pipe whose one end the helper inherits.
struct Pipe {
    UniqueHandle read, write;
    bool Create() {
        HANDLE r = nullptr, w = nullptr;
        if (!CreatePipe(&r, &w, nullptr, 0)) return false;
        read.Reset(r);
        write.Reset(w);
        return true;
    }
};

// Starts the helper with exactly the given handles inherited (its end of
// the pipe, the shared section and the rings' events): they are made inheritable for the call
// only, and listed, so that no other handle of the host's reaches the child.
bool CreateHelperProcess(const std::wstring& path, const std::vector<HANDLE>& inherited,
                         PROCESS_INFORMATION* process) {
    SIZE_T listSize = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &listSize);
    std::vector<char> listBytes(listSize);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(listBytes.data());
    if (!InitializeProcThreadAttributeList(list, 1, 0, &listSize)) return false;
    std::vector<HANDLE> listed = inherited;
    const bool limited = UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, listed.data(),
                                                   listed.size() * sizeof(HANDLE), nullptr, nullptr);
    // Handle values fit 32 bits in every process, so the 32-bit helper reads them as they are.
    std::wstring commandLine = L"\"" + path + L"\" --pipes";
    for (HANDLE handle : inherited) {
        commandLine += L" " + std::to_wstring(static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(handle)));
        SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    }
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof(startup);
    startup.lpAttributeList = limited ? list : nullptr;
    const BOOL created = CreateProcessW(
        path.c_str(), &commandLine[0], nullptr, nullptr, TRUE,
        CREATE_NO_WINDOW | (limited ? EXTENDED_STARTUPINFO_PRESENT : 0), nullptr, nullptr,
        &startup.StartupInfo, process);
    for (HANDLE handle : inherited) SetHandleInformation(handle, HANDLE_FLAG_INHERIT, 0);
    DeleteProcThreadAttributeList(list);
    return created != FALSE;
}

// A writable copy of a text for the host's callback, which takes char*;
// null stays null.
struct CallbackText {
    explicit CallbackText(const Text& text) : copy(text) {}
    char* Get() { return copy ? &(*copy)[0] : nullptr; }
    Text copy;
};

// A progress report of the helper's and the host's answer: what the request
// shows from now on while the helper is silent.
void NotePassedOn(const Message& report, const Message& answer, Watch* watch) {
    watch->source = report.TextAt(0);
    watch->target = report.TextAt(1);
    watch->percent = report.Int(1);
    if (++watch->reports > 1 && answer.Int(0) != 0) watch->abortAfterFirst = true;
}

// The request in the user's words, with its paths as the host gave them.
std::string WhatWaits(const Message& request, const Watch& watch) {
    auto text = [&request](std::size_t at) {
        return at < request.texts.size() && request.texts[at] ? *request.texts[at] : std::string();
    };
    switch (request.kind) {
    case Kind::Init: return "starting the storage engine";
    case Kind::RootName: return "naming the plugin's root";
    case Kind::FindFirst: return "listing " + text(0);
    case Kind::FindNext: return "listing " + (watch.source ? *watch.source : std::string("a folder"));
    case Kind::FindClose: return "ending a listing";
    case Kind::MkDir: return "creating " + text(0);
    case Kind::RemoveDir: return "removing the folder " + text(0);
    case Kind::DeleteFile: return "deleting " + text(0);
    case Kind::RenMovFile:
        return (request.numbers.size() > 2 && request.Int(2) ? "moving " : "copying ") + text(0) +
               " to " + text(1);
    case Kind::ExecuteFile:
        if (text(1) == "open") return "opening " + text(0);
        if (text(1) == "properties") return "showing the properties of " + text(0);
        return "carrying out \"" + text(1) + "\" on " + text(0);
    case Kind::GetFile: return "downloading " + text(0) + " to " + text(1);
    case Kind::PutFile: return "uploading " + text(0) + " to " + text(1);
    default: return "answering the file manager";
    }
}

// The first visible top-level window of process `id`, in front-to-back order.
HWND VisibleWindowOf(DWORD id) {
    struct Search {
        DWORD process;
        HWND found;
    } search{id, nullptr};
    EnumWindows(
        [](HWND window, LPARAM param) -> BOOL {
            auto* search = reinterpret_cast<Search*>(param);
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            if (owner != search->process || !IsWindowVisible(window)) return TRUE;
            search->found = window;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

}  // namespace

CallContext CurrentContext() {
    const DWORD lastError = GetLastError();
    return CallContext{GetThreadLocale(), lastError};
}

Message RequestOf(Kind kind, const CallContext& context) {
    return std::move(Message(kind)
                         .Add(static_cast<std::int64_t>(context.locale))
                         .Add(static_cast<std::int64_t>(context.lastError)));
}

HelperLink& HelperLink::Instance() {
    static HelperLink link;
    return link;
}

HelperLink::HelperLink() { InitializeCriticalSection(&lock_); }

HelperLink::~HelperLink() {
    // Closing the pipe ends the helper; it is not waited for, as this runs
    // while the module unloads. Its view of the section stays valid.
    alive_.Reset();
    fromHelper_.Reset();
    process_.Reset();
    shared_.Reset();
    DeleteCriticalSection(&lock_);
}

int HelperLink::Init(const CallContext& context, int pluginNumber, tProgressProc progress,
                     tLogProc log, tRequestProc request) {
    Hold hold(*this);
    if (inCall_) return -1;
    // Each FsInit makes a new engine, as in the host's own process: in a new
    // helper, which also sees the host's environment as it is now. A helper
    // that has only served FsGetDefRootName is used as it is.
    if (helperInitialised_) Stop();
    initCalled_ = true;
    pluginNumber_ = pluginNumber;
    progress_ = progress;
    log_ = log;
    request_ = request;
    const std::optional<Message> reply =
        Call(RequestOf(Kind::Init, context).Add(pluginNumber).Add(CallbackMask()));
    const int result = reply ? reply->Int(0) : -1;
    if (result != 0) Stop();  // a plugin without an engine keeps no process
    return result;
}

std::optional<Message> HelperLink::Call(const Message& request, Watch* watch) {
    Hold hold(*this);
    Watch unwatched;
    if (watch == nullptr) watch = &unwatched;
    if (inCall_) return std::nullopt;
    if (!Running()) {
        if (!Start(request, watch)) return std::nullopt;
        // A replacement for a helper that ended: FsInit again, as the host
        // called it. Its result is the plugin's business: without an engine
        // the plugin answers each call with its own failure values.
        if (initCalled_ && request.kind != Kind::Init) {
            Message ignored;
            Watch starting;  // the host sees nothing of it, but may have to stop it
            if (!Exchange(RequestOf(Kind::Init, CurrentContext()).Add(pluginNumber_).Add(CallbackMask()),
                          &ignored, &starting)) {
                watch->abandoned = starting.abandoned;
                return std::nullopt;
            }
        }
    }
    Message reply;
    if (!Exchange(request, &reply, watch)) return std::nullopt;
    return reply;
}

int HelperLink::CallbackMask() const {
    return (progress_ ? kHasProgress : 0) | (log_ ? kHasLog : 0) | (request_ ? kHasRequest : 0);
}

bool HelperLink::Exchange(const Message& request, Message* reply, Watch* watch) {
    // The host's process is the foreground one while the user works in it: a
    // window that the engine opens for the request (its properties, a
    // sign-in) may then come to the front instead of opening behind it.
    AllowSetForegroundWindow(processId_);
    inCall_ = true;
    bool conversed = false;
    try {
        conversed = Converse(request, reply, watch);
    } catch (...) {
        // Out of memory part-way: the helper may be waiting for an answer
        // that will not come, so it is not asked anything more.
        inCall_ = false;
        Stop(true);
        throw;
    }
    inCall_ = false;
    if (!conversed) {
        Stop(watch->abandoned != Abandoned::No);
        return false;
    }
    if (request.kind == Kind::Init) helperInitialised_ = true;
    return true;
}

bool HelperLink::Running() {
    if (!process_.Valid()) return false;
    if (WaitForSingleObject(process_.Get(), 0) == WAIT_TIMEOUT) return true;
    Stop();  // ended since the last call
    return false;
}

bool HelperLink::Start(const Message& request, Watch* watch) {
    const std::wstring folder = ModuleFolder();
    if (folder.empty()) return false;
    Pipe alive;
    PROCESS_INFORMATION info{};
    toHelperArrived_.Reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    toModuleArrived_.Reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!toHelperArrived_.Valid() || !toModuleArrived_.Valid() || !alive.Create() || !shared_.Create() ||
        !CreateHelperProcess(folder + kHelperName,
                             {alive.read.Get(), shared_.Section(), toHelperArrived_.Get(),
                              toModuleArrived_.Get()},
                             &info)) {
        shared_.Reset();
        toHelperArrived_.Reset();
        toModuleArrived_.Reset();
        return false;
    }
    CloseHandle(info.hThread);
    process_.Reset(info.hProcess);
    processId_ = info.dwProcessId;
    helperInitialised_ = false;
    alive_ = std::move(alive.write);
    toHelper_.Attach(shared_.RingToHelper(), toHelperArrived_.Get());
    fromHelper_.Attach(shared_.RingToModule(), toModuleArrived_.Get(), process_.Get());
    ++generation_;
    // The helper's end is its own now: once this module closes its end, the
    // helper's watcher sees a broken pipe and ends it.
    alive.read.Reset();
    Message ready;
    if (!Receive(request, &ready, watch) || ready.kind != Kind::Ready ||
        ready.Int(0) != static_cast<std::int32_t>(kProtocolVersion)) {
        Stop(watch->abandoned != Abandoned::No);
        return false;
    }
    return true;
}

bool HelperLink::Send(const Message& message) {
    // The ring lies in the section, which goes with its helper.
    if (!process_.Valid()) return false;
    const std::string frame = Frame(message);
    return toHelper_.Write(frame.data(), frame.size(), process_.Get());
}

bool HelperLink::Converse(const Message& request, Message* reply, Watch* watch) {
    if (!Send(request)) return false;
    // Once the host has asked to stop at a note, the notes that were on
    // their way before the plugin heard of it are not shown to it.
    bool stopAsked = false;
    for (;;) {
        if (!Receive(request, reply, watch)) return false;
        const Next next = Classify(request.kind, reply->kind);
        if (next != Next::Callback) return next == Next::Reply;
        if (IsNote(reply->kind) && stopAsked) continue;
        const Message answer = Answer(*reply);
        const bool report = reply->kind == Kind::Progress || IsNote(reply->kind);
        if (watch->shown && report) NotePassedOn(*reply, answer, watch);
        // A note goes back only as a request to stop: the helper went on.
        if (IsNote(reply->kind)) {
            if (answer.Int(0) == 0) continue;
            // A transfer that the engine has not finished stops at once, with
            // its helper; one at 100 percent is whole, and stands as done.
            const bool transfer = request.kind == Kind::GetFile || request.kind == Kind::PutFile;
            if (transfer && reply->Int(1) < 100) {
                watch->abandoned = Abandoned::ByHost;
                return false;
            }
            stopAsked = true;
        }
        if (!Send(answer)) return false;
    }
}

bool HelperLink::Receive(const Message& request, Message* message, Watch* watch) {
    // Without a progress callback the host has no way to stop a request itself.
    const bool hostWatches = watch->shown && progress_ != nullptr;
    ULONGLONG quietSince = GetTickCount64();  // restarts while the helper shows a window
    ULONGLONG askAt = kQuestionAfterMs;       // the silence that asks the user next
    for (DWORD wait = kQuietMs;; wait = kAskAgainMs) {
        switch (fromHelper_.Receive(message, wait)) {
        case HelperInbox::Wait::Message: return true;
        case HelperInbox::Wait::Broken: return false;
        case HelperInbox::Wait::Quiet: break;
        }
        if (ShowsWindow()) {
            quietSince = GetTickCount64();
            askAt = kQuestionAfterMs;
        }
        if (hostWatches) {
            // The texts stay valid and unchanged until the host's callback returns.
            CallbackText source(watch->source), target(watch->target);
            if (progress_(pluginNumber_, source.Get(), target.Get(), watch->percent) != 0) {
                watch->abandoned = Abandoned::ByHost;
                return false;
            }
        }
        const ULONGLONG silent = GetTickCount64() - quietSince;
        if (request_ == nullptr) {
            if (silent < kGiveUpAfterMs) continue;
            watch->abandoned = Abandoned::AfterBound;
            return false;
        }
        if (silent < askAt) continue;
        const bool stop = UserStops(request, *watch, silent);
        // What the helper sent while the question was open is its answer after all.
        switch (fromHelper_.Receive(message, 0)) {
        case HelperInbox::Wait::Message: return true;
        case HelperInbox::Wait::Broken: return false;
        case HelperInbox::Wait::Quiet: break;
        }
        if (stop) {
            watch->abandoned = Abandoned::ByUser;
            return false;
        }
        askAt = 2 * (GetTickCount64() - quietSince);
    }
}

bool HelperLink::ShowsWindow() {
    const HWND window = VisibleWindowOf(processId_);
    if (window == nullptr) return false;
    // Once, so that a user who turns to the file manager is not pulled back.
    if (window != frontedWindow_) {
        frontedWindow_ = window;
        SetForegroundWindow(window);
    }
    return true;
}

bool HelperLink::UserStops(const Message& request, const Watch& watch, ULONGLONG silentMs) const {
    std::string text = "The storage engine has not answered for " + std::to_string(silentMs / 1000) +
                       " seconds while " + WhatWaits(request, watch) +
                       ".\n\nStop the storage engine? Yes stops it, and what it was doing is left"
                       " unfinished. No waits on.";
    char title[] = "Corvanel";
    char returned[16] = {};  // a Yes/No question returns no text; a host may still write one
    return request_(pluginNumber_, kRequestYesNo, title, &text[0], returned, sizeof(returned)) != FALSE;
}

Message HelperLink::Answer(const Message& callback) const {
    switch (callback.kind) {
    case Kind::Progress:
    case Kind::ProgressNote: {
        // The texts stay valid and unchanged until the host's callback returns.
        CallbackText source(callback.TextAt(0)), target(callback.TextAt(1));
        const int abort = progress_ != nullptr ? progress_(callback.Int(0), source.Get(), target.Get(),
                                                           callback.Int(1))
                                               : 0;
        return std::move(Message(AnswerTo(callback.kind)).Add(abort));
    }
    case Kind::Log: {
        CallbackText text(callback.TextAt(0));
        if (log_ != nullptr) log_(callback.Int(0), callback.Int(1), text.Get());
        return Message(Kind::LogAnswer);
    }
    default: {
        CallbackText title(callback.TextAt(0)), text(callback.TextAt(1));
        const int size = std::clamp(callback.Int(2), 0, static_cast<int>(kMaxTextBytes) + 1);
        std::string returned(static_cast<std::size_t>(size) + 1, '\0');
        const Text& shown = callback.TextAt(2);
        if (shown && size > 0) shown->copy(&returned[0], std::min<std::size_t>(shown->size(), size - 1));
        const BOOL answered = request_ != nullptr && size > 0
                                  ? request_(callback.Int(0), callback.Int(1), title.Get(), text.Get(),
                                             &returned[0], size)
                                  : FALSE;
        returned.resize(std::strlen(returned.c_str()));
        return std::move(Message(Kind::RequestAnswer).Add(answered).Add(Text(returned)));
    }
    }
}

bool HelperLink::CopyBatch(const Message& reply, Message* batch) const {
    const char* region = shared_.Region(static_cast<std::uint32_t>(reply.Int(0)));
    const std::uint32_t entries = static_cast<std::uint32_t>(reply.Int(1));
    const std::uint32_t bytes = static_cast<std::uint32_t>(reply.Int(2));
    if (region == nullptr || bytes > kBatchRegionBytes) return false;
    batch->batch.assign(region, bytes);
    batch->batchEntries = entries;
    return CheckBatch(batch->batch, entries);
}

void HelperLink::Stop(bool now) {
    if (now && process_.Valid()) TerminateProcess(process_.Get(), 1);
    alive_.Reset();
    fromHelper_.Reset();
    if (process_.Valid()) {
        ++generation_;
        if (WaitForSingleObject(process_.Get(), kHelperExitWaitMs) != WAIT_OBJECT_0) {
            TerminateProcess(process_.Get(), 1);
            WaitForSingleObject(process_.Get(), kHelperExitWaitMs);
        }
        process_.Reset();
    }
    // Once the helper is gone nobody else writes into the section.
    shared_.Reset();
    toHelperArrived_.Reset();
    toModuleArrived_.Reset();
}

}  // namespace bridge
