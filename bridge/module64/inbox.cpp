#include "bridge/module64/inbox.h"

#include <string>

#include "bridge/channel.h"

namespace bridge {

void Inbox::Attach(char* ring, HANDLE arrived, HANDLE process) {
    ring_.Attach(ring, arrived);
    process_ = process;
    frames_.Clear();
}

void Inbox::Reset() {
    process_ = nullptr;
    frames_.Clear();
}

Inbox::Wait Inbox::Taken(Message* message) {
    std::string payload;
    switch (frames_.Next(&payload)) {
    case FrameBuffer::Take::Frame:
        return DecodePayload(payload, Sender::Helper, message) ? Wait::Message : Wait::Broken;
    case FrameBuffer::Take::Fault: return Wait::Broken;
    case FrameBuffer::Take::Incomplete: break;
    }
    return Wait::Quiet;
}

Inbox::Wait Inbox::Receive(Message* message, DWORD ms) {
    if (process_ == nullptr) return Wait::Broken;
    const ULONGLONG start = GetTickCount64();
    for (;;) {
        if (!ring_.Take(&frames_)) return Wait::Broken;
        const Wait taken = Taken(message);
        if (taken != Wait::Quiet) return taken;
        DWORD wait = INFINITE;
        if (ms != INFINITE) {
            const ULONGLONG waited = GetTickCount64() - start;
            if (waited >= ms) return Wait::Quiet;
            wait = static_cast<DWORD>(ms - waited);
        }
        if (ring_.SpinThenSleep()) continue;
        // A host thread waits here: the messages other threads (or the
        // engine's windows, owned by the host's) send to its windows are
        // answered meanwhile.
        const HANDLE handles[] = {ring_.Event(), process_};
        const DWORD woke = MsgWaitForMultipleObjectsEx(2, handles, wait, QS_SENDMESSAGE, 0);
        ring_.Awake();
        if (woke == WAIT_OBJECT_0 + 2) {
            MSG sent;
            PeekMessageW(&sent, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
            continue;
        }
        if (woke == WAIT_OBJECT_0 || woke == WAIT_TIMEOUT) continue;
        // The helper has ended: what it wrote before is all there is.
        if (!ring_.Take(&frames_)) return Wait::Broken;
        return Taken(message) == Wait::Message ? Wait::Message : Wait::Broken;
    }
}

}  // namespace bridge
