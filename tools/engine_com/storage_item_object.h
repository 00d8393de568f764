#pragma once
// What every engine's listing entry has in common: IUnknown with an
// interlocked count, IDispatch without type information, and setters that
// refuse (an entry describes the store as it was listed). An engine derives
// one class that answers the four getters and keeps its own books in its
// constructor and destructor.
//
// Lifetime: made with `new`, reference count 1 for the caller; deleted at
// count zero through the virtual destructor.

#include <windows.h>

#include "binding/storage_browser.h"
#include "tools/engine_com/vtable_only.h"

class StorageItemObject : public VtableOnly<StorageItem> {
public:
    StorageItemObject(const StorageItemObject&) = delete;
    StorageItemObject& operator=(const StorageItemObject&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (object == nullptr) return E_POINTER;
        if (!IsEqualIID(riid, __uuidof(IUnknown)) && !IsEqualIID(riid, __uuidof(IDispatch)) &&
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

    HRESULT STDMETHODCALLTYPE put_Name(BSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_Date(DATE) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_Kind(LONG) override { return E_NOTIMPL; }

protected:
    StorageItemObject() = default;
    // Declared after StorageItem's slots, so it adds none among them.
    virtual ~StorageItemObject() = default;

private:
    LONG refCount_ = 1;
};
