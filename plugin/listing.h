#pragma once
// The engine's enumerations as the listing uses them, for the plugin's own
// look at a folder before it changes the store.

#include <windows.h>

#include <cstddef>

#include "binding/storage_browser.h"
#include "path/remote_path.h"

// The First and Next operations that enumerate a folder at `level`: the
// accounts at the root, the buckets of an account, the objects of a bucket or
// folder.
HRESULT FirstAtLevel(IStorageBrowser& engine, PathLevel level, RemotePath record,
                     ListingCookie* cookie, StorageItem** item);
HRESULT NextAtLevel(IStorageBrowser& engine, PathLevel level, ListingCookie cookie,
                    StorageItem** item);

enum class NameRead {
    Read,
    Undeliverable,  // no name, or one that would have to be shortened: not shown
    Failed,         // the getter failed
};

// An entry's name as the listing shows it to the host, into `name` (the
// size of the host's cFileName), and its length in bytes.
NameRead ReadListedName(StorageItem& item, char (&name)[MAX_PATH], std::size_t* length);
