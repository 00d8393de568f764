// Browsing the registered engine's store through FsFindFirst and FsFindNext:
// one listing at a time, folder trees walked depth first as file managers
// walk them, and listings on one thread while another uploads.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/unique_handle.h"
#include "tests/e2e/e2e_support.h"
#include "tests/support/worker_thread.h"

namespace {

struct Listing {
    bool opened;
    DWORD lastError;  // after a failed FsFindFirst
    std::vector<std::string> entries;  // "name|attributes|size"
};

std::string Describe(const WIN32_FIND_DATAA& entry) {
    const ULONGLONG size = (static_cast<ULONGLONG>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
    return std::string(entry.cFileName) + "|" + std::to_string(entry.dwFileAttributes) + "|" +
           std::to_string(size);
}

class ListingE2eTest : public PluginE2eTest {
protected:
    Listing List(std::string path, std::vector<WIN32_FIND_DATAA>* found = nullptr) {
        Listing listing = {false, 0, {}};
        WIN32_FIND_DATAA entry;
        SetLastError(0xdeadbeef);
        HANDLE handle = Fs().FsFindFirst(Text(path), &entry);
        if (handle == INVALID_HANDLE_VALUE) {
            listing.lastError = GetLastError();
            return listing;
        }
        listing.opened = true;
        do {
            listing.entries.push_back(Describe(entry));
            if (found != nullptr) found->push_back(entry);
        } while (Fs().FsFindNext(handle, &entry));
        EXPECT_EQ(0, Fs().FsFindClose(handle));
        return listing;
    }

    // Every entry below `path`, as TreeOf names them, listed the way a file
    // manager builds a folder tree: a subfolder's listing opens and ends
    // inside its parent's, before the parent's next entry.
    void Walk(const std::string& path, const std::string& relative, std::vector<std::string>* tree) {
        std::string text = path;
        WIN32_FIND_DATAA entry;
        const HANDLE handle = Fs().FsFindFirst(Text(text), &entry);
        if (handle == INVALID_HANDLE_VALUE) return;
        do {
            const std::string name = relative + entry.cFileName;
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
                tree->push_back(name);
                continue;
            }
            tree->push_back(name + "\\");
            Walk(path + (path == "\\" ? "" : "\\") + entry.cFileName, name + "\\", tree);
        } while (Fs().FsFindNext(handle, &entry));
        EXPECT_EQ(0, Fs().FsFindClose(handle));
    }
    std::vector<std::string> WalkedTree(const std::string& path) {
        std::vector<std::string> tree;
        Walk(path, "", &tree);
        std::sort(tree.begin(), tree.end());
        return tree;
    }
};

TEST_F(ListingE2eTest, ShowsTheStoreWithDirectoryMarksSizesAndPlaceholders) {
    ASSERT_NE(nullptr, Fs().FsFindFirst);
    ASSERT_NE(nullptr, Fs().FsFindNext);
    ASSERT_NE(nullptr, Fs().FsFindClose);
    EXPECT_EQ((std::vector<std::string>{"Add new account(F7)|128|0"}), List("\\").entries);
    MakeStore(kSampleStore);
    WriteBytes(Store("work\\photos\\2009\\b.jpg"), std::string(70000, 'b'));
    const struct {
        const char* path;
        bool opened;
        DWORD lastError;
        std::vector<std::string> entries;
    } cases[] = {
        {"\\", true, 0, {"play|16|0", "work|16|0"}},
        {"\\work", true, 0, {"docs|16|0", "photos|16|0"}},
        {"\\work\\photos", true, 0, {"2009|16|0", "a.jpg|128|1", "empty|16|0"}},
        {"\\work\\photos\\2009", true, 0, {"b.jpg|128|70000"}},
        {"\\play", true, 0, {"Create new bucket(F7)|128|0"}},
        {"\\work\\docs", false, ERROR_NO_MORE_FILES, {}},
        {"\\work\\photos\\empty", false, ERROR_NO_MORE_FILES, {}},
        {"\\nobody", false, ERROR_SUCCESS, {}},  // no such account: no placeholder either
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const Listing listing = List(c.path);
        EXPECT_EQ(c.opened, listing.opened);
        EXPECT_EQ(c.entries, listing.entries);
        if (!c.opened) {
            EXPECT_EQ(c.lastError, listing.lastError);
        }
    }
}

TEST_F(ListingE2eTest, EntriesCarryTheFilesLastWriteTime) {
    MakeStore(kSampleStore);
    WIN32_FILE_ATTRIBUTE_DATA file;
    ASSERT_TRUE(GetFileAttributesExA(Store("work\\photos\\a.jpg").c_str(), GetFileExInfoStandard,
                                     &file));
    std::vector<WIN32_FIND_DATAA> entries;
    List("\\work\\photos", &entries);
    ASSERT_EQ(3u, entries.size());
    const ULONGLONG expected = (static_cast<ULONGLONG>(file.ftLastWriteTime.dwHighDateTime) << 32) |
                               file.ftLastWriteTime.dwLowDateTime;
    const ULONGLONG listed = (static_cast<ULONGLONG>(entries[1].ftLastWriteTime.dwHighDateTime) << 32) |
                             entries[1].ftLastWriteTime.dwLowDateTime;
    // OLE dates carry whole seconds at best.
    EXPECT_LT(expected > listed ? expected - listed : listed - expected, 10000000u);
}

}  // namespace

TEST_F(ListingE2eTest, AFolderTreeWalkedDepthFirstShowsEveryEntryAtEveryDepth) {
    MakeStore({{"work\\photos\\album\\a-sub\\x.txt", "x"},
               {"work\\photos\\album\\a-sub\\deeper\\y.txt", "y"},
               {"work\\photos\\album\\m.txt", "m"},
               {"work\\photos\\album\\z.txt", "z"},
               {"work\\photos\\top.jpg", "t"},
               {"work\\docs\\d.txt", "d"},
               {"play\\games\\g.txt", "g"}});
    EXPECT_EQ(TreeOf(store_), WalkedTree("\\"));
}

TEST_F(ListingE2eTest, ListingAndUploadingOnTwoThreadsAtOnceLoseAndReplaceNothing) {
    MakeStore({{"work\\drop\\seed.txt", "seed"}});
    WriteBytes(Local("first.txt"), "the first upload");
    WriteBytes(Local("second.txt"), "must never replace the first");
    constexpr LONG kUploads = 120;
    LONG uploaded = 0;  // up0.txt .. up<uploaded - 1>.txt are in the store
    const auto upName = [](LONG at) { return "up" + std::to_string(at) + ".txt"; };

    // The second thread uploads new names, each once more without the
    // overwrite flag: the second must be refused, whatever the listings
    // taught the plugin meanwhile. Every 20 uploads it waits for a listing
    // to end, so that the two threads take turns however the machine's load
    // favours one of them.
    const UniqueHandle listed(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    WorkerThread uploader([&] {
        std::string first = Local("first.txt"), second = Local("second.txt");
        for (LONG at = 0; at < kUploads; ++at) {
            if (at % 20 == 0 && at > 0) {
                EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(listed.Get(), 30000)) << "no listing ended";
            }
            std::string remote = "\\work\\drop\\" + upName(at);
            EXPECT_EQ(FS_FILE_OK, Fs().FsPutFile(Text(first), Text(remote), 0)) << remote;
            InterlockedExchange(&uploaded, at + 1);
            EXPECT_EQ(FS_FILE_EXISTS, Fs().FsPutFile(Text(second), Text(remote), 0)) << remote;
        }
    });
    ASSERT_TRUE(uploader.Started());
    int listings = 0;
    for (LONG before = 0; before < kUploads; ++listings) {
        before = InterlockedCompareExchange(&uploaded, 0, 0);
        const std::vector<std::string> tree = WalkedTree("\\work");
        const LONG after = InterlockedCompareExchange(&uploaded, 0, 0);
        // Everything uploaded before the listing began is in it, and nothing
        // that was not in the store by its end.
        for (LONG at = 0; at < kUploads; ++at) {
            const bool listed = std::count(tree.begin(), tree.end(), "drop\\" + upName(at)) == 1;
            if (at < before) {
                EXPECT_TRUE(listed) << upName(at) << " left out";
            } else if (at > after) {
                EXPECT_FALSE(listed) << upName(at) << " listed before it was uploaded";
            }
        }
        ASSERT_EQ(1, std::count(tree.begin(), tree.end(), "drop\\seed.txt"));
        SetEvent(listed.Get());
    }
    uploader.Join();
    EXPECT_GT(listings, 1);
    for (LONG at = 0; at < kUploads; ++at) {
        EXPECT_EQ("the first upload", ReadBytes(Store("work\\drop\\" + upName(at)))) << upName(at);
    }
}
