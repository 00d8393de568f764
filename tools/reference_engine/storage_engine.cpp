#include "tools/reference_engine/storage_engine.h"

#include <olectl.h>

#include <cstdio>

#include "binding/bstr.h"
#include "common/call_guarded.h"
#include "tools/reference_engine/engine_module.h"
#include "tools/reference_engine/faults.h"

namespace {

constexpr wchar_t kThrottleVariable[] = L"CORVANEL_THROTTLE_MS";
constexpr wchar_t kPropertiesTitle[] = L"Corvanel";
// Enumerations the host abandoned part-way are dropped, oldest first, beyond
// this many: as many as the plugin keeps listings open, for a host that walks
// a deep folder tree keeps one open at every level.
constexpr std::size_t kMaxEnumerations = 256;

DWORD ThrottleFromSettings() {
    wchar_t buffer[16];
    const DWORD length = GetEnvironmentVariableW(kThrottleVariable, buffer, ARRAYSIZE(buffer));
    if (length == 0 || length >= ARRAYSIZE(buffer)) return 0;
    return wcstoul(buffer, nullptr, 10);
}

// A store change: ok is VARIANT_TRUE only when `change` returned true.
// Refusals are not failures: they answer S_OK with ok VARIANT_FALSE.
template <typename Change>
HRESULT AnswerChange(VARIANT_BOOL* ok, Change&& change) {
    if (ok == nullptr) return E_POINTER;
    *ok = VARIANT_FALSE;
    return CallGuarded<HRESULT>(E_OUTOFMEMORY, [&] {
        *ok = change() ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    });
}

bool AccountPath(const std::wstring& root, BSTR name, std::wstring* path) {
    if (name == nullptr || !IsValidName(name)) return false;
    *path = root + L'\\' + name;
    return true;
}

// Letter case aside, as the file system compares names: for every letter,
// where _wcsicmp folds only ASCII's and takes an e acute and an E acute for
// two names.
bool SameText(const wchar_t* a, std::size_t aLength, const wchar_t* b, std::size_t bLength) {
    return CompareStringOrdinal(a, static_cast<int>(aLength), b, static_cast<int>(bLength), TRUE) == CSTR_EQUAL;
}

bool IsInside(const std::wstring& path, const std::wstring& directory) {
    return path.size() > directory.size() && path[directory.size()] == L'\\' &&
           SameText(path.c_str(), directory.size(), directory.c_str(), directory.size());
}

// A process of the console subsystem, or one that has a console: there the
// reports are printed, so that a console host never blocks on a dialog.
bool HasConsole() {
    if (GetConsoleWindow() != nullptr) return true;
    const auto* image = reinterpret_cast<const BYTE*>(GetModuleHandleW(nullptr));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(image + dos->e_lfanew);
    return nt->OptionalHeader.Subsystem == IMAGE_SUBSYSTEM_WINDOWS_CUI;
}

// Property reports: a line on the console, or else a message box, the
// engine's property "dialog" for a user of a windowed file manager.
void Report(const wchar_t* title, const std::wstring& subject, const TreeSummary& summary) {
    wchar_t line[1024];
    swprintf(line, ARRAYSIZE(line), L"%ls %ls: %d folders, %d objects, %I64u bytes\r\n", title,
             subject.c_str(), summary.directories, summary.files, summary.bytes);
    if (!HasConsole()) {
        MessageBoxW(nullptr, line, kPropertiesTitle, MB_OK | MB_ICONINFORMATION | MB_SETFOREGROUND);
        return;
    }
    const std::string text = ToAnsi(line);
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()),
              &written, nullptr);
    OutputDebugStringW(line);
}

// Whether an operation changes the store.
bool IsChange(EngineOp op) {
    switch (op) {
    case EngineOp::CreateAccount:
    case EngineOp::RenameAccount:
    case EngineOp::DeleteAccount:
    case EngineOp::CreateBucket:
    case EngineOp::CopyBucket:
    case EngineOp::DeleteBucket:
    case EngineOp::DeleteObject:
    case EngineOp::CopyObject:
    case EngineOp::CreateFolder:
    case EngineOp::CopyFolder: return true;
    default: return false;
    }
}

// The crash and stall on request for a change: one whose path, target or
// account name ends with the name set ends the process, or blocks for good,
// before it changes anything, as an engine that dies or a network that stops
// answering in the middle of a request.
void FaultsBeforeChange(const EngineCall& call) {
    std::wstring names[4];
    for (const RemotePath* path : {call.path, call.target}) {
        if (path == nullptr) continue;
        std::wstring& text = names[path == call.path ? 0 : 1];
        std::wstring part;
        for (const char* field : {path->account, path->bucket, path->key}) {
            if (field != nullptr && field[0] != '\0' && Widen(field, &part)) text += L'\\' + part;
        }
    }
    if (call.name != nullptr) names[2] = call.name;
    if (call.newName != nullptr) names[3] = call.newName;
    for (const std::wstring& name : names) {
        if (name.empty()) continue;
        CrashWhenNamed(name);
        StallWhenNamed(name);
    }
}

HRESULT CreateStorageEngine(REFIID riid, void** object) {
    CStorageEngine* engine = new CStorageEngine();
    const HRESULT hr = engine->QueryInterface(riid, object);
    engine->Release();  // the creation reference; `object` keeps its own
    return hr;
}

}  // namespace

// {A0A2B49D-739F-4A4A-BC65-B2096ACD85DD}
const EngineClass kEngineClass = {
    {0xa0a2b49d, 0x739f, 0x4a4a, {0xbc, 0x65, 0xb2, 0x09, 0x6a, 0xcd, 0x85, 0xdd}},
    L"Corvanel reference storage engine",
    &CreateStorageEngine};

CStorageEngine::CStorageEngine()
    : StorageBrowserObject(EventConnectionPoint::SinkCount::Many),
      root_(StoreRootFromSettings()), throttleMs_(ThrottleFromSettings()),
      latency_(LatencyModel::FromEnvironment()) {
    ModuleAddRef();
}

CStorageEngine::~CStorageEngine() {
    Events().UnadviseAll();
    ModuleRelease();
}

bool CStorageEngine::Resolve(const RemotePath& rp, StoreLocation* where) {
    if (!Locate(root_, rp, where)) return false;
    if (where->depth != PathLevel::Root) {
        std::wstring account;
        Widen(rp.account, &account);
        SrwLock::Exclusive guard(stateLock_);
        lastAccount_.swap(account);
    }
    return true;
}

// Listing ---------------------------------------------------------------------

HRESULT CStorageEngine::StartListing(std::vector<StoreEntry> entries, ListingCookie* cookie,
                                     StorageItem** item) {
    *cookie = 0;
    if (entries.empty()) return S_OK;  // no item: the list is empty
    StallWhenNamed(entries.front().name);
    SrwLock::Exclusive guard(stateLock_);
    *cookie = ++nextCookie_;
    if (enumerations_.size() >= kMaxEnumerations) enumerations_.erase(enumerations_.begin());
    Enumeration& listing = enumerations_[*cookie];
    listing.entries = std::move(entries);
    listing.next = 1;
    listing.fault = faults_.TakeLater();
    *item = MakeStorageItem(listing.entries.front());
    return S_OK;
}

HRESULT CStorageEngine::NextEntry(ListingCookie cookie, StorageItem** item) {
    if (item == nullptr) return E_POINTER;
    *item = nullptr;
    return CallGuarded<HRESULT>(E_OUTOFMEMORY, [&] {
        std::size_t index = 0;
        {
            SrwLock::Exclusive guard(stateLock_);
            auto found = enumerations_.find(cookie);
            if (found == enumerations_.end()) return S_OK;  // ended or unknown: no more items
            Enumeration& listing = found->second;
            if (listing.fault.Pending() && listing.next == static_cast<std::size_t>(listing.fault.after)) {
                const LaterFault fault = listing.fault;  // the listing goes first
                enumerations_.erase(found);
                return faults_.StrikeLater(fault);
            }
            if (listing.next == listing.entries.size()) {
                enumerations_.erase(found);
                return S_OK;
            }
            CrashWhenNamed(listing.entries[listing.next].name);
            StallWhenNamed(listing.entries[listing.next].name);
            index = listing.next++;
            *item = MakeStorageItem(listing.entries[index]);
        }
        // A page on its way holds up only this listing.
        latency_.BeforeEntry(index);
        return S_OK;
    });
}

HRESULT CStorageEngine::ListAccounts(ListingCookie* cookie, StorageItem** item) {
    if (cookie == nullptr || item == nullptr) return E_POINTER;
    *item = nullptr;
    return CallGuarded<HRESULT>(E_OUTOFMEMORY, [&] {
        std::vector<StoreEntry> accounts;
        if (!ListDirectory(root_, kAccountKind, &accounts)) return E_FAIL;
        return StartListing(std::move(accounts), cookie, item);
    });
}

HRESULT CStorageEngine::ListBuckets(const RemotePath& path, ListingCookie* cookie, StorageItem** item) {
    if (cookie == nullptr || item == nullptr) return E_POINTER;
    *item = nullptr;
    return CallGuarded<HRESULT>(E_OUTOFMEMORY, [&] {
        StoreLocation at;
        if (!Resolve(path, &at) || at.depth != PathLevel::Account) return E_INVALIDARG;
        std::vector<StoreEntry> buckets;
        if (!ListDirectory(at.path, kBucketKind, &buckets)) {
            *cookie = -1;  // no such account: the host shows no bucket placeholder
            return S_OK;
        }
        return StartListing(std::move(buckets), cookie, item);
    });
}

HRESULT CStorageEngine::ListObjects(const RemotePath& path, ListingCookie* cookie, StorageItem** item) {
    if (cookie == nullptr || item == nullptr) return E_POINTER;
    *item = nullptr;
    return CallGuarded<HRESULT>(E_OUTOFMEMORY, [&] {
        StoreLocation at;
        if (!Resolve(path, &at) || at.depth < PathLevel::Bucket) return E_INVALIDARG;
        std::vector<StoreEntry> objects;
        if (!ListDirectory(at.path, kFolderKind, &objects)) {
            return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
        }
        return StartListing(std::move(objects), cookie, item);
    });
}

// Accounts and buckets --------------------------------------------------------

HRESULT CStorageEngine::AddAccount(const RemotePath& path, VARIANT_BOOL* ok) {
    return AnswerChange(ok, [&] {
        StoreLocation at;
        if (!Resolve(path, &at)) return false;
        // An empty name comes from the placeholder entry: the engine names it.
        if (at.depth == PathLevel::Root) at.path = root_ + L'\\' + FreeName(root_, L"account");
        else if (at.depth != PathLevel::Account) return false;
        return CreateDirectoryW(at.path.c_str(), nullptr) != 0;
    });
}

HRESULT CStorageEngine::AddBucket(const RemotePath& path, VARIANT_BOOL* ok) {
    return AnswerChange(ok, [&] {
        StoreLocation at;
        if (!Resolve(path, &at)) return false;
        if (at.depth == PathLevel::Account && IsDirectory(at.path)) {
            at.path += L'\\' + FreeName(at.path, L"bucket");
        } else if (at.depth != PathLevel::Bucket) {
            return false;
        }
        return CreateDirectoryW(at.path.c_str(), nullptr) != 0;
    });
}

HRESULT CStorageEngine::RenameAccountFolder(BSTR oldName, BSTR newName, VARIANT_BOOL* ok) {
    return AnswerChange(ok, [&] {
        std::wstring from, to;
        if (!AccountPath(root_, oldName, &from) || !AccountPath(root_, newName, &to)) return false;
        return IsDirectory(from) && MoveFileW(from.c_str(), to.c_str()) != 0;
    });
}

HRESULT CStorageEngine::RemoveAccount(BSTR name, VARIANT_BOOL* ok) {
    return AnswerChange(ok, [&] {
        std::wstring path;
        return AccountPath(root_, name, &path) && RemoveDirectoryW(path.c_str()) != 0;
    });
}

HRESULT CStorageEngine::RemoveBucket(const RemotePath& path, VARIANT_BOOL* ok) {
    return AnswerChange(ok, [&] {
        StoreLocation at;
        return Resolve(path, &at) && at.depth == PathLevel::Bucket &&
               RemoveDirectoryW(at.path.c_str()) != 0;  // only an empty bucket goes
    });
}

HRESULT CStorageEngine::CopyBucketFolder(const RemotePath& source, const RemotePath& target, LONG move,
                                   VARIANT_BOOL* ok) {
    return AnswerChange(ok, [&] {
        StoreLocation from, to;
        if (!Resolve(source, &from) || !Resolve(target, &to)) return false;
        if (from.depth != PathLevel::Bucket || to.depth != PathLevel::Bucket) return false;
        if (!IsDirectory(from.path) || Exists(to.path) || !IsDirectory(ParentOf(to.path))) {
            return false;
        }
        return move ? MoveFileW(from.path.c_str(), to.path.c_str()) != 0 : CopyTree(from.path, to.path);
    });
}

// Objects and folders ---------------------------------------------------------

HRESULT CStorageEngine::RemoveObject(const RemotePath& path, VARIANT_BOOL* ok) {
    return AnswerChange(ok, [&] {
        StoreLocation at;
        if (!Resolve(path, &at) || at.depth != PathLevel::Object) return false;
        // A key ending in "/" is its folder, removed only when empty.
        return at.folderKey ? RemoveDirectoryW(at.path.c_str()) != 0
                            : DeleteFileW(at.path.c_str()) != 0;
    });
}

HRESULT CStorageEngine::AddFolder(const RemotePath& path, VARIANT_BOOL* ok) {
    return AnswerChange(ok, [&] {
        StoreLocation at;
        return Resolve(path, &at) && at.depth == PathLevel::Object &&
               CreateDirectoryW(at.path.c_str(), nullptr) != 0;
    });
}

// Copies and moves replace what is at the target, as object stores do: the
// plugin asks the user before it lets one through onto an existing entry.
bool CStorageEngine::CopyOrMove(const RemotePath& source, const RemotePath& target, LONG move,
                                bool folders) {
    StoreLocation from, to;
    if (!Resolve(source, &from) || !Resolve(target, &to)) return false;
    if (from.depth != PathLevel::Object || to.depth != PathLevel::Object) return false;
    if (IsDirectory(from.path) != folders || IsInside(to.path, from.path)) return false;
    // The same entry, named in other letter case: only a move, which renames it.
    if (SameText(from.path.c_str(), from.path.size(), to.path.c_str(), to.path.size())) {
        return move && MoveFileW(from.path.c_str(), to.path.c_str()) != 0;
    }
    const bool replaces = Exists(to.path);
    if (replaces && IsDirectory(to.path) != folders) return false;
    // Object stores have no empty parents: folders along the target's key
    // come into being with it, inside an existing bucket.
    if (!IsDirectory(to.bucketPath) || !MakeDirectories(to.bucketPath, ParentOf(to.path))) {
        return false;
    }
    if (!folders) {
        return move ? MoveFileExW(from.path.c_str(), to.path.c_str(), MOVEFILE_REPLACE_EXISTING) != 0
                    : CopyFileW(from.path.c_str(), to.path.c_str(), FALSE) != 0;
    }
    if (move && !replaces) return MoveFileW(from.path.c_str(), to.path.c_str()) != 0;
    return CopyTree(from.path, to.path) && (!move || RemoveTree(from.path));
}

HRESULT CStorageEngine::CopyObjectFile(const RemotePath& source, const RemotePath& target, LONG move,
                                   VARIANT_BOOL* ok) {
    return AnswerChange(ok, [&] { return CopyOrMove(source, target, move, false); });
}

HRESULT CStorageEngine::CopyFolderTree(const RemotePath& source, const RemotePath& target, LONG move,
                                   VARIANT_BOOL* ok) {
    return AnswerChange(ok, [&] { return CopyOrMove(source, target, move, true); });
}

// Properties ------------------------------------------------------------------

HRESULT CStorageEngine::ReportStore() {
    return CallGuarded<HRESULT>(E_OUTOFMEMORY, [&] {
        TreeSummary summary;
        Summarize(root_, &summary);
        Report(L"Store", root_, summary);
        return S_OK;
    });
}

// The call names no account: the report is about the account of the latest
// request that named one.
HRESULT CStorageEngine::ReportAccount() {
    return CallGuarded<HRESULT>(E_OUTOFMEMORY, [&] {
        std::wstring account;
        {
            SrwLock::Shared guard(stateLock_);
            account = lastAccount_;
        }
        TreeSummary summary;
        if (!account.empty()) Summarize(root_ + L'\\' + account, &summary);
        Report(L"Account", account.empty() ? L"(none used yet)" : account, summary);
        return S_OK;
    });
}

// Dispatch --------------------------------------------------------------------

HRESULT CStorageEngine::Call(const EngineCall& call) {
    latency_.Before(call.op);
    HRESULT planned = S_OK;
    if (faults_.Answers(call, &planned)) return planned;
    if (IsChange(call.op)) FaultsBeforeChange(call);
    switch (call.op) {
    case EngineOp::FirstAccount: return ListAccounts(call.cookieOut, call.item);
    case EngineOp::FirstBucket: return ListBuckets(*call.path, call.cookieOut, call.item);
    case EngineOp::FirstObject: return ListObjects(*call.path, call.cookieOut, call.item);
    case EngineOp::NextAccount:
    case EngineOp::NextBucket:
    case EngineOp::NextObject: return NextEntry(call.cookie, call.item);
    case EngineOp::CreateAccount: return AddAccount(*call.path, call.ok);
    case EngineOp::RenameAccount: return RenameAccountFolder(call.name, call.newName, call.ok);
    case EngineOp::DeleteAccount: return RemoveAccount(call.name, call.ok);
    case EngineOp::CreateBucket: return AddBucket(*call.path, call.ok);
    case EngineOp::CopyBucket:
        return CopyBucketFolder(*call.path, *call.target, call.move, call.ok);
    case EngineOp::DeleteBucket: return RemoveBucket(*call.path, call.ok);
    case EngineOp::DownloadObject: return Download(*call.path, call.name, call.result);
    case EngineOp::UploadObject: return Upload(call.name, *call.path, call.result);
    case EngineOp::DeleteObject: return RemoveObject(*call.path, call.ok);
    case EngineOp::CopyObject: return CopyObjectFile(*call.path, *call.target, call.move, call.ok);
    case EngineOp::CreateFolder: return AddFolder(*call.path, call.ok);
    case EngineOp::CopyFolder: return CopyFolderTree(*call.path, *call.target, call.move, call.ok);
    case EngineOp::ShowRootProperties: return ReportStore();
    case EngineOp::ShowAccountProperties: return ReportAccount();
    }
    return E_NOTIMPL;
}
