#pragma once
// Counts the COM task-memory blocks alive in the process, so a test can show
// that what it handed out came back. The BSTR cache is switched off at the
// same time, so every BSTR is one such block from SysAlloc* to SysFreeString.
// Blocks allocated before the first call are not counted.

#include <windows.h>

// The number of task-memory blocks allocated since the first call and not
// yet freed, or -1 when the spy could not be installed. The first call
// installs the process-wide spy that counts them.
LONG LiveTaskMemoryBlocks();
