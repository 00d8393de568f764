// corvanel.wfx64 never holds its host for good. Whatever call waits on a
// helper whose engine does not answer, the user is asked through the host's
// request callback, after kQuestionAfterMs of silence, whether to stop the
// engine; a No asks again once the silence has doubled, and a host without a
// request callback gives up after kGiveUpAfterMs (common/timing.h). The
// host here answers its progress callback with 0 whatever happens, as a file
// manager does for a listing outside any operation. The engine's own windows are no silence.
#include <gtest/gtest.h>
#include <windows.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "common/timing.h"
#include "tests/e2e64/bridge_e2e_support.h"

namespace {

// What a busy machine may add to a bound before the call has returned.
constexpr ULONGLONG kSlackMs = 5000;
constexpr int kRequestYesNo = 9;

struct Question {
    std::string title, text;
    ULONGLONG tick;
};
std::vector<Question> g_questions;
std::vector<BOOL> g_answers;  // in turn; No past the end
// A listing the host starts from inside the question, as its message loop
// may while the question is open; what FsFindFirst gave it.
const char* g_listedMeanwhile = nullptr;
std::vector<HANDLE> g_listingsMeanwhile;

const WfxExports& Plugin();

BOOL __stdcall AnswerQuestion(int pluginNumber, int requestType, char* title, char* text, char*, int) {
    g_questions.push_back({title != nullptr ? title : "(null)", text != nullptr ? text : "(null)",
                           GetTickCount64()});
    EXPECT_EQ(7, pluginNumber);
    EXPECT_EQ(kRequestYesNo, requestType);
    if (g_listedMeanwhile != nullptr) {
        std::string path = g_listedMeanwhile;
        WIN32_FIND_DATAA record;
        g_listingsMeanwhile.push_back(Plugin().FsFindFirst(&path[0], &record));
        EXPECT_EQ(static_cast<DWORD>(ERROR_BUSY), GetLastError());
    }
    return g_questions.size() <= g_answers.size() ? g_answers[g_questions.size() - 1] : FALSE;
}

// The first visible window of process `id`.
HWND VisibleWindowOf(DWORD id) {
    std::pair<DWORD, HWND> search{id, nullptr};
    EnumWindows(
        [](HWND window, LPARAM param) -> BOOL {
            auto* search = reinterpret_cast<std::pair<DWORD, HWND>*>(param);
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            if (owner != search->first || !IsWindowVisible(window)) return TRUE;
            search->second = window;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.second;
}

class SilentEngineTest : public BridgeE2eTest {
public:
    static const WfxExports& Exports() { return Fs(); }

protected:
    void SetUp() override {
        BridgeE2eTest::SetUp();
        g_questions.clear();
        g_answers.clear();
    }
    // A new helper whose engine stalls at `name`; its host answers the
    // questions with `answers`, or has no request callback when `asks` is false.
    void StallAt(const char* name, std::vector<BOOL> answers, bool asks = true) {
        g_questions.clear();
        g_answers = std::move(answers);
        RestartWith(kStallVariable, name, asks ? &AnswerQuestion : nullptr);
        Reports().clear();
    }
    // The questions came at the bound and then once the silence had doubled,
    // each naming what waits and for how long, and the call returned with the
    // last answer, its helper ended; the next call then works in a new helper.
    // The silence doubles from the moment of the answer, which a busy machine
    // may delay: each question after the first is timed from the one before.
    void ExpectAskedInTurn(ULONGLONG called, ULONGLONG returned, const std::string& waiting) {
        ULONGLONG bound = kQuestionAfterMs;
        for (const Question& question : g_questions) {
            SCOPED_TRACE(question.text);
            EXPECT_GE(question.tick, called + bound - 100);
            const ULONGLONG latest = &question == &g_questions.front()
                                         ? called + bound
                                         : called + 2 * ((&question - 1)->tick - called);
            EXPECT_LE(question.tick, latest + kSlackMs);
            EXPECT_EQ("Corvanel", question.title);
            // How long the engine has been silent, in whole seconds: at least
            // the bound, at most the time since the call.
            const std::string said = " seconds while " + waiting + ".";
            const std::size_t end = question.text.find(said);
            const std::size_t begin = question.text.rfind(" for ", end);
            ASSERT_NE(std::string::npos, end);
            ASSERT_NE(std::string::npos, begin);
            const ULONGLONG seconds = std::stoull(question.text.substr(begin + 5, end - begin - 5));
            EXPECT_GE(seconds, bound / 1000);
            EXPECT_LE(seconds, (question.tick - called) / 1000);
            EXPECT_NE(std::string::npos, question.text.find("Stop the storage engine?"));
            bound *= 2;
        }
        ASSERT_FALSE(g_questions.empty());
        EXPECT_LE(returned, g_questions.back().tick + kSlackMs);
        ExpectHelperReplaced();
    }
    void ExpectHelperReplaced() {
        EXPECT_TRUE(HelpersOf(GetCurrentProcessId()).empty()) << "the silent helper was left running";
        EXPECT_EQ((std::vector<std::string>{"a.jpg", "stuck.bin"}), List("\\work\\photos"));
        EXPECT_EQ(1u, HelpersOf(GetCurrentProcessId()).size());
    }
};

const WfxExports& Plugin() { return SilentEngineTest::Exports(); }

// A host that lists a folder from inside a transfer's progress callback, as
// a file manager's message loop may; what the listing gave it.
struct NestedListing {
    int atReport = 0;
    int reports = 0;
    bool inside = false;
    HANDLE handle = nullptr;
    DWORD error = 0;
} g_nested;

int __stdcall ListingInside(int, char*, char*, int) {
    if (g_nested.inside || ++g_nested.reports != g_nested.atReport) return 0;
    g_nested.inside = true;
    std::string path = "\\work\\photos";
    WIN32_FIND_DATAA record;
    g_nested.handle = Plugin().FsFindFirst(&path[0], &record);
    g_nested.error = GetLastError();
    g_nested.inside = false;
    return 0;
}

TEST_F(SilentEngineTest, AStalledListingEndsAtTheUsersYesThoughTheProgressCallbackNeverAborts) {
    MakeStore({{"work\\photos\\a.jpg", "A"}, {"work\\photos\\stuck.bin", "S"}, {"work\\many\\", ""}});
    MakeEmptyFiles(Store("work\\many"), 10000);
    std::string photos = "\\work\\photos", many = "\\work\\many";
    WIN32_FIND_DATAA record;

    // At its first entry, in FsFindFirst. A listing the host starts while
    // the question is open is refused: one request, and one question, at a time.
    StallAt("a.jpg", {TRUE});
    g_listedMeanwhile = "\\work\\many";
    ULONGLONG called = GetTickCount64();
    EXPECT_EQ(INVALID_HANDLE_VALUE, Fs().FsFindFirst(Text(photos), &record));
    EXPECT_EQ(static_cast<DWORD>(ERROR_CANCELLED), GetLastError());
    g_listedMeanwhile = nullptr;
    ExpectAskedInTurn(called, GetTickCount64(), "listing \\work\\photos");
    EXPECT_EQ(std::vector<HANDLE>{INVALID_HANDLE_VALUE}, g_listingsMeanwhile);
    // Every tenth of a second from the first second on: far more than once a second would give.
    EXPECT_GT(Reports().size(), 20u) << "the host's progress callback was asked meanwhile";

    // In the helper's read-ahead of a later batch: No, then Yes. The panel
    // has only names the store holds, each once.
    StallAt("9990", {FALSE, TRUE});
    const HANDLE listing = Fs().FsFindFirst(Text(many), &record);
    ASSERT_NE(INVALID_HANDLE_VALUE, listing);
    std::set<std::string> shown{record.cFileName};
    ULONGLONG longest = 0, waitedFrom = 0;
    for (;;) {
        const ULONGLONG before = GetTickCount64();
        const BOOL found = Fs().FsFindNext(listing, &record);
        if (GetTickCount64() - before > longest) longest = GetTickCount64() - (waitedFrom = before);
        if (!found) break;
        EXPECT_TRUE(shown.insert(record.cFileName).second) << record.cFileName;
    }
    EXPECT_EQ(static_cast<DWORD>(ERROR_CANCELLED), GetLastError());
    EXPECT_LT(shown.size(), 10000u);
    EXPECT_EQ(shown.end(), shown.find("9990"));
    for (const std::string& name : shown) EXPECT_TRUE(IsFile(Store("work\\many\\" + name))) << name;
    ASSERT_EQ(2u, g_questions.size());
    ExpectAskedInTurn(waitedFrom, waitedFrom + longest, "listing \\work\\many");
    EXPECT_EQ(0, Fs().FsFindClose(listing));
    EXPECT_EQ(10000u, List(many).size());
}

TEST_F(SilentEngineTest, StalledChangesFailAndLeaveTheStoreAsItWas) {
    MakeStore({{"work\\photos\\a.jpg", "A"}, {"work\\photos\\stuck.bin", "S"}});
    const std::vector<std::string> tree = TreeOf(store_);
    std::string folder = "\\work\\photos\\stuck", object = "\\work\\photos\\stuck.bin",
                source = "\\work\\photos\\a.jpg", copy = "\\work\\photos\\copy.jpg";
    RemoteInfoStruct info = {};
    const struct {
        const char* what;
        const char* stallAt;
        std::vector<BOOL> answers;
        std::function<int()> call;
        int failure;
    } cases[] = {
        {"creating \\work\\photos\\stuck", "stuck", {TRUE},
         [&] { return Fs().FsMkDir(Text(folder)); }, FALSE},
        {"deleting \\work\\photos\\stuck.bin", "stuck.bin", {FALSE, TRUE},
         [&] { return Fs().FsDeleteFile(Text(object)); }, FALSE},
        {"copying \\work\\photos\\a.jpg to \\work\\photos\\copy.jpg", "copy.jpg", {TRUE},
         [&] { return Fs().FsRenMovFile(Text(source), Text(copy), FALSE, FALSE, &info); },
         FS_FILE_USERABORT},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        StallAt(c.stallAt, c.answers);
        const ULONGLONG called = GetTickCount64();
        EXPECT_EQ(c.failure, c.call());
        const ULONGLONG returned = GetTickCount64();
        if (c.failure == FALSE) {
            EXPECT_EQ(static_cast<DWORD>(ERROR_CANCELLED), GetLastError());
        }
        EXPECT_EQ(c.answers.size(), g_questions.size());
        ExpectAskedInTurn(called, returned, c.what);
        EXPECT_EQ(tree, TreeOf(store_));
    }

    // A host that cannot ask: the call gives up by itself.
    StallAt("copy.jpg", {}, false);
    const ULONGLONG called = GetTickCount64();
    EXPECT_EQ(FS_FILE_READERROR, Fs().FsRenMovFile(Text(source), Text(copy), FALSE, FALSE, &info));
    const ULONGLONG returned = GetTickCount64();
    EXPECT_GE(returned, called + kGiveUpAfterMs - 100);
    EXPECT_LE(returned, called + kGiveUpAfterMs + kSlackMs);
    EXPECT_EQ(tree, TreeOf(store_));
    ExpectHelperReplaced();
}

// A call made from inside a transfer's progress callback is asked about as
// any other when its engine stalls; Yes ends the engine both use, so the
// transfer it was made from fails as well and loses its partial file.
TEST_F(SilentEngineTest, ANestedCallsStallAskedAboutEndsTheCallItWasMadeFromToo) {
    const std::string big(4 << 20, 'b');
    MakeStore({{"work\\photos\\a.jpg", "A"}, {"work\\photos\\stuck.bin", "S"}, {"work\\big\\slow.bin", big}});
    g_answers = {TRUE};
    g_nested = NestedListing{3};
    SetEnvironmentVariableA(kThrottleVariable, "20");
    SetEnvironmentVariableA(kStallVariable, "a.jpg");
    ASSERT_EQ(0, Fs().FsInit(7, &ListingInside, nullptr, &AnswerQuestion));
    SetEnvironmentVariableA(kThrottleVariable, nullptr);
    SetEnvironmentVariableA(kStallVariable, nullptr);

    EXPECT_EQ(FS_FILE_USERABORT, Get("\\work\\big\\slow.bin", Local("slow.bin")));
    EXPECT_EQ(INVALID_HANDLE_VALUE, g_nested.handle);
    EXPECT_EQ(static_cast<DWORD>(ERROR_CANCELLED), g_nested.error);
    ASSERT_EQ(1u, g_questions.size());
    EXPECT_NE(std::string::npos, g_questions[0].text.find("while listing \\work\\photos."));
    EXPECT_NE(std::string::npos, g_questions[0].text.find("and so is the file manager's action"))
        << g_questions[0].text;
    EXPECT_FALSE(IsFile(Local("slow.bin"))) << "the partial download was left";
    ExpectHelperReplaced();
}

TEST_F(SilentEngineTest, TheEnginesOwnWindowIsNoSilenceHoweverLongItStaysOpen) {
    MakeStore({{"work\\photos\\a.jpg", "A"}, {"work\\photos\\stuck.bin", "S"}});
    g_answers = {TRUE};  // a question would stop the engine at once
    Restart(&AnswerQuestion);
    const std::vector<DWORD> helpers = HelpersOf(GetCurrentProcessId());
    ASSERT_EQ(1u, helpers.size());
    // The user reads the engine's properties for a minute, then presses OK.
    struct Reader {
        DWORD helper;
        HWND window = nullptr;
        bool inFront = false;
        char title[64] = {};
    } reader{helpers.front()};
    const HANDLE thread = CreateThread(
        nullptr, 0,
        [](void* param) -> DWORD {
            auto* reader = static_cast<Reader*>(param);
            for (int tries = 0; tries < 300 && reader->window == nullptr; ++tries) {
                Sleep(100);
                reader->window = VisibleWindowOf(reader->helper);
            }
            if (reader->window == nullptr) return 1;
            const ULONGLONG opened = GetTickCount64();
            GetWindowTextA(reader->window, reader->title, sizeof(reader->title));
            for (int tries = 0; tries < 300 && !reader->inFront; ++tries) {
                Sleep(100);
                reader->inFront = GetForegroundWindow() == reader->window;
            }
            const ULONGLONG read = GetTickCount64() - opened;
            if (read < 60000) Sleep(static_cast<DWORD>(60000 - read));
            PostMessageA(reader->window, WM_COMMAND, IDOK, 0);
            return 0;
        },
        &reader, 0, nullptr);
    ASSERT_NE(nullptr, thread);
    std::string root = "\\", verb = "properties";
    const ULONGLONG called = GetTickCount64();
    EXPECT_EQ(FS_EXEC_OK, Fs().FsExecuteFile(nullptr, Text(root), Text(verb)));
    const ULONGLONG returned = GetTickCount64();
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    ASSERT_NE(nullptr, reader.window) << "the engine showed no window";
    EXPECT_STREQ("Corvanel", reader.title);
    EXPECT_TRUE(reader.inFront) << "the engine's window opened behind";
    EXPECT_GE(returned, called + 60000);
    EXPECT_TRUE(g_questions.empty()) << g_questions.front().text;
    EXPECT_EQ(helpers, HelpersOf(GetCurrentProcessId())) << "the helper was ended";
}

}  // namespace
