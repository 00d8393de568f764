// An engine's module: its class factory and the four exports of an
// in-process COM server. Registration writes the machine-wide class keys, the
// only place from which Wine resolves a ProgID.
#include "tools/reference_engine/engine_module.h"

#include <objbase.h>
#include <olectl.h>

#include <string>

#include "binding/storage_browser.h"
#include "common/call_guarded.h"

namespace {

HMODULE g_module = nullptr;
LONG g_moduleCount = 0;

constexpr wchar_t kClassesKey[] = L"Software\\Classes\\";

class CEngineFactory final : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (object == nullptr) return E_POINTER;
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory)) {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        *object = this;
        AddRef();
        return S_OK;
    }
    // One static factory: its references are the module's.
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
        if (object == nullptr) return E_POINTER;
        *object = nullptr;
        if (outer != nullptr) return CLASS_E_NOAGGREGATION;
        return CallGuarded<HRESULT>(E_OUTOFMEMORY, [&] { return kEngineClass.create(riid, object); });
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        if (lock) ModuleAddRef();
        else ModuleRelease();
        return S_OK;
    }
};

CEngineFactory g_factory;

std::wstring ClassIdText() {
    wchar_t text[40];
    StringFromGUID2(kEngineClass.id, text, ARRAYSIZE(text));
    return text;
}

// Writes one default or named string value under HKLM\Software\Classes.
bool WriteValue(const std::wstring& key, const wchar_t* name, const std::wstring& value) {
    HKEY handle = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, (kClassesKey + key).c_str(), 0, nullptr, 0,
                        KEY_SET_VALUE, nullptr, &handle, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const LONG status =
        RegSetValueExW(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(handle);
    return status == ERROR_SUCCESS;
}

HRESULT Register() {
    wchar_t modulePath[MAX_PATH];
    const DWORD length = GetModuleFileNameW(g_module, modulePath, ARRAYSIZE(modulePath));
    if (length == 0 || length >= ARRAYSIZE(modulePath)) return SELFREG_E_CLASS;
    const std::wstring classKey = L"CLSID\\" + ClassIdText();
    const std::wstring progIdKey = kEngineProgId;
    const bool written = WriteValue(progIdKey, nullptr, kEngineClass.description) &&
                         WriteValue(progIdKey + L"\\CLSID", nullptr, ClassIdText()) &&
                         WriteValue(classKey, nullptr, kEngineClass.description) &&
                         WriteValue(classKey + L"\\ProgID", nullptr, kEngineProgId) &&
                         WriteValue(classKey + L"\\InprocServer32", nullptr, modulePath) &&
                         WriteValue(classKey + L"\\InprocServer32", L"ThreadingModel", L"Both");
    return written ? S_OK : SELFREG_E_CLASS;
}

HRESULT Unregister() {
    const std::wstring classKey = kClassesKey + (L"CLSID\\" + ClassIdText());
    const std::wstring progIdKey = kClassesKey + std::wstring(kEngineProgId);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, classKey.c_str());
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, progIdKey.c_str());
    return S_OK;
}

}  // namespace

void ModuleAddRef() { InterlockedIncrement(&g_moduleCount); }
void ModuleRelease() { InterlockedDecrement(&g_moduleCount); }

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void*) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_module = instance;
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID classId, REFIID riid, void** object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (!IsEqualCLSID(classId, kEngineClass.id)) return CLASS_E_CLASSNOTAVAILABLE;
    return g_factory.QueryInterface(riid, object);
}

STDAPI DllCanUnloadNow() { return g_moduleCount == 0 ? S_OK : S_FALSE; }

STDAPI DllRegisterServer() {
    return CallGuarded<HRESULT>(E_OUTOFMEMORY, [] { return Register(); });
}

STDAPI DllUnregisterServer() {
    return CallGuarded<HRESULT>(E_OUTOFMEMORY, [] { return Unregister(); });
}
