#pragma once
// corvanel.wfx64's link to its 32-bit helper process: starting the helper
// beside the module, one request at a time over its pipes, the host's
// callbacks served while a request runs, and a helper that ends or breaks
// the protocol ended and replaced by the next call.

#include <windows.h>

#include <cstdint>
#include <optional>

#include "bridge/channel.h"
#include "bridge/protocol.h"
#include "common/unique_handle.h"
#include "plugin/wfx_api.h"

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
    // started, when it ends or breaks the protocol (it is then ended), or
    // when the request comes from inside one of the host's callbacks.
    std::optional<Message> Call(const Message& request);

    // A FindBatch reply's entries, copied out of the shared section into
    // `batch` and checked. False when they do not make a batch: the caller
    // then ends the helper.
    bool CopyBatch(const Message& reply, Message* batch) const;

    // Ends the helper after a reply that made no sense to the caller.
    void Fault() { Stop(); }

    // Counts helper starts: what a caller holds from an earlier helper is
    // stale once this changes.
    std::uint32_t Generation() const { return generation_; }

private:
    bool Running();
    bool Start();
    // One request and its reply, the helper ended when that fails.
    bool Exchange(const Message& request, Message* reply);
    bool Converse(const Message& request, Message* reply);
    int CallbackMask() const;
    Message Answer(const Message& callback) const;
    void Stop();

    CRITICAL_SECTION lock_;
    UniqueHandle process_;
    UniqueHandle toHelper_;
    UniqueHandle fromHelper_;
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
