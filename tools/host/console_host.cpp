#include "tools/host/console_host.h"

#include <cstring>

#include "binding/storage_browser.h"
#include "tools/host/command_line.h"
#include "tools/host/progress_display.h"

namespace {

constexpr int kPluginNumber = 1;
constexpr char kWindowClass[] = "CorvanelConsoleHost";

// Host texts are char*, not const: the exports take them as the file
// manager passes them.
char* Text(std::string& text) { return &text[0]; }

bool IsDirectoryEntry(const WIN32_FIND_DATAA& entry) {
    return (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool LocalFileExists(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string EntryDate(const FILETIME& written) {
    FILETIME local;
    SYSTEMTIME time;
    if ((written.dwLowDateTime == 0 && written.dwHighDateTime == 0) ||
        !FileTimeToLocalFileTime(&written, &local) || !FileTimeToSystemTime(&local, &time)) {
        return std::string(16, ' ');
    }
    char text[32];
    std::snprintf(text, sizeof(text), "%04u-%02u-%02u %02u:%02u", time.wYear, time.wMonth,
                  time.wDay, time.wHour, time.wMinute);
    return text;
}

void __stdcall LogToConsole(int, int, char* text) {
    std::printf("  [plugin log] %s\n", text != nullptr ? text : "");
}

// The file manager's questions come from its own dialogs; this host has
// none to offer, so every request is declined.
BOOL __stdcall DeclineRequest(int, int, char*, char*, char*, int) { return FALSE; }

// False, with a message, when the module lacks the export.
template <typename Function>
bool Exported(Function function, const char* name) {
    if (function != nullptr) return true;
    std::printf("the plugin does not export %s: this command cannot run\n", name);
    return false;
}

// Splits off a leading "-m" (move) from a transfer's arguments.
bool TakeMoveOption(std::vector<std::string>* args) {
    if (args->empty() || args->front() != "-m") return false;
    args->erase(args->begin());
    return true;
}

std::string CurrentDirectory() {
    char buffer[MAX_PATH];
    const DWORD length = GetCurrentDirectoryA(MAX_PATH, buffer);
    return length > 0 && length < MAX_PATH ? std::string(buffer, length) : std::string(".");
}

}  // namespace

struct ConsoleHost::Command {
    const char* name;
    std::size_t minArgs, maxArgs;
    bool (ConsoleHost::*run)(const Args&);
    const char* usage;
};

const ConsoleHost::Command ConsoleHost::kCommands[] = {
    {"ls", 0, 1, &ConsoleHost::List, "ls [PATH]            list a directory"},
    {"cd", 1, 1, &ConsoleHost::ChangeDirectory, "cd PATH              change directory (\\ is the root)"},
    {"mkdir", 1, 1, &ConsoleHost::MakeDirectory, "mkdir PATH           make an account, bucket or folder"},
    {"rmdir", 1, 1, &ConsoleHost::RemoveDirectory, "rmdir PATH           remove an empty account, bucket or folder"},
    {"rm", 1, 1, &ConsoleHost::Delete, "rm PATH              delete an object"},
    {"mv", 2, 2, &ConsoleHost::Move, "mv OLD NEW           rename or move inside the store"},
    {"cp", 2, 2, &ConsoleHost::Copy, "cp OLD NEW           copy inside the store"},
    {"get", 1, 3, &ConsoleHost::Get, "get [-m] PATH [FILE] download (-m: move)"},
    {"put", 1, 3, &ConsoleHost::Put, "put [-m] FILE [PATH] upload (-m: move)"},
    {"open", 1, 1, &ConsoleHost::Open, "open PATH            open an entry, as a double click does"},
    {"props", 0, 1, &ConsoleHost::Properties, "props [PATH]         show properties"},
    {"lcd", 1, 1, &ConsoleHost::LocalChangeDirectory, "lcd DIR              change the local directory"},
    {"lls", 0, 0, &ConsoleHost::LocalList, "lls                  list the local directory"},
    {"help", 0, 0, &ConsoleHost::Help, "help                 this list; quit ends"},
};

ConsoleHost::ConsoleHost(const WfxModule& module, std::FILE* input, bool script)
    : module_(module), fs_(module.Fs()), input_(input), script_(script),
      localDirectory_(CurrentDirectory()) {}

bool ConsoleHost::Start() {
    if (!Exported(fs_.FsInit, "FsInit")) return false;
    if (fs_.FsGetDefRootName != nullptr) {
        char name[MAX_PATH] = {};
        fs_.FsGetDefRootName(name, sizeof(name));
        if (name[0] != '\0') rootName_ = name;
    }
    const std::string missing = module_.MissingExports();
    std::printf("Loaded %s (root \"%s\")%s%s\n", module_.Path().c_str(), rootName_.c_str(),
                missing.empty() ? "" : "; not exported: ", missing.c_str());

    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = DefWindowProcA;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = kWindowClass;
    RegisterClassA(&windowClass);
    window_ = CreateWindowExA(0, kWindowClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                              windowClass.hInstance, nullptr);

    const int started = fs_.FsInit(kPluginNumber, &progress_display::Callback, &LogToConsole,
                                   &DeclineRequest);
    if (started != 0) {
        std::printf("FsInit failed (%d): the plugin could not create its storage engine. Is the "
                    "engine \"%ls\" registered in this Wine prefix?\n",
                    started, kEngineProgId);
        return false;
    }
    return true;
}

int ConsoleHost::Run() {
    int failures = 0;
    bool narrating = false;
    char line[4096];
    while (!quit_) {
        if (!script_) std::printf("%s:%s> ", rootName_.c_str(), current_.c_str());
        std::fflush(stdout);
        if (std::fgets(line, sizeof(line), input_) == nullptr) break;
        std::string text = line;
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        const std::size_t first = text.find_first_not_of(" \t");
        if (first == std::string::npos) continue;
        text.erase(0, first);
        if (text[0] == '#') {
            // A block of narration gets one blank line before it.
            if (script_) std::printf("%s%s\n", narrating ? "" : "\n", text.c_str());
            narrating = true;
            continue;
        }
        narrating = false;
        const bool failureExpected = text[0] == '-';
        if (failureExpected) text.erase(0, 1);
        if (script_) std::printf("%s:%s> %s\n", rootName_.c_str(), current_.c_str(), text.c_str());
        const bool succeeded = Execute(SplitCommand(text));
        if (!succeeded && !failureExpected) ++failures;
        std::fflush(stdout);
    }
    return script_ && failures > 0 ? 1 : 0;
}

bool ConsoleHost::Execute(const Args& args) {
    if (args.empty()) return true;
    if (args[0] == "quit" || args[0] == "exit") {
        quit_ = true;
        return true;
    }
    for (const Command& command : kCommands) {
        if (args[0] != command.name) continue;
        const Args rest(args.begin() + 1, args.end());
        if (rest.size() < command.minArgs || rest.size() > command.maxArgs) {
            return Usage(command.name);
        }
        return (this->*command.run)(rest);
    }
    std::printf("unknown command \"%s\"; \"help\" lists the commands\n", args[0].c_str());
    return false;
}

bool ConsoleHost::Usage(const char* name) {
    for (const Command& command : kCommands) {
        if (std::strcmp(command.name, name) == 0) std::printf("usage: %s\n", command.usage);
    }
    return false;
}

bool ConsoleHost::Ask(const std::string& question) {
    std::printf("%s [y/n] ", question.c_str());
    std::fflush(stdout);
    char answer[64];
    if (std::fgets(answer, sizeof(answer), input_) == nullptr) {
        std::printf("\n");
        return false;
    }
    if (script_) std::printf("%s", answer);
    return answer[0] == 'y' || answer[0] == 'Y';
}

std::string ConsoleHost::Remote(const std::string& argument) const {
    return ResolveRemote(current_, argument);
}

std::string ConsoleHost::Local(const std::string& argument) const {
    const bool absolute = (argument.size() > 1 && argument[1] == ':') ||
                          (!argument.empty() && argument[0] == '\\');
    const std::string combined = absolute ? argument : localDirectory_ + "\\" + argument;
    char full[MAX_PATH];
    const DWORD length = GetFullPathNameA(combined.c_str(), MAX_PATH, full, nullptr);
    return length > 0 && length < MAX_PATH ? std::string(full, length) : combined;
}

bool ConsoleHost::ReportBool(BOOL result, const char* done) {
    std::printf("  %s\n", result ? done : "refused by the plugin or its storage engine");
    return result != FALSE;
}

// Listing ---------------------------------------------------------------------

bool ConsoleHost::ReadDirectory(const std::string& path, std::vector<WIN32_FIND_DATAA>* entries) {
    entries->clear();
    if (!Exported(fs_.FsFindFirst, "FsFindFirst") ||
        !Exported(fs_.FsFindNext, "FsFindNext")) {
        return false;
    }
    std::string text = path;
    WIN32_FIND_DATAA entry;
    SetLastError(ERROR_SUCCESS);
    HANDLE listing = fs_.FsFindFirst(Text(text), &entry);
    if (listing == INVALID_HANDLE_VALUE) {
        // No more files: an empty directory, not a failure.
        return GetLastError() == ERROR_NO_MORE_FILES;
    }
    do {
        entries->push_back(entry);
    } while (fs_.FsFindNext(listing, &entry));
    if (fs_.FsFindClose != nullptr) fs_.FsFindClose(listing);
    return true;
}

bool ConsoleHost::FindEntry(const std::string& path, WIN32_FIND_DATAA* found) {
    std::vector<WIN32_FIND_DATAA> entries;
    if (path == "\\" || !ReadDirectory(RemoteParent(path), &entries)) return false;
    const std::string name = LastPart(path);
    for (const WIN32_FIND_DATAA& entry : entries) {
        if (name == entry.cFileName) {
            *found = entry;
            return true;
        }
    }
    return false;
}

void ConsoleHost::ShowEntries(const std::vector<WIN32_FIND_DATAA>& entries) {
    ULONGLONG bytes = 0;
    int files = 0;
    for (const WIN32_FIND_DATAA& entry : entries) {
        const ULONGLONG size = (static_cast<ULONGLONG>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
        const std::string shown = IsDirectoryEntry(entry) ? "<DIR>" : GroupedNumber(size);
        std::printf("  %15s  %s  %s%s\n", shown.c_str(), EntryDate(entry.ftLastWriteTime).c_str(),
                    entry.cFileName, IsDirectoryEntry(entry) ? "\\" : "");
        if (!IsDirectoryEntry(entry)) {
            ++files;
            bytes += size;
        }
    }
    std::printf("  %d directories, %d files, %s bytes\n", static_cast<int>(entries.size()) - files,
                files, GroupedNumber(bytes).c_str());
}

bool ConsoleHost::List(const Args& args) {
    const std::string path = Remote(args.empty() ? "." : args[0]);
    std::vector<WIN32_FIND_DATAA> entries;
    if (!ReadDirectory(path, &entries)) {
        std::printf("  cannot list %s\n", path.c_str());
        return false;
    }
    ShowEntries(entries);
    return true;
}

bool ConsoleHost::ChangeDirectory(const Args& args) {
    const std::string path = Remote(args[0]);
    WIN32_FIND_DATAA entry;
    if (path != "\\" && !(FindEntry(path, &entry) && IsDirectoryEntry(entry))) {
        std::printf("  no such directory: %s\n", path.c_str());
        return false;
    }
    current_ = path;
    return true;
}

// Namespace changes -----------------------------------------------------------

bool ConsoleHost::MakeDirectory(const Args& args) {
    if (!Exported(fs_.FsMkDir, "FsMkDir")) return false;
    std::string path = Remote(args[0]);
    return ReportBool(fs_.FsMkDir(Text(path)), "created");
}

bool ConsoleHost::RemoveDirectory(const Args& args) {
    if (!Exported(fs_.FsRemoveDir, "FsRemoveDir")) return false;
    std::string path = Remote(args[0]);
    return ReportBool(fs_.FsRemoveDir(Text(path)), "removed");
}

bool ConsoleHost::Delete(const Args& args) {
    if (!Exported(fs_.FsDeleteFile, "FsDeleteFile")) return false;
    std::string path = Remote(args[0]);
    return ReportBool(fs_.FsDeleteFile(Text(path)), "deleted");
}

bool ConsoleHost::Move(const Args& args) { return RenameOrCopy(args, TRUE); }
bool ConsoleHost::Copy(const Args& args) { return RenameOrCopy(args, FALSE); }

bool ConsoleHost::RenameOrCopy(const Args& args, BOOL move) {
    if (!Exported(fs_.FsRenMovFile, "FsRenMovFile")) return false;
    std::string from = Remote(args[0]);
    // A target ending in a backslash is a directory to move or copy into.
    std::string to = Remote(args[1]) + (args[1].back() == '\\' ? "\\" + LastPart(from) : "");
    WIN32_FIND_DATAA entry;
    if (!FindEntry(from, &entry)) {
        std::printf("  no such entry: %s\n", from.c_str());
        return false;
    }
    RemoteInfoStruct info = {entry.nFileSizeLow, entry.nFileSizeHigh, entry.ftLastWriteTime,
                             static_cast<int>(entry.dwFileAttributes)};
    return RunTransfer(
        [&](int flags) {
            return fs_.FsRenMovFile(Text(from), Text(to), move,
                                    (flags & FS_COPYFLAGS_OVERWRITE) ? TRUE : FALSE, &info);
        },
        0, to);
}

// Transfers -------------------------------------------------------------------

bool ConsoleHost::RunTransfer(const std::function<int(int flags)>& call, int flags,
                              const std::string& target) {
    const DWORD started = GetTickCount();
    progress_display::Begin();
    int result = call(flags);
    progress_display::End();
    if (result == FS_FILE_EXISTS && !(flags & FS_COPYFLAGS_OVERWRITE)) {
        if (!Ask("  " + target + " exists. Overwrite it?")) {
            std::printf("  skipped\n");
            return true;
        }
        progress_display::Begin();
        result = call(flags | FS_COPYFLAGS_OVERWRITE);
        progress_display::End();
    }
    std::printf("  %s (%.1f s)\n", FileResultText(result).c_str(),
                (GetTickCount() - started) / 1000.0);
    return result == FS_FILE_OK;
}

bool ConsoleHost::Download(const std::string& remote, const std::string& local, int flags) {
    if (!Exported(fs_.FsGetFile, "FsGetFile")) return false;
    WIN32_FIND_DATAA entry;
    if (!FindEntry(remote, &entry) || IsDirectoryEntry(entry)) {
        std::printf("  no such file: %s\n", remote.c_str());
        return false;
    }
    RemoteInfoStruct info = {entry.nFileSizeLow, entry.nFileSizeHigh, entry.ftLastWriteTime,
                             static_cast<int>(entry.dwFileAttributes)};
    std::string remoteText = remote, localText = local;
    return RunTransfer(
        [&](int f) { return fs_.FsGetFile(Text(remoteText), Text(localText), f, &info); }, flags,
        local);
}

bool ConsoleHost::Get(const Args& given) {
    Args args = given;
    const int flags = TakeMoveOption(&args) ? FS_COPYFLAGS_MOVE : 0;
    if (args.empty() || args.size() > 2) return Usage("get");
    const std::string remote = Remote(args[0]);
    // An existing local file: the plugin answers FS_FILE_EXISTS and the
    // question follows, as in the file manager.
    return Download(remote, Local(args.size() > 1 ? args[1] : LastPart(remote)), flags);
}

bool ConsoleHost::Put(const Args& given) {
    Args args = given;
    int flags = TakeMoveOption(&args) ? FS_COPYFLAGS_MOVE : 0;
    if (args.empty() || args.size() > 2) return Usage("put");
    if (!Exported(fs_.FsPutFile, "FsPutFile")) return false;
    std::string local = Local(args[0]);
    if (!LocalFileExists(local)) {
        std::printf("  no such local file: %s\n", local.c_str());
        return false;
    }
    const std::string name = LastPart(local);
    std::string remote = args.size() < 2 ? Remote(name)
                         : Remote(args[1]) + (args[1].back() == '\\' ? "\\" + name : "");
    // The listing tells whether the object exists, as the file manager's
    // panel does; the plugin gets the same-case hint and answers
    // FS_FILE_EXISTS until the user agrees to replace it.
    WIN32_FIND_DATAA entry;
    if (FindEntry(remote, &entry)) flags |= FS_COPYFLAGS_EXISTS_SAMECASE;
    return RunTransfer([&](int f) { return fs_.FsPutFile(Text(local), Text(remote), f); }, flags,
                       remote);
}

// Verbs -----------------------------------------------------------------------

bool ConsoleHost::TakeRereadRequest() {
    bool requested = false;
    MSG message;
    while (window_ != nullptr && PeekMessageA(&message, window_, 0, 0, PM_REMOVE)) {
        if (message.message == WM_COMMAND && LOWORD(message.wParam) == kRereadCommand) {
            requested = true;
        }
    }
    return requested;
}

bool ConsoleHost::Open(const Args& args) {
    if (!Exported(fs_.FsExecuteFile, "FsExecuteFile")) return false;
    std::string path = Remote(args[0]);
    std::string verb = "open";
    std::fflush(stdout);
    const int result = fs_.FsExecuteFile(window_, Text(path), Text(verb));
    if (result == FS_EXEC_YOURSELF) {
        // The file manager downloads the file and opens the copy itself.
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        const std::string copy = std::string(temp) + LastPart(path);
        std::printf("  the plugin leaves opening to the host: downloading to %s\n", copy.c_str());
        return Download(path, copy, FS_COPYFLAGS_OVERWRITE);  // a temporary copy
    }
    if (result != FS_EXEC_OK) {
        std::printf("  failed (%d)\n", result);
        return false;
    }
    std::printf("  done by the plugin\n");
    if (TakeRereadRequest()) {
        std::printf("  the plugin asks the host to re-read %s:\n", current_.c_str());
        return List({});
    }
    return true;
}

bool ConsoleHost::Properties(const Args& args) {
    if (!Exported(fs_.FsExecuteFile, "FsExecuteFile")) return false;
    std::string path = Remote(args.empty() ? "." : args[0]);
    std::string verb = "properties";
    std::fflush(stdout);  // the engine may write to the console itself
    const int result = fs_.FsExecuteFile(window_, Text(path), Text(verb));
    std::printf("  %s\n", result == FS_EXEC_OK ? "done" : "failed");
    return result == FS_EXEC_OK;
}

// Local side ------------------------------------------------------------------

bool ConsoleHost::LocalChangeDirectory(const Args& args) {
    const std::string path = Local(args[0]);
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        std::printf("  no such local directory: %s\n", path.c_str());
        return false;
    }
    localDirectory_ = path;
    std::printf("  local directory: %s\n", path.c_str());
    return true;
}

bool ConsoleHost::LocalList(const Args&) {
    std::vector<WIN32_FIND_DATAA> entries;
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA((localDirectory_ + "\\*").c_str(), &entry);
    if (search == INVALID_HANDLE_VALUE) return false;
    do {
        if (std::strcmp(entry.cFileName, ".") != 0 && std::strcmp(entry.cFileName, "..") != 0) {
            entries.push_back(entry);
        }
    } while (FindNextFileA(search, &entry));
    FindClose(search);
    ShowEntries(entries);
    return true;
}

bool ConsoleHost::Help(const Args&) {
    for (const Command& command : kCommands) std::printf("  %s\n", command.usage);
    return true;
}
