#include "plugin/folder_knowledge.h"

#include <cstdint>
#include <cstring>
#include <utility>

namespace {

// A name in the thread's code page, widened and upper-cased: equal folds are
// the same name for a store that ignores letter case. The UTF-16 units are
// kept as bytes, so one string type serves every text here.
std::string Fold(const char* name) {
    wchar_t wide[MAX_PATH];
    const int length = static_cast<int>(strnlen(name, MAX_PATH));
    const int units = MultiByteToWideChar(CP_THREAD_ACP, 0, name, length, wide, MAX_PATH);
    if (units <= 0) return std::string();
    CharUpperBuffW(wide, static_cast<DWORD>(units));
    return std::string(reinterpret_cast<const char*>(wide), static_cast<std::size_t>(units) * sizeof(wchar_t));
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
    std::swap(used_, other.used_);
    counts_.swap(other.counts_);
}

void FolderKnowledge::BeginListing(FolderName folder, ULONGLONG listedAt) {
    // The names' block is kept: the host lists folders of the same size
    // again and again, and a block grown afresh each time costs every entry.
    phase_ = Phase::Nothing;
    ++generation_;
    used_ = 0;
    counts_.clear();
    folder_ = std::move(folder);
    locale_ = GetThreadLocale();
    listedAt_ = listedAt;
    phase_ = Phase::Collecting;
}

void FolderKnowledge::Collect(const char* name, std::size_t length) {
    if (phase_ != Phase::Collecting || length >= MAX_PATH) return;
    // Room for the longest name a listing shows, so the copy needs no
    // measuring first.
    if (used_ + MAX_PATH > collected_.size()) {
        // A name that failed to go in must not leave a listing that looks whole.
        phase_ = Phase::Nothing;
        collected_.resize(2 * collected_.size() + MAX_PATH);
        phase_ = Phase::Collecting;
    }
    // Most names are short: a copy of fixed size, which the compiler makes a
    // few moves, reads past the name into the rest of its MAX_PATH buffer.
    // Copying is all a listing pays per entry.
    constexpr std::size_t kShortName = 32;
    char* out = &collected_[used_];
    if (length < kShortName) {
        std::memcpy(out, name, kShortName);
    } else {
        std::memcpy(out, name, length);
    }
    out[length] = '\0';
    used_ += length + 1;
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
    if (used_ == 0) return;
    // Whatever fails part-way leaves nothing half-known behind.
    phase_ = Phase::Nothing;
    for (const char* name = collected_.data(); name < collected_.data() + used_;
         name += std::strlen(name) + 1) {
        ++counts_[Fold(name)];
    }
    used_ = 0;
    phase_ = Phase::Known;
}
