// The registry and initialisation-file side of uninstalling the client: deleting key trees,
// the client's own keys and browser associations, Navigator's viewer entries in win.ini, and
// putting back the wallpaper the client replaced.
//
// Free functions for the uninstall program's one thread.
#pragma once

#include <windows.h>

#include <string_view>

namespace kv {

// Deletes `subkey` of `root` with every subkey and value below it. Subkeys and values that can't
// be deleted are passed over; the key itself is still tried. Answers the result of deleting the
// key itself (or of opening it). An empty subkey of a predefined root is refused
// (ERROR_INVALID_PARAMETER): that would name the root itself.
LSTATUS DeleteKeyTree(HKEY root, std::wstring_view subkey);

// The client's registry entries and browser associations, in HKCU, HKLM and HKCR. The company
// key "Software\Korvane" goes as a whole only when the one subkey left in it is "Korvane".
void RemoveRegistryEntries();

// Navigator's "Viewers" and "Suffixes" entries for the client's two types in win.ini.
void RemoveNavigatorIniEntries();

// Puts back the wallpaper saved under HKCU "Software\Korvane\Korvane\FallBack", if any.
void RestoreWallpaper();

// Calls DllUnregisterServer of the in-process server registered for `clsid` ("{...}"); a
// missing key, relative path, library or export skips it.
void UnregisterServer(std::wstring_view clsid);

}  // namespace kv
