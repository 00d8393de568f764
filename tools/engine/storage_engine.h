#pragma once
// The reference storage engine: IStorageBrowser over a folder of the local
// disk (local_store.h), with a connection point for IStorageBrowserEvents.
//
// Threading: registered as "Both"; every method may run on any thread. The
// listing enumerations and the advised sinks sit behind their own locks.
// Downloads and uploads copy on a worker thread of their own, which fires
// the progress events by calling each advised sink's Invoke directly.

#include <windows.h>
#include <ocidl.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "engine/srw_lock.h"
#include "engine/storage_browser.h"
#include "tools/engine/local_store.h"

// IDispatch without type information: callers use the virtual table only.
template <class Interface>
class VtableOnly : public Interface {
public:
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        if (count == nullptr) return E_POINTER;
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*,
                                     EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }
};

// A new listing entry with one reference for the caller.
StorageItem* MakeStorageItem(const StoreEntry& entry);

class CStorageEngine final : public VtableOnly<IStorageBrowser>, public IConnectionPointContainer {
public:
    // Reads the store root and the throttle from the environment. Reference
    // count 1 for the creator.
    CStorageEngine();
    CStorageEngine(const CStorageEngine&) = delete;
    CStorageEngine& operator=(const CStorageEngine&) = delete;

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IStorageBrowser
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

    // Transfers (transfer.cpp). A new transfer silences every older one, so
    // a transfer the host gave up on cannot report into the next one's
    // progress; it still runs to its end.
    LONG BeginTransfer();
    // Fires one progress event to every advised sink, unless `transfer` has
    // been silenced. Runs on the transfer's worker thread.
    void FireProgress(LONG transfer, BSTR localName, BSTR remoteName, LONG percent);
    DWORD ThrottleMs() const { return throttleMs_; }

private:
    // The connection point for IStorageBrowserEvents. Part of the engine:
    // its references are the engine's.
    class EventPoint final : public IConnectionPoint {
    public:
        explicit EventPoint(CStorageEngine& engine) : engine_(engine) {}
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
        ULONG STDMETHODCALLTYPE AddRef() override { return engine_.AddRef(); }
        ULONG STDMETHODCALLTYPE Release() override { return engine_.Release(); }
        HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override;
        HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(
            IConnectionPointContainer** container) override;
        HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override;
        HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override;
        HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections**) override { return E_NOTIMPL; }

    private:
        CStorageEngine& engine_;
    };

    struct Enumeration {
        std::vector<StoreEntry> entries;
        std::size_t next = 0;
    };

    ~CStorageEngine();

    // Locate() below the store root; also remembers the account, which the
    // account properties report.
    bool Resolve(const RemotePath& rp, StoreLocation* where);
    HRESULT StartListing(std::vector<StoreEntry> entries, ListingCookie* cookie,
                         StorageItem** item);
    HRESULT NextEntry(ListingCookie cookie, StorageItem** item);
    bool CopyOrMove(const RemotePath& source, const RemotePath& target, LONG move, bool folders);
    // Opens both files on the caller's thread, so that a refusal is a failed
    // HRESULT, then copies on a worker thread of its own.
    HRESULT StartTransfer(const std::wstring& sourcePath, const std::wstring& targetPath,
                          BSTR localName, const RemotePath& remote);
    std::vector<IDispatch*> AdvisedSinks();

    LONG refCount_ = 1;
    const std::wstring root_;
    const DWORD throttleMs_;
    EventPoint eventPoint_{*this};

    SrwLock stateLock_;  // enumerations_, nextCookie_, lastAccount_
    std::map<ListingCookie, Enumeration> enumerations_;
    ListingCookie nextCookie_ = 0;
    std::wstring lastAccount_;

    SrwLock sinksLock_;  // sinks_, nextSinkCookie_
    std::vector<std::pair<DWORD, IDispatch*>> sinks_;
    DWORD nextSinkCookie_ = 0;

    SrwLock fireLock_;  // held while an event is delivered; guards currentTransfer_
    LONG currentTransfer_ = 0;
};
