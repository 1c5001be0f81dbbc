// The client-installation object of the uninstall program: it finds where the client is
// installed, keeps the upgrade log in the client's "data" directory, and stops a running client
// through its main window ("KVcanCloseUI", then WM_CLOSE, then a wait for its process).
//
// Runs on the program's user-interface thread. The log file is one per process and shared by
// every CUpgrader; the destructor closes it.
#pragma once

#include <windows.h>

#include <cstddef>

namespace kv {

class CUpgrader {
public:
    // `resources` is the module whose resources hold dialog 101 (the program's own).
    explicit CUpgrader(HINSTANCE resources) noexcept : resources_(resources) {}
    ~CUpgrader();
    CUpgrader(const CUpgrader&) = delete;
    CUpgrader& operator=(const CUpgrader&) = delete;

    // The client's root directory from the App Paths entry of "Korvane.exe", its last component
    // "program" cut off (the trailing backslash kept). False when the entry is missing, is not
    // text, or does not fit in `size` bytes with its terminating zero.
    bool GetClientDirectory(char* buffer, size_t size) const;

    // `name` unchanged when it is absolute, else the client's root directory joined with it by
    // one backslash. False when the root is unknown or the result does not fit in `size`.
    bool ResolvePath(const char* name, char* buffer, size_t size) const;

    // Writes one printf-formatted line, exactly as formatted, to "upgrade.log" in the client's
    // "data" directory; the file is opened (and emptied) on the first line after start or after
    // it was closed. A line that cannot be written is dropped.
    void Log(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // Closes the log.
    void Log();

    // Whether the client's main window exists.
    bool IsClientRunning() const;

    // Asks a running client to close and waits until its process has ended, showing the wait
    // dialog while the user has a client dialog open. True once no client is running.
    bool StopClient();

private:
    HINSTANCE resources_;
};

}  // namespace kv
