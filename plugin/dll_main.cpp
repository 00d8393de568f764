#include <windows.h>

// Nothing to set up or tear down when the host loads or unloads the module:
// FsInit does the work, and nothing is ever torn down.
BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
