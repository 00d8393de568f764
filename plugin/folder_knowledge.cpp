#include "plugin/folder_knowledge.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

// Visits the fold of each name of a block of NUL-ended names.
template <typename Visitor>
void ForEachFold(const std::string& block, std::size_t used, Visitor&& visit) {
    const AsciiFolds ascii;
    std::string folded;
    for (const char* name = block.data(); name < block.data() + used;) {
        const std::size_t length = std::strlen(name);
        folded.clear();
        if (!ascii.Append(name, length, folded)) folded = Fold(name);
        visit(folded);
        name += length + 1;
    }
}

// How many names of a block of NUL-ended names fold to `wanted`; most are
// told apart by their first bytes.
unsigned CountFolds(const std::string& block, std::size_t used, const std::string& wanted) {
    const AsciiFolds ascii;
    unsigned entries = 0;
    for (const char* name = block.data(); name < block.data() + used;) {
        const std::size_t length = std::strlen(name);
        switch (ascii.Compare(name, length, wanted)) {
        case AsciiFolds::Match::Same: ++entries; break;
        case AsciiFolds::Match::Different: break;
        case AsciiFolds::Match::Unsure: entries += Fold(name) == wanted; break;
        }
        name += length + 1;
    }
    return entries;
}

// A change of the plugin's, followed in a count of entries.
void Follow(FolderKnowledge::Outcome outcome, unsigned& count) {
    if (outcome == FolderKnowledge::Outcome::Added) {
        ++count;
    } else if (outcome == FolderKnowledge::Outcome::Removed && count > 0) {
        --count;
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
    const unsigned entries = CountFolds(names.collected_, names.used_, Fold(leaf));
    return entries > (sameEntry ? 1u : 0u) ? NameState::Taken : NameState::Free;
}

FolderKnowledge::Change FolderKnowledge::BeginChange(const FolderName* folder, const char* leaf) {
    SrwLock::Exclusive hold(lock_);
    Change change;
    if (folder != nullptr && Follows(*folder)) {
        std::string folded = Fold(leaf);
        if (counted_) {
            bool moved = false;
            change.slot = counts_.Add(folded, &moved);
            // The other changes' slots have moved: they make the plugin forget.
            if (moved) ++generation_;
        } else {
            pending_.push_back(PendingChange{std::move(folded)});
            change.slot = pending_.size() - 1;
            change.pending = true;
            ++underWay_;
        }
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
    if (outcome == Outcome::Unknown || change.slot == NameCounts::kNone ||
        generation_ != change.generation) {
        return ForgetLocked();
    }
    // A change under way keeps the names from being counted (Entries), so
    // its pending entry is still there.
    if (change.pending) {
        pending_[change.slot].outcome = outcome;
        --underWay_;
    } else {
        Follow(outcome, counts_.Count(change.slot));
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
    ClearCounts();
}

void FolderKnowledge::ClearCounts() noexcept {
    std::vector<PendingChange>().swap(pending_);
    underWay_ = 0;
    looks_ = 0;
    counted_ = false;
    counts_.Release();
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
    const ULONGLONG freshFor = std::max(kFreshForMs, kFreshPerListingMs * names_.costMs_);
    return now - names_.listedAt_ < freshFor;
}

void FolderKnowledge::Adopt(FolderNames& names) {
    names_.Swap(names);
    names.collecting_ = false;
    ClearCounts();
    ++generation_;
    known_ = true;
}

NameState FolderKnowledge::Answer(const FolderName& folder, const char* leaf, bool sameEntry,
                                  ULONGLONG now) {
    if (!Follows(folder) || !Fresh(now)) return NameState::Unknown;
    const unsigned entries = Entries(Fold(leaf));
    return entries > (sameEntry ? 1u : 0u) ? NameState::Taken : NameState::Free;
}

unsigned FolderKnowledge::Entries(const std::string& wanted) {
    if (!counted_ && (++looks_ <= kLooksBeforeCounting || underWay_ != 0)) {
        unsigned entries = CountFolds(names_.collected_, names_.used_, wanted);
        for (const PendingChange& change : pending_) {
            if (change.folded == wanted) Follow(change.outcome, entries);
        }
        return entries;
    }
    Index();
    return counts_.CountOf(wanted);
}

void FolderKnowledge::Index() {
    if (counted_) return;
    // Whatever fails part-way leaves nothing half-known behind.
    known_ = false;
    counts_.Reset(names_.count_ + pending_.size());
    bool moved = false;  // nothing has a slot yet
    ForEachFold(names_.collected_, names_.used_,
                [&](const std::string& name) { ++counts_.Count(counts_.Add(name, &moved)); });
    // None is under way: each is followed as it was made.
    for (const PendingChange& change : pending_) {
        Follow(change.outcome, counts_.Count(counts_.Add(change.folded, &moved)));
    }
    std::vector<PendingChange>().swap(pending_);
    counted_ = true;
    known_ = true;
}
