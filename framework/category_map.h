// The category folders of Favorites\Channels: a channel's category path (for example
// "News/Local;Computing/Software") names the folder its shortcut goes in. The groups are string
// 200 of the calling module (a comma list of folder names) and, for group i, string 201 + i (its
// sub-categories); a sub-category listed twice belongs to the later group. The default folder,
// for paths that name no listed sub-category, is the last group's name. Shared by the CDF
// publisher and the directory control; immutable after construction, so any thread may read it.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <string_view>

namespace kv {

class CategoryMap {
public:
    static constexpr UINT kGroupsString = 200;

    // Reads the strings of `module`; throws E_INVALIDARG for a missing string, E_FAIL for a list
    // of more than 64 items.
    explicit CategoryMap(HINSTANCE module);

    // The folder for a category path: the last non-empty ";" segment, up to its first "/",
    // looked up exactly. Unknown or empty: the default folder.
    const std::wstring& Lookup(std::wstring_view categoryPath) const;

    const std::wstring& DefaultFolder() const noexcept { return default_; }

private:
    std::map<std::wstring, std::wstring> folders_;
    std::wstring default_;
};

}  // namespace kv
