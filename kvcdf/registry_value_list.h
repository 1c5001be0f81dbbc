// The registry keys that record or restrict what the publisher does: each value is a channel
// name with a DWORD of flags or a channel id.
//
// - ChannelsList: the shortcuts the extension manages (name -> channel id, 0 for a name only
//   recorded so that it is left alone). The key must exist.
// - ExcludeList: per channel, 1 = never add a shortcut, 2 = never publish its CDF parcels.
// - PrivilegedList: per channel, 1 = never ask the client to drop it, 2 = re-apply its shortcut
//   after every folder change. Its entries are read once, at creation.
// The last two may be missing: they then behave as empty lists. One thread at a time.
#pragma once

#include <windows.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/raii.h"

namespace kv::cdf {

class RegistryValueList {
public:
    static constexpr size_t kMaxNameChars = 259;

    // Opens `root`\`path` with full access; a missing key throws E_FAIL when `required`, and
    // otherwise gives a list with no key (every call answers false, Enumerate visits nothing).
    RegistryValueList(HKEY root, const std::wstring& path, bool required);

    bool HasKey() const noexcept { return static_cast<bool>(key_); }
    HKEY Key() const noexcept { return key_.get(); }

    // REG_DWORD values. Set refuses a name longer than 259 characters (nothing is written).
    bool Set(std::wstring_view name, DWORD value);
    bool Remove(std::wstring_view name);
    std::optional<DWORD> Get(std::wstring_view name) const;

    // Calls `visit` with every REG_DWORD value present when the walk starts, once each, also when
    // `visit` deletes values; values that cannot be read as a DWORD under a name of at most 259
    // characters are passed over. False when `visit` stopped the walk. Throws E_FAIL when the
    // key cannot be read.
    using Visitor = std::function<bool(const std::wstring& name, DWORD value)>;
    bool Enumerate(const Visitor& visit) const;

private:
    UniqueHkey key_;
};

// HKCU\Software\Korvane\ClientExtensions\{B5D1EAF1-286B-11D1-9D7B-00C0F018612C}\Channels.
RegistryValueList OpenChannelsList();

class ExcludeList {
public:
    ExcludeList();
    // The stored flags, 0 when the key or the value is missing.
    DWORD Lookup(std::wstring_view name) const;

private:
    RegistryValueList list_;
};

class PrivilegedList {
public:
    struct Entry {
        std::wstring name;
        DWORD flags;
    };
    PrivilegedList();
    const Entry& Item(size_t index) const { return entries_.at(index); }
    size_t Count() const noexcept { return entries_.size(); }
    // Read from the registry now; 0 when missing.
    DWORD Lookup(std::wstring_view name) const;

private:
    RegistryValueList list_;
    std::vector<Entry> entries_;
};

inline constexpr wchar_t kChannelsKey[] =
    L"Software\\Korvane\\ClientExtensions\\{B5D1EAF1-286B-11D1-9D7B-00C0F018612C}\\Channels";
inline constexpr wchar_t kExcludeKey[] = L"Software\\Korvane\\Korvane\\IE\\Exclude";
inline constexpr wchar_t kPrivilegedKey[] = L"Software\\Korvane\\Korvane\\IE\\Privileged";

}  // namespace kv::cdf
