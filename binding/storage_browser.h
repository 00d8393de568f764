#pragma once
// What the plugin requires of the storage engine, a COM automation server
// created by ProgID "corvanel_win32.Corvanel". Declared here from the engine's
// contract; every method is stdcall through the virtual table, in slot order,
// and returns an HRESULT of which only the sign counts.

#include <windows.h>
#include <oaidl.h>
#include <ocidl.h>

#include "path/remote_path.h"

// Value from a First listing operation, handed back to the matching Next.
using ListingCookie = LONG;

// One listing entry. Dual interface; slots 7 to 13 are its properties'
// get/put pairs, of which the plugin reads the four getters.
struct StorageItem : public IDispatch {
    virtual HRESULT STDMETHODCALLTYPE get_Name(BSTR* name) = 0;           // 7
    virtual HRESULT STDMETHODCALLTYPE put_Name(BSTR name) = 0;            // 8
    virtual HRESULT STDMETHODCALLTYPE get_Date(DATE* date) = 0;           // 9
    virtual HRESULT STDMETHODCALLTYPE put_Date(DATE date) = 0;            // 10
    virtual HRESULT STDMETHODCALLTYPE get_Kind(LONG* kind) = 0;           // 11: 3 is a file
    virtual HRESULT STDMETHODCALLTYPE put_Kind(LONG kind) = 0;            // 12
    virtual HRESULT STDMETHODCALLTYPE get_Size(LONGLONG* size) = 0;       // 13
};

// The engine. Texts inside RemotePath are 8-bit and valid during the call
// only; BSTR arguments stay the caller's. ok out-values are preset to
// VARIANT_FALSE by the caller, and a change happened only when the HRESULT is
// not negative and ok is VARIANT_TRUE.
struct IStorageBrowser : public IDispatch {
    virtual HRESULT STDMETHODCALLTYPE FirstAccount(ListingCookie* cookie, StorageItem** item) = 0;   // 7
    virtual HRESULT STDMETHODCALLTYPE NextAccount(ListingCookie cookie, StorageItem** item) = 0;     // 8
    virtual HRESULT STDMETHODCALLTYPE FirstBucket(RemotePath path, ListingCookie* cookie,
                                                  StorageItem** item) = 0;                         // 9
    virtual HRESULT STDMETHODCALLTYPE NextBucket(ListingCookie cookie, StorageItem** item) = 0;      // 10
    virtual HRESULT STDMETHODCALLTYPE FirstObject(RemotePath path, ListingCookie* cookie,
                                                  StorageItem** item) = 0;                         // 11
    virtual HRESULT STDMETHODCALLTYPE NextObject(ListingCookie cookie, StorageItem** item) = 0;      // 12
    virtual HRESULT STDMETHODCALLTYPE CreateAccount(RemotePath path, VARIANT_BOOL* ok) = 0;         // 13
    virtual HRESULT STDMETHODCALLTYPE RenameAccount(BSTR oldName, BSTR newName,
                                                    VARIANT_BOOL* ok) = 0;                         // 14
    virtual HRESULT STDMETHODCALLTYPE DeleteAccount(BSTR name, VARIANT_BOOL* ok) = 0;               // 15
    virtual HRESULT STDMETHODCALLTYPE CreateBucket(RemotePath path, VARIANT_BOOL* ok) = 0;          // 16
    virtual HRESULT STDMETHODCALLTYPE CopyBucket(RemotePath source, RemotePath target, LONG move,
                                                 VARIANT_BOOL* ok) = 0;                            // 17
    virtual HRESULT STDMETHODCALLTYPE DeleteBucket(RemotePath path, VARIANT_BOOL* ok) = 0;          // 18
    virtual HRESULT STDMETHODCALLTYPE DownloadObject(RemotePath path, BSTR localName,
                                                     LONG* result) = 0;                            // 19
    virtual HRESULT STDMETHODCALLTYPE UploadObject(BSTR localName, RemotePath path,
                                                   LONG* result) = 0;                              // 20
    virtual HRESULT STDMETHODCALLTYPE DeleteObject(RemotePath path, VARIANT_BOOL* ok) = 0;          // 21
    virtual HRESULT STDMETHODCALLTYPE CopyObject(RemotePath source, RemotePath target, LONG move,
                                                 VARIANT_BOOL* ok) = 0;                            // 22
    virtual HRESULT STDMETHODCALLTYPE CreateFolder(RemotePath path, VARIANT_BOOL* ok) = 0;          // 23
    virtual HRESULT STDMETHODCALLTYPE CopyFolder(RemotePath source, RemotePath target, LONG move,
                                                 VARIANT_BOOL* ok) = 0;                            // 24
    virtual HRESULT STDMETHODCALLTYPE ShowRootProperties() = 0;                                     // 25
    virtual HRESULT STDMETHODCALLTYPE ShowAccountProperties() = 0;                                  // 26
};

// The engine's outgoing dispatch interface. Its progress events carry three
// positional arguments: local name (BSTR), remote name (BSTR), percent (LONG).
struct IStorageBrowserEvents : public IDispatch {};

__CRT_UUID_DECL(StorageItem, 0x6c1f3a52, 0x0d4e, 0x4b8a, 0x9e, 0x51, 0x3a, 0x7c, 0x21, 0xd0, 0x5b, 0x44)
__CRT_UUID_DECL(IStorageBrowser, 0x10cfffb6, 0x6580, 0x4d85, 0x89, 0x78, 0xee, 0x9e, 0x1a, 0x41, 0x1b, 0x93)
__CRT_UUID_DECL(IStorageBrowserEvents, 0x0422d916, 0xc11a, 0x474e, 0x94, 0x7d, 0x45, 0xa1, 0x07, 0x03, 0x8d, 0x12)

// The ProgID under which the engine is registered.
constexpr wchar_t kEngineProgId[] = L"corvanel_win32.Corvanel";

// The Kind of a listing entry that is an object (a file); every other Kind
// is a container: an account, a bucket or a folder.
constexpr LONG kObjectKind = 3;

// A change is done only when the call succeeded and the engine said yes.
inline bool EngineAgreed(HRESULT hr, VARIANT_BOOL ok) {
    return SUCCEEDED(hr) && ok == VARIANT_TRUE;
}
