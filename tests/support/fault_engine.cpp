#include "tests/support/fault_engine.h"

#include <oleauto.h>
#include <olectl.h>

// The engine's connection point for its events: one advised sink at a time,
// held by one reference; a later Advise replaces the earlier sink, as a
// second FsInit does.
class FaultEngine::EventPoint final : public IConnectionPoint {
public:
    IDispatch* sink = nullptr;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (IsEqualIID(riid, __uuidof(IUnknown)) || IsEqualIID(riid, __uuidof(IConnectionPoint))) {
            *object = static_cast<IConnectionPoint*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&refCount_); }
    ULONG STDMETHODCALLTYPE Release() override {
        const LONG count = InterlockedDecrement(&refCount_);
        if (count == 0) delete this;
        return count;
    }
    HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Advise(IUnknown* sinkUnknown, DWORD* cookie) override {
        IDispatch* advised = nullptr;
        if (sinkUnknown == nullptr || FAILED(sinkUnknown->QueryInterface(IID_PPV_ARGS(&advised)))) {
            return E_POINTER;
        }
        Drop();
        sink = advised;
        *cookie = ++lastCookie_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override {
        if (sink == nullptr || cookie != lastCookie_) return CONNECT_E_NOCONNECTION;
        Drop();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections**) override { return E_NOTIMPL; }

    void Drop() {
        IDispatch* dropped = sink;
        sink = nullptr;
        if (dropped != nullptr) dropped->Release();
    }

private:
    ~EventPoint() = default;

    LONG refCount_ = 1;
    DWORD lastCookie_ = 0;
};

const char* OpName(EngineOp op) {
    static const char* const kNames[kEngineOpCount] = {
        "FirstAccount", "NextAccount", "FirstBucket", "NextBucket", "FirstObject",
        "NextObject", "CreateAccount", "RenameAccount", "DeleteAccount", "CreateBucket",
        "CopyBucket", "DeleteBucket", "DownloadObject", "UploadObject", "DeleteObject",
        "CopyObject", "CreateFolder", "CopyFolder", "ShowRootProperties",
        "ShowAccountProperties"};
    const int index = static_cast<int>(op);
    return index >= 0 && index < kEngineOpCount ? kNames[index] : "(unknown)";
}

FaultEngine::FaultEngine(EnginePlan& plan) : plan_(&plan), point_(new EventPoint()) {}

FaultEngine::~FaultEngine() {
    point_->Drop();
    point_->Release();
}

bool FaultEngine::HasSink() const { return point_->sink != nullptr; }

HRESULT FaultEngine::Fire(VARIANT* argsLastFirst, UINT count) {
    IDispatch* sink = point_->sink;
    if (sink == nullptr) return S_FALSE;
    DISPPARAMS params{argsLastFirst, nullptr, count, 0};
    PluginCodeScope plugin;
    return sink->Invoke(1, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
}

HRESULT FaultEngine::FireProgress(const wchar_t* localName, const wchar_t* remoteName,
                                  LONG percent) {
    OutsidePluginScope scope;
    VARIANT args[3];
    V_VT(&args[0]) = VT_I4;
    V_I4(&args[0]) = percent;
    V_VT(&args[1]) = VT_BSTR;
    V_BSTR(&args[1]) = remoteName ? SysAllocString(remoteName) : nullptr;
    V_VT(&args[2]) = VT_BSTR;
    V_BSTR(&args[2]) = localName ? SysAllocString(localName) : nullptr;
    const HRESULT hr = Fire(args, 3);
    SysFreeString(V_BSTR(&args[1]));
    SysFreeString(V_BSTR(&args[2]));
    return hr;
}

HRESULT FaultEngine::QueryInterface(REFIID riid, void** object) {
    OutsidePluginScope scope;
    if (IsEqualIID(riid, __uuidof(IUnknown)) || IsEqualIID(riid, __uuidof(IDispatch)) ||
        IsEqualIID(riid, __uuidof(IStorageBrowser))) {
        *object = static_cast<IStorageBrowser*>(this);
    } else if (IsEqualIID(riid, __uuidof(IConnectionPointContainer))) {
        *object = static_cast<IConnectionPointContainer*>(this);
    } else {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    return S_OK;
}

HRESULT FaultEngine::FindConnectionPoint(REFIID riid, IConnectionPoint** point) {
    if (!IsEqualIID(riid, __uuidof(IStorageBrowserEvents))) {
        *point = nullptr;
        return CONNECT_E_NOCONNECTION;
    }
    *point = point_;
    point_->AddRef();
    return S_OK;
}

HRESULT FaultEngine::Change(const EngineCall& call, VARIANT_BOOL* ok) {
    OutsidePluginScope scope;
    const EngineAnswer answer = plan_->Answer(*this, call);
    if (ok != nullptr) *ok = answer.ok;
    return answer.hr;
}

HRESULT FaultEngine::List(const EngineCall& call, ListingCookie* cookie, StorageItem** item) {
    OutsidePluginScope scope;
    const EngineAnswer answer = plan_->Answer(*this, call);
    if (cookie != nullptr && answer.setCookie) *cookie = answer.cookie;
    if (item != nullptr) {
        *item = answer.item;
    } else if (answer.item != nullptr) {
        answer.item->Release();
    }
    return answer.hr;
}

HRESULT FaultEngine::Transfer(const EngineCall& call, LONG* result) {
    OutsidePluginScope scope;
    const EngineAnswer answer = plan_->Answer(*this, call);
    if (result != nullptr) *result = answer.ok;
    return answer.hr;
}

HRESULT FaultEngine::FirstAccount(ListingCookie* cookie, StorageItem** item) {
    return List({EngineOp::FirstAccount}, cookie, item);
}
HRESULT FaultEngine::NextAccount(ListingCookie cookie, StorageItem** item) {
    EngineCall call{EngineOp::NextAccount};
    call.cookie = cookie;
    return List(call, nullptr, item);
}
HRESULT FaultEngine::FirstBucket(RemotePath path, ListingCookie* cookie, StorageItem** item) {
    return List({EngineOp::FirstBucket, &path}, cookie, item);
}
HRESULT FaultEngine::NextBucket(ListingCookie cookie, StorageItem** item) {
    EngineCall call{EngineOp::NextBucket};
    call.cookie = cookie;
    return List(call, nullptr, item);
}
HRESULT FaultEngine::FirstObject(RemotePath path, ListingCookie* cookie, StorageItem** item) {
    return List({EngineOp::FirstObject, &path}, cookie, item);
}
HRESULT FaultEngine::NextObject(ListingCookie cookie, StorageItem** item) {
    EngineCall call{EngineOp::NextObject};
    call.cookie = cookie;
    return List(call, nullptr, item);
}
HRESULT FaultEngine::CreateAccount(RemotePath path, VARIANT_BOOL* ok) {
    return Change({EngineOp::CreateAccount, &path}, ok);
}
HRESULT FaultEngine::RenameAccount(BSTR oldName, BSTR newName, VARIANT_BOOL* ok) {
    EngineCall call{EngineOp::RenameAccount};
    call.name = oldName;
    call.newName = newName;
    return Change(call, ok);
}
HRESULT FaultEngine::DeleteAccount(BSTR name, VARIANT_BOOL* ok) {
    EngineCall call{EngineOp::DeleteAccount};
    call.name = name;
    return Change(call, ok);
}
HRESULT FaultEngine::CreateBucket(RemotePath path, VARIANT_BOOL* ok) {
    return Change({EngineOp::CreateBucket, &path}, ok);
}
HRESULT FaultEngine::CopyBucket(RemotePath source, RemotePath target, LONG move,
                                VARIANT_BOOL* ok) {
    return Change({EngineOp::CopyBucket, &source, &target, nullptr, nullptr, move}, ok);
}
HRESULT FaultEngine::DeleteBucket(RemotePath path, VARIANT_BOOL* ok) {
    return Change({EngineOp::DeleteBucket, &path}, ok);
}
HRESULT FaultEngine::DownloadObject(RemotePath path, BSTR localName, LONG* result) {
    return Transfer({EngineOp::DownloadObject, &path, nullptr, localName}, result);
}
HRESULT FaultEngine::UploadObject(BSTR localName, RemotePath path, LONG* result) {
    return Transfer({EngineOp::UploadObject, &path, nullptr, localName}, result);
}
HRESULT FaultEngine::DeleteObject(RemotePath path, VARIANT_BOOL* ok) {
    return Change({EngineOp::DeleteObject, &path}, ok);
}
HRESULT FaultEngine::CopyObject(RemotePath source, RemotePath target, LONG move,
                                VARIANT_BOOL* ok) {
    return Change({EngineOp::CopyObject, &source, &target, nullptr, nullptr, move}, ok);
}
HRESULT FaultEngine::CreateFolder(RemotePath path, VARIANT_BOOL* ok) {
    return Change({EngineOp::CreateFolder, &path}, ok);
}
HRESULT FaultEngine::CopyFolder(RemotePath source, RemotePath target, LONG move,
                                VARIANT_BOOL* ok) {
    return Change({EngineOp::CopyFolder, &source, &target, nullptr, nullptr, move}, ok);
}
HRESULT FaultEngine::ShowRootProperties() { return Change({EngineOp::ShowRootProperties}, nullptr); }
HRESULT FaultEngine::ShowAccountProperties() {
    return Change({EngineOp::ShowAccountProperties}, nullptr);
}
