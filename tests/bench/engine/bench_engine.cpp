// corvanel_bench_engine.dll: the engine of the editions' benchmark
// (tests/bench/edition_bench.cpp), registered under the engine's ProgID in a
// Wine prefix of its own, so that corvanel.wfx creates the same engine in a
// 32-bit benchmark process and in corvanel.wfx64's helper. The reference
// engine's server module (class factory, registration) around the tests'
// scripted engine (tests/support/scripted_engine.h) playing a synthetic
// store; nothing is on disk:
//  - every object listing has CORVANEL_BENCH_ENTRIES entries (100,000 when
//    unset or not a number), handed out from a pool of 1,000 made once;
//  - a download or upload reaches 100 percent inside the call that starts
//    it, so a transfer costs only the plugin's work (and the bridge's);
//    except that of an object named endless.bin, which stays at 0 percent
//    until the host cancels it.
#include <windows.h>

#include <cstring>
#include <cwchar>

#include "tests/bench/entry_pool.h"
#include "tests/support/scripted_engine.h"
#include "tools/reference_engine/engine_module.h"

namespace {

constexpr wchar_t kEntriesVariable[] = L"CORVANEL_BENCH_ENTRIES";
constexpr long kDefaultEntries = 100000;
constexpr long kMostEntries = 100000000;
constexpr int kPoolEntries = 1000;

long EntriesFromSettings() {
    wchar_t text[16];
    const DWORD length = GetEnvironmentVariableW(kEntriesVariable, text, ARRAYSIZE(text));
    if (length == 0 || length >= ARRAYSIZE(text)) return kDefaultEntries;
    wchar_t* end = nullptr;
    const long entries = std::wcstol(text, &end, 10);
    if (end == text || *end != L'\0' || entries < 0 || entries > kMostEntries) return kDefaultEntries;
    return entries;
}

bool IsEndless(const EngineCall& call) {
    return call.path != nullptr && call.path->key != nullptr &&
           std::strcmp(call.path->key, "endless.bin") == 0;
}

// One listing at a time, as the plugin lists; a new FirstObject starts over.
class SyntheticStore final : public EngineScript {
public:
    EngineAnswer AnswerTo(ScriptedEngine& engine, const EngineCall& call) override {
        EngineAnswer answer;
        switch (call.op) {
        case EngineOp::FirstObject:
            remaining_ = EntriesFromSettings();
            answer.setCookie = true;
            answer.cookie = 1;
            answer.item = NextEntry();
            break;
        case EngineOp::NextObject: answer.item = NextEntry(); break;
        case EngineOp::DownloadObject:
        case EngineOp::UploadObject:
            engine.FireProgress(call.name, L"\\work\\photos\\holiday-picture.jpg",
                                IsEndless(call) ? 0 : 100);
            break;
        default: break;  // no accounts or buckets to list; every change succeeds
        }
        return answer;
    }

private:
    StorageItem* NextEntry() {
        return remaining_ > 0 ? pool_.Take(static_cast<int>(--remaining_ % kPoolEntries)) : nullptr;
    }

    EntryPool pool_{kPoolEntries};
    long remaining_ = 0;
};

// One engine per process, alive until the process ends, with the module
// held as long: the plugin keeps the engine until then, and its event sink
// lives in the plugin's module, which may be gone by the time this one's
// globals would be destroyed.
HRESULT ProcessEngine(REFIID riid, void** object) {
    static ScriptedEngine* const engine = [] {
        ModuleAddRef();
        return new ScriptedEngine(*new SyntheticStore);
    }();
    return engine->QueryInterface(riid, object);
}

}  // namespace

// {0BD8E591-98AC-4777-A5F9-B917400871E7}
const EngineClass kEngineClass = {
    {0x0bd8e591, 0x98ac, 0x4777, {0xa5, 0xf9, 0xb9, 0x17, 0x40, 0x08, 0x71, 0xe7}},
    L"Corvanel benchmark engine (synthetic store)",
    &ProcessEngine};
