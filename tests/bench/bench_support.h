#pragma once
// What the benchmark programs share: the clock, the median, the module's
// exports found as the host finds them, the timing of a listing through
// them and of FsInit, an engine's progress events, and running a measuring
// process of their own. Builds for both editions: the 64-bit benchmarks use
// it too.

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/wfx_api.h"

inline double NowMs() {
    static const double ticksPerMs = [] {
        LARGE_INTEGER frequency;
        QueryPerformanceFrequency(&frequency);
        return static_cast<double>(frequency.QuadPart) / 1000.0;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / ticksPerMs;
}

inline double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

inline double Ms(const FILETIME& time) {
    return static_cast<double>((static_cast<ULONGLONG>(time.dwHighDateTime) << 32) |
                               time.dwLowDateTime) / 10000.0;
}

// Kernel plus user time of the calling thread, in ms.
inline double ThreadCpuMs() {
    FILETIME created, exited, kernel, user;
    GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
    return Ms(kernel) + Ms(user);
}

inline const char* Verdict(bool met) { return met ? "met" : "NOT met"; }

// The module's exports, as the host finds them.
struct Module {
    HMODULE handle = nullptr;
    decltype(&FsInit) init = nullptr;
    decltype(&FsFindFirst) findFirst = nullptr;
    decltype(&FsFindNext) findNext = nullptr;
    decltype(&FsFindClose) findClose = nullptr;
    decltype(&FsGetFile) getFile = nullptr;
    decltype(&FsPutFile) putFile = nullptr;
    decltype(&FsRenMovFile) renMovFile = nullptr;
    decltype(&FsDeleteFile) deleteFile = nullptr;

    template <typename Function>
    void Find(Function& function, const char* name) {
        function = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(handle, name)));
    }
    bool Load(const std::string& path) {
        handle = LoadLibraryA(path.c_str());
        if (handle == nullptr) return false;
        Find(init, "FsInit");
        Find(findFirst, "FsFindFirst");
        Find(findNext, "FsFindNext");
        Find(findClose, "FsFindClose");
        Find(getFile, "FsGetFile");
        Find(putFile, "FsPutFile");
        Find(renMovFile, "FsRenMovFile");
        Find(deleteFile, "FsDeleteFile");
        return init != nullptr;
    }
    bool Lists() const { return findFirst != nullptr && findNext != nullptr && findClose != nullptr; }
    bool Transfers() const { return getFile != nullptr && putFile != nullptr; }
    bool Changes() const { return renMovFile != nullptr && deleteFile != nullptr; }
};

// One whole listing through a module's exports, as a host makes it:
// FsFindFirst, FsFindNext until FALSE, FsFindClose, each record handed to
// `visit`. Every benchmark that times a listing through the plugin times
// this.
struct Listed {
    long entries = -1;   // -1 when the listing failed
    double ms = 0;       // the whole listing
    double firstMs = 0;  // until the first entry was there
};

template <typename Visit>
Listed ListThroughExports(const Module& module, char* path, Visit&& visit) {
    WIN32_FIND_DATAA record;
    Listed listed;
    const double start = NowMs();
    const HANDLE handle = module.findFirst(path, &record);
    listed.firstMs = NowMs() - start;
    if (handle != INVALID_HANDLE_VALUE) {
        listed.entries = 0;
        do {
            ++listed.entries;
            visit(record);
        } while (module.findNext(handle, &record));
        module.findClose(handle);
    }
    listed.ms = NowMs() - start;
    return listed;
}

// FsInit as the host calls it: the first call's time and the median of
// `repeats` more, in ms. False when the first call fails.
struct InitTimes {
    double firstMs = 0;
    double againMs = 0;
};

inline bool TimeInit(const Module& module, tProgressProc progress, int repeats, InitTimes* times) {
    double start = NowMs();
    if (module.init(1, progress, nullptr, nullptr) != 0) return false;
    times->firstMs = NowMs() - start;
    std::vector<double> again;
    for (int i = 0; i < repeats; ++i) {
        start = NowMs();
        module.init(1, progress, nullptr, nullptr);
        again.push_back(NowMs() - start);
    }
    times->againMs = Median(again);
    return true;
}

// An engine's transfer as the engine's own thread makes it: `fire(percent)`
// every `periodMs` for `durationMs`, then the final 100. Returns the moment
// of that final event, in ms.
template <typename Fire>
double RaiseProgress(DWORD durationMs, DWORD periodMs, Fire&& fire) {
    const double start = NowMs();
    for (LONG percent = 1; NowMs() - start < durationMs; percent = percent % 99 + 1) {
        fire(percent);
        Sleep(periodMs);
    }
    const double finalEventMs = NowMs();
    fire(100);
    return finalEventMs;
}

inline std::string ThisProgram() {
    char self[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, self, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::string(self, length) : std::string();
}

// `name` in this program's folder.
inline std::string BesideThisProgram(const char* name) {
    const std::string self = ThisProgram();
    return self.substr(0, self.find_last_of('\\') + 1) + name;
}

// Runs `commandLine` with its standard output into `output`, waiting for it
// to end; false when it cannot start. The caller judges the output: a
// measuring process that failed prints no figures.
inline bool RunCapturingOutput(std::string commandLine, std::string* output) {
    SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 0)) return false;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION process{};
    const bool started = CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0,
                                        nullptr, nullptr, &startup, &process);
    CloseHandle(writeEnd);
    char buffer[256];
    DWORD read = 0;
    while (started && ReadFile(readEnd, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
        output->append(buffer, read);
    }
    CloseHandle(readEnd);
    if (!started) return false;
    WaitForSingleObject(process.hProcess, INFINITE);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}
