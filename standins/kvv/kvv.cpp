// The client's registration program: "kvv.exe /REGSERVER" registers the client's components.
// The stand-in records "kvv.exe begin <arguments>", takes a moment as the real one does, then
// records "kvv.exe end" and exits 0; without /REGSERVER as its first argument it exits 2.
#include <windows.h>
#include <shellapi.h>

#include <string>

#include "standins/kvv/record.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    int count = 0;
    LPWSTR* args = CommandLineToArgvW(GetCommandLineW(), &count);
    std::string line = "kvv.exe begin";
    for (int i = 1; i < count; ++i) {
        char arg[512] = {};
        WideCharToMultiByte(CP_ACP, 0, args[i], -1, arg, sizeof arg - 1, nullptr, nullptr);
        line += " ";
        line += arg;
    }
    bool registering = count >= 2 && lstrcmpiW(args[1], L"/REGSERVER") == 0;
    LocalFree(args);
    kv::standin::Record(nullptr, line.c_str());
    if (!registering) return 2;
    Sleep(700);
    kv::standin::Record(nullptr, "kvv.exe end");
    return 0;
}
