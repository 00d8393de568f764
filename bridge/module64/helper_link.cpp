#include "bridge/module64/helper_link.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "bridge/channel.h"
#include "bridge/module64/host_calls.h"
#include "common/local_file.h"
#include "common/timing.h"

namespace bridge {

namespace {

constexpr wchar_t kHelperName[] = L"corvanel_helper.exe";
// How long an ended helper is given to leave once the pipe it watches is closed; it
// leaves at once unless it is stuck, and is then ended by force.
constexpr DWORD kHelperExitWaitMs = 5000;
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
    std::wstring commandLine = L"\"" + path + L"\" --handles";
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

// A progress report of the helper's passed on to the host: what the request
// shows from now on while the helper is silent.
void NotePassedOn(const Message& report, Watch* watch) {
    watch->source = report.TextAt(0);
    watch->target = report.TextAt(1);
    watch->percent = report.Int(1);
}

// The answer of a host that gave the request up: a transfer's report is
// answered abort, a question No.
Message CancelledAnswer(Kind callback) {
    switch (callback) {
    case Kind::Progress: return std::move(Message(Kind::ProgressAnswer).Add(1));
    case Kind::Log: return Message(Kind::LogAnswer);
    default: return std::move(Message(Kind::RequestAnswer).Add(FALSE).Add(Text(std::string())));
    }
}

bool IsTransfer(Kind kind) { return kind == Kind::GetFile || kind == Kind::PutFile; }

// A transfer request's local file, as the host named it.
const char* LocalNameOf(const Message& request) {
    const Text& name = request.TextAt(request.kind == Kind::GetFile ? 1 : 0);
    return name ? name->c_str() : nullptr;
}

// A download's object size from the host's RemoteInfo record it carries;
// UINT64_MAX without one.
std::uint64_t ObjectSize(const Message& download) {
    const Text& info = download.TextAt(2);
    if (!info || info->size() < 8) return UINT64_MAX;
    std::uint32_t low = 0, high = 0;
    std::memcpy(&low, info->data(), 4);
    std::memcpy(&high, info->data() + 4, 4);
    return (static_cast<std::uint64_t>(high) << 32) | low;
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

HelperLink::HelperLink() = default;

HelperLink::~HelperLink() {
    // Closing the pipe ends the helper; it is not waited for, as this runs
    // while the module unloads. Its view of the section stays valid.
    alive_.Reset();
    fromHelper_.Reset();
    process_.Reset();
    shared_.Reset();
}

int HelperLink::Init(const CallContext& context, int pluginNumber, tProgressProc progress,
                     tLogProc log, tRequestProc request) {
    Floor::Turn turn(floor_, Floor::Mode::Alone);
    if (!turn.Taken()) return -1;
    // Each FsInit makes a new engine, as in the host's own process: in a new
    // helper, which also sees the host's environment as it is now. A helper
    // that has only served FsGetDefRootName is used as it is.
    if (helperInitialised_) Stop();
    initCalled_ = true;
    pluginNumber_ = pluginNumber;
    progress_ = progress;
    log_ = log;
    request_ = request;
    Watch unwatched;
    const std::optional<Message> reply =
        Serve(RequestOf(Kind::Init, context).Add(pluginNumber).Add(CallbackMask()), &unwatched,
              turn, kAnyHelper);
    const int result = reply ? reply->Int(0) : -1;
    if (result != 0) Stop();  // a plugin without an engine keeps no process
    return result;
}

std::optional<Message> HelperLink::Call(const Message& request, Watch* watch, std::uint32_t helper) {
    Watch unwatched;
    if (watch == nullptr) watch = &unwatched;
    Floor::Turn turn(floor_, Floor::Mode::Nest);
    if (!turn.Taken()) {
        watch->refused = true;
        return std::nullopt;
    }
    return Serve(request, watch, turn, helper);
}

void HelperLink::Fault(std::uint32_t helper) {
    Floor::Turn turn(floor_, Floor::Mode::Nest);
    if (turn.Taken() && process_.Valid() && helper == generation_) Stop();
}

void HelperLink::CloseListing(const CallContext& context, std::int32_t handle, std::uint32_t helper) {
    Watch watch;
    Call(RequestOf(Kind::FindClose, context).Add(handle), &watch, helper);
    if (!watch.refused) return;
    SrwLock::Exclusive hold(unclosedLock_);
    unclosed_.emplace_back(helper, handle);
}

std::optional<Message> HelperLink::Serve(const Message& request, Watch* watch, Floor::Turn& turn,
                                         std::uint32_t helper) {
    if (helper != kAnyHelper && (helper != generation_ || !Running())) return std::nullopt;
    if (!Running()) {
        if (!Start(request, watch, turn)) return std::nullopt;
        // A replacement for a helper that ended: FsInit again, as the host
        // called it. Its result is the plugin's business: without an engine
        // the plugin answers each call with its own failure values.
        if (initCalled_ && request.kind != Kind::Init) {
            Message ignored;
            Watch starting;  // the host sees nothing of it, but may have to stop it
            if (!Exchange(RequestOf(Kind::Init, CurrentContext()).Add(pluginNumber_).Add(CallbackMask()),
                          &ignored, &starting, turn)) {
                watch->abandoned = starting.abandoned;
                return std::nullopt;
            }
        }
    }
    turn.Bind(generation_);
    watch->helper = generation_;
    files_.Look(generation_);
    std::optional<TransferFiles::Claim> claim;
    if (IsTransfer(request.kind)) {
        claim.emplace(files_, WideLocalName(LocalNameOf(request)));
        if (claim->Refused()) {
            watch->inUse = true;
            return std::nullopt;
        }
        watch->claim = &*claim;
    }
    Message reply;
    const bool answered = CatchUp(request, watch, turn) && Exchange(request, &reply, watch, turn);
    watch->claim = nullptr;
    if (request.kind == Kind::GetFile) {
        // A download's local file is deleted only when this transfer's
        // engine may have written it and it is not whole: the plugin called
        // the engine once the host let its first report pass, no report has
        // shown the engine's 100 percent, and the helper ended under it. One
        // whose engine goes on is left to it.
        if (watch->engineGoesOn && !watch->whole) {
            claim->LeaveToEngine(watch->helper, ObjectSize(request));
        } else if (!answered && !watch->detached && watch->engineMayWrite && !watch->whole) {
            DeleteFileW(claim->File().c_str());
        }
    }
    if (!answered) return std::nullopt;
    return reply;
}

int HelperLink::CallbackMask() const {
    return (progress_ ? kHasProgress : 0) | (log_ ? kHasLog : 0) | (request_ ? kHasRequest : 0);
}

bool HelperLink::CatchUp(const Message& request, Watch* watch, Floor::Turn& turn) {
    // Until this request is sent, the silence is the ghosts': the host and
    // the user are asked about them in this request's words.
    const std::uint32_t serving = generation_;
    bool drained = false;
    try {
        drained = Drain(request, watch, turn, std::nullopt);
    } catch (...) {
        // Out of memory part-way: the ghosts' conversation is lost.
        if (generation_ == serving) Stop(true);
        throw;
    }
    if (!drained) {
        if (generation_ == serving && !watch->detached) Stop(watch->abandoned != Abandoned::No, watch->abandoned);
        return false;
    }
    std::vector<std::int32_t> handles;
    {
        SrwLock::Exclusive hold(unclosedLock_);
        for (const auto& unclosed : unclosed_) {
            if (unclosed.first == serving) handles.push_back(unclosed.second);
        }
        unclosed_.clear();  // the others went with their helpers
    }
    for (const std::int32_t handle : handles) {
        Message closed;
        Watch closing;
        if (!Exchange(RequestOf(Kind::FindClose, CurrentContext()).Add(handle), &closed, &closing, turn)) {
            watch->abandoned = closing.abandoned;
            return false;
        }
    }
    return true;
}

bool HelperLink::Exchange(const Message& request, Message* reply, Watch* watch, Floor::Turn& turn) {
    // The host's process is the foreground one while the user works in it: a
    // window that the engine opens for the request (its properties, a
    // sign-in) may then come to the front instead of opening behind it.
    AllowSetForegroundWindow(processId_);
    const std::uint32_t serving = generation_;
    bool conversed = false;
    try {
        conversed = Converse(request, reply, watch, turn) &&
                    (reply->kind != Kind::FindBatch || TakeBatch(reply));
    } catch (...) {
        // Out of memory part-way: the helper may be waiting for an answer
        // that will not come, so it is not asked anything more.
        if (generation_ == serving) Stop(true);
        throw;
    }
    if (!conversed) {
        // A helper ended under a nested request has gone already; one that
        // serves a detached request goes on.
        if (generation_ == serving && !watch->detached) Stop(watch->abandoned != Abandoned::No, watch->abandoned);
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

bool HelperLink::Start(const Message& request, Watch* watch, Floor::Turn& turn) {
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
    __atomic_add_fetch(&generation_, 1, __ATOMIC_RELEASE);
    turn.Bind(generation_);
    // The helper's end is its own now: once this module closes its end, the
    // helper's watcher sees a broken pipe and ends it.
    alive.read.Reset();
    Message ready;
    if (!Receive(request, &ready, watch, turn) || ready.kind != Kind::Ready ||
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

bool HelperLink::Converse(const Message& request, Message* reply, Watch* watch, Floor::Turn& turn) {
    if (!Send(request)) return false;
    turn.Sent(request.kind);
    for (;;) {
        if (!Receive(request, reply, watch, turn)) return false;
        const Next next = Classify(request.kind, reply->kind);
        if (next != Next::Callback) return next == Next::Reply;
        if (!AnswerCallback(request, *reply, watch, turn)) return false;
    }
}

bool HelperLink::AnswerCallback(const Message& request, const Message& callback, Watch* watch,
                                Floor::Turn& turn) {
    const bool report = IsTransfer(request.kind) && callback.kind == Kind::Progress;
    const int percent = report ? callback.Int(1) : 0;
    // The plugin reports only once it has taken the transfer on: the local
    // file is this transfer's, whatever engine it was left to before.
    if (report && !watch->engineMayWrite && watch->claim != nullptr) watch->claim->Accepted();
    // Once the engine has reported the whole file, a helper that ends while
    // the host looks at it leaves the transfer whole.
    if (report && watch->engineMayWrite && percent >= 100) watch->whole = true;
    Message answer;
    turn.Open();
    try {
        answer = Answer(callback);
    } catch (...) {
        turn.Close();
        throw;
    }
    if (!turn.Close()) {
        watch->abandoned = turn.Why();
        return false;
    }
    if (!Drain(request, watch, turn, callback.kind)) return false;
    if (callback.kind == Kind::Progress && watch->shown) NotePassedOn(callback, watch);
    if (report && answer.Int(0) != 0 && watch->engineMayWrite && percent < 100) {
        // Stopped once the engine has it and before it is whole, a transfer
        // is stopped in the engine: the helper is ended with it. Not when
        // requests below wait on that helper too: the engine then finishes
        // it on its own, as in the host's own process.
        if (!turn.Shared()) {
            watch->abandoned = Abandoned::ByHost;
            return false;
        }
        watch->engineGoesOn = true;
    }
    if (!Send(answer)) return false;
    // The plugin calls the engine once its first report is let pass.
    if (report && answer.Int(0) == 0) watch->engineMayWrite = true;
    return true;
}

bool HelperLink::Drain(const Message& request, Watch* watch, Floor::Turn& turn, std::optional<Kind> owes) {
    for (std::optional<Floor::Ghost> ghost; (ghost = turn.NextGhost());) {
        if (ghost->owes) {
            if (!Send(CancelledAnswer(*ghost->owes))) return false;
            turn.GhostAnswered();
            continue;
        }
        Message late;
        if (!Receive(request, &late, watch, turn, owes)) return false;
        switch (Classify(ghost->kind, late.kind)) {
        case Next::Callback:
            if (!Send(CancelledAnswer(late.kind))) return false;
            break;
        case Next::Reply:
            turn.GhostEnded();
            // A listing opened for a host that no longer waits for it; left
            // open when there is no memory to note it.
            if (late.kind == Kind::FindResult && late.Int(0) != -1) {
                SrwLock::Exclusive hold(unclosedLock_);
                try {
                    unclosed_.emplace_back(generation_, late.Int(0));
                } catch (...) {
                }
            }
            break;
        case Next::Fault: return false;
        }
    }
    return true;
}

bool HelperLink::Receive(const Message& request, Message* message, Watch* watch, Floor::Turn& turn,
                         std::optional<Kind> owes) {
    // Without a progress callback the host has no way to stop a request itself.
    const bool hostWatches = watch->shown && progress_ != nullptr;
    ULONGLONG quietSince = GetTickCount64();  // restarts while the helper shows a window
    ULONGLONG askAt = kQuestionAfterMs;       // the silence that asks the user next
    // While this request asks the host about the silence, the floor knows:
    // the host may be waiting for another thread's request (Floor).
    struct Asking {
        Asking(Floor::Turn& turn, Floor::Asks asks) : turn_(turn) { turn_.Asking(asks); }
        ~Asking() { turn_.Asking(Floor::Asks::Nothing); }
        Floor::Turn& turn_;
    };
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
            int cancel = 0;
            {
                const Asking asking(turn, Floor::Asks::Progress);
                cancel = CallProgress(progress_, pluginNumber_, source.Get(), target.Get(), watch->percent);
            }
            if (cancel != 0) {
                // What the helper sent while the host's callback ran is its answer after all.
                switch (fromHelper_.Receive(message, 0)) {
                case HelperInbox::Wait::Message: return true;
                case HelperInbox::Wait::Broken: return false;
                case HelperInbox::Wait::Quiet: break;
                }
                return CancelledByHost(watch, turn, owes);
            }
        }
        const ULONGLONG silent = GetTickCount64() - quietSince;
        if (request_ == nullptr) {
            if (silent < kGiveUpAfterMs) continue;
            watch->abandoned = Abandoned::AfterBound;
            return false;
        }
        if (silent < askAt) continue;
        bool stop = false;
        {
            const Asking asking(turn, Floor::Asks::Question);
            stop = UserStops(request, *watch, silent, turn.Shared());
        }
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

bool HelperLink::CancelledByHost(Watch* watch, Floor::Turn& turn, std::optional<Kind> owes) {
    watch->abandoned = Abandoned::ByHost;
    if (!turn.Shared()) return false;  // the helper is ended with it
    watch->detached = true;
    if (turn.WasSent()) {
        turn.Detach(owes);
        watch->engineGoesOn = watch->engineMayWrite;
    }
    return false;
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

bool HelperLink::UserStops(const Message& request, const Watch& watch, ULONGLONG silentMs,
                           bool others) const {
    std::string text = "The storage engine has not answered for " + std::to_string(silentMs / 1000) +
                       " seconds while " + WhatWaits(request, watch) +
                       ".\n\nStop the storage engine? Yes stops it, and what it was doing is left"
                       " unfinished" +
                       (others ? ", and so is the file manager's action this one was started"
                                 " from. "
                               : ". ") +
                       "No waits on.";
    char title[] = "Corvanel";
    char returned[16] = {};  // a Yes/No question returns no text; a host may still write one
    return CallRequest(request_, pluginNumber_, kRequestYesNo, title, &text[0], returned, sizeof(returned)) !=
           FALSE;
}

Message HelperLink::Answer(const Message& callback) const {
    switch (callback.kind) {
    case Kind::Progress: {
        // The texts stay valid and unchanged until the host's callback returns.
        CallbackText source(callback.TextAt(0)), target(callback.TextAt(1));
        const int abort = progress_ != nullptr ? CallProgress(progress_, callback.Int(0), source.Get(),
                                                              target.Get(), callback.Int(1))
                                               : 0;
        return std::move(Message(AnswerTo(callback.kind)).Add(abort));
    }
    case Kind::Log: {
        CallbackText text(callback.TextAt(0));
        if (log_ != nullptr) CallLog(log_, callback.Int(0), callback.Int(1), text.Get());
        return Message(Kind::LogAnswer);
    }
    default: {
        CallbackText title(callback.TextAt(0)), text(callback.TextAt(1));
        const int size = std::clamp(callback.Int(2), 0, static_cast<int>(kMaxTextBytes) + 1);
        std::string returned(static_cast<std::size_t>(size) + 1, '\0');
        const Text& shown = callback.TextAt(2);
        if (shown && size > 0) shown->copy(&returned[0], std::min<std::size_t>(shown->size(), size - 1));
        const BOOL answered = request_ != nullptr && size > 0
                                  ? CallRequest(request_, callback.Int(0), callback.Int(1), title.Get(),
                                                text.Get(), &returned[0], size)
                                  : FALSE;
        returned.resize(std::strlen(returned.c_str()));
        return std::move(Message(Kind::RequestAnswer).Add(answered).Add(Text(returned)));
    }
    }
}

bool HelperLink::TakeBatch(Message* reply) const {
    const char* region = shared_.Region(static_cast<std::uint32_t>(reply->Int(0)));
    const std::uint32_t entries = static_cast<std::uint32_t>(reply->Int(1));
    const std::uint32_t bytes = static_cast<std::uint32_t>(reply->Int(2));
    if (region == nullptr || bytes > kBatchRegionBytes) return false;
    reply->batch.assign(region, bytes);
    reply->batchEntries = entries;
    return CheckBatch(reply->batch, entries);
}

void HelperLink::Stop(bool now, Abandoned why) {
    const std::uint32_t ended = generation_;
    // Whether its engine still holds the downloads it was left, looked at
    // while it still can.
    if (process_.Valid() && WaitForSingleObject(process_.Get(), 0) == WAIT_TIMEOUT) files_.Look(ended);
    if (now && process_.Valid()) TerminateProcess(process_.Get(), 1);
    alive_.Reset();
    fromHelper_.Reset();
    if (process_.Valid()) {
        // The requests it served that are still under way fail with it.
        floor_.HelperEnded(ended, why);
        __atomic_add_fetch(&generation_, 1, __ATOMIC_RELEASE);
        if (WaitForSingleObject(process_.Get(), kHelperExitWaitMs) != WAIT_OBJECT_0) {
            TerminateProcess(process_.Get(), 1);
            WaitForSingleObject(process_.Get(), kHelperExitWaitMs);
        }
        process_.Reset();
        files_.HelperEnded(ended);
    }
    // Once the helper is gone nobody else writes into the section.
    shared_.Reset();
    toHelperArrived_.Reset();
    toModuleArrived_.Reset();
}

}  // namespace bridge
