#pragma once
// corvanel.wfx64's conversation with its 32-bit helper: each request sent and
// its reply read, the helper's callbacks answered through the host's own on
// the way, requests made from inside those callbacks nested in them, and a
// helper that ends or breaks the protocol ended and replaced by the next
// call. Its rooms: the helper's process (helper_process.h), the floor of the
// requests under way (floor.h), the silence watch (silence_watch.h) and the
// transfers' local files (transfer_files.h).
//
// A request whose helper falls silent can be stopped, by the host when it
// watches the request and by the user when asked: the helper is then ended,
// and its engine with it; unless the host cancelled a request nested in
// another's callback on the same helper: that request alone is given up, and
// the helper's late messages for it are read by the request that goes on
// next. A helper ended under a request (by a nested request's stop, or
// because it died) fails that request too.

#include <windows.h>

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "bridge/messages.h"
#include "bridge/module64/floor.h"
#include "bridge/module64/helper_process.h"
#include "bridge/module64/host_calls.h"
#include "bridge/module64/silence_watch.h"
#include "bridge/module64/transfer_files.h"
#include "bridge/protocol.h"
#include "common/srw_lock.h"
#include "common/wfx_api.h"

namespace bridge {

// The host thread's state that each request carries, taken first thing in
// every export, before anything can change the last error.
struct CallContext {
    LCID locale;
    DWORD lastError;
};
CallContext CurrentContext();
// A request of type T that starts with `context`.
template <typename T>
T RequestOf(const CallContext& context) {
    return RequestWith<T>(context.locale, context.lastError);
}

class HelperLink {
public:
    // The module's one link, made on first use; its destructor, when the
    // module unloads, ends the helper.
    static HelperLink& Instance();

    HelperLink() = default;
    HelperLink(const HelperLink&) = delete;
    HelperLink& operator=(const HelperLink&) = delete;

    // Any helper, for Call.
    static constexpr std::uint32_t kAnyHelper = 0;

    // FsInit: keeps the arguments for later restarts and runs FsInit in a
    // new helper (one that has served FsInit before is ended first). A
    // helper whose FsInit fails is ended. Waits until no request is under
    // way; -1 when refused (Floor).
    int Init(const CallContext& context, int pluginNumber, tProgressProc progress, tLogProc log,
             tRequestProc request);

    // Runs one request and returns its reply, a FindBatch's entries copied
    // out of the shared section and checked. A helper that is not running
    // is started first, and FsInit repeated in it with the stored arguments
    // when the host has called FsInit; with `helper` other than kAnyHelper,
    // only that helper serves it. Nothing when no helper can be started, when
    // it ends or breaks the protocol (it is then ended), when the request is
    // refused (watch->refused, watch->inUse), when `helper` has ended, or
    // when the request was given up (watch->abandoned). A silent helper never
    // holds the host for good (SilenceWatch).
    std::optional<Message> Call(const Message& request, Watch* watch = nullptr,
                                std::uint32_t helper = kAnyHelper);

    // Ends the helper of that generation, when it still runs, after a reply
    // of its that made no sense to the caller.
    void Fault(std::uint32_t helper);

    // Closes the plugin's listing `handle` in helper `helper`, if that one
    // still runs; a close refused now (made from inside this thread's own
    // wait for the helper) is made before the next request to that helper.
    void CloseListing(const CallContext& context, std::int32_t handle, std::uint32_t helper);

    // Counts helper starts and ends: what a caller holds from a helper is
    // stale once this changes, also while no new helper has started yet
    // (a listing's entries read ahead end with their helper).
    std::uint32_t Generation() const { return __atomic_load_n(&generation_, __ATOMIC_ACQUIRE); }

private:
    // Call's work once the floor is taken.
    std::optional<Message> Serve(const Message& request, Watch* watch, Floor::Turn& turn, std::uint32_t helper);
    // Whether the helper runs; one that ended since the last call is stopped.
    bool Running();
    bool Start(const Message& request, Watch* watch, Floor::Turn& turn);
    // Before a request goes to the helper: the late messages of the ghosts
    // next to it, then the closes left for this helper.
    bool CatchUp(const Message& request, Watch* watch, Floor::Turn& turn);
    // One request and its reply, the helper ended when that fails, unless
    // the request was detached.
    bool Exchange(const Message& request, Message* reply, Watch* watch, Floor::Turn& turn);
    bool Converse(const Message& request, Message* reply, Watch* watch, Floor::Turn& turn);
    // The host's answer to one of the helper's callbacks, sent, with the
    // floor open for requests made from inside it. False when the request
    // was given up meanwhile (watch->abandoned says why).
    bool AnswerCallback(const Message& request, const Message& callback, Watch* watch, Floor::Turn& turn);
    Message Answer(const Message& callback) const;
    // Reads the late messages of the ghosts next to `turn` until none is
    // left: their callbacks answered as a cancelled request's, their replies
    // dropped (a listing they opened left to close). `request` and `watch`:
    // what the host and user are asked about while the helper is silent;
    // `owes`: the callback that `turn` has yet to answer.
    bool Drain(const Message& request, Watch* watch, Floor::Turn& turn, std::optional<Kind> owes);
    // The helper's next message while `request` waits for it (SilenceWatch).
    // False when the helper has ended or broken the protocol, or the request
    // was given up.
    bool Receive(const Message& request, Message* message, Watch* watch, Floor::Turn& turn,
                 std::optional<Kind> owes = std::nullopt);
    // The host cancelled in the silence: the request is given up; with
    // requests below it on the same helper, that helper goes on serving
    // them, and this request's late messages (if it has the request) are
    // read by the next. Always false.
    bool CancelledByHost(Watch* watch, Floor::Turn& turn, std::optional<Kind> owes);
    // A FindBatch reply's entries, copied out of the shared section into it
    // and checked.
    bool TakeBatch(Message* reply) const;
    // Ends the helper: `now` ends its process first. The requests under way
    // that it served fail, for `why`; what was left to its engine goes.
    void Stop(bool now = false, Abandoned why = Abandoned::No);

    HostCallbacks host_;         // as FsInit gave them, repeated in every new helper
    bool initCalled_ = false;
    bool helperInitialised_ = false;  // the running helper has served FsInit
    std::uint32_t generation_ = 0;
    HelperProcess helper_;
    SilenceWatch silence_{helper_, host_};
    Floor floor_;
    TransferFiles files_;
    // Listings closed while the module could not reach their helper: the
    // helper's generation and the plugin's handle. Guarded by unclosedLock_.
    SrwLock unclosedLock_;
    std::vector<std::pair<std::uint32_t, std::int32_t>> unclosed_;
};

}  // namespace bridge
