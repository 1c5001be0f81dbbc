// The hidden window a data control's notification queue posts to, and the lock the control holds
// while it fires events to the page. Both belong to the control's (the page's) thread.
#pragma once

#include <windows.h>

namespace kv {

// A window of class `className` (registered with `proc` on first use in this module): no style
// bits, a tool window, owned by the window that is active when it is made. Throws on failure.
HWND CreateNotificationWindow(const wchar_t* className, WNDPROC proc);

// Holds a critical section for one scope.
class Locked {
public:
    explicit Locked(CRITICAL_SECTION& cs) : cs_(cs) { EnterCriticalSection(&cs_); }
    ~Locked() { LeaveCriticalSection(&cs_); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    CRITICAL_SECTION& cs_;
};

}  // namespace kv
