#pragma once
// An engine for stress runs: every call is described to a plan, which checks
// it and decides the answer (any HRESULT, any ok value, an entry or none, a
// cookie) and may fire progress events of any shape meanwhile. It logs
// nothing and allocates nothing per call, so fuzzing, allocation-failure runs
// and the benchmark share it without it dominating what they measure.
//
// Lifetime: the engine lives in the test's scope; Release never deletes it.
// Plans hand out the recording fake's entries (MakeFakeItem), counted in
// g_liveFakeItems.

#include <windows.h>
#include <ocidl.h>

#include "engine/storage_browser.h"
#include "tests/support/fake_engine.h"
#include "tests/support/plugin_scope.h"

// The engine's operations, in slot order (7 to 26).
enum class EngineOp {
    FirstAccount, NextAccount, FirstBucket, NextBucket, FirstObject, NextObject,
    CreateAccount, RenameAccount, DeleteAccount, CreateBucket, CopyBucket, DeleteBucket,
    DownloadObject, UploadObject, DeleteObject, CopyObject, CreateFolder, CopyFolder,
    ShowRootProperties, ShowAccountProperties,
};
constexpr int kEngineOpCount = 20;
const char* OpName(EngineOp op);

// One call as the engine received it. Pointers are valid during the call only.
struct EngineCall {
    EngineOp op;
    const RemotePath* path = nullptr;    // the record, or a copy's source
    const RemotePath* target = nullptr;  // a copy's target
    BSTR name = nullptr;                 // account name, old account name or local file name
    BSTR newName = nullptr;              // RenameAccount's new name
    LONG move = 0;                       // copies: the host's Move as received
    ListingCookie cookie = 0;            // Next operations: the cookie given back
};

struct EngineAnswer {
    HRESULT hr = S_OK;
    VARIANT_BOOL ok = VARIANT_TRUE;
    StorageItem* item = nullptr;  // listing steps: handed over with its reference
    bool setCookie = false;       // First operations: write `cookie`
    ListingCookie cookie = 0;
};

class FaultEngine;

class EnginePlan {
public:
    // Runs inside the engine call, as engine code (see plugin_scope.h); may
    // fire events on `engine`.
    virtual EngineAnswer Answer(FaultEngine& engine, const EngineCall& call) = 0;

protected:
    ~EnginePlan() = default;
};

class FaultEngine final : public IStorageBrowser, public IConnectionPointContainer {
public:
    explicit FaultEngine(EnginePlan& plan);
    ~FaultEngine();
    FaultEngine(const FaultEngine&) = delete;
    FaultEngine& operator=(const FaultEngine&) = delete;

    // Fires one event to the advised sink with `count` arguments, last-first
    // as dispatch has them; the arguments stay the caller's. S_FALSE when no
    // sink is advised, else Invoke's HRESULT.
    HRESULT Fire(VARIANT* argsLastFirst, UINT count);
    // A well-formed progress event: local name, remote name, percent.
    HRESULT FireProgress(const wchar_t* localName, const wchar_t* remoteName, LONG percent);
    bool HasSink() const;

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    // IDispatch
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*,
                                     EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }
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

private:
    class EventPoint;

    HRESULT Change(const EngineCall& call, VARIANT_BOOL* ok);
    HRESULT List(const EngineCall& call, ListingCookie* cookie, StorageItem** item);
    HRESULT Transfer(const EngineCall& call, LONG* result);

    EnginePlan* plan_;
    EventPoint* point_;
};
