#pragma once
// The process-wide state every entry point reads. One instance per loaded
// module, no lock: the host calls one entry point at a time and finishes one
// listing before it starts another.

#include <optional>

#include "binding/event_handler.h"
#include "binding/storage_browser.h"
#include "path/remote_path.h"
#include "plugin/folder_knowledge.h"
#include "plugin/wfx_api.h"

// What parsing a host path found: its level (none for a null path) and
// whether every component fits its field; when one does not, the caller
// refuses with its failure result.
struct ParsedHostPath {
    std::optional<PathLevel> level;
    bool fits = false;
};

struct PluginState {
    int pluginNumber = 0;
    tProgressProc progressProc = nullptr;
    tLogProc logProc = nullptr;          // kept, never called
    tRequestProc requestProc = nullptr;  // kept, never called
    // Made by FsInit and kept for the rest of the process: raw pointers on
    // purpose, never released (a smart pointer would release them while the
    // module unloads, when COM may already be gone).
    IStorageBrowser* engine = nullptr;
    CEventHandler* progress = nullptr;
    // The open listing: the level of the last parsed path and the engine's
    // cookie from the last First operation.
    PathLevel listingLevel = PathLevel::Account;
    ListingCookie listingCookie = 0;
    // The names of the folder last listed, for the checks before a change
    // that could replace an entry; and the clock that dates them.
    FolderKnowledge knowledge;
    ULONGLONG(WINAPI* clock)() = &GetTickCount64;

    // Every entry point that parses a path leaves its level here, where the
    // listing's next FsFindNext reads it; a null path leaves the level as it was.
    void StoreLevelOf(const ParsedHostPath& parsed) {
        if (parsed.level) listingLevel = *parsed.level;
    }
};

PluginState& GetPluginState();

// Parses a host path into `path`, in the calling thread's code page.
[[nodiscard]] ParsedHostPath ParseHostPath(const char* hostPath, OwnedRemotePath& path);
