#pragma once
// The COM object that receives the engine's events: an IDispatch attached to
// the source's connection point for the event interface, handing every
// Invoke to a member operation of its owner.
//
// Lifetime: made with `new`, reference count 1 for its creator. The source's
// connection point holds further references while connected. At count zero
// the sink unadvises, releases the connection point and deletes itself.
// Threading: Invoke runs on whatever thread the source raises events on;
// reference counting is interlocked, nothing else is locked here.

#include <windows.h>
#include <ocidl.h>
#include <wrl/client.h>

#include "common/call_guarded.h"

namespace TEventHandlerNamespace {

template <class Owner, class Source, class Event>
class TEventHandler final : public IDispatch {
public:
    using Callback = HRESULT (Owner::*)(TEventHandler* sink, DISPID dispIdMember, REFIID riid,
                                        LCID lcid, WORD flags, DISPPARAMS* params,
                                        VARIANT* result, EXCEPINFO* excepInfo, UINT* argErr);

    // Connects to `source` at once; whether that worked shows only in
    // IsConnected().
    TEventHandler(Owner& ownerObject, Source* source, Callback callback)
        : owner(&ownerObject), ownerCallback(callback) {
        Connect(source);
    }
    TEventHandler(const TEventHandler&) = delete;
    TEventHandler& operator=(const TEventHandler&) = delete;

    // Attaches to the source's connection point for Event. Silent on failure.
    void Connect(Source* source) {
        if (source == nullptr) return;
        Microsoft::WRL::ComPtr<IUnknown> self;
        if (FAILED(QueryInterface(IID_PPV_ARGS(&self))) || !self) return;
        Microsoft::WRL::ComPtr<IConnectionPointContainer> container;
        source->QueryInterface(IID_PPV_ARGS(&container));
        if (!container) return;
        container->FindConnectionPoint(__uuidof(Event), connectionPoint.ReleaseAndGetAddressOf());
        if (!connectionPoint) return;
        DWORD adviseCookie = 0;
        if (FAILED(connectionPoint->Advise(self.Get(), &adviseCookie))) {
            connectionPoint.Reset();  // refused: stay unconnected, hold nothing
            return;
        }
        cookie = adviseCookie;
    }

    // Detaches again: Unadvise always before the connection point's release.
    void Disconnect() {
        if (!connectionPoint) return;
        connectionPoint->Unadvise(cookie);
        cookie = 0;
        connectionPoint.Reset();
    }

    bool IsConnected() const { return connectionPoint != nullptr; }
    DWORD Cookie() const { return cookie; }

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (object == nullptr) return E_POINTER;
        if (IsEqualIID(riid, __uuidof(IUnknown)) || IsEqualIID(riid, __uuidof(IDispatch)) ||
            IsEqualIID(riid, __uuidof(Event))) {
            *object = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override {
        return static_cast<ULONG>(InterlockedIncrement(&refCount));
    }
    ULONG STDMETHODCALLTYPE Release() override {
        const LONG count = InterlockedDecrement(&refCount);
        if (count == 0) delete this;
        return static_cast<ULONG>(count);
    }

    // IDispatch: no type information and no names.
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    // Every call is an event for the owner, whatever its member identifier.
    HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD flags,
                                     DISPPARAMS* params, VARIANT* result, EXCEPINFO* excepInfo,
                                     UINT* argErr) override {
        return CallGuarded<HRESULT>(E_OUTOFMEMORY, [&] {
            return (owner->*ownerCallback)(this, dispIdMember, riid, lcid, flags, params, result,
                                             excepInfo, argErr);
        });
    }

private:
    ~TEventHandler() { Disconnect(); }

    LONG refCount = 1;
    Owner* owner;  // not owned
    Microsoft::WRL::ComPtr<IConnectionPoint> connectionPoint;
    DWORD cookie = 0;
    Callback ownerCallback;
};

}  // namespace TEventHandlerNamespace
