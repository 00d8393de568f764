#pragma once
// What a process holds, for tests that check a long session leaves nothing
// behind: its handles and committed memory, and the plugin helpers it started.

#include <windows.h>

#include <vector>

struct Usage {
    DWORD handles = 0;
    SIZE_T commit = 0;
};

// The handles `pid` holds, from the system's handle table: Wine answers
// GetProcessHandleCount with 0. 0 when the table cannot be read.
DWORD HandlesOf(DWORD pid);
// Handles and committed memory (PagefileUsage: Wine leaves PrivateUsage 0).
Usage UsageOf(HANDLE process);
// The corvanel_helper.exe processes that `parent` started and that still run.
std::vector<DWORD> HelpersOf(DWORD parent);
