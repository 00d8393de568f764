// corvanel_helper.exe: the 32-bit process in which corvanel.wfx64 runs the
// plugin. It loads corvanel.wfx from its own folder, then carries out the
// requests that arrive on its ring one at a time, sending the host's
// callbacks up while a request runs. It has no window and no console, and it
// ends as soon as the 64-bit side's pipe breaks or a message is malformed.
#include <windows.h>

#include <cwchar>
#include <iterator>
#include <string>

#include "bridge/channel.h"
#include "bridge/helper/helper_calls.h"
#include "bridge/helper/inbox.h"

namespace {

// Exit codes, for whoever looks at an ended helper (the inbox's own:
// inbox.h).
constexpr UINT kBadCommandLine = 2;
constexpr UINT kNoPlugin = 3;

// "--handles ALIVE SECTION TOHELPER TOMODULE": the inherited handles, as the
// 64-bit side wrote them: the read end of the pipe it holds open while it
// lives, the shared section, and the events that wake the reader of each
// direction's ring.
bool ReadInheritedHandles(HANDLE (&handles)[4]) {
    constexpr wchar_t kSwitch[] = L" --handles";
    const wchar_t* at = std::wcsstr(GetCommandLineW(), kSwitch);
    if (at == nullptr) return false;
    at += std::size(kSwitch) - 1;
    for (HANDLE& handle : handles) {
        if (*at != L' ') return false;
        wchar_t* end = nullptr;
        const unsigned long value = std::wcstoul(at + 1, &end, 10);
        if (end == at + 1 || value == 0) return false;
        handle = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(value));
        at = end;
    }
    return *at == L'\0';
}

// The plugin module beside this program, by absolute path: never found
// through the search path.
std::wstring PluginBesideMe() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return std::wstring();
    std::wstring folder(path, length);
    return folder.substr(0, folder.find_last_of(L'\\') + 1) + L"corvanel.wfx";
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    // No error boxes: a fault ends this process quietly and the 64-bit side
    // answers the call with its failure value.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    HANDLE inherited[4] = {};
    if (!ReadInheritedHandles(inherited)) return kBadCommandLine;
    bridge::SharedSection shared;
    if (!shared.Open(inherited[1])) return kBadCommandLine;
    const std::wstring pluginPath = PluginBesideMe();
    HMODULE plugin = pluginPath.empty()
                         ? nullptr
                         : LoadLibraryExW(pluginPath.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (plugin == nullptr) return kNoPlugin;
    helper::Inbox inbox(inherited[0], shared.RingToHelper(), inherited[2]);
    bridge::RingWriter out;
    out.Attach(shared.RingToModule(), inherited[3]);
    helper::PluginCalls calls(plugin, inbox, out, shared);
    if (!inbox.Start() || !calls.Ready()) return kNoPlugin;
    calls.Serve();  // never returns: the watcher ends the process
    return helper::kExitModuleGone;
}
