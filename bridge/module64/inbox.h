#pragma once
// Where corvanel.wfx64 hears from its helper: the ring that carries the
// helper's messages, read with a bound on the wait, so that a wait for the
// helper's next message can end after a time while the helper stays silent,
// and ended by the helper's process ending.

#include <windows.h>

#include "bridge/protocol.h"
#include "bridge/ring.h"

namespace bridge {

class Inbox {
public:
    // `ring` and `arrived`: the helper's ring and the event that wakes its
    // reader; `process`: the helper's process. All stay the caller's.
    void Attach(char* ring, HANDLE arrived, HANDLE process);
    // Forgets the bytes of a helper that has gone.
    void Reset();

    enum class Wait { Message, Quiet, Broken };
    // The helper's next message, waiting up to `ms` (INFINITE: no limit).
    // Quiet when no whole message arrived in that time: the bytes that did
    // are kept for the next call. Broken when the helper's process has ended
    // and left no whole message, or its bytes are not a message the helper
    // may send.
    Wait Receive(Message* message, DWORD ms);

private:
    // The next whole message among the bytes taken: Quiet when there is none.
    Wait Taken(Message* message);

    RingReader ring_;
    HANDLE process_ = nullptr;
    FrameBuffer frames_;  // bytes of frames not yet taken
};

}  // namespace bridge
