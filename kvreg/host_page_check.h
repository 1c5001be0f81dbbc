// The directory control works only on the local page of the directory channel: the channel
// whose folder holds the page must be privileged (mode 2), secure (security flag 0x2), or named
// by HKEY_CURRENT_USER\Software\Korvane\Korvane\Global "ChnDirUpdateChannel".
#pragma once

#include <windows.h>
#include <ocidl.h>

#include <optional>
#include <string>

#include "korvane_client.h"

namespace kv {

// The name the registry gives the directory channel: a REG_SZ of at most 259 characters
// (terminated, read with query access); nothing when the key or value is missing, of another
// type, or too long.
std::optional<std::string> DirectoryChannelName();

// Throws E_FAIL unless the page of `site` is the directory channel's local page, also when the
// host or the client fails while it is checked.
void CheckDirectoryPage(IOleClientSite* site, IClientApp* app);

}  // namespace kv
