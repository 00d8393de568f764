#include "plugin/name_counts.h"

#include <cstring>

AsciiFolds::AsciiFolds() {
    char ascii[128];
    for (int c = 0; c < 128; ++c) ascii[c] = static_cast<char>(c);
    // Each ASCII byte is one character in every ANSI code page, so the
    // characters converted together are each what they are alone.
    if (MultiByteToWideChar(CP_THREAD_ACP, 0, ascii, 128, upper_, 128) != 128) return;
    usable_ = CharUpperBuffW(upper_, 128) == 128;
}

bool AsciiFolds::Append(const char* name, std::size_t length, std::string& out) const {
    if (!usable_) return false;
    for (std::size_t at = 0; at < length; ++at) {
        if (static_cast<unsigned char>(name[at]) >= 128) return false;
    }
    const std::size_t start = out.size();
    out.resize(start + length * sizeof(wchar_t));
    for (std::size_t at = 0; at < length; ++at) {
        std::memcpy(&out[start + at * sizeof(wchar_t)], &upper_[static_cast<unsigned char>(name[at])],
                    sizeof(wchar_t));
    }
    return true;
}

AsciiFolds::Match AsciiFolds::Compare(const char* name, std::size_t length,
                                      const std::string& wanted) const {
    if (!usable_) return Match::Unsure;
    const std::size_t units = wanted.size() / sizeof(wchar_t);
    for (std::size_t at = 0; at < length; ++at) {
        const auto byte = static_cast<unsigned char>(name[at]);
        if (byte >= 128) return Match::Unsure;
        if (at == units) return Match::Different;
        wchar_t unit;
        std::memcpy(&unit, wanted.data() + at * sizeof(wchar_t), sizeof(wchar_t));
        if (upper_[byte] != unit) return Match::Different;
    }
    return length == units ? Match::Same : Match::Different;
}

std::string Fold(const char* name) {
    wchar_t wide[MAX_PATH];
    const int length = static_cast<int>(strnlen(name, MAX_PATH));
    const int units = MultiByteToWideChar(CP_THREAD_ACP, 0, name, length, wide, MAX_PATH);
    if (units <= 0) return std::string();
    CharUpperBuffW(wide, static_cast<DWORD>(units));
    return std::string(reinterpret_cast<const char*>(wide), static_cast<std::size_t>(units) * sizeof(wchar_t));
}

void NameCounts::Reset(std::size_t names) {
    std::size_t size = 16;
    while (size < names + names / 3 + 16) size *= 2;
    std::vector<Slot> slots(size);
    block_.clear();
    slots_.swap(slots);
    used_ = 0;
}

void NameCounts::Release() noexcept {
    std::string().swap(block_);
    std::vector<Slot>().swap(slots_);
    used_ = 0;
}

std::uint32_t NameCounts::Hash(const char* bytes, std::size_t length) {
    std::uint32_t hash = 2166136261u;  // FNV-1a
    for (std::size_t at = 0; at < length; ++at) {
        hash = (hash ^ static_cast<unsigned char>(bytes[at])) * 16777619u;
    }
    return hash;
}

std::size_t NameCounts::Probe(const char* bytes, std::size_t length, std::uint32_t hash) const {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t at = hash & mask;; at = (at + 1) & mask) {
        const Slot& slot = slots_[at];
        if (slot.offset == kEmpty) return at;
        if (slot.hash == hash && slot.length == length &&
            std::memcmp(block_.data() + slot.offset, bytes, length) == 0) {
            return at;
        }
    }
}

std::size_t NameCounts::Find(const std::string& folded) const {
    if (slots_.empty()) return kNone;
    const std::size_t at = Probe(folded.data(), folded.size(), Hash(folded.data(), folded.size()));
    return slots_[at].offset == kEmpty ? kNone : at;
}

unsigned NameCounts::CountOf(const std::string& folded) const {
    const std::size_t at = Find(folded);
    return at == kNone ? 0 : slots_[at].count;
}

std::size_t NameCounts::Add(const std::string& folded, bool* moved) {
    if ((used_ + 1) * 4 > slots_.size() * 3) {
        Grow();
        *moved = true;
    }
    const std::uint32_t hash = Hash(folded.data(), folded.size());
    const std::size_t at = Probe(folded.data(), folded.size(), hash);
    if (slots_[at].offset != kEmpty) return at;
    const std::size_t offset = block_.size();
    block_.append(folded);  // before the slot is filled: nothing changes when this throws
    slots_[at] = Slot{static_cast<std::uint32_t>(offset), static_cast<std::uint32_t>(folded.size()), hash, 0};
    ++used_;
    return at;
}

void NameCounts::Grow() {
    std::vector<Slot> grown(slots_.empty() ? 16 : slots_.size() * 2);
    const std::size_t mask = grown.size() - 1;
    for (const Slot& slot : slots_) {
        if (slot.offset == kEmpty) continue;
        std::size_t at = slot.hash & mask;
        while (grown[at].offset != kEmpty) at = (at + 1) & mask;
        grown[at] = slot;
    }
    slots_.swap(grown);
}
