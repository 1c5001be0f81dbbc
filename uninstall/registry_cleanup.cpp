#include "uninstall/registry_cleanup.h"

#include <string>
#include <vector>

#include "platform/raii.h"

namespace kv {

namespace {

constexpr wchar_t kViewersKey[] = L"Software\\Netscape\\Netscape Navigator\\Viewers";
constexpr wchar_t kSuffixesKey[] = L"Software\\Netscape\\Netscape Navigator\\Suffixes";
constexpr wchar_t kDozType[] = L"application/x-doz";
constexpr wchar_t kPreviewType[] = L"application/x-kvpreview";

bool IsPredefined(HKEY key) {
    const HKEY roots[] = {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE, HKEY_USERS,
                          HKEY_CURRENT_CONFIG, HKEY_PERFORMANCE_DATA};
    for (HKEY r : roots)
        if (key == r) return true;
    return false;
}

// The longest subkey and value names of `key`, in characters with room for the terminator.
void MaxNameLengths(HKEY key, DWORD& subkey, DWORD& value) {
    subkey = value = 0;
    RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, &subkey, nullptr, nullptr, &value, nullptr, nullptr,
                     nullptr);
    subkey += 1;
    value += 1;
}

// Deletes the open key itself, through its own handle: a link key opened as a link goes as a
// link (reopening it by name would follow it to its target).
LSTATUS DeleteOpenKey(HKEY key) {
    using NtDeleteKeyCall = LONG(WINAPI*)(HANDLE);
    using ToDosErrorCall = ULONG(WINAPI*)(LONG);
    static const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    static const auto ntDeleteKey =
        reinterpret_cast<NtDeleteKeyCall>(reinterpret_cast<void*>(GetProcAddress(ntdll, "NtDeleteKey")));
    static const auto toDosError =
        reinterpret_cast<ToDosErrorCall>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlNtStatusToDosError")));
    if (!ntDeleteKey || !toDosError) return RegDeleteKeyW(key, L"");
    return static_cast<LSTATUS>(toDosError(ntDeleteKey(key)));
}

// Whether the key opened with REG_OPTION_OPEN_LINK is a registry link.
bool IsLinkKey(HKEY key) {
    DWORD type = 0;
    return RegQueryValueExW(key, L"SymbolicLinkValue", nullptr, &type, nullptr, nullptr) == ERROR_SUCCESS &&
           type == REG_LINK;
}

// Deletes everything below the open `key`, then the key itself.
LSTATUS DeleteOpenKeyTree(HKEY key) {
    DWORD subkeyLength = 0, valueLength = 0;
    MaxNameLengths(key, subkeyLength, valueLength);
    std::vector<wchar_t> name(std::max(subkeyLength, valueLength) + 1);
    for (DWORD index = 0;;) {
        DWORD length = static_cast<DWORD>(name.size());
        LSTATUS status = RegEnumKeyExW(key, index, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_MORE_DATA) {
            name.resize(name.size() * 2);
            continue;
        }
        if (status != ERROR_SUCCESS) break;
        if (DeleteKeyTree(key, std::wstring_view(name.data(), length)) != ERROR_SUCCESS) ++index;
    }
    for (DWORD index = 0;;) {
        DWORD length = static_cast<DWORD>(name.size());
        LSTATUS status = RegEnumValueW(key, index, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_MORE_DATA) {
            name.resize(name.size() * 2);
            continue;
        }
        if (status != ERROR_SUCCESS) break;
        if (RegDeleteValueW(key, name.data()) != ERROR_SUCCESS) ++index;
    }
    return DeleteOpenKey(key);
}

// Counts the subkeys of `key`; false when it can't be had. `only` gets the name of the one
// subkey when there is exactly one.
bool CountSubkeys(HKEY key, DWORD& count, std::wstring& only) {
    DWORD longest = 0;
    if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &count, &longest, nullptr, nullptr, nullptr, nullptr,
                         nullptr, nullptr) != ERROR_SUCCESS)
        return false;
    only.clear();
    if (count == 1) {
        std::wstring name(longest + 1, L'\0');
        DWORD length = longest + 1;
        if (RegEnumKeyExW(key, 0, name.data(), &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            return false;
        only.assign(name.data(), length);
    }
    return true;
}

// The company key of one hive: as a whole when the client is the only product left in it,
// otherwise only the client's own subkey.
void RemoveCompanyKey(HKEY root, const wchar_t* path, bool userSubkeys) {
    UniqueHkey company;
    if (RegOpenKeyExW(root, path, REG_OPTION_OPEN_LINK, KEY_ALL_ACCESS, company.put()) != ERROR_SUCCESS) return;
    if (IsLinkKey(company.get())) {
        DeleteOpenKey(company.get());  // the company key is itself a link: the link goes, its target stays
        return;
    }
    if (userSubkeys)
        for (const wchar_t* sub : {L"Viewers", L"Shortcuts", L"ClientExtensions"}) DeleteKeyTree(company.get(), sub);
    DWORD count = 0;
    std::wstring only;
    bool clientAlone = CountSubkeys(company.get(), count, only) && count == 1 && lstrcmpiW(only.c_str(), L"Korvane") == 0;
    company.reset();
    DeleteKeyTree(root, clientAlone ? std::wstring(path) : std::wstring(path) + L"\\Korvane");
}

void DeleteValue(HKEY root, const wchar_t* path, const wchar_t* name) {
    UniqueHkey key;
    if (RegOpenKeyExW(root, path, 0, KEY_SET_VALUE, key.put()) == ERROR_SUCCESS) RegDeleteValueW(key.get(), name);
}

// A string value of `key` at any length, terminated; false when missing or not text.
bool ReadString(HKEY key, const wchar_t* name, std::wstring& value) {
    DWORD type = 0, bytes = 0;
    if (RegQueryValueExW(key, name, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS) return false;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
    std::vector<wchar_t> data(bytes / sizeof(wchar_t) + 2, L'\0');
    bytes = static_cast<DWORD>((data.size() - 1) * sizeof(wchar_t));
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &bytes) != ERROR_SUCCESS)
        return false;
    value.assign(data.data());
    return true;
}

// A win.ini entry, or the key names of a section, at any length ("!" when missing).
std::wstring ProfileText(const wchar_t* section, const wchar_t* key) {
    std::vector<wchar_t> buffer(1024);
    for (;;) {
        DWORD got = GetProfileStringW(section, key, L"!", buffer.data(), static_cast<DWORD>(buffer.size()));
        // A full buffer means the text may have been cut: try again with more room.
        if (got + (key ? 1 : 2) < buffer.size()) return std::wstring(buffer.data(), key ? got : got + 1);
        buffer.resize(buffer.size() * 2);
    }
}

}  // namespace

LSTATUS DeleteKeyTree(HKEY root, std::wstring_view subkey) {
    if (subkey.empty() && IsPredefined(root)) return ERROR_INVALID_PARAMETER;
    UniqueHkey key;
    // Opened as a link when it is one: a link is deleted as a link and never descended through.
    LSTATUS status = RegOpenKeyExW(root, std::wstring(subkey).c_str(), REG_OPTION_OPEN_LINK, KEY_ALL_ACCESS, key.put());
    if (status != ERROR_SUCCESS) return status;
    return IsLinkKey(key.get()) ? DeleteOpenKey(key.get()) : DeleteOpenKeyTree(key.get());
}

void RemoveRegistryEntries() {
    RemoveCompanyKey(HKEY_CURRENT_USER, L"Software\\Korvane", true);
    RemoveCompanyKey(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Korvane", false);
    DeleteValue(HKEY_CURRENT_USER, kViewersKey, kDozType);
    DeleteValue(HKEY_CURRENT_USER, kViewersKey, kPreviewType);
    DeleteValue(HKEY_CURRENT_USER, kSuffixesKey, kDozType);
    DeleteValue(HKEY_CURRENT_USER, kSuffixesKey, kPreviewType);
    for (const wchar_t* key : {L"iadfile", L".doz", L"MIME\\Database\\Content Type\\application/x-doz", L"kvpfile",
                               L".kvp", L"MIME\\Database\\Content Type\\application/x-kvpreview"})
        DeleteKeyTree(HKEY_CLASSES_ROOT, key);
    for (const wchar_t* key : {L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\Korvane.exe",
                               L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Korvane Client Uninstall",
                               L"SOFTWARE\\McAfee\\Korvane"})
        DeleteKeyTree(HKEY_LOCAL_MACHINE, key);
}

void RemoveNavigatorIniEntries() {
    if (ProfileText(L"Netscape", L"ini").starts_with(L'!')) return;
    std::wstring names = ProfileText(L"Viewers", nullptr);
    if (names.starts_with(L'!')) return;
    for (size_t at = 0; at < names.size() && names[at] != L'\0';) {
        std::wstring name(names.c_str() + at);
        at += name.size() + 1;
        if (name.size() < 4 || CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, name.c_str(), 4, L"TYPE", 4) != CSTR_EQUAL)
            continue;
        std::wstring value = ProfileText(L"Viewers", name.c_str());
        if (value == kDozType || value == kPreviewType) WriteProfileStringW(L"Viewers", name.c_str(), nullptr);
    }
    for (const wchar_t* type : {kDozType, kPreviewType}) {
        WriteProfileStringW(L"Viewers", type, nullptr);
        WriteProfileStringW(L"Suffixes", type, nullptr);
    }
}

void RestoreWallpaper() {
    UniqueHkey fallBack, desktop;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Korvane\\Korvane\\FallBack", 0, KEY_READ, fallBack.put()) !=
        ERROR_SUCCESS)
        return;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Control Panel\\Desktop", 0, KEY_SET_VALUE, desktop.put()) != ERROR_SUCCESS)
        return;
    DWORD tiled = 0, type = 0, bytes = sizeof tiled;
    if (RegQueryValueExW(fallBack.get(), L"WallPaperIsTiled", nullptr, &type, reinterpret_cast<BYTE*>(&tiled),
                         &bytes) == ERROR_SUCCESS &&
        bytes == sizeof tiled) {
        wchar_t text[16];
        wsprintfW(text, L"%x", tiled);
        RegSetValueExW(desktop.get(), L"TileWallPaper", 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                       static_cast<DWORD>((lstrlenW(text) + 1) * sizeof(wchar_t)));
    }
    std::wstring wallpaper;
    if (!ReadString(fallBack.get(), L"WallPaper", wallpaper)) return;
    RegSetValueExW(desktop.get(), L"Wallpaper", 0, REG_SZ, reinterpret_cast<const BYTE*>(wallpaper.c_str()),
                   static_cast<DWORD>((wallpaper.size() + 1) * sizeof(wchar_t)));
    fallBack.reset();
    desktop.reset();
    SystemParametersInfoW(SPI_SETDESKWALLPAPER, 0, wallpaper.data(), SPIF_SENDWININICHANGE);
}

void UnregisterServer(std::wstring_view clsid) {
    UniqueHkey key;
    std::wstring path = L"CLSID\\" + std::wstring(clsid) + L"\\InprocServer32";
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) return;
    std::wstring dll;
    if (!ReadString(key.get(), nullptr, dll) || dll.empty()) return;
    DWORD need = ExpandEnvironmentStringsW(dll.c_str(), nullptr, 0);
    std::wstring expanded(need, L'\0');
    if (need == 0 || ExpandEnvironmentStringsW(dll.c_str(), expanded.data(), need) != need) return;
    expanded.resize(need - 1);
    auto slash = [](wchar_t c) { return c == L'\\' || c == L'/'; };
    bool absolute = (expanded.size() > 2 && expanded[1] == L':' && slash(expanded[2])) ||
                    (expanded.size() > 2 && slash(expanded[0]) && slash(expanded[1]));
    if (!absolute) return;
    UniqueModule module(LoadLibraryExW(expanded.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH));
    if (!module) return;
    using Unregister = HRESULT(STDAPICALLTYPE*)();
    if (auto unregister = reinterpret_cast<Unregister>(
            reinterpret_cast<void*>(GetProcAddress(module.get(), "DllUnregisterServer"))))
        unregister();
}

}  // namespace kv
