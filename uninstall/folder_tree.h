// Deleting a folder tree the way the uninstaller must: an explicit walk, in wide text with
// extended-length paths (never cut at 260 characters), that never descends into a directory
// link or junction (it removes the link itself, or leaves it), clears read-only flags on purpose,
// and refuses folders whose loss would reach beyond the client: a drive root, the Windows or
// system directory, Program Files itself, a profile or shell-folder root, any folder holding one
// of these, an empty or relative path, or one with a wildcard.
//
// Free functions, safe on any thread.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <string_view>

namespace kv {

// The absolute form of `path` used for comparisons: "." and ".." resolved, slashes turned into
// backslashes, short names made long where the folder exists, no trailing separator (a drive
// root keeps its "C:\"). Empty for an empty or relative path, or one holding '*' or '?'.
std::wstring NormalizeFolderPath(std::wstring_view path);

// Whether deleting `path` would reach a folder the uninstaller must leave alone (see above).
bool IsProtectedFolder(std::wstring_view path);

// Deletes `path` and everything below it; failures are passed over and the walk goes on. A
// protected folder is left untouched. True when `path` no longer exists afterwards.
bool DeleteFolderTree(std::wstring_view path);

// The extended-length form ("\\?\C:\...", "\\?\UNC\server\...") of NormalizeFolderPath(path):
// the form every walk uses, so that no path is ever cut at 260 characters. Empty when the
// normal form is.
std::wstring ExtendedFolderPath(std::wstring_view path);

// Calls `visit` for every entry of the directory `extended` except "." and ".."; names beginning
// with a dot are entries like any other. False when the directory cannot be listed.
bool ForEachFolderEntry(const std::wstring& extended, const std::function<void(const WIN32_FIND_DATAW&)>& visit);

// Whether the entry is a directory that may be entered: a directory link or junction never is.
inline bool IsPlainDirectory(DWORD attributes) {
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

}  // namespace kv
