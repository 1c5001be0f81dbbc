// Deleting a folder tree the way the uninstaller must: what a path *is* decides, never how it is
// spelled. The root is opened and resolved to its final path; it is refused when it is, or holds,
// a folder whose loss would reach beyond the client (a drive root, the Windows or system folder,
// Program Files, the profiles folder, any profile, Default, Public, any shell folder), compared
// by volume serial number and file index. The walk, in wide text with extended-length paths,
// touches an entry only while the entry's own final path is the path walked: a link (to a file
// or a folder, inside the tree or out of it) that the system would follow is left alone, and a
// directory link is never entered. Read-only flags are cleared on purpose.
//
// Free functions, safe on any thread.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <string_view>

namespace kv {

// `path` as a plain local path: the device forms "\\.\C:\..." and "\\?\C:\..." lose their
// prefix, "." and ".." are resolved, slashes become backslashes, short names are made long where
// the folder exists, no trailing separator (a drive root keeps its "C:\"). Empty for an empty or
// relative path, one holding a wildcard, and anything that is not a path on a drive letter
// (shares, "\\?\UNC\...", other devices).
std::wstring NormalizeFolderPath(std::wstring_view path);

// Whether deleting `path` would reach a folder the uninstaller must leave alone (see above). A
// folder that does not exist is judged by its spelling and its nearest existing folder above.
bool IsProtectedFolder(std::wstring_view path);

// Deletes `path` and everything below it; failures are passed over and the walk goes on. A
// protected folder is left untouched. True when `path` no longer exists afterwards.
bool DeleteFolderTree(std::wstring_view path);

// The final path ("C:\...", no "\\?\") of what `path` names, links and alias drives resolved;
// empty when it cannot be opened or does not end on a drive letter.
std::wstring FinalFolderPath(std::wstring_view path);

// Whether the entry at `path` is what its name says: its own final path is `path` (compared
// without case), so that deleting or writing it reaches nothing else. False for a link that the
// system follows, and for anything that cannot be opened.
bool IsOwnEntry(const std::wstring& path);
// The same for an entry of the folder whose final path is `folder` (FinalFolderPath; empty:
// false), for a walk that asks about every entry of one folder. It finds the folder's final path
// once, before the first entry: an entry reached through a folder replaced meanwhile then fails
// the comparison instead of passing through the replacement.
bool IsOwnEntryIn(const std::wstring& path, std::wstring folder);

// `path` (normalised) with the folder above it resolved to its final path, the last name kept as
// it is: a link or alias drive in front of the entry is gone from the spelling, the entry itself
// is not followed. Folders above that do not exist yet keep their names. Empty when `path` is.
std::wstring ParentResolvedPath(std::wstring_view path);

// Whether what `path` names (in any spelling) is no link itself: its final path is the final path
// of the folder above it followed by its name. True also when nothing is there yet but the folder
// above is a folder of its own kind (a file may be made there without reaching anything else).
bool IsPlainEntry(std::wstring_view path);

// The extended-length form ("\\?\C:\...") of NormalizeFolderPath(path): the form every walk
// uses, so that no path is ever cut at 260 characters. Empty when the normal form is.
std::wstring ExtendedFolderPath(std::wstring_view path);

// Calls `visit` for every entry of the directory `extended` except "." and ".."; names beginning
// with a dot are entries like any other. False when the directory cannot be listed.
bool ForEachFolderEntry(const std::wstring& extended, const std::function<void(const WIN32_FIND_DATAW&)>& visit);

// Whether the entry is a directory that may be entered: a directory link or junction never is.
inline bool IsPlainDirectory(DWORD attributes) {
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Whether every entry below `folder` is a shortcut (".lnk", ".url", ".pif") or a plain folder of
// shortcuts. False when it cannot be listed.
bool HoldsOnlyShortcuts(const std::wstring& folder);

}  // namespace kv
