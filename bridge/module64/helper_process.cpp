#include "bridge/module64/helper_process.h"

#include <string>
#include <vector>

namespace bridge {

namespace {

constexpr wchar_t kHelperName[] = L"corvanel_helper.exe";
// How long an ended helper is given to leave once the pipe it watches is
// closed; it leaves at once unless it is stuck, and is then ended by force.
constexpr DWORD kHelperExitWaitMs = 5000;

// The folder this module was loaded from, with its trailing backslash.
std::wstring ModuleFolder() {
    HMODULE self = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(&ModuleFolder), &self)) {
        return std::wstring();
    }
    std::wstring path(32768, L'\0');
    const DWORD length = GetModuleFileNameW(self, &path[0], static_cast<DWORD>(path.size()));
    if (length == 0 || length >= path.size()) return std::wstring();
    path.resize(length);
    return path.substr(0, path.find_last_of(L'\\') + 1);
}

// A pipe whose one end the helper inherits.
struct Pipe {
    UniqueHandle read, write;
    bool Create() {
        HANDLE r = nullptr, w = nullptr;
        if (!CreatePipe(&r, &w, nullptr, 0)) return false;
        read.Reset(r);
        write.Reset(w);
        return true;
    }
};

// Starts the helper with exactly the given handles inherited: they are made
// inheritable for the call only, and listed, so that no other handle of the
// host's reaches the child.
bool CreateHelperProcess(const std::wstring& path, const std::vector<HANDLE>& inherited,
                         PROCESS_INFORMATION* process) {
    SIZE_T listSize = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &listSize);
    std::vector<char> listBytes(listSize);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(listBytes.data());
    if (!InitializeProcThreadAttributeList(list, 1, 0, &listSize)) return false;
    std::vector<HANDLE> listed = inherited;
    const bool limited = UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, listed.data(),
                                                   listed.size() * sizeof(HANDLE), nullptr, nullptr);
    // Handle values fit 32 bits in every process, so the 32-bit helper reads them as they are.
    std::wstring commandLine = L"\"" + path + L"\" --handles";
    for (HANDLE handle : inherited) {
        commandLine += L" " + std::to_wstring(static_cast<unsigned long>(reinterpret_cast<ULONG_PTR>(handle)));
        SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    }
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof(startup);
    startup.lpAttributeList = limited ? list : nullptr;
    const BOOL created = CreateProcessW(
        path.c_str(), &commandLine[0], nullptr, nullptr, TRUE,
        CREATE_NO_WINDOW | (limited ? EXTENDED_STARTUPINFO_PRESENT : 0), nullptr, nullptr,
        &startup.StartupInfo, process);
    for (HANDLE handle : inherited) SetHandleInformation(handle, HANDLE_FLAG_INHERIT, 0);
    DeleteProcThreadAttributeList(list);
    return created != FALSE;
}

// The first visible top-level window of process `id`, in front-to-back order.
HWND VisibleWindowOf(DWORD id) {
    struct Search {
        DWORD process;
        HWND found;
    } search{id, nullptr};
    EnumWindows(
        [](HWND window, LPARAM param) -> BOOL {
            auto* search = reinterpret_cast<Search*>(param);
            DWORD owner = 0;
            GetWindowThreadProcessId(window, &owner);
            if (owner != search->process || !IsWindowVisible(window)) return TRUE;
            search->found = window;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

}  // namespace

HelperProcess::~HelperProcess() {
    alive_.Reset();
    inbox_.Reset();
    process_.Reset();
    shared_.Reset();
}

bool HelperProcess::Start() {
    const std::wstring folder = ModuleFolder();
    if (folder.empty()) return false;
    Pipe alive;
    PROCESS_INFORMATION info{};
    toHelperArrived_.Reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    toModuleArrived_.Reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (!toHelperArrived_.Valid() || !toModuleArrived_.Valid() || !alive.Create() || !shared_.Create() ||
        !CreateHelperProcess(folder + kHelperName,
                             {alive.read.Get(), shared_.Section(), toHelperArrived_.Get(),
                              toModuleArrived_.Get()},
                             &info)) {
        shared_.Reset();
        toHelperArrived_.Reset();
        toModuleArrived_.Reset();
        return false;
    }
    CloseHandle(info.hThread);
    process_.Reset(info.hProcess);
    processId_ = info.dwProcessId;
    alive_ = std::move(alive.write);
    toHelper_.Attach(shared_.RingToHelper(), toHelperArrived_.Get());
    inbox_.Attach(shared_.RingToModule(), toModuleArrived_.Get(), process_.Get());
    // The helper's end is its own now: once this module closes its end, the
    // helper's watcher sees a broken pipe and ends it.
    return true;
}

bool HelperProcess::Alive() const {
    return process_.Valid() && WaitForSingleObject(process_.Get(), 0) == WAIT_TIMEOUT;
}

void HelperProcess::End(bool now) {
    if (now && process_.Valid()) TerminateProcess(process_.Get(), 1);
    alive_.Reset();
    inbox_.Reset();
    if (process_.Valid()) {
        if (WaitForSingleObject(process_.Get(), kHelperExitWaitMs) != WAIT_OBJECT_0) {
            TerminateProcess(process_.Get(), 1);
            WaitForSingleObject(process_.Get(), kHelperExitWaitMs);
        }
        process_.Reset();
    }
    // Once the helper is gone nobody else writes into the section.
    shared_.Reset();
    toHelperArrived_.Reset();
    toModuleArrived_.Reset();
}

bool HelperProcess::Send(const Message& message) {
    // The ring lies in the section, which goes with its helper.
    if (!process_.Valid()) return false;
    const std::string frame = Frame(message);
    return toHelper_.Write(frame.data(), frame.size(), process_.Get());
}

bool HelperProcess::ShowsWindow() {
    const HWND window = VisibleWindowOf(processId_);
    if (window == nullptr) return false;
    if (window != frontedWindow_) {
        frontedWindow_ = window;
        SetForegroundWindow(window);
    }
    return true;
}

}  // namespace bridge
