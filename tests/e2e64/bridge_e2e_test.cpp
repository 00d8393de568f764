// What corvanel.wfx64 adds to the plugin, seen from a 64-bit host: an engine
// that crashes ends only the helper process, the call answers its failure
// value and the next call works in a new helper; a transfer the host cancels,
// and an engine that stalls, end with the helper at the host's word; no
// helper outlives its host; and a long session leaves neither process with
// more handles or memory.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "tests/e2e64/bridge_e2e_support.h"
#include "tests/stress/fault_control.h"
#include "tests/support/thread_locale.h"
#include "tests/support/worker_thread.h"

// A host whose progress callback breaks the calling convention: it comes
// back with every register a callee must keep changed (rbx, rbp, rdi, rsi,
// r12 to r15, xmm6 to xmm15), and the control of MXCSR and of the x87 unit
// (rounding toward zero, single precision), as Double Commander's does with
// xmm6 under Wine when it processes window messages there. It uses the home
// space its caller gave it.
extern "C" int __stdcall ClobberingProgress(int, char*, char*, int);
asm(R"(
    .text
    .globl ClobberingProgress
ClobberingProgress:
    movabsq $0x0BADF00D7EEDBEEF, %rax
    .irp reg, rbx, rbp, rdi, rsi, r12, r13, r14, r15
    movq %rax, %\reg
    .endr
    .irp n, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15
    movq %rax, %xmm\n
    .endr
    movl $0x7F80, 8(%rsp)
    ldmxcsr 8(%rsp)
    movw $0x007F, 16(%rsp)
    fldcw 16(%rsp)
    xorl %eax, %eax
    retq
)");

namespace {

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

    // The engine ends after its first chunk: what it wrote of the download
    // (over a file the user let it replace) must not pass for the object.
    WriteBytes(Local("crash.bin"), "the user's old file");
    EXPECT_EQ(FS_FILE_READERROR, Get("\\work\\photos\\crash.bin", Local("crash.bin")));
    EXPECT_FALSE(Reports().empty()) << "the transfer started before the engine ended";
    EXPECT_TRUE(HelpersGone(GetCurrentProcessId()));
    EXPECT_FALSE(IsFile(Local("crash.bin"))) << ReadBytes(Local("crash.bin")).size() << " bytes left";

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
    const HANDLE listing = Fs().FsFindFirst(Text(path), &record);
    ASSERT_NE(INVALID_HANDLE_VALUE, listing);
    int delivered = 1;
    while (Fs().FsFindNext(listing, &record)) ++delivered;
    EXPECT_LT(delivered, 4) << "the engine ended before the listing did";
    EXPECT_TRUE(HelpersGone(GetCurrentProcessId()));

    EXPECT_EQ((std::vector<std::string>{"a.jpg", "b.jpg", "crash.jpg", "d.jpg"}), List(path));
}

// A download is whole once the plugin has passed on the engine's 100: an
// engine that ends after it, in the move's deletion of the source, leaves
// the download and the source, and the call succeeds as when the deletion
// fails.
TEST_F(BridgeE2eTest, AnEngineThatEndsOnceADownloadIsWholeKeepsTheFileAndTheSource) {
    MakeStore({{"work\\photos\\a.jpg", "A"}});
    FaultControl faults;
    Restart();  // a helper that finds the plan
    faults.Arm({faults::kDeleteObject, faults::kEnd, 1, 0}, nullptr);
    std::string remote = "\\work\\photos\\a.jpg", local = Local("a.jpg");
    RemoteInfoStruct info = {};
    EXPECT_EQ(FS_FILE_OK, Fs().FsGetFile(Text(remote), Text(local), FS_COPYFLAGS_MOVE, &info));
    EXPECT_TRUE(faults.Disarm().ended);
    EXPECT_EQ("A", ReadBytes(Local("a.jpg")));
    EXPECT_EQ("A", ReadBytes(Store("work\\photos\\a.jpg")));
    EXPECT_TRUE(HelpersGone(GetCurrentProcessId()));
    EXPECT_EQ((std::vector<std::string>{"a.jpg"}), List("\\work\\photos"));
}

// The same when the engine stalls in that deletion and the user cancels in
// the progress window that comes up a second into the silence: the
// download stays, and so does the source, as a move whose deletion fails.
const FaultControl* g_stallingEngine = nullptr;
int __stdcall CancelAfterSilence(int, char*, char*, int) {
    static ULONGLONG last = 0;
    const ULONGLONG now = GetTickCount64();
    // The plugin's own reports come before the engine stalls, and at once.
    const bool silent = g_stallingEngine->Stalled() && last != 0 && now - last >= kQuietMs - kEarlyMs;
    last = now;
    return silent ? 1 : 0;
}

TEST_F(BridgeE2eTest, AWholeDownloadStaysWhenTheUserStopsItsEngineInTheMovesDeletion) {
    MakeStore({{"work\\photos\\a.jpg", "A"}});
    FaultControl faults;
    g_stallingEngine = &faults;
    ASSERT_EQ(0, Fs().FsInit(7, &CancelAfterSilence, nullptr, nullptr));
    faults.Arm({faults::kDeleteObject, faults::kStall, 1, 0}, nullptr);
    std::string remote = "\\work\\photos\\a.jpg", local = Local("a.jpg");
    RemoteInfoStruct info = {};
    EXPECT_EQ(FS_FILE_OK, Fs().FsGetFile(Text(remote), Text(local), FS_COPYFLAGS_MOVE, &info));
    EXPECT_TRUE(faults.Disarm().fired);
    EXPECT_EQ("A", ReadBytes(Local("a.jpg")));
    EXPECT_EQ("A", ReadBytes(Store("work\\photos\\a.jpg")));
    EXPECT_TRUE(HelpersGone(GetCurrentProcessId()));
    EXPECT_EQ((std::vector<std::string>{"a.jpg"}), List("\\work\\photos"));
}

// What the module read ahead of a listing goes with the helper it came
// from: after the engine ended, the listing ends, whether or not a new
// helper has started since.
TEST_F(BridgeE2eTest, AListingEndsWithItsHelperReadAheadAndAll) {
    MakeStore({{"work\\photos\\a.jpg", "A"}, {"work\\photos\\b.jpg", "B"}, {"work\\photos\\c.jpg", "C"},
               {"work\\docs\\d.txt", "D"}});
    FaultControl faults;
    Restart();
    std::string photos = "\\work\\photos", docs = "\\work\\docs";
    WIN32_FIND_DATAA record;
    const HANDLE listing = Fs().FsFindFirst(Text(photos), &record);
    ASSERT_NE(INVALID_HANDLE_VALUE, listing);
    ASSERT_TRUE(Fs().FsFindNext(listing, &record));  // b.jpg, with c.jpg read ahead
    faults.Arm({faults::kFirstObject, faults::kEnd, 1, 0}, nullptr);
    EXPECT_EQ(INVALID_HANDLE_VALUE, Fs().FsFindFirst(Text(docs), &record));
    EXPECT_TRUE(faults.Disarm().ended);
    EXPECT_FALSE(Fs().FsFindNext(listing, &record)) << "went on with " << record.cFileName;
    Fs().FsFindClose(listing);
    EXPECT_EQ((std::vector<std::string>{"a.jpg", "b.jpg", "c.jpg"}), List(photos));
}

TEST_F(BridgeE2eTest, ACancelOnceTheEngineHasTheTransferEndsItsHelperAndThePartialFile) {
    MakeStore({{"work\\photos\\slow.bin", std::string(8 << 20, 's')}, {"work\\photos\\a.jpg", "A"}});
    // 32 chunks of 200 ms: the whole download takes longer than the bound on
    // the return after a cancel.
    RestartWith(kThrottleVariable, "200");
    const std::vector<DWORD> first = HelpersOf(GetCurrentProcessId());
    // An abort at the first report, before the engine is called, touches nothing.
    WriteBytes(Local("slow.bin"), "old");
    AbortAtReport(1);
    EXPECT_EQ(FS_FILE_USERABORT, Get("\\work\\photos\\slow.bin", Local("slow.bin")));
    EXPECT_EQ("old", ReadBytes(Local("slow.bin")));
    EXPECT_EQ(first, HelpersOf(GetCurrentProcessId()));

    AbortAtReport(2);  // the relay's first: the engine is writing the file
    Reports().clear();
    EXPECT_EQ(FS_FILE_USERABORT, Get("\\work\\photos\\slow.bin", Local("slow.bin")));
    const ULONGLONG returned = GetTickCount64();
    ASSERT_EQ(2u, Reports().size());
    EXPECT_LE(returned, Reports().back().tick + 4000);
    EXPECT_FALSE(IsFile(Local("slow.bin")));
    EXPECT_TRUE(HelpersOf(GetCurrentProcessId()).empty()) << "the helper was ended before the return";

    AbortAtReport(0);
    EXPECT_EQ(FS_FILE_OK, Get("\\work\\photos\\a.jpg", Local("a.jpg")));
    EXPECT_EQ("A", ReadBytes(Local("a.jpg")));
}

// A stop asked at a report of 100 percent comes when the transfer is whole:
// the plugin answers it as in the host's own process, and nothing is ended;
// one asked below 100 ends the helper and the partial download. Small
// files, so that both come; the helper takes the next calls as ever.
TEST_F(BridgeE2eTest, AStopAtAWholeTransfersReportKeepsItAndItsHelper) {
    MakeStore({{"work\\photos\\a.jpg", "A"}, {"work\\photos\\b.jpg", "B"}});
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        AbortAtReport(2);  // the first report after the plugin's own
        Reports().clear();
        DeleteFileA(Local("a.jpg").c_str());
        const std::vector<DWORD> helpers = HelpersOf(GetCurrentProcessId());
        EXPECT_EQ(FS_FILE_USERABORT, Get("\\work\\photos\\a.jpg", Local("a.jpg")));
        ASSERT_EQ(2u, Reports().size());
        if (Reports().back().percent >= 100) {
            EXPECT_EQ("A", ReadBytes(Local("a.jpg")));
            EXPECT_EQ(helpers, HelpersOf(GetCurrentProcessId())) << "the same helper goes on";
        } else {
            EXPECT_FALSE(IsFile(Local("a.jpg"))) << "a download stopped in the engine is deleted";
        }
        AbortAtReport(0);
        EXPECT_EQ(FS_FILE_OK, Get("\\work\\photos\\b.jpg", Local("b.jpg")));
        EXPECT_EQ("B", ReadBytes(Local("b.jpg")));
        EXPECT_EQ((std::vector<std::string>{"a.jpg", "b.jpg"}), List("\\work\\photos"));
    }
}

// The module deletes a download's local file only when that transfer's
// engine may have written it and it is not whole.
TEST_F(BridgeE2eTest, AHelperThatEndsUnderADownloadTakesOnlyWhatItsEngineLeftPartial) {
    const std::string big(8 << 20, 'x');
    MakeStore({{"work\\big\\x.bin", big}, {"work\\photos\\a.jpg", "A"}, {"work\\photos\\crash.jpg", "C"}});
    int outer = 0, nested = -1;
    DWORD nestedError = 0;

    // Aborted at the report before the engine is called, while the helper
    // dies: the user's file was never touched.
    WriteBytes(Local("a.jpg"), "the user's");
    RestartScripted("0", [&](const HostReport&) {
        EndHelpers();
        return 1;
    });
    EXPECT_NE(FS_FILE_OK, Get("\\work\\photos\\a.jpg", Local("a.jpg")));
    EXPECT_EQ("the user's", ReadBytes(Local("a.jpg")));

    // The helper dies under a download, and a download from inside its
    // callback starts a new one: the new helper knows nothing of the outer
    // transfer, so the module refuses its local file, and the outer one's
    // partial file goes.
    RestartScripted("100", [&](const HostReport& report) {
        if (report.depth == 0 && ++outer == 3) {
            EndHelpers();
            nested = Get("\\work\\photos\\a.jpg", Local("x.bin"));
            nestedError = GetLastError();
        }
        return 0;
    });
    EXPECT_EQ(FS_FILE_READERROR, Get("\\work\\big\\x.bin", Local("x.bin")));
    EXPECT_EQ(FS_FILE_WRITEERROR, nested);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), nestedError);
    EXPECT_FALSE(IsFile(Local("x.bin"))) << ReadBytes(Local("x.bin")).size() << " bytes left";

    // The helper is ended inside the callback of a report at 100 percent
    // (a call from inside it meets an engine that ends its process): the
    // download is whole and stays.
    bool crashed = false;
    ScriptedHost::Instance().Reset(nullptr);
    RestartWith(kCrashVariable, "crash.jpg", nullptr, &ScriptedHost::Progress);
    ScriptedHost::Instance().script = [&](const HostReport& report) {
        if (report.depth == 0 && report.percent >= 100 && !crashed) {
            crashed = true;
            List("\\work\\photos");
        }
        return 0;
    };
    EXPECT_EQ(FS_FILE_OK, Get("\\work\\photos\\a.jpg", Local("a.jpg")));
    EXPECT_TRUE(crashed);
    EXPECT_EQ("A", ReadBytes(Local("a.jpg")));
}

// A download cancelled from inside another transfer's callback leaves its
// engine writing, as in the host's own process; a new transfer of that file
// is refused meanwhile, and when the helper ends (the outer transfer
// cancelled), what that engine had not finished goes too.
TEST_F(BridgeE2eTest, ADownloadCancelledInsideAnotherIsRemovedWithItsHelperWhenPartial) {
    const std::string x(8 << 20, 'x'), y(4 << 20, 'y');
    MakeStore({{"work\\big\\x.bin", x}, {"work\\big\\y.bin", y}});
    int outer = 0, inner = 0, nested = -1, again = -1;
    DWORD againError = 0;
    std::size_t againReports = 1;
    RestartScripted("200", [&](const HostReport& report) {
        if (report.depth > 0) return ++inner >= 3 ? 1 : 0;  // the engine has it by the third
        if (++outer == 3) {
            nested = Get("\\work\\big\\y.bin", Local("y.bin"));
            const std::size_t before = ScriptedHost::Instance().Reports().size();
            again = Get("\\work\\big\\y.bin", Local("y.bin"));
            againError = GetLastError();
            againReports = ScriptedHost::Instance().Reports().size() - before;
        }
        return outer > 3 ? 1 : 0;
    });
    EXPECT_EQ(FS_FILE_USERABORT, Get("\\work\\big\\x.bin", Local("x.bin")));
    EXPECT_EQ(FS_FILE_USERABORT, nested);
    EXPECT_EQ(FS_FILE_WRITEERROR, again);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), againError);
    EXPECT_EQ(0u, againReports);
    EXPECT_TRUE(HelpersGone(GetCurrentProcessId()));
    EXPECT_FALSE(IsFile(Local("x.bin")));
    EXPECT_FALSE(IsFile(Local("y.bin"))) << ReadBytes(Local("y.bin")).size() << " of " << y.size() << " bytes left";
}

// A listing the host closes while the module cannot reach the helper (from
// inside the plugin's own wait for a paused engine, or while another thread
// reads it) is closed in the helper later: it holds no batch read ahead
// there, and another listing reads ahead again.
TEST_F(BridgeE2eTest, AListingClosedWhileTheHelperIsOutOfReachIsClosedThereLater) {
    MakeStore({{"work\\many\\", ""}, {"work\\more\\", ""}, {"work\\photos\\a.jpg", "A"}});
    // More than two batches: a reader of it meets the engine's pause.
    MakeEmptyFiles(Store("work\\many"), 20000);
    MakeEmptyFiles(Store("work\\more"), 10000);
    FaultControl faults;
    const HANDLE resume = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(nullptr, resume);
    RestartScripted("0", nullptr);
    WIN32_FIND_DATAA record;
    // Past its first batch, so that the helper reads the next one ahead.
    auto open = [&](std::string path) {
        const HANDLE listing = Fs().FsFindFirst(Text(path), &record);
        EXPECT_NE(INVALID_HANDLE_VALUE, listing);
        EXPECT_TRUE(Fs().FsFindNext(listing, &record));
        return listing;
    };
    auto expectReadsAhead = [&] {
        faults.Arm({}, nullptr);
        const HANDLE listing = open("\\work\\more");
        const LONG read = faults.Calls(faults::kNextObject);
        bool ahead = false;
        for (int tries = 0; tries < 200 && !ahead; ++tries, Sleep(50)) {
            ahead = faults.Calls(faults::kNextObject) > read;
        }
        EXPECT_TRUE(ahead) << "no listing reads ahead";
        Fs().FsFindClose(listing);
        faults.Disarm();
    };

    // Closed from inside the silence of a listing whose engine pauses.
    const HANDLE closedInside = open("\\work\\many");
    faults.Arm({faults::kFirstObject, faults::kPause, 1, 0}, [&] { WaitForSingleObject(resume, 60000); });
    ScriptedHost::Instance().script = [&](const HostReport&) {
        EXPECT_EQ(0, Fs().FsFindClose(closedInside));
        SetEvent(resume);
        return 0;
    };
    EXPECT_EQ((std::vector<std::string>{"a.jpg"}), List("\\work\\photos"));
    EXPECT_TRUE(faults.Disarm().paused);
    ScriptedHost::Instance().script = nullptr;
    expectReadsAhead();

    // Closed on one thread while another reads it, waiting for the helper.
    ResetEvent(resume);
    const HANDLE inUse = open("\\work\\many");
    faults.Arm({faults::kNextObject, faults::kPause, 1, 0}, [&] { WaitForSingleObject(resume, 60000); });
    volatile LONG asked = 0;
    ScriptedHost::Instance().script = [&](const HostReport&) {
        InterlockedExchange(&asked, 1);
        return 0;
    };
    WorkerThread reader([&] {
        WIN32_FIND_DATAA entry;
        while (Fs().FsFindNext(inUse, &entry)) {
        }
    });
    for (int tries = 0; tries < 600 && InterlockedCompareExchange(&asked, 0, 0) == 0; ++tries) Sleep(50);
    EXPECT_EQ(0, Fs().FsFindClose(inUse));
    SetEvent(resume);
    reader.Join();
    faults.Disarm();
    ScriptedHost::Instance().script = nullptr;
    expectReadsAhead();
    CloseHandle(resume);
}

TEST_F(BridgeE2eTest, AStalledEngineIsStoppedAtTheHostsWordAndTheNextCallWorks) {
    MakeStore({{"work\\photos\\a.jpg", "A"}, {"work\\photos\\b.jpg", "B"}, {"work\\stuck\\c.bin", "C"}});
    std::string path = "\\work\\photos";
    WIN32_FIND_DATAA record;
    struct Stall {
        const char* at;
        int abortAt;
        std::function<void()> stalledCall;
    };
    const Stall stalls[] = {
        {"a.jpg", 1, [&] {
             EXPECT_EQ(INVALID_HANDLE_VALUE, Fs().FsFindFirst(Text(path), &record));
             EXPECT_EQ(static_cast<DWORD>(ERROR_CANCELLED), GetLastError());
         }},
        {"b.jpg", 1, [&] {
             const HANDLE listing = Fs().FsFindFirst(Text(path), &record);
             ASSERT_NE(INVALID_HANDLE_VALUE, listing);
             EXPECT_FALSE(Fs().FsFindNext(listing, &record));
         }},
        {"c.bin", 2, [&] { EXPECT_EQ(FS_FILE_USERABORT, Get("\\work\\stuck\\c.bin", Local("c.bin"))); }},
    };
    for (const Stall& stall : stalls) {
        SCOPED_TRACE(stall.at);
        RestartWith(kStallVariable, stall.at);
        Reports().clear();
        AbortAtReport(stall.abortAt);
        const ULONGLONG called = GetTickCount64();
        stall.stalledCall();
        const ULONGLONG returned = GetTickCount64();
        ASSERT_EQ(static_cast<std::size_t>(stall.abortAt), Reports().size());
        const ProgressReport& asked = Reports().back();
        if (stall.abortAt == 1) {
            // A listing shows its path.
            EXPECT_EQ(path, asked.source);
            EXPECT_EQ("(null)", asked.target);
            ExpectStoppedInTime(called, returned);
        } else {
            // A transfer shows what it last showed: the plugin's first report.
            EXPECT_EQ(Reports().front().source, asked.source);
            EXPECT_EQ(Reports().front().target, asked.target);
            ExpectStoppedInTime(Reports().front().tick, returned);
            EXPECT_FALSE(IsFile(Local("c.bin"))) << "the engine had made it";
        }
        EXPECT_EQ(0, asked.percent);
        AbortAtReport(0);
        EXPECT_EQ((std::vector<std::string>{"a.jpg", "b.jpg"}), List(path));
    }
    EXPECT_EQ(FS_FILE_OK, Get("\\work\\stuck\\c.bin", Local("c.bin")));
}

unsigned MxcsrNow() {
    unsigned value = 0;
    asm volatile("stmxcsr %0" : "=m"(value));
    return value;
}
unsigned short X87ControlNow() {
    unsigned short value = 0;
    asm volatile("fnstcw %0" : "=m"(value));
    return value;
}

TEST_F(BridgeE2eTest, AHostCallbackThatChangesTheRegistersACalleeKeepsHarmsNothing) {
    const std::string bytes(4 << 20, 'x');
    MakeStore({{"work\\photos\\big.bin", bytes}});
    SetEnvironmentVariableA(kThrottleVariable, "5");
    ASSERT_EQ(0, Fs().FsInit(7, &ClobberingProgress, nullptr, nullptr));
    SetEnvironmentVariableA(kThrottleVariable, nullptr);
    const unsigned mxcsr = MxcsrNow();
    const unsigned short x87 = X87ControlNow();
    EXPECT_EQ(FS_FILE_OK, Get("\\work\\photos\\big.bin", Local("big.bin")));
    EXPECT_EQ(bytes, ReadBytes(Local("big.bin")));
    EXPECT_EQ(FS_FILE_OK, Put(Local("big.bin"), "\\work\\photos\\back.bin"));
    EXPECT_EQ(bytes, ReadBytes(Store("work\\photos\\back.bin")));
    EXPECT_EQ(mxcsr, MxcsrNow());
    EXPECT_EQ(x87, X87ControlNow());
}

TEST_F(BridgeE2eTest, HealthyListingsAndTransfersSeeNoProgressCallsOfTheBridges) {
    MakeStore({{"work\\many\\", ""}, {"work\\photos\\slow.bin", std::string(6 << 20, 's')}});
    MakeEmptyFiles(Store("work\\many"), 10000);
    EXPECT_EQ(10000u, List("\\work\\many").size());
    EXPECT_TRUE(Reports().empty());
    // Over a second of relay: what the bridge would add is a report that
    // repeats the one before after a second without one.
    RestartWith(kThrottleVariable, "50");
    ASSERT_EQ(FS_FILE_OK, Get("\\work\\photos\\slow.bin", Local("slow.bin")));
    ASSERT_GT(Reports().back().tick - Reports().front().tick, 1000u);
    for (std::size_t at = 1; at < Reports().size(); ++at) {
        const ProgressReport &before = Reports()[at - 1], &report = Reports()[at];
        EXPECT_FALSE(report.tick >= before.tick + 1000 && report.percent == before.percent) << at;
    }
}

TEST_F(BridgeE2eTest, AListingReadAheadWaitsWhileListingsInsideItAreServed) {
    MakeStore({{"work\\many\\", ""}, {"work\\photos\\a.jpg", "A"}, {"work\\photos\\b.jpg", "B"}});
    MakeEmptyFiles(Store("work\\many"), 10000);
    // The outer listing's first batch is in, its second read ahead in the
    // helper; the host lists other folders in between, as a file manager
    // walking a tree does, then goes on with the outer one.
    std::string many = "\\work\\many";
    WIN32_FIND_DATAA record;
    const HANDLE outer = Fs().FsFindFirst(Text(many), &record);
    ASSERT_NE(INVALID_HANDLE_VALUE, outer);
    std::vector<std::string> names{record.cFileName};
    for (int inner = 0; inner < 3; ++inner) {
        while (names.size() < 4000u * (inner + 1) && Fs().FsFindNext(outer, &record)) {
            names.push_back(record.cFileName);
        }
        EXPECT_EQ((std::vector<std::string>{"a.jpg", "b.jpg"}), List("\\work\\photos"));
    }
    while (Fs().FsFindNext(outer, &record)) names.push_back(record.cFileName);
    EXPECT_EQ(0, Fs().FsFindClose(outer));
    std::sort(names.begin(), names.end());
    EXPECT_EQ(10000u, names.size());
    EXPECT_EQ(names.end(), std::adjacent_find(names.begin(), names.end()));
}

// A store far away lists in pages. The helper hands the host each page as
// it comes instead of holding it back until a batch is full, and a request
// that comes while it reads ahead waits for one page at most, not for the
// batch: a subfolder's listing opened meanwhile shows its first entry as
// soon as in the host's own process. Nothing read ahead is lost on the way.
TEST_F(BridgeE2eTest, AListingInPagesShowsEachPageAsItComesAndHoldsUpNoOtherRequest) {
    MakeStore({{"work\\photos\\small\\x.jpg", "X"}});
    CreateDirectoryA(Store("work\\photos\\big").c_str(), nullptr);
    MakeEmptyFiles(Store("work\\photos\\big"), 2000);
    // 40 pages of 50 entries, 150 ms each: 6 s for the whole listing, twice
    // the 3 s a busy machine is given for a page.
    const std::pair<const char*, const char*> farAway[] = {
        {"CORVANEL_LATENCY", "1"}, {"CORVANEL_LATENCY_CALL_MS", "0"},
        {"CORVANEL_LATENCY_PAGE_ENTRIES", "50"}, {"CORVANEL_LATENCY_PAGE_MS", "150"}};
    for (const auto& setting : farAway) SetEnvironmentVariableA(setting.first, setting.second);
    Restart();
    for (const auto& setting : farAway) SetEnvironmentVariableA(setting.first, nullptr);

    std::string big = "\\work\\photos\\big", small = "\\work\\photos\\small";
    WIN32_FIND_DATAA record;
    const HANDLE listing = Fs().FsFindFirst(Text(big), &record);
    ASSERT_NE(INVALID_HANDLE_VALUE, listing);
    std::vector<std::string> names{record.cFileName};
    ULONGLONG start = GetTickCount64();
    ASSERT_TRUE(Fs().FsFindNext(listing, &record));
    EXPECT_LT(GetTickCount64() - start, 3000u) << "the first pages came up before the batch was full";
    names.push_back(record.cFileName);

    // The helper now reads ahead in the big folder.
    start = GetTickCount64();
    EXPECT_EQ((std::vector<std::string>{"x.jpg"}), List(small));
    EXPECT_LT(GetTickCount64() - start, 3000u) << "the read-ahead gave way";

    while (Fs().FsFindNext(listing, &record)) names.push_back(record.cFileName);
    Fs().FsFindClose(listing);
    std::vector<std::string> expected;
    for (int at = 0; at < 2000; ++at) expected.push_back(std::to_string(at));
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, names);
}

TEST_F(BridgeE2eTest, HandlesStandForTheHelpersListingsAndTheOldestGivesWayPastTheBound) {
    MakeStore({{"work\\photos\\a.jpg", "A"}, {"work\\photos\\b.jpg", "B"}});
    std::string path = "\\work\\photos";
    WIN32_FIND_DATAA record;
    std::vector<HANDLE> open;
    for (int at = 0; at <= 256; ++at) {
        open.push_back(Fs().FsFindFirst(Text(path), &record));
        ASSERT_NE(INVALID_HANDLE_VALUE, open.back());
    }
    EXPECT_FALSE(Fs().FsFindNext(open[0], &record)) << "the oldest stays open past the bound";
    for (const HANDLE kept : {open[1], open[256]}) {
        ASSERT_TRUE(Fs().FsFindNext(kept, &record));
        EXPECT_STREQ("b.jpg", record.cFileName);
        EXPECT_FALSE(Fs().FsFindNext(kept, &record));
    }
    for (const HANDLE handle : open) EXPECT_EQ(0, Fs().FsFindClose(handle));
    for (const HANDLE stranger : {open[2], HANDLE{nullptr}, INVALID_HANDLE_VALUE,
                                  reinterpret_cast<HANDLE>(0x123456789ULL)}) {
        EXPECT_FALSE(Fs().FsFindNext(stranger, &record));
        EXPECT_EQ(0, Fs().FsFindClose(stranger));
    }
    // A helper that ended took its listings with it; the next one serves.
    const HANDLE before = Fs().FsFindFirst(Text(path), &record);
    ASSERT_NE(INVALID_HANDLE_VALUE, before);
    Restart();
    EXPECT_FALSE(Fs().FsFindNext(before, &record));
    EXPECT_EQ((std::vector<std::string>{"a.jpg", "b.jpg"}), List(path));
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
        // Nothing of the failed module runs on: it unloads, and its folder
        // goes with the test's.
        EXPECT_TRUE(FreeLibrary(GetModuleHandleA(module.c_str())));
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
        for (int tries = 0; tries < 1200 && HelpersOf(host.dwProcessId).empty(); ++tries) Sleep(25);
        EXPECT_EQ(1u, HelpersOf(host.dwProcessId).size());
        if (kill) TerminateProcess(host.hProcess, 9);
        CloseHandle(commandsWrite);  // the script ends
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(host.hProcess, 30000));
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
