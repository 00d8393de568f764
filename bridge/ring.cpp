#include "bridge/ring.h"

#include <algorithm>
#include <cstring>

namespace bridge {

namespace {

// How long a reader spins before it sleeps: longer than a short engine call
// (a deletion takes 30 to 90 microseconds on a local disk) and than the
// host's own work between two calls, short enough that a reader whose answer
// is far off costs next to nothing. A single processor never spins: the
// writer needs it.
constexpr LONGLONG kSpinMicroseconds = 1000;

LONG ReadShared(volatile LONG* count) { return InterlockedCompareExchange(count, 0, 0); }

bool SeveralProcessors() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors > 1;
}

LONGLONG Now() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

LONGLONG SpinTicks() {
    static const LONGLONG ticks = [] {
        if (!SeveralProcessors()) return 0LL;
        LARGE_INTEGER frequency;
        QueryPerformanceFrequency(&frequency);
        return frequency.QuadPart * kSpinMicroseconds / 1000000;
    }();
    return ticks;
}

}  // namespace

void RingWriter::Attach(char* ring, HANDLE wake) {
    control_ = reinterpret_cast<RingControl*>(ring);
    bytes_ = ring + sizeof(RingControl);
    wake_ = wake;
    written_ = 0;
}

bool RingWriter::Write(const char* bytes, std::size_t size, HANDLE peer) {
    while (size > 0) {
        const std::uint32_t used = written_ - static_cast<std::uint32_t>(ReadShared(&control_->read));
        if (used > kRingBytes) return false;
        if (used == kRingBytes) {
            // Full: the reader is busy elsewhere and takes the bytes when it is back.
            if (peer != nullptr && WaitForSingleObject(peer, 1) != WAIT_TIMEOUT) return false;
            if (peer == nullptr) Sleep(1);
            continue;
        }
        const std::uint32_t at = written_ % kRingBytes;
        const std::uint32_t count =
            static_cast<std::uint32_t>(std::min<std::size_t>({size, kRingBytes - used, kRingBytes - at}));
        std::memcpy(bytes_ + at, bytes, count);
        written_ += count;
        bytes += count;
        size -= count;
        // A full barrier: the bytes are in place before the count says so,
        // and the reader's sleep is seen after it (the reader marks itself
        // asleep before it looks at the count a last time).
        InterlockedExchange(&control_->written, static_cast<LONG>(written_));
        if (ReadShared(&control_->sleeps) != 0) SetEvent(wake_);
    }
    return true;
}

void RingReader::Attach(char* ring, HANDLE wake) {
    control_ = reinterpret_cast<RingControl*>(ring);
    bytes_ = ring + sizeof(RingControl);
    wake_ = wake;
    read_ = 0;
}

bool RingReader::Arrived() const {
    return static_cast<std::uint32_t>(ReadShared(&control_->written)) != read_;
}

bool RingReader::Take(FrameBuffer* frames) {
    const std::uint32_t waiting = static_cast<std::uint32_t>(ReadShared(&control_->written)) - read_;
    if (waiting > kRingBytes) return false;
    if (waiting == 0) return true;
    const std::uint32_t at = read_ % kRingBytes;
    const std::uint32_t first = std::min(waiting, kRingBytes - at);
    frames->Append(bytes_ + at, first);
    frames->Append(bytes_, waiting - first);
    read_ += waiting;
    InterlockedExchange(&control_->read, static_cast<LONG>(read_));
    return true;
}

bool RingReader::SpinThenSleep() {
    const LONGLONG ticks = SpinTicks();
    if (ticks > 0) {
        const LONGLONG until = Now() + ticks;
        do {
            if (Arrived()) return true;
            SwitchToThread();  // lets another thread of this processor run meanwhile
        } while (Now() < until);
    }
    InterlockedExchange(&control_->sleeps, 1);
    if (!Arrived()) return false;
    Awake();
    return true;
}

void RingReader::Awake() { InterlockedExchange(&control_->sleeps, 0); }

}  // namespace bridge
