// The client stand-in Korvane.exe, started for one test in a process of its own with the given
// switches, and ended at the end of the test if it is still running.
#pragma once

#include <string>

#include "tests/support/child_process.h"

namespace kv::test {

class KorvaneClient : public ChildProcess {
public:
    explicit KorvaneClient(const std::string& switches) : ChildProcess(WinPath(KV_KORVANE_EXE) + " " + switches) {}
    // The client's main window, once it is up (null when it did not appear).
    HWND WaitForMainWindow() const { return WaitForTopWindow(nullptr, "Korvane Agent"); }
};

}  // namespace kv::test
