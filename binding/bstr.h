#pragma once
// BSTR ownership and the text rule between the host's 8-bit texts and the
// engine's UTF-16 ones: the calling thread's ANSI code page (CP_THREAD_ACP),
// no conversion flags, texts read up to their first NUL character.

#include <windows.h>
#include <oleauto.h>

#include <string>

// Owns one BSTR and frees it with SysFreeString. Move-only, one pointer wide.
class UniqueBstr {
public:
    UniqueBstr() = default;
    explicit UniqueBstr(BSTR owned) : bstr_(owned) {}
    ~UniqueBstr() { Reset(); }
    UniqueBstr(UniqueBstr&& other) noexcept : bstr_(other.Release()) {}
    UniqueBstr& operator=(UniqueBstr&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    UniqueBstr(const UniqueBstr&) = delete;
    UniqueBstr& operator=(const UniqueBstr&) = delete;

    BSTR Get() const { return bstr_; }
    // For out-parameters: frees what is held, then hands out the slot.
    BSTR* Put() {
        Reset();
        return &bstr_;
    }
    // Gives up ownership without freeing.
    BSTR Release() {
        BSTR b = bstr_;
        bstr_ = nullptr;
        return b;
    }
    void Reset(BSTR owned = nullptr);

private:
    BSTR bstr_ = nullptr;
};

// A new BSTR holding `text` converted from the thread's ANSI code page. A null
// text, or one that does not convert, gives a null BSTR. Throws std::bad_alloc
// when the BSTR cannot be allocated.
UniqueBstr ToBstr(const char* text);

// `text` in the thread's ANSI code page, up to its first NUL; characters the
// code page lacks become its default character. Null or unconvertible text
// gives an empty string. May throw std::bad_alloc.
std::string ToAnsi(const wchar_t* text);

// The same conversion straight into a caller's buffer of bufferSize bytes,
// terminator included. Returns the bytes written, the terminator counted; 0,
// leaving buffer[0] as NUL when there is room for it, when the text is null,
// does not convert, or does not fit: callers never see a shortened text.
int ToAnsiInto(const wchar_t* text, char* buffer, int bufferSize);
