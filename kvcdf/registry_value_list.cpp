#include "kvcdf/registry_value_list.h"

#include "platform/hresult_error.h"

namespace kv::cdf {

RegistryValueList::RegistryValueList(HKEY root, const std::wstring& path, bool required) {
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_ALL_ACCESS, key_.put()) != ERROR_SUCCESS) {
        key_.reset();
        if (required) ThrowHr(E_FAIL);
    }
}

bool RegistryValueList::Set(std::wstring_view name, DWORD value) {
    if (!key_ || name.size() > kMaxNameChars) return false;
    std::wstring n(name);
    return RegSetValueExW(key_.get(), n.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                          sizeof value) == ERROR_SUCCESS;
}

bool RegistryValueList::Remove(std::wstring_view name) {
    if (!key_) return false;
    std::wstring n(name);
    return RegDeleteValueW(key_.get(), n.c_str()) == ERROR_SUCCESS;
}

std::optional<DWORD> RegistryValueList::Get(std::wstring_view name) const {
    if (!key_) return std::nullopt;
    std::wstring n(name);
    DWORD type = 0, value = 0, size = sizeof value;
    if (RegQueryValueExW(key_.get(), n.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof value)
        return std::nullopt;
    return value;
}

bool RegistryValueList::Enumerate(const Visitor& visit) const {
    if (!key_) return true;
    // The walk reads every value first: a visitor that deletes values would otherwise shift the
    // indexes under the walk and make it skip the value after each one deleted.
    std::vector<std::pair<std::wstring, DWORD>> values;
    for (DWORD index = 0;; ++index) {
        wchar_t name[kMaxNameChars + 1];
        DWORD nameChars = kMaxNameChars + 1, type = 0, value = 0, size = sizeof value;
        LONG rc = RegEnumValueW(key_.get(), index, name, &nameChars, nullptr, &type, reinterpret_cast<BYTE*>(&value),
                                &size);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc == ERROR_MORE_DATA) continue;  // a name or data too long for a channel entry
        if (rc != ERROR_SUCCESS) ThrowHr(E_FAIL);
        if (nameChars == 0 || type != REG_DWORD || size != sizeof value) continue;
        values.emplace_back(std::wstring(name, nameChars), value);
    }
    for (const auto& [name, value] : values)
        if (!visit(name, value)) return false;
    return true;
}

RegistryValueList OpenChannelsList() { return RegistryValueList(HKEY_CURRENT_USER, kChannelsKey, true); }

ExcludeList::ExcludeList() : list_(HKEY_CURRENT_USER, kExcludeKey, false) {}

DWORD ExcludeList::Lookup(std::wstring_view name) const { return list_.Get(name).value_or(0); }

PrivilegedList::PrivilegedList() : list_(HKEY_CURRENT_USER, kPrivilegedKey, false) {
    list_.Enumerate([this](const std::wstring& name, DWORD flags) {
        entries_.push_back({name, flags});
        return true;
    });
}

DWORD PrivilegedList::Lookup(std::wstring_view name) const { return list_.Get(name).value_or(0); }

}  // namespace kv::cdf
