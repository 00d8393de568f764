#pragma once
// One direction of the bridge's byte stream: a ring in the shared section
// that one process writes and the other reads, with an auto-reset event that
// wakes a reader asleep. A reader that waits spins a little first, so that an
// answer that comes within a short call is taken without either process
// sleeping: under Wine every sleep and wake-up goes through the Wine server
// and costs a hundred microseconds or more, far more than a short call.
//
// Each side keeps its own count of the bytes it has moved and only publishes
// it; the count it reads from the other side is checked, as the other process
// can write anything into the section.

#include <windows.h>

#include <cstdint>

#include "bridge/protocol.h"

namespace bridge {

// The bytes one ring carries, a power of two: every message but a rare long
// one fits at once, and a longer one goes through in pieces.
constexpr std::uint32_t kRingBytes = 256 * 1024;

// The shared part of a ring: the counts on cache lines of their own, then
// the bytes.
struct RingControl {
    volatile LONG written;  // bytes written in all, by the writer
    char pad1[60];
    volatile LONG read;     // bytes taken in all, by the reader
    char pad2[60];
    volatile LONG sleeps;   // the reader waits on the event
    char pad3[60];
};
static_assert(sizeof(RingControl) == 192, "the same layout in the 32-bit and the 64-bit process");
constexpr std::uint32_t kRingSectionBytes = sizeof(RingControl) + kRingBytes;

class RingWriter {
public:
    // `ring` is kRingSectionBytes of the shared section, `wake` the reader's event.
    void Attach(char* ring, HANDLE wake);
    // Writes all of `bytes`. While the ring is full it waits for the reader,
    // looking every millisecond whether `peer` (a process handle, or null)
    // has ended. False when it has, or when the reader's count makes no sense.
    bool Write(const char* bytes, std::size_t size, HANDLE peer);

private:
    RingControl* control_ = nullptr;
    char* bytes_ = nullptr;
    HANDLE wake_ = nullptr;
    std::uint32_t written_ = 0;
};

class RingReader {
public:
    void Attach(char* ring, HANDLE wake);
    HANDLE Event() const { return wake_; }

    // Whether bytes wait to be taken; a read of the shared count only.
    bool Arrived() const;
    // Appends the bytes that wait to `frames`. False when the writer's count
    // makes no sense: the stream is then unusable.
    bool Take(FrameBuffer* frames);
    // Before a wait on Event(): spins for a short while, and returns true as
    // soon as bytes arrive. Otherwise marks the reader asleep and returns
    // false, unless bytes came meanwhile; the caller then waits on Event()
    // and calls Awake() after, however the wait ended.
    bool SpinThenSleep();
    void Awake();

private:
    RingControl* control_ = nullptr;
    const char* bytes_ = nullptr;
    HANDLE wake_ = nullptr;
    std::uint32_t read_ = 0;
};

}  // namespace bridge
