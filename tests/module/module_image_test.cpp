// The built corvanel.wfx read back as a PE file: what the host's loader sees
// of it before any code runs.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <set>
#include <string>
#include <vector>

#include "plugin/wfx_api.h"
#include "tests/support/built_module.h"
#include "tests/support/pe_image.h"

namespace {

// The file manager's plugin interface as the module implements it; the host
// finds the entry points by these undecorated names.
const std::vector<std::string> kExports = {
    "FsDeleteFile", "FsExecuteFile", "FsFindClose",   "FsFindFirst",
    "FsFindNext",   "FsGetDefRootName", "FsGetFile",  "FsInit",
    "FsMkDir",      "FsPutFile",     "FsRemoveDir",   "FsRenMovFile",
};

// Windows' own DLLs, present on every system the host runs on.
const std::set<std::string> kSystemDlls = {
    "kernel32.dll", "user32.dll", "ole32.dll", "oleaut32.dll", "msvcrt.dll",
};

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

class ModuleImage : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(image.LoadFile(BuiltModulePath())) << "not a PE32 image: " << BuiltModulePath();
    }
    PeImage image;
};

TEST_F(ModuleImage, IsA32BitDllForI386) {
    const IMAGE_FILE_HEADER& header = image.FileHeader();
    EXPECT_EQ(IMAGE_FILE_MACHINE_I386, header.Machine);
    EXPECT_EQ(IMAGE_NT_OPTIONAL_HDR32_MAGIC, image.OptionalHeader().Magic);
    EXPECT_TRUE(header.Characteristics & IMAGE_FILE_DLL) << std::hex << header.Characteristics;
    EXPECT_TRUE(header.Characteristics & IMAGE_FILE_32BIT_MACHINE);
}

TEST_F(ModuleImage, ExportsExactlyThePluginEntryPointsUndecorated) {
    PeExports exports;
    ASSERT_TRUE(image.ReadExports(&exports));
    std::vector<std::string> names = exports.names;
    std::sort(names.begin(), names.end());
    EXPECT_EQ(kExports, names);
    // An entry reachable by ordinal only would be an export the list misses.
    EXPECT_EQ(exports.names.size(), exports.functionCount);
}

TEST_F(ModuleImage, ImportsFromWindowsSystemDllsOnly) {
    std::vector<std::string> dlls;
    ASSERT_TRUE(image.ReadImportedDlls(&dlls));
    std::set<std::string> imported;
    for (const std::string& dll : dlls) imported.insert(Lower(dll));
    EXPECT_EQ(1u, imported.count("kernel32.dll")) << "the import table was not read";
    for (const std::string& dll : imported) {
        EXPECT_EQ(1u, kSystemDlls.count(dll)) << "imports from " << dll;
    }
    // A delay-loaded DLL would escape the list above.
    EXPECT_EQ(0u, image.Directory(IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT).Size);
}

TEST_F(ModuleImage, IsMarkedForAslrAndDepAndCanBeRelocated) {
    const WORD flags = image.OptionalHeader().DllCharacteristics;
    EXPECT_TRUE(flags & IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE) << std::hex << flags;
    EXPECT_TRUE(flags & IMAGE_DLLCHARACTERISTICS_NX_COMPAT) << std::hex << flags;
    // Without relocations the loader cannot move the module, whatever the
    // flag says.
    EXPECT_FALSE(image.FileHeader().Characteristics & IMAGE_FILE_RELOCS_STRIPPED);
    EXPECT_GT(image.Directory(IMAGE_DIRECTORY_ENTRY_BASERELOC).Size, 0u);
}

// The loader accepts the module, manifest and relocations included, and its
// code runs: the one entry point that needs no engine answers.
TEST(ModuleLoad, LoadsAndAnswersThroughItsExports) {
    HMODULE module = LoadLibraryA(BuiltModulePath().c_str());
    ASSERT_NE(nullptr, module) << "error " << GetLastError();
    auto getDefRootName = reinterpret_cast<decltype(&FsGetDefRootName)>(
        reinterpret_cast<void*>(GetProcAddress(module, "FsGetDefRootName")));
    ASSERT_NE(nullptr, getDefRootName);
    char root[MAX_PATH];
    std::fill(std::begin(root), std::end(root), '\xEE');
    getDefRootName(root, MAX_PATH);
    EXPECT_STREQ("Corvanel", root);
    EXPECT_TRUE(FreeLibrary(module));
}

}  // namespace
