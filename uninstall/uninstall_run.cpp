#include "uninstall/uninstall_run.h"

#include <vector>

#include "platform/raii.h"
#include "platform/text.h"
#include "uninstall/folder_tree.h"
#include "uninstall/registry_cleanup.h"
#include "uninstall/uninstall_res.h"
#include "uninstall/upgrader.h"

namespace kv {

const wchar_t* const kKitServers[3] = {L"{B5D1EAF1-286B-11D1-9D7B-00C0F018612C}",
                                       L"{60FB349E-0CD8-11D1-9D7B-00C0F018612C}",
                                       L"{F59438EF-85BD-11D1-9D7D-00C0F018612C}"};

namespace {

constexpr wchar_t kFallbackInstallDir[] = L"c:\\Program Files\\Korvane\\Korvane";

// A string value at any length; empty when missing or not text.
std::wstring RegText(HKEY root, const wchar_t* path, const wchar_t* name) {
    DWORD bytes = 0;
    if (RegGetValueW(root, path, name, RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, nullptr,
                     &bytes) != ERROR_SUCCESS)
        return {};
    std::vector<wchar_t> value(bytes / sizeof(wchar_t) + 1, L'\0');
    if (RegGetValueW(root, path, name, RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, value.data(),
                     &bytes) != ERROR_SUCCESS)
        return {};
    return value.data();
}

bool IsAbsoluteFolder(const std::wstring& path) {
    auto slash = [](wchar_t c) { return c == L'\\' || c == L'/'; };
    return (path.size() >= 3 && path[1] == L':' && slash(path[2])) ||
           (path.size() >= 3 && slash(path[0]) && slash(path[1]));
}

// Where the client is installed: its App Paths entry, or the default folder.
std::wstring InstallationDirectory(const CUpgrader& upgrader) {
    std::vector<char> buffer(32768);
    if (!upgrader.GetClientDirectory(buffer.data(), buffer.size())) return kFallbackInstallDir;
    return ToWide(buffer.data());
}

// Cuts the last component of `path` (a trailing backslash passed over) when it is "Korvane\";
// false when it is not.
bool CutKorvane(std::wstring& path) {
    if (path.size() < 2) return false;
    size_t slash = path.rfind(L'\\', path.size() - 2);
    if (slash == std::wstring::npos || !EqualsNoCase(std::wstring_view(path).substr(slash + 1), L"Korvane\\"))
        return false;
    path.resize(slash + 1);
    return true;
}

// Deletes a file only when it is what its name says: deleting a link the system follows would
// delete what it points at.
void DeleteOwnFile(const std::wstring& path) {
    std::wstring resolved = ParentResolvedPath(path);
    if (!resolved.empty() && IsOwnEntry(L"\\\\?\\" + resolved)) DeleteFileW((L"\\\\?\\" + resolved).c_str());
}

// Removes an empty folder only when it is no link (under Wine, removing a link to an empty
// folder removes that folder) and no protected folder.
void RemoveEmptyFolder(const std::wstring& path) {
    std::wstring resolved = ParentResolvedPath(path);
    if (!resolved.empty() && !IsProtectedFolder(resolved) && IsOwnEntry(L"\\\\?\\" + resolved))
        RemoveDirectoryW((L"\\\\?\\" + resolved).c_str());
}

void DeleteFiles(const std::wstring& folder, const std::vector<std::wstring>& names) {
    for (const std::wstring& name : names) DeleteOwnFile(folder + L"\\" + name);
}

// A Start-menu group of the client goes as a whole only while it holds nothing but shortcuts and
// folders of shortcuts; otherwise (a shell folder that names the wrong place, another product's
// files in it) only the client's own shortcuts go, and the folder if that empties it.
void RemoveGroup(const std::wstring& folder, const std::vector<std::wstring>& clientLinks) {
    if (HoldsOnlyShortcuts(folder)) {
        DeleteFolderTree(folder);
        return;
    }
    if (!IsPlainEntry(folder)) return;  // a link in the group's place: what it reaches is not the client's
    DeleteFiles(folder, clientLinks);
    RemoveEmptyFolder(folder);
}

void DeleteScreenSaver() {
    UINT need = GetSystemDirectoryW(nullptr, 0);
    if (need == 0) return;
    std::wstring system(need, L'\0');
    UINT got = GetSystemDirectoryW(system.data(), need);
    if (got == 0 || got >= need) return;
    system.resize(got);
    DeleteOwnFile(system + L"\\KORVANE.SCR");
}

// Ends the wait cursor however the run leaves.
class WaitCursor {
public:
    // 32514 is the system's wait cursor (IDC_WAIT).
    WaitCursor() : previous_(SetCursor(LoadCursorW(nullptr, MAKEINTRESOURCEW(32514)))) {}
    ~WaitCursor() { SetCursor(previous_); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;

private:
    HCURSOR previous_;
};

std::wstring ProgramName() {
    std::vector<wchar_t> path(32768);
    DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    std::wstring name(path.data(), n);
    name = name.substr(name.find_last_of(L"\\/") + 1);
    return name.substr(0, name.rfind(L'.'));
}

std::wstring LoadText(HINSTANCE module, UINT id) {
    const wchar_t* text = nullptr;
    int length = LoadStringW(module, id, reinterpret_cast<LPWSTR>(&text), 0);
    return length > 0 ? std::wstring(text, static_cast<size_t>(length)) : std::wstring();
}

}  // namespace

std::wstring ApplicationName() {
    std::wstring name = RegText(HKEY_CURRENT_USER, L"SOFTWARE\\Korvane\\Korvane\\Layout", L"ApplicationName");
    return name.empty() ? L"Korvane" : name;
}

std::wstring CompanyFolder(std::wstring_view installDir) {
    std::wstring path(installDir);
    if (!CutKorvane(path)) return {};
    std::wstring parent = path;
    return CutKorvane(parent) ? path : std::wstring();
}

bool IsPlainFileName(std::wstring_view name) {
    return !name.empty() && name != L"." && name != L".." &&
           name.find_first_of(L"\\/:*?\"<>|") == std::wstring_view::npos;
}

void RemoveShortcuts(const std::wstring& applicationName) {
    const bool named = IsPlainFileName(applicationName);
    const std::wstring appLink = applicationName + L".lnk";
    struct Roots {
        HKEY root;
        const wchar_t* key;
        const wchar_t *programs, *startup, *desktop, *startMenu;
    };
    const Roots roots[] = {
        {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders",
         L"Common Programs", L"Common Startup", L"Common Desktop", L"Common Start Menu"},
        {HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders", L"Programs",
         L"Startup", L"Desktop", L"Start Menu"},
    };
    std::vector<std::wstring> clientLinks = {L"Korvane.lnk"};
    if (named) clientLinks.push_back(appLink);
    for (const wchar_t* l : {L"Ticker.lnk", L"Korvane Ticker.lnk", L"DareZedad.lnk", L"Korvane DareZedad.lnk"})
        clientLinks.push_back(l);
    for (const Roots& r : roots) {
        // An empty or relative value counts as missing: it would name a folder of the current drive.
        auto folder = [&](const wchar_t* value) {
            std::wstring path = RegText(r.root, r.key, value);
            return IsAbsoluteFolder(path) ? path : std::wstring();
        };
        if (std::wstring programs = folder(r.programs); !programs.empty()) RemoveGroup(programs + L"\\Korvane", clientLinks);
        if (std::wstring startup = folder(r.startup); !startup.empty()) DeleteFiles(startup, clientLinks);
        if (std::wstring desktop = folder(r.desktop); !desktop.empty()) {
            std::vector<std::wstring> links = {L"Korvane.lnk"};
            if (named) links.push_back(appLink);
            DeleteFiles(desktop, links);
        }
        if (std::wstring startMenu = folder(r.startMenu); !startMenu.empty())
            RemoveGroup(startMenu + L"\\Korvane Channels", clientLinks);
    }
}

void RunUninstall(HINSTANCE resources, UninstallProgress& progress) {
    WaitCursor cursor;
    const std::wstring applicationName = ApplicationName();
    std::wstring installDir;
    {
        CUpgrader upgrader(resources);
        if (!upgrader.StopClient()) {
            MessageBoxW(progress.Owner(), LoadText(resources, IDS_STOP_CLIENT_FAILED).c_str(), ProgramName().c_str(),
                        MB_OK | MB_ICONSTOP);
            return;
        }
        installDir = InstallationDirectory(upgrader);
    }
    const std::wstring company = CompanyFolder(installDir);

    progress.WaitForTick();
    progress.TickRow(1);
    RestoreWallpaper();

    progress.WaitForTick();
    progress.TickRow(2);
    progress.PostTickAndWait();
    // The servers go first: the publisher's unregistration reads its list under the client's
    // extension key, which the registry step deletes.
    for (const wchar_t* clsid : kKitServers) UnregisterServer(clsid);
    RemoveRegistryEntries();
    RemoveNavigatorIniEntries();

    progress.WaitForTick();
    progress.TickRow(3);
    RemoveShortcuts(applicationName);

    progress.WaitForTick();
    progress.TickRow(4);
    DeleteFolderTree(installDir);
    if (!company.empty()) RemoveEmptyFolder(company);
    DeleteScreenSaver();

    progress.WaitForTick();
    progress.TickRow(5);

    progress.WaitForTick();
    progress.EnableFinished();
}

}  // namespace kv
