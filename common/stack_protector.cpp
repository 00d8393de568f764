// The stack protector's guard value and its failure handler, defined here so
// the compiler's protection needs no support library: GCC's libssp seeds the
// guard through advapi32's CryptGenRandom, which would be one more import for
// the host to resolve. The seed mixes the same per-process values Windows'
// own compilers use for their security cookie.
#include <windows.h>

#include <cstdint>

extern "C" {

std::uintptr_t __stack_chk_guard = 0x2f8b1c5dU;

[[noreturn]] void __stack_chk_fail() {
    // The stack of the calling function is corrupt: end at once, running no
    // more of the process's code.
    TerminateProcess(GetCurrentProcess(), STATUS_STACK_BUFFER_OVERRUN);
    for (;;) {
    }
}

}  // extern "C"

namespace {

// Unprotected itself: a protected frame would return through the guard it
// has just changed.
__attribute__((no_stack_protector)) void SeedStackGuard() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    std::uintptr_t seed = now.dwLowDateTime ^ now.dwHighDateTime;
    seed ^= GetCurrentProcessId() ^ (GetCurrentThreadId() << 8) ^ GetTickCount();
    seed ^= counter.LowPart ^ static_cast<std::uintptr_t>(counter.HighPart);
    seed ^= reinterpret_cast<std::uintptr_t>(&seed);
    if (seed != 0) __stack_chk_guard = seed;
}

// Run by the C runtime's start-up table (.CRT$XC*), before any constructor and
// outside every protected frame. A constructor would be too late in a program:
// there constructors run from inside main, whose frame would then return
// through a guard that changed under it.
using StartupFunction = void (*)();
__attribute__((section(".CRT$XCT"), used)) const StartupFunction kSeedStackGuard = SeedStackGuard;

}  // namespace
