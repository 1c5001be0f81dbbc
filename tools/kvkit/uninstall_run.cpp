// kvkit upgrade <kvupgrade.exe> [--shots <folder>]: runs the client's upgrade and answers each of
// its messages, printing them (and saving a picture of each with --shots).
//
// kvkit uninstall <uninstall.exe> [--shots <folder>] [--refusing-client <Korvane.exe>]: runs the
// uninstall program as a person would: answers Yes, follows the rows as they are ticked, and
// clicks Finished once it is enabled. With --shots, pictures of the screen are saved as BMP files
// at each stage: the confirmation, the progress dialog with three rows ticked, and the end. With
// --refusing-client, a client that will not close is started first, so that the run stops with
// its message (pictured as well), and the client is ended afterwards.
#include <windows.h>

#include <cstdio>
#include <string>

#include "platform/raii.h"
#include "platform/text.h"

namespace {

constexpr int kChecks[] = {1025, 1024, 1023, 1022, 1026};

void Print(const std::wstring& text) { std::fputs(kv::ToAnsi(text + L"\n").c_str(), stdout); }

HWND WaitForDialog(const wchar_t* caption, HANDLE process, DWORD ms = 20000) {
    for (DWORD start = GetTickCount(); GetTickCount() - start < ms; Sleep(20)) {
        if (HWND w = FindWindowW(L"#32770", caption); w && IsWindowVisible(w)) return w;
        if (WaitForSingleObject(process, 0) == WAIT_OBJECT_0) return nullptr;
    }
    return nullptr;
}

// The whole screen (in a virtual desktop: the desktop and the windows on it) as a 24-bit BMP.
bool SaveScreen(const std::wstring& path) {
    HDC screen = GetDC(nullptr);
    int width = GetSystemMetrics(SM_CXSCREEN), height = GetSystemMetrics(SM_CYSCREEN);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), width, height, 1, 24, BI_RGB};
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    bool copied = BitBlt(memory, 0, 0, width, height, screen, 0, 0, SRCCOPY);
    GdiFlush();
    DWORD stride = ((static_cast<DWORD>(width) * 3 + 3) & ~3u), size = stride * static_cast<DWORD>(height);
    BITMAPFILEHEADER file{0x4D42, static_cast<DWORD>(sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER) + size), 0,
                          0, sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER)};
    bool saved = false;
    if (copied) {
        kv::UniqueHandleObj out(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        DWORD written = 0;
        saved = out.get() != INVALID_HANDLE_VALUE && WriteFile(out.get(), &file, sizeof file, &written, nullptr) &&
                WriteFile(out.get(), &info.bmiHeader, sizeof info.bmiHeader, &written, nullptr) &&
                WriteFile(out.get(), bits, size, &written, nullptr);
    }
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    if (saved) Print(L"  picture: " + path);
    return saved;
}

}  // namespace

namespace {

kv::UniqueHandleObj Start(std::wstring line) {
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return {};
    CloseHandle(pi.hThread);
    return kv::UniqueHandleObj(pi.hProcess);
}

}  // namespace

int UpgradeCommand(const std::wstring& program, const std::wstring& shots) {
    kv::UniqueHandleObj process = Start(L"\"" + program + L"\"");
    if (!process) {
        Print(L"could not start " + program);
        return 1;
    }
    int shown = 0;
    while (WaitForSingleObject(process.get(), 20) == WAIT_TIMEOUT) {
        HWND box = FindWindowW(L"#32770", L"Korvane Upgrade");
        if (!box || !IsWindowVisible(box)) continue;
        Sleep(200);  // let it finish painting
        std::wstring text;
        for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
            wchar_t cls[16] = {}, line[1024] = {};
            GetClassNameW(child, cls, 16);
            if (lstrcmpiW(cls, L"Static") == 0 && GetWindowTextW(child, line, 1024) > 0) text += line;
        }
        Print(L"  message: \"" + text + L"\" -> OK");
        if (!shots.empty()) SaveScreen(shots + L"\\upgrade-message-" + std::to_wstring(++shown) + L".bmp");
        PostMessageW(box, WM_COMMAND, IDOK, 0);
        for (int i = 0; i < 100 && IsWindow(box); ++i) Sleep(20);
    }
    DWORD code = 1;
    GetExitCodeProcess(process.get(), &code);
    Print(code == 0 ? L"the upgrade succeeded" : L"the upgrade did not succeed");
    return code == 0 ? 0 : 1;
}

int UninstallCommand(const std::wstring& program, const std::wstring& shots, const std::wstring& refusingClient) {
    kv::UniqueHandleObj client;
    if (!refusingClient.empty()) {
        client = Start(L"\"" + refusingClient + L"\" /refuse-close");
        for (int i = 0; i < 200 && !FindWindowW(nullptr, L"Korvane Agent"); ++i) Sleep(100);
        Print(L"a client that will not close is running (the uninstall waits 40 s for it)");
    }
    kv::UniqueHandleObj process = Start(L"\"" + program + L"\"");
    if (!process) {
        Print(L"could not start " + program);
        return 1;
    }
    auto shot = [&](const wchar_t* name) {
        if (!shots.empty()) {
            Sleep(300);  // let the dialog finish painting
            SaveScreen(shots + L"\\" + name + L".bmp");
        }
    };

    HWND confirm = WaitForDialog(L"Uninstall", process.get());
    if (!confirm) {
        Print(L"the confirmation dialog did not appear");
        TerminateProcess(process.get(), 1);
        return 1;
    }
    Print(L"\"Are you sure you want to uninstall Korvane ?\" -> Yes");
    shot(L"uninstall-confirm");
    PostMessageW(confirm, WM_COMMAND, IDOK, 0);

    HWND progress = WaitForDialog(L"Uninstalling Korvane", process.get());
    int ticked = 0;
    bool finished = false;
    for (DWORD start = GetTickCount(); progress && GetTickCount() - start < 60000 && !finished; Sleep(10)) {
        while (ticked < 5 && IsWindowVisible(GetDlgItem(progress, kChecks[ticked]))) {
            wchar_t label[64] = {};
            GetDlgItemTextW(progress, 1012 + ticked, label, 64);
            Print(L"  row " + std::to_wstring(ticked + 1) + L" ticked: " + label);
            if (++ticked == 3) shot(L"uninstall-progress");
        }
        finished = IsWindowEnabled(GetDlgItem(progress, IDOK));
        HWND box = nullptr;
        while ((box = FindWindowExW(nullptr, box, L"#32770", nullptr)) && GetWindow(box, GW_OWNER) != progress) {
        }
        if (box) {
            shot(L"uninstall-stopped");
            Print(L"the uninstall stopped with a message; it is closed");
            PostMessageW(box, WM_COMMAND, IDOK, 0);
            Sleep(300);
            PostMessageW(progress, WM_COMMAND, IDCANCEL, 0);
            break;
        }
    }
    if (finished) {
        shot(L"uninstall-finished");
        Print(L"\"Finished\" is enabled -> clicked");
        PostMessageW(progress, WM_COMMAND, IDOK, 0);
    }
    DWORD code = 1;
    if (WaitForSingleObject(process.get(), 20000) != WAIT_OBJECT_0) TerminateProcess(process.get(), 1);
    GetExitCodeProcess(process.get(), &code);
    Print(L"uninstall.exe ended with exit code " + std::to_wstring(code));
    if (client) TerminateProcess(client.get(), 0);
    return (finished || client) && code == 0 ? 0 : 1;
}
