// The uninstall program's two dialogs: the confirmation (template 102), which runs the progress
// dialog (template 103) when the user answers Yes. The progress dialog drives the run on its
// timer: each step waits for the next tick, so its five rows are ticked off one by one while
// the dialog keeps painting.
//
// Both run modally on the program's one thread.
#pragma once

#include "platform/dialog.h"
#include "uninstall/uninstall_run.h"

namespace kv {

class UninstallDialog : public Dialog {
public:
    explicit UninstallDialog(HINSTANCE resources);

protected:
    bool OnInitDialog() override;
    void OnCommand(int id) override;
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR& result) override;
};

class UninstallProgressDialog : public Dialog, private UninstallProgress {
public:
    static constexpr UINT_PTR kTimerId = 1335;
    static constexpr UINT kTimerPeriodMs = 500;

    explicit UninstallProgressDialog(HINSTANCE resources);

protected:
    bool OnInitDialog() override;
    bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR& result) override;

private:
    void WaitForTick() override;
    void TickRow(int row) override;
    void PostTickAndWait() override;
    void EnableFinished() override;
    HWND Owner() override { return Window(); }

    bool waitingForTick_ = false;
};

}  // namespace kv
