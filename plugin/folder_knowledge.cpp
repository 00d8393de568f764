#include "plugin/folder_knowledge.h"

#include <cstring>
#include <utility>

namespace {

// A name in the thread's code page, widened and upper-cased: equal folds are
// the same name for a store that ignores letter case.
std::wstring Fold(const char* name) {
    const int length = static_cast<int>(std::strlen(name));
    if (length == 0) return std::wstring();
    const int wide = MultiByteToWideChar(CP_THREAD_ACP, 0, name, length, nullptr, 0);
    if (wide <= 0) return std::wstring();
    std::wstring folded(static_cast<std::size_t>(wide), L'\0');
    MultiByteToWideChar(CP_THREAD_ACP, 0, name, length, &folded[0], wide);
    CharUpperBuffW(&folded[0], static_cast<DWORD>(wide));
    return folded;
}

}  // namespace

FolderName FolderName::Of(PathLevel level, const RemotePath& path) {
    return FolderName{level, path.account, path.bucket, path.key};
}

bool FolderName::operator==(const FolderName& other) const {
    return level == other.level && account == other.account && bucket == other.bucket &&
           key == other.key;
}

FolderKnowledge& FolderKnowledge::operator=(FolderKnowledge&& other) noexcept {
    Swap(other);
    return *this;
}

void FolderKnowledge::Swap(FolderKnowledge& other) noexcept {
    std::swap(phase_, other.phase_);
    std::swap(generation_, other.generation_);
    std::swap(folder_.level, other.folder_.level);
    folder_.account.swap(other.folder_.account);
    folder_.bucket.swap(other.folder_.bucket);
    folder_.key.swap(other.folder_.key);
    std::swap(locale_, other.locale_);
    std::swap(listedAt_, other.listedAt_);
    collected_.swap(other.collected_);
    counts_.swap(other.counts_);
}

void FolderKnowledge::BeginListing(FolderName folder, ULONGLONG listedAt) {
    Forget();
    folder_ = std::move(folder);
    locale_ = GetThreadLocale();
    listedAt_ = listedAt;
    phase_ = Phase::Collecting;
}

void FolderKnowledge::Collect(const char* name) {
    if (phase_ != Phase::Collecting) return;
    // A name that failed to go in must not leave a listing that looks whole.
    phase_ = Phase::Nothing;
    collected_.append(name, std::strlen(name) + 1);
    phase_ = Phase::Collecting;
}

void FolderKnowledge::EndListing() {
    if (phase_ == Phase::Collecting) phase_ = Phase::Known;
}

void FolderKnowledge::Forget() {
    FolderKnowledge released;
    released.generation_ = generation_ + 1;
    Swap(released);
}

NameState FolderKnowledge::Look(const FolderName& folder, const char* leaf, bool sameEntry,
                                ULONGLONG now) {
    if (!Follows(folder) || now - listedAt_ >= kFreshForMs) return NameState::Unknown;
    Index();
    const auto found = counts_.find(Fold(leaf));
    const unsigned entries = found == counts_.end() ? 0 : found->second;
    return entries > (sameEntry ? 1u : 0u) ? NameState::Taken : NameState::Free;
}

unsigned* FolderKnowledge::CountOf(const FolderName& folder, const char* leaf) {
    if (!Follows(folder)) return nullptr;
    Index();
    return &counts_[Fold(leaf)];
}

bool FolderKnowledge::SameName(const char* a, const char* b) { return Fold(a) == Fold(b); }

bool FolderKnowledge::Follows(const FolderName& folder) const {
    return phase_ == Phase::Known && locale_ == GetThreadLocale() && folder == folder_;
}

void FolderKnowledge::Index() {
    if (collected_.empty()) return;
    // Whatever fails part-way leaves nothing half-known behind.
    phase_ = Phase::Nothing;
    for (const char* name = collected_.data(); name < collected_.data() + collected_.size();
         name += std::strlen(name) + 1) {
        ++counts_[Fold(name)];
    }
    std::string().swap(collected_);
    phase_ = Phase::Known;
}
