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

private:
    SRWLOCK lock_ = SRWLOCK_INIT;
};
