#pragma once
// What the plugin knows of the names in one folder of the store, so that the
// check before an upload or a store copy need not list a large folder again
// for every file of a burst. Knowledge comes from a listing that reached its
// end (the host's own or one the check made) and follows the plugin's own
// changes in that folder since. It is used, counted from the moment its
// listing began, for kFolderKnownForMs or for kFolderKnownPerListingCost
// times what the listing cost, whichever is longer (common/timing.h), and
// only in the thread locale it was listed in: the names are 8-bit texts of
// that locale's code page. A listing's cost is its time from beginning to
// end less the cost of the listings that began and ended inside it (a host
// walking a folder tree lists a subfolder inside its folder's listing).
//
// Names are compared as the listing showed them, letter case aside: a store
// may not tell "a.txt" from "A.TXT", and asking once too often is the safe
// side. A fold is the name in the thread's code page, widened to UTF-16 and
// upper-cased; what is known counts the entries of each fold, since a store
// may hold both "a.txt" and "A.TXT". One folder at a time.
//
// Threads: the host may list on one thread while it changes the store on
// another. Every member of FolderKnowledge holds its lock for its own short
// work; none calls the engine. A listing's FolderNames is that listing's own.

#include <windows.h>

#include <cstdint>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>

#include "common/srw_lock.h"
#include "common/timing.h"
#include "path/remote_path.h"

// A folder as its listing addresses it: the depth and the three texts of its
// parsed path.
struct FolderName {
    PathLevel level = PathLevel::Root;
    std::string account;
    std::string bucket;
    std::string key;

    static FolderName Of(PathLevel level, const RemotePath& path);
    bool operator==(const FolderName& other) const;
};

enum class NameState { Unknown, Taken, Free };

// Where the store stood when a listing began. What the listing collects may
// become known only if no change of the store began or ended between then
// and its end: such a change may or may not show in it. A change that is
// still under way when the listing is learnt forgets it when it ends.
struct StoreMoment {
    std::uint32_t changes = 0;  // changes begun or ended before
    ULONGLONG listingsMs = 0;   // what the listings that ended before cost, in all
};

// The names one listing collects as they are shown to the host, with the
// folder and the moment they describe. The block they are copied into is
// kept from one listing to the next.
class FolderNames {
public:
    FolderNames() = default;
    FolderNames(const FolderNames&) = delete;
    FolderNames& operator=(const FolderNames&) = delete;

    // Starts collecting the names of `folder`, listed from `listedAt`
    // (milliseconds of the plugin's clock) and `moment`.
    void Begin(FolderName folder, ULONGLONG listedAt, StoreMoment moment);
    // One name, as the host was shown it: `length` bytes and a terminator,
    // in a buffer of MAX_PATH bytes (a find record's cFileName).
    void Collect(const char* name, std::size_t length);
    // Nothing collected counts any more: the listing failed.
    void Drop() { collecting_ = false; }

    void Swap(FolderNames& other) noexcept;

private:
    friend class FolderKnowledge;

    bool collecting_ = false;  // false once a name could not go in
    FolderName folder_;
    LCID locale_ = 0;
    ULONGLONG listedAt_ = 0;
    StoreMoment moment_;
    ULONGLONG costMs_ = 0;  // once it has ended
    // The names, each ended by NUL, in the first used_ bytes: copying a name
    // in is all a listing pays per entry.
    std::string collected_;
    std::size_t used_ = 0;
    std::size_t count_ = 0;  // of the names in the first used_ bytes
};

class FolderKnowledge {
public:
    FolderKnowledge() = default;
    FolderKnowledge(const FolderKnowledge&) = delete;
    FolderKnowledge& operator=(const FolderKnowledge&) = delete;

    // The moment a listing that begins now starts from.
    StoreMoment Now();
    // What a listing that reached its end at `endedAt` collected becomes
    // known, unless the store changed since it began; `names` then holds the
    // block of what was known before, for its next listing.
    void Learn(FolderNames& names, ULONGLONG endedAt);
    // Forgets what was known; the next check lists again. Counts as a
    // change: listings under way are not learnt. Allocates nothing.
    void Forget();

    // Whether an entry of `folder` has the name `leaf`, letter case aside;
    // Unknown when nothing fresh is known of that folder. With `sameEntry`
    // the leaf is the new name of an entry of that folder renamed only in
    // letter case, which does not count against itself: the name is taken
    // only when a second entry has it. May throw std::bad_alloc.
    NameState Look(const FolderName& folder, const char* leaf, bool sameEntry, ULONGLONG now);
    // Learns `names`, a listing the check has just made, ended at `endedAt`,
    // and answers from it: from what is then known, or from `names` alone
    // when the store changed while they were listed.
    NameState LearnAndLook(FolderNames& names, ULONGLONG endedAt, const char* leaf, bool sameEntry);

    // A change of the store that the plugin is about to make to the entry
    // `leaf` of `folder`, for the knowledge to follow. Begun before the
    // engine is asked, so that ending it needs no memory. BeginChange may
    // throw std::bad_alloc, before anything is changed.
    struct Change {
        unsigned* count = nullptr;  // of its name, if the folder is the known one
        unsigned generation = 0;
    };
    enum class Outcome { Added, Removed, Unknown };
    Change BeginChange(const FolderName* folder, const char* leaf);
    void EndChange(const Change& change, Outcome outcome) noexcept;

    // True when two names are the same one for a listing, letter case aside.
    static bool SameName(const char* a, const char* b);

private:
    void ForgetLocked();
    bool Follows(const FolderName& folder) const;
    bool Learnable(const FolderNames& names) const;
    // The listing's cost, counted in with those of the listings that end
    // after it began.
    void Ended(FolderNames& names, ULONGLONG endedAt);
    bool Fresh(ULONGLONG now) const;
    // Folds the names of the last listing into counts_, the first time what
    // is known is asked or changed: most listings never are.
    void Count();
    void ReleaseCounts() noexcept;
    // `names` become what is known, and what was known goes to `names`.
    void Adopt(FolderNames& names);
    NameState Answer(const FolderName& folder, const char* leaf, bool sameEntry, ULONGLONG now);

    SrwLock lock_;
    bool known_ = false;
    // Counts what is known: a change's count stays valid while it is the same.
    unsigned generation_ = 0;
    std::uint32_t changes_ = 0;  // changes begun or ended, forgetting included
    ULONGLONG listingsMs_ = 0;   // what the listings that ended cost, in all
    // What is known: the names of a listing, until Count() folds them into
    // folded_, each ended by NUL, and counts the entries of each in counts_,
    // which then follows the plugin's changes; a name a change adds is kept
    // in added_. A change under way holds its name's count.
    using Counts = std::unordered_map<std::wstring_view, unsigned>;
    FolderNames names_;
    std::wstring folded_;
    std::list<std::wstring> added_;
    Counts counts_;
};
