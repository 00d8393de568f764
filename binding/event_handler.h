#pragma once
// The progress record: the engine's latest progress event (percent, remote
// name, local name), written by the event sink on the engine's thread and
// read by the transfer loop on the host's thread. One lock makes each event's
// three stores appear at once to a reader, and readers get copies, so a text
// handed to the host stays unchanged however many events arrive meanwhile.
// The transfer loop can wait for the percentage to reach 100 instead of
// sleeping past the moment: the event that gets it there wakes the loop.

#include <windows.h>

#include <string>

#include "binding/event_sink.h"
#include "binding/storage_browser.h"
#include "common/srw_lock.h"

// One consistent reading of the record. Empty texts read as null pointers,
// which is how the host is told that no event has named the file yet.
struct ProgressSnapshot {
    LONG percent = 0;
    std::string localName;
    std::string remoteName;

    const char* LocalNameOrNull() const { return localName.empty() ? nullptr : localName.c_str(); }
    const char* RemoteNameOrNull() const {
        return remoteName.empty() ? nullptr : remoteName.c_str();
    }
};

class CEventHandler {
public:
    using Sink = TEventHandlerNamespace::TEventHandler<CEventHandler, IStorageBrowser,
                                                       IStorageBrowserEvents>;

    CEventHandler() = default;
    CEventHandler(const CEventHandler&) = delete;
    CEventHandler& operator=(const CEventHandler&) = delete;

    // Makes the sink that feeds this record and connects it to `engine`. The
    // record keeps the creator's reference for the rest of the process.
    void CreateEventSink(IStorageBrowser* engine);

    // Empties both names and sets percent to 0; the sink is left alone.
    void Reset();

    // The sink's callback: one progress event, rgvarg last-first as dispatch
    // has it: [0] percent, [1] remote name, [2] local name. An event with
    // fewer than three arguments, or of types that do not fit, is ignored.
    // Always S_OK. Runs on the engine's thread.
    HRESULT OnProgressEvent(Sink* sink, DISPID dispIdMember, REFIID riid, LCID lcid, WORD flags,
                            DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepInfo,
                            UINT* argErr);

    LONG GetPercent() const;
    ProgressSnapshot Snapshot() const;
    // Waits up to timeoutMs for the stored percentage to reach 100 or more,
    // returning at once when it already has; events below 100 do not end the
    // wait. Runs on the host's thread.
    void WaitForFinish(DWORD timeoutMs) const;
    Sink* EventSink() const { return eventSink; }

private:
    Sink* eventSink = nullptr;  // the creator's reference, never given back
    mutable SrwLock lock;
    // Woken when an event takes percent to 100 or more; the events below
    // 100 that come every millisecond wake nobody. Waited on with `lock`
    // held shared. Needs no reset: the waiter tests percent itself.
    mutable CONDITION_VARIABLE finished = CONDITION_VARIABLE_INIT;
    LONG percent = 0;
    std::string remoteName;
    std::string localName;
};
