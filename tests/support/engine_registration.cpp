#include "tests/support/engine_registration.h"

#include <string>

#include "binding/storage_browser.h"

namespace {

// {5A1E2C3D-7B44-4E0B-9C1A-2F6D8E9B0A11}: the class the test programs serve.
const CLSID kServedEngineClass = {
    0x5a1e2c3d, 0x7b44, 0x4e0b, {0x9c, 0x1a, 0x2f, 0x6d, 0x8e, 0x9b, 0x0a, 0x11}};
const char kServedEngineClassText[] = "{5A1E2C3D-7B44-4E0B-9C1A-2F6D8E9B0A11}";
const std::wstring kProgIdKey = std::wstring(L"Software\\Classes\\") + kEngineProgId;

}  // namespace

// Hands out the one engine object; lives as long as the registration.
class EngineRegistration::Factory final : public IClassFactory {
public:
    explicit Factory(IUnknown& engine) : engine_(engine) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
            *out = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** out) override {
        ++created;
        if (outer != nullptr) return CLASS_E_NOAGGREGATION;
        return engine_.QueryInterface(riid, out);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

    int created = 0;

private:
    IUnknown& engine_;
};

EngineRegistration::EngineRegistration(IUnknown& engine) : factory_(new Factory(engine)) {
    classRegistered_ = SUCCEEDED(CoRegisterClassObject(kServedEngineClass, factory_,
                                                       CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                                                       &cookie_));
    OfferProgId();
}

EngineRegistration::~EngineRegistration() {
    WithdrawProgId();
    if (classRegistered_) CoRevokeClassObject(cookie_);
    delete factory_;
}

bool OfferEngineProgId() {
    HKEY key;
    const std::wstring clsidKey = kProgIdKey + L"\\CLSID";
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, clsidKey.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                        &key, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    const bool written = RegSetValueExA(key, nullptr, 0, REG_SZ,
                                        reinterpret_cast<const BYTE*>(kServedEngineClassText),
                                        sizeof(kServedEngineClassText)) == ERROR_SUCCESS;
    RegCloseKey(key);
    return written;
}

void WithdrawEngineProgId() { RegDeleteTreeW(HKEY_LOCAL_MACHINE, kProgIdKey.c_str()); }

void EngineRegistration::OfferProgId() { progIdOffered_ = OfferEngineProgId(); }

void EngineRegistration::WithdrawProgId() {
    WithdrawEngineProgId();
    progIdOffered_ = false;
}

int EngineRegistration::Created() const { return factory_->created; }
