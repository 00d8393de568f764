#include "tests/support/task_memory_spy.h"

#include <objbase.h>
#include <oleauto.h>

namespace {

LONG g_liveBlocks = 0;

// Lets every call through unchanged and only keeps count. Lives as long as
// the process: it is never revoked, and its reference count is not kept.
class CountingSpy final : public IMallocSpy {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (IsEqualIID(riid, __uuidof(IUnknown)) || IsEqualIID(riid, __uuidof(IMallocSpy))) {
            *object = static_cast<IMallocSpy*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    SIZE_T STDMETHODCALLTYPE PreAlloc(SIZE_T bytes) override { return bytes; }
    void* STDMETHODCALLTYPE PostAlloc(void* block) override {
        if (block != nullptr) InterlockedIncrement(&g_liveBlocks);
        return block;
    }
    void* STDMETHODCALLTYPE PreFree(void* block, BOOL spied) override {
        if (block != nullptr && spied) InterlockedDecrement(&g_liveBlocks);
        return block;
    }
    void STDMETHODCALLTYPE PostFree(BOOL) override {}
    // A reallocation keeps the block count; a failed one is not seen here.
    SIZE_T STDMETHODCALLTYPE PreRealloc(void* block, SIZE_T bytes, void** newBlock, BOOL) override {
        *newBlock = block;
        return bytes;
    }
    void* STDMETHODCALLTYPE PostRealloc(void* block, BOOL) override { return block; }
    void* STDMETHODCALLTYPE PreGetSize(void* block, BOOL) override { return block; }
    SIZE_T STDMETHODCALLTYPE PostGetSize(SIZE_T bytes, BOOL) override { return bytes; }
    void* STDMETHODCALLTYPE PreDidAlloc(void* block, BOOL) override { return block; }
    int STDMETHODCALLTYPE PostDidAlloc(void*, BOOL, int actual) override { return actual; }
    void STDMETHODCALLTYPE PreHeapMinimize() override {}
    void STDMETHODCALLTYPE PostHeapMinimize() override {}
};

bool InstallSpy() {
    // Cached BSTRs would never reach the allocator again; SetOaNoCache is not
    // in every import library, so it is looked up.
    using SetOaNoCacheProc = void(WINAPI*)();
    HMODULE oleaut = GetModuleHandleA("oleaut32.dll");
    if (oleaut == nullptr) oleaut = LoadLibraryA("oleaut32.dll");
    if (oleaut != nullptr) {
        auto setOaNoCache =
            reinterpret_cast<SetOaNoCacheProc>(GetProcAddress(oleaut, "SetOaNoCache"));
        if (setOaNoCache != nullptr) setOaNoCache();
    }
    static CountingSpy spy;
    return SUCCEEDED(CoRegisterMallocSpy(&spy));
}

}  // namespace

LONG LiveTaskMemoryBlocks() {
    static const bool installed = InstallSpy();
    return installed ? g_liveBlocks : -1;
}
