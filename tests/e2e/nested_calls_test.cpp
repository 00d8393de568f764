// A host that calls the plugin again from inside its own progress callback,
// on the same thread, as a file manager does that processes window messages
// there (Double Commander's synchronisation, quick view and open): listings,
// a listing inside a listing, transfers, a deletion and a folder creation,
// each as it works outside, while the transfer around them goes on to its
// own engine's end.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"

namespace {

// The host's reports: the outer transfer's, and those of the transfers
// nested inside its callback.
std::vector<ProgressReport> g_outer, g_nested;
int g_depth = 0;
// Run once, from inside the outer transfer's report of this number.
int g_nestAt = 0;
std::function<void()> g_inside;

int __stdcall NestingProgress(int, char* source, char* target, int percent) {
    std::vector<ProgressReport>& reports = g_depth > 0 ? g_nested : g_outer;
    reports.push_back({GetCurrentThreadId(), source != nullptr ? source : "(null)",
                       target != nullptr ? target : "(null)", percent, GetTickCount64()});
    if (g_depth == 0 && static_cast<int>(g_outer.size()) == g_nestAt && g_inside) {
        ++g_depth;
        g_inside();
        --g_depth;
    }
    return 0;
}

DWORD WINAPI RunWork(void* work) {
    (*static_cast<std::function<void()>*>(work))();
    return 0;
}

class NestedCallsTest : public PluginE2eTest {
protected:
    void SetUp() override {
        PluginE2eTest::SetUp();
        // Throttled, so that the outer transfer still runs while the calls
        // inside its callback are made.
        SetEnvironmentVariableA("CORVANEL_THROTTLE_MS", "20");
        ASSERT_EQ(0, Fs().FsInit(7, &NestingProgress, nullptr, nullptr));
        SetEnvironmentVariableA("CORVANEL_THROTTLE_MS", nullptr);
        g_outer.clear();
        g_nested.clear();
        g_depth = 0;
    }
    void TearDown() override {
        g_inside = nullptr;
        g_nestAt = 0;
        PluginE2eTest::TearDown();
    }

    // The names of a folder's listing; `inside` runs at the entry it names,
    // before the listing goes on.
    std::vector<std::string> List(std::string path, const std::string& at = std::string(),
                                  const std::function<void()>& inside = nullptr) {
        std::vector<std::string> names;
        WIN32_FIND_DATAA entry;
        const HANDLE listing = Fs().FsFindFirst(Text(path), &entry);
        if (listing == INVALID_HANDLE_VALUE) return {"<failed " + std::to_string(GetLastError()) + ">"};
        do {
            names.push_back(entry.cFileName);
            if (inside && names.back() == at) inside();
        } while (Fs().FsFindNext(listing, &entry));
        Fs().FsFindClose(listing);
        return names;
    }
};

TEST_F(NestedCallsTest, CallsFromInsideATransfersCallbackWorkAndTheTransferEndsWithItsEngine) {
    const std::string big(4 << 20, 'b');
    for (const bool download : {true, false}) {
        SCOPED_TRACE(download ? "inside a download" : "inside an upload");
        ResetStore();
        MakeStore({{"work\\big\\slow.bin", big}});
        WriteBytes(Local("up.txt"), "up");
        WriteBytes(Local("slow.bin"), big);
        DeleteFileA(Local("view.jpg").c_str());
        g_outer.clear();
        g_nested.clear();

        struct Seen {
            std::vector<std::string> photos, buckets, nestedInBuckets;
            int view = -1, up = -1, ontoTheOuterFile = -1, deleted = -1, made = -1;
            DWORD ontoTheOuterFileError = 0;
        } seen;
        g_nestAt = 3;  // the engine has the outer transfer by then
        g_inside = [&] {
            seen.photos = List("\\work\\photos");
            // Depth first, as a file manager walks a tree.
            seen.buckets = List("\\work", "photos", [&] { seen.nestedInBuckets = List("\\work\\photos\\2009"); });
            std::string remote = "\\work\\photos\\a.jpg", view = Local("view.jpg");
            RemoteInfoStruct info = {};
            seen.view = Fs().FsGetFile(Text(remote), Text(view), 0, &info);
            std::string local = Local("up.txt"), target = "\\work\\docs\\up.txt";
            seen.up = Fs().FsPutFile(Text(local), Text(target), 0);
            // The outer transfer's own local file: the engine's events of the
            // two could not be told apart.
            std::string outerFile = Local("slow.bin");
            seen.ontoTheOuterFile = download ? Fs().FsGetFile(Text(remote), Text(outerFile), FS_COPYFLAGS_OVERWRITE, &info)
                                             : Fs().FsPutFile(Text(outerFile), Text(target), FS_COPYFLAGS_OVERWRITE);
            seen.ontoTheOuterFileError = GetLastError();
            std::string gone = "\\work\\photos\\2009\\b.jpg", made = "\\work\\docs\\made";
            seen.deleted = Fs().FsDeleteFile(Text(gone));
            seen.made = Fs().FsMkDir(Text(made));
        };

        std::string remote = "\\work\\big\\slow.bin", local = Local("slow.bin");
        std::string outerTarget = "\\work\\big\\copy.bin";
        RemoteInfoStruct info = {};
        const int result = download ? Fs().FsGetFile(Text(remote), Text(local), FS_COPYFLAGS_OVERWRITE, &info)
                                    : Fs().FsPutFile(Text(local), Text(outerTarget), 0);

        EXPECT_EQ(FS_FILE_OK, result);
        EXPECT_EQ(big, ReadBytes(download ? local : Store("work\\big\\copy.bin")));
        ASSERT_GE(g_outer.size(), 3u) << "the calls inside never ran";
        EXPECT_EQ(100, g_outer.back().percent);
        EXPECT_EQ(download ? remote : local, g_outer.back().source);
        EXPECT_EQ(download ? local : outerTarget, g_outer.back().target);

        EXPECT_EQ((std::vector<std::string>{"2009", "a.jpg", "empty"}), seen.photos);
        EXPECT_EQ((std::vector<std::string>{"big", "docs", "photos"}), seen.buckets);
        EXPECT_EQ((std::vector<std::string>{"b.jpg"}), seen.nestedInBuckets);
        EXPECT_EQ(FS_FILE_OK, seen.view);
        EXPECT_EQ("A", ReadBytes(Local("view.jpg")));
        EXPECT_EQ(FS_FILE_OK, seen.up);
        EXPECT_EQ(download ? FS_FILE_WRITEERROR : FS_FILE_READERROR, seen.ontoTheOuterFile);
        EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), seen.ontoTheOuterFileError);
        EXPECT_EQ(TRUE, seen.deleted);
        EXPECT_EQ(TRUE, seen.made);
        std::vector<std::string> added = {"work\\big\\", "work\\big\\slow.bin", "work\\docs\\up.txt",
                                          "work\\docs\\made\\"};
        if (!download) added.push_back("work\\big\\copy.bin");
        EXPECT_EQ(Changed(kSampleTree, added, {"work\\photos\\2009\\b.jpg"}), TreeOf(store_));
        EXPECT_EQ("up", ReadBytes(Store("work\\docs\\up.txt")));
        // The nested transfers' own reports: each ends at 100 with its names.
        std::vector<std::string> ends;
        for (const ProgressReport& report : g_nested) {
            if (report.percent == 100) ends.push_back(report.source + " > " + report.target);
        }
        EXPECT_NE(ends.end(), std::find(ends.begin(), ends.end(), "\\work\\photos\\a.jpg > " + Local("view.jpg")));
        EXPECT_NE(ends.end(), std::find(ends.begin(), ends.end(), Local("up.txt") + " > \\work\\docs\\up.txt"));
    }
}

// A host whose progress callback waits for its other thread, which calls
// the plugin meanwhile (a worker that hands its progress to the main thread
// and waits): nothing of the plugin may hold that call up.
TEST_F(NestedCallsTest, ACallFromAnotherThreadThatTheCallbackWaitsForIsServed) {
    ResetStore();
    const std::string big(4 << 20, 'b');
    MakeStore({{"work\\big\\slow.bin", big}});
    std::vector<std::string> photos;
    int view = -1;
    std::function<void()> otherThread = [&] {
        photos = List("\\work\\photos");
        std::string remote = "\\work\\photos\\a.jpg", local = Local("view.jpg");
        RemoteInfoStruct info = {};
        view = Fs().FsGetFile(Text(remote), Text(local), 0, &info);
    };
    bool waited = false;
    g_nestAt = 3;
    g_inside = [&] {
        const HANDLE thread = CreateThread(nullptr, 0, &RunWork, &otherThread, 0, nullptr);
        ASSERT_NE(nullptr, thread);
        // Bounded only so that a plugin that holds the call up fails here
        // rather than hangs the run.
        waited = WaitForSingleObject(thread, 60000) == WAIT_OBJECT_0;
        CloseHandle(thread);
    };
    std::string remote = "\\work\\big\\slow.bin", local = Local("slow.bin");
    RemoteInfoStruct info = {};
    EXPECT_EQ(FS_FILE_OK, Fs().FsGetFile(Text(remote), Text(local), 0, &info));
    EXPECT_TRUE(waited) << "the other thread's calls were held up";
    EXPECT_EQ(big, ReadBytes(local));
    EXPECT_EQ((std::vector<std::string>{"2009", "a.jpg", "empty"}), photos);
    EXPECT_EQ(FS_FILE_OK, view);
    EXPECT_EQ("A", ReadBytes(Local("view.jpg")));
}

}  // namespace
