#pragma once
// The process-wide state every entry point reads. One instance per loaded
// module, no lock: the host calls one entry point at a time and finishes one
// listing before it starts another.

#include "engine/event_handler.h"
#include "engine/storage_browser.h"
#include "path/remote_path.h"
#include "plugin/wfx_api.h"

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
};

PluginState& GetPluginState();

// Parses a host path into `path`, writing its level to listingLevel as every
// path-taking entry point does. False when the path is null or a component
// does not fit: the caller then refuses with its failure result.
[[nodiscard]] bool ParseHostPath(const char* hostPath, OwnedRemotePath& path);
