// Keeps a test prefix's desktop open for a whole test run.
//
// Wine closes a desktop one second after its last user process ends: the
// desktop's owner (explorer) is told to quit, and the next process that
// wants a window starts a new one. A test process that arrives while the old
// desktop is closing cannot create even a message-only window, so a run whose
// tests leave gaps of about a second fails at random. This program is a user
// of the desktop from the start of the run until the prefix's server is
// stopped; it ends by itself after an hour, so a run that was interrupted
// before its stop leaves no process behind for long.
//
//   desktop_anchor.exe READY_FILE
// writes READY_FILE once its window exists, so the caller can wait for it.
#include <windows.h>

namespace {

constexpr UINT kLifetimeMs = 60 * 60 * 1000;

bool SayReady(const wchar_t* path) {
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    CloseHandle(file);
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) return 2;
    HWND window = CreateWindowExW(0, L"STATIC", L"desktop anchor", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                  nullptr, nullptr, nullptr);
    if (!window) return 1;
    if (!SayReady(argv[1])) return 1;
    SetTimer(window, 1, kLifetimeMs, nullptr);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (message.message == WM_TIMER) break;
        DispatchMessageW(&message);
    }
    DestroyWindow(window);
    return 0;
}
