// The uninstall run: what the progress dialog does between its ticks, from reading the
// application name to deleting the screen saver. Apart from a client that cannot be stopped,
// every failure is passed over and the run goes on.
//
// Runs on the program's user-interface thread, inside the progress dialog's message handler.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace kv {

// The dialog's side of the run.
class UninstallProgress {
public:
    virtual ~UninstallProgress() = default;
    // Waits for the next tick of the dialog's timer, keeping the dialog painted.
    virtual void WaitForTick() = 0;
    // Marks row 1..5 done.
    virtual void TickRow(int row) = 0;
    // Posts a timer message to the dialog and waits for it: returns as soon as it is handled.
    virtual void PostTickAndWait() = 0;
    // Lets the user leave through "Finished".
    virtual void EnableFinished() = 0;
    // The window that owns a message box of the run.
    virtual HWND Owner() = 0;
};

// The CLSIDs of the kit's three servers, in the order they are unregistered.
extern const wchar_t* const kKitServers[3];

// The client's application name from its Layout key; "Korvane" when missing or empty.
std::wstring ApplicationName();

// The folder that holds the client's installation and is to be removed after it when empty:
// the parent of `installDir` when that ends in "\Korvane\Korvane\". Empty otherwise.
std::wstring CompanyFolder(std::wstring_view installDir);

// Whether `name` can stand as a file name on its own (no folder, no wildcard, not "." or "..").
bool IsPlainFileName(std::wstring_view name);

// The client's shortcuts and Start-menu folders, all-users and per-user.
void RemoveShortcuts(const std::wstring& applicationName);

// Steps 1 to 11 of the uninstall. `resources` is the program's module (dialog 101, string 1001).
void RunUninstall(HINSTANCE resources, UninstallProgress& progress);

}  // namespace kv
