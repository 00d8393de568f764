#pragma once
// Counts, and on request fails, the allocations the plugin's code makes in
// the program that links this file: every form of the global operator new
// and operator new[] is replaced, and so is SysAllocStringLen as the plugin
// reaches it, through the import pointer __imp__SysAllocStringLen@8, which
// this file defines in place of the import library's (SysFreeString likewise,
// to see BSTRs freed). No product seam is involved.
//
// Only allocations made between Start and Stop while plugin code runs
// (g_outsidePluginDepth is 0: not inside the test's engine or host
// callbacks) are counted; each counted block or BSTR is tracked until it is
// freed. One thread at a time.

#include <windows.h>
#include <oleauto.h>

struct AllocationCounts {
    long allocations = 0;  // counted, the failed one included
    long bstrs = 0;        // of which BSTRs
    long live = 0;         // counted and not freed yet
    bool failed = false;   // the armed failure happened
};

class AllocationLedger {
public:
    // Starts counting afresh; failAt n > 0 makes the n-th counted allocation
    // fail (operator new throws std::bad_alloc, or returns null in its
    // nothrow forms; SysAllocStringLen returns null).
    static void Start(long failAt = 0);
    static void Stop();
    static AllocationCounts Counts();
};

// The allocator the plugin's BSTRs come from, as the import pointer names it.
BSTR WINAPI CountingSysAllocStringLen(const OLECHAR* text, UINT length);
void WINAPI CountingSysFreeString(BSTR text);
