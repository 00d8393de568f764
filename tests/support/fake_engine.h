#pragma once
// A recording fake storage engine living in the test process. Every call is
// logged as one line ("CreateBucket work|photos|", "RenameAccount work play")
// and answered from a script; a call with nothing scripted is logged in
// `unexpected` as well and answered with E_UNEXPECTED. It also offers the
// connection point for the engine's events, and fires them on request.
//
// Logged forms: a RemotePath as account|bucket|key, followed by #size when
// the size is not 0; a BSTR as its text, or (null); numbers in decimal.
// Reference counts are tracked but the fake is never deleted by Release: it
// lives in the test's scope.

#include <windows.h>
#include <ocidl.h>

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "engine/storage_browser.h"

// One listing entry as the fake hands it out. Each getter answers with its
// result (a failure writes nothing); a null name makes get_Name succeed with
// a null BSTR.
struct ItemSpec {
    std::wstring name;
    bool nullName = false;
    DATE date = 0.0;
    LONG kind = 3;
    LONGLONG size = 0;
    HRESULT nameResult = S_OK;
    HRESULT dateResult = S_OK;
    HRESULT kindResult = S_OK;
    HRESULT sizeResult = S_OK;
};

// Live FakeStorageItem objects in the process: 0 once the plugin released
// everything it was given.
extern LONG g_liveFakeItems;

StorageItem* MakeFakeItem(const ItemSpec& values);

// The answer to one change operation (ok out-value), one listing step (an
// item or none) or any other call.
struct Answer {
    HRESULT hr = S_OK;
    VARIANT_BOOL ok = VARIANT_TRUE;
    bool hasItem = false;
    ItemSpec item;
    bool setCookie = false;  // First operations: write `cookie`
    ListingCookie cookie = 0;
    bool leaveOk = false;  // change operations: leave the caller's ok as it came
};

class FakeConnectionPoint;

class FakeStorageBrowser final : public IStorageBrowser, public IConnectionPointContainer {
public:
    FakeStorageBrowser();
    ~FakeStorageBrowser();

    // Scripting: answers are used in order, per operation name.
    void Script(const std::string& operation, Answer answer);
    void ScriptChange(const std::string& operation, HRESULT hr, VARIANT_BOOL ok);
    void ScriptItem(const std::string& operation, const ItemSpec& item);
    void ScriptEnd(const std::string& operation, HRESULT hr = S_OK);

    std::vector<std::string> calls;
    std::vector<std::string> unexpected;
    // Runs after a call is logged, before it is answered (fire events here).
    std::function<void(const std::string& call)> onCall;

    // Connection point behaviour and observation.
    bool offerContainer = true;
    bool refuseAdvise = false;
    // An engine that keeps no reference on the sink it was advised of.
    bool weakSinkReference = false;
    FakeConnectionPoint& Point() { return *point_; }
    // Fires one event with the given arguments to the advised sink, if any,
    // through Invoke with rgvarg last-first. Returns Invoke's HRESULT, or
    // S_FALSE when no sink is advised.
    HRESULT FireProgress(const wchar_t* localName, const wchar_t* remoteName, LONG percent,
                         DISPID member = 1);
    LONG RefCount() const { return refCount_; }

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
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
    Answer Take(const std::string& call, const std::string& operation);
    HRESULT Change(const std::string& call, const std::string& operation, VARIANT_BOOL* ok);
    HRESULT List(const std::string& call, const std::string& operation, ListingCookie* cookie,
                 StorageItem** item);

    LONG refCount_ = 1;
    std::map<std::string, std::deque<Answer>> script_;
    FakeConnectionPoint* point_;
};

// The engine's connection point for IStorageBrowserEvents. Keeps the advised
// sink referenced until Unadvise, and writes its own calls to `log` (shared
// order of Advise, Unadvise and its final Release).
class FakeConnectionPoint final : public IConnectionPoint {
public:
    explicit FakeConnectionPoint(FakeStorageBrowser& owner) : owner_(owner) {}

    IDispatch* sink = nullptr;
    DWORD cookieGiven = 0;
    std::vector<std::string> log;
    LONG RefCount() const { return refCount_; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Advise(IUnknown* sinkUnknown, DWORD* cookie) override;
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override;
    HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections**) override { return E_NOTIMPL; }

private:
    FakeStorageBrowser& owner_;
    LONG refCount_ = 0;
};

// Text helpers for logs and expectations.
std::string Describe(const RemotePath& path);
std::string Describe(BSTR text);
// The operation of a logged call: its first word.
std::string OperationOf(const std::string& call);

// The reference count of a COM object, read by an AddRef and Release pair.
ULONG RefCountOf(IUnknown* object);
