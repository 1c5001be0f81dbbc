// Answers a message box or dialog the way a person would: a helper thread waits for a top-level
// window of class "#32770" with the given caption and clicks one of its buttons.
//
//   kv::test::DialogClicker yes(L"Warning", IDYES);
//   ... code that shows the message box ...
//   EXPECT_TRUE(yes.Wait());
//
// A check that expects no dialog watches for the whole step and stops the watch after it, so
// that a dialog that does appear is answered at once and the check fails instead of hanging:
//
//   kv::test::DialogClicker none(L"Warning", IDNO, kv::test::kUntilStopped);
//   ... code that must not ask ...
//   EXPECT_FALSE(none.Stop());
#pragma once

#include <windows.h>

#include <atomic>
#include <string>
#include <thread>

namespace kv::test {

// A watch that lasts until Stop() (or the end of the clicker's scope).
constexpr DWORD kUntilStopped = INFINITE;

class DialogClicker {
public:
    DialogClicker(std::wstring caption, int button, DWORD timeoutMs = 10000);
    ~DialogClicker();
    DialogClicker(const DialogClicker&) = delete;
    DialogClicker& operator=(const DialogClicker&) = delete;

    // Waits for the helper to finish; true when the dialog was found and the button clicked.
    bool Wait();
    // Ends the watch now; true when the dialog had appeared and was clicked.
    bool Stop();
    // The text of the dialog's static controls, as seen when it was clicked.
    const std::wstring& Text() const { return text_; }

private:
    void Run();

    std::wstring caption_;
    int button_;
    DWORD timeoutMs_;
    std::atomic<bool> stop_{false};
    bool clicked_ = false;
    std::wstring text_;
    std::thread thread_;
};

// Finds a visible or hidden top-level dialog with this caption (null when there is none).
HWND FindDialog(const std::wstring& caption);

}  // namespace kv::test
