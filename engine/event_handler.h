#pragma once
// The progress record: the engine's latest progress event (percent, remote
// name, local name), written by the event sink on the engine's thread and
// read by the transfer loop on the host's thread. One lock makes each event's
// three stores appear at once to a reader, and readers get copies, so a text
// handed to the host stays unchanged however many events arrive meanwhile.
// A manual-reset event mirrors whether the stored percentage is 100 or more,
// so the transfer loop can wait for the finish instead of sleeping past it.

#include <windows.h>

#include <string>

#include "engine/event_sink.h"
#include "engine/srw_lock.h"
#include "engine/storage_browser.h"
#include "engine/unique_handle.h"

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

    // Empties both names and sets percent to 0, which also clears the
    // finished event; the sink is left alone.
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
    // wait. Without the event (its creation failed) the whole timeout passes.
    void WaitForFinish(DWORD timeoutMs) const;
    Sink* EventSink() const { return eventSink; }

private:
    // Stores percent and keeps finishedEvent in step with it. Under `lock`.
    void StorePercent(LONG newPercent);

    Sink* eventSink = nullptr;  // the creator's reference, never given back
    mutable SrwLock lock;
    // Set while percent is 100 or more; changed only under `lock`, and only
    // when percent crosses 100, so an event every millisecond costs no
    // kernel call.
    UniqueHandle finishedEvent{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    LONG percent = 0;
    std::string remoteName;
    std::string localName;
};
