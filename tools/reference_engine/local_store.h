#pragma once
// The reference engine's store on disk: accounts are folders of the store
// root, buckets are folders of an account, objects are files below a bucket
// and folders are directories. Names arrive as the plugin's 8-bit texts (the
// calling thread's ANSI code page); each one is checked before it becomes a
// file-system path, so no request can reach outside the root.

#include <windows.h>
#include <oleauto.h>

#include <string>
#include <vector>

#include "binding/storage_browser.h"
#include "path/remote_path.h"

// The Kind values of the listing entries; only kFileKind is a file.
enum EntryKind : LONG { kAccountKind = 0, kBucketKind = 1, kFolderKind = 2, kFileKind = kObjectKind };

struct StoreEntry {
    std::wstring name;
    DATE date = 0.0;  // last write time, UTC, as an OLE date
    LONG kind = kFileKind;
    LONGLONG size = 0;
};

// Where a RemotePath points inside the store.
struct StoreLocation {
    std::wstring path;       // full file-system path, no trailing backslash
    PathLevel depth = PathLevel::Root;
    bool folderKey = false;  // the key ended in "/" or "\": it names a folder
    std::wstring bucketPath; // the bucket's directory, from depth Bucket on
};

// The store root: CORVANEL_STORE, else the user's local application data
// folder\Corvanel\Store. Created when missing.
std::wstring StoreRootFromSettings();

// True when `name` can be one file-system name: not empty, not "." or "..",
// no separators, wildcards, colons or control characters, no trailing dot or
// space (Windows would silently drop it and name another file).
bool IsValidName(const std::wstring& name);

// The 8-bit text in the calling thread's ANSI code page as UTF-16; false when
// it does not convert.
bool Widen(const char* text, std::wstring* wide);

// Resolves rp below `root`. False when any text is invalid, when the key has
// an empty part ("a//b", a leading separator) or when a deeper text is set
// below an empty one (a key without a bucket).
bool Locate(const std::wstring& root, const RemotePath& rp, StoreLocation* where);

// The entries of one directory, sorted by name; directories get `folderKind`.
// False when `directory` cannot be listed.
bool ListDirectory(const std::wstring& directory, LONG folderKind,
                   std::vector<StoreEntry>* entries);

bool IsDirectory(const std::wstring& path);
bool Exists(const std::wstring& path);

// The first "<stem>-<n>" (n = 1, 2, ...) that does not exist in `directory`.
std::wstring FreeName(const std::wstring& directory, const wchar_t* stem);

// The directory that holds `path`.
std::wstring ParentOf(const std::wstring& path);

// Creates every missing directory from `base` (which exists) down to `path`.
bool MakeDirectories(const std::wstring& base, const std::wstring& path);

// Copies a directory tree to `target`. A `target` that exists already is
// merged into, as an object store copies every object below a prefix: same
// names are replaced, a file never replaces a folder nor the other way. A
// failure part-way leaves what was copied so far.
bool CopyTree(const std::wstring& source, const std::wstring& target);

// Deletes a directory tree; false when anything in it stayed.
bool RemoveTree(const std::wstring& directory);

struct TreeSummary {
    int directories = 0;
    int files = 0;
    ULONGLONG bytes = 0;
};
// Counts everything below `directory`, recursively.
void Summarize(const std::wstring& directory, TreeSummary* summary);

// A crash on request, for tests of what a host sees when its engine dies: when
// CORVANEL_CRASH_NAME is set and `name` ends with it, the process ends at
// once, as it would on an access violation inside the engine.
void CrashWhenNamed(const std::wstring& name);
// A stall on request, for tests of what a host sees when an engine call never
// returns (a network that stopped answering): when CORVANEL_STALL_NAME is set
// and `name` ends with it, the calling thread blocks for good.
void StallWhenNamed(const std::wstring& name);
