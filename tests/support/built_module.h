#pragma once
// Where the build put corvanel.wfx and the 64-bit edition's files: beside the
// running test program.

#include <string>

// The full path of the built file `name` beside the program, or an empty
// string when the program's own path cannot be read.
std::string BuiltFilePath(const std::string& name);
// corvanel.wfx's.
std::string BuiltModulePath();
// A file name as a test name's part: "corvanel.wfx64" as "corvanel_wfx64".
std::string FileTestName(std::string name);
