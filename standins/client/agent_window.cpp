#include "standins/client/agent_window.h"

#include "platform/hresult_error.h"

namespace kv::standin {
namespace {

constexpr wchar_t kAgentClass[] = L"KorvaneAgentStandIn";
constexpr wchar_t kPopupClass[] = L"KorvaneAgentStandInPopup";

LRESULT CALLBACK PlainProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    return DefWindowProcW(hwnd, msg, wp, lp);
}

void RegisterOnce(const wchar_t* name, WNDPROC proc) {
    WNDCLASSW existing = {};
    if (GetClassInfoW(GetModuleHandleW(nullptr), name, &existing)) return;
    WNDCLASSW wc = {};
    wc.lpfnWndProc = proc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = name;
    wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    if (!RegisterClassW(&wc)) ThrowLastError();
}

}  // namespace

AgentWindow::AgentWindow(const AgentOptions& options, std::function<void()> onClose,
                         std::function<long()> openDialogs)
    : options_(options),
      onClose_(std::move(onClose)),
      openDialogs_(std::move(openDialogs)),
      canCloseMessage_(RegisterWindowMessageW(L"KVcanCloseUI")) {
    RegisterOnce(kAgentClass, &AgentWindow::Proc);
    // Companions first: once the main window can be found, the whole client is up.
    if (options_.companions) OpenCompanions();
    hwnd_ = CreateWindowExW(0, kAgentClass, L"Korvane Agent", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                            CW_USEDEFAULT, 400, 300, nullptr, nullptr, GetModuleHandleW(nullptr), this);
    if (!hwnd_) ThrowLastError();
}

AgentWindow::~AgentWindow() {
    for (HWND w : companions_)
        if (IsWindow(w)) DestroyWindow(w);
    if (hwnd_ && IsWindow(hwnd_)) {
        SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
        DestroyWindow(hwnd_);
    }
}

void AgentWindow::OpenCompanions() {
    static const wchar_t* const kClasses[] = {L"KorvaneInfocenterClass", L"RQ_TBAR_WINDOW_CLASS",
                                              L"RQ_CAPTEXE_WINDOW_CLASS"};
    RegisterOnce(kPopupClass, &PlainProc);
    for (const wchar_t* cls : kClasses) {
        RegisterOnce(cls, &PlainProc);
        HWND w = CreateWindowExW(0, cls, cls, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 200, 100,
                                 nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
        if (!w) ThrowLastError();
        companions_.push_back(w);
        if (options_.popups) {
            HWND p = CreateWindowExW(0, kPopupClass, L"Korvane", WS_POPUP, 0, 0, 100, 50, w, nullptr,
                                     GetModuleHandleW(nullptr), nullptr);
            if (!p) ThrowLastError();
            companions_.push_back(p);
        }
    }
}

LRESULT CALLBACK AgentWindow::Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_NCCREATE) {
        auto* cs = reinterpret_cast<CREATESTRUCTW*>(lp);
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
        static_cast<AgentWindow*>(cs->lpCreateParams)->hwnd_ = hwnd;
    }
    auto* self = reinterpret_cast<AgentWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (self) return self->Handle(msg, wp, lp);
    return DefWindowProcW(hwnd, msg, wp, lp);
}

LRESULT AgentWindow::Handle(UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == canCloseMessage_) {
        if (options_.neverAnswer) {
            Sleep(10 * 60 * 1000);
            return 0;
        }
        bool busy = queries_ < options_.busyAnswers;
        ++queries_;
        if (openDialogs_ && openDialogs_() > 0) busy = true;
        return busy ? 1 : 0;
    }
    switch (msg) {
    case WM_CLOSE:
        if (options_.refuseClose) return 0;
        // Closing calls out to extensions and sinks; a sender waiting on this message must not
        // hold that up (nor may COM calls leave from inside a sent message).
        if (InSendMessage()) ReplyMessage(0);
        if (onClose_) onClose_();
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(hwnd_, msg, wp, lp);
    }
}

}  // namespace kv::standin
