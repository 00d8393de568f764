// The two editions side by side on one registered engine
// (corvanel_bench_engine.dll, tests/bench/engine): corvanel.wfx loaded by a
// 32-bit process, the engine in that process, against corvanel.wfx64 loaded
// by a 64-bit process, the engine in corvanel_helper.exe. Built for both:
// edition_bench.exe (32-bit) and edition_bench64.exe (64-bit, bridge/x64).
//
//   edition_bench64.exe [--rounds N]   the comparison: N rounds (5 unless
//       given), each a fresh 32-bit measuring process, then a fresh 64-bit
//       one, back to back; prints every figure against its target
//   edition_bench[64].exe --measure    one measuring process: loads its own
//       edition's module beside it as the host does and prints one line of
//       figures
//
// Each measuring process takes, through the exports only:
//  - FsInit's first call (for corvanel.wfx64 the helper's start included:
//    process creation, loading corvanel.wfx, its FsInit with the engine) and
//    the median of 20 more;
//  - the time of one whole listing of CORVANEL_BENCH_ENTRIES entries
//    (100,000 unless set) through FsFindFirst/FsFindNext/FsFindClose, the
//    median of 5 after one unmeasured; then one more with each FsFindNext
//    timed, to show where the time goes;
//  - the time of one transfer, downloads and uploads in turn, whose engine
//    reaches 100 percent inside the call that starts it: the median and mean
//    of 1,000 after 50 unmeasured;
//  - downloads that the host cancels at the relay's first report (the engine
//    never finishes them), each followed by one ordinary download: the time
//    from the host's abort answer to the export's return (for corvanel.wfx64
//    the helper ended and the partial local file deleted) and that next
//    download's time (for corvanel.wfx64 a new helper started and FsInit
//    repeated in it first), the median of 10.
// Not a test: tools/bench64.sh builds it, registers the engine in the build's
// benchmark prefix and runs it under Wine.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/wfx_api.h"
#include "tests/bench/bench_support.h"

namespace {

constexpr int kDefaultRounds = 5;
constexpr int kMostRounds = 100;
constexpr int kInitRepeats = 20;
constexpr int kListings = 5;
constexpr int kTransfers = 1000;
constexpr int kWarmUpTransfers = 50;
constexpr int kCancels = 10;
constexpr double kSlowCallUs = 20.0;
constexpr double kListingTarget = 2.0;  // bridge listing time over the in-process one
constexpr double kAddedTargetMs = 0.5;  // bridge transfer time minus the in-process one

char g_listedPath[] = "\\work\\photos";
char g_remoteName[] = "\\work\\photos\\2009\\holiday-picture.jpg";
char g_endlessName[] = "\\work\\photos\\endless.bin";  // the engine never finishes it
volatile unsigned g_checksum = 0;  // keeps the listed records from being optimised away
int g_progressCalls = 0;
int g_abortFromCall = 0;  // the progress call, counted by g_progressCalls, that aborts; 0: none
double g_abortedAtMs = 0;

int __stdcall HostProgress(int, char*, char*, int) {
    ++g_progressCalls;
    if (g_abortFromCall == 0 || g_progressCalls < g_abortFromCall) return 0;
    g_abortedAtMs = NowMs();
    return 1;
}

#ifdef _WIN64
constexpr char kModuleName[] = "corvanel.wfx64";
#else
constexpr char kModuleName[] = "corvanel.wfx";
#endif

// What one measuring process prints, in this order, on one line.
struct Figures {
    double initFirstMs = 0;
    double initAgainMs = 0;   // median of kInitRepeats more
    double listingMs = 0;     // one whole listing, median of kListings
    double entries = 0;       // entries in each listing (all equal, or the process fails)
    double transferUs = 0;    // one transfer, median
    double transferMeanUs = 0;
    double progressCalls = 0;  // host callbacks per transfer
    // Of one more listing, each call timed: the FsFindNext calls that took
    // longer than kSlowCallUs (for corvanel.wfx64 the round trips that
    // fetch a batch from the helper) and their time, and the rest's time.
    double slowCalls = 0;
    double slowMs = 0;
    double restMs = 0;
    double cancelReturnMs = 0;  // the host's abort answer to the export's return, median
    double nextCallMs = 0;      // the download after a cancel, median

    static constexpr const char* kFormat = "%lf %lf %lf %lf %lf %lf %lf %lf %lf %lf %lf %lf";
    bool Parse(const std::string& line) {
        return std::sscanf(line.c_str(), kFormat, &initFirstMs, &initAgainMs, &listingMs, &entries,
                           &transferUs, &transferMeanUs, &progressCalls, &slowCalls, &slowMs,
                           &restMs, &cancelReturnMs, &nextCallMs) == 12;
    }
    void Print() const {
        std::printf("%.4f %.4f %.4f %.0f %.3f %.3f %.2f %.0f %.4f %.4f %.4f %.4f\n", initFirstMs,
                    initAgainMs, listingMs, entries, transferUs, transferMeanUs, progressCalls,
                    slowCalls, slowMs, restMs, cancelReturnMs, nextCallMs);
    }
};

// ---- One measuring process

// One whole listing; the entries it had, -1 when FsFindFirst failed.
long ListOnce(const Module& module, double* ms) {
    const Listed listed = ListThroughExports(module, g_listedPath, [](const WIN32_FIND_DATAA& record) {
        g_checksum += static_cast<unsigned char>(record.cFileName[4]) + record.nFileSizeLow;
    });
    *ms = listed.ms;
    return listed.entries;
}

// One more listing, each FsFindNext timed on its own.
void TimeEachCall(const Module& module, Figures* figures) {
    WIN32_FIND_DATAA record;
    HANDLE handle = module.findFirst(g_listedPath, &record);
    if (handle == INVALID_HANDLE_VALUE) return;
    for (;;) {
        const double start = NowMs();
        const BOOL found = module.findNext(handle, &record);
        const double ms = NowMs() - start;
        if (ms * 1000.0 > kSlowCallUs) {
            figures->slowCalls += 1;
            figures->slowMs += ms;
        } else {
            figures->restMs += ms;
        }
        if (!found) break;
    }
    module.findClose(handle);
}

bool MeasureListing(const Module& module, Figures* figures) {
    double ms = 0;
    const long expected = ListOnce(module, &ms);  // unmeasured: the first touches every page
    if (expected <= 0) {
        std::fprintf(stderr, "%s: the listing failed\n", kModuleName);
        return false;
    }
    std::vector<double> times;
    for (int i = 0; i < kListings; ++i) {
        if (ListOnce(module, &ms) != expected) {
            std::fprintf(stderr, "%s: listings of different lengths\n", kModuleName);
            return false;
        }
        times.push_back(ms);
    }
    figures->listingMs = Median(times);
    figures->entries = static_cast<double>(expected);
    TimeEachCall(module, figures);
    return true;
}

// Downloads and uploads in turn; false when one fails. Each call's time
// goes into `times` when given.
bool Transfer(const Module& module, char* localName, int count, std::vector<double>* times) {
    RemoteInfoStruct info{4096, 0, {0, 0}, 0};
    for (int i = 0; i < count; ++i) {
        const double start = NowMs();
        const int result = i % 2 == 0 ? module.getFile(g_remoteName, localName, 0, &info)
                                      : module.putFile(localName, g_remoteName, FS_COPYFLAGS_OVERWRITE);
        const double end = NowMs();
        if (result != FS_FILE_OK) {
            std::fprintf(stderr, "%s: transfer %d returned %d\n", kModuleName, i, result);
            return false;
        }
        if (times != nullptr) times->push_back((end - start) * 1000.0);
    }
    return true;
}

bool MeasureTransfers(const Module& module, Figures* figures) {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    std::string localName = std::string(temp) + "corvanel-bench-never-created.bin";
    if (!Transfer(module, &localName[0], kWarmUpTransfers, nullptr)) return false;
    std::vector<double> times;
    g_progressCalls = 0;
    if (!Transfer(module, &localName[0], kTransfers, &times)) return false;
    double sum = 0;
    for (double time : times) sum += time;
    figures->transferUs = Median(times);
    figures->transferMeanUs = sum / times.size();
    figures->progressCalls = static_cast<double>(g_progressCalls) / kTransfers;
    return true;
}

// Each cancelled download writes to a local file that is there before it,
// as the engine's partial file would be.
bool MeasureCancels(const Module& module, Figures* figures) {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    std::string partial = std::string(temp) + "corvanel-bench-cancelled.bin";
    std::string next = std::string(temp) + "corvanel-bench-never-created.bin";
    RemoteInfoStruct info{4096, 0, {0, 0}, 0};
    std::vector<double> returns, nextCalls;
    for (int i = 0; i < kCancels; ++i) {
        CloseHandle(CreateFileA(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        g_progressCalls = 0;
        g_abortFromCall = 2;  // the first is the plugin's own, before it calls the engine
        const int result = module.getFile(g_endlessName, &partial[0], FS_COPYFLAGS_OVERWRITE, &info);
        returns.push_back(NowMs() - g_abortedAtMs);
        g_abortFromCall = 0;
        const double start = NowMs();
        const int nextResult = module.getFile(g_remoteName, &next[0], 0, &info);
        nextCalls.push_back(NowMs() - start);
        if (result != FS_FILE_USERABORT || nextResult != FS_FILE_OK) {
            std::fprintf(stderr, "%s: the cancel returned %d, the next download %d\n", kModuleName,
                         result, nextResult);
            return false;
        }
    }
    DeleteFileA(partial.c_str());
    figures->cancelReturnMs = Median(returns);
    figures->nextCallMs = Median(nextCalls);
    return true;
}

int Measure() {
    Module module;
    if (!module.Load(BesideThisProgram(kModuleName)) || !module.Lists() || !module.Transfers()) {
        std::fprintf(stderr, "cannot load %s beside this program\n", kModuleName);
        return 1;
    }
    Figures figures;
    InitTimes init;
    if (!TimeInit(module, &HostProgress, kInitRepeats, &init)) {
        std::fprintf(stderr, "%s: FsInit failed: is the engine registered?\n", kModuleName);
        return 1;
    }
    figures.initFirstMs = init.firstMs;
    figures.initAgainMs = init.againMs;
    // The listing comes first: an upload needs the object level listed.
    if (!MeasureListing(module, &figures) || !MeasureTransfers(module, &figures) ||
        !MeasureCancels(module, &figures)) {
        return 1;
    }
    figures.Print();
    return 0;
}

// ---- The comparison

struct Edition {
    const char* label;
    const char* program;
    std::vector<Figures> rounds;

    bool Run() {
        std::string output;
        Figures figures;
        if (!RunCapturingOutput("\"" + BesideThisProgram(program) + "\" --measure", &output) ||
            !figures.Parse(output)) {
            std::printf("%s: the measuring process printed no figures\n", program);
            return false;
        }
        rounds.push_back(figures);
        return true;
    }
    template <typename Field>
    std::vector<double> Each(Field field) const {
        std::vector<double> values;
        for (const Figures& figures : rounds) values.push_back(figures.*field);
        return values;
    }
    template <typename Field>
    double MedianOf(Field field) const { return Median(Each(field)); }
};

std::string Joined(const std::vector<double>& values, const char* format) {
    std::string text;
    for (double value : values) {
        char item[32];
        std::snprintf(item, sizeof(item), format, value);
        text += item;
    }
    return text;
}

int Compare(int rounds) {
    if (GetEnvironmentVariableA("CORVANEL_BENCH_ENTRIES", nullptr, 0) == 0) {
        SetEnvironmentVariableA("CORVANEL_BENCH_ENTRIES", "100000");  // the helper inherits it
    }
    Edition inProcess{"corvanel.wfx, 32-bit process, engine in-process", "edition_bench.exe", {}};
    Edition bridge{"corvanel.wfx64, 64-bit process, engine in corvanel_helper.exe",
                   "edition_bench64.exe", {}};
    std::printf("editions benchmark: %d rounds, each a fresh 32-bit then a fresh 64-bit process\n",
                rounds);
    std::printf("%-6s %-9s %12s %12s %14s %12s %12s %9s\n", "round", "edition", "FsInit 1st",
                "FsInit again", "listing", "per entry", "transfer", "progress");
    for (int round = 1; round <= rounds; ++round) {
        for (Edition* edition : {&inProcess, &bridge}) {
            if (!edition->Run()) return 1;
            const Figures& f = edition->rounds.back();
            std::printf("%-6d %-9s %9.3f ms %9.3f ms %11.2f ms %9.3f us %9.1f us %9.1f\n", round,
                        edition == &inProcess ? "32 in" : "64 bridge", f.initFirstMs, f.initAgainMs,
                        f.listingMs, f.listingMs * 1000.0 / f.entries, f.transferUs,
                        f.progressCalls);
            std::fflush(stdout);
        }
    }
    std::vector<double> ratios, added, addedMean;
    for (int i = 0; i < rounds; ++i) {
        const Figures& a = inProcess.rounds[i];
        const Figures& b = bridge.rounds[i];
        ratios.push_back(b.listingMs / a.listingMs);
        added.push_back((b.transferUs - a.transferUs) / 1000.0);
        addedMean.push_back((b.transferMeanUs - a.transferMeanUs) / 1000.0);
    }
    const double entries = inProcess.rounds.front().entries;
    for (const Edition* edition : {&inProcess, &bridge}) {
        for (const Figures& figures : edition->rounds) {
            if (figures.entries != entries) {
                std::printf("the editions listed different numbers of entries: %.0f and %.0f\n",
                            entries, figures.entries);
                return 1;
            }
        }
    }
    const double ratio = Median(ratios), addedMs = Median(added);
    // Each figure's median of the rounds, in (a) and in (b).
    const auto a = [&](double Figures::*field) { return inProcess.MedianOf(field); };
    const auto b = [&](double Figures::*field) { return bridge.MedianOf(field); };
    std::printf("\n(a) %s\n(b) %s\n", inProcess.label, bridge.label);
    std::printf("listing %.0f entries through FsFindFirst/FsFindNext (median of %d listings per "
                "process, median of rounds): (a) %.2f ms, (b) %.2f ms\n"
                "  (b)/(a) per round:%s; median %.2f\n  target: at most %.1f x: %s\n",
                entries, kListings, a(&Figures::listingMs), b(&Figures::listingMs),
                Joined(ratios, " %.2f").c_str(), ratio, kListingTarget, Verdict(ratio <= kListingTarget));
    std::printf("  one more listing, each FsFindNext timed (median of rounds): calls over %.0f us "
                "(a) %.0f taking %.2f ms, (b) %.0f taking %.2f ms; the rest (a) %.2f ms, (b) %.2f "
                "ms\n",
                kSlowCallUs, a(&Figures::slowCalls), a(&Figures::slowMs), b(&Figures::slowCalls),
                b(&Figures::slowMs), a(&Figures::restMs), b(&Figures::restMs));
    std::printf("transfer, downloads and uploads in turn, the engine at 100%% at once (median of "
                "%d per process, median of rounds): (a) %.1f us, (b) %.1f us; means (a) %.1f us, "
                "(b) %.1f us\n  added time (b)-(a) per round:%s ms; median %.3f ms "
                "(of the means:%s ms)\n  target: at most %.1f ms: %s\n",
                kTransfers, a(&Figures::transferUs), b(&Figures::transferUs),
                a(&Figures::transferMeanUs), b(&Figures::transferMeanUs), Joined(added, " %.3f").c_str(),
                addedMs, Joined(addedMean, " %.3f").c_str(), kAddedTargetMs, Verdict(addedMs <= kAddedTargetMs));
    std::printf("FsInit, first call of a process (median of rounds): (a) %.2f ms, (b) %.2f ms with "
                "the helper's start\n  (b) per round:%s ms\n  later calls (median): (a) %.3f ms, "
                "(b) %.3f ms\n",
                a(&Figures::initFirstMs), b(&Figures::initFirstMs),
                Joined(bridge.Each(&Figures::initFirstMs), " %.1f").c_str(),
                a(&Figures::initAgainMs), b(&Figures::initAgainMs));
    std::printf("download cancelled at the relay's first report, then one ordinary download "
                "(median of %d per process, median of rounds):\n  abort answer to return: (a) %.3f "
                "ms, (b) %.3f ms\n  the next download: (a) %.3f ms, (b) %.3f ms; over an ordinary "
                "transfer: (a) %.3f ms, (b) %.3f ms (the restart)\n",
                kCancels, a(&Figures::cancelReturnMs), b(&Figures::cancelReturnMs),
                a(&Figures::nextCallMs), b(&Figures::nextCallMs),
                a(&Figures::nextCallMs) - a(&Figures::transferUs) / 1000.0,
                b(&Figures::nextCallMs) - b(&Figures::transferUs) / 1000.0);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = kDefaultRounds;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--measure") == 0) return Measure();
        if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
            rounds = std::atoi(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: %s [--rounds N] | --measure\n", argv[0]);
            return 2;
        }
    }
    if (rounds < 1 || rounds > kMostRounds) {
        std::fprintf(stderr, "--rounds takes 1 to %d\n", kMostRounds);
        return 2;
    }
    return Compare(rounds);
}
