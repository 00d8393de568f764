// What the plugin knows of a folder: names are one name whatever their letter
// case, as the thread's code page folds them, and every count is kept as the
// counts grow, also the one a change under way holds.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "plugin/folder_knowledge.h"
#include "tests/support/thread_locale.h"

namespace {

constexpr ULONGLONG kNow = 1000000;

LCID LocaleOf(WORD language, WORD sublanguage) {
    return MAKELCID(MAKELANGID(language, sublanguage), SORT_DEFAULT);
}

FolderName Folder() { return FolderName{PathLevel::Object, "work", "photos", "2009"}; }

void LearnNames(FolderKnowledge& knowledge, const std::vector<std::string>& names) {
    FolderNames listed;
    listed.Begin(Folder(), kNow, knowledge.Now());
    for (const std::string& name : names) {
        std::string buffer = name;
        buffer.resize(MAX_PATH);  // a find record's cFileName
        listed.Collect(buffer.data(), name.size());
    }
    knowledge.Learn(listed, kNow);
}

NameState Look(FolderKnowledge& knowledge, const std::string& name, bool sameEntry = false) {
    return knowledge.Look(Folder(), name.c_str(), sameEntry, kNow);
}

// Western, Japanese (0x5C can be a trail byte) and Turkish (whose dotted
// capital I is no ASCII I).
TEST(FolderKnowledgeTest, NamesInOtherLetterCaseAreOneNameInEveryCodePage) {
    std::string every, everyUpper;
    for (int c = 1; c < 128; ++c) {
        every += static_cast<char>(c);
        everyUpper += static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    }
    const LCID western = LocaleOf(LANG_ENGLISH, SUBLANG_ENGLISH_US), japanese = JapaneseLocale(),
               turkish = LocaleOf(LANG_TURKISH, SUBLANG_DEFAULT);
    const struct {
        std::vector<LCID> locales;
        std::string a, b;
        bool same;
    } cases[] = {
        {{western, japanese, turkish}, every, everyUpper, true},
        {{western, japanese, turkish}, "a.jpg", "A.JPG", true},
        {{western, japanese, turkish}, "file.txt", "FILE.TXT", true},
        {{western, japanese, turkish}, "a.jpg", "a.jpgx", false},
        {{western, japanese, turkish}, "a.jpg", "b.jpg", false},
        {{western, japanese, turkish}, "a.jpg", "", false},
        {{western}, "x\xE9", "X\xC9", true},
        {{western}, "f\xFDle.txt", "F\xDDLE.TXT", true},
        {{western}, "f\xFDle.txt", "FILE.TXT", false},
        {{japanese}, "\x95\x5C.txt", "\x95\x5C.TXT", true},
        {{japanese}, "\x82\xA0.jpg", "\x82\xA0.JPG", true},
        {{japanese}, "\x95\x5C.txt", "\x95|.txt", false},
        {{japanese}, "\x82\xA0.jpg", "\x82\xA1.jpg", false},
        {{turkish}, "f\xFDle.txt", "f\xDDle.txt", false},
    };
    for (const auto& c : cases) {
        for (const LCID locale : c.locales) {
            const ThreadLocale scope(locale);
            SCOPED_TRACE(std::to_string(ThreadCodePage()) + ": " + c.a + " / " + c.b);
            const NameState taken = c.same ? NameState::Taken : NameState::Free;
            FolderKnowledge knowledge;
            LearnNames(knowledge, {c.a});
            EXPECT_EQ(taken, Look(knowledge, c.b));
            EXPECT_EQ(c.same, FolderKnowledge::SameName(c.a.c_str(), c.b.c_str()));
            // Both in one folder: two entries of one name, or one each.
            LearnNames(knowledge, {c.a, c.b});
            EXPECT_EQ(taken, Look(knowledge, c.a, /*sameEntry=*/true));
        }
    }
}

TEST(FolderKnowledgeTest, EveryNameKeepsItsCountAsTheCountsGrow) {
    FolderKnowledge knowledge;
    std::vector<std::string> listed;
    for (int i = 0; i < 10; ++i) listed.push_back("name-" + std::to_string(i));
    LearnNames(knowledge, listed);
    const FolderName folder = Folder();
    // Under way while the counts grow from 10 names to 2,501.
    const FolderKnowledge::Change held = knowledge.BeginChange(&folder, "held.txt");
    for (int i = 0; i < 5000; ++i) {
        const std::string name = "NAME-" + std::to_string(i % 2500);
        knowledge.EndChange(knowledge.BeginChange(&folder, name.c_str()), FolderKnowledge::Outcome::Added);
    }
    knowledge.EndChange(held, FolderKnowledge::Outcome::Added);
    EXPECT_EQ(NameState::Taken, Look(knowledge, "held.txt")) << "followed, not forgotten";
    EXPECT_EQ(NameState::Free, Look(knowledge, "held.txt", /*sameEntry=*/true)) << "one entry";
    for (int i = 0; i < 2500; ++i) {
        EXPECT_EQ(NameState::Taken, Look(knowledge, "name-" + std::to_string(i), /*sameEntry=*/true)) << i;
    }
    EXPECT_EQ(NameState::Free, Look(knowledge, "name-2500"));
    EXPECT_EQ(NameState::Free, Look(knowledge, ""));

    // Removals count down to nothing, and forgetting lets every name go.
    const std::string first = "name-0";
    for (int i = 0; i < 3; ++i) {
        knowledge.EndChange(knowledge.BeginChange(&folder, first.c_str()), FolderKnowledge::Outcome::Removed);
    }
    EXPECT_EQ(NameState::Free, Look(knowledge, first));
    knowledge.Forget();
    EXPECT_EQ(NameState::Unknown, Look(knowledge, "name-1"));
}

}  // namespace
