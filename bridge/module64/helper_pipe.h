#pragma once
// The pipe on which corvanel.wfx64 hears from its helper: a named pipe whose
// only instance the module connects to itself before the helper inherits that
// end, read overlapped, so that a wait for the helper's next message can end
// after a time while the helper stays silent (an anonymous pipe only blocks).

#include <windows.h>

#include <string>
#include <vector>

#include "bridge/protocol.h"
#include "common/unique_handle.h"

namespace bridge {

class HelperPipe {
public:
    HelperPipe() = default;
    ~HelperPipe() { Reset(); }
    HelperPipe(const HelperPipe&) = delete;
    HelperPipe& operator=(const HelperPipe&) = delete;

    // A new pipe; `helperEnd` receives its write end, for the helper to
    // inherit. False when it cannot be made.
    bool Create(UniqueHandle* helperEnd);
    // Cancels a read in progress, waits until the system has let go of its
    // buffer, and closes the pipe.
    void Reset();

    enum class Wait { Message, Quiet, Broken };
    // The helper's next message, waiting up to `ms` (INFINITE: no limit).
    // Quiet when no whole message arrived in that time: the bytes that did,
    // and the read in progress, are kept for the next call. Broken when the
    // pipe breaks (the helper has ended) or its bytes are not a message the
    // helper may send.
    Wait Receive(Message* message, DWORD ms);

private:
    UniqueHandle pipe_;
    UniqueHandle readDone_;
    OVERLAPPED overlapped_{};
    bool reading_ = false;           // a read into buffer_ is in progress
    std::vector<char> buffer_;
    FrameBuffer frames_;             // bytes of frames not yet taken
};

}  // namespace bridge
