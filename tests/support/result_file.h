#pragma once
// The result a test program leaves for the Wine wrapper (tools/wine-run.sh.in)
// in the file named by CORVANEL_RESULT_FILE, when the wrapper sets it: a word
// when the program begins, its result when it ends. Wine 8 now and then dies
// in its own teardown after a program has ended, and the wrapper then
// reports the program's own result; a program that began and left no result
// ended before it could, whatever status Wine gives (a crash under Wine can
// end with status 0).

#include <cstdio>
#include <cstdlib>

inline void LeaveForTheWrapper(const char* text) {
    if (const char* resultFile = std::getenv("CORVANEL_RESULT_FILE")) {
        if (std::FILE* file = std::fopen(resultFile, "w")) {
            std::fputs(text, file);
            std::fclose(file);
        }
    }
}

inline void NoteBegun() { LeaveForTheWrapper("begun\n"); }

inline void NoteResult(int result) {
    char text[16];
    std::snprintf(text, sizeof(text), "%d\n", result);
    LeaveForTheWrapper(text);
}
