#pragma once
// A slim reader/writer lock with scoped guards. The i686 toolchain's win32
// thread model has no std::mutex.

#include <windows.h>

class SrwLock {
public:
    SrwLock() = default;
    SrwLock(const SrwLock&) = delete;
    SrwLock& operator=(const SrwLock&) = delete;

    class Exclusive {
    public:
        explicit Exclusive(SrwLock& lock) : lock_(lock) { AcquireSRWLockExclusive(&lock_.lock_); }
        ~Exclusive() { ReleaseSRWLockExclusive(&lock_.lock_); }
        Exclusive(const Exclusive&) = delete;
        Exclusive& operator=(const Exclusive&) = delete;

    private:
        SrwLock& lock_;
    };

    class Shared {
    public:
        explicit Shared(SrwLock& lock) : lock_(lock) { AcquireSRWLockShared(&lock_.lock_); }
        ~Shared() { ReleaseSRWLockShared(&lock_.lock_); }
        Shared(const Shared&) = delete;
        Shared& operator=(const Shared&) = delete;

    private:
        SrwLock& lock_;
    };

private:
    SRWLOCK lock_ = SRWLOCK_INIT;
};
