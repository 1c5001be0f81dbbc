// A small dialog layer over plain Win32 dialogs: a class per dialog template, its messages
// routed to virtual handlers, run modally. In place of a framework's dialog application.
//
// A Dialog object lives on the thread that runs it and outlives its DoModal call.
#pragma once

#include <windows.h>

namespace kv {

class Dialog {
public:
    Dialog(HINSTANCE resources, int templateId) noexcept : resources_(resources), templateId_(templateId) {}
    virtual ~Dialog() = default;
    Dialog(const Dialog&) = delete;
    Dialog& operator=(const Dialog&) = delete;

    // Shows the dialog modally; answers what EndDialog was given, or -1 when it can't be made.
    INT_PTR DoModal(HWND parent = nullptr);
    // Ends a modal run with `result`.
    void End(INT_PTR result) { EndDialog(window_, result); }
    HWND Window() const noexcept { return window_; }
    HINSTANCE Resources() const noexcept { return resources_; }

protected:
    // WM_INITDIALOG; answers whether the system sets the focus.
    virtual bool OnInitDialog() { return true; }
    // WM_COMMAND from a control or the dialog manager: IDOK and IDCANCEL end the dialog.
    virtual void OnCommand(int id) {
        if (id == IDOK || id == IDCANCEL) End(id);
    }
    // Any other message; true when handled, with `result` the dialog procedure's answer.
    virtual bool OnMessage(UINT, WPARAM, LPARAM, INT_PTR& result) {
        result = FALSE;
        return false;
    }

private:
    static INT_PTR CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    HINSTANCE resources_;
    int templateId_;
    HWND window_ = nullptr;
};

}  // namespace kv
