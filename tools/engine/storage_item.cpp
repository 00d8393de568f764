// One listing entry handed to the engine's caller.
#include "tools/engine/engine_module.h"
#include "tools/engine/storage_engine.h"

namespace {

class CStorageItem final : public VtableOnly<StorageItem> {
public:
    explicit CStorageItem(const StoreEntry& entry) : entry_(entry) { ModuleAddRef(); }
    CStorageItem(const CStorageItem&) = delete;
    CStorageItem& operator=(const CStorageItem&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (object == nullptr) return E_POINTER;
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IDispatch) &&
            !IsEqualIID(riid, __uuidof(StorageItem))) {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        *object = static_cast<StorageItem*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override {
        return static_cast<ULONG>(InterlockedIncrement(&refCount_));
    }
    ULONG STDMETHODCALLTYPE Release() override {
        const LONG count = InterlockedDecrement(&refCount_);
        if (count == 0) delete this;
        return static_cast<ULONG>(count);
    }

    // The caller owns the BSTR it receives.
    HRESULT STDMETHODCALLTYPE get_Name(BSTR* name) override {
        if (name == nullptr) return E_POINTER;
        *name = SysAllocStringLen(entry_.name.data(), static_cast<UINT>(entry_.name.size()));
        return *name != nullptr ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT STDMETHODCALLTYPE get_Date(DATE* date) override { return Get(date, entry_.date); }
    HRESULT STDMETHODCALLTYPE get_Kind(LONG* kind) override { return Get(kind, entry_.kind); }
    HRESULT STDMETHODCALLTYPE get_Size(LONGLONG* size) override { return Get(size, entry_.size); }
    // Entries describe the store as it was listed; they are not writable.
    HRESULT STDMETHODCALLTYPE put_Name(BSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_Date(DATE) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_Kind(LONG) override { return E_NOTIMPL; }

private:
    ~CStorageItem() { ModuleRelease(); }

    template <typename T>
    static HRESULT Get(T* out, T value) {
        if (out == nullptr) return E_POINTER;
        *out = value;
        return S_OK;
    }

    LONG refCount_ = 1;
    const StoreEntry entry_;
};

}  // namespace

StorageItem* MakeStorageItem(const StoreEntry& entry) { return new CStorageItem(entry); }
