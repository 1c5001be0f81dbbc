#include "setupaids/launch.h"

#include <windows.h>

#include "platform/raii.h"

namespace kv::setupaids {

std::string LaunchCommandLine(const std::string& program, const std::string& arguments) {
    std::string line = program.find_first_of(" \t") == std::string::npos ? program : "\"" + program + "\"";
    return line + arguments;
}

std::string LaunchProgramPath(const char* path) {
    if (!path || !*path) return {};
    DWORD needed = GetShortPathNameA(path, nullptr, 0);
    if (needed) {
        std::string shortPath(needed, '\0');
        DWORD length = GetShortPathNameA(path, shortPath.data(), needed);
        if (length && length < needed) {
            shortPath.resize(length);
            return shortPath;
        }
    }
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES ? std::string(path) : std::string();
}

bool RunAndWait(const std::string& commandLine) {
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    std::string line = commandLine;  // CreateProcess may write into it
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return false;
    UniqueHandleObj process(pi.hProcess);
    UniqueHandleObj thread(pi.hThread);

    HANDLE handles[] = {process.get()};
    for (;;) {
        DWORD woke = MsgWaitForMultipleObjects(1, handles, FALSE, INFINITE, QS_ALLINPUT);
        if (woke != WAIT_OBJECT_0 + 1) break;  // the program ended, or the wait itself failed
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) return true;
            DispatchMessageA(&msg);
        }
    }
    return true;
}

}  // namespace kv::setupaids
