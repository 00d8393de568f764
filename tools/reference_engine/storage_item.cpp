// One listing entry handed to the engine's caller.
#include "tools/engine_com/storage_item_object.h"
#include "tools/reference_engine/engine_module.h"
#include "tools/reference_engine/storage_engine.h"

namespace {

class CStorageItem final : public StorageItemObject {
public:
    explicit CStorageItem(const StoreEntry& entry) : entry_(entry) { ModuleAddRef(); }

    // The caller owns the BSTR it receives.
    HRESULT STDMETHODCALLTYPE get_Name(BSTR* name) override {
        if (name == nullptr) return E_POINTER;
        *name = SysAllocStringLen(entry_.name.data(), static_cast<UINT>(entry_.name.size()));
        return *name != nullptr ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT STDMETHODCALLTYPE get_Date(DATE* date) override { return Get(date, entry_.date); }
    HRESULT STDMETHODCALLTYPE get_Kind(LONG* kind) override { return Get(kind, entry_.kind); }
    HRESULT STDMETHODCALLTYPE get_Size(LONGLONG* size) override { return Get(size, entry_.size); }

private:
    ~CStorageItem() override { ModuleRelease(); }

    template <typename T>
    static HRESULT Get(T* out, T value) {
        if (out == nullptr) return E_POINTER;
        *out = value;
        return S_OK;
    }

    const StoreEntry entry_;
};

}  // namespace

StorageItem* MakeStorageItem(const StoreEntry& entry) { return new CStorageItem(entry); }
