#include "platform/dialog.h"

namespace kv {

INT_PTR Dialog::DoModal(HWND parent) {
    return DialogBoxParamW(resources_, MAKEINTRESOURCEW(templateId_), parent, Procedure,
                           reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK Dialog::Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<Dialog*>(GetWindowLongPtrW(window, DWLP_USER));
    if (message == WM_INITDIALOG) {
        self = reinterpret_cast<Dialog*>(lParam);
        SetWindowLongPtrW(window, DWLP_USER, lParam);
        self->window_ = window;
        return self->OnInitDialog() ? TRUE : FALSE;
    }
    if (!self) return FALSE;
    INT_PTR result = FALSE;
    if (self->OnMessage(message, wParam, lParam, result)) {
        SetWindowLongPtrW(window, DWLP_MSGRESULT, result);
        return TRUE;
    }
    if (message == WM_COMMAND) {
        self->OnCommand(LOWORD(wParam));
        return TRUE;
    }
    if (message == WM_NCDESTROY) self->window_ = nullptr;
    return FALSE;
}

}  // namespace kv
