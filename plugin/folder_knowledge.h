#pragma once
// What the plugin knows of the names in one folder of the store, so that the
// check before an upload or a store copy need not list a large folder again
// for every file of a burst. Knowledge comes from a listing that reached its
// end (the host's own or one the check made) and follows the plugin's own
// changes in that folder since. It is used for kFreshForMs after its listing
// began, and only in the thread locale it was listed in: the names are 8-bit
// texts of that locale's code page.
//
// Names are compared as the listing showed them, letter case aside: a store
// may not tell "a.txt" from "A.TXT", and asking once too often is the safe
// side. One folder at a time; not locked (the host calls one export at a time).

#include <windows.h>

#include <map>
#include <string>

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

class FolderKnowledge {
public:
    static constexpr ULONGLONG kFreshForMs = 2000;

    FolderKnowledge() = default;
    FolderKnowledge(FolderKnowledge&&) = default;
    // Swaps, so that the blocks held before go with `other`: a string moved
    // into keeps its own block when the source's text is short.
    FolderKnowledge& operator=(FolderKnowledge&& other) noexcept;
    FolderKnowledge(const FolderKnowledge&) = delete;
    FolderKnowledge& operator=(const FolderKnowledge&) = delete;

    // Forgets what was known and collects a listing of `folder` that began at
    // `listedAt` (milliseconds of the plugin's clock).
    void BeginListing(FolderName folder, ULONGLONG listedAt);
    // One name of the listing being collected, as the host was shown it:
    // `length` bytes and a terminator, in a buffer of MAX_PATH bytes (a find
    // record's cFileName).
    void Collect(const char* name, std::size_t length);
    // The listing reached its end: what it collected is now known.
    void EndListing();
    // Frees everything; the next check lists again. Allocates nothing.
    void Forget();

    // Whether an entry of `folder` has the name `leaf`, letter case aside;
    // Unknown when nothing fresh is known of that folder. With `sameEntry`
    // the leaf is the new name of an entry of that folder renamed only in
    // letter case, which does not count against itself: the name is taken
    // only when a second entry has it.
    NameState Look(const FolderName& folder, const char* leaf, bool sameEntry, ULONGLONG now);

    // The count of entries named `leaf` in `folder`, letter case aside, for
    // the plugin to follow its own change to that entry; a new name starts
    // at 0. Null when `folder` is not the one known. The count stays where it
    // is until the knowledge is forgotten or replaced, which changes
    // Generation(). May throw std::bad_alloc.
    unsigned* CountOf(const FolderName& folder, const char* leaf);
    unsigned Generation() const { return generation_; }

    // True when two names are the same one for a listing, letter case aside.
    static bool SameName(const char* a, const char* b);

private:
    enum class Phase { Nothing, Collecting, Known };

    void Swap(FolderKnowledge& other) noexcept;
    bool Follows(const FolderName& folder) const;
    void Index();

    Phase phase_ = Phase::Nothing;
    unsigned generation_ = 0;
    FolderName folder_;
    LCID locale_ = 0;
    ULONGLONG listedAt_ = 0;
    // The names collected, each ended by NUL, in the first used_ bytes:
    // copying a name in is all a listing pays per entry. Folded into counts_
    // at the first question; the block stays for the next listing.
    std::string collected_;
    std::size_t used_ = 0;
    std::map<std::string, unsigned> counts_;  // folded name: entries with it
};
