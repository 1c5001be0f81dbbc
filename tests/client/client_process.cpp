#include "tests/client/client_process.h"

#include "platform/module_path.h"

namespace kv::test {
namespace {

struct Search {
    DWORD pid;
    std::vector<HWND> found;
};

BOOL CALLBACK Collect(HWND hwnd, LPARAM lp) {
    auto* s = reinterpret_cast<Search*>(lp);
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid == s->pid) s->found.push_back(hwnd);
    return TRUE;
}

}  // namespace

std::wstring ClientProgramPath() {
    std::wstring self = ModulePath(nullptr);  // ...\build\tests\<test>.exe
    std::wstring dir = self.substr(0, self.find_last_of(L'\\'));
    dir = dir.substr(0, dir.find_last_of(L'\\'));
    return dir + L"\\standins\\client\\Korvane.exe";
}

ClientProcess::ClientProcess(const std::wstring& arguments) {
    std::wstring cmd = L"\"" + ClientProgramPath() + L"\" " + arguments;
    STARTUPINFOW si = {sizeof si};
    PROCESS_INFORMATION pi = {};
    if (CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        CloseHandle(pi.hThread);
        process_ = pi.hProcess;
        pid_ = pi.dwProcessId;
    }
}

ClientProcess::~ClientProcess() {
    if (!process_) return;
    if (WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) {
        TerminateProcess(process_, 1);
        WaitForSingleObject(process_, 5000);
    }
    CloseHandle(process_);
}

HWND ClientProcess::MainWindow(DWORD timeoutMs) const {
    DWORD start = GetTickCount();
    do {
        for (HWND w : TopLevelWindowsOf(pid_))
            if (TitleOf(w) == L"Korvane Agent") return w;
        Sleep(50);
    } while (process_ && GetTickCount() - start < timeoutMs);
    return nullptr;
}

bool ClientProcess::WaitExit(DWORD timeoutMs) const {
    return process_ && WaitForSingleObject(process_, timeoutMs) == WAIT_OBJECT_0;
}

std::vector<HWND> TopLevelWindowsOf(DWORD pid) {
    Search s{pid, {}};
    EnumWindows(&Collect, reinterpret_cast<LPARAM>(&s));
    return s.found;
}

std::wstring ClassOf(HWND hwnd) {
    wchar_t name[256] = {};
    GetClassNameW(hwnd, name, 256);
    return name;
}

std::wstring TitleOf(HWND hwnd) {
    wchar_t text[256] = {};
    GetWindowTextW(hwnd, text, 256);
    return text;
}

}  // namespace kv::test
