#pragma once
// corvanel_helper.exe as corvanel.wfx64 runs it: started beside the module
// with exactly four handles of the module's inherited (the read end of a
// pipe the module holds open while the helper serves it, the section both
// map, and the events that wake each ring's reader), reached through the
// rings, watched for its end and for a window of its own, and ended. The
// helper ends by itself when the pipe breaks. Used by one thread at a time:
// the one that holds the floor (bridge/module64/floor.h).

#include <windows.h>

#include <cstdint>

#include "bridge/channel.h"
#include "bridge/module64/inbox.h"
#include "bridge/protocol.h"
#include "bridge/ring.h"
#include "common/unique_handle.h"

namespace bridge {

class HelperProcess {
public:
    HelperProcess() = default;
    // Closes the pipe, which ends the helper; it is not waited for, as this
    // runs while the module unloads. Its view of the section stays valid.
    ~HelperProcess();
    HelperProcess(const HelperProcess&) = delete;
    HelperProcess& operator=(const HelperProcess&) = delete;

    // Starts a new helper. False, leaving nothing behind, when it cannot be.
    bool Start();
    // Whether a helper was started and has not been ended since.
    bool Started() const { return process_.Valid(); }
    // Whether that helper's process still runs.
    bool Alive() const;
    // Ends it: `now` ends its process first; otherwise it is given
    // kHelperExitWaitMs to leave once the pipe is closed, and then ended.
    // Everything of it goes with it.
    void End(bool now);

    // Writes a message to it; false when it has gone.
    bool Send(const Message& message);
    // Its next message, waiting up to `ms` (Inbox::Receive).
    Inbox::Wait Receive(Message* message, DWORD ms) { return inbox_.Receive(message, ms); }
    // A listing batch's region of the shared section; null for no region.
    const char* Region(std::uint32_t index) const { return shared_.Region(index); }
    // Whether its process shows a window; a new one is brought to the front
    // once, so that a user who turns to the file manager is not pulled back.
    bool ShowsWindow();
    // A window it opens for a request (the engine's properties, a sign-in)
    // may come to the front: the host's process is the foreground one while
    // the user works in it.
    void MayComeToFront() const { AllowSetForegroundWindow(processId_); }

private:
    UniqueHandle process_;
    DWORD processId_ = 0;
    UniqueHandle alive_;  // the pipe the helper watches, held open while it serves
    SharedSection shared_;
    UniqueHandle toHelperArrived_, toModuleArrived_;  // wake each ring's reader
    RingWriter toHelper_;
    Inbox inbox_;
    HWND frontedWindow_ = nullptr;  // the helper's window last brought to the front
};

}  // namespace bridge
