#pragma once
// The helper's inbox: the ring that carries the 64-bit side's messages, read
// on the main thread, which waits for the next message while dispatching its
// window messages, as the file manager's own thread does, so an engine that
// delivers its events through the thread's apartment is still heard. A
// watcher thread sits on the pipe that the 64-bit side holds open and never
// writes: when it breaks (the 64-bit side has ended, or the file manager was
// killed) the watcher ends the process at once, wherever the main thread is.

#include <windows.h>

#include <deque>
#include <string>

#include "bridge/channel.h"
#include "bridge/protocol.h"
#include "bridge/ring.h"
#include "common/unique_handle.h"

namespace helper {

class Inbox {
public:
    // `alive`: the pipe's read end; `ring` and `arrived`: the ring that
    // carries the 64-bit side's messages and the event that wakes its reader.
    Inbox(HANDLE alive, char* ring, HANDLE arrived);
    Inbox(const Inbox&) = delete;
    Inbox& operator=(const Inbox&) = delete;

    // Starts the watcher thread. False when it cannot.
    bool Start();

    // The next message from the 64-bit side. A message that does not decode
    // ends the process: a peer that breaks the protocol is not served further.
    bridge::Message Next();
    // Whether a message has arrived and waits to be taken; cheap enough to
    // ask between two listing entries.
    bool Waiting();
    // A copy of the oldest waiting message, left in place; false when none
    // waits. Ends the process, as Next does, when it does not decode.
    bool Peek(bridge::Message* message);

private:
    static DWORD WINAPI Watch(void* self);
    // Moves the whole messages that have arrived into payloads_.
    void Collect();
    // The oldest payload that has arrived, if there is one.
    bool Take(std::string* payload);
    static bridge::Message Decoded(const std::string& payload);

    HANDLE alive_;
    bridge::RingReader ring_;
    bridge::FrameBuffer frames_;
    std::deque<std::string> payloads_;
    UniqueHandle watcher_;
};

// Exit codes of a helper that ended because the 64-bit side went (its pipe
// broke) or sent what it must not.
constexpr UINT kExitModuleGone = 0;
constexpr UINT kExitProtocolFault = 4;

}  // namespace helper
