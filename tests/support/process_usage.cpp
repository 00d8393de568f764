#include "tests/support/process_usage.h"

#include <psapi.h>
#include <tlhelp32.h>
#include <winternl.h>

DWORD HandlesOf(DWORD pid) {
    std::vector<char> buffer(1 << 20);
    ULONG needed = 0;
    NTSTATUS status;
    while ((status = NtQuerySystemInformation(SystemHandleInformation, buffer.data(),
                                              static_cast<ULONG>(buffer.size()), &needed)) ==
           static_cast<NTSTATUS>(0xC0000004L)) {  // STATUS_INFO_LENGTH_MISMATCH
        buffer.resize(buffer.size() * 2);
    }
    if (status < 0) return 0;
    const auto* table = reinterpret_cast<const SYSTEM_HANDLE_INFORMATION*>(buffer.data());
    DWORD count = 0;
    for (ULONG at = 0; at < table->Count; ++at) count += table->Handle[at].OwnerPid == pid;
    return count;
}

Usage UsageOf(HANDLE process) {
    Usage usage;
    usage.handles = HandlesOf(GetProcessId(process));
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    if (GetProcessMemoryInfo(process, &counters, sizeof(counters))) usage.commit = counters.PagefileUsage;
    return usage;
}

std::vector<DWORD> HelpersOf(DWORD parent) {
    std::vector<DWORD> helpers;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return helpers;
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
        if (entry.th32ParentProcessID == parent && _stricmp(entry.szExeFile, "corvanel_helper.exe") == 0) {
            helpers.push_back(entry.th32ProcessID);
        }
    }
    CloseHandle(snapshot);
    return helpers;
}
