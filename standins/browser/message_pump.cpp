#include "standins/browser/message_pump.h"

namespace kv::browser {
namespace {

// Dispatches what is waiting now. False when WM_QUIT was taken (and posted again).
bool DispatchWaiting(bool* dispatchedAny) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(msg.wParam));
            return false;
        }
        if (dispatchedAny) *dispatchedAny = true;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return true;
}

DWORD Elapsed(DWORD start) { return GetTickCount() - start; }

}  // namespace

bool PumpUntilIdle(DWORD timeoutMs) {
    DWORD start = GetTickCount();
    for (;;) {
        bool any = false;
        if (!DispatchWaiting(&any)) return false;
        if (!any) return true;
        if (Elapsed(start) >= timeoutMs) return false;
    }
}

bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    for (;;) {
        if (done()) return true;
        DWORD spent = Elapsed(start);
        if (spent >= timeoutMs) return false;
        MsgWaitForMultipleObjectsEx(0, nullptr, timeoutMs - spent, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
        if (!DispatchWaiting(nullptr)) return done();
    }
}

}  // namespace kv::browser
