// Starts the client program Korvane.exe of this build for a test and finds its main window.
// The process is ended when the object goes (if it is still running).
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace kv::test {

// Full path of the built client program, found from this test program's own location.
std::wstring ClientProgramPath();

class ClientProcess {
public:
    explicit ClientProcess(const std::wstring& arguments);
    ~ClientProcess();
    ClientProcess(const ClientProcess&) = delete;
    ClientProcess& operator=(const ClientProcess&) = delete;

    DWORD Id() const noexcept { return pid_; }
    HANDLE Handle() const noexcept { return process_; }
    // The process's top-level window titled "Korvane Agent" (waits up to `timeoutMs`).
    HWND MainWindow(DWORD timeoutMs = 20000) const;
    // Whether the process ends within `timeoutMs`.
    bool WaitExit(DWORD timeoutMs) const;

private:
    HANDLE process_ = nullptr;
    DWORD pid_ = 0;
};

// Top-level windows of process `pid`, visible or not, owned ones included.
std::vector<HWND> TopLevelWindowsOf(DWORD pid);
std::wstring ClassOf(HWND hwnd);
std::wstring TitleOf(HWND hwnd);

}  // namespace kv::test
