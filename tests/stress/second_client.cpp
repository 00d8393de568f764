#include "tests/stress/second_client.h"

#include <cstring>

namespace {

bool WriteAll(HANDLE pipe, const void* bytes, DWORD size) {
    DWORD written = 0;
    return size == 0 || (WriteFile(pipe, bytes, size, &written, nullptr) && written == size);
}

// A pipe whose `inherited` end the client gets as a standard handle.
bool MakePipe(HANDLE* read, HANDLE* write, bool readInherited) {
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    if (!CreatePipe(read, write, &inherit, 0)) return false;
    SetHandleInformation(readInherited ? *write : *read, HANDLE_FLAG_INHERIT, 0);
    return true;
}

}  // namespace

SecondClient::SecondClient(const std::string& program) {
    HANDLE childIn = nullptr, childOut = nullptr;
    if (!MakePipe(&childIn, &toClient_, true)) return;
    if (!MakePipe(&fromClient_, &childOut, false)) {
        CloseHandle(childIn);
        return;
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = childIn;
    startup.hStdOutput = childOut;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION info{};
    std::string commandLine = "\"" + program + "\"";
    if (CreateProcessA(program.c_str(), &commandLine[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                       nullptr, &startup, &info)) {
        CloseHandle(info.hThread);
        process_ = info.hProcess;
    }
    CloseHandle(childIn);
    CloseHandle(childOut);
}

SecondClient::~SecondClient() {
    if (process_ != nullptr) {
        Ask(second_client::Request::Quit, std::wstring(), std::string());
        WaitForSingleObject(process_, 5000);
        CloseHandle(process_);
    }
    if (toClient_ != nullptr) CloseHandle(toClient_);
    if (fromClient_ != nullptr) CloseHandle(fromClient_);
}

DWORD SecondClient::Ask(second_client::Request request, const std::wstring& file, const std::string& data) {
    if (process_ == nullptr) return ERROR_NOT_READY;
    const second_client::Header header{static_cast<std::uint32_t>(request),
                                       static_cast<std::uint32_t>(file.size() * sizeof(wchar_t)),
                                       static_cast<std::uint32_t>(data.size())};
    DWORD reply = ERROR_BROKEN_PIPE;
    if (!WriteAll(toClient_, &header, sizeof(header)) || !WriteAll(toClient_, file.data(), header.nameBytes) ||
        !WriteAll(toClient_, data.data(), header.dataBytes) ||
        (request != second_client::Request::Quit && !second_client::ReadAll(fromClient_, &reply, sizeof(reply)))) {
        return ERROR_BROKEN_PIPE;
    }
    return reply;
}

bool SecondClient::Write(const std::wstring& file, const std::string& bytes) {
    return Ask(second_client::Request::Write, file, bytes) == ERROR_SUCCESS;
}

bool SecondClient::Delete(const std::wstring& file) {
    return Ask(second_client::Request::Delete, file, std::string()) == ERROR_SUCCESS;
}

bool SecondClient::Lock(const std::wstring& file, DWORD share) {
    std::string mode(sizeof(share), '\0');
    std::memcpy(&mode[0], &share, sizeof(share));
    return Ask(second_client::Request::Lock, file, mode) == ERROR_SUCCESS;
}

void SecondClient::Unlock() { Ask(second_client::Request::Unlock, std::wstring(), std::string()); }
