// The plugin's own cost, measured through the built module as the host uses
// it (LoadLibrary, FsInit, the exports by GetProcAddress), against an
// in-process engine served by COM, and printed in one run:
//  - corvanel.wfx's size on disk;
//  - FsInit's time with the in-process engine;
//  - time per listing entry through FsFindFirst/FsFindNext, beside the bare
//    enumeration (the engine's getters only) and the floor (a hand-written
//    loop doing only what the host needs: the name to 8-bit text, the date
//    to a FILETIME, the find record filled), over the same engine entries;
//  - the delay from the engine's final event to the end of a download;
//  - the relay's CPU time per second of transfer;
//  - the process's memory before and after 1,000,000 listing entries and
//    10,000 transfers: committed and resident (GetProcessMemoryInfo; Wine
//    leaves PrivateUsage 0, PagefileUsage carries the commit), and the C
//    runtime heap's blocks in use, to the byte.
// Not a test: tools/bench.sh builds it and runs it under Wine. The listing
// comparison runs in child processes of this program (--listing).
#include <windows.h>
#include <oleauto.h>
#include <psapi.h>

#include <malloc.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "path/remote_path.h"
#include "plugin/wfx_api.h"
#include "tests/bench/bench_support.h"
#include "tests/bench/entry_pool.h"
#include "tests/support/engine_registration.h"
#include "tests/support/fault_engine.h"
#include "tests/support/worker_thread.h"

namespace {

constexpr int kEntriesPerListing = 1000;
constexpr int kListingEntries = 1000000;
constexpr int kListingProcesses = 11;
constexpr int kInitRepeats = 50;
constexpr int kDelayTransfers = 100;
constexpr DWORD kLongTransferMs = 10000;
constexpr int kMemoryTransfers = 10000;
constexpr int kPoolEntries = 1000;
constexpr double kListingTarget = 1.1;   // plugin time per entry over the floor's
constexpr double kDelayTargetMs = 10.0;  // one poll period, median
constexpr double kCpuTargetMsPerSecond = 10.0;  // 1% of one core
constexpr double kGrowthTargetKiB = 64.0;

char g_listedPath[] = "\\work\\photos";
char g_remoteName[] = "\\work\\photos\\2009\\holiday-picture.jpg";
volatile unsigned g_checksum = 0;  // keeps the measured work from being optimised away

double Ms(const FILETIME& time) {
    return static_cast<double>((static_cast<ULONGLONG>(time.dwHighDateTime) << 32) |
                               time.dwLowDateTime) / 10000.0;
}

// Kernel plus user time of the calling thread, in ms.
double ThreadCpuMs() {
    FILETIME created, exited, kernel, user;
    GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
    return Ms(kernel) + Ms(user);
}

// The engine's side: listings hand out entries from a pool made once
// (entry_pool.h); a transfer finishes at once, or on a thread
// of its own that raises an event every `periodMs` for `durationMs` before
// the final one, as a real engine does.
class BenchPlan final : public EnginePlan {
public:
    BenchPlan() : pool_(kPoolEntries) {}

    void StartListing(int entries) { remaining_ = entries; }
    void FinishTransfersAtOnce() { durationMs_ = 0; }
    void FinishTransfersOnAThread(DWORD durationMs, DWORD periodMs) {
        durationMs_ = durationMs;
        periodMs_ = periodMs;
    }
    // Waits for the engine's thread of the last transfer; the moment of its
    // final event in ms, 0 when it finished at once.
    double JoinTransfer() {
        if (thread_) thread_->Join();
        thread_.reset();
        return finalEventMs_;
    }

    EngineAnswer Answer(FaultEngine& engine, const EngineCall& call) override {
        EngineAnswer answer;
        switch (call.op) {
        case EngineOp::FirstObject:
            answer.setCookie = true;
            answer.cookie = 7;
            answer.item = NextEntry();
            break;
        case EngineOp::NextObject: answer.item = NextEntry(); break;
        case EngineOp::DownloadObject:
        case EngineOp::UploadObject: StartTransfer(engine); break;
        default: break;
        }
        return answer;
    }

private:
    StorageItem* NextEntry() { return remaining_ > 0 ? pool_.Take(--remaining_) : nullptr; }

    void StartTransfer(FaultEngine& engine) {
        finalEventMs_ = 0;
        if (durationMs_ == 0) {
            engine.FireProgress(L"C:\\data\\holiday-picture.jpg", L"\\work\\photos\\holiday-picture.jpg", 100);
            return;
        }
        thread_.reset(new WorkerThread([this, &engine] {
            const double start = NowMs();
            for (LONG percent = 1; NowMs() - start < durationMs_; percent = percent % 99 + 1) {
                engine.FireProgress(L"C:\\data\\a.bin", L"\\work\\photos\\a.bin", percent);
                Sleep(periodMs_);
            }
            finalEventMs_ = NowMs();
            engine.FireProgress(L"C:\\data\\a.bin", L"\\work\\photos\\a.bin", 100);
        }));
    }

    EntryPool pool_;
    int remaining_ = 0;
    DWORD durationMs_ = 0;
    DWORD periodMs_ = 1;
    double finalEventMs_ = 0;
    std::unique_ptr<WorkerThread> thread_;
};

BenchPlan* g_plan = nullptr;
int __stdcall HostProgress(int, char*, char*, int) { return 0; }

// ---- Listing: three loops over the same entries

// Microseconds for one listing of kEntriesPerListing entries through the
// module's exports; negative when the listing failed.
double ListThroughPlugin(const Module& module) {
    WIN32_FIND_DATAA findData;
    g_plan->StartListing(kEntriesPerListing);
    const double start = NowMs();
    HANDLE handle = module.findFirst(g_listedPath, &findData);
    if (handle == INVALID_HANDLE_VALUE) return -1;
    do {
        g_checksum += static_cast<unsigned char>(findData.cFileName[4]) + findData.nFileSizeLow;
    } while (module.findNext(handle, &findData));
    module.findClose(handle);
    return (NowMs() - start) * 1000.0;
}

// One listing straight from the engine, getters only; `fill` does the work
// done per entry with the values.
template <typename Fill>
double ListFromEngine(IStorageBrowser* engine, Fill&& fill) {
    OwnedRemotePath path;
    std::strcpy(path.Record().account, "work");
    std::strcpy(path.Record().bucket, "photos");
    g_plan->StartListing(kEntriesPerListing);
    const double start = NowMs();
    ListingCookie cookie = 0;
    StorageItem* item = nullptr;
    engine->FirstObject(path.Record(), &cookie, &item);
    while (item != nullptr) {
        BSTR name = nullptr;
        DATE date = 0;
        LONG kind = 0;
        LONGLONG size = 0;
        item->get_Name(&name);
        item->get_Date(&date);
        item->get_Kind(&kind);
        item->get_Size(&size);
        fill(name, date, kind, size);
        SysFreeString(name);
        item->Release();
        item = nullptr;
        engine->NextObject(cookie, &item);
    }
    return (NowMs() - start) * 1000.0;
}

double ListBare(IStorageBrowser* engine) {
    return ListFromEngine(engine, [](BSTR name, DATE, LONG kind, LONGLONG size) {
        g_checksum += static_cast<unsigned>(name[4]) + static_cast<unsigned>(kind + size);
    });
}

// Only what the host needs: the name in 8-bit text, the date as a FILETIME,
// the find record filled.
double ListFloor(IStorageBrowser* engine) {
    WIN32_FIND_DATAA findData;
    return ListFromEngine(engine, [&](BSTR name, DATE date, LONG kind, LONGLONG size) {
        std::memset(&findData, 0, sizeof(findData));
        WideCharToMultiByte(CP_THREAD_ACP, 0, name, -1, findData.cFileName, MAX_PATH - 1,
                            nullptr, nullptr);
        SYSTEMTIME systemTime{};
        if (VariantTimeToSystemTime(date, &systemTime)) {
            SystemTimeToFileTime(&systemTime, &findData.ftLastWriteTime);
        }
        findData.dwFileAttributes = kind == 3 ? FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_DIRECTORY;
        findData.nFileSizeHigh = static_cast<DWORD>(static_cast<ULONGLONG>(size) >> 32);
        findData.nFileSizeLow = static_cast<DWORD>(size);
        g_checksum += static_cast<unsigned char>(findData.cFileName[4]) + findData.nFileSizeLow;
    });
}

struct ListingTimes {
    double plugin, bare, floor;  // microseconds per entry
};

// The three loops take turns listing by listing, and each one's time is the
// median of its listings: the machine is shared, and a listing that another
// process interrupts must not decide the comparison.
bool TimeListingLoops(const Module& module, IStorageBrowser* engine, ListingTimes* times) {
    for (int i = 0; i < 10; ++i) ListThroughPlugin(module);  // warm-up
    constexpr int kListings = kListingEntries / kEntriesPerListing;
    std::vector<double> plugin, bare, floor;
    for (int i = 0; i < kListings; ++i) {
        const double through = ListThroughPlugin(module);
        if (through < 0) return false;
        plugin.push_back(through / kEntriesPerListing);
        bare.push_back(ListBare(engine) / kEntriesPerListing);
        floor.push_back(ListFloor(engine) / kEntriesPerListing);
    }
    *times = {Median(plugin), Median(bare), Median(floor)};
    return true;
}

// Runs this program again with --listing, which prints the three loops'
// times of one process.
bool TimeListingInAProcess(const std::string& modulePath, ListingTimes* times) {
    std::string output;
    if (!RunCapturingOutput("\"" + ThisProgram() + "\" --listing \"" + modulePath + "\"", &output)) {
        return false;
    }
    return std::sscanf(output.c_str(), "%lf %lf %lf", &times->plugin, &times->bare,
                       &times->floor) == 3;
}

// The comparison runs in processes of its own: the same loop runs up to a
// quarter faster or slower from one process to the next (where its code and
// data land in the caches), so one process cannot decide it.
void MeasureListing(const Module& module, const std::string& modulePath) {
    if (!module.Lists()) {
        std::printf("listing: the module exports no FsFindFirst/FsFindNext/FsFindClose yet\n");
        return;
    }
    std::vector<double> plugin, bare, floor, ratios;
    std::string ratioText;
    for (int i = 0; i < kListingProcesses; ++i) {
        ListingTimes times{};
        if (!TimeListingInAProcess(modulePath, &times)) {
            std::printf("listing: a measuring process failed\n");
            return;
        }
        plugin.push_back(times.plugin);
        bare.push_back(times.bare);
        floor.push_back(times.floor);
        ratios.push_back(times.plugin / times.floor);
        char ratio[16];
        std::snprintf(ratio, sizeof(ratio), " %.3f", ratios.back());
        ratioText += ratio;
    }
    const double pluginUs = Median(plugin), bareUs = Median(bare), floorUs = Median(floor);
    const double ratio = Median(ratios);
    std::printf("listing, time per entry (median of %d listings of %d entries per loop, median of "
                "%d processes):\n",
                kListingEntries / kEntriesPerListing, kEntriesPerListing, kListingProcesses);
    std::printf("  through FsFindFirst/FsFindNext   %7.3f us   %.3f x floor   %.3f x bare\n",
                pluginUs, pluginUs / floorUs, pluginUs / bareUs);
    std::printf("  bare enumeration (getters only)  %7.3f us   %.3f x floor\n", bareUs,
                bareUs / floorUs);
    std::printf("  floor (name, date, find record)  %7.3f us   1.000\n", floorUs);
    std::printf("  plugin / floor in each process:%s; median %.3f\n", ratioText.c_str(), ratio);
    std::printf("  target: plugin at most %.2f x floor: %s\n", kListingTarget,
                Verdict(ratio <= kListingTarget));
}

// ---- Transfers

// One download whose engine finishes on its own thread; returns the delay
// from the final event to FsGetFile's return, and adds the relay's CPU time
// and the call's wall time.
double TimedDownload(const Module& module, char* localName, DWORD durationMs, double* cpuMs,
                     double* wallMs) {
    g_plan->FinishTransfersOnAThread(durationMs, 1);
    RemoteInfoStruct info{4096, 0, {0, 0}, 0};
    const double cpuBefore = ThreadCpuMs();
    const double start = NowMs();
    const int result = module.getFile(g_remoteName, localName, 0, &info);
    const double end = NowMs();
    *cpuMs += ThreadCpuMs() - cpuBefore;
    *wallMs += end - start;
    const double finalEvent = g_plan->JoinTransfer();
    if (result != FS_FILE_OK) std::printf("  FsGetFile returned %d\n", result);
    return end - finalEvent;
}

void MeasureTransfers(const Module& module, char* localName) {
    if (!module.Transfers()) {
        std::printf("transfers: the module exports no FsGetFile/FsPutFile yet\n");
        return;
    }
    std::vector<double> delays;
    double cpuMs = 0, wallMs = 0;
    // Transfers of 20 to 59 ms, so the final event falls at every phase of
    // the relay's 10 ms poll.
    for (int i = 0; i < kDelayTransfers; ++i) {
        delays.push_back(TimedDownload(module, localName, 20 + static_cast<DWORD>(i * 37 % 40),
                                       &cpuMs, &wallMs));
    }
    const double median = Median(delays);
    std::printf("download end after the engine's final event, %d downloads: median %.2f ms, "
                "worst %.2f ms\n  target: median within %.0f ms: %s\n",
                kDelayTransfers, median, *std::max_element(delays.begin(), delays.end()),
                kDelayTargetMs, Verdict(median <= kDelayTargetMs));

    double longCpuMs = 0, longWallMs = 0;
    TimedDownload(module, localName, kLongTransferMs, &longCpuMs, &longWallMs);
    const double perSecond = longCpuMs / (longWallMs / 1000.0);
    std::printf("relay CPU per second of transfer: %.2f ms (%.2f%% of one core) over a %.1f s "
                "download with an event every 1 ms; %.2f ms over the %d short ones\n"
                "  target: under 1%% of one core: %s\n",
                perSecond, perSecond / 10.0, longWallMs / 1000.0, cpuMs / (wallMs / 1000.0),
                kDelayTransfers, Verdict(perSecond < kCpuTargetMsPerSecond));
}

// ---- Memory

struct Memory {
    double commitKiB;      // private memory committed (PagefileUsage)
    double workingSetKiB;  // resident
    double heapKiB;        // blocks in use in the C runtime's heap
};

Memory ProcessMemory() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
    _HEAPINFO block{};
    SIZE_T inUse = 0;
    while (_heapwalk(&block) == _HEAPOK) {
        if (block._useflag == _USEDENTRY) inUse += block._size;
    }
    return {counters.PagefileUsage / 1024.0, counters.WorkingSetSize / 1024.0, inUse / 1024.0};
}

void RunTransfersAtOnce(const Module& module, char* localName, int count) {
    g_plan->FinishTransfersAtOnce();
    RemoteInfoStruct info{4096, 0, {0, 0}, 0};
    for (int i = 0; i < count; ++i) {
        const int result = i % 2 == 0 ? module.getFile(g_remoteName, localName, 0, &info)
                                      : module.putFile(localName, g_remoteName, 0);
        if (result != FS_FILE_OK) std::printf("  transfer %d returned %d\n", i, result);
    }
}

void ListRepeatedly(const Module& module, int entries) {
    for (int listed = 0; listed < entries; listed += kEntriesPerListing) ListThroughPlugin(module);
}

void MeasureMemory(const Module& module, char* localName) {
    const bool lists = module.Lists();
    const bool transfers = module.Transfers();
    // The same work once beforehand, so that what is made once per process
    // is not counted as growth.
    if (lists) ListRepeatedly(module, kEntriesPerListing * 100);
    if (transfers) RunTransfersAtOnce(module, localName, 100);
    const Memory before = ProcessMemory();
    if (lists) ListRepeatedly(module, kListingEntries);
    if (transfers) RunTransfersAtOnce(module, localName, kMemoryTransfers);
    const Memory after = ProcessMemory();
    const Memory growth{after.commitKiB - before.commitKiB,
                        after.workingSetKiB - before.workingSetKiB, after.heapKiB - before.heapKiB};
    std::printf("memory across %d listing entries and %d transfers:\n"
                "  committed %.0f KiB -> %.0f KiB (%+.0f KiB), working set %.0f KiB -> %.0f KiB "
                "(%+.0f KiB) (GetProcessMemoryInfo)\n"
                "  C runtime heap in use %.1f KiB -> %.1f KiB (%+.1f KiB)\n"
                "  target: under %.0f KiB growth: %s\n",
                lists ? kListingEntries : 0, transfers ? kMemoryTransfers : 0, before.commitKiB,
                after.commitKiB, growth.commitKiB, before.workingSetKiB, after.workingSetKiB,
                growth.workingSetKiB, before.heapKiB, after.heapKiB, growth.heapKiB,
                kGrowthTargetKiB,
                Verdict(growth.commitKiB < kGrowthTargetKiB && growth.workingSetKiB < kGrowthTargetKiB &&
                        growth.heapKiB < kGrowthTargetKiB));
}

// ---- Module size and start-up

// The module named on the command line, else corvanel.wfx beside this program.
std::string ModulePath(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--", 2) != 0) return argv[i];
    }
    return BesideThisProgram("corvanel.wfx");
}

void PrintModuleSize(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return;
    std::printf("corvanel.wfx: %lu bytes (%.1f KiB) on disk\n", data.nFileSizeLow,
                data.nFileSizeLow / 1024.0);
}

bool MeasureStartUp(const Module& module) {
    double start = NowMs();
    if (module.init(1, &HostProgress, nullptr, nullptr) != 0) {
        std::printf("FsInit failed: the engine was not found\n");
        return false;
    }
    const double first = NowMs() - start;
    std::vector<double> times;
    for (int i = 0; i < kInitRepeats; ++i) {
        start = NowMs();
        module.init(1, &HostProgress, nullptr, nullptr);
        times.push_back(NowMs() - start);
    }
    std::printf("FsInit with an in-process engine: first call %.3f ms, median of %d more %.3f ms\n",
                first, kInitRepeats, Median(times));
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string modulePath = ModulePath(argc, argv);
    if (FAILED(CoInitialize(nullptr))) return 1;
    BenchPlan plan;
    g_plan = &plan;
    FaultEngine engine(plan);
    EngineRegistration registration(static_cast<IStorageBrowser&>(engine));
    IStorageBrowser* engineInterface = nullptr;
    engine.QueryInterface(IID_PPV_ARGS(&engineInterface));

    Module module;
    if (!registration.Registered() || !module.Load(modulePath)) {
        std::printf("cannot load %s or serve the engine\n", modulePath.c_str());
        return 1;
    }
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    std::string localName = std::string(temp) + "corvanel-bench-never-created.bin";

    if (argc > 1 && std::strcmp(argv[1], "--listing") == 0) {
        // One measuring process of MeasureListing: start up and print the times.
        ListingTimes times{};
        if (module.init(1, &HostProgress, nullptr, nullptr) != 0 ||
            !TimeListingLoops(module, engineInterface, &times)) {
            return 1;
        }
        std::printf("%.4f %.4f %.4f\n", times.plugin, times.bare, times.floor);
        return 0;
    }
    std::printf("corvanel.wfx benchmark: %s\n", modulePath.c_str());
    PrintModuleSize(modulePath);
    if (!MeasureStartUp(module)) return 1;
    MeasureListing(module, modulePath);
    MeasureTransfers(module, &localName[0]);
    MeasureMemory(module, &localName[0]);
    // The module keeps the engine until the process ends, by design, so it
    // is never unloaded here.
    return 0;
}
