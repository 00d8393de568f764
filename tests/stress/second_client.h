#pragma once
// A second client of the store, in a process of its own (store_client.exe):
// it writes and deletes objects in the store's folders behind the plugin's
// back, and holds local files open as another program would, one request
// at a time over its pipes. The fuzzer says when: between the host's calls,
// or while the engine waits in a call (a pause of its fault plan).

#include <windows.h>

#include <cstdint>
#include <string>

namespace second_client {

enum class Request : std::uint32_t { Quit, Write, Delete, Lock, Unlock };

// The wire: a request is its kind, the file's name (UTF-16, its byte count
// first) and its data (byte count first: the bytes to write, or the share
// mode to lock with); the reply is the Windows error, 0 for done.
struct Header {
    std::uint32_t request;
    std::uint32_t nameBytes;
    std::uint32_t dataBytes;
};

// The whole of `size` bytes from a pipe; false when it broke first.
inline bool ReadAll(HANDLE pipe, void* bytes, DWORD size) {
    auto* at = static_cast<char*>(bytes);
    while (size > 0) {
        DWORD read = 0;
        if (!ReadFile(pipe, at, size, &read, nullptr) || read == 0) return false;
        at += read;
        size -= read;
    }
    return true;
}

}  // namespace second_client

class SecondClient {
public:
    // Starts `program`; Running() tells whether it did.
    explicit SecondClient(const std::string& program);
    ~SecondClient();
    SecondClient(const SecondClient&) = delete;
    SecondClient& operator=(const SecondClient&) = delete;

    bool Running() const { return process_ != nullptr; }

    // Each returns whether the client did it.
    bool Write(const std::wstring& file, const std::string& bytes);
    bool Delete(const std::wstring& file);
    // Holds `file` open for reading with `share`, until Unlock.
    bool Lock(const std::wstring& file, DWORD share);
    void Unlock();

private:
    DWORD Ask(second_client::Request request, const std::wstring& file, const std::string& data);

    HANDLE process_ = nullptr;
    HANDLE toClient_ = nullptr, fromClient_ = nullptr;
};
