#pragma once
// The names of a folder folded for comparison, each with how many entries
// bear it, for the look before replacing. A folder of 100,000 names is
// counted, looked up and let go with a few allocations: the folded names lie
// in one block of text and an open-addressing table of slots points into it.
//
// A fold is the name in the thread's code page, widened to UTF-16 and
// upper-cased (CharUpperBuffW), its units kept as bytes: equal folds are the
// same name for a store that ignores letter case. A name of ASCII characters
// only is folded by a table the thread's code page gave for them, which is
// what converting it whole gives, without a call per name.
//
// Not thread-safe: FolderKnowledge holds its lock around every use.

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// How the calling thread's code page folds each ASCII character.
class AsciiFolds {
public:
    AsciiFolds();
    // Appends the fold of `length` bytes of `name`; false, appending nothing,
    // when the name is not ASCII only.
    bool Append(const char* name, std::size_t length, std::string& out) const;
    // Whether `name` folds to `wanted`, read up to its first byte whose fold
    // differs: a difference before any other than an ASCII byte decides,
    // since those bytes are one character each whatever follows. Unsure when
    // a byte of another character comes first: then fold the name whole.
    enum class Match { Same, Different, Unsure };
    Match Compare(const char* name, std::size_t length, const std::string& wanted) const;

private:
    wchar_t upper_[128];
    bool usable_ = false;
};

// The fold of a name of any characters (one conversion and one upper-casing
// call); empty when the name does not convert.
std::string Fold(const char* name);

class NameCounts {
public:
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

    NameCounts() = default;
    NameCounts(const NameCounts&) = delete;
    NameCounts& operator=(const NameCounts&) = delete;

    // Empty, with room for about `names` names before it grows. May throw
    // std::bad_alloc.
    void Reset(std::size_t names);
    // Gives back every block.
    void Release() noexcept;
    bool Empty() const { return used_ == 0; }

    // The slot of a folded name, kNone when it is not there.
    std::size_t Find(const std::string& folded) const;
    // The slot of a folded name, made with a count of 0 when it is not there.
    // *moved is set when the table grew, which moves every slot. May throw
    // std::bad_alloc, with nothing changed.
    std::size_t Add(const std::string& folded, bool* moved);
    unsigned& Count(std::size_t slot) { return slots_[slot].count; }
    unsigned CountOf(const std::string& folded) const;

private:
    struct Slot {
        std::uint32_t offset = kEmpty;  // of the folded name in block_
        std::uint32_t length = 0;
        std::uint32_t hash = 0;
        unsigned count = 0;
    };
    static constexpr std::uint32_t kEmpty = 0xFFFFFFFFu;

    static std::uint32_t Hash(const char* bytes, std::size_t length);
    std::size_t Probe(const char* bytes, std::size_t length, std::uint32_t hash) const;
    void Grow();

    std::string block_;
    std::vector<Slot> slots_;  // a power of two, at most three quarters used
    std::size_t used_ = 0;
};
