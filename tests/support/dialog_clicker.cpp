#include "tests/support/dialog_clicker.h"

namespace kv::test {

HWND FindDialog(const std::wstring& caption) { return FindWindowW(L"#32770", caption.c_str()); }

namespace {
BOOL CALLBACK CollectText(HWND child, LPARAM param) {
    wchar_t cls[32] = {};
    GetClassNameW(child, cls, 32);
    if (lstrcmpiW(cls, L"Static") == 0) {
        int n = GetWindowTextLengthW(child);
        std::wstring t(static_cast<size_t>(n) + 1, L'\0');
        GetWindowTextW(child, t.data(), n + 1);
        t.resize(static_cast<size_t>(n));
        auto* out = reinterpret_cast<std::wstring*>(param);
        if (!t.empty()) {
            if (!out->empty()) out->push_back(L'\n');
            out->append(t);
        }
    }
    return TRUE;
}
}  // namespace

DialogClicker::DialogClicker(std::wstring caption, int button, DWORD timeoutMs)
    : caption_(std::move(caption)), button_(button), timeoutMs_(timeoutMs), thread_([this] { Run(); }) {}

DialogClicker::~DialogClicker() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

bool DialogClicker::Stop() {
    stop_ = true;
    return Wait();
}

bool DialogClicker::Wait() {
    if (thread_.joinable()) thread_.join();
    return clicked_;
}

void DialogClicker::Run() {
    DWORD start = GetTickCount();
    while (!stop_ && (timeoutMs_ == kUntilStopped || GetTickCount() - start < timeoutMs_)) {
        if (HWND dlg = FindDialog(caption_)) {
            // The dialog's window exists before its controls and their texts do: wait until it is
            // shown with its text (at most 5 s; a dialog without any text is clicked after that).
            for (DWORD seen = GetTickCount(); GetTickCount() - seen < 5000 && !stop_; Sleep(20)) {
                text_.clear();
                if (IsWindowVisible(dlg)) EnumChildWindows(dlg, CollectText, reinterpret_cast<LPARAM>(&text_));
                if (!text_.empty()) break;
            }
            PostMessageW(dlg, WM_COMMAND, MAKEWPARAM(button_, BN_CLICKED),
                         reinterpret_cast<LPARAM>(GetDlgItem(dlg, button_)));
            clicked_ = true;
            return;
        }
        Sleep(20);
    }
}

}  // namespace kv::test
