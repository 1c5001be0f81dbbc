#include "uninstall/wait_for_ui_dialog.h"

#include "uninstall/client_messages.h"

namespace kv {

namespace {

constexpr UINT_PTR kPollTimer = 100;
constexpr UINT kPollPeriodMs = 500;
constexpr UINT kAnswerTimeoutMs = 40000;

// The dialog being created: its procedure receives messages before CreateDialog returns, so the
// object cannot be handed over through the window's user data yet.
WaitForUiDialog* g_creating = nullptr;

}  // namespace

INT_PTR CALLBACK WaitForUiDialog::SharedDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<WaitForUiDialog*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (!self) {
        self = g_creating;
        if (!self) return FALSE;
        SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        self->window_ = window;
    }
    return self->DialogProc(message, wParam, lParam) ? TRUE : FALSE;
}

bool WaitForUiDialog::DialogProc(UINT message, WPARAM, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        SetTimer(window_, kPollTimer, kPollPeriodMs, nullptr);
        return true;
    case WM_TIMER: {
        DWORD_PTR answer = 0;
        LRESULT sent = SendMessageTimeoutA(client_, clientmsg::CanCloseUI, 0, 0, SMTO_NORMAL, kAnswerTimeoutMs,
                                           &answer);
        if (sent && answer != 0) return true;
        KillTimer(window_, kPollTimer);
        closedByItself_ = true;
        DestroyWindow(window_);
        return true;
    }
    case WM_DESTROY:
        PostQuitMessage(0);
        return true;
    default:
        return false;
    }
}

bool WaitForUiDialog::Run() {
    g_creating = this;
    HWND created = CreateDialogParamA(resources_, MAKEINTRESOURCEA(templateId_), nullptr, SharedDialogProc, 0);
    g_creating = nullptr;
    if (window_ && created) {
        MSG msg;
        // GetMessage answers -1 on an error; that ends the wait as WM_QUIT does.
        while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
            if (!window_ || !IsDialogMessageA(window_, &msg)) {
                TranslateMessage(&msg);
                DispatchMessageA(&msg);
            }
        }
    }
    if (window_ && IsWindow(window_)) {
        // Ended without its own say (a failing GetMessage): detach first, so that destroying it
        // leaves no quit message behind for the caller's loop.
        SetWindowLongPtrA(window_, GWLP_USERDATA, 0);
        DestroyWindow(window_);
    }
    window_ = nullptr;
    return closedByItself_;
}

}  // namespace kv
