// The folded names of a known folder: the fold by table for ASCII names is
// the fold of the whole name in every code page, a comparison decides only
// what that fold would decide, and the counts keep every name as the table
// grows.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "plugin/name_counts.h"
#include "tests/support/thread_locale.h"

namespace {

LCID LocaleOf(WORD language, WORD sublanguage) {
    return MAKELCID(MAKELANGID(language, sublanguage), SORT_DEFAULT);
}

// Western, Japanese (0x5C can be a trail byte) and Turkish (where a dotless
// i is upper-cased to an ASCII I).
const LCID kLocales[] = {LocaleOf(LANG_ENGLISH, SUBLANG_ENGLISH_US), JapaneseLocale(),
                         LocaleOf(LANG_TURKISH, SUBLANG_DEFAULT)};

TEST(NameCountsTest, TheTableFoldsAndComparesAsFoldingTheWholeNameDoes) {
    std::string every;
    for (int c = 1; c < 128; ++c) every += static_cast<char>(c);
    const std::vector<std::string> names = {
        every, "a.jpg", "A.JPG", "a.jpgx", "b.jpg", "", "~$x y@z[1]\\",
        "f\xFDle.txt",   // Turkish dotless i in code page 1254; a Japanese lead byte in 932
        "FILE.TXT", "file.txt", "\x82\xA0.jpg", "\x95\x5C.txt", "x\xE9"};
    for (const LCID locale : kLocales) {
        const ThreadLocale scope(locale);
        SCOPED_TRACE(ThreadCodePage());
        const AsciiFolds ascii;
        for (const std::string& name : names) {
            std::string folded;
            if (ascii.Append(name.data(), name.size(), folded)) {
                EXPECT_EQ(Fold(name.c_str()), folded) << name;
            }
            for (const std::string& other : names) {
                const std::string wanted = Fold(other.c_str());
                const bool same = Fold(name.c_str()) == wanted;
                switch (ascii.Compare(name.data(), name.size(), wanted)) {
                case AsciiFolds::Match::Same: EXPECT_TRUE(same) << name << " / " << other; break;
                case AsciiFolds::Match::Different: EXPECT_FALSE(same) << name << " / " << other; break;
                case AsciiFolds::Match::Unsure: break;  // folded whole by the caller
                }
            }
        }
    }
}

TEST(NameCountsTest, EveryNameKeepsItsCountAsTheTableGrows) {
    NameCounts counts;
    counts.Reset(10);
    bool moved = false;
    for (int i = 0; i < 5000; ++i) {
        const std::string name = "name-" + std::to_string(i % 2500);
        ++counts.Count(counts.Add(name, &moved));
    }
    EXPECT_TRUE(moved) << "room for 10 grew to 2,500";
    for (int i = 0; i < 2500; ++i) EXPECT_EQ(2u, counts.CountOf("name-" + std::to_string(i))) << i;
    EXPECT_EQ(NameCounts::kNone, counts.Find("name-2500"));
    EXPECT_EQ(0u, counts.CountOf(""));

    moved = false;
    counts.Reset(2500);
    for (int i = 0; i < 2500; ++i) counts.Add("name-" + std::to_string(i), &moved);
    EXPECT_FALSE(moved) << "room was made for them";
    counts.Release();
    EXPECT_TRUE(counts.Empty());
    EXPECT_EQ(NameCounts::kNone, counts.Find("name-1"));
}

}  // namespace
