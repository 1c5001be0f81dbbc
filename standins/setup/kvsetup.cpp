// kvsetup.exe: lays out a client installation in this prefix as the client's installer would, so
// that the uninstall program has something real to remove. Nothing more.
//
//   kvsetup.exe [/appname:NAME] [/register:DLL]...
//
// It writes the program and data folders under Program Files\Korvane\Korvane, the App Paths
// entry, the Layout, FallBack and company keys, Navigator's viewer entries (registry and
// win.ini), the file associations, the Uninstall and McAfee keys, shortcuts for all users and
// for this user, KORVANE.SCR in the system directory, and registers each DLL given (the kit's COM
// servers). Exit code 0 when everything was written.
#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

#include "platform/com_object.h"
#include "platform/raii.h"

namespace {

bool ok = true;

void Check(bool done, const std::wstring& what) {
    if (!done) {
        std::fwprintf(stderr, L"kvsetup: could not write %ls\n", what.c_str());
        ok = false;
    }
}

std::wstring ShellFolder(int id) {
    wchar_t path[MAX_PATH] = {};
    return SUCCEEDED(SHGetFolderPathW(nullptr, id | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT, path)) ? path
                                                                                                          : L"";
}

void SetString(HKEY root, const std::wstring& key, const wchar_t* name, const std::wstring& value) {
    kv::UniqueHkey k;
    bool done = RegCreateKeyExW(root, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, k.put(), nullptr) ==
                    ERROR_SUCCESS &&
                RegSetValueExW(k.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                               static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
    Check(done, key + L" " + (name ? name : L"(default)"));
}

void SetDword(HKEY root, const std::wstring& key, const wchar_t* name, DWORD value) {
    kv::UniqueHkey k;
    bool done = RegCreateKeyExW(root, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, k.put(), nullptr) ==
                    ERROR_SUCCESS &&
                RegSetValueExW(k.get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value) ==
                    ERROR_SUCCESS;
    Check(done, key + L" " + name);
}

void WriteFileText(const std::wstring& path, const std::string& text) {
    kv::UniqueHandleObj file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    bool done = file.get() != INVALID_HANDLE_VALUE && file &&
                WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
                written == text.size();
    Check(done, path);
}

void MakeFolders(const std::wstring& path) {
    int result = SHCreateDirectoryExW(nullptr, path.c_str(), nullptr);
    Check(result == ERROR_SUCCESS || result == ERROR_ALREADY_EXISTS, path);
}

// A shell link to `target` at `path`.
void MakeShortcut(const std::wstring& path, const std::wstring& target) {
    kv::ComPtr<IShellLinkW> link;
    kv::ComPtr<IPersistFile> file;
    bool done = SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                           reinterpret_cast<void**>(link.GetAddressOf()))) &&
                SUCCEEDED(link->SetPath(target.c_str())) &&
                SUCCEEDED(link.As(&file)) && SUCCEEDED(file->Save(path.c_str(), TRUE));
    Check(done, path);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    kv::CoInitScope com;
    std::wstring appName = L"Korvane";
    std::vector<std::wstring> dlls;
    for (int i = 1; i < argc; ++i) {
        std::wstring arg = argv[i];
        if (arg.rfind(L"/appname:", 0) == 0) appName = arg.substr(9);
        else if (arg.rfind(L"/register:", 0) == 0) dlls.push_back(arg.substr(10));
        else {
            std::fwprintf(stderr, L"kvsetup: unknown argument %ls\n", arg.c_str());
            return 2;
        }
    }

    const std::wstring root = ShellFolder(CSIDL_PROGRAM_FILES) + L"\\Korvane\\Korvane";
    const std::wstring program = root + L"\\program", data = root + L"\\data";
    MakeFolders(program);
    MakeFolders(data + L"\\channels\\News");
    WriteFileText(program + L"\\Korvane.exe", "client program\r\n");
    WriteFileText(program + L"\\kvv.exe", "viewer\r\n");
    WriteFileText(data + L"\\client-state.txt", "channel 5 News\r\n");
    WriteFileText(data + L"\\channels\\News\\index.htm", "<HTML></HTML>\r\n");

    const std::wstring appPaths = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Korvane.exe";
    SetString(HKEY_LOCAL_MACHINE, appPaths, nullptr, program + L"\\Korvane.exe");
    SetString(HKEY_LOCAL_MACHINE, appPaths, L"Path", program);
    SetString(HKEY_CURRENT_USER, L"SOFTWARE\\Korvane\\Korvane\\Layout", L"ApplicationName", appName);
    SetString(HKEY_CURRENT_USER, L"Software\\Korvane\\Korvane\\FallBack", L"WallPaper", L"C:\\windows\\kvold.bmp");
    SetDword(HKEY_CURRENT_USER, L"Software\\Korvane\\Korvane\\FallBack", L"WallPaperIsTiled", 1);
    SetString(HKEY_CURRENT_USER, L"Software\\Korvane\\Viewers", L"doz", L"kvv.exe");
    SetString(HKEY_CURRENT_USER, L"Software\\Korvane\\Shortcuts", L"Desktop", L"1");
    SetDword(HKEY_CURRENT_USER, L"Software\\Korvane\\ClientExtensions", L"Upgrade", 255);
    SetString(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Korvane\\Korvane", L"Version", L"4.0");
    SetString(HKEY_CURRENT_USER, L"Software\\Netscape\\Netscape Navigator\\Viewers", L"application/x-doz",
              program + L"\\kvv.exe");
    SetString(HKEY_CURRENT_USER, L"Software\\Netscape\\Netscape Navigator\\Viewers", L"application/x-kvpreview",
              program + L"\\kvv.exe");
    SetString(HKEY_CURRENT_USER, L"Software\\Netscape\\Netscape Navigator\\Suffixes", L"application/x-doz", L"doz");
    SetString(HKEY_CURRENT_USER, L"Software\\Netscape\\Netscape Navigator\\Suffixes", L"application/x-kvpreview",
              L"kvp");
    Check(WriteProfileStringW(L"Netscape", L"ini", L"C:\\windows\\netscape.ini"), L"win.ini [Netscape]");
    Check(WriteProfileStringW(L"Viewers", L"TYPE0", L"application/x-doz"), L"win.ini [Viewers]");
    Check(WriteProfileStringW(L"Viewers", L"application/x-doz", (program + L"\\kvv.exe").c_str()), L"win.ini");
    Check(WriteProfileStringW(L"Suffixes", L"application/x-doz", L"doz"), L"win.ini [Suffixes]");
    SetString(HKEY_CLASSES_ROOT, L"iadfile\\shell\\open\\command", nullptr, L"\"" + program + L"\\kvv.exe\" \"%1\"");
    SetString(HKEY_CLASSES_ROOT, L".doz", nullptr, L"iadfile");
    SetString(HKEY_CLASSES_ROOT, L"MIME\\Database\\Content Type\\application/x-doz", L"Extension", L".doz");
    SetString(HKEY_CLASSES_ROOT, L"kvpfile\\shell\\open\\command", nullptr, L"\"" + program + L"\\kvv.exe\" \"%1\"");
    SetString(HKEY_CLASSES_ROOT, L".kvp", nullptr, L"kvpfile");
    SetString(HKEY_CLASSES_ROOT, L"MIME\\Database\\Content Type\\application/x-kvpreview", L"Extension", L".kvp");
    SetString(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Korvane Client Uninstall",
              L"UninstallString", program + L"\\uninstall.exe");
    SetString(HKEY_LOCAL_MACHINE, L"SOFTWARE\\McAfee\\Korvane", L"Installed", L"1");

    const std::wstring target = program + L"\\Korvane.exe";
    for (auto [programs, startup, desktop, startMenu] :
         {std::tuple{CSIDL_COMMON_PROGRAMS, CSIDL_COMMON_STARTUP, CSIDL_COMMON_DESKTOPDIRECTORY, CSIDL_COMMON_STARTMENU},
          std::tuple{CSIDL_PROGRAMS, CSIDL_STARTUP, CSIDL_DESKTOPDIRECTORY, CSIDL_STARTMENU}}) {
        MakeFolders(ShellFolder(programs) + L"\\Korvane");
        MakeShortcut(ShellFolder(programs) + L"\\Korvane\\" + appName + L".lnk", target);
        MakeShortcut(ShellFolder(startup) + L"\\" + appName + L".lnk", target);
        MakeShortcut(ShellFolder(desktop) + L"\\" + appName + L".lnk", target);
        MakeFolders(ShellFolder(startMenu) + L"\\Korvane Channels");
        MakeShortcut(ShellFolder(startMenu) + L"\\Korvane Channels\\News.lnk", target);
    }

    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    WriteFileText(std::wstring(system) + L"\\KORVANE.SCR", "screen saver\r\n");

    for (const std::wstring& dll : dlls) {
        kv::UniqueModule module(LoadLibraryW(dll.c_str()));
        auto reg = module ? reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
                                reinterpret_cast<void*>(GetProcAddress(module.get(), "DllRegisterServer")))
                          : nullptr;
        Check(reg && SUCCEEDED(reg()), L"the registration of " + dll);
    }
    return ok ? 0 : 1;
}
