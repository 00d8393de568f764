// Running out of memory: each allocation the plugin makes in a call, C++ or
// BSTR, fails in turn (counting_allocator.h). Every entry point must then
// return its failure value, leave nothing allocated behind and release every
// engine entry; an event whose conversion fails must be refused with
// E_OUTOFMEMORY towards the engine rather than end the process.
#include <gtest/gtest.h>
#include <objbase.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "binding/bstr.h"
#include "binding/event_handler.h"
#include "common/wfx_api.h"
#include "plugin/plugin_state.h"
#include "tests/stress/counting_allocator.h"
#include "tests/support/engine_registration.h"
#include "tests/support/plugin_reset.h"
#include "tests/support/plugin_scope.h"
#include "tests/support/scripted_engine.h"

namespace {

// Names long enough that every copy of them needs memory of its own.
constexpr wchar_t kEventLocalName[] = L"C:\\Users\\someone\\Downloads\\holiday-picture.jpg";
constexpr wchar_t kEventRemoteName[] = L"\\work\\photos\\2009\\holiday-picture.jpg";
// Relay passes the host lets a transfer run before it asks to abort.
constexpr int kReportsBeforeAbort = 6;

// Agrees to every change; every listing holds two entries; a transfer
// finishes while the engine call runs, and the engine repeats its final event
// whenever the host hears from the relay, as an engine that keeps reporting.
class AgreeingPlan final : public EngineScript {
public:
    EngineAnswer AnswerTo(ScriptedEngine& engine, const EngineCall& call) override {
        EngineAnswer answer;
        switch (call.op) {
        case EngineOp::FirstAccount:
        case EngineOp::FirstBucket:
        case EngineOp::FirstObject:
            answer.setCookie = true;
            answer.cookie = ++lastCookie_;
            entriesLeft_[answer.cookie] = 1;
            answer.item = MakeEntry();
            break;
        case EngineOp::NextAccount:
        case EngineOp::NextBucket:
        case EngineOp::NextObject: {
            unsigned& left = entriesLeft_[call.cookie];
            if (left == 0) break;
            --left;
            answer.item = MakeEntry();
            break;
        }
        case EngineOp::DownloadObject:
        case EngineOp::UploadObject: FireFinished(engine); break;
        default: break;
        }
        return answer;
    }

    static StorageItem* MakeEntry() {
        ItemValues entry;
        entry.name = L"an entry with a name of some length.txt";
        entry.date = 40000.5;
        return MakeFakeItem(entry);
    }

    void FireFinished(ScriptedEngine& engine) {
        const bool failedBefore = AllocationLedger::Counts().failed;
        const HRESULT hr = engine.FireProgress(kEventLocalName, kEventRemoteName, 100);
        if (!failedBefore && AllocationLedger::Counts().failed) eventResultOnFailure = hr;
    }

    // Invoke's answer to the event during which the armed allocation failed.
    std::optional<HRESULT> eventResultOnFailure;

private:
    ListingCookie lastCookie_ = 0;
    std::map<ListingCookie, unsigned> entriesLeft_;
};

AgreeingPlan g_plan;
ScriptedEngine g_engine(g_plan);
int g_reports = 0;

int __stdcall HostProgress(int, char*, char*, int) {
    OutsidePluginScope host;
    if (++g_reports > kReportsBeforeAbort) return 1;
    if (g_reports > 1) g_plan.FireFinished(g_engine);
    return 0;
}

// One export call with its inputs, the result of the call when memory
// suffices, and the results that report a failure.
struct Scenario {
    const char* name;
    std::function<int()> call;
    int success;
    std::vector<int> failures;
};

char* Text(const char* text) { return const_cast<char*>(text); }
int Handle(HANDLE handle) { return static_cast<int>(reinterpret_cast<INT_PTR>(handle)); }

std::vector<Scenario> Scenarios() {
    static RemoteInfoStruct file{1234, 0, {0, 0}, FILE_ATTRIBUTE_NORMAL};
    static RemoteInfoStruct folder{0, 0, {0, 0}, FILE_ATTRIBUTE_DIRECTORY};
    return {
        {"FsGetDefRootName", [] { char name[32]; FsGetDefRootName(name, sizeof(name)); return 0; }, 0, {}},
        // A listing keeps what it needs until it is closed.
        {"FsFindFirst", [] {
             WIN32_FIND_DATAA record;
             const HANDLE listing = FsFindFirst(Text("\\work\\photos"), &record);
             FsFindClose(listing);
             return listing == INVALID_HANDLE_VALUE ? Handle(listing) : 0;
         }, 0, {Handle(INVALID_HANDLE_VALUE)}},
        {"FsFindNext", [] {
             WIN32_FIND_DATAA record;
             const HANDLE listing = FsFindFirst(Text("\\work\\photos"), &record);
             const BOOL found = FsFindNext(listing, &record);
             FsFindClose(listing);
             return found;
         }, TRUE, {FALSE}},
        {"FsFindClose", [] { return FsFindClose(nullptr); }, 0, {}},
        {"FsMkDir folder", [] { return FsMkDir(Text("\\work\\photos\\a new folder")); }, TRUE, {FALSE}},
        {"FsMkDir account", [] { return FsMkDir(Text("\\a new account")); }, TRUE, {FALSE}},
        {"FsRemoveDir account", [] { return FsRemoveDir(Text("\\an account")); }, TRUE, {FALSE}},
        {"FsRemoveDir bucket", [] { return FsRemoveDir(Text("\\work\\a bucket")); }, TRUE, {FALSE}},
        {"FsRemoveDir folder", [] { return FsRemoveDir(Text("\\work\\photos\\2009\\summer")); }, TRUE, {FALSE}},
        {"FsDeleteFile", [] { return FsDeleteFile(Text("\\work\\photos\\2009\\a.jpg")); }, TRUE, {FALSE}},
        {"FsRenMovFile account", [] {
             return FsRenMovFile(Text("\\an account"), Text("\\another account"), TRUE, FALSE, &file);
         }, FS_FILE_OK, {FS_FILE_READERROR}},
        {"FsRenMovFile bucket", [] {
             return FsRenMovFile(Text("\\work\\photos"), Text("\\play\\photos"), FALSE, FALSE, &file);
         }, FS_FILE_OK, {FS_FILE_READERROR}},
        {"FsRenMovFile folder", [] {
             return FsRenMovFile(Text("\\work\\photos\\2009"), Text("\\work\\photos\\2010"), TRUE,
                                 FALSE, &folder);
         }, FS_FILE_OK, {FS_FILE_READERROR}},
        {"FsExecuteFile open", [] {
             return FsExecuteFile(nullptr, Text("\\work\\Create new bucket(F7)"), Text("open"));
         }, FS_EXEC_OK, {FS_EXEC_ERROR}},
        {"FsExecuteFile properties", [] {
             return FsExecuteFile(nullptr, Text("\\work"), Text("properties"));
         }, FS_EXEC_OK, {FS_EXEC_ERROR}},
        {"FsGetFile", [] {
             return FsGetFile(Text("\\work\\photos\\2009\\holiday-picture.jpg"),
                              Text("C:\\corvanel-absent\\holiday-picture.jpg"), 0, &file);
         }, FS_FILE_OK, {FS_FILE_READERROR, FS_FILE_USERABORT}},
        {"FsGetFile move", [] {
             return FsGetFile(Text("\\work\\photos\\2009\\holiday-picture.jpg"),
                              Text("C:\\corvanel-absent\\holiday-picture.jpg"), FS_COPYFLAGS_MOVE,
                              &file);
         }, FS_FILE_OK, {FS_FILE_READERROR, FS_FILE_USERABORT}},
        {"FsPutFile", [] {
             return FsPutFile(Text("C:\\corvanel-absent\\holiday-picture.jpg"),
                              Text("\\work\\photos\\2009\\holiday-picture.jpg"), 0);
         }, FS_FILE_OK, {FS_FILE_READERROR, FS_FILE_USERABORT}},
    };
}

// The plugin as FsInit leaves it, with the scripted engine and a connected
// progress record; remade before every run.
class AllocationFailureTest : public ::testing::Test {
protected:
    void SetUp() override { ResetPlugin(); }
    void TearDown() override { ResetPluginState(); }

    static void ResetPlugin();

    // Runs one call with the failAt-th allocation failing (0: none).
    static int Run(const std::function<int()>& call, long failAt) {
        g_reports = 0;
        g_plan.eventResultOnFailure.reset();
        AllocationLedger::Start(failAt);
        const int result = call();
        AllocationLedger::Stop();
        // The plugin keeps what it knows of a folder until the next check
        // and a closed listing for the next one; whatever else is still
        // counted was left behind.
        GetPluginState().knowledge.Forget();
        GetPluginState().listings.CloseAll();
        return result;
    }

    static void RunEveryFailure(const Scenario& scenario);
};

// The record's sink connects once; the record lives as long as the program.
CEventHandler* ConnectedRecord() {
    static CEventHandler* record = [] {
        CEventHandler* made = new CEventHandler();
        made->CreateEventSink(&g_engine);
        return made;
    }();
    return record;
}

void AllocationFailureTest::ResetPlugin() {
    ResetPluginState();
    GetPluginState().engine = &g_engine;
    GetPluginState().progress = ConnectedRecord();
    GetPluginState().progressProc = &HostProgress;
}

void AllocationFailureTest::RunEveryFailure(const Scenario& scenario) {
    SCOPED_TRACE(scenario.name);
    ResetPlugin();
    const int clean = Run(scenario.call, 0);
    const AllocationCounts counted = AllocationLedger::Counts();
    EXPECT_EQ(scenario.success, clean) << "with memory enough";
    EXPECT_EQ(0, counted.live) << "allocations left behind with memory enough";
    std::printf("  %-26s %2ld allocations (%ld BSTR)\n", scenario.name, counted.allocations,
                counted.bstrs);

    for (long failAt = 1; failAt <= counted.allocations; ++failAt) {
        SCOPED_TRACE("allocation " + std::to_string(failAt) + " failing");
        ResetPlugin();
        const int result = Run(scenario.call, failAt);
        const AllocationCounts after = AllocationLedger::Counts();
        ASSERT_TRUE(after.failed) << "the run no longer reaches allocation " << failAt;
        EXPECT_EQ(0, after.live) << "allocations left behind";
        EXPECT_EQ(0, g_liveFakeItems) << "engine entries left alive";
        if (g_plan.eventResultOnFailure) {
            // Lost inside an event: the engine hears of it, the transfer
            // goes on with the engine's next event or ends as the host says.
            EXPECT_EQ(E_OUTOFMEMORY, *g_plan.eventResultOnFailure);
            EXPECT_TRUE(result == scenario.success ||
                        std::find(scenario.failures.begin(), scenario.failures.end(), result) !=
                            scenario.failures.end())
                << "result " << result;
        } else {
            EXPECT_NE(scenario.failures.end(),
                      std::find(scenario.failures.begin(), scenario.failures.end(), result))
                << "result " << result;
        }
    }
}

TEST_F(AllocationFailureTest, EveryEntryPointFailsCleanlyAtEveryAllocation) {
    std::printf("allocations per call, each failed in turn:\n");
    for (const Scenario& scenario : Scenarios()) RunEveryFailure(scenario);
}

TEST_F(AllocationFailureTest, StartUpFailsWithoutLeavingAHalfMadePlugin) {
    ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    {
        EngineRegistration registration(static_cast<IStorageBrowser&>(g_engine));
        const auto startUp = [] { return FsInit(3, &HostProgress, nullptr, nullptr); };
        ResetPluginState();
        ASSERT_EQ(0, Run(startUp, 0));
        const long allocations = AllocationLedger::Counts().allocations;
        std::printf("  %-26s %2ld allocations (kept for the process)\n", "FsInit", allocations);
        EXPECT_GT(allocations, 0);
        for (long failAt = 1; failAt <= allocations; ++failAt) {
            SCOPED_TRACE("allocation " + std::to_string(failAt) + " failing");
            ResetPluginState();
            EXPECT_EQ(-1, Run(startUp, failAt));
            EXPECT_TRUE(AllocationLedger::Counts().failed);
            EXPECT_EQ(0, AllocationLedger::Counts().live) << "allocations left behind";
            EXPECT_EQ(nullptr, GetPluginState().engine) << "engine kept by a failed start-up";
            EXPECT_EQ(nullptr, GetPluginState().progress);
        }
    }
    CoUninitialize();
}

// Calls of the allocation functions themselves: new-expressions whose
// blocks the compiler can see freed again may be left out altogether.
TEST(AllocationLedger, CountsAndFailsThePluginsOwnAllocationsOnly) {
    AllocationLedger::Start();
    { const UniqueBstr text = ToBstr("counted"); }
    {
        OutsidePluginScope engine;
        ::operator delete(::operator new(8));  // the engine's: not counted
    }
    AllocationLedger::Stop();
    EXPECT_EQ(1, AllocationLedger::Counts().allocations);
    EXPECT_EQ(1, AllocationLedger::Counts().bstrs);
    EXPECT_EQ(0, AllocationLedger::Counts().live);

    AllocationLedger::Start(1);
    EXPECT_THROW(ToBstr("refused"), std::bad_alloc);  // through the import pointer
    AllocationLedger::Start(2);
    void* kept = ::operator new(8);
    EXPECT_THROW(static_cast<void>(::operator new[](8)), std::bad_alloc);
    AllocationLedger::Start(1);
    EXPECT_EQ(nullptr, ::operator new(8, std::align_val_t{16}, std::nothrow));
    AllocationLedger::Start(0);
    void* block = ::operator new[](8, std::nothrow);
    void* aligned = ::operator new(8, std::align_val_t{64});
    EXPECT_EQ(2, AllocationLedger::Counts().live);
    ::operator delete[](block);
    ::operator delete(aligned, std::align_val_t{64});
    AllocationLedger::Stop();
    EXPECT_EQ(0, AllocationLedger::Counts().live);
    ::operator delete(kept);
}

}  // namespace
