#include "tests/stress/counting_allocator.h"

#include <malloc.h>

#include <cstdlib>
#include <new>

#include "tests/support/plugin_scope.h"

namespace {

// Counted blocks still alive. Few are alive at once, so a plain array does.
constexpr int kMaxLive = 4096;

struct Ledger {
    bool counting = false;
    long failAt = 0;
    AllocationCounts counts;
    const void* live[kMaxLive];
};
Ledger g_ledger;

// Whether this allocation counts, and whether it is the one to fail.
bool CountAndFail(bool bstr) {
    if (!g_ledger.counting || g_outsidePluginDepth != 0) return false;
    ++g_ledger.counts.allocations;
    if (bstr) ++g_ledger.counts.bstrs;
    if (g_ledger.counts.allocations != g_ledger.failAt) return false;
    g_ledger.counts.failed = true;
    return true;
}

void Track(const void* block) {
    if (!g_ledger.counting || g_outsidePluginDepth != 0 || block == nullptr) return;
    if (g_ledger.counts.live < kMaxLive) g_ledger.live[g_ledger.counts.live++] = block;
}

void Untrack(const void* block) {
    for (long i = 0; i < g_ledger.counts.live; ++i) {
        if (g_ledger.live[i] == block) {
            g_ledger.live[i] = g_ledger.live[--g_ledger.counts.live];
            return;
        }
    }
}

void* Allocate(std::size_t size, std::size_t alignment, bool nothrow) {
    void* block = nullptr;
    if (!CountAndFail(false)) {
        block = alignment == 0 ? std::malloc(size != 0 ? size : 1)
                               : _aligned_malloc(size != 0 ? size : 1, alignment);
    }
    if (block == nullptr) {
        if (nothrow) return nullptr;
        throw std::bad_alloc();
    }
    Track(block);
    return block;
}

void Free(void* block, bool aligned) {
    if (block == nullptr) return;
    Untrack(block);
    if (aligned) {
        _aligned_free(block);
    } else {
        std::free(block);
    }
}

template <typename Function>
Function OleAutomation(const char* name) {
    return reinterpret_cast<Function>(
        reinterpret_cast<void*>(GetProcAddress(LoadLibraryA("oleaut32.dll"), name)));
}

}  // namespace

void AllocationLedger::Start(long failAt) {
    g_ledger.counts = AllocationCounts{};
    g_ledger.failAt = failAt;
    g_ledger.counting = true;
}

void AllocationLedger::Stop() { g_ledger.counting = false; }

AllocationCounts AllocationLedger::Counts() { return g_ledger.counts; }

BSTR WINAPI CountingSysAllocStringLen(const OLECHAR* text, UINT length) {
    static const auto real = OleAutomation<decltype(&SysAllocStringLen)>("SysAllocStringLen");
    if (CountAndFail(true)) return nullptr;
    const BSTR result = real(text, length);
    Track(result);
    return result;
}

void WINAPI CountingSysFreeString(BSTR text) {
    static const auto real = OleAutomation<decltype(&SysFreeString)>("SysFreeString");
    if (text != nullptr) Untrack(text);
    real(text);
}

// The import pointers every call of these two functions in the program goes
// through; defined here, the linker takes them instead of oleaut32's.
extern "C" decltype(&SysAllocStringLen) const g_importSysAllocStringLen
    __asm__("__imp__SysAllocStringLen@8") = &CountingSysAllocStringLen;
extern "C" decltype(&SysFreeString) const g_importSysFreeString
    __asm__("__imp__SysFreeString@4") = &CountingSysFreeString;

void* operator new(std::size_t size) { return Allocate(size, 0, false); }
void* operator new[](std::size_t size) { return Allocate(size, 0, false); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return Allocate(size, 0, true);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return Allocate(size, 0, true);
}
void* operator new(std::size_t size, std::align_val_t alignment) {
    return Allocate(size, static_cast<std::size_t>(alignment), false);
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
    return Allocate(size, static_cast<std::size_t>(alignment), false);
}
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    return Allocate(size, static_cast<std::size_t>(alignment), true);
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    return Allocate(size, static_cast<std::size_t>(alignment), true);
}

void operator delete(void* block) noexcept { Free(block, false); }
void operator delete[](void* block) noexcept { Free(block, false); }
void operator delete(void* block, std::size_t) noexcept { Free(block, false); }
void operator delete[](void* block, std::size_t) noexcept { Free(block, false); }
void operator delete(void* block, const std::nothrow_t&) noexcept { Free(block, false); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { Free(block, false); }
void operator delete(void* block, std::align_val_t) noexcept { Free(block, true); }
void operator delete[](void* block, std::align_val_t) noexcept { Free(block, true); }
void operator delete(void* block, std::size_t, std::align_val_t) noexcept { Free(block, true); }
void operator delete[](void* block, std::size_t, std::align_val_t) noexcept { Free(block, true); }
void operator delete(void* block, std::align_val_t, const std::nothrow_t&) noexcept {
    Free(block, true);
}
void operator delete[](void* block, std::align_val_t, const std::nothrow_t&) noexcept {
    Free(block, true);
}
