// corvanel.wfx64 never holds its host for good. Whatever call waits on a
// helper whose engine does not answer, the user is asked through the host's
// request callback, after kQuestionAfterMs of silence, whether to stop the
// engine; a No asks again once the silence has doubled, and a host without a
// request callback gives up after kGiveUpAfterMs (common/timing.h). The
// host here answers its progress callback with 0 whatever happens, as a file
// manager does for a listing outside any operation. The engine's own windows are no silence.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "common/timing.h"
#include "tests/e2e64/bridge_e2e_support.h"
#include "tests/stress/fault_control.h"
#include "tests/support/worker_thread.h"

namespace {


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
    EXPECT_EQ(RT_MsgYesNo, requestType);
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
            EXPECT_GE(question.tick, called + bound - kEarlyMs);
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
    EXPECT_GE(returned, called + kGiveUpAfterMs - kEarlyMs);
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

// The window of the test's main thread, as a file manager's main window:
// other threads' callbacks send it a message and wait for the answer, or
// post it work and wait for it to be done (as a Delphi or Lazarus thread's
// Synchronize does). A wait left unanswered for kUnansweredMs counts, rather
// than hangs the test.
class MainWindow {
public:
    static constexpr UINT kUnansweredMs = 5000;
    MainWindow() : done_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {
        WNDCLASSW windowClass = {};
        windowClass.lpfnWndProc = &Proc;
        windowClass.hInstance = GetModuleHandleW(nullptr);
        windowClass.lpszClassName = L"CorvanelTestMainWindow";
        RegisterClassW(&windowClass);
        window_ = CreateWindowExW(0, windowClass.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  windowClass.hInstance, nullptr);
        SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    }
    ~MainWindow() {
        DestroyWindow(window_);
        CloseHandle(done_);
    }
    bool Made() const { return window_ != nullptr && done_ != nullptr; }
    HWND Handle() const { return window_; }
    // From another thread: a message sent, then work posted, each waited for.
    void SendAndSynchronize() {
        DWORD_PTR result = 0;
        if (!SendMessageTimeoutW(window_, WM_NULL, 0, 0, SMTO_NORMAL, kUnansweredMs, &result)) {
            InterlockedIncrement(&unanswered_);
        }
        PostMessageW(window_, WM_APP, 0, 0);
        if (WaitForSingleObject(done_, kUnansweredMs) != WAIT_OBJECT_0) InterlockedIncrement(&unanswered_);
    }
    LONG Unanswered() { return InterlockedCompareExchange(&unanswered_, 0, 0); }
    // On the window's thread: its message loop until `done`, at most `ms`.
    bool AnswerUntil(const std::function<bool()>& done, DWORD ms) {
        for (const ULONGLONG start = GetTickCount64(); !done();) {
            if (GetTickCount64() - start > ms) return false;
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
            MSG message;
            while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
        }
        return true;
    }

private:
    static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_APP) {
            SetEvent(reinterpret_cast<MainWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA))->done_);
            return 0;
        }
        return DefWindowProcW(window, message, wParam, lParam);
    }

    HWND window_ = nullptr;
    HANDLE done_;
    volatile LONG unanswered_ = 0;
};

std::size_t ReportsOf(DWORD thread, int depth) {
    const std::vector<HostReport> reports = ScriptedHost::Instance().Reports();
    return std::count_if(reports.begin(), reports.end(),
                         [&](const HostReport& r) { return r.thread == thread && r.depth == depth; });
}

// Another thread's download stalls, and its progress callback waits for the
// main window each time, for a message sent and for work posted. A listing
// the main thread starts meanwhile neither leaves the window unanswered nor
// waits for the other call: it is refused once its thread is wanted back
// while that call's silence asks the host, and the question that frees the
// user comes on time.
TEST_F(SilentEngineTest, AThreadWaitingForItsTurnAnswersItsWindowAndIsRefusedWhileTheOtherCallAsks) {
    MakeStore({{"work\\photos\\a.jpg", "A"}, {"work\\photos\\stuck.bin", "S"}});
    MainWindow window;
    ASSERT_TRUE(window.Made());
    g_answers = {TRUE};
    ScriptedHost::Instance().Reset([&](const HostReport&) {
        window.SendAndSynchronize();
        return 0;
    });
    RestartWith(kStallVariable, "stuck.bin", &AnswerQuestion, &ScriptedHost::Progress);
    int downloaded = -1;
    DWORD downloader = 0;
    WorkerThread other([&] {
        downloader = GetCurrentThreadId();
        downloaded = Get("\\work\\photos\\stuck.bin", Local("stuck.bin"));
    });
    // Its second report is the first of its silence.
    ASSERT_TRUE(window.AnswerUntil([&] { return ScriptedHost::Instance().Reports().size() >= 2; }, 30000));
    std::string root = "\\";
    WIN32_FIND_DATAA record;
    const ULONGLONG called = GetTickCount64();
    const HANDLE listing = Fs().FsFindFirst(Text(root), &record);
    const DWORD error = GetLastError();
    const ULONGLONG returned = GetTickCount64();
    ASSERT_TRUE(window.AnswerUntil([&] { return other.Done(); }, 120000));
    other.Join();

    EXPECT_EQ(INVALID_HANDLE_VALUE, listing);
    EXPECT_EQ(static_cast<DWORD>(ERROR_BUSY), error);
    EXPECT_LE(returned - called, kSlackMs);
    EXPECT_EQ(0, window.Unanswered());
    EXPECT_EQ(FS_FILE_USERABORT, downloaded);
    ASSERT_EQ(1u, g_questions.size());
    EXPECT_NE(std::string::npos, g_questions[0].text.find("while downloading \\work\\photos\\stuck.bin"));
    EXPECT_GT(ReportsOf(downloader, 0), 2u);
    ExpectHelperReplaced();
}

// A thread that waits for its helper answers the messages sent to its
// windows meanwhile: another thread (or the engine's window, owned by the
// host's) does not wait for the helper too.
TEST_F(SilentEngineTest, AThreadWaitingForItsHelperAnswersItsWindow) {
    MakeStore({{"work\\photos\\a.jpg", "A"}});
    MainWindow window;
    ASSERT_TRUE(window.Made());
    FaultControl faults;
    Restart(&AnswerQuestion);
    bool answered = false;
    faults.Arm({faults::kFirstObject, faults::kPause, 1, 0}, [&] {
        DWORD_PTR result = 0;
        answered = SendMessageTimeoutW(window.Handle(), WM_NULL, 0, 0, SMTO_NORMAL, MainWindow::kUnansweredMs,
                                       &result) != 0;
    });
    EXPECT_EQ((std::vector<std::string>{"a.jpg"}), List("\\work\\photos"));
    EXPECT_TRUE(faults.Disarm().paused);
    EXPECT_TRUE(answered) << "the window waited for the helper";
}

// A listing the host reads on one thread while another thread's call waits
// on a paused engine, and that call's progress report about the silence
// waits for the first thread (a host that hands it over and waits): the
// listing's next entry is refused with an error, not an end, once that
// report has not come back for kQuietMs, and the listing goes on where it
// was once the other call has ended.
TEST_F(SilentEngineTest, AListingRefusedWhileAnotherCallAsksSaysSoAndGoesOnAfter) {
    MakeStore({{"work\\photos\\a.jpg", "A"}, {"work\\photos\\b.jpg", "B"}, {"work\\docs\\", ""}});
    FaultControl faults;
    const HANDLE resume = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const HANDLE answered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(nullptr, resume);
    ASSERT_NE(nullptr, answered);
    volatile LONG unanswered = 0;
    ScriptedHost::Instance().Reset([&](const HostReport&) {
        if (WaitForSingleObject(answered, 5000) != WAIT_OBJECT_0) InterlockedIncrement(&unanswered);
        return 0;
    });
    Restart(&AnswerQuestion, &ScriptedHost::Progress);
    std::string photos = "\\work\\photos";
    WIN32_FIND_DATAA record;
    const HANDLE listing = Fs().FsFindFirst(Text(photos), &record);
    ASSERT_NE(INVALID_HANDLE_VALUE, listing);
    EXPECT_STREQ("a.jpg", record.cFileName);
    faults.Arm({faults::kFirstObject, faults::kPause, 1, 0}, [&] { WaitForSingleObject(resume, 60000); });
    WorkerThread other([&] { List("\\work\\docs"); });
    for (int tries = 0; tries < 600 && ScriptedHost::Instance().Reports().empty(); ++tries) Sleep(50);
    ASSERT_FALSE(ScriptedHost::Instance().Reports().empty()) << "the paused listing was never asked about";
    SetLastError(0);
    const ULONGLONG called = GetTickCount64();
    EXPECT_FALSE(Fs().FsFindNext(listing, &record));
    EXPECT_EQ(static_cast<DWORD>(ERROR_BUSY), GetLastError());
    EXPECT_LE(GetTickCount64() - called, kSlackMs);
    SetEvent(answered);
    SetEvent(resume);
    other.Join();
    EXPECT_TRUE(faults.Disarm().paused);
    EXPECT_EQ(0, unanswered);
    ASSERT_TRUE(Fs().FsFindNext(listing, &record));
    EXPECT_STREQ("b.jpg", record.cFileName);
    EXPECT_FALSE(Fs().FsFindNext(listing, &record));
    EXPECT_EQ(0, Fs().FsFindClose(listing));
    for (const HANDLE event : {resume, answered}) CloseHandle(event);
}

// The main thread's download X: in its third report another thread lists a
// folder, nested in that report, and its engine stalls there. The main
// thread's callback returns while that listing waits, and its window stays
// answered. The other thread's host cancels in its listing's silence: that
// ends the listing alone, and X waits on for the engine, asked about as its
// own call; the user's Yes then ends X.
TEST_F(SilentEngineTest, ANestedCallOfAnotherThreadStallsWhileTheCallbackItWasMadeInHasReturned) {
    const std::string big(4 << 20, 'b');
    MakeStore({{"work\\photos\\a.jpg", "A"}, {"work\\photos\\stuck.bin", "S"}, {"work\\big\\big.bin", big}});
    MainWindow window;
    ASSERT_TRUE(window.Made());
    g_answers = {TRUE};
    const DWORD main = GetCurrentThreadId();
    std::unique_ptr<WorkerThread> lister;
    HANDLE listed = nullptr;
    DWORD listedError = 0, listerId = 0;
    int mainReports = 0;
    ScriptedHost::Instance().Reset([&](const HostReport& report) {
        if (report.thread != main) {
            window.SendAndSynchronize();
            return ReportsOf(report.thread, 0) >= 3 ? 1 : 0;  // Cancel at its third silence report
        }
        if (++mainReports == 3) {
            lister = std::make_unique<WorkerThread>([&] {
                listerId = GetCurrentThreadId();
                std::string photos = "\\work\\photos";
                WIN32_FIND_DATAA record;
                listed = Fs().FsFindFirst(Text(photos), &record);
                listedError = GetLastError();
            });
            // Back once the listing is asked about, its engine stalled.
            EXPECT_TRUE(window.AnswerUntil([&] { return ReportsOf(listerId, 0) >= 1; }, 30000));
        }
        return 0;
    });
    SetEnvironmentVariableA(kThrottleVariable, "50");
    RestartWith(kStallVariable, "a.jpg", &AnswerQuestion, &ScriptedHost::Progress);
    SetEnvironmentVariableA(kThrottleVariable, nullptr);

    EXPECT_EQ(FS_FILE_USERABORT, Get("\\work\\big\\big.bin", Local("big.bin")));
    ASSERT_NE(nullptr, lister);
    EXPECT_TRUE(window.AnswerUntil([&] { return lister->Done(); }, 60000));
    lister->Join();
    EXPECT_EQ(0, window.Unanswered());
    EXPECT_EQ(INVALID_HANDLE_VALUE, listed);
    EXPECT_EQ(static_cast<DWORD>(ERROR_CANCELLED), listedError);
    ASSERT_EQ(1u, g_questions.size());
    EXPECT_NE(std::string::npos, g_questions[0].text.find("while downloading \\work\\big\\big.bin"))
        << g_questions[0].text;
    EXPECT_FALSE(IsFile(Local("big.bin"))) << "the user stopped the download: its partial file goes";
    ExpectHelperReplaced();
}

// A listing made from inside a download's report whose engine pauses: the
// host's Cancel in that listing's silence ends the listing, as a Cancel at a
// report of a nested transfer ends that transfer; the download around it
// goes on to its end in the same helper once the engine answers again.
TEST_F(SilentEngineTest, ACancelInTheSilenceOfACallMadeInsideATransferEndsThatCallAlone) {
    const std::string big(4 << 20, 'b');
    MakeStore({{"work\\photos\\a.jpg", "A"}, {"work\\photos\\stuck.bin", "S"}, {"work\\big\\big.bin", big}});
    FaultControl faults;
    const HANDLE resume = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(nullptr, resume);
    HANDLE listed = nullptr;
    DWORD listedError = 0;
    int outer = 0;
    ScriptedHost::Instance().Reset([&](const HostReport& report) {
        if (report.depth > 0) return 1;  // the listing's silence: Cancel
        if (++outer == 3) {
            std::string photos = "\\work\\photos";
            WIN32_FIND_DATAA record;
            listed = Fs().FsFindFirst(Text(photos), &record);
            listedError = GetLastError();
            SetEvent(resume);
        }
        return 0;
    });
    RestartWith(kThrottleVariable, "20", &AnswerQuestion, &ScriptedHost::Progress);
    const std::vector<DWORD> helpers = HelpersOf(GetCurrentProcessId());
    faults.Arm({faults::kFirstObject, faults::kPause, 1, 0}, [&] { WaitForSingleObject(resume, 60000); });

    EXPECT_EQ(FS_FILE_OK, Get("\\work\\big\\big.bin", Local("big.bin")));
    EXPECT_TRUE(faults.Disarm().paused);
    EXPECT_TRUE(big == ReadBytes(Local("big.bin")));
    EXPECT_EQ(INVALID_HANDLE_VALUE, listed);
    EXPECT_EQ(static_cast<DWORD>(ERROR_CANCELLED), listedError);
    EXPECT_TRUE(g_questions.empty());
    EXPECT_EQ(helpers, HelpersOf(GetCurrentProcessId())) << "the helper was ended";
    EXPECT_EQ((std::vector<std::string>{"a.jpg", "stuck.bin"}), List("\\work\\photos"));
    CloseHandle(resume);
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
