// Directory listing through the exported FsFindFirst, FsFindNext and
// FsFindClose, against the recording fake engine.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "binding/bstr.h"
#include "common/wfx_api.h"
#include "tests/support/fake_engine.h"
#include "tests/support/plugin_fixture.h"
#include "tests/support/slot_table_engine.h"
#include "tests/support/task_memory_spy.h"
#include "tests/support/thread_locale.h"

namespace {

constexpr DWORD kUntouchedError = 0xDEADBEEF;
const HANDLE kFailed = INVALID_HANDLE_VALUE;
// FILETIME ticks of 30 December 1899 and of 1 January 1970, both midnight.
constexpr ULONGLONG kOleEpochTicks = 94353120000000000ULL;
constexpr ULONGLONG kUnixEpochTicks = 116444736000000000ULL;
constexpr ULONGLONG kTicksPerHour = 36000000000ULL;
const std::wstring kLongestName(258, L'n');
const std::wstring kTooLongName(259, L'x');

// What the host sees of one find record.
struct Shown {
    std::string name;
    DWORD attributes = 0;
    DWORD sizeHigh = 0;
    DWORD sizeLow = 0;
    ULONGLONG writeTime = 0;
};
bool operator==(const Shown& a, const Shown& b) {
    return a.name == b.name && a.attributes == b.attributes && a.sizeHigh == b.sizeHigh &&
           a.sizeLow == b.sizeLow && a.writeTime == b.writeTime;
}
void PrintTo(const Shown& s, std::ostream* os) {
    *os << "{\"" << s.name << "\" attr " << s.attributes << " size " << s.sizeHigh << ":"
        << s.sizeLow << " time " << s.writeTime << "}";
}

ItemValues Entry(const std::wstring& name, LONG kind = 3, LONGLONG size = 0, DATE date = 0.0) {
    return ItemValues{name, /*nullName=*/false, date, kind, size};
}

ItemValues NamelessEntry() {
    ItemValues nameless;
    nameless.nullName = true;
    return nameless;
}

Answer FirstAnswer(ListingCookie cookie, bool hasItem, const ItemValues& item = ItemValues()) {
    Answer answer;
    answer.setCookie = true;
    answer.cookie = cookie;
    answer.hasItem = hasItem;
    answer.item = item;
    return answer;
}

Answer Failure(bool handsOutItem) {
    Answer answer;
    answer.hr = E_FAIL;
    answer.hasItem = handsOutItem;
    answer.item = Entry(L"stray");
    return answer;
}

// Every test also shows that each name text the engine handed over was freed.
class ListingTest : public PluginTest {
protected:
    void SetUp() override {
        PluginTest::SetUp();
        blocksBefore_ = LiveTaskMemoryBlocks();
        ASSERT_GE(blocksBefore_, 0) << "the task-memory spy is not installed";
    }
    void TearDown() override {
        EXPECT_EQ(blocksBefore_, LiveTaskMemoryBlocks()) << "name texts not freed";
        PluginTest::TearDown();
    }

    // Both seed the record and the last error, to show what the call wrote.
    // Next goes on with the listing First opened last, or with `handle`.
    HANDLE First(const char* path) {
        std::memset(&record, 0xCD, sizeof(record));
        SetLastError(kUntouchedError);
        opened_ = FsFindFirst(HostText(path), &record);
        return opened_;
    }
    BOOL Next() { return Next(opened_); }
    BOOL Next(HANDLE handle) {
        std::memset(&record, 0xCD, sizeof(record));
        SetLastError(kUntouchedError);
        return FsFindNext(handle, &record);
    }

    // The visible fields, after checking that every other byte is zero.
    Shown ShownRecord() {
        Shown s;
        s.name.assign(record.cFileName, strnlen(record.cFileName, sizeof(record.cFileName)));
        s.attributes = record.dwFileAttributes;
        s.sizeHigh = record.nFileSizeHigh;
        s.sizeLow = record.nFileSizeLow;
        s.writeTime = (ULONGLONG{record.ftLastWriteTime.dwHighDateTime} << 32) |
                      record.ftLastWriteTime.dwLowDateTime;
        WIN32_FIND_DATAA rebuilt;
        std::memset(&rebuilt, 0, sizeof(rebuilt));
        std::memcpy(rebuilt.cFileName, s.name.data(), s.name.size());
        rebuilt.dwFileAttributes = record.dwFileAttributes;
        rebuilt.nFileSizeHigh = record.nFileSizeHigh;
        rebuilt.nFileSizeLow = record.nFileSizeLow;
        rebuilt.ftLastWriteTime = record.ftLastWriteTime;
        EXPECT_EQ(0, std::memcmp(&rebuilt, &record, sizeof(record)))
            << "bytes outside the shown fields are not zero";
        return s;
    }

    WIN32_FIND_DATAA record;

private:
    HANDLE opened_ = INVALID_HANDLE_VALUE;
    LONG blocksBefore_ = 0;
};

TEST(TaskMemorySpy, CountsEachBstrUntilItIsFreed) {
    const LONG before = LiveTaskMemoryBlocks();
    ASSERT_GE(before, 0);
    UniqueBstr text = ToBstr("counted");
    EXPECT_EQ(before + 1, LiveTaskMemoryBlocks());
    text.Reset();
    EXPECT_EQ(before, LiveTaskMemoryBlocks());
}

TEST_F(ListingTest, EachDepthListsThroughItsOwnFirstAndNextOperations) {
    struct Case {
        const char* path;
        const char* first;
        std::string firstCall;
        std::string next;
    };
    const Case cases[] = {
        {"\\", "FirstAccount", "FirstAccount", "NextAccount"},
        {"", "FirstAccount", "FirstAccount", "NextAccount"},
        {"no-backslash", "FirstAccount", "FirstAccount", "NextAccount"},
        {"\\work", "FirstBucket", "FirstBucket work||", "NextBucket"},
        {"\\\\work\\", "FirstBucket", "FirstBucket work||", "NextBucket"},
        {"junk\\work", "FirstBucket", "FirstBucket work||", "NextBucket"},
        {"\\work\\photos", "FirstObject", "FirstObject work|photos|", "NextObject"},
        {"\\work\\\\photos\\", "FirstObject", "FirstObject work|photos|", "NextObject"},
        {"\\work\\photos\\2009\\raw", "FirstObject", "FirstObject work|photos|2009\\raw",
         "NextObject"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        engine.Script(c.first, FirstAnswer(42, true, Entry(L"one")));
        engine.ScriptItem(c.next, Entry(L"two"));
        engine.ScriptEnd(c.next);

        EXPECT_NE(kFailed, First(c.path));
        EXPECT_EQ("one", ShownRecord().name);
        EXPECT_EQ(TRUE, Next());
        EXPECT_EQ("two", ShownRecord().name);
        EXPECT_EQ(FALSE, Next());
        EXPECT_EQ(kUntouchedError, GetLastError());
        EXPECT_EQ((std::vector<std::string>{c.firstCall, c.next + " 42", c.next + " 42"}),
                  TakeCalls());
    }
}

TEST_F(ListingTest, EmptyListsAnswerByLevelAlsoWhenOnlyUnshowableEntriesCame) {
    struct Case {
        const char* path;
        const char* first;
        const char* next;
        ListingCookie cookie;
        bool opens;
        DWORD lastError;
        const char* placeholder;
    };
    const Case cases[] = {
        {"\\", "FirstAccount", "NextAccount", 5, true, kUntouchedError, "Add new account(F7)"},
        {"\\work", "FirstBucket", "NextBucket", 5, true, kUntouchedError,
         "Create new bucket(F7)"},
        {"\\work", "FirstBucket", "NextBucket", -1, false, ERROR_SUCCESS, ""},
        {"\\work\\photos", "FirstObject", "NextObject", 5, false, ERROR_NO_MORE_FILES, ""},
        {"\\work\\photos", "FirstObject", "NextObject", -1, false, ERROR_NO_MORE_FILES, ""},
        {"\\work\\photos\\2009", "FirstObject", "NextObject", 0, false, ERROR_NO_MORE_FILES,
         ""},
    };
    for (const bool skipping : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.path) + (skipping ? " after unshowable entries" : ""));
            engine.Script(c.first, FirstAnswer(c.cookie, skipping, NamelessEntry()));
            if (skipping) {
                engine.ScriptItem(c.next, Entry(kTooLongName));
                engine.ScriptEnd(c.next);
            }
            EXPECT_EQ(c.opens, First(c.path) != kFailed);
            EXPECT_EQ(c.lastError, GetLastError());
            // Nothing of a refused long name is left behind.
            const DWORD attributes = c.opens ? FILE_ATTRIBUTE_NORMAL : 0;
            EXPECT_EQ((Shown{c.placeholder, attributes}), ShownRecord());
            EXPECT_EQ(skipping ? 3u : 1u, TakeCalls().size());
            if (!c.opens) continue;

            // After a placeholder the listing goes on with the First cookie.
            engine.ScriptItem(c.next, Entry(L"later"));
            engine.ScriptEnd(c.next);
            EXPECT_EQ(TRUE, Next());
            EXPECT_EQ("later", ShownRecord().name);
            EXPECT_EQ(FALSE, Next());
            const std::string nextCall = c.next + std::string(" 5");
            EXPECT_EQ((std::vector<std::string>{nextCall, nextCall}), TakeCalls());
        }
    }
}

TEST_F(ListingTest, EngineFailuresEndTheListingWithoutLastError) {
    for (const bool handsOutItem : {false, true}) {
        SCOPED_TRACE(handsOutItem ? "failing call hands out an item" : "no item");
        for (const char* first : {"FirstAccount", "FirstBucket", "FirstObject"}) {
            engine.Script(first, Failure(handsOutItem));
        }
        EXPECT_EQ(kFailed, First("\\"));
        EXPECT_EQ(kFailed, First("\\work"));
        EXPECT_EQ(kFailed, First("\\work\\photos\\2009"));
        EXPECT_EQ(kUntouchedError, GetLastError());

        engine.Script("FirstObject", FirstAnswer(1, true, Entry(L"kept")));
        engine.Script("NextObject", Failure(handsOutItem));
        EXPECT_NE(kFailed, First("\\work\\photos"));
        EXPECT_EQ(FALSE, Next());

        // A failure while passing over an entry that cannot be shown.
        engine.Script("FirstObject", FirstAnswer(1, true, NamelessEntry()));
        engine.Script("NextObject", Failure(handsOutItem));
        EXPECT_EQ(kFailed, First("\\work\\photos"));
        EXPECT_EQ(kUntouchedError, GetLastError());
        EXPECT_EQ(7u, TakeCalls().size());
    }
}

TEST_F(ListingTest, AFailingGetterFailsFirstAndEndsNextKeepingEarlierFields) {
    const DATE noon1970 = 25569.5;
    const ULONGLONG noon1970Ticks = kUnixEpochTicks + 12 * kTicksPerHour;
    struct Case {
        const char* getter;
        HRESULT ItemValues::*result;
        Shown partial;
    };
    const Case cases[] = {
        {"Name", &ItemValues::nameResult, Shown{}},
        {"Date", &ItemValues::dateResult, Shown{"n"}},
        {"Kind", &ItemValues::kindResult, Shown{"n", 0, 0, 0, noon1970Ticks}},
        {"Size", &ItemValues::sizeResult, Shown{"n", FILE_ATTRIBUTE_NORMAL, 0, 0, noon1970Ticks}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.getter);
        ItemValues failing = Entry(L"n", 3, 7, noon1970);
        failing.*c.result = E_FAIL;

        engine.Script("FirstObject", FirstAnswer(1, true, failing));
        EXPECT_EQ(kFailed, First("\\work\\photos"));
        EXPECT_EQ(kUntouchedError, GetLastError());
        EXPECT_EQ(c.partial, ShownRecord());

        engine.Script("FirstObject", FirstAnswer(1, true, Entry(L"ok")));
        engine.ScriptItem("NextObject", failing);
        EXPECT_NE(kFailed, First("\\work\\photos"));
        EXPECT_EQ(FALSE, Next());
        EXPECT_EQ(c.partial, ShownRecord());
        EXPECT_EQ(3u, TakeCalls().size());
    }
}

TEST_F(ListingTest, KindThreeIsAFileAndSizesSplitBitForBit) {
    struct Case {
        LONG kind;
        LONGLONG size;
        DWORD attributes, high, low;
    };
    const Case cases[] = {
        {3, 0x100000005LL, FILE_ATTRIBUTE_NORMAL, 1, 5},
        {0, 0, FILE_ATTRIBUTE_DIRECTORY, 0, 0},
        {1, 0x80000000LL, FILE_ATTRIBUTE_DIRECTORY, 0, 0x80000000u},
        {2, 0x7FFFFFFFFFFFFFFFLL, FILE_ATTRIBUTE_DIRECTORY, 0x7FFFFFFFu, 0xFFFFFFFFu},
        {4, -1, FILE_ATTRIBUTE_DIRECTORY, 0xFFFFFFFFu, 0xFFFFFFFFu},
        {-1, -0x100000000LL, FILE_ATTRIBUTE_DIRECTORY, 0xFFFFFFFFu, 0},
        {-3, 3, FILE_ATTRIBUTE_DIRECTORY, 0, 3},
        {0x7FFFFFFF, 0, FILE_ATTRIBUTE_DIRECTORY, 0, 0},
        {static_cast<LONG>(0x80000000u), 0, FILE_ATTRIBUTE_DIRECTORY, 0, 0},
    };
    engine.Script("FirstObject", FirstAnswer(1, true, Entry(L"e", cases[0].kind, cases[0].size)));
    for (std::size_t i = 1; i < std::size(cases); ++i) {
        engine.ScriptItem("NextObject", Entry(L"e", cases[i].kind, cases[i].size));
    }
    engine.ScriptEnd("NextObject");

    EXPECT_NE(kFailed, First("\\work\\photos"));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].kind);
        if (i > 0) {
            EXPECT_EQ(TRUE, Next());
        }
        EXPECT_EQ((Shown{"e", cases[i].attributes, cases[i].high, cases[i].low, kOleEpochTicks}),
                  ShownRecord());
    }
    EXPECT_EQ(FALSE, Next());
}

TEST_F(ListingTest, DatesConvertAsGivenAndUnconvertibleOnesLeaveZero) {
    struct Case {
        DATE date;
        ULONGLONG ticks;
    };
    const Case cases[] = {
        {0.0, kOleEpochTicks},  // a real instant, not "no date"
        {25569.5, kUnixEpochTicks + 12 * kTicksPerHour},
        {25569.25, kUnixEpochTicks + 6 * kTicksPerHour},
        {-200000.0, 0},  // in the year 1352: before FILETIME begins
        {1.0e9, 0},      // past the last date there is
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.date);
        engine.Script("FirstAccount", FirstAnswer(1, true, Entry(L"d", 0, 0, c.date)));
        EXPECT_NE(kFailed, First("\\"));
        EXPECT_EQ((Shown{"d", FILE_ATTRIBUTE_DIRECTORY, 0, 0, c.ticks}), ShownRecord());
        EXPECT_EQ(kUntouchedError, GetLastError());
    }
    EXPECT_EQ(std::size(cases), TakeCalls().size());
}

TEST_F(ListingTest, NamesArriveWholeInTheThreadCodePage) {
    ThreadLocale english(MAKELCID(MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), SORT_DEFAULT));
    struct Case {
        std::wstring name;
        std::string shown;
    };
    const Case cases[] = {
        {kLongestName, std::string(258, 'n')},
        {L"caf\x00E9", "caf\xE9"},
        {L"a\x4E2D", "a?"},                     // missing from code page 1252
        {std::wstring(L"ab\0cd", 5), "ab"},  // read up to the first NUL
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.shown);
        engine.Script("FirstBucket", FirstAnswer(1, true, Entry(c.name)));
        EXPECT_NE(kFailed, First("\\work"));
        EXPECT_EQ(c.shown, ShownRecord().name);
    }
    EXPECT_EQ(std::size(cases), TakeCalls().size());
}

TEST_F(ListingTest, EntriesWhoseNameCannotBeShownWholeAreSkipped) {
    engine.Script("FirstObject", FirstAnswer(3, true, NamelessEntry()));
    engine.ScriptItem("NextObject", Entry(kTooLongName));
    engine.ScriptItem("NextObject", Entry(L"kept"));
    engine.ScriptItem("NextObject", Entry(kTooLongName));
    engine.ScriptItem("NextObject", Entry(L"after", 0));
    engine.ScriptItem("NextObject", NamelessEntry());
    engine.ScriptEnd("NextObject");

    EXPECT_NE(kFailed, First("\\work\\photos"));
    EXPECT_EQ((Shown{"kept", FILE_ATTRIBUTE_NORMAL, 0, 0, kOleEpochTicks}), ShownRecord());
    EXPECT_EQ(TRUE, Next());
    EXPECT_EQ((Shown{"after", FILE_ATTRIBUTE_DIRECTORY, 0, 0, kOleEpochTicks}), ShownRecord());
    EXPECT_EQ(FALSE, Next());
    EXPECT_EQ(7u, TakeCalls().size());

    // The limit is on bytes: 129 double-byte characters fit, 130 do not.
    ThreadLocale japanese(MAKELCID(MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT), SORT_DEFAULT));
    engine.Script("FirstObject", FirstAnswer(3, true, Entry(std::wstring(130, L'\x4E2D'))));
    engine.ScriptItem("NextObject", Entry(std::wstring(129, L'\x4E2D')));
    EXPECT_NE(kFailed, First("\\work\\photos"));
    EXPECT_EQ(258u, ShownRecord().name.size());
}

TEST_F(ListingTest, NestedListingsEachGoOnWithTheirOwnCookieAtEveryDepth) {
    // A folder tree walked depth first: each level's listing opens inside its
    // parent's, after the parent's first entry, and the parent goes on once
    // the child is read and closed.
    const struct {
        const char* path;
        const char* first;
        const char* next;
        ListingCookie cookie;
        const wchar_t* entries[2];
    } levels[] = {
        {"\\", "FirstAccount", "NextAccount", 10, {L"work", L"zoo"}},
        {"\\work", "FirstBucket", "NextBucket", 20, {L"photos", L"pics"}},
        {"\\work\\photos", "FirstObject", "NextObject", 30, {L"2009", L"b.jpg"}},
        {"\\work\\photos\\2009", "FirstObject", "NextObject", 40, {L"raw", L"c.jpg"}},
        {"\\work\\photos\\2009\\raw", "FirstObject", "NextObject", 50, {L"d.cr2", L"e.cr2"}},
    };
    std::vector<HANDLE> handles;
    for (const auto& level : levels) {
        engine.Script(level.first, FirstAnswer(level.cookie, true, Entry(level.entries[0], 0)));
        handles.push_back(First(level.path));
        ASSERT_NE(kFailed, handles.back()) << level.path;
        EXPECT_EQ(1u, TakeCalls().size());
        EXPECT_EQ(std::find(handles.begin(), handles.end() - 1, handles.back()), handles.end() - 1)
            << "a handle of a listing still open";
        EXPECT_EQ(std::string(level.entries[0], level.entries[0] + wcslen(level.entries[0])),
                  ShownRecord().name);
    }
    for (std::size_t depth = std::size(levels); depth-- > 0;) {
        const auto& level = levels[depth];
        SCOPED_TRACE(level.path);
        engine.ScriptItem(level.next, Entry(level.entries[1]));
        engine.ScriptEnd(level.next);
        EXPECT_EQ(TRUE, Next(handles[depth]));
        EXPECT_EQ(std::string(level.entries[1], level.entries[1] + wcslen(level.entries[1])),
                  ShownRecord().name);
        EXPECT_EQ(FALSE, Next(handles[depth]));
        const std::string nextCall = level.next + std::string(" ") + std::to_string(level.cookie);
        EXPECT_EQ((std::vector<std::string>{nextCall, nextCall}), TakeCalls());
        EXPECT_EQ(0, FsFindClose(handles[depth]));
    }
}

// The host's progress callback for the upload that interrupts a listing: it
// lets the upload start, then stops it at the relay's first report.
int g_reports = 0;
int __stdcall StopAtSecondReport(int, char*, char*, int) { return ++g_reports == 2; }

TEST_F(ListingTest, CallsBetweenAListingsStepsLeaveItsLevelAndCookieAlone) {
    State().progressProc = &StopAtSecondReport;
    engine.Script("FirstBucket", FirstAnswer(7, true, Entry(L"photos", 0)));
    const HANDLE buckets = First("\\work");  // the account's listing
    ASSERT_NE(kFailed, buckets);
    TakeCalls();

    // Changes at other depths, none of which touches the open listing.
    engine.ScriptChange("CreateFolder", S_OK, VARIANT_TRUE);
    EXPECT_EQ(TRUE, FsMkDir(HostText("\\work\\photos\\new")));
    engine.ScriptChange("UploadObject", S_OK, VARIANT_TRUE);
    EXPECT_EQ(FS_FILE_USERABORT, FsPutFile(HostText("C:\\up.txt"), HostText("\\work\\photos\\up.txt"),
                                           FS_COPYFLAGS_OVERWRITE));
    engine.ScriptChange("CopyObject", S_OK, VARIANT_TRUE);
    EXPECT_EQ(FS_FILE_OK, FsRenMovFile(HostText("\\work\\photos\\a"), HostText("\\work\\photos\\b"),
                                       TRUE, TRUE, nullptr));
    EXPECT_EQ(3u, TakeCalls().size());

    engine.ScriptItem("NextBucket", Entry(L"pics", 0));
    EXPECT_EQ(TRUE, Next(buckets));
    EXPECT_EQ("pics", ShownRecord().name);
    EXPECT_EQ((std::vector<std::string>{"NextBucket 7"}), TakeCalls());
}

TEST_F(ListingTest, HandlesNeverGivenOutOrClosedNameNoListing) {
    engine.Script("FirstObject", FirstAnswer(3, true, Entry(L"a")));
    const HANDLE open = First("\\work\\photos");
    ASSERT_NE(kFailed, open);
    EXPECT_NE(nullptr, open);
    for (const HANDLE stranger : {HANDLE{nullptr}, kFailed, reinterpret_cast<HANDLE>(0x1234),
                                  reinterpret_cast<HANDLE>(reinterpret_cast<UINT_PTR>(open) + 0x100)}) {
        EXPECT_EQ(FALSE, Next(stranger));
        EXPECT_EQ(0, FsFindClose(stranger));
    }
    engine.ScriptItem("NextObject", Entry(L"b"));
    EXPECT_EQ(TRUE, Next(open)) << "a stranger's call disturbed the open listing";
    EXPECT_EQ((std::vector<std::string>{"FirstObject work|photos|", "NextObject 3"}), TakeCalls());

    EXPECT_EQ(0, FsFindClose(open));
    EXPECT_EQ(FALSE, Next(open));
    EXPECT_EQ(0, FsFindClose(open));
    EXPECT_TRUE(TakeCalls().empty()) << "a closed listing reached the engine";
}

TEST_F(ListingTest, PastTheBoundTheOldestOpenListingIsClosed) {
    const std::size_t bound = OpenListings::kMostOpen;
    std::vector<HANDLE> handles;
    for (std::size_t i = 0; i <= bound; ++i) {
        engine.Script("FirstObject", FirstAnswer(static_cast<ListingCookie>(i), true, Entry(L"a")));
        handles.push_back(First("\\work\\photos"));
        ASSERT_NE(kFailed, handles.back());
    }
    EXPECT_EQ(bound + 1, std::set<HANDLE>(handles.begin(), handles.end()).size());
    TakeCalls();
    EXPECT_EQ(FALSE, Next(handles[0])) << "the oldest stays open past the bound";
    EXPECT_TRUE(TakeCalls().empty());
    for (const std::size_t kept : {std::size_t{1}, bound}) {
        engine.ScriptItem("NextObject", Entry(L"b"));
        EXPECT_EQ(TRUE, Next(handles[kept]));
        EXPECT_EQ((std::vector<std::string>{"NextObject " + std::to_string(kept)}), TakeCalls());
    }
}

TEST_F(ListingTest, RefusedCallsNeverReachTheEngine) {
    const std::string overlong = "\\work\\" + std::string(259, 'b');
    struct Case {
        const char* what;
        const char* path;
        WIN32_FIND_DATAA* findData;
        DWORD lastError;
    };
    const Case cases[] = {
        {"null path", nullptr, &record, kUntouchedError},
        {"null record", "\\work", nullptr, kUntouchedError},
        {"component too long", overlong.c_str(), &record, ERROR_FILENAME_EXCED_RANGE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetLastError(kUntouchedError);
        EXPECT_EQ(kFailed, FsFindFirst(HostText(c.path), c.findData));
        EXPECT_EQ(c.lastError, GetLastError());
    }
    engine.Script("FirstObject", FirstAnswer(3, true, Entry(L"a")));
    const HANDLE open = First("\\work\\photos");
    TakeCalls();
    EXPECT_EQ(FALSE, FsFindNext(open, nullptr));

    State().engine = nullptr;  // as a failed FsInit leaves it
    EXPECT_EQ(kFailed, First("\\work"));
    EXPECT_EQ(FALSE, Next(open));
    EXPECT_TRUE(engine.calls.empty());
}

TEST_F(ListingTest, ListingReachesTheContractSlotsAndRecordLayout) {
    SlotTableEngine slots;
    slots.itemName = L"entry";
    slots.itemDate = 25569.5;
    slots.itemKind = 3;
    slots.itemSize = 0x100000005LL;
    State().engine = slots.AsEngine();
    struct Case {
        const char* path;
        int firstSlot;
        std::string firstArgs;
        int nextSlot;
        std::string nextArgs;
    };
    const Case cases[] = {
        {"\\", 7, "", 8, "7"},
        {"\\work", 9, "work|||0", 10, "9"},
        {"\\work\\photos\\2009\\raw", 11, "work|photos|2009\\raw|0", 12, "11"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        slots.calls.clear();
        EXPECT_NE(kFailed, First(c.path));
        EXPECT_EQ((Shown{"entry", FILE_ATTRIBUTE_NORMAL, 1, 5,
                         kUnixEpochTicks + 12 * kTicksPerHour}),
                  ShownRecord());
        EXPECT_EQ(FALSE, Next());
        ASSERT_EQ(2u, slots.calls.size());
        EXPECT_EQ(c.firstSlot, slots.calls[0].slot);
        EXPECT_EQ(c.firstArgs, slots.calls[0].args);
        EXPECT_EQ(c.nextSlot, slots.calls[1].slot);
        EXPECT_EQ(c.nextArgs, slots.calls[1].args);
        EXPECT_EQ(0, slots.liveItems);
    }
}

}  // namespace
