// The PE reader on damaged copies of the built module: every damage is
// refused at the step that meets it, and nothing is read outside the bytes.
#include "tests/support/pe_image.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <functional>

#include "tests/support/built_module.h"

namespace {

// Where the headers sit in the module's own bytes, found the long way round
// so that the damage lands where each case means it to.
struct Layout {
    size_t ntHeaders;
    size_t fileHeader;
    size_t optionalHeader;
    size_t exportTable;      // IMAGE_EXPORT_DIRECTORY
    size_t firstExportName;  // the first entry of its name pointer table
    size_t importTable;      // the first IMAGE_IMPORT_DESCRIPTOR
};

template <class T>
void Put(std::vector<uint8_t>* bytes, size_t offset, T value) {
    ASSERT_LE(offset + sizeof value, bytes->size());
    std::memcpy(bytes->data() + offset, &value, sizeof value);
}

enum class FailsAt { Load, Exports, Imports, Nowhere };

struct DamageCase {
    const char* damage;
    std::function<void(const Layout&, std::vector<uint8_t>*)> apply;
    FailsAt failsAt;
};

const DamageCase kDamageTable[] = {
    {"empty file", [](const Layout&, std::vector<uint8_t>* b) { b->clear(); }, FailsAt::Load},
    {"DOS header cut short", [](const Layout&, std::vector<uint8_t>* b) { b->resize(32); },
     FailsAt::Load},
    {"no MZ", [](const Layout&, std::vector<uint8_t>* b) { (*b)[0] = 'X'; }, FailsAt::Load},
    {"PE header offset past the end",
     [](const Layout&, std::vector<uint8_t>* b) {
         Put<LONG>(b, offsetof(IMAGE_DOS_HEADER, e_lfanew), 0x7FFFFFF0);
     },
     FailsAt::Load},
    {"negative PE header offset",
     [](const Layout&, std::vector<uint8_t>* b) {
         Put<LONG>(b, offsetof(IMAGE_DOS_HEADER, e_lfanew), -8);
     },
     FailsAt::Load},
    {"file ends inside the PE header",
     [](const Layout& at, std::vector<uint8_t>* b) { b->resize(at.fileHeader + 6); },
     FailsAt::Load},
    {"PE signature broken",
     [](const Layout& at, std::vector<uint8_t>* b) { (*b)[at.ntHeaders] = 'X'; }, FailsAt::Load},
    {"64-bit optional header",
     [](const Layout& at, std::vector<uint8_t>* b) {
         Put<WORD>(b, at.optionalHeader, IMAGE_NT_OPTIONAL_HDR64_MAGIC);
     },
     FailsAt::Load},
    {"optional header too short for its own fields",
     [](const Layout& at, std::vector<uint8_t>* b) {
         Put<WORD>(b, at.fileHeader + offsetof(IMAGE_FILE_HEADER, SizeOfOptionalHeader), 16);
     },
     FailsAt::Load},
    {"section table past the end",
     [](const Layout& at, std::vector<uint8_t>* b) {
         Put<WORD>(b, at.fileHeader + offsetof(IMAGE_FILE_HEADER, NumberOfSections), 0xFFFF);
     },
     FailsAt::Load},
    {"export directory outside every section",
     [](const Layout& at, std::vector<uint8_t>* b) {
         Put<DWORD>(b, at.optionalHeader + offsetof(IMAGE_OPTIONAL_HEADER32, DataDirectory),
                    0x7FFF0000);
     },
     FailsAt::Exports},
    {"more export names than the section holds",
     [](const Layout& at, std::vector<uint8_t>* b) {
         Put<DWORD>(b, at.exportTable + offsetof(IMAGE_EXPORT_DIRECTORY, NumberOfNames),
                    0x3FFFFFFF);
     },
     FailsAt::Exports},
    {"export name count that overflows the table size",
     [](const Layout& at, std::vector<uint8_t>* b) {
         Put<DWORD>(b, at.exportTable + offsetof(IMAGE_EXPORT_DIRECTORY, NumberOfNames),
                    0xFFFFFFFF);
     },
     FailsAt::Exports},
    {"export name that points nowhere",
     [](const Layout& at, std::vector<uint8_t>* b) {
         Put<DWORD>(b, at.firstExportName, 0xFFFFFFF0);
     },
     FailsAt::Exports},
    {"file cut where the export table starts",
     [](const Layout& at, std::vector<uint8_t>* b) { b->resize(at.exportTable); },
     FailsAt::Exports},
    {"imported DLL name that points nowhere",
     [](const Layout& at, std::vector<uint8_t>* b) {
         Put<DWORD>(b, at.importTable + offsetof(IMAGE_IMPORT_DESCRIPTOR, Name), 0xFFFFFFF0);
     },
     FailsAt::Imports},
    {"no data directories: both tables read empty",
     [](const Layout& at, std::vector<uint8_t>* b) {
         Put<DWORD>(b, at.optionalHeader + offsetof(IMAGE_OPTIONAL_HEADER32, NumberOfRvaAndSizes),
                    0);
     },
     FailsAt::Nowhere},
};

class PeImageDamage : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(module.LoadFile(BuiltModulePath()));
        const std::vector<uint8_t>& bytes = module.Bytes();
        IMAGE_DOS_HEADER dos;
        std::memcpy(&dos, bytes.data(), sizeof dos);
        layout.ntHeaders = static_cast<size_t>(dos.e_lfanew);
        layout.fileHeader = layout.ntHeaders + sizeof(DWORD);
        layout.optionalHeader = layout.fileHeader + sizeof(IMAGE_FILE_HEADER);
        ASSERT_TRUE(module.FileOffset(module.Directory(IMAGE_DIRECTORY_ENTRY_EXPORT).VirtualAddress,
                                      sizeof(IMAGE_EXPORT_DIRECTORY), &layout.exportTable));
        IMAGE_EXPORT_DIRECTORY exports;
        std::memcpy(&exports, bytes.data() + layout.exportTable, sizeof exports);
        ASSERT_TRUE(module.FileOffset(exports.AddressOfNames, sizeof(DWORD),
                                      &layout.firstExportName));
        ASSERT_TRUE(module.FileOffset(module.Directory(IMAGE_DIRECTORY_ENTRY_IMPORT).VirtualAddress,
                                      sizeof(IMAGE_IMPORT_DESCRIPTOR), &layout.importTable));
    }
    PeImage module;
    Layout layout{};
};

TEST_F(PeImageDamage, RefusesEachDamageAtTheStepThatMeetsIt) {
    for (const DamageCase& c : kDamageTable) {
        SCOPED_TRACE(c.damage);
        std::vector<uint8_t> bytes = module.Bytes();
        c.apply(layout, &bytes);
        PeImage damaged;
        const bool loaded = damaged.Load(std::move(bytes));
        EXPECT_EQ(c.failsAt != FailsAt::Load, loaded);
        if (!loaded) {
            EXPECT_TRUE(damaged.Bytes().empty()) << "a refused image keeps nothing";
            continue;
        }
        PeExports exports;
        exports.names = {"seed"};
        const bool exportsRead = damaged.ReadExports(&exports);
        EXPECT_EQ(c.failsAt != FailsAt::Exports, exportsRead);
        if (!exportsRead) continue;
        std::vector<std::string> dlls = {"seed"};
        EXPECT_EQ(c.failsAt != FailsAt::Imports, damaged.ReadImportedDlls(&dlls));
        if (c.failsAt == FailsAt::Nowhere) {
            EXPECT_TRUE(exports.names.empty());
            EXPECT_TRUE(dlls.empty());
        }
    }
}

}  // namespace
