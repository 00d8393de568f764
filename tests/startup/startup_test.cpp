// Start-up: FsInit creates the engine by ProgID through the registry, makes
// the progress record and connects its sink; FsGetDefRootName names the root.
#include <gtest/gtest.h>
#include <objbase.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/wfx_api.h"
#include "plugin/plugin_state.h"
#include "tests/support/engine_registration.h"
#include "tests/support/fake_engine.h"
#include "tests/support/plugin_reset.h"
#include "tests/support/worker_thread.h"

namespace {

int __stdcall Progress(int, char*, char*, int) { return 0; }
void __stdcall Log(int, int, char*) {}
BOOL __stdcall Request(int, int, char*, char*, char*, int) { return FALSE; }

class StartupTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetPluginState();
        WithdrawEngineProgId();
    }
    void TearDown() override {
        WithdrawEngineProgId();
        ResetPluginState();
    }
};

TEST_F(StartupTest, WithNoEngineRegisteredFailsButKeepsTheHostsCallbacks) {
    EXPECT_EQ(-1, FsInit(42, &Progress, &Log, &Request));
    const PluginState& state = GetPluginState();
    EXPECT_EQ(42, state.pluginNumber);
    EXPECT_EQ(&Progress, state.progressProc);
    EXPECT_EQ(&Log, state.logProc);
    EXPECT_EQ(&Request, state.requestProc);
    EXPECT_EQ(nullptr, state.engine);
    EXPECT_EQ(nullptr, state.progress);
}

TEST_F(StartupTest, CreatesTheEngineByProgIdAndConnectsTheProgressRecord) {
    ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    FakeStorageBrowser engine;
    EngineRegistration registration(static_cast<IStorageBrowser&>(engine));
    ASSERT_TRUE(registration.Registered());

    EXPECT_EQ(0, FsInit(7, &Progress, &Log, &Request));
    const PluginState& state = GetPluginState();
    EXPECT_EQ(1, registration.Created());
    EXPECT_EQ(static_cast<IStorageBrowser*>(&engine), state.engine);
    ASSERT_NE(nullptr, state.progress);
    ASSERT_NE(nullptr, state.progress->EventSink());
    EXPECT_TRUE(state.progress->EventSink()->IsConnected());
    EXPECT_EQ(static_cast<IDispatch*>(state.progress->EventSink()), engine.Point().Sink());

    // The engine's events now reach the record of a running transfer.
    const CEventHandler::Transfer transfer(*state.progress, L"C:\\a.jpg");
    EXPECT_EQ(S_OK, engine.FireProgress(L"C:\\a.jpg", L"\\work\\photos\\a.jpg", 64));
    EXPECT_EQ(64, transfer.GetPercent());
    EXPECT_TRUE(engine.calls.empty());

    CoUninitialize();
}

// A host whose thread already belongs to the multithreaded apartment: the
// plugin's CoInitialize answers RPC_E_CHANGED_MODE there, yet COM works and
// the engine can be created and used. Runs on a thread of its own so the test
// program's main thread keeps its apartment.
TEST_F(StartupTest, StartsAndListsOnAThreadOfTheMultithreadedApartment) {
    struct Outcome {
        HRESULT apartment = E_FAIL;
        bool registered = false;
        int init = 42;
        HANDLE listing = INVALID_HANDLE_VALUE;
        std::string firstName;
        BOOL more = TRUE;
        std::vector<std::string> calls;
    } seen;
    WorkerThread host([&seen] {
        seen.apartment = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        if (FAILED(seen.apartment)) return;
        {
            FakeStorageBrowser engine;
            Answer first;
            first.setCookie = true;
            first.cookie = 5;
            first.hasItem = true;
            first.item.name = L"work";
            first.item.kind = 0;
            engine.Script("FirstAccount", first);
            engine.ScriptEnd("NextAccount");
            EngineRegistration registration(static_cast<IStorageBrowser&>(engine));
            seen.registered = registration.Registered();
            seen.init = FsInit(3, &Progress, &Log, &Request);
            WIN32_FIND_DATAA found{};
            char root[] = "\\";
            seen.listing = FsFindFirst(root, &found);
            seen.firstName = found.cFileName;
            if (seen.listing != INVALID_HANDLE_VALUE) {
                seen.more = FsFindNext(seen.listing, &found);
                FsFindClose(seen.listing);
            }
            seen.calls = engine.calls;
        }
        CoUninitialize();
    });
    ASSERT_TRUE(host.Started());
    host.Join();

    ASSERT_EQ(S_OK, seen.apartment);
    ASSERT_TRUE(seen.registered);
    EXPECT_EQ(0, seen.init);
    EXPECT_NE(INVALID_HANDLE_VALUE, seen.listing);
    EXPECT_EQ("work", seen.firstName);
    EXPECT_EQ(FALSE, seen.more);
    EXPECT_EQ((std::vector<std::string>{"FirstAccount", "NextAccount 5"}), seen.calls);
}

TEST_F(StartupTest, ProgIdOfAClassNobodyServesFails) {
    ASSERT_TRUE(OfferEngineProgId());
    EXPECT_EQ(-1, FsInit(1, &Progress, nullptr, nullptr));
    EXPECT_EQ(nullptr, GetPluginState().engine);
    EXPECT_EQ(nullptr, GetPluginState().progress);
}

TEST(RootName, FitsTheBufferItIsGivenAndNeverWritesPastIt) {
    struct Case {
        int maxlen;
        const char* expected;
    };
    for (const Case& c : {Case{260, "Corvanel"}, Case{9, "Corvanel"}, Case{8, "Corvane"},
                          Case{4, "Cor"}, Case{1, ""}}) {
        SCOPED_TRACE(c.maxlen);
        char buffer[300];
        std::memset(buffer, '#', sizeof(buffer));
        FsGetDefRootName(buffer, c.maxlen);
        EXPECT_STREQ(c.expected, buffer);
        for (int i = c.maxlen; i < static_cast<int>(sizeof(buffer)); ++i) {
            ASSERT_EQ('#', buffer[i]) << "byte " << i << " written";
        }
    }
    char untouched[4] = {'#', '#', '#', '#'};
    FsGetDefRootName(untouched, 0);
    FsGetDefRootName(untouched, -5);
    FsGetDefRootName(nullptr, 260);
    EXPECT_EQ(0, std::memcmp(untouched, "####", 4));
}

}  // namespace
