#include "framework/category_map.h"

#include <vector>

#include "platform/comma_list.h"

namespace kv {

namespace {
constexpr UINT kGroupList = 200;
}

CategoryMap::CategoryMap(HINSTANCE module) {
    std::vector<std::wstring> groups = LoadCommaList(module, kGroupList);
    for (size_t i = 0; i < groups.size(); ++i)
        for (auto& category : LoadCommaList(module, kGroupList + 1 + static_cast<UINT>(i)))
            groups_.insert_or_assign(std::move(category), groups[i]);
    if (!groups.empty()) defaultGroup_ = groups.back();
}

const std::wstring& CategoryMap::Lookup(std::wstring_view path) const {
    while (!path.empty() && path.back() == L';') path.remove_suffix(1);
    size_t semicolon = path.rfind(L';');
    if (semicolon != path.npos) path.remove_prefix(semicolon + 1);
    path = path.substr(0, path.find(L'/'));
    auto it = groups_.find(path);
    return it == groups_.end() ? defaultGroup_ : it->second;
}

}  // namespace kv
