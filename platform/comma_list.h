// String-table comma lists: many texts of the DLLs are comma-separated lists kept in one string
// resource (column names, type names, a message and its caption).
#pragma once

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

namespace kv {

constexpr size_t kCommaListMaxItems = 64;
constexpr int kStringResourceChars = 2048;  // longer resources are cut at 2047 characters

// Splits at commas; an empty last item is dropped once ("a,b," gives a and b; "a,,b" keeps the
// empty middle item). More than 64 items throws E_FAIL.
std::vector<std::wstring> SplitCommaList(std::wstring_view text);

// Loads string `id` of `module`; throws E_INVALIDARG when there is no such string.
std::wstring LoadStringResource(HINSTANCE module, UINT id);

// LoadStringResource then SplitCommaList.
std::vector<std::wstring> LoadCommaList(HINSTANCE module, UINT id);

}  // namespace kv
