#pragma once
// Random and adversarial inputs for the entry-point fuzzer: host paths and
// texts, engine entries, dates and progress events. Everything is drawn from
// one seeded generator, so a seed and a call count replay a run exactly.

#include <windows.h>
#include <oaidl.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/stress/random.h"
#include "tests/support/scripted_engine.h"

// An 8-bit host path: structured ones with adversarial components (overlong,
// double-byte with 0x5C trail bytes, placeholder names, empty), runs of
// backslashes, no leading backslash, empty, and raw bytes.
std::string RandomHostPath(Random& random);
// A short 8-bit text without separators, dots or colons (double-byte text
// included), safe to put into a local file name.
std::string RandomFileText(Random& random);
// A verb for FsExecuteFile: the two it knows, near misses and junk.
std::string RandomVerb(Random& random);

// UTF-16 text as an engine may hand it out: plain, Japanese, characters the
// code page lacks, longer than a find record holds, embedded NUL, lone
// surrogates, empty.
std::wstring RandomEngineText(Random& random);
// Dates inside, at the edges of and outside what converts, NaN included.
DATE RandomDate(Random& random);
// An entry whose getters each may fail, possibly with a null name.
ItemValues RandomItem(Random& random);

// The arguments of one progress event, last-first as dispatch has them:
// fewer or more than three, odd types, odd percentages, null BSTRs. The
// BSTRs belong to the event and are freed by its destructor.
class RandomEvent {
public:
    explicit RandomEvent(Random& random);
    ~RandomEvent();
    RandomEvent(const RandomEvent&) = delete;
    RandomEvent& operator=(const RandomEvent&) = delete;

    VARIANT* Args() { return args_; }
    UINT Count() const { return count_; }

private:
    VARIANT args_[5];
    BSTR byRef_ = nullptr;  // target of a VT_BSTR | VT_BYREF argument
    UINT count_;
};

// A text handed to the plugin as the host would, followed by guard bytes:
// Intact() tells whether the plugin left both the text and what follows it
// alone. A null text stays null.
class HostText {
public:
    HostText() = default;
    explicit HostText(const std::string& text);
    static HostText Null() { return HostText(); }

    char* Get() { return null_ ? nullptr : buffer_.data(); }
    bool IsNull() const { return null_; }
    const std::string& Text() const { return text_; }
    bool Intact() const;

private:
    bool null_ = true;
    std::string text_;
    std::vector<char> buffer_;
};

// The bytes of a text in hexadecimal where they are not printable ASCII,
// for failure messages.
std::string Printable(const std::string& text);
