// Directory listing: FsFindFirst starts the engine's enumeration chosen by
// the listed path's depth and FsFindNext goes on with it, each handing the
// host one entry as a WIN32_FIND_DATAA. Every listing keeps its own state
// under its own handle, so a host may list a subfolder inside its parent's
// listing, as file managers do when they walk a folder tree, and list on two
// threads at once.
#include <windows.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <utility>

#include "binding/bstr.h"
#include "binding/storage_browser.h"
#include "common/call_guarded.h"
#include "common/wfx_api.h"
#include "path/remote_path.h"
#include "plugin/listing.h"
#include "plugin/plugin_state.h"

using Microsoft::WRL::ComPtr;

HRESULT FirstAtLevel(IStorageBrowser& engine, PathLevel level, RemotePath record,
                     ListingCookie* cookie, StorageItem** item) {
    switch (level) {
    case PathLevel::Root:
        return engine.FirstAccount(cookie, item);
    case PathLevel::Account:
        return engine.FirstBucket(record, cookie, item);
    default:
        return engine.FirstObject(record, cookie, item);
    }
}

HRESULT NextAtLevel(IStorageBrowser& engine, PathLevel level, ListingCookie cookie,
                    StorageItem** item) {
    switch (level) {
    case PathLevel::Root:
        return engine.NextAccount(cookie, item);
    case PathLevel::Account:
        return engine.NextBucket(cookie, item);
    default:
        return engine.NextObject(cookie, item);
    }
}

namespace {

// The cookie FirstBucket leaves when the account has nothing to show, not
// even the placeholder.
constexpr ListingCookie kNoBucketListCookie = -1;
// Engine names get one byte less than cFileName holds: at most the bytes a
// path field carries back (kRemoteTextLimit, 258) and the terminator.
constexpr int kEngineNameBound = static_cast<int>(kRemoteTextLimit) + 1;
static_assert(kEngineNameBound == MAX_PATH - 1, "one byte less than cFileName");

enum class EntryFill {
    Filled,
    Undeliverable,  // no name, or one that would have to be shortened
    Failed,         // a getter failed
};

enum class ListStep { Delivered, Ended, Failed };

void ZeroFindData(WIN32_FIND_DATAA& findData) { std::memset(&findData, 0, sizeof(findData)); }

// The date is taken as the engine gives it, with no time-zone shift. One that
// does not convert leaves the write time zero and the entry is still shown.
void SetWriteTime(DATE date, WIN32_FIND_DATAA& findData) {
    SYSTEMTIME systemTime{};
    FILETIME fileTime{};
    if (VariantTimeToSystemTime(date, &systemTime) &&
        SystemTimeToFileTime(&systemTime, &fileTime)) {
        findData.ftLastWriteTime = fileTime;
    }
}

// Puts back the thread's last error on leaving scope. Converting an entry
// can fail inside Windows calls (a name that does not fit, a date out of
// range), which leave their own codes; the listing sets the last error for
// empty lists only.
class LastErrorKeeper {
public:
    LastErrorKeeper() : saved_(GetLastError()) {}
    ~LastErrorKeeper() { SetLastError(saved_); }
    LastErrorKeeper(const LastErrorKeeper&) = delete;
    LastErrorKeeper& operator=(const LastErrorKeeper&) = delete;

private:
    DWORD saved_;
};

// Reads the entry's getters in the order Name, Date, Kind, Size and stops at
// the first that fails, leaving what the earlier ones wrote.
EntryFill FillFindData(StorageItem* item, WIN32_FIND_DATAA& findData, std::size_t* nameLength) {
    if (item == nullptr) return EntryFill::Failed;
    const LastErrorKeeper keeper;
    switch (ReadListedName(*item, findData.cFileName, nameLength)) {
    case NameRead::Read: break;
    case NameRead::Undeliverable: return EntryFill::Undeliverable;
    case NameRead::Failed: return EntryFill::Failed;
    }
    DATE date = 0.0;
    if (FAILED(item->get_Date(&date))) return EntryFill::Failed;
    SetWriteTime(date, findData);

    LONG kind = 0;
    if (FAILED(item->get_Kind(&kind))) return EntryFill::Failed;
    findData.dwFileAttributes =
        kind == kObjectKind ? FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_DIRECTORY;

    LONGLONG size = 0;
    if (FAILED(item->get_Size(&size))) return EntryFill::Failed;
    const auto bits = static_cast<ULONGLONG>(size);
    findData.nFileSizeHigh = static_cast<DWORD>(bits >> 32);
    findData.nFileSizeLow = static_cast<DWORD>(bits);
    return EntryFill::Filled;
}

// Fills findData from `item`, or, when that entry cannot be delivered, from
// the level's next entries until one can or the list ends; *nameLength is
// the name's length of a delivered entry. Every item is released on the way,
// whatever happens.
ListStep DeliverFrom(ComPtr<StorageItem> item, IStorageBrowser& engine, PathLevel level,
                     ListingCookie cookie, WIN32_FIND_DATAA& findData, std::size_t* nameLength) {
    while (item) {
        const EntryFill fill = FillFindData(item.Get(), findData, nameLength);
        if (fill == EntryFill::Filled) return ListStep::Delivered;
        if (fill == EntryFill::Failed) return ListStep::Failed;
        ZeroFindData(findData);  // the refused name may have left bytes behind
        if (FAILED(NextAtLevel(engine, level, cookie, item.ReleaseAndGetAddressOf()))) {
            return ListStep::Failed;
        }
    }
    return ListStep::Ended;
}

template <std::size_t N>
void ShowPlaceholder(const char (&name)[N], WIN32_FIND_DATAA& findData) {
    static_assert(N <= sizeof(findData.cFileName), "the placeholder fits whole");
    std::memcpy(findData.cFileName, name, N);
    findData.dwFileAttributes = FILE_ATTRIBUTE_NORMAL;
}

// An empty list shows a placeholder entry (true), or ends the listing with
// the level's last error (false).
bool AnswerEmptyList(PathLevel level, ListingCookie cookie, WIN32_FIND_DATAA& findData) {
    switch (level) {
    case PathLevel::Root:
        ShowPlaceholder(kAddAccountPlaceholder, findData);
        return true;
    case PathLevel::Account:
        if (cookie == kNoBucketListCookie) {
            SetLastError(ERROR_SUCCESS);
            return false;
        }
        ShowPlaceholder(kCreateBucketPlaceholder, findData);
        return true;
    default:
        SetLastError(ERROR_NO_MORE_FILES);
        return false;
    }
}

// The host's listing teaches the plugin the folder's names: each entry
// delivered is collected, and the end reached makes them known.
void Learn(PluginState& state, FolderNames& names, ListStep step,
           const WIN32_FIND_DATAA& findData, std::size_t nameLength) {
    switch (step) {
    case ListStep::Delivered: names.Collect(findData.cFileName, nameLength); break;
    case ListStep::Ended: state.knowledge.Learn(names, state.clock()); break;
    case ListStep::Failed: names.Drop(); break;
    }
}

// One step of a listing: the level's next entry, or its first when `path`
// is given, delivered into findData and learnt from.
ListStep Step(PluginState& state, Listing& listing, const RemotePath* path,
              WIN32_FIND_DATAA& findData) {
    IStorageBrowser& engine = *state.engine;
    ComPtr<StorageItem> item;
    const HRESULT hr = path != nullptr
                           ? FirstAtLevel(engine, listing.level, *path, &listing.cookie, &item)
                           : NextAtLevel(engine, listing.level, listing.cookie, &item);
    std::size_t nameLength = 0;
    const ListStep step = FAILED(hr) ? ListStep::Failed
                                     : DeliverFrom(std::move(item), engine, listing.level,
                                                   listing.cookie, findData, &nameLength);
    Learn(state, listing.names, step, findData, nameLength);
    return step;
}

HANDLE FindFirst(const char* hostPath, WIN32_FIND_DATAA* findData) {
    PluginState& state = GetPluginState();
    if (hostPath == nullptr || findData == nullptr) return INVALID_HANDLE_VALUE;
    ZeroFindData(*findData);

    OwnedRemotePath path;
    const ParsedHostPath parsed = ParseHostPath(hostPath, path);
    if (!parsed.fits) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return INVALID_HANDLE_VALUE;
    }
    if (state.engine == nullptr) return INVALID_HANDLE_VALUE;

    std::unique_ptr<Listing> listing = state.listings.TakeRecycled();
    if (listing == nullptr) listing = std::make_unique<Listing>();
    listing->level = parsed.level;
    listing->cookie = 0;
    listing->names.Begin(FolderName::Of(listing->level, path.Record()), state.clock(),
                         state.knowledge.Now());
    switch (Step(state, *listing, &path.Record(), *findData)) {
    case ListStep::Delivered: break;
    case ListStep::Ended:
        if (!AnswerEmptyList(listing->level, listing->cookie, *findData)) return INVALID_HANDLE_VALUE;
        break;
    case ListStep::Failed: return INVALID_HANDLE_VALUE;
    }
    // A listing pushed out to make room is one the host abandoned long ago.
    std::unique_ptr<Listing> abandoned;
    const HANDLE handle = state.listings.Open(std::move(listing), abandoned);
    state.listings.Recycle(std::move(abandoned));
    return handle;
}

BOOL FindNext(HANDLE handle, WIN32_FIND_DATAA* findData) {
    PluginState& state = GetPluginState();
    if (findData == nullptr) return FALSE;
    ZeroFindData(*findData);
    if (state.engine == nullptr) return FALSE;
    const OpenListings::Use listing(state.listings, handle);
    if (!listing) return FALSE;
    return Step(state, *listing, nullptr, *findData) == ListStep::Delivered ? TRUE : FALSE;
}

}  // namespace

NameRead ReadListedName(StorageItem& item, char (&name)[MAX_PATH], std::size_t* length) {
    UniqueBstr text;
    if (FAILED(item.get_Name(text.Put()))) return NameRead::Failed;
    // A shortened name would address a different object.
    const int written = ToAnsiInto(text.Get(), name, kEngineNameBound);
    if (written == 0) return NameRead::Undeliverable;
    *length = static_cast<std::size_t>(written - 1);
    return NameRead::Read;
}

HANDLE __stdcall FsFindFirst(char* Path, WIN32_FIND_DATAA* FindData) {
    return CallGuarded<HANDLE>(INVALID_HANDLE_VALUE, [&] { return FindFirst(Path, FindData); });
}

BOOL __stdcall FsFindNext(HANDLE Hdl, WIN32_FIND_DATAA* FindData) {
    return CallGuarded<BOOL>(FALSE, [&] { return FindNext(Hdl, FindData); });
}

// The engine is never told that a listing ended: only the plugin's own state
// of it goes, kept for the next listing to reuse.
int __stdcall FsFindClose(HANDLE Hdl) {
    CallGuardedVoid([&] {
        OpenListings& listings = GetPluginState().listings;
        listings.Recycle(listings.Close(Hdl));
    });
    return 0;
}
