// Start-up: FsInit creates the engine by ProgID through the registry, makes
// the progress record and connects its sink; FsGetDefRootName names the root.
#include <gtest/gtest.h>
#include <objbase.h>

#include <cstring>
#include <string>

#include "plugin/plugin_state.h"
#include "plugin/wfx_api.h"
#include "tests/support/fake_engine.h"

namespace {

// {5A1E2C3D-7B44-4E0B-9C1A-2F6D8E9B0A11}: the class the tests register.
const CLSID kFakeEngineClass = {0x5a1e2c3d, 0x7b44, 0x4e0b, {0x9c, 0x1a, 0x2f, 0x6d, 0x8e, 0x9b, 0x0a, 0x11}};
const char kProgIdKey[] = "Software\\Classes\\corvanel_win32.Corvanel";

int __stdcall Progress(int, char*, char*, int) { return 0; }
void __stdcall Log(int, int, char*) {}
BOOL __stdcall Request(int, int, char*, char*, char*, int) { return FALSE; }

// Hands out the one fake engine to CoCreateInstance.
class FakeEngineFactory final : public IClassFactory {
public:
    explicit FakeEngineFactory(FakeStorageBrowser& engine) : engine_(engine) {}
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
    FakeStorageBrowser& engine_;
};

void RemoveProgId() { RegDeleteTreeA(HKEY_LOCAL_MACHINE, kProgIdKey); }

void RegisterProgId() {
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, (std::string(kProgIdKey) + "\\CLSID").c_str(),
                                             0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr));
    const char clsid[] = "{5A1E2C3D-7B44-4E0B-9C1A-2F6D8E9B0A11}";
    RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(clsid), sizeof(clsid));
    RegCloseKey(key);
}

class StartupTest : public ::testing::Test {
protected:
    void SetUp() override {
        GetPluginState() = PluginState{};
        RemoveProgId();
    }
    void TearDown() override {
        RemoveProgId();
        GetPluginState() = PluginState{};
    }
};

TEST_F(StartupTest, StateBeforeStartUpListsFromTheAccountLevel) {
    EXPECT_EQ(PathLevel::Account, GetPluginState().listingLevel);
    EXPECT_EQ(0, GetPluginState().listingCookie);
    EXPECT_EQ(nullptr, GetPluginState().engine);
}

TEST_F(StartupTest, WithNoEngineRegisteredFailsButKeepsTheHostsCallbacks) {
    EXPECT_EQ(-1, FsInit(42, &Progress, &Log, &Request));
    const PluginState& state = GetPluginState();
    EXPECT_EQ(42, state.pluginNumber);
    EXPECT_EQ(&Progress, state.progressProc);
    EXPECT_EQ(&Log, state.logProc);
    EXPECT_EQ(&Request, state.requestProc);
    EXPECT_EQ(nullptr, state.engine);
    EXPECT_EQ(nullptr, state.progress);
}

TEST_F(StartupTest, CreatesTheEngineByProgIdAndConnectsTheProgressRecord) {
    ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
    FakeStorageBrowser engine;
    FakeEngineFactory factory(engine);
    DWORD registration = 0;
    ASSERT_EQ(S_OK, CoRegisterClassObject(kFakeEngineClass, &factory, CLSCTX_INPROC_SERVER,
                                          REGCLS_MULTIPLEUSE, &registration));
    RegisterProgId();

    EXPECT_EQ(0, FsInit(7, &Progress, &Log, &Request));
    const PluginState& state = GetPluginState();
    EXPECT_EQ(1, factory.created);
    EXPECT_EQ(static_cast<IStorageBrowser*>(&engine), state.engine);
    ASSERT_NE(nullptr, state.progress);
    ASSERT_NE(nullptr, state.progress->EventSink());
    EXPECT_TRUE(state.progress->EventSink()->IsConnected());
    EXPECT_EQ(static_cast<IDispatch*>(state.progress->EventSink()), engine.Point().sink);

    // The engine's events now reach the record that transfers read.
    EXPECT_EQ(S_OK, engine.FireProgress(L"C:\\a.jpg", L"\\work\\photos\\a.jpg", 64));
    EXPECT_EQ(64, state.progress->GetPercent());
    EXPECT_TRUE(engine.calls.empty());

    CoRevokeClassObject(registration);
    CoUninitialize();
}

TEST_F(StartupTest, ProgIdOfAClassNobodyServesFails) {
    RegisterProgId();
    EXPECT_EQ(-1, FsInit(1, &Progress, nullptr, nullptr));
    EXPECT_EQ(nullptr, GetPluginState().engine);
    EXPECT_EQ(nullptr, GetPluginState().progress);
}

TEST(RootName, FitsTheBufferItIsGivenAndNeverWritesPastIt) {
    struct Case {
        int maxlen;
        const char* expected;
    };
    for (const Case& c : {Case{260, "Corvanel"}, Case{9, "Corvanel"}, Case{8, "Corvane"},
                          Case{4, "Cor"}, Case{1, ""}}) {
        SCOPED_TRACE(c.maxlen);
        char buffer[300];
        std::memset(buffer, '#', sizeof(buffer));
        FsGetDefRootName(buffer, c.maxlen);
        EXPECT_STREQ(c.expected, buffer);
        for (int i = c.maxlen; i < static_cast<int>(sizeof(buffer)); ++i) {
            ASSERT_EQ('#', buffer[i]) << "byte " << i << " written";
        }
    }
    char untouched[4] = {'#', '#', '#', '#'};
    FsGetDefRootName(untouched, 0);
    FsGetDefRootName(untouched, -5);
    FsGetDefRootName(nullptr, 260);
    EXPECT_EQ(0, std::memcmp(untouched, "####", 4));
}

}  // namespace
