#pragma once
// What every engine object has in common, whatever answers its calls: the
// IUnknown of IStorageBrowser and IConnectionPointContainer with an
// interlocked count, IDispatch without type information, the connection
// point for IStorageBrowserEvents, and the twenty engine methods, each handed
// to Call() as one EngineCall. The reference engine answers from the store on
// disk; the tests' scripted engine from whatever script it plays.
//
// Lifetime: reference count 1 for the creator; at count zero Destroy() runs,
// which deletes the object unless the derived class keeps it.

#include <windows.h>
#include <ocidl.h>

#include "binding/storage_browser.h"
#include "tools/engine_com/event_point.h"
#include "tools/engine_com/vtable_only.h"

// The engine's operations, in slot order (7 to 26).
enum class EngineOp {
    FirstAccount, NextAccount, FirstBucket, NextBucket, FirstObject, NextObject,
    CreateAccount, RenameAccount, DeleteAccount, CreateBucket, CopyBucket, DeleteBucket,
    DownloadObject, UploadObject, DeleteObject, CopyObject, CreateFolder, CopyFolder,
    ShowRootProperties, ShowAccountProperties,
};
constexpr int kEngineOpCount = 20;
const char* OpName(EngineOp op);

// One call as the engine received it. Pointers are the caller's, valid during
// the call only; an out-pointer the operation does not have stays null, one
// the caller passed as null is null as well.
struct EngineCall {
    EngineOp op;
    const RemotePath* path = nullptr;    // the record, or a copy's source
    const RemotePath* target = nullptr;  // a copy's target
    BSTR name = nullptr;                 // account name, old account name or local file name
    BSTR newName = nullptr;              // RenameAccount's new name
    LONG move = 0;                       // copies: the host's Move as received
    ListingCookie cookie = 0;            // Next operations: the cookie given back

    ListingCookie* cookieOut = nullptr;  // First operations
    StorageItem** item = nullptr;        // listing steps
    VARIANT_BOOL* ok = nullptr;          // changes
    LONG* result = nullptr;              // downloads and uploads
};

class StorageBrowserObject : public VtableOnly<IStorageBrowser>, public IConnectionPointContainer {
public:
    StorageBrowserObject(const StorageBrowserObject&) = delete;
    StorageBrowserObject& operator=(const StorageBrowserObject&) = delete;

    LONG RefCount() const { return refCount_; }

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    // IStorageBrowser: each builds its EngineCall and returns Call()'s answer.
    HRESULT STDMETHODCALLTYPE FirstAccount(ListingCookie* cookie, StorageItem** item) override;
    HRESULT STDMETHODCALLTYPE NextAccount(ListingCookie cookie, StorageItem** item) override;
    HRESULT STDMETHODCALLTYPE FirstBucket(RemotePath path, ListingCookie* cookie,
                                          StorageItem** item) override;
    HRESULT STDMETHODCALLTYPE NextBucket(ListingCookie cookie, StorageItem** item) override;
    HRESULT STDMETHODCALLTYPE FirstObject(RemotePath path, ListingCookie* cookie,
                                          StorageItem** item) override;
    HRESULT STDMETHODCALLTYPE NextObject(ListingCookie cookie, StorageItem** item) override;
    HRESULT STDMETHODCALLTYPE CreateAccount(RemotePath path, VARIANT_BOOL* ok) override;
    HRESULT STDMETHODCALLTYPE RenameAccount(BSTR oldName, BSTR newName, VARIANT_BOOL* ok) override;
    HRESULT STDMETHODCALLTYPE DeleteAccount(BSTR name, VARIANT_BOOL* ok) override;
    HRESULT STDMETHODCALLTYPE CreateBucket(RemotePath path, VARIANT_BOOL* ok) override;
    HRESULT STDMETHODCALLTYPE CopyBucket(RemotePath source, RemotePath target, LONG move,
                                         VARIANT_BOOL* ok) override;
    HRESULT STDMETHODCALLTYPE DeleteBucket(RemotePath path, VARIANT_BOOL* ok) override;
    HRESULT STDMETHODCALLTYPE DownloadObject(RemotePath path, BSTR localName, LONG* result) override;
    HRESULT STDMETHODCALLTYPE UploadObject(BSTR localName, RemotePath path, LONG* result) override;
    HRESULT STDMETHODCALLTYPE DeleteObject(RemotePath path, VARIANT_BOOL* ok) override;
    HRESULT STDMETHODCALLTYPE CopyObject(RemotePath source, RemotePath target, LONG move,
                                         VARIANT_BOOL* ok) override;
    HRESULT STDMETHODCALLTYPE CreateFolder(RemotePath path, VARIANT_BOOL* ok) override;
    HRESULT STDMETHODCALLTYPE CopyFolder(RemotePath source, RemotePath target, LONG move,
                                         VARIANT_BOOL* ok) override;
    HRESULT STDMETHODCALLTYPE ShowRootProperties() override;
    HRESULT STDMETHODCALLTYPE ShowAccountProperties() override;
    // IConnectionPointContainer
    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint** point) override;

protected:
    explicit StorageBrowserObject(EventConnectionPoint::SinkCount sinks) : events_(*this, sinks) {}
    virtual ~StorageBrowserObject() = default;

    // The engine's answer to one call; writes the call's out-values itself.
    virtual HRESULT Call(const EngineCall& call) = 0;
    // The point handed out for IStorageBrowserEvents, or null to offer no
    // connection points at all (QueryInterface then refuses the container).
    virtual IConnectionPoint* OfferedEventPoint() { return &events_; }
    virtual void Destroy() { delete this; }

    EventConnectionPoint& Events() { return events_; }

private:
    LONG refCount_ = 1;
    EventConnectionPoint events_;
};
