// The resources of the built corvanel.wfx and corvanel.wfx64, read back
// through Windows' own resource and version functions from the module mapped
// as data (the 64-bit one too, from this 32-bit program): the icon the host
// shows, the manifest the loader reads and the version record.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "corvanel_version.h"
#include "tests/support/built_module.h"

namespace {

constexpr WORD kIconGroup = 103;

// The published layout of an icon group resource: a header, then one entry
// per image naming the RT_ICON resource that holds it.
#pragma pack(push, 2)
struct GroupIconEntry {
    BYTE width;
    BYTE height;
    BYTE colorCount;
    BYTE reserved;
    WORD planes;
    WORD bitCount;
    DWORD bytesInRes;
    WORD id;
};
struct GroupIconHeader {
    WORD reserved;
    WORD type;
    WORD count;
};
#pragma pack(pop)
static_assert(sizeof(GroupIconEntry) == 14, "GRPICONDIRENTRY is 14 bytes");

// One resource's bytes, empty when it is missing.
std::vector<BYTE> ResourceBytes(HMODULE module, LPCWSTR name, LPCWSTR type) {
    HRSRC found = FindResourceW(module, name, type);
    if (found == nullptr) return {};
    HGLOBAL loaded = LoadResource(module, found);
    const DWORD size = SizeofResource(module, found);
    const BYTE* data = static_cast<const BYTE*>(LockResource(loaded));
    if (data == nullptr) return {};
    return std::vector<BYTE>(data, data + size);
}

BOOL CALLBACK CollectId(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR ids) {
    if (IS_INTRESOURCE(name)) {
        reinterpret_cast<std::set<WORD>*>(ids)->insert(LOWORD(reinterpret_cast<ULONG_PTR>(name)));
    }
    return TRUE;
}

// Both editions' modules carry the same resources.
const char* const kModules[] = {"corvanel.wfx", "corvanel.wfx64"};

std::string TestName(const ::testing::TestParamInfo<const char*>& info) {
    return FileTestName(info.param);
}

class ModuleResources : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        path = BuiltFilePath(GetParam());
        // Mapped as a data file, which serves a 64-bit module in this 32-bit
        // process too (Wine refuses LOAD_LIBRARY_AS_IMAGE_RESOURCE for it).
        module = LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(nullptr, module) << path << " error " << GetLastError();
    }
    void TearDown() override {
        if (module != nullptr) FreeLibrary(module);
    }
    std::set<WORD> IdsOfType(LPCWSTR type) {
        std::set<WORD> ids;
        EnumResourceNamesW(module, type, CollectId, reinterpret_cast<LONG_PTR>(&ids));
        return ids;
    }
    std::string path;
    HMODULE module = nullptr;
};

// One image of the group: the RT_ICON it names holds a square 24-bit bitmap
// of the size the entry claims, and Windows both accepts it as an icon and
// picks it when it asks the group for that size.
void ExpectSquare24BitImage(HMODULE module, std::vector<BYTE>& group,
                            const GroupIconEntry& entry) {
    EXPECT_EQ(entry.width, entry.height);
    EXPECT_EQ(24, entry.bitCount);
    std::vector<BYTE> image = ResourceBytes(module, MAKEINTRESOURCEW(entry.id), MAKEINTRESOURCEW(3));
    ASSERT_EQ(entry.bytesInRes, image.size());
    ASSERT_GE(image.size(), sizeof(BITMAPINFOHEADER));
    BITMAPINFOHEADER bitmap;
    std::memcpy(&bitmap, image.data(), sizeof bitmap);
    EXPECT_EQ(entry.width, bitmap.biWidth);
    EXPECT_EQ(2 * entry.width, bitmap.biHeight) << "colour rows and mask rows";
    EXPECT_EQ(24, bitmap.biBitCount);
    EXPECT_EQ(static_cast<DWORD>(BI_RGB), bitmap.biCompression);

    HICON icon = CreateIconFromResourceEx(image.data(), static_cast<DWORD>(image.size()), TRUE,
                                          0x00030000, entry.width, entry.width, 0);
    EXPECT_NE(nullptr, icon) << "Windows refuses the image";
    if (icon != nullptr) DestroyIcon(icon);
    EXPECT_EQ(entry.id, LookupIconIdFromDirectoryEx(group.data(), TRUE, entry.width, entry.width,
                                                    LR_DEFAULTCOLOR));
}

TEST_P(ModuleResources, IconGroup103HoldsFourSquare24BitImages) {
    EXPECT_EQ(std::set<WORD>{kIconGroup}, IdsOfType(MAKEINTRESOURCEW(14)));
    std::vector<BYTE> group = ResourceBytes(module, MAKEINTRESOURCEW(kIconGroup), MAKEINTRESOURCEW(14));
    ASSERT_GE(group.size(), sizeof(GroupIconHeader));
    GroupIconHeader header;
    std::memcpy(&header, group.data(), sizeof header);
    EXPECT_EQ(1, header.type);
    ASSERT_EQ(sizeof header + header.count * sizeof(GroupIconEntry), group.size());

    std::multiset<int> sizes;
    for (WORD i = 0; i < header.count; ++i) {
        GroupIconEntry entry;
        std::memcpy(&entry, group.data() + sizeof header + i * sizeof entry, sizeof entry);
        SCOPED_TRACE("image of " + std::to_string(entry.width) + " pixels");
        sizes.insert(entry.width);
        ExpectSquare24BitImage(module, group, entry);
    }
    EXPECT_EQ((std::multiset<int>{16, 24, 32, 48}), sizes);
}

// Identifier 2 is the one the loader reads for a DLL; a manifest under 1
// would be ignored, and a malformed one makes loading fail on Windows.
TEST_P(ModuleResources, ManifestIsAnEmptyAssemblyUnderTheDllIdentifier) {
    EXPECT_EQ(std::set<WORD>{2}, IdsOfType(MAKEINTRESOURCEW(24)));
    const std::vector<BYTE> bytes = ResourceBytes(module, MAKEINTRESOURCEW(2), MAKEINTRESOURCEW(24));
    const std::string text(bytes.begin(), bytes.end());

    const size_t open = text.find("<assembly ");
    const size_t openEnd = text.find('>', open);
    const size_t close = text.find("</assembly>");
    ASSERT_NE(std::string::npos, open) << text;
    ASSERT_NE(std::string::npos, close) << text;
    const std::string element = text.substr(open, openEnd - open);
    EXPECT_NE(std::string::npos, element.find("xmlns=\"urn:schemas-microsoft-com:asm.v1\""));
    EXPECT_NE(std::string::npos, element.find("manifestVersion=\"1.0\""));
    EXPECT_EQ(close, text.find_first_not_of(" \t\r\n", openEnd + 1))
        << "the assembly names something: " << text;

    ACTCTXA context = {};
    context.cbSize = sizeof context;
    context.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
    context.lpSource = path.c_str();
    context.lpResourceName = MAKEINTRESOURCEA(2);
    HANDLE activation = CreateActCtxA(&context);
    EXPECT_NE(INVALID_HANDLE_VALUE, activation) << "error " << GetLastError();
    if (activation != INVALID_HANDLE_VALUE) ReleaseActCtx(activation);
}

struct VersionText {
    const char* field;
    const char* value;  // nullptr: any text but an empty one
};

// OriginalFilename is each module's own file name.
const VersionText kVersionTexts[] = {
    {"ProductName", "Corvanel"},
    {"InternalName", "corvanel"},
    {"FileVersion", CORVANEL_VERSION_TEXT},
    {"ProductVersion", CORVANEL_VERSION_TEXT},
    {"FileDescription", nullptr},
};

// The fixed part: both versions, and the file marked a DLL for Windows NT
// (the value both editions carry).
void ExpectFixedVersion(const std::vector<BYTE>& info) {
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
    ASSERT_GE(length, sizeof *fixed);
    EXPECT_EQ(0xFEEF04BDu, fixed->dwSignature);
    const DWORD versionHigh = MAKELONG(CORVANEL_VERSION_MINOR, CORVANEL_VERSION_MAJOR);
    const DWORD versionLow = MAKELONG(0, CORVANEL_VERSION_PATCH);
    EXPECT_EQ(versionHigh, fixed->dwFileVersionMS);
    EXPECT_EQ(versionLow, fixed->dwFileVersionLS);
    EXPECT_EQ(versionHigh, fixed->dwProductVersionMS);
    EXPECT_EQ(versionLow, fixed->dwProductVersionLS);
    EXPECT_EQ(static_cast<DWORD>(VFT_DLL), fixed->dwFileType);
    EXPECT_EQ(static_cast<DWORD>(VOS_NT_WINDOWS32), fixed->dwFileOS);
}

INSTANTIATE_TEST_SUITE_P(Built, ModuleResources, ::testing::ValuesIn(kModules), TestName);

class ModuleVersion : public ::testing::TestWithParam<const char*> {};

TEST_P(ModuleVersion, RecordNamesTheModuleAndItsVersion) {
    const std::string path = BuiltFilePath(GetParam());
    DWORD unused = 0;
    const DWORD size = GetFileVersionInfoSizeA(path.c_str(), &unused);
    ASSERT_GT(size, 0u) << "no version resource, error " << GetLastError();
    std::vector<BYTE> info(size);
    ASSERT_TRUE(GetFileVersionInfoA(path.c_str(), 0, size, info.data()));
    ExpectFixedVersion(info);

    // The texts live in the block that the Translation value names.
    WORD* translation = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(info.data(), "\\VarFileInfo\\Translation",
                               reinterpret_cast<void**>(&translation), &length));
    ASSERT_GE(length, 2 * sizeof(WORD));
    EXPECT_EQ(0x0409, translation[0]);
    EXPECT_EQ(1200, translation[1]);
    char block[64];
    wsprintfA(block, "\\StringFileInfo\\%04x%04x\\", translation[0], translation[1]);
    std::vector<VersionText> expectedTexts(std::begin(kVersionTexts), std::end(kVersionTexts));
    expectedTexts.push_back({"OriginalFilename", GetParam()});
    for (const VersionText& expected : expectedTexts) {
        SCOPED_TRACE(expected.field);
        char* value = nullptr;
        ASSERT_TRUE(VerQueryValueA(info.data(), (std::string(block) + expected.field).c_str(),
                                   reinterpret_cast<void**>(&value), &length));
        if (expected.value != nullptr) {
            EXPECT_STREQ(expected.value, value);
        } else {
            EXPECT_STRNE("", value);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Built, ModuleVersion, ::testing::ValuesIn(kModules), TestName);

}  // namespace
