#pragma once
// Support for the end-to-end tests, which run in the Wine prefix where the
// reference engine is registered: a fresh folder per test holding the
// engine's store root (CORVANEL_STORE) and a local folder, file helpers, and
// the plugin module loaded by path as the file manager loads it.

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "common/wfx_module.h"

// The plugin module and the console host of the test program's own edition:
// the 64-bit build of these tests runs through corvanel.wfx64.
#ifdef _WIN64
constexpr char kPluginModule[] = "corvanel.wfx64";
constexpr char kHostProgram[] = "corvanel_host64.exe";
#else
constexpr char kPluginModule[] = "corvanel.wfx";
constexpr char kHostProgram[] = "corvanel_host.exe";
#endif

// A program or module in the test program's own folder.
std::string BesideTestProgram(const char* name);

void WriteBytes(const std::string& path, const std::string& bytes);
// The whole file, or "<missing>" when it cannot be read.
std::string ReadBytes(const std::string& path);
bool IsFile(const std::string& path);
// True when both files hold the same bytes; compared in chunks, so any size.
bool SameBytes(const std::string& a, const std::string& b);
// Every file and folder below `root`, relative, sorted; folders end in "\".
std::vector<std::string> TreeOf(const std::string& root);
void RemoveTree(const std::string& path);

// A small store: two accounts, an empty bucket, a folder, two objects.
extern const std::vector<std::pair<std::string, std::string>> kSampleStore;
// kSampleStore as TreeOf shows it.
extern const std::vector<std::string> kSampleTree;

// `base` without `removed`, with `added`, sorted as TreeOf sorts.
std::vector<std::string> Changed(std::vector<std::string> base,
                                 const std::vector<std::string>& added,
                                 const std::vector<std::string>& removed);

class E2eTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Empties the store and fills it with kSampleStore again.
    void ResetStore();

    // Files ("work\photos\a.jpg" with its bytes) and empty folders (a path
    // ending in "\", bytes ignored) to put into the store.
    void MakeStore(const std::vector<std::pair<std::string, std::string>>& entries);
    std::string Store(const std::string& relative) const { return store_ + "\\" + relative; }
    std::string Local(const std::string& relative) const { return local_ + "\\" + relative; }

    std::string root_, store_, local_;
};

// One call of the host's progress callback.
struct ProgressReport {
    DWORD thread;
    std::string source, target;
    int percent;
    ULONGLONG tick;  // GetTickCount64 when the call came
};

// The plugin, loaded from beside the test program and started with FsInit,
// which creates the registered engine by its ProgID over this test's store.
// Progress reports are recorded.
class PluginE2eTest : public E2eTest {
protected:
    void SetUp() override;

    static const WfxExports& Fs();
    static std::vector<ProgressReport>& Reports();
    // From the given report on (counting from 1), the callback asks to abort.
    static void AbortAtReport(int report);
    // Calls FsInit again: a new engine that reads the environment afresh,
    // with `request` as the host's request callback and `progress` as its
    // progress callback (null: the one that records into Reports()).
    static void Restart(tRequestProc request = nullptr, tProgressProc progress = nullptr);
    // The plugin's host texts are char*: these hand out writable copies.
    static char* Text(std::string& text) { return &text[0]; }
};
