// The Channels list seen through stored names: which shortcut titles are recorded, and under
// which channel id (0: recorded only so that the name is left alone). Beside each entry of a
// shortcut the kit made, the address it wrote into that shortcut (the key's "Addresses" subkey,
// entry -> URL): a shortcut is the kit's only while it still names that address. The registry is
// read once and then kept in step with every change made through this object; Reload reads it
// again.
//
// Threads: the worker thread only. Registry failures of the walk are thrown as HResultError.
#pragma once

#include <windows.h>

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kvcdf/registry_value_list.h"
#include "kvcdf/shortcut_name.h"

namespace kv::cdf {

// The subkey of the Channels key that holds the addresses.
inline constexpr wchar_t kAddressesSubkey[] = L"Addresses";

class ChannelRecords {
public:
    struct Record {
        std::wstring name;  // as stored in the registry
        DWORD value;
    };

    explicit ChannelRecords(RegistryValueList& list) : list_(list) {}

    // Forgets what was read: the next question reads the registry again.
    void Reload() noexcept { loaded_ = false; }

    // The record whose name has the stored name of `title`.
    std::optional<Record> Find(std::wstring_view title);
    // The records made under channel id `id` (non-zero).
    std::vector<Record> OfChannel(DWORD id);
    // Whether a record's shortcut carries `title` (its name's last component), in stored form.
    bool HasTitle(std::wstring_view title);
    // The record of channel `id` whose shortcut is titled `name`, or after it ("News (2)" for
    // "News"), in any category folder, if any.
    std::optional<Record> OwnRecord(std::wstring_view name, DWORD id);

    bool Set(const std::wstring& name, DWORD value);
    // Removes the record of that stored name, with its address.
    bool Remove(std::wstring_view name);

    // The address written into the shortcut of entry `name`; empty for an entry recorded before
    // addresses were kept.
    std::wstring Address(std::wstring_view name);
    bool SetAddress(std::wstring_view name, const std::wstring& url);

    RegistryValueList& List() noexcept { return list_; }

private:
    void Load();
    void LoadAddresses();
    HKEY AddressKey(bool create);

    RegistryValueList& list_;
    bool loaded_ = false;
    std::map<std::wstring, Record, StoredNameLess> byName_;
    std::multimap<DWORD, std::wstring> byId_;
    bool addressesLoaded_ = false;
    std::map<std::wstring, std::wstring, StoredNameLess> addresses_;
    UniqueHkey addressKey_;
};

}  // namespace kv::cdf
