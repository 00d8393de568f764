// Text between the host's 8-bit code page and the engine's BSTRs.
#include "binding/bstr.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(BstrText, RoundTripsThroughTheThreadCodePageAndStopsAtTheFirstNul) {
    UniqueBstr b = ToBstr("caf\xe9 photos");  // é in code page 1252
    ASSERT_NE(nullptr, b.Get());
    EXPECT_EQ(11u, SysStringLen(b.Get()));
    EXPECT_EQ(L'\x00e9', b.Get()[3]);
    EXPECT_EQ("caf\xe9 photos", ToAnsi(b.Get()));

    UniqueBstr empty = ToBstr("");
    ASSERT_NE(nullptr, empty.Get());
    EXPECT_EQ(0u, SysStringLen(empty.Get()));
    EXPECT_EQ(nullptr, ToBstr(nullptr).Get());

    EXPECT_EQ("ab", ToAnsi(L"ab\0cd"));
    EXPECT_EQ("", ToAnsi(nullptr));
    // A character the code page lacks becomes its default character.
    EXPECT_EQ("x?y", ToAnsi(L"x\x4e2dy"));
}

TEST(BstrText, ConversionIntoABufferRefusesWhatDoesNotFitAndWritesNoFurther) {
    char buffer[8];
    std::memset(buffer, '#', sizeof(buffer));
    EXPECT_EQ(8, ToAnsiInto(L"1234567", buffer, 8));  // the bytes written, terminator counted
    EXPECT_STREQ("1234567", buffer);

    std::memset(buffer, '#', sizeof(buffer));
    EXPECT_FALSE(ToAnsiInto(L"12345678", buffer, 7));
    EXPECT_EQ('\0', buffer[0]);
    EXPECT_EQ('#', buffer[7]);

    EXPECT_FALSE(ToAnsiInto(nullptr, buffer, 8));
    EXPECT_EQ('\0', buffer[0]);
    buffer[0] = '#';
    EXPECT_FALSE(ToAnsiInto(L"x", buffer, 0));
    EXPECT_EQ('#', buffer[0]);
}

TEST(BstrText, OwnerFreesOnceAndHandsOverOnMove) {
    UniqueBstr first = ToBstr("one");
    BSTR raw = first.Get();
    UniqueBstr second(std::move(first));
    EXPECT_EQ(nullptr, first.Get());
    EXPECT_EQ(raw, second.Get());
    BSTR released = second.Release();
    EXPECT_EQ(nullptr, second.Get());
    *second.Put() = released;  // taken back as an out-parameter would be
    EXPECT_EQ(raw, second.Get());
    second.Reset();
    EXPECT_EQ(nullptr, second.Get());
}

}  // namespace
