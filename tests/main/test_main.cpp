// The entry point of every test program. Besides running the tests it leaves
// their result in the file named by CORVANEL_RESULT_FILE, when the Wine
// wrapper sets it: Wine 8 occasionally (about one process in a thousand that
// loads ole32, more under load) dies of a segmentation fault in its own
// process teardown after main has returned, and the wrapper then reports the
// result the tests produced instead of the crash.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    std::fflush(stdout);
    std::fflush(stderr);
    if (const char* resultFile = std::getenv("CORVANEL_RESULT_FILE")) {
        if (std::FILE* file = std::fopen(resultFile, "w")) {
            std::fprintf(file, "%d\n", result);
            std::fclose(file);
        }
    }
    return result;
}
