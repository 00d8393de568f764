#pragma once
// The reference storage engine: IStorageBrowser over a folder of the local
// disk (local_store.h), with a connection point for IStorageBrowserEvents.
// The COM object itself is the shared StorageBrowserObject
// (tools/engine_com/); this class answers its Call().
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

#include "binding/storage_browser.h"
#include "common/srw_lock.h"
#include "tools/engine_com/storage_browser_object.h"
#include "tools/reference_engine/faults.h"
#include "tools/reference_engine/latency.h"
#include "tools/reference_engine/local_store.h"

// A new listing entry with one reference for the caller.
StorageItem* MakeStorageItem(const StoreEntry& entry);

class CStorageEngine final : public StorageBrowserObject {
public:
    // Reads the store root, the throttle and the latency model from the environment. Reference
    // count 1 for the creator.
    CStorageEngine();
    CStorageEngine(const CStorageEngine&) = delete;
    CStorageEngine& operator=(const CStorageEngine&) = delete;

    // Transfers (transfer.cpp). Each runs to its end on a thread of its own
    // and reports to the end, also one the host gave up on: its events name
    // its local file, which tells them from another transfer's.
    // Fires one progress event to every advised sink, one event at a time.
    // Runs on the transfer's worker thread.
    void FireProgress(BSTR localName, BSTR remoteName, LONG percent);
    DWORD ThrottleMs() const { return throttleMs_; }
    const LatencyModel& Latency() const { return latency_; }
    // The faults planned for this engine (CORVANEL_FAULTS), read when it was made.
    EngineFaults& Faults() { return faults_; }

private:
    // Call() hands each operation to its own function below; the three Next
    // operations share NextEntry.
    HRESULT Call(const EngineCall& call) override;
    HRESULT ListAccounts(ListingCookie* cookie, StorageItem** item);
    HRESULT ListBuckets(const RemotePath& path, ListingCookie* cookie, StorageItem** item);
    HRESULT ListObjects(const RemotePath& path, ListingCookie* cookie, StorageItem** item);
    HRESULT AddAccount(const RemotePath& path, VARIANT_BOOL* ok);
    HRESULT RenameAccountFolder(BSTR oldName, BSTR newName, VARIANT_BOOL* ok);
    HRESULT RemoveAccount(BSTR name, VARIANT_BOOL* ok);
    HRESULT AddBucket(const RemotePath& path, VARIANT_BOOL* ok);
    HRESULT CopyBucketFolder(const RemotePath& source, const RemotePath& target, LONG move,
                             VARIANT_BOOL* ok);
    HRESULT RemoveBucket(const RemotePath& path, VARIANT_BOOL* ok);
    HRESULT Download(const RemotePath& path, BSTR localName, LONG* result);  // transfer.cpp
    HRESULT Upload(BSTR localName, const RemotePath& path, LONG* result);    // transfer.cpp
    HRESULT RemoveObject(const RemotePath& path, VARIANT_BOOL* ok);
    HRESULT CopyObjectFile(const RemotePath& source, const RemotePath& target, LONG move,
                           VARIANT_BOOL* ok);
    HRESULT AddFolder(const RemotePath& path, VARIANT_BOOL* ok);
    HRESULT CopyFolderTree(const RemotePath& source, const RemotePath& target, LONG move,
                           VARIANT_BOOL* ok);
    HRESULT ReportStore();
    HRESULT ReportAccount();

    struct Enumeration {
        std::vector<StoreEntry> entries;
        std::size_t next = 0;
        LaterFault fault;  // the planned failure of a later Next
    };

    ~CStorageEngine() override;

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

    const std::wstring root_;
    const DWORD throttleMs_;
    const LatencyModel latency_;
    EngineFaults faults_;

    SrwLock stateLock_;  // enumerations_, nextCookie_, lastAccount_
    std::map<ListingCookie, Enumeration> enumerations_;
    ListingCookie nextCookie_ = 0;
    std::wstring lastAccount_;

    SrwLock fireLock_;  // held while an event is delivered
};
