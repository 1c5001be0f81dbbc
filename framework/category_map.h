// The category map: which group (a category folder or directory group name) a channel's
// category path belongs to. Built from string lists 200 to 206 of a module: list 200 names the
// groups, list 201 + i the categories of group i; the last group is the default. A category
// listed twice belongs to the later group. Immutable once built; any thread.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <string_view>

namespace kv {

class CategoryMap {
public:
    // Loads the lists from `module`'s string resources; throws as LoadCommaList does.
    explicit CategoryMap(HINSTANCE module);

    // The group of the path's last non-empty ";"-separated segment, taken up to its first "/"
    // (exact comparison); the default group when it names no listed category or is empty.
    const std::wstring& Lookup(std::wstring_view path) const;
    const std::wstring& DefaultGroup() const noexcept { return defaultGroup_; }

private:
    std::map<std::wstring, std::wstring, std::less<>> groups_;
    std::wstring defaultGroup_;
};

}  // namespace kv
