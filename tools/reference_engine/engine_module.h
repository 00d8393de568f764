#pragma once
// The in-process COM server around an engine (engine_module.cpp): its class
// factory, registration under the engine's ProgID and the count of live
// objects that decides DllCanUnloadNow. Each engine DLL built on it defines
// kEngineClass once: the reference engine, and the benchmark's synthetic one.

#include <windows.h>

struct EngineClass {
    CLSID id;
    const wchar_t* description;  // the class's and the ProgID's default value
    // A new engine object for `riid` (or the one engine of the process); may
    // throw std::bad_alloc.
    HRESULT (*create)(REFIID riid, void** object);
};
extern const EngineClass kEngineClass;

// Every engine object, listing entry, running transfer and server lock holds
// one count while it lives.
void ModuleAddRef();
void ModuleRelease();
