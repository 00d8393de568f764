#pragma once
// corvanel.wfx64's link to its 32-bit helper process: starting the helper
// beside the module, one request at a time over its pipes, the host's
// callbacks served while a request runs, and a helper that ends or breaks
// the protocol ended and replaced by the next call. A request that the host
// watches can be stopped by the host while the helper is silent: the helper
// is then ended, and its engine with it.

#include <windows.h>

#include <cstdint>
#include <optional>

#include "bridge/channel.h"
#include "bridge/module64/helper_pipe.h"
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

// A request that the host watches while it waits: a listing, a transfer or
// a store copy. While the helper sends nothing for a second, the host's
// progress callback is called every 100 ms with what the request last showed
// (the request's own texts at first, then those of each progress report the
// helper passes on), and a nonzero answer stops the request.
struct Watch {
    Watch(Text shownSource, Text shownTarget)
        : source(std::move(shownSource)), target(std::move(shownTarget)) {}
    Text source, target;
    int percent = 0;
    // What happened while the request ran:
    int reports = 0;               // progress reports of the helper's passed on to the host
    bool abortAfterFirst = false;  // the host answered one after the first with abort
    bool stopped = false;          // the host stopped the silent helper, which was ended
};

class HelperLink {
public:
    // The module's one link, made on first use; its destructor, when the
    // module unloads, closes the pipes, which ends the helper.
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
    // host stopped a watched request (watch->stopped).
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
    bool Start();
    // One request and its reply, the helper ended when that fails.
    bool Exchange(const Message& request, Message* reply, Watch* watch);
    bool Converse(const Message& request, Message* reply, Watch* watch);
    // The helper's next message; for a watched request, the host is asked
    // while the helper is silent. False when the pipe breaks or the host
    // stopped the request.
    bool Receive(Message* message, Watch* watch);
    int CallbackMask() const;
    Message Answer(const Message& callback) const;
    // Closes the pipes and waits for the helper to leave, ending it when it
    // does not; `now` ends it first.
    void Stop(bool now = false);

    CRITICAL_SECTION lock_;
    UniqueHandle process_;
    DWORD processId_ = 0;
    UniqueHandle toHelper_;
    HelperPipe fromHelper_;
    SharedBatches batches_;
    bool inCall_ = false;
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
