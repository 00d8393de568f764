// The plugin's stack protector: an overrun of a protected frame ends the
// process before the corrupt frame returns.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>

namespace {

volatile size_t g_overrunLength = 64;

__attribute__((noinline)) void CopyIntoSmallBuffer(const char* text, size_t length) {
    char buffer[8];
    std::memcpy(buffer, text, length);
    asm volatile("" : : "r"(buffer) : "memory");
}

TEST(StackProtector, OverrunOfAProtectedFrameEndsTheProcess) {
    char text[64];
    std::memset(text, 'x', sizeof(text));
    CopyIntoSmallBuffer(text, 8);  // in bounds: returns normally
    EXPECT_EXIT(CopyIntoSmallBuffer(text, g_overrunLength),
                ::testing::ExitedWithCode(static_cast<int>(STATUS_STACK_BUFFER_OVERRUN)), "");
}

}  // namespace
