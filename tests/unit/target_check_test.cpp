// The look before a change that could replace an entry: uploads and store
// copies answer FS_FILE_EXISTS for an existing target before any report or
// change, from the engine's listing or from what the plugin knows of the
// folder for kFolderKnownForMs (common/timing.h).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "plugin/target_check.h"
#include "tests/support/plugin_fixture.h"

namespace {

using Log = std::vector<std::string>;

constexpr char kFolder[] = "\\work\\photos\\2009";
constexpr char kTarget[] = "\\work\\photos\\2009\\a.jpg";
constexpr char kLocal[] = "C:\\corvanel-absent\\a.jpg";
constexpr char kListFolder[] = "FirstObject work|photos|2009";
constexpr char kUpload[] = "UploadObject C:\\corvanel-absent\\a.jpg work|photos|2009\\a.jpg";

ULONGLONG g_now = 1000000;
ULONGLONG WINAPI FakeClock() { return g_now; }
int g_reports = 0;
int __stdcall CountReports(int, char*, char*, int) { return ++g_reports, 0; }

class TargetCheckTest : public PluginTest {
protected:
    void SetUp() override {
        PluginTest::SetUp();
        progress.CreateEventSink(&engine);
        State().progressProc = &CountReports;
        State().clock = &FakeClock;
        g_reports = 0;
        // Transfers finish inside the engine call.
        engine.onCall = [this](const std::string& call) {
            if (OperationOf(call) == "UploadObject") engine.FireProgress(L"l", L"r", 100);
        };
    }
    void TearDown() override {
        progress.EventSink()->Disconnect();
        progress.EventSink()->Release();
        PluginTest::TearDown();
    }

    // A listing step that hands out an entry of this name, and the end.
    void ScriptListing(const char* first, const char* next, std::vector<std::wstring> names) {
        for (std::size_t i = 0; i < names.size(); ++i) {
            ItemValues entry;
            entry.name = names[i];
            engine.ScriptItem(i == 0 ? first : next, entry);
        }
        engine.ScriptEnd(names.empty() ? first : next);
    }
    void ScriptFolder(std::vector<std::wstring> names) {
        ScriptListing("FirstObject", "NextObject", std::move(names));
    }
    int Put(int flags = 0, const char* remote = kTarget) {
        return FsPutFile(HostText(kLocal), HostText(remote), flags);
    }
    int RenMov(const char* from, const char* to, BOOL move, BOOL overWrite = FALSE) {
        RemoteInfoStruct info{0, 0, {0, 0}, 0};
        return FsRenMovFile(HostText(from), HostText(to), move, overWrite, &info);
    }
    // The host lists `folder` to its end, as a panel shows it; the entries it saw.
    static int HostLists(const char* folder) {
        WIN32_FIND_DATAA found;
        const HANDLE listing = FsFindFirst(HostText(folder), &found);
        if (listing == INVALID_HANDLE_VALUE) return -1;
        int entries = 1;
        while (FsFindNext(listing, &found)) ++entries;
        EXPECT_EQ(0, FsFindClose(listing));
        return entries;
    }
    // The calls that listed the folder: the First and every Next.
    static Log Listed(const char* first, const char* next, int entries) {
        Log log{first};
        for (int i = 0; i < entries; ++i) log.push_back(std::string(next) + " 0");
        return log;
    }
    static Log Plus(Log log, const std::string& call) {
        log.push_back(call);
        return log;
    }
};

TEST_F(TargetCheckTest, UploadOntoAnExistingObjectIsRefusedBeforeAnyReportInAnyLetterCase) {
    for (const wchar_t* existing : {L"a.jpg", L"A.JPG"}) {
        GetPluginState().knowledge.Forget();
        ScriptFolder({L"b.jpg", existing});
        EXPECT_EQ(FS_FILE_EXISTS, Put());
        EXPECT_EQ(Listed(kListFolder, "NextObject", 2), TakeCalls());
    }
    EXPECT_EQ(0, g_reports);

    // The host's hint answers at once; the overwrite flag goes ahead unchecked.
    EXPECT_EQ(FS_FILE_EXISTS, Put(FS_COPYFLAGS_EXISTS_SAMECASE));
    engine.ScriptEnd("UploadObject");
    EXPECT_EQ(FS_FILE_OK, Put(FS_COPYFLAGS_OVERWRITE));
    EXPECT_EQ(Log{kUpload}, TakeCalls());
}

TEST_F(TargetCheckTest, StoreCopiesAndRenamesOntoAnExistingEntryAskFirstAtEveryDepth) {
    const struct {
        const char* from;
        const char* to;
        const char* first;
        const char* next;
        const wchar_t* existing;
        const char* change;
    } cases[] = {
        {"\\play", "\\work", "FirstAccount", "NextAccount", L"WORK", "RenameAccount play work"},
        {"\\play\\pics", "\\work\\photos", "FirstBucket work||", "NextBucket", L"photos",
         "CopyBucket play|pics| work|photos| 1"},
        {"\\work\\photos\\b.jpg", kTarget, kListFolder, "NextObject", L"a.jpg",
         "CopyObject work|photos|b.jpg work|photos|2009\\a.jpg 1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.to);
        GetPluginState().knowledge.Forget();
        const std::string first = OperationOf(c.first);
        ScriptListing(first.c_str(), c.next, {c.existing});
        EXPECT_EQ(FS_FILE_EXISTS, RenMov(c.from, c.to, TRUE));
        EXPECT_EQ(Listed(c.first, c.next, 1), TakeCalls());
        EXPECT_EQ(0, g_reports);

        engine.ScriptChange(OperationOf(c.change), S_OK, VARIANT_TRUE);
        EXPECT_EQ(FS_FILE_OK, RenMov(c.from, c.to, TRUE, /*overWrite=*/TRUE));
        EXPECT_EQ(Log{c.change}, TakeCalls());
        g_reports = 0;
    }
}

TEST_F(TargetCheckTest, ARenameInLetterCaseOnlyClashesOnlyWithASecondEntry) {
    ScriptListing("FirstAccount", "NextAccount", {L"work"});
    engine.ScriptChange("RenameAccount", S_OK, VARIANT_TRUE);
    EXPECT_EQ(FS_FILE_OK, RenMov("\\work", "\\Work", TRUE));
    EXPECT_EQ(Plus(Listed("FirstAccount", "NextAccount", 1), "RenameAccount work Work"), TakeCalls());

    GetPluginState().knowledge.Forget();
    ScriptListing("FirstAccount", "NextAccount", {L"work", L"Work"});
    EXPECT_EQ(FS_FILE_EXISTS, RenMov("\\work", "\\Work", TRUE));
    EXPECT_EQ(Listed("FirstAccount", "NextAccount", 2), TakeCalls());
}

TEST_F(TargetCheckTest, WhatIsKnownServesForTwoSecondsAndFollowsThePluginsOwnChanges) {
    // The host's own listing, read to its end, counts.
    ScriptFolder({L"b.jpg"});
    ASSERT_EQ(1, HostLists(kFolder));
    TakeCalls();

    engine.ScriptEnd("UploadObject");
    EXPECT_EQ(FS_FILE_OK, Put());
    EXPECT_EQ(Log{kUpload}, TakeCalls());
    EXPECT_EQ(FS_FILE_EXISTS, Put()) << "the upload just made";
    engine.ScriptChange("DeleteObject", S_OK, VARIANT_TRUE);
    EXPECT_TRUE(FsDeleteFile(HostText(kTarget)));
    engine.ScriptEnd("UploadObject");
    g_now += kFolderKnownForMs - 1;
    EXPECT_EQ(FS_FILE_OK, Put()) << "the deletion just made";
    EXPECT_EQ((Log{"DeleteObject work|photos|2009\\a.jpg", kUpload}), TakeCalls());

    // kFolderKnownForMs after its listing began, the folder is listed again.
    g_now += 1;
    ScriptFolder({L"a.jpg"});
    EXPECT_EQ(FS_FILE_EXISTS, Put(0, "\\work\\photos\\2009\\A.jpg"));
    EXPECT_EQ(Listed(kListFolder, "NextObject", 1), TakeCalls());

    // A change that failed leaves nothing known.
    engine.ScriptEnd("UploadObject", E_FAIL);
    EXPECT_EQ(FS_FILE_READERROR, Put(FS_COPYFLAGS_OVERWRITE, "\\work\\photos\\2009\\c.jpg"));
    TakeCalls();
    ScriptFolder({});
    engine.ScriptEnd("UploadObject");
    EXPECT_EQ(FS_FILE_OK, Put(0, "\\work\\photos\\2009\\c.jpg"));
    EXPECT_EQ(kListFolder, TakeCalls().front());
}

// A listing that took long teaches for kFolderKnownPerListingCost times what
// it cost, counted from its beginning, so that a store far away is not
// listed again and again during a burst of uploads; a subfolder's listing
// inside it, as a host that walks a tree makes it, is not part of that cost.
TEST_F(TargetCheckTest, WhatALongListingTaughtServesForTenTimesWhatItCost) {
    // Every step of a listing takes 200 ms.
    engine.onCall = [this](const std::string& call) {
        const std::string operation = OperationOf(call);
        if (operation == "FirstObject" || operation == "NextObject") g_now += 200;
        if (operation == "UploadObject") engine.FireProgress(L"l", L"r", 100);
    };
    WIN32_FIND_DATAA found;
    // The First, two Nexts and the end: 800 ms, known for
    // kFolderKnownPerListingCost times that from its start.
    const ULONGLONG began = g_now;
    ScriptFolder({L"b.jpg", L"c.jpg", L"d.jpg"});
    ASSERT_EQ(3, HostLists(kFolder));
    TakeCalls();
    g_now = began + kFolderKnownPerListingCost * 800 - 1;
    engine.ScriptEnd("UploadObject");
    EXPECT_EQ(FS_FILE_OK, Put());
    EXPECT_EQ(Log{kUpload}, TakeCalls()) << "answered from what is known";
    g_now = began + kFolderKnownPerListingCost * 800;
    ScriptFolder({L"a.jpg"});
    EXPECT_EQ(FS_FILE_EXISTS, Put());
    EXPECT_EQ(Listed(kListFolder, "NextObject", 1), TakeCalls()) << "listed again";

    // The folder's own First and end, 400 ms, around a subfolder's listing
    // of 3 s: known for kFolderKnownPerListingCost times 400 ms, not 3.4 s.
    const ULONGLONG outerBegan = g_now;
    ItemValues folder;
    folder.name = L"sub";
    folder.kind = 1;
    engine.ScriptItem("FirstObject", folder);
    const HANDLE outer = FsFindFirst(HostText(kFolder), &found);
    ASSERT_NE(INVALID_HANDLE_VALUE, outer);
    ScriptFolder({L"1", L"2", L"3", L"4", L"5", L"6", L"7", L"8", L"9", L"10", L"11", L"12", L"13", L"14"});
    ASSERT_EQ(14, HostLists("\\work\\photos\\2009\\sub"));
    engine.ScriptEnd("NextObject");
    EXPECT_FALSE(FsFindNext(outer, &found));
    FsFindClose(outer);
    TakeCalls();
    g_now = outerBegan + kFolderKnownPerListingCost * 400;
    ScriptFolder({L"sub"});
    engine.ScriptEnd("UploadObject");
    EXPECT_EQ(FS_FILE_OK, Put());
    EXPECT_EQ(Plus(Listed(kListFolder, "NextObject", 1), kUpload), TakeCalls());
}

// What is known follows the plugin's changes in the order they were made,
// over many looks and changes in every letter case.
TEST_F(TargetCheckTest, ChangesBeforeAndAfterTheNamesAreCountedAreFollowedInOrder) {
    ScriptFolder({L"b.jpg"});
    ASSERT_EQ(1, HostLists(kFolder));
    TakeCalls();
    const auto path = [](const std::string& leaf) { return std::string(kFolder) + "\\" + leaf; };
    engine.ScriptEnd("UploadObject");
    EXPECT_EQ(FS_FILE_OK, Put(0, path("keep.jpg").c_str()));
    std::vector<std::string> gone;
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE(round);
        const std::string name = path("n" + std::to_string(round) + ".jpg");
        const std::string other = path("N" + std::to_string(round) + ".JPG");
        // A deletion of a name that is not known counts for nothing.
        engine.ScriptChange("DeleteObject", S_OK, VARIANT_TRUE);
        EXPECT_TRUE(FsDeleteFile(HostText(name.c_str())));
        engine.ScriptEnd("UploadObject");
        EXPECT_EQ(FS_FILE_OK, Put(0, name.c_str()));
        EXPECT_EQ(FS_FILE_EXISTS, Put(0, other.c_str())) << "the same name in other letter case";
        engine.ScriptChange("DeleteObject", S_OK, VARIANT_TRUE);
        EXPECT_TRUE(FsDeleteFile(HostText(name.c_str())));
        engine.ScriptEnd("UploadObject");
        EXPECT_EQ(FS_FILE_OK, Put(0, other.c_str()));
        EXPECT_EQ(FS_FILE_EXISTS, Put(0, name.c_str()));
        engine.ScriptChange("DeleteObject", S_OK, VARIANT_TRUE);
        EXPECT_TRUE(FsDeleteFile(HostText(other.c_str())));
        EXPECT_EQ(FS_FILE_EXISTS, Put(0, path("B.JPG").c_str()));
        gone.push_back(name);
        g_now += 100;  // all well within what the listing serves
    }
    // Every change followed, the first ones too.
    EXPECT_EQ(FS_FILE_EXISTS, Put(0, path("KEEP.jpg").c_str()));
    for (const std::string& name : gone) {
        engine.ScriptEnd("UploadObject");
        EXPECT_EQ(FS_FILE_OK, Put(0, name.c_str())) << name;
    }
    for (const std::string& call : TakeCalls()) EXPECT_NE("FirstObject", OperationOf(call));
}

TEST_F(TargetCheckTest, AListingThatAChangeOverlapsTeachesNothing) {
    // The host lists the folder while its other thread uploads into it: the
    // engine's enumeration may have been taken before the new object came.
    ScriptFolder({L"b.jpg"});
    WIN32_FIND_DATAA found;
    const HANDLE listing = FsFindFirst(HostText(kFolder), &found);
    ASSERT_NE(INVALID_HANDLE_VALUE, listing);
    engine.ScriptEnd("UploadObject");
    EXPECT_EQ(FS_FILE_OK, Put(FS_COPYFLAGS_OVERWRITE));
    EXPECT_FALSE(FsFindNext(listing, &found));
    EXPECT_EQ(0, FsFindClose(listing));
    TakeCalls();

    // So the next upload of that name looks for itself, and is told.
    ScriptFolder({L"a.jpg", L"b.jpg"});
    EXPECT_EQ(FS_FILE_EXISTS, Put());
    EXPECT_EQ(Listed(kListFolder, "NextObject", 2), TakeCalls());

    // A change under way from before a listing began until after it ended
    // makes the plugin forget that listing once the change ends.
    ScriptFolder({L"b.jpg"});
    const HANDLE first = FsFindFirst(HostText(kFolder), &found);
    EXPECT_FALSE(FsFindNext(first, &found));
    EXPECT_EQ(0, FsFindClose(first));
    {
        PlannedChange upload(GetPluginState().knowledge, kTarget, PlannedChange::Effect::Adds);
        ScriptFolder({L"b.jpg"});
        const HANDLE second = FsFindFirst(HostText(kFolder), &found);
        ASSERT_NE(INVALID_HANDLE_VALUE, second);
        EXPECT_FALSE(FsFindNext(second, &found));
        EXPECT_EQ(0, FsFindClose(second));
        upload.Succeeded();
    }
    TakeCalls();
    ScriptFolder({L"a.jpg", L"b.jpg"});
    EXPECT_EQ(FS_FILE_EXISTS, Put());
    EXPECT_EQ(Listed(kListFolder, "NextObject", 2), TakeCalls());
}

TEST_F(TargetCheckTest, AFolderThatCannotBeListedIsFreeOnlyWhenItsParentListsWithoutIt) {
    engine.ScriptEnd("FirstObject", HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND));
    ScriptListing("FirstObject", "NextObject", {L"2008"});
    engine.ScriptEnd("UploadObject");
    EXPECT_EQ(FS_FILE_OK, Put());
    EXPECT_EQ((Log{kListFolder, "FirstObject work|photos|", "NextObject 0", kUpload}), TakeCalls());
    g_reports = 0;

    GetPluginState().knowledge.Forget();
    engine.ScriptEnd("FirstObject", E_FAIL);
    ScriptListing("FirstObject", "NextObject", {L"2009"});
    EXPECT_EQ(FS_FILE_READERROR, Put()) << "there, but not listable";
    GetPluginState().knowledge.Forget();
    engine.ScriptEnd("FirstObject", E_FAIL);
    EXPECT_EQ(FS_FILE_READERROR, Put(0, "\\work\\photos\\a.jpg")) << "a bucket that does not list";
    EXPECT_EQ(0, g_reports);
}

}  // namespace
