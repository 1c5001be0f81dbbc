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

// The module this code is linked into: the class belongs to it, so that a copy of the DLL loaded
// later (perhaps at another address) never finds a class left behind by an earlier one.
HINSTANCE OwnModule() {
    HMODULE module = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<const char*>(&ClientProc), &module);
    return module;
}

// The initiating window's class, registered for one call and unregistered after its window.
class ClientClass {
public:
    ClientClass() : instance_(OwnModule()) {
        WNDCLASSA wc{};
        wc.lpfnWndProc = ClientProc;
        wc.hInstance = instance_;
        wc.lpszClassName = kClientClass;
        registered_ = RegisterClassA(&wc) != 0;
        // Another call of this same module, on another thread, may hold it for the moment.
        usable_ = registered_ || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
    }
    ~ClientClass() {
        if (registered_) UnregisterClassA(kClientClass, instance_);
    }
    ClientClass(const ClientClass&) = delete;
    ClientClass& operator=(const ClientClass&) = delete;
    bool Usable() const { return usable_; }
    HINSTANCE Instance() const { return instance_; }

private:
    HINSTANCE instance_;
    bool registered_ = false;
    bool usable_ = false;
};

}  // namespace

int ConnectToEveryServer(const char* service, const char* topic) {
    ClientClass windowClass;  // outlives the window below
    if (!windowClass.Usable()) return 0;
    UniqueHwnd client(CreateWindowA(kClientClass, "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, windowClass.Instance(),
                                    nullptr));
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
