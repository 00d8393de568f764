#include "tools/host/progress_display.h"

#include <windows.h>
#include <conio.h>

#include <cstdio>

#include "tools/host/command_line.h"

namespace progress_display {
namespace {

// One line of at most 79 characters: a wider one would wrap, and the
// carriage return would then redraw only its last row.
constexpr int kBarWidth = 20;
constexpr std::size_t kNameWidth = 22;
constexpr int kEscape = 27;

volatile LONG g_active = 0;
volatile LONG g_abortRequested = 0;
bool g_watchEscape = false;
std::string g_lastLine;

BOOL WINAPI OnConsoleControl(DWORD event) {
    if ((event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) || g_active == 0) return FALSE;
    InterlockedExchange(&g_abortRequested, 1);
    return TRUE;  // handled: the transfer ends as aborted, the host goes on
}

void PollEscape() {
    while (g_watchEscape && _kbhit()) {
        if (_getch() == kEscape) InterlockedExchange(&g_abortRequested, 1);
    }
}

std::string Shortened(const char* name, std::size_t width) {
    const std::string text = name != nullptr ? name : "...";
    return text.size() <= width ? text : "..." + text.substr(text.size() - (width - 3));
}

}  // namespace

void Install(bool watchEscape) {
    g_watchEscape = watchEscape;
    SetConsoleCtrlHandler(&OnConsoleControl, TRUE);
}

void Begin() {
    InterlockedExchange(&g_abortRequested, 0);
    InterlockedExchange(&g_active, 1);
    g_lastLine.clear();
}

void End() {
    InterlockedExchange(&g_active, 0);
    if (!g_lastLine.empty()) std::fputc('\n', stdout);
    g_lastLine.clear();
    std::fflush(stdout);
}

std::string Line(const char* source, const char* target, int percent, std::size_t nameWidth) {
    char number[16];
    std::snprintf(number, sizeof(number), "%4d%%", percent);
    return "  " + ProgressBar(percent, kBarWidth) + number + "  " + Shortened(source, nameWidth) +
           " -> " + Shortened(target, nameWidth);
}

int __stdcall Callback(int, char* SourceName, char* TargetName, int PercentDone) {
    PollEscape();
    // Redrawn only when it changes: the plugin reports every 10 ms.
    const std::string line = Line(SourceName, TargetName, PercentDone, kNameWidth);
    if (line != g_lastLine) {
        // Pads over the rest of a longer previous line.
        const std::size_t pad = g_lastLine.size() > line.size() ? g_lastLine.size() - line.size() : 0;
        std::printf("\r%s%s", line.c_str(), std::string(pad, ' ').c_str());
        std::fflush(stdout);
        g_lastLine = line;
    }
    return g_abortRequested != 0 ? 1 : 0;
}

}  // namespace progress_display
