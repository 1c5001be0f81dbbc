#include "uninstall/folder_tree.h"

#include <windows.h>
#include <shlobj.h>

#include <set>
#include <tuple>
#include <vector>

#include "platform/raii.h"
#include "platform/text.h"

namespace kv {

namespace {

std::wstring FullPath(const std::wstring& path) {
    DWORD need = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (need == 0) return {};
    std::wstring full(need, L'\0');
    DWORD got = GetFullPathNameW(path.c_str(), need, full.data(), nullptr);
    if (got == 0 || got >= need) return {};
    full.resize(got);
    return full;
}

std::wstring LongPath(const std::wstring& path) {
    DWORD need = GetLongPathNameW(path.c_str(), nullptr, 0);
    if (need == 0) return path;  // the folder does not exist (yet): nothing to expand
    std::wstring full(need, L'\0');
    DWORD got = GetLongPathNameW(path.c_str(), full.data(), need);
    if (got == 0 || got >= need) return path;
    full.resize(got);
    return full;
}

bool IsSlash(wchar_t c) { return c == L'\\' || c == L'/'; }

// "C:\..." (or "C:/..."), the only form the walks accept.
bool IsDrivePath(std::wstring_view path) {
    return path.size() >= 3 && ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z')) &&
           path[1] == L':' && IsSlash(path[2]);
}

// The device forms "\\?\" and "\\.\" in front of a drive path are taken off; anything else that
// starts with two separators (a share, "\\?\UNC\", a device) is no local path and gives "".
std::wstring WithoutDevicePrefix(std::wstring_view path) {
    if (path.size() >= 4 && IsSlash(path[0]) && IsSlash(path[1]) && (path[2] == L'?' || path[2] == L'.') &&
        IsSlash(path[3])) {
        std::wstring_view rest = path.substr(4);
        return IsDrivePath(rest) ? std::wstring(rest) : std::wstring();
    }
    return IsDrivePath(path) ? std::wstring(path) : std::wstring();
}

bool IsDriveRoot(const std::wstring& normal) { return normal.size() == 3 && normal[1] == L':'; }

std::wstring Extended(const std::wstring& normal) { return L"\\\\?\\" + normal; }

UniqueHandleObj OpenForQuery(const std::wstring& path, bool ownEntry) {
    DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (ownEntry ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
    return UniqueHandleObj(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                       flags, nullptr));
}

// The final path of an open handle as "C:\..."; empty when it is not on a drive letter (Wine
// answers "\\?\unix\..." for what lies outside every drive).
std::wstring FinalPathOf(HANDLE handle) {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        DWORD got = GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()),
                                              FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (got == 0) break;
        if (got < buffer.size()) return WithoutDevicePrefix(std::wstring_view(buffer.data(), got));
        buffer.resize(got + 1);
    }
    // Wine's GetFinalPathNameByHandleW stops at MAX_PATH characters; the object's own name
    // ("\??\C:\...") has no such limit.
    struct Name {
        USHORT length, maximum;
        PWSTR text;
    };
    using QueryObject = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
    static const auto query = reinterpret_cast<QueryObject>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryObject")));
    if (!query) return {};
    std::vector<BYTE> info(sizeof(Name) + 70000);
    ULONG returned = 0;
    if (query(handle, 1 /* ObjectNameInformation */, info.data(), static_cast<ULONG>(info.size()), &returned) != 0)
        return {};
    const auto* name = reinterpret_cast<const Name*>(info.data());
    std::wstring_view text(name->text, name->length / sizeof(wchar_t));
    if (!text.starts_with(L"\\??\\")) return {};
    return WithoutDevicePrefix(L"\\\\?\\" + std::wstring(text.substr(4)));
}

// What a folder is: its volume and its file index.
using Identity = std::tuple<DWORD, DWORD, DWORD>;

bool IdentityOf(HANDLE handle, Identity& id) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle, &info)) return false;
    id = {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
    return true;
}

std::wstring Parent(const std::wstring& normal) {
    if (IsDriveRoot(normal)) return {};
    size_t cut = normal.rfind(L'\\');
    if (cut == std::wstring::npos) return {};
    return cut == 2 ? normal.substr(0, 3) : normal.substr(0, cut);
}

std::wstring Lower(std::wstring text) {
    CharLowerBuffW(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

// Every folder whose loss reaches beyond the client, and every folder above one of them: the
// root of a tree to delete must be none of these. Kept by identity and, for paths that cannot
// be opened, by final path. Worked out afresh for each question: profiles come and go.
struct Forbidden {
    std::set<Identity> identities;
    std::set<std::wstring> paths;  // lower case

    std::set<std::wstring> seen;

    // The folder and every folder above it. Spelled as the system spells its own folders (no
    // short names to expand); links and alias drives in front of a root are met by identity.
    void Add(const std::wstring& spelled) {
        std::wstring local = WithoutDevicePrefix(spelled);
        std::wstring normal = local.empty() ? local : FullPath(local);
        if (!IsDrivePath(normal)) return;
        while (normal.size() > 3 && IsSlash(normal.back())) normal.pop_back();
        for (std::wstring at = normal; !at.empty(); at = Parent(at)) {
            std::wstring key = Lower(at);
            if (!seen.insert(key).second) break;  // it, and what lies above it, are in
            paths.insert(key);
            Identity id;
            if (UniqueHandleObj h = OpenForQuery(Extended(at), false); h && IdentityOf(h.get(), id)) identities.insert(id);
        }
    }
    void AddExpanded(const std::wstring& text) {
        DWORD need = ExpandEnvironmentStringsW(text.c_str(), nullptr, 0);
        std::wstring expanded(need, L'\0');
        if (need && ExpandEnvironmentStringsW(text.c_str(), expanded.data(), need) == need) {
            expanded.resize(need - 1);
            Add(expanded);
        }
    }
    // Every string value of a key (the shell folders), or the one named.
    void AddValues(HKEY root, const wchar_t* path, const wchar_t* only = nullptr) {
        UniqueHkey key;
        if (RegOpenKeyExW(root, path, 0, KEY_READ, key.put()) != ERROR_SUCCESS) return;
        std::vector<wchar_t> name(16384), data(32768);
        for (DWORD i = 0;; ++i) {
            DWORD nameLength = static_cast<DWORD>(name.size()), bytes = static_cast<DWORD>(data.size() * 2 - 2), type = 0;
            LSTATUS status = RegEnumValueW(key.get(), i, name.data(), &nameLength, nullptr, &type,
                                           reinterpret_cast<BYTE*>(data.data()), &bytes);
            if (status == ERROR_NO_MORE_ITEMS) break;
            if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) continue;
            if (only && lstrcmpiW(name.data(), only) != 0) continue;
            data[bytes / sizeof(wchar_t)] = L'\0';
            AddExpanded(data.data());
        }
    }
};

Forbidden ForbiddenFolders() {
    Forbidden f;
    for (DWORD drives = GetLogicalDrives(), i = 0; i < 26; ++i)
        if (drives & (1u << i)) f.Add(std::wstring(1, static_cast<wchar_t>(L'A' + i)) + L":\\");
    wchar_t buffer[MAX_PATH * 2];
    if (UINT n = GetWindowsDirectoryW(buffer, MAX_PATH * 2); n && n < MAX_PATH * 2) f.Add(buffer);
    if (UINT n = GetSystemDirectoryW(buffer, MAX_PATH * 2); n && n < MAX_PATH * 2) f.Add(buffer);
    if (UINT n = GetSystemWow64DirectoryW(buffer, MAX_PATH * 2); n && n < MAX_PATH * 2) f.Add(buffer);
    const int shellFolders[] = {
        CSIDL_PROGRAM_FILES,     CSIDL_PROGRAM_FILESX86,  CSIDL_PROGRAM_FILES_COMMON, CSIDL_PROGRAM_FILES_COMMONX86,
        CSIDL_PROFILE,           CSIDL_DESKTOPDIRECTORY,  CSIDL_COMMON_DESKTOPDIRECTORY, CSIDL_PROGRAMS,
        CSIDL_COMMON_PROGRAMS,   CSIDL_STARTMENU,         CSIDL_COMMON_STARTMENU,     CSIDL_STARTUP,
        CSIDL_COMMON_STARTUP,    CSIDL_PERSONAL,          CSIDL_FAVORITES,            CSIDL_COMMON_FAVORITES,
        CSIDL_APPDATA,           CSIDL_LOCAL_APPDATA,     CSIDL_COMMON_APPDATA,       CSIDL_FONTS,
        CSIDL_TEMPLATES,         CSIDL_COMMON_TEMPLATES,  CSIDL_WINDOWS,              CSIDL_SYSTEM,
        CSIDL_SYSTEMX86,         CSIDL_COMMON_DOCUMENTS,  CSIDL_INTERNET_CACHE,       CSIDL_COOKIES,
        CSIDL_HISTORY,           CSIDL_MYMUSIC,           CSIDL_MYPICTURES,           CSIDL_MYVIDEO,
        CSIDL_SENDTO,            CSIDL_RECENT,            CSIDL_NETHOOD,              CSIDL_PRINTHOOD,
        CSIDL_ADMINTOOLS,        CSIDL_COMMON_ADMINTOOLS, CSIDL_COMMON_MUSIC,         CSIDL_COMMON_PICTURES,
        CSIDL_COMMON_VIDEO,      CSIDL_RESOURCES,         CSIDL_CDBURN_AREA,
    };
    for (int id : shellFolders)
        if (SUCCEEDED(SHGetFolderPathW(nullptr, id, nullptr, SHGFP_TYPE_CURRENT, buffer))) f.Add(buffer);
    for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
        f.AddValues(root, L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders");
        f.AddValues(root, L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders");
    }
    // The profiles folder, every profile the system knows, and every folder in it.
    constexpr wchar_t kProfileList[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
    f.AddValues(HKEY_LOCAL_MACHINE, kProfileList);
    std::vector<std::wstring> profilesFolders;
    if (SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_CURRENT, buffer)))
        profilesFolders.push_back(Parent(NormalizeFolderPath(buffer)));
    if (UniqueHkey list; RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProfileList, 0, KEY_READ, list.put()) == ERROR_SUCCESS) {
        wchar_t sid[256];
        for (DWORD i = 0;; ++i) {
            DWORD length = 256;
            if (RegEnumKeyExW(list.get(), i, sid, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
            f.AddValues(list.get(), sid, L"ProfileImagePath");
        }
        DWORD bytes = sizeof buffer - sizeof(wchar_t);
        if (RegGetValueW(list.get(), nullptr, L"ProfilesDirectory", RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ, nullptr,
                         buffer, &bytes) == ERROR_SUCCESS) {
            wchar_t expanded[MAX_PATH * 2];
            if (DWORD n = ExpandEnvironmentStringsW(buffer, expanded, MAX_PATH * 2); n && n <= MAX_PATH * 2)
                profilesFolders.push_back(NormalizeFolderPath(expanded));
        }
    }
    for (const std::wstring& profiles : profilesFolders) {
        if (profiles.empty()) continue;
        for (const wchar_t* name : {L"Default", L"Default User", L"Public", L"All Users"}) f.Add(profiles + L"\\" + name);
        ForEachFolderEntry(Extended(profiles), [&](const WIN32_FIND_DATAW& found) {
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) f.Add(profiles + L"\\" + found.cFileName);
        });
    }
    return f;
}

// The final path of the folder to delete, when it may be deleted; empty otherwise. `gone` tells a
// folder that is not there (nothing to do) from one that is refused.
std::wstring DeletableRoot(std::wstring_view path, bool& gone) {
    gone = false;
    std::wstring normal = NormalizeFolderPath(path);
    if (normal.empty() || IsDriveRoot(normal)) return {};
    UniqueHandleObj handle = OpenForQuery(Extended(normal), false);
    const DWORD error = GetLastError();
    Forbidden forbidden = ForbiddenFolders();
    if (!handle) {
        gone = (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) && !forbidden.paths.count(Lower(normal));
        return {};
    }
    std::wstring final = FinalPathOf(handle.get());
    Identity id;
    if (final.empty() || IsDriveRoot(final) || !IdentityOf(handle.get(), id)) return {};
    if (forbidden.identities.count(id) || forbidden.paths.count(Lower(final)) || forbidden.paths.count(Lower(normal)))
        return {};
    return final;
}

// Removes the folder `extended` (the extended form of a final path) and what it holds.
bool RemoveTree(const std::wstring& extended) {
    bool ok = true;
    const std::wstring folder = FinalFolderPath(extended);
    ForEachFolderEntry(extended, [&](const WIN32_FIND_DATAW& found) {
        const std::wstring child = extended + L"\\" + found.cFileName;
        const DWORD a = found.dwFileAttributes;
        // A link the system follows (a host link under Wine reads as a plain file or folder, and
        // deleting it deletes its target) is left where it is.
        if (!IsOwnEntryIn(child, folder)) {
            ok = false;
        } else if (IsPlainDirectory(a)) {
            ok = RemoveTree(child) && ok;
        } else if (a & FILE_ATTRIBUTE_DIRECTORY) {
            ok = RemoveDirectoryW(child.c_str()) && ok;  // a directory link itself, never entered
        } else {
            if (a & FILE_ATTRIBUTE_READONLY) SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
            ok = DeleteFileW(child.c_str()) && ok;
        }
    });
    // A read-only folder is made writable on purpose before it is removed.
    DWORD attributes = GetFileAttributesW(extended.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
        SetFileAttributesW(extended.c_str(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    return RemoveDirectoryW(extended.c_str()) && ok;
}

bool IsShortcutName(std::wstring_view name) {
    if (name.size() < 4) return false;
    std::wstring_view extension = name.substr(name.size() - 4);
    return EqualsNoCase(extension, L".lnk") || EqualsNoCase(extension, L".url") || EqualsNoCase(extension, L".pif");
}

}  // namespace

std::wstring NormalizeFolderPath(std::wstring_view path) {
    std::wstring local = WithoutDevicePrefix(path);
    if (local.empty() || local.find_first_of(L"*?\"<>|") != std::wstring::npos ||
        local.find(L':', 2) != std::wstring::npos)
        return {};
    std::wstring full = FullPath(local);
    if (!IsDrivePath(full)) return {};
    full = LongPath(full);
    while (full.size() > 3 && IsSlash(full.back())) full.pop_back();
    return full;
}

std::wstring ExtendedFolderPath(std::wstring_view path) {
    std::wstring normal = NormalizeFolderPath(path);
    return normal.empty() ? normal : Extended(normal);
}

std::wstring FinalFolderPath(std::wstring_view path) {
    std::wstring normal = NormalizeFolderPath(path);
    if (normal.empty()) return {};
    UniqueHandleObj handle = OpenForQuery(Extended(normal), false);
    return handle ? FinalPathOf(handle.get()) : std::wstring();
}

bool IsOwnEntryIn(const std::wstring& path, std::wstring folder) {
    UniqueHandleObj handle = OpenForQuery(path, true);
    if (!handle) return false;
    std::wstring final = FinalPathOf(handle.get());
    std::wstring_view walked = path;
    if (walked.starts_with(L"\\\\?\\")) walked.remove_prefix(4);
    if (final.empty() || !EqualsNoCase(final, walked)) return false;
    // Equal up to case is not enough: on the host, names that differ only in case are different
    // entries, and a link may lead to such a sibling. The entry's final path must be exactly the
    // final path of its folder and its own name as the folder lists it.
    const size_t cut = walked.find_last_of(L"\\/");
    if (cut == std::wstring_view::npos || cut + 1 >= walked.size()) return false;
    WIN32_FIND_DATAW found;
    UniqueFindHandle listed(FindFirstFileExW(path.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0));
    if (!listed) return false;
    if (folder.empty()) return false;
    if (folder.back() != L'\\') folder += L'\\';
    return final == folder + found.cFileName;
}

bool IsOwnEntry(const std::wstring& path) {
    std::wstring_view walked = path;
    if (walked.starts_with(L"\\\\?\\")) walked.remove_prefix(4);
    const size_t cut = walked.find_last_of(L"\\/");
    if (cut == std::wstring_view::npos || cut + 1 >= walked.size()) return false;
    return IsOwnEntryIn(path, FinalFolderPath(walked.substr(0, cut == 2 ? 3 : cut)));
}

std::wstring ParentResolvedPath(std::wstring_view path) {
    std::wstring normal = NormalizeFolderPath(path);
    std::wstring parent = Parent(normal);
    if (normal.empty() || parent.empty()) return normal;
    std::wstring name = normal.substr(parent.size() + (parent.size() == 3 ? 0 : 1));
    std::wstring resolved = FinalFolderPath(parent);
    if (resolved.empty()) resolved = ParentResolvedPath(parent);
    if (resolved.empty()) return {};
    return resolved + (resolved.back() == L'\\' ? L"" : L"\\") + name;
}

bool IsPlainEntry(std::wstring_view path) {
    std::wstring resolved = ParentResolvedPath(path);
    if (resolved.empty() || IsDriveRoot(resolved)) return false;
    UniqueHandleObj handle = OpenForQuery(Extended(resolved), true);
    if (!handle) return GetLastError() == ERROR_FILE_NOT_FOUND;
    return EqualsNoCase(FinalPathOf(handle.get()), resolved);
}

bool ForEachFolderEntry(const std::wstring& extended, const std::function<void(const WIN32_FIND_DATAW&)>& visit) {
    WIN32_FIND_DATAW found;
    UniqueFindHandle find(FindFirstFileExW((extended + L"\\*").c_str(), FindExInfoBasic, &found,
                                           FindExSearchNameMatch, nullptr, 0));
    if (!find) return false;
    do {
        std::wstring_view name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        visit(found);
    } while (FindNextFileW(find.get(), &found));
    return true;
}

bool IsProtectedFolder(std::wstring_view path) {
    bool gone = false;
    return DeletableRoot(path, gone).empty() && !gone;
}

bool DeleteFolderTree(std::wstring_view path) {
    bool gone = false;
    std::wstring root = DeletableRoot(path, gone);
    if (root.empty()) return gone;
    RemoveTree(Extended(root));
    return GetFileAttributesW(Extended(root).c_str()) == INVALID_FILE_ATTRIBUTES;
}

bool HoldsOnlyShortcuts(const std::wstring& folder) {
    std::wstring resolved = ParentResolvedPath(folder);
    if (resolved.empty() || !IsOwnEntry(Extended(resolved))) return false;
    bool only = true;
    bool listed = ForEachFolderEntry(Extended(resolved), [&](const WIN32_FIND_DATAW& found) {
        if (!only) return;
        if (IsPlainDirectory(found.dwFileAttributes))
            only = HoldsOnlyShortcuts(resolved + L"\\" + found.cFileName);
        else
            only = !(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && IsShortcutName(found.cFileName);
    });
    return listed && only;
}

}  // namespace kv
