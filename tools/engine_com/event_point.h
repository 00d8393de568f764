#pragma once
// An engine's connection point for IStorageBrowserEvents: the sinks advised
// to it, each held by one reference until Unadvise or until the point goes.
//
// Lifetime: a member of the engine object that offers it; its references are
// that object's (AddRef and Release go to `container`), so it never outlives
// the engine.
// Threading: any thread. The sinks sit behind a lock that is never held while
// a sink runs; firing an event works on a snapshot (Sinks()).

#include <windows.h>
#include <ocidl.h>

#include <utility>
#include <vector>

#include "binding/storage_browser.h"
#include "common/srw_lock.h"

class EventConnectionPoint final : public IConnectionPoint {
public:
    // Many: every Advise adds a sink, as a real server does. One: a later
    // Advise replaces the earlier sink, as the plugin's second FsInit expects
    // of the engine it keeps.
    enum class SinkCount { Many, One };

    EventConnectionPoint(IConnectionPointContainer& container, SinkCount sinks)
        : container_(container), oneSink_(sinks == SinkCount::One) {}
    ~EventConnectionPoint() { UnadviseAll(); }
    EventConnectionPoint(const EventConnectionPoint&) = delete;
    EventConnectionPoint& operator=(const EventConnectionPoint&) = delete;

    // Every advised sink, each with a reference for the caller. May throw
    // std::bad_alloc.
    std::vector<IDispatch*> Sinks();
    // The latest advised sink, not referenced: for looking, not for calling.
    IDispatch* LatestSink();
    DWORD LatestCookie();
    // Takes sink `cookie` off the list and hands its reference to the caller;
    // null when no sink has that cookie.
    IDispatch* Detach(DWORD cookie);
    // Lets go of every sink, as if each were unadvised.
    void UnadviseAll();

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return container_.AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return container_.Release(); }
    // IConnectionPoint
    HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override;
    HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(
        IConnectionPointContainer** container) override;
    HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override;
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override;
    HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections**) override { return E_NOTIMPL; }

private:
    IConnectionPointContainer& container_;
    const bool oneSink_;
    SrwLock lock_;  // sinks_, lastCookie_
    std::vector<std::pair<DWORD, IDispatch*>> sinks_;
    DWORD lastCookie_ = 0;
};

// The three arguments of a progress event, last-first as dispatch has them:
// the declared order is local name, remote name, percent. The texts are
// borrowed, never freed here.
struct ProgressEventArgs {
    ProgressEventArgs(BSTR localName, BSTR remoteName, LONG percent);
    ProgressEventArgs(const ProgressEventArgs&) = delete;
    ProgressEventArgs& operator=(const ProgressEventArgs&) = delete;

    VARIANT args[3];
    DISPPARAMS params;
};

// Raises one event on `sink`: member `member`, a method call, no result.
HRESULT RaiseEvent(IDispatch* sink, DISPID member, DISPPARAMS* params);
