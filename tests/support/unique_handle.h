#pragma once
// Owns one kernel object handle (an event, a file) for test-side code and
// closes it with CloseHandle. Move-only, one handle wide. Holds nullptr when
// empty; a CreateFile failure (INVALID_HANDLE_VALUE) is held as it comes and
// left unclosed.

#include <windows.h>

class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE owned) : handle_(owned) {}
    ~UniqueHandle() { Reset(); }
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.Release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    HANDLE Get() const { return handle_; }
    // Gives up ownership without closing.
    HANDLE Release() {
        HANDLE h = handle_;
        handle_ = nullptr;
        return h;
    }
    void Reset(HANDLE owned = nullptr) {
        if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE && handle_ != owned) {
            CloseHandle(handle_);
        }
        handle_ = owned;
    }

private:
    HANDLE handle_ = nullptr;
};
