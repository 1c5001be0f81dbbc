// The version rules of the installer's browser and automation-runtime checks, apart from the
// files they are read from.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace kv::setupaids {

// Whether a shell component of version (major.minor from `versionMS`, build from `versionLS`)
// is 4.70.1215 or later. The build is the high word of `versionLS`, or its low word when the high
// word is 0.
bool IsShellVersionIE301OrHigher(DWORD versionMS, DWORD versionLS);

// Whether an automation runtime "FileVersion" text is newer than 2.1: the text up to its second
// '.' read as a decimal number ("2.20.4118" passes, "2.10" and "2.1" do not).
bool IsOleAutVersionTextNewEnough(const std::string& text);

// The full path of `file` ("\NAME.DLL") in the system directory, when the directory can be read.
std::optional<std::string> SystemFile(const char* file);

// The whole version resource of `path`; empty when it has none or it cannot be read.
std::vector<char> ReadVersionResource(const std::string& path);

}  // namespace kv::setupaids
