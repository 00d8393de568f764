#pragma once
// The console host: file-manager commands over a loaded WFX module. It does
// what the file manager does around each export: looks up entries in the
// parent directory's listing to fill the remote-file record and to hint that
// an upload's target exists, and when the plugin answers that a target
// exists, asks the user and calls again with the overwrite flag.
//
// Commands come from the console or from a script (a file or standard
// input). In a script every command is echoed after the prompt, lines
// starting with "#" are printed as narration, and a leading "-" marks a
// command whose failure is expected; an answer to a question is the next
// line of the script.

#include <windows.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "common/wfx_module.h"

class ConsoleHost {
public:
    // `input` stays the caller's; `script` turns on echo and the exit status
    // that counts unexpected failures.
    ConsoleHost(const WfxModule& module, std::FILE* input, bool script);
    ConsoleHost(const ConsoleHost&) = delete;
    ConsoleHost& operator=(const ConsoleHost&) = delete;

    // Calls FsInit with the host's callbacks. False, with the reason
    // printed, when the module lacks FsInit or FsInit fails.
    bool Start();

    // Runs commands until "quit" or the end of the input. Returns 0, or 1
    // when a script command failed that was not marked as expected to.
    int Run();

private:
    using Args = std::vector<std::string>;
    struct Command;
    static const Command kCommands[];

    bool Execute(const Args& args);
    // Prints the command's usage line; false.
    bool Usage(const char* name);
    bool Ask(const std::string& question);
    bool ReadDirectory(const std::string& path, std::vector<WIN32_FIND_DATAA>* entries);
    bool FindEntry(const std::string& path, WIN32_FIND_DATAA* entry);
    std::string Remote(const std::string& argument) const;
    std::string Local(const std::string& argument) const;
    bool ReportBool(BOOL result, const char* done);
    bool Download(const std::string& remote, const std::string& local, int flags);
    // Runs a transfer-like call (flags in, WFX result out) with the progress
    // display, asks about `target` and calls again with
    // FS_COPYFLAGS_OVERWRITE when the plugin answers FS_FILE_EXISTS, and
    // reports the result.
    bool RunTransfer(const std::function<int(int flags)>& call, int flags,
                     const std::string& target);
    void ShowEntries(const std::vector<WIN32_FIND_DATAA>& entries);
    bool TakeRereadRequest();

    bool List(const Args& args);
    bool ChangeDirectory(const Args& args);
    bool MakeDirectory(const Args& args);
    bool RemoveDirectory(const Args& args);
    bool Delete(const Args& args);
    bool Move(const Args& args);
    bool Copy(const Args& args);
    bool RenameOrCopy(const Args& args, BOOL move);
    bool Get(const Args& args);
    bool Put(const Args& args);
    bool Open(const Args& args);
    bool Properties(const Args& args);
    bool LocalChangeDirectory(const Args& args);
    bool LocalList(const Args& args);
    bool Help(const Args& args);

    const WfxModule& module_;
    const WfxExports& fs_;
    std::FILE* input_;
    const bool script_;
    bool quit_ = false;
    std::string rootName_ = "plugin";
    std::string current_ = "\\";
    std::string localDirectory_;
    HWND window_ = nullptr;  // receives the plugin's posted "re-read" command
};
