#pragma once
// A second, independent reading of the host-path rules, used to check the
// parser and everything built on it: the text is first cut into whole
// characters of the code page, and the rules then work on characters only,
// so a trail byte 0x5C can never be a separator here. Header-only and free of
// Windows headers, so the native fuzzer and the Windows test programs share it.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "path/lead_bytes.h"
#include "path/remote_path.h"

struct PathModel {
    std::string account, bucket, key;
    PathLevel level = PathLevel::Root;

    // Every component fits its field; the parser refuses the path otherwise.
    bool Fits() const {
        return account.size() <= kRemoteTextLimit && bucket.size() <= kRemoteTextLimit &&
               key.size() <= kRemoteTextLimit;
    }
    bool NamesPlaceholder() const {
        return IsPlaceholderText(account) || IsPlaceholderText(bucket) || IsPlaceholderText(key);
    }
    static bool IsPlaceholderText(const std::string& text) {
        return text == kAddAccountPlaceholder || text == kCreateBucketPlaceholder;
    }
};

inline PathModel ModelParse(const std::string& text, const LeadByteRanges& codePage) {
    // One character of the input: where it starts and how many bytes it takes.
    struct Char {
        std::size_t at, len;
    };
    // A run of whole characters [first, last) of the input.
    struct Run {
        std::size_t first, last;
    };
    constexpr std::size_t kNone = SIZE_MAX;

    std::vector<Char> chars;
    for (std::size_t i = 0; i < text.size();) {
        const bool lead = codePage.IsLeadByte(static_cast<unsigned char>(text[i]));
        const std::size_t len = (lead && i + 1 < text.size()) ? 2 : 1;
        chars.push_back({i, len});
        i += len;
    }
    auto isSeparator = [&](std::size_t i) { return chars[i].len == 1 && text[chars[i].at] == '\\'; };
    auto bytes = [&](Run r) {
        if (r.first >= r.last) return std::string();
        const std::size_t from = chars[r.first].at;
        const std::size_t to = chars[r.last - 1].at + chars[r.last - 1].len;
        return text.substr(from, to - from);
    };
    auto trim = [&](Run r) {
        while (r.first < r.last && isSeparator(r.first)) ++r.first;
        while (r.last > r.first && isSeparator(r.last - 1)) --r.last;
        return r;
    };
    // Index (in characters) of the first separator whose byte offset, counted
    // from the run's start, is at least fromByte.
    auto firstSeparator = [&](Run r, std::size_t fromByte) -> std::size_t {
        const std::size_t base = r.first < chars.size() ? chars[r.first].at : 0;
        for (std::size_t i = r.first; i < r.last; ++i) {
            if (chars[i].at - base >= fromByte && isSeparator(i)) return i;
        }
        return kNone;
    };
    auto takeComponent = [&](Run* rest) {
        const std::size_t j = firstSeparator(*rest, 0);
        Run component = *rest;
        if (j != kNone && j > rest->first) {
            component.last = j;
            rest->first = j;
        } else {
            rest->first = rest->last;
        }
        return component;
    };

    PathModel m;
    Run rest{0, chars.size()};
    std::size_t sep = firstSeparator(rest, 0);
    if (sep != kNone) {
        const std::size_t pos = chars[sep].at;  // a byte offset, reused as the parser does
        rest.first = sep + 1;
        m.account = bytes(trim(takeComponent(&rest)));
        sep = firstSeparator(rest, pos);
        if (sep != kNone) {
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
