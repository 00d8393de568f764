#include "bridge/channel.h"

#include <cstring>

namespace bridge {

bool DecodePayload(const std::string& payload, Sender from, Message* message) {
    return Decode(reinterpret_cast<const std::uint8_t*>(payload.data()), payload.size(), from,
                  message);
}

namespace {

constexpr std::uint32_t kSectionBytes = 2 * kRingSectionBytes + kBatchRegionBytes * kBatchRegions;

}  // namespace

bool SharedSection::Create() {
    Reset();
    section_ = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kSectionBytes, nullptr);
    return section_ != nullptr && Map();
}

bool SharedSection::Open(HANDLE section) {
    Reset();
    section_ = section;
    return Map();
}

bool SharedSection::Map() {
    view_ = static_cast<char*>(MapViewOfFile(section_, FILE_MAP_WRITE, 0, 0, kSectionBytes));
    if (view_ != nullptr) return true;
    Reset();
    return false;
}

void SharedSection::Reset() {
    if (view_ != nullptr) UnmapViewOfFile(view_);
    if (section_ != nullptr) CloseHandle(section_);
    view_ = nullptr;
    section_ = nullptr;
}

char* SharedSection::Region(std::uint32_t index) const {
    return view_ != nullptr && index < kBatchRegions ? view_ + 2 * kRingSectionBytes + index * kBatchRegionBytes
                                                     : nullptr;
}

bool HostText(const char* text, Text* out) {
    if (text == nullptr) {
        out->reset();
        return true;
    }
    const std::size_t length = strnlen(text, kMaxTextBytes + 1);
    if (length > kMaxTextBytes) return false;
    out->emplace(text, length);
    return true;
}

}  // namespace bridge
