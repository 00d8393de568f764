#include "bridge/helper/mailbox.h"

#include <vector>

#include "bridge/channel.h"

namespace helper {

namespace {

// What one read takes at most: every message but a rare long one arrives
// whole in one read, its length prefix with it.
constexpr DWORD kReadBytes = 64 * 1024;

}  // namespace

Mailbox::Mailbox(HANDLE pipe) : pipe_(pipe), arrived_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

bool Mailbox::Start() {
    if (!arrived_.Valid()) return false;
    reader_.Reset(CreateThread(nullptr, 0, &Mailbox::ReadLoop, this, 0, nullptr));
    return reader_.Valid();
}

DWORD WINAPI Mailbox::ReadLoop(void* self) {
    Mailbox& box = *static_cast<Mailbox*>(self);
    std::vector<char> buffer(kReadBytes);
    bridge::FrameBuffer frames;
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(box.pipe_, buffer.data(), kReadBytes, &read, nullptr) || read == 0) {
            // A broken pipe is the 64-bit side's end; anything else is a
            // fault. Either way nobody is left to serve.
            ExitProcess(GetLastError() == ERROR_BROKEN_PIPE ? kExitPipeBroken : kExitProtocolFault);
        }
        frames.Append(buffer.data(), read);
        std::string payload;
        bridge::FrameBuffer::Take taken;
        while ((taken = frames.Next(&payload)) == bridge::FrameBuffer::Take::Frame) {
            {
                SrwLock::Exclusive guard(box.lock_);
                box.payloads_.push_back(std::move(payload));
                InterlockedIncrement(&box.waiting_);
            }
            SetEvent(box.arrived_.Get());
        }
        if (taken == bridge::FrameBuffer::Take::Fault) ExitProcess(kExitProtocolFault);  // oversized
    }
}

bool Mailbox::Take(std::string* payload) {
    SrwLock::Exclusive guard(lock_);
    if (payloads_.empty()) return false;
    *payload = std::move(payloads_.front());
    payloads_.pop_front();
    InterlockedDecrement(&waiting_);
    return true;
}

bool Mailbox::Peek(bridge::Message* message) {
    std::string payload;
    {
        SrwLock::Exclusive guard(lock_);
        if (payloads_.empty()) return false;
        payload = payloads_.front();
    }
    *message = Decoded(payload);
    return true;
}

bridge::Message Mailbox::Next() {
    HANDLE arrived = arrived_.Get();
    std::string payload;
    while (!Take(&payload)) {
        const DWORD woke = MsgWaitForMultipleObjectsEx(1, &arrived, INFINITE, QS_ALLINPUT,
                                                       MWMO_INPUTAVAILABLE);
        if (woke == WAIT_OBJECT_0) continue;
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    return Decoded(payload);
}

bool Mailbox::TryNext(bridge::Message* message) {
    std::string payload;
    if (!Take(&payload)) return false;
    *message = Decoded(payload);
    return true;
}

bridge::Message Mailbox::Decoded(const std::string& payload) {
    bridge::Message message;
    if (!bridge::DecodePayload(payload, bridge::Sender::Host, &message)) ExitProcess(kExitProtocolFault);
    return message;
}

}  // namespace helper
