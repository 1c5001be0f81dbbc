#include "framework/category_map.h"

#include "platform/comma_list.h"

namespace kv {

CategoryMap::CategoryMap(HINSTANCE module) {
    auto groups = LoadCommaList(module, kGroupsString);
    for (size_t i = 0; i < groups.size(); ++i)
        for (auto& sub : LoadCommaList(module, kGroupsString + 1 + static_cast<UINT>(i)))
            folders_[sub] = groups[i];
    if (!groups.empty()) default_ = groups.back();
}

const std::wstring& CategoryMap::Lookup(std::wstring_view path) const {
    // Trailing ";" leave empty segments: the last one with text counts.
    while (!path.empty() && path.back() == L';') path.remove_suffix(1);
    size_t semi = path.rfind(L';');
    if (semi != std::wstring_view::npos) path.remove_prefix(semi + 1);
    path = path.substr(0, path.find(L'/'));
    auto it = folders_.find(std::wstring(path));
    return it == folders_.end() ? default_ : it->second;
}

}  // namespace kv
