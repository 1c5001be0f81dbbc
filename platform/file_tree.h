// File-system helpers that work at any path length: wide calls, and the "\\?\" form for paths
// the ordinary form cannot hold. Deleting walks the tree itself and never follows a directory
// link: what a link points at is left alone, the link itself is removed.
#pragma once

#include <windows.h>

#include <string>

namespace kv {

// `path` in the form that reaches any length: "C:\..." longer than MAX_PATH - 12 characters
// becomes "\\?\C:\..." (and "\\server\share\..." becomes "\\?\UNC\server\..."). Other paths are
// returned as they are.
std::wstring ExtendedPath(const std::wstring& path);

// The attributes of `path`, or INVALID_FILE_ATTRIBUTES.
DWORD PathAttributes(const std::wstring& path);
bool IsDirectory(const std::wstring& path);

// Creates `path` and every missing folder above it. False when one could not be made.
bool CreateDirectoryTree(const std::wstring& path);

// Deletes the folder `path` with everything in it (read-only files included). False when
// something could not be removed (what could be removed is gone); true also when nothing was there.
bool DeleteTree(const std::wstring& path);

}  // namespace kv
