#include "bridge/module64/helper_inbox.h"

#include <string>

#include "bridge/channel.h"

namespace bridge {

void HelperInbox::Attach(char* ring, HANDLE arrived, HANDLE process) {
    ring_.Attach(ring, arrived);
    process_ = process;
    frames_.Clear();
}

void HelperInbox::Reset() {
    process_ = nullptr;
    frames_.Clear();
}

HelperInbox::Wait HelperInbox::Taken(Message* message) {
    std::string payload;
    switch (frames_.Next(&payload)) {
    case FrameBuffer::Take::Frame:
        return DecodePayload(payload, Sender::Helper, message) ? Wait::Message : Wait::Broken;
    case FrameBuffer::Take::Fault: return Wait::Broken;
    case FrameBuffer::Take::Incomplete: break;
    }
    return Wait::Quiet;
}

HelperInbox::Wait HelperInbox::Receive(Message* message, DWORD ms) {
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
        const HANDLE handles[] = {ring_.Event(), process_};
        const DWORD woke = WaitForMultipleObjects(2, handles, FALSE, wait);
        ring_.Awake();
        if (woke == WAIT_OBJECT_0 || woke == WAIT_TIMEOUT) continue;
        // The helper has ended: what it wrote before is all there is.
        if (!ring_.Take(&frames_)) return Wait::Broken;
        return Taken(message) == Wait::Message ? Wait::Message : Wait::Broken;
    }
}

}  // namespace bridge
