#pragma once
// FsDeleteFile's work, which FsGetFile reuses after a download that is a
// move: inside the caller's exception barrier, with one parse of the path.

#include <windows.h>

// Deletes the object a host path names; a placeholder entry is "deleted"
// without the engine. Stores the path's level, as every parsing export does.
BOOL DeleteFileAt(const char* hostPath);
