#include "common/wfx_module.h"

namespace {

// Visits every export with its name and its slot, in the interface's order.
template <typename Visitor>
void ForEachExport(WfxExports& exports, Visitor&& visit) {
    visit("FsInit", reinterpret_cast<FARPROC*>(&exports.FsInit));
    visit("FsGetDefRootName", reinterpret_cast<FARPROC*>(&exports.FsGetDefRootName));
    visit("FsFindFirst", reinterpret_cast<FARPROC*>(&exports.FsFindFirst));
    visit("FsFindNext", reinterpret_cast<FARPROC*>(&exports.FsFindNext));
    visit("FsFindClose", reinterpret_cast<FARPROC*>(&exports.FsFindClose));
    visit("FsMkDir", reinterpret_cast<FARPROC*>(&exports.FsMkDir));
    visit("FsRemoveDir", reinterpret_cast<FARPROC*>(&exports.FsRemoveDir));
    visit("FsDeleteFile", reinterpret_cast<FARPROC*>(&exports.FsDeleteFile));
    visit("FsRenMovFile", reinterpret_cast<FARPROC*>(&exports.FsRenMovFile));
    visit("FsExecuteFile", reinterpret_cast<FARPROC*>(&exports.FsExecuteFile));
    visit("FsGetFile", reinterpret_cast<FARPROC*>(&exports.FsGetFile));
    visit("FsPutFile", reinterpret_cast<FARPROC*>(&exports.FsPutFile));
}

}  // namespace

WfxExports FindExports(HMODULE module) {
    WfxExports exports;
    ForEachExport(exports, [&](const char* name, FARPROC* slot) {
        *slot = GetProcAddress(module, name);
    });
    return exports;
}

bool WfxModule::Load(const std::string& path, std::string* error) {
    path_ = path;
    module_ = LoadLibraryA(path.c_str());
    if (module_ == nullptr) {
        *error = SystemMessage(GetLastError());
        return false;
    }
    exports_ = FindExports(module_);
    return true;
}

std::string WfxModule::MissingExports() const {
    std::string missing;
    WfxExports copy = exports_;
    ForEachExport(copy, [&](const char* name, FARPROC* slot) {
        if (*slot != nullptr) return;
        if (!missing.empty()) missing += ", ";
        missing += name;
    });
    return missing;
}

std::string SystemMessage(DWORD error) {
    char text[512] = {};
    const DWORD length =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                       0, text, sizeof(text), nullptr);
    std::string message = length != 0 ? std::string(text, length) : "error " + std::to_string(error);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.')) {
        message.pop_back();
    }
    return message;
}
