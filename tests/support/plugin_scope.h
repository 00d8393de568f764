#pragma once
// Tells the test programs' allocation ledger (tests/stress/counting_allocator.h)
// whose code is running: the plugin's own, or test-side code standing in for
// the engine or the host. Test engines and host callbacks mark their bodies;
// an engine calling back into the plugin (an event) marks that call.

#include <windows.h>

// Depth of test-side code on the calling thread's stack: 0 while the
// plugin's own code runs.
inline thread_local LONG g_outsidePluginDepth = 0;

// The first use of the thread-local on a thread makes its storage, which may
// overwrite the thread's last error; tests read that error as the plugin left
// it, so the scopes put it back.

// Marks a stretch of engine or host code.
class OutsidePluginScope {
public:
    OutsidePluginScope() {
        const DWORD lastError = GetLastError();
        ++g_outsidePluginDepth;
        SetLastError(lastError);
    }
    ~OutsidePluginScope() { --g_outsidePluginDepth; }
    OutsidePluginScope(const OutsidePluginScope&) = delete;
    OutsidePluginScope& operator=(const OutsidePluginScope&) = delete;
};

// Marks a call from test-side code back into the plugin.
class PluginCodeScope {
public:
    PluginCodeScope() {
        const DWORD lastError = GetLastError();
        saved_ = g_outsidePluginDepth;
        g_outsidePluginDepth = 0;
        SetLastError(lastError);
    }
    ~PluginCodeScope() { g_outsidePluginDepth = saved_; }
    PluginCodeScope(const PluginCodeScope&) = delete;
    PluginCodeScope& operator=(const PluginCodeScope&) = delete;

private:
    LONG saved_ = 0;
};
