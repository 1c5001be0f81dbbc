#include "platform/file_tree.h"

namespace kv {

std::wstring ExtendedPath(const std::wstring& path) {
    if (path.size() < MAX_PATH - 12 || path.starts_with(L"\\\\?\\")) return path;
    if (path.size() > 2 && path[1] == L':' && path[2] == L'\\') return L"\\\\?\\" + path;
    if (path.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + path.substr(2);
    return path;
}

DWORD PathAttributes(const std::wstring& path) { return GetFileAttributesW(ExtendedPath(path).c_str()); }

bool IsDirectory(const std::wstring& path) {
    DWORD a = PathAttributes(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

bool CreateDirectoryTree(const std::wstring& path) {
    if (path.empty()) return false;
    if (IsDirectory(path)) return true;
    size_t cut = path.find_last_of(L'\\', path.back() == L'\\' ? path.size() - 2 : std::wstring::npos);
    if (cut != std::wstring::npos && cut > 2 && !CreateDirectoryTree(path.substr(0, cut))) return false;
    return CreateDirectoryW(ExtendedPath(path).c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

bool DeleteTree(const std::wstring& path) {
    std::wstring folder = path;
    while (folder.size() > 3 && folder.back() == L'\\') folder.pop_back();
    DWORD attributes = PathAttributes(folder);
    if (attributes == INVALID_FILE_ATTRIBUTES) return true;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
    bool ok = true;
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        WIN32_FIND_DATAW found;
        HANDLE find = FindFirstFileW(ExtendedPath(folder + L"\\*").c_str(), &found);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                std::wstring name = found.cFileName;
                if (name == L"." || name == L"..") continue;
                std::wstring child = folder + L"\\" + name;
                if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                    ok = DeleteTree(child) && ok;
                } else {
                    std::wstring target = ExtendedPath(child);
                    if (found.dwFileAttributes & FILE_ATTRIBUTE_READONLY)
                        SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL);
                    ok = DeleteFileW(target.c_str()) && ok;
                }
            } while (FindNextFileW(find, &found));
            FindClose(find);
        }
    }
    // A read-only folder is made writable on purpose before it is removed.
    if (attributes & FILE_ATTRIBUTE_READONLY)
        SetFileAttributesW(ExtendedPath(folder).c_str(), attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    return RemoveDirectoryW(ExtendedPath(folder).c_str()) && ok;
}

}  // namespace kv
