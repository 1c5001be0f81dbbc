#include "framework/notification_window.h"

#include "platform/com_object.h"

namespace kv {

HWND CreateNotificationWindow(const wchar_t* className, WNDPROC proc) {
    WNDCLASSW wc = {};
    if (!GetClassInfoW(ThisModule(), className, &wc)) {
        wc = {};
        wc.lpfnWndProc = proc;
        wc.hInstance = ThisModule();
        wc.lpszClassName = className;
        if (!RegisterClassW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) ThrowLastError();
    }
    HWND hwnd = CreateWindowExW(WS_EX_TOOLWINDOW, className, L"", 0, 0, 0, 0, 0, GetActiveWindow(), nullptr,
                                ThisModule(), nullptr);
    if (!hwnd) ThrowLastError();
    return hwnd;
}

}  // namespace kv
