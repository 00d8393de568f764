#pragma once
// Frames of the bridge's protocol over one pipe each way: blocking writes
// (a false result means the pipe is broken: the peer has ended), and the
// payloads that each side's reader takes out of its FrameBuffer decoded.

#include <windows.h>

#include <string>

#include "bridge/protocol.h"

namespace bridge {

// Writes a whole frame. False when the pipe is broken.
bool SendMessage(HANDLE pipe, const Message& message);
// Writes whole frames (Frame's, one after another) in one write, which the
// peer's reader takes in at one wake-up. False when the pipe is broken.
bool SendFrames(HANDLE pipe, const std::string& frames);

// Decodes a frame's payload, which `from` sent.
bool DecodePayload(const std::string& payload, Sender from, Message* message);

// The shared section that carries listing batches: made by the 64-bit side,
// unnamed, and handed to the helper by inheritance. Owns the section and its
// view. The 64-bit side maps it for reading, the helper for writing.
class SharedBatches {
public:
    SharedBatches() = default;
    ~SharedBatches() { Reset(); }
    SharedBatches(const SharedBatches&) = delete;
    SharedBatches& operator=(const SharedBatches&) = delete;

    // A new section, mapped for reading. False when it cannot be made.
    bool Create();
    // The section the 64-bit side handed over, mapped for writing.
    bool Open(HANDLE section);
    void Reset();

    HANDLE Section() const { return section_; }
    // The region of that index, kBatchRegionBytes long; null for another index.
    char* Region(std::uint32_t index) const;

private:
    bool Map(DWORD access);
    HANDLE section_ = nullptr;
    char* view_ = nullptr;
};

// A text of the host's (null stays absent), or false when it is longer than
// the protocol carries.
bool HostText(const char* text, Text* out);

}  // namespace bridge
