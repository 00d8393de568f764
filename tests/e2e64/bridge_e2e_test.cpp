// What corvanel.wfx64 adds to the plugin, seen from a 64-bit host: an engine
// that crashes ends only the helper process, the call answers its failure
// value and the next call works in a new helper; no helper outlives its host;
// and a long session leaves neither process with more handles or memory.
#include <gtest/gtest.h>
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"
#include "tests/support/thread_locale.h"

namespace {

constexpr char kCrashVariable[] = "CORVANEL_CRASH_NAME";

// The helpers that `parent` started and that are still running.
std::vector<DWORD> HelpersOf(DWORD parent) {
    std::vector<DWORD> helpers;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return helpers;
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
        if (entry.th32ParentProcessID == parent && _stricmp(entry.szExeFile, "corvanel_helper.exe") == 0) {
            helpers.push_back(entry.th32ProcessID);
        }
    }
    CloseHandle(snapshot);
    return helpers;
}

// Waits up to five seconds for `parent` to have no helper left.
bool HelpersGone(DWORD parent) {
    for (int tries = 0; tries < 100; ++tries) {
        if (HelpersOf(parent).empty()) return true;
        Sleep(50);
    }
    return false;
}

struct Usage {
    DWORD handles = 0;
    SIZE_T commit = 0;
};

// The handles `pid` holds, from the system's handle table: Wine answers
// GetProcessHandleCount with 0.
DWORD HandlesOf(DWORD pid) {
    std::vector<char> buffer(1 << 20);
    ULONG needed = 0;
    NTSTATUS status;
    while ((status = NtQuerySystemInformation(SystemHandleInformation, buffer.data(),
                                              static_cast<ULONG>(buffer.size()), &needed)) ==
           static_cast<NTSTATUS>(0xC0000004L)) {  // STATUS_INFO_LENGTH_MISMATCH
        buffer.resize(buffer.size() * 2);
    }
    if (status < 0) return 0;
    const auto* table = reinterpret_cast<const SYSTEM_HANDLE_INFORMATION*>(buffer.data());
    DWORD count = 0;
    for (ULONG at = 0; at < table->Count; ++at) count += table->Handle[at].OwnerPid == pid;
    return count;
}

Usage UsageOf(HANDLE process) {
    Usage usage;
    usage.handles = HandlesOf(GetProcessId(process));
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    if (GetProcessMemoryInfo(process, &counters, sizeof(counters))) usage.commit = counters.PagefileUsage;
    return usage;
}

class BridgeE2eTest : public PluginE2eTest {
protected:
    void TearDown() override {
        SetEnvironmentVariableA(kCrashVariable, nullptr);
        PluginE2eTest::TearDown();
    }
    // The engine of a new helper ends its process when it reaches `name`.
    void CrashAt(const char* name) {
        SetEnvironmentVariableA(kCrashVariable, name);
        Restart();
        SetEnvironmentVariableA(kCrashVariable, nullptr);  // not for the helper after it
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
        if (Fs().FsFindFirst(Text(text), &record) == INVALID_HANDLE_VALUE) return names;
        do names.push_back(record.cFileName);
        while (Fs().FsFindNext(nullptr, &record));
        return names;
    }
};

TEST_F(BridgeE2eTest, CallsAnswerAsInTheHostsOwnProcess) {
    MakeStore({{"work\\photos\\a.jpg", "A"}, {"work\\empty\\", ""}});
    // Texts in the host thread's code page: the helper's thread takes the locale.
    const std::string folder = Store("work\\photos\\");
    const std::wstring japanese = std::wstring(folder.begin(), folder.end()) + L"\x65e5\x672c.txt";
    CloseHandle(CreateFileW(japanese.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    EXPECT_EQ((std::vector<std::string>{"a.jpg", "??.txt"}), List("\\work\\photos"));
    {
        ThreadLocale locale(JapaneseLocale());
        EXPECT_EQ((std::vector<std::string>{"a.jpg", "\x93\xfa\x96\x7b.txt"}), List("\\work\\photos"));
    }
    // Last errors land on the host's thread.
    std::string empty = "\\work\\empty", overlong = "\\work\\" + std::string(300, 'b');
    WIN32_FIND_DATAA record;
    SetLastError(12345);
    EXPECT_EQ(INVALID_HANDLE_VALUE, Fs().FsFindFirst(Text(empty), &record));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_MORE_FILES), GetLastError());
    EXPECT_EQ(INVALID_HANDLE_VALUE, Fs().FsFindFirst(Text(overlong), &record));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE), GetLastError());
    // Null pointers stay null, and what the plugin leaves alone stays as it was.
    std::memset(&record, 0xAB, sizeof(record));
    const WIN32_FIND_DATAA untouched = record;
    EXPECT_EQ(INVALID_HANDLE_VALUE, Fs().FsFindFirst(nullptr, &record));
    EXPECT_EQ(0, std::memcmp(&untouched, &record, sizeof(record)));
    EXPECT_FALSE(Fs().FsFindNext(nullptr, nullptr));
    std::string remote = "\\work\\photos\\a.jpg";
    EXPECT_EQ(FS_FILE_READERROR, Fs().FsGetFile(Text(remote), nullptr, 0, nullptr));
    char name[16];
    std::memset(name, 'x', sizeof(name));
    Fs().FsGetDefRootName(name, 4);
    EXPECT_EQ(std::string("Cor\0xxxxxxxxxxxx", 16), std::string(name, 16));
}

TEST_F(BridgeE2eTest, AnEngineCrashDuringATransferFailsThatCallOnly) {
    MakeStore({{"work\\photos\\crash.bin", std::string(3 << 20, 'c')},
               {"work\\photos\\a.jpg", "A"}});
    CrashAt("crash.bin");
    const std::vector<DWORD> crashing = HelpersOf(GetCurrentProcessId());
    ASSERT_EQ(1u, crashing.size());

    EXPECT_EQ(FS_FILE_READERROR, Get("\\work\\photos\\crash.bin", Local("crash.bin")));
    EXPECT_FALSE(Reports().empty()) << "the transfer started before the engine ended";
    EXPECT_TRUE(HelpersGone(GetCurrentProcessId()));

    // A new helper, with FsInit repeated, serves the next call.
    EXPECT_EQ(FS_FILE_OK, Get("\\work\\photos\\a.jpg", Local("a.jpg")));
    EXPECT_EQ("A", ReadBytes(Local("a.jpg")));
    const std::vector<DWORD> serving = HelpersOf(GetCurrentProcessId());
    ASSERT_EQ(1u, serving.size());
    EXPECT_NE(crashing.front(), serving.front());
}

TEST_F(BridgeE2eTest, AnEngineCrashDuringAListingEndsItAndTheNextListingIsWhole) {
    MakeStore({{"work\\photos\\a.jpg", "A"}, {"work\\photos\\b.jpg", "B"},
               {"work\\photos\\crash.jpg", "C"}, {"work\\photos\\d.jpg", "D"}});
    CrashAt("crash.jpg");
    std::string path = "\\work\\photos";
    WIN32_FIND_DATAA record;
    ASSERT_NE(INVALID_HANDLE_VALUE, Fs().FsFindFirst(Text(path), &record));
    int delivered = 1;
    while (Fs().FsFindNext(nullptr, &record)) ++delivered;
    EXPECT_LT(delivered, 4) << "the engine ended before the listing did";
    EXPECT_TRUE(HelpersGone(GetCurrentProcessId()));

    EXPECT_EQ((std::vector<std::string>{"a.jpg", "b.jpg", "crash.jpg", "d.jpg"}), List(path));
}

TEST_F(BridgeE2eTest, FsInitFailsWithoutAWorkingHelperAndLeavesNothingBehind) {
    // Copies of the module in folders of their own: each loads as a module of
    // its own, with its own link, beside a helper that is missing or that
    // finds no plugin to run.
    struct Setup {
        const char* what;
        std::vector<const char*> beside;
    };
    const Setup setups[] = {{"no helper", {}}, {"a helper without the plugin", {"corvanel_helper.exe"}}};
    for (const Setup& setup : setups) {
        SCOPED_TRACE(setup.what);
        const std::string folder = Local(setup.what);
        ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
        for (const char* name : setup.beside) {
            ASSERT_TRUE(CopyFileA(BesideTestProgram(name).c_str(), (folder + "\\" + name).c_str(), TRUE));
        }
        const std::string module = folder + "\\" + kPluginModule;
        ASSERT_TRUE(CopyFileA(BesideTestProgram(kPluginModule).c_str(), module.c_str(), TRUE));
        WfxModule copy;
        std::string error;
        ASSERT_TRUE(copy.Load(module, &error)) << error;
        const std::vector<DWORD> helpersBefore = HelpersOf(GetCurrentProcessId());
        // The first failure may leave the system's own lazily opened handles;
        // failures after it must add none.
        EXPECT_EQ(-1, copy.Fs().FsInit(3, nullptr, nullptr, nullptr));
        const DWORD handlesBefore = HandlesOf(GetCurrentProcessId());
        for (int again = 0; again < 3; ++again) EXPECT_EQ(-1, copy.Fs().FsInit(3, nullptr, nullptr, nullptr));
        EXPECT_EQ(helpersBefore, HelpersOf(GetCurrentProcessId()));
        EXPECT_EQ(handlesBefore, HandlesOf(GetCurrentProcessId()));
    }
}

TEST_F(BridgeE2eTest, NoHelperOutlivesItsHostWhetherItExitsOrIsKilled) {
    MakeStore(kSampleStore);
    for (const bool kill : {false, true}) {
        SCOPED_TRACE(kill ? "host killed" : "host exits");
        // The host reads its commands from a pipe that stays open, so it
        // waits for more after "ls" until it is killed or the pipe closes.
        SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
        HANDLE commandsRead = nullptr, commandsWrite = nullptr;
        ASSERT_TRUE(CreatePipe(&commandsRead, &commandsWrite, &inherit, 0));
        SetHandleInformation(commandsWrite, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOA startup = {};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = commandsRead;
        startup.hStdOutput = startup.hStdError = GetStdHandle(STD_OUTPUT_HANDLE);
        std::string command = "\"" + BesideTestProgram(kHostProgram) + "\" --script -";
        PROCESS_INFORMATION host = {};
        ASSERT_TRUE(CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr,
                                   nullptr, &startup, &host));
        CloseHandle(commandsRead);
        DWORD written = 0;
        WriteFile(commandsWrite, "ls\r\n", 4, &written, nullptr);
        // The helper starts with the host's FsInit.
        for (int tries = 0; tries < 200 && HelpersOf(host.dwProcessId).empty(); ++tries) Sleep(25);
        EXPECT_EQ(1u, HelpersOf(host.dwProcessId).size());
        if (kill) TerminateProcess(host.hProcess, 9);
        CloseHandle(commandsWrite);  // the script ends
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(host.hProcess, 10000));
        EXPECT_TRUE(HelpersGone(host.dwProcessId));
        CloseHandle(host.hThread);
        CloseHandle(host.hProcess);
    }
}

TEST_F(BridgeE2eTest, ALongSessionLeavesNeitherProcessGrowing) {
    MakeStore({{"work\\photos\\a.jpg", std::string(1024, 'a')}, {"work\\photos\\b.jpg", "B"}});
    WriteBytes(Local("up.bin"), std::string(1024, 'u'));
    const std::vector<DWORD> helpers = HelpersOf(GetCurrentProcessId());
    ASSERT_EQ(1u, helpers.size());
    HANDLE helper = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, helpers.front());
    ASSERT_NE(nullptr, helper);
    // Each round: a listing of three calls, a directory made and removed,
    // an object deleted that is not there, and one transfer; 10 calls.
    auto round = [&](int at) {
        List("\\work\\photos");
        std::string folder = "\\work\\photos\\f";
        Fs().FsMkDir(Text(folder));
        Fs().FsRemoveDir(Text(folder));
        std::string missing = "\\work\\photos\\missing";
        Fs().FsDeleteFile(Text(missing));
        std::string root = "\\", verb = "chmod 644";
        Fs().FsExecuteFile(nullptr, Text(root), Text(verb));
        char name[16];
        Fs().FsGetDefRootName(name, sizeof(name));
        Reports().clear();
        return at % 2 == 0 ? Get("\\work\\photos\\a.jpg", Local("a.jpg"))
                           : Put(Local("up.bin"), "\\work\\photos\\up.bin");
    };
    for (int at = 0; at < 50; ++at) ASSERT_EQ(FS_FILE_OK, round(at));  // warm-up
    const Usage hostBefore = UsageOf(GetCurrentProcess()), helperBefore = UsageOf(helper);
    for (int at = 0; at < 1000; ++at) ASSERT_EQ(FS_FILE_OK, round(at)) << "round " << at;
    const Usage hostAfter = UsageOf(GetCurrentProcess()), helperAfter = UsageOf(helper);
    ASSERT_GT(hostBefore.handles, 0u) << "handles cannot be counted here";
    ASSERT_GT(helperBefore.handles, 0u) << "handles cannot be counted here";
    std::printf("after 10,000 calls and 1,000 transfers: host handles %lu -> %lu, commit %zu -> %zu"
                " KiB; helper handles %lu -> %lu, commit %zu -> %zu KiB\n",
                hostBefore.handles, hostAfter.handles, hostBefore.commit / 1024,
                hostAfter.commit / 1024, helperBefore.handles, helperAfter.handles,
                helperBefore.commit / 1024, helperAfter.commit / 1024);
    EXPECT_LE(hostAfter.handles, hostBefore.handles + 2);
    EXPECT_LE(helperAfter.handles, helperBefore.handles + 2);
    EXPECT_LE(hostAfter.commit, hostBefore.commit + 256 * 1024);
    EXPECT_LE(helperAfter.commit, helperBefore.commit + 256 * 1024);
    EXPECT_EQ(helpers, HelpersOf(GetCurrentProcessId())) << "one helper served the whole session";
    CloseHandle(helper);
}

}  // namespace
