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
//  - transfers of 1 KiB files, each way, through the exports against the same
//    transfers made straight on the engine (start, then wait for its 100
//    event), taking turns;
//  - the relay's CPU time per second of transfer;
//  - the look before an upload: 200 uploads of 1 KiB into a folder of 1,000
//    objects, each first checking that its name is free, against the same
//    uploads with the overwrite flag (no check); and one upload into a folder
//    of 10,000 objects that nothing is known of, with and without the check;
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

#include "common/srw_lock.h"
#include "common/unique_handle.h"
#include "common/wfx_api.h"
#include "path/remote_path.h"
#include "tests/bench/bench_support.h"
#include "tests/bench/engine_listing.h"
#include "tests/bench/entry_pool.h"
#include "tests/support/engine_registration.h"
#include "tests/support/scripted_engine.h"
#include "tests/support/worker_thread.h"

namespace {

constexpr int kEntriesPerListing = 1000;
constexpr int kListingEntries = 1000000;
constexpr int kListingProcesses = 11;
constexpr int kInitRepeats = 50;
constexpr int kDelayTransfers = 100;
constexpr DWORD kLongTransferMs = 10000;
constexpr int kMemoryTransfers = 10000;
constexpr int kSmallTransfers = 200;
constexpr DWORD kSmallFileBytes = 1024;
constexpr double kSmallFileTarget = 1.2;  // through the exports over straight on the engine
constexpr double kModuleTargetKiB = 256;
constexpr int kPoolEntries = 10000;  // every entry of the largest folder its own name
constexpr int kCheckedFolderEntries = 1000;
constexpr int kLargeFolderEntries = 10000;
constexpr int kCheckRounds = 7;
constexpr double kCheckTarget = 1.3;  // checked uploads over the same with the overwrite flag
constexpr double kListingTarget = 1.1;   // plugin time per entry over the floor's
constexpr double kDelayTargetMs = 10.0;  // one poll period, median
constexpr double kCpuTargetMsPerSecond = 10.0;  // 1% of one core
constexpr double kGrowthTargetKiB = 64.0;

char g_listedPath[] = "\\work\\photos";
char g_remoteName[] = "\\work\\photos\\2009\\holiday-picture.jpg";
char g_elsewhere[] = "\\work\\elsewhere";
volatile unsigned g_checksum = 0;  // keeps the measured work from being optimised away

// The engine's side of small-file transfers, done as a real engine does
// them: the call hands the job to the engine's own thread and returns; that
// thread moves the 1 KiB (writes the local file for a download, reads it for
// an upload), raises the final event and counts the job done. A client
// driving the engine straight waits for that count, which moves right after
// the final event has been delivered.
class SmallFileEngine {
public:
    SmallFileEngine() : thread_([this] { Run(); }) {}
    ~SmallFileEngine() {
        InterlockedExchange(&stop_, 1);
        SetEvent(jobReady_.Get());
        thread_.Join();
    }
    SmallFileEngine(const SmallFileEngine&) = delete;
    SmallFileEngine& operator=(const SmallFileEngine&) = delete;

    // Inside the engine call: takes the job and returns at once. Returns the
    // job's number for WaitDone.
    LONG Start(ScriptedEngine& engine, const EngineCall& call) {
        engine_ = &engine;
        download_ = call.op == EngineOp::DownloadObject;
        localName_ = call.name != nullptr ? call.name : L"";
        const LONG job = InterlockedIncrement(&started_);
        SetEvent(jobReady_.Get());
        return job;
    }
    LONG LastStarted() { return InterlockedCompareExchange(&started_, 0, 0); }
    // Until job number `job` has raised its final event; false after 5 s.
    // Sleeps on a condition variable, the cheapest wake-up there is, so the
    // straight client pays no more for noticing the end than it must.
    bool WaitDone(LONG job) {
        SrwLock::Exclusive guard(lock_);
        while (done_ < job) {
            if (!lock_.SleepExclusive(jobDone_, 5000)) return false;
        }
        return true;
    }

private:
    void Run() {
        for (;;) {
            WaitForSingleObject(jobReady_.Get(), INFINITE);
            if (InterlockedCompareExchange(&stop_, 0, 0) != 0) return;
            MoveData();
            engine_->FireProgress(localName_.c_str(), L"\\work\\photos\\holiday-picture.jpg", 100);
            {
                SrwLock::Exclusive guard(lock_);
                ++done_;
            }
            WakeAllConditionVariable(&jobDone_);
        }
    }
    void MoveData() {
        char data[kSmallFileBytes] = {};
        DWORD moved = 0;
        const HANDLE file =
            download_ ? CreateFileW(localName_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr)
                      : CreateFileW(localName_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) return;
        if (download_) {
            WriteFile(file, data, kSmallFileBytes, &moved, nullptr);
        } else {
            ReadFile(file, data, kSmallFileBytes, &moved, nullptr);
        }
        CloseHandle(file);
        g_checksum += moved;
    }

    ScriptedEngine* engine_ = nullptr;
    bool download_ = true;
    std::wstring localName_;
    LONG started_ = 0;
    LONG stop_ = 0;
    UniqueHandle jobReady_{CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    SrwLock lock_;
    LONG done_ = 0;  // under lock_
    CONDITION_VARIABLE jobDone_ = CONDITION_VARIABLE_INIT;
    WorkerThread thread_;  // last: starts once everything above exists
};

// The engine's side: listings hand out entries from a pool made once
// (entry_pool.h); a transfer finishes at once, or on a thread
// of its own that raises an event every `periodMs` for `durationMs` before
// the final one, as a real engine does.
class BenchPlan final : public EngineScript {
public:
    BenchPlan() : pool_(kPoolEntries) {}

    void StartListing(int entries) { remaining_ = entries; }
    void FinishTransfersAtOnce() {
        durationMs_ = 0;
        smallFiles_ = false;
    }
    void MoveSmallFiles() { smallFiles_ = true; }
    SmallFileEngine& SmallFiles() { return smallFileEngine_; }
    void FinishTransfersOnAThread(DWORD durationMs, DWORD periodMs) {
        smallFiles_ = false;
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

    EngineAnswer AnswerTo(ScriptedEngine& engine, const EngineCall& call) override {
        EngineAnswer answer;
        switch (call.op) {
        case EngineOp::FirstObject:
            answer.setCookie = true;
            answer.cookie = 7;
            answer.item = NextEntry();
            break;
        case EngineOp::NextObject: answer.item = NextEntry(); break;
        case EngineOp::DownloadObject:
        case EngineOp::UploadObject: StartTransfer(engine, call); break;
        default: break;
        }
        return answer;
    }

private:
    StorageItem* NextEntry() { return remaining_ > 0 ? pool_.Take(--remaining_) : nullptr; }

    void StartTransfer(ScriptedEngine& engine, const EngineCall& call) {
        if (smallFiles_) {
            smallFileEngine_.Start(engine, call);
            return;
        }
        finalEventMs_ = 0;
        if (durationMs_ == 0) {
            engine.FireProgress(L"C:\\data\\holiday-picture.jpg", L"\\work\\photos\\holiday-picture.jpg", 100);
            return;
        }
        thread_.reset(new WorkerThread([this, &engine] {
            finalEventMs_ = RaiseProgress(durationMs_, periodMs_, [&](LONG percent) {
                engine.FireProgress(L"C:\\data\\a.bin", L"\\work\\photos\\a.bin", percent);
            });
        }));
    }

    EntryPool pool_;
    int remaining_ = 0;
    DWORD durationMs_ = 0;
    DWORD periodMs_ = 1;
    double finalEventMs_ = 0;
    std::unique_ptr<WorkerThread> thread_;
    bool smallFiles_ = false;
    SmallFileEngine smallFileEngine_;
};

BenchPlan* g_plan = nullptr;
int __stdcall HostProgress(int, char*, char*, int) { return 0; }

// ---- Listing: three loops over the same entries

// Microseconds for one listing of kEntriesPerListing entries through the
// module's exports; negative when the listing failed.
double ListThroughPlugin(const Module& module) {
    g_plan->StartListing(kEntriesPerListing);
    const Listed listed = ListThroughExports(module, g_listedPath, [](const WIN32_FIND_DATAA& record) {
        g_checksum += static_cast<unsigned char>(record.cFileName[4]) + record.nFileSizeLow;
    });
    return listed.entries < 0 ? -1 : listed.ms * 1000.0;
}

// Microseconds for one listing straight from the engine; `use` does the
// work done per entry with its values.
template <typename Use>
double ListFromEngine(IStorageBrowser* engine, Use&& use) {
    OwnedRemotePath path;
    std::strcpy(path.Record().account, "work");
    std::strcpy(path.Record().bucket, "photos");
    g_plan->StartListing(kEntriesPerListing);
    EntryValues entry;
    return ListOnEngine(*engine, path.Record(), [&](StorageItem& item) {
        entry.Read(item);
        use(entry);
    }).ms * 1000.0;
}

// The engine's getters only.
double ListBare(IStorageBrowser* engine) {
    return ListFromEngine(engine, [](const EntryValues& entry) {
        g_checksum += static_cast<unsigned>(entry.name.Get()[4]) + static_cast<unsigned>(entry.kind + entry.size);
    });
}

// Only what the host needs: the name in 8-bit text, the date as a FILETIME,
// the find record filled.
double ListFloor(IStorageBrowser* engine) {
    WIN32_FIND_DATAA findData;
    return ListFromEngine(engine, [&](const EntryValues& entry) {
        FillFindRecord(entry, &findData);
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

// ---- Small files: through the exports against straight on the engine

struct SmallFileRound {
    std::vector<double> plugin, direct;  // ms per transfer
};

std::wstring Widened(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// One transfer through the module, as the host makes it: a download to a
// name that does not exist yet, without the overwrite flag; an upload that
// replaces the object the last one made, with it.
double SmallThroughPlugin(const Module& module, bool download, std::string& localName) {
    RemoteInfoStruct info{kSmallFileBytes, 0, {0, 0}, 0};
    const double start = NowMs();
    const int result = download ? module.getFile(g_remoteName, &localName[0], 0, &info)
                                : module.putFile(&localName[0], g_remoteName, FS_COPYFLAGS_OVERWRITE);
    const double elapsed = NowMs() - start;
    if (result != FS_FILE_OK) std::printf("  small-file transfer returned %d\n", result);
    return elapsed;
}

// The same transfer made straight on the engine: the client's own BSTR for
// the call, then a wait for the engine's final event.
double SmallStraight(IStorageBrowser* engine, bool download, const std::string& localName,
                     const RemotePath& path) {
    SmallFileEngine& small = g_plan->SmallFiles();
    const double start = NowMs();
    BSTR name = SysAllocString(Widened(localName).c_str());
    LONG unused = 0;
    const HRESULT hr = download ? engine->DownloadObject(path, name, &unused)
                                : engine->UploadObject(name, path, &unused);
    SysFreeString(name);
    const bool done = SUCCEEDED(hr) && small.WaitDone(small.LastStarted());
    const double elapsed = NowMs() - start;
    if (!done) std::printf("  a straight small-file transfer did not finish\n");
    return elapsed;
}

// The local file that small uploads read.
void WriteSmallFile(const std::string& name) {
    const UniqueHandle file(CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    char data[kSmallFileBytes] = {};
    DWORD written = 0;
    WriteFile(file.Get(), data, kSmallFileBytes, &written, nullptr);
}

// Downloads go to a new name each (deleted again between transfers, out of
// the timing), uploads read one 1 KiB file. The engine is idle at the start
// of every timed transfer.
void MeasureSmallFiles(const Module& module, IStorageBrowser* engine, const std::string& folder) {
    if (!module.Transfers()) return;
    g_plan->MoveSmallFiles();
    SmallFileEngine& small = g_plan->SmallFiles();
    CreateDirectoryA(folder.c_str(), nullptr);
    std::string uploaded = folder + "\\put.bin";
    std::string downloaded = folder + "\\got.bin";
    WriteSmallFile(uploaded);
    OwnedRemotePath path;
    std::strcpy(path.Record().account, "work");
    std::strcpy(path.Record().bucket, "photos");
    std::strcpy(path.Record().key, "2009\\holiday-picture.jpg");

    SmallFileRound downloads, uploads;
    const auto settle = [&] {
        small.WaitDone(small.LastStarted());
        DeleteFileA(downloaded.c_str());
    };
    // Each pair in turn, and which side goes first alternates, so whatever
    // one transfer leaves behind (a file just deleted, warm caches) falls on
    // both sides alike.
    const auto pair = [&](bool download, bool pluginFirst, SmallFileRound* round) {
        std::string& local = download ? downloaded : uploaded;
        path.Record().size = download ? kSmallFileBytes : 0;
        for (int side = 0; side < 2; ++side) {
            settle();
            if ((side == 0) == pluginFirst) {
                round->plugin.push_back(SmallThroughPlugin(module, download, local));
            } else {
                round->direct.push_back(SmallStraight(engine, download, local, path.Record()));
            }
        }
    };
    SmallFileRound warmUp;
    for (int i = 0; i < 10; ++i) pair(i % 2 == 0, i % 4 < 2, &warmUp);
    for (int i = 0; i < kSmallTransfers; ++i) {
        pair(true, i % 2 == 0, &downloads);
        pair(false, i % 2 == 0, &uploads);
    }
    settle();
    DeleteFileA(uploaded.c_str());
    RemoveDirectoryA(folder.c_str());

    // Judged on medians, as the listing is: the machine is shared, and a
    // transfer that another process interrupts must not decide the
    // comparison. The means, which such interruptions swell, are shown too.
    std::printf("small files, %d transfers of %lu bytes each way, through the exports against the "
                "same transfers straight on the engine (start, wait for its 100 event), taking "
                "turns:\n",
                kSmallTransfers, static_cast<unsigned long>(kSmallFileBytes));
    bool met = true;
    for (const auto& way : {std::make_pair("download", &downloads), std::make_pair("upload", &uploads)}) {
        const SmallFileRound& r = *way.second;
        double pluginTotal = 0, directTotal = 0;
        for (double ms : r.plugin) pluginTotal += ms;
        for (double ms : r.direct) directTotal += ms;
        const double ratio = Median(r.plugin) / Median(r.direct);
        met = met && ratio <= kSmallFileTarget;
        std::printf("  %-8s through the exports median %.3f ms (mean %.3f), straight median %.3f ms "
                    "(mean %.3f): %.2f x\n",
                    way.first, Median(r.plugin), pluginTotal / r.plugin.size(), Median(r.direct),
                    directTotal / r.direct.size(), ratio);
    }
    std::printf("  target: at most %.1f x straight, both ways: %s\n", kSmallFileTarget, Verdict(met));
}

// ---- The look before an upload

// Makes the plugin know another folder, so that the next check starts from
// nothing known of the uploads' folder.
void KnowAnotherFolder(const Module& module) {
    WIN32_FIND_DATAA findData;
    g_plan->StartListing(0);
    const HANDLE handle = module.findFirst(g_elsewhere, &findData);
    if (handle != INVALID_HANDLE_VALUE) module.findClose(handle);
}

// Milliseconds for `count` uploads of new names into a folder that lists
// `folderEntries` objects, the first with nothing known of the folder.
double UploadNewNames(const Module& module, std::string& localName, int round, int count,
                      int folderEntries, int flags) {
    KnowAnotherFolder(module);
    SmallFileEngine& small = g_plan->SmallFiles();
    g_plan->StartListing(folderEntries);
    const double start = NowMs();
    for (int i = 0; i < count; ++i) {
        char remote[MAX_PATH];
        std::snprintf(remote, sizeof(remote), "\\work\\photos\\2009\\up-%d-%d-%d.bin", flags, round, i);
        const int result = module.putFile(&localName[0], remote, flags);
        if (result != FS_FILE_OK) std::printf("  an upload returned %d\n", result);
    }
    const double elapsed = NowMs() - start;
    small.WaitDone(small.LastStarted());
    return elapsed;
}

void MeasureUploadCheck(const Module& module, const std::string& folder) {
    if (!module.Transfers() || !module.Lists()) return;
    g_plan->MoveSmallFiles();
    CreateDirectoryA(folder.c_str(), nullptr);
    std::string uploaded = folder + "\\put.bin";
    WriteSmallFile(uploaded);
    // Rounds take turns, checked first in every other one.
    std::vector<double> checked, unchecked;
    for (int round = 0; round < kCheckRounds * 2; ++round) {
        const bool check = (round % 2 == 0) == (round / 2 % 2 == 0);
        (check ? checked : unchecked)
            .push_back(UploadNewNames(module, uploaded, round, kSmallTransfers,
                                      kCheckedFolderEntries, check ? 0 : FS_COPYFLAGS_OVERWRITE));
    }
    std::vector<double> oneChecked, oneUnchecked;
    for (int round = 0; round < kCheckRounds * 2; ++round) {
        const bool check = round % 2 == 0;
        (check ? oneChecked : oneUnchecked)
            .push_back(UploadNewNames(module, uploaded, 100 + round, 1, kLargeFolderEntries,
                                      check ? 0 : FS_COPYFLAGS_OVERWRITE));
    }
    DeleteFileA(uploaded.c_str());
    RemoveDirectoryA(folder.c_str());

    const double ratio = Median(checked) / Median(unchecked);
    std::printf("look before an upload, %d uploads of %lu bytes into a folder of %d objects "
                "(median of %d rounds):\n"
                "  checked %.2f ms, with the overwrite flag %.2f ms: %.2f x\n"
                "  target: at most %.1f x: %s\n",
                kSmallTransfers, static_cast<unsigned long>(kSmallFileBytes),
                kCheckedFolderEntries, kCheckRounds, Median(checked), Median(unchecked), ratio,
                kCheckTarget, Verdict(ratio <= kCheckTarget));
    std::printf("  one upload into a folder of %d objects with nothing known: checked %.2f ms, "
                "with the overwrite flag %.2f ms (the check: %.2f ms)\n",
                kLargeFolderEntries, Median(oneChecked), Median(oneUnchecked),
                Median(oneChecked) - Median(oneUnchecked));
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
                                      : module.putFile(localName, g_remoteName, FS_COPYFLAGS_OVERWRITE);
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
    std::printf("corvanel.wfx: %lu bytes (%.1f KiB) on disk\n  target: at most %.0f KiB: %s\n",
                data.nFileSizeLow, data.nFileSizeLow / 1024.0, kModuleTargetKiB,
                Verdict(data.nFileSizeLow <= kModuleTargetKiB * 1024));
}

bool MeasureStartUp(const Module& module) {
    InitTimes times;
    if (!TimeInit(module, &HostProgress, kInitRepeats, &times)) {
        std::printf("FsInit failed: the engine was not found\n");
        return false;
    }
    std::printf("FsInit with an in-process engine: first call %.3f ms, median of %d more %.3f ms\n",
                times.firstMs, kInitRepeats, times.againMs);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string modulePath = ModulePath(argc, argv);
    if (FAILED(CoInitialize(nullptr))) return 1;
    BenchPlan plan;
    g_plan = &plan;
    ScriptedEngine engine(plan);
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
    MeasureSmallFiles(module, engineInterface, std::string(temp) + "corvanel-bench-small");
    MeasureUploadCheck(module, std::string(temp) + "corvanel-bench-check");
    MeasureMemory(module, &localName[0]);
    // The module keeps the engine until the process ends, by design, so it
    // is never unloaded here.
    return 0;
}
