#pragma once
// corvanel.wfx64's link to its 32-bit helper process: starting the helper
// beside the module, requests over the shared rings, the host's callbacks
// served while a request runs, and a helper that ends or breaks the protocol
// ended and replaced by the next call. A request whose helper falls silent
// can be stopped, by the host when it watches the request and by the user
// when asked: the helper is then ended, and its engine with it, unless the
// host cancelled a request nested in another's callback on the same helper:
// that request alone is given up, and the helper's late messages for it are
// read by the request that goes on next (bridge/module64/floor.h says who
// may talk to the helper when). A helper ended under a request (by a nested
// request's stop, or because it died) fails that request too.

#include <windows.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "bridge/channel.h"
#include "bridge/module64/floor.h"
#include "bridge/module64/helper_inbox.h"
#include "bridge/module64/transfer_files.h"
#include "bridge/protocol.h"
#include "common/unique_handle.h"
#include "common/wfx_api.h"

namespace bridge {

// The host thread's state that each request carries, taken first thing in
// every export, before anything can change the last error.
struct CallContext {
    LCID locale;
    DWORD lastError;
};
CallContext CurrentContext();
// A request of `kind` that starts with `context`.
Message RequestOf(Kind kind, const CallContext& context);

// What a request's wait shows and what became of it. While the helper sends
// nothing (the engine does not answer), a request the host watches (a
// listing, a transfer, a store copy) has the host's progress callback called
// every 100 ms after the first second, with what the request last showed
// (its own texts at first, then those of each progress report the helper
// passes on), and a nonzero answer stops it. Every request, watched or not,
// has the user asked after a longer silence whether to stop the storage
// engine (HelperLink::Call).
struct Watch {
    // A request the host does not watch: only the question.
    Watch() = default;
    Watch(Text shownSource, Text shownTarget)
        : shown(true), source(std::move(shownSource)), target(std::move(shownTarget)) {}
    bool shown = false;
    Text source, target;
    int percent = 0;
    // What happened while the request ran:
    bool refused = false;  // refused a turn (Floor): the last error is ERROR_BUSY
    bool inUse = false;    // a transfer of a local file an orphaned transfer has (TransferFiles)
    Abandoned abandoned = Abandoned::No;  // given up, and why
    bool detached = false;  // given up while its helper goes on serving it
    std::uint32_t helper = 0;  // the generation of the helper that served it
    // A transfer's: the host let a report of its pass to the plugin, which
    // then calls the engine; a report showed the engine's 100 percent; the
    // host stopped it while its engine goes on with it (as the plugin leaves
    // it, or detached above).
    bool engineMayWrite = false;
    bool whole = false;
    bool engineGoesOn = false;
    // A transfer's hold on its local file, while the request runs.
    TransferFiles::Claim* claim = nullptr;
};

class HelperLink {
public:
    // The module's one link, made on first use; its destructor, when the
    // module unloads, closes the pipe the helper watches, which ends it.
    static HelperLink& Instance();

    HelperLink();
    ~HelperLink();
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
    // refused (watch->refused, see above), when `helper` has ended, or when
    // the request was given up (watch->abandoned).
    //
    // A silent helper never holds the host for good. After kQuestionAfterMs
    // (common/timing.h) without a word from it the user is asked, through
    // the host's request callback, whether to stop the storage engine: Yes
    // ends the helper, unless it answered while the question was open; No
    // waits on, and the question comes again once the silence has doubled.
    // A host without a request callback gives up after kGiveUpAfterMs.
    // While the helper shows a window (the engine's properties, a sign-in),
    // it is not silent: the window is brought to the front, and the silence
    // counts from when it closes.
    std::optional<Message> Call(const Message& request, Watch* watch = nullptr,
                                std::uint32_t helper = kAnyHelper);

    // Ends the helper of that generation, when it still runs, after a reply
    // of its that made no sense to the caller.
    void Fault(std::uint32_t helper);

    // Closes the plugin's listing `handle` in helper `helper`, if that one
    // still runs; a close refused now (made from inside this thread's own
    // wait for the helper) is made before the next request to that helper.
    void CloseListing(const CallContext& context, std::int32_t handle, std::uint32_t helper);

    TransferFiles& Files() { return files_; }

    // Counts helper starts and ends: what a caller holds from a helper is
    // stale once this changes, also while no new helper has started yet
    // (a listing's entries read ahead end with their helper).
    std::uint32_t Generation() const { return __atomic_load_n(&generation_, __ATOMIC_ACQUIRE); }

private:
    // Call's work once the floor is taken.
    std::optional<Message> Serve(const Message& request, Watch* watch, Floor::Turn& turn,
                                 std::uint32_t helper);
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
    // Reads the late messages of the ghosts next to `turn` until none is
    // left: their callbacks answered as a cancelled request's, their replies
    // dropped (a listing they opened left to close). `request` and `watch`:
    // what the host and user are asked about while the helper is silent;
    // `owes`: the callback that `turn` has yet to answer.
    bool Drain(const Message& request, Watch* watch, Floor::Turn& turn, std::optional<Kind> owes);
    // A FindBatch reply's entries, copied out of the shared section into it
    // and checked.
    bool TakeBatch(Message* reply) const;
    // The helper's next message while `request` waits for it; while the
    // helper is silent the host and the user are asked as Call says. False
    // when the helper has ended or broken the protocol, or the request was
    // given up.
    bool Receive(const Message& request, Message* message, Watch* watch, Floor::Turn& turn,
                 std::optional<Kind> owes = std::nullopt);
    // The host cancelled in the silence: the request is given up; with
    // requests below it on the same helper, that helper goes on serving
    // them, and this request's late messages (if it has the request) are
    // read by the next. Always false.
    bool CancelledByHost(Watch* watch, Floor::Turn& turn, std::optional<Kind> owes);
    // Whether the helper's process shows a window; a new one is brought to
    // the front once.
    bool ShowsWindow();
    // Asks the user whether to stop the engine, silent for `silentMs` while
    // `request` waits; `others`: requests below it that the same engine
    // serves, which fail too. True for Yes.
    bool UserStops(const Message& request, const Watch& watch, ULONGLONG silentMs, bool others) const;
    int CallbackMask() const;
    Message Answer(const Message& callback) const;
    // Writes a message to the helper. False when the helper has gone.
    bool Send(const Message& message);
    // Closes the pipe the helper watches and waits for the helper to leave,
    // ending it when it does not; `now` ends it first. The requests under
    // way that it served fail, for `why`.
    void Stop(bool now = false, Abandoned why = Abandoned::No);

    Floor floor_;
    TransferFiles files_;
    // Listings closed while the module could not reach their helper: the
    // helper's generation and the plugin's handle. Guarded by unclosedLock_.
    SrwLock unclosedLock_;
    std::vector<std::pair<std::uint32_t, std::int32_t>> unclosed_;

    UniqueHandle process_;
    DWORD processId_ = 0;
    UniqueHandle alive_;         // the pipe the helper watches, held open while it serves
    SharedSection shared_;
    UniqueHandle toHelperArrived_, toModuleArrived_;  // wake each ring's reader
    RingWriter toHelper_;
    HelperInbox fromHelper_;
    HWND frontedWindow_ = nullptr;  // the helper's window last brought to the front
    bool helperInitialised_ = false;  // the running helper has served FsInit
    std::uint32_t generation_ = 0;
    // FsInit's arguments, repeated in every new helper.
    bool initCalled_ = false;
    int pluginNumber_ = 0;
    tProgressProc progress_ = nullptr;
    tLogProc log_ = nullptr;
    tRequestProc request_ = nullptr;
};

}  // namespace bridge
