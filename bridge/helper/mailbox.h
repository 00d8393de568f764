#pragma once
// The helper's inbox. A reader thread reads the pipe from the 64-bit side and
// hands over one message at a time; the main thread waits for it while
// dispatching its window messages, as the file manager's own thread does, so
// an engine that delivers its events through the thread's apartment is still
// heard. When the pipe breaks (the 64-bit side has ended, or the file manager
// was killed) the reader ends the process at once, wherever the main thread is.

#include <windows.h>

#include <string>

#include "bridge/protocol.h"
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

private:
    static DWORD WINAPI ReadLoop(void* self);

    HANDLE pipe_;
    UniqueHandle filled_;   // set by the reader: payload_ holds a message
    UniqueHandle emptied_;  // set by the main thread: payload_ is taken
    UniqueHandle reader_;
    std::string payload_;
};

// Exit codes of a helper that ended because of its pipe.
constexpr UINT kExitPipeBroken = 0;
constexpr UINT kExitProtocolFault = 4;

}  // namespace helper
