#include "path/remote_path.h"

#include <cstring>

namespace {

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

// A piece of the text being parsed. Every offset handed around is a
// character boundary in the code page.
struct Text {
    const char* p;
    std::size_t n;

    Text Drop(std::size_t count) const { return {p + count, n - count}; }
    Text Prefix(std::size_t count) const { return {p, count}; }
};

class Scanner {
public:
    explicit Scanner(const LeadByteRanges& leadBytes) : leadBytes_(leadBytes) {}

    // Bytes taken by the character that starts at offset i.
    std::size_t CharLength(Text t, std::size_t i) const {
        const bool lead = leadBytes_.IsLeadByte(static_cast<unsigned char>(t.p[i]));
        return (lead && i + 1 < t.n) ? 2 : 1;
    }

    // Offset of the first backslash character at or after `from`.
    std::size_t FindBackslash(Text t, std::size_t from) const {
        for (std::size_t i = 0; i < t.n; i += CharLength(t, i)) {
            if (i >= from && t.p[i] == '\\') return i;
        }
        return kNone;
    }

    // The text without its leading and trailing backslash characters.
    Text TrimBackslashes(Text t) const {
        std::size_t start = 0;
        while (start < t.n && t.p[start] == '\\') ++start;
        std::size_t end = start;
        for (std::size_t i = start; i < t.n;) {
            const std::size_t len = CharLength(t, i);
            if (t.p[i] != '\\') end = i + len;
            i += len;
        }
        return {t.p + start, end - start};
    }

    // Offset of the last backslash character before `end`, or kNone.
    std::size_t FindLastBackslash(Text t, std::size_t end) const {
        std::size_t last = kNone;
        for (std::size_t i = 0; i < end; i += CharLength(t, i)) {
            if (t.p[i] == '\\') last = i;
        }
        return last;
    }

    // The end of the text without its trailing backslash characters.
    std::size_t EndBeforeTrailingBackslashes(Text t) const {
        std::size_t end = 0;
        for (std::size_t i = 0; i < t.n; i += CharLength(t, i)) {
            if (t.p[i] != '\\') end = i + CharLength(t, i);
        }
        return end;
    }

    // Takes the next component off the front of *rest: up to, not including,
    // the next backslash, or all of it when there is none or the backslash
    // comes first.
    Text TakeComponent(Text* rest) const {
        const std::size_t j = FindBackslash(*rest, 0);
        if (j != kNone && j > 0) {
            Text component = rest->Prefix(j);
            *rest = rest->Drop(j);
            return component;
        }
        Text component = *rest;
        *rest = Text{rest->p + rest->n, 0};
        return component;
    }

private:
    const LeadByteRanges& leadBytes_;
};

PathLevel LevelOf(Text account, Text bucket, Text key) {
    if (account.n == 0) return PathLevel::Root;
    if (bucket.n == 0) return PathLevel::Account;
    return key.n != 0 ? PathLevel::Object : PathLevel::Bucket;
}

void StoreText(char* field, Text text) {
    std::memcpy(field, text.p, text.n);
    field[text.n] = '\0';
}

bool Equal(const char* a, const char* b) { return std::strcmp(a, b) == 0; }

}  // namespace

bool SplitRemotePath(const char* path, PathLevel* level, RemotePath& rp,
                     const LeadByteRanges& leadBytes) {
    rp.account[0] = rp.bucket[0] = rp.key[0] = '\0';
    if (path == nullptr) return false;

    const Scanner scan(leadBytes);
    Text rest{path, std::strlen(path)};
    Text account{rest.p, 0};
    Text bucket{rest.p, 0};

    // Everything up to the first backslash is dropped; the two components
    // after it are trimmed of backslashes, and the rest is the key.
    std::size_t pos = scan.FindBackslash(rest, 0);
    if (pos != kNone) {
        rest = rest.Drop(pos + 1);
        account = scan.TrimBackslashes(scan.TakeComponent(&rest));
        pos = scan.FindBackslash(rest, pos);
        if (pos != kNone) {
            rest = rest.Drop(pos + 1);
            bucket = scan.TrimBackslashes(scan.TakeComponent(&rest));
            rest = scan.TrimBackslashes(rest);
        }
    }
    const Text key = rest;

    *level = LevelOf(account, bucket, key);
    if (account.n > kRemoteTextLimit || bucket.n > kRemoteTextLimit ||
        key.n > kRemoteTextLimit) {
        return false;
    }
    StoreText(rp.account, account);
    StoreText(rp.bucket, bucket);
    StoreText(rp.key, key);
    return true;
}

bool SplitRemotePath(const char* path, PathLevel* level, RemotePath& rp) {
    return SplitRemotePath(path, level, rp, ThreadCodePageLeadBytes());
}

bool IsPlaceholderName(const char* text) {
    return text != nullptr &&
           (Equal(text, kAddAccountPlaceholder) || Equal(text, kCreateBucketPlaceholder));
}

bool IsPlaceholderPath(const RemotePath& rp) {
    return IsPlaceholderName(rp.account) || IsPlaceholderName(rp.bucket) ||
           IsPlaceholderName(rp.key);
}

bool SameRemotePath(const RemotePath& a, const RemotePath& b) {
    return Equal(a.account, b.account) && Equal(a.bucket, b.bucket) &&
           Equal(a.key, b.key) && a.size == b.size;
}

LastComponent FindLastComponent(const char* path, const LeadByteRanges& leadBytes) {
    const Scanner scan(leadBytes);
    const Text text{path, std::strlen(path)};
    const std::size_t end = scan.EndBeforeTrailingBackslashes(text);
    const std::size_t slash = scan.FindLastBackslash(text, end);
    if (slash == kNone) return {0, 0, end};
    return {slash, slash + 1, end - (slash + 1)};
}
