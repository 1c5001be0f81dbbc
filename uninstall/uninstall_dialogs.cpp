#include "uninstall/uninstall_dialogs.h"

#include "uninstall/uninstall_res.h"

namespace kv {

namespace {

void SetDialogIcons(HWND window, HINSTANCE resources) {
    auto icon = [&](int size) {
        return static_cast<HICON>(LoadImageW(resources, MAKEINTRESOURCEW(IDI_UNINSTALL), IMAGE_ICON, size, size, 0));
    };
    SendMessageW(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon(GetSystemMetrics(SM_CXICON))));
    SendMessageW(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon(GetSystemMetrics(SM_CXSMICON))));
}

}  // namespace

UninstallDialog::UninstallDialog(HINSTANCE resources) : Dialog(resources, IDD_UNINSTALL) {}

bool UninstallDialog::OnInitDialog() {
    SetDialogIcons(Window(), Resources());
    return true;
}

void UninstallDialog::OnCommand(int id) {
    if (id == IDOK) {
        ShowWindow(Window(), SW_HIDE);
        UninstallProgressDialog(Resources()).DoModal();
        End(IDOK);
    } else if (id == IDCANCEL) {
        End(IDCANCEL);
    }
}

bool UninstallDialog::OnMessage(UINT message, WPARAM, LPARAM, INT_PTR& result) {
    // Minimised, the dialog shows its icon in the middle of its client area.
    if (message != WM_PAINT || !IsIconic(Window())) return false;
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(Window(), &paint);
    SendMessageW(Window(), WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    RECT client;
    GetClientRect(Window(), &client);
    HICON icon = LoadIconW(Resources(), MAKEINTRESOURCEW(IDI_UNINSTALL));
    DrawIcon(dc, (client.right - GetSystemMetrics(SM_CXICON) + 1) / 2,
             (client.bottom - GetSystemMetrics(SM_CYICON) + 1) / 2, icon);
    EndPaint(Window(), &paint);
    result = 0;
    return true;
}

UninstallProgressDialog::UninstallProgressDialog(HINSTANCE resources) : Dialog(resources, IDD_UNINSTALL_PROGRESS) {}

bool UninstallProgressDialog::OnInitDialog() {
    SetDialogIcons(Window(), Resources());
    if (SetTimer(Window(), kTimerId, kTimerPeriodMs, nullptr) != 0) {
        PostMessageW(Window(), WM_APP, 0, 0);
    } else {
        MessageBoxW(Window(), L"Uninstall Failed", L"Aborting uninstall", MB_OK | MB_ICONSTOP);
    }
    return true;
}

bool UninstallProgressDialog::OnMessage(UINT message, WPARAM, LPARAM, INT_PTR& result) {
    switch (message) {
    case WM_TIMER:
        waitingForTick_ = false;
        return false;
    case WM_APP:
        // The template is not visible and the run pumps messages itself: show the dialog now,
        // or it would stay hidden until the run has ended.
        ShowWindow(Window(), SW_SHOW);
        UpdateWindow(Window());
        RunUninstall(Resources(), *this);
        result = 0;
        return true;
    default:
        return false;
    }
}

void UninstallProgressDialog::WaitForTick() {
    waitingForTick_ = true;
    MSG msg;
    while (waitingForTick_) {
        BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got <= 0) {
            // A quit request ends the wait and is left for the loop that owns it.
            if (got == 0) PostQuitMessage(static_cast<int>(msg.wParam));
            break;
        }
        if (!IsDialogMessageW(Window(), &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    waitingForTick_ = false;
}

void UninstallProgressDialog::TickRow(int row) {
    static constexpr int kBullets[] = {IDC_BULLET1, IDC_BULLET2, IDC_BULLET3, IDC_BULLET4, IDC_BULLET5};
    static constexpr int kChecks[] = {IDC_CHECK1, IDC_CHECK2, IDC_CHECK3, IDC_CHECK4, IDC_CHECK5};
    if (row < 1 || row > 5) return;
    ShowWindow(GetDlgItem(Window(), kBullets[row - 1]), SW_HIDE);
    ShowWindow(GetDlgItem(Window(), kChecks[row - 1]), SW_SHOW);
    RedrawWindow(Window(), nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN | RDW_UPDATENOW);
}

void UninstallProgressDialog::PostTickAndWait() {
    PostMessageW(Window(), WM_TIMER, kTimerId, 0);
    WaitForTick();
}

void UninstallProgressDialog::EnableFinished() { EnableWindow(GetDlgItem(Window(), IDOK), TRUE); }

}  // namespace kv
