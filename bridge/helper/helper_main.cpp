// corvanel_helper.exe: the 32-bit process in which corvanel.wfx64 runs the
// plugin. It loads corvanel.wfx from its own folder, then carries out the
// requests that arrive on its pipe one at a time, sending the host's
// callbacks up while a request runs. It has no window and no console, and it
// ends as soon as its pipe breaks or a message is malformed.
#include <windows.h>

#include <cwchar>
#include <string>

#include "bridge/helper/helper_calls.h"
#include "bridge/helper/mailbox.h"

namespace {

// Exit codes, for whoever looks at an ended helper.
constexpr UINT kPipeClosed = 0;
constexpr UINT kBadCommandLine = 2;
constexpr UINT kNoPlugin = 3;

// "--pipes IN OUT": the inherited handles, as the 64-bit side wrote them.
bool ReadPipeHandles(HANDLE* in, HANDLE* out) {
    const wchar_t* at = std::wcsstr(GetCommandLineW(), L" --pipes ");
    if (at == nullptr) return false;
    wchar_t* end = nullptr;
    const unsigned long inValue = std::wcstoul(at + 9, &end, 10);
    if (end == at + 9 || *end != L' ') return false;
    const wchar_t* next = end + 1;
    const unsigned long outValue = std::wcstoul(next, &end, 10);
    if (end == next || (*end != L'\0' && *end != L' ')) return false;
    *in = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(inValue));
    *out = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(outValue));
    return inValue != 0 && outValue != 0;
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
    HANDLE in = nullptr, out = nullptr;
    if (!ReadPipeHandles(&in, &out)) return kBadCommandLine;
    const std::wstring pluginPath = PluginBesideMe();
    HMODULE plugin = pluginPath.empty()
                         ? nullptr
                         : LoadLibraryExW(pluginPath.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (plugin == nullptr) return kNoPlugin;
    helper::Mailbox mailbox(in);
    helper::PluginCalls calls(plugin, mailbox, out);
    if (!calls.Ready() || !mailbox.Start()) return kNoPlugin;
    calls.Serve();  // returns only when the pipe breaks
    return kPipeClosed;
}
