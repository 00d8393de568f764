// Measures the download relay against the recording fake engine, whose
// events come from a thread of their own as a real engine's do:
//  - the delay from the engine's final (100 percent) event to FsGetFile
//    returning, median and worst over 100 transfers that finish at varied
//    moments of the relay's 10 ms poll;
//  - the CPU time the relay (the calling thread) uses per second of transfer,
//    over those transfers and over one long transfer with an event every 1 ms.
// Run under Wine: build/wine-run.sh build/bin/transfer_bench.exe
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "binding/event_handler.h"
#include "common/wfx_api.h"
#include "plugin/plugin_state.h"
#include "tests/bench/bench_support.h"
#include "tests/support/fake_engine.h"
#include "tests/support/plugin_reset.h"
#include "tests/support/worker_thread.h"

namespace {

constexpr int kTransfers = 100;
constexpr DWORD kLongTransferMs = 10000;

LONG g_reports = 0;

int __stdcall CountingProgress(int, char*, char*, int) {
    ++g_reports;
    return 0;
}

// Kernel plus user time of the whole process, in ms.
double ProcessCpuMs() {
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    return Ms(kernel) + Ms(user);
}

// The engine side of one download: once the engine has the call, a thread
// raises an event every `periodMs` for `durationMs`, then the final one,
// noting the moment it raised that.
class ScriptedDownload {
public:
    ScriptedDownload(FakeStorageBrowser& engine, DWORD durationMs, DWORD periodMs)
        : engine_(engine), durationMs_(durationMs), periodMs_(periodMs) {
        engine_.ScriptEnd("DownloadObject");
        engine_.onCall = [this](const std::string&) {
            thread_.reset(new WorkerThread([this] { Raise(); }));
        };
    }
    ~ScriptedDownload() {
        if (thread_) thread_->Join();
        engine_.onCall = nullptr;
        engine_.calls.clear();
    }
    void Join() { thread_->Join(); }
    double FinalEventMs() const { return finalEventMs_; }

private:
    void Raise() {
        finalEventMs_ = RaiseProgress(durationMs_, periodMs_, [this](LONG percent) {
            engine_.FireProgress(L"C:\\data\\a.bin", L"\\work\\photos\\a.bin", percent);
        });
    }

    FakeStorageBrowser& engine_;
    DWORD durationMs_;
    DWORD periodMs_;
    double finalEventMs_ = 0;
    std::unique_ptr<WorkerThread> thread_;
};

struct TransferFigures {
    double delayMs;  // final event to return
    double wallMs;   // call to return
    double relayCpuMs;
    double processCpuMs;
};

TransferFigures TimedDownload(FakeStorageBrowser& engine, char* localName, DWORD durationMs,
                              DWORD periodMs) {
    ScriptedDownload download(engine, durationMs, periodMs);
    RemoteInfoStruct info{4096, 0, {0, 0}, 0};
    const double cpuBefore = ThreadCpuMs();
    const double processBefore = ProcessCpuMs();
    const double start = NowMs();
    const int result =
        FsGetFile(const_cast<char*>("\\work\\photos\\a.bin"), localName, 0, &info);
    const double end = NowMs();
    const double cpuAfter = ThreadCpuMs();
    const double processAfter = ProcessCpuMs();
    download.Join();
    if (result != FS_FILE_OK) std::printf("FsGetFile returned %d\n", result);
    return {end - download.FinalEventMs(), end - start, cpuAfter - cpuBefore,
            processAfter - processBefore};
}

}  // namespace

int main() {
    FakeStorageBrowser engine;
    CEventHandler progress;
    progress.CreateEventSink(&engine);
    PluginState& state = GetPluginState();
    state.pluginNumber = 1;
    state.progressProc = &CountingProgress;
    state.engine = &engine;
    state.progress = &progress;

    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    std::string local = std::string(temp) + "corvanel_bench_" +
                        std::to_string(GetCurrentProcessId()) + ".bin";  // never created

    // Transfers of 20 to 59 ms, so the final event falls at every phase of
    // the relay's poll.
    std::vector<double> delays;
    double wallMs = 0, relayCpuMs = 0;
    for (int i = 0; i < kTransfers; ++i) {
        const TransferFigures f =
            TimedDownload(engine, &local[0], 20 + static_cast<DWORD>((i * 37) % 40), 1);
        delays.push_back(f.delayMs);
        wallMs += f.wallMs;
        relayCpuMs += f.relayCpuMs;
    }
    std::sort(delays.begin(), delays.end());
    std::printf("final event to FsGetFile return, %d transfers: median %.2f ms, worst %.2f ms\n",
                kTransfers, (delays[kTransfers / 2 - 1] + delays[kTransfers / 2]) / 2,
                delays.back());
    std::printf("relay CPU over those transfers: %.1f ms in %.2f s = %.2f ms per second\n",
                relayCpuMs, wallMs / 1000, relayCpuMs / (wallMs / 1000));

    g_reports = 0;
    const TransferFigures f = TimedDownload(engine, &local[0], kLongTransferMs, 1);
    std::printf("long transfer, %.2f s, an event every 1 ms, %ld reports:\n"
                "  relay (calling thread) CPU %.2f ms per second; whole process %.2f ms per "
                "second (includes the engine thread raising the events)\n",
                f.wallMs / 1000, static_cast<long>(g_reports), f.relayCpuMs / (f.wallMs / 1000),
                f.processCpuMs / (f.wallMs / 1000));

    progress.EventSink()->Disconnect();
    progress.EventSink()->Release();
    ResetPluginState();
    return 0;
}
