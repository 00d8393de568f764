#pragma once
// Local files as the transfers name them: the host's 8-bit name read in the
// calling thread's code page, as the plugin hands it to the engine; two
// names compared as Windows compares file names (ordinal, letter case
// aside); and whether a program, an engine writing or reading it, holds a
// file open.

#include <windows.h>

#include <string>

// The host's 8-bit name, wide; empty when it is null or does not convert.
inline std::wstring WideLocalName(const char* name) {
    if (name == nullptr) return std::wstring();
    const int units = MultiByteToWideChar(CP_THREAD_ACP, 0, name, -1, nullptr, 0);
    if (units <= 0) return std::wstring();
    std::wstring wide(static_cast<std::size_t>(units), L'\0');
    if (MultiByteToWideChar(CP_THREAD_ACP, 0, name, -1, &wide[0], units) != units) return std::wstring();
    wide.resize(static_cast<std::size_t>(units - 1));
    return wide;
}

inline bool SameLocalFile(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()),
                                TRUE) == CSTR_EQUAL;
}

// Whether another handle holds the file open for its data: opening it
// without sharing is then refused. A file that is not there is not held.
inline bool LocalFileHeld(const std::wstring& name) {
    if (name.empty()) return false;
    const HANDLE file =
        CreateFileW(name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_SHARING_VIOLATION;
    CloseHandle(file);
    return false;
}
