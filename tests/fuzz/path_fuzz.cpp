// Native libFuzzer target for the host-path parser, built with AddressSanitizer
// and UndefinedBehaviorSanitizer. The first input byte picks the code page
// (932, double-byte, or a single-byte one); the rest is the path. Every parse
// is checked against the character-level model in path_model.h.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

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
    return 0;
}
