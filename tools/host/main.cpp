// corvanel_host.exe: a console stand-in for the file manager. Loads a WFX
// plugin module by path and offers file-manager commands on it,
// interactively or from a script.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "tools/host/console_host.h"
#include "tools/host/progress_display.h"
#include "common/wfx_module.h"

namespace {

// The module of this program's own edition, as the file manager picks it.
#ifdef _WIN64
#define CORVANEL_DEFAULT_PLUGIN "corvanel.wfx64"
#else
#define CORVANEL_DEFAULT_PLUGIN "corvanel.wfx"
#endif

constexpr char kUsage[] =
    "usage: corvanel_host [--script FILE] [PLUGIN]\n"
    "  PLUGIN         the WFX module to load (default: " CORVANEL_DEFAULT_PLUGIN " beside this program)\n"
    "  --script FILE  run the commands in FILE (\"-\": standard input), echoing each;\n"
    "                 the exit status is 1 when a command failed unexpectedly\n"
    "Without --script the commands come from the console; \"help\" lists them.\n";

std::string DefaultPlugin() {
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string module(path, length > 0 && length < MAX_PATH ? length : 0);
    return module.substr(0, module.find_last_of('\\') + 1) + CORVANEL_DEFAULT_PLUGIN;
}

bool StandardInputIsConsole() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string plugin = DefaultPlugin();
    const char* script = nullptr;
    for (int at = 1; at < argc; ++at) {
        if (std::strcmp(argv[at], "--script") == 0 && at + 1 < argc) {
            script = argv[++at];
        } else if (argv[at][0] == '-') {
            std::fputs(kUsage, stderr);
            return 2;
        } else {
            plugin = argv[at];
        }
    }
    std::FILE* input = stdin;
    if (script != nullptr && std::strcmp(script, "-") != 0) {
        input = std::fopen(script, "r");
        if (input == nullptr) {
            std::fprintf(stderr, "cannot read the script %s\n", script);
            return 2;
        }
    }
    const bool interactive = script == nullptr && StandardInputIsConsole();
    progress_display::Install(interactive);

    WfxModule module;
    std::string error;
    if (!module.Load(plugin, &error)) {
        std::fprintf(stderr, "cannot load %s: %s\n", plugin.c_str(), error.c_str());
        return 2;
    }
    // Piped input without --script runs as a script too.
    ConsoleHost host(module, input, !interactive);
    if (!host.Start()) return 2;
    return host.Run();
}
