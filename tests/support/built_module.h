#pragma once
// Where the build put corvanel.wfx: beside the running test program.

#include <string>

// The module's full path, or an empty string when the program's own path
// cannot be read.
std::string BuiltModulePath();
