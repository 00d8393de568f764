#include "binding/event_handler.h"

#include <oleauto.h>

#include <algorithm>

#include "binding/bstr.h"
#include "common/local_file.h"

namespace {

// Local files of abandoned transfers remembered at most: each is a cancelled
// transfer whose engine may still be running it.
constexpr std::size_t kAbandonedKept = 16;

// A BSTR's text up to its first NUL; null reads as empty.
std::wstring TextOf(BSTR text) { return text != nullptr ? std::wstring(text) : std::wstring(); }

// A text argument: a BSTR by value or by reference; VT_EMPTY and VT_NULL
// read as no text. Anything else does not fit a progress event.
bool ReadText(const VARIANT& arg, std::wstring* text) {
    switch (V_VT(&arg)) {
    case VT_BSTR: *text = TextOf(V_BSTR(&arg)); return true;
    case VT_BSTR | VT_BYREF:
        *text = V_BSTRREF(&arg) != nullptr ? TextOf(*V_BSTRREF(&arg)) : std::wstring();
        return true;
    case VT_EMPTY:
    case VT_NULL: text->clear(); return true;
    default: return false;
    }
}

// The percentage: any value that converts to a 32-bit integer, taken as it
// comes, with no clamping. The engine's VARIANT is read, never changed.
bool ReadPercent(const VARIANT& arg, LONG* percent) {
    if (V_VT(&arg) == VT_I4) {
        *percent = V_I4(&arg);
        return true;
    }
    VARIANT converted;
    VariantInit(&converted);
    if (FAILED(VariantChangeType(&converted, const_cast<VARIANT*>(&arg), 0, VT_I4))) {
        VariantClear(&converted);
        return false;
    }
    *percent = V_I4(&converted);
    return true;
}

bool Finished(LONG percent) { return percent >= 100; }  // signed: negative is unfinished

}  // namespace

void CEventHandler::CreateEventSink(IStorageBrowser* engine) {
    eventSink = new Sink(*this, engine, &CEventHandler::OnProgressEvent);
}

HRESULT CEventHandler::OnProgressEvent(Sink*, DISPID, REFIID, LCID, WORD, DISPPARAMS* params,
                                       VARIANT*, EXCEPINFO*, UINT*) {
    if (params == nullptr || params->rgvarg == nullptr || params->cArgs < 3) return S_OK;
    // Converted before the lock is taken, so the host's thread never waits on
    // a conversion; stored under it, percent first, then the two names.
    LONG newPercent = 0;
    std::wstring remoteText, localText;
    if (!ReadPercent(params->rgvarg[0], &newPercent) ||
        !ReadText(params->rgvarg[1], &remoteText) || !ReadText(params->rgvarg[2], &localText)) {
        return S_OK;
    }
    std::string newRemote = ToAnsi(remoteText.c_str());
    std::string newLocal = ToAnsi(localText.c_str());
    bool finishes = false;
    {
        SrwLock::Exclusive guard(lock);
        Transfer* to = Route(localText);
        if (to == nullptr) {
            // An abandoned transfer's engine that has finished reports no more.
            if (Finished(newPercent)) ForgetAbandoned(localText);
            return S_OK;
        }
        finishes = Finished(newPercent) && !Finished(to->percent);
        to->percent = newPercent;
        to->remoteName.swap(newRemote);
        to->localName.swap(newLocal);
    }
    // Only the event that takes a percent to 100 or more wakes the relays,
    // and only once the lock is free, so they do not wake just to wait for
    // the lock. The condition is the handler's: it outlives every record.
    if (finishes) WakeAllConditionVariable(&finished);
    return S_OK;
}

CEventHandler::Transfer* CEventHandler::Route(const std::wstring& localName) const {
    for (Transfer* transfer : running) {
        if (SameLocalFile(transfer->file_, localName)) return transfer;
    }
    if (running.size() == 1 && !WasAbandoned(localName)) return running.front();
    return nullptr;
}

bool CEventHandler::WasAbandoned(const std::wstring& localName) const {
    return std::any_of(abandoned.begin(), abandoned.end(),
                       [&](const std::wstring& file) { return SameLocalFile(file, localName); });
}

void CEventHandler::ForgetAbandoned(const std::wstring& localName) {
    abandoned.erase(std::remove_if(abandoned.begin(), abandoned.end(),
                                   [&](const std::wstring& file) { return SameLocalFile(file, localName); }),
                    abandoned.end());
}

CEventHandler::Transfer::Transfer(CEventHandler& handler, const wchar_t* localName)
    : handler_(handler), file_(localName != nullptr ? localName : L"") {
    SrwLock::Exclusive guard(handler_.lock);
    for (const Transfer* other : handler_.running) {
        if (SameLocalFile(other->file_, file_)) return;
    }
    // An abandoned transfer's engine that still holds the file is at work
    // on it: its events and this one's could not be told apart. Once it has
    // let go it has ended, and the file is this transfer's.
    if (handler_.WasAbandoned(file_)) {
        if (LocalFileHeld(file_)) return;
        handler_.ForgetAbandoned(file_);
    }
    handler_.running.push_back(this);  // may throw: nothing is changed then
    accepted_ = true;
}

CEventHandler::Transfer::~Transfer() {
    if (!accepted_) return;
    // An engine that has let go of the file (one that failed part-way) has
    // ended: its job sends nothing more. Looked at before the lock is taken.
    const bool engineHolds = abandoned_ && LocalFileHeld(file_);
    SrwLock::Exclusive guard(handler_.lock);
    auto& running = handler_.running;
    running.erase(std::find(running.begin(), running.end(), this));
    // Between transfers the handler holds no memory.
    if (running.empty()) std::vector<Transfer*>().swap(running);
    if (!engineHolds || Finished(percent)) return;
    // Keeping the name is a safeguard, not a duty: without memory it goes.
    try {
        if (handler_.abandoned.size() == kAbandonedKept) handler_.abandoned.pop_front();
        handler_.abandoned.push_back(file_);
    } catch (...) {
    }
}

LONG CEventHandler::Transfer::GetPercent() const {
    SrwLock::Shared guard(handler_.lock);
    return percent;
}

ProgressSnapshot CEventHandler::Transfer::Snapshot() const {
    ProgressSnapshot snapshot;
    SrwLock::Shared guard(handler_.lock);
    snapshot.percent = percent;
    snapshot.localName = localName;
    snapshot.remoteName = remoteName;
    return snapshot;
}

void CEventHandler::Transfer::WaitForFinish(DWORD timeoutMs) const {
    SrwLock::Shared guard(handler_.lock);
    // A spurious wake-up, or another transfer's finish, goes back to waiting
    // for what is left of the time.
    const DWORD start = GetTickCount();
    while (!Finished(percent)) {
        const DWORD waited = GetTickCount() - start;
        if (waited >= timeoutMs) return;
        if (!handler_.lock.SleepShared(handler_.finished, timeoutMs - waited)) return;
    }
}
