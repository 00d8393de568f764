#include "tests/support/pe_image.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

namespace {

// Whether [offset, offset + length) lies inside a buffer of `size` bytes,
// asked without a sum that could wrap.
bool Fits(uint64_t offset, uint64_t length, size_t size) {
    return offset <= size && length <= size - offset;
}

// An optional header of `size` bytes. It may stop after fewer than sixteen
// directories; the ones it leaves out stay zero.
template <class Header>
bool ReadOptional(const uint8_t* at, size_t size, Header* header) {
    if (size < offsetof(Header, DataDirectory)) return false;
    *header = Header{};
    std::memcpy(header, at, std::min(size, sizeof *header));
    return true;
}

}  // namespace

bool PeImage::Load(std::vector<uint8_t> bytes) {
    *this = PeImage{};
    IMAGE_DOS_HEADER dos;
    if (!Fits(0, sizeof dos, bytes.size())) return false;
    std::memcpy(&dos, bytes.data(), sizeof dos);
    if (dos.e_magic != IMAGE_DOS_SIGNATURE || dos.e_lfanew < 0) return false;

    const uint64_t ntOffset = static_cast<uint64_t>(dos.e_lfanew);
    DWORD signature = 0;
    if (!Fits(ntOffset, sizeof signature + sizeof fileHeader_, bytes.size())) return false;
    std::memcpy(&signature, bytes.data() + ntOffset, sizeof signature);
    if (signature != IMAGE_NT_SIGNATURE) return false;
    IMAGE_FILE_HEADER fileHeader;
    std::memcpy(&fileHeader, bytes.data() + ntOffset + sizeof signature, sizeof fileHeader);

    // The machine fixes which optional header the image must have.
    const uint64_t optionalOffset = ntOffset + sizeof signature + sizeof fileHeader;
    const size_t optionalSize = fileHeader.SizeOfOptionalHeader;
    if (optionalSize < sizeof(WORD) || !Fits(optionalOffset, optionalSize, bytes.size())) return false;
    const uint8_t* optionalBytes = bytes.data() + optionalOffset;
    WORD magic = 0;
    std::memcpy(&magic, optionalBytes, sizeof magic);
    IMAGE_OPTIONAL_HEADER32 optional32{};
    IMAGE_OPTIONAL_HEADER64 optional64{};
    if (fileHeader.Machine == IMAGE_FILE_MACHINE_I386 && magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC) {
        if (!ReadOptional(optionalBytes, optionalSize, &optional32)) return false;
    } else if (fileHeader.Machine == IMAGE_FILE_MACHINE_AMD64 &&
               magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
        if (!ReadOptional(optionalBytes, optionalSize, &optional64)) return false;
    } else {
        return false;
    }

    const uint64_t sectionsOffset = optionalOffset + optionalSize;
    const uint64_t sectionsSize =
        uint64_t{fileHeader.NumberOfSections} * sizeof(IMAGE_SECTION_HEADER);
    if (!Fits(sectionsOffset, sectionsSize, bytes.size())) return false;
    sections_.resize(fileHeader.NumberOfSections);
    if (sectionsSize != 0) {
        std::memcpy(sections_.data(), bytes.data() + sectionsOffset, sectionsSize);
    }

    fileHeader_ = fileHeader;
    optional32_ = optional32;
    optional64_ = optional64;
    bytes_ = std::move(bytes);
    return true;
}

bool PeImage::LoadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return false;
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)),
                               std::istreambuf_iterator<char>());
    return Load(std::move(bytes));
}

IMAGE_DATA_DIRECTORY PeImage::Directory(unsigned index) const {
    const DWORD count =
        IsPe32Plus() ? optional64_.NumberOfRvaAndSizes : optional32_.NumberOfRvaAndSizes;
    const IMAGE_DATA_DIRECTORY* table =
        IsPe32Plus() ? optional64_.DataDirectory : optional32_.DataDirectory;
    const unsigned present = std::min<DWORD>(count, IMAGE_NUMBEROF_DIRECTORY_ENTRIES);
    return index < present ? table[index] : IMAGE_DATA_DIRECTORY{};
}

bool PeImage::FileOffset(DWORD rva, DWORD length, size_t* offset) const {
    for (const IMAGE_SECTION_HEADER& section : sections_) {
        // Raw data past the section's virtual size is file padding, not part
        // of the section as loaded.
        const DWORD virtualSize = section.Misc.VirtualSize;
        const DWORD extent = virtualSize != 0 ? std::min(virtualSize, section.SizeOfRawData)
                                              : section.SizeOfRawData;
        if (rva < section.VirtualAddress) continue;
        const uint64_t within = rva - section.VirtualAddress;
        if (within + length > extent) continue;
        if (!Fits(section.PointerToRawData, extent, bytes_.size())) continue;
        *offset = static_cast<size_t>(section.PointerToRawData + within);
        return true;
    }
    return false;
}

template <class T>
bool PeImage::ReadAt(DWORD rva, T* value) const {
    size_t offset = 0;
    if (!FileOffset(rva, sizeof(T), &offset)) return false;
    std::memcpy(value, bytes_.data() + offset, sizeof(T));
    return true;
}

bool PeImage::ReadText(DWORD rva, std::string* text) const {
    std::string read;
    // Ends at the terminator, or fails where the section's data ends first.
    for (uint64_t at = rva; at <= MAXDWORD; ++at) {
        char c = 0;
        if (!ReadAt(static_cast<DWORD>(at), &c)) return false;
        if (c == '\0') {
            *text = std::move(read);
            return true;
        }
        read.push_back(c);
    }
    return false;
}

bool PeImage::ReadExports(PeExports* exports) const {
    const IMAGE_DATA_DIRECTORY directory = Directory(IMAGE_DIRECTORY_ENTRY_EXPORT);
    PeExports read;
    if (directory.VirtualAddress != 0) {
        IMAGE_EXPORT_DIRECTORY table;
        if (!ReadAt(directory.VirtualAddress, &table)) return false;
        read.functionCount = table.NumberOfFunctions;
        if (table.NumberOfNames > MAXDWORD / sizeof(DWORD)) return false;
        size_t unused = 0;
        if (!FileOffset(table.AddressOfNames, table.NumberOfNames * sizeof(DWORD), &unused)) {
            return false;
        }
        for (DWORD i = 0; i < table.NumberOfNames; ++i) {
            DWORD nameRva = 0;
            std::string name;
            if (!ReadAt(table.AddressOfNames + i * sizeof(DWORD), &nameRva)) return false;
            if (!ReadText(nameRva, &name)) return false;
            read.names.push_back(std::move(name));
        }
    }
    *exports = std::move(read);
    return true;
}

bool PeImage::ReadImportedDlls(std::vector<std::string>* dlls) const {
    const IMAGE_DATA_DIRECTORY directory = Directory(IMAGE_DIRECTORY_ENTRY_IMPORT);
    std::vector<std::string> read;
    if (directory.VirtualAddress != 0) {
        // The table ends with an all-zero descriptor; a table that runs off
        // its section before one fails the read.
        for (uint64_t at = directory.VirtualAddress;; at += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
            IMAGE_IMPORT_DESCRIPTOR descriptor;
            if (at > MAXDWORD || !ReadAt(static_cast<DWORD>(at), &descriptor)) return false;
            if (descriptor.Name == 0 && descriptor.FirstThunk == 0) break;
            std::string name;
            if (!ReadText(descriptor.Name, &name)) return false;
            read.push_back(std::move(name));
        }
    }
    *dlls = std::move(read);
    return true;
}
