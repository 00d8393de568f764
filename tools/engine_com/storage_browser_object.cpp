#include "tools/engine_com/storage_browser_object.h"

#include <olectl.h>

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

namespace {

EngineCall Listing(EngineOp op, const RemotePath* path, ListingCookie* cookie, StorageItem** item) {
    EngineCall call{op};
    call.path = path;
    call.cookieOut = cookie;
    call.item = item;
    return call;
}

EngineCall NextStep(EngineOp op, ListingCookie cookie, StorageItem** item) {
    EngineCall call{op};
    call.cookie = cookie;
    call.item = item;
    return call;
}

EngineCall Change(EngineOp op, const RemotePath* path, VARIANT_BOOL* ok) {
    EngineCall call{op};
    call.path = path;
    call.ok = ok;
    return call;
}

EngineCall Copy(EngineOp op, const RemotePath* source, const RemotePath* target, LONG move,
                VARIANT_BOOL* ok) {
    EngineCall call = Change(op, source, ok);
    call.target = target;
    call.move = move;
    return call;
}

EngineCall Transfer(EngineOp op, const RemotePath* path, BSTR localName, LONG* result) {
    EngineCall call{op};
    call.path = path;
    call.name = localName;
    call.result = result;
    return call;
}

}  // namespace

HRESULT StorageBrowserObject::QueryInterface(REFIID riid, void** object) {
    if (object == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) ||
        IsEqualIID(riid, __uuidof(IStorageBrowser))) {
        *object = static_cast<IStorageBrowser*>(this);
    } else if (IsEqualIID(riid, IID_IConnectionPointContainer) && OfferedEventPoint() != nullptr) {
        *object = static_cast<IConnectionPointContainer*>(this);
    } else {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

ULONG StorageBrowserObject::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&refCount_)); }

ULONG StorageBrowserObject::Release() {
    const LONG count = InterlockedDecrement(&refCount_);
    if (count == 0) Destroy();
    return static_cast<ULONG>(count);
}

HRESULT StorageBrowserObject::FindConnectionPoint(REFIID riid, IConnectionPoint** point) {
    if (point == nullptr) return E_POINTER;
    IConnectionPoint* offered = OfferedEventPoint();
    if (offered == nullptr || !IsEqualIID(riid, __uuidof(IStorageBrowserEvents))) {
        *point = nullptr;
        return CONNECT_E_NOCONNECTION;
    }
    *point = offered;
    offered->AddRef();
    return S_OK;
}

HRESULT StorageBrowserObject::FirstAccount(ListingCookie* cookie, StorageItem** item) {
    return Call(Listing(EngineOp::FirstAccount, nullptr, cookie, item));
}
HRESULT StorageBrowserObject::NextAccount(ListingCookie cookie, StorageItem** item) {
    return Call(NextStep(EngineOp::NextAccount, cookie, item));
}
HRESULT StorageBrowserObject::FirstBucket(RemotePath path, ListingCookie* cookie,
                                          StorageItem** item) {
    return Call(Listing(EngineOp::FirstBucket, &path, cookie, item));
}
HRESULT StorageBrowserObject::NextBucket(ListingCookie cookie, StorageItem** item) {
    return Call(NextStep(EngineOp::NextBucket, cookie, item));
}
HRESULT StorageBrowserObject::FirstObject(RemotePath path, ListingCookie* cookie,
                                          StorageItem** item) {
    return Call(Listing(EngineOp::FirstObject, &path, cookie, item));
}
HRESULT StorageBrowserObject::NextObject(ListingCookie cookie, StorageItem** item) {
    return Call(NextStep(EngineOp::NextObject, cookie, item));
}
HRESULT StorageBrowserObject::CreateAccount(RemotePath path, VARIANT_BOOL* ok) {
    return Call(Change(EngineOp::CreateAccount, &path, ok));
}
HRESULT StorageBrowserObject::RenameAccount(BSTR oldName, BSTR newName, VARIANT_BOOL* ok) {
    EngineCall call = Change(EngineOp::RenameAccount, nullptr, ok);
    call.name = oldName;
    call.newName = newName;
    return Call(call);
}
HRESULT StorageBrowserObject::DeleteAccount(BSTR name, VARIANT_BOOL* ok) {
    EngineCall call = Change(EngineOp::DeleteAccount, nullptr, ok);
    call.name = name;
    return Call(call);
}
HRESULT StorageBrowserObject::CreateBucket(RemotePath path, VARIANT_BOOL* ok) {
    return Call(Change(EngineOp::CreateBucket, &path, ok));
}
HRESULT StorageBrowserObject::CopyBucket(RemotePath source, RemotePath target, LONG move,
                                         VARIANT_BOOL* ok) {
    return Call(Copy(EngineOp::CopyBucket, &source, &target, move, ok));
}
HRESULT StorageBrowserObject::DeleteBucket(RemotePath path, VARIANT_BOOL* ok) {
    return Call(Change(EngineOp::DeleteBucket, &path, ok));
}
HRESULT StorageBrowserObject::DownloadObject(RemotePath path, BSTR localName, LONG* result) {
    return Call(Transfer(EngineOp::DownloadObject, &path, localName, result));
}
HRESULT StorageBrowserObject::UploadObject(BSTR localName, RemotePath path, LONG* result) {
    return Call(Transfer(EngineOp::UploadObject, &path, localName, result));
}
HRESULT StorageBrowserObject::DeleteObject(RemotePath path, VARIANT_BOOL* ok) {
    return Call(Change(EngineOp::DeleteObject, &path, ok));
}
HRESULT StorageBrowserObject::CopyObject(RemotePath source, RemotePath target, LONG move,
                                         VARIANT_BOOL* ok) {
    return Call(Copy(EngineOp::CopyObject, &source, &target, move, ok));
}
HRESULT StorageBrowserObject::CreateFolder(RemotePath path, VARIANT_BOOL* ok) {
    return Call(Change(EngineOp::CreateFolder, &path, ok));
}
HRESULT StorageBrowserObject::CopyFolder(RemotePath source, RemotePath target, LONG move,
                                         VARIANT_BOOL* ok) {
    return Call(Copy(EngineOp::CopyFolder, &source, &target, move, ok));
}
HRESULT StorageBrowserObject::ShowRootProperties() {
    return Call(EngineCall{EngineOp::ShowRootProperties});
}
HRESULT StorageBrowserObject::ShowAccountProperties() {
    return Call(EngineCall{EngineOp::ShowAccountProperties});
}
