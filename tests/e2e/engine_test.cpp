// The registered engine's progress events, watched directly: created by its
// ProgID, with the plugin's own event sink recording every event and the
// thread it arrives on. Everything else the engine does is checked through
// the plugin's exports.
#include <gtest/gtest.h>
#include <windows.h>
#include <wrl/client.h>

#include <algorithm>
#include <string>
#include <vector>

#include "binding/bstr.h"
#include "binding/event_sink.h"
#include "binding/storage_browser.h"
#include "common/srw_lock.h"
#include "path/remote_path.h"
#include "tests/e2e/e2e_support.h"
#include "tests/stress/fault_control.h"

namespace {

struct Event {
    DWORD thread;
    LONG percent;
    std::string remote, local;
};

class EventRecorder {
public:
    using Sink = TEventHandlerNamespace::TEventHandler<EventRecorder, IStorageBrowser,
                                                       IStorageBrowserEvents>;

    explicit EventRecorder(IStorageBrowser* engine)
        : ended_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
          sink_(new Sink(*this, engine, &EventRecorder::OnEvent)) {}
    ~EventRecorder() {
        sink_->Disconnect();
        sink_->Release();
        CloseHandle(ended_);
    }

    HRESULT OnEvent(Sink*, DISPID, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                    UINT*) {
        EXPECT_EQ(3u, params->cArgs);
        const VARIANT& percent = params->rgvarg[0];  // last-first
        const VARIANT& remote = params->rgvarg[1];
        const VARIANT& local = params->rgvarg[2];
        EXPECT_EQ(VT_I4, V_VT(&percent));
        EXPECT_EQ(VT_BSTR, V_VT(&remote));
        EXPECT_EQ(VT_BSTR, V_VT(&local));
        SrwLock::Exclusive guard(lock_);
        events_.push_back({GetCurrentThreadId(), V_I4(&percent), ToAnsi(V_BSTR(&remote)),
                           ToAnsi(V_BSTR(&local))});
        if (V_I4(&percent) >= 100) SetEvent(ended_);
        return S_OK;
    }

    bool Connected() const { return sink_->IsConnected(); }
    // Waits for a 100 event; the bound only keeps a broken engine from
    // hanging the run.
    bool WaitForEnd() { return WaitForSingleObject(ended_, 60000) == WAIT_OBJECT_0; }
    std::vector<Event> Events() {
        SrwLock::Exclusive guard(lock_);
        return events_;
    }

private:
    HANDLE ended_;
    Sink* sink_;
    SrwLock lock_;
    std::vector<Event> events_;
};

// Created as the plugin creates it; CORVANEL_STORE and CORVANEL_THROTTLE_MS
// are read now.
Microsoft::WRL::ComPtr<IStorageBrowser> CreateRegisteredEngine() {
    CoInitialize(nullptr);
    CLSID engineClass = {};
    Microsoft::WRL::ComPtr<IStorageBrowser> engine;
    EXPECT_EQ(S_OK, CLSIDFromProgID(kEngineProgId, &engineClass));
    EXPECT_EQ(S_OK, CoCreateInstance(engineClass, nullptr, CLSCTX_ALL, IID_PPV_ARGS(&engine)));
    return engine;
}

HRESULT Download(IStorageBrowser& engine, const char* hostPath, const std::string& local) {
    OwnedRemotePath path;
    PathLevel level;
    EXPECT_TRUE(SplitRemotePath(hostPath, &level, path.Record()));
    LONG result = 0;
    return engine.DownloadObject(path.Record(), ToBstr(local.c_str()).Get(), &result);
}

// A change of the store through one of the engine's path operations; ok as
// the engine left it (seeded with a value it never uses).
HRESULT Change(IStorageBrowser& engine, HRESULT (STDMETHODCALLTYPE IStorageBrowser::*operation)(RemotePath, VARIANT_BOOL*),
               const char* hostPath, VARIANT_BOOL* ok) {
    OwnedRemotePath path;
    PathLevel level;
    EXPECT_TRUE(SplitRemotePath(hostPath, &level, path.Record()));
    *ok = 0x5A;
    return (engine.*operation)(path.Record(), ok);
}

// The names a listing of `hostPath` delivers before it ends or fails; the
// HRESULT of its last step.
HRESULT ListObjects(IStorageBrowser& engine, const char* hostPath, std::vector<std::string>* names) {
    OwnedRemotePath path;
    PathLevel level;
    EXPECT_TRUE(SplitRemotePath(hostPath, &level, path.Record()));
    ListingCookie cookie = 0;
    Microsoft::WRL::ComPtr<StorageItem> item;
    HRESULT hr = engine.FirstObject(path.Record(), &cookie, &item);
    while (SUCCEEDED(hr) && item) {
        UniqueBstr name;
        item->get_Name(name.Put());
        names->push_back(ToAnsi(name.Get()));
        hr = engine.NextObject(cookie, item.ReleaseAndGetAddressOf());
    }
    return hr;
}

TEST_F(E2eTest, DownloadEventsComeFromOneOtherThreadAndTheLastFindsTheFileComplete) {
    std::string bytes((1 << 20) + 12345, '\0');
    for (std::size_t at = 0; at < bytes.size(); ++at) bytes[at] = static_cast<char>(at * 7 + at / 4096);
    MakeStore({{"work\\photos\\big.bin", bytes}});
    auto engine = CreateRegisteredEngine();
    ASSERT_TRUE(engine);
    EventRecorder recorder(engine.Get());
    ASSERT_TRUE(recorder.Connected());

    ASSERT_EQ(S_OK, Download(*engine.Get(), "\\work\\photos\\big.bin", Local("big.bin")));
    ASSERT_TRUE(recorder.WaitForEnd());
    EXPECT_EQ(bytes, ReadBytes(Local("big.bin")));  // no wait after the 100 event
    const std::vector<Event> events = recorder.Events();
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(0, events.front().percent);
    EXPECT_EQ(100, events.back().percent);
    for (std::size_t at = 0; at < events.size(); ++at) {
        SCOPED_TRACE(at);
        EXPECT_NE(GetCurrentThreadId(), events[at].thread);
        EXPECT_EQ(events.front().thread, events[at].thread);
        EXPECT_EQ("\\work\\photos\\big.bin", events[at].remote);
        EXPECT_EQ(Local("big.bin"), events[at].local);
        if (at > 0) {
            EXPECT_LT(events[at - 1].percent, events[at].percent);
        }
    }
}

// The engine reads its latency model when it is made.
Microsoft::WRL::ComPtr<IStorageBrowser> EngineFarAway(const char* on, const char* callMs = "300") {
    const std::pair<const char*, const char*> settings[] = {
        {"CORVANEL_LATENCY", on},           {"CORVANEL_LATENCY_CALL_MS", callMs},
        {"CORVANEL_LATENCY_PAGE_ENTRIES", "10"}, {"CORVANEL_LATENCY_PAGE_MS", "200"},
        {"CORVANEL_LATENCY_MIB_PER_S", "4"}};
    for (const auto& setting : settings) SetEnvironmentVariableA(setting.first, setting.second);
    auto engine = CreateRegisteredEngine();
    for (const auto& setting : settings) SetEnvironmentVariableA(setting.first, nullptr);
    return engine;
}

// The least a wait of `ms` shows as, the clock's and the timer's steps aside.
ULONGLONG AtLeast(ULONGLONG ms) { return ms * 9 / 10; }

// Milliseconds that `call` took.
template <typename Call>
ULONGLONG Took(Call&& call) {
    const ULONGLONG start = GetTickCount64();
    call();
    return GetTickCount64() - start;
}

// A store far away on demand: with CORVANEL_LATENCY=1 each call waits its
// cost, a listing waits for each page of its entries and a transfer keeps to
// its rate; set to anything else, the engine adds nothing. Only the least
// times are checked: a busy machine makes anything slower.
TEST_F(E2eTest, TheLatencyModelMakesTheEngineAnswerAsAStoreFarAway) {
    std::vector<std::pair<std::string, std::string>> objects;
    for (int i = 0; i < 25; ++i) objects.push_back({"work\\photos\\" + std::to_string(100 + i), ""});
    objects.push_back({"work\\photos\\big.bin", std::string(1 << 20, 'b')});
    MakeStore(objects);
    auto engine = EngineFarAway("1");
    ASSERT_TRUE(engine);
    EventRecorder recorder(engine.Get());
    OwnedRemotePath photos;
    PathLevel level;
    ASSERT_TRUE(SplitRemotePath("\\work\\photos", &level, photos.Record()));

    // 26 entries: the First's page, then pages at entries 10 and 20.
    ListingCookie cookie = 0;
    Microsoft::WRL::ComPtr<StorageItem> item;
    EXPECT_GE(Took([&] { EXPECT_EQ(S_OK, engine->FirstObject(photos.Record(), &cookie, &item)); }), AtLeast(200));
    int entries = 0;
    const ULONGLONG rest = Took([&] {
        while (item) {
            ++entries;
            ASSERT_EQ(S_OK, engine->NextObject(cookie, item.ReleaseAndGetAddressOf()));
        }
    });
    EXPECT_EQ(26, entries);
    EXPECT_GE(rest, AtLeast(2 * 200));

    VARIANT_BOOL ok = VARIANT_FALSE;
    OwnedRemotePath folder;
    ASSERT_TRUE(SplitRemotePath("\\work\\photos\\new", &level, folder.Record()));
    EXPECT_GE(Took([&] { engine->CreateFolder(folder.Record(), &ok); }), AtLeast(300));
    EXPECT_EQ(VARIANT_TRUE, ok);

    // 1 MiB at 4 MiB/s, after the call's own wait.
    const ULONGLONG download = Took([&] {
        ASSERT_EQ(S_OK, Download(*engine.Get(), "\\work\\photos\\big.bin", Local("big.bin")));
        ASSERT_TRUE(recorder.WaitForEnd());
    });
    EXPECT_GE(download, AtLeast(300 + 250));
    EXPECT_EQ(std::string(1 << 20, 'b'), ReadBytes(Local("big.bin")));

    // Off, the call is quicker than the wait the model would add: 10 s, which
    // no busy machine needs to make a folder.
    auto nearby = EngineFarAway("0", "10000");
    ASSERT_TRUE(nearby);
    ASSERT_TRUE(SplitRemotePath("\\work\\photos\\newer", &level, folder.Record()));
    EXPECT_LT(Took([&] { nearby->CreateFolder(folder.Record(), &ok); }), AtLeast(10000)) << "the model is on";
}

// The plugin tells two running transfers' events apart by the local file
// each names: a transfer started while another runs (from inside its
// progress callback, or after the user cancelled it) reports its own, and
// the first reports on to its end.
TEST_F(E2eTest, TransfersSideBySideEachReportToTheirEndNamingTheirLocalFile) {
    // Throttled, so the first transfer still runs when the second starts.
    SetEnvironmentVariableA("CORVANEL_THROTTLE_MS", "20");
    auto engine = CreateRegisteredEngine();
    SetEnvironmentVariableA("CORVANEL_THROTTLE_MS", nullptr);
    ASSERT_TRUE(engine);
    EventRecorder recorder(engine.Get());
    const std::string bytes(4 << 20, 'q');
    MakeStore({{"work\\photos\\slow.bin", bytes}, {"work\\photos\\a.jpg", "A"}});

    ASSERT_EQ(S_OK, Download(*engine.Get(), "\\work\\photos\\slow.bin", Local("slow.bin")));
    ASSERT_EQ(S_OK, Download(*engine.Get(), "\\work\\photos\\a.jpg", Local("a.jpg")));
    for (int wait = 0; wait < 600 && ReadBytes(Local("slow.bin")).size() < bytes.size(); ++wait) {
        Sleep(50);
    }
    EXPECT_EQ(bytes, ReadBytes(Local("slow.bin")));
    const auto lastOf = [&](const std::string& local) {
        for (int wait = 0; wait < 200; ++wait) {
            const std::vector<Event> events = recorder.Events();
            for (auto at = events.rbegin(); at != events.rend(); ++at) {
                if (at->local == local && at->percent >= 100) return at->remote;
            }
            Sleep(50);
        }
        return std::string("no 100 for ") + local;
    };
    EXPECT_EQ("\\work\\photos\\slow.bin", lastOf(Local("slow.bin")));
    EXPECT_EQ("\\work\\photos\\a.jpg", lastOf(Local("a.jpg")));
}

// The engine's faults on demand (tools/reference_engine/fault_plan.h), as
// the stateful fuzzer plans them: the plan is made before the engine, which
// finds it through CORVANEL_FAULTS.
TEST_F(E2eTest, APlannedFaultHitsItsOwnCallOnlyAndChangesNothing) {
    MakeStore({{"work\\photos\\x.jpg", "X"}});
    FaultControl faults;
    ASSERT_TRUE(faults.Ready());
    auto engine = CreateRegisteredEngine();
    ASSERT_TRUE(engine);
    VARIANT_BOOL ok = 0;

    // The second folder made fails with the plan's HRESULT; the others are made.
    FaultSpec second{faults::kCreateFolder, faults::kFail, 2, 0};
    faults.Arm(second, nullptr);
    EXPECT_EQ(S_OK, Change(*engine.Get(), &IStorageBrowser::CreateFolder, "\\work\\photos\\a", &ok));
    EXPECT_EQ(VARIANT_TRUE, ok);
    EXPECT_EQ(E_FAIL, Change(*engine.Get(), &IStorageBrowser::CreateFolder, "\\work\\photos\\b", &ok));
    EXPECT_EQ(VARIANT_FALSE, ok);
    EXPECT_EQ(S_OK, Change(*engine.Get(), &IStorageBrowser::CreateFolder, "\\work\\photos\\c", &ok));
    EXPECT_TRUE(faults.Disarm().fired);
    EXPECT_EQ((std::vector<std::string>{"work\\", "work\\photos\\", "work\\photos\\a\\", "work\\photos\\c\\",
                                        "work\\photos\\x.jpg"}),
              TreeOf(Store("")));

    // A refusal answers S_OK with ok 0 and leaves the object.
    faults.Arm({faults::kDeleteObject, faults::kRefuse, 1, 0}, nullptr);
    EXPECT_EQ(S_OK, Change(*engine.Get(), &IStorageBrowser::DeleteObject, "\\work\\photos\\x.jpg", &ok));
    EXPECT_EQ(VARIANT_FALSE, ok);
    EXPECT_EQ("X", ReadBytes(Store("work\\photos\\x.jpg")));
    faults.Disarm();

    // A pause holds the call before it does anything, while the test (a
    // second client) replaces the object; then the deletion goes on.
    std::string seenInPause;
    faults.Arm({faults::kDeleteObject, faults::kPause, 1, 0}, [&] {
        seenInPause = ReadBytes(Store("work\\photos\\x.jpg"));
        WriteBytes(Store("work\\photos\\x.jpg"), "Y");
    });
    EXPECT_EQ(S_OK, Change(*engine.Get(), &IStorageBrowser::DeleteObject, "\\work\\photos\\x.jpg", &ok));
    EXPECT_EQ(VARIANT_TRUE, ok);
    EXPECT_TRUE(faults.Disarm().paused);
    EXPECT_EQ("X", seenInPause);
    EXPECT_FALSE(IsFile(Store("work\\photos\\x.jpg")));
}

TEST_F(E2eTest, AListingFaultCutsItAtItsEntryAndATransferStopsPartWayWithoutA100) {
    MakeStore({{"work\\photos\\a", "A"}, {"work\\photos\\b", "B"}, {"work\\photos\\c", "C"},
               {"work\\photos\\big.bin", std::string((2 << 20) + 5, 'g')}});
    FaultControl faults;
    auto engine = CreateRegisteredEngine();
    ASSERT_TRUE(engine);
    EventRecorder recorder(engine.Get());

    // The Next that would deliver the entry after the second fails.
    faults.Arm({faults::kFirstObject, faults::kFail, 1, 2}, nullptr);
    std::vector<std::string> names;
    EXPECT_EQ(E_FAIL, ListObjects(*engine.Get(), "\\work\\photos", &names));
    EXPECT_EQ((std::vector<std::string>{"a", "b"}), names);
    faults.Disarm();

    // A download that stops after one chunk of eight: its events stay below
    // 100 and its local file goes again.
    faults.Arm({faults::kDownloadObject, faults::kFailPartWay, 1, 1}, nullptr);
    ASSERT_EQ(S_OK, Download(*engine.Get(), "\\work\\photos\\big.bin", Local("big.bin")));
    for (int wait = 0; wait < 600 && !faults.TransferStopped(); ++wait) Sleep(50);
    EXPECT_TRUE(faults.TransferStopped());
    faults.Disarm();
    EXPECT_FALSE(IsFile(Local("big.bin")));
    const std::vector<Event> events = recorder.Events();
    ASSERT_FALSE(events.empty());
    for (const Event& event : events) EXPECT_LT(event.percent, 100);
}

TEST_F(E2eTest, FaultsAtARateStrikeTheSameCallsForTheSameSeed) {
    MakeStore({{"work\\photos\\", ""}});
    FaultControl faults;
    auto engine = CreateRegisteredEngine();
    ASSERT_TRUE(engine);
    int runs = 0;
    const auto refusals = [&](LONG seed) {
        faults.ArmRate(faults::kCreateFolder, faults::kRefuse, 500, seed);
        std::string refused;
        ++runs;
        for (int at = 0; at < 40; ++at) {
            const std::string path = "\\work\\photos\\f" + std::to_string(runs) + "-" + std::to_string(at);
            VARIANT_BOOL ok = 0;
            EXPECT_EQ(S_OK, Change(*engine.Get(), &IStorageBrowser::CreateFolder, path.c_str(), &ok));
            refused += ok == VARIANT_TRUE ? '.' : 'x';
        }
        faults.Disarm();
        return refused;
    };
    const std::string first = refusals(7), again = refusals(7), other = refusals(8);
    const auto refused = [](const std::string& pattern) {
        return static_cast<std::size_t>(std::count(pattern.begin(), pattern.end(), 'x'));
    };
    EXPECT_GT(refused(first), 5u) << first;
    EXPECT_LT(refused(first), 35u) << first;
    EXPECT_EQ(first, again);
    EXPECT_NE(first, other);
    // Only the folders agreed to were made.
    EXPECT_EQ(1 + 3 * 40 - refused(first) - refused(again) - refused(other), TreeOf(Store("work")).size());
}

}  // namespace
