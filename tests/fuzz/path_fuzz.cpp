// Native libFuzzer target for the host-path parser, built with AddressSanitizer
// and UndefinedBehaviorSanitizer. The first input byte picks the code page
// (932, double-byte, or a single-byte one); the rest is the path. Every parse
// is checked against a model that first cuts the text into characters and
// then follows the parsing rules over whole characters, so a trail byte 0x5C
// can never be a separator in it.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "path/lead_bytes.h"
#include "path/remote_path.h"

namespace {

LeadByteRanges g_codePage{};

const LeadByteRanges kCodePage932{{0x81, 0x9f, 0xe0, 0xfc}};
const LeadByteRanges kSingleByte{};

// One character of the input: where it starts and how many bytes it takes.
struct Char {
    size_t at;
    size_t len;
};

std::vector<Char> CutIntoCharacters(const std::string& text) {
    std::vector<Char> chars;
    for (size_t i = 0; i < text.size();) {
        const bool lead = g_codePage.IsLeadByte(static_cast<unsigned char>(text[i]));
        const size_t len = (lead && i + 1 < text.size()) ? 2 : 1;
        chars.push_back({i, len});
        i += len;
    }
    return chars;
}

bool IsSeparator(const std::string& text, const Char& c) { return c.len == 1 && text[c.at] == '\\'; }

// A run of whole characters [first, last) of the input.
struct Run {
    size_t first, last;
};

struct Model {
    std::string account, bucket, key;
    PathLevel level;
};

Model Parse(const std::string& text) {
    const std::vector<Char> chars = CutIntoCharacters(text);
    auto bytes = [&](Run r) {
        if (r.first >= r.last) return std::string();
        const size_t from = chars[r.first].at;
        const size_t to = chars[r.last - 1].at + chars[r.last - 1].len;
        return text.substr(from, to - from);
    };
    auto trim = [&](Run r) {
        while (r.first < r.last && IsSeparator(text, chars[r.first])) ++r.first;
        while (r.last > r.first && IsSeparator(text, chars[r.last - 1])) --r.last;
        return r;
    };
    auto firstSeparator = [&](Run r, size_t fromByte) -> size_t {
        // Index (in characters) of the first separator whose byte offset,
        // counted from the run's start, is at least fromByte.
        const size_t base = r.first < chars.size() ? chars[r.first].at : 0;
        for (size_t i = r.first; i < r.last; ++i) {
            if (chars[i].at - base >= fromByte && IsSeparator(text, chars[i])) return i;
        }
        return SIZE_MAX;
    };
    auto takeComponent = [&](Run* rest) {
        const size_t j = firstSeparator(*rest, 0);
        Run component = *rest;
        if (j != SIZE_MAX && j > rest->first) {
            component.last = j;
            rest->first = j;
        } else {
            rest->first = rest->last;
        }
        return component;
    };

    Model m;
    Run rest{0, chars.size()};
    size_t sep = firstSeparator(rest, 0);
    if (sep != SIZE_MAX) {
        const size_t pos = chars[sep].at;  // a byte offset, reused as the parser does
        rest.first = sep + 1;
        m.account = bytes(trim(takeComponent(&rest)));
        sep = firstSeparator(rest, pos);
        if (sep != SIZE_MAX) {
            rest.first = sep + 1;
            m.bucket = bytes(trim(takeComponent(&rest)));
            rest = trim(rest);
        }
    }
    m.key = bytes(rest);
    m.level = m.account.empty() ? PathLevel::Root
              : m.bucket.empty() ? PathLevel::Account
              : m.key.empty()    ? PathLevel::Bucket
                                 : PathLevel::Object;
    return m;
}

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
    const Model expected = Parse(path);

    for (const char* field : {account, bucket, key}) {
        Check(std::memchr(field, '\0', kRemoteTextBuffer) != nullptr);
    }
    Check(level == expected.level);
    const bool shouldFit = expected.account.size() <= kRemoteTextLimit &&
                           expected.bucket.size() <= kRemoteTextLimit &&
                           expected.key.size() <= kRemoteTextLimit;
    Check(fits == shouldFit);
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
