#include "tests/support/fake_engine.h"

#include "tests/support/plugin_scope.h"

#include <oleauto.h>
#include <olectl.h>

LONG g_liveFakeItems = 0;

namespace {

std::string Utf8(const wchar_t* text, int length) {
    if (length <= 0) return std::string();
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, length, &result[0], bytes, nullptr, nullptr);
    return result;
}

class FakeStorageItem final : public StorageItem {
public:
    explicit FakeStorageItem(const ItemSpec& values) : values_(values) {
        InterlockedIncrement(&g_liveFakeItems);
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (IsEqualIID(riid, __uuidof(IUnknown)) || IsEqualIID(riid, __uuidof(IDispatch)) ||
            IsEqualIID(riid, __uuidof(StorageItem))) {
            *object = static_cast<StorageItem*>(this);
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
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*,
                                     EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE get_Name(BSTR* name) override {
        OutsidePluginScope engine;  // the name's BSTR is the engine's allocation
        if (FAILED(values_.nameResult)) return values_.nameResult;
        *name = values_.nullName ? nullptr
                               : SysAllocStringLen(values_.name.data(),
                                                   static_cast<UINT>(values_.name.size()));
        return values_.nameResult;
    }
    HRESULT STDMETHODCALLTYPE put_Name(BSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_Date(DATE* date) override {
        if (FAILED(values_.dateResult)) return values_.dateResult;
        *date = values_.date;
        return values_.dateResult;
    }
    HRESULT STDMETHODCALLTYPE put_Date(DATE) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_Kind(LONG* kind) override {
        if (FAILED(values_.kindResult)) return values_.kindResult;
        *kind = values_.kind;
        return values_.kindResult;
    }
    HRESULT STDMETHODCALLTYPE put_Kind(LONG) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_Size(LONGLONG* size) override {
        if (FAILED(values_.sizeResult)) return values_.sizeResult;
        *size = values_.size;
        return values_.sizeResult;
    }

private:
    ~FakeStorageItem() { InterlockedDecrement(&g_liveFakeItems); }

    LONG refCount_ = 1;
    ItemSpec values_;
};

}  // namespace

StorageItem* MakeFakeItem(const ItemSpec& values) { return new FakeStorageItem(values); }

std::string Describe(const RemotePath& path) {
    std::string text = std::string(path.account ? path.account : "(null)") + "|" +
                       (path.bucket ? path.bucket : "(null)") + "|" +
                       (path.key ? path.key : "(null)");
    if (path.size != 0) text += "#" + std::to_string(path.size);
    return text;
}

std::string Describe(BSTR text) {
    if (text == nullptr) return "(null)";
    return Utf8(text, static_cast<int>(SysStringLen(text)));
}

std::string OperationOf(const std::string& call) { return call.substr(0, call.find(' ')); }

ULONG RefCountOf(IUnknown* object) {
    object->AddRef();
    return object->Release();
}

FakeStorageBrowser::FakeStorageBrowser() : point_(new FakeConnectionPoint(*this)) {
    point_->AddRef();
}

FakeStorageBrowser::~FakeStorageBrowser() {
    if (point_->sink != nullptr && !weakSinkReference) point_->sink->Release();
    point_->sink = nullptr;
    point_->Release();
}

void FakeStorageBrowser::Script(const std::string& operation, Answer answer) {
    script_[operation].push_back(answer);
}

void FakeStorageBrowser::ScriptChange(const std::string& operation, HRESULT hr, VARIANT_BOOL ok) {
    Answer answer;
    answer.hr = hr;
    answer.ok = ok;
    Script(operation, answer);
}

void FakeStorageBrowser::ScriptItem(const std::string& operation, const ItemSpec& item) {
    Answer answer;
    answer.hasItem = true;
    answer.item = item;
    Script(operation, answer);
}

void FakeStorageBrowser::ScriptEnd(const std::string& operation, HRESULT hr) {
    Answer answer;
    answer.hr = hr;
    Script(operation, answer);
}

Answer FakeStorageBrowser::Take(const std::string& call, const std::string& operation) {
    calls.push_back(call);
    if (onCall) onCall(call);
    auto found = script_.find(operation);
    if (found == script_.end() || found->second.empty()) {
        unexpected.push_back(call);
        Answer refusal;
        refusal.hr = E_UNEXPECTED;
        refusal.ok = VARIANT_FALSE;
        return refusal;
    }
    Answer answer = found->second.front();
    found->second.pop_front();
    return answer;
}

HRESULT FakeStorageBrowser::Change(const std::string& call, const std::string& operation,
                                   VARIANT_BOOL* ok) {
    const Answer answer = Take(call, operation);
    if (ok != nullptr && !answer.leaveOk) *ok = answer.ok;
    return answer.hr;
}

HRESULT FakeStorageBrowser::List(const std::string& call, const std::string& operation,
                                 ListingCookie* cookie, StorageItem** item) {
    const Answer answer = Take(call, operation);
    if (cookie != nullptr && answer.setCookie) *cookie = answer.cookie;
    if (item != nullptr && answer.hasItem) *item = MakeFakeItem(answer.item);
    return answer.hr;
}

HRESULT FakeStorageBrowser::QueryInterface(REFIID riid, void** object) {
    if (IsEqualIID(riid, __uuidof(IUnknown)) || IsEqualIID(riid, __uuidof(IDispatch)) ||
        IsEqualIID(riid, __uuidof(IStorageBrowser))) {
        *object = static_cast<IStorageBrowser*>(this);
    } else if (offerContainer && IsEqualIID(riid, __uuidof(IConnectionPointContainer))) {
        *object = static_cast<IConnectionPointContainer*>(this);
    } else {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

ULONG FakeStorageBrowser::AddRef() { return InterlockedIncrement(&refCount_); }
ULONG FakeStorageBrowser::Release() { return InterlockedDecrement(&refCount_); }

HRESULT FakeStorageBrowser::FirstAccount(ListingCookie* cookie, StorageItem** item) {
    return List("FirstAccount", "FirstAccount", cookie, item);
}
HRESULT FakeStorageBrowser::NextAccount(ListingCookie cookie, StorageItem** item) {
    return List("NextAccount " + std::to_string(cookie), "NextAccount", nullptr, item);
}
HRESULT FakeStorageBrowser::FirstBucket(RemotePath path, ListingCookie* cookie, StorageItem** item) {
    return List("FirstBucket " + Describe(path), "FirstBucket", cookie, item);
}
HRESULT FakeStorageBrowser::NextBucket(ListingCookie cookie, StorageItem** item) {
    return List("NextBucket " + std::to_string(cookie), "NextBucket", nullptr, item);
}
HRESULT FakeStorageBrowser::FirstObject(RemotePath path, ListingCookie* cookie, StorageItem** item) {
    return List("FirstObject " + Describe(path), "FirstObject", cookie, item);
}
HRESULT FakeStorageBrowser::NextObject(ListingCookie cookie, StorageItem** item) {
    return List("NextObject " + std::to_string(cookie), "NextObject", nullptr, item);
}
HRESULT FakeStorageBrowser::CreateAccount(RemotePath path, VARIANT_BOOL* ok) {
    return Change("CreateAccount " + Describe(path), "CreateAccount", ok);
}
HRESULT FakeStorageBrowser::RenameAccount(BSTR oldName, BSTR newName, VARIANT_BOOL* ok) {
    return Change("RenameAccount " + Describe(oldName) + " " + Describe(newName), "RenameAccount",
                  ok);
}
HRESULT FakeStorageBrowser::DeleteAccount(BSTR name, VARIANT_BOOL* ok) {
    return Change("DeleteAccount " + Describe(name), "DeleteAccount", ok);
}
HRESULT FakeStorageBrowser::CreateBucket(RemotePath path, VARIANT_BOOL* ok) {
    return Change("CreateBucket " + Describe(path), "CreateBucket", ok);
}
HRESULT FakeStorageBrowser::CopyBucket(RemotePath source, RemotePath target, LONG move,
                                       VARIANT_BOOL* ok) {
    return Change("CopyBucket " + Describe(source) + " " + Describe(target) + " " +
                      std::to_string(move),
                  "CopyBucket", ok);
}
HRESULT FakeStorageBrowser::DeleteBucket(RemotePath path, VARIANT_BOOL* ok) {
    return Change("DeleteBucket " + Describe(path), "DeleteBucket", ok);
}
HRESULT FakeStorageBrowser::DownloadObject(RemotePath path, BSTR localName, LONG* result) {
    const Answer answer = Take("DownloadObject " + Describe(path) + " " + Describe(localName),
                               "DownloadObject");
    if (result != nullptr) *result = 0;
    return answer.hr;
}
HRESULT FakeStorageBrowser::UploadObject(BSTR localName, RemotePath path, LONG* result) {
    const Answer answer = Take("UploadObject " + Describe(localName) + " " + Describe(path),
                               "UploadObject");
    if (result != nullptr) *result = 0;
    return answer.hr;
}
HRESULT FakeStorageBrowser::DeleteObject(RemotePath path, VARIANT_BOOL* ok) {
    return Change("DeleteObject " + Describe(path), "DeleteObject", ok);
}
HRESULT FakeStorageBrowser::CopyObject(RemotePath source, RemotePath target, LONG move,
                                       VARIANT_BOOL* ok) {
    return Change("CopyObject " + Describe(source) + " " + Describe(target) + " " +
                      std::to_string(move),
                  "CopyObject", ok);
}
HRESULT FakeStorageBrowser::CreateFolder(RemotePath path, VARIANT_BOOL* ok) {
    return Change("CreateFolder " + Describe(path), "CreateFolder", ok);
}
HRESULT FakeStorageBrowser::CopyFolder(RemotePath source, RemotePath target, LONG move,
                                       VARIANT_BOOL* ok) {
    return Change("CopyFolder " + Describe(source) + " " + Describe(target) + " " +
                      std::to_string(move),
                  "CopyFolder", ok);
}
HRESULT FakeStorageBrowser::ShowRootProperties() {
    return Take("ShowRootProperties", "ShowRootProperties").hr;
}
HRESULT FakeStorageBrowser::ShowAccountProperties() {
    return Take("ShowAccountProperties", "ShowAccountProperties").hr;
}

HRESULT FakeStorageBrowser::FindConnectionPoint(REFIID riid, IConnectionPoint** point) {
    if (!IsEqualIID(riid, __uuidof(IStorageBrowserEvents))) {
        *point = nullptr;
        return CONNECT_E_NOCONNECTION;
    }
    *point = point_;
    point_->AddRef();
    return S_OK;
}

HRESULT FakeStorageBrowser::FireProgress(const wchar_t* localName, const wchar_t* remoteName,
                                         LONG percent, DISPID member) {
    IDispatch* sink = point_->sink;
    if (sink == nullptr) return S_FALSE;
    VARIANT args[3];
    V_VT(&args[0]) = VT_I4;
    V_I4(&args[0]) = percent;
    V_VT(&args[1]) = VT_BSTR;
    V_BSTR(&args[1]) = remoteName ? SysAllocString(remoteName) : nullptr;
    V_VT(&args[2]) = VT_BSTR;
    V_BSTR(&args[2]) = localName ? SysAllocString(localName) : nullptr;
    DISPPARAMS params{args, nullptr, 3, 0};
    const HRESULT hr =
        sink->Invoke(member, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
    SysFreeString(V_BSTR(&args[1]));
    SysFreeString(V_BSTR(&args[2]));
    return hr;
}

HRESULT FakeConnectionPoint::QueryInterface(REFIID riid, void** object) {
    if (IsEqualIID(riid, __uuidof(IUnknown)) || IsEqualIID(riid, __uuidof(IConnectionPoint))) {
        *object = static_cast<IConnectionPoint*>(this);
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

ULONG FakeConnectionPoint::AddRef() { return InterlockedIncrement(&refCount_); }

ULONG FakeConnectionPoint::Release() {
    const LONG count = InterlockedDecrement(&refCount_);
    log.push_back("Release " + std::to_string(count));
    if (count == 0) delete this;
    return count;
}

HRESULT FakeConnectionPoint::Advise(IUnknown* sinkUnknown, DWORD* cookie) {
    log.push_back("Advise");
    if (owner_.refuseAdvise) {
        *cookie = 0;
        return CONNECT_E_CANNOTCONNECT;
    }
    if (sinkUnknown == nullptr ||
        FAILED(sinkUnknown->QueryInterface(IID_PPV_ARGS(&sink)))) {
        return E_POINTER;
    }
    if (owner_.weakSinkReference) sink->Release();
    cookieGiven = 0x5eed;
    *cookie = cookieGiven;
    return S_OK;
}

HRESULT FakeConnectionPoint::Unadvise(DWORD cookie) {
    log.push_back("Unadvise " + std::to_string(cookie));
    if (cookie != cookieGiven || sink == nullptr) return CONNECT_E_NOCONNECTION;
    IDispatch* released = sink;
    sink = nullptr;
    if (!owner_.weakSinkReference) released->Release();
    return S_OK;
}
