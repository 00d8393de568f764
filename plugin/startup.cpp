// FsInit creates the engine, the progress record and its event sink;
// FsGetDefRootName names the plugin's root.
#include <windows.h>
#include <objbase.h>

#include <wrl/client.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "binding/event_handler.h"
#include "binding/storage_browser.h"
#include "common/call_guarded.h"
#include "common/wfx_api.h"
#include "plugin/plugin_state.h"

namespace {

constexpr char kRootName[] = "Corvanel";
// In-process server, in-process handler, local server and remote server.
constexpr DWORD kEngineClassContext = 0x17;

// S_FALSE: COM was already initialised on this thread. RPC_E_CHANGED_MODE:
// the host's thread already belongs to the multithreaded apartment, where COM
// is just as usable and the engine can be created. The plugin never calls
// CoUninitialize: the engine is kept for the rest of the process.
bool ComUsableOnThisThread() {
    const HRESULT hr = CoInitialize(nullptr);
    return SUCCEEDED(hr) || hr == RPC_E_CHANGED_MODE;
}

int StartUp(int pluginNumber, tProgressProc progressProc, tLogProc logProc,
            tRequestProc requestProc) {
    PluginState& state = GetPluginState();
    // Stored before anything can fail, so the host's callbacks are kept even
    // when the engine cannot be made.
    state.pluginNumber = pluginNumber;
    state.progressProc = progressProc;
    state.logProc = logProc;
    state.requestProc = requestProc;

    if (!ComUsableOnThisThread()) return -1;
    CLSID engineClass;
    if (FAILED(CLSIDFromProgID(kEngineProgId, &engineClass))) return -1;
    // From here a failure, running out of memory included, leaves no engine:
    // the engine and its progress record are published together or not at all.
    state.engine = nullptr;
    Microsoft::WRL::ComPtr<IStorageBrowser> engine;
    if (FAILED(CoCreateInstance(engineClass, nullptr, kEngineClassContext,
                                IID_PPV_ARGS(&engine)))) {
        return -1;
    }
    std::unique_ptr<CEventHandler> progress(new CEventHandler());
    progress->CreateEventSink(engine.Get());  // unconnected is not an error
    state.progress = progress.release();
    state.engine = engine.Detach();
    return 0;
}

void CopyRootName(char* buffer, int size) {
    if (buffer == nullptr || size <= 0) return;
    const std::size_t length =
        std::min(sizeof(kRootName) - 1, static_cast<std::size_t>(size) - 1);
    std::memcpy(buffer, kRootName, length);
    buffer[length] = '\0';
}

}  // namespace

int __stdcall FsInit(int PluginNr, tProgressProc pProgressProc, tLogProc pLogProc,
                     tRequestProc pRequestProc) {
    return CallGuarded<int>(-1, [&] { return StartUp(PluginNr, pProgressProc, pLogProc, pRequestProc); });
}

void __stdcall FsGetDefRootName(char* DefRootName, int maxlen) {
    CopyRootName(DefRootName, maxlen);
}
