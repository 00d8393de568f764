// Native libFuzzer target for the host-path parser, built with AddressSanitizer
// and UndefinedBehaviorSanitizer. The first input byte picks the code page
// (932, double-byte, or a single-byte one); the rest is the path. Every parse
// is checked against the character-level model in path_model.h, and where
// its last component starts against a model of its own.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "path/lead_bytes.h"
#include "path/remote_path.h"
#include "tests/support/path_model.h"

namespace {

LeadByteRanges g_codePage{};

const LeadByteRanges kCodePage932{{0x81, 0x9f, 0xe0, 0xfc}};
const LeadByteRanges kSingleByte{};

void Check(bool condition) {
    if (!condition) std::abort();
}

// The last component as characters see it: the leaf runs from after the last
// backslash character before the trailing ones to the end of the last other
// character; the parent is everything before that backslash.
void CheckLastComponent(const std::string& path) {
    std::size_t end = 0, lastSlash = std::string::npos;
    std::vector<std::size_t> slashes;
    for (std::size_t i = 0; i < path.size();) {
        const std::size_t length =
            g_codePage.IsLeadByte(static_cast<unsigned char>(path[i])) && i + 1 < path.size() ? 2 : 1;
        if (path[i] == '\\') {
            slashes.push_back(i);
        } else {
            end = i + length;
        }
        i += length;
    }
    for (std::size_t slash : slashes) {
        if (slash < end) lastSlash = slash;
    }
    const LastComponent last = FindLastComponent(path.c_str(), g_codePage);
    const std::size_t leafStart = lastSlash == std::string::npos ? 0 : lastSlash + 1;
    Check(last.parentLength == (lastSlash == std::string::npos ? 0 : lastSlash));
    Check(last.leafOffset == leafStart && last.leafLength == end - leafStart);
}

}  // namespace

LeadByteRanges ThreadCodePageLeadBytes() { return g_codePage; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    g_codePage = (data[0] & 1) ? kCodePage932 : kSingleByte;
    const std::string path(reinterpret_cast<const char*>(data + 1), size - 1);
    if (path.find('\0') != std::string::npos) return 0;  // the host's texts end at NUL

    // Buffers of exactly the record's size on the heap, so the sanitizer sees
    // any write past them.
    char* account = static_cast<char*>(std::malloc(kRemoteTextBuffer));
    char* bucket = static_cast<char*>(std::malloc(kRemoteTextBuffer));
    char* key = static_cast<char*>(std::malloc(kRemoteTextBuffer));
    std::memset(account, 'A', kRemoteTextBuffer);
    std::memset(bucket, 'B', kRemoteTextBuffer);
    std::memset(key, 'K', kRemoteTextBuffer);
    RemotePath rp{account, bucket, key, 0};
    PathLevel level = static_cast<PathLevel>(-1);

    const bool fits = SplitRemotePath(path.c_str(), &level, rp);
    const PathModel expected = ModelParse(path, g_codePage);

    for (const char* field : {account, bucket, key}) {
        Check(std::memchr(field, '\0', kRemoteTextBuffer) != nullptr);
    }
    Check(level == expected.level);
    Check(fits == expected.Fits());
    if (fits) {
        Check(expected.account == account);
        Check(expected.bucket == bucket);
        Check(expected.key == key);
    } else {
        Check(account[0] == '\0' && bucket[0] == '\0' && key[0] == '\0');
    }
    std::free(account);
    std::free(bucket);
    std::free(key);
    CheckLastComponent(path);
    return 0;
}
