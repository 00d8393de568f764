#include "plugin/target_check.h"

#include <wrl/client.h>

#include <string>

#include "path/remote_path.h"
#include "plugin/listing.h"

using Microsoft::WRL::ComPtr;

namespace {

// Where an entry is listed: its folder, parsed into the caller's record,
// whose host path is the first folderPathLength bytes of the entry's, and its
// name there.
struct EntryPlace {
    PathLevel folderLevel = PathLevel::Root;
    std::size_t folderPathLength = 0;
    std::string name;
};

bool PlaceOf(const char* hostPath, OwnedRemotePath& folder, EntryPlace& place) {
    const LastComponent last = FindLastComponent(hostPath, ThreadCodePageLeadBytes());
    place.name.assign(hostPath + last.leafOffset, last.leafLength);
    place.folderPathLength = last.parentLength;
    const std::string folderPath(hostPath, last.parentLength);
    return SplitRemotePath(folderPath.c_str(), &place.folderLevel, folder.Record());
}

// Lists the folder through the engine into `names`, every entry released on
// the way. False when a step failed: the listing then says nothing.
bool ListInto(FolderNames& names, IStorageBrowser& engine, PathLevel level,
              const RemotePath& folder) {
    ListingCookie cookie = 0;
    ComPtr<StorageItem> item;
    if (FAILED(FirstAtLevel(engine, level, folder, &cookie, &item))) return false;
    while (item) {
        char name[MAX_PATH];
        std::size_t length = 0;
        const NameRead read = ReadListedName(*item.Get(), name, &length);
        if (read == NameRead::Failed) return false;
        if (read == NameRead::Read) names.Collect(name, length);
        if (FAILED(NextAtLevel(engine, level, cookie, item.ReleaseAndGetAddressOf()))) return false;
    }
    return true;
}

bool IsRenameOfItself(const FolderName& folder, const EntryPlace& target, const char* sourcePath) {
    if (sourcePath == nullptr) return false;
    OwnedRemotePath sourceFolder;
    EntryPlace source;
    return PlaceOf(sourcePath, sourceFolder, source) &&
           FolderName::Of(source.folderLevel, sourceFolder.Record()) == folder &&
           FolderKnowledge::SameName(source.name.c_str(), target.name.c_str());
}

// What the folder of `hostPath` says of its entry: from fresh knowledge, or
// else from a listing of the folder made now. Unknown when that listing
// failed.
NameState LookInFolder(PluginState& state, const char* hostPath, const char* sourcePath) {
    OwnedRemotePath folderPath;
    EntryPlace entry;
    if (!PlaceOf(hostPath, folderPath, entry)) return NameState::Unknown;
    const FolderName folder = FolderName::Of(entry.folderLevel, folderPath.Record());
    const bool itself = IsRenameOfItself(folder, entry, sourcePath);
    FolderKnowledge& knowledge = state.knowledge;

    const NameState known = knowledge.Look(folder, entry.name.c_str(), itself, state.clock());
    if (known != NameState::Unknown) return known;
    // Dated when it began, and asked at that moment: a listing that took long
    // is still the newest word on the folder.
    FolderNames names;
    names.Begin(folder, state.clock(), knowledge.Now());
    if (!ListInto(names, *state.engine, entry.folderLevel, folderPath.Record())) {
        return NameState::Unknown;
    }
    return knowledge.LearnAndLook(names, state.clock(), entry.name.c_str(), itself);
}

}  // namespace

TargetState LookUpTarget(PluginState& state, const char* targetPath, const char* sourcePath) {
    switch (LookInFolder(state, targetPath, sourcePath)) {
    case NameState::Taken: return TargetState::Taken;
    case NameState::Free: return TargetState::Free;
    case NameState::Unknown: break;
    }
    // A folder that cannot be listed may not exist: in an object store
    // folders come into being with the objects below them. When a folder
    // further up lists without it, nothing below it exists either.
    std::string path(targetPath);
    OwnedRemotePath folder;
    EntryPlace entry;
    while (PlaceOf(path.c_str(), folder, entry) && entry.folderLevel == PathLevel::Object) {
        path.resize(entry.folderPathLength);  // the folder is now the entry looked for
        switch (LookInFolder(state, path.c_str(), nullptr)) {
        case NameState::Taken: return TargetState::Unknown;  // there, but not listable
        case NameState::Free: return TargetState::Free;
        case NameState::Unknown: break;
        }
    }
    return TargetState::Unknown;
}

PlannedChange::PlannedChange(FolderKnowledge& knowledge, const char* hostPath, Effect effect)
    : knowledge_(knowledge), effect_(effect) {
    OwnedRemotePath folderPath;
    EntryPlace entry;
    if (PlaceOf(hostPath, folderPath, entry)) {
        const FolderName folder = FolderName::Of(entry.folderLevel, folderPath.Record());
        change_ = knowledge.BeginChange(&folder, entry.name.c_str());
    } else {
        change_ = knowledge.BeginChange(nullptr, nullptr);
    }
}

PlannedChange::~PlannedChange() {
    using Outcome = FolderKnowledge::Outcome;
    const Outcome outcome = !succeeded_              ? Outcome::Unknown
                            : effect_ == Effect::Adds ? Outcome::Added
                                                      : Outcome::Removed;
    knowledge_.EndChange(change_, outcome);
}
