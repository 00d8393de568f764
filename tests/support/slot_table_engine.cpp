#include "tests/support/slot_table_engine.h"

#include <oleauto.h>

#include <new>

namespace {

// The record as the engine receives it on the stack: 24 bytes.
struct WireRecord {
    const char* account;
    const char* bucket;
    const char* key;
    unsigned int alignment;
    long long size;
};
static_assert(sizeof(WireRecord) == 24, "wire record");

using Self = SlotTableEngine::Object;

SlotTableEngine& Owner(Self* self) { return *self->owner; }

void Record(Self* self, int slot, std::string args = std::string()) {
    Owner(self).calls.push_back({slot, std::move(args)});
}

std::string Text(const WireRecord& r) {
    return std::string(r.account) + "|" + r.bucket + "|" + r.key + "|" + std::to_string(r.size);
}

std::string Text(BSTR b) {
    if (b == nullptr) return "(null)";
    std::string out;
    for (UINT i = 0; i < SysStringLen(b); ++i) out += static_cast<char>(b[i]);
    return out;
}

// The listing entry.
struct ItemObject {
    const void* const* vtable;
    SlotTableEngine* owner;
    LONG refs;
};

HRESULT __stdcall ItemQueryInterface(ItemObject* self, REFIID, void** out) {
    *out = nullptr;
    (void)self;
    return E_NOINTERFACE;
}
ULONG __stdcall ItemAddRef(ItemObject* self) { return ++self->refs; }
ULONG __stdcall ItemRelease(ItemObject* self) {
    const LONG refs = --self->refs;
    if (refs == 0) {
        --self->owner->liveItems;
        delete self;
    }
    return refs;
}
HRESULT __stdcall ItemNotImplemented(ItemObject*) { return E_NOTIMPL; }
HRESULT __stdcall ItemGetName(ItemObject* self, BSTR* name) {
    *name = SysAllocString(self->owner->itemName.c_str());
    return S_OK;
}
HRESULT __stdcall ItemGetDate(ItemObject* self, double* date) {
    *date = self->owner->itemDate;
    return S_OK;
}
HRESULT __stdcall ItemGetKind(ItemObject* self, LONG* kind) {
    *kind = self->owner->itemKind;
    return S_OK;
}
HRESULT __stdcall ItemGetSize(ItemObject* self, LONGLONG* size) {
    *size = self->owner->itemSize;
    return S_OK;
}

const void* const kItemTable[] = {
    reinterpret_cast<const void*>(&ItemQueryInterface),  // 0
    reinterpret_cast<const void*>(&ItemAddRef),          // 1
    reinterpret_cast<const void*>(&ItemRelease),         // 2
    reinterpret_cast<const void*>(&ItemNotImplemented),  // 3 GetTypeInfoCount
    reinterpret_cast<const void*>(&ItemNotImplemented),  // 4 GetTypeInfo
    reinterpret_cast<const void*>(&ItemNotImplemented),  // 5 GetIDsOfNames
    reinterpret_cast<const void*>(&ItemNotImplemented),  // 6 Invoke
    reinterpret_cast<const void*>(&ItemGetName),         // 7 Name
    reinterpret_cast<const void*>(&ItemNotImplemented),  // 8
    reinterpret_cast<const void*>(&ItemGetDate),         // 9 Date
    reinterpret_cast<const void*>(&ItemNotImplemented),  // 10
    reinterpret_cast<const void*>(&ItemGetKind),         // 11 Kind
    reinterpret_cast<const void*>(&ItemNotImplemented),  // 12
    reinterpret_cast<const void*>(&ItemGetSize),         // 13 Size
};

void* NewItem(Self* self) {
    ++Owner(self).liveItems;
    return new ItemObject{kItemTable, self->owner, 1};
}

// IUnknown and IDispatch: enough to be held and released.
HRESULT __stdcall QueryInterface(Self*, REFIID, void** out) {
    *out = nullptr;
    return E_NOINTERFACE;
}
ULONG __stdcall AddRef(Self*) { return 2; }
ULONG __stdcall Release(Self*) { return 1; }
HRESULT __stdcall NotImplemented(Self*) { return E_NOTIMPL; }

HRESULT __stdcall FirstAccount(Self* self, LONG* cookie, void** item) {
    Record(self, 7);
    *cookie = 7;
    *item = NewItem(self);
    return S_OK;
}
HRESULT __stdcall NextAccount(Self* self, LONG cookie, void** item) {
    Record(self, 8, std::to_string(cookie));
    *item = nullptr;
    return S_OK;
}
HRESULT __stdcall FirstBucket(Self* self, WireRecord path, LONG* cookie, void** item) {
    Record(self, 9, Text(path));
    *cookie = 9;
    *item = NewItem(self);
    return S_OK;
}
HRESULT __stdcall NextBucket(Self* self, LONG cookie, void** item) {
    Record(self, 10, std::to_string(cookie));
    *item = nullptr;
    return S_OK;
}
HRESULT __stdcall FirstObject(Self* self, WireRecord path, LONG* cookie, void** item) {
    Record(self, 11, Text(path));
    *cookie = 11;
    *item = NewItem(self);
    return S_OK;
}
HRESULT __stdcall NextObject(Self* self, LONG cookie, void** item) {
    Record(self, 12, std::to_string(cookie));
    *item = nullptr;
    return S_OK;
}
template <int Slot>
HRESULT __stdcall OnePath(Self* self, WireRecord path, VARIANT_BOOL* ok) {
    Record(self, Slot, Text(path));
    *ok = VARIANT_TRUE;
    return S_OK;
}
HRESULT __stdcall RenameAccount(Self* self, BSTR oldName, BSTR newName, VARIANT_BOOL* ok) {
    Record(self, 14, Text(oldName) + " " + Text(newName));
    *ok = VARIANT_TRUE;
    return S_OK;
}
HRESULT __stdcall DeleteAccount(Self* self, BSTR name, VARIANT_BOOL* ok) {
    Record(self, 15, Text(name));
    *ok = VARIANT_TRUE;
    return S_OK;
}
template <int Slot>
HRESULT __stdcall TwoPaths(Self* self, WireRecord source, WireRecord target, LONG move,
                           VARIANT_BOOL* ok) {
    Record(self, Slot, Text(source) + " " + Text(target) + " " + std::to_string(move));
    *ok = VARIANT_TRUE;
    return S_OK;
}
HRESULT __stdcall DownloadObject(Self* self, WireRecord path, BSTR local, LONG* out) {
    Record(self, 19, Text(path) + " " + Text(local));
    *out = 0;
    return S_OK;
}
HRESULT __stdcall UploadObject(Self* self, BSTR local, WireRecord path, LONG* out) {
    Record(self, 20, Text(local) + " " + Text(path));
    *out = 0;
    return S_OK;
}
template <int Slot>
HRESULT __stdcall NoArguments(Self* self) {
    Record(self, Slot);
    return S_OK;
}

const void* const kEngineTable[] = {
    reinterpret_cast<const void*>(&QueryInterface),   // 0
    reinterpret_cast<const void*>(&AddRef),           // 1
    reinterpret_cast<const void*>(&Release),          // 2
    reinterpret_cast<const void*>(&NotImplemented),   // 3
    reinterpret_cast<const void*>(&NotImplemented),   // 4
    reinterpret_cast<const void*>(&NotImplemented),   // 5
    reinterpret_cast<const void*>(&NotImplemented),   // 6
    reinterpret_cast<const void*>(&FirstAccount),     // 7
    reinterpret_cast<const void*>(&NextAccount),      // 8
    reinterpret_cast<const void*>(&FirstBucket),      // 9
    reinterpret_cast<const void*>(&NextBucket),       // 10
    reinterpret_cast<const void*>(&FirstObject),      // 11
    reinterpret_cast<const void*>(&NextObject),       // 12
    reinterpret_cast<const void*>(&OnePath<13>),      // 13 CreateAccount
    reinterpret_cast<const void*>(&RenameAccount),    // 14
    reinterpret_cast<const void*>(&DeleteAccount),    // 15
    reinterpret_cast<const void*>(&OnePath<16>),      // 16 CreateBucket
    reinterpret_cast<const void*>(&TwoPaths<17>),     // 17 CopyBucket
    reinterpret_cast<const void*>(&OnePath<18>),      // 18 DeleteBucket
    reinterpret_cast<const void*>(&DownloadObject),   // 19
    reinterpret_cast<const void*>(&UploadObject),     // 20
    reinterpret_cast<const void*>(&OnePath<21>),      // 21 DeleteObject
    reinterpret_cast<const void*>(&TwoPaths<22>),     // 22 CopyObject
    reinterpret_cast<const void*>(&OnePath<23>),      // 23 CreateFolder
    reinterpret_cast<const void*>(&TwoPaths<24>),     // 24 CopyFolder
    reinterpret_cast<const void*>(&NoArguments<25>),  // 25 ShowRootProperties
    reinterpret_cast<const void*>(&NoArguments<26>),  // 26 ShowAccountProperties
};
static_assert(sizeof(kEngineTable) / sizeof(kEngineTable[0]) == 27, "slots 0 to 26");

}  // namespace

SlotTableEngine::SlotTableEngine() : object_{kEngineTable, this} {}
