#pragma once
// The parsed form of a host path (\account\bucket\key) and the tests on it.
// No Windows headers here: the parser reaches the platform only through
// lead_bytes.h, so it also builds natively for fuzzing.

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "path/lead_bytes.h"

// Every text field lives in a zero-filled buffer of MAX_PATH (260) bytes, the
// size of the host's own name fields. Texts go in with a bound of 259 bytes
// including the terminator (MAX_PATH - 1), the same bound the listing puts on
// the engine's names in the host's cFileName: so a name that the listing can
// show is a name a path can carry back, at most 258 bytes, and the buffer's
// last byte always stays zero.
constexpr std::size_t kRemoteTextBuffer = 260;
constexpr std::size_t kRemoteTextLimit = 258;

// The names the listing shows in place of an empty account or bucket list.
constexpr const char kAddAccountPlaceholder[] = "Add new account(F7)";
constexpr const char kCreateBucketPlaceholder[] = "Create new bucket(F7)";

// Depth of a parsed path.
enum class PathLevel : std::int32_t {
    Root = 0,     // account empty: the list of accounts
    Account = 1,  // bucket empty: the buckets of an account
    Bucket = 2,   // key empty: the top-level objects of a bucket
    Object = 3,   // a key inside a bucket
};

// The record handed to the engine by value. It owns nothing: the three
// pointers name buffers held by an OwnedRemotePath. It must stay trivially
// copyable, or g++ would pass it through a hidden pointer instead of as the
// 24 bytes on the stack that the engine reads.
struct RemotePath {
    char* account;
    char* bucket;
    char* key;
    std::int64_t size;  // object size in bytes; set by downloads only
};
static_assert(std::is_trivially_copyable<RemotePath>::value,
              "RemotePath travels by value");
#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(RemotePath) == 24, "RemotePath is 24 bytes on the wire");
static_assert(offsetof(RemotePath, account) == 0, "account at offset 0");
static_assert(offsetof(RemotePath, bucket) == 4, "bucket at offset 4");
static_assert(offsetof(RemotePath, key) == 8, "key at offset 8");
static_assert(offsetof(RemotePath, size) == 16, "size at offset 16");
#endif

// Owns the three zero-filled text buffers of one RemotePath and hands out the
// record that points into them. Buffers live inside the owner, so making one
// cannot fail and leaving scope frees everything. Not copyable or movable:
// the record points into this object.
class OwnedRemotePath {
public:
    OwnedRemotePath() : record_{account_, bucket_, key_, 0} {}
    OwnedRemotePath(const OwnedRemotePath&) = delete;
    OwnedRemotePath& operator=(const OwnedRemotePath&) = delete;

    RemotePath& Record() { return record_; }
    const RemotePath& Record() const { return record_; }

private:
    char account_[kRemoteTextBuffer] = {};
    char bucket_[kRemoteTextBuffer] = {};
    char key_[kRemoteTextBuffer] = {};
    RemotePath record_;
};

// Parses a host path into rp's three fields and writes its depth to *level.
// Returns false, with all three fields emptied, when path is null or one of
// its components is longer than kRemoteTextLimit bytes: a shortened name would
// address a different object, so callers refuse such a path. *level is written
// in every case except a null path. Backslash searches step through the text
// character by character in the given code page, so a double-byte character's
// trail byte 0x5C never splits a component.
[[nodiscard]] bool SplitRemotePath(const char* path, PathLevel* level, RemotePath& rp,
                                   const LeadByteRanges& leadBytes);

// The same, in the calling thread's ANSI code page.
[[nodiscard]] bool SplitRemotePath(const char* path, PathLevel* level, RemotePath& rp);

// True when text is exactly (case-sensitively) one of the placeholder names.
bool IsPlaceholderName(const char* text);

// True when account, bucket or key is a placeholder name.
bool IsPlaceholderPath(const RemotePath& rp);

// True when the three texts and the sizes are pairwise equal.
bool SameRemotePath(const RemotePath& a, const RemotePath& b);

// A host path cut before its last component: the first `parentLength` bytes
// are the path of the folder whose listing shows that component, which is the
// `leafLength` bytes at `leafOffset`. Trailing backslashes belong to neither;
// a path without a backslash is all leaf, in the root. Offsets are character
// boundaries in the given code page.
struct LastComponent {
    std::size_t parentLength;
    std::size_t leafOffset;
    std::size_t leafLength;
};
LastComponent FindLastComponent(const char* path, const LeadByteRanges& leadBytes);
