#include "setupaids/version_checks.h"

#include <cstdlib>

namespace kv::setupaids {

bool IsShellVersionIE301OrHigher(DWORD versionMS, DWORD versionLS) {
    DWORD major = HIWORD(versionMS);
    DWORD minor = LOWORD(versionMS);
    DWORD build = HIWORD(versionLS) ? HIWORD(versionLS) : LOWORD(versionLS);
    if (major != 4) return major > 4;
    if (minor != 70) return minor > 70;
    return build >= 1215;
}

bool IsOleAutVersionTextNewEnough(const std::string& text) {
    std::string cut = text;
    if (size_t first = cut.find('.'); first != std::string::npos) {
        if (size_t second = cut.find('.', first + 1); second != std::string::npos) cut.resize(second);
    }
    return std::strtod(cut.c_str(), nullptr) > 2.1;
}

std::optional<std::string> SystemFile(const char* file) {
    UINT needed = GetSystemDirectoryA(nullptr, 0);
    if (needed == 0) return std::nullopt;
    std::string dir(needed, '\0');
    UINT length = GetSystemDirectoryA(dir.data(), needed);
    if (length == 0 || length >= needed) return std::nullopt;
    dir.resize(length);
    return dir + file;
}

std::vector<char> ReadVersionResource(const std::string& path) {
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(path.c_str(), &handle);
    if (size == 0) return {};
    std::vector<char> data(size);
    if (!GetFileVersionInfoA(path.c_str(), 0, size, data.data())) return {};
    return data;
}

}  // namespace kv::setupaids
