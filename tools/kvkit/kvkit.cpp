// kvkit.exe: the kit's command-line tool. It runs inside a Wine prefix (or on Windows) and
// shows what the kit does: the tour of the demo, and views of the registry.
#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/com_object.h"
#include "platform/raii.h"
#include "platform/text.h"
#include "tools/kvkit/channel_page.h"

namespace kv::kvkit {
int ShowChannels();
}

namespace {

struct KitServer {
    const wchar_t* file;
    const wchar_t* progId;
};

const KitServer kServers[] = {
    {L"KvDC.dll", L"Korvane.Channel"},
    {L"KvReg.dll", L"Korvane.LocalRegistration"},
    {L"KvCDF.dll", L"Korvane.CDF"},
};

void Print(const std::wstring& text) { std::fputs(kv::ToAnsi(text + L"\n").c_str(), stdout); }

std::wstring RegString(HKEY root, const std::wstring& path, const wchar_t* name = nullptr) {
    DWORD size = 0;
    if (RegGetValueW(root, path.c_str(), name, RRF_RT_REG_SZ, nullptr, nullptr, &size) != ERROR_SUCCESS) return {};
    std::wstring value(size / sizeof(wchar_t) + 1, L'\0');
    if (RegGetValueW(root, path.c_str(), name, RRF_RT_REG_SZ, nullptr, value.data(), &size) != ERROR_SUCCESS)
        return {};
    value.resize(wcslen(value.c_str()));
    return value;
}

std::wstring ClsidText(const CLSID& clsid) {
    wchar_t text[40] = {};
    StringFromGUID2(clsid, text, 40);
    return text;
}

// The registered servers of the kit, one line each.
void ShowServers() {
    Print(L"Registered servers:");
    for (const auto& s : kServers) {
        CLSID clsid;
        if (FAILED(CLSIDFromProgID(s.progId, &clsid))) {
            Print(std::wstring(L"  ") + s.progId + L": not registered");
            continue;
        }
        std::wstring path = RegString(HKEY_CLASSES_ROOT, L"CLSID\\" + ClsidText(clsid) + L"\\InprocServer32");
        Print(std::wstring(L"  ") + s.progId + L" " + ClsidText(clsid) + L" -> " + path);
    }
}

int Tour() {
    wchar_t windows[MAX_PATH] = {};
    GetWindowsDirectoryW(windows, MAX_PATH);
    Print(L"== The Korvane desktop-integration kit ==");
    Print(std::wstring(L"Windows directory of the prefix: ") + windows);
    ShowServers();

    Print(L"Creating the story control by ProgID (class context 0x17):");
    CLSID clsid;
    kv::ComPtr<IDispatch> disp;
    kv::ComPtr<ITypeInfo> info;
    kv::Bstr name;
    if (SUCCEEDED(CLSIDFromProgID(L"Korvane.Channel", &clsid)) &&
        SUCCEEDED(CoCreateInstance(clsid, nullptr, 0x17, IID_IDispatch, reinterpret_cast<void**>(disp.GetAddressOf()))) &&
        SUCCEEDED(disp->GetTypeInfo(0, 0, info.GetAddressOf())) &&
        SUCCEEDED(info->GetDocumentation(MEMBERID_NIL, name.put(), nullptr, nullptr, nullptr))) {
        Print(L"  Korvane.Channel answers through its interface " + name.str() + L" (" +
              std::to_wstring(sizeof(void*) * 8) + L"-bit)");
    } else {
        Print(L"  Korvane.Channel is not registered");
    }
    return 0;
}

// --- The installer helpers: SetupAids.dll's answers, and stopping a running client ---

int Installer(const std::wstring& dllPath, const std::wstring& clientPath) {
    kv::UniqueModule dll(LoadLibraryW(dllPath.c_str()));
    if (!dll) {
        Print(L"SetupAids.dll could not be loaded from " + dllPath);
        return 1;
    }
    using Check = int(__cdecl*)();
    auto ask = [&](const char* name, const wchar_t* meaning) {
        auto check = reinterpret_cast<Check>(reinterpret_cast<void*>(GetProcAddress(dll.get(), name)));
        int answer = check ? check() : -1;
        Print(L"  " + kv::ToWide(name) + L"() = " + std::to_wstring(answer) + L"   " + meaning);
        return answer;
    };
    Print(L"== The installer helpers (SetupAids.dll) ==");
    ask("CheckBrowsersExist", L"(1 = no browser and the user chose to stop)");
    ask("IsIE301OrHigher", L"(1 = SHDOCVW.DLL is 4.70.1215 or later)");
    ask("IsOLEAUT32Available", L"(1 = OLEAUT32.DLL is there and newer than 2.1)");
    ask("CloseNetscape", L"(1 = running Netscape instances were asked to exit)");

    if (clientPath.empty() || GetFileAttributesW(clientPath.c_str()) == INVALID_FILE_ATTRIBUTES) {
        Print(L"  (no client stand-in built: Korvane.exe is not stopped)");
        return 0;
    }
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    std::wstring line = L"\"" + clientPath + L"\"";
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        Print(L"  Korvane.exe could not be started");
        return 1;
    }
    kv::UniqueHandleObj process(pi.hProcess);
    CloseHandle(pi.hThread);
    HWND window = nullptr;
    for (int i = 0; i < 200 && !(window = FindWindowW(nullptr, L"Korvane Agent")); ++i) Sleep(100);
    Print(window ? L"Started Korvane.exe: its window \"Korvane Agent\" is up"
                 : L"Started Korvane.exe, but its window did not appear");
    ask("CloseKorvane", L"(1 = the client and its companion windows are closed)");
    bool ended = WaitForSingleObject(process.get(), 5000) == WAIT_OBJECT_0;
    Print(ended ? L"Korvane.exe has ended" : L"Korvane.exe is still running: ending it");
    if (!ended) TerminateProcess(process.get(), 1);
    return ended ? 0 : 1;
}
}  // namespace

// The client as the kit sees it (client_view.cpp).
int ShowClient(const wchar_t* dataFolder);
// The uninstall program run as a person would (uninstall_run.cpp).
int UninstallCommand(const std::wstring& program, const std::wstring& shots, const std::wstring& refusingClient);
// The client's upgrade run, its messages answered (uninstall_run.cpp).
int UpgradeCommand(const std::wstring& program, const std::wstring& shots);

namespace {

int Usage() {
    Print(L"usage: kvkit <command> [arguments]\n"
          L"  tour      what the demo shows: the prefix, the registered servers, a live object\n"
          L"  servers   the kit's registered COM servers\n"
          L"  installer <SetupAids.dll> [<Korvane.exe>]   the installer helpers' answers; stops a running client\n"
          L"  client [<data folder>]   the Korvane client's channels, stories and directory\n"
          L"  channels  Favorites\\Channels beside the CDF extension's Channels list\n"
          L"  table <page address> [--sort EXPR] [--embellish N] [--format raw|html] [--data <folder>]\n"
          L"        [--columns A,B] [--all]   the story table as the page's data binding reads it\n"
          L"  render <page file> [--out <file>] [--address <page address>] [--data <folder>]\n"
          L"        the page's data-bound table written out as a static page\n"
          L"  story-arrives <page address> --title TEXT [--url URL] [--set NAME=VALUE]... [--data <folder>]\n"
          L"        [--sort EXPR] [--columns A,B]\n"
          L"        the client adds a story; the page's events and the table after it\n"
          L"  uninstall <uninstall.exe> [--shots <folder>] [--refusing-client <Korvane.exe>]\n"
          L"        runs the uninstall as a person would, answering Yes and Finished\n"
          L"  upgrade <kvupgrade.exe> [--shots <folder>]   runs the client's upgrade, answering its messages\n"
          L"  directory <page address> [--sort EXPR] [--embellish N] [--format raw|html] [--data <folder>]\n"
          L"        [--columns A,B] [--all] [--subscribe ID]   the channel directory as the directory page reads it;\n"
          L"        --subscribe ticks the entry's IS_SUBSCRIBED check box");
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    kv::CoInitScope com;
    if (argc < 2) return Usage();
    std::wstring command = argv[1];
    if (command == L"tour") return Tour();
    if (command == L"client") return ShowClient(argc > 2 ? argv[2] : nullptr);
    if (command == L"channels") return kv::kvkit::ShowChannels();
    if (command == L"servers") {
        ShowServers();
        return 0;
    }
    if (command == L"table" || command == L"render" || command == L"story-arrives" || command == L"directory") {
        int code = kv::kvkit::ChannelPageCommand(command, std::vector<std::wstring>(argv + 2, argv + argc));
        return code == 2 ? Usage() : code;
    }
    if (command == L"installer" && argc >= 3) return Installer(argv[2], argc >= 4 ? argv[3] : L"");
    if (command == L"upgrade" && (argc == 3 || (argc == 5 && std::wstring(argv[3]) == L"--shots")))
        return UpgradeCommand(argv[2], argc == 5 ? argv[4] : L"");
    if (command == L"uninstall" && argc >= 3 && argc % 2 == 1) {
        std::wstring shots, client;
        for (int i = 3; i + 1 < argc; i += 2) {
            std::wstring option = argv[i];
            if (option == L"--shots") shots = argv[i + 1];
            else if (option == L"--refusing-client") client = argv[i + 1];
            else return Usage();
        }
        return UninstallCommand(argv[2], shots, client);
    }
    return Usage();
}
