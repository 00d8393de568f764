#pragma once
// The process-wide state every entry point reads. One instance per loaded
// module. FsInit writes the host's callbacks and the engine before anything
// else is called; the open listings and the folder knowledge are shared by
// the host's threads and guard themselves.

#include "binding/event_handler.h"
#include "binding/storage_browser.h"
#include "common/handle_table.h"
#include "common/wfx_api.h"
#include "path/remote_path.h"
#include "plugin/folder_knowledge.h"

// What parsing a host path found: its level and whether every component
// fits its field; when one does not, or the path is null, the caller refuses
// with its failure result.
struct ParsedHostPath {
    PathLevel level = PathLevel::Root;
    bool fits = false;
};

// One listing the host opened with FsFindFirst: the level of its folder, the
// engine's cookie for its enumeration, and the names it has shown so far.
struct Listing {
    PathLevel level = PathLevel::Root;
    ListingCookie cookie = 0;
    FolderNames names;
};

// Far more than a host keeps open at once: a host lists a folder tree one
// level inside the other, and a path of MAX_PATH bytes nests at most 130
// folders; a second thread lists one folder at a time.
using OpenListings = HandleTable<Listing, 256>;

// The longest wait of a transfer's relay between two reports to the host
// (plugin/transfer.cpp); the wait ends early when the engine reaches 100
// percent.
constexpr DWORD kRelayPeriodMs = 10;

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
    // The host's open listings, each under its own handle.
    OpenListings listings;
    // The names of the folder last listed, for the checks before a change
    // that could replace an entry; and the clock that dates them.
    FolderKnowledge knowledge;
    ULONGLONG(WINAPI* clock)() = &GetTickCount64;
    // The relay's period. Tests lengthen it, so that a relay that wakes at
    // the finishing event cannot be mistaken for one that sleeps out its
    // period, whatever the machine's load.
    DWORD relayPeriodMs = kRelayPeriodMs;
};

PluginState& GetPluginState();

// Parses a host path into `path`, in the calling thread's code page.
[[nodiscard]] ParsedHostPath ParseHostPath(const char* hostPath, OwnedRemotePath& path);
