#include "bridge/channel.h"

#include <cstring>

namespace bridge {

namespace {

bool WriteExactly(HANDLE pipe, const char* data, DWORD size) {
    while (size > 0) {
        DWORD written = 0;
        if (!WriteFile(pipe, data, size, &written, nullptr) || written == 0) return false;
        data += written;
        size -= written;
    }
    return true;
}

}  // namespace

bool SendMessage(HANDLE pipe, const Message& message) { return SendFrames(pipe, Frame(message)); }

bool SendFrames(HANDLE pipe, const std::string& frames) {
    return WriteExactly(pipe, frames.data(), static_cast<DWORD>(frames.size()));
}

bool DecodePayload(const std::string& payload, Sender from, Message* message) {
    return Decode(reinterpret_cast<const std::uint8_t*>(payload.data()), payload.size(), from,
                  message);
}

bool SharedBatches::Create() {
    Reset();
    section_ = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                  kBatchRegionBytes * kBatchRegions, nullptr);
    return section_ != nullptr && Map(FILE_MAP_READ);
}

bool SharedBatches::Open(HANDLE section) {
    Reset();
    section_ = section;
    return Map(FILE_MAP_WRITE);
}

bool SharedBatches::Map(DWORD access) {
    view_ = static_cast<char*>(MapViewOfFile(section_, access, 0, 0, kBatchRegionBytes * kBatchRegions));
    if (view_ != nullptr) return true;
    Reset();
    return false;
}

void SharedBatches::Reset() {
    if (view_ != nullptr) UnmapViewOfFile(view_);
    if (section_ != nullptr) CloseHandle(section_);
    view_ = nullptr;
    section_ = nullptr;
}

char* SharedBatches::Region(std::uint32_t index) const {
    return view_ != nullptr && index < kBatchRegions ? view_ + index * kBatchRegionBytes : nullptr;
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
