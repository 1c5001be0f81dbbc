#include "uninstall/folder_tree.h"

#include <windows.h>
#include <shlobj.h>

#include <vector>

#include "platform/file_tree.h"
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

bool IsAbsolute(std::wstring_view path) {
    auto slash = [](wchar_t c) { return c == L'\\' || c == L'/'; };
    if (path.size() >= 3 && path[1] == L':' && slash(path[2])) return true;
    return path.size() >= 3 && slash(path[0]) && slash(path[1]) && !slash(path[2]);  // \\server\share
}

// "C:\", or "\\server\share" for a share.
bool IsRoot(const std::wstring& normal) {
    if (normal.size() == 3 && normal[1] == L':') return true;
    if (normal.size() > 2 && normal[0] == L'\\' && normal[1] == L'\\')
        return normal.find(L'\\', normal.find(L'\\', 2) + 1) == std::wstring::npos;
    return false;
}

// The extended-length form of a normalised path, always: walks add names to it at any depth.
std::wstring Extended(const std::wstring& normal) {
    if (normal.size() > 2 && normal[0] == L'\\' && normal[1] == L'\\') return L"\\\\?\\UNC\\" + normal.substr(2);
    return L"\\\\?\\" + normal;
}

// `inner` is `outer` or lies below it.
bool Contains(const std::wstring& outer, const std::wstring& inner) {
    if (outer.empty() || inner.size() < outer.size()) return false;
    if (!EqualsNoCase(std::wstring_view(inner).substr(0, outer.size()), outer)) return false;
    return inner.size() == outer.size() || outer.back() == L'\\' || inner[outer.size()] == L'\\';
}

// The folders whose loss reaches beyond the client, normalised; read once per process.
const std::vector<std::wstring>& ProtectedFolders() {
    static const std::vector<std::wstring> folders = [] {
        std::vector<std::wstring> list;
        auto add = [&](const std::wstring& path) {
            std::wstring normal = NormalizeFolderPath(path);
            if (!normal.empty()) list.push_back(normal);
        };
        wchar_t buffer[MAX_PATH * 2];
        if (UINT n = GetWindowsDirectoryW(buffer, MAX_PATH * 2); n && n < MAX_PATH * 2) add(buffer);
        if (UINT n = GetSystemDirectoryW(buffer, MAX_PATH * 2); n && n < MAX_PATH * 2) add(buffer);
        const int shellFolders[] = {
            CSIDL_PROGRAM_FILES,     CSIDL_PROGRAM_FILESX86,  CSIDL_PROGRAM_FILES_COMMON, CSIDL_PROFILE,
            CSIDL_DESKTOPDIRECTORY,  CSIDL_COMMON_DESKTOPDIRECTORY, CSIDL_PROGRAMS,   CSIDL_COMMON_PROGRAMS,
            CSIDL_STARTMENU,         CSIDL_COMMON_STARTMENU,  CSIDL_STARTUP,           CSIDL_COMMON_STARTUP,
            CSIDL_PERSONAL,          CSIDL_FAVORITES,         CSIDL_APPDATA,           CSIDL_LOCAL_APPDATA,
            CSIDL_COMMON_APPDATA,    CSIDL_FONTS,             CSIDL_TEMPLATES,         CSIDL_WINDOWS,
            CSIDL_SYSTEM,            CSIDL_SYSTEMX86,         CSIDL_COMMON_DOCUMENTS,  CSIDL_INTERNET_CACHE,
        };
        for (int id : shellFolders) {
            if (SUCCEEDED(SHGetFolderPathW(nullptr, id, nullptr, SHGFP_TYPE_CURRENT, buffer))) add(buffer);
        }
        // The folder that holds every profile.
        if (SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_CURRENT, buffer))) {
            std::wstring profile = NormalizeFolderPath(buffer);
            if (size_t cut = profile.rfind(L'\\'); cut != std::wstring::npos && cut > 2) add(profile.substr(0, cut));
        }
        return list;
    }();
    return folders;
}

bool IsProtectedNormal(const std::wstring& normal) {
    if (normal.empty() || IsRoot(normal)) return true;
    for (const std::wstring& p : ProtectedFolders())
        if (Contains(normal, p)) return true;
    return false;
}

}  // namespace

std::wstring NormalizeFolderPath(std::wstring_view path) {
    if (path.empty() || path.find_first_of(L"*?") != std::wstring_view::npos || !IsAbsolute(path)) return {};
    std::wstring full = FullPath(std::wstring(path));
    if (full.empty()) return {};
    full = LongPath(full);
    while (full.size() > 3 && (full.back() == L'\\' || full.back() == L'/')) full.pop_back();
    return full;
}

std::wstring ExtendedFolderPath(std::wstring_view path) {
    std::wstring normal = NormalizeFolderPath(path);
    return normal.empty() ? normal : Extended(normal);
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

bool IsProtectedFolder(std::wstring_view path) { return IsProtectedNormal(NormalizeFolderPath(path)); }

bool DeleteFolderTree(std::wstring_view path) {
    std::wstring normal = NormalizeFolderPath(path);
    if (IsProtectedNormal(normal)) return false;
    DeleteTree(normal);
    return PathAttributes(normal) == INVALID_FILE_ATTRIBUTES;
}

}  // namespace kv
