#include "tests/stress/fuzz_inputs.h"

#include <oleauto.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "path/remote_path.h"

namespace {

constexpr char kGuardByte = '\xA5';
constexpr std::size_t kGuardBytes = 16;

// A double-byte character of code page 932, with a trail byte of 0x5C (a
// backslash in a single-byte page) one time in three.
void AppendDoubleByte(Random& random, std::string& text) {
    const unsigned char lead = random.Percent(70) ? static_cast<unsigned char>(0x81 + random.Below(0x1f))
                                                  : static_cast<unsigned char>(0xe0 + random.Below(0x1d));
    const unsigned char trail = random.Percent(33) ? 0x5c : static_cast<unsigned char>(0x40 + random.Below(0xbd));
    text += static_cast<char>(lead);
    text += static_cast<char>(trail == 0x7f ? 0x80 : trail);
}

std::string Word(Random& random, std::size_t length) {
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789 _-()";
    std::string word;
    for (std::size_t i = 0; i < length; ++i) word += kLetters[random.Below(sizeof(kLetters) - 1)];
    return word;
}

// Lengths around the field limit, in bytes.
std::size_t EdgeLength(Random& random) {
    static const std::size_t kLengths[] = {kRemoteTextLimit - 1, kRemoteTextLimit,
                                           kRemoteTextLimit + 1, kRemoteTextLimit + 2, 300, 520};
    return random.Pick(kLengths);
}

std::string RandomBytes(Random& random, std::size_t length) {
    std::string bytes;
    for (std::size_t i = 0; i < length; ++i) {
        // Backslashes and lead bytes often, NUL never: the host's texts end there.
        const std::uint32_t roll = random.Below(10);
        if (roll == 0) {
            bytes += '\\';
        } else {
            bytes += static_cast<char>(1 + random.Below(255));
        }
    }
    return bytes;
}

std::string Component(Random& random) {
    switch (random.Below(10)) {
    case 0: return std::string();
    case 1: {
        std::string text;
        const std::size_t chars = 1 + random.Below(6);
        for (std::size_t i = 0; i < chars; ++i) AppendDoubleByte(random, text);
        return text;
    }
    case 2: {
        std::string text;
        const std::size_t length = EdgeLength(random);
        if (random.Percent(50)) {
            while (text.size() + 2 <= length) AppendDoubleByte(random, text);
        }
        text += Word(random, length - text.size());
        return text;
    }
    case 3: return random.Percent(50) ? kAddAccountPlaceholder : kCreateBucketPlaceholder;
    case 4: return random.Percent(50) ? "add new account(f7)" : "Create new bucket(F7) ";
    case 5: return RandomBytes(random, 1 + random.Below(20));
    case 6: {
        // A lone lead byte closing the component.
        std::string text = Word(random, 1 + random.Below(5));
        text += static_cast<char>(0x81 + random.Below(0x1f));
        return text;
    }
    default: return Word(random, 1 + random.Below(12));
    }
}

std::string Separators(Random& random) {
    return std::string(random.Percent(80) ? 1 : 2 + random.Below(3), '\\');
}

std::string StructuredPath(Random& random) {
    std::string path;
    switch (random.Below(10)) {
    case 0: break;                                   // no leading backslash
    case 1: path = Word(random, 3) + "\\"; break;    // text before the root
    default: path = Separators(random); break;
    }
    const std::size_t components = 1 + random.Below(5);
    for (std::size_t i = 0; i < components; ++i) {
        if (i > 0) path += Separators(random);
        path += Component(random);
    }
    if (random.Percent(20)) path += Separators(random);
    if (random.Percent(5)) path += '/';
    return path;
}

// A key at the edge of its field, with inner backslashes.
std::string LongKeyPath(Random& random) {
    std::string key;
    const std::size_t length = EdgeLength(random);
    while (key.size() < length) {
        key += random.Percent(10) ? std::string("\\") : Word(random, 1);
        if (random.Percent(5)) AppendDoubleByte(random, key);
    }
    key.resize(length);
    return "\\" + Word(random, 4) + "\\" + Word(random, 5) + "\\" + key;
}

}  // namespace

std::string RandomHostPath(Random& random) {
    switch (random.Below(20)) {
    case 0: return std::string();
    case 1: return std::string(random.Below(9), '\\');
    case 2:
    case 3: return RandomBytes(random, 1 + random.Below(600));
    case 4:
    case 5: return LongKeyPath(random);
    default: return StructuredPath(random);
    }
}

std::string RandomFileText(Random& random) {
    std::string text;
    const std::size_t parts = 1 + random.Below(4);
    for (std::size_t i = 0; i < parts; ++i) {
        if (random.Percent(30)) {
            // Trail bytes that are separators in a single-byte page are kept
            // out: the name must stay inside the fuzzer's own folder.
            const unsigned char lead = static_cast<unsigned char>(0x81 + random.Below(0x1f));
            text += static_cast<char>(lead);
            text += static_cast<char>(0x60 + random.Below(0x1f));
        } else {
            text += Word(random, 1 + random.Below(8));
        }
    }
    return text;
}

std::string RandomVerb(Random& random) {
    static const char* const kVerbs[] = {"open", "properties", "Open", "PROPERTIES", "open ",
                                         "chmod 755", "quote CWD x", "", "propertie"};
    if (random.Percent(10)) return RandomBytes(random, 1 + random.Below(12));
    return random.Pick(kVerbs);
}

std::wstring RandomEngineText(Random& random) {
    switch (random.Below(10)) {
    case 0: return std::wstring();
    case 1: {
        std::wstring text;
        const std::size_t chars = 1 + random.Below(140);
        for (std::size_t i = 0; i < chars; ++i) text += static_cast<wchar_t>(0x3041 + random.Below(0x50));
        return text;
    }
    case 2: return std::wstring(kRemoteTextLimit - 2 + random.Below(5), L'n');
    case 3: return std::wstring(L"before") + L'\0' + L"after";
    case 4: return std::wstring(L"lone") + static_cast<wchar_t>(0xd800 + random.Below(0x800));
    case 5: return std::wstring(L"\x4e00\x20ac\x00e9");  // not all in every code page
    default: {
        std::wstring text;
        const std::size_t chars = 1 + random.Below(30);
        for (std::size_t i = 0; i < chars; ++i) text += static_cast<wchar_t>(L' ' + random.Below(95));
        return text;
    }
    }
}

DATE RandomDate(Random& random) {
    static const double kDates[] = {0.0, 40000.5, -1.0, -657434.0, -657435.0, 2958465.999,
                                    2958466.0, 1e308, -1e308,
                                    std::numeric_limits<double>::quiet_NaN(),
                                    std::numeric_limits<double>::infinity()};
    if (random.Percent(40)) return random.Pick(kDates);
    return static_cast<double>(random.Below(3700000)) - 700000.0 + random.Below(1000) / 1000.0;
}

ItemValues RandomItem(Random& random) {
    static const HRESULT kFailures[] = {E_FAIL, E_OUTOFMEMORY, RPC_E_DISCONNECTED, E_POINTER};
    static const LONG kKinds[] = {3, 0, 1, 2, 4, -1, 0x7fffffff};
    ItemValues item;
    item.name = RandomEngineText(random);
    item.nullName = random.Percent(5);
    item.date = RandomDate(random);
    item.kind = random.Percent(60) ? 3 : random.Pick(kKinds);
    item.size = static_cast<LONGLONG>(random.Next() >> random.Below(64));
    if (random.Percent(3)) item.nameResult = random.Pick(kFailures);
    if (random.Percent(3)) item.dateResult = random.Pick(kFailures);
    if (random.Percent(3)) item.kindResult = random.Pick(kFailures);
    if (random.Percent(3)) item.sizeResult = random.Pick(kFailures);
    if (random.Percent(2)) item.nameResult = S_FALSE;  // success codes other than S_OK count
    return item;
}

RandomEvent::RandomEvent(Random& random) {
    static const UINT kCounts[] = {3, 3, 3, 3, 3, 3, 0, 1, 2, 4, 5};
    static const LONG kPercents[] = {0, 1, 50, 99, 100, 100, 100, 101, 150, -1, LONG(0x80000000), 0x7fffffff};
    count_ = random.Pick(kCounts);
    for (UINT i = 0; i < count_; ++i) {
        VARIANT& arg = args_[i];
        VariantInit(&arg);
        const bool percentSlot = i == 0;
        switch (random.Below(percentSlot ? 12 : 10)) {
        case 0: V_VT(&arg) = VT_EMPTY; break;
        case 1: V_VT(&arg) = VT_NULL; break;
        case 2: V_VT(&arg) = VT_I2; V_I2(&arg) = static_cast<SHORT>(random.Below(300)) - 50; break;
        case 3:
            V_VT(&arg) = VT_R8;
            V_R8(&arg) = random.Percent(50) ? std::numeric_limits<double>::quiet_NaN() : 1e12;
            break;
        case 4:
            V_VT(&arg) = VT_BSTR | VT_BYREF;
            if (byRef_ == nullptr && random.Percent(50)) byRef_ = SysAllocString(L"by reference");
            V_BSTRREF(&arg) = random.Percent(80) ? &byRef_ : nullptr;
            break;
        case 5: V_VT(&arg) = VT_BSTR; V_BSTR(&arg) = nullptr; break;
        case 6: V_VT(&arg) = VT_BSTR; V_BSTR(&arg) = SysAllocString(random.Percent(50) ? L"100" : L"x"); break;
        default:
            if (percentSlot) {
                V_VT(&arg) = VT_I4;
                V_I4(&arg) = random.Pick(kPercents);
            } else {
                const std::wstring text = RandomEngineText(random);
                V_VT(&arg) = VT_BSTR;
                V_BSTR(&arg) = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
            }
            break;
        }
    }
}

RandomEvent::~RandomEvent() {
    for (UINT i = 0; i < count_; ++i) {
        if (V_VT(&args_[i]) == VT_BSTR) SysFreeString(V_BSTR(&args_[i]));
    }
    SysFreeString(byRef_);
}

HostText::HostText(const std::string& text) : null_(false), text_(text) {
    buffer_.assign(text.begin(), text.end());
    buffer_.push_back('\0');
    buffer_.insert(buffer_.end(), kGuardBytes, kGuardByte);
}

bool HostText::Intact() const {
    if (null_) return true;
    return buffer_.size() == text_.size() + 1 + kGuardBytes &&
           std::memcmp(buffer_.data(), text_.data(), text_.size()) == 0 &&
           buffer_[text_.size()] == '\0' &&
           std::string(buffer_.end() - kGuardBytes, buffer_.end()) ==
               std::string(kGuardBytes, kGuardByte);
}

std::string Printable(const std::string& text) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7f && c != '%') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}
