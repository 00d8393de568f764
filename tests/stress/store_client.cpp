// store_client.exe: the stateful fuzzer's second client (second_client.h).
// Serves one request at a time from its standard input: writes an object
// whole or deletes it, as another client of the store, and holds local files
// open as another program would; it answers each with the Windows error.
#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/stress/second_client.h"

namespace {

DWORD WriteObject(const std::wstring& file, const std::string& bytes) {
    HANDLE handle = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return GetLastError();
    DWORD written = 0;
    const bool whole = bytes.empty() ||
                       (WriteFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                        written == bytes.size());
    const DWORD error = whole ? ERROR_SUCCESS : GetLastError();
    CloseHandle(handle);
    return error;
}

}  // namespace

int main() {
    const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    std::vector<HANDLE> held;
    for (;;) {
        second_client::Header header{};
        if (!second_client::ReadAll(in, &header, sizeof(header))) break;
        std::wstring file(header.nameBytes / sizeof(wchar_t), L'\0');
        std::string data(header.dataBytes, '\0');
        if (!second_client::ReadAll(in, file.empty() ? nullptr : &file[0], header.nameBytes) ||
            !second_client::ReadAll(in, data.empty() ? nullptr : &data[0], header.dataBytes)) {
            break;
        }
        DWORD error = ERROR_SUCCESS;
        switch (static_cast<second_client::Request>(header.request)) {
        case second_client::Request::Quit: return 0;
        case second_client::Request::Write: error = WriteObject(file, data); break;
        case second_client::Request::Delete:
            if (!DeleteFileW(file.c_str())) error = GetLastError();
            break;
        case second_client::Request::Lock: {
            DWORD share = 0;
            if (data.size() == sizeof(share)) std::memcpy(&share, data.data(), sizeof(share));
            HANDLE handle = CreateFileW(file.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
            if (handle == INVALID_HANDLE_VALUE) error = GetLastError();
            else held.push_back(handle);
            break;
        }
        case second_client::Request::Unlock:
            for (HANDLE handle : held) CloseHandle(handle);
            held.clear();
            break;
        }
        DWORD written = 0;
        if (!WriteFile(out, &error, sizeof(error), &written, nullptr)) break;
    }
    return 0;
}
