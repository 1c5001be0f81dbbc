// Starting a program for the installer and waiting for it while the caller's windows keep
// receiving their messages.
#pragma once

#include <string>

namespace kv::setupaids {

// The command line for `program` (a short 8.3 path, or a full one that has no short form) and
// the caller's argument text, appended exactly as given. A program path that contains a blank
// is quoted, so that the system cannot start a different program named by a prefix of it.
std::string LaunchCommandLine(const std::string& program, const std::string& arguments);

// The program path the command line starts with: the short form of `path`, else `path` itself
// when such a file or directory exists, else empty.
std::string LaunchProgramPath(const char* path);

// Starts `commandLine` and waits until the program has ended, dispatching the calling thread's
// messages meanwhile; a WM_QUIT ends the wait at once (and is consumed). False when the program
// could not be started.
bool RunAndWait(const std::string& commandLine);

}  // namespace kv::setupaids
