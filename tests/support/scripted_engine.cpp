#include "tests/support/scripted_engine.h"

#include <oleauto.h>
#include <olectl.h>

#include "tests/support/plugin_scope.h"
#include "tools/engine_com/storage_item_object.h"

LONG g_liveFakeItems = 0;

namespace {

class FakeStorageItem final : public StorageItemObject {
public:
    explicit FakeStorageItem(const ItemValues& values) : values_(values) {
        InterlockedIncrement(&g_liveFakeItems);
    }

    HRESULT STDMETHODCALLTYPE get_Name(BSTR* name) override {
        OutsidePluginScope engine;  // the name's BSTR is the engine's allocation
        if (FAILED(values_.nameResult)) return values_.nameResult;
        *name = values_.nullName ? nullptr
                                 : SysAllocStringLen(values_.name.data(),
                                                     static_cast<UINT>(values_.name.size()));
        return values_.nameResult;
    }
    HRESULT STDMETHODCALLTYPE get_Date(DATE* date) override {
        return Get(values_.dateResult, date, values_.date);
    }
    HRESULT STDMETHODCALLTYPE get_Kind(LONG* kind) override {
        return Get(values_.kindResult, kind, values_.kind);
    }
    HRESULT STDMETHODCALLTYPE get_Size(LONGLONG* size) override {
        return Get(values_.sizeResult, size, values_.size);
    }

private:
    ~FakeStorageItem() override { InterlockedDecrement(&g_liveFakeItems); }

    template <typename T>
    static HRESULT Get(HRESULT result, T* out, T value) {
        if (FAILED(result)) return result;
        *out = value;
        return result;
    }

    ItemValues values_;
};

}  // namespace

StorageItem* MakeFakeItem(const ItemValues& values) { return new FakeStorageItem(values); }

ULONG RefCountOf(IUnknown* object) {
    object->AddRef();
    return object->Release();
}

ScriptedEngine::ScriptedEngine(EngineScript& script)
    : StorageBrowserObject(EventConnectionPoint::SinkCount::One), script_(&script) {}

ScriptedEngine::~ScriptedEngine() {
    // A sink held without a reference is not the engine's to release.
    if (weakSinkReference) Events().Detach(Events().LatestCookie());
    Events().UnadviseAll();
}

HRESULT ScriptedEngine::Call(const EngineCall& call) {
    OutsidePluginScope scope;
    const EngineAnswer answer = script_->AnswerTo(*this, call);
    if (call.ok != nullptr && !answer.leaveOk) *call.ok = answer.ok;
    if (call.result != nullptr) *call.result = answer.ok;
    if (call.cookieOut != nullptr && answer.setCookie) *call.cookieOut = answer.cookie;
    if (call.item != nullptr) {
        *call.item = answer.item;
    } else if (answer.item != nullptr) {
        answer.item->Release();
    }
    return answer.hr;
}

HRESULT ScriptedEngine::Fire(VARIANT* argsLastFirst, UINT count, DISPID member) {
    IDispatch* sink = point_.Sink();
    if (sink == nullptr) return S_FALSE;
    DISPPARAMS params{argsLastFirst, nullptr, count, 0};
    PluginCodeScope plugin;
    return RaiseEvent(sink, member, &params);
}

HRESULT ScriptedEngine::FireProgress(const wchar_t* localName, const wchar_t* remoteName,
                                     LONG percent, DISPID member) {
    OutsidePluginScope scope;
    BSTR local = localName ? SysAllocString(localName) : nullptr;
    BSTR remote = remoteName ? SysAllocString(remoteName) : nullptr;
    ProgressEventArgs event(local, remote, percent);
    const HRESULT hr = Fire(event.args, 3, member);
    SysFreeString(remote);
    SysFreeString(local);
    return hr;
}

IDispatch* ScriptedEventPoint::Sink() { return engine_.Events().LatestSink(); }
DWORD ScriptedEventPoint::Cookie() { return engine_.Events().LatestCookie(); }
LONG ScriptedEventPoint::RefCount() const { return engine_.RefCount(); }

void ScriptedEventPoint::Note(const std::string& what) {
    if (keepLog) log.push_back(what);
}

HRESULT ScriptedEventPoint::QueryInterface(REFIID riid, void** object) {
    if (IsEqualIID(riid, __uuidof(IUnknown)) || IsEqualIID(riid, __uuidof(IConnectionPoint))) {
        *object = static_cast<IConnectionPoint*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG ScriptedEventPoint::AddRef() { return engine_.AddRef(); }

ULONG ScriptedEventPoint::Release() {
    OutsidePluginScope scope;
    const ULONG count = engine_.Release();
    Note("Release " + std::to_string(count));
    return count;
}

HRESULT ScriptedEventPoint::GetConnectionInterface(IID* iid) {
    return engine_.Events().GetConnectionInterface(iid);
}

HRESULT ScriptedEventPoint::GetConnectionPointContainer(IConnectionPointContainer** container) {
    return engine_.Events().GetConnectionPointContainer(container);
}

HRESULT ScriptedEventPoint::Advise(IUnknown* sinkUnknown, DWORD* cookie) {
    OutsidePluginScope scope;
    Note("Advise");
    if (engine_.refuseAdvise) {
        *cookie = 0;
        return CONNECT_E_CANNOTCONNECT;
    }
    EventConnectionPoint& events = engine_.Events();
    // The shared point releases a sink it replaces; a weakly held one is
    // taken off first.
    if (engine_.weakSinkReference) events.Detach(events.LatestCookie());
    const HRESULT hr = events.Advise(sinkUnknown, cookie);
    if (SUCCEEDED(hr) && engine_.weakSinkReference) events.LatestSink()->Release();
    return hr;
}

HRESULT ScriptedEventPoint::Unadvise(DWORD cookie) {
    OutsidePluginScope scope;
    Note("Unadvise " + std::to_string(cookie));
    EventConnectionPoint& events = engine_.Events();
    if (!engine_.weakSinkReference) return events.Unadvise(cookie);
    return events.Detach(cookie) != nullptr ? S_OK : CONNECT_E_NOCONNECTION;
}
