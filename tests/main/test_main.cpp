// The entry point of every test program. Besides running the tests it leaves
// for the Wine wrapper that it began and, at the end, its result
// (tests/support/result_file.h): Wine 8 occasionally (about one process in a
// thousand that loads ole32, more under load) dies of a segmentation fault in
// its own process teardown after main has returned, and a test that crashes
// the process may end it with status 0.
#include <gtest/gtest.h>

#include <cstdio>

#include "tests/support/result_file.h"

int main(int argc, char** argv) {
    NoteBegun();
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    std::fflush(stdout);
    std::fflush(stderr);
    NoteResult(result);
    return result;
}
