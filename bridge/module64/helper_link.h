#pragma once
// corvanel.wfx64's link to its 32-bit helper process: starting the helper
// beside the module, one request at a time over the shared rings, the host's
// callbacks served while a request runs, and a helper that ends or breaks
// the protocol ended and replaced by the next call. A request whose helper
// falls silent can be stopped, by the host when it watches the request and by
// the user when asked: the helper is then ended, and its engine with it.

#include <windows.h>

#include <cstdint>
#include <optional>

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
                 // to a transfer's note before its engine finished)
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
    int reports = 0;               // progress reports of the helper's passed on to the host
    bool abortAfterFirst = false;  // the host answered one after the first with abort
    Abandoned abandoned = Abandoned::No;  // the helper, silent, was ended with its engine
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

    // Holds the link for one export: callers on other threads wait, so one
    // request is in flight at a time. Recursive on one thread; a request
    // made from inside the host's callback is refused by Call.
    class Hold {
    public:
        explicit Hold(HelperLink& link) : link_(link) { EnterCriticalSection(&link_.lock_); }
        ~Hold() { LeaveCriticalSection(&link_.lock_); }
        Hold(const Hold&) = delete;
        Hold& operator=(const Hold&) = delete;

    private:
        HelperLink& link_;
    };

    // FsInit: keeps the arguments for later restarts and runs FsInit in a
    // new helper (one that has served FsInit before is ended first). A
    // helper whose FsInit fails is ended.
    int Init(const CallContext& context, int pluginNumber, tProgressProc progress, tLogProc log,
             tRequestProc request);

    // Runs one request and returns its reply. A helper that is not running
    // is started first, and FsInit repeated in it with the stored arguments
    // when the host has called FsInit. Nothing when no helper can be
    // started, when it ends or breaks the protocol (it is then ended), when
    // the request comes from inside one of the host's callbacks, or when the
    // request was given up while the helper was silent (watch->abandoned).
    //
    // A silent helper never holds the host for good. After 10 s without a
    // word from it the user is asked, through the host's request callback,
    // whether to stop the storage engine: Yes ends the helper, unless it
    // answered while the question was open; No waits on, and the question
    // comes again once the silence has doubled. A host without a request
    // callback gives up after 30 s. While the helper shows a window (the
    // engine's properties, a sign-in), it is not silent: the window is
    // brought to the front, and the silence counts from when it closes.
    std::optional<Message> Call(const Message& request, Watch* watch = nullptr);

    // A FindBatch reply's entries, copied out of the shared section into
    // `batch` and checked. False when they do not make a batch: the caller
    // then ends the helper.
    bool CopyBatch(const Message& reply, Message* batch) const;

    // Ends the helper after a reply that made no sense to the caller.
    void Fault() { Stop(); }
    // Ends the helper at once, with whatever its engine is still doing.
    void End() { Stop(true); }

    // Counts helper starts and ends: what a caller holds from a helper is
    // stale once this changes, also while no new helper has started yet
    // (a listing's entries read ahead end with their helper).
    std::uint32_t Generation() const { return generation_; }

private:
    bool Running();
    bool Start(const Message& request, Watch* watch);
    // One request and its reply, the helper ended when that fails.
    bool Exchange(const Message& request, Message* reply, Watch* watch);
    bool Converse(const Message& request, Message* reply, Watch* watch);
    // The helper's next message while `request` waits for it; while the
    // helper is silent the host and the user are asked as Call says. False
    // when the helper has ended or broken the protocol, or the request was
    // given up.
    bool Receive(const Message& request, Message* message, Watch* watch);
    // Whether the helper's process shows a window; a new one is brought to
    // the front once.
    bool ShowsWindow();
    // Asks the user whether to stop the engine, silent for `silentMs` while
    // `request` waits. True for Yes.
    bool UserStops(const Message& request, const Watch& watch, ULONGLONG silentMs) const;
    int CallbackMask() const;
    Message Answer(const Message& callback) const;
    // Writes a message to the helper. False when the helper has gone.
    bool Send(const Message& message);
    // Closes the pipe the helper watches and waits for the helper to leave,
    // ending it when it does not; `now` ends it first.
    void Stop(bool now = false);

    CRITICAL_SECTION lock_;
    UniqueHandle process_;
    DWORD processId_ = 0;
    UniqueHandle alive_;         // the pipe the helper watches, held open while it serves
    SharedSection shared_;
    UniqueHandle toHelperArrived_, toModuleArrived_;  // wake each ring's reader
    RingWriter toHelper_;
    HelperInbox fromHelper_;
    bool inCall_ = false;
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
