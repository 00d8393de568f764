#pragma once
// The helper's inbox. A reader thread reads the pipe from the 64-bit side as
// its bytes arrive and queues each whole message; the main thread takes one
// at a time, waiting for it while dispatching its window messages, as the
// file manager's own thread does, so an engine that delivers its events
// through the thread's apartment is still heard. The reader is back at the
// pipe as soon as it has queued a message, so when the pipe breaks (the
// 64-bit side has ended, or the file manager was killed) it ends the process
// at once, wherever the main thread is.

#include <windows.h>

#include <deque>
#include <string>

#include "bridge/protocol.h"
#include "common/srw_lock.h"
#include "common/unique_handle.h"

namespace helper {

class Mailbox {
public:
    explicit Mailbox(HANDLE pipe);
    Mailbox(const Mailbox&) = delete;
    Mailbox& operator=(const Mailbox&) = delete;

    // Starts the reader thread. False when it cannot.
    bool Start();

    // The next message from the 64-bit side. A message that does not decode
    // ends the process: a peer that breaks the protocol is not served further.
    bridge::Message Next();
    // The next message if one has arrived, without waiting.
    bool TryNext(bridge::Message* message);
    // Whether a message has arrived and waits to be taken; a moment's view,
    // cheap enough to ask between two listing entries.
    bool Waiting() const { return InterlockedCompareExchange(&waiting_, 0, 0) != 0; }
    // A copy of the oldest waiting message, left in place; false when none
    // waits. Ends the process, as Next does, when it does not decode.
    bool Peek(bridge::Message* message);

private:
    static DWORD WINAPI ReadLoop(void* self);
    // The oldest queued payload, if there is one.
    bool Take(std::string* payload);
    static bridge::Message Decoded(const std::string& payload);

    HANDLE pipe_;
    UniqueHandle arrived_;  // set by the reader once it has queued a payload
    UniqueHandle reader_;
    SrwLock lock_;          // guards payloads_, shared by the two threads
    std::deque<std::string> payloads_;
    mutable volatile LONG waiting_ = 0;  // payloads_.size(), read without the lock
};

// Exit codes of a helper that ended because of its pipe.
constexpr UINT kExitPipeBroken = 0;
constexpr UINT kExitProtocolFault = 4;

}  // namespace helper
