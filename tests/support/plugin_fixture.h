#pragma once
// The fixture for tests that drive the exported entry points: a fresh
// PluginState holding a recording fake engine and a progress record, as
// FsInit would leave it, and checks after every test that the engine saw no
// unscripted call and that every listing entry handed out was released.

#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "binding/event_handler.h"
#include "common/wfx_api.h"
#include "plugin/plugin_state.h"
#include "tests/support/fake_engine.h"
#include "tests/support/plugin_reset.h"

class PluginTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetPluginState();
        GetPluginState().engine = &engine;
        GetPluginState().progress = &progress;
        liveItemsBefore_ = g_liveFakeItems;
    }
    void TearDown() override {
        EXPECT_TRUE(engine.unexpected.empty())
            << "unscripted engine calls, first: " << engine.unexpected.front();
        EXPECT_EQ(liveItemsBefore_, g_liveFakeItems) << "listing entries not released";
        ResetPluginState();
    }

    PluginState& State() { return GetPluginState(); }
    // Lets the plugin know the folder of `hostPath` as empty, as a listing of
    // it that just ended would: the check before a change that could replace
    // the entry then asks the engine nothing.
    void KnowFolderEmpty(const char* hostPath) {
        if (hostPath == nullptr) return;
        const LastComponent last = FindLastComponent(hostPath, ThreadCodePageLeadBytes());
        OwnedRemotePath folder;
        PathLevel level = PathLevel::Root;
        if (!SplitRemotePath(std::string(hostPath, last.parentLength).c_str(), &level,
                             folder.Record())) {
            return;
        }
        FolderNames names;
        names.Begin(FolderName::Of(level, folder.Record()), State().clock(), State().knowledge.Now());
        State().knowledge.Learn(names, State().clock());
    }
    // The engine's calls so far, and forgets them.
    std::vector<std::string> TakeCalls() {
        std::vector<std::string> taken;
        taken.swap(engine.calls);
        return taken;
    }

    FakeStorageBrowser engine;
    CEventHandler progress;

private:
    LONG liveItemsBefore_ = 0;
};

// Lets failure messages show a level as its number.
inline void PrintTo(PathLevel level, std::ostream* out) {
    *out << "PathLevel " << static_cast<int>(level);
}

// Host texts are char*, not const: the exports take them as the host passes.
inline char* HostText(const char* text) { return const_cast<char*>(text); }
