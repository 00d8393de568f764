#pragma once
// Switches the calling thread's locale, and with it CP_THREAD_ACP, for one
// scope, and restores the previous one on leaving it.

#include <windows.h>

class ThreadLocale {
public:
    explicit ThreadLocale(LCID locale) : saved_(GetThreadLocale()) { SetThreadLocale(locale); }
    ~ThreadLocale() { SetThreadLocale(saved_); }
    ThreadLocale(const ThreadLocale&) = delete;
    ThreadLocale& operator=(const ThreadLocale&) = delete;

private:
    LCID saved_;
};

inline LCID JapaneseLocale() {
    return MAKELCID(MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT), SORT_DEFAULT);
}

// The code page CP_THREAD_ACP stands for on this thread now.
inline UINT ThreadCodePage() {
    CPINFOEXA info{};
    GetCPInfoExA(CP_THREAD_ACP, 0, &info);
    return info.CodePage;
}
