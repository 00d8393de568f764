#pragma once
// A file-system plugin (WFX) module loaded by path, as the file manager loads
// one: each of the twelve exports is looked up by name, and a missing one is
// a null pointer that the caller reports, not a load failure.

#include <windows.h>

#include <string>

#include "common/wfx_api.h"

struct WfxExports {
    decltype(&::FsInit) FsInit = nullptr;
    decltype(&::FsGetDefRootName) FsGetDefRootName = nullptr;
    decltype(&::FsFindFirst) FsFindFirst = nullptr;
    decltype(&::FsFindNext) FsFindNext = nullptr;
    decltype(&::FsFindClose) FsFindClose = nullptr;
    decltype(&::FsMkDir) FsMkDir = nullptr;
    decltype(&::FsRemoveDir) FsRemoveDir = nullptr;
    decltype(&::FsDeleteFile) FsDeleteFile = nullptr;
    decltype(&::FsRenMovFile) FsRenMovFile = nullptr;
    decltype(&::FsExecuteFile) FsExecuteFile = nullptr;
    decltype(&::FsGetFile) FsGetFile = nullptr;
    decltype(&::FsPutFile) FsPutFile = nullptr;
};

// The exports of a loaded module, looked up by name; a missing one is null.
WfxExports FindExports(HMODULE module);

// The module stays loaded until the process ends: a plugin's engine and its
// event threads live that long.
class WfxModule {
public:
    // False, with the system's reason in *error, when the module does not load.
    bool Load(const std::string& path, std::string* error);

    const WfxExports& Fs() const { return exports_; }
    const std::string& Path() const { return path_; }
    // The names of the exports the module lacks, comma-separated; empty when
    // it has all twelve.
    std::string MissingExports() const;

private:
    std::string path_;
    HMODULE module_ = nullptr;
    WfxExports exports_;
};

// The text of a Windows error code, without its line break.
std::string SystemMessage(DWORD error);
