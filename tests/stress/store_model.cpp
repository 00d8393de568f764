#include "tests/stress/store_model.h"

#include <algorithm>
#include <cwchar>

#include "path/remote_path.h"
#include "common/wfx_api.h"

namespace {

constexpr UINT kHostCodePage = 1252;
constexpr std::size_t kDiskNameBytes = 255;  // NAME_MAX of the Unix file system under Wine

Name Folded(Name name) {
    if (!name.empty()) CharUpperBuffW(&name[0], static_cast<DWORD>(name.size()));
    return name;
}

Path Prefix(const Path& path, std::size_t length) {
    return Path(path.begin(), path.begin() + static_cast<std::ptrdiff_t>(length));
}

Path ParentOf(const Path& path) { return Prefix(path, path.size() - 1); }

Path Child(Path path, const Name& name) {
    path.push_back(name);
    return path;
}

bool IsPlaceholderText(const std::string& text) {
    return text == kAddAccountPlaceholder || text == kCreateBucketPlaceholder;
}

// The plugin's parse of a host path: account, bucket and key fields of at
// most kRemoteTextLimit bytes each, else the path is refused.
bool Fits(const HostPath& path) {
    for (std::size_t at = 0; at < path.parts.size() && at < 2; ++at) {
        if (path.parts[at].size() > kRemoteTextLimit) return false;
    }
    return path.Key().size() <= kRemoteTextLimit;
}

bool IsPlaceholderPath(const HostPath& path) {
    return (path.parts.size() > 0 && IsPlaceholderText(path.parts[0])) ||
           (path.parts.size() > 1 && IsPlaceholderText(path.parts[1])) ||
           IsPlaceholderText(path.Key());
}

Listed Show(const Node& node) {
    return {ToHost(node.name), node.folder ? DWORD{FILE_ATTRIBUTE_DIRECTORY} : DWORD{FILE_ATTRIBUTE_NORMAL},
            node.folder ? 0 : node.bytes.size()};
}

Listed PlaceholderEntry(const char* name) { return {name, FILE_ATTRIBUTE_NORMAL, 0}; }

struct NameAndKind {
    Name name;
    bool folder;
};
// A folder's names and kinds, taken before a copy or removal changes it.
std::vector<NameAndKind> EntriesOf(const Tree& tree, const Path& folder) {
    std::vector<NameAndKind> entries;
    for (const Node* node : tree.Listing(folder)) entries.push_back({node->name, node->folder});
    return entries;
}

}  // namespace

std::string ToHost(const Name& name) {
    if (name.empty()) return {};
    const int bytes = WideCharToMultiByte(kHostCodePage, 0, name.data(), static_cast<int>(name.size()),
                                          nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(kHostCodePage, 0, name.data(), static_cast<int>(name.size()), &text[0], bytes,
                        nullptr, nullptr);
    return text;
}

Name FromHost(const std::string& text) {
    if (text.empty()) return {};
    const int units = MultiByteToWideChar(kHostCodePage, 0, text.data(), static_cast<int>(text.size()),
                                          nullptr, 0);
    Name name(static_cast<std::size_t>(units), L'\0');
    MultiByteToWideChar(kHostCodePage, 0, text.data(), static_cast<int>(text.size()), &name[0], units);
    return name;
}

bool g_readOnlyHolds = true;

void ProbeReadOnly(const std::wstring& folder) {
    const std::wstring file = folder + L"\\read-only probe";
    HANDLE handle = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return;
    CloseHandle(handle);
    SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY);
    handle = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    g_readOnlyHolds = handle == INVALID_HANDLE_VALUE;
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(file.c_str());
}

bool SameName(const Name& a, const Name& b) { return a.size() == b.size() && Folded(a) == Folded(b); }

bool SamePath(const Path& a, const Path& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t at = 0; at < a.size(); ++at) {
        if (!SameName(a[at], b[at])) return false;
    }
    return true;
}

bool Inside(const Path& inner, const Path& outer) {
    return inner.size() > outer.size() && SamePath(Prefix(inner, outer.size()), outer);
}

bool IsValidName(const Name& name) {
    if (name.empty() || name == L"." || name == L"..") return false;
    if (name.back() == L'.' || name.back() == L' ') return false;
    for (wchar_t c : name) {
        if (c < 0x20 || std::wcschr(L"<>:\"/\\|?*", c) != nullptr) return false;
    }
    return true;
}

bool FitsDisk(const Name& name) {
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, name.data(), static_cast<int>(name.size()),
                                          nullptr, 0, nullptr, nullptr);
    return bytes > 0 && static_cast<std::size_t>(bytes) <= kDiskNameBytes;
}

// ---- Tree

const Node* Tree::Find(const Path& path) const { return const_cast<Tree*>(this)->Locate(path); }

Node* Tree::Locate(const Path& path) {
    Node* node = &root_;
    for (const Name& name : path) {
        if (!node->folder) return nullptr;
        auto found = std::find_if(node->children.begin(), node->children.end(),
                                  [&](const Node& child) { return SameName(child.name, name); });
        if (found == node->children.end()) return nullptr;
        node = &*found;
    }
    return node;
}

Node* Tree::Attach(const Path& parent, Node node) {
    Node* folder = Locate(parent);
    folder->children.push_back(std::move(node));
    return &folder->children.back();
}

bool Tree::IsFolder(const Path& path) const {
    const Node* node = Find(path);
    return node != nullptr && node->folder;
}

bool Tree::IsFile(const Path& path) const {
    const Node* node = Find(path);
    return node != nullptr && !node->folder;
}

bool Tree::MakeFolder(const Path& path) {
    if (path.empty() || Exists(path) || !IsFolder(ParentOf(path)) || !FitsDisk(path.back())) return false;
    Attach(ParentOf(path), Node{path.back(), true, {}, {}});
    return true;
}

bool Tree::WriteFile(const Path& path, const std::string& bytes) {
    if (path.empty()) return false;
    if (Node* node = Locate(path)) {
        if (node->folder || (node->readOnly && g_readOnlyHolds)) return false;
        node->bytes = bytes;
        return true;
    }
    if (!IsFolder(ParentOf(path)) || !FitsDisk(path.back())) return false;
    Attach(ParentOf(path), Node{path.back(), false, bytes, {}});
    return true;
}

bool Tree::CopyFile(const Path& from, const Path& to) {
    const Node* source = Find(from);
    if (source == nullptr || source->folder || to.empty() || Find(to) == source) return false;
    const std::string bytes = source->bytes;
    return WriteFile(to, bytes);
}

bool Tree::MoveFile(const Path& from, const Path& to, bool replace) {
    Node* source = Locate(from);
    if (source == nullptr || from.empty() || to.empty()) return false;
    Node* target = Locate(to);
    if (target == source) return true;  // the same entry: Wine keeps its name as it is
    if (target != nullptr) {
        if (!replace || source->folder || target->folder) return false;
        target->bytes = source->bytes;
        return DeleteFile(from);
    }
    if (!IsFolder(ParentOf(to)) || Inside(to, from) || !FitsDisk(to.back())) return false;
    Node moved = std::move(*source);
    moved.name = to.back();
    std::vector<Node>& siblings = Locate(ParentOf(from))->children;
    siblings.erase(siblings.begin() + (source - siblings.data()));
    Attach(ParentOf(to), std::move(moved));
    return true;
}

bool Tree::RemoveFolder(const Path& path) {
    Node* node = Locate(path);
    if (path.empty() || node == nullptr || !node->folder || !node->children.empty()) return false;
    std::vector<Node>& siblings = Locate(ParentOf(path))->children;
    siblings.erase(siblings.begin() + (node - siblings.data()));
    return true;
}

bool Tree::DeleteFile(const Path& path) {
    Node* node = Locate(path);
    if (path.empty() || node == nullptr || node->folder || node->readOnly) return false;
    std::vector<Node>& siblings = Locate(ParentOf(path))->children;
    siblings.erase(siblings.begin() + (node - siblings.data()));
    return true;
}

bool Tree::SetReadOnly(const Path& path, bool readOnly) {
    Node* node = Locate(path);
    if (path.empty() || node == nullptr || node->folder) return false;
    node->readOnly = readOnly;
    return true;
}

std::vector<const Node*> Tree::Listing(const Path& folder) const {
    std::vector<const Node*> entries;
    const Node* node = Find(folder);
    if (node == nullptr || !node->folder) return entries;
    for (const Node& child : node->children) entries.push_back(&child);
    std::stable_sort(entries.begin(), entries.end(), [](const Node* a, const Node* b) {
        return _wcsicmp(a->name.c_str(), b->name.c_str()) < 0;
    });
    return entries;
}

namespace {

template <typename Visit>
void EachBelow(const Node& root, Visit&& visit) {
    std::vector<const Node*> pending{&root};
    while (!pending.empty()) {
        const Node* node = pending.back();
        pending.pop_back();
        for (const Node& child : node->children) {
            visit(child);
            pending.push_back(&child);
        }
    }
}

}  // namespace

std::size_t Tree::Count() const {
    std::size_t count = 0;
    EachBelow(root_, [&](const Node&) { ++count; });
    return count;
}

std::uint64_t Tree::Bytes() const {
    std::uint64_t bytes = 0;
    EachBelow(root_, [&](const Node& node) { bytes += node.bytes.size(); });
    return bytes;
}

bool Tree::RemoveAll(const Path& path) {
    Node* node = Locate(path);
    if (path.empty() || node == nullptr) return false;
    std::vector<Node>& siblings = Locate(ParentOf(path))->children;
    siblings.erase(siblings.begin() + (node - siblings.data()));
    return true;
}

// ---- HostPath

std::string HostPath::Text() const {
    std::string text;
    for (const std::string& part : parts) text += "\\" + part;
    if (text.empty() || trailing) text += "\\";
    return text;
}

std::string HostPath::Key() const {
    std::string key;
    for (std::size_t at = 2; at < parts.size(); ++at) key += (at > 2 ? "\\" : "") + parts[at];
    return key;
}

Path HostPath::StorePath() const {
    Path path;
    for (const std::string& part : parts) path.push_back(FromHost(part));
    return path;
}

// ---- The exports

int StoreModel::FirstOf(int level) {
    switch (level) {
    case 0: return faults::kFirstAccount;
    case 1: return faults::kFirstBucket;
    default: return faults::kFirstObject;
    }
}

int StoreModel::CreateOf(int level) {
    switch (level) {
    case 1: return faults::kCreateAccount;
    case 2: return faults::kCreateBucket;
    default: return faults::kCreateFolder;  // the root too: the engine refuses it
    }
}

ListingOutcome StoreModel::FindFirst(const HostPath& path) {
    ListingOutcome outcome;
    if (!Fits(path)) {
        outcome.lastError = ERROR_FILENAME_EXCED_RANGE;
        return outcome;
    }
    const int first = FirstOf(path.Level());
    if (!Reaches(first)) return outcome;
    const Path folder = path.StorePath();
    if (path.Level() == 1 && IsValidName(folder[0]) && !store.IsFolder(folder)) {
        outcome.lastError = ERROR_SUCCESS;  // no such account: not even a placeholder
        return outcome;
    }
    if (!Locatable(path) || !store.IsFolder(folder)) return outcome;
    for (const Node* node : store.Listing(folder)) outcome.entries.push_back(Show(*node));
    if (outcome.entries.empty()) {
        switch (path.Level()) {
        case 0: outcome.entries.push_back(PlaceholderEntry(kAddAccountPlaceholder)); break;
        case 1: outcome.entries.push_back(PlaceholderEntry(kCreateBucketPlaceholder)); break;
        default: outcome.lastError = ERROR_NO_MORE_FILES; return outcome;
        }
    } else if (StrikesLater(first) && static_cast<std::size_t>(strike.detail) <= outcome.entries.size()) {
        // The Next that would deliver the entry after `detail` fails.
        outcome.entries.resize(static_cast<std::size_t>(strike.detail));
        outcome.cut = true;
    }
    outcome.opened = true;
    return outcome;
}

bool StoreModel::MkDir(const HostPath& path) {
    if (!Fits(path) || !Reaches(CreateOf(path.Level()))) return false;
    if (path.Level() == 0 || !Locatable(path)) return false;
    return store.MakeFolder(path.StorePath());
}

bool StoreModel::RemoveDir(const HostPath& path) {
    if (!Fits(path) || path.Level() == 0) return false;
    if (path.Level() == 3) {
        // Removed as the key with "/" added, through FsDeleteFile and its
        // placeholder rule.
        if (path.Key().size() + 1 > kRemoteTextLimit) return false;
        if (IsPlaceholderText(path.parts[0]) || IsPlaceholderText(path.parts[1])) return true;
    }
    const int op = path.Level() == 1 ? faults::kDeleteAccount
                   : path.Level() == 2 ? faults::kDeleteBucket
                                       : faults::kDeleteObject;
    return Reaches(op) && Locatable(path) && store.RemoveFolder(path.StorePath());
}

bool StoreModel::DeleteFile(const HostPath& path) {
    if (!Fits(path)) return false;
    if (IsPlaceholderPath(path)) return true;
    if (!Reaches(faults::kDeleteObject)) return false;
    return path.Level() == 3 && Locatable(path) && store.DeleteFile(path.StorePath());
}

Outcome StoreModel::RenMov(const HostPath& from, const HostPath& to, bool move, bool overWrite,
                           bool folder) {
    if (!Fits(from) || !Fits(to)) return {FS_FILE_READERROR};
    if (from.parts == to.parts) return {FS_FILE_OK};
    if (IsPlaceholderPath(from) || IsPlaceholderPath(to)) return {FS_FILE_NOTSUPPORTED};
    if (from.Level() != to.Level()) return {FS_FILE_READERROR};
    if (from.Level() == 1 && !move) return {FS_FILE_NOTSUPPORTED};  // accounts are not copied
    const int op = from.Level() == 1 ? faults::kRenameAccount
                   : from.Level() == 2 ? faults::kCopyBucket
                   : folder            ? faults::kCopyFolder
                                       : faults::kCopyObject;
    if (SamePath(from.StorePath(), to.StorePath()) && !move) {
        // A copy onto itself in other letter case: the engine refuses it;
        // whether the look counts the entry itself first is not said.
        if (!Reaches(op) && Ends()) return {FailedCall()};
        return {FS_FILE_READERROR, FS_FILE_EXISTS};
    }
    Outcome outcome;
    if (!overWrite) {
        switch (LookUp(to, &from)) {
        case Look::Taken: return {FS_FILE_EXISTS};
        case Look::Unknown: return {FS_FILE_READERROR};
        case Look::Ended: return {FailedCall()};
        case Look::Free: break;
        }
        // A move onto itself whose folder the two paths spell in other
        // letter case: whether that is one folder for the look is not said,
        // and asking changes nothing.
        if (SamePath(from.StorePath(), to.StorePath())) outcome.alternative = FS_FILE_EXISTS;
    }
    if (!Reaches(op)) return {FailedCall()};
    if (!Locatable(from) || !Locatable(to)) return {FS_FILE_READERROR};
    bool done = false;
    switch (from.Level()) {
    case 1: done = store.IsFolder(from.StorePath()) && store.MoveFile(from.StorePath(), to.StorePath(), false); break;
    case 2: done = CopyBucket(from, to, move); break;
    default: done = CopyOrMove(from.StorePath(), to.StorePath(), move, folder); break;
    }
    outcome.result = done ? FS_FILE_OK : FS_FILE_READERROR;
    return outcome;
}

Outcome StoreModel::GetFile(const HostPath& remote, const Path& localName, int copyFlags, Abort abort) {
    if (copyFlags & FS_COPYFLAGS_RESUME) return {FS_FILE_NOTSUPPORTED};
    if (!Fits(remote)) return {FS_FILE_READERROR};
    if (IsPlaceholderPath(remote)) return {FS_FILE_NOTSUPPORTED};
    const InUse* used = InUseAs(localName);
    if (!(copyFlags & FS_COPYFLAGS_OVERWRITE) && (local.Exists(localName) || (used != nullptr && used->onDisk))) {
        return {FS_FILE_EXISTS};
    }
    if (used != nullptr) return {FS_FILE_WRITEERROR};
    if (abort == Abort::AtFirstReport) return {FS_FILE_USERABORT};
    // A download the engine had once the host let the first report pass, and
    // whose engine then ended, loses its local file: the user agreed to
    // replace it, and what is there may be partial.
    const bool reached = Reaches(faults::kDownloadObject);
    if (!reached && Ends()) {
        if (!LocalBlocked(localName, true)) local.DeleteFile(localName);
        return {FailedCall()};
    }
    if (!reached) return {FS_FILE_READERROR};
    const Node* source = remote.Level() == 3 && Locatable(remote) ? store.Find(remote.StorePath()) : nullptr;
    if (source == nullptr || source->folder || LocalBlocked(localName, true)) return {FS_FILE_READERROR};
    const std::string bytes = source->bytes;
    if (!local.WriteFile(localName, bytes)) return {FS_FILE_READERROR};
    if (StrikesLater(faults::kDownloadObject)) {
        // The engine's transfer stopped part-way: it deletes what it wrote,
        // the host cancels what no longer moves, or the engine ended.
        local.DeleteFile(localName);
        return {Ends() ? FS_FILE_READERROR : FS_FILE_USERABORT};
    }
    if (abort == Abort::AtRelay || abort == Abort::AtRelayWhole) {
        // The 64-bit edition ends its helper and deletes the partial file;
        // in process the engine's transfer runs on to its end. A whole one
        // stays in both.
        if (bridged_ && !nested && abort == Abort::AtRelay) local.DeleteFile(localName);
        return {FS_FILE_USERABORT};
    }
    // A move deletes the source once the download is whole; a deletion that
    // fails (the engine's fault, or its end) leaves a copy and still succeeds.
    if ((copyFlags & FS_COPYFLAGS_MOVE) && Reaches(faults::kDeleteObject)) store.DeleteFile(remote.StorePath());
    return {FS_FILE_OK};
}

Outcome StoreModel::PutFile(const Path& localName, const HostPath& remote, int copyFlags, Abort abort) {
    if (copyFlags & FS_COPYFLAGS_RESUME) return {FS_FILE_NOTSUPPORTED};
    if (!Fits(remote) || remote.Level() != 3) return {FS_FILE_READERROR};
    if (!(copyFlags & FS_COPYFLAGS_OVERWRITE)) {
        if (copyFlags & (FS_COPYFLAGS_EXISTS_SAMECASE | FS_COPYFLAGS_EXISTS_DIFFERENTCASE)) {
            return {FS_FILE_EXISTS};
        }
        switch (LookUp(remote, nullptr)) {
        case Look::Taken: return {FS_FILE_EXISTS};
        case Look::Unknown: return {FS_FILE_READERROR};
        case Look::Ended: return {FailedCall()};
        case Look::Free: break;
        }
    }
    if (InUseAs(localName) != nullptr) return {FS_FILE_READERROR};
    if (abort == Abort::AtFirstReport) return {FS_FILE_USERABORT};
    if (!Reaches(faults::kUploadObject)) return {FailedCall()};
    const Path target = remote.StorePath();
    const Path bucket = Prefix(target, 2);
    // The engine's order: the bucket and the local file looked at, the
    // folders along the key made, then the file opened and the object made.
    if (!Locatable(remote) || !store.IsFolder(bucket) || !local.Exists(localName)) {
        return {FS_FILE_READERROR};
    }
    if (!MakeDirectories(bucket, ParentOf(target)) || local.IsFolder(localName) ||
        LocalBlocked(localName, false)) {
        return {FS_FILE_READERROR};
    }
    const std::string bytes = local.Find(localName)->bytes;
    const bool cut = abort == Abort::AtRelay && bridged_ && !nested;
    const bool stops = StrikesLater(faults::kUploadObject);
    if (!store.WriteFile(target, cut || stops ? std::string() : bytes)) return {FS_FILE_READERROR};
    if (stops && !Ends()) {
        // Stopped part-way: the engine deletes what it wrote, and the host
        // cancels the transfer that no longer moves.
        store.DeleteFile(target);
        return {FS_FILE_USERABORT};
    }
    if (cut || stops) {
        Outcome outcome{cut ? FS_FILE_USERABORT : FS_FILE_READERROR};
        outcome.partialUpload = true;
        return outcome;
    }
    if (abort == Abort::AtRelay || abort == Abort::AtRelayWhole) return {FS_FILE_USERABORT};
    // Kept when another process holds it open, or it is read-only.
    if ((copyFlags & FS_COPYFLAGS_MOVE) && locked.count(localName) == 0) local.DeleteFile(localName);
    return {FS_FILE_OK};
}

int StoreModel::ExecuteOpen(const HostPath& path, bool* notice) {
    *notice = false;
    if (!Fits(path)) return FS_EXEC_ERROR;
    const Path target = path.StorePath();
    const bool account = !path.parts.empty() && path.parts[0] == kAddAccountPlaceholder;
    const bool bucket = !account && path.parts.size() > 1 && path.parts[1] == kCreateBucketPlaceholder;
    if (!account && !bucket) return FS_EXEC_YOURSELF;
    // The creation's answer is not looked at, unless the engine's process
    // ended in it: then the call itself fails.
    const bool reached = Reaches(account ? faults::kCreateAccount : faults::kCreateBucket);
    if (!reached && Ends()) return FS_EXEC_ERROR;
    *notice = true;
    if (!reached) return FS_EXEC_OK;
    if (account && path.parts.size() == 1) store.MakeFolder({FreeName({}, L"account")});
    const Path owner = Prefix(target, 1);
    if (bucket && path.parts.size() == 2 && IsValidName(owner[0]) && store.IsFolder(owner)) {
        store.MakeFolder(Child(owner, FreeName(owner, L"bucket")));
    }
    return FS_EXEC_OK;
}

// ---- The look and the engine

StoreModel::Look StoreModel::LookUp(const HostPath& target, const HostPath* self) const {
    const Path path = target.StorePath();
    const bool itself = self != nullptr && SamePath(self->StorePath(), path);
    // Folders from the target's own one up to the bucket; an account's
    // buckets and the accounts are the target's own folder or nothing.
    const std::size_t top = path.size() >= 3 ? 2 : path.size() - 1;
    bool failed = false;
    for (std::size_t length = path.size() - 1, step = 1;; --length, ++step) {
        const Path folder = Prefix(path, length);
        bool ends = false;
        failed = LookListingFails(static_cast<int>(step), folder, &ends);
        if (ends) return Look::Ended;
        if (!failed && store.IsFolder(folder)) {
            if (length + 1 == path.size()) {
                bool taken = store.Exists(path) && !itself;
                // What the plugin may know of the folder from before the
                // second client's change.
                if (seen != Seen::AsNow) taken = seen == Seen::Taken;
                return taken ? Look::Taken : Look::Free;
            }
            return store.Exists(Prefix(path, length + 1)) ? Look::Unknown : Look::Free;
        }
        if (length == top) break;
    }
    // A bucket or account that cannot be listed: the folder above lists
    // without it when it is not there, which is all the engine can say.
    return path.size() <= 2 && !failed ? Look::Free : Look::Unknown;
}

bool StoreModel::LookListingFails(int step, const Path& folder, bool* ends) const {
    *ends = false;
    const int level = std::min<int>(static_cast<int>(folder.size()), 2);
    if (!strike.At(FirstOf(level)) || strike.occurrence != step) return false;
    if (strike.kind != faults::kFail && strike.kind != faults::kRefuse && !Ends()) return false;
    // A fault for later strikes only a listing with that many entries.
    if (strike.detail > 0 &&
        (!store.IsFolder(folder) || store.Listing(folder).size() < static_cast<std::size_t>(strike.detail))) {
        return false;
    }
    *ends = Ends();
    return true;
}

bool StoreModel::Reaches(int op) {
    if (!strike.At(op)) return true;
    switch (strike.kind) {
    case faults::kPause: interludeApplied = ApplyChange(interlude) ? 1 : 0; return true;
    case faults::kFailPartWay:
    case faults::kEndPartWay: return true;
    case faults::kFail:
    case faults::kEnd: return StrikesLater(op);  // a listing's fault for later lets its First through
    default: return false;                        // a refusal
    }
}

bool StoreModel::StrikesLater(int op) const {
    if (!strike.At(op)) return false;
    if (op == faults::kDownloadObject || op == faults::kUploadObject) {
        return strike.kind == faults::kFailPartWay || strike.kind == faults::kEndPartWay;
    }
    const bool first = op == faults::kFirstAccount || op == faults::kFirstBucket || op == faults::kFirstObject;
    return first && strike.detail > 0 && (strike.kind == faults::kFail || strike.kind == faults::kEnd);
}

const StoreModel::InUse* StoreModel::InUseAs(const Path& file) const {
    for (const InUse& used : inUse) {
        if (SamePath(used.file, file)) return &used;
    }
    return nullptr;
}

bool StoreModel::LocalBlocked(const Path& file, bool write) const {
    const auto lock = locked.find(file);
    return lock != locked.end() && (write || (lock->second & FILE_SHARE_READ) == 0);
}

bool StoreModel::ApplyChange(const StoreChange& change) {
    switch (change.kind) {
    case StoreChange::Kind::Write: return store.WriteFile(change.path, change.bytes);
    case StoreChange::Kind::Delete: return store.DeleteFile(change.path);
    default: return false;
    }
}

bool StoreModel::Locatable(const HostPath& path) const {
    for (const Name& name : path.StorePath()) {
        if (!IsValidName(name)) return false;
    }
    return true;
}

bool StoreModel::CopyBucket(const HostPath& from, const HostPath& to, bool move) {
    const Path source = from.StorePath(), target = to.StorePath();
    if (!store.IsFolder(source) || store.Exists(target) || !store.IsFolder(Prefix(target, 1))) return false;
    return move ? store.MoveFile(source, target, false) : CopyTree(source, target);
}

// The engine's copy or move of an object or a folder tree: it replaces what
// is at the target, merges a folder into a folder, makes the folders along
// the target's key, and never puts a file in a folder's place or the other
// way round. A copy that fails part-way keeps what it copied.
bool StoreModel::CopyOrMove(const Path& from, const Path& to, bool move, bool folders) {
    const Node* source = store.Find(from);
    if (source == nullptr || source->folder != folders || Inside(to, from)) return false;
    if (SamePath(from, to)) return move && store.MoveFile(from, to, false);
    const bool replaces = store.Exists(to);
    if (replaces && store.IsFolder(to) != folders) return false;
    const Path bucket = Prefix(to, 2);
    if (!store.IsFolder(bucket) || !MakeDirectories(bucket, ParentOf(to))) return false;
    if (!folders) return move ? store.MoveFile(from, to, true) : store.CopyFile(from, to);
    if (move && !replaces) return store.MoveFile(from, to, false);
    return CopyTree(from, to) && (!move || RemoveTree(from));
}

bool StoreModel::CopyTree(const Path& from, const Path& to) {
    if (!store.IsFolder(from)) return false;
    const std::vector<NameAndKind> entries = EntriesOf(store, from);
    if (!store.IsFolder(to) && !store.MakeFolder(to)) return false;
    for (const NameAndKind& entry : entries) {
        const Path source = Child(from, entry.name), target = Child(to, entry.name);
        if (!(entry.folder ? CopyTree(source, target) : store.CopyFile(source, target))) return false;
    }
    return true;
}

bool StoreModel::RemoveTree(const Path& path) {
    for (const NameAndKind& entry : EntriesOf(store, path)) {
        const Path child = Child(path, entry.name);
        if (!(entry.folder ? RemoveTree(child) : store.DeleteFile(child))) return false;
    }
    return store.RemoveFolder(path);
}

bool StoreModel::MakeDirectories(const Path& base, const Path& folder) {
    for (std::size_t length = base.size() + 1; length <= folder.size(); ++length) {
        const Path step = Prefix(folder, length);
        if (!store.IsFolder(step) && !store.MakeFolder(step)) return false;
    }
    return store.IsFolder(folder);
}

Name StoreModel::FreeName(const Path& folder, const wchar_t* stem) const {
    for (int n = 1;; ++n) {
        const Name name = stem + (L"-" + std::to_wstring(n));
        if (!store.Exists(Child(folder, name))) return name;
    }
}
