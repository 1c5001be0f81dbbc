#include "kvcdf/channel_records.h"

namespace kv::cdf {

void ChannelRecords::Load() {
    if (loaded_) return;
    byName_.clear();
    byId_.clear();
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
    for (Record& r : OfChannel(id))
        if (SameStoredName(UnnumberedName(TitleOf(r.name)), title)) return r;
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

}  // namespace kv::cdf
