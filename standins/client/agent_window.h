// The client's main window "Korvane Agent" and its companion windows, as the client program
// shows them. Used on the program's main thread only.
//
// The window answers the registered message "KVcanCloseUI": non-zero while a client dialog is
// open or for the first `busyAnswers` queries, then 0; with `neverAnswer` the handler blocks
// for ten minutes instead. WM_CLOSE runs `onClose` and ends the message loop unless
// `refuseClose` is set.
#pragma once

#include <windows.h>

#include <functional>
#include <vector>

namespace kv::standin {

struct AgentOptions {
    int busyAnswers = 0;
    bool neverAnswer = false;
    bool refuseClose = false;
    bool companions = false;
    bool popups = false;
};

class AgentWindow {
public:
    // openDialogs: how many client dialogs are open now (asked on every query).
    AgentWindow(const AgentOptions& options, std::function<void()> onClose,
                std::function<long()> openDialogs);
    ~AgentWindow();
    AgentWindow(const AgentWindow&) = delete;
    AgentWindow& operator=(const AgentWindow&) = delete;

    HWND Handle() const noexcept { return hwnd_; }

private:
    static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
    LRESULT Handle(UINT msg, WPARAM wp, LPARAM lp);
    void OpenCompanions();

    AgentOptions options_;
    std::function<void()> onClose_;
    std::function<long()> openDialogs_;
    UINT canCloseMessage_;
    int queries_ = 0;
    HWND hwnd_ = nullptr;
    std::vector<HWND> companions_;
};

}  // namespace kv::standin
