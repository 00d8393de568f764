#include "bridge/module64/helper_link.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "common/local_file.h"

namespace bridge {

namespace {

// The answer of a host that gave the request up: a transfer's report is
// answered abort, a question No.
Message CancelledAnswer(Kind callback) {
    switch (callback) {
    case Kind::Progress: return Pack(msg::ProgressAnswer{1});
    case Kind::Log: return Pack(msg::LogAnswer{});
    default: return Pack(msg::RequestAnswer{FALSE, std::string()});
    }
}

bool IsTransfer(Kind kind) { return kind == Kind::GetFile || kind == Kind::PutFile; }

// A transfer request's local file, as the host named it.
Text LocalNameOf(const Message& request) {
    return request.kind == Kind::GetFile ? As<msg::GetFileRequest>(request).localName
                                         : As<msg::PutFileRequest>(request).localName;
}

// A download's object size from the host's RemoteInfo record it carries
// (its first field the size's low half, then its high half); UINT64_MAX
// without one.
std::uint64_t ObjectSize(const Message& download) {
    const Text info = As<msg::GetFileRequest>(download).remoteInfo;
    if (!info || info->size() < 8) return UINT64_MAX;
    std::uint32_t low = 0, high = 0;
    std::memcpy(&low, info->data(), 4);
    std::memcpy(&high, info->data() + 4, 4);
    return (static_cast<std::uint64_t>(high) << 32) | low;
}

}  // namespace

CallContext CurrentContext() {
    const DWORD lastError = GetLastError();
    return CallContext{GetThreadLocale(), lastError};
}

HelperLink& HelperLink::Instance() {
    static HelperLink link;
    return link;
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
    host_ = HostCallbacks{pluginNumber, progress, log, request};
    auto init = RequestOf<msg::InitRequest>(context);
    init.pluginNumber = pluginNumber;
    init.callbacks = host_.Mask();
    Watch unwatched;
    const std::optional<Message> reply = Serve(Pack(init), &unwatched, turn, kAnyHelper);
    const int result = reply ? As<msg::Result>(*reply).result : -1;
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
    if (turn.Taken() && helper_.Started() && helper == generation_) Stop();
}

void HelperLink::CloseListing(const CallContext& context, std::int32_t handle, std::uint32_t helper) {
    auto close = RequestOf<msg::FindCloseRequest>(context);
    close.handle = static_cast<std::uint32_t>(handle);
    Watch watch;
    Call(Pack(close), &watch, helper);
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
            auto init = RequestOf<msg::InitRequest>(CurrentContext());
            init.pluginNumber = host_.pluginNumber;
            init.callbacks = host_.Mask();
            Message ignored;
            Watch starting;  // the host sees nothing of it, but may have to stop it
            if (!Exchange(Pack(init), &ignored, &starting, turn)) {
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
        const Text name = LocalNameOf(request);
        claim.emplace(files_, WideLocalName(name ? name->c_str() : nullptr));
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

bool HelperLink::Running() {
    if (!helper_.Started()) return false;
    if (helper_.Alive()) return true;
    Stop();  // ended since the last call
    return false;
}

bool HelperLink::Start(const Message& request, Watch* watch, Floor::Turn& turn) {
    if (!helper_.Start()) return false;
    helperInitialised_ = false;
    __atomic_add_fetch(&generation_, 1, __ATOMIC_RELEASE);
    turn.Bind(generation_);
    Message ready;
    if (!Receive(request, &ready, watch, turn) || ready.kind != Kind::Ready ||
        As<msg::Ready>(ready).version != kProtocolVersion) {
        Stop(watch->abandoned != Abandoned::No);
        return false;
    }
    return true;
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
        auto close = RequestOf<msg::FindCloseRequest>(CurrentContext());
        close.handle = static_cast<std::uint32_t>(handle);
        Message closed;
        Watch closing;
        if (!Exchange(Pack(close), &closed, &closing, turn)) {
            watch->abandoned = closing.abandoned;
            return false;
        }
    }
    return true;
}

bool HelperLink::Exchange(const Message& request, Message* reply, Watch* watch, Floor::Turn& turn) {
    helper_.MayComeToFront();
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

bool HelperLink::Converse(const Message& request, Message* reply, Watch* watch, Floor::Turn& turn) {
    if (!helper_.Send(request)) return false;
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
    const std::optional<msg::Progress> report =
        callback.kind == Kind::Progress ? std::optional<msg::Progress>(As<msg::Progress>(callback)) : std::nullopt;
    const bool transfer = report && IsTransfer(request.kind);
    // The plugin reports only once it has taken the transfer on: the local
    // file is this transfer's, whatever engine it was left to before.
    if (transfer && !watch->engineMayWrite && watch->claim != nullptr) watch->claim->Accepted();
    // Once the engine has reported the whole file, a helper that ends while
    // the host looks at it leaves the transfer whole.
    if (transfer && watch->engineMayWrite && report->percent >= 100) watch->whole = true;
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
    if (report && watch->shown) {
        // What the request shows from now on while the helper is silent.
        watch->source = report->source;
        watch->target = report->target;
        watch->percent = report->percent;
    }
    const bool goOn = !transfer || As<msg::ProgressAnswer>(answer).abort == 0;
    if (!goOn && watch->engineMayWrite && report->percent < 100) {
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
    if (!helper_.Send(answer)) return false;
    // The plugin calls the engine once its first report is let pass.
    if (transfer && goOn) watch->engineMayWrite = true;
    return true;
}

Message HelperLink::Answer(const Message& callback) const {
    switch (callback.kind) {
    case Kind::Progress: {
        auto report = As<msg::Progress>(callback);
        const int abort = host_.progress != nullptr ? CallProgress(host_.progress, report.pluginNumber,
                                                                   Writable(report.source),
                                                                   Writable(report.target), report.percent)
                                                    : 0;
        return Pack(msg::ProgressAnswer{abort});
    }
    case Kind::Log: {
        auto line = As<msg::Log>(callback);
        if (host_.log != nullptr) CallLog(host_.log, line.pluginNumber, line.messageType, Writable(line.text));
        return Pack(msg::LogAnswer{});
    }
    default: {
        auto question = As<msg::Request>(callback);
        const int size = std::clamp(question.size, 0, static_cast<int>(kMaxTextBytes) + 1);
        std::string returned(static_cast<std::size_t>(size) + 1, '\0');
        if (question.shown && size > 0) {
            question.shown->copy(&returned[0], std::min<std::size_t>(question.shown->size(), size - 1));
        }
        const BOOL answered = host_.request != nullptr && size > 0
                                  ? CallRequest(host_.request, question.pluginNumber, question.requestType,
                                                Writable(question.title), Writable(question.text), &returned[0],
                                                size)
                                  : FALSE;
        returned.resize(std::strlen(returned.c_str()));
        return Pack(msg::RequestAnswer{answered, returned});
    }
    }
}

bool HelperLink::Drain(const Message& request, Watch* watch, Floor::Turn& turn, std::optional<Kind> owes) {
    for (std::optional<Floor::Ghost> ghost; (ghost = turn.NextGhost());) {
        if (ghost->owes) {
            if (!helper_.Send(CancelledAnswer(*ghost->owes))) return false;
            turn.GhostAnswered();
            continue;
        }
        Message late;
        if (!Receive(request, &late, watch, turn, owes)) return false;
        switch (Classify(ghost->kind, late.kind)) {
        case Next::Callback:
            if (!helper_.Send(CancelledAnswer(late.kind))) return false;
            break;
        case Next::Reply: {
            turn.GhostEnded();
            // A listing opened for a host that no longer waits for it; left
            // open when there is no memory to note it.
            const std::int32_t handle = late.kind == Kind::FindResult ? As<msg::FindResult>(late).handle : -1;
            if (handle == -1) break;
            SrwLock::Exclusive hold(unclosedLock_);
            try {
                unclosed_.emplace_back(generation_, handle);
            } catch (...) {
            }
            break;
        }
        case Next::Fault: return false;
        }
    }
    return true;
}

bool HelperLink::Receive(const Message& request, Message* message, Watch* watch, Floor::Turn& turn,
                         std::optional<Kind> owes) {
    switch (silence_.Next(request, message, watch, turn)) {
    case SilenceWatch::Heard::Message: return true;
    case SilenceWatch::Heard::Cancelled: return CancelledByHost(watch, turn, owes);
    case SilenceWatch::Heard::Broken:
    case SilenceWatch::Heard::GivenUp: break;
    }
    return false;
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

bool HelperLink::TakeBatch(Message* reply) const {
    const auto batch = As<msg::FindBatch>(*reply);
    const char* region = helper_.Region(batch.region);
    if (region == nullptr || batch.bytes > kBatchRegionBytes) return false;
    reply->batch.assign(region, batch.bytes);
    reply->batchEntries = batch.entries;
    return CheckBatch(reply->batch, batch.entries);
}

void HelperLink::Stop(bool now, Abandoned why) {
    const std::uint32_t ended = generation_;
    // Whether its engine still holds the downloads it was left, looked at
    // while it still can.
    if (helper_.Alive()) files_.Look(ended);
    if (helper_.Started()) {
        // The requests it served that are still under way fail with it.
        floor_.HelperEnded(ended, why);
        __atomic_add_fetch(&generation_, 1, __ATOMIC_RELEASE);
        helper_.End(now);
        files_.HelperEnded(ended);
    } else {
        helper_.End(now);  // what a start that failed part-way left
    }
}

}  // namespace bridge
