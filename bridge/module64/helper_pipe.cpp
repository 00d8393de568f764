#include "bridge/module64/helper_pipe.h"

#include "bridge/channel.h"

namespace bridge {

namespace {

// What one read takes at most; a frame larger than that arrives in pieces.
constexpr DWORD kReadBytes = 64 * 1024;

// A name no other pipe has: this process, a count of its pipes, the time.
std::wstring UniquePipeName() {
    static LONG made = 0;
    return L"\\\\.\\pipe\\corvanel-helper-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(InterlockedIncrement(&made)) + L"-" + std::to_wstring(GetTickCount64());
}

}  // namespace

bool HelperPipe::Create(UniqueHandle* helperEnd) {
    Reset();
    const std::wstring name = UniquePipeName();
    // One instance, made new here: once this module has connected to it,
    // nobody else can.
    pipe_.Reset(CreateNamedPipeW(
        name.c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0, kReadBytes,
        0, nullptr));
    readDone_.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    UniqueHandle writeEnd;
    if (pipe_.Valid()) {
        writeEnd.Reset(CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    }
    if (!pipe_.Valid() || !readDone_.Valid() || !writeEnd.Valid()) {
        Reset();
        return false;
    }
    buffer_.resize(kReadBytes);
    *helperEnd = std::move(writeEnd);
    return true;
}

void HelperPipe::Reset() {
    if (reading_) {
        CancelIoEx(pipe_.Get(), &overlapped_);
        DWORD ignored = 0;
        GetOverlappedResult(pipe_.Get(), &overlapped_, &ignored, TRUE);
        reading_ = false;
    }
    pipe_.Reset();
    readDone_.Reset();
    frames_.Clear();
}

HelperPipe::Wait HelperPipe::Receive(Message* message, DWORD ms) {
    if (!pipe_.Valid()) return Wait::Broken;
    const ULONGLONG start = GetTickCount64();
    for (;;) {
        std::string payload;
        switch (frames_.Next(&payload)) {
        case FrameBuffer::Take::Frame:
            return DecodePayload(payload, Sender::Helper, message) ? Wait::Message : Wait::Broken;
        case FrameBuffer::Take::Fault: return Wait::Broken;
        case FrameBuffer::Take::Incomplete: break;
        }
        if (!reading_) {
            overlapped_ = OVERLAPPED{};
            overlapped_.hEvent = readDone_.Get();
            if (!ReadFile(pipe_.Get(), buffer_.data(), kReadBytes, nullptr, &overlapped_) &&
                GetLastError() != ERROR_IO_PENDING) {
                return Wait::Broken;
            }
            reading_ = true;
        }
        DWORD wait = INFINITE;
        if (ms != INFINITE) {
            const ULONGLONG waited = GetTickCount64() - start;
            wait = waited >= ms ? 0 : static_cast<DWORD>(ms - waited);
        }
        const DWORD woke = WaitForSingleObject(readDone_.Get(), wait);
        if (woke == WAIT_TIMEOUT) return Wait::Quiet;
        if (woke != WAIT_OBJECT_0) return Wait::Broken;  // the read stays in progress until Reset
        DWORD read = 0;
        const BOOL done = GetOverlappedResult(pipe_.Get(), &overlapped_, &read, FALSE);
        if (!done && GetLastError() == ERROR_IO_INCOMPLETE) return Wait::Broken;  // Reset cancels it
        reading_ = false;
        if (!done) return Wait::Broken;
        frames_.Append(buffer_.data(), read);
    }
}

}  // namespace bridge
