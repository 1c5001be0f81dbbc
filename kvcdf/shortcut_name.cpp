#include "kvcdf/shortcut_name.h"

#include <windows.h>

namespace kv::cdf {

std::wstring StoredName(std::wstring_view title) {
    std::wstring out;
    out.reserve(title.size());
    for (;;) {
        size_t cut = title.find(L'\\');
        std::wstring_view part = title.substr(0, cut);
        while (!part.empty() && (part.back() == L'.' || part.back() == L' ')) part.remove_suffix(1);
        out.append(part);
        if (cut == std::wstring_view::npos) return out;
        out += L'\\';
        title.remove_prefix(cut + 1);
    }
}

namespace {
// Stored names compared code unit by code unit after the system's upper-casing, as the file
// system compares names.
bool Trimmed(std::wstring_view s) {
    for (size_t i = 0; i < s.size(); ++i)
        if ((s[i] == L'.' || s[i] == L' ') && (i + 1 == s.size() || s[i + 1] == L'\\')) return false;
    return true;
}

int CompareStored(std::wstring_view a, std::wstring_view b) {
    std::wstring sa, sb;
    if (!Trimmed(a)) a = sa = StoredName(a);
    if (!Trimmed(b)) b = sb = StoredName(b);
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) -
           CSTR_EQUAL;
}
}  // namespace

bool StoredNameLess::operator()(std::wstring_view a, std::wstring_view b) const { return CompareStored(a, b) < 0; }

bool SameStoredName(std::wstring_view a, std::wstring_view b) { return CompareStored(a, b) == 0; }

std::wstring_view TitleOf(std::wstring_view path) {
    size_t cut = path.find_last_of(L'\\');
    return cut == std::wstring_view::npos ? path : path.substr(cut + 1);
}

std::wstring NumberedName(std::wstring_view title, int k) {
    return std::wstring(title) + L" (" + std::to_wstring(k) + L")";
}

std::wstring_view UnnumberedName(std::wstring_view name) {
    if (name.size() < 5 || name.back() != L')') return name;
    size_t open = name.rfind(L" (");
    if (open == std::wstring_view::npos || open == 0) return name;
    std::wstring_view digits = name.substr(open + 2, name.size() - open - 3);
    if (digits.empty() || digits.size() > 9 || digits.front() == L'0') return name;
    for (wchar_t c : digits)
        if (c < L'0' || c > L'9') return name;
    if (digits == L"1") return name;
    return name.substr(0, open);
}

}  // namespace kv::cdf
