#pragma once
// corvanel.wfx64's link to its 32-bit helper process: starting the helper
// beside the module, requests over the shared rings, the host's callbacks
// served while a request runs, and a helper that ends or breaks the protocol
// ended and replaced by the next call. A request whose helper falls silent
// can be stopped, by the host when it watches the request and by the user
// when asked: the helper is then ended, and its engine with it.
//
// Requests made from inside the host's callbacks. While the host's callback
// answers one of the helper's callbacks (a progress report, say), the helper
// waits for that answer, and the host may call an export meanwhile: on the
// same thread (a file manager that processes window messages in its progress
// callback) or on another. Such a request goes to the helper at once, which
// serves it nested inside the callback it waits in, as the plugin would be
// called in the host's process. So the requests under way form a stack, the
// helper serving the innermost, and the floor passes as follows:
// - a new request starts when none is under way, or when the innermost one
//   is in such a callback; otherwise it waits for its turn, except that one
//   whose thread has a request under way already (a host that calls from
//   inside the plugin's own wait for a silent helper) is refused at once:
//   it would wait for itself, or for a thread that may wait for it;
// - a request whose callback returns goes on once the requests nested above
//   it have ended.
// No lock is held while a host callback runs; a thread waits only for the
// turn of another thread's request. A helper ended under a request (by a
// nested request's stop, or because it died) fails that request too.

#include <windows.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "bridge/channel.h"
#include "bridge/module64/helper_inbox.h"
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

// How a request that the helper left unanswered was given up.
enum class Abandoned {
    No,
    ByHost,      // the host's progress callback answered abort (to the silence, or
                 // to a transfer's report before its engine finished)
    ByUser,      // the user answered Yes to the question whether to stop the engine
    AfterBound,  // a host without a request callback: the call gave up by itself
};

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
    int reports = 0;      // progress reports of the helper's passed on to the host
    bool refused = false;  // made from inside this thread's own wait for the helper
    Abandoned abandoned = Abandoned::No;  // the helper was ended with its engine, and why
    std::uint32_t helper = 0;             // the generation of the helper that answered
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
    // way; -1 when one of this thread's is.
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

    // Counts helper starts and ends: what a caller holds from a helper is
    // stale once this changes, also while no new helper has started yet
    // (a listing's entries read ahead end with their helper).
    std::uint32_t Generation() const { return __atomic_load_n(&generation_, __ATOMIC_ACQUIRE); }

private:
    class Floor;

    // Call's work once the floor is taken.
    std::optional<Message> Serve(const Message& request, Watch* watch, Floor& floor,
                                 std::uint32_t helper);
    bool Running();
    bool Start(const Message& request, Watch* watch);
    // One request and its reply, the helper ended when that fails.
    bool Exchange(const Message& request, Message* reply, Watch* watch, Floor& floor);
    bool Converse(const Message& request, Message* reply, Watch* watch, Floor& floor);
    // The host's answer to one of the helper's callbacks, with the floor
    // open for requests made from inside it. False when the helper was
    // ended meanwhile (watch->abandoned says why).
    bool AnswerOpen(const Message& callback, Message* answer, Watch* watch, Floor& floor);
    // A FindBatch reply's entries, copied out of the shared section into it
    // and checked.
    bool TakeBatch(Message* reply) const;
    // The helper's next message while `request` waits for it; while the
    // helper is silent the host and the user are asked as Call says. False
    // when the helper has ended or broken the protocol, or the request was
    // given up. `floor`: the request's, once it has one.
    bool Receive(const Message& request, Message* message, Watch* watch, Floor* floor = nullptr);
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

    // The requests under way, outermost first (see above); guarded by
    // floorLock_, and woken on floorChanged_ whenever the innermost changes
    // or opens. Everything below is used only by the thread that holds the
    // floor: the innermost request's, while it is not open.
    struct Turn {
        DWORD thread = 0;
        bool open = false;                  // in the host's callback: a request may nest
        std::uint32_t helper = 0;           // the generation serving it, once sent
        bool ended = false;                 // that helper was ended under it
        Abandoned endedBy = Abandoned::No;  // and why
    };
    SRWLOCK floorLock_ = SRWLOCK_INIT;
    CONDITION_VARIABLE floorChanged_ = CONDITION_VARIABLE_INIT;
    std::vector<Turn> turns_;

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
