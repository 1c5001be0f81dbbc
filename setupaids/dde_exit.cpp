#include "setupaids/dde_exit.h"

#include <windows.h>
#include <dde.h>

#include <algorithm>
#include <vector>

#include "platform/raii.h"

namespace kv::setupaids {

namespace {

constexpr char kClientClass[] = "KvKitDdeInitiator";
constexpr UINT kInitiateTimeoutMs = 3000;
constexpr DWORD kTerminateWaitMs = 3000;

struct Conversations {
    std::vector<HWND> open;        // servers that acknowledged the initiate
    std::vector<HWND> terminated;  // servers that answered our terminate
};

LRESULT CALLBACK ClientProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* state = reinterpret_cast<Conversations*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (state && message == WM_DDE_ACK) {
        // The answer to an initiate carries the server's own atoms, which the client frees.
        if (LOWORD(lParam)) GlobalDeleteAtom(LOWORD(lParam));
        if (HIWORD(lParam)) GlobalDeleteAtom(HIWORD(lParam));
        state->open.push_back(reinterpret_cast<HWND>(wParam));
        return 0;
    }
    if (state && message == WM_DDE_TERMINATE) {
        state->terminated.push_back(reinterpret_cast<HWND>(wParam));
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

bool AllTerminated(const Conversations& state) {
    return std::all_of(state.open.begin(), state.open.end(), [&](HWND server) {
        return !IsWindow(server) ||
               std::find(state.terminated.begin(), state.terminated.end(), server) != state.terminated.end();
    });
}

}  // namespace

int ConnectToEveryServer(const char* service, const char* topic) {
    HINSTANCE instance = GetModuleHandleA(nullptr);
    WNDCLASSA wc{};
    wc.lpfnWndProc = ClientProc;
    wc.hInstance = instance;
    wc.lpszClassName = kClientClass;
    RegisterClassA(&wc);  // fails harmlessly when registered by an earlier call
    UniqueHwnd client(CreateWindowA(kClientClass, "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, instance, nullptr));
    if (!client) return 0;
    Conversations state;
    SetWindowLongPtrA(client.get(), GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&state));

    ATOM app = GlobalAddAtomA(service);
    ATOM subject = GlobalAddAtomA(topic);
    DWORD_PTR ignored = 0;
    // Servers acknowledge by sending WM_DDE_ACK to the client window during the broadcast.
    SendMessageTimeoutA(HWND_BROADCAST, WM_DDE_INITIATE, reinterpret_cast<WPARAM>(client.get()),
                        MAKELPARAM(app, subject), SMTO_ABORTIFHUNG, kInitiateTimeoutMs, &ignored);
    if (app) GlobalDeleteAtom(app);
    if (subject) GlobalDeleteAtom(subject);

    for (HWND server : state.open) PostMessageA(server, WM_DDE_TERMINATE, reinterpret_cast<WPARAM>(client.get()), 0);
    DWORD start = GetTickCount();
    while (!AllTerminated(state) && GetTickCount() - start < kTerminateWaitMs) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageA(&msg, client.get(), 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    }
    SetWindowLongPtrA(client.get(), GWLP_USERDATA, 0);
    return static_cast<int>(state.open.size());
}

}  // namespace kv::setupaids
