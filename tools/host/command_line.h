#pragma once
// The console host's text work that touches no plugin: splitting command
// lines, resolving plugin paths against the current directory, and the words
// and figures it prints.

#include <windows.h>

#include <string>
#include <vector>

// Splits a command line at blanks; double quotes group a part that holds
// blanks ("Create new bucket(F7)"). Backslashes are ordinary characters.
std::vector<std::string> SplitCommand(const std::string& line);

// The plugin path that `argument` names from the directory `current`: from
// the root when it starts with a backslash, otherwise below `current`. "."
// and ".." steps are resolved, empty steps dropped; never above the root.
// The result starts with a backslash and has none at the end ("\" is root).
std::string ResolveRemote(const std::string& current, const std::string& argument);

// The last part of a plugin path or local file name ("" for the root).
std::string LastPart(const std::string& path);

// The plugin path of the directory that holds `path` ("\" for the root).
std::string RemoteParent(const std::string& path);

// "1,234,567".
std::string GroupedNumber(ULONGLONG value);

// What a FsGetFile/FsPutFile/FsRenMovFile result means, for the user.
std::string FileResultText(int result);

// "[#####-----]" for `percent` in `width` cells; out-of-range values are
// drawn clamped.
std::string ProgressBar(int percent, int width);
