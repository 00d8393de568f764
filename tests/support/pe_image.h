#pragma once
// Reads a PE image from its file bytes, the way a loader sees it but without
// loading it: the file and optional headers, the data directories, the
// exported names and the names of the imported DLLs. A 32-bit image (PE32,
// i386) or a 64-bit one (PE32+, x86-64), each with the optional header its
// machine takes. Every read is checked against the bytes held, so a
// malformed image makes Load or a table read return false and never reads
// outside them.

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct PeExports {
    DWORD functionCount = 0;         // entries of the address table, named or not
    std::vector<std::string> names;  // in the table's order, which is sorted
};

class PeImage {
public:
    // False when the bytes are not a PE32 image for i386 or a PE32+ image
    // for x86-64 whose headers and section table fit in them.
    bool Load(std::vector<uint8_t> bytes);
    bool LoadFile(const std::string& path);

    const std::vector<uint8_t>& Bytes() const { return bytes_; }
    const IMAGE_FILE_HEADER& FileHeader() const { return fileHeader_; }
    bool IsPe32Plus() const { return optional64_.Magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC; }
    // The optional header of a PE32 image (all zero for a PE32+ one), and of
    // a PE32+ image (all zero for a PE32 one).
    const IMAGE_OPTIONAL_HEADER32& OptionalHeader() const { return optional32_; }
    const IMAGE_OPTIONAL_HEADER64& OptionalHeader64() const { return optional64_; }
    // Fields of both kinds, from the one the image has.
    WORD Magic() const { return IsPe32Plus() ? optional64_.Magic : optional32_.Magic; }
    WORD Subsystem() const { return IsPe32Plus() ? optional64_.Subsystem : optional32_.Subsystem; }
    WORD DllCharacteristics() const {
        return IsPe32Plus() ? optional64_.DllCharacteristics : optional32_.DllCharacteristics;
    }
    // An absent directory reads as zero address and size.
    IMAGE_DATA_DIRECTORY Directory(unsigned index) const;

    // The file offset of the `length` bytes at `rva`; false unless they lie
    // in one section's data inside the file.
    bool FileOffset(DWORD rva, DWORD length, size_t* offset) const;

    // An image without the directory reads as an empty table.
    bool ReadExports(PeExports* exports) const;
    bool ReadImportedDlls(std::vector<std::string>* dlls) const;

private:
    template <class T>
    bool ReadAt(DWORD rva, T* value) const;
    bool ReadText(DWORD rva, std::string* text) const;

    std::vector<uint8_t> bytes_;
    IMAGE_FILE_HEADER fileHeader_{};
    IMAGE_OPTIONAL_HEADER32 optional32_{};
    IMAGE_OPTIONAL_HEADER64 optional64_{};
    std::vector<IMAGE_SECTION_HEADER> sections_;
};
