#include "bridge/helper/inbox.h"

namespace helper {

Inbox::Inbox(HANDLE alive, char* ring, HANDLE arrived) : alive_(alive) { ring_.Attach(ring, arrived); }

bool Inbox::Start() {
    watcher_.Reset(CreateThread(nullptr, 0, &Inbox::Watch, this, 0, nullptr));
    return watcher_.Valid();
}

DWORD WINAPI Inbox::Watch(void* self) {
    const HANDLE alive = static_cast<Inbox*>(self)->alive_;
    char byte;
    DWORD read = 0;
    // The 64-bit side writes nothing here: a read returns only when the pipe
    // breaks, which is the 64-bit side's end; anything else is a fault.
    // Either way nobody is left to serve.
    const BOOL done = ReadFile(alive, &byte, 1, &read, nullptr);
    ExitProcess(!done && GetLastError() == ERROR_BROKEN_PIPE ? kExitModuleGone : kExitProtocolFault);
}

void Inbox::Collect() {
    if (!ring_.Arrived()) return;
    if (!ring_.Take(&frames_)) ExitProcess(kExitProtocolFault);
    std::string payload;
    bridge::FrameBuffer::Take taken;
    while ((taken = frames_.Next(&payload)) == bridge::FrameBuffer::Take::Frame) {
        payloads_.push_back(std::move(payload));
    }
    if (taken == bridge::FrameBuffer::Take::Fault) ExitProcess(kExitProtocolFault);  // oversized
}

bool Inbox::Take(std::string* payload) {
    Collect();
    if (payloads_.empty()) return false;
    *payload = std::move(payloads_.front());
    payloads_.pop_front();
    return true;
}

bool Inbox::Waiting() {
    Collect();
    return !payloads_.empty();
}

bool Inbox::Peek(bridge::Message* message) {
    Collect();
    if (payloads_.empty()) return false;
    *message = Decoded(payloads_.front());
    return true;
}

bridge::Message Inbox::Next() {
    HANDLE arrived = ring_.Event();
    std::string payload;
    while (!Take(&payload)) {
        if (ring_.SpinThenSleep()) continue;
        const DWORD woke = MsgWaitForMultipleObjectsEx(1, &arrived, INFINITE, QS_ALLINPUT,
                                                       MWMO_INPUTAVAILABLE);
        ring_.Awake();
        if (woke == WAIT_OBJECT_0) continue;
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    return Decoded(payload);
}

bridge::Message Inbox::Decoded(const std::string& payload) {
    bridge::Message message;
    if (!bridge::DecodePayload(payload, bridge::Sender::Host, &message)) ExitProcess(kExitProtocolFault);
    return message;
}

}  // namespace helper
