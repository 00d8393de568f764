#include "binding/bstr.h"

#include <new>

void UniqueBstr::Reset(BSTR owned) {
    if (bstr_ != nullptr && bstr_ != owned) SysFreeString(bstr_);
    bstr_ = owned;
}

UniqueBstr ToBstr(const char* text) {
    if (text == nullptr) return UniqueBstr();
    const int units = MultiByteToWideChar(CP_THREAD_ACP, 0, text, -1, nullptr, 0);
    if (units <= 0) return UniqueBstr();
    // `units` counts the terminator, which SysAllocStringLen adds itself.
    UniqueBstr result(SysAllocStringLen(nullptr, static_cast<UINT>(units - 1)));
    if (result.Get() == nullptr) throw std::bad_alloc();
    if (MultiByteToWideChar(CP_THREAD_ACP, 0, text, -1, result.Get(), units) != units) {
        return UniqueBstr();
    }
    return result;
}

std::string ToAnsi(const wchar_t* text) {
    if (text == nullptr) return std::string();
    const int bytes = WideCharToMultiByte(CP_THREAD_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 1) return std::string();
    std::string result(static_cast<std::size_t>(bytes), '\0');
    if (WideCharToMultiByte(CP_THREAD_ACP, 0, text, -1, &result[0], bytes, nullptr, nullptr) !=
        bytes) {
        return std::string();
    }
    result.resize(static_cast<std::size_t>(bytes - 1));  // drop the terminator
    return result;
}

int ToAnsiInto(const wchar_t* text, char* buffer, int bufferSize) {
    if (bufferSize <= 0) return 0;
    buffer[0] = '\0';
    if (text == nullptr) return 0;
    // Fails with ERROR_INSUFFICIENT_BUFFER rather than cutting the text; the
    // buffer may then hold a partial text, so it is emptied again.
    const int written =
        WideCharToMultiByte(CP_THREAD_ACP, 0, text, -1, buffer, bufferSize, nullptr, nullptr);
    if (written <= 0) buffer[0] = '\0';
    return written > 0 ? written : 0;
}
