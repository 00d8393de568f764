#pragma once
// The progress of the running transfers. The event sink receives the
// engine's progress events (percent, remote name, local name) on the
// engine's thread; CEventHandler hands each one to the transfer it belongs
// to, and each transfer's relay reads only its own record, on the host's
// thread. Several transfers run at once when the host starts one from inside
// another's progress callback (a quick view during a synchronisation), or on
// two threads.
//
// Which transfer an event belongs to:
// - the running transfer whose local file the event names (its local name,
//   compared as Windows compares file names: ordinal, letter case aside);
// - otherwise, when exactly one transfer runs, that one, so that an engine
//   which names the local file its own way still reports to a lone transfer;
// - otherwise none: an event that names no running transfer while several
//   run, or that names the local file of a transfer abandoned while its
//   engine went on (a cancelled one), is dropped.
// Two running transfers of one local file could not be told apart: the
// second is refused while the first runs, and while the engine of an
// abandoned transfer of the file still holds it open. (An engine that lets
// go of the file before its last event could still hand that event to the
// next transfer of the file.)
//
// One lock guards the list and every record: an event's three stores appear
// at once to a reader, and readers get copies, so a text handed to the host
// stays unchanged however many events arrive meanwhile. A relay can wait for
// its percentage to reach 100 instead of sleeping past the moment: the event
// that gets it there wakes it.

#include <windows.h>

#include <deque>
#include <string>
#include <vector>

#include "binding/event_sink.h"
#include "binding/storage_browser.h"
#include "common/srw_lock.h"

// One consistent reading of a transfer's record. Empty texts read as null
// pointers, which is how the host is told that no event has named the file
// yet.
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
    class Transfer;

    CEventHandler() = default;
    CEventHandler(const CEventHandler&) = delete;
    CEventHandler& operator=(const CEventHandler&) = delete;

    // Makes the sink that feeds the transfers' records and connects it to
    // `engine`. The handler keeps the creator's reference for the rest of
    // the process.
    void CreateEventSink(IStorageBrowser* engine);

    // The sink's callback: one progress event, rgvarg last-first as dispatch
    // has it: [0] percent, [1] remote name, [2] local name. An event with
    // fewer than three arguments, or of types that do not fit, is ignored.
    // Always S_OK. Runs on the engine's thread.
    HRESULT OnProgressEvent(Sink* sink, DISPID dispIdMember, REFIID riid, LCID lcid, WORD flags,
                            DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepInfo,
                            UINT* argErr);

    Sink* EventSink() const { return eventSink; }

private:
    // The transfer an event naming `localName` belongs to, or null. Called
    // with `lock` held.
    Transfer* Route(const std::wstring& localName) const;
    bool WasAbandoned(const std::wstring& localName) const;
    void ForgetAbandoned(const std::wstring& localName);

    Sink* eventSink = nullptr;  // the creator's reference, never given back
    mutable SrwLock lock;
    // Woken when an event takes a transfer's percent to 100 or more; the
    // events below 100 that come every millisecond wake nobody. Waited on
    // with `lock` held shared; each waiter tests its own record.
    mutable CONDITION_VARIABLE finished = CONDITION_VARIABLE_INIT;
    std::vector<Transfer*> running;
    // Local files of transfers abandoned before their engine's 100 while
    // their engine held the file, newest last: it may still report. A name goes when its engine
    // reports 100, when a new transfer of it starts once that engine has let
    // go of it, or when more have come.
    std::deque<std::wstring> abandoned;
};

// One transfer's record, registered with the handler for as long as it
// lives; made before the engine is asked, so that events raised inside the
// engine's call already land in it.
class CEventHandler::Transfer {
public:
    // `localName` is the name the engine is given (null: a name that did not
    // convert). Not Accepted() when another running transfer has that local
    // file, or an abandoned one whose engine holds it still: this one then
    // receives nothing. May throw std::bad_alloc.
    Transfer(CEventHandler& handler, const wchar_t* localName);
    ~Transfer();
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    bool Accepted() const { return accepted_; }
    LONG GetPercent() const;
    ProgressSnapshot Snapshot() const;
    // Waits up to timeoutMs for the percentage to reach 100 or more,
    // returning at once when it already has; events below 100 do not end the
    // wait. Runs on the host's thread.
    void WaitForFinish(DWORD timeoutMs) const;
    // The transfer ends before its engine's 100 (the host aborted): the
    // events its engine still raises are not another transfer's.
    void Abandon() { abandoned_ = true; }

private:
    friend class CEventHandler;

    CEventHandler& handler_;
    const std::wstring file_;  // the local file, as routing compares it
    bool accepted_ = false;
    bool abandoned_ = false;
    // Written by the handler under its lock:
    LONG percent = 0;
    std::string remoteName;
    std::string localName;
};
