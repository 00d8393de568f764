#include "bridge/helper/mailbox.h"

#include "bridge/channel.h"

namespace helper {

Mailbox::Mailbox(HANDLE pipe)
    : pipe_(pipe),
      filled_(CreateEventW(nullptr, FALSE, FALSE, nullptr)),
      emptied_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

bool Mailbox::Start() {
    if (!filled_.Valid() || !emptied_.Valid()) return false;
    reader_.Reset(CreateThread(nullptr, 0, &Mailbox::ReadLoop, this, 0, nullptr));
    return reader_.Valid();
}

DWORD WINAPI Mailbox::ReadLoop(void* self) {
    Mailbox& box = *static_cast<Mailbox*>(self);
    for (;;) {
        std::string payload;
        if (!bridge::ReceivePayload(box.pipe_, &payload)) {
            // A broken pipe is the 64-bit side's end; an oversized frame is a
            // fault. Either way nobody is left to serve.
            ExitProcess(GetLastError() == ERROR_BROKEN_PIPE ? kExitPipeBroken : kExitProtocolFault);
        }
        box.payload_.swap(payload);
        SetEvent(box.filled_.Get());
        WaitForSingleObject(box.emptied_.Get(), INFINITE);
    }
}

bridge::Message Mailbox::Next() {
    HANDLE filled = filled_.Get();
    for (;;) {
        const DWORD woke = MsgWaitForMultipleObjectsEx(1, &filled, INFINITE, QS_ALLINPUT,
                                                       MWMO_INPUTAVAILABLE);
        if (woke == WAIT_OBJECT_0) break;
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    bridge::Message message;
    const bool decoded = bridge::DecodePayload(payload_, bridge::Sender::Host, &message);
    payload_.clear();
    SetEvent(emptied_.Get());
    if (!decoded) ExitProcess(kExitProtocolFault);
    return message;
}

}  // namespace helper
