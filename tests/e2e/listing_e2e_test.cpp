// Browsing the registered engine's store through FsFindFirst and FsFindNext.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"

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
