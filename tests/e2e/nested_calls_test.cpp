// A host that calls the plugin again from inside its own progress callback,
// as a file manager does that processes window messages there (Double
// Commander's synchronisation, quick view and open), or from another thread
// that callback waits for: each call works as it does outside, and the
// transfer around them goes on to its own engine's end.
#include <gtest/gtest.h>
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"

namespace {

// The outer transfer's reports, and those of the transfers nested in it.
std::vector<ProgressReport> g_outer, g_nested;
int g_depth = 0;
// Runs once, from inside the outer transfer's third report: the engine has
// the transfer by then.
std::function<void()> g_inside;
// From this report of the nested calls on (counting from 1), they are
// aborted; 0: never.
std::size_t g_abortNestedAt = 0;

int __stdcall NestingProgress(int, char* source, char* target, int percent) {
    (g_depth > 0 ? g_nested : g_outer)
        .push_back({GetCurrentThreadId(), source != nullptr ? source : "(null)",
                    target != nullptr ? target : "(null)", percent, GetTickCount64()});
    if (g_depth == 0 && g_outer.size() == 3 && g_inside) {
        ++g_depth;
        g_inside();
        --g_depth;
    }
    return g_depth > 0 && g_abortNestedAt > 0 && g_nested.size() >= g_abortNestedAt ? 1 : 0;
}

DWORD WINAPI RunWork(void* work) {
    (*static_cast<std::function<void()>*>(work))();
    return 0;
}

class NestedCallsTest : public PluginE2eTest {
protected:
    void SetUp() override {
        PluginE2eTest::SetUp();
        // Throttled, so that the outer transfer runs on while the calls
        // inside its callback are made.
        SetEnvironmentVariableA("CORVANEL_THROTTLE_MS", "20");
        ASSERT_EQ(0, Fs().FsInit(7, &NestingProgress, nullptr, nullptr));
        SetEnvironmentVariableA("CORVANEL_THROTTLE_MS", nullptr);
        MakeStore(kSampleStore);
        MakeStore({{"work\\big\\slow.bin", big}});
        WriteBytes(Local("slow.bin"), big);
    }
    void TearDown() override {
        g_inside = nullptr;
        g_abortNestedAt = 0;
        g_outer.clear();
        g_nested.clear();
        PluginE2eTest::TearDown();
    }

    // A folder's names joined by spaces; `inside` runs at the entry `at`,
    // before the listing goes on, as a file manager walks a tree.
    std::string List(std::string path, const std::string& at = "", const std::function<void()>& inside = nullptr) {
        WIN32_FIND_DATAA entry;
        const HANDLE listing = Fs().FsFindFirst(Text(path), &entry);
        if (listing == INVALID_HANDLE_VALUE) return "failed " + std::to_string(GetLastError());
        std::string names;
        do {
            names += (names.empty() ? "" : " ") + std::string(entry.cFileName);
            if (inside && at == entry.cFileName) inside();
        } while (Fs().FsFindNext(listing, &entry));
        Fs().FsFindClose(listing);
        return names;
    }
    int Get(std::string remote, std::string local, int flags = 0) {
        RemoteInfoStruct info = {};
        return Fs().FsGetFile(Text(remote), Text(local), flags, &info);
    }
    int Put(std::string local, std::string remote, int flags = 0) {
        return Fs().FsPutFile(Text(local), Text(remote), flags);
    }

    const std::string big = std::string(4 << 20, 'b');
};

TEST_F(NestedCallsTest, CallsFromInsideATransfersCallbackWorkAndTheTransferEndsWithItsEngine) {
    for (const bool download : {true, false}) {
        SCOPED_TRACE(download ? "inside a download" : "inside an upload");
        WriteBytes(Local("up.txt"), "up");
        std::vector<std::string> seen;
        g_inside = [&] {
            seen.push_back(List("\\work\\photos"));
            seen.push_back(List("\\work", "photos", [&] { seen.push_back(List("\\work\\photos\\2009")); }));
            seen.push_back(std::to_string(Get("\\work\\photos\\a.jpg", Local("view.jpg"))));
            seen.push_back(std::to_string(Put(Local("up.txt"), "\\work\\docs\\up.txt")));
            // The outer transfer's own local file: the engine's events for the
            // two could not be told apart.
            const int again = download ? Get("\\work\\photos\\a.jpg", Local("slow.bin"), FS_COPYFLAGS_OVERWRITE)
                                       : Put(Local("slow.bin"), "\\work\\docs\\x.bin", FS_COPYFLAGS_OVERWRITE);
            seen.push_back(std::to_string(again) + " error " + std::to_string(GetLastError()));
            std::string gone = "\\work\\photos\\2009\\b.jpg", made = "\\work\\docs\\made";
            seen.push_back(std::to_string(Fs().FsDeleteFile(Text(gone))) + std::to_string(Fs().FsMkDir(Text(made))));
        };
        const int result = download ? Get("\\work\\big\\slow.bin", Local("slow.bin"), FS_COPYFLAGS_OVERWRITE)
                                    : Put(Local("slow.bin"), "\\work\\big\\copy.bin");

        EXPECT_EQ(FS_FILE_OK, result);
        EXPECT_EQ(big, ReadBytes(download ? Local("slow.bin") : Store("work\\big\\copy.bin")));
        ASSERT_FALSE(g_outer.empty());
        EXPECT_EQ(100, g_outer.back().percent);
        const std::string again = std::to_string(download ? FS_FILE_WRITEERROR : FS_FILE_READERROR);
        EXPECT_EQ((std::vector<std::string>{"2009 a.jpg empty", "b.jpg", "big docs photos", "0", "0",
                                            again + " error " + std::to_string(ERROR_SHARING_VIOLATION), "11"}),
                  seen);
        EXPECT_EQ("A", ReadBytes(Local("view.jpg")));
        EXPECT_EQ("up", ReadBytes(Store("work\\docs\\up.txt")));
        std::vector<std::string> added = {"work\\big\\", "work\\big\\slow.bin", "work\\docs\\made\\",
                                          "work\\docs\\up.txt"};
        if (!download) added.push_back("work\\big\\copy.bin");
        EXPECT_EQ(Changed(kSampleTree, added, {"work\\photos\\2009\\b.jpg"}), TreeOf(store_));
        // Each nested transfer ends at 100 with its own names (in the closing
        // report, and in the pass before when that saw the 100 already).
        std::vector<std::string> ends;
        for (const ProgressReport& report : g_nested) {
            const std::string names = report.source + " > " + report.target;
            if (report.percent == 100 && (ends.empty() || ends.back() != names)) ends.push_back(names);
        }
        EXPECT_EQ((std::vector<std::string>{"\\work\\photos\\a.jpg > " + Local("view.jpg"),
                                            Local("up.txt") + " > \\work\\docs\\up.txt"}),
                  ends);
        // The next round starts from the same store.
        ResetStore();
        MakeStore({{"work\\big\\slow.bin", big}});
        DeleteFileA(Local("view.jpg").c_str());
        g_outer.clear();
        g_nested.clear();
    }
}

// A download cancelled inside another transfer leaves its engine writing
// the file, as the host's own process would: its events and those of a new
// transfer of the file could not be told apart, so a new one is refused
// until that engine has let go of the file.
TEST_F(NestedCallsTest, AFileThatACancelledTransfersEngineStillWritesIsRefusedUntilItLetsGo) {
    // Four times the outer one: its engine is still at it when the host
    // asks again.
    const std::string other(16 << 20, 'o');
    MakeStore({{"work\\big\\other.bin", other}});
    std::vector<std::string> seen;
    g_abortNestedAt = 3;  // the engine has it by the third report
    g_inside = [&] {
        seen.push_back(std::to_string(Get("\\work\\big\\other.bin", Local("other.bin"), FS_COPYFLAGS_OVERWRITE)));
        const std::size_t before = g_nested.size();
        const int again = Get("\\work\\big\\other.bin", Local("other.bin"), FS_COPYFLAGS_OVERWRITE);
        seen.push_back(std::to_string(again) + " error " + std::to_string(GetLastError()) + ", " +
                       std::to_string(g_nested.size() - before) + " reports");
    };
    EXPECT_EQ(FS_FILE_OK, Get("\\work\\big\\slow.bin", Local("slow.bin"), FS_COPYFLAGS_OVERWRITE));
    EXPECT_EQ((std::vector<std::string>{std::to_string(FS_FILE_USERABORT),
                                        std::to_string(FS_FILE_WRITEERROR) + " error " +
                                            std::to_string(ERROR_SHARING_VIOLATION) + ", 0 reports"}),
              seen);
    EXPECT_EQ(big, ReadBytes(Local("slow.bin")));
    // The cancelled one's engine goes on to its end.
    for (int tries = 0; tries < 600 && ReadBytes(Local("other.bin")) != other; ++tries) Sleep(50);
    EXPECT_TRUE(ReadBytes(Local("other.bin")) == other);
}

// A host whose progress callback waits for its other thread, which calls the
// plugin meanwhile (a worker that hands its progress to the main thread and
// waits): nothing of the plugin may hold that call up.
TEST_F(NestedCallsTest, ACallFromAnotherThreadThatTheCallbackWaitsForIsServed) {
    std::vector<std::string> seen;
    std::function<void()> otherThread = [&] {
        seen.push_back(List("\\work\\photos"));
        seen.push_back(std::to_string(Get("\\work\\photos\\a.jpg", Local("view.jpg"))));
    };
    bool waited = false;
    g_inside = [&] {
        const HANDLE thread = CreateThread(nullptr, 0, &RunWork, &otherThread, 0, nullptr);
        ASSERT_NE(nullptr, thread);
        // Bounded only so that a plugin that holds the call up fails here
        // rather than hangs the run.
        waited = WaitForSingleObject(thread, 60000) == WAIT_OBJECT_0;
        CloseHandle(thread);
    };
    EXPECT_EQ(FS_FILE_OK, Get("\\work\\big\\slow.bin", Local("slow.bin"), FS_COPYFLAGS_OVERWRITE));
    EXPECT_TRUE(waited) << "the other thread's calls were held up";
    EXPECT_EQ(big, ReadBytes(Local("slow.bin")));
    EXPECT_EQ((std::vector<std::string>{"2009 a.jpg empty", "0"}), seen);
    EXPECT_EQ("A", ReadBytes(Local("view.jpg")));
}

// A file manager that loads a panel's list on a thread of its own while its
// main thread copies with its window alive: the listings go on between the
// transfer's reports, each whole, and the transfer to its end.
TEST_F(NestedCallsTest, ListingsOnAnotherThreadGoOnBetweenATransfersReports) {
    volatile LONG stop = 0;
    std::vector<std::string> odd;
    int listings = 0;
    std::function<void()> lister = [&] {
        while (InterlockedCompareExchange(&stop, 0, 0) == 0) {
            const std::string names = List("\\work\\photos");
            if (names != "2009 a.jpg empty") odd.push_back(names);
            ++listings;
        }
    };
    const HANDLE thread = CreateThread(nullptr, 0, &RunWork, &lister, 0, nullptr);
    ASSERT_NE(nullptr, thread);
    EXPECT_EQ(FS_FILE_OK, Get("\\work\\big\\slow.bin", Local("slow.bin"), FS_COPYFLAGS_OVERWRITE));
    InterlockedExchange(&stop, 1);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 60000));
    CloseHandle(thread);
    EXPECT_EQ(big, ReadBytes(Local("slow.bin")));
    EXPECT_TRUE(odd.empty()) << odd.front();
    EXPECT_GT(listings, 0);
}

}  // namespace
