#include "tests/e2e/e2e_support.h"

#include <algorithm>
#include <fstream>
#include <memory>
#include <sstream>

#include "tests/support/folder_tree.h"

namespace {

void CollectTree(const std::string& root, const std::string& relative,
                 std::vector<std::string>* tree) {
    WIN32_FIND_DATAA found;
    const std::string folder = relative.empty() ? root : root + "\\" + relative;
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        const std::string name = found.cFileName;
        if (name == "." || name == "..") continue;
        const std::string path = relative.empty() ? name : relative + "\\" + name;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            tree->push_back(path + "\\");
            CollectTree(root, path, tree);
        } else {
            tree->push_back(path);
        }
    } while (FindNextFileA(search, &found));
    FindClose(search);
}

std::vector<ProgressReport> g_reports;
int g_abortAtReport = 0;  // 0: never

int __stdcall RecordProgress(int, char* source, char* target, int percent) {
    g_reports.push_back({GetCurrentThreadId(), source != nullptr ? source : "(null)",
                         target != nullptr ? target : "(null)", percent, GetTickCount64()});
    return g_abortAtReport > 0 && static_cast<int>(g_reports.size()) >= g_abortAtReport ? 1 : 0;
}

}  // namespace

const std::vector<std::pair<std::string, std::string>> kSampleStore = {
    {"work\\photos\\a.jpg", "A"}, {"work\\photos\\2009\\b.jpg", "B"},
    {"work\\photos\\empty\\", ""}, {"work\\docs\\", ""}, {"play\\", ""},
};

const std::vector<std::string> kSampleTree = {
    "play\\",         "work\\",
    "work\\docs\\",   "work\\photos\\",
    "work\\photos\\2009\\", "work\\photos\\2009\\b.jpg",
    "work\\photos\\a.jpg",  "work\\photos\\empty\\",
};

std::vector<std::string> Changed(std::vector<std::string> base,
                                 const std::vector<std::string>& added,
                                 const std::vector<std::string>& removed) {
    for (const std::string& entry : removed) {
        const auto at = std::find(base.begin(), base.end(), entry);
        EXPECT_NE(base.end(), at) << entry << " is not in the tree to remove";
        if (at != base.end()) base.erase(at);
    }
    base.insert(base.end(), added.begin(), added.end());
    std::sort(base.begin(), base.end());
    return base;
}

std::string BesideTestProgram(const char* name) {
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    const std::string program(path, length);
    return program.substr(0, program.find_last_of('\\') + 1) + name;
}

void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    ASSERT_TRUE(out.good()) << "cannot write " << path;
}

std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "<missing>";
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

bool IsFile(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool SameBytes(const std::string& a, const std::string& b) {
    std::ifstream first(a, std::ios::binary), second(b, std::ios::binary);
    if (!first || !second) return false;
    constexpr std::size_t kChunk = 1 << 20;
    std::unique_ptr<char[]> left(new char[kChunk]), right(new char[kChunk]);
    for (;;) {
        first.read(left.get(), kChunk);
        second.read(right.get(), kChunk);
        const std::streamsize got = first.gcount();
        if (got != second.gcount()) return false;
        if (got == 0) return true;
        if (!std::equal(left.get(), left.get() + got, right.get())) return false;
    }
}

std::vector<std::string> TreeOf(const std::string& root) {
    std::vector<std::string> tree;
    CollectTree(root, "", &tree);
    std::sort(tree.begin(), tree.end());
    return tree;
}

void RemoveTree(const std::string& path) {
    const int length = MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, nullptr, 0);
    if (length <= 0) return;
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, &wide[0], length);
    wide.resize(static_cast<std::size_t>(length - 1));
    RemoveFolderTree(wide);
}

void E2eTest::SetUp() {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    root_ = std::string(temp) + "corvanel-e2e-" + std::to_string(GetCurrentProcessId()) + "-" +
            std::to_string(GetTickCount());
    store_ = root_ + "\\store";
    local_ = root_ + "\\local";
    ASSERT_TRUE(CreateDirectoryA(root_.c_str(), nullptr)) << root_;
    ASSERT_TRUE(CreateDirectoryA(store_.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA(local_.c_str(), nullptr));
    SetEnvironmentVariableA("CORVANEL_STORE", store_.c_str());
}

void E2eTest::TearDown() { RemoveTree(root_); }

void E2eTest::ResetStore() {
    RemoveTree(store_);
    MakeStore(kSampleStore);
}

void E2eTest::MakeStore(const std::vector<std::pair<std::string, std::string>>& entries) {
    CreateDirectoryA(store_.c_str(), nullptr);
    for (const auto& entry : entries) {
        // Every folder on the way, then the file itself.
        for (std::size_t at = entry.first.find('\\'); at != std::string::npos;
             at = entry.first.find('\\', at + 1)) {
            CreateDirectoryA(Store(entry.first.substr(0, at)).c_str(), nullptr);
        }
        if (entry.first.back() != '\\') WriteBytes(Store(entry.first), entry.second);
    }
}

void PluginE2eTest::SetUp() {
    E2eTest::SetUp();
    ASSERT_NE(nullptr, Fs().FsInit) << "the plugin does not export FsInit";
    Restart();
    g_reports.clear();
    g_abortAtReport = 0;
}

void PluginE2eTest::Restart(tRequestProc request, tProgressProc progress) {
    ASSERT_EQ(0, Fs().FsInit(7, progress != nullptr ? progress : &RecordProgress, nullptr, request))
        << "the registered engine could not be created";
}

void PluginE2eTest::AbortAtReport(int report) { g_abortAtReport = report; }

const WfxExports& PluginE2eTest::Fs() {
    static WfxModule* module = [] {
        auto* loaded = new WfxModule;  // kept loaded, as the file manager keeps it
        std::string error;
        if (!loaded->Load(BesideTestProgram(kPluginModule), &error)) {
            ADD_FAILURE() << "cannot load " << kPluginModule << ": " << error;
        }
        return loaded;
    }();
    return module->Fs();
}

std::vector<ProgressReport>& PluginE2eTest::Reports() { return g_reports; }
