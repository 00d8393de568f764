#pragma once
// The tests' storage engine: the engine object of tools/engine_com with its
// answers plugged in. Every call is described to an EngineScript, which
// decides the answer (any HRESULT, any ok value, an entry or none, a cookie)
// and may fire events meanwhile. The scripts:
//  - the recorded script of the unit tests (fake_engine.h), which logs each
//    call as text and answers from per-operation queues;
//  - the entry-point fuzzer's random plan (tests/stress/fuzz_plan.h);
//  - the allocation-failure runs' agreeing plan;
//  - the benchmarks' plans and the editions' synthetic store.
//
// The engine itself logs nothing and allocates nothing per call, so the
// fuzzer, the allocation-failure runs and the benchmarks do not measure it.
// Every call runs as engine code (plugin_scope.h), its events as plugin code.
//
// Lifetime: the engine lives in the test's scope; Release never deletes it.
// Threading: calls and events arrive on the test's threads; the script is
// not locked.

#include <windows.h>
#include <ocidl.h>

#include <string>
#include <vector>

#include "binding/storage_browser.h"
#include "tools/engine_com/storage_browser_object.h"

// One listing entry as the tests hand it out. Each getter answers with its
// result (a failure writes nothing); a null name makes get_Name succeed with
// a null BSTR.
struct ItemValues {
    std::wstring name;
    bool nullName = false;
    DATE date = 0.0;
    LONG kind = kObjectKind;
    LONGLONG size = 0;
    HRESULT nameResult = S_OK;
    HRESULT dateResult = S_OK;
    HRESULT kindResult = S_OK;
    HRESULT sizeResult = S_OK;
};

// Live entries made by MakeFakeItem in the process: 0 once the plugin
// released everything it was given.
extern LONG g_liveFakeItems;

// A new entry with one reference for the caller.
StorageItem* MakeFakeItem(const ItemValues& values);

struct EngineAnswer {
    HRESULT hr = S_OK;
    VARIANT_BOOL ok = VARIANT_TRUE;  // changes' ok; transfers' result
    bool leaveOk = false;            // changes: leave the caller's ok as it came
    StorageItem* item = nullptr;     // listing steps: handed over with its reference
    bool setCookie = false;          // First operations: write `cookie`
    ListingCookie cookie = 0;
};

class ScriptedEngine;

class EngineScript {
public:
    // Runs inside the engine call, as engine code; may fire events on
    // `engine`.
    virtual EngineAnswer AnswerTo(ScriptedEngine& engine, const EngineCall& call) = 0;

protected:
    ~EngineScript() = default;
};

// The connection point the scripted engine hands out: the shared point, with
// what tests look at and the misbehaviour they ask for. Its references are
// the engine's; with `keepLog` it notes Advise, Unadvise and its Release
// calls (with the engine's count after each) in `log`.
class ScriptedEventPoint final : public IConnectionPoint {
public:
    explicit ScriptedEventPoint(ScriptedEngine& engine) : engine_(engine) {}

    bool keepLog = false;
    std::vector<std::string> log;
    // The advised sink, or null; not referenced.
    IDispatch* Sink();
    DWORD Cookie();
    LONG RefCount() const;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override;
    HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(
        IConnectionPointContainer** container) override;
    HRESULT STDMETHODCALLTYPE Advise(IUnknown* sinkUnknown, DWORD* cookie) override;
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override;
    HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections**) override { return E_NOTIMPL; }

private:
    void Note(const std::string& what);

    ScriptedEngine& engine_;
};

class ScriptedEngine : public StorageBrowserObject {
public:
    explicit ScriptedEngine(EngineScript& script);
    ~ScriptedEngine() override;

    // Connection point behaviour.
    bool offerContainer = true;
    bool refuseAdvise = false;
    // An engine that keeps no reference on the sink it was advised of.
    bool weakSinkReference = false;
    ScriptedEventPoint& Point() { return point_; }
    bool HasSink() { return point_.Sink() != nullptr; }

    // Fires one event to the advised sink with `count` arguments, last-first
    // as dispatch has them; the arguments stay the caller's. S_FALSE when no
    // sink is advised, else Invoke's HRESULT.
    HRESULT Fire(VARIANT* argsLastFirst, UINT count, DISPID member = 1);
    // A well-formed progress event: local name, remote name, percent.
    HRESULT FireProgress(const wchar_t* localName, const wchar_t* remoteName, LONG percent,
                         DISPID member = 1);

protected:
    HRESULT Call(const EngineCall& call) override;
    IConnectionPoint* OfferedEventPoint() override {
        return offerContainer ? &point_ : nullptr;
    }
    void Destroy() override {}  // lives in the test's scope

private:
    friend class ScriptedEventPoint;

    EngineScript* script_;
    ScriptedEventPoint point_{*this};
};

// The reference count of a COM object, read by an AddRef and Release pair.
ULONG RefCountOf(IUnknown* object);
