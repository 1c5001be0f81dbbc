// A modeless dialog with its own message loop, shown while the user closes a dialog the client
// has open. Every 500 ms it asks the client's main window "KVcanCloseUI"; it ends itself when the
// client answers 0 or the question fails, and cannot be closed by the user.
//
// Used only on the thread that runs it, and only inside one Run() call.
#pragma once

#include <windows.h>

namespace kv {

class WaitForUiDialog {
public:
    // `resources` holds dialog template `templateId`; `client` is the client's main window.
    WaitForUiDialog(HINSTANCE resources, int templateId, HWND client) noexcept
        : resources_(resources), templateId_(templateId), client_(client) {}
    virtual ~WaitForUiDialog() = default;
    WaitForUiDialog(const WaitForUiDialog&) = delete;
    WaitForUiDialog& operator=(const WaitForUiDialog&) = delete;

    // Shows the dialog and pumps the thread's messages until the dialog has ended. Returns the
    // closed-by-itself flag (false when the dialog could not be created).
    bool Run();

    HWND Window() const noexcept { return window_; }

protected:
    // Receives every message of the dialog; returns whether it handled it.
    virtual bool DialogProc(UINT message, WPARAM wParam, LPARAM lParam);

private:
    static INT_PTR CALLBACK SharedDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    HINSTANCE resources_;
    int templateId_;
    bool closedByItself_ = false;
    HWND window_ = nullptr;
    HWND client_;
};

}  // namespace kv
