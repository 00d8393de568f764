#pragma once
// Listings straight on the engine, as a client that needs no plugin makes
// them: the floors and bare enumerations the 32-bit benchmarks compare the
// plugin's listing with.

#include <windows.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <cstring>

#include "binding/bstr.h"
#include "binding/storage_browser.h"
#include "path/remote_path.h"
#include "tests/bench/bench_support.h"

// An entry's four values, read through the engine's getters.
struct EntryValues {
    UniqueBstr name;
    DATE date = 0;
    LONG kind = 0;
    LONGLONG size = 0;

    bool Read(StorageItem& item) {
        return SUCCEEDED(item.get_Name(name.Put())) && SUCCEEDED(item.get_Date(&date)) &&
               SUCCEEDED(item.get_Kind(&kind)) && SUCCEEDED(item.get_Size(&size));
    }
};

// What a host needs of an entry, and nothing more: the name in 8-bit text,
// the date as a FILETIME, the attributes and the size in the find record.
inline void FillFindRecord(const EntryValues& entry, WIN32_FIND_DATAA* record) {
    std::memset(record, 0, sizeof(*record));
    WideCharToMultiByte(CP_THREAD_ACP, 0, entry.name.Get(), -1, record->cFileName, MAX_PATH - 1,
                        nullptr, nullptr);
    SYSTEMTIME systemTime{};
    if (VariantTimeToSystemTime(entry.date, &systemTime)) {
        SystemTimeToFileTime(&systemTime, &record->ftLastWriteTime);
    }
    record->dwFileAttributes = entry.kind == kObjectKind ? FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_DIRECTORY;
    record->nFileSizeHigh = static_cast<DWORD>(static_cast<ULONGLONG>(entry.size) >> 32);
    record->nFileSizeLow = static_cast<DWORD>(entry.size);
}

// One whole object listing of `path` on the engine: FirstObject, then
// NextObject until there is no entry, each entry handed to `visit`.
template <typename Visit>
Listed ListOnEngine(IStorageBrowser& engine, const RemotePath& path, Visit&& visit) {
    Listed listed;
    const double start = NowMs();
    ListingCookie cookie = 0;
    Microsoft::WRL::ComPtr<StorageItem> item;
    HRESULT hr = engine.FirstObject(path, &cookie, &item);
    long entries = 0;
    while (SUCCEEDED(hr) && item) {
        visit(*item.Get());
        if (entries++ == 0) listed.firstMs = NowMs() - start;
        hr = engine.NextObject(cookie, item.ReleaseAndGetAddressOf());
    }
    listed.entries = SUCCEEDED(hr) ? entries : -1;
    listed.ms = NowMs() - start;
    return listed;
}
