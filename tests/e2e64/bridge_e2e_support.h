#pragma once
// The 64-bit end-to-end tests' fixture: the plugin through corvanel.wfx64,
// with the engine of a new helper told to crash or stall at a name, and
// the helpers that the test process started counted.

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "common/timing.h"
#include "tests/e2e/e2e_support.h"
#include "tests/support/process_usage.h"

inline constexpr char kCrashVariable[] = "CORVANEL_CRASH_NAME";
inline constexpr char kStallVariable[] = "CORVANEL_STALL_NAME";
inline constexpr char kThrottleVariable[] = "CORVANEL_THROTTLE_MS";

// What a busy machine may add to a bound before the call has returned, and
// how early a wait measured by the tick count may seem to end.
inline constexpr ULONGLONG kSlackMs = 5000;
inline constexpr ULONGLONG kEarlyMs = 100;

// Waits up to 30 seconds for `parent` to have no helper left. A helper ends
// within a fraction of a second; the bound is there to tell a helper that
// stays from one that a busy machine ends slowly (once over 5 s in a loaded
// run).
inline bool HelpersGone(DWORD parent) {
    for (int tries = 0; tries < 600; ++tries) {
        if (HelpersOf(parent).empty()) return true;
        Sleep(50);
    }
    return false;
}

// `count` empty files in `folder`, named by number. Under Wine through the
// folder's Unix path: by a Windows path Wine looks through the folder for the
// name in every case before it makes a file, which for 10,000 names takes
// minutes.
inline void MakeEmptyFiles(const std::string& folder, int count) {
    std::wstring base(folder.begin(), folder.end());
    using UnixName = char*(CDECL*)(const wchar_t*);
    const auto unixName = reinterpret_cast<UnixName>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleA("kernel32"), "wine_get_unix_file_name")));
    if (char* unixPath = unixName != nullptr ? unixName(base.c_str()) : nullptr) {
        base = L"\\\\?\\unix" + std::wstring(unixPath, unixPath + std::strlen(unixPath));
        std::replace(base.begin(), base.end(), L'/', L'\\');
        HeapFree(GetProcessHeap(), 0, unixPath);
    }
    for (int at = 0; at < count; ++at) {
        const std::wstring name = base + L"\\" + std::to_wstring(at);
        CloseHandle(CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    }
}

// Ends every helper the test process started, by its process id, and waits
// for each to be gone: a helper that dies under a call.
inline void EndHelpers() {
    for (const DWORD id : HelpersOf(GetCurrentProcessId())) {
        const HANDLE helper = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id);
        if (helper == nullptr) continue;
        TerminateProcess(helper, 9);
        WaitForSingleObject(helper, 10000);
        CloseHandle(helper);
    }
}

// A host's progress callback that the test scripts, for hosts that call the
// plugin from inside it: each call is recorded with how deep it lies in the
// same thread's calls of it (0: the outermost) and answered by `script` (0
// when there is none). Threads may call it at once.
struct HostReport {
    DWORD thread;
    int depth;
    std::string source, target;
    int percent;
};
class ScriptedHost {
public:
    static ScriptedHost& Instance() {
        static ScriptedHost host;
        return host;
    }
    static int __stdcall Progress(int, char* source, char* target, int percent) {
        static thread_local int depth = 0;
        ScriptedHost& host = Instance();
        const HostReport report{GetCurrentThreadId(), depth, source != nullptr ? source : "(null)",
                                target != nullptr ? target : "(null)", percent};
        AcquireSRWLockExclusive(&host.lock_);
        host.reports_.push_back(report);
        ReleaseSRWLockExclusive(&host.lock_);
        ++depth;
        const int answer = host.script ? host.script(report) : 0;
        --depth;
        return answer;
    }
    // The reports so far, a copy.
    std::vector<HostReport> Reports() {
        AcquireSRWLockShared(&lock_);
        std::vector<HostReport> copy = reports_;
        ReleaseSRWLockShared(&lock_);
        return copy;
    }
    void Reset(std::function<int(const HostReport&)> newScript) {
        script = std::move(newScript);
        AcquireSRWLockExclusive(&lock_);
        reports_.clear();
        ReleaseSRWLockExclusive(&lock_);
    }
    std::function<int(const HostReport&)> script;

private:
    SRWLOCK lock_ = SRWLOCK_INIT;
    std::vector<HostReport> reports_;
};

class BridgeE2eTest : public PluginE2eTest {
protected:
    void TearDown() override {
        for (const char* variable : {kCrashVariable, kStallVariable, kThrottleVariable}) {
            SetEnvironmentVariableA(variable, nullptr);
        }
        ScriptedHost::Instance().Reset(nullptr);
        PluginE2eTest::TearDown();
    }
    // A new helper whose engine sees `variable` set to `value`; the helper
    // after it does not. `request` and `progress` are the host's callbacks.
    void RestartWith(const char* variable, const char* value, tRequestProc request = nullptr,
                     tProgressProc progress = nullptr) {
        SetEnvironmentVariableA(variable, value);
        Restart(request, progress);
        SetEnvironmentVariableA(variable, nullptr);
    }
    // A new helper whose engine copies a chunk every `throttleMs`, with the
    // scripted host's progress callback answered by `script`.
    void RestartScripted(const char* throttleMs, std::function<int(const HostReport&)> script,
                         tRequestProc request = nullptr) {
        ScriptedHost::Instance().Reset(std::move(script));
        RestartWith(kThrottleVariable, throttleMs, request, &ScriptedHost::Progress);
    }
    // The engine of a new helper ends its process when it reaches `name`.
    void CrashAt(const char* name) { RestartWith(kCrashVariable, name); }
    // The host was asked a second after the helper's last word, at
    // `quietSince`, and the export returned soon after the answer, the helper
    // ended. The upper bounds leave a busy machine seconds: they tell the
    // second from the 10 s after which the user is asked, and the end at the
    // host's word from the 5 s a helper is given to leave by itself.
    void ExpectStoppedInTime(ULONGLONG quietSince, ULONGLONG returned) {
        ASSERT_FALSE(Reports().empty());
        const ULONGLONG asked = Reports().back().tick;
        EXPECT_GE(asked, quietSince + kQuietMs - kEarlyMs) << "asked before the helper was silent for a second";
        EXPECT_LE(asked, quietSince + kQuietMs + kSlackMs);
        EXPECT_LE(returned, asked + 4000);
        EXPECT_TRUE(HelpersOf(GetCurrentProcessId()).empty());
    }
    int Get(const std::string& remote, const std::string& local) {
        std::string remoteText = remote, localText = local;
        RemoteInfoStruct info = {};
        return Fs().FsGetFile(Text(remoteText), Text(localText), FS_COPYFLAGS_OVERWRITE, &info);
    }
    int Put(const std::string& local, const std::string& remote) {
        std::string localText = local, remoteText = remote;
        return Fs().FsPutFile(Text(localText), Text(remoteText), FS_COPYFLAGS_OVERWRITE);
    }
    std::vector<std::string> List(const std::string& path) {
        std::string text = path;
        std::vector<std::string> names;
        WIN32_FIND_DATAA record;
        const HANDLE listing = Fs().FsFindFirst(Text(text), &record);
        if (listing == INVALID_HANDLE_VALUE) return names;
        do names.push_back(record.cFileName);
        while (Fs().FsFindNext(listing, &record));
        Fs().FsFindClose(listing);
        return names;
    }
};
