#include "binding/event_handler.h"

#include <oleauto.h>

#include "binding/bstr.h"

namespace {

// A text argument: a BSTR by value or by reference; VT_EMPTY and VT_NULL
// read as no text. Anything else does not fit a progress event.
bool ReadText(const VARIANT& arg, std::string* text) {
    switch (V_VT(&arg)) {
    case VT_BSTR:
        *text = ToAnsi(V_BSTR(&arg));
        return true;
    case VT_BSTR | VT_BYREF:
        *text = V_BSTRREF(&arg) != nullptr ? ToAnsi(*V_BSTRREF(&arg)) : std::string();
        return true;
    case VT_EMPTY:
    case VT_NULL:
        text->clear();
        return true;
    default:
        return false;
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

void CEventHandler::Reset() {
    std::string oldLocal, oldRemote;  // freed after the lock is given back
    SrwLock::Exclusive guard(lock);
    localName.swap(oldLocal);
    remoteName.swap(oldRemote);
    percent = 0;
}

HRESULT CEventHandler::OnProgressEvent(Sink*, DISPID, REFIID, LCID, WORD, DISPPARAMS* params,
                                       VARIANT*, EXCEPINFO*, UINT*) {
    if (params == nullptr || params->rgvarg == nullptr || params->cArgs < 3) return S_OK;
    // Converted before the lock is taken, so the host's thread never waits on
    // a conversion; stored under it, percent first, then the two names.
    LONG newPercent = 0;
    std::string newRemote, newLocal;
    if (!ReadPercent(params->rgvarg[0], &newPercent) ||
        !ReadText(params->rgvarg[1], &newRemote) || !ReadText(params->rgvarg[2], &newLocal)) {
        return S_OK;
    }
    bool finishes = false;
    {
        SrwLock::Exclusive guard(lock);
        finishes = Finished(newPercent) && !Finished(percent);
        percent = newPercent;
        remoteName.swap(newRemote);
        localName.swap(newLocal);
    }
    // Only the event that takes percent to 100 or more wakes the relay, and
    // only once the lock is free, so the relay does not wake just to wait
    // for the lock.
    if (finishes) WakeAllConditionVariable(&finished);
    return S_OK;
}

void CEventHandler::WaitForFinish(DWORD timeoutMs) const {
    SrwLock::Shared guard(lock);
    // A spurious wake-up goes back to waiting for what is left of the time.
    const DWORD start = GetTickCount();
    while (!Finished(percent)) {
        const DWORD waited = GetTickCount() - start;
        if (waited >= timeoutMs) return;
        if (!lock.SleepShared(finished, timeoutMs - waited)) return;
    }
}

LONG CEventHandler::GetPercent() const {
    SrwLock::Shared guard(lock);
    return percent;
}

ProgressSnapshot CEventHandler::Snapshot() const {
    ProgressSnapshot snapshot;
    SrwLock::Shared guard(lock);
    snapshot.percent = percent;
    snapshot.localName = localName;
    snapshot.remoteName = remoteName;
    return snapshot;
}
