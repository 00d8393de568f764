// FsGetFile and FsPutFile: the checks before a transfer, the reports the host
// sees while the engine's events arrive (on the calling thread and on others),
// moves, and the two overwrite rules.
#include <windows.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "binding/bstr.h"
#include "common/unique_handle.h"
#include "tests/support/plugin_fixture.h"
#include "tests/support/thread_locale.h"
#include "tests/support/worker_thread.h"

namespace {

constexpr int kPluginNumber = 7;
constexpr char kRemote[] = "\\work\\photos\\2009\\a.jpg";
constexpr char kRemoteLogged[] = "work|photos|2009\\a.jpg";

enum class Way { Download, Upload };
constexpr Way kBothWays[] = {Way::Download, Way::Upload};
const char* WayName(Way way) { return way == Way::Download ? "download" : "upload"; }

// One report as the host saw it; a null text shows as "(null)".
struct HostReport {
    std::string source;
    std::string target;
    int percent;
    bool operator==(const HostReport& other) const {
        return source == other.source && target == other.target && percent == other.percent;
    }
};
void PrintTo(const HostReport& r, std::ostream* os) {
    *os << "{" << r.source << ", " << r.target << ", " << r.percent << "}";
}
std::string TextOrNull(const char* text) { return text != nullptr ? text : "(null)"; }

// The host: every report in order, and its answer to each (continue unless a
// test says otherwise). A test that would loop forever is stopped at the
// pass limit, which TearDown reports as a failure.
std::vector<HostReport> g_reports;
std::function<int(const char* source, const char* target, int percent)> g_hostAnswer;
std::size_t g_passLimit = 200;
bool g_hitPassLimit = false;

int __stdcall RecordingProgress(int pluginNr, char* source, char* target, int percent) {
    EXPECT_EQ(kPluginNumber, pluginNr);
    g_reports.push_back({TextOrNull(source), TextOrNull(target), percent});
    if (g_reports.size() >= g_passLimit) {
        g_hitPassLimit = true;
        return 1;
    }
    return g_hostAnswer ? g_hostAnswer(source, target, percent) : 0;
}

// A report with the names in the direction's order: remote first for a
// download, local first for an upload.
HostReport Seen(Way way, const char* localName, const char* remoteName, int percent) {
    return way == Way::Download
               ? HostReport{TextOrNull(remoteName), TextOrNull(localName), percent}
               : HostReport{TextOrNull(localName), TextOrNull(remoteName), percent};
}

void AbortAtReport(std::size_t number) {
    g_hostAnswer = [number](const char*, const char*, int) { return g_reports.size() == number; };
}

// One progress event as the engine raises it; null texts go as null BSTRs.
struct Event {
    const char* local;
    const char* remote;
    LONG percent;
};

std::wstring Wide(const char* text) { return std::wstring(text, text + strlen(text)); }

void Fire(FakeStorageBrowser& engine, const Event& e) {
    const std::wstring local = e.local ? Wide(e.local) : L"";
    const std::wstring remote = e.remote ? Wide(e.remote) : L"";
    engine.FireProgress(e.local ? local.c_str() : nullptr, e.remote ? remote.c_str() : nullptr,
                        e.percent);
}

// An engine thread that raises its next event whenever the host's callback
// lets it, and holds the callback until the event has landed: each event
// arrives on another thread while the host is busy with a report.
class SteppedEvents {
public:
    SteppedEvents(FakeStorageBrowser& engine, std::vector<Event> events)
        : engine_(engine), events_(std::move(events)), thread_([this] { Run(); }) {}
    ~SteppedEvents() {
        InterlockedExchange(&stop_, 1);
        SetEvent(go_);
        thread_.Join();
        CloseHandle(go_);
        CloseHandle(landed_);
    }
    void Step() {
        if (next_ == events_.size()) return;
        ++next_;
        SetEvent(go_);
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(landed_, 5000));
    }

private:
    void Run() {
        for (const Event& e : events_) {
            WaitForSingleObject(go_, INFINITE);
            if (InterlockedCompareExchange(&stop_, 0, 0) != 0) return;
            Fire(engine_, e);
            SetEvent(landed_);
        }
    }

    FakeStorageBrowser& engine_;
    std::vector<Event> events_;
    std::size_t next_ = 0;
    LONG stop_ = 0;
    HANDLE go_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE landed_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    WorkerThread thread_;  // last: starts once everything above exists
};

bool LocalExists(const std::string& name) {
    return GetFileAttributesA(name.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void MakeLocalFile(const std::string& name) {
    const HANDLE file = CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file) << name;
    DWORD written = 0;
    WriteFile(file, "keep", 4, &written, nullptr);
    CloseHandle(file);
}

void RemoveTree(const std::string& dir) {
    WIN32_FIND_DATAA found;
    const HANDLE search = FindFirstFileA((dir + "\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::string name = found.cFileName;
            if (name == "." || name == "..") continue;
            const std::string full = dir + "\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveTree(full);
            } else {
                DeleteFileA(full.c_str());
            }
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    RemoveDirectoryA(dir.c_str());
}

class TransferTest : public PluginTest {
protected:
    void SetUp() override {
        PluginTest::SetUp();
        progress.CreateEventSink(&engine);
        ASSERT_TRUE(progress.EventSink()->IsConnected());
        State().pluginNumber = kPluginNumber;
        State().progressProc = &RecordingProgress;
        // Every engine call is noted with the number of reports made before
        // it; the transfer calls raise the events a test put in eventsInCall.
        engine.onCall = [this](const std::string& call) {
            callMoments.push_back(call + " @" + std::to_string(g_reports.size()));
            if (call.rfind("DownloadObject", 0) == 0 || call.rfind("UploadObject", 0) == 0) {
                for (const Event& e : eventsInCall) Fire(engine, e);
                if (onTransferCall) onTransferCall();
            }
        };
        char temp[MAX_PATH];
        ASSERT_NE(0u, GetTempPathA(MAX_PATH, temp));
        scratch_ = std::string(temp) + "corvanel_transfer_" +
                   std::to_string(GetCurrentProcessId()) + "_" + std::to_string(GetTickCount());
        ASSERT_TRUE(CreateDirectoryA(scratch_.c_str(), nullptr)) << scratch_;
        local = scratch_ + "\\a.jpg";
        NewRound();
    }
    void TearDown() override {
        EXPECT_FALSE(g_hitPassLimit) << "a relay did not end by itself";
        g_hostAnswer = nullptr;
        if (!scratch_.empty()) RemoveTree(scratch_);
        if (progress.EventSink() != nullptr) {
            progress.EventSink()->Disconnect();
            progress.EventSink()->Release();
        }
        PluginTest::TearDown();
    }

    // Forgets the reports, calls and answers of the previous round of a
    // table-driven test.
    void NewRound() {
        g_reports.clear();
        g_hostAnswer = nullptr;
        g_passLimit = 200;
        g_hitPassLimit = false;
        engine.calls.clear();
        callMoments.clear();
        eventsInCall.clear();
        onTransferCall = nullptr;
    }

    // An upload goes into a folder known to be empty, unless a test asks the
    // plugin to look for itself.
    int Transfer(Way way, int flags, const char* remote = kRemote) {
        if (way == Way::Upload && knownEmpty) KnowFolderEmpty(remote);
        return way == Way::Download
                   ? FsGetFile(HostText(remote), HostText(local.c_str()), flags, &remoteInfo)
                   : FsPutFile(HostText(local.c_str()), HostText(remote), flags);
    }
    void ScriptTransfer(Way way, HRESULT hr = S_OK) {
        engine.ScriptEnd(way == Way::Download ? "DownloadObject" : "UploadObject", hr);
    }
    // An engine that accepts the transfer and reaches 100 inside the call.
    void ScriptFinishedTransfer(Way way) {
        ScriptTransfer(way);
        eventsInCall = {{"l", "r", 100}};
    }
    // A transfer the overwrite rules refuse makes no report and no engine
    // call; one they let through runs to the end.
    void ExpectOverwriteOutcome(Way way, int flags, int expected) {
        const bool proceeds = expected == FS_FILE_OK;
        if (proceeds) ScriptFinishedTransfer(way);
        EXPECT_EQ(expected, Transfer(way, flags));
        EXPECT_EQ(proceeds ? 3u : 0u, g_reports.size());
        EXPECT_EQ(proceeds ? 1u : 0u, engine.calls.size());
    }
    // The engine call a transfer makes, as the fake logs it.
    std::string TransferCall(Way way, const std::string& remoteLogged = kRemoteLogged) const {
        return way == Way::Download ? "DownloadObject " + remoteLogged + " " + local
                                    : "UploadObject " + local + " " + remoteLogged;
    }
    HostReport FirstReport(Way way, const char* remote = kRemote) const {
        return Seen(way, local.c_str(), remote, 0);
    }

    bool knownEmpty = true;
    std::string local;  // does not exist unless a test makes it
    RemoteInfoStruct remoteInfo{};
    std::vector<std::string> callMoments;
    std::vector<Event> eventsInCall;
    std::function<void()> onTransferCall;

private:
    std::string scratch_;
};

TEST_F(TransferTest, ResumeIsRefusedBeforeAnyReportOrEngineCall) {
    for (Way way : kBothWays) {
        for (int flags : {2, 3, 6, 7, 2 | 8, 2 | 16, 0x1F, 2 | 0x100, INT_MIN | 2}) {
            SCOPED_TRACE(std::string(WayName(way)) + " flags " + std::to_string(flags));
            NewRound();
            EXPECT_EQ(FS_FILE_NOTSUPPORTED, Transfer(way, flags));
            EXPECT_TRUE(g_reports.empty());
            EXPECT_TRUE(engine.calls.empty());
        }
    }
}

TEST_F(TransferTest, RequestsThatCannotStartAreRefusedBeforeAnyReport) {
    const std::string tooLong = "\\work\\photos\\" + std::string(kRemoteTextLimit + 1, 'k');
    struct Case {
        Way way;
        const char* remote;
        bool nullLocal;
        int expected;
    } const cases[] = {
        {Way::Download, nullptr, false, FS_FILE_READERROR},
        {Way::Download, kRemote, true, FS_FILE_READERROR},
        {Way::Download, tooLong.c_str(), false, FS_FILE_READERROR},
        {Way::Upload, kRemote, true, FS_FILE_READERROR},
        {Way::Download, "\\Add new account(F7)", false, FS_FILE_NOTSUPPORTED},
        {Way::Download, "\\work\\Create new bucket(F7)", false, FS_FILE_NOTSUPPORTED},
        {Way::Download, "\\work\\photos\\Add new account(F7)", false, FS_FILE_NOTSUPPORTED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(WayName(c.way)) + " " + TextOrNull(c.remote).substr(0, 40));
        NewRound();
        char* localName = c.nullLocal ? nullptr : HostText(local.c_str());
        EXPECT_EQ(c.expected, c.way == Way::Download
                                  ? FsGetFile(HostText(c.remote), localName, 0, &remoteInfo)
                                  : FsPutFile(localName, HostText(c.remote), 0));
        EXPECT_TRUE(g_reports.empty());
        EXPECT_TRUE(engine.calls.empty());
    }
}

// Without an engine the checks that need none answer as they do with one;
// only a request that passes them is refused for the missing engine.
TEST_F(TransferTest, WithoutEngineOrProgressCallbackNothingStartsButEngineFreeChecksAnswer) {
    for (Way way : kBothWays) {
        SCOPED_TRACE(WayName(way));
        NewRound();
        State().engine = nullptr;
        EXPECT_EQ(FS_FILE_READERROR, Transfer(way, 0));
        EXPECT_EQ(FS_FILE_NOTSUPPORTED, Transfer(way, FS_COPYFLAGS_RESUME));
        State().engine = &engine;
        State().progressProc = nullptr;
        EXPECT_EQ(FS_FILE_READERROR, Transfer(way, 0));
        State().progressProc = &RecordingProgress;
        EXPECT_TRUE(g_reports.empty());
        EXPECT_TRUE(engine.calls.empty());
    }
    State().engine = nullptr;
    EXPECT_EQ(FS_FILE_NOTSUPPORTED, Transfer(Way::Download, 0, "\\work\\Create new bucket(F7)"));
    MakeLocalFile(local);
    EXPECT_EQ(FS_FILE_EXISTS, Transfer(Way::Download, 0));
    EXPECT_TRUE(g_reports.empty());
}

TEST_F(TransferTest, UploadBelowObjectLevelFailsBeforeAnyReport) {
    const std::string tooLong = "\\work\\photos\\" + std::string(kRemoteTextLimit + 1, 'k');
    for (const char* remote : {static_cast<const char*>(nullptr), "\\", "\\work", "\\work\\photos",
                               "\\work\\photos\\", tooLong.c_str()}) {
        SCOPED_TRACE(TextOrNull(remote).substr(0, 40));
        NewRound();
        EXPECT_EQ(FS_FILE_READERROR, Transfer(Way::Upload, 0, remote));
        EXPECT_TRUE(g_reports.empty());
        EXPECT_TRUE(engine.calls.empty());
    }
}

TEST_F(TransferTest, DownloadLevelIsNotExaminedAndUploadToAPlaceholderKeyIsOrdinary) {
    struct Case {
        Way way;
        const char* remote;
        const char* logged;
    } const cases[] = {
        {Way::Download, "\\work", "work||"},
        {Way::Download, "\\work\\photos", "work|photos|"},
        {Way::Upload, "\\work\\photos\\Create new bucket(F7)", "work|photos|Create new bucket(F7)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.remote);
        NewRound();
        ScriptFinishedTransfer(c.way);
        EXPECT_EQ(FS_FILE_OK, Transfer(c.way, 0, c.remote));
        EXPECT_EQ(std::vector<std::string>{TransferCall(c.way, c.logged)}, engine.calls);
        EXPECT_EQ(3u, g_reports.size());
    }
}

TEST_F(TransferTest, HostAbortAtTheFirstReportStopsBeforeTheEngine) {
    for (Way way : kBothWays) {
        SCOPED_TRACE(WayName(way));
        NewRound();
        AbortAtReport(1);
        EXPECT_EQ(FS_FILE_USERABORT, Transfer(way, FS_COPYFLAGS_MOVE));
        EXPECT_EQ(std::vector<HostReport>{FirstReport(way)}, g_reports);
        EXPECT_TRUE(engine.calls.empty());
    }
}

TEST_F(TransferTest, OnlyANegativeEngineResultRefusesTheTransfer) {
    struct Case {
        HRESULT hr;
        int expected;
    } const cases[] = {{E_FAIL, FS_FILE_READERROR},
                       {E_OUTOFMEMORY, FS_FILE_READERROR},
                       {S_FALSE, FS_FILE_OK}};
    for (Way way : kBothWays) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(WayName(way)) + " hr " + std::to_string(c.hr));
            NewRound();
            ScriptTransfer(way, c.hr);
            if (c.expected == FS_FILE_OK) eventsInCall = {{"l", "r", 100}};  // S_FALSE goes on
            EXPECT_EQ(c.expected, Transfer(way, 0));
            EXPECT_EQ(std::vector<std::string>{TransferCall(way)}, engine.calls);
            EXPECT_EQ(c.expected == FS_FILE_OK ? 3u : 1u, g_reports.size());
        }
    }
}

TEST_F(TransferTest, WithoutEventsTheRelayReportsNullNamesUntilTheHostAborts) {
    for (Way way : kBothWays) {
        SCOPED_TRACE(WayName(way));
        NewRound();
        ScriptTransfer(way);
        AbortAtReport(6);
        EXPECT_EQ(FS_FILE_USERABORT, Transfer(way, 0));
        std::vector<HostReport> expected{FirstReport(way)};
        expected.resize(6, HostReport{"(null)", "(null)", 0});
        EXPECT_EQ(expected, g_reports);
    }
}

TEST_F(TransferTest, HostAbortDuringTheRelayEndsTheTransferWithoutMoving) {
    for (Way way : kBothWays) {
        SCOPED_TRACE(WayName(way));
        NewRound();
        MakeLocalFile(local);
        ScriptTransfer(way);
        eventsInCall = {{"l", "r", 40}};
        AbortAtReport(2);
        // An existing local file needs the overwrite flag to be downloaded to.
        EXPECT_EQ(FS_FILE_USERABORT, Transfer(way, FS_COPYFLAGS_MOVE | FS_COPYFLAGS_OVERWRITE));
        EXPECT_EQ((std::vector<HostReport>{FirstReport(way), Seen(way, "l", "r", 40)}), g_reports);
        EXPECT_EQ(std::vector<std::string>{TransferCall(way)}, engine.calls);
        EXPECT_TRUE(LocalExists(local));
    }
}

// Names in expectations: the host's own arguments, no names yet, or the
// names of the event with that index.
constexpr int kHostNames = -2;
constexpr int kNoNames = -1;
struct Expected {
    int names;
    int percent;
};

struct RelayCase {
    const char* what;
    std::vector<Event> events;
    std::vector<Expected> reports;
};

// The record keeps no empty text: it reaches the host as a null pointer.
const char* AsHostSees(const char* eventText) {
    return eventText != nullptr && *eventText != '\0' ? eventText : nullptr;
}

std::vector<HostReport> ExpectedReports(Way way, const std::string& local, const RelayCase& c) {
    std::vector<HostReport> reports;
    for (const Expected& e : c.reports) {
        if (e.names == kHostNames) {
            reports.push_back(Seen(way, local.c_str(), kRemote, e.percent));
        } else if (e.names == kNoNames) {
            reports.push_back({"(null)", "(null)", e.percent});
        } else {
            const Event& event = c.events[static_cast<std::size_t>(e.names)];
            reports.push_back(Seen(way, AsHostSees(event.local), AsHostSees(event.remote), e.percent));
        }
    }
    return reports;
}

TEST_F(TransferTest, EventsRaisedInsideTheEngineCallAreRelayedThenFinishedAt100) {
    const RelayCase cases[] = {
        {"100 before the call returns", {{"C:\\x", "\\w\\p\\a", 100}},
         {{kHostNames, 0}, {0, 100}, {0, 100}}},
        {"120", {{"l", "r", 120}}, {{kHostNames, 0}, {0, 120}, {0, 100}}},
        {"150", {{"l", "r", 150}}, {{kHostNames, 0}, {0, 150}, {0, 100}}},
        {"the latest event wins", {{"l1", "r1", 30}, {"l2", "r2", 100}},
         {{kHostNames, 0}, {1, 100}, {1, 100}}},
        {"null remote name", {{"l", nullptr, 100}}, {{kHostNames, 0}, {0, 100}, {0, 100}}},
        {"empty local name", {{"", "r", 100}}, {{kHostNames, 0}, {0, 100}, {0, 100}}},
    };
    for (Way way : kBothWays) {
        for (const RelayCase& c : cases) {
            SCOPED_TRACE(std::string(WayName(way)) + ": " + c.what);
            NewRound();
            ScriptTransfer(way);
            eventsInCall = c.events;
            EXPECT_EQ(FS_FILE_OK, Transfer(way, 0));
            EXPECT_EQ(ExpectedReports(way, local, c), g_reports);
            EXPECT_EQ(std::vector<std::string>{TransferCall(way) + " @1"}, callMoments);
        }
    }
}

// Events land from another thread while the host handles a report; the
// final 100 carries the names of the pass that saw the transfer finish.
TEST_F(TransferTest, EventsLandingDuringTheHostsCallbackShowInTheNextPass) {
    const RelayCase cases[] = {
        {"steps", {{"l1", "r1", 10}, {"l2", "r2", 60}, {"l3", "r3", 100}},
         {{kHostNames, 0}, {kNoNames, 0}, {0, 10}, {1, 60}, {1, 100}}},
        {"negative is unfinished", {{"l1", "r1", -1}, {"l2", "r2", 100}},
         {{kHostNames, 0}, {kNoNames, 0}, {0, -1}, {0, 100}}},
        {"null texts", {{"l1", nullptr, 50}, {nullptr, "r2", 100}},
         {{kHostNames, 0}, {kNoNames, 0}, {0, 50}, {0, 100}}},
        {"finished at once", {{"l1", "r1", 100}}, {{kHostNames, 0}, {kNoNames, 0}, {kNoNames, 100}}},
    };
    for (Way way : kBothWays) {
        for (const RelayCase& c : cases) {
            SCOPED_TRACE(std::string(WayName(way)) + ": " + c.what);
            NewRound();
            ScriptTransfer(way);
            SteppedEvents engineThread(engine, c.events);
            // Events start once the engine has the transfer, at the second report.
            g_hostAnswer = [&](const char*, const char*, int) {
                if (g_reports.size() >= 2) engineThread.Step();
                return 0;
            };
            EXPECT_EQ(FS_FILE_OK, Transfer(way, 0));
            EXPECT_EQ(ExpectedReports(way, local, c), g_reports);
        }
    }
}

TEST_F(TransferTest, EventsLandingWhileTheRelaySleepsAreReportedInOrder) {
    const std::vector<Event> events = {{"l1", "r1", 10}, {"l2", "r2", 50}, {"l3", "r3", 100}};
    for (Way way : kBothWays) {
        SCOPED_TRACE(WayName(way));
        NewRound();
        ScriptTransfer(way);
        std::unique_ptr<WorkerThread> engineThread;
        onTransferCall = [&] {
            engineThread.reset(new WorkerThread([&] {
                for (const Event& e : events) {
                    Sleep(25);
                    Fire(engine, e);
                }
            }));
        };
        EXPECT_EQ(FS_FILE_OK, Transfer(way, 0));
        ASSERT_TRUE(engineThread && engineThread->Started());
        engineThread->Join();
        ASSERT_GE(g_reports.size(), 3u);
        EXPECT_EQ(FirstReport(way), g_reports.front());
        // Every pass shows one event's names with its own percentage or, when
        // nothing has arrived yet, no names; the percentages never go back.
        int lastPercent = 0;
        for (std::size_t i = 1; i + 1 < g_reports.size(); ++i) {
            const HostReport& r = g_reports[i];
            SCOPED_TRACE(i);
            EXPECT_GE(r.percent, lastPercent);
            lastPercent = r.percent;
            if (r.percent == 0) {
                EXPECT_EQ((HostReport{"(null)", "(null)", 0}), r);
                continue;
            }
            const Event& e = events[r.percent == 10 ? 0 : r.percent == 50 ? 1 : 2];
            EXPECT_EQ(Seen(way, e.local, e.remote, static_cast<int>(e.percent)), r);
        }
        const HostReport& beforeLast = g_reports[g_reports.size() - 2];
        EXPECT_EQ((HostReport{beforeLast.source, beforeLast.target, 100}), g_reports.back());
    }
}

// The engine finishes while the relay waits between passes, here for a
// period of 20 s: a relay that sleeps out its period cannot pass for one that
// wakes at the finishing event, however busy the machine. First come events
// below 100, which must not cut the wait short; then 100, which must. Two
// rounds in a row, so the second also shows that the first round's finish is
// not the second's.
TEST_F(TransferTest, RelayEndsAtTheFinishingEventStillOneReportPerPass) {
    State().relayPeriodMs = 20000;
    // The most a busy machine may take to wake the relay: half the period.
    constexpr ULONGLONG kWokenWithinMs = 10000;
    // What a relay given a wake-up it must not heed needs to make a pass,
    // on a quiet machine: its pass makes the reports differ.
    constexpr DWORD kTimeToMisstepMs = 100;
    for (Way way : kBothWays) {
        SCOPED_TRACE(WayName(way));
        NewRound();
        ScriptTransfer(way);
        const UniqueHandle firstPassMade(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        const UniqueHandle anotherPass(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        ULONGLONG finishedAt = 0, finishReportedAt = 0;
        WorkerThread engineThread([&] {
            if (WaitForSingleObject(firstPassMade.Get(), 5000) != WAIT_OBJECT_0) return;
            // The relay goes back to waiting meanwhile: the events below come
            // while it waits.
            WaitForSingleObject(anotherPass.Get(), kTimeToMisstepMs);
            for (LONG percent = 1; percent <= 20; ++percent) Fire(engine, {"part", "part", percent});
            WaitForSingleObject(anotherPass.Get(), kTimeToMisstepMs);
            finishedAt = GetTickCount64();
            Fire(engine, {"done", "done", 100});
        });
        g_hostAnswer = [&](const char*, const char*, int percent) {
            if (g_reports.size() == 2) SetEvent(firstPassMade.Get());
            if (g_reports.size() > 2) SetEvent(anotherPass.Get());
            if (percent == 100 && finishReportedAt == 0) finishReportedAt = GetTickCount64();
            return 0;
        };
        EXPECT_EQ(FS_FILE_OK, Transfer(way, 0));
        engineThread.Join();
        // The first report, the first pass before any event, the pass that
        // sees 100, the last report.
        EXPECT_EQ((std::vector<HostReport>{FirstReport(way), {"(null)", "(null)", 0},
                                           Seen(way, "done", "done", 100), Seen(way, "done", "done", 100)}),
                  g_reports);
        ASSERT_NE(0u, finishedAt);
        EXPECT_LT(finishReportedAt - finishedAt, kWokenWithinMs) << "the relay slept out its period";
    }
}

TEST_F(TransferTest, DownloadHandsTheEngineTheHostsSizeAndIgnoresTheRest) {
    struct Case {
        DWORD high;
        DWORD low;
        bool nullInfo;
        const char* logged;
    } const cases[] = {
        {1, 5, false, "work|photos|2009\\a.jpg#4294967301"},
        {0, 0xFFFFFFFF, false, "work|photos|2009\\a.jpg#4294967295"},
        {0, 0, false, "work|photos|2009\\a.jpg"},
        {7, 7, true, "work|photos|2009\\a.jpg"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.logged);
        NewRound();
        remoteInfo = RemoteInfoStruct{c.low, c.high, {0xdeadbeef, 0xdeadbeef}, -1};
        ScriptFinishedTransfer(Way::Download);
        EXPECT_EQ(FS_FILE_OK, FsGetFile(HostText(kRemote), HostText(local.c_str()), 0,
                                        c.nullInfo ? nullptr : &remoteInfo));
        EXPECT_EQ(std::vector<std::string>{TransferCall(Way::Download, c.logged)}, engine.calls);
    }
}

TEST_F(TransferTest, OverwriteAndUnknownBitsChangeNothingOnANewTarget) {
    for (Way way : kBothWays) {
        for (int flags : {0, FS_COPYFLAGS_OVERWRITE, 0x20, 0x100 | FS_COPYFLAGS_OVERWRITE,
                          0x7FFFFF00, INT_MIN}) {
            SCOPED_TRACE(std::string(WayName(way)) + " flags " + std::to_string(flags));
            NewRound();
            ScriptFinishedTransfer(way);
            EXPECT_EQ(FS_FILE_OK, Transfer(way, flags));
            EXPECT_EQ((std::vector<HostReport>{FirstReport(way), Seen(way, "l", "r", 100),
                                               Seen(way, "l", "r", 100)}),
                      g_reports);
            EXPECT_EQ(std::vector<std::string>{TransferCall(way)}, engine.calls);
        }
    }
}

TEST_F(TransferTest, DownloadOntoAnExistingLocalNameNeedsTheOverwriteFlag) {
    enum class Local { Absent, File, Directory };
    struct Case {
        Local existing;
        int flags;
        int expected;
    } const cases[] = {
        {Local::File, 0, FS_FILE_EXISTS},
        {Local::Directory, 0, FS_FILE_EXISTS},
        {Local::File, FS_COPYFLAGS_MOVE, FS_FILE_EXISTS},
        {Local::File, FS_COPYFLAGS_EXISTS_SAMECASE | 0x100, FS_FILE_EXISTS},
        {Local::File, FS_COPYFLAGS_RESUME, FS_FILE_NOTSUPPORTED},
        {Local::File, FS_COPYFLAGS_OVERWRITE, FS_FILE_OK},
        {Local::Directory, FS_COPYFLAGS_OVERWRITE, FS_FILE_OK},
        {Local::Absent, 0, FS_FILE_OK},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("flags " + std::to_string(c.flags));
        NewRound();
        RemoveDirectoryA(local.c_str());
        DeleteFileA(local.c_str());
        if (c.existing == Local::File) MakeLocalFile(local);
        if (c.existing == Local::Directory) {
            ASSERT_TRUE(CreateDirectoryA(local.c_str(), nullptr));
        }
        ExpectOverwriteOutcome(Way::Download, c.flags, c.expected);
        EXPECT_EQ(c.existing != Local::Absent, LocalExists(local));
    }
}

TEST_F(TransferTest, UploadOverAnObjectTheHostSawNeedsTheOverwriteFlag) {
    struct Case {
        int flags;
        int expected;
    } const cases[] = {
        {FS_COPYFLAGS_EXISTS_SAMECASE, FS_FILE_EXISTS},
        {FS_COPYFLAGS_EXISTS_DIFFERENTCASE, FS_FILE_EXISTS},
        {FS_COPYFLAGS_EXISTS_SAMECASE | FS_COPYFLAGS_EXISTS_DIFFERENTCASE, FS_FILE_EXISTS},
        {FS_COPYFLAGS_EXISTS_SAMECASE | FS_COPYFLAGS_MOVE | 0x100, FS_FILE_EXISTS},
        {FS_COPYFLAGS_EXISTS_DIFFERENTCASE | FS_COPYFLAGS_RESUME, FS_FILE_NOTSUPPORTED},
        {FS_COPYFLAGS_EXISTS_SAMECASE | FS_COPYFLAGS_OVERWRITE, FS_FILE_OK},
        {FS_COPYFLAGS_EXISTS_DIFFERENTCASE | FS_COPYFLAGS_OVERWRITE, FS_FILE_OK},
        {0, FS_FILE_OK},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("flags " + std::to_string(c.flags));
        NewRound();
        MakeLocalFile(local);
        ExpectOverwriteOutcome(Way::Upload, c.flags, c.expected);
        EXPECT_TRUE(LocalExists(local));
    }
}

// The host's thread runs in code page 932, the process in 1252, and the
// local name's bytes name one file in the first and another in the second.
// The existing-file check and an upload's deletion must look at the file the
// thread's code page names, the one the engine is given, never the other.
TEST_F(TransferTest, LocalNameInTheThreadsCodePageNamesOneFileForChecksAndDeletion) {
    ASSERT_EQ(1252u, GetACP());
    const ThreadLocale japanese(JapaneseLocale());
    ASSERT_EQ(932u, ThreadCodePage());
    const std::string dir = local.substr(0, local.rfind('\\'));
    const std::wstring nameMeant = L"\x65E5\x672C.txt";
    char nameBytes[32];
    ASSERT_LT(0, WideCharToMultiByte(932, 0, nameMeant.c_str(), -1, nameBytes, sizeof(nameBytes),
                                     nullptr, nullptr));
    const std::string hostName = dir + "\\" + nameBytes;
    const std::wstring meant = Wide(dir.c_str()) + L"\\" + nameMeant;
    wchar_t misreadText[MAX_PATH];
    ASSERT_LT(0, MultiByteToWideChar(1252, 0, hostName.c_str(), -1, misreadText, MAX_PATH));
    const std::wstring misread = misreadText;
    ASSERT_NE(meant, misread);
    const auto present = [](const std::wstring& name) {
        return GetFileAttributesW(name.c_str()) != INVALID_FILE_ATTRIBUTES;
    };
    const auto make = [](const std::wstring& name) {
        const HANDLE file = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, file);
        CloseHandle(file);
    };
    const auto download = [&] {
        return FsGetFile(HostText(kRemote), HostText(hostName.c_str()), 0, &remoteInfo);
    };
    {
        SCOPED_TRACE("download onto the file meant");
        NewRound();
        make(meant);
        EXPECT_EQ(FS_FILE_EXISTS, download());
        EXPECT_TRUE(g_reports.empty());
        EXPECT_TRUE(engine.calls.empty());
        DeleteFileW(meant.c_str());
    }
    {
        SCOPED_TRACE("download beside a file the misread name names");
        NewRound();
        make(misread);
        ScriptFinishedTransfer(Way::Download);
        EXPECT_EQ(FS_FILE_OK, download());
        const UniqueBstr engineName(SysAllocString(meant.c_str()));
        EXPECT_EQ(std::vector<std::string>{"DownloadObject " + std::string(kRemoteLogged) + " " +
                                           Describe(engineName.Get())},
                  engine.calls);
    }
    {
        SCOPED_TRACE("upload that moves");
        NewRound();
        make(meant);
        ScriptFinishedTransfer(Way::Upload);
        KnowFolderEmpty(kRemote);
        EXPECT_EQ(FS_FILE_OK, FsPutFile(HostText(hostName.c_str()), HostText(kRemote),
                                        FS_COPYFLAGS_MOVE));
        EXPECT_FALSE(present(meant)) << "the file uploaded was not deleted";
        EXPECT_TRUE(present(misread)) << "another file was deleted";
    }
    DeleteFileW(meant.c_str());
    DeleteFileW(misread.c_str());
}

TEST_F(TransferTest, DownloadMoveDeletesTheObjectAfterTheLastReportWhateverItsOutcome) {
    struct Case {
        HRESULT hr;
        VARIANT_BOOL ok;
        bool abortAtLastReport;
    } const cases[] = {
        {S_OK, VARIANT_TRUE, false},
        {E_FAIL, VARIANT_FALSE, false},
        {S_OK, VARIANT_FALSE, false},
        {S_OK, VARIANT_TRUE, true},  // too late to abort: the copy is complete
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.hr) + " " + std::to_string(c.ok));
        NewRound();
        ScriptFinishedTransfer(Way::Download);
        engine.ScriptChange("DeleteObject", c.hr, c.ok);
        if (c.abortAtLastReport) AbortAtReport(3);
        EXPECT_EQ(FS_FILE_OK, Transfer(Way::Download, FS_COPYFLAGS_MOVE));
        EXPECT_EQ((std::vector<std::string>{TransferCall(Way::Download) + " @1",
                                            "DeleteObject " + std::string(kRemoteLogged) + " @3"}),
                  callMoments);
    }
}

TEST_F(TransferTest, UploadMoveDeletesTheLocalFileAfterTheLastReportWhateverItsOutcome) {
    enum class Local { Present, Absent, HeldOpen };
    struct Case {
        Local file;
        bool abortAtLastReport;
        bool remainsAfter;
    } const cases[] = {
        {Local::Present, false, false},
        {Local::Present, true, false},  // too late to abort: the copy is complete
        {Local::Absent, false, false},
        {Local::HeldOpen, false, true},  // not shared for deletion: DeleteFile fails
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.file));
        NewRound();
        DeleteFileA(local.c_str());
        if (c.file != Local::Absent) MakeLocalFile(local);
        HANDLE held = INVALID_HANDLE_VALUE;
        if (c.file == Local::HeldOpen) {
            held = CreateFileA(local.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                               OPEN_EXISTING, 0, nullptr);
            ASSERT_NE(INVALID_HANDLE_VALUE, held);
        }
        ScriptFinishedTransfer(Way::Upload);
        std::vector<bool> presentAtReport;
        g_hostAnswer = [&](const char*, const char*, int) {
            presentAtReport.push_back(LocalExists(local));
            return c.abortAtLastReport && g_reports.size() == 3;
        };
        EXPECT_EQ(FS_FILE_OK, Transfer(Way::Upload, FS_COPYFLAGS_MOVE));
        if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
        EXPECT_EQ(std::vector<bool>(3, c.file != Local::Absent), presentAtReport);
        EXPECT_EQ(c.remainsAfter, LocalExists(local));
    }
}

// A worker raises a few hundred thousand events while the host's callback
// keeps the texts it was given and compares them again and again: they must
// neither change nor mix the names of two events until the callback returns.
TEST_F(TransferTest, TextsHandedToTheHostStayIntactWhileEventsPourIn) {
    constexpr int kEvents = 300000;
    // Event k names local-k and remote-k and carries k % 100, the last 100.
    LONG fired = 0;
    std::unique_ptr<WorkerThread> engineThread;
    onTransferCall = [&] {
        engineThread.reset(new WorkerThread([&] {
            for (int k = 0; k < kEvents; ++k) {
                const std::wstring n = std::to_wstring(k);
                engine.FireProgress((L"local-" + n).c_str(), (L"remote-" + n).c_str(),
                                    k + 1 == kEvents ? 100 : k % 100);
                InterlockedIncrement(&fired);
            }
        }));
    };
    ScriptTransfer(Way::Download);
    g_passLimit = 3000;  // some 30 s of passes; the worker needs a few
    int changedWhileHeld = 0;
    LONG eventsDuringCallbacks = 0;
    g_hostAnswer = [&](const char* source, const char* target, int) {
        // The first report (before the engine has the call) and passes
        // before the first event are not held.
        if (g_reports.size() == 1 || source == nullptr || target == nullptr) return 0;
        const LONG firedAtEntry = InterlockedCompareExchange(&fired, 0, 0);
        const std::string sourceAtEntry = source;
        const std::string targetAtEntry = target;
        // Held until a hundred more events have landed (or the worker is
        // done), comparing all the while.
        const DWORD entry = GetTickCount();
        LONG firedNow = firedAtEntry;
        while (firedNow - firedAtEntry < 100 && firedNow < kEvents && GetTickCount() - entry < 1000) {
            if (sourceAtEntry != source || targetAtEntry != target) {
                ++changedWhileHeld;
                break;
            }
            firedNow = InterlockedCompareExchange(&fired, 0, 0);
        }
        eventsDuringCallbacks += firedNow - firedAtEntry;
        return 0;
    };
    EXPECT_EQ(FS_FILE_OK, Transfer(Way::Download, 0));
    ASSERT_TRUE(engineThread);
    engineThread->Join();
    EXPECT_EQ(0, changedWhileHeld);
    EXPECT_GT(eventsDuringCallbacks, 0) << "no event arrived while the host held a report";
    std::printf("%u reports; %ld events landed while the host held one\n",
                static_cast<unsigned>(g_reports.size()), static_cast<long>(eventsDuringCallbacks));
    ASSERT_GE(g_reports.size(), 3u);
    // Every pass pairs one event's two names with that event's percentage.
    for (std::size_t i = 1; i + 1 < g_reports.size(); ++i) {
        const HostReport& r = g_reports[i];
        if (r.source == "(null)") continue;
        SCOPED_TRACE(r.source);
        const int k = std::stoi(r.source.substr(sizeof("remote-") - 1));
        EXPECT_EQ("local-" + std::to_string(k), r.target);
        EXPECT_EQ(k + 1 == kEvents ? 100 : k % 100, r.percent);
    }
    EXPECT_EQ(100, g_reports.back().percent);
}

}  // namespace
