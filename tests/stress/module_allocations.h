#pragma once
// Counts what loaded modules have allocated and not freed yet: heap blocks
// (msvcrt's malloc, calloc, realloc and free) and BSTRs (OLEAUT32's
// SysAllocString, SysAllocStringLen and SysFreeString), by replacing those
// import pointers in each watched module. The modules are loaded as a host
// loads them and patched from outside: the product has no seam for it.
//
// A block or BSTR counts for the module that allocated it until any watched
// module frees it: the plugin frees the names its engine hands out. Frees of
// what no watched module allocated are passed on and not counted. Safe on
// any thread.

#include <windows.h>

struct LiveAllocations {
    long blocks = 0;
    long long bytes = 0;
    long bstrs = 0;
};

namespace ModuleAllocations {

constexpr int kMaxModules = 2;

// Starts counting `module`'s allocations from now on; false when there is no
// room for another module or its import table has none of the functions.
bool Watch(HMODULE module);
LiveAllocations Of(HMODULE module);

}  // namespace ModuleAllocations
