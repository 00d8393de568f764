// The plugin module as the file manager uses it, through its exports, with
// the engine that FsInit created by ProgID from the registry.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"

namespace {

const std::vector<std::pair<std::string, std::string>> kSampleStore = {
    {"work\\photos\\a.jpg", "A"}, {"work\\photos\\2009\\b.jpg", "B"},
    {"work\\docs\\", ""},         {"play\\", ""},
};

TEST_F(PluginE2eTest, DeleteRemovesOnlyTheNamedObject) {
    const struct {
        const char* path;
        BOOL result;
        const char* gone;  // the store entry that disappears, if any
    } deletions[] = {
        {"\\work\\photos\\a.jpg", TRUE, "work\\photos\\a.jpg"},
        {"\\work\\photos\\2009\\b.jpg", TRUE, "work\\photos\\2009\\b.jpg"},
        {"\\work\\Create new bucket(F7)", TRUE, nullptr},  // placeholder: nothing to do
        {"\\work\\photos\\missing.jpg", FALSE, nullptr},
        {"\\work\\photos\\2009", FALSE, nullptr},  // a folder is not an object
        {"\\work\\photos", FALSE, nullptr},
        {"\\work\\photos\\..\\..\\..\\local\\victim.txt", FALSE, nullptr},
    };
    ASSERT_NE(nullptr, Fs().FsDeleteFile);
    WriteBytes(Local("victim.txt"), "keep me");
    for (const auto& deletion : deletions) {
        SCOPED_TRACE(deletion.path);
        RemoveTree(store_);
        CreateDirectoryA(store_.c_str(), nullptr);
        MakeStore(kSampleStore);
        std::vector<std::string> expected = TreeOf(store_);
        if (deletion.gone != nullptr) {
            expected.erase(std::find(expected.begin(), expected.end(), deletion.gone));
        }
        std::string path = deletion.path;
        EXPECT_EQ(deletion.result, Fs().FsDeleteFile(Text(path)));
        EXPECT_EQ(expected, TreeOf(store_));
    }
    EXPECT_EQ("keep me", ReadBytes(Local("victim.txt")));
}

}  // namespace
