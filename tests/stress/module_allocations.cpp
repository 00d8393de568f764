#include "tests/stress/module_allocations.h"

#include <oleauto.h>

#include <cstring>
#include <unordered_map>

#include "common/srw_lock.h"

namespace {

using Malloc = void*(__cdecl*)(size_t);
using Calloc = void*(__cdecl*)(size_t, size_t);
using Realloc = void*(__cdecl*)(void*, size_t);
using Free = void(__cdecl*)(void*);
using AllocString = BSTR(WINAPI*)(const OLECHAR*);
using AllocStringLen = BSTR(WINAPI*)(const OLECHAR*, UINT);
using FreeString = void(WINAPI*)(BSTR);

struct Originals {
    Malloc malloc = nullptr;
    Calloc calloc = nullptr;
    Realloc realloc = nullptr;
    Free free = nullptr;
    AllocString allocString = nullptr;
    AllocStringLen allocStringLen = nullptr;
    FreeString freeString = nullptr;
};

struct Owned {
    int module;
    size_t size;
};

SrwLock g_lock;
HMODULE g_modules[ModuleAllocations::kMaxModules] = {};
Originals g_originals[ModuleAllocations::kMaxModules];
std::unordered_map<void*, Owned>* g_blocks = new std::unordered_map<void*, Owned>;
std::unordered_map<void*, int>* g_bstrs = new std::unordered_map<void*, int>;

void Track(int module, void* block, size_t size) {
    if (block == nullptr) return;
    SrwLock::Exclusive guard(g_lock);
    (*g_blocks)[block] = {module, size};
}

void Untrack(void* block) {
    if (block == nullptr) return;
    SrwLock::Exclusive guard(g_lock);
    g_blocks->erase(block);
}

template <int M>
void* __cdecl CountedMalloc(size_t size) {
    void* block = g_originals[M].malloc(size);
    Track(M, block, size);
    return block;
}
template <int M>
void* __cdecl CountedCalloc(size_t count, size_t size) {
    void* block = g_originals[M].calloc(count, size);
    Track(M, block, count * size);
    return block;
}
template <int M>
void* __cdecl CountedRealloc(void* old, size_t size) {
    void* block = g_originals[M].realloc(old, size);
    if (block != nullptr || size == 0) Untrack(old);
    Track(M, block, size);
    return block;
}
template <int M>
void __cdecl CountedFree(void* block) {
    Untrack(block);
    g_originals[M].free(block);
}
template <int M>
BSTR WINAPI CountedAllocString(const OLECHAR* text) {
    BSTR bstr = g_originals[M].allocString(text);
    SrwLock::Exclusive guard(g_lock);
    if (bstr != nullptr) (*g_bstrs)[bstr] = M;
    return bstr;
}
template <int M>
BSTR WINAPI CountedAllocStringLen(const OLECHAR* text, UINT length) {
    BSTR bstr = g_originals[M].allocStringLen(text, length);
    SrwLock::Exclusive guard(g_lock);
    if (bstr != nullptr) (*g_bstrs)[bstr] = M;
    return bstr;
}
template <int M>
void WINAPI CountedFreeString(BSTR bstr) {
    {
        SrwLock::Exclusive guard(g_lock);
        g_bstrs->erase(bstr);
    }
    g_originals[M].freeString(bstr);
}

struct Hook {
    const char* name;
    void* replacement;
    void** original;
};

// Replaces each named import of `module` with its counting twin and keeps
// the pointer it held. Returns how many were replaced.
int PatchImports(HMODULE module, const Hook* hooks, int count) {
    auto* base = reinterpret_cast<BYTE*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (imports.VirtualAddress == 0) return 0;
    int patched = 0;
    for (auto* entry = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
         entry->Name != 0; ++entry) {
        if (entry->OriginalFirstThunk == 0) continue;
        auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->OriginalFirstThunk);
        auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            for (int at = 0; at < count; ++at) {
                if (std::strcmp(reinterpret_cast<const char*>(byName->Name), hooks[at].name) != 0) continue;
                DWORD protection = 0;
                void** slot = reinterpret_cast<void**>(&slots->u1.Function);
                if (!VirtualProtect(slot, sizeof(*slot), PAGE_READWRITE, &protection)) continue;
                *hooks[at].original = *slot;
                *slot = hooks[at].replacement;
                VirtualProtect(slot, sizeof(*slot), protection, &protection);
                ++patched;
            }
        }
    }
    return patched;
}

template <int M>
bool WatchSlot(HMODULE module) {
    Originals& o = g_originals[M];
    const Hook hooks[] = {
        {"malloc", reinterpret_cast<void*>(&CountedMalloc<M>), reinterpret_cast<void**>(&o.malloc)},
        {"calloc", reinterpret_cast<void*>(&CountedCalloc<M>), reinterpret_cast<void**>(&o.calloc)},
        {"realloc", reinterpret_cast<void*>(&CountedRealloc<M>), reinterpret_cast<void**>(&o.realloc)},
        {"free", reinterpret_cast<void*>(&CountedFree<M>), reinterpret_cast<void**>(&o.free)},
        {"SysAllocString", reinterpret_cast<void*>(&CountedAllocString<M>),
         reinterpret_cast<void**>(&o.allocString)},
        {"SysAllocStringLen", reinterpret_cast<void*>(&CountedAllocStringLen<M>),
         reinterpret_cast<void**>(&o.allocStringLen)},
        {"SysFreeString", reinterpret_cast<void*>(&CountedFreeString<M>),
         reinterpret_cast<void**>(&o.freeString)},
    };
    return PatchImports(module, hooks, static_cast<int>(sizeof(hooks) / sizeof(hooks[0]))) > 0;
}

}  // namespace

bool ModuleAllocations::Watch(HMODULE module) {
    for (int slot = 0; slot < kMaxModules; ++slot) {
        if (g_modules[slot] == module) return true;
        if (g_modules[slot] != nullptr) continue;
        g_modules[slot] = module;
        return slot == 0 ? WatchSlot<0>(module) : WatchSlot<1>(module);
    }
    return false;
}

LiveAllocations ModuleAllocations::Of(HMODULE module) {
    LiveAllocations live;
    SrwLock::Shared guard(g_lock);
    for (int slot = 0; slot < kMaxModules; ++slot) {
        if (g_modules[slot] != module || module == nullptr) continue;
        for (const auto& block : *g_blocks) {
            if (block.second.module != slot) continue;
            ++live.blocks;
            live.bytes += static_cast<long long>(block.second.size);
        }
        for (const auto& bstr : *g_bstrs) live.bstrs += bstr.second == slot;
    }
    return live;
}
