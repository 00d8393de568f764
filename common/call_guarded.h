#pragma once
// The exception barrier for every function that foreign code calls (the
// host's exports, the engine's calls into our sink). i686 g++ unwinds with
// DWARF tables: an exception reaching the caller's frames ends the process,
// so each such function runs its worker through this and returns `failure`
// when anything (std::bad_alloc included) is thrown.

#include <utility>

template <typename Result, typename Worker>
Result CallGuarded(Result failure, Worker&& worker) noexcept {
    try {
        return std::forward<Worker>(worker)();
    } catch (...) {
        return failure;
    }
}

// For exports without a result.
template <typename Worker>
void CallGuardedVoid(Worker&& worker) noexcept {
    try {
        std::forward<Worker>(worker)();
    } catch (...) {
    }
}
