// FsMkDir, FsRemoveDir, FsDeleteFile and FsRenMovFile through their exports,
// against the recording fake engine.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/support/plugin_fixture.h"
#include "tests/support/slot_table_engine.h"
#include "tests/support/thread_locale.h"

namespace {

using Log = std::vector<std::string>;

constexpr int kPluginNumber = 7;
constexpr int kNoRemoteInfo = -1;

// The host's progress callback. It writes into the engine's call log, so
// reports and engine calls appear in one list in the order they happened.
Log* g_progressLog = nullptr;
int g_progressAnswer = 0;

int __stdcall RecordProgress(int pluginNr, char* source, char* target, int percent) {
    g_progressLog->push_back("Progress " + std::to_string(pluginNr) + " " + source + " " + target +
                             " " + std::to_string(percent));
    return g_progressAnswer;
}

class NamespaceTest : public PluginTest {
protected:
    void SetUp() override {
        PluginTest::SetUp();
        State().pluginNumber = kPluginNumber;
        State().progressProc = &RecordProgress;
        g_progressLog = &engine.calls;
        g_progressAnswer = 0;
    }
    void TearDown() override {
        g_progressLog = nullptr;
        PluginTest::TearDown();
    }

    // Scripts the engine to agree once to each engine call of `expected`.
    void AgreeTo(const Log& expected) {
        for (const std::string& call : expected) {
            if (OperationOf(call) != "Progress") engine.ScriptChange(OperationOf(call), S_OK, VARIANT_TRUE);
        }
    }

    // Renames and copies go into a folder known to be empty unless a test
    // asks the plugin to look for itself.
    bool knownEmpty = true;

    int RenMov(const char* oldName, const char* newName, BOOL move, int attr = 0,
               BOOL overWrite = FALSE) {
        RemoteInfoStruct info{0xdeadbeef, 0xdeadbeef, {0xdeadbeef, 0xdeadbeef}, attr};
        if (knownEmpty && newName != nullptr) KnowFolderEmpty(newName);
        return FsRenMovFile(HostText(oldName), HostText(newName), move, overWrite,
                            attr == kNoRemoteInfo ? nullptr : &info);
    }
};

using BoolExport = BOOL(__stdcall*)(char*);

struct DirectoryCase {
    const char* exportName;
    BoolExport call;
    const char* path;
    const char* engineCall;  // the one call expected, or nullptr for none
    BOOL result;
};

const DirectoryCase kDirectoryTable[] = {
    {"FsMkDir", FsMkDir, "\\newacct", "CreateAccount newacct||", TRUE},
    {"FsMkDir", FsMkDir, "\\work\\newbucket", "CreateBucket work|newbucket|", TRUE},
    {"FsMkDir", FsMkDir, "\\work\\photos\\", "CreateBucket work|photos|", TRUE},
    {"FsMkDir", FsMkDir, "\\work\\photos\\2009", "CreateFolder work|photos|2009", TRUE},
    {"FsMkDir", FsMkDir, "\\work\\photos\\2009\\may", "CreateFolder work|photos|2009\\may", TRUE},
    {"FsMkDir", FsMkDir, "\\", "CreateFolder ||", TRUE},
    {"FsMkDir", FsMkDir, "", "CreateFolder ||", TRUE},
    // No placeholder test when making a directory: the name goes to the engine.
    {"FsMkDir", FsMkDir, "\\Add new account(F7)", "CreateAccount Add new account(F7)||", TRUE},
    {"FsMkDir", FsMkDir, nullptr, nullptr, FALSE},

    {"FsRemoveDir", FsRemoveDir, "\\work", "DeleteAccount work", TRUE},
    {"FsRemoveDir", FsRemoveDir, "\\work\\photos", "DeleteBucket work|photos|", TRUE},
    {"FsRemoveDir", FsRemoveDir, "\\work\\photos\\2009", "DeleteObject work|photos|2009/", TRUE},
    {"FsRemoveDir", FsRemoveDir, "\\work\\photos\\2009\\may", "DeleteObject work|photos|2009\\may/",
     TRUE},
    // The host's text is taken as it came: a "/" already there is not folded.
    {"FsRemoveDir", FsRemoveDir, "\\work\\photos\\old/", "DeleteObject work|photos|old//", TRUE},
    {"FsRemoveDir", FsRemoveDir, "\\", nullptr, FALSE},
    {"FsRemoveDir", FsRemoveDir, "", nullptr, FALSE},
    {"FsRemoveDir", FsRemoveDir, "\\Add new account(F7)", "DeleteAccount Add new account(F7)", TRUE},
    // A folder goes through FsDeleteFile, whose placeholder rule applies.
    {"FsRemoveDir", FsRemoveDir, "\\work\\Create new bucket(F7)\\x", nullptr, TRUE},
    {"FsRemoveDir", FsRemoveDir, nullptr, nullptr, FALSE},

    {"FsDeleteFile", FsDeleteFile, "\\work\\photos\\2009\\a.jpg",
     "DeleteObject work|photos|2009\\a.jpg", TRUE},
    {"FsDeleteFile", FsDeleteFile, "\\work", "DeleteObject work||", TRUE},
    {"FsDeleteFile", FsDeleteFile, "\\work\\photos", "DeleteObject work|photos|", TRUE},
    {"FsDeleteFile", FsDeleteFile, "\\Add new account(F7)", nullptr, TRUE},
    {"FsDeleteFile", FsDeleteFile, "\\Create new bucket(F7)", nullptr, TRUE},
    {"FsDeleteFile", FsDeleteFile, "\\work\\Create new bucket(F7)", nullptr, TRUE},
    {"FsDeleteFile", FsDeleteFile, "\\work\\photos\\Add new account(F7)", nullptr, TRUE},
    {"FsDeleteFile", FsDeleteFile, "\\add new account(f7)", "DeleteObject add new account(f7)||", TRUE},
    {"FsDeleteFile", FsDeleteFile, nullptr, nullptr, FALSE},
};

TEST_F(NamespaceTest, EachDepthReachesItsOwnEngineOperation) {
    for (const DirectoryCase& c : kDirectoryTable) {
        SCOPED_TRACE(std::string(c.exportName) + " " + (c.path ? c.path : "(null)"));
        const Log expected = c.engineCall ? Log{c.engineCall} : Log{};
        AgreeTo(expected);

        EXPECT_EQ(c.result, c.call(HostText(c.path)));
        EXPECT_EQ(expected, TakeCalls());
    }
}

// One engine operation reached through an export, with what the export
// returns when the engine agrees and when it does not.
struct ChangeOperation {
    const char* engineCall;
    std::function<int()> call;
    int agreed;
    int refused;
};

struct EngineAnswer {
    const char* name;
    HRESULT hr;
    VARIANT_BOOL ok;
    bool leaveOk;
    bool agreed;
};

const EngineAnswer kEngineAnswers[] = {
    {"S_OK, ok -1", S_OK, VARIANT_TRUE, false, true},
    {"S_FALSE, ok -1", S_FALSE, VARIANT_TRUE, false, true},
    {"S_OK, ok 1", S_OK, 1, false, false},
    {"S_OK, ok 0", S_OK, VARIANT_FALSE, false, false},
    {"E_FAIL, ok -1", E_FAIL, VARIANT_TRUE, false, false},
    {"E_ACCESSDENIED, ok 0", E_ACCESSDENIED, VARIANT_FALSE, false, false},
    {"S_OK, ok never written", S_OK, VARIANT_TRUE, true, false},
};

TEST_F(NamespaceTest, OnlyANonNegativeResultWithOkMinusOneIsSuccess) {
    const std::vector<ChangeOperation> operations = {
        {"CreateAccount a||", [] { return FsMkDir(HostText("\\a")); }, TRUE, FALSE},
        {"CreateBucket a|b|", [] { return FsMkDir(HostText("\\a\\b")); }, TRUE, FALSE},
        {"CreateFolder a|b|c", [] { return FsMkDir(HostText("\\a\\b\\c")); }, TRUE, FALSE},
        {"DeleteAccount a", [] { return FsRemoveDir(HostText("\\a")); }, TRUE, FALSE},
        {"DeleteBucket a|b|", [] { return FsRemoveDir(HostText("\\a\\b")); }, TRUE, FALSE},
        {"DeleteObject a|b|c/", [] { return FsRemoveDir(HostText("\\a\\b\\c")); }, TRUE, FALSE},
        {"DeleteObject a|b|c", [] { return FsDeleteFile(HostText("\\a\\b\\c")); }, TRUE, FALSE},
        {"RenameAccount a z", [this] { return RenMov("\\a", "\\z", TRUE); }, FS_FILE_OK,
         FS_FILE_READERROR},
        {"CopyObject a|b|c a|b|d 1", [this] { return RenMov("\\a\\b\\c", "\\a\\b\\d", TRUE); },
         FS_FILE_OK, FS_FILE_READERROR},
        {"CopyFolder a|b|c a|b|d 0",
         [this] { return RenMov("\\a\\b\\c", "\\a\\b\\d", FALSE, FILE_ATTRIBUTE_DIRECTORY); },
         FS_FILE_OK, FS_FILE_READERROR},
    };
    for (const ChangeOperation& operation : operations) {
        for (const EngineAnswer& answer : kEngineAnswers) {
            SCOPED_TRACE(std::string(operation.engineCall) + " answered " + answer.name);
            Answer scripted;
            scripted.hr = answer.hr;
            scripted.ok = answer.ok;
            scripted.leaveOk = answer.leaveOk;
            engine.Script(OperationOf(operation.engineCall), scripted);

            EXPECT_EQ(answer.agreed ? operation.agreed : operation.refused, operation.call());
            EXPECT_EQ(Log{operation.engineCall}, TakeCalls());
        }
    }
}

struct RenameCase {
    const char* oldName;
    const char* newName;
    BOOL move;
    int attr;  // RemoteInfo.Attr, or kNoRemoteInfo for a null RemoteInfo
    Log log;
    int result;
};

TEST_F(NamespaceTest, RenameMoveAndCopyCheckPathsInOrderThenCallTheEngine) {
    const std::vector<RenameCase> cases = {
        // Identical paths, checked first.
        {"\\work\\photos\\a.jpg", "\\work\\photos\\a.jpg", TRUE, 0, {}, FS_FILE_OK},
        {"\\work\\photos\\a", "\\work\\photos\\a\\", TRUE, 0, {}, FS_FILE_OK},
        {"\\Add new account(F7)", "\\Add new account(F7)", TRUE, 0, {}, FS_FILE_OK},
        {"", "", FALSE, 0, {}, FS_FILE_OK},
        // Placeholders in any position of either path, before depths are compared.
        {"\\Add new account(F7)", "\\work", TRUE, 0, {}, FS_FILE_NOTSUPPORTED},
        {"\\work\\pics", "\\work\\Create new bucket(F7)", TRUE, 0, {}, FS_FILE_NOTSUPPORTED},
        {"\\work\\photos\\a", "\\work\\photos\\Create new bucket(F7)", TRUE, 0, {}, FS_FILE_NOTSUPPORTED},
        {"\\Add new account(F7)", "\\work\\photos", TRUE, 0, {}, FS_FILE_NOTSUPPORTED},
        // Different depths.
        {"\\work\\photos", "\\work\\photos\\old", TRUE, 0, {}, FS_FILE_READERROR},
        {"\\work\\photos\\a.jpg", "\\work", TRUE, 0, {}, FS_FILE_READERROR},
        // Accounts: renamed; letter case alone makes a different name.
        {"\\work", "\\play", TRUE, 0, {"RenameAccount work play"}, FS_FILE_OK},
        {"\\work", "\\Work", TRUE, 0, {"RenameAccount work Work"}, FS_FILE_OK},
        // Buckets: within an account or to another one, with both full records.
        {"\\work\\photos", "\\work\\pics", FALSE, 0,
         {"Progress 7 photos pics 0", "CopyBucket work|photos| work|pics| 0", "Progress 7 photos pics 100"},
         FS_FILE_OK},
        {"\\work\\photos", "\\play\\photos", TRUE, 0,
         {"Progress 7 photos photos 0", "CopyBucket work|photos| play|photos| 1",
          "Progress 7 photos photos 100"},
         FS_FILE_OK},
        // A placeholder name in other letter case is an ordinary name.
        {"\\work\\pics", "\\work\\create new bucket(f7)", TRUE, 0,
         {"Progress 7 pics create new bucket(f7) 0",
          "CopyBucket work|pics| work|create new bucket(f7)| 1",
          "Progress 7 pics create new bucket(f7) 100"},
         FS_FILE_OK},
        // Objects: a folder by the directory bit, else a file; Move as given.
        {"\\work\\photos\\2009", "\\work\\photos\\2010", TRUE, 0x10,
         {"CopyFolder work|photos|2009 work|photos|2010 1"}, FS_FILE_OK},
        {"\\work\\photos\\2009", "\\work\\photos\\2010", FALSE, 0x30,
         {"CopyFolder work|photos|2009 work|photos|2010 0"}, FS_FILE_OK},
        {"\\work\\photos\\a.jpg", "\\play\\pics\\b.jpg", FALSE, 0x20,
         {"CopyObject work|photos|a.jpg play|pics|b.jpg 0"}, FS_FILE_OK},
        {"\\work\\photos\\a.jpg", "\\work\\photos\\b.jpg", TRUE, 0,
         {"CopyObject work|photos|a.jpg work|photos|b.jpg 1"}, FS_FILE_OK},
        {"\\work\\photos\\a.jpg", "\\work\\photos\\b.jpg", 2, kNoRemoteInfo,
         {"CopyObject work|photos|a.jpg work|photos|b.jpg 2"}, FS_FILE_OK},
        // Null names.
        {nullptr, "\\work", TRUE, 0, {}, FS_FILE_READERROR},
        {"\\work", nullptr, TRUE, 0, {}, FS_FILE_READERROR},
    };
    for (const RenameCase& c : cases) {
        // OverWrite is never read: both values behave the same.
        for (const BOOL overWrite : {FALSE, TRUE}) {
            SCOPED_TRACE(std::string(c.oldName ? c.oldName : "(null)") + " -> " +
                         (c.newName ? c.newName : "(null)") + " move " + std::to_string(c.move) +
                         " overwrite " + std::to_string(overWrite));
            AgreeTo(c.log);

            EXPECT_EQ(c.result, RenMov(c.oldName, c.newName, c.move, c.attr, overWrite));
            EXPECT_EQ(c.log, TakeCalls());
        }
    }
}

TEST_F(NamespaceTest, CopyingAnAccountIsRefusedAndLeavesTheSourceInPlace) {
    EXPECT_EQ(FS_FILE_NOTSUPPORTED, RenMov("\\work", "\\play", FALSE));
    EXPECT_EQ(FS_FILE_NOTSUPPORTED, RenMov("\\work", "\\play", FALSE, 0, TRUE));
    EXPECT_EQ(Log{}, TakeCalls());

    // Refused without asking the engine, so also when there is none.
    State().engine = nullptr;
    EXPECT_EQ(FS_FILE_NOTSUPPORTED, RenMov("\\work", "\\play", FALSE));

    State().engine = &engine;
    AgreeTo({"RenameAccount work play"});
    EXPECT_EQ(FS_FILE_OK, RenMov("\\work", "\\play", TRUE));
    EXPECT_EQ(Log{"RenameAccount work play"}, TakeCalls());
}

struct BucketCopyCase {
    const char* name;
    HRESULT hr;
    VARIANT_BOOL ok;
    Log log;
    int result;
};

TEST_F(NamespaceTest, BucketCopyReportsStartAndOnlyAnEngineThatDidNotFailReportsTheEnd) {
    const Log started = {"Progress 7 photos pics 0", "CopyBucket work|photos| work|pics| 1"};
    Log finished = started;
    finished.push_back("Progress 7 photos pics 100");
    const std::vector<BucketCopyCase> cases = {
        {"agreed", S_OK, VARIANT_TRUE, finished, FS_FILE_OK},
        {"ok 1", S_OK, 1, finished, FS_FILE_READERROR},
        {"ok 0", S_FALSE, VARIANT_FALSE, finished, FS_FILE_READERROR},
        {"failed", E_FAIL, VARIANT_TRUE, started, FS_FILE_READERROR},
        {"failed, ok 0", E_OUTOFMEMORY, VARIANT_FALSE, started, FS_FILE_READERROR},
    };
    // The host asks to abort at every report; a copy already running goes on.
    g_progressAnswer = 1;
    for (const BucketCopyCase& c : cases) {
        SCOPED_TRACE(c.name);
        engine.ScriptChange("CopyBucket", c.hr, c.ok);
        EXPECT_EQ(c.result, RenMov("\\work\\photos", "\\work\\pics", TRUE));
        EXPECT_EQ(c.log, TakeCalls());
    }

    // A host without a progress callback gets no reports.
    State().progressProc = nullptr;
    AgreeTo({"CopyBucket"});
    EXPECT_EQ(FS_FILE_OK, RenMov("\\work\\photos", "\\work\\pics", TRUE));
    EXPECT_EQ(Log{"CopyBucket work|photos| work|pics| 1"}, TakeCalls());
}

TEST_F(NamespaceTest, ComponentsThatDoNotFitAreRefusedBeforeTheEngine) {
    const std::string tooLong(kRemoteTextLimit + 1, 'x');
    for (const std::string& path :
         {"\\" + tooLong, "\\work\\" + tooLong, "\\work\\photos\\" + tooLong,
          "\\work\\photos\\" + std::string(200, 'a') + "\\" + std::string(100, 'b')}) {
        SCOPED_TRACE(path.substr(0, 20) + "... length " + std::to_string(path.size()));
        char* hostPath = HostText(path.c_str());
        EXPECT_EQ(FALSE, FsMkDir(hostPath));
        EXPECT_EQ(FALSE, FsRemoveDir(hostPath));
        EXPECT_EQ(FALSE, FsDeleteFile(hostPath));
        EXPECT_EQ(FS_FILE_READERROR, RenMov(path.c_str(), "\\work\\photos\\a", TRUE));
        EXPECT_EQ(FS_FILE_READERROR, RenMov("\\work\\photos\\a", path.c_str(), TRUE));
        EXPECT_EQ(Log{}, TakeCalls());
    }

    // A folder key that fits until FsRemoveDir adds its "/" is refused, not cut.
    const std::string longestKey(kRemoteTextLimit, 'k');
    EXPECT_EQ(FALSE, FsRemoveDir(HostText(("\\work\\photos\\" + longestKey).c_str())));
    EXPECT_EQ(Log{}, TakeCalls());
    const std::string fitsWithSlash(kRemoteTextLimit - 1, 'k');
    AgreeTo({"DeleteObject"});
    EXPECT_EQ(TRUE, FsRemoveDir(HostText(("\\work\\photos\\" + fitsWithSlash).c_str())));
    EXPECT_EQ(Log{"DeleteObject work|photos|" + fitsWithSlash + "/"}, TakeCalls());
}

struct NoEngineCase {
    const char* name;
    std::function<int()> call;
    int result;
};

TEST_F(NamespaceTest, WithoutAnEngineOnlyChecksThatNeedNoEngineCanSucceed) {
    const std::vector<NoEngineCase> cases = {
        {"make account", [] { return FsMkDir(HostText("\\work")); }, FALSE},
        {"make folder", [] { return FsMkDir(HostText("\\work\\photos\\2009")); }, FALSE},
        {"remove account", [] { return FsRemoveDir(HostText("\\work")); }, FALSE},
        {"remove bucket", [] { return FsRemoveDir(HostText("\\work\\photos")); }, FALSE},
        {"remove folder", [] { return FsRemoveDir(HostText("\\work\\photos\\2009")); }, FALSE},
        {"delete object", [] { return FsDeleteFile(HostText("\\work\\photos\\a")); }, FALSE},
        {"delete placeholder", [] { return FsDeleteFile(HostText("\\Add new account(F7)")); }, TRUE},
        {"rename onto itself", [this] { return RenMov("\\work\\a", "\\work\\a", TRUE); }, FS_FILE_OK},
        {"rename placeholder",
         [this] { return RenMov("\\work\\Create new bucket(F7)", "\\work\\b", TRUE); }, FS_FILE_NOTSUPPORTED},
        {"move across depths", [this] { return RenMov("\\work\\b", "\\work", TRUE); },
         FS_FILE_READERROR},
        {"rename account", [this] { return RenMov("\\work", "\\play", TRUE); }, FS_FILE_READERROR},
        {"copy bucket", [this] { return RenMov("\\work\\b", "\\work\\c", FALSE); }, FS_FILE_READERROR},
        {"move object", [this] { return RenMov("\\w\\b\\k", "\\w\\b\\l", TRUE); }, FS_FILE_READERROR},
    };
    State().engine = nullptr;
    for (const NoEngineCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.result, c.call());
    }
    // Not even the bucket copy's start is reported.
    EXPECT_EQ(Log{}, TakeCalls());
}

TEST_F(NamespaceTest, AccountNamesReachTheEngineInTheThreadsCodePage) {
    // In code page 932 the bytes 0x95 0x5C are one character, U+8868.
    const char kKanji[] = "\x95\x5C";
    const std::string kKanjiUtf8 = "\xE8\xA1\xA8";
    ThreadLocale japanese(JapaneseLocale());
    ASSERT_EQ(932u, ThreadCodePage());

    AgreeTo({"RenameAccount", "DeleteAccount"});
    EXPECT_EQ(FS_FILE_OK, RenMov((std::string("\\") + kKanji).c_str(),
                                 (std::string("\\a") + kKanji).c_str(), TRUE));
    EXPECT_EQ(TRUE, FsRemoveDir(HostText((std::string("\\") + kKanji).c_str())));
    EXPECT_EQ((Log{"RenameAccount " + kKanjiUtf8 + " a" + kKanjiUtf8, "DeleteAccount " + kKanjiUtf8}),
              TakeCalls());
}

struct SlotCase {
    const char* name;
    std::function<int()> call;
    int slot;
    const char* args;
};

// Through an engine whose table is built by hand: each export lands in the
// right slot, and each record arrives as 24 bytes on the stack.
TEST_F(NamespaceTest, ExportsCallTheEngineSlotsWithRecordsByValue) {
    SlotTableEngine slots;
    State().engine = slots.AsEngine();
    State().progressProc = nullptr;
    const std::vector<SlotCase> cases = {
        {"make account", [] { return FsMkDir(HostText("\\acct")); }, 13, "acct|||0"},
        {"make bucket", [] { return FsMkDir(HostText("\\acct\\b")); }, 16, "acct|b||0"},
        {"make folder", [] { return FsMkDir(HostText("\\acct\\b\\f")); }, 23, "acct|b|f|0"},
        {"remove account", [] { return FsRemoveDir(HostText("\\acct")); }, 15, "acct"},
        {"remove bucket", [] { return FsRemoveDir(HostText("\\acct\\b")); }, 18, "acct|b||0"},
        {"remove folder", [] { return FsRemoveDir(HostText("\\acct\\b\\f")); }, 21, "acct|b|f/|0"},
        {"delete object", [] { return FsDeleteFile(HostText("\\acct\\b\\k")); }, 21, "acct|b|k|0"},
        {"rename account", [this] { return RenMov("\\acct", "\\other", TRUE) == FS_FILE_OK; }, 14,
         "acct other"},
        {"copy bucket", [this] { return RenMov("\\acct\\b", "\\other\\c", FALSE) == FS_FILE_OK; }, 17,
         "acct|b||0 other|c||0 0"},
        {"move object", [this] { return RenMov("\\acct\\b\\k", "\\acct\\c\\l", TRUE) == FS_FILE_OK; },
         22, "acct|b|k|0 acct|c|l|0 1"},
        {"copy folder",
         [this] { return RenMov("\\acct\\b\\f", "\\acct\\b\\g", 3, FILE_ATTRIBUTE_DIRECTORY) == FS_FILE_OK; },
         24, "acct|b|f|0 acct|b|g|0 3"},
    };
    for (const SlotCase& c : cases) {
        SCOPED_TRACE(c.name);
        slots.calls.clear();
        EXPECT_EQ(TRUE, c.call());
        ASSERT_EQ(1u, slots.calls.size());
        EXPECT_EQ(c.slot, slots.calls[0].slot);
        EXPECT_EQ(c.args, slots.calls[0].args);
    }
}

}  // namespace
