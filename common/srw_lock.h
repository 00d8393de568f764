#pragma once
// A slim reader/writer lock with scoped guards. The i686 toolchain's win32
// thread model has no std::mutex.

#include <windows.h>

class SrwLock {
public:
    SrwLock() = default;
    SrwLock(const SrwLock&) = delete;
    SrwLock& operator=(const SrwLock&) = delete;

    // Holds the lock, in one mode, for the guard's scope.
    template <void(WINAPI* Acquire)(PSRWLOCK), void(WINAPI* Release)(PSRWLOCK)>
    class Guard {
    public:
        explicit Guard(SrwLock& lock) : lock_(lock) { Acquire(&lock_.lock_); }
        ~Guard() { Release(&lock_.lock_); }
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;

    private:
        SrwLock& lock_;
    };
    using Exclusive = Guard<AcquireSRWLockExclusive, ReleaseSRWLockExclusive>;
    using Shared = Guard<AcquireSRWLockShared, ReleaseSRWLockShared>;

    // Gives the lock up, held shared by the caller, while waiting on
    // `condition` for at most timeoutMs, and holds it again before
    // returning. False when the time ran out (or the wait failed).
    bool SleepShared(CONDITION_VARIABLE& condition, DWORD timeoutMs) {
        return SleepConditionVariableSRW(&condition, &lock_, timeoutMs,
                                         CONDITION_VARIABLE_LOCKMODE_SHARED) != FALSE;
    }
    // The same, with the lock held exclusive.
    bool SleepExclusive(CONDITION_VARIABLE& condition, DWORD timeoutMs) {
        return SleepConditionVariableSRW(&condition, &lock_, timeoutMs, 0) != FALSE;
    }

private:
    SRWLOCK lock_ = SRWLOCK_INIT;
};
