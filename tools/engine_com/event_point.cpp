#include "tools/engine_com/event_point.h"

#include <olectl.h>

#include "common/call_guarded.h"

std::vector<IDispatch*> EventConnectionPoint::Sinks() {
    std::vector<IDispatch*> sinks;
    SrwLock::Shared guard(lock_);
    sinks.reserve(sinks_.size());
    for (auto& sink : sinks_) {
        sink.second->AddRef();
        sinks.push_back(sink.second);
    }
    return sinks;
}

IDispatch* EventConnectionPoint::LatestSink() {
    SrwLock::Shared guard(lock_);
    return sinks_.empty() ? nullptr : sinks_.back().second;
}

DWORD EventConnectionPoint::LatestCookie() {
    SrwLock::Shared guard(lock_);
    return sinks_.empty() ? 0 : sinks_.back().first;
}

void EventConnectionPoint::UnadviseAll() {
    std::vector<std::pair<DWORD, IDispatch*>> dropped;
    {
        SrwLock::Exclusive guard(lock_);
        dropped.swap(sinks_);
    }
    for (auto& sink : dropped) sink.second->Release();  // outside the lock: a sink may call back in
}

HRESULT EventConnectionPoint::QueryInterface(REFIID riid, void** object) {
    if (object == nullptr) return E_POINTER;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IConnectionPoint)) {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    *object = static_cast<IConnectionPoint*>(this);
    AddRef();
    return S_OK;
}

HRESULT EventConnectionPoint::GetConnectionInterface(IID* iid) {
    if (iid == nullptr) return E_POINTER;
    *iid = __uuidof(IStorageBrowserEvents);
    return S_OK;
}

HRESULT EventConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** container) {
    if (container == nullptr) return E_POINTER;
    *container = &container_;
    container_.AddRef();
    return S_OK;
}

HRESULT EventConnectionPoint::Advise(IUnknown* sink, DWORD* cookie) {
    if (sink == nullptr || cookie == nullptr) return E_POINTER;
    *cookie = 0;
    IDispatch* events = nullptr;
    if (FAILED(sink->QueryInterface(__uuidof(IStorageBrowserEvents),
                                    reinterpret_cast<void**>(&events))) &&
        FAILED(sink->QueryInterface(IID_PPV_ARGS(&events)))) {
        return CONNECT_E_CANNOTCONNECT;
    }
    IDispatch* replaced = nullptr;
    const HRESULT hr = CallGuarded<HRESULT>(E_OUTOFMEMORY, [&] {
        SrwLock::Exclusive guard(lock_);
        if (oneSink_ && !sinks_.empty()) {
            replaced = sinks_.front().second;
            sinks_.front() = {++lastCookie_, events};
        } else {
            try {
                sinks_.emplace_back(++lastCookie_, events);
            } catch (...) {
                events->Release();
                throw;
            }
        }
        *cookie = lastCookie_;
        return S_OK;
    });
    if (replaced != nullptr) replaced->Release();
    return hr;
}

IDispatch* EventConnectionPoint::Detach(DWORD cookie) {
    SrwLock::Exclusive guard(lock_);
    for (auto at = sinks_.begin(); at != sinks_.end(); ++at) {
        if (at->first != cookie) continue;
        IDispatch* detached = at->second;
        sinks_.erase(at);
        return detached;
    }
    return nullptr;
}

HRESULT EventConnectionPoint::Unadvise(DWORD cookie) {
    IDispatch* removed = Detach(cookie);
    if (removed == nullptr) return CONNECT_E_NOCONNECTION;
    removed->Release();  // outside the lock: the sink may call back in
    return S_OK;
}

ProgressEventArgs::ProgressEventArgs(BSTR localName, BSTR remoteName, LONG percent)
    : params{args, nullptr, 3, 0} {
    V_VT(&args[0]) = VT_I4;
    V_I4(&args[0]) = percent;
    V_VT(&args[1]) = VT_BSTR;
    V_BSTR(&args[1]) = remoteName;
    V_VT(&args[2]) = VT_BSTR;
    V_BSTR(&args[2]) = localName;
}

HRESULT RaiseEvent(IDispatch* sink, DISPID member, DISPPARAMS* params) {
    return sink->Invoke(member, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, params, nullptr,
                        nullptr, nullptr);
}
