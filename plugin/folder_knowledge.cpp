#include "plugin/folder_knowledge.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

// Appends the fold of `name` to `out`: the name in the thread's code page,
// widened to UTF-16 and upper-cased; nothing when it does not convert.
void AppendFold(const char* name, std::wstring& out) {
    const int length = static_cast<int>(strnlen(name, MAX_PATH));
    const std::size_t at = out.size();
    out.resize(at + static_cast<std::size_t>(length));  // a byte is at most one unit
    const int units = std::max(0, MultiByteToWideChar(CP_THREAD_ACP, 0, name, length, &out[at], length));
    CharUpperBuffW(&out[at], static_cast<DWORD>(units));
    out.resize(at + static_cast<std::size_t>(units));
}

std::wstring Fold(const char* name) {
    std::wstring folded;
    AppendFold(name, folded);
    return folded;
}

// Visits each name of a block of NUL-ended names.
template <typename Visitor>
void ForEachName(const std::string& block, std::size_t used, Visitor&& visit) {
    for (const char* name = block.data(); name < block.data() + used; name += std::strlen(name) + 1) {
        visit(name);
    }
}

}  // namespace

FolderName FolderName::Of(PathLevel level, const RemotePath& path) {
    return FolderName{level, path.account, path.bucket, path.key};
}

bool FolderName::operator==(const FolderName& other) const {
    return level == other.level && account == other.account && bucket == other.bucket &&
           key == other.key;
}

void FolderNames::Begin(FolderName folder, ULONGLONG listedAt, StoreMoment moment) {
    collecting_ = false;
    folder_ = std::move(folder);
    locale_ = GetThreadLocale();
    listedAt_ = listedAt;
    moment_ = moment;
    used_ = 0;  // the block is kept: a block grown afresh for each listing costs every entry
    count_ = 0;
    collecting_ = true;
}

void FolderNames::Collect(const char* name, std::size_t length) {
    if (!collecting_ || length >= MAX_PATH) return;
    // Room for the longest name a listing shows, so the copy needs no
    // measuring first.
    if (used_ + MAX_PATH > collected_.size()) {
        // A name that failed to go in must not leave a listing that looks whole.
        collecting_ = false;
        collected_.resize(2 * collected_.size() + MAX_PATH);
        collecting_ = true;
    }
    // Most names are short: a copy of fixed size, which the compiler makes a
    // few moves, reads past the name into the rest of its MAX_PATH buffer.
    constexpr std::size_t kShortName = 32;
    char* out = &collected_[used_];
    if (length < kShortName) {
        std::memcpy(out, name, kShortName);
    } else {
        std::memcpy(out, name, length);
    }
    out[length] = '\0';
    used_ += length + 1;
    ++count_;
}

void FolderNames::Swap(FolderNames& other) noexcept {
    std::swap(collecting_, other.collecting_);
    std::swap(folder_.level, other.folder_.level);
    folder_.account.swap(other.folder_.account);
    folder_.bucket.swap(other.folder_.bucket);
    folder_.key.swap(other.folder_.key);
    std::swap(locale_, other.locale_);
    std::swap(listedAt_, other.listedAt_);
    std::swap(moment_, other.moment_);
    std::swap(costMs_, other.costMs_);
    collected_.swap(other.collected_);
    std::swap(used_, other.used_);
    std::swap(count_, other.count_);
}

StoreMoment FolderKnowledge::Now() {
    SrwLock::Exclusive hold(lock_);
    return StoreMoment{changes_, listingsMs_};
}

void FolderKnowledge::Learn(FolderNames& names, ULONGLONG endedAt) {
    SrwLock::Exclusive hold(lock_);
    Ended(names, endedAt);
    if (Learnable(names)) Adopt(names);
}

void FolderKnowledge::Forget() {
    SrwLock::Exclusive hold(lock_);
    ForgetLocked();
}

NameState FolderKnowledge::Look(const FolderName& folder, const char* leaf, bool sameEntry,
                                ULONGLONG now) {
    SrwLock::Exclusive hold(lock_);
    return Answer(folder, leaf, sameEntry, now);
}

NameState FolderKnowledge::LearnAndLook(FolderNames& names, ULONGLONG endedAt, const char* leaf,
                                        bool sameEntry) {
    {
        SrwLock::Exclusive hold(lock_);
        Ended(names, endedAt);
        if (Learnable(names)) {
            Adopt(names);
            return Answer(names_.folder_, leaf, sameEntry, names_.listedAt_);
        }
    }
    // The store changed meanwhile: these names are still the newest word on
    // the folder for this question, but not knowledge to keep.
    const std::wstring wanted = Fold(leaf);
    unsigned entries = 0;
    ForEachName(names.collected_, names.used_, [&](const char* name) { entries += Fold(name) == wanted; });
    return entries > (sameEntry ? 1u : 0u) ? NameState::Taken : NameState::Free;
}

FolderKnowledge::Change FolderKnowledge::BeginChange(const FolderName* folder, const char* leaf) {
    SrwLock::Exclusive hold(lock_);
    Change change;
    if (folder != nullptr && Follows(*folder)) {
        Count();
        std::wstring folded = Fold(leaf);
        auto found = counts_.find(folded);
        if (found == counts_.end()) {
            // A name the listing did not have is kept here, where the count's
            // key points. A count stays where it is as the table grows.
            added_.push_back(std::move(folded));
            found = counts_.emplace(added_.back(), 0).first;
        }
        change.count = &found->second;
    }
    change.generation = generation_;
    ++changes_;
    return change;
}

void FolderKnowledge::EndChange(const Change& change, Outcome outcome) noexcept {
    SrwLock::Exclusive hold(lock_);
    ++changes_;
    // Another change in between (one that failed, on this thread or another)
    // may have made the knowledge forget: the count is gone with it.
    if (outcome == Outcome::Unknown || change.count == nullptr || generation_ != change.generation) {
        return ForgetLocked();
    }
    if (outcome == Outcome::Added) {
        ++*change.count;
    } else if (*change.count > 0) {
        --*change.count;
    }
}

bool FolderKnowledge::SameName(const char* a, const char* b) { return Fold(a) == Fold(b); }

void FolderKnowledge::ForgetLocked() {
    known_ = false;
    ++generation_;
    ++changes_;
    // Frees the blocks: what a large folder held is not kept for nothing.
    FolderNames released;
    names_.Swap(released);
    ReleaseCounts();
}

void FolderKnowledge::ReleaseCounts() noexcept {
    Counts().swap(counts_);  // before the texts its keys point into
    std::wstring().swap(folded_);
    added_.clear();
}

bool FolderKnowledge::Follows(const FolderName& folder) const {
    return known_ && names_.locale_ == GetThreadLocale() && folder == names_.folder_;
}

bool FolderKnowledge::Learnable(const FolderNames& names) const {
    return names.collecting_ && names.moment_.changes == changes_;
}

void FolderKnowledge::Ended(FolderNames& names, ULONGLONG endedAt) {
    const ULONGLONG took = endedAt > names.listedAt_ ? endedAt - names.listedAt_ : 0;
    const ULONGLONG inside = listingsMs_ - names.moment_.listingsMs;
    // Listings on another thread meanwhile are taken off too: the cost may
    // come out low, and what is known then serves for less time.
    names.costMs_ = took > inside ? took - inside : 0;
    listingsMs_ += names.costMs_;
}

bool FolderKnowledge::Fresh(ULONGLONG now) const {
    const ULONGLONG freshFor = std::max(kFolderKnownForMs, kFolderKnownPerListingCost * names_.costMs_);
    return now - names_.listedAt_ < freshFor;
}

void FolderKnowledge::Adopt(FolderNames& names) {
    names_.Swap(names);
    names.collecting_ = false;
    ReleaseCounts();
    ++generation_;
    known_ = true;
}

NameState FolderKnowledge::Answer(const FolderName& folder, const char* leaf, bool sameEntry,
                                  ULONGLONG now) {
    if (!Follows(folder) || !Fresh(now)) return NameState::Unknown;
    Count();
    const std::wstring folded = Fold(leaf);
    const auto found = counts_.find(folded);
    const unsigned entries = found == counts_.end() ? 0 : found->second;
    return entries > (sameEntry ? 1u : 0u) ? NameState::Taken : NameState::Free;
}

void FolderKnowledge::Count() {
    if (names_.used_ == 0) return;
    // Whatever fails part-way leaves nothing half-known behind. No change
    // holds a count yet: the first one counts the names.
    known_ = false;
    folded_.reserve(names_.used_);  // never moved once the counts point into it
    ForEachName(names_.collected_, names_.used_, [&](const char* name) {
        AppendFold(name, folded_);
        folded_ += L'\0';
    });
    counts_.reserve(names_.count_);
    for (const wchar_t* name = folded_.data(); name < folded_.data() + folded_.size();) {
        const std::wstring_view folded(name);
        ++counts_[folded];
        name += folded.size() + 1;
    }
    names_.used_ = 0;
    names_.count_ = 0;
    known_ = true;
}
