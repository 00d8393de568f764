#include "tests/support/built_module.h"

#include <windows.h>

#include <algorithm>

std::string BuiltFilePath(const std::string& name) {
    char self[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameA(nullptr, self, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return {};
    std::string path(self, length);
    return path.substr(0, path.find_last_of("\\/") + 1) + name;
}

std::string BuiltModulePath() { return BuiltFilePath("corvanel.wfx"); }

std::string FileTestName(std::string name) {
    std::replace(name.begin(), name.end(), '.', '_');
    return name;
}
