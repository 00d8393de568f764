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
        State().listingLevel = kLevelUntouched;
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
    PathLevel level;
};

const ExecuteCase kExecuteTable[] = {
    // open: placeholders start a creation with their field emptied.
    {"\\Add new account(F7)", "open", "CreateAccount ||", true, FS_EXEC_OK, PathLevel::Account},
    {"\\work\\Create new bucket(F7)", "open", "CreateBucket work||", true, FS_EXEC_OK, PathLevel::Bucket},
    {"\\work\\Create new bucket(F7)\\", "open", "CreateBucket work||", true, FS_EXEC_OK,
     PathLevel::Bucket},
    // The account placeholder wins whatever follows it.
    {"\\Add new account(F7)\\Create new bucket(F7)", "open",
     "CreateAccount |Create new bucket(F7)|", true, FS_EXEC_OK, PathLevel::Bucket},
    // open: everything else is the host's to download and open.
    {"\\work\\photos\\a.jpg", "open", nullptr, false, FS_EXEC_YOURSELF, PathLevel::Object},
    {"\\work", "open", nullptr, false, FS_EXEC_YOURSELF, PathLevel::Account},
    {"", "open", nullptr, false, FS_EXEC_YOURSELF, PathLevel::Root},
    {"\\Create new bucket(F7)", "open", nullptr, false, FS_EXEC_YOURSELF, PathLevel::Account},
    {"\\work\\Add new account(F7)", "open", nullptr, false, FS_EXEC_YOURSELF, PathLevel::Bucket},
    {"\\work\\photos\\Add new account(F7)", "open", nullptr, false, FS_EXEC_YOURSELF, PathLevel::Object},
    {"\\work\\photos\\Create new bucket(F7)", "open", nullptr, false, FS_EXEC_YOURSELF,
     PathLevel::Object},
    {"\\add new account(f7)", "open", nullptr, false, FS_EXEC_YOURSELF, PathLevel::Account},
    {"\\work\\create new bucket(f7)", "open", nullptr, false, FS_EXEC_YOURSELF, PathLevel::Bucket},
    // properties: only the root and accounts have them; placeholders are not special.
    {"\\", "properties", "ShowRootProperties", false, FS_EXEC_OK, PathLevel::Root},
    {"\\work", "properties", "ShowAccountProperties", false, FS_EXEC_OK, PathLevel::Account},
    {"\\Add new account(F7)", "properties", "ShowAccountProperties", false, FS_EXEC_OK,
     PathLevel::Account},
    {"\\work\\photos", "properties", nullptr, false, FS_EXEC_OK, PathLevel::Bucket},
    {"\\work\\photos\\a.jpg", "properties", nullptr, false, FS_EXEC_OK, PathLevel::Object},
    // Any other verb, letter case and spacing included, does nothing.
    {"\\Add new account(F7)", "Open", nullptr, false, FS_EXEC_OK, PathLevel::Account},
    {"\\work\\photos\\a.jpg", "open ", nullptr, false, FS_EXEC_OK, PathLevel::Object},
    {"\\", "Properties", nullptr, false, FS_EXEC_OK, PathLevel::Root},
    {"\\work\\photos\\a.jpg", "chmod 755", nullptr, false, FS_EXEC_OK, PathLevel::Object},
    {"\\work\\photos\\a.jpg", "quote SITE HELP", nullptr, false, FS_EXEC_OK, PathLevel::Object},
    {"\\Add new account(F7)", "", nullptr, false, FS_EXEC_OK, PathLevel::Account},
    {"\\", nullptr, nullptr, false, FS_EXEC_OK, PathLevel::Root},
};

TEST_F(ExecuteTest, VerbsAndPlaceholdersChooseTheEngineCallAndTheNotice) {
    for (const ExecuteCase& c : kExecuteTable) {
        SCOPED_TRACE(std::string(c.path) + " verb " + (c.verb ? c.verb : "(null)"));
        const Log expected = c.engineCall ? Log{c.engineCall} : Log{};
        if (c.engineCall) engine.Script(OperationOf(c.engineCall), Answer());
        State().listingLevel = kLevelUntouched;

        EXPECT_EQ(c.result, Execute(c.path, c.verb));
        EXPECT_EQ(expected, TakeCalls());
        EXPECT_EQ(c.notice ? kCreationNotice : Log{}, TakePosted());
        EXPECT_EQ(c.level, State().listingLevel);
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
    State().listingLevel = kLevelUntouched;
    EXPECT_EQ(FS_EXEC_ERROR, Execute(nullptr, "open"));
    EXPECT_EQ(kLevelUntouched, State().listingLevel) << "a null path has no level";
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
