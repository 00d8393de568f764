// The host-path parser and the tests on parsed paths.
#include "path/remote_path.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "tests/support/thread_locale.h"

namespace {

struct Parsed {
    bool fits;
    PathLevel level;
    std::string account, bucket, key;
};

Parsed Parse(const std::string& path) {
    OwnedRemotePath owner;
    PathLevel level = static_cast<PathLevel>(-7);
    const bool fits = SplitRemotePath(path.c_str(), &level, owner.Record());
    const RemotePath& rp = owner.Record();
    return {fits, level, rp.account, rp.bucket, rp.key};
}

struct PathCase {
    const char* path;
    const char* account;
    const char* bucket;
    const char* key;
    PathLevel level;
};

const PathCase kPathTable[] = {
    {"\\", "", "", "", PathLevel::Root},
    {"\\work", "work", "", "", PathLevel::Account},
    {"\\work\\", "work", "", "", PathLevel::Account},
    {"\\work\\photos", "work", "photos", "", PathLevel::Bucket},
    {"\\work\\photos\\", "work", "photos", "", PathLevel::Bucket},
    {"\\work\\photos\\2009\\a.jpg", "work", "photos", "2009\\a.jpg", PathLevel::Object},
    {"\\work\\photos\\old/", "work", "photos", "old/", PathLevel::Object},
    {"\\a\\b\\c\\d", "a", "b", "c\\d", PathLevel::Object},
    {"\\a\\\\b", "a", "b", "", PathLevel::Bucket},
    {"\\\\work", "work", "", "", PathLevel::Account},
    {"\\a\\b\\\\c\\\\", "a", "b", "c", PathLevel::Object},
    {"\\Add new account(F7)", "Add new account(F7)", "", "", PathLevel::Account},
    {"", "", "", "", PathLevel::Root},
    // Text before the first backslash is dropped; none at all is all key.
    {"junk\\work\\photos", "work", "", "\\photos", PathLevel::Account},
    {"no-backslash", "", "", "no-backslash", PathLevel::Root},
    {"a/b", "", "", "a/b", PathLevel::Root},
};

TEST(SplitRemotePath, ParsesEveryShapeOfHostPath) {
    for (const PathCase& c : kPathTable) {
        SCOPED_TRACE(c.path);
        const Parsed p = Parse(c.path);
        EXPECT_TRUE(p.fits);
        EXPECT_EQ(c.account, p.account);
        EXPECT_EQ(c.bucket, p.bucket);
        EXPECT_EQ(c.key, p.key);
        EXPECT_EQ(c.level, p.level);
    }
}

TEST(SplitRemotePath, RefusesComponentsThatDoNotFitAndNeverTruncates) {
    const std::string longest(kRemoteTextLimit, 'k');
    const std::string tooLong(kRemoteTextLimit + 1, 'k');

    const Parsed fits = Parse("\\a\\b\\" + longest);
    EXPECT_TRUE(fits.fits);
    EXPECT_EQ(longest, fits.key);

    for (const std::string& path : {"\\" + tooLong, "\\a\\" + tooLong, "\\a\\b\\" + tooLong,
                                    "\\a\\b\\" + std::string(200, 'x') + "\\" +
                                        std::string(100, 'y')}) {
        const Parsed p = Parse(path);
        EXPECT_FALSE(p.fits) << path.size();
        EXPECT_EQ("", p.account);
        EXPECT_EQ("", p.bucket);
        EXPECT_EQ("", p.key);
    }
    // The level still tells the depth of the refused path.
    EXPECT_EQ(PathLevel::Object, Parse("\\a\\b\\" + tooLong).level);
}

TEST(SplitRemotePath, NullPathIsRefusedAndLeavesLevelAlone) {
    OwnedRemotePath owner;
    PathLevel level = PathLevel::Bucket;
    EXPECT_FALSE(SplitRemotePath(nullptr, &level, owner.Record()));
    EXPECT_EQ(PathLevel::Bucket, level);
}

TEST(SplitRemotePath, DoubleByteTrailByteIsNeverASeparator) {
    // In code page 932, 0x95 0x5C is one character whose trail byte is 0x5C.
    const std::string kanji = "\x95\x5C";
    {
        ThreadLocale japanese(JapaneseLocale());
        ASSERT_EQ(932u, ThreadCodePage());
        const Parsed p = Parse("\\" + kanji + "\\b" + kanji + "\\" + kanji);
        EXPECT_TRUE(p.fits);
        EXPECT_EQ(kanji, p.account);
        EXPECT_EQ("b" + kanji, p.bucket);
        EXPECT_EQ(kanji, p.key);
        EXPECT_EQ(PathLevel::Object, p.level);
    }
    // In a single-byte code page the same byte is a backslash.
    ThreadLocale english(MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT));
    const Parsed p = Parse("\\" + kanji + "\\b");
    EXPECT_EQ("\x95", p.account);
    EXPECT_EQ("b", p.bucket);
    EXPECT_EQ(PathLevel::Bucket, p.level);
}

TEST(RemotePathTests, PlaceholdersAreExactCaseSensitiveNamesInAnyField) {
    EXPECT_TRUE(IsPlaceholderName("Add new account(F7)"));
    EXPECT_TRUE(IsPlaceholderName("Create new bucket(F7)"));
    for (const char* other : {"add new account(f7)", "Add new account(F7) ", " Create new bucket(F7)",
                              "", "Add new account"}) {
        EXPECT_FALSE(IsPlaceholderName(other)) << other;
    }
    EXPECT_FALSE(IsPlaceholderName(nullptr));

    for (const char* path : {"\\Add new account(F7)", "\\work\\Create new bucket(F7)",
                             "\\work\\photos\\Add new account(F7)"}) {
        OwnedRemotePath owner;
        PathLevel level;
        ASSERT_TRUE(SplitRemotePath(path, &level, owner.Record()));
        EXPECT_TRUE(IsPlaceholderPath(owner.Record())) << path;
    }
    OwnedRemotePath ordinary;
    PathLevel level;
    ASSERT_TRUE(SplitRemotePath("\\work\\photos\\Add new account(F7)\\x", &level, ordinary.Record()));
    EXPECT_FALSE(IsPlaceholderPath(ordinary.Record()));
}

TEST(RemotePathTests, SamePathComparesTextsExactlyAndSizes) {
    OwnedRemotePath a, b;
    PathLevel level;
    ASSERT_TRUE(SplitRemotePath("\\work\\photos\\x", &level, a.Record()));
    ASSERT_TRUE(SplitRemotePath("\\work\\photos\\x/", &level, b.Record()));
    EXPECT_FALSE(SameRemotePath(a.Record(), b.Record()));  // key "x/" differs
    ASSERT_TRUE(SplitRemotePath("\\work\\photos\\x", &level, b.Record()));
    EXPECT_TRUE(SameRemotePath(a.Record(), b.Record()));
    b.Record().size = 1;
    EXPECT_FALSE(SameRemotePath(a.Record(), b.Record()));
    ASSERT_TRUE(SplitRemotePath("\\Work\\photos\\x", &level, b.Record()));
    b.Record().size = 0;
    EXPECT_FALSE(SameRemotePath(a.Record(), b.Record()));
}

}  // namespace
