// The everyday flows of a file manager's user, each through the plugin and
// straight on the engine (the floor), on the reference engine over a store
// of folders of 1,000, 10,000 and 100,000 objects (tools/flows_bench.sh makes
// it and runs this program; CORVANEL_LATENCY=1 lays the engine's model of a
// store across the internet over it). Built for both editions:
// flows_bench.exe (32-bit) loads corvanel.wfx, or drives the engine itself
// for the floor; flows_bench64.exe (64-bit, bridge/x64) loads corvanel.wfx64.
//
//   flows_bench[64].exe --compare [--rounds N] [--flows a,b] [--sizes a,b]
//       rounds (3 unless given) of every flow at every size, each measured in
//       a fresh floor process, a fresh corvanel.wfx one and a fresh
//       corvanel.wfx64 one in turn, which goes first rotating; prints each
//       flow's medians and their ratios
//   flows_bench[64].exe --measure plugin|floor [--flows a,b] [--sizes a,b]
//       one measuring process: every flow once unmeasured, then once more,
//       printing one line per flow and size ("flow size ms first-ms"); with
//       --memory twice more, then its memory ("memory" and the committed KiB
//       after the third and the fourth pass, its own and its helpers')
//
// The flows, as Double Commander makes them (the plugin's side) and as a
// program talking to the engine itself makes them (the floor):
//   open      list a folder of `size` objects whole: FsFindFirst/FsFindNext
//             to the end, every record filled; the floor's First/Next with
//             the four getters and the record filled. Also the time until
//             the first entry is there.
//   up        100 uploads of 4 KiB under new names without flags into the
//             folder, which the host has just listed (the target panel
//             shows it; that listing is not timed); the floor's 100 uploads,
//             each waited for to its 100 percent event.
//   upover    the same with FS_COPYFLAGS_OVERWRITE; the same floor.
//   upcold    the same without flags, the plugin knowing nothing of the
//             folder (it has listed another one since); the floor lists the
//             folder first, as a program that replaces nothing unasked
//             must, then uploads.
//   down      a folder of 1,000 objects of 4 KiB downloaded into an empty
//             local folder: the host lists it, then FsGetFile without flags
//             for each; the floor lists it and downloads each.
//   rename    100 renames in the folder (FsRenMovFile, OverWrite false), the
//             host having just listed it; the floor's 100 CopyObject moves.
//   delete    100 deletions in the folder (FsDeleteFile); the floor's 100
//             DeleteObject calls.
// What a flow adds to the store is taken away again outside the timing,
// through the file system, so every round starts from the same store.
#include <windows.h>
#include <wrl/client.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/wfx_api.h"
#include "tests/bench/bench_support.h"
#include "tests/support/process_usage.h"
#ifndef _WIN64
#include "binding/event_handler.h"
#include "tests/bench/engine_listing.h"
#endif

namespace {

constexpr char kFolderRoot[] = "\\bench\\flows";
constexpr char kDownloadFolder[] = "small";  // 1,000 objects of 4 KiB
constexpr int kDefaultRounds = 3;
constexpr int kMostRounds = 50;
constexpr int kChanges = 100;  // uploads, renames, deletions per flow
constexpr DWORD kSmallBytes = 4096;
constexpr double kTarget = 1.2;  // each flow through the plugin over its floor

int __stdcall HostProgress(int, char*, char*, int) { return 0; }

std::vector<std::string> Split(const std::string& text) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t end = std::min(text.find(',', start), text.size());
        if (end > start) parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

std::string FolderOf(int size) { return "f" + std::to_string(size); }
std::string ObjectName(int index) {
    char name[32];
    std::snprintf(name, sizeof(name), "obj-%06d.txt", index);
    return name;
}

// ---- The store and the local folders on disk, for what the flows leave

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

std::wstring StoreFolder(const std::string& folder) {
    wchar_t root[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"CORVANEL_STORE", root, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return std::wstring();
    return std::wstring(root) + L"\\bench\\flows\\" + Wide(folder);
}

void WriteFileOf(const std::string& path, DWORD bytes) {
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    std::vector<char> data(bytes, 'x');
    DWORD written = 0;
    if (bytes > 0) WriteFile(file, data.data(), bytes, &written, nullptr);
    CloseHandle(file);
}

// This process's own local folders: the files that uploads read, and the
// folder downloads go to.
struct LocalFolders {
    std::string root, uploads, downloads;
    LocalFolders() {
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        root = std::string(temp) + "corvanel-flows-" + std::to_string(GetCurrentProcessId());
        uploads = root + "\\up";
        downloads = root + "\\down";
        CreateDirectoryA(root.c_str(), nullptr);
        CreateDirectoryA(uploads.c_str(), nullptr);
        CreateDirectoryA(downloads.c_str(), nullptr);
        for (int i = 0; i < kChanges; ++i) WriteFileOf(Upload(i), kSmallBytes);
    }
    ~LocalFolders() {
        for (int i = 0; i < kChanges; ++i) DeleteFileA(Upload(i).c_str());
        RemoveDirectoryA(uploads.c_str());
        RemoveDirectoryA(downloads.c_str());
        RemoveDirectoryA(root.c_str());
    }
    std::string Upload(int i) const { return uploads + "\\file-" + std::to_string(i) + ".bin"; }
    void EmptyDownloads(const std::vector<std::string>& names) const {
        for (const std::string& name : names) DeleteFileA((downloads + "\\" + name).c_str());
    }
};

// ---- The two ways of doing a flow's work

// One side's calls, each as its kind of client makes it. Names are one
// component inside \bench\flows\FOLDER.
class Side {
public:
    virtual ~Side() = default;
    // Lists the folder whole; the names into `names` when given, and the
    // time until the first entry was there into *firstMs.
    virtual bool List(const std::string& folder, std::vector<std::string>* names, double* firstMs) = 0;
    virtual bool Upload(const std::string& local, const std::string& folder, const std::string& name,
                        bool overwrite) = 0;
    virtual bool Download(const std::string& folder, const std::string& name, const std::string& local) = 0;
    virtual bool Rename(const std::string& folder, const std::string& from, const std::string& to) = 0;
    virtual bool Delete(const std::string& folder, const std::string& name) = 0;
    // A host's listing before the flow: the panel shows the folder. The
    // floor needs none.
    virtual void ShownByHost(const std::string& folder) = 0;
    // The plugin lists another folder, so it knows nothing of the flow's.
    virtual void LooksElsewhere() = 0;
    // A client straight on the engine that must not replace what it does
    // not know of lists the folder first; the plugin looks itself.
    virtual void LooksBeforeUploading(const std::string& folder) = 0;
};

std::string HostPath(const std::string& folder, const std::string& name = std::string()) {
    std::string path = std::string(kFolderRoot) + "\\" + folder;
    if (!name.empty()) path += "\\" + name;
    return path;
}

class PluginSide final : public Side {
public:
    bool Start() {
        if (!module_.Load(BesideThisProgram(kModuleName)) || !module_.Lists() ||
            !module_.Transfers() || !module_.Changes()) {
            std::fprintf(stderr, "cannot load %s beside this program\n", kModuleName);
            return false;
        }
        if (module_.init(1, &HostProgress, nullptr, nullptr) != 0) {
            std::fprintf(stderr, "%s: FsInit failed: is the engine registered?\n", kModuleName);
            return false;
        }
        return true;
    }
    bool List(const std::string& folder, std::vector<std::string>* names, double* firstMs) override {
        std::string path = HostPath(folder);
        const Listed listed = ListThroughExports(module_, &path[0], [&](const WIN32_FIND_DATAA& record) {
            if (names != nullptr) names->push_back(record.cFileName);
        });
        if (firstMs != nullptr) *firstMs = listed.firstMs;
        return listed.entries >= 0;
    }
    bool Upload(const std::string& local, const std::string& folder, const std::string& name,
                bool overwrite) override {
        std::string localName = local, remote = HostPath(folder, name);
        return module_.putFile(&localName[0], &remote[0], overwrite ? FS_COPYFLAGS_OVERWRITE : 0) == FS_FILE_OK;
    }
    bool Download(const std::string& folder, const std::string& name, const std::string& local) override {
        std::string localName = local, remote = HostPath(folder, name);
        RemoteInfoStruct info{kSmallBytes, 0, {0, 0}, FILE_ATTRIBUTE_NORMAL};
        return module_.getFile(&remote[0], &localName[0], 0, &info) == FS_FILE_OK;
    }
    bool Rename(const std::string& folder, const std::string& from, const std::string& to) override {
        std::string oldName = HostPath(folder, from), newName = HostPath(folder, to);
        RemoteInfoStruct info{0, 0, {0, 0}, FILE_ATTRIBUTE_NORMAL};
        const int result = module_.renMovFile(&oldName[0], &newName[0], TRUE, FALSE, &info);
        if (result != FS_FILE_OK) std::fprintf(stderr, "FsRenMovFile %s: %d\n", oldName.c_str(), result);
        return result == FS_FILE_OK;
    }
    bool Delete(const std::string& folder, const std::string& name) override {
        std::string path = HostPath(folder, name);
        return module_.deleteFile(&path[0]) != FALSE;
    }
    void ShownByHost(const std::string& folder) override { List(folder, nullptr, nullptr); }
    void LooksElsewhere() override { List(kDownloadFolder, nullptr, nullptr); }
    void LooksBeforeUploading(const std::string&) override {}

private:
#ifdef _WIN64
    static constexpr char kModuleName[] = "corvanel.wfx64";
#else
    static constexpr char kModuleName[] = "corvanel.wfx";
#endif
    Module module_;
};

#ifndef _WIN64
// The engine created by its ProgID as any client creates it, its progress
// events heard through a record of its own, which each transfer waits on
// until 100 percent.
class FloorSide final : public Side {
public:
    ~FloorSide() override {
        // Kept, like the plugin's: an engine released while its transfer
        // threads end is not part of any flow.
        engine_.Detach();
    }
    bool Start() {
        CLSID id;
        if (FAILED(CLSIDFromProgID(kEngineProgId, &id)) ||
            FAILED(CoCreateInstance(id, nullptr, CLSCTX_ALL, IID_PPV_ARGS(&engine_)))) {
            std::fprintf(stderr, "floor: the engine is not registered\n");
            return false;
        }
        record_.CreateEventSink(engine_.Get());
        return true;
    }
    bool List(const std::string& folder, std::vector<std::string>* names, double* firstMs) override {
        OwnedRemotePath path;
        SetPath(path, folder);
        EntryValues entry;
        WIN32_FIND_DATAA record;
        const Listed listed = ListOnEngine(*engine_.Get(), path.Record(), [&](StorageItem& item) {
            entry.Read(item);
            FillFindRecord(entry, &record);
            if (names != nullptr) names->push_back(record.cFileName);
        });
        if (firstMs != nullptr) *firstMs = listed.firstMs;
        return listed.entries >= 0;
    }
    bool Upload(const std::string& local, const std::string& folder, const std::string& name,
                bool) override {
        OwnedRemotePath path;
        SetPath(path, folder, name);
        const std::wstring localName = Wide(local);
        return Transfer([&](BSTR text, LONG* unused) {
            return engine_->UploadObject(text, path.Record(), unused);
        }, localName);
    }
    bool Download(const std::string& folder, const std::string& name, const std::string& local) override {
        OwnedRemotePath path;
        SetPath(path, folder, name);
        path.Record().size = kSmallBytes;
        const std::wstring localName = Wide(local);
        return Transfer([&](BSTR text, LONG* unused) {
            return engine_->DownloadObject(path.Record(), text, unused);
        }, localName);
    }
    bool Rename(const std::string& folder, const std::string& from, const std::string& to) override {
        OwnedRemotePath source, target;
        SetPath(source, folder, from);
        SetPath(target, folder, to);
        VARIANT_BOOL ok = VARIANT_FALSE;
        const HRESULT hr = engine_->CopyObject(source.Record(), target.Record(), TRUE, &ok);
        if (!EngineAgreed(hr, ok)) std::fprintf(stderr, "CopyObject %s: %08lx %d\n", source.Record().key, hr, ok);
        return EngineAgreed(hr, ok);
    }
    bool Delete(const std::string& folder, const std::string& name) override {
        OwnedRemotePath path;
        SetPath(path, folder, name);
        VARIANT_BOOL ok = VARIANT_FALSE;
        const HRESULT hr = engine_->DeleteObject(path.Record(), &ok);
        if (!EngineAgreed(hr, ok)) std::fprintf(stderr, "DeleteObject %s: %08lx %d\n", path.Record().key, hr, ok);
        return EngineAgreed(hr, ok);
    }
    void ShownByHost(const std::string&) override {}
    void LooksElsewhere() override {}
    void LooksBeforeUploading(const std::string& folder) override { List(folder, nullptr, nullptr); }

private:
    static void SetPath(OwnedRemotePath& path, const std::string& folder,
                        const std::string& name = std::string()) {
        std::strcpy(path.Record().account, "bench");
        std::strcpy(path.Record().bucket, "flows");
        const std::string key = name.empty() ? folder : folder + "\\" + name;
        std::strcpy(path.Record().key, key.c_str());
    }
    template <typename Start>
    bool Transfer(Start&& start, const std::wstring& localName) {
        BSTR text = SysAllocString(localName.c_str());
        CEventHandler::Transfer progress(record_, text);
        LONG unused = 0;
        const HRESULT hr = start(text, &unused);
        SysFreeString(text);
        if (FAILED(hr)) return false;
        while (progress.GetPercent() < 100) progress.WaitForFinish(INFINITE);
        return true;
    }

    Microsoft::WRL::ComPtr<IStorageBrowser> engine_;
    CEventHandler record_;
};
#endif

// ---- The flows

struct Timing {
    double ms = 0;
    double firstMs = 0;
    bool ok = true;
};

// A flow's calls, counted: a failed call spoils the figure.
class Outcome {
public:
    void Count(bool ok) { failed_ += ok ? 0 : 1; }
    bool Ok(const char* flow) const {
        if (failed_ != 0) std::fprintf(stderr, "%s: %d calls failed\n", flow, failed_);
        return failed_ == 0;
    }

private:
    int failed_ = 0;
};

// The time `work` takes, which counts each call's outcome.
template <typename Work>
Timing Timed(const char* flow, Work&& work) {
    Outcome outcome;
    const double start = NowMs();
    work(outcome);
    Timing timing;
    timing.ms = NowMs() - start;
    timing.ok = outcome.Ok(flow);
    return timing;
}

Timing Open(Side& side, int size) {
    Timing timing;
    std::vector<std::string> names;
    names.reserve(static_cast<std::size_t>(size));
    const double start = NowMs();
    timing.ok = side.List(FolderOf(size), &names, &timing.firstMs);
    timing.ms = NowMs() - start;
    if (names.size() != static_cast<std::size_t>(size)) {
        std::fprintf(stderr, "open %d: %u entries listed\n", size, static_cast<unsigned>(names.size()));
        timing.ok = false;
    }
    return timing;
}

// Uploads `kChanges` new names into the folder, as `kind` says.
enum class Upload { ShownByHost, Overwrite, NothingKnown };
Timing Uploads(Side& side, int size, Upload kind, const LocalFolders& local, int serial) {
    const std::string folder = FolderOf(size);
    if (kind == Upload::ShownByHost) side.ShownByHost(folder);
    if (kind == Upload::NothingKnown) side.LooksElsewhere();
    std::vector<std::string> names;
    for (int i = 0; i < kChanges; ++i) {
        names.push_back("up-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(serial) +
                        "-" + std::to_string(i) + ".bin");
    }
    const Timing timing = Timed("upload", [&](Outcome& outcome) {
        if (kind == Upload::NothingKnown) side.LooksBeforeUploading(folder);
        for (int i = 0; i < kChanges; ++i) {
            outcome.Count(side.Upload(local.Upload(i), folder, names[i], kind == Upload::Overwrite));
        }
    });
    for (const std::string& name : names) DeleteFileW((StoreFolder(folder) + L"\\" + Wide(name)).c_str());
    return timing;
}

Timing Downloads(Side& side, const LocalFolders& local) {
    std::vector<std::string> names;
    Timing timing = Timed("download", [&](Outcome& outcome) {
        outcome.Count(side.List(kDownloadFolder, &names, nullptr));
        for (const std::string& name : names) {
            outcome.Count(side.Download(kDownloadFolder, name, local.downloads + "\\" + name));
        }
    });
    timing.ok = timing.ok && names.size() == 1000;
    local.EmptyDownloads(names);
    return timing;
}

Timing Renames(Side& side, int size) {
    const std::string folder = FolderOf(size);
    side.ShownByHost(folder);
    const Timing timing = Timed("rename", [&](Outcome& outcome) {
        for (int i = 0; i < kChanges; ++i) {
            outcome.Count(side.Rename(folder, ObjectName(i), "renamed-" + ObjectName(i)));
        }
    });
    const std::wstring store = StoreFolder(folder);
    for (int i = 0; i < kChanges; ++i) {
        MoveFileW((store + L"\\renamed-" + Wide(ObjectName(i))).c_str(),
                  (store + L"\\" + Wide(ObjectName(i))).c_str());
    }
    return timing;
}

Timing Deletions(Side& side, int size) {
    const std::string folder = FolderOf(size);
    side.ShownByHost(folder);
    const Timing timing = Timed("delete", [&](Outcome& outcome) {
        for (int i = 0; i < kChanges; ++i) outcome.Count(side.Delete(folder, ObjectName(kChanges + i)));
    });
    const std::wstring store = StoreFolder(folder);
    for (int i = 0; i < kChanges; ++i) {
        const HANDLE file = CreateFileW((store + L"\\" + Wide(ObjectName(kChanges + i))).c_str(),
                                        GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    }
    return timing;
}

struct Choice {
    std::vector<std::string> flows{"open", "up", "upover", "upcold", "down", "rename", "delete"};
    std::vector<int> sizes{1000, 10000, 100000};
    int rounds = kDefaultRounds;
    bool memory = false;  // measure: a third pass for the memory
};

// Each chosen flow at each chosen size; the download's folder has its own.
std::vector<std::pair<std::string, int>> Cases(const Choice& choice) {
    std::vector<std::pair<std::string, int>> cases;
    for (const std::string& flow : choice.flows) {
        if (flow == "down") {
            cases.push_back({flow, 1000});
            continue;
        }
        for (int size : choice.sizes) cases.push_back({flow, size});
    }
    return cases;
}

Timing RunFlow(Side& side, const std::string& flow, int size, const LocalFolders& local, int serial) {
    if (flow == "open") return Open(side, size);
    if (flow == "up") return Uploads(side, size, Upload::ShownByHost, local, serial);
    if (flow == "upover") return Uploads(side, size, Upload::Overwrite, local, serial);
    if (flow == "upcold") return Uploads(side, size, Upload::NothingKnown, local, serial);
    if (flow == "down") return Downloads(side, local);
    if (flow == "rename") return Renames(side, size);
    if (flow == "delete") return Deletions(side, size);
    std::fprintf(stderr, "no flow %s\n", flow.c_str());
    return Timing{0, 0, false};
}

// The process's committed memory, and its helpers' for corvanel.wfx64.
SIZE_T CommitOf(DWORD pid) {
    const HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    if (process == nullptr) return 0;
    const SIZE_T commit = UsageOf(process).commit;
    CloseHandle(process);
    return commit;
}
SIZE_T HelpersCommit() {
    SIZE_T commit = 0;
    for (DWORD helper : HelpersOf(GetCurrentProcessId())) commit += CommitOf(helper);
    return commit;
}

// Every chosen flow twice: the first pass unmeasured (what a process makes
// once, the engine's and the disk's caches), the second printed. With
// `memory`, two more passes follow, and the memory the process commits (and
// its helpers) after the third and the fourth is printed: a folder's names
// are kept in two blocks in turn, the host's listing's and what the plugin
// knows, and the heaps reach their highest marks over the first passes.
int Measure(Side& side, const Choice& choice) {
    LocalFolders local;
    int serial = 0;
    SIZE_T commit[4] = {}, helpers[4] = {};
    const int passes = choice.memory ? 4 : 2;
    for (int pass = 0; pass < passes; ++pass) {
        for (const auto& flow : Cases(choice)) {
            const Timing timing = RunFlow(side, flow.first, flow.second, local, ++serial);
            if (!timing.ok) return 1;
            if (pass == 1) {
                std::printf("%s %d %.3f %.3f\n", flow.first.c_str(), flow.second, timing.ms, timing.firstMs);
                std::fflush(stdout);
            }
        }
        commit[pass] = CommitOf(GetCurrentProcessId());
        helpers[pass] = HelpersCommit();
    }
    if (choice.memory) {
        std::printf("memory %.0f %.0f %.0f %.0f\n", commit[2] / 1024.0, commit[3] / 1024.0,
                    helpers[2] / 1024.0, helpers[3] / 1024.0);
    }
    return 0;
}

int MeasureSide(const std::string& which, const Choice& choice) {
    if (FAILED(CoInitialize(nullptr))) return 1;
    if (which == "plugin") {
        PluginSide side;
        return side.Start() ? Measure(side, choice) : 1;
    }
#ifndef _WIN64
    if (which == "floor") {
        FloorSide side;
        return side.Start() ? Measure(side, choice) : 1;
    }
#endif
    std::fprintf(stderr, "this program cannot measure %s\n", which.c_str());
    return 2;
}

// ---- The comparison

struct Row {
    std::map<std::string, std::vector<double>> ms, firstMs;  // by side
};

struct SideRun {
    const char* name;
    const char* program;
    const char* argument;
};

// One measuring process of `side` for one flow at one size.
// The most a side's committed memory grew in one process, and over which flow.
struct Growth {
    double kib = 0;
    std::string flow;
};

bool RunSide(const SideRun& side, const std::pair<std::string, int>& flow, bool memory,
             std::map<std::string, Row>* rows, std::map<std::string, Growth>* growth) {
    std::string output;
    const std::string command = "\"" + BesideThisProgram(side.program) + "\" --measure " +
                                side.argument + " --flows " + flow.first + " --sizes " +
                                std::to_string(flow.second) + (memory ? " --memory" : "");
    if (!RunCapturingOutput(command, &output)) return false;
    char name[16];
    int size = 0;
    double ms = 0, first = 0, c0 = 0, c1 = 0, h0 = 0, h1 = 0;
    const std::size_t memoryAt = output.find("memory ");
    if (std::sscanf(output.c_str(), "%15s %d %lf %lf", name, &size, &ms, &first) != 4 ||
        (memory && (memoryAt == std::string::npos ||
                    std::sscanf(output.c_str() + memoryAt, "memory %lf %lf %lf %lf", &c0, &c1,
                                &h0, &h1) != 4))) {
        std::printf("%s: the measuring process printed no figures for %s %d\n", side.name,
                    flow.first.c_str(), flow.second);
        return false;
    }
    Row& row = (*rows)[flow.first + " " + std::to_string(flow.second)];
    row.ms[side.name].push_back(ms);
    row.firstMs[side.name].push_back(first);
    const std::string what = " (" + flow.first + " " + std::to_string(flow.second) + ")";
    const auto note = [&](const std::string& who, double kib) {
        Growth& most = (*growth)[who];
        if (kib >= most.kib) most = Growth{kib, what};
    };
    note(side.name, c1 - c0);
    if (h0 != 0 || h1 != 0) note(std::string(side.name) + "'s helper", h1 - h0);
    return true;
}

// Rounds of every flow, each flow measured in a fresh process of each side in
// turn, which goes first rotating: the machine is shared, and what another
// process does falls on the three sides alike.
int Compare(const Choice& choice) {
    const SideRun sides[] = {{"floor", "flows_bench.exe", "floor"},
                             {"wfx", "flows_bench.exe", "plugin"},
                             {"wfx64", "flows_bench64.exe", "plugin"}};
    char latency[8] = "";
    GetEnvironmentVariableA("CORVANEL_LATENCY", latency, sizeof(latency));
    std::printf("flows benchmark: %d rounds, latency model %s\n", choice.rounds,
                std::strcmp(latency, "1") == 0 ? "on" : "off");
    const std::vector<std::pair<std::string, int>> cases = Cases(choice);
    std::map<std::string, Row> rows;
    std::map<std::string, Growth> growth;
    for (int round = 0; round < choice.rounds; ++round) {
        const double start = NowMs();
        for (std::size_t at = 0; at < cases.size(); ++at) {
            for (int turn = 0; turn < 3; ++turn) {
                const bool lastRound = round + 1 == choice.rounds;
                if (!RunSide(sides[(round + at + turn) % 3], cases[at], lastRound, &rows, &growth)) {
                    return 1;
                }
            }
        }
        std::printf("round %d in %.1f s\n", round + 1, (NowMs() - start) / 1000.0);
        std::fflush(stdout);
    }
    std::printf("\n| Flow | Floor | corvanel.wfx | Ratio | corvanel.wfx64 | Ratio |\n"
                "|---|---|---|---|---|---|\n");
    bool met = true;
    for (const auto& flow : cases) {
        const Row& row = rows[flow.first + " " + std::to_string(flow.second)];
        const double floor = Median(row.ms.at("floor"));
        const double a = Median(row.ms.at("wfx")), b = Median(row.ms.at("wfx64"));
        met = met && a / floor <= kTarget && b / floor <= kTarget;
        std::printf("| %s %d | %.1f ms | %.1f ms | %.2f | %.1f ms | %.2f |\n", flow.first.c_str(),
                    flow.second, floor, a, a / floor, b, b / floor);
    }
    std::printf("target: every flow at most %.1f x its floor: %s\n", kTarget, Verdict(met));
    for (const auto& flow : cases) {
        if (flow.first != "open") continue;
        const Row& row = rows[flow.first + " " + std::to_string(flow.second)];
        std::printf("open %d, first entry (medians): floor %.2f ms, corvanel.wfx %.2f ms, "
                    "corvanel.wfx64 %.2f ms\n",
                    flow.second, Median(row.firstMs.at("floor")), Median(row.firstMs.at("wfx")),
                    Median(row.firstMs.at("wfx64")));
    }
    std::printf("committed memory, most grown over a fourth pass of a flow in one process (the "
                "last round's):");
    for (const auto& side : growth) {
        std::printf(" %s %+.0f KiB%s;", side.first.c_str(), side.second.kib, side.second.flow.c_str());
    }
    std::printf("\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Choice choice;
    std::string measure;
    bool compare = false;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const bool more = i + 1 < argc;
        if (argument == "--compare") {
            compare = true;
        } else if (argument == "--memory") {
            choice.memory = true;
        } else if (argument == "--measure" && more) {
            measure = argv[++i];
        } else if (argument == "--rounds" && more) {
            choice.rounds = std::atoi(argv[++i]);
        } else if (argument == "--flows" && more) {
            choice.flows = Split(argv[++i]);
        } else if (argument == "--sizes" && more) {
            choice.sizes.clear();
            for (const std::string& size : Split(argv[++i])) choice.sizes.push_back(std::atoi(size.c_str()));
        } else {
            measure.clear();
            compare = false;
            break;
        }
    }
    if (!measure.empty()) return MeasureSide(measure, choice);
    if (!compare || choice.rounds < 1 || choice.rounds > kMostRounds || choice.sizes.empty() ||
        choice.flows.empty()) {
        std::fprintf(stderr, "usage: %s --compare [--rounds N] [--flows a,b] [--sizes a,b]\n"
                             "       %s --measure plugin|floor [--flows a,b] [--sizes a,b]\n",
                     argv[0], argv[0]);
        return 2;
    }
    return Compare(choice);
}
