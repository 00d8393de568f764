// The built corvanel.wfx, corvanel.wfx64 and corvanel_helper.exe read back as
// PE files: what the loader sees of each before any code runs.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cctype>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "common/wfx_api.h"
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

// One built file and what its headers must say.
struct BuiltImage {
    const char* file;
    WORD machine;
    WORD magic;
    bool plugin;       // a DLL with the plugin's exports; otherwise a program exporting nothing
    WORD subsystem;    // 0 for a DLL, whose subsystem nothing reads
    WORD dllFlags;     // DllCharacteristics that must all be set
};

constexpr WORD kAslrAndDep =
    IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE | IMAGE_DLLCHARACTERISTICS_NX_COMPAT;

const BuiltImage kBuiltImages[] = {
    {"corvanel.wfx", IMAGE_FILE_MACHINE_I386, IMAGE_NT_OPTIONAL_HDR32_MAGIC, true, 0, kAslrAndDep},
    // Loaded by the file manager's 64-bit edition: addresses anywhere in
    // the 64-bit space.
    {"corvanel.wfx64", IMAGE_FILE_MACHINE_AMD64, IMAGE_NT_OPTIONAL_HDR64_MAGIC, true, 0,
     kAslrAndDep | IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA},
    // Started by corvanel.wfx64: a window-subsystem program, so that no
    // console flashes up.
    {"corvanel_helper.exe", IMAGE_FILE_MACHINE_I386, IMAGE_NT_OPTIONAL_HDR32_MAGIC, false,
     IMAGE_SUBSYSTEM_WINDOWS_GUI, kAslrAndDep},
};

// Named by its file in the tests' output.
void PrintTo(const BuiltImage& image, std::ostream* out) { *out << image.file; }

class ModuleImage : public ::testing::TestWithParam<BuiltImage> {
protected:
    void SetUp() override {
        path = BuiltFilePath(GetParam().file);
        ASSERT_TRUE(image.LoadFile(path)) << "not a PE image of a known machine: " << path;
    }
    std::string path;
    PeImage image;
};

TEST_P(ModuleImage, IsBuiltForItsMachineAsADllOrAProgram) {
    const BuiltImage& expected = GetParam();
    const IMAGE_FILE_HEADER& header = image.FileHeader();
    EXPECT_EQ(expected.machine, header.Machine);
    EXPECT_EQ(expected.magic, image.Magic());
    EXPECT_EQ(expected.plugin, (header.Characteristics & IMAGE_FILE_DLL) != 0)
        << std::hex << header.Characteristics;
    EXPECT_EQ(expected.machine == IMAGE_FILE_MACHINE_I386,
              (header.Characteristics & IMAGE_FILE_32BIT_MACHINE) != 0);
    if (expected.subsystem != 0) {
        EXPECT_EQ(expected.subsystem, image.Subsystem());
    }
}

TEST_P(ModuleImage, ExportsExactlyThePluginEntryPointsUndecorated) {
    PeExports exports;
    ASSERT_TRUE(image.ReadExports(&exports));
    std::vector<std::string> names = exports.names;
    std::sort(names.begin(), names.end());
    EXPECT_EQ(GetParam().plugin ? kExports : std::vector<std::string>{}, names);
    // An entry reachable by ordinal only would be an export the list misses.
    EXPECT_EQ(exports.names.size(), exports.functionCount);
}

TEST_P(ModuleImage, ImportsFromWindowsSystemDllsOnly) {
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

TEST_P(ModuleImage, IsMarkedForAslrAndDepAndCanBeRelocated) {
    const WORD flags = image.DllCharacteristics();
    EXPECT_EQ(GetParam().dllFlags, flags & GetParam().dllFlags) << std::hex << flags;
    // Without relocations the loader cannot move the image, whatever the
    // flag says.
    EXPECT_FALSE(image.FileHeader().Characteristics & IMAGE_FILE_RELOCS_STRIPPED);
    EXPECT_GT(image.Directory(IMAGE_DIRECTORY_ENTRY_BASERELOC).Size, 0u);
}

INSTANTIATE_TEST_SUITE_P(Built, ModuleImage, ::testing::ValuesIn(kBuiltImages),
                         [](const auto& info) { return FileTestName(info.param.file); });

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
