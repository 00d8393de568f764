// The plugin module as the file manager uses it, through its exports, with
// the engine that FsInit created by ProgID from the registry.
#include <gtest/gtest.h>
#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"
#include "tests/support/thread_locale.h"

namespace {

struct NamespaceCase {
    const char* what;
    std::function<int(const WfxExports&)> call;
    int result;
    std::vector<std::string> added, removed;
};

std::function<int(const WfxExports&)> Delete(std::string path) {
    return [=](const WfxExports& fs) mutable { return fs.FsDeleteFile(&path[0]); };
}

std::function<int(const WfxExports&)> MkDir(std::string path) {
    return [=](const WfxExports& fs) mutable { return fs.FsMkDir(&path[0]); };
}

std::function<int(const WfxExports&)> RmDir(std::string path) {
    return [=](const WfxExports& fs) mutable { return fs.FsRemoveDir(&path[0]); };
}

std::function<int(const WfxExports&)> RenMov(std::string from, std::string to, BOOL move,
                                             int attributes = 0, BOOL overWrite = FALSE) {
    return [=](const WfxExports& fs) mutable {
        RemoteInfoStruct info = {1, 0, {}, attributes};
        return fs.FsRenMovFile(&from[0], &to[0], move, overWrite, &info);
    };
}

const std::vector<std::string> kPhotosMoved = {
    "play\\photos\\", "play\\photos\\2009\\", "play\\photos\\2009\\b.jpg",
    "play\\photos\\a.jpg", "play\\photos\\empty\\"};
const std::vector<std::string> kPhotos = {
    "work\\photos\\", "work\\photos\\2009\\", "work\\photos\\2009\\b.jpg",
    "work\\photos\\a.jpg", "work\\photos\\empty\\"};

// A key that climbs out of the store to the test's local folder.
constexpr char kOutside[] = "\\work\\photos\\..\\..\\..\\local\\victim.txt";

const NamespaceCase kNamespaceCases[] = {
    {"delete an object", Delete("\\work\\photos\\a.jpg"), TRUE, {}, {"work\\photos\\a.jpg"}},
    {"delete by a key with slashes", Delete("\\work\\photos\\2009/b.jpg"), TRUE, {},
     {"work\\photos\\2009\\b.jpg"}},
    {"delete a placeholder", Delete("\\work\\Create new bucket(F7)"), TRUE, {}, {}},
    {"make an account", MkDir("\\new"), TRUE, {"new\\"}, {}},
    {"make a bucket", MkDir("\\work\\new"), TRUE, {"work\\new\\"}, {}},
    {"make a folder", MkDir("\\work\\photos\\2010"), TRUE, {"work\\photos\\2010\\"}, {}},
    {"remove an account", RmDir("\\play"), TRUE, {}, {"play\\"}},
    {"remove a bucket", RmDir("\\work\\docs"), TRUE, {}, {"work\\docs\\"}},
    {"remove a folder", RmDir("\\work\\photos\\empty"), TRUE, {}, {"work\\photos\\empty\\"}},
    {"rename an account", RenMov("\\play", "\\fun", TRUE), FS_FILE_OK, {"fun\\"}, {"play\\"}},
    {"move an object", RenMov("\\work\\photos\\a.jpg", "\\work\\docs\\a.jpg", TRUE), FS_FILE_OK,
     {"work\\docs\\a.jpg"}, {"work\\photos\\a.jpg"}},
    {"copy an object into new folders",
     RenMov("\\work\\photos\\a.jpg", "\\work\\photos\\x\\c.jpg", FALSE), FS_FILE_OK,
     {"work\\photos\\x\\", "work\\photos\\x\\c.jpg"}, {}},
    {"copy a folder",
     RenMov("\\work\\photos\\2009", "\\work\\docs\\2009", FALSE, FILE_ATTRIBUTE_DIRECTORY),
     FS_FILE_OK, {"work\\docs\\2009\\", "work\\docs\\2009\\b.jpg"}, {}},
    {"move a bucket to another account", RenMov("\\work\\photos", "\\play\\photos", TRUE),
     FS_FILE_OK, kPhotosMoved, kPhotos},
    // Refusals leave the store as it was.
    {"delete a missing object", Delete("\\work\\photos\\missing.jpg"), FALSE, {}, {}},
    {"delete a folder as an object", Delete("\\work\\photos\\2009"), FALSE, {}, {}},
    {"delete a bucket as an object", Delete("\\work\\photos"), FALSE, {}, {}},
    {"delete outside the store", Delete(kOutside), FALSE, {}, {}},
    {"make an existing bucket", MkDir("\\work\\photos"), FALSE, {}, {}},
    {"make a folder at the root", MkDir("\\"), FALSE, {}, {}},
    {"name \"..\"", MkDir("\\.."), FALSE, {}, {}},
    {"name with a colon", MkDir("\\a:b"), FALSE, {}, {}},
    {"name with a wildcard", MkDir("\\work\\b*"), FALSE, {}, {}},
    {"name with a trailing dot", MkDir("\\work\\b."), FALSE, {}, {}},
    {"key with an empty part", MkDir("\\work\\photos\\x//y"), FALSE, {}, {}},
    {"bucket of a missing account", MkDir("\\nobody\\b"), FALSE, {}, {}},
    {"folder in a missing folder", MkDir("\\work\\photos\\x\\y"), FALSE, {}, {}},
    {"remove a full folder", RmDir("\\work\\photos\\2009"), FALSE, {}, {}},
    {"remove a full bucket", RmDir("\\work\\photos"), FALSE, {}, {}},
    {"remove a full account", RmDir("\\work"), FALSE, {}, {}},
    // Onto an existing entry only when the host says to overwrite; then the
    // engine replaces it.
    {"copy onto an object",
     RenMov("\\work\\photos\\2009\\b.jpg", "\\work\\photos\\a.jpg", FALSE), FS_FILE_EXISTS, {}, {}},
    {"copy onto an object, overwriting",
     RenMov("\\work\\photos\\2009\\b.jpg", "\\work\\photos\\A.JPG", FALSE, 0, TRUE), FS_FILE_OK, {}, {}},
    {"move a folder onto a folder, overwriting",
     RenMov("\\work\\photos\\2009", "\\work\\photos\\empty", TRUE, FILE_ATTRIBUTE_DIRECTORY, TRUE),
     FS_FILE_OK, {"work\\photos\\empty\\b.jpg"}, {"work\\photos\\2009\\", "work\\photos\\2009\\b.jpg"}},
    {"copy onto a folder in another letter case",
     RenMov("\\work\\photos\\a.jpg", "\\work\\photos\\EMPTY", FALSE), FS_FILE_EXISTS, {}, {}},
    {"copy a missing object", RenMov("\\work\\photos\\z", "\\work\\photos\\y", FALSE),
     FS_FILE_READERROR, {}, {}},
    {"copy outside the store", RenMov("\\work\\photos\\a.jpg", kOutside, FALSE), FS_FILE_READERROR,
     {}, {}},
    {"copy a folder into itself",
     RenMov("\\work\\photos\\2009", "\\work\\photos\\2009\\in", FALSE, FILE_ATTRIBUTE_DIRECTORY),
     FS_FILE_READERROR, {}, {}},
    {"rename onto an account", RenMov("\\work", "\\play", TRUE), FS_FILE_EXISTS, {}, {}},
    {"move a bucket onto a bucket", RenMov("\\work\\photos", "\\work\\docs", TRUE),
     FS_FILE_EXISTS, {}, {}},
};

TEST_F(PluginE2eTest, NamespaceChangesReachTheStoreAndMovesDeleteTheirSources) {
    WriteBytes(Local("victim.txt"), "keep me");
    for (const NamespaceCase& c : kNamespaceCases) {
        SCOPED_TRACE(c.what);
        ResetStore();
        EXPECT_EQ(c.result, c.call(Fs()));
        EXPECT_EQ(Changed(kSampleTree, c.added, c.removed), TreeOf(store_));
    }
    EXPECT_EQ("A", ReadBytes(Store("work\\photos\\a.jpg")));
    ResetStore();
    ASSERT_EQ(FS_FILE_OK, RenMov("\\work\\photos\\2009\\b.jpg", "\\work\\photos\\a.jpg", FALSE, 0,
                                 TRUE)(Fs()));
    EXPECT_EQ(ReadBytes(Store("work\\photos\\2009\\b.jpg")), ReadBytes(Store("work\\photos\\a.jpg")));
    EXPECT_EQ("keep me", ReadBytes(Local("victim.txt")));
}

// Letter case beyond ASCII: code page 1252 host texts, "\xE9t\xE9" (été) and
// "\xC9T\xC9" (ÉTÉ) name one folder of the disk.
TEST_F(PluginE2eTest, AFolderNamedInOtherLetterCaseOfAnyLetterIsTheSameFolder) {
    ThreadLocale locale(MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT));
    const std::wstring photos = std::wstring(store_.begin(), store_.end()) + L"\\work\\photos";
    ASSERT_EQ(0, SHCreateDirectoryExW(nullptr, (photos + L"\\\u00e9t\u00e9\\sub").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((photos + L"\\\u0153uf").c_str(), nullptr));
    HANDLE file = CreateFileW((photos + L"\\\u00e9t\u00e9\\x.txt").c_str(), GENERIC_WRITE, 0, nullptr,
                              CREATE_NEW, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    CloseHandle(file);
    const auto exists = [&](const wchar_t* relative) {
        return GetFileAttributesW((photos + relative).c_str()) != INVALID_FILE_ATTRIBUTES;
    };
    // Renamed only in letter case, with a file in it and without one: the
    // folder stays whole (Wine keeps the name as it was).
    EXPECT_EQ(FS_FILE_OK, RenMov("\\work\\photos\\\xE9t\xE9", "\\work\\photos\\\xC9T\xC9", TRUE,
                                 FILE_ATTRIBUTE_DIRECTORY)(Fs()));
    EXPECT_EQ(FS_FILE_OK, RenMov("\\work\\photos\\\x9C" "uf", "\\work\\photos\\\x8C" "UF", TRUE,
                                 FILE_ATTRIBUTE_DIRECTORY)(Fs()));
    EXPECT_TRUE(exists(L"\\\u00e9t\u00e9\\x.txt"));
    EXPECT_TRUE(exists(L"\\\u00e9t\u00e9\\sub"));
    EXPECT_TRUE(exists(L"\\\u0153uf"));
    // Copied into its own subfolder, named in other letter case: refused.
    EXPECT_EQ(FS_FILE_READERROR, RenMov("\\work\\photos\\\xE9t\xE9", "\\work\\photos\\\xC9T\xC9\\in",
                                        FALSE, FILE_ATTRIBUTE_DIRECTORY)(Fs()));
    EXPECT_FALSE(exists(L"\\\u00e9t\u00e9\\in"));
}

TEST_F(PluginE2eTest, OpeningAPlaceholderCreatesANamedEntryAndAsksForAReread) {
    const struct {
        const char* path;
        const char* verb;
        int result;
        std::vector<std::string> added;
        bool reread;
    } cases[] = {
        {"\\Add new account(F7)", "open", FS_EXEC_OK, {"account-1\\"}, true},
        {"\\play\\Create new bucket(F7)", "open", FS_EXEC_OK, {"play\\bucket-1\\"}, true},
        {"\\work\\photos\\a.jpg", "open", FS_EXEC_YOURSELF, {}, false},
        {"\\", "properties", FS_EXEC_OK, {}, false},
        {"\\work", "properties", FS_EXEC_OK, {}, false},
    };
    HWND window = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                                  nullptr);
    ASSERT_NE(nullptr, window);
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.verb) + " " + c.path);
        ResetStore();
        std::string path = c.path, verb = c.verb;
        EXPECT_EQ(c.result, Fs().FsExecuteFile(window, Text(path), Text(verb)));
        EXPECT_EQ(Changed(kSampleTree, c.added, {}), TreeOf(store_));
        MSG message = {};
        const bool posted = PeekMessageA(&message, window, WM_COMMAND, WM_COMMAND, PM_REMOVE);
        EXPECT_EQ(c.reread, posted);
        if (posted) {
            EXPECT_EQ(104u, message.wParam);
        }
    }
    DestroyWindow(window);
}

class PluginTransferTest : public PluginE2eTest {
protected:
    int Get(const std::string& remote, const std::string& local, int flags) {
        std::string remoteText = remote, localText = local;
        RemoteInfoStruct info = {};  // size 0: the engine copies whatever the object holds
        return Fs().FsGetFile(Text(remoteText), Text(localText), flags, &info);
    }
    int Put(const std::string& local, const std::string& remote, int flags) {
        std::string localText = local, remoteText = remote;
        return Fs().FsPutFile(Text(localText), Text(remoteText), flags);
    }
    // The reports of one transfer: 0 first, 100 last, from the calling thread.
    void ExpectCompleteReports(const std::string& source, const std::string& target) {
        ASSERT_GE(Reports().size(), 2u);
        EXPECT_EQ(0, Reports().front().percent);
        EXPECT_EQ(100, Reports().back().percent);
        EXPECT_EQ(source, Reports().back().source);
        EXPECT_EQ(target, Reports().back().target);
        for (const ProgressReport& report : Reports()) {
            EXPECT_EQ(GetCurrentThreadId(), report.thread);
        }
        Reports().clear();
    }
};

TEST_F(PluginTransferTest, DownloadAndUploadCopyTheBytesAndMovesRemoveTheSource) {
    ASSERT_NE(nullptr, Fs().FsGetFile);
    ASSERT_NE(nullptr, Fs().FsPutFile);
    MakeStore(kSampleStore);
    std::string bytes(300000, '\0');
    for (std::size_t at = 0; at < bytes.size(); ++at) bytes[at] = static_cast<char>(at % 251);
    WriteBytes(Local("up.bin"), bytes);

    EXPECT_EQ(FS_FILE_OK, Put(Local("up.bin"), "\\work\\photos\\new\\up.bin", 0));
    ExpectCompleteReports(Local("up.bin"), "\\work\\photos\\new\\up.bin");
    EXPECT_EQ(bytes, ReadBytes(Store("work\\photos\\new\\up.bin")));
    EXPECT_EQ(bytes, ReadBytes(Local("up.bin")));

    EXPECT_EQ(FS_FILE_OK, Get("\\work\\photos\\new\\up.bin", Local("down.bin"), FS_COPYFLAGS_MOVE));
    ExpectCompleteReports("\\work\\photos\\new\\up.bin", Local("down.bin"));
    EXPECT_EQ(bytes, ReadBytes(Local("down.bin")));
    EXPECT_FALSE(IsFile(Store("work\\photos\\new\\up.bin")));

    EXPECT_EQ(FS_FILE_OK, Put(Local("down.bin"), "\\work\\docs\\moved.bin", FS_COPYFLAGS_MOVE));
    EXPECT_EQ(bytes, ReadBytes(Store("work\\docs\\moved.bin")));
    EXPECT_FALSE(IsFile(Local("down.bin")));
}

TEST_F(PluginTransferTest, ExistingTargetsAreReplacedOnlyWithTheOverwriteFlag) {
    MakeStore(kSampleStore);
    WriteBytes(Local("a.jpg"), "local");
    EXPECT_EQ(FS_FILE_EXISTS, Get("\\work\\photos\\a.jpg", Local("a.jpg"), 0));
    EXPECT_EQ("local", ReadBytes(Local("a.jpg")));
    EXPECT_EQ(FS_FILE_EXISTS, Put(Local("a.jpg"), "\\work\\photos\\a.jpg", FS_COPYFLAGS_EXISTS_SAMECASE));
    // Without the host's hint the plugin looks for itself, in any letter case.
    EXPECT_EQ(FS_FILE_EXISTS, Put(Local("a.jpg"), "\\work\\photos\\A.jpg", 0));
    EXPECT_EQ("A", ReadBytes(Store("work\\photos\\a.jpg")));
    EXPECT_TRUE(Reports().empty()) << "a refused transfer reports nothing";

    EXPECT_EQ(FS_FILE_OK, Get("\\work\\photos\\a.jpg", Local("a.jpg"), FS_COPYFLAGS_OVERWRITE));
    EXPECT_EQ("A", ReadBytes(Local("a.jpg")));
    WriteBytes(Local("a.jpg"), "newer");
    EXPECT_EQ(FS_FILE_OK, Put(Local("a.jpg"), "\\work\\photos\\a.jpg",
                              FS_COPYFLAGS_EXISTS_SAMECASE | FS_COPYFLAGS_OVERWRITE));
    EXPECT_EQ("newer", ReadBytes(Store("work\\photos\\a.jpg")));
}

TEST_F(PluginTransferTest, RefusedTransfersWriteNothing) {
    MakeStore(kSampleStore);
    WriteBytes(Local("victim.txt"), "keep me");
    const struct {
        const char* what;
        std::function<int()> call;
    } refusals[] = {
        {"missing object", [&] { return Get("\\work\\photos\\zz", Local("zz"), 0); }},
        {"bucket", [&] { return Get("\\work\\photos", Local("zz"), 0); }},
        {"from outside the store", [&] { return Get(kOutside, Local("zz"), 0); }},
        {"missing local file", [&] { return Put(Local("zz"), "\\work\\photos\\zz", 0); }},
        {"missing bucket", [&] { return Put(Local("victim.txt"), "\\work\\nobucket\\v.txt", 0); }},
        {"onto a folder", [&] {
             return Put(Local("victim.txt"), "\\work\\photos\\2009", FS_COPYFLAGS_OVERWRITE);
         }},
        {"to outside the store", [&] { return Put(Local("victim.txt"), kOutside, 0); }},
    };
    for (const auto& refusal : refusals) {
        SCOPED_TRACE(refusal.what);
        EXPECT_EQ(FS_FILE_READERROR, refusal.call());
    }
    EXPECT_EQ(kSampleTree, TreeOf(store_));
    EXPECT_EQ((std::vector<std::string>{"victim.txt"}), TreeOf(local_));
    EXPECT_EQ("keep me", ReadBytes(Local("victim.txt")));
}

TEST_F(PluginTransferTest, AfterAnAbortTheNextTransferReportsOnlyItself) {
    SetEnvironmentVariableA("CORVANEL_THROTTLE_MS", "20");
    Restart();
    SetEnvironmentVariableA("CORVANEL_THROTTLE_MS", nullptr);
    MakeStore(kSampleStore);
    WriteBytes(Store("work\\photos\\slow.bin"), std::string(4 << 20, 's'));
    AbortAtReport(2);  // the first report during the relay
    EXPECT_EQ(FS_FILE_USERABORT, Get("\\work\\photos\\slow.bin", Local("slow.bin"), 0));
    AbortAtReport(0);
    Reports().clear();
    EXPECT_EQ(FS_FILE_OK, Get("\\work\\photos\\a.jpg", Local("a.jpg"), 0));
    EXPECT_EQ("A", ReadBytes(Local("a.jpg")));
    for (const ProgressReport& report : Reports()) {
        EXPECT_EQ(std::string::npos, report.target.find("slow")) << report.percent << "%";
    }
#ifdef _WIN64
    // corvanel.wfx64 ends the aborted copy with its helper and deletes the partial file.
    EXPECT_FALSE(IsFile(Local("slow.bin")));
#else
    // The aborted copy goes on in the engine; wait for it before the folder goes.
    for (int wait = 0; wait < 600 && ReadBytes(Local("slow.bin")).size() < (4u << 20); ++wait) {
        Sleep(50);
    }
#endif
}

TEST_F(PluginTransferTest, AQuarterGigabyteGoesUpAndComesBackIdentical) {
    constexpr std::size_t kChunk = 1 << 20;
    constexpr int kChunks = 256;
    {
        // Distinct bytes in every chunk, so a misplaced chunk shows.
        std::ofstream out(Local("large.bin"), std::ios::binary);
        std::unique_ptr<char[]> chunk(new char[kChunk]);
        UINT32 state = 2166136261u;
        for (int n = 0; n < kChunks; ++n) {
            for (std::size_t at = 0; at < kChunk; ++at) {
                state = state * 1664525u + 1013904223u;
                chunk[at] = static_cast<char>(state >> 24);
            }
            out.write(chunk.get(), kChunk);
        }
        ASSERT_TRUE(out.good());
    }
    MakeStore(kSampleStore);
    ASSERT_EQ(FS_FILE_OK, Put(Local("large.bin"), "\\work\\photos\\large.bin", 0));
    EXPECT_GT(Reports().size(), 2u);
    ExpectCompleteReports(Local("large.bin"), "\\work\\photos\\large.bin");
    EXPECT_TRUE(SameBytes(Local("large.bin"), Store("work\\photos\\large.bin")));

    ASSERT_EQ(FS_FILE_OK, Get("\\work\\photos\\large.bin", Local("back.bin"), 0));
    EXPECT_GT(Reports().size(), 2u);
    ExpectCompleteReports("\\work\\photos\\large.bin", Local("back.bin"));
    WIN32_FILE_ATTRIBUTE_DATA back;
    ASSERT_TRUE(GetFileAttributesExA(Local("back.bin").c_str(), GetFileExInfoStandard, &back));
    EXPECT_EQ(0u, back.nFileSizeHigh);
    EXPECT_EQ(static_cast<DWORD>(kChunks * kChunk), back.nFileSizeLow);  // 256 MiB
    EXPECT_TRUE(SameBytes(Local("large.bin"), Local("back.bin")));
    DeleteFileA(Local("large.bin").c_str());
    DeleteFileA(Local("back.bin").c_str());
    DeleteFileA(Store("work\\photos\\large.bin").c_str());
}

}  // namespace
