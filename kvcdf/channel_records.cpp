#include "kvcdf/channel_records.h"

#include "kvcdf/publisher.h"

namespace kv::cdf {

void ChannelRecords::Load() {
    if (loaded_) return;
    byName_.clear();
    byId_.clear();
    addressesLoaded_ = false;
    addresses_.clear();
    addressKey_.reset();
    list_.Enumerate([this](const std::wstring& name, DWORD value) {
        byName_.insert_or_assign(name, Record{name, value});
        if (value != 0) byId_.emplace(value, name);
        return true;
    });
    loaded_ = true;
}

std::optional<ChannelRecords::Record> ChannelRecords::Find(std::wstring_view title) {
    Load();
    auto it = byName_.find(title);
    if (it == byName_.end()) return std::nullopt;
    return it->second;
}

std::vector<ChannelRecords::Record> ChannelRecords::OfChannel(DWORD id) {
    Load();
    std::vector<Record> out;
    auto [first, last] = byId_.equal_range(id);
    for (auto it = first; it != last; ++it)
        if (auto r = Find(it->second); r && r->value == id) out.push_back(*r);
    return out;
}

bool ChannelRecords::HasTitle(std::wstring_view title) {
    Load();
    for (const auto& [name, record] : byName_)
        if (SameStoredName(TitleOf(name), title)) return true;
    return false;
}

std::optional<ChannelRecords::Record> ChannelRecords::OwnRecord(std::wstring_view name, DWORD id) {
    std::wstring title = StoredTitle(name);
    if (auto r = Find(title); r && r->value == id) return r;
    // A numbered name of its own: "News (2)", "CON (2).News", a long title cut for its number.
    for (Record& r : OfChannel(id))
        if (IsNameOf(TitleOf(r.name), name)) return r;
    return std::nullopt;
}

bool ChannelRecords::Set(const std::wstring& name, DWORD value) {
    Load();
    // A record of the same stored name under another spelling would stay beside it.
    if (auto old = Find(name); old && old->name != name) Remove(name);
    if (!list_.Set(name, value)) return false;
    byName_.insert_or_assign(name, Record{name, value});
    if (value != 0) byId_.emplace(value, name);
    return true;
}

bool ChannelRecords::Remove(std::wstring_view name) {
    Load();
    auto it = byName_.find(name);
    std::wstring stored = it == byName_.end() ? std::wstring(name) : it->second.name;
    if (!list_.Remove(stored)) return false;
    LoadAddresses();
    if (auto a = addresses_.find(stored); a != addresses_.end()) {
        if (HKEY key = AddressKey(false)) RegDeleteValueW(key, a->first.c_str());
        addresses_.erase(a);
    }
    if (it != byName_.end()) {
        DWORD value = it->second.value;
        byName_.erase(it);
        auto [first, last] = byId_.equal_range(value);
        for (auto i = first; i != last; ++i)
            if (i->second == stored) {
                byId_.erase(i);
                break;
            }
    }
    return true;
}

HKEY ChannelRecords::AddressKey(bool create) {
    if (!addressKey_ && list_.Key()) {
        if (create)
            RegCreateKeyExW(list_.Key(), kAddressesSubkey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, addressKey_.put(), nullptr);
        else
            RegOpenKeyExW(list_.Key(), kAddressesSubkey, 0, KEY_ALL_ACCESS, addressKey_.put());
    }
    return addressKey_.get();
}

void ChannelRecords::LoadAddresses() {
    Load();
    if (addressesLoaded_) return;
    addressesLoaded_ = true;
    HKEY key = AddressKey(false);
    if (!key) return;
    for (DWORD index = 0;; ++index) {
        wchar_t name[RegistryValueList::kMaxNameChars + 1];
        DWORD nameChars = RegistryValueList::kMaxNameChars + 1, type = 0, size = 0;
        LONG rc = RegEnumValueW(key, index, name, &nameChars, nullptr, &type, nullptr, &size);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc != ERROR_SUCCESS || type != REG_SZ) continue;
        std::wstring url(size / sizeof(wchar_t) + 1, L'\0');
        DWORD bytes = static_cast<DWORD>(url.size() * sizeof(wchar_t));
        if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(url.data()), &bytes) != ERROR_SUCCESS ||
            type != REG_SZ)
            continue;
        url.resize(wcsnlen(url.c_str(), url.size()));
        addresses_.insert_or_assign(std::wstring(name, nameChars), std::move(url));
    }
}

std::wstring ChannelRecords::Address(std::wstring_view name) {
    LoadAddresses();
    auto it = addresses_.find(name);
    return it == addresses_.end() ? std::wstring() : it->second;
}

bool ChannelRecords::SetAddress(std::wstring_view name, const std::wstring& url) {
    LoadAddresses();
    // Kept under the entry's own spelling, as the Channels list keeps it.
    auto record = byName_.find(name);
    std::wstring stored = record == byName_.end() ? std::wstring(name) : record->second.name;
    if (auto old = addresses_.find(stored); old != addresses_.end() && old->first != stored) {
        if (HKEY key = AddressKey(false)) RegDeleteValueW(key, old->first.c_str());
        addresses_.erase(old);
    }
    HKEY key = AddressKey(true);
    if (!key || RegSetValueExW(key, stored.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(url.c_str()),
                               static_cast<DWORD>((url.size() + 1) * sizeof(wchar_t))) != ERROR_SUCCESS)
        return false;
    addresses_.insert_or_assign(stored, url);
    return true;
}

}  // namespace kv::cdf
