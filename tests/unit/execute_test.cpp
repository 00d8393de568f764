// FsExecuteFile through its export: the engine calls it makes, the message it
// posts to the host's window (read back from a message-only window) and the
// result.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/plugin_fixture.h"
#include "tests/support/slot_table_engine.h"

namespace {

using Log = std::vector<std::string>;

// What the host's main window must receive after a creation.
const Log kCreationNotice = {"message 0x111 wParam 104 lParam 0"};

class ExecuteTest : public PluginTest {
protected:
    void SetUp() override {
        PluginTest::SetUp();
        window_ = CreateWindowExA(0, "STATIC", "host", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  nullptr, nullptr);
        ASSERT_NE(nullptr, window_);
    }
    void TearDown() override {
        DestroyWindow(window_);
        PluginTest::TearDown();
    }

    int Execute(const char* path, const char* verb) {
        return FsExecuteFile(window_, HostText(path), HostText(verb));
    }

    // Every message posted to the window so far, taken off its queue.
    Log TakePosted() {
        Log posted;
        MSG msg;
        while (PeekMessageA(&msg, window_, 0, 0, PM_REMOVE)) {
            char line[80];
            std::snprintf(line, sizeof(line), "message 0x%x wParam %lu lParam %ld", msg.message,
                          static_cast<unsigned long>(msg.wParam), static_cast<long>(msg.lParam));
            posted.push_back(line);
        }
        return posted;
    }

    HWND window_ = nullptr;
};

struct ExecuteCase {
    const char* path;
    const char* verb;
    const char* engineCall;  // the one call expected, or nullptr for none
    bool notice;
    int result;
};

const ExecuteCase kExecuteTable[] = {
    // open: placeholders start a creation with their field emptied.
    {"\\Add new account(F7)", "open", "CreateAccount ||", true, FS_EXEC_OK},
    {"\\work\\Create new bucket(F7)", "open", "CreateBucket work||", true, FS_EXEC_OK},
    {"\\work\\Create new bucket(F7)\\", "open", "CreateBucket work||", true, FS_EXEC_OK},
    // The account placeholder wins whatever follows it.
    {"\\Add new account(F7)\\Create new bucket(F7)", "open",
     "CreateAccount |Create new bucket(F7)|", true, FS_EXEC_OK},
    // open: everything else is the host's to download and open.
    {"\\work\\photos\\a.jpg", "open", nullptr, false, FS_EXEC_YOURSELF},
    {"\\work", "open", nullptr, false, FS_EXEC_YOURSELF},
    {"", "open", nullptr, false, FS_EXEC_YOURSELF},
    {"\\Create new bucket(F7)", "open", nullptr, false, FS_EXEC_YOURSELF},
    {"\\work\\Add new account(F7)", "open", nullptr, false, FS_EXEC_YOURSELF},
    {"\\work\\photos\\Add new account(F7)", "open", nullptr, false, FS_EXEC_YOURSELF},
    {"\\work\\photos\\Create new bucket(F7)", "open", nullptr, false, FS_EXEC_YOURSELF},
    {"\\add new account(f7)", "open", nullptr, false, FS_EXEC_YOURSELF},
    {"\\work\\create new bucket(f7)", "open", nullptr, false, FS_EXEC_YOURSELF},
    // properties: only the root and accounts have them; placeholders are not special.
    {"\\", "properties", "ShowRootProperties", false, FS_EXEC_OK},
    {"\\work", "properties", "ShowAccountProperties", false, FS_EXEC_OK},
    {"\\Add new account(F7)", "properties", "ShowAccountProperties", false, FS_EXEC_OK},
    {"\\work\\photos", "properties", nullptr, false, FS_EXEC_OK},
    {"\\work\\photos\\a.jpg", "properties", nullptr, false, FS_EXEC_OK},
    // Any other verb, letter case and spacing included, does nothing.
    {"\\Add new account(F7)", "Open", nullptr, false, FS_EXEC_OK},
    {"\\work\\photos\\a.jpg", "open ", nullptr, false, FS_EXEC_OK},
    {"\\", "Properties", nullptr, false, FS_EXEC_OK},
    {"\\work\\photos\\a.jpg", "chmod 755", nullptr, false, FS_EXEC_OK},
    {"\\work\\photos\\a.jpg", "quote SITE HELP", nullptr, false, FS_EXEC_OK},
    {"\\Add new account(F7)", "", nullptr, false, FS_EXEC_OK},
    {"\\", nullptr, nullptr, false, FS_EXEC_OK},
};

TEST_F(ExecuteTest, VerbsAndPlaceholdersChooseTheEngineCallAndTheNotice) {
    for (const ExecuteCase& c : kExecuteTable) {
        SCOPED_TRACE(std::string(c.path) + " verb " + (c.verb ? c.verb : "(null)"));
        const Log expected = c.engineCall ? Log{c.engineCall} : Log{};
        if (c.engineCall) engine.Script(OperationOf(c.engineCall), Answer());
        EXPECT_EQ(c.result, Execute(c.path, c.verb));
        EXPECT_EQ(expected, TakeCalls());
        EXPECT_EQ(c.notice ? kCreationNotice : Log{}, TakePosted());
    }
}

struct RefusalCase {
    const char* name;
    HRESULT hr;
    VARIANT_BOOL ok;
};

TEST_F(ExecuteTest, CreationIsNoticedWhateverTheEngineAnswered) {
    const RefusalCase refusals[] = {
        {"failed", E_FAIL, VARIANT_TRUE},
        {"ok 0", S_OK, VARIANT_FALSE},
        {"ok 1", S_OK, 1},
    };
    for (const RefusalCase& r : refusals) {
        SCOPED_TRACE(r.name);
        engine.ScriptChange("CreateAccount", r.hr, r.ok);
        engine.ScriptChange("CreateBucket", r.hr, r.ok);
        EXPECT_EQ(FS_EXEC_OK, Execute("\\Add new account(F7)", "open"));
        EXPECT_EQ(FS_EXEC_OK, Execute("\\work\\Create new bucket(F7)", "open"));
        EXPECT_EQ((Log{"CreateAccount ||", "CreateBucket work||"}), TakeCalls());
        EXPECT_EQ((Log{kCreationNotice[0], kCreationNotice[0]}), TakePosted());
    }
    engine.ScriptEnd("ShowRootProperties", E_FAIL);
    EXPECT_EQ(FS_EXEC_OK, Execute("\\", "properties"));
    EXPECT_EQ(Log{"ShowRootProperties"}, TakeCalls());
}

TEST_F(ExecuteTest, PathsThatCannotBeParsedAreAnErrorAndTouchNothing) {
    const std::string tooLong(kRemoteTextLimit + 1, 'x');
    for (const std::string& path : {"\\" + tooLong, "\\work\\" + tooLong, "\\work\\photos\\" + tooLong,
                                    "\\" + tooLong + "\\Create new bucket(F7)"}) {
        for (const char* verb : {"open", "properties", "chmod 755"}) {
            SCOPED_TRACE(std::string(verb) + " on a path of " + std::to_string(path.size()));
            EXPECT_EQ(FS_EXEC_ERROR, Execute(path.c_str(), verb));
        }
    }
    EXPECT_EQ(FS_EXEC_ERROR, Execute(nullptr, "open"));
    EXPECT_EQ(Log{}, TakeCalls());
    EXPECT_EQ(Log{}, TakePosted());
}

TEST_F(ExecuteTest, WithoutAnEngineOpenStillHandsFilesBackAndNothingIsPosted) {
    State().engine = nullptr;
    EXPECT_EQ(FS_EXEC_YOURSELF, Execute("\\work\\photos\\a.jpg", "open"));
    EXPECT_EQ(FS_EXEC_OK, Execute("\\Add new account(F7)", "open"));
    EXPECT_EQ(FS_EXEC_OK, Execute("\\work\\Create new bucket(F7)", "open"));
    EXPECT_EQ(FS_EXEC_OK, Execute("\\", "properties"));
    EXPECT_EQ(FS_EXEC_OK, Execute("\\work", "properties"));
    EXPECT_EQ(Log{}, TakeCalls());
    EXPECT_EQ(Log{}, TakePosted());
}

TEST_F(ExecuteTest, CreationAndPropertiesUseTheirOwnEngineSlots) {
    SlotTableEngine slots;
    State().engine = slots.AsEngine();
    EXPECT_EQ(FS_EXEC_OK, Execute("\\Add new account(F7)", "open"));
    EXPECT_EQ(FS_EXEC_OK, Execute("\\work\\Create new bucket(F7)", "open"));
    EXPECT_EQ(FS_EXEC_OK, Execute("\\", "properties"));
    EXPECT_EQ(FS_EXEC_OK, Execute("\\work", "properties"));
    ASSERT_EQ(4u, slots.calls.size());
    EXPECT_EQ(13, slots.calls[0].slot);
    EXPECT_EQ("|||0", slots.calls[0].args);
    EXPECT_EQ(16, slots.calls[1].slot);
    EXPECT_EQ("work|||0", slots.calls[1].args);
    EXPECT_EQ(25, slots.calls[2].slot);
    EXPECT_EQ(26, slots.calls[3].slot);
    EXPECT_EQ((Log{kCreationNotice[0], kCreationNotice[0]}), TakePosted());
}

}  // namespace
