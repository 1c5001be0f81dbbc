// Conversions between ANSI text (the system code page) and wide text, of any length.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace kv {

std::wstring ToWide(std::string_view text, UINT codePage = CP_ACP);
std::string ToAnsi(std::wstring_view text, UINT codePage = CP_ACP);

// ASCII-only case folding, as the kit's column names and comparisons use it.
std::wstring AsciiUpper(std::wstring_view text);
bool EqualsNoCase(std::wstring_view a, std::wstring_view b) noexcept;

}  // namespace kv
