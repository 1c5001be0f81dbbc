// Starting and watching other programs from a test: the client stand-in, the Netscape stand-in
// and small probes. A ChildProcess ends its program when it goes out of scope if it is still
// running, so that a failing test leaves nothing behind in the prefix.
#pragma once

#include <windows.h>

#include <string>

#include "platform/raii.h"

namespace kv::test {

class ChildProcess {
public:
    ChildProcess() = default;
    // Starts `commandLine`; Started() tells whether it did.
    explicit ChildProcess(const std::string& commandLine) {
        STARTUPINFOA si{};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi{};
        std::string line = commandLine;
        if (CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
            process_.reset(pi.hProcess);
            CloseHandle(pi.hThread);
            id_ = pi.dwProcessId;
        }
    }
    ChildProcess(ChildProcess&&) noexcept = default;
    ChildProcess& operator=(ChildProcess&&) noexcept = default;
    ~ChildProcess() { Kill(); }

    bool Started() const { return static_cast<bool>(process_); }
    DWORD Id() const { return id_; }
    HANDLE Handle() const { return process_.get(); }
    bool Running() const { return process_ && WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT; }
    // Whether the program ended within `ms`.
    bool WaitExit(DWORD ms) const { return process_ && WaitForSingleObject(process_.get(), ms) == WAIT_OBJECT_0; }
    void Kill() {
        if (Running()) {
            TerminateProcess(process_.get(), 99);
            WaitForSingleObject(process_.get(), 5000);
        }
    }

    // A top-level window of this process with the class and/or title given (null: any).
    HWND FindTopWindow(const char* className, const char* title) const {
        Search search{id_, className, title, nullptr};
        EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&search));
        return search.found;
    }
    // Waits up to `ms` for such a window to appear.
    HWND WaitForTopWindow(const char* className, const char* title, DWORD ms = 20000) const {
        DWORD start = GetTickCount();
        do {
            if (HWND w = FindTopWindow(className, title)) return w;
            if (!Running()) return nullptr;
            Sleep(50);
        } while (GetTickCount() - start < ms);
        return nullptr;
    }

private:
    struct Search {
        DWORD pid;
        const char* className;
        const char* title;
        HWND found;
    };
    static BOOL CALLBACK MatchWindow(HWND w, LPARAM p) {
        auto* s = reinterpret_cast<Search*>(p);
        DWORD pid = 0;
        GetWindowThreadProcessId(w, &pid);
        if (pid != s->pid) return TRUE;
        char text[256] = {};
        if (s->className && (!GetClassNameA(w, text, sizeof text) || lstrcmpA(text, s->className) != 0)) return TRUE;
        if (s->title && (GetWindowTextA(w, text, sizeof text) < 0 || lstrcmpA(text, s->title) != 0)) return TRUE;
        s->found = w;
        return FALSE;
    }

    UniqueHandleObj process_;
    DWORD id_ = 0;
};

// A Linux path of the build as the Windows program sees it (Wine maps Z: to /).
inline std::string WinPath(std::string path) {
    for (char& c : path)
        if (c == '/') c = '\\';
    return "Z:" + path;
}

// A fresh, empty folder under the prefix's temporary folder, removed with its content at the end.
class TempFolder {
public:
    explicit TempFolder(const std::string& name) {
        char tmp[MAX_PATH] = {};
        GetTempPathA(MAX_PATH, tmp);
        path_ = std::string(tmp) + name + "-" + std::to_string(GetCurrentProcessId());
        Remove(path_);
        CreateDirectoryA(path_.c_str(), nullptr);
    }
    ~TempFolder() { Remove(path_); }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    // The folder, without a trailing backslash.
    const std::string& Path() const { return path_; }

private:
    static void Remove(const std::string& dir) {
        WIN32_FIND_DATAA fd;
        UniqueFindHandle find(FindFirstFileA((dir + "\\*").c_str(), &fd));
        if (find) {
            do {
                std::string name = fd.cFileName;
                if (name == "." || name == "..") continue;
                std::string full = dir + "\\" + name;
                if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                    Remove(full);
                } else {
                    SetFileAttributesA(full.c_str(), FILE_ATTRIBUTE_NORMAL);
                    DeleteFileA(full.c_str());
                }
            } while (FindNextFileA(find.get(), &fd));
        }
        find.reset();
        RemoveDirectoryA(dir.c_str());
    }
    std::string path_;
};

}  // namespace kv::test
