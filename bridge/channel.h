#pragma once
// The shared section that carries the bridge's byte stream each way and
// its listing batches, and the payloads that each side's reader takes out of
// its FrameBuffer decoded.

#include <windows.h>

#include <string>

#include "bridge/protocol.h"
#include "bridge/ring.h"

namespace bridge {

// Decodes a frame's payload, which `from` sent.
bool DecodePayload(const std::string& payload, Sender from, Message* message);

// The section shared by the 64-bit side and its helper: made by the 64-bit
// side, unnamed, and handed to the helper by inheritance. Holds the ring of
// each direction and the listing batches' regions. Owns the section and its
// view.
class SharedSection {
public:
    SharedSection() = default;
    ~SharedSection() { Reset(); }
    SharedSection(const SharedSection&) = delete;
    SharedSection& operator=(const SharedSection&) = delete;

    // A new section, mapped. False when it cannot be made.
    bool Create();
    // The section the 64-bit side handed over, mapped.
    bool Open(HANDLE section);
    void Reset();

    HANDLE Section() const { return section_; }
    // The ring of each direction, kRingSectionBytes long.
    char* RingToHelper() const { return view_; }
    char* RingToModule() const { return view_ + kRingSectionBytes; }
    // The batch region of that index, kBatchRegionBytes long; null for another index.
    char* Region(std::uint32_t index) const;

private:
    bool Map();
    HANDLE section_ = nullptr;
    char* view_ = nullptr;
};

// A text of the host's (null stays absent), or false when it is longer than
// the protocol carries.
bool HostText(const char* text, Text* out);

}  // namespace bridge
